// Data dictionary: full-text descriptors, their hubs and the field token
// extractor. See mvsdFulltextDescriptors.h.
#include "dictionary/fulltext/mvsdFulltextDescriptors.h"

#include "dictionary/fulltext/mvsdTokenFilterDescriptors.h"
#include "dictionary/fulltext/mvsdTokenIndexDescriptors.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "platform/TextServices.h"

namespace {

constexpr char16_t SDefaultName[] = u"Default";
constexpr char16_t SInvalidLocationIndex[] = u"Invalid location index (%d)";
constexpr char16_t SInvalidFieldNumber[] = u"Invalid field number: %d";
constexpr char16_t SIndexStillReferenced[] = u"Cannot remove index %s because it is still referenced by a fulltext index";
constexpr char16_t SFieldStillReferenced[] = u"Cannot remove field %s because it is still referenced by an index";
constexpr char16_t SFulltextIndexFamily[] = u"FulltextIndexDescriptor";
constexpr char16_t SExtractorFamily[] = u"TokenExtractorDescriptor";
constexpr char16_t SFilterFamily[] = u"TokenFilterDescriptor";
constexpr char16_t SIndexFamily[] = u"TokenIndexDescriptor";

using Error = EmvFulltextDictionaryItemException;

template <typename T>
TmvBaseCustomDescriptor* CreateCustom(TPersistent* aParent, const String& aName) {
  return new T(aParent, aName);
}
template <typename T>
TmvBaseIndicesDescriptor* CreateIndices(TPersistent* aParent, const AnsiString& aHeaderSection) {
  return new T(aParent, aHeaderSection);
}
template <typename T>
TmvFulltextIndexDescriptor* CreateFulltextIndex(TPersistent* aParent, int32_t aLocationIndexNumber,
                                                const String& aName) {
  return new T(aParent, aLocationIndexNumber, aName);
}

// Without the characters up to the space at both ends, as the platform's
// Trim removes them.
String TrimControls(const String& aText) {
  size_t first = 0, last = aText.size();
  while (first < last && aText[first] <= u' ') ++first;
  while (last > first && aText[last - 1] <= u' ') --last;
  return aText.substr(first, last - first);
}

String OrDefault(const String& aName) { return aName.empty() ? String(SDefaultName) : aName; }

// The main indices descriptor related to aParent, nil when none is.
TmvMainIndicesDescriptor* MainIndicesOf(TPersistent* aParent) {
  TmvDictionaryItem* item = mvAsDictionaryItem(aParent);
  return item ? item->FindRelatedDescriptor<TmvMainIndicesDescriptor>() : nullptr;
}

// A location index exists, does not allow all duplicates, and has a
// composite key of exactly one Word32 or AutoInc field: a record number.
bool QualifiesAsLocation(TmvMainIndicesDescriptor* aIndices, int32_t aNumber) {
  if (!aIndices || aNumber < 0 || aNumber >= aIndices->IndexCount()) return false;
  TmvIndexDescriptor* index = aIndices->IndexDescriptor(aNumber);
  if (index->GetDups() == idAll) return false;
  auto* key = dynamic_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor());
  if (!key || key->KeyFieldCount() != 1) return false;
  const int32_t field = key->KeyFields(0)->GetFieldNumber();
  auto* fields = index->FindRelatedDescriptor<TmvFieldsDescriptor>();
  if (!fields || field < 0 || field >= fields->FieldCount()) return false;
  const TmvFieldType type = fields->FieldDescriptor(field)->FieldType();
  return type == mvtWord32 || type == mvtAutoInc;
}

int32_t DefaultLocationOf(TmvMainIndicesDescriptor* aIndices) {
  if (!aIndices) return -1;
  if (QualifiesAsLocation(aIndices, aIndices->GetDefaultIndex())) return aIndices->GetDefaultIndex();
  for (int32_t i = 0; i < aIndices->IndexCount(); ++i)
    if (QualifiesAsLocation(aIndices, i)) return i;
  return -1;
}

void CheckLocation(TmvMainIndicesDescriptor* aIndices, int32_t aNumber) {
  if (!QualifiesAsLocation(aIndices, aNumber))
    throw EmvFulltextDictionaryItemException(MVERR_INVALIDDESC, SInvalidLocationIndex, {aNumber});
}

// The refusal of a check pass: the entry to be removed is still in use.
[[noreturn]] void RaiseStillReferenced(const char16_t* aFormat, const String& aName) {
  throw EmvFulltextDictionaryItemException(MVERR_OBJECTINUSE, aFormat, {aName});
}

}  // namespace

int32_t mvRenumberReference(int32_t aNumber, int32_t aOldNumber, int32_t aNewNumber) {
  return aNumber < 0 ? aNumber : mvRenumberAfterChange(aNumber, aOldNumber, aNewNumber);
}

TmvFulltextDescriptor* mvGetFulltextDescriptor(TmvBaseTableDescriptor* aTableDescriptor, const ClassRef* aClass) {
  TmvCustomDescsDescriptor* customs = aTableDescriptor->GetCustomDescsDescriptor();
  const int32_t index = customs->GetCustomDescriptorFromName(mvFulltextDescriptorName);
  if (index < 0) return nullptr;
  TmvBaseCustomDescriptor* custom = customs->CustomDescriptor(index);
  auto* fulltext = dynamic_cast<TmvFulltextDescriptor*>(custom);
  if (!fulltext || !custom->InheritsFrom(aClass ? *aClass : TmvFulltextDescriptor::StaticClass))
    mvRaiseCode<EmvFulltextDescriptorException>(MVERR_INVALIDDESC);
  return fulltext;
}

// ---------------------------------------------------------------------------
// Class records

TmvClassRegistry* TmvFulltextIndexDescriptor::Registry() { return mvFamilyRegistry<TmvFulltextIndexDescriptor>(); }
TmvClassRegistry* TmvBaseTokenExtractorDescriptor::Registry() {
  return mvFamilyRegistry<TmvBaseTokenExtractorDescriptor>();
}
TmvClassRegistry* TmvBaseTokenFilterDescriptor::Registry() { return mvFamilyRegistry<TmvBaseTokenFilterDescriptor>(); }
TmvClassRegistry* TmvBaseTokenIndexDescriptor::Registry() { return mvFamilyRegistry<TmvBaseTokenIndexDescriptor>(); }

constinit const TmvCustomDescriptorClassRef TmvFulltextDescriptor::StaticClass{
    {{{u"TmvFulltextDescriptor", &TmvBaseCustomDescriptor::StaticClass}, &TmvBaseCustomDescriptor::Registry, nullptr},
     nullptr},
    &CreateCustom<TmvFulltextDescriptor>};
constinit const TmvIndicesDescriptorClassRef TmvTokenIndicesDescriptor::StaticClass{
    {{{u"TmvTokenIndicesDescriptor", &TmvBaseIndicesDescriptor::StaticClass}, &TmvBaseIndicesDescriptor::Registry,
      nullptr},
     nullptr},
    &CreateIndices<TmvTokenIndicesDescriptor>};
constinit const TmvDictionaryItemClassRef TmvBaseFulltextDictionaryItem::StaticClass{
    {{u"TmvBaseFulltextDictionaryItem", &TmvLocalizedDictionaryItem::StaticClass}, &mvNoRegistry, nullptr}, nullptr};
constinit const TmvFulltextIndexDescriptorClassRef TmvFulltextIndexDescriptor::StaticClass{
    {{{u"TmvFulltextIndexDescriptor", &TmvBaseFulltextDictionaryItem::StaticClass},
      &TmvFulltextIndexDescriptor::Registry,
      nullptr},
     nullptr},
    &CreateFulltextIndex<TmvFulltextIndexDescriptor>};
constinit const TmvDictionaryItemClassRef TmvBaseFulltextIndexDictionaryItem::StaticClass{
    {{u"TmvBaseFulltextIndexDictionaryItem", &TmvBaseFulltextDictionaryItem::StaticClass}, &mvNoRegistry, nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvNumberedFulltextIndexDictionaryItem::StaticClass{
    {{u"TmvNumberedFulltextIndexDictionaryItem", &TmvBaseFulltextIndexDictionaryItem::StaticClass},
     &mvNoRegistry,
     nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvBaseTokenSourceDescriptor::StaticClass{
    {{u"TmvBaseTokenSourceDescriptor", &TmvNumberedFulltextIndexDictionaryItem::StaticClass}, &mvNoRegistry, nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvBaseTokenExtractorDescriptor::StaticClass{
    {{u"TmvBaseTokenExtractorDescriptor", &TmvBaseTokenSourceDescriptor::StaticClass},
     &TmvBaseTokenExtractorDescriptor::Registry,
     nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvTokenExtractorHubDescriptor::StaticClass{
    {{u"TmvTokenExtractorHubDescriptor", &TmvBaseTokenExtractorDescriptor::StaticClass},
     &TmvBaseTokenExtractorDescriptor::Registry,
     &mvCreateFreeItem<TmvTokenExtractorHubDescriptor>},
    &mvCreateItem<TmvTokenExtractorHubDescriptor>};
constinit const TmvDictionaryItemClassRef TmvFieldTokenExtractorDescriptor::StaticClass{
    {{u"TmvFieldTokenExtractorDescriptor", &TmvBaseTokenExtractorDescriptor::StaticClass},
     &TmvBaseTokenExtractorDescriptor::Registry,
     &mvCreateFreeItem<TmvFieldTokenExtractorDescriptor>},
    &mvCreateItem<TmvFieldTokenExtractorDescriptor>};
constinit const TmvDictionaryItemClassRef TmvBaseTokenFilterDescriptor::StaticClass{
    {{u"TmvBaseTokenFilterDescriptor", &TmvBaseTokenSourceDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvTokenFilterHubDescriptor::StaticClass{
    {{u"TmvTokenFilterHubDescriptor", &TmvBaseTokenFilterDescriptor::StaticClass},
     &TmvBaseTokenFilterDescriptor::Registry,
     &mvCreateFreeItem<TmvTokenFilterHubDescriptor>},
    &mvCreateItem<TmvTokenFilterHubDescriptor>};
constinit const TmvDictionaryItemClassRef TmvBaseTokenIndexDescriptor::StaticClass{
    {{u"TmvBaseTokenIndexDescriptor", &TmvNumberedFulltextIndexDictionaryItem::StaticClass},
     &TmvBaseTokenIndexDescriptor::Registry,
     nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvTokenIndexHubDescriptor::StaticClass{
    {{u"TmvTokenIndexHubDescriptor", &TmvBaseTokenIndexDescriptor::StaticClass},
     &TmvBaseTokenIndexDescriptor::Registry,
     &mvCreateFreeItem<TmvTokenIndexHubDescriptor>},
    &mvCreateItem<TmvTokenIndexHubDescriptor>};

namespace {

// Each under its class name in its family's registry, in this order.
const TmvRegisterableDescriptorClassRef* const kFulltextClasses[] = {
    &TmvFulltextDescriptor::StaticClass,
    &TmvTokenIndicesDescriptor::StaticClass,
    &TmvFulltextIndexDescriptor::StaticClass,
    &TmvTokenExtractorHubDescriptor::StaticClass,
    &TmvFieldTokenExtractorDescriptor::StaticClass,
    &TmvTokenFilterHubDescriptor::StaticClass,
    &TmvWideCharSeparatorTokenFilterDescriptor::StaticClass,
    &TmvCategorySeparatorTokenFilterDescriptor::StaticClass,
    &TmvLowercaseLocaleMappingTokenFilterDescriptor::StaticClass,
    &TmvUppercaseLocaleMappingTokenFilterDescriptor::StaticClass,
    &TmvCustomLocaleMappingTokenFilterDescriptor::StaticClass,
    &TmvPreComposeFoldStringTokenFilterDescriptor::StaticClass,
    &TmvDecomposeFoldStringTokenFilterDescriptor::StaticClass,
    &TmvCustomFoldStringTokenFilterDescriptor::StaticClass,
    &TmvStringReplaceTokenFilterDescriptor::StaticClass,
    &TmvTokenIndexHubDescriptor::StaticClass,
    &TmvBitArrayTokenKeyDescriptor::StaticClass,
    &TmvMainIndexTokenKeyDescriptor::StaticClass,
    &TmvSimpleBitArrayStorageHandlerDescriptor::StaticClass,
    &TmvBitArrayTokenIndexDescriptor::StaticClass,
    &TmvMainIndexTokenIndexDescriptor::StaticClass,
};

}  // namespace

void mvRegisterFulltextClasses() {
  try {
    for (const auto* cls : kFulltextClasses) TmvBaseRegisterableDescriptor::RegisterDescriptor(*cls);
  } catch (...) {
    mvUnregisterFulltextClasses();
    throw;
  }
}

void mvUnregisterFulltextClasses() {
  for (size_t i = std::size(kFulltextClasses); i-- > 0;)
    TmvBaseRegisterableDescriptor::UnregisterDescriptor(*kFulltextClasses[i]);
}

// ---------------------------------------------------------------------------
// The family's item bases: each part is its version, 1

void TmvBaseFulltextDictionaryItem::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TmvBaseFulltextDictionaryItem::LoadFromReader(TmvReader& aReader) {
  TmvLocalizedDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}

void TmvBaseFulltextIndexDictionaryItem::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseFulltextDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TmvBaseFulltextIndexDictionaryItem::LoadFromReader(TmvReader& aReader) {
  TmvBaseFulltextDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}

String TmvNumberedFulltextIndexDictionaryItem::GetName() const {
  auto* hub = dynamic_cast<ImvTokenHub*>(diParent);
  if (!hub) return String();
  const int32_t index = hub->HubMembers().IndexOf(this);
  return index < 0 ? String() : hub->HubMembers().Name(index);
}

// integer 1, integer number: the position the item holds in its hub.
void TmvNumberedFulltextIndexDictionaryItem::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseFulltextIndexDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(nfidiNumber);
}

void TmvNumberedFulltextIndexDictionaryItem::LoadFromReader(TmvReader& aReader) {
  TmvBaseFulltextIndexDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  if (aReader.ReadInteger() != nfidiNumber) mvRaiseCode<Error>(MVERR_INCOMPATIBLESTREAM);
}

void TmvBaseTokenSourceDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvNumberedFulltextIndexDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TmvBaseTokenSourceDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvNumberedFulltextIndexDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}

void TmvBaseTokenFilterDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTokenSourceDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TmvBaseTokenFilterDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTokenSourceDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
}

// ---------------------------------------------------------------------------
// TmvTokenHubMembers

TmvNumberedFulltextIndexDictionaryItem* TmvTokenHubMembers::Add(const String& aName,
                                                                const TmvDictionaryItemClassRef& aClass) {
  mvCheckIdentifier<Error>(aName, MVERR_INVALIDNAME, false);
  if (IndexOf(aName) >= 0) mvRaiseCode<Error>(MVERR_NAMENOTUNIQUE);
  mvCheckItemFamily(aClass, thmFamily, thmFamilyWord);
  Member member{aName, nullptr};
  thmMembers.reserve(thmMembers.size() + 1);  // the append below cannot fail once the member is made
  member.item = static_cast<TmvNumberedFulltextIndexDictionaryItem*>(mvCreateItemOfClass(aClass, &thmHub, thmFamilyWord));
  member.item->nfidiNumber = Count();
  thmMembers.push_back(std::move(member));
  return thmMembers.back().item;
}

// The member is freed while it still stands in the list: a token index
// finds its name there to remove its B*-tree indexes.
void TmvTokenHubMembers::Remove(int32_t aIndex) {
  if (aIndex < 0 || aIndex >= Count()) return;
  delete thmMembers[size_t(aIndex)].item;
  thmMembers.erase(thmMembers.begin() + aIndex);
  for (int32_t i = aIndex; i < Count(); ++i) thmMembers[size_t(i)].item->nfidiNumber = i;
}

void TmvTokenHubMembers::Clear() {
  while (!thmMembers.empty()) {
    delete thmMembers.back().item;
    thmMembers.pop_back();
  }
}

const TmvTokenHubMembers::Member& TmvTokenHubMembers::At(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= Count()) TmvBaseList::Error(SListIndexError, aIndex);
  return thmMembers[size_t(aIndex)];
}

int32_t TmvTokenHubMembers::IndexOf(const String& aName) const {
  for (int32_t i = 0; i < Count(); ++i)
    if (AnsiCompareText(thmMembers[size_t(i)].name, aName) == 0) return i;
  return -1;
}

int32_t TmvTokenHubMembers::IndexOf(const TmvDictionaryItem* aItem) const {
  for (int32_t i = 0; i < Count(); ++i)
    if (thmMembers[size_t(i)].item == aItem) return i;
  return -1;
}

void TmvTokenHubMembers::CheckValid(bool aForBuild) {
  for (const Member& m : thmMembers) mvCheckIdentifier<Error>(m.name, MVERR_INVALIDNAME, false);
  for (const Member& m : thmMembers) m.item->CheckValid(aForBuild);
}

bool TmvTokenHubMembers::IsEqual(const TmvTokenHubMembers& aOther) const {
  if (Count() != aOther.Count()) return false;
  for (int32_t i = 0; i < Count(); ++i)
    if (!Item(i)->IsEqual(aOther.Item(i))) return false;
  return true;
}

// list begin; per member: string name, string class name, its stream form;
// list end.
void TmvTokenHubMembers::Save(TmvWriter& aWriter, int32_t aClientVersion) const {
  aWriter.WriteListBegin();
  for (const Member& m : thmMembers) {
    aWriter.WriteString(m.name);
    aWriter.WriteString(m.item->ClassName());
    m.item->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
}

void TmvTokenHubMembers::Load(
    TmvReader& aReader,
    const std::function<TmvNumberedFulltextIndexDictionaryItem*(const String&, const TmvDictionaryItemClassRef&)>&
        aAdd) {
  Clear();
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const String name = aReader.ReadString();
    const auto& cls = mvReadItemClass(aReader, thmFamily, thmFamilyWord);
    aAdd(name, cls)->LoadFromReader(aReader);
  }
  aReader.ReadListEnd();
}

// ---------------------------------------------------------------------------
// TmvTokenFilterHubDescriptor

TmvTokenFilterHubDescriptor::TmvTokenFilterHubDescriptor(TPersistent* aParent)
    : TmvBaseTokenFilterDescriptor(aParent),
      tfhdTokenFilters(*this, TmvBaseTokenFilterDescriptor::StaticClass, SFilterFamily) {}

TmvTokenFilterHubDescriptor::~TmvTokenFilterHubDescriptor() { tfhdTokenFilters.Clear(); }

TmvBaseTokenFilterDescriptor* TmvTokenFilterHubDescriptor::AddTokenFilter(const String& aName,
                                                                          const TmvDictionaryItemClassRef* aClass) {
  const auto& cls = aClass ? *aClass : TmvWideCharSeparatorTokenFilterDescriptor::StaticClass;
  return static_cast<TmvBaseTokenFilterDescriptor*>(tfhdTokenFilters.Add(OrDefault(aName), cls));
}

void TmvTokenFilterHubDescriptor::RemoveTokenFilter(const TmvBaseTokenFilterDescriptor* aFilter) {
  tfhdTokenFilters.Remove(aFilter);
}

TmvBaseTokenFilterDescriptor* TmvTokenFilterHubDescriptor::TokenFilter(int32_t aIndex) {
  return aIndex == -1 ? this : static_cast<TmvBaseTokenFilterDescriptor*>(tfhdTokenFilters.Item(aIndex));
}

void TmvTokenFilterHubDescriptor::Clear(bool aNotify) {
  TmvBaseTokenFilterDescriptor::Clear(aNotify);
  tfhdTokenFilters.Clear();
}

void TmvTokenFilterHubDescriptor::CheckValid(bool aForBuild) {
  TmvBaseTokenFilterDescriptor::CheckValid(aForBuild);
  tfhdTokenFilters.CheckValid(aForBuild);
}

bool TmvTokenFilterHubDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = dynamic_cast<TmvTokenFilterHubDescriptor*>(aItem);
  return TmvBaseTokenFilterDescriptor::IsEqual(aItem) && other && tfhdTokenFilters.IsEqual(other->tfhdTokenFilters);
}

void TmvTokenFilterHubDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  tfhdTokenFilters.Save(aWriter, aClientVersion);
}

void TmvTokenFilterHubDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTokenFilterDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  tfhdTokenFilters.Load(aReader, [this](const String& aName, const TmvDictionaryItemClassRef& aClass) {
    return AddTokenFilter(aName, &aClass);
  });
}

// ---------------------------------------------------------------------------
// TmvTokenFilterHubOwner

template <typename Base>
TmvTokenFilterHubOwner<Base>::TmvTokenFilterHubOwner(TPersistent* aParent) : Base(aParent) {
  tfhoTokenFilterHub = new TmvTokenFilterHubDescriptor(this);
}

template <typename Base>
TmvTokenFilterHubOwner<Base>::~TmvTokenFilterHubOwner() {
  mvFreeAndNil(tfhoTokenFilterHub);
}

template <typename Base>
TmvBaseTokenFilterDescriptor* TmvTokenFilterHubOwner<Base>::AddTokenFilter(const String& aName,
                                                                           const TmvDictionaryItemClassRef* aClass) {
  this->CheckReadOnly();
  return tfhoTokenFilterHub->AddTokenFilter(aName, aClass);
}

template <typename Base>
void TmvTokenFilterHubOwner<Base>::RemoveTokenFilter(int32_t aIndex) {
  this->CheckReadOnly();
  tfhoTokenFilterHub->RemoveTokenFilter(aIndex);
}

template <typename Base>
void TmvTokenFilterHubOwner<Base>::RemoveTokenFilter(const String& aName) {
  this->CheckReadOnly();
  tfhoTokenFilterHub->RemoveTokenFilter(aName);
}

template <typename Base>
void TmvTokenFilterHubOwner<Base>::RemoveTokenFilter(const TmvBaseTokenFilterDescriptor* aFilter) {
  this->CheckReadOnly();
  tfhoTokenFilterHub->RemoveTokenFilter(aFilter);
}

template <typename Base>
void TmvTokenFilterHubOwner<Base>::ClearTokenFilter() {
  this->CheckReadOnly();
  tfhoTokenFilterHub->HubMembers().Clear();
}

template <typename Base>
TmvBaseTokenFilterDescriptor* TmvTokenFilterHubOwner<Base>::TokenFilter(int32_t aIndex) {
  return tfhoTokenFilterHub->TokenFilter(aIndex);
}

template <typename Base>
const String& TmvTokenFilterHubOwner<Base>::TokenFilterName(int32_t aIndex) const {
  return tfhoTokenFilterHub->TokenFilterName(aIndex);
}

template <typename Base>
int32_t TmvTokenFilterHubOwner<Base>::TokenFilterCount() const {
  return tfhoTokenFilterHub->TokenFilterCount();
}

template <typename Base>
void TmvTokenFilterHubOwner<Base>::Clear(bool aNotify) {
  Base::Clear(aNotify);
  tfhoTokenFilterHub->Clear(aNotify);
}

template <typename Base>
void TmvTokenFilterHubOwner<Base>::CheckValid(bool aForBuild) {
  Base::CheckValid(aForBuild);
  tfhoTokenFilterHub->CheckValid(aForBuild);
}

template <typename Base>
bool TmvTokenFilterHubOwner<Base>::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = dynamic_cast<TmvTokenFilterHubOwner*>(aItem);
  return Base::IsEqual(aItem) && other && tfhoTokenFilterHub->IsEqual(other->tfhoTokenFilterHub);
}

template <typename Base>
void TmvTokenFilterHubOwner<Base>::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  Base::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  tfhoTokenFilterHub->SaveToWriter(aWriter, aClientVersion);
}

template <typename Base>
void TmvTokenFilterHubOwner<Base>::LoadFromReader(TmvReader& aReader) {
  Base::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  tfhoTokenFilterHub->LoadFromReader(aReader);
}

template class TmvTokenFilterHubOwner<TmvBaseTokenSourceDescriptor>;
template class TmvTokenFilterHubOwner<TmvNumberedFulltextIndexDictionaryItem>;

// ---------------------------------------------------------------------------
// TmvTokenExtractorHubDescriptor

TmvTokenExtractorHubDescriptor::TmvTokenExtractorHubDescriptor(TPersistent* aParent)
    : TmvBaseTokenExtractorDescriptor(aParent),
      tehdTokenExtractors(*this, TmvBaseTokenExtractorDescriptor::StaticClass, SExtractorFamily) {}

TmvTokenExtractorHubDescriptor::~TmvTokenExtractorHubDescriptor() { tehdTokenExtractors.Clear(); }

TmvBaseTokenExtractorDescriptor* TmvTokenExtractorHubDescriptor::AddTokenExtractor(
    const String& aName, const TmvDictionaryItemClassRef* aClass) {
  CheckReadOnly();
  const auto& cls = aClass ? *aClass : TmvFieldTokenExtractorDescriptor::StaticClass;
  return static_cast<TmvBaseTokenExtractorDescriptor*>(tehdTokenExtractors.Add(aName, cls));
}

TmvFieldTokenExtractorDescriptor* TmvTokenExtractorHubDescriptor::AddFieldTokenExtractor(
    int32_t aFieldNumber, const String& aName, const TmvDictionaryItemClassRef* aClass) {
  CheckReadOnly();
  const auto& cls = aClass ? *aClass : TmvFieldTokenExtractorDescriptor::StaticClass;
  mvCheckItemFamily(cls, TmvFieldTokenExtractorDescriptor::StaticClass, SExtractorFamily);
  String name = TrimControls(aName);
  auto* fields = FindRelatedDescriptor<TmvFieldsDescriptor>();
  if (name.empty() && fields) {
    if (aFieldNumber < 0 || aFieldNumber >= fields->FieldCount())
      throw Error(MVERR_INVALIDDESCNO, SInvalidFieldNumber, {aFieldNumber});
    name = fields->FieldDescriptor(aFieldNumber)->Name();
  }
  auto* extractor = static_cast<TmvFieldTokenExtractorDescriptor*>(tehdTokenExtractors.Add(name, cls));
  try {
    extractor->SetFieldNumber(aFieldNumber);
  } catch (...) {
    tehdTokenExtractors.Remove(extractor);
    throw;
  }
  return extractor;
}

TmvTokenExtractorHubDescriptor* TmvTokenExtractorHubDescriptor::AddTokenExtractorHub(
    const String& aName, const TmvDictionaryItemClassRef* aClass) {
  CheckReadOnly();
  const auto& cls = aClass ? *aClass : TmvTokenExtractorHubDescriptor::StaticClass;
  mvCheckItemFamily(cls, TmvTokenExtractorHubDescriptor::StaticClass, SExtractorFamily);
  return static_cast<TmvTokenExtractorHubDescriptor*>(tehdTokenExtractors.Add(aName, cls));
}

void TmvTokenExtractorHubDescriptor::RemoveTokenExtractor(int32_t aIndex) {
  CheckReadOnly();
  tehdTokenExtractors.Remove(aIndex);
}

void TmvTokenExtractorHubDescriptor::RemoveTokenExtractor(const String& aName) {
  CheckReadOnly();
  tehdTokenExtractors.Remove(aName);
}

void TmvTokenExtractorHubDescriptor::RemoveTokenExtractor(const TmvBaseTokenExtractorDescriptor* aExtractor) {
  CheckReadOnly();
  tehdTokenExtractors.Remove(aExtractor);
}

void TmvTokenExtractorHubDescriptor::ClearTokenExtractors() {
  CheckReadOnly();
  tehdTokenExtractors.Clear();
}

TmvBaseTokenExtractorDescriptor* TmvTokenExtractorHubDescriptor::TokenExtractor(int32_t aIndex) {
  return aIndex == -1 ? this : static_cast<TmvBaseTokenExtractorDescriptor*>(tehdTokenExtractors.Item(aIndex));
}

void TmvTokenExtractorHubDescriptor::Clear(bool aNotify) {
  TmvBaseTokenExtractorDescriptor::Clear(aNotify);
  tehdTokenExtractors.Clear();
}

void TmvTokenExtractorHubDescriptor::CheckValid(bool aForBuild) {
  TmvBaseTokenExtractorDescriptor::CheckValid(aForBuild);
  tehdTokenExtractors.CheckValid(aForBuild);
}

bool TmvTokenExtractorHubDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = dynamic_cast<TmvTokenExtractorHubDescriptor*>(aItem);
  return TmvBaseTokenExtractorDescriptor::IsEqual(aItem) && other &&
         tehdTokenExtractors.IsEqual(other->tehdTokenExtractors);
}

void TmvTokenExtractorHubDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTokenExtractorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  tehdTokenExtractors.Save(aWriter, aClientVersion);
}

void TmvTokenExtractorHubDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTokenExtractorDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  tehdTokenExtractors.Load(aReader, [this](const String& aName, const TmvDictionaryItemClassRef& aClass) {
    return AddTokenExtractor(aName, &aClass);
  });
}

// ---------------------------------------------------------------------------
// TmvFieldTokenExtractorDescriptor

TmvFieldTokenExtractorDescriptor::TmvFieldTokenExtractorDescriptor(TPersistent* aParent)
    : TmvBaseTokenExtractorDescriptor(aParent) {
  RegisterFieldChangeNotification();
}

TmvFieldTokenExtractorDescriptor::~TmvFieldTokenExtractorDescriptor() { UnregisterFieldChangeNotification(); }

void TmvFieldTokenExtractorDescriptor::CheckFieldNumber(int32_t aValue) {
  auto* fields = FindRelatedDescriptor<TmvFieldsDescriptor>();
  if (fields && (aValue < 0 || aValue >= fields->FieldCount()))
    throw Error(MVERR_INVALIDDESCNO, SInvalidFieldNumber, {aValue});
}

void TmvFieldTokenExtractorDescriptor::SetFieldNumber(int32_t aValue) {
  CheckReadOnly();
  if (aValue != -1) CheckFieldNumber(aValue);
  ftedFieldNumber = aValue;
}

TmvFieldDescriptor* TmvFieldTokenExtractorDescriptor::Field() {
  auto* fields = FindRelatedDescriptor<TmvFieldsDescriptor>();
  if (!fields || ftedFieldNumber < 0 || ftedFieldNumber >= fields->FieldCount()) return nullptr;
  return fields->FieldDescriptor(ftedFieldNumber);
}

void TmvFieldTokenExtractorDescriptor::FieldChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) {
  if (!aBefore) {
    ftedFieldNumber = mvRenumberReference(ftedFieldNumber, aOldNumber, aNewNumber);
    return;
  }
  if (ftedFieldNumber < 0 || !mvChangeRemoves(ftedFieldNumber, aOldNumber, aNewNumber)) return;
  TmvFieldDescriptor* field = Field();
  RaiseStillReferenced(SFieldStillReferenced, field ? field->Name() : mvIntToStr(ftedFieldNumber));
}

void TmvFieldTokenExtractorDescriptor::CheckValid(bool aForBuild) {
  TmvBaseTokenExtractorDescriptor::CheckValid(aForBuild);
  CheckFieldNumber(ftedFieldNumber);
}

bool TmvFieldTokenExtractorDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = dynamic_cast<TmvFieldTokenExtractorDescriptor*>(aItem);
  return TmvBaseTokenExtractorDescriptor::IsEqual(aItem) && other && ftedFieldNumber == other->ftedFieldNumber;
}

// integer 1, integer field number.
void TmvFieldTokenExtractorDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTokenExtractorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(ftedFieldNumber);
}

// The number is checked by CheckValid, once the whole table is read.
void TmvFieldTokenExtractorDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTokenExtractorDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  ftedFieldNumber = aReader.ReadInteger();
}

// ---------------------------------------------------------------------------
// TmvTokenIndexHubDescriptor

TmvTokenIndexHubDescriptor::TmvTokenIndexHubDescriptor(TPersistent* aParent)
    : TmvBaseTokenIndexDescriptor(aParent),
      tihdTokenIndexes(*this, TmvBaseTokenIndexDescriptor::StaticClass, SIndexFamily) {}

TmvTokenIndexHubDescriptor::~TmvTokenIndexHubDescriptor() { tihdTokenIndexes.Clear(); }

TmvBaseTokenIndexDescriptor* TmvTokenIndexHubDescriptor::AddTokenIndex(const String& aName,
                                                                       const TmvDictionaryItemClassRef* aClass) {
  const auto& cls = aClass ? *aClass : TmvBitArrayTokenIndexDescriptor::StaticClass;
  return static_cast<TmvBaseTokenIndexDescriptor*>(tihdTokenIndexes.Add(OrDefault(aName), cls));
}

void TmvTokenIndexHubDescriptor::RemoveTokenIndex(const TmvBaseTokenIndexDescriptor* aIndex) {
  tihdTokenIndexes.Remove(aIndex);
}

TmvBaseTokenIndexDescriptor* TmvTokenIndexHubDescriptor::TokenIndex(int32_t aIndex) {
  return aIndex == -1 ? this : static_cast<TmvBaseTokenIndexDescriptor*>(tihdTokenIndexes.Item(aIndex));
}

void TmvTokenIndexHubDescriptor::Clear(bool aNotify) {
  TmvBaseTokenIndexDescriptor::Clear(aNotify);
  tihdTokenIndexes.Clear();
}

void TmvTokenIndexHubDescriptor::CheckValid(bool aForBuild) {
  TmvBaseTokenIndexDescriptor::CheckValid(aForBuild);
  tihdTokenIndexes.CheckValid(aForBuild);
}

bool TmvTokenIndexHubDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = dynamic_cast<TmvTokenIndexHubDescriptor*>(aItem);
  return TmvBaseTokenIndexDescriptor::IsEqual(aItem) && other && tihdTokenIndexes.IsEqual(other->tihdTokenIndexes);
}

void TmvTokenIndexHubDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTokenIndexDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  tihdTokenIndexes.Save(aWriter, aClientVersion);
}

void TmvTokenIndexHubDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTokenIndexDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  tihdTokenIndexes.Load(aReader, [this](const String& aName, const TmvDictionaryItemClassRef& aClass) {
    return AddTokenIndex(aName, &aClass);
  });
}

// ---------------------------------------------------------------------------
// TmvFulltextIndexDescriptor

TmvFulltextIndexDescriptor::TmvFulltextIndexDescriptor(TPersistent* aParent, int32_t aLocationIndexNumber,
                                                       const String& aName)
    : TmvFulltextIndexDescriptor(Resolve(aParent, aLocationIndexNumber, aName), aParent, aName) {}

// The name and the location index are checked before the item exists, so
// that a refused index costs the dictionary no item ID.
TmvFulltextIndexDescriptor::Resolved TmvFulltextIndexDescriptor::Resolve(TPersistent* aParent,
                                                                         int32_t aLocationIndexNumber,
                                                                         const String& aName) {
  mvCheckIdentifier<EmvFulltextDictionaryItemException>(aName, MVERR_INVALIDNAME, false);
  TmvMainIndicesDescriptor* indices = MainIndicesOf(aParent);
  const int32_t number = aLocationIndexNumber < 0 ? DefaultLocationOf(indices) : aLocationIndexNumber;
  CheckLocation(indices, number);
  return {number};
}

TmvFulltextIndexDescriptor::TmvFulltextIndexDescriptor(Resolved aResolved, TPersistent* aParent, const String& aName)
    : TmvBaseFulltextDictionaryItem(aParent), fidName(aName), fidLocationIndexNumber(aResolved.locationIndexNumber) {
  try {
    fidTokenExtractorHub = new TmvTokenExtractorHubDescriptor(this);
    fidTokenFilterHub = new TmvTokenFilterHubDescriptor(this);
    fidTokenIndexHub = new TmvTokenIndexHubDescriptor(this);
  } catch (...) {
    mvFreeAndNil(fidTokenFilterHub);
    mvFreeAndNil(fidTokenExtractorHub);
    throw;
  }
  RegisterIndexChangeNotification();
}

TmvFulltextIndexDescriptor::~TmvFulltextIndexDescriptor() {
  UnregisterIndexChangeNotification();
  mvFreeAndNil(fidTokenIndexHub);
  mvFreeAndNil(fidTokenFilterHub);
  mvFreeAndNil(fidTokenExtractorHub);
}

void TmvFulltextIndexDescriptor::CheckLocationIndex(int32_t aNumber) {
  CheckLocation(FindRelatedDescriptor<TmvMainIndicesDescriptor>(), aNumber);
}

int32_t TmvFulltextIndexDescriptor::DefaultLocationIndex() {
  return DefaultLocationOf(FindRelatedDescriptor<TmvMainIndicesDescriptor>());
}

void TmvFulltextIndexDescriptor::SetLocationIndexNumber(int32_t aValue) {
  CheckReadOnly();
  if (aValue < 0) aValue = DefaultLocationIndex();
  if (aValue != fidLocationIndexNumber) CheckLocationIndex(aValue);
  fidLocationIndexNumber = aValue;
}

TmvIndexDescriptor* TmvFulltextIndexDescriptor::LocationIndex() {
  auto* indices = FindRelatedDescriptor<TmvMainIndicesDescriptor>();
  if (!indices || fidLocationIndexNumber < 0 || fidLocationIndexNumber >= indices->IndexCount()) return nullptr;
  return indices->IndexDescriptor(fidLocationIndexNumber);
}

TmvBaseTokenExtractorDescriptor* TmvFulltextIndexDescriptor::AddTokenExtractor(const String& aName,
                                                                               const TmvDictionaryItemClassRef* aClass) {
  CheckReadOnly();
  return fidTokenExtractorHub->AddTokenExtractor(aName, aClass);
}

TmvFieldTokenExtractorDescriptor* TmvFulltextIndexDescriptor::AddFieldTokenExtractor(
    int32_t aFieldNumber, const String& aName, const TmvDictionaryItemClassRef* aClass) {
  CheckReadOnly();
  return fidTokenExtractorHub->AddFieldTokenExtractor(aFieldNumber, aName, aClass);
}

TmvTokenExtractorHubDescriptor* TmvFulltextIndexDescriptor::AddTokenExtractorHub(
    const String& aName, const TmvDictionaryItemClassRef* aClass) {
  CheckReadOnly();
  return fidTokenExtractorHub->AddTokenExtractorHub(aName, aClass);
}

TmvBaseTokenFilterDescriptor* TmvFulltextIndexDescriptor::AddTokenFilter(const String& aName,
                                                                         const TmvDictionaryItemClassRef* aClass) {
  CheckReadOnly();
  return fidTokenFilterHub->AddTokenFilter(aName, aClass);
}

TmvBaseTokenIndexDescriptor* TmvFulltextIndexDescriptor::AddTokenIndex(const String& aName,
                                                                       const TmvDictionaryItemClassRef* aClass) {
  CheckReadOnly();
  return fidTokenIndexHub->AddTokenIndex(aName, aClass);
}

void TmvFulltextIndexDescriptor::RemoveTokenExtractor(int32_t aIndex) {
  CheckReadOnly();
  fidTokenExtractorHub->RemoveTokenExtractor(aIndex);
}
void TmvFulltextIndexDescriptor::RemoveTokenExtractor(const String& aName) {
  CheckReadOnly();
  fidTokenExtractorHub->RemoveTokenExtractor(aName);
}
void TmvFulltextIndexDescriptor::RemoveTokenExtractor(const TmvBaseTokenExtractorDescriptor* aExtractor) {
  CheckReadOnly();
  fidTokenExtractorHub->RemoveTokenExtractor(aExtractor);
}
void TmvFulltextIndexDescriptor::RemoveTokenFilter(int32_t aIndex) {
  CheckReadOnly();
  fidTokenFilterHub->RemoveTokenFilter(aIndex);
}
void TmvFulltextIndexDescriptor::RemoveTokenFilter(const String& aName) {
  CheckReadOnly();
  fidTokenFilterHub->RemoveTokenFilter(aName);
}
void TmvFulltextIndexDescriptor::RemoveTokenFilter(const TmvBaseTokenFilterDescriptor* aFilter) {
  CheckReadOnly();
  fidTokenFilterHub->RemoveTokenFilter(aFilter);
}
void TmvFulltextIndexDescriptor::RemoveTokenIndex(int32_t aIndex) {
  CheckReadOnly();
  fidTokenIndexHub->RemoveTokenIndex(aIndex);
}
void TmvFulltextIndexDescriptor::RemoveTokenIndex(const String& aName) {
  CheckReadOnly();
  fidTokenIndexHub->RemoveTokenIndex(aName);
}
void TmvFulltextIndexDescriptor::RemoveTokenIndex(const TmvBaseTokenIndexDescriptor* aIndex) {
  CheckReadOnly();
  fidTokenIndexHub->RemoveTokenIndex(aIndex);
}
void TmvFulltextIndexDescriptor::ClearTokenExtractors() {
  CheckReadOnly();
  fidTokenExtractorHub->ClearTokenExtractors();
}
void TmvFulltextIndexDescriptor::ClearTokenFilters() {
  CheckReadOnly();
  fidTokenFilterHub->HubMembers().Clear();
}
void TmvFulltextIndexDescriptor::ClearTokenIndexes() {
  CheckReadOnly();
  fidTokenIndexHub->ClearTokenIndexes();
}

TmvBaseTokenExtractorDescriptor* TmvFulltextIndexDescriptor::TokenExtractor(int32_t aIndex) {
  return fidTokenExtractorHub->TokenExtractor(aIndex);
}
const String& TmvFulltextIndexDescriptor::TokenExtractorName(int32_t aIndex) const {
  return fidTokenExtractorHub->TokenExtractorName(aIndex);
}
int32_t TmvFulltextIndexDescriptor::TokenExtractorCount() const { return fidTokenExtractorHub->TokenExtractorCount(); }
TmvBaseTokenFilterDescriptor* TmvFulltextIndexDescriptor::TokenFilter(int32_t aIndex) {
  return fidTokenFilterHub->TokenFilter(aIndex);
}
const String& TmvFulltextIndexDescriptor::TokenFilterName(int32_t aIndex) const {
  return fidTokenFilterHub->TokenFilterName(aIndex);
}
int32_t TmvFulltextIndexDescriptor::TokenFilterCount() const { return fidTokenFilterHub->TokenFilterCount(); }
TmvBaseTokenIndexDescriptor* TmvFulltextIndexDescriptor::TokenIndex(int32_t aIndex) {
  return fidTokenIndexHub->TokenIndex(aIndex);
}
const String& TmvFulltextIndexDescriptor::TokenIndexName(int32_t aIndex) const {
  return fidTokenIndexHub->TokenIndexName(aIndex);
}
int32_t TmvFulltextIndexDescriptor::TokenIndexCount() const { return fidTokenIndexHub->TokenIndexCount(); }

void TmvFulltextIndexDescriptor::IndexChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) {
  if (!aBefore) {
    fidLocationIndexNumber = mvRenumberReference(fidLocationIndexNumber, aOldNumber, aNewNumber);
    return;
  }
  if (fidLocationIndexNumber < 0 || !mvChangeRemoves(fidLocationIndexNumber, aOldNumber, aNewNumber)) return;
  TmvIndexDescriptor* index = LocationIndex();
  RaiseStillReferenced(SIndexStillReferenced, index ? index->GetName() : mvIntToStr(fidLocationIndexNumber));
}

void TmvFulltextIndexDescriptor::Clear(bool aNotify) {
  TmvBaseFulltextDictionaryItem::Clear(aNotify);
  fidTokenExtractorHub->Clear(aNotify);
  fidTokenFilterHub->Clear(aNotify);
  fidTokenIndexHub->Clear(aNotify);
}

void TmvFulltextIndexDescriptor::CheckValid(bool aForBuild) {
  TmvBaseFulltextDictionaryItem::CheckValid(aForBuild);
  mvCheckIdentifier<Error>(fidName, MVERR_INVALIDNAME, false);
  CheckLocationIndex(fidLocationIndexNumber);
  fidTokenExtractorHub->CheckValid(aForBuild);
  fidTokenFilterHub->CheckValid(aForBuild);
  fidTokenIndexHub->CheckValid(aForBuild);
}

bool TmvFulltextIndexDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = dynamic_cast<TmvFulltextIndexDescriptor*>(aItem);
  return TmvBaseFulltextDictionaryItem::IsEqual(aItem) && other &&
         fidLocationIndexNumber == other->fidLocationIndexNumber &&
         fidTokenExtractorHub->IsEqual(other->fidTokenExtractorHub) &&
         fidTokenFilterHub->IsEqual(other->fidTokenFilterHub) && fidTokenIndexHub->IsEqual(other->fidTokenIndexHub);
}

// integer 1; the extractor, filter and index hubs' stream forms.
void TmvFulltextIndexDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseFulltextDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  fidTokenExtractorHub->SaveToWriter(aWriter, aClientVersion);
  fidTokenFilterHub->SaveToWriter(aWriter, aClientVersion);
  fidTokenIndexHub->SaveToWriter(aWriter, aClientVersion);
}

void TmvFulltextIndexDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseFulltextDictionaryItem::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  fidTokenExtractorHub->LoadFromReader(aReader);
  fidTokenFilterHub->LoadFromReader(aReader);
  fidTokenIndexHub->LoadFromReader(aReader);
}

// ---------------------------------------------------------------------------
// TmvTokenIndicesDescriptor

// An empty list is a state the token indexes leave behind when their last
// B*-tree index goes, not a broken table: only a list with indexes is checked.
void TmvTokenIndicesDescriptor::CheckValid(bool aForBuild) {
  if (IndexCount() > 0)
    TmvBaseIndicesDescriptor::CheckValid(aForBuild);
  else
    TmvDictionaryItem::CheckValid(aForBuild);
}

// ---------------------------------------------------------------------------
// TmvFulltextDescriptor

TmvFulltextDescriptor::~TmvFulltextDescriptor() { DropAll(); }

void TmvFulltextDescriptor::DropAll() {
  while (!ftdFulltextIndices.empty()) {
    delete ftdFulltextIndices.back();
    ftdFulltextIndices.pop_back();
  }
  mvFreeAndNil(ftdBlobDescriptor);
  mvFreeAndNil(ftdIndicesDescriptor);
}

int32_t TmvFulltextDescriptor::GetFulltextIndexFromName(const String& aName) const {
  for (int32_t i = 0; i < FulltextIndexCount(); ++i)
    if (SameClassName(ftdFulltextIndices[size_t(i)]->GetName(), aName)) return i;
  return -1;
}

TmvFulltextIndexDescriptor* TmvFulltextDescriptor::AddFulltextIndex(const String& aName,
                                                                    const TmvFulltextIndexDescriptorClassRef* aClass,
                                                                    int32_t aLocationIndexNumber) {
  CheckReadOnly();
  const String name = OrDefault(aName);
  if (GetFulltextIndexFromName(name) >= 0) mvRaiseCode<EmvFulltextDescriptorException>(MVERR_NAMENOTUNIQUE);
  const auto& cls = aClass ? *aClass : TmvFulltextIndexDescriptor::StaticClass;
  mvCheckItemFamily(cls, TmvFulltextIndexDescriptor::StaticClass, SFulltextIndexFamily);
  if (!cls.CreateFulltextIndex) mvRaiseUnsupportedClass(SFulltextIndexFamily, cls.Name());
  ftdFulltextIndices.reserve(ftdFulltextIndices.size() + 1);
  ftdFulltextIndices.push_back(cls.CreateFulltextIndex(this, aLocationIndexNumber, name));
  return ftdFulltextIndices.back();
}

void TmvFulltextDescriptor::RemoveFulltextIndex(int32_t aIndex) {
  CheckReadOnly();
  if (aIndex < 0 || aIndex >= FulltextIndexCount()) return;
  delete ftdFulltextIndices[size_t(aIndex)];
  ftdFulltextIndices.erase(ftdFulltextIndices.begin() + aIndex);
}

void TmvFulltextDescriptor::RemoveFulltextIndex(const String& aName) {
  RemoveFulltextIndex(GetFulltextIndexFromName(aName));
}

void TmvFulltextDescriptor::RemoveFulltextIndex(const TmvFulltextIndexDescriptor* aIndex) {
  const auto it = std::find(ftdFulltextIndices.begin(), ftdFulltextIndices.end(), aIndex);
  RemoveFulltextIndex(it == ftdFulltextIndices.end() ? -1 : int32_t(it - ftdFulltextIndices.begin()));
}

TmvBaseBlobDescriptor* TmvFulltextDescriptor::AddBlobDescriptor(const TmvStorageDescriptorClassRef* aClass) {
  return mvReplaceStorageDescriptor(*this, ftdBlobDescriptor, aClass ? *aClass : TmvHeapBlobDescriptor::StaticClass,
                                    StringToSystemAnsi(mvFulltextBlobName), u"BlobDescriptor");
}

void TmvFulltextDescriptor::RemoveBlobDescriptor() { RemoveSubItem(ftdBlobDescriptor); }

TmvTokenIndicesDescriptor* TmvFulltextDescriptor::AddIndicesDescriptor(const TmvIndicesDescriptorClassRef* aClass) {
  CheckReadOnly();
  const auto& cls = aClass ? *aClass : TmvTokenIndicesDescriptor::StaticClass;
  mvCheckItemFamily(cls, TmvTokenIndicesDescriptor::StaticClass, u"IndicesDescriptor");
  if (!cls.CreateIndices) mvRaiseUnsupportedClass(u"IndicesDescriptor", cls.Name());
  auto* made = static_cast<TmvTokenIndicesDescriptor*>(cls.CreateIndices(this, StringToSystemAnsi(mvFulltextIndicesName)));
  mvFreeAndNil(ftdIndicesDescriptor);
  ftdIndicesDescriptor = made;
  return made;
}

void TmvFulltextDescriptor::RemoveIndicesDescriptor() { RemoveSubItem(ftdIndicesDescriptor); }

TmvTokenIndicesDescriptor* TmvFulltextDescriptor::GetForceIndicesDescriptor() {
  return ftdIndicesDescriptor ? ftdIndicesDescriptor : AddIndicesDescriptor();
}

bool TmvFulltextDescriptor::FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                                        TmvDictionaryItem* aFrom) {
  if (aType.InheritsFrom(&TmvTokenIndicesDescriptor::StaticClass)) {
    aDescriptor = ftdIndicesDescriptor && ftdIndicesDescriptor->InheritsFrom(aType) ? ftdIndicesDescriptor : nullptr;
    return true;
  }
  if (aType.InheritsFrom(&TmvBaseBlobDescriptor::StaticClass)) {
    aDescriptor = ftdBlobDescriptor && ftdBlobDescriptor->InheritsFrom(aType) ? ftdBlobDescriptor : nullptr;
    return true;
  }
  return TmvBaseCustomDescriptor::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TmvFulltextDescriptor::Clear(bool aNotify) {
  TmvBaseCustomDescriptor::Clear(aNotify);
  DropAll();
}

void TmvFulltextDescriptor::CheckValid(bool aForBuild) {
  TmvBaseCustomDescriptor::CheckValid(aForBuild);
  for (TmvFulltextIndexDescriptor* index : ftdFulltextIndices) index->CheckValid(aForBuild);
  if (ftdBlobDescriptor) ftdBlobDescriptor->CheckValid(aForBuild);
  if (ftdIndicesDescriptor) ftdIndicesDescriptor->CheckValid(aForBuild);
}

bool TmvFulltextDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseCustomDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvFulltextDescriptor*>(aItem);
  if (!other || FulltextIndexCount() != other->FulltextIndexCount()) return false;
  for (int32_t i = 0; i < FulltextIndexCount(); ++i)
    if (!FulltextIndex(i)->IsEqual(other->FulltextIndex(i))) return false;
  return mvOptionalItemsEqual(ftdBlobDescriptor, other->ftdBlobDescriptor) &&
         mvOptionalItemsEqual(ftdIndicesDescriptor, other->ftdIndicesDescriptor);
}

// After the item header:
//   integer  1
//   list     per full-text index: string class name, string name, integer
//            location index number, the index's stream form
//   boolean  has BLOB descriptor; when true its class name and stream form
//   boolean  has indices descriptor; when true its class name and stream form
void TmvFulltextDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseCustomDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteListBegin();
  for (TmvFulltextIndexDescriptor* index : ftdFulltextIndices) {
    aWriter.WriteString(index->ClassName());
    aWriter.WriteString(index->GetName());
    aWriter.WriteInteger(index->GetLocationIndexNumber());
    index->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
  mvWriteOptionalItem(aWriter, ftdBlobDescriptor, aClientVersion);
  mvWriteOptionalItem(aWriter, ftdIndicesDescriptor, aClientVersion);
}

// Each index is made as AddFulltextIndex makes it, so a stream cannot bring
// two of one name nor a location index that does not qualify.
void TmvFulltextDescriptor::ReadFulltextIndexes(TmvReader& aReader) {
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const auto& cls = mvReadItemClass(aReader, TmvFulltextIndexDescriptor::StaticClass, SFulltextIndexFamily);
    const String name = aReader.ReadString();
    const int32_t location = aReader.ReadInteger();
    if (name.empty()) mvCheckIdentifier<EmvFulltextDescriptorException>(name, MVERR_INVALIDNAME, false);
    AddFulltextIndex(name, &cls, location)->LoadFromReader(aReader);
  }
  aReader.ReadListEnd();
}

void TmvFulltextDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseCustomDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  DropAll();
  ReadFulltextIndexes(aReader);
  if (const auto* cls = mvReadOptionalClass(aReader, TmvBaseBlobDescriptor::StaticClass, u"BlobDescriptor"))
    AddBlobDescriptor(cls)->LoadFromReader(aReader);
  if (const auto* cls = mvReadOptionalClass(aReader, TmvTokenIndicesDescriptor::StaticClass, u"IndicesDescriptor"))
    AddIndicesDescriptor(cls)->LoadFromReader(aReader);
}
