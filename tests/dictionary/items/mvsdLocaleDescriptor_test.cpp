// Tests of the locale descriptor: its defaults, compare flags, code pages,
// checks, the sort-rule version recorded for a build, and its stream body
// per peer version.
#include "dictionary/items/mvsdLocaleDescriptor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdTestSupport.h"
#include "foundation/types/mvllWideString.h"

using namespace mvtest;

namespace {

class LocaleDescriptor : public DictionaryTest {};

// Sets the process-wide "Disable30900LocaleFixes" switch for one scope.
struct LocaleFixesDisabled {
  LocaleFixesDisabled() { mvDisable30900LocaleFixes = true; }
  ~LocaleFixesDisabled() { mvDisable30900LocaleFixes = false; }
};

// A version-2 body of a free locale (item ID 0): locale 0x409, IgnoreWidth,
// no override, a build version {NLS 0x01020304, defined 5, effective 0x409}.
const std::vector<uint8_t> kBodyV2 = {
    0x02, 0x03, 0x01, 0x00, 0x02, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00,  // item header
    0x02, 0x02,                                                         // body version 2
    0x03, 0x09, 0x04,                                                   // locale 0x409
    0x08, 0x08, 0x08, 0x09, 0x08,                                       // the five options
    0x02, 0x00,                                                         // no override
    0x09,                                                               // build version present
    0x04, 0x04, 0x03, 0x02, 0x01,                                       // dwNLSVersion
    0x02, 0x05,                                                         // dwDefinedVersion
    0x03, 0x09, 0x04,                                                   // dwEffectiveId
    0x0A, 0x10, 0x00, 0x00, 0x00,                                       // GUID: 16 binary bytes
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

TEST_F(LocaleDescriptor, NewDescriptorTakesTheSystemDefault) {
  TmvLocaleDescriptor locale(nullptr);
  EXPECT_EQ(locale.GetLocale(), GetSystemDefaultLCID());
  EXPECT_NE(locale.GetLocale(), LOCALE_SYSTEM_DEFAULT);
  const LCID saved = GetSystemDefaultLCID();
  ASSERT_TRUE(SetSystemDefaultLCID(0x407));
  TmvLocaleDescriptor german(nullptr);
  SetSystemDefaultLCID(saved);
  EXPECT_EQ(german.GetLocale(), 0x407u);
  EXPECT_EQ(german.GetFlags(), 0u);
  EXPECT_EQ(german.GetOverrideStorageCodepage(), 0);

  locale.SetLocale(0);
  EXPECT_EQ(locale.GetLocale(), 0u);  // 0 stays 0
  locale.SetLocale(LOCALE_SYSTEM_DEFAULT);
  EXPECT_EQ(locale.GetLocale(), GetSystemDefaultLCID());
  locale.SetLocale(0x09);  // a language alone: its primary locale
  EXPECT_EQ(locale.GetLocale(), 0x409u);
}

TEST_F(LocaleDescriptor, FlagsMapToTheCompareFlags) {
  struct Case {
    uint32_t flag;
    bool (TmvLocaleDescriptor::*get)() const;
  };
  const Case cases[] = {{0x10000, &TmvLocaleDescriptor::GetIgnoreKanaType},
                        {2, &TmvLocaleDescriptor::GetIgnoreNonSpace},
                        {4, &TmvLocaleDescriptor::GetIgnoreSymbols},
                        {0x20000, &TmvLocaleDescriptor::GetIgnoreWidth},
                        {0x1000, &TmvLocaleDescriptor::GetUseStringSort}};
  TmvLocaleDescriptor locale(nullptr);
  for (const Case& c : cases) {
    locale.SetFlags(c.flag | NORM_IGNORECASE);  // a flag without an option is dropped
    EXPECT_EQ(locale.GetFlags(), c.flag);
    for (const Case& other : cases) EXPECT_EQ((locale.*other.get)(), other.flag == c.flag) << other.flag;
  }
  const uint32_t four = 0x10000 | 2 | 0x20000 | 0x1000;
  locale.SetFlags(four);
  EXPECT_FALSE(locale.GetIgnoreSymbols());
  EXPECT_EQ(locale.GetFlags(), four);
  locale.SetIgnoreSymbols(true);
  EXPECT_EQ(locale.GetFlags(), four | 4);
}

TEST_F(LocaleDescriptor, CodePages) {
  TmvLocaleDescriptor locale(nullptr);
  locale.SetLocale(0x409);
  EXPECT_EQ(locale.CompareCodepage(), 1252);
  EXPECT_EQ(locale.StorageCodepage(), 1252);
  locale.SetOverrideStorageCodepage(932);
  EXPECT_EQ(locale.CompareCodepage(), 1252);
  EXPECT_EQ(locale.StorageCodepage(), 932);
  locale.SetLocale(0x411);
  locale.SetOverrideStorageCodepage(0);
  EXPECT_EQ(locale.StorageCodepage(), 932);

  locale.SetLocale(0);
  EXPECT_EQ(locale.CompareCodepage(), 0);
  EXPECT_EQ(locale.StorageCodepage(), 0);
  EXPECT_TRUE(locale.CurrentLocaleVersionEqualToBuildVersion());
  locale.SetOverrideStorageCodepage(1252);
  EXPECT_EQ(locale.StorageCodepage(), 1252);

  // A locale the system does not know has no code page to tell.
  locale.SetLocale(0x12345);
  EXPECT_THROW(locale.CompareCodepage(), EmvBaseException);
}

TEST_F(LocaleDescriptor, ChecksAndTheBuildVersion) {
  TmvLocaleDescriptor locale(nullptr);
  locale.SetLocale(0x12345);
  String message;
  EXPECT_EQ(RaisedCode([&] { locale.CheckValid(false); }, &message), 10043u);
  EXPECT_EQ(message, u"Locale not supported/installed: 74565");
  locale.SetLocale(0x409);
  locale.SetOverrideStorageCodepage(1);
  EXPECT_EQ(RaisedCode([&] { locale.CheckValid(false); }, &message), 10043u);
  EXPECT_EQ(message, u"Invalid codepage: 1");
  locale.SetOverrideStorageCodepage(1252);

  locale.CheckValid(false);
  EXPECT_EQ(locale.GetNLSVersionInfoBuild(), nullptr);
  locale.CheckValid(true);  // building records the current rules
  ASSERT_NE(locale.GetNLSVersionInfoBuild(), nullptr);
  TNLSVersionInfoEx current;
  mvGetLocaleNlsVersion(0x409, current);
  EXPECT_EQ(locale.GetNLSVersionInfoBuild()->dwNLSVersion, current.dwNLSVersion);
  EXPECT_EQ(locale.GetNLSVersionInfoBuild()->dwEffectiveId, 0x409u);
  EXPECT_TRUE(locale.CurrentLocaleVersionEqualToBuildVersion());

  // Rules recorded elsewhere (another system) differ from the current ones.
  TmvLocaleDescriptor old(nullptr);
  ReadAll(kBodyV2, old);
  EXPECT_FALSE(old.CurrentLocaleVersionEqualToBuildVersion());
  old.SetLocale(0);
  EXPECT_TRUE(old.CurrentLocaleVersionEqualToBuildVersion());  // binary comparison never changes
  old.CheckValid(true);
  EXPECT_EQ(old.GetNLSVersionInfoBuild(), nullptr);  // locale 0 records none

  LocaleFixesDisabled disabled;
  locale.CheckValid(true);
  EXPECT_EQ(locale.GetNLSVersionInfoBuild(), nullptr);
}

TEST_F(LocaleDescriptor, BodyPerPeerVersion) {
  TmvLocaleDescriptor locale(nullptr);
  ReadAll(kBodyV2, locale);
  EXPECT_EQ(locale.GetVersion(), 2);
  EXPECT_EQ(locale.GetLocale(), 0x409u);
  EXPECT_EQ(locale.GetFlags(), uint32_t(NORM_IGNOREWIDTH));
  ASSERT_NE(locale.GetNLSVersionInfoBuild(), nullptr);
  EXPECT_EQ(locale.GetNLSVersionInfoBuild()->dwNLSVersion, 0x01020304u);
  EXPECT_EQ(locale.GetNLSVersionInfoBuild()->dwDefinedVersion, 5u);
  EXPECT_EQ(Written(locale), kBodyV2);

  // Below 30900 the body is version 1, without the build version; reading
  // it drops the one held.
  std::vector<uint8_t> v1(kBodyV2.begin(), kBodyV2.begin() + 23);
  v1[12] = 0x01;
  EXPECT_EQ(Written(locale, mvPeerVersionLocaleBuildVersion - 1), v1);
  EXPECT_EQ(Written(locale, mvPeerVersionLocaleBuildVersion)[12], 0x02);
  ReadAll(v1, locale);
  EXPECT_EQ(locale.GetVersion(), 1);
  EXPECT_EQ(locale.GetNLSVersionInfoBuild(), nullptr);
  EXPECT_EQ(RaisedCode([&] { Written(locale, mvPeerVersionItemIDs - 1); }), 12039u);

  {
    LocaleFixesDisabled disabled;
    ReadAll(kBodyV2, locale);
    EXPECT_EQ(Written(locale), v1);
  }

  for (uint8_t version : {0, 3}) {
    std::vector<uint8_t> bad = kBodyV2;
    bad[12] = version;
    EXPECT_EQ(RaisedCode([&] { ReadAll(bad, locale); }), 15498u) << int(version);
  }
  std::vector<uint8_t> bigCodePage(kBodyV2.begin(), kBodyV2.begin() + 21);
  for (uint8_t b : {0x04, 0x00, 0x00, 0x01, 0x00, 0x08}) bigCodePage.push_back(b);  // 65536
  EXPECT_EQ(RaisedCode([&] { ReadAll(bigCodePage, locale); }), 15498u);

  ReadEveryDamage(
      kBodyV2, [&](TmvReader& r) { locale.LoadFromReader(r); }, [&] { Written(locale); });
}

// A thread locale with a decimal comma and dot grouping changes neither
// messages nor stored bytes.
TEST_F(LocaleDescriptor, DecimalCommaThreadLocale) {
  TmvLocaleDescriptor locale(nullptr);
  ReadAll(kBodyV2, locale);
  const LCID saved = GetThreadLocale();
  ASSERT_TRUE(SetThreadLocale(0x407));
  EXPECT_EQ(Written(locale), kBodyV2);
  EXPECT_EQ(locale.CompareCodepage(), 1252);
  locale.SetLocale(0x123456);
  String message;
  EXPECT_EQ(RaisedCode([&] { locale.CheckValid(false); }, &message), 10043u);
  SetThreadLocale(saved);
  EXPECT_EQ(message, u"Locale not supported/installed: 1193046");
}

TEST_F(LocaleDescriptor, CompareableIsNotEqual) {
  TmvLocaleDescriptor a(nullptr), b(nullptr);
  EXPECT_TRUE(a.IsEqual(&b));
  b.SetOverrideStorageCodepage(1252);
  EXPECT_TRUE(a.IsCompareable(&b));
  EXPECT_FALSE(a.IsEqual(&b));
  b.SetUseStringSort(true);
  EXPECT_FALSE(a.IsCompareable(&b));
  // Neither the build version nor the session flag counts.
  b.SetOverrideStorageCodepage(0);
  b.SetUseStringSort(false);
  b.SetIsDefaultStringLiteralLocale(true);
  b.CheckValid(true);
  EXPECT_TRUE(a.IsEqual(&b));
}

TEST_F(LocaleDescriptor, ReadOnlyDictionaryRefusesChanges) {
  TTestDictionary dd;
  TmvLocalizedDictionaryItem table(&dd);
  TmvLocaleDescriptor* locale = table.AddLocaleDescriptor();
  dd.ReadOnly = true;
  for (const auto& change : std::vector<std::function<void()>>{
           [&] { locale->SetLocale(0x409); }, [&] { locale->SetFlags(2); },
           [&] { locale->SetIgnoreWidth(true); }, [&] { locale->SetOverrideStorageCodepage(1252); },
           [&] { table.AddLocaleDescriptor(); }, [&] { table.RemoveLocaleDescriptor(); }})
    EXPECT_EQ(RaisedCode(change), 15500u);
  EXPECT_EQ(locale->GetLocale(), GetSystemDefaultLCID());
}

// Threads that share a frozen dictionary fetch the current rules at once;
// one record survives and every answer is the same.
TEST_F(LocaleDescriptor, CurrentVersionFetchedOnceUnderThreads) {
  for (int round = 0; round < 20; ++round) {
    TmvLocaleDescriptor locale(nullptr);
    locale.SetLocale(0x409);
    locale.CheckValid(true);
    std::atomic<int> ready{0};
    std::atomic<int> unequal{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&] {
        ready.fetch_add(1);
        while (ready.load() < 8) std::this_thread::yield();
        if (!locale.CurrentLocaleVersionEqualToBuildVersion()) unequal.fetch_add(1);
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(unequal.load(), 0);
  }
}

}  // namespace
