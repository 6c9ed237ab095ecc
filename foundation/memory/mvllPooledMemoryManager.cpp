// Foundation: the pooled memory manager (see mvllPooledMemoryManager.h).
#include "foundation/memory/mvllPooledMemoryManager.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "foundation/memory/mvllThreadCache.h"
#include "platform/SysUtils.h"

namespace {

constexpr size_t kZeroPageSize = 65536;

int gManagers = 0;  // instances alive: at most one

std::atomic<TmvMemoryReportWriter> gReportWriter{nullptr};

}  // namespace

void mvSetMemoryReportWriter(TmvMemoryReportWriter writer) { gReportWriter.store(writer, std::memory_order_release); }

void mvMemoryReport(const String& message, bool severe) {
  if (TmvMemoryReportWriter write = gReportWriter.load(std::memory_order_acquire)) write(message, severe);
}

// ---------------------------------------------------------------------------
// Start and stop

TmvPooledMemoryManager::TmvPooledMemoryManager()
    : fChunks(mvSlotCount),
      fBlocks((fChunks.Start(), fChunks)),
      fItems(fBlocks, fCounters),
      fLarge(fItems, fCounters),
      fMaintenance(*this) {
  MV_ASSERT(__atomic_add_fetch(&gManagers, 1, __ATOMIC_SEQ_CST) == 1);
  TmvThreadCache::Start();
  void* zero = mmap(nullptr, kZeroPageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (zero == MAP_FAILED) OutOfMemoryError();
  fZeroPage = zero;
  fMaintenance.Start();
}

TmvPooledMemoryManager::~TmvPooledMemoryManager() {
  fMaintenance.Stop();
  ReportRefusedUnmaps(fLarge.Kept().DropAll());
  TmvThreadCache::FlushAllThreads();  // no cached item may outlive the pools
  munmap(fZeroPage, kZeroPageSize);
  __atomic_sub_fetch(&gManagers, 1, __ATOMIC_SEQ_CST);
  // Members stop in reverse order: the large blocks' map, the item pools, the
  // block pools, the chunks.
}

// ---------------------------------------------------------------------------
// GetMem, FreeMem, ReallocMem

void* TmvPooledMemoryManager::GetMem(size_t size) {
  if (size <= mvLargestItemRequest) return TmvThreadCache::Alloc(*fItems.PoolFor(size));
  return fLarge.Alloc(size, 0);
}

int TmvPooledMemoryManager::FreeMem(void* p) {
  if (uintptr_t(p) & (mvItemBlockSize - 1)) {
    TmvMemoryPool* pool = fItems.OwnerOf(p);
    if (!pool) return 1;
    TmvThreadCache::Free(*pool, p);
    return 0;
  }
  return fLarge.Release(p);
}

void* TmvPooledMemoryManager::ItemRealloc(void* p, TmvMemoryPool* pool, size_t size) {
  // Before anything else: a freed item or an interior pointer that "fits"
  // would otherwise get a second owner, and one that does not would cost a
  // new block that the failed free then leaks.
  TmvThreadCache::CheckHeld(*pool, p);
  const size_t itemSize = pool->ItemSize();
  if (size == itemSize) return p;
  size_t fresh;
  if (size < itemSize) {
    if (itemSize < 32 * size) return p;
    fresh = size;
  } else {
    // Growth leaves room for more: 8, 4, 2 times the size up to 64, 1024, 8192 bytes.
    fresh = size <= 64 ? 8 * size : size <= 1024 ? 4 * size : size <= 8192 ? 2 * size : size;
  }
  void* q = fresh <= mvLargestItemRequest ? TmvThreadCache::Alloc(*fItems.PoolFor(fresh)) : fLarge.Alloc(fresh, 0);
  if (!q) return nullptr;
  std::memcpy(q, p, std::min(size, itemSize));
  try {
    TmvThreadCache::Free(*pool, p);  // fails only when another thread freed p meanwhile
  } catch (...) {
    FreeMem(q);
    throw;
  }
  return q;
}

void* TmvPooledMemoryManager::ReallocMem(void* p, size_t size) {
  if (uintptr_t(p) & (mvItemBlockSize - 1)) {
    TmvMemoryPool* pool = fItems.OwnerOf(p);
    if (!pool) InvalidPointerError();
    return ItemRealloc(p, pool, size);
  }
  return fLarge.Realloc(p, size);
}

void TmvPooledMemoryManager::GetStatistics(TmvMemoryStatistics& stats) const {
  stats = TmvMemoryStatistics();
  stats.Reserved = uint64_t(__atomic_load_n(&fCounters.Reserved, __ATOMIC_RELAXED));
  stats.Committed = uint64_t(__atomic_load_n(&fCounters.Committed, __ATOMIC_RELAXED));
  stats.ReservedNotCommitted = stats.Committed < stats.Reserved ? stats.Reserved - stats.Committed : 0;
  stats.Allocated = uint64_t(fCounters.Allocated.Sum());
  stats.Header = uint64_t(__atomic_load_n(&fCounters.Header, __ATOMIC_RELAXED));
  stats.MaintenanceFailures = uint64_t(fMaintenance.Failures());
  stats.MaintenanceEnded = fMaintenance.EndedByFailures() ? 1 : 0;
}

void* TmvPooledMemoryManager::BlockAlloc(TmvBlockClass* cls) {
  void* block = fBlocks.Allocate(cls);
  if (block) __atomic_add_fetch(&fUserBlocks, 1, __ATOMIC_RELAXED);
  return block;
}

bool TmvPooledMemoryManager::BlockRelease(TmvBlockClass* cls, void* block) {
  if (!fBlocks.Release(cls, block)) return false;
  __atomic_sub_fetch(&fUserBlocks, 1, __ATOMIC_RELAXED);
  return true;
}

bool TmvPooledMemoryManager::BlockReleaseByAddress(void* block) {
  if (!fBlocks.ReleaseByAddress(block)) return false;
  __atomic_sub_fetch(&fUserBlocks, 1, __ATOMIC_RELAXED);
  return true;
}

bool TmvPooledMemoryManager::InUse(String& what) {
  TmvThreadCache::FlushAllThreads();
  const int64_t bytes = fCounters.Allocated.Sum() - int64_t(fLarge.MapBytes());
  const int64_t blocks = __atomic_load_n(&fUserBlocks, __ATOMIC_RELAXED);
  if (bytes == 0 && blocks == 0) return false;
  what = Format(u"%d bytes and %d block-pool blocks", {bytes, blocks});
  return true;
}

// ---------------------------------------------------------------------------
// Cleanup

void TmvPooledMemoryManager::Collect() {
  TmvThreadCache::FlushThisThread();
  fMaintenance.Collect();
}

void TmvPooledMemoryManager::FullPass() {
  ReportRefusedUnmaps(fLarge.Kept().DropAll());
  // What caches hold keeps whole blocks from going back.
  TmvThreadCache::TakeBack(false);
  // Prepared with a count of 2: a second pass catches blocks that the first
  // one emptied into the block pools.
  for (int pass = 0; pass < 2; ++pass) {
    fItems.Cleanup();
    fBlocks.Cleanup();
    fChunks.ReleaseSpares();
  }
}

void TmvPooledMemoryManager::CleanupItemPools() { fItems.Cleanup(); }
void TmvPooledMemoryManager::AgeKeptPages() { ReportRefusedUnmaps(fLarge.Kept().Age()); }

// Such pages stay mapped, out of the manager's reach and its statistics:
// nothing more can be done with them, but the process should know.
void TmvPooledMemoryManager::ReportRefusedUnmaps(int refused) {
  if (refused) mvMemoryReport(Format(u"The system refused to unmap %d released large blocks", {refused}), false);
}
void TmvPooledMemoryManager::TakeBackIdleCaches() { TmvThreadCache::TakeBack(true); }
void TmvPooledMemoryManager::Report(const String& message, bool ended) { mvMemoryReport(message, ended); }
void TmvPooledMemoryManager::CleanupBlockPools() { fBlocks.Cleanup(); }
void TmvPooledMemoryManager::ReleaseSpareChunks() { fChunks.ReleaseSpares(); }
