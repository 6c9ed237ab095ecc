// Foundation: the item pools of the memory manager.
//
// Every request for up to 32 735 bytes is served by one of 62 pools. A pool
// hands out items of one size, cut from 64 KB blocks of the 64 KB block pool;
// allocation and release are lock-free, and blocks whose items are all free
// go back on the maintenance thread's next pass. Calls the block pools and the
// locked operations only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/mvllAtomic.h"
#include "foundation/mvllChunks.h"

inline constexpr size_t mvItemBlockSize = 65536;
inline constexpr size_t mvLargestItem = 32736;       // the largest pool's item size
inline constexpr size_t mvLargestItemRequest = 32735;  // above this: a large block
inline constexpr int mvItemPoolCount = 62;

// A counter that many threads change at once: one cache line per slot, a
// thread adds to its own slot, a reader sums them. Keeps the bytes-allocated
// count off the allocation path's shared cache lines.
class TmvSpreadCounter {
 public:
  void Add(int64_t n);
  int64_t Sum() const;

 private:
  static constexpr int kSlots = 16;
  struct alignas(64) Slot {
    int64_t Value = 0;
  };
  Slot fSlots[kSlots];
};

// The manager's process-wide counters (bytes).
struct TmvMemoryCounters {
  int64_t Reserved = 0;
  int64_t Committed = 0;
  int64_t Header = 0;
  TmvSpreadCounter Allocated;  // items and large blocks handed out
};

// Objects placed in one 64 KB area that is committed and locked into memory
// (best effort: mlock) on first use. Each object takes the next step of its
// size rounded up to 16; a released step is only reused by an object of the
// same step. The area lives as long as the process.
class TmvUnpagedObject {
 public:
  static void* operator new(size_t size);
  static void operator delete(void* p, size_t size);
};

// Layout of a 64 KB item block (64-bit form):
// | offset | size | field                                                   |
// |      0 |    8 | link to the next block on whichever pool list holds it   |
// |      8 |    8 | owning pool (nil once the block is given back)           |
// |     16 |    8 | free-item list head: offset of the first free item (low  |
// |        |      |   32 bits, 0 = none) and a change counter (high 32 bits) |
// |     24 |    4 | number of items in use (locked)                         |
// |     28 |    4 | detached flag: 1 while on no list, its free list empty   |
// |     32 |    * | allocation bitmap, one bit per item, set while in use    |
// | header |    * | the items; a free item's first 4 bytes hold the offset   |
// |        |      |   of the next free item (0 at the end)                  |
class TmvMemoryPool;
struct TmvItemBlock {
  TmvItemBlock* Link;
  TmvMemoryPool* Owner;
  uint64_t FreeHead;
  uint32_t InUse;
  uint32_t Detached;
  uint32_t Bitmap[1];  // extends into the header
};
static_assert(offsetof(TmvItemBlock, Bitmap) == 32);

// One pool of items of one size. Alloc and DisposeDirect may run on any
// thread at once; Cleanup runs on the maintenance thread only.
class TmvMemoryPool : public TmvUnpagedObject {
 public:
  TmvMemoryPool(uint32_t aItemSize, TmvBlockPools& blocks, TmvMemoryCounters& counters);
  ~TmvMemoryPool();  // runs the cleanup first

  // One item, or nil when no block can be had.
  void* Alloc();
  // Takes the item back; 0 on success. A double release, an address that is
  // no item of this pool, or a corrupt block raises EInvalidPointer.
  int DisposeDirect(void* item);
  // Takes the item out of the variable with a locked exchange, then disposes it.
  void Dispose(void*& item);
  // Gives back blocks with no item in use.
  void Cleanup();

  uint32_t ItemSize() const { return mpItemSize; }
  uint32_t BlockHeaderSize() const { return mpBlockHeaderSize; }
  uint32_t ItemsPerBlock() const { return mpItemsPerBlock; }

  // The block of an item address.
  static TmvItemBlock* BlockOf(const void* item) {
    return reinterpret_cast<TmvItemBlock*>(uintptr_t(item) & ~uintptr_t(mvItemBlockSize - 1));
  }

 private:
  TmvListHead& CurrentPartial() {
    return __atomic_load_n(&mpPartialFreeBlockBool, __ATOMIC_ACQUIRE) == 0 ? mpPartialFreeBlockHead1
                                                                           : mpPartialFreeBlockHead2;
  }
  TmvItemBlock* NewBlock();
  void Detach(TmvItemBlock* block);
  void GiveBack(TmvItemBlock* block);
  uint32_t IndexOf(const TmvItemBlock* block, const void* item) const;  // or raises

  uint32_t mpPartialFreeBlockBool = 0;
  TmvListHead mpPartialFreeBlockHead1;
  TmvListHead mpPartialFreeBlockHead2;
  TmvListHead mpFreeBlockHead;
  uint32_t mpNeedCleanup = 0;
  uint32_t mpBlockHeaderSize;
  uint32_t mpItemSize;
  uint32_t mpItemsPerBlock;
  TmvBlockPools& fBlocks;
  TmvBlockClass* fBlockClass;  // the 64 KB class
  TmvMemoryCounters& fCounters;
};

// The 62 pools and the size lookup.
class TmvItemManager {
 public:
  TmvItemManager(TmvBlockPools& blocks, TmvMemoryCounters& counters);
  ~TmvItemManager();

  // The pool for a request of n bytes (n <= 32 735).
  TmvMemoryPool* PoolFor(size_t n) const { return n < 65 ? fSmall[n >> 2] : fLarge[(n - 1) >> 5]; }
  // The pool whose block holds this item, nil when the address is not in an
  // item block of these pools.
  TmvMemoryPool* OwnerOf(const void* item) const;
  TmvMemoryPool* Pool(int index) const { return fPools[index]; }
  void Cleanup();

 private:
  TmvBlockPools& fBlocks;
  TmvMemoryPool* fPools[mvItemPoolCount] = {};
  TmvMemoryPool* fSmall[17] = {};    // sizes 4, 8, .. 68 by n div 4
  TmvMemoryPool* fLarge[1023] = {};  // sizes 32, 64, .. 32 736 by (n - 1) div 32
};

// The item sizes of the 62 pools, ascending.
extern const uint32_t mvItemPoolSizes[mvItemPoolCount];
