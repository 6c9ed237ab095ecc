// Foundation: chunks, two-level bitmaps and the block pools (see mvllChunks.h).
#include "foundation/memory/mvllChunks.h"

#include <sys/mman.h>

#include <bit>
#include <cstring>

#include "platform/SysUtils.h"

// ---------------------------------------------------------------------------
// Bitmaps

namespace {

constexpr uint32_t kAllOnes = ~0u;

inline uint32_t Load(const uint32_t& w) { return __atomic_load_n(&w, __ATOMIC_ACQUIRE); }
inline int HighestBit(uint32_t x) { return 31 - std::countl_zero(x); }
inline uint32_t& DataWord(TmvBitmap& bm, int w) { return bm.Words[2 + w]; }

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

inline void Count(int* changes) {
  if (changes) ++*changes;
}

// Clears the non-empty summary bit of word w, then puts it back when the word
// gained bits meanwhile: a setter that ORed the bit in before our AND would
// otherwise leave a non-empty word hidden.
void ClearNonEmptyBit(TmvBitmap& bm, int w, int* changes) {
  const uint32_t bit = 1u << w;
  if (__atomic_fetch_and(&bm.Words[0], ~bit, __ATOMIC_SEQ_CST) == bit) Count(changes);
  if (Load(DataWord(bm, w)) != 0 && __atomic_fetch_or(&bm.Words[0], bit, __ATOMIC_SEQ_CST) == 0) Count(changes);
}

// Keeps both summaries right after this thread changed word w from old to now.
void AfterWordChange(TmvBitmap& bm, int w, uint32_t old, uint32_t now, int* changes) {
  const uint32_t bit = 1u << w;
  if (old == 0 && now != 0) {
    if (__atomic_fetch_or(&bm.Words[0], bit, __ATOMIC_SEQ_CST) == 0) Count(changes);
  } else if (old != 0 && now == 0) {
    ClearNonEmptyBit(bm, w, changes);
  }
  if (now == kAllOnes && old != kAllOnes) {
    __atomic_fetch_or(&bm.Words[1], bit, __ATOMIC_SEQ_CST);
  } else if (old == kAllOnes && now != kAllOnes) {
    __atomic_fetch_and(&bm.Words[1], ~bit, __ATOMIC_SEQ_CST);
    if (Load(DataWord(bm, w)) == kAllOnes) __atomic_fetch_or(&bm.Words[1], bit, __ATOMIC_SEQ_CST);
  }
}

}  // namespace

void mvBitmapBuildSummaries(TmvBitmap& bm) {
  uint32_t nonEmpty = 0, full = 0;
  for (int w = 0; w < 32; ++w) {
    const uint32_t x = Load(DataWord(bm, w));
    if (x) nonEmpty |= 1u << w;
    if (x == kAllOnes) full |= 1u << w;
  }
  __atomic_store_n(&bm.Words[0], nonEmpty, __ATOMIC_RELEASE);
  __atomic_store_n(&bm.Words[1], full, __ATOMIC_RELEASE);
}

int mvBitmapFindHighest(const TmvBitmap& bm) {
  for (uint32_t s = Load(bm.Words[0]); s; ) {
    const int w = HighestBit(s);
    if (const uint32_t x = Load(bm.Words[2 + w])) return w * 32 + HighestBit(x);
    s &= ~(1u << w);
  }
  return -1;
}

int mvBitmapTakeHighest(TmvBitmap& bm, int* emptyChanges) {
  for (;;) {
    const uint32_t s = Load(bm.Words[0]);
    if (s == 0) return -1;
    const int w = HighestBit(s);
    uint32_t& word = DataWord(bm, w);
    uint32_t x = Load(word);
    if (x == 0) {  // the summary lags behind its word: mend it and search again
      ClearNonEmptyBit(bm, w, emptyChanges);
      continue;
    }
    const int b = HighestBit(x);
    const uint32_t now = x & ~(1u << b);
    if (__atomic_compare_exchange_n(&word, &x, now, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
      AfterWordChange(bm, w, x, now, emptyChanges);
      return w * 32 + b;
    }
  }
}

bool mvBitmapSet(TmvBitmap& bm, int index, int* emptyChanges) {
  const int w = index >> 5;
  const uint32_t bit = 1u << (index & 31);
  const uint32_t old = __atomic_fetch_or(&DataWord(bm, w), bit, __ATOMIC_SEQ_CST);
  if (old & bit) return false;
  AfterWordChange(bm, w, old, old | bit, emptyChanges);
  return true;
}

bool mvBitmapClear(TmvBitmap& bm, int index, int* emptyChanges) {
  const int w = index >> 5;
  const uint32_t bit = 1u << (index & 31);
  const uint32_t old = __atomic_fetch_and(&DataWord(bm, w), ~bit, __ATOMIC_SEQ_CST);
  if (!(old & bit)) return false;
  AfterWordChange(bm, w, old, old & ~bit, emptyChanges);
  return true;
}

bool mvBitmapTest(const TmvBitmap& bm, int index) {
  return (Load(bm.Words[2 + (index >> 5)]) >> (index & 31)) & 1;
}

void mvBitmapToggle(TmvBitmap& bm, int index) {
  const int w = index >> 5;
  const uint32_t bit = 1u << (index & 31);
  const uint32_t old = __atomic_fetch_xor(&DataWord(bm, w), bit, __ATOMIC_SEQ_CST);
  AfterWordChange(bm, w, old, old ^ bit, nullptr);
}

uint32_t mvBitmapTakeBits(TmvBitmap& bm, int w, uint32_t bits, int* emptyChanges) {
  const uint32_t old = __atomic_fetch_and(&DataWord(bm, w), ~bits, __ATOMIC_SEQ_CST);
  const uint32_t taken = old & bits;
  if (taken) AfterWordChange(bm, w, old, old & ~bits, emptyChanges);
  return taken;
}

bool mvBitmapTakeFullWord(TmvBitmap& bm, int w, int* emptyChanges) {
  uint32_t expected = kAllOnes;
  if (!__atomic_compare_exchange_n(&DataWord(bm, w), &expected, 0u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
    return false;
  AfterWordChange(bm, w, kAllOnes, 0, emptyChanges);
  return true;
}

void mvBitmapSetBits(TmvBitmap& bm, int w, uint32_t bits, int* emptyChanges) {
  const uint32_t old = __atomic_fetch_or(&DataWord(bm, w), bits, __ATOMIC_SEQ_CST);
  if ((old | bits) != old) AfterWordChange(bm, w, old, old | bits, emptyChanges);
}

void mvBitmapMoveAll(TmvBitmap& src, TmvBitmap& dst) {
  for (int w = 31; w >= 0; --w) {
    const uint32_t x = mvBitmapTakeBits(src, w, kAllOnes);
    if (x) mvBitmapSetBits(dst, w, x);
  }
}

// ---------------------------------------------------------------------------
// The chunk manager

TmvChunkManager::TmvChunkManager(uint32_t slotCount) : fSlotCount(slotCount) {
  MV_ASSERT(slotCount >= 2 && slotCount <= mvSlotCount);
  // One more slot than needed so that slot 0 can start on a 4 MB boundary.
  fMappingSize = size_t(slotCount + 1) << mvChunkShift;
  fMapping = mmap(nullptr, fMappingSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (fMapping == MAP_FAILED) {
    fMapping = nullptr;
    OutOfMemoryError();
  }
  fBase = reinterpret_cast<char*>((uintptr_t(fMapping) + mvChunkSize - 1) & ~uintptr_t(mvChunkSize - 1));
}

TmvChunkManager::~TmvChunkManager() {
  if (fMapping) munmap(fMapping, fMappingSize);
}

void TmvChunkManager::Start() {
  for (uint32_t slot = fSlotCount - 1; slot >= 1; --slot) fAvailable.Words[2 + slot / 32] |= 1u << (slot % 32);
  mvBitmapBuildSummaries(fAvailable);
  for (ReserveNode& node : fReserve.Nodes) {
    void* chunk = NewCommittedChunk();
    if (!chunk) break;  // an arena too small for a reserve: run without one
    node.Chunk = chunk;
    DecommitChunk(chunk);
    mvListHeadPush(fReserve.Chunks, &node);
  }
}

bool TmvChunkManager::CommitChunk(void* chunk) {
  return mprotect(chunk, mvChunkSize, PROT_READ | PROT_WRITE) == 0;
}

bool TmvChunkManager::DecommitChunk(void* chunk) {
  // Read-only rather than no access: a lock-free pop on another thread may
  // still hold a pointer to a block of this chunk and read its link word; it
  // must read a stale value that its compare-exchange then discards, not
  // fault. Pages dropped and read-only cost neither memory nor commit charge.
  return madvise(chunk, mvChunkSize, MADV_DONTNEED) == 0 && mprotect(chunk, mvChunkSize, PROT_READ) == 0;
}

bool TmvChunkManager::ReleaseChunk(void* chunk) {
  // The slot stays in the arena's reservation: giving the pages back and
  // taking the access away is all that leaving the address space means here.
  return DecommitChunk(chunk);
}

void TmvChunkManager::Collect() {
  if (fCallback) fCallback();
}

void* TmvChunkManager::GetCommittedChunk() {
  const int spare = mvBitmapTakeHighest(fSpares);
  if (spare >= 0) return SlotAddress(uint32_t(spare));
  return NewCommittedChunk();
}

void* TmvChunkManager::NewCommittedChunk() {
  for (int exhausted = 0;;) {
    const int slot = mvBitmapTakeHighest(fAvailable);
    if (slot >= 0) {
      void* chunk = SlotAddress(uint32_t(slot));
      if (CommitChunk(chunk)) return chunk;
      ReleaseChunk(chunk);
      mvBitmapSet(fSetAside, slot);
      continue;
    }
    ++exhausted;
    if (exhausted == 1) {  // try the slots that failed before once more
      mvBitmapMoveAll(fSetAside, fAvailable);
      continue;
    }
    if (exhausted == 2) {  // a full cleanup pass gives spares and empty blocks back
      Collect();
      const int spareSlot = mvBitmapTakeHighest(fSpares);
      if (spareSlot >= 0) return SlotAddress(uint32_t(spareSlot));
      continue;
    }
    // The emergency reserve: while any of it is out, the empty-node list is
    // non-empty, which the block cache watches to give memory back.
    while (auto* node = static_cast<ReserveNode*>(mvListHeadPop(fReserve.Chunks))) {
      void* chunk = node->Chunk;
      node->Chunk = nullptr;
      mvListHeadPush(fReserve.EmptyNodes, node);
      if (CommitChunk(chunk)) return chunk;
      mvBitmapSet(fSetAside, int(SlotOf(chunk)));
    }
    return nullptr;
  }
}

void TmvChunkManager::GiveBackCommittedChunk(void* chunk) {
  MV_ASSERT(Contains(chunk) && (uintptr_t(chunk) - uintptr_t(fBase)) % mvChunkSize == 0);
  const uint32_t slot = SlotOf(chunk);
  MV_ASSERT(slot >= 1 && slot < fSlotCount);
  if (ReserveInUse()) {
    if (auto* node = static_cast<ReserveNode*>(mvListHeadPop(fReserve.EmptyNodes))) {
      if (DecommitChunk(chunk)) {
        node->Chunk = chunk;
        mvListHeadPush(fReserve.Chunks, node);
        return;
      }
      ReleaseChunk(chunk);
      mvListHeadPush(fReserve.EmptyNodes, node);
      mvBitmapSet(fSetAside, int(slot));
      return;
    }
    // Another thread refilled the reserve meanwhile.
  }
  mvBitmapSet(fSpares, int(slot));
}

void TmvChunkManager::ReleaseSpares() {
  for (int w = 31; w >= 0; --w) {
    uint32_t bits = mvBitmapTakeBits(fSpares, w, kAllOnes);
    while (bits) {
      const int b = std::countr_zero(bits);
      bits &= bits - 1;
      const int slot = w * 32 + b;
      // A chunk whose release fails is dropped from both bitmaps.
      if (ReleaseChunk(SlotAddress(uint32_t(slot)))) mvBitmapSet(fAvailable, slot);
    }
  }
}

int TmvChunkManager::SpareCount() const {
  int n = 0;
  for (int w = 0; w < 32; ++w) n += std::popcount(Load(fSpares.Words[2 + w]));
  return n;
}

int TmvChunkManager::ReserveCount() const {
  int n = 0;
  for (auto* node = static_cast<ReserveNode*>(__atomic_load_n(&fReserve.Chunks.lhFirst, __ATOMIC_ACQUIRE)); node;
       node = node->Link)
    ++n;
  return n;
}

// ---------------------------------------------------------------------------
// Block pools

TmvBlockPools::TmvBlockPools(TmvChunkManager& chunks) : fChunks(chunks) {
  static constexpr uint32_t kShifts[mvBlockClassCount] = {12, 13, 14, 15, 16, 22};
  for (int i = 0; i < mvBlockClassCount; ++i) {
    TmvBlockClass& c = fClasses[i];
    c.Shift = kShifts[i];
    c.Size = size_t(1) << c.Shift;
    c.Mask = c.Size - 1;
    c.Words = uint32_t((mvChunkSize >> c.Shift) / 32);
    c.WordMask = c.Words == 32 ? kAllOnes : (1u << c.Words) - 1;
    c.Index = i;
    c.Pools = this;
  }
  fTablesSize = mvSlotCount * (sizeof(Descriptor) + sizeof(TmvBitmap));
  void* p = mmap(nullptr, fTablesSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) OutOfMemoryError();
  fDescriptors = static_cast<Descriptor*>(p);
  fReleased = reinterpret_cast<TmvBitmap*>(fDescriptors + mvSlotCount);
}

TmvBlockPools::~TmvBlockPools() { munmap(fDescriptors, fTablesSize); }

void TmvBlockPools::FlipChunkBit(TmvBlockClass* cls, uint32_t slot, int emptyChanges) {
  if (cls && (emptyChanges & 1)) mvBitmapToggle(cls->Chunks, int(slot));
}

void* TmvBlockPools::Allocate(TmvBlockClass* cls) {
  for (;;) {
    int slot = mvBitmapFindHighest(cls->Chunks);
    if (slot < 0) {
      char* chunk = static_cast<char*>(fChunks.GetCommittedChunk());
      if (!chunk) return nullptr;
      Descriptor& d = fDescriptors[fChunks.SlotOf(chunk)];
      d.Slot = fChunks.SlotOf(chunk);
      // Words before summaries: a searcher that saw a summary bit over a zero
      // word would clear the bit again.
      for (uint32_t w = 0; w < 32; ++w)
        __atomic_store_n(&d.Free.Words[2 + w], w < cls->Words ? kAllOnes : 0u, __ATOMIC_RELEASE);
      __atomic_store_n(&d.Free.Words[0], cls->WordMask, __ATOMIC_RELEASE);
      __atomic_store_n(&d.Free.Words[1], cls->WordMask, __ATOMIC_RELEASE);
      __atomic_store_n(&d.Owner, cls, __ATOMIC_RELEASE);
      if (cls->Words == 0) return chunk;
      mvBitmapSet(cls->Chunks, int(d.Slot));
      slot = int(d.Slot);
    }
    Descriptor& d = fDescriptors[slot];
    int changes = 0;
    const int block = mvBitmapTakeHighest(d.Free, &changes);
    TmvBlockClass* owner = __atomic_load_n(&d.Owner, __ATOMIC_ACQUIRE);
    if (block < 0) {  // another thread emptied it
      if (owner == cls) FlipChunkBit(cls, uint32_t(slot), changes);
      else mvBitmapClear(cls->Chunks, slot);
      continue;
    }
    if (owner == cls) {
      FlipChunkBit(cls, uint32_t(slot), changes);
      return fChunks.SlotAddress(uint32_t(slot)) + (size_t(block) << cls->Shift);
    }
    // The chunk changed hands between the search and the take. A taken block
    // with no owner means a new owner is still laying out the chunk: wait for
    // it, so that the block goes back into the bitmap it will keep.
    while (!owner) {
      CpuRelax();
      owner = __atomic_load_n(&d.Owner, __ATOMIC_ACQUIRE);
    }
    mvBitmapSet(d.Free, block, &changes);
    FlipChunkBit(owner, uint32_t(slot), changes);
    mvBitmapClear(cls->Chunks, slot);  // not this class's chunk any more
  }
}

bool TmvBlockPools::Release(TmvBlockClass* cls, void* block) {
  if (!block || !fChunks.Contains(block) || (uintptr_t(block) & cls->Mask) != 0) return false;
  const uint32_t slot = fChunks.SlotOf(block);
  Descriptor& d = fDescriptors[slot];
  if (cls->Words == 0) {
    // A whole chunk: only the release that takes the ownership gives it back.
    TmvBlockClass* expected = cls;
    if (!__atomic_compare_exchange_n(&d.Owner, &expected, nullptr, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
      return false;
    fChunks.GiveBackCommittedChunk(block);
    return true;
  }
  if (__atomic_load_n(&d.Owner, __ATOMIC_ACQUIRE) != cls) return false;
  const int index = int((uintptr_t(block) - uintptr_t(fChunks.SlotAddress(slot))) >> cls->Shift);
  int changes = 0;
  if (!mvBitmapSet(d.Free, index, &changes)) return false;
  mvBitmapSet(fReleased[slot], index);
  FlipChunkBit(cls, slot, changes);
  return true;
}

bool TmvBlockPools::ReleaseByAddress(void* block) {
  if (uintptr_t(block) & 4095) return false;
  TmvBlockClass* owner = OwnerOf(block);
  return owner && Release(owner, block);
}

void TmvBlockPools::Cleanup() {
  for (int i = mvBlockClassCount - 1; i >= 0; --i) CleanupClass(&fClasses[i]);
}

void TmvBlockPools::CleanupClass(TmvBlockClass* cls) {
  for (int w = 31; w >= 0; --w) {
    uint32_t bits = Load(cls->Chunks.Words[2 + w]);
    while (bits) {
      const int b = HighestBit(bits);
      bits &= ~(1u << b);
      CleanupChunk(cls, uint32_t(w * 32 + b));
    }
  }
}

void TmvBlockPools::CleanupChunk(TmvBlockClass* cls, uint32_t slot) {
  Descriptor& d = fDescriptors[slot];
  if (__atomic_load_n(&d.Owner, __ATOMIC_ACQUIRE) != cls) return;
  char* chunk = fChunks.SlotAddress(slot);
  int changes = 0;
  if (Load(d.Free.Words[1]) == cls->WordMask) {
    // Every block looks free: take them all, word by word; an allocator that
    // got in first makes a word fall short, and the chunk stays.
    uint32_t w = 0;
    while (w < cls->Words && mvBitmapTakeFullWord(d.Free, int(w), &changes)) ++w;
    if (w < cls->Words) {
      for (uint32_t k = 0; k < w; ++k) mvBitmapSetBits(d.Free, int(k), kAllOnes, &changes);
      FlipChunkBit(cls, slot, changes);
      return;
    }
    FlipChunkBit(cls, slot, changes);
    __atomic_store_n(&d.Owner, static_cast<TmvBlockClass*>(nullptr), __ATOMIC_RELEASE);
    madvise(chunk, mvChunkSize, MADV_DONTNEED);  // contents need not be kept
    for (uint32_t& x : fReleased[slot].Words) __atomic_store_n(&x, 0u, __ATOMIC_RELAXED);
    fChunks.GiveBackCommittedChunk(chunk);
    return;
  }
  // Blocks released since the last pass and still free: withdraw them for a
  // moment and return their pages to the system before putting them back.
  for (uint32_t w = 0; w < cls->Words; ++w) {
    const uint32_t released = mvBitmapTakeBits(fReleased[slot], int(w), kAllOnes);
    if (!released) continue;
    const uint32_t taken = mvBitmapTakeBits(d.Free, int(w), released, &changes);
    for (uint32_t bits = taken; bits; bits &= bits - 1) {
      const size_t index = w * 32 + uint32_t(std::countr_zero(bits));
      madvise(chunk + (index << cls->Shift), cls->Size, MADV_DONTNEED);
    }
    if (taken) mvBitmapSetBits(d.Free, int(w), taken, &changes);
  }
  FlipChunkBit(cls, slot, changes);
}
