// Foundation: the reader/writer portal. See mvllReadWritePortal.h.
//
// The counter rwpPortal carries the whole state: every reading thread has
// taken 1 from 65535, a writer takes 65535. A reader may enter when its
// decrement leaves the counter above 0; a writer when the counter was exactly
// 65535. Everything else is waiting on the two events and retrying.
#include "foundation/mvllReadWritePortal.h"

#include <sched.h>

// ---------------------------------------------------------------------------
// TmvThreadStates

TmvThreadStates::~TmvThreadStates() {
  for (TmvThreadState*& head : tlcHashTable) {
    TmvThreadState* s = head;
    head = nullptr;
    while (s) {
      TmvThreadState* next = s->tsNext;
      mvFreeMem(s);
      s = next;
    }
  }
}

TmvThreadState* TmvThreadStates::Acquire(uint32_t aThreadID) {
  TmvThreadState*& bucket = tlcHashTable[bucketOf(aThreadID)];
  // 1. The thread's own record.
  for (TmvThreadState* s = __atomic_load_n(&bucket, __ATOMIC_ACQUIRE); s;
       s = __atomic_load_n(&s->tsNext, __ATOMIC_ACQUIRE)) {
    if (mvInterlockedCompareExchange(s->tsID, aThreadID, aThreadID) == aThreadID) return s;
  }
  // 2. A free record of the bucket.
  TmvThreadState* claimed = nullptr;
  for (TmvThreadState* s = __atomic_load_n(&bucket, __ATOMIC_ACQUIRE); s;
       s = __atomic_load_n(&s->tsNext, __ATOMIC_ACQUIRE)) {
    if (mvLockedExchange(s->tsInUse, -1) == 0) {
      claimed = s;
      break;
    }
  }
  // 3. A new record at the head of the bucket. Walkers that see it before its
  // link is set end their walk early, which only makes them claim or create.
  if (!claimed) {
    claimed = static_cast<TmvThreadState*>(mvGetZeroedMemPtr(sizeof(TmvThreadState)));
    claimed->tsInUse = -1;
    TmvThreadState* former = mvInterlockedExchangePointer(bucket, claimed);
    __atomic_store_n(&claimed->tsNext, former, __ATOMIC_RELEASE);
  }
  // 4. Take ownership.
  __atomic_store_n(&claimed->tsCount, 0, __ATOMIC_RELAXED);
  mvInterlockedCompareExchange(claimed->tsID, aThreadID, 0u);
  MV_ASSERT(__atomic_load_n(&claimed->tsID, __ATOMIC_ACQUIRE) == aThreadID);
  return claimed;
}

void TmvThreadStates::Release(TmvThreadState* aState) {
  mvLockedExchange(aState->tsID, 0u);
  mvLockedExchange(aState->tsInUse, 0);
}

// ---------------------------------------------------------------------------
// TmvInternalReadWritePortal

TmvInternalReadWritePortal::TmvInternalReadWritePortal() = default;

TmvInternalReadWritePortal::~TmvInternalReadWritePortal() { BeginWrite(); }

void TmvInternalReadWritePortal::setWriteEventIfFree(int32_t aNewValue) {
  // No readers and no writer, or a writer waiting and the last reader gone.
  if (aNewValue == Idle || (aNewValue <= 0 && aNewValue % Idle == 0)) rwpWriteEvent.SetEvent();
}

void TmvInternalReadWritePortal::BeginRead() {
  uint32_t me = GetCurrentThreadId();
  TmvThreadState* s = rwpThreadStates.Acquire(me);
  int32_t depth = ++s->tsCount;
  if (isWriter(me) || depth >= 2) return;
  for (;;) {
    rwpReadEvent.WaitFor(INFINITE);
    if (mvInterlockedDecrement(rwpPortal) > 0) return;
    // A writer holds or claims the portal: give the unit back and queue again.
    if (mvInterlockedIncrement(rwpPortal) == Idle) rwpWriteEvent.SetEvent();
    sched_yield();
  }
}

void TmvInternalReadWritePortal::EndRead() {
  uint32_t me = GetCurrentThreadId();
  TmvThreadState* s = rwpThreadStates.Acquire(me);
  if (--s->tsCount != 0) return;
  rwpThreadStates.Release(s);
  if (!isWriter(me)) setWriteEventIfFree(mvInterlockedIncrement(rwpPortal));
}

bool TmvInternalReadWritePortal::BeginWrite() {
  uint32_t me = GetCurrentThreadId();
  // 1. Nested write.
  if (isWriter(me)) {
    ++rwpWriterCount;
    return true;
  }
  // 2. New readers wait from now on.
  rwpReadEvent.ResetEvent();
  uint32_t noted = Generation();
  // 3. An upgrading reader gives its unit back while it waits.
  TmvThreadState* s = rwpThreadStates.Acquire(me);
  bool upgrade = s->tsCount > 0;
  if (upgrade) mvInterlockedIncrement(rwpPortal);
  // 4. Claim the whole counter.
  for (;;) {
    if (mvLockedExchangeAdd(rwpPortal, -Idle) == Idle) break;
    if (mvLockedExchangeAdd(rwpPortal, Idle) != 0) rwpWriteEvent.WaitFor(INFINITE);
  }
  // 5. A writer that left meanwhile set the read event again.
  rwpReadEvent.ResetEvent();
  if (upgrade) mvInterlockedDecrement(rwpPortal);
  // 6. Take ownership.
  __atomic_store_n(&rwpWriterID, me, __ATOMIC_RELEASE);
  uint32_t gen = mvInterlockedIncrement(rwpGeneration);
  ++rwpWriterCount;
  // 7. Nobody else wrote in between.
  return gen == noted + 1;
}

void TmvInternalReadWritePortal::EndWrite() {
  uint32_t me = GetCurrentThreadId();
  MV_ASSERT(isWriter(me));
  TmvThreadState* s = rwpThreadStates.Acquire(me);
  if (--rwpWriterCount == 0) {
    __atomic_store_n(&rwpWriterID, 0u, __ATOMIC_RELEASE);
    mvLockedAdd(rwpPortal, Idle);
    rwpWriteEvent.SetEvent();
    rwpReadEvent.SetEvent();
  }
  if (s->tsCount == 0) rwpThreadStates.Release(s);
}

namespace {

template <typename Begin, typename End>
void createAnd(TmvInternalReadWritePortal*& aPortal, Begin begin, End end) {
  TmvInternalReadWritePortal* p = __atomic_load_n(&aPortal, __ATOMIC_ACQUIRE);
  if (!p) {
    auto* mine = new TmvInternalReadWritePortal();
    begin(mine);
    p = mvInterlockedCompareExchangePointer(aPortal, mine, static_cast<TmvInternalReadWritePortal*>(nullptr));
    if (!p) return;
    end(mine);
    delete mine;
  }
  begin(p);
}

}  // namespace

void TmvInternalReadWritePortal::CreateAndRead(TmvInternalReadWritePortal*& aPortal) {
  createAnd(aPortal, [](TmvInternalReadWritePortal* p) { p->BeginRead(); },
            [](TmvInternalReadWritePortal* p) { p->EndRead(); });
}

void TmvInternalReadWritePortal::CreateAndWrite(TmvInternalReadWritePortal*& aPortal) {
  createAnd(aPortal, [](TmvInternalReadWritePortal* p) { p->BeginWrite(); },
            [](TmvInternalReadWritePortal* p) { p->EndWrite(); });
}
