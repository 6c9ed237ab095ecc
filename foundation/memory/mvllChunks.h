// Foundation: chunks, two-level bitmaps and the block pools.
//
// The lowest layer of the memory manager owns the address space. One arena of
// 1024 slots of 4 MB is reserved (PROT_NONE) when a chunk manager is made;
// a chunk is a slot whose pages are committed (mprotect read/write), and a
// chunk given back is kept as a spare, refills the five-chunk emergency
// reserve, or has its pages returned (madvise DONTNEED, then read-only so
// that a stale lock-free read there stays harmless) while the slot stays in
// the arena. The block pools cut chunks into blocks of 4 KB, 8 KB, 16 KB,
// 32 KB, 64 KB or a whole 4 MB. Every structure is a set of
// two-level bitmaps changed by locked operations: nothing here takes a lock.
// Calls only the locked operations and the operating system.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/sync/mvllAtomic.h"

inline constexpr uint32_t mvChunkShift = 22;
inline constexpr size_t mvChunkSize = size_t(1) << mvChunkShift;  // 4 MB
inline constexpr uint32_t mvSlotCount = 1024;
inline constexpr int mvBlockClassCount = 6;  // 4 KB, 8 KB, 16 KB, 32 KB, 64 KB, 4 MB
inline constexpr int mvReserveChunkCount = 5;

// ---------------------------------------------------------------------------
// Two-level bitmap of 1024 bits.
//
// | word  | meaning                                                  |
// | 0     | non-empty summary: bit w set when word 2 + w is not 0     |
// | 1     | full summary: bit w set when word 2 + w is all ones       |
// | 2..33 | the bits: bit i is bit i mod 32 of word 2 + i div 32      |
//
// Searches take the highest set bit of the summary, then of that word, so the
// highest index comes first. The summaries are kept with separate locked
// operations and can lag a moment behind their words; every change re-checks
// its word after clearing a summary bit so that no set bit is ever hidden
// for good. `emptyChanges` (where offered) counts the transitions of the
// whole bitmap between empty and non-empty that this call made: a caller that
// mirrors "has bits" elsewhere flips its mirror when the count is odd.
struct TmvBitmap {
  uint32_t Words[34] = {};
};

void mvBitmapBuildSummaries(TmvBitmap& bm);
int mvBitmapFindHighest(const TmvBitmap& bm);                        // -1 when none
int mvBitmapTakeHighest(TmvBitmap& bm, int* emptyChanges = nullptr);  // -1 when empty
bool mvBitmapSet(TmvBitmap& bm, int index, int* emptyChanges = nullptr);  // false when already set
bool mvBitmapClear(TmvBitmap& bm, int index, int* emptyChanges = nullptr);  // false when already clear
bool mvBitmapTest(const TmvBitmap& bm, int index);
void mvBitmapToggle(TmvBitmap& bm, int index);
// Clears `bits` of word w (0..31) that are set; returns the bits it cleared.
uint32_t mvBitmapTakeBits(TmvBitmap& bm, int w, uint32_t bits, int* emptyChanges = nullptr);
// Takes word w only when it is all ones (then it becomes 0); false otherwise.
bool mvBitmapTakeFullWord(TmvBitmap& bm, int w, int* emptyChanges = nullptr);
// Sets `bits` in word w.
void mvBitmapSetBits(TmvBitmap& bm, int w, uint32_t bits, int* emptyChanges = nullptr);
// Moves every set bit of src into dst, word by word from the last.
void mvBitmapMoveAll(TmvBitmap& src, TmvBitmap& dst);
inline bool mvBitmapIsEmpty(const TmvBitmap& bm) { return mvBitmapFindHighest(bm) < 0; }

// ---------------------------------------------------------------------------
// The chunk manager.
//
// Thread safety: every public operation may run on any thread at once, except
// Start, ReleaseSpares and destruction (one thread: the owner or the
// maintenance thread). Requires: Start before the first chunk is asked for.
class TmvChunkManager {
 public:
  // Reserves an arena of slotCount slots (slot 0 is never used). The process
  // manager uses all 1024; tests use small arenas to reach exhaustion.
  explicit TmvChunkManager(uint32_t slotCount = mvSlotCount);
  virtual ~TmvChunkManager();
  TmvChunkManager(const TmvChunkManager&) = delete;
  TmvChunkManager& operator=(const TmvChunkManager&) = delete;

  // Marks the slots available (from the highest down) and fills the reserve.
  void Start();

  // A committed 4 MB chunk: a spare, else a new one; nil when none can be had
  // even after the set-aside slots, the callback and the reserve.
  void* GetCommittedChunk();
  // Takes a chunk back (a multiple of 4 MB in this arena): refills the reserve
  // while it is in use, else keeps the chunk as a spare.
  void GiveBackCommittedChunk(void* chunk);
  // Returns every spare chunk's pages to the system; their slots become available.
  void ReleaseSpares();

  // Called when the address space runs out a second time (default: nothing).
  void SetOutOfAddressSpaceCallback(void (*callback)()) { fCallback = callback; }

  // Non-nil exactly while a reserve chunk is in use.
  void* const* ReserveInUseWord() const { return &fReserve.EmptyNodes.lhFirst; }
  bool ReserveInUse() const { return __atomic_load_n(&fReserve.EmptyNodes.lhFirst, __ATOMIC_ACQUIRE) != nullptr; }

  bool Contains(const void* p) const {
    return uintptr_t(p) - uintptr_t(fBase) < uintptr_t(fSlotCount) << mvChunkShift;
  }
  uint32_t SlotOf(const void* p) const { return uint32_t((uintptr_t(p) - uintptr_t(fBase)) >> mvChunkShift); }
  char* SlotAddress(uint32_t slot) const { return fBase + (size_t(slot) << mvChunkShift); }
  uint32_t SlotCount() const { return fSlotCount; }

  // For statistics and tests.
  int SpareCount() const;
  int ReserveCount() const;
  const TmvBitmap& Available() const { return fAvailable; }
  const TmvBitmap& SetAside() const { return fSetAside; }

 protected:
  // The operating-system steps, virtual so that tests can make them fail.
  virtual bool CommitChunk(void* chunk);    // mprotect read/write
  virtual bool DecommitChunk(void* chunk);  // pages dropped, read-only; slot kept for the reserve
  virtual bool ReleaseChunk(void* chunk);   // pages dropped, read-only
  virtual void Collect();                   // runs the out-of-address-space callback

 private:
  struct ReserveNode {
    ReserveNode* Link;
    void* Chunk;
  };
  // The reserve record: empty nodes (non-empty exactly while the reserve is
  // in use), reserve chunks, and the five nodes.
  struct ReserveRecord {
    TmvListHead EmptyNodes;
    TmvListHead Chunks;
    ReserveNode Nodes[mvReserveChunkCount];
  };

  void* NewCommittedChunk();

  char* fBase = nullptr;        // slot 0 of the arena, 4 MB aligned
  void* fMapping = nullptr;     // the whole reservation, for munmap
  size_t fMappingSize = 0;
  uint32_t fSlotCount;
  TmvBitmap fAvailable;  // slots believed free
  TmvBitmap fSetAside;   // slots whose commit failed, to be tried again
  TmvBitmap fSpares;     // chunks given back, still committed
  ReserveRecord fReserve;
  void (*fCallback)() = nullptr;
};

// ---------------------------------------------------------------------------
// Block pools: one record per block size over one chunk manager.
class TmvBlockPools;

struct TmvBlockClass {
  uint32_t Shift;      // 12 .. 16, 22
  size_t Size;         // 1 << Shift
  size_t Mask;         // Size - 1
  uint32_t Words;      // (4 MB / Size) div 32: 32, 16, 8, 4, 2, 0
  uint32_t WordMask;   // Words low bits set (0 for the 4 MB class)
  int Index;           // 0 .. 5
  TmvBlockPools* Pools;
  TmvBitmap Chunks;    // chunks this class owns that have free blocks
};

// Thread safety: Allocate and the Release forms may run on any thread at
// once; Cleanup runs on one thread (the maintenance thread).
class TmvBlockPools {
 public:
  explicit TmvBlockPools(TmvChunkManager& chunks);
  ~TmvBlockPools();
  TmvBlockPools(const TmvBlockPools&) = delete;
  TmvBlockPools& operator=(const TmvBlockPools&) = delete;

  TmvBlockClass* Class(int index) { return &fClasses[index]; }
  TmvChunkManager& ChunkManager() { return fChunks; }

  // One block of the class, the highest free address first; nil when no chunk
  // can be had.
  void* Allocate(TmvBlockClass* cls);
  // False when the address is not a block of a chunk of this class, is not
  // aligned to the block size, or the block is already free.
  bool Release(TmvBlockClass* cls, void* block);
  // The owning class comes from the chunk's descriptor; requires 4 KB alignment.
  bool ReleaseByAddress(void* block);
  // The class that owns the chunk holding p, nil when none does.
  TmvBlockClass* OwnerOf(const void* p) const {
    if (!fChunks.Contains(p)) return nullptr;
    return __atomic_load_n(&fDescriptors[fChunks.SlotOf(p)].Owner, __ATOMIC_ACQUIRE);
  }

  // Gives back chunks whose blocks are all free and returns the pages of
  // blocks released since the last pass that are still free.
  void Cleanup();

  // Free blocks of the chunk at slot (tests).
  const TmvBitmap& FreeBlocksOf(uint32_t slot) const { return fDescriptors[slot].Free; }

 private:
  struct Descriptor {
    TmvBlockClass* Owner;  // nil while the chunk belongs to no class
    uint32_t Slot;
    TmvBitmap Free;        // bit set = block free; only the class's word count is used
  };

  void CleanupClass(TmvBlockClass* cls);
  void CleanupChunk(TmvBlockClass* cls, uint32_t slot);
  void FlipChunkBit(TmvBlockClass* cls, uint32_t slot, int emptyChanges);

  TmvChunkManager& fChunks;
  TmvBlockClass fClasses[mvBlockClassCount];
  Descriptor* fDescriptors = nullptr;  // mvSlotCount, committed at creation
  TmvBitmap* fReleased = nullptr;      // blocks released since the last pass, per slot
  size_t fTablesSize = 0;
};
