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
// Calls the item pools only.
//
// Invariants:
//  1. An item's allocation bit is set exactly while a caller holds it. Free
//     clears it with one locked test-and-reset before the item enters a
//     magazine; a bit already clear is a double free and raises
//     EInvalidPointer at once, wherever the first free put the item (any
//     thread's magazine or the pool). Alloc sets the bit as the item leaves.
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
//  5. Only the owning thread touches its magazines; the shutdown flush
//     requires that no thread allocates meanwhile.
//
// Flush points; each returns every item of the magazines concerned to its
// pool and puts the held blocks back on the pools' lists:
//  - thread exit (a thread_local destructor): the thread's cache is also
//    closed, so destructors that run later go straight to the pools;
//  - TmvPooledMemoryManager::Collect (mvMemoryManagerCollect): the calling
//    thread's cache, before the full pass, which can then give back blocks
//    that only this cache kept. Other threads' caches keep their items;
//  - the manager's shutdown: every thread's cache, before the pools go, so
//    that no cached item outlives its pool.
#pragma once

#include "foundation/mvllItemPools.h"

class TmvThreadCache {
 public:
  // One item of the pool, marked in use; nil when the pool has none to give.
  static void* Alloc(TmvMemoryPool& pool);
  // Takes an item back; EInvalidPointer when the pool rejects it (not its
  // item, or freed already), and the item stays where it was.
  static void Free(TmvMemoryPool& pool, void* item);

  // Returns the calling thread's cached items to their pools.
  static void FlushThisThread();
  // Returns every thread's cached items to their pools. Requires: no thread
  // allocates or frees meanwhile (the manager is shutting down).
  static void FlushAllThreads();

  // Items in the calling thread's magazine for the pool with this index (tests).
  static uint32_t CachedCount(uint32_t poolIndex);
};
