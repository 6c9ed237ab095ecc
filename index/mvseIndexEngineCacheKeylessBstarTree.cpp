// Index engines: the cache-keyless B*-tree: creation checks, the cache
// RefNr as the order among equal keys, exact searches by RefNr. See
// mvseIndexEngineCacheKeylessBstarTree.h.
#include "index/mvseIndexEngineCacheKeylessBstarTree.h"

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"
#include "index/mvseIndexEngineStaticKeyBstarTreeOperation.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/records/mvseRecordEngine.h"

namespace {

constexpr char16_t kClassName[] = u"TmvCacheKeylessBstarTreeIndexEngine";

[[noreturn]] void Refuse(const char16_t* aFormat, const String& aName) {
  throw EmvCacheKeylessBstarTreeIndexEngineException(MVERR_NOTSUPPORTED, aFormat, {aName});
}

}  // namespace

constinit const TmvIndexEngineClassRef TmvCacheKeylessBstarTreeIndexEngine::StaticClass{
    {{kClassName, &TmvBaseIndexEngine::StaticClass}, &TmvBaseIndexEngine::GetList, &TmvBaseSubEngine::NoTableCheck},
    &TmvCacheKeylessBstarTreeIndexEngine::Create,
    &TmvKeylessBstarTreeIndexEngine::CheckKeyDescriptor};

TmvBaseIndexEngine* TmvCacheKeylessBstarTreeIndexEngine::Create(TmvBaseIndicesEngine* aIndicesEngine,
                                                                TmvBaseKeyEngine* aKeyEngine,
                                                                TmvIndexDescriptor* aIndexDescriptor) {
  return new TmvCacheKeylessBstarTreeIndexEngine(aIndicesEngine, aKeyEngine, aIndexDescriptor);
}

TmvCacheKeylessBstarTreeIndexEngine::TmvCacheKeylessBstarTreeIndexEngine(TmvBaseIndicesEngine* aIndicesEngine,
                                                                         TmvBaseKeyEngine* aKeyEngine,
                                                                         TmvIndexDescriptor* aIndexDescriptor)
    : TmvKeylessBstarTreeIndexEngine(aIndicesEngine, aKeyEngine, aIndexDescriptor, TCreateChecks{}) {
  try {
    auto* table = dynamic_cast<TmvBaseTableDescriptor*>(aIndicesEngine->Descriptor()->GetParent());
    const String tableClass = table ? table->ClassName() : String(u"TmvBaseTableDescriptor");
    if (!table || table->GetCachingState() != tcsIsCache) Refuse(u"%s is only supported for cache tables", tableClass);
    int32_t field = -1;
    TmvFieldsDescriptor* fields = table->GetFieldsDescriptor();
    if (!fields || !fields->HasRefNrField(field) || bieRefNrOffset < 0)
      Refuse(u"%s requires a RefNr field", tableClass);
    ieRefNrOffset = bieRefNrOffset;
    ieSeqIndexEngine = aIndicesEngine->SeqIndexEngine();
    if (!ieSeqIndexEngine) Refuse(u"%s requires a Sequential Access Index Engine", kClassName);
    if (!ieRecordEngine) Refuse(u"%s requires a RecordEngine", kClassName);
  } catch (...) {
    // The key engine goes back to the caller, who frees it on failure.
    bieKeyEngine = nullptr;
    throw;
  }
  ieTieByCacheRef = true;
  ieNodePool = mvCacheKeylessCacheNodePool();
}

TmvBulkBuilderClass TmvCacheKeylessBstarTreeIndexEngine::GetBulkBuilderClass() {
  return TmvBaseIndexEngine::GetBulkBuilderClass();
}

int32_t TmvCacheKeylessBstarTreeIndexEngine::FindKey(TmvBaseTransaction* aTrans, const void* aKey,
                                                     int32_t aFieldCount, int32_t aPartialLen, TmvRefNr aRefNr,
                                                     TmvBaseIndexPath* aPath, TmvSearchKeyAction aAction,
                                                     TmvBaseFilterEngine* aKeyFilter) {
  // Equal keys are ordered by cache RefNr: a search that broke ties with
  // 0 would find only records whose cache RefNr is 0.
  TmvRefNr tie = 0;
  if (aRefNr != 0) {
    if (InProgress(aTrans, aRefNr)) {
      tie = bieIndicesEngine->CurrentCacheRefNr();
    } else {
      uint8_t* data = nullptr;
      ieRecordEngine->ReadRecordForIterate(
          aTrans, aRefNr, data,
          [&](void*, TmvRefNr, const uint8_t* aRecord) {
            tie = TmvRefNr(mvGetU64(aRecord, uint32_t(ieRefNrOffset)));
            return rirContinue;
          },
          nullptr, nullptr);
    }
  }
  return TmvKeylessBstarTreeIndexEngine::FindKey(aTrans, aKey, aFieldCount, aPartialLen, tie, aPath, aAction,
                                                 aKeyFilter);
}

void mvseIndexEngineCacheKeylessBstarTreeInit() {
  TmvBaseSubEngine::Register(TmvCacheKeylessBstarTreeIndexEngine::StaticClass, u"CacheKeylessBstarTree");
}

void mvseIndexEngineCacheKeylessBstarTreeFini() {
  TmvBaseSubEngine::Unregister(TmvCacheKeylessBstarTreeIndexEngine::StaticClass);
}
