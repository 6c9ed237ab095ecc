// Foundation: the item pools of the memory manager (see mvllItemPools.h).
#include "foundation/memory/mvllItemPools.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <mutex>

#include "platform/SysUtils.h"

// ---------------------------------------------------------------------------
// Counters and the unpaged area

namespace {

int SpreadSlotOfThisThread() {
  static int next = 0;
  thread_local int slot = __atomic_fetch_add(&next, 1, __ATOMIC_RELAXED);
  return slot;
}

constexpr size_t kUnpagedAreaSize = 65536;
char* gUnpagedArea = nullptr;
size_t gUnpagedUsed = 0;
std::mutex gUnpagedLock;
struct ReleasedStep {
  ReleasedStep* Next;
  size_t Step;
};
ReleasedStep* gReleasedSteps = nullptr;

}  // namespace

void TmvSpreadCounter::Add(int64_t n) {
  __atomic_fetch_add(&fSlots[SpreadSlotOfThisThread() % kSlots].Value, n, __ATOMIC_RELAXED);
}

int64_t TmvSpreadCounter::Sum() const {
  int64_t s = 0;
  for (const Slot& slot : fSlots) s += __atomic_load_n(&slot.Value, __ATOMIC_RELAXED);
  return s;
}

void* TmvUnpagedObject::operator new(size_t size) {
  std::lock_guard<std::mutex> guard(gUnpagedLock);  // pools are made a few times per process
  if (!gUnpagedArea) {
    void* p = mmap(nullptr, kUnpagedAreaSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) OutOfMemoryError();
    mlock(p, kUnpagedAreaSize);  // best effort: the limit for locked memory may be low
    gUnpagedArea = static_cast<char*>(p);
  }
  const size_t step = (size + 15) & ~size_t(15);
  // A step given back by an object of the same size is taken first, so that
  // managers made and destroyed again (tests, restarts) do not wear the area out.
  for (ReleasedStep** link = &gReleasedSteps; *link; link = &(*link)->Next) {
    if ((*link)->Step == step) {
      ReleasedStep* r = *link;
      *link = r->Next;
      return r;
    }
  }
  if (gUnpagedUsed + 2 * step > kUnpagedAreaSize) OutOfMemoryError();
  gUnpagedUsed += step;  // the first object sits one step into the area
  return gUnpagedArea + gUnpagedUsed;
}

void TmvUnpagedObject::operator delete(void* p, size_t size) {
  if (!p) return;
  std::lock_guard<std::mutex> guard(gUnpagedLock);
  auto* r = static_cast<ReleasedStep*>(p);
  r->Step = (size + 15) & ~size_t(15);
  r->Next = gReleasedSteps;
  gReleasedSteps = r;
}

// ---------------------------------------------------------------------------
// The block's free-item list: a 64-bit head of (offset, change counter) and
// 32-bit offset links, so that even 4-byte items can hold a link.

namespace {

inline uint32_t& ItemLink(TmvItemBlock* b, uint32_t offset) {
  return *reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(b) + offset);
}

// Takes up to n items off the list with one compare-exchange and stores
// their addresses; returns how many, and in `more` whether free items remain.
// Only the thread holding the block (it popped the block off a pool list)
// takes items, so the chain below the head stays as it is while it is walked;
// releases only push on top, which makes the compare-exchange fail.
inline uint32_t PopItems(TmvItemBlock* b, void** out, uint32_t n, bool& more) {
  uint64_t head = __atomic_load_n(&b->FreeHead, __ATOMIC_ACQUIRE);
  for (;;) {
    uint32_t offset = uint32_t(head);
    uint32_t taken = 0;
    for (; offset && taken < n; ++taken) {
      out[taken] = reinterpret_cast<char*>(b) + offset;
      offset = __atomic_load_n(&ItemLink(b, offset), __ATOMIC_RELAXED);
    }
    if (!taken) return 0;
    const uint64_t now = uint64_t(offset) | ((head >> 32) + 1) << 32;
    if (__atomic_compare_exchange_n(&b->FreeHead, &head, now, true, __ATOMIC_SEQ_CST, __ATOMIC_ACQUIRE)) {
      more = offset != 0;
      return taken;
    }
  }
}

// Pushes a chain of items already linked from first to last.
inline void PushItems(TmvItemBlock* b, uint32_t first, uint32_t last) {
  uint64_t head = __atomic_load_n(&b->FreeHead, __ATOMIC_ACQUIRE);
  for (;;) {
    __atomic_store_n(&ItemLink(b, last), uint32_t(head), __ATOMIC_RELAXED);
    const uint64_t now = uint64_t(first) | ((head >> 32) + 1) << 32;
    if (__atomic_compare_exchange_n(&b->FreeHead, &head, now, true, __ATOMIC_SEQ_CST, __ATOMIC_ACQUIRE)) return;
  }
}

inline uint32_t OffsetIn(const TmvItemBlock* b, const void* item) { return uint32_t(uintptr_t(item) - uintptr_t(b)); }

inline bool FreeListEmpty(TmvItemBlock* b) { return uint32_t(__atomic_load_n(&b->FreeHead, __ATOMIC_ACQUIRE)) == 0; }

}  // namespace

// ---------------------------------------------------------------------------
// One pool

TmvMemoryPool::TmvMemoryPool(uint32_t aItemSize, TmvBlockPools& blocks, TmvMemoryCounters& counters,
                             uint32_t aIndex)
    : mpIndex(aIndex), fBlocks(blocks), fBlockClass(blocks.Class(4)), fCounters(counters) {
  mpItemSize = aItemSize == 4 ? 4 : (aItemSize + 7) & ~7u;
  // Room for the 32 header bytes and the bitmap, rounded up to 16.
  mpBlockHeaderSize = ((65503 / mpItemSize + 7) / 8 + 47) / 16 * 16;
  mpItemsPerBlock = (65535 - mpBlockHeaderSize) / mpItemSize;
  MV_ASSERT(mpItemsPerBlock != 0);
  mpIndexMultiplier = uint32_t(((uint64_t(1) << 32) + mpItemSize - 1) / mpItemSize);
}

TmvMemoryPool::~TmvMemoryPool() {
  mpNeedCleanup = 1;
  Cleanup();
}

TmvItemBlock* TmvMemoryPool::NewBlock() {
  auto* b = static_cast<TmvItemBlock*>(fBlocks.Allocate(fBlockClass));
  if (!b) return nullptr;
  __atomic_fetch_add(&fCounters.Reserved, int64_t(mvItemBlockSize), __ATOMIC_RELAXED);
  __atomic_fetch_add(&fCounters.Committed, int64_t(mvItemBlockSize), __ATOMIC_RELAXED);
  __atomic_fetch_add(&fCounters.Header, int64_t(mpBlockHeaderSize), __ATOMIC_RELAXED);
  std::memset(b, 0, mpBlockHeaderSize);
  b->Owner = this;
  char* base = reinterpret_cast<char*>(b);
  uint32_t offset = mpBlockHeaderSize;
  for (uint32_t i = 0; i + 1 < mpItemsPerBlock; ++i, offset += mpItemSize)
    *reinterpret_cast<uint32_t*>(base + offset) = offset + mpItemSize;
  *reinterpret_cast<uint32_t*>(base + offset) = 0;
  b->FreeHead = mpBlockHeaderSize;
  return b;
}

// Takes a block whose free list ran empty off every list. The release that
// finds the flag set puts it back; so does this thread if a release slipped in
// before the flag was set.
void TmvMemoryPool::Detach(TmvItemBlock* block) {
  uint32_t expected = 0;
  if (!__atomic_compare_exchange_n(&block->Detached, &expected, 1u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
    InvalidPointerError();
  if (!FreeListEmpty(block)) {
    expected = 1;
    if (__atomic_compare_exchange_n(&block->Detached, &expected, 0u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
      mvListHeadPush(CurrentPartial(), block);
  }
}

// A block with free items, held by this thread alone until it goes back on a
// list; nil when no block can be had.
TmvItemBlock* TmvMemoryPool::TakeBlock() {
  for (;;) {
    auto* block = static_cast<TmvItemBlock*>(mvListHeadPop(CurrentPartial()));
    if (block && __atomic_load_n(&block->InUse, __ATOMIC_ACQUIRE) == 0) {
      mvListHeadPush(mpFreeBlockHead, block);
      continue;
    }
    if (!block) block = static_cast<TmvItemBlock*>(mvListHeadPop(mpFreeBlockHead));
    if (!block) block = NewBlock();
    return block;
  }
}

uint32_t TmvMemoryPool::AllocBatch(void** out, uint32_t n, TmvItemBlock*& held) {
  uint32_t got = 0;
  while (got < n) {
    // A held block always has free items: only its holder takes any.
    TmvItemBlock* block = held ? held : TakeBlock();
    held = nullptr;
    if (!block) break;
    bool more = false;
    const uint32_t taken = PopItems(block, out + got, n - got, more);
    if (!taken) {
      Detach(block);
      continue;
    }
    __atomic_add_fetch(&block->InUse, taken, __ATOMIC_SEQ_CST);
    if (more) held = block;
    else Detach(block);
    got += taken;
  }
  if (got) fCounters.Allocated.Add(int64_t(got) * mpItemSize);
  return got;
}

uint32_t TmvMemoryPool::AllocBatch(void** out, uint32_t n) {
  TmvItemBlock* held = nullptr;
  const uint32_t got = AllocBatch(out, n, held);
  if (held) mvListHeadPush(CurrentPartial(), held);  // in use by the items just taken
  return got;
}

void TmvMemoryPool::ReleaseHeld(TmvItemBlock*& held) {
  if (!held) return;
  mvListHeadPush(CurrentPartial(), held);
  held = nullptr;
  // Its items may all have come back while it was held, where no cleanup
  // could see it; the block must not be read again once it is listed.
  __atomic_store_n(&mpNeedCleanup, 1u, __ATOMIC_RELEASE);
}

// Items of one block, linked into a chain here and pushed at once.
void TmvMemoryPool::ReleaseRun(TmvItemBlock* block, void* const* items, uint32_t n) {
  for (uint32_t i = 0; i + 1 < n; ++i)
    __atomic_store_n(&ItemLink(block, OffsetIn(block, items[i])), OffsetIn(block, items[i + 1]), __ATOMIC_RELAXED);
  PushItems(block, OffsetIn(block, items[0]), OffsetIn(block, items[n - 1]));
  // Re-attach before the count drops: once it reaches 0 the maintenance
  // thread may give the block away, and this thread must not touch it again.
  uint32_t expected = 1;
  if (__atomic_load_n(&block->Detached, __ATOMIC_ACQUIRE) == 1 &&
      __atomic_compare_exchange_n(&block->Detached, &expected, 0u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
    mvListHeadPush(CurrentPartial(), block);
  if (__atomic_sub_fetch(&block->InUse, n, __ATOMIC_SEQ_CST) == 0) __atomic_store_n(&mpNeedCleanup, 1u, __ATOMIC_RELEASE);
}

void TmvMemoryPool::DisposeBatch(void* const* items, uint32_t n) {
  // Items of one block still counted keep it from reaching 0, so a run may
  // be released while later items of the same block wait their turn.
  for (uint32_t start = 0; start < n;) {
    TmvItemBlock* block = BlockOf(items[start]);
    uint32_t end = start + 1;
    while (end < n && BlockOf(items[end]) == block) ++end;
    ReleaseRun(block, items + start, end - start);
    start = end;
  }
  fCounters.Allocated.Add(-int64_t(n) * mpItemSize);
}

// Runs of items in one block and one bitmap word (as a fresh block hands
// them out, in address order) cost one locked operation.
void TmvMemoryPool::ChangeBits(void* const* items, uint32_t n, bool inUse) {
  for (uint32_t i = 0; i < n;) {
    TmvItemBlock* block = BlockOf(items[i]);
    const uint32_t word = IndexOf(block, items[i]) >> 5;
    uint32_t bits = 0;
    for (; i < n && BlockOf(items[i]) == block; ++i) {
      const uint32_t index = IndexOf(block, items[i]);
      if (index >> 5 != word) break;
      bits |= 1u << (index & 31);
    }
    const uint32_t before = inUse ? __atomic_fetch_or(&block->Bitmap[word], bits, __ATOMIC_SEQ_CST)
                                  : __atomic_fetch_and(&block->Bitmap[word], ~bits, __ATOMIC_SEQ_CST);
    if ((before & bits) != (inUse ? 0 : bits)) InvalidPointerError();
  }
}

void* TmvMemoryPool::Alloc() {
  void* item;
  if (!AllocBatch(&item, 1)) return nullptr;
  MarkInUse(item);
  return item;
}

int TmvMemoryPool::DisposeDirect(void* item) {
  MarkFree(item);
  DisposeBatch(&item, 1);
  return 0;
}

void TmvMemoryPool::Dispose(void*& item) {
  if (void* p = __atomic_exchange_n(&item, nullptr, __ATOMIC_SEQ_CST)) DisposeDirect(p);
}

void TmvMemoryPool::GiveBack(TmvItemBlock* block) {
  __atomic_store_n(&block->Owner, static_cast<TmvMemoryPool*>(nullptr), __ATOMIC_RELEASE);
  __atomic_fetch_sub(&fCounters.Reserved, int64_t(mvItemBlockSize), __ATOMIC_RELAXED);
  __atomic_fetch_sub(&fCounters.Committed, int64_t(mvItemBlockSize), __ATOMIC_RELAXED);
  __atomic_fetch_sub(&fCounters.Header, int64_t(mpBlockHeaderSize), __ATOMIC_RELAXED);
  fBlocks.Release(fBlockClass, block);
}

void TmvMemoryPool::Cleanup() {
  if (__atomic_exchange_n(&mpNeedCleanup, 0u, __ATOMIC_SEQ_CST)) {
    // Switch allocators to the other list first, so that blocks they push
    // back do not keep this loop going; both lists stay valid throughout.
    TmvListHead& old = CurrentPartial();
    __atomic_store_n(&mpPartialFreeBlockBool, mpPartialFreeBlockBool == 0 ? 1u : 0u, __ATOMIC_RELEASE);
    TmvListHead& other = CurrentPartial();
    while (auto* block = static_cast<TmvItemBlock*>(mvListHeadPop(old))) {
      if (__atomic_load_n(&block->InUse, __ATOMIC_ACQUIRE) != 0) mvListHeadPush(other, block);
      else GiveBack(block);
    }
  }
  while (auto* block = static_cast<TmvItemBlock*>(mvListHeadPop(mpFreeBlockHead))) {
    MV_ASSERT(__atomic_load_n(&block->InUse, __ATOMIC_ACQUIRE) == 0);
    GiveBack(block);
  }
}

// ---------------------------------------------------------------------------
// The item manager

TmvItemManager::TmvItemManager(TmvBlockPools& blocks, TmvMemoryCounters& counters) : fBlocks(blocks) {
  for (int i = 0; i < mvItemPoolCount; ++i)
    fPools[i] = new TmvMemoryPool(mvItemPoolSizes[i], blocks, counters, uint32_t(i));
  fLowestPool = *std::min_element(std::begin(fPools), std::end(fPools), std::less<>());
  fHighestPool = *std::max_element(std::begin(fPools), std::end(fPools), std::less<>());
  // The pool for a size is the pool with the smallest item size not below it.
  auto poolNotBelow = [this](uint32_t size) {
    int i = 0;
    while (fPools[i]->ItemSize() < size) ++i;
    return fPools[i];
  };
  for (uint32_t i = 0; i < 17; ++i) fSmall[i] = poolNotBelow((i + 1) * 4);
  for (uint32_t i = 0; i < 1023; ++i) fLarge[i] = poolNotBelow((i + 1) * 32);
}

TmvItemManager::~TmvItemManager() {
  for (TmvMemoryPool*& p : fPools) {
    delete p;  // runs its cleanup; the object's room stays in the unpaged area
    p = nullptr;
  }
}

void TmvItemManager::Cleanup() {
  for (TmvMemoryPool* p : fPools) p->Cleanup();
}
