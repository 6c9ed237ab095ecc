// The journal engines: the bytes of a journal a commit writes, and the
// recovery scan over journals composed byte by byte (complete or not, of
// each kind, damaged, cut, naming files elsewhere, huge offsets and blocks,
// held by another process).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "storage/StorageTestSupport.h"
#include "storage/transactions/mvseJournalEngine.h"

namespace {

using namespace storage_test;

// A journal composed from the format.
struct TJournalBytes {
  std::vector<uint8_t> bytes;
  TJournalBytes(uint32_t aCompleted, uint32_t aKind) : bytes(12, 0) {
    std::memcpy(bytes.data(), "MVJH", 4);
    mvPutU32(bytes.data(), 4, aCompleted);
    mvPutU32(bytes.data(), 8, aKind);
  }
  TJournalBytes& Entry(uint32_t aBlock, bool aBefore, const std::string& aName, const std::vector<uint8_t>& aImage,
                       uint8_t aCode = 0) {
    std::vector<uint8_t> record(268, 0);
    std::memcpy(record.data(), "MVJR", 4);
    mvPutU32(record.data(), 4, aBlock);
    record[8] = aCode;
    record[9] = aBefore ? 0xFF : 0;
    record[12] = uint8_t(aName.size());
    std::memcpy(record.data() + 13, aName.data(), aName.size());
    bytes.insert(bytes.end(), record.begin(), record.end());
    bytes.insert(bytes.end(), aImage.begin(), aImage.end());
    return *this;
  }
};

std::vector<uint8_t> PatternBlock(uint32_t aBlock, uint32_t aVersion) {
  std::vector<uint8_t> b(4096);
  FillBlock(b.data(), 4096, 0, aBlock, aVersion);
  return b;
}

class JournalTest : public TableTest {
 protected:
  // The version of block n of a table file on disk; -1 for another content.
  int64_t DiskVersion(const std::string& aName, uint32_t aBlock) {
    const std::vector<uint8_t> image = ReadBytes(folder.File(aName));
    uint32_t version = 0;
    if (image.size() < size_t(aBlock + 1) * 4096) return -1;
    return BlockMatches(image.data() + size_t(aBlock) * 4096, 4096, 0, aBlock, &version) ? int64_t(version) : -1;
  }
  bool Exists(const std::string& aName) const { return std::filesystem::exists(folder.File(aName)); }
  void Check(const TmvJournalEngineClassRef& aClass = Tmv1xRollbackJournalEngine::StaticClass) {
    aClass.Check(u"alias", folder.Name(""));
  }
};

TEST_F(JournalTest, ACommitJournalsBeforeThenAfterImagesOfEachBlockOnceAndNoBeforeImageOfANewBlock) {
  auto t = Table("g.mv1", 3);
  t.reset();  // the journal is written beside a table the cache has
  auto table = Table("g.mv1", 3);
  const TmvJournalEngineClassRef* saved = mvDefaultJournalEngineClass.exchange(&Tmv1xJournalEngine::StaticClass);
  const std::vector<uint8_t> oldZero = ReadBytes(folder.File("g.mv1"));
  TTestTransaction trans(cache);
  trans.SetJournalled(true);
  Write(*table, &trans, 1, 1);
  Write(*table, &trans, 1, 2);  // the same block again: one entry pair
  SetUsedBlocks(*table, &trans, 4);
  Append(*table, &trans, 3, 1);  // beyond the file's end: after image only
  // Cut after the header, 5 entries, the completed header and the 3 table
  // blocks: the journal stays as it was complete, for the test to read.
  fs.CrashAfterWrites(10);
  trans.Commit();
  EXPECT_TRUE(fs.Crashed());
  fs.Reset();
  const std::string name = std::to_string(trans.LSN()) + ".n$2";
  const std::vector<uint8_t> j = ReadBytes(folder.File(name));
  const std::vector<uint8_t> table0 = ReadBytes(folder.File("g.mv1"));
  ASSERT_EQ(j.size(), 12u + 5 * (268 + 4096));
  EXPECT_EQ(std::vector<uint8_t>(j.begin(), j.begin() + 12),
            (std::vector<uint8_t>{'M', 'V', 'J', 'H', 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
  // Block 0 (stamped), 1, 3: before then after; none before for 3.
  const struct {
    uint32_t block;
    uint8_t flag;
    std::vector<uint8_t> image;
  } expected[] = {{0, 0xFF, std::vector<uint8_t>(oldZero.begin(), oldZero.begin() + 4096)},
                  {0, 0x00, std::vector<uint8_t>(table0.begin(), table0.begin() + 4096)},
                  {1, 0xFF, PatternBlock(1, 0)},
                  {1, 0x00, PatternBlock(1, 2)},
                  {3, 0x00, PatternBlock(3, 1)}};
  for (size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    const uint8_t* r = j.data() + 12 + i * (268 + 4096);
    std::vector<uint8_t> record(268, 0);
    std::memcpy(record.data(), "MVJR", 4);
    mvPutU32(record.data(), 4, expected[i].block);
    record[9] = expected[i].flag;
    record[12] = 5;
    std::memcpy(record.data() + 13, "g.mv1", 5);
    EXPECT_EQ(std::vector<uint8_t>(r, r + 268), record);
    EXPECT_EQ(std::vector<uint8_t>(r + 268, r + 268 + 4096), expected[i].image);
  }
  mvDefaultJournalEngineClass.store(saved);
}

TEST_F(JournalTest, ANameTheJournalCannotHoldFailsTheCommitBeforeAnyWrite) {
  auto t = Table("caf\xC3\xA9.mv1", 3);  // no "é" in the system code page
  TTestTransaction trans(cache);
  trans.SetJournalled(true);
  Write(*t, &trans, 1, 1);
  String text;
  EXPECT_EQ(CodeOf([&] { trans.Commit(); }, &text), 9218u);
  EXPECT_NE(text.find(u"more than 255 bytes"), String::npos);
  EXPECT_TRUE(fs.writes.empty());
  EXPECT_EQ(Version(*t, nullptr, 1), 0);
  trans.Rollback();
  EXPECT_FALSE(mvFatalError.load());
}

TEST_F(JournalTest, CheckDiscardsIncompleteJournalsAndReplaysTheImagesOfTheKindThatUndoesOrRedoes) {
  struct Case {
    const char* label;
    uint32_t completed, kind;
    const TmvJournalEngineClassRef* scanner;
    int64_t block1, block2;  // versions on disk afterwards
  } cases[] = {
      {"incomplete", 0, 2, &Tmv1xRollbackJournalEngine::StaticClass, 5, 5},
      {"commit journal", 0xFFFFFFFF, 1, &Tmv1xRollbackJournalEngine::StaticClass, 9, 9},
      {"rollback journal", 0xFFFFFFFF, 2, &Tmv1xCommitJournalEngine::StaticClass, 0, 0},
      {"both, by a rollback scan", 0xFFFFFFFF, 0, &Tmv1xRollbackJournalEngine::StaticClass, 0, 0},
      {"both, by a commit scan", 0xFFFFFFFF, 0, &Tmv1xCommitJournalEngine::StaticClass, 9, 9},
      {"both, by a scan of both", 0xFFFFFFFF, 0, &Tmv1xJournalEngine::StaticClass, 9, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<uint8_t> table = TableImage(3);
    for (uint32_t n : {1u, 2u}) FillBlock(table.data() + n * 4096, 4096, 0, n, 5);  // half-written
    WriteBytes(folder.File("t.mv1"), table);
    TJournalBytes j(c.completed, c.kind);
    for (uint32_t n : {1u, 2u}) {
      if (c.kind != 1) j.Entry(n, true, "t.mv1", PatternBlock(n, 0));
      if (c.kind != 2) j.Entry(n, false, "t.mv1", PatternBlock(n, 9));
    }
    WriteBytes(folder.File("7.n$2"), j.bytes);
    const size_t writes = fs.writes.size();
    Check(*c.scanner);
    EXPECT_FALSE(Exists("7.n$2"));
    EXPECT_EQ(DiskVersion("t.mv1", 1), c.block1);
    EXPECT_EQ(DiskVersion("t.mv1", 2), c.block2);
    if (c.completed == 0) {
      EXPECT_EQ(fs.writes.size(), writes);
    }
  }
  // Journals cut while their header was written (a process killed as it
  // created one) were never complete: they go without a word.
  {
    TTestLog log;
    WriteBytes(folder.File("8.n$2"), {});
    WriteBytes(folder.File("9.n$2"), {'M', 'V', 'J', 'H', 0});
    Check();
    EXPECT_FALSE(Exists("8.n$2"));
    EXPECT_FALSE(Exists("9.n$2"));
    EXPECT_TRUE(log.Messages().empty());
  }
  // No journal at all: nothing happens.
  const uint64_t opens = fs.Calls(fopOpen);
  Check();
  EXPECT_EQ(fs.Calls(fopOpen), opens);
}

TEST_F(JournalTest, ADamagedJournalIsLeftWithItsErrorLoggedAndNothingAppliedWhileTheOthersGoOn) {
  struct Case {
    const char* label;
    std::vector<uint8_t> bytes;
    const char16_t* logged;  // the start of the logged error
  };
  auto good = [](uint32_t aBlock) {
    return TJournalBytes(0xFFFFFFFF, 1).Entry(aBlock, false, "t.mv1", PatternBlock(aBlock, 9));
  };
  std::vector<Case> cases;
  {
    TJournalBytes j = good(1);
    std::memcpy(j.bytes.data(), "XXXX", 4);
    cases.push_back({"signature", j.bytes, u"is not a MorvaDB formatted file, or its file header is corrupt"});
  }
  {
    TJournalBytes j = good(1);
    j.bytes.resize(j.bytes.size() + 100, 0);  // a cut second record
    cases.push_back({"cut record", j.bytes, u"INTERNAL: Could not read exact number of bytes from file ["});
  }
  {
    TJournalBytes j = good(1);
    j.bytes.resize(j.bytes.size() - 1);  // a cut image
    cases.push_back({"cut image", j.bytes, u"INTERNAL: Could not read exact number of bytes from file ["});
  }
  for (const char* name : {"../t.mv1", "sub/t.mv1", ".."})
    cases.push_back({name,
                     good(1).Entry(2, false, name, PatternBlock(2, 9)).bytes,
                     u"Journal"});
  {
    TJournalBytes j = good(1);
    j.bytes[12 + 8] = 6;  // block size code
    cases.push_back({"size code", j.bytes, u"Journal"});
  }
  {
    TJournalBytes j = good(1).Entry(2, false, "t.mv1", PatternBlock(2, 9));
    std::memcpy(j.bytes.data() + 12 + 268 + 4096, "MVJX", 4);
    cases.push_back({"second record's signature", j.bytes, u"Journal"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TTestLog log;
    WriteBytes(folder.File("t.mv1"), TableImage(3));
    WriteBytes(folder.File("1.n$2"), c.bytes);
    WriteBytes(folder.File("2.N$2"), good(2).bytes);  // the extension in any case
    Check();
    EXPECT_TRUE(Exists("1.n$2"));
    EXPECT_FALSE(Exists("2.N$2"));
    EXPECT_EQ(DiskVersion("t.mv1", 1), 0);  // nothing of the damaged journal
    EXPECT_EQ(DiskVersion("t.mv1", 2), 9);
    const std::vector<String> lines = log.Messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(c.logged), String::npos) << UTF8Encode(lines[0]);
    std::filesystem::remove(folder.File("1.n$2"));
  }
  // The exact texts of a bad signature and a cut record.
  TTestLog log;
  TJournalBytes j = good(1);
  std::memcpy(j.bytes.data(), "XXXX", 4);
  WriteBytes(folder.File("3.n$2"), j.bytes);
  const std::vector<uint8_t> whole = good(1).bytes;
  WriteBytes(folder.File("4.n$2"), std::vector<uint8_t>(whole.begin(), whole.begin() + 100));
  Check();
  const std::vector<String> lines = log.Messages();
  ASSERT_EQ(lines.size(), 2u);
  const String three = folder.Name("3.n$2"), four = folder.Name("4.n$2");
  const String bad = u"\"" + three + u"\" is not a MorvaDB formatted file, or its file header is corrupt";
  const String cut = u"INTERNAL: Could not read exact number of bytes from file [" + four + u", 268 bytes]";
  EXPECT_TRUE(lines[0].find(bad) != String::npos || lines[1].find(bad) != String::npos);
  EXPECT_TRUE(lines[0].find(cut) != String::npos || lines[1].find(cut) != String::npos);
}

TEST_F(JournalTest, CheckWritesABlockBeyondFourGigabytesAtItsOffsetAndFourMegabyteImagesWhole) {
  WriteBytes(folder.File("t.mv1"), TableImage(3));
  const uint32_t far = (1u << 20) + 1;  // 4 KB blocks: byte 4 GB + 4 KB
  std::vector<uint8_t> big(4u << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
  WriteBytes(folder.File("1.n$2"), TJournalBytes(0xFFFFFFFF, 1)
                                        .Entry(far, false, "t.mv1", PatternBlock(far, 3))
                                        .Entry(1, false, "u.mv1", big, 5)
                                        .bytes);
  WriteBytes(folder.File("u.mv1"), std::vector<uint8_t>(16, 1));
  Check();
  EXPECT_FALSE(Exists("1.n$2"));
  EXPECT_EQ(std::filesystem::file_size(folder.File("t.mv1")), (uint64_t(far) + 1) * 4096);
  std::ifstream f(folder.File("t.mv1"), std::ios::binary);
  f.seekg(std::streamoff(uint64_t(far) * 4096));
  std::vector<uint8_t> block(4096);
  f.read(reinterpret_cast<char*>(block.data()), 4096);
  EXPECT_EQ(block, PatternBlock(far, 3));
  const std::vector<uint8_t> u = ReadBytes(folder.File("u.mv1"));
  ASSERT_EQ(u.size(), size_t(8u << 20));
  EXPECT_TRUE(std::equal(big.begin(), big.end(), u.begin() + (4u << 20)));
  std::filesystem::remove(folder.File("t.mv1"));  // a sparse file of 4 GB
}

TEST_F(JournalTest, CheckLeavesAJournalAnotherProcessHoldsAndRefusesAMissingFolder) {
  WriteBytes(folder.File("t.mv1"), TableImage(3));
  WriteBytes(folder.File("5.n$2"),
             TJournalBytes(0xFFFFFFFF, 1).Entry(1, false, "t.mv1", PatternBlock(1, 9)).bytes);
  // The writer's lock on the journal, as a committing process holds it.
  const int held = ::open(folder.File("5.n$2").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(mvPosixFileSystem().Lock(held, true), 0);
  {
    TTestLog log;
    Check();
    EXPECT_TRUE(Exists("5.n$2"));
    EXPECT_EQ(DiskVersion("t.mv1", 1), 0);
    EXPECT_EQ(log.Messages().size(), 1u);
  }
  ::close(held);
  Check();
  EXPECT_FALSE(Exists("5.n$2"));
  EXPECT_EQ(DiskVersion("t.mv1", 1), 9);
  String text;
  EXPECT_EQ(CodeOf([&] { Tmv1xRollbackJournalEngine::Check(u"a", folder.Name("missing")); }, &text), 10018u);
  EXPECT_EQ(text, u"The alias references a directory that does not exist.");
}

}  // namespace
