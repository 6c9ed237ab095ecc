// Index engines: the keyless B*-tree of cache tables, whose records carry a
// second identity, their cache RefNr (the table's RefNr field), reached
// back through the table's sequential-access index.
//
// Nodes hold storage refs as in the keyless tree; equal keys are ordered
// by cache RefNr, which the key source delivers with every key (from the
// record in progress, the path's cache, or the record). A path known only
// by its cache RefNr finds its record through the sequential-access index.
// Bulk builds go key by key through the default bulk builder.
//
// Ownership, threads and damage: as the keyless tree.
// Layer: index engines; calls the keyless tree, the record engine and the
// sequential-access index engine.
#pragma once

#include "index/mvseIndexEngineKeylessBstarTree.h"

MV_DECLARE_EXCEPTION(EmvCacheKeylessBstarTreeIndexEngineException, EmvBaseIndexEngineException)

class TmvCacheKeylessBstarTreeIndexEngine : public TmvKeylessBstarTreeIndexEngine {
  MV_DECLARE_CLASSREF(TmvIndexEngineClassRef)
 public:
  // 12289, in this order: "<table class> is only supported for cache
  // tables", "<table class> requires a RefNr field", "<class> requires a
  // Sequential Access Index Engine", "<class> requires a RecordEngine".
  TmvCacheKeylessBstarTreeIndexEngine(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                      TmvIndexDescriptor* aIndexDescriptor);
  static TmvBaseIndexEngine* Create(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                    TmvIndexDescriptor* aIndexDescriptor);

  // Key by key through the default bulk builder, with both refs.
  TmvBulkBuilderClass GetBulkBuilderClass() override;
  // With a RefNr the search is exact: the record's cache RefNr, read from
  // it, orders it among equal keys.
  int32_t FindKey(TmvBaseTransaction* aTrans, const void* aKey, int32_t aFieldCount, int32_t aPartialLen,
                  TmvRefNr aRefNr, TmvBaseIndexPath* aPath, TmvSearchKeyAction aAction,
                  TmvBaseFilterEngine* aKeyFilter) override;

  TmvBaseIndexEngine* ieSeqIndexEngine = nullptr;
  int32_t ieRefNrOffset = -1;

 protected:
  TmvRefNr SearchTieRef(TmvRefNr, TmvRefNr aCacheRefNr) const override { return aCacheRefNr; }
};

// Registers the engine as "CacheKeylessBstarTree"; takes it out.
void mvseIndexEngineCacheKeylessBstarTreeInit();
void mvseIndexEngineCacheKeylessBstarTreeFini();
