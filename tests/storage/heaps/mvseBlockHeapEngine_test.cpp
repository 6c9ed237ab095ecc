// Tests of the non-fragmenting block heap: the block layout, allocation,
// resizing, freeing and compaction against a model of the segments, and
// damaged blocks.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "foundation/errors/mvllErrors.h"
#include "storage/heaps/mvseBlockHeapEngineNonfragmenting.h"
#include "storage/mvsrTypes.h"
#include "storage/mvsrUnits.h"

namespace {

// A 4 KB block of a version 2 file: usable size 4092, a 16-byte caller's
// header, so H = 20.
constexpr uint32_t S = 4092;

struct Change {
  uint16_t segments, chunk, recoverable;
};

class BlockHeapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mvStorageInit();
    engine = new TmvNonfragmentingBlockHeapEngine(nullptr, S, 16, 47005);
    engine->bbheOnChanged = {&Record, this};
    block.assign(4096, 0);
    mvPutU32(block.data(), 4, 9);
    engine->InitBlock(block.data());
  }
  void TearDown() override {
    delete engine;
    mvStorageFini();
  }
  static void Record(void* aSelf, uint8_t*, uint16_t aSegments, uint16_t aChunk, uint16_t aRecoverable) {
    static_cast<BlockHeapTest*>(aSelf)->changes.push_back({aSegments, aChunk, aRecoverable});
  }
  uint16_t U16(uint32_t aOffset) const { return mvGetU16(block.data(), aOffset); }
  TmvSegmentRef Alloc(uint16_t aSize, uint8_t aFill) {
    TmvSegmentRef slot = 0;
    uint8_t* p = engine->AllocSegment(block.data(), aSize, slot);
    if (p) std::memset(p, aFill, aSize);
    return p ? slot : 0;
  }
  template <typename F>
  static uint32_t CodeOf(F f, String* aText = nullptr) {
    try {
      f();
    } catch (const EmvBaseException& e) {
      if (aText) *aText = e.ErrorString();
      return e.ErrorCode();
    }
    return 0;
  }

  TmvNonfragmentingBlockHeapEngine* engine = nullptr;
  std::vector<uint8_t> block;
  std::vector<Change> changes;
};

TEST_F(BlockHeapTest, EmptyBlockAndAFullSegment) {
  EXPECT_EQ(engine->bheHeaderSize, 20);
  EXPECT_EQ(engine->bbheMaxSegmentSize, 4060);
  EXPECT_EQ(U16(4084), 20);  // FreeSpaceOffset with no slot
  EXPECT_EQ(U16(20), 4060);  // the chunk
  EXPECT_EQ(U16(S - 2), 0);
  EXPECT_EQ(engine->GetFreespace(block.data()), 4060);

  EXPECT_EQ(Alloc(4060, 0xAB), 1u);
  EXPECT_EQ(U16(S - 2), 1);      // one slot
  EXPECT_EQ(U16(4084), 20);      // slot 1 holds the segment's offset
  EXPECT_EQ(U16(4082), 0);       // no chunk left
  EXPECT_EQ(U16(16), 1);         // segment count
  EXPECT_EQ(engine->GetFreespace(block.data()), 0);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].segments, 1);
  EXPECT_EQ(changes[0].chunk, 0);
  engine->VerifyBlock(block.data(), false);
  TmvSegmentRef slot = 0;
  EXPECT_EQ(engine->AllocSegment(block.data(), 1, slot), nullptr);
}

TEST_F(BlockHeapTest, FreespaceCountsRecoverableSpaceLessEight) {
  // No slot, a chunk of 100 before the FreeSpaceOffset cell at 4084.
  mvPutU16(block.data(), 4084, 3980);
  mvPutU16(block.data(), 3980, 100);
  for (auto [recoverable, expected] : {std::pair{30, 122}, {5, 100}, {0, 100}, {8, 100}}) {
    mvPutU16(block.data(), S - 6, uint16_t(recoverable));
    EXPECT_EQ(engine->GetFreespace(block.data()), expected) << recoverable;
  }
}

TEST_F(BlockHeapTest, WrongSlotsAndDoubleFree) {
  const TmvSegmentRef slot = Alloc(10, 1);
  String text;
  EXPECT_EQ(CodeOf([&] { engine->FreeSegment(block.data(), 0); }, &text), uint32_t(MVERR_INVALIDSEGMENTNR));
  EXPECT_EQ(text, u"invalid segment number (0)");
  EXPECT_EQ(CodeOf([&] { engine->FreeSegment(block.data(), 2); }), uint32_t(MVERR_INVALIDSEGMENTNR));
  uint16_t size = 0;
  EXPECT_EQ(CodeOf([&] { engine->GetSegment(block.data(), 5, size); }), uint32_t(MVERR_INVALIDSEGMENTNR));
  engine->FreeSegment(block.data(), slot);
  EXPECT_EQ(CodeOf([&] { engine->FreeSegment(block.data(), slot); }, &text), uint32_t(MVERR_SEGMENTDELETED));
  EXPECT_EQ(text, u"segment already deleted (1)");
  EXPECT_EQ(CodeOf([&] { engine->GetSegment(block.data(), slot, size); }, &text), uint32_t(MVERR_SEGMENTDELETED));
  EXPECT_EQ(text, u"segment deleted (1)");
  EXPECT_EQ(CodeOf([&] { engine->ReAllocSegment(block.data(), 3, slot); }), uint32_t(MVERR_SEGMENTDELETED));
}

TEST_F(BlockHeapTest, CompactionKeepsSlotsAndChainsFreedOnesAscending) {
  std::vector<TmvSegmentRef> slots;
  for (int i = 0; i < 6; ++i) slots.push_back(Alloc(uint16_t(10 + i), uint8_t(i + 1)));
  // A freed slot does not come back before a compaction.
  engine->FreeSegment(block.data(), slots[1]);
  EXPECT_EQ(Alloc(4, 9), 7u);
  engine->FreeSegment(block.data(), slots[3]);
  engine->FreeSegment(block.data(), 7);   // the trailing slots leave
  engine->FreeSegment(block.data(), slots[5]);
  engine->CompactBlock(block.data(), 0, 0);
  engine->VerifyBlock(block.data(), false);
  EXPECT_EQ(U16(S - 2), 5);              // slots 6 and 7 trimmed
  EXPECT_EQ(U16(S - 4), 2);              // chain 2 -> 4 -> end
  EXPECT_EQ(U16(S - 6 - 4), 4 << 2 | 2);
  EXPECT_EQ(U16(S - 6 - 8), 0 << 2 | 2);
  EXPECT_EQ(U16(S - 6), 0);
  for (int i : {0, 2, 4}) {
    uint16_t size = 0;
    const uint8_t* p = engine->GetSegment(block.data(), slots[size_t(i)], size);
    EXPECT_EQ(size, 10 + i);
    EXPECT_EQ(p[size - 1], i + 1);
  }
  // The chain hands out slot 2, then 4, then new ones.
  EXPECT_EQ(Alloc(3, 7), 2u);
  EXPECT_EQ(Alloc(3, 7), 4u);
  EXPECT_EQ(Alloc(3, 7), 6u);
}

TEST_F(BlockHeapTest, FreeingTheOnlySegmentAndCompactingGivesANewBlock) {
  std::vector<uint8_t> fresh = block;
  const TmvSegmentRef slot = Alloc(100, 5);
  engine->FreeSegment(block.data(), slot);
  EXPECT_EQ(U16(16), 0);
  engine->CompactBlock(block.data(), 0, 0);
  for (uint32_t at : {16u, 20u, S - 2, S - 4, S - 6, S - 8}) EXPECT_EQ(U16(at), mvGetU16(fresh.data(), at)) << at;
}

TEST_F(BlockHeapTest, ReuseCounterOnlyFromItsVersion) {
  TmvSegmentRef ref = 0xFFFF0003;
  engine->IncSegmentRef(ref);
  EXPECT_EQ(ref, 0x00000003u);
  EXPECT_EQ(engine->bbheSegmentRefMask, 0xFFFFu);
  TmvNonfragmentingBlockHeapEngine older(nullptr, S, 16, 47004);
  older.IncSegmentRef(ref);
  EXPECT_EQ(ref, 0x00000003u);
  EXPECT_EQ(older.bbheSegmentRefMask, 0xFFFFFFFFu);
}

// Random allocations, resizes and frees against a model of every live
// segment's bytes; after each step the layout invariants hold, the change
// event reports what GetFreespace says, and a refused allocation really
// had no room.
TEST_F(BlockHeapTest, RandomOperationsKeepEverySegment) {
  for (uint32_t usable : {4092u, 8188u, 65532u, 65536u}) {
    TmvNonfragmentingBlockHeapEngine heap(nullptr, usable, usable == 65536 ? 24 : 16, 47005);
    heap.bbheOnChanged = {&Record, this};
    std::vector<uint8_t> b(65536, 0);
    heap.InitBlock(b.data());
    std::map<TmvSegmentRef, std::vector<uint8_t>> model;
    std::mt19937 random(usable);
    const uint32_t maxSize = usable <= 8188 ? 700 : 6000;
    for (int step = 0; step < 3000; ++step) {
      changes.clear();
      const int op = int(random() % 10);
      const uint16_t size = uint16_t(random() % (random() % 4 == 0 ? maxSize : 40));
      const uint8_t fill = uint8_t(step);
      if (op < 4 || model.empty()) {
        TmvSegmentRef slot = 0;
        const uint16_t before = heap.GetFreespace(b.data());
        if (uint8_t* p = heap.AllocSegment(b.data(), size, slot)) {
          ASSERT_EQ(model.count(slot), 0u);
          std::memset(p, fill, size);
          model[slot].assign(size, fill);
        } else {
          ASSERT_LT(before, size + 4) << "refused with room, step " << step;
        }
      } else {
        auto it = model.begin();
        std::advance(it, random() % model.size());
        if (op < 7) {
          heap.FreeSegment(b.data(), it->first);
          model.erase(it);
        } else if (uint8_t* p = heap.ReAllocSegment(b.data(), size, it->first)) {
          const size_t kept = std::min<size_t>(size, it->second.size());
          if (size > kept) std::memset(p + kept, fill, size - kept);
          it->second.resize(size, fill);
        }
      }
      heap.VerifyBlock(b.data(), false);
      if (!changes.empty()) {
        const Change& c = changes.back();
        ASSERT_EQ(c.chunk + c.recoverable, heap.GetFreespace(b.data()));
        ASSERT_EQ(c.segments, model.size());
      }
      for (const auto& [slot, bytes] : model) {
        uint16_t got = 0;
        const uint8_t* p = heap.GetSegment(b.data(), slot, got);
        ASSERT_EQ(got, bytes.size()) << "slot " << slot << " step " << step;
        ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), p)) << "slot " << slot << " step " << step;
      }
    }
    // Enumeration in both directions meets the live slots in order.
    std::vector<TmvSegmentRef> forward, backward;
    uint16_t got = 0;
    for (TmvSegmentRef s = 0; heap.GetNextSegment(b.data(), s, got);) forward.push_back(s);
    for (TmvSegmentRef s = 0xFFFF; heap.GetPrevSegment(b.data(), s, got);) backward.insert(backward.begin(), s);
    std::vector<TmvSegmentRef> live;
    for (const auto& entry : model) live.push_back(entry.first);
    EXPECT_EQ(forward, live);
    EXPECT_EQ(backward, live);
  }
}

// Every byte of a used block damaged in turn: each operation either works
// or refuses with an engine error, and never reaches outside the block.
TEST_F(BlockHeapTest, DamagedBlockAtEveryByte) {
  const uint32_t usable = 1024;  // a small block keeps the loop short
  TmvNonfragmentingBlockHeapEngine heap(nullptr, usable, 16, 47005);
  std::vector<uint8_t> original(usable, 0);
  heap.InitBlock(original.data());
  TmvSegmentRef slot = 0;
  for (uint16_t size : {30, 5, 70, 12, 100, 3}) heap.AllocSegment(original.data(), size, slot);
  heap.FreeSegment(original.data(), 2);
  heap.FreeSegment(original.data(), 4);
  for (uint32_t at = 0; at < usable; ++at) {
    for (uint8_t flip : {uint8_t(0xFF), uint8_t(0x01), uint8_t(0x80)}) {
      std::vector<uint8_t> b = original;
      b[at] ^= flip;
      const auto attempt = [&](auto f) {
        try {
          f();
        } catch (const EmvBaseException& e) {
          const uint32_t code = e.ErrorCode();
          ASSERT_TRUE(code == MVERR_FILECORRUPT || code == MVERR_INVALIDSEGMENTNR || code == MVERR_SEGMENTDELETED)
              << "byte " << at << ": " << code;
        }
      };
      uint16_t size = 0;
      for (TmvSegmentRef s = 1; s <= 7; ++s) attempt([&] { heap.GetSegment(b.data(), s, size); });
      attempt([&] { heap.GetFreespace(b.data()); });
      attempt([&] {
        for (TmvSegmentRef s = 0; heap.GetNextSegment(b.data(), s, size);) {
        }
      });
      attempt([&] { heap.ReAllocSegment(b.data(), 400, 3); });
      attempt([&] { heap.AllocSegment(b.data(), 500, slot); });
      attempt([&] { heap.FreeSegment(b.data(), 1); });
      attempt([&] { heap.CompactBlock(b.data(), 0, 0); });
    }
  }
}

}  // namespace
