// Stress test of the block cache: eight threads read and change random
// blocks of four table files through one cache whose budget is half the
// data, so that blocks keep leaving memory and coming back from disk. Every
// block read is checked against a model of the committed versions, and the
// files on disk are checked at the end.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <shared_mutex>
#include <thread>

#include "storage/StorageTestSupport.h"

using namespace storage_test;

namespace {

constexpr uint32_t kFiles = 4;
constexpr uint32_t kBlocks = 128;  // 512 KB a file, 2 MB in all: twice the budget
constexpr int kThreads = 8;
constexpr int kOperations = 1500;  // per thread

// What the tables hold: the committed version of every block. A block is
// read under its shared lock and changed under its exclusive one, as the
// server's table and record locks would allow; one transaction at a time
// changes a file.
struct Model {
  std::atomic<uint32_t> version[kFiles][kBlocks] = {};
  std::shared_mutex block[kFiles][kBlocks];
  std::mutex file[kFiles];
};

class CacheStress : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    cache->SetMaxRAM(1);
    cache->SetSyncOnCommit(false);  // hundreds of commits: the disk's sync time would be all it measures
    for (uint32_t f = 0; f < kFiles; ++f) {
      const std::string name = "s" + std::to_string(f) + ".mv1";
      WriteBytes(folder.File(name), TableImage(kBlocks, f));
      tables[f] = std::make_unique<OpenTable>(cache, folder.Name(name));
      ASSERT_EQ(tables[f]->Add(), 0);
    }
  }
  void TearDown() override {
    for (auto& t : tables) t.reset();
    StorageTest::TearDown();
  }

  void ReadOne(uint32_t f, TmvBlockNumber b) {
    std::shared_lock<std::shared_mutex> lock(model.block[f][b]);
    TmvReleaseMethod release;
    uint8_t* image = cache->GetBlock(tables[f]->file, nullptr, b, false, release);
    uint32_t version = 0;
    if (!BlockMatches(image, 4096, f, b, &version) || version != model.version[f][b]) ++wrong;
    release(image);
  }

  // A transaction changes the block to its next version, commits and writes.
  void ChangeOne(uint32_t f, TmvBlockNumber b) {
    std::lock_guard<std::mutex> fileLock(model.file[f]);
    std::unique_lock<std::shared_mutex> lock(model.block[f][b]);
    TmvBaseFile* file = tables[f]->file;
    const uint32_t next = model.version[f][b] + 1;
    TTestTransaction trans(cache);
    TmvReleaseMethod release;
    uint8_t* copy = cache->GetBlock(file, &trans, b, true, release);
    uint8_t* again = nullptr;
    cache->DirtyBlock(file, b, &trans, again);
    if (again != copy) ++wrong;
    FillBlock(copy, 4096, f, b, next);
    release(copy);
    trans.Commit();
    model.version[f][b] = next;
  }

  void Run(int aSeed) {
    std::mt19937 random(static_cast<uint32_t>(aSeed));
    for (int i = 0; i < kOperations; ++i) {
      const uint32_t f = random() % kFiles;
      const TmvBlockNumber b = 1 + random() % (kBlocks - 1);
      if (random() % 5 == 0) ChangeOne(f, b);
      else ReadOne(f, b);
    }
  }

  std::unique_ptr<OpenTable> tables[kFiles];
  Model model;
  std::atomic<int> wrong{0};
};

TEST_F(CacheStress, EightThreadsReadAndChangeBlocksOfFourFilesInHalfTheMemory) {
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &failed] {
      try {
        Run(t);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        ++failed;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(cache->ResidentPages(), cache->TargetPages() + kThreads + kFiles);
  EXPECT_GT(cache->BlocksRead(), uint64_t(kFiles * kBlocks));  // blocks came back from disk
  for (uint32_t f = 0; f < kFiles; ++f) {
    const std::vector<uint8_t> disk = ReadBytes(folder.File("s" + std::to_string(f) + ".mv1"));
    ASSERT_GE(disk.size(), size_t(kBlocks) * 4096);
    for (TmvBlockNumber b = 1; b < kBlocks; ++b) {
      uint32_t version = 0;
      ASSERT_TRUE(BlockMatches(disk.data() + size_t(b) * 4096, 4096, f, b, &version)) << f << ":" << b;
      EXPECT_EQ(version, model.version[f][b].load()) << f << ":" << b;
    }
  }
}

}  // namespace
