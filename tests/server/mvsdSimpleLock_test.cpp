// Tests of the session lock (re-entry, refusal of other threads, cancels,
// permanent failure and its clean-up) and of the session statistics.
#include <gtest/gtest.h>

#include <thread>

#include "ServerTestSupport.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/transactions/mvsrCommit.h"

namespace {

struct SimpleLock : ServerTest {
  void SetUp() override {
    ServerTest::SetUp();
    lock = TInterfacePtr<ImvSimpleLock>(static_cast<ImvSimpleLock*>(TmvInterfacedObject::Create<TmvSimpleLock>(
        [this](TmvSimpleLock* aSender) {
          ++cleanups;
          cleanupThread = GetCurrentThreadId();
          aSender->SetFailedCleanupDone();
        },
        stats)));
    raw = static_cast<TmvSimpleLock*>(lock.get());
  }
  void TearDown() override {
    lock.reset();
    ServerTest::TearDown();
  }
  void Unlock(uint32_t& aResult) { lock->Unlock(aResult); }
  uint32_t LockCode(String* aText = nullptr) { return RaisedCode([&] { lock->Lock(); }, aText); }
  // Locks on another thread and answers the code raised there.
  uint32_t LockCodeElsewhere() {
    uint32_t code = 0;
    std::thread([&] {
      code = LockCode();
      if (code == 0) {
        uint32_t result = 0;
        Unlock(result);
      }
    }).join();
    return code;
  }

  TmvSessionStats* stats = nullptr;
  TInterfacePtr<ImvSimpleLock> lock;
  TmvSimpleLock* raw = nullptr;
  std::atomic<int> cleanups{0};
  std::atomic<uint32_t> cleanupThread{0};
};

TEST_F(SimpleLock, ReentryCountsOneCallAndFreesAtTheOutermostUnlock) {
  stats = new TmvSessionStats(u"u", u"here");  // the global list owns it
  lock = TInterfacePtr<ImvSimpleLock>(
      static_cast<ImvSimpleLock*>(TmvInterfacedObject::Create<TmvSimpleLock>(nullptr, stats)));
  raw = static_cast<TmvSimpleLock*>(lock.get());
  for (int i = 0; i < 3; ++i) lock->Lock();
  EXPECT_EQ(raw->LockCount(), 3);
  uint32_t result = 0;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(raw->LockingThread(), GetCurrentThreadId());
    Unlock(result);
  }
  EXPECT_EQ(raw->LockingThread(), 0u);
  EXPECT_EQ(result, 0u);
  TmvSessionStatsCounters counters;
  stats->Update(counters);
  EXPECT_EQ(counters[sscCalls], 1);
  EXPECT_EQ(stats->CurrentThread(), 0u);
}

TEST_F(SimpleLock, AnotherThreadIsRefusedAtOnce) {
  lock->Lock();
  uint32_t code = 0;
  String text;
  std::thread([&] { code = LockCode(&text); }).join();
  EXPECT_EQ(code, 8455u);
  EXPECT_EQ(text, u"System has been illegally re-entered.");
  uint32_t result = 0;
  Unlock(result);
  EXPECT_EQ(LockCodeElsewhere(), 0u);  // free again for any thread
  // Only the owner may unlock.
  lock->Lock();
  std::thread([&] { code = RaisedCode([&] { uint32_t r = 0; Unlock(r); }); }).join();
  EXPECT_EQ(code, 8455u);
  Unlock(result);
}

TEST_F(SimpleLock, ACancelWhileIdleRefusesTheNextLockOnly) {
  lock->Failed(false, false);
  String text;
  EXPECT_EQ(LockCode(&text), 15461u);
  EXPECT_EQ(text, u"Processing cancelled");
  EXPECT_EQ(LockCode(), 0u);
  uint32_t result = 0;
  Unlock(result);
  EXPECT_EQ(result, 0u);
}

TEST_F(SimpleLock, ACancelWhileHeldReachesTheOperationAndItsResult) {
  TmvCancelFlag* flag = mvGetOperationCancelFlag();
  flag->store(false);
  for (uint32_t before : {0u, 9729u}) {
    lock->Lock();
    EXPECT_FALSE(flag->load());
    std::thread([&] { lock->Failed(false, false); }).join();
    EXPECT_TRUE(flag->load());  // the running operation stops at its next check
    uint32_t result = before;
    Unlock(result);
    EXPECT_FALSE(flag->load());  // the thread's own flag is back
    if (before == 0) {
      EXPECT_EQ(result, 15461u);
      EXPECT_EQ(LastText(result), u"Processing cancelled. Operation may have partially or fully succeeded");
    } else {
      EXPECT_EQ(result, before);  // a failure already reported is kept
    }
    EXPECT_EQ(LockCode(), 0u);  // the cancel was delivered once
    uint32_t r = 0;
    Unlock(r);
  }
}

TEST_F(SimpleLock, ANestedCallConsumesACancelAndTheOuterResultStays) {
  lock->Lock();
  lock->Failed(false, false);
  EXPECT_EQ(LockCode(), 15461u);
  uint32_t result = 0;
  Unlock(result);
  EXPECT_EQ(result, 0u);
}

TEST_F(SimpleLock, PermanentFailureAndTheFatalFlagRefuseEveryLock) {
  lock->Failed(true, false);
  String text;
  EXPECT_EQ(LockCode(&text), 9990u);
  EXPECT_EQ(text, u"This session has been marked as permanently failed");
  EXPECT_EQ(LockCode(), 9990u);
  EXPECT_TRUE(lock->IsFailedPermanent());

  mvFatalError = true;
  EXPECT_EQ(LockCode(&text), 15443u);
  EXPECT_EQ(text,
            u"A fatal error has occurred. Server operations are suspended until the server is restarted. Check "
            u"exception log at server for further information");
  mvClearFatalErrorForTesting();
}

TEST_F(SimpleLock, PermanentFailureWhileIdleCleansUpOnTheCaller) {
  lock->Failed(true, true);  // the clean-up signalled: no wait
  EXPECT_EQ(cleanups, 1);
  EXPECT_EQ(cleanupThread, GetCurrentThreadId());
  lock->Failed(true, true);
  EXPECT_EQ(cleanups, 1);
}

TEST_F(SimpleLock, PermanentFailureWhileHeldCleansUpInTheOwnersOutermostUnlock) {
  std::atomic<bool> held{false}, release{false};
  uint32_t ownerThread = 0;
  std::thread owner([&] {
    ownerThread = GetCurrentThreadId();
    lock->Lock();
    lock->Lock();
    held = true;
    while (!release) std::this_thread::yield();
    uint32_t result = 0;
    Unlock(result);
    EXPECT_EQ(cleanups, 0);  // not at the inner level
    Unlock(result);
  });
  while (!held) std::this_thread::yield();
  std::thread failer([&] { lock->Failed(true, true); });  // waits for the clean-up
  // Let go only once the failure is recorded: a slow start of the failing
  // thread would otherwise find the lock idle and clean up on itself.
  while (!lock->IsFailedPermanent()) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(cleanups, 0);
  release = true;
  failer.join();
  owner.join();
  EXPECT_EQ(cleanups, 1);
  EXPECT_EQ(cleanupThread, ownerThread);
  EXPECT_EQ(raw->LockingThread(), 0u);
}

TEST_F(SimpleLock, AFailureBetweenOwnershipAndLinkingGivesTheLevelBack) {
  // The cancel-flag hook runs inside Lock after ownership is taken and
  // before the flag is linked: the failures arrive exactly there.
  static ImvSimpleLock* gTarget = nullptr;
  static bool gPermanent = false;
  static TmvCancelFlag gFlag{false};
  const TmvGetCancelFlagProc saved = mvGetCancelFlagHook.load();
  mvGetCancelFlagHook = [] {
    gTarget->Failed(gPermanent, false);
    return &gFlag;
  };
  gTarget = lock.get();

  gPermanent = false;
  EXPECT_EQ(LockCode(), 15461u);
  EXPECT_EQ(raw->LockingThread(), 0u);
  EXPECT_EQ(raw->LockCount(), 0);
  EXPECT_FALSE(gFlag.load());
  mvGetCancelFlagHook = saved;
  EXPECT_EQ(LockCodeElsewhere(), 0u);  // not left owned, and no cancel left over

  mvGetCancelFlagHook = [] {
    gTarget->Failed(gPermanent, false);
    return &gFlag;
  };
  gPermanent = true;
  EXPECT_EQ(LockCode(), 9990u);
  mvGetCancelFlagHook = saved;
  EXPECT_EQ(raw->LockingThread(), 0u);
  EXPECT_EQ(cleanups, 1);  // run as Unlock would have run it
  EXPECT_EQ(cleanupThread, GetCurrentThreadId());
}

TEST_F(SimpleLock, LastLockedIsNowWhileHeld) {
  EXPECT_EQ(lock->LastLocked(), 0u);
  lock->Lock();
  const uint64_t before = GetTickCount64();
  EXPECT_GE(lock->LastLocked(), before);
  uint32_t result = 0;
  Unlock(result);
  const uint64_t released = lock->LastLocked();
  EXPECT_GE(released, before);
  EXPECT_EQ(lock->LastLocked(), released);
}

TEST_F(ServerTest, SessionStatisticsCountForTheThreadInsideOnly) {
  TmvSessionStats* first = new TmvSessionStats(u"a", u"x");
  TmvSessionStats* second = new TmvSessionStats(u"b", u"y");
  EXPECT_EQ(TmvSessionStats::Head(), second);
  EXPECT_EQ(second->Next(), first);
  EXPECT_EQ(second->SessionNumber(), first->SessionNumber() + 1);

  mvCountSessionStat(sscBlocksRead, 5);  // nobody inside: dropped
  first->Enter();
  EXPECT_EQ(TmvSessionStats::Current(), first);
  mvCountSessionStat(sscBlocksRead, 5);  // through storage's hook
  mvCountSessionStat(sscTransCommit);
  std::thread([] { mvCountSessionStat(sscBlocksRead, 100); }).join();  // another thread has none
  volatile uint64_t spin = 0;
  for (int i = 0; i < 2000000; ++i) spin = spin + i;  // some CPU time inside
  TmvSessionStatsCounters running;
  first->Update(running);
  first->Leave();
  EXPECT_EQ(TmvSessionStats::Current(), nullptr);
  TmvSessionStatsCounters counters;
  first->Update(counters);
  EXPECT_EQ(counters[sscCalls], 1);
  EXPECT_EQ(counters[sscBlocksRead], 5);
  EXPECT_EQ(counters[sscTransCommit], 1);
  EXPECT_GT(counters[sscCycles], 0);  // the thread's CPU time, 100 ns units
  EXPECT_GE(counters[sscCycles], running[sscCycles]);
  EXPECT_GE(counters[sscTime], running[sscTime]);
  EXPECT_LT(counters[sscTime], 60000);  // milliseconds, not counter ticks

  first->MarkClosed();
  first->Enter();  // closed: nothing more
  first->Update(counters);
  EXPECT_EQ(counters[sscCalls], 1);
  EXPECT_NE(first->ExtClosed(), 0);
  EXPECT_EQ(second->ExtClosed(), 0);
}

}  // namespace
