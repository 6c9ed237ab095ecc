// Tests of the item pools, on a private arena so that the maintenance thread
// of the process's manager never interferes.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "foundation/memory/mvllItemPools.h"
#include "platform/SysUtils.h"

namespace {

class ItemPools : public ::testing::Test {
 protected:
  ItemPools() : chunks(32), blocks((chunks.Start(), chunks)), items(blocks, counters) {}
  TmvChunkManager chunks;
  TmvBlockPools blocks;
  TmvMemoryCounters counters;
  TmvItemManager items;
};

TEST_F(ItemPools, PoolShapes) {
  struct Shape {
    uint32_t size, header, perBlock;
  };
  const Shape shapes[] = {{4, 2080, 15863}, {8, 1056, 8059}, {16, 544, 4061}, {32, 288, 2038},
                          {48, 208, 1360},  {64, 160, 1021}, {96, 128, 681},  {160, 96, 408},
                          {192, 80, 340},   {256, 64, 255},  {512, 48, 127},  {4064, 48, 16},
                          {32736, 48, 2}};
  for (const Shape& s : shapes) {
    int index = 0;
    while (mvItemPoolSizes[index] != s.size) ++index;
    TmvMemoryPool* pool = items.Pool(index);
    EXPECT_EQ(pool->ItemSize(), s.size);
    EXPECT_EQ(pool->BlockHeaderSize(), s.header) << s.size;
    EXPECT_EQ(pool->ItemsPerBlock(), s.perBlock) << s.size;
  }
}

TEST_F(ItemPools, SizeClasses) {
  const std::pair<size_t, uint32_t> cases[] = {
      {1, 4},       {3, 4},       {4, 8},       {7, 8},       {16, 32},     {17, 32},
      {33, 48},     {64, 96},     {65, 96},     {97, 128},    {1024, 1024}, {1025, 1280},
      {3840, 3840}, {3841, 4064}, {4065, 4352}, {32735, 32736}};
  for (auto [n, size] : cases) EXPECT_EQ(items.PoolFor(n)->ItemSize(), size) << n;
}

TEST_F(ItemPools, ItemsAreDistinctWritableAndReleaseChecked) {
  TmvMemoryPool* pool = items.PoolFor(100);
  std::vector<char*> got;
  for (int i = 0; i < 2000; ++i) {
    char* p = static_cast<char*>(pool->Alloc());
    ASSERT_NE(p, nullptr);
    std::memset(p, i & 0xFF, 128);
    got.push_back(p);
  }
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(static_cast<unsigned char>(got[i][127]), i & 0xFF) << i;
  EXPECT_EQ(counters.Allocated.Sum(), 2000 * 128);
  EXPECT_EQ(pool->DisposeDirect(got[0]), 0);
  EXPECT_THROW(pool->DisposeDirect(got[0]), EInvalidPointer);       // twice
  EXPECT_THROW(pool->DisposeDirect(got[1] + 8), EInvalidPointer);   // not an item start
  EXPECT_THROW(items.PoolFor(8)->DisposeDirect(got[2]), EInvalidPointer);  // another pool
  void* var = got[3];
  pool->Dispose(var);
  EXPECT_EQ(var, nullptr);
  pool->Dispose(var);  // nil: nothing
  EXPECT_EQ(items.OwnerOf(got[4]), pool);
  EXPECT_EQ(items.OwnerOf(TmvMemoryPool::BlockOf(got[4])), nullptr);
  for (int i = 4; i < 2000; ++i) pool->DisposeDirect(got[i]);
  pool->DisposeDirect(got[1]);
  pool->DisposeDirect(got[2]);
  EXPECT_EQ(counters.Allocated.Sum(), 0);
}

TEST_F(ItemPools, TwoBlocksForThirtyTwoByteItemsAndCleanupGivesThemBack) {
  TmvMemoryPool* pool = items.Pool(3);  // 32-byte items (a 32-byte request would take 48)
  std::vector<void*> got;
  for (int i = 0; i < 2039; ++i) got.push_back(pool->Alloc());
  EXPECT_EQ(counters.Reserved, 2 * 65536);
  EXPECT_EQ(counters.Header, 2 * 288);
  EXPECT_NE(TmvMemoryPool::BlockOf(got[0]), TmvMemoryPool::BlockOf(got[2038]));
  pool->Cleanup();
  EXPECT_EQ(counters.Reserved, 2 * 65536);  // in use: nothing given back
  for (void* p : got) pool->DisposeDirect(p);
  pool->Cleanup();
  EXPECT_EQ(counters.Reserved, 0);
  EXPECT_EQ(counters.Committed, 0);
  EXPECT_EQ(counters.Header, 0);
  EXPECT_EQ(blocks.OwnerOf(got[0]), blocks.Class(4));  // back in the 64 KB pool
  EXPECT_EQ(items.OwnerOf(got[0]), nullptr);
  // The pool keeps working with fresh blocks.
  void* again = pool->Alloc();
  EXPECT_NE(again, nullptr);
  pool->DisposeDirect(again);
}

// The batch operations move counts and items but leave the allocation bits
// to the caller; runs of items from several blocks, in any order, go back to
// the right blocks, and a held block is given back once released.
TEST_F(ItemPools, BatchesAcrossBlocksAndAHeldBlock) {
  TmvMemoryPool* pool = items.PoolFor(32736);  // two items per block
  void* got[5];
  TmvItemBlock* held = nullptr;
  ASSERT_EQ(pool->AllocBatch(got, 5, held), 5u);
  ASSERT_NE(held, nullptr);  // the third block still has a free item
  EXPECT_EQ(TmvMemoryPool::BlockOf(got[4]), held);
  EXPECT_EQ(counters.Reserved, 3 * 65536);
  EXPECT_EQ(counters.Allocated.Sum(), 5 * 32736);
  EXPECT_THROW(pool->MarkFree(got[0]), EInvalidPointer);  // never marked in use
  pool->MarkInUse(got[0]);
  EXPECT_THROW(pool->MarkInUse(got[0]), EInvalidPointer);
  pool->MarkFree(got[0]);

  void* mixed[5] = {got[4], got[0], got[2], got[1], got[3]};
  pool->DisposeBatch(mixed, 5);
  EXPECT_EQ(counters.Allocated.Sum(), 0);
  pool->Cleanup();
  EXPECT_EQ(counters.Reserved, 65536);  // the held block stays
  pool->ReleaseHeld(held);
  EXPECT_EQ(held, nullptr);
  pool->Cleanup();
  EXPECT_EQ(counters.Reserved, 0);
}

// A block whose last free item was taken leaves every list; releases from two
// threads at once put it back exactly once, so every item is handed out again
// exactly once.
TEST_F(ItemPools, DetachedBlockComesBackOnce) {
  TmvMemoryPool* pool = items.PoolFor(32736);  // two items per block
  for (int round = 0; round < 200; ++round) {
    void* a = pool->Alloc();
    void* b = pool->Alloc();
    ASSERT_EQ(TmvMemoryPool::BlockOf(a), TmvMemoryPool::BlockOf(b));
    std::thread t1([&] { pool->DisposeDirect(a); });
    std::thread t2([&] { pool->DisposeDirect(b); });
    t1.join();
    t2.join();
    void* c = pool->Alloc();
    void* d = pool->Alloc();
    EXPECT_NE(c, d);
    EXPECT_EQ(TmvMemoryPool::BlockOf(c), TmvMemoryPool::BlockOf(d));
    void* e = pool->Alloc();  // needs a second block: the first is full again
    EXPECT_NE(TmvMemoryPool::BlockOf(e), TmvMemoryPool::BlockOf(c));
    for (void* p : {c, d, e}) pool->DisposeDirect(p);
    pool->Cleanup();
  }
}

}  // namespace
