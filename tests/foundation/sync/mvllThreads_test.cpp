// Tests of the engine's thread classes: the start handshake, names, timer
// threads and their destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "foundation/sync/mvllThreads.h"

namespace {

using namespace std::chrono_literals;

struct FailingInit : TmvInitThread {
  FailingInit() : TmvInitThread(THREAD_PRIORITY_NORMAL) {}
  void DoBeforeExecute() override { throw EmvInitThread(12345, String(u"init failed")); }
  void InnerExecute() override { ran = true; }
  std::atomic<bool> ran{false};
};

struct WorkingInit : TmvInitThread {
  WorkingInit() : TmvInitThread(THREAD_PRIORITY_NORMAL, u"") {}
  void DoBeforeExecute() override { prepared = 42; }
  void InnerExecute() override { seen = prepared; }
  int prepared = 0;
  std::atomic<int> seen{0};
};

TEST(Threads, InitExceptionIsRaisedInTheCreator) {
  try {
    NewThread<FailingInit>();
    FAIL() << "constructor succeeded";
  } catch (const EmvInitThread& e) {
    EXPECT_EQ(e.ErrorCode(), 12345u);
  }
}

TEST(Threads, CreatorMayRelyOnInitialisationAndName) {
  WorkingInit* t = NewThread<WorkingInit>();
  EXPECT_EQ(t->prepared, 42);  // set by the thread before the constructor returned
  EXPECT_EQ(t->Name(), u"(anonymous namespace)::WorkingInit");
  EXPECT_EQ(t->WaitForEx(5000), WAIT_OBJECT_0);
  EXPECT_EQ(t->seen.load(), 42);
  FreeThread(t);
}

struct CountingTimer : TmvTimerThread {
  explicit CountingTimer(uint32_t interval) : TmvTimerThread(interval, THREAD_PRIORITY_NORMAL) {}
  ~CountingTimer() override { StopTimer(); }
  void TimerWork() override {
    if (++runs == 1) throw EmvThread(String(u"first run fails"));
  }
  void HandleException(Exception&) override { ++handled; }
  std::atomic<int> runs{0}, handled{0};
};

TEST(TimerThreads, DestroyingALongIntervalTimerReturnsPromptly) {
  auto* t = NewThread<CountingTimer>(60000);
  auto start = std::chrono::steady_clock::now();
  FreeThread(t);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(TimerThreads, IntervalZeroRunsOnlyWhenSignalledAndSurvivesExceptions) {
  auto* t = NewThread<CountingTimer>(0);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(t->runs.load(), 0);
  t->Signal();  // this run raises
  while (t->handled.load() < 1) std::this_thread::yield();
  t->Signal();  // the thread still works
  while (t->runs.load() < 2) std::this_thread::yield();
  EXPECT_EQ(t->handled.load(), 1);
  EXPECT_FALSE(t->Finished());
  FreeThread(t);
}

TEST(TimerThreads, SimpleTimerCallsItsCallback) {
  std::atomic<int> calls{0};
  auto* t = NewThread<TmvSimpleTimerThread>(
      5u, THREAD_PRIORITY_NORMAL,
      [](void* o, TmvSimpleTimerThread*) { ++*static_cast<std::atomic<int>*>(o); }, &calls, String());
  while (calls.load() < 3) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(t->Name(), u"TmvSimpleTimerThread");
  FreeThread(t);
}

TEST(ThreadPriorities, Names) {
  String s;
  ASSERT_TRUE(mvThreadPriorityToIdent(THREAD_PRIORITY_IDLE, s));
  EXPECT_EQ(s, u"IDLE");
  int32_t p;
  ASSERT_TRUE(mvIdentToThreadPriority(u"below_normal", p));
  EXPECT_EQ(p, -1);
  EXPECT_FALSE(mvIdentToThreadPriority(u"FAST", p));
}

}  // namespace
