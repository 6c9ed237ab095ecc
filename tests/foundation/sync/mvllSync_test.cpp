// Tests of events, padlocks, the thread-safe stack, the event pool, manual
// events, the per-thread hook and the read/write portal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "foundation/sync/mvllReadWritePortal.h"
#include "foundation/sync/mvllSync.h"

namespace {

using namespace std::chrono_literals;

void* P(uintptr_t v) { return reinterpret_cast<void*>(v); }

// Starts and stops the unit around each test.
struct SyncUnit : ::testing::Test {
  void SetUp() override { mvllSyncInit(); }
  void TearDown() override { mvllSyncFini(); }
};

TEST_F(SyncUnit, EventWaitLimits) {
  TmvEvent e;
  try {
    e.WaitFor(1);
    FAIL() << "no timeout";
  } catch (const EmvSyncException& x) {
    EXPECT_EQ(x.ErrorCode(), 15461u);
  }
  EXPECT_EQ(e.WaitForQuietly(1), WAIT_TIMEOUT);
  std::thread t([&] {
    std::this_thread::sleep_for(30ms);
    e.SignalEvent();
  });
  e.WaitFor(0);  // without limit: returns only once signalled
  t.join();
  EXPECT_EQ(e.WaitForQuietly(1), WAIT_TIMEOUT);  // auto-reset
}

TEST_F(SyncUnit, PooledEventIsResetForItsNextUser) {
  TEventHandle h;
  {
    TmvEvent e;
    e.SignalEvent();  // left set
  }
  TmvEvent again;  // may get the same handle back
  EXPECT_EQ(again.WaitForQuietly(1), WAIT_TIMEOUT);
  (void)h;
}

TEST_F(SyncUnit, PadlockIsReentrantAndExclusive) {
  TmvPadlock lock(true);
  lock.Lock();
  lock.Lock();
  bool other = true;
  std::thread([&] { other = lock.TryLock(); }).join();
  EXPECT_FALSE(other);
  lock.Unlock();
  lock.Unlock();
  std::thread([&] {
    other = lock.TryLock();
    if (other) lock.Unlock();
  }).join();
  EXPECT_TRUE(other);
}

TEST_F(SyncUnit, CreateAndLockPublishesOnePadlock) {
  for (int round = 0; round < 20; ++round) {
    TmvPadlock* shared = nullptr;
    std::atomic<int> inside{0}, maxInside{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i) {
      ts.emplace_back([&] {
        TmvPadlock::CreateAndLock(shared);
        int n = ++inside;
        maxInside = std::max(maxInside.load(), n);
        std::this_thread::yield();
        --inside;
        shared->Unlock();
      });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(maxInside.load(), 1);
    delete shared;
  }
}

TEST_F(SyncUnit, StackPagesAndOrder) {
  TmvThreadSafeStack s;
  EXPECT_EQ(s.Pop(), nullptr);
  EXPECT_EQ(s.Count(), 0);
  for (uintptr_t i = 1; i <= 511; ++i) s.Push(P(i));
  EXPECT_EQ(s.PageCount(), 1);
  s.Push(P(512));
  EXPECT_EQ(s.PageCount(), 2);  // the 512th push adds a page
  EXPECT_EQ(s.Count(), 512);
  for (uintptr_t i = 512; i >= 1; --i) ASSERT_EQ(s.Pop(), P(i));
  EXPECT_EQ(s.Pop(), nullptr);
  EXPECT_EQ(s.Count(), 0);
}

TEST_F(SyncUnit, EventPoolFlushKeepsTheRetainCount) {
  TmvEventPool pool(2600, 2500);
  EXPECT_EQ(pool.Count(), 2600);
  pool.Flush();
  EXPECT_EQ(pool.Count(), 2500);  // 100 closed
  TEventHandle h = pool.Get();
  EXPECT_EQ(pool.Count(), 2499);
  pool.Put(h);
  TmvEventPool empty(0, 10);
  TEventHandle fresh = empty.Get();  // none pooled: a new one
  ASSERT_NE(fresh, nullptr);
  empty.Put(fresh);
}

TEST_F(SyncUnit, ManualEventCacheIsBounded) {
  std::vector<ImvManualEventPtr> held;
  for (int i = 0; i < 129; ++i) held.push_back(mvAcquireManualEvent());
  int32_t before = mvManualEventCacheDepth();
  held.clear();  // 129 releases: the cache keeps 128, the last one is destroyed
  EXPECT_EQ(mvManualEventCacheDepth(), 128);
  EXPECT_LE(before, 128);
  ImvManualEventPtr e = mvAcquireManualEvent();
  EXPECT_EQ(mvManualEventCacheDepth(), 127);
  EXPECT_EQ(e->GetHandle()->WaitFor(0), WAIT_TIMEOUT);  // reused events come back reset
  std::thread t([e] { e->SetEvent(); });
  e->WaitFor();
  t.join();
}

TEST(ThreadCallback, CalledOnlyWhenDataIsSet) {
  EXPECT_EQ(mvCallThreadCallback(), 0);
  int calls = 0;
  mvSetThreadCallback([](void* d) { return ++*static_cast<int*>(d); }, &calls);
  EXPECT_EQ(mvCallThreadCallback(), 1);
  int other = -1;
  std::thread([&] { other = mvCallThreadCallback(); }).join();  // per thread
  EXPECT_EQ(other, 0);
  mvSetThreadCallback(nullptr, nullptr);
  EXPECT_EQ(mvCallThreadCallback(), 0);
}

// ---------------------------------------------------------------------------
// Portal

TEST(Portal, NestedReadsAndWrites) {
  TmvInternalReadWritePortal p;
  p.BeginRead();
  p.BeginRead();
  EXPECT_EQ(p.Portal(), 65534);
  p.EndRead();
  p.EndRead();
  EXPECT_EQ(p.Portal(), 65535);

  EXPECT_TRUE(p.BeginWrite());
  p.BeginRead();  // a writer's read changes nothing
  EXPECT_EQ(p.Portal(), 0);
  p.EndRead();
  EXPECT_TRUE(p.BeginWrite());
  EXPECT_TRUE(p.BeginWrite());
  p.EndWrite();
  p.EndWrite();
  EXPECT_EQ(p.Portal(), 0);  // still held after two of three
  std::atomic<bool> read{false};
  std::thread r([&] {
    p.BeginRead();
    read = true;
    p.EndRead();
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(read.load());
  p.EndWrite();
  r.join();
  EXPECT_TRUE(read.load());
  EXPECT_EQ(p.Portal(), 65535);

  p.BeginRead();  // upgrade without competition
  EXPECT_TRUE(p.BeginWrite());
  p.EndWrite();
  p.EndRead();
  EXPECT_EQ(p.Portal(), 65535);
  EXPECT_EQ(p.WriterID(), 0u);
}

TEST(Portal, TwoUpgradingReadersOneWins) {
  for (int round = 0; round < 10; ++round) {
    TmvInternalReadWritePortal p;
    std::atomic<int> reading{0};
    std::atomic<int> trues{0}, falses{0};
    auto reader = [&] {
      p.BeginRead();
      ++reading;
      while (reading.load() < 2) std::this_thread::yield();
      bool r = p.BeginWrite();
      (r ? trues : falses)++;
      p.EndWrite();
      p.EndRead();
    };
    std::thread a(reader), b(reader);
    a.join();
    b.join();
    EXPECT_EQ(trues.load(), 1);
    EXPECT_EQ(falses.load(), 1);
    EXPECT_EQ(p.Portal(), 65535);
  }
}

TEST(Portal, NewReaderQueuesBehindWaitingWriter) {
  TmvInternalReadWritePortal p;
  p.BeginRead();
  std::atomic<int> order{0};
  int writerAt = 0, readerAt = 0;
  std::thread w([&] {
    p.BeginWrite();
    writerAt = ++order;
    p.EndWrite();
  });
  // The writer has closed the portal to new readers and waits for our read.
  while (p.WritersWaiting() == 0) std::this_thread::yield();
  std::thread r([&] {
    p.BeginRead();
    readerAt = ++order;
    p.EndRead();
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(order.load(), 0);
  p.EndRead();
  w.join();
  r.join();
  EXPECT_EQ(writerAt, 1);
  EXPECT_EQ(readerAt, 2);
}

TEST(Portal, CreateAndReadLeavesOnePortal) {
  for (int round = 0; round < 20; ++round) {
    TmvInternalReadWritePortal* shared = nullptr;
    std::atomic<int> ready{0};
    auto f = [&] {
      TmvInternalReadWritePortal::CreateAndRead(shared);
      ++ready;
      while (ready.load() < 2) std::this_thread::yield();  // both read at once
      shared->EndRead();
    };
    std::thread a(f), b(f);
    a.join();
    b.join();
    EXPECT_EQ(shared->Portal(), 65535);
    delete shared;
  }
}

}  // namespace
