// Data dictionary: referential-integrity descriptors. See
// mvsdRefIntegrityDescriptors.h.
#include "dictionary/keys/mvsdRefIntegrityDescriptors.h"

#include <algorithm>

#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdTableNames.h"

namespace {

constexpr char16_t SReferenceFamily[] = u"ReferenceDescriptor";
constexpr char16_t STargetCursorFamily[] = u"TargetCursorDescriptor";
constexpr char16_t SSourceFamily[] = u"SourceDescriptor";
constexpr char16_t SActionFamily[] = u"ActionDescriptor";
constexpr char16_t SNoSources[] = u"Referential Integrity Descriptor - No Referencing Fields";
constexpr char16_t SNoTargetIndex[] = u"Referential Integrity Descriptor - Target Index Missing";
constexpr char16_t SNoActions[] = u"Referential Integrity Descriptor - No Actions Selected";
constexpr char16_t STargetTableName[] = u"Referential Integrity Target Table Name ";
constexpr char16_t STargetTable[] = u"Referential Integrity Target Table ";
constexpr char16_t SMustBeSet[] = u"must be set";
constexpr char16_t SInvalidName[] = u"Invalid [%s]";
constexpr char16_t SInvalidFieldNumber[] = u"Invalid field number: %d";
constexpr char16_t SFieldInUse[] = u"Cannot remove field %s because it is still referenced by an index";

// The record of a class of a family whose items are made with Create
// (aParent).
template <typename T>
constexpr TmvDictionaryItemClassRef ItemClass(const char16_t* aName, const TmvDictionaryItemClassRef& aParent) {
  return {{{aName, &aParent}, aParent.GetRegistry, &mvCreateFreeItem<T>}, &mvCreateItem<T>};
}

template <typename T>
TmvReferenceDescriptor* CreateReference(TPersistent* aParent, const TmvDictionaryItemClassRef* aTargetCursorClass) {
  return new T(aParent, aTargetCursorClass);
}

// Creates an item of aClass (which must belong to aRoot's family) under
// aParent and appends it to aList.
template <typename T>
T* AppendItem(std::vector<T*>& aList, const TmvDictionaryItemClassRef& aClass, const ClassRef& aRoot,
              TPersistent* aParent, std::u16string_view aFamilyWord) {
  mvCheckItemFamily(aClass, aRoot, aFamilyWord);
  aList.reserve(aList.size() + 1);
  T* item = static_cast<T*>(mvCreateItemOfClass(aClass, aParent, aFamilyWord));
  aList.push_back(item);
  return item;
}

// Frees the item at aIndex and closes the gap; nothing outside the list.
template <typename T>
void RemoveAt(std::vector<T*>& aList, int32_t aIndex) {
  if (aIndex < 0 || size_t(aIndex) >= aList.size()) return;
  T* item = aList[size_t(aIndex)];
  aList.erase(aList.begin() + aIndex);
  delete item;
}

template <typename T>
int32_t PositionOf(const std::vector<T*>& aList, const T* aItem) {
  auto it = std::find(aList.begin(), aList.end(), aItem);
  return it == aList.end() ? -1 : int32_t(it - aList.begin());
}

template <typename T>
void FreeAll(std::vector<T*>& aList) {
  while (!aList.empty()) {
    T* item = aList.back();
    aList.pop_back();
    delete item;
  }
}

template <typename T>
bool PairwiseEqual(const std::vector<T*>& a, const std::vector<T*>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!a[i]->IsEqual(b[i])) return false;
  return true;
}

// A list of class-named items: list start; per item its class name and its
// stream form; list end.
template <typename T>
void WriteNamedItems(TmvWriter& aWriter, const std::vector<T*>& aList, int32_t aClientVersion) {
  aWriter.WriteListBegin();
  for (T* item : aList) {
    aWriter.WriteString(item->ClassName());
    item->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
}

// Reads such a list; each class name is looked up in aRoot's registry and
// the item made by aAdd (class) reads its form.
template <typename F>
void ReadNamedItems(TmvReader& aReader, const TmvDictionaryItemClassRef& aRoot, std::u16string_view aFamilyWord,
                    F aAdd) {
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) aAdd(&mvReadItemClass(aReader, aRoot, aFamilyWord))->LoadFromReader(aReader);
  aReader.ReadListEnd();
}

// The SkipOnNull part of sources and actions:
//   peers from 20000 on   integer 2, boolean SkipOnNull
//   older peers           integer 1 (a set SkipOnNull cannot be written: 12039)
void WriteSkipOnNullPart(TmvWriter& aWriter, int32_t aClientVersion, bool aSkipOnNull) {
  if (aClientVersion >= mvPeerVersionRefIntegrityV2) {
    aWriter.WriteInteger(2);
    aWriter.WriteBoolean(aSkipOnNull);
    return;
  }
  if (aSkipOnNull) mvRaiseCode<EmvDictionaryItemException>(MVERR_INCOMPATIBLEVERSION);
  aWriter.WriteInteger(1);
}

bool ReadSkipOnNullPart(TmvReader& aReader) { return mvReadStreamVersion(aReader, 1, 2) == 2 && aReader.ReadBoolean(); }

// "<aHead>must be set" for an empty name, else "<aHead>Invalid [<name>]".
String TargetNameMessage(const char16_t* aHead, const String& aName) {
  if (aName.empty()) return String(aHead) + SMustBeSet;
  return String(aHead) + Format(SInvalidName, {aName});
}

}  // namespace

// ---------------------------------------------------------------------------
// TmvRefIntegrityDescriptor

constinit const TmvCustomDescriptorClassRef TmvRefIntegrityDescriptor::StaticClass{
    {{{u"TmvRefIntegrityDescriptor", &TmvBaseCustomDescriptor::StaticClass},
      &TmvBaseCustomDescriptor::Registry,
      nullptr},
     nullptr},
    &mvCreateCustom<TmvRefIntegrityDescriptor>};

TmvRefIntegrityDescriptor::~TmvRefIntegrityDescriptor() { DropReferences(); }

void TmvRefIntegrityDescriptor::DropReferences() { FreeAll(ridReferences); }

TmvReferenceDescriptor* TmvRefIntegrityDescriptor::AddReference(const TmvReferenceDescriptorClassRef* aReferenceClass,
                                                                const TmvDictionaryItemClassRef* aTargetCursorClass) {
  CheckReadOnly();
  const TmvReferenceDescriptorClassRef& cls = aReferenceClass ? *aReferenceClass : TmvReferenceDescriptor::StaticClass;
  mvCheckItemFamily(cls, TmvReferenceDescriptor::StaticClass, SReferenceFamily);
  if (!cls.CreateReference) mvRaiseUnsupportedClass(SReferenceFamily, cls.Name());
  ridReferences.reserve(ridReferences.size() + 1);
  TmvReferenceDescriptor* reference = cls.CreateReference(this, aTargetCursorClass);
  ridReferences.push_back(reference);
  return reference;
}

void TmvRefIntegrityDescriptor::RemoveReference(int32_t aIndex) {
  CheckReadOnly();
  RemoveAt(ridReferences, aIndex);
}

void TmvRefIntegrityDescriptor::RemoveReference(TmvReferenceDescriptor* aReference) {
  RemoveReference(PositionOf(ridReferences, aReference));
}

void TmvRefIntegrityDescriptor::Clear(bool aNotify) {
  TmvBaseCustomDescriptor::Clear(aNotify);
  DropReferences();
}

void TmvRefIntegrityDescriptor::CheckValid(bool aForBuild) {
  TmvBaseCustomDescriptor::CheckValid(aForBuild);
  for (TmvReferenceDescriptor* reference : ridReferences) reference->CheckValid(aForBuild);
}

bool TmvRefIntegrityDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseCustomDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvRefIntegrityDescriptor*>(aItem);
  return other && PairwiseEqual(ridReferences, other->ridReferences);
}

// Body after the item header:
//   integer  1
//   list start; per reference: string reference class, string target
//   cursor class, the reference's form; list end
void TmvRefIntegrityDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseCustomDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteListBegin();
  for (TmvReferenceDescriptor* reference : ridReferences) {
    aWriter.WriteString(reference->ClassName());
    aWriter.WriteString(reference->GetTargetCursor()->ClassName());
    reference->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
}

void TmvRefIntegrityDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseCustomDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  DropReferences();
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const auto& referenceClass = mvReadItemClass(aReader, TmvReferenceDescriptor::StaticClass, SReferenceFamily);
    const auto& cursorClass = mvReadItemClass(aReader, TmvBaseTargetCursorDescriptor::StaticClass, STargetCursorFamily);
    AddReference(&referenceClass, &cursorClass)->LoadFromReader(aReader);
  }
  aReader.ReadListEnd();
}

namespace {

// The class check of a custom descriptor found under the name: the name is
// the descriptor's, so another class there is a misuse of it.
TmvRefIntegrityDescriptor* AsRefIntegrity(TmvBaseCustomDescriptor* aCustom) {
  if (!aCustom->InheritsFrom(TmvRefIntegrityDescriptor::StaticClass)) throw EInvalidCast(String(SInvalidCast));
  return static_cast<TmvRefIntegrityDescriptor*>(aCustom);
}

}  // namespace

TmvRefIntegrityDescriptor* mvFindRefIntegrityDescriptor(TmvBaseTableDescriptor* aTableDescriptor) {
  TmvBaseCustomDescriptor* found = mvFindCustomDescriptor(aTableDescriptor, mvRefIntegrityDescriptorName);
  return found ? AsRefIntegrity(found) : nullptr;
}

TmvRefIntegrityDescriptor* mvEnsureRefIntegrityDescriptor(TmvDataDictionary* aDataDictionary) {
  if (TmvRefIntegrityDescriptor* found = mvFindRefIntegrityDescriptor(aDataDictionary)) return found;
  return AsRefIntegrity(aDataDictionary->GetCustomDescsDescriptor()->AddCustom(
      mvRefIntegrityDescriptorName, &TmvRefIntegrityDescriptor::StaticClass));
}

// ---------------------------------------------------------------------------
// TmvReferenceDescriptor

TmvClassRegistry* TmvReferenceDescriptor::Registry() { return mvFamilyRegistry<TmvReferenceDescriptor>(); }

constinit const TmvReferenceDescriptorClassRef TmvReferenceDescriptor::StaticClass{
    {{{u"TmvReferenceDescriptor", &TmvDictionaryItem::StaticClass}, &TmvReferenceDescriptor::Registry, nullptr},
     nullptr},
    &CreateReference<TmvReferenceDescriptor>};

TmvReferenceDescriptor::TmvReferenceDescriptor(TPersistent* aParent,
                                               const TmvDictionaryItemClassRef* aTargetCursorClass)
    : TmvDictionaryItem(aParent) {
  const auto& cls = aTargetCursorClass ? *aTargetCursorClass : TmvTableTargetCursorDescriptor::StaticClass;
  mvCheckItemFamily(cls, TmvBaseTargetCursorDescriptor::StaticClass, STargetCursorFamily);
  rdTargetCursor = static_cast<TmvBaseTargetCursorDescriptor*>(mvCreateItemOfClass(cls, this, STargetCursorFamily));
}

TmvReferenceDescriptor::~TmvReferenceDescriptor() {
  DropSourcesAndActions();
  mvFreeAndNil(rdTargetCursor);
}

void TmvReferenceDescriptor::DropSourcesAndActions() {
  FreeAll(rdSources);
  FreeAll(rdActions);
}

TmvBaseSourceDescriptor* TmvReferenceDescriptor::AddSource(const TmvDictionaryItemClassRef* aClass) {
  CheckReadOnly();
  return AppendItem(rdSources, aClass ? *aClass : TmvFieldSourceDescriptor::StaticClass,
                    TmvBaseSourceDescriptor::StaticClass, this, SSourceFamily);
}

TmvBaseActionDescriptor* TmvReferenceDescriptor::AddAction(const TmvDictionaryItemClassRef* aClass) {
  CheckReadOnly();
  return AppendItem(rdActions, aClass ? *aClass : TmvBlockDeleteActionDescriptor::StaticClass,
                    TmvBaseActionDescriptor::StaticClass, this, SActionFamily);
}

void TmvReferenceDescriptor::RemoveSource(int32_t aIndex) {
  CheckReadOnly();
  RemoveAt(rdSources, aIndex);
}

void TmvReferenceDescriptor::RemoveSource(TmvBaseSourceDescriptor* aSource) {
  RemoveSource(PositionOf(rdSources, aSource));
}

void TmvReferenceDescriptor::RemoveAction(int32_t aIndex) {
  CheckReadOnly();
  RemoveAt(rdActions, aIndex);
}

void TmvReferenceDescriptor::RemoveAction(TmvBaseActionDescriptor* aAction) {
  RemoveAction(PositionOf(rdActions, aAction));
}

void TmvReferenceDescriptor::SetTargetIndex(const String& aValue) {
  CheckReadOnly();
  rdTargetIndex = aValue;
}

// The new target cursor is made before the old one goes, so that a refusal
// keeps the reference whole.
void TmvReferenceDescriptor::Assign(const TPersistent* aSource) {
  auto* source = dynamic_cast<const TmvReferenceDescriptor*>(aSource);
  if (source && &source->ClassType() == &ClassType() && !rdTargetCursor->IsSameClass(source->rdTargetCursor)) {
    CheckReadOnly();
    const auto& cls = static_cast<const TmvDictionaryItemClassRef&>(source->rdTargetCursor->ClassType());
    auto* cursor = static_cast<TmvBaseTargetCursorDescriptor*>(mvCreateItemOfClass(cls, this, STargetCursorFamily));
    delete rdTargetCursor;
    rdTargetCursor = cursor;
  }
  TmvDictionaryItem::Assign(aSource);
}

void TmvReferenceDescriptor::Clear(bool aNotify) {
  TmvDictionaryItem::Clear(aNotify);
  DropSourcesAndActions();
  rdTargetIndex.clear();
  rdTargetCursor->Clear(aNotify);
}

bool TmvReferenceDescriptor::References(TmvDictionaryItem* aItem) {
  auto* index = dynamic_cast<TmvIndexDescriptor*>(aItem);
  if (!index || !SameClassName(index->GetName(), rdTargetIndex)) return false;
  return rdTargetCursor->References(index->GetParentOfType<TmvBaseTableDescriptor>());
}

String TmvReferenceDescriptor::MessagePrefix() const {
  TPersistent* dictionary;
  if (!FindParentOfType(TmvDataDictionary::StaticClass, dictionary)) return String();
  return u"TableName: " + static_cast<TmvDataDictionary*>(dictionary)->GetBaseName() + u" - ";
}

void TmvReferenceDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  rdTargetCursor->CheckValid(aForBuild);
  if (aForBuild && rdSources.empty()) throw EmvReferenceDescriptorException(MessagePrefix() + SNoSources);
  for (TmvBaseSourceDescriptor* source : rdSources) source->CheckValid(aForBuild);
  if (aForBuild && rdTargetIndex.empty()) throw EmvReferenceDescriptorException(MessagePrefix() + SNoTargetIndex);
  if (aForBuild && rdActions.empty()) throw EmvReferenceDescriptorException(MessagePrefix() + SNoActions);
  for (TmvBaseActionDescriptor* action : rdActions) action->CheckValid(aForBuild);
}

bool TmvReferenceDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvReferenceDescriptor*>(aItem);
  return other && rdTargetCursor->IsEqual(other->rdTargetCursor) &&
         SameClassName(rdTargetIndex, other->rdTargetIndex) && PairwiseEqual(rdSources, other->rdSources) &&
         PairwiseEqual(rdActions, other->rdActions);
}

// Body after the item header:
//   integer  1
//   the target cursor's form
//   string   target index
//   list of sources (class name, form), list of actions (class name, form)
void TmvReferenceDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  rdTargetCursor->SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteString(rdTargetIndex);
  WriteNamedItems(aWriter, rdSources, aClientVersion);
  WriteNamedItems(aWriter, rdActions, aClientVersion);
}

void TmvReferenceDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  rdTargetCursor->LoadFromReader(aReader);
  rdTargetIndex = aReader.ReadString();
  DropSourcesAndActions();
  ReadNamedItems(aReader, TmvBaseSourceDescriptor::StaticClass, SSourceFamily,
                 [this](auto* aClass) { return AddSource(aClass); });
  ReadNamedItems(aReader, TmvBaseActionDescriptor::StaticClass, SActionFamily,
                 [this](auto* aClass) { return AddAction(aClass); });
}

// ---------------------------------------------------------------------------
// Target cursors

TmvClassRegistry* TmvBaseTargetCursorDescriptor::Registry() {
  return mvFamilyRegistry<TmvBaseTargetCursorDescriptor>();
}

constinit const TmvDictionaryItemClassRef TmvBaseTargetCursorDescriptor::StaticClass{
    {{u"TmvBaseTargetCursorDescriptor", &TmvDictionaryItem::StaticClass},
     &TmvBaseTargetCursorDescriptor::Registry,
     nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvCloneTargetCursorDescriptor::StaticClass =
    ItemClass<TmvCloneTargetCursorDescriptor>(u"TmvCloneTargetCursorDescriptor",
                                              TmvBaseTargetCursorDescriptor::StaticClass);
constinit const TmvDictionaryItemClassRef TmvTableTargetCursorDescriptor::StaticClass =
    ItemClass<TmvTableTargetCursorDescriptor>(u"TmvTableTargetCursorDescriptor",
                                              TmvBaseTargetCursorDescriptor::StaticClass);
constinit const TmvDictionaryItemClassRef TmvRelativeTargetCursorDescriptor::StaticClass =
    ItemClass<TmvRelativeTargetCursorDescriptor>(u"TmvRelativeTargetCursorDescriptor",
                                                 TmvBaseTargetCursorDescriptor::StaticClass);

bool TmvBaseTargetCursorDescriptor::References(TmvDictionaryItem* aItem) {
  auto* table = dynamic_cast<TmvBaseTableDescriptor*>(aItem);
  return table && SameClassName(table->btdFullName(), ReferencedTableName());
}

void TmvBaseTargetCursorDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TmvBaseTargetCursorDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}

String TmvCloneTargetCursorDescriptor::ReferencedTableName() {
  return GetParentOfType<TmvBaseTableDescriptor>()->btdFullName();
}

void TmvCloneTargetCursorDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTargetCursorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TmvCloneTargetCursorDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTargetCursorDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}

void TmvTableTargetCursorDescriptor::SetTableName(const String& aValue) {
  CheckReadOnly();
  if (uint32_t code = mvCheckTableName(aValue, true, false)) throw EmvTargetCursorDescriptorException(int64_t(code));
  ttcTableName = aValue;
}

void TmvTableTargetCursorDescriptor::SetPassword(const String& aValue) {
  CheckReadOnly();
  ttcPassword = aValue;
}

void TmvTableTargetCursorDescriptor::Clear(bool aNotify) {
  TmvBaseTargetCursorDescriptor::Clear(aNotify);
  ttcTableName.clear();
  ttcPassword.clear();
}

void TmvTableTargetCursorDescriptor::CheckValid(bool aForBuild) {
  TmvBaseTargetCursorDescriptor::CheckValid(aForBuild);
  if (uint32_t code = mvCheckTableName(ttcTableName, true, false))
    throw EmvTargetCursorDescriptorException(code, TargetNameMessage(STargetTableName, ttcTableName));
}

bool TmvTableTargetCursorDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseTargetCursorDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvTableTargetCursorDescriptor*>(aItem);
  return other && SameClassName(ttcTableName, other->ttcTableName);
}

// After the base part:
//   integer  2 for peers from 20000 on, else 1 (no password then: 12039)
//   string   table name
//   wide string password                          (version 2)
void TmvTableTargetCursorDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  const bool withPassword = aClientVersion >= mvPeerVersionRefIntegrityV2;
  if (!withPassword && !ttcPassword.empty()) mvRaiseCode<EmvTargetCursorDescriptorException>(MVERR_INCOMPATIBLEVERSION);
  TmvBaseTargetCursorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(withPassword ? 2 : 1);
  aWriter.WriteString(ttcTableName);
  if (withPassword) aWriter.WriteWideString_(ttcPassword);
}

void TmvTableTargetCursorDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTargetCursorDescriptor::LoadFromReader(aReader);
  const int32_t version = mvReadStreamVersion(aReader, 1, 2);
  ttcTableName = aReader.ReadString();
  ttcPassword = version == 2 ? aReader.ReadWideString() : String();
}

void TmvRelativeTargetCursorDescriptor::SetTableName(const String& aValue) {
  CheckReadOnly();
  if (uint32_t code = mvCheckChildTablePath(aValue)) throw EmvTargetCursorDescriptorException(int64_t(code));
  rtcTableName = aValue;
}

// A first part of "." followed by a name stands for that nested table of
// the owning table, so that it is read as "." and then the name.
String TmvRelativeTargetCursorDescriptor::ReferencedTableName() {
  if (rtcTableName.empty() || rtcTableName.front() != u'.')
    return GetParentOfType<TmvDataDictionary>()->GetChild(rtcTableName)->btdFullName();
  std::u16string_view path = rtcTableName;
  const std::u16string_view first = path.substr(0, path.find(u':'));
  if (first != u"." && first != u"..") path.remove_prefix(1);
  return GetParentOfType<TmvBaseTableDescriptor>()->GetChild(String(path))->btdFullName();
}

void TmvRelativeTargetCursorDescriptor::Clear(bool aNotify) {
  TmvBaseTargetCursorDescriptor::Clear(aNotify);
  rtcTableName.clear();
}

void TmvRelativeTargetCursorDescriptor::CheckValid(bool aForBuild) {
  TmvBaseTargetCursorDescriptor::CheckValid(aForBuild);
  if (mvCheckChildTablePath(rtcTableName))
    throw EmvTargetCursorDescriptorException(MVERR_INVALIDTABLENAME, TargetNameMessage(STargetTable, rtcTableName));
  ReferencedTableName();  // the path must name a table
}

bool TmvRelativeTargetCursorDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseTargetCursorDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvRelativeTargetCursorDescriptor*>(aItem);
  return other && SameClassName(rtcTableName, other->rtcTableName);
}

// After the base part: integer 1, string path.
void TmvRelativeTargetCursorDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTargetCursorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteString(rtcTableName);
}

void TmvRelativeTargetCursorDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTargetCursorDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  rtcTableName = aReader.ReadString();
}

// ---------------------------------------------------------------------------
// Sources

TmvClassRegistry* TmvBaseSourceDescriptor::Registry() { return mvFamilyRegistry<TmvBaseSourceDescriptor>(); }

constinit const TmvDictionaryItemClassRef TmvBaseSourceDescriptor::StaticClass{
    {{u"TmvBaseSourceDescriptor", &TmvDictionaryItem::StaticClass}, &TmvBaseSourceDescriptor::Registry, nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvFieldSourceDescriptor::StaticClass =
    ItemClass<TmvFieldSourceDescriptor>(u"TmvFieldSourceDescriptor", TmvBaseSourceDescriptor::StaticClass);

void TmvBaseSourceDescriptor::SetSkipOnNull(bool aValue) {
  CheckReadOnly();
  bsdSkipOnNull = aValue;
}

void TmvBaseSourceDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  WriteSkipOnNullPart(aWriter, aClientVersion, bsdSkipOnNull);
}

void TmvBaseSourceDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  bsdSkipOnNull = ReadSkipOnNullPart(aReader);
}

TmvFieldSourceDescriptor::TmvFieldSourceDescriptor(TPersistent* aParent) : TmvBaseSourceDescriptor(aParent) {
  RegisterFieldChangeNotification();
}

TmvFieldSourceDescriptor::~TmvFieldSourceDescriptor() { UnregisterFieldChangeNotification(); }

void TmvFieldSourceDescriptor::SetFieldNumber(int32_t aValue) {
  CheckReadOnly();
  fsdFieldNumber = aValue;
}

TmvFieldDescriptor* TmvFieldSourceDescriptor::Field() {
  auto* fields = static_cast<TmvFieldsDescriptor*>(GetRelatedDescriptorOfType(TmvFieldsDescriptor::StaticClass));
  if (!fields || fsdFieldNumber < 0 || fsdFieldNumber >= fields->FieldCount())
    throw EmvSourceDescriptorException(MVERR_INVALIDDESC, SInvalidFieldNumber, {fsdFieldNumber});
  return fields->FieldDescriptor(fsdFieldNumber);
}

void TmvFieldSourceDescriptor::FieldChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) {
  if (!aBefore) {
    fsdFieldNumber = mvRenumberAfterChange(fsdFieldNumber, aOldNumber, aNewNumber);
    return;
  }
  if (!mvChangeRemoves(fsdFieldNumber, aOldNumber, aNewNumber)) return;
  auto* fields = FindRelatedDescriptor<TmvFieldsDescriptor>();
  const String name = fields ? fields->FieldDescriptor(fsdFieldNumber)->Name() : mvIntToStr(fsdFieldNumber);
  throw EmvSourceDescriptorException(MVERR_OBJECTINUSE, SFieldInUse, {name});
}

void TmvFieldSourceDescriptor::CheckValid(bool aForBuild) {
  TmvBaseSourceDescriptor::CheckValid(aForBuild);
  if (FindRelatedDescriptor<TmvFieldsDescriptor>()) Field();
}

bool TmvFieldSourceDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseSourceDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvFieldSourceDescriptor*>(aItem);
  return other && fsdFieldNumber == other->fsdFieldNumber;
}

// After the base part: integer 1, integer field number.
void TmvFieldSourceDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseSourceDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(fsdFieldNumber);
}

void TmvFieldSourceDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseSourceDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  fsdFieldNumber = aReader.ReadInteger();
}

// ---------------------------------------------------------------------------
// Actions

TmvClassRegistry* TmvBaseActionDescriptor::Registry() { return mvFamilyRegistry<TmvBaseActionDescriptor>(); }

constinit const TmvDictionaryItemClassRef TmvBaseActionDescriptor::StaticClass{
    {{u"TmvBaseActionDescriptor", &TmvDictionaryItem::StaticClass}, &TmvBaseActionDescriptor::Registry, nullptr},
    nullptr};

constinit const TmvDictionaryItemClassRef TmvCascadeDeleteActionDescriptor::StaticClass =
    ItemClass<TmvCascadeDeleteActionDescriptor>(u"TmvCascadeDeleteActionDescriptor",
                                                TmvBaseActionDescriptor::StaticClass);
constinit const TmvDictionaryItemClassRef TmvClearDeleteActionDescriptor::StaticClass =
    ItemClass<TmvClearDeleteActionDescriptor>(u"TmvClearDeleteActionDescriptor", TmvBaseActionDescriptor::StaticClass);
constinit const TmvDictionaryItemClassRef TmvSetDefaultDeleteActionDescriptor::StaticClass =
    ItemClass<TmvSetDefaultDeleteActionDescriptor>(u"TmvSetDefaultDeleteActionDescriptor",
                                                   TmvBaseActionDescriptor::StaticClass);
constinit const TmvDictionaryItemClassRef TmvBlockDeleteActionDescriptor::StaticClass =
    ItemClass<TmvBlockDeleteActionDescriptor>(u"TmvBlockDeleteActionDescriptor", TmvBaseActionDescriptor::StaticClass);
constinit const TmvDictionaryItemClassRef TmvCascadeModifyActionDescriptor::StaticClass =
    ItemClass<TmvCascadeModifyActionDescriptor>(u"TmvCascadeModifyActionDescriptor",
                                                TmvBaseActionDescriptor::StaticClass);
constinit const TmvDictionaryItemClassRef TmvClearModifyActionDescriptor::StaticClass =
    ItemClass<TmvClearModifyActionDescriptor>(u"TmvClearModifyActionDescriptor", TmvBaseActionDescriptor::StaticClass);
constinit const TmvDictionaryItemClassRef TmvSetDefaultModifyActionDescriptor::StaticClass =
    ItemClass<TmvSetDefaultModifyActionDescriptor>(u"TmvSetDefaultModifyActionDescriptor",
                                                   TmvBaseActionDescriptor::StaticClass);
constinit const TmvDictionaryItemClassRef TmvBlockModifyActionDescriptor::StaticClass =
    ItemClass<TmvBlockModifyActionDescriptor>(u"TmvBlockModifyActionDescriptor", TmvBaseActionDescriptor::StaticClass);
constinit const TmvDictionaryItemClassRef TmvTargetRequiredActionDescriptor::StaticClass =
    ItemClass<TmvTargetRequiredActionDescriptor>(u"TmvTargetRequiredActionDescriptor",
                                                 TmvBaseActionDescriptor::StaticClass);

void TmvBaseActionDescriptor::SetSkipOnNull(bool aValue) {
  CheckReadOnly();
  badSkipOnNull = aValue;
}

// After the item header: the SkipOnNull part, then integer 1 (every kind).
void TmvBaseActionDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  WriteSkipOnNullPart(aWriter, aClientVersion, badSkipOnNull);
  aWriter.WriteInteger(1);
}

void TmvBaseActionDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  badSkipOnNull = ReadSkipOnNullPart(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}

// ---------------------------------------------------------------------------
// Registration

namespace {

const TmvRegisterableDescriptorClassRef* const kClasses[] = {
    &TmvRefIntegrityDescriptor::StaticClass,           &TmvReferenceDescriptor::StaticClass,
    &TmvCloneTargetCursorDescriptor::StaticClass,      &TmvTableTargetCursorDescriptor::StaticClass,
    &TmvRelativeTargetCursorDescriptor::StaticClass,   &TmvFieldSourceDescriptor::StaticClass,
    &TmvCascadeDeleteActionDescriptor::StaticClass,    &TmvClearDeleteActionDescriptor::StaticClass,
    &TmvSetDefaultDeleteActionDescriptor::StaticClass, &TmvBlockDeleteActionDescriptor::StaticClass,
    &TmvCascadeModifyActionDescriptor::StaticClass,    &TmvClearModifyActionDescriptor::StaticClass,
    &TmvSetDefaultModifyActionDescriptor::StaticClass, &TmvBlockModifyActionDescriptor::StaticClass,
    &TmvTargetRequiredActionDescriptor::StaticClass,
};

}  // namespace

void mvRegisterRefIntegrityClasses() {
  try {
    for (const auto* cls : kClasses) TmvBaseRegisterableDescriptor::RegisterDescriptor(*cls);
  } catch (...) {
    mvUnregisterRefIntegrityClasses();
    throw;
  }
}

void mvUnregisterRefIntegrityClasses() {
  for (size_t i = std::size(kClasses); i-- > 0;) TmvBaseRegisterableDescriptor::UnregisterDescriptor(*kClasses[i]);
}
