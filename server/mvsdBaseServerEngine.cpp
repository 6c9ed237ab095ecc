// Server engine: the engine component of the abstract interface, its
// monitors and the engine extenders. See mvsdBaseServerEngine.h.
#include "server/mvsdBaseServerEngine.h"

#include <memory>

#include "foundation/errors/mvllExceptionData.h"
#include "foundation/types/mvsdPeerVersion.h"
#include "server/mvsdAbstractSession.h"
#include "server/mvsdServerLog.h"

constinit const TmvComponentClassRef TmvBaseServerEngine::StaticClass{
    {{u"TmvBaseServerEngine", &TmvStateComponent::StaticClass}, nullptr}, &EmvStateComponentExceptionClass};
constinit const TmvComponentClassRef TmvBaseEngineMonitor::StaticClass{
    {{u"TmvBaseEngineMonitor", &TmvStateComponent::StaticClass}, nullptr}, &EmvStateComponentExceptionClass};
constinit const ClassRef TmvBaseEngineExtender::StaticClass{u"TmvBaseEngineExtender",
                                                            &TmvLifetimeTrackedPersistent::StaticClass};

// ---------------------------------------------------------------------------
// TmvBaseServerEngine

TmvBaseServerEngine::TmvBaseServerEngine(TComponent* aOwner)
    : TmvStateComponent(aOwner), bseMonitors(new TmvListPortal(new TmvSortedList())) {}

TmvBaseServerEngine::~TmvBaseServerEngine() {
  delete bseMonitors;
  bseMonitors = nullptr;
}

uint32_t TmvBaseServerEngine::bseConvertException(const std::exception& e, TmvAbstractServerObject* aObject) {
  TmvBaseLog* log = GetEventLogEnabled() ? GetEventLog() : nullptr;
  return mvConvertException(e, log, aObject, aObject ? aObject->GetMinVersion() : mvEngineVersion);
}

uint32_t TmvBaseServerEngine::bseConvertCurrentException(TmvAbstractServerObject* aObject) {
  // Engine exceptions all derive from std::exception; anything else goes
  // through the foundation's catch-all conversion.
  try {
    throw;
  } catch (const std::exception& e) {
    return bseConvertException(e, aObject);
  } catch (...) {
    TmvBaseLog* log = GetEventLogEnabled() ? GetEventLog() : nullptr;
    return mvConvertCurrentException(log, aObject, aObject ? aObject->GetMinVersion() : mvEngineVersion);
  }
}

template <typename F>
void TmvBaseServerEngine::ForEachStartedMonitor(F&& aVisit) {
  if (!bseMonitors) return;
  TmvWriteableList* list = bseMonitors->BeginRead();
  try {
    for (int32_t i = 0; i < list->Count(); ++i) {
      auto* monitor = static_cast<TmvBaseEngineMonitor*>(list->blGet(i));
      if (monitor->GetState() == mvsStarted) aVisit(monitor);
    }
  } catch (...) {
    bseMonitors->EndRead();
    throw;
  }
  bseMonitors->EndRead();
}

void TmvBaseServerEngine::bseExtendableObjectCreated(TmvExtendableServerObject* aObject) {
  ForEachStartedMonitor([aObject](TmvBaseEngineMonitor* m) { m->ExtendableObjectCreated(aObject); });
}

void TmvBaseServerEngine::bseExtendableObjectDestroyed(TmvExtendableServerObject* aObject) {
  ForEachStartedMonitor([aObject](TmvBaseEngineMonitor* m) { m->ExtendableObjectDestroyed(aObject); });
}

int32_t TmvBaseServerEngine::bseCreateInstanceFor(TmvAbstractSession* aSession, const String& aName,
                                                  const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                                                  void** aInterface) {
  *aInterface = nullptr;
  if (SameClassName(aName, u"<ServerEngine>"))
    return mvcCreateInstance(aSession, aClassID, aOuter, aInterfaceID, aInterface);
  std::unique_ptr<TmvIterationList> dependents(IterateDependents());
  for (int32_t i = 0; i < dependents->Count(); ++i) {
    TmvComponent* component = dependents->Components(i);
    if (component == this || !(aName.empty() || SameClassName(component->GetName(), aName))) continue;
    if (component->mvcCreateInstance(aSession, aClassID, aOuter, aInterfaceID, aInterface) == S_OK) return S_OK;
    *aInterface = nullptr;
  }
  return E_NOINTERFACE;
}

uint32_t TmvBaseServerEngine::SessionOpen(TmvAbstractSession*& aSession, const String& aUserName,
                                          const String& aPassword, const String& aConnectedFrom, uint32_t aTimeout) {
  return SessionOpenEx(aSession, aUserName, aPassword, aConnectedFrom, aTimeout, mvEngineVersion);
}

void TmvBaseServerEngine::AddDependent(TmvComponent* aComponent) {
  TmvStateComponent::AddDependent(aComponent);
  if (bseMonitors && dynamic_cast<TmvBaseEngineMonitor*>(aComponent)) bseMonitors->Add(aComponent);
}

void TmvBaseServerEngine::RemoveDependent(TmvComponent* aComponent) {
  if (bseMonitors && dynamic_cast<TmvBaseEngineMonitor*>(aComponent)) bseMonitors->Remove(aComponent);
  TmvStateComponent::RemoveDependent(aComponent);
}

void TmvBaseServerEngine::WriteComponentInfo(ImvExceptionDataContainer* aContainer) {
  TmvStateComponent::WriteComponentInfo(aContainer);
  ImvExceptionDataContainer* sessions = aContainer->AddContainer(u"Sessions");
  TmvPadlockGuard guard(&bseSessionsPadlock);
  int32_t i = 0;
  for (TmvAbstractSession* s = bseSessionsHead; s; s = s->NextOfEngine())
    sessions->AddObject(Format(u"[%d]", {i++}), s, false);
}

void TmvBaseServerEngine::GetStatsCaptions(std::vector<String>& aCaptions) const {
  TmvStateComponent::GetStatsCaptions(aCaptions);
  for (const char16_t* caption : {u"Sessions", u"Databases", u"Transaction Contexts", u"Cursors", u"Statements"})
    aCaptions.push_back(caption);
}

void TmvBaseServerEngine::GetStatsValues(std::vector<String>& aValues) const {
  TmvStateComponent::GetStatsValues(aValues);
  for (int32_t count : {SessionCount(), DatabaseCount(), TransContextCount(), CursorCount(), StatementCount()})
    aValues.push_back(mvFormatThousands(count));
}

void TmvBaseServerEngine::DoStop() {
  TmvStateComponent::DoStop();
  TmvPadlockGuard guard(&bseSessionsPadlock);
  while (TmvAbstractSession* last = bseSessionsTail) {
    TmvAbstractServerObject::Free(last);
    // A session that is already going (on another thread) leaves the list
    // itself; it is not waited for here.
    if (bseSessionsTail == last) {
      mvServerLogError(u"Stopping the engine: a session being destroyed elsewhere was left to its destroyer");
      break;
    }
  }
}

void mvEngineCountIn(TmvAbstractServerObject* aObject, TmvEngineCounter aCounter, bool& aDone) {
  if (aDone) return;
  if (TmvBaseServerEngine* engine = aObject->GetServerEngine()) {
    (engine->*aCounter).fetch_add(1, std::memory_order_acq_rel);
    aDone = true;
  }
}

void mvEngineCountOut(TmvAbstractServerObject* aObject, TmvEngineCounter aCounter, bool& aDone) {
  if (!aDone) return;
  aDone = false;
  if (TmvBaseServerEngine* engine = aObject->GetServerEngine()) (engine->*aCounter).fetch_sub(1, std::memory_order_acq_rel);
}

// ---------------------------------------------------------------------------
// TmvBaseEngineMonitor

TmvBaseEngineMonitor::TmvBaseEngineMonitor(TComponent* aOwner) : TmvStateComponent(aOwner) {}

TmvBaseEngineMonitor::~TmvBaseEngineMonitor() {
  if (bemServerEngine) UnlinkDependent(bemServerEngine);
}

void TmvBaseEngineMonitor::SetServerEngine(TmvBaseServerEngine* aEngine) {
  if (aEngine == bemServerEngine) return;
  CheckInactive();
  if (bemServerEngine) UnlinkDependent(bemServerEngine);
  bemServerEngine = aEngine;
  if (aEngine) LinkDependent(aEngine);
}

bool TmvBaseEngineMonitor::DependsOn(TmvComponent* aComponent) {
  return (aComponent && aComponent == bemServerEngine) || TmvStateComponent::DependsOn(aComponent);
}

void TmvBaseEngineMonitor::DependencyStateChange(TmvStateComponent* aSender, bool aChanging, TmvState aOldState,
                                                 TmvState aNewState) {
  if (aSender && aSender == bemServerEngine) {
    const TmvStateTransition transition = mvStateTransition(aOldState, aNewState);
    if (aChanging && transition == mvstStarting) bemEngineStarting();
    if (!aChanging && transition == mvstStopping) bemEngineStopped();
  }
  TmvStateComponent::DependencyStateChange(aSender, aChanging, aOldState, aNewState);
}

void TmvBaseEngineMonitor::HandleNotification(TmvComponent* aSender, TmvNotifyOp aOperation, void* aParam) {
  if (aOperation == mvnoDestroying && aSender && aSender == bemServerEngine) bemServerEngine = nullptr;
  TmvStateComponent::HandleNotification(aSender, aOperation, aParam);
}

void TmvBaseEngineMonitor::DoStop() {
  TmvStateComponent::DoStop();
  // One at a time, the monitor's lock not held while an extender goes (its
  // destructor takes its object's extenders lock).
  for (;;) {
    TmvBaseEngineExtender* extender;
    {
      TmvPadlockGuard guard(&bemExtendersLock);
      extender = bemExtendersHead;
    }
    if (!extender) break;
    delete extender;
  }
}

// ---------------------------------------------------------------------------
// TmvBaseEngineExtender

TmvBaseEngineExtender::TmvBaseEngineExtender(TmvBaseEngineMonitor* aMonitor,
                                             TmvExtendableServerObject* aExtendableObject, TmvEngineActions aActions)
    : beeMonitor(aMonitor),
      beeExtendableObject(aExtendableObject),
      beeActions(aActions.Empty() ? TmvEngineActions::AllBut({eaRecordFulltextUpdate}) : aActions) {
  if (beeMonitor) {
    TmvPadlockGuard guard(&beeMonitor->bemExtendersLock);
    beeMonitorPrev = beeMonitor->bemExtendersTail;
    if (beeMonitorPrev)
      beeMonitorPrev->beeMonitorNext = this;
    else
      beeMonitor->bemExtendersHead = this;
    beeMonitor->bemExtendersTail = this;
  }
  if (beeExtendableObject) {
    beeExtendableObject->LockExtenders();
    TmvPadlock* lock = beeExtendableObject->ExtendersLock();
    beeExtendableObjectPrev = beeExtendableObject->esoExtendersTail;
    if (beeExtendableObjectPrev)
      beeExtendableObjectPrev->beeExtendableObjectNext = this;
    else
      beeExtendableObject->esoExtendersHead = this;
    beeExtendableObject->esoExtendersTail = this;
    beeExtendableObject->esoExtendersActions.fetch_or(beeActions.Mask(), std::memory_order_acq_rel);
    lock->Unlock();
  }
}

TmvBaseEngineExtender::~TmvBaseEngineExtender() {
  if (beeExtendableObject) {
    TmvPadlockGuard guard(beeExtendableObject->ExtendersLock());
    (beeExtendableObjectPrev ? beeExtendableObjectPrev->beeExtendableObjectNext
                             : beeExtendableObject->esoExtendersHead) = beeExtendableObjectNext;
    (beeExtendableObjectNext ? beeExtendableObjectNext->beeExtendableObjectPrev
                             : beeExtendableObject->esoExtendersTail) = beeExtendableObjectPrev;
  }
  if (beeMonitor) {
    TmvPadlockGuard guard(&beeMonitor->bemExtendersLock);
    (beeMonitorPrev ? beeMonitorPrev->beeMonitorNext : beeMonitor->bemExtendersHead) = beeMonitorNext;
    (beeMonitorNext ? beeMonitorNext->beeMonitorPrev : beeMonitor->bemExtendersTail) = beeMonitorPrev;
  }
}

int32_t TmvBaseEngineExtender::beeCreateInstance(const TGUID&, IInterface*, const TGUID&, void** aInterface) {
  *aInterface = nullptr;
  return E_NOINTERFACE;
}

void TmvBaseEngineExtender::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvLifetimeTrackedPersistent::WriteObjectInfo(aContainer);
  aContainer->AddString(u"Monitor", beeMonitor ? beeMonitor->GetName() : String());
  aContainer->AddObject(u"ExtendableObject", beeExtendableObject, false);
}
