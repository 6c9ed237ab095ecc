// Data dictionary: the field-validation descriptors.
//
// A table constrains the values written into it with validations, which are
// dictionary items. A field may carry a list of validations
// (`TmvFieldValidationsDescriptor`): limits (`TmvMinMaxValidationDescriptor`),
// read-only once set (`TmvNoChangeValidationDescriptor`) and SQL CHECK
// conditions (`TmvSqlCheckValidationDescriptor`). The fields descriptor may
// carry a list of record-level validations (`TmvFieldsValidationsDescriptor`),
// which holds SQL CHECK conditions over the whole row. Each validation has a
// name, unique in its list, and names the sides (server, client) on which it
// is enforced. The engines that run them live in mvsdValidationEngine.h.
//
// Two class registries serve the family: that of the validations
// (`TmvBaseFieldValidationDescriptor::Registry`) and that of the lists
// (`TmvFieldValidationsDescriptor::Registry`); dictionary streams name both
// kinds by class name.
//
// Ownership: a list owns its validations; a min/max or no-change validation
// owns its key field, a free-standing key field (field number
// mvParentFieldNumber) whose field is the one the validation stands on.
//
// Layer: data dictionary; calls the dictionary item base, the field and key
// field descriptors and the foundation's native value conversion.
// Threading: as every dictionary item (built by one thread, read by many
// once cached).
#pragma once

#include <string_view>
#include <vector>

#include "dictionary/items/mvsdDictionaryItem.h"
#include "foundation/types/mvllWideString.h"
#include "foundation/types/mvsdTypes.h"
#include "platform/Variants.h"

class TmvBaseFieldValidationDescriptor;
class TmvFieldDescriptor;
class TmvKeyFieldDescriptor;
struct TmvKeyFieldDescriptorClassRef;

MV_DECLARE_EXCEPTION(EmvBaseFieldValidationDescriptorException, EmvDictionaryItemException)
MV_DECLARE_EXCEPTION(EmvFieldValidationsDescriptorException, EmvDictionaryItemException)

// ---------------------------------------------------------------------------
// Single validations

// The family record of validations: the virtual constructor Create
// (aParent, aName); nil for the two abstract roots, which streams cannot
// name (they are not registered), so that no list holds one.
struct TmvFieldValidationDescriptorClassRef : TmvDictionaryItemClassRef {
  TmvBaseFieldValidationDescriptor* (*CreateValidation)(TPersistent* aParent, const String& aName);
};

template <typename T>
TmvBaseFieldValidationDescriptor* mvCreateValidation(TPersistent* aParent, const String& aName) {
  return new T(aParent, aName);
}

// The root of the validations, with their registry.
class TmvBaseFieldValidationDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvFieldValidationDescriptorClassRef)
 public:
  // aName must be an identifier (not empty, reserved names allowed), else
  // 10068 "Invalid name." before the item takes an ID. Applies at the server.
  TmvBaseFieldValidationDescriptor(TPersistent* aParent, const String& aName);

  virtual TmvApplyAtSet GetApplyAt() const { return bvdApplyAt; }
  // CheckReadOnly, then store.
  virtual void SetApplyAt(TmvApplyAtSet aValue);
  // The field types (bit n for ordinal n) the validation may not stand on:
  // the four BLOB types.
  virtual TmvFieldTypes GetUnsupportedFieldTypes() const;
  TmvFieldTypes GetInvalidFieldTypes() const { return GetUnsupportedFieldTypes(); }

  const String& GetName() const { return bvdName; }
  // The field the validation stands on; 8712 when none is related (a
  // record-level validation).
  TmvFieldDescriptor* RelatedField();

  // Requires a peer from 20000 on (12039). After the item header:
  //   integer  1
  //   boolean  aaServer in ApplyAt
  //   boolean  aaClient in ApplyAt
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  // The item check, then the name (10068).
  void CheckValid(bool aForBuild) override;
  // The item test and equal ApplyAt; the name takes no part.
  bool IsEqual(TmvDictionaryItem* aItem) override;

  static TmvClassRegistry* Registry();

 protected:
  String bvdName;
  TmvApplyAtSet bvdApplyAt = mvSetOf({aaServer});
};

// The root of the record-level validations; adds nothing.
class TmvBaseFieldsValidationDescriptor : public TmvBaseFieldValidationDescriptor {
  MV_DECLARE_CLASSREF(TmvFieldValidationDescriptorClassRef)
 public:
  using TmvBaseFieldValidationDescriptor::TmvBaseFieldValidationDescriptor;
};

// What the min/max and no-change validations share: a key field that says
// how two values of the field compare (key field engine, direction, null
// placement, locale). It has no class record of its own: the class tree
// that registries and streams see has both validations directly under
// TmvBaseFieldValidationDescriptor.
class TmvComparingValidationDescriptor : public TmvBaseFieldValidationDescriptor {
 public:
  using TmvBaseFieldValidationDescriptor::TmvBaseFieldValidationDescriptor;
  ~TmvComparingValidationDescriptor() override;

  TmvKeyFieldDescriptor* GetKeyField() const { return cvdKeyField; }
  // CheckReadOnly; the key field is replaced by one of aClass (nil:
  // TmvKeyFieldDescriptor) on the validation's own field, which is returned.
  TmvKeyFieldDescriptor* AddKeyField(const TmvKeyFieldDescriptorClassRef* aClass = nullptr);
  // CheckReadOnly; frees the key field.
  void RemoveKeyField();

  // The item's clear, then the key field goes.
  void Clear(bool aNotify) override;
  // The base check; a field of a type GetUnsupportedFieldTypes refuses
  // raises 10001 "\"%s\" is not supported for field type \"%s\"" (class and
  // type name); a missing key field is added; the key field checks itself.
  void CheckValid(bool aForBuild) override;
  // The base test and equal key fields (both absent or both equal).
  bool IsEqual(TmvDictionaryItem* aItem) override;

 protected:
  //   boolean  has key field; then its class name (string) and stream form
  void WriteKeyFieldPart(TmvWriter& aWriter, int32_t aClientVersion);
  // Replaces the key field by the one read (an unknown class: 15499 with
  // "KeyFieldDescriptor"), or by none.
  void ReadKeyFieldPart(TmvReader& aReader);

  TmvKeyFieldDescriptor* cvdKeyField = nullptr;  // owned
};

// Lower and upper limits of the field's value. A limit holds the field's
// bytes as a record buffer holds them, exactly the field's length; an empty
// limit is no limit.
class TmvMinMaxValidationDescriptor : public TmvComparingValidationDescriptor {
  MV_DECLARE_CLASSREF(TmvFieldValidationDescriptorClassRef)
 public:
  using TmvComparingValidationDescriptor::TmvComparingValidationDescriptor;

  // Unassigned without a limit, else the limit read through the field.
  Variant GetMinAsVariant() { return LimitAsVariant(mmvdMin); }
  Variant GetMaxAsVariant() { return LimitAsVariant(mmvdMax); }
  // CheckReadOnly; the limit is cleared, and for a value that is not empty
  // or Null set to the field's bytes of it. A value the field cannot take
  // leaves no limit and passes the conversion's error on.
  void SetMinAsVariant(const Variant& aValue) { SetLimit(mmvdMin, aValue); }
  void SetMaxAsVariant(const Variant& aValue) { SetLimit(mmvdMax, aValue); }
  const TBytes& GetMin() const { return mmvdMin; }
  const TBytes& GetMax() const { return mmvdMax; }
  // Raises 10001 when a limit is not exactly as long as the related field:
  // the field was changed after the limit was set, and the limit can be
  // neither compared with its values nor written so that it reads back.
  void CheckLimitsFitField();

  void Clear(bool aNotify) override;
  // Also the limits' fit.
  void CheckValid(bool aForBuild) override;
  // Also equal limits.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  // The base form, then:
  //   integer  1
  //   boolean  has lower limit; then its bytes, raw (the field's length)
  //   boolean  has upper limit; then its bytes, raw
  //   the key field part
  // Limits that no longer fit the field raise 10001 rather than write a
  // stream that cannot be read back.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  // A present limit is read as the related field's current length in bytes.
  void LoadFromReader(TmvReader& aReader) override;

 private:
  Variant LimitAsVariant(const TBytes& aLimit);
  void SetLimit(TBytes& aLimit, const Variant& aValue);
  void WriteLimit(TmvWriter& aWriter, const TBytes& aLimit);
  void ReadLimit(TmvReader& aReader, TBytes& aLimit);

  TBytes mmvdMin;
  TBytes mmvdMax;
};

// The field may be set once: a modify may not change a value that is set,
// nor clear it.
class TmvNoChangeValidationDescriptor : public TmvComparingValidationDescriptor {
  MV_DECLARE_CLASSREF(TmvFieldValidationDescriptorClassRef)
 public:
  using TmvComparingValidationDescriptor::TmvComparingValidationDescriptor;

  // The base form, then integer 1 and the key field part.
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
};

// An SQL search condition that a record (or, in a field's list, the field's
// new and old value) must not make false; the SQL engine evaluates it. It
// is enforced at the server only: its ApplyAt never holds aaClient.
class TmvSqlCheckValidationDescriptor : public TmvBaseFieldsValidationDescriptor {
  MV_DECLARE_CLASSREF(TmvFieldValidationDescriptorClassRef)
 public:
  using TmvBaseFieldsValidationDescriptor::TmvBaseFieldsValidationDescriptor;

  // The stored set without aaClient.
  TmvApplyAtSet GetApplyAt() const override;
  // Stores only the aaServer part.
  void SetApplyAt(TmvApplyAtSet aValue) override;

  const String& GetConstraint() const { return scvdConstraint; }
  // Each: CheckReadOnly, then store. An empty message reports the
  // standard text of 9751.
  void SetConstraint(const String& aValue);
  const String& GetErrorMessage() const { return scvdErrorMessage; }
  void SetErrorMessage(const String& aValue);

  // Also the same condition text (exactly); the message takes no part.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  // The base form, then integer 1, the condition (a wide string) and the
  // error message (a string).
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

 private:
  String scvdConstraint;
  String scvdErrorMessage;
};

// ---------------------------------------------------------------------------
// Lists

// The validations of one field, in order; root of the lists and their
// registry (a field's `fdValidations`). Registered also under the alias
// "TmvValidationsDescriptor".
class TmvFieldValidationsDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvFieldValidationsDescriptor(TPersistent* aParent) : TmvDictionaryItem(aParent) {}
  ~TmvFieldValidationsDescriptor() override;

  // The class every validation of the list descends from.
  virtual const TmvFieldValidationDescriptorClassRef& GetDefaultValidationClass() const;

  // CheckReadOnly; aName must be an identifier (10068) and new in the list,
  // ignoring ASCII case (10009 "Duplicated validation descriptor name: %s");
  // aClass (nil: GetDefaultValidationClass) must descend from
  // GetDefaultValidationClass (9986) and be one that can be made (15499
  // "ValidationDescriptor class is not supported: %s" for the roots). The
  // new validation is appended and returned.
  TmvBaseFieldValidationDescriptor* AddValidation(const String& aName,
                                                  const TmvFieldValidationDescriptorClassRef* aClass = nullptr);
  // Position by name (ASCII case ignored), -1 when none.
  int32_t GetValidationDescriptorFromName(std::u16string_view aName) const;
  // Position of the first validation of that class name (case ignored).
  int32_t GetValidationDescriptorFromClassName(std::u16string_view aClassName) const;
  // CheckReadOnly; nothing for a bad index (an absent name).
  void RemoveValidation(int32_t aInx);
  void RemoveValidation(const String& aName);

  // Requires: 0 <= aIndex < ValidationCount.
  TmvBaseFieldValidationDescriptor* ValidationDescriptor(int32_t aIndex) const {
    return fvdValidations[size_t(aIndex)];
  }
  int32_t ValidationCount() const { return int32_t(fvdValidations.size()); }

  // The item's clear, then every validation goes.
  void Clear(bool aNotify) override;
  // The item check; a name seen before (case ignored) raises 10009; each
  // validation checks itself, in order.
  void CheckValid(bool aForBuild) override;
  // The same count and validation i equal to validation i.
  bool IsEqual(TmvDictionaryItem* aItem) override;
  // Requires a peer from 20000 on (12039). After the item header:
  //   integer  1
  //   integer  count
  //   per validation: string class name, string name, its stream form
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  // The list is replaced by the validations read; an unknown class raises
  // 15499 with "ValidationDescriptor".
  void LoadFromReader(TmvReader& aReader) override;

  static TmvClassRegistry* Registry();

 private:
  void DropValidations();

  std::vector<TmvBaseFieldValidationDescriptor*> fvdValidations;  // owned
};

// The record-level validations of a table (the fields descriptor's
// `fsdValidations`): record-level validations only.
class TmvFieldsValidationsDescriptor : public TmvFieldValidationsDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvFieldValidationsDescriptor::TmvFieldValidationsDescriptor;
  const TmvFieldValidationDescriptorClassRef& GetDefaultValidationClass() const override;
};
