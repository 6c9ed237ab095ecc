// Data dictionary: default-value descriptors.
//
// A field may carry one default-value descriptor, which says when its
// default applies (on insert, on modify), on which side (server, client) and
// whether it replaces a value already present. `TmvBaseDefaultValueDescriptor`
// is the family's root with its class registry; its classes give a stored
// constant, the current date or time, the session's user name, a new GUID,
// zero bytes, or the next log sequence number. The fields descriptor reads
// two of them to find special fields: an auto-GUID default marks the table's
// auto-GUID field, a next-LSN default its insert-LSN or modify-LSN field. The
// engines that apply defaults to records live in mvsdDefaultValueEngines.h.
//
// Layer: data dictionary; calls the dictionary item base, the field
// descriptor and the foundation's native value conversion. A descriptor's
// parent leads to its field, which owns it.
//
// Threading: as every dictionary item (built by one thread, read by many
// once cached). Reading a constant's value from a cached tree changes
// nothing as long as its field keeps the format the value was read in.
#pragma once

#include "dictionary/items/mvsdDictionaryItem.h"
#include "foundation/types/mvllWideString.h"
#include "foundation/types/mvsdTypes.h"
#include "platform/Variants.h"

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
  // Raises 10001 "\"%s\" is not supported for field type \"%s\"" when the
  // related field's type is one GetUnsupportedFieldTypes refuses.
  void CheckFieldTypeSupported();

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

// A stored constant, held in the native form of the field format it was
// recorded in. Its stream form, after the base part:
//
//   integer  1
//   raw      the value bytes; their count is not written: it is the
//            field's length
//
// The held format is the field's type, used storage code page, units,
// decimals and length when the value was set. When the field changes, the
// value is matched to the field's new format: with conversion where its
// value is read (AsVariant, writing, an engine), without where it is
// overwritten. A format whose length disagrees with its type (or an
// Interval field) cannot be converted from or to: 10002.
class TmvConstDefaultValueDescriptor : public TmvBaseDefaultValueDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  // The format and a zero value of the field's length. A length outside
  // 0..mvMaxRecordLength raises 10003.
  explicit TmvConstDefaultValueDescriptor(TPersistent* aParent);

  // Matched to the field with conversion (10002 when that fails), then read
  // through the field's fdGetBufferAsVariant.
  Variant GetAsVariant();
  // Matched to the field without conversion, then written through the
  // field's fdSetBufferAsVariant (a failure leaves a zero value and passes).
  void SetAsVariant(const Variant& aValue);

  // When the held format differs from the field's current one, the value
  // becomes zero bytes of the field's length in the field's format; with
  // aConvert the old value is first converted, and a failure raises 10002
  // leaving the new format with a zero value.
  void MatchFieldFormat(bool aConvert);
  // The value in the field's current format, converted when the held format
  // differs (10002 when that fails); the descriptor itself is not changed,
  // so that engines may ask a shared, cached tree.
  TBytes ValueInFieldFormat();
  // Records the field's current format as that of the held bytes, without
  // converting them. The field calls it once its own locale is read: the
  // bytes were written in the field's format, which is known only then.
  void AdoptFieldFormat();

  const TBytes& GetValueBytes() const { return cdvDefaultValue; }
  TmvFieldType GetValueFieldType() const { return cdvFieldType; }
  uint16_t GetValueCodePage() const { return cdvFieldCodePage; }
  int32_t GetValueLength() const { return cdvFieldLength; }

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

 private:
  struct Format {
    TmvFieldType type;
    uint16_t codePage;
    int32_t units, decPl, length;
    bool operator==(const Format&) const = default;
  };
  Format HeldFormat() const { return {cdvFieldType, cdvFieldCodePage, cdvFieldUnits, cdvFieldDecPl, cdvFieldLength}; }
  Format FieldFormat();
  void HoldFormat(const Format& aFormat);
  bool IsSoundFormat(const Format& aFormat);
  TBytes Converted(const Format& aFrom, const Format& aTo);

  TmvFieldType cdvFieldType;
  uint16_t cdvFieldCodePage;
  int32_t cdvFieldUnits;
  int32_t cdvFieldDecPl;
  int32_t cdvFieldLength;
  TBytes cdvDefaultValue;
};

// Today, the time of day or now, into a Date, Time or DateTime field.
class TmvCurrentDateTimeDefaultValueDescriptor : public TmvBaseDefaultValueDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvCurrentDateTimeDefaultValueDescriptor(TPersistent* aParent)
      : TmvBaseDefaultValueDescriptor(aParent, StaticClass) {}
  TmvFieldTypes GetUnsupportedFieldTypes() const override;
};

// The session's user name into a ShortString, NullString or WideString field.
class TmvCurrentUserDefaultValueDescriptor : public TmvBaseDefaultValueDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvCurrentUserDefaultValueDescriptor(TPersistent* aParent)
      : TmvBaseDefaultValueDescriptor(aParent, StaticClass) {}
  TmvFieldTypes GetUnsupportedFieldTypes() const override;
};

// Zero bytes, not null; refused for the date and time types and the BLOB
// types from BLOB through BLOB graphic, whose zero bytes mean nothing.
class TmvEmptyDefaultValueDescriptor : public TmvBaseDefaultValueDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TmvEmptyDefaultValueDescriptor(TPersistent* aParent)
      : TmvBaseDefaultValueDescriptor(aParent, StaticClass) {}
  TmvFieldTypes GetUnsupportedFieldTypes() const override;
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
