// Foundation: large blocks, reallocation, the hook library and the
// maintenance thread; together with the item and block pools, the manager
// implementation that the allocation interface (mvllMemoryManager.h) reaches
// through the manager table. Calls the pools and the operating system.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/mvllChunks.h"
#include "foundation/mvllItemPools.h"

// The trailer in the last 32 bytes of a large block's pages in use (64-bit
// form; the fields of the 32-bit original, packed):
// | offset | size | field                                                   |
// |      0 |    8 | requested size                                          |
// |      8 |    8 | base address                                            |
// |     16 |    4 | 64 KB units reserved (mapped)                           |
// |     20 |    2 | maximum units: the growable mapping's capacity; 0 for a |
// |        |      |   plain block (whose maximum is its units)             |
// |     22 |    2 | growth count: how often the block was reallocated       |
// |        |      |   (stops at 65 535; only "above 16" matters)           |
// |     24 |    4 | pages in use                                            |
// |     28 |    4 | pages committed                                         |
struct TmvLargeBlockTrailer {
  uint64_t Size;
  uint64_t Base;
  uint32_t Units;
  uint16_t MaxUnits;
  uint16_t Growth;
  uint32_t PagesInUse;
  uint32_t PagesCommitted;
  bool IsMapped() const { return MaxUnits != 0; }
};
static_assert(sizeof(TmvLargeBlockTrailer) == 32);

// The statistics record: bytes reserved; reserved but not committed; committed;
// allocated (items waiting in thread caches count as allocated); four zeros;
// header bytes; zero.
struct TmvMemoryStatistics {
  uint64_t Reserved = 0;
  uint64_t ReservedNotCommitted = 0;
  uint64_t Committed = 0;
  uint64_t Allocated = 0;
  uint64_t Zero[4] = {};
  uint64_t Header = 0;
  uint64_t Zero2 = 0;
};

// The 16 entry points of a hook library, by name; a library is used only
// when it has all of them.
struct TmvMemoryHooks {
  void (*BeforeGetMem)(size_t& size);
  void (*AfterGetMem)(size_t size, void*& result);
  void (*BeforeFreeMem)(void*& p);
  void (*BeforeReallocMem)(void*& p, size_t& size);
  void (*AfterReallocMem)(size_t size, void*& result);
  void (*BeforeGetAllocSize)(void*& p);
  void (*AfterGetAllocSize)(void* p, size_t& result);
  void (*AfterBlockPoolCommittedAlloc)(void* block);
  void (*BeforeBlockPoolCommittedDispose)(void* block);
  void (*AfterBlockPoolCommittedLargeAlloc)(void* block);     // present, never called
  void (*BeforeBlockPoolCommittedLargeDispose)(void* block);  // present, never called
  void (*AfterBlockPoolPhysicalAlloc)(void* block);
  void (*BeforeBlockPoolPhysicalDispose)(void* block);
  void (*BeforeGetPool)(size_t& size);
  void (*AfterMemoryPoolAlloc)(uintptr_t pool, void*& result);
  void (*BeforeMemoryPoolDispose)(void*& item);
};
inline constexpr int mvMemoryHookCount = 16;
extern const char* const mvMemoryHookNames[mvMemoryHookCount];

// Fills hooks from a symbol lookup; false (hooks untouched) unless all 16 exist.
bool mvResolveMemoryHooks(void* (*lookup)(void* context, const char* name), void* context, TmvMemoryHooks& hooks);
// Looks for the hook library ("MorvaMM5Hook") in the documented places and
// loads it with dlopen; false when there is none or it lacks an entry point.
bool mvLoadMemoryHookLibrary(TmvMemoryHooks& hooks);

// The manager implementation: one per process (made on the first Attach).
// GetMem, FreeMem, ReallocMem and the pools run on any thread at once; the
// first three take and give items through the calling thread's item cache
// (mvllThreadCache.h). Requires: no thread uses the manager while it is destroyed.
class TmvPooledMemoryManager {
 public:
  // Requires: at most one instance at a time (asserted).
  TmvPooledMemoryManager();
  ~TmvPooledMemoryManager();  // stops the thread, then the pools and chunks

  void* GetMem(size_t size);        // nil when no memory can be had
  int FreeMem(void* p);             // 0, or non-zero when p is rejected
  void* ReallocMem(void* p, size_t size);  // nil (p unchanged) when it fails
  void GetStatistics(TmvMemoryStatistics& stats) const;
  // Flushes the calling thread's item cache, then asks the maintenance
  // thread for a full pass and waits up to 10 s.
  void Collect();

  // Large blocks (requests above 32 735 bytes).
  void* LargeAlloc(size_t size, uint32_t growth);
  int LargeRelease(void* p);
  // Raises EInvalidPointer for an unknown block; nil (block unchanged) when
  // its pages cannot be grown or moved.
  void* LargeRealloc(void* p, size_t size);
  // The trailer of the large block that starts at p, nil when none does.
  const TmvLargeBlockTrailer* FindLarge(const void* p) const;

  TmvChunkManager& Chunks() { return fChunks; }
  TmvBlockPools& Blocks() { return fBlocks; }
  TmvItemManager& Items() { return fItems; }
  const void* ZeroPage() const { return fZeroPage; }
  bool MaintenanceRunning() const;

  // One full cleanup pass (what a collect request runs), on the calling thread.
  void FullPass();

  // Tests: called on the reallocating thread when a block's pages have just
  // moved to a new address, before the block is entered there; the old
  // address is then free for any other mapping.
  using TAfterLargeMoveHook = void (*)(TmvPooledMemoryManager& manager, const void* oldBase);
  void SetAfterLargeMoveHook(TAfterLargeMoveHook hook) { fAfterLargeMoveHook = hook; }

 private:
  void* ItemRealloc(void* p, TmvMemoryPool* pool, size_t size);
  void* MoveLarge(TmvLargeBlockTrailer* t, size_t size, uint32_t growth);
  TmvLargeBlockTrailer* WriteTrailer(char* base, uint64_t size, uint32_t units, uint32_t maxUnits, uint32_t growth,
                                     uint32_t pagesInUse, uint32_t pagesCommitted);
  // The address map: (base >> 16) -> trailer, a radix tree of 256-way nodes.
  void** MapSlot(uintptr_t base, bool create);
  void MapSet(uintptr_t base, TmvLargeBlockTrailer* t);
  void FreeMapNode(void** node, int level);

  void MaintenanceLoop();
  void StopMaintenance();

  TmvChunkManager fChunks;
  TmvBlockPools fBlocks;
  TmvMemoryCounters fCounters;
  TmvItemManager fItems;
  TmvMemoryPool* fMapNodePool;  // 256 pointers per node
  void** fMapRoot = nullptr;
  int fMapDepth = 0;
  void* fZeroPage = nullptr;
  TAfterLargeMoveHook fAfterLargeMoveHook = nullptr;

  // The maintenance thread's state: stop and collect requests, the collect
  // finished and done signals, under one lock.
  mutable std::mutex fLock;
  std::condition_variable fWake;
  std::condition_variable fSignal;
  bool fStop = false;
  bool fCollectRequest = false;
  bool fCollectFinished = false;
  bool fDone = false;
  std::thread fThread;
};
