// Server engine: the base classes of every server object (unit
// mvsdServerObjects).
//
// Every object a client holds (session, database, transaction context,
// cursor, statement, task info) and the engine's own folders and tables
// derive from this family. It gives them:
//  - an identity a client can hand back: an opaque 64-bit handle from a
//    process-wide counter, never reused, registered once the object is
//    built and withdrawn as its destruction begins. LookupByID finds the
//    object by handle, class and session in the registry alone: a stale or
//    forged handle is refused with 9990 without reading the memory it might
//    once have named;
//  - a two-phase teardown: PrepareDestroy, which owners call on all their
//    children before freeing any, then destruction;
//  - the conversion of any exception into an error code at the public
//    boundary (the engine converts and logs it);
//  - a named-service lookup by path ("<Session>.<Self>");
//  - engine extenders attached to an object, told about engine actions and
//    able to veto them;
//  - name=value options inherited from the parent object;
//  - for the objects clients call (timeout objects): a timeout and the
//    session's lock, and the public-boundary frame every public operation
//    runs in (atoPublicCall, atoLockedCall).
//
// Make objects with Create<T>(...) and free them with delete (or Free):
// Create runs AfterConstruction (extender notifications, counters) and
// registers the handle; delete runs BeforeDestruction on the whole object
// (destroying mark, notifications, PrepareDestroy) before the destructors.
//
// Threads: an object is used under its session's lock; its extender list
// and, for the locked-options objects, its option list have padlocks of
// their own. The handle registry is safe from any thread.
// Calls the foundation, storage's deadline hooks, and the session lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <utility>
#include <variant>

#include "foundation/mvllComponents.h"
#include "foundation/sync/mvllSync.h"
#include "foundation/sync/mvllTimeoutHooks.h"
#include "foundation/types/mvsdTypes.h"
#include "server/mvsdSimpleLock.h"

class TStrings;
class TmvAbstractSession;
class TmvBaseServerEngine;
class TmvBaseEngineExtender;
class TmvExtendableServerObject;

// A server object's handle, and a session's.
using TmvBaseID = uint64_t;
using TmvSessionID = uint64_t;

// The class identifier under which an object hands out its own interfaces
// ("<Self>").
inline constexpr TGUID CLSID_mvServerObjectSelf{
    0x762A2DA1, 0x44B8, 0x447A, {0x8C, 0xCA, 0x74, 0xEB, 0xEA, 0xA4, 0xE9, 0xF1}};

// ---------------------------------------------------------------------------
// Engine actions

enum TmvEngineAction : uint8_t {
  eaCreate,
  eaDestroy,
  eaChildCreate,
  eaChildDestroy,
  eaAliasAdd,
  eaAliasDelete,
  eaAliasModify,
  eaAliasGetList,
  eaAliasGetPath,
  eaCloseInactiveFolders,
  eaCloseInactiveTables,
  eaBuildPasswords,
  eaGetRegisteredClassList,
  eaTransactionStart,
  eaTransactionCommit,
  eaTransactionRollback,
  eaTableBuild,
  eaTablePack,
  eaTableBackup,
  eaTableRebuildIndex,
  eaTableRestructure,
  eaTableAddField,
  eaTableAddIndex,
  eaTableDropIndex,
  eaTableRename,
  eaTableRecover,
  eaTableVerifyChecksum,
  eaTableDelete,
  eaTableEmpty,
  eaTableExists,
  eaTableGetDictionary,
  eaTableGetList,
  eaGetChangedTables,
  eaOpenFile,
  eaOpenFiles,
  eaRecordGet,
  eaRecordInsert,
  eaRecordModify,
  eaRecordDelete,
  eaRecordFulltextUpdate,
  eaStatementPrepare,
  eaStatementExec,
  eaStatementSetParams,
  eaStatementGetParams,
};
inline constexpr int mvEngineActionCount = 44;

// A set of actions in 6 bytes: bits 0 to 47, action n in bit n mod 8 of
// byte n div 8. A value above 47 is never a member.
class TmvEngineActions {
 public:
  static constexpr int Bits = 48;

  constexpr TmvEngineActions() = default;
  constexpr TmvEngineActions(std::initializer_list<TmvEngineAction> aActions) {
    for (TmvEngineAction a : aActions) Include(a);
  }
  static constexpr TmvEngineActions FromMask(uint64_t aMask) {
    TmvEngineActions s;
    for (int i = 0; i < 6; ++i) s.fBytes[i] = uint8_t(aMask >> (8 * i));
    return s;
  }
  // Every action but those given.
  static constexpr TmvEngineActions AllBut(std::initializer_list<TmvEngineAction> aActions) {
    TmvEngineActions s = FromMask((uint64_t(1) << mvEngineActionCount) - 1);
    for (TmvEngineAction a : aActions) s.Exclude(a);
    return s;
  }

  constexpr uint64_t Mask() const {
    uint64_t m = 0;
    for (int i = 0; i < 6; ++i) m |= uint64_t(fBytes[i]) << (8 * i);
    return m;
  }
  constexpr bool Contains(int aAction) const {
    return aAction >= 0 && aAction < Bits && ((fBytes[aAction >> 3] >> (aAction & 7)) & 1) != 0;
  }
  constexpr void Include(int aAction) {
    if (aAction >= 0 && aAction < Bits) fBytes[aAction >> 3] |= uint8_t(1u << (aAction & 7));
  }
  constexpr void Exclude(int aAction) {
    if (aAction >= 0 && aAction < Bits) fBytes[aAction >> 3] &= uint8_t(~(1u << (aAction & 7)));
  }
  constexpr bool Empty() const { return Mask() == 0; }
  friend constexpr bool operator==(const TmvEngineActions& a, const TmvEngineActions& b) { return a.Mask() == b.Mask(); }

 private:
  uint8_t fBytes[6] = {};
};
static_assert(sizeof(TmvEngineActions) == 6);

// One argument of an action notification: a flag, a number, a text, an
// object, or the address of a caller's variable (a path to fill in, a
// password list to add to) or list. The order per action is fixed (see
// NotifyExtenders).
using TmvActionArg = std::variant<bool, int64_t, String, TPersistent*, void*>;
using TmvActionArgs = std::initializer_list<TmvActionArg>;
// The method to call for one action (see GetNotifyFor); empty for none.
using TmvNotifyMethod = std::function<uint32_t(TmvEngineAction, bool, TmvActionArgs)>;

// ---------------------------------------------------------------------------
// Server objects

class TmvAbstractServerObject : public TmvLifetimeTrackedPersistent {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  explicit TmvAbstractServerObject(TmvAbstractSession* aSession);
  ~TmvAbstractServerObject() override;

  // The one way to make a server object: constructs it, runs
  // AfterConstruction (a veto there destroys it again and the exception
  // continues) and registers its handle.
  template <typename T, typename... Args>
  static T* Create(Args&&... aArgs) {
    T* object = new T(std::forward<Args>(aArgs)...);
    try {
      object->AfterConstruction();
    } catch (...) {
      delete object;
      throw;
    }
    object->asoRegisterHandle();
    return object;
  }
  // Destroys the object unless it is nil or already being destroyed.
  static void Free(TmvAbstractServerObject* aObject);
  // Close of a client's object: 0 for nil, else the object's Close.
  static uint32_t CloseObject(TmvAbstractServerObject* aObject) { return aObject ? aObject->Close() : 0; }

  // The second construction step, run on the whole object.
  virtual void AfterConstruction() {}
  // The destroying mark (and the handle withdrawn), then the notifications
  // of the object's kind, then PrepareDestroy.
  void BeforeDestruction() override;

  // Handles. LookupByID validates a handle a client passed in: 0 with the
  // object when the handle names a live object of class T (or a descendant)
  // of session aSessionID; otherwise 9990 "Invalid handle to the function."
  // and nil. A session is looked up with session ID 0. Only the registry
  // is consulted.
  template <typename T>
  static uint32_t LookupByID(TmvSessionID aSessionID, TmvBaseID aBaseID, T*& aBase) {
    aBase = static_cast<T*>(asoFindHandle(aSessionID, aBaseID, T::StaticClass));
    return aBase ? 0 : asoInvalidHandle();
  }
  virtual TmvBaseID GetRemoteID() { return asoHandle.load(std::memory_order_acquire); }
  virtual bool GetIsRemote() { return false; }
  // In-process objects have no remote thread: 0, and setting is ignored.
  virtual int32_t GetRemoteThreadPriority() { return 0; }
  virtual void SetRemoteThreadPriority(int32_t) {}
  // The session's version; without one the thread's peer version.
  virtual int32_t GetMinVersion();
  virtual int32_t asoCreateSelfInstance(const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                                        void** aInterface);
  virtual TmvBaseServerEngine* GetServerEngine() { return nullptr; }
  // The error code of e, its text recorded as the thread's last converted
  // exception; converted (and logged) by the engine.
  virtual uint32_t asoConvertException(const std::exception& e);
  // The same for the exception being handled (call inside a catch block;
  // also takes exceptions outside the std::exception family).
  uint32_t asoConvertException();
  virtual void PrepareDestroy() {}
  // 8455 while being destroyed; else frees the object: 0, or the converted
  // exception of the teardown.
  virtual uint32_t Close();
  // Looks up a named service by path: the name is split at its first "."
  // (an empty tail is "<Self>"); "<Self>" and "<Session>" are this level's
  // heads, other names go to the engine. An HRESULT.
  virtual int32_t CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter,
                                    const TGUID& aInterfaceID, void** aInterface);

  // Answers IInterface (no reference counting).
  int32_t QueryInterface(const TGUID& iid, void** obj) override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;
  // With aFlag, the detailed form: the lists of owned objects too.
  void WriteExceptionData(ImvExceptionDataContainer* aContainer, bool aFlag) override;

  TmvAbstractSession* Session() const { return asoSession; }
  bool Destroying() const { return asoDestroying.load(std::memory_order_acquire); }
  // An outside flag set to true as destruction begins (nil: none).
  void SetDestroyFlag(bool* aFlag) { asoDestroyFlag = aFlag; }

 protected:
  // Splits a lookup path at its first "."; an empty tail is "<Self>".
  static void SplitInstancePath(const String& aName, String& aHead, String& aTail);
  // The notifications between the destroying mark and PrepareDestroy.
  virtual void asoAnnounceDestruction() {}
  // The detailed diagnostics: lists of owned objects.
  virtual void asoWriteDetails(ImvExceptionDataContainer*) {}

  std::atomic<bool> asoDestroying{false};
  bool* asoDestroyFlag = nullptr;
  TmvAbstractSession* asoSession;

 private:
  void asoRegisterHandle();
  void asoWithdrawHandle();
  static TmvAbstractServerObject* asoFindHandle(TmvSessionID aSessionID, TmvBaseID aBaseID, const ClassRef& aClass);
  static uint32_t asoInvalidHandle();

  std::atomic<TmvBaseID> asoHandle{0};
};

class TmvExtendableServerObject : public TmvAbstractServerObject {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // The owning session is aParent when that is a session, else aParent's.
  explicit TmvExtendableServerObject(TmvExtendableServerObject* aParent);
  // Frees the attached extenders, tells the engine's monitors that the
  // object is gone and frees the options.
  ~TmvExtendableServerObject() override;

  // Tells the monitors, then the parent's extenders (eaChildCreate) and the
  // own (eaCreate); a code from them raises the engine's exception class.
  void AfterConstruction() override;
  TmvBaseServerEngine* GetServerEngine() override;
  int32_t CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                            void** aInterface) override;
  // Each extender's PrepareDestroy; failures are converted and passed over.
  void PrepareDestroy() override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  // Options: names and values are strings, names compare without case.
  // The eso forms act on the object's own list; the public forms clear the
  // out value first. 8712 "Could not find object." for an absent option.
  virtual bool esoReportToMonitors() { return true; }
  virtual TmvExtendableServerObject* esoGetOptionParent() { return esoParent; }
  virtual uint32_t esoOptionClear(const String& aName);
  // An empty value removes the line (the list stays, even when empty).
  virtual uint32_t esoOptionSet(const String& aName, const String& aValue);
  virtual void esoOptionChanged(const String& aName, const String& aValue);
  virtual uint32_t esoOptionGet(const String& aName, String& aValue);
  virtual uint32_t esoOptionGetInherited(const String& aName, String& aValue);
  virtual uint32_t esoOptionGetEffective(const String& aName, String& aValue);
  virtual uint32_t esoOptionList(TStrings* aList);
  virtual uint32_t esoOptionListInherited(TStrings* aList);
  virtual uint32_t esoOptionListEffective(TStrings* aList);
  // Adds the lines of aInherited whose names aList does not have yet.
  virtual void esoOptionListMerge(TStrings* aList, TStrings* aInherited);
  virtual int32_t esoExtendersCreateInstance(const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                                             void** aInterface);
  virtual uint32_t OptionClear(const String& aName);
  virtual uint32_t OptionSet(const String& aName, const String& aValue);
  virtual uint32_t OptionGet(const String& aName, String& aValue);
  virtual uint32_t OptionGetEffective(const String& aName, String& aValue);
  virtual uint32_t OptionList(TStrings* aList);
  virtual uint32_t OptionListEffective(TStrings* aList);

  // Tells the attached extenders that want the action, in list order, and
  // answers the first non-zero code (an exception becomes its code). The
  // "before" call may veto; the "after" call's answer is ignored by callers.
  // Arguments per action: eaChildCreate/eaChildDestroy [child];
  // eaAliasAdd [alias, path, enforce]; eaAliasDelete [alias]; eaAliasModify
  // [alias, new name, new path, enforce]; eaAliasGetList [list];
  // eaAliasGetPath [alias, address of the path]; eaBuildPasswords [alias,
  // table, address of the password list]; eaGetRegisteredClassList [list
  // type, list]; the rest [].
  virtual uint32_t NotifyExtenders(TmvEngineAction aAction, bool aBefore, TmvActionArgs aArgs);
  // Nothing when no extender wants the action, the one extender's Notify
  // when exactly one does, NotifyExtenders when several do.
  TmvNotifyMethod GetNotifyFor(TmvEngineAction aAction);
  // The first attached extender that is of the class (or derives from it).
  TmvBaseEngineExtender* GetExtenderOfType(const ClassRef& aExtenderClass);
  TmvEngineActions ExtendersActions() const {
    return TmvEngineActions::FromMask(esoExtendersActions.load(std::memory_order_acquire));
  }

  void BeginIgnoreSecurity() { esoIgnoreSecurity.fetch_add(1, std::memory_order_acq_rel); }
  void EndIgnoreSecurity() { esoIgnoreSecurity.fetch_sub(1, std::memory_order_acq_rel); }
  // The own counter is at least 1, or the parent ignores security.
  bool IgnoreSecurity() const;

  TmvExtendableServerObject* Parent() const { return esoParent; }
  // Whether the object keeps an option list (it goes with its last line).
  bool HasOptionList() const { return esoOptions != nullptr; }

 protected:
  void asoAnnounceDestruction() override;

  TmvExtendableServerObject* esoParent;

 private:
  friend class TmvBaseEngineExtender;
  // The extenders lock, created on first use and published atomically.
  TmvPadlock* ExtendersLock() const { return __atomic_load_n(&esoExtendersLock, __ATOMIC_ACQUIRE); }
  void LockExtenders() { TmvPadlock::CreateAndLock(esoExtendersLock); }

  TmvPadlock* esoExtendersLock = nullptr;
  TmvBaseEngineExtender* esoExtendersHead = nullptr;
  TmvBaseEngineExtender* esoExtendersTail = nullptr;
  // The union of the attached extenders' sets; only grows.
  std::atomic<uint64_t> esoExtendersActions{0};
  TStrings* esoOptions = nullptr;
  std::atomic<int32_t> esoIgnoreSecurity{0};
  // The engine as it was when destruction began, for the destructor's report.
  TmvBaseServerEngine* esoEngineAtDestruction = nullptr;
};

// Server folders and tables: objects several sessions share, whose options
// are guarded by a padlock of their own.
class TmvLockedOptionsExtendableServerObject : public TmvExtendableServerObject {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  using TmvExtendableServerObject::TmvExtendableServerObject;
  ~TmvLockedOptionsExtendableServerObject() override;

  uint32_t esoOptionClear(const String& aName) override;
  uint32_t esoOptionSet(const String& aName, const String& aValue) override;
  uint32_t esoOptionGet(const String& aName, String& aValue) override;
  uint32_t esoOptionList(TStrings* aList) override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

 private:
  template <typename F>
  uint32_t UnderOptionsLock(F&& aWork);

  TmvPadlock* loesoOptionsLock = nullptr;
};

// A background task's handle (the tasks themselves come later): linked into
// its session's list while it lives.
class TmvAbstractTaskInfo : public TmvExtendableServerObject {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  explicit TmvAbstractTaskInfo(TmvExtendableServerObject* aParent);
  ~TmvAbstractTaskInfo() override;

  virtual uint32_t GetStatus(bool& aCompleted, TmvTaskStatus& aStatus) = 0;
  virtual uint32_t Cancel() = 0;

  // Cancels, then the extendable steps.
  void PrepareDestroy() override;
  int32_t CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                            void** aInterface) override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

 private:
  friend class TmvAbstractSession;
  TmvAbstractTaskInfo* atiSessionPrev = nullptr;
  TmvAbstractTaskInfo* atiSessionNext = nullptr;
};

// The objects clients call: a timeout and the session's lock.
class TmvAbstractTimeoutObject : public TmvExtendableServerObject {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // Takes the session's lock (a session sets its own).
  TmvAbstractTimeoutObject(TmvExtendableServerObject* aParent, uint32_t aTimeout);
  ~TmvAbstractTimeoutObject() override;

  uint32_t GetTimeout() const { return atoTimeout.load(std::memory_order_acquire); }
  virtual void SetTimeout(uint32_t aValue) { atoTimeout.store(aValue, std::memory_order_release); }
  // Timeout batching is not supported: forwarded to the owning session,
  // which (having none) answers -1; atoForwardToSession answers 0.
  virtual int32_t atoForwardToSession(int32_t aValue);
  virtual int32_t BeginTimeoutBatch();
  virtual int32_t EndTimeoutBatch();
  // The lock's LastLocked; 0 without a lock.
  uint64_t LastLocked();

  // Close inside the session lock: a session also marks its lock
  // permanently failed and lets it go first, so that its clean-up runs.
  uint32_t Close() override;
  // The public option forms, each inside the session lock.
  uint32_t OptionClear(const String& aName) override;
  uint32_t OptionSet(const String& aName, const String& aValue) override;
  uint32_t OptionGet(const String& aName, String& aValue) override;
  uint32_t OptionGetEffective(const String& aName, String& aValue) override;
  uint32_t OptionList(TStrings* aList) override;
  uint32_t OptionListEffective(TStrings* aList) override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  // The public-boundary frame, written once for every public operation:
  // the thread's deadline from the timeout (unless an outer operation set
  // one), the session lock (its refusals raise to the caller), in the fuller
  // form a timeout scope so that nested public calls keep the deadline, the
  // work with every exception converted into the result, and Unlock, which
  // may turn a 0 result into 15461. aWork returns the result code.
  template <typename F>
  uint32_t atoPublicCall(F&& aWork) {
    return atoRun(true, aWork);
  }
  // The same without the timeout scope.
  template <typename F>
  uint32_t atoLockedCall(F&& aWork) {
    return atoRun(false, aWork);
  }

  ImvSimpleLock* GetLock() const { return atoLock.get(); }

 protected:
  // Deadline and lock, then (aScope) the timeout scope.
  void atoEnter(bool aScope);
  // The timeout scope closed (aScope), then Unlock(aResult).
  void atoLeave(bool aScope, uint32_t& aResult);

  TInterfacePtr<ImvSimpleLock> atoLock;

 private:
  template <typename F>
  uint32_t atoRun(bool aScope, F& aWork) {
    atoEnter(aScope);
    uint32_t result;
    try {
      result = aWork();
    } catch (...) {
      result = asoConvertException();
    }
    atoLeave(aScope, result);
    return result;
  }

  TmvAbstractTimeoutObject* atoTimeoutBatchPrev = nullptr;
  TmvAbstractTimeoutObject* atoTimeoutBatchNext = nullptr;
  std::atomic<uint32_t> atoTimeout;
};
