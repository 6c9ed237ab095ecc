// Foundation: large blocks and their address map (see mvllLargeBlocks.h).
#include "foundation/memory/mvllLargeBlocks.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "foundation/memory/mvllThreadCache.h"
#include "platform/SysUtils.h"

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kUnit = 65536;
constexpr size_t kTrailer = sizeof(TmvLargeBlockTrailer);
constexpr uint32_t kMaxMappedUnits = 32767;
// The largest block whose page count fits the trailer's 32-bit fields (and
// whose size plus trailer fits a size_t); anything larger cannot be served.
constexpr size_t kMaxLargeSize = size_t(UINT32_MAX) * kPage - kTrailer;

// Requires: n <= kMaxLargeSize.
inline uint32_t PagesFor(size_t n) { return uint32_t((n + kTrailer + kPage - 1) / kPage); }
inline uint32_t UnitsFor(size_t n) { return uint32_t((n + kTrailer + kUnit - 1) / kUnit); }

// Maps size bytes read/write at a 64 KB boundary: the address map and the
// item test both rely on large blocks starting on one.
char* MapAligned(size_t size) {
  const size_t total = size + kUnit - kPage;
  void* p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const uintptr_t start = uintptr_t(p);
  const uintptr_t aligned = (start + kUnit - 1) & ~uintptr_t(kUnit - 1);
  if (aligned > start) munmap(p, aligned - start);
  const uintptr_t end = aligned + size;
  if (start + total > end) munmap(reinterpret_cast<void*>(end), start + total - end);
  return reinterpret_cast<char*>(aligned);
}

// The bytes mapped for a block: a growable block's whole maximum, a plain
// block's pages.
inline size_t MappingBytes(const TmvLargeBlockTrailer* t) {
  return t->IsMapped() ? size_t(t->MaxUnits) * kUnit : size_t(t->PagesCommitted) * kPage;
}

// A kept-pages slot word: the mapping's base (64 KB aligned), its page
// count in the low 15 bits, and the aged flag above them.
constexpr uint64_t kPagesMask = 0x7FFF;
constexpr uint64_t kAged = 0x8000;
static_assert(TmvKeptPages::kMaxMapping / kPage <= kPagesMask);

}  // namespace

// ---------------------------------------------------------------------------
// Kept pages

bool TmvKeptPages::Keep(void* base, size_t bytes) {
  if (bytes > kMaxMapping || bytes % kPage || uintptr_t(base) & (kUnit - 1)) return false;
  if (__atomic_add_fetch(&fBytes, bytes, __ATOMIC_RELAXED) > kMaxTotal) {
    __atomic_sub_fetch(&fBytes, bytes, __ATOMIC_RELAXED);
    return false;
  }
  const uint64_t word = uint64_t(uintptr_t(base)) | bytes / kPage;
  for (uint64_t& slot : fSlots) {
    uint64_t empty = 0;
    if (__atomic_compare_exchange_n(&slot, &empty, word, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) return true;
  }
  __atomic_sub_fetch(&fBytes, bytes, __ATOMIC_RELAXED);
  return false;
}

char* TmvKeptPages::Take(size_t bytes) {
  const uint64_t want = bytes / kPage;
  for (;;) {
    uint64_t* best = nullptr;
    uint64_t bestWord = 0;
    for (uint64_t& slot : fSlots) {
      const uint64_t word = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
      const uint64_t pages = word & kPagesMask;
      if (word && pages >= want && pages <= 2 * want && (!best || pages < (bestWord & kPagesMask))) {
        best = &slot;
        bestWord = word;
      }
    }
    if (!best) return nullptr;
    // Lost to another taker or to Age: look again.
    if (!__atomic_compare_exchange_n(best, &bestWord, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) continue;
    const uint64_t pages = bestWord & kPagesMask;
    __atomic_sub_fetch(&fBytes, pages * kPage, __ATOMIC_RELAXED);
    char* base = reinterpret_cast<char*>(bestWord & ~uint64_t(kUnit - 1));
    if (pages > want && munmap(base + want * kPage, (pages - want) * kPage) != 0) {
      // The mapping is still whole: the caller maps a new one instead.
      if (!Keep(base, pages * kPage)) munmap(base, pages * kPage);
      return nullptr;
    }
    return base;
  }
}

int TmvKeptPages::Drop(uint64_t word) {
  const size_t bytes = size_t(word & kPagesMask) * kPage;
  __atomic_sub_fetch(&fBytes, bytes, __ATOMIC_RELAXED);
  return munmap(reinterpret_cast<void*>(word & ~uint64_t(kUnit - 1)), bytes) == 0 ? 0 : 1;
}

int TmvKeptPages::Age() {
  int refused = 0;
  for (uint64_t& slot : fSlots) {
    uint64_t word = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
    // A failed exchange reloads the word: a taker emptied the slot, or a
    // keeper filled it again.
    while (word) {
      const uint64_t next = word & kAged ? 0 : word | kAged;
      if (!__atomic_compare_exchange_n(&slot, &word, next, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) continue;
      if (!next) refused += Drop(word);
      break;
    }
  }
  return refused;
}

int TmvKeptPages::DropAll() {
  int refused = 0;
  for (uint64_t& slot : fSlots)
    if (const uint64_t word = __atomic_exchange_n(&slot, 0, __ATOMIC_ACQ_REL)) refused += Drop(word);
  return refused;
}

// ---------------------------------------------------------------------------
// Start and stop

TmvLargeBlocks::TmvLargeBlocks(TmvItemManager& items, TmvMemoryCounters& counters)
    : fItems(items), fCounters(counters), fMapNodePool(items.PoolFor(256 * sizeof(void*))) {
  // The map's depth is the number of bytes of (highest user address shr 16),
  // found by a probe: mappings are placed from the top down.
  uintptr_t highest = (uintptr_t(1) << 47) - 1;
  if (void* probe = mmap(nullptr, kUnit, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); probe != MAP_FAILED) {
    highest = std::max(highest, uintptr_t(probe));
    munmap(probe, kUnit);
  }
  for (uintptr_t key = highest >> 16; key; key >>= 8) ++fMapDepth;
  fMapRoot = static_cast<void**>(fMapNodePool->Alloc());
  if (!fMapRoot) OutOfMemoryError();
  std::memset(fMapRoot, 0, 256 * sizeof(void*));
  fMapNodes = 1;
}

size_t TmvLargeBlocks::MapBytes() const {
  return __atomic_load_n(&fMapNodes, __ATOMIC_RELAXED) * fMapNodePool->ItemSize();
}

TmvLargeBlocks::~TmvLargeBlocks() { FreeMapNode(fMapRoot, 0); }

void TmvLargeBlocks::FreeMapNode(void** node, int level) {
  if (level < fMapDepth - 1)
    for (int i = 0; i < 256; ++i)
      if (node[i]) FreeMapNode(static_cast<void**>(node[i]), level + 1);
  fMapNodePool->DisposeDirect(node);
}

// ---------------------------------------------------------------------------
// The address map

void** TmvLargeBlocks::MapSlot(uintptr_t base, bool create) {
  const uintptr_t key = base >> 16;
  void** node = fMapRoot;
  for (int level = 0; level < fMapDepth - 1; ++level) {
    void*& entry = node[(key >> (8 * (fMapDepth - 1 - level))) & 0xFF];
    void* child = __atomic_load_n(&entry, __ATOMIC_ACQUIRE);
    if (!child) {
      if (!create) return nullptr;
      void* fresh = fMapNodePool->Alloc();
      if (!fresh) return nullptr;
      std::memset(fresh, 0, 256 * sizeof(void*));
      // Publish the node; a thread that loses the race gives its own back.
      if (__atomic_compare_exchange_n(&entry, &child, fresh, false, __ATOMIC_SEQ_CST, __ATOMIC_ACQUIRE)) {
        child = fresh;
        __atomic_add_fetch(&fMapNodes, 1, __ATOMIC_RELAXED);
      } else {
        fMapNodePool->DisposeDirect(fresh);
      }
    }
    node = static_cast<void**>(child);
  }
  return &node[key & 0xFF];
}

TmvLargeBlockTrailer* TmvLargeBlocks::Claim(const void* p, void**& slot) {
  if (uintptr_t(p) & (kUnit - 1)) return nullptr;
  slot = MapSlot(uintptr_t(p), false);
  if (!slot) return nullptr;
  void* t = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
  // A thread that loses the exchange must not read the trailer: the winner
  // may have unmapped it already.
  if (!t || !__atomic_compare_exchange_n(slot, &t, nullptr, false, __ATOMIC_SEQ_CST, __ATOMIC_ACQUIRE))
    return nullptr;
  auto* trailer = static_cast<TmvLargeBlockTrailer*>(t);
  MV_ASSERT(trailer->Base == uintptr_t(p));  // entries are keyed by their block's base
  return trailer;
}

const TmvLargeBlockTrailer* TmvLargeBlocks::Find(const void* p) const {
  if (uintptr_t(p) & (kUnit - 1)) return nullptr;
  void** slot = const_cast<TmvLargeBlocks*>(this)->MapSlot(uintptr_t(p), false);
  if (!slot) return nullptr;
  auto* t = static_cast<const TmvLargeBlockTrailer*>(__atomic_load_n(slot, __ATOMIC_ACQUIRE));
  return t && t->Base == uintptr_t(p) ? t : nullptr;
}

// ---------------------------------------------------------------------------
// Large blocks

TmvLargeBlockTrailer* TmvLargeBlocks::WriteTrailer(char* base, uint64_t size, uint32_t units, uint32_t maxUnits,
                                                   uint32_t growth, uint32_t pagesInUse, uint32_t pagesCommitted) {
  auto* t = reinterpret_cast<TmvLargeBlockTrailer*>(base + size_t(pagesInUse) * kPage - kTrailer);
  t->Size = size;
  t->Base = uintptr_t(base);
  t->Units = units;
  t->MaxUnits = uint16_t(maxUnits);
  t->Growth = uint16_t(std::min<uint32_t>(growth, 0xFFFF));
  t->PagesInUse = pagesInUse;
  t->PagesCommitted = pagesCommitted;
  return t;
}

void TmvLargeBlocks::Count(int64_t units, int64_t pages, int64_t bytes) {
  if (units) __atomic_fetch_add(&fCounters.Reserved, units * int64_t(kUnit), __ATOMIC_RELAXED);
  if (pages) __atomic_fetch_add(&fCounters.Committed, pages * int64_t(kPage), __ATOMIC_RELAXED);
  fCounters.Allocated.Add(bytes);
}

void* TmvLargeBlocks::Alloc(size_t size, uint32_t growth) {
  if (size > kMaxLargeSize) return nullptr;
  uint32_t units = UnitsFor(size);
  uint32_t pages = PagesFor(size);
  uint32_t maxUnits = 0;  // plain
  if (growth != 0 && units <= kMaxMappedUnits) {
    // A block that grows by reallocation gets a mapping with room to grow.
    maxUnits = std::min<uint32_t>(units * (growth <= 4 ? 2 : growth <= 16 ? 4 : 8), kMaxMappedUnits);
    if (growth > 16) {
      units = std::min(units + units / 2, maxUnits);
      pages = std::min(pages + pages / 2, units * 16);
    }
  }
  const size_t bytes = maxUnits ? size_t(maxUnits) * kUnit : size_t(pages) * kPage;
  char* base = fKept.Take(bytes);
  if (!base) base = MapAligned(bytes);
  if (!base) return nullptr;
  void** slot = MapSlot(uintptr_t(base), true);
  if (!slot) {  // no memory for a map node
    if (!fKept.Keep(base, bytes)) munmap(base, bytes);
    return nullptr;
  }
  TmvLargeBlockTrailer* t = WriteTrailer(base, size, units, maxUnits, growth, pages, pages);
  __atomic_store_n(slot, static_cast<void*>(t), __ATOMIC_RELEASE);
  Count(units, pages, int64_t(size));
  return base;
}

int TmvLargeBlocks::Release(void* p) {
  void** slot;
  TmvLargeBlockTrailer* t = Claim(p, slot);
  return t ? Drop(t) : 1;
}

int TmvLargeBlocks::Drop(const TmvLargeBlockTrailer* t) {
  const TmvLargeBlockTrailer copy = *t;
  Count(-int64_t(copy.Units), -int64_t(copy.PagesCommitted), -int64_t(copy.Size));
  void* base = reinterpret_cast<void*>(copy.Base);
  if (fKept.Keep(base, MappingBytes(&copy))) return 0;
  return munmap(base, MappingBytes(&copy)) == 0 ? 0 : 1;
}

// A new item or block of `size` bytes receives the smaller of the two sizes,
// then the old (claimed) block goes; nil, and the old block back in the map,
// when nothing can be had.
void* TmvLargeBlocks::Move(void** slot, TmvLargeBlockTrailer* t, size_t size, uint32_t growth) {
  void* fresh = size <= mvLargestItemRequest ? TmvThreadCache::Alloc(*fItems.PoolFor(size)) : Alloc(size, growth);
  if (!fresh) {
    __atomic_store_n(slot, static_cast<void*>(t), __ATOMIC_RELEASE);
    return nullptr;
  }
  const void* old = reinterpret_cast<void*>(t->Base);
  std::memcpy(fresh, old, std::min<size_t>(size, t->Size));
  Drop(t);
  if (fAfterMoveHook) fAfterMoveHook(*this, old);
  return fresh;
}

// Puts a block reallocated in place back in its map slot with its new
// figures: the trailer at the end of its pages in use.
void* TmvLargeBlocks::Resized(void** slot, const TmvLargeBlockTrailer& old, size_t size, uint32_t units,
                              uint32_t growth, uint32_t pagesInUse, uint32_t pagesCommitted) {
  char* base = reinterpret_cast<char*>(old.Base);
  TmvLargeBlockTrailer* t = WriteTrailer(base, size, units, old.MaxUnits, growth, pagesInUse, pagesCommitted);
  __atomic_store_n(slot, static_cast<void*>(t), __ATOMIC_RELEASE);
  Count(int64_t(units) - int64_t(old.Units), int64_t(pagesCommitted) - int64_t(old.PagesCommitted),
        int64_t(size) - int64_t(old.Size));
  MV_ASSERT(reinterpret_cast<char*>(t) + kTrailer == base + size_t(pagesInUse) * kPage && t->Size == size &&
            size + kTrailer <= size_t(pagesInUse) * kPage);
  return base;
}

void* TmvLargeBlocks::Realloc(void* p, size_t size) {
  // The block leaves the map while it is reallocated, so that a racing
  // release or reallocation of it is refused instead of sharing it.
  void** slot;
  TmvLargeBlockTrailer* t = Claim(p, slot);
  if (!t) InvalidPointerError();
  if (size > kMaxLargeSize) {
    __atomic_store_n(slot, static_cast<void*>(t), __ATOMIC_RELEASE);
    return nullptr;
  }
  uint32_t pages = PagesFor(size);
  uint32_t units = UnitsFor(size);
  const uint32_t growth = std::min<uint32_t>(t->Growth + 1u, 0xFFFF);
  const TmvLargeBlockTrailer old = *t;

  if (!old.IsMapped()) {
    if (pages == old.PagesCommitted) {  // same pages: only the size changes
      fCounters.Allocated.Add(int64_t(size) - int64_t(old.Size));
      t->Size = size;
      __atomic_store_n(slot, static_cast<void*>(t), __ATOMIC_RELEASE);
      return p;
    }
    return Move(slot, t, size, growth);
  }

  if (units > old.Units) {  // the view is too small
    if (old.MaxUnits < units) return Move(slot, t, size, growth);
    if (growth > 16) {
      units = std::min<uint32_t>(units + units / 2, old.MaxUnits);
      pages = std::min(pages + pages / 2, units * 16);
    }
    // The whole maximum is mapped: the view grows in place.
    return Resized(slot, old, size, units, growth, pages, std::max(pages, old.PagesCommitted));
  }

  if (pages < old.PagesCommitted / 8) return Move(slot, t, size, growth);  // far too big now

  // Shrink the view: no page past the new size need be kept (a page of
  // reused mappings may lie anywhere in it); they read as zeros when next
  // touched.
  if (size < old.Size && units < old.Units && pages < old.PagesInUse) {
    char* base = static_cast<char*>(p);
    if (madvise(base + size_t(pages) * kPage, MappingBytes(&old) - size_t(pages) * kPage, MADV_DONTNEED) == 0) {
      const uint32_t inUse = std::min(old.PagesCommitted, units * 16);
      return Resized(slot, old, size, units, growth, inUse, inUse);
    }
    // Pages the system would not drop stay in use: resized in place below.
  }

  // In place: the size changes; more pages in use when needed.
  uint32_t inUse = old.PagesInUse;
  if (pages > inUse) {
    inUse = growth > 16 ? std::min(pages + pages / 2, old.Units * 16) : pages;
  }
  return Resized(slot, old, size, old.Units, growth, inUse, std::max(inUse, old.PagesCommitted));
}
