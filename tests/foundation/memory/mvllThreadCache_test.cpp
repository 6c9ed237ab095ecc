// Tests of the per-thread item cache through the pooled manager, so they run
// against the pools in every build: double frees wherever the first free put
// the item, blocks kept by cached items, and the flush points.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/memory/mvllThreadCache.h"

namespace {

TmvPooledMemoryManager& Pooled() { return mvPooledMemoryManager(); }

// Runs `body` on a thread that stays alive, its cache intact, until the
// returned object is destroyed.
class LiveThread {
 public:
  explicit LiveThread(std::function<void()> body) {
    std::promise<void> started;
    std::future<void> ready = started.get_future();
    fThread = std::thread([&, body = std::move(body)] {
      try {
        body();
      } catch (...) {
        fFailed = true;
      }
      started.set_value();
      fRelease.get_future().wait();
    });
    ready.wait();
  }
  ~LiveThread() { Exit(); }
  void Exit() {
    if (!fThread.joinable()) return;
    fRelease.set_value();
    fThread.join();
  }
  bool Failed() const { return fFailed; }

 private:
  std::promise<void> fRelease;
  bool fFailed = false;
  std::thread fThread;
};

bool FreeThrows(void* p) {
  try {
    Pooled().FreeMem(p);
  } catch (const EInvalidPointer&) {
    return true;
  }
  return false;
}

TEST(ThreadCache, SecondFreeRaisesWhereverTheFirstPutTheItem) {
  TmvPooledMemoryManager& m = Pooled();
  enum class First { ThisThread, LiveThread, ThreadThatExited, ThisThreadThenCollect };
  for (First first : {First::ThisThread, First::LiveThread, First::ThreadThatExited, First::ThisThreadThenCollect}) {
    SCOPED_TRACE(int(first));
    void* p = m.GetMem(40);
    void* neighbour = m.GetMem(40);  // keeps the block in use; must stay unaffected
    std::unique_ptr<LiveThread> holder;
    switch (first) {
      case First::ThisThread: ASSERT_EQ(m.FreeMem(p), 0); break;
      case First::LiveThread:
        holder = std::make_unique<LiveThread>([&] { m.FreeMem(p); });
        ASSERT_FALSE(holder->Failed());
        break;
      case First::ThreadThatExited: std::thread([&] { m.FreeMem(p); }).join(); break;
      case First::ThisThreadThenCollect:
        m.FreeMem(p);
        m.Collect();
        break;
    }
    EXPECT_TRUE(FreeThrows(p));
    // ... also on another thread, while the first free's cache may still hold it.
    LiveThread other([&] { m.FreeMem(p); });
    EXPECT_TRUE(other.Failed());
    EXPECT_EQ(m.FreeMem(neighbour), 0);
    EXPECT_TRUE(FreeThrows(neighbour));
  }
  // Addresses that are no item are still rejected before reaching a cache.
  char* q = static_cast<char*>(m.GetMem(40));
  EXPECT_TRUE(FreeThrows(q + 8));
  int local = 0;
  EXPECT_NE(m.FreeMem(&local), 0);
  EXPECT_EQ(m.FreeMem(q), 0);
}

// An item of a size that no other test here uses, so that its block holds
// only what the test puts there.
constexpr size_t kRareSize = 1700;

// What an idle thread's cache holds (items, and the block it takes from)
// comes back with a collect, which is a full cleanup; until then the items
// count as allocated.
TEST(ThreadCache, CollectTakesBackWhatIdleThreadsCachesHold) {
  TmvPooledMemoryManager& m = Pooled();
  TmvMemoryPool* pool = m.Items().PoolFor(kRareSize);
  m.Collect();
  TmvMemoryStatistics before;
  m.GetStatistics(before);
  void* p = nullptr;
  LiveThread t([&] {
    p = m.GetMem(kRareSize);
    m.FreeMem(p);
    if (TmvThreadCache::CachedCount(pool->Index()) == 0) throw 0;
  });
  ASSERT_FALSE(t.Failed());
  TmvMemoryStatistics cached;
  m.GetStatistics(cached);
  EXPECT_GT(cached.Allocated, before.Allocated);
  m.Collect();
  EXPECT_EQ(m.Items().OwnerOf(p), nullptr);  // its block went back
  TmvMemoryStatistics after;
  m.GetStatistics(after);
  EXPECT_EQ(after.Allocated, before.Allocated);
}

// Many idle threads that freed all they took keep nothing committed after a
// collect.
TEST(ThreadCache, IdleThreadsKeepNothingAfterACollect) {
  TmvPooledMemoryManager& m = Pooled();
  m.Collect();
  TmvMemoryStatistics before;
  m.GetStatistics(before);
  std::vector<std::unique_ptr<LiveThread>> threads;
  for (int t = 0; t < 8; ++t)
    threads.push_back(std::make_unique<LiveThread>([&] {
      std::vector<void*> items;
      for (int i = 0; i < 600; ++i) items.push_back(m.GetMem(24 + (i % 6) * 300));
      for (void* p : items) m.FreeMem(p);
    }));
  m.Collect();
  TmvMemoryStatistics after;
  m.GetStatistics(after);
  EXPECT_EQ(after.Allocated, before.Allocated);
  EXPECT_LE(after.Committed, before.Committed + 65536);
}

// The maintenance thread's schedule takes only caches whose thread did
// nothing since its previous look.
TEST(ThreadCache, TakingBackOnlyIdleCachesWaitsForASecondLook) {
  TmvPooledMemoryManager& m = Pooled();
  m.Collect();
  TmvMemoryStatistics before, between, after;
  m.GetStatistics(before);
  LiveThread t([&] { m.FreeMem(m.GetMem(kRareSize)); });
  TmvThreadCache::TakeBack(true);  // its first look at the thread's cache
  m.GetStatistics(between);
  EXPECT_GT(between.Allocated, before.Allocated);
  EXPECT_GE(TmvThreadCache::TakeBack(true), 1);
  m.GetStatistics(after);
  EXPECT_EQ(after.Allocated, before.Allocated);
}

TEST(ThreadCache, CollectFlushesTheCallersCache) {
  TmvPooledMemoryManager& m = Pooled();
  TmvMemoryPool* pool = m.Items().PoolFor(kRareSize);
  m.Collect();
  void* p = m.GetMem(kRareSize);
  m.FreeMem(p);
  EXPECT_GT(TmvThreadCache::CachedCount(pool->Index()), 0u);
  m.Collect();
  EXPECT_EQ(TmvThreadCache::CachedCount(pool->Index()), 0u);
  EXPECT_EQ(m.Items().OwnerOf(p), nullptr);
}

// Frees made by thread_local destructors that run after the exit flush go
// straight to the pool instead of into the closed cache, and items freed on
// another thread than the one that took them come back too.
TEST(ThreadCache, ExitFlushAndLaterDestructorsLeaveNothingBehind) {
  TmvPooledMemoryManager& m = Pooled();
  m.Collect();
  TmvMemoryStatistics before;
  m.GetStatistics(before);
  std::vector<void*> fromMain;
  for (int i = 0; i < 500; ++i) fromMain.push_back(m.GetMem(16 + i % 300));
  // ... and so do items taken and freed there: an item that waited in the
  // magazine until the flush carries no mark to the next holder.
  struct FreesLater {
    void* item = nullptr;
    bool failed = false;
    ~FreesLater() {
      Pooled().FreeMem(item);
      try {
        for (int i = 0; i < 100; ++i) Pooled().FreeMem(Pooled().GetMem(40));
      } catch (...) {
        failed = true;
      }
      if (failed) ADD_FAILURE() << "a free after the exit flush was refused";
    }
  };
  std::thread([&] {
    thread_local FreesLater later;  // made before the cache: destroyed after its exit flush
    later.item = m.GetMem(kRareSize);
    for (int i = 0; i < 100; ++i) m.FreeMem(m.GetMem(40));  // through the magazine
    for (void* p : fromMain) m.FreeMem(p);
    for (int i = 0; i < 500; ++i) m.FreeMem(m.GetMem(16 + i % 3000));
  }).join();
  m.Collect();
  TmvMemoryStatistics after;
  m.GetStatistics(after);
  EXPECT_EQ(after.Allocated, before.Allocated);
}

}  // namespace
