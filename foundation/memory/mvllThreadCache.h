// Foundation: the per-thread item cache in front of the item pools.
//
// Why it exists: taking an item from a pool, or giving one back, changes
// several words that every thread shares (the pool's list heads, the block's
// free-list head and in-use count, the byte counter), each with a locked
// operation. With many threads those cache lines bounce between cores, and
// a small allocation cost many times what the system allocator takes. So
// each thread keeps, per pool, a bounded stack of items (a magazine): the
// allocation routines take from and give to it, and only a magazine that
// runs empty or full goes to the pool, for half a magazine at once (see
// TmvMemoryPool::AllocBatch and DisposeBatch). A refill keeps taking from
// the block it took from last, which it holds off the pool's lists: threads
// that took turns on one block shared its header and bitmap, and their
// locked bit operations then cost many times more on 8 threads than on 1.
// Calls the item pools, and once the system's random source.
//
// Invariants:
//  1. A double free raises EInvalidPointer at once, wherever the first free
//     put the item (any thread's magazine or the pool), and of two frees
//     racing for one item exactly one succeeds. The allocation bit of an
//     item of 16 bytes or more is set while the item is off its block's
//     free list: held by a caller or waiting in a magazine. While it waits,
//     its bytes 8 to 15 hold the magazine mark (a per-process random key
//     mixed with its address; bytes 0 to 3 are the pool's free-list link,
//     and the mark stays when the item goes back to the pool). Free raises
//     when the bit is clear (the item is on a free list), or when its one
//     locked exchange of the mark into the item finds the mark already
//     there; Alloc clears the mark with a plain store as the item leaves the
//     magazine, and the bits change only when a batch enters or leaves the
//     magazines (TmvMemoryPool::MarkBatchInUse and MarkBatchFree), one
//     locked operation per bitmap word. So the per-item path has one locked
//     instruction instead of two, on the item's own cache line. A caller's
//     data that happens to equal the mark would be taken for a double free:
//     the odds are 2^-64 per free. Items below 16 bytes, and those of pools
//     that are not cached, keep the bit exactly while a caller holds them:
//     Free clears it with one locked test-and-reset before the item enters
//     a magazine, and Alloc sets it as the item leaves.
//  2. An item in a magazine stays counted in its block's in-use count, so
//     its block is never given back while the item sits there; nor is a
//     held block, which is on no pool list.
//  3. The statistics count an item in a magazine as allocated: the pool's
//     byte counter changes once per batch, never per item.
//  4. A magazine holds items of one pool, at most its limit: 64 items, fewer
//     for items above 256 bytes so that it holds at most 16 KB; pools of
//     items above 4 KB are not cached (their callers go straight to the pool).
//     So a thread keeps at most one magazine and one held 64 KB block per
//     pool it uses.
//  5. The owning thread works on its magazines only between Enter and Leave
//     (below), and another thread only while it has taken them from the
//     owner (TakeBack); the shutdown flush requires that no thread
//     allocates meanwhile.
//
// Taking back what an idle thread's magazines hold. A thread that freed all
// it had and went idle would keep up to a magazine and a held block per pool
// for good, out of reach of any cleanup. So a collector may take them: it
// asks every cache to wait (TakeRequest), makes every running thread pass a
// memory barrier (FlushProcessWriteBuffers), and then flushes the caches
// whose owner is not inside an operation. The owner marks its operations
// (Busy set on entry, cleared on exit) and checks the request in between;
// the collector's process-wide barrier pairs with the owner's plain stores
// and loads (asymmetric Dekker), so the allocation path gains two plain
// stores and a load on thread-local data, and no locked instruction or
// fence. An owner that finds the request set waits on the registry lock,
// which the collector holds throughout. Idleness is judged by the owner's
// trips to the pools (refills and overflows), which the fast path does not
// count: a busy thread whose magazines happen to suffice may lose them to
// the maintenance thread now and then, and refills once.
//
// Flush points; each returns every item of the magazines concerned to its
// pool and puts the held blocks back on the pools' lists:
//  - thread exit (a thread_local destructor): the thread's cache is also
//    closed, so destructors that run later go straight to the pools;
//  - TmvPooledMemoryManager::Collect (mvMemoryManagerCollect): the calling
//    thread's cache, then in the full pass every cache not in use at that
//    moment (TakeBack), so that the pass can give back blocks that only
//    caches kept;
//  - the maintenance thread's schedule: the caches of threads that did not
//    go to the pools since its previous look (TakeBack(true));
//  - the manager's shutdown: every thread's cache, before the pools go, so
//    that no cached item outlives its pool.
#pragma once

#include "foundation/memory/mvllItemPools.h"

class TmvThreadCache {
 public:
  // Chooses the magazine mark's key, once per process. Requires: called
  // before the first item is handed out (the manager's start).
  static void Start();

  // One item of the pool for a caller; nil when the pool has none to give.
  static void* Alloc(TmvMemoryPool& pool);
  // Takes an item back; EInvalidPointer when the pool rejects it (not its
  // item, or freed already), and the item stays where it was.
  static void Free(TmvMemoryPool& pool, void* item);
  // Raises EInvalidPointer unless the item is one of the pool's that a
  // caller holds.
  static void CheckHeld(const TmvMemoryPool& pool, const void* item);

  // Returns the calling thread's cached items to their pools.
  static void FlushThisThread();
  // Returns every thread's cached items to their pools. Requires: no thread
  // allocates or frees meanwhile (the manager is shutting down).
  static void FlushAllThreads();
  // Returns to their pools the items and held blocks of every cache whose
  // owner is not inside an operation; with onlyIdle, only of those whose
  // owner has not gone to the pools since the previous call. Safe while
  // other threads allocate and free. Returns how many caches it flushed
  // (none when the system offers no process-wide barrier).
  static int TakeBack(bool onlyIdle);

  // Items in the calling thread's magazine for the pool with this index (tests).
  static uint32_t CachedCount(uint32_t poolIndex);
};
