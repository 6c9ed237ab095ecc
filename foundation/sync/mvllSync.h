// Foundation: the engine's basic synchronisation objects.
//
//  - `TmvEvent`: an auto-reset event whose operating-system event comes from
//    the process-wide event pool.
//  - `TmvPadlock`: a re-entrant mutual-exclusion lock (guards most shared
//    lists); `CreateAndLock` publishes one lazily.
//  - `TmvThreadSafeStack`: a lock-free stack of pointers whose nodes live in
//    pages owned by the stack.
//  - `TmvEventPool`: event handles kept on such a stack for reuse.
//  - Manual-reset events handed out as reference-counted `ImvManualEvent`s
//    and cached (at most 128 idle ones) when their last reference goes.
//  - The per-thread notification hook that long operations call about once a
//    second.
//
// The stack, the event pool and the manual-event cache are lock-free and may
// be used from any thread. Calls the platform layer, the allocation routines
// and the locked operations.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/sync/mvllAtomic.h"
#include "platform/Interfaces.h"
#include "platform/SyncObjs.h"

// Raised by failing waits.
MV_DECLARE_EXCEPTION(EmvSyncException, EmvBaseException)

// ---------------------------------------------------------------------------

class TmvEvent : public TmvObject {
 public:
  // Takes a handle from the event pool (reset, as its last user may have left
  // it set), or creates a new auto-reset event when there is no pool.
  TmvEvent();
  // Gives the handle back to the pool, or closes it when there is none.
  ~TmvEvent() override;

  // Waits at most aTimeOut ms (0: without limit). A timeout raises
  // EmvSyncException 15461; another failure 11047 "calling WaitForSingleObject".
  void WaitFor(uint32_t aTimeOut);
  // The same without raising: the wait result (WAIT_OBJECT_0, WAIT_TIMEOUT).
  uint32_t WaitForQuietly(uint32_t aTimeOut);
  void SignalEvent();

 private:
  TEventHandle mveEvent;
};

class TmvPadlock : public TmvObject {
 public:
  // aFastLock: spin 4000 times before blocking.
  explicit TmvPadlock(bool aFastLock = false);
  void Lock() { plCritSect.Enter(); }
  // Requires: the calling thread holds the lock (as often as it locked it).
  void Unlock() { plCritSect.Leave(); }
  // False when another thread holds it.
  bool TryLock() { return plCritSect.TryEnter(); }

  // When aPadlock is nil, creates one and publishes it with a locked
  // compare-exchange against nil (the loser frees its own); then locks the
  // published padlock. The caller ends up holding it, and unlocks the
  // padlock answered: aPadlock is only ever read atomically (Published), as
  // other threads may be publishing into it.
  static TmvPadlock* CreateAndLock(TmvPadlock*& aPadlock, bool aFastLock = false);
  static TmvPadlock* Published(TmvPadlock*& aPadlock) { return __atomic_load_n(&aPadlock, __ATOMIC_ACQUIRE); }

 private:
  TCriticalSection plCritSect;
};

// A lock-free stack of pointer values.
//
// Node pages: one 8 KB block each from the committed block pool. The first
// word links the pages of one stack; 16-byte nodes (link, value) start at
// byte 8, so a page holds 511 nodes, as the 4 KB pages of 8-byte nodes did on
// 32-bit. Nodes move between the free list and the stack list and are never
// given back while the stack exists, so a popper can always read the link of
// a node it saw; the head's sequence makes a stale compare-exchange fail.
class TmvThreadSafeStack : public TmvObject {
 public:
  static constexpr uint32_t PageSize = 8192;
  static constexpr int PageSizeClass = 1;  // the block pools' 8 KB class
  static constexpr uint32_t NodesPerPage = 511;

  TmvThreadSafeStack();
  // Returns every page; values still on the stack are dropped.
  ~TmvThreadSafeStack() override;

  void Push(void* p);
  // Nil when empty.
  void* Pop();
  // Values on the stack; may lag behind the lists by the operations in flight.
  int32_t Count() const { return __atomic_load_n(&tssCount, __ATOMIC_ACQUIRE); }
  // Node pages owned (for tests and statistics).
  int32_t PageCount() const { return __atomic_load_n(&tssPageCount, __ATOMIC_ACQUIRE); }

 private:
  static TmvBlockClass* pagePool();
  struct Node {
    void* link;
    void* value;
  };
  void addPage();

  int32_t tssCount = 0;
  TmvListHead tssPagesHead;
  TmvListHead tssFreeHead;
  TmvListHead tssStackHead;
  int32_t tssPageCount = 0;
};

class TmvEventPool : public TmvObject {
 public:
  // Creates aInitialCount auto-reset, non-signalled events; Flush keeps at
  // most aRetainCount idle.
  TmvEventPool(int32_t aInitialCount, int32_t aRetainCount);
  // Closes every pooled handle.
  ~TmvEventPool() override;

  // A pooled handle, or a new event when the pool is empty.
  TEventHandle Get();
  void Put(TEventHandle aHandle);
  // Pops and closes handles while more than the retain count are pooled.
  void Flush();
  int32_t Count() const { return epList.Count(); }

 private:
  TmvThreadSafeStack epList;
  int32_t epRetainCount;
};

// The process-wide event pool; nil outside the unit's start and stop.
TmvEventPool* mvEventPool();

// ---------------------------------------------------------------------------
// Manual events

inline constexpr TGUID IID_ImvManualEvent = {0x5B0F2A31, 0x6C1E, 0x4D5A, {0x9E, 0x13, 0x2F, 0x44, 0x7A, 0x01, 0xC3, 0x58}};

class ImvManualEvent : public IInterface {
 public:
  virtual void SetEvent() = 0;
  // Waits without limit; the object holds a reference to itself meanwhile.
  virtual void WaitFor() = 0;
  virtual TEventHandle GetHandle() = 0;

 protected:
  ~ImvManualEvent() = default;
};
using ImvManualEventPtr = TInterfacePtr<ImvManualEvent>;

// A cached manual-reset event, or a new one, not signalled.
ImvManualEventPtr mvAcquireManualEvent();
// Idle manual events in the cache (at most 128).
int32_t mvManualEventCacheDepth();
inline constexpr uint16_t mvManualEventCacheMax = 128;

// ---------------------------------------------------------------------------
// Per-thread notification hook

// The thread's notification method: code and data.
using TmvThreadCallbackProc = int32_t (*)(void* aData);
void mvSetThreadCallback(TmvThreadCallbackProc aCode, void* aData);
// Calls the thread's method when its data part is set and returns its
// result; otherwise 0.
int32_t mvCallThreadCallback();

// ---------------------------------------------------------------------------
// Unit start and stop (reference-counted): the event pool (250 events,
// retaining 2500) and the manual-event cache.
void mvllSyncInit();
void mvllSyncFini();
