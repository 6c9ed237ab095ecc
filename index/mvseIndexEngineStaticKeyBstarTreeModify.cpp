// Index engines: the static-key B*-tree: insert and delete. See
// mvseIndexEngineStaticKeyBstarTree.h.
//
// An insert puts the entry into its leaf's slot window (moving the shorter
// side, recentring the window when its side is exhausted) and splits a full
// leaf 1 into 2, pushing the left leaf's last entry up as a separator;
// full internal nodes split the same way, and a split root gets a new root
// above it. A delete removes the entry, repairs the separators that named
// it, and lets an underfull node borrow from a sibling or merge with it; a
// root left empty goes. Every block read is held in the engine's release
// list until the operation ends; every change is a change of the
// transaction's copies, which a rollback undoes.
#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "foundation/errors/mvllErrors.h"
#include "index/mvseIndexEngineStaticKeyBstarTree.h"
#include "index/mvseIndexEngineStaticKeyBstarTreeOperation.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/mvsrLog.h"

namespace {

// Releases what an operation held however it ends.
class TReleaseAtEnd {
 public:
  explicit TReleaseAtEnd(TmvReleaseList& aList) : fList(aList) {}
  ~TReleaseAtEnd() {
    try {
      fList.Release();
    } catch (...) {
      mvStorageLogError(u"Releasing index blocks failed: " + mvCurrentExceptionText());
    }
  }
  TReleaseAtEnd(const TReleaseAtEnd&) = delete;
  TReleaseAtEnd& operator=(const TReleaseAtEnd&) = delete;

 private:
  TmvReleaseList& fList;
};

}  // namespace

// ---------------------------------------------------------------------------
// Held nodes and entries

void TmvStaticKeyBstarTreeIndexEngine::RaiseDamaged(TmvBlockNumber aBlock) const {
  throw EmvBaseIndexEngineException(MVERR_FILECORRUPT, u"Node %d of index \"%s\" does not fit its tree",
                                    {int32_t(aBlock), bieIndexName});
}

uint8_t* TmvStaticKeyBstarTreeIndexEngine::Keep(uint8_t* aNode, const TmvReleaseMethod& aRelease) {
  try {
    ieReleaseList.Add(aNode, aRelease);
  } catch (...) {
    aRelease(aNode);
    throw;
  }
  return aNode;
}

uint8_t* TmvStaticKeyBstarTreeIndexEngine::Hold(TOperation& aOp, TmvBlockNumber aBlock, bool aForModify,
                                                TmvIndexNodeType aType) {
  TmvReleaseMethod release;
  uint8_t* node = ReadNode(aOp, aBlock, aForModify, release, aType);
  return Keep(node, release);
}

uint8_t* TmvStaticKeyBstarTreeIndexEngine::HoldNew(TOperation& aOp, bool aLeaf) {
  TmvReleaseMethod release;
  uint8_t* node = NewNode(aOp.opHeader.get(), aLeaf, release);
  return Keep(node, release);
}

void TmvStaticKeyBstarTreeIndexEngine::MoveLeafEntries(uint8_t* aFrom, int32_t aFromSlot, uint8_t* aTo, int32_t aToSlot,
                                                       int32_t aCount) const {
  if (aCount <= 0) return;
  std::memmove(aTo + LeafKeyOffset(aToSlot), aFrom + LeafKeyOffset(aFromSlot), size_t(aCount) * ieSizeOfLeafNodeKeyPair);
}

void TmvStaticKeyBstarTreeIndexEngine::WriteLeafEntry(uint8_t* aLeaf, int32_t aSlot, const void* aKey,
                                                      TmvRefNr aRefNr) const {
  if (ieNodeKeys == nkRefsOnly) {
    mvPutU64(aLeaf, LeafKeyOffset(aSlot), uint64_t(aRefNr));
    return;
  }
  std::memcpy(aLeaf + LeafKeyOffset(aSlot), aKey, bieKeyEngine->bkeKeyLength);
  if (!bieKeysAreRefs) mvPutU64(aLeaf, ieLeafNodeKeyRefOffset[size_t(aSlot)], uint64_t(aRefNr));
}

// The separator an entry gives: its key, and its RefNr with references.
void TmvStaticKeyBstarTreeIndexEngine::CopySeparator(const uint8_t* aLeaf, int32_t aSlot, uint8_t* aTo) const {
  std::memcpy(aTo, LeafKey(aLeaf, aSlot), ieNodeKeyLength);
}

int8_t TmvStaticKeyBstarTreeIndexEngine::CompareEntries(TOperation& aOp, const uint8_t* aSeparator1,
                                                        const uint8_t* aSeparator2) {
  // References alone: the same entry or another.
  if (ieNodeKeys == nkRefsOnly) return int8_t(std::memcmp(aSeparator1, aSeparator2, sizeof(TmvRefNr)) == 0 ? 0 : 1);
  (void)aOp;
  int8_t c = bieKeyEngine->CompareKey(aSeparator1, aSeparator2);
  if (c == 0 && ieAddKeyRefsToKeys) {
    const int64_t r1 = int64_t(mvGetU64(aSeparator1, ieDescKeyLength)), r2 = int64_t(mvGetU64(aSeparator2, ieDescKeyLength));
    c = int8_t(r1 < r2 ? -1 : r1 > r2 ? 1 : 0);
  }
  return c;
}

// The way down to aTarget: every internal node passed and the pointer
// taken, found by searching for an entry (key, and RefNr with references)
// that lies under aTarget. A tree in which the search misses aTarget is
// damaged: 8962.
std::vector<TmvStaticKeyBstarTreeIndexEngine::TLevel> TmvStaticKeyBstarTreeIndexEngine::WayDown(
    TOperation& aOp, TmvBlockNumber aTarget, const uint8_t* aEntry) {
  std::vector<TLevel> way;
  TmvBlockNumber page = TmvBlockNumber(aOp.opHeader->GetIndexRoot());
  const TNodeSearch kind = ieTieByRef ? nsRefExact : nsFull;
  const TmvRefNr ref = ieTieByRef ? EntryTieRef(aOp, aEntry) : 0;
  const uint8_t* key = EntryKey(aOp, aEntry);
  for (int32_t depth = 1; page != aTarget; ++depth) {
    aOp.CheckDepth(depth);
    const uint8_t* node = Hold(aOp, page, false);
    if (mvInhNodeType(node) != intInternal)
      throw EmvBaseIndexEngineException(MVERR_FILECORRUPT, u"Node %d of index \"%s\" is not reached from the root",
                                        {int32_t(aTarget), bieIndexName});
    int32_t slot = 0;
    SearchNode(aOp, node, false, kind, key, ref, 0, 0, skaEqualFirst, slot);
    way.push_back({page, slot});
    page = Child(node, slot);
  }
  return way;
}

// ---------------------------------------------------------------------------
// Insert

// Puts an entry at slot aSlot (its place in key order) of a leaf that has
// room, moving the shorter side of the window, or recentring the window
// when that side has no free slot left.
int32_t TmvStaticKeyBstarTreeIndexEngine::InsertIntoWindow(uint8_t* aLeaf, int32_t aSlot, const void* aKey,
                                                           TmvRefNr aRefNr) {
  const int32_t max = ieMaxLeafNodeKeyCount;
  int32_t first = mvInhFirstSlot(aLeaf);
  const int32_t n = mvInhKeyCount(aLeaf);
  MV_ASSERT(n < max);
  int32_t i = aSlot;
  if (i <= first + n / 2) {
    if (first > 0) {
      MoveLeafEntries(aLeaf, first, aLeaf, first - 1, i - first);
      --first;
      --i;
    } else {
      const int32_t g = (max - n - 1) / 2;
      MoveLeafEntries(aLeaf, i, aLeaf, i + g + 1, first + n - i);
      MoveLeafEntries(aLeaf, 0, aLeaf, g, i);
      first = g;
      i += g;
    }
  } else if (first + n >= max) {
    const int32_t g = (max - n - 1) / 2;
    MoveLeafEntries(aLeaf, first, aLeaf, g, i - first);
    MoveLeafEntries(aLeaf, i, aLeaf, g + (i - first) + 1, max - i);
    i += g - first;
    first = g;
  } else if (i < first + n) {
    MoveLeafEntries(aLeaf, i, aLeaf, i + 1, first + n - i);
  }
  WriteLeafEntry(aLeaf, i, aKey, aRefNr);
  mvSetInhFirstSlot(aLeaf, uint16_t(first));
  mvSetInhKeyCount(aLeaf, uint16_t(n + 1));
  return i;
}

// Whether the duplicate rule refuses the entry, from the leaf search's
// insertion point: an equal pair always, an equal key in a unique index,
// and in an index with duplicates only among nulls an equal key without
// nulls, which may sit in a neighbouring leaf.
bool TmvStaticKeyBstarTreeIndexEngine::Refused(TOperation& aOp, TmvBlockNumber aLeafPage, const uint8_t* aLeaf,
                                               bool aFound, int32_t aSlot, const void* aKey) {
  if (aFound) return true;
  // A unique index whose descent may end one leaf beside an equal key
  // looks there too.
  const bool uniqueNeighbours = !bieDups && ieCheckNeighbours;
  if (!uniqueNeighbours && (!bieDupsNullOnly || bieKeyEngine->KeyContainsNulls(aKey))) return false;
  const int32_t first = mvInhFirstSlot(aLeaf), end = first + mvInhKeyCount(aLeaf);
  auto equalAt = [&](const uint8_t* aNode, int32_t aAt) {
    return CompareToEntry(aOp, aKey, LeafKey(aNode, aAt), 0, 0, true) == 0;
  };
  if (aSlot > first && equalAt(aLeaf, aSlot - 1)) return true;
  if (aSlot < end && equalAt(aLeaf, aSlot)) return true;
  if (aSlot == first && mvInhPrevNode(aLeaf) != mvNoBlock) {
    const uint8_t* prev = Hold(aOp, mvInhPrevNode(aLeaf), false, intLeaf);
    if (mvInhKeyCount(prev) > 0 && equalAt(prev, mvInhFirstSlot(prev) + mvInhKeyCount(prev) - 1)) return true;
  }
  if (aSlot == end && mvInhNextNode(aLeaf) != mvNoBlock) {
    const uint8_t* next = Hold(aOp, mvInhNextNode(aLeaf), false, intLeaf);
    if (mvInhKeyCount(next) > 0 && equalAt(next, mvInhFirstSlot(next))) return true;
  }
  (void)aLeafPage;
  return false;
}

bool TmvStaticKeyBstarTreeIndexEngine::InsertKey(TmvBaseTransaction* aTrans, const void* aKey, TmvRefNr aRefNr,
                                                 TmvRefNr aCacheRefNr, TmvBaseIndexPath* aPath) {
  TPath* path = aPath && aPath->bipIndexEngine == this ? static_cast<TPath*>(aPath) : nullptr;
  if (path) path->Clear();
  TOperation op(this, aTrans, true, 0, 0, path);
  const TmvRefNr tie = SearchTieRef(aRefNr, aCacheRefNr);
  TReleaseAtEnd release(ieReleaseList);
  TmvBaseIndexHeaderAccess& header = *op.opHeader;
  // 1. The first key: a root leaf with the entry in its middle slot.
  if (header.GetIndexRoot() == -1) {
    uint8_t* leaf = HoldNew(op, true);
    const int32_t slot = ieMaxLeafNodeKeyCount / 2;
    WriteLeafEntry(leaf, slot, aKey, aRefNr);
    mvSetInhFirstSlot(leaf, uint16_t(slot));
    mvSetInhKeyCount(leaf, 1);
    header.SetIndexRoot(int32_t(mvBchThisBlock(leaf)));
    header.SetIndexKeyCount(1);
    if (path) SetPath(op, path, mvBchThisBlock(leaf), leaf, slot, ippOnKey);
    return true;
  }
  // 2. Down to the leaf, remembering the way.
  const TNodeSearch kind = ieTieByRef ? nsRefExact : nsFull;
  std::vector<TLevel> way;
  TmvBlockNumber page = TmvBlockNumber(header.GetIndexRoot());
  const uint8_t* node = Hold(op, page, false);
  int32_t slot = 0;
  for (int32_t depth = 1; mvInhNodeType(node) == intInternal; ++depth) {
    op.CheckDepth(depth);
    SearchNode(op, node, false, kind, aKey, tie, 0, 0, skaEqualFirst, slot);
    way.push_back({page, slot});
    page = Child(node, slot);
    node = Hold(op, page, false);
  }
  // 3. The duplicate rule.
  const bool found = SearchNode(op, node, true, kind, aKey, tie, 0, 0, skaEqualFirst, slot);
  if (Refused(op, page, node, found, slot, aKey)) return false;
  // 4. The leaf changes (the copy of the block held already): 5. in its
  // window, or 6. split.
  uint8_t* leaf = const_cast<uint8_t*>(node);
  bieIndexFile->DirtyBlock(page, aTrans, leaf);
  mvSetInhIdentCounter(leaf, mvInhIdentCounter(leaf) + 1);
  TmvBlockNumber placedPage = page;
  uint8_t* placedLeaf = leaf;
  int32_t placedSlot;
  const int32_t max = ieMaxLeafNodeKeyCount;
  if (mvInhKeyCount(leaf) < max) {
    placedSlot = InsertIntoWindow(leaf, slot, aKey, aRefNr);
  } else {
    MV_ASSERT(mvInhFirstSlot(leaf) == 0);
    uint8_t* right = HoldNew(op, true);
    const TmvBlockNumber rightPage = mvBchThisBlock(right);
    const int32_t s = max / 2 + ((max % 2 == 1 && slot > max / 2) ? 1 : 0);
    MoveLeafEntries(leaf, s, right, s / 2, max - s);
    mvSetInhFirstSlot(right, uint16_t(s / 2));
    mvSetInhKeyCount(right, uint16_t(max - s));
    mvSetInhKeyCount(leaf, uint16_t(s));
    const TmvBlockNumber following = mvInhNextNode(leaf);
    mvSetInhNextNode(right, following);
    mvSetInhPrevNode(right, page);
    mvSetInhNextNode(leaf, rightPage);
    if (following != mvNoBlock) mvSetInhPrevNode(Hold(op, following, true, intLeaf), rightPage);
    if (slot > s || (slot == s && s >= max - s)) {
      placedPage = rightPage;
      placedLeaf = right;
      placedSlot = InsertIntoWindow(right, slot - s + s / 2, aKey, aRefNr);
    } else {
      placedSlot = InsertIntoWindow(leaf, slot, aKey, aRefNr);
    }
    CopySeparator(leaf, mvInhFirstSlot(leaf) + mvInhKeyCount(leaf) - 1, ieTempInsertKey.data());
    PushUp(op, way, page, rightPage);
  }
  if (path) SetPath(op, path, placedPage, placedLeaf, placedSlot, ippOnKey);
  // 9. One key more.
  header.SetIndexKeyCount(header.GetIndexKeyCount() + 1);
  return true;
}

// 7. The separator in ieTempInsertKey, with aLeft on its left and aRight on
// its right, goes into the parents, splitting the full ones; 8. a split
// root gets a new root above it.
void TmvStaticKeyBstarTreeIndexEngine::PushUp(TOperation& aOp, const std::vector<TLevel>& aWay, TmvBlockNumber aLeft,
                                              TmvBlockNumber aRight) {
  const uint32_t pair = ieSizeOfInternalNodeKeyPair, keyLength = ieNodeKeyLength;
  const int32_t max = ieMaxInternalNodeKeyCount;
  for (size_t level = aWay.size(); level-- > 0;) {
    const TLevel& parentLevel = aWay[level];
    uint8_t* parent = Hold(aOp, parentLevel.Block, true, intInternal);
    const int32_t count = mvInhKeyCount(parent), at = parentLevel.Slot;
    if (at > count || Child(parent, at) != aLeft) RaiseDamaged(parentLevel.Block);
    if (count < max) {
      // Room: the pairs from the child slot move one pair right.
      const uint32_t from = ieInternalNodeKeyOffset[size_t(at)];
      std::memmove(parent + from + pair, parent + from, size_t(count - at) * pair);
      std::memcpy(parent + from, ieTempInsertKey.data(), keyLength);
      mvPutU32(parent, ieTreePointerOffset[size_t(at) + 1], aRight);
      mvSetInhKeyCount(parent, uint16_t(count + 1));
      return;
    }
    // Full: max + 1 separators laid out in a scratch area, split in two
    // around separator m, which goes up.
    std::vector<uint8_t> separators(size_t(max + 1) * keyLength);
    std::vector<TmvBlockNumber> pointers(size_t(max) + 2);
    for (int32_t i = 0, j = 0; i <= max; ++i) {
      if (i == at) {
        std::memcpy(&separators[size_t(i) * keyLength], ieTempInsertKey.data(), keyLength);
      } else {
        std::memcpy(&separators[size_t(i) * keyLength], SeparatorKey(parent, j), keyLength);
        ++j;
      }
    }
    for (int32_t i = 0, j = 0; i <= max + 1; ++i) {
      if (i == at + 1)
        pointers[size_t(i)] = aRight;
      else
        pointers[size_t(i)] = Child(parent, j++);
    }
    uint8_t* right = HoldNew(aOp, false);
    const int32_t m = max / 2;
    auto fill = [&](uint8_t* aNode, int32_t aFrom, int32_t aCount) {
      for (int32_t i = 0; i < aCount; ++i) {
        mvPutU32(aNode, ieTreePointerOffset[size_t(i)], pointers[size_t(aFrom + i)]);
        std::memcpy(aNode + ieInternalNodeKeyOffset[size_t(i)], &separators[size_t(aFrom + i) * keyLength], keyLength);
      }
      mvPutU32(aNode, ieTreePointerOffset[size_t(aCount)], pointers[size_t(aFrom + aCount)]);
      mvSetInhKeyCount(aNode, uint16_t(aCount));
    };
    fill(parent, 0, m);
    fill(right, m + 1, max - m);
    std::memcpy(ieTempInsertKey.data(), &separators[size_t(m) * keyLength], keyLength);
    aLeft = parentLevel.Block;
    aRight = mvBchThisBlock(right);
  }
  uint8_t* root = HoldNew(aOp, false);
  mvPutU32(root, ieTreePointerOffset[0], aLeft);
  std::memcpy(root + ieInternalNodeKeyOffset[0], ieTempInsertKey.data(), keyLength);
  mvPutU32(root, ieTreePointerOffset[1], aRight);
  mvSetInhKeyCount(root, 1);
  aOp.opHeader->SetIndexRoot(int32_t(mvBchThisBlock(root)));
}

// ---------------------------------------------------------------------------
// Delete

bool TmvStaticKeyBstarTreeIndexEngine::DeleteKey(TmvBaseTransaction* aTrans, const void* aKey, TmvRefNr aRefNr,
                                                 TmvRefNr aCacheRefNr, TmvBaseIndexPath* aPath) {
  TPath* path = aPath && aPath->bipIndexEngine == this ? static_cast<TPath*>(aPath) : nullptr;
  TOperation op(this, aTrans, true, 0, 0, path);
  TReleaseAtEnd release(ieReleaseList);
  // 1. An empty index has nothing to delete.
  if (op.opHeader->GetIndexRoot() == -1) return false;
  // 2. The entry: where a path on it stands, or found from the root.
  std::unique_ptr<TmvBaseIndexPath> scratch;
  TPath* at = path;
  bool found;
  if (path && path->IsOnKey() && path->KeyValid && path->RefNr == aRefNr &&
      (!ieTieByCacheRef || path->CacheRefNr == aCacheRefNr) && bieKeyEngine->CompareKey(path->Key, aKey) == 0) {
    ValidatePath(op, path);
    found = path->IsOnKey();
  } else {
    if (!at) {
      scratch.reset(CreateIndexPath());
      at = static_cast<TPath*>(scratch.get());
    }
    found = FindKeyPath(op, aKey, SearchTieRef(aRefNr, aCacheRefNr), at, skaEqualFirst, nullptr) && at->IsOnKey();
  }
  if (!found) return false;
  // 3. Out of its leaf; one key fewer.
  RemoveSlot(op, at->bpipPage, at->bpipItem, path);
  op.opHeader->SetIndexKeyCount(op.opHeader->GetIndexKeyCount() - 1);
  return true;
}

// Removes entry (or separator and the pointer after it) aSlot of node
// aPage, then mends what the removal broke: the separators that named a
// leaf's last entry, a node left too small, a root left empty.
void TmvStaticKeyBstarTreeIndexEngine::RemoveSlot(TOperation& aOp, TmvBlockNumber aPage, int32_t aSlot, TPath* aPath) {
  uint8_t* q = Hold(aOp, aPage, true);
  const bool leaf = mvInhNodeType(q) == intLeaf;
  const bool isRoot = TmvBlockNumber(aOp.opHeader->GetIndexRoot()) == aPage;
  int32_t first = mvInhFirstSlot(q);
  const int32_t n = mvInhKeyCount(q);
  if (aSlot < first || aSlot >= first + n) RaiseDamaged(aPage);
  std::vector<uint8_t> removed(ieNodeKeyLength);
  if (leaf) CopySeparator(q, aSlot, removed.data());
  const bool wasLast = aSlot == first + n - 1;
  bool pathHere = aPath && leaf && aPath->bpipPage == aPage;
  // 1. The entries close the gap from the shorter side.
  if (leaf) {
    if (!wasLast) {
      if (aSlot < first + n / 2) {
        MoveLeafEntries(q, first, q, first + 1, aSlot - first);
        mvSetInhFirstSlot(q, uint16_t(++first));
        if (pathHere) ++aPath->bpipItem;
      } else {
        MoveLeafEntries(q, aSlot + 1, q, aSlot, first + n - 1 - aSlot);
      }
    }
  } else {
    const uint32_t from = ieInternalNodeKeyOffset[size_t(aSlot)];
    std::memmove(q + from, q + from + ieSizeOfInternalNodeKeyPair, size_t(n - 1 - aSlot) * ieSizeOfInternalNodeKeyPair);
  }
  // 2. One entry fewer.
  const int32_t count = n - 1;
  mvSetInhKeyCount(q, uint16_t(count));
  // 3. A leaf that lost its last entry: the separator that named it names
  // the new last one.
  if (leaf && !isRoot && wasLast && count > 0) {
    const std::vector<TLevel> way = WayDown(aOp, aPage, removed.data());
    const uint8_t* last = LeafKey(q, first + count - 1);
    for (size_t level = way.size(); level-- > 0;) {
      uint8_t* node = Hold(aOp, way[level].Block, false, intInternal);
      if (way[level].Slot >= mvInhKeyCount(node)) continue;  // left through the last pointer: go up
      if (level + 1 == way.size() || CompareEntries(aOp, SeparatorKey(node, way[level].Slot), removed.data()) == 0) {
        node = Hold(aOp, way[level].Block, true, intInternal);
        std::memcpy(node + ieInternalNodeKeyOffset[size_t(way[level].Slot)], last, ieNodeKeyLength);
      }
      break;
    }
  }
  // 4. A path on the removed entry: on the crack where it was, deleted.
  if (pathHere && count > 0) {
    if (aPath->bpipItem >= first + count) {
      aPath->bpipItem = first + count - 1;
      aPath->Position = ippOnCrackAfter;
    } else {
      aPath->Position = ippOnCrackBefore;
    }
    aPath->Deleted = true;
    aPath->bpipIdentCounter = mvInhIdentCounter(q);
    aPath->bpipLSN = mvBchLSN(q);
  }
  // 6. A root left empty goes.
  if (isRoot) {
    if (count > 0) return;
    if (leaf) {
      FreeNode(aOp.opHeader.get(), q);
      aOp.opHeader->SetIndexRoot(-1);
      aOp.opHeader->SetIndexPageCount(0);
      if (aPath) {
        const TmvRefNr ref = aPath->RefNr;
        aPath->SetToBof();
        aPath->RefNr = ref;
        aPath->Deleted = true;
      }
    } else {
      const TmvBlockNumber child = Child(q, 0);
      FreeNode(aOp.opHeader.get(), q);
      uint8_t* newRoot = Hold(aOp, child, true);
      mvSetInhPrevNode(newRoot, mvNoBlock);
      mvSetInhNextNode(newRoot, mvNoBlock);
      aOp.opHeader->SetIndexRoot(int32_t(child));
    }
    return;
  }
  // 5. A node left too small borrows from a sibling or merges with it.
  const int32_t max = leaf ? ieMaxLeafNodeKeyCount : ieMaxInternalNodeKeyCount;
  if (count < (max + 1) / 2) Rebalance(aOp, aPage, q, leaf, aPath);
}

void TmvStaticKeyBstarTreeIndexEngine::Rebalance(TOperation& aOp, TmvBlockNumber aPage, uint8_t* aQ, bool aLeaf,
                                                 TPath* aPath) {
  const int32_t max = aLeaf ? ieMaxLeafNodeKeyCount : ieMaxInternalNodeKeyCount;
  const int32_t half = (max + 1) / 2;
  // 5.1 The parent and q's place in it, searched with q's last entry.
  std::vector<uint8_t> probe(ieNodeKeyLength);
  const int32_t qCount = mvInhKeyCount(aQ);
  if (qCount == 0) RaiseDamaged(aPage);  // only a root is ever empty
  if (aLeaf)
    CopySeparator(aQ, mvInhFirstSlot(aQ) + qCount - 1, probe.data());
  else
    std::memcpy(probe.data(), SeparatorKey(aQ, qCount - 1), ieNodeKeyLength);
  const std::vector<TLevel> way = WayDown(aOp, aPage, probe.data());
  MV_ASSERT(!way.empty());
  const TmvBlockNumber parentPage = way.back().Block;
  const int32_t o = way.back().Slot;
  uint8_t* parent = Hold(aOp, parentPage, true, intInternal);
  if (mvInhKeyCount(parent) == 0) RaiseDamaged(parentPage);  // no sibling
  const bool fromLeft = o > 0;
  const TmvBlockNumber siblingPage = Child(parent, fromLeft ? o - 1 : o + 1);
  uint8_t* sibling = Hold(aOp, siblingPage, true, aLeaf ? intLeaf : intInternal);
  const int32_t siblingCount = mvInhKeyCount(sibling);
  if (aLeaf) {
    if (siblingCount > half)
      BorrowLeaf(aQ, sibling, fromLeft, parent, o, aPage, aPath);
    else
      MergeLeaves(aOp, fromLeft ? sibling : aQ, fromLeft ? siblingPage : aPage, fromLeft ? aQ : sibling,
                  fromLeft ? aPage : siblingPage, parentPage, fromLeft ? o : o + 1, aPath);
  } else {
    if (siblingCount > half)
      RotateInternal(aQ, sibling, fromLeft, parent, o);
    else
      MergeInternal(aOp, fromLeft ? sibling : aQ, fromLeft ? aQ : sibling, fromLeft ? aPage : siblingPage, parentPage,
                    fromLeft ? o : o + 1);
  }
}

// 5.2 A leaf borrows from a sibling that can lend: (both + q) div 2 - q
// entries from the sibling's near end.
void TmvStaticKeyBstarTreeIndexEngine::BorrowLeaf(uint8_t* aQ, uint8_t* aSibling, bool aFromLeft, uint8_t* aParent,
                                                  int32_t aSlot, TmvBlockNumber aPage, TPath* aPath) {
  const int32_t max = ieMaxLeafNodeKeyCount;
  int32_t qFirst = mvInhFirstSlot(aQ);
  const int32_t qCount = mvInhKeyCount(aQ);
  const int32_t sFirst = mvInhFirstSlot(aSibling), sCount = mvInhKeyCount(aSibling);
  const int32_t t = (sCount + qCount) / 2 - qCount;
  const bool pathHere = aPath && aPath->bpipPage == aPage;
  auto moveQ = [&](int32_t aTo) {
    MoveLeafEntries(aQ, qFirst, aQ, aTo, qCount);
    if (pathHere) aPath->bpipItem += aTo - qFirst;
    qFirst = aTo;
  };
  if (!aFromLeft) {
    if (qFirst + qCount + t > max) moveQ((max - qCount - t) / 2);
    MoveLeafEntries(aSibling, sFirst, aQ, qFirst + qCount, t);
    mvSetInhFirstSlot(aQ, uint16_t(qFirst));
    mvSetInhKeyCount(aQ, uint16_t(qCount + t));
    CopySeparator(aQ, qFirst + qCount + t - 1, aParent + ieInternalNodeKeyOffset[size_t(aSlot)]);
    mvSetInhFirstSlot(aSibling, uint16_t(sFirst + t));
    mvSetInhKeyCount(aSibling, uint16_t(sCount - t));
  } else {
    if (qFirst < t) moveQ(t);
    MoveLeafEntries(aSibling, sFirst + sCount - t, aQ, qFirst - t, t);
    mvSetInhFirstSlot(aQ, uint16_t(qFirst - t));
    mvSetInhKeyCount(aQ, uint16_t(qCount + t));
    mvSetInhKeyCount(aSibling, uint16_t(sCount - t));
    CopySeparator(aSibling, sFirst + sCount - t - 1, aParent + ieInternalNodeKeyOffset[size_t(aSlot - 1)]);
  }
  if (pathHere) {
    aPath->bpipIdentCounter = mvInhIdentCounter(aQ);
    aPath->bpipLSN = mvBchLSN(aQ);
  }
}

// 5.3 Two leaves become one: the right one's entries join the left one,
// the right one leaves the chain and the parent, and goes.
void TmvStaticKeyBstarTreeIndexEngine::MergeLeaves(TOperation& aOp, uint8_t* aLeft, TmvBlockNumber aLeftPage,
                                                   uint8_t* aRight, TmvBlockNumber aRightPage,
                                                   TmvBlockNumber aParentPage, int32_t aRightSlot, TPath* aPath) {
  const int32_t max = ieMaxLeafNodeKeyCount;
  int32_t lFirst = mvInhFirstSlot(aLeft);
  const int32_t lCount = mvInhKeyCount(aLeft), rFirst = mvInhFirstSlot(aRight), rCount = mvInhKeyCount(aRight);
  if (lCount + rCount > max) return;
  if (aPath && aPath->bpipPage == aRightPage) {
    aPath->bpipPage = aLeftPage;
    aPath->bpipItem = lFirst + lCount + aPath->bpipItem - rFirst;
  }
  if (lFirst + lCount + rCount > max) {
    const int32_t to = (max - rCount - lCount) / 2;
    MoveLeafEntries(aLeft, lFirst, aLeft, to, lCount);
    if (aPath && aPath->bpipPage == aLeftPage) aPath->bpipItem += to - lFirst;
    lFirst = to;
    mvSetInhFirstSlot(aLeft, uint16_t(lFirst));
  }
  MoveLeafEntries(aRight, rFirst, aLeft, lFirst + lCount, rCount);
  mvSetInhKeyCount(aLeft, uint16_t(lCount + rCount));
  const TmvBlockNumber following = mvInhNextNode(aRight);
  mvSetInhNextNode(aLeft, following);
  if (following != mvNoBlock) mvSetInhPrevNode(Hold(aOp, following, true, intLeaf), aLeftPage);
  if (aPath && aPath->bpipPage == aLeftPage) {
    aPath->bpipIdentCounter = mvInhIdentCounter(aLeft);
    aPath->bpipLSN = mvBchLSN(aLeft);
  }
  RemoveSlot(aOp, aParentPage, aRightSlot - 1, nullptr);
  FreeNode(aOp.opHeader.get(), aRight);
}

// 5.4 An internal node borrows one separator through the parent.
void TmvStaticKeyBstarTreeIndexEngine::RotateInternal(uint8_t* aQ, uint8_t* aSibling, bool aFromLeft,
                                                      uint8_t* aParent, int32_t aSlot) {
  const uint32_t pair = ieSizeOfInternalNodeKeyPair, keyLength = ieNodeKeyLength;
  const int32_t qCount = mvInhKeyCount(aQ), sCount = mvInhKeyCount(aSibling);
  if (!aFromLeft) {
    std::memcpy(aQ + ieInternalNodeKeyOffset[size_t(qCount)], aParent + ieInternalNodeKeyOffset[size_t(aSlot)],
                keyLength);
    mvPutU32(aQ, ieTreePointerOffset[size_t(qCount) + 1], Child(aSibling, 0));
    std::memcpy(aParent + ieInternalNodeKeyOffset[size_t(aSlot)], SeparatorKey(aSibling, 0), keyLength);
    std::memmove(aSibling + ieTreePointerOffset[0], aSibling + ieTreePointerOffset[1], size_t(sCount - 1) * pair + 4);
  } else {
    std::memmove(aQ + ieTreePointerOffset[1], aQ + ieTreePointerOffset[0], size_t(qCount) * pair + 4);
    mvPutU32(aQ, ieTreePointerOffset[0], Child(aSibling, sCount));
    std::memcpy(aQ + ieInternalNodeKeyOffset[0], aParent + ieInternalNodeKeyOffset[size_t(aSlot - 1)], keyLength);
    std::memcpy(aParent + ieInternalNodeKeyOffset[size_t(aSlot - 1)], SeparatorKey(aSibling, sCount - 1), keyLength);
  }
  mvSetInhKeyCount(aQ, uint16_t(qCount + 1));
  mvSetInhKeyCount(aSibling, uint16_t(sCount - 1));
}

// 5.5 Two internal nodes become one around the parent's separator
// between them.
void TmvStaticKeyBstarTreeIndexEngine::MergeInternal(TOperation& aOp, uint8_t* aLeft, uint8_t* aRight,
                                                     TmvBlockNumber aRightPage, TmvBlockNumber aParentPage,
                                                     int32_t aRightSlot) {
  (void)aRightPage;
  const uint32_t pair = ieSizeOfInternalNodeKeyPair;
  const int32_t lCount = mvInhKeyCount(aLeft), rCount = mvInhKeyCount(aRight);
  if (lCount + rCount + 1 > ieMaxInternalNodeKeyCount) return;
  const uint8_t* parent = Hold(aOp, aParentPage, false, intInternal);
  std::memcpy(aLeft + ieInternalNodeKeyOffset[size_t(lCount)], SeparatorKey(parent, aRightSlot - 1), ieNodeKeyLength);
  std::memcpy(aLeft + ieTreePointerOffset[size_t(lCount) + 1], aRight + ieTreePointerOffset[0],
              size_t(rCount) * pair + 4);
  mvSetInhKeyCount(aLeft, uint16_t(lCount + rCount + 1));
  RemoveSlot(aOp, aParentPage, aRightSlot - 1, nullptr);
  FreeNode(aOp.opHeader.get(), aRight);
}

// ---------------------------------------------------------------------------
// Delete all keys

void TmvStaticKeyBstarTreeIndexEngine::DeleteAllKeys(TmvBaseTransaction* aTrans) {
  TOperation op(this, aTrans, true, 0, 0);
  TReleaseAtEnd release(ieReleaseList);
  TmvBaseIndexHeaderAccess& header = *op.opHeader;
  const int32_t root = header.GetIndexRoot();
  header.SetIndexRoot(-1);
  header.SetIndexPageCount(0);
  header.SetIndexKeyCount(0);
  if (root == -1) return;
  // Children before their parents; every node read for change first.
  std::vector<std::pair<TmvBlockNumber, int32_t>> pending{{TmvBlockNumber(root), 1}};
  std::vector<TmvBlockNumber> order;
  std::set<TmvBlockNumber> seen;
  while (!pending.empty()) {
    const auto [block, depth] = pending.back();
    pending.pop_back();
    op.CheckDepth(depth);
    if (!seen.insert(block).second) RaiseDamaged(block);  // a node under two parents
    const uint8_t* node = Hold(op, block, true);
    order.push_back(block);
    if (mvInhNodeType(node) == intInternal)
      for (int32_t i = 0; i <= mvInhKeyCount(node); ++i) pending.push_back({Child(node, i), depth + 1});
  }
  TmvBaseFileHeaderAccess* file = header.FileHeader();
  for (auto block = order.rbegin(); block != order.rend(); ++block) {
    uint8_t* node = Hold(op, *block, true);
    file->DeleteBlock(aTrans, node);
  }
}
