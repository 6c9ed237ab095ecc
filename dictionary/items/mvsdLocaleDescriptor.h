// Data dictionary: the locale descriptor.
//
// A locale descriptor says how the text of a table, a field or a key field
// is stored and compared: a Windows locale id (0: binary comparison), five
// comparison options that map onto the NLS compare flags, an optional
// storage code page that overrides the locale's own ANSI code page, and the
// version of the sort rules that was current when the table was built. The
// build version lets the engine notice later that the system now sorts
// differently, so that indexes built under the old rules get rebuilt.
//
// Localized dictionary items (mvsdDictionaryItem.h) own at most one locale
// descriptor; the items below them use the nearest one above.
//
// Layer: data dictionary; calls the dictionary item base and, for locale
// and code-page facts, the foundation's wide-string unit over the
// platform's NLS layer.
//
// Threading: built and changed by one thread. On a frozen dictionary any
// thread may call CurrentLocaleVersionEqualToBuildVersion: the current
// version record it fetches is published with one compare-and-set, so
// exactly one record survives.
#pragma once

#include <atomic>

#include "dictionary/items/mvsdDictionaryItem.h"
#include "platform/Nls.h"

MV_DECLARE_EXCEPTION(EmvLocaleDescriptorException, EmvDictionaryItemException)

class TmvLocaleDescriptor : public TmvDictionaryItem {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  // The locale starts as the system default locale, converted to the
  // locale it stands for (never the pseudo id 2048 itself).
  explicit TmvLocaleDescriptor(TPersistent* aParent);
  ~TmvLocaleDescriptor() override;

  // Whether both describe the same comparison: the same class, locale and
  // five options. The storage code page takes no part: texts stored in
  // different code pages still compare alike once read.
  virtual bool IsCompareable(TmvLocaleDescriptor* aLocaleDescriptor);

  LCID GetLocale() const { return ldLocale; }
  // CheckReadOnly; 0 stays 0, any other id is stored converted
  // (ConvertDefaultLocale).
  void SetLocale(LCID aValue);
  // The OR of the compare flags of the five options:
  //   IgnoreKanaType 0x10000, IgnoreNonSpace 2, IgnoreSymbols 4,
  //   IgnoreWidth 0x20000, UseStringSort 0x1000.
  uint32_t GetFlags() const;
  // CheckReadOnly; each option from its bit, other bits ignored.
  void SetFlags(uint32_t aValue);
  bool GetIgnoreKanaType() const { return ldIgnoreKanaType; }
  bool GetIgnoreNonSpace() const { return ldIgnoreNonSpace; }
  bool GetIgnoreSymbols() const { return ldIgnoreSymbols; }
  bool GetIgnoreWidth() const { return ldIgnoreWidth; }
  bool GetUseStringSort() const { return ldUseStringSort; }
  // Each: CheckReadOnly, then store.
  void SetIgnoreKanaType(bool aValue);
  void SetIgnoreNonSpace(bool aValue);
  void SetIgnoreSymbols(bool aValue);
  void SetIgnoreWidth(bool aValue);
  void SetUseStringSort(bool aValue);
  uint16_t GetOverrideStorageCodepage() const { return ldOverrideStorageCodepage; }
  void SetOverrideStorageCodepage(uint16_t aValue);
  // Set on the locale a server session makes from its default-locale
  // option; neither streamed nor compared.
  bool GetIsDefaultStringLiteralLocale() const { return ldIsDefaultStringLiteralLocale; }
  void SetIsDefaultStringLiteralLocale(bool aValue) { ldIsDefaultStringLiteralLocale = aValue; }
  // The body version last read (1 or 2); 0 for a descriptor never read.
  int32_t GetVersion() const { return ldVersion; }

  // 0 for locale 0; else the locale's default ANSI code page. A locale the
  // system cannot describe raises the last operating-system error.
  uint16_t CompareCodepage() const;
  // The override when set, else CompareCodepage.
  uint16_t StorageCodepage() const;
  // True for locale 0 or when no build version is recorded; otherwise
  // whether the locale's current sort-rule version (NLS version, defined
  // version, effective id, custom GUID) equals the recorded one.
  bool CurrentLocaleVersionEqualToBuildVersion();
  // The sort-rule version recorded when the table was built; nil when none.
  const TNLSVersionInfoEx* GetNLSVersionInfoBuild() const;

  // 10043 for a locale or an override code page the system does not have.
  // With aForBuild: records the locale's current sort-rule version, unless
  // "Disable30900LocaleFixes" is set or the locale is 0, which drop it.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(TmvDictionaryItem* aItem) override;
  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  void LoadFromReader(TmvReader& aReader) override;

  // The family's registry of locale descriptor classes.
  static TmvClassRegistry* Registry();

 private:
  // A version record from the engine's allocator.
  struct TmvNLSVersionRecord : TmvObject {
    TNLSVersionInfoEx Info;
  };

  TmvNLSVersionRecord& EnsureBuildVersion();

  int32_t ldVersion = 0;
  LCID ldLocale = 0;
  bool ldIgnoreKanaType = false;
  bool ldIgnoreNonSpace = false;
  bool ldIgnoreSymbols = false;
  bool ldIgnoreWidth = false;
  bool ldUseStringSort = false;
  uint16_t ldOverrideStorageCodepage = 0;
  bool ldIsDefaultStringLiteralLocale = false;
  std::atomic<TmvNLSVersionRecord*> ldNLSVersionInfoCurrent{nullptr};  // owned, fetched on first use
  TmvNLSVersionRecord* ldNLSVersionInfoBuild = nullptr;                // owned
};
