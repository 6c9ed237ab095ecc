// Data dictionary: the field-validations family.
//
// A field may carry a list of validations (`TmvFieldValidationsDescriptor`)
// and the fields descriptor a list of record-level ones
// (`TmvFieldsValidationsDescriptor`). This unit holds the family's classes
// as far as the fields and the fields descriptor use them: the class
// registry through which their stream forms are read back, and the
// class identities through which a field answers a request for its
// validations. The validations in a list, their checks and stream bodies
// belong to the validation descriptor classes registered in this family.
//
// Layer: data dictionary; calls the dictionary item base only.
#pragma once

#include "dictionary/mvsdDictionaryItem.h"

// The validations of one field; root of the family and its registry.
class TmvFieldValidationsDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvFieldValidationsDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}

  static TmvClassRegistry* Registry();
};

// The record-level validations of a table.
class TmvFieldsValidationsDescriptor : public TmvFieldValidationsDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvFieldsValidationsDescriptor(TPersistent* aParent) : TmvFieldValidationsDescriptor(aParent) {}
};

MV_DECLARE_EXCEPTION(EmvFieldValidationsDescriptorException, EmvDictionaryItemException)
