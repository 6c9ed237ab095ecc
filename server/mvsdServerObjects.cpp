// Server engine: the base classes of every server object. See
// mvsdServerObjects.h.
#include "server/mvsdServerObjects.h"

#include <mutex>
#include <unordered_map>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllServerException.h"
#include "foundation/mvllFastStringList.h"
#include "foundation/types/mvsdPeerVersion.h"
#include "server/mvsdAbstractSession.h"
#include "server/mvsdBaseServerEngine.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"

constinit const ClassRef TmvAbstractServerObject::StaticClass{u"TmvAbstractServerObject",
                                                              &TmvLifetimeTrackedPersistent::StaticClass};
constinit const ClassRef TmvExtendableServerObject::StaticClass{u"TmvExtendableServerObject",
                                                                &TmvAbstractServerObject::StaticClass};
constinit const ClassRef TmvLockedOptionsExtendableServerObject::StaticClass{
    u"TmvLockedOptionsExtendableServerObject", &TmvExtendableServerObject::StaticClass};
constinit const ClassRef TmvAbstractTaskInfo::StaticClass{u"TmvAbstractTaskInfo",
                                                          &TmvExtendableServerObject::StaticClass};
constinit const ClassRef TmvAbstractTimeoutObject::StaticClass{u"TmvAbstractTimeoutObject",
                                                               &TmvExtendableServerObject::StaticClass};

namespace {

// ---------------------------------------------------------------------------
// The handle registry: every live, fully built server object by handle,
// with its class and session as they were at registration, so that a
// handle is judged without reading the object it may name.

struct HandleEntry {
  TmvAbstractServerObject* Object;
  const ClassRef* Class;
  TmvSessionID Session;
};

struct HandleRegistry {
  std::mutex Lock;
  std::unordered_map<TmvBaseID, HandleEntry> Entries;
  TmvBaseID NextHandle = 1;  // never reused; 0 means "no handle"
};

HandleRegistry& Handles() {
  static HandleRegistry registry;
  return registry;
}

uint32_t NotFound() { return EmvBaseException::mvSetMessage(MVERR_OBJNOTFOUND, String()); }

TmvAbstractSession* SessionOf(TmvExtendableServerObject* aParent) {
  if (!aParent) return nullptr;
  if (auto* session = dynamic_cast<TmvAbstractSession*>(aParent)) return session;
  return aParent->Session();
}

}  // namespace

// ---------------------------------------------------------------------------
// TmvAbstractServerObject

TmvAbstractServerObject::TmvAbstractServerObject(TmvAbstractSession* aSession) : asoSession(aSession) {}

TmvAbstractServerObject::~TmvAbstractServerObject() { asoWithdrawHandle(); }

void TmvAbstractServerObject::Free(TmvAbstractServerObject* aObject) {
  if (!aObject || aObject->Destroying()) return;
  delete aObject;
}

void TmvAbstractServerObject::BeforeDestruction() {
  asoDestroying.store(true, std::memory_order_release);
  if (asoDestroyFlag) *asoDestroyFlag = true;
  asoWithdrawHandle();
  asoAnnounceDestruction();
  PrepareDestroy();
}

void TmvAbstractServerObject::asoRegisterHandle() {
  const TmvSessionID session = asoSession ? asoSession->GetRemoteID() : 0;
  HandleRegistry& registry = Handles();
  std::lock_guard guard(registry.Lock);
  const TmvBaseID handle = registry.NextHandle++;
  registry.Entries.emplace(handle, HandleEntry{this, &ClassType(), session});
  asoHandle.store(handle, std::memory_order_release);
}

void TmvAbstractServerObject::asoWithdrawHandle() {
  const TmvBaseID handle = asoHandle.exchange(0, std::memory_order_acq_rel);
  if (handle == 0) return;
  HandleRegistry& registry = Handles();
  std::lock_guard guard(registry.Lock);
  registry.Entries.erase(handle);
}

TmvAbstractServerObject* TmvAbstractServerObject::asoFindHandle(TmvSessionID aSessionID, TmvBaseID aBaseID,
                                                                const ClassRef& aClass) {
  HandleRegistry& registry = Handles();
  std::lock_guard guard(registry.Lock);
  auto found = registry.Entries.find(aBaseID);
  if (found == registry.Entries.end()) return nullptr;
  const HandleEntry& entry = found->second;
  if (entry.Session != aSessionID || !entry.Class->InheritsFrom(&aClass)) return nullptr;
  return entry.Object;
}

uint32_t TmvAbstractServerObject::asoInvalidHandle() { return EmvBaseException::mvSetMessage(MVERR_INVALIDHNDL, String()); }

int32_t TmvAbstractServerObject::GetMinVersion() {
  if (asoSession) return asoSession->GetMinVersion();
  const int32_t peer = mvThreadPeerVersion();
  return peer == 0 ? mvEngineVersion : peer;
}

int32_t TmvAbstractServerObject::asoCreateSelfInstance(const TGUID& aClassID, IInterface*, const TGUID& aInterfaceID,
                                                       void** aInterface) {
  *aInterface = nullptr;
  if (aClassID == CLSID_mvServerObjectSelf && QueryInterface(aInterfaceID, aInterface) == S_OK) return S_OK;
  *aInterface = nullptr;
  return E_NOINTERFACE;
}

int32_t TmvAbstractServerObject::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IID_IInterface) {
    *obj = static_cast<IInterface*>(this);
    return S_OK;
  }
  return TmvLifetimeTrackedPersistent::QueryInterface(iid, obj);
}

uint32_t TmvAbstractServerObject::asoConvertException(const std::exception& e) {
  if (TmvBaseServerEngine* engine = GetServerEngine()) return engine->bseConvertException(e, this);
  return mvConvertException(e, mvServerLog(), this, GetMinVersion());
}

uint32_t TmvAbstractServerObject::asoConvertException() {
  if (TmvBaseServerEngine* engine = GetServerEngine()) return engine->bseConvertCurrentException(this);
  return mvConvertCurrentException(mvServerLog(), this, GetMinVersion());
}

uint32_t TmvAbstractServerObject::Close() {
  if (Destroying()) return EmvBaseException::mvSetMessage(MVERR_REENTERED, String());
  TmvBaseServerEngine* engine = GetServerEngine();
  try {
    delete this;
    return 0;
  } catch (...) {
    return engine ? engine->bseConvertCurrentException(nullptr) : mvConvertCurrentException(mvServerLog(), nullptr);
  }
}

void TmvAbstractServerObject::SplitInstancePath(const String& aName, String& aHead, String& aTail) {
  const size_t point = aName.find(u'.');
  aHead = aName.substr(0, point);
  aTail = point == String::npos ? String() : aName.substr(point + 1);
  if (aTail.empty()) aTail = u"<Self>";
}

int32_t TmvAbstractServerObject::CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter,
                                                   const TGUID& aInterfaceID, void** aInterface) {
  *aInterface = nullptr;
  String head, tail;
  SplitInstancePath(aName, head, tail);
  if (SameClassName(head, u"<Self>")) {
    if (SameClassName(tail, u"<Self>")) return asoCreateSelfInstance(aClassID, aOuter, aInterfaceID, aInterface);
    return CreateInstanceFor(tail, aClassID, aOuter, aInterfaceID, aInterface);
  }
  if (SameClassName(head, u"<Session>")) {
    TmvAbstractServerObject* session = dynamic_cast<TmvAbstractSession*>(this);
    if (!session) session = asoSession;
    if (!session) return E_NOINTERFACE;
    return session->CreateInstanceFor(tail, aClassID, aOuter, aInterfaceID, aInterface);
  }
  TmvBaseServerEngine* engine = GetServerEngine();
  if (!engine) return E_NOINTERFACE;
  return engine->bseCreateInstanceFor(asoSession, aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TmvAbstractServerObject::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvLifetimeTrackedPersistent::WriteObjectInfo(aContainer);
  aContainer->AddBoolean(u"Destroying", Destroying());
}

void TmvAbstractServerObject::WriteExceptionData(ImvExceptionDataContainer* aContainer, bool aFlag) {
  WriteObjectInfo(aContainer);
  if (aFlag) asoWriteDetails(aContainer);
}

// ---------------------------------------------------------------------------
// TmvExtendableServerObject

TmvExtendableServerObject::TmvExtendableServerObject(TmvExtendableServerObject* aParent)
    : TmvAbstractServerObject(SessionOf(aParent)), esoParent(aParent) {}

TmvExtendableServerObject::~TmvExtendableServerObject() {
  if (TmvPadlock* lock = ExtendersLock()) {
    // One at a time, the object's lock not held while an extender goes (its
    // destructor takes its monitor's lock).
    for (;;) {
      TmvBaseEngineExtender* extender;
      {
        TmvPadlockGuard guard(lock);
        extender = esoExtendersHead;
      }
      if (!extender) break;
      delete extender;
    }
    delete lock;
    esoExtendersLock = nullptr;
  }
  if (esoEngineAtDestruction) {
    try {
      esoEngineAtDestruction->bseExtendableObjectDestroyed(this);
    } catch (...) {
      mvServerLogCurrentException(u"Telling the engine's monitors that an object is gone");
    }
  }
  delete esoOptions;
}

void TmvExtendableServerObject::AfterConstruction() {
  TmvAbstractServerObject::AfterConstruction();
  // Told here rather than in the constructor: the engine is a virtual
  // property, which only the whole object answers.
  TmvBaseServerEngine* engine = GetServerEngine();
  if (esoReportToMonitors() && engine) engine->bseExtendableObjectCreated(this);
  uint32_t code = 0;
  if (esoParent) code = esoParent->NotifyExtenders(eaChildCreate, false, {static_cast<TPersistent*>(this)});
  if (code == 0) code = NotifyExtenders(eaCreate, false, {});
  if (code == 0) return;
  if (engine) engine->bseGetExceptionClass().Raise(code);
  throw EmvServerException(int64_t(code));
}

void TmvExtendableServerObject::asoAnnounceDestruction() {
  NotifyExtenders(eaDestroy, true, {});
  if (esoParent) esoParent->NotifyExtenders(eaChildDestroy, true, {static_cast<TPersistent*>(this)});
  esoEngineAtDestruction = GetServerEngine();
}

TmvBaseServerEngine* TmvExtendableServerObject::GetServerEngine() {
  return esoParent ? esoParent->GetServerEngine() : nullptr;
}

int32_t TmvExtendableServerObject::CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter,
                                                     const TGUID& aInterfaceID, void** aInterface) {
  if (SameClassName(aName, u"<Extenders>")) {
    *aInterface = nullptr;
    return esoExtendersCreateInstance(aClassID, aOuter, aInterfaceID, aInterface);
  }
  return TmvAbstractServerObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TmvExtendableServerObject::PrepareDestroy() {
  if (TmvPadlock* lock = ExtendersLock()) {
    TmvPadlockGuard guard(lock);
    for (TmvBaseEngineExtender* e = esoExtendersHead; e; e = e->beeExtendableObjectNext) {
      try {
        e->PrepareDestroy();
      } catch (...) {
        asoConvertException();
      }
    }
  }
  TmvAbstractServerObject::PrepareDestroy();
}

void TmvExtendableServerObject::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvAbstractServerObject::WriteObjectInfo(aContainer);
  if (esoOptions) aContainer->AddObject(u"Options", esoOptions, false);
}

uint32_t TmvExtendableServerObject::esoOptionClear(const String& aName) {
  const int32_t index = esoOptions ? esoOptions->IndexOfName(aName) : -1;
  if (index < 0) return NotFound();
  esoOptions->Delete(index);
  if (esoOptions->Count() == 0) {
    delete esoOptions;
    esoOptions = nullptr;
  }
  esoOptionChanged(aName, String());
  return 0;
}

uint32_t TmvExtendableServerObject::esoOptionSet(const String& aName, const String& aValue) {
  if (!esoOptions) esoOptions = new TmvFastStringListIC();
  esoOptions->SetValue(aName, aValue);
  esoOptionChanged(aName, aValue);
  return 0;
}

void TmvExtendableServerObject::esoOptionChanged(const String&, const String&) {}

uint32_t TmvExtendableServerObject::esoOptionGet(const String& aName, String& aValue) {
  const int32_t index = esoOptions ? esoOptions->IndexOfName(aName) : -1;
  if (index < 0) return NotFound();
  aValue = esoOptions->ValueFromIndex(index);
  return 0;
}

uint32_t TmvExtendableServerObject::esoOptionGetInherited(const String& aName, String& aValue) {
  TmvExtendableServerObject* parent = esoGetOptionParent();
  return parent ? parent->esoOptionGetEffective(aName, aValue) : NotFound();
}

uint32_t TmvExtendableServerObject::esoOptionGetEffective(const String& aName, String& aValue) {
  const uint32_t result = esoOptionGet(aName, aValue);
  return result == MVERR_OBJNOTFOUND ? esoOptionGetInherited(aName, aValue) : result;
}

uint32_t TmvExtendableServerObject::esoOptionList(TStrings* aList) {
  aList->Clear();
  if (esoOptions) aList->Assign(*esoOptions);
  return 0;
}

uint32_t TmvExtendableServerObject::esoOptionListInherited(TStrings* aList) {
  TmvExtendableServerObject* parent = esoGetOptionParent();
  if (!parent) {
    aList->Clear();
    return 0;
  }
  return parent->esoOptionList(aList);
}

uint32_t TmvExtendableServerObject::esoOptionListEffective(TStrings* aList) {
  if (uint32_t result = esoOptionList(aList)) return result;
  TmvFastStringListIC inherited;
  if (uint32_t result = esoOptionListInherited(&inherited)) return result;
  esoOptionListMerge(aList, &inherited);
  return 0;
}

void TmvExtendableServerObject::esoOptionListMerge(TStrings* aList, TStrings* aInherited) {
  for (int32_t i = 0; i < aInherited->Count(); ++i)
    if (aList->IndexOfName(aInherited->Names(i)) < 0) aList->Add(aInherited->Get(i));
}

int32_t TmvExtendableServerObject::esoExtendersCreateInstance(const TGUID& aClassID, IInterface* aOuter,
                                                              const TGUID& aInterfaceID, void** aInterface) {
  *aInterface = nullptr;
  TmvPadlock* lock = ExtendersLock();
  if (!lock) return E_NOINTERFACE;
  TmvPadlockGuard guard(lock);
  for (TmvBaseEngineExtender* e = esoExtendersHead; e; e = e->beeExtendableObjectNext)
    if (e->beeCreateInstance(aClassID, aOuter, aInterfaceID, aInterface) == S_OK) return S_OK;
  *aInterface = nullptr;
  return E_NOINTERFACE;
}

uint32_t TmvExtendableServerObject::OptionClear(const String& aName) { return esoOptionClear(aName); }

uint32_t TmvExtendableServerObject::OptionSet(const String& aName, const String& aValue) {
  return esoOptionSet(aName, aValue);
}

uint32_t TmvExtendableServerObject::OptionGet(const String& aName, String& aValue) {
  aValue.clear();
  return esoOptionGet(aName, aValue);
}

uint32_t TmvExtendableServerObject::OptionGetEffective(const String& aName, String& aValue) {
  aValue.clear();
  return esoOptionGetEffective(aName, aValue);
}

uint32_t TmvExtendableServerObject::OptionList(TStrings* aList) {
  aList->Clear();
  return esoOptionList(aList);
}

uint32_t TmvExtendableServerObject::OptionListEffective(TStrings* aList) {
  aList->Clear();
  return esoOptionListEffective(aList);
}

uint32_t TmvExtendableServerObject::NotifyExtenders(TmvEngineAction aAction, bool aBefore, TmvActionArgs aArgs) {
  if (!ExtendersActions().Contains(aAction)) return 0;
  TmvPadlock* lock = ExtendersLock();
  if (!lock) return 0;
  try {
    TmvPadlockGuard guard(lock);
    for (TmvBaseEngineExtender* e = esoExtendersHead; e; e = e->beeExtendableObjectNext) {
      if (!e->beeActions.Contains(aAction)) continue;
      if (uint32_t result = e->Notify(aAction, aBefore, aArgs)) return result;
    }
  } catch (...) {
    return asoConvertException();
  }
  return 0;
}

TmvNotifyMethod TmvExtendableServerObject::GetNotifyFor(TmvEngineAction aAction) {
  if (!ExtendersActions().Contains(aAction)) return {};
  TmvPadlock* lock = ExtendersLock();
  if (!lock) return {};
  TmvPadlockGuard guard(lock);
  TmvBaseEngineExtender* single = nullptr;
  for (TmvBaseEngineExtender* e = esoExtendersHead; e; e = e->beeExtendableObjectNext) {
    if (!e->beeActions.Contains(aAction)) continue;
    if (single) {
      return [this](TmvEngineAction a, bool before, TmvActionArgs args) { return NotifyExtenders(a, before, args); };
    }
    single = e;
  }
  if (!single) return {};
  return [single](TmvEngineAction a, bool before, TmvActionArgs args) { return single->Notify(a, before, args); };
}

TmvBaseEngineExtender* TmvExtendableServerObject::GetExtenderOfType(const ClassRef& aExtenderClass) {
  TmvPadlock* lock = ExtendersLock();
  if (!lock) return nullptr;
  TmvPadlockGuard guard(lock);
  for (TmvBaseEngineExtender* e = esoExtendersHead; e; e = e->beeExtendableObjectNext)
    if (e->InheritsFrom(aExtenderClass)) return e;
  return nullptr;
}

bool TmvExtendableServerObject::IgnoreSecurity() const {
  return esoIgnoreSecurity.load(std::memory_order_acquire) >= 1 || (esoParent && esoParent->IgnoreSecurity());
}

// ---------------------------------------------------------------------------
// TmvLockedOptionsExtendableServerObject

TmvLockedOptionsExtendableServerObject::~TmvLockedOptionsExtendableServerObject() { delete loesoOptionsLock; }

template <typename F>
uint32_t TmvLockedOptionsExtendableServerObject::UnderOptionsLock(F&& aWork) {
  TmvPadlock::CreateAndLock(loesoOptionsLock);
  try {
    const uint32_t result = aWork();
    loesoOptionsLock->Unlock();
    return result;
  } catch (...) {
    loesoOptionsLock->Unlock();
    throw;
  }
}

uint32_t TmvLockedOptionsExtendableServerObject::esoOptionClear(const String& aName) {
  return UnderOptionsLock([&] { return TmvExtendableServerObject::esoOptionClear(aName); });
}

uint32_t TmvLockedOptionsExtendableServerObject::esoOptionSet(const String& aName, const String& aValue) {
  return UnderOptionsLock([&] { return TmvExtendableServerObject::esoOptionSet(aName, aValue); });
}

uint32_t TmvLockedOptionsExtendableServerObject::esoOptionGet(const String& aName, String& aValue) {
  return UnderOptionsLock([&] { return TmvExtendableServerObject::esoOptionGet(aName, aValue); });
}

uint32_t TmvLockedOptionsExtendableServerObject::esoOptionList(TStrings* aList) {
  return UnderOptionsLock([&] { return TmvExtendableServerObject::esoOptionList(aList); });
}

void TmvLockedOptionsExtendableServerObject::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  UnderOptionsLock([&] {
    TmvExtendableServerObject::WriteObjectInfo(aContainer);
    return 0u;
  });
}

// ---------------------------------------------------------------------------
// TmvAbstractTaskInfo

TmvAbstractTaskInfo::TmvAbstractTaskInfo(TmvExtendableServerObject* aParent) : TmvExtendableServerObject(aParent) {
  if (TmvAbstractSession* session = Session()) {
    TmvPadlockGuard guard(&session->asTaskInfosPadlock);
    session->asTaskInfos.Append(this);
  }
}

TmvAbstractTaskInfo::~TmvAbstractTaskInfo() {
  if (TmvAbstractSession* session = Session()) {
    TmvPadlockGuard guard(&session->asTaskInfosPadlock);
    session->asTaskInfos.Remove(this);
  }
}

void TmvAbstractTaskInfo::PrepareDestroy() {
  try {
    Cancel();
  } catch (...) {
    asoConvertException();
  }
  TmvExtendableServerObject::PrepareDestroy();
}

int32_t TmvAbstractTaskInfo::CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter,
                                               const TGUID& aInterfaceID, void** aInterface) {
  String head, tail;
  SplitInstancePath(aName, head, tail);
  if (SameClassName(head, u"<TaskInfo>")) return CreateInstanceFor(tail, aClassID, aOuter, aInterfaceID, aInterface);
  return TmvExtendableServerObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TmvAbstractTaskInfo::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvExtendableServerObject::WriteObjectInfo(aContainer);
  aContainer->AddObject(u"Session", Session(), false);
}

// ---------------------------------------------------------------------------
// TmvAbstractTimeoutObject

TmvAbstractTimeoutObject::TmvAbstractTimeoutObject(TmvExtendableServerObject* aParent, uint32_t aTimeout)
    : TmvExtendableServerObject(aParent), atoTimeout(aTimeout) {
  if (TmvAbstractSession* session = Session()) atoLock = TInterfacePtr<ImvSimpleLock>(session->GetLock());
}

TmvAbstractTimeoutObject::~TmvAbstractTimeoutObject() = default;

int32_t TmvAbstractTimeoutObject::atoForwardToSession(int32_t aValue) {
  return Session() ? Session()->atoForwardToSession(aValue) : 0;
}

int32_t TmvAbstractTimeoutObject::BeginTimeoutBatch() { return Session() ? Session()->BeginTimeoutBatch() : -1; }

int32_t TmvAbstractTimeoutObject::EndTimeoutBatch() { return Session() ? Session()->EndTimeoutBatch() : -1; }

uint64_t TmvAbstractTimeoutObject::LastLocked() { return atoLock ? atoLock->LastLocked() : 0; }

void TmvAbstractTimeoutObject::atoEnter(bool aScope) {
  mvHookSetOperationDeadline(GetTimeout(), false);
  if (atoLock) atoLock->Lock();
  if (aScope) mvHookBeginTimeoutScope();
}

void TmvAbstractTimeoutObject::atoLeave(bool aScope, uint32_t& aResult) {
  if (aScope) mvHookEndTimeoutScope();
  if (atoLock) atoLock->Unlock(aResult);
}

uint32_t TmvAbstractTimeoutObject::Close() {
  if (Destroying()) return EmvBaseException::mvSetMessage(MVERR_REENTERED, String());
  TInterfacePtr<ImvSimpleLock> lock = atoLock;
  TmvBaseServerEngine* engine = GetServerEngine();
  const bool isSession = dynamic_cast<TmvAbstractSession*>(this) != nullptr;
  bool locked = false;
  if (lock && !lock->IsFailedPermanent()) {
    lock->Lock();  // its refusals reach the caller
    locked = true;
  }
  uint32_t result = 0;
  try {
    if (isSession && lock) {
      // Letting go of the lock with the failure marked runs the session's
      // clean-up here, before the session itself goes.
      lock->Failed(true, false);
      if (locked) {
        locked = false;
        lock->Unlock(result);
      }
      lock.reset();
    }
    delete this;
  } catch (...) {
    result = engine ? engine->bseConvertCurrentException(nullptr) : mvConvertCurrentException(mvServerLog(), nullptr);
  }
  if (locked) lock->Unlock(result);
  return result;
}

namespace {

// An option operation inside the session lock.
template <typename F>
uint32_t UnderSessionLock(TmvAbstractTimeoutObject* aObject, F&& aWork) {
  ImvSimpleLock* lock = aObject->GetLock();
  if (lock) lock->Lock();
  uint32_t result;
  try {
    result = aWork();
  } catch (...) {
    result = aObject->asoConvertException();
  }
  if (lock) lock->Unlock(result);
  return result;
}

}  // namespace

uint32_t TmvAbstractTimeoutObject::OptionClear(const String& aName) {
  return UnderSessionLock(this, [&] { return TmvExtendableServerObject::OptionClear(aName); });
}

uint32_t TmvAbstractTimeoutObject::OptionSet(const String& aName, const String& aValue) {
  return UnderSessionLock(this, [&] { return TmvExtendableServerObject::OptionSet(aName, aValue); });
}

uint32_t TmvAbstractTimeoutObject::OptionGet(const String& aName, String& aValue) {
  return UnderSessionLock(this, [&] { return TmvExtendableServerObject::OptionGet(aName, aValue); });
}

uint32_t TmvAbstractTimeoutObject::OptionGetEffective(const String& aName, String& aValue) {
  return UnderSessionLock(this, [&] { return TmvExtendableServerObject::OptionGetEffective(aName, aValue); });
}

uint32_t TmvAbstractTimeoutObject::OptionList(TStrings* aList) {
  return UnderSessionLock(this, [&] { return TmvExtendableServerObject::OptionList(aList); });
}

uint32_t TmvAbstractTimeoutObject::OptionListEffective(TStrings* aList) {
  return UnderSessionLock(this, [&] { return TmvExtendableServerObject::OptionListEffective(aList); });
}

void TmvAbstractTimeoutObject::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvExtendableServerObject::WriteObjectInfo(aContainer);
  aContainer->AddUnsigned(u"Timeout", GetTimeout());
}
