// Server engine: the in-process cursor's frame around every public
// operation (unit mvsrServerBaseCursor).
//
// `TmvServerBaseCursor` implements each public cursor operation as a thin,
// uniform frame around a protected sbc operation that the table cursor
// implements:
//  1. an optional pre-check without the lock: a write on a read-only cursor
//     answers the read-only result, a read by key on a write-only cursor the
//     write-only result;
//  2. the thread's operation deadline from the cursor's timeout (an open
//     timeout scope keeps the outer one);
//  3. the session lock (its refusals raise to the caller);
//  4. the protected operation; the operations marked "converting" below turn
//     an exception into its code, the others leave it to their caller;
//  5. the lock's release with the result, which turns a 0 into 15461 when
//     the session was cancelled meanwhile; on every path.
// It also keeps what every server cursor shares: the open mode and the
// read-only and write-only results, the transaction context, the insert
// options, the record and key filters with their handles and the filter
// timeout, the default-value and validation handlers and the attached
// record-count task; and it carries helpers of the table cursor: the batch
// writer, BLOB parts into a batch, the filter-timeout check and the
// lock-failure message.
//
// Filter handles are 32-bit numbers the cursor hands out for the engines it
// keeps; each stays valid until its filter is removed.
//
// Threads: used under its session's lock; the request-close handler has a
// padlock of its own. Calls the abstract cursor, the batch stream, the data
// dictionary's filter, default-value and validation engines, storage's
// transactions and deadlines.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "dictionary/filters/mvsdFilterEngine.h"
#include "foundation/errors/mvllErrors.h"
#include "server/mvsdAbstractCursor.h"
#include "server/mvsdBatchStreamAccess.h"

class TmvBaseTransaction;
class TmvDefaultValueHandler;
class TmvLockFailureReason;
class TmvValidationsHandler;

// The calling thread is opening a table for recovery: cursors made meanwhile
// create no default-value and validation handlers, and engine monitors attach
// no extenders to them.
bool& mvThreadRecoveryFlag();

// The 32-bit handles of the filter engines a cursor keeps.
class TmvFilterHandles {
 public:
  // A new handle (never 0) for the engine.
  uint32_t Add(TmvBaseFilterEngine* aEngine);
  // The engine of a handle; nil when it names none.
  TmvBaseFilterEngine* Find(uint32_t aHandle) const;
  void Forget(uint32_t aHandle);
  void Clear() { fhItems.clear(); }

 private:
  std::vector<std::pair<uint32_t, TmvBaseFilterEngine*>> fhItems;
  uint32_t fhNext = 1;
};

// What sbcSetToFilter's iterators get as their cookie.
struct TmvSetToFilterCookie {
  TmvBaseFilterEngine* Filter;
  TmvBaseFilterEngine* KeyFilter;
};

class TmvServerBaseCursor : public TmvSqlAbstractCursor {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // The cursor works in the database's transaction context for its life.
  // The parts of creation that need the concrete cursor's table (handlers,
  // fields info, capabilities) run in AfterConstruction, the first moment
  // the whole object answers its virtual operations.
  TmvServerBaseCursor(TmvAbstractDatabase* aDatabase, uint32_t aTimeout, TmvOpenMode aOpenMode);
  // The releases of PrepareDestroy, the client-side default-value handler,
  // then the lock-failure reasons.
  ~TmvServerBaseCursor() override;

  // The table-dependent creation steps, the inherited step, an outdated
  // table (dictionary version below 2) made read-only with 12040, then
  // sbcSetToBegin.
  void AfterConstruction() override;
  // Frees the attached task (a failure is logged), releases the filters and
  // the server-side handlers, then the inherited steps.
  void PrepareDestroy() override;
  // False while the calling thread's recovery flag is set.
  bool esoReportToMonitors() override;
  // "INSERT_OPTIONS_SETDEFAULT", "..._SETAUTOINC", "..._VALIDATE" and
  // "..._MODIFYIFFOUND" (any case) set their insert option for the value
  // "True" (any case) and clear it for any other.
  void esoOptionChanged(const String& aName, const String& aValue) override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  // --- the public operations (see the frame above) -----------------------
  using TmvAbstractCursor::RangeSet;
  using TmvAbstractCursor::RecordGetForKey;
  using TmvAbstractCursor::SetToKey;
  uint32_t SetToBegin() override;  // converting
  uint32_t SetToEnd() override;    // converting
  // The cursor itself answers 0 at once, without the lock.
  uint32_t SetToCursor(TmvAbstractCursor* aCursor) override;  // converting
  // Builds, activates and afterwards frees an engine for each filter given.
  uint32_t SetToFilter(TmvBaseFilterDescriptor* aFilter, TmvBaseFilterDescriptor* aKeyFilter, bool aForward) override;
  uint32_t GetBookmark(void* aBookmark, uint32_t aSize) override;
  uint32_t GetBookmarkCache(void* aBookmark, uint32_t aSize) override;
  uint32_t CompareBookmarks(const void* aBookmark1, const void* aBookmark2, uint32_t aSize,
                            int32_t& aCompResult) override;
  uint32_t SetToBookmark(const void* aBookmark, uint32_t aSize) override;
  uint32_t SetToCacheBookmark(const void* aBookmark, uint32_t aSize) override;
  uint32_t BookmarkAsVariant(const void* aBookmark, uint32_t aSize, Variant& aVariant) override;
  // 0, without the lock.
  uint32_t RecNoSupported() override;
  // Inside a shared content lock.
  uint32_t RecNoGet(int32_t& aRecNo, bool aFlipOrder) override;
  uint32_t RecNoSet(int32_t aRecNo, bool aFlipOrder) override;
  uint32_t RecordGet(TmvLockType aLockType, void* aData) override;
  uint32_t RecordGetNext(TmvLockType aLockType, void* aData) override;
  uint32_t RecordGetPrior(TmvLockType aLockType, void* aData) override;
  // With the cursor's insert options.
  uint32_t RecordInsert(TmvLockType aLockType, void* aData, int64_t* aAutoInc) override;
  uint32_t RecordModify(void* aData, bool aReleaseLock, const TmvRecordDiff* aDataDiff) override;
  uint32_t RecordDelete(void* aData, TmvLSN aLSN) override;
  uint32_t RecordIsLocked(TmvLockType aLockType, TmvLockPresent& aLockPresent) override;
  uint32_t RecordLockRelease(bool aAllLocks, bool aCancelBlobs) override;
  uint32_t AutoIncGet(uint32_t& aValue, bool aAllowCached) override;
  uint32_t AutoIncSet(uint32_t aValue) override;
  uint32_t FilterAddCustom(TmvBaseFilterDescriptor* aFilter, TmvFilterID& aFilterID, bool aActivated) override;
  uint32_t FilterReplaceCustom(TmvBaseFilterDescriptor* aFilter, TmvFilterID& aFilterID, bool aActivated,
                               bool aIgnoreDropError) override;
  // Under the lock, without a deadline.
  uint32_t FilterSetTimeout(uint32_t aTimeout) override;
  // 10050 without a record filter; handle 0 addresses every filter.
  uint32_t FilterActivate(TmvFilterID aFilterID) override;
  uint32_t FilterDeactivate(TmvFilterID aFilterID) override;
  // Handle 0 releases every record filter.
  uint32_t FilterRemove(TmvFilterID aFilterID) override;
  uint32_t SwitchToIndex(const String& aIndexName, int32_t aIndexID, TmvPosnOnRec aPosnOnRec) override;
  uint32_t GetIndexID(int32_t& aIndexID) override;
  uint32_t SetToKey(TmvSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                    const void* aKeyData) override;
  uint32_t RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey, const void* aKeyData, void* aData,
                           bool aMatchFirst, bool aFirstCall) override;
  uint32_t RecordGetForKeyBatch(uint32_t aCutoffSize, TmvRecordGetBatchExOptions aOptions,
                                TmvBatchStreamAccess*& aAccess, const TmvDataSetKeyBuffers& aKeys, bool aMatchFirst,
                                bool aFirstCall) override;
  uint32_t RangeReset() override;
  // A failed range is reset before the lock is released.
  uint32_t RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1, const void* aKeyData1, bool aKeyIncl1,
                    int32_t aFieldCount2, int32_t aPartialLen2, bool aDirectKey2, const void* aKeyData2,
                    bool aKeyIncl2) override;
  uint32_t CompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1, const void* aKeyData1,
                       bool aDirectKey2, const void* aKeyData2, int32_t& aResult) override;
  uint32_t KeyFilterAddCustom(TmvBaseFilterDescriptor* aKeyFilter, TmvKeyFilterID& aKeyFilterID) override;
  uint32_t KeyFilterActivate(TmvKeyFilterID aKeyFilterID) override;
  uint32_t KeyFilterDeactivate(TmvKeyFilterID aKeyFilterID) override;
  uint32_t KeyFilterRemove(TmvKeyFilterID aKeyFilterID) override;
  uint32_t RecordGetBatch(uint32_t aCutoffSize, TmvRecordGetBatchExOptions aOptions, TmvBatchStreamAccess*& aAccess,
                          int32_t aMaxRecords, bool aForward) override;
  uint32_t RecordInsertBatch(TmvCustomMemoryStream* aStream) override;
  uint32_t CopyRecords(TmvAbstractCursor* aDestCursor, TmvBlobCopyMode aBlobCopyMode, uint32_t aMaxTransSize) override;
  uint32_t CopyRecordsEx(TmvAbstractCursor* aDestCursor, TmvBlobCopyMode aBlobCopyMode, uint32_t aMaxTransSize,
                         bool aCheckValFields) override;
  uint32_t DeleteRecords() override;
  // 0 on a read-only cursor or a table without BLOB fields; 12289 without
  // the capability.
  uint32_t BlobsCancel(TmvRefNr aRefNr) override;
  uint32_t BlobCreate(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr) override;
  uint32_t BlobCreateFile(const TmvRecID& aRecID, int32_t aFieldNo, const String& aFileName,
                          TmvBlobNr& aBlobNr) override;
  uint32_t BlobDelete(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr) override;
  uint32_t BlobFree(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr) override;
  uint32_t BlobWrite(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                     const void* aBlob) override;
  uint32_t BlobReplace(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr, uint32_t aLen,
                       const void* aBlob) override;
  uint32_t BlobTruncate(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aBlobLength) override;
  uint32_t BlobModified(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, bool& aModified) override;
  // Only a cache cursor with a valid record identity, a field, a BLOB
  // number and data; otherwise 12289.
  uint32_t BlobAddToCache(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aLen,
                          const void* aBlob) override;
  uint32_t TableStreamGetList(TStrings* aStreams) override;
  uint32_t TableStreamWrite(const String& aName, TStream* aStream) override;
  uint32_t TableStreamRead(const String& aName, TStream* aStream) override;
  uint32_t TableStreamDelete(const String& aName) override;
  uint32_t TableIsLocked(TmvLockType aLockType, TmvLockPresent& aLockPresent) override;
  uint32_t TableLockAcquire(TmvLockType aLockType) override;
  uint32_t TableLockRelease(TmvLockType aLockType, bool aAllLocks) override;
  uint32_t Duplicate(TmvOpenMode aOpenMode, TmvAbstractCursor*& aNewCursor) override;
  uint32_t ChangePassword(const String& aNewPassword) override;
  uint32_t GetRecordCount(uint32_t& aRecCount, bool aEstimate) override;
  uint32_t GetRecordCountEx(TmvRecordCountOption aOption, uint32_t& aRecCount, bool aEstimate) override;
  uint32_t GetRecordCountAsync(TmvAbstractTaskInfo*& aTaskInfo) override;
  void RequestNestedTransactions() override;

  // --- overrides of the layers above ----------------------------------------
  // The abstract clear, then the client-side insert defaults (the handler
  // is looked for on the first call).
  void RecordBufferClear(void* aBuffer) override;
  TmvOpenMode sacGetOpenMode() override { return sbcOpenMode; }
  void sacSetDefault(void* aRecordBuffer, int32_t aIndex) override;
  void sacSetDefaultsInsert(void* aRecordBuffer) override;
  void sbcMarkReadonly() override { sbcIsReadOnly = true; }
  // The batch writer of the cursors that write no batches themselves.
  uint32_t sbcRecordGetBatch(uint32_t aCutoffSize, TmvRecordGetBatchExOptions aOptions, TmvBatchStreamAccess*& aAccess,
                             int32_t aMaxRecords, bool aForward) override;
  // A snapshot only without a transaction in force; the snapshot
  // transaction is marked as one for BLOB reads, and only such a one is
  // rolled back (10257 otherwise).
  bool acSnapshotRequiredForBlobRead(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                     bool aReadOrg) override;
  uint32_t acTransactionStartForBlobReadSnapshoted() override;
  uint32_t acTransactionRollbackForBlobReadSnapshoted() override;

  // --- new virtual operations, in slot order --------------------------------
  virtual void sbcBeginReadOrgOverride() { ++sbcReadOrgOverride; }
  virtual void sbcEndReadOrgOverride() { --sbcReadOrgOverride; }
  // All zero here.
  virtual TmvServerTableStats sbcGetStats() { return TmvServerTableStats{}; }
  // 12289 "sbcRenameField is not supported by <class>" here.
  virtual uint32_t sbcRenameField(int32_t aFieldNo, const String& aNewName);
  virtual uint32_t sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal) = 0;
  virtual void sbcEndContentLock() = 0;
  // The transaction in force's state check; 0 without one.
  virtual uint32_t sbcCheckTransactionState();
  virtual uint32_t sbcSetToCursor(TmvAbstractCursor* aCursor) = 0;
  virtual uint32_t sbcSetToFilter(TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter, bool aForward) = 0;
  virtual uint32_t sbcGetBookmark(void* aBookmark, uint32_t aSize) = 0;
  virtual uint32_t sbcGetBookmarkCache(void* aBookmark, uint32_t aSize);
  virtual uint32_t sbcCompareBookmarks(const void* aBookmark1, const void* aBookmark2, uint32_t aSize,
                                       int32_t& aCompResult) = 0;
  virtual uint32_t sbcSetToBookmark(const void* aBookmark, uint32_t aSize, bool aIsCache) = 0;
  virtual uint32_t sbcBookmarkAsVariant(const void* aBookmark, uint32_t aSize, Variant& aVariant) = 0;
  virtual uint32_t sbcRecNoGet(int32_t& aRecNo, bool aFlipOrder) = 0;
  virtual uint32_t sbcRecNoSet(int32_t aRecNo, bool aFlipOrder) = 0;
  virtual uint32_t sbcRecordIsLocked(TmvLockType aLockType, TmvLockPresent& aLockPresent) = 0;
  virtual uint32_t sbcRecordLockRelease(bool aAllLocks, bool aCancelBlobs) = 0;
  virtual uint32_t sbcAutoIncSet(uint32_t aAutoInc) = 0;
  virtual void sbcAutoIncSetDirect(uint32_t aAutoInc) = 0;
  // The fields of the current index's keys.
  virtual ImvFieldsSource* sbcGetKeyFieldsSource() = 0;
  // Builds a key-filter engine over the key fields and adds it.
  virtual uint32_t sbcKeyFilterAddCustom(TmvBaseFilterDescriptor* aKeyFilter, TmvKeyFilterID& aKeyFilterID);
  virtual uint32_t sbcSetToKey(TmvSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen,
                               bool aDirectKey, const void* aKeyData) = 0;
  virtual uint32_t sbcRecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey, const void* aKeyData,
                                      void* aData, bool aMatchFirst, bool aFirstCall) = 0;
  virtual uint32_t sbcRecordGetForKeyBatch(uint32_t aCutoffSize, TmvRecordGetBatchExOptions aOptions,
                                           TmvBatchStreamAccess*& aAccess, const TmvDataSetKeyBuffers& aKeys,
                                           bool aMatchFirst, bool aFirstCall) = 0;
  virtual uint32_t sbcCompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1, const void* aKeyData1,
                                  bool aDirectKey2, const void* aKeyData2, int32_t& aResult) = 0;
  virtual uint32_t sbcBlobsCancel(TmvRefNr aRefNr) = 0;
  virtual uint32_t sbcBlobCreate(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr) = 0;
  virtual uint32_t sbcBlobCreateFile(const TmvRecID& aRecID, int32_t aFieldNo, const String& aFileName,
                                     TmvBlobNr& aBlobNr) = 0;
  virtual uint32_t sbcBlobFree(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr) = 0;
  virtual uint32_t sbcBlobAddToCache(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aLen,
                                     const void* aBlob);
  virtual uint32_t sbcBlobModified(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, bool& aModified) = 0;
  virtual uint32_t sbcBlobCopyPrim(TmvServerBaseCursor* aSrcCursor, int32_t aSrcFieldNo, TmvBlobNr aBlobNr,
                                   int32_t aDestFieldNo, TmvBlobNr& aDestBlobNr, uint32_t aMaxLength) = 0;
  virtual uint32_t sbcBlobCopyContentPrim(TmvServerBaseCursor* aSrcCursor, int32_t aSrcFieldNo, TmvBlobNr aBlobNr,
                                          int32_t aDestFieldNo, TmvBlobNr aDestBlobNr, uint32_t aMaxLength) = 0;
  virtual uint32_t sbcTableStreamGetList(TStrings* aStreams, bool aInternal) = 0;
  virtual uint32_t sbcTableStreamWrite(const String& aName, TStream* aStream, bool aInternal) = 0;
  virtual uint32_t sbcTableStreamRead(const String& aName, TStream* aStream, bool aInternal) = 0;
  virtual uint32_t sbcTableStreamDelete(const String& aName, bool aInternal) = 0;
  virtual TmvLockPresent sbcTableIsLocked(TmvLockType aLockType) = 0;
  virtual uint32_t sbcTableLockAcquire(TmvLockType aLockType) = 0;
  virtual uint32_t sbcTableLockRelease(TmvLockType aLockType, bool aAllLocks) = 0;
  virtual String sbcExtractPassword() = 0;
  // No result-set cache exists in this system: nil.
  virtual IInterface* sbcRegisterInResultSetCache(const std::vector<TmvAbstractCursor*>& aSourceCursors,
                                                  const std::function<void()>& aOnEvict);

  // --- other operations ---------------------------------------------------
  // The transaction in force, or nil.
  TmvBaseTransaction* GetActiveTrans() const { return sbcTrans ? *sbcTrans : nullptr; }
  // Adds a filter engine (taken over, also when adding fails): alone it is
  // the filter; with others they are joined in one hub. aFilterID gets its
  // handle; aActivated switches it on.
  void sbcFilterAddCustom(TmvBaseFilterEngine* aFilter, TmvFilterID& aFilterID, bool aActivated);
  // The same for a key filter, which is added as it is.
  void sbcKeyFilterAddCustomEngine(TmvBaseFilterEngine* aKeyFilter, TmvKeyFilterID& aKeyFilterID);
  // 10050 without a key filter.
  uint32_t sbcKeyFilterDeactivate(TmvKeyFilterID aKeyFilterID);

  // The filter timeout around a filtered navigation: Begin starts it (the
  // earlier of now + the filter timeout and the operation deadline; none
  // for a filter timeout of 0) and hands the check to the key filter, which
  // puts its stop code into *aResult; Check answers true when the
  // navigation must stop (15444 when the filter timed out, 15461 at the
  // operation deadline); End stops it. Disable and Enable suspend it (bulk
  // operations).
  void sbcFilterBeginTimeout(uint32_t* aResult);
  bool sbcFilterCheckTimeout(uint32_t& aResult);
  void sbcFilterEndTimeout();
  void sbcDisableFilterTimeout() { ++sbcFilterTimeoutLock; }
  void sbcEnableFilterTimeout() { --sbcFilterTimeoutLock; }

  // Iterators of sbcSetToFilter; aCookie is a TmvSetToFilterCookie.
  static TmvKeyIteratorResult sbcSetToFilterKeyIterator(void* aCookie, TmvRefNr aRefNr, const uint8_t* aKey);
  static TmvRecordIteratorResult sbcSetToFilterRecIterator(void* aCookie, TmvRefNr aRefNr, const uint8_t* aRecord);

  // Appends the BLOB parts of the record at aOffset of a batch stream; aSize
  // is its entry size and grows with the parts. Never fails the batch: an
  // unreadable BLOB becomes null, one whose length is unknown an error part.
  uint32_t sbcCopyBlobsToBatchStream(uint32_t& aSize, int64_t aOffset, TmvMemoryStream* aStream, bool aAddBlobNr,
                                     bool aOnlyMarked);
  // Asks the cursor's owner, through the request-close handler, to close
  // it; nothing while the cursor is being destroyed or without a handler.
  void sbcRequestClose();

  // The read-only and write-only results, their texts recorded.
  uint32_t sbcReadOnlyError();
  uint32_t sbcWriteOnlyError();
  // The message of a lock conflict for aErrorCode: the code's text, the
  // reasons, the table's name; 10254 for a conflict within the session.
  uint32_t sbcLockFailureError(uint32_t aErrorCode);

  // Properties.
  TmvDefaultValueHandler* DefaultValueHandler() const { return sbcDefaultValueHandler; }
  TmvValidationsHandler* ValidationsHandler() const { return sbcValidationsHandler; }
  TmvAbstractTransContext* _Trans() const { return sbcTransContext; }
  bool IsSystemTable();
  bool IsReadOnly() const { return sbcIsReadOnly; }
  uint32_t ReadOnlyResult() const { return sbcReadOnlyResult; }
  TmvInsertOptions InsertOptions() const { return sbcInsertOptions; }
  uint32_t FilterTimeout() const { return sbcFilterTimeout; }
  TmvBaseFilterEngine* Filter() const { return sbcFilter; }
  TmvBaseFilterEngine* KeyFilter() const { return sbcKeyFilter; }
  TmvLockFailureReason* LockFailureReason() const { return sbcLockFailureReason; }
  TmvAbstractTaskInfo* TaskInfo() const { return sbcTaskInfo; }
  void SetTaskInfo(TmvAbstractTaskInfo* aTaskInfo) { sbcTaskInfo = aTaskInfo; }

 protected:
  // Write operations check sbcIsReadOnly first, without the lock.
  bool ReadOnlyRefused(uint32_t& aResult) {
    if (!sbcIsReadOnly) return false;
    aResult = sbcReadOnlyError();
    return true;
  }
  // A shared content lock around aWork; its failure is the result.
  template <typename F>
  uint32_t UnderSharedContentLock(F&& aWork);
  // The record or key filter operations on a filter variable.
  uint32_t SwitchFilter(TmvBaseFilterEngine* aFilter, const TmvFilterHandles& aHandles, uint32_t aFilterID,
                        bool aActive);
  uint32_t RemoveFilter(TmvBaseFilterEngine*& aFilter, TmvFilterHandles& aHandles, uint32_t aFilterID);
  void AddEngine(TmvBaseFilterEngine*& aFilter, TmvFilterHandles& aHandles, TmvBaseFilterEngine* aEngine,
                 uint32_t& aFilterID);
  void ReleaseFilters();

  TmvAbstractTransContext* sbcTransContext;
  // The address of the context's transaction in force (its content nil:
  // none); nil while the context publishes none.
  TmvBaseTransaction* const* sbcTrans = nullptr;
  TmvOpenMode sbcOpenMode;
  bool sbcIsReadOnly;
  uint32_t sbcReadOnlyResult = uint32_t(MVERR_TABLEREADONLY);
  String sbcReadOnlyResultMessage;
  bool sbcIsWriteOnly = false;
  uint32_t sbcWriteOnlyResult = uint32_t(MVERR_TABLEREADONLY);
  String sbcWriteOnlyResultMessage;
  TmvLockFailureReason* sbcLockFailureReason;  // owned
  TmvInsertOptions sbcInsertOptions;
  int32_t sbcReadOrgOverride = 0;
  TmvDefaultValueHandler* sbcDefaultValueHandler = nullptr;  // owned
  bool sbcDefaultValueHandlerClientCreated = false;
  TmvDefaultValueHandler* sbcDefaultValueHandlerClient = nullptr;  // owned
  TmvValidationsHandler* sbcValidationsHandler = nullptr;          // owned
  void* sbcRecordBuffer = nullptr;
  void* sbcRecordBuffer2 = nullptr;
  TmvAbstractTaskInfo* sbcTaskInfo = nullptr;
  TmvBaseFilterEngine* sbcFilter = nullptr;  // owned: one engine or a hub
  uint32_t sbcFilterTimeout = 500;
  uint64_t sbcFilterUntil = 0;
  int32_t sbcFilterTimeoutLock = 0;
  TmvBaseFilterEngine* sbcKeyFilter = nullptr;  // owned
  TmvFilterHandles sbcFilterHandles;
  TmvFilterHandles sbcKeyFilterHandles;
};

template <typename F>
uint32_t TmvServerBaseCursor::UnderSharedContentLock(F&& aWork) {
  if (uint32_t locked = sbcBeginContentLock(false, false, false)) return locked;
  uint32_t result;
  try {
    result = aWork();
  } catch (...) {
    sbcEndContentLock();
    throw;
  }
  sbcEndContentLock();
  return result;
}
