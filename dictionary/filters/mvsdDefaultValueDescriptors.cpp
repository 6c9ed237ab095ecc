// Data dictionary: default-value descriptors. See mvsdDefaultValueDescriptors.h.
#include "dictionary/filters/mvsdDefaultValueDescriptors.h"

#include "dictionary/items/mvsdFieldDescriptor.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "foundation/types/mvsdNativeVariantConverter.h"

namespace {

constexpr char16_t SNotSupportedForFieldType[] = u"\"%s\" is not supported for field type \"%s\"";
constexpr char16_t SBaseDefaultValueMarker[] = u"BDVD";
constexpr TmvApplyAtSet BothSides = mvSetOf({aaServer, aaClient});

}  // namespace

TmvClassRegistry* TmvBaseDefaultValueDescriptor::Registry() {
  return mvFamilyRegistry<TmvBaseDefaultValueDescriptor>();
}

constinit const TmvDictionaryItemClassRef TmvBaseDefaultValueDescriptor::StaticClass{
    {{u"TmvBaseDefaultValueDescriptor", &TmvDictionaryItem::StaticClass}, &TmvBaseDefaultValueDescriptor::Registry,
     nullptr},
    nullptr};
namespace {

// The record of a class of the family that streams can name and create.
template <typename T>
constexpr TmvDictionaryItemClassRef DescriptorClass(const char16_t* aName) {
  return {{{aName, &TmvBaseDefaultValueDescriptor::StaticClass}, &TmvBaseDefaultValueDescriptor::Registry,
           &mvCreateFreeItem<T>},
          &mvCreateItem<T>};
}

}  // namespace

constinit const TmvDictionaryItemClassRef TmvConstDefaultValueDescriptor::StaticClass =
    DescriptorClass<TmvConstDefaultValueDescriptor>(u"TmvConstDefaultValueDescriptor");
constinit const TmvDictionaryItemClassRef TmvCurrentDateTimeDefaultValueDescriptor::StaticClass =
    DescriptorClass<TmvCurrentDateTimeDefaultValueDescriptor>(u"TmvCurrentDateTimeDefaultValueDescriptor");
constinit const TmvDictionaryItemClassRef TmvCurrentUserDefaultValueDescriptor::StaticClass =
    DescriptorClass<TmvCurrentUserDefaultValueDescriptor>(u"TmvCurrentUserDefaultValueDescriptor");
constinit const TmvDictionaryItemClassRef TmvEmptyDefaultValueDescriptor::StaticClass =
    DescriptorClass<TmvEmptyDefaultValueDescriptor>(u"TmvEmptyDefaultValueDescriptor");
constinit const TmvDictionaryItemClassRef TmvAutoGuidDefaultValueDescriptor::StaticClass =
    DescriptorClass<TmvAutoGuidDefaultValueDescriptor>(u"TmvAutoGuidDefaultValueDescriptor");
constinit const TmvDictionaryItemClassRef TmvNextLSNDefaultValueDescriptor::StaticClass =
    DescriptorClass<TmvNextLSNDefaultValueDescriptor>(u"TmvNextLSNDefaultValueDescriptor");

TmvBaseDefaultValueDescriptor::TmvBaseDefaultValueDescriptor(TPersistent* aParent, const ClassRef& aClass)
    : TmvDictionaryItem(aParent) {
  CheckFieldType(mvBlobFieldTypes, aClass.Name());
}

// A related answer of nil (no field in reach that answers for fields) counts
// as none.
TmvFieldDescriptor* TmvBaseDefaultValueDescriptor::RelatedField() {
  TmvDictionaryItem* field = GetRelatedDescriptorOfType(TmvFieldDescriptor::StaticClass);
  if (!field)
    throw EmvBaseDefaultValueDescriptorException(MVERR_OBJNOTFOUND, u"No related Descriptor of type %s could be found",
                                                 {TmvFieldDescriptor::StaticClass.Name()});
  return static_cast<TmvFieldDescriptor*>(field);
}

void TmvBaseDefaultValueDescriptor::CheckFieldType(TmvFieldTypes aRefused, const String& aClassName) {
  TmvFieldType type = RelatedField()->GetFieldType();
  if (mvInSet(aRefused, type))
    throw EmvBaseDefaultValueDescriptorException(MVERR_INVALIDFLDDESC, SNotSupportedForFieldType,
                                                 {aClassName, String(mvFieldTypeEnumNames[type])});
}

void TmvBaseDefaultValueDescriptor::SetApplyAt(TmvApplyAtSet aValue) {
  CheckReadOnly();
  bdvApplyAt = aValue;
}
void TmvBaseDefaultValueDescriptor::SetApplyOnInsert(bool aValue) {
  CheckReadOnly();
  bdvApplyOnInsert = aValue;
}
void TmvBaseDefaultValueDescriptor::SetApplyOnModify(bool aValue) {
  CheckReadOnly();
  bdvApplyOnModify = aValue;
}
void TmvBaseDefaultValueDescriptor::SetOverwriteNonNull(bool aValue) {
  CheckReadOnly();
  bdvOverwriteNonNull = aValue;
}

TmvFieldTypes TmvBaseDefaultValueDescriptor::GetUnsupportedFieldTypes() const { return mvBlobFieldTypes; }

void TmvBaseDefaultValueDescriptor::CheckFieldTypeSupported() {
  CheckFieldType(GetUnsupportedFieldTypes(), ClassName());
}

// Base part, after the item header, for peers from 20000 on (older peers
// get nothing and can only take the creation defaults):
//   identifier "BDVD"
//   integer    1
//   boolean    ApplyOnInsert, ApplyOnModify, OverwriteNonNull
//   boolean    aaServer in ApplyAt, aaClient in ApplyAt
void TmvBaseDefaultValueDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  const bool old = aClientVersion < mvPeerVersionItemIDs;
  if (old && !(bdvApplyOnInsert && !bdvApplyOnModify && !bdvOverwriteNonNull && bdvApplyAt == BothSides))
    mvRaiseCode<EmvBaseDefaultValueDescriptorException>(MVERR_INCOMPATIBLEVERSION);
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (old) return;
  aWriter.WriteIdent(SBaseDefaultValueMarker);
  aWriter.WriteInteger(1);
  aWriter.WriteBoolean(bdvApplyOnInsert);
  aWriter.WriteBoolean(bdvApplyOnModify);
  aWriter.WriteBoolean(bdvOverwriteNonNull);
  aWriter.WriteBoolean(mvInSet(bdvApplyAt, aaServer));
  aWriter.WriteBoolean(mvInSet(bdvApplyAt, aaClient));
}

void TmvBaseDefaultValueDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  if (aReader.NextValue() != vaIdent) {
    SetApplyOnInsert(true);
    SetApplyOnModify(false);
    SetOverwriteNonNull(false);
    SetApplyAt(BothSides);
    return;
  }
  if (aReader.ReadIdent() != SBaseDefaultValueMarker)
    mvRaiseCode<EmvBaseDefaultValueDescriptorException>(MVERR_INCOMPATIBLESTREAM);
  mvReadStreamVersion(aReader, 1, 1);
  SetApplyOnInsert(aReader.ReadBoolean());
  SetApplyOnModify(aReader.ReadBoolean());
  SetOverwriteNonNull(aReader.ReadBoolean());
  TmvApplyAtSet at = 0;
  if (aReader.ReadBoolean()) at |= mvSetOf({aaServer});
  if (aReader.ReadBoolean()) at |= mvSetOf({aaClient});
  SetApplyAt(at);
}

void TmvBaseDefaultValueDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  CheckFieldTypeSupported();
}

bool TmvBaseDefaultValueDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = static_cast<TmvBaseDefaultValueDescriptor*>(aItem);
  return bdvApplyOnInsert == other->bdvApplyOnInsert && bdvApplyOnModify == other->bdvApplyOnModify &&
         bdvOverwriteNonNull == other->bdvOverwriteNonNull && bdvApplyAt == other->bdvApplyAt;
}

// ---------------------------------------------------------------------------
// TmvConstDefaultValueDescriptor

TmvConstDefaultValueDescriptor::TmvConstDefaultValueDescriptor(TPersistent* aParent)
    : TmvBaseDefaultValueDescriptor(aParent, StaticClass) {
  HoldFormat(FieldFormat());
  cdvDefaultValue.assign(size_t(cdvFieldLength), 0);
}

// The length bounds every array the constant allocates: a field read from a
// damaged stream may claim any length.
TmvConstDefaultValueDescriptor::Format TmvConstDefaultValueDescriptor::FieldFormat() {
  TmvFieldDescriptor* field = RelatedField();
  const Format f{field->FieldType(), field->GetUsedStorageCodePage(), field->Units(), field->DecPl(),
                 field->Length()};
  if (f.length < 0 || f.length > mvMaxRecordLength)
    throw EmvBaseDefaultValueDescriptorException(MVERR_INVALIDRECSTRUCT, u"Field length %d is out of range",
                                                 {f.length});
  return f;
}

void TmvConstDefaultValueDescriptor::HoldFormat(const Format& aFormat) {
  cdvFieldType = aFormat.type;
  cdvFieldCodePage = aFormat.codePage;
  cdvFieldUnits = aFormat.units;
  cdvFieldDecPl = aFormat.decPl;
  cdvFieldLength = aFormat.length;
}

// The native conversion asserts on a buffer shorter than its type's form and
// on Interval; a format whose size parameters disagree with the field type's
// setup is refused before it gets there.
bool TmvConstDefaultValueDescriptor::IsSoundFormat(const Format& aFormat) {
  if (aFormat.type == mvtInterval || aFormat.length < 0 || aFormat.length > mvMaxRecordLength) return false;
  int32_t units = aFormat.units, decPl = aFormat.decPl, length = 0;
  bool required = false;
  static_cast<const TmvFieldDescriptorClassRef&>(RelatedField()->ClassType())
      .SetupField(aFormat.type, units, decPl, required, length);
  if (units != aFormat.units || decPl != aFormat.decPl || length != aFormat.length) return false;
  switch (aFormat.type) {
    case mvtByteArray: case mvtShortString: case mvtNullString: case mvtWideString: return aFormat.units > 0;
    default: return true;
  }
}

// The held value read in aFrom and written in aTo, the field's format.
TBytes TmvConstDefaultValueDescriptor::Converted(const Format& aFrom, const Format& aTo) {
  TBytes out(size_t(aTo.length), 0);
  if (!IsSoundFormat(aFrom) || !IsSoundFormat(aTo))
    mvRaiseCode<EmvBaseDefaultValueDescriptorException>(MVERR_INVALIDFLDXFORM);
  try {
    Variant value;
    mvNativeToVariant(aFrom.type, aFrom.codePage, aFrom.units, aFrom.decPl, cdvDefaultValue.data(), aFrom.length,
                      value);
    RelatedField()->fdSetBufferAsVariant(out.data(), value);
  } catch (const EAssertionFailed&) {
    throw;
  } catch (const Exception&) {
    mvRaiseCode<EmvBaseDefaultValueDescriptorException>(MVERR_INVALIDFLDXFORM);
  }
  return out;
}

void TmvConstDefaultValueDescriptor::MatchFieldFormat(bool aConvert) {
  const Format now = FieldFormat();
  const Format held = HeldFormat();
  if (now == held) return;
  TBytes converted;
  bool failed = false;
  if (aConvert) {
    try {
      converted = Converted(held, now);
    } catch (const EmvBaseDefaultValueDescriptorException&) {
      failed = true;
    }
  }
  HoldFormat(now);
  cdvDefaultValue = aConvert && !failed ? std::move(converted) : TBytes(size_t(now.length), 0);
  if (failed) mvRaiseCode<EmvBaseDefaultValueDescriptorException>(MVERR_INVALIDFLDXFORM);
}

TBytes TmvConstDefaultValueDescriptor::ValueInFieldFormat() {
  const Format now = FieldFormat();
  if (now == HeldFormat()) return cdvDefaultValue;
  return Converted(HeldFormat(), now);
}

void TmvConstDefaultValueDescriptor::AdoptFieldFormat() {
  HoldFormat(FieldFormat());
  cdvDefaultValue.resize(size_t(cdvFieldLength), 0);
}

Variant TmvConstDefaultValueDescriptor::GetAsVariant() {
  MatchFieldFormat(true);
  if (!IsSoundFormat(HeldFormat())) mvRaiseCode<EmvBaseDefaultValueDescriptorException>(MVERR_INVALIDFLDXFORM);
  Variant value;
  RelatedField()->fdGetBufferAsVariant(cdvDefaultValue.data(), value);
  return value;
}

void TmvConstDefaultValueDescriptor::SetAsVariant(const Variant& aValue) {
  MatchFieldFormat(false);
  if (!IsSoundFormat(HeldFormat())) mvRaiseCode<EmvBaseDefaultValueDescriptorException>(MVERR_INVALIDFLDXFORM);
  RelatedField()->fdSetBufferAsVariant(cdvDefaultValue.data(), aValue);
}

void TmvConstDefaultValueDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseDefaultValueDescriptor::SaveToWriter(aWriter, aClientVersion);
  MatchFieldFormat(true);
  aWriter.WriteInteger(1);
  aWriter.Write(cdvDefaultValue.data(), int32_t(cdvDefaultValue.size()));
}

// The count of value bytes is the field's length as it stands now; a value
// held in an older format is dropped first rather than read with its own,
// stale count.
void TmvConstDefaultValueDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseDefaultValueDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  MatchFieldFormat(false);
  aReader.Read(cdvDefaultValue.data(), int32_t(cdvDefaultValue.size()));
}

bool TmvConstDefaultValueDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  return TmvBaseDefaultValueDescriptor::IsEqual(aItem) &&
         cdvDefaultValue == static_cast<TmvConstDefaultValueDescriptor*>(aItem)->cdvDefaultValue;
}

// ---------------------------------------------------------------------------
// The descriptors that hold nothing beyond the base

TmvFieldTypes TmvCurrentDateTimeDefaultValueDescriptor::GetUnsupportedFieldTypes() const {
  return ~mvSetOf({mvtDate, mvtTime, mvtDateTime});
}

TmvFieldTypes TmvCurrentUserDefaultValueDescriptor::GetUnsupportedFieldTypes() const {
  return ~mvSetOf({mvtShortString, mvtNullString, mvtWideString});
}

TmvFieldTypes TmvEmptyDefaultValueDescriptor::GetUnsupportedFieldTypes() const {
  return mvSetOf({mvtDate, mvtTime, mvtDateTime, mvtInterval, mvtBlob, mvtBlobMemo, mvtBlobGraphic});
}

TmvFieldTypes TmvAutoGuidDefaultValueDescriptor::GetUnsupportedFieldTypes() const {
  return ~mvSetOf({mvtGuid});
}

TmvNextLSNDefaultValueDescriptor::TmvNextLSNDefaultValueDescriptor(TPersistent* aParent)
    : TmvBaseDefaultValueDescriptor(aParent, StaticClass) {
  bdvApplyAt = mvSetOf({aaServer});
  bdvApplyOnModify = true;
  bdvOverwriteNonNull = true;
}

void TmvNextLSNDefaultValueDescriptor::SetApplyAt(TmvApplyAtSet) {
  TmvBaseDefaultValueDescriptor::SetApplyAt(mvSetOf({aaServer}));
}
void TmvNextLSNDefaultValueDescriptor::SetApplyOnInsert(bool) { TmvBaseDefaultValueDescriptor::SetApplyOnInsert(true); }
void TmvNextLSNDefaultValueDescriptor::SetOverwriteNonNull(bool) {
  TmvBaseDefaultValueDescriptor::SetOverwriteNonNull(true);
}

TmvFieldTypes TmvNextLSNDefaultValueDescriptor::GetUnsupportedFieldTypes() const { return ~mvSetOf({mvtInt64}); }
