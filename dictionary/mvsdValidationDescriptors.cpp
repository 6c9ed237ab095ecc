// Data dictionary: the field-validations family. See mvsdValidationDescriptors.h.
#include "dictionary/mvsdValidationDescriptors.h"

TmvClassRegistry* TmvFieldValidationsDescriptor::Registry() {
  static TmvClassRegistry registry = nullptr;
  return &registry;
}

// No constructor in the records: the list classes registered in this
// family by the validation unit construct themselves.
constinit const TmvDictionaryItemClassRef TmvFieldValidationsDescriptor::StaticClass{
    {{u"TmvFieldValidationsDescriptor", &TmvDictionaryItem::StaticClass}, &TmvFieldValidationsDescriptor::Registry,
     nullptr},
    nullptr};

constinit const TmvDictionaryItemClassRef TmvFieldsValidationsDescriptor::StaticClass{
    {{u"TmvFieldsValidationsDescriptor", &TmvFieldValidationsDescriptor::StaticClass},
     &TmvFieldValidationsDescriptor::Registry, nullptr},
    nullptr};
