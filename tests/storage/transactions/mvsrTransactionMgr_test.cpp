// The folder transaction manager: the LSN it continues from, taken from
// "mvTrans.cfg" and the table files' headers, what it writes, and folders
// in memory, read-only or not writable.
#include <gtest/gtest.h>

#include <filesystem>

#include "storage/StorageTestSupport.h"
#include "storage/transactions/mvseJournalEngine.h"
#include "storage/transactions/mvsrTransactionMgr.h"

namespace {

using namespace storage_test;

class TransactionMgrTest : public StorageTest {
 protected:
  // A table file whose block 0 carries aLSN at bytes 8..15.
  void Table(const std::string& aName, uint64_t aLSN) { WriteBytes(folder.File(aName), HeaderBlock(4096, 1, 47005, 0, TmvLSN(aLSN))); }
  void Config(std::vector<uint8_t> aBytes) { WriteBytes(folder.File("mvTrans.cfg"), aBytes); }
  std::vector<uint8_t> ConfigBytes() const { return ReadBytes(folder.File("mvTrans.cfg")); }
  static std::vector<uint8_t> U64(uint64_t aValue) {
    std::vector<uint8_t> b(8);
    mvPutU64(b.data(), 0, aValue);
    return b;
  }
  TmvLSN Establish(bool aReadOnly = false) {
    TmvServerTransactionMgr mgr(cache, folder.Name(""), aReadOnly);
    return mgr.EstablishedLSN();
  }
};

TEST_F(TransactionMgrTest, TheValueIsOneAboveTheHighestTableLSNOrTheFilesWhicheverIsHigherAndIsWrittenBack) {
  struct Case {
    const char* label;
    std::vector<std::pair<std::string, uint64_t>> tables;
    std::vector<uint8_t> config;  // empty: no file
    TmvLSN expected;
  } cases[] = {
      {"empty folder", {}, {}, 1},
      {"tables, no file", {{"a.mv1", 41}, {"B.MV1", 77}, {"c.txt", 500}}, {}, 78},
      {"file above the tables", {{"a.mv1", 41}}, U64(1000), 1000},
      {"file below the tables", {{"a.mv1", 41}}, U64(5), 42},
      {"7 bytes", {{"a.mv1", 41}}, std::vector<uint8_t>(7, 0xFF), 42},
      {"9 bytes", {{"a.mv1", 41}}, std::vector<uint8_t>(9, 0x7F), 42},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    for (const auto& entry : std::filesystem::directory_iterator(folder.File(""))) std::filesystem::remove(entry);
    for (const auto& [name, lsn] : c.tables) Table(name, lsn);
    if (!c.config.empty()) Config(c.config);
    {
      TmvServerTransactionMgr mgr(cache, folder.Name(""), false);
      EXPECT_FALSE(mgr.ReadOnly());
      EXPECT_EQ(mgr.EstablishedLSN(), c.expected);
      EXPECT_EQ(ConfigBytes(), U64(uint64_t(c.expected)));  // written at once
      EXPECT_GE(cache->NextLSN(), c.expected + 1);  // the counter was raised
    }
    // On close: the engine's next LSN, never below what was established.
    EXPECT_EQ(ConfigBytes().size(), 8u);
    EXPECT_GT(mvGetU64(ConfigBytes().data(), 0), uint64_t(c.expected));
  }
}

TEST_F(TransactionMgrTest, TheCounterNeverFallsWhenAnotherFolderOpens) {
  Table("a.mv1", 900);
  EXPECT_EQ(Establish(), 901);
  const TmvLSN next = cache->NextLSN();
  TempFolder other;
  TmvServerTransactionMgr low(cache, other.Name(""), false);
  EXPECT_EQ(low.EstablishedLSN(), 1);
  EXPECT_GT(cache->NextLSN(), next);
}

TEST_F(TransactionMgrTest, InMemoryTouchesNoFileReadOnlyOnlyReadsAndARefusedCreationTurnsTheFolderReadOnly) {
  const uint64_t before[] = {fs.Calls(fopOpen), fs.Calls(fopList), fs.Calls(fopStat)};
  for (const char16_t* path : {u"", u"#memory"}) {
    TmvServerTransactionMgr mgr(cache, path, false);
    EXPECT_EQ(mgr.EstablishedLSN(), 1);
    EXPECT_TRUE(mgr.InMemory());
    EXPECT_EQ(mgr.CreateJournalEngine(5), nullptr);
  }
  EXPECT_EQ(fs.Calls(fopOpen), before[0]);
  EXPECT_EQ(fs.Calls(fopList), before[1]);
  EXPECT_EQ(fs.Calls(fopStat), before[2]);

  Table("a.mv1", 41);
  const uint64_t writes = fs.Calls(fopWrite);
  {
    TmvServerTransactionMgr mgr(cache, folder.Name(""), true);
    EXPECT_EQ(mgr.EstablishedLSN(), 42);
    EXPECT_EQ(mgr.CreateJournalEngine(5), nullptr);
  }
  EXPECT_FALSE(std::filesystem::exists(folder.File("mvTrans.cfg")));
  Config(U64(60));
  EXPECT_EQ(Establish(true), 60);
  EXPECT_EQ(ConfigBytes(), U64(60));
  EXPECT_EQ(fs.Calls(fopWrite), writes);

  std::filesystem::remove(folder.File("mvTrans.cfg"));
  TTestLog log;
  fs.FailAt(fopOpen, 1, EACCES);  // creating the file
  {
    TmvServerTransactionMgr mgr(cache, folder.Name(""), false);
    EXPECT_TRUE(mgr.ReadOnly());
    EXPECT_EQ(mgr.EstablishedLSN(), 42);
  }
  EXPECT_FALSE(log.Messages().empty());
  fs.Reset();
  TmvServerTransactionMgr mgr(cache, folder.Name(""), false);
  std::unique_ptr<TmvBaseJournalEngine> journal(mgr.CreateJournalEngine(17));
  ASSERT_NE(journal, nullptr);
  EXPECT_EQ(journal->bjeFileName, folder.Name("17.n$2"));
  EXPECT_EQ(&journal->ClassType(), &Tmv1xRollbackJournalEngine::StaticClass);
}

TEST_F(TransactionMgrTest, AFileOlderThanATableByMoreThanTheMarginIsNotUsed) {
  Table("a.mv1", 10);
  Config(U64(5000));
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(48);
  std::filesystem::last_write_time(folder.File("mvTrans.cfg"), old);
  EXPECT_EQ(Establish(), 11);
  Config(U64(5000));
  EXPECT_EQ(Establish(), 5000);  // current again
}

}  // namespace
