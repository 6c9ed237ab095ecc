// Tests of the cached heap engine: the directory of data blocks in its
// management blocks, allocation across blocks, resizing, freeing, rollback,
// and damaged management chains.
#include <map>
#include <random>

#include "dictionary/mvsdStorageDescriptors.h"
#include "storage/HeapTestSupport.h"
#include "storage/heaps/mvseBlockHeapEngineNonfragmenting.h"

namespace {

using namespace storage_test;

class HeapTest : public HeapFileTest {
 protected:
  void SetUp() override {
    HeapFileTest::SetUp();
    descriptor = std::make_unique<TmvBaseHeapDescriptor>(nullptr);
    descriptor->AddBlockHeapDescriptor();
  }
  void TearDown() override {
    descriptor.reset();
    HeapFileTest::TearDown();
  }
  // A heap engine found by the descriptor's engine names, as a table's is.
  std::unique_ptr<TmvCachedHeapEngine> Engine() {
    handler = new SectionHeapHandler(section);
    TmvBaseHeapEngine* heap = TmvBaseHeapEngine::CreateEngine(descriptor.get(), view.get(), handler);
    return std::unique_ptr<TmvCachedHeapEngine>(static_cast<TmvCachedHeapEngine*>(heap));
  }
  static TmvHeapRef Alloc(TmvCachedHeapEngine& aHeap, TmvBaseTransaction* aTrans, uint16_t aSize, uint8_t aFill) {
    std::vector<uint8_t> bytes(aSize, aFill);
    const void* pointers[] = {bytes.data()};
    const uint16_t sizes[] = {aSize};
    return aHeap.AllocSegment(aTrans, pointers, sizes);
  }
  static void Free(TmvCachedHeapEngine& aHeap, TmvBaseTransaction* aTrans, TmvHeapRef aRef) {
    uint16_t size = 0;
    uint8_t* block = nullptr;
    TmvReleaseMethod release;
    aHeap.GetSegment(aTrans, aRef & aHeap.bheHeapRefMask, true, size, block, release);
    TmvHeldBlock held;
    held.Block = block;
    held.Release = release;
    aHeap.bheBlockHeapEngine->FreeSegment(block, mvHeapRefSegment(aRef) & 0xFFFF);
  }
  static std::vector<uint8_t> Read(TmvCachedHeapEngine& aHeap, TmvBaseTransaction* aTrans, TmvHeapRef aRef) {
    uint16_t size = 0;
    TmvHeldBlock held;
    const uint8_t* p = aHeap.GetSegment(aTrans, aRef, false, size, held.Block, held.Release);
    return std::vector<uint8_t>(p, p + size);
  }
  // The directory as stored: data block -> free space, following the chain.
  std::map<uint32_t, uint16_t> Directory(TmvBaseTransaction* aTrans, size_t* aManagementBlocks = nullptr) {
    std::map<uint32_t, uint16_t> entries;
    size_t blocks = 0;
    for (uint32_t next = SectionValue(aTrans); next != 0; ++blocks) {
      const std::vector<uint8_t> m = BlockCopy(aTrans, next);
      EXPECT_EQ(std::memcmp(m.data(), "MVHM", 4), 0);
      for (uint32_t i = 0; i < mvGetU16(m.data(), 20); ++i)
        entries[mvGetU32(m.data(), 22 + 6 * i)] = mvGetU16(m.data(), 26 + 6 * i);
      next = mvGetU32(m.data(), 16);
    }
    if (aManagementBlocks) *aManagementBlocks = blocks;
    return entries;
  }

  std::unique_ptr<TmvBaseHeapDescriptor> descriptor;
  SectionHeapHandler* handler = nullptr;
};

TEST_F(HeapTest, FirstAllocationCreatesADataAndAManagementBlock) {
  auto heap = Engine();
  EXPECT_EQ(heap->heMaxEntries, 678);
  EXPECT_EQ(heap->bheHeapRefMask, 0xFFFFFFFF0000FFFFull);
  TTestTransaction trans(cache);
  // Nothing to store touches nothing.
  const void* none[] = {nullptr, nullptr};
  const uint16_t zero[] = {0, 0};
  EXPECT_EQ(heap->AllocSegment(&trans, none, zero), 0u);
  EXPECT_EQ(UsedBlocks(&trans), 1u);
  EXPECT_FALSE(heap->heManagmentBlocksLoaded);

  const char hello[] = "hello", world[] = "world";
  const void* pieces[] = {hello, nullptr, world};
  const uint16_t sizes[] = {5, 3, 5};
  const TmvHeapRef ref = heap->AllocSegment(&trans, pieces, sizes);
  EXPECT_EQ(ref, mvHeapRef(1, 1));
  EXPECT_EQ(UsedBlocks(&trans), 3u);
  EXPECT_EQ(std::memcmp(BlockCopy(&trans, 1).data(), "MVHD", 4), 0);
  EXPECT_EQ(SectionValue(&trans), 2u);
  EXPECT_EQ(Directory(&trans), (std::map<uint32_t, uint16_t>{{1, 4060 - 16 - 2}}));
  const std::vector<uint8_t> bytes = Read(*heap, &trans, ref);
  ASSERT_EQ(bytes.size(), 13u);
  EXPECT_EQ(std::memcmp(bytes.data(), "hello", 5), 0);
  EXPECT_EQ(std::memcmp(bytes.data() + 8, "world", 5), 0);
  EXPECT_EQ(handler->added, 1);
  trans.Commit();
}

// Pieces that add up past 65535 once wrapped to 16 bits to a size that
// would fit; their sum must refuse instead of overrunning the segment.
TEST_F(HeapTest, PiecesOverTheLargestSegmentAllocateNothing) {
  auto heap = Engine();
  TTestTransaction trans(cache);
  std::vector<uint8_t> big(40000, 1);
  const void* pieces[] = {big.data(), big.data()};
  for (auto sizes : {std::vector<uint16_t>{40000, 25536 + 100}, std::vector<uint16_t>{4061}}) {
    EXPECT_EQ(heap->AllocSegment(&trans, std::span(pieces, sizes.size()), sizes), 0u);
  }
  EXPECT_EQ(UsedBlocks(&trans), 1u);
  EXPECT_FALSE(heap->heManagmentBlocksLoaded);
  trans.Rollback();
}

TEST_F(HeapTest, FreeingTheLastSegmentsFreesDataAndManagementBlocks) {
  auto heap = Engine();
  TTestTransaction trans(cache);
  // Three data blocks, each nearly full but listed.
  std::vector<TmvHeapRef> refs;
  for (int i = 0; i < 3; ++i) refs.push_back(Alloc(*heap, &trans, 3000, uint8_t(i)));
  ASSERT_EQ(mvHeapRefBlock(refs[0]), 1u);
  EXPECT_EQ(Directory(&trans).size(), 3u);
  // The first entry goes; the last one moves into its place.
  Free(*heap, &trans, refs[0]);
  {
    const std::vector<uint8_t> m = BlockCopy(&trans, 2);
    EXPECT_EQ(mvGetU16(m.data(), 20), 2);
    EXPECT_EQ(mvGetU32(m.data(), 22), mvHeapRefBlock(refs[2]));
    EXPECT_EQ(mvGetU32(m.data(), 22 + 12), 0u);  // the old last entry cleared
  }
  EXPECT_EQ(handler->removed, 1);
  Free(*heap, &trans, refs[1]);
  Free(*heap, &trans, refs[2]);
  EXPECT_EQ(SectionValue(&trans), 0u);
  EXPECT_TRUE(heap->heManagmentBlocks.empty());
  EXPECT_EQ(handler->removed, 3);
  THeaderAccess header = Access(*view, &trans, false);
  EXPECT_EQ(header->GetAvailableBlocks(), 4u);  // three data blocks and the management block
  header.reset();
  trans.Commit();
}

TEST_F(HeapTest, NearlyFullBlocksLeaveTheDirectoryAndComeBack) {
  auto heap = Engine();
  TTestTransaction trans(cache);
  const TmvHeapRef a = Alloc(*heap, &trans, 2000, 1);
  const TmvHeapRef b = Alloc(*heap, &trans, 2030, 2);  // 24 bytes left
  ASSERT_EQ(mvHeapRefBlock(a), mvHeapRefBlock(b));
  // Its entry left, and with it the only management block.
  EXPECT_TRUE(Directory(&trans).empty());
  EXPECT_EQ(SectionValue(&trans), 0u);
  Free(*heap, &trans, b);
  size_t managementBlocks = 0;
  const auto listed = Directory(&trans, &managementBlocks);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(managementBlocks, 1u);
  EXPECT_EQ(listed.begin()->first, mvHeapRefBlock(a));
  trans.Commit();
}

TEST_F(HeapTest, RollbackMakesTheNextAllocationRereadTheChain) {
  auto heap = Engine();
  {
    TTestTransaction trans(cache);
    Alloc(*heap, &trans, 100, 1);
    trans.Commit();
  }
  TTestTransaction trans(cache);
  Alloc(*heap, &trans, 3900, 2);  // a second data block
  trans.Rollback();
  heap->Rollback(&trans);
  EXPECT_FALSE(heap->heManagmentBlocksLoaded);
  TTestTransaction next(cache);
  const TmvHeapRef ref = Alloc(*heap, &next, 50, 3);
  EXPECT_EQ(mvHeapRefBlock(ref), 1u);  // the committed block, as reread
  EXPECT_EQ(heap->heManagmentBlocks.size(), 1u);
  EXPECT_EQ(heap->heManagmentBlocks[0].hmpiBlockInfos.size(), 1u);
  next.Commit();
}

// Random allocations, resizes (Ex, with splitting) and frees through
// commits and a reopen, checked against a model; the stored directory
// always lists exactly the blocks with room, with their block heap's figure.
TEST_F(HeapTest, RandomOperationsThroughCommitAndReopen) {
  std::map<TmvHeapRef, std::vector<uint8_t>> model;
  std::mt19937 random(7);
  for (int round = 0; round < 3; ++round) {
    auto heap = Engine();
    TTestTransaction trans(cache);
    for (int step = 0; step < 400; ++step) {
      const int op = int(random() % 10);
      const uint32_t size = 1 + random() % (random() % 3 == 0 ? 5000 : 300);
      const uint8_t fill = uint8_t(step * 7 + round);
      if (op < 5 || model.empty()) {
        std::vector<uint8_t> bytes(size, fill);
        const void* pointers[] = {bytes.data()};
        const uint32_t sizes[] = {size};
        uint32_t got = 0;
        const TmvHeapRef ref = heap->AllocSegmentEx(&trans, pointers, sizes, 1, got, 0, 1, false);
        ASSERT_NE(ref, 0u);
        ASSERT_TRUE(got >= 1 && got <= size) << got;
        bytes.resize(got);
        model[ref] = bytes;
      } else {
        auto it = model.begin();
        std::advance(it, random() % model.size());
        if (op < 8) {
          Free(*heap, &trans, it->first);
          model.erase(it);
        } else {
          // Grows (keeping the old bytes) or shrinks.
          uint16_t old = 0;
          TmvHeldBlock held;
          heap->GetSegment(&trans, it->first, true, old, held.Block, held.Release);
          std::vector<uint8_t> extra(size, fill);
          const void* pointers[] = {nullptr, extra.data()};
          const uint32_t sizes[] = {old, size};
          uint32_t got = 0;
          const TmvHeapRef ref =
              heap->ReAllocSegmentEx(&trans, held.Block, mvHeapRefSegment(it->first), pointers, sizes, old, got, 0, 1, false);
          ASSERT_NE(ref, 0u);
          std::vector<uint8_t> bytes = it->second;
          bytes.insert(bytes.end(), extra.begin(), extra.end());
          bytes.resize(got);
          model.erase(it);
          model[ref] = bytes;
        }
      }
    }
    for (const auto& [ref, bytes] : model) ASSERT_EQ(Read(*heap, &trans, ref), bytes);
    // The directory as stored against every data block's own figure.
    std::map<uint32_t, uint16_t> expected;
    std::set<uint32_t> blocks;
    for (const auto& entry : model) blocks.insert(mvHeapRefBlock(entry.first));
    for (uint32_t b : blocks) {
      std::vector<uint8_t> copy = BlockCopy(&trans, b);
      const uint16_t free = heap->bheBlockHeapEngine->GetFreespace(copy.data());
      if (free >= 40) expected[b] = free;
    }
    EXPECT_EQ(Directory(&trans), expected);
    heap.reset();
    trans.Commit();
    Reopen();
  }
  auto heap = Engine();
  TTestTransaction trans(cache);
  for (const auto& [ref, bytes] : model) ASSERT_EQ(Read(*heap, &trans, ref), bytes);
  trans.Commit();
}

TEST_F(HeapTest, DamagedDirectoryAndBlocks) {
  {
    auto heap = Engine();
    TTestTransaction trans(cache);
    Alloc(*heap, &trans, 100, 1);  // data block 1, management block 2
    trans.Commit();
  }
  struct Case {
    const char* what;
    uint32_t block, offset, value;
    uint32_t code;
  };
  for (const Case& c : {Case{"count", 2, 20, 679, 8962}, Case{"loop", 2, 16, 2, 8962},
                        Case{"outside", 2, 16, 99, 15409}, Case{"signature", 2, 0, 0x4D564844, 15416},
                        Case{"first", 0, section, 1, 15416}}) {
    TTestTransaction trans(cache);
    {
      TmvReleaseMethod release;
      uint8_t* b = view->GetBlock(&trans, c.block, 0, true, release);
      const uint32_t keep = mvGetU32(b, c.offset);
      mvPutU32(b, c.offset, c.value);
      if (c.offset == 20) mvPutU16(b, 22 + 6 * 0, uint16_t(keep));  // a count alone
      release(b);
    }
    auto heap = Engine();
    EXPECT_EQ(CodeOf([&] { Alloc(*heap, &trans, 10, 2); }), c.code) << c.what;
    heap.reset();
    trans.End();
  }
}


// One flipped bit anywhere in a management block's count and entries, then
// writes that trust the directory: each either works or is refused with an
// engine error; the directory is checked against the data block it names.
TEST_F(HeapTest, EveryFlippedDirectoryBitThenWritesGivesWorkOrAnEngineError) {
  std::vector<TmvHeapRef> refs;
  {
    auto heap = Engine();
    TTestTransaction trans(cache);
    // Fourteen data blocks of one 3000-byte segment, each listed with room.
    for (int i = 0; i < 14; ++i) refs.push_back(Alloc(*heap, &trans, 3000, uint8_t(i)));
    trans.Commit();
  }
  const uint32_t management = SectionValue(nullptr);
  TTestTransaction probe(cache);
  ASSERT_EQ(Directory(&probe).size(), 14u);
  probe.Commit();
  const uint32_t end = 22 + 6 * 14;
  // Each write on its own, so that none is spared by one before it that
  // happened to correct the entry.
  const std::vector<std::function<void(TmvCachedHeapEngine&, TmvBaseTransaction*)>> writes = {
      [](TmvCachedHeapEngine& heap, TmvBaseTransaction* trans) { Alloc(heap, trans, 2000, 1); },
      [](TmvCachedHeapEngine& heap, TmvBaseTransaction* trans) {
        std::vector<uint8_t> bytes(2000, 2);
        const void* pointers[] = {bytes.data()};
        const uint32_t sizes[] = {2000};
        uint32_t got = 0;
        heap.AllocSegmentEx(trans, pointers, sizes, 100, got, 0, 1, false);
      },
      [&](TmvCachedHeapEngine& heap, TmvBaseTransaction* trans) {
        uint16_t old = 0;
        TmvHeldBlock held;
        heap.GetSegment(trans, refs[3], true, old, held.Block, held.Release);
        std::vector<uint8_t> extra(1500, 3);
        const void* pointers[] = {nullptr, extra.data()};
        const uint32_t sizes[] = {old, 1500};
        uint32_t got = 0;
        heap.ReAllocSegmentEx(trans, held.Block, mvHeapRefSegment(refs[3]), pointers, sizes, old, got, 0, 1, false);
      },
      [&](TmvCachedHeapEngine& heap, TmvBaseTransaction* trans) {
        Free(heap, trans, refs[5]);
        Alloc(heap, trans, 10, 4);
      }};
  int refused = 0, worked = 0;
  for (uint32_t bit = 16 * 8; bit < end * 8; ++bit) {
    for (size_t w = 0; w < writes.size(); ++w) {
      TTestTransaction trans(cache);
      {
        TmvReleaseMethod release;
        uint8_t* b = view->GetBlock(&trans, management, 0, true, release);
        b[bit / 8] ^= uint8_t(1u << (bit % 8));
        release(b);
      }
      auto heap = Engine();
      try {
        writes[w](*heap, &trans);
        ++worked;
      } catch (const EAssertionFailed& e) {
        ADD_FAILURE() << "bit " << bit << ", write " << w << ": " << UTF8Encode(e.Message());
      } catch (const EmvBaseException&) {
        ++refused;
      }
      heap.reset();
      trans.End();
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(worked, 0);
}

}  // namespace
