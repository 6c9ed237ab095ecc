// Data dictionary: field descriptors.
//
// A `TmvFieldDescriptor` describes one column of a table: name, number,
// description, field type, size parameters (units, decimals), its place in
// the record buffer (offset, length), whether it is required or hidden from
// clients, and two optional owned children, a default value and a list of
// validations. It normalises its size parameters per field type
// (`SetupField`), validates them, converts values between the field's bytes
// in a record buffer and variants, and offers the read-only view
// `ImvFieldDescriptor` to filter and key code.
//
// The fields descriptor (mvsdFieldsDescriptor.h) owns the field descriptors,
// numbers them, places them in the record and writes the part of their
// stream form that the constructor takes.
//
// Layer: data dictionary; calls the foundation's native value conversion.
#pragma once

#include <string_view>

#include "dictionary/items/mvsdDictionaryItem.h"
#include "foundation/types/mvsdTypes.h"
#include "platform/Variants.h"

class TmvFieldDescriptor;
class TmvBaseDefaultValueDescriptor;
class TmvFieldValidationsDescriptor;

MV_DECLARE_EXCEPTION(EmvFieldDescriptorException, EmvLocalizedDictionaryItemException)

// ---------------------------------------------------------------------------
// Field types as the dictionary stores them

// The enumeration names ("mvtInt32", "mvtBlob", "mvtGuid"), by ordinal: the
// form in which a dictionary stream names a field's type.
extern const std::u16string_view mvFieldTypeEnumNames[mvFieldTypeCount];
// The type with that enumeration name (ASCII case ignored); false when none.
bool mvFieldTypeFromEnumName(std::u16string_view aName, TmvFieldType& aType);

inline constexpr TmvFieldTypes mvBlobFieldTypes = mvSetOf({mvtBlob, mvtBlobMemo, mvtBlobGraphic, mvtBlobWideMemo});
inline bool mvIsBlobFieldType(TmvFieldType aType) { return mvInSet(mvBlobFieldTypes, aType); }

// Whether a field of type aColumn can take over the stored bytes of a field
// of type aRow: equal types, and the groups {Word32, AutoInc, RecRev},
// {Int64, RefNr}, {Currency, BCD, FmtBCD}, {DateTime, Interval}, the BLOB
// types, and (RefNr, Currency) in that one direction.
bool mvFieldTypesStorageCompatible(TmvFieldType aRow, TmvFieldType aColumn);

// A name in lower case, the key of the fields descriptor's name lookup.
String mvLowerCaseName(std::u16string_view aName);

// ---------------------------------------------------------------------------
// ImvFieldDescriptor

// The read-only view of one field. Reference counting does nothing: the
// fields descriptor owns the field.
class ImvFieldDescriptor : public IInterface {
 public:
  virtual String GetName() = 0;
  virtual TmvFieldType GetFieldType() = 0;
  virtual int32_t GetUnits() = 0;
  virtual int32_t GetDecPl() = 0;
  virtual TmvLocaleDescriptor* GetUsedLocaleDescriptor() = 0;
  // The used locale's storage code page, 0 without locale.
  virtual uint16_t GetUsedStorageCodePage() = 0;

 protected:
  ~ImvFieldDescriptor() = default;
};
inline constexpr TGUID IID_ImvFieldDescriptor{0x3E7A9C41, 0x52D0, 0x4F8B, {0xA1, 0x6E, 0x0B, 0x94, 0x7C, 0x25, 0xD3, 0x10}};

// ---------------------------------------------------------------------------
// TmvFieldDescriptor

// The family record: the virtual constructor and the class-level SetupField.
struct TmvFieldDescriptorClassRef : TmvDictionaryItemClassRef {
  TmvFieldDescriptor* (*CreateField)(TPersistent* aParent, const String& aName, const String& aDesc,
                                     TmvFieldType aType, int32_t aUnits, int32_t aDecPl, bool aRequired);
  void (*SetupField)(TmvFieldType aType, int32_t& aUnits, int32_t& aDecPl, bool& aRequired, int32_t& aLength);
};

template <typename T>
TmvFieldDescriptor* mvCreateField(TPersistent* aParent, const String& aName, const String& aDesc, TmvFieldType aType,
                                  int32_t aUnits, int32_t aDecPl, bool aRequired) {
  return new T(aParent, aName, aDesc, aType, aUnits, aDecPl, aRequired);
}

class TmvFieldDescriptor : public TmvLocalizedDictionaryItem, public ImvFieldDescriptor {
  MV_DECLARE_CLASSREF(TmvFieldDescriptorClassRef)
  friend class TmvFieldsDescriptor;
  friend class TmvAuditDescriptor;  // widens its log's text fields in place

 public:
  // Checks the name (10038 "Invalid field name."), stores the values and
  // normalises them with SetupField. A descendant whose class replaces
  // SetupField calls UpdateSetup in its own constructor.
  TmvFieldDescriptor(TPersistent* aParent, const String& aName, const String& aDesc, TmvFieldType aType,
                     int32_t aUnits, int32_t aDecPl, bool aRequired);
  ~TmvFieldDescriptor() override;

  // Keeps only a next-LSN default value and no validations.
  virtual void SetupForCacheTable();
  // Whether the field may stand in that table; true here.
  virtual bool IsValidFor(TmvDictionaryItem* aTableDescriptor);
  // Normalises units, decimals, required flag and length for a field type
  // (see the table in the .cpp). A type outside the enumeration changes
  // nothing.
  static void SetupField(TmvFieldType aType, int32_t& aUnits, int32_t& aDecPl, bool& aRequired, int32_t& aLength);

  // CheckReadOnly; 10038 for a bad name; 10009 when the owning fields
  // descriptor (8712 without one) has that name already, this field
  // included, ignoring case.
  void ChangeName(const String& aNewName);
  // CheckReadOnly, frees the present one, creates one of aClass (nil: the
  // class registered as "TmvConstDefaultValueDescriptor") under this field.
  TmvBaseDefaultValueDescriptor* AddDefaultValue(const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveDefaultValue();
  // The same for the validations (nil: "TmvFieldValidationsDescriptor").
  TmvFieldValidationsDescriptor* AddValidations(const TmvDictionaryItemClassRef* aClass = nullptr);
  void RemoveValidations();
  TmvFieldValidationsDescriptor* EnsureValidations();
  // Applies SetupField to the field's own values.
  void UpdateSetup();
  // Whether the field's length is the one its type, units and decimals
  // give (a length read from a damaged stream may be anything).
  bool LengthFitsType() const;

  // The field's bytes (nil: Null) as a variant; a NullString without its
  // terminator within the field is damage (8962).
  void fdGetBufferAsVariant(const void* aFieldBuffer, Variant& aValue);
  // Writes the value into the field's bytes; empty or Null zeroes them. A
  // failed conversion zeroes them too and passes the error on.
  void fdSetBufferAsVariant(void* aFieldBuffer, const Variant& aValue);
  // "[3] Name - Int32", with "(units)" for byte arrays and strings and
  // "(units,decimals)" for FmtBCD.
  String ToString() const;

  // The part of the stream form that the constructor takes: class name,
  // name, description, the enumeration name of aType (the fields descriptor
  // writes a RefNr field as Int64 for old peers), units, decimals, required.
  void WriteConstructorPart(TmvWriter& aWriter, TmvFieldType aType);
  // Reads that part and constructs the field under aParent; an unknown
  // class raises 15499, an unknown type name 15498.
  static TmvFieldDescriptor* CreateFromConstructorPart(TmvReader& aReader, TPersistent* aParent);

  // The stream form of a single field outside a fields descriptor.
  void SaveStandalone(TmvWriter& aWriter, int32_t aVersion);
  // The caller owns the result; a failed read frees it.
  static TmvFieldDescriptor* CreateStandaloneFromReader(TmvReader& aReader);

  bool FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                   TmvDictionaryItem* aFrom = nullptr) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;

  // ImvFieldDescriptor (reference counting does nothing).
  int32_t QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override { return -1; }
  int32_t _Release() override { return -1; }
  String GetName() override { return fdName; }
  TmvFieldType GetFieldType() override { return fdType; }
  int32_t GetUnits() override { return fdUnits; }
  int32_t GetDecPl() override { return fdDecPl; }
  TmvLocaleDescriptor* GetUsedLocaleDescriptor() override {
    return TmvLocalizedDictionaryItem::GetUsedLocaleDescriptor();
  }
  uint16_t GetUsedStorageCodePage() override { return TmvLocalizedDictionaryItem::GetUsedStorageCodePage(); }

  const String& Name() const { return fdName; }
  const String& NameLowerCase() const { return fdNameLowerCase; }
  const String& GetDesc() const { return fdDesc; }
  void SetDesc(const String& aValue);
  TmvFieldType FieldType() const { return fdType; }
  int32_t Number() const { return fdNumber; }
  int32_t Units() const { return fdUnits; }
  int32_t DecPl() const { return fdDecPl; }
  int32_t Offset() const { return fdOffset; }
  int32_t Length() const { return fdLength; }
  bool GetRequired() const { return fdRequired; }
  bool GetNoClientAccess() const { return fdNoClientAccess; }
  void SetNoClientAccess(bool aValue);
  int32_t GetBlobIndex() const { return fdBlobIndex; }
  TmvBaseDefaultValueDescriptor* GetDefaultValue() const { return fdDefaultValue; }
  TmvFieldValidationsDescriptor* GetValidations() const { return fdValidations; }

  static TmvClassRegistry* Registry();

 protected:
  const TmvFieldDescriptorClassRef& FieldClass() const {
    return static_cast<const TmvFieldDescriptorClassRef&>(ClassType());
  }
  // Raises 10003 naming this field when SetupField expects another value.
  void CheckSetupValue(const char16_t* aName, int32_t aExpected, int32_t aFound) const;

  String fdName;
  int32_t fdNumber = 0;
  String fdNameLowerCase;
  TmvFieldDescriptor* fdSameHashNext = nullptr;  // not owned
  String fdDesc;
  TmvFieldType fdType;
  int32_t fdUnits;
  int32_t fdDecPl;
  int32_t fdOffset = 0;
  int32_t fdLength = 0;
  TmvBaseDefaultValueDescriptor* fdDefaultValue = nullptr;
  TmvFieldValidationsDescriptor* fdValidations = nullptr;
  bool fdRequired;
  bool fdNoClientAccess = false;
  int32_t fdBlobIndex = -1;
};
