// Storage: the sub-engine framework. See mvseSubEngine.h.
#include "storage/mvseSubEngine.h"

#include <algorithm>
#include <vector>

#include "dictionary/mvsdDataDictionary.h"

namespace {

TmvClassRegistry* rootHasNoList() {
  MV_ASSERT(!"GetList is not defined for TmvBaseSubEngine");
  return nullptr;
}

using TBaseClassList = std::vector<const TmvSubEngineClassRef*>;

// The family bases in the order the whole-dictionary check runs them, so
// that a dictionary with several faults always reports the same one first.
// The index family is not among them: the indices family checks every index.
constexpr std::u16string_view kCheckOrder[] = {
    u"TmvBaseAutoIncEngine",  u"TmvBaseBlobEngine",      u"TmvBaseStreamEngine", u"TmvBaseRecordEngine",
    u"TmvBaseIndicesEngine",  u"TmvBaseBlockHeapEngine", u"TmvBaseHeapEngine",   u"TmvBaseRecordCompressionEngine",
};

// A base's place in kCheckOrder; a base not listed runs after the listed ones.
size_t checkRank(const TmvSubEngineClassRef& aClass) {
  const auto* end = std::end(kCheckOrder);
  return size_t(std::find(std::begin(kCheckOrder), end, std::u16string_view(aClass.ClassName)) -
                std::begin(kCheckOrder));
}

// The family bases of CheckValidAll; nil while none is registered.
TBaseClassList*& baseClasses() {
  static TBaseClassList* list = nullptr;
  return list;
}

void checkTable(TmvBaseTableDescriptor* aTable, const TBaseClassList& aBases) {
  for (const TmvSubEngineClassRef* base : aBases) base->CheckValidFromDictionary(aTable);
  TmvTablesDescriptor* nested = aTable->GetTablesDescriptor();
  for (int32_t i = 0; i < nested->TableCount(); ++i) checkTable(nested->TableDescriptor(i), aBases);
}

}  // namespace

constinit const TmvSubEngineClassRef TmvBaseSubEngine::StaticClass{
    {u"TmvBaseSubEngine", &TmvPersistent::StaticClass}, &rootHasNoList, &TmvBaseSubEngine::NoTableCheck};

TmvBaseSubEngine::TmvBaseSubEngine(int32_t aID, TmvBlockAccess* aMainFile)
    : bseID(aID), bseTableVersion(aMainFile ? aMainFile->_File()->fiMorvaVersion : 0) {}

void TmvBaseSubEngine::Register(const TmvSubEngineClassRef& aClass, const String& aName) {
  mvRegistryAdd(aClass.GetList(), aClass, aName);
}

void TmvBaseSubEngine::Unregister(const TmvSubEngineClassRef& aClass) { mvRegistryRemove(aClass.GetList(), aClass); }

const TmvSubEngineClassRef* TmvBaseSubEngine::FindEngineClass(const TmvSubEngineClassRef& aFamily,
                                                              std::u16string_view aName) {
  return static_cast<const TmvSubEngineClassRef*>(mvRegistryFind(aFamily.GetList(), aName));
}

void TmvBaseSubEngine::RegisterBaseClass(const TmvSubEngineClassRef& aClass) {
  TBaseClassList*& list = baseClasses();
  if (!list) list = new TBaseClassList;
  // Each family registers its base at its own unit's start, in whatever
  // order the units start; the check runs them in the fixed order above.
  const auto rank = checkRank(aClass);
  auto at = std::find_if(list->begin(), list->end(),
                         [&](const TmvSubEngineClassRef* c) { return checkRank(*c) > rank; });
  list->insert(at, &aClass);
}

void TmvBaseSubEngine::UnregisterBaseClass(const TmvSubEngineClassRef& aClass) {
  TBaseClassList*& list = baseClasses();
  if (!list) return;
  std::erase(*list, &aClass);
  if (list->empty()) {
    delete list;
    list = nullptr;
  }
}

std::vector<const TmvSubEngineClassRef*> TmvBaseSubEngine::BaseClasses() {
  const TBaseClassList* list = baseClasses();
  return list ? *list : TBaseClassList();
}

void TmvBaseSubEngine::CheckValidAll(TmvDataDictionary* aDictionary) {
  if (const TBaseClassList* list = baseClasses()) checkTable(aDictionary, *list);
}
