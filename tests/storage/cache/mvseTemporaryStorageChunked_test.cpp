// Tests of the chunked temporary storage: its private file, how block
// numbers follow chunks and units, reuse and release of chunks, statistics,
// a random model run, failures of the file system, and the block cache
// moving blocks of a temporary table out to it and back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/StorageTestSupport.h"
#include "storage/cache/mvseTemporaryStorageChunked.h"

using namespace storage_test;

namespace {

constexpr int64_t kMB4 = 4194304;

class ChunkedStorageTest : public StorageTest {
 protected:
  std::unique_ptr<TmvChunkedTempStorage> Make() {
    auto storage = std::make_unique<TmvChunkedTempStorage>();
    storage->Create(UTF8ToString(folder.File("")));
    return storage;
  }
  // A block of a size whose bytes follow from aSeed.
  static std::vector<uint8_t> Content(TmvBlockSizeAll aSize, uint32_t aSeed) {
    std::vector<uint8_t> bytes(mvBlockBytes(aSize));
    for (size_t i = 0; i < bytes.size(); i += 64) bytes[i] = uint8_t(aSeed * 7 + i / 64);
    mvPutU32(bytes.data(), 0, aSeed);
    return bytes;
  }
  // Whether aBytes hold Content(aSize, aSeed).
  static bool Matches(const std::vector<uint8_t>& aBytes, TmvBlockSizeAll aSize, uint32_t aSeed) {
    const std::vector<uint8_t> expected = Content(aSize, aSeed);
    return std::equal(expected.begin(), expected.end(), aBytes.begin());
  }
  static TmvBlockTmpNum Write(TmvChunkedTempStorage& s, TmvBlockSizeAll aSize, uint32_t aSeed = 0) {
    return s.WriteBlock(Content(aSize, aSeed).data(), aSize);
  }
  static std::vector<uint8_t> Peek(TmvChunkedTempStorage& s, TmvBlockTmpNum aNum, TmvBlockSizeAll aSize) {
    std::vector<uint8_t> bytes(mvBlockBytes(aSize));
    s.PeekBlock(aNum, aSize, bytes.data());
    return bytes;
  }
  static int64_t FileSize(TmvChunkedTempStorage& s) {
    struct stat st;
    EXPECT_EQ(::fstat(s.File(), &st), 0);
    return st.st_size;
  }
  static std::vector<String> Lines(TStringList& aList) {
    std::vector<String> lines;
    for (int32_t i = 0; i < aList.Count(); ++i) lines.push_back(aList.Strings(i));
    return lines;
  }
  static String Target(int aHandle) {
    char buffer[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(aHandle);
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof(buffer));
    return n > 0 ? UTF8ToString(std::string(buffer, size_t(n))) : String();
  }
};

TEST_F(ChunkedStorageTest, TheFileIsPrivateAndUnlinkedAtOnce) {
  auto a = Make();
  auto b = Make();
  struct stat st;
  ASSERT_EQ(::fstat(a->File(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_nlink, 0u);
  EXPECT_TRUE(std::filesystem::is_empty(folder.File("")));
  const String prefix = UTF8ToString(folder.File("MorvaDB_TemporaryStorage_" + std::to_string(::getpid()) + "_"));
  for (auto* s : {a.get(), b.get()}) {
    const String target = Target(s->File());
    EXPECT_EQ(target.substr(0, prefix.size()), prefix) << UTF8Encode(target);
    EXPECT_NE(target.find(u".tmp (deleted)"), String::npos) << UTF8Encode(target);
  }
  EXPECT_NE(Target(a->File()), Target(b->File()));  // one name per storage object

  // Without a folder the system's temporary folder serves.
  const char* saved = std::getenv("TMPDIR");
  const std::string savedValue = saved ? saved : "";
  ::setenv("TMPDIR", folder.File("").c_str(), 1);
  TmvChunkedTempStorage c;
  c.Create(u"");
  if (saved) ::setenv("TMPDIR", savedValue.c_str(), 1);
  else ::unsetenv("TMPDIR");
  EXPECT_EQ(Target(c.File()).substr(0, prefix.size()), prefix);
}

TEST_F(ChunkedStorageTest, NumbersFollowChunksAndUnits) {
  auto s = Make();
  EXPECT_EQ(Write(*s, mvbs4k), 0);
  EXPECT_EQ(Write(*s, mvbs4k), 1);
  EXPECT_EQ(Write(*s, mvbs8k), 1024);  // a chunk of its own
  EXPECT_EQ(Write(*s, mvbs8k), 1026);  // two units further
  EXPECT_EQ(Write(*s, mvbs64k), 2048);
  EXPECT_EQ(Write(*s, mvbs64k), 2064);
  EXPECT_EQ(s->GetSize(), 3 * kMB4);
  EXPECT_EQ(FileSize(*s), 3 * kMB4);
  EXPECT_EQ(s->GetInUse(), 2 * 4096 + 2 * 8192 + 2 * 65536);

  auto fresh = Make();
  for (int64_t i = 0; i < 1024; ++i) ASSERT_EQ(Write(*fresh, mvbs4k), i);
  EXPECT_EQ(fresh->GetSize(), kMB4);
  EXPECT_EQ(Write(*fresh, mvbs4k), 1024);  // the 1025th opens chunk 1
  EXPECT_EQ(Write(*fresh, mvbs4M, 9), 2048);
  EXPECT_EQ(Write(*fresh, mvbs4M, 10), 3072);
  EXPECT_EQ(Peek(*fresh, 2048, mvbs4M), Content(mvbs4M, 9));
  EXPECT_EQ(Peek(*fresh, 3072, mvbs4M), Content(mvbs4M, 10));
}

TEST_F(ChunkedStorageTest, ANumberThatAddressesNoStoredBlockOfTheSizeIsRefused) {
  auto s = Make();
  const TmvBlockTmpNum small = Write(*s, mvbs4k, 1);     // 0
  const TmvBlockTmpNum read = Write(*s, mvbs4k, 2);      // 1
  const TmvBlockTmpNum released = Write(*s, mvbs4k, 3);  // 2
  const TmvBlockTmpNum large = Write(*s, mvbs8k, 4);     // 1024
  std::vector<uint8_t> buffer(65536);
  s->ReadBlock(read, mvbs4k, buffer.data());
  s->ReleaseBlock(released, mvbs4k);
  const int64_t inUse = s->GetInUse();
  const struct {
    TmvBlockTmpNum Num;
    TmvBlockSizeAll Size;
  } cases[] = {{small, mvbs8k},     {large, mvbs4k},        {read, mvbs4k},  {released, mvbs4k},
               {large + 1, mvbs8k}, {small + 3, mvbs4k},    {2048, mvbs4k},  {-1, mvbs4k},
               {int64_t(1) << 40, mvbs4k}, {small, TmvBlockSizeAll(9)}};
  for (const auto& c : cases) {
    const std::function<void()> calls[] = {[&] { s->ReadBlock(c.Num, c.Size, buffer.data()); },
                                           [&] { s->PeekBlock(c.Num, c.Size, buffer.data()); },
                                           [&] { s->ReleaseBlock(c.Num, c.Size); }};
    for (const auto& call : calls) {
      String text;
      EXPECT_EQ(CodeOf(call, &text), 15496u) << c.Num << " " << int(c.Size);
      EXPECT_EQ(text, u"Temporary Storage: Invalid block number");
    }
  }
  EXPECT_EQ(s->GetInUse(), inUse);
  EXPECT_EQ(Peek(*s, small, mvbs4k), Content(mvbs4k, 1));
  EXPECT_EQ(Peek(*s, large, mvbs8k), Content(mvbs8k, 4));
}

TEST_F(ChunkedStorageTest, EmptiedChunksLeaveTheEndOfTheFileOrWaitForAnySize) {
  auto s = Make();
  ASSERT_EQ(Write(*s, mvbs4k), 0);
  ASSERT_EQ(Write(*s, mvbs8k), 1024);
  ASSERT_EQ(Write(*s, mvbs16k), 2048);
  s->ReleaseBlock(2048, mvbs16k);  // the only block of the last chunk
  EXPECT_EQ(s->GetSize(), 2 * kMB4);
  EXPECT_EQ(FileSize(*s), 2 * kMB4);
  ASSERT_EQ(Write(*s, mvbs16k), 2048);

  s->ReleaseBlock(1024, mvbs8k);  // a chunk in the middle: kept for the next size that needs one
  EXPECT_EQ(s->GetSize(), 3 * kMB4);
  EXPECT_EQ(FileSize(*s), 3 * kMB4);
  EXPECT_EQ(Write(*s, mvbs4k), 1);         // the 4 KB chunk still has room
  EXPECT_EQ(Write(*s, mvbs64k, 5), 1024);  // another size takes the empty chunk
  EXPECT_EQ(s->GetSize(), 3 * kMB4);

  // Empty chunks before an emptied last one go with it.
  s->ReleaseBlock(1024, mvbs64k);
  s->ReleaseBlock(2048, mvbs16k);
  EXPECT_EQ(s->GetSize(), kMB4);
  EXPECT_EQ(FileSize(*s), kMB4);
  s->ReleaseBlock(0, mvbs4k);
  s->ReleaseBlock(1, mvbs4k);
  EXPECT_EQ(s->GetSize(), 0);
  EXPECT_EQ(FileSize(*s), 0);
  EXPECT_EQ(s->GetInUse(), 0);
  EXPECT_EQ(Write(*s, mvbs32k), 0);
}

TEST_F(ChunkedStorageTest, AFullChunkWithAFreedPlaceIsUsedBeforeANewOne) {
  auto s = Make();
  for (int64_t i = 0; i < 1024; ++i) ASSERT_EQ(Write(*s, mvbs4k), i);
  s->ReleaseBlock(517, mvbs4k);
  EXPECT_EQ(Write(*s, mvbs4k), 517);
  EXPECT_EQ(Write(*s, mvbs4k), 1024);

  // A chunk of one 4 MB block: freed inside the file it becomes empty.
  auto big = Make();
  ASSERT_EQ(Write(*big, mvbs4M), 0);
  ASSERT_EQ(Write(*big, mvbs4M), 1024);
  big->ReleaseBlock(0, mvbs4M);
  EXPECT_EQ(big->GetSize(), 2 * kMB4);
  EXPECT_EQ(Write(*big, mvbs4k), 0);
}

TEST_F(ChunkedStorageTest, StatisticsGiveKilobytesWithSeparators) {
  TStringList captions, values, placeholders;
  TmvChunkedTempStorage::StaticClass.GetStatsCaptions(&captions);
  TmvChunkedTempStorage::StaticClass.GetStatsValuesStatic(&placeholders);
  auto s = Make();
  s->GetStatsValues(&values);
  EXPECT_EQ(Lines(captions), (std::vector<String>{u"Temporary Storage Total Size", u"Temporary Storage Used Size",
                                                  u"Temporary Storage Total Written",
                                                  u"Temporary Storage Total Read"}));
  const std::vector<String> zeros(4, u"0 kbyte");
  EXPECT_EQ(Lines(values), zeros);
  EXPECT_EQ(Lines(placeholders), zeros);

  Write(*s, mvbs4M);
  const TmvBlockTmpNum n = Write(*s, mvbs64k);
  std::vector<uint8_t> buffer(65536);
  s->ReadBlock(n, mvbs64k, buffer.data());
  values.Clear();
  s->GetStatsValues(&values);
  // The 64 KB chunk left the file with its block.
  EXPECT_EQ(Lines(values), (std::vector<String>{u"4,096 kbyte", u"4,096 kbyte", u"4,160 kbyte", u"64 kbyte"}));
}

// Random writes, peeks, reads and releases against a map of what must be
// stored. Besides the content it checks that a place is never handed out
// twice, that the file ends with the last chunk in use, and that the file
// only grows when no chunk of the size has room and no chunk is empty.
TEST_F(ChunkedStorageTest, RandomOperationsAgreeWithAModel) {
  auto s = Make();
  struct Stored {
    TmvBlockSizeAll Size;
    uint32_t Seed;
  };
  std::map<TmvBlockTmpNum, Stored> model;
  std::mt19937 random(42);
  std::vector<uint8_t> buffer(mvBlockBytes(mvbs4M));
  auto pick = [&] {
    auto it = model.begin();
    std::advance(it, random() % model.size());
    return it;
  };
  // Per chunk: its size and how many of its places are used, but for aLeave.
  auto chunks = [&](TmvBlockTmpNum aLeave) {
    std::map<int64_t, std::pair<TmvBlockSizeAll, uint32_t>> used;
    for (const auto& [num, stored] : model) {
      if (num == aLeave) continue;
      auto& entry = used[num / 1024];
      entry.first = stored.Size;
      ++entry.second;
    }
    return used;
  };
  int64_t inUse = 0;
  for (uint32_t step = 0; step < 5000; ++step) {
    // Writes outweigh the rest while few blocks are stored, so that the
    // model settles around 150 blocks.
    const uint32_t op = random() % 10;
    if (model.empty() || op < (model.size() < 150 ? 6u : 4u)) {
      // Mostly small blocks, and now and then a whole chunk.
      const auto size = random() % 100 == 0 ? mvbs4M : TmvBlockSizeAll(random() % 5);
      const int64_t before = s->GetSize();
      const TmvBlockTmpNum num = Write(*s, size, step);
      ASSERT_TRUE(model.emplace(num, Stored{size, step}).second) << "place handed out twice: " << num;
      ASSERT_EQ(num % mvBlockPages(size), 0);
      inUse += mvBlockBytes(size);
      if (s->GetSize() > before) {
        const auto used = chunks(num);
        for (int64_t c = 0; c < before / kMB4; ++c) {
          auto it = used.find(c);
          ASSERT_NE(it, used.end()) << "the file grew past the empty chunk " << c;
          ASSERT_FALSE(it->second.first == size && it->second.second < 1024 / mvBlockPages(size))
              << "the file grew past chunk " << c << " with room";
        }
      }
    } else {
      auto it = pick();
      const auto [num, stored] = *it;
      if (op < 7) {
        s->PeekBlock(num, stored.Size, buffer.data());
        ASSERT_TRUE(Matches(buffer, stored.Size, stored.Seed)) << num;
        continue;
      }
      if (op < 9) {
        s->ReadBlock(num, stored.Size, buffer.data());
        ASSERT_TRUE(Matches(buffer, stored.Size, stored.Seed)) << num;
      } else {
        s->ReleaseBlock(num, stored.Size);
      }
      model.erase(it);
      inUse -= mvBlockBytes(stored.Size);
      ASSERT_EQ(CodeOf([&] { s->ReleaseBlock(num, stored.Size); }), 15496u);
    }
    ASSERT_EQ(s->GetInUse(), inUse);
    const int64_t end = model.empty() ? 0 : (model.rbegin()->first / 1024 + 1) * kMB4;
    ASSERT_EQ(s->GetSize(), end) << step;
  }
  EXPECT_EQ(FileSize(*s), s->GetSize());
  for (const auto& [num, stored] : model) {
    s->PeekBlock(num, stored.Size, buffer.data());
    ASSERT_TRUE(Matches(buffer, stored.Size, stored.Seed)) << num;
  }
  for (const auto& [num, stored] : model) s->ReleaseBlock(num, stored.Size);
  EXPECT_EQ(s->GetSize(), 0);
  EXPECT_EQ(s->GetInUse(), 0);
}

// ---------------------------------------------------------------------------
// Failures of the file system

TEST_F(ChunkedStorageTest, AFileThatCannotBeMadeRaisesTheSystemError) {
  for (TmvFileOp op : {fopOpen, fopUnlink}) {
    fs.Reset();
    fs.FailAt(op, 1, EACCES);
    String text;
    EXPECT_EQ(CodeOf([&] { Make(); }, &text), 11047u);
    EXPECT_NE(text.find(u"Temporary Storage Manager"), String::npos) << UTF8Encode(text);
    EXPECT_EQ(fs.Calls(fopClose), op == fopUnlink ? 1u : 0u);  // a made file is closed again
  }
}

TEST_F(ChunkedStorageTest, AFailedGrowthOrWriteLeavesNoTrace) {
  auto s = Make();
  fs.FailAt(fopTruncate, 1, ENOSPC);
  EXPECT_EQ(CodeOf([&] { Write(*s, mvbs4k); }), 11047u);
  EXPECT_EQ(s->GetSize(), 0);
  EXPECT_EQ(s->ChunkCount(), 0);

  fs.FailAt(fopWrite, 1, EIO);
  EXPECT_EQ(CodeOf([&] { Write(*s, mvbs4k); }), 11047u);
  EXPECT_EQ(s->GetSize(), 0);  // the chunk taken for it went back
  EXPECT_EQ(FileSize(*s), 0);
  EXPECT_EQ(Write(*s, mvbs4k, 1), 0);

  fs.FailAt(fopWrite, 1, EIO);
  EXPECT_EQ(CodeOf([&] { Write(*s, mvbs4k); }), 11047u);
  EXPECT_EQ(s->GetInUse(), 4096);
  fs.ShortAt(fopWrite, 1, 100);  // a partial write goes on
  EXPECT_EQ(Write(*s, mvbs4k, 2), 1);
  EXPECT_EQ(Peek(*s, 1, mvbs4k), Content(mvbs4k, 2));
  EXPECT_EQ(s->GetInUse(), 8192);
}

TEST_F(ChunkedStorageTest, AFailedReadKeepsTheBlock) {
  auto s = Make();
  const TmvBlockTmpNum n = Write(*s, mvbs16k, 3);
  std::vector<uint8_t> buffer(16384);
  fs.FailAt(fopRead, 1, EIO);
  EXPECT_EQ(CodeOf([&] { s->ReadBlock(n, mvbs16k, buffer.data()); }), 11047u);
  EXPECT_EQ(s->GetInUse(), 16384);
  s->ReadBlock(n, mvbs16k, buffer.data());
  EXPECT_EQ(buffer, Content(mvbs16k, 3));
  EXPECT_EQ(s->GetSize(), 0);
}

TEST_F(ChunkedStorageTest, GivingSpaceBackIsBestEffortAndLogged) {
  TTestLog log;
  auto s = Make();
  Write(*s, mvbs4k, 1);
  const TmvBlockTmpNum middle = Write(*s, mvbs8k, 2);
  const TmvBlockTmpNum last = Write(*s, mvbs16k, 3);
  std::vector<uint8_t> buffer(16384);

  fs.FailAt(fopTruncate, 1, EIO);
  s->ReadBlock(last, mvbs16k, buffer.data());  // the content reaches the caller all the same
  EXPECT_EQ(buffer, Content(mvbs16k, 3));
  EXPECT_EQ(s->GetSize(), 2 * kMB4);
  EXPECT_EQ(FileSize(*s), 3 * kMB4);
  ASSERT_EQ(log.Messages().size(), 1u);
  EXPECT_NE(log.Messages()[0].find(u"Temporary Storage Manager"), String::npos);
  EXPECT_EQ(Write(*s, mvbs16k, 4), last);
  EXPECT_EQ(FileSize(*s), 3 * kMB4);

  if (s->Sparse()) {
    const uint64_t holes = fs.Calls(fopPunchHole);
    fs.FailAt(fopPunchHole, 1, EIO);
    s->ReleaseBlock(middle, mvbs8k);
    EXPECT_EQ(fs.Calls(fopPunchHole), holes + 1);
    EXPECT_EQ(log.Messages().size(), 2u);
    EXPECT_EQ(Write(*s, mvbs8k, 5), middle);
    s->ReleaseBlock(middle, mvbs8k);  // this time the space goes back
    EXPECT_EQ(fs.Calls(fopPunchHole), holes + 2);
    EXPECT_EQ(log.Messages().size(), 2u);
  }
}

TEST_F(ChunkedStorageTest, AFileSystemWithoutSparseFilesGetsNoHoles) {
  TTestLog log;
  fs.FailAt(fopPunchHole, 1, EOPNOTSUPP);
  auto s = Make();
  EXPECT_FALSE(s->Sparse());
  Write(*s, mvbs4k);
  const TmvBlockTmpNum middle = Write(*s, mvbs8k);
  Write(*s, mvbs16k);
  s->ReleaseBlock(middle, mvbs8k);
  EXPECT_EQ(fs.Calls(fopPunchHole), 1u);  // the question at creation only
  EXPECT_TRUE(log.Messages().empty());
}

// Dropped writes cost nothing, so that many chunks can be counted: past 29
// chunks the bookkeeping takes a second info block and gives it back.
TEST_F(ChunkedStorageTest, ChunksBeyondOneInfoBlock) {
  auto s = Make();
  fs.CrashAfterWrites(0);
  const std::vector<uint8_t> block(mvBlockBytes(mvbs4M));
  for (int64_t c = 0; c < 30; ++c) ASSERT_EQ(s->WriteBlock(block.data(), mvbs4M), c * 1024);
  EXPECT_EQ(s->GetSize(), 30 * kMB4);
  s->ReleaseBlock(29 * 1024, mvbs4M);
  EXPECT_EQ(s->ChunkCount(), 29);
  EXPECT_EQ(Write(*s, mvbs8k), 29 * 1024);
  s->ReleaseBlock(3 * 1024, mvbs4M);
  EXPECT_EQ(Write(*s, mvbs64k), 3 * 1024);
  for (int64_t c = 0; c < 29; ++c) s->ReleaseBlock(c * 1024, c == 3 ? mvbs64k : mvbs4M);
  s->ReleaseBlock(29 * 1024, mvbs8k);
  EXPECT_EQ(s->ChunkCount(), 0);
  EXPECT_EQ(s->GetInUse(), 0);
}

// ---------------------------------------------------------------------------
// The block cache with this storage

TEST_F(ChunkedStorageTest, TheCacheSpillsBlocksOfTemporaryTablesAndReadsThemBack) {
  ASSERT_EQ(mvTempStorageClass.load(), &TmvChunkedTempStorage::StaticClass);
  cache->SetMaxRAM(1);  // 256 pages of 4 KB
  cache->SetTempStoreSize(1);
  auto* storage = dynamic_cast<TmvChunkedTempStorage*>(cache->bmTempStore);
  ASSERT_NE(storage, nullptr);
  {
    OpenTable t(cache, folder.Name("t.mv1"), omReadWrite, TableKind::Temporary);
    ASSERT_EQ(t.Add(), 0);
    constexpr TmvBlockNumber kBlocks = 600;
    for (TmvBlockNumber n = 1; n < kBlocks; ++n) {
      TmvReleaseMethod release;
      uint8_t* b = cache->AddBlock(t.file, nullptr, n, release);
      FillBlock(b, 4096, 0, n, 0);
      release(b);
    }
    EXPECT_LE(cache->ResidentPages(), 256);
    EXPECT_GT(storage->GetInUse(), 300 * 4096);
    for (int round = 0; round < 2; ++round) {
      for (TmvBlockNumber n = 1; n < kBlocks; ++n) {
        TmvReleaseMethod release;
        uint8_t* b = cache->GetBlock(t.file, nullptr, n, false, release);
        ASSERT_TRUE(BlockMatches(b, 4096, 0, n, nullptr)) << n;
        release(b);
      }
    }
    TStringList captions, values;
    cache->GetStatsCaptions(&captions);
    cache->GetStatsValues(&values);
    ASSERT_EQ(captions.Count(), values.Count());
    const int32_t written = captions.IndexOf(u"Temporary Storage Total Written");
    const int32_t read = captions.IndexOf(u"Temporary Storage Total Read");
    ASSERT_GE(written, 0);
    ASSERT_GE(read, 0);
    EXPECT_NE(values.Strings(written), u"0 kbyte");
    EXPECT_NE(values.Strings(read), u"0 kbyte");
  }
  EXPECT_EQ(storage->GetInUse(), 0);  // the table's blocks left the storage with it
  EXPECT_EQ(storage->GetSize(), 0);
}

}  // namespace
