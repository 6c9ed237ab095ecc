// Tests of the cache's memory: the budget, what may leave memory and what
// must stay, the timing rules of trimming, temporary files and their
// storage, and the statistics.
#include <gtest/gtest.h>

#include <functional>

#include "storage/StorageTestSupport.h"
#include "storage/cache/mvsrTempStorage.h"

using namespace storage_test;

namespace {

// The cache's clock in these tests: still, or moving a step at every look.
uint64_t gNow = 1000000;
uint64_t gStep = 0;
uint64_t testClock() { return gNow += gStep; }

class MemoryTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    gStep = 0;
    cache->SetTickSource(testClock);
    cache->SetMaxRAM(1);  // 256 pages of 4 KB
  }
  // A table of aBlocks 4 KB blocks, registered.
  std::unique_ptr<OpenTable> Table(uint32_t aBlocks, TableKind aKind = TableKind::Existing) {
    if (aKind == TableKind::Existing) WriteBytes(folder.File("m.mv1"), TableImage(aBlocks));
    auto t = std::make_unique<OpenTable>(cache, folder.Name("m.mv1"), omReadWrite, aKind);
    EXPECT_EQ(t->Add(), 0);
    return t;
  }
  // Reads blocks first .. last, keeping the references.
  void Hold(OpenTable& t, TmvBlockNumber aFirst, TmvBlockNumber aLast) {
    for (TmvBlockNumber n = aFirst; n <= aLast; ++n) {
      held.emplace_back();
      held.back().first = cache->GetBlock(t.file, nullptr, n, false, held.back().second);
    }
  }
  void ReleaseAll() {
    for (auto& [block, release] : held) release(block);
    held.clear();
  }
  void Read(OpenTable& t, TmvBlockNumber aBlock) {
    TmvReleaseMethod release;
    uint8_t* b = cache->GetBlock(t.file, nullptr, aBlock, false, release);
    EXPECT_TRUE(BlockMatches(b, 4096, 0, aBlock, nullptr)) << aBlock;
    release(b);
  }
  bool Resident(OpenTable& t, TmvBlockNumber aBlock) {
    TmvBufferManagerGuard guard(cache);
    TmvReadOnlyBlock* b = cache->CachedBlock(t.file, aBlock);
    return b && b->CacheBlock() && b->CacheBlock()->GetState() == cbsMapped;
  }

  std::vector<std::pair<uint8_t*, TmvReleaseMethod>> held;
};

TEST_F(MemoryTest, TheBudgetIsCappedInStandardMode) {
  TmvMemoryStatus status;
  ASSERT_TRUE(mvGetMemoryStatus(status));
  const int64_t physical = static_cast<int64_t>(status.ullTotalPhys / 1048576) * 8 / 10;
  cache->SetMaxRAM(2000);
  EXPECT_EQ(cache->GetMaxRAM(), std::min<int64_t>(1536, physical));
  EXPECT_EQ(cache->TargetPages(), cache->GetMaxRAM() * 256);
  cache->SetMaxRAM(1);
  EXPECT_EQ(cache->TargetPages(), 256);
  cache->SetMaxRAM(-5);
  EXPECT_EQ(cache->GetMaxRAM(), 0);
  const int64_t available = cache->AvailableRAM();
  EXPECT_GT(available, 0);
  EXPECT_LE(available, static_cast<int64_t>(status.ullAvailPhys));
}

TEST_F(MemoryTest, AReferencedBlockIsNeverEvictedNotEvenForced) {
  auto t = Table(320);
  Hold(*t, 1, 300);
  EXPECT_EQ(cache->ResidentPages(), 301);  // and block 0
  cache->bmRemoveExcessBlocks(true, true);
  EXPECT_EQ(cache->ResidentPages(), 301);
  ReleaseAll();
  cache->bmRemoveExcessBlocks(true, true);
  EXPECT_EQ(cache->ResidentPages(), 256);
  EXPECT_TRUE(Resident(*t, 0));  // still referenced by the table
}

TEST_F(MemoryTest, ACleanTableBlockIsDroppedAndReadAgain) {
  auto t = Table(320);
  for (TmvBlockNumber n = 1; n < 300; ++n) Read(*t, n);
  EXPECT_LE(cache->ResidentPages(), 256);
  {
    TmvBufferManagerGuard guard(cache);
    EXPECT_EQ(cache->CachedBlock(t->file, 1), nullptr);  // the whole object left
  }
  const uint64_t reads = cache->BlocksRead();
  Read(*t, 1);
  EXPECT_EQ(cache->BlocksRead(), reads + 1);
}

TEST_F(MemoryTest, AChangedBlockLosesOnlyTheMemoryOfItsCommittedImage) {
  auto t = Table(320);
  TTestTransaction trans(cache);
  TmvReleaseMethod release;
  uint8_t* copy = cache->GetBlock(t->file, &trans, 5, true, release);
  release(copy);
  for (TmvBlockNumber n = 6; n < 300; ++n) Read(*t, n);
  TmvBufferManagerGuard guard(cache);
  TmvReadOnlyBlock* block = cache->CachedBlock(t->file, 5);
  ASSERT_NE(block, nullptr);  // the transaction still needs it
  EXPECT_EQ(block->CacheBlock(), nullptr);
  EXPECT_NE(block->robBlockListTail->CacheBlock(), nullptr);  // the copy stays
  trans.Rollback();
}

TEST_F(MemoryTest, AQueuedBlockStaysUntilItIsWritten) {
  auto t = Table(320);
  TmvReleaseMethod release;
  uint8_t* b = cache->GetBlock(t->file, nullptr, 3, false, release);
  {
    TmvBufferManagerGuard guard(cache);
    t->file->WriteBlock(cache->CachedBlock(t->file, 3));
  }
  release(b);
  for (TmvBlockNumber n = 4; n < 300; ++n) Read(*t, n);
  EXPECT_TRUE(Resident(*t, 3));
  t->file->FlushFile(false, nullptr);
  for (TmvBlockNumber n = 4; n < 300; ++n) Read(*t, n);
  EXPECT_FALSE(Resident(*t, 3));
}

TEST_F(MemoryTest, AFruitlessPassIsNotRepeatedWithinASecondUnlessForced) {
  auto t = Table(320);
  Hold(*t, 1, 300);  // the passes while loading find nothing to evict
  ReleaseAll();
  cache->bmRemoveExcessBlocks(false, false);
  EXPECT_EQ(cache->ResidentPages(), 301);
  gNow += 1000;
  cache->bmRemoveExcessBlocks(false, false);
  EXPECT_EQ(cache->ResidentPages(), 301);
  cache->bmRemoveExcessBlocks(true, false);
  EXPECT_EQ(cache->ResidentPages(), 256);
  Hold(*t, 1, 300);
  ReleaseAll();
  gNow += 1001;
  cache->bmRemoveExcessBlocks(false, false);
  EXPECT_EQ(cache->ResidentPages(), 256);
}

TEST_F(MemoryTest, APassThatIsNotForcedGivesUpAfter150Milliseconds) {
  auto t = Table(320);
  Hold(*t, 1, 300);
  ReleaseAll();
  gNow += 2000;
  gStep = 80;  // each look at the clock: 80 ms later
  cache->bmRemoveExcessBlocks(false, false);
  EXPECT_EQ(cache->ResidentPages(), 299);  // two evictions, then 160 ms had passed
  gNow += 2000;
  cache->bmRemoveExcessBlocks(true, false);
  EXPECT_EQ(cache->ResidentPages(), 256);
}

TEST_F(MemoryTest, BlocksOfTemporaryFilesGoToTheTemporaryStorageAndComeBack) {
  for (bool withStorage : {false, true}) {
    mvTempStorageClass = withStorage ? &TTestTempStorage::StaticClass : nullptr;
    cache->SetTempStoreSize(1);
    gNow += 2000;  // past the pause after the fruitless passes of the first round
    auto t = Table(0, TableKind::Temporary);
    for (TmvBlockNumber n = 1; n < 300; ++n) {
      TmvReleaseMethod release;
      uint8_t* b = cache->AddBlock(t->file, nullptr, n, release);
      FillBlock(b, 4096, 0, n, 0);
      release(b);
    }
    auto* storage = dynamic_cast<TTestTempStorage*>(cache->bmTempStore);
    if (withStorage) {
      EXPECT_LE(cache->ResidentPages(), 256);
      EXPECT_GT(storage->Stored(), 40u);
      EXPECT_FALSE(Resident(*t, 1));
    } else {
      EXPECT_EQ(cache->ResidentPages(), 299);  // no room anywhere: everything stays
    }
    for (TmvBlockNumber n = 1; n < 300; ++n) Read(*t, n);
    t.reset();
    mvTempStorageClass = nullptr;
  }
}

TEST_F(MemoryTest, TheNullStorageHasNoRoom) {
  TmvNullTempStorage null;
  String text;
  EXPECT_EQ(CodeOf([&] { null.WriteBlock(nullptr, mvbs4k); }, &text), 12289u);
  EXPECT_EQ(text, u"WriteBlock is not supported by TmvNullTempStorage");
  uint8_t block[16];
  const std::pair<const char16_t*, std::function<void()>> refused[] = {
      {u"ReadBlock", [&] { null.ReadBlock(1, mvbs4k, block); }},
      {u"PeekBlock", [&] { null.PeekBlock(1, mvbs4k, block); }},
      {u"ReleaseBlock", [&] { null.ReleaseBlock(1, mvbs4k); }}};
  for (const auto& [name, call] : refused) {
    EXPECT_EQ(CodeOf(call, &text), 12289u);
    EXPECT_EQ(text, String(name) + u" is not supported by TmvNullTempStorage");
  }
  EXPECT_FALSE(null.HasSpaceFor(mvbs4k));
  TStringList values, captions;
  null.GetStatsValues(&values);
  EXPECT_EQ(values.GetText(), u"0 kbyte\r\n0 kbyte\r\n");
  values.Clear();
  TmvNullTempStorage::StaticClass.GetStatsValuesStatic(&values);
  EXPECT_EQ(values.GetText(), u"0 kbyte\r\n0 kbyte\r\n");
  TmvNullTempStorage::StaticClass.GetStatsCaptions(&captions);
  EXPECT_EQ(captions.GetText(), u"Temporary Storage Total Size\r\nTemporary Storage Used Size\r\n");
}

int64_t gSessionCounts[12];
void countForSession(TmvSessionStatsCounter aCounter, int64_t aCount) { gSessionCounts[aCounter] += aCount; }

TEST_F(MemoryTest, StatisticsCountMissesHitsAndBlocks) {
  std::fill(std::begin(gSessionCounts), std::end(gSessionCounts), 0);
  mvSessionStatsCountHook = countForSession;
  cache->SetMaxRAM(10);
  auto t = Table(10);
  Read(*t, 1);
  Read(*t, 2);
  Read(*t, 1);  // found, and not the newest: a hit
  Read(*t, 1);  // the newest already: not counted
  TStringList captions, values, placeholders;
  cache->GetStatsCaptions(&captions);
  cache->GetStatsValues(&values);
  cache->GetStatsValuesStatic(&placeholders);
  const std::vector<std::pair<String, String>> expected = {
      {u"AWE Edition", u"No"},
      {u"Block Cache Available", u"10240 kbyte"},
      {u"Block Cache Used", u"12 kbyte"},
      {u"Block Cache Miss", u"3"},  // block 0 and the first reads of 1 and 2
      {u"Block Cache Hit ", u"1"},
      {u"Block Cache Eviction ", u"0"},
      {u"Transactions Commited", u"0"},
      {u"Transactions Commited Nested", u"0"},
      {u"Transactions Rolledback", u"0"},
      {u"Transactions Rolledback Nested", u"0"},
      {u"Transactions Deadlocked", u"0"},
      {u"Transactions Corrupted", u"0"},
      {u"Blocks Read", u"3"},
      {u"Blocks Written", u"0"},
      // The registered storage's lines, though the cache runs none of it.
      {u"Temporary Storage Total Size", u"0 kbyte"},
      {u"Temporary Storage Used Size", u"0 kbyte"},
      {u"Temporary Storage Total Written", u"0 kbyte"},
      {u"Temporary Storage Total Read", u"0 kbyte"}};
  ASSERT_EQ(captions.Count(), int32_t(expected.size()));
  ASSERT_EQ(values.Count(), int32_t(expected.size()));
  ASSERT_EQ(placeholders.Count(), int32_t(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(captions.Strings(int32_t(i)), expected[i].first);
    EXPECT_EQ(values.Strings(int32_t(i)), expected[i].second) << UTF8Encode(expected[i].first);
  }
  EXPECT_EQ(placeholders.Strings(3), u"0");
  EXPECT_EQ(placeholders.Strings(2), u"0 kbyte");
  // The session of the reading thread counts the same reads.
  mvResetSessionStatsCountHook();
  EXPECT_EQ(gSessionCounts[sscBlocksRead], 3);
  EXPECT_EQ(gSessionCounts[sscBlocksWritten], 0);
}

}  // namespace
