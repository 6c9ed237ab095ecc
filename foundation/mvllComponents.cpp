// Foundation: engine components and persistent objects. Dependents and their
// notification, graph traversal, component information, settings and the
// registry of component classes. See mvllComponents.h.
#include "foundation/mvllComponents.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllStreams.h"
#include "foundation/mvllUtils.h"
#include "platform/Classes.h"

// ---------------------------------------------------------------------------
// Exception class references of the component family

MV_COMPONENT_EXCEPTION_CLASSREF(EmvComponentException, nullptr);
MV_COMPONENT_EXCEPTION_CLASSREF(EmvRegisterableComponentException, &EmvComponentExceptionClass);

// ---------------------------------------------------------------------------
// Settings

String TmvBaseSetting::GetLabel() const {
  if (!fLabel.empty()) return fLabel;
  String label;
  for (size_t i = 0; i < fName.size(); ++i) {
    if (i > 0 && fName[i] >= u'A' && fName[i] <= u'Z') label += u' ';
    label += fName[i];
  }
  return label;
}

Variant TmvBaseComponentConfiguration::GetValue(const String&, const Variant&) { return Variant(); }
void TmvBaseComponentConfiguration::SetValue(const String&, const Variant&) {}
void TmvBaseComponentConfiguration::GetValueStream(const String&, TStream*) {}
void TmvBaseComponentConfiguration::SetValueStream(const String&, TStream*) {}

// ---------------------------------------------------------------------------
// Component information

bool TmvComponentInfo::GetInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvComponentInfoDisconnect) {
    *obj = static_cast<ImvComponentInfoDisconnect*>(this);
  } else if (iid == IID_ImvComponentInfo31000) {
    *obj = static_cast<ImvComponentInfo31000*>(this);
  } else {
    return TmvInterfacedObject::GetInterface(iid, obj);
  }
  _AddRef();
  return true;
}

void TmvComponentInfo::Disconnect() { ciComponent.store(nullptr, std::memory_order_release); }

String TmvComponentInfo::GetClassName() {
  TmvComponent* c = Component();
  return c ? c->ClassName() : String();
}
String TmvComponentInfo::GetName() {
  TmvComponent* c = Component();
  return c ? c->GetName() : String();
}
String TmvComponentInfo::GetDisplayName() {
  TmvComponent* c = Component();
  return c ? c->GetDisplayName() : String();
}
String TmvComponentInfo::GetDisplayCategory() {
  TmvComponent* c = Component();
  return c ? c->GetDisplayCategory() : String();
}
std::vector<String> TmvComponentInfo::GetStatsCaptions() {
  std::vector<String> r;
  if (TmvComponent* c = Component()) c->GetStatsCaptions(r);
  return r;
}
std::vector<String> TmvComponentInfo::GetStatsValues() {
  std::vector<String> r;
  if (TmvComponent* c = Component()) c->GetStatsValues(r);
  return r;
}

// ---------------------------------------------------------------------------
// TmvComponent_BCB

constinit const TComponentClassRef TmvComponent_BCB::StaticClass{{u"TmvComponent_BCB", &TComponent::StaticClass},
                                                                 &ComponentFactory<TmvComponent_BCB>};

void* TmvComponent_BCB::operator new(size_t size) { return mvGetMemPtr(size); }
void TmvComponent_BCB::operator delete(void* p) { mvFreeMem(p); }
void TmvComponent_BCB::operator delete(TmvComponent_BCB* obj, std::destroying_delete_t d) {
  TPersistent::operator delete(obj, d);
}
TPersistent::TFreeInstance TmvComponent_BCB::FreeInstanceFunc() const { return &mvFreeMem; }

// ---------------------------------------------------------------------------
// TmvComponent

constinit const TmvComponentClassRef TmvComponent::StaticClass{
    {{u"TmvComponent", &TmvComponent_BCB::StaticClass}, &ComponentFactory<TmvComponent>}, &EmvComponentExceptionClass};

namespace {
// Live components, so that an identity handed out by GetComponentID can be
// tested without reading memory that may have been freed.
struct LiveComponents {
  std::mutex lock;
  std::set<const void*> set;
};
LiveComponents& Live() {
  static LiveComponents live;
  return live;
}
}  // namespace

TmvComponent::TmvComponent(TComponent* owner) : TmvComponent_BCB(owner) {
  mvcDependentList = new TmvSortedList();
  mvcDependentPadlock = new TmvPadlock(false);
  LiveComponents& live = Live();
  std::lock_guard guard(live.lock);
  live.set.insert(this);
}

TmvComponent::~TmvComponent() {
  {
    LiveComponents& live = Live();
    std::lock_guard guard(live.lock);
    live.set.erase(this);
  }
  SendDestroying();
  if (IInterface* info = mvcComponentInfo.exchange(nullptr)) {
    void* d = nullptr;
    if (info->QueryInterface(IID_ImvComponentInfoDisconnect, &d) == S_OK) {
      static_cast<ImvComponentInfoDisconnect*>(d)->Disconnect();
      static_cast<ImvComponentInfoDisconnect*>(d)->_Release();
    }
    info->_Release();
  }
  mvFreeAndNil(mvcDependentList);
  mvFreeAndNil(mvcDependentPadlock);
  mvLifetimeMonitorDead(mvcLifetimeMonitor);
}

void TmvComponent::BeforeDestruction() {
  TmvComponent_BCB::BeforeDestruction();
  SendDestroying();
}

void TmvComponent::SendDestroying() {
  NotifyDependents(mvnoDestroying, nullptr, nullptr);
  if (__atomic_load_n(&mvcLifetimeMonitor, __ATOMIC_ACQUIRE)) mvcLifetimeMonitor->Dead();
}

TmvComponent* TmvComponent::LookupByComponentID(void* id) {
  {
    LiveComponents& live = Live();
    std::lock_guard guard(live.lock);
    if (id && live.set.count(id)) {
      auto* c = static_cast<TmvComponent*>(id);
      if (!c->IsDestroying()) return c;
    }
  }
  throw Exception(u"Invalid ComponentID");
}

String TmvComponent::GetDisplayName() const {
  if (!mvcDisplayName.empty()) return mvcDisplayName;
  if (!GetName().empty()) return GetName();
  return ClassName();
}

void TmvComponent::SetDisplayName(const String& value) {
  // Stored only when it says something that Name and the class name don't.
  if (SameClassName(value, GetName()) || SameClassName(value, ClassName()))
    mvcDisplayName.clear();
  else
    mvcDisplayName = value;
}

// --- component information

TInterfacePtr<IInterface> TmvComponent::CreateComponentInfo() {
  return TInterfacePtr<IInterface>(static_cast<ImvComponentInfo31000*>(TmvInterfacedObject::Create<TmvComponentInfo>(this)));
}

TInterfacePtr<IInterface> TmvComponent::GetComponentInfo() {
  if (IInterface* info = mvcComponentInfo.load(std::memory_order_acquire)) return TInterfacePtr<IInterface>(info);
  TInterfacePtr<IInterface> fresh = CreateComponentInfo();
  IInterface* expected = nullptr;
  if (mvcComponentInfo.compare_exchange_strong(expected, fresh.get())) {
    fresh->_AddRef();  // the field's reference
    return fresh;
  }
  // Another thread published first: drop ours, use theirs.
  void* d = nullptr;
  if (fresh->QueryInterface(IID_ImvComponentInfoDisconnect, &d) == S_OK) {
    static_cast<ImvComponentInfoDisconnect*>(d)->Disconnect();
    static_cast<ImvComponentInfoDisconnect*>(d)->_Release();
  }
  return TInterfacePtr<IInterface>(expected);
}

int32_t TmvComponent::mvcCreateInstance(void*, const TGUID& clsid, IInterface* outer, const TGUID& iid, void** obj) {
  *obj = nullptr;
  if (clsid == CLSID_mvComponentInfo && !outer) return GetComponentInfo()->QueryInterface(iid, obj);
  return E_NOTIMPL;
}

// --- exception data

void TmvComponent::WriteComponentInfo(ImvExceptionDataContainer* container) {
  container->AddInteger(u"SelfPtr", static_cast<int64_t>(reinterpret_cast<uintptr_t>(this)));
  container->AddString(u"ClassName", ClassName());
  if (!mvcDisplayName.empty()) container->AddString(u"DisplayName", mvcDisplayName);
  if (!mvcDisplayCategory.empty()) container->AddString(u"DisplayCategory", mvcDisplayCategory);
  std::vector<String> captions, values;
  GetStatsCaptions(captions);
  GetStatsValues(values);
  ImvExceptionDataContainer* stats = container->AddContainer(u"Stats");
  for (size_t i = 0; i < std::min(captions.size(), values.size()); ++i) stats->AddString(captions[i], values[i]);
}

void TmvComponent::WriteExceptionData(ImvExceptionDataContainer* container, bool) { WriteComponentInfo(container); }

// --- errors

void TmvComponent::CheckError(uint32_t code) {
  if (code != 0) GetExceptionClass().RaiseCode(this, code);
}
void TmvComponent::RaiseComponentError(uint32_t code) {
  GetExceptionClass().RaiseCode(this, code);
  std::terminate();
}
void TmvComponent::RaiseComponentError(const String& text) {
  GetExceptionClass().RaiseText(this, text);
  std::terminate();
}
void TmvComponent::RaiseComponentError(std::u16string_view fmt, std::initializer_list<TVarRec> args) {
  GetExceptionClass().RaiseText(this, Format(fmt, args));
  std::terminate();
}
void TmvComponent::RaiseComponentError(uint32_t code, const String& text) {
  GetExceptionClass().RaiseCodeText(this, code, text);
  std::terminate();
}
void TmvComponent::RaiseComponentError(uint32_t code, std::u16string_view fmt, std::initializer_list<TVarRec> args) {
  GetExceptionClass().RaiseCodeText(this, code, Format(fmt, args));
  std::terminate();
}

// --- dependents

namespace {
// Holds a padlock for a scope.
class PadlockGuard {
 public:
  explicit PadlockGuard(TmvPadlock* p) : p_(p) { p_->Lock(); }
  ~PadlockGuard() { p_->Unlock(); }
  PadlockGuard(const PadlockGuard&) = delete;
  PadlockGuard& operator=(const PadlockGuard&) = delete;

 private:
  TmvPadlock* p_;
};
}  // namespace

void TmvComponent::AddDependent(TmvComponent* component) {
  if (!component || component == this) return;
  PadlockGuard guard(mvcDependentPadlock);
  mvcDependentList->Add(component);
}

void TmvComponent::RemoveDependent(TmvComponent* component) {
  PadlockGuard guard(mvcDependentPadlock);
  mvcDependentList->Remove(component);
}

void TmvComponent::LinkDependent(TmvComponent* other) {
  if (!other || IsDestroying() || other->IsDestroying()) return;
  AddDependent(other);
  other->AddDependent(this);
}

void TmvComponent::UnlinkDependent(TmvComponent* other) {
  if (!other) return;
  RemoveDependent(other);
  other->RemoveDependent(this);
}

int32_t TmvComponent::DependentCount() {
  PadlockGuard guard(mvcDependentPadlock);
  return mvcDependentList->Count();
}

void TmvComponent::NotifyDependents(TmvNotifyOp operation, void* param, TmvComponent* excluded) {
  PadlockGuard guard(mvcDependentPadlock);
  if (operation == mvnoDestroying) {
    // The destroyed notice goes out once, though both the step before
    // destruction and the destructor send it.
    if (mvcDestroying.exchange(true)) return;
  }
  std::vector<TmvComponent*> notified;  // sorted; only filled when needed
  for (;;) {
    const int32_t generation = mvcDependentList->Generation();
    bool changed = false;
    for (int32_t i = mvcDependentList->Count() - 1; i >= 0; --i) {
      auto* c = static_cast<TmvComponent*>(mvcDependentList->blGet(i));
      if (c == excluded) continue;
      auto at = std::lower_bound(notified.begin(), notified.end(), c);
      if (at != notified.end() && *at == c) continue;
      notified.insert(at, c);
      c->HandleNotification(this, operation, param);
      // A notified component linked or unlinked something: the indexes no
      // longer mean what they did, so walk again from the end; those already
      // told are skipped.
      if (mvcDependentList->Generation() != generation) {
        changed = true;
        break;
      }
    }
    if (!changed) return;
  }
}

bool TmvComponent::VisitAndPropagate(TmvNotifyOp operation, TmvIterationData* data) {
  int32_t index;
  if (data->IteratonList->Find(this, index)) return false;
  if (data->IgnoreIterateClasses) {
    const std::vector<String>& ignore = *data->IgnoreIterateClasses;
    if (std::binary_search(ignore.begin(), ignore.end(), ClassName(),
                           [](const String& a, const String& b) { return CompareClassNames(a, b) < 0; }))
      return false;
  }
  if (data->IteratonList->Add(this) < 0) return false;
  NotifyDependents(operation, data, nullptr);
  return true;
}

void TmvComponent::HandleNotification(TmvComponent* sender, TmvNotifyOp operation, void* param) {
  switch (operation) {
    case mvnoDestroying:
      UnlinkDependent(sender);
      break;
    case mvnoIterate:
      VisitAndPropagate(operation, static_cast<TmvIterationData*>(param));
      break;
    case mvnoBroadcast: {
      // Depth first: everything beyond this component hears it first.
      auto* data = static_cast<TmvBroadcastData*>(param);
      if (VisitAndPropagate(operation, data)) HandleNotification(data->bdSender, data->bdNotifyOp, data->bdParam);
      break;
    }
    default:
      break;
  }
}

namespace {
std::vector<String> SortedIgnoreList(const std::vector<String>& classes) {
  std::vector<String> sorted = classes;
  std::sort(sorted.begin(), sorted.end(), [](const String& a, const String& b) { return CompareClassNames(a, b) < 0; });
  return sorted;
}
}  // namespace

TmvIterationList* TmvComponent::IterateDependents(const TmvIterationListClassRef* listClass) {
  return IterateDependentsEx({}, listClass);
}

TmvIterationList* TmvComponent::IterateDependentsEx(const std::vector<String>& ignoreClasses,
                                                    const TmvIterationListClassRef* listClass) {
  std::vector<String> ignore = SortedIgnoreList(ignoreClasses);
  TmvIterationList* list = (listClass ? listClass : &TmvIterationList::StaticClass)->Create();
  try {
    TmvIterationData data;
    data.IteratonList = list;
    data.IgnoreIterateClasses = &ignore;
    HandleNotification(nullptr, mvnoIterate, &data);
  } catch (...) {
    delete list;
    throw;
  }
  return list;
}

void TmvComponent::Broadcast(TmvNotifyOp operation, void* param, const std::vector<String>& ignoreClasses) {
  std::vector<String> ignore = SortedIgnoreList(ignoreClasses);
  TmvIterationList visited;
  TmvBroadcastData data;
  data.IteratonList = &visited;
  data.IgnoreIterateClasses = &ignore;
  data.bdSender = this;
  data.bdNotifyOp = operation;
  data.bdParam = param;
  HandleNotification(nullptr, mvnoBroadcast, &data);
}

// --- class lookup and display

const ClassRef* TmvComponent::FindClassRecursive(std::u16string_view suffix) const {
  for (const ClassRef* c = &ClassType(); c; c = c->Parent)
    if (const ClassRef* found = GetClass(c->Name() + String(suffix))) return found;
  return nullptr;
}

bool TmvComponent::UIStatsVisible() const {
  std::vector<String> captions;
  GetStatsCaptions(captions);
  return !captions.empty();
}

void TmvComponent::GetStatsCaptions(std::vector<String>&) const {}
void TmvComponent::GetStatsValues(std::vector<String>&) const {}
String TmvComponent::GetDisplayOnlyValue(const String&) const { return u"(not implemented)"; }

// --- configuration and settings

void TmvComponent::GetConfigSettings(TmvBaseSettings*) {}
void TmvComponent::LoadConfig(TmvBaseComponentConfiguration*) {}
void TmvComponent::SaveConfig(TmvBaseComponentConfiguration*) {}

void TmvComponent::DoLoadConfig(TmvBaseComponentConfiguration* config) {
  LoadConfig(config);
  if (OnSettingsLoaded) OnSettingsLoaded(this);
}

// The component header of the settings stream: integer 1, then Name.
void TmvComponent::SaveSettingsToStream(TmvWriter* writer) {
  MV_ASSERT(!GetName().empty());
  writer->WriteInteger(1);
  writer->WriteString(GetName());
}

void TmvComponent::LoadSettingsFromStream(TmvReader* reader) {
  MV_ASSERT(!GetName().empty());
  if (reader->ReadInteger() != 1) EmvComponentExceptionClass.RaiseCode(this, 15498);
  String name = reader->ReadString();
  MV_ASSERT(name == GetName());
}

// ---------------------------------------------------------------------------
// TmvRegisterableComponent

constinit const TmvComponentClassRef TmvRegisterableComponent::StaticClass{
    {{u"TmvRegisterableComponent", &TmvComponent::StaticClass}, &ComponentFactory<TmvRegisterableComponent>},
    &EmvRegisterableComponentExceptionClass};

namespace {
// The registry of component classes: sorted by class name ignoring case;
// exists only while it holds a class.
std::vector<const TmvComponentClassRef*>*& ComponentClassRegistry() {
  static std::vector<const TmvComponentClassRef*>* registry = nullptr;
  return registry;
}

std::vector<const TmvComponentClassRef*>::iterator FindInRegistry(std::vector<const TmvComponentClassRef*>& r,
                                                                   std::u16string_view name) {
  return std::lower_bound(r.begin(), r.end(), name, [](const TmvComponentClassRef* c, std::u16string_view n) {
    return CompareClassNames(c->ClassName, n) < 0;
  });
}
}  // namespace

void TmvRegisterableComponent::RegisterClass(const TmvComponentClassRef& cls) {
  auto*& r = ComponentClassRegistry();
  if (!r) r = new std::vector<const TmvComponentClassRef*>();
  auto at = FindInRegistry(*r, cls.ClassName);
  if (at != r->end() && SameClassName((*at)->ClassName, cls.ClassName))
    cls.ExceptionClass->RaiseText(nullptr, Format(u"The class \"%s\" is already registered", {cls.Name()}));
  r->insert(at, &cls);
}

void TmvRegisterableComponent::UnregisterClass(const TmvComponentClassRef& cls) {
  auto*& r = ComponentClassRegistry();
  if (!r) return;
  auto at = FindInRegistry(*r, cls.ClassName);
  if (at != r->end() && *at == &cls) r->erase(at);
  if (r->empty()) {
    delete r;
    r = nullptr;
  }
}

const TmvComponentClassRef* TmvRegisterableComponent::FindRegisteredClass(std::u16string_view className) {
  auto* r = ComponentClassRegistry();
  if (!r) return nullptr;
  auto at = FindInRegistry(*r, className);
  return (at != r->end() && SameClassName((*at)->ClassName, className)) ? *at : nullptr;
}

void TmvRegisterableComponent::GetRegisteredClasses(const TmvComponentClassRef& base, TStrings* list) {
  list->Clear();
  auto* r = ComponentClassRegistry();
  if (!r) return;
  for (const TmvComponentClassRef* c : *r)
    if (c->InheritsFrom(&base)) list->AddObject(c->Name(), const_cast<TmvComponentClassRef*>(c));
}

// ---------------------------------------------------------------------------
// TmvIterationList

namespace {
TmvIterationList* CreateIterationList() { return new TmvIterationList(); }

// Display names ignoring case under the system default locale, ties by address.
int8_t CompareDisplayNames(TmvComponent* a, TmvComponent* b) {
  int c = mvCmpStringSystemLocale(a->GetDisplayName(), b->GetDisplayName(), true);
  if (c != 0) return c < 0 ? -1 : 1;
  if (a == b) return 0;
  return std::less<TmvComponent*>()(a, b) ? -1 : 1;
}
}  // namespace

constinit const TmvIterationListClassRef TmvIterationList::StaticClass{{u"TmvIterationList", nullptr},
                                                                       &CreateIterationList};

int32_t TmvIterationList::Add(void* item) {
  if (!Accept(static_cast<TmvComponent*>(item))) return -1;
  return TmvSortedList::Add(item);
}

int8_t TmvIterationList::Compare(void* item1, void* item2) const {
  return CompareDisplayNames(static_cast<TmvComponent*>(item1), static_cast<TmvComponent*>(item2));
}

bool TmvIterationList::Accept(TmvComponent*) { return true; }

// Settings of a group, version 2:
//   integer 2, vaList, { text name, integer byte count n, n raw bytes }*, vaNull
// where the n bytes are the component's own settings stream.
void TmvIterationList::SaveSettingsToStream(TmvWriter* writer) {
  writer->WriteInteger(2);
  writer->WriteListBegin();
  for (int32_t i = 0; i < Count(); ++i) {
    TmvComponent* c = Components(i);
    if (c->GetName().empty()) continue;
    TmvMemoryStream settings;
    {
      TmvWriter w(settings);
      c->SaveSettingsToStream(&w);
    }  // the writer's buffer reaches the stream when the writer goes
    writer->WriteString(c->GetName());
    writer->WriteInteger(static_cast<int64_t>(settings.GetSize()));
    writer->Write(settings.Memory(), static_cast<int32_t>(settings.GetSize()));
  }
  writer->WriteListEnd();
}

void TmvIterationList::LoadSetttingsFromStream(TmvReader* reader) {
  int32_t version = reader->ReadInteger();
  if (version == 2) {
    std::vector<TmvComponent*> byName;
    for (int32_t i = 0; i < Count(); ++i)
      if (!Components(i)->GetName().empty()) byName.push_back(Components(i));
    auto nameLess = [](TmvComponent* a, TmvComponent* b) { return CompareClassNames(a->GetName(), b->GetName()) < 0; };
    std::sort(byName.begin(), byName.end(), nameLess);
    reader->ReadListBegin();
    while (!reader->EndOfList()) {
      String name = reader->ReadString();
      int64_t size = reader->ReadInt64();
      // A damaged count must not make us allocate or skip blindly: the bytes
      // must be there before any memory is reserved for them.
      if (size < 0 || size > 0x7FFFFFFF || size > reader->BytesLeft()) throw EReadError(SReadError);
      auto at = std::lower_bound(byName.begin(), byName.end(), name, [](TmvComponent* c, const String& n) {
        return CompareClassNames(c->GetName(), n) < 0;
      });
      TmvMemoryStream settings;
      settings.SetSize(size);
      reader->Read(settings.Memory(), static_cast<int32_t>(size));
      if (at != byName.end() && SameClassName((*at)->GetName(), name)) {
        TmvReader r(settings);
        (*at)->LoadSettingsFromStream(&r);
      }
    }
    reader->ReadListEnd();
  } else if (version == 1) {
    for (const String& line : SplitTextLines(reader->ReadString())) {
      TmvComponent* found = nullptr;
      for (int32_t i = 0; i < Count() && !found; ++i)
        if (Components(i)->GetName() == line) found = Components(i);
      if (!found) EmvComponentExceptionClass.RaiseCode(nullptr, 15498);
      found->LoadSettingsFromStream(reader);
    }
  } else {
    EmvComponentExceptionClass.RaiseCode(nullptr, 15498);
  }
}

// ---------------------------------------------------------------------------
// TmvPersistent

constinit const ClassRef TmvPersistent::StaticClass{u"TmvPersistent", &TPersistent::StaticClass};
constinit const ClassRef TmvLifetimeTrackedPersistent::StaticClass{u"TmvLifetimeTrackedPersistent",
                                                                   &TmvPersistent::StaticClass};

void* TmvPersistent::operator new(size_t size) { return mvGetMemPtr(size); }
void TmvPersistent::operator delete(void* p) { mvFreeMem(p); }
void TmvPersistent::operator delete(TmvPersistent* obj, std::destroying_delete_t d) {
  TPersistent::operator delete(obj, d);
}
TPersistent::TFreeInstance TmvPersistent::FreeInstanceFunc() const { return &mvFreeMem; }

int32_t TmvPersistent::QueryInterface(const TGUID&, void** obj) {
  *obj = nullptr;
  return E_NOINTERFACE;
}

void TmvPersistent::WriteObjectInfo(ImvExceptionDataContainer* container) {
  container->AddInteger(u"SelfPtr", static_cast<int64_t>(reinterpret_cast<uintptr_t>(this)));
  container->AddString(u"ClassName", ClassName());
}

void TmvPersistent::WriteExceptionData(ImvExceptionDataContainer* container, bool) { WriteObjectInfo(container); }

uint32_t TmvPersistent::NotSupported(const String& methodName) const {
  return EmvBaseException::mvSetMessage(12289, Format(u"%s not supported by %s",
                                                      {methodName.empty() ? String(u"Method") : methodName, ClassName()}));
}

TmvLifetimeTrackedPersistent::~TmvLifetimeTrackedPersistent() { mvLifetimeMonitorDead(ltpLifetimeMonitor); }

// ---------------------------------------------------------------------------

String mvFormatThousands(int64_t value) { return Format(u"%.0n", {static_cast<long double>(value)}); }
