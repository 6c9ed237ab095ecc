// Foundation: large blocks, the memory manager's requests above 32 735 bytes.
//
// Each large block is memory mapped from the operating system for one
// request, starting on a 64 KB boundary, with a trailer in the last 32 bytes
// of its pages in use; an address map from (base >> 16) to the trailer finds
// it again. A block reallocated more than once gets a mapping with room to
// grow: the whole of its maximum is mapped at once (pages cost nothing until
// they are touched), so that it grows in place up to that maximum. The pages
// of a released block are kept mapped for a short time (TmvKeptPages), so
// that the next block of about that size takes them without system calls or
// fresh page faults. Calls the item pools (a block that shrinks far moves
// into an item), the thread cache and the operating system.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/memory/mvllItemPools.h"

// The trailer in the last 32 bytes of a large block's pages in use (64-bit
// form; the fields of the 32-bit original, packed):
// | offset | size | field                                                   |
// |      0 |    8 | requested size                                          |
// |      8 |    8 | base address                                            |
// |     16 |    4 | 64 KB units of the view (reserved, in the statistics)   |
// |     20 |    2 | maximum units: the growable mapping's capacity, all of  |
// |        |      |   it mapped; 0 for a plain block (whose mapping is its  |
// |        |      |   pages committed)                                      |
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

// Mappings of released large blocks, kept for reuse for a short time: a
// buffer that is freed and made again, or that moves to a larger block as it
// grows, would otherwise cost a map, unmaps and a page fault per page each
// time. A mapping is kept while there is room (at most kSlots mappings of at
// most kMaxMapping bytes, kMaxTotal bytes in all) and goes back to the system
// at the second Age after it was kept, or at DropAll. Kept pages keep their
// contents; they are not counted in the manager's statistics, like the
// chunk manager's spare chunks.
//
// Every operation may run on any thread at once: each slot is one word
// (base | pages | aged flag) that changes hands by compare-exchange, so a
// mapping has exactly one owner at any time.
class TmvKeptPages {
 public:
  static constexpr int kSlots = 16;
  static constexpr size_t kMaxMapping = size_t(8) << 20;
  static constexpr size_t kMaxTotal = size_t(32) << 20;

  TmvKeptPages() = default;
  ~TmvKeptPages() { DropAll(); }
  TmvKeptPages(const TmvKeptPages&) = delete;
  TmvKeptPages& operator=(const TmvKeptPages&) = delete;

  // Keeps the mapping of `bytes` bytes (whole pages) at `base` (64 KB
  // aligned); false when there is no room, and the caller unmaps it.
  bool Keep(void* base, size_t bytes);
  // A kept mapping of exactly `bytes` bytes: the smallest kept one that is
  // not smaller and at most twice as large, its tail unmapped. Nil when none fits.
  char* Take(size_t bytes);
  // Drops the mappings kept since the previous call and marks the others.
  // Returns how many the system refused to unmap.
  int Age();
  // Drops every kept mapping; returns how many the system refused to unmap.
  int DropAll();
  size_t Bytes() const { return __atomic_load_n(&fBytes, __ATOMIC_RELAXED); }

 private:
  int Drop(uint64_t word);
  uint64_t fSlots[kSlots] = {};
  size_t fBytes = 0;  // locked changes
};

// The large blocks of one manager and their address map. Operations on
// different blocks run on any thread at once; the map is lock-free (nodes
// published by compare-exchange, entries written by the block's owner).
class TmvLargeBlocks {
 public:
  // Map nodes are items of the 2048-byte pool of `items`; the counters are
  // the manager's.
  TmvLargeBlocks(TmvItemManager& items, TmvMemoryCounters& counters);
  ~TmvLargeBlocks();  // frees the map's nodes; the blocks must be gone
  TmvLargeBlocks(const TmvLargeBlocks&) = delete;
  TmvLargeBlocks& operator=(const TmvLargeBlocks&) = delete;

  // A block of `size` bytes; `growth` > 0 (how often it was reallocated)
  // gives it a growable mapping. Nil when the system has no memory for it.
  void* Alloc(size_t size, uint32_t growth);
  // 0, or non-zero when p is no large block of this map. Of two threads
  // releasing one block at once, exactly one succeeds.
  int Release(void* p);
  // Raises EInvalidPointer for an unknown block (or one that another thread
  // is releasing or reallocating); nil (block unchanged) when it must move
  // and no new block can be had, or the size cannot be served at all.
  void* Realloc(void* p, size_t size);
  // The trailer of the large block that starts at p, nil when none does.
  const TmvLargeBlockTrailer* Find(const void* p) const;
  // Bytes of items that the address map's nodes take (counted as allocated).
  size_t MapBytes() const;
  // The pages of released blocks (maintenance: Age on every wake-up, DropAll
  // on a collect).
  TmvKeptPages& Kept() { return fKept; }

  // Tests: called on the reallocating thread when a block has just moved to
  // a new address and its old pages were released; the old address is then
  // free for any other block.
  using TAfterMoveHook = void (*)(TmvLargeBlocks& blocks, const void* oldBase);
  void SetAfterMoveHook(TAfterMoveHook hook) { fAfterMoveHook = hook; }

 private:
  // Takes the block that starts at p out of the map with one compare-exchange:
  // the caller then owns it alone, and puts it back (or its successor at the
  // same address) into `slot`. Nil when p is no large block, or another
  // thread took it first.
  TmvLargeBlockTrailer* Claim(const void* p, void**& slot);
  // Gives the pages of a claimed block back (kept for reuse, or unmapped); 0,
  // or non-zero when the system refuses.
  int Drop(const TmvLargeBlockTrailer* t);
  void* Move(void** slot, TmvLargeBlockTrailer* t, size_t size, uint32_t growth);
  void* Resized(void** slot, const TmvLargeBlockTrailer& old, size_t size, uint32_t units, uint32_t growth,
                uint32_t pagesInUse, uint32_t pagesCommitted);
  // Adds to the manager's counters: 64 KB units reserved, pages committed, bytes allocated.
  void Count(int64_t units, int64_t pages, int64_t bytes);
  TmvLargeBlockTrailer* WriteTrailer(char* base, uint64_t size, uint32_t units, uint32_t maxUnits, uint32_t growth,
                                     uint32_t pagesInUse, uint32_t pagesCommitted);
  // The address map: (base >> 16) -> trailer, a radix tree of 256-way nodes.
  void** MapSlot(uintptr_t base, bool create);
  void FreeMapNode(void** node, int level);

  TmvItemManager& fItems;
  TmvMemoryCounters& fCounters;
  TmvMemoryPool* fMapNodePool;  // 256 pointers per node
  void** fMapRoot = nullptr;
  int fMapDepth = 0;
  size_t fMapNodes = 0;  // locked increments
  TAfterMoveHook fAfterMoveHook = nullptr;
  TmvKeptPages fKept;
};
