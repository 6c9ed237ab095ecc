// Tests of the per-thread operation deadline, cancellation, keep-alive and
// priority reduction.
#include <gtest/gtest.h>

#include <thread>

#include "foundation/errors/mvllServerException.h"
#include "foundation/sync/mvllSync.h"
#include "foundation/sync/mvllThreads.h"
#include "platform/Threads.h"
#include "storage/mvsrTimeoutHandling.h"

namespace {

// A clock the test moves by hand.
uint64_t gNow = 1000000;
uint64_t testClock() { return gNow; }

struct Deadlines : ::testing::Test {
  void SetUp() override {
    mvsrTimeoutHandlingInit();
    mvSetTimeoutTickSource(testClock);
    *mvGetOperationCancelFlag() = false;
    mvSetOperationDeadline(0, true);
  }
  void TearDown() override {
    mvSetTimeoutTickSource(nullptr);
    mvsrTimeoutHandlingFini();
  }
};

// The code and text of the exception the check raises; 0 when none.
uint32_t checkCode(String* text = nullptr) {
  try {
    mvCheckOperationTimeout();
    return 0;
  } catch (const EmvServerException& e) {
    if (text) *text = e.ErrorString();
    return e.ErrorCode();
  }
}

TEST_F(Deadlines, TenMillisecondsIsTheMargin) {
  mvSetOperationDeadline(9, false);
  EXPECT_EQ(checkCode(), 15461u);
  mvSetOperationDeadline(10, false);
  EXPECT_EQ(checkCode(), 0u);
  EXPECT_EQ(mvGetOperationRemainingTime(), 10u);
  gNow += 1;
  EXPECT_EQ(checkCode(), 15461u);
}

TEST_F(Deadlines, NoDeadlineAndNeverSet) {
  for (uint32_t t : {0u, 4294967295u}) {
    mvSetOperationDeadline(t, false);
    EXPECT_EQ(mvGetOperationDeadline(), mvNoDeadline);
    EXPECT_EQ(checkCode(), 0u);
    EXPECT_EQ(mvGetOperationRemainingTime(), 0u);
  }
  uint32_t fresh = 0;
  std::thread([&] { fresh = checkCode(); }).join();  // a plain thread never set one
  EXPECT_EQ(fresh, 15461u);
  std::atomic<uint64_t> engineThread{1};
  struct Probe : TmvInitThread {
    explicit Probe(std::atomic<uint64_t>& r) : TmvInitThread(THREAD_PRIORITY_NORMAL), result(r) {}
    void InnerExecute() override { result = mvGetOperationDeadline(); }
    std::atomic<uint64_t>& result;
  };
  Probe* p = NewThread<Probe>(engineThread);
  p->WaitForEx(5000);
  FreeThread(p);
  EXPECT_EQ(engineThread.load(), mvNoDeadline);  // the engine's threads start without one
}

TEST_F(Deadlines, ScopesKeepTheOuterDeadline) {
  mvSetOperationDeadline(1000, false);
  mvBeginTimeoutScope();
  mvSetOperationDeadline(5000, false);
  EXPECT_EQ(mvGetOperationDeadline(), gNow + 1000);
  mvSetOperationDeadline(5000, true);
  EXPECT_EQ(mvGetOperationDeadline(), gNow + 5000);
  mvEndTimeoutScope();
  // An unbalanced end is refused and leaves the depth as it was: outside
  // every scope a deadline applies, inside the next scope it does not.
  EXPECT_THROW(mvEndTimeoutScope(), EAssertionFailed);
  mvSetOperationDeadline(2000, false);
  EXPECT_EQ(mvGetOperationDeadline(), gNow + 2000);
  mvBeginTimeoutScope();
  mvSetOperationDeadline(9000, false);
  EXPECT_EQ(mvGetOperationDeadline(), gNow + 2000);
  mvEndTimeoutScope();
}

TEST_F(Deadlines, CancelFromAnotherThread) {
  mvSetOperationDeadline(0, true);
  TmvCancelFlag* flag = mvGetOperationCancelFlag();
  EXPECT_EQ(mvHookGetCancelFlag(), flag);  // the hook reaches this unit
  std::thread([flag] { flag->store(true); }).join();
  EXPECT_EQ(mvGetOperationRemainingTime(), 1u);
  String text;
  EXPECT_EQ(checkCode(&text), 15461u);
  EXPECT_EQ(text, u"Processing cancelled");
  *flag = false;
}

TEST_F(Deadlines, KeepAliveRunsAboutOnceASecond) {
  int calls = 0;
  mvSetThreadCallback([](void* d) { return ++*static_cast<int*>(d); }, &calls);
  mvSetOperationDeadline(0, true);
  gNow += 2000;  // whatever ran on this thread before, a second has passed
  checkCode();
  int first = calls;
  EXPECT_GE(first, 1);
  gNow += 1000;
  checkCode();
  EXPECT_EQ(calls, first);  // not more than 1000 ms later
  gNow += 1;
  checkCode();
  EXPECT_EQ(calls, first + 1);
  mvSetThreadCallback(nullptr, nullptr);
}

TEST_F(Deadlines, OnlyTheOutermostReductionArmsAndRestores) {
  mvSetOperationDeadline(0, true);
  SetCurrentThreadPriority(THREAD_PRIORITY_BELOW_NORMAL);
  mvBeginPriorityReduction(100);
  mvBeginPriorityReduction(5);  // inner: changes nothing
  auto st = mvGetPriorityReductionState();
  EXPECT_EQ(st.Depth, 2);
  EXPECT_TRUE(st.Armed);
  EXPECT_EQ(st.Moment, gNow + 100);
  gNow += 101;
  checkCode();
  EXPECT_FALSE(mvGetPriorityReductionState().Armed);
  EXPECT_EQ(mvGetPriorityReductionState().SavedPriority, THREAD_PRIORITY_BELOW_NORMAL);
  EXPECT_EQ(GetCurrentThreadPriority(), THREAD_PRIORITY_NORMAL);  // the reduced priority is 0
  mvEndPriorityReduction();
  EXPECT_EQ(GetCurrentThreadPriority(), THREAD_PRIORITY_NORMAL);
  mvEndPriorityReduction();
  EXPECT_EQ(GetCurrentThreadPriority(), THREAD_PRIORITY_BELOW_NORMAL);
  EXPECT_EQ(mvGetPriorityReductionState().SavedPriority, mvNoSavedPriority);
  SetCurrentThreadPriority(THREAD_PRIORITY_NORMAL);
}

TEST(TimeoutHooks, FilledAtStartAndRestoredAtStop) {
  EXPECT_EQ(mvHookGetCancelFlag(), nullptr);
  mvsrTimeoutHandlingInit();
  EXPECT_NE(mvHookGetCancelFlag(), nullptr);
  mvsrTimeoutHandlingFini();
  EXPECT_EQ(mvHookGetCancelFlag(), nullptr);
  // An unmatched stop leaves no debt: after two starts, one stop keeps the hooks.
  mvsrTimeoutHandlingFini();
  mvsrTimeoutHandlingInit();
  mvsrTimeoutHandlingInit();
  mvsrTimeoutHandlingFini();
  EXPECT_NE(mvHookGetCancelFlag(), nullptr);
  mvsrTimeoutHandlingFini();
  EXPECT_EQ(mvHookGetCancelFlag(), nullptr);
}

}  // namespace
