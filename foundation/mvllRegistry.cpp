// Foundation: registries of engine and descriptor classes. See mvllRegistry.h.
#include "foundation/mvllRegistry.h"

#include "platform/Classes.h"

TmvClassRegistry* mvNoRegistry() {
  MV_ASSERT(!"GetRegistry is not defined for this class family");
  return nullptr;
}

constinit const TmvRegisterableEngineClassRef TmvBaseRegisterableEngine::StaticClass{
    {u"TmvBaseRegisterableEngine", &TmvPersistent::StaticClass}, &mvNoRegistry, nullptr};
constinit const TmvRegisterableDescriptorClassRef TmvBaseRegisterableDescriptor::StaticClass{
    {u"TmvBaseRegisterableDescriptor", &TmvLifetimeTrackedPersistent::StaticClass}, &mvNoRegistry, nullptr};

// The registry operations are the same for every family; only the record
// type differs.
void mvRegistryAdd(TmvClassRegistry* registry, const ClassRef& cls, const String& name) {
  if (!*registry) *registry = new TmvFastStringListIC(dupError);
  (*registry)->AddObject(name.empty() ? cls.Name() : name, const_cast<ClassRef*>(&cls));
}

void mvRegistryRemove(TmvClassRegistry* registry, const ClassRef& cls) {
  if (!*registry) return;
  for (int32_t i = (*registry)->Count() - 1; i >= 0; --i)
    if ((*registry)->Objects(i) == &cls) (*registry)->Delete(i);
  if ((*registry)->Count() == 0) mvFreeAndNil(*registry);
}

const ClassRef* mvRegistryFind(TmvClassRegistry* registry, std::u16string_view name) {
  if (!*registry) return nullptr;
  int32_t index;
  if (!(*registry)->Find(String(name), index)) return nullptr;
  return static_cast<const ClassRef*>((*registry)->Objects(index));
}

namespace {

void List(TmvClassRegistry* registry, TStrings* list, bool includeAliases) {
  list->BeginUpdate();
  try {
    list->Clear();
    if (*registry) {
      for (int32_t i = 0; i < (*registry)->Count(); ++i) {
        auto* cls = static_cast<const ClassRef*>((*registry)->Objects(i));
        String name = (*registry)->Strings(i);
        if (includeAliases || SameClassName(name, cls->ClassName)) list->AddObject(name, const_cast<ClassRef*>(cls));
      }
    }
  } catch (...) {
    list->EndUpdate();
    throw;
  }
  list->EndUpdate();
}

}  // namespace

void TmvBaseRegisterableEngine::RegisterEngine(const TmvRegisterableEngineClassRef& cls, const String& name) {
  mvRegistryAdd(cls.GetRegistry(), cls, name);
}
void TmvBaseRegisterableEngine::UnregisterEngine(const TmvRegisterableEngineClassRef& cls) {
  mvRegistryRemove(cls.GetRegistry(), cls);
}
const TmvRegisterableEngineClassRef* TmvBaseRegisterableEngine::FindEngineClass(
    const TmvRegisterableEngineClassRef& family, std::u16string_view name) {
  return static_cast<const TmvRegisterableEngineClassRef*>(mvRegistryFind(family.GetRegistry(), name));
}
void TmvBaseRegisterableEngine::GetRegisteredEngines(const TmvRegisterableEngineClassRef& family, TStrings* list,
                                                     bool includeAliases) {
  List(family.GetRegistry(), list, includeAliases);
}

void TmvBaseRegisterableDescriptor::RegisterDescriptor(const TmvRegisterableDescriptorClassRef& cls,
                                                       const String& name) {
  mvRegistryAdd(cls.GetRegistry(), cls, name);
}
void TmvBaseRegisterableDescriptor::UnregisterDescriptor(const TmvRegisterableDescriptorClassRef& cls) {
  mvRegistryRemove(cls.GetRegistry(), cls);
}
const TmvRegisterableDescriptorClassRef* TmvBaseRegisterableDescriptor::FindDescriptorClass(
    const TmvRegisterableDescriptorClassRef& family, std::u16string_view name) {
  return static_cast<const TmvRegisterableDescriptorClassRef*>(mvRegistryFind(family.GetRegistry(), name));
}
void TmvBaseRegisterableDescriptor::GetRegisteredDescriptors(const TmvRegisterableDescriptorClassRef& family,
                                                             TStrings* list, bool includeAliases) {
  List(family.GetRegistry(), list, includeAliases);
}

String mvEngineNameForDescriptor(std::u16string_view name, std::u16string_view pattern,
                                 std::u16string_view replacement) {
  String out;
  size_t i = 0;
  while (i < name.size()) {
    if (name.size() - i >= pattern.size() && SameClassName(name.substr(i, pattern.size()), pattern)) {
      out += replacement;
      i += pattern.size();
    } else {
      out += name[i++];
    }
  }
  return out;
}
