// Data dictionary: start-up and shutdown of the dictionary units, in order.
#include "dictionary/mvsdUnits.h"

#include <mutex>

#include "dictionary/mvsdCustomDescriptors.h"
#include "dictionary/mvsdDefaultValueDescriptors.h"
#include "dictionary/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdFileDescriptor.h"
#include "dictionary/mvsdIndexDescriptors.h"
#include "dictionary/mvsdKeyDescriptors.h"
#include "dictionary/mvsdLocaleDescriptor.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "dictionary/mvsdValidationDescriptors.h"
#include "foundation/mvllUnits.h"

namespace {

std::mutex gUnitLock;
int gUnitUses = 0;

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
    {&TmvAutoGuidDefaultValueDescriptor::StaticClass, nullptr},
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
    {&TmvTablesDescriptor::StaticClass, nullptr},
    {&TmvNestedTableDescriptor::StaticClass, nullptr},
    {&TmvFieldValidationsDescriptor::StaticClass, nullptr},
    {&TmvBaseRecordCompressionDescriptor::StaticClass, nullptr},
    {&TmvFieldsValidationsDescriptor::StaticClass, nullptr},
    // Dictionaries that stored the older name still read.
    {&TmvFieldValidationsDescriptor::StaticClass, u"TmvValidationsDescriptor"},
};

void UnregisterAll() {
  for (size_t i = std::size(kRegistrations); i-- > 0;)
    TmvBaseRegisterableDescriptor::UnregisterDescriptor(*kRegistrations[i].cls);
}

void RegisterAll() {
  try {
    for (const Registration& r : kRegistrations)
      TmvBaseRegisterableDescriptor::RegisterDescriptor(*r.cls, r.name ? String(r.name) : String());
  } catch (...) {
    UnregisterAll();
    throw;
  }
}

}  // namespace

void mvDictionaryInit() {
  std::lock_guard<std::mutex> guard(gUnitLock);
  if (gUnitUses > 0) {
    ++gUnitUses;
    return;
  }
  mvFoundationInit();
  try {
    mvDisable30900LocaleFixes = mvFindCmdLineSwitch(u"Disable30900LocaleFixes");
    RegisterAll();
  } catch (...) {
    mvFoundationFini();
    throw;
  }
  gUnitUses = 1;
}

void mvDictionaryFini() {
  std::lock_guard<std::mutex> guard(gUnitLock);
  if (gUnitUses == 0 || --gUnitUses > 0) return;
  UnregisterAll();
  mvFoundationFini();
}
