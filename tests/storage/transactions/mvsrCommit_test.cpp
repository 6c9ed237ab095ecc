// Tests of the outermost commit and the flush: what is written, in which
// order, with block 0 stamped and last and every file synced before the
// commit returns; failures before writing (taken back) and while writing
// (fatal); crashes at every write; temporary tables; the journal and
// replication hooks; the counters.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "storage/StorageTestSupport.h"

using namespace storage_test;

namespace {

class CommitTest : public TableTest {
 protected:
  // The events of each descriptor as block numbers, -1 standing for a sync.
  std::map<int, std::vector<int64_t>> EventsByHandle() const {
    std::map<int, std::vector<int64_t>> byHandle;
    for (const auto& e : fs.events) byHandle[e.Handle].push_back(e.Op == fopSync ? -1 : e.Offset / 4096);
    return byHandle;
  }
  // The version that block n of a file on disk holds; -1 for none.
  int64_t DiskVersion(const std::string& aName, TmvBlockNumber aBlock, uint32_t aFile) {
    const std::vector<uint8_t> disk = ReadBytes(folder.File(aName));
    uint32_t version = 0;
    if (disk.size() < (aBlock + 1) * size_t(4096)) return -1;
    return BlockMatches(disk.data() + aBlock * 4096, 4096, aFile, aBlock, &version) ? int64_t(version) : -1;
  }
  TmvLSN DiskLSN(const std::string& aName) { return mvBchLSN(ReadBytes(folder.File(aName)).data()); }
};

TEST_F(CommitTest, ACommitWithoutChangesWritesNothing) {
  auto t = Table("e.mv1", 3);
  fs.events.clear();
  TTestTransaction trans(cache);
  EXPECT_EQ(Version(*t, &trans, 1), 0);  // reading changes nothing
  trans.Commit();
  EXPECT_TRUE(fs.events.empty());
  EXPECT_EQ(cache->bmTransCommitCount, 1u);
}

TEST_F(CommitTest, EachFileGetsTheLSNInBlockZeroWrittenLastThenEveryFileIsSynced) {
  auto a = Table("a.mv1", 4, 1);
  auto b = Table("b.mv1", 4, 2);
  for (bool sync : {true, false}) {
    cache->SetSyncOnCommit(sync);
    fs.events.clear();
    const uint32_t v = sync ? 1 : 2;
    TTestTransaction trans(cache);
    Write(*a, &trans, 2, v, 1);
    Write(*b, &trans, 3, v, 2);
    Write(*b, &trans, 1, v, 2);
    trans.Commit();
    std::vector<std::vector<int64_t>> perFile;
    for (auto& [handle, events] : EventsByHandle()) perFile.push_back(events);
    std::sort(perFile.begin(), perFile.end(), [](auto& x, auto& y) { return x.size() < y.size(); });
    const std::vector<std::vector<int64_t>> expected =
        sync ? std::vector<std::vector<int64_t>>{{2, 0, -1}, {3, 1, 0, -1}}
             : std::vector<std::vector<int64_t>>{{2, 0}, {3, 1, 0}};
    EXPECT_EQ(perFile, expected) << sync;
    if (sync) {  // both files are written before either is synced
      EXPECT_EQ(fs.events[fs.events.size() - 2].Op, fopSync);
      EXPECT_EQ(fs.events[fs.events.size() - 3].Op, fopWrite);
    }
    EXPECT_EQ(DiskLSN("a.mv1"), trans.LSN());
    EXPECT_EQ(DiskLSN("b.mv1"), trans.LSN());
    EXPECT_EQ(DiskVersion("a.mv1", 2, 1), v);
    EXPECT_EQ(DiskVersion("b.mv1", 1, 2), v);
    EXPECT_EQ(DiskVersion("b.mv1", 3, 2), v);
  }
}

TEST_F(CommitTest, AFailedWriteGrowthOrSyncIsFatalForEveryLaterFlush) {
  struct Case {
    TmvFileOp op;
    const char16_t* message;
  };
  TTestLog log;
  for (const Case& c : {Case{fopWrite, u"INTERNAL: Error when writing to file"},
                        Case{fopTruncate, u"INTERNAL: Error when setting end-of-file"},
                        Case{fopSync, u"INTERNAL: Error when flushing file"}}) {
    {
      auto t = Table("f" + std::to_string(c.op) + ".mv1", 4);
      TTestTransaction trans(cache);
      Write(*t, &trans, 1, 1);
      SetUsedBlocks(*t, &trans, 5);
      Append(*t, &trans, 4, 1);  // the file grows
      fs.FailAt(c.op, 1, EIO);
      String text;
      EXPECT_EQ(CodeOf([&] { trans.Commit(); }, &text), 9218u);
      EXPECT_EQ(text.substr(0, std::u16string_view(c.message).size()), c.message);
      EXPECT_TRUE(mvFatalError.load());
      trans.Rollback();
      const size_t written = fs.writes.size();
      TTestTransaction later(cache);
      Write(*t, &later, 2, 1);
      EXPECT_EQ(CodeOf([&] { later.Commit(); }, &text), 15443u);
      EXPECT_EQ(text, mvFatalErrorText);
      EXPECT_EQ(fs.writes.size(), written);  // nothing more is written
      later.Rollback();
    }  // the table closes although its writes stay queued
    EXPECT_FALSE(log.lines.empty());
    mvClearFatalErrorForTesting();
    fs.Reset();
  }
}

TEST_F(CommitTest, AFailureBeforeWritingTakesBackTheCommittedBlocks) {
  // Block 0 says it is block 7: stamping it fails after the data blocks
  // were committed. With a snapshot their content comes back from the
  // images kept for it, without from disk.
  std::vector<uint8_t> image = TableImage(4);
  mvPutU32(image.data(), mvBchThisBlockOffset, 7);
  WriteBytes(folder.File("bad.mv1"), image);
  for (bool withSnapshot : {false, true}) {
    OpenTable t(cache, folder.Name("bad.mv1"));
    ASSERT_EQ(t.Add(), 0);
    t.release(t.header);
    cache->SetNextLSN(100);  // above block 0's LSN: it must be stamped
    TTestTransaction snapshot(cache, true);
    if (withSnapshot) {
      EXPECT_EQ(Version(t, &snapshot, 1), 0);
    }
    TTestTransaction trans(cache);
    Write(t, &trans, 1, 1);
    Write(t, &trans, 2, 1);
    const uint64_t reads = cache->BlocksRead();
    EXPECT_EQ(CodeOf([&] { trans.Commit(); }), 8962u);
    EXPECT_FALSE(mvFatalError.load());
    EXPECT_TRUE(fs.writes.empty());
    EXPECT_EQ(Version(t, nullptr, 1), 0);
    EXPECT_EQ(Version(t, nullptr, 2), 0);
    EXPECT_EQ(cache->BlocksRead() - reads, withSnapshot ? 0u : 2u);
    trans.Rollback();
    EXPECT_TRUE(trans.Ended());
    snapshot.Rollback();
  }
}

TEST_F(CommitTest, ABadBlockInTheCommitTakesBackTheBlocksAndCountsCommittedBeforeIt) {
  auto t = Table("m.mv1", 4);
  // A snapshot keeps block 1's version 0 from an earlier commit: what comes
  // back is the version before the failed commit, 1, not the snapshot's.
  TTestTransaction snapshot(cache, true);
  EXPECT_EQ(Version(*t, &snapshot, 1), 0);
  TTestTransaction earlier(cache);
  Write(*t, &earlier, 1, 1);
  earlier.Commit();
  fs.writes.clear();
  TTestTransaction trans(cache);
  Write(*t, &trans, 1, 2);
  SetUsedBlocks(*t, &trans, 5);
  Append(*t, &trans, 4, 1);
  TmvReleaseMethod release;
  uint8_t* bad = cache->GetBlock(t->file, &trans, 2, true, release);
  mvPutU32(bad, mvBchThisBlockOffset, 9);
  release(bad);
  EXPECT_EQ(CodeOf([&] { trans.Commit(); }), 8962u);
  TmvBlockAccess access(t->file, nullptr, u"m", 0);
  EXPECT_EQ(t->file->fiUsedBlocks, 4u);
  EXPECT_FALSE(access.ValidBlock(4, static_cast<TmvBaseTransaction*>(nullptr)));
  EXPECT_EQ(Version(*t, nullptr, 1), 1);
  EXPECT_EQ(Version(*t, &snapshot, 1), 0);
  {
    TmvBufferManagerGuard guard(cache);
    EXPECT_EQ(cache->CachedBlock(t->file, 4), nullptr);  // new: it has nothing to come back to
  }
  trans.Rollback();
  EXPECT_TRUE(fs.writes.empty());
  TTestTransaction next(cache);  // the table goes on as if nothing happened
  Write(*t, &next, 1, 3);
  next.Commit();
  EXPECT_EQ(DiskVersion("m.mv1", 1, 0), 3);
  snapshot.Rollback();
  EXPECT_EQ(mvGetU32(ReadBytes(folder.File("m.mv1")).data(), mvHeaderUsedBlocksOffset), 4u);
}

TEST_F(CommitTest, ACrashAtAnyWriteLeavesTheWritesBeforeItFileByFileWithBlockZeroLast) {
  // The order of the writes: a's block 3 (3 and up first), a's block 2, a's
  // block 0, then b's block 1 and b's block 0.
  const std::vector<std::pair<std::string, TmvBlockNumber>> order = {
      {"a", 3}, {"a", 2}, {"a", 0}, {"b", 1}, {"b", 0}};
  for (uint64_t crashAfter = 0;; ++crashAfter) {
    const std::string suffix = std::to_string(crashAfter) + ".mv1";
    TmvLSN lsn = 0;
    {
      auto a = Table("a" + suffix, 4, 1);
      auto b = Table("b" + suffix, 4, 2);
      fs.CrashAfterWrites(crashAfter);
      TTestTransaction trans(cache);
      Write(*a, &trans, 3, 1, 1);
      Write(*b, &trans, 1, 1, 2);
      Write(*a, &trans, 2, 1, 1);
      trans.Commit();  // the process does not notice
      lsn = trans.LSN();
    }
    const bool crashed = fs.Crashed();
    fs.Reset();
    for (size_t i = 0; i < order.size(); ++i) {
      const auto& [file, block] = order[i];
      const std::string name = file + suffix;
      const bool written = i < crashAfter;
      if (block == 0) {
        EXPECT_EQ(DiskLSN(name) == lsn, written) << name << " after " << crashAfter;
      } else {
        EXPECT_EQ(DiskVersion(name, block, file == "a" ? 1 : 2), written ? 1 : 0) << name << ":" << block;
      }
    }
    if (!crashed) {
      EXPECT_EQ(crashAfter, order.size());  // every prefix was tried
      break;
    }
  }
}

TEST_F(CommitTest, TemporaryTablesAreCommittedWithoutTouchingTheDisk) {
  OpenTable t(cache, folder.Name("tmp.mv1"), omReadWrite, TableKind::Temporary);
  ASSERT_EQ(t.Add(), 0);
  t.release(t.header);
  fs.events.clear();
  TTestTransaction trans(cache);
  for (TmvBlockNumber n = 1; n <= 3; ++n) Append(t, &trans, n, 1);
  TmvFlushList list;
  cache->CommitTransaction(&trans, &list, false);
  EXPECT_EQ(list.Count(), 0);  // nothing to write
  list.Flush(false);
  trans.FreeLevel();
  EXPECT_TRUE(fs.events.empty());
  for (TmvBlockNumber n = 1; n <= 3; ++n) EXPECT_EQ(Version(t, nullptr, n), 1);
}

// A journal and a replication log that write down what they are told.
class TTestJournal : public TmvBaseJournalEngine {
 public:
  static const TmvJournalEngineClassRef StaticClass;
  static std::vector<std::string>* calls;
  explicit TTestJournal(const String& aName) : TmvBaseJournalEngine(aName) {
    calls->push_back("create " + UTF8Encode(namePart(aName)));
  }
  ~TTestJournal() override { calls->push_back("freed"); }
  void PrepareJournal() override { calls->push_back("prepare"); }
  void AddBlock(TmvBaseTransaction*, TmvReadOnlyBlock* aBlock) override {
    calls->push_back("block " + std::to_string(aBlock->BlockNumber()));
  }
  void FinalizeJournal() override { calls->push_back("finalize"); }
  void DeleteJournal() override { calls->push_back("delete"); }

 private:
  static String namePart(const String& aName) { return aName.substr(aName.find_last_of(u'/') + 1); }
};
std::vector<std::string>* TTestJournal::calls = nullptr;
TmvBaseJournalEngine* createTestJournal(const String& aName) { return new TTestJournal(aName); }
constinit const TmvJournalEngineClassRef TTestJournal::StaticClass{
    {u"TTestJournal", &TmvBaseJournalEngine::StaticClass}, &createTestJournal, nullptr};

class TTestReplicationLog : public TmvBaseReplicationLog {
 public:
  explicit TTestReplicationLog(std::vector<std::string>& aCalls) : fCalls(aCalls) {}
  void BeginTrans(TmvLSN aLSN) override { fCalls.push_back("begin " + std::to_string(aLSN)); }
  void EndTrans() override { fCalls.push_back("end"); }
  void BeginFile(const String& aAlias, const String&, const String& aFile, TmvBlockSize) override {
    fCalls.push_back("file " + UTF8Encode(aAlias) + " " + UTF8Encode(aFile));
  }
  void EndFile() override { fCalls.push_back("end file"); }
  void WriteBlock(TmvBlockNumber aBlockNumber, TmvLSN, const uint8_t*) override {
    fCalls.push_back("write " + std::to_string(aBlockNumber));
  }

 private:
  std::vector<std::string>& fCalls;
};

TEST_F(CommitTest, AJournalPerFolderIsWrittenFirstAndDeletedLastTheReplicationLogHearsEveryBlock) {
  TTestLog log;  // the failure at the end is logged
  auto a = Table("a.mv1", 4, 1);
  auto b = Table("b.mv1", 4, 2);
  a->file->fiAttributes = mvFileAttr(mvfaReplicationLog);
  a->file->fiLogAlias = u"alias";
  a->file->fiLogFile = u"a";
  std::vector<std::string> journal, replication;
  TTestJournal::calls = &journal;
  const TmvJournalEngineClassRef* saved = mvDefaultJournalEngineClass.exchange(&TTestJournal::StaticClass);
  cache->bmReplicationLog = new TTestReplicationLog(replication);
  TTestTransaction trans(cache);
  trans.SetJournalled(true);
  Write(*a, &trans, 1, 1, 1);
  Write(*b, &trans, 2, 1, 2);
  cache->bmSyncOnCommit = false;  // a journal syncs all the same
  trans.Commit();
  cache->bmSyncOnCommit = true;
  // Both files lie in one folder: one journal, named by the LSN, covering
  // each block the flush writes (block 0 stamped) once.
  const std::string create = "create " + std::to_string(trans.LSN()) + ".n$2";
  EXPECT_EQ(journal, (std::vector<std::string>{create, "prepare", "block 0", "block 1", "block 0", "block 2",
                                               "finalize", "delete", "freed"}));
  EXPECT_EQ(fs.Calls(fopSync), 2u);
  const std::string begin = "begin " + std::to_string(trans.LSN());
  EXPECT_EQ(replication, (std::vector<std::string>{begin, "file alias a", "write 1", "write 0", "end file", "end"}));
  // The log's transaction also ends when the flush fails; the journal is
  // freed but not deleted.
  replication.clear();
  journal.clear();
  TTestTransaction failing(cache);
  failing.SetJournalled(true);
  Write(*a, &failing, 1, 2, 1);
  fs.FailAt(fopWrite, 1, EIO);
  EXPECT_EQ(CodeOf([&] { failing.Commit(); }), 9218u);
  ASSERT_FALSE(replication.empty());
  EXPECT_EQ(replication.back(), "end");
  EXPECT_EQ(journal.back(), "freed");
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "delete"), 0);
  failing.Rollback();
  mvDefaultJournalEngineClass.store(saved);
}

TEST_F(CommitTest, TheStatisticsCountCommitsAndRollbacksButNotThoseOfSnapshots) {
  auto t = Table("c.mv1", 3);
  TTestTransaction snapshot(cache, true);
  snapshot.Commit();
  TTestTransaction trans(cache);
  trans.StartNested(false);
  Write(*t, &trans, 1, 1);
  trans.Commit();
  trans.StartNested(false);
  trans.Rollback();
  trans.Commit();
  TTestTransaction undone(cache);
  undone.Rollback();
  TStringList captions, values;
  cache->GetStatsCaptions(&captions);
  cache->GetStatsValues(&values);
  const std::map<String, String> expected = {{u"Transactions Commited", u"1"},
                                             {u"Transactions Commited Nested", u"1"},
                                             {u"Transactions Rolledback", u"1"},
                                             {u"Transactions Rolledback Nested", u"1"},
                                             {u"Blocks Written", u"2"}};
  for (int32_t i = 0; i < captions.Count(); ++i) {
    auto it = expected.find(captions[i]);
    if (it != expected.end()) {
      EXPECT_EQ(values[i], it->second) << UTF8Encode(it->first);
    }
  }
}

}  // namespace
