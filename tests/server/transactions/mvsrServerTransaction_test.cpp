// Tests of the server transactions and transaction contexts: the answers
// without a transaction, on a locked or corrupted level and with cursors of
// another context; nested commits keeping their table locks; the order in
// which an outermost commit publishes, lets go and flushes, seen by a
// recording table and a file system that can hold a write; and the fatal
// error after a failed flush.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

#include "server/transactions/LockTestSupport.h"
#include "storage/files/mvsrFaultFileSystem.h"
#include "support/mvTestTransaction.h"

namespace {

using namespace lock_test;

class ServerTransactions : public LockTest {
 protected:
  void SetUp() override {
    LockTest::SetUp();
    one = NewSession(u"one");
    two = NewSession(u"two");
  }
  TmvServerSession* one = nullptr;
  TmvServerSession* two = nullptr;
};

TEST_F(ServerTransactions, WithoutATransaction) {
  TmvServerTransContext* context = NewContext(one);
  const String text = u"No user transaction is currently in progress.";
  EXPECT_EQ(context->TransactionCommit(), uint32_t(MVERR_NOACTIVETRAN));
  EXPECT_EQ(LastText(MVERR_NOACTIVETRAN), text);
  EXPECT_EQ(context->TransactionRollback(), uint32_t(MVERR_NOACTIVETRAN));
  EXPECT_EQ(context->TransactionCorrupted(), uint32_t(MVERR_NOACTIVETRAN));
  int32_t level = 7;
  EXPECT_EQ(context->TransactionGetLevel(level), uint32_t(MVERR_NOACTIVETRAN));
  TmvTransactionInfo info;
  info.tiLevel = 5;
  info.tiLevels.resize(3);
  EXPECT_EQ(context->TransactionGetInfo(info, false), uint32_t(MVERR_NOACTIVETRAN));
  EXPECT_EQ(info.tiLevel, 0);
  EXPECT_TRUE(info.tiLevels.empty());
}

TEST_F(ServerTransactions, LevelsNestAndReportThemselves) {
  TmvServerTransContext* context = NewContext(one);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  int32_t level = -1;
  EXPECT_EQ(context->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 1);
  TmvTransactionInfo info;
  EXPECT_EQ(context->TransactionGetInfo(info, false), 0u);
  EXPECT_EQ(info.tiLevel, 1);
  ASSERT_EQ(info.tiLevels.size(), 2u);
  EXPECT_EQ(info.tiLevels[1].tliLevel, 1);
  EXPECT_GE(info.tiLevels[1].tliStartLSN, info.tiLevels[0].tliStartLSN);
  EXPECT_TRUE(context->Transaction()->Journalled());
  EXPECT_EQ(context->Transaction()->OwningSession(), one);
  EXPECT_EQ(context->TransactionCommit(), 0u);
  EXPECT_EQ(context->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 0);
  EXPECT_EQ(context->TransactionCommit(), 0u);
  EXPECT_EQ(context->Transaction(), nullptr);
}

TEST_F(ServerTransactions, ALockedLevelRefusesCommitAndRollback) {
  TmvServerTransContext* context = NewContext(one);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  TmvServerTransaction* trans = context->Transaction();
  trans->Lock();  // an index iteration holds the level
  EXPECT_EQ(context->TransactionCommit(), uint32_t(MVERR_REENTERED));
  EXPECT_EQ(LastText(MVERR_REENTERED), u"The current transaction level is in use. Can't commit or rollback");
  EXPECT_EQ(context->TransactionRollback(), uint32_t(MVERR_REENTERED));
  EXPECT_EQ(context->Transaction(), trans);
  int32_t level = -1;
  EXPECT_EQ(context->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 0);
  trans->Unlock();
  EXPECT_EQ(context->TransactionCommit(), 0u);
}

TEST_F(ServerTransactions, RollingBackAPendingNestingCorruptsTheLevel) {
  TmvServerTransContext* context = NewContext(one);
  ASSERT_EQ(context->stcTransactionStart(false, false, false, true, false, false), 0u);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);  // only a pending nesting
  int32_t level = -1;
  EXPECT_EQ(context->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 1);
  EXPECT_EQ(context->TransactionRollback(), 0u);
  EXPECT_EQ(context->TransactionCommit(), uint32_t(MVERR_TRANSACTIONCORRUPT));
  EXPECT_EQ(LastText(MVERR_TRANSACTIONCORRUPT),
            u"The transaction was corrupt due to an earlier failure. No commit took place. You need to rollback this "
            u"transaction.");
  EXPECT_EQ(context->TransactionStart(false, false), uint32_t(MVERR_TRANSACTIONCORRUPT));
  EXPECT_EQ(context->TransactionRollback(), 0u);
  EXPECT_EQ(context->TransactionGetLevel(level), uint32_t(MVERR_NOACTIVETRAN));
  // A forced nesting is a level of its own.
  ASSERT_EQ(context->stcTransactionStart(false, false, false, true, false, false), 0u);
  ASSERT_EQ(context->stcTransactionStart(false, false, false, false, true, false), 0u);
  EXPECT_EQ(context->TransactionRollback(), 0u);
  EXPECT_EQ(context->TransactionCommit(), 0u);
}

// Stand-in server cursors: each belongs to a context and answers its
// content lock with a given code.
class StandInCursors : public TmvTransactionCursors {
 public:
  struct Cursor {
    TmvServerTransContext* context;
    uint32_t lockResult;
  };
  TmvServerTransContext* ContextOf(TmvAbstractCursor* aCursor) override { return Of(aCursor)->context; }
  uint32_t BeginContentLock(TmvAbstractCursor* aCursor, bool aExclusive) override {
    exclusive.push_back(aExclusive);
    return Of(aCursor)->lockResult ? EmvBaseException::mvSetMessage(int32_t(Of(aCursor)->lockResult), String()) : 0;
  }
  static TmvAbstractCursor* As(Cursor& aCursor) { return reinterpret_cast<TmvAbstractCursor*>(&aCursor); }
  static Cursor* Of(TmvAbstractCursor* aCursor) { return reinterpret_cast<Cursor*>(aCursor); }
  std::vector<bool> exclusive;
};

TEST_F(ServerTransactions, StartingWithCursors) {
  TmvServerTransContext* context = NewContext(one);
  TmvServerTransContext* elsewhere = NewContext(one);
  StandInCursors::Cursor mine{context, 0}, foreign{elsewhere, 0}, refusing{context, MVERR_LOCKTIMEOUT};
  // No server cursors at all yet: every cursor is refused.
  EXPECT_EQ(context->TransactionStartWith(false, false, {StandInCursors::As(mine)}), uint32_t(MVERR_INVALIDHNDL));
  StandInCursors cursors;
  mvSetTransactionCursors(&cursors);
  int32_t level = -1;
  EXPECT_EQ(context->TransactionStartWith(false, false, {StandInCursors::As(mine), StandInCursors::As(foreign)}),
            uint32_t(MVERR_INVALIDHNDL));
  EXPECT_EQ(context->TransactionGetLevel(level), uint32_t(MVERR_NOACTIVETRAN));
  EXPECT_TRUE(cursors.exclusive.empty());

  EXPECT_EQ(context->TransactionStartWith(false, false, {StandInCursors::As(mine)}), 0u);
  EXPECT_EQ(cursors.exclusive, std::vector<bool>{true});
  // A failing content lock takes the started level back.
  EXPECT_EQ(context->TransactionStartWith(false, true, {StandInCursors::As(mine), StandInCursors::As(refusing)}),
            uint32_t(MVERR_LOCKTIMEOUT));
  EXPECT_EQ(cursors.exclusive, (std::vector<bool>{true, false, false}));
  EXPECT_EQ(context->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 0);
  EXPECT_EQ(context->TransactionCommit(), 0u);
  EXPECT_EQ(context->TransactionStartWith(false, false, {StandInCursors::As(refusing)}), uint32_t(MVERR_LOCKTIMEOUT));
  EXPECT_EQ(context->Transaction(), nullptr);
}

TEST_F(ServerTransactions, AFailedContextStartsNothing) {
  TmvServerTransContext* context = NewContext(one);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  context->Failed();
  EXPECT_EQ(context->Transaction(), nullptr);
  EXPECT_EQ(context->TransactionStart(false, false), uint32_t(MVERR_TRANSACTIONCORRUPT));
}

TEST_F(ServerTransactions, ANestedCommitKeepsItsTableLocksUntilTheOutermostCommit) {
  LockTable table{u"T", 2};
  TmvServerTransContext* a = Started(one);
  ASSERT_EQ(a->TransactionStart(false, false), 0u);
  LockCursor* c = NewCursor(one);
  ASSERT_EQ(ContentLock(*c, a->Transaction(), table, true), 0u);
  TmvServerTransContext* b = Started(two);
  EXPECT_EQ(a->TransactionCommit(), 0u);
  ASSERT_NE(c->stcTransLink, nullptr);
  EXPECT_EQ(c->stcTransLink->ttlTransactionLevel, a->Transaction()->InnermostLevel());
  EXPECT_EQ(ContentLock(*NewCursor(two), b->Transaction(), table, false, true), uint32_t(MVERR_LOCKTIMEOUT));
  // The container of a child table is bound by the transaction too, and
  // unbound by its end.
  LockCursor* writer = NewCursor(one);
  table.children[1]->ReleaseRecordLock(writer, 1, a->Transaction());
  EXPECT_EQ(table.children[1]->BoundTransaction(), a->Transaction());
  EXPECT_EQ(a->TransactionCommit(), 0u);
  EXPECT_EQ(table.children[1]->BoundTransaction(), nullptr);
  EXPECT_EQ(table.Events(), std::vector<std::string>{"end"});
  EXPECT_EQ(ContentLock(*NewCursor(two), b->Transaction(), table, false, true), 0u);
  EXPECT_EQ(b->TransactionRollback(), 0u);
  EXPECT_EQ(table.Events(), (std::vector<std::string>{"end", "rollback", "end"}));
  EXPECT_FALSE(table.AnyLinks());
}

// A file system whose writes a test can hold at a gate, and that runs a
// check at the first write of each flush.
class GateFileSystem : public TmvFaultFileSystem {
 public:
  ssize_t PWrite(int aHandle, const void* aBuffer, size_t aCount, int64_t aOffset) override {
    std::function<void()> check;
    {
      std::unique_lock<std::mutex> guard(lock);
      check = std::exchange(atFirstWrite, nullptr);
      if (closed) {
        waiting = true;
        changed.notify_all();
        changed.wait(guard, [&] { return !closed; });
        waiting = false;
      }
    }
    if (check) check();
    return TmvFaultFileSystem::PWrite(aHandle, aBuffer, aCount, aOffset);
  }
  void Close() {
    std::lock_guard<std::mutex> guard(lock);
    closed = true;
  }
  void Open() {
    std::lock_guard<std::mutex> guard(lock);
    closed = false;
    changed.notify_all();
  }
  void AwaitHeld() {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return waiting; });
  }
  std::mutex lock;
  std::condition_variable changed;
  bool closed = false;
  bool waiting = false;
  std::function<void()> atFirstWrite;
};

class CommitOrder : public ServerTransactions {
 protected:
  void SetUp() override {
    ServerTransactions::SetUp();
    folder = std::filesystem::temp_directory_path() / ("mvsr-commit-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    mvSetFileSystem(&files);
    disk = std::make_unique<DiskFile>(Cache(), (folder / "t.mv1").string());
    auto* create = new TmvServerTransaction(Cache(), nullptr, false, false, false);
    disk->Create(create);
    create->Commit();  // frees it
  }
  void TearDown() override {
    files.Open();
    disk.reset();
    mvSetFileSystem(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    mvClearFatalErrorForTesting();
    ServerTransactions::TearDown();
  }
  // Whether another thread finds the padlock free (taking it back at once).
  static bool FreeForOthers(TmvPadlock& aPadlock) {
    return std::async(std::launch::async, [&] {
             const bool got = aPadlock.TryLock();
             if (got) aPadlock.Unlock();
             return got;
           }).get();
  }

  std::filesystem::path folder;
  GateFileSystem files;
  std::unique_ptr<DiskFile> disk;
  LockTable table{u"T"};
};

TEST_F(CommitOrder, PublishesUnderThePortalAndFlushesUnderThePadlock) {
  TmvServerTransContext* a = Started(one);
  ASSERT_EQ(ContentLock(*NewCursor(one), a->Transaction(), table, true), 0u);
  disk->Touch(a->Transaction());
  const TmvLSN before = disk->LSN(nullptr);
  const TmvLSN lsn = a->Transaction()->LSN();
  ASSERT_NE(before, lsn);

  // Step 4: published, both locks still held.
  std::vector<std::string> seen;
  table.onEndTransaction = [&] {
    seen.push_back(disk->LSN(nullptr) == lsn ? "published" : "not published");
    seen.push_back(table.srtContentPortal.WriterID() != 0 ? "portal held" : "portal free");
    seen.push_back(FreeForOthers(table.srtCommitPadlock) ? "padlock free" : "padlock held");
  };
  // The flush: the portal left, the padlock still held.
  files.atFirstWrite = [&] {
    seen.push_back(table.srtContentPortal.WriterID() == 0 ? "flush, portal free" : "flush, portal held");
    seen.push_back(FreeForOthers(table.srtCommitPadlock) ? "flush, padlock free" : "flush, padlock held");
  };

  // A reader outside transactions keeps the commit from publishing.
  table.srtContentPortal.BeginRead();
  auto commit = std::async(std::launch::async, [&] { return a->TransactionCommit(); });
  EXPECT_EQ(commit.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_EQ(disk->LSN(nullptr), before);
  EXPECT_TRUE(seen.empty());
  table.srtContentPortal.EndRead();
  EXPECT_EQ(commit.get(), 0u);

  EXPECT_EQ(seen, (std::vector<std::string>{"published", "portal held", "padlock held", "flush, portal free",
                                            "flush, padlock held"}));
  EXPECT_TRUE(FreeForOthers(table.srtCommitPadlock));
  EXPECT_EQ(disk->LSN(nullptr), lsn);
}

TEST_F(CommitOrder, ASecondCommitterWaitsForTheFirstFlush) {
  TmvServerTransContext* a = Started(one);
  TmvServerTransContext* b = Started(two);
  ASSERT_EQ(ContentLock(*NewCursor(one), a->Transaction(), table, true), 0u);
  disk->Touch(a->Transaction());
  std::atomic<int> bLock{-1}, bCommit{-1};
  LockCursor* cb = NewCursor(two);
  std::thread second([&] {
    Deadline(20000);
    bLock = int(ContentLock(*cb, b->Transaction(), table, true));
    if (bLock == 0) bCommit = int(b->TransactionCommit());
  });
  for (int i = 0; i < 4000 && table.PendingCount() < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(table.PendingCount(), 1);

  files.Close();
  auto first = std::async(std::launch::async, [&] { return a->TransactionCommit(); });
  files.AwaitHeld();  // a's flush has begun
  for (int i = 0; i < 4000 && bLock.load() == -1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(bLock.load(), 0);  // granted when a let its link go
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(bCommit.load(), -1);  // waits on the commit padlock
  files.Open();
  EXPECT_EQ(first.get(), 0u);
  second.join();
  EXPECT_EQ(bCommit.load(), 0);
  EXPECT_FALSE(table.AnyLinks());
}

TEST_F(CommitOrder, AFailedFlushIsFatalForLaterCommits) {
  TmvServerTransContext* a = Started(one);
  ASSERT_EQ(ContentLock(*NewCursor(one), a->Transaction(), table, true), 0u);
  disk->Touch(a->Transaction());
  files.FailAt(fopWrite, 1, EIO, 1000);
  EXPECT_NE(a->TransactionCommit(), 0u);
  EXPECT_FALSE(table.AnyLinks());  // the table is free again
  EXPECT_TRUE(FreeForOthers(table.srtCommitPadlock));
  files.Reset();
  // The session lock itself refuses every public operation now; below it
  // the context refuses commits and starts.
  EXPECT_EQ(RaisedCode([&] { a->TransactionCommit(); }), uint32_t(MVERR_TRANSACTIONCORRUPT));
  EXPECT_EQ(a->stcTransactionCommit(), uint32_t(MVERR_TRANSACTIONCORRUPT));
  EXPECT_EQ(LastText(MVERR_TRANSACTIONCORRUPT), String(mvFatalErrorText));
  EXPECT_EQ(a->stcTransactionRollback(), 0u);
  TmvServerTransContext* b = NewContext(two);
  EXPECT_EQ(b->stcTransactionStart(false, false, false, false, false, false), uint32_t(MVERR_TRANSACTIONCORRUPT));
}

TEST_F(CommitOrder, ACommitThatFailsBeforePublishingKeepsItsTableUntilRolledBack) {
  // A journal cannot name a file whose name the system code page lacks:
  // such a commit fails while it prepares, before anything is published.
  DiskFile odd(Cache(), (folder / "t\u00e9.mv1").string());
  {
    TTestTransaction create(Cache());
    odd.Create(&create);
    create.Commit();
  }
  TmvServerTransContext* a = Started(one);
  ASSERT_EQ(ContentLock(*NewCursor(one), a->Transaction(), table, true), 0u);
  odd.Touch(a->Transaction());
  const TmvLSN before = odd.LSN(nullptr);
  EXPECT_EQ(a->TransactionCommit(), uint32_t(MVERR_WRITEERR));
  EXPECT_FALSE(mvFatalError.load());
  EXPECT_EQ(odd.LSN(nullptr), before);
  EXPECT_EQ(table.GrantedCount(), 1);
  EXPECT_TRUE(FreeForOthers(table.srtCommitPadlock));
  EXPECT_EQ(table.srtContentPortal.WriterID(), 0u);
  TmvServerTransContext* b = Started(two);
  EXPECT_EQ(ContentLock(*NewCursor(two), b->Transaction(), table, false, true), uint32_t(MVERR_LOCKTIMEOUT));
  EXPECT_EQ(a->TransactionRollback(), 0u);
  EXPECT_EQ(ContentLock(*NewCursor(two), b->Transaction(), table, false, true), 0u);
  EXPECT_EQ(b->TransactionCommit(), 0u);
}

}  // namespace
