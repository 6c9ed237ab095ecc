// Server engine: the in-process cursor's frame around every public
// operation. See mvsrServerBaseCursor.h.
#include "server/mvsrServerBaseCursor.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "dictionary/filters/mvsdDefaultValueEngines.h"
#include "dictionary/filters/mvsdValidationEngine.h"
#include "dictionary/mvsdDataDictionary.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllExceptions.h"
#include "platform/Numeric.h"
#include "platform/SyncObjs.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/mvsrTypes.h"
#include "storage/transactions/mvsrTransaction.h"

constinit const ClassRef TmvServerBaseCursor::StaticClass{u"TmvServerBaseCursor", &TmvSqlAbstractCursor::StaticClass};

bool& mvThreadRecoveryFlag() {
  thread_local bool recovering = false;
  return recovering;
}

// ---------------------------------------------------------------------------
// Filter handles

uint32_t TmvFilterHandles::Add(TmvBaseFilterEngine* aEngine) {
  if (fhNext == 0) fhNext = 1;
  const uint32_t handle = fhNext++;
  fhItems.emplace_back(handle, aEngine);
  return handle;
}

TmvBaseFilterEngine* TmvFilterHandles::Find(uint32_t aHandle) const {
  for (const auto& [handle, engine] : fhItems)
    if (handle == aHandle) return engine;
  return nullptr;
}

void TmvFilterHandles::Forget(uint32_t aHandle) {
  std::erase_if(fhItems, [&](const auto& item) { return item.first == aHandle; });
}

namespace {

constexpr TmvInsertOptions InsertOption(TmvInsertOption aOption) { return TmvInsertOptions(1u << aOption); }
constexpr TmvRecordGetBatchExOptions BatchOption(TmvRecordGetBatchExOption aOption) {
  return TmvRecordGetBatchExOptions(1u << aOption);
}

uint32_t InvalidFilterHandle() { return EmvBaseException::mvSetMessage(MVERR_INVALIDFILTERHANDLE, String()); }

// A code with the code's own text as the thread's last converted message.
uint32_t Code(int32_t aCode) { return EmvBaseException::mvSetMessage(aCode, String()); }

// The insert options the cursor options set, by name.
struct InsertOptionName {
  const char16_t* Name;
  TmvInsertOption Option;
};
constexpr InsertOptionName kInsertOptionNames[] = {
    {u"INSERT_OPTIONS_SETDEFAULT", ioSetDefault},
    {u"INSERT_OPTIONS_SETAUTOINC", ioSetAutoInc},
    {u"INSERT_OPTIONS_VALIDATE", ioValidate},
    {u"INSERT_OPTIONS_MODIFYIFFOUND", ioModifyIfFound},
};

constexpr const char16_t* kOpenModeNames[] = {u"omReadOnly", u"omWriteOnly", u"omReadWrite", u"omNone"};

// The time base of the filter timeout: the tick count the operation
// deadlines are counted in.
uint64_t TickNow() { return GetTickCount64(); }

// The thread's operation deadline, 0 when it has none.
uint64_t OperationDeadline() {
  const uint64_t deadline = mvGetOperationDeadline();
  return deadline == mvNoDeadline ? 0 : deadline;
}

// The batch header's room: reserved before the entries, rewritten at the
// end.
void ReserveHeader(TmvMemoryStream& aStream) {
  aStream.SetSize(mvBatchHeaderSize);
  mvBatchWriteHeader(aStream, 0, 0);
  aStream.SetPosition(mvBatchHeaderSize);
}

}  // namespace

// ---------------------------------------------------------------------------
// Creation and destruction

TmvServerBaseCursor::TmvServerBaseCursor(TmvAbstractDatabase* aDatabase, uint32_t aTimeout, TmvOpenMode aOpenMode)
    : TmvSqlAbstractCursor(aDatabase, aTimeout),
      sbcTransContext(aDatabase->TransContext()),
      sbcOpenMode(aOpenMode),
      sbcIsReadOnly(aOpenMode == omReadOnly),
      sbcLockFailureReason(new TmvLockFailureReason()),
      sbcInsertOptions(InsertOption(ioSetDefault) | InsertOption(ioSetAutoInc) | InsertOption(ioValidate)) {}

TmvServerBaseCursor::~TmvServerBaseCursor() {
  ReleaseFilters();
  delete sbcDefaultValueHandler;
  delete sbcValidationsHandler;
  delete sbcDefaultValueHandlerClient;
  delete sbcLockFailureReason;
}

void TmvServerBaseCursor::AfterConstruction() {
  if (!mvThreadRecoveryFlag() && !IsCache()) {
    TmvFieldsDescriptor* fields = FieldsDescriptor();
    sbcDefaultValueHandler = TmvDefaultValueHandler::CreateFor(fields, aaServer, this);
    sbcValidationsHandler = TmvValidationsHandler::CreateFor(fields, aaServer, this);
  }
  if (!acSFI) acLoadFieldsInfo();
  if (!acSFI->sfiBlobFields.empty()) acCapabilities |= uint8_t(1u << accCancelBlobs);
  TmvSqlAbstractCursor::AfterConstruction();
  TmvDataDictionary* dictionary = Get_Dictionary();
  if (!sbcIsReadOnly && dictionary && dictionary->GetVersion() < 2) {
    sbcIsReadOnly = true;
    sbcReadOnlyResult = MVERR_HIGHERTABLELEVEL;
    sbcReadOnlyResultMessage = u"Table format outdated. Table must be packed to enable write access";
  }
  sbcSetToBegin();
}

void TmvServerBaseCursor::ReleaseFilters() {
  delete sbcFilter;
  sbcFilter = nullptr;
  sbcFilterHandles.Clear();
  delete sbcKeyFilter;
  sbcKeyFilter = nullptr;
  sbcKeyFilterHandles.Clear();
}

void TmvServerBaseCursor::PrepareDestroy() {
  if (TmvAbstractTaskInfo* task = std::exchange(sbcTaskInfo, nullptr)) {
    try {
      TmvAbstractServerObject::Free(task);
    } catch (...) {
      mvServerLogCurrentException(u"Freeing the record count attached to a cursor");
    }
  }
  ReleaseFilters();
  delete std::exchange(sbcDefaultValueHandler, nullptr);
  delete std::exchange(sbcValidationsHandler, nullptr);
  TmvSqlAbstractCursor::PrepareDestroy();
}

bool TmvServerBaseCursor::esoReportToMonitors() {
  return !mvThreadRecoveryFlag() && TmvSqlAbstractCursor::esoReportToMonitors();
}

void TmvServerBaseCursor::esoOptionChanged(const String& aName, const String& aValue) {
  TmvSqlAbstractCursor::esoOptionChanged(aName, aValue);
  for (const InsertOptionName& option : kInsertOptionNames) {
    if (!SameClassName(aName, option.Name)) continue;
    if (SameClassName(aValue, u"True"))
      sbcInsertOptions |= InsertOption(option.Option);
    else
      sbcInsertOptions &= TmvInsertOptions(~InsertOption(option.Option));
  }
}

void TmvServerBaseCursor::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvSqlAbstractCursor::WriteObjectInfo(aContainer);
  aContainer->AddString(u"OpenMode", kOpenModeNames[std::min<int>(sbcOpenMode, omNone)]);
  aContainer->AddBoolean(u"IsReadOnly", sbcIsReadOnly);
  aContainer->AddBoolean(u"IsWriteOnly", sbcIsWriteOnly);
  aContainer->AddBoolean(u"IsResultSet", IsResultSet);
  aContainer->AddBoolean(u"IsUnnamed", IsUnnamed);
  aContainer->AddBoolean(u"UseNestedTransaction", sbcUseNestedTransaction);
  aContainer->AddObject(u"Filter", sbcFilter, false);
  aContainer->AddObject(u"KeyFilter", sbcKeyFilter, false);
}

bool TmvServerBaseCursor::IsSystemTable() {
  const String name = FullName();
  return !name.empty() && name[0] == u'$';
}

// ---------------------------------------------------------------------------
// Results of refused calls

uint32_t TmvServerBaseCursor::sbcReadOnlyError() {
  return EmvBaseException::mvSetMessage(sbcReadOnlyResult, sbcReadOnlyResultMessage);
}

uint32_t TmvServerBaseCursor::sbcWriteOnlyError() {
  return EmvBaseException::mvSetMessage(sbcWriteOnlyResult, sbcWriteOnlyResultMessage);
}

uint32_t TmvServerBaseCursor::sbcLockFailureError(uint32_t aErrorCode) {
  String text = mvOriginalMessageMarker();
  const bool sameSession = sbcLockFailureReason->SameSession;
  if (sbcLockFailureReason->Count() > 0) {
    text += u"\r\r";
    for (int32_t i = 0; i < sbcLockFailureReason->Count(); ++i) {
      if (i > 0) text += u"\r\n";
      text += sbcLockFailureReason->Get(i);
    }
  }
  sbcLockFailureReason->Clear();
  if (sameSession) aErrorCode = MVERR_SESSIONLOCKCONFLICT;
  const String fullName = FullName();
  text += u"\r\rTableName: " + fullName + mvMakeCustomInfoTag(u"TableName", fullName);
  return EmvBaseException::mvSetMessage(aErrorCode, text);
}

// ---------------------------------------------------------------------------
// Positioning and bookmarks

uint32_t TmvServerBaseCursor::SetToBegin() {
  return atoLockedCall([&] {
    sbcSetToBegin();
    return 0u;
  });
}

uint32_t TmvServerBaseCursor::SetToEnd() {
  return atoLockedCall([&] {
    sbcSetToEnd();
    return 0u;
  });
}

uint32_t TmvServerBaseCursor::SetToCursor(TmvAbstractCursor* aCursor) {
  if (aCursor == this) return 0;
  return atoLockedCall([&] { return sbcSetToCursor(aCursor); });
}

uint32_t TmvServerBaseCursor::SetToFilter(TmvBaseFilterDescriptor* aFilter, TmvBaseFilterDescriptor* aKeyFilter,
                                          bool aForward) {
  return PassThroughCall([&] {
    std::unique_ptr<TmvBaseFilterEngine> filter, keyFilter;
    if (aFilter) {
      filter.reset(TmvBaseFilterEngine::CreateFor(aFilter, this));
      filter->SetActive(true);
    }
    if (aKeyFilter) {
      keyFilter.reset(TmvBaseFilterEngine::CreateFor(aKeyFilter, sbcGetKeyFieldsSource()));
      keyFilter->SetActive(true);
    }
    return sbcSetToFilter(filter.get(), keyFilter.get(), aForward);
  });
}

uint32_t TmvServerBaseCursor::GetBookmark(void* aBookmark, uint32_t aSize) {
  return atoLockedCall([&] { return sbcGetBookmark(aBookmark, aSize); });
}

uint32_t TmvServerBaseCursor::GetBookmarkCache(void* aBookmark, uint32_t aSize) {
  return atoLockedCall([&] { return sbcGetBookmarkCache(aBookmark, aSize); });
}

uint32_t TmvServerBaseCursor::CompareBookmarks(const void* aBookmark1, const void* aBookmark2, uint32_t aSize,
                                               int32_t& aCompResult) {
  return atoLockedCall([&] { return sbcCompareBookmarks(aBookmark1, aBookmark2, aSize, aCompResult); });
}

uint32_t TmvServerBaseCursor::SetToBookmark(const void* aBookmark, uint32_t aSize) {
  return atoLockedCall([&] { return sbcSetToBookmark(aBookmark, aSize, false); });
}

uint32_t TmvServerBaseCursor::SetToCacheBookmark(const void* aBookmark, uint32_t aSize) {
  return atoLockedCall([&] { return sbcSetToBookmark(aBookmark, aSize, true); });
}

uint32_t TmvServerBaseCursor::BookmarkAsVariant(const void* aBookmark, uint32_t aSize, Variant& aVariant) {
  aVariant.Clear();
  return atoLockedCall([&] { return sbcBookmarkAsVariant(aBookmark, aSize, aVariant); });
}

uint32_t TmvServerBaseCursor::sbcGetBookmarkCache(void*, uint32_t) { return NotSupported(u"sbcGetBookmarkCache"); }

uint32_t TmvServerBaseCursor::RecNoSupported() { return 0; }


uint32_t TmvServerBaseCursor::RecNoGet(int32_t& aRecNo, bool aFlipOrder) {
  return atoLockedCall([&] { return UnderSharedContentLock([&] { return sbcRecNoGet(aRecNo, aFlipOrder); }); });
}

uint32_t TmvServerBaseCursor::RecNoSet(int32_t aRecNo, bool aFlipOrder) {
  return atoLockedCall([&] { return UnderSharedContentLock([&] { return sbcRecNoSet(aRecNo, aFlipOrder); }); });
}

// ---------------------------------------------------------------------------
// Records

uint32_t TmvServerBaseCursor::RecordGet(TmvLockType aLockType, void* aData) {
  return PassThroughCall([&] { return sbcRecordGet(aLockType, aData); });
}

uint32_t TmvServerBaseCursor::RecordGetNext(TmvLockType aLockType, void* aData) {
  return PassThroughCall([&] { return sbcRecordGetNext(aLockType, aData); });
}

uint32_t TmvServerBaseCursor::RecordGetPrior(TmvLockType aLockType, void* aData) {
  return PassThroughCall([&] { return sbcRecordGetPrior(aLockType, aData); });
}

uint32_t TmvServerBaseCursor::RecordInsert(TmvLockType aLockType, void* aData, int64_t* aAutoInc) {
  return PassThroughCall([&] { return sbcRecordInsert(aLockType, sbcInsertOptions, aData, aAutoInc); });
}

uint32_t TmvServerBaseCursor::RecordModify(void* aData, bool aReleaseLock, const TmvRecordDiff* aDataDiff) {
  return PassThroughCall([&] { return sbcRecordModify(aData, aReleaseLock, aDataDiff); });
}

uint32_t TmvServerBaseCursor::RecordDelete(void* aData, TmvLSN aLSN) {
  return PassThroughCall([&] { return sbcRecordDelete(aData, aLSN); });
}

uint32_t TmvServerBaseCursor::RecordIsLocked(TmvLockType aLockType, TmvLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  return atoLockedCall([&] { return sbcRecordIsLocked(aLockType, aLockPresent); });
}

uint32_t TmvServerBaseCursor::RecordLockRelease(bool aAllLocks, bool aCancelBlobs) {
  return atoLockedCall([&] { return sbcRecordLockRelease(aAllLocks, aCancelBlobs); });
}

uint32_t TmvServerBaseCursor::AutoIncGet(uint32_t& aValue, bool) {
  return atoLockedCall([&] {
    return UnderSharedContentLock([&] {
      aValue = sbcAutoIncGet();
      return 0u;
    });
  });
}

uint32_t TmvServerBaseCursor::AutoIncSet(uint32_t aValue) {
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return atoLockedCall([&] { return sbcAutoIncSet(aValue); });
}

// ---------------------------------------------------------------------------
// Filters

void TmvServerBaseCursor::AddEngine(TmvBaseFilterEngine*& aFilter, TmvFilterHandles& aHandles,
                                    TmvBaseFilterEngine* aEngine, uint32_t& aFilterID) {
  if (!aFilter) {
    aFilter = aEngine;
  } else if (auto* hub = dynamic_cast<TmvFilterEngineHub*>(aFilter)) {
    hub->AddFilter(aEngine);  // owns it from here, also when this fails
  } else {
    // The hub owns both engines from its construction on, also when that
    // fails: the filter is then gone with it.
    TmvBaseFilterEngine* alone = std::exchange(aFilter, nullptr);
    try {
      aFilter = new TmvFilterEngineHub(alone, aEngine);
    } catch (...) {
      aHandles.Clear();
      throw;
    }
  }
  aFilterID = aHandles.Add(aEngine);
}

void TmvServerBaseCursor::sbcFilterAddCustom(TmvBaseFilterEngine* aFilter, TmvFilterID& aFilterID, bool aActivated) {
  AddEngine(sbcFilter, sbcFilterHandles, aFilter, aFilterID);
  if (aActivated) aFilter->SetActive(true);
}

void TmvServerBaseCursor::sbcKeyFilterAddCustomEngine(TmvBaseFilterEngine* aKeyFilter, TmvKeyFilterID& aKeyFilterID) {
  AddEngine(sbcKeyFilter, sbcKeyFilterHandles, aKeyFilter, aKeyFilterID);
}

uint32_t TmvServerBaseCursor::sbcKeyFilterAddCustom(TmvBaseFilterDescriptor* aKeyFilter, TmvKeyFilterID& aKeyFilterID) {
  sbcKeyFilterAddCustomEngine(TmvBaseFilterEngine::CreateFor(aKeyFilter, sbcGetKeyFieldsSource()), aKeyFilterID);
  return 0;
}

uint32_t TmvServerBaseCursor::SwitchFilter(TmvBaseFilterEngine* aFilter, const TmvFilterHandles& aHandles,
                                           uint32_t aFilterID, bool aActive) {
  if (!aFilter) return InvalidFilterHandle();
  TmvBaseFilterEngine* engine = nullptr;
  if (aFilterID != 0 && !(engine = aHandles.Find(aFilterID))) return InvalidFilterHandle();
  return aActive ? aFilter->ActivateFilter(engine) : aFilter->DeactivateFilter(engine);
}

uint32_t TmvServerBaseCursor::RemoveFilter(TmvBaseFilterEngine*& aFilter, TmvFilterHandles& aHandles,
                                           uint32_t aFilterID) {
  if (aFilterID == 0) {
    delete std::exchange(aFilter, nullptr);
    aHandles.Clear();
    return 0;
  }
  if (!aFilter) return InvalidFilterHandle();
  TmvBaseFilterEngine* engine = aHandles.Find(aFilterID);
  if (!engine) return InvalidFilterHandle();
  const uint32_t result = aFilter->RemoveFilter(engine, aFilter);
  if (result == 0) aHandles.Forget(aFilterID);
  return result;
}

uint32_t TmvServerBaseCursor::FilterAddCustom(TmvBaseFilterDescriptor* aFilter, TmvFilterID& aFilterID,
                                              bool aActivated) {
  return atoLockedCall([&] {
    sbcFilterAddCustom(TmvBaseFilterEngine::CreateFor(aFilter, this), aFilterID, aActivated);
    return 0u;
  });
}

uint32_t TmvServerBaseCursor::FilterReplaceCustom(TmvBaseFilterDescriptor* aFilter, TmvFilterID& aFilterID,
                                                  bool aActivated, bool aIgnoreDropError) {
  return atoLockedCall([&] {
    std::unique_ptr<TmvBaseFilterEngine> engine(TmvBaseFilterEngine::CreateFor(aFilter, this));
    uint32_t result = RemoveFilter(sbcFilter, sbcFilterHandles, aFilterID);
    if (aIgnoreDropError) result = 0;
    if (result != 0) return result;  // the new engine goes with its holder
    aFilterID = 0;
    sbcFilterAddCustom(engine.release(), aFilterID, aActivated);
    return 0u;
  });
}

uint32_t TmvServerBaseCursor::FilterSetTimeout(uint32_t aTimeout) {
  if (atoLock) atoLock->Lock();
  sbcFilterTimeout = aTimeout;
  uint32_t result = 0;
  if (atoLock) atoLock->Unlock(result);
  return result;
}

uint32_t TmvServerBaseCursor::FilterActivate(TmvFilterID aFilterID) {
  return atoLockedCall([&] { return SwitchFilter(sbcFilter, sbcFilterHandles, aFilterID, true); });
}

uint32_t TmvServerBaseCursor::FilterDeactivate(TmvFilterID aFilterID) {
  return atoLockedCall([&] { return SwitchFilter(sbcFilter, sbcFilterHandles, aFilterID, false); });
}

uint32_t TmvServerBaseCursor::FilterRemove(TmvFilterID aFilterID) {
  return atoLockedCall([&] { return RemoveFilter(sbcFilter, sbcFilterHandles, aFilterID); });
}

uint32_t TmvServerBaseCursor::KeyFilterAddCustom(TmvBaseFilterDescriptor* aKeyFilter, TmvKeyFilterID& aKeyFilterID) {
  return atoLockedCall([&] { return sbcKeyFilterAddCustom(aKeyFilter, aKeyFilterID); });
}

uint32_t TmvServerBaseCursor::KeyFilterActivate(TmvKeyFilterID aKeyFilterID) {
  return atoLockedCall([&] { return SwitchFilter(sbcKeyFilter, sbcKeyFilterHandles, aKeyFilterID, true); });
}

uint32_t TmvServerBaseCursor::KeyFilterDeactivate(TmvKeyFilterID aKeyFilterID) {
  return atoLockedCall([&] { return sbcKeyFilterDeactivate(aKeyFilterID); });
}

uint32_t TmvServerBaseCursor::sbcKeyFilterDeactivate(TmvKeyFilterID aKeyFilterID) {
  return SwitchFilter(sbcKeyFilter, sbcKeyFilterHandles, aKeyFilterID, false);
}

uint32_t TmvServerBaseCursor::KeyFilterRemove(TmvKeyFilterID aKeyFilterID) {
  return atoLockedCall([&] { return RemoveFilter(sbcKeyFilter, sbcKeyFilterHandles, aKeyFilterID); });
}

// ---------------------------------------------------------------------------
// The filter timeout

void TmvServerBaseCursor::sbcFilterBeginTimeout(uint32_t* aResult) {
  sbcFilterUntil = 0;
  if (sbcFilterTimeout != 0) {
    sbcFilterUntil = TickNow() + sbcFilterTimeout;
    const uint64_t deadline = OperationDeadline();
    if (deadline != 0 && deadline < sbcFilterUntil) sbcFilterUntil = deadline;
  }
  if (!sbcKeyFilter) return;
  if (sbcFilterUntil != 0 && aResult) {
    sbcKeyFilter->kfCheckTimeOut = [this](uint32_t& aCode) { return sbcFilterCheckTimeout(aCode); };
    sbcKeyFilter->kfResult = aResult;
  } else {
    sbcKeyFilter->kfCheckTimeOut = nullptr;
    sbcKeyFilter->kfResult = nullptr;
  }
}

bool TmvServerBaseCursor::sbcFilterCheckTimeout(uint32_t& aResult) {
  const uint64_t now = TickNow();
  const uint64_t deadline = OperationDeadline();
  const bool deadlinePassed = deadline != 0 && now > deadline;
  if (sbcFilterTimeoutLock <= 0 && sbcFilterUntil != 0 && now > sbcFilterUntil) {
    aResult = Code(MVERR_FILTERTIMEOUT);
    return true;
  }
  if (!deadlinePassed) return false;
  aResult = Code(MVERR_OPERATIONTIMEOUT);
  return true;
}

void TmvServerBaseCursor::sbcFilterEndTimeout() {
  sbcFilterUntil = 0;
  if (!sbcKeyFilter) return;
  sbcKeyFilter->kfCheckTimeOut = nullptr;
  sbcKeyFilter->kfResult = nullptr;
}

TmvKeyIteratorResult TmvServerBaseCursor::sbcSetToFilterKeyIterator(void* aCookie, TmvRefNr, const uint8_t* aKey) {
  const auto* cookie = static_cast<const TmvSetToFilterCookie*>(aCookie);
  return cookie->KeyFilter && !cookie->KeyFilter->MatchesBuffer(aKey) ? kirSkipKey : kirContinue;
}

TmvRecordIteratorResult TmvServerBaseCursor::sbcSetToFilterRecIterator(void* aCookie, TmvRefNr,
                                                                       const uint8_t* aRecord) {
  const auto* cookie = static_cast<const TmvSetToFilterCookie*>(aCookie);
  return !cookie->Filter || cookie->Filter->MatchesBuffer(aRecord) ? rirStop : rirContinue;
}

// ---------------------------------------------------------------------------
// Indexes, keys and ranges

uint32_t TmvServerBaseCursor::SwitchToIndex(const String& aIndexName, int32_t aIndexID, TmvPosnOnRec aPosnOnRec) {
  return PassThroughCall([&] { return sbcSwitchToIndex(aIndexName, aIndexID, aPosnOnRec); });
}

uint32_t TmvServerBaseCursor::GetIndexID(int32_t& aIndexID) {
  return atoLockedCall([&] { return sbcGetIndexID(aIndexID); });
}

uint32_t TmvServerBaseCursor::SetToKey(TmvSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen,
                                       bool aDirectKey, const void* aKeyData) {
  return atoLockedCall([&] { return sbcSetToKey(aSearchAction, aFieldCount, aPartialLen, aDirectKey, aKeyData); });
}

uint32_t TmvServerBaseCursor::RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                                              const void* aKeyData, void* aData, bool aMatchFirst, bool aFirstCall) {
  if (sbcIsWriteOnly) return sbcWriteOnlyError();
  return atoLockedCall([&] {
    return sbcRecordGetForKey(aFieldCount, aPartialLen, aDirectKey, aKeyData, aData, aMatchFirst, aFirstCall);
  });
}

uint32_t TmvServerBaseCursor::RecordGetForKeyBatch(uint32_t aCutoffSize, TmvRecordGetBatchExOptions aOptions,
                                                   TmvBatchStreamAccess*& aAccess, const TmvDataSetKeyBuffers& aKeys,
                                                   bool aMatchFirst, bool aFirstCall) {
  if (sbcIsWriteOnly) return sbcWriteOnlyError();
  return atoLockedCall(
      [&] { return sbcRecordGetForKeyBatch(aCutoffSize, aOptions, aAccess, aKeys, aMatchFirst, aFirstCall); });
}

uint32_t TmvServerBaseCursor::RangeReset() {
  return atoLockedCall([&] {
    sbcRangeReset();
    return 0u;
  });
}

uint32_t TmvServerBaseCursor::RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1,
                                       const void* aKeyData1, bool aKeyIncl1, int32_t aFieldCount2,
                                       int32_t aPartialLen2, bool aDirectKey2, const void* aKeyData2, bool aKeyIncl2) {
  return atoLockedCall([&] {
    uint32_t result;
    try {
      result = sbcRangeSet(aFieldCount1, aPartialLen1, aDirectKey1, aKeyData1, aKeyIncl1, aFieldCount2, aPartialLen2,
                           aDirectKey2, aKeyData2, aKeyIncl2);
    } catch (...) {
      sbcRangeReset();
      throw;
    }
    if (result != 0) sbcRangeReset();
    return result;
  });
}

uint32_t TmvServerBaseCursor::CompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1,
                                          const void* aKeyData1, bool aDirectKey2, const void* aKeyData2,
                                          int32_t& aResult) {
  return atoLockedCall([&] {
    return sbcCompareKeys(aFieldCount, aPartialLen, aDirectKey1, aKeyData1, aDirectKey2, aKeyData2, aResult);
  });
}

// ---------------------------------------------------------------------------
// Batches and bulk operations

uint32_t TmvServerBaseCursor::RecordGetBatch(uint32_t aCutoffSize, TmvRecordGetBatchExOptions aOptions,
                                             TmvBatchStreamAccess*& aAccess, int32_t aMaxRecords, bool aForward) {
  return PassThroughCall([&] { return sbcRecordGetBatch(aCutoffSize, aOptions, aAccess, aMaxRecords, aForward); });
}

uint32_t TmvServerBaseCursor::RecordInsertBatch(TmvCustomMemoryStream* aStream) {
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return PassThroughCall([&] { return sbcRecordInsertBatch(aStream); });
}

uint32_t TmvServerBaseCursor::CopyRecords(TmvAbstractCursor* aDestCursor, TmvBlobCopyMode aBlobCopyMode,
                                          uint32_t aMaxTransSize) {
  return atoLockedCall([&] { return sbcCopyRecords(aDestCursor, aBlobCopyMode, aMaxTransSize, true); });
}

uint32_t TmvServerBaseCursor::CopyRecordsEx(TmvAbstractCursor* aDestCursor, TmvBlobCopyMode aBlobCopyMode,
                                            uint32_t aMaxTransSize, bool aCheckValFields) {
  return atoLockedCall([&] { return sbcCopyRecords(aDestCursor, aBlobCopyMode, aMaxTransSize, aCheckValFields); });
}

uint32_t TmvServerBaseCursor::DeleteRecords() {
  return atoLockedCall([&] { return sbcDeleteRecords(); });
}

// The writer checks its budget before each record, so that a cutoff the
// header alone reaches gives no entry. A record that fails leaves no trace.
uint32_t TmvServerBaseCursor::sbcRecordGetBatch(uint32_t aCutoffSize, TmvRecordGetBatchExOptions aOptions,
                                                TmvBatchStreamAccess*& aAccess, int32_t aMaxRecords, bool aForward) {
  uint32_t result = 0;
  try {
    const int64_t maxRecords = aMaxRecords < 1 ? int64_t(INT32_MAX) : aMaxRecords;
    result = sbcBeginContentLock(false, false, false);
    if (result != 0) return result;
    try {
      if (acSFI->sfiBlobFields.empty()) aOptions &= TmvRecordGetBatchExOptions(~BatchOption(gboBlobs));
      if (aAccess)
        aAccess->Clear(false);
      else
        aAccess = CreateBatchStreamAccess(nullptr, aOptions);
      TmvMemoryStream& stream = *aAccess->Stream();
      // A huge cutoff would have the whole budget reserved at once; the
      // stream grows past the preset anyway.
      const uint32_t preset = aCutoffSize == uint32_t(INT32_MAX) ? uint32_t(mvBatchDefaultCapacity) : aCutoffSize;
      stream.SetCapacity(int32_t(std::min<uint32_t>(preset, 64u << 20)));
      ReserveHeader(stream);

      uint32_t entrySize = acRecordLength;
      uint32_t bookmarkSize = 0;
      uint32_t code = 0;
      if (mvInSet(aOptions, gboBookmarks)) {
        code = sbcGetBookmarkSize(bookmarkSize);
        entrySize += bookmarkSize;
      }
      if (code == 0 && mvInSet(aOptions, gboSetToBeginOrEnd)) {
        if (aForward)
          sbcSetToBegin();
        else
          sbcSetToEnd();
      }
      int32_t count = 0;
      while (code == 0 && stream.GetSize() < int64_t(aCutoffSize) && count < maxRecords) {
        const int64_t entry = stream.GetSize();
        uint8_t word[4];
        StoreLE32(word, entrySize);
        stream.SetPosition(entry);
        stream.WriteBuffer(word, 4);
        stream.SetSize(entry + 4 + entrySize);
        auto* record = static_cast<uint8_t*>(stream.Memory()) + entry + 4;
        code = aForward ? sbcRecordGetNext(mvltNoLock, record) : sbcRecordGetPrior(mvltNoLock, record);
        if (code == 0 && bookmarkSize != 0) {
          code = IsCache() ? sbcGetBookmarkCache(record + acRecordLength, bookmarkSize)
                           : sbcGetBookmark(record + acRecordLength, bookmarkSize);
        }
        if (code == 0 && mvInSet(aOptions, gboBlobs)) {
          uint32_t size = entrySize;
          code = sbcCopyBlobsToBatchStream(size, entry + 4, &stream, mvInSet(aOptions, gboBlobNrs),
                                           mvInSet(aOptions, gboBlobsOnlyMarked));
          if (size != entrySize) StoreLE32(static_cast<uint8_t*>(stream.Memory()) + entry, size);
        }
        if (code != 0) {
          stream.SetSize(entry);
        } else {
          stream.SetPosition(stream.GetSize());
          ++count;
        }
      }
      if (code == uint32_t(MVERR_FILTERTIMEOUT) && count == 0) result = code;
      mvBatchWriteHeader(stream, code, count);
    } catch (...) {
      sbcEndContentLock();
      throw;
    }
    sbcEndContentLock();
  } catch (...) {
    result = asoConvertException();
  }
  if (aAccess) aAccess->Reset(false);
  return result;
}

uint32_t TmvServerBaseCursor::sbcCopyBlobsToBatchStream(uint32_t& aSize, int64_t aOffset, TmvMemoryStream* aStream,
                                                        bool aAddBlobNr, bool aOnlyMarked) {
  if (aOnlyMarked && acMarkedBlobs.empty()) return 0;
  // The stream moves as it grows: the record is found again through its
  // offset after every append.
  auto record = [&] { return static_cast<uint8_t*>(aStream->Memory()) + aOffset; };
  const std::vector<int32_t>& blobFields = acSFI->sfiBlobFields;
  for (size_t i = 0; i < blobFields.size(); ++i) {
    if (aOnlyMarked && !BlobMarked(int32_t(i))) continue;
    const int32_t field = blobFields[i];
    TmvBlobNr blobNr;
    if (!ReadBlobField(record(), field, blobNr) || blobNr == 0) {
      WriteBlobField(record(), field, 0);  // a stored 0 is no BLOB
      continue;
    }
    const TmvRecID recID = acGetRecID(record());
    uint32_t length = 0;
    const uint32_t lengthCode = sbcBlobGetLength(recID, field, blobNr, length, false, nullptr);
    if (lengthCode == 0 && length == 0) {
      WriteBlobField(record(), field, 0);
      continue;
    }
    const int64_t part = aStream->GetSize();
    aStream->SetPosition(part);
    uint8_t word[8];
    uint32_t code = 0;
    if (lengthCode != 0) {
      StoreLE32(word, mvBatchResultFlag | 4);
      StoreLE32(word + 4, lengthCode);
      aStream->WriteBuffer(word, 8);
      length = 4;
    } else {
      StoreLE32(word, length);
      aStream->WriteBuffer(word, 4);
      if (HasAnyCursorOptions(mvSetOf({acoSkipReadingBlobDataForBatch}))) {
        aStream->SetSize(part + 4 + int64_t(length));
        aStream->SetPosition(aStream->GetSize());
      } else {
        try {
          code = sbcBlobRead(recID, field, blobNr, 0, length, aStream, false, nullptr);
        } catch (...) {
          code = asoConvertException();
        }
      }
      if (code == 0 && aStream->GetSize() - part - 4 != int64_t(length))
        code = EmvBaseException::mvSetMessage(MVERR_READERR, String());
    }
    if (code != 0) {
      WriteBlobField(record(), field, 0);
      aStream->SetSize(part);
      continue;
    }
    if (aAddBlobNr) {
      aStream->SetPosition(aStream->GetSize());
      StoreLE<int64_t>(word, blobNr);
      aStream->WriteBuffer(word, 8);
      aSize += 8;
    }
    WriteBlobField(record(), field, part);
    aSize += length + 4;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// BLOBs

uint32_t TmvServerBaseCursor::BlobsCancel(TmvRefNr aRefNr) {
  return atoLockedCall([&] {
    if (sbcIsReadOnly || acSFI->sfiBlobFields.empty()) return 0u;
    if (!mvInSet(acCapabilities, accCancelBlobs)) return NotSupported(u"BlobsCancel");
    return sbcBlobsCancel(aRefNr);
  });
}

uint32_t TmvServerBaseCursor::BlobCreate(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr) {
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return atoLockedCall([&] { return sbcBlobCreate(aRecID, aFieldNo, aBlobNr); });
}

uint32_t TmvServerBaseCursor::BlobCreateFile(const TmvRecID& aRecID, int32_t aFieldNo, const String& aFileName,
                                             TmvBlobNr& aBlobNr) {
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return atoLockedCall([&] { return sbcBlobCreateFile(aRecID, aFieldNo, aFileName, aBlobNr); });
}

uint32_t TmvServerBaseCursor::BlobDelete(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr) {
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return atoLockedCall([&] { return sbcBlobDelete(aRecID, aFieldNo, aBlobNr); });
}

uint32_t TmvServerBaseCursor::BlobFree(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr) {
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return atoLockedCall([&] { return sbcBlobFree(aRecID, aFieldNo, aBlobNr); });
}

uint32_t TmvServerBaseCursor::BlobWrite(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                                        uint32_t aLen, const void* aBlob) {
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return atoLockedCall([&] { return sbcBlobWrite(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aBlob); });
}

uint32_t TmvServerBaseCursor::BlobReplace(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr, uint32_t aLen,
                                          const void* aBlob) {
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return atoLockedCall([&] { return sbcBlobReplace(aRecID, aFieldNo, aBlobNr, aLen, aBlob); });
}

uint32_t TmvServerBaseCursor::BlobTruncate(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                           uint32_t aBlobLength) {
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return atoLockedCall([&] { return sbcBlobTruncate(aRecID, aFieldNo, aBlobNr, aBlobLength); });
}

uint32_t TmvServerBaseCursor::BlobModified(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                           bool& aModified) {
  return PassThroughCall([&] { return sbcBlobModified(aRecID, aFieldNo, aBlobNr, aModified); });
}

uint32_t TmvServerBaseCursor::BlobAddToCache(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aLen,
                                             const void* aBlob) {
  if (!IsCache() || !mvRecIDIsSet(aRecID) || aFieldNo < 0 || aBlobNr == 0 || aLen == 0)
    return TmvSqlAbstractCursor::BlobAddToCache(aRecID, aFieldNo, aBlobNr, aLen, aBlob);
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return atoLockedCall([&] { return sbcBlobAddToCache(aRecID, aFieldNo, aBlobNr, aLen, aBlob); });
}

uint32_t TmvServerBaseCursor::sbcBlobAddToCache(const TmvRecID&, int32_t, TmvBlobNr, uint32_t, const void*) {
  return NotSupported(u"sbcBlobAddToCache");
}

// ---------------------------------------------------------------------------
// Named streams, locks, counts, duplicates

uint32_t TmvServerBaseCursor::TableStreamGetList(TStrings* aStreams) {
  return PassThroughCall([&] { return sbcTableStreamGetList(aStreams, false); });
}

uint32_t TmvServerBaseCursor::TableStreamWrite(const String& aName, TStream* aStream) {
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return PassThroughCall([&] { return sbcTableStreamWrite(aName, aStream, false); });
}

uint32_t TmvServerBaseCursor::TableStreamRead(const String& aName, TStream* aStream) {
  return PassThroughCall([&] { return sbcTableStreamRead(aName, aStream, false); });
}

uint32_t TmvServerBaseCursor::TableStreamDelete(const String& aName) {
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return PassThroughCall([&] { return sbcTableStreamDelete(aName, false); });
}

uint32_t TmvServerBaseCursor::TableIsLocked(TmvLockType aLockType, TmvLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  return atoLockedCall([&] {
    aLockPresent = sbcTableIsLocked(aLockType);
    return 0u;
  });
}

uint32_t TmvServerBaseCursor::TableLockAcquire(TmvLockType aLockType) {
  return PassThroughCall([&] { return sbcTableLockAcquire(aLockType); });
}

uint32_t TmvServerBaseCursor::TableLockRelease(TmvLockType aLockType, bool aAllLocks) {
  return PassThroughCall([&] { return sbcTableLockRelease(aLockType, aAllLocks); });
}

uint32_t TmvServerBaseCursor::Duplicate(TmvOpenMode aOpenMode, TmvAbstractCursor*& aNewCursor) {
  return PassThroughCall([&] { return sbcDuplicate(aOpenMode, aNewCursor, false); });
}

uint32_t TmvServerBaseCursor::ChangePassword(const String& aNewPassword) {
  uint32_t refused;
  if (ReadOnlyRefused(refused)) return refused;
  return PassThroughCall([&] { return sbcChangePassword(aNewPassword); });
}

uint32_t TmvServerBaseCursor::GetRecordCount(uint32_t& aRecCount, bool aEstimate) {
  return atoLockedCall([&] { return sbcGetRecordCount(rcoClientFilteredKeyCount, aRecCount, aEstimate); });
}

uint32_t TmvServerBaseCursor::GetRecordCountEx(TmvRecordCountOption aOption, uint32_t& aRecCount, bool aEstimate) {
  return atoLockedCall([&] { return sbcGetRecordCount(aOption, aRecCount, aEstimate); });
}

uint32_t TmvServerBaseCursor::GetRecordCountAsync(TmvAbstractTaskInfo*& aTaskInfo) {
  return GetRecordCountExAsync(rcoClientFilteredKeyCount, aTaskInfo);
}

void TmvServerBaseCursor::RequestNestedTransactions() { sbcUseNestedTransaction = true; }

uint32_t TmvServerBaseCursor::sbcRenameField(int32_t, const String&) {
  return EmvBaseException::mvSetMessage(MVERR_NOTSUPPORTED, u"%s is not supported by %s",
                                        {String(u"sbcRenameField"), ClassName()});
}

IInterface* TmvServerBaseCursor::sbcRegisterInResultSetCache(const std::vector<TmvAbstractCursor*>&,
                                                             const std::function<void()>&) {
  return nullptr;
}

// ---------------------------------------------------------------------------
// Record buffers and defaults

void TmvServerBaseCursor::RecordBufferClear(void* aBuffer) {
  TmvSqlAbstractCursor::RecordBufferClear(aBuffer);
  if (!sbcDefaultValueHandlerClientCreated) {
    sbcDefaultValueHandlerClientCreated = true;
    sbcDefaultValueHandlerClient = TmvDefaultValueHandler::CreateFor(FieldsDescriptor(), aaClient, this);
  }
  if (aBuffer && sbcDefaultValueHandlerClient) sbcDefaultValueHandlerClient->SetDefaultValuesInsert(aBuffer);
}

void TmvServerBaseCursor::sacSetDefault(void* aRecordBuffer, int32_t aIndex) {
  if (sbcDefaultValueHandler) sbcDefaultValueHandler->SetDefaultValue(aRecordBuffer, aIndex);
}

void TmvServerBaseCursor::sacSetDefaultsInsert(void* aRecordBuffer) {
  if (sbcDefaultValueHandler) sbcDefaultValueHandler->SetDefaultValuesInsert(aRecordBuffer);
}

// ---------------------------------------------------------------------------
// Transactions

uint32_t TmvServerBaseCursor::sbcCheckTransactionState() {
  TmvBaseTransaction* trans = GetActiveTrans();
  return trans ? uint32_t(trans->CheckState()) : 0;
}

bool TmvServerBaseCursor::acSnapshotRequiredForBlobRead(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                                        bool aReadOrg) {
  // While the context shows no transaction field, the abstract rule holds.
  if (!sbcTrans) return TmvSqlAbstractCursor::acSnapshotRequiredForBlobRead(aRecID, aFieldNo, aBlobNr, aReadOrg);
  return GetActiveTrans() == nullptr;
}

uint32_t TmvServerBaseCursor::acTransactionStartForBlobReadSnapshoted() {
  if (!sbcTrans) return TmvSqlAbstractCursor::acTransactionStartForBlobReadSnapshoted();
  if (uint32_t result = sbcTransContext->TransactionStart(false, true)) return result;
  TmvBaseTransaction* trans = GetActiveTrans();
  MV_ASSERT(trans && trans->IsSnapshot());
  trans->SetState(trans->State() | TmvTransactionStates(1u << tsForBlobRead));
  return 0;
}

uint32_t TmvServerBaseCursor::acTransactionRollbackForBlobReadSnapshoted() {
  if (!sbcTrans) return TmvSqlAbstractCursor::acTransactionRollbackForBlobReadSnapshoted();
  TmvBaseTransaction* trans = GetActiveTrans();
  if (!trans || !mvInSet(trans->State(), tsSnapshot) || !mvInSet(trans->State(), tsForBlobRead))
    return EmvBaseException::mvSetMessage(MVERR_NOACTIVETRAN, String());
  return sbcTransContext->TransactionRollback();
}

// ---------------------------------------------------------------------------
// Request-close

// The handler is called outside its padlock, with a reference of its own:
// the call may destroy the cursor, and with it the padlock.
void TmvServerBaseCursor::sbcRequestClose() {
  if (Destroying()) return;
  TInterfacePtr<ImvRequestCloseHandler> handler = sbcGetOnRequestClose();
  if (handler) handler->RequestClose();
}
