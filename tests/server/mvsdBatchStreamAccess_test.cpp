// Tests of the record-batch stream reader: golden streams, BLOB parts,
// cached entries and the trailing list, the rewriting operations and the
// client-cache check, and a walk over every truncation and one-byte change
// of a batch that holds all of them.
#include <gtest/gtest.h>

#include "CursorTestSupport.h"

namespace {

constexpr TmvRecordGetBatchExOptions Options(std::initializer_list<TmvRecordGetBatchExOption> aOptions) {
  return TmvRecordGetBatchExOptions(mvSetOf(aOptions));
}

// Builds a batch byte by byte, as a writer lays it out.
struct BatchBytes {
  BatchBytes(uint32_t aInnerError, int32_t aCount) {
    Put32(aInnerError);
    Put32(uint32_t(aCount));
  }
  void Put16(uint16_t v) { Put(&v, 2); }
  void Put32(uint32_t v) { Put(&v, 4); }
  void Put64(int64_t v) { Put(&v, 8); }
  void Put(const void* aData, size_t aSize) {
    const auto* p = static_cast<const uint8_t*>(aData);
    bytes.insert(bytes.end(), p, p + aSize);
  }
  void Put(const std::vector<uint8_t>& aData) { Put(aData.data(), aData.size()); }
  size_t Size() const { return bytes.size(); }
  // Opens an entry (its size word set by Close); with a code, bit 31.
  size_t Open(bool aWithCode = false, uint32_t aCode = 0) {
    const size_t at = Size();
    Put32(aWithCode ? mvBatchResultFlag : 0);
    if (aWithCode) Put32(aCode);
    return at;
  }
  void Close(size_t aEntry) {
    const uint32_t flag = LoadLE32(&bytes[aEntry]) & mvBatchResultFlag;
    StoreLE32(&bytes[aEntry], uint32_t(Size() - aEntry - 4) | flag);
  }
  // A BLOB part with its number behind the data.
  size_t Part(const std::vector<uint8_t>& aData, TmvBlobNr aBlobNr) {
    const size_t at = Size();
    Put32(uint32_t(aData.size()));
    Put(aData);
    Put64(aBlobNr);
    return at;
  }
  size_t ErrorPart(uint32_t aCode, TmvBlobNr aBlobNr) {
    const size_t at = Size();
    Put32(mvBatchResultFlag | 4);
    Put32(aCode);
    Put64(aBlobNr);
    return at;
  }
  TmvMemoryStream* Stream(size_t aSize = SIZE_MAX) const {
    auto* stream = new TmvMemoryStream();
    stream->WriteBuffer(bytes.data(), int64_t(bytes.size()));
    stream->SetSize(int64_t(std::min(aSize, bytes.size())));
    return stream;
  }

  std::vector<uint8_t> bytes;
};

struct BatchStreams : CursorTest {
  void SetUp() override {
    CursorTest::SetUp();
    cursor = TmvAbstractServerObject::Create<TestListCursor>(database, table.get());
    cursor->MakeCacheable();
  }
  uint32_t RecordLength() { return uint32_t(table->RecordLength()); }
  // A record of the BLOB table; the BLOB fields given carry those values
  // (part offsets or BLOB numbers).
  std::vector<uint8_t> Record(int32_t aID, TmvRefNr aRef, TmvLSN aChanged,
                              std::initializer_list<std::pair<int32_t, int64_t>> aBlobs = {}) {
    std::vector<uint8_t> r = table->NewRecord();
    r.resize(RecordLength());
    TestTable::Set(Fields(), r.data(), TestTable::fID, aID);
    TestTable::Set(Fields(), r.data(), TestTable::fRef, aRef);
    TestTable::Set(Fields(), r.data(), TestTable::fChanged, aChanged);
    TestTable::Set(Fields(), r.data(), TestTable::fCreated, TmvLSN(1));
    for (auto [field, value] : aBlobs) TestTable::Set(Fields(), r.data(), field, value);
    return r;
  }
  std::unique_ptr<TmvBatchStreamAccess> Access(TmvMemoryStream* aStream, TmvRecordGetBatchExOptions aOptions) {
    return std::unique_ptr<TmvBatchStreamAccess>(cursor->CreateBatchStreamAccess(aStream, aOptions));
  }
  // An entry with a record, its 4-byte bookmark and a 10-byte MEMO part
  // (number 42) and an error part for WIDE (number 43).
  void RecordWithParts(BatchBytes& b, int32_t aID, TmvRefNr aRef, TmvLSN aChanged) {
    const size_t entry = b.Open();
    const int64_t memoAt = int64_t(b.Size() + RecordLength() + 4);
    const int64_t wideAt = memoAt + 4 + 10 + 8;
    b.Put(Record(aID, aRef, aChanged, {{TestTable::fMemo, memoAt}, {TestTable::fWide, wideAt}}));
    b.Put32(uint32_t(aID));  // the bookmark
    b.Part({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}, 42);
    b.ErrorPart(11896, 43);
    b.Close(entry);
  }
  void PlainRecord(BatchBytes& b, int32_t aID, TmvRefNr aRef, TmvLSN aChanged) {
    const size_t entry = b.Open();
    b.Put(Record(aID, aRef, aChanged));
    b.Put32(uint32_t(aID));
    b.Close(entry);
  }
  // A cached record: the info, an offsets list with one part (the client
  // already holds it: the part's data is the code 2), the part.
  void CachedRecord(BatchBytes& b, TmvRefNr aRef, TmvLSN aChanged, int32_t aIndex) {
    const size_t entry = b.Open(true, mvBatchCachedRecord);
    b.Put64(aRef);
    b.Put64(aChanged);
    b.Put32(uint32_t(aIndex));
    const uint32_t partAt = uint32_t(b.Size() + 2 * mvBatchBlobOffsetSize);
    b.Put32(partAt);
    b.Put16(TestTable::fData);
    b.Put32(0);
    b.Put16(0);
    b.Put32(mvBatchResultFlag | 6);
    b.Put(std::vector<uint8_t>{2, 0, 0, 0, 0, 0});
    b.Put64(44);
    b.Close(entry);
  }

  TestListCursor* cursor = nullptr;
};

TEST_F(BatchStreams, ThreeRecordsWithBookmarksAtTheEndOfTheTable) {
  BatchBytes b(8706, 3);
  for (int32_t id = 1; id <= 3; ++id) PlainRecord(b, id, 10 + id, 20 + id);
  auto access = Access(b.Stream(), Options({gboBookmarks}));
  EXPECT_EQ(access->bsaBookmarkSize, 4u);
  ASSERT_TRUE(access->Reset(false));
  EXPECT_EQ(access->GetCount(), 3);
  EXPECT_EQ(access->GetInnerError(), 8706u);
  TmvBatchStreamEntry entry;
  int32_t pos = 0, total = 0;
  for (int32_t id = 1; id <= 3; ++id) {
    ASSERT_TRUE(access->Next(entry, &pos, &total));
    EXPECT_EQ(entry.bseSize, RecordLength() + 4);
    EXPECT_EQ(entry.bseResult, 0u);
    EXPECT_EQ(entry.bseRecord, entry.bseEntryBase + 4);
    EXPECT_EQ(entry.bseBookmark, entry.bseRecord + RecordLength());
    EXPECT_EQ(LoadLE32(entry.bseBookmark), uint32_t(id));
    EXPECT_EQ(TestTable::Get<int32_t>(Fields(), entry.bseRecord, TestTable::fID), id);
  }
  EXPECT_EQ(entry.bseEnd, entry.bseStreamBase + b.Size());
  EXPECT_FALSE(access->Next(entry));
  EXPECT_EQ(entry.bseRecord, nullptr);
  EXPECT_EQ(pos, 3);
  EXPECT_EQ(total, 3);
  EXPECT_EQ(access->InvalidCount(), 0u);
}

TEST_F(BatchStreams, ShortStreamsAndClearing) {
  BatchBytes b(15444, 1);
  PlainRecord(b, 1, 11, 21);
  auto seven = Access(b.Stream(7), 0);
  EXPECT_FALSE(seven->Reset(false));
  EXPECT_EQ(seven->GetCount(), 0);
  EXPECT_EQ(seven->GetInnerError(), 0u);
  seven->SetInnerError(8706);
  EXPECT_EQ(TmvBatchStreamAccess::GetSize(seven.get()), 7);
  EXPECT_EQ(TmvBatchStreamAccess::GetSize(nullptr), 0);
  EXPECT_EQ(TmvBatchStreamAccess::GetMemory(nullptr), nullptr);

  auto timedOut = Access(b.Stream(), 0);
  timedOut->Clear(true);
  ASSERT_EQ(TmvBatchStreamAccess::GetSize(timedOut.get()), 8);
  const auto* header = static_cast<const uint8_t*>(TmvBatchStreamAccess::GetMemory(timedOut.get()));
  EXPECT_EQ(LoadLE32(header), 15444u);
  EXPECT_EQ(LoadLE32(header + 4), 0u);
  EXPECT_FALSE(timedOut->Reset(false));
  timedOut->Clear(false);
  EXPECT_EQ(TmvBatchStreamAccess::GetSize(timedOut.get()), 0);
  BatchBytes ended(0, 1);
  PlainRecord(ended, 1, 11, 21);
  auto noError = Access(ended.Stream(), 0);
  noError->Clear(true);
  EXPECT_EQ(TmvBatchStreamAccess::GetSize(noError.get()), 0);
}

TEST_F(BatchStreams, BlobPartsAreFoundByFieldWithTheirNumbers) {
  BatchBytes b(0, 1);
  RecordWithParts(b, 1, 11, 21);
  auto access = Access(b.Stream(), Options({gboBlobs, gboBookmarks, gboBlobNrs}));
  TmvBatchStreamEntry entry;
  ASSERT_TRUE(access->Reset(false));
  ASSERT_TRUE(access->Next(entry));
  TmvBatchBlobAccess part;
  ASSERT_TRUE(access->GetBlobAccess(entry, TestTable::fMemo, part));
  EXPECT_EQ(part.bbaOffset, 8 + 4 + RecordLength() + 4);
  EXPECT_EQ(part.bbaSize, 10u);
  EXPECT_EQ(part.bbaResult, 0u);
  EXPECT_EQ(part.bbaBlobNr, 42);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(part.bbaBlobData), 10), "0123456789");
  ASSERT_TRUE(access->GetBlobAccess(entry, TestTable::fWide, part));
  EXPECT_EQ(part.bbaResult, 11896u);
  EXPECT_EQ(part.bbaBlobData, nullptr);
  EXPECT_EQ(part.bbaBlobNr, 43);
  EXPECT_FALSE(access->GetBlobAccess(entry, TestTable::fData, part));  // null
  EXPECT_FALSE(access->GetBlobAccess(entry, TestTable::fID, part));
  EXPECT_EQ(part.bbaResult, 10753u);
  TmvBatchBlobAccesses parts;
  EXPECT_TRUE(access->GetBlobAccesses(entry, parts, false));
  EXPECT_EQ(parts.size(), 2u);
  EXPECT_TRUE(access->GetBlobAccesses(entry, parts, true));
  EXPECT_EQ(parts.size(), 1u);

  // A part offset outside the stream gives an access with 9986.
  const int64_t outside = int64_t(b.Size()) - 6;
  std::memcpy(entry.bseRecord + Fields()->FieldDescriptor(TestTable::fMemo)->Offset(), &outside, 8);
  ASSERT_TRUE(access->GetBlobAccess(entry, TestTable::fMemo, part));
  EXPECT_EQ(part.bbaResult, 9986u);
  EXPECT_EQ(part.bbaBlobData, nullptr);

  // Without gboBlobs the field holds a BLOB number.
  BatchBytes numbers(0, 1);
  const size_t e = numbers.Open();
  numbers.Put(Record(1, 11, 21, {{TestTable::fData, 77}}));
  numbers.Close(e);
  auto plain = Access(numbers.Stream(), 0);
  ASSERT_TRUE(plain->Reset(false));
  ASSERT_TRUE(plain->Next(entry));
  ASSERT_TRUE(plain->GetBlobAccess(entry, TestTable::fData, part));
  EXPECT_EQ(part.bbaBlobNr, 77);
  EXPECT_EQ(part.bbaBase, nullptr);
}

TEST_F(BatchStreams, CachedRecordsAndResultOnlyEntries) {
  for (bool blobs : {false, true}) {
    BatchBytes b(0, 2);
    CachedRecord(b, 11, 21, 5);
    const size_t missing = b.Open(true, 8710);
    b.Close(missing);
    auto access = Access(b.Stream(), blobs ? Options({gboBlobs, gboBlobNrs}) : 0);
    TmvBatchStreamEntry entry;
    ASSERT_TRUE(access->Reset(false));
    ASSERT_TRUE(access->Next(entry));
    EXPECT_EQ(entry.bseResult, 2u);
    EXPECT_EQ(entry.bseRecord, nullptr);
    ASSERT_NE(entry.bseCacheInfo, nullptr);
    const TmvIndexedRecordCacheInfo info = mvBatchEntryCacheInfo(entry);
    EXPECT_EQ(info.irciRefNr, 11);
    EXPECT_EQ(info.irciModifyLSN, 21);
    EXPECT_EQ(info.irciIndex, 5);
    TmvBatchBlobAccess part;
    EXPECT_FALSE(access->GetBlobAccess(entry, TestTable::fMemo, part));
    EXPECT_EQ(part.bbaResult, 2u);
    TmvBatchBlobAccesses parts;
    if (!blobs) {
      EXPECT_EQ(entry.bseBlobOffsets, nullptr);
    } else {
      ASSERT_TRUE(access->GetBlobAccesses(entry, parts, false));
      ASSERT_EQ(parts.size(), 1u);
      EXPECT_EQ(parts[0].bbaFieldNo, TestTable::fData);
      EXPECT_EQ(parts[0].bbaResult, 2u);
      EXPECT_EQ(parts[0].bbaSize, 6u);
      EXPECT_EQ(parts[0].bbaBlobNr, 44);
    }
    ASSERT_TRUE(access->Next(entry));
    EXPECT_EQ(entry.bseResult, 8710u);
    EXPECT_EQ(entry.bseSize, 4u);
    EXPECT_FALSE(access->GetBlobAccess(entry, TestTable::fMemo, part));
    EXPECT_EQ(part.bbaResult, 8710u);
    EXPECT_FALSE(access->Next(entry));
  }
}

TEST_F(BatchStreams, TheTrailingListIsTakenOnlyWhenItFits) {
  BatchBytes b(8706, 0);
  b.Put32(2);
  b.Put64(11);
  b.Put64(21);
  b.Put64(12);
  b.Put64(22);
  ASSERT_EQ(b.Size(), 12u + 16 * 2);
  auto access = Access(b.Stream(), 0);
  EXPECT_FALSE(access->Reset(false));
  ASSERT_EQ(access->InvalidCount(), 2u);
  EXPECT_EQ(access->InvalidInfo(1).rciRefNr, 12);
  EXPECT_EQ(access->InvalidInfo(1).rciModifyLSN, 22);
  auto cut = Access(b.Stream(b.Size() - 1), 0);
  cut->Reset(false);
  EXPECT_EQ(cut->InvalidCount(), 0u);

  // Behind the last entry of a batch with entries.
  BatchBytes withEntry(0, 1);
  PlainRecord(withEntry, 1, 11, 21);
  withEntry.Put32(1);
  withEntry.Put64(13);
  withEntry.Put64(23);
  auto behind = Access(withEntry.Stream(), Options({gboBookmarks}));
  TmvBatchStreamEntry entry;
  ASSERT_TRUE(behind->Reset(false));
  EXPECT_EQ(behind->InvalidCount(), 0u);  // found by the walk
  ASSERT_TRUE(behind->Next(entry));
  ASSERT_EQ(behind->InvalidCount(), 1u);
  EXPECT_EQ(behind->InvalidInfo(0).rciRefNr, 13);
}

TEST_F(BatchStreams, FixupBlobsPutsTheNumbersBack) {
  BatchBytes b(0, 1);
  RecordWithParts(b, 1, 11, 21);
  auto access = Access(b.Stream(), Options({gboBlobs, gboBookmarks, gboBlobNrs}));
  access->FixupBlobs(Options({gboBlobs}));
  EXPECT_TRUE(mvInSet(access->bsaOptions, gboBlobs));
  access->FixupBlobs(Options({gboBookmarks}));
  EXPECT_EQ(access->bsaOptions, Options({gboBookmarks}));
  TmvBatchStreamEntry entry;
  ASSERT_TRUE(access->Reset(false));
  ASSERT_TRUE(access->Next(entry));
  EXPECT_EQ(TestTable::Get<TmvBlobNr>(Fields(), entry.bseRecord, TestTable::fMemo), 42);
  EXPECT_EQ(TestTable::Get<TmvBlobNr>(Fields(), entry.bseRecord, TestTable::fWide), 43);
}

TEST_F(BatchStreams, TheCacheCheckRewritesWhatTheClientHoldsAndListsWhatIsGone) {
  BatchBytes b(8706, 3);
  for (int32_t id = 1; id <= 3; ++id) PlainRecord(b, id, 10 + id, 20 + id);
  cursor->onContains = [](TmvLSN, TmvRefNr aRefNr) { return aRefNr == 99 ? 8708u : 0u; };

  // The client holds exactly the batch: every entry becomes a cached one.
  const TmvRecordCacheInfo all[] = {{11, 21}, {12, 22}, {13, 23}};
  auto exact = Access(b.Stream(), Options({gboBookmarks}));
  EXPECT_TRUE(exact->CheckCacheValid(3, all, nullptr));
  TmvBatchStreamEntry entry;
  for (int32_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(exact->Next(entry));
    EXPECT_EQ(entry.bseResult, 2u);
    EXPECT_EQ(mvBatchEntryCacheInfo(entry).irciIndex, i);
    EXPECT_EQ(mvBatchEntryCacheInfo(entry).irciRefNr, 11 + i);
  }
  EXPECT_EQ(exact->InvalidCount(), 0u);

  // Out of step: a changed record stays, the others are found by RefNr, a
  // record that is gone is listed behind the entries.
  const TmvRecordCacheInfo mixed[] = {{11, 21}, {99, 5}, {13, 23}, {12, 7}};
  auto outOfStep = Access(b.Stream(), Options({gboBookmarks}));
  EXPECT_FALSE(outOfStep->CheckCacheValid(4, mixed, nullptr));
  std::vector<uint32_t> results;
  while (outOfStep->Next(entry)) results.push_back(entry.bseResult);
  EXPECT_EQ(results, (std::vector<uint32_t>{2, 0, 2}));
  ASSERT_EQ(outOfStep->InvalidCount(), 1u);
  EXPECT_EQ(outOfStep->InvalidInfo(0).rciRefNr, 99);

  // The client's infos in batch order.
  auto sequential = Access(b.Stream(), Options({gboBookmarks}));
  EXPECT_FALSE(sequential->CheckCacheValidSeq({{11, 21}, {12, 99}, {99, 5}}, nullptr));
  results.clear();
  while (sequential->Next(entry)) results.push_back(entry.bseResult);
  EXPECT_EQ(results, (std::vector<uint32_t>{2, 0, 0}));
  ASSERT_EQ(sequential->InvalidCount(), 1u);
  EXPECT_EQ(sequential->InvalidInfo(0).rciRefNr, 99);
}

TEST_F(BatchStreams, TheClientsBlobsAreMarkedOrListed) {
  std::vector<uint8_t> holds42(2 + 8);
  StoreLE16(holds42.data(), 1);
  StoreLE<int64_t>(holds42.data() + 2, 42);
  BatchBytes b(0, 1);
  RecordWithParts(b, 1, 11, 21);
  const TmvRecordCacheInfo info[] = {{11, 21}};
  const auto options = Options({gboBlobs, gboBookmarks, gboBlobNrs});

  // Same record, same BLOBs: the entry becomes a bare cached record.
  auto same = Access(b.Stream(), options);
  EXPECT_TRUE(same->CheckCacheValid(1, info, holds42.data()));
  TmvBatchStreamEntry entry;
  ASSERT_TRUE(same->Next(entry));
  EXPECT_EQ(entry.bseResult, 2u);
  EXPECT_EQ(entry.bseBlobOffsets, nullptr);

  // Same record, the client lacks the BLOB: the parts are listed.
  auto lacking = Access(b.Stream(), options);
  EXPECT_FALSE(lacking->CheckCacheValid(1, info, nullptr));
  ASSERT_TRUE(lacking->Next(entry));
  EXPECT_EQ(entry.bseResult, 2u);
  TmvBatchBlobAccesses parts;
  ASSERT_TRUE(lacking->GetBlobAccesses(entry, parts, true));
  EXPECT_EQ(parts[0].bbaBlobNr, 42);

  // A changed record keeps its data but the BLOB the client holds is
  // flagged as cached.
  auto changed = Access(b.Stream(), options);
  const std::vector<TmvRecordCacheInfo> older{{11, 20}};
  EXPECT_FALSE(changed->CheckCacheValidSeq(older, holds42.data()));
  ASSERT_TRUE(changed->Next(entry));
  EXPECT_EQ(entry.bseResult, 0u);
  TmvBatchBlobAccess part;
  ASSERT_TRUE(changed->GetBlobAccess(entry, TestTable::fMemo, part));
  EXPECT_EQ(part.bbaResult, 2u);
  EXPECT_EQ(part.bbaSize, 10u);

  // The local cache fills a flagged part again.
  auto cacheTable = TestTable::WithBlobs();
  cacheTable->blobs[42] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  auto* cache = TmvAbstractServerObject::Create<TestListCursor>(database, cacheTable.get());
  changed->CheckEntryForCachedBlobs(entry, cache, parts);
  auto filled = std::find_if(parts.begin(), parts.end(), [](auto& p) { return p.bbaFieldNo == TestTable::fMemo; });
  ASSERT_NE(filled, parts.end());
  EXPECT_TRUE(filled->bbaInCache);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(filled->bbaBlobData), 10), "0123456789");
  ASSERT_TRUE(changed->GetBlobAccess(entry, TestTable::fMemo, part));
  EXPECT_EQ(part.bbaResult, 0u);

  // A cached entry takes a client's full record over, its part filled.
  BatchBytes cached(0, 1);
  const size_t e = cached.Open(true, mvBatchCachedRecord);
  cached.Put(std::vector<uint8_t>(RecordLength() + 4 - 4, 0));
  const uint32_t partAt = uint32_t(cached.Size());
  cached.Put32(mvBatchResultFlag | 10);
  cached.Put(std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  cached.Put64(42);
  cached.Close(e);
  std::memcpy(&cached.bytes[e + 8], &info[0].rciRefNr, 8);
  std::memcpy(&cached.bytes[e + 16], &info[0].rciModifyLSN, 8);
  StoreLE32(&cached.bytes[e + 28], partAt);
  StoreLE16(&cached.bytes[e + 32], TestTable::fMemo);
  auto target = Access(cached.Stream(), options);
  auto source = Access(b.Stream(), options);
  TmvBatchStreamEntry targetEntry, sourceEntry;
  ASSERT_TRUE(target->Reset(false) && target->Next(targetEntry));
  ASSERT_TRUE(source->Reset(false) && source->Next(sourceEntry));
  ASSERT_NE(targetEntry.bseBlobOffsets, nullptr);
  EXPECT_FALSE(target->OverwriteEntry(targetEntry, sourceEntry, parts, false));
  EXPECT_EQ(targetEntry.bseResult, 0u);
  ASSERT_NE(targetEntry.bseRecord, nullptr);
  EXPECT_EQ(TestTable::Get<int32_t>(Fields(), targetEntry.bseRecord, TestTable::fID), 1);
  ASSERT_TRUE(target->GetBlobAccess(targetEntry, TestTable::fMemo, part));
  EXPECT_EQ(part.bbaOffset, partAt);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(part.bbaBlobData), 10), "0123456789");
  EXPECT_FALSE(target->GetBlobAccess(targetEntry, TestTable::fWide, part));
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_TRUE(parts[0].bbaInCache);
}

// Walks a batch with bookmarks, BLOB parts, a cached entry, a result-only
// entry and a trailing list, cut at every length and with every byte
// changed: every entry and part found lies inside the stream, the walk ends,
// and the rewriting operations change nothing outside it.
TEST_F(BatchStreams, DamagedBatchesAreWalkedInsideTheirBounds) {
  BatchBytes b(8706, 4);
  RecordWithParts(b, 1, 11, 21);
  PlainRecord(b, 2, 12, 22);
  CachedRecord(b, 13, 23, 2);
  const size_t missing = b.Open(true, 8710);
  b.Close(missing);
  b.Put32(1);
  b.Put64(14);
  b.Put64(24);
  cursor->onContains = [](TmvLSN, TmvRefNr aRefNr) { return aRefNr == 12 ? 8708u : 0u; };
  // Read also as written without BLOB numbers, where nothing follows a
  // part's data.
  TmvRecordGetBatchExOptions options = 0;
  const TmvRecordCacheInfo client[] = {{11, 21}, {12, 99}, {13, 23}};
  constexpr size_t kCanary = 64;

  uint64_t checksum = 0;
  auto run = [&](const std::vector<uint8_t>& aBytes, size_t aSize) {
    auto* stream = new TmvMemoryStream();
    std::vector<uint8_t> padded = aBytes;
    padded.resize(aBytes.size() + kCanary, 0xA5);
    stream->WriteBuffer(padded.data(), int64_t(padded.size()));
    stream->SetSize(int64_t(aSize));
    auto access = Access(stream, options);
    const auto* start = static_cast<const uint8_t*>(stream->Memory());
    const uint8_t* end = start + aSize;
    const std::vector<uint8_t> after(end, end + kCanary);
    auto inside = [&](const uint8_t* p, size_t n) { return p >= start && p + n <= end; };

    access->Reset(false);
    TmvBatchStreamEntry entry;
    size_t entries = 0;
    while (access->Next(entry)) {
      ASSERT_LE(++entries, aSize);
      ASSERT_TRUE(inside(entry.bseEntryBase, 4) && entry.bseEnd <= end);
      if (entry.bseRecord) {
        ASSERT_TRUE(inside(entry.bseRecord, RecordLength()));
      }
      if (entry.bseCacheInfo) {
        ASSERT_TRUE(inside(entry.bseCacheInfo, mvBatchCacheInfoSize));
      }
      TmvBatchBlobAccesses parts;
      access->GetBlobAccesses(entry, parts, false);
      for (const TmvBatchBlobAccess& part : parts) {
        if (part.bbaBase) {
          ASSERT_TRUE(inside(part.bbaBase, 4));
        }
        if (part.bbaBlobData) {
          ASSERT_TRUE(inside(part.bbaBlobData, part.bbaSize));
          for (uint32_t i = 0; i < part.bbaSize; ++i) checksum += part.bbaBlobData[i];
        }
      }
      TmvBatchBlobAccess part;
      for (int32_t field = -1; field <= Fields()->FieldCount(); ++field) access->GetBlobAccess(entry, field, part);
    }
    for (uint32_t i = 0; i < access->InvalidCount(); ++i) checksum += uint64_t(access->InvalidInfo(i).rciRefNr);
    access->FixupBlobs(0);
    ASSERT_EQ(std::vector<uint8_t>(end, end + kCanary), after);
    ASSERT_EQ(TmvBatchStreamAccess::GetSize(access.get()), int64_t(aSize));

    auto checked = Access(b.Stream(aSize), options);
    std::vector<uint8_t> damaged(start, end);
    auto* stream2 = checked->Stream();
    stream2->SetPosition(0);
    stream2->WriteBuffer(damaged.data(), int64_t(damaged.size()));
    checked->CheckCacheValid(3, client, nullptr);
    checked->Reset(false);
    size_t walked = 0;
    while (checked->Next(entry)) ASSERT_LE(++walked, aSize);
  };

  for (TmvRecordGetBatchExOptions read :
       {Options({gboBlobs, gboBookmarks, gboBlobNrs}), Options({gboBlobs, gboBookmarks})}) {
    options = read;
    for (size_t size = 0; size <= b.Size(); ++size) run(b.bytes, size);
    for (size_t at = 0; at < b.Size(); ++at) {
      for (uint8_t change : {uint8_t(0xFF), uint8_t(0x80), uint8_t(0x01), uint8_t(0x7F)}) {
        std::vector<uint8_t> changed = b.bytes;
        changed[at] ^= change;
        run(changed, changed.size());
      }
    }
  }
  EXPECT_NE(checksum, 0u);
}

}  // namespace
