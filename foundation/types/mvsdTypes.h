// Foundation: the shared definitions of the engine.
//
// The vocabulary that the data dictionary, table storage, the server engine,
// the dataset components and the SQL layers share: the 32 field types with
// their display and SQL names, record and log identities, the enumerations of
// open, share and lock modes, lock results, key searches, special fields and
// batch options, the records that describe cached records, special fields and
// record differences, and (through mvsdPeerVersion.h) the protocol version of
// the peer a thread serves.
//
// Sets are an enumeration plus a bit mask whose bit n stands for ordinal n
// (mvSetOf builds one). The name tables are read-only; the three shared
// records (special fields, cacheable and diff-compressor infos) are counted
// with locked operations and may be shared between threads.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "foundation/types/mvsdPeerVersion.h"  // the per-thread peer version belongs to these definitions
#include "platform/System.h"

// ---------------------------------------------------------------------------
// Sets

// The bit mask of a set of enumeration values: bit n for ordinal n.
template <typename E>
constexpr uint32_t mvSetOf(std::initializer_list<E> values) {
  uint32_t mask = 0;
  for (E v : values) mask |= uint32_t{1} << static_cast<unsigned>(v);
  return mask;
}
template <typename E>
constexpr bool mvInSet(uint32_t mask, E value) {
  return (mask >> static_cast<unsigned>(value)) & 1;
}

// ---------------------------------------------------------------------------
// Field types

// The ordinal is what the data dictionary stores for a field: never reorder.
enum TmvFieldType : uint8_t {
  mvtBoolean,
  mvtChar,
  mvtWideChar,
  mvtByte,
  mvtWord16,
  mvtWord32,
  mvtInt8,
  mvtInt16,
  mvtInt32,
  mvtInt64,
  mvtAutoInc,
  mvtSingle,
  mvtDouble,
  mvtExtended,
  mvtCurrency,
  mvtDate,
  mvtTime,
  mvtDateTime,
  mvtInterval,
  mvtBlob,
  mvtBlobMemo,
  mvtBlobGraphic,
  mvtByteArray,
  mvtShortString,
  mvtNullString,
  mvtWideString,
  mvtRecRev,
  mvtGuid,
  mvtBCD,
  mvtBlobWideMemo,
  mvtFmtBCD,
  mvtRefNr,
};
inline constexpr int mvFieldTypeCount = 32;
// A set of field types: bit n for ordinal n.
using TmvFieldTypes = uint32_t;

// Display names ("Wide Char"), indexed by ordinal.
extern const std::u16string_view mvFieldTypeNames[mvFieldTypeCount];
// Constant names ("mvtBLOB": "BLOB" and "GUID" in capitals), by ordinal.
extern const std::u16string_view mvFieldTypeConstNames[mvFieldTypeCount];
// Per ordinal: the constant name, the SQL name and the SQL name's varying
// form (for variable-length types; otherwise the SQL name again).
enum TmvFieldTypeSQLColumn { ftsConstName, ftsSQLName, ftsSQLNameVarying };
extern const std::u16string_view mvFieldTypeSQLNames[mvFieldTypeCount][3];

// The field type whose SQL name or varying form equals aName, ignoring case;
// the first type in ordinal order wins ("DECIMAL" is mvtBCD, "" mvtInterval).
// Raises EmvBaseException 8712 when no type has the name.
TmvFieldType mvFieldTypeFromSqlName(std::u16string_view aName);

// ---------------------------------------------------------------------------
// Parameter directions

enum TmvParamType : uint8_t { mvptUnknown, mvptInput, mvptOutput, mvptInputOutput, mvptResult };
// "", "IN", "OUT", "INOUT", "RESULT".
extern const std::u16string_view mvParamTypeNames[5];
// The direction whose name equals aName ignoring ASCII case; else mvptUnknown.
TmvParamType mvParamTypeFromName(std::u16string_view aName);

// ---------------------------------------------------------------------------
// Scalar types

using TmvRefNr = int64_t;   // where a record lives in its table
using TmvLSN = int64_t;     // log sequence number of blocks, records, transactions
using TmvBlobNr = int64_t;  // number of a BLOB within its table
using TmvFilterID = uint32_t;
using TmvKeyFilterID = uint32_t;
using TmvGrowSize = int32_t;  // 1 to 2147483647
using TmvBlockSignature = std::array<char, 4>;
// Block sizes, 4096 << code bytes. A file's block size (one byte in its
// header and in its file descriptor) is one of the first five; mvbs4M
// serves cache and scratch memory only.
enum TmvBlockSizeAll : uint8_t { mvbs4k, mvbs8k, mvbs16k, mvbs32k, mvbs64k, mvbs4M };
using TmvBlockSize = TmvBlockSizeAll;
// The largest key and record: buffers are passed by pointer and indexed by a
// 16-bit number.
inline constexpr size_t mvMaxBufferSize = 65536;
using TmvKeyBuffer = uint8_t[mvMaxBufferSize];
using TmvRecordBuffer = uint8_t[mvMaxBufferSize];

// ---------------------------------------------------------------------------
// Enumerations

enum TmvOpenMode : uint8_t { omReadOnly, omWriteOnly, omReadWrite, omNone };
enum TmvShareMode : uint8_t { smExclusive, smShared, smShareRead };
enum TmvLockType : uint8_t { mvltNoLock, mvltReadLock, mvltWriteLock };
enum TmvLockPresent : uint8_t { lpNotAtAll, lpYesByUs, lpYesByAnother };
enum TmvLockRequestType : uint8_t { lrtRecordLock, lrtReadLock, lrtWriteLock };
enum TmvLockResult : uint8_t {
  lrGrantedNew,
  lrGrantedExisting,
  lrConflictUnknown,
  lrConflictCursorWriteLock,
  lrConflictCursorReadLockSingle,
  lrConflictCursorReadLockMultiple,
  lrConflictCursorRecordLockSingle,
  lrConflictCursorRecordLockMultiple,
  lrConflictTransaction
};
enum TmvSearchKeyAction : uint8_t {
  skaEqualFirst,
  skaGreaterEqual,
  skaGreater,
  skaEqualLast,
  skaSmallerEqual,
  skaSmaller,
  skaAnyEqual,
  skaAnyGreaterEqual,
  skaAnyGreater,
  skaAnySmallerEqual,
  skaAnySmaller
};
enum TmvSpecialFieldType : uint8_t { sftAutoInc, sftAutoGuid, sftRecRev, sftRefNr, sftModifyLSN, sftInsertLSN };
inline constexpr int mvSpecialFieldTypeCount = 6;
enum TmvRecordGetBatchExOption : uint8_t {
  gboBlobs,
  gboBookmarks,
  gboBackwards,
  gboAllowClientFilter,
  gboSetToBeginOrEnd,
  gboBlobNrs,
  gboBlobsOnlyMarked
};
using TmvRecordGetBatchExOptions = uint8_t;
enum TmvInsertOption : uint8_t { ioSetDefault, ioSetAutoInc, ioValidate, ioModifyIfFound };
using TmvInsertOptions = uint8_t;
enum TmvTransactionLevelState : uint8_t { tlsCorrupted, tlsDeadlocked, tlsNoMoreNested };
using TmvTransactionLevelStates = uint8_t;
enum TmvTransactionState : uint8_t { tsFailsafe, tsSnapshot, tsForBlobRead, tsFailed };
using TmvTransactionStates = uint8_t;
enum TmvBlobCopyMode : uint8_t { mvbcmNoCopy, mvbcmCopyFull, mvbcmCreateLink };
enum TmvStatementType : uint8_t { stQuery, stStoredProcedure };
enum TmvRecordCountOption : uint8_t {
  rcoTotalRecordCount,
  rcoTotalKeyCount,
  rcoRangedKeyCount,
  rcoServerFilteredKeyCount,
  rcoClientFilteredKeyCount
};
enum TmvIndexPathPosition : uint8_t { ippUnknown, ippBof, ippOnCrackBefore, ippOnCrackAfter, ippOnKey, ippEof };
enum TmvClassListType : uint8_t {
  setAutoIncEngines,
  setBlobEngines,
  setIndexEngines,
  setEncryptionEngines,
  setDefaultDescriptors,
  setValidationDescriptors,
  setRecordDescriptors,
  setRIActionDescriptors
};
enum TmvRecordIteratorResult : uint8_t { rirContinue, rirStop };
enum TmvKeyIteratorResult : uint8_t { kirContinue, kirSkipKey, kirStop };
enum TmvSecurityToken : uint8_t { stAdmin, stRead, stWrite };
using TmvSecurityTokens = uint8_t;
enum TmvBlobReadSnapshotState : uint8_t {
  brssNone,
  brssRequestStart,
  brssUnneccesary,
  brssFailedToStart,
  brssStarted,
  brssRequestClose,
  brssFailedToClose,
  brssClosed
};
enum TmvTableCachingState : uint8_t { tcsNone, tcsCacheable, tcsIsCache };
enum TmvCachedBlobStateInfo : uint8_t { cbsiCreated, cbsiCreatedFile, cbsiDeleted, cbsiModified };

// Callbacks of record and key walks (aCookie is the caller's own pointer).
using TmvRecordIterator =
    std::function<TmvRecordIteratorResult(void* aCookie, TmvRefNr aRefNr, const uint8_t* aRecord)>;
using TmvKeyIterator = std::function<TmvKeyIteratorResult(void* aCookie, TmvRefNr aRefNr, const uint8_t* aKey)>;

// ---------------------------------------------------------------------------
// Record identities and cached-record infos

// The identity of one record version; both halves -1 means no record.
struct TmvRecID {
  TmvRefNr ridRefNr = 0;
  TmvLSN ridInsertLSN = 0;
};
struct TmvNewBlobNr {
  TmvBlobNr nbnBlobNr = 0;
  bool nbnSet = false;
};
// What a client cached of a record; valid when both fields are non-zero.
struct TmvRecordCacheInfo {
  TmvRefNr rciRefNr = 0;
  TmvLSN rciModifyLSN = 0;
};
// Begins with the two fields of TmvRecordCacheInfo.
struct TmvIndexedRecordCacheInfo {
  TmvRefNr irciRefNr = 0;
  TmvLSN irciModifyLSN = 0;
  int32_t irciIndex = 0;
};

// TmvRecordCacheInfoBlobInfo, a packed list of BLOB numbers in memory:
//   offset 0  rcibiCount (u16)
//   offset 2  rcibiCount TmvBlobNr, 8 bytes each, no gap
// 2 + 8 x count bytes; the 16-bit count limits a list to 65535 numbers. It is
// handled through a pointer to its first byte.
using TmvRecordCacheInfoBlobInfo = uint8_t;
uint16_t mvBlobInfoCount(const TmvRecordCacheInfoBlobInfo* aInfo);
TmvBlobNr mvBlobInfoBlobNr(const TmvRecordCacheInfoBlobInfo* aInfo, uint16_t aIndex);
// Moves the reference past the list; an absent reference stays absent.
void mvNextRecordCacheInfoBlobInfo(const TmvRecordCacheInfoBlobInfo*& aInfo);

struct TmvIndexedRecordCacheInfoAndBlobInfo {
  TmvIndexedRecordCacheInfo irciabiIndexedRecordCacheInfo;
  const TmvRecordCacheInfoBlobInfo* irciabiBlobInfo = nullptr;
};

bool mvRecIDIsSet(const TmvRecID& aRecID);      // both halves non-zero
bool mvRecIDIsAllOnes(const TmvRecID& aRecID);  // both halves -1
void mvClearRecordCacheInfo(TmvRecordCacheInfo& aInfo);
bool mvRecordCacheInfoIsEmpty(const TmvRecordCacheInfo& aInfo);  // a field is 0
bool mvRecordCacheInfoValid(const TmvRecordCacheInfo& aInfo);    // both non-zero
// True when b is present, both fields are equal and a is valid.
bool mvRecordCacheInfoEqual(const TmvRecordCacheInfo& a, const TmvRecordCacheInfo* b);
// The same test against a record that begins with the same two fields.
bool mvRecordCacheInfoEqualAlt(const TmvRecordCacheInfo& a, const TmvIndexedRecordCacheInfo* b);
// The same test for a b that is always present.
bool mvRecordCacheInfoSame(const TmvRecordCacheInfo& a, const TmvRecordCacheInfo& b);

// ---------------------------------------------------------------------------
// Shared, reference-counted infos
//
// Allocated from the engine allocator with a count of 1 and freed when the
// count drops to 0. Releasing takes the reference out of the variable with
// one atomic exchange, so two threads releasing the same variable release one
// reference only; releasing an empty variable does nothing.

struct TmvSpecialFieldsInfo {
  std::vector<int32_t> sfiBlobFields;          // field numbers of the BLOB fields
  std::vector<int32_t> sfiFieldsToBlobFields;  // field number -> position in sfiBlobFields
  int32_t sfiFields[mvSpecialFieldTypeCount];   // field number per special type, -1 when none
  int32_t sfiOffsets[mvSpecialFieldTypeCount];  // record offset per special type, -1 when none
  std::atomic<int32_t> sfiRefCount{1};
};
TmvSpecialFieldsInfo* mvNewSpecialFieldsInfo();
// Both six-entry tables to -1, both arrays emptied.
void mvInitSpecialFieldsInfo(TmvSpecialFieldsInfo& aInfo);
TmvSpecialFieldsInfo* mvAddRefSpecialFieldsInfo(TmvSpecialFieldsInfo* aInfo);
void mvReleaseSpecialFieldsInfo(TmvSpecialFieldsInfo*& aInfo);

struct TmvCacheableInfo {
  TmvSpecialFieldsInfo* ciSFI = nullptr;  // holds one reference
  std::atomic<int32_t> ciRefCount{1};
  int32_t ciModifyLSNIndex = -1;
  int32_t ciGraveyardLSNIndex = -1;
  int32_t ciGraveyardRefNrIndex = -1;
  int32_t ciCachedBlobsIndex = -1;
  int32_t ciBlobNrCounterIndex = -1;
};
TmvCacheableInfo* mvNewCacheableInfo();
TmvCacheableInfo* mvAddRefCacheableInfo(TmvCacheableInfo* aInfo);
// At 0 also releases its special-fields info.
void mvReleaseCacheableInfo(TmvCacheableInfo*& aInfo);

// Describes the difference of two records of one length, word by word.
//
// A difference is the bit set (dciBitsLengthByte8s bytes; bit i set when
// 32-bit word i changed) followed by the changed words in ascending order.
struct TmvDiffCompressorInfo {
  std::atomic<int32_t> dciRefCount{1};
  uint16_t dciSourceWord32Count = 0;  // (length + 3) div 4
  uint16_t dciBitsLengthByte8s = 0;   // 4 x dciBitsLengthWord32s
  uint16_t dciBitsLengthWord32s = 0;  // ((source words + 7) div 8 + 3) div 4
  uint16_t dciTargetWord32Count = 0;  // source words - bit-set words
  uint32_t* dciRequiredBits = nullptr;  // dciBitsLengthWord32s words, allocated with the info
  uint32_t dciRecordLength = 0;         // bytes; the last word may be partial
};
// aRecordLength 1 to 65535; anything else fails the assertion.
TmvDiffCompressorInfo* mvNewDiffCompressorInfo(int32_t aRecordLength);
TmvDiffCompressorInfo* mvAddRefDiffCompressorInfo(TmvDiffCompressorInfo* aInfo);
void mvReleaseDiffCompressorInfo(TmvDiffCompressorInfo*& aInfo);
// Sets bit i of dciRequiredBits for every word i in which the records differ.
// Reads only the record length's bytes of each record.
void mvDiffCompressorSetRequired(TmvDiffCompressorInfo& aInfo, const uint8_t* aRecordA, const uint8_t* aRecordB);
// Rebuilds a record: word i from the difference when its bit is set, else
// from the base record. Writes only the record length's bytes of the target.
void mvDiffExpandRecord(const TmvDiffCompressorInfo& aInfo, const uint8_t* aBase, const uint8_t* aDifference,
                        uint8_t* aTarget);

// ---------------------------------------------------------------------------
// Transactions, tasks, parameters and BLOB batches

struct TmvTransactionLevelInfo {
  TDateTime tliStartTime = 0;
  TmvLSN tliStartLSN = 0;
  TmvLSN tliLSN = 0;
  int32_t tliLevel = 0;
  int32_t tliBlockCount = 0;
  int32_t tliNestingCount = 0;
  TmvTransactionLevelStates tliState = 0;
};
struct TmvTransactionInfo {
  std::vector<TmvTransactionLevelInfo> tiLevels;
  TDateTime tiStartTime = 0;
  TmvLSN tiStartLSN = 0;
  TmvLSN tiLSN = 0;
  int32_t tiLevel = 0;
  uint32_t tiBlockCount = 0;
  TmvTransactionStates tiState = 0;
};
struct TmvTaskStatus {
  uint32_t tsStartTime = 0;
  uint32_t tsSnapshotTime = 0;
  uint32_t tsTotalRecs = 0;
  uint32_t tsRecsRead = 0;
  uint32_t tsRecsWritten = 0;
  uint32_t tsErrorCode = 0;
  uint8_t tsPercentDone = 0;
  bool tsFinished = false;
  String tsErrorMessage;
};
struct TmvSqlParamDesc {
  String piParamName;
  TmvParamType piParamType = mvptUnknown;
  TmvFieldType piDataType = mvtBoolean;
  std::vector<uint8_t> piData;
};
struct TmvStoredProcParamDesc {
  String piParamName;
  TmvParamType piParamType = mvptUnknown;
  TmvFieldType piDataType = mvtBoolean;
  int32_t piSize = 0;
};
struct TmvBlobCacheInfo {
  int32_t bciFieldNo = 0;
  TmvBlobNr bciBlobNr = 0;
  TmvCachedBlobStateInfo bciState = cbsiCreated;
  TmvBlobNr bciCacheBlobNr = 0;
  String bciCacheFileName;
  uint32_t bciLength = 0;
  uint8_t bciFlushed = 0;      // byte-sized Boolean
  uint8_t bciEverFlushed = 0;  // byte-sized Boolean
  bool bciBlobNrInternal = false;
};
struct TmvBlobBatchRequestEntry {
  TmvBlobNr bbrqeBlobNr = 0;
  TmvBlobNr bbrqeBlobNrLocal = 0;
  TmvCachedBlobStateInfo bbrqeStateInfo = cbsiCreated;
  String bbrqeFileName;
  std::vector<uint8_t> bbrqeData;
  uint16_t bbrqeFieldNo = 0;
};
struct TmvBlobBatchRequest {
  TmvRecID bbrqRecID;
  std::vector<TmvBlobBatchRequestEntry> bbrqEntries;
};
// True when its record identity is set and it has at least one entry.
bool mvBlobBatchRequestIsValid(const TmvBlobBatchRequest& aRequest);

struct TmvBlobBatchReplyEntry {
  TmvBlobNr bbrpeBlobNr = 0;
};
// TmvBlobBatchReply, packed in memory like the BLOB-number list above:
//   offset 0  bbrpCount (u16)
//   offset 2  bbrpCount TmvBlobBatchReplyEntry (8 bytes each), no gap
using TmvBlobBatchReply = uint8_t;
