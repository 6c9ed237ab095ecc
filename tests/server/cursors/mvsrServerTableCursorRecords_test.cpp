// Table cursor record tests: reading through ranges and filters, by key and
// in batches, counts and the count task, lock conflicts; inserting (plain,
// modify-if-found, locked, failing), modifying and deleting with their
// special-field checks, the extenders' order, batch inserts and the undo of
// a failed write inside the caller's transaction.
#include <chrono>
#include <thread>

#include "platform/Numeric.h"
#include "server/cursors/TableCursorTestSupport.h"
#include "server/mvsrServerTasks.h"
#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "server/ServerTestSupport.h"

namespace {

using namespace cursor_test;

// A filter over records or keys that asks a function.
class TestFilter : public TmvBaseFilterEngine {
 public:
  explicit TestFilter(std::function<bool(const void*)> aTest) : TmvBaseFilterEngine(nullptr, nullptr), fTest(aTest) {
    SetActive(true);
  }
  TmvBaseFilterDescriptor* CreateDescriptor() override { return nullptr; }
  bool MatchesBuffer(const void* aBuffer) override { return fTest(aBuffer); }

 private:
  std::function<bool(const void*)> fTest;
};

class Records : public CursorTest {
 protected:
  // "T" with the given IDs on ByID (or another index).
  TmvServerTableCursor* Table(TmvServerDatabase* aDb, const std::vector<int32_t>& aIDs,
                              const String& aIndex = u"ByID") {
    EXPECT_EQ(Build(DiskFolder(), u"T", IndexedPeople().get()), 0u);
    TmvServerTableCursor* cursor = Open(aDb, u"T", aIndex);
    if (!aIDs.empty()) Fill(cursor, aIDs);
    return cursor;
  }
  // The IDs read with RecordGetNext (forward) or RecordGetPrior from the
  // cursor's current position; aLast receives the code that ended it.
  static std::vector<int32_t> Walk(TmvServerTableCursor* aCursor, bool aForward, uint32_t* aLast = nullptr) {
    std::vector<int32_t> ids;
    std::vector<uint8_t> record(aCursor->RecordLength() + 4);
    uint32_t code;
    while ((code = aForward ? aCursor->RecordGetNext(mvltNoLock, record.data())
                            : aCursor->RecordGetPrior(mvltNoLock, record.data())) == 0)
      ids.push_back(IDOf(aCursor, record.data()));
    if (aLast) *aLast = code;
    return ids;
  }
  static void SetRange(TmvServerTableCursor* aCursor, int32_t aFrom, bool aFromIncl, int32_t aTo, bool aToIncl) {
    std::vector<uint8_t> from = Row(aCursor, aFrom), to = Row(aCursor, aTo);
    ASSERT_EQ(aCursor->RangeSet(1, 0, false, from.data(), aFromIncl, 1, 0, false, to.data(), aToIncl), 0u);
  }
  static uint32_t Count(TmvServerTableCursor* aCursor, TmvRecordCountOption aOption) {
    uint32_t count = 0;
    EXPECT_EQ(aCursor->GetRecordCountEx(aOption, count, false), 0u);
    return count;
  }
  static std::vector<uint8_t> ReadCurrent(TmvServerTableCursor* aCursor, uint32_t* aCode = nullptr) {
    std::vector<uint8_t> record(aCursor->RecordLength() + 4);
    const uint32_t code = aCursor->RecordGet(mvltNoLock, record.data());
    if (aCode) *aCode = code;
    return record;
  }
  static uint32_t FindID(TmvServerTableCursor* aCursor, int32_t aID) {
    std::vector<uint8_t> key = Row(aCursor, aID), record(aCursor->RecordLength() + 4);
    return aCursor->RecordGetForKey(1, 0, false, key.data(), record.data(), true, true);
  }
};

TEST_F(Records, NextAndPriorFollowTheRangeEnds) {
  TmvServerTableCursor* cursor = Table(Database(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  uint32_t last = 0;
  EXPECT_EQ(Walk(cursor, true, &last), (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(last, uint32_t(MVERR_EOF));
  EXPECT_EQ(cursor->RecordGetNext(mvltNoLock, nullptr), uint32_t(MVERR_EOF)) << "at EOF it stays";
  EXPECT_EQ(Walk(cursor, false, &last), (std::vector<int32_t>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(last, uint32_t(MVERR_BOF));

  struct Case {
    int32_t From;
    bool FromIncl;
    int32_t To;
    bool ToIncl;
    std::vector<int32_t> Forward;
  } cases[] = {{3, true, 6, true, {3, 4, 5, 6}},
               {3, false, 6, false, {4, 5}},
               {11, true, 20, true, {}},
               {0, true, 1, false, {}},
               {5, true, 5, true, {5}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.From) + ".." + std::to_string(c.To));
    SetRange(cursor, c.From, c.FromIncl, c.To, c.ToIncl);
    EXPECT_EQ(Walk(cursor, true, &last), c.Forward);
    EXPECT_EQ(last, uint32_t(MVERR_EOF));
    EXPECT_EQ(cursor->IndexPath()->Position, ippEof);
    cursor->SetToEnd();
    std::vector<int32_t> backward(c.Forward.rbegin(), c.Forward.rend());
    EXPECT_EQ(Walk(cursor, false, &last), backward);
    EXPECT_EQ(last, uint32_t(MVERR_BOF));
  }
}

TEST_F(Records, WithoutIndexTheRecordEngineLeads) {
  TmvServerDatabase* db = Database();
  ASSERT_EQ(Build(DiskFolder(), u"Plain"), 0u);
  TmvServerTableCursor* cursor = Open(db, u"Plain");
  Fill(cursor, {1, 2, 3});
  EXPECT_EQ(Walk(cursor, true), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(Walk(cursor, false), (std::vector<int32_t>{3, 2, 1}));
  EXPECT_EQ(Count(cursor, rcoTotalRecordCount), 3u);
  std::vector<int32_t> seen;
  cursor->SetToBegin();
  cursor->sbcIterate(nullptr, nullptr,
                     [&](void*, TmvRefNr, const uint8_t* aRecord) {
                       seen.push_back(IDOf(cursor, aRecord));
                       return rirContinue;
                     },
                     false, nullptr, false);
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(cursor->IndexPath()->Position, ippEof);
}

TEST_F(Records, FiltersRejectAndTimeOut) {
  TmvServerTableCursor* cursor = Table(Database(), {1, 2, 3, 4, 5, 6});
  TmvFilterID id = 0;
  cursor->sbcFilterAddCustom(new TestFilter([&](const void* aRecord) { return IDOf(cursor, aRecord) % 2 == 0; }), id,
                             true);
  EXPECT_EQ(Walk(cursor, true), (std::vector<int32_t>{2, 4, 6}));
  SetRange(cursor, 2, true, 5, true);
  EXPECT_EQ(Count(cursor, rcoRangedKeyCount), 4u) << "the ranged count ignores the record filter";
  EXPECT_EQ(Count(cursor, rcoServerFilteredKeyCount), 2u) << "the filtered count honours it";
  EXPECT_EQ(Count(cursor, rcoTotalKeyCount), 6u);
  cursor->RangeReset();

  // The key filter: a current key it rejects is no current record.
  cursor->SetToBegin();
  ASSERT_EQ(cursor->RecordGetNext(mvltNoLock, nullptr), 0u);
  TmvKeyFilterID keyID = 0;
  auto* keyFilter = new TestFilter([](const void*) { return false; });
  cursor->sbcKeyFilterAddCustomEngine(keyFilter, keyID);
  keyFilter->SetActive(true);
  uint32_t code = 0;
  ReadCurrent(cursor, &code);
  EXPECT_EQ(code, uint32_t(MVERR_NOCURRREC));
  keyFilter->SetActive(false);

  // A filter that rejects everything slowly runs out of time.
  cursor->FilterRemove(id);
  cursor->sbcFilterAddCustom(new TestFilter([](const void*) {
                               std::this_thread::sleep_for(std::chrono::milliseconds(3));
                               return false;
                             }),
                             id, true);
  ASSERT_EQ(cursor->FilterSetTimeout(1), 0u);
  cursor->SetToBegin();
  EXPECT_EQ(cursor->RecordGetNext(mvltNoLock, nullptr), uint32_t(MVERR_FILTERTIMEOUT));
  EXPECT_EQ(LastText(MVERR_FILTERTIMEOUT), u"The filter timed out.");
}

TEST_F(Records, LookupsByKeySinglyAndInBatches) {
  TmvServerDatabase* db = Database();
  TmvServerTableCursor* cursor = Table(db, {});
  Fill(cursor, {1, 2, 3, 4, 5, 6}, [&](std::vector<uint8_t>& aRecord, int32_t aID) {
    const char* name = aID <= 3 ? "Ann" : aID <= 5 ? "Bob" : "Cy";
    uint8_t text[41] = {uint8_t(std::strlen(name))};
    std::memcpy(text + 1, name, std::strlen(name));
    cursor->Table()->FieldsDescriptor()->SetRecordField(1, aRecord.data(), text);
  });
  ASSERT_EQ(cursor->SwitchToIndex(u"ByName", -1, porFalse), 0u);
  std::vector<uint8_t> key = Row(cursor, 1, "Ann"), record(cursor->RecordLength() + 4);
  std::vector<int32_t> found;
  for (bool first = true;; first = false) {
    const uint32_t code = cursor->RecordGetForKey(1, 0, false, key.data(), record.data(), true, first);
    if (code != 0) {
      EXPECT_EQ(code, uint32_t(MVERR_RECNOTFOUND));
      break;
    }
    found.push_back(IDOf(cursor, record.data()));
  }
  EXPECT_EQ(found, (std::vector<int32_t>{1, 2, 3})) << "every record of the equal key, then 8710";
  EXPECT_EQ(cursor->IndexPath()->Position, ippEof);

  // A batch with an unmatched key in the middle.
  ASSERT_EQ(cursor->SwitchToIndex(u"ByID", -1, porFalse), 0u);
  std::vector<std::vector<uint8_t>> buffers;
  TmvDataSetKeyBuffers keys;
  for (int32_t id : {2, 42, 5}) {
    std::vector<uint8_t> row = Row(cursor, id);
    std::vector<uint8_t> buffer(sizeof(TmvDataSetKeyBuffer) + row.size());
    new (buffer.data()) TmvDataSetKeyBuffer{};
    std::memcpy(buffer.data() + sizeof(TmvDataSetKeyBuffer), row.data(), row.size());
    buffers.push_back(std::move(buffer));
  }
  for (auto& b : buffers) keys.push_back(reinterpret_cast<TmvDataSetKeyBuffer*>(b.data()));
  TmvBatchStreamAccess* access = nullptr;
  ASSERT_EQ(cursor->sbcRecordGetForKeyBatch(uint32_t(INT32_MAX), 0, access, keys, true, true), 0u);
  ASSERT_NE(access, nullptr);
  const uint8_t* bytes = static_cast<const uint8_t*>(access->Stream()->Memory());
  EXPECT_EQ(LoadLE32(bytes), uint32_t(MVERR_EOF));
  EXPECT_EQ(LoadLE32(bytes + 4), 3u);
  const uint32_t length = cursor->RecordLength();
  size_t at = 8;
  EXPECT_EQ(LoadLE32(bytes + at), length);
  EXPECT_EQ(IDOf(cursor, bytes + at + 4), 2);
  at += 4 + length;
  EXPECT_EQ(LoadLE32(bytes + at), 0x80000004u);
  EXPECT_EQ(LoadLE32(bytes + at + 4), uint32_t(MVERR_RECNOTFOUND));
  at += 8;
  EXPECT_EQ(IDOf(cursor, bytes + at + 4), 5);
  delete access;

  // A record batch of an empty table.
  ASSERT_EQ(Build(DiskFolder(), u"Empty", IndexedPeople().get()), 0u);
  TmvServerTableCursor* empty = Open(db, u"Empty", u"ByID");
  access = nullptr;
  ASSERT_EQ(empty->RecordGetBatch(uint32_t(INT32_MAX), 0, access, 0, true), 0u);
  bytes = static_cast<const uint8_t*>(access->Stream()->Memory());
  EXPECT_EQ(LoadLE32(bytes), uint32_t(MVERR_EOF));
  EXPECT_EQ(LoadLE32(bytes + 4), 0u);
  delete access;
}

TEST_F(Records, ReadLocksConflictWithTheirReason) {
  TmvServerDatabase* one = Database();
  TmvServerDatabase* two = Database();
  TmvServerTableCursor* first = Table(one, {1, 2, 3});
  TmvServerTableCursor* other = Open(two, u"T", u"ByID");
  TmvServerTableCursor* sibling = Open(one, u"T", u"ByID");
  ASSERT_EQ(first->RecordGetNext(mvltReadLock, nullptr), 0u);
  for (auto [cursor, expected] : {std::pair{other, MVERR_RECLOCKED}, std::pair{sibling, MVERR_SESSIONLOCKCONFLICT}}) {
    SCOPED_TRACE(expected);
    cursor->SetToBegin();
    const uint32_t code = cursor->RecordGetNext(mvltReadLock, nullptr);
    EXPECT_EQ(code, uint32_t(expected));
    EXPECT_NE(LastText(code).find(u"TableName: "), String::npos) << UTF8Encode(LastText(code));
    EXPECT_EQ(cursor->IndexPath()->Position, ippOnCrackBefore) << "the read can be repeated";
  }
  ASSERT_EQ(first->RecordLockRelease(true, false), 0u);
  EXPECT_EQ(other->RecordGetNext(mvltReadLock, nullptr), 0u);
  EXPECT_EQ(CurrentID(other), 1);
}

TEST_F(Records, CountTaskFinishesAtOnceOrWalks) {
  TmvServerDatabase* db = Database();
  TmvServerTableCursor* cursor = Table(db, {1, 2, 3, 4, 5, 6, 7, 8});
  TmvAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(cursor->GetRecordCountExAsync(rcoTotalKeyCount, task), 0u);
  bool done = false;
  TmvTaskStatus status;
  ASSERT_EQ(task->GetStatus(done, status), 0u);
  EXPECT_TRUE(done);
  EXPECT_EQ(status.tsRecsRead, 8u);
  EXPECT_EQ(status.tsRecsWritten, 8u);
  EXPECT_EQ(status.tsPercentDone, 100);
  TmvAbstractServerObject::Free(task);

  SetRange(cursor, 2, true, 6, false);
  ASSERT_EQ(cursor->GetRecordCountExAsync(rcoRangedKeyCount, task), 0u);
  done = false;
  for (int i = 0; i < 500 && !done; ++i) {
    ASSERT_EQ(task->GetStatus(done, status), 0u);
    if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(done);
  EXPECT_EQ(status.tsErrorCode, 0u);
  EXPECT_EQ(status.tsRecsRead, 4u);
  EXPECT_EQ(task->Cancel(), 0u);
  ASSERT_EQ(task->GetStatus(done, status), 0u);
  EXPECT_EQ(status.tsErrorCode, uint32_t(MVERR_UPDATEABORTED));
  TmvAbstractServerObject::Free(task);
}

TEST_F(Records, CountTaskEndsAtOnceWhenTheSessionIsBusy) {
  TmvServerDatabase* db = Database();
  TmvServerTableCursor* cursor = Table(db, {1, 2, 3});
  SetRange(cursor, 1, true, 2, true);
  // The test thread holds the session: the task cannot take it.
  cursor->GetLock()->Lock();
  auto* task = TmvServerGetRecCountTaskInfo::Start(rcoRangedKeyCount, 3, cursor);
  bool done = false;
  TmvTaskStatus status;
  for (int i = 0; i < 1000 && !done; ++i) {
    ASSERT_EQ(task->GetStatus(done, status), 0u);
    if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  uint32_t unlocked = 0;
  cursor->GetLock()->Unlock(unlocked);
  EXPECT_TRUE(done);
  for (int i = 0; i < 1000 && task->Executing(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_FALSE(task->Executing());
  EXPECT_EQ(status.tsErrorCode, uint32_t(MVERR_REENTERED));
  TmvAbstractServerObject::Free(task);
}

// ---------------------------------------------------------------------------
// Writing

TEST_F(Records, InsertsFindUpdateAndDelete) {
  TmvServerDatabase* db = Database();
  TmvServerTableCursor* cursor = Table(db, {});
  int64_t autoInc = 0;
  for (int32_t i = 0; i < 5; ++i) {
    std::vector<uint8_t> row = Row(cursor, 0);
    cursor->Table()->FieldsDescriptor()->SetRecordFieldNull(0, row.data(), true);
    ASSERT_EQ(cursor->RecordInsert(mvltNoLock, row.data(), &autoInc), 0u) << UTF8Encode(LastText(0));
    EXPECT_EQ(autoInc, i + 1);
    EXPECT_EQ(CurrentID(cursor), i + 1) << "the path stands on the new record";
  }
  EXPECT_EQ(Count(cursor, rcoTotalRecordCount), 5u);

  // A duplicate is refused with the key's text, nothing stored.
  std::vector<uint8_t> dup = Row(cursor, 3);
  const uint32_t code = cursor->RecordInsert(mvltNoLock, dup.data(), &autoInc);
  EXPECT_EQ(code, uint32_t(MVERR_KEYVIOL));
  EXPECT_EQ(autoInc, -1);
  EXPECT_EQ(Count(cursor, rcoTotalRecordCount), 5u);
  EXPECT_EQ(Count(cursor, rcoTotalKeyCount), 5u);

  // Modify: found, changed, found again under the new name.
  ASSERT_EQ(FindID(cursor, 4), 0u);
  std::vector<uint8_t> row = ReadCurrent(cursor);
  uint8_t name[41] = {3, 'Z', 'o', 'e'};
  cursor->Table()->FieldsDescriptor()->SetRecordField(1, row.data(), name);
  ASSERT_EQ(cursor->RecordModify(row.data(), true, nullptr), 0u) << UTF8Encode(LastText(0));
  ASSERT_EQ(cursor->SwitchToIndex(u"ByName", -1, porFalse), 0u);
  std::vector<uint8_t> key = Row(cursor, 0, "Zoe"), found(cursor->RecordLength() + 4);
  ASSERT_EQ(cursor->RecordGetForKey(1, 0, false, key.data(), found.data(), true, true), 0u);
  EXPECT_EQ(IDOf(cursor, found.data()), 4);

  // Delete, then the key is gone.
  ASSERT_EQ(cursor->RecordDelete(nullptr, 0), 0u);
  EXPECT_EQ(cursor->RecordGetForKey(1, 0, false, key.data(), found.data(), true, true), uint32_t(MVERR_RECNOTFOUND));
  EXPECT_EQ(Count(cursor, rcoTotalRecordCount), 4u);
  EXPECT_EQ(cursor->RecordDelete(nullptr, 5), uint32_t(MVERR_NOTSUPPORTED)) << "no ModifyLSN field";
}

TEST_F(Records, ModifyIfFoundUpdatesAndKeepsTheAutoInc) {
  TmvServerDatabase* db = Database();
  ASSERT_EQ(Build(DiskFolder(), u"Plain"), 0u);
  TmvServerTableCursor* plain = Open(db, u"Plain");
  const TmvInsertOptions upsert = TmvInsertOptions((1u << ioSetAutoInc) | (1u << ioModifyIfFound));
  std::vector<uint8_t> row = Row(plain, 1);
  int64_t autoInc = 0;
  ASSERT_EQ(plain->sbcRecordInsert(mvltNoLock, upsert, row.data(), &autoInc), 0u);
  ASSERT_EQ(plain->sbcRecordInsert(mvltNoLock, upsert, row.data(), &autoInc), 0u);
  EXPECT_EQ(Count(plain, rcoTotalRecordCount), 2u) << "without index every upsert inserts";

  TmvServerTableCursor* cursor = Table(db, {1, 2});
  row = Row(cursor, 2, "New");
  ASSERT_EQ(cursor->sbcRecordInsert(mvltNoLock, upsert, row.data(), &autoInc), 0u) << UTF8Encode(LastText(0));
  EXPECT_EQ(autoInc, -1) << "no value was generated";
  EXPECT_EQ(Count(cursor, rcoTotalRecordCount), 2u);
  ASSERT_EQ(FindID(cursor, 2), 0u);
  std::vector<uint8_t> stored = ReadCurrent(cursor);
  uint8_t name[41] = {};
  bool isNull = false;
  cursor->Table()->FieldsDescriptor()->GetRecordField(1, stored.data(), isNull, name);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(name + 1), name[0]), "New");
}

TEST_F(Records, LockedInsertOutsideTheRangeStoresNothing) {
  TmvServerTableCursor* cursor = Table(Database(), {1, 2, 3});
  SetRange(cursor, 1, true, 3, true);
  ASSERT_EQ(cursor->sbcAutoIncSet(100), 0u);
  std::vector<uint8_t> row = Row(cursor, 0);
  cursor->Table()->FieldsDescriptor()->SetRecordFieldNull(0, row.data(), true);
  int64_t autoInc = 0;
  const uint32_t code = cursor->RecordInsert(mvltWriteLock, row.data(), &autoInc);
  EXPECT_EQ(code, uint32_t(MVERR_RECLOCKFAILED));
  EXPECT_EQ(LastText(code), u"Record lock failed. Record outside current range. Record not inserted");
  EXPECT_EQ(autoInc, -1);
  EXPECT_TRUE(cursor->Table()->FieldsDescriptor()->IsRecordFieldNull(0, row.data()))
      << "the generated value is taken back";
  cursor->RangeReset();
  EXPECT_EQ(Count(cursor, rcoTotalRecordCount), 3u);

  // The same with a filter that rejects the record.
  TmvFilterID id = 0;
  cursor->sbcFilterAddCustom(new TestFilter([](const void*) { return false; }), id, true);
  EXPECT_EQ(LastText(cursor->RecordInsert(mvltWriteLock, row.data(), &autoInc)),
            u"Record lock failed. Record does not match active filter. Record not inserted");
  cursor->FilterRemove(id);
  EXPECT_EQ(Count(cursor, rcoTotalRecordCount), 3u);
}

TEST_F(Records, ModifyLeavingTheRangeMarksThePathDeleted) {
  TmvServerTableCursor* cursor = Table(Database(), {1, 2, 3, 4});
  SetRange(cursor, 1, true, 3, true);
  ASSERT_EQ(FindID(cursor, 2), 0u);
  std::vector<uint8_t> row = ReadCurrent(cursor);
  const int32_t id = 9;
  cursor->Table()->FieldsDescriptor()->SetRecordField(0, row.data(), &id);
  ASSERT_EQ(cursor->RecordModify(row.data(), true, nullptr), 0u) << UTF8Encode(LastText(0));
  EXPECT_TRUE(cursor->IndexPath()->IsDeleted());
  EXPECT_EQ(Walk(cursor, true), (std::vector<int32_t>{3}));
}

TEST_F(Records, ATableLockOfAnotherCursorRefusesWrites) {
  TmvServerDatabase* db = Database();
  TmvServerTableCursor* cursor = Table(db, {1});
  TmvServerTableCursor* holder = Open(Database(), u"T", u"ByID");
  ASSERT_EQ(holder->TableLockAcquire(mvltWriteLock), 0u);
  std::vector<uint8_t> row = Row(cursor, 7);
  int64_t autoInc = 0;
  EXPECT_EQ(cursor->RecordInsert(mvltNoLock, row.data(), &autoInc), uint32_t(MVERR_FILELOCKED));
  ASSERT_EQ(holder->TableLockRelease(mvltWriteLock, true), 0u);
  EXPECT_EQ(cursor->RecordInsert(mvltNoLock, row.data(), &autoInc), 0u);
}

TEST_F(Records, BatchInsertChecksTheStreamFirst) {
  TmvServerTableCursor* cursor = Table(Database(), {});
  const uint32_t length = cursor->RecordLength();
  auto batch = [&](int32_t aCount, uint32_t aSize, size_t aRecords) {
    auto* stream = new TmvMemoryStream;
    std::vector<uint8_t> bytes(8 + aRecords * (4 + length));
    StoreLE32(bytes.data() + 4, uint32_t(aCount));
    for (size_t i = 0; i < aRecords; ++i) {
      StoreLE32(bytes.data() + 8 + i * (4 + length), aSize);
      std::vector<uint8_t> row = Row(cursor, int32_t(i) + 1);
      std::memcpy(bytes.data() + 12 + i * (4 + length), row.data(), length);
    }
    stream->WriteBuffer(bytes.data(), int32_t(bytes.size()));
    return stream;
  };
  struct Case {
    int32_t Count;
    uint32_t Size;
    size_t Records;
    uint32_t Code;
  } cases[] = {{-1, length, 2, MVERR_INVALIDPARAM},
               {3, length, 2, MVERR_INVALIDPARAM},
               {2, length + 1, 2, MVERR_INVALIDPARAM},
               {2, length, 2, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Count);
    TmvMemoryStream* stream = batch(c.Count, c.Size, c.Records);
    EXPECT_EQ(cursor->RecordInsertBatch(stream), c.Code);
    delete stream;
  }
  EXPECT_EQ(Count(cursor, rcoTotalRecordCount), 2u) << "only the sound batch stored records";
}

TEST_F(Records, SpecialFieldsGuardAModify) {
  auto dict = IndexedPeople();
  TmvFieldsDescriptor* f = dict->GetFieldsDescriptor();
  f->AddField(u"REV", u"", mvtRecRev, 0, 0, false);
  f->AddField(u"REF", u"", mvtRefNr, 0, 0, false);
  f->AddField(u"MLSN", u"", mvtInt64, 0, 0, false)
      ->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass)
      ->SetApplyOnModify(true);
  ASSERT_EQ(Build(DiskFolder(), u"S", dict.get()), 0u);
  TmvServerTableCursor* cursor = Open(Database(), u"S", u"ByID");
  TmvFieldsDescriptor* fields = cursor->Table()->FieldsDescriptor();
  std::vector<uint8_t> row = Row(cursor, 1);
  int64_t autoInc = 0;
  ASSERT_EQ(cursor->RecordInsert(mvltNoLock, row.data(), &autoInc), 0u) << UTF8Encode(LastText(0));
  std::vector<uint8_t> stored = ReadCurrent(cursor);
  int64_t refNr = 0, lsn = 0;
  bool isNull = false;
  fields->GetRecordField(5, stored.data(), isNull, &refNr);
  fields->GetRecordField(6, stored.data(), isNull, &lsn);
  ASSERT_NE(refNr, 0);

  std::vector<uint8_t> changed = stored;
  const uint32_t otherRev = 7;
  fields->SetRecordField(4, changed.data(), &otherRev);
  EXPECT_EQ(cursor->RecordModify(changed.data(), true, nullptr), uint32_t(MVERR_RECCHANGEDBYOTHER));
  changed = stored;
  const int64_t otherRef = refNr + 1;
  fields->SetRecordField(5, changed.data(), &otherRef);
  const uint32_t code = cursor->RecordModify(changed.data(), true, nullptr);
  EXPECT_EQ(code, uint32_t(MVERR_INVALIDMODIFYREQUEST));
  EXPECT_EQ(LastText(code), u"Invalid modify request. RefNr has changed.\r\nExpected: [" + IntToStr(refNr) +
                                u"]\r\nFound: [" + IntToStr(otherRef) + u"]");
  EXPECT_EQ(cursor->RecordDelete(nullptr, TmvLSN(lsn + 100)), uint32_t(MVERR_NOCURRREC)) << "another ModifyLSN";
  EXPECT_EQ(cursor->RecordDelete(nullptr, TmvLSN(lsn)), 0u);
  EXPECT_EQ(Count(cursor, rcoTotalRecordCount), 0u);
}

TEST_F(Records, ExtendersSeeTheOrderAndCanVeto) {
  TmvServerTableCursor* cursor = Table(Database(), {1});
  auto* extender = new TestExtender(nullptr, cursor, {eaRecordInsert, eaRecordModify, eaRecordDelete, eaRecordGet});
  std::vector<uint8_t> row = Row(cursor, 2);
  int64_t autoInc = 0;
  ASSERT_EQ(cursor->RecordInsert(mvltNoLock, row.data(), &autoInc), 0u);
  std::vector<uint8_t> current = ReadCurrent(cursor);
  ASSERT_EQ(cursor->RecordModify(current.data(), true, nullptr), 0u);
  ASSERT_EQ(cursor->RecordDelete(nullptr, 0), 0u);
  std::vector<std::pair<TmvEngineAction, bool>> seen;
  for (const auto& c : extender->calls) seen.push_back({c.action, c.before});
  const std::vector<std::pair<TmvEngineAction, bool>> expected{
      {eaRecordInsert, true}, {eaRecordInsert, false}, {eaRecordGet, false}, {eaRecordModify, true},
      {eaRecordModify, false}, {eaRecordDelete, true}, {eaRecordDelete, false}};
  EXPECT_EQ(seen, expected);

  extender->answers.push_back({eaRecordInsert, true, 10009});
  row = Row(cursor, 3);
  EXPECT_EQ(cursor->RecordInsert(mvltNoLock, row.data(), &autoInc), 10009u);
  EXPECT_EQ(Count(cursor, rcoTotalRecordCount), 1u) << "a veto before leaves nothing changed";
}

TEST_F(Records, ALateFailureInTheCallersTransactionMarksItCorrupted) {
  TmvServerTableCursor* cursor = Table(Database(), {1, 2});
  auto* extender = new TestExtender(nullptr, cursor, {eaRecordModify});
  extender->answers.push_back({eaRecordModify, false, 10009});
  TmvAbstractTransContext* context = cursor->_Trans();
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  ASSERT_EQ(FindID(cursor, 2), 0u);
  std::vector<uint8_t> row = ReadCurrent(cursor);
  const int32_t id = 5;
  cursor->Table()->FieldsDescriptor()->SetRecordField(0, row.data(), &id);
  EXPECT_EQ(cursor->RecordModify(row.data(), true, nullptr), 10009u);
  EXPECT_EQ(context->TransactionCommit(), uint32_t(MVERR_TRANSACTIONCORRUPT))
      << "the keys were changed: only a rollback can undo them";
  ASSERT_EQ(context->TransactionRollback(), 0u);
  cursor->SetToBegin();
  EXPECT_EQ(Walk(cursor, true), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(Count(cursor, rcoTotalKeyCount), 2u);
}

}  // namespace
