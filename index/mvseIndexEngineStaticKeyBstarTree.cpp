// Index engines: the static-key B*-tree: set-up, node checks, searches,
// steps and paths. Insert and delete are in
// mvseIndexEngineStaticKeyBstarTreeModify.cpp, walks over ranges, record
// numbers and estimates in mvseIndexEngineStaticKeyBstarTreeIterate.cpp.
// See mvseIndexEngineStaticKeyBstarTree.h.
#include "index/mvseIndexEngineStaticKeyBstarTree.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "dictionary/filters/mvsdFilterEngine.h"
#include "dictionary/items/mvsdFileDescriptor.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"
#include "index/mvseIndexEngineStaticKeyBstarTreeOperation.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/transactions/mvsrTransaction.h"
#include "storage/records/mvseRecordEngine.h"

namespace {

constexpr char16_t kClassName[] = u"TmvStaticKeyBstarTreeIndexEngine";

[[noreturn]] void RaiseMaxKeySize(int32_t aNumber, const String& aName) {
  throw EmvBaseIndexEngineException(MVERR_MAXKEYSIZE, u"Maximum key size has been exceeded. Index: #%d %s",
                                    {aNumber, aName});
}

bool IsForward(TmvSearchKeyAction aAction) {
  switch (aAction) {
    case skaEqualFirst:
    case skaGreaterEqual:
    case skaGreater:
    case skaAnyEqual:
    case skaAnyGreaterEqual:
    case skaAnyGreater: return true;
    default: return false;
  }
}

bool IsEqualAction(TmvSearchKeyAction aAction) {
  return aAction == skaEqualFirst || aAction == skaEqualLast || aAction == skaAnyEqual;
}

}  // namespace

// ---------------------------------------------------------------------------
// The path

void TmvStaticKeyBstarTreeIndexPath::Assign(const TPersistent* aSource) {
  TmvBaseIndexPath::Assign(aSource);
  if (const auto* source = dynamic_cast<const TmvStaticKeyBstarTreeIndexPath*>(aSource)) {
    bpipPage = source->bpipPage;
    bpipItem = source->bpipItem;
    bpipIdentCounter = source->bpipIdentCounter;
    bpipLSN = source->bpipLSN;
    bpipWalkDirection = source->bpipWalkDirection;
    bpipLeavesWalked = source->bpipLeavesWalked;
  }
}

void TmvStaticKeyBstarTreeIndexPath::Clear() {
  TmvBaseIndexPath::Clear();
  bpipPage = 0;
  bpipItem = 0;
  bpipIdentCounter = 0;
  bpipLSN = 0;
  bpipWalkDirection = 0;
  bpipLeavesWalked = 0;
}

// ---------------------------------------------------------------------------
// One operation: the header access it reads the index's values through, and
// the leaves its walks have entered (a leaf chain that loops ends there).

TmvStaticKeyBstarTreeIndexEngine::TOperation::TOperation(TmvStaticKeyBstarTreeIndexEngine* aEngine,
                                                         TmvBaseTransaction* aTrans, bool aForModify,
                                                         int32_t aFieldCount, int32_t aPartialLen,
                                                         TmvBaseIndexPath* aKeyPath)
    : opEngine(aEngine),
      opTrans(aTrans),
      opHeader(aEngine->CreateHeaderAccess(aTrans, aForModify, aForModify, aFieldCount, aPartialLen)),
      opOwnerID(int32_t(opHeader->bhaID)),
      opKeyPath(aKeyPath) {}

TmvStaticKeyBstarTreeIndexEngine::TOperation::~TOperation() {
  if (opKeyScope) opEngine->CloseKeySource(*this);
}

void TmvStaticKeyBstarTreeIndexEngine::TOperation::CountLeafEntered(TmvStaticKeyBstarTreeIndexPath* aPath,
                                                                    int8_t aDirection) {
  if (opLeafLimit == 0)
    opLeafLimit = std::min<uint64_t>(opHeader->GetIndexPageCount(), opHeader->FileHeader()->GetUsedBlocks());
  if (aPath->bpipWalkDirection != aDirection) {
    aPath->bpipWalkDirection = aDirection;
    aPath->bpipLeavesWalked = 0;
  }
  if (++aPath->bpipLeavesWalked > opLeafLimit)
    throw EmvBaseIndexEngineException(MVERR_FILECORRUPT, u"The leaves of index \"%s\" in file \"%s\" form a loop",
                                      {opEngine->bieIndexName, opEngine->bieIndexFile->_File()->FileName()});
}

void TmvStaticKeyBstarTreeIndexEngine::TOperation::CheckDepth(int32_t aDepth) {
  if (aDepth > kMaxTreeDepth)
    throw EmvBaseIndexEngineException(MVERR_FILECORRUPT, u"The nodes of index \"%s\" in file \"%s\" form a loop",
                                      {opEngine->bieIndexName, opEngine->bieIndexFile->_File()->FileName()});
}

// ---------------------------------------------------------------------------
// Set-up

constinit const TmvIndexEngineClassRef TmvStaticKeyBstarTreeIndexEngine::StaticClass{
    {{kClassName, &TmvBaseIndexEngine::StaticClass}, &TmvBaseIndexEngine::GetList, &TmvBaseSubEngine::NoTableCheck},
    &TmvStaticKeyBstarTreeIndexEngine::Create,
    &TmvStaticKeyBstarTreeIndexEngine::CheckKeyDescriptor};

TmvBaseIndexEngine* TmvStaticKeyBstarTreeIndexEngine::Create(TmvBaseIndicesEngine* aIndicesEngine,
                                                             TmvBaseKeyEngine* aKeyEngine,
                                                             TmvIndexDescriptor* aIndexDescriptor) {
  return new TmvStaticKeyBstarTreeIndexEngine(aIndicesEngine, aKeyEngine, aIndexDescriptor);
}

TmvStaticKeyBstarTreeIndexEngine::TmvStaticKeyBstarTreeIndexEngine(TmvBaseIndicesEngine* aIndicesEngine,
                                                                   TmvBaseKeyEngine* aKeyEngine,
                                                                   TmvIndexDescriptor* aIndexDescriptor)
    : TmvStaticKeyBstarTreeIndexEngine(aIndicesEngine, aKeyEngine, aIndexDescriptor, nkWholeKeys) {}

TmvStaticKeyBstarTreeIndexEngine::TmvStaticKeyBstarTreeIndexEngine(TmvBaseIndicesEngine* aIndicesEngine,
                                                                   TmvBaseKeyEngine* aKeyEngine,
                                                                   TmvIndexDescriptor* aIndexDescriptor,
                                                                   TNodeKeys aNodeKeys)
    : TmvBaseIndexEngine(aIndicesEngine, aKeyEngine, aIndexDescriptor),
      ieRecordEngine(aIndicesEngine->RecordEngine()),
      ieNodeKeys(aNodeKeys) {
  try {
    // Engines of other node forms make their own checks.
    auto* table = aNodeKeys == nkWholeKeys
                      ? dynamic_cast<TmvBaseTableDescriptor*>(aIndicesEngine->Descriptor()->GetParent())
                      : nullptr;
    if (table && table->GetCachingState() == tcsIsCache) {
      const String seq = mvSequentialAccessIndexName;
      if (bieIndexName.size() == seq.size() && mvStrLICompW(bieIndexName.c_str(), seq.c_str(), seq.size()) == 0)
        ieIsCacheSeqAccess = true;
      else if (dynamic_cast<TmvMainIndicesDescriptor*>(aIndicesEngine->Descriptor()))
        throw EmvBaseIndexEngineException(MVERR_NOTSUPPORTED, u"%s is not supported for cache tables",
                                          {String(kClassName)});
    }
    SetUpGeometry();
  } catch (...) {
    // The key engine goes back to the caller, who frees it on failure.
    bieKeyEngine = nullptr;
    throw;
  }
}

TmvStaticKeyBstarTreeIndexEngine::~TmvStaticKeyBstarTreeIndexEngine() = default;

void TmvStaticKeyBstarTreeIndexEngine::SetUpGeometry() {
  TmvBaseKeyDescriptor* key = bieKeyEngine->GetKeyDescriptor();
  // Slots take the larger of the two lengths: keys are copied with the key
  // engine's own length.
  const uint32_t keyLength = std::max<uint32_t>(key ? uint32_t(std::max(key->GetKeyLen(), 0)) : 0,
                                                bieKeyEngine->bkeKeyLength);
  if (ieNodeKeys == nkRefsOnly) {
    // A reference in place of the key, whatever the key's length.
    ieGeometry = mvIndexNodeGeometry(sizeof(TmvRefNr), false, true, bieIndexFile->fiBlockSizeBytes());
    ieTieByRef = bieDups;
  } else {
    ieGeometry = mvIndexNodeGeometry(keyLength, bieDups && !bieKeysAreRefs, bieKeysAreRefs,
                                     bieIndexFile->fiBlockSizeBytes());
    ieTieByRef = ieGeometry.AddKeyRefsToKeys;
  }
  // Fewer entries than these would make splits and merges meaningless.
  if (ieGeometry.MaxInternalKeys < 4 || ieGeometry.MaxLeafKeys < 3) RaiseMaxKeySize(bieIndexNumber, bieIndexName);
  ieDescKeyLength = ieGeometry.DescKeyLength;
  ieNodeKeyLength = ieGeometry.NodeKeyLength;
  ieAddKeyRefsToKeys = ieGeometry.AddKeyRefsToKeys;
  ieSizeOfInternalNodeKeyPair = ieGeometry.InternalPair;
  ieSizeOfLeafNodeKeyPair = ieGeometry.LeafPair;
  ieMaxInternalNodeKeyCount = ieGeometry.MaxInternalKeys;
  ieMaxLeafNodeKeyCount = ieGeometry.MaxLeafKeys;
  const uint32_t pair = ieSizeOfInternalNodeKeyPair;
  for (uint32_t i = 0; i <= uint32_t(ieMaxInternalNodeKeyCount) + 1; ++i) {
    ieTreePointerOffset.push_back(mvIndexNodeHeaderSize + i * pair);
    ieInternalNodeKeyOffset.push_back(mvIndexNodeHeaderSize + 4 + i * pair);
    ieInternalNodeKeyRefOffset.push_back(mvIndexNodeHeaderSize + 4 + i * pair + ieDescKeyLength);
  }
  for (uint32_t i = 0; i < ieMaxLeafNodeKeyCount; ++i) {
    ieLeafNodeKeyOffset.push_back(mvIndexNodeHeaderSize + i * ieSizeOfLeafNodeKeyPair);
    if (!bieKeysAreRefs && ieNodeKeys == nkWholeKeys) ieLeafNodeKeyRefOffset.push_back(ieLeafNodeKeyOffset.back() + ieDescKeyLength);
  }
  ieTempInsertKey.assign(ieNodeKeyLength, 0);
}

void TmvStaticKeyBstarTreeIndexEngine::CheckKeyDescriptor(TmvIndexDescriptor* aIndexDescriptor) {
  TmvBaseIndexEngine::CheckKeyDescriptor(aIndexDescriptor);
  TmvBaseKeyDescriptor* key = aIndexDescriptor->GetKeyDescriptor();
  if (!key) return;
  const bool keysAreRefs = dynamic_cast<TmvRefKeyDescriptor*>(key) != nullptr;
  const TmvIndexDups dups = aIndexDescriptor->GetDups();
  const bool addRefs = !keysAreRefs && (dups == idAll || (dups == idNull && key->CanContainNulls()));
  const uint32_t need = mvIndexMinimumUsableBytes(uint32_t(std::max(key->GetKeyLen(), 0)), addRefs, keysAreRefs);
  TmvFileDescriptor* file = aIndexDescriptor->IndexFile();
  if (!file) return;  // an index outside a table has no file to fit
  for (int code = file->GetBlockSize(); code < mvBlockSizeCount; ++code) {
    if (file->GetBlockSize() != code) file->SetBlockSize(TmvBlockSize(code));
    if (uint32_t(std::max(file->UsableBlockSize(), 0)) >= need) return;
  }
  RaiseMaxKeySize(aIndexDescriptor->GetNumber(), aIndexDescriptor->GetName());
}

TmvIndexPathClass TmvStaticKeyBstarTreeIndexEngine::IndexPathClass() {
  return [](TmvBaseIndexEngine* aEngine) -> TmvBaseIndexPath* { return new TmvStaticKeyBstarTreeIndexPath(aEngine); };
}

TmvStaticKeyBstarTreeIndexEngine::TPath* TmvStaticKeyBstarTreeIndexEngine::OwnPath(TmvBaseIndexPath* aPath) const {
  if (!aPath) return nullptr;
  MV_ASSERT(aPath->bipIndexEngine == this);
  return static_cast<TPath*>(aPath);
}

// ---------------------------------------------------------------------------
// Nodes

TmvRefNr TmvStaticKeyBstarTreeIndexEngine::LeafRef(const uint8_t* aNode, int32_t aSlot) const {
  if (bieKeysAreRefs || ieNodeKeys == nkRefsOnly) return TmvRefNr(mvGetU64(aNode, LeafKeyOffset(aSlot)));
  return TmvRefNr(mvGetU64(aNode, ieLeafNodeKeyRefOffset[size_t(aSlot)]));
}

TmvRefNr TmvStaticKeyBstarTreeIndexEngine::SeparatorRef(const uint8_t* aNode, int32_t aIndex) const {
  if (ieNodeKeys == nkRefsOnly) return TmvRefNr(mvGetU64(SeparatorKey(aNode, aIndex), 0));
  return TmvRefNr(mvGetU64(aNode, ieInternalNodeKeyRefOffset[size_t(aIndex)]));
}

// ---------------------------------------------------------------------------
// Keys of entries: in the node

int8_t TmvStaticKeyBstarTreeIndexEngine::CompareToEntry(TOperation&, const void* aKey, const uint8_t* aEntry,
                                                        int32_t aFieldCount, int32_t aPartialLen, bool aWhole) {
  return aWhole ? bieKeyEngine->CompareKey(aKey, aEntry) : bieKeyEngine->CompareKey(aKey, aEntry, aFieldCount, aPartialLen);
}

const uint8_t* TmvStaticKeyBstarTreeIndexEngine::EntryKey(TOperation&, const uint8_t* aEntry) { return aEntry; }

TmvRefNr TmvStaticKeyBstarTreeIndexEngine::EntryTieRef(TOperation&, const uint8_t* aEntry) {
  return TmvRefNr(mvGetU64(aEntry, bieKeysAreRefs ? 0 : ieDescKeyLength));
}

void TmvStaticKeyBstarTreeIndexEngine::LoadPathKey(TOperation&, TPath* aPath, const uint8_t* aEntry) {
  bieKeyEngine->CopyKey(aEntry, aPath->Key);
  if (ieIsCacheSeqAccess) aPath->CacheRefNr = TmvRefNr(mvGetU64(aPath->Key, 0));
}

void TmvStaticKeyBstarTreeIndexEngine::CheckNode(TOperation& aOp, const uint8_t* aNode, TmvBlockNumber aBlock,
                                                 TmvIndexNodeType aType) {
  const uint8_t type = mvInhNodeType(aNode);
  const uint32_t first = mvInhFirstSlot(aNode), count = mvInhKeyCount(aNode);
  bool sound = mvInhIndexNumber(aNode) == uint8_t(bieIndexNumber);
  if (type == intInternal)
    sound = sound && first == 0 && count <= ieMaxInternalNodeKeyCount;
  else if (type == intLeaf)
    sound = sound && first + count <= ieMaxLeafNodeKeyCount;
  else
    sound = false;
  if (aType != intHeader && type != aType) sound = false;
  if (!sound) mvRaiseNotAnIndexBlock(bieIndexFile, aBlock);
  // A node of a torn commit would mix trees of two commits.
  if (mvIndexBlockFromUnfinishedCommit(aNode, aOp.opTrans, bieIndexFile, aOp.opHeader->FileHeader()))
    throw EmvBaseIndexEngineException(MVERR_FILECORRUPT,
                                      u"Node %d of index \"%s\" was written by a commit that did not complete",
                                      {int32_t(aBlock), bieIndexName});
}

uint8_t* TmvStaticKeyBstarTreeIndexEngine::ReadNode(TOperation& aOp, TmvBlockNumber aBlock, bool aForModify,
                                                    TmvReleaseMethod& aRelease, TmvIndexNodeType aType) {
  TmvHeldBlock node;
  node.Block = mvReadIndexNode(aOp.opTrans, bieIndexFile, aOp.opOwnerID, node.Release, aBlock, aForModify);
  CheckNode(aOp, node.Block, aBlock, aType);
  return node.Detach(aRelease);
}

uint8_t* TmvStaticKeyBstarTreeIndexEngine::NewNode(TmvBaseIndexHeaderAccess* aHeader, bool aLeaf,
                                                   TmvReleaseMethod& aRelease) {
  TmvHeldBlock node;
  node.Block = aHeader->FileHeader()->GetNewBlock(aHeader->bhaTrans, int32_t(aHeader->bhaID), node.Release);
  uint8_t* b = node.Block;
  const TmvLSN lsn = aHeader->bhaTrans ? aHeader->bhaTrans->LSN() : 0;
  std::memcpy(b, mvIndexNodeSignature.data(), 4);
  // The cache stamps blocks that had content before; a new one carries the
  // LSN of the transaction that made it, as any block it changed.
  mvPutU64(b, mvBchLSNOffset, uint64_t(lsn));
  mvSetInhIdentCounter(b, mvNewIdentCounter(lsn));
  mvSetInhPrevNode(b, mvNoBlock);
  mvSetInhNextNode(b, mvNoBlock);
  mvSetInhFirstSlot(b, 0);
  mvSetInhKeyCount(b, 0);
  b[mvInhNodeTypeOffset] = aLeaf ? intLeaf : intInternal;
  b[mvInhIndexNumberOffset] = uint8_t(bieIndexNumber);
  aHeader->SetIndexPageCount(aHeader->GetIndexPageCount() + 1);
  return node.Detach(aRelease);
}

void TmvStaticKeyBstarTreeIndexEngine::FreeNode(TmvBaseIndexHeaderAccess* aHeader, uint8_t* aNode) {
  aHeader->FileHeader()->DeleteBlock(aHeader->bhaTrans, aNode);
  aHeader->SetIndexPageCount(aHeader->GetIndexPageCount() - 1);
}

// ---------------------------------------------------------------------------
// Node searches

TmvStaticKeyBstarTreeIndexEngine::TNodeSearch TmvStaticKeyBstarTreeIndexEngine::ChooseSearch(
    TmvRefNr aRefNr, int32_t aFieldCount, int32_t aPartialLen) const {
  if (ieTieByRef && aRefNr != 0 && aFieldCount == 0 && aPartialLen == 0) return nsRefExact;
  if (bieDups || aPartialLen != 0 || (aFieldCount != 0 && aFieldCount != bieMaxFieldCount)) return nsAction;
  return nsPartial;
}

bool TmvStaticKeyBstarTreeIndexEngine::SearchNode(TOperation& aOp, const uint8_t* aNode, bool aLeaf, TNodeSearch aKind,
                                                  const void* aKey, TmvRefNr aRefNr, int32_t aFieldCount,
                                                  int32_t aPartialLen, TmvSearchKeyAction aAction, int32_t& aSlot) {
  int32_t low = mvInhFirstSlot(aNode);
  int32_t high = low + mvInhKeyCount(aNode) - 1;
  int32_t equal = -1;
  while (low <= high) {
    const int32_t mid = (low + high) / 2;
    const uint8_t* entry = aLeaf ? LeafKey(aNode, mid) : SeparatorKey(aNode, mid);
    int8_t c;
    if (aKind == nsFull || aKind == nsRefExact) {
      c = CompareToEntry(aOp, aKey, entry, 0, 0, true);
      if (c == 0 && aKind == nsRefExact) {
        const TmvRefNr stored = EntryTieRef(aOp, entry);
        c = int8_t(aRefNr < stored ? -1 : aRefNr > stored ? 1 : 0);
      }
    } else {
      c = CompareToEntry(aOp, aKey, entry, aFieldCount, aPartialLen, false);
    }
    if (c == 0) {
      if (aKind != nsAction || aAction >= skaAnyEqual) {
        aSlot = mid;
        return true;
      }
      equal = mid;
      if (aAction <= skaGreater)
        high = mid - 1;
      else
        low = mid + 1;
    } else if (c < 0) {
      high = mid - 1;
    } else {
      low = mid + 1;
    }
  }
  if (equal >= 0) {
    aSlot = equal;
    return true;
  }
  aSlot = low;
  return false;
}

// ---------------------------------------------------------------------------
// Positions

void TmvStaticKeyBstarTreeIndexEngine::SetPath(TOperation& aOp, TPath* aPath, TmvBlockNumber aPage,
                                               const uint8_t* aLeaf, int32_t aSlot, TmvIndexPathPosition aPosition) {
  aPath->bpipPage = aPage;
  aPath->bpipItem = aSlot;
  aPath->bpipIdentCounter = mvInhIdentCounter(aLeaf);
  aPath->bpipLSN = mvBchLSN(aLeaf);
  aPath->RefNr = LeafRef(aLeaf, aSlot);
  LoadPathKey(aOp, aPath, LeafKey(aLeaf, aSlot));
  aPath->KeyValid = true;
  aPath->Deleted = false;
  aPath->Position = aPosition;
}

bool TmvStaticKeyBstarTreeIndexEngine::KeyPasses(TmvBaseFilterEngine* aKeyFilter, const void* aKey, bool& aTimedOut) {
  aTimedOut = false;
  if (!aKeyFilter || aKeyFilter->MatchesBuffer(aKey)) return true;
  if (aKeyFilter->kfCheckTimeOut) {
    uint32_t local = 0;
    uint32_t& result = aKeyFilter->kfResult ? *aKeyFilter->kfResult : local;
    if (aKeyFilter->kfCheckTimeOut(result)) aTimedOut = true;
  }
  return aTimedOut;
}

// ---------------------------------------------------------------------------
// Walks along the leaf chain

bool TmvStaticKeyBstarTreeIndexEngine::TWalk::StartAtEnd() {
  const int32_t root = wOp.opHeader->GetIndexRoot();
  if (root == -1) return false;
  wLeaf.Drop();
  wPage = TmvBlockNumber(root);
  wLeaf.Block = wEngine->ReadNode(wOp, wPage, false, wLeaf.Release);
  for (int32_t depth = 1; mvInhNodeType(wLeaf.Block) == intInternal; ++depth) {
    wOp.CheckDepth(depth);
    wPage = wEngine->Child(wLeaf.Block, wForward ? 0 : mvInhKeyCount(wLeaf.Block));
    wLeaf.Drop();
    wLeaf.Block = wEngine->ReadNode(wOp, wPage, false, wLeaf.Release);
  }
  wSlot = wForward ? First() : End() - 1;
  return true;
}

void TmvStaticKeyBstarTreeIndexEngine::TWalk::StartAt(TmvBlockNumber aPage, int32_t aSlot) {
  wLeaf.Drop();
  wPage = aPage;
  wLeaf.Block = wEngine->ReadNode(wOp, aPage, false, wLeaf.Release, intLeaf);
  wSlot = aSlot;
}

bool TmvStaticKeyBstarTreeIndexEngine::TWalk::NextLeaf() {
  const TmvBlockNumber neighbour = wForward ? mvInhNextNode(wLeaf.Block) : mvInhPrevNode(wLeaf.Block);
  if (neighbour == mvNoBlock) {
    wLeaf.Drop();
    return false;
  }
  wOp.CountLeafEntered(wCounter, wForward ? 1 : -1);
  TmvHeldBlock other;
  other.Block = wEngine->ReadNode(wOp, neighbour, false, other.Release, intLeaf);
  if ((wForward ? mvInhPrevNode(other.Block) : mvInhNextNode(other.Block)) != wPage)
    throw EmvBaseIndexEngineException(MVERR_FILECORRUPT, u"Leaf %d of index \"%s\" does not link back to leaf %d",
                                      {int32_t(neighbour), wEngine->bieIndexName, int32_t(wPage)});
  wLeaf.Drop();
  TmvReleaseMethod release;
  wLeaf.Block = other.Detach(release);
  wLeaf.Release = release;
  wPage = neighbour;
  wSlot = wForward ? First() : End() - 1;
  wEntered = true;
  return true;
}

bool TmvStaticKeyBstarTreeIndexEngine::TWalk::Settle() {
  wEntered = false;
  if (wForward) {
    wSlot = std::max(wSlot, First());
    while (wSlot >= End())
      if (!NextLeaf()) return false;
  } else {
    wSlot = std::min(wSlot, End() - 1);
    while (wSlot < First())
      if (!NextLeaf()) return false;
  }
  return true;
}

bool TmvStaticKeyBstarTreeIndexEngine::Step(TOperation& aOp, TPath* aPath, TmvBaseFilterEngine* aKeyFilter,
                                            bool aForward) {
  // Everything below is written for forward steps; backward ones are the
  // mirror (the other end, the other link, the other crack).
  if (aForward ? aPath->IsEof() : aPath->IsBof()) return false;
  TWalk walk(this, aOp, aPath, aForward);
  if ((aForward ? aPath->IsBof() : aPath->IsEof()) || aPath->Position == ippUnknown) {
    // 1. From an end: down the first (last) pointers to the first (last)
    // entry, which the step stays on.
    if (!walk.StartAtEnd()) return false;
  } else {
    // 2. From a crack before (after) a slot: that slot; else the next one.
    walk.StartAt(aPath->bpipPage, aPath->bpipItem);
    if (aPath->Position != (aForward ? ippOnCrackBefore : ippOnCrackAfter)) walk.Advance();
  }
  for (;;) {
    if (!walk.Settle()) {
      if (aForward)
        aPath->SetToEof();
      else
        aPath->SetToBof();
      return false;
    }
    // 3. On the entry; 4. on to the next one unless the filter lets it
    // through (or its time is up).
    SetPath(aOp, aPath, walk.Page(), walk.Leaf(), walk.Slot(), ippOnKey);
    bool timedOut;
    if (KeyPasses(aKeyFilter, walk.Key(), timedOut)) return true;
    walk.Advance();
  }
}

// ---------------------------------------------------------------------------
// The key path search

bool TmvStaticKeyBstarTreeIndexEngine::FindKeyPath(TOperation& aOp, const void* aKey, TmvRefNr aRefNr, TPath* aPath,
                                                   TmvSearchKeyAction aAction, TmvBaseFilterEngine* aKeyFilter) {
  // 1. An empty index has no path.
  aPath->Clear();
  const int32_t root = aOp.opHeader->GetIndexRoot();
  if (root == -1) return false;
  // 2. One node search all the way down.
  const int32_t fieldCount = aOp.opHeader->bhaFieldCount, partialLen = aOp.opHeader->bhaPartialLen;
  const TNodeSearch kind = ChooseSearch(aRefNr, fieldCount, partialLen);
  TmvBlockNumber page = TmvBlockNumber(root);
  TmvHeldBlock node;
  node.Block = ReadNode(aOp, page, false, node.Release);
  int32_t slot = 0;
  for (int32_t depth = 1; mvInhNodeType(node.Block) == intInternal; ++depth) {
    aOp.CheckDepth(depth);
    SearchNode(aOp, node.Block, false, kind, aKey, aRefNr, fieldCount, partialLen, aAction, slot);
    page = Child(node.Block, slot);
    node.Drop();
    node.Block = ReadNode(aOp, page, false, node.Release);
  }
  // 3. The leaf.
  const int32_t first = mvInhFirstSlot(node.Block), count = mvInhKeyCount(node.Block);
  if (count == 0)
    throw EmvBaseIndexEngineException(MVERR_FILECORRUPT, u"Leaf %d of index \"%s\" holds no key",
                                      {int32_t(page), bieIndexName});
  const bool found = SearchNode(aOp, node.Block, true, kind, aKey, aRefNr, fieldCount, partialLen, aAction, slot);
  auto equalsKey = [&] {
    return aPath->IsOnKey() && bieKeyEngine->CompareKey(aKey, aPath->Key, fieldCount, partialLen) == 0;
  };
  // A key the filter refuses moves on in the action's direction.
  auto passFilter = [&] {
    if (aKeyFilter && aPath->IsOnKey() && !aKeyFilter->MatchesBuffer(aPath->Key)) {
      if (IsForward(aAction))
        StepForward(aOp, aPath, aKeyFilter);
      else
        StepBackward(aOp, aPath, aKeyFilter);
    }
  };
  bool result;
  if (found) {
    // 4. On the key; over its equals when the action or the index asks for
    // it, then to the first (last) one the filter lets through.
    SetPath(aOp, aPath, page, node.Block, slot, ippOnKey);
    node.Drop();
    const bool anyAction = aAction == skaAnyEqual || aAction == skaAnyGreaterEqual || aAction == skaAnySmallerEqual;
    const bool skips = aAction == skaGreater || aAction == skaSmaller || aAction == skaAnyGreater ||
                       aAction == skaAnySmaller;
    const bool walk = !anyAction && (skips || (bieDups && kind != nsRefExact) || fieldCount != 0 || partialLen != 0);
    if (walk) {
      const bool backward = aAction == skaEqualFirst || aAction == skaGreaterEqual || aAction == skaSmaller ||
                            aAction == skaAnySmaller;
      if (backward) {
        while (StepBackward(aOp, aPath, nullptr) && equalsKey()) {
        }
      } else {
        while (StepForward(aOp, aPath, nullptr) && equalsKey()) {
        }
      }
      if (aAction == skaEqualFirst || aAction == skaGreaterEqual)
        StepForward(aOp, aPath, aKeyFilter);
      else if (aAction == skaEqualLast || aAction == skaSmallerEqual)
        StepBackward(aOp, aPath, aKeyFilter);
      else
        passFilter();
    } else {
      passFilter();
    }
    result = true;
  } else {
    // 5. On the crack where the key would be, then to the neighbour the
    // action asks for.
    if (slot < first + count) {
      SetPath(aOp, aPath, page, node.Block, slot, ippOnCrackBefore);
    } else {
      SetPath(aOp, aPath, page, node.Block, first + count - 1, ippOnCrackAfter);
    }
    node.Drop();
    if (IsEqualAction(aAction)) return false;
    if (IsForward(aAction))
      StepForward(aOp, aPath, aKeyFilter);
    else
      StepBackward(aOp, aPath, aKeyFilter);
    result = !aPath->IsOnCrack();
  }
  // 6. An equal action ends on an equal key or not at all.
  if (IsEqualAction(aAction) && result && aPath->IsOnKey() && !equalsKey()) {
    result = false;
    aPath->Position = aAction == skaEqualLast ? ippOnCrackAfter : ippOnCrackBefore;
  }
  return result;
}

int32_t TmvStaticKeyBstarTreeIndexEngine::FindKey(TmvBaseTransaction* aTrans, const void* aKey, int32_t aFieldCount,
                                                  int32_t aPartialLen, TmvRefNr aRefNr, TmvBaseIndexPath* aPath,
                                                  TmvSearchKeyAction aAction, TmvBaseFilterEngine* aKeyFilter) {
  TPath* path = OwnPath(aPath);
  if (aKeyFilter && !aKeyFilter->GetActive()) aKeyFilter = nullptr;
  try {
    TOperation op(this, aTrans, false, aFieldCount, aPartialLen, path);
    if (op.opHeader->GetIndexRoot() == -1) {
      if (IsEqualAction(aAction)) {
        path->Clear();
        return false;
      }
      if (IsForward(aAction))
        path->SetToEof();
      else
        path->SetToBof();
      return true;
    }
    return FindKeyPath(op, aKey, aRefNr, path, aAction, aKeyFilter);
  } catch (...) {
    switch (aAction) {
      case skaGreaterEqual:
      case skaGreater:
      case skaEqualLast:
      case skaAnyGreaterEqual:
      case skaAnyGreater: path->SetToEof(); break;
      default: path->SetToBof(); break;
    }
    throw;
  }
}

// ---------------------------------------------------------------------------
// Steps

int32_t TmvStaticKeyBstarTreeIndexEngine::NextKey(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath,
                                                  TmvBaseFilterEngine* aKeyFilter) {
  return StepKey(aTrans, OwnPath(aPath), aKeyFilter, true);
}

int32_t TmvStaticKeyBstarTreeIndexEngine::PrevKey(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath,
                                                  TmvBaseFilterEngine* aKeyFilter) {
  return StepKey(aTrans, OwnPath(aPath), aKeyFilter, false);
}

// NextKey and its mirror: the far end answers false at once, an unknown
// position starts from the near end, any other is validated first; the
// end of the index, or a failure, leaves the far end.
bool TmvStaticKeyBstarTreeIndexEngine::StepKey(TmvBaseTransaction* aTrans, TPath* aPath,
                                               TmvBaseFilterEngine* aKeyFilter, bool aForward) {
  auto setFarEnd = [&] {
    if (aForward)
      aPath->SetToEof();
    else
      aPath->SetToBof();
  };
  if (aForward ? aPath->IsEof() : aPath->IsBof()) return false;
  if (aKeyFilter && !aKeyFilter->GetActive()) aKeyFilter = nullptr;
  try {
    TOperation op(this, aTrans, false, 0, 0, aPath);
    if (aPath->Position == ippUnknown) {
      if (aForward)
        aPath->SetToBof();
      else
        aPath->SetToEof();
    } else {
      ValidatePath(op, aPath);
    }
    if (Step(op, aPath, aKeyFilter, aForward)) return true;
    setFarEnd();
    return false;
  } catch (...) {
    setFarEnd();
    throw;
  }
}

void TmvStaticKeyBstarTreeIndexEngine::GetKeyCount(TmvBaseTransaction* aTrans, uint32_t& aCount) {
  TOperation op(this, aTrans, false, 0, 0);
  aCount = op.opHeader->GetIndexKeyCount();
}

// ---------------------------------------------------------------------------
// Path validation

void TmvStaticKeyBstarTreeIndexEngine::ValidateIndexPath(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath) {
  TPath* path = OwnPath(aPath);
  if (!path->IsOnCrack() && !path->IsOnKey()) return;
  TOperation op(this, aTrans, false, 0, 0, path);
  ValidatePath(op, path);
}

void TmvStaticKeyBstarTreeIndexEngine::RebuildKeyFromRecord(TmvBaseTransaction* aTrans, TPath* aPath) {
  bool built = false;
  uint8_t* data = nullptr;
  ieRecordEngine->ReadRecordForIterate(
      aTrans, aPath->RefNr, data,
      [&](void*, TmvRefNr, const uint8_t* aRecord) {
        const uint32_t code = bieKeyEngine->BuildKey(aRecord, aPath->Key, aPath->RefNr, true);
        if (code != 0) throw EmvBaseIndexEngineException(int32_t(code));
        if (aPath->CacheRefNr == 0 && bieRefNrOffset >= 0)
          aPath->CacheRefNr = TmvRefNr(mvGetU64(aRecord, uint32_t(bieRefNrOffset)));
        built = true;
        return rirContinue;
      },
      nullptr, nullptr);
  // A record that could not be read leaves the key unknown rather than
  // trusting whatever the buffer held.
  if (built) aPath->KeyValid = true;
}

void TmvStaticKeyBstarTreeIndexEngine::ValidatePath(TOperation& aOp, TPath* aPath) {
  if (!aPath->IsOnCrack() && !aPath->IsOnKey()) return;
  TmvBaseTransaction* trans = aOp.opTrans;
  // 1. A path known only by its cache reference learns its record.
  if (aPath->RefNr == 0 && aPath->CacheRefNr != 0) {
    TmvBaseIndexEngine* seq = bieIndicesEngine->SeqIndexEngine();
    aPath->RefNr = (seq ? seq : this)->SeqAccessLookup(trans, aPath->CacheRefNr, nullptr);
  }
  // 2. A path without a key takes it from its record.
  if (ieRecordEngine && !aPath->Deleted && (!aPath->KeyValid || ((ieIsCacheSeqAccess || ieTieByCacheRef) && aPath->CacheRefNr == 0)) &&
      aPath->RefNr != 0)
    RebuildKeyFromRecord(trans, aPath);
  // 3. The leaf as it was, or changed by other entries only: the key (or
  // its place) is found again inside it, without a search from the root,
  // unless its place may lie in a neighbouring leaf.
  if (bieIndexFile->ValidBlock(aPath->bpipPage, trans)) {
    TmvHeldBlock leaf;
    // Owner 0: a block freed and taken by another engine is no error here.
    leaf.Block = bieIndexFile->GetBlock(trans, aPath->bpipPage, 0, false, leaf.Release);
    const uint8_t* b = leaf.Block;
    const uint32_t first = mvInhFirstSlot(b), count = mvInhKeyCount(b);
    const bool ours = mvBchSignature(b) == mvIndexNodeSignature && mvInhNodeType(b) == intLeaf &&
                      mvInhIndexNumber(b) == uint8_t(bieIndexNumber) && count > 0 &&
                      first + count <= ieMaxLeafNodeKeyCount;
    if (ours) {
      const uint64_t ident = mvInhIdentCounter(b);
      const bool itemInside = aPath->bpipItem >= int32_t(first) && aPath->bpipItem < int32_t(first + count);
      if (ident == aPath->bpipIdentCounter && mvBchLSN(b) == aPath->bpipLSN && itemInside) return;
      const bool sameNode = (ident >> 32) == (aPath->bpipIdentCounter >> 32) &&
                            uint32_t(aPath->bpipIdentCounter) < uint32_t(ident);
      if (aPath->KeyValid && sameNode) {
        int32_t slot = 0;
        const TNodeSearch kind = ieTieByRef ? nsRefExact : nsFull;
        const bool found = SearchNode(aOp, b, true, kind, aPath->Key, SearchTieRef(aPath->RefNr, aPath->CacheRefNr), 0,
                                      0, skaEqualFirst, slot);
        if (found || (slot > int32_t(first) && slot < int32_t(first + count))) {
          aPath->bpipItem = slot;
          aPath->bpipIdentCounter = ident;
          aPath->bpipLSN = mvBchLSN(b);
          if (found) {
            aPath->RefNr = LeafRef(b, slot);
            LoadPathKey(aOp, aPath, LeafKey(b, slot));
          } else {
            aPath->Deleted = true;
            if (aPath->Position == ippOnCrackAfter)
              aPath->bpipItem = slot - 1;
            else
              aPath->Position = ippOnCrackBefore;
          }
          return;
        }
      }
    }
  }
  // 4. Found again from the root.
  if (aOp.opHeader->GetIndexRoot() == -1) {
    aPath->SetToBof();
    return;
  }
  if (!aPath->KeyValid) {
    aPath->Clear();
    return;
  }
  const TmvIndexPathPosition saved = aPath->Position;
  const bool wasDeleted = aPath->Deleted;
  const TmvRefNr savedRef = aPath->RefNr, savedCacheRef = aPath->CacheRefNr;
  std::vector<uint8_t> savedKey(static_cast<const uint8_t*>(aPath->Key),
                                static_cast<const uint8_t*>(aPath->Key) + bieKeyEngine->bkeKeyLength);
  const bool found =
      FindKeyPath(aOp, savedKey.data(), SearchTieRef(savedRef, savedCacheRef), aPath, skaEqualFirst, nullptr);
  if (found) {
    if (aPath->IsOnKey()) aPath->Position = saved;
  } else if (saved == ippOnCrackBefore) {
    if (aPath->Position == ippOnCrackAfter || aPath->IsOnKey()) {
      if (StepForward(aOp, aPath, nullptr) && aPath->IsOnKey()) aPath->Position = ippOnCrackBefore;
    }
  } else if (saved == ippOnCrackAfter) {
    if (aPath->Position == ippOnCrackBefore || aPath->IsOnKey()) {
      if (StepBackward(aOp, aPath, nullptr) && aPath->IsOnKey()) aPath->Position = ippOnCrackAfter;
    }
  }
  aPath->Deleted = wasDeleted || !found;
  if (aPath->Deleted) {
    aPath->RefNr = savedRef;
    aPath->CacheRefNr = savedCacheRef;
    std::memcpy(aPath->Key, savedKey.data(), savedKey.size());
    aPath->KeyValid = true;
  }
}

// ---------------------------------------------------------------------------
// The sequential-access index of a cache table

TmvRefNr TmvStaticKeyBstarTreeIndexEngine::SeqAccessLookup(TmvBaseTransaction* aTrans, TmvRefNr aCacheRefNr,
                                                           TmvBaseIndexPath* aPath) {
  if (!ieIsCacheSeqAccess) return 0;
  std::unique_ptr<TmvBaseIndexPath> scratch;
  if (!aPath) {
    scratch.reset(CreateIndexPath());
    aPath = scratch.get();
  }
  TPath* path = OwnPath(aPath);
  std::vector<uint8_t> key(bieKeyEngine->bkeKeyLength, 0);
  mvPutU64(key.data(), 0, uint64_t(aCacheRefNr));
  TOperation op(this, aTrans, false, 0, 0);
  if (!FindKeyPath(op, key.data(), 0, path, skaAnyEqual, nullptr)) return 0;
  return path->RefNr;
}

// ---------------------------------------------------------------------------
// Index numbers

void TmvStaticKeyBstarTreeIndexEngine::RenumberNodes(TmvBaseTransaction* aTrans, int32_t aNewNumber) {
  TOperation op(this, aTrans, true, 0, 0);
  const int32_t root = op.opHeader->GetIndexRoot();
  if (root == -1) return;
  // Level by level; every node is written once.
  std::vector<TmvBlockNumber> level{TmvBlockNumber(root)};
  for (int32_t depth = 1; !level.empty(); ++depth) {
    op.CheckDepth(depth);
    std::vector<TmvBlockNumber> below;
    for (TmvBlockNumber block : level) {
      TmvHeldBlock node;
      node.Block = ReadNode(op, block, true, node.Release);
      if (mvInhNodeType(node.Block) == intInternal)
        for (int32_t i = 0; i <= mvInhKeyCount(node.Block); ++i) below.push_back(Child(node.Block, i));
      node.Block[mvInhIndexNumberOffset] = uint8_t(aNewNumber);
    }
    level.swap(below);
  }
}

// ---------------------------------------------------------------------------
// Registration

void mvseIndexEngineStaticKeyBstarTreeInit() {
  TmvBaseSubEngine::Register(TmvStaticKeyBstarTreeIndexEngine::StaticClass, mvDefaultIndexEngine);
}

void mvseIndexEngineStaticKeyBstarTreeFini() {
  TmvBaseSubEngine::Unregister(TmvStaticKeyBstarTreeIndexEngine::StaticClass);
}
