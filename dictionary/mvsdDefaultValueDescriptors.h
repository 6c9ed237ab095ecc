// Data dictionary: default-value descriptors.
//
// A field may carry one default-value descriptor, which says when its
// default applies (on insert, on modify), on which side (server, client) and
// whether it replaces a value already present. `TmvBaseDefaultValueDescriptor`
// is the family's root with its class registry; the fields descriptor reads
// two of its classes to find special fields: an auto-GUID default marks the
// table's auto-GUID field, a next-LSN default its insert-LSN or modify-LSN
// field. The constant, date-time, user and empty defaults and the engines
// that apply defaults to records are registered in this family by their own
// units.
//
// Layer: data dictionary; calls the dictionary item base and the field
// descriptor. A descriptor's parent leads to its field, which owns it.
#pragma once

#include "dictionary/mvsdDictionaryItem.h"
#include "foundation/mvsdTypes.h"

MV_DECLARE_EXCEPTION(EmvBaseDefaultValueDescriptorException, EmvDictionaryItemException)

class TmvFieldDescriptor;

class TmvBaseDefaultValueDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  // aClass is the class being constructed. The parent must lead to a field
  // descriptor (8712); a field of a BLOB type raises 10001 "\"%s\" is not
  // supported for field type \"%s\"" (the class and the type's name).
  TmvBaseDefaultValueDescriptor(TPersistent* aParent, const ClassRef& aClass);

  TmvApplyAtSet GetApplyAt() const { return bdvApplyAt; }
  bool GetApplyOnInsert() const { return bdvApplyOnInsert; }
  bool GetApplyOnModify() const { return bdvApplyOnModify; }
  bool GetOverwriteNonNull() const { return bdvOverwriteNonNull; }
  // Each: CheckReadOnly, then store.
  virtual void SetApplyAt(TmvApplyAtSet aValue);
  virtual void SetApplyOnInsert(bool aValue);
  virtual void SetApplyOnModify(bool aValue);
  virtual void SetOverwriteNonNull(bool aValue);
  // The field types (bit n for ordinal n) the descriptor refuses: here the
  // four BLOB types.
  virtual TmvFieldTypes GetUnsupportedFieldTypes() const;

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  // The field the descriptor belongs to; 8712 when there is none.
  TmvFieldDescriptor* RelatedField();

  static TmvClassRegistry* Registry();

  // The engine class found for this descriptor on first use, kept by the
  // default-value engines; any thread may store it (all store the same).
  const TmvRegisterableEngineClassRef* bdvCachedEngineClass = nullptr;

 protected:
  // Raises 10001 when the related field's type is in aRefused.
  void CheckFieldType(TmvFieldTypes aRefused, const String& aClassName);

  TmvApplyAtSet bdvApplyAt = mvSetOf({aaServer, aaClient});
  bool bdvApplyOnInsert = true;
  bool bdvApplyOnModify = false;
  bool bdvOverwriteNonNull = false;
};

// A new GUID into a GUID field.
class TmvAutoGuidDefaultValueDescriptor : public TmvBaseDefaultValueDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvAutoGuidDefaultValueDescriptor(TPersistent* aParent)
      : TmvBaseDefaultValueDescriptor(aParent, StaticClass) {}
  TmvFieldTypes GetUnsupportedFieldTypes() const override;
};

// The next log sequence number into an Int64 field, always on the server,
// on insert and replacing any value; applied on modify too it makes the
// field the table's modify-LSN field, otherwise its insert-LSN field.
class TmvNextLSNDefaultValueDescriptor : public TmvBaseDefaultValueDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvNextLSNDefaultValueDescriptor(TPersistent* aParent);
  // These store their fixed value whatever they are given.
  void SetApplyAt(TmvApplyAtSet aValue) override;
  void SetApplyOnInsert(bool aValue) override;
  void SetOverwriteNonNull(bool aValue) override;
  TmvFieldTypes GetUnsupportedFieldTypes() const override;
};
