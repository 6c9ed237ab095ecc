// Storage: the sub-engine framework (unit mvseSubEngine).
//
// A table is stored by pluggable sub-engines, one per storage concern
// (records, indexes, BLOBs, heaps, block heaps, named streams, the
// auto-increment counter, record compression). The data dictionary keeps
// only the NAME of each engine; the engines are made by looking the names up
// in one registry per family. This unit holds the root of every family,
// `TmvBaseSubEngine`, the registry operations, and the whole-dictionary
// check `CheckValidAll` that refuses a dictionary naming an engine this
// process does not have, before anything is built from it.
//
// A family is a base class with a class record derived from
// `TmvSubEngineClassRef`: the record names the family's registry (GetList),
// its table-level check (CheckValidFromDictionary) and, in the family's own
// record type, its virtual constructor and descriptor check. Engine classes
// of the family use the family's record type and the family's GetList.
//
// Threads: the registries and the list of family bases are filled and
// emptied only at unit start-up and shutdown, and read without locks in
// between. An engine object belongs to its open table and is used under the
// server's table locks.
// Calls the foundation's registries and the data dictionary.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllRegistry.h"
#include "storage/cache/mvsrBlockAccess.h"

class TmvBaseTableDescriptor;
class TmvDataDictionary;

MV_DECLARE_EXCEPTION(EmvBaseSubEngineException, EmvBaseException)

// The class record of a sub-engine class.
struct TmvSubEngineClassRef : ClassRef {
  // The family's registry variable; the root has none (an assertion).
  TmvClassRegistry* (*GetList)();
  // Checks the part of a table descriptor that the family handles (the
  // table itself, not its nested tables).
  void (*CheckValidFromDictionary)(TmvBaseTableDescriptor* aTableDescriptor);
};

class TmvBaseSubEngine : public TmvPersistent {
  MV_DECLARE_CLASSREF(TmvSubEngineClassRef)
 public:
  // The dictionary ID of the descriptor the engine was made from (0 for a
  // stream engine made without one): the owner ID of the blocks it adds.
  int32_t bseID = 0;
  // The engine version in block 0 of the table's main file when the engine
  // was made (version x 10000).
  int32_t bseTableVersion = 0;

  // Adds aClass under aName to its family's registry (made on first use);
  // a name the family has already raises the string list's duplicate error.
  static void Register(const TmvSubEngineClassRef& aClass, const String& aName);
  // Removes every name of aClass from its family's registry, which goes
  // with its last entry.
  static void Unregister(const TmvSubEngineClassRef& aClass);
  // The class registered under aName (ignoring case) in aFamily's registry;
  // nil when the registry or the name is missing.
  static const TmvSubEngineClassRef* FindEngineClass(const TmvSubEngineClassRef& aFamily, std::u16string_view aName);

  // The family bases that take part in CheckValidAll. Each family's unit
  // registers its base at start-up; the list keeps the check's fixed order
  // whatever the order of registration (it is made on first use). Remove
  // drops every entry of the class and frees the list when it empties.
  static void RegisterBaseClass(const TmvSubEngineClassRef& aClass);
  static void UnregisterBaseClass(const TmvSubEngineClassRef& aClass);
  // The family bases registered, in the check's order (empty while none is).
  static std::vector<const TmvSubEngineClassRef*> BaseClasses();
  // Every family base's CheckValidFromDictionary, in list order, for the
  // dictionary's table and then for each nested table, depth first.
  static void CheckValidAll(TmvDataDictionary* aDictionary);

  // The root's table check: nothing to check.
  static void NoTableCheck(TmvBaseTableDescriptor*) {}

 protected:
  // aMainFile: the view of the table's main file (file 0) whose block 0
  // gives the engine version; nil leaves it 0.
  TmvBaseSubEngine(int32_t aID, TmvBlockAccess* aMainFile);
};

// Raises E with 15503 "Unknown <aWord> engine: "<aName>"".
template <typename E>
[[noreturn]] void mvRaiseUnknownSubEngine(std::u16string_view aWord, const String& aName) {
  throw E(MVERR_UNSUPPORTEDSUBENGINE, u"Unknown %s engine: \"%s\"", {String(aWord), aName});
}

// The class registered under aName in aFamily's registry, as the family's
// record type R; an unknown name raises E with 15503 (above).
template <typename E, typename R>
const R& mvSubEngineClass(const R& aFamily, std::u16string_view aWord, const String& aName) {
  const auto* cls = static_cast<const R*>(TmvBaseSubEngine::FindEngineClass(aFamily, aName));
  if (!cls) mvRaiseUnknownSubEngine<E>(aWord, aName);
  return *cls;
}

// The constructor of the class registered under aName; an unknown name or
// an abstract class (no constructor) raises E with 15503.
template <typename E, typename R, typename F>
F mvSubEngineConstructor(const R& aFamily, std::u16string_view aWord, const String& aName, F R::*aCreate) {
  F create = mvSubEngineClass<E>(aFamily, aWord, aName).*aCreate;
  if (!create) mvRaiseUnknownSubEngine<E>(aWord, aName);
  return create;
}

