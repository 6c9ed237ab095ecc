// Benchmark: the commit of a storage transaction that changed 1, 10 or 1,000
// 4 KB blocks of one table file (the copies, the in-memory commit, the write
// of the changed blocks and block 0, and, with the cache's SyncOnCommit on,
// the fdatasync of the file), beside pwrite of the same blocks with and
// without fdatasync: the physical floor on this disk. The run ends with the
// ratio of each commit to its floor.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "storage/files/mvsrPosixFiles.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/mvsrUnits.h"
#include "storage/transactions/mvsrCommit.h"
#include "support/mvTestTransaction.h"

namespace {

constexpr uint32_t kBlockBytes = 4096;
constexpr uint32_t kFileBlocks = 1024;
const TmvBlockSignature kSignature{'B', 'N', 'C', 'H'};

// The benchmark file's block 0: the common header, then the block size code
// (byte 16), the usable block size (u32 at 20) and the used blocks (u32 at 32).
class BenchHeaderFactory : public TmvBaseFileHeaderAccessFactory {
 public:
  static const TmvFileHeaderAccessFactoryClassRef StaticClass;
  using TmvBaseFileHeaderAccessFactory::TmvBaseFileHeaderAccessFactory;
  static TmvBaseFileHeaderAccessFactory* Create(const TmvBlockSignature*, uint8_t* aHeader, TmvBaseFile* aFile) {
    aFile->fiBlockSize = static_cast<TmvBlockSize>(aHeader[16]);
    aFile->fiBlockSizeBytes = mvGetU32(aHeader, 20);
    aFile->fiUsedBlocks = mvGetU32(aHeader, 32);
    aFile->fiMorvaVersion = 47005;
    return new BenchHeaderFactory(aFile);
  }
  TmvBaseFileHeaderAccess* NewFileHeaderAccess(TmvBaseTransaction*, bool, TmvBlockAccess*) override {
    return nullptr;  // the commit needs none
  }
  static void CheckValid(bool) {}  // the benchmark's own format refuses no dictionary
  static uint32_t ReservedSpace() { return 0; }
};
constinit const TmvFileHeaderAccessFactoryClassRef BenchHeaderFactory::StaticClass{
    {u"BenchHeaderFactory", nullptr}, &BenchHeaderFactory::Create, &BenchHeaderFactory::CheckValid,
    &BenchHeaderFactory::ReservedSpace};

std::string MakeFile(const char* aName) {
  const std::string path = (std::filesystem::temp_directory_path() / aName).string();
  const int h = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  std::vector<uint8_t> block(kBlockBytes, 0x5A);
  for (uint32_t n = 0; n < kFileBlocks; ++n) {
    std::fill(block.begin(), block.begin() + 40, 0);
    if (n == 0) {
      std::memcpy(block.data(), kSignature.data(), 4);
      mvPutU32(block.data(), 20, kBlockBytes - 4);
      mvPutU32(block.data(), 32, kFileBlocks);
    }
    mvPutU32(block.data(), 4, n);
    if (::pwrite(h, block.data(), kBlockBytes, off_t(n) * kBlockBytes) != ssize_t(kBlockBytes)) std::abort();
  }
  ::fsync(h);
  ::close(h);
  return path;
}

// range(0): blocks changed per commit; range(1): 1 to sync on commit.
void Commit(benchmark::State& state) {
  const uint32_t changed = uint32_t(state.range(0));
  const std::string path = MakeFile("mvsr-bench-commit.mv1");
  {
    TmvBufferManager cache(u"");
    cache.SetMaxRAM(64);
    cache.SetSyncOnCommit(state.range(1) != 0);
    TmvBaseFile* file = TmvBaseFile::Alloc(true, UTF8ToString(path), &cache);
    file->OpenFile(omReadWrite, smExclusive, false, false);
    uint8_t* header = nullptr;
    TmvReleaseMethod release;
    bool readOnly = false;
    if (cache.AddFile(file, nullptr, {}, false, release, header, readOnly) != 0) std::abort();
    release(header);
    uint8_t round = 0;
    for (auto _ : state) {
      TTestTransaction trans(&cache);
      for (TmvBlockNumber n = 1; n <= changed; ++n) {
        uint8_t* block = cache.GetBlock(file, &trans, n, true, release);
        block[100] = round;
        release(block);
      }
      trans.Commit();
      ++round;
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * changed);
    cache.RemoveFile(file);
    file->CloseFile();
    delete file;
  }
  std::filesystem::remove(path);
}

// The same bytes written directly: the changed blocks and block 0.
void PWrite(benchmark::State& state) {
  const uint32_t changed = uint32_t(state.range(0));
  const bool sync = state.range(1) != 0;
  const std::string path = MakeFile("mvsr-bench-pwrite.mv1");
  const int h = ::open(path.c_str(), O_RDWR);
  std::vector<uint8_t> block(kBlockBytes, 0x33);
  for (auto _ : state) {
    for (uint32_t n = 1; n <= changed + 1; ++n) {
      const off_t offset = n <= changed ? off_t(n) * kBlockBytes : 0;
      if (::pwrite(h, block.data(), kBlockBytes, offset) != ssize_t(kBlockBytes)) std::abort();
    }
    if (sync && ::fdatasync(h) != 0) std::abort();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * changed);
  ::close(h);
  std::filesystem::remove(path);
}

}  // namespace

BENCHMARK(Commit)->ArgsProduct({{1, 10, 1000}, {1, 0}})->UseRealTime();
BENCHMARK(PWrite)->ArgsProduct({{1, 10, 1000}, {1, 0}})->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  mvStorageInit();  // once: the benchmark functions run several times
  TmvBaseFileHeaderAccessFactory::Register(BenchHeaderFactory::StaticClass, kSignature);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* blocks : {"1", "10", "1000"}) {
    for (const char* sync : {"1", "0"}) {
      const std::string args = std::string(blocks) + "/" + sync + "/real_time";
      reporter.PrintRatio("Commit/" + args, "PWrite/" + args, sync[0] == '1' ? "pwrite + fdatasync" : "pwrite");
    }
  }
  benchmark::Shutdown();
  TmvBaseFileHeaderAccessFactory::UnRegister(BenchHeaderFactory::StaticClass);
  mvStorageFini();
  return 0;
}
