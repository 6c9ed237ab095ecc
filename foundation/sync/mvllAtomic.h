// Foundation: locked operations and the lock-free list head.
//
// The engine's lock-free structures (the memory manager's pools and chunk
// lists, the thread-safe stack, event caches, reference counts, lazily
// created singletons) are built from the locked operations below and from
// one list head, `TmvListHead`, that is only ever changed by a single
// compare-exchange of the whole head. Every operation is a full barrier and
// may run on any number of threads at once. Calls nothing but the compiler.
//
// On 64-bit Linux a list head is a pointer plus a 32-bit sequence, changed as
// one 16-byte unit (lock cmpxchg16b), so the sequence still protects a pop
// against the reuse race whatever memory the entries live in.
//
// Rules for every user of a list head:
//  1. An entry's memory stays readable while a pop in progress may still
//     reach it: entries are recycled inside the structure that owns them,
//     never unmapped while the list is in use. A popper that reads the link
//     of an entry popped meanwhile reads a stale value that its failing
//     compare-exchange discards.
//  2. An entry's link word is written only by the thread about to push it.
//  3. Depth-limited lists keep caches bounded (see the Limited forms).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Locked operations on 32-bit (and pointer) targets. Each is one locked
// instruction and a full memory barrier.

template <typename T>
concept mvLockedInt = std::integral<T> && (sizeof(T) == 4 || sizeof(T) == 8);

// Stores newValue when target equals comparand; returns the previous value.
template <mvLockedInt T>
inline T mvInterlockedCompareExchange(T& target, T newValue, T comparand) {
  __atomic_compare_exchange_n(&target, &comparand, newValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
template <typename T>
inline T* mvInterlockedCompareExchangePointer(T*& target, T* newValue, T* comparand) {
  __atomic_compare_exchange_n(&target, &comparand, newValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
// The same for a slot that holds an object reference.
template <typename T>
inline T* mvInterlockedCompareExchangeObject(T*& target, T* newValue, T* comparand) {
  return mvInterlockedCompareExchangePointer(target, newValue, comparand);
}
// Stores value; returns the previous value.
template <mvLockedInt T>
inline T mvLockedExchange(T& target, T value) {
  return __atomic_exchange_n(&target, value, __ATOMIC_SEQ_CST);
}
template <typename T>
inline T* mvInterlockedExchangePointer(T*& target, T* value) {
  return __atomic_exchange_n(&target, value, __ATOMIC_SEQ_CST);
}
// Adds 1; returns the new value.
template <mvLockedInt T>
inline T mvInterlockedIncrement(T& target) { return __atomic_add_fetch(&target, T(1), __ATOMIC_SEQ_CST); }
template <mvLockedInt T>
inline T mvLockedIncrement(T& target) { return __atomic_add_fetch(&target, T(1), __ATOMIC_SEQ_CST); }
// Subtracts 1; returns the new value.
template <mvLockedInt T>
inline T mvInterlockedDecrement(T& target) { return __atomic_sub_fetch(&target, T(1), __ATOMIC_SEQ_CST); }
// Adds n; returns the new value.
template <mvLockedInt T>
inline T mvLockedAdd(T& target, T n) { return __atomic_add_fetch(&target, n, __ATOMIC_SEQ_CST); }
// Subtracts n; returns the new value.
template <mvLockedInt T>
inline T mvLockedSubtract(T& target, T n) { return __atomic_sub_fetch(&target, n, __ATOMIC_SEQ_CST); }
// Adds n; returns the previous value.
template <mvLockedInt T>
inline T mvLockedExchangeAdd(T& target, T n) { return __atomic_fetch_add(&target, n, __ATOMIC_SEQ_CST); }

// ---------------------------------------------------------------------------
// The list head.
//
// | offset | size | field                                                  |
// |      0 |    8 | lhFirst: first entry, nil when the list is empty        |
// |      8 |    4 | lhSequence: change counter; in the depth-counting form  |
// |        |      |   the upper 16 bits are the depth, the lower 16 bits a  |
// |        |      |   wrapping change counter                              |
// |     12 |    4 | lhReserved: always 0                                   |
//
// An entry is any block whose first pointer-sized word links to the next
// entry (nil at the end).
struct alignas(16) TmvListHead {
  void* lhFirst = nullptr;
  uint32_t lhSequence = 0;
  uint32_t lhReserved = 0;
};
static_assert(sizeof(TmvListHead) == 16);

namespace mvll_detail {

inline void*& LinkOf(void* entry) { return *static_cast<void**>(entry); }

inline bool CompareExchange16(TmvListHead& head, TmvListHead& expected, const TmvListHead& desired) {
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
  uint64_t lo = reinterpret_cast<uint64_t>(expected.lhFirst);
  uint64_t hi = uint64_t(expected.lhSequence) | (uint64_t(expected.lhReserved) << 32);
  const uint64_t newLo = reinterpret_cast<uint64_t>(desired.lhFirst);
  const uint64_t newHi = uint64_t(desired.lhSequence) | (uint64_t(desired.lhReserved) << 32);
  bool ok;
  asm volatile("lock cmpxchg16b %1"
               : "=@ccz"(ok), "+m"(head), "+a"(lo), "+d"(hi)
               : "b"(newLo), "c"(newHi)
               : "memory");
  if (!ok) {
    expected.lhFirst = reinterpret_cast<void*>(lo);
    expected.lhSequence = uint32_t(hi);
    expected.lhReserved = uint32_t(hi >> 32);
  }
  return ok;
#else
  return __atomic_compare_exchange(&head, &expected, const_cast<TmvListHead*>(&desired), false,
                                   __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
#endif
}

}  // namespace mvll_detail

// A consistent-enough snapshot of a head for a following compare-exchange:
// the sequence is read before the first pointer, so a snapshot whose
// compare-exchange succeeds saw no push or pop in between.
inline TmvListHead mvListHeadRead(const TmvListHead& head) {
  TmvListHead r;
  r.lhSequence = __atomic_load_n(&head.lhSequence, __ATOMIC_ACQUIRE);
  r.lhFirst = __atomic_load_n(&head.lhFirst, __ATOMIC_ACQUIRE);
  r.lhReserved = 0;
  return r;
}
// Replaces the head when it still equals expected (both halves); otherwise
// expected receives the current head. One locked 16-byte compare-exchange.
inline bool mvListHeadCompareExchange(TmvListHead& head, TmvListHead& expected, const TmvListHead& desired) {
  return mvll_detail::CompareExchange16(head, expected, desired);
}

// lhFirst := nil, lhSequence := 0. Not atomic: for a head nobody uses yet.
inline void mvListHeadInit(TmvListHead& head) {
  head.lhFirst = nullptr;
  head.lhSequence = 0;
  head.lhReserved = 0;
}

// entry's link := current first; head := (entry, sequence + 1).
inline void mvListHeadPush(TmvListHead& head, void* entry) {
  TmvListHead cur = mvListHeadRead(head);
  for (;;) {
    __atomic_store_n(&mvll_detail::LinkOf(entry), cur.lhFirst, __ATOMIC_RELAXED);
    const TmvListHead next{entry, cur.lhSequence + 1, 0};
    if (mvll_detail::CompareExchange16(head, cur, next)) return;
  }
}

// Pushes a pre-linked chain at once: node is the chain's first entry and
// *link the last entry's link word. Returns the previous first entry.
inline void* mvListHeadPushLinked(TmvListHead& head, void* node, void** link) {
  TmvListHead cur = mvListHeadRead(head);
  for (;;) {
    __atomic_store_n(link, cur.lhFirst, __ATOMIC_RELAXED);
    const TmvListHead next{node, cur.lhSequence + 1, 0};
    if (mvll_detail::CompareExchange16(head, cur, next)) return cur.lhFirst;
  }
}

// Takes the first entry, or returns nil (head unchanged) when empty.
inline void* mvListHeadPop(TmvListHead& head) {
  TmvListHead cur = mvListHeadRead(head);
  for (;;) {
    if (!cur.lhFirst) return nullptr;
    void* link = __atomic_load_n(&mvll_detail::LinkOf(cur.lhFirst), __ATOMIC_RELAXED);
    const TmvListHead next{link, cur.lhSequence + 1, 0};
    if (mvll_detail::CompareExchange16(head, cur, next)) return cur.lhFirst;
  }
}

// Takes the whole chain; the sequence stays (safe: the list is then empty and
// any entry that makes the first pointer equal again is pushed, adding 1).
inline void* mvListHeadTakeAll(TmvListHead& head) {
  TmvListHead cur = mvListHeadRead(head);
  for (;;) {
    if (!cur.lhFirst) return nullptr;
    const TmvListHead next{nullptr, cur.lhSequence, 0};
    if (mvll_detail::CompareExchange16(head, cur, next)) return cur.lhFirst;
  }
}

// Depth-counting form: depth in the upper, change counter in the lower 16
// bits of lhSequence.
inline uint16_t mvListHeadDepth(const TmvListHead& head) {
  return uint16_t(__atomic_load_n(&head.lhSequence, __ATOMIC_ACQUIRE) >> 16);
}

// As pop, but refuses (nil, head unchanged) when the depth after the pop
// would fall below minDepth (16-bit unsigned comparison).
inline void* mvListHeadPopLimited(TmvListHead& head, uint16_t minDepth) {
  TmvListHead cur = mvListHeadRead(head);
  for (;;) {
    if (!cur.lhFirst) return nullptr;
    const uint16_t depth = uint16_t(uint16_t(cur.lhSequence >> 16) - 1);
    if (depth < minDepth) return nullptr;
    void* link = __atomic_load_n(&mvll_detail::LinkOf(cur.lhFirst), __ATOMIC_RELAXED);
    const uint32_t seq = (uint32_t(depth) << 16) | uint16_t(cur.lhSequence + 1);
    const TmvListHead next{link, seq, 0};
    if (mvll_detail::CompareExchange16(head, cur, next)) return cur.lhFirst;
  }
}

// As push, but refuses (returns 0, head unchanged) when the depth after the
// push would exceed maxDepth; otherwise returns the new depth.
inline uint32_t mvListHeadPushLimited(TmvListHead& head, void* entry, uint16_t maxDepth) {
  TmvListHead cur = mvListHeadRead(head);
  for (;;) {
    const uint32_t depth = (cur.lhSequence >> 16) + 1;
    if (depth > maxDepth) return 0;
    __atomic_store_n(&mvll_detail::LinkOf(entry), cur.lhFirst, __ATOMIC_RELAXED);
    const uint32_t seq = (depth << 16) | uint16_t(cur.lhSequence + 1);
    const TmvListHead next{entry, seq, 0};
    if (mvll_detail::CompareExchange16(head, cur, next)) return depth;
  }
}
