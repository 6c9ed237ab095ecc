// Data dictionary: the locale descriptor. See mvsdLocaleDescriptor.h.
#include "dictionary/items/mvsdLocaleDescriptor.h"

#include "dictionary/mvsdDictionaryVersions.h"
#include "foundation/types/mvllWideString.h"

namespace {

// The compare flag of each option, in the order the options are streamed.
constexpr uint32_t kKanaTypeFlag = NORM_IGNOREKANATYPE;
constexpr uint32_t kNonSpaceFlag = NORM_IGNORENONSPACE;
constexpr uint32_t kSymbolsFlag = NORM_IGNORESYMBOLS;
constexpr uint32_t kWidthFlag = NORM_IGNOREWIDTH;
constexpr uint32_t kStringSortFlag = SORT_STRINGSORT;

// The parts of two version records that tell whether the rules changed.
bool SameSortRules(const TNLSVersionInfoEx& a, const TNLSVersionInfoEx& b) {
  return a.dwNLSVersion == b.dwNLSVersion && a.dwDefinedVersion == b.dwDefinedVersion &&
         a.dwEffectiveId == b.dwEffectiveId && a.guidCustomVersion == b.guidCustomVersion;
}

}  // namespace

TmvClassRegistry* TmvLocaleDescriptor::Registry() { return mvFamilyRegistry<TmvLocaleDescriptor>(); }

constinit const TmvDictionaryItemClassRef TmvLocaleDescriptor::StaticClass{
    {{u"TmvLocaleDescriptor", &TmvDictionaryItem::StaticClass}, &TmvLocaleDescriptor::Registry,
     &mvCreateFreeItem<TmvLocaleDescriptor>},
    &mvCreateItem<TmvLocaleDescriptor>};

TmvLocaleDescriptor::TmvLocaleDescriptor(TPersistent* aParent)
    : TmvDictionaryItem(aParent), ldLocale(ConvertDefaultLocale(LOCALE_SYSTEM_DEFAULT)) {}

TmvLocaleDescriptor::~TmvLocaleDescriptor() {
  delete ldNLSVersionInfoCurrent.exchange(nullptr);
  mvFreeAndNil(ldNLSVersionInfoBuild);
}

bool TmvLocaleDescriptor::IsCompareable(TmvLocaleDescriptor* aLocaleDescriptor) {
  auto* other = aLocaleDescriptor;
  return TmvDictionaryItem::IsEqual(other) && ldLocale == other->ldLocale &&
         ldIgnoreKanaType == other->ldIgnoreKanaType && ldIgnoreNonSpace == other->ldIgnoreNonSpace &&
         ldIgnoreSymbols == other->ldIgnoreSymbols && ldIgnoreWidth == other->ldIgnoreWidth &&
         ldUseStringSort == other->ldUseStringSort;
}

void TmvLocaleDescriptor::SetLocale(LCID aValue) {
  CheckReadOnly();
  ldLocale = aValue == 0 ? 0 : ConvertDefaultLocale(aValue);
}

uint32_t TmvLocaleDescriptor::GetFlags() const {
  return (ldIgnoreKanaType ? kKanaTypeFlag : 0) | (ldIgnoreNonSpace ? kNonSpaceFlag : 0) |
         (ldIgnoreSymbols ? kSymbolsFlag : 0) | (ldIgnoreWidth ? kWidthFlag : 0) |
         (ldUseStringSort ? kStringSortFlag : 0);
}

void TmvLocaleDescriptor::SetFlags(uint32_t aValue) {
  CheckReadOnly();
  ldIgnoreKanaType = aValue & kKanaTypeFlag;
  ldIgnoreNonSpace = aValue & kNonSpaceFlag;
  ldIgnoreSymbols = aValue & kSymbolsFlag;
  ldIgnoreWidth = aValue & kWidthFlag;
  ldUseStringSort = aValue & kStringSortFlag;
}

void TmvLocaleDescriptor::SetIgnoreKanaType(bool aValue) {
  CheckReadOnly();
  ldIgnoreKanaType = aValue;
}
void TmvLocaleDescriptor::SetIgnoreNonSpace(bool aValue) {
  CheckReadOnly();
  ldIgnoreNonSpace = aValue;
}
void TmvLocaleDescriptor::SetIgnoreSymbols(bool aValue) {
  CheckReadOnly();
  ldIgnoreSymbols = aValue;
}
void TmvLocaleDescriptor::SetIgnoreWidth(bool aValue) {
  CheckReadOnly();
  ldIgnoreWidth = aValue;
}
void TmvLocaleDescriptor::SetUseStringSort(bool aValue) {
  CheckReadOnly();
  ldUseStringSort = aValue;
}
void TmvLocaleDescriptor::SetOverrideStorageCodepage(uint16_t aValue) {
  CheckReadOnly();
  ldOverrideStorageCodepage = aValue;
}

// The system answers the code page as decimal text; the user's overrides
// of the locale take no part (LOCALE_NOUSEROVERRIDE), so every machine
// stores a table's text alike.
uint16_t TmvLocaleDescriptor::CompareCodepage() const {
  if (ldLocale == 0) return 0;
  char16_t buffer[10];
  int n = GetLocaleInfoW(ldLocale, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_NOUSEROVERRIDE, buffer, 10);
  // An answer that is no code page number is as useless as none.
  int32_t codePage = n > 1 ? mvAnsiStrToIntDef(UTF8Encode(String(buffer, size_t(n - 1))), -1) : -1;
  if (codePage < 0 || codePage > 0xFFFF) mvRaiseLastOSErrorUnknown();
  return uint16_t(codePage);
}

uint16_t TmvLocaleDescriptor::StorageCodepage() const {
  return ldOverrideStorageCodepage != 0 ? ldOverrideStorageCodepage : CompareCodepage();
}

bool TmvLocaleDescriptor::CurrentLocaleVersionEqualToBuildVersion() {
  if (ldLocale == 0 || !ldNLSVersionInfoBuild) return true;
  TmvNLSVersionRecord* current = ldNLSVersionInfoCurrent.load(std::memory_order_acquire);
  if (!current) {
    auto* fetched = new TmvNLSVersionRecord();
    mvGetLocaleNlsVersion(ldLocale, fetched->Info);
    // Another thread may have published its record meanwhile: keep that one.
    if (ldNLSVersionInfoCurrent.compare_exchange_strong(current, fetched, std::memory_order_acq_rel)) {
      current = fetched;
    } else {
      delete fetched;
    }
  }
  return SameSortRules(current->Info, ldNLSVersionInfoBuild->Info);
}

const TNLSVersionInfoEx* TmvLocaleDescriptor::GetNLSVersionInfoBuild() const {
  return ldNLSVersionInfoBuild ? &ldNLSVersionInfoBuild->Info : nullptr;
}

TmvLocaleDescriptor::TmvNLSVersionRecord& TmvLocaleDescriptor::EnsureBuildVersion() {
  if (!ldNLSVersionInfoBuild) ldNLSVersionInfoBuild = new TmvNLSVersionRecord();
  return *ldNLSVersionInfoBuild;
}

void TmvLocaleDescriptor::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  if (ldLocale != 0 && !mvIsValidLocale(ldLocale))
    throw EmvLocaleDescriptorException(MVERR_INVALIDLANGDRV, u"Locale not supported/installed: %d",
                                       {int32_t(ldLocale)});
  if (ldOverrideStorageCodepage != 0 && !mvIsValidCodePage(ldOverrideStorageCodepage))
    throw EmvLocaleDescriptorException(MVERR_INVALIDLANGDRV, u"Invalid codepage: %d",
                                       {int32_t(ldOverrideStorageCodepage)});
  if (!aForBuild) return;
  if (!mvDisable30900LocaleFixes && ldLocale != 0)
    mvGetLocaleNlsVersion(ldLocale, EnsureBuildVersion().Info);
  else
    mvFreeAndNil(ldNLSVersionInfoBuild);
}

bool TmvLocaleDescriptor::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvLocaleDescriptor*>(aItem);
  return other && IsCompareable(other) && ldOverrideStorageCodepage == other->ldOverrideStorageCodepage;
}

// Body, after the item header (peers from 20000 on). The unsigned 32-bit
// values are written as integers holding their bit pattern.
//   integer  body version V: 1 for peers below 30900 or with
//            "Disable30900LocaleFixes", else 2
//   integer  ldLocale
//   boolean  IgnoreKanaType, IgnoreNonSpace, IgnoreSymbols, IgnoreWidth,
//            UseStringSort
//   integer  ldOverrideStorageCodepage (0..65535)
//   V = 2:   boolean  build version recorded; when true:
//            integer  dwNLSVersion, dwDefinedVersion, dwEffectiveId
//            GUID     guidCustomVersion
void TmvLocaleDescriptor::SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  mvCheckClientVersion(aClientVersion, mvPeerVersionItemIDs);
  const int32_t version = aClientVersion < mvPeerVersionLocaleBuildVersion || mvDisable30900LocaleFixes ? 1 : 2;
  TmvDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(version);
  aWriter.WriteInteger(int32_t(ldLocale));
  for (bool option : {ldIgnoreKanaType, ldIgnoreNonSpace, ldIgnoreSymbols, ldIgnoreWidth, ldUseStringSort})
    aWriter.WriteBoolean(option);
  aWriter.WriteInteger(int32_t(ldOverrideStorageCodepage));
  if (version < 2) return;
  aWriter.WriteBoolean(ldNLSVersionInfoBuild != nullptr);
  if (!ldNLSVersionInfoBuild) return;
  const TNLSVersionInfoEx& build = ldNLSVersionInfoBuild->Info;
  aWriter.WriteInteger(int32_t(build.dwNLSVersion));
  aWriter.WriteInteger(int32_t(build.dwDefinedVersion));
  aWriter.WriteInteger(int32_t(build.dwEffectiveId));
  aWriter.WriteGuid(build.guidCustomVersion);
}

void TmvLocaleDescriptor::LoadFromReader(TmvReader& aReader) {
  TmvDictionaryItem::LoadFromReader(aReader);
  ldVersion = mvReadStreamVersion(aReader, 1, 2);
  ldLocale = LCID(aReader.ReadInteger());
  for (bool* option : {&ldIgnoreKanaType, &ldIgnoreNonSpace, &ldIgnoreSymbols, &ldIgnoreWidth, &ldUseStringSort})
    *option = aReader.ReadBoolean();
  const int32_t codePage = aReader.ReadInteger();
  if (codePage < 0 || codePage > 0xFFFF) mvRaiseCode<EmvLocaleDescriptorException>(MVERR_INCOMPATIBLESTREAM);
  ldOverrideStorageCodepage = uint16_t(codePage);
  if (ldVersion < 2 || !aReader.ReadBoolean()) {
    mvFreeAndNil(ldNLSVersionInfoBuild);
    return;
  }
  TNLSVersionInfoEx build;
  build.dwNLSVersionInfoSize = sizeof(TNLSVersionInfoEx);
  build.dwNLSVersion = uint32_t(aReader.ReadInteger());
  build.dwDefinedVersion = uint32_t(aReader.ReadInteger());
  build.dwEffectiveId = uint32_t(aReader.ReadInteger());
  build.guidCustomVersion = aReader.ReadGuid();
  EnsureBuildVersion().Info = build;
}

// ---------------------------------------------------------------------------
// TmvLocalizedDictionaryItem
//
// An item that may carry its own locale descriptor or inherit one. Declared
// with the dictionary item; defined here, since it is all about locales.

constinit const TmvDictionaryItemClassRef TmvLocalizedDictionaryItem::StaticClass{
    {{u"TmvLocalizedDictionaryItem", &TmvDictionaryItem::StaticClass}, &mvNoRegistry, nullptr}, nullptr};

TmvLocalizedDictionaryItem::~TmvLocalizedDictionaryItem() { mvFreeAndNil(ldiLocaleDescriptor); }

TmvLocaleDescriptor* TmvLocalizedDictionaryItem::GetUsedLocaleDescriptor() {
  if (diCacheActive) return ldiCachedLocaleDescriptor;
  return ldiLocaleDescriptor ? ldiLocaleDescriptor : GetInheritedLocaleDescriptor();
}

TmvLocaleDescriptor* TmvLocalizedDictionaryItem::GetInheritedLocaleDescriptor() {
  TmvDictionaryItem* locale;
  if (!TmvDictionaryItem::FindRelatedDescriptorOfType(TmvLocaleDescriptor::StaticClass, locale)) return nullptr;
  return static_cast<TmvLocaleDescriptor*>(locale);
}

uint16_t TmvLocalizedDictionaryItem::GetUsedStorageCodePage() {
  if (diCacheActive) return ldiCachedStorageCodePage;
  TmvLocaleDescriptor* locale = GetUsedLocaleDescriptor();
  return locale ? locale->StorageCodepage() : 0;
}

// Locale part:
//   integer  1
//   boolean  has own locale
//   string   its class name, then its stream form   (when it has one)
void TmvLocalizedDictionaryItem::SaveLocaleToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  mvCheckClientVersion(aClientVersion, mvPeerVersionItemIDs);
  aWriter.WriteInteger(1);
  mvWriteOptionalItem(aWriter, ldiLocaleDescriptor, aClientVersion);
}

void TmvLocalizedDictionaryItem::LoadLocaleFromReader(TmvReader& aReader) {
  mvReadStreamVersion(aReader, 1, 1);
  // A stream without a locale leaves none behind, so that a reloaded item
  // equals the one that was written.
  FreeLocaleDescriptor();
  if (!aReader.ReadBoolean()) return;
  const auto& cls = mvReadItemClass(aReader, TmvLocaleDescriptor::StaticClass, u"LocaleDescriptor");
  ldiLocaleDescriptor = static_cast<TmvLocaleDescriptor*>(mvCreateItemOfClass(cls, this, u"LocaleDescriptor"));
  ldiLocaleDescriptor->LoadFromReader(aReader);
}

void TmvLocalizedDictionaryItem::FreeLocaleDescriptor() { mvFreeAndNil(ldiLocaleDescriptor); }

TmvLocaleDescriptor* TmvLocalizedDictionaryItem::AddLocaleDescriptor(const TmvDictionaryItemClassRef* aClass) {
  return ReplaceSubItem(ldiLocaleDescriptor, aClass ? *aClass : TmvLocaleDescriptor::StaticClass,
                        u"LocaleDescriptor");
}

void TmvLocalizedDictionaryItem::RemoveLocaleDescriptor() { RemoveSubItem(ldiLocaleDescriptor); }

void TmvLocalizedDictionaryItem::ActivateCache() {
  if (diCacheActive) return;
  ldiCachedLocaleDescriptor = GetUsedLocaleDescriptor();
  ldiCachedStorageCodePage = ldiCachedLocaleDescriptor ? ldiCachedLocaleDescriptor->StorageCodepage() : 0;
  TmvDictionaryItem::ActivateCache();
}

bool TmvLocalizedDictionaryItem::FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                                             TmvDictionaryItem* aFrom) {
  if (aType.InheritsFrom(&TmvLocaleDescriptor::StaticClass)) {
    aDescriptor = GetUsedLocaleDescriptor();
    return true;
  }
  return TmvDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TmvLocalizedDictionaryItem::CheckValid(bool aForBuild) {
  TmvDictionaryItem::CheckValid(aForBuild);
  if (ldiLocaleDescriptor) ldiLocaleDescriptor->CheckValid(aForBuild);
}

bool TmvLocalizedDictionaryItem::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvLocalizedDictionaryItem*>(aItem);
  return other && mvOptionalItemsEqual(ldiLocaleDescriptor, other->ldiLocaleDescriptor);
}
