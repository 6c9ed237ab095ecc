// Tests of the engine's file classes: opening and its error latch, share
// locks between opens and processes, positional I/O and its retries, the
// write queue's order and the file's growth, fail-safe flushing, the
// messages of every failure, volume limits, identity and block walks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "storage/StorageTestSupport.h"
#include "storage/files/mvsrFileSystem.h"

using namespace storage_test;

namespace {

class FileTest : public StorageTest {
 protected:

  // A table file object (not registered with a cache) on an existing file.
  TmvBaseFile* OpenExisting(const std::string& aName, TmvOpenMode aMode = omReadWrite,
                            TmvShareMode aShare = smExclusive) {
    TmvBaseFile* f = TmvBaseFile::Alloc(true, folder.Name(aName), cache);
    try {
      f->OpenFile(aMode, aShare, false, false);
    } catch (...) {
      delete f;
      throw;
    }
    return f;
  }

  // Queues block n with content version v (the block gets its own memory).
  void Queue(TmvBaseFile* aFile, TmvBlockNumber aBlock, uint32_t aVersion = 1) {
    TmvReleaseMethod release;
    uint8_t* p = cache->AddBlock(aFile, nullptr, aBlock, release);
    FillBlock(p, 4096, 0, aBlock, aVersion);
    {
      TmvBufferManagerGuard guard(cache);
      aFile->WriteBlock(cache->FindBlock(aFile, aBlock));
    }
    release(p);
  }

  void Close(TmvBaseFile* aFile) {
    cache->RemoveFile(aFile);
    if (aFile->FileIsOpen()) aFile->CloseFile();
    delete aFile;
  }
};

TEST_F(FileTest, TheQueueIsWrittenBeyondTheEndFirstAndBlockZeroLast) {
  WriteBytes(folder.File("t.mv1"), TableImage(10));
  TmvBaseFile* f = OpenExisting("t.mv1");
  for (TmvBlockNumber n : {0u, 1u, 7u, 5u, 12u, 5u}) Queue(f, n);
  f->PrepareFlushFile();
  EXPECT_EQ(fs.sizes, (std::vector<int64_t>{13 * 4096}));
  f->FlushFile(false, nullptr);
  EXPECT_EQ(fs.WrittenBlocks(), (std::vector<int64_t>{12, 5, 7, 1, 0}));  // block 5 was queued twice
  const std::vector<uint8_t> disk = ReadBytes(folder.File("t.mv1"));
  ASSERT_EQ(disk.size(), 13u * 4096);
  for (uint32_t n : {1u, 5u, 7u, 12u}) EXPECT_TRUE(BlockMatches(disk.data() + n * 4096, 4096, 0, n, nullptr)) << n;
  EXPECT_EQ(cache->BlocksWritten(), 5u);
  Close(f);
}

TEST_F(FileTest, AFailedFlushKeepsOnlyTheBlocksNotYetWritten) {
  WriteBytes(folder.File("ff.mv1"), TableImage(8));
  auto* f = static_cast<TmvBaseWin32File*>(OpenExisting("ff.mv1"));
  for (TmvBlockNumber n : {3u, 4u, 5u, 0u}) Queue(f, n);
  f->PrepareFlushFile();
  fs.FailAt(fopWrite, 2, EIO);
  EXPECT_EQ(CodeOf([&] { f->FlushFile(false, nullptr); }), 9218u);
  ASSERT_EQ(f->WriteQueueCount(), 3);
  EXPECT_EQ(f->QueuedBlock(0)->BlockNumber(), 4u);
  EXPECT_TRUE(f->QueuedBlock(0)->robUnwritten);
  {
    TmvBufferManagerGuard guard(cache);
    EXPECT_FALSE(cache->CachedBlock(f, 3)->robUnwritten);  // written: free to leave
  }
  f->RollbackUnwritten();  // the others leave the cache, to be read again
  EXPECT_EQ(f->WriteQueueCount(), 0);
  {
    TmvBufferManagerGuard guard(cache);
    EXPECT_EQ(cache->CachedBlock(f, 4), nullptr);
    EXPECT_NE(cache->CachedBlock(f, 3), nullptr);
  }
  Close(f);
}

TEST_F(FileTest, GrowthIsRoundedToTheGrowSizeOrATenth) {
  struct Case {
    TmvBlockNumber block;
    TmvGrowSize grow, initial;
    int64_t blocks;
  };
  for (const Case& c : {Case{1000, 16, 1, 1100}, Case{100, 16, 1, 112}, Case{12, 1, 1, 13}, Case{12, 16, 20, 21},
                        Case{4, 1, 30, 31}}) {
    WriteBytes(folder.File("g.mv1"), TableImage(10));
    TmvBaseFile* f = OpenExisting("g.mv1");
    f->fiGrowSize = c.grow;
    f->fiInitialSize = c.initial;
    fs.sizes.clear();
    Queue(f, c.block);
    f->PrepareFlushFile();
    f->FlushFile(false, nullptr);
    EXPECT_EQ(fs.sizes, (std::vector<int64_t>{c.blocks * 4096})) << c.block << " " << c.grow << " " << c.initial;
    Close(f);
  }
}

TEST_F(FileTest, AFileThatMayNotBeWrittenOpensReadOnly) {
  WriteBytes(folder.File("r.mv1"), TableImage(2));
  ::chmod(folder.File("r.mv1").c_str(), 0444);
  TmvBaseFile* f = OpenExisting("r.mv1");
  EXPECT_EQ(f->fiOpenMode, omReadOnly);
  uint8_t block[4096] = {};
  EXPECT_EQ(CodeOf([&] { f->WriteFileExactAt(4096, 4096, block); }), 9218u);
  Close(f);
}

TEST_F(FileTest, AFailedOpenIsReportedByEveryUseUntilClosed) {
  TmvBaseFile* f = TmvBaseFile::Alloc(true, folder.Name("missing.mv1"), cache);
  const String expected = u"INTERNAL: File could not be opened [" + f->fiName + u", error 2, " + SysErrorMessage(2) + u"]";
  String text;
  EXPECT_EQ(CodeOf([&] { f->OpenFile(omReadWrite, smExclusive, false, false); }, &text), 9221u);
  EXPECT_EQ(text, expected);
  EXPECT_FALSE(f->FileIsOpen());
  uint8_t buffer[16];
  text.clear();
  EXPECT_EQ(CodeOf([&] { f->ReadFileAt(0, 16, buffer); }, &text), 9221u);
  EXPECT_EQ(text, expected);
  EXPECT_EQ(CodeOf([&] { f->FileSize(); }), 9221u);
  f->CloseFile();  // clears the stored error, touches nothing
  EXPECT_EQ(CodeOf([&] { f->ReadFileAt(0, 16, buffer); }, &text), 15360u);
  EXPECT_EQ(text, u"TmvBaseFile contains invalid data");
  WriteBytes(folder.File("missing.mv1"), TableImage(1));
  f->OpenFile(omReadWrite, smExclusive, false, false);
  EXPECT_EQ(CodeOf([&] { f->OpenFile(omReadWrite, smExclusive, false, false); }), 15360u);  // open already
  Close(f);
}

// A file without a name is the engine's unnamed-file error, however it is
// opened; no exception of the platform or the standard library comes out.
TEST_F(FileTest, AnUnnamedFileIsRefusedWithTheEnginesError) {
  for (const bool create : {false, true})
    for (const TmvOpenMode mode : {omReadOnly, omReadWrite}) {
      uint32_t code = 0;
      try {
        TmvBaseFile* f = TmvBaseFile::Alloc(true, u"", cache);
        code = CodeOf([&] { f->OpenFile(mode, smExclusive, false, create); });
        EXPECT_FALSE(f->FileIsOpen());
        delete f;
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
      EXPECT_EQ(code, 15360u) << create << mode;
    }
}

// The text of each failure, with the system's error text where it has one.
TEST_F(FileTest, EachFailureCarriesItsCodeAndText) {
  WriteBytes(folder.File("e.mv1"), TableImage(4));
  struct Case {
    const char* what;
    std::function<void(TmvBaseFile*)> arm;
    std::function<void(TmvBaseFile*)> act;
    uint32_t code;
    std::u16string format;  // %s name, %e errno text (EIO unless said otherwise)
    int error;
  };
  uint8_t buffer[4096] = {};
  const std::vector<Case> cases = {
      {"read", [&](TmvBaseFile*) { fs.FailAt(fopRead, 1, EIO); }, [&](TmvBaseFile* f) { f->ReadFileAt(0, 16, buffer); },
       9217, u"INTERNAL: Error when reading from file [%s, error %d, %s]", EIO},
      {"short read", [](TmvBaseFile*) {}, [&](TmvBaseFile* f) { f->ReadFileExactAt(4 * 4096, 4096, buffer); }, 9217,
       u"INTERNAL: Could not read exact number of bytes from file [%s, 4096 bytes]", 0},
      {"sequential read", [](TmvBaseFile*) {}, [&](TmvBaseFile* f) { f->ReadFile(16, buffer); }, 9217,
       u"INTERNAL: Error when reading from file [%s, error %d, %s]", EOPNOTSUPP},
      {"write", [&](TmvBaseFile*) { fs.FailAt(fopWrite, 1, ENOSPC); },
       [&](TmvBaseFile* f) { f->WriteFileExactAt(4096, 4096, buffer); }, 9218,
       u"INTERNAL: Error when writing to file [%s, error %d, %s]", ENOSPC},
      {"short write", [&](TmvBaseFile*) { fs.ShortAt(fopWrite, 1, 0); },
       [&](TmvBaseFile* f) { f->WriteFileExactAt(4096, 4096, buffer); }, 9218,
       u"INTERNAL: Could not write exact number of bytes to file [%s, 4096 bytes]", 0},
      {"flush", [&](TmvBaseFile*) { fs.FailAt(fopSync, 1, EIO); }, [](TmvBaseFile* f) { f->FlushFile(true, nullptr); },
       9218, u"INTERNAL: Error when flushing file [%s, error %d, %s]", EIO},
      {"end of file", [&](TmvBaseFile* f) { Queue(f, 9); fs.FailAt(fopTruncate, 1, ENOSPC); },
       [](TmvBaseFile* f) { f->PrepareFlushFile(); }, 9218,
       u"INTERNAL: Error when setting end-of-file [%s, error %d, %s]", ENOSPC},
      {"size", [&](TmvBaseFile* f) { Queue(f, 9); fs.FailAt(fopSize, 1, EIO); },
       [](TmvBaseFile* f) { f->PrepareFlushFile(); }, 9217,
       u"INTERNAL: Error when getting size of file [%s, error %d, %s]", EIO},
      {"close", [&](TmvBaseFile*) { fs.FailAt(fopClose, 1, EIO); }, [](TmvBaseFile* f) { f->CloseFile(); }, 15363,
       u"INTERNAL: File could not be closed [%s, error %d, %s]", EIO},
  };
  for (const Case& c : cases) {
    TmvBaseFile* f = OpenExisting("e.mv1");
    c.arm(f);
    String text;
    EXPECT_EQ(CodeOf([&] { c.act(f); }, &text), c.code) << c.what;
    const String expected = c.format.find(u"%d, %s") != String::npos
                                ? Format(c.format, {f->fiName, c.error, SysErrorMessage(uint32_t(c.error))})
                                : Format(c.format, {f->fiName});
    EXPECT_EQ(text, expected) << c.what;
    fs.Reset();
    f->RollbackUnwritten();
    Close(f);
  }
}

TEST_F(FileTest, ACreatedFilesNameIsSyncedOrTheFileIsNotOpened) {
  TmvBaseFile* f = TmvBaseFile::Alloc(true, folder.Name("new.mv1"), cache);
  f->OpenFile(omReadWrite, smExclusive, false, true);
  EXPECT_EQ(fs.Calls(fopSync), 1u);  // the folder's
  Close(f);
  f = TmvBaseFile::Alloc(true, folder.Name("new2.mv1"), cache);
  fs.FailAt(fopSync, 1, EIO);
  String text;
  EXPECT_EQ(CodeOf([&] { f->OpenFile(omReadWrite, smExclusive, false, true); }, &text), 9218u);
  EXPECT_EQ(text, Format(u"INTERNAL: Error when flushing file [%s, error %d, %s]", {f->fiName, EIO, SysErrorMessage(EIO)}));
  EXPECT_FALSE(f->FileIsOpen());
  f->OpenFile(omReadWrite, smExclusive, false, true);  // nothing of the failed open is left holding the file
  Close(f);
}

TEST_F(FileTest, InterruptedAndPartialTransfersAreCompleted) {
  WriteBytes(folder.File("p.mv1"), TableImage(3));
  TmvBaseFile* f = OpenExisting("p.mv1");
  uint8_t block[4096];
  FillBlock(block, 4096, 0, 2, 5);
  fs.FailAt(fopWrite, 1, EINTR);
  fs.ShortAt(fopWrite, 2, 1000);
  f->WriteFileExactAt(2 * 4096, 4096, block);
  uint8_t back[4096] = {};
  fs.FailAt(fopRead, 1, EINTR);
  fs.ShortAt(fopRead, 2, 7);
  f->ReadFileExactAt(2 * 4096, 4096, back);
  EXPECT_TRUE(BlockMatches(back, 4096, 0, 2, nullptr));
  EXPECT_EQ(fs.Calls(fopRead), 3u);  // interrupted, 7 bytes, the rest
  Close(f);
}

TEST_F(FileTest, TwoOpensForWritingAreRefusedEvenInOneProcess) {
  WriteBytes(folder.File("l.mv1"), TableImage(3));
  struct Case {
    TmvOpenMode mode;
    TmvShareMode share;
    bool refused;
  };
  TmvBaseFile* writer = OpenExisting("l.mv1", omReadWrite, smShared);
  for (const Case& c : {Case{omReadWrite, smShared, true}, Case{omWriteOnly, smExclusive, true},
                        Case{omReadOnly, smShareRead, true}, Case{omReadOnly, smExclusive, true},
                        Case{omReadOnly, smShared, false}}) {
    TmvBaseFile* second = nullptr;
    const uint32_t code = CodeOf([&] { second = OpenExisting("l.mv1", c.mode, c.share); });
    EXPECT_EQ(code, c.refused ? 9221u : 0u) << int(c.mode) << " " << int(c.share);
    if (second) Close(second);
  }
  // Growing the file reopens it; the lock stays all the while.
  Queue(writer, 20);
  writer->PrepareFlushFile();
  writer->FlushFile(true, nullptr);
  EXPECT_EQ(CodeOf([&] { Close(OpenExisting("l.mv1")); }), 9221u);
  Close(writer);
  // Readers share; a writer waits for them to go.
  TmvBaseFile* r1 = OpenExisting("l.mv1", omReadOnly, smShareRead);
  TmvBaseFile* r2 = OpenExisting("l.mv1", omReadOnly, smShareRead);
  EXPECT_EQ(CodeOf([&] { Close(OpenExisting("l.mv1")); }), 9221u);
  Close(r1);
  Close(r2);
  Close(OpenExisting("l.mv1"));
}

TEST_F(FileTest, AnotherProcessCannotLockAFileOpenForWriting) {
  WriteBytes(folder.File("x.mv1"), TableImage(2));
  const std::string path = folder.File("x.mv1");
  // The child takes the lock every open for writing takes; it uses nothing
  // but system calls, as a child of a threaded process must.
  auto childCanLock = [&] {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int h = ::open(path.c_str(), O_RDWR);
      struct flock fl{};
      fl.l_type = F_WRLCK;
      fl.l_whence = SEEK_SET;
      ::_exit(h >= 0 && ::fcntl(h, F_OFD_SETLK, &fl) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  TmvBaseFile* f = OpenExisting("x.mv1");
  EXPECT_FALSE(childCanLock());
  Close(f);
  EXPECT_TRUE(childCanLock());
}

TEST_F(FileTest, ReopeningTriesTwiceThenLeavesTheFileClosed) {
  WriteBytes(folder.File("o.mv1"), TableImage(3));
  TTestLog log;
  auto* f = static_cast<TmvBaseWin32File*>(OpenExisting("o.mv1"));
  fs.FailAt(fopOpen, 1, EMFILE);
  f->ReopenFile();
  EXPECT_TRUE(f->FileIsOpen());
  EXPECT_EQ(log.lines.size(), 1u);  // the first attempt's failure
  fs.FailAt(fopOpen, 1, EMFILE, 2);
  EXPECT_EQ(CodeOf([&] { f->ReopenFile(); }), 9221u);
  EXPECT_FALSE(f->FileIsOpen());
  uint8_t buffer[16];
  String text;
  EXPECT_EQ(CodeOf([&] { f->ReadFileAt(0, 16, buffer); }, &text), 9221u);
  EXPECT_NE(text.find(u"error " + IntToStr(EMFILE)), String::npos);
  f->CloseFile();
  EXPECT_EQ(f->OpenError(), 0u);
  Close(f);
}

TEST_F(FileTest, AReopenDoesNotDisturbReadersOnOtherThreads) {
  WriteBytes(folder.File("rr.mv1"), TableImage(4));
  auto* f = static_cast<TmvBaseWin32File*>(OpenExisting("rr.mv1"));
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, failures{0};
  std::thread reader([&] {
    uint8_t block[4096];
    while (!done.load() || reads.load() == 0) {
      try {
        f->ReadFileExactAt(2 * 4096, 4096, block);
        if (!BlockMatches(block, 4096, 0, 2, nullptr)) ++failures;
      } catch (...) {
        ++failures;
      }
      ++reads;
    }
  });
  for (int i = 0; i < 300; ++i) f->ReopenFile();
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(fs.Calls(fopReplace), 300u);  // the new descriptor took the old one's place
  Close(f);
}

TEST_F(FileTest, OnlyAFailSafeFlushSyncsAndReopens) {
  WriteBytes(folder.File("s.mv1"), TableImage(4));
  TmvBaseFile* f = OpenExisting("s.mv1");
  Queue(f, 2);
  f->PrepareFlushFile();
  f->FlushFile(false, nullptr);
  EXPECT_EQ(fs.Calls(fopSync), 0u);
  const uint64_t opens = fs.Calls(fopOpen);
  f->FlushFile(true, nullptr);  // also with nothing queued
  EXPECT_EQ(fs.Calls(fopSync), 1u);
  EXPECT_EQ(fs.Calls(fopOpen), opens + 1);
  Close(f);
}

TEST_F(FileTest, ACrashAfterTheNthWriteKeepsWhatWasWrittenBeforeIt) {
  WriteBytes(folder.File("c.mv1"), TableImage(4));
  TmvBaseFile* f = OpenExisting("c.mv1");
  for (TmvBlockNumber n : {0u, 2u, 3u, 6u}) Queue(f, n, 9);
  f->PrepareFlushFile();  // the growth happens before the crash
  fs.CrashAfterWrites(2);
  f->FlushFile(false, nullptr);  // the process believes it wrote everything
  EXPECT_TRUE(fs.Crashed());
  Close(f);
  const std::vector<uint8_t> disk = ReadBytes(folder.File("c.mv1"));
  uint32_t version = 99;
  ASSERT_TRUE(BlockMatches(disk.data() + 6 * 4096, 4096, 0, 6, &version));
  EXPECT_EQ(version, 9u);
  ASSERT_TRUE(BlockMatches(disk.data() + 3 * 4096, 4096, 0, 3, &version));
  EXPECT_EQ(version, 9u);  // written in the order 6, 3, 2, 0
  ASSERT_TRUE(BlockMatches(disk.data() + 2 * 4096, 4096, 0, 2, &version));
  EXPECT_EQ(version, 0u);                                  // lost
  EXPECT_EQ(std::memcmp(disk.data(), kSignature, 4), 0);  // the old header survives
}

TEST_F(FileTest, TheReplicationLogHearsOfEveryBlockOfTheFilesThatJoinIt) {
  struct Log : TmvBaseReplicationLog {
    void BeginTrans(TmvLSN) override {}
    void EndTrans() override {}
    void BeginFile(const String&, const String& aTable, const String&, TmvBlockSize) override {
      events.push_back(u"begin " + aTable);
    }
    void EndFile() override { events.push_back(u"end"); }
    void WriteBlock(TmvBlockNumber aBlock, TmvLSN, const uint8_t* aData) override {
      events.push_back(u"block " + IntToStr(aBlock) + (mvBchThisBlock(aData) == aBlock ? u"" : u" wrong"));
    }
    std::vector<String> events;
  } log;
  WriteBytes(folder.File("rl.mv1"), TableImage(4));
  TmvBaseFile* f = OpenExisting("rl.mv1");
  Queue(f, 2);
  f->FlushFile(false, &log);
  EXPECT_TRUE(log.events.empty());  // the file takes no part
  f->fiAttributes |= mvFileAttr(mvfaReplicationLog);
  f->fiLogTable = u"T";
  Queue(f, 3);
  Queue(f, 1);
  f->PrepareFlushFile();
  f->FlushFile(false, &log);
  EXPECT_EQ(log.events, (std::vector<String>{u"begin T", u"block 3", u"block 1", u"end"}));
  Close(f);
}

TEST_F(FileTest, TemporaryFilesNeverTouchTheDisk) {
  TmvBaseFile* f = TmvBaseFile::Alloc(true, folder.Name("tmp.mv1"), cache);
  f->fiAttributes = mvFileAttr(mvfaTemporary);
  f->OpenFile(omReadWrite, smExclusive, false, true);
  EXPECT_TRUE(f->FileIsOpen());
  EXPECT_EQ(f->FileName(), u"(memory)");
  EXPECT_EQ(f->GetFileID().size(), 16u);
  f->fiBlockSizeBytes = 4092;
  Queue(f, 3);  // commit never queues them; even so nothing is written
  f->PrepareFlushFile();
  f->FlushFile(true, nullptr);
  EXPECT_EQ(f->FileSize(), 4092);  // one cached block
  f->RollbackUnwritten();          // a new block: it leaves the cache
  EXPECT_EQ(f->FileSize(), 0);
  Close(f);
  EXPECT_EQ(fs.Calls(fopOpen) + fs.Calls(fopWrite) + fs.Calls(fopSync), 0u);
  EXPECT_FALSE(std::filesystem::exists(folder.File("tmp.mv1")));
}

TEST_F(FileTest, TheLargestFileSizeFollowsTheFileSystem) {
  struct Volume : TRecordingFileSystem {
    int StatFs(const std::string&, TmvVolumeInfo& aInfo) override {
      if (type == 0) {
        errno = EIO;
        return -1;
      }
      aInfo.Type = type;
      aInfo.BlockSize = 4096;
      return 0;
    }
    uint64_t type = 0;
  } volume;
  mvSetFileSystem(&volume);
  const std::pair<uint64_t, int64_t> cases[] = {{0xEF53, 0xFFFFFFFFll * 4096}, {0x4D44, 4294967294},
                                                {0x58465342, INT64_MAX},       {0x01021994, INT64_MAX},
                                                {0x9660, 0},                   {0x12345678, 0},
                                                {0, 0}};
  for (auto [type, size] : cases) {
    volume.type = type;
    EXPECT_EQ(mvCalcMaxFileSize(folder.Name("")), size) << std::hex << type;
  }
  mvSetFileSystem(&fs);
}

TEST_F(FileTest, TheFileIDTellsFilesApart) {
  WriteBytes(folder.File("a.mv1"), TableImage(1));
  WriteBytes(folder.File("b.mv1"), TableImage(1));
  TmvBaseFile* a = OpenExisting("a.mv1");
  TmvBaseFile* b = OpenExisting("b.mv1", omReadOnly, smShared);
  TmvBaseFile* again = OpenExisting("a.mv1", omReadOnly, smShared);
  const String id = a->GetFileID();
  EXPECT_EQ(id.rfind(folder.Name("a.mv1"), 0), 0u);
  EXPECT_EQ(std::count(id.begin(), id.end(), u';'), 8);  // 4 object id parts, 2 time halves, device, inode
  EXPECT_EQ(id, again->GetFileID());
  EXPECT_NE(id.substr(id.find(u';')), b->GetFileID().substr(b->GetFileID().find(u';')));
  Close(a);
  Close(b);
  Close(again);
}

TEST_F(FileTest, RelativeNamesAreTakenFromTheFilesFolder) {
  TmvBaseFile* f = TmvBaseFile::Alloc(true, folder.Name("sub/../t.mv1"), cache);
  const String base = folder.Name("");
  EXPECT_EQ(f->fiPath, base);
  EXPECT_EQ(f->ExpandRelativeFileName(u"  other.mv1\t"), base + u"other.mv1");
  EXPECT_EQ(f->ExpandRelativeFileName(u"/abs/x.mv1"), u"/abs/x.mv1");
  EXPECT_EQ(f->FileName(), base + u"t.mv1");
  delete f;
}

TEST_F(FileTest, BlockWalksPassUnreadableBlocksAsNilAndStopOnRequest) {
  WriteBytes(folder.File("w.mv1"), TableImage(4));
  TTestLog log;
  TmvBaseFile* f = OpenExisting("w.mv1");
  std::vector<int> seen;
  fs.FailAt(fopRead, 2, EIO);
  f->IterateBlocks(nullptr, [&](void*, TmvBlockNumber, const uint8_t* b) {
    seen.push_back(b ? int(mvBchThisBlock(b)) : -1);
    return birContinue;
  });
  EXPECT_EQ(seen, (std::vector<int>{0, -1, 2, 3}));
  EXPECT_EQ(log.lines.size(), 1u);
  seen.clear();
  EXPECT_EQ(f->IterateBlocksRaw(nullptr, [&](void*, TmvBlockNumber n, const uint8_t*) {
              seen.push_back(int(n));
              return n == 1 ? birStop : birContinue;
            }),
            birStop);
  EXPECT_EQ(seen, (std::vector<int>{0, 1}));
  // A failing iterator ends the walk with its exception.
  EXPECT_THROW(f->IterateBlockCookies(nullptr,
                                      [](void*, TmvBlockNumber, const uint8_t*, const TmvByteArray&)
                                          -> TmvBlockIteratorResult { throw EAbort(u"stop"); }),
               EAbort);
  Close(f);
}

}  // namespace
