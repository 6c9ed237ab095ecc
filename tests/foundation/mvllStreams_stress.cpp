// Stress test of memory streams on eight threads at once: streams small and
// large live side by side, grow in pieces of every size across the 64 KB
// line between allocator blocks and reserved address space, shrink and grow
// again, and must keep every byte. Runs in the unsanitised tree too, where
// the small streams live in the pooled allocator.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "foundation/mvllStreams.h"

namespace {

uint8_t PatternAt(uint32_t seed, size_t i) { return uint8_t(seed + i * 131 + (i >> 9)); }

// Fills a stream to `total` bytes in random pieces and checks it.
bool FillAndCheck(TmvMemoryStream& ms, uint32_t seed, size_t total, std::mt19937& rng) {
  std::vector<uint8_t> piece;
  for (size_t at = 0; at < total;) {
    size_t n = std::min<size_t>(total - at, 1 + rng() % 9000);
    piece.resize(n);
    for (size_t i = 0; i < n; ++i) piece[i] = PatternAt(seed, at + i);
    ms.WriteBuffer(piece.data(), int64_t(n));
    at += n;
  }
  if (ms.GetSize() != int64_t(total) || ms.Capacity() < int32_t(total) || ms.Reserved() < ms.Capacity()) return false;
  for (size_t i = 0; i < total; ++i) {
    if (ms.ByteArray()[i] != PatternAt(seed, i)) return false;
  }
  return true;
}

TEST(MemoryStreamStress, EightThreadsOfStreamsSmallAndLarge) {
  constexpr int kThreads = 8, kRounds = 60;
  std::atomic<int> faults{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t) {
    ts.emplace_back([&, t] {
      std::mt19937 rng(uint32_t(t) * 7919u + 1);
      std::vector<TmvMemoryStream*> alive;
      for (int round = 0; round < kRounds; ++round) {
        // Mostly small streams, now and then one beyond 64 KB.
        size_t total = round % 10 == 0 ? 65536 + rng() % 150000 : 1 + rng() % 70000;
        auto* ms = new TmvMemoryStream(round % 3 == 0 ? 0 : -1);
        if (!FillAndCheck(*ms, uint32_t(round), total, rng)) ++faults;
        // Cut it down and write it again from the start, a little longer.
        ms->SetSize(int64_t(total / 3));
        ms->SetPosition(0);
        if (!FillAndCheck(*ms, uint32_t(round) + 1, total + 5000, rng)) ++faults;
        alive.push_back(ms);
        if (alive.size() > 6) {
          size_t victim = rng() % alive.size();
          delete alive[victim];
          alive.erase(alive.begin() + long(victim));
        }
      }
      for (auto* ms : alive) delete ms;
    });
  }
  for (auto& th : ts) th.join();
  EXPECT_EQ(faults.load(), 0);
}

}  // namespace
