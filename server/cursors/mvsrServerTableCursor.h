// Server engine: the in-process cursor on one open table (unit
// mvsrServerTableCursor).
//
// `TmvServerTableCursor` is what a database opens on a root or nested table
// (mvsrServerTable.h); the SQL layer also makes unnamed result tables
// through CreateResultSet. The base cursor (mvsrServerBaseCursor.h) frames
// every public operation; this class fills in the protected operations:
// this unit the creation and destruction, the index path and the switch
// between indexes, ranges, positioning (key, bookmark, record number,
// another cursor, a filter), saving the path, key comparison and
// duplication; mvsrServerTableCursorContent.cpp how the cursor reaches the
// table's content: content locks inside and outside transactions, table
// locks, named streams, LSNs and the cache-table indexes (the ModifyLSN
// index, the record-number index and the graveyard of deleted records).
// Reading, counting and writing records are in
// mvsrServerTableCursorRead.cpp and mvsrServerTableCursorWrite.cpp, the
// BLOB operations in mvsrServerTableCursorBlobs.cpp.
//
// Positions: without an index the path is a standalone path holding a
// record number; every operation that positions by key or range then
// answers 10764. A range end holds a key of the current key engine; both
// ends become invalid when the index changes.
//
// Ownership: the database owns the cursor; the cursor owns its paths,
// keys, record buffers and BLOB handler, and holds one place in the table's
// cursor list, so that a table is not freed while a cursor is open on it.
// Threads: used under its session's lock; the table's cursor list and the
// link's cursor list are guarded by the table's padlocks. Calls the tables,
// the transactions and their links, the index, record and stream engines.
#pragma once

#include <cstdint>
#include <vector>

#include "server/mvsrServerBaseCursor.h"
#include "server/transactions/mvsrLockingCursor.h"
#include "storage/indices/mvseIndexEngine.h"

class TmvServerBaseTable;
class TmvServerRootTable;
class TmvServerDatabase;
class TmvServerTransaction;
class TmvServerTransContext;
class TmvBaseBlobHandler;
class TmvBlobHandlerOwner;
class TmvBaseFulltextCursorEngine;
class TmvBaseRefIntegrityEngine;
class TmvBaseIndicesEngine;
class TStcKeyFieldsOwner;
class TmvServerTransactionLevelTableLink;

class TmvServerTableCursor : public TmvServerBaseCursor, public TmvLockingCursor {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // A cursor on aTable: the cache states, the open mode (a read-only root
  // makes it read-only), the NLS check of the stored keys (read-only with
  // 12040), the BLOB handler, the full-text and integrity engines, the
  // place in the table's cursor list, the index (the one asked for, else
  // the default, else none) and the paths of the cache-table indexes. A
  // cache cursor on a table that is not cacheable raises 10756.
  TmvServerTableCursor(TmvServerDatabase* aDatabase, TmvServerBaseTable* aTable, uint32_t aTimeout,
                       TmvOpenMode aOpenMode, TmvShareMode aShareMode, const String& aIndexName, int32_t aIndexID,
                       bool aBlobCache, bool aInternal);
  // An unnamed temporary table from aDictionary in the database's folder
  // and an exclusive, writable cursor on it without index; the table goes
  // with its last cursor. A failure to make the table raises.
  static TmvServerTableCursor* CreateResultSet(TmvServerDatabase* aDatabase, TmvDataDictionary* aDictionary,
                                               uint32_t aTimeout);
  // Clears the cursor's table locks, leaves its link and the table (an
  // unnamed temporary table without cursors is freed).
  ~TmvServerTableCursor() override;
  // The inherited releases, then the BLOB handler and the full-text and
  // integrity engines.
  void PrepareDestroy() override;

  // --- what the layers above ask of a table cursor ------------------------
  TmvDataDictionary* Get_Dictionary() override;
  TmvBaseTableDescriptor* GetTableDescriptor() override;
  String acGetFullName() override;
  String acGetAliasName() override;
  String sbcGetRootName() override;
  TmvIndexPathPosition sbcGetPosition() override;
  TmvServerTableStats sbcGetStats() override;
  void sbcSetOnRequestClose(ImvRequestCloseHandler* aHandler) override;
  // "<Table>.rest" resolves on the table; anything else as inherited.
  int32_t CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                            void** aInterface) override;
  // The table's effective value when it has one, else the inherited
  // lookup; the list merges the table's with the inherited one.
  uint32_t esoOptionGetInherited(const String& aName, String& aValue) override;
  uint32_t esoOptionListInherited(TStrings* aList) override;
  // "Table", "ShareMode", the path (or the index engine) and the range.
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;
  TmvAbstractServerObject* lcServerObject() override { return this; }
  void lcRequestClose() override { sbcRequestClose(); }

  // --- index and position --------------------------------------------------
  uint32_t sbcSwitchToIndex(const String& aIndexName, int32_t aIndexID, TmvPosnOnRec aPosnOnRec) override;
  uint32_t sbcGetIndexID(int32_t& aIndexID) override;
  void sbcRangeReset() override;
  uint32_t sbcRangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1, const void* aKeyData1,
                       bool aKeyIncl1, int32_t aFieldCount2, int32_t aPartialLen2, bool aDirectKey2,
                       const void* aKeyData2, bool aKeyIncl2) override;
  void sbcSetToBegin() override;
  void sbcSetToEnd() override;
  uint32_t sbcSetToKey(TmvSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                       const void* aKeyData) override;
  uint32_t sbcSetToBookmark(const void* aBookmark, uint32_t aSize, bool aIsCache) override;
  uint32_t sbcSetToCursor(TmvAbstractCursor* aCursor) override;
  uint32_t sbcSetToFilter(TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter, bool aForward) override;
  uint32_t sbcGetBookmarkSize(uint32_t& aSize) override;
  uint32_t sbcGetBookmark(void* aBookmark, uint32_t aSize) override;
  uint32_t sbcGetBookmarkCache(void* aBookmark, uint32_t aSize) override;
  uint32_t sbcCompareBookmarks(const void* aBookmark1, const void* aBookmark2, uint32_t aSize,
                               int32_t& aCompResult) override;
  uint32_t sbcBookmarkAsVariant(const void* aBookmark, uint32_t aSize, Variant& aVariant) override;
  uint32_t sbcRecNoGet(int32_t& aRecNo, bool aFlipOrder) override;
  uint32_t sbcRecNoSet(int32_t aRecNo, bool aFlipOrder) override;
  uint32_t SavePath() override;
  uint32_t RestorePath() override;
  TmvRefNr sacGetRefNr() override;
  void sacSetRefNr(TmvRefNr aRefNr) override;
  uint32_t sacGetRecordByID(TmvRefNr aRefNr, void* aRecordBuffer) override;
  bool sacHasKey(int32_t aIndex, const Variant& aValue) override;
  uint32_t sbcDuplicate(TmvOpenMode aOpenMode, TmvAbstractCursor*& aNewCursor, bool aForceWrite) override;

  // --- keys ----------------------------------------------------------------
  uint32_t BuildKey(const void* aRecord, void* aKey, bool aIgnoreFilter) override;
  uint32_t KeyToRecord(const void* aKey, void* aRecord) override;
  uint32_t sbcCompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1, const void* aKeyData1,
                          bool aDirectKey2, const void* aKeyData2, int32_t& aResult) override;
  ImvFieldsSource* sbcGetKeyFieldsSource() override;

  // --- content, table locks, streams, LSNs (mvsrServerTableCursorContent) ---
  uint32_t sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal) override;
  void sbcEndContentLock() override;
  uint32_t sbcCheckTransactionState() override;
  TmvLockPresent sbcTableIsLocked(TmvLockType aLockType) override;
  uint32_t sbcTableLockAcquire(TmvLockType aLockType) override;
  uint32_t sbcTableLockRelease(TmvLockType aLockType, bool aAllLocks) override;
  uint32_t sbcTableStreamGetList(TStrings* aStreams, bool aInternal) override;
  uint32_t sbcTableStreamWrite(const String& aName, TStream* aStream, bool aInternal) override;
  uint32_t sbcTableStreamRead(const String& aName, TStream* aStream, bool aInternal) override;
  uint32_t sbcTableStreamDelete(const String& aName, bool aInternal) override;
  // False without a transaction; else the next LSN of the block cache, which
  // the transaction and its innermost level take when it is above theirs.
  bool GetNextLSN(TmvLSN& aLSN);
  // The table's current LSN as the cursor's transaction sees it; 0 without.
  TmvLSN stcGetCurrentLSN();
  // Whether a cache client's record (aLSN, aRefNr) is still current; the
  // one missing is filled in. 8709 with both 0, 10764 without the index
  // needed, 8710 when not found, 8708 when it changed.
  uint32_t ContainsLSNRefNr(TmvLSN& aLSN, TmvRefNr& aRefNr) override;
  uint32_t stcContainsLSNRefNr(TmvLSN& aLSN, TmvRefNr& aRefNr);
  // The records deleted after aFromLSN, at most aMaxCount (at least 1:
  // 9986 otherwise), oldest first; aCurrentLSN (may be nil) is where the
  // client goes on from: the table's current LSN once everything was
  // given, else the last entry's LSN. 8706 when there is nothing.
  uint32_t GetDeletedRecords(TmvLSN aFromLSN, std::vector<TmvRecordCacheInfo>& aCacheInfos, int32_t aMaxCount,
                             TmvLSN* aCurrentLSN) override;
  uint32_t stcGetDeletedRecords(TmvLSN aFromLSN, std::vector<TmvRecordCacheInfo>& aCacheInfos, int32_t aMaxCount,
                                TmvLSN* aCurrentLSN);
  // The graveyard after a delete and an insert (nothing without one):
  // 15443 with the graveyard's text when an index refuses.
  uint32_t stcRecordBury(TmvRefNr aRefNr, const void* aData);
  uint32_t stcRecordResurrect(TmvRefNr aRefNr, const void* aData);
  String sbcExtractPassword() override;

  // --- record reading and writing (mvsrServerTableCursorRead/Write) -------
  // The integrity engine first (its failure ends the notification), then
  // the extenders.
  uint32_t NotifyExtenders(TmvEngineAction aAction, bool aBefore, TmvActionArgs aArgs) override;
  uint32_t sbcRecordGet(TmvLockType aLockType, void* aData) override;
  uint32_t sbcRecordGetNext(TmvLockType aLockType, void* aData) override;
  uint32_t sbcRecordGetPrior(TmvLockType aLockType, void* aData) override;
  uint32_t sbcRecordInsert(TmvLockType aLockType, TmvInsertOptions aInsertOptions, void* aData,
                           int64_t* aAutoInc) override;
  uint32_t sbcRecordModify(void* aData, bool aReleaseLock, const TmvRecordDiff* aDataDiff) override;
  uint32_t sbcRecordDelete(void* aData, TmvLSN aLSN) override;
  uint32_t sbcRecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey, const void* aKeyData,
                              void* aData, bool aMatchFirst, bool aFirstCall) override;
  uint32_t sbcRecordGetForKeyBatch(uint32_t aCutoffSize, TmvRecordGetBatchExOptions aOptions,
                                   TmvBatchStreamAccess*& aAccess, const TmvDataSetKeyBuffers& aKeys, bool aMatchFirst,
                                   bool aFirstCall) override;
  uint32_t sbcRecordIsLocked(TmvLockType aLockType, TmvLockPresent& aLockPresent) override;
  uint32_t sbcRecordLockRelease(bool aAllLocks, bool aCancelBlobs) override;
  uint32_t sbcRecordInsertBatch(TmvCustomMemoryStream* aStream) override;
  uint32_t sbcCopyRecords(TmvAbstractCursor* aDestCursor, TmvBlobCopyMode aBlobCopyMode, uint32_t aMaxTransSize,
                          bool aCheckValFields) override;
  uint32_t sbcDeleteRecords() override;
  uint32_t sbcAutoIncGet() override;
  uint32_t sbcAutoIncSet(uint32_t aAutoInc) override;
  void sbcAutoIncSetDirect(uint32_t aAutoInc) override;
  uint32_t sbcGetRecordCount(TmvRecordCountOption aOption, uint32_t& aRecCount, bool aEstimate) override;
  uint32_t GetRecordCountExAsync(TmvRecordCountOption aOption, TmvAbstractTaskInfo*& aTaskInfo) override;
  uint32_t sbcChangePassword(const String& aNewPassword) override;
  void sbcIterate(void** aData, const TmvKeyIterator& aKeyIterator, const TmvRecordIterator& aRecIterator,
                  bool aBackward, void* aCookie, bool aKeepPosition) override;
  uint32_t sbcBlobsCancel(TmvRefNr aRefNr) override;
  uint32_t sbcBlobRead(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                       TStream* aStream, bool aReadOrg, TmvNewBlobNr* aNewBlobNr) override;
  uint32_t sbcBlobGetLength(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t& aLength,
                            bool aReadOrg, TmvNewBlobNr* aNewBlobNr) override;
  uint32_t sbcBlobCreate(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr) override;
  uint32_t sbcBlobCreateFile(const TmvRecID& aRecID, int32_t aFieldNo, const String& aFileName,
                             TmvBlobNr& aBlobNr) override;
  uint32_t sbcBlobCreateLink(const TmvRecID& aRecID, int32_t aFieldNo, const String& aTableName,
                             TmvBlobNr aTableBlobNr, TmvBlobNr& aBlobNr) override;
  uint32_t sbcBlobFree(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr) override;
  uint32_t sbcBlobDelete(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr) override;
  uint32_t sbcBlobTruncate(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aBlobLength) override;
  uint32_t sbcBlobWrite(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                        const void* aBlob) override;
  uint32_t sbcBlobReplace(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr, uint32_t aLen,
                          const void* aBlob) override;
  bool sbcBlobIsLink(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, String& aSrcTableName,
                     TmvBlobNr& aSrcTableBlobNr) override;
  uint32_t sbcBlobModified(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, bool& aModified) override;
  uint32_t sbcBlobCopyPrim(TmvServerBaseCursor* aSrcCursor, int32_t aSrcFieldNo, TmvBlobNr aBlobNr,
                           int32_t aDestFieldNo, TmvBlobNr& aDestBlobNr, uint32_t aMaxLength) override;
  uint32_t sbcBlobCopyContentPrim(TmvServerBaseCursor* aSrcCursor, int32_t aSrcFieldNo, TmvBlobNr aBlobNr,
                                  int32_t aDestFieldNo, TmvBlobNr aDestBlobNr, uint32_t aMaxLength) override;
  uint32_t ascGetBlobCacheInfos(const TmvRecID& aRecID, std::vector<TmvBlobCacheInfo>& aBCIs) override;
  uint32_t ascSetBlobCacheFlushed(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                  TmvBlobNr aNewBlobNr) override;

  // --- BLOBs (mvsrServerTableCursorBlobs) ------------------------------------
  // The BLOB changes of one cached record at once, in one level of their
  // own: the first failure ends the batch and keeps nothing. aReply is the
  // packed reply (TmvBlobBatchReply) counting the entries done. A request
  // without record or entries does nothing; one of more than 65535 entries
  // answers 9986.
  uint32_t BlobBatchProcess(const TmvBlobBatchRequest& aRequest, std::vector<uint8_t>& aReply) override;
  uint32_t stcBlobBatchProcess(const TmvBlobBatchRequest& aRequest, std::vector<uint8_t>& aReply);
  uint32_t stcBlobBatchProcessEntry(TmvBaseTransaction* aTrans, const TmvRecID& aRecID,
                                    const TmvBlobBatchRequestEntry& aEntry, TmvBlobBatchReplyEntry& aReplyEntry);
  uint32_t sbcBlobReadSnapshoted(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                                 uint32_t aLen, TStream* aStream, bool aReadOrg, uint32_t* aBlobLen,
                                 TmvNewBlobNr* aNewBlobNr) override;
  uint32_t sbcBlobAddToCache(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aLen,
                             const void* aBlob) override;
  // A cache cursor lists the record's BLOBs through its handler.
  using TmvServerBaseCursor::GetBlobs;
  uint32_t GetBlobs(const void* aData, bool aMarkedOnly, uint16_t& aBlobCount, TmvBlobNr* aBlobNrs) override;
  uint32_t stcGetBlobs(const void* aData, bool aMarkedOnly, uint16_t& aBlobCount, TmvBlobNr* aBlobNrs);
  // Reads the record aRecID names into sbcRecordBuffer2: 8708 when it is
  // gone or its number now belongs to another record. A record not yet
  // stored (all bits set) and no record (all zero) pass.
  uint32_t stcBlobVerifyRecID(const TmvRecID& aRecID);
  // Whether aBlobNr still belongs to field aFieldNo of the record: 10030 for
  // number 0, 13058 when not, with the field's number now in aNewBlobNr
  // (0 when null). Inner expects the record read already.
  uint32_t stcBlobVerifyNr(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, TmvNewBlobNr* aNewBlobNr);
  uint32_t stcBlobVerifyNrInner(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                TmvNewBlobNr* aNewBlobNr);
  // Replaces the BLOB handler (taken over; the old one is freed).
  void stcSetBlobHandler(TmvBaseBlobHandler* aHandler);
  TmvBlobHandlerOwner* BlobOwner() const { return stcBlobOwner; }

  // --- other operations ----------------------------------------------------
  // The transaction in force of the cursor's context, or nil.
  TmvServerTransaction* stcTrans() const;
  // Reads the path's record into aBuffer in the cursor's transaction,
  // without lock or filter: 8709 off a record.
  uint32_t stcReadPathRecord(void* aBuffer);
  // -1 before the range, 0 inside, 1 after it.
  int32_t stcKeyInRange(const void* aKey);
  // A path with a valid key outside the range goes to BOF or EOF.
  void stcPutPathInRange();

  TmvServerBaseTable* Table() const { return stcTable; }
  TmvShareMode ShareMode() const { return stcShareMode; }
  TmvRefNr SelfRefNr() const { return stcSelfRefNr; }
  TmvBaseIndexEngine* IndexEngine() const { return stcIndexEngine; }
  TmvBaseIndexPath* IndexPath() const { return stcIndexPath; }
  const TmvRangeInfo& RangeStart() const { return stcRangeStart; }
  const TmvRangeInfo& RangeEnd() const { return stcRangeEnd; }
  TmvBaseBlobHandler* BlobHandler() const { return stcBlobHandler; }
  bool HasGraveyard() const { return stcGraveyardLSNIndexPath && stcGraveyardRefNrIndexPath; }

 private:
  // The record-count task walks the cursor with its filters detached.
  friend class TmvServerGetRecCountTaskInfo;
  // A shared content lock around aWork; its failure or exception is the
  // result.
  template <typename F>
  uint32_t Shared(F&& aWork) {
    try {
      return UnderSharedContentLock(aWork);
    } catch (...) {
      return asoConvertException();
    }
  }
  // The record and key filters when they are switched on, else nil.
  TmvBaseFilterEngine* ActiveFilter() const { return sbcFilter && sbcFilter->GetActive() ? sbcFilter : nullptr; }
  TmvBaseFilterEngine* ActiveKeyFilter() const {
    return sbcKeyFilter && sbcKeyFilter->GetActive() ? sbcKeyFilter : nullptr;
  }
  // What the destructor frees; also a half-made cursor's clean-up.
  void Release();
  TmvServerRootTable* Root() const;
  TmvServerTransContext* Context() const;
  TmvBaseIndicesEngine* Indices() const;
  TmvBaseKeyEngine* KeyEngine() const { return stcIndexEngine ? stcIndexEngine->KeyEngine() : nullptr; }
  // 10764 without an index.
  uint32_t NeedIndex() const;
  // Copies a direct key or builds the key of a record image into aKey.
  uint32_t TakeKey(bool aDirectKey, const void* aKeyData, void* aKey);
  // The path on aBuffer's record (aRefNr); with an index validated in the
  // cursor's transaction under a shared content lock: 0 or 8709.
  uint32_t PlacePath(TmvBaseIndexPath* aPath, const void* aBuffer, TmvRefNr aRefNr);
  // The index of a name or number: 0 and the engine (nil: no index), or
  // 9997.
  uint32_t ResolveIndex(const String& aIndexName, int32_t aIndexID, TmvBaseIndexEngine*& aEngine);
  void FreeKeys();
  void AllocKeys();
  // The paths of the sequential, ModifyLSN, record-number and graveyard
  // indexes.
  void CreateCachePaths();
  // Leaves the table's cursor list; frees an unnamed table left without
  // cursors.
  void LeaveTable();
  // The link this cursor uses, under the root's links padlock.
  void JoinLink(TmvServerTransactionLevelTableLink* aLink);
  // Waits for a new link; 0, or the failure (the link freed).
  uint32_t AwaitLink(TmvServerTransactionLevelTableLink* aLink);
  // The table stream name rule: 10068 unless the name is an identifier,
  // "$" names only when internal.
  static uint32_t CheckStreamName(const String& aName, bool aInternal);
  // The work of a write or delete of a named stream in a level of its own.
  uint32_t StreamChange(const String& aName, bool aInternal, const std::function<int32_t(TmvBaseTransaction*)>& aWork);
  // The key of aRecord (aRefNr) looked up in aIndex, any equal entry:
  // whether aPath stands on one.
  bool FindRecordKey(TmvBaseIndexEngine* aIndex, TmvBaseIndexPath* aPath, const void* aRecord, TmvRefNr aRefNr);
  // The graveyard texts.
  static uint32_t GraveyardError(bool aAdding);
  uint32_t NotYet(const char16_t* aOperation);
  // The write frame: transaction state, write intent, a level of its own
  // with the exclusive content lock around aWork, committed or rolled back.
  uint32_t stcBlobWriteFrame(const std::function<uint32_t(TmvBaseTransaction*)>& aWork);
  // The read frame: the shared content lock and the verification, which a
  // read forgives when the field holds another BLOB now (aWork gets that).
  uint32_t stcBlobReadFrame(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, TmvNewBlobNr* aNewBlobNr,
                            const std::function<uint32_t(TmvBlobNr)>& aWork);
  bool ReadOrg(bool aReadOrg) const;
  // The copy of sbcBlobCopyPrim (aNewBlob) and sbcBlobCopyContentPrim.
  uint32_t stcBlobCopy(TmvServerBaseCursor* aSrcCursor, TmvBlobNr aBlobNr, TmvBlobNr& aDestBlobNr,
                       uint32_t aMaxLength, bool aNewBlob);

  // --- helpers of reading and writing records ---------------------------
  // A record lock on aRefNr: 0 (aNew: granted new), or aConflictCode with
  // the conflict's reason and the table's name.
  uint32_t LockRecord(TmvRefNr aRefNr, bool aConditional, uint32_t aConflictCode, bool& aNew);
  // One step of the path forward or backward inside the range, the record
  // read into aData when set: 0, or 8706 (8705) with the path at the end.
  // aKeyStop receives a key filter's timeout.
  uint32_t StepPath(bool aForward, void* aData, uint32_t& aKeyStop);
  // The next (prior) read: the entry from BOF (EOF) through the range
  // start (end), then steps while the record filter rejects.
  uint32_t ReadStep(bool aForward, TmvLockType aLockType, void* aData);
  // One lookup of sbcRecordGetForKey with the key in stcKeyBuffer.
  uint32_t FindForKey(int32_t aFieldCount, int32_t aPartialLen, void* aData, bool aMatchFirst, bool aFirstCall);
  // The count by walking the range (filters off for the lower options).
  uint32_t CountByWalking(TmvRecordCountOption aOption, uint32_t& aCount);
  // Whether aRecord (and its key) is visible through range and filters:
  // 0, or the 10258 text's suffix number (1 range, 2 filter, 3 key filter,
  // 4 conditional index).
  int32_t Invisible(const void* aRecord);
  // Whether the path's record is out of sight after a change.
  bool PathHidden(const void* aRecord);
  // A level of the cursor's own when the rule asks for one: 0 and aOwn.
  uint32_t StartOwnLevel(bool aBlobTest, bool& aOwn);
  uint32_t EndOwnLevel(bool aOwn, uint32_t aResult);
  // Modify's and delete's start: the current record locked (aConflictCode
  // on conflict), the own level, the exclusive content lock, then the path
  // checked and locked again under the lock. The out flags say what to undo.
  uint32_t BeginCurrentWrite(bool aBlobTest, uint32_t aConflictCode, bool& aLocked, TmvRefNr& aLockedRefNr,
                             bool& aLockNew, bool& aOwn, bool& aContentLocked);
  // The write-intent lock (none on an exclusive cursor): 0 or 10245.
  uint32_t WriteIntent(bool& aNew);
  void MarkCorrupted();
  uint32_t InsertOneOfBatch(uint8_t* aRecord);

  TmvServerBaseTable* stcTable;
  TmvShareMode stcShareMode;
  TmvRefNr stcSelfRefNr;
  // The low half of stcSelfRefNr, unique among the live cursors.
  uint32_t stcSelfID;
  int32_t stcInUseCount = 0;
  bool stcInTable = false;
  bool stcPortalRead = false;
  int32_t stcPortalReads = 0;
  TmvBaseIndexEngine* stcIndexEngine = nullptr;
  TmvBaseIndexPath* stcIndexPath = nullptr;
  TmvBaseIndexPath* stcSavePath = nullptr;
  TmvBaseIndexPath* stcTempPath = nullptr;
  TmvBaseIndexEngine* stcSeqAccessIndexEngine = nullptr;
  TmvBaseIndexPath* stcSeqAccessIndexPath = nullptr;
  TmvBaseIndexEngine* stcLSNIndexEngine = nullptr;
  TmvBaseIndexPath* stcLSNIndexPath = nullptr;
  TmvBaseIndexEngine* stcRefNrIndexEngine = nullptr;
  TmvBaseIndexPath* stcRefNrIndexPath = nullptr;
  TmvBaseIndexEngine* stcGraveyardLSNIndexEngine = nullptr;
  TmvBaseIndexPath* stcGraveyardLSNIndexPath = nullptr;
  TmvBaseIndexEngine* stcGraveyardRefNrIndexEngine = nullptr;
  TmvBaseIndexPath* stcGraveyardRefNrIndexPath = nullptr;
  TmvBaseFulltextCursorEngine* stcFulltextEngine = nullptr;
  TmvBaseRefIntegrityEngine* stcRefIntEngine = nullptr;
  void* stcKeyBuffer = nullptr;
  TmvRangeInfo stcRangeStart;
  TmvRangeInfo stcRangeEnd;
  TmvBlobHandlerOwner* stcBlobOwner = nullptr;
  TmvBaseBlobHandler* stcBlobHandler = nullptr;
  TStcKeyFieldsOwner* stcKeyFieldsOwner = nullptr;
  TInterfacePtr<ImvFieldsSource> stcKeyFieldsSource;
};

// The transaction context's access to table cursors (content locks of a
// transaction started with cursors); installed by the server units.
void mvsrServerTableCursorInit();
void mvsrServerTableCursorFini();
