// Stress tests of the lock-free stack and the read/write portal under many
// threads; they also run in the unsanitised tree against the pooled
// allocator.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "foundation/sync/mvllReadWritePortal.h"
#include "foundation/sync/mvllSync.h"

namespace {

TEST(SyncStress, StackNeitherLosesNorDuplicatesValues) {
  TmvThreadSafeStack s;
  constexpr int kThreads = 8, kPerThread = 20000;
  std::vector<std::atomic<int>> seen(kThreads * kPerThread + 1);
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t) {
    ts.emplace_back([&, t] {
      for (int i = 1; i <= kPerThread; ++i) {
        s.Push(reinterpret_cast<void*>(uintptr_t(t * kPerThread + i)));
        if (i % 2 == 0) {
          if (void* v = s.Pop()) seen[reinterpret_cast<uintptr_t>(v)]++;
        }
      }
    });
  }
  for (auto& t : ts) t.join();
  while (void* v = s.Pop()) seen[reinterpret_cast<uintptr_t>(v)]++;
  for (size_t i = 1; i < seen.size(); ++i) ASSERT_EQ(seen[i].load(), 1) << i;
  EXPECT_EQ(s.Count(), 0);
}

TEST(SyncStress, PortalKeepsWritersAlone) {
  TmvInternalReadWritePortal p;
  std::atomic<int> readers{0}, writers{0};
  std::atomic<bool> broken{false};
  long shared = 0;
  std::vector<std::thread> ts;
  for (int t = 0; t < 8; ++t) {
    ts.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if ((i + t) % 5 == 0) {
          p.BeginWrite();
          if (++writers != 1 || readers.load() != 0) broken = true;
          ++shared;
          --writers;
          p.EndWrite();
        } else {
          p.BeginRead();
          ++readers;
          if (writers.load() != 0) broken = true;
          if (i % 7 == 0) {  // an upgrade now and then
            --readers;
            p.BeginWrite();
            ++writers;
            ++shared;
            --writers;
            p.EndWrite();
            ++readers;
          }
          --readers;
          p.EndRead();
        }
      }
    });
  }
  for (auto& t : ts) t.join();
  EXPECT_FALSE(broken.load());
  EXPECT_EQ(p.Portal(), 65535);
  EXPECT_GT(shared, 0);
}

}  // namespace
