// Server engine: the abstract cursor of the engine interface (unit
// mvsdAbstractCursor).
//
// A cursor is a position in one table or result set and every operation a
// client performs through it: positioning, bookmarks, record reads and
// writes, record batches, filters, indexes, keys and ranges, BLOBs, named
// streams, locks and counts. Clients (the dataset components, the SQL data
// bridge) hold only `TmvAbstractCursor`; a database's CursorOpen makes the
// concrete cursor. Two abstract layers stand between:
//  - `TmvAbstractServerCursor` adds the BLOB-cache operations of the engine
//    side;
//  - `TmvSqlAbstractCursor` adds the protected sbc/sac operations that every
//    public operation of the in-process cursor is carried out by, and that
//    the SQL engine calls directly, below the session lock.
//
// What lives here besides the operation set: the bookkeeping of a cursor in
// its database's list and the engine's counter, the cursor options (hints
// about the call that follows), record buffers and record identities, field
// values as variants (BLOB fields read and written through the cursor), the
// key overloads, the filter helpers, the snapshot BLOB read, BlobReplace,
// BLOB batches, marked BLOBs and the request-close handler. Operations whose
// class cannot do them answer 12289 after recording "%s not supported by
// %s" for the caller. Every operation with a result returns 0 or an engine
// error code.
//
// Ownership: a cursor belongs to its database (freed with it, or through
// the server-object Free); a database that frees itself with its last
// cursor goes when that cursor does. Threads: used under its session's
// lock; the database's cursor list and the request-close handler have
// padlocks of their own. Calls the server objects, the database, the data
// dictionary's fields and filters, and storage's deadline routines.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "dictionary/filters/mvsdFilterDescriptor.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdDictionaryCursor.h"
#include "foundation/types/mvsdTypes.h"
#include "server/mvsdAbstractDatabase.h"
#include "server/mvsdRequestClose.h"

class TStream;
class TStrings;
class TmvCANExpr;
class TmvCustomMemoryStream;
class TmvMemoryStream;
class TmvDataDictionary;
class TmvBaseTableDescriptor;
class TmvBatchStreamAccess;
class TmvAbstractRemoteCursor;

// ---------------------------------------------------------------------------
// Types that cross the cursor interface

// Hints from the client about the call that follows; the set fits one
// 32-bit word (bit n for ordinal n).
enum TmvAbstractCursorOption : uint8_t {
  acoChainedRecordGetUsesWriteLock,
  acoFailClientFilterFast,
  acoFilterActionFollowedByFirst,
  acoFilterActionFollowedBySync,
  acoFlipOrder,
  acoLockReleaseFollowedByRecordGet,
  acoPreCacheMarkedBlobs,
  acoRangeResetFollowedBySync,
  acoRangeSetFollowedByRecordGetNext,
  acoRangeSetFollowedBySetToBegin,
  acoRecNoSetFollowedBySync,
  acoRecordDeleteFollowedBySync,
  acoRecordGetFollowedByGetBookmark,
  acoRecordGetForKeyFollowedByRecordGet,
  acoRecordInsertFollowedByRecordGet,
  acoRecordModifyFollowedBySync,
  acoSetToBeginFollowedByRecordGetNext,
  acoSetToBookmarkFollowedByNothing,
  acoSetToBookmarkFollowedByRecordGet,
  acoSetToBookmarkFollowedByRecordGetNext,
  acoSetToBookmarkFollowedByRecordGetPrior,
  acoSetToBookmarkFollowedBySync,
  acoSetToCursorFollowedBySyncExact,
  acoSetToEndFollowedByRecordGetPrior,
  acoSetToKeyFollowedBySync,
  acoSkipReadingBlobDataForBatch,
};
inline constexpr int mvAbstractCursorOptionCount = 26;
using TmvAbstractCursorOptions = uint32_t;

enum TmvAbstractCursorCapability : uint8_t { accCancelBlobs, accCaching };
using TmvAbstractCursorCapabilities = uint8_t;

enum TmvAbstractCursorState : uint8_t { acsAutoFreeDatabase, acsLockedIncDone, acsIsCacheable, acsIsCache };
using TmvAbstractCursorStates = uint8_t;

enum TmvPosnOnRec : uint8_t { porFalse, porTrue, porTry };

// One bit per BLOB field in BLOB-field order; empty means no BLOB is marked.
using TmvMarkedBlobsByBlobIdx = std::vector<uint32_t>;
using TmvBlobNrs = std::vector<TmvBlobNr>;

// A modification sent as a difference against the current record: the
// difference (TmvDiffCompressorInfo layout), a full image that replaces the
// rebuilt one (or nil), and the BLOB batch to apply to the rebuilt record
// (or nil).
struct TmvRecordDiffBlobBatch {
  const TmvBlobBatchRequest* Request = nullptr;
  const TmvBlobBatchReply* Reply = nullptr;
};
struct TmvRecordDiff {
  const uint8_t* rdDiff = nullptr;
  const uint8_t* rdFull = nullptr;
  const TmvRecordDiffBlobBatch* rdBlobBatch = nullptr;
};

// One key of a key batch, as the dataset allocates it: this header, then
// the key bytes (kbDirectKey) or a record image (mvKeyBufferData).
struct TmvDataSetKeyBuffer {
  int32_t kbFieldCount = 0;  // 0: every field of the index
  int32_t kbPartialLen = 0;
  bool kbModified = false;
  bool kbExclusive = false;
  bool kbDirectKey = false;
  bool kbPadding = false;
};
using TmvDataSetKeyBuffers = std::vector<TmvDataSetKeyBuffer*>;
inline uint8_t* mvKeyBufferData(TmvDataSetKeyBuffer* aBuffer) {
  return reinterpret_cast<uint8_t*>(aBuffer) + sizeof(TmvDataSetKeyBuffer);
}

// A cursor's table statistics (all zero unless the concrete cursor fills
// them).
struct TmvServerTableStats {
  uint32_t stsUsedBlocks = 0;
  uint32_t stsAvailableBlocks = 0;
  TmvBlockSignature stsHeaderSignature{};
  String stsMainFileName;
  int64_t stsMainFileSize = 0;
  int32_t stsFileVersion = 0;
  int32_t stsOpenCursors = 0;
  int32_t stsOpenByDatabases = 0;
  int32_t stsOpenBySessions = 0;
  int32_t stsNamedStreamCount = 0;
};

// Key data arguments are either key bytes in the index's key format or a
// record buffer from which the cursor builds the key; the typed overloads
// tell them apart and pass the aDirectKey flag on.
struct TmvKeyData {
  const void* Data;
};
struct TmvRecordData {
  const void* Data;
};

// ---------------------------------------------------------------------------
// TmvAbstractCursor

class TmvAbstractCursor : public TmvAbstractTimeoutObject, public ImvFieldsSource, public ImvDictionaryCursor {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // Takes the session's lock, links itself at the tail of the database's
  // cursor list; the database is its parent.
  TmvAbstractCursor(TmvAbstractDatabase* aDatabase, uint32_t aTimeout);
  // Unlinks itself, releases the shared infos and, when it was the last
  // cursor of a database that frees itself with its last cursor, frees that
  // database.
  ~TmvAbstractCursor() override;

  // The extendable steps, then the engine's cursor counter.
  void AfterConstruction() override;
  void BeforeDestruction() override;

  // --- virtual operations, in slot order ---------------------------------
  virtual TmvDataDictionary* Get_Dictionary() = 0;
  virtual TmvBaseTableDescriptor* GetTableDescriptor() = 0;
  virtual String acGetFullName() = 0;
  virtual String acGetAliasName() { return String(); }
  // Stores a variant into a field of aBuffer; a BLOB field is written
  // through the cursor (created, written and truncated, or deleted). Every
  // failing BLOB call raises.
  virtual void SetFieldAsVariantSelf(void* aBuffer, int32_t aField, const Variant& aValue);
  virtual bool acSnapshotRequiredForBlobRead(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                             bool aReadOrg);
  // The database's TransactionStart (not fail-safe, snapshot) and
  // TransactionRollback.
  virtual uint32_t acTransactionStartForBlobReadSnapshoted();
  virtual uint32_t acTransactionRollbackForBlobReadSnapshoted();
  // The fields descriptor, record length and special-fields info of the
  // table descriptor.
  virtual void acLoadFieldsInfo();
  virtual uint32_t SavePath();
  virtual uint32_t RestorePath();
  // Raises 12289 here.
  virtual void RequestNestedTransactions();
  // Record length + 4 bytes from the engine allocator, cleared.
  virtual void* RecordBufferAlloc();
  virtual void RecordBufferFree(void* aBuffer);
  // Every byte 0, every field null; nil is ignored.
  virtual void RecordBufferClear(void* aBuffer);
  virtual uint32_t SetToBegin() = 0;
  virtual uint32_t SetToCursor(TmvAbstractCursor* aCursor) = 0;
  virtual uint32_t SetToEnd() = 0;
  virtual uint32_t SetToFilter(TmvBaseFilterDescriptor* aFilter, TmvBaseFilterDescriptor* aKeyFilter,
                               bool aForward) = 0;
  virtual uint32_t sbcGetBookmarkSize(uint32_t& aSize) = 0;
  virtual uint32_t GetBookmark(void* aBookmark, uint32_t aSize) = 0;
  virtual uint32_t GetBookmarkCache(void* aBookmark, uint32_t aSize);
  virtual uint32_t CompareBookmarks(const void* aBookmark1, const void* aBookmark2, uint32_t aSize,
                                    int32_t& aCompResult) = 0;
  virtual uint32_t SetToBookmark(const void* aBookmark, uint32_t aSize) = 0;
  virtual uint32_t SetToCacheBookmark(const void* aBookmark, uint32_t aSize);
  virtual uint32_t BookmarkAsVariant(const void* aBookmark, uint32_t aSize, Variant& aVariant) = 0;
  virtual uint32_t BookmarkCheckLocal(const void* aBookmark, uint32_t aSize);
  // 0 when record numbers are supported.
  virtual uint32_t RecNoSupported() = 0;
  virtual uint32_t RecNoGet(int32_t& aRecNo, bool aFlipOrder) = 0;
  virtual uint32_t RecNoSet(int32_t aRecNo, bool aFlipOrder) = 0;
  // aData nil: only move or lock. 8705 / 8706 at the ends.
  virtual uint32_t RecordGet(TmvLockType aLockType, void* aData) = 0;
  virtual uint32_t RecordGetNext(TmvLockType aLockType, void* aData) = 0;
  virtual uint32_t RecordGetPrior(TmvLockType aLockType, void* aData) = 0;
  // aAutoInc (may be nil) receives the new auto-increment value.
  virtual uint32_t RecordInsert(TmvLockType aLockType, void* aData, int64_t* aAutoInc) = 0;
  virtual uint32_t RecordModify(void* aData, bool aReleaseLock, const TmvRecordDiff* aDataDiff) = 0;
  virtual uint32_t RecordDelete(void* aData, TmvLSN aLSN) = 0;
  virtual uint32_t RecordIsLocked(TmvLockType aLockType, TmvLockPresent& aLockPresent) = 0;
  virtual uint32_t RecordLockRelease(bool aAllLocks, bool aCancelBlobs) = 0;
  virtual uint32_t AutoIncGet(uint32_t& aValue, bool aAllowCached) = 0;
  virtual uint32_t AutoIncSet(uint32_t aValue) = 0;
  // Wrap the expression (with the thread's ANSI code page) or the callback
  // in a descriptor for FilterAddCustom, and free it afterwards.
  virtual uint32_t FilterAddExpression(const TmvCANExpr& aExpression, TmvFilterID& aFilterID, bool aActivated);
  virtual uint32_t FilterAddCallback(void* aCookie, TmvFilterCallback aCallback, TmvFilterID& aFilterID,
                                     bool aActivated);
  virtual uint32_t FilterAddCustom(TmvBaseFilterDescriptor* aFilter, TmvFilterID& aFilterID, bool aActivated) = 0;
  virtual uint32_t FilterReplaceCustom(TmvBaseFilterDescriptor* aFilter, TmvFilterID& aFilterID, bool aActivated,
                                       bool aIgnoreDropError) = 0;
  virtual uint32_t FilterSetTimeout(uint32_t aTimeout) = 0;
  virtual uint32_t FilterActivate(TmvFilterID aFilterID) = 0;
  virtual uint32_t FilterDeactivate(TmvFilterID aFilterID) = 0;
  virtual uint32_t FilterRemove(TmvFilterID aFilterID) = 0;
  // A remote cursor's client-side filter; none in process.
  virtual bool HasActiveLocalFilter() { return false; }
  virtual void FilterBeginTimeout() {}
  virtual bool FilterMatchesBuffer(const void*) { return true; }
  virtual uint32_t SwitchToIndex(const String& aIndexName, int32_t aIndexID, TmvPosnOnRec aPosnOnRec) = 0;
  virtual uint32_t GetIndexID(int32_t& aIndexID) = 0;
  virtual uint32_t SetToKey(TmvSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                            const void* aKeyData) = 0;
  virtual uint32_t RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey, const void* aKeyData,
                                   void* aData, bool aMatchFirst, bool aFirstCall) = 0;
  virtual uint32_t RecordGetForKeyBatch(uint32_t aCutoffSize, TmvRecordGetBatchExOptions aOptions,
                                        TmvBatchStreamAccess*& aAccess, const TmvDataSetKeyBuffers& aKeys,
                                        bool aMatchFirst, bool aFirstCall) = 0;
  virtual uint32_t RangeReset() = 0;
  // Nil key data leaves that end open.
  virtual uint32_t RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1, const void* aKeyData1,
                            bool aKeyIncl1, int32_t aFieldCount2, int32_t aPartialLen2, bool aDirectKey2,
                            const void* aKeyData2, bool aKeyIncl2) = 0;
  virtual uint32_t CompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1, const void* aKeyData1,
                               bool aDirectKey2, const void* aKeyData2, int32_t& aResult) = 0;
  virtual uint32_t BuildKey(const void* aRecord, void* aKey, bool aIgnoreFilter);
  virtual uint32_t KeyToRecord(const void* aKey, void* aRecord);
  virtual uint32_t KeyFilterAddExpression(const TmvCANExpr& aExpression, TmvKeyFilterID& aKeyFilterID);
  virtual uint32_t KeyFilterAddCallback(void* aCookie, TmvFilterCallback aCallback, TmvKeyFilterID& aKeyFilterID);
  virtual uint32_t KeyFilterAddCustom(TmvBaseFilterDescriptor* aKeyFilter, TmvKeyFilterID& aKeyFilterID) = 0;
  virtual uint32_t KeyFilterActivate(TmvKeyFilterID aKeyFilterID) = 0;
  virtual uint32_t KeyFilterDeactivate(TmvKeyFilterID aKeyFilterID) = 0;
  virtual uint32_t KeyFilterRemove(TmvKeyFilterID aKeyFilterID) = 0;
  // Fills a record-batch stream (mvsdBatchStreamAccess.h); aMaxRecords below
  // 1 means no limit.
  virtual uint32_t RecordGetBatch(uint32_t aCutoffSize, TmvRecordGetBatchExOptions aOptions,
                                  TmvBatchStreamAccess*& aAccess, int32_t aMaxRecords, bool aForward) = 0;
  virtual uint32_t RecordInsertBatch(TmvCustomMemoryStream* aStream) = 0;
  virtual uint32_t CopyRecords(TmvAbstractCursor* aDestCursor, TmvBlobCopyMode aBlobCopyMode,
                               uint32_t aMaxTransSize) = 0;
  virtual uint32_t CopyRecordsEx(TmvAbstractCursor* aDestCursor, TmvBlobCopyMode aBlobCopyMode, uint32_t aMaxTransSize,
                                 bool aCheckValFields) = 0;
  virtual uint32_t DeleteRecords() = 0;
  virtual uint32_t BlobsCancel(TmvRefNr aRefNr) = 0;
  // aReply receives the packed reply (TmvBlobBatchReply).
  virtual uint32_t BlobBatchProcess(const TmvBlobBatchRequest& aRequest, std::vector<uint8_t>& aReply);
  // Stores each reply number into the field of the request entry of the
  // same index. A reply with more entries than the request, or an entry
  // naming a field that is not a BLOB field, answers 9986 and leaves the
  // record unchanged.
  virtual uint32_t BlobBatchApply(void* aData, const TmvBlobBatchRequest& aRequest, const TmvBlobBatchReply* aReply);
  virtual uint32_t BlobBatchEntryApply(void* aData, const TmvRecID& aRecID,
                                       const TmvBlobBatchRequestEntry& aRequestEntry,
                                       const TmvBlobBatchReplyEntry& aReplyEntry);
  virtual uint32_t BlobCreate(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr) = 0;
  virtual uint32_t BlobCreateFile(const TmvRecID& aRecID, int32_t aFieldNo, const String& aFileName,
                                  TmvBlobNr& aBlobNr) = 0;
  virtual uint32_t BlobDelete(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr) = 0;
  virtual uint32_t BlobFree(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr) = 0;
  // Deadline and session lock around sbcBlobRead; its exceptions pass on
  // after the lock is released. aLen 0xFFFFFFFF reads to the end.
  virtual uint32_t BlobRead(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                            uint32_t aLen, TStream* aStream, bool aReadOrg, TmvNewBlobNr* aNewBlobNr);
  virtual uint32_t sbcBlobRead(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                               uint32_t aLen, TStream* aStream, bool aReadOrg, TmvNewBlobNr* aNewBlobNr) = 0;
  // Reads a BLOB in pieces under an optional snapshot transaction that
  // aSnapshot steers (TmvBlobReadSnapshotState); exceptions become codes.
  virtual uint32_t BlobReadSnapshoted(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                                      uint32_t aLen, TStream* aStream, bool aReadOrg,
                                      TmvBlobReadSnapshotState& aSnapshot, uint32_t* aBlobLen,
                                      TmvNewBlobNr* aNewBlobNr);
  // Length (when aBlobLen is given) and read, each retried with the new
  // number while the BLOB was replaced meanwhile, at most
  // mvBlobReadRetryLimit times; then 13058.
  virtual uint32_t sbcBlobReadSnapshoted(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                                         uint32_t aLen, TStream* aStream, bool aReadOrg, uint32_t* aBlobLen,
                                         TmvNewBlobNr* aNewBlobNr);
  virtual uint32_t BlobWrite(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                             uint32_t aLen, const void* aBlob) = 0;
  // Truncates an existing BLOB (or creates one into aBlobNr) and writes
  // aLen bytes; exceptions become codes.
  virtual uint32_t BlobReplace(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr, uint32_t aLen,
                               const void* aBlob);
  virtual uint32_t BlobTruncate(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aBlobLength) = 0;
  // Deadline and session lock around sbcBlobGetLength, as BlobRead.
  virtual uint32_t BlobGetLength(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t& aLength,
                                 bool aReadOrg, TmvNewBlobNr* aNewBlobNr);
  virtual uint32_t sbcBlobGetLength(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t& aLength,
                                    bool aReadOrg, TmvNewBlobNr* aNewBlobNr) = 0;
  virtual uint32_t BlobModified(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, bool& aModified) = 0;
  virtual uint32_t BlobAddToCache(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aLen,
                                  const void* aBlob);
  // A copy of the set (empty: nothing marked; no bit set: nothing marked);
  // a non-empty set shorter than the BLOB fields need gives 9986.
  virtual uint32_t BlobsSetMarked(const TmvMarkedBlobsByBlobIdx& aMarkedBlobs);
  virtual uint32_t TableStreamGetList(TStrings* aStreams) = 0;
  virtual uint32_t TableStreamWrite(const String& aName, TStream* aStream) = 0;
  virtual uint32_t TableStreamRead(const String& aName, TStream* aStream) = 0;
  virtual uint32_t TableStreamDelete(const String& aName) = 0;
  virtual uint32_t TableIsLocked(TmvLockType aLockType, TmvLockPresent& aLockPresent) = 0;
  virtual uint32_t TableLockAcquire(TmvLockType aLockType) = 0;
  virtual uint32_t TableLockRelease(TmvLockType aLockType, bool aAllLocks) = 0;
  virtual uint32_t Duplicate(TmvOpenMode aOpenMode, TmvAbstractCursor*& aNewCursor) = 0;
  virtual uint32_t ChangePassword(const String& aNewPassword) = 0;
  virtual uint32_t GetRecordCount(uint32_t& aRecCount, bool aEstimate) = 0;
  virtual uint32_t GetRecordCountAsync(TmvAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t GetRecordCountEx(TmvRecordCountOption aOption, uint32_t& aRecCount, bool aEstimate) = 0;
  virtual uint32_t GetRecordCountExAsync(TmvRecordCountOption aOption, TmvAbstractTaskInfo*& aTaskInfo) = 0;
  // ImvDictionaryCursor too: false here.
  bool GetNextLSN(TmvLSN& aLSN) override;
  // aBlobCount carries the capacity of aBlobNrs in and the number of
  // entries out: the non-null BLOB fields with a number (only the marked
  // ones with aMarkedOnly). 9985 when they do not fit, 9986 for nil aData.
  virtual uint32_t GetBlobs(const void* aData, bool aMarkedOnly, uint16_t& aBlobCount, TmvBlobNr* aBlobNrs);
  // 8709 when both are 0, else not supported here.
  virtual uint32_t ContainsLSNRefNr(TmvLSN& aLSN, TmvRefNr& aRefNr);
  virtual uint32_t GetDeletedRecords(TmvLSN aFromLSN, std::vector<TmvRecordCacheInfo>& aCacheInfos, int32_t aMaxCount,
                                     TmvLSN* aCurrentLSN);

  // --- non-virtual operations --------------------------------------------
  // The identity of the record in aBuffer (RefNr and InsertLSN fields, 0
  // for a field the table lacks); for nil the no-record value (all bits set).
  TmvRecID acGetRecID(const void* aBuffer);
  // True when the option(s) changed.
  bool AddCursorOption(TmvAbstractCursorOption aOption);
  bool AddCursorOptions(TmvAbstractCursorOptions aOptions);
  bool RemoveCursorOption(TmvAbstractCursorOption aOption);
  bool RemoveCursorOptions(TmvAbstractCursorOptions aOptions);
  bool HasAllCursorOptions(TmvAbstractCursorOptions aOptions) const { return (acOptions & aOptions) == aOptions; }
  bool HasAnyCursorOptions(TmvAbstractCursorOptions aOptions) const { return (acOptions & aOptions) != 0; }
  // 12289 on a cursor that is not cacheable, 8709 for nil aData or a record
  // whose RefNr or ModifyLSN is 0.
  uint32_t ExtractCacheInfo(const void* aData, TmvRecordCacheInfo& aCacheInfo);
  uint32_t ContainsCacheInfo(const TmvRecordCacheInfo& aCacheInfo);
  // A new access over aStream (nil: a new stream), owned by the caller.
  TmvBatchStreamAccess* CreateBatchStreamAccess(TmvMemoryStream* aStream, TmvRecordGetBatchExOptions aOptions);
  // The array form: emptied on error.
  uint32_t GetBlobs(const void* aData, bool aMarkedOnly, TmvBlobNrs& aBlobNrs);
  // The field as a variant; BLOB fields read through the cursor (Null when
  // null or empty). A failing BLOB call raises.
  Variant GetFieldAsVariantSelf(const void* aBuffer, int32_t aField);
  // The key overloads.
  uint32_t RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, TmvKeyData aKey1, bool aKeyIncl1, int32_t aFieldCount2,
                    int32_t aPartialLen2, TmvKeyData aKey2, bool aKeyIncl2);
  uint32_t RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, TmvRecordData aKey1, bool aKeyIncl1,
                    int32_t aFieldCount2, int32_t aPartialLen2, TmvRecordData aKey2, bool aKeyIncl2);
  uint32_t RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, TmvRecordData aKey1, bool aKeyIncl1,
                    int32_t aFieldCount2, int32_t aPartialLen2, TmvKeyData aKey2, bool aKeyIncl2);
  uint32_t RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, TmvKeyData aKey1, bool aKeyIncl1, int32_t aFieldCount2,
                    int32_t aPartialLen2, TmvRecordData aKey2, bool aKeyIncl2);
  uint32_t SetToKey(TmvSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen, TmvRecordData aKey);
  uint32_t SetToKey(TmvSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen, TmvKeyData aKey);
  uint32_t RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, TmvKeyData aKey, void* aData, bool aMatchFirst,
                           bool aFirstCall);
  uint32_t RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, TmvRecordData aKey, void* aData, bool aMatchFirst,
                           bool aFirstCall);

  // "<Cursor>" resolves on the cursor, "<Database>" on its database.
  int32_t CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                            void** aInterface) override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  // ImvFieldsSource over the cursor's own record buffers.
  int32_t QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override { return -1; }
  int32_t _Release() override { return -1; }
  bool GetFieldForFilter(int32_t aField, const String& aName, const void* aData, TmvFieldType& aType, uint16_t& aSize,
                         bool& aIsNull, const void*& aValue, uint16_t& aCodePage) override;
  Variant GetFieldAsVariant(const void* aData, int32_t aIndex) override { return GetFieldAsVariantSelf(aData, aIndex); }
  bool BlobsSupported() override { return true; }
  int32_t GetFieldFromName(const String& aName) override;
  int32_t GetFieldCount() override;
  ImvFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override;
  TmvAbstractCursor* GetCursor() override { return this; }
  int32_t GetFieldsOffset() override { return 0; }

  // ImvDictionaryCursor: the session's user; a whole BLOB for a CHECK
  // condition (without record verification).
  String GetSessionUserName() override;
  uint32_t ReadBlob(int32_t aFieldNo, TmvBlobNr aBlobNr, std::vector<uint8_t>& aContent) override;

  // Properties.
  TmvFieldsDescriptor* FieldsDescriptor();
  TmvSpecialFieldsInfo* SFI() const { return acSFI; }
  // Fetched on first use.
  TmvDiffCompressorInfo* DCI();
  TmvAbstractDatabase* Database() const { return acDatabase; }
  TmvAbstractCursor* DatabasePrev() const { return acDatabasePrev; }
  TmvAbstractCursor* DatabaseNext() const { return acDatabaseNext; }
  TmvAbstractCursorOptions CursorOptions() const { return acOptions; }
  void SetCursorOptions(TmvAbstractCursorOptions aOptions) { acOptions = aOptions; }
  TmvAbstractCursorCapabilities Capabilities() const { return acCapabilities; }
  TmvAbstractCursorStates States() const { return acStates; }
  bool IsCache() const { return mvInSet(acStates, acsIsCache); }
  const TmvMarkedBlobsByBlobIdx& MarkedBlobs() const { return acMarkedBlobs; }
  uint32_t RecordLength() const { return acRecordLength; }
  // Whether the BLOB field of BLOB index aBlobIndex is marked.
  bool BlobMarked(int32_t aBlobIndex) const;
  String FullName() { return acGetFullName(); }
  String AliasName() { return acGetAliasName(); }

  bool IsResultSet = false;
  bool IsUnnamed = false;

 protected:
  // The frame of the public operations that leave exceptions to their
  // caller: the thread's deadline and the session lock around aWork; an
  // exception passes on once the lock is released.
  template <typename F>
  uint32_t PassThroughCall(F&& aWork) {
    atoEnter(false);
    uint32_t result;
    try {
      result = aWork();
    } catch (...) {
      uint32_t ignored = 0;
      atoLeave(false, ignored);
      throw;
    }
    atoLeave(false, result);
    return result;
  }

  // The 8-byte value of a BLOB field: false (and 0) when the field is null.
  // Writing 0 makes the field null.
  bool ReadBlobField(const void* aRecord, int32_t aField, TmvBlobNr& aBlobNr);
  void WriteBlobField(void* aRecord, int32_t aField, TmvBlobNr aBlobNr);

  TmvAbstractDatabase* acDatabase;
  TmvAbstractCursor* acDatabasePrev = nullptr;
  TmvAbstractCursor* acDatabaseNext = nullptr;
  TmvFieldsDescriptor* acFieldsDescriptor = nullptr;
  TmvCacheableInfo* acCacheableInfo = nullptr;  // one reference
  TmvSpecialFieldsInfo* acSFI = nullptr;        // one reference
  TmvDiffCompressorInfo* acDCI = nullptr;       // one reference
  TmvMarkedBlobsByBlobIdx acMarkedBlobs;
  uint32_t acRecordLength = 0;
  TmvAbstractCursorOptions acOptions = 0;
  TmvAbstractCursorCapabilities acCapabilities = 0;
  TmvAbstractCursorStates acStates = 0;

 private:
  friend class TmvAbstractDatabase;
  void acLinkToDatabase();
  // True when the database goes with this, its last cursor.
  bool acUnlinkFromDatabase();
};

// How often a BLOB read follows a BLOB replaced meanwhile before it gives up
// with 13058.
inline constexpr int mvBlobReadRetryLimit = 16;

// ---------------------------------------------------------------------------
// TmvAbstractServerCursor

class TmvAbstractServerCursor : public TmvAbstractCursor {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  using TmvAbstractCursor::TmvAbstractCursor;

  virtual uint32_t ascGetBlobCacheInfos(const TmvRecID& aRecID, std::vector<TmvBlobCacheInfo>& aBCIs) = 0;
  virtual uint32_t ascSetBlobCacheFlushed(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                          TmvBlobNr aNewBlobNr) = 0;
  // Asks the remote cursor; there is none in process: 12289.
  uint32_t ascBlobRequestCache(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr);

  // Always nil: no remote cursors exist in this system.
  TmvAbstractRemoteCursor* ascRemoteCursor = nullptr;
};

// ---------------------------------------------------------------------------
// TmvSqlAbstractCursor

class TmvSqlAbstractCursor : public TmvAbstractServerCursor {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  using TmvAbstractServerCursor::TmvAbstractServerCursor;
  // Clears the handler under its padlock, then frees the padlock.
  ~TmvSqlAbstractCursor() override;

  virtual bool sacIsWrapper() { return false; }
  virtual void sbcMarkReadonly() = 0;
  virtual String sbcGetRootName() = 0;
  virtual TmvIndexPathPosition sbcGetPosition() = 0;
  // Stores the handler under its padlock (made on first use); ignored while
  // the cursor is being destroyed.
  virtual void sbcSetOnRequestClose(ImvRequestCloseHandler* aHandler);
  virtual uint32_t sbcSwitchToIndex(const String& aIndexName, int32_t aIndexID, TmvPosnOnRec aPosnOnRec) = 0;
  virtual uint32_t sbcGetIndexID(int32_t& aIndexID) = 0;
  virtual void sbcRangeReset() = 0;
  virtual uint32_t sbcRangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1, const void* aKeyData1,
                               bool aKeyIncl1, int32_t aFieldCount2, int32_t aPartialLen2, bool aDirectKey2,
                               const void* aKeyData2, bool aKeyIncl2) = 0;
  virtual void sbcSetToBegin() = 0;
  virtual void sbcSetToEnd() = 0;
  virtual uint32_t sbcRecordGetBatch(uint32_t aCutoffSize, TmvRecordGetBatchExOptions aOptions,
                                     TmvBatchStreamAccess*& aAccess, int32_t aMaxRecords, bool aForward) = 0;
  virtual uint32_t sbcRecordInsertBatch(TmvCustomMemoryStream* aStream) = 0;
  virtual uint32_t sbcCopyRecords(TmvAbstractCursor* aDestCursor, TmvBlobCopyMode aBlobCopyMode, uint32_t aMaxTransSize,
                                  bool aCheckValFields) = 0;
  virtual uint32_t sbcDeleteRecords() = 0;
  virtual uint32_t sbcBlobCreateLink(const TmvRecID& aRecID, int32_t aFieldNo, const String& aTableName,
                                     TmvBlobNr aTableBlobNr, TmvBlobNr& aBlobNr) = 0;
  virtual uint32_t sbcBlobDelete(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr) = 0;
  virtual uint32_t sbcBlobTruncate(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                   uint32_t aBlobLength) = 0;
  virtual uint32_t sbcBlobWrite(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                                uint32_t aLen, const void* aBlob) = 0;
  virtual uint32_t sbcBlobReplace(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr, uint32_t aLen,
                                  const void* aBlob) = 0;
  virtual bool sbcBlobIsLink(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, String& aSrcTableName,
                             TmvBlobNr& aSrcTableBlobNr) = 0;
  virtual uint32_t sbcRecordGet(TmvLockType aLockType, void* aData) = 0;
  virtual uint32_t sbcRecordGetNext(TmvLockType aLockType, void* aData) = 0;
  virtual uint32_t sbcRecordGetPrior(TmvLockType aLockType, void* aData) = 0;
  virtual uint32_t sbcRecordInsert(TmvLockType aLockType, TmvInsertOptions aInsertOptions, void* aData,
                                   int64_t* aAutoInc) = 0;
  virtual uint32_t sbcRecordModify(void* aData, bool aReleaseLock, const TmvRecordDiff* aDataDiff) = 0;
  virtual uint32_t sbcRecordDelete(void* aData, TmvLSN aLSN) = 0;
  virtual uint32_t sbcAutoIncGet() = 0;
  virtual uint32_t sbcGetRecordCount(TmvRecordCountOption aOption, uint32_t& aRecCount, bool aEstimate) = 0;
  virtual uint32_t sbcChangePassword(const String& aNewPassword) = 0;
  virtual uint32_t sbcDuplicate(TmvOpenMode aOpenMode, TmvAbstractCursor*& aNewCursor, bool aForceWrite) = 0;
  // aData designates the record buffer the walk reads into (a nil buffer is
  // allocated).
  virtual void sbcIterate(void** aData, const TmvKeyIterator& aKeyIterator, const TmvRecordIterator& aRecIterator,
                          bool aBackward, void* aCookie, bool aKeepPosition) = 0;
  virtual bool sacHasKey(int32_t aIndex, const Variant& aValue) = 0;
  virtual TmvOpenMode sacGetOpenMode() { return omReadOnly; }
  virtual TmvRefNr sacGetRefNr() = 0;
  virtual void sacSetRefNr(TmvRefNr aRefNr) = 0;
  virtual void sacSetDefault(void* aRecordBuffer, int32_t aIndex) = 0;
  virtual void sacSetDefaultsInsert(void* aRecordBuffer) = 0;
  virtual uint32_t sacGetRecordByID(TmvRefNr aRefNr, void* aRecordBuffer) = 0;

  // The handler under its padlock; nil without padlock or while destroying.
  // Returns a new reference.
  TInterfacePtr<ImvRequestCloseHandler> sbcGetOnRequestClose();

  TmvOpenMode OpenMode() { return sacGetOpenMode(); }
  String RootName() { return sbcGetRootName(); }
  TmvIndexPathPosition Position() { return sbcGetPosition(); }

  bool sbcUseNestedTransaction = false;

 protected:
  TmvPadlock* sbcOnRequestCloseLock = nullptr;
  TInterfacePtr<ImvRequestCloseHandler> sbcOnRequestClose;
};
