// Stress test of transactions and snapshots: four writer threads change,
// nest, roll back and commit blocks of four shared table files (several
// files per transaction, files growing), while four reader threads take
// snapshots of all files and read every block they see. The cache's budget
// is below the data, so blocks keep leaving memory and coming back from disk.
// Every snapshot must see exactly the state that the commits before it
// produced: for each block the version of the last commit before the
// snapshot, and the used-block counts of that moment; never a mix.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "storage/StorageTestSupport.h"

using namespace storage_test;

namespace {

constexpr uint32_t kFiles = 4;
constexpr uint32_t kInitialBlocks = 96;  // 4 x 384 KB: more than the 1 MB budget with the images
constexpr uint32_t kMaxBlocks = 112;
constexpr int kWriters = 4;
constexpr int kReaders = 4;
constexpr int kTransactions = 120;  // per writer

// What the commits produced, in the order they happened in memory: for each
// block the versions with the position of the commit that wrote them, and
// the used-block count of each file the same way.
struct History {
  std::mutex lock;
  uint64_t position = 0;
  std::vector<std::pair<uint64_t, uint32_t>> versions[kFiles][kMaxBlocks];
  std::vector<std::pair<uint64_t, uint32_t>> used[kFiles];

  // The value at position aAt (the last one written at or before it).
  static uint32_t At(const std::vector<std::pair<uint64_t, uint32_t>>& aValues, uint64_t aAt, uint32_t aInitial) {
    uint32_t value = aInitial;
    for (const auto& [position, v] : aValues)
      if (position <= aAt) value = v;
    return value;
  }
};

class TransactionStress : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    cache->SetMaxRAM(1);
    cache->SetSyncOnCommit(false);  // hundreds of commits: the disk's sync time would be all it measures
    for (uint32_t f = 0; f < kFiles; ++f) {
      tables[f] = Table(Name(f), kInitialBlocks, f);
      current[f] = kInitialBlocks;
    }
  }
  void TearDown() override {
    for (auto& t : tables) t.reset();
    TableTest::TearDown();
  }
  static std::string Name(uint32_t f) { return "t" + std::to_string(f) + ".mv1"; }

  void Mismatch(const std::string& aWhat) {
    if (wrong++ < 5) ADD_FAILURE() << aWhat;
  }

  // One writer transaction over a random set of files, locked in order as
  // the server's table locks would be.
  void WriteOne(std::mt19937& aRandom) {
    const uint32_t mask = 1 + aRandom() % ((1u << kFiles) - 1);
    std::vector<uint32_t> files;
    std::vector<std::unique_lock<std::mutex>> locks;
    for (uint32_t f = 0; f < kFiles; ++f) {
      if (!(mask & (1u << f))) continue;
      files.push_back(f);
      locks.emplace_back(fileLock[f]);
    }
    TTestTransaction trans(cache);
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> effective;
    std::map<uint32_t, uint32_t> grown;
    auto change = [&](std::map<std::pair<uint32_t, uint32_t>, uint32_t>& aInto) {
      const uint32_t f = files[aRandom() % files.size()];
      const uint32_t b = 1 + aRandom() % (current[f] - 1);
      const uint32_t seen = aInto.count({f, b}) ? aInto[{f, b}] : effective.count({f, b}) ? effective[{f, b}] : last[f][b];
      if (Version(*tables[f], &trans, b, f) != int64_t(seen)) Mismatch("writer sees a wrong version");
      aInto[{f, b}] = ++next[f][b];
      Write(*tables[f], &trans, b, next[f][b], f);
    };
    for (uint32_t n = 1 + aRandom() % 3; n > 0; --n) change(effective);
    if (aRandom() % 3 == 0) {
      trans.StartNested(false);
      std::map<std::pair<uint32_t, uint32_t>, uint32_t> nested;
      for (uint32_t n = 1 + aRandom() % 2; n > 0; --n) change(nested);
      if (aRandom() % 2 == 0) {
        trans.Commit();
        for (auto& [key, v] : nested) effective[key] = v;
      } else {
        trans.Rollback();
      }
    }
    const uint32_t g = files[aRandom() % files.size()];
    if (aRandom() % 5 == 0 && current[g] < kMaxBlocks) {
      const uint32_t b = current[g];
      effective[{g, b}] = ++next[g][b];
      Append(*tables[g], &trans, b, next[g][b], g);
      SetUsedBlocks(*tables[g], &trans, b + 1);
      grown[g] = b + 1;
    }
    if (aRandom() % 10 == 0) {
      trans.Rollback();
      return;
    }
    TmvFlushList list;
    {
      // The position is taken in the same hold of the padlock as the change.
      TmvBufferManagerGuard guard(cache);
      cache->CommitTransaction(&trans, &list, false);
      std::lock_guard<std::mutex> record(history.lock);
      const uint64_t position = ++history.position;
      for (auto& [key, v] : effective) history.versions[key.first][key.second].push_back({position, v});
      for (auto& [f, used] : grown) history.used[f].push_back({position, used});
    }
    list.Flush(false);  // before the table locks go
    trans.FreeLevel();
    for (auto& [key, v] : effective) last[key.first][key.second] = v;
    for (auto& [f, used] : grown) current[f] = used;
  }

  // One snapshot of all files, checked block by block against the history.
  void ReadOne() {
    TTestTransaction snapshot(cache, true);
    uint64_t at = 0;
    uint32_t used[kFiles];
    {
      TmvBufferManagerGuard guard(cache);  // all files looked at in one moment
      for (uint32_t f = 0; f < kFiles; ++f) used[f] = snapshot.LinkFile(tables[f]->file)->fsslUsedBlocks;
      std::lock_guard<std::mutex> record(history.lock);
      at = history.position;
    }
    std::vector<uint32_t> expected[kFiles];
    {
      std::lock_guard<std::mutex> record(history.lock);
      for (uint32_t f = 0; f < kFiles; ++f) {
        if (History::At(history.used[f], at, kInitialBlocks) != used[f]) Mismatch("wrong used-block count");
        for (uint32_t b = 0; b < used[f]; ++b) expected[f].push_back(History::At(history.versions[f][b], at, 0));
      }
    }
    for (uint32_t f = 0; f < kFiles; ++f) {
      TmvBlockAccess access(tables[f]->file, nullptr, u"t", 0);
      if (access.ValidBlock(used[f], &snapshot)) Mismatch("a block beyond the snapshot is valid");
      for (uint32_t b = 1; b < used[f]; ++b) {
        const int64_t seen = Version(*tables[f], &snapshot, b, f);
        if (seen != int64_t(expected[f][b]))
          Mismatch("snapshot at " + std::to_string(at) + " sees version " + std::to_string(seen) + " of " +
                   std::to_string(f) + ":" + std::to_string(b) + ", not " + std::to_string(expected[f][b]));
      }
    }
    ++snapshots;
    snapshot.Commit();
  }

  std::unique_ptr<OpenTable> tables[kFiles];
  std::mutex fileLock[kFiles];
  // Kept under the file's lock: the committed versions, the next version
  // to write, the used-block count.
  uint32_t last[kFiles][kMaxBlocks] = {};
  uint32_t next[kFiles][kMaxBlocks] = {};
  uint32_t current[kFiles] = {};
  History history;
  std::atomic<int> wrong{0};
  std::atomic<int> snapshots{0};
};

TEST_F(TransactionStress, FourWritersAndFourSnapshotReadersOnSharedFiles) {
  std::atomic<int> failed{0};
  std::atomic<int> writing{kWriters};
  auto guarded = [&](auto aBody) {
    try {
      aBody();
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      ++failed;
    }
  };
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      guarded([&] {
        std::mt19937 random(static_cast<uint32_t>(w + 1));
        for (int i = 0; i < kTransactions; ++i) WriteOne(random);
      });
      --writing;
    });
  }
  for (int r = 0; r < kReaders; ++r)
    threads.emplace_back([&] { guarded([&] { while (writing.load() > 0) ReadOne(); }); });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(snapshots.load(), kReaders);
  EXPECT_GT(cache->BlocksRead(), uint64_t(kFiles * kInitialBlocks));  // blocks came back from disk
  {
    TmvBufferManagerGuard guard(cache);
    EXPECT_EQ(cache->bmActiveSnapShotCount, 0);
  }
  for (uint32_t f = 0; f < kFiles; ++f) {
    const std::vector<uint8_t> disk = ReadBytes(folder.File(Name(f)));
    ASSERT_GE(disk.size(), size_t(current[f]) * 4096);
    EXPECT_EQ(mvGetU32(disk.data(), mvHeaderUsedBlocksOffset), current[f]);
    for (TmvBlockNumber b = 1; b < current[f]; ++b) {
      uint32_t version = 0;
      ASSERT_TRUE(BlockMatches(disk.data() + size_t(b) * 4096, 4096, f, b, &version)) << f << ":" << b;
      EXPECT_EQ(version, last[f][b]) << f << ":" << b;
    }
  }
}

}  // namespace
