// Server engine: the table cursor's creation, index paths and positioning.
// See mvsrServerTableCursor.h; the content side is in
// mvsrServerTableCursorContent.cpp.
#include "server/cursors/mvsrServerTableCursor.h"

#include <memory>
#include <mutex>
#include <unordered_set>

#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllExceptions.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "server/mvsrServerEngine.h"
#include "server/mvsrServerStatement.h"
#include "server/tables/mvsrServerDatabase.h"
#include "server/tables/mvsrServerFolder.h"
#include "server/tables/mvsrServerTable.h"
#include "server/transactions/mvsrServerTransContext.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "server/transactions/mvsrTransactionLevelTableLink.h"
#include "storage/blobs/mvseBlobHandler.h"
#include "storage/header/mvsrServerDataDict.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/mvsrFulltextEngine.h"
#include "storage/mvsrRefIntegrityEngine.h"
#include "storage/records/mvseRecordEngine.h"

constinit const ClassRef TmvServerTableCursor::StaticClass{u"TmvServerTableCursor", &TmvServerBaseCursor::StaticClass};

// What the BLOB handlers read of their cursor.
class TStcBlobOwner : public TmvBlobHandlerOwner {
 public:
  explicit TStcBlobOwner(TmvServerTableCursor* aCursor) : TmvBlobHandlerOwner(nullptr), fCursor(aCursor) {}
  const TmvSpecialFieldsInfo* acSFI() override { return fCursor->SFI(); }
  TmvFieldsDescriptor* GetFieldsDescriptor() override { return fCursor->FieldsDescriptor(); }

 private:
  TmvServerTableCursor* fCursor;
};

namespace {

uint32_t Code(int32_t aCode) { return EmvBaseException::mvSetMessage(aCode, String()); }
uint32_t Code(int32_t aCode, const String& aText) { return EmvBaseException::mvSetMessage(aCode, aText); }

constexpr TmvRefNr kSelfRefNrHigh = TmvRefNr(0x7FFFFFFF) << 32;

// The low halves of the live cursors' own record numbers: a write-intent
// lock on stcSelfRefNr must never be shared by two cursors.
struct TSelfIDs {
  std::mutex Lock;
  std::unordered_set<uint32_t> Live;
  uint32_t Next = 0;
};
TSelfIDs& SelfIDs() {
  static TSelfIDs ids;
  return ids;
}
uint32_t AcquireSelfID() {
  TSelfIDs& ids = SelfIDs();
  std::lock_guard guard(ids.Lock);
  for (;;) {
    const uint32_t id = ++ids.Next;
    if (id != 0 && ids.Live.insert(id).second) return id;
  }
}
void ReleaseSelfID(uint32_t aID) {
  TSelfIDs& ids = SelfIDs();
  std::lock_guard guard(ids.Lock);
  ids.Live.erase(aID);
}

// A root opened read-only makes every cursor on it read-only.
TmvOpenMode EffectiveOpenMode(TmvServerBaseTable* aTable, TmvOpenMode aOpenMode) {
  return aTable->Root()->OpenMode() == omReadOnly ? omReadOnly : aOpenMode;
}

bool IsLockingCode(uint32_t aCode) { return aCode >= 10240 && aCode <= 10495; }
bool IsForgivenByTry(uint32_t aCode) {
  return aCode == uint32_t(MVERR_BOF) || aCode == uint32_t(MVERR_EOF) || aCode == uint32_t(MVERR_KEYORRECDELETED) ||
         aCode == uint32_t(MVERR_NOCURRREC);
}

bool IsRefKeyEngine(TmvBaseKeyEngine* aEngine) {
  for (const ClassRef* c = &aEngine->ClassType(); c; c = c->Parent)
    if (std::u16string_view(c->ClassName) == u"TmvRefKeyEngine") return true;
  return false;
}

void FreePath(TmvBaseIndexPath*& aPath) {
  delete aPath;
  aPath = nullptr;
}

}  // namespace

// The key fields source reads the key engine of the current index.
class TStcKeyFieldsOwner final : public TmvKeyFieldsOwner {
 public:
  explicit TStcKeyFieldsOwner(TmvServerTableCursor* aCursor) : fCursor(aCursor) {}
  TmvBaseKeyEngine* CurrentKeyEngine() override {
    return fCursor->IndexEngine() ? fCursor->IndexEngine()->KeyEngine() : nullptr;
  }
  TmvAbstractCursor* OwnerCursor() override { return fCursor; }

 private:
  TmvServerTableCursor* fCursor;
};

// ---------------------------------------------------------------------------
// Creation and destruction

TmvServerTableCursor::TmvServerTableCursor(TmvServerDatabase* aDatabase, TmvServerBaseTable* aTable, uint32_t aTimeout,
                                           TmvOpenMode aOpenMode, TmvShareMode aShareMode, const String& aIndexName,
                                           int32_t aIndexID, bool aBlobCache, bool aInternal)
    : TmvServerBaseCursor(aDatabase, aTimeout, EffectiveOpenMode(aTable, aOpenMode)),
      stcTable(aTable),
      stcShareMode(aShareMode),
      stcSelfID(AcquireSelfID()) {
  if (aInternal) BeginIgnoreSecurity();
  stcSelfRefNr = kSelfRefNrHigh | stcSelfID;
  lcOpenMode = sbcOpenMode;
  lcShareMode = aShareMode;
  try {
    TmvBaseTableDescriptor* descriptor = aTable->TableDescriptor();
    if (descriptor->GetCachingState() == tcsIsCache) acStates |= uint8_t(1u << acsIsCache);
    if (descriptor->IsCacheable(acCacheableInfo, IsCache() ? tcsIsCache : tcsCacheable, false))
      acStates |= uint8_t(1u << acsIsCacheable);
    if (IsCache() && !mvInSet(acStates, acsIsCacheable))
      throw EmvServerEngineException(MVERR_NOTAPPLICABLE, u"Cache Table is not Cacheable");
    acLoadFieldsInfo();
    sbcRecordBuffer = mvGetZeroedMemPtr(size_t(acRecordLength) + 4);
    acFieldsDescriptor->InitRecord(sbcRecordBuffer);

    TmvBaseIndicesEngine* internal = aTable->InternalIndicesEngine();
    if ((Indices() && Indices()->NLSVersionChanged()) || (internal && internal->NLSVersionChanged())) {
      sbcIsReadOnly = true;
      sbcReadOnlyResult = MVERR_HIGHERTABLELEVEL;
      sbcReadOnlyResultMessage =
          u"Table contains one or more indices where NLS version of stored keys differs from current NLS version. "
          u"Table must be packed to enable write access";
    }

    // No caching handler exists in this system: a cache cursor and a cursor
    // asking for a BLOB cache pass straight through to the engine as well.
    (void)aBlobCache;
    stcBlobOwner = new TStcBlobOwner(this);
    if (!aTable->BlobEngine() || acSFI->sfiBlobFields.empty())
      stcBlobHandler = new TmvNullBlobHandler(stcBlobOwner);
    else
      stcBlobHandler = new TmvPassthroughBlobHandler(stcBlobOwner, aTable->BlobEngine(), nullptr,
                                                     aTable->FieldsDescriptor());
    if (!IsCache()) {
      if (aTable->FulltextEngine())
        stcFulltextEngine = TmvBaseFulltextCursorEngine::CreateFor(aTable->FulltextEngine(), this);
      stcRefIntEngine = TmvBaseRefIntegrityEngine::CreateFor(descriptor, this);
    }

    int32_t defaultIndex = -1;
    if (Indices() && descriptor->GetIndicesDescriptor())
      defaultIndex = descriptor->GetIndicesDescriptor()->GetDefaultIndex();
    if (aIndexID < 0) aIndexID = defaultIndex;

    aTable->sbtAddCursor(this);
    stcInTable = true;

    if (sbcSwitchToIndex(aIndexName, aIndexID, porFalse) != 0 &&
        sbcSwitchToIndex(String(), defaultIndex, porFalse) != 0) {
      const uint32_t none = sbcSwitchToIndex(String(), -1, porFalse);
      if (none != 0) throw EmvServerEngineException(int64_t(none));
    }
    CreateCachePaths();
  } catch (...) {
    // The destructor does not run for a half-made cursor.
    try {
      Release();
    } catch (...) {
      mvServerLogCurrentException(u"Releasing a table cursor that failed to open");
    }
    throw;
  }
}

void TmvServerTableCursor::CreateCachePaths() {
  TmvBaseIndicesEngine* indices = Indices();
  if (indices && indices->SeqIndexEngine()) {
    stcSeqAccessIndexEngine = indices->SeqIndexEngine();
    stcSeqAccessIndexPath = stcSeqAccessIndexEngine->CreateIndexPath();
    stcRefNrIndexEngine = stcSeqAccessIndexEngine;
    stcRefNrIndexPath = stcRefNrIndexEngine->CreateIndexPath();
  }
  if (indices && acCacheableInfo && acCacheableInfo->ciModifyLSNIndex >= 0 &&
      acCacheableInfo->ciModifyLSNIndex < indices->IndexCount()) {
    stcLSNIndexEngine = indices->biseGetIndex(acCacheableInfo->ciModifyLSNIndex);
    stcLSNIndexPath = stcLSNIndexEngine->CreateIndexPath();
  }
  TmvBaseIndicesEngine* internal = stcTable->InternalIndicesEngine();
  if (!internal || IsCache() || !acCacheableInfo) return;
  const int32_t lsn = acCacheableInfo->ciGraveyardLSNIndex;
  const int32_t ref = acCacheableInfo->ciGraveyardRefNrIndex;
  if (lsn >= 0 && lsn < internal->IndexCount()) {
    stcGraveyardLSNIndexEngine = internal->biseGetIndex(lsn);
    stcGraveyardLSNIndexPath = stcGraveyardLSNIndexEngine->CreateIndexPath();
  }
  if (ref >= 0 && ref < internal->IndexCount()) {
    stcGraveyardRefNrIndexEngine = internal->biseGetIndex(ref);
    stcGraveyardRefNrIndexPath = stcGraveyardRefNrIndexEngine->CreateIndexPath();
  }
}

TmvServerTableCursor* TmvServerTableCursor::CreateResultSet(TmvServerDatabase* aDatabase,
                                                            TmvDataDictionary* aDictionary, uint32_t aTimeout) {
  TmvServerFolder* folder = aDatabase->Folder();
  TmvServerRootTable* table = nullptr;
  {
    TmvPadlockGuard guard(folder->TablesPadlock());
    TmvFilesDescriptor* files = aDictionary->GetFilesDescriptor();
    for (int32_t i = 0; files && i < files->FileCount(); ++i) files->FileDescriptor(i)->SetBlockSize(TmvBlockSize(0));
    if (uint32_t code = folder->sfCreateRootTable(String(), tsTempUnnamed, aDictionary, false, String(), table))
      throw EmvServerEngineException(int64_t(code));
  }
  TmvServerTableCursor* cursor = nullptr;
  try {
    cursor = TmvAbstractServerObject::Create<TmvServerTableCursor>(aDatabase, table, aTimeout, omReadWrite,
                                                                    smExclusive, String(), -1, false, true);
  } catch (...) {
    TmvPadlockGuard guard(folder->TablesPadlock());
    folder->sfFreeIfIdle(table, true, false);
    throw;
  }
  cursor->IsUnnamed = true;
  return cursor;
}

TmvServerTableCursor::~TmvServerTableCursor() {
  MV_ASSERT(stcInUseCount == 0);
  try {
    Release();
  } catch (...) {
    mvServerLogCurrentException(u"Closing a table cursor");
  }
}

void TmvServerTableCursor::PrepareDestroy() {
  TmvServerBaseCursor::PrepareDestroy();
  delete std::exchange(stcBlobHandler, nullptr);
  delete std::exchange(stcFulltextEngine, nullptr);
  delete std::exchange(stcRefIntEngine, nullptr);
}

void TmvServerTableCursor::Release() {
  if (stcTable) {
    stcTable->sbtLocks.ClearAllLocks(this);
    if (stcTransLink) {
      TmvPadlockGuard guard(&Root()->srtTransLinksPadlock);
      if (stcTransLink) stcTransLink->RemoveCursor(this);
    }
    while (stcPortalReads > 0) {
      --stcPortalReads;
      Root()->srtContentPortal.EndRead();
    }
  }
  FreeKeys();
  FreePath(stcIndexPath);
  FreePath(stcSavePath);
  FreePath(stcTempPath);
  if (sbcRecordBuffer) mvFreeMem(std::exchange(sbcRecordBuffer, nullptr));
  if (sbcRecordBuffer2) mvFreeMem(std::exchange(sbcRecordBuffer2, nullptr));
  LeaveTable();
  delete std::exchange(stcBlobHandler, nullptr);
  delete std::exchange(stcBlobOwner, nullptr);
  delete std::exchange(stcFulltextEngine, nullptr);
  delete std::exchange(stcRefIntEngine, nullptr);
  delete std::exchange(stcKeyFieldsOwner, nullptr);
  FreePath(stcSeqAccessIndexPath);
  FreePath(stcLSNIndexPath);
  FreePath(stcRefNrIndexPath);
  FreePath(stcGraveyardLSNIndexPath);
  FreePath(stcGraveyardRefNrIndexPath);
  mvReleaseCacheableInfo(acCacheableInfo);
  if (stcSelfID) ReleaseSelfID(std::exchange(stcSelfID, 0));
}

void TmvServerTableCursor::LeaveTable() {
  if (!stcTable) return;
  TmvServerRootTable* root = Root();
  root->sbtLockIsInactive.fetch_add(1, std::memory_order_acq_rel);
  if (stcInTable) stcTable->sbtRemoveCursor(this);
  stcInTable = false;
  stcTable = nullptr;
  bool freeRoot = root->RootCursorCount() == 0 && !root->Destroying() && root->TableScope() == tsTempUnnamed;
  root->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel);
  if (!freeRoot) return;
  TmvServerFolder* folder = root->Folder();
  TmvPadlockGuard guard(folder->TablesPadlock());
  folder->sfFreeIfIdle(root, true, false);
}

// ---------------------------------------------------------------------------
// What the layers above ask

TmvServerRootTable* TmvServerTableCursor::Root() const { return stcTable->Root(); }

TmvServerTransContext* TmvServerTableCursor::Context() const {
  return dynamic_cast<TmvServerTransContext*>(sbcTransContext);
}

TmvServerTransaction* TmvServerTableCursor::stcTrans() const {
  TmvServerTransContext* context = Context();
  return context ? context->Transaction() : nullptr;
}

TmvBaseIndicesEngine* TmvServerTableCursor::Indices() const { return stcTable->IndicesEngine(); }

TmvDataDictionary* TmvServerTableCursor::Get_Dictionary() {
  return stcTable ? Root()->Dictionary() : nullptr;
}

TmvBaseTableDescriptor* TmvServerTableCursor::GetTableDescriptor() {
  return stcTable ? stcTable->TableDescriptor() : nullptr;
}

String TmvServerTableCursor::acGetFullName() { return stcTable ? stcTable->FullName() : String(); }

String TmvServerTableCursor::acGetAliasName() {
  auto* database = dynamic_cast<TmvSqlAbstractDatabase*>(acDatabase);
  return database ? database->sadGetAlias() : String();
}

String TmvServerTableCursor::sbcGetRootName() { return stcTable ? Root()->Name() : String(); }

TmvIndexPathPosition TmvServerTableCursor::sbcGetPosition() {
  return stcIndexPath ? stcIndexPath->Position : ippUnknown;
}

TmvServerTableStats TmvServerTableCursor::sbcGetStats() { return TmvServerTableStats{}; }

void TmvServerTableCursor::sbcSetOnRequestClose(ImvRequestCloseHandler* aHandler) {
  TmvPadlockGuard guard(stcTable->CursorsPadlock());
  TmvServerBaseCursor::sbcSetOnRequestClose(aHandler);
}

int32_t TmvServerTableCursor::CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter,
                                                const TGUID& aInterfaceID, void** aInterface) {
  const size_t dot = aName.find(u'.');
  const String first = dot == String::npos ? aName : aName.substr(0, dot);
  String rest = dot == String::npos ? String() : aName.substr(dot + 1);
  if (rest.empty()) rest = u"<Self>";
  if (stcTable && SameClassName(first, u"<Table>"))
    return stcTable->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TmvServerBaseCursor::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

uint32_t TmvServerTableCursor::esoOptionGetInherited(const String& aName, String& aValue) {
  if (stcTable) {
    const uint32_t result = stcTable->esoOptionGetEffective(aName, aValue);
    if (result != uint32_t(MVERR_OBJNOTFOUND)) return result;
  }
  return TmvServerBaseCursor::esoOptionGetInherited(aName, aValue);
}

uint32_t TmvServerTableCursor::esoOptionListInherited(TStrings* aList) {
  if (!stcTable) return TmvServerBaseCursor::esoOptionListInherited(aList);
  if (uint32_t result = stcTable->esoOptionListEffective(aList)) return result;
  TmvFastStringListIC inherited;
  if (uint32_t result = TmvServerBaseCursor::esoOptionListInherited(&inherited)) return result;
  esoOptionListMerge(aList, &inherited);
  return 0;
}

void TmvServerTableCursor::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvServerBaseCursor::WriteObjectInfo(aContainer);
  static constexpr const char16_t* kShareModes[] = {u"smExclusive", u"smShared", u"smShareRead"};
  aContainer->AddObject(u"Table", stcTable, false);
  aContainer->AddString(u"ShareMode", kShareModes[std::min<int>(stcShareMode, smShareRead)]);
  if (stcIndexPath)
    aContainer->AddObject(u"IndexPath", stcIndexPath, false);
  else
    aContainer->AddObject(u"IndexEngine", stcIndexEngine, false);
  ImvExceptionDataContainer* range = aContainer->AddContainer(u"Range");
  for (const auto& [name, end] : {std::pair{u"Start", &stcRangeStart}, std::pair{u"End", &stcRangeEnd}}) {
    ImvExceptionDataContainer* part = range->AddContainer(name);
    part->AddBoolean(u"Valid", end->riValid);
    part->AddInteger(u"FieldCount", end->riFieldCount);
    part->AddInteger(u"Partitial", end->riPartitial);
    part->AddBoolean(u"Exclusive", end->riExclusive);
    if (KeyEngine() && end->riKey) KeyEngine()->KeyAsExceptionData(end->riKey, part->AddContainer(u"Key"));
  }
}

// ---------------------------------------------------------------------------
// Keys

uint32_t TmvServerTableCursor::NeedIndex() const {
  return stcIndexEngine ? 0 : Code(MVERR_NOASSOCINDEX);
}

void TmvServerTableCursor::AllocKeys() {
  TmvBaseKeyEngine* keys = KeyEngine();
  if (!keys) return;
  stcKeyBuffer = keys->AllocKey();
  stcRangeStart.riKey = keys->AllocKey();
  stcRangeEnd.riKey = keys->AllocKey();
}

void TmvServerTableCursor::FreeKeys() {
  TmvBaseKeyEngine* keys = KeyEngine();
  if (keys) {
    if (stcKeyBuffer) keys->FreeKey(stcKeyBuffer);
    if (stcRangeStart.riKey) keys->FreeKey(stcRangeStart.riKey);
    if (stcRangeEnd.riKey) keys->FreeKey(stcRangeEnd.riKey);
  }
  stcKeyBuffer = nullptr;
  stcRangeStart.riKey = nullptr;
  stcRangeEnd.riKey = nullptr;
}

uint32_t TmvServerTableCursor::TakeKey(bool aDirectKey, const void* aKeyData, void* aKey) {
  TmvBaseKeyEngine* keys = KeyEngine();
  if (aDirectKey) {
    keys->CopyKey(aKeyData, aKey);
    return 0;
  }
  const uint32_t code = keys->BuildKey(aKeyData, aKey, 0, true);
  return code == 0 ? 0 : Code(int32_t(code));
}

uint32_t TmvServerTableCursor::BuildKey(const void* aRecord, void* aKey, bool aIgnoreFilter) {
  if (uint32_t code = NeedIndex()) return code;
  return KeyEngine()->BuildKey(aRecord, aKey, 0, aIgnoreFilter);
}

uint32_t TmvServerTableCursor::KeyToRecord(const void* aKey, void* aRecord) {
  if (uint32_t code = NeedIndex()) return code;
  return KeyEngine()->KeyToRecord(aKey, aRecord);
}

uint32_t TmvServerTableCursor::sbcCompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1,
                                              const void* aKeyData1, bool aDirectKey2, const void* aKeyData2,
                                              int32_t& aResult) {
  aResult = 0;
  try {
    if (uint32_t code = NeedIndex()) return code;
    TmvBaseKeyEngine* keys = KeyEngine();
    struct TKeys {
      TmvBaseKeyEngine* Engine;
      void* One;
      void* Two;
      ~TKeys() {
        if (One) Engine->FreeKey(One);
        if (Two) Engine->FreeKey(Two);
      }
    } temp{keys, keys->AllocKey(), keys->AllocKey()};
    if (uint32_t code = TakeKey(aDirectKey1, aKeyData1, temp.One)) return code;
    if (uint32_t code = TakeKey(aDirectKey2, aKeyData2, temp.Two)) return code;
    aResult = keys->CompareKey(temp.One, temp.Two, aFieldCount, aPartialLen);
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

ImvFieldsSource* TmvServerTableCursor::sbcGetKeyFieldsSource() {
  if (!stcKeyFieldsOwner) stcKeyFieldsOwner = new TStcKeyFieldsOwner(this);
  if (!stcKeyFieldsSource)
    stcKeyFieldsSource =
        TInterfacePtr<ImvFieldsSource>(TmvInterfacedObject::Create<TmvKeyFieldsSource>(stcKeyFieldsOwner));
  return stcKeyFieldsSource.get();
}

// ---------------------------------------------------------------------------
// The index and the range

uint32_t TmvServerTableCursor::ResolveIndex(const String& aIndexName, int32_t aIndexID,
                                            TmvBaseIndexEngine*& aEngine) {
  aEngine = nullptr;
  TmvBaseIndicesEngine* indices = Indices();
  if (!indices) return aIndexName.empty() && (aIndexID == -1 || aIndexID == 0) ? 0 : Code(MVERR_NOSUCHINDEX);
  if (!aIndexName.empty()) {
    for (TmvBaseIndexEngine* index : indices->Indices())
      if (SameClassName(index->bieIndexName, aIndexName)) {
        aEngine = index;
        return 0;
      }
    return Code(MVERR_NOSUCHINDEX);
  }
  if (aIndexID < -1 || aIndexID >= indices->IndexCount()) return Code(MVERR_NOSUCHINDEX);
  if (aIndexID >= 0) aEngine = indices->biseGetIndex(aIndexID);
  return 0;
}

uint32_t TmvServerTableCursor::stcReadPathRecord(void* aBuffer) {
  if (!stcIndexPath) return Code(MVERR_NOCURRREC);
  return Shared([&]() -> uint32_t {
    TmvBaseTransaction* trans = stcTrans();
    if (stcIndexEngine) stcIndexEngine->ValidateIndexPath(trans, stcIndexPath);
    if (int32_t state = stcIndexPath->CheckCurrentState()) return Code(state);
    stcTable->RecordEngine()->ReadRecord(trans, stcIndexPath->RefNr, static_cast<uint8_t*>(aBuffer));
    return 0;
  });
}

uint32_t TmvServerTableCursor::PlacePath(TmvBaseIndexPath* aPath, const void* aBuffer, TmvRefNr aRefNr) {
  if (int32_t code = aPath->SetToRecord(aBuffer, aRefNr)) return Code(code);
  if (!aPath->bipIndexEngine) return 0;
  return Shared([&]() -> uint32_t {
    aPath->bipIndexEngine->ValidateIndexPath(stcTrans(), aPath);
    return aPath->CheckCurrentState() == 0 ? 0 : Code(MVERR_NOCURRREC);
  });
}

uint32_t TmvServerTableCursor::sbcSwitchToIndex(const String& aIndexName, int32_t aIndexID, TmvPosnOnRec aPosnOnRec) {
  try {
    TmvBaseIndexEngine* engine = nullptr;
    if (uint32_t code = ResolveIndex(aIndexName, aIndexID, engine)) return code;
    if (engine && engine->NLSVersionChanged())
      return Code(MVERR_HIGHERTABLELEVEL,
                  u"Current NLS version differs from NLS version of stored keys. Table must be packed before index "
                  u"can be used");
    bool position = aPosnOnRec != porFalse;
    TmvRefNr refNr = 0;
    if (position) {
      uint32_t read;
      try {
        read = stcReadPathRecord(sbcRecordBuffer);
      } catch (...) {
        read = asoConvertException();
      }
      if (read != 0 && !IsLockingCode(read) && read != uint32_t(MVERR_OPERATIONTIMEOUT))
        read = Code(MVERR_NOCURRREC);
      if (read != 0) {
        if (aPosnOnRec != porTry || !IsForgivenByTry(read)) return read;
        position = false;
      } else {
        refNr = stcIndexPath->RefNr;
      }
    }
    std::unique_ptr<TmvBaseIndexPath> path(engine ? engine->CreateIndexPath() : TmvBaseIndexPath::CreateStandalone());
    if (position) {
      const uint32_t placed = PlacePath(path.get(), sbcRecordBuffer, refNr);
      if (placed != 0) {
        if (aPosnOnRec != porTry || !IsForgivenByTry(placed)) return placed;
        path->SetToBof();
      }
    } else {
      path->SetToBof();
    }
    if (sbcKeyFilter) sbcKeyFilter->SetActive(false);
    FreeKeys();
    FreePath(stcIndexPath);
    FreePath(stcSavePath);
    FreePath(stcTempPath);
    stcIndexEngine = engine;
    stcIndexPath = path.release();
    AllocKeys();
    stcRangeStart.riValid = false;
    stcRangeEnd.riValid = false;
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerTableCursor::sbcGetIndexID(int32_t& aIndexID) {
  aIndexID = stcIndexEngine ? stcIndexEngine->IndexNumber() : -1;
  return 0;
}

int32_t TmvServerTableCursor::stcKeyInRange(const void* aKey) {
  TmvBaseKeyEngine* keys = KeyEngine();
  if (!keys) return 0;
  if (stcRangeStart.riValid) {
    const int8_t c = keys->CompareKey(stcRangeStart.riKey, aKey, stcRangeStart.riFieldCount, stcRangeStart.riPartitial);
    if (c > 0 || (c == 0 && stcRangeStart.riExclusive)) return -1;
  }
  if (stcRangeEnd.riValid) {
    const int8_t c = keys->CompareKey(stcRangeEnd.riKey, aKey, stcRangeEnd.riFieldCount, stcRangeEnd.riPartitial);
    if (c < 0 || (c == 0 && stcRangeEnd.riExclusive)) return 1;
  }
  return 0;
}

void TmvServerTableCursor::stcPutPathInRange() {
  if (!stcIndexPath || !stcIndexPath->KeyValid || !stcIndexEngine) return;
  const int32_t where = stcKeyInRange(stcIndexPath->Key);
  if (where < 0) stcIndexPath->SetToBof();
  if (where > 0) stcIndexPath->SetToEof();
}

void TmvServerTableCursor::sbcRangeReset() {
  stcRangeStart.riValid = false;
  stcRangeEnd.riValid = false;
}

uint32_t TmvServerTableCursor::sbcRangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1,
                                           const void* aKeyData1, bool aKeyIncl1, int32_t aFieldCount2,
                                           int32_t aPartialLen2, bool aDirectKey2, const void* aKeyData2,
                                           bool aKeyIncl2) {
  if (uint32_t code = NeedIndex()) return code;
  uint32_t result = 0;
  try {
    const struct {
      TmvRangeInfo* End;
      int32_t FieldCount, PartialLen;
      bool DirectKey;
      const void* KeyData;
      bool KeyIncl;
    } ends[] = {{&stcRangeStart, aFieldCount1, aPartialLen1, aDirectKey1, aKeyData1, aKeyIncl1},
                {&stcRangeEnd, aFieldCount2, aPartialLen2, aDirectKey2, aKeyData2, aKeyIncl2}};
    for (const auto& e : ends) {
      e.End->riValid = false;
      if (!e.KeyData) continue;
      if ((result = TakeKey(e.DirectKey, e.KeyData, e.End->riKey)) != 0) break;
      e.End->riFieldCount = e.FieldCount;
      e.End->riPartitial = e.PartialLen;
      e.End->riExclusive = !e.KeyIncl;
      e.End->riValid = true;
    }
  } catch (...) {
    result = asoConvertException();
  }
  if (result != 0) {
    sbcRangeReset();
    return result;
  }
  sbcSetToBegin();
  return 0;
}

void TmvServerTableCursor::sbcSetToBegin() {
  if (stcIndexPath) stcIndexPath->SetToBof();
}

void TmvServerTableCursor::sbcSetToEnd() {
  if (stcIndexPath) stcIndexPath->SetToEof();
}

// ---------------------------------------------------------------------------
// Positioning

uint32_t TmvServerTableCursor::sbcSetToKey(TmvSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen,
                                           bool aDirectKey, const void* aKeyData) {
  if (uint32_t code = NeedIndex()) return code;
  if (uint32_t code = TakeKey(aDirectKey, aKeyData, stcKeyBuffer)) return code;
  const bool backward =
      aSearchAction == skaEqualLast || aSearchAction == skaSmallerEqual || aSearchAction == skaSmaller;
  const bool mustMatch = aSearchAction == skaEqualFirst || aSearchAction == skaEqualLast;
  return Shared([&]() -> uint32_t {
    const bool found = stcIndexEngine->FindKey(stcTrans(), stcKeyBuffer, aFieldCount, aPartialLen, 0, stcIndexPath,
                                               aSearchAction, ActiveKeyFilter()) != 0;
    if (found) {
      stcPutPathInRange();
      if (stcIndexPath->IsOnKey()) {
        if (backward)
          stcIndexPath->SetToCrackAfter();
        else
          stcIndexPath->SetToCrackBefore();
        return 0;
      }
      return mustMatch ? Code(MVERR_RECNOTFOUND) : 0;
    }
    if (backward)
      stcIndexPath->SetToBof();
    else
      stcIndexPath->SetToEof();
    return mustMatch ? Code(MVERR_RECNOTFOUND) : 0;
  });
}

uint32_t TmvServerTableCursor::sbcSetToBookmark(const void* aBookmark, uint32_t aSize, bool aIsCache) {
  if (!stcIndexPath) return Code(MVERR_NOCURRREC);
  if (int32_t code = stcIndexPath->SetToBookmark(static_cast<const uint8_t*>(aBookmark), aSize, aIsCache))
    return uint32_t(code);
  stcPutPathInRange();
  return 0;
}

uint32_t TmvServerTableCursor::sbcGetBookmarkSize(uint32_t& aSize) {
  aSize = stcIndexPath ? stcIndexPath->BookmarkSize() : 24;
  return 0;
}

uint32_t TmvServerTableCursor::sbcGetBookmark(void* aBookmark, uint32_t aSize) {
  if (!stcIndexPath) return Code(MVERR_NOCURRREC);
  return uint32_t(stcIndexPath->GetBookmark(static_cast<uint8_t*>(aBookmark), aSize, false));
}

uint32_t TmvServerTableCursor::sbcGetBookmarkCache(void* aBookmark, uint32_t aSize) {
  if (!IsCache() || !stcIndexPath) return TmvServerBaseCursor::sbcGetBookmarkCache(aBookmark, aSize);
  return uint32_t(stcIndexPath->GetBookmark(static_cast<uint8_t*>(aBookmark), aSize, true));
}

uint32_t TmvServerTableCursor::sbcCompareBookmarks(const void* aBookmark1, const void* aBookmark2, uint32_t aSize,
                                                   int32_t& aCompResult) {
  if (!stcIndexPath) return Code(MVERR_NOCURRREC);
  return uint32_t(stcIndexPath->CompareBookmarks(static_cast<const uint8_t*>(aBookmark1),
                                                 static_cast<const uint8_t*>(aBookmark2), aSize, aCompResult));
}

uint32_t TmvServerTableCursor::sbcBookmarkAsVariant(const void* aBookmark, uint32_t aSize, Variant& aVariant) {
  if (!stcIndexPath) return Code(MVERR_NOCURRREC);
  return uint32_t(stcIndexPath->BookmarkAsVariant(static_cast<const uint8_t*>(aBookmark), aSize, aVariant));
}

uint32_t TmvServerTableCursor::sbcSetToCursor(TmvAbstractCursor* aCursor) {
  auto* other = dynamic_cast<TmvServerTableCursor*>(aCursor);
  if (!other) return Code(MVERR_INVALIDHNDL);
  if (other->stcTable != stcTable) return Code(MVERR_DIFFERENTTABLES);
  if (other->Session() != Session()) return Code(MVERR_DIFFERENTSESSIONS);
  try {
    if (other->stcIndexEngine == stcIndexEngine) {
      stcIndexPath->Assign(other->stcIndexPath);
    } else {
      if (uint32_t code = other->stcReadPathRecord(sbcRecordBuffer)) return code;
      if (uint32_t code = PlacePath(stcIndexPath, sbcRecordBuffer, other->stcIndexPath->RefNr)) return code;
    }
    stcPutPathInRange();
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerTableCursor::sbcSetToFilter(TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter,
                                              bool aForward) {
  if (sbcIsWriteOnly) return sbcWriteOnlyResult ? sbcWriteOnlyError() : Code(MVERR_NOCURRREC);
  TmvSetToFilterCookie cookie{aFilter, aKeyFilter};
  return Shared([&]() -> uint32_t {
    TmvBaseTransaction* trans = stcTrans();
    uint8_t* data = static_cast<uint8_t*>(sbcRecordBuffer);
    if (!stcIndexEngine || IsRefKeyEngine(KeyEngine())) {
      stcIndexPath->RefNr = 0;
      TmvRefNr refNr = 0;
      TmvBaseRecordEngine* records = stcTable->RecordEngine();
      if (aForward)
        records->Iterate(trans, refNr, data, &TmvServerBaseCursor::sbcSetToFilterRecIterator, &cookie,
                         ActiveFilter(), false, false);
      else
        records->IterateBackward(trans, refNr, data, &TmvServerBaseCursor::sbcSetToFilterRecIterator, &cookie,
                                 ActiveFilter(), false, false);
      if (refNr == 0) {
        stcIndexPath->SetToEof();
      } else if (stcIndexEngine) {
        if (uint32_t code = PlacePath(stcIndexPath, sbcRecordBuffer, refNr)) return code;
        stcPutPathInRange();
      } else {
        stcIndexPath->SetToRecord(sbcRecordBuffer, refNr);
      }
    } else if (aForward) {
      stcIndexEngine->Iterate(trans, stcIndexPath, data, &TmvServerBaseCursor::sbcSetToFilterKeyIterator,
                              &TmvServerBaseCursor::sbcSetToFilterRecIterator, &cookie, stcRangeStart, stcRangeEnd,
                              ActiveFilter(), ActiveKeyFilter(), false);
    } else {
      stcIndexEngine->IterateBackward(trans, stcIndexPath, data, &TmvServerBaseCursor::sbcSetToFilterKeyIterator,
                                      &TmvServerBaseCursor::sbcSetToFilterRecIterator, &cookie, stcRangeStart,
                                      stcRangeEnd, ActiveFilter(), ActiveKeyFilter(), false);
    }
    return stcIndexPath->IsOnKey() ? 0 : Code(MVERR_NOCURRREC);
  });
}

uint32_t TmvServerTableCursor::sbcRecNoGet(int32_t& aRecNo, bool aFlipOrder) {
  aRecNo = 0;
  TmvBaseTransaction* trans = stcTrans();
  if (stcIndexEngine)
    return uint32_t(stcIndexEngine->RecNoGet(trans, stcIndexPath, stcRangeStart, stcRangeEnd, ActiveFilter(),
                                             ActiveKeyFilter(), aRecNo, aFlipOrder));
  return uint32_t(stcTable->RecordEngine()->RecNoGet(trans, stcIndexPath->RefNr, ActiveFilter(), aRecNo, aFlipOrder));
}

uint32_t TmvServerTableCursor::sbcRecNoSet(int32_t aRecNo, bool aFlipOrder) {
  TmvBaseTransaction* trans = stcTrans();
  if (stcIndexEngine)
    return uint32_t(stcIndexEngine->RecNoSet(trans, aRecNo, stcIndexPath, stcRangeStart, stcRangeEnd, ActiveFilter(),
                                             ActiveKeyFilter(), aFlipOrder));
  TmvRefNr refNr = 0;
  const int32_t code = stcTable->RecordEngine()->RecNoSet(trans, aRecNo, refNr, ActiveFilter(), aFlipOrder);
  if (code == 0)
    stcIndexPath->SetToRecord(sbcRecordBuffer, refNr);
  else if (code == MVERR_BOF)
    stcIndexPath->SetToBof();
  else if (code == MVERR_EOF)
    stcIndexPath->SetToEof();
  return uint32_t(code);
}

uint32_t TmvServerTableCursor::SavePath() {
  if (!stcIndexPath) return Code(MVERR_NOCURRREC);
  if (!stcSavePath) stcSavePath = std::exchange(stcTempPath, nullptr);
  if (stcSavePath)
    stcSavePath->Assign(stcIndexPath);
  else
    stcSavePath = stcIndexPath->Duplicate();
  return 0;
}

uint32_t TmvServerTableCursor::RestorePath() {
  if (!stcSavePath) return Code(MVERR_NOCURRREC);
  FreePath(stcTempPath);
  stcTempPath = std::exchange(stcIndexPath, std::exchange(stcSavePath, nullptr));
  return 0;
}

TmvRefNr TmvServerTableCursor::sacGetRefNr() { return stcIndexPath ? stcIndexPath->RefNr : 0; }

void TmvServerTableCursor::sacSetRefNr(TmvRefNr aRefNr) {
  if (!stcIndexPath) return;
  stcIndexPath->RefNr = aRefNr;
  stcIndexPath->Deleted = false;
  stcIndexPath->Position = ippOnKey;
  if (!stcIndexPath->bipIndexEngine) return;
  // Without its key the path is found again through the record.
  stcIndexPath->KeyValid = false;
}

uint32_t TmvServerTableCursor::sacGetRecordByID(TmvRefNr aRefNr, void* aRecordBuffer) {
  try {
    stcTable->RecordEngine()->ReadRecord(stcTrans(), aRefNr, static_cast<uint8_t*>(aRecordBuffer));
    return PlacePath(stcIndexPath, aRecordBuffer, aRefNr);
  } catch (...) {
    return asoConvertException();
  }
}

bool TmvServerTableCursor::sacHasKey(int32_t aIndex, const Variant& aValue) {
  if (!stcIndexEngine) return false;
  try {
    SetFieldAsVariantSelf(sbcRecordBuffer, aIndex, aValue);
  } catch (...) {
    asoConvertException();
    return false;
  }
  if (KeyEngine()->BuildKey(sbcRecordBuffer, stcKeyBuffer, 0, true) != 0) return false;
  bool found = false;
  Shared([&]() -> uint32_t {
    found = stcIndexEngine->FindKey(stcTrans(), stcKeyBuffer, 1, 0, 0, stcIndexPath, skaAnyEqual, nullptr) != 0;
    return 0;
  });
  return found;
}

uint32_t TmvServerTableCursor::sbcDuplicate(TmvOpenMode aOpenMode, TmvAbstractCursor*& aNewCursor, bool aForceWrite) {
  aNewCursor = nullptr;
  TmvAbstractCursor* created = nullptr;
  try {
    auto* database = dynamic_cast<TmvServerDatabase*>(acDatabase);
    if (!database) return Code(MVERR_INVALIDHNDL);
    if (sbcOpenMode == omReadOnly && !aForceWrite) aOpenMode = omReadOnly;
    int32_t index = -1;
    sbcGetIndexID(index);
    if (uint32_t code = database->sdCursorOpen(created, stcTable->FullName(), Root()->ExtractPassword(),
                                               Root()->ForServer(), aOpenMode, smShared, true, GetTimeout(),
                                               String(), index, false, IsCache()))
      return code;
    auto* copy = dynamic_cast<TmvServerTableCursor*>(created);
    if (!copy) throw EmvServerEngineException(MVERR_INVALIDHNDL);
    if (copy->stcIndexEngine != stcIndexEngine)
      if (uint32_t code = copy->sbcSwitchToIndex(String(), index, porFalse)) throw EmvServerEngineException(int64_t(code));
    copy->stcIndexPath->Assign(stcIndexPath);
    for (const auto& [from, to] : {std::pair{&stcRangeStart, &copy->stcRangeStart},
                                   std::pair{&stcRangeEnd, &copy->stcRangeEnd}}) {
      if (from->riKey && to->riKey) KeyEngine()->CopyKey(from->riKey, to->riKey);
      to->riFieldCount = from->riFieldCount;
      to->riPartitial = from->riPartitial;
      to->riExclusive = from->riExclusive;
      to->riValid = from->riValid;
    }
    if (sbcFilter) {
      TmvFilterID id = 0;
      TmvBaseFilterEngine* filter = sbcFilter->Duplicate(copy);
      filter->SetActive(false);
      copy->sbcFilterAddCustom(filter, id, false);
    }
    aNewCursor = created;
    return 0;
  } catch (...) {
    const uint32_t code = asoConvertException();
    TmvAbstractServerObject::Free(created);
    return code;
  }
}

// ---------------------------------------------------------------------------
// Not built yet: copying and deleting all records, passwords, BLOBs

uint32_t TmvServerTableCursor::NotYet(const char16_t* aOperation) { return NotSupported(aOperation); }

uint32_t TmvServerTableCursor::sbcCopyRecords(TmvAbstractCursor*, TmvBlobCopyMode, uint32_t, bool) {
  return NotYet(u"sbcCopyRecords");
}
uint32_t TmvServerTableCursor::sbcDeleteRecords() { return NotYet(u"sbcDeleteRecords"); }
uint32_t TmvServerTableCursor::sbcChangePassword(const String&) { return NotYet(u"sbcChangePassword"); }
