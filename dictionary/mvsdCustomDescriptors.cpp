// Data dictionary: custom descriptors and their list. See mvsdCustomDescriptors.h.
#include "dictionary/mvsdCustomDescriptors.h"

#include "dictionary/mvsdDictionaryVersions.h"

namespace {

constexpr char16_t SDuplicatedCustomName[] = u"Duplicated custom descriptor name: %s";
constexpr char16_t SCustomFamily[] = u"CustomDescriptor";

// The parent, once the name has passed: a bad name must not cost the
// dictionary an item ID nor enter the parent's child list.
TPersistent* ParentForName(TPersistent* aParent, const String& aName) {
  mvCheckIdentifier<EmvBaseCustomDescriptorException>(aName, MVERR_INVALIDNAME, false);
  return aParent;
}

[[noreturn]] void RaiseDuplicated(const String& aName) {
  throw EmvCustomDescsDescriptorException(MVERR_NAMENOTUNIQUE, SDuplicatedCustomName, {aName});
}

}  // namespace

// ---------------------------------------------------------------------------
// TmvBaseCustomDescriptor

TmvClassRegistry* TmvBaseCustomDescriptor::Registry() { return mvFamilyRegistry<TmvBaseCustomDescriptor>(); }

// No parameterless constructor in the record: a custom descriptor needs a name.
constinit const TmvCustomDescriptorClassRef TmvBaseCustomDescriptor::StaticClass{
    {{{u"TmvBaseCustomDescriptor", &TmvDictionaryItem::StaticClass}, &TmvBaseCustomDescriptor::Registry, nullptr},
     nullptr},
    &mvCreateCustom<TmvBaseCustomDescriptor>};

TmvBaseCustomDescriptor::TmvBaseCustomDescriptor(TPersistent* aParent, const String& aName)
    : TmvDictionaryItem(ParentForName(aParent, aName)), bcdName(aName) {}

void TmvBaseCustomDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  mvCheckIdentifier<EmvBaseCustomDescriptorException>(bcdName, MVERR_INVALIDNAME, false);
}

bool TmvBaseCustomDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvBaseCustomDescriptor*>(aItem);
  return other && bcdName == other->bcdName;
}

// ---------------------------------------------------------------------------
// TmvCustomDescsDescriptor

TmvClassRegistry* TmvCustomDescsDescriptor::Registry() { return mvFamilyRegistry<TmvCustomDescsDescriptor>(); }

constinit const TmvDictionaryItemClassRef TmvCustomDescsDescriptor::StaticClass{
    {{u"TmvCustomDescsDescriptor", &TmvDictionaryItem::StaticClass}, &TmvCustomDescsDescriptor::Registry,
     &mvCreateFreeItem<TmvCustomDescsDescriptor>},
    &mvCreateItem<TmvCustomDescsDescriptor>};

TmvCustomDescsDescriptor::~TmvCustomDescsDescriptor() { DropAll(); }

void TmvCustomDescsDescriptor::DropAll() {
  while (!cddCustomDescriptors.empty()) {
    TmvBaseCustomDescriptor* custom = cddCustomDescriptors.back();
    cddCustomDescriptors.pop_back();
    delete custom;
  }
}

TmvBaseCustomDescriptor* TmvCustomDescsDescriptor::Append(const TmvCustomDescriptorClassRef& aClass,
                                                          const String& aName) {
  if (!aClass.CreateCustom) mvRaiseUnsupportedClass(SCustomFamily, aClass.Name());
  cddCustomDescriptors.reserve(cddCustomDescriptors.size() + 1);
  TmvBaseCustomDescriptor* custom = aClass.CreateCustom(this, aName);
  cddCustomDescriptors.push_back(custom);
  return custom;
}

TmvBaseCustomDescriptor* TmvCustomDescsDescriptor::AddCustom(const String& aName,
                                                             const TmvCustomDescriptorClassRef* aClass) {
  CheckReadOnly();
  mvCheckIdentifier<EmvCustomDescsDescriptorException>(aName, MVERR_INVALIDNAME, false);
  if (GetCustomDescriptorFromName(aName) >= 0) RaiseDuplicated(aName);
  return Append(aClass ? *aClass : TmvBaseCustomDescriptor::StaticClass, aName);
}

int32_t TmvCustomDescsDescriptor::GetCustomDescriptorFromName(const String& aName) const {
  for (int32_t i = 0; i < CustomCount(); ++i)
    if (SameClassName(cddCustomDescriptors[size_t(i)]->GetName(), aName)) return i;
  return -1;
}

void TmvCustomDescsDescriptor::RemoveCustom(int32_t aIndex) {
  CheckReadOnly();
  if (aIndex < 0 || aIndex >= CustomCount()) return;
  TmvBaseCustomDescriptor* custom = cddCustomDescriptors[size_t(aIndex)];
  cddCustomDescriptors.erase(cddCustomDescriptors.begin() + aIndex);
  delete custom;
}

void TmvCustomDescsDescriptor::RemoveCustom(const String& aName) {
  CheckReadOnly();
  RemoveCustom(GetCustomDescriptorFromName(aName));
}

void TmvCustomDescsDescriptor::Clear(bool aNotify) {
  TmvDictionaryItem::Clear(aNotify);
  while (!cddCustomDescriptors.empty()) {
    TmvBaseCustomDescriptor* custom = cddCustomDescriptors.back();
    custom->Clear(aNotify);
    cddCustomDescriptors.pop_back();
    delete custom;
  }
}

void TmvCustomDescsDescriptor::WriteCustoms(TmvWriter& aWriter, int32_t aClientVersion) {
  aWriter.WriteInteger(CustomCount());
  for (TmvBaseCustomDescriptor* custom : cddCustomDescriptors) {
    aWriter.WriteString(custom->ClassName());
    aWriter.WriteString(custom->GetName());
    custom->SaveToWriter(aWriter, aClientVersion);
  }
}

void TmvCustomDescsDescriptor::ReadCustoms(TmvReader& aReader) {
  const int32_t count = aReader.ReadInteger();
  for (int32_t i = 0; i < count; ++i) {
    const auto& cls = mvReadItemClass(aReader, TmvBaseCustomDescriptor::StaticClass, SCustomFamily);
    const String name = aReader.ReadString();
    Append(cls, name)->LoadFromReader(aReader);
  }
}

// Body after the item header (peers from 20000 on):
//   integer  1
//   integer  CustomCount
//   per descriptor, in order: string class name, string name, its stream
//   form (which begins with its own item header)
void TmvCustomDescsDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  mvCheckClientVersion(aClientVersion, mvPeerVersionItemIDs);
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  WriteCustoms(aWriter, aClientVersion);
}

void TmvCustomDescsDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  DropAll();
  ReadCustoms(aReader);
}

void TmvCustomDescsDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  for (int32_t i = 0; i < CustomCount(); ++i) {
    const String& name = cddCustomDescriptors[size_t(i)]->GetName();
    if (GetCustomDescriptorFromName(name) < i) RaiseDuplicated(name);
  }
  for (TmvBaseCustomDescriptor* custom : cddCustomDescriptors) custom->CheckValid(aForBuild);
}

bool TmvCustomDescsDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvCustomDescsDescriptor*>(aItem);
  if (!other || CustomCount() != other->CustomCount()) return false;
  for (int32_t i = 0; i < CustomCount(); ++i)
    if (!cddCustomDescriptors[size_t(i)]->IsEqual(other->cddCustomDescriptors[size_t(i)])) return false;
  return true;
}
