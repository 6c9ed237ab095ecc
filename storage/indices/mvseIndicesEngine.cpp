// Storage engines: the indices engine. See mvseIndicesEngine.h.
#include "storage/indices/mvseIndicesEngine.h"

#include <memory>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/mvsrLog.h"
#include "storage/transactions/mvsrTransaction.h"

namespace {

constexpr char16_t kIndexOutOfRange[] = u"Index number passed to routine is out of range [%d]";

bool IsSequentialAccessIndex(const String& aName) {
  const std::u16string_view seq(mvSequentialAccessIndexName);
  return aName.size() == seq.size() && mvStrLICompW(aName.c_str(), seq.data(), seq.size()) == 0;
}

// Resets the current operation's values however a key maintenance call ends.
class TCurrentScope {
 public:
  explicit TCurrentScope(std::function<void()> aReset) : fReset(std::move(aReset)) {}
  ~TCurrentScope() { fReset(); }
  TCurrentScope(const TCurrentScope&) = delete;
  TCurrentScope& operator=(const TCurrentScope&) = delete;

 private:
  std::function<void()> fReset;
};

}  // namespace

TmvClassRegistry* TmvBaseIndicesEngine::GetList() { return mvFamilyRegistry<TmvBaseIndicesEngine>(); }

constinit const TmvIndicesEngineClassRef TmvBaseIndicesEngine::StaticClass{
    {{u"TmvBaseIndicesEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseIndicesEngine::GetList,
     &TmvBaseIndicesEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseIndicesEngine::CheckIndexDescriptors};

TmvBaseIndicesEngine* TmvBaseIndicesEngine::CreateEngine(TmvBaseTableDescriptor* aTableDescriptor,
                                                         const TmvBlockAccessArray& aFiles,
                                                         TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans,
                                                         bool aAddToExisting) {
  return CreateEngine(aTableDescriptor->GetIndicesDescriptor(), aFiles, aRecordEngine, aTrans, aAddToExisting);
}

TmvBaseIndicesEngine* TmvBaseIndicesEngine::CreateEngine(TmvBaseIndicesDescriptor* aDescriptor,
                                                         const TmvBlockAccessArray& aFiles,
                                                         TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans,
                                                         bool aAddToExisting) {
  if (!aDescriptor) return nullptr;
  auto create = mvSubEngineConstructor<EmvBaseIndicesEngineException>(
      StaticClass, u"indices", aDescriptor->GetIndicesEngine(), &TmvIndicesEngineClassRef::Create);
  return create(aDescriptor, aFiles, aRecordEngine, aTrans, aAddToExisting);
}

void TmvBaseIndicesEngine::CheckValidBaseFromDescriptor(TmvBaseIndicesDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  mvSubEngineClass<EmvBaseIndicesEngineException>(StaticClass, u"indices", aDescriptor->GetIndicesEngine())
      .CheckIndexDescriptors(aDescriptor);
}

void TmvBaseIndicesEngine::CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor) {
  CheckValidBaseFromDescriptor(aTableDescriptor->GetIndicesDescriptor());
}

TmvBaseIndicesEngine::TmvBaseIndicesEngine(TmvBaseIndicesDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                           TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction*, bool)
    : TmvBaseSubEngine(aDescriptor->GetID(), aFiles.empty() ? nullptr : aFiles[0]),
      biseDescriptor(aDescriptor),
      biseFiles(aFiles),
      biseRecordEngine(aRecordEngine) {
  if (auto* table = dynamic_cast<TmvBaseTableDescriptor*>(aDescriptor->GetParent())) {
    biseIsCache = table->GetCachingState() == tcsIsCache;
    int32_t field = -1;
    if (biseIsCache && table->GetFieldsDescriptor()->HasRefNrField(field))
      biseRefNrOffset = table->GetFieldsDescriptor()->FieldDescriptor(field)->Offset();
  }
  try {
    for (int32_t i = 0; i < aDescriptor->IndexCount(); ++i) AddIndexEngine(aDescriptor->IndexDescriptor(i));
    AllocKeys();
  } catch (...) {
    FreeKeys();
    for (TmvBaseIndexEngine* index : biseIndices) delete index;
    throw;
  }
}

TmvBaseIndicesEngine::~TmvBaseIndicesEngine() {
  FreeKeys();
  for (TmvBaseIndexEngine* index : biseIndices) delete index;
}

void TmvBaseIndicesEngine::CheckIndexDescriptors(TmvBaseIndicesDescriptor* aDescriptor) {
  for (int32_t i = 0; i < aDescriptor->IndexCount(); ++i)
    TmvBaseIndexEngine::CheckValidBaseFromDescriptor(aDescriptor->IndexDescriptor(i));
}

void TmvBaseIndicesEngine::AddIndexEngine(TmvIndexDescriptor* aDescriptor) {
  MV_ASSERT(aDescriptor->GetNumber() == IndexCount());
  TmvBaseKeyEngine* keys = TmvBaseKeyEngine::CreateFor(aDescriptor->GetKeyDescriptor());
  TmvBaseIndexEngine* index = TmvBaseIndexEngine::CreateEngine(this, keys, aDescriptor);
  try {
    biseIndices.push_back(index);
  } catch (...) {
    delete index;
    throw;
  }
  biseNLSVersionChanged = biseNLSVersionChanged || index->NLSVersionChanged();
  biseContainsExtended = biseContainsExtended || index->ContainsExtended();
  if (IsSequentialAccessIndex(index->bieIndexName)) biseSeqIndexEngine = index;
}

void TmvBaseIndicesEngine::AllocKeys() {
  FreeKeys();
  const size_t n = biseIndices.size();
  biseNewKeys.assign(n, nullptr);
  biseOldKeys.assign(n, nullptr);
  biseNewKeysValid.assign(n, false);
  biseOldKeysValid.assign(n, false);
  biseComp.assign(n, 0);
  biseKeysAllocated = true;
  for (size_t i = 0; i < n; ++i) {
    biseNewKeys[i] = biseIndices[i]->bieKeyEngine->AllocKey();
    biseOldKeys[i] = biseIndices[i]->bieKeyEngine->AllocKey();
  }
}

void TmvBaseIndicesEngine::FreeKeys() {
  if (!biseKeysAllocated) return;
  for (size_t i = 0; i < biseNewKeys.size(); ++i) {
    if (biseNewKeys[i]) biseIndices[i]->bieKeyEngine->FreeKey(biseNewKeys[i]);
    if (biseOldKeys[i]) biseIndices[i]->bieKeyEngine->FreeKey(biseOldKeys[i]);
  }
  biseNewKeys.clear();
  biseOldKeys.clear();
  biseKeysAllocated = false;
}

TmvBlockAccess* TmvBaseIndicesEngine::biseGetFile(int32_t aInx) const {
  if (aInx < 0 || aInx >= FileCount() || !biseFiles[size_t(aInx)])
    throw EmvBaseIndicesEngineException(MVERR_INVALIDPARAM, u"Invalid file number: %d", {aInx});
  return biseFiles[size_t(aInx)];
}

TmvBaseIndexEngine* TmvBaseIndicesEngine::biseGetIndex(int32_t aInx) const {
  if (aInx < 0 || aInx >= IndexCount())
    throw EmvBaseIndicesEngineException(MVERR_INDEXNROUTOFRANGE, kIndexOutOfRange, {aInx});
  return biseIndices[size_t(aInx)];
}

void TmvBaseIndicesEngine::_SaveAll(TmvBaseTransaction* aTrans) {
  for (TmvBaseIndexEngine* index : biseIndices) index->_SaveAll(aTrans);
}

namespace {
TmvBulkBuilderHub* CreateBulkBuilderHub(TmvBaseTransaction* aTrans, const std::vector<TmvBaseIndexEngine*>& aIndexes) {
  return new TmvBulkBuilderHub(aTrans, aIndexes);
}
}  // namespace

TmvBulkBuilderHubClass TmvBaseIndicesEngine::GetBulkBuilderHubClass() { return &CreateBulkBuilderHub; }

TmvBaseBulkBuilder* TmvBaseIndicesEngine::CreateBulkBuilder(TmvBaseTransaction* aTrans) {
  if (biseIndices.empty()) return nullptr;
  if (biseIndices.size() == 1) return biseIndices[0]->CreateBulkBuilder(aTrans);
  return GetBulkBuilderHubClass()(aTrans, biseIndices);
}

// ---------------------------------------------------------------------------
// Adding and removing indexes

void TmvBaseIndicesEngine::AddIndex(TmvBaseTransaction* aTrans, int32_t aIndex) {
  const int32_t described = biseDescriptor->IndexCount();
  if (aIndex != described - 1 || IndexCount() != described - 1)
    throw EmvBaseIndicesEngineException(MVERR_INDEXNROUTOFRANGE, kIndexOutOfRange, {aIndex});
  FreeKeys();
  AddIndexEngine(biseDescriptor->IndexDescriptor(aIndex));
  IndexAdded(aTrans, aIndex);
  AllocKeys();
}

void TmvBaseIndicesEngine::RemoveIndex(TmvBaseTransaction* aTrans, int32_t aIndex) {
  if (aIndex < 0 || aIndex >= IndexCount() || IndexCount() != biseDescriptor->IndexCount() + 1)
    throw EmvBaseIndicesEngineException(MVERR_INDEXNROUTOFRANGE, kIndexOutOfRange, {aIndex});
  TmvBaseIndexEngine* index = biseIndices[size_t(aIndex)];
  index->DeleteAllKeys(aTrans);
  IndexRemoved(aTrans, aIndex);
  FreeKeys();
  if (biseSeqIndexEngine == index) biseSeqIndexEngine = nullptr;
  biseIndices.erase(biseIndices.begin() + aIndex);
  delete index;
  for (size_t i = size_t(aIndex); i < biseIndices.size(); ++i) {
    TmvBaseIndexEngine* later = biseIndices[i];
    --later->bieIndexNumber;
    later->bieBookmarkHandler->SetIndexID(later->bieBookmarkHandler->IndexID() - 1);
  }
  AllocKeys();
}

// ---------------------------------------------------------------------------
// Key maintenance

TmvRefNr TmvBaseIndicesEngine::CacheRefNrOf(const void* aRecord) const {
  return biseRefNrOffset >= 0 ? TmvRefNr(mvGetU64(aRecord, uint32_t(biseRefNrOffset))) : 0;
}

void TmvBaseIndicesEngine::Publish(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, TmvRefNr aCacheRefNr,
                                   const void* aKey) {
  biseCurrentTrans = aTrans;
  biseCurrentRefNr = aRefNr;
  biseCurrentCacheRefNr = aCacheRefNr;
  biseCurrentKey = aKey;
}

void TmvBaseIndicesEngine::ResetCurrent() {
  biseCurrentTrans = nullptr;
  biseCurrentRefNr = kNoCurrentRefNr;
  biseCurrentCacheRefNr = kNoCurrentRefNr;
  biseCurrentKey = nullptr;
}

bool TmvBaseIndicesEngine::BuildKey(int32_t aInx, const void* aRecord, TmvRefNr aRefNr, void* aKey, int32_t& aCode) {
  const uint32_t result = biseIndices[size_t(aInx)]->bieKeyEngine->BuildKey(aRecord, aKey, aRefNr, false);
  aCode = result == 1 ? 0 : int32_t(result);  // a filtered key is no failure
  return result == 0;
}

int32_t TmvBaseIndicesEngine::InsertKeys(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, const void* aRecord,
                                         TmvBaseIndexPath* aPath) {
  TCurrentScope scope([this] { ResetCurrent(); });
  const TmvRefNr cacheRefNr = CacheRefNrOf(aRecord);
  int32_t code = 0;
  int32_t i = 0;
  try {
    for (; i < IndexCount() && code == 0; ++i) {
      biseNewKeysValid[size_t(i)] = BuildKey(i, aRecord, aRefNr, biseNewKeys[size_t(i)], code);
      if (code != 0 || !biseNewKeysValid[size_t(i)]) continue;
      Publish(aTrans, aRefNr, cacheRefNr, biseNewKeys[size_t(i)]);
      if (!biseIndices[size_t(i)]->InsertKey(aTrans, biseNewKeys[size_t(i)], aRefNr, cacheRefNr, aPath))
        code = biseIndices[size_t(i)]->GetKeyError(etInsert, biseNewKeys[size_t(i)], aRefNr);
    }
  } catch (...) {
    // An index that raised instead of refusing: the earlier ones are undone
    // all the same before the failure passes on.
    UndoInserts(aTrans, i, aRefNr, cacheRefNr, aPath);
    throw;
  }
  if (code != 0) UndoInserts(aTrans, i - 1, aRefNr, cacheRefNr, aPath);
  return code;
}

void TmvBaseIndicesEngine::UndoInserts(TmvBaseTransaction* aTrans, int32_t aFailed, TmvRefNr aRefNr,
                                       TmvRefNr aCacheRefNr, TmvBaseIndexPath* aPath) {
  for (int32_t j = aFailed - 1; j >= 0; --j) {
    if (!biseNewKeysValid[size_t(j)]) continue;
    bool removed = false;
    try {
      Publish(aTrans, aRefNr, aCacheRefNr, biseNewKeys[size_t(j)]);
      removed = biseIndices[size_t(j)]->DeleteKey(aTrans, biseNewKeys[size_t(j)], aRefNr, aCacheRefNr, aPath);
    } catch (...) {
      mvStorageLogError(u"Undoing a key insert failed: " + mvCurrentExceptionText());
    }
    if (!removed) aTrans->MarkCorrupted();
  }
}

int32_t TmvBaseIndicesEngine::DeleteKeys(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, const void* aRecord,
                                         TmvBaseIndexPath* aPath) {
  TCurrentScope scope([this] { ResetCurrent(); });
  const TmvRefNr cacheRefNr = CacheRefNrOf(aRecord);
  try {
    for (int32_t i = 0; i < IndexCount(); ++i) {
      int32_t code = 0;
      void* key = biseOldKeys[size_t(i)];
      const bool built = BuildKey(i, aRecord, aRefNr, key, code);
      if (built) {
        Publish(aTrans, aRefNr, cacheRefNr, key);
        if (!biseIndices[size_t(i)]->DeleteKey(aTrans, key, aRefNr, cacheRefNr, aPath))
          code = biseIndices[size_t(i)]->GetKeyError(etDelete, key, aRefNr);
      }
      if (code != 0) {
        aTrans->MarkCorrupted();
        return code;
      }
    }
  } catch (...) {
    aTrans->MarkCorrupted();
    throw;
  }
  return 0;
}

int32_t TmvBaseIndicesEngine::UpdateKeys(TmvBaseTransaction* aTrans, TmvRefNr aOldRefNr, const void* aOldRecord,
                                         TmvRefNr aNewRefNr, const void* aNewRecord, TmvBaseIndexPath* aPath) {
  TCurrentScope scope([this] { ResetCurrent(); });
  const TmvRefNr oldCache = CacheRefNrOf(aOldRecord);
  const TmvRefNr newCache = CacheRefNrOf(aNewRecord);
  std::fill(biseComp.begin(), biseComp.end(), int8_t(0));
  for (int32_t i = 0; i < IndexCount(); ++i) {
    bool undo = true;
    int32_t code = 0;
    try {
      code = UpdateIndex(aTrans, i, aOldRefNr, oldCache, aOldRecord, aNewRefNr, newCache, aNewRecord, aPath, undo);
    } catch (...) {
      UndoUpdates(aTrans, i, aOldRefNr, oldCache, aNewRefNr, newCache, aPath);
      throw;
    }
    if (code == 0) continue;
    if (undo) UndoUpdates(aTrans, i, aOldRefNr, oldCache, aNewRefNr, newCache, aPath);
    return code;
  }
  return 0;
}

int32_t TmvBaseIndicesEngine::UpdateIndex(TmvBaseTransaction* aTrans, int32_t aInx, TmvRefNr aOldRefNr,
                                          TmvRefNr aOldCache, const void* aOldRecord, TmvRefNr aNewRefNr,
                                          TmvRefNr aNewCache, const void* aNewRecord, TmvBaseIndexPath* aPath,
                                          bool& aUndo) {
  const size_t i = size_t(aInx);
  TmvBaseIndexEngine* index = biseIndices[i];
  void* oldKey = biseOldKeys[i];
  void* newKey = biseNewKeys[i];
  // 1. The old and the new key (a filtered key is no key).
  int32_t code = 0;
  biseOldKeysValid[i] = BuildKey(aInx, aOldRecord, aOldRefNr, oldKey, code);
  if (code == 0) biseNewKeysValid[i] = BuildKey(aInx, aNewRecord, aNewRefNr, newKey, code);
  if (code != 0) return code;
  // 2. Different when one is missing, then by the keys, then by the
  // references.
  const bool oldValid = biseOldKeysValid[i], newValid = biseNewKeysValid[i];
  int8_t comp = 0;
  if (oldValid != newValid) comp = 1;
  else if (oldValid) comp = index->bieKeyEngine->CompareKey(oldKey, newKey);
  if (comp == 0 && oldValid && aOldRefNr != aNewRefNr) comp = aOldRefNr < aNewRefNr ? -1 : 1;
  biseComp[i] = comp;
  if (comp == 0) return 0;
  // 3. Out with the old key, in with the new.
  if (oldValid) {
    Publish(aTrans, aOldRefNr, aOldCache, oldKey);
    if (!index->DeleteKey(aTrans, oldKey, aOldRefNr, aOldCache, aPath)) {
      aUndo = false;
      aTrans->MarkCorrupted();
      return index->GetKeyError(etModifyDelete, oldKey, aOldRefNr);
    }
  }
  if (newValid) {
    Publish(aTrans, aNewRefNr, aNewCache, newKey);
    if (!index->InsertKey(aTrans, newKey, aNewRefNr, aNewCache, aPath)) {
      code = index->GetKeyError(etModifyInsert, newKey, aNewRefNr);
      // The failing index only lost its old key: put it back here, so that
      // the undo of the earlier ones sees it as done.
      if (oldValid) {
        Publish(aTrans, aOldRefNr, aOldCache, oldKey);
        if (!index->InsertKey(aTrans, oldKey, aOldRefNr, aOldCache, aPath)) {
          aTrans->MarkCorrupted();
          aUndo = false;
        }
      }
      biseComp[i] = 0;
      return code;
    }
  }
  return 0;
}

void TmvBaseIndicesEngine::UndoUpdates(TmvBaseTransaction* aTrans, int32_t aFailed, TmvRefNr aOldRefNr,
                                       TmvRefNr aOldCache, TmvRefNr aNewRefNr, TmvRefNr aNewCache,
                                       TmvBaseIndexPath* aPath) {
  for (int32_t j = aFailed - 1; j >= 0; --j) {
    const size_t i = size_t(j);
    if (biseComp[i] == 0) continue;
    TmvBaseIndexEngine* index = biseIndices[i];
    bool ok = true;
    try {
      if (biseNewKeysValid[i]) {
        Publish(aTrans, aNewRefNr, aNewCache, biseNewKeys[i]);
        ok = index->DeleteKey(aTrans, biseNewKeys[i], aNewRefNr, aNewCache, aPath);
      }
      if (ok && biseOldKeysValid[i]) {
        Publish(aTrans, aOldRefNr, aOldCache, biseOldKeys[i]);
        ok = index->InsertKey(aTrans, biseOldKeys[i], aOldRefNr, aOldCache, aPath);
      }
    } catch (...) {
      mvStorageLogError(u"Undoing a key update failed: " + mvCurrentExceptionText());
      ok = false;
    }
    if (!ok) {
      // Nothing more can be put right: the transaction can only be rolled back.
      aTrans->MarkCorrupted();
      return;
    }
  }
}

void mvseIndicesEngineInit() { TmvBaseSubEngine::RegisterBaseClass(TmvBaseIndicesEngine::StaticClass); }

void mvseIndicesEngineFini() { TmvBaseSubEngine::UnregisterBaseClass(TmvBaseIndicesEngine::StaticClass); }
