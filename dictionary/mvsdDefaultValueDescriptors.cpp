// Data dictionary: default-value descriptors. See mvsdDefaultValueDescriptors.h.
#include "dictionary/mvsdDefaultValueDescriptors.h"

#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdFieldDescriptor.h"

namespace {

constexpr char16_t SNotSupportedForFieldType[] = u"\"%s\" is not supported for field type \"%s\"";
constexpr char16_t SBaseDefaultValueMarker[] = u"BDVD";
constexpr TmvApplyAtSet BothSides = mvSetOf({aaServer, aaClient});

}  // namespace

TmvClassRegistry* TmvBaseDefaultValueDescriptor::Registry() {
  static TmvClassRegistry registry = nullptr;
  return &registry;
}

constinit const TmvDictionaryItemClassRef TmvBaseDefaultValueDescriptor::StaticClass{
    {{u"TmvBaseDefaultValueDescriptor", &TmvDictionaryItem::StaticClass}, &TmvBaseDefaultValueDescriptor::Registry,
     nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvAutoGuidDefaultValueDescriptor::StaticClass{
    {{u"TmvAutoGuidDefaultValueDescriptor", &TmvBaseDefaultValueDescriptor::StaticClass},
     &TmvBaseDefaultValueDescriptor::Registry, &mvCreateFreeItem<TmvAutoGuidDefaultValueDescriptor>},
    &mvCreateItem<TmvAutoGuidDefaultValueDescriptor>};
constinit const TmvDictionaryItemClassRef TmvNextLSNDefaultValueDescriptor::StaticClass{
    {{u"TmvNextLSNDefaultValueDescriptor", &TmvBaseDefaultValueDescriptor::StaticClass},
     &TmvBaseDefaultValueDescriptor::Registry, &mvCreateFreeItem<TmvNextLSNDefaultValueDescriptor>},
    &mvCreateItem<TmvNextLSNDefaultValueDescriptor>};

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
  CheckFieldType(GetUnsupportedFieldTypes(), ClassName());
}

bool TmvBaseDefaultValueDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = static_cast<TmvBaseDefaultValueDescriptor*>(aItem);
  return bdvApplyOnInsert == other->bdvApplyOnInsert && bdvApplyOnModify == other->bdvApplyOnModify &&
         bdvOverwriteNonNull == other->bdvOverwriteNonNull && bdvApplyAt == other->bdvApplyAt;
}

// ---------------------------------------------------------------------------

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
