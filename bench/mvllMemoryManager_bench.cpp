// Benchmark: the engine's allocation routines against the system allocator
// for small blocks (16 to 256 bytes), on 1 and 8 threads. Each iteration
// allocates a batch of blocks, touches them and frees them again.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "foundation/mvllMemoryManager.h"

namespace {

constexpr int kBatch = 64;

void EngineAllocFree(benchmark::State& state) {
  const size_t size = size_t(state.range(0));
  void* blocks[kBatch];
  for (auto _ : state) {
    for (void*& b : blocks) {
      mvGetMem(b, size);
      *static_cast<char*>(b) = 1;
    }
    for (void* b : blocks) mvFreeMem(b);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void SystemAllocFree(benchmark::State& state) {
  const size_t size = size_t(state.range(0));
  void* blocks[kBatch];
  for (auto _ : state) {
    for (void*& b : blocks) {
      b = std::malloc(size);
      *static_cast<char*>(b) = 1;
    }
    for (void* b : blocks) std::free(b);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int size : {16, 32, 64, 128, 256}) b->Arg(size);
}

}  // namespace

BENCHMARK(EngineAllocFree)->Apply(Sizes)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(SystemAllocFree)->Apply(Sizes)->Threads(1)->Threads(8)->UseRealTime();
