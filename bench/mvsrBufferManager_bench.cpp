// Benchmark: random 4 KB block reads through the block cache against pread
// of the same blocks from the operating system's page cache, on one thread.
// Two cases: every block fits the cache's budget (the reads are lookups),
// and the file has ten times more blocks than the budget (most reads load
// the block and evict another). The run ends with the ratio of each case to
// pread.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrPosixFiles.h"
#include "storage/mvsrUnits.h"

namespace {

constexpr uint32_t kBlockBytes = 4096;

// A file of aBlocks blocks in the temporary folder, each carrying its number.
std::string MakeFile(uint32_t aBlocks) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("mvsr-bench-" + std::to_string(aBlocks) + ".mv1")).string();
  const int h = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  std::vector<uint8_t> block(kBlockBytes, 0x5A);
  for (uint32_t n = 0; n < aBlocks; ++n) {
    mvPutU32(block.data(), 4, n);
    if (::pwrite(h, block.data(), kBlockBytes, off_t(n) * kBlockBytes) != ssize_t(kBlockBytes)) std::abort();
  }
  ::close(h);
  return path;
}

// The same random block numbers for the engine and the reference.
std::vector<uint32_t> Sequence(uint32_t aBlocks) {
  std::mt19937 random(42);
  std::vector<uint32_t> numbers(1 << 16);
  for (uint32_t& n : numbers) n = 1 + random() % (aBlocks - 1);
  return numbers;
}

// range(0): blocks in the file; range(1): the cache's budget in MB.
void CacheRead(benchmark::State& state) {
  const uint32_t blocks = uint32_t(state.range(0));
  const std::string path = MakeFile(blocks);
  {
    TmvBufferManager cache(u"");
    cache.SetMaxRAM(int32_t(state.range(1)));
    TmvBaseFile* file = TmvBaseFile::Alloc(true, UTF8ToString(path), &cache);
    file->OpenFile(omReadOnly, smShareRead, false, false);
    const std::vector<uint32_t> numbers = Sequence(blocks);
    size_t i = 0;
    uint64_t sum = 0;
    TmvReleaseMethod release;
    for (uint32_t n : numbers) {  // warm up: the same steady state the loop runs in
      uint8_t* b = cache.GetBlock(file, nullptr, n, false, release);
      release(b);
    }
    for (auto _ : state) {
      uint8_t* b = cache.GetBlock(file, nullptr, numbers[i++ & 0xFFFF], false, release);
      sum += b[4];
      release(b);
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
    state.counters["resident_pages"] = double(cache.ResidentPages());
    cache.RemoveFile(file);
    file->CloseFile();
    delete file;
  }
  std::filesystem::remove(path);
}

void PRead(benchmark::State& state) {
  const uint32_t blocks = uint32_t(state.range(0));
  const std::string path = MakeFile(blocks);
  const int h = ::open(path.c_str(), O_RDONLY);
  const std::vector<uint32_t> numbers = Sequence(blocks);
  std::vector<uint8_t> buffer(kBlockBytes);
  size_t i = 0;
  uint64_t sum = 0;
  for (auto _ : state) {
    if (::pread(h, buffer.data(), kBlockBytes, off_t(numbers[i++ & 0xFFFF]) * kBlockBytes) != ssize_t(kBlockBytes))
      std::abort();
    sum += buffer[4];
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
  ::close(h);
  std::filesystem::remove(path);
}

}  // namespace

// All 2048 blocks (8 MB) within a 64 MB budget; 2560 blocks (10 MB) over a
// 1 MB budget.
BENCHMARK(CacheRead)->Args({2048, 64})->Args({2560, 1})->UseRealTime();
BENCHMARK(PRead)->Arg(2048)->Arg(2560)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  mvStorageInit();  // once: the benchmark functions run several times
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("CacheRead/2048/64/real_time", "PRead/2048/real_time", "pread");
  reporter.PrintRatio("CacheRead/2560/1/real_time", "PRead/2560/real_time", "pread");
  benchmark::Shutdown();
  mvStorageFini();
  return 0;
}
