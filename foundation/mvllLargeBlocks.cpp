// Foundation: large blocks and their address map (see mvllLargeBlocks.h).
#include "foundation/mvllLargeBlocks.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "foundation/mvllThreadCache.h"
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

// Maps size bytes (read/write, or PROT_NONE as a placeholder) at a 64 KB
// boundary: the address map and the item test both rely on large blocks
// starting on one.
char* MapAligned(size_t size, int prot = PROT_READ | PROT_WRITE) {
  const size_t total = size + kUnit - kPage;
  void* p = mmap(nullptr, total, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const uintptr_t start = uintptr_t(p);
  const uintptr_t aligned = (start + kUnit - 1) & ~uintptr_t(kUnit - 1);
  if (aligned > start) munmap(p, aligned - start);
  const uintptr_t end = aligned + size;
  if (start + total > end) munmap(reinterpret_cast<void*>(end), start + total - end);
  return reinterpret_cast<char*>(aligned);
}

// Resizes a mapping, in place when the pages behind it are free, else at a
// new 64 KB boundary; the contents come along either way.
bool Remap(char*& base, size_t oldSize, size_t newSize) {
  if (mremap(base, oldSize, newSize, 0) != MAP_FAILED) return true;
  char* target = MapAligned(newSize, PROT_NONE);
  if (!target) return false;
  void* moved = mremap(base, oldSize, newSize, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (moved == MAP_FAILED) {
    munmap(target, newSize);
    return false;
  }
  base = static_cast<char*>(moved);
  return true;
}

inline size_t ViewBytes(const TmvLargeBlockTrailer* t) {
  return t->IsMapped() ? size_t(t->Units) * kUnit : size_t(t->PagesCommitted) * kPage;
}

}  // namespace

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

void TmvLargeBlocks::MapSet(uintptr_t base, TmvLargeBlockTrailer* t) {
  void** slot = MapSlot(base, t != nullptr);
  if (!slot) {
    if (t) OutOfMemoryError();
    return;
  }
  __atomic_store_n(slot, static_cast<void*>(t), __ATOMIC_RELEASE);
}

TmvLargeBlockTrailer* TmvLargeBlocks::Claim(const void* p) {
  if (uintptr_t(p) & (kUnit - 1)) return nullptr;
  void** slot = MapSlot(uintptr_t(p), false);
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

void* TmvLargeBlocks::Alloc(size_t size, uint32_t growth) {
  if (size > kMaxLargeSize) return nullptr;
  uint32_t units = UnitsFor(size);
  uint32_t pages = PagesFor(size);
  uint32_t maxUnits = 0;  // plain
  char* base;
  if (growth == 0 || units > kMaxMappedUnits) {
    base = MapAligned(size_t(pages) * kPage);
  } else {
    // A block that grows by reallocation gets a mapping with room to grow.
    maxUnits = std::min<uint32_t>(units * (growth <= 4 ? 2 : growth <= 16 ? 4 : 8), kMaxMappedUnits);
    if (growth > 16) {
      units = std::min(units + units / 2, maxUnits);
      pages = std::min(pages + pages / 2, units * 16);
    }
    base = MapAligned(size_t(units) * kUnit);
  }
  if (!base) return nullptr;
  TmvLargeBlockTrailer* t = WriteTrailer(base, size, units, maxUnits, growth, pages, pages);
  try {
    MapSet(uintptr_t(base), t);
  } catch (...) {
    munmap(base, ViewBytes(t));
    return nullptr;
  }
  __atomic_fetch_add(&fCounters.Reserved, int64_t(units) * int64_t(kUnit), __ATOMIC_RELAXED);
  __atomic_fetch_add(&fCounters.Committed, int64_t(pages) * int64_t(kPage), __ATOMIC_RELAXED);
  fCounters.Allocated.Add(int64_t(size));
  return base;
}

int TmvLargeBlocks::Release(void* p) {
  TmvLargeBlockTrailer* t = Claim(p);
  return t ? Drop(t) : 1;
}

int TmvLargeBlocks::Drop(const TmvLargeBlockTrailer* t) {
  const TmvLargeBlockTrailer copy = *t;
  __atomic_fetch_sub(&fCounters.Reserved, int64_t(copy.Units) * int64_t(kUnit), __ATOMIC_RELAXED);
  __atomic_fetch_sub(&fCounters.Committed, int64_t(copy.PagesCommitted) * int64_t(kPage), __ATOMIC_RELAXED);
  fCounters.Allocated.Add(-int64_t(copy.Size));
  return munmap(reinterpret_cast<void*>(copy.Base), ViewBytes(&copy)) == 0 ? 0 : 1;
}

// A new item or block of `size` bytes receives the smaller of the two sizes,
// then the old (claimed) block goes; nil, and the old block back in the map,
// when nothing can be had.
void* TmvLargeBlocks::Move(TmvLargeBlockTrailer* t, size_t size, uint32_t growth) {
  void* fresh = size <= mvLargestItemRequest ? TmvThreadCache::Alloc(*fItems.PoolFor(size)) : Alloc(size, growth);
  if (!fresh) {
    MapSet(t->Base, t);
    return nullptr;
  }
  std::memcpy(fresh, reinterpret_cast<void*>(t->Base), std::min<size_t>(size, t->Size));
  Drop(t);
  return fresh;
}

void* TmvLargeBlocks::Realloc(void* p, size_t size) {
  // The block leaves the map while it is reallocated, so that a racing
  // release or reallocation of it is refused instead of sharing it.
  TmvLargeBlockTrailer* t = Claim(p);
  if (!t) InvalidPointerError();
  if (size > kMaxLargeSize) {
    MapSet(uintptr_t(p), t);
    return nullptr;
  }
  uint32_t pages = PagesFor(size);
  uint32_t units = UnitsFor(size);
  const uint32_t growth = std::min<uint32_t>(t->Growth + 1u, 0xFFFF);
  char* base = static_cast<char*>(p);
  TmvLargeBlockTrailer old = *t;

  if (!old.IsMapped()) {
    if (pages == old.PagesCommitted) {  // same pages: only the size changes
      fCounters.Allocated.Add(int64_t(size) - int64_t(old.Size));
      t->Size = size;
      MapSet(uintptr_t(p), t);
      return p;
    }
    return Move(t, size, growth);
  }

  if (units > old.Units) {  // the view is too small
    if (old.MaxUnits < units) return Move(t, size, growth);
    if (growth > 16) {
      units = std::min<uint32_t>(units + units / 2, old.MaxUnits);
      pages = std::min(pages + pages / 2, units * 16);
    }
    // The old address left the map (Claim) before the pages may leave it:
    // once a moving remap has run, another thread can map that address and
    // enter its own block there, which a later removal would wipe out.
    if (!Remap(base, size_t(old.Units) * kUnit, size_t(units) * kUnit)) {
      MapSet(uintptr_t(p), t);  // nothing moved: the block stays as it was
      return nullptr;
    }
    if (base != p && fAfterMoveHook) fAfterMoveHook(*this, p);
    const uint32_t committed = std::max(pages, old.PagesCommitted);
    t = WriteTrailer(base, size, units, old.MaxUnits, growth, pages, committed);
    MapSet(uintptr_t(base), t);
    __atomic_fetch_add(&fCounters.Reserved, int64_t(units - old.Units) * int64_t(kUnit), __ATOMIC_RELAXED);
    __atomic_fetch_add(&fCounters.Committed, (int64_t(committed) - old.PagesCommitted) * int64_t(kPage),
                       __ATOMIC_RELAXED);
    fCounters.Allocated.Add(int64_t(size) - int64_t(old.Size));
    MV_ASSERT(Find(base) == t && t->Size == size);
    return base;
  }

  if (pages < old.PagesCommitted / 8) return Move(t, size, growth);  // far too big now

  // Shrink the view. Its pages are dropped only once it has shrunk: a view
  // the system will not shrink stays whole, trailer included, and the block
  // is resized in place below.
  if (size < old.Size && units < old.Units && pages < old.PagesInUse &&
      mremap(base, size_t(old.Units) * kUnit, size_t(units) * kUnit, 0) != MAP_FAILED) {
    // Of the pages it keeps, those past the new size need not be kept.
    madvise(base + size_t(pages) * kPage, size_t(std::min(old.PagesInUse, units * 16) - pages) * kPage, MADV_DONTNEED);
    const uint32_t inUse = std::min(old.PagesCommitted, units * 16);
    t = WriteTrailer(base, size, units, old.MaxUnits, growth, inUse, inUse);
    MapSet(uintptr_t(base), t);
    __atomic_fetch_sub(&fCounters.Reserved, int64_t(old.Units - units) * int64_t(kUnit), __ATOMIC_RELAXED);
    __atomic_fetch_sub(&fCounters.Committed, (int64_t(old.PagesCommitted) - inUse) * int64_t(kPage),
                       __ATOMIC_RELAXED);
    fCounters.Allocated.Add(int64_t(size) - int64_t(old.Size));
    MV_ASSERT(Find(base) == t && t->Size == size);
    return base;
  }

  // In place: the size changes; more pages in use when needed.
  uint32_t inUse = old.PagesInUse;
  if (pages > inUse) {
    inUse = growth > 16 ? std::min(pages + pages / 2, old.Units * 16) : pages;
  }
  const uint32_t committed = std::max(inUse, old.PagesCommitted);
  t = WriteTrailer(base, size, old.Units, old.MaxUnits, growth, inUse, committed);
  MapSet(uintptr_t(base), t);
  __atomic_fetch_add(&fCounters.Committed, (int64_t(committed) - old.PagesCommitted) * int64_t(kPage),
                     __ATOMIC_RELAXED);
  fCounters.Allocated.Add(int64_t(size) - int64_t(old.Size));
  MV_ASSERT(Find(base) == t && t->Size == size);
  return base;
}
