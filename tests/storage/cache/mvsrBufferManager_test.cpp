// Tests of the block cache: registering files and reading block 0, the
// checks of damaged headers and blocks, loading (once, outside the lock,
// and when it fails), the images transactions see, dirty marking, the lookup
// table, scratch blocks, LSNs, and block accesses.
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <unistd.h>
#include <map>
#include <set>
#include <thread>

#include "storage/StorageTestSupport.h"
#include "storage/files/mvsrEncryption.h"
#include "storage/header/mvsrFileHeader1x.h"
#include "storage/header/mvsrFileHeader2x.h"

using namespace storage_test;

namespace {

class CacheTest : public StorageTest {
 protected:
  // The test format's table of aBlocks blocks, as a file named aName.
  String Table(const std::string& aName, uint32_t aBlocks, int32_t aVersion = 47005) {
    WriteBytes(folder.File(aName), TableImage(aBlocks, 0, aVersion));
    return folder.Name(aName);
  }
  // The last converted exception's text (what an answered code carries).
  static String LastText() {
    uint32_t code = 0;
    String text;
    EmvBaseException::GetLastConvertedException(code, text);
    return text;
  }
};

TEST_F(CacheTest, TheStoredEngineVersionDecidesWhetherAFileOpens) {
  OpenTable current(cache, Table("v1.mv1", 3, 47501));
  EXPECT_EQ(current.Add(), 0);
  EXPECT_EQ(current.file->fiMorvaVersion, 47501);
  EXPECT_EQ(current.file->fiUsedBlocks, 3u);
  EXPECT_EQ(current.file->fiMaxBlocks, uint32_t(std::min<int64_t>(0xFFFFFFFF, mvCalcMaxFileSize(folder.Name("")) >> 12)));
  // Also where the process writes numbers with a decimal comma.
  DefaultFormatSettings().DecimalSeparator = u',';
  OpenTable newer(cache, Table("v2.mv1", 3, 47502));
  EXPECT_EQ(newer.Add(), 15415);
  DefaultFormatSettings().DecimalSeparator = u'.';
  EXPECT_EQ(LastText(), u"Table \"" + newer.file->FileName() +
                            u"\" was created with version 4.7502 of MorvaDB, which is newer than this server's "
                            u"version (4.7501).");
  EXPECT_EQ(newer.file->fiHeaderAccessFactory, nullptr);
  EXPECT_EQ(newer.file->fiBlockZero, nullptr);
}

TEST_F(CacheTest, AFileOfAnotherFormatIsRefused) {
  std::vector<uint8_t> image = TableImage(2);
  std::memcpy(image.data(), "XYZW", 4);
  WriteBytes(folder.File("other.mv1"), image);
  OpenTable t(cache, folder.Name("other.mv1"));
  String text;
  EXPECT_EQ(CodeOf([&] { t.Add(); }, &text), 9992u);
  EXPECT_EQ(text, u"\"" + t.file->FileName() + u"\" is not a MorvaDB formatted file, or its file header is corrupt");
  TmvBaseFileHeaderAccessFactory::UnRegister(TTestHeaderFactory::StaticClass);
  mvsrFileHeader2xFini();
  mvsrFileHeader1xFini();
  EXPECT_EQ(CodeOf([&] { t.Add(); }), 15414u);  // no format registered at all
  mvsrFileHeader1xInit();
  mvsrFileHeader2xInit();
  TmvBaseFileHeaderAccessFactory::Register(TTestHeaderFactory::StaticClass, kTestSignature);
}

TEST_F(CacheTest, ABlockMustCarryTheNumberItWasAskedFor) {
  std::vector<uint8_t> image = TableImage(4);
  mvPutU32(image.data() + 2 * 4096, 4, 3);  // block 2 says it is block 3
  std::memset(image.data() + 3 * 4096, 0, 4096);  // block 3 is all zeros
  WriteBytes(folder.File("id.mv1"), image);
  OpenTable t(cache, folder.Name("id.mv1"));
  ASSERT_EQ(t.Add(), 0);
  TmvBlockAccess access(t.file, nullptr, u"id", 0);
  TmvReleaseMethod release;
  String text;
  EXPECT_EQ(CodeOf([&] { access.GetBlock(nullptr, 2, 0, false, release); }, &text), 8962u);
  EXPECT_EQ(text, u"Block 2 is identified as block 3 in the block header in file \"" + t.file->FileName() + u"\"");
  EXPECT_FALSE(release);
  {
    TmvBufferManagerGuard guard(cache);
    EXPECT_EQ(cache->FindBlock(t.file, 2)->RefCount(), 0);  // released before the error passed on
  }
  uint8_t* zeroed = access.GetBlock(nullptr, 3, 0, false, release);  // a zeroed block passes for ID 0 ...
  release(zeroed);
  EXPECT_EQ(CodeOf([&] { access.GetBlock(nullptr, 3, 5, false, release); }), 8962u);  // ... not for an owner
}

// Every block a commit writes carries its LSN, and block 0 carries it last:
// a block on disk with a newer LSN than block 0 belongs to a commit whose
// block 0 never arrived.
TEST_F(CacheTest, ABlockNewerThanBlockZeroIsDamageOnEveryRead) {
  std::vector<uint8_t> image = TableImage(4);  // block 0 at LSN 7
  mvPutU64(image.data() + 2 * 4096, 8, 8);
  mvPutU64(image.data() + 3 * 4096, 8, 7);
  WriteBytes(folder.File("torn.mv1"), image);
  OpenTable t(cache, folder.Name("torn.mv1"));
  ASSERT_EQ(t.Add(), 0);
  t.release(t.header);
  TmvReleaseMethod release;
  uint8_t* block = cache->GetBlock(t.file, nullptr, 3, false, release);  // as new as block 0: sound
  release(block);
  for (int attempt = 0; attempt < 2; ++attempt) {
    String text;
    EXPECT_EQ(CodeOf([&] { cache->GetBlock(t.file, nullptr, 2, false, release); }, &text), 8962u);
    EXPECT_EQ(text, u"Block 2 of file \"" + t.file->FileName() +
                        u"\" carries LSN 8, newer than its header's LSN 7: a commit that wrote it did not finish");
    EXPECT_EQ(cache->CachedBlock(t.file, 2), nullptr);  // read again next time
  }
  TTestTransaction trans(cache);
  EXPECT_EQ(CodeOf([&] { cache->GetBlock(t.file, &trans, 2, true, release); }), 8962u);
  trans.Rollback();
}

TEST_F(CacheTest, ACommitCutAfterItsFirstWriteLeavesItsBlocksRefused) {
  OpenTable t(cache, Table("cut.mv1", 4));
  ASSERT_EQ(t.Add(), 0);
  t.release(t.header);
  {
    TTestTransaction trans(cache);
    for (TmvBlockNumber b : {2u, 3u}) {
      TmvReleaseMethod release;
      uint8_t* block = cache->GetBlock(t.file, &trans, b, true, release);  // stamped with the commit's LSN
      block[100] ^= 0xFF;
      release(block);
    }
    fs.CrashAfterWrites(1);  // block 3 reaches the disk, block 2 and block 0 do not
    trans.Commit();
  }
  ASSERT_TRUE(fs.Crashed());
  fs.Reset();
  cache->RemoveFile(t.file);
  ASSERT_EQ(t.Add(), 0);  // block 0 is the old one
  t.release(t.header);
  TmvReleaseMethod release;
  uint8_t* block = cache->GetBlock(t.file, nullptr, 2, false, release);
  EXPECT_TRUE(BlockMatches(block, 4096, 0, 2, nullptr));  // the old content, whole
  release(block);
  EXPECT_EQ(CodeOf([&] { cache->GetBlock(t.file, nullptr, 3, false, release); }), 8962u);
}

TEST_F(CacheTest, ValidBlocksAreThoseTheTransactionSees) {
  OpenTable t(cache, Table("vb.mv1", 5));
  ASSERT_EQ(t.Add(), 0);
  t.release(t.header);
  TmvBlockAccess access(t.file, nullptr, u"vb", 0);
  TTestTransaction snapshot(cache, true), changing(cache), other(cache);
  TmvReleaseMethod release;
  uint8_t* block = access.GetBlock(&snapshot, 1, 0, false, release);  // its first look: 5 blocks
  release(block);
  // The changing transaction grows the file to 8 blocks, as an allocation does.
  uint8_t* header = access.GetBlock(&changing, 0, 0, true, release);
  mvPutU32(header, mvHeaderUsedBlocksOffset, 8);
  t.file->fiTransUsedBlocks = 8;
  release(header);
  struct Case {
    TmvBaseTransaction* trans;
    TmvBlockNumber block;
    bool valid;
  };
  const std::vector<Case> before = {{nullptr, 0, false}, {&changing, 0, false}, {nullptr, 4, true},
                                    {nullptr, 5, false}, {&other, 4, true},     {&changing, 7, true},
                                    {&changing, 8, false}, {&snapshot, 4, true}, {&snapshot, 5, false}};
  for (const Case& c : before) EXPECT_EQ(access.ValidBlock(c.block, c.trans), c.valid) << c.block;
  changing.Commit();
  // Everybody sees the new count but the snapshot, which keeps its own.
  for (const Case& c : {Case{nullptr, 7, true}, Case{&other, 7, true}, Case{&snapshot, 4, true},
                        Case{&snapshot, 5, false}})
    EXPECT_EQ(access.ValidBlock(c.block, c.trans), c.valid) << c.block;
  TmvBaseFileHeaderAccess* committed = access.HeaderAccess(nullptr, false);
  EXPECT_TRUE(access.ValidBlock(7, committed));
  EXPECT_FALSE(access.ValidBlock(8, committed));
  EXPECT_FALSE(access.ValidBlock(0, committed));
  EXPECT_EQ(access.CurrentLSN(&other), changing.LSN());  // block 0 as the transaction sees it
  EXPECT_EQ(access.CurrentLSN(nullptr), changing.LSN());
  delete committed;
  snapshot.Commit();
  other.Rollback();
}

TEST_F(CacheTest, ATransactionSeesItsCopyAndOthersTheCommittedImage) {
  OpenTable t(cache, Table("tr.mv1", 4));
  ASSERT_EQ(t.Add(), 0);
  TTestTransaction trans(cache);
  TmvReleaseMethod r1, r2, r3;
  uint8_t* committed = cache->GetBlock(t.file, nullptr, 2, false, r1);
  uint8_t* copy = cache->GetBlock(t.file, &trans, 2, true, r2);
  EXPECT_NE(copy, committed);
  EXPECT_EQ(std::memcmp(copy + 16, committed + 16, 4096 - 16), 0);
  EXPECT_EQ(mvBchLSN(copy), trans.LSN());  // the first change stamps the copy
  EXPECT_EQ(mvBchLSN(committed), 0);
  copy[100] ^= 0xFF;
  uint8_t* again = cache->GetBlock(t.file, &trans, 2, false, r3);
  EXPECT_EQ(again, copy);  // the changing transaction sees its copy, also reading
  EXPECT_NE(committed[100], copy[100]);
  // DirtyBlock hands out the modifiable copy of a cached block ...
  uint8_t* modifiable = nullptr;
  cache->DirtyBlock(t.file, 2, &trans, modifiable);
  EXPECT_EQ(modifiable, copy);
  // ... and leaves its output alone for a block that is not cached.
  uint8_t* untouched = reinterpret_cast<uint8_t*>(0x1234);
  cache->DirtyBlock(t.file, 3, &trans, untouched);
  EXPECT_EQ(untouched, reinterpret_cast<uint8_t*>(0x1234));
  cache->DiscardBlock(t.file, 2, &trans);
  EXPECT_TRUE(cache->CachedBlock(t.file, 2)->robBlockListTail->mbDiscarded);
  r1(committed);
  r2(copy);
  r3(again);
  EXPECT_EQ(committed, nullptr);  // the release method clears the pointer
  uint8_t* discarded = cache->GetBlock(t.file, &trans, 2, false, r1);
  EXPECT_EQ(std::count(discarded, discarded + 4096, 0), 4096);  // its content no longer matters
  r1(discarded);
  trans.Rollback();
}

TEST_F(CacheTest, ATemporaryFileReadsZerosPastItsEnd) {
  OpenTable t(cache, folder.Name("tmp.mv1"), omReadWrite, TableKind::Temporary);
  ASSERT_EQ(t.Add(), 0);
  TmvReleaseMethod release;
  uint8_t* block = cache->GetBlock(t.file, nullptr, 100, false, release);
  EXPECT_EQ(std::count(block, block + 4096, 0), 4096);
  release(block);
  EXPECT_EQ(fs.Calls(fopRead), 0u);
}

TEST_F(CacheTest, NewFilesGetTheirHeaderInATransactionAndReadItBack) {
  const String name = folder.Name("new.mv1");
  {
    OpenTable t(cache, name, omReadWrite, TableKind::Created);
    t.file->fiMorvaVersion = 47005;
    TTestTransaction trans(cache);
    ASSERT_EQ(t.file->AddHeader(&trans, {}, kTestSignature), 0);
    TmvReleaseMethod release;
    uint8_t* block = cache->AddBlock(t.file, &trans, 1, release);
    FillBlock(block, 4096, 0, 1, 1);  // version 1: the commit's own LSN, as the block is stamped
    release(block);
    uint8_t* header = nullptr;
    cache->DirtyBlock(t.file, 0, &trans, header);
    mvPutU32(header, 32, 2);  // two blocks used
    trans.Commit();
  }
  delete cache;
  cache = new TmvBufferManager(u"");  // as after a restart
  OpenTable t(cache, name);
  ASSERT_EQ(t.Add(), 0);
  EXPECT_EQ(t.file->fiUsedBlocks, 2u);
  EXPECT_EQ(cache->CurrentLSN(), 1);  // lifted to block 0's LSN, the transaction's
  TmvReleaseMethod release;
  uint8_t* block = cache->GetBlock(t.file, nullptr, 1, false, release);
  EXPECT_TRUE(BlockMatches(block, 4096, 0, 1, nullptr));
  release(block);
}

// A file system whose reads wait at a gate, so that a test can line threads
// up behind a load.
class TGatedFileSystem : public TRecordingFileSystem {
 public:
  ssize_t PRead(int aHandle, void* aBuffer, size_t aCount, int64_t aOffset) override {
    ++arrived;
    while (closed.load()) std::this_thread::yield();
    return TRecordingFileSystem::PRead(aHandle, aBuffer, aCount, aOffset);
  }
  std::atomic<bool> closed{false};
  std::atomic<int> arrived{0};
};

// Waits until n threads wait for the load of a block.
void waitForWaiters(TmvBufferManager* aCache, TmvBaseFile* aFile, TmvBlockNumber aBlock, int aWaiters) {
  for (;;) {
    {
      TmvBufferManagerGuard guard(aCache);
      TmvReadOnlyBlock* b = aCache->CachedBlock(aFile, aBlock);
      if (b && b->robWaiting == aWaiters) return;
    }
    std::this_thread::yield();
  }
}

TEST_F(CacheTest, TwoThreadsAskingForOneBlockReadItOnce) {
  TGatedFileSystem gated;
  mvSetFileSystem(&gated);
  OpenTable t(cache, Table("once.mv1", 4));
  ASSERT_EQ(t.Add(), 0);
  const uint64_t readsBefore = cache->BlocksRead();
  gated.arrived = 0;
  gated.closed = true;
  uint8_t* seen[2] = {};
  TmvReleaseMethod releases[2];
  std::thread first([&] { seen[0] = cache->GetBlock(t.file, nullptr, 2, false, releases[0]); });
  while (gated.arrived.load() == 0) std::this_thread::yield();
  std::thread second([&] { seen[1] = cache->GetBlock(t.file, nullptr, 2, false, releases[1]); });
  waitForWaiters(cache, t.file, 2, 1);  // the second waits without the lock, behind the read
  gated.closed = false;
  first.join();
  second.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(cache->BlocksRead() - readsBefore, 1u);
  EXPECT_TRUE(BlockMatches(seen[0], 4096, 0, 2, nullptr));
  releases[0](seen[0]);
  releases[1](seen[1]);
  mvSetFileSystem(&fs);
}

TEST_F(CacheTest, AFailedLoadDropsTheBlockAndItsWaitersReadAgain) {
  TGatedFileSystem gated;
  mvSetFileSystem(&gated);
  OpenTable t(cache, Table("fail.mv1", 4));
  ASSERT_EQ(t.Add(), 0);
  gated.FailAt(fopRead, 1, EIO);
  gated.arrived = 0;
  gated.closed = true;
  uint32_t firstCode = 0;
  uint8_t* secondImage = nullptr;
  TmvReleaseMethod release;
  std::thread first([&] { firstCode = CodeOf([&] { cache->GetBlock(t.file, nullptr, 2, false, release); }); });
  while (gated.arrived.load() == 0) std::this_thread::yield();
  std::thread second([&] { secondImage = cache->GetBlock(t.file, nullptr, 2, false, release); });
  waitForWaiters(cache, t.file, 2, 1);
  gated.closed = false;
  first.join();
  second.join();
  EXPECT_EQ(firstCode, 9217u);
  ASSERT_NE(secondImage, nullptr);  // the waiter looked the block up again and read it
  EXPECT_TRUE(BlockMatches(secondImage, 4096, 0, 2, nullptr));
  release(secondImage);
  gated.FailAt(fopRead, 1, EIO);
  EXPECT_EQ(CodeOf([&] { cache->GetBlock(t.file, nullptr, 3, false, release); }), 9217u);
  {
    TmvBufferManagerGuard guard(cache);
    EXPECT_EQ(cache->CachedBlock(t.file, 3), nullptr);  // dropped
  }
  mvSetFileSystem(&fs);
}

// An engine that flips every byte with the block number (block 0 stays
// plain) and answers 10763 to the password "reader".
class TXorEngine : public TmvBaseEncryptionEngine {
 public:
  void CodeBlock(const void* aIn, void* aOut, uint32_t aLen, uint64_t aRandomizer) override {
    for (uint32_t i = 0; i < aLen; ++i)
      static_cast<uint8_t*>(aOut)[i] = static_cast<const uint8_t*>(aIn)[i] ^ uint8_t(aRandomizer >> 12);
  }
  void DecodeBlock(void* aBlock, uint32_t aLen, uint64_t aRandomizer) override { CodeBlock(aBlock, aBlock, aLen, aRandomizer); }
  void UpdateHeaderChecksum(void* aBlock, uint32_t) override { static_cast<uint8_t*>(aBlock)[4000] = 0x5A; }
  void VerifyHeaderChecksum(const void* aBlock, uint32_t) override {
    if (static_cast<const uint8_t*>(aBlock)[4000] != 0x5A) throw EmvBaseException(8961);
  }
  int32_t AuthenticatePassword(const TmvUnicodeStrings& aPasswords) override {
    return !aPasswords.empty() && aPasswords[0] == u"reader" ? 10763 : 0;
  }
  static int32_t Create(const String& aName, const TmvUnicodeStrings& aPasswords, uint8_t*, bool, bool,
                        TmvBaseEncryptionEngine*& aEngine) {
    if (aName != u"XOR") return 15503;
    aEngine = new TXorEngine();
    return aPasswords.size() == 2 ? 10763 : 0;
  }
};

TEST_F(CacheTest, EncryptedBlocksAreCodedOnTheWayOutAndDecodedOnTheWayIn) {
  mvEncryptionEngineCreateHook = &TXorEngine::Create;
  std::vector<uint8_t> image = TableImage(3);
  image[40] = 3;
  std::memcpy(&image[41], "XOR", 3);
  image[4000] = 0x5A;
  for (size_t i = 4096; i < image.size(); ++i) image[i] ^= uint8_t(i / 4096);
  WriteBytes(folder.File("enc.mv1"), image);
  {
    OpenTable t(cache, folder.Name("enc.mv1"));
    ASSERT_EQ(t.Add(), 0);
    TmvReleaseMethod release;
    uint8_t* block = cache->GetBlock(t.file, nullptr, 2, false, release);
    EXPECT_TRUE(BlockMatches(block, 4096, 0, 2, nullptr));
    FillBlock(block, 4096, 0, 2, 8);
    {
      TmvBufferManagerGuard guard(cache);
      t.file->WriteBlock(cache->FindBlock(t.file, 2));
    }
    release(block);
    t.file->FlushFile(false, nullptr);
    // A second registration only checks the passwords: 10763 is read-only.
    uint8_t* header = nullptr;
    TmvReleaseMethod headerRelease;
    bool readOnly = false;
    EXPECT_EQ(cache->AddFile(t.file, nullptr, {u"reader"}, false, headerRelease, header, readOnly), 0);
    EXPECT_TRUE(readOnly);
    headerRelease(header);
  }
  const std::vector<uint8_t> disk = ReadBytes(folder.File("enc.mv1"));
  std::vector<uint8_t> plain(disk.begin() + 2 * 4096, disk.begin() + 3 * 4096);
  EXPECT_FALSE(BlockMatches(plain.data(), 4096, 0, 2, nullptr));
  for (uint8_t& b : plain) b ^= 2;
  EXPECT_TRUE(BlockMatches(plain.data(), 4096, 0, 2, nullptr));
  {
    OpenTable reader(cache, folder.Name("enc.mv1"), omReadOnly);
    uint8_t* header = nullptr;
    TmvReleaseMethod release;
    bool readOnly = false;
    EXPECT_EQ(cache->AddFile(reader.file, nullptr, {u"a", u"b"}, false, release, header, readOnly), 0);
    EXPECT_TRUE(readOnly);
    release(header);
  }
  mvEncryptionEngineCreateHook = nullptr;
  OpenTable unknown(cache, folder.Name("enc.mv1"));
  EXPECT_EQ(unknown.Add(), 15503);
  EXPECT_EQ(LastText(), u"Unknown encryption engine: \"XOR\"");
}

TEST_F(CacheTest, TheLookupTableKeepsPagesOnlyWhileTheyHoldBlocks) {
  OpenTable t(cache, folder.Name("lk.mv1"), omReadWrite, TableKind::Temporary);
  ASSERT_EQ(t.Add(), 0);
  const TmvBlockNumber numbers[] = {1, 2, 300, 70000, 0x01000001, 0xFFFFFFFE};
  TTestTransaction trans(cache);
  for (TmvBlockNumber n : numbers) {
    TmvReleaseMethod release;
    uint8_t* block = cache->AddBlock(t.file, n == 300 ? nullptr : &trans, n, release);
    mvPutU32(block, 4, n);
    release(block);
  }
  int pages = 0;
  for (TmvBlockContainer* p = t.file->fiBlockContainerList; p; p = p->bcNext) ++pages;
  EXPECT_EQ(pages, 3 + 1 + 2 + 3 + 3);  // 2 shares 1's pages, 300 its top two
  {
    TmvBufferManagerGuard guard(cache);
    for (TmvBlockNumber n : numbers) EXPECT_EQ(cache->CachedBlock(t.file, n)->BlockNumber(), n);
    EXPECT_EQ(cache->CachedBlock(t.file, 3), nullptr);
    EXPECT_EQ(cache->CachedBlock(t.file, 0x02000001), nullptr);
  }
  {
    TmvBufferManagerGuard guard(cache);
    cache->DropBlock(cache->CachedBlock(t.file, 300));  // its leaf goes, the pages above stay
  }
  pages = 0;
  for (TmvBlockContainer* p = t.file->fiBlockContainerList; p; p = p->bcNext) ++pages;
  EXPECT_EQ(pages, 11);
  t.release(t.header);
  cache->RemoveFile(t.file);  // the transaction forgets its copies
  EXPECT_EQ(trans.BlockCount(), 0);
  EXPECT_EQ(trans.TransLevel()->BlockCount(), 0);
  trans.Rollback();
  EXPECT_EQ(t.file->fiBlockContainerList, nullptr);
  EXPECT_EQ(std::count(std::begin(t.file->fiBlocks), std::end(t.file->fiBlocks), nullptr), 256);
  EXPECT_EQ(t.file->fiBlockZero, nullptr);
}

TEST_F(CacheTest, ScratchBlocksAreLockedByTheirHandleOnly) {
  TmvScratchBlockHandle h = cache->CreateScratchBlock(mvbs64k);
  uint8_t* p = cache->LockScratchBlock(h);
  std::memset(p, 0xAB, 65536);
  cache->UnlockScratchBlock(h, p);
  EXPECT_THROW(cache->UnlockScratchBlock(h, p), EAssertionFailed);  // not locked
  TmvScratchBlockHandle stale = h;
  stale.sbhID ^= 1;
  EXPECT_THROW(cache->LockScratchBlock(stale), EAssertionFailed);
  EXPECT_EQ(cache->LockScratchBlock(h)[65535], 0xAB);
  EXPECT_THROW(cache->FreeScratchBlock(h), EAssertionFailed);  // still locked
  cache->UnlockScratchBlock(h, p);
  cache->FreeScratchBlock(h);
  EXPECT_THROW(cache->LockScratchBlock(h), EAssertionFailed);  // freed: refused, not read
  EXPECT_EQ(cache->ResidentPages(), 0);
}

TEST_F(CacheTest, LSNsOnlyGrow) {
  EXPECT_EQ(cache->CurrentLSN(), 0);
  EXPECT_EQ(cache->NextLSN(), 1);
  cache->SetNextLSN(50);
  cache->SetNextLSN(20);
  EXPECT_EQ(cache->CurrentLSN(), 50);
  EXPECT_EQ(cache->NextLSN(), 51);
}

TEST_F(CacheTest, AReadOnlyFileIsReportedReadOnly) {
  const String name = Table("ro.mv1", 2);
  ::chmod(folder.File("ro.mv1").c_str(), 0444);
  OpenTable t(cache, name);
  uint8_t* header = nullptr;
  TmvReleaseMethod release;
  bool readOnly = false;
  EXPECT_EQ(cache->AddFile(t.file, nullptr, {}, false, release, header, readOnly), 0);
  EXPECT_TRUE(readOnly);
  release(header);
}

TEST_F(CacheTest, AReleaseListReleasesEverythingItHolds) {
  OpenTable t(cache, Table("rl.mv1", 4));
  ASSERT_EQ(t.Add(), 0);
  TmvBlockAccess access(t.file, nullptr, u"rl", 0);
  {
    TmvReleaseList list;
    for (TmvBlockNumber n : {1u, 2u, 2u}) {
      TmvReleaseMethod release;
      list.Add(access.GetBlock(nullptr, n, 0, false, release), release);
    }
    TmvBufferManagerGuard guard(cache);
    EXPECT_EQ(cache->CachedBlock(t.file, 2)->RefCount(), 2);
    list.Release();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(cache->CachedBlock(t.file, 2)->RefCount(), 0);
    TmvReleaseMethod release;
    list.Add(access.GetBlock(nullptr, 3, 0, false, release), release);
  }  // the list releases what it still holds when it goes
  {
    // A failing release method: the others are released all the same.
    TmvReleaseList list;
    TmvReleaseMethod failing;
    failing.Code = [](void*, uint8_t*&) { throw EAbort(u"release"); };
    list.Add(nullptr, failing);
    TmvReleaseMethod release;
    list.Add(access.GetBlock(nullptr, 3, 0, false, release), release);
    EXPECT_THROW(list.Release(), EAbort);
    EXPECT_EQ(list.Count(), 0);
  }
  TmvBufferManagerGuard guard(cache);
  EXPECT_EQ(cache->CachedBlock(t.file, 3)->RefCount(), 0);
}

TEST_F(CacheTest, OnlyTheRootOfAnEncryptedTableChangesItsPassword) {
  OpenTable t(cache, Table("pw.mv1", 2));
  ASSERT_EQ(t.Add(), 0);
  TmvBlockAccess nested(t.file, nullptr, u"pw:child", 4);
  TmvBlockAccess root(t.file, nullptr, u"pw", 0);
  String text;
  EXPECT_EQ(CodeOf([&] { nested.ChangePassword(nullptr, u"new"); }, &text), 12289u);
  EXPECT_EQ(text, u"ChangePassword is only allowed for the root table");
  EXPECT_EQ(CodeOf([&] { root.ChangePassword(nullptr, u"new"); }, &text), 12289u);
  EXPECT_EQ(text, u"ChangePassword is only supported for tables with an encryption engine");
}

// Every byte of block 0 flipped in turn (all bits, and the lowest bit of
// the header fields): the open and the reads through a block access either
// succeed or end with a clear error, and nothing is read or written out of
// bounds (the sanitizers watch).
TEST_F(CacheTest, EveryDamagedHeaderByteGivesAClearErrorOrAValidOpen) {
  OpenTable t(cache, Table("flip.mv1", 3));
  const int handle = ::open(folder.File("flip.mv1").c_str(), O_RDWR | O_CLOEXEC);
  const std::set<uint32_t> allowed = {8961, 8962, 9992, 15415, 15503};
  int opened = 0;
  std::map<off_t, uint32_t> wholeByte;  // the code for each byte flipped whole
  auto tryOpen = [&] {
    const int32_t result = t.Add();
    if (result != 0) throw EmvBaseException(result);
    TmvBlockAccess access(t.file, nullptr, u"flip", 0);
    for (TmvBlockNumber n = 1; access.ValidBlock(n, static_cast<TmvBaseTransaction*>(nullptr)); ++n) {
      TmvReleaseMethod release;
      uint8_t* block = access.GetBlock(nullptr, n, 0, false, release);
      release(block);
    }
  };
  for (uint8_t mask : {uint8_t(0xFF), uint8_t(0x01)}) {
    for (off_t i = 0; i < (mask == 0xFF ? 4096 : 128); ++i) {
      uint8_t byte = 0;
      ASSERT_EQ(::pread(handle, &byte, 1, i), 1);
      const uint8_t flipped = byte ^ mask;
      ASSERT_EQ(::pwrite(handle, &flipped, 1, i), 1);
      const uint32_t code = CodeOf(tryOpen);
      if (mask == 0xFF) wholeByte[i] = code;
      if (code == 0) ++opened;
      else EXPECT_TRUE(allowed.count(code)) << "byte " << i << " code " << code;
      if (t.header) t.release(t.header);
      cache->RemoveFile(t.file);
      ASSERT_EQ(::pwrite(handle, &byte, 1, i), 1);
    }
  }
  ::close(handle);
  EXPECT_GT(opened, 3900);  // most bytes are not read at all
  // Signature, size code, usable size, used blocks, version, name length, LSN.
  const std::map<off_t, uint32_t> expected = {{0, 9992},  {16, 8961},  {21, 8961}, {32, 8961},
                                              {38, 15415}, {40, 8961}, {8, 0}};
  for (auto [byte, code] : expected) EXPECT_EQ(wholeByte[byte], code) << "byte " << byte;
}

}  // namespace
