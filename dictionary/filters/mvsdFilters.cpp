// Data dictionary: the registration of the filter classes. See mvsdFilters.h.
#include "dictionary/filters/mvsdFilters.h"

#include "dictionary/filters/mvsdSimpleExpressionFilter.h"
#include "dictionary/filters/mvsdSqlFilter.h"

namespace {

const TmvRegisterableDescriptorClassRef* const kDescriptors[] = {
    &TmvCallbackFilterDescriptor::StaticClass,
    &TmvFilterDescriptorHub::StaticClass,
    &TmvSimpleExpressionFilterDescriptor::StaticClass,
    &TmvSqlFilterDescriptor::StaticClass,
};

const TmvRegisterableEngineClassRef* const kEngines[] = {
    &TmvCallbackFilterEngine::StaticClass,
    &TmvFilterEngineHub::StaticClass,
    &TmvSimpleExpressionFilterEngine::StaticClass,
    &TmvSqlFilterEngine::StaticClass,
};

}  // namespace

void mvRegisterFilterClasses() {
  try {
    for (const auto* cls : kDescriptors) TmvBaseRegisterableDescriptor::RegisterDescriptor(*cls);
    for (const auto* cls : kEngines) TmvBaseRegisterableEngine::RegisterEngine(*cls);
  } catch (...) {
    mvUnregisterFilterClasses();
    throw;
  }
}

void mvUnregisterFilterClasses() {
  for (const auto* cls : kEngines) TmvBaseRegisterableEngine::UnregisterEngine(*cls);
  for (const auto* cls : kDescriptors) TmvBaseRegisterableDescriptor::UnregisterDescriptor(*cls);
}
