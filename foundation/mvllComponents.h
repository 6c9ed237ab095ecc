// Foundation: the base of every engine component and persistent object.
//
// `TmvComponent` adds to the platform's component: allocation from the engine
// allocator, a display name and category, a version text, a lifetime
// monitor, a list of linked dependents that receive notifications, traversal
// of the whole graph of linked components (to list them or to broadcast),
// component information objects for monitoring, helpers that raise the
// component's own exception class, and keyed settings with a binary settings
// stream. `TmvRegisterableComponent` adds a registry of component classes;
// `TmvPersistent` and `TmvLifetimeTrackedPersistent` are the bases of
// persistent objects that are not components.
//
// Threading: a component is used by the thread that owns it; only its
// dependent list is shared, behind its own re-entrant padlock.
#pragma once

#include <functional>
#include <vector>

#include "foundation/errors/mvllExceptionData.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllLists.h"
#include "foundation/sync/mvllSync.h"
#include "platform/Components.h"
#include "platform/Interfaces.h"
#include "platform/Variants.h"

class TStream;
class TStrings;
class TmvReader;
class TmvWriter;
class TmvComponent;
class TmvIterationList;
class ImvExceptionDataContainer;

// ---------------------------------------------------------------------------
// Shared small types

using TNotifyEvent = std::function<void(TPersistent* sender)>;

// Notification operations of the dependent graph (one byte); descendants use
// other values of their own.
using TmvNotifyOp = uint8_t;
inline constexpr TmvNotifyOp mvnoDestroying = 1;     // the sender is being destroyed
inline constexpr TmvNotifyOp mvnoStateChanging = 4;  // param: TmvStateChangeParam
inline constexpr TmvNotifyOp mvnoStateChanged = 5;   // param: TmvStateChangeParam
inline constexpr TmvNotifyOp mvnoIterate = 6;        // param: TmvIterationData
inline constexpr TmvNotifyOp mvnoBroadcast = 9;      // param: TmvBroadcastData

// The engine version as the component's `Version` shows it.
inline constexpr char16_t mvComponentVersion[] = u"4.7501 (Linux build)";

// ---------------------------------------------------------------------------
// Exception classes as class references: how a component raises "its"
// exception class without knowing it statically.

struct TmvComponentExceptionClassRef : ClassRef {
  // Raise the class created for the component with (code), (text) or
  // (code, text): the constructors of the component exception family.
  // Each of them raises; none returns.
  void (*RaiseCode)(const TComponent* component, uint32_t code);
  void (*RaiseText)(const TComponent* component, const String& text);
  void (*RaiseCodeText)(const TComponent* component, uint32_t code, const String& text);
};

template <typename E>
void mvRaiseComponentCode(const TComponent* component, uint32_t code) {
  throw E(component, code);
}
template <typename E>
void mvRaiseComponentText(const TComponent* component, const String& text) {
  throw E(component, text);
}
template <typename E>
void mvRaiseComponentCodeText(const TComponent* component, uint32_t code, const String& text) {
  throw E(component, code, text);
}

// Defines `<E>Class`, the class reference of the component exception E.
#define MV_COMPONENT_EXCEPTION_CLASSREF(E, ParentRef)                                           \
  constinit const TmvComponentExceptionClassRef E##Class {                                     \
    {u"" #E, ParentRef}, &mvRaiseComponentCode<E>, &mvRaiseComponentText<E>, &mvRaiseComponentCodeText<E> \
  }

extern const TmvComponentExceptionClassRef EmvComponentExceptionClass;
extern const TmvComponentExceptionClassRef EmvRegisterableComponentExceptionClass;

// ---------------------------------------------------------------------------
// Settings

enum TmvSettingType : uint8_t {
  mvstString,
  mvstInteger,
  mvstBoolean,
  mvstStream,
  mvstList,
  mvstThreadPriority,
  mvstSingleOption,
  mvstMultiOption,
  mvstAliases,
  mvstUsers,
  mvstExtended,
  mvstPasswordString,
  mvstCaption,
  mvstMemo,
  mvstPasswordMemo,
};

// One setting of a component: its name, type, default and limits.
class TmvBaseSetting : public TmvObject {
 public:
  bool fEnforceValues = false;
  Variant fDefaultValue, fMin, fMax;
  String fValueList, fPropertyName, fName, fHint;
  TmvSettingType fSettingType = mvstString;
  String fLabel;
  bool fHideFromGUI = false;
  bool fNotQueryable = false;

  // `fLabel` when set; otherwise the name with a blank before every
  // upper-case letter A to Z after the first character.
  String GetLabel() const;
};

// An indexed collection of settings; the host supplies the storage.
class TmvBaseSettings : public TmvObject {
 public:
  virtual int32_t Count() const = 0;
  virtual TmvBaseSetting* GetSetting(int32_t index) const = 0;
  virtual void SetSetting(int32_t index, TmvBaseSetting* setting) = 0;
  virtual TmvBaseSetting* AddSetting() = 0;
  virtual void RemoveSetting(int32_t index) = 0;
};

class TmvBaseComponentConfiguration;

// Store of settings for several components.
class TmvBaseServerConfiguration : public TmvObject {
 public:
  bool fReportErrors = false;
  String fFileName;
  String fConfigErrors;

  virtual void EnsureComponentConfiguration(const String& componentName, TmvBaseSettings* settings) = 0;
  virtual TmvBaseComponentConfiguration* GetComponentConfiguration(const String& componentName) = 0;
  virtual void Save() = 0;
};

// One component's view of a server configuration. Nothing at this level.
class TmvBaseComponentConfiguration : public TmvObject {
 public:
  TmvBaseServerConfiguration* fConfig = nullptr;

  virtual Variant GetValue(const String& name, const Variant& defaultValue);
  virtual void SetValue(const String& name, const Variant& value);
  virtual void GetValueStream(const String& name, TStream* stream);
  virtual void SetValueStream(const String& name, TStream* stream);
};

// ---------------------------------------------------------------------------
// Component information objects (monitoring)

class ImvComponentInfoDisconnect : public IInterface {
 public:
  virtual void Disconnect() = 0;
};

class ImvComponentInfo31000 : public IInterface {
 public:
  virtual String GetClassName() = 0;
  virtual String GetName() = 0;
  virtual String GetDisplayName() = 0;
  virtual String GetDisplayCategory() = 0;
  virtual std::vector<String> GetStatsCaptions() = 0;
  virtual std::vector<String> GetStatsValues() = 0;
};

inline constexpr TGUID IID_ImvComponentInfoDisconnect{0x5D4C2A10, 0x7F31, 0x4B8E, {0x9A, 0x61, 0x2C, 0x0D, 0x3E, 0x84, 0x51, 0x01}};
inline constexpr TGUID IID_ImvComponentInfo31000{0x5D4C2A10, 0x7F31, 0x4B8E, {0x9A, 0x61, 0x2C, 0x0D, 0x3E, 0x84, 0x51, 0x02}};
// The class identifier through which `mvcCreateInstance` hands out the
// component information object.
inline constexpr TGUID CLSID_mvComponentInfo{0x9A00537F, 0x49C8, 0x456A, {0x87, 0x70, 0xE2, 0x14, 0x37, 0x49, 0xD2, 0xFC}};

// A reference-counted view of one component for monitoring tools; it
// forgets the component when the component goes away.
class TmvComponentInfo : public TmvInterfacedObject, public ImvComponentInfoDisconnect, public ImvComponentInfo31000 {
 public:
  explicit TmvComponentInfo(TmvComponent* component) : ciComponent(component) {}

  // One count for the object, whichever interface is asked.
  int32_t QueryInterface(const TGUID& iid, void** obj) override { return TmvInterfacedObject::QueryInterface(iid, obj); }
  int32_t _AddRef() override { return TmvInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TmvInterfacedObject::_Release(); }

  void Disconnect() override;
  String GetClassName() override;
  String GetName() override;
  String GetDisplayName() override;
  String GetDisplayCategory() override;
  std::vector<String> GetStatsCaptions() override;
  std::vector<String> GetStatsValues() override;

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override;
  TmvComponent* Component() const { return ciComponent.load(std::memory_order_acquire); }

 private:
  std::atomic<TmvComponent*> ciComponent;
};

// ---------------------------------------------------------------------------
// Components

// Family record of engine components: the virtual constructor and the
// class-level exception class.
struct TmvComponentClassRef : TComponentClassRef {
  const TmvComponentExceptionClassRef* ExceptionClass;
};

// The platform component with its instances taken from the engine allocator.
class TmvComponent_BCB : public TComponent {
  MV_DECLARE_CLASSREF(TComponentClassRef)
 public:
  using TComponent::TComponent;

  static void* operator new(size_t size);
  static void operator delete(void* p);
  // Declared beside operator new so that the compiler pairs the two; it runs
  // the platform's destroying delete, which frees through FreeInstanceFunc.
  static void operator delete(TmvComponent_BCB* obj, std::destroying_delete_t d);

 protected:
  TFreeInstance FreeInstanceFunc() const override;
};

// What `IterateDependents` and `Broadcast` carry through the graph.
struct TmvIterationData {
  TmvIterationList* IteratonList = nullptr;
  const std::vector<String>* IgnoreIterateClasses = nullptr;  // sorted, ignoring case
};
struct TmvBroadcastData : TmvIterationData {
  TmvComponent* bdSender = nullptr;
  TmvNotifyOp bdNotifyOp = 0;
  void* bdParam = nullptr;
};

struct TmvIterationListClassRef : ClassRef {
  TmvIterationList* (*Create)();
};

class TmvComponent : public TmvComponent_BCB, public ImvExceptionData {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  explicit TmvComponent(TComponent* owner);
  ~TmvComponent() override;
  void BeforeDestruction() override;

  const TmvComponentClassRef& ComponentClass() const {
    return static_cast<const TmvComponentClassRef&>(ClassType());
  }

  // Identity and naming.
  void* GetComponentID() { return this; }
  // The live component with that identity; raises "Invalid ComponentID" for
  // anything else (looked up in the set of live components, never probed).
  static TmvComponent* LookupByComponentID(void* id);
  String GetDisplayName() const;
  const String& GetStoredDisplayName() const { return mvcDisplayName; }
  void SetDisplayName(const String& value);
  const String& GetDisplayCategory() const { return mvcDisplayCategory; }
  void SetDisplayCategory(const String& value) { mvcDisplayCategory = value; }
  String GetVersion() const { return mvComponentVersion; }
  void SetVersion(const String&) {}
  bool IsDestroying() const { return mvcDestroying.load(std::memory_order_acquire); }

  // Lifetime: a weak reference for holders that must not keep it alive.
  TInterfacePtr<ImvLifetimeMonitorRef> GetLifetimeMonitor() { return mvGetLifetimeMonitor(mvcLifetimeMonitor); }

  // Component information object, created on first request.
  TInterfacePtr<IInterface> GetComponentInfo();
  virtual int32_t mvcCreateInstance(void* session, const TGUID& clsid, IInterface* outer, const TGUID& iid,
                                    void** obj);

  virtual void WriteComponentInfo(ImvExceptionDataContainer* container);
  void WriteExceptionData(ImvExceptionDataContainer* container, bool flag) override;

  // Errors.
  const TmvComponentExceptionClassRef& GetExceptionClass() const { return *ComponentClass().ExceptionClass; }
  virtual void CheckError(uint32_t code);
  [[noreturn]] virtual void RaiseComponentError(uint32_t code);
  [[noreturn]] virtual void RaiseComponentError(const String& text);
  [[noreturn]] virtual void RaiseComponentError(std::u16string_view fmt, std::initializer_list<TVarRec> args);
  [[noreturn]] virtual void RaiseComponentError(uint32_t code, const String& text);
  [[noreturn]] virtual void RaiseComponentError(uint32_t code, std::u16string_view fmt,
                                                std::initializer_list<TVarRec> args);

  // Dependents.
  virtual void AddDependent(TmvComponent* component);
  virtual void RemoveDependent(TmvComponent* component);
  void LinkDependent(TmvComponent* other);
  void UnlinkDependent(TmvComponent* other);
  int32_t DependentCount();
  virtual void HandleNotification(TmvComponent* sender, TmvNotifyOp operation, void* param);
  virtual void NotifyDependents(TmvNotifyOp operation, void* param, TmvComponent* excluded = nullptr);
  // The caller owns the result.
  TmvIterationList* IterateDependents(const TmvIterationListClassRef* listClass = nullptr);
  TmvIterationList* IterateDependentsEx(const std::vector<String>& ignoreClasses,
                                        const TmvIterationListClassRef* listClass = nullptr);
  virtual void Broadcast(TmvNotifyOp operation, void* param, const std::vector<String>& ignoreClasses = {});

  // Class lookup and display.
  virtual const ClassRef* FindClassRecursive(std::u16string_view suffix) const;
  virtual bool Supported() const { return true; }
  virtual bool UISettingsVisible() const { return true; }
  virtual bool UIStatsVisible() const;
  virtual void GetStatsCaptions(std::vector<String>& captions) const;
  virtual void GetStatsValues(std::vector<String>& values) const;
  virtual void ClearStats() {}
  virtual String GetDisplayOnlyValue(const String& name) const;

  // Configuration and settings.
  virtual void GetConfigSettings(TmvBaseSettings* settings);
  virtual void LoadConfig(TmvBaseComponentConfiguration* config);
  virtual void SaveConfig(TmvBaseComponentConfiguration* config);
  void DoLoadConfig(TmvBaseComponentConfiguration* config);
  virtual void LoadSettingsFromStream(TmvReader* reader);
  virtual void SaveSettingsToStream(TmvWriter* writer);
  TNotifyEvent OnSettingsLoaded;

 protected:
  virtual TInterfacePtr<IInterface> CreateComponentInfo();
  // The dependent list's padlock, for descendants that switch things
  // atomically with respect to notifications.
  TmvPadlock* DependentPadlock() const { return mvcDependentPadlock; }

 private:
  void SendDestroying();
  // Adds this component to the walk's list unless visited or ignored, and
  // passes the walk on; true when it was added.
  bool VisitAndPropagate(TmvNotifyOp operation, TmvIterationData* data);

  ImvLifetimeMonitorObject* mvcLifetimeMonitor = nullptr;  // one counted reference
  std::atomic<IInterface*> mvcComponentInfo{nullptr};     // holds one reference
  TmvSortedList* mvcDependentList = nullptr;
  TmvPadlock* mvcDependentPadlock = nullptr;
  std::atomic<bool> mvcDestroying{false};
  String mvcDisplayName;
  String mvcDisplayCategory;
};

// A component class that registers itself in one registry of component
// classes, so that hosts can find classes by name.
class TmvRegisterableComponent : public TmvComponent {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  using TmvComponent::TmvComponent;

  // Raises the class's exception class when it is already registered.
  static void RegisterClass(const TmvComponentClassRef& cls);
  static void UnregisterClass(const TmvComponentClassRef& cls);
  static const TmvComponentClassRef* FindRegisteredClass(std::u16string_view className);
  // Names and classes of the registered classes that descend from `base`.
  static void GetRegisteredClasses(const TmvComponentClassRef& base, TStrings* list);
};

// ---------------------------------------------------------------------------
// Iteration lists

// Components ordered by display name ignoring case, ties by address. The
// list does not own them.
class TmvIterationList : public TmvSortedList {
 public:
  static const TmvIterationListClassRef StaticClass;

  TmvIterationList() = default;
  int32_t Add(void* item) override;
  int8_t Compare(void* item1, void* item2) const override;
  // Whether `Add` takes the component; true at this level.
  virtual bool Accept(TmvComponent* component);

  TmvComponent* Components(int32_t index) const { return static_cast<TmvComponent*>(blGet(index)); }
  void SaveSettingsToStream(TmvWriter* writer);
  void LoadSetttingsFromStream(TmvReader* reader);
};

// ---------------------------------------------------------------------------
// Persistent objects

class TmvPersistent : public TPersistent, public IInterface, public ImvExceptionData {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  static void* operator new(size_t size);
  static void operator delete(void* p);
  // Declared beside operator new so that the compiler pairs the two; it runs
  // the platform's destroying delete, which frees through FreeInstanceFunc.
  static void operator delete(TmvPersistent* obj, std::destroying_delete_t d);

  // Reference counting is off: the owner frees the object.
  int32_t QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override { return -1; }
  int32_t _Release() override { return -1; }

  virtual void WriteObjectInfo(ImvExceptionDataContainer* container);
  void WriteExceptionData(ImvExceptionDataContainer* container, bool flag) override;
  // Records 12289 "%s not supported by %s" as the thread's last converted
  // exception and returns 12289.
  uint32_t NotSupported(const String& methodName = {}) const;

 protected:
  TFreeInstance FreeInstanceFunc() const override;
};

class TmvLifetimeTrackedPersistent : public TmvPersistent {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  ~TmvLifetimeTrackedPersistent() override;

  TInterfacePtr<ImvLifetimeMonitorRef> GetLifetimeMonitor() { return mvGetLifetimeMonitor(ltpLifetimeMonitor); }

 private:
  ImvLifetimeMonitorObject* ltpLifetimeMonitor = nullptr;  // one counted reference
};

// The number with thousands separators and no decimals, for statistics.
String mvFormatThousands(int64_t value);
