// Tests of a table's lock container: the answers to read, write and record
// requests as a table of cases, the reasons, the binding to a transaction,
// waits bounded by the deadline, FIFO wake-ups, and read locks of cursors
// whose addresses agree in their low 32 bits.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "foundation/errors/mvllExceptionData.h"
#include "server/transactions/LockTestSupport.h"
#include "support/mvTestTransaction.h"

namespace {

using namespace lock_test;

class LockContainer : public LockTest {
 protected:
  void SetUp() override {
    LockTest::SetUp();
    one = NewSession(u"one");
    two = NewSession(u"two");
  }
  // Waits until aCount requests are queued.
  void AwaitQueued(TmvTableLockContainer& aLocks, int32_t aCount) {
    for (int i = 0; i < 2000 && aLocks.WaitingCount() < aCount; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(aLocks.WaitingCount(), aCount);
  }
  TmvServerSession* one = nullptr;
  TmvServerSession* two = nullptr;
  TmvTableLockContainer locks;
};

// One step of a case: cursor (0, 1 of session one; 2, 3 of session two),
// operation and, for records, the RefNr; the answer expected.
enum Op { Read, Write, Record, FreeRead, FreeWrite, FreeRecord, IsRead, IsWrite, IsRecord };
struct Step {
  int cursor;
  Op op;
  TmvRefNr ref;
  int expected;
};
struct Case {
  const char* name;
  std::vector<Step> steps;
};

TEST_F(LockContainer, AnswersAsATableOfCases) {
  const Case cases[] = {
      {"a record lock holder asks for a read lock",
       {{0, Record, 5, lrGrantedNew}, {0, Read, 0, lrConflictCursorRecordLockSingle}}},
      {"the only read lock is mine: the write lock too, the read lock kept",
       {{0, Read, 0, lrGrantedNew}, {0, Write, 0, lrGrantedNew}, {0, IsRead, 0, 1}, {0, IsWrite, 0, 1}}},
      {"write twice, released twice",
       {{0, Write, 0, lrGrantedNew},
        {0, Write, 0, lrGrantedExisting},
        {0, FreeWrite, 0, 1},
        {2, IsWrite, 0, 2},
        {0, FreeWrite, 0, 1},
        {2, IsWrite, 0, 0},
        {0, FreeWrite, 0, 0}}},
      {"a record lock taken twice goes with one release",
       {{0, Record, 9, lrGrantedNew},
        {0, Record, 9, lrGrantedExisting},
        {0, FreeRecord, 9, 1},
        {0, IsRecord, 9, 0}}},
      {"two record locks of one other cursor against a write",
       {{2, Record, 1, lrGrantedNew}, {2, Record, 2, lrGrantedNew}, {0, Write, 0, lrConflictCursorRecordLockMultiple}}},
      {"record locks of two other cursors against a write",
       {{2, Record, 1, lrGrantedNew}, {3, Record, 2, lrGrantedNew}, {0, Write, 0, lrConflictCursorRecordLockMultiple}}},
      {"the writer keeps its record locks; others meet the write lock",
       {{0, Write, 0, lrGrantedNew},
        {0, Record, 3, lrGrantedNew},
        {2, Record, 4, lrConflictCursorWriteLock},
        {2, Read, 0, lrConflictCursorRecordLockSingle},  // record locks are looked at first
        {2, Write, 0, lrConflictCursorWriteLock}}},
      {"read locks against writes and records",
       {{2, Read, 0, lrGrantedNew},
        {0, Write, 0, lrConflictCursorReadLockSingle},
        {3, Read, 0, lrGrantedNew},
        {3, Read, 0, lrGrantedExisting},
        {0, Write, 0, lrConflictCursorReadLockMultiple},
        {2, Write, 0, lrConflictCursorReadLockSingle},
        {2, Record, 1, lrConflictCursorReadLockMultiple},
        {3, FreeRead, 0, 1},
        {3, IsRead, 0, 1},
        {3, FreeRead, 0, 1},
        {3, IsRead, 0, 2},
        {3, FreeRead, 0, 0}}},
      {"a record held by another cursor",
       {{2, Record, -7, lrGrantedNew},
        {0, Record, -7, lrConflictCursorRecordLockSingle},
        {0, Record, 7, lrGrantedNew},
        {0, IsRecord, -7, 2},
        {0, FreeRecord, -7, 0},
        {2, IsRecord, -7, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TmvTableLockContainer container;
    LockCursor* cursors[] = {NewCursor(one), NewCursor(one), NewCursor(two), NewCursor(two)};
    for (const Step& s : c.steps) {
      LockCursor* cursor = cursors[s.cursor];
      int answer = -1;
      switch (s.op) {
        case Read:
          answer = container.GetReadLock(nullptr, cursor, false, nullptr);
          break;
        case Write:
          answer = container.GetWriteLock(nullptr, cursor, false, nullptr);
          break;
        case Record:
          answer = container.GetRecordLock(nullptr, cursor, s.ref, false, nullptr);
          break;
        case FreeRead:
          answer = container.ReleaseReadLock(cursor);
          break;
        case FreeWrite:
          answer = container.ReleaseWriteLock(cursor);
          break;
        case FreeRecord:
          answer = container.ReleaseRecordLock(cursor, s.ref, nullptr);
          break;
        case IsRead:
          answer = container.IsReadLocked(cursor);
          break;
        case IsWrite:
          answer = container.IsWriteLocked(cursor);
          break;
        case IsRecord:
          answer = container.IsRecordLocked(cursor, s.ref);
          break;
      }
      EXPECT_EQ(answer, s.expected) << "step of cursor " << s.cursor << ", operation " << s.op;
    }
    for (LockCursor* cursor : cursors) container.ClearAllLocks(cursor);
    EXPECT_TRUE(container.Empty());
  }
}

TEST_F(LockContainer, ReasonsNameTheConflictAndTheSession) {
  Deadline(60000);  // a same-session conflict answers at once all the same
  LockCursor* mine = NewCursor(one);
  ASSERT_EQ(locks.GetRecordLock(nullptr, mine, 5, false, nullptr), lrGrantedNew);
  TmvLockFailureReason reason;
  EXPECT_EQ(locks.GetReadLock(nullptr, mine, false, &reason), lrConflictCursorRecordLockSingle);
  ASSERT_EQ(reason.Count(), 3);
  EXPECT_EQ(reason[0], u"The requested content read lock could not be granted due to a record lock conflict." +
                           Tag(u"LockError.Type", u"content") + Tag(u"LockError.Request", u"lrtReadLock") +
                           Tag(u"LockError.Result", u"lrConflictCursorRecordLockSingle"));
  EXPECT_EQ(reason[1], u"");
  EXPECT_EQ(reason[2], Tag(u"LockError.SameSession", u"1"));
  EXPECT_TRUE(reason.SameSession);
  EXPECT_EQ(locks.WaitingCount(), 0);

  // Another session's two record locks against a write, without deadline.
  Deadline(0);
  LockCursor* other = NewCursor(two);
  locks.ClearAllLocks(mine);
  ASSERT_EQ(locks.GetRecordLock(nullptr, other, 1, false, nullptr), lrGrantedNew);
  ASSERT_EQ(locks.GetRecordLock(nullptr, other, 2, false, nullptr), lrGrantedNew);
  EXPECT_EQ(locks.GetWriteLock(nullptr, mine, false, &reason), lrConflictCursorRecordLockMultiple);
  EXPECT_FALSE(reason.SameSession);
  std::vector<String> expected = {
      u"The requested content write lock could not be granted due to multiple record lock conflicts." +
          Tag(u"LockError.Type", u"content") + Tag(u"LockError.Request", u"lrtWriteLock") +
          Tag(u"LockError.Result", u"lrConflictCursorRecordLockMultiple"),
      u"", u"The conflict occurred with the following session:"};
  TStringList info;
  two->asAddUserInfo(&info);
  for (int32_t i = 0; i < info.Count(); ++i) expected.push_back(info[i]);
  EXPECT_EQ(Lines(reason), expected);
  EXPECT_NE(reason.GetText().find(u"Username: two"), String::npos);

  // A transaction conflict with a transaction that has no session.
  locks.ClearAllLocks(other);
  TTestTransaction bound(Cache());
  TTestTransaction mineTrans(Cache());
  locks.ReleaseRecordLock(other, 1, &bound);
  EXPECT_EQ(locks.GetReadLock(&mineTrans, mine, false, &reason), lrConflictTransaction);
  EXPECT_EQ(reason[0], u"The requested content read lock could not be granted due to a transaction conflict." +
                           Tag(u"LockError.Type", u"content") + Tag(u"LockError.Request", u"lrtReadLock") +
                           Tag(u"LockError.Result", u"lrConflictTransaction"));
  EXPECT_EQ(reason[2], u"The conflict occurred with an unknown session." + Tag(u"LockError.UnknownSession", u"1"));
  locks.EndTransaction(&bound);
  bound.End();
  mineTrans.End();
}

TEST_F(LockContainer, NoWaitWithoutDeadlineOrWithFiveMsLeft) {
  LockCursor* holder = NewCursor(two);
  LockCursor* asker = NewCursor(one);
  ASSERT_EQ(locks.GetWriteLock(nullptr, holder, false, nullptr), lrGrantedNew);
  for (uint32_t deadline : {0u, 4294967295u, 5u}) {
    SCOPED_TRACE(deadline);
    Deadline(deadline);
    TmvLockFailureReason reason;
    EXPECT_EQ(locks.GetReadLock(nullptr, asker, false, &reason), lrConflictCursorWriteLock);
    ASSERT_GE(reason.Count(), 3);
    EXPECT_EQ(reason[2], u"The conflict occurred with the following session:");
    EXPECT_EQ(locks.WaitingCount(), 0);
  }
  // A conditional request never waits, whatever the deadline.
  Deadline(60000);
  EXPECT_EQ(locks.GetRecordLock(nullptr, asker, 1, true, nullptr), lrConflictCursorWriteLock);
  // With time left the request waits and gives up with the conflict.
  Deadline(60);
  TmvLockFailureReason reason;
  EXPECT_EQ(locks.GetReadLock(nullptr, asker, false, &reason), lrConflictCursorWriteLock);
  EXPECT_EQ(reason.Count() > 2 ? reason[2] : String(), u"The conflict occurred with the following session:");
  EXPECT_EQ(locks.WaitingCount(), 0);
  locks.ClearAllLocks(holder);
  EXPECT_TRUE(locks.Empty());
}

TEST_F(LockContainer, ABoundTableRefusesOtherTransactionsUntilItsEnd) {
  LockCursor* holder = NewCursor(one);
  LockCursor* stranger = NewCursor(one);
  LockCursor* other = NewCursor(two);
  auto* t = new TmvServerTransaction(Cache(), one, false, false, false);
  auto* u = new TmvServerTransaction(Cache(), two, false, false, false);
  ASSERT_EQ(locks.GetRecordLock(t, holder, 10, false, nullptr), lrGrantedNew);
  // A cursor that does not hold the record: nothing removed, but bound.
  EXPECT_FALSE(locks.ReleaseRecordLock(stranger, 10, t));
  EXPECT_EQ(locks.IsRecordLocked(holder, 10), 1);
  EXPECT_EQ(locks.BoundTransaction(), t);
  EXPECT_TRUE(locks.ReleaseRecordLock(holder, 10, t));

  EXPECT_EQ(locks.GetReadLock(u, other, false, nullptr), lrConflictTransaction);
  EXPECT_EQ(locks.GetWriteLock(u, other, false, nullptr), lrConflictTransaction);
  EXPECT_EQ(locks.GetRecordLock(u, other, 11, false, nullptr), lrConflictTransaction);
  // A locked record answers with its holder, bound or not.
  ASSERT_EQ(locks.GetRecordLock(t, holder, 12, false, nullptr), lrGrantedNew);
  EXPECT_EQ(locks.GetRecordLock(u, other, 12, false, nullptr), lrConflictCursorRecordLockSingle);
  // The bound transaction itself goes on.
  EXPECT_EQ(locks.GetRecordLock(t, holder, 13, false, nullptr), lrGrantedNew);
  locks.ClearRecordLocks(holder);
  EXPECT_EQ(locks.GetWriteLock(t, holder, false, nullptr), lrGrantedNew);
  locks.ClearAllLocks(holder);

  locks.EndTransaction(u);  // not the bound one: nothing
  EXPECT_EQ(locks.BoundTransaction(), t);
  locks.EndTransaction(t);
  EXPECT_EQ(locks.GetReadLock(u, other, false, nullptr), lrGrantedNew);
  locks.ClearAllLocks(other);
  // A corrupted transaction binds nothing.
  ASSERT_EQ(locks.GetRecordLock(t, holder, 10, false, nullptr), lrGrantedNew);
  t->MarkCorrupted();
  EXPECT_TRUE(locks.ReleaseRecordLock(holder, 10, t));
  EXPECT_EQ(locks.BoundTransaction(), nullptr);
  EXPECT_TRUE(locks.Empty());
  t->Rollback();
  u->Rollback();
}

TEST_F(LockContainer, WaitersAreServedInQueueOrder) {
  LockCursor* holder = NewCursor(two);
  ASSERT_EQ(locks.GetWriteLock(nullptr, holder, false, nullptr), lrGrantedNew);
  ASSERT_EQ(locks.GetWriteLock(nullptr, holder, false, nullptr), lrGrantedExisting);
  std::vector<int> order;
  std::mutex orderLock;
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    // Each waiter of a session of its own: a conflict with a cursor of the
    // same session is never waited for.
    LockCursor* cursor = NewCursor(NewSession());
    threads.emplace_back([&, cursor, i] {
      Deadline(20000);
      const TmvLockResult result = locks.GetWriteLock(nullptr, cursor, false, nullptr);
      {
        std::lock_guard<std::mutex> guard(orderLock);
        order.push_back(result == lrGrantedNew ? i : -1);
      }
      locks.ReleaseWriteLock(cursor);
    });
    AwaitQueued(locks, i + 1);
  }
  EXPECT_TRUE(locks.ReleaseWriteLock(holder));  // held once more: nobody moves
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(locks.WaitingCount(), 3);
  {
    std::lock_guard<std::mutex> guard(orderLock);
    EXPECT_TRUE(order.empty());
  }
  EXPECT_TRUE(locks.ReleaseWriteLock(holder));  // wakes the head
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(locks.Empty());
}

TEST_F(LockContainer, RecordRequestsPassTheWakeUpOn) {
  // The head still conflicts after its wake-up (its record stays locked);
  // the request behind it, for a free record, gets it all the same.
  LockCursor* holder = NewCursor(two);
  ASSERT_EQ(locks.GetRecordLock(nullptr, holder, 1, false, nullptr), lrGrantedNew);
  TTestTransaction bound(Cache());
  locks.ReleaseRecordLock(holder, 99, &bound);
  ASSERT_EQ(locks.BoundTransaction(), &bound);
  std::atomic<int> headResult{-1}, nextResult{-1};
  LockCursor* head = NewCursor(one);
  LockCursor* next = NewCursor(one);
  std::thread first([&] {
    Deadline(20000);
    headResult = locks.GetRecordLock(nullptr, head, 1, false, nullptr);
  });
  AwaitQueued(locks, 1);
  std::thread second([&] {
    Deadline(20000);
    nextResult = locks.GetRecordLock(nullptr, next, 2, false, nullptr);
  });
  AwaitQueued(locks, 2);
  locks.EndTransaction(&bound);  // wakes the head only
  second.join();
  EXPECT_EQ(nextResult.load(), lrGrantedNew);
  EXPECT_EQ(headResult.load(), -1);  // still waiting for its record
  locks.ClearAllLocks(holder);
  first.join();
  EXPECT_EQ(headResult.load(), lrGrantedNew);
  locks.ClearAllLocks(head);
  locks.ClearAllLocks(next);
  EXPECT_TRUE(locks.Empty());
  bound.End();
}

TEST_F(LockContainer, CursorsWhoseAddressesShareTheLow32BitsKeepTheirOwnReadLocks) {
  // Two cursors placed exactly 4 GB apart.
  const size_t page = size_t(sysconf(_SC_PAGESIZE));
  const size_t span = (size_t(1) << 32) + page;
  void* area = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(area, MAP_FAILED);
  auto* low = static_cast<uint8_t*>(area);
  uint8_t* high = low + (size_t(1) << 32);
  ASSERT_EQ(mprotect(low, page, PROT_READ | PROT_WRITE), 0);
  ASSERT_EQ(mprotect(high, page, PROT_READ | PROT_WRITE), 0);
  static_assert(sizeof(LockCursor) <= 4096);
  auto* a = ::new (low) LockCursor(one);
  auto* b = ::new (high) LockCursor(one);
  ASSERT_EQ(uint32_t(reinterpret_cast<uintptr_t>(a)), uint32_t(reinterpret_cast<uintptr_t>(b)));

  EXPECT_EQ(locks.GetReadLock(nullptr, a, false, nullptr), lrGrantedNew);
  EXPECT_EQ(locks.GetReadLock(nullptr, b, false, nullptr), lrGrantedNew);
  EXPECT_TRUE(locks.ReleaseReadLock(a));
  EXPECT_EQ(locks.IsReadLocked(a), 2);
  EXPECT_EQ(locks.IsReadLocked(b), 1);
  EXPECT_FALSE(locks.ReleaseReadLock(a));
  EXPECT_TRUE(locks.ReleaseReadLock(b));
  EXPECT_TRUE(locks.Empty());

  a->~LockCursor();
  b->~LockCursor();
  munmap(area, span);
}

TEST_F(LockContainer, DiagnosticsListTheLocksAndTheQueue) {
  LockCursor* writer = NewCursor(two);
  LockCursor* waiter = NewCursor(one);
  ASSERT_EQ(locks.GetWriteLock(nullptr, writer, false, nullptr), lrGrantedNew);
  ASSERT_EQ(locks.GetRecordLock(nullptr, writer, 42, false, nullptr), lrGrantedNew);
  std::thread t([&] {
    Deadline(20000);
    locks.GetRecordLock(nullptr, waiter, 7, false, nullptr);
    locks.ClearAllLocks(waiter);
  });
  AwaitQueued(locks, 1);
  TInterfacePtr<ImvExceptionDataContainer> data = mvCreateExceptionDataContainer(u"Locks", nullptr);
  locks.GetExceptionData(data.get());
  const String text = data->ToString();
  for (const char16_t* part : {u"ActiveLocks", u"TableLocks", u"WriteLock", u"RecordLocks", u"[0]",
                               u"WaitingLockRequest", u"lrtRecordLock", u"42"})
    EXPECT_NE(text.find(part), String::npos) << UTF8Encode(part);
  locks.ClearAllLocks(writer);
  t.join();
  EXPECT_TRUE(locks.Empty());
}

}  // namespace
