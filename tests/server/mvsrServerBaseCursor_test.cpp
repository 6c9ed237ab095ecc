// Tests of the in-process cursor's frame: read-only and write-only
// pre-checks, exception conversion and cancels, filters with their handles,
// hub and timeout, the batch writer with BLOB parts, the lock-failure
// message, insert options and snapshot BLOB reads in a transaction.
#include <gtest/gtest.h>

#include <thread>

#include "CursorTestSupport.h"
#include "platform/SyncObjs.h"
#include "storage/mvsrTypes.h"
#include "support/mvTestTransaction.h"

namespace {

constexpr TmvRecordGetBatchExOptions Options(std::initializer_list<TmvRecordGetBatchExOption> aOptions) {
  return TmvRecordGetBatchExOptions(mvSetOf(aOptions));
}

// A callback filter that rejects the records whose ID is one of its own.
struct Rejecting {
  TmvFieldsDescriptor* fields;
  std::vector<int32_t> ids;
  static bool Matches(void* aCookie, const void* aBuffer) {
    auto* self = static_cast<Rejecting*>(aCookie);
    const int32_t id = TestTable::Get<int32_t>(self->fields, aBuffer, TestTable::fID);
    return std::find(self->ids.begin(), self->ids.end(), id) == self->ids.end();
  }
};

struct ServerCursors : CursorTest {
  void SetUp() override {
    CursorTest::SetUp();
    for (int32_t id = 1; id <= 5; ++id) table->AddRow(id, 10 + id, 20 + id, 30 + id);
  }
  TestServerCursor* Open(TmvOpenMode aMode, TestTable* aTable = nullptr, uint32_t aTimeout = 0) {
    return TmvAbstractServerObject::Create<TestServerCursor>(database, aTable ? aTable : table.get(), aMode, aTimeout);
  }
  Rejecting* Reject(std::vector<int32_t> aIds) {
    rejecting.push_back(std::make_unique<Rejecting>(Rejecting{table->Fields(), std::move(aIds)}));
    return rejecting.back().get();
  }
  // The IDs a walk from the start meets.
  std::vector<int32_t> Walk(TmvAbstractCursor* aCursor) {
    std::vector<int32_t> ids;
    std::vector<uint8_t> record = table->NewRecord();
    EXPECT_EQ(aCursor->SetToBegin(), 0u);
    while (aCursor->RecordGetNext(mvltNoLock, record.data()) == 0)
      ids.push_back(TestTable::Get<int32_t>(table->Fields(), record.data(), TestTable::fID));
    return ids;
  }
  uint32_t EntrySize() { return 4 + uint32_t(table->RecordLength()); }

  std::vector<std::unique_ptr<Rejecting>> rejecting;
};

TEST_F(ServerCursors, WritesOnAReadOnlyCursorAreRefusedWithoutTheLock) {
  TestServerCursor* cursor = Open(omReadOnly);
  std::atomic<bool> held{false}, release{false};
  std::thread other([&] {
    session->GetLock()->Lock();
    held = true;
    while (!release) std::this_thread::yield();
    uint32_t result = 0;
    session->GetLock()->Unlock(result);
  });
  while (!held) std::this_thread::yield();
  uint8_t byte = 0;
  TmvMemoryStream stream;
  const std::function<uint32_t()> writes[] = {
      [&] { return cursor->RecordInsertBatch(&stream); },
      [&] { return cursor->BlobWrite(TmvRecID{}, TestTable::fData, 1, 0, 1, &byte); },
      [&] { return cursor->AutoIncSet(5); },
      [&] { return cursor->TableStreamWrite(u"s", &stream); },
      [&] { return cursor->ChangePassword(u"pw"); },
  };
  for (const auto& write : writes) {
    EXPECT_EQ(write(), 10763u);
    EXPECT_EQ(LastText(10763), u"Table is read only.");
  }
  // Locked calls are refused while another thread is inside; the cursor
  // itself as a position needs no lock.
  int32_t index = 0;
  EXPECT_EQ(RaisedCode([&] { cursor->GetIndexID(index); }), 8455u);
  EXPECT_EQ(cursor->SetToCursor(cursor), 0u);
  release = true;
  other.join();
  EXPECT_EQ(cursor->calls, 0);

  // BlobsCancel: nothing to cancel on a read-only cursor or a table without
  // BLOB fields.
  EXPECT_EQ(cursor->BlobsCancel(11), 0u);
  auto plain = TestTable::Plain();
  TestServerCursor* noBlobs = Open(omReadWrite, plain.get());
  EXPECT_EQ(noBlobs->BlobsCancel(11), 0u);
  TestServerCursor* writable = Open(omReadWrite);
  EXPECT_TRUE(mvInSet(writable->Capabilities(), accCancelBlobs));
  EXPECT_EQ(writable->BlobsCancel(11), 0u);
  EXPECT_EQ(cursor->calls + noBlobs->calls, 0);
  EXPECT_EQ(writable->calls, 1);

  // A write-only cursor refuses reads by key the same way.
  writable->SetWriteOnly(10763);
  EXPECT_EQ(writable->RecordGetForKey(1, 0, false, nullptr, nullptr, true, true), 10763u);
}

TEST_F(ServerCursors, AnOutdatedTableIsReadOnlyWithItsOwnMessage) {
  table->dd.SetLayoutVersion(1);
  TestServerCursor* cursor = Open(omReadWrite);
  EXPECT_TRUE(cursor->IsReadOnly());
  uint8_t byte = 0;
  EXPECT_EQ(cursor->BlobWrite(TmvRecID{}, TestTable::fData, 1, 0, 1, &byte), 12040u);
  String text;
  EXPECT_EQ(RaisedCode([] { mvCheckErrorCode(12040); }, &text), 12040u);
  EXPECT_EQ(text, u"Table format outdated. Table must be packed to enable write access");
  EXPECT_EQ(Open(omReadOnly)->ReadOnlyResult(), 10763u);
}

TEST_F(ServerCursors, TheFrameConvertsOrPassesExceptionsAndReportsACancel) {
  TestServerCursor* cursor = Open(omReadWrite);
  cursor->duringCall = [] { throw EmvBaseException(int64_t(9729)); };
  int32_t index = 0;
  EXPECT_EQ(cursor->GetIndexID(index), 9729u);                                                // converting
  EXPECT_EQ(RaisedCode([&] { cursor->RecordInsert(mvltNoLock, nullptr, nullptr); }), 9729u);  // passing
  EXPECT_EQ(session->SessionLock()->LockCount(), 0);

  cursor->duringCall = [&] { session->Failed(false); };
  EXPECT_EQ(cursor->GetIndexID(index), 15461u);
  EXPECT_EQ(LastText(15461), u"Processing cancelled. Operation may have partially or fully succeeded");
  cursor->duringCall = nullptr;
  EXPECT_EQ(cursor->GetIndexID(index), 0u);

  // A failed range is reset before the lock goes; a failed content lock is
  // the result.
  EXPECT_EQ(cursor->RangeSet(1, 0, false, nullptr, true, 1, 0, false, nullptr, true), 12289u);
  EXPECT_EQ(cursor->rangeResets, 1);
  cursor->contentLockCode = 10245;
  int32_t recNo = 0;
  EXPECT_EQ(cursor->RecNoGet(recNo, false), 10245u);
  cursor->contentLockCode = 0;
  EXPECT_EQ(cursor->RecNoGet(recNo, false), 12289u);
  EXPECT_EQ(cursor->contentLocks, 0);
}

TEST_F(ServerCursors, FiltersGetHandlesAndShareOneHub) {
  TestServerCursor* cursor = Open(omReadWrite);
  EXPECT_EQ(cursor->FilterActivate(1), 10050u);
  EXPECT_EQ(LastText(10050), u"Filter handle is invalid");
  EXPECT_EQ(cursor->FilterRemove(1), 10050u);
  EXPECT_EQ(cursor->KeyFilterDeactivate(1), 10050u);

  TmvFilterID a = 0, b = 0, c = 0;
  EXPECT_EQ(cursor->FilterAddCallback(Reject({2}), &Rejecting::Matches, a, true), 0u);
  EXPECT_EQ(cursor->FilterAddCallback(Reject({4}), &Rejecting::Matches, b, true), 0u);
  EXPECT_EQ(cursor->FilterAddCallback(Reject({5}), &Rejecting::Matches, c, true), 0u);
  EXPECT_TRUE(a && b && c && a != b && b != c);
  auto* hub = dynamic_cast<TmvFilterEngineHub*>(cursor->Filter());
  ASSERT_NE(hub, nullptr);
  EXPECT_EQ(hub->FilterCount(), 3);
  EXPECT_EQ(Walk(cursor), (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(cursor->FilterDeactivate(b), 0u);
  EXPECT_EQ(Walk(cursor), (std::vector<int32_t>{1, 3, 4}));
  EXPECT_EQ(cursor->FilterActivate(999), 10050u);
  EXPECT_EQ(cursor->FilterRemove(0), 0u);
  EXPECT_EQ(cursor->Filter(), nullptr);
  EXPECT_EQ(Walk(cursor), (std::vector<int32_t>{1, 2, 3, 4, 5}));

  // Replacing the second of two leaves the first working.
  EXPECT_EQ(cursor->FilterAddCallback(Reject({2}), &Rejecting::Matches, a, true), 0u);
  EXPECT_EQ(cursor->FilterAddCallback(Reject({4}), &Rejecting::Matches, b, true), 0u);
  TmvCallbackFilterDescriptor replacement(Reject({3}), &Rejecting::Matches);
  TmvFilterID replaced = b;
  EXPECT_EQ(cursor->FilterReplaceCustom(&replacement, replaced, true, false), 0u);
  EXPECT_NE(replaced, b);
  EXPECT_EQ(Walk(cursor), (std::vector<int32_t>{1, 4, 5}));
  TmvFilterID unknown = 999;
  EXPECT_EQ(cursor->FilterReplaceCustom(&replacement, unknown, true, false), 10050u);
  EXPECT_EQ(unknown, 999u);
  EXPECT_EQ(cursor->FilterReplaceCustom(&replacement, unknown, true, true), 0u);
  EXPECT_EQ(dynamic_cast<TmvFilterEngineHub*>(cursor->Filter())->FilterCount(), 3);
  // A removed filter's handle is gone; the hub falls back to one engine.
  EXPECT_EQ(cursor->FilterRemove(replaced), 0u);
  EXPECT_EQ(cursor->FilterRemove(replaced), 10050u);
  EXPECT_EQ(cursor->FilterRemove(a), 0u);
  EXPECT_EQ(dynamic_cast<TmvFilterEngineHub*>(cursor->Filter()), nullptr);
  EXPECT_EQ(Walk(cursor), (std::vector<int32_t>{1, 2, 4, 5}));

  // Key filters; SetToFilter's own engines are active while it runs.
  TmvKeyFilterID key = 0;
  EXPECT_EQ(cursor->KeyFilterAddCallback(Reject({1}), &Rejecting::Matches, key), 0u);
  EXPECT_NE(cursor->KeyFilter(), nullptr);
  EXPECT_EQ(cursor->KeyFilterActivate(key), 0u);
  EXPECT_EQ(cursor->KeyFilterRemove(0), 0u);
  EXPECT_EQ(cursor->KeyFilter(), nullptr);
  TmvCallbackFilterDescriptor once(Reject({1}), &Rejecting::Matches);
  EXPECT_EQ(cursor->SetToFilter(&once, &once, true), 0u);
  EXPECT_TRUE(cursor->sawActiveFilters);

  // The iterators of a filtered search: a rejected key is skipped, the
  // first accepted record stops the walk.
  TmvBaseFilterEngine* engine = TmvBaseFilterEngine::CreateFor(&once, cursor);
  engine->SetActive(true);
  std::vector<uint8_t> first = table->rows[0], second = table->rows[1];
  TmvSetToFilterCookie cookie{engine, engine};
  EXPECT_EQ(TmvServerBaseCursor::sbcSetToFilterKeyIterator(&cookie, 1, first.data()), kirSkipKey);
  EXPECT_EQ(TmvServerBaseCursor::sbcSetToFilterKeyIterator(&cookie, 2, second.data()), kirContinue);
  EXPECT_EQ(TmvServerBaseCursor::sbcSetToFilterRecIterator(&cookie, 1, first.data()), rirContinue);
  EXPECT_EQ(TmvServerBaseCursor::sbcSetToFilterRecIterator(&cookie, 2, second.data()), rirStop);
  TmvSetToFilterCookie none{nullptr, nullptr};
  EXPECT_EQ(TmvServerBaseCursor::sbcSetToFilterRecIterator(&none, 1, first.data()), rirStop);
  delete engine;
}

TEST_F(ServerCursors, TheFilterTimeoutAndTheOperationDeadline) {
  auto elapsed = [](uint64_t aStart) { return GetTickCount64() - aStart; };
  TestServerCursor* cursor = Open(omReadWrite, nullptr, 100);
  cursor->endless = true;
  TmvFilterID all = 0;
  ASSERT_EQ(cursor->FilterAddCallback(Reject({1, 2, 3, 4, 5}), &Rejecting::Matches, all, true), 0u);

  // No filter timeout: only the operation deadline stops the walk.
  EXPECT_EQ(cursor->FilterSetTimeout(0), 0u);
  uint64_t start = GetTickCount64();
  EXPECT_EQ(cursor->RecordGetNext(mvltNoLock, nullptr), 15461u);
  EXPECT_GE(elapsed(start), 95u);

  // A filter timeout beyond the deadline ends at the deadline, as a filter
  // timeout.
  EXPECT_EQ(cursor->FilterSetTimeout(500), 0u);
  start = GetTickCount64();
  EXPECT_EQ(cursor->RecordGetNext(mvltNoLock, nullptr), 15444u);
  EXPECT_GE(elapsed(start), 95u);
  EXPECT_LT(elapsed(start), 450u);

  // A key filter gets the check while a filter timeout runs.
  TmvKeyFilterID key = 0;
  ASSERT_EQ(cursor->KeyFilterAddCallback(Reject({}), &Rejecting::Matches, key), 0u);
  uint32_t keyResult = 0;
  cursor->sbcFilterBeginTimeout(&keyResult);
  EXPECT_EQ(cursor->KeyFilter()->kfResult, &keyResult);
  EXPECT_TRUE(bool(cursor->KeyFilter()->kfCheckTimeOut));
  cursor->sbcFilterEndTimeout();
  EXPECT_EQ(cursor->KeyFilter()->kfResult, nullptr);
  EXPECT_FALSE(bool(cursor->KeyFilter()->kfCheckTimeOut));

  // Suspended, the filter timeout gives way to the deadline; without a
  // deadline it ends the walk alone.
  cursor->sbcDisableFilterTimeout();
  EXPECT_EQ(cursor->RecordGetNext(mvltNoLock, nullptr), 15461u);
  cursor->sbcEnableFilterTimeout();
  cursor->SetTimeout(0);
  EXPECT_EQ(cursor->FilterSetTimeout(30), 0u);
  start = GetTickCount64();
  EXPECT_EQ(cursor->RecordGetNext(mvltNoLock, nullptr), 15444u);
  EXPECT_GE(elapsed(start), 25u);
}

TEST_F(ServerCursors, TheBatchWriterWritesRecordsUntilItsBudget) {
  TestServerCursor* cursor = Open(omReadWrite);
  TmvBatchStreamAccess* access = nullptr;
  auto ids = [&] {
    std::vector<int32_t> found;
    TmvBatchStreamEntry entry;
    access->Reset(false);
    while (access->Next(entry))
      found.push_back(TestTable::Get<int32_t>(table->Fields(), entry.bseRecord, TestTable::fID));
    return found;
  };
  // No maximum, from the beginning: every record, ended by the table's end.
  EXPECT_EQ(cursor->RecordGetBatch(INT32_MAX, Options({gboSetToBeginOrEnd}), access, 0, true), 0u);
  EXPECT_EQ(access->GetInnerError(), 8706u);
  EXPECT_EQ(access->GetCount(), 5);
  EXPECT_EQ(TmvBatchStreamAccess::GetSize(access), 8 + 5 * int64_t(EntrySize()));
  EXPECT_EQ(ids(), (std::vector<int32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(cursor->contentLocks, 0);

  // The budget is checked before each record: reached after two, the next
  // batch goes on from there; the header alone reaches a budget of 8.
  EXPECT_EQ(cursor->RecordGetBatch(8 + 2 * EntrySize(), Options({gboSetToBeginOrEnd}), access, 0, true), 0u);
  EXPECT_EQ(access->GetInnerError(), 0u);
  EXPECT_EQ(ids(), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(cursor->RecordGetBatch(8 + 2 * EntrySize(), 0, access, 0, true), 0u);
  EXPECT_EQ(ids(), (std::vector<int32_t>{3, 4}));
  EXPECT_EQ(cursor->RecordGetBatch(8, Options({gboSetToBeginOrEnd}), access, 0, true), 0u);
  EXPECT_EQ(access->GetCount(), 0);
  EXPECT_EQ(access->GetInnerError(), 0u);
  EXPECT_EQ(TmvBatchStreamAccess::GetSize(access), 8);
  EXPECT_EQ(cursor->RecordGetBatch(INT32_MAX, Options({gboSetToBeginOrEnd}), access, 2, true), 0u);
  EXPECT_EQ(ids(), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(cursor->RecordGetBatch(INT32_MAX, Options({gboSetToBeginOrEnd}), access, -1, false), 0u);
  EXPECT_EQ(access->GetInnerError(), 8705u);
  EXPECT_EQ(ids(), (std::vector<int32_t>{5, 4, 3, 2, 1}));

  // A filter that timed out before the first record is the result; any
  // other end is only reported in the header.
  cursor->stepCode = 15444;
  EXPECT_EQ(cursor->RecordGetBatch(INT32_MAX, Options({gboSetToBeginOrEnd}), access, 0, true), 15444u);
  EXPECT_EQ(access->GetCount(), 0);
  EXPECT_EQ(access->GetInnerError(), 15444u);
  cursor->stepCode = 10241;
  EXPECT_EQ(cursor->RecordGetBatch(INT32_MAX, 0, access, 0, true), 0u);
  EXPECT_EQ(access->GetInnerError(), 10241u);
  EXPECT_EQ(TmvBatchStreamAccess::GetSize(access), 8);
  delete access;

  cursor->contentLockCode = 10245;
  access = nullptr;
  EXPECT_EQ(cursor->RecordGetBatch(INT32_MAX, 0, access, 0, true), 10245u);
  EXPECT_EQ(access, nullptr);
}

// Three records with bookmarks at the end of the table, byte by byte.
TEST_F(ServerCursors, TheBatchWriterWritesTheDocumentedBytes) {
  table->rows.resize(3);
  TestServerCursor* cursor = Open(omReadWrite);
  TmvBatchStreamAccess* access = nullptr;
  EXPECT_EQ(cursor->RecordGetBatch(INT32_MAX, Options({gboBookmarks, gboSetToBeginOrEnd}), access, 0, true), 0u);
  std::vector<uint8_t> expected(8);
  StoreLE32(&expected[0], 8706);
  StoreLE32(&expected[4], 3);
  for (uint32_t i = 0; i < 3; ++i) {
    uint8_t word[4];
    StoreLE32(word, EntrySize());
    expected.insert(expected.end(), word, word + 4);
    expected.insert(expected.end(), table->rows[i].begin(), table->rows[i].begin() + table->RecordLength());
    StoreLE32(word, i);  // the test cursor's bookmark: the row's position
    expected.insert(expected.end(), word, word + 4);
  }
  const auto* memory = static_cast<const uint8_t*>(TmvBatchStreamAccess::GetMemory(access));
  EXPECT_EQ(std::vector<uint8_t>(memory, memory + TmvBatchStreamAccess::GetSize(access)), expected);
  delete access;
}

TEST_F(ServerCursors, BlobPartsGoIntoTheBatch) {
  table->rows.clear();
  const TmvBlobNr memo = table->AddBlob({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
  const TmvBlobNr empty = table->AddBlob({});
  table->AddRow(1, 11, 21, 31, memo, empty, 999);  // DATA names a BLOB that is not there
  table->AddRow(2, 12, 22, 32);
  TestTable::Set(table->Fields(), table->rows[1].data(), TestTable::fMemo, TmvBlobNr(0));  // not null, but 0
  TestServerCursor* cursor = Open(omReadWrite);
  const auto options = Options({gboBlobs, gboBlobNrs, gboSetToBeginOrEnd});
  const uint32_t memoPart = 4 + 10 + 8, errorPart = 4 + 4 + 8;
  TmvBatchStreamAccess* access = nullptr;
  TmvBatchStreamEntry entry;
  TmvBatchBlobAccess part;

  EXPECT_EQ(cursor->RecordGetBatch(INT32_MAX, options, access, 0, true), 0u);
  ASSERT_TRUE(access->Reset(false) && access->Next(entry));
  EXPECT_EQ(entry.bseSize, uint32_t(table->RecordLength()) + memoPart + errorPart);
  EXPECT_EQ(TestTable::Get<int64_t>(table->Fields(), entry.bseRecord, TestTable::fMemo), 8 + 4 + table->RecordLength());
  ASSERT_TRUE(access->GetBlobAccess(entry, TestTable::fMemo, part));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(part.bbaBlobData), 10), "0123456789");
  EXPECT_EQ(part.bbaBlobNr, memo);
  EXPECT_TRUE(table->IsNull(entry.bseRecord, TestTable::fWide));  // length 0
  ASSERT_TRUE(access->GetBlobAccess(entry, TestTable::fData, part));
  EXPECT_EQ(part.bbaResult, 11896u);
  EXPECT_EQ(part.bbaBlobNr, 999);
  ASSERT_TRUE(access->Next(entry));
  EXPECT_EQ(entry.bseSize, uint32_t(table->RecordLength()));
  EXPECT_TRUE(table->IsNull(entry.bseRecord, TestTable::fMemo));

  // A read that comes short makes the field null and leaves no part.
  cursor->shortReads = true;
  EXPECT_EQ(cursor->RecordGetBatch(INT32_MAX, options, access, 0, true), 0u);
  ASSERT_TRUE(access->Reset(false) && access->Next(entry));
  EXPECT_EQ(entry.bseSize, uint32_t(table->RecordLength()) + errorPart);
  EXPECT_TRUE(table->IsNull(entry.bseRecord, TestTable::fMemo));
  cursor->shortReads = false;

  // The client may ask for the room without the data.
  cursor->AddCursorOption(acoSkipReadingBlobDataForBatch);
  const int reads = cursor->reads;
  EXPECT_EQ(cursor->RecordGetBatch(INT32_MAX, options, access, 0, true), 0u);
  ASSERT_TRUE(access->Reset(false) && access->Next(entry));
  EXPECT_EQ(entry.bseSize, uint32_t(table->RecordLength()) + memoPart + errorPart);
  EXPECT_EQ(cursor->reads, reads);
  cursor->RemoveCursorOption(acoSkipReadingBlobDataForBatch);

  // Only the marked fields get parts; the others keep their numbers.
  ASSERT_EQ(cursor->BlobsSetMarked({0b100}), 0u);
  delete access;
  access = nullptr;
  EXPECT_EQ(cursor->RecordGetBatch(INT32_MAX, Options({gboBlobs, gboBlobNrs, gboBlobsOnlyMarked, gboSetToBeginOrEnd}),
                                   access, 0, true),
            0u);
  ASSERT_TRUE(access->Reset(false) && access->Next(entry));
  EXPECT_EQ(entry.bseSize, uint32_t(table->RecordLength()) + errorPart);
  ASSERT_TRUE(access->GetBlobAccess(entry, TestTable::fMemo, part));
  EXPECT_EQ(part.bbaBlobNr, memo);
  EXPECT_EQ(part.bbaBase, nullptr);
  delete access;
}

TEST_F(ServerCursors, TheLockFailureMessageNamesReasonsAndTable) {
  TestServerCursor* cursor = Open(omReadWrite);
  cursor->LockFailureReason()->Add(u"Locked by session 7");
  cursor->LockFailureReason()->Add(u"Record 12");
  EXPECT_EQ(cursor->sbcLockFailureError(10241), 10241u);
  EXPECT_EQ(cursor->LockFailureReason()->Count(), 0);
  EmvBaseException raised(int64_t(10241));
  EXPECT_EQ(raised.ProcessedErrorString(),
            u"Record locked by another user.\r\rLocked by session 7\r\nRecord 12\r\rTableName: People");
  EXPECT_EQ(raised.CustomInfos().Values(u"TableName"), u"People");

  cursor->LockFailureReason()->SameSession = true;
  EXPECT_EQ(cursor->sbcLockFailureError(10258), 10254u);
  EXPECT_EQ(LastText(10254), u"Conflicting lock in this session.\r\rTableName: People");
}

TEST_F(ServerCursors, InsertOptionsFollowTheCursorOptions) {
  TestServerCursor* cursor = Open(omReadWrite);
  auto inserted = [&] {
    cursor->RecordInsert(mvltNoLock, nullptr, nullptr);
    return cursor->lastInsertOptions;
  };
  const auto defaults = TmvInsertOptions(mvSetOf({ioSetDefault, ioSetAutoInc, ioValidate}));
  EXPECT_EQ(inserted(), defaults);
  EXPECT_EQ(cursor->OptionSet(u"INSERT_OPTIONS_SETAUTOINC", u"false"), 0u);
  EXPECT_EQ(inserted(), TmvInsertOptions(mvSetOf({ioSetDefault, ioValidate})));
  EXPECT_EQ(cursor->OptionSet(u"Insert_Options_SetAutoInc", u"yes"), 0u);
  EXPECT_FALSE(mvInSet(inserted(), ioSetAutoInc));
  EXPECT_EQ(cursor->OptionSet(u"INSERT_OPTIONS_SETAUTOINC", u"TRUE"), 0u);
  EXPECT_EQ(cursor->OptionSet(u"insert_options_modifyiffound", u"True"), 0u);
  EXPECT_EQ(cursor->OptionSet(u"INSERT_OPTIONS_OTHER", u"True"), 0u);
  EXPECT_EQ(inserted(), TmvInsertOptions(defaults | mvSetOf({ioModifyIfFound})));
}

// A context whose transactions are storage transactions over a cache, so
// that the cursor sees the transaction in force.
class StorageTransContext : public TestTransContext {
 public:
  using TestTransContext::TestTransContext;
  ~StorageTransContext() override {
    if (current) static_cast<TTestTransaction*>(current)->End();
    delete current;
    delete cache;
  }
  uint32_t TransactionStart(bool, bool aSnapShot) override {
    if (current)
      current->StartNested(false);
    else
      current = new TTestTransaction(cache, aSnapShot);
    return 0;
  }
  uint32_t TransactionRollback() override {
    if (!current) return 10257;
    current->Rollback();
    if (static_cast<TTestTransaction*>(current)->Ended()) {
      delete current;
      current = nullptr;
    }
    return 0;
  }
  TmvBufferManager* cache = new TmvBufferManager(u"");
  TmvBaseTransaction* current = nullptr;
};

TEST_F(ServerCursors, ASnapshotBlobReadRunsInATransactionOfItsOwn) {
  auto* transactions = TmvAbstractServerObject::Create<StorageTransContext>(session, 0u);
  auto* inTransactions = TmvAbstractServerObject::Create<TestDatabase>(session, transactions, 0u);
  table->AddBlob({'a', 'b', 'c'});
  auto* cursor = TmvAbstractServerObject::Create<TestServerCursor>(inTransactions, table.get(), omReadWrite, 0u);
  cursor->UseTransactionOf(&transactions->current);
  bool sawBlobReadSnapshot = false;
  cursor->onRead = [&] {
    TmvBaseTransaction* trans = cursor->GetActiveTrans();
    sawBlobReadSnapshot = trans && mvInSet(trans->State(), tsSnapshot) && mvInSet(trans->State(), tsForBlobRead);
  };
  TmvMemoryStream stream;
  TmvBlobReadSnapshotState state = brssRequestStart;
  EXPECT_EQ(cursor->BlobReadSnapshoted(TmvRecID{}, TestTable::fData, 1, 0, 3, &stream, false, state, nullptr, nullptr),
            0u);
  EXPECT_TRUE(sawBlobReadSnapshot);
  EXPECT_EQ(state, brssUnneccesary);
  EXPECT_EQ(transactions->current, nullptr);

  // In a transaction of the caller's, no snapshot is started, and that
  // transaction is not the cursor's to roll back.
  transactions->TransactionStart(false, false);
  EXPECT_FALSE(cursor->acSnapshotRequiredForBlobRead(TmvRecID{}, TestTable::fData, 1, false));
  state = brssRequestStart;
  EXPECT_EQ(cursor->BlobReadSnapshoted(TmvRecID{}, TestTable::fData, 1, 0, 3, &stream, false, state, nullptr, nullptr),
            0u);
  EXPECT_EQ(state, brssUnneccesary);
  EXPECT_FALSE(sawBlobReadSnapshot);
  EXPECT_EQ(cursor->acTransactionRollbackForBlobReadSnapshoted(), 10257u);
  EXPECT_EQ(cursor->sbcCheckTransactionState(), 0u);
  transactions->TransactionRollback();
}

// A database that opens test cursors on one table and keeps the shared
// bodies of the named-stream operations.
class StreamDatabase : public TestDatabase {
 public:
  using TestDatabase::TestDatabase;
  uint32_t CursorOpen(TmvAbstractCursor*& aCursor, const String&, const String&, TmvOpenMode aOpenMode, TmvShareMode,
                      uint32_t, const String&, int32_t, bool, uint32_t, uint32_t, const uint32_t*) override {
    lastMode = aOpenMode;
    aCursor = TmvAbstractServerObject::Create<TestServerCursor>(this, table, aOpenMode, 0u);
    return 0;
  }
  uint32_t TableStreamRead(const String& aTable, const String& aPassword, const String& aName,
                           TStream* aStream) override {
    return TmvAbstractDatabase::TableStreamRead(aTable, aPassword, aName, aStream);
  }
  uint32_t TableStreamWrite(const String& aTable, const String& aPassword, const String& aName,
                            TStream* aStream) override {
    return TmvAbstractDatabase::TableStreamWrite(aTable, aPassword, aName, aStream);
  }
  TestTable* table = nullptr;
  TmvOpenMode lastMode = omNone;
};

TEST_F(ServerCursors, TheDatabasesNamedStreamsGoThroughACursorOfTheirOwn) {
  auto* streams = TmvAbstractServerObject::Create<StreamDatabase>(session, context, 0u);
  streams->table = table.get();
  TmvMemoryStream stream;
  EXPECT_EQ(streams->TableStreamWrite(u"People", u"", u"s", &stream), 0u);
  EXPECT_EQ(streams->lastMode, omReadWrite);
  EXPECT_EQ(streams->TableStreamRead(u"People", u"", u"s", &stream), 12289u);
  EXPECT_EQ(LastText(12289), u"sbcTableStreamRead not supported by TestServerCursor");
  EXPECT_EQ(streams->lastMode, omReadOnly);
  EXPECT_EQ(engine->CursorCount(), 0);
}

TEST_F(ServerCursors, ARequestToCloseMayFreeTheCursor) {
  TestServerCursor* cursor = Open(omReadWrite);
  cursor->sbcRequestClose();  // no handler: nothing
  TInterfacePtr<ImvRequestCloseHandler> handler;
  mvCreateRequestCloseHandler(handler, [&] { TmvAbstractServerObject::Free(cursor); });
  cursor->sbcSetOnRequestClose(handler.get());
  EXPECT_EQ(engine->CursorCount(), 1);
  cursor->sbcRequestClose();
  EXPECT_EQ(engine->CursorCount(), 0);
}

}  // namespace
