// Data dictionary: token index descriptors, their key descriptors and the
// bit-array storage handlers. See mvsdTokenIndexDescriptors.h.
#include "dictionary/fulltext/mvsdTokenIndexDescriptors.h"

#include <algorithm>

#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdTableDescriptor.h"

namespace {

constexpr char16_t SReverseSuffix[] = u"$Reverse";
constexpr char16_t SWrongMainIndexKey[] = u"Index must use a TmvMainIndexTokenIndexKeyDescriptor";
constexpr char16_t SIndexStillReferenced[] = u"Cannot remove index %s because it is still referenced by a fulltext index";
constexpr int32_t kMinTokenSize = 1;
constexpr int32_t kMaxTokenSize = 1024;

// The Locale and Flags of an item's used locale descriptor; 0 and 0
// without one.
struct LocaleCompare {
  LCID locale = 0;
  uint32_t flags = 0;
};
LocaleCompare UsedLocaleOf(TmvLocalizedDictionaryItem& aItem) {
  TmvLocaleDescriptor* locale = aItem.GetUsedLocaleDescriptor();
  return locale ? LocaleCompare{locale->GetLocale(), locale->GetFlags()} : LocaleCompare{};
}

}  // namespace

// ---------------------------------------------------------------------------
// Class records

TmvClassRegistry* TmvBaseBitArrayStorageHandlerDescriptor::Registry() {
  return mvFamilyRegistry<TmvBaseBitArrayStorageHandlerDescriptor>();
}

constinit const TmvDictionaryItemClassRef TmvBitArrayTokenKeyDescriptor::StaticClass{
    {{u"TmvBitArrayTokenKeyDescriptor", &TmvBaseKeyDescriptor::StaticClass},
     &TmvBaseKeyDescriptor::Registry,
     &mvCreateFreeItem<TmvBitArrayTokenKeyDescriptor>},
    &mvCreateItem<TmvBitArrayTokenKeyDescriptor>};
constinit const TmvDictionaryItemClassRef TmvMainIndexTokenKeyDescriptor::StaticClass{
    {{u"TmvMainIndexTokenKeyDescriptor", &TmvBaseKeyDescriptor::StaticClass},
     &TmvBaseKeyDescriptor::Registry,
     &mvCreateFreeItem<TmvMainIndexTokenKeyDescriptor>},
    &mvCreateItem<TmvMainIndexTokenKeyDescriptor>};
constinit const TmvDictionaryItemClassRef TmvBaseBitArrayStorageHandlerDescriptor::StaticClass{
    {{u"TmvBaseBitArrayStorageHandlerDescriptor", &TmvBaseFulltextIndexDictionaryItem::StaticClass},
     &TmvBaseBitArrayStorageHandlerDescriptor::Registry,
     nullptr},
    nullptr};
constinit const TmvDictionaryItemClassRef TmvSimpleBitArrayStorageHandlerDescriptor::StaticClass{
    {{u"TmvSimpleBitArrayStorageHandlerDescriptor", &TmvBaseBitArrayStorageHandlerDescriptor::StaticClass},
     &TmvBaseBitArrayStorageHandlerDescriptor::Registry,
     &mvCreateFreeItem<TmvSimpleBitArrayStorageHandlerDescriptor>},
    &mvCreateItem<TmvSimpleBitArrayStorageHandlerDescriptor>};
constinit const TmvDictionaryItemClassRef TmvBitArrayTokenIndexDescriptor::StaticClass{
    {{u"TmvBitArrayTokenIndexDescriptor", &TmvBaseTokenIndexDescriptor::StaticClass},
     &TmvBaseTokenIndexDescriptor::Registry,
     &mvCreateFreeItem<TmvBitArrayTokenIndexDescriptor>},
    &mvCreateItem<TmvBitArrayTokenIndexDescriptor>};
constinit const TmvDictionaryItemClassRef TmvMainIndexTokenIndexDescriptor::StaticClass{
    {{u"TmvMainIndexTokenIndexDescriptor", &TmvBaseTokenIndexDescriptor::StaticClass},
     &TmvBaseTokenIndexDescriptor::Registry,
     &mvCreateFreeItem<TmvMainIndexTokenIndexDescriptor>},
    &mvCreateItem<TmvMainIndexTokenIndexDescriptor>};

// ---------------------------------------------------------------------------
// TmvBitArrayTokenKeyDescriptor

int32_t TmvBitArrayTokenKeyDescriptor::GetKeyLen() {
  return 2 * batkdMaxTokenSize + 4 + (batkdPerFieldIndex ? 2 : 0);
}

void TmvBitArrayTokenKeyDescriptor::SetMaxTokenSize(int32_t aValue) {
  CheckReadOnly();
  batkdMaxTokenSize = aValue;
}
void TmvBitArrayTokenKeyDescriptor::SetPerFieldIndex(bool aValue) {
  CheckReadOnly();
  batkdPerFieldIndex = aValue;
}
void TmvBitArrayTokenKeyDescriptor::SetReverse(bool aValue) {
  CheckReadOnly();
  batkdReverse = aValue;
}
void TmvBitArrayTokenKeyDescriptor::SetLocale(LCID aValue) {
  CheckReadOnly();
  batkdLocale = aValue;
}
void TmvBitArrayTokenKeyDescriptor::SetFlags(uint32_t aValue) {
  CheckReadOnly();
  batkdFlags = aValue;
}

void TmvBitArrayTokenKeyDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(batkdMaxTokenSize);
  aWriter.WriteBoolean(batkdPerFieldIndex);
  aWriter.WriteBoolean(batkdReverse);
  aWriter.WriteInteger(int32_t(batkdLocale));
  aWriter.WriteInteger(int32_t(batkdFlags));
}

void TmvBitArrayTokenKeyDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseKeyDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  batkdMaxTokenSize = aReader.ReadInteger();
  batkdPerFieldIndex = aReader.ReadBoolean();
  batkdReverse = aReader.ReadBoolean();
  batkdLocale = LCID(aReader.ReadInteger());
  batkdFlags = uint32_t(aReader.ReadInteger());
}

// ---------------------------------------------------------------------------
// TmvMainIndexTokenKeyDescriptor

int32_t TmvMainIndexTokenKeyDescriptor::GetKeyLen() {
  return 2 * mitkdMaxTokenSize + 2 + (mitkdIncludeLocation ? 4 : 0);
}

void TmvMainIndexTokenKeyDescriptor::SetMaxTokenSize(int32_t aValue) {
  CheckReadOnly();
  mitkdMaxTokenSize = aValue;
}
void TmvMainIndexTokenKeyDescriptor::SetIncludeLocation(bool aValue) {
  CheckReadOnly();
  mitkdIncludeLocation = aValue;
}
void TmvMainIndexTokenKeyDescriptor::SetLocale(LCID aValue) {
  CheckReadOnly();
  mitkdLocale = aValue;
}
void TmvMainIndexTokenKeyDescriptor::SetFlags(uint32_t aValue) {
  CheckReadOnly();
  mitkdFlags = aValue;
}

void TmvMainIndexTokenKeyDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  if (mitkdIncludeLocation) mvCheckClientVersion(aClientVersion, mvPeerVersionTokenKeyLocation);
  TmvBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(mitkdIncludeLocation ? 2 : 1);
  aWriter.WriteInteger(mitkdMaxTokenSize);
  aWriter.WriteInteger(int32_t(mitkdLocale));
  aWriter.WriteInteger(int32_t(mitkdFlags));
  if (mitkdIncludeLocation) aWriter.WriteBoolean(true);
}

void TmvMainIndexTokenKeyDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseKeyDescriptor::LoadFromReader(aReader);
  const int32_t version = mvReadStreamVersion(aReader, 1, 2);
  mitkdMaxTokenSize = aReader.ReadInteger();
  mitkdLocale = LCID(aReader.ReadInteger());
  mitkdFlags = uint32_t(aReader.ReadInteger());
  mitkdIncludeLocation = version == 2 && aReader.ReadBoolean();
}

// ---------------------------------------------------------------------------
// Storage handlers

void TmvSimpleBitArrayStorageHandlerDescriptor::CheckValid(bool aForBuild) {
  TmvBaseBitArrayStorageHandlerDescriptor::CheckValid(aForBuild);
  TPersistent* parent;
  if (!FindParentOfType(TmvFulltextDescriptor::StaticClass, parent)) return;
  auto* fulltext = static_cast<TmvFulltextDescriptor*>(parent);
  if (!fulltext->GetBlobDescriptor()) fulltext->AddBlobDescriptor();
}

// ---------------------------------------------------------------------------
// TmvBitArrayTokenIndexDescriptor

// A read-only tree is only ever freed whole: its token indices go with it,
// and removing from them would be refused.
TmvBitArrayTokenIndexDescriptor::~TmvBitArrayTokenIndexDescriptor() {
  ImvDictionaryRoot* root = FindDictionaryRoot();
  if (!root || !root->GetReadOnly()) {
    RemoveIndexOfKind(false);
    RemoveIndexOfKind(true);
  }
  mvFreeAndNil(batidBitArrayStorageHandler);
}

void TmvBitArrayTokenIndexDescriptor::SetMaxTokenSize(int32_t aValue) {
  CheckReadOnly();
  batidMaxTokenSize = std::clamp(aValue, kMinTokenSize, kMaxTokenSize);
}
void TmvBitArrayTokenIndexDescriptor::SetPerFieldIndex(bool aValue) {
  CheckReadOnly();
  batidPerFieldIndex = aValue;
}
void TmvBitArrayTokenIndexDescriptor::SetPerLocationIndex(bool aValue) {
  CheckReadOnly();
  batidPerLocationIndex = aValue;
}
void TmvBitArrayTokenIndexDescriptor::SetSegmentIndex(bool aValue) {
  CheckReadOnly();
  batidSegmentIndex = aValue;
}

String TmvBitArrayTokenIndexDescriptor::GetIndexName() const {
  return GetParentOfType<TmvFulltextIndexDescriptor>()->GetName() + u"$" + GetName();
}

String TmvBitArrayTokenIndexDescriptor::GetReverseIndexName() const { return GetIndexName() + SReverseSuffix; }

// Nil without a token indices descriptor or an enclosing full-text index:
// a token index standing alone has no B*-tree index.
TmvIndexDescriptor* TmvBitArrayTokenIndexDescriptor::FindIndex(bool aReverse) {
  auto* indices = FindRelatedDescriptor<TmvTokenIndicesDescriptor>();
  TPersistent* fulltextIndex;
  if (!indices || !FindParentOfType(TmvFulltextIndexDescriptor::StaticClass, fulltextIndex)) return nullptr;
  return indices->GetDescriptorFromName(aReverse ? GetReverseIndexName() : GetIndexName());
}

TmvIndexDescriptor* TmvBitArrayTokenIndexDescriptor::IndexDescriptor() { return FindIndex(false); }
TmvIndexDescriptor* TmvBitArrayTokenIndexDescriptor::ReverseIndexDescriptor() { return FindIndex(true); }

void TmvBitArrayTokenIndexDescriptor::RemoveIndexOfKind(bool aReverse) {
  if (TmvIndexDescriptor* index = FindIndex(aReverse))
    FindRelatedDescriptor<TmvTokenIndicesDescriptor>()->RemoveIndex(index->GetNumber());
}

void TmvBitArrayTokenIndexDescriptor::RemoveIndex() { RemoveIndexOfKind(false); }
void TmvBitArrayTokenIndexDescriptor::RemoveReverseIndex() { RemoveIndexOfKind(true); }

// Only where they differ, so that a frozen tree whose keys match is checked
// without a change.
void TmvBitArrayTokenIndexDescriptor::MatchKey(TmvBitArrayTokenKeyDescriptor& aKey, bool aReverse) {
  const LocaleCompare used = UsedLocaleOf(*this);
  if (aKey.GetPerFieldIndex() != batidPerFieldIndex) aKey.SetPerFieldIndex(batidPerFieldIndex);
  if (aKey.GetMaxTokenSize() != batidMaxTokenSize) aKey.SetMaxTokenSize(batidMaxTokenSize);
  if (aKey.GetReverse() != aReverse) aKey.SetReverse(aReverse);
  if (aKey.GetLocale() != used.locale) aKey.SetLocale(used.locale);
  if (aKey.GetFlags() != used.flags) aKey.SetFlags(used.flags);
}

// The name is found first (8712 without an enclosing full-text index), so
// that nothing is made for a token index that cannot name its index.
TmvIndexDescriptor* TmvBitArrayTokenIndexDescriptor::AddIndexOfKind(bool aReverse, int32_t aFileNumber,
                                                                    const TmvDictionaryItemClassRef* aKeyClass,
                                                                    const TmvIndexDescriptorClassRef* aIndexClass) {
  CheckReadOnly();
  const String name = aReverse ? GetReverseIndexName() : GetIndexName();
  auto* fulltext = GetParentOfType<TmvFulltextDescriptor>();
  RemoveIndexOfKind(aReverse);
  TmvTokenIndicesDescriptor* indices = fulltext->GetForceIndicesDescriptor();
  TmvIndexDescriptor* index =
      indices->AddIndex(name, aFileNumber, idNone, String(),
                        aKeyClass ? aKeyClass : &TmvBitArrayTokenKeyDescriptor::StaticClass, aIndexClass);
  try {
    auto* key = dynamic_cast<TmvBitArrayTokenKeyDescriptor*>(index->GetKeyDescriptor());
    if (!key) mvRaiseCode<EmvTokenIndexDescriptorException>(MVERR_INVALIDDESC);
    MatchKey(*key, aReverse);
  } catch (...) {
    indices->RemoveIndex(index->GetNumber());
    throw;
  }
  return index;
}

TmvIndexDescriptor* TmvBitArrayTokenIndexDescriptor::AddIndex(int32_t aFileNumber,
                                                              const TmvDictionaryItemClassRef* aKeyClass,
                                                              const TmvIndexDescriptorClassRef* aIndexClass) {
  return AddIndexOfKind(false, aFileNumber, aKeyClass, aIndexClass);
}

TmvIndexDescriptor* TmvBitArrayTokenIndexDescriptor::AddReverseIndex(int32_t aFileNumber,
                                                                     const TmvDictionaryItemClassRef* aKeyClass,
                                                                     const TmvIndexDescriptorClassRef* aIndexClass) {
  return AddIndexOfKind(true, aFileNumber, aKeyClass, aIndexClass);
}

TmvBaseBitArrayStorageHandlerDescriptor* TmvBitArrayTokenIndexDescriptor::AddBitArrayStorageHandler(
    const TmvDictionaryItemClassRef* aClass) {
  const auto& cls = aClass ? *aClass : TmvSimpleBitArrayStorageHandlerDescriptor::StaticClass;
  mvCheckItemFamily(cls, TmvBaseBitArrayStorageHandlerDescriptor::StaticClass, u"BitArrayStorageHandlerDescriptor");
  return ReplaceSubItem(batidBitArrayStorageHandler, cls, u"BitArrayStorageHandlerDescriptor");
}

void TmvBitArrayTokenIndexDescriptor::RemoveBitArrayStorageHandler() { RemoveSubItem(batidBitArrayStorageHandler); }

void TmvBitArrayTokenIndexDescriptor::Clear(bool aNotify) {
  TmvBaseTokenIndexDescriptor::Clear(aNotify);
  mvFreeAndNil(batidBitArrayStorageHandler);
}

void TmvBitArrayTokenIndexDescriptor::CheckValid(bool aForBuild) {
  TmvBaseTokenIndexDescriptor::CheckValid(aForBuild);
  bool anyIndex = false;
  for (bool reverse : {false, true}) {
    TmvIndexDescriptor* index = FindIndex(reverse);
    if (!index) continue;
    auto* key = dynamic_cast<TmvBitArrayTokenKeyDescriptor*>(index->GetKeyDescriptor());
    if (!key) mvRaiseCode<EmvTokenIndexDescriptorException>(MVERR_INVALIDDESC);
    MatchKey(*key, reverse);
    anyIndex = true;
  }
  if (anyIndex && !batidBitArrayStorageHandler) AddBitArrayStorageHandler();
  if (batidBitArrayStorageHandler) batidBitArrayStorageHandler->CheckValid(aForBuild);
}

bool TmvBitArrayTokenIndexDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = dynamic_cast<TmvBitArrayTokenIndexDescriptor*>(aItem);
  return TmvBaseTokenIndexDescriptor::IsEqual(aItem) && other && batidMaxTokenSize == other->batidMaxTokenSize &&
         batidPerFieldIndex == other->batidPerFieldIndex && batidPerLocationIndex == other->batidPerLocationIndex &&
         batidSegmentIndex == other->batidSegmentIndex &&
         mvOptionalItemsEqual(batidBitArrayStorageHandler, other->batidBitArrayStorageHandler);
}

void TmvBitArrayTokenIndexDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTokenIndexDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(batidMaxTokenSize);
  aWriter.WriteBoolean(batidPerFieldIndex);
  aWriter.WriteBoolean(batidPerLocationIndex);
  aWriter.WriteBoolean(batidSegmentIndex);
}

void TmvBitArrayTokenIndexDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTokenIndexDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  batidMaxTokenSize = aReader.ReadInteger();
  batidPerFieldIndex = aReader.ReadBoolean();
  batidPerLocationIndex = aReader.ReadBoolean();
  batidSegmentIndex = aReader.ReadBoolean();
}

// ---------------------------------------------------------------------------
// TmvMainIndexTokenIndexDescriptor

TmvMainIndexTokenIndexDescriptor::TmvMainIndexTokenIndexDescriptor(TPersistent* aParent)
    : TmvBaseTokenIndexDescriptor(aParent) {
  RegisterIndexChangeNotification();
}

TmvMainIndexTokenIndexDescriptor::~TmvMainIndexTokenIndexDescriptor() { UnregisterIndexChangeNotification(); }

TmvIndexDescriptor* TmvMainIndexTokenIndexDescriptor::CheckMainIndex(int32_t aNumber) {
  auto* indices = FindRelatedDescriptor<TmvMainIndicesDescriptor>();
  if (!indices) return nullptr;
  if (aNumber < 0 || aNumber >= indices->IndexCount()) mvRaiseCode<EmvTokenIndexDescriptorException>(MVERR_NOSUCHINDEX);
  TmvIndexDescriptor* index = indices->IndexDescriptor(aNumber);
  if (!dynamic_cast<TmvMainIndexTokenKeyDescriptor*>(index->GetKeyDescriptor()))
    throw EmvTokenIndexDescriptorException(MVERR_INVALIDDESC, String(SWrongMainIndexKey));
  return index;
}

void TmvMainIndexTokenIndexDescriptor::SetMainIndexNumber(int32_t aValue) {
  CheckReadOnly();
  if (aValue >= 0) CheckMainIndex(aValue);
  mitidMainIndexNumber = aValue;
}

void TmvMainIndexTokenIndexDescriptor::SetIgnoreCase(bool aValue) {
  CheckReadOnly();
  mitidIgnoreCase = aValue;
}

TmvIndexDescriptor* TmvMainIndexTokenIndexDescriptor::MainIndex() { return CheckMainIndex(mitidMainIndexNumber); }

void TmvMainIndexTokenIndexDescriptor::IndexChangeNotification(bool aBefore, int32_t aOldNumber, int32_t aNewNumber) {
  if (!aBefore) {
    mitidMainIndexNumber = mvRenumberReference(mitidMainIndexNumber, aOldNumber, aNewNumber);
    return;
  }
  if (mitidMainIndexNumber < 0 || !mvChangeRemoves(mitidMainIndexNumber, aOldNumber, aNewNumber)) return;
  auto* indices = FindRelatedDescriptor<TmvMainIndicesDescriptor>();
  const String name = indices && mitidMainIndexNumber < indices->IndexCount()
                          ? indices->IndexDescriptor(mitidMainIndexNumber)->GetName()
                          : mvIntToStr(mitidMainIndexNumber);
  throw EmvTokenIndexDescriptorException(MVERR_OBJECTINUSE, SIndexStillReferenced, {name});
}

void TmvMainIndexTokenIndexDescriptor::CheckValid(bool aForBuild) {
  TmvBaseTokenIndexDescriptor::CheckValid(aForBuild);
  TmvIndexDescriptor* index = MainIndex();
  if (!index) return;
  auto& key = static_cast<TmvMainIndexTokenKeyDescriptor&>(*index->GetKeyDescriptor());
  const LocaleCompare used = UsedLocaleOf(*this);
  const uint32_t flags = used.flags | (mitidIgnoreCase ? mvNormIgnoreCase : 0);
  if (key.GetLocale() != used.locale) key.SetLocale(used.locale);
  if (key.GetFlags() != flags) key.SetFlags(flags);
}

bool TmvMainIndexTokenIndexDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  auto* other = dynamic_cast<TmvMainIndexTokenIndexDescriptor*>(aItem);
  return TmvBaseTokenIndexDescriptor::IsEqual(aItem) && other && mitidMainIndexNumber == other->mitidMainIndexNumber;
}

void TmvMainIndexTokenIndexDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  TmvBaseTokenIndexDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(mitidMainIndexNumber);
  aWriter.WriteBoolean(mitidIgnoreCase);
}

void TmvMainIndexTokenIndexDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvBaseTokenIndexDescriptor::LoadFromReader(aReader);
  mvReadStreamVersion(aReader, 1, 1);
  mitidMainIndexNumber = aReader.ReadInteger();
  mitidIgnoreCase = aReader.ReadBoolean();
}
