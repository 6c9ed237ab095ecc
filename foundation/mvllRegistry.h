// Foundation: registries of engine and descriptor classes.
//
// The engine is assembled from pluggable classes (filter, default-value,
// validation, key, mapper, referential-integrity and full-text engines, and
// the descriptor classes read back from streams by name). Each family has one
// registry, a sorted list of names compared ignoring case with the class as
// payload, refusing duplicates; it exists from the first registration to the
// removal of its last entry. A family's class references all name the same
// registry variable through `GetRegistry`; the two roots name none.
//
// Registration happens at unit start-up and shutdown on the main thread;
// lookups afterwards read the registries without a lock.
#pragma once

#include <atomic>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllComponents.h"
#include "foundation/mvllFastStringList.h"

class TmvBaseRegisterableEngine;
class TmvBaseRegisterableDescriptor;

// A family's registry variable: nil until the first registration.
using TmvClassRegistry = TmvFastStringListIC*;

struct TmvRegisterableEngineClassRef : ClassRef {
  TmvClassRegistry* (*GetRegistry)();
  // Constructs the engine that serves a descriptor (nil for abstract classes).
  TmvBaseRegisterableEngine* (*Create)(TmvBaseRegisterableDescriptor* descriptor);
};

struct TmvRegisterableDescriptorClassRef : ClassRef {
  TmvClassRegistry* (*GetRegistry)();
  TmvBaseRegisterableDescriptor* (*Create)();
};

// The operations every family's registry shares. Add: creates the registry
// on first use and adds the class under aName (its class name when empty); a
// name present raises the string list's duplicate error. Remove: drops every
// name of the class and frees the registry when it empties. Find: the class
// under aName, nil when the registry or the name is missing.
void mvRegistryAdd(TmvClassRegistry* aRegistry, const ClassRef& aClass, const String& aName);
void mvRegistryRemove(TmvClassRegistry* aRegistry, const ClassRef& aClass);
const ClassRef* mvRegistryFind(TmvClassRegistry* aRegistry, std::u16string_view aName);

// The roots' GetRegistry: a family that forgot to name its own registry.
TmvClassRegistry* mvNoRegistry();

// The registry variable of the family whose root class is T: one per root,
// nil until the family's first registration. A root's GetRegistry (or
// Registry) returns this, so that a family needs no hand-written variable.
template <typename T>
TmvClassRegistry* mvFamilyRegistry() {
  static TmvClassRegistry registry = nullptr;
  return &registry;
}

class TmvBaseRegisterableEngine : public TmvPersistent {
 public:
  static const TmvRegisterableEngineClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // Class-level operations: `cls` is the class through which they are called.
  // Adds the class under the name, or its class name when the name is empty;
  // a name already present raises the string list's duplicate error.
  static void RegisterEngine(const TmvRegisterableEngineClassRef& cls, const String& name = {});
  // Removes every name of the class; frees the registry when it empties.
  static void UnregisterEngine(const TmvRegisterableEngineClassRef& cls);
  static const TmvRegisterableEngineClassRef* FindEngineClass(const TmvRegisterableEngineClassRef& family,
                                                              std::u16string_view name);
  // Names and classes in registry order; aliases only when asked for.
  static void GetRegisteredEngines(const TmvRegisterableEngineClassRef& family, TStrings* list, bool includeAliases);
};

class TmvBaseRegisterableDescriptor : public TmvLifetimeTrackedPersistent {
 public:
  static const TmvRegisterableDescriptorClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  static void RegisterDescriptor(const TmvRegisterableDescriptorClassRef& cls, const String& name = {});
  static void UnregisterDescriptor(const TmvRegisterableDescriptorClassRef& cls);
  static const TmvRegisterableDescriptorClassRef* FindDescriptorClass(const TmvRegisterableDescriptorClassRef& family,
                                                                      std::u16string_view name);
  static void GetRegisteredDescriptors(const TmvRegisterableDescriptorClassRef& family, TStrings* list,
                                       bool includeAliases);
};

// The descriptor's class name with every "Descriptor" (ignoring case)
// replaced by `replacement`: the name of the engine class that serves it.
String mvEngineNameForDescriptor(std::u16string_view descriptorClassName, std::u16string_view pattern = u"Descriptor",
                                 std::u16string_view replacement = u"Engine");

// The engine class for a descriptor, found once and then kept in `cache`.
// A missing one raises E with 15503 and "Unknown <familyWord> engine: "<name>"".
// Threads sharing a frozen descriptor may fill the cache at the same time;
// they all store the same class, so relaxed atomic accesses suffice.
template <typename E>
const TmvRegisterableEngineClassRef& mvEngineClassForDescriptor(const TmvRegisterableEngineClassRef& family,
                                                                const ClassRef& descriptorClass,
                                                                std::u16string_view familyWord,
                                                                const TmvRegisterableEngineClassRef*& cache) {
  std::atomic_ref<const TmvRegisterableEngineClassRef*> cached(cache);
  const TmvRegisterableEngineClassRef* cls = cached.load(std::memory_order_relaxed);
  if (!cls) {
    String name = mvEngineNameForDescriptor(descriptorClass.ClassName);
    cls = TmvBaseRegisterableEngine::FindEngineClass(family, name);
    if (!cls) throw E(15503, u"Unknown %s engine: \"%s\"", {String(familyWord), name});
    cached.store(cls, std::memory_order_relaxed);
  }
  return *cls;
}
