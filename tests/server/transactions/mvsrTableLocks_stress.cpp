// Stress test of the table locks: 8 threads of 4 sessions (two contexts per
// session, driven below the session lock as the database and cursors drive
// them) lock 3 tables at random: content locks shared and exclusive (with
// upgrades, deadlocks and time-outs), read, write and record locks, nested
// levels, commits and rollbacks. At the end nothing is locked, no link is
// left and no request waits; every thread finished (a lost wake-up would
// show as a thread stuck until its deadline, again and again, and is
// caught by the progress count).
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "server/transactions/LockTestSupport.h"

namespace {

using namespace lock_test;

class TableLocksStress : public LockTest {};

TEST_F(TableLocksStress, EightThreadsOfFourSessionsOnThreeTables) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 300;
  std::unique_ptr<LockTable> owned[3] = {std::make_unique<LockTable>(u"A", 1), std::make_unique<LockTable>(u"B"),
                                         std::make_unique<LockTable>(u"C", 2)};
  LockTable* tables[3] = {owned[0].get(), owned[1].get(), owned[2].get()};
  TmvServerSession* sessions[4];
  for (TmvServerSession*& s : sessions) s = NewSession();
  TmvServerTransContext* contexts[kThreads];
  for (int i = 0; i < kThreads; ++i) contexts[i] = NewContext(sessions[i / 2]);
  std::atomic<int> granted{0}, deadlocks{0}, timeouts{0}, rounds{0};

  auto worker = [&](int aIndex) {
    std::mt19937 random(uint32_t(1234 + aIndex));
    TmvServerTransContext* context = contexts[aIndex];
    TmvAbstractSession* session = sessions[aIndex / 2];
    std::vector<std::unique_ptr<LockCursor>> cursors;
    for (int i = 0; i < 3; ++i) cursors.push_back(std::make_unique<LockCursor>(session));
    for (int round = 0; round < kRounds; ++round) {
      Deadline(1 + random() % 40);
      if (context->stcTransactionStart(false, random() % 8 == 0, false, false, false, false) != 0) continue;
      TmvServerTransaction* trans = context->Transaction();
      bool failed = false;
      for (int step = 0; step < 6 && !failed; ++step) {
        const int t = int(random() % 3);
        LockCursor& cursor = *cursors[size_t(t)];
        LockTable& table = *tables[t];
        switch (random() % 8) {
          case 0:
          case 6:
          case 7:
          case 1: {
            const uint32_t r = ContentLock(cursor, trans, table, !trans->IsSnapshot() && random() % 2 == 0,
                                           random() % 4 == 0);
            if (r == 0) ++granted;
            if (r == MVERR_DEADLOCK) ++deadlocks, failed = true;
            if (r == MVERR_LOCKTIMEOUT) ++timeouts;
            break;
          }
          case 2: {
            // A changed record binds the table to the transaction; changes
            // need the table's exclusive content lock.
            const TmvRefNr ref = TmvRefNr(random() % 5);
            TmvServerTransactionLevelTableLink* link = trans->stFindLink(table.rtlTransLinkKey());
            const bool writes = link && link->ttlExclusive && link->Granted();
            if (table.locks.GetRecordLock(trans, &cursor, ref, false, nullptr) <= lrGrantedExisting &&
                random() % 2 == 0)
              table.locks.ReleaseRecordLock(&cursor, ref, writes ? trans : nullptr);
            break;
          }
          case 3:
            if (table.locks.GetReadLock(trans, &cursor, false, nullptr) <= lrGrantedExisting) ++granted;
            break;
          case 4:
            if (table.locks.GetWriteLock(trans, &cursor, random() % 2 == 0, nullptr) <= lrGrantedExisting) ++granted;
            break;
          case 5:
            if (context->stcTransactionStart(false, false, false, false, false, false) == 0 && random() % 2)
              context->stcTransactionCommit();
            break;
        }
      }
      for (auto& c : cursors)
        for (LockTable* table : tables) table->locks.ClearAllLocks(c.get());
      // End every level: commit or roll back at random (a deadlocked or
      // corrupted transaction can only roll back).
      while (context->Transaction()) {
        if (random() % 2 == 0 && context->stcTransactionCommit() == 0) continue;
        context->stcTransactionRollback();
      }
      for (auto& c : cursors) ASSERT_EQ(c->stcTransLink, nullptr);
      ++rounds;
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(worker, i);
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(rounds.load(), kThreads * kRounds);
  EXPECT_GT(granted.load(), 0);
  for (LockTable* table : tables) {
    EXPECT_FALSE(table->AnyLinks());
    EXPECT_TRUE(table->locks.Empty());
    for (auto& child : table->children) EXPECT_TRUE(child->Empty());
    EXPECT_TRUE(table->srtCommitPadlock.TryLock());
    table->srtCommitPadlock.Unlock();
  }
  std::printf("granted %d, deadlocks %d, time-outs %d\n", granted.load(), deadlocks.load(), timeouts.load());
}

}  // namespace
