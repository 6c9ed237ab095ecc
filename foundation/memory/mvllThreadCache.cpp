// Foundation: the per-thread item cache (see mvllThreadCache.h).
#include "foundation/memory/mvllThreadCache.h"

#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/SyncObjs.h"

namespace {

constexpr uint32_t kMaxItems = 64;
constexpr uint32_t kMaxBytes = 16384;
constexpr uint32_t kMinItems = 4;  // a smaller magazine would save too little to be worth its room

constexpr uint32_t LimitOf(uint32_t itemSize) {
  const uint32_t n = std::min(kMaxItems, kMaxBytes / itemSize);
  return n >= kMinItems ? n : 0;
}

// Where each pool's magazine starts in a thread's slot array, and which
// pools' items carry the magazine mark (see the header): those with room for
// it behind the free-list link, of the pools that are cached.
struct Layout {
  uint32_t Base[mvItemPoolCount] = {};
  uint32_t Total = 0;
  bool Marked[mvItemPoolCount] = {};
};
constexpr Layout MakeLayout() {
  Layout l;
  for (int i = 0; i < mvItemPoolCount; ++i) {
    l.Base[i] = l.Total;
    l.Total += LimitOf(mvItemPoolSizes[i]);
    l.Marked[i] = mvItemPoolSizes[i] >= 16 && LimitOf(mvItemPoolSizes[i]) > 0;
  }
  return l;
}
constexpr Layout kLayout = MakeLayout();

inline bool Marked(const TmvMemoryPool& pool) { return kLayout.Marked[pool.Index()]; }

// The magazine mark: a value no caller can foresee, different for each item
// address, in bytes 8 to 15 of the item.
uint64_t gMarkKey = 0;  // set once, before the first manager hands out an item

inline uint64_t MarkOf(const void* item) { return (uint64_t(uintptr_t(item)) ^ gMarkKey) * 0x9E3779B97F4A7C15ull; }
inline uint64_t* MarkWord(const void* item) {
  return reinterpret_cast<uint64_t*>(reinterpret_cast<uintptr_t>(item) + 8);
}
inline void ClearMark(void* item) { __atomic_store_n(MarkWord(item), uint64_t(0), __ATOMIC_RELAXED); }
inline void SetMark(void* item) { __atomic_store_n(MarkWord(item), MarkOf(item), __ATOMIC_RELAXED); }
inline bool HasMark(const void* item) { return __atomic_load_n(MarkWord(item), __ATOMIC_RELAXED) == MarkOf(item); }

// Items leaving magazines for their pool: the marked ones still have their
// bits set.
void ReturnToPool(TmvMemoryPool& pool, void* const* items, uint32_t n) {
  if (Marked(pool)) pool.MarkBatchFree(items, n);
  pool.DisposeBatch(items, n);
}

// Limit is 0 while the thread's cache is not yet open, after it closed, and
// for pools that are not cached: each of those cases fails both fast-path
// tests (Count > 0, Count < Limit) and takes the slow path.
struct Magazine {
  uint32_t Count;
  uint32_t Limit;
  void** Slots;         // the most recently freed item on top
  TmvItemBlock* Held;   // the block refills take from (TmvMemoryPool::AllocBatch)
};

enum TCacheState : uint8_t { kNew, kOpen, kClosed };

struct ThreadCache {
  Magazine Mags[mvItemPoolCount];
  uint32_t Busy;         // 1 while the owner works on the magazines; written by the owner only
  uint32_t TakeRequest;  // non-zero while a collector may take the magazines
  uint32_t Refills;      // the owner's trips to the pools (slow paths); written by the owner only
  uint32_t SeenRefills;  // Refills at the collector's previous look, under gRegistryLock
  TCacheState State;
  ThreadCache* Prev;  // the registry of open caches, under gRegistryLock
  ThreadCache* Next;
  void* Slots[kLayout.Total];
};

// Zero-initialised and trivially destructible, so the fast path reaches it
// without a guard; the exit flush lives in a separate object.
constinit thread_local ThreadCache tCache{};

constinit std::mutex gRegistryLock;
ThreadCache* gRegistry = nullptr;

struct ExitFlush {
  bool Armed = false;
  ~ExitFlush();
};
thread_local ExitFlush tExitFlush;

TmvMemoryPool* OwnerOf(const TmvItemBlock* block) { return __atomic_load_n(&block->Owner, __ATOMIC_ACQUIRE); }

// All items and the held block of a magazine belong to one pool of the one manager.
void FlushMagazine(Magazine& m) {
  if (m.Count) {
    ReturnToPool(*OwnerOf(TmvMemoryPool::BlockOf(m.Slots[0])), m.Slots, m.Count);
    m.Count = 0;
  }
  if (m.Held) OwnerOf(m.Held)->ReleaseHeld(m.Held);
}

void FlushCache(ThreadCache& c) {
  for (Magazine& m : c.Mags) FlushMagazine(m);
}

void Open(ThreadCache& c) {
  tExitFlush.Armed = true;  // the first use of the thread_local registers its destructor
  std::lock_guard<std::mutex> guard(gRegistryLock);
  for (int i = 0; i < mvItemPoolCount; ++i) {
    c.Mags[i].Slots = c.Slots + kLayout.Base[i];
    c.Mags[i].Limit = LimitOf(mvItemPoolSizes[i]);
  }
  c.Prev = nullptr;
  c.Next = gRegistry;
  if (gRegistry) gRegistry->Prev = &c;
  gRegistry = &c;
  c.State = kOpen;
}

ExitFlush::~ExitFlush() {
  ThreadCache& c = tCache;
  std::lock_guard<std::mutex> guard(gRegistryLock);  // a shutdown flush may be walking the registry
  if (c.State != kOpen) return;
  FlushCache(c);
  for (Magazine& m : c.Mags) m.Limit = 0;
  (c.Prev ? c.Prev->Next : gRegistry) = c.Next;
  if (c.Next) c.Next->Prev = c.Prev;
  c.State = kClosed;
}

// The owner's side of taking back (see the header). Enter marks an operation
// (Busy) and then looks for a collector's request; the collector's
// process-wide barrier orders the two against its own request and look, so
// a compiler barrier is all this side needs.
[[gnu::cold, gnu::noinline]] void WaitForCollector(ThreadCache& c);

inline void Enter(ThreadCache& c) {
  for (;;) {
    __atomic_store_n(&c.Busy, 1u, __ATOMIC_RELAXED);
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    if (!__atomic_load_n(&c.TakeRequest, __ATOMIC_ACQUIRE)) return;
    WaitForCollector(c);
  }
}

inline void Leave(ThreadCache& c) {
  __atomic_signal_fence(__ATOMIC_SEQ_CST);
  __atomic_store_n(&c.Busy, 0u, __ATOMIC_RELEASE);
}

// A trip to the pools: what tells the maintenance thread that the cache is in use.
inline void CountRefill(ThreadCache& c) {
  __atomic_store_n(&c.Refills, __atomic_load_n(&c.Refills, __ATOMIC_RELAXED) + 1, __ATOMIC_RELAXED);
}

// Leaves on every way out, exceptions included.
struct Operation {
  ThreadCache& Cache;
  explicit Operation(ThreadCache& c) : Cache(c) { Enter(c); }
  ~Operation() { Leave(Cache); }
};

void WaitForCollector(ThreadCache& c) {
  Leave(c);
  // The collector holds the lock while it may touch this cache.
  std::lock_guard<std::mutex> wait(gRegistryLock);
}

inline void* TakeTop(TmvMemoryPool& pool, Magazine& m) {
  void* item = m.Slots[--m.Count];
  if (Marked(pool)) ClearMark(item);
  else pool.MarkInUse(item);
  return item;
}

[[gnu::noinline]] void* AllocSlow(TmvMemoryPool& pool, Magazine& m) {
  if (tCache.State == kNew) Open(tCache);
  CountRefill(tCache);
  if (m.Limit == 0) {
    // A closed cache: an item that last waited in a magazine has its mark still.
    void* item = pool.Alloc();
    if (item && Marked(pool)) ClearMark(item);
    return item;
  }
  // A collect requested while the pool looks for a chunk may flush this
  // thread's cache; this magazine is empty then and stays so until here.
  const uint32_t got = pool.AllocBatch(m.Slots, m.Limit / 2, m.Held);
  if (!got) return nullptr;
  if (Marked(pool)) {
    pool.MarkBatchInUse(m.Slots, got);
    for (uint32_t i = 0; i < got; ++i) SetMark(m.Slots[i]);
  }
  m.Count = got;
  return TakeTop(pool, m);
}

// The item is ready for a magazine: marked, or its bit cleared.
[[gnu::noinline]] void FreeSlow(TmvMemoryPool& pool, Magazine& m, void* item) {
  if (tCache.State == kNew) Open(tCache);
  CountRefill(tCache);
  if (m.Limit == 0) {
    ReturnToPool(pool, &item, 1);
    return;
  }
  if (m.Count == m.Limit) {  // full: the older half goes back
    const uint32_t half = m.Limit / 2;
    ReturnToPool(pool, m.Slots, half);
    m.Count -= half;
    std::memmove(m.Slots, m.Slots + half, m.Count * sizeof(void*));
  }
  m.Slots[m.Count++] = item;
}

}  // namespace

void* TmvThreadCache::Alloc(TmvMemoryPool& pool) {
  const Operation op(tCache);
  Magazine& m = tCache.Mags[pool.Index()];
  if (m.Count == 0) return AllocSlow(pool, m);
  return TakeTop(pool, m);
}

void TmvThreadCache::Free(TmvMemoryPool& pool, void* item) {
  if (Marked(pool)) {
    // Of two frees of one item, exactly one finds no mark: the other raises,
    // wherever the item is by then (a magazine, or its pool: a mark stays
    // there, and the bit is clear as well).
    pool.CheckHeld(item);
    if (__atomic_exchange_n(MarkWord(item), MarkOf(item), __ATOMIC_SEQ_CST) == MarkOf(item)) InvalidPointerError();
  } else {
    pool.MarkFree(item);
  }
  const Operation op(tCache);
  Magazine& m = tCache.Mags[pool.Index()];
  if (m.Count >= m.Limit) return FreeSlow(pool, m, item);
  m.Slots[m.Count++] = item;
}

void TmvThreadCache::CheckHeld(const TmvMemoryPool& pool, const void* item) {
  pool.CheckHeld(item);
  if (Marked(pool) && HasMark(item)) InvalidPointerError();
}

void TmvThreadCache::Start() {
  if (__atomic_load_n(&gMarkKey, __ATOMIC_RELAXED)) return;
  uint64_t key = 0;
  if (getrandom(&key, sizeof key, 0) != ssize_t(sizeof key))
    key = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^ uintptr_t(&key);
  __atomic_store_n(&gMarkKey, key | 1, __ATOMIC_RELAXED);
}

void TmvThreadCache::FlushThisThread() {
  ThreadCache& c = tCache;
  // A collect asked for while this thread's own operation looked for memory
  // (the chunk manager's out-of-address-space callback) runs inside that
  // operation, which already keeps collectors away: a second Enter and its
  // Leave would let them in before the operation is done.
  if (__atomic_load_n(&c.Busy, __ATOMIC_RELAXED)) {
    if (c.State == kOpen) FlushCache(c);
    return;
  }
  const Operation op(c);
  if (c.State == kOpen) FlushCache(c);
}

void TmvThreadCache::FlushAllThreads() {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  for (ThreadCache* c = gRegistry; c; c = c->Next) FlushCache(*c);
}

int TmvThreadCache::TakeBack(bool onlyIdle) {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  for (ThreadCache* c = gRegistry; c; c = c->Next) __atomic_store_n(&c->TakeRequest, 1u, __ATOMIC_RELAXED);
  // From here on an owner that enters an operation sees the request, and one
  // that entered before shows it in Busy.
  const bool ordered = FlushProcessWriteBuffers();
  int taken = 0;
  for (ThreadCache* c = gRegistry; c; c = c->Next) {
    const bool busy = __atomic_load_n(&c->Busy, __ATOMIC_ACQUIRE) != 0;
    const uint32_t refills = __atomic_load_n(&c->Refills, __ATOMIC_RELAXED);
    const bool idle = refills == c->SeenRefills;
    c->SeenRefills = refills;
    if (!ordered || busy || (onlyIdle && !idle)) continue;
    FlushCache(*c);
    ++taken;
  }
  for (ThreadCache* c = gRegistry; c; c = c->Next) __atomic_store_n(&c->TakeRequest, 0u, __ATOMIC_RELEASE);
  return taken;
}

uint32_t TmvThreadCache::CachedCount(uint32_t poolIndex) { return tCache.Mags[poolIndex].Count; }
