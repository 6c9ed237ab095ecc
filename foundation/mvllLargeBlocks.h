// Foundation: large blocks, the memory manager's requests above 32 735 bytes.
//
// Each large block is memory mapped from the operating system for one
// request, starting on a 64 KB boundary, with a trailer in the last 32 bytes
// of its pages in use; an address map from (base >> 16) to the trailer finds
// it again. A block reallocated more than once gets a mapping with room to
// grow in place. Calls the item pools (a block that shrinks far moves into an
// item), the thread cache and the operating system.
#pragma once

#include <cstddef>
#include <cstdint>

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
  // is releasing or reallocating); nil (block unchanged) when its pages
  // cannot be grown or moved, or the size cannot be served at all.
  void* Realloc(void* p, size_t size);
  // The trailer of the large block that starts at p, nil when none does.
  const TmvLargeBlockTrailer* Find(const void* p) const;
  // Bytes of items that the address map's nodes take (counted as allocated).
  size_t MapBytes() const;

  // Tests: called on the reallocating thread when a block's pages have just
  // moved to a new address, before the block is entered there; the old
  // address is then free for any other mapping.
  using TAfterMoveHook = void (*)(TmvLargeBlocks& blocks, const void* oldBase);
  void SetAfterMoveHook(TAfterMoveHook hook) { fAfterMoveHook = hook; }

 private:
  // Takes the block that starts at p out of the map with one compare-exchange:
  // the caller then owns it alone. Nil when p is no large block, or another
  // thread took it first.
  TmvLargeBlockTrailer* Claim(const void* p);
  // Gives the pages of a claimed block back; 0, or non-zero when the system refuses.
  int Drop(const TmvLargeBlockTrailer* t);
  void* Move(TmvLargeBlockTrailer* t, size_t size, uint32_t growth);
  TmvLargeBlockTrailer* WriteTrailer(char* base, uint64_t size, uint32_t units, uint32_t maxUnits, uint32_t growth,
                                     uint32_t pagesInUse, uint32_t pagesCommitted);
  // The address map: (base >> 16) -> trailer, a radix tree of 256-way nodes.
  void** MapSlot(uintptr_t base, bool create);
  void MapSet(uintptr_t base, TmvLargeBlockTrailer* t);
  void FreeMapNode(void** node, int level);

  TmvItemManager& fItems;
  TmvMemoryCounters& fCounters;
  TmvMemoryPool* fMapNodePool;  // 256 pointers per node
  void** fMapRoot = nullptr;
  int fMapDepth = 0;
  size_t fMapNodes = 0;  // locked increments
  TAfterMoveHook fAfterMoveHook = nullptr;
};
