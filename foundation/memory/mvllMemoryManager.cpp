// Foundation: the allocation interface, the manager table, the process
// connection and the engine's object base classes (see mvllMemoryManager.h).
#include "foundation/memory/mvllMemoryManager.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace {

constexpr char kModeText[] = "Standard Server (non AWE)";
const uint32_t gClearOnFree = 0;          // nothing sets it
void* const gNoPhysicalReserve = nullptr;  // the physical reserve is never in use

// ---------------------------------------------------------------------------
// The pooled manager and its table entries

std::mutex gPooledLock;  // start and stop only
TmvPooledMemoryManager* gPooled = nullptr;
int gPooledUsers = 0;

inline TmvPooledMemoryManager& Pooled() { return *gPooled; }

void PooledAttach() {
  std::lock_guard<std::mutex> guard(gPooledLock);
  if (gPooledUsers++ == 0 && !gPooled) {
    try {
      gPooled = new TmvPooledMemoryManager();
    } catch (...) {
      --gPooledUsers;
      throw;
    }
  }
}

// The last user's stop shuts the manager down, unless the engine still holds
// memory of it: stopping then would unmap that memory under its holders, and
// a free after the stop would land in a new manager. Such a manager stays
// (reported) and serves the next start.
void PooledDetach() {
  std::lock_guard<std::mutex> guard(gPooledLock);
  MV_ASSERT(gPooledUsers > 0);
  if (--gPooledUsers > 0) return;
  String inUse;
  if (gPooled->InUse(inUse)) {
    mvMemoryReport(u"The memory manager stays after its last stop: the engine still holds " + inUse, false);
    return;
  }
  delete gPooled;
  gPooled = nullptr;
}

// A size too large to round up keeps the largest multiple of 8, which no
// allocation serves, rather than wrap round to a small pool.
uintptr_t PoolHandleFor(size_t itemSize) {
  return itemSize > SIZE_MAX - 7 ? ~uintptr_t(7) : (itemSize + 7) & ~uintptr_t(7);
}

TmvBlockClass* BlockClassOrNil(int sizeClass) {
  return sizeClass >= 0 && sizeClass < mvBlockClassCount ? Pooled().Blocks().Class(sizeClass) : nullptr;
}

[[maybe_unused]] TmvMemoryManagerTable MakePooledTable() {
  TmvMemoryManagerTable t{};
  t.GetMem = [](size_t size) { return Pooled().GetMem(size); };
  t.FreeMem = [](void* p) { return Pooled().FreeMem(p); };
  t.ReallocMem = [](void* p, size_t size) { return Pooled().ReallocMem(p, size); };
  t.GetPool = PoolHandleFor;
  t.GetAllocSize = [](void*) { return size_t(0); };
  t.GetStatistics = [](TmvMemoryStatistics& s) { Pooled().GetStatistics(s); };
  for (int i = 0; i < mvBlockClassCount; ++i) t.BlockPoolCommitted[i] = Pooled().Blocks().Class(i);
  t.ZeroPage = Pooled().ZeroPage();
  t.BlockPoolCommittedAlloc = [](TmvBlockClass* c) { return Pooled().BlockAlloc(c); };
  t.BlockPoolCommittedDispose = [](TmvBlockClass* c, void* p) { return Pooled().BlockRelease(c, p); };
  t.BlockPoolPhysicalAlloc = [](TmvBlockClass*) { return static_cast<void*>(nullptr); };
  t.BlockPoolPhysicalDispose = [](TmvBlockClass*, void*) { return false; };
  t.MemoryPoolAlloc = [](uintptr_t pool) { return Pooled().GetMem(size_t(pool)); };
  t.MemoryPoolDispose = [](uintptr_t, void* p) { return Pooled().FreeMem(p); };
  t.BlockAlloc = [](int sizeClass) {
    TmvBlockClass* c = BlockClassOrNil(sizeClass);
    return c ? uintptr_t(Pooled().BlockAlloc(c)) : uintptr_t(0);
  };
  t.BlockRelease = [](void* p) { return Pooled().BlockReleaseByAddress(p); };
  t.BlockMap = [](uintptr_t handle) { return reinterpret_cast<void*>(handle); };
  t.BlockUnmap = [](uintptr_t handle, void* p) { return handle == uintptr_t(p); };
  t.Attach = PooledAttach;
  t.Detach = PooledDetach;
  t.Collect = [] { Pooled().Collect(); };
  t.ReserveInUse1 = Pooled().Chunks().ReserveInUseWord();
  t.ReserveInUse2 = &gNoPhysicalReserve;
  t.ClearOnFree = &gClearOnFree;
  t.ModeText = kModeText;
  return t;
}

// ---------------------------------------------------------------------------
// The system allocator's table (MV_SYSTEM_ALLOCATOR builds)

TmvBlockClass gSystemBlockClasses[mvBlockClassCount];

void* SystemBlockAlloc(TmvBlockClass* c) { return std::aligned_alloc(c->Size, c->Size); }

[[maybe_unused]] TmvMemoryManagerTable MakeSystemTable() {
  static constexpr uint32_t kShifts[mvBlockClassCount] = {12, 13, 14, 15, 16, 22};
  TmvMemoryManagerTable t{};
  t.GetMem = [](size_t size) { return std::malloc(size); };
  t.FreeMem = [](void* p) {
    std::free(p);
    return 0;
  };
  t.ReallocMem = [](void* p, size_t size) { return std::realloc(p, size); };
  t.GetPool = PoolHandleFor;
  t.GetAllocSize = [](void*) { return size_t(0); };
  t.GetStatistics = [](TmvMemoryStatistics& s) { s = TmvMemoryStatistics(); };
  for (int i = 0; i < mvBlockClassCount; ++i) {
    TmvBlockClass& c = gSystemBlockClasses[i];
    c.Shift = kShifts[i];
    c.Size = size_t(1) << c.Shift;
    c.Mask = c.Size - 1;
    c.Index = i;
    t.BlockPoolCommitted[i] = &c;
  }
  static const char zeros[65536] = {};
  t.ZeroPage = zeros;
  t.BlockPoolCommittedAlloc = SystemBlockAlloc;
  t.BlockPoolCommittedDispose = [](TmvBlockClass*, void* p) {
    std::free(p);
    return true;
  };
  t.BlockPoolPhysicalAlloc = [](TmvBlockClass*) { return static_cast<void*>(nullptr); };
  t.BlockPoolPhysicalDispose = [](TmvBlockClass*, void*) { return false; };
  t.MemoryPoolAlloc = [](uintptr_t pool) { return std::malloc(size_t(pool)); };
  t.MemoryPoolDispose = [](uintptr_t, void* p) {
    std::free(p);
    return 0;
  };
  t.BlockAlloc = [](int sizeClass) {
    if (sizeClass < 0 || sizeClass >= mvBlockClassCount) return uintptr_t(0);
    return uintptr_t(SystemBlockAlloc(&gSystemBlockClasses[sizeClass]));
  };
  t.BlockRelease = [](void* p) {
    std::free(p);
    return true;
  };
  t.BlockMap = [](uintptr_t handle) { return reinterpret_cast<void*>(handle); };
  t.BlockUnmap = [](uintptr_t handle, void* p) { return handle == uintptr_t(p); };
  t.Attach = [] {};
  t.Detach = [] {};
  t.Collect = [] {};
  t.ReserveInUse1 = &gNoPhysicalReserve;
  t.ReserveInUse2 = &gNoPhysicalReserve;
  t.ClearOnFree = &gClearOnFree;
  t.ModeText = kModeText;
  return t;
}

// ---------------------------------------------------------------------------
// Hooks: each wrapped entry calls the Before entry, the operation, the After entry.

TmvMemoryHooks gHooks;
[[maybe_unused]] bool gHooksLoaded = false;  // looked for once, when the table is first published
TmvMemoryManagerTable gUnhooked;

[[maybe_unused]] void WrapWithHooks(TmvMemoryManagerTable& t) {
  gUnhooked = t;
  t.GetMem = [](size_t size) {
    gHooks.BeforeGetMem(size);
    void* r = gUnhooked.GetMem(size);
    gHooks.AfterGetMem(size, r);
    return r;
  };
  t.FreeMem = [](void* p) {
    gHooks.BeforeFreeMem(p);
    return gUnhooked.FreeMem(p);
  };
  t.ReallocMem = [](void* p, size_t size) {
    gHooks.BeforeReallocMem(p, size);
    void* r = gUnhooked.ReallocMem(p, size);
    gHooks.AfterReallocMem(size, r);
    return r;
  };
  t.GetAllocSize = [](void* p) {
    gHooks.BeforeGetAllocSize(p);
    size_t r = gUnhooked.GetAllocSize(p);
    gHooks.AfterGetAllocSize(p, r);
    return r;
  };
  t.GetPool = [](size_t size) {
    gHooks.BeforeGetPool(size);
    return gUnhooked.GetPool(size);
  };
  t.BlockPoolCommittedAlloc = [](TmvBlockClass* c) {
    void* r = gUnhooked.BlockPoolCommittedAlloc(c);
    gHooks.AfterBlockPoolCommittedAlloc(r);
    return r;
  };
  t.BlockPoolCommittedDispose = [](TmvBlockClass* c, void* p) {
    if (p) gHooks.BeforeBlockPoolCommittedDispose(p);
    return gUnhooked.BlockPoolCommittedDispose(c, p);
  };
  t.BlockPoolPhysicalAlloc = [](TmvBlockClass* c) {
    void* r = gUnhooked.BlockPoolPhysicalAlloc(c);
    gHooks.AfterBlockPoolPhysicalAlloc(r);
    return r;
  };
  t.BlockPoolPhysicalDispose = [](TmvBlockClass* c, void* p) {
    if (p) gHooks.BeforeBlockPoolPhysicalDispose(p);
    return gUnhooked.BlockPoolPhysicalDispose(c, p);
  };
  t.MemoryPoolAlloc = [](uintptr_t pool) {
    void* r = gUnhooked.MemoryPoolAlloc(pool);
    gHooks.AfterMemoryPoolAlloc(pool, r);
    return r;
  };
  t.MemoryPoolDispose = [](uintptr_t pool, void* p) {
    if (p) gHooks.BeforeMemoryPoolDispose(p);
    return gUnhooked.MemoryPoolDispose(pool, p);
  };
}

// ---------------------------------------------------------------------------
// The process connection. Modules of one executable share one table; the
// named mapping of separately built modules becomes a process-local record
// under the same name.

struct SharedRecord {
  uint32_t Published = 0;
  const TmvMemoryManagerTable* Table = nullptr;
};

std::mutex gConnectLock;
TmvMemoryManagerTable gPublished;  // the table this module published
TmvMemoryManagerTable gTable;      // this module's copy
bool gConnected = false;
int gUses = 0;

SharedRecord& CreateSharedRecord(const String& name, bool& isNew) {
  static std::mutex lock;
  static auto* records = new std::unordered_map<String, SharedRecord>();  // lives as long as the process
  std::lock_guard<std::mutex> guard(lock);
  isNew = records->find(name) == records->end();
  return (*records)[name];
}

inline const TmvMemoryManagerTable& Table() {
  if (!__atomic_load_n(&gConnected, __ATOMIC_ACQUIRE)) mvConnectProcessMemoryManager();
  return gTable;
}

}  // namespace

String mvMemoryManagerMappingName(uint32_t processId) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  String name = u"__MorvaMM6__";
  for (int i = 0; i < 4; ++i) {
    const uint8_t b = uint8_t(processId >> (8 * i));
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name;
}

void mvConnectProcessMemoryManager() {
  std::lock_guard<std::mutex> guard(gConnectLock);
  if (gUses++ > 0) return;
  bool isNew = false;
  SharedRecord& record = CreateSharedRecord(mvMemoryManagerMappingName(uint32_t(getpid())), isNew);
  // The module that published the table publishes it again after a restart:
  // its entries point into the manager it was made for.
  const bool publisher = isNew || record.Table == &gPublished;
  if (publisher) {
#if MV_SYSTEM_ALLOCATOR
    gPublished = MakeSystemTable();
#else
    PooledAttach();  // the manager must exist before its table is made; the extra use goes below
    gPublished = MakePooledTable();
    if (isNew) gHooksLoaded = mvLoadMemoryHookLibrary(gHooks);
    if (gHooksLoaded) WrapWithHooks(gPublished);
#endif
    record.Table = &gPublished;
    __atomic_store_n(&record.Published, 1u, __ATOMIC_RELEASE);
  } else {
    uint32_t one = 1;
    while (!__atomic_compare_exchange_n(&record.Published, &one, 1u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
      one = 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  gTable = *record.Table;
  gTable.Attach();
#if !MV_SYSTEM_ALLOCATOR
  if (publisher) {
    Pooled().Chunks().SetOutOfAddressSpaceCallback(mvMemoryManagerCollect);
    PooledDetach();  // each connected module accounts for exactly one use
  }
#endif
  __atomic_store_n(&gConnected, true, __ATOMIC_RELEASE);
}

void mvDisconnectProcessMemoryManager() {
  std::lock_guard<std::mutex> guard(gConnectLock);
  if (gUses == 0 || --gUses > 0) return;
  __atomic_store_n(&gConnected, false, __ATOMIC_RELEASE);
  gTable.Detach();
}

const TmvMemoryManagerTable& mvMemoryManagerTable() { return Table(); }

TmvPooledMemoryManager& mvPooledMemoryManager() {
#if MV_SYSTEM_ALLOCATOR
  std::lock_guard<std::mutex> guard(gConnectLock);
  static bool attached = false;
  if (!attached) {
    PooledAttach();
    attached = true;
  }
  return Pooled();
#else
  Table();
  return Pooled();
#endif
}

// ---------------------------------------------------------------------------
// Allocation routines

void mvGetMem(void*& p, size_t size) {
  if (size == 0) {
    p = nullptr;
    return;
  }
  void* r = Table().GetMem(size);
  if (!r) OutOfMemoryError();
  p = r;
}

void* mvGetMemPtr(size_t size) {
  void* p;
  mvGetMem(p, size);
  return p;
}

void mvGetZeroedMem(void*& p, size_t size) {
  mvGetMem(p, size);
  if (p) std::memset(p, 0, size);
}

void* mvGetZeroedMemPtr(size_t size) {
  void* p;
  mvGetZeroedMem(p, size);
  return p;
}

void mvFreeMem(void* p) {
  if (p && Table().FreeMem(p) != 0) InvalidPointerError();
}

void mvFreeMemAndNil(void*& p) { mvFreeMem(__atomic_exchange_n(&p, nullptr, __ATOMIC_SEQ_CST)); }

void mvReallocMem(void*& p, size_t newSize) {
  if (!p) {
    mvGetMem(p, newSize);
    return;
  }
  if (newSize == 0) {
    void* old = p;
    p = nullptr;
    mvFreeMem(old);
    return;
  }
  void* r = Table().ReallocMem(p, newSize);
  if (!r) OutOfMemoryError();
  p = r;
}

TmvMemoryPoolHandle mvGetMemoryPool(size_t itemSize) { return TmvMemoryPoolHandle(Table().GetPool(itemSize)); }

void* mvMemoryPoolAlloc(TmvMemoryPoolHandle pool) {
  void* r = Table().MemoryPoolAlloc(uintptr_t(pool));
  if (!r) OutOfMemoryError();
  return r;
}

void mvMemoryPoolDispose(TmvMemoryPoolHandle pool, void*& p) {
  mvMemoryPoolDisposeDirect(pool, __atomic_exchange_n(&p, nullptr, __ATOMIC_SEQ_CST));
}

void mvMemoryPoolDisposeDirect(TmvMemoryPoolHandle pool, void* p) {
  if (p && Table().MemoryPoolDispose(uintptr_t(pool), p) != 0) InvalidPointerError();
}

TmvBlockClass* mvBlockPool(int sizeClass) {
  MV_ASSERT(sizeClass >= 0 && sizeClass < mvBlockClassCount);
  return Table().BlockPoolCommitted[sizeClass];
}

void* mvBlockPoolAlloc(TmvBlockClass* pool) {
  void* r = Table().BlockPoolCommittedAlloc(pool);
  if (!r) OutOfMemoryError();
  return r;
}

void mvBlockPoolDispose(TmvBlockClass* pool, void*& p) {
  void* old = __atomic_exchange_n(&p, nullptr, __ATOMIC_SEQ_CST);
  if (!Table().BlockPoolCommittedDispose(pool, old)) InvalidPointerError();
}

TmvPhysicalBlockHandle mvPhysicalBlockAlloc(int sizeClass) {
  const uintptr_t h = Table().BlockAlloc(sizeClass);
  if (!h) OutOfMemoryError();
  return h;
}

void mvPhysicalBlockAllocRun(int sizeClass, TmvPhysicalBlockHandle (&handles)[256]) {
  int taken = 0;
  try {
    for (; taken < 256; ++taken) handles[taken] = mvPhysicalBlockAlloc(sizeClass);
  } catch (...) {
    while (taken > 0) mvPhysicalBlockDispose(handles[--taken]);
    throw;
  }
}

void mvPhysicalBlockDispose(TmvPhysicalBlockHandle handle) {
  if (!Table().BlockRelease(reinterpret_cast<void*>(handle))) InvalidPointerError();
}

void* mvPhysicalBlockMap(TmvPhysicalBlockHandle handle) {
  void* p = Table().BlockMap(handle);
  if (!p) OutOfMemoryError();
  return p;
}

void mvPhysicalBlockUnmap(TmvPhysicalBlockHandle handle, void* address) {
  if (!Table().BlockUnmap(handle, address)) InvalidPointerError();
}

void* mvPhysicalBlockMapRun(const TmvPhysicalBlockHandle (&handles)[256]) {
  if (!Table().MapRun) InvalidPointerError();
  return Table().MapRun(handles);
}

void mvPhysicalBlockUnmapRun(const TmvPhysicalBlockHandle (&handles)[256], void* address) {
  if (!Table().UnmapRun || !Table().UnmapRun(handles, address)) InvalidPointerError();
}

// ---------------------------------------------------------------------------
// Status and control

const char* mvMemoryManagerModeText() { return Table().ModeText; }
bool mvMemoryManagerAweAvailable() { return Table().PhysicalMemoryAvailable != 0; }
bool mvMemoryManagerAweSupported() { return Table().PhysicalMemorySupported != 0; }
void mvMemoryManagerCollect() { Table().Collect(); }
bool mvMustReleaseAllocatedBlocks() { return Table().ReleaseCallback && Table().ReleaseCallback(); }
bool mvMustReleaseMappedBlocks() {
  const TmvMemoryManagerTable& t = Table();
  return __atomic_load_n(t.ReserveInUse1, __ATOMIC_ACQUIRE) || __atomic_load_n(t.ReserveInUse2, __ATOMIC_ACQUIRE);
}
void mvMemoryManagerGetStatistics(TmvMemoryStatistics& stats) { Table().GetStatistics(stats); }

// ---------------------------------------------------------------------------
// Engine objects

void* TmvObject::operator new(size_t size) { return mvGetMemPtr(size); }

void TmvObject::operator delete(void* p) {
  if (p) Table().FreeMem(p);  // the result is not examined
}

int32_t TmvInterfacedObject::QueryInterface(const TGUID& iid, void** obj) {
  return GetInterface(iid, obj) ? S_OK : E_NOINTERFACE;
}

bool TmvInterfacedObject::GetInterface(const TGUID& iid, void** obj) {
  if (iid == IID_IInterface) {
    _AddRef();
    *obj = static_cast<IInterface*>(this);
    return true;
  }
  *obj = nullptr;
  return false;
}

int32_t TmvInterfacedObject::_AddRef() { return __atomic_add_fetch(&ioRefCount, 1, __ATOMIC_SEQ_CST); }

int32_t TmvInterfacedObject::_Release() {
  const int32_t count = __atomic_sub_fetch(&ioRefCount, 1, __ATOMIC_SEQ_CST);
  if (count == 0 && !__atomic_load_n(&ioKeepAlive, __ATOMIC_ACQUIRE)) {
    // Only the thread that marks the object released destroys it, even if
    // the count touches zero twice.
    uint32_t expected = 0;
    if (__atomic_compare_exchange_n(&ioReleased, &expected, 1u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
      delete this;
  }
  return count;
}

void TmvInterfacedObject::Free(TmvInterfacedObject* obj) {
  if (!obj) return;
  obj->_AddRef();
  if (__atomic_load_n(&obj->ioKeepAlive, __ATOMIC_ACQUIRE)) {
    obj->BeforeOwnerRelease();
    __atomic_store_n(&obj->ioKeepAlive, false, __ATOMIC_RELEASE);
  }
  obj->_Release();
}

bool TmvLifetimeMonitor::GetInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvLifetimeMonitorObject) {
    *obj = static_cast<ImvLifetimeMonitorObject*>(this);
    ObjectAddRef();
    return true;
  }
  if (iid == IID_ImvLifetimeMonitorRef) {
    *obj = static_cast<ImvLifetimeMonitorRef*>(this);
    RefAddRef();
    return true;
  }
  return TmvInterfacedObject::GetInterface(iid, obj);
}

TInterfacePtr<ImvLifetimeMonitorRef> TmvLifetimeTrackedObject::GetLifetimeMonitor() {
  return mvGetLifetimeMonitor(ltoLifetimeMonitor);
}

TmvLifetimeTrackedObject::~TmvLifetimeTrackedObject() { mvLifetimeMonitorDead(ltoLifetimeMonitor); }

TInterfacePtr<ImvLifetimeMonitorRef> mvGetLifetimeMonitor(ImvLifetimeMonitorObject*& slot) {
  ImvLifetimeMonitorObject* current = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
  if (!current) {
    auto* monitor = TmvInterfacedObject::Create<TmvLifetimeMonitor>();
    void* obj = nullptr;
    monitor->QueryInterface(IID_ImvLifetimeMonitorObject, &obj);
    auto* fresh = static_cast<ImvLifetimeMonitorObject*>(obj);
    if (__atomic_compare_exchange_n(&slot, &current, fresh, false, __ATOMIC_SEQ_CST, __ATOMIC_ACQUIRE)) {
      current = fresh;
    } else {
      fresh->_Release();  // another thread published first: use its monitor
    }
  }
  void* ref = nullptr;
  current->QueryInterface(IID_ImvLifetimeMonitorRef, &ref);
  return TInterfacePtr<ImvLifetimeMonitorRef>::Adopt(static_cast<ImvLifetimeMonitorRef*>(ref));
}

void mvLifetimeMonitorDead(ImvLifetimeMonitorObject*& slot) {
  if (ImvLifetimeMonitorObject* m = __atomic_exchange_n(&slot, nullptr, __ATOMIC_SEQ_CST)) {
    m->Dead();
    m->_Release();
  }
}
