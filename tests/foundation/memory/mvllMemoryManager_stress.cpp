// Stress test of the memory manager: threads allocate, reallocate and free
// blocks of mixed sizes and check every block's contents, while the
// maintenance thread gives empty blocks and chunks back.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "foundation/memory/mvllMemoryManager.h"

namespace {

struct Slot {
  unsigned char* p = nullptr;
  size_t size = 0;
  unsigned char tag = 0;
};

bool Intact(const Slot& s) {
  for (size_t i = 0; i < s.size; i += 1 + i / 64)  // every byte near the start, sparser later
    if (s.p[i] != s.tag) return false;
  return s.size == 0 || s.p[s.size - 1] == s.tag;
}

size_t RandomSize(std::mt19937& rng) {
  const unsigned r = rng() % 100;
  if (r < 70) return 1 + rng() % 256;
  if (r < 95) return 1 + rng() % 32768;
  return 32736 + rng() % 300000;
}

// Rounds per thread. Most of the time goes to the first touch of large
// blocks' pages, which some virtual machines make slow: this keeps each test
// to a few seconds under the sanitizers.
constexpr int kRounds = 5000;

// Runs the workload with the given allocate, reallocate and free operations.
template <typename Alloc, typename Realloc, typename Free>
void Workload(int threads, int rounds, Alloc alloc, Realloc realloc, Free free) {
  std::atomic<int> corrupt{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      std::mt19937 rng(1234 + t);
      std::vector<Slot> slots(256);
      for (int r = 0; r < rounds; ++r) {
        Slot& s = slots[rng() % slots.size()];
        if (s.p && !Intact(s)) ++corrupt;
        const unsigned op = rng() % 3;
        if (!s.p || op == 0) {
          if (s.p) free(s.p);
          s.size = RandomSize(rng);
          s.p = static_cast<unsigned char*>(alloc(s.size));
        } else if (op == 1) {
          const size_t n = RandomSize(rng);
          s.p = static_cast<unsigned char*>(realloc(s.p, n));
          const size_t kept = std::min(n, s.size);
          s.size = kept;
          if (!Intact(s)) ++corrupt;
          s.size = n;
        } else {
          free(s.p);
          s.p = nullptr;
          continue;
        }
        s.tag = static_cast<unsigned char>(rng());
        std::memset(s.p, s.tag, s.size);
      }
      for (Slot& s : slots)
        if (s.p) {
          if (!Intact(s)) ++corrupt;
          free(s.p);
        }
    });
  for (auto& th : pool) th.join();
  EXPECT_EQ(corrupt.load(), 0);
}

TEST(MemoryManagerStress, EightThreadsThroughTheAllocationRoutines) {
  Workload(
      8, kRounds, [](size_t n) { return mvGetMemPtr(n); },
      [](void* p, size_t n) {
        mvReallocMem(p, n);
        return p;
      },
      [](void* p) { mvFreeMem(p); });
}

TEST(MemoryManagerStress, EightThreadsOnThePoolsWithCollects) {
  TmvPooledMemoryManager& m = mvPooledMemoryManager();
  m.Collect();  // this thread's cached items out of the count
  TmvMemoryStatistics before;
  m.GetStatistics(before);
  std::atomic<bool> done{false};
  std::thread collector([&] {
    while (!done) {
      m.Collect();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  Workload(
      8, kRounds, [&](size_t n) { return m.GetMem(n); }, [&](void* p, size_t n) { return m.ReallocMem(p, n); },
      [&](void* p) { ASSERT_EQ(m.FreeMem(p), 0); });
  done = true;
  collector.join();
  m.Collect();
  TmvMemoryStatistics stats;
  m.GetStatistics(stats);
  // Everything went back but the nodes that the large blocks added to the address map.
  EXPECT_LT(stats.Allocated - before.Allocated, 65536u);
  EXPECT_EQ((stats.Allocated - before.Allocated) % 2048, 0u);
}

}  // namespace
