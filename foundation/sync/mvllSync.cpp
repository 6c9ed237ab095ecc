// Foundation: events, padlocks, the thread-safe stack, the event pool, the
// manual-event cache and the per-thread notification hook. See mvllSync.h.
#include "foundation/sync/mvllSync.h"

#include <cstring>
#include <mutex>


namespace {

std::atomic<TmvEventPool*> gEventPool{nullptr};
std::mutex gUnitMutex;
int gUnitRefs = 0;

// The code's standard text, followed by the detail when there is one.
[[noreturn]] void mvRaiseSyncError(uint32_t aCode, const String& aDetail) {
  if (aDetail.empty()) throw EmvSyncException(aCode);
  throw EmvSyncException(aCode, mvOriginalMessageMarker() + u" " + aDetail);
}

}  // namespace

TmvEventPool* mvEventPool() { return gEventPool.load(std::memory_order_acquire); }

// ---------------------------------------------------------------------------
// TmvEvent

TmvEvent::TmvEvent() {
  if (TmvEventPool* pool = mvEventPool()) {
    mveEvent = pool->Get();
    mveEvent->ResetEvent();
  } else {
    mveEvent = new TOSEvent(false, false);
  }
}

TmvEvent::~TmvEvent() {
  TEventHandle h = std::exchange(mveEvent, nullptr);
  if (TmvEventPool* pool = mvEventPool()) pool->Put(h);
  else delete h;
}

uint32_t TmvEvent::WaitForQuietly(uint32_t aTimeOut) { return mveEvent->WaitFor(aTimeOut == 0 ? INFINITE : aTimeOut); }

void TmvEvent::WaitFor(uint32_t aTimeOut) {
  uint32_t r = WaitForQuietly(aTimeOut);
  if (r == WAIT_OBJECT_0) return;
  if (r == WAIT_TIMEOUT) mvRaiseSyncError(15461, String());
  mvRaiseSyncError(11047, u"calling WaitForSingleObject");
}

void TmvEvent::SignalEvent() { mveEvent->SetEvent(); }

// ---------------------------------------------------------------------------
// TmvPadlock

TmvPadlock::TmvPadlock(bool aFastLock) : plCritSect(aFastLock ? 4000 : 0) {}

TmvPadlock* TmvPadlock::CreateAndLock(TmvPadlock*& aPadlock, bool aFastLock) {
  if (Published(aPadlock) == nullptr) {
    auto* mine = new TmvPadlock(aFastLock);
    mine->Lock();
    if (mvInterlockedCompareExchangePointer(aPadlock, mine, static_cast<TmvPadlock*>(nullptr)) == nullptr) return mine;
    // Another thread published first: ours was never seen by anyone.
    mine->Unlock();
    delete mine;
  }
  TmvPadlock* published = Published(aPadlock);
  published->Lock();
  return published;
}

// ---------------------------------------------------------------------------
// TmvThreadSafeStack

TmvThreadSafeStack::TmvThreadSafeStack() {
  MV_ASSERT(reinterpret_cast<uintptr_t>(&tssPagesHead) % 16 == 0);
  mvListHeadInit(tssPagesHead);
  mvListHeadInit(tssFreeHead);
  mvListHeadInit(tssStackHead);
  addPage();
}

// Node pages come from the committed block pool of their size.
TmvBlockClass* TmvThreadSafeStack::pagePool() { return mvBlockPool(PageSizeClass); }

TmvThreadSafeStack::~TmvThreadSafeStack() {
  mvListHeadTakeAll(tssStackHead);
  mvListHeadTakeAll(tssFreeHead);
  void* page = mvListHeadTakeAll(tssPagesHead);
  while (page) {
    void* next = *static_cast<void**>(page);
    mvBlockPoolDispose(pagePool(), page);
    page = next;
  }
}

void TmvThreadSafeStack::addPage() {
  void* page = mvBlockPoolAlloc(pagePool());
  std::memset(page, 0, PageSize);
  // Link the page's nodes in address order into one chain and hand the chain
  // to the free list in a single push.
  Node* nodes = reinterpret_cast<Node*>(static_cast<uint8_t*>(page) + 8);
  for (uint32_t i = 0; i + 1 < NodesPerPage; ++i) nodes[i].link = &nodes[i + 1];
  mvListHeadPush(tssPagesHead, page);
  __atomic_add_fetch(&tssPageCount, 1, __ATOMIC_ACQ_REL);
  mvListHeadPushLinked(tssFreeHead, &nodes[0], &nodes[NodesPerPage - 1].link);
}

void TmvThreadSafeStack::Push(void* p) {
  Node* n;
  while ((n = static_cast<Node*>(mvListHeadPop(tssFreeHead))) == nullptr) addPage();
  __atomic_store_n(&n->value, p, __ATOMIC_RELAXED);
  mvListHeadPush(tssStackHead, n);
  mvLockedIncrement(tssCount);
}

void* TmvThreadSafeStack::Pop() {
  Node* n = static_cast<Node*>(mvListHeadPop(tssStackHead));
  if (!n) return nullptr;
  void* v = __atomic_load_n(&n->value, __ATOMIC_RELAXED);
  mvListHeadPush(tssFreeHead, n);
  mvInterlockedDecrement(tssCount);
  return v;
}

// ---------------------------------------------------------------------------
// TmvEventPool

TmvEventPool::TmvEventPool(int32_t aInitialCount, int32_t aRetainCount) : epRetainCount(aRetainCount) {
  for (int32_t i = 0; i < aInitialCount; ++i) epList.Push(new TOSEvent(false, false));
}

TmvEventPool::~TmvEventPool() {
  epRetainCount = 0;
  Flush();
}

TEventHandle TmvEventPool::Get() {
  if (auto* h = static_cast<TEventHandle>(epList.Pop())) return h;
  return new TOSEvent(false, false);
}

void TmvEventPool::Put(TEventHandle aHandle) { epList.Push(aHandle); }

void TmvEventPool::Flush() {
  while (epList.Count() > epRetainCount) {
    auto* h = static_cast<TEventHandle>(epList.Pop());
    if (!h) break;
    delete h;
  }
}

// ---------------------------------------------------------------------------
// Manual events

namespace {

// The link word by which an idle event sits in the cache. A base of its own
// so that the cache's entries have their link as first word whatever the
// object layout around it.
struct TmvCacheLink {
  void* meNext = nullptr;
};

class TmvManualEvent final : public TmvCacheLink, public TmvObject, public ImvManualEvent {
 public:
  TmvManualEvent() : meEvent(new TOSEvent(true, false)) {}
  ~TmvManualEvent() override { delete meEvent; }

  int32_t QueryInterface(const TGUID& iid, void** obj) override {
    if (iid == IID_ImvManualEvent) {
      _AddRef();
      *obj = static_cast<ImvManualEvent*>(this);
      return S_OK;
    }
    *obj = nullptr;
    return E_NOINTERFACE;
  }
  int32_t _AddRef() override { return mvInterlockedIncrement(meRefCount); }
  int32_t _Release() override;
  void SetEvent() override { meEvent->SetEvent(); }
  void WaitFor() override {
    ImvManualEventPtr self(this);  // a release elsewhere must not recycle it meanwhile
    meEvent->WaitFor(INFINITE);
  }
  TEventHandle GetHandle() override { return meEvent; }

  // Makes a cached event ready for a new holder.
  void reuse() {
    meEvent->ResetEvent();
    __atomic_store_n(&meCached, 0, __ATOMIC_RELEASE);
  }
  // The count stays at 1 through construction, so that a reference taken and
  // dropped meanwhile cannot recycle the object; the holder's first
  // reference replaces it.
  void afterConstruction() { mvInterlockedDecrement(meRefCount); }

 private:
  int32_t meRefCount = 1;
  int32_t meCached = 0;
  TEventHandle meEvent;
};

// The cache head sits on a cache line of its own: every acquire and release
// in the process hits it.
struct alignas(64) CacheHeadLine {
  TmvListHead head;
};
CacheHeadLine gManualEventCache;

int32_t TmvManualEvent::_Release() {
  int32_t n = mvInterlockedDecrement(meRefCount);
  if (n != 0) return n;
  // Only the thread that flips meCached recycles: a racing AddRef/Release
  // pair can bring the count to 0 a second time.
  if (mvInterlockedCompareExchange(meCached, 1, 0) != 0) return 0;
  if (mvListHeadPushLimited(gManualEventCache.head, static_cast<TmvCacheLink*>(this), mvManualEventCacheMax) == 0) {
    delete this;
  }
  return 0;
}

}  // namespace

ImvManualEventPtr mvAcquireManualEvent() {
  if (void* link = mvListHeadPopLimited(gManualEventCache.head, 0)) {
    auto* e = static_cast<TmvManualEvent*>(static_cast<TmvCacheLink*>(link));
    e->reuse();
    return ImvManualEventPtr(e);
  }
  auto* e = new TmvManualEvent();
  ImvManualEventPtr r(e);
  e->afterConstruction();
  return r;
}

int32_t mvManualEventCacheDepth() { return mvListHeadDepth(gManualEventCache.head); }

// ---------------------------------------------------------------------------
// Per-thread notification hook

namespace {
struct ThreadCallback {
  TmvThreadCallbackProc code = nullptr;
  void* data = nullptr;
};
thread_local ThreadCallback tCallback;
}  // namespace

void mvSetThreadCallback(TmvThreadCallbackProc aCode, void* aData) { tCallback = ThreadCallback{aCode, aData}; }

int32_t mvCallThreadCallback() {
  if (tCallback.data && tCallback.code) return tCallback.code(tCallback.data);
  return 0;
}

// ---------------------------------------------------------------------------
// Unit start and stop

void mvllSyncInit() {
  std::lock_guard<std::mutex> g(gUnitMutex);
  if (gUnitRefs++ > 0) return;
  gEventPool.store(new TmvEventPool(250, 2500), std::memory_order_release);
}

void mvllSyncFini() {
  std::lock_guard<std::mutex> g(gUnitMutex);
  if (--gUnitRefs > 0) return;
  delete gEventPool.exchange(nullptr, std::memory_order_acq_rel);
  while (void* link = mvListHeadPopLimited(gManualEventCache.head, 0)) {
    delete static_cast<TmvManualEvent*>(static_cast<TmvCacheLink*>(link));
  }
}
