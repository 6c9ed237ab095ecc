// Index engines: the keyless B*-tree, whose nodes hold only record
// references, so that keys of any length can be indexed.
//
// The tree has the static-key B*-tree's shape and algorithms (it shares
// that engine's code); an entry is the 8-byte RefNr of its record, a leaf
// slot 8 bytes and an internal pair 12, whatever the key. Wherever the tree
// needs an entry's key it asks, in order: the record the indices engine is
// inserting, deleting or updating right now (its published key), the key
// cache of the path the operation runs on, or the record itself, read and
// keyed with the index's key engine. Keys cached by a path live only for
// one outermost operation on it (a cache scope), so no key outlives the
// operation that read it; comparisons never fill the cache.
//
// Damage: nodes are checked as the static engine checks them (15409,
// 15424, 8962); a reference to a record that is gone raises the record
// engine's error; a record whose key cannot be built gives 15520.
//
// Ownership and threads: as the static engine; a path, its cache and its
// record buffer belong to one caller at a time.
// Layer: index engines; calls the static-key B*-tree, the key engines, the
// record engine and the memory pools.
#pragma once

#include <cstdint>

#include "index/mvseIndexEngineStaticKeyBstarTree.h"
#include "index/mvseIndexEngineStaticKeyBstarTreeBulk.h"

MV_DECLARE_EXCEPTION(EmvKeylessBstarTreeIndexEngineException, EmvBaseIndexEngineException)

class TmvKeylessBstarTreeIndexPath;

// One cached key: a red-black tree node ordered by the record's RefNr
// (signed). The cache-keyless engine's nodes carry the record's cache
// RefNr behind it.
struct TmvCacheNode {
  TmvRefNr cnKeyRef;
  void* cnKey;  // nil until the key is needed
  TmvCacheNode* cnParent;
  TmvCacheNode* cnLeft;
  TmvCacheNode* cnRight;
  bool cnIsBlack;
};
using PmvCacheNode = TmvCacheNode*;

struct TmvCacheKeylessCacheNode : TmvCacheNode {
  TmvRefNr cnCacheKeyRef;  // 0 until the record is read
};

// The keys one path built during one cache scope, by RefNr. Nodes come
// from a pool shared by all paths of their kind and are never removed one
// by one: Clear drops them all.
class TmvKeylessBstarTreeIndexKeyCache : public TmvObject {
 public:
  TmvKeylessBstarTreeIndexKeyCache(TmvKeylessBstarTreeIndexPath* aPath, TmvMemoryPoolHandle aPool);
  ~TmvKeylessBstarTreeIndexKeyCache() override;
  // The node of aRefNr; when there is none, nil with aDontCreate, else a
  // new node (no key yet).
  PmvCacheNode GetNodeForRef(TmvRefNr aRefNr, bool aDontCreate);
  // Frees every node and its key.
  void Clear();
  bool Empty() const { return kcRoot == nullptr; }

  TmvKeylessBstarTreeIndexPath* kcPath;
  PmvCacheNode kcRoot = nullptr;

 private:
  void Rotate(PmvCacheNode aNode, bool aLeft);
  TmvMemoryPoolHandle kcPool;
};

// A position in a keyless tree, with the key source of the operations that
// run on it: a record buffer, a scratch key and the key cache.
class TmvKeylessBstarTreeIndexPath : public TmvStaticKeyBstarTreeIndexPath {
 public:
  explicit TmvKeylessBstarTreeIndexPath(TmvBaseIndexEngine* aIndexEngine);
  ~TmvKeylessBstarTreeIndexPath() override;

  // Opens a cache scope (nested ones share the cache and must use the
  // same transaction); closing the outermost one empties the cache.
  void BeginKeyCache(TmvBaseTransaction* aTrans);
  void EndKeyCache();
  // Rebuilds the key of record aRefNr into aKey (allocated when nil):
  // 15520 when the key cannot be built; aCacheRefNr (when given) receives
  // the record's cache RefNr.
  void ReadKey(void*& aKey, TmvRefNr aRefNr, TmvRefNr* aCacheRefNr = nullptr);
  // Three-way compare of aKey with record aRefNr's key; never caches.
  int8_t CompareKeyToRef(const void* aKey, TmvRefNr aRefNr);
  int8_t CompareKeyToRefPartial(const void* aKey, int32_t aFieldCount, int32_t aPartialLen, TmvRefNr aRefNr);
  // Record aRefNr's key: its cache entry's (made unless aDontCreate), or,
  // without one, the scratch key, which the next such call overwrites.
  const void* GetKeyForRef(bool aDontCreate, TmvRefNr aRefNr, TmvRefNr* aCacheRefNr = nullptr);
  // Copies record aRefNr's key into aKey through a cache entry.
  void CopyKeyForRef(void* aKey, TmvRefNr aRefNr, TmvRefNr* aCacheRefNr = nullptr);
  // The cache RefNr of record aRefNr: from its cache entry when it has a
  // key, else read from the record (nothing cached).
  TmvRefNr CacheRefNrForRef(TmvRefNr aRefNr);

  int32_t CacheCount() const { return bpipCacheCount; }
  const TmvKeylessBstarTreeIndexKeyCache* Cache() const { return bpipCache; }

  void* bpipTempKey = nullptr;
  int32_t bpipCacheCount = 0;
  TmvKeylessBstarTreeIndexKeyCache* bpipCache = nullptr;
  TmvBaseTransaction* bpipTrans = nullptr;
  TmvBaseKeyEngine* bpipKeyEngine;
  TmvBaseRecordEngine* bpipRecordEngine;
  TmvMemoryPoolHandle bpipRecordAllocator{};
  uint8_t* bpipRecordBuffer = nullptr;
  // Where the record holds its cache RefNr (-1: the tree does not order by
  // it), and the node pool of the cache.
  int32_t bpipRefNrOffset = -1;
  TmvMemoryPoolHandle bpipNodePool{};

 private:
  // Reads record aRefNr and calls aUse with it; the record engine's errors
  // pass through.
  template <class F>
  void WithRecord(TmvRefNr aRefNr, F&& aUse);
  void FillNode(PmvCacheNode aNode);
  TmvRefNr RecordCacheRefNr(const uint8_t* aRecord) const;
};

class TmvKeylessBstarTreeIndexEngine : public TmvStaticKeyBstarTreeIndexEngine {
  MV_DECLARE_CLASSREF(TmvIndexEngineClassRef)
 public:
  // 12289 "<class> requires a RecordEngine" without a record engine,
  // 12289 "<table class> is not supported for cache tables" on a cache
  // table.
  TmvKeylessBstarTreeIndexEngine(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                 TmvIndexDescriptor* aIndexDescriptor);
  static TmvBaseIndexEngine* Create(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                    TmvIndexDescriptor* aIndexDescriptor);
  // Only the key engines' check: no block size is raised and no key is too
  // long.
  static void CheckKeyDescriptor(TmvIndexDescriptor* aIndexDescriptor);

  TmvIndexPathClass IndexPathClass() override;
  TmvBulkBuilderClass GetBulkBuilderClass() override;
  TmvRefNr SeqAccessLookup(TmvBaseTransaction*, TmvRefNr, TmvBaseIndexPath*) override { return 0; }

  // The key source on a path of this engine, for callers outside an
  // operation (each opens its own scope on aPath).
  int8_t CompareKeyToRef(TmvBaseTransaction* aTrans, TmvKeylessBstarTreeIndexPath* aPath, const void* aKey,
                         TmvRefNr aRefNr);
  const void* GetKeyForRef(TmvKeylessBstarTreeIndexPath* aPath, bool aDontCreate, TmvRefNr aRefNr);

  uint16_t MaxInternalNodeKeyCount() const { return Geometry().MaxInternalKeys; }
  uint16_t MaxLeafNodeKeyCount() const { return Geometry().MaxLeafKeys; }

 protected:
  struct TCreateChecks {};
  // For the cache-keyless engine, which makes its own checks.
  TmvKeylessBstarTreeIndexEngine(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                 TmvIndexDescriptor* aIndexDescriptor, TCreateChecks);

  int8_t CompareToEntry(TOperation& aOp, const void* aKey, const uint8_t* aEntry, int32_t aFieldCount,
                        int32_t aPartialLen, bool aWhole) override;
  const uint8_t* EntryKey(TOperation& aOp, const uint8_t* aEntry) override;
  TmvRefNr EntryTieRef(TOperation& aOp, const uint8_t* aEntry) override;
  void LoadPathKey(TOperation& aOp, TmvStaticKeyBstarTreeIndexPath* aPath, const uint8_t* aEntry) override;
  void CloseKeySource(TOperation& aOp) override;

  // The path whose cache serves the operation, its scope opened on first
  // use.
  TmvKeylessBstarTreeIndexPath* KeyPath(TOperation& aOp);
  // Whether aRefNr is the record the indices engine works on in aTrans.
  bool InProgress(TmvBaseTransaction* aTrans, TmvRefNr aRefNr) const;
  // A new path of this engine's kind, set up for its key source.
  virtual TmvKeylessBstarTreeIndexPath* NewPath();

  TmvMemoryPoolHandle ieNodePool{};
};

// The bulk builder of the keyless tree: keys are built from the records
// and sorted as for the static tree; the leaves receive the RefNrs only.
class TmvKeylessBstarTreeIndexBulkBuilder : public TmvStaticKeyBstarTreeIndexBulkBuilder {
 public:
  using TmvStaticKeyBstarTreeIndexBulkBuilder::TmvStaticKeyBstarTreeIndexBulkBuilder;
  static TmvBaseBulkBuilder* Create(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndexEngine);
};

// The node pool of keyless caches (taken at start-up).
TmvMemoryPoolHandle mvKeylessCacheNodePool();
TmvMemoryPoolHandle mvCacheKeylessCacheNodePool();

// Registers the engine as "KeylessBStarTree"; takes it out.
void mvseIndexEngineKeylessBstarTreeInit();
void mvseIndexEngineKeylessBstarTreeFini();
