// Foundation: the item pools of the memory manager (see mvllItemPools.h).
#include "foundation/mvllItemPools.h"

#include <sys/mman.h>

#include <cstring>
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
// Sizes

const uint32_t mvItemPoolSizes[mvItemPoolCount] = {
    4,    8,    16,   32,   48,   64,   96,   128,  160,  192,  224,   256,   288,   320,   352,   384,
    416,  448,  480,  512,  544,  576,  608,  640,  672,  704,  736,   768,   800,   832,   864,   896,
    928,  960,  992,  1024, 1280, 1536, 1792, 2048, 2304, 2560, 2816,  3072,  3328,  3584,  3840,  4064,
    4352, 4672, 5024, 5440, 5952, 6528, 7264, 8160, 9344, 10912, 13088, 16352, 21824, 32736};

// ---------------------------------------------------------------------------
// The block's free-item list: a 64-bit head of (offset, change counter) and
// 32-bit offset links, so that even 4-byte items can hold a link.

namespace {

inline uint32_t& ItemLink(TmvItemBlock* b, uint32_t offset) {
  return *reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(b) + offset);
}

// Pops an item; 0 when the list is empty. `more` tells whether the popped
// item's link showed further free items.
inline uint32_t PopItem(TmvItemBlock* b, bool& more) {
  uint64_t head = __atomic_load_n(&b->FreeHead, __ATOMIC_ACQUIRE);
  for (;;) {
    const uint32_t first = uint32_t(head);
    if (!first) return 0;
    const uint32_t next = __atomic_load_n(&ItemLink(b, first), __ATOMIC_RELAXED);
    const uint64_t now = uint64_t(next) | ((head >> 32) + 1) << 32;
    if (__atomic_compare_exchange_n(&b->FreeHead, &head, now, true, __ATOMIC_SEQ_CST, __ATOMIC_ACQUIRE)) {
      more = next != 0;
      return first;
    }
  }
}

inline void PushItem(TmvItemBlock* b, uint32_t offset) {
  uint64_t head = __atomic_load_n(&b->FreeHead, __ATOMIC_ACQUIRE);
  for (;;) {
    __atomic_store_n(&ItemLink(b, offset), uint32_t(head), __ATOMIC_RELAXED);
    const uint64_t now = uint64_t(offset) | ((head >> 32) + 1) << 32;
    if (__atomic_compare_exchange_n(&b->FreeHead, &head, now, true, __ATOMIC_SEQ_CST, __ATOMIC_ACQUIRE)) return;
  }
}

inline bool FreeListEmpty(TmvItemBlock* b) { return uint32_t(__atomic_load_n(&b->FreeHead, __ATOMIC_ACQUIRE)) == 0; }

}  // namespace

// ---------------------------------------------------------------------------
// One pool

TmvMemoryPool::TmvMemoryPool(uint32_t aItemSize, TmvBlockPools& blocks, TmvMemoryCounters& counters)
    : fBlocks(blocks), fBlockClass(blocks.Class(4)), fCounters(counters) {
  mpItemSize = aItemSize == 4 ? 4 : (aItemSize + 7) & ~7u;
  // Room for the 32 header bytes and the bitmap, rounded up to 16.
  mpBlockHeaderSize = ((65503 / mpItemSize + 7) / 8 + 47) / 16 * 16;
  mpItemsPerBlock = (65535 - mpBlockHeaderSize) / mpItemSize;
  MV_ASSERT(mpItemsPerBlock != 0);
}

TmvMemoryPool::~TmvMemoryPool() {
  mpNeedCleanup = 1;
  Cleanup();
}

uint32_t TmvMemoryPool::IndexOf(const TmvItemBlock* block, const void* item) const {
  const uintptr_t offset = uintptr_t(item) - uintptr_t(block);
  if (offset < mpBlockHeaderSize) InvalidPointerError();
  const uintptr_t rel = offset - mpBlockHeaderSize;
  if (rel % mpItemSize != 0 || rel / mpItemSize >= mpItemsPerBlock) InvalidPointerError();
  return uint32_t(rel / mpItemSize);
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

void* TmvMemoryPool::Alloc() {
  for (;;) {
    auto* block = static_cast<TmvItemBlock*>(mvListHeadPop(CurrentPartial()));
    if (block && __atomic_load_n(&block->InUse, __ATOMIC_ACQUIRE) == 0) {
      mvListHeadPush(mpFreeBlockHead, block);
      continue;
    }
    if (!block) block = static_cast<TmvItemBlock*>(mvListHeadPop(mpFreeBlockHead));
    if (!block) block = NewBlock();
    if (!block) return nullptr;

    bool more = false;
    const uint32_t offset = PopItem(block, more);
    if (!offset) {
      Detach(block);
      continue;
    }
    __atomic_add_fetch(&block->InUse, 1u, __ATOMIC_SEQ_CST);
    if (more) mvListHeadPush(CurrentPartial(), block);
    else Detach(block);

    void* item = reinterpret_cast<char*>(block) + offset;
    const uint32_t index = IndexOf(block, item);
    const uint32_t bit = 1u << (index & 31);
    if (__atomic_fetch_or(&block->Bitmap[index >> 5], bit, __ATOMIC_SEQ_CST) & bit) InvalidPointerError();
    fCounters.Allocated.Add(mpItemSize);
    return item;
  }
}

int TmvMemoryPool::DisposeDirect(void* item) {
  TmvItemBlock* block = BlockOf(item);
  if (__atomic_load_n(&block->Owner, __ATOMIC_ACQUIRE) != this) InvalidPointerError();
  const uint32_t index = IndexOf(block, item);
  const uint32_t bit = 1u << (index & 31);
  if (!(__atomic_fetch_and(&block->Bitmap[index >> 5], ~bit, __ATOMIC_SEQ_CST) & bit)) InvalidPointerError();
  PushItem(block, uint32_t(uintptr_t(item) - uintptr_t(block)));
  // Re-attach before the count drops: once it reaches 0 the maintenance
  // thread may give the block away, and this thread must not touch it again.
  uint32_t expected = 1;
  if (__atomic_load_n(&block->Detached, __ATOMIC_ACQUIRE) == 1 &&
      __atomic_compare_exchange_n(&block->Detached, &expected, 0u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
    mvListHeadPush(CurrentPartial(), block);
  if (__atomic_sub_fetch(&block->InUse, 1u, __ATOMIC_SEQ_CST) == 0) __atomic_store_n(&mpNeedCleanup, 1u, __ATOMIC_RELEASE);
  fCounters.Allocated.Add(-int64_t(mpItemSize));
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
  for (int i = 0; i < mvItemPoolCount; ++i) fPools[i] = new TmvMemoryPool(mvItemPoolSizes[i], blocks, counters);
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

TmvMemoryPool* TmvItemManager::OwnerOf(const void* item) const {
  if ((uintptr_t(item) & (mvItemBlockSize - 1)) == 0) return nullptr;
  if (fBlocks.OwnerOf(item) != const_cast<TmvBlockPools&>(fBlocks).Class(4)) return nullptr;
  return __atomic_load_n(&TmvMemoryPool::BlockOf(item)->Owner, __ATOMIC_ACQUIRE);
}

void TmvItemManager::Cleanup() {
  for (TmvMemoryPool* p : fPools) p->Cleanup();
}
