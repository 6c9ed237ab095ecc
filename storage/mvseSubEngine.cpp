// Storage: the sub-engine framework. See mvseSubEngine.h.
#include "storage/mvseSubEngine.h"

#include <algorithm>
#include <vector>

#include "dictionary/mvsdDataDictionary.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/blobs/mvseBlobEngine.h"
#include "storage/heaps/mvseBlockHeapEngine.h"
#include "storage/heaps/mvseHeapEngine.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/compression/mvseRecordCompressionEngine.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/streams/mvseStreamEngine.h"

namespace {

TmvClassRegistry* rootHasNoList() {
  MV_ASSERT(!"GetList is not defined for TmvBaseSubEngine");
  return nullptr;
}

using TBaseClassList = std::vector<const TmvSubEngineClassRef*>;

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
  list->push_back(&aClass);
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

void TmvBaseSubEngine::CheckValidAll(TmvDataDictionary* aDictionary) {
  if (const TBaseClassList* list = baseClasses()) checkTable(aDictionary, *list);
}

// ---------------------------------------------------------------------------
// Start-up

namespace {

// The family bases in the order the whole-dictionary check runs them. The
// index family is not among them: the indices family checks every index.
const TmvSubEngineClassRef* const kBaseClasses[] = {
    &TmvBaseAutoIncEngine::StaticClass, &TmvBaseBlobEngine::StaticClass,
    &TmvBaseStreamEngine::StaticClass,  &TmvBaseRecordEngine::StaticClass,
    &TmvBaseIndicesEngine::StaticClass, &TmvBaseBlockHeapEngine::StaticClass,
    &TmvBaseHeapEngine::StaticClass,    &TmvBaseRecordCompressionEngine::StaticClass,
};

}  // namespace

void mvseSubEngineInit() {
  for (const TmvSubEngineClassRef* base : kBaseClasses) TmvBaseSubEngine::RegisterBaseClass(*base);
}

void mvseSubEngineFini() {
  for (const TmvSubEngineClassRef* base : kBaseClasses) TmvBaseSubEngine::UnregisterBaseClass(*base);
}
