// Platform layer: class references, persistent objects, components and the
// class registry. See Components.h for the model.
#include "platform/Components.h"

#include <algorithm>
#include <mutex>

bool ClassRef::InheritsFrom(const ClassRef* ancestor) const {
  for (const ClassRef* c = this; c; c = c->Parent)
    if (c == ancestor) return true;
  return false;
}

int CompareClassNames(std::u16string_view a, std::u16string_view b) {
  auto fold = [](char16_t c) -> char16_t { return (c >= u'a' && c <= u'z') ? c - 32 : c; };
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t x = fold(a[i]), y = fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// ---------------------------------------------------------------------------
// TPersistent

constinit const ClassRef TPersistent::StaticClass{u"TPersistent", nullptr};

TPersistent::~TPersistent() = default;

void TPersistent::Assign(const TPersistent* source) {
  if (source) {
    source->AssignTo(this);
    return;
  }
  throw EConvertError(SAssignError, {u"nil", ClassName()});
}

void TPersistent::AssignTo(TPersistent* dest) const {
  throw EConvertError(SAssignError, {ClassName(), dest->ClassName()});
}

static void FreeWithGlobalDelete(void* memory) { ::operator delete(memory); }

TPersistent::TFreeInstance TPersistent::FreeInstanceFunc() const { return &FreeWithGlobalDelete; }

void* TPersistent::operator new(size_t size) { return ::operator new(size); }
void TPersistent::operator delete(void* p) { ::operator delete(p); }

void TPersistent::operator delete(TPersistent* obj, std::destroying_delete_t) {
  // The object is whole here: virtual work in BeforeDestruction sees the
  // most derived class. Its address may differ from the block's start under
  // multiple inheritance, hence the dynamic_cast.
  obj->BeforeDestruction();
  void* memory = dynamic_cast<void*>(obj);
  TFreeInstance freeInstance = obj->FreeInstanceFunc();
  obj->~TPersistent();
  freeInstance(memory);
}

// ---------------------------------------------------------------------------
// TComponent

constinit const TComponentClassRef TComponent::StaticClass{{u"TComponent", &TPersistent::StaticClass},
                                                           &ComponentFactory<TComponent>};

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Tell everyone who asked; each may unregister itself meanwhile, so take
  // the last entry afresh each time.
  while (!freeNotifies_.empty()) {
    TComponent* other = freeNotifies_.back();
    freeNotifies_.pop_back();
    other->RemoveFreeNotify(this);
    other->Notification(this, opRemove);
  }
  DestroyComponents();
  if (owner_) owner_->RemoveComponent(this);
}

void TComponent::SetName(const String& newName) { name_ = newName; }

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount()) throw EListError(u"リストのインデックスが範囲を超えています (%d)", {index});
  return components_[static_cast<size_t>(index)];
}

TComponent* TComponent::FindComponent(std::u16string_view name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : components_)
    if (SameClassName(c->name_, name)) return c;
  return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  MV_ASSERT(component && component->owner_ == nullptr);
  components_.push_back(component);
  component->owner_ = this;
  Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  Notification(component, opRemove);
  auto it = std::find(components_.begin(), components_.end(), component);
  if (it != components_.end()) components_.erase(it);
  component->owner_ = nullptr;
}

void TComponent::DestroyComponents() {
  // Each owned component removes itself from the list as it goes.
  while (!components_.empty()) {
    TComponent* c = components_.back();
    RemoveComponent(c);
    delete c;
  }
}

void TComponent::AddFreeNotify(TComponent* component) {
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), component) == freeNotifies_.end())
    freeNotifies_.push_back(component);
  state_ |= CS(csFreeNotification);
}

void TComponent::RemoveFreeNotify(TComponent* component) {
  auto it = std::find(freeNotifies_.begin(), freeNotifies_.end(), component);
  if (it != freeNotifies_.end()) freeNotifies_.erase(it);
  if (freeNotifies_.empty()) state_ &= ~CS(csFreeNotification);
}

void TComponent::FreeNotification(TComponent* component) {
  if (!component || component == this) return;
  AddFreeNotify(component);
  component->AddFreeNotify(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (!component) return;
  RemoveFreeNotify(component);
  component->RemoveFreeNotify(this);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove && component) RemoveFreeNotification(component);
  // An owned component may free siblings while it is told; re-check bounds.
  for (size_t i = components_.size(); i-- > 0;) {
    if (i >= components_.size()) continue;
    components_[i]->Notification(component, operation);
  }
}

void TComponent::Destroying() { state_ |= CS(csDestroying); }

void TComponent::BeforeDestruction() {
  if (!HasState(csDestroying)) Destroying();
}

void TComponent::Loaded() { state_ &= ~(CS(csLoading) | CS(csReading)); }

void TComponent::SetDesigning(bool value) {
  if (value)
    state_ |= CS(csDesigning);
  else
    state_ &= ~CS(csDesigning);
  for (TComponent* c : components_) c->SetDesigning(value);
}

// ---------------------------------------------------------------------------
// Class registry

namespace {
struct ClassRegistry {
  std::mutex lock;
  std::vector<const ClassRef*> classes;  // sorted by name, ignoring case

  std::vector<const ClassRef*>::iterator Find(std::u16string_view name) {
    return std::lower_bound(classes.begin(), classes.end(), name,
                            [](const ClassRef* c, std::u16string_view n) { return CompareClassNames(c->ClassName, n) < 0; });
  }
};

ClassRegistry& Registry() {
  static ClassRegistry registry;
  return registry;
}
}  // namespace

void RegisterClass(const ClassRef& cls) {
  ClassRegistry& r = Registry();
  std::lock_guard guard(r.lock);
  auto it = r.Find(cls.ClassName);
  if (it != r.classes.end() && SameClassName((*it)->ClassName, cls.ClassName)) {
    if (*it == &cls) return;
    throw EFilerError(SDuplicateClass, {cls.Name()});
  }
  r.classes.insert(it, &cls);
}

void UnRegisterClass(const ClassRef& cls) {
  ClassRegistry& r = Registry();
  std::lock_guard guard(r.lock);
  auto it = r.Find(cls.ClassName);
  if (it != r.classes.end() && *it == &cls) r.classes.erase(it);
}

const ClassRef* GetClass(std::u16string_view name) {
  ClassRegistry& r = Registry();
  std::lock_guard guard(r.lock);
  auto it = r.Find(name);
  return (it != r.classes.end() && SameClassName((*it)->ClassName, name)) ? *it : nullptr;
}

const ClassRef& FindClass(std::u16string_view name) {
  const ClassRef* c = GetClass(name);
  if (!c) throw EClassNotFound(SClassNotFound, {String(name)});
  return *c;
}
