// Data dictionary: cacheable and cache tables, the caching operations of the
// table descriptor and the data dictionary. See mvsdCacheTables.h.
#include "dictionary/mvsdCacheTables.h"

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/mvsdDataDictionary.h"

namespace {

constexpr char16_t SInCacheNotCachable[] = u"Can't make a InCache table Cachable";
constexpr char16_t SFailedToMakeCachable[] = u"Failed to make table cachable";
constexpr char16_t SOnlyCachableInCache[] = u"Only Cachable tables can be marked as InCache";
constexpr char16_t SVariableRecordEngine[] = u"Variable";
constexpr char16_t SCompressorEngine[] = u"Compressor";
// The compression type of a cache table's records.
constexpr uint8_t kCacheCompressType = 11;
// The units of the special fields MakeCacheable adds.
constexpr int32_t kSpecialFieldUnits = 20;

[[noreturn]] void RaiseNotSupported(const char16_t* aMessage) {
  throw EmvBaseTableDescriptorException(MVERR_NOTSUPPORTED, String(aMessage));
}

void MarkImplicit(TmvDictionaryItem& aItem) { aItem.GetCustomStrings().SetValue(mvImplicitName, mvImplicitCacheable); }

// A cacheable info released when it leaves the scope.
struct CacheableInfoHolder {
  TmvCacheableInfo* info = nullptr;
  ~CacheableInfoHolder() { mvReleaseCacheableInfo(info); }
};

int32_t IndexPosition(TmvBaseIndicesDescriptor* aIndices, const char16_t* aName) {
  return aIndices ? aIndices->GetIndexFromName(aName) : -1;
}

// An Int64 field filled with the next LSN on insert, and with aOnModify on
// every modification too (which makes it the modify-LSN field).
TmvFieldDescriptor* AddLSNField(TmvFieldsDescriptor& aFields, const char16_t* aName, bool aOnModify) {
  TmvFieldDescriptor* field = aFields.AddField(aName, String(), mvtInt64, kSpecialFieldUnits, 0, false);
  MarkImplicit(*field);
  field->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass)->SetApplyOnModify(aOnModify);
  return field;
}

// What a cacheable table lacks, in this order: the modification index (and
// its field), a no-null key on it, the insert LSN, the internal indexes,
// the record reference.
void AddCacheableParts(TmvBaseTableDescriptor& aTable, const TmvCacheableInfo& aInfo,
                       TmvIndexDescriptor* aModification) {
  if (!aModification) {
    int32_t field = aInfo.ciSFI->sfiFields[sftModifyLSN];
    if (field < 0) field = AddLSNField(*aTable.GetFieldsDescriptor(), mvModifyLSNFieldName, true)->Number();
    TmvIndexDescriptor* index = aTable.EnsureIndicesDescriptor()->AddIndex(mvModifyLSNIndexName, 0, idNone, String(),
                                                                           &TmvNoNullCompKeyDescriptor::StaticClass);
    MarkImplicit(*index);
    static_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor())->Add(field);
  } else if (!aModification->GetKeyDescriptor()->InheritsFrom(TmvNoNullCompKeyDescriptor::StaticClass)) {
    aModification->ReplaceWithNoNullKey(aInfo.ciSFI->sfiFields[sftModifyLSN]);
  }
  if (aInfo.ciSFI->sfiFields[sftInsertLSN] < 0) AddLSNField(*aTable.GetFieldsDescriptor(), mvInsertLSNFieldName, false);
  TmvInternalIndicesDescriptor* internal = aTable.EnsureInternalIndicesDescriptor();
  for (const char16_t* name : {mvGraveyardLSNIndexName, mvGraveyardRefNrIndexName, mvBlobNrCounterIndexName}) {
    if (internal->GetIndexFromName(name) >= 0) continue;
    MarkImplicit(*internal->AddIndex(name, 0, idNone, String(), &TmvInt64KeyDescriptor::StaticClass));
  }
  if (aInfo.ciSFI->sfiFields[sftRefNr] < 0)
    MarkImplicit(
        *aTable.GetFieldsDescriptor()->AddField(mvRefNrFieldName, String(), mvtRefNr, kSpecialFieldUnits, 0, false));
}

}  // namespace

// ---------------------------------------------------------------------------
// IsCacheable

bool TmvBaseTableDescriptor::IsCacheable(TmvCacheableInfo*& aCachableInfo, TmvTableCachingState aState,
                                         bool aAcceptCachable) {
  mvReleaseCacheableInfo(aCachableInfo);
  aCachableInfo = mvNewCacheableInfo();
  TmvCacheableInfo& info = *aCachableInfo;
  tdFieldsDescriptor->GetSpecialFieldsInfo(info.ciSFI);
  const int32_t modifyLSNField = info.ciSFI->sfiFields[sftModifyLSN];
  const TmvIndexDupsSet dups = aState == tcsIsCache ? mvSetOf({idAll}) : mvSetOf({idNone, idNull});
  if (modifyLSNField >= 0 && tdIndicesDescriptor)
    tdIndicesDescriptor->HasIndex({modifyLSNField}, info.ciModifyLSNIndex, dups);
  info.ciGraveyardLSNIndex = IndexPosition(tdInternalIndicesDescriptor, mvGraveyardLSNIndexName);
  info.ciGraveyardRefNrIndex = IndexPosition(tdInternalIndicesDescriptor, mvGraveyardRefNrIndexName);
  info.ciCachedBlobsIndex = IndexPosition(tdInternalIndicesDescriptor, mvCachedBlobsIndexName);
  info.ciBlobNrCounterIndex = IndexPosition(tdInternalIndicesDescriptor, mvBlobNrCounterIndexName);

  if (modifyLSNField < 0 || info.ciModifyLSNIndex < 0 || info.ciSFI->sfiFields[sftInsertLSN] < 0 ||
      info.ciSFI->sfiFields[sftRefNr] < 0)
    return false;
  if (aState != tcsIsCache &&
      (info.ciGraveyardLSNIndex < 0 || info.ciGraveyardRefNrIndex < 0 || info.ciBlobNrCounterIndex < 0))
    return false;
  switch (aState) {
    case tcsNone:
      return tdCachingState != tcsIsCache;
    case tcsCacheable:
      return tdCachingState == tcsCacheable;
    case tcsIsCache:
      break;
  }
  if (!info.ciSFI->sfiBlobFields.empty() && info.ciCachedBlobsIndex < 0) return false;
  if (aAcceptCachable) return tdCachingState == tcsCacheable || tdCachingState == tcsIsCache;
  return tdCachingState == tcsIsCache;
}

// ---------------------------------------------------------------------------
// MakeCacheable

void TmvBaseTableDescriptor::MakeCacheable(bool aCanChange) {
  if (tdCachingState == tcsIsCache) RaiseNotSupported(SInCacheNotCachable);
  CheckReadOnly();
  CacheableInfoHolder holder;
  bool ready = IsCacheable(holder.info, tcsNone, false);
  const int32_t modifyIndex = holder.info->ciModifyLSNIndex;
  TmvIndexDescriptor* modification = modifyIndex >= 0 ? tdIndicesDescriptor->IndexDescriptor(modifyIndex) : nullptr;
  ready = ready && modification->GetKeyDescriptor()->InheritsFrom(TmvNoNullCompKeyDescriptor::StaticClass);
  if (!ready && aCanChange) AddCacheableParts(*this, *holder.info, modification);
  if (!IsCacheable(holder.info, tcsNone, false)) RaiseNotSupported(SFailedToMakeCachable);
  SetCachingState(tcsCacheable);
}

// ---------------------------------------------------------------------------
// MakeCacheTable

void TmvBaseTableDescriptor::MakeCacheTable(bool aTolerant) {
  if (tdCachingState == tcsIsCache) return;
  CheckReadOnly();
  for (int32_t i = tdTablesDescriptor->TableCount(); i-- > 0;) {
    TmvNestedTableDescriptor* nested = tdTablesDescriptor->TableDescriptor(i);
    nested->MakeCacheTable(aTolerant);
    if (!nested->HasCachingSupport(tcsIsCache)) tdTablesDescriptor->RemoveTable(i);
  }
  if (tdIndicesDescriptor) tdIndicesDescriptor->SetupForCacheTable();
  tdFieldsDescriptor->SetupForCacheTable();
  tdCustomDescsDescriptor->Clear(true);
  auto* record = static_cast<TmvHeapRecordDescriptor*>(AddRecordDescriptor(&TmvHeapRecordDescriptor::StaticClass));
  record->SetRecordEngine(SVariableRecordEngine);
  TmvBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
  compression->SetRecordCompressionEngine(SCompressorEngine);
  compression->SetCompressType(kCacheCompressType);
  RemoveInternalIndicesDescriptor();
  if (tdFieldsDescriptor->HasBlobFields(nullptr))
    AddInternalIndicesDescriptor()->AddIndex(mvCachedBlobsIndexName, 0, idNone, String(),
                                             &TmvBlobCacheKeyDescriptor::StaticClass);
  CacheableInfoHolder holder;
  if (IsCacheable(holder.info, tcsIsCache, true)) {
    SetCachingState(tcsIsCache);
  } else if (aTolerant) {
    SetCachingState(tcsNone);
  } else {
    RaiseNotSupported(SOnlyCachableInCache);
  }
}

// ---------------------------------------------------------------------------
// MakeCache

void TmvDataDictionary::MakeCache(bool aSilent) {
  if (HasCachingSupport(tcsIsCache)) return;
  CheckReadOnly();
  ddCacheCurrentID = ddCurrentID;
  MakeCacheTable(aSilent);
  SetEncryptionEngine(String());
  if (HasCachingSupport(tcsIsCache))
    ddCacheGuid = ddGuid;
  else
    ddCacheCurrentID = 0;
}
