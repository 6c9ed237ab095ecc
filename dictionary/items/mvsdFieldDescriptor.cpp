// Data dictionary: field descriptors. See mvsdFieldDescriptor.h.
#include "dictionary/items/mvsdFieldDescriptor.h"

#include <cstring>
#include <limits>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/filters/mvsdValidationDescriptors.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "foundation/types/mvsdNativeVariantConverter.h"

const std::u16string_view mvFieldTypeEnumNames[mvFieldTypeCount] = {
    u"mvtBoolean",    u"mvtChar",        u"mvtWideChar",   u"mvtByte",         u"mvtWord16",    u"mvtWord32",
    u"mvtInt8",       u"mvtInt16",       u"mvtInt32",      u"mvtInt64",        u"mvtAutoInc",   u"mvtSingle",
    u"mvtDouble",     u"mvtExtended",    u"mvtCurrency",   u"mvtDate",         u"mvtTime",      u"mvtDateTime",
    u"mvtInterval",   u"mvtBlob",        u"mvtBlobMemo",   u"mvtBlobGraphic",  u"mvtByteArray", u"mvtShortString",
    u"mvtNullString", u"mvtWideString",  u"mvtRecRev",     u"mvtGuid",         u"mvtBCD",       u"mvtBlobWideMemo",
    u"mvtFmtBCD",     u"mvtRefNr"};

bool mvFieldTypeFromEnumName(std::u16string_view aName, TmvFieldType& aType) {
  for (int t = 0; t < mvFieldTypeCount; ++t) {
    if (SameClassName(aName, mvFieldTypeEnumNames[t])) {
      aType = TmvFieldType(t);
      return true;
    }
  }
  return false;
}

namespace {

// The storage groups: types within one group share their stored form.
int StorageGroup(TmvFieldType aType) {
  switch (aType) {
    case mvtWord32: case mvtAutoInc: case mvtRecRev: return 1;
    case mvtInt64: case mvtRefNr: return 2;
    case mvtCurrency: case mvtBCD: case mvtFmtBCD: return 3;
    case mvtDateTime: case mvtInterval: return 4;
    case mvtBlob: case mvtBlobMemo: case mvtBlobGraphic: case mvtBlobWideMemo: return 5;
    default: return 0;
  }
}

// A length computed from units, kept from wrapping: a damaged stream may
// carry any units, and the record-size check must still see a huge field.
int32_t SaturatedLength(int64_t aLength) {
  return aLength > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max() : int32_t(aLength);
}

int32_t UnitsIn(int32_t aUnits, int32_t aMax) { return aUnits >= 1 && aUnits <= aMax ? aUnits : aMax; }

String BoolText(bool aValue) { return aValue ? u"True" : u"False"; }

}  // namespace

bool mvFieldTypesStorageCompatible(TmvFieldType aRow, TmvFieldType aColumn) {
  if (aRow == aColumn) return true;
  if (aRow == mvtRefNr && aColumn == mvtCurrency) return true;
  int group = StorageGroup(aRow);
  return group != 0 && group == StorageGroup(aColumn);
}

String mvLowerCaseName(std::u16string_view aName) {
  String lower(aName);
  mvCharLower(lower.data());
  return lower;
}

// ---------------------------------------------------------------------------

TmvClassRegistry* TmvFieldDescriptor::Registry() { return mvFamilyRegistry<TmvFieldDescriptor>(); }

constinit const TmvFieldDescriptorClassRef TmvFieldDescriptor::StaticClass{
    {{{u"TmvFieldDescriptor", &TmvLocalizedDictionaryItem::StaticClass}, &TmvFieldDescriptor::Registry, nullptr},
     nullptr},
    &mvCreateField<TmvFieldDescriptor>,
    &TmvFieldDescriptor::SetupField};

TmvFieldDescriptor::TmvFieldDescriptor(TPersistent* aParent, const String& aName, const String& aDesc,
                                       TmvFieldType aType, int32_t aUnits, int32_t aDecPl, bool aRequired)
    : TmvLocalizedDictionaryItem(aParent),
      fdName(aName),
      fdDesc(aDesc),
      fdType(aType),
      fdUnits(aUnits),
      fdDecPl(aDecPl),
      fdRequired(aRequired) {
  mvCheckIdentifier<EmvFieldDescriptorException>(aName, MVERR_INVALIDFIELDNAME, false);
  fdNameLowerCase = mvLowerCaseName(aName);
  SetupField(fdType, fdUnits, fdDecPl, fdRequired, fdLength);
}

TmvFieldDescriptor::~TmvFieldDescriptor() {
  mvFreeAndNil(fdDefaultValue);
  mvFreeAndNil(fdValidations);
}

// | type                          | units            | decimals          | length          |
// |-------------------------------|------------------|-------------------|-----------------|
// | Boolean                       | 0                | 0                 | 1               |
// | Char / WideChar               | 1                | 0                 | 1 / 2           |
// | Byte, Int8                    | U in 1..3, else 3| 0                 | 1               |
// | Word16, Int16                 | 1..5, else 5     | 0                 | 2               |
// | Word32, Int32                 | 1..10, else 10   | 0                 | 4               |
// | Int64                         | 1..20, else 20   | 0                 | 8               |
// | AutoInc, RecRev               | 10               | 0                 | 4               |
// | Single / Double / Extended    | kept             | kept              | 4 / 8 / 10      |
// | Currency, BCD                 | see below        | 0..4, else 4      | 8               |
// | Date, Time                    | 0                | 0                 | 4               |
// | DateTime, Interval, BLOBs     | 0                | 0                 | 8               |
// | ByteArray                     | kept             | 0                 | U               |
// | ShortString                   | at most 255      | U when D > 0      | U + 1           |
// | NullString                    | kept             | U when D > 0      | U + 1           |
// | WideString                    | kept             | U when D > 0      | (U + 1) * 2     |
// | Guid                          | 0                | 0                 | 16              |
// | FmtBCD                        | see below        | 0..63 (clamped)   | (U + 1) div 2 + 2 |
// | RefNr                         | 20               | 0                 | 8               |
// Currency and BCD: with M = 16 + D, U is kept in 1..M, else M; then U <= D
// makes U = D + 1. FmtBCD: U <= D makes U = D + 1, else U > 64 makes U = 64.
// AutoInc, RecRev and RefNr are never required.
void TmvFieldDescriptor::SetupField(TmvFieldType aType, int32_t& aUnits, int32_t& aDecPl, bool& aRequired,
                                    int32_t& aLength) {
  auto fixed = [&](int32_t aNewUnits, int32_t aNewLength) {
    aUnits = aNewUnits;
    aDecPl = 0;
    aLength = aNewLength;
  };
  switch (aType) {
    case mvtBoolean: fixed(0, 1); break;
    case mvtChar: fixed(1, 1); break;
    case mvtWideChar: fixed(1, 2); break;
    case mvtByte: case mvtInt8: fixed(UnitsIn(aUnits, 3), 1); break;
    case mvtWord16: case mvtInt16: fixed(UnitsIn(aUnits, 5), 2); break;
    case mvtWord32: case mvtInt32: fixed(UnitsIn(aUnits, 10), 4); break;
    case mvtInt64: fixed(UnitsIn(aUnits, 20), 8); break;
    case mvtAutoInc: case mvtRecRev: fixed(10, 4); break;
    case mvtSingle: aLength = 4; break;
    case mvtDouble: aLength = 8; break;
    case mvtExtended: aLength = 10; break;
    case mvtCurrency: case mvtBCD:
      if (aDecPl < 0 || aDecPl > 4) aDecPl = 4;
      aUnits = UnitsIn(aUnits, 16 + aDecPl);
      if (aUnits <= aDecPl) aUnits = aDecPl + 1;
      aLength = 8;
      break;
    case mvtDate: case mvtTime: fixed(0, 4); break;
    case mvtDateTime: case mvtInterval: fixed(0, 8); break;
    case mvtBlob: case mvtBlobMemo: case mvtBlobGraphic: case mvtBlobWideMemo: fixed(0, 8); break;
    case mvtByteArray:
      aDecPl = 0;
      aLength = aUnits;
      break;
    case mvtShortString: case mvtNullString: case mvtWideString:
      if (aType == mvtShortString && aUnits > 255) aUnits = 255;
      if (aDecPl > 0) aDecPl = aUnits;
      aLength = SaturatedLength(aType == mvtWideString ? (int64_t(aUnits) + 1) * 2 : int64_t(aUnits) + 1);
      break;
    case mvtGuid: fixed(0, 16); break;
    case mvtFmtBCD:
      aDecPl = aDecPl < 0 ? 0 : aDecPl > 63 ? 63 : aDecPl;
      if (aUnits <= aDecPl)
        aUnits = aDecPl + 1;
      else if (aUnits > 64)
        aUnits = 64;
      aLength = (aUnits + 1) / 2 + 2;
      break;
    case mvtRefNr: fixed(20, 8); break;
    default: return;
  }
  if (aType == mvtAutoInc || aType == mvtRecRev || aType == mvtRefNr) aRequired = false;
}

void TmvFieldDescriptor::UpdateSetup() { FieldClass().SetupField(fdType, fdUnits, fdDecPl, fdRequired, fdLength); }

bool TmvFieldDescriptor::LengthFitsType() const {
  int32_t units = fdUnits, decPl = fdDecPl, length = 0;
  bool required = fdRequired;
  FieldClass().SetupField(fdType, units, decPl, required, length);
  return length == fdLength && fdLength > 0;
}

void TmvFieldDescriptor::SetupForCacheTable() {
  if (fdDefaultValue && !fdDefaultValue->InheritsFrom(TmvNextLSNDefaultValueDescriptor::StaticClass))
    mvFreeAndNil(fdDefaultValue);
  mvFreeAndNil(fdValidations);
}

bool TmvFieldDescriptor::IsValidFor(TmvDictionaryItem*) { return true; }

void TmvFieldDescriptor::ChangeName(const String& aNewName) {
  CheckReadOnly();
  mvCheckIdentifier<EmvFieldDescriptorException>(aNewName, MVERR_INVALIDFIELDNAME, false);
  auto* fields = GetParentOfType<TmvFieldsDescriptor>();
  if (fields->GetFieldFromName(aNewName) >= 0) mvRaiseCode<EmvFieldDescriptorException>(MVERR_NAMENOTUNIQUE);
  fdName = aNewName;
  fdNameLowerCase = mvLowerCaseName(aNewName);
}

void TmvFieldDescriptor::SetDesc(const String& aValue) {
  CheckReadOnly();
  fdDesc = aValue;
}

void TmvFieldDescriptor::SetNoClientAccess(bool aValue) {
  CheckReadOnly();
  fdNoClientAccess = aValue;
}

TmvBaseDefaultValueDescriptor* TmvFieldDescriptor::AddDefaultValue(const TmvDictionaryItemClassRef* aClass) {
  constexpr std::u16string_view word = u"DefaultValueDescriptor";
  if (!aClass) {
    aClass = mvFindItemClass(TmvBaseDefaultValueDescriptor::StaticClass, u"TmvConstDefaultValueDescriptor");
    if (!aClass) {
      CheckReadOnly();
      mvRaiseUnsupportedClass(word, u"TmvConstDefaultValueDescriptor");
    }
  }
  return ReplaceSubItem(fdDefaultValue, *aClass, word);
}

void TmvFieldDescriptor::RemoveDefaultValue() { RemoveSubItem(fdDefaultValue); }

TmvFieldValidationsDescriptor* TmvFieldDescriptor::AddValidations(const TmvDictionaryItemClassRef* aClass) {
  return ReplaceSubItem(fdValidations, aClass ? *aClass : TmvFieldValidationsDescriptor::StaticClass,
                        u"ValidationsDescriptor");
}

void TmvFieldDescriptor::RemoveValidations() { RemoveSubItem(fdValidations); }

TmvFieldValidationsDescriptor* TmvFieldDescriptor::EnsureValidations() {
  return fdValidations ? fdValidations : AddValidations(nullptr);
}

void TmvFieldDescriptor::fdGetBufferAsVariant(const void* aFieldBuffer, Variant& aValue) {
  if (!aFieldBuffer) {
    aValue = Variant::Null();
    return;
  }
  // Every write leaves a terminator within the field: a text that runs to
  // its last byte was damaged, and read whole it would not fit the field.
  if (fdType == mvtNullString && fdLength > 0 && !std::memchr(aFieldBuffer, 0, size_t(fdLength)))
    throw EmvFieldDescriptorException(MVERR_FILECORRUPT,
                                      u"Field %s (NullString of %d characters) holds a text without its end",
                                      {fdName, fdUnits});
  mvNativeToVariant(fdType, GetUsedStorageCodePage(), fdUnits, fdDecPl, aFieldBuffer, fdLength, aValue);
}

void TmvFieldDescriptor::fdSetBufferAsVariant(void* aFieldBuffer, const Variant& aValue) {
  if (mvVarIsEmptyOrNull(aValue)) {
    std::memset(aFieldBuffer, 0, size_t(fdLength));
    return;
  }
  try {
    mvVariantToNative(fdType, GetUsedStorageCodePage(), fdUnits, fdDecPl, aValue, aFieldBuffer, fdLength);
  } catch (...) {
    std::memset(aFieldBuffer, 0, size_t(fdLength));
    throw;
  }
}

String TmvFieldDescriptor::ToString() const {
  String text = u"[" + mvIntToStr(fdNumber) + u"] " + fdName + u" - " + String(mvFieldTypeEnumNames[fdType].substr(3));
  switch (fdType) {
    case mvtByteArray: case mvtShortString: case mvtNullString: case mvtWideString:
      return text + u"(" + mvIntToStr(fdUnits) + u")";
    case mvtFmtBCD:
      return text + u"(" + mvIntToStr(fdUnits) + u"," + mvIntToStr(fdDecPl) + u")";
    default:
      return text;
  }
}

bool TmvFieldDescriptor::FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                                     TmvDictionaryItem* aFrom) {
  if (aType.InheritsFrom(&TmvBaseDefaultValueDescriptor::StaticClass)) {
    aDescriptor = fdDefaultValue;
    return true;
  }
  if (aType.InheritsFrom(&TmvFieldValidationsDescriptor::StaticClass)) {
    aDescriptor = fdValidations;
    return true;
  }
  return TmvLocalizedDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

// The field's own part, after the item header (the fields descriptor writes
// class, name, description, type, units, decimals and required before it):
//   integer  version: 3, or 1 for peers below 20000
//   integer  fdOffset
//   integer  fdLength
//   boolean  has default value; then its class name (string) and stream form
//   boolean  fdNoClientAccess
//   locale part (integer 1, boolean, class name, body)       version 2 and up
//   boolean  has validations; then class name and stream form   version 3
void TmvFieldDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  const int32_t version = aClientVersion < mvPeerVersionItemIDs ? 1 : 3;
  if (version == 1 && (ldiLocaleDescriptor || fdValidations))
    mvRaiseCode<EmvFieldDescriptorException>(MVERR_INCOMPATIBLEVERSION);
  TmvLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(version);
  aWriter.WriteInteger(fdOffset);
  aWriter.WriteInteger(fdLength);
  mvWriteOptionalItem(aWriter, fdDefaultValue, aClientVersion);
  aWriter.WriteBoolean(fdNoClientAccess);
  if (version >= 2) SaveLocaleToWriter(aWriter, aClientVersion);
  if (version >= 3) mvWriteOptionalItem(aWriter, fdValidations, aClientVersion);
}

// A stream that has no default value (validations, locale) leaves none
// behind, so that a field reloaded by Assign equals its source.
void TmvFieldDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvLocalizedDictionaryItem::LoadFromReader(aReader);
  const int32_t version = mvReadStreamVersion(aReader, 1, 3);
  fdOffset = aReader.ReadInteger();
  fdLength = aReader.ReadInteger();
  mvFreeAndNil(fdDefaultValue);
  if (aReader.ReadBoolean()) {
    const auto& cls = mvReadItemClass(aReader, TmvBaseDefaultValueDescriptor::StaticClass, u"DefaultValueDescriptor");
    AddDefaultValue(&cls)->LoadFromReader(aReader);
  }
  fdNoClientAccess = aReader.ReadBoolean();
  if (version >= 2) LoadLocaleFromReader(aReader);
  // A constant default was written in this field's format, whose own locale
  // (and so its code page) is known only now.
  if (fdDefaultValue && fdDefaultValue->InheritsFrom(TmvConstDefaultValueDescriptor::StaticClass))
    static_cast<TmvConstDefaultValueDescriptor*>(fdDefaultValue)->AdoptFieldFormat();
  mvFreeAndNil(fdValidations);
  if (version >= 3 && aReader.ReadBoolean()) {
    const auto& cls = mvReadItemClass(aReader, TmvFieldValidationsDescriptor::StaticClass, u"ValidationsDescriptor");
    AddValidations(&cls)->LoadFromReader(aReader);
  }
}

void TmvFieldDescriptor::CheckSetupValue(const char16_t* aName, int32_t aExpected, int32_t aFound) const {
  if (aExpected == aFound) return;
  throw EmvFieldDescriptorException(MVERR_INVALIDRECSTRUCT, String(aName) + u" is wrong for field %d (%s). Expected %d found %d.",
                                    {fdNumber, fdName, aExpected, aFound});
}

void TmvFieldDescriptor::CheckValid(bool aForBuild) {
  TmvLocalizedDictionaryItem::CheckValid(aForBuild);
  mvCheckIdentifier<EmvFieldDescriptorException>(fdName, MVERR_INVALIDFIELDNAME, false);
  int32_t units = fdUnits, decPl = fdDecPl, length = fdLength;
  bool required = fdRequired;
  FieldClass().SetupField(fdType, units, decPl, required, length);
  CheckSetupValue(u"fdUnits", units, fdUnits);
  CheckSetupValue(u"fdDecPl", decPl, fdDecPl);
  if (required != fdRequired)
    throw EmvFieldDescriptorException(MVERR_INVALIDRECSTRUCT,
                                      u"fdRequired is wrong for field %d (%s). Expected %s found %s.",
                                      {fdNumber, fdName, BoolText(required), BoolText(fdRequired)});
  CheckSetupValue(u"fdLength", length, fdLength);
  if (fdDefaultValue) fdDefaultValue->CheckValid(aForBuild);
  if (fdValidations) fdValidations->CheckValid(aForBuild);
  switch (fdType) {
    case mvtAutoInc: GetTableDescriptor().EnsureAutoIncDescriptor(); break;
    case mvtInterval:
      throw EmvFieldDescriptorException(MVERR_INVALIDFLDDESC, String(u"Interval is not supported as a field type"));
    case mvtBlob: case mvtBlobMemo: case mvtBlobGraphic: case mvtBlobWideMemo:
      GetTableDescriptor().EnsureBlobDescriptor();
      break;
    case mvtByteArray: case mvtShortString: case mvtNullString: case mvtWideString:
      if (fdUnits <= 0) throw EmvFieldDescriptorException(MVERR_INVALIDFLDDESC, String(u"Units must be > 0"));
      break;
    default: break;
  }
}

bool TmvFieldDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvLocalizedDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvFieldDescriptor*>(aItem);
  return other && fdName == other->fdName && fdDesc == other->fdDesc &&
         mvFieldTypesStorageCompatible(other->fdType, fdType) && fdUnits == other->fdUnits &&
         fdDecPl == other->fdDecPl && fdOffset == other->fdOffset && fdLength == other->fdLength &&
         fdRequired == other->fdRequired && mvOptionalItemsEqual(fdDefaultValue, other->fdDefaultValue) &&
         mvOptionalItemsEqual(fdValidations, other->fdValidations) && fdNoClientAccess == other->fdNoClientAccess;
}

int32_t TmvFieldDescriptor::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvFieldDescriptor) {
    *obj = static_cast<ImvFieldDescriptor*>(this);
    return S_OK;
  }
  return TmvLocalizedDictionaryItem::QueryInterface(iid, obj);
}

void TmvFieldDescriptor::WriteConstructorPart(TmvWriter& aWriter, TmvFieldType aType) {
  aWriter.WriteString(ClassName());
  aWriter.WriteString(fdName);
  aWriter.WriteString(fdDesc);
  aWriter.WriteString(mvFieldTypeEnumNames[aType]);
  aWriter.WriteInteger(fdUnits);
  aWriter.WriteInteger(fdDecPl);
  aWriter.WriteBoolean(fdRequired);
}

TmvFieldDescriptor* TmvFieldDescriptor::CreateFromConstructorPart(TmvReader& aReader, TPersistent* aParent) {
  const auto& cls = mvReadItemClass(aReader, TmvFieldDescriptor::StaticClass, u"FieldDescriptor");
  if (!cls.CreateField) mvRaiseUnsupportedClass(u"FieldDescriptor", cls.Name());
  String name = aReader.ReadString();
  String desc = aReader.ReadString();
  TmvFieldType type;
  if (!mvFieldTypeFromEnumName(aReader.ReadString(), type))
    mvRaiseCode<EmvFieldDescriptorException>(MVERR_INCOMPATIBLESTREAM);
  int32_t units = aReader.ReadInteger();
  int32_t decPl = aReader.ReadInteger();
  bool required = aReader.ReadBoolean();
  return cls.CreateField(aParent, name, desc, type, units, decPl, required);
}

// Standalone form:
//   integer  1
//   the constructor part (class, name, description, type, units, decimals,
//   required)
//   the field's own stream form (item header and own part)
void TmvFieldDescriptor::SaveStandalone(TmvWriter& aWriter, int32_t aVersion) {
  if (fdType == mvtRefNr && aVersion < mvPeerVersionRefNrFields)
    mvRaiseCode<EmvFieldDescriptorException>(MVERR_INCOMPATIBLEVERSION);
  aWriter.WriteInteger(1);
  WriteConstructorPart(aWriter, fdType);
  SaveToWriter(aWriter, aVersion);
}

TmvFieldDescriptor* TmvFieldDescriptor::CreateStandaloneFromReader(TmvReader& aReader) {
  mvReadStreamVersion(aReader, 1, 1);
  TmvFieldDescriptor* field = CreateFromConstructorPart(aReader, nullptr);
  try {
    field->LoadFromReader(aReader);
  } catch (...) {
    delete field;
    throw;
  }
  return field;
}
