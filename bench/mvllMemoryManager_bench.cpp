// Benchmark: the engine's allocation routines against the system allocator
// (malloc, free, realloc), each pair in one run, with the ratios printed at
// the end.
//  - AllocFree: small blocks (16 to 256 bytes) on 1 and 8 threads; each
//    iteration allocates a batch of blocks, touches them and frees them:
//    the per-thread cache at its best case.
//  - Mixed: 100,000 live blocks (split among the threads) of 8 to 4,096
//    bytes, sizes spread evenly over the powers of two (small blocks are the
//    most common, as in the engine); each iteration frees one block at random
//    and allocates another of a random size in its place.
//  - ProducerConsumer: one thread allocates blocks and hands them in
//    batches of 64 through a queue to another, which frees them, so that
//    every block goes back on a thread other than the one that took it.
//  - Growth: a block grows from 16 bytes to 1 MB in steps of 1 to 64 bytes,
//    each new byte written, then is freed; reports the moves (address
//    changes) and the minor page faults per growth.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "bench/RatioReporter.h"
#include "foundation/memory/mvllMemoryManager.h"

namespace {

// The two allocators behind one face.
struct Engine {
  static void* Get(size_t size) { return mvGetMemPtr(size); }
  static void Free(void* p) { mvFreeMem(p); }
  static void* Realloc(void* p, size_t size) {
    mvReallocMem(p, size);
    return p;
  }
};

struct System {
  static void* Get(size_t size) { return std::malloc(size); }
  static void Free(void* p) { std::free(p); }
  static void* Realloc(void* p, size_t size) { return std::realloc(p, size); }
};

// ---------------------------------------------------------------------------
// Small blocks, allocated and freed in batches

constexpr int kBatch = 64;

template <typename A>
void AllocFree(benchmark::State& state) {
  const size_t size = size_t(state.range(0));
  void* blocks[kBatch];
  for (auto _ : state) {
    for (void*& b : blocks) {
      b = A::Get(size);
      *static_cast<char*>(b) = 1;
    }
    for (void* b : blocks) A::Free(b);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// ---------------------------------------------------------------------------
// Mixed sizes, many live blocks

constexpr int kLiveBlocks = 100000;
constexpr int kRandomSizes = 4096;  // a power of two

// Sizes from 8 to 4,096 bytes, log-uniform.
std::vector<uint32_t> RandomSizes(uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> exponent(3.0, 12.0);
  std::vector<uint32_t> sizes(kRandomSizes);
  for (uint32_t& s : sizes) s = uint32_t(std::exp2(exponent(gen)));
  return sizes;
}

template <typename A>
void Mixed(benchmark::State& state) {
  const int live = kLiveBlocks / state.threads();
  const std::vector<uint32_t> sizes = RandomSizes(uint32_t(state.thread_index()) + 1);
  std::mt19937 gen(uint32_t(state.thread_index()) + 7);
  std::vector<uint32_t> victims(65536);
  for (uint32_t& v : victims) v = uint32_t(gen() % uint32_t(live));
  std::vector<void*> blocks(size_t(live), nullptr);
  for (int i = 0; i < live; ++i) {
    blocks[size_t(i)] = A::Get(sizes[size_t(i) % kRandomSizes]);
    *static_cast<char*>(blocks[size_t(i)]) = 1;
  }
  uint32_t n = 0;
  for (auto _ : state) {
    void*& b = blocks[victims[n & 65535]];
    A::Free(b);
    b = A::Get(sizes[n & (kRandomSizes - 1)]);
    *static_cast<char*>(b) = 1;
    ++n;
  }
  for (void* b : blocks) A::Free(b);
  state.SetItemsProcessed(state.iterations());
}

// ---------------------------------------------------------------------------
// One thread allocates, another frees

// A single-producer, single-consumer ring of batches of blocks. Handing
// blocks over in batches keeps the queue's own cost small beside the
// allocator's; a thread that waits spins a little before it yields, so that
// on a busy machine the scheduler decides less of the figure.
class Queue {
 public:
  static constexpr int kBatch = 64;
  using Batch = void* [kBatch];

  // The batch to fill next, once there is room for it.
  Batch& Free() {
    const uint64_t tail = fTail.load(std::memory_order_relaxed);
    for (int spins = 0; tail - fHead.load(std::memory_order_acquire) == kSize; ++spins) Wait(spins);
    return fBatches[tail % kSize];
  }
  void Push() { fTail.store(fTail.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
  // The oldest batch filled, once there is one; Pop hands it back.
  Batch& Front() {
    const uint64_t head = fHead.load(std::memory_order_relaxed);
    for (int spins = 0; fTail.load(std::memory_order_acquire) == head; ++spins) Wait(spins);
    return fBatches[head % kSize];
  }
  void Pop() { fHead.store(fHead.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

 private:
  static void Wait(int spins) {
    if (spins < 4096) __builtin_ia32_pause();
    else std::this_thread::yield();
  }
  static constexpr uint64_t kSize = 64;
  alignas(64) std::atomic<uint64_t> fHead{0};
  alignas(64) std::atomic<uint64_t> fTail{0};
  Batch fBatches[kSize];
};

// An iteration is a batch: the producer allocates and touches its blocks,
// the consumer frees them. Each thread runs as many iterations as the
// other, so the queue is empty again when a run ends.
template <typename A>
void ProducerConsumer(benchmark::State& state) {
  static Queue queue;
  const std::vector<uint32_t> sizes = RandomSizes(11);
  const size_t fixed = size_t(state.range(0));
  uint32_t n = 0;
  if (state.thread_index() == 0) {
    for (auto _ : state) {
      for (void*& p : queue.Free()) {
        p = A::Get(fixed ? fixed : sizes[n++ & (kRandomSizes - 1)]);
        *static_cast<char*>(p) = 1;
      }
      queue.Push();
    }
  } else {
    for (auto _ : state) {
      for (void* p : queue.Front()) A::Free(p);
      queue.Pop();
    }
  }
  state.SetItemsProcessed(state.iterations() * Queue::kBatch);
}

// ---------------------------------------------------------------------------
// Step-by-step growth

constexpr size_t kGrowthStart = 16;
constexpr size_t kGrowthEnd = 1 << 20;

long MinorFaults() {
  rusage usage;
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_minflt;
}

template <typename A>
void Growth(benchmark::State& state) {
  std::mt19937 gen(5);
  std::vector<uint8_t> steps(65536);
  for (uint8_t& s : steps) s = uint8_t(1 + gen() % 64);
  int64_t moves = 0;
  const long faultsBefore = MinorFaults();
  for (auto _ : state) {
    size_t size = kGrowthStart;
    char* p = static_cast<char*>(A::Get(size));
    std::memset(p, 1, size);
    for (uint32_t n = 0; size < kGrowthEnd; ++n) {
      const size_t more = steps[n & 65535];
      char* q = static_cast<char*>(A::Realloc(p, size + more));
      moves += q != p;
      p = q;
      std::memset(p + size, 2, more);
      size += more;
    }
    benchmark::DoNotOptimize(p);
    A::Free(p);
  }
  state.counters["moves"] = benchmark::Counter(double(moves), benchmark::Counter::kAvgIterations);
  state.counters["faults"] =
      benchmark::Counter(double(MinorFaults() - faultsBefore), benchmark::Counter::kAvgIterations);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int size : {16, 32, 64, 128, 256}) b->Arg(size);
}

void EngineAllocFree(benchmark::State& s) { AllocFree<Engine>(s); }
void SystemAllocFree(benchmark::State& s) { AllocFree<System>(s); }
void EngineMixed(benchmark::State& s) { Mixed<Engine>(s); }
void SystemMixed(benchmark::State& s) { Mixed<System>(s); }
void EngineProducerConsumer(benchmark::State& s) { ProducerConsumer<Engine>(s); }
void SystemProducerConsumer(benchmark::State& s) { ProducerConsumer<System>(s); }
void EngineGrowth(benchmark::State& s) { Growth<Engine>(s); }
void SystemGrowth(benchmark::State& s) { Growth<System>(s); }

}  // namespace

BENCHMARK(EngineAllocFree)->Apply(Sizes)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(SystemAllocFree)->Apply(Sizes)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(EngineMixed)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(SystemMixed)->Threads(1)->Threads(8)->UseRealTime();
// Argument: the block size; 0 for sizes of 8 to 4,096 bytes as in Mixed.
BENCHMARK(EngineProducerConsumer)->Arg(64)->Arg(0)->Threads(2)->UseRealTime();
BENCHMARK(SystemProducerConsumer)->Arg(64)->Arg(0)->Threads(2)->UseRealTime();
BENCHMARK(EngineGrowth)->Unit(benchmark::kMicrosecond);
BENCHMARK(SystemGrowth)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios("Engine", "System", "the system allocator");
  benchmark::Shutdown();
  return 0;
}
