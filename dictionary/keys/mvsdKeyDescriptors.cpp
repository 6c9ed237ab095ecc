// Data dictionary: key descriptors and key field descriptors. See
// mvsdKeyDescriptors.h.
#include "dictionary/keys/mvsdKeyDescriptors.h"

#include <algorithm>
#include <vector>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/filters/mvsdFilterDescriptor.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/mvsdDictionaryVersions.h"

const std::u16string_view mvNullBehaviourNames[mvNullBehaviourCount] = {u"nbTop", u"nbBottom", u"nbAsAscend",
                                                                         u"nbFilterNull", u"nbFilterNonNull"};

namespace {

constexpr char16_t SFilterPartIdent[] = u"BKD";
constexpr char16_t SInvalidFieldNumber[] = u"Invalid field number: %d";

// Copies aCount raw bytes from the reader into aStream in pieces, so that a
// damaged count fails at the stream's end instead of allocating it first.
void CopyRawBytes(TmvReader& aReader, int32_t aCount, TStream& aStream) {
  std::vector<uint8_t> piece;
  while (aCount > 0) {
    const int32_t n = std::min(aCount, int32_t(64 * 1024));
    piece.resize(size_t(n));
    aReader.Read(piece.data(), n);
    aStream.WriteBuffer(piece.data(), n);
    aCount -= n;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// TmvBaseKeyDescriptor

TmvClassRegistry* TmvBaseKeyDescriptor::Registry() { return mvFamilyRegistry<TmvBaseKeyDescriptor>(); }

constinit const TmvDictionaryItemClassRef TmvBaseKeyDescriptor::StaticClass{
    {{u"TmvBaseKeyDescriptor", &TmvDictionaryItem::StaticClass}, &TmvBaseKeyDescriptor::Registry, nullptr}, nullptr};

TmvBaseKeyDescriptor::~TmvBaseKeyDescriptor() { mvFreeAndNil(bkdFilter); }

bool TmvBaseKeyDescriptor::IsValidFor(TmvDictionaryItem*) { return true; }

bool TmvBaseKeyDescriptor::CanContainNulls() { return true; }

void TmvBaseKeyDescriptor::SetFilter(TmvBaseFilterDescriptor* aFilter) {
  CheckReadOnly();
  if (aFilter == bkdFilter) return;
  mvFreeAndNil(bkdFilter);
  bkdFilter = aFilter;
}

bool TmvBaseKeyDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvBaseKeyDescriptor*>(aItem);
  return other && (bkdFilter == nullptr) == (other->bkdFilter == nullptr);
}

// Base key part, after the item header (peers from 20000 on; older peers
// get nothing and cannot take a key with a filter):
//   identifier  "BKD"
//   integer     1
//   boolean     has filter; when true:
//   integer     n, the bytes of the filter's stream form
//   n raw bytes the filter's stream form (mvsdFilterDescriptor.h)
void TmvBaseKeyDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  if (aClientVersion < mvPeerVersionItemIDs && bkdFilter)
    mvRaiseCode<EmvBaseKeyDescriptorException>(MVERR_INCOMPATIBLEVERSION);
  TmvMemoryStream filter;
  if (bkdFilter) {
    if (uint32_t code = bkdFilter->WriteToStream(filter, aClientVersion)) throw EmvBaseKeyDescriptorException(code);
  }
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < mvPeerVersionItemIDs) return;
  aWriter.WriteIdent(SFilterPartIdent);
  aWriter.WriteInteger(1);
  aWriter.WriteBoolean(bkdFilter != nullptr);
  if (!bkdFilter) return;
  aWriter.WriteInteger(int32_t(filter.GetSize()));
  aWriter.Write(filter.Memory(), int32_t(filter.GetSize()));
}

void TmvBaseKeyDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  mvFreeAndNil(bkdFilter);
  if (aReader.NextValue() != vaIdent) return;
  if (aReader.ReadIdent() != SFilterPartIdent) mvRaiseCode<EmvBaseKeyDescriptorException>(MVERR_INCOMPATIBLESTREAM);
  mvReadStreamVersion(aReader, 1, 1);
  if (!aReader.ReadBoolean()) return;
  const int32_t size = aReader.ReadInteger();
  if (size < 0) mvRaiseCode<EmvBaseKeyDescriptorException>(MVERR_INCOMPATIBLESTREAM);
  TmvMemoryStream filter;
  CopyRawBytes(aReader, size, filter);
  filter.SetPosition(0);
  if (uint32_t code = TmvBaseFilterDescriptor::CreateFromStream(filter, bkdFilter))
    throw EmvBaseKeyDescriptorException(code);
}

// Fixed keys: the base part, then integer 1.
void TmvFixedKeyDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TmvFixedKeyDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseKeyDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}

constinit const TmvDictionaryItemClassRef TmvRefKeyDescriptor::StaticClass{
    {{u"TmvRefKeyDescriptor", &TmvBaseKeyDescriptor::StaticClass}, &TmvBaseKeyDescriptor::Registry,
     &mvCreateFreeItem<TmvRefKeyDescriptor>},
    &mvCreateItem<TmvRefKeyDescriptor>};
constinit const TmvDictionaryItemClassRef TmvInt64KeyDescriptor::StaticClass{
    {{u"TmvInt64KeyDescriptor", &TmvBaseKeyDescriptor::StaticClass}, &TmvBaseKeyDescriptor::Registry,
     &mvCreateFreeItem<TmvInt64KeyDescriptor>},
    &mvCreateItem<TmvInt64KeyDescriptor>};
constinit const TmvDictionaryItemClassRef TmvBlobCacheKeyDescriptor::StaticClass{
    {{u"TmvBlobCacheKeyDescriptor", &TmvBaseKeyDescriptor::StaticClass}, &TmvBaseKeyDescriptor::Registry,
     &mvCreateFreeItem<TmvBlobCacheKeyDescriptor>},
    &mvCreateItem<TmvBlobCacheKeyDescriptor>};

// ---------------------------------------------------------------------------
// TmvCompKeyDescriptor

constinit const TmvDictionaryItemClassRef TmvCompKeyDescriptor::StaticClass{
    {{u"TmvCompKeyDescriptor", &TmvBaseKeyDescriptor::StaticClass}, &TmvBaseKeyDescriptor::Registry,
     &mvCreateFreeItem<TmvCompKeyDescriptor>},
    &mvCreateItem<TmvCompKeyDescriptor>};
constinit const TmvDictionaryItemClassRef TmvNoNullCompKeyDescriptor::StaticClass{
    {{u"TmvNoNullCompKeyDescriptor", &TmvCompKeyDescriptor::StaticClass}, &TmvBaseKeyDescriptor::Registry,
     &mvCreateFreeItem<TmvNoNullCompKeyDescriptor>},
    &mvCreateItem<TmvNoNullCompKeyDescriptor>};

TmvCompKeyDescriptor::~TmvCompKeyDescriptor() { DropKeyFields(); }

// The entry leaves the list before the key field is freed, so that the
// list never holds a freed key field.
void TmvCompKeyDescriptor::FreeKeyField(int32_t aIndex) {
  TmvKeyFieldDescriptor* keyField = KeyFields(aIndex);
  ckdKeyFields.Delete(aIndex);
  delete keyField;
  ckdKeyLen = -1;
}

void TmvCompKeyDescriptor::DropKeyFields() {
  while (KeyFieldCount() > 0) FreeKeyField(KeyFieldCount() - 1);
  ckdKeyLen = -1;
}

TmvKeyFieldDescriptor* TmvCompKeyDescriptor::KeyFields(int32_t aIndex) const {
  return static_cast<TmvKeyFieldDescriptor*>(ckdKeyFields.blGet(aIndex));
}

const TmvKeyFieldDescriptorClassRef& TmvCompKeyDescriptor::GetDefaultKeyFieldClass() {
  return TmvKeyFieldDescriptor::StaticClass;
}

// The position is checked before the key field is made, so that a refused
// insertion leaves no key field registered behind.
TmvKeyFieldDescriptor* TmvCompKeyDescriptor::InsertNew(int32_t aIndex, int32_t aFieldNumber,
                                                       const TmvKeyFieldDescriptorClassRef* aClass) {
  CheckReadOnly();
  if (aIndex < 0 || aIndex > ckdKeyFields.Count()) TmvBaseList::Error(SListIndexError, aIndex);
  const TmvKeyFieldDescriptorClassRef& cls = aClass ? *aClass : GetDefaultKeyFieldClass();
  if (!cls.CreateKeyField) mvRaiseUnsupportedClass(u"KeyFieldDescriptor", cls.Name());
  ckdKeyFields.SetCapacity(std::max(ckdKeyFields.Capacity(), ckdKeyFields.Count() + 1));
  TmvKeyFieldDescriptor* keyField = cls.CreateKeyField(this, aFieldNumber);
  ckdKeyFields.Insert(aIndex, keyField);
  ckdKeyLen = -1;
  return keyField;
}

TmvKeyFieldDescriptor* TmvCompKeyDescriptor::Add(int32_t aFieldNumber, const TmvKeyFieldDescriptorClassRef* aClass) {
  return InsertNew(ckdKeyFields.Count(), aFieldNumber, aClass);
}

TmvKeyFieldDescriptor* TmvCompKeyDescriptor::Insert(int32_t aIndex, int32_t aFieldNumber,
                                                    const TmvKeyFieldDescriptorClassRef* aClass) {
  return InsertNew(aIndex, aFieldNumber, aClass);
}

int32_t TmvCompKeyDescriptor::FieldNumberOf(const String& aFieldName) {
  auto* fields = static_cast<TmvFieldsDescriptor*>(GetRelatedDescriptorOfType(TmvFieldsDescriptor::StaticClass));
  return fields ? fields->GetFieldFromName(aFieldName) : -1;
}

TmvKeyFieldDescriptor* TmvCompKeyDescriptor::Add(const String& aFieldName,
                                                 const TmvKeyFieldDescriptorClassRef* aClass) {
  return Add(FieldNumberOf(aFieldName), aClass);
}

TmvKeyFieldDescriptor* TmvCompKeyDescriptor::Insert(int32_t aIndex, const String& aFieldName,
                                                    const TmvKeyFieldDescriptorClassRef* aClass) {
  return Insert(aIndex, FieldNumberOf(aFieldName), aClass);
}

void TmvCompKeyDescriptor::Delete(int32_t aIndex) {
  CheckReadOnly();
  FreeKeyField(aIndex);
}

void TmvCompKeyDescriptor::Move(int32_t aFrom, int32_t aTo) {
  CheckReadOnly();
  ckdKeyFields.Move(aFrom, aTo);
  ckdKeyLen = -1;
}

int32_t TmvCompKeyDescriptor::NullFlagBytes() const { return (KeyFieldCount() + 7) / 8; }

int32_t TmvCompKeyDescriptor::GetKeyLen() {
  if (ckdKeyLen >= 0) return ckdKeyLen;
  int32_t length = NullFlagBytes();
  for (int32_t i = 0; i < KeyFieldCount(); ++i) length += KeyFields(i)->KeyLength();
  ckdKeyLen = length;
  return length;
}

bool TmvCompKeyDescriptor::CanContainNulls() {
  for (int32_t i = 0; i < KeyFieldCount(); ++i)
    if (KeyFields(i)->CanContainNulls()) return true;
  return false;
}

bool TmvCompKeyDescriptor::IsValidFor(TmvDictionaryItem* aTableDescriptor) {
  if (KeyFieldCount() == 0) return false;
  for (int32_t i = 0; i < KeyFieldCount(); ++i)
    if (!KeyFields(i)->IsValidFor(aTableDescriptor)) return false;
  return true;
}

// Threads that share a frozen key read its length without writing it.
void TmvCompKeyDescriptor::ActivateCache() {
  if (diCacheActive) return;
  ckdKeyLen = -1;
  GetKeyLen();
  TmvBaseKeyDescriptor::ActivateCache();
}

void TmvCompKeyDescriptor::Clear(bool aNotify) {
  TmvBaseKeyDescriptor::Clear(aNotify);
  DropKeyFields();
}

void TmvCompKeyDescriptor::CheckValid(bool aForBuild) {
  ckdKeyLen = -1;
  TmvBaseKeyDescriptor::CheckValid(aForBuild);
  if (KeyFieldCount() == 0)
    throw EmvCompKeyDescriptorException(MVERR_INVALIDDESC, String(u"Composite key requires a minimum of one field"));
  for (int32_t i = 0; i < KeyFieldCount(); ++i) KeyFields(i)->CheckValid(aForBuild);
}

bool TmvCompKeyDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseKeyDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvCompKeyDescriptor*>(aItem);
  if (!other || KeyFieldCount() != other->KeyFieldCount()) return false;
  for (int32_t i = 0; i < KeyFieldCount(); ++i)
    if (!KeyFields(i)->IsEqual(other->KeyFields(i))) return false;
  return true;
}

// Composite part, after the base part:
//   integer  1
//   integer  key field count
//   per key field: string class name, integer field number, its stream form
void TmvCompKeyDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(KeyFieldCount());
  for (int32_t i = 0; i < KeyFieldCount(); ++i) {
    TmvKeyFieldDescriptor* keyField = KeyFields(i);
    aWriter.WriteString(keyField->ClassName());
    aWriter.WriteInteger(keyField->GetFieldNumber());
    keyField->SaveToWriter(aWriter, aClientVersion);
  }
}

void TmvCompKeyDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseKeyDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  DropKeyFields();
  const int32_t count = aReader.ReadInteger();
  for (int32_t i = 0; i < count; ++i) {
    const auto& cls = mvReadItemClass(aReader, TmvKeyFieldDescriptor::StaticClass, u"KeyFieldDescriptor");
    const int32_t number = aReader.ReadInteger();
    Add(number, &cls)->LoadFromReader(aReader);
  }
}

namespace {

// Whether a field that is not required still never holds null: it is
// filled by the engine, or a default fills it.
bool FieldNeverNull(TmvFieldDescriptor& aField) {
  switch (aField.FieldType()) {
    case mvtAutoInc: case mvtRecRev: case mvtRefNr: return true;
    default: break;
  }
  TmvBaseDefaultValueDescriptor* def = aField.GetDefaultValue();
  if (!def) return false;
  if (aField.FieldType() == mvtInt64 && def->InheritsFrom(TmvNextLSNDefaultValueDescriptor::StaticClass)) return true;
  if (aField.FieldType() == mvtGuid && def->InheritsFrom(TmvAutoGuidDefaultValueDescriptor::StaticClass)) return true;
  const auto* constant = mvFindItemClass(TmvBaseDefaultValueDescriptor::StaticClass, u"TmvConstDefaultValueDescriptor");
  return constant && def->InheritsFrom(*constant);
}

}  // namespace

void TmvNoNullCompKeyDescriptor::CheckValid(bool aForBuild) {
  TmvCompKeyDescriptor::CheckValid(aForBuild);
  for (int32_t i = 0; i < KeyFieldCount(); ++i) {
    TmvFieldDescriptor* field = KeyFields(i)->Field();
    if (field && !field->GetRequired() && !FieldNeverNull(*field))
      throw EmvCompKeyDescriptorException(MVERR_INVALIDDESC, u"Field \"%s\" is not marked as required",
                                          {field->Name()});
  }
}

void TmvNoNullCompKeyDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvCompKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TmvNoNullCompKeyDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvCompKeyDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}

// ---------------------------------------------------------------------------
// TmvKeyFieldDescriptor

TmvClassRegistry* TmvKeyFieldDescriptor::Registry() { return mvFamilyRegistry<TmvKeyFieldDescriptor>(); }

template <typename T>
TmvKeyFieldDescriptor* mvCreateKeyField(TPersistent* aParent, int32_t aFieldNumber) {
  return new T(aParent, aFieldNumber);
}

constinit const TmvKeyFieldDescriptorClassRef TmvKeyFieldDescriptor::StaticClass{
    {{{u"TmvKeyFieldDescriptor", &TmvLocalizedDictionaryItem::StaticClass}, &TmvKeyFieldDescriptor::Registry,
      nullptr},
     nullptr},
    &mvCreateKeyField<TmvKeyFieldDescriptor>};
constinit const TmvKeyFieldDescriptorClassRef TmvTextKeyFieldDescriptor::StaticClass{
    {{{u"TmvTextKeyFieldDescriptor", &TmvKeyFieldDescriptor::StaticClass}, &TmvKeyFieldDescriptor::Registry,
      nullptr},
     nullptr},
    &mvCreateKeyField<TmvTextKeyFieldDescriptor>};
constinit const TmvKeyFieldDescriptorClassRef TmvExtTextKeyFieldDescriptor::StaticClass{
    {{{u"TmvExtTextKeyFieldDescriptor", &TmvTextKeyFieldDescriptor::StaticClass}, &TmvKeyFieldDescriptor::Registry,
      nullptr},
     nullptr},
    &mvCreateKeyField<TmvExtTextKeyFieldDescriptor>};

TmvKeyFieldDescriptor::TmvKeyFieldDescriptor(TPersistent* aParent, int32_t aFieldNumber)
    : TmvLocalizedDictionaryItem(aParent), kfdFieldNumber(aFieldNumber) {
  if (kfdFieldNumber != mvParentFieldNumber) RegisterFieldChangeNotification();
}

// The number may have changed since the registration (to or from the
// parent field's), so the key field leaves the list whatever it holds now;
// leaving a list it is not in does nothing.
TmvKeyFieldDescriptor::~TmvKeyFieldDescriptor() { UnregisterFieldChangeNotification(); }

void TmvKeyFieldDescriptor::ResetKeyLen() {
  if (auto* key = dynamic_cast<TmvCompKeyDescriptor*>(diParent)) key->ResetKeyLen();
}

TmvFieldDescriptor* TmvKeyFieldDescriptor::FindField(bool& aBadNumber) {
  aBadNumber = false;
  if (kfdFieldNumber == mvParentFieldNumber) return FindRelatedDescriptor<TmvFieldDescriptor>();
  auto* fields = FindRelatedDescriptor<TmvFieldsDescriptor>();
  if (!fields) return nullptr;
  aBadNumber = kfdFieldNumber < 0 || kfdFieldNumber >= fields->FieldCount();
  return aBadNumber ? nullptr : fields->FieldDescriptor(kfdFieldNumber);
}

TmvFieldDescriptor* TmvKeyFieldDescriptor::FindField() {
  bool badNumber;
  return FindField(badNumber);
}

TmvFieldDescriptor* TmvKeyFieldDescriptor::Field() {
  bool badNumber;
  TmvFieldDescriptor* field = FindField(badNumber);
  if (badNumber) throw EmvKeyFieldDescriptorException(MVERR_INVALIDDESCNO, SInvalidFieldNumber, {kfdFieldNumber});
  return field;
}

int32_t TmvKeyFieldDescriptor::KeyChars() {
  TmvFieldDescriptor* field = Field();
  if (!field) return 0;
  switch (field->FieldType()) {
    case mvtShortString: case mvtNullString: case mvtWideString: {
      const int32_t units = field->Units();
      return kfdOverrideLengthChars > 0 && kfdOverrideLengthChars < units ? kfdOverrideLengthChars : units;
    }
    default: return 0;
  }
}

// | field type               | key part bytes                                   |
// |--------------------------|--------------------------------------------------|
// | ByteArray                | the byte override when above 0 and smaller than  |
// |                          | the field, else the field's length               |
// | ShortString, NullString  | a character override C (0 < C < units) makes it  |
// |                          | C + 1; a larger byte override then wins: a byte  |
// |                          | override only ever enlarges an 8-bit text key    |
// | WideString               | (C + 1) * 2 with a character override, else the  |
// |                          | field's length                                   |
// | every other type         | the field's length                               |
// Without a field (no fields descriptor related) the part is 0 bytes.
int32_t TmvKeyFieldDescriptor::KeyLength() {
  TmvFieldDescriptor* field = Field();
  if (!field) return 0;
  int32_t length = field->Length();
  switch (field->FieldType()) {
    case mvtByteArray:
      return kfdOverrideLengthBytes > 0 && kfdOverrideLengthBytes < length ? kfdOverrideLengthBytes : length;
    case mvtShortString: case mvtNullString: case mvtWideString:
      if (kfdOverrideLengthChars > 0 && kfdOverrideLengthChars < field->Units()) {
        length = kfdOverrideLengthChars + 1;
        if (field->FieldType() == mvtWideString) length *= 2;
      }
      if (field->FieldType() == mvtWideString) return length;
      return std::max(kfdOverrideLengthBytes, length);
    default: return length;
  }
}

void TmvKeyFieldDescriptor::SetFieldNumber(int32_t aValue) {
  CheckReadOnly();
  kfdFieldNumber = aValue;
  ResetKeyLen();
}

void TmvKeyFieldDescriptor::SetOverrideLengthBytes(int32_t aValue) {
  if (aValue == kfdOverrideLengthBytes) return;
  CheckReadOnly();
  ResetKeyLen();
  kfdOverrideLengthBytes = aValue;
}

void TmvKeyFieldDescriptor::SetOverrideLengthChars(int32_t aValue) {
  if (aValue == kfdOverrideLengthChars) return;
  CheckReadOnly();
  ResetKeyLen();
  kfdOverrideLengthChars = aValue;
}

void TmvKeyFieldDescriptor::SetDesc(const String& aValue) {
  CheckReadOnly();
  kfdDesc = aValue;
}

void TmvKeyFieldDescriptor::SetKeyFieldEngine(const String& aValue) {
  CheckReadOnly();
  kfdKeyFieldEngine = aValue;
}

void TmvKeyFieldDescriptor::SetAscend(bool aValue) {
  CheckReadOnly();
  kfdAscend = aValue;
}

void TmvKeyFieldDescriptor::SetNullBehaviour(TmvNullBehaviour aValue) {
  CheckReadOnly();
  kfdNullBehaviour = aValue;
}

bool TmvKeyFieldDescriptor::IsValidFor(TmvDictionaryItem* aTableDescriptor) {
  auto* fields = aTableDescriptor ? aTableDescriptor->FindRelatedDescriptor<TmvFieldsDescriptor>() : nullptr;
  return fields && kfdFieldNumber >= 0 && kfdFieldNumber < fields->FieldCount();
}

bool TmvKeyFieldDescriptor::CanContainNulls() {
  if (kfdNullBehaviour == nbFilterNull) return false;
  TmvFieldDescriptor* field = FindField();
  return !field || !field->GetRequired();
}

TmvLocaleDescriptor* TmvKeyFieldDescriptor::GetInheritedLocaleDescriptor() {
  if (TmvFieldDescriptor* field = FindField()) return field->GetUsedLocaleDescriptor();
  return TmvLocalizedDictionaryItem::GetInheritedLocaleDescriptor();
}

bool TmvKeyFieldDescriptor::ItemRequiresPack() {
  TmvLocaleDescriptor* locale = GetUsedLocaleDescriptor();
  TmvFieldDescriptor* field = locale ? FindField() : nullptr;
  if (!field) return false;
  switch (field->FieldType()) {
    case mvtChar: case mvtWideChar: case mvtBlobMemo: case mvtShortString: case mvtNullString: case mvtWideString:
    case mvtBlobWideMemo:
      return !locale->CurrentLocaleVersionEqualToBuildVersion();
    default: return false;
  }
}

void TmvKeyFieldDescriptor::FieldChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) {
  if (kfdFieldNumber == mvParentFieldNumber) return;
  if (!aBefore) {
    kfdFieldNumber = mvRenumberAfterChange(kfdFieldNumber, aOldNumber, aNewNumber);
    return;
  }
  if (!mvChangeRemoves(kfdFieldNumber, aOldNumber, aNewNumber)) return;
  TmvFieldDescriptor* field = FindField();
  throw EmvKeyFieldDescriptorException(MVERR_OBJECTINUSE,
                                       u"Cannot remove field %s because it is still referenced by an index",
                                       {field ? field->Name() : mvIntToStr(kfdFieldNumber)});
}

void TmvKeyFieldDescriptor::CheckValid(bool aForBuild) {
  TmvLocalizedDictionaryItem::CheckValid(aForBuild);
  if (kfdFieldNumber == mvParentFieldNumber) {
    if (!FindRelatedDescriptor<TmvFieldDescriptor>())
      throw EmvKeyFieldDescriptorException(MVERR_INVALIDDESCNO, SInvalidFieldNumber, {kfdFieldNumber});
    return;
  }
  Field();  // raises for a number outside the related fields
}

bool TmvKeyFieldDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvLocalizedDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvKeyFieldDescriptor*>(aItem);
  return other && kfdFieldNumber == other->kfdFieldNumber && kfdDesc == other->kfdDesc &&
         SameClassName(kfdKeyFieldEngine, other->kfdKeyFieldEngine) && kfdAscend == other->kfdAscend &&
         kfdOverrideLengthBytes == other->kfdOverrideLengthBytes &&
         kfdOverrideLengthChars == other->kfdOverrideLengthChars && kfdNullBehaviour == other->kfdNullBehaviour;
}

// Key field form, after the item header:
//   integer  version: 2 for peers from 20000 on, else 1
//   string   kfdDesc
//   string   kfdKeyFieldEngine
//   boolean  kfdAscend
//   version 2 only:
//   locale part (integer 1, boolean, class name, body)
//   integer  kfdOverrideLengthBytes
//   integer  kfdOverrideLengthChars
//   string   kfdNullBehaviour's enumeration name ("nbTop" ...)
// Version 1 cannot carry an own locale (except in the ext-text key field's
// old form) nor an override length: such a key field raises 12039.
void TmvKeyFieldDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  const int32_t version = aClientVersion < mvPeerVersionItemIDs ? 1 : 2;
  if (version == 1 && ((ldiLocaleDescriptor && !WritesOldLocaleForm()) || kfdOverrideLengthBytes > 0 ||
                       kfdOverrideLengthChars > 0))
    mvRaiseCode<EmvKeyFieldDescriptorException>(MVERR_INCOMPATIBLEVERSION);
  TmvLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(version);
  aWriter.WriteString(kfdDesc);
  aWriter.WriteString(kfdKeyFieldEngine);
  aWriter.WriteBoolean(kfdAscend);
  if (version < 2) return;
  SaveLocaleToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(kfdOverrideLengthBytes);
  aWriter.WriteInteger(kfdOverrideLengthChars);
  aWriter.WriteString(mvNullBehaviourNames[kfdNullBehaviour]);
}

// A version-1 stream has no locale, overrides or null behaviour: the key
// field takes the defaults, so that it equals the one that was written.
void TmvKeyFieldDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvLocalizedDictionaryItem::LoadFromReader(aReader);
  const int32_t version = mvReadStreamVersion(aReader, 1, 2);
  kfdDesc = aReader.ReadString();
  kfdKeyFieldEngine = aReader.ReadString();
  kfdAscend = aReader.ReadBoolean();
  ResetKeyLen();
  if (version < 2) {
    FreeLocaleDescriptor();
    kfdOverrideLengthBytes = 0;
    kfdOverrideLengthChars = 0;
    kfdNullBehaviour = nbTop;
    return;
  }
  LoadLocaleFromReader(aReader);
  kfdOverrideLengthBytes = aReader.ReadInteger();
  kfdOverrideLengthChars = aReader.ReadInteger();
  const String name = aReader.ReadString();
  for (int b = 0;; ++b) {
    if (b == mvNullBehaviourCount) mvRaiseCode<EmvKeyFieldDescriptorException>(MVERR_INCOMPATIBLESTREAM);
    if (SameClassName(name, mvNullBehaviourNames[b])) {
      kfdNullBehaviour = TmvNullBehaviour(b);
      break;
    }
  }
}

// ---------------------------------------------------------------------------
// Text key fields

void TmvTextKeyFieldDescriptor::SetIgnoreCase(bool aValue) {
  CheckReadOnly();
  tkfIgnoreCase = aValue;
}

bool TmvTextKeyFieldDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvKeyFieldDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvTextKeyFieldDescriptor*>(aItem);
  return other && tkfIgnoreCase == other->tkfIgnoreCase;
}

// The key field form, then integer 1 and boolean tkfIgnoreCase.
void TmvTextKeyFieldDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvKeyFieldDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteBoolean(tkfIgnoreCase);
}

void TmvTextKeyFieldDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvKeyFieldDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  tkfIgnoreCase = aReader.ReadBoolean();
}

// The text key field form, then:
//   peers from 20000 on:  integer 2, the locale part again
//   older peers:          integer 1, the old locale form:
//                         integer  locale id (0: no own locale)
//                         boolean  IgnoreKanaType, IgnoreNonSpace,
//                                  IgnoreSymbols, IgnoreWidth, UseStringSort
// The old form has no storage code page: an own locale with an override
// raises 12039 for those peers.
void TmvExtTextKeyFieldDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  const bool old = aClientVersion < mvPeerVersionItemIDs;
  if (old && ldiLocaleDescriptor && ldiLocaleDescriptor->GetOverrideStorageCodepage() != 0)
    mvRaiseCode<EmvKeyFieldDescriptorException>(MVERR_INCOMPATIBLEVERSION);
  TmvTextKeyFieldDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(old ? 1 : 2);
  if (old)
    SaveOldLocaleForm(aWriter);
  else
    SaveLocaleToWriter(aWriter, aClientVersion);
}

void TmvExtTextKeyFieldDescriptor::SaveOldLocaleForm(TmvWriter& aWriter) {
  TmvLocaleDescriptor* locale = ldiLocaleDescriptor;
  aWriter.WriteInteger(locale ? int32_t(locale->GetLocale()) : 0);
  for (bool option : {locale && locale->GetIgnoreKanaType(), locale && locale->GetIgnoreNonSpace(),
                      locale && locale->GetIgnoreSymbols(), locale && locale->GetIgnoreWidth(),
                      locale && locale->GetUseStringSort()})
    aWriter.WriteBoolean(option);
}

void TmvExtTextKeyFieldDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvTextKeyFieldDescriptor::LoadFromReader(aReader);
  if (mvReadStreamVersion(aReader, 1, 2) == 2)
    LoadLocaleFromReader(aReader);
  else
    LoadOldLocaleForm(aReader);
}

void TmvExtTextKeyFieldDescriptor::LoadOldLocaleForm(TmvReader& aReader) {
  FreeLocaleDescriptor();
  const LCID id = LCID(aReader.ReadInteger());
  bool options[5];
  for (bool& option : options) option = aReader.ReadBoolean();
  if (id == 0) return;
  TmvLocaleDescriptor* locale = AddLocaleDescriptor();
  locale->SetLocale(id);
  locale->SetIgnoreKanaType(options[0]);
  locale->SetIgnoreNonSpace(options[1]);
  locale->SetIgnoreSymbols(options[2]);
  locale->SetIgnoreWidth(options[3]);
  locale->SetUseStringSort(options[4]);
}
