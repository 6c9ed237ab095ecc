// Tests of the engine's wide-string conversions and its view of locales.
#include <gtest/gtest.h>

#include <thread>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/types/mvllWideString.h"

namespace {

TEST(mvllWideString, ConversionsRoundTripAndSkipEmptySources) {
  const String texts[] = {u"○×◆アイウエ", u"日本語の問題文です。", u"ASCII"};
  for (uint16_t cp : {uint16_t(932), uint16_t(65001), uint16_t(0)})
    for (const String& t : texts) {
      AnsiString bytes = mvWideStringToString(t, cp);
      EXPECT_EQ(mvStringToWideString(bytes, cp), t);
      EXPECT_EQ(mvBytesToWideString(bytes.data(), int32_t(bytes.size()), cp), t);
      TBytes b;
      mvWideStringToString(t, cp, b);
      EXPECT_EQ(AnsiString(b.begin(), b.end()), bytes);
    }
  const uint64_t before = NlsConversionCallCount();
  EXPECT_EQ(mvStringToWideString("", 932), u"");
  EXPECT_EQ(mvWideStringToString(u"", 932), "");
  EXPECT_TRUE(mvWideStringBufferToBytes(nullptr, 0, 932).empty());
  EXPECT_EQ(NlsConversionCallCount(), before);
}

TEST(mvllWideString, CodePageZeroFollowsTheThreadLocale) {
  EXPECT_EQ(mvWideStringToString(u"ア", 0), "\x83\x41");  // 0x411: 932
  std::thread([] {
    ASSERT_TRUE(SetThreadLocale(0x409));
    EXPECT_EQ(mvWideStringToString(u"é", 0), "\xE9");  // 0x409: 1252
    EXPECT_EQ(mvThreadAnsiCodePage(), 1252);
    ASSERT_TRUE(SetThreadLocale(0x411));
    EXPECT_EQ(mvThreadAnsiCodePage(), 932);  // the cache notices the change
  }).join();
}

// Each routine converts in one pass; whatever refuses the conversion is
// reported as the length query's step, where the two-step form failed.
TEST(mvllWideString, FailedConversionNamesTheStep) {
  const char16_t kWide[] = u"abc";
  const struct {
    const char16_t* action;
    void (*convert)(const char16_t*);
  } cases[] = {
      {u"mvStringToWideString/MultiByteToWideChar/1", [](const char16_t*) { mvStringToWideString("abc", 4711); }},
      {u"mvBytesToWideString/MultiByteToWideChar/1", [](const char16_t*) { mvBytesToWideString("abc", 3, 4711); }},
      {u"mvWideStringToString/WideCharToMultiByte/1", [](const char16_t* w) { mvWideStringToString(w, 4711); }},
      {u"mvWideStringToString/WideCharToMultiByte/1",
       [](const char16_t* w) {
         TBytes b;
         mvWideStringToString(w, 4711, b);
       }},
      {u"mvWideStringBufferToBytes/WideCharToMultiByte/1", [](const char16_t* w) { mvWideStringBufferToBytes(w, 3, 4711); }},
      {u"mvWideStringBufferToString/WideCharToMultiByte/1",
       [](const char16_t* w) { mvWideStringBufferToString(w, 3, 4711); }},
  };
  for (const auto& c : cases) {
    try {
      c.convert(kWide);
      ADD_FAILURE() << "no error for " << UTF8Encode(c.action);
    } catch (const EmvBaseException& e) {
      EXPECT_NE(e.Message().find(c.action), String::npos) << UTF8Encode(e.Message());
    }
  }
}

// What a code page cannot hold becomes '?', undefined bytes '?' and bad UTF-8
// U+FFFD, as the converter answers them.
TEST(mvllWideString, ConversionsKeepTheSubstitutions) {
  EXPECT_EQ(mvWideStringToString(u"aé→", 932), "a?\x81\xA8");
  EXPECT_EQ(mvStringToWideString("\x83\x41\xFF\x81", 932), u"ア??");
  EXPECT_EQ(mvStringToWideString("a\xC3\x28", 65001), u"a\uFFFD(");
  EXPECT_EQ(mvWideStringBufferToBytes(u"é", 1, 1252), TBytes{0xE9});
  EXPECT_EQ(mvWideStringBufferToString(u"€", 1, 1252), "\x80");
}

TEST(mvllWideString, CopiesQuotingAndMapping) {
  EXPECT_EQ(mvStringToWideArray("a\xE9"), String(u"a\u00E9"));
  EXPECT_EQ(mvWideArrayToString(u"ab"), "ab");
  EXPECT_EQ(mvWideArrayAppendChar(mvWideArrayConcat(u"ab", u"c"), u'd'), u"abcd");
  EXPECT_EQ(mvWideQuotedStr(u"it's", u'\''), u"'it''s'");
  EXPECT_EQ(mvWideQuotedStr(u"", u'"'), u"\"\"");
  EXPECT_EQ(mvWideLCMapString(u"abc", 0x411, LCMAP_UPPERCASE), u"ABC");
  EXPECT_EQ(mvWideLCMapString(u"", 0x411, LCMAP_UPPERCASE), u"");
  EXPECT_THROW(mvWideLCMapString(u"a", 0x411, LCMAP_UPPERCASE | LCMAP_LOWERCASE), EmvBaseException);
}

TEST(mvllWideString, LocaleAndCodePageLists) {
  EXPECT_EQ(mvLocaleName(0x411), u"Japanese XJIS");
  EXPECT_EQ(mvLocaleFromName(u"Japanese XJIS"), 0x411);
  EXPECT_EQ(mvLocaleFromName(u"japanese xjis"), 0x411);  // the list ignores case
  EXPECT_EQ(mvLocaleName(0x10407), u"German (Germany) Phone Book (DIN)");
  EXPECT_EQ(mvLocaleName(0x12345), u"<Unknown>");
  EXPECT_EQ(mvLocaleFromName(u"Klingon"), -1);
  EXPECT_TRUE(mvIsValidLocale(0x409));
  EXPECT_FALSE(mvIsValidLocale(0x12345));
  EXPECT_EQ(mvLocaleAnsiCodePage(0x411), 932);
  EXPECT_EQ(mvLocaleAnsiCodePage(0x439), 0);  // Hindi: Unicode only
  EXPECT_EQ(mvLocaleCodePageOrDefault(0x439), mvDefaultCodePage);

  // Names are unique: a name met twice keeps its first locale, so that no
  // table locale loses its name to a later one of the same name.
  for (LCID id : {0x450u, 0xC1Au, 0x81Au, 0x843u, 0x443u}) {
    EXPECT_NE(mvLocaleName(id), u"<Unknown>") << std::hex << id;
    EXPECT_EQ(mvLocaleFromName(mvLocaleName(id)), int32_t(id)) << std::hex << id;
  }
  const TStringList& locales = mvSystemLocales();
  for (int32_t i = 1; i < locales.Count(); ++i) EXPECT_NE(locales[i - 1], locales[i]);
  EXPECT_GT(locales.Count(), 142);

  EXPECT_TRUE(mvIsValidCodePage(932));
  EXPECT_TRUE(mvIsValidCodePage(1252));
  EXPECT_FALSE(mvIsValidCodePage(4711));
  EXPECT_EQ(mvCodePageName(932), u"ANSI/OEM - Japanese Shift-JIS");
  EXPECT_EQ(mvCodePageFromName(u"UTF-8"), 65001);
  EXPECT_EQ(mvCodePageName(4711), u"<Unknown>");
}

TEST(mvllWideString, NlsVersionAndFormatSettings) {
  TNLSVersionInfoEx v;
  mvGetLocaleNlsVersion(0x411, v);
  EXPECT_EQ(v.dwNLSVersionInfoSize, 32u);
  EXPECT_EQ(v.dwEffectiveId, 0x411u);
  EXPECT_NE(v.dwNLSVersion, 0u);
  mvGetLocaleNlsVersion(0x12345, v);
  EXPECT_EQ(v.dwEffectiveId, 0u);

  const TFormatSettings& a = mvLocaleFormatSettings(0x407);
  EXPECT_EQ(&a, &mvLocaleFormatSettings(0x407));
  EXPECT_EQ(a.DecimalSeparator, u',');
  EXPECT_EQ(mvInvariantFormatSettings().DecimalSeparator, u'.');
}

TEST(mvllWideString, FormatSettingsCacheServesOneObjectPerLocaleAcrossThreads) {
  const TFormatSettings* seen[8] = {};
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &mvLocaleFormatSettings(0x40C); });
  for (auto& t : threads) t.join();
  for (const TFormatSettings* p : seen) EXPECT_EQ(p, seen[0]);
  EXPECT_EQ(seen[0]->DecimalSeparator, u',');
  // Stopping the unit frees the cache; the next request builds it afresh.
  mvllWideStringFini();
  EXPECT_EQ(mvLocaleFormatSettings(0x40C).DecimalSeparator, u',');
  mvllWideStringInit();
}

}  // namespace
