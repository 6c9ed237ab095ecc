// Benchmark: the read/write portal's read side against std::shared_mutex
// (and a plain std::mutex as the mutex-based floor) on 1 and 8 threads, all
// threads sharing one lock. The argument is the work done inside each read
// section (iterations of a dependent multiply chain): with none the figure
// is the bare cost of taking and releasing read access; with some, a lock
// whose readers do not serialise lets eight threads finish faster than one.
// The run ends with the ratios to both, and the portal's own from 1 to 8
// threads (below 1 where the readers scale).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "bench/RatioReporter.h"
#include "foundation/sync/mvllReadWritePortal.h"

namespace {

// A little work that the compiler cannot fold away.
inline uint64_t Work(int64_t n, uint64_t seed) {
  for (int64_t i = 0; i < n; ++i) seed = seed * 6364136223846793005ull + 1442695040888963407ull;
  return seed;
}

template <typename Lock, typename Begin, typename End>
void ReadLoop(benchmark::State& state, Lock& lock, Begin begin, End end) {
  const int64_t work = state.range(0);
  uint64_t acc = uint64_t(state.thread_index());
  for (auto _ : state) {
    begin(lock);
    acc = Work(work, acc);
    end(lock);
  }
  benchmark::DoNotOptimize(acc);
  state.SetItemsProcessed(state.iterations());
}

void PortalRead(benchmark::State& state) {
  static TmvInternalReadWritePortal* portal = new TmvInternalReadWritePortal();  // outlives every thread
  ReadLoop(state, *portal, [](TmvInternalReadWritePortal& p) { p.BeginRead(); },
           [](TmvInternalReadWritePortal& p) { p.EndRead(); });
}

void SharedMutexRead(benchmark::State& state) {
  static std::shared_mutex lock;
  ReadLoop(state, lock, [](std::shared_mutex& m) { m.lock_shared(); },
           [](std::shared_mutex& m) { m.unlock_shared(); });
}

void MutexRead(benchmark::State& state) {
  static std::mutex lock;
  ReadLoop(state, lock, [](std::mutex& m) { m.lock(); }, [](std::mutex& m) { m.unlock(); });
}

}  // namespace

// One thread is timed by CPU time, which other work on a shared machine
// disturbs less; eight by real time, the only time that shows whether they
// ran side by side.
#define MV_READ_BENCHMARK(f)                       \
  BENCHMARK(f)->Arg(0)->Arg(64)->Threads(1);       \
  BENCHMARK(f)->Arg(0)->Arg(64)->Threads(8)->UseRealTime()
MV_READ_BENCHMARK(PortalRead);
MV_READ_BENCHMARK(SharedMutexRead);
MV_READ_BENCHMARK(MutexRead);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios("PortalRead", "SharedMutexRead", "std::shared_mutex");
  reporter.PrintRatios("PortalRead", "MutexRead", "std::mutex");
  std::printf("\nPortalRead, 8 threads / 1 thread (time per read):\n");
  for (const char* work : {"0", "64"})
    reporter.PrintRatio(std::string("PortalRead/") + work + "/real_time/threads:8",
                        std::string("PortalRead/") + work + "/threads:1", "");
  benchmark::Shutdown();
  return 0;
}
