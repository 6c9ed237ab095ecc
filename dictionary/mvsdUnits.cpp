// Data dictionary: start-up and shutdown of the dictionary units, in order.
#include "dictionary/mvsdUnits.h"

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/filters/mvsdDefaultValueEngines.h"
#include "dictionary/filters/mvsdFilters.h"
#include "dictionary/filters/mvsdValidationDescriptors.h"
#include "dictionary/filters/mvsdValidationEngine.h"
#include "dictionary/fulltext/mvsdDataDictionaryAudit.h"
#include "dictionary/fulltext/mvsdFulltextDescriptors.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/items/mvsdFileDescriptor.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/keys/mvsdCompositeKeyFieldEngines.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/keys/mvsdRefIntegrityDescriptors.h"
#include "dictionary/mappers/mvsdTableMapperDescriptor.h"
#include "dictionary/mvsdCustomDescriptors.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/mvllUnitGroup.h"
#include "foundation/mvllUnits.h"

namespace {


struct Registration {
  const TmvRegisterableDescriptorClassRef* cls;
  const char16_t* name;  // nil: the class name; otherwise an alias
};

// The descriptor classes in the order they are registered. The classes of
// the later dictionary units take their places in this order as they come.
const Registration kRegistrations[] = {
    {&TmvFileDescriptor::StaticClass, nullptr},
    {&TmvFilesDescriptor::StaticClass, nullptr},
    {&TmvLocaleDescriptor::StaticClass, nullptr},
    {&TmvConstDefaultValueDescriptor::StaticClass, nullptr},
    {&TmvCurrentDateTimeDefaultValueDescriptor::StaticClass, nullptr},
    {&TmvCurrentUserDefaultValueDescriptor::StaticClass, nullptr},
    {&TmvAutoGuidDefaultValueDescriptor::StaticClass, nullptr},
    {&TmvEmptyDefaultValueDescriptor::StaticClass, nullptr},
    {&TmvNextLSNDefaultValueDescriptor::StaticClass, nullptr},
    {&TmvFieldDescriptor::StaticClass, nullptr},
    {&TmvRefKeyDescriptor::StaticClass, nullptr},
    {&TmvInt64KeyDescriptor::StaticClass, nullptr},
    {&TmvBlobCacheKeyDescriptor::StaticClass, nullptr},
    {&TmvCompKeyDescriptor::StaticClass, nullptr},
    {&TmvNoNullCompKeyDescriptor::StaticClass, nullptr},
    {&TmvKeyFieldDescriptor::StaticClass, nullptr},
    {&TmvTextKeyFieldDescriptor::StaticClass, nullptr},
    {&TmvExtTextKeyFieldDescriptor::StaticClass, nullptr},
    {&TmvIndexDescriptor::StaticClass, nullptr},
    {&TmvFieldsDescriptor::StaticClass, nullptr},
    {&TmvBaseIndicesDescriptor::StaticClass, nullptr},
    {&TmvMainIndicesDescriptor::StaticClass, nullptr},
    {&TmvInternalIndicesDescriptor::StaticClass, nullptr},
    {&TmvBaseBlockHeapDescriptor::StaticClass, nullptr},
    {&TmvBaseHeapDescriptor::StaticClass, nullptr},
    {&TmvBaseRecordDescriptor::StaticClass, nullptr},
    {&TmvHeapRecordDescriptor::StaticClass, nullptr},
    {&TmvBaseBlobDescriptor::StaticClass, nullptr},
    {&TmvHeapBlobDescriptor::StaticClass, nullptr},
    {&TmvBaseCustomDescriptor::StaticClass, nullptr},
    {&TmvBaseAutoIncDescriptor::StaticClass, nullptr},
    {&TmvAdvAutoIncDescriptor::StaticClass, nullptr},
    {&TmvBaseStreamDescriptor::StaticClass, nullptr},
    {&TmvCustomDescsDescriptor::StaticClass, nullptr},
    {&TmvMinMaxValidationDescriptor::StaticClass, nullptr},
    {&TmvNoChangeValidationDescriptor::StaticClass, nullptr},
    {&TmvTablesDescriptor::StaticClass, nullptr},
    {&TmvNestedTableDescriptor::StaticClass, nullptr},
    {&TmvFieldValidationsDescriptor::StaticClass, nullptr},
    {&TmvBaseRecordCompressionDescriptor::StaticClass, nullptr},
    {&TmvSqlCheckValidationDescriptor::StaticClass, nullptr},
    {&TmvFieldsValidationsDescriptor::StaticClass, nullptr},
    {&TmvAuditDescriptor::StaticClass, nullptr},
    {&TmvFieldMapperDescriptor::StaticClass, nullptr},
    {&TmvRecordMapperDescriptor::StaticClass, nullptr},
    {&TmvBaseTableMapperDescriptor::StaticClass, nullptr},
    {&TmvTableMapperDescriptor::StaticClass, nullptr},
    // Dictionaries that stored the older name still read.
    {&TmvFieldValidationsDescriptor::StaticClass, u"TmvValidationsDescriptor"},
};

void UnregisterAll() {
  mvCompositeKeyFieldEnginesFini();
  mvUnregisterValidationEngines();
  mvUnregisterDefaultValueEngines();
  mvUnregisterFulltextClasses();
  mvUnregisterRefIntegrityClasses();
  for (size_t i = std::size(kRegistrations); i-- > 0;)
    TmvBaseRegisterableDescriptor::UnregisterDescriptor(*kRegistrations[i].cls);
  mvUnregisterFilterClasses();
}

// The engines made from the descriptors register after them.
void RegisterAll() {
  try {
    mvRegisterFilterClasses();
    for (const Registration& r : kRegistrations)
      TmvBaseRegisterableDescriptor::RegisterDescriptor(*r.cls, r.name ? String(r.name) : String());
    mvRegisterRefIntegrityClasses();
    mvRegisterFulltextClasses();
    mvRegisterDefaultValueEngines();
    mvRegisterValidationEngines();
    mvCompositeKeyFieldEnginesInit();
  } catch (...) {
    UnregisterAll();
    throw;
  }
}

// The descriptor registrations as a unit of the dictionary's group; the
// command-line switch is read first, since the locale descriptor's checks
// depend on it.
void DictionaryDescriptorsInit() {
  mvDisable30900LocaleFixes = mvFindCmdLineSwitch(u"Disable30900LocaleFixes");
  RegisterAll();
}

constexpr TmvUnitSteps kDictionaryUnits[] = {
    {mvFoundationInit, mvFoundationFini},
    {DictionaryDescriptorsInit, UnregisterAll},
};
constinit TmvUnitGroup gDictionaryUnits(kDictionaryUnits);

}  // namespace

void mvDictionaryInit() { gDictionaryUnits.Start(); }

void mvDictionaryFini() { gDictionaryUnits.Stop(); }
