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

#include "foundation/memory/mvllChunks.h"
#include "foundation/sync/mvllAtomic.h"
#include "platform/SysUtils.h"

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

// One pool of items of one size. Alloc, DisposeDirect and the batch and
// marking operations may run on any thread at once; Cleanup runs on the
// maintenance thread only.
//
// An item has two states the pool keeps apart: counted in its block's in-use
// count (taken from the block's free list), and marked in the allocation
// bitmap (held by a caller). Alloc and DisposeDirect change both; the batch
// operations change only the count and the marking operations only the bit,
// so that a thread cache (mvllThreadCache.h) can hold counted, unmarked items.
class TmvMemoryPool : public TmvUnpagedObject {
 public:
  TmvMemoryPool(uint32_t aItemSize, TmvBlockPools& blocks, TmvMemoryCounters& counters, uint32_t aIndex = 0);
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

  // Up to n items into out, counted in use and in the allocated bytes but
  // not marked; each round takes what one block offers with one
  // compare-exchange on its free list. Returns how many (0: no block to be had).
  uint32_t AllocBatch(void** out, uint32_t n);
  // The same for a caller that keeps taking from one block: `held` (nil at
  // first) is the block taken from, kept off the pool's lists while it still
  // has free items, and taken from first next time. So that different
  // threads' items lie in different blocks, whose headers and bitmaps they
  // then do not share. Releases of its items go on as usual; it is not given
  // back while held. Requires: ReleaseHeld before the pool is destroyed.
  uint32_t AllocBatch(void** out, uint32_t n, TmvItemBlock*& held);
  // Puts a held block back on the pool's list (nil: nothing); held := nil.
  void ReleaseHeld(TmvItemBlock*& held);
  // Puts n counted, unmarked items of this pool back on their blocks' free
  // lists: one compare-exchange and one count change per run of items of
  // the same block. Requires: each item came from AllocBatch and its bit is clear.
  void DisposeBatch(void* const* items, uint32_t n);
  // Sets the allocation bits of n items that AllocBatch gave, with one
  // locked operation per bitmap word they share; raises EInvalidPointer when
  // a bit is already set (a corrupt block).
  void MarkBatchInUse(void* const* items, uint32_t n) { ChangeBits(items, n, true); }
  // Clears them again before the items go back with DisposeBatch; raises
  // EInvalidPointer when a bit is already clear.
  void MarkBatchFree(void* const* items, uint32_t n) { ChangeBits(items, n, false); }
  // Sets the item's allocation bit; raises EInvalidPointer when it is no
  // item of this pool or the bit is already set.
  void MarkInUse(void* item);
  // Clears the item's allocation bit with one locked test-and-reset; raises
  // EInvalidPointer when it is no item of this pool or the bit is already
  // clear (a double release).
  void MarkFree(void* item);
  // Raises EInvalidPointer unless the item is the start of an item of this
  // pool whose bit is set: held by a caller, or off the free lists in a
  // thread's magazine (the thread cache tells the two apart).
  void CheckHeld(const void* item) const;

  uint32_t Index() const { return mpIndex; }  // in mvItemPoolSizes
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
  TmvItemBlock* TakeBlock();
  void Detach(TmvItemBlock* block);
  void ReleaseRun(TmvItemBlock* block, void* const* items, uint32_t n);
  void ChangeBits(void* const* items, uint32_t n, bool inUse);
  void GiveBack(TmvItemBlock* block);
  uint32_t IndexOf(const TmvItemBlock* block, const void* item) const;  // or raises EInvalidPointer

  uint32_t mpPartialFreeBlockBool = 0;
  TmvListHead mpPartialFreeBlockHead1;
  TmvListHead mpPartialFreeBlockHead2;
  TmvListHead mpFreeBlockHead;
  uint32_t mpNeedCleanup = 0;
  uint32_t mpBlockHeaderSize;
  uint32_t mpItemSize;
  uint32_t mpItemsPerBlock;
  uint32_t mpIndex;
  uint32_t mpIndexMultiplier;  // 2^32 / item size, rounded up (IndexOf)
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
  // item block of these pools. The owner word is checked against the pools
  // themselves: a 64 KB block of the block pool holds user data there.
  TmvMemoryPool* OwnerOf(const void* item) const {
    if ((uintptr_t(item) & (mvItemBlockSize - 1)) == 0) return nullptr;
    if (fBlocks.OwnerOf(item) != const_cast<TmvBlockPools&>(fBlocks).Class(4)) return nullptr;
    TmvMemoryPool* owner = __atomic_load_n(&TmvMemoryPool::BlockOf(item)->Owner, __ATOMIC_ACQUIRE);
    // Between the lowest and the highest pool, at an object step, lies
    // readable memory of the unpaged area: its index can be read.
    if (owner < fLowestPool || owner > fHighestPool || (uintptr_t(owner) & 15) != 0) return nullptr;
    const uint32_t index = owner->Index();
    return index < mvItemPoolCount && fPools[index] == owner ? owner : nullptr;
  }
  TmvMemoryPool* Pool(int index) const { return fPools[index]; }
  void Cleanup();

 private:
  TmvBlockPools& fBlocks;
  TmvMemoryPool* fPools[mvItemPoolCount] = {};
  TmvMemoryPool* fLowestPool = nullptr;
  TmvMemoryPool* fHighestPool = nullptr;
  TmvMemoryPool* fSmall[17] = {};    // sizes 4, 8, .. 68 by n div 4
  TmvMemoryPool* fLarge[1023] = {};  // sizes 32, 64, .. 32 736 by (n - 1) div 32
};

// The marking operations and the item test run on every allocation and
// release, so they are inline.

// Offset times the rounded-up reciprocal, shifted down, is the exact quotient
// for offsets below 2^16 (its error stays below offset / 2^32, too little to
// reach the next multiple); the product check then finds non-items. Saves a
// division on every allocation and release.
inline uint32_t TmvMemoryPool::IndexOf(const TmvItemBlock* block, const void* item) const {
  const uint32_t offset = uint32_t(uintptr_t(item) - uintptr_t(block));  // below 2^16: blocks are aligned
  if (offset < mpBlockHeaderSize) InvalidPointerError();
  const uint32_t rel = offset - mpBlockHeaderSize;
  const uint32_t index = uint32_t((uint64_t(rel) * mpIndexMultiplier) >> 32);
  if (index * mpItemSize != rel || index >= mpItemsPerBlock) InvalidPointerError();
  return index;
}

inline void TmvMemoryPool::MarkInUse(void* item) {
  TmvItemBlock* block = BlockOf(item);
  const uint32_t index = IndexOf(block, item);
  const uint32_t bit = 1u << (index & 31);
  if (__atomic_fetch_or(&block->Bitmap[index >> 5], bit, __ATOMIC_SEQ_CST) & bit) InvalidPointerError();
}

inline void TmvMemoryPool::CheckHeld(const void* item) const {
  const TmvItemBlock* block = BlockOf(item);
  if (__atomic_load_n(&block->Owner, __ATOMIC_ACQUIRE) != this) InvalidPointerError();
  const uint32_t index = IndexOf(block, item);
  if (!(__atomic_load_n(&block->Bitmap[index >> 5], __ATOMIC_ACQUIRE) & (1u << (index & 31)))) InvalidPointerError();
}

inline void TmvMemoryPool::MarkFree(void* item) {
  TmvItemBlock* block = BlockOf(item);
  if (__atomic_load_n(&block->Owner, __ATOMIC_ACQUIRE) != this) InvalidPointerError();
  const uint32_t index = IndexOf(block, item);
  const uint32_t bit = 1u << (index & 31);
  if (!(__atomic_fetch_and(&block->Bitmap[index >> 5], ~bit, __ATOMIC_SEQ_CST) & bit)) InvalidPointerError();
}

// The item sizes of the 62 pools, ascending.
inline constexpr uint32_t mvItemPoolSizes[mvItemPoolCount] = {
    4,    8,    16,   32,   48,   64,   96,   128,  160,  192,  224,   256,   288,   320,   352,   384,
    416,  448,  480,  512,  544,  576,  608,  640,  672,  704,  736,   768,   800,   832,   864,   896,
    928,  960,  992,  1024, 1280, 1536, 1792, 2048, 2304, 2560, 2816,  3072,  3328,  3584,  3840,  4064,
    4352, 4672, 5024, 5440, 5952, 6528, 7264, 8160, 9344, 10912, 13088, 16352, 21824, 32736};
