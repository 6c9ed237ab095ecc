// Server engine: the record-batch stream and its reader (unit
// mvsdBatchStreamAccess).
//
// A cursor hands over many records at once, with their bookmarks and, on
// request, their BLOB data, as one in-memory byte stream that never reaches
// a file. The server cursors write it (RecordGetBatch, RecordGetForKeyBatch);
// the dataset components read it entry by entry through
// `TmvBatchStreamAccess`, which owns the stream. The same class compares a
// batch with a client's cache of records: entries the client holds become
// short cached-record entries, and records it holds that are gone are
// listed after the last entry.
//
// Layout, all integers little-endian, offsets from the stream's first byte:
//
// | offset | size | content                                                  |
// |--------|------|----------------------------------------------------------|
// | 0      | 4    | bshInnerError: the code that ended the batch (0 when a    |
// |        |      | size or count limit did; 8706 / 8705 at the end; 15444)  |
// | 4      | 4    | bshCount: signed number of entries                       |
// | 8      |      | the entries, then optionally the invalidated-infos list  |
//
// Entry: a size word (bits 0-30 = S, the bytes that follow it; bit 31 = a
// result code follows), the code when bit 31 is set, then S (or S - 4)
// bytes of data. Result 0: the record image (the cursor's record length),
// with gboBookmarks the bookmark behind it, with gboBlobs the record's BLOB
// parts behind that. Result 2, a record the client holds: irciRefNr (8),
// irciModifyLSN (8), irciIndex (4), and with gboBlobs a list of 6-byte BLOB
// offsets (bboOffset 4, bboFieldNo 2) ended by an offset of 0. Any other
// result carries no record.
//
// BLOB part, referred to by the 64-bit stream offset that stands in the
// record's BLOB field instead of the BLOB number: a length word (bits 0-30 =
// L; bit 31 = a code instead of data), L bytes of data (or the 4-byte code:
// the error that prevented reading the BLOB, or 2 when the client already
// holds it; a flagged part shorter than a code reads as 15520), then with
// gboBlobNrs the BLOB's 8-byte number.
//
// Invalidated infos, directly after the last entry: N (4), then N records
// of rciRefNr (8) and rciModifyLSN (8); taken only when they fit the stream.
//
// Reading trusts nothing in the stream: an entry that runs past the end (or
// is too short for what its result says it holds) ends the walk, a BLOB
// offset or part outside the stream gives an access with 9986, and the
// rewriting operations write only inside the stream. An entry and the
// accesses point into the stream's memory and stay valid until the stream
// changes or goes.
//
// Threads: an access belongs to the thread that holds its cursor's session.
// Calls the abstract cursor (fields, bookmarks, cache infos, BLOBs) and the
// foundation's memory stream.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllStreams.h"
#include "foundation/types/mvsdTypes.h"

class TmvAbstractCursor;
class TmvBatchStreamAccess;
class TmvFieldsDescriptor;

inline constexpr uint32_t mvBatchHeaderSize = 8;
inline constexpr uint32_t mvBatchResultFlag = 0x80000000u;
inline constexpr uint32_t mvBatchSizeMask = 0x7FFFFFFFu;
inline constexpr uint32_t mvBatchCachedRecord = 2;
inline constexpr uint32_t mvBatchCacheInfoSize = 20;
inline constexpr uint32_t mvBatchBlobOffsetSize = 6;
inline constexpr uint32_t mvBatchInvalidInfoSize = 16;
// The capacity a writer presets for a batch without a size limit.
inline constexpr int32_t mvBatchDefaultCapacity = 0x80000;

// One decoded entry (filled by Next).
struct TmvBatchStreamEntry {
  TmvBatchStreamAccess* bseBatchAccess = nullptr;
  uint8_t* bseStreamBase = nullptr;   // offsets of BLOB parts count from here
  uint8_t* bseEntryBase = nullptr;    // the size word
  uint8_t* bseRecord = nullptr;       // record image or nil
  uint8_t* bseBookmark = nullptr;     // bookmark or nil
  uint8_t* bseCacheInfo = nullptr;    // the 20-byte cached-record info or nil
  uint8_t* bseBlobOffsets = nullptr;  // first 6-byte BLOB offset or nil
  uint32_t bseSize = 0;               // S
  uint32_t bseResult = 0;
  uint8_t* bseEnd = nullptr;  // one past the entry's last byte
};

// One BLOB part as located in an entry.
struct TmvBatchBlobAccess {
  uint8_t* bbaBase = nullptr;      // the part's length word
  uint8_t* bbaBlobData = nullptr;  // its data, or nil
  TmvBlobNr bbaBlobNr = 0;
  uint32_t bbaOffset = 0;  // stream offset of the part
  uint32_t bbaSize = 0;    // L
  uint32_t bbaResult = 0;  // the part's code, 0 when data is present
  uint16_t bbaFieldNo = 0;
  bool bbaInCache = false;
};
using TmvBatchBlobAccesses = std::vector<TmvBatchBlobAccess>;

// The cached-record info of an entry (Requires: bseCacheInfo is set).
TmvIndexedRecordCacheInfo mvBatchEntryCacheInfo(const TmvBatchStreamEntry& aEntry);
// Writes the 8-byte header at the start of a stream that holds at least 8
// bytes.
void mvBatchWriteHeader(TmvMemoryStream& aStream, uint32_t aInnerError, int32_t aCount);

class TmvBatchStreamAccess : public TmvObject {
 public:
  // Takes aStream (nil: a new empty stream) and owns it from then on; when
  // construction fails a given stream stays the caller's. gboBlobs is
  // dropped when the cursor's table has no BLOB fields, gboBlobNrs without
  // gboBlobs; with gboBlobs and gboBlobsOnlyMarked the cursor's marked set
  // is copied. Requires: aCursor is not nil and outlives the access.
  TmvBatchStreamAccess(TmvAbstractCursor* aCursor, TmvRecordGetBatchExOptions aOptions, TmvMemoryStream* aStream);
  ~TmvBatchStreamAccess() override;

  // Prepares reading from the first entry; true when the batch holds
  // entries. A stream shorter than the header is an empty batch.
  bool Reset(bool aApplyClientFilter);
  // The next entry; false (and a zeroed entry) after the last. aPos and
  // aTotalPos, when given, count the entries delivered or skipped.
  bool Next(TmvBatchStreamEntry& aEntry, int32_t* aPos = nullptr, int32_t* aTotalPos = nullptr);
  // Empties the batch; with aKeepError a non-zero end code stays in a
  // header with count 0. Then Reset(false).
  void Clear(bool aKeepError);

  int32_t GetCount() const;
  uint32_t GetInnerError() const;
  // Only when the stream holds a header.
  void SetInnerError(uint32_t aValue);
  TmvMemoryStream* Stream() const { return bsaStream; }
  // Nil-safe: a nil access answers nil and 0.
  static void* GetMemory(const TmvBatchStreamAccess* aAccess);
  static int64_t GetSize(const TmvBatchStreamAccess* aAccess);

  // The invalidated infos Reset or the walk found (count 0: no list).
  uint32_t InvalidCount() const;
  TmvRecordCacheInfo InvalidInfo(uint32_t aIndex) const;

  // Locating BLOB parts. By field: false (with the reason in bbaResult)
  // for an entry without record (its result, or 8709), a field that is not
  // a BLOB (10753), a null field or value 0; true with the part resolved
  // when the field carries one, else with its BLOB number.
  bool GetBlobAccess(const TmvBatchStreamEntry& aEntry, int32_t aFieldNo, TmvBatchBlobAccess& aBlobAccess);
  // By an entry of a cached record's offsets list.
  bool GetBlobAccess(const TmvBatchStreamEntry& aEntry, const uint8_t* aBlobOffset, TmvBatchBlobAccess& aBlobAccess);
  // Resolves the part at aBlobAccess.bbaOffset; false for offset 0.
  bool GetBlobAccess(const TmvBatchStreamEntry& aEntry, TmvBatchBlobAccess& aBlobAccess);
  // Every BLOB field's access (a cached record: every offsets-list entry);
  // with aEmbeddedOnly only those whose data is in the stream.
  bool GetBlobAccesses(const TmvBatchStreamEntry& aEntry, TmvBatchBlobAccesses& aBlobAccesses, bool aEmbeddedOnly);

  // When the batch carries BLOB parts that the caller did not first ask
  // for (aOrgOptions), puts every BLOB number (from the parts' number
  // trailers) back into the records and drops the BLOB options. Leaves the
  // walk at its end.
  void FixupBlobs(TmvRecordGetBatchExOptions aOrgOptions);
  // Copies a source entry's data over aTarget, an entry of this stream (see
  // the .cpp); aBlobs gets the target's parts. False.
  bool OverwriteEntry(TmvBatchStreamEntry& aTarget, const TmvBatchStreamEntry& aSource, TmvBatchBlobAccesses& aBlobs,
                      bool aRemoveBlobData);

  // The client-cache check: true when the client's cache (its infos in
  // batch positions and, with gboBlobs, the BLOB numbers of each) covers
  // the batch exactly. Entries the client holds become cached-record
  // entries; the client's records that are gone are listed after the
  // entries. The walk is reset afterwards.
  bool CheckCacheValid(int32_t aCacheInfosCount, const TmvRecordCacheInfo* aCacheInfos,
                       const TmvRecordCacheInfoBlobInfo* aBlobInfos);
  // The same for infos sent in batch order.
  bool CheckCacheValidSeq(const std::vector<TmvRecordCacheInfo>& aCacheInfos,
                          const TmvRecordCacheInfoBlobInfo* aBlobInfos);
  // Fills the parts of a record entry that carry a code from the local
  // cache cursor aCache, when it has the BLOB with the same length.
  void CheckEntryForCachedBlobs(TmvBatchStreamEntry& aEntry, TmvAbstractCursor* aCache, TmvBatchBlobAccesses& aBlobs);

  TmvRecordGetBatchExOptions bsaOptions = 0;
  std::vector<uint32_t> bsaMarkedBlobs;
  uint32_t bsaRecordLength = 0;
  uint32_t bsaBookmarkSize = 0;

 private:
  class TmvCacheInfoSortedList;
  class TmvBlobNrSortedList;

  bool HasOption(TmvRecordGetBatchExOption aOption) const { return mvInSet(bsaOptions, aOption); }
  // Decodes the entry at aPos; false when it does not fit the stream.
  bool DecodeEntry(uint8_t* aPos, TmvBatchStreamEntry& aEntry);
  // Takes the invalidated-infos list at aPos when it fits.
  void FindInvalidList(const uint8_t* aPos);
  // Resolves a part at the access's offset.
  void ResolvePart(TmvBatchBlobAccess& aBlobAccess);
  bool IsMarked(int32_t aBlobIndex) const;
  bool CarriesParts(int32_t aBlobIndex) const;
  int32_t BlobIndexOf(int32_t aFieldNo) const;
  // A result-0 entry whose record is at least aMinimum bytes long.
  static bool IsRecordEntry(const TmvBatchStreamEntry& aEntry, uint32_t aMinimum);
  // Rewrites a record entry as a cached-record entry for client position
  // aIndex; false when the client's BLOBs differ from the embedded ones.
  bool RewriteAsCached(TmvBatchStreamEntry& aEntry, int32_t aIndex, const TmvRecordCacheInfo& aInfo,
                       const TmvRecordCacheInfoBlobInfo* aBlobInfo);
  // Flags the parts whose BLOB numbers the client holds as cached.
  void MarkBlobsCached(const TmvBatchStreamEntry& aEntry, const TmvRecordCacheInfoBlobInfo* aBlobInfo);
  // Appends the invalidated-infos list behind the last entry (nothing for
  // an empty list) and resets the walk.
  void WriteInvalidList(const std::vector<TmvRecordCacheInfo>& aInfos);
  // Whether the cursor reports the client's record as gone.
  bool RecordGone(const TmvRecordCacheInfo& aInfo);
  uint8_t* EndOfEntries();

  TmvMemoryStream* bsaStream = nullptr;  // owned
  uint8_t* bsaStart = nullptr;
  uint8_t* bsaEnd = nullptr;
  uint8_t* bsaCurrentEntry = nullptr;
  int32_t bsaCurrentIndex = -1;
  bool bsaCheckFilter = false;
  TmvAbstractCursor* bsaCursor;
  TmvFieldsDescriptor* bsaFields;
  std::vector<int32_t> bsaBlobFields;
  uint8_t* bsaInvalidCount = nullptr;
  uint8_t* bsaInvalidInfos = nullptr;
};
