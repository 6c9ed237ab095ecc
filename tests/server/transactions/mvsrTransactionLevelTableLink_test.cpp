// Tests of the transaction-level table links: shared and exclusive links of
// several sessions, upgrades, the pending list's order, same-session
// conflicts, waits bounded by the deadline, the conflict reasons, and
// deadlocks of upgrades and of cycles over two tables.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "server/transactions/LockTestSupport.h"

namespace {

using namespace lock_test;

class TableLinks : public LockTest {
 protected:
  void SetUp() override {
    LockTest::SetUp();
    one = NewSession(u"one");
    two = NewSession(u"two");
    three = NewSession(u"three");
  }
  void TearDown() override {
    EXPECT_FALSE(table.AnyLinks());
    LockTest::TearDown();
  }
  // Waits until the table has aCount pending links (upgrades included).
  void AwaitPending(LockTable& aTable, int aCount) {
    for (int i = 0; i < 4000 && aTable.PendingCount() < aCount; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(aTable.PendingCount(), aCount);
  }
  static TmvServerTransaction* T(TmvServerTransContext* aContext) { return aContext->Transaction(); }

  TmvServerSession* one = nullptr;
  TmvServerSession* two = nullptr;
  TmvServerSession* three = nullptr;
  LockTable table{u"T"};
};

TEST_F(TableLinks, SharedLinksOfTwoSessionsAreBothGranted) {
  TmvServerTransContext* a = Started(one);
  TmvServerTransContext* b = Started(two);
  LockCursor* ca = NewCursor(one);
  LockCursor* cb = NewCursor(two);
  EXPECT_EQ(ContentLock(*ca, T(a), table, false, true), 0u);
  EXPECT_EQ(ContentLock(*cb, T(b), table, false, true), 0u);
  EXPECT_EQ(table.GrantedCount(), 2);
  ASSERT_NE(ca->stcTransLink, nullptr);
  EXPECT_EQ(T(a)->stFindLink(table.rtlTransLinkKey()), ca->stcTransLink);
  // A second cursor of the transaction joins the same link.
  LockCursor* ca2 = NewCursor(one);
  EXPECT_EQ(ContentLock(*ca2, T(a), table, false), 0u);
  EXPECT_EQ(ca2->stcTransLink, ca->stcTransLink);
  EXPECT_EQ(a->TransactionCommit(), 0u);
  EXPECT_EQ(b->TransactionRollback(), 0u);
  EXPECT_EQ(ca->stcTransLink, nullptr);
  EXPECT_EQ(cb->stcTransLink, nullptr);
}

TEST_F(TableLinks, AnExclusiveRequestWaitsForASharedLinkUntilItsTransactionCommits) {
  TmvServerTransContext* a = Started(one);
  TmvServerTransContext* b = Started(two);
  ASSERT_EQ(ContentLock(*NewCursor(one), T(a), table, false), 0u);
  LockCursor* cb = NewCursor(two);
  std::atomic<int> result{-1};
  std::thread waiter([&] {
    Deadline(20000);
    result = int(ContentLock(*cb, T(b), table, true));
  });
  AwaitPending(table, 1);
  EXPECT_EQ(result.load(), -1);
  EXPECT_EQ(a->TransactionCommit(), 0u);
  waiter.join();
  EXPECT_EQ(result.load(), 0);
  ASSERT_NE(cb->stcTransLink, nullptr);
  EXPECT_TRUE(cb->stcTransLink->ttlExclusive && cb->stcTransLink->Granted());
  EXPECT_EQ(cb->stcTransLink->ttlEvent, nullptr);  // freed once signalled
  EXPECT_EQ(b->TransactionCommit(), 0u);
}

TEST_F(TableLinks, UpgradesOfTheOnlySharedLinkAreGrantedAtOnceAndUndoneByARollback) {
  TmvServerTransContext* a = Started(one);
  LockCursor* c = NewCursor(one);
  ASSERT_EQ(ContentLock(*c, T(a), table, false), 0u);
  TmvServerTransactionLevelTableLink* shared = c->stcTransLink;

  // In a nested level the upgrade is a link of its own.
  ASSERT_EQ(a->TransactionStart(false, false), 0u);
  EXPECT_EQ(ContentLock(*c, T(a), table, true, true), 0u);
  TmvServerTransactionLevelTableLink* upgrade = c->stcTransLink;
  ASSERT_NE(upgrade, shared);
  EXPECT_TRUE(upgrade->ttlExclusive);
  EXPECT_EQ(upgrade->ttlConvertFrom, shared);
  EXPECT_EQ(table.GrantedCount(), 1);
  EXPECT_EQ(T(a)->stFindLink(table.rtlTransLinkKey()), upgrade);
  // Another cursor of the transaction on the shared link follows the upgrade.
  LockCursor* c2 = NewCursor(one);
  EXPECT_EQ(ContentLock(*c2, T(a), table, false), 0u);
  EXPECT_EQ(c2->stcTransLink, upgrade);

  // Rolled back: the cursors are back on the shared link, which is granted
  // again, and a waiting request of another session gets its chance.
  TmvServerTransContext* b = Started(two);
  LockCursor* cb = NewCursor(two);
  std::atomic<int> result{-1};
  std::thread waiter([&] {
    Deadline(20000);
    result = int(ContentLock(*cb, T(b), table, false));
  });
  AwaitPending(table, 1);
  EXPECT_EQ(a->TransactionRollback(), 0u);
  waiter.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(c->stcTransLink, shared);
  EXPECT_EQ(c2->stcTransLink, shared);
  EXPECT_EQ(T(a)->stFindLink(table.rtlTransLinkKey()), shared);
  EXPECT_EQ(table.GrantedCount(), 2);
  EXPECT_EQ(b->TransactionCommit(), 0u);

  // Committed, the upgrade replaces the shared link in the parent level.
  ASSERT_EQ(a->TransactionStart(false, false), 0u);
  EXPECT_EQ(ContentLock(*c, T(a), table, true), 0u);
  upgrade = c->stcTransLink;
  EXPECT_EQ(a->TransactionCommit(), 0u);
  EXPECT_EQ(T(a)->stFindLink(table.rtlTransLinkKey()), upgrade);
  EXPECT_EQ(upgrade->ttlConvertFrom, nullptr);
  EXPECT_EQ(upgrade->ttlTransactionLevel, T(a)->InnermostLevel());
  EXPECT_EQ(c2->stcTransLink, upgrade);
  EXPECT_EQ(T(a)->InnermostLevel()->stlTableLinksHead, upgrade);
  EXPECT_EQ(upgrade->ttlTransactionLevelNext, nullptr);
  EXPECT_EQ(a->TransactionCommit(), 0u);
}

TEST_F(TableLinks, APendingExclusiveHoldsBackLaterPendingSharedButNotANewSharedMeetingSharedLinks) {
  // Only shared links granted: a new shared request passes the waiting
  // exclusive one.
  TmvServerTransContext* a = Started(one);
  ASSERT_EQ(ContentLock(*NewCursor(one), T(a), table, false), 0u);
  TmvServerTransContext* b = Started(two);
  LockCursor* cb = NewCursor(two);
  std::atomic<int> bResult{-1};
  std::thread exclusive([&] {
    Deadline(20000);
    bResult = int(ContentLock(*cb, T(b), table, true));
  });
  AwaitPending(table, 1);
  TmvServerTransContext* c = Started(three);
  EXPECT_EQ(ContentLock(*NewCursor(three), T(c), table, false, true), 0u);
  EXPECT_EQ(a->TransactionCommit(), 0u);
  EXPECT_EQ(bResult.load(), -1);
  EXPECT_EQ(c->TransactionCommit(), 0u);
  exclusive.join();
  EXPECT_EQ(bResult.load(), 0);

  // An exclusive link granted: pending requests are served strictly in turn.
  TmvServerTransContext* d = Started(one);
  LockCursor* cd = NewCursor(one);
  std::atomic<int> dResult{-1}, cResult{-1};
  std::thread second([&] {
    Deadline(20000);
    dResult = int(ContentLock(*cd, T(d), table, true));
  });
  AwaitPending(table, 1);
  ASSERT_EQ(c->TransactionStart(false, false), 0u);
  LockCursor* cc = NewCursor(three);
  std::thread third([&] {
    Deadline(20000);
    cResult = int(ContentLock(*cc, T(c), table, false));
  });
  AwaitPending(table, 2);
  EXPECT_EQ(b->TransactionCommit(), 0u);
  second.join();
  EXPECT_EQ(dResult.load(), 0);
  EXPECT_EQ(table.PendingCount(), 1);
  EXPECT_EQ(cResult.load(), -1);
  EXPECT_EQ(d->TransactionCommit(), 0u);
  third.join();
  EXPECT_EQ(cResult.load(), 0);
  EXPECT_EQ(c->TransactionCommit(), 0u);
}

TEST_F(TableLinks, ConflictsWithinOneSession) {
  TmvServerTransContext* a = Started(one);
  TmvServerTransContext* b = Started(one);
  ASSERT_EQ(ContentLock(*NewCursor(one), T(a), table, false), 0u);
  // Exclusive against another transaction of the same session: at once.
  Deadline(20000);
  TmvLockFailureReason reason;
  LockCursor* cb = NewCursor(one);
  EXPECT_EQ(ContentLock(*cb, T(b), table, true, false, &reason), uint32_t(MVERR_LOCKTIMEOUT));
  EXPECT_EQ(LastText(MVERR_LOCKTIMEOUT), u"Lock time out.");
  EXPECT_TRUE(reason.SameSession);
  ASSERT_EQ(reason.Count(), 3);
  EXPECT_EQ(reason[2], Tag(u"LockError.SameSession", u"1"));
  EXPECT_EQ(table.PendingCount(), 0);
  EXPECT_EQ(T(b)->LinkCount(), 0);

  // A shared request behind an exclusive link of the same session waits
  // until its deadline.
  EXPECT_EQ(a->TransactionCommit(), 0u);
  ASSERT_EQ(ContentLock(*NewCursor(one), T(b), table, true), 0u);
  ASSERT_EQ(a->TransactionStart(false, false), 0u);
  Deadline(80);
  EXPECT_EQ(ContentLock(*NewCursor(one), T(a), table, false, false, &reason), uint32_t(MVERR_LOCKTIMEOUT));
  EXPECT_TRUE(reason.SameSession);
  EXPECT_EQ(table.PendingCount(), 0);
  EXPECT_EQ(a->TransactionRollback(), 0u);
  EXPECT_EQ(b->TransactionRollback(), 0u);
}

TEST_F(TableLinks, WithoutDeadlineOnlyAGrantAtCreationSucceeds) {
  TmvServerTransContext* a = Started(one);
  TmvServerTransContext* b = Started(two);
  ASSERT_EQ(ContentLock(*NewCursor(one), T(a), table, true), 0u);
  for (uint32_t deadline : {0u, 4294967295u}) {
    Deadline(deadline);
    EXPECT_EQ(ContentLock(*NewCursor(two), T(b), table, false), uint32_t(MVERR_LOCKTIMEOUT));
    EXPECT_EQ(table.PendingCount(), 0);
  }
  LockTable free{u"U"};
  EXPECT_EQ(ContentLock(*NewCursor(two), T(b), free, true), 0u);
  EXPECT_EQ(a->TransactionCommit(), 0u);
  EXPECT_EQ(b->TransactionCommit(), 0u);
  EXPECT_FALSE(free.AnyLinks());
}

TEST_F(TableLinks, TheReasonNamesTheRequestTheConflictAndTheSessions) {
  TmvServerTransContext* a = Started(one);
  TmvServerTransContext* b = Started(two);
  ASSERT_EQ(ContentLock(*NewCursor(one), T(a), table, false), 0u);
  auto header = [](const String& aFirst, bool aConflictExclusive, bool aMultiple) {
    return aFirst + Tag(u"LockError.Type", u"transaction") + Tag(u"LockError.RequestExclusive", u"1") +
           Tag(u"LockError.ConflictExclusive", aConflictExclusive ? u"1" : u"0") +
           Tag(u"LockError.ConflictMultiple", aMultiple ? u"1" : u"0");
  };
  TStringList oneInfo;
  one->asAddUserInfo(&oneInfo);

  TmvLockFailureReason reason;
  EXPECT_EQ(ContentLock(*NewCursor(two), T(b), table, true, false, &reason), uint32_t(MVERR_LOCKTIMEOUT));
  std::vector<String> expected = {
      header(u"The requested exclusive transaction lock for table \"T\" could not be granted due to a conflicting "
             u"shared transaction lock.",
             false, false),
      u"", u"The conflict occurred with the following session:"};
  for (int32_t i = 0; i < oneInfo.Count(); ++i) expected.push_back(oneInfo[i]);
  EXPECT_EQ(Lines(reason), expected);
  EXPECT_FALSE(reason.SameSession);

  // Several shared links in the way.
  TmvServerTransContext* c = Started(three);
  ASSERT_EQ(ContentLock(*NewCursor(three), T(c), table, false), 0u);
  EXPECT_EQ(ContentLock(*NewCursor(two), T(b), table, true, false, &reason), uint32_t(MVERR_LOCKTIMEOUT));
  EXPECT_EQ(reason[0], header(u"The requested exclusive transaction lock for table \"T\" could not be granted due to "
                              u"multiple conflicting shared locks.",
                              false, true));
  EXPECT_EQ(reason[2], u"One of the conflicting Sessions is:");
  EXPECT_EQ(c->TransactionCommit(), 0u);

  // An upgrade of b's own shared link, against a's.
  LockCursor* cb = NewCursor(two);
  ASSERT_EQ(ContentLock(*cb, T(b), table, false), 0u);
  EXPECT_EQ(ContentLock(*cb, T(b), table, true, true, &reason), uint32_t(MVERR_LOCKTIMEOUT));
  EXPECT_EQ(reason[0], header(u"The requested exclusive transaction lock upgrade for table \"T\" could not be "
                              u"granted due to a conflicting shared transaction lock.",
                              false, false));
  EXPECT_EQ(cb->stcTransLink->ttlConvertTo, nullptr);  // the failed upgrade is gone

  // A shared request behind an exclusive link.
  EXPECT_EQ(b->TransactionCommit(), 0u);
  EXPECT_EQ(a->TransactionCommit(), 0u);
  ASSERT_EQ(a->TransactionStart(false, false), 0u);
  ASSERT_EQ(b->TransactionStart(false, false), 0u);
  ASSERT_EQ(ContentLock(*NewCursor(one), T(a), table, true), 0u);
  EXPECT_EQ(ContentLock(*NewCursor(two), T(b), table, false, false, &reason), uint32_t(MVERR_LOCKTIMEOUT));
  EXPECT_EQ(reason[0], u"The requested shared transaction lock for table \"T\" could not be granted due to a "
                       u"conflicting exclusive transaction lock." +
                           Tag(u"LockError.Type", u"transaction") + Tag(u"LockError.RequestExclusive", u"0") +
                           Tag(u"LockError.ConflictExclusive", u"1") + Tag(u"LockError.ConflictMultiple", u"0"));
  EXPECT_EQ(a->TransactionCommit(), 0u);
  EXPECT_EQ(b->TransactionCommit(), 0u);
}

TEST_F(TableLinks, ASecondUpgradeIsADeadlockThatRollsItsTransactionBack) {
  TmvServerTransContext* a = Started(one);
  TmvServerTransContext* b = Started(two);
  LockCursor* ca = NewCursor(one);
  LockCursor* cb = NewCursor(two);
  ASSERT_EQ(ContentLock(*ca, T(a), table, false), 0u);
  ASSERT_EQ(ContentLock(*cb, T(b), table, false), 0u);
  ASSERT_EQ(b->TransactionStart(false, false), 0u);  // two levels to roll back
  std::atomic<int> first{-1};
  std::thread upgrader([&] {
    Deadline(20000);
    first = int(ContentLock(*ca, T(a), table, true));
  });
  AwaitPending(table, 1);
  const uint32_t second = ContentLock(*cb, T(b), table, true);
  EXPECT_EQ(second, uint32_t(MVERR_DEADLOCK));
  EXPECT_EQ(LastText(MVERR_DEADLOCK), u"A deadlock was detected. You need to rollback this transaction.");
  upgrader.join();
  EXPECT_EQ(first.load(), 0);
  EXPECT_TRUE(ca->stcTransLink->ttlExclusive);
  EXPECT_EQ(cb->stcTransLink, nullptr);
  EXPECT_EQ(T(b)->LinkCount(), 0);
  // Its levels stay, marked, until rolled back.
  int32_t level = -1;
  EXPECT_EQ(b->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 1);
  EXPECT_EQ(b->TransactionCommit(), uint32_t(MVERR_DEADLOCK));
  EXPECT_EQ(b->TransactionStart(false, false), uint32_t(MVERR_DEADLOCK));
  EXPECT_EQ(b->TransactionRollback(), 0u);
  EXPECT_EQ(b->TransactionRollback(), 0u);
  EXPECT_EQ(b->TransactionGetLevel(level), uint32_t(MVERR_NOACTIVETRAN));
  EXPECT_EQ(a->TransactionCommit(), 0u);
}

TEST_F(TableLinks, ACycleOverTwoTablesEndsInATimeOut) {
  LockTable other{u"U"};
  TmvServerTransContext* a = Started(one);
  TmvServerTransContext* b = Started(two);
  ASSERT_EQ(ContentLock(*NewCursor(one), T(a), table, false), 0u);
  ASSERT_EQ(ContentLock(*NewCursor(two), T(b), other, false), 0u);
  std::atomic<int> ra{-1}, rb{-1};
  LockCursor* ca = NewCursor(one);
  LockCursor* cb = NewCursor(two);
  std::thread ta([&] {
    Deadline(300);
    ra = int(ContentLock(*ca, T(a), other, true));
  });
  std::thread tb([&] {
    Deadline(300);
    rb = int(ContentLock(*cb, T(b), table, true));
  });
  ta.join();
  tb.join();
  EXPECT_TRUE(ra.load() == MVERR_LOCKTIMEOUT || rb.load() == MVERR_LOCKTIMEOUT) << ra.load() << " " << rb.load();
  EXPECT_EQ(a->TransactionRollback(), 0u);
  EXPECT_EQ(b->TransactionRollback(), 0u);
  EXPECT_FALSE(other.AnyLinks());
}

TEST_F(TableLinks, SnapshotLinksNeverConflict) {
  TmvServerTransContext* a = Started(one);
  ASSERT_EQ(ContentLock(*NewCursor(one), T(a), table, true), 0u);
  TmvServerTransContext* s = NewContext(two);
  ASSERT_EQ(s->TransactionStart(false, true), 0u);
  LockCursor* cs = NewCursor(two);
  EXPECT_EQ(ContentLock(*cs, T(s), table, false, true), 0u);
  EXPECT_TRUE(cs->stcTransLink->ttlSnapshot);
  EXPECT_EQ(ContentLock(*cs, T(s), table, true, true), uint32_t(MVERR_TABLEREADONLY));
  EXPECT_EQ(s->TransactionRollback(), 0u);
  EXPECT_EQ(a->TransactionCommit(), 0u);
}

}  // namespace
