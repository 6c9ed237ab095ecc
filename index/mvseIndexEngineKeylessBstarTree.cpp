// Index engines: the keyless B*-tree: its key cache, its path with the key
// source, the engine's creation checks and its bulk builder. The tree's
// own algorithms are the static-key engine's. See
// mvseIndexEngineKeylessBstarTree.h.
#include "index/mvseIndexEngineKeylessBstarTree.h"

#include <cstring>

#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"
#include "index/mvseIndexEngineStaticKeyBstarTreeOperation.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/records/mvseRecordEngine.h"

namespace {

constexpr char16_t kClassName[] = u"TmvKeylessBstarTreeIndexEngine";

TmvMemoryPoolHandle gNodePool{};
TmvMemoryPoolHandle gCacheNodePool{};

bool IsRed(PmvCacheNode aNode) { return aNode && !aNode->cnIsBlack; }

}  // namespace

TmvMemoryPoolHandle mvKeylessCacheNodePool() { return gNodePool; }
TmvMemoryPoolHandle mvCacheKeylessCacheNodePool() { return gCacheNodePool; }

// ---------------------------------------------------------------------------
// The key cache

TmvKeylessBstarTreeIndexKeyCache::TmvKeylessBstarTreeIndexKeyCache(TmvKeylessBstarTreeIndexPath* aPath,
                                                                   TmvMemoryPoolHandle aPool)
    : kcPath(aPath), kcPool(aPool) {}

TmvKeylessBstarTreeIndexKeyCache::~TmvKeylessBstarTreeIndexKeyCache() { Clear(); }

void TmvKeylessBstarTreeIndexKeyCache::Rotate(PmvCacheNode aNode, bool aLeft) {
  PmvCacheNode pivot = aLeft ? aNode->cnRight : aNode->cnLeft;
  PmvCacheNode inner = aLeft ? pivot->cnLeft : pivot->cnRight;
  if (aLeft)
    aNode->cnRight = inner;
  else
    aNode->cnLeft = inner;
  if (inner) inner->cnParent = aNode;
  pivot->cnParent = aNode->cnParent;
  if (!aNode->cnParent)
    kcRoot = pivot;
  else if (aNode->cnParent->cnLeft == aNode)
    aNode->cnParent->cnLeft = pivot;
  else
    aNode->cnParent->cnRight = pivot;
  if (aLeft)
    pivot->cnLeft = aNode;
  else
    pivot->cnRight = aNode;
  aNode->cnParent = pivot;
}

PmvCacheNode TmvKeylessBstarTreeIndexKeyCache::GetNodeForRef(TmvRefNr aRefNr, bool aDontCreate) {
  PmvCacheNode parent = nullptr;
  for (PmvCacheNode node = kcRoot; node;) {
    if (aRefNr == node->cnKeyRef) return node;
    parent = node;
    node = aRefNr < node->cnKeyRef ? node->cnLeft : node->cnRight;
  }
  if (aDontCreate) return nullptr;
  auto* node = static_cast<PmvCacheNode>(mvMemoryPoolAlloc(kcPool));
  if (kcPool == gCacheNodePool)
    new (node) TmvCacheKeylessCacheNode{{aRefNr, nullptr, parent, nullptr, nullptr, false}, 0};
  else
    new (node) TmvCacheNode{aRefNr, nullptr, parent, nullptr, nullptr, false};
  if (!parent)
    kcRoot = node;
  else if (aRefNr < parent->cnKeyRef)
    parent->cnLeft = node;
  else
    parent->cnRight = node;
  // Red-black repair upwards.
  PmvCacheNode x = node;
  while (x != kcRoot && IsRed(x->cnParent)) {
    PmvCacheNode p = x->cnParent, g = p->cnParent;
    const bool parentIsLeft = g->cnLeft == p;
    PmvCacheNode uncle = parentIsLeft ? g->cnRight : g->cnLeft;
    if (IsRed(uncle)) {
      p->cnIsBlack = true;
      uncle->cnIsBlack = true;
      g->cnIsBlack = false;
      x = g;
      continue;
    }
    if (x == (parentIsLeft ? p->cnRight : p->cnLeft)) {
      x = p;
      Rotate(x, parentIsLeft);
      p = x->cnParent;
    }
    p->cnIsBlack = true;
    g->cnIsBlack = false;
    Rotate(g, !parentIsLeft);
  }
  kcRoot->cnIsBlack = true;
  return node;
}

void TmvKeylessBstarTreeIndexKeyCache::Clear() {
  // Post-order without recursion: down to a leaf, free it, climb.
  PmvCacheNode node = kcRoot;
  kcRoot = nullptr;
  while (node) {
    if (node->cnLeft) {
      node = node->cnLeft;
    } else if (node->cnRight) {
      node = node->cnRight;
    } else {
      PmvCacheNode parent = node->cnParent;
      if (parent) (parent->cnLeft == node ? parent->cnLeft : parent->cnRight) = nullptr;
      if (node->cnKey) kcPath->bpipKeyEngine->FreeKey(node->cnKey);
      mvMemoryPoolDisposeDirect(kcPool, node);
      node = parent;
    }
  }
}

// ---------------------------------------------------------------------------
// The path and its key source

TmvKeylessBstarTreeIndexPath::TmvKeylessBstarTreeIndexPath(TmvBaseIndexEngine* aIndexEngine)
    : TmvStaticKeyBstarTreeIndexPath(aIndexEngine),
      bpipKeyEngine(aIndexEngine->bieKeyEngine),
      bpipRecordEngine(static_cast<TmvStaticKeyBstarTreeIndexEngine*>(aIndexEngine)->ieRecordEngine),
      bpipNodePool(gNodePool) {
  bpipTempKey = bpipKeyEngine->AllocKey();
}

TmvKeylessBstarTreeIndexPath::~TmvKeylessBstarTreeIndexPath() {
  delete bpipCache;
  bpipKeyEngine->FreeKey(bpipTempKey);
  if (bpipRecordBuffer) mvMemoryPoolDisposeDirect(bpipRecordAllocator, bpipRecordBuffer);
}

void TmvKeylessBstarTreeIndexPath::BeginKeyCache(TmvBaseTransaction* aTrans) {
  MV_ASSERT(bpipCacheCount >= 0);
  if (bpipCacheCount == 0)
    MV_ASSERT(bpipTrans == nullptr);
  else
    MV_ASSERT(aTrans == bpipTrans);
  if (!bpipCache) {
    bpipCache = new TmvKeylessBstarTreeIndexKeyCache(this, bpipNodePool);
    bpipRecordAllocator = bpipRecordEngine->breRecordAllocator;
    bpipRecordBuffer = static_cast<uint8_t*>(mvMemoryPoolAlloc(bpipRecordAllocator));
  }
  bpipTrans = aTrans;
  ++bpipCacheCount;
}

void TmvKeylessBstarTreeIndexPath::EndKeyCache() {
  MV_ASSERT(bpipCacheCount > 0);
  if (--bpipCacheCount == 0) {
    bpipTrans = nullptr;
    bpipCache->Clear();
  }
}

template <class F>
void TmvKeylessBstarTreeIndexPath::WithRecord(TmvRefNr aRefNr, F&& aUse) {
  MV_ASSERT(bpipCacheCount > 0 && bpipCache);
  uint8_t* data = bpipRecordBuffer;
  bpipRecordEngine->ReadRecordForIterate(
      bpipTrans, aRefNr, data,
      [&](void*, TmvRefNr, const uint8_t* aRecord) {
        aUse(aRecord);
        return rirContinue;
      },
      nullptr, nullptr);
}

TmvRefNr TmvKeylessBstarTreeIndexPath::RecordCacheRefNr(const uint8_t* aRecord) const {
  return bpipRefNrOffset >= 0 ? TmvRefNr(mvGetU64(aRecord, uint32_t(bpipRefNrOffset))) : 0;
}

void TmvKeylessBstarTreeIndexPath::ReadKey(void*& aKey, TmvRefNr aRefNr, TmvRefNr* aCacheRefNr) {
  if (!aKey) aKey = bpipKeyEngine->AllocKey();
  bool failed = false;
  WithRecord(aRefNr, [&](const uint8_t* aRecord) {
    failed = bpipKeyEngine->BuildKey(aRecord, aKey, aRefNr, true) != 0;
    if (aCacheRefNr) *aCacheRefNr = RecordCacheRefNr(aRecord);
  });
  if (failed) throw EmvKeylessBstarTreeIndexEngineException(MVERR_EXCEPTIONWITHOUTCODE);
}

void TmvKeylessBstarTreeIndexPath::FillNode(PmvCacheNode aNode) {
  if (aNode->cnKey) return;
  TmvRefNr cacheRefNr = 0;
  void* key = nullptr;
  try {
    ReadKey(key, aNode->cnKeyRef, &cacheRefNr);
  } catch (...) {
    if (key) bpipKeyEngine->FreeKey(key);
    throw;
  }
  aNode->cnKey = key;
  if (bpipNodePool == gCacheNodePool) static_cast<TmvCacheKeylessCacheNode*>(aNode)->cnCacheKeyRef = cacheRefNr;
}

int8_t TmvKeylessBstarTreeIndexPath::CompareKeyToRef(const void* aKey, TmvRefNr aRefNr) {
  if (PmvCacheNode node = bpipCache->GetNodeForRef(aRefNr, true)) {
    FillNode(node);
    return bpipKeyEngine->CompareKey(aKey, node->cnKey);
  }
  int8_t c = 0;
  WithRecord(aRefNr, [&](const uint8_t* aRecord) { c = bpipKeyEngine->CompareKeyToRecord(aKey, aRecord, aRefNr); });
  return c;
}

int8_t TmvKeylessBstarTreeIndexPath::CompareKeyToRefPartial(const void* aKey, int32_t aFieldCount,
                                                            int32_t aPartialLen, TmvRefNr aRefNr) {
  if (PmvCacheNode node = bpipCache->GetNodeForRef(aRefNr, true)) {
    FillNode(node);
    return bpipKeyEngine->CompareKey(aKey, node->cnKey, aFieldCount, aPartialLen);
  }
  int8_t c = 0;
  WithRecord(aRefNr, [&](const uint8_t* aRecord) {
    c = bpipKeyEngine->CompareKeyToRecord(aKey, aRecord, aRefNr, aFieldCount, aPartialLen);
  });
  return c;
}

const void* TmvKeylessBstarTreeIndexPath::GetKeyForRef(bool aDontCreate, TmvRefNr aRefNr, TmvRefNr* aCacheRefNr) {
  MV_ASSERT(bpipCacheCount > 0 && bpipCache);
  if (PmvCacheNode node = bpipCache->GetNodeForRef(aRefNr, aDontCreate)) {
    FillNode(node);
    if (aCacheRefNr && bpipNodePool == gCacheNodePool)
      *aCacheRefNr = static_cast<TmvCacheKeylessCacheNode*>(node)->cnCacheKeyRef;
    return node->cnKey;
  }
  ReadKey(bpipTempKey, aRefNr, aCacheRefNr);
  return bpipTempKey;
}

void TmvKeylessBstarTreeIndexPath::CopyKeyForRef(void* aKey, TmvRefNr aRefNr, TmvRefNr* aCacheRefNr) {
  bpipKeyEngine->CopyKey(GetKeyForRef(false, aRefNr, aCacheRefNr), aKey);
}

TmvRefNr TmvKeylessBstarTreeIndexPath::CacheRefNrForRef(TmvRefNr aRefNr) {
  MV_ASSERT(bpipCacheCount > 0 && bpipCache);
  PmvCacheNode node = bpipCache->GetNodeForRef(aRefNr, true);
  if (node && node->cnKey && bpipNodePool == gCacheNodePool)
    return static_cast<TmvCacheKeylessCacheNode*>(node)->cnCacheKeyRef;
  TmvRefNr result = 0;
  WithRecord(aRefNr, [&](const uint8_t* aRecord) { result = RecordCacheRefNr(aRecord); });
  return result;
}

// ---------------------------------------------------------------------------
// The engine

constinit const TmvIndexEngineClassRef TmvKeylessBstarTreeIndexEngine::StaticClass{
    {{kClassName, &TmvBaseIndexEngine::StaticClass}, &TmvBaseIndexEngine::GetList, &TmvBaseSubEngine::NoTableCheck},
    &TmvKeylessBstarTreeIndexEngine::Create,
    &TmvKeylessBstarTreeIndexEngine::CheckKeyDescriptor};

TmvBaseIndexEngine* TmvKeylessBstarTreeIndexEngine::Create(TmvBaseIndicesEngine* aIndicesEngine,
                                                           TmvBaseKeyEngine* aKeyEngine,
                                                           TmvIndexDescriptor* aIndexDescriptor) {
  return new TmvKeylessBstarTreeIndexEngine(aIndicesEngine, aKeyEngine, aIndexDescriptor);
}

TmvKeylessBstarTreeIndexEngine::TmvKeylessBstarTreeIndexEngine(TmvBaseIndicesEngine* aIndicesEngine,
                                                               TmvBaseKeyEngine* aKeyEngine,
                                                               TmvIndexDescriptor* aIndexDescriptor, TCreateChecks)
    : TmvStaticKeyBstarTreeIndexEngine(aIndicesEngine, aKeyEngine, aIndexDescriptor, nkRefsOnly),
      ieNodePool(gNodePool) {
  ieCheckNeighbours = true;
}

TmvKeylessBstarTreeIndexEngine::TmvKeylessBstarTreeIndexEngine(TmvBaseIndicesEngine* aIndicesEngine,
                                                               TmvBaseKeyEngine* aKeyEngine,
                                                               TmvIndexDescriptor* aIndexDescriptor)
    : TmvKeylessBstarTreeIndexEngine(aIndicesEngine, aKeyEngine, aIndexDescriptor, TCreateChecks{}) {
  // The key engine goes back to the caller, who frees it on failure.
  if (!ieRecordEngine) {
    bieKeyEngine = nullptr;
    throw EmvKeylessBstarTreeIndexEngineException(MVERR_NOTSUPPORTED, u"%s requires a RecordEngine",
                                                  {String(kClassName)});
  }
  auto* table = dynamic_cast<TmvBaseTableDescriptor*>(aIndicesEngine->Descriptor()->GetParent());
  if (table && table->GetCachingState() == tcsIsCache) {
    bieKeyEngine = nullptr;
    throw EmvKeylessBstarTreeIndexEngineException(MVERR_NOTSUPPORTED, u"%s is not supported for cache tables",
                                                  {table->ClassName()});
  }
}

void TmvKeylessBstarTreeIndexEngine::CheckKeyDescriptor(TmvIndexDescriptor* aIndexDescriptor) {
  TmvBaseIndexEngine::CheckKeyDescriptor(aIndexDescriptor);
}

TmvKeylessBstarTreeIndexPath* TmvKeylessBstarTreeIndexEngine::NewPath() {
  auto* path = new TmvKeylessBstarTreeIndexPath(this);
  path->bpipNodePool = ieNodePool;
  if (ieTieByCacheRef) path->bpipRefNrOffset = bieRefNrOffset;
  return path;
}

TmvIndexPathClass TmvKeylessBstarTreeIndexEngine::IndexPathClass() {
  return [](TmvBaseIndexEngine* aEngine) -> TmvBaseIndexPath* {
    return static_cast<TmvKeylessBstarTreeIndexEngine*>(aEngine)->NewPath();
  };
}

TmvKeylessBstarTreeIndexPath* TmvKeylessBstarTreeIndexEngine::KeyPath(TOperation& aOp) {
  if (!aOp.opKeyScope) {
    TmvKeylessBstarTreeIndexPath* path;
    if (aOp.opKeyPath && aOp.opKeyPath->bipIndexEngine == this) {
      path = static_cast<TmvKeylessBstarTreeIndexPath*>(aOp.opKeyPath);
    } else {
      aOp.opScratchPath.reset(NewPath());
      path = static_cast<TmvKeylessBstarTreeIndexPath*>(aOp.opScratchPath.get());
    }
    path->BeginKeyCache(aOp.opTrans);
    aOp.opKeyScope = path;
  }
  return static_cast<TmvKeylessBstarTreeIndexPath*>(aOp.opKeyScope);
}

void TmvKeylessBstarTreeIndexEngine::CloseKeySource(TOperation& aOp) {
  static_cast<TmvKeylessBstarTreeIndexPath*>(aOp.opKeyScope)->EndKeyCache();
  aOp.opKeyScope = nullptr;
}

bool TmvKeylessBstarTreeIndexEngine::InProgress(TmvBaseTransaction* aTrans, TmvRefNr aRefNr) const {
  return bieIndicesEngine->CurrentKey() && bieIndicesEngine->CurrentTrans() == aTrans &&
         bieIndicesEngine->CurrentRefNr() == aRefNr;
}

int8_t TmvKeylessBstarTreeIndexEngine::CompareToEntry(TOperation& aOp, const void* aKey, const uint8_t* aEntry,
                                                      int32_t aFieldCount, int32_t aPartialLen, bool aWhole) {
  const TmvRefNr ref = TmvRefNr(mvGetU64(aEntry, 0));
  if (InProgress(aOp.opTrans, ref)) {
    const void* current = bieIndicesEngine->CurrentKey();
    return aWhole ? bieKeyEngine->CompareKey(aKey, current) : bieKeyEngine->CompareKey(aKey, current, aFieldCount, aPartialLen);
  }
  TmvKeylessBstarTreeIndexPath* path = KeyPath(aOp);
  return aWhole ? path->CompareKeyToRef(aKey, ref) : path->CompareKeyToRefPartial(aKey, aFieldCount, aPartialLen, ref);
}

const uint8_t* TmvKeylessBstarTreeIndexEngine::EntryKey(TOperation& aOp, const uint8_t* aEntry) {
  const TmvRefNr ref = TmvRefNr(mvGetU64(aEntry, 0));
  if (InProgress(aOp.opTrans, ref)) return static_cast<const uint8_t*>(bieIndicesEngine->CurrentKey());
  return static_cast<const uint8_t*>(KeyPath(aOp)->GetKeyForRef(false, ref));
}

TmvRefNr TmvKeylessBstarTreeIndexEngine::EntryTieRef(TOperation& aOp, const uint8_t* aEntry) {
  const TmvRefNr ref = TmvRefNr(mvGetU64(aEntry, 0));
  if (!ieTieByCacheRef) return ref;
  if (InProgress(aOp.opTrans, ref)) return bieIndicesEngine->CurrentCacheRefNr();
  return KeyPath(aOp)->CacheRefNrForRef(ref);
}

void TmvKeylessBstarTreeIndexEngine::LoadPathKey(TOperation& aOp, TmvStaticKeyBstarTreeIndexPath* aPath,
                                                 const uint8_t* aEntry) {
  const TmvRefNr ref = TmvRefNr(mvGetU64(aEntry, 0));
  TmvRefNr cacheRefNr = 0;
  if (InProgress(aOp.opTrans, ref)) {
    bieKeyEngine->CopyKey(bieIndicesEngine->CurrentKey(), aPath->Key);
    cacheRefNr = bieIndicesEngine->CurrentCacheRefNr();
  } else {
    KeyPath(aOp)->CopyKeyForRef(aPath->Key, ref, &cacheRefNr);
  }
  if (ieTieByCacheRef) aPath->CacheRefNr = cacheRefNr;
}

int8_t TmvKeylessBstarTreeIndexEngine::CompareKeyToRef(TmvBaseTransaction* aTrans, TmvKeylessBstarTreeIndexPath* aPath,
                                                       const void* aKey, TmvRefNr aRefNr) {
  TOperation op(this, aTrans, false, 0, 0, aPath);
  uint8_t entry[8];
  mvPutU64(entry, 0, uint64_t(aRefNr));
  return CompareToEntry(op, aKey, entry, 0, 0, true);
}

const void* TmvKeylessBstarTreeIndexEngine::GetKeyForRef(TmvKeylessBstarTreeIndexPath* aPath, bool aDontCreate,
                                                         TmvRefNr aRefNr) {
  if (InProgress(aPath->bpipTrans, aRefNr)) return bieIndicesEngine->CurrentKey();
  return aPath->GetKeyForRef(aDontCreate, aRefNr);
}

// ---------------------------------------------------------------------------
// Bulk building

TmvBulkBuilderClass TmvKeylessBstarTreeIndexEngine::GetBulkBuilderClass() {
  return &TmvKeylessBstarTreeIndexBulkBuilder::Create;
}

TmvBaseBulkBuilder* TmvKeylessBstarTreeIndexBulkBuilder::Create(TmvBaseTransaction* aTrans,
                                                                TmvBaseIndexEngine* aIndexEngine) {
  return new TmvKeylessBstarTreeIndexBulkBuilder(aTrans, aIndexEngine);
}

// ---------------------------------------------------------------------------
// Registration

void mvseIndexEngineKeylessBstarTreeInit() {
  gNodePool = mvGetMemoryPool(sizeof(TmvCacheNode));
  gCacheNodePool = mvGetMemoryPool(sizeof(TmvCacheKeylessCacheNode));
  TmvBaseSubEngine::Register(TmvKeylessBstarTreeIndexEngine::StaticClass, u"KeylessBStarTree");
}

void mvseIndexEngineKeylessBstarTreeFini() {
  TmvBaseSubEngine::Unregister(TmvKeylessBstarTreeIndexEngine::StaticClass);
}
