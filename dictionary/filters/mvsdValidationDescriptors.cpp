// Data dictionary: the field-validation descriptors. See mvsdValidationDescriptors.h.
#include "dictionary/filters/mvsdValidationDescriptors.h"

#include "dictionary/items/mvsdFieldDescriptor.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "foundation/types/mvsdNativeVariantConverter.h"

namespace {

constexpr char16_t SNotSupportedForFieldType[] = u"\"%s\" is not supported for field type \"%s\"";
constexpr char16_t SLimitDoesNotFit[] =
    u"A limit of validation \"%s\" has %d bytes, but field \"%s\" has %d: the field changed after the limit was set";
constexpr char16_t SDuplicatedName[] = u"Duplicated validation descriptor name: %s";
constexpr char16_t SWrongClass[] = u"%s.AddValidation: aClass must be of type %s but is of type %s";
constexpr char16_t SValidationFamilyWord[] = u"ValidationDescriptor";

// The record of a validation class that streams can name and lists create.
template <typename T>
constexpr TmvFieldValidationDescriptorClassRef ValidationClass(const char16_t* aName, const ClassRef* aParent) {
  return {{{{aName, aParent}, &TmvBaseFieldValidationDescriptor::Registry, nullptr}, nullptr},
          &mvCreateValidation<T>};
}

// The parent, once the name is known to be an identifier: a validation with
// a bad name takes no item ID and joins no parent.
TPersistent* ParentForName(TPersistent* aParent, const String& aName) {
  mvCheckIdentifier<EmvBaseFieldValidationDescriptorException>(aName, MVERR_INVALIDNAME, false);
  return aParent;
}

}  // namespace

// ---------------------------------------------------------------------------
// TmvBaseFieldValidationDescriptor

TmvClassRegistry* TmvBaseFieldValidationDescriptor::Registry() {
  return mvFamilyRegistry<TmvBaseFieldValidationDescriptor>();
}

constinit const TmvFieldValidationDescriptorClassRef TmvBaseFieldValidationDescriptor::StaticClass{
    {{{u"TmvBaseFieldValidationDescriptor", &TmvDictionaryItem::StaticClass},
      &TmvBaseFieldValidationDescriptor::Registry, nullptr},
     nullptr},
    nullptr};
constinit const TmvFieldValidationDescriptorClassRef TmvBaseFieldsValidationDescriptor::StaticClass{
    {{{u"TmvBaseFieldsValidationDescriptor", &TmvBaseFieldValidationDescriptor::StaticClass},
      &TmvBaseFieldValidationDescriptor::Registry, nullptr},
     nullptr},
    nullptr};
constinit const TmvFieldValidationDescriptorClassRef TmvMinMaxValidationDescriptor::StaticClass =
    ValidationClass<TmvMinMaxValidationDescriptor>(u"TmvMinMaxValidationDescriptor",
                                                   &TmvBaseFieldValidationDescriptor::StaticClass);
constinit const TmvFieldValidationDescriptorClassRef TmvNoChangeValidationDescriptor::StaticClass =
    ValidationClass<TmvNoChangeValidationDescriptor>(u"TmvNoChangeValidationDescriptor",
                                                     &TmvBaseFieldValidationDescriptor::StaticClass);
constinit const TmvFieldValidationDescriptorClassRef TmvSqlCheckValidationDescriptor::StaticClass =
    ValidationClass<TmvSqlCheckValidationDescriptor>(u"TmvSqlCheckValidationDescriptor",
                                                     &TmvBaseFieldsValidationDescriptor::StaticClass);

TmvBaseFieldValidationDescriptor::TmvBaseFieldValidationDescriptor(TPersistent* aParent, const String& aName)
    : TmvDictionaryItem(ParentForName(aParent, aName)), bvdName(aName) {}

void TmvBaseFieldValidationDescriptor::SetApplyAt(TmvApplyAtSet aValue) {
  CheckReadOnly();
  bvdApplyAt = aValue;
}

TmvFieldTypes TmvBaseFieldValidationDescriptor::GetUnsupportedFieldTypes() const { return mvBlobFieldTypes; }

// A related answer of nil (no field in reach that answers for fields)
// counts as none.
TmvFieldDescriptor* TmvBaseFieldValidationDescriptor::RelatedField() {
  TmvDictionaryItem* field = GetRelatedDescriptorOfType(TmvFieldDescriptor::StaticClass);
  if (!field)
    throw EmvBaseFieldValidationDescriptorException(MVERR_OBJNOTFOUND, u"No related Descriptor of type %s could be found",
                                                    {TmvFieldDescriptor::StaticClass.Name()});
  return static_cast<TmvFieldDescriptor*>(field);
}

void TmvBaseFieldValidationDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  mvCheckClientVersion(aClientVersion, mvPeerVersionItemIDs);
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const TmvApplyAtSet applyAt = GetApplyAt();
  aWriter.WriteInteger(1);
  aWriter.WriteBoolean(mvInSet(applyAt, aaServer));
  aWriter.WriteBoolean(mvInSet(applyAt, aaClient));
}

void TmvBaseFieldValidationDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  const bool server = aReader.ReadBoolean();
  const bool client = aReader.ReadBoolean();
  bvdApplyAt = TmvApplyAtSet((server ? mvSetOf({aaServer}) : 0) | (client ? mvSetOf({aaClient}) : 0));
}

void TmvBaseFieldValidationDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  mvCheckIdentifier<EmvBaseFieldValidationDescriptorException>(bvdName, MVERR_INVALIDNAME, false);
}

bool TmvBaseFieldValidationDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvBaseFieldValidationDescriptor*>(aItem);
  return other && GetApplyAt() == other->GetApplyAt();
}

// ---------------------------------------------------------------------------
// TmvComparingValidationDescriptor

TmvComparingValidationDescriptor::~TmvComparingValidationDescriptor() { mvFreeAndNil(cvdKeyField); }

TmvKeyFieldDescriptor* TmvComparingValidationDescriptor::AddKeyField(const TmvKeyFieldDescriptorClassRef* aClass) {
  CheckReadOnly();
  mvFreeAndNil(cvdKeyField);
  const TmvKeyFieldDescriptorClassRef& cls = aClass ? *aClass : TmvKeyFieldDescriptor::StaticClass;
  if (!cls.CreateKeyField) mvRaiseUnsupportedClass(u"KeyFieldDescriptor", cls.Name());
  cvdKeyField = cls.CreateKeyField(this, mvParentFieldNumber);
  return cvdKeyField;
}

void TmvComparingValidationDescriptor::RemoveKeyField() {
  CheckReadOnly();
  mvFreeAndNil(cvdKeyField);
}

void TmvComparingValidationDescriptor::Clear(bool aNotify) {
  TmvBaseFieldValidationDescriptor::Clear(aNotify);
  mvFreeAndNil(cvdKeyField);
}

void TmvComparingValidationDescriptor::CheckValid(bool aForBuild) {
  TmvBaseFieldValidationDescriptor::CheckValid(aForBuild);
  const TmvFieldType type = RelatedField()->FieldType();
  if (mvInSet(GetUnsupportedFieldTypes(), type))
    throw EmvBaseFieldValidationDescriptorException(MVERR_INVALIDFLDDESC, SNotSupportedForFieldType,
                                                    {ClassName(), String(mvFieldTypeEnumNames[type])});
  if (!cvdKeyField) AddKeyField();
  cvdKeyField->CheckValid(aForBuild);
}

bool TmvComparingValidationDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseFieldValidationDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvComparingValidationDescriptor*>(aItem);
  return other && mvOptionalItemsEqual(cvdKeyField, other->cvdKeyField);
}

void TmvComparingValidationDescriptor::WriteKeyFieldPart(TmvWriter& aWriter, int32_t aClientVersion) {
  mvWriteOptionalItem(aWriter, cvdKeyField, aClientVersion);
}

void TmvComparingValidationDescriptor::ReadKeyFieldPart(TmvReader& aReader) {
  mvFreeAndNil(cvdKeyField);
  if (!aReader.ReadBoolean()) return;
  const auto& cls = mvReadItemClass(aReader, TmvKeyFieldDescriptor::StaticClass, u"KeyFieldDescriptor");
  if (!cls.CreateKeyField) mvRaiseUnsupportedClass(u"KeyFieldDescriptor", cls.Name());
  cvdKeyField = cls.CreateKeyField(this, mvParentFieldNumber);
  cvdKeyField->LoadFromReader(aReader);
}

// ---------------------------------------------------------------------------
// TmvMinMaxValidationDescriptor

void TmvMinMaxValidationDescriptor::CheckLimitsFitField() {
  if (mmvdMin.empty() && mmvdMax.empty()) return;
  TmvFieldDescriptor* field = RelatedField();
  for (const TBytes* limit : {&mmvdMin, &mmvdMax})
    if (!limit->empty() && limit->size() != size_t(field->Length()))
      throw EmvBaseFieldValidationDescriptorException(
          MVERR_INVALIDFLDDESC, SLimitDoesNotFit, {bvdName, int32_t(limit->size()), field->Name(), field->Length()});
}

Variant TmvMinMaxValidationDescriptor::LimitAsVariant(const TBytes& aLimit) {
  if (aLimit.empty()) return Variant();
  CheckLimitsFitField();
  Variant value;
  RelatedField()->fdGetBufferAsVariant(aLimit.data(), value);
  return value;
}

void TmvMinMaxValidationDescriptor::SetLimit(TBytes& aLimit, const Variant& aValue) {
  CheckReadOnly();
  aLimit.clear();
  if (mvVarIsEmptyOrNull(aValue)) return;
  TmvFieldDescriptor* field = RelatedField();
  TBytes bytes(size_t(field->Length()), 0);
  field->fdSetBufferAsVariant(bytes.data(), aValue);
  aLimit = std::move(bytes);
}

void TmvMinMaxValidationDescriptor::Clear(bool aNotify) {
  TmvComparingValidationDescriptor::Clear(aNotify);
  mmvdMin.clear();
  mmvdMax.clear();
}

void TmvMinMaxValidationDescriptor::CheckValid(bool aForBuild) {
  TmvComparingValidationDescriptor::CheckValid(aForBuild);
  CheckLimitsFitField();
}

bool TmvMinMaxValidationDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvComparingValidationDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvMinMaxValidationDescriptor*>(aItem);
  return other && mmvdMin == other->mmvdMin && mmvdMax == other->mmvdMax;
}

void TmvMinMaxValidationDescriptor::WriteLimit(TmvWriter& aWriter, const TBytes& aLimit) {
  aWriter.WriteBoolean(!aLimit.empty());
  if (!aLimit.empty()) aWriter.Write(aLimit.data(), int32_t(aLimit.size()));
}

// The length is the field's, never a number of the limit's own; but the
// field's length was read from the stream too, so it must be the one its
// type gives and fit in what the stream has left before it sizes anything.
void TmvMinMaxValidationDescriptor::ReadLimit(TmvReader& aReader, TBytes& aLimit) {
  aLimit.clear();
  if (!aReader.ReadBoolean()) return;
  TmvFieldDescriptor* field = RelatedField();
  if (!field->LengthFitsType() || field->Length() > aReader.BytesLeft())
    mvRaiseCode<EmvBaseFieldValidationDescriptorException>(MVERR_INCOMPATIBLESTREAM);
  TBytes bytes(size_t(field->Length()), 0);
  aReader.Read(bytes.data(), int32_t(bytes.size()));
  aLimit = std::move(bytes);
}

void TmvMinMaxValidationDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  CheckLimitsFitField();
  TmvComparingValidationDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  WriteLimit(aWriter, mmvdMin);
  WriteLimit(aWriter, mmvdMax);
  WriteKeyFieldPart(aWriter, aClientVersion);
}

void TmvMinMaxValidationDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvComparingValidationDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  ReadLimit(aReader, mmvdMin);
  ReadLimit(aReader, mmvdMax);
  ReadKeyFieldPart(aReader);
}

// ---------------------------------------------------------------------------
// TmvNoChangeValidationDescriptor

void TmvNoChangeValidationDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvComparingValidationDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  WriteKeyFieldPart(aWriter, aClientVersion);
}

void TmvNoChangeValidationDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvComparingValidationDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  ReadKeyFieldPart(aReader);
}

// ---------------------------------------------------------------------------
// TmvSqlCheckValidationDescriptor

TmvApplyAtSet TmvSqlCheckValidationDescriptor::GetApplyAt() const {
  return TmvApplyAtSet(bvdApplyAt & mvSetOf({aaServer}));
}

void TmvSqlCheckValidationDescriptor::SetApplyAt(TmvApplyAtSet aValue) {
  TmvBaseFieldsValidationDescriptor::SetApplyAt(TmvApplyAtSet(aValue & mvSetOf({aaServer})));
}

void TmvSqlCheckValidationDescriptor::SetConstraint(const String& aValue) {
  CheckReadOnly();
  scvdConstraint = aValue;
}

void TmvSqlCheckValidationDescriptor::SetErrorMessage(const String& aValue) {
  CheckReadOnly();
  scvdErrorMessage = aValue;
}

bool TmvSqlCheckValidationDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseFieldsValidationDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvSqlCheckValidationDescriptor*>(aItem);
  return other && scvdConstraint == other->scvdConstraint;
}

void TmvSqlCheckValidationDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseFieldsValidationDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteWideString(scvdConstraint);
  aWriter.WriteString(scvdErrorMessage);
}

void TmvSqlCheckValidationDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseFieldsValidationDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  scvdConstraint = aReader.ReadWideString_();
  scvdErrorMessage = aReader.ReadString();
}

// ---------------------------------------------------------------------------
// Lists

TmvClassRegistry* TmvFieldValidationsDescriptor::Registry() {
  return mvFamilyRegistry<TmvFieldValidationsDescriptor>();
}

constinit const TmvDictionaryItemClassRef TmvFieldValidationsDescriptor::StaticClass{
    {{u"TmvFieldValidationsDescriptor", &TmvDictionaryItem::StaticClass}, &TmvFieldValidationsDescriptor::Registry,
     &mvCreateFreeItem<TmvFieldValidationsDescriptor>},
    &mvCreateItem<TmvFieldValidationsDescriptor>};

constinit const TmvDictionaryItemClassRef TmvFieldsValidationsDescriptor::StaticClass{
    {{u"TmvFieldsValidationsDescriptor", &TmvFieldValidationsDescriptor::StaticClass},
     &TmvFieldValidationsDescriptor::Registry, &mvCreateFreeItem<TmvFieldsValidationsDescriptor>},
    &mvCreateItem<TmvFieldsValidationsDescriptor>};

TmvFieldValidationsDescriptor::~TmvFieldValidationsDescriptor() { DropValidations(); }

const TmvFieldValidationDescriptorClassRef& TmvFieldValidationsDescriptor::GetDefaultValidationClass() const {
  return TmvBaseFieldValidationDescriptor::StaticClass;
}

const TmvFieldValidationDescriptorClassRef& TmvFieldsValidationsDescriptor::GetDefaultValidationClass() const {
  return TmvBaseFieldsValidationDescriptor::StaticClass;
}

void TmvFieldValidationsDescriptor::DropValidations() {
  for (TmvBaseFieldValidationDescriptor* validation : fvdValidations) delete validation;
  fvdValidations.clear();
}

TmvBaseFieldValidationDescriptor* TmvFieldValidationsDescriptor::AddValidation(
    const String& aName, const TmvFieldValidationDescriptorClassRef* aClass) {
  CheckReadOnly();
  mvCheckIdentifier<EmvFieldValidationsDescriptorException>(aName, MVERR_INVALIDNAME, false);
  if (GetValidationDescriptorFromName(aName) >= 0)
    throw EmvFieldValidationsDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedName, {aName});
  const TmvFieldValidationDescriptorClassRef& required = GetDefaultValidationClass();
  const TmvFieldValidationDescriptorClassRef& cls = aClass ? *aClass : required;
  if (!cls.InheritsFrom(&required))
    throw EmvFieldValidationsDescriptorException(MVERR_INVALIDPARAM, SWrongClass,
                                                 {ClassName(), required.Name(), cls.Name()});
  if (!cls.CreateValidation) mvRaiseUnsupportedClass(SValidationFamilyWord, cls.Name());
  fvdValidations.reserve(fvdValidations.size() + 1);  // so that the append below cannot fail
  TmvBaseFieldValidationDescriptor* validation = cls.CreateValidation(this, aName);
  fvdValidations.push_back(validation);
  return validation;
}

int32_t TmvFieldValidationsDescriptor::GetValidationDescriptorFromName(std::u16string_view aName) const {
  for (size_t i = 0; i < fvdValidations.size(); ++i)
    if (SameClassName(fvdValidations[i]->GetName(), aName)) return int32_t(i);
  return -1;
}

int32_t TmvFieldValidationsDescriptor::GetValidationDescriptorFromClassName(std::u16string_view aClassName) const {
  for (size_t i = 0; i < fvdValidations.size(); ++i)
    if (SameClassName(fvdValidations[i]->ClassName(), aClassName)) return int32_t(i);
  return -1;
}

void TmvFieldValidationsDescriptor::RemoveValidation(int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= ValidationCount()) return;
  TmvBaseFieldValidationDescriptor* validation = fvdValidations[size_t(aInx)];
  fvdValidations.erase(fvdValidations.begin() + aInx);
  delete validation;
}

void TmvFieldValidationsDescriptor::RemoveValidation(const String& aName) {
  CheckReadOnly();
  RemoveValidation(GetValidationDescriptorFromName(aName));
}

void TmvFieldValidationsDescriptor::Clear(bool aNotify) {
  TmvDictionaryItem::Clear(aNotify);
  DropValidations();
}

void TmvFieldValidationsDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  for (size_t i = 0; i < fvdValidations.size(); ++i) {
    const String& name = fvdValidations[i]->GetName();
    for (size_t j = 0; j < i; ++j)
      if (SameClassName(fvdValidations[j]->GetName(), name))
        throw EmvFieldValidationsDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedName, {name});
    fvdValidations[i]->CheckValid(aForBuild);
  }
}

bool TmvFieldValidationsDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvFieldValidationsDescriptor*>(aItem);
  if (!other || other->ValidationCount() != ValidationCount()) return false;
  for (size_t i = 0; i < fvdValidations.size(); ++i)
    if (!fvdValidations[i]->IsEqual(other->fvdValidations[i])) return false;
  return true;
}

void TmvFieldValidationsDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  mvCheckClientVersion(aClientVersion, mvPeerVersionItemIDs);
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(ValidationCount());
  for (TmvBaseFieldValidationDescriptor* validation : fvdValidations) {
    aWriter.WriteString(validation->ClassName());
    aWriter.WriteString(validation->GetName());
    validation->SaveToWriter(aWriter, aClientVersion);
  }
}

// The count comes from the stream: nothing is sized by it, each validation
// is read (or the stream runs out) before the next one is made.
void TmvFieldValidationsDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  DropValidations();
  const int32_t count = aReader.ReadInteger();
  for (int32_t i = 0; i < count; ++i) {
    const auto& cls = mvReadItemClass(aReader, TmvBaseFieldValidationDescriptor::StaticClass, SValidationFamilyWord);
    if (!cls.CreateValidation) mvRaiseUnsupportedClass(SValidationFamilyWord, cls.Name());
    const String name = aReader.ReadString();
    fvdValidations.reserve(fvdValidations.size() + 1);
    fvdValidations.push_back(cls.CreateValidation(this, name));
    fvdValidations.back()->LoadFromReader(aReader);
  }
}
