// Foundation: the reader/writer portal. See mvllReadWritePortal.h.
//
// The counter rwpPortal carries the whole state: every reading thread has
// taken 1 from 65535, a writer takes 65535. A reader may enter when its
// decrement leaves the counter above 0; a writer when the counter was exactly
// 65535. Everything else is waiting on the two events and retrying.
//
// The events are only for sleeping. A reader looks at rwpReadOpen before it
// waits on rwpReadEvent, and a leaving reader sets rwpWriteEvent only when a
// writer is in BeginWrite (rwpWritersWaiting); so while no writer is about,
// neither touches an event. A stale rwpReadOpen is harmless: the counter
// alone decides who gets in.
#include "foundation/sync/mvllReadWritePortal.h"

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

TmvThreadState* TmvThreadStates::Find(uint32_t aThreadID) const {
  for (TmvThreadState* s = __atomic_load_n(&tlcHashTable[bucketOf(aThreadID)], __ATOMIC_ACQUIRE); s;
       s = __atomic_load_n(&s->tsNext, __ATOMIC_ACQUIRE)) {
    if (__atomic_load_n(&s->tsID, __ATOMIC_ACQUIRE) == aThreadID) return s;
  }
  return nullptr;
}

void TmvThreadStates::Release(TmvThreadState* aState) {
  mvLockedExchange(aState->tsID, 0u);
  mvLockedExchange(aState->tsInUse, 0);
}

// ---------------------------------------------------------------------------
// Read nesting of the calling thread

namespace {

// The portals the thread is reading, with its depth on each. Entries exist
// only while the depth is above 0, so a thread rarely has more than a few;
// one that reads more portals at once keeps the depth for the others in the
// portal's table of thread states (inTables counts those records, so that
// a thread with none never looks there). Plain data, so that reaching it
// costs no initialisation check.
struct HeldRead {
  const TmvInternalReadWritePortal* portal;
  int32_t depth;
};
struct ThreadReads {
  static constexpr uint32_t Capacity = 16;
  HeldRead held[Capacity];
  uint32_t count;
  uint32_t inTables;
};
thread_local ThreadReads tReads;

}  // namespace

// The helpers of the read path are folded into BeginRead and EndRead, whose
// whole cost they are when no writer is about.
#define MV_READ_PATH [[gnu::always_inline]] inline

// The calling thread's depth on one portal: an entry of tReads, a claimed
// record of the portal's table, or neither (the thread does not read it).
struct TmvInternalReadWritePortal::DepthSlot {
  HeldRead* entry = nullptr;
  TmvThreadState* record = nullptr;

  explicit operator bool() const { return entry || record; }
  int32_t& depth() const { return entry ? entry->depth : record->tsCount; }
};

MV_READ_PATH TmvInternalReadWritePortal::DepthSlot TmvInternalReadWritePortal::findDepth() const {
  ThreadReads& r = tReads;
  for (uint32_t i = 0; i < r.count; ++i) {
    if (r.held[i].portal == this) return {&r.held[i], nullptr};
  }
  if (r.inTables == 0) return {};
  return {nullptr, rwpThreadStates.Find(GetCurrentThreadId())};
}

// A new depth of 0.
MV_READ_PATH TmvInternalReadWritePortal::DepthSlot TmvInternalReadWritePortal::addDepth() {
  ThreadReads& r = tReads;
  if (r.count < ThreadReads::Capacity) {
    r.held[r.count] = {this, 0};
    return {&r.held[r.count++], nullptr};
  }
  TmvThreadState* s = rwpThreadStates.Acquire(GetCurrentThreadId());
  ++r.inTables;
  return {nullptr, s};
}

// Forgets a depth that has come back to 0.
MV_READ_PATH void TmvInternalReadWritePortal::dropDepth(const DepthSlot& aSlot) {
  ThreadReads& r = tReads;
  if (aSlot.record) {
    rwpThreadStates.Release(aSlot.record);
    --r.inTables;
  } else {
    // The last entry fills the gap; left alone when it is the gap, which is
    // the usual case and saves a load of what was stored a moment ago.
    HeldRead* last = &r.held[--r.count];
    if (aSlot.entry != last) *aSlot.entry = *last;
  }
}

// ---------------------------------------------------------------------------
// TmvInternalReadWritePortal

TmvInternalReadWritePortal::TmvInternalReadWritePortal() = default;

TmvInternalReadWritePortal::~TmvInternalReadWritePortal() {
  BeginWrite();
  // A thread that frees the portal while still reading it must not keep
  // its depth: a later portal at the same address would inherit it.
  if (DepthSlot slot = findDepth()) dropDepth(slot);
}

MV_READ_PATH bool TmvInternalReadWritePortal::isWriter() const {
  uint32_t writer = WriterID();
  return writer != 0 && writer == GetCurrentThreadId();
}

void TmvInternalReadWritePortal::openToReaders() {
  __atomic_store_n(&rwpReadOpen, 1, __ATOMIC_SEQ_CST);
  rwpReadEvent.SetEvent();
}

void TmvInternalReadWritePortal::closeToReaders() {
  __atomic_store_n(&rwpReadOpen, 0, __ATOMIC_SEQ_CST);
  rwpReadEvent.ResetEvent();
}

// A writer that failed to claim the counter because of readers counted
// itself in rwpWritersWaiting before it tried, and the last of those readers
// changes the counter after that try; so that reader sees the writer here.
MV_READ_PATH void TmvInternalReadWritePortal::setWriteEventIfFree(int32_t aNewValue) {
  // No readers and no writer, or a writer waiting and the last reader gone.
  if (aNewValue != Idle && (aNewValue > 0 || aNewValue % Idle != 0)) return;
  if (__atomic_load_n(&rwpWritersWaiting, __ATOMIC_SEQ_CST) != 0) rwpWriteEvent.SetEvent();
}

void TmvInternalReadWritePortal::BeginRead() {
  // 1. and 2. A nested read, or a read inside the thread's own write section.
  DepthSlot slot = findDepth();
  if (slot) {
    ++slot.depth();
    return;
  }
  slot = addDepth();
  slot.depth() = 1;
  if (isWriter()) return;
  try {
    enterRead();
  } catch (...) {
    dropDepth(slot);
    throw;
  }
}

// 3. and 4. Takes a read unit. The first try is the whole cost while no
// writer is about; queueToRead does the rest.
MV_READ_PATH void TmvInternalReadWritePortal::enterRead() {
  if (__atomic_load_n(&rwpReadOpen, __ATOMIC_SEQ_CST) != 0) {
    if (mvInterlockedDecrement(rwpPortal) > 0) return;
    giveUnitBack();
  }
  queueToRead();
}

// 4. A writer holds or claims the portal: give the unit back and let it run.
void TmvInternalReadWritePortal::giveUnitBack() {
  if (mvInterlockedIncrement(rwpPortal) == Idle) setWriteEventIfFree(Idle);
  sched_yield();
}

// 3. and 4. again until a unit is won.
void TmvInternalReadWritePortal::queueToRead() {
  for (;;) {
    if (__atomic_load_n(&rwpReadOpen, __ATOMIC_SEQ_CST) == 0) rwpReadEvent.WaitFor(INFINITE);
    if (mvInterlockedDecrement(rwpPortal) > 0) return;
    giveUnitBack();
  }
}

void TmvInternalReadWritePortal::EndRead() {
  DepthSlot slot = findDepth();
  MV_ASSERT(slot);  // an EndRead without its BeginRead
  if (--slot.depth() != 0) return;
  dropDepth(slot);
  if (!isWriter()) setWriteEventIfFree(mvInterlockedIncrement(rwpPortal));
}

bool TmvInternalReadWritePortal::BeginWrite() {
  // 1. Nested write.
  if (isWriter()) {
    ++rwpWriterCount;
    return true;
  }
  // 2. New readers wait from now on.
  closeToReaders();
  uint32_t noted = Generation();
  // 3. An upgrading reader gives its unit back while it waits.
  DepthSlot slot = findDepth();
  bool upgrade = slot && slot.depth() > 0;
  if (upgrade) mvInterlockedIncrement(rwpPortal);
  // 4. Claim the whole counter.
  mvLockedIncrement(rwpWritersWaiting);
  for (;;) {
    if (mvLockedExchangeAdd(rwpPortal, -Idle) == Idle) break;
    if (mvLockedExchangeAdd(rwpPortal, Idle) != 0) rwpWriteEvent.WaitFor(INFINITE);
  }
  mvInterlockedDecrement(rwpWritersWaiting);
  // 5. A writer that left meanwhile opened to readers again.
  closeToReaders();
  if (upgrade) mvInterlockedDecrement(rwpPortal);
  // 6. Take ownership.
  __atomic_store_n(&rwpWriterID, GetCurrentThreadId(), __ATOMIC_RELEASE);
  uint32_t gen = mvInterlockedIncrement(rwpGeneration);
  ++rwpWriterCount;
  // 7. Nobody else wrote in between.
  return gen == noted + 1;
}

void TmvInternalReadWritePortal::EndWrite() {
  MV_ASSERT(isWriter());
  if (--rwpWriterCount == 0) {
    __atomic_store_n(&rwpWriterID, 0u, __ATOMIC_RELEASE);
    mvLockedAdd(rwpPortal, Idle);
    rwpWriteEvent.SetEvent();
    openToReaders();
  }
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
