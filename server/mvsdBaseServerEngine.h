// Server engine: the engine component of the abstract engine interface, its
// monitors and the engine extenders (unit mvsdBaseServerEngine).
//
// `TmvBaseServerEngine` is the root to which every server object reports
// creation, destruction and failures: it converts exceptions into error
// codes (logging them to its event log), keeps the list of sessions and the
// counters of live objects, and opens sessions (SessionOpenEx, implemented
// by the in-process engine). `TmvBaseEngineMonitor` components linked to an
// engine hear of every extendable object made and destroyed while they are
// started, and may attach `TmvBaseEngineExtender`s to them; an extender is
// told of the engine actions in its set and may veto them.
//
// Threads: the session list and the monitor list have their own locks; the
// counters change atomically. Calls the foundation and the server objects.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/mvllStateComponent.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerObjects.h"

class TmvAbstractSession;
class TmvBaseEngineMonitor;

// The exception class an engine raises when an extender vetoes the
// construction of an object: its name and a raiser taking the code.
struct TmvServerExceptionClassRef : ClassRef {
  void (*Raise)(uint32_t aCode);  // raises; never returns
};

template <typename E>
void mvRaiseServerException(uint32_t aCode) {
  throw E(int64_t(aCode));
}

// Defines `<E>Class`, the class reference of the server exception E.
#define MV_SERVER_EXCEPTION_CLASSREF(E, ParentRef) \
  constinit const TmvServerExceptionClassRef E##Class { {u"" #E, ParentRef}, &mvRaiseServerException<E> }

class TmvBaseServerEngine : public TmvStateComponent {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  explicit TmvBaseServerEngine(TComponent* aOwner);
  ~TmvBaseServerEngine() override;

  // mvConvertException with the engine's event log and the object's peer
  // version (47501 without object).
  virtual uint32_t bseConvertException(const std::exception& e, TmvAbstractServerObject* aObject);
  // The same for the exception being handled (call inside a catch block).
  uint32_t bseConvertCurrentException(TmvAbstractServerObject* aObject);
  // The class raised for a vetoed construction.
  virtual const TmvServerExceptionClassRef& bseGetExceptionClass() = 0;
  // Tell every started monitor (under the monitor list's read lock).
  virtual void bseExtendableObjectCreated(TmvExtendableServerObject* aObject);
  virtual void bseExtendableObjectDestroyed(TmvExtendableServerObject* aObject);
  virtual TGUID GetServerGuid() = 0;
  virtual String GetServerName() = 0;
  // "<ServerEngine>": the component's own instance factory; any other name:
  // each dependent component of that name (every one for "") in iteration
  // order until one answers S_OK; E_NOINTERFACE otherwise.
  virtual int32_t bseCreateInstanceFor(TmvAbstractSession* aSession, const String& aName, const TGUID& aClassID,
                                       IInterface* aOuter, const TGUID& aInterfaceID, void** aInterface);
  // The session list became empty; runs under the session list's padlock.
  virtual void bseLastSessionClosed() {}
  virtual bool bseKeepSessionStats() { return false; }
  virtual bool IsSecureServer() { return false; }

  // SessionOpenEx for the client version 47501.
  uint32_t SessionOpen(TmvAbstractSession*& aSession, const String& aUserName, const String& aPassword,
                       const String& aConnectedFrom, uint32_t aTimeout);
  virtual uint32_t SessionOpenEx(TmvAbstractSession*& aSession, const String& aUserName, const String& aPassword,
                                 const String& aConnectedFrom, uint32_t aTimeout, int32_t aClientVersion) = 0;

  // Live objects of each kind.
  int32_t SessionCount() const { return bseSessionCount.load(std::memory_order_acquire); }
  int32_t DatabaseCount() const { return bseDatabaseCount.load(std::memory_order_acquire); }
  int32_t TransContextCount() const { return bseTransContextCount.load(std::memory_order_acquire); }
  int32_t CursorCount() const { return bseCursorCount.load(std::memory_order_acquire); }
  int32_t StatementCount() const { return bseStatementCount.load(std::memory_order_acquire); }
  // The counters themselves, for the objects that keep them.
  std::atomic<int32_t> bseSessionCount{0};
  std::atomic<int32_t> bseDatabaseCount{0};
  std::atomic<int32_t> bseTransContextCount{0};
  std::atomic<int32_t> bseCursorCount{0};
  std::atomic<int32_t> bseStatementCount{0};

  // The sessions, oldest first (the caller holds the padlock to walk them).
  TmvPadlock* SessionsPadlock() { return &bseSessionsPadlock; }
  TmvAbstractSession* FirstSession() const { return bseSessionsHead; }

  // Dependents that are monitors join the monitor list too.
  void AddDependent(TmvComponent* aComponent) override;
  void RemoveDependent(TmvComponent* aComponent) override;
  void WriteComponentInfo(ImvExceptionDataContainer* aContainer) override;
  void GetStatsCaptions(std::vector<String>& aCaptions) const override;
  void GetStatsValues(std::vector<String>& aValues) const override;

 protected:
  // Frees every session, the last first.
  void DoStop() override;
  bool ShowsUptimeStat() const override { return true; }

 private:
  friend class TmvAbstractSession;
  template <typename F>
  void ForEachStartedMonitor(F&& aVisit);

  TmvPadlock bseSessionsPadlock;
  TmvAbstractSession* bseSessionsHead = nullptr;
  TmvAbstractSession* bseSessionsTail = nullptr;
  TmvListPortal* bseMonitors;
};

// An object's place in one of its engine's live-object counters: counted in
// once after construction (aDone remembers it), counted out before
// destruction only when it was counted in. Nothing without an engine.
using TmvEngineCounter = std::atomic<int32_t> TmvBaseServerEngine::*;
void mvEngineCountIn(TmvAbstractServerObject* aObject, TmvEngineCounter aCounter, bool& aDone);
void mvEngineCountOut(TmvAbstractServerObject* aObject, TmvEngineCounter aCounter, bool& aDone);

class TmvBaseEngineExtender;

class TmvBaseEngineMonitor : public TmvStateComponent {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  explicit TmvBaseEngineMonitor(TComponent* aOwner);
  ~TmvBaseEngineMonitor() override;

  TmvBaseServerEngine* GetServerEngine() const { return bemServerEngine; }
  // Requires the monitor to be inactive; links the engine both ways.
  void SetServerEngine(TmvBaseServerEngine* aEngine);

  // The engine is about to start, has stopped; an extendable object was
  // made or is being destroyed. Nothing at this level.
  virtual void bemEngineStarting() {}
  virtual void bemEngineStopped() {}
  virtual void ExtendableObjectCreated(TmvExtendableServerObject*) {}
  virtual void ExtendableObjectDestroyed(TmvExtendableServerObject*) {}

  bool DependsOn(TmvComponent* aComponent) override;
  void DependencyStateChange(TmvStateComponent* aSender, bool aChanging, TmvState aOldState,
                             TmvState aNewState) override;
  void HandleNotification(TmvComponent* aSender, TmvNotifyOp aOperation, void* aParam) override;

  TmvBaseEngineExtender* FirstExtender() const { return bemExtendersHead; }

 protected:
  // Frees every extender the monitor created.
  void DoStop() override;

 private:
  friend class TmvBaseEngineExtender;
  TmvBaseServerEngine* bemServerEngine = nullptr;
  TmvPadlock bemExtendersLock;
  TmvBaseEngineExtender* bemExtendersHead = nullptr;
  TmvBaseEngineExtender* bemExtendersTail = nullptr;
};

// Attached to one extendable object (and created by a monitor, or by
// itself without one); told of the actions in its set.
class TmvBaseEngineExtender : public TmvLifetimeTrackedPersistent {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // An empty action set becomes every action but eaRecordFulltextUpdate.
  // Links itself at the tail of the monitor's list and of the object's,
  // and adds its actions to the object's set.
  TmvBaseEngineExtender(TmvBaseEngineMonitor* aMonitor, TmvExtendableServerObject* aExtendableObject,
                        TmvEngineActions aActions = {});
  // Unlinks itself from the object and from the monitor.
  ~TmvBaseEngineExtender() override;

  // An instance request that reached the extender through its object's
  // "<Extenders>" lookup; E_NOINTERFACE here.
  virtual int32_t beeCreateInstance(const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                                    void** aInterface);
  virtual uint32_t Notify(TmvEngineAction aAction, bool aBefore, TmvActionArgs aArgs) = 0;
  virtual void PrepareDestroy() {}
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  TmvBaseEngineMonitor* Monitor() const { return beeMonitor; }
  TmvExtendableServerObject* ExtendableObject() const { return beeExtendableObject; }
  TmvEngineActions Actions() const { return beeActions; }
  TmvBaseEngineExtender* NextOfObject() const { return beeExtendableObjectNext; }

 private:
  friend class TmvExtendableServerObject;
  friend class TmvBaseEngineMonitor;
  TmvBaseEngineMonitor* beeMonitor;
  TmvBaseEngineExtender* beeMonitorNext = nullptr;
  TmvBaseEngineExtender* beeMonitorPrev = nullptr;
  TmvExtendableServerObject* beeExtendableObject;
  TmvBaseEngineExtender* beeExtendableObjectNext = nullptr;
  TmvBaseEngineExtender* beeExtendableObjectPrev = nullptr;
  TmvEngineActions beeActions;
};
