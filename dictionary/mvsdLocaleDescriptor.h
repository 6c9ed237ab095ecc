// Data dictionary: the locale descriptor family.
//
// A locale descriptor says how the text of a table, a field or a key field
// is stored and compared. This unit holds the family's root class with its
// class registry and what localized dictionary items ask of it: the storage
// code page. The locale id, comparison options, sort-rule versions and the
// stream body belong to the concrete locale descriptor class, which is
// registered in this family.
//
// Layer: data dictionary; calls the dictionary item base only.
#pragma once

#include "dictionary/mvsdDictionaryItem.h"

class TmvLocaleDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvLocaleDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}

  // The code page text is stored in: an override, else the locale's own
  // ANSI code page, 0 for no locale.
  virtual uint16_t StorageCodepage() = 0;

  // The family's registry of locale descriptor classes.
  static TmvClassRegistry* Registry();
};

MV_DECLARE_EXCEPTION(EmvLocaleDescriptorException, EmvDictionaryItemException)
