// Data dictionary: the locale descriptor family. See mvsdLocaleDescriptor.h.
#include "dictionary/mvsdLocaleDescriptor.h"

TmvClassRegistry* TmvLocaleDescriptor::Registry() {
  static TmvClassRegistry registry = nullptr;
  return &registry;
}

// Abstract: the concrete class registered in this family constructs itself.
constinit const TmvDictionaryItemClassRef TmvLocaleDescriptor::StaticClass{
    {{u"TmvLocaleDescriptor", &TmvDictionaryItem::StaticClass}, &TmvLocaleDescriptor::Registry, nullptr}, nullptr};
