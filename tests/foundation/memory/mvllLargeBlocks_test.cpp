// Tests of the pages that released large blocks leave behind for reuse: which
// kept mapping a request takes, the limits, the ageing by the maintenance
// thread, a collect, and many threads taking and keeping at once. The
// manager's tests call the pooled manager directly, so they run against the
// pools in every build.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "foundation/memory/mvllMemoryManager.h"

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kUnit = 65536;

// A read/write mapping of `pages` pages at a 64 KB boundary, as large blocks have.
char* MapPages(size_t pages) {
  const size_t bytes = pages * kPage;
  void* p = mmap(nullptr, bytes + kUnit, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const uintptr_t start = uintptr_t(p);
  const uintptr_t aligned = (start + kUnit - 1) & ~uintptr_t(kUnit - 1);
  if (aligned > start) munmap(p, aligned - start);
  munmap(reinterpret_cast<void*>(aligned + bytes), start + kUnit - aligned);
  return reinterpret_cast<char*>(aligned);
}

bool Mapped(const void* p, size_t pages = 1) {
  unsigned char residency[64];
  return mincore(const_cast<void*>(p), pages * kPage, residency) == 0 || errno != ENOMEM;
}

TEST(KeptPages, ARequestTakesTheSmallestKeptMappingUpToTwiceItsSizeTrimmed) {
  TmvKeptPages kept;
  char* a = MapPages(4);
  char* b = MapPages(16);
  char* c = MapPages(40);
  std::memset(b, 0x5C, 16 * kPage);
  ASSERT_TRUE(kept.Keep(c, 40 * kPage));
  ASSERT_TRUE(kept.Keep(b, 16 * kPage));
  ASSERT_TRUE(kept.Keep(a, 4 * kPage));
  EXPECT_EQ(kept.Bytes(), 60 * kPage);

  ASSERT_EQ(kept.Take(12 * kPage), b);  // 40 pages are more than twice 12
  EXPECT_TRUE(Mapped(b, 12));
  EXPECT_FALSE(Mapped(b + 12 * kPage));
  EXPECT_EQ(b[12 * kPage - 1], 0x5C);  // the pages kept their contents
  EXPECT_EQ(kept.Take(5 * kPage), nullptr);
  EXPECT_EQ(kept.Take(4 * kPage), a);
  EXPECT_EQ(kept.Bytes(), 40 * kPage);

  EXPECT_EQ(kept.DropAll(), 0);
  EXPECT_EQ(kept.Bytes(), 0u);
  EXPECT_FALSE(Mapped(c));
  EXPECT_EQ(kept.Take(40 * kPage), nullptr);
  munmap(a, 4 * kPage);
  munmap(b, 12 * kPage);
}

TEST(KeptPages, LimitsAndAgeing) {
  TmvKeptPages kept;
  // Too large, or not where a large block starts.
  char* big = MapPages(TmvKeptPages::kMaxMapping / kPage + 1);
  EXPECT_FALSE(kept.Keep(big, TmvKeptPages::kMaxMapping + kPage));
  EXPECT_FALSE(kept.Keep(big + kPage, kPage));
  // At most kMaxTotal bytes in all...
  std::vector<char*> whole;
  size_t total = 0;
  for (; total + TmvKeptPages::kMaxMapping <= TmvKeptPages::kMaxTotal; total += TmvKeptPages::kMaxMapping) {
    whole.push_back(MapPages(TmvKeptPages::kMaxMapping / kPage));
    ASSERT_TRUE(kept.Keep(whole.back(), TmvKeptPages::kMaxMapping));
  }
  EXPECT_FALSE(kept.Keep(big, TmvKeptPages::kMaxMapping));
  EXPECT_EQ(kept.DropAll(), 0);
  munmap(big, TmvKeptPages::kMaxMapping + kPage);
  // ... and at most kSlots mappings.
  std::vector<char*> small;
  for (int i = 0; i < TmvKeptPages::kSlots; ++i) {
    small.push_back(MapPages(1));
    ASSERT_TRUE(kept.Keep(small.back(), kPage));
  }
  char* extra = MapPages(1);
  EXPECT_FALSE(kept.Keep(extra, kPage));
  munmap(extra, kPage);

  // A mapping goes at the second Age after it was kept; one taken and kept
  // again in between starts afresh.
  char* reused = kept.Take(kPage);
  ASSERT_NE(reused, nullptr);
  EXPECT_EQ(kept.Age(), 0);
  EXPECT_EQ(kept.Bytes(), size_t(TmvKeptPages::kSlots - 1) * kPage);
  ASSERT_TRUE(kept.Keep(reused, kPage));
  EXPECT_EQ(kept.Age(), 0);
  EXPECT_EQ(kept.Bytes(), kPage);
  EXPECT_TRUE(Mapped(reused));
  for (char* p : small) {
    if (p != reused) {
      EXPECT_FALSE(Mapped(p));
    }
  }
  EXPECT_EQ(kept.Age(), 0);
  EXPECT_EQ(kept.Bytes(), 0u);
  EXPECT_FALSE(Mapped(reused));
}

// Threads take kept mappings or map new ones, check that nobody else writes
// to them while they hold them, and keep them again, while another thread
// ages the kept ones: each mapping has one owner at a time, and nothing is
// left behind.
TEST(KeptPages, ThreadsTakeAndKeepWhileAnotherAges) {
  TmvKeptPages kept;
  std::atomic<bool> done{false};
  std::atomic<int> shared{0};
  std::thread ager([&] {
    while (!done) {
      kept.Age();
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(uint32_t(t) + 1);
      for (int round = 0; round < 1500; ++round) {
        const size_t pages = 1 + rng() % 3;
        char* p = kept.Take(pages * kPage);
        if (!p) p = MapPages(pages);
        auto* owner = reinterpret_cast<std::atomic<int>*>(p + (pages - 1) * kPage);
        owner->store(t + 1);
        std::this_thread::yield();
        if (owner->load() != t + 1) ++shared;
        if (!kept.Keep(p, pages * kPage)) munmap(p, pages * kPage);
      }
    });
  for (auto& th : threads) th.join();
  done = true;
  ager.join();
  EXPECT_EQ(shared.load(), 0);
  EXPECT_EQ(kept.DropAll(), 0);
  EXPECT_EQ(kept.Bytes(), 0u);
}

TmvPooledMemoryManager& Pooled() { return mvPooledMemoryManager(); }

// A released block's pages serve the next block of about its size, at the
// same address and with no new mapping; a collect gives them back.
TEST(PooledManager, ReleasedPagesServeTheNextBlockUntilACollect) {
  TmvPooledMemoryManager& m = Pooled();
  m.Collect();
  ASSERT_EQ(m.Large().Kept().Bytes(), 0u);
  char* p = static_cast<char*>(m.GetMem(65536));  // 17 pages
  TmvMemoryStatistics held, released;
  m.GetStatistics(held);
  EXPECT_EQ(m.FreeMem(p), 0);
  m.GetStatistics(released);
  EXPECT_EQ(held.Committed - released.Committed, 17 * kPage);  // kept pages are not counted
  EXPECT_EQ(m.Large().Kept().Bytes(), 17 * kPage);

  char* q = static_cast<char*>(m.GetMem(65000));
  EXPECT_EQ(q, p);
  const TmvLargeBlockTrailer* t = m.FindLarge(q);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->Size, 65000u);
  EXPECT_EQ(t->PagesCommitted, 16u);
  EXPECT_EQ(reinterpret_cast<const char*>(t), q + 16 * kPage - 32);
  EXPECT_FALSE(Mapped(q + 16 * kPage));  // the seventeenth page went back
  EXPECT_EQ(m.Large().Kept().Bytes(), 0u);

  // A growable block's mapping, as a smaller plain block, and back.
  char* g = static_cast<char*>(m.ReallocMem(q, 100000));
  ASSERT_TRUE(m.FindLarge(g)->IsMapped());
  const size_t mapping = size_t(m.FindLarge(g)->MaxUnits) * kUnit;
  EXPECT_EQ(m.FreeMem(g), 0);
  EXPECT_EQ(m.Large().Kept().Bytes(), mapping + 16 * kPage);  // and the block it moved from
  char* plain = static_cast<char*>(m.GetMem(mapping / 2 + 1000));
  EXPECT_EQ(plain, g);
  EXPECT_FALSE(m.FindLarge(plain)->IsMapped());
  EXPECT_EQ(m.FreeMem(plain), 0);
  EXPECT_GT(m.Large().Kept().Bytes(), 0u);
  m.Collect();
  EXPECT_EQ(m.Large().Kept().Bytes(), 0u);
  EXPECT_FALSE(Mapped(plain));
}

}  // namespace
