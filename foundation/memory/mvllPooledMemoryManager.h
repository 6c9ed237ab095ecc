// Foundation: the pooled memory manager, the implementation that the
// allocation interface (mvllMemoryManager.h) reaches through the manager
// table.
//
// One per process, made on the first Attach and destroyed on the last
// Detach. Requests up to 32 735 bytes are items of the 62 item pools, taken
// and given through the calling thread's item cache (mvllThreadCache.h);
// larger ones are large blocks (mvllLargeBlocks.h). This unit also holds the
// reallocation policy for items, the statistics, and the start and stop of
// the whole: the chunks and block pools, the item pools, the large blocks, a
// read-only page of zeros and the maintenance thread (mvllMaintenanceThread.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/memory/mvllChunks.h"
#include "foundation/memory/mvllItemPools.h"
#include "foundation/memory/mvllLargeBlocks.h"
#include "foundation/memory/mvllMaintenanceThread.h"

// The statistics record: bytes reserved; reserved but not committed; committed;
// allocated (items waiting in thread caches count as allocated); four zeros;
// header bytes; zero. The first three count what the pools and the large
// blocks use, not what waits for reuse (spare chunks, the pages of released
// large blocks). Then what this system adds: the failed passes of the
// maintenance thread, and 1 when it has ended because of them (the manager
// then gives nothing back until it is restarted).
struct TmvMemoryStatistics {
  uint64_t Reserved = 0;
  uint64_t ReservedNotCommitted = 0;
  uint64_t Committed = 0;
  uint64_t Allocated = 0;
  uint64_t Zero[4] = {};
  uint64_t Header = 0;
  uint64_t Zero2 = 0;
  uint64_t MaintenanceFailures = 0;
  uint64_t MaintenanceEnded = 0;
};

// Where the memory manager reports what it cannot raise to a caller: a
// failed maintenance pass, the maintenance thread ending, memory still in use
// at the last stop. The log unit routes reports to the process log while one
// is attached (mvllLog.h); without a writer a report goes nowhere, but the
// maintenance thread's failures and its end stay in the statistics. The
// writer may be called on any thread.
using TmvMemoryReportWriter = void (*)(const String& message, bool severe);
void mvSetMemoryReportWriter(TmvMemoryReportWriter writer);
void mvMemoryReport(const String& message, bool severe);

// GetMem, FreeMem, ReallocMem and the pools run on any thread at once.
// Requires: no thread uses the manager while it is destroyed.
class TmvPooledMemoryManager final : private TmvMaintenanceWork {
 public:
  // Requires: at most one instance at a time (asserted).
  TmvPooledMemoryManager();
  ~TmvPooledMemoryManager();  // stops the thread, then the pools and chunks

  void* GetMem(size_t size);        // nil when no memory can be had
  int FreeMem(void* p);             // 0, or non-zero when p is rejected
  void* ReallocMem(void* p, size_t size);  // nil (p unchanged) when it fails
  void GetStatistics(TmvMemoryStatistics& stats) const;

  // Blocks of the committed block pools for the engine's callers (the
  // manager table's entries), counted so that the last stop knows whether
  // any is still held.
  void* BlockAlloc(TmvBlockClass* cls);
  bool BlockRelease(TmvBlockClass* cls, void* block);
  bool BlockReleaseByAddress(void* block);

  // Whether the engine still holds memory of this manager: items (thread
  // caches flushed first), large blocks or block-pool blocks. Says how much
  // in `what`. Requires: no thread allocates or frees meanwhile (the last stop).
  bool InUse(String& what);
  // Flushes the calling thread's item cache, then asks the maintenance
  // thread for a full pass and waits up to 10 s.
  void Collect();

  // The trailer of the large block that starts at p, nil when none does.
  const TmvLargeBlockTrailer* FindLarge(const void* p) const { return fLarge.Find(p); }

  TmvChunkManager& Chunks() { return fChunks; }
  TmvBlockPools& Blocks() { return fBlocks; }
  TmvItemManager& Items() { return fItems; }
  TmvLargeBlocks& Large() { return fLarge; }
  const void* ZeroPage() const { return fZeroPage; }
  bool MaintenanceRunning() const { return fMaintenance.Running(); }

  // One full cleanup pass (what a collect request runs), on the calling thread.
  void FullPass() override;

 private:
  void* ItemRealloc(void* p, TmvMemoryPool* pool, size_t size);
  void CleanupItemPools() override;
  void AgeKeptPages() override;
  void TakeBackIdleCaches() override;
  void CleanupBlockPools() override;
  void ReleaseSpareChunks() override;
  void Report(const String& message, bool ended) override;
  void ReportRefusedUnmaps(int refused);

  TmvChunkManager fChunks;
  TmvBlockPools fBlocks;
  TmvMemoryCounters fCounters;
  TmvItemManager fItems;
  TmvLargeBlocks fLarge;
  void* fZeroPage = nullptr;
  int64_t fUserBlocks = 0;  // block-pool blocks the engine holds; locked changes
  TmvMaintenanceThread fMaintenance;
};
