// Benchmark: the engine's memory stream against std::vector<uint8_t>.
// Small: create a stream, write 100 bytes, free it; BlockSmall is the part
// of that which the engine's allocator alone costs (the block a 100-byte
// stream gets, zeroed, filled and freed). A loop that frees what it took
// gets the same 128-byte item every time, and where that item lies decides
// the figure: one item in 32 of that pool straddles a page boundary, and
// stores across a page cost several times more than others. SmallBatch
// therefore creates 64 streams, writes 100 bytes to each and frees them
// all, so that its figure is the mean over the items' places (per stream).
// Growth: write a stream up to 30 KB
// (allocator blocks only), 64 KB (the last of them a large block) and a few
// MB (reserved address space) in 1000-byte pieces, then free it. The run
// ends with the ratios to std::vector.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "bench/RatioReporter.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllStreams.h"

namespace {

const uint8_t kPiece[1000] = {1, 2, 3};

void StreamSmall(benchmark::State& state) {
  for (auto _ : state) {
    TmvMemoryStream ms;
    ms.Write(kPiece, 100);
    benchmark::DoNotOptimize(ms.Memory());
  }
}

void VectorSmall(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<uint8_t> v;
    v.insert(v.end(), kPiece, kPiece + 100);
    benchmark::DoNotOptimize(v.data());
  }
}

constexpr int kBatch = 64;

void StreamSmallBatch(benchmark::State& state) {
  for (auto _ : state) {
    std::optional<TmvMemoryStream> streams[kBatch];
    for (auto& ms : streams) ms.emplace().Write(kPiece, 100);
    benchmark::DoNotOptimize(streams[kBatch - 1]->Memory());
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void VectorSmallBatch(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<uint8_t> vectors[kBatch];
    for (auto& v : vectors) v.insert(v.end(), kPiece, kPiece + 100);
    benchmark::DoNotOptimize(vectors[kBatch - 1].data());
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BlockSmall(benchmark::State& state) {
  for (auto _ : state) {
    void* p;
    mvGetMem(p, 128);
    std::memset(p, 0, 128);
    std::memcpy(p, kPiece, 100);
    benchmark::DoNotOptimize(p);
    mvFreeMem(p);
  }
}

void StreamGrowth(benchmark::State& state) {
  const int64_t total = state.range(0);
  for (auto _ : state) {
    TmvMemoryStream ms;
    for (int64_t n = 0; n < total; n += sizeof kPiece) ms.Write(kPiece, sizeof kPiece);
    benchmark::DoNotOptimize(ms.Memory());
  }
  state.SetBytesProcessed(state.iterations() * total);
}

void VectorGrowth(benchmark::State& state) {
  const int64_t total = state.range(0);
  for (auto _ : state) {
    std::vector<uint8_t> v;
    for (int64_t n = 0; n < total; n += sizeof kPiece) v.insert(v.end(), kPiece, kPiece + sizeof kPiece);
    benchmark::DoNotOptimize(v.data());
  }
  state.SetBytesProcessed(state.iterations() * total);
}

}  // namespace

BENCHMARK(StreamSmall);
BENCHMARK(VectorSmall);
BENCHMARK(BlockSmall);
BENCHMARK(StreamSmallBatch);
BENCHMARK(VectorSmallBatch);
BENCHMARK(StreamGrowth)->Arg(30000)->Arg(64000)->Arg(4000000);
BENCHMARK(VectorGrowth)->Arg(30000)->Arg(64000)->Arg(4000000);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nengine / std::vector:\n");
  reporter.PrintRatio("StreamSmall", "VectorSmall", "");
  reporter.PrintRatio("BlockSmall", "VectorSmall", "");
  reporter.PrintRatio("StreamSmallBatch", "VectorSmallBatch", "");
  reporter.PrintRatios("StreamGrowth", "VectorGrowth", "");
  benchmark::Shutdown();
  return 0;
}
