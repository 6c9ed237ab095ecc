// Tests of the two-level bitmaps, the chunk manager and the block pools, on
// small private arenas so that exhaustion can be reached.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "foundation/memory/mvllChunks.h"

namespace {

TEST(Bitmap, SummariesFollowSetTakeAndToggle) {
  TmvBitmap bm;
  int changes = 0;
  EXPECT_EQ(mvBitmapTakeHighest(bm, &changes), -1);
  EXPECT_TRUE(mvBitmapSet(bm, 5, &changes));
  EXPECT_EQ(changes, 1);  // empty -> non-empty
  EXPECT_FALSE(mvBitmapSet(bm, 5));
  EXPECT_TRUE(mvBitmapSet(bm, 1000));
  EXPECT_EQ(bm.Words[0], (1u << 0) | (1u << 31));
  EXPECT_EQ(mvBitmapFindHighest(bm), 1000);
  for (int i = 32; i < 64; ++i) mvBitmapSet(bm, i);
  EXPECT_EQ(bm.Words[1], 1u << 1);  // word 1 full
  changes = 0;
  EXPECT_EQ(mvBitmapTakeHighest(bm, &changes), 1000);
  EXPECT_EQ(mvBitmapTakeHighest(bm, &changes), 63);
  EXPECT_EQ(bm.Words[1], 0u);
  EXPECT_EQ(changes, 0);
  for (int i = 62; i >= 32; --i) EXPECT_EQ(mvBitmapTakeHighest(bm), i);
  EXPECT_EQ(mvBitmapTakeHighest(bm, &changes), 5);
  EXPECT_EQ(changes, 1);  // non-empty -> empty
  EXPECT_EQ(bm.Words[0], 0u);
  mvBitmapToggle(bm, 40);
  EXPECT_TRUE(mvBitmapTest(bm, 40));
  mvBitmapToggle(bm, 40);
  EXPECT_TRUE(mvBitmapIsEmpty(bm));

  TmvBitmap other;
  mvBitmapSet(bm, 3);
  mvBitmapSet(bm, 700);
  mvBitmapSet(other, 4);
  mvBitmapMoveAll(bm, other);
  EXPECT_TRUE(mvBitmapIsEmpty(bm));
  EXPECT_EQ(bm.Words[0], 0u);
  EXPECT_EQ(mvBitmapTakeHighest(other), 700);
  EXPECT_EQ(mvBitmapTakeHighest(other), 4);
  EXPECT_EQ(mvBitmapTakeHighest(other), 3);
}

// A chunk manager whose commit can be made to fail and whose callback is counted.
class TestChunks : public TmvChunkManager {
 public:
  using TmvChunkManager::TmvChunkManager;
  std::set<uint32_t> failing;
  std::vector<std::string> log;
  int collects = 0;

 protected:
  bool CommitChunk(void* chunk) override {
    if (failing.count(SlotOf(chunk))) {
      log.push_back("fail " + std::to_string(SlotOf(chunk)));
      return false;
    }
    return TmvChunkManager::CommitChunk(chunk);
  }
  void Collect() override {
    ++collects;
    log.push_back("collect");
  }
};

TEST(ChunkManager, ExhaustionUsesSetAsideThenCallbackThenReserve) {
  TestChunks cm(10);  // slots 1..9: 9..5 fill the reserve, 4..1 remain
  cm.Start();
  EXPECT_EQ(cm.ReserveCount(), 5);
  EXPECT_FALSE(cm.ReserveInUse());
  cm.failing = {3};
  std::vector<void*> got;
  for (int i = 0; i < 3; ++i) got.push_back(cm.GetCommittedChunk());
  EXPECT_EQ(cm.SlotOf(got[0]), 4u);
  EXPECT_EQ(cm.SlotOf(got[1]), 2u);  // 3 failed and was set aside
  EXPECT_EQ(cm.SlotOf(got[2]), 1u);
  EXPECT_TRUE(mvBitmapTest(cm.SetAside(), 3));
  static_cast<char*>(got[2])[100] = 7;  // committed: writable

  // Out of slots: the set-aside slot is tried again (and works this time).
  cm.failing.clear();
  void* again = cm.GetCommittedChunk();
  EXPECT_EQ(cm.SlotOf(again), 3u);
  EXPECT_EQ(cm.collects, 0);

  // Next: the callback, then a reserve chunk.
  void* fromReserve = cm.GetCommittedChunk();
  ASSERT_NE(fromReserve, nullptr);
  EXPECT_EQ(cm.collects, 1);
  EXPECT_TRUE(cm.ReserveInUse());
  EXPECT_NE(*cm.ReserveInUseWord(), nullptr);
  EXPECT_EQ(cm.ReserveCount(), 4);
  static_cast<char*>(fromReserve)[0] = 1;

  // Giving a chunk back while the reserve is in use refills it.
  cm.GiveBackCommittedChunk(got[0]);
  EXPECT_FALSE(cm.ReserveInUse());
  EXPECT_EQ(cm.ReserveCount(), 5);
  EXPECT_EQ(cm.SpareCount(), 0);
  // Otherwise the chunk becomes a spare, which the next request takes first.
  cm.GiveBackCommittedChunk(got[1]);
  EXPECT_EQ(cm.SpareCount(), 1);
  EXPECT_EQ(cm.GetCommittedChunk(), got[1]);
  static_cast<char*>(got[1])[0] = 5;
  cm.GiveBackCommittedChunk(got[1]);
  cm.ReleaseSpares();
  EXPECT_EQ(cm.SpareCount(), 0);
  // Its pages are gone, yet a pop that still points into it reads a stale
  // link (zero) and fails its compare-exchange instead of faulting.
  EXPECT_EQ(static_cast<volatile char*>(got[1])[0], 0);
  EXPECT_TRUE(mvBitmapTest(cm.Available(), 2));

  // Reserve exhausted too: nil.
  std::vector<void*> rest;
  while (void* c = cm.GetCommittedChunk()) rest.push_back(c);
  EXPECT_EQ(rest.size(), 6u);  // slot 2 and the five reserve chunks
}

TEST(BlockPools, FourKilobyteBlocksHighestFirstThenASecondChunk) {
  TmvChunkManager cm(16);
  cm.Start();
  TmvBlockPools pools(cm);
  TmvBlockClass* c4k = pools.Class(0);
  std::vector<char*> blocks;
  for (int i = 0; i < 1024; ++i) blocks.push_back(static_cast<char*>(pools.Allocate(c4k)));
  char* chunk = cm.SlotAddress(cm.SlotOf(blocks[0]));
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(blocks[i], chunk + (1023 - i) * 4096) << i;
  char* next = static_cast<char*>(pools.Allocate(c4k));
  EXPECT_NE(cm.SlotOf(next), cm.SlotOf(chunk));
  blocks[5][4095] = 1;

  EXPECT_TRUE(pools.Release(c4k, blocks[5]));
  EXPECT_FALSE(pools.Release(c4k, blocks[5]));        // twice
  EXPECT_FALSE(pools.Release(c4k, blocks[6] + 16));   // misaligned
  EXPECT_FALSE(pools.Release(pools.Class(1), blocks[7]));  // another class's chunk
  void* b8k = pools.Allocate(pools.Class(1));
  EXPECT_FALSE(pools.Release(c4k, b8k));
  EXPECT_TRUE(pools.ReleaseByAddress(b8k));
  EXPECT_EQ(pools.Allocate(c4k), blocks[5]);  // the freed block comes back first
}

TEST(BlockPools, CleanupGivesBackAChunkWhoseBlocksAreAllFree) {
  TmvChunkManager cm(16);
  cm.Start();
  TmvBlockPools pools(cm);
  TmvBlockClass* c64k = pools.Class(4);
  std::vector<void*> blocks;
  for (int i = 0; i < 64; ++i) blocks.push_back(pools.Allocate(c64k));
  const uint32_t slot = cm.SlotOf(blocks[0]);
  pools.Cleanup();
  EXPECT_EQ(pools.OwnerOf(blocks[0]), c64k);  // in use: stays
  for (int i = 0; i < 63; ++i) EXPECT_TRUE(pools.Release(c64k, blocks[i]));
  pools.Cleanup();
  EXPECT_EQ(pools.OwnerOf(blocks[0]), c64k);  // one block still out
  EXPECT_TRUE(pools.Release(c64k, blocks[63]));
  pools.Cleanup();
  EXPECT_EQ(pools.OwnerOf(blocks[0]), nullptr);
  EXPECT_EQ(cm.SpareCount(), 1);
  EXPECT_FALSE(pools.Release(c64k, blocks[0]));  // gone with its chunk
  // The spare chunk serves the next class that needs one.
  void* b = pools.Allocate(pools.Class(2));
  EXPECT_EQ(cm.SlotOf(b), slot);
  EXPECT_EQ(cm.SpareCount(), 0);
}

TEST(BlockPools, WholeChunkClass) {
  TmvChunkManager cm(16);
  cm.Start();
  TmvBlockPools pools(cm);
  TmvBlockClass* c4m = pools.Class(5);
  void* a = pools.Allocate(c4m);
  void* b = pools.Allocate(c4m);
  ASSERT_NE(a, b);
  EXPECT_EQ(uintptr_t(a) % mvChunkSize, 0u);
  static_cast<char*>(a)[mvChunkSize - 1] = 1;
  EXPECT_TRUE(pools.Release(c4m, a));
  EXPECT_FALSE(pools.Release(c4m, a));
  EXPECT_EQ(cm.SpareCount(), 1);
  EXPECT_TRUE(pools.ReleaseByAddress(b));
}

}  // namespace
