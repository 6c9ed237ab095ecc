// Test support of the table-storage tests: a scratch folder, table files
// written byte by byte, a header format, a transaction driven as the server
// drives one, a temporary storage that stands in for the unit built on the
// cache, and a fixture that starts the storage units around each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/errors/mvllErrors.h"
#include "storage/cache/mvsrBlockAccess.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrFaultFileSystem.h"
#include "storage/files/mvsrPosixFiles.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/mvsrLog.h"
#include "storage/mvsrUnits.h"
#include "storage/transactions/mvsrCommit.h"
#include "support/mvTestLog.h"
#include "support/mvTestTransaction.h"

namespace storage_test {

// ---------------------------------------------------------------------------
// A folder of its own for each test, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mvsr-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& aName) const { return path_ + "/" + aName; }
  String Name(const std::string& aName) const { return UTF8ToString(File(aName)); }

 private:
  std::string path_;
};

// ---------------------------------------------------------------------------
// Files written directly. The header is the common layout of block 0:
// | 0 signature | 4 block number | 8 LSN | 16 size code | 20 usable size |
// | 32 used blocks | 36 engine version | 40 encryption name | 72 stream name |
inline constexpr char kSignature[] = "TST!";
inline const TmvBlockSignature kTestSignature{'T', 'S', 'T', '!'};

// The fill byte of block n's body in version v.
inline uint8_t PatternByte(uint32_t aFile, uint32_t aBlock, uint32_t aVersion, uint32_t aOffset) {
  return static_cast<uint8_t>(aFile * 131 + aBlock * 31 + aVersion * 7 + aOffset);
}

// A block: the common header (number, LSN = version) and the pattern.
inline void FillBlock(uint8_t* aBlock, uint32_t aBytes, uint32_t aFile, uint32_t aBlockNum, uint32_t aVersion) {
  std::memcpy(aBlock, "DATA", 4);
  mvPutU32(aBlock, 4, aBlockNum);
  mvPutU64(aBlock, 8, aVersion);
  for (uint32_t i = 16; i < aBytes; ++i) aBlock[i] = PatternByte(aFile, aBlockNum, aVersion, i);
}

// True when aBlock holds FillBlock's content for some version; that version.
inline bool BlockMatches(const uint8_t* aBlock, uint32_t aBytes, uint32_t aFile, uint32_t aBlockNum,
                         uint32_t* aVersion) {
  if (mvBchThisBlock(aBlock) != aBlockNum) return false;
  const uint32_t version = static_cast<uint32_t>(mvBchLSN(aBlock));
  for (uint32_t i = 16; i < aBytes; ++i)
    if (aBlock[i] != PatternByte(aFile, aBlockNum, version, i)) return false;
  if (aVersion) *aVersion = version;
  return true;
}

inline std::vector<uint8_t> HeaderBlock(uint32_t aBlockBytes, uint32_t aUsedBlocks, int32_t aVersion = 47005,
                                        uint8_t aSizeCode = 0, TmvLSN aLSN = 7) {
  std::vector<uint8_t> b(aBlockBytes, 0);
  std::memcpy(b.data(), kSignature, 4);
  mvPutU64(b.data(), 8, static_cast<uint64_t>(aLSN));
  b[16] = aSizeCode;
  mvPutU32(b.data(), 20, aBlockBytes - 4);
  mvPutU32(b.data(), 32, aUsedBlocks);
  mvPutU32(b.data(), 36, static_cast<uint32_t>(aVersion));
  return b;
}

// A table file of aBlocks 4 KB blocks: the header and pattern blocks of
// version 0 (aFile tells files apart in the pattern).
inline std::vector<uint8_t> TableImage(uint32_t aBlocks, uint32_t aFile = 0, int32_t aVersion = 47005) {
  std::vector<uint8_t> image = HeaderBlock(4096, aBlocks, aVersion);
  image.resize(size_t(aBlocks) * 4096);
  for (uint32_t n = 1; n < aBlocks; ++n) FillBlock(image.data() + size_t(n) * 4096, 4096, aFile, n, 0);
  return image;
}

inline void WriteBytes(const std::string& aPath, const std::vector<uint8_t>& aBytes) {
  std::ofstream f(aPath, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(aBytes.data()), static_cast<std::streamsize>(aBytes.size()));
}

inline std::vector<uint8_t> ReadBytes(const std::string& aPath) {
  std::ifstream f(aPath, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// ---------------------------------------------------------------------------
// The header format of the tests, registered under "TST!": it copies the
// common fields into the file (with the length checks of its names) and
// writes them for a new file. Its accesses count blocks and append new ones;
// it keeps no free blocks and no sections.
class TTestHeaderAccess : public TmvCommonFileHeaderAccess {
 public:
  TTestHeaderAccess(TmvBaseTransaction* aTrans, bool aMarkDirty, TmvBlockAccess* aAccess)
      : TmvCommonFileHeaderAccess(aTrans, aMarkDirty, aAccess) {}
  uint8_t* GetNewBlock(TmvBaseTransaction* aTrans, int32_t, TmvReleaseMethod& aRelease) override {
    RequireDirty();
    return AppendBlock(aTrans, aRelease);
  }
  void DeleteBlock(TmvBaseTransaction*, uint8_t*) override { RaiseError(MVERR_NOTSUPPORTED); }
  uint32_t RegisterHeaderSection(const String&, uint8_t, bool, bool) override { RaiseError(MVERR_NOTSUPPORTED); }
};

class TTestHeaderFactory : public TmvBaseFileHeaderAccessFactory {
 public:
  static const TmvFileHeaderAccessFactoryClassRef StaticClass;
  using TmvBaseFileHeaderAccessFactory::TmvBaseFileHeaderAccessFactory;

  static TmvBaseFileHeaderAccessFactory* Create(const TmvBlockSignature* aSignature, uint8_t* aHeader,
                                                TmvBaseFile* aFile) {
    auto* factory = new TTestHeaderFactory(aFile);
    try {
      if (aSignature) factory->WriteNew(aHeader, *aSignature);
      else factory->ReadFields(aHeader);
    } catch (...) {
      delete factory;
      throw;
    }
    return factory;
  }
  TmvBaseFileHeaderAccess* NewFileHeaderAccess(TmvBaseTransaction* aTrans, bool aMarkDirty,
                                               TmvBlockAccess* aAccess) override {
    return new TTestHeaderAccess(aTrans, aMarkDirty, aAccess);
  }
  static void DoCheckValid(bool) {}
  static uint32_t AdditionalReservedSpace() { return 4; }

 private:
  static String ShortString(const uint8_t* aAt) {
    if (aAt[0] > 31) throw EmvFileHeaderAccessException(MVERR_HEADERCORRUPT);
    String s;
    for (int i = 1; i <= aAt[0]; ++i) s += char16_t(aAt[i]);
    return s;
  }
  void ReadFields(const uint8_t* aHeader) {
    TmvBaseFile* f = bfhafFile;
    f->fiBlockSize = static_cast<TmvBlockSize>(aHeader[16]);
    f->fiBlockSizeBytes = mvGetU32(aHeader, 20);
    f->fiUsedBlocks = mvGetU32(aHeader, 32);
    f->fiMorvaVersion = static_cast<int32_t>(mvGetU32(aHeader, 36));
    f->fiEncryptionEngineName = ShortString(aHeader + 40);
    f->fiStreamEngineName = ShortString(aHeader + 72);
  }
  void WriteNew(uint8_t* aHeader, const TmvBlockSignature& aSignature) {
    TmvBaseFile* f = bfhafFile;
    std::memset(aHeader, 0, f->BlockBytes());
    std::memcpy(aHeader, aSignature.data(), 4);
    aHeader[16] = f->fiBlockSize;
    f->fiBlockSizeBytes = f->BlockBytes() - 4;
    mvPutU32(aHeader, 20, f->fiBlockSizeBytes);
    f->fiUsedBlocks = 1;
    mvPutU32(aHeader, 32, 1);
    mvPutU32(aHeader, 36, static_cast<uint32_t>(f->fiMorvaVersion));
  }
};
inline constinit const TmvFileHeaderAccessFactoryClassRef TTestHeaderFactory::StaticClass{
    {u"TTestHeaderFactory", nullptr}, &TTestHeaderFactory::Create, &TTestHeaderFactory::DoCheckValid,
    &TTestHeaderFactory::AdditionalReservedSpace};


// ---------------------------------------------------------------------------
// A temporary storage in memory with room for a number of blocks.
class TTestTempStorage : public TmvBaseTempStorage {
 public:
  static const TmvTempStorageClassRef StaticClass;
  explicit TTestTempStorage(size_t aRoom = 1000) : fRoom(aRoom) {}
  const TmvTempStorageClassRef& ClassType() const override { return StaticClass; }
  int64_t GetSize() override { return static_cast<int64_t>(fRoom) * 4096; }
  int64_t GetInUse() override { return static_cast<int64_t>(fBlocks.size()) * 4096; }
  bool HasSpaceFor(TmvBlockSizeAll) override { return fBlocks.size() < fRoom; }
  void ReadBlock(TmvBlockTmpNum aNum, TmvBlockSizeAll aSize, void* aBlock) override {
    PeekBlock(aNum, aSize, aBlock);
    ReleaseBlock(aNum, aSize);
  }
  void PeekBlock(TmvBlockTmpNum aNum, TmvBlockSizeAll, void* aBlock) override {
    const auto& b = fBlocks.at(aNum);
    std::memcpy(aBlock, b.data(), b.size());
  }
  void ReleaseBlock(TmvBlockTmpNum aNum, TmvBlockSizeAll) override { fBlocks.erase(aNum); }
  TmvBlockTmpNum WriteBlock(const void* aBlock, TmvBlockSizeAll aSize) override {
    const auto* p = static_cast<const uint8_t*>(aBlock);
    fBlocks[++fNext] = std::vector<uint8_t>(p, p + mvBlockBytes(aSize));
    ++writes;
    return fNext;
  }
  size_t Stored() const { return fBlocks.size(); }
  int writes = 0;

 private:
  size_t fRoom;
  TmvBlockTmpNum fNext = 0;
  std::map<TmvBlockTmpNum, std::vector<uint8_t>> fBlocks;
};
inline TmvBaseTempStorage* CreateTestTempStorage(const String&) { return new TTestTempStorage(); }
inline constinit const TmvTempStorageClassRef TTestTempStorage::StaticClass{
    {u"TTestTempStorage", nullptr}, &CreateTestTempStorage, &TmvBaseTempStorage::GetStatsCaptions,
    &TmvBaseTempStorage::GetStatsValuesStatic};

// ---------------------------------------------------------------------------
// A file system that also records where it wrote and what sizes it set.
class TRecordingFileSystem : public TmvFaultFileSystem {
 public:
  // A write (with its offset) or a sync, on a descriptor.
  struct Event {
    TmvFileOp Op;
    int Handle;
    int64_t Offset;
  };
  ssize_t PWrite(int aHandle, const void* aBuffer, size_t aCount, int64_t aOffset) override {
    {
      std::lock_guard<std::mutex> guard(fRecord);
      writes.push_back(aOffset);
      events.push_back({fopWrite, aHandle, aOffset});
    }
    return TmvFaultFileSystem::PWrite(aHandle, aBuffer, aCount, aOffset);
  }
  int Sync(int aHandle) override {
    {
      std::lock_guard<std::mutex> guard(fRecord);
      events.push_back({fopSync, aHandle, -1});
    }
    return TmvFaultFileSystem::Sync(aHandle);
  }
  int Truncate(int aHandle, int64_t aSize) override {
    {
      std::lock_guard<std::mutex> guard(fRecord);
      sizes.push_back(aSize);
    }
    return TmvFaultFileSystem::Truncate(aHandle, aSize);
  }
  // Block numbers of the writes so far (4 KB blocks).
  std::vector<int64_t> WrittenBlocks() const {
    std::vector<int64_t> blocks;
    for (int64_t offset : writes) blocks.push_back(offset / 4096);
    return blocks;
  }
  std::vector<int64_t> writes;
  std::vector<int64_t> sizes;
  std::vector<Event> events;

 private:
  std::mutex fRecord;
};

// The shared test log, installed as the storage log while it lives.
using TTestLog = TmvInstalledTestLog<mvSetStorageLog>;

// ---------------------------------------------------------------------------
// Starts the storage units, registers the test header format and installs a
// recording file system; every test gets a folder and a cache of its own.
class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mvStorageInit();
    TmvBaseFileHeaderAccessFactory::Register(TTestHeaderFactory::StaticClass, kTestSignature);
    mvSetFileSystem(&fs);
    cache = new TmvBufferManager(u"");
  }
  void TearDown() override {
    mvClearFatalErrorForTesting();  // a test that provoked it lets the next one run
    delete cache;
    mvSetFileSystem(nullptr);
    TmvBaseFileHeaderAccessFactory::UnRegister(TTestHeaderFactory::StaticClass);
    mvStorageFini();
  }

  // The code of the engine exception that f raises; 0 when none.
  template <typename F>
  static uint32_t CodeOf(F f, String* aText = nullptr) {
    try {
      f();
    } catch (const EmvBaseException& e) {
      if (aText) *aText = e.ProcessedErrorString();
      return e.ErrorCode();
    }
    return 0;
  }

  TRecordingFileSystem fs;
  TempFolder folder;
  TmvBufferManager* cache = nullptr;
};

// An open table file of the test format registered with a cache; freed in
// the right order.
enum class TableKind { Existing, Created, Temporary };
struct OpenTable {
  OpenTable(TmvBufferManager* aCache, const String& aName, TmvOpenMode aMode = omReadWrite,
            TableKind aKind = TableKind::Existing)
      : cache(aCache), file(TmvBaseFile::Alloc(true, aName, aCache)) {
    if (aKind == TableKind::Temporary) file->fiAttributes = mvFileAttr(mvfaTemporary);
    try {
      file->OpenFile(aMode, smExclusive, false, aKind != TableKind::Existing);
    } catch (...) {
      delete file;
      throw;
    }
  }
  ~OpenTable() {
    if (header) release(header);
    cache->RemoveFile(file);
    if (file->FileIsOpen()) file->CloseFile();
    delete file;
  }
  int32_t Add(TmvBaseTransaction* aTrans = nullptr, bool aDirty = false) {
    bool readOnly = false;
    return cache->AddFile(file, aTrans, {}, aDirty, release, header, readOnly);
  }
  TmvBufferManager* cache;
  TmvBaseFile* file;
  uint8_t* header = nullptr;
  TmvReleaseMethod release;
};

// A fixture of tables whose blocks carry versions of the pattern, changed
// and read through transactions.
class TableTest : public StorageTest {
 protected:
  // A registered table of aBlocks blocks (pattern of file aFile, version 0).
  std::unique_ptr<OpenTable> Table(const std::string& aName, uint32_t aBlocks, uint32_t aFile = 0) {
    WriteBytes(folder.File(aName), TableImage(aBlocks, aFile));
    auto t = std::make_unique<OpenTable>(cache, folder.Name(aName));
    EXPECT_EQ(t->Add(), 0);
    t->release(t->header);  // a commit gives block 0 new memory
    return t;
  }
  // Writes version aVersion of a block in aTrans.
  void Write(OpenTable& t, TmvBaseTransaction* aTrans, TmvBlockNumber aBlock, uint32_t aVersion, uint32_t aFile = 0) {
    TmvReleaseMethod release;
    uint8_t* b = cache->GetBlock(t.file, aTrans, aBlock, true, release);
    FillBlock(b, 4096, aFile, aBlock, aVersion);
    release(b);
  }
  // The version of a block as aTrans sees it; -1 when it holds no version.
  int64_t Version(OpenTable& t, TmvBaseTransaction* aTrans, TmvBlockNumber aBlock, uint32_t aFile = 0) {
    TmvReleaseMethod release;
    uint8_t* b = cache->GetBlock(t.file, aTrans, aBlock, false, release);
    uint32_t version = 0;
    const bool matches = BlockMatches(b, 4096, aFile, aBlock, &version);
    release(b);
    return matches ? int64_t(version) : -1;
  }
  // Sets the used-block count in aTrans's header, as a block allocation does.
  void SetUsedBlocks(OpenTable& t, TmvBaseTransaction* aTrans, uint32_t aCount) {
    TmvReleaseMethod release;
    uint8_t* header = cache->GetBlock(t.file, aTrans, 0, true, release);
    mvPutU32(header, mvHeaderUsedBlocksOffset, aCount);
    t.file->fiTransUsedBlocks = aCount;
    release(header);
  }
  // Adds block aBlock with version aVersion in aTrans.
  void Append(OpenTable& t, TmvBaseTransaction* aTrans, TmvBlockNumber aBlock, uint32_t aVersion,
              uint32_t aFile = 0) {
    TmvReleaseMethod release;
    uint8_t* b = cache->AddBlock(t.file, aTrans, aBlock, release);
    FillBlock(b, 4096, aFile, aBlock, aVersion);
    release(b);
  }
};

}  // namespace storage_test
