// Foundation: the allocation interface and the engine's object base classes.
//
// Every engine object and nearly every engine buffer comes from the engine's
// pooled memory manager through these routines; all are safe from any thread
// without a lock. Each module reaches the one manager of the process through
// its own copy of the manager table (`TmvMemoryManagerTable`), taken when it
// connects (on first use). The manager behind the table is
// mvllPooledMemoryManager.h, with its item pools, chunks and block pools,
// large blocks and maintenance thread; its hook library is mvllMemoryHooks.h.
//
// Built with MV_SYSTEM_ALLOCATOR=1 (the sanitizer build), the table a module
// connects to routes every routine here to the system allocator, so that
// AddressSanitizer sees each block; the pools themselves stay available to
// their own tests through mvPooledMemoryManager().
//
// Two process-level failures come out of this layer and nothing else:
// EOutOfMemory (no memory could be had) and EInvalidPointer (a block, item
// or handle that the manager rejects).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "foundation/memory/mvllItemPools.h"
#include "foundation/memory/mvllMemoryHooks.h"
#include "foundation/memory/mvllPooledMemoryManager.h"
#include "foundation/sync/mvllAtomic.h"
#include "platform/Interfaces.h"
#include "platform/SysUtils.h"

// ---------------------------------------------------------------------------
// Allocation routines

// Size 0 stores nil without asking the manager; otherwise a new block of
// `size` bytes. Raises EOutOfMemory when no memory can be had.
void mvGetMem(void*& p, size_t size);
void* mvGetMemPtr(size_t size);
void mvGetZeroedMem(void*& p, size_t size);
void* mvGetZeroedMemPtr(size_t size);
// nil is ignored; a block the manager rejects raises EInvalidPointer.
void mvFreeMem(void* p);
// Takes the pointer out of the variable with one locked exchange (the
// variable holds nil from then on) and frees it.
void mvFreeMemAndNil(void*& p);
// nil and 0: nothing; nil: as mvGetMem; 0: sets nil, then frees; otherwise
// resizes. On failure raises EOutOfMemory and the variable keeps the old block.
void mvReallocMem(void*& p, size_t newSize);

template <typename T>
void mvGetMem(T*& p, size_t size) {
  void* v = nullptr;
  mvGetMem(v, size);
  p = static_cast<T*>(v);
}
template <typename T>
void mvReallocMem(T*& p, size_t newSize) {
  void* v = p;
  try {
    mvReallocMem(v, newSize);
  } catch (...) {
    if (!v) p = nullptr;  // a size of 0 clears the variable even when the free fails
    throw;
  }
  p = static_cast<T*>(v);
}

// Item-pool handles: the item size rounded up to a multiple of 8.
enum class TmvMemoryPoolHandle : uintptr_t {};
TmvMemoryPoolHandle mvGetMemoryPool(size_t itemSize);
// One item; EOutOfMemory on failure.
void* mvMemoryPoolAlloc(TmvMemoryPoolHandle pool);
// Takes the item out of the variable (locked exchange) and returns it; nil
// is ignored; EInvalidPointer when rejected.
void mvMemoryPoolDispose(TmvMemoryPoolHandle pool, void*& p);
void mvMemoryPoolDisposeDirect(TmvMemoryPoolHandle pool, void* p);

// Committed block pools (the table's entries 7 to 12: 4 KB .. 4 MB).
// One block, aligned to its size; EOutOfMemory on failure.
void* mvBlockPoolAlloc(TmvBlockClass* pool);
// Takes the block out of the variable (locked exchange) and returns it;
// EInvalidPointer when rejected.
void mvBlockPoolDispose(TmvBlockClass* pool, void*& p);
// The committed block pool for a size class (0 to 5: 4 KB .. 4 MB).
TmvBlockClass* mvBlockPool(int sizeClass);

// Block handles for the block cache. In the standard mode a handle is the
// block's address.
using TmvPhysicalBlockHandle = uintptr_t;
TmvPhysicalBlockHandle mvPhysicalBlockAlloc(int sizeClass);
// Fills all 256 handles; when one fails, those taken are disposed and the
// error is raised again.
void mvPhysicalBlockAllocRun(int sizeClass, TmvPhysicalBlockHandle (&handles)[256]);
void mvPhysicalBlockDispose(TmvPhysicalBlockHandle handle);
void* mvPhysicalBlockMap(TmvPhysicalBlockHandle handle);
void mvPhysicalBlockUnmap(TmvPhysicalBlockHandle handle, void* address);
// Only in the physical-memory mode, which Linux does not offer: callers test
// mvMemoryManagerAweAvailable first. Here they raise EInvalidPointer.
void* mvPhysicalBlockMapRun(const TmvPhysicalBlockHandle (&handles)[256]);
void mvPhysicalBlockUnmapRun(const TmvPhysicalBlockHandle (&handles)[256], void* address);

// ---------------------------------------------------------------------------
// Status and control

const char* mvMemoryManagerModeText();  // "Standard Server (non AWE)"
bool mvMemoryManagerAweAvailable();     // false on Linux
bool mvMemoryManagerAweSupported();     // false on Linux
// Returns the calling thread's cached items to the pools, then asks the
// maintenance thread for a full cleanup and waits (at most 10 s).
void mvMemoryManagerCollect();
bool mvMustReleaseAllocatedBlocks();  // the release callback's verdict: none here, false
// True while the chunk manager draws on its emergency reserve.
bool mvMustReleaseMappedBlocks();
void mvMemoryManagerGetStatistics(TmvMemoryStatistics& stats);

// The process-wide table. Entries in this order (entry numbers of the
// exchange format in brackets).
struct TmvMemoryManagerTable {
  void* (*GetMem)(size_t size);                          // [1] nil on failure
  int (*FreeMem)(void* p);                               // [2] 0, or non-zero when rejected
  void* (*ReallocMem)(void* p, size_t size);             // [3] nil on failure
  uintptr_t (*GetPool)(size_t itemSize);                 // [4] the size rounded up to 8
  size_t (*GetAllocSize)(void* p);                       // [5] 0 in this manager
  void (*GetStatistics)(TmvMemoryStatistics& stats);     // [6]
  TmvBlockClass* BlockPoolCommitted[6];                  // [7..12] 4 KB .. 4 MB
  const void* ZeroPage;                                  // [13] 64 KB of zeros, read-only
  TmvBlockClass* BlockPoolPhysical[6];                   // [14..19] nil: no physical variant
  void* (*BlockPoolCommittedAlloc)(TmvBlockClass* pool);            // [20]
  bool (*BlockPoolCommittedDispose)(TmvBlockClass* pool, void* p);  // [21]
  void* (*BlockPoolPhysicalAlloc)(TmvBlockClass* pool);             // [22]
  bool (*BlockPoolPhysicalDispose)(TmvBlockClass* pool, void* p);   // [23]
  void* (*MemoryPoolAlloc)(uintptr_t pool);              // [24]
  int (*MemoryPoolDispose)(uintptr_t pool, void* p);     // [25] 0 on success
  intptr_t PhysicalMemoryAvailable;                      // [26] all bits or 0
  intptr_t PhysicalMemorySupported;                      // [27]
  uintptr_t (*BlockAlloc)(int sizeClass);                // [28] a handle or 0
  bool (*BlockRelease)(void* p);                         // [29]
  void* (*BlockMap)(uintptr_t handle);                   // [30]
  bool (*BlockUnmap)(uintptr_t handle, void* p);         // [31]
  void* Unused[4];                                       // [32..35]
  void (*Attach)();                                      // [36]
  void (*Detach)();                                      // [37]
  void* (*MapRun)(const uintptr_t* handles);             // [38] nil in the standard mode
  bool (*UnmapRun)(const uintptr_t* handles, void* p);   // [39] nil in the standard mode
  void (*Collect)();                                     // [40]
  void* const* ReserveInUse1;                            // [41]
  void* const* ReserveInUse2;                            // [42]
  bool (*ReleaseCallback)();                             // [43] nil: none installed
  const uint32_t* ClearOnFree;                           // [44] always 0
  const char* ModeText;                                  // [45]
  uintptr_t Reserved46, Reserved47;                      // [46, 47]
};

// This module's copy of the table (connects first when needed).
const TmvMemoryManagerTable& mvMemoryManagerTable();

// The name of the mapping through which separately built modules would find
// the process's table: "__MorvaMM6__" and the process id as 8 hex digits,
// least significant byte first, high nibble of each byte first.
String mvMemoryManagerMappingName(uint32_t processId);

// Connects this module to the process's manager (run on first use) and
// disconnects it; uses are counted, and the last Detach stops the manager.
void mvConnectProcessMemoryManager();
void mvDisconnectProcessMemoryManager();

// The process's pooled manager, started when needed: in the normal build the
// one behind the table, in the system-allocator build one that only the
// pools' own tests use.
TmvPooledMemoryManager& mvPooledMemoryManager();

// ---------------------------------------------------------------------------
// Engine objects

// Base class of nearly every engine object: instances come from the engine's
// memory manager.
class TmvObject {
 public:
  TmvObject() = default;
  virtual ~TmvObject() = default;

  static void* operator new(size_t size);
  static void operator delete(void* p);
};

// The platform's root interface's identity.
inline constexpr TGUID IID_IInterface = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// A reference-counted engine object. The count is 1 while the constructors
// run and drops back once they are done, so a reference taken and dropped
// inside a constructor never destroys the half-built object: make instances
// with Create. Requires: a keep-alive object is released by its owner with Free.
class TmvInterfacedObject : public TmvObject, public IInterface {
 public:
  explicit TmvInterfacedObject(bool aKeepAlive = false) : ioKeepAlive(aKeepAlive) {}

  template <typename T, typename... Args>
  static T* Create(Args&&... args) {
    T* obj = new T(std::forward<Args>(args)...);
    obj->AfterConstruction();
    return obj;
  }
  // The owner's release of an object that may still be referenced: nil is
  // ignored; a keep-alive object runs BeforeOwnerRelease and stops being
  // kept alive; destroyed now when nobody else holds a reference, else when
  // the last holder lets go.
  static void Free(TmvInterfacedObject* obj);

  int32_t QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override;
  int32_t _Release() override;
  virtual void BeforeOwnerRelease() {}

  int32_t RefCount() const { return __atomic_load_n(&ioRefCount, __ATOMIC_ACQUIRE); }
  void AfterConstruction() { __atomic_sub_fetch(&ioRefCount, 1, __ATOMIC_SEQ_CST); }

 protected:
  // The interfaces this class answers; a descendant adds its own and then
  // asks its parent.
  virtual bool GetInterface(const TGUID& iid, void** obj);

 private:
  int32_t ioRefCount = 1;
  uint32_t ioReleased = 0;
  bool ioKeepAlive;
};

// Weak references: a holder keeps the monitor's ImvLifetimeMonitorRef and
// asks IsAlive before using the tracked object.
inline constexpr TGUID IID_ImvLifetimeMonitorObject = {
    0x7137B921, 0x9BBE, 0x4943, {0x90, 0xD7, 0x69, 0xFE, 0x38, 0xDF, 0x79, 0x94}};
inline constexpr TGUID IID_ImvLifetimeMonitorRef = {
    0xB653B08D, 0x95B4, 0x4219, {0x99, 0x29, 0x4B, 0x51, 0x94, 0x42, 0x26, 0xF9}};

class ImvLifetimeMonitorObject : public IInterface {
 public:
  virtual void Dead() = 0;
};
class ImvLifetimeMonitorRef : public IInterface {
 public:
  virtual bool IsAlive() = 0;
};

namespace mvll_detail {
// Each interface of the monitor counts its references its own way; these
// parts give each interface its own _AddRef and _Release.
class MonitorObjectPart : public ImvLifetimeMonitorObject {
 public:
  int32_t QueryInterface(const TGUID& iid, void** obj) override { return ObjectQuery(iid, obj); }
  int32_t _AddRef() override { return ObjectAddRef(); }
  int32_t _Release() override { return ObjectRelease(); }

 protected:
  virtual int32_t ObjectQuery(const TGUID& iid, void** obj) = 0;
  virtual int32_t ObjectAddRef() = 0;
  virtual int32_t ObjectRelease() = 0;
};
class MonitorRefPart : public ImvLifetimeMonitorRef {
 public:
  int32_t QueryInterface(const TGUID& iid, void** obj) override { return RefQuery(iid, obj); }
  int32_t _AddRef() override { return RefAddRef(); }
  int32_t _Release() override { return RefRelease(); }

 protected:
  virtual int32_t RefQuery(const TGUID& iid, void** obj) = 0;
  virtual int32_t RefAddRef() = 0;
  virtual int32_t RefRelease() = 0;
};
}  // namespace mvll_detail

class TmvLifetimeMonitor : public TmvInterfacedObject,
                           public mvll_detail::MonitorObjectPart,
                           public mvll_detail::MonitorRefPart {
 public:
  TmvLifetimeMonitor() : TmvInterfacedObject(false) {}
  using TmvInterfacedObject::_AddRef;
  using TmvInterfacedObject::_Release;
  using TmvInterfacedObject::QueryInterface;

  void Dead() override { __atomic_store_n(&ltmIsDead, true, __ATOMIC_RELEASE); }
  bool IsAlive() override {
    return !__atomic_load_n(&ltmIsDead, __ATOMIC_ACQUIRE) && __atomic_load_n(&ltmObjectRefCount, __ATOMIC_ACQUIRE) > 0;
  }

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override;

 private:
  int32_t ObjectQuery(const TGUID& iid, void** obj) override { return QueryInterface(iid, obj); }
  int32_t ObjectAddRef() override {
    __atomic_add_fetch(&ltmObjectRefCount, 1, __ATOMIC_SEQ_CST);
    return TmvInterfacedObject::_AddRef();
  }
  int32_t ObjectRelease() override {
    __atomic_sub_fetch(&ltmObjectRefCount, 1, __ATOMIC_SEQ_CST);
    return TmvInterfacedObject::_Release();
  }
  int32_t RefQuery(const TGUID& iid, void** obj) override { return QueryInterface(iid, obj); }
  int32_t RefAddRef() override { return TmvInterfacedObject::_AddRef(); }
  int32_t RefRelease() override { return TmvInterfacedObject::_Release(); }

  int32_t ltmObjectRefCount = 0;
  bool ltmIsDead = false;
};

// An object that hands out weak references through a lifetime monitor.
class TmvLifetimeTrackedObject : public TmvObject {
 public:
  ~TmvLifetimeTrackedObject() override;
  // The monitor, made on first request; threads that ask at once get the
  // same one.
  TInterfacePtr<ImvLifetimeMonitorRef> GetLifetimeMonitor();

 private:
  ImvLifetimeMonitorObject* ltoLifetimeMonitor = nullptr;  // one counted reference
};

// The shared work of every object that hands out weak references through a
// monitor kept in one field (`slot`, holding one counted reference):
// the monitor, made on first request and published with one compare-exchange
// (a thread that loses the race drops its own) ...
TInterfacePtr<ImvLifetimeMonitorRef> mvGetLifetimeMonitor(ImvLifetimeMonitorObject*& slot);
// ... and, when the object dies, the monitor told so and dropped.
void mvLifetimeMonitorDead(ImvLifetimeMonitorObject*& slot);

// ---------------------------------------------------------------------------
// Freeing fields

// Takes the object out of the variable with one locked exchange and destroys
// it when it was not nil; the engine's way of freeing an object held in a
// field. An interfaced object that is still referenced raises EInvalidPointer
// (and stays alive), whatever type the variable is declared with.
template <typename T>
void mvFreeAndNil(T*& obj) {
  T* o = __atomic_exchange_n(&obj, nullptr, __ATOMIC_SEQ_CST);
  if (!o) return;
  if constexpr (std::is_base_of_v<TmvInterfacedObject, T>) {
    if (o->RefCount() != 0) InvalidPointerError();
  } else if constexpr (std::is_polymorphic_v<T>) {
    if (auto* counted = dynamic_cast<TmvInterfacedObject*>(o); counted && counted->RefCount() != 0)
      InvalidPointerError();
  }
  delete o;
}

// Takes the interface reference out of the variable with one locked exchange
// and releases it.
template <typename T>
void mvReleaseAndNil(T*& intf) {
  if (T* o = __atomic_exchange_n(&intf, nullptr, __ATOMIC_SEQ_CST)) o->_Release();
}
template <typename T>
void mvReleaseAndNil(TInterfacePtr<T>& intf) {
  intf.reset();
}
