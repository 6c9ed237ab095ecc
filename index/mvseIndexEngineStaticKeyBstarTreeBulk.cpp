// Index engines: the bulk builder of the static-key B*-tree: key
// containers in scratch blocks, their sort, runs and merges, and the tree
// builder. See mvseIndexEngineStaticKeyBstarTreeBulk.h.
#include "index/mvseIndexEngineStaticKeyBstarTreeBulk.h"

#include <algorithm>
#include <cstring>

#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "foundation/errors/mvllErrors.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/transactions/mvsrTransaction.h"

// ---------------------------------------------------------------------------
// Key containers

TmvKeyContainer::TmvKeyContainer(TmvStaticKeyBstarTreeIndexBulkBuilder* aBulkIndexer, TmvKeyContainerHead* aHead)
    : kcBulkIndexer(aBulkIndexer), kcHead(aHead) {
  TmvBufferManager* cache = aBulkIndexer->bsibbBufferManager;
  kcScratchHandle = cache->CreateScratchBlock(mvbs4M);
  try {
    Lock();
  } catch (...) {
    cache->FreeScratchBlock(kcScratchHandle);
    throw;
  }
  kcNext = aHead->bsibbhCurrentContainer;
  aHead->bsibbhCurrentContainer = this;
  ++aHead->bsibbhContainerCount;
  aBulkIndexer->bsibbContainers.insert(this);
}

TmvKeyContainer::~TmvKeyContainer() {
  TmvBufferManager* cache = kcBulkIndexer->bsibbBufferManager;
  if (Locked()) Unlock();
  cache->FreeScratchBlock(kcScratchHandle);
  kcBulkIndexer->bsibbContainers.erase(this);
}

void TmvKeyContainer::Lock() {
  kcScratchPointer = kcBulkIndexer->bsibbBufferManager->LockScratchBlock(kcScratchHandle);
  kcCurrentPointer = kcScratchPointer;
}

void TmvKeyContainer::Unlock() {
  kcBulkIndexer->bsibbBufferManager->UnlockScratchBlock(kcScratchHandle, kcScratchPointer);
  kcScratchPointer = nullptr;
  kcCurrentPointer = nullptr;
}

uint8_t* TmvKeyContainer::Entry(int32_t aIndex) const {
  MV_ASSERT(Locked() && aIndex >= 0 && aIndex < kcKeyCount);
  return kcScratchPointer + size_t(aIndex) * kcBulkIndexer->EntrySize();
}

TmvRefNr TmvKeyContainer::RefNrs(int32_t aIndex) const {
  return TmvRefNr(mvGetU64(Entry(aIndex), kcBulkIndexer->EntrySize() - 8));
}

bool TmvKeyContainer::Full() const { return kcKeyCount >= kcBulkIndexer->bsibbKeysPerContainer; }

TmvKeyContainer* TmvKeyContainer::CreateNext() { return new TmvKeyContainer(kcBulkIndexer, kcHead); }

TmvKeyContainer* TmvPreSortedKeyContainer::CreateNext() {
  return new TmvPreSortedKeyContainer(kcBulkIndexer, kcHead);
}

int32_t TmvKeyContainer::InsertKey(TmvRefNr aRefNr, const void* aRecord) {
  if (Full()) {
    Close();
    return CreateNext()->InsertKey(aRefNr, aRecord);
  }
  const uint32_t size = kcBulkIndexer->EntrySize();
  const uint32_t built = kcBulkIndexer->bibbKeyEngine->BuildKey(aRecord, kcCurrentPointer, aRefNr, false);
  if (built == 1) return 0;
  if (built != 0) return int32_t(built);
  mvPutU64(kcCurrentPointer, size - 8, uint64_t(aRefNr));
  kcCurrentPointer += size;
  ++kcKeyCount;
  ++kcBulkIndexer->bsibbTotalKeyCount;
  return 0;
}

void TmvKeyContainer::InsertMergedKey(const uint8_t* aEntry) {
  if (Full()) {
    Close();
    CreateNext()->InsertMergedKey(aEntry);
    return;
  }
  const uint32_t size = kcBulkIndexer->EntrySize();
  std::memcpy(kcCurrentPointer, aEntry, size);
  kcCurrentPointer += size;
  ++kcKeyCount;
}

void TmvKeyContainer::Close() {
  if (kcKeyCount == 0) {
    MV_ASSERT(kcHead->bsibbhCurrentContainer == this);
    kcHead->bsibbhCurrentContainer = kcNext;
    --kcHead->bsibbhContainerCount;
    delete this;
    return;
  }
  const uint32_t size = kcBulkIndexer->EntrySize();
  if (SortOnClose() && kcKeyCount >= 2) Sort();
  kcFirstKey.assign(Entry(0), Entry(0) + size);
  kcLastKey.assign(Entry(kcKeyCount - 1), Entry(kcKeyCount - 1) + size);
  Unlock();
}

// Quicksort in place without recursion: the larger part of each partition
// waits on a stack while the smaller one goes on, so 32 ranges are enough
// for any container; ranges of up to 15 entries are sorted by insertion.
// The pivot stays inside the array (swapped to the range's end), as an
// entry compared with itself must be the same entry, not a copy that would
// read as a duplicate.
void TmvKeyContainer::Sort() {
  const uint32_t size = kcBulkIndexer->EntrySize();
  std::vector<uint8_t> swapBuffer(size);
  auto swap = [&](int32_t a, int32_t b) {
    if (a == b) return;
    std::memcpy(swapBuffer.data(), Entry(a), size);
    std::memcpy(Entry(a), Entry(b), size);
    std::memcpy(Entry(b), swapBuffer.data(), size);
  };
  auto less = [&](int32_t a, int32_t b) { return kcBulkIndexer->CompareEntries(Entry(a), Entry(b)) < 0; };
  struct TRange {
    int32_t Low, High;
  };
  TRange stack[32];
  int32_t depth = 0;
  int32_t low = 0, high = kcKeyCount - 1;
  for (;;) {
    if (high - low + 1 <= 15) {
      for (int32_t i = low + 1; i <= high; ++i)
        for (int32_t j = i; j > low && less(j, j - 1); --j) swap(j, j - 1);
      if (depth == 0) break;
      --depth;
      low = stack[depth].Low;
      high = stack[depth].High;
      continue;
    }
    // The median of the first, middle and last entries goes to the end.
    const int32_t mid = low + (high - low) / 2;
    if (less(mid, low)) swap(mid, low);
    if (less(high, low)) swap(high, low);
    if (less(mid, high)) swap(mid, high);
    int32_t store = low;
    for (int32_t i = low; i < high; ++i)
      if (less(i, high)) swap(i, store++);
    swap(store, high);
    TRange left{low, store - 1}, right{store + 1, high};
    if (left.High - left.Low > right.High - right.Low) std::swap(left, right);
    MV_ASSERT(depth < 32);
    stack[depth++] = right;
    low = left.Low;
    high = left.High;
  }
}

// ---------------------------------------------------------------------------
// The tree builder

TmvTreeBuilder::TPlan TmvTreeBuilder::PlanLevel(uint64_t aItems, uint32_t aTarget, uint32_t aMin, uint32_t aMax) {
  TPlan plan;
  plan.Items = aItems;
  plan.Nodes = uint32_t((aItems + aTarget - 1) / aTarget);
  // Few items over two or three nodes can leave each below the fill every
  // node but the root keeps: fewer, fuller nodes then (never above aMax).
  if (plan.Nodes > 1 && aItems / plan.Nodes < aMin) plan.Nodes = uint32_t(std::max<uint64_t>(1, aItems / aMin));
  MV_ASSERT(plan.Nodes >= 1 && (aItems + plan.Nodes - 1) / plan.Nodes <= aMax);
  return plan;
}

TmvTreeBuilder::TmvTreeBuilder(TmvStaticKeyBstarTreeIndexBulkBuilder* aBulkIndexer, TmvBaseTransaction* aTrans)
    : tbBulkIndexer(aBulkIndexer),
      tbIndexEngine(aBulkIndexer->bsibbIndexEngine),
      tbIndexHeaderAccess(tbIndexEngine->CreateHeaderAccess(aTrans, true, true, 0, 0)) {
  const TmvIndexNodeGeometry& g = tbIndexEngine->Geometry();
  const uint32_t maxInternal = g.MaxInternalKeys, maxLeaf = g.MaxLeafKeys;
  tbInternalNodeKeyCount = uint32_t(0.8 * maxInternal);
  if (tbInternalNodeKeyCount >= maxInternal) tbInternalNodeKeyCount = maxInternal - 1;
  if (tbInternalNodeKeyCount <= maxInternal / 2) tbInternalNodeKeyCount = maxInternal / 2 + 1;
  tbLeafNodeKeyCount = uint32_t(0.8 * maxLeaf);
  if (tbLeafNodeKeyCount >= maxLeaf) tbLeafNodeKeyCount = maxLeaf - 1;
  if (tbLeafNodeKeyCount < maxLeaf / 2) tbLeafNodeKeyCount = maxLeaf / 2 + 1;
  tbLeafNodeFirstKey = (maxLeaf - tbLeafNodeKeyCount) / 2;
  tbInternalNodeFirstKey = 0;
  tbSeparator.assign(g.NodeKeyLength, 0);
  Plan();
}

void TmvTreeBuilder::Plan() {
  MV_ASSERT(!tbCurrentLeafNode && tbCurrentLeafNodes == 0);
  const TmvIndexNodeGeometry& g = tbIndexEngine->Geometry();
  const uint32_t maxInternal = g.MaxInternalKeys, maxLeaf = g.MaxLeafKeys;
  // Non-root nodes keep at least as much as a split leaves (the fill a
  // delete restores).
  tbLeafPlan = PlanLevel(tbBulkIndexer->bsibbTotalKeyCount, tbLeafNodeKeyCount, (maxLeaf + 1) / 2, maxLeaf);
  tbCurrentInternal.clear();
  for (uint64_t n = tbLeafPlan.Nodes; n >= 2;) {
    TInternal level;
    level.Plan = PlanLevel(n, tbInternalNodeKeyCount + 1, (maxInternal + 1) / 2, maxInternal + 1);
    n = level.Plan.Nodes;
    tbCurrentInternal.push_back(level);
  }
}

TmvTreeBuilder::~TmvTreeBuilder() {
  TmvReleaseList held;
  if (tbCurrentLeafNode) held.Add(tbCurrentLeafNode, tbCurrentLeafRelease);
  for (TInternal& level : tbCurrentInternal)
    if (level.tbciNode) held.Add(level.tbciNode, level.tbciRelease);
}

uint8_t* TmvTreeBuilder::NewNode(bool aLeaf, TmvReleaseMethod& aRelease) {
  return tbIndexEngine->NewNode(tbIndexHeaderAccess.get(), aLeaf, aRelease);
}

void TmvTreeBuilder::InsertKey(const uint8_t* aEntry) {
  TmvStaticKeyBstarTreeIndexEngine* engine = tbIndexEngine;
  const TmvIndexNodeGeometry& g = engine->Geometry();
  uint8_t* closed = nullptr;
  TmvReleaseMethod closedRelease;
  if (tbCurrentLeafNode &&
      mvInhKeyCount(tbCurrentLeafNode) >= tbLeafPlan.CountOf(tbCurrentLeafNodes - 1)) {
    closed = tbCurrentLeafNode;
    closedRelease = tbCurrentLeafRelease;
    tbCurrentLeafNode = nullptr;
  }
  TmvHeldBlock closedHeld;
  closedHeld.Block = closed;
  closedHeld.Release = closedRelease;
  if (!tbCurrentLeafNode) {
    MV_ASSERT(tbCurrentLeafNodes < tbLeafPlan.Nodes);
    const uint32_t count = tbLeafPlan.CountOf(tbCurrentLeafNodes);
    tbCurrentLeafNode = NewNode(true, tbCurrentLeafRelease);
    // A planned leaf fuller than the target sits centred instead.
    mvSetInhFirstSlot(tbCurrentLeafNode, uint16_t(count <= tbLeafNodeKeyCount ? tbLeafNodeFirstKey
                                                                               : (g.MaxLeafKeys - count) / 2));
    ++tbCurrentLeafNodes;
    if (closed) {
      mvSetInhPrevNode(tbCurrentLeafNode, mvBchThisBlock(closed));
      mvSetInhNextNode(closed, mvBchThisBlock(tbCurrentLeafNode));
    }
  }
  uint8_t* leaf = tbCurrentLeafNode;
  const int32_t slot = mvInhFirstSlot(leaf) + mvInhKeyCount(leaf);
  engine->WriteLeafEntry(leaf, slot, aEntry, TmvRefNr(mvGetU64(aEntry, tbBulkIndexer->EntrySize() - 8)));
  mvSetInhKeyCount(leaf, uint16_t(mvInhKeyCount(leaf) + 1));
  ++tbCurrentLeafKeys;
  if (closed) {
    engine->CopySeparator(closed, mvInhFirstSlot(closed) + mvInhKeyCount(closed) - 1, tbSeparator.data());
    AddSeparator(0, mvBchThisBlock(closed), mvBchThisBlock(leaf), tbSeparator.data());
  }
}

void TmvTreeBuilder::AddSeparator(size_t aLevel, TmvBlockNumber aLeft, TmvBlockNumber aRight,
                                  const uint8_t* aSeparator) {
  MV_ASSERT(aLevel < tbCurrentInternal.size());
  TInternal& level = tbCurrentInternal[aLevel];
  const TmvIndexNodeGeometry& g = tbIndexEngine->Geometry();
  TmvHeldBlock closed;
  if (level.tbciNode && uint32_t(mvInhKeyCount(level.tbciNode)) + 1 >= level.Plan.CountOf(level.tbciNodes - 1)) {
    MV_ASSERT(mvGetU32(level.tbciNode, mvIndexNodeHeaderSize + mvInhKeyCount(level.tbciNode) * g.InternalPair) ==
              aLeft);
    level.tbciPrev = mvBchThisBlock(level.tbciNode);
    closed.Block = level.tbciNode;
    closed.Release = level.tbciRelease;
    level.tbciNode = nullptr;
  }
  if (!level.tbciNode) {
    MV_ASSERT(level.tbciNodes < level.Plan.Nodes);
    level.tbciNode = NewNode(false, level.tbciRelease);
    ++level.tbciNodes;
    if (closed.Block) {
      // The separator between the two nodes goes up; the new node starts
      // with the right block alone.
      mvPutU32(level.tbciNode, mvIndexNodeHeaderSize, aRight);
      const TmvBlockNumber right = mvBchThisBlock(level.tbciNode);
      closed.Drop();
      AddSeparator(aLevel + 1, level.tbciPrev, right, aSeparator);
      return;
    }
    mvPutU32(level.tbciNode, mvIndexNodeHeaderSize, aLeft);
  }
  uint8_t* node = level.tbciNode;
  const uint32_t count = mvInhKeyCount(node);
  std::memcpy(node + mvIndexNodeHeaderSize + 4 + count * g.InternalPair, aSeparator, g.NodeKeyLength);
  mvPutU32(node, mvIndexNodeHeaderSize + (count + 1) * g.InternalPair, aRight);
  mvSetInhKeyCount(node, uint16_t(count + 1));
  ++level.tbciKeys;
}

void TmvTreeBuilder::Finalize() {
  MV_ASSERT(tbCurrentLeafNodes == tbLeafPlan.Nodes && tbCurrentLeafKeys == tbBulkIndexer->bsibbTotalKeyCount);
  TmvBaseIndexHeaderAccess* header = tbIndexHeaderAccess.get();
  if (tbCurrentInternal.empty() && tbCurrentLeafNode) header->SetIndexRoot(int32_t(mvBchThisBlock(tbCurrentLeafNode)));
  for (const TInternal& level : tbCurrentInternal)
    MV_ASSERT(level.tbciNodes == level.Plan.Nodes && level.tbciKeys + level.Plan.Nodes == level.Plan.Items);
  if (!tbCurrentInternal.empty()) header->SetIndexRoot(int32_t(mvBchThisBlock(tbCurrentInternal.back().tbciNode)));
  header->SetIndexKeyCount(header->GetIndexKeyCount() + uint32_t(tbCurrentLeafKeys));
  TmvReleaseList held;
  if (tbCurrentLeafNode) held.Add(tbCurrentLeafNode, tbCurrentLeafRelease);
  tbCurrentLeafNode = nullptr;
  for (TInternal& level : tbCurrentInternal) {
    if (level.tbciNode) held.Add(level.tbciNode, level.tbciRelease);
    level.tbciNode = nullptr;
  }
  held.Release();
}

// ---------------------------------------------------------------------------
// The builder

TmvBulkBuilderClass TmvStaticKeyBstarTreeIndexEngine::GetBulkBuilderClass() {
  return &TmvStaticKeyBstarTreeIndexBulkBuilder::Create;
}

TmvStaticKeyBstarTreeIndexBulkBuilder::TmvStaticKeyBstarTreeIndexBulkBuilder(TmvBaseTransaction* aTrans,
                                                                             TmvBaseIndexEngine* aIndexEngine)
    : TmvBaseIndexBulkBuilder(aTrans, aIndexEngine),
      bsibbBufferManager(aTrans->TransBufferManager()),
      bsibbIndexEngine(static_cast<TmvStaticKeyBstarTreeIndexEngine*>(aIndexEngine)),
      bsibbKeyLength((bibbKeyEngine->bkeKeyLength + 23) & ~15u),
      bsibbKeysPerContainer(int32_t(mvKeyContainerSize / bsibbKeyLength)),
      bsibbTrans(aTrans) {}

TmvStaticKeyBstarTreeIndexBulkBuilder::~TmvStaticKeyBstarTreeIndexBulkBuilder() { FreeAll(); }

TmvBaseBulkBuilder* TmvStaticKeyBstarTreeIndexBulkBuilder::Create(TmvBaseTransaction* aTrans,
                                                                  TmvBaseIndexEngine* aIndexEngine) {
  return new TmvStaticKeyBstarTreeIndexBulkBuilder(aTrans, aIndexEngine);
}

void TmvStaticKeyBstarTreeIndexBulkBuilder::FreeAll() {
  bsibbTreeBuilder.reset();
  while (!bsibbContainers.empty()) delete *bsibbContainers.begin();
  bsibbDefaultHead = TmvKeyContainerHead();
}

int8_t TmvStaticKeyBstarTreeIndexBulkBuilder::CompareEntries(const uint8_t* aEntry1, const uint8_t* aEntry2) {
  if (aEntry1 == aEntry2) return 0;
  const int8_t c = bibbKeyEngine->CompareKey(aEntry1, aEntry2);
  if (c != 0) return c;
  const int64_t ref1 = int64_t(mvGetU64(aEntry1, bsibbKeyLength - 8));
  const int64_t ref2 = int64_t(mvGetU64(aEntry2, bsibbKeyLength - 8));
  bool refused = !bibbIndexEngine->bieDups || ref1 == ref2;
  if (!refused && bibbIndexEngine->bieDupsNullOnly)
    refused = !bibbKeyEngine->KeyContainsNulls(aEntry1) && !bibbKeyEngine->KeyContainsNulls(aEntry2);
  if (refused) {
    const int32_t code = bibbIndexEngine->GetKeyError(etBulkCreate, aEntry1, TmvRefNr(ref1));
    throw EmvBulkBuilderException(code);
  }
  return ref1 < ref2 ? -1 : 1;
}

int32_t TmvStaticKeyBstarTreeIndexBulkBuilder::InsertKey(TmvRefNr aRefNr, const void* aRecord, TmvBaseTransaction*) {
  try {
    if (!bsibbDefaultHead.bsibbhCurrentContainer) new TmvKeyContainer(this, &bsibbDefaultHead);
    return bsibbDefaultHead.bsibbhCurrentContainer->InsertKey(aRefNr, aRecord);
  } catch (...) {
    FreeAll();
    throw;
  }
}

TmvStaticKeyBstarTreeIndexBulkBuilder::TRun TmvStaticKeyBstarTreeIndexBulkBuilder::TakeHead() {
  TRun chain;
  for (TmvKeyContainer* c = bsibbDefaultHead.bsibbhCurrentContainer; c; c = c->kcNext) chain.push_back(c);
  MV_ASSERT(int32_t(chain.size()) == bsibbDefaultHead.bsibbhContainerCount);
  std::reverse(chain.begin(), chain.end());
  for (TmvKeyContainer* c : chain) c->kcNext = nullptr;
  bsibbDefaultHead = TmvKeyContainerHead();
  return chain;
}

void TmvStaticKeyBstarTreeIndexBulkBuilder::Emit(const uint8_t* aEntry) {
  if (bsibbTreeBuilder) {
    bsibbTreeBuilder->InsertKey(aEntry);
    return;
  }
  if (!bsibbDefaultHead.bsibbhCurrentContainer) new TmvPreSortedKeyContainer(this, &bsibbDefaultHead);
  bsibbDefaultHead.bsibbhCurrentContainer->InsertMergedKey(aEntry);
}

TmvStaticKeyBstarTreeIndexBulkBuilder::TRun TmvStaticKeyBstarTreeIndexBulkBuilder::Merge(TRun aRun1, TRun aRun2) {
  MV_ASSERT(bsibbDefaultHead.bsibbhCurrentContainer == nullptr);
  struct TSide {
    TRun Run;
    size_t Container = 0;
    int32_t Entry = 0;
    TmvKeyContainer* Current() const { return Container < Run.size() ? Run[Container] : nullptr; }
  };
  TSide sides[2] = {{std::move(aRun1)}, {std::move(aRun2)}};
  for (TSide& side : sides)
    if (TmvKeyContainer* c = side.Current()) c->Lock();
  for (;;) {
    TmvKeyContainer* a = sides[0].Current();
    TmvKeyContainer* b = sides[1].Current();
    if (!a && !b) break;
    int which;
    if (!a) which = 1;
    else if (!b) which = 0;
    else which = CompareEntries(a->Entry(sides[0].Entry), b->Entry(sides[1].Entry)) < 0 ? 0 : 1;
    TSide& side = sides[which];
    TmvKeyContainer* from = side.Current();
    Emit(from->Entry(side.Entry));
    if (++side.Entry == from->KeyCount()) {
      delete from;
      side.Run[side.Container] = nullptr;
      ++side.Container;
      side.Entry = 0;
      if (TmvKeyContainer* next = side.Current()) next->Lock();
    }
  }
  if (bsibbDefaultHead.bsibbhCurrentContainer) bsibbDefaultHead.bsibbhCurrentContainer->Close();
  return TakeHead();
}

bool TmvStaticKeyBstarTreeIndexBulkBuilder::RunBefore(const TRun& aRun1, const TRun& aRun2) {
  if (aRun1.size() != aRun2.size()) return aRun1.size() > aRun2.size();
  return CompareEntries(aRun1.front()->kcFirstKey.data(), aRun2.front()->kcFirstKey.data()) < 0;
}

std::unique_ptr<TmvTreeBuilder> TmvStaticKeyBstarTreeIndexBulkBuilder::CreateTreeBuilder(TmvBaseTransaction* aTrans) {
  return std::make_unique<TmvTreeBuilder>(this, aTrans);
}

int32_t TmvStaticKeyBstarTreeIndexBulkBuilder::Finalize(TmvBaseTransaction* aTrans) {
  try {
    if (!bsibbDefaultHead.bsibbhCurrentContainer) return 0;
    bsibbDefaultHead.bsibbhCurrentContainer->Close();
    if (!bsibbDefaultHead.bsibbhCurrentContainer) return 0;
    // Containers by their first entries, then chained into runs of
    // containers whose ranges do not overlap.
    TRun containers = TakeHead();
    std::sort(containers.begin(), containers.end(), [this](TmvKeyContainer* a, TmvKeyContainer* b) {
      return CompareEntries(a->kcFirstKey.data(), b->kcFirstKey.data()) < 0;
    });
    std::vector<TRun> runs;
    while (!containers.empty()) {
      TRun run{containers.front()}, rest;
      for (size_t i = 1; i < containers.size(); ++i) {
        if (CompareEntries(containers[i]->kcFirstKey.data(), run.back()->kcLastKey.data()) > 0)
          run.push_back(containers[i]);
        else
          rest.push_back(containers[i]);
      }
      runs.push_back(std::move(run));
      containers = std::move(rest);
    }
    bsibbRunCount = int32_t(runs.size());
    std::stable_sort(runs.begin(), runs.end(), [this](const TRun& a, const TRun& b) { return RunBefore(a, b); });
    // The two shortest runs merge until two are left.
    while (runs.size() > 2) {
      TRun second = std::move(runs.back());
      runs.pop_back();
      TRun first = std::move(runs.back());
      runs.pop_back();
      TRun merged = Merge(std::move(first), std::move(second));
      ++bsibbMergeCount;
      size_t at = runs.size();
      while (at > 0 && RunBefore(merged, runs[at - 1])) --at;
      runs.insert(runs.begin() + std::ptrdiff_t(at), std::move(merged));
    }
    bsibbTreeBuilder = CreateTreeBuilder(aTrans);
    Merge(std::move(runs[0]), runs.size() > 1 ? std::move(runs[1]) : TRun());
    bsibbTreeBuilder->Finalize();
    bsibbTreeBuilder.reset();
    return 0;
  } catch (...) {
    FreeAll();
    throw;
  }
}
