// Tests of the national-language layer: code pages, locales, comparison,
// locale mapping and sort-rule versions.
#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "platform/Nls.h"

namespace {

std::string toBytes(uint32_t cp, const String& s) {
  int n = WideCharToMultiByte(cp, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::string out(n, '\0');
  EXPECT_EQ(n, WideCharToMultiByte(cp, 0, s.data(), static_cast<int>(s.size()), out.data(), n));
  return out;
}

String fromBytes(uint32_t cp, const std::string& s) {
  int n = MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  String out(n, u'\0');
  EXPECT_EQ(n, MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), out.data(), n));
  return out;
}

TEST(NlsCodePages, StudyProgramTextRoundTrips) {
  const String texts[] = {u"○×◆アイウエ", u"次のうち、正しいものを一つ選びなさい。（ア）～（エ）", u"Plain ASCII 0123 ~!@"};
  for (uint32_t cp : {932u, 65001u})
    for (const String& t : texts) EXPECT_EQ(fromBytes(cp, toBytes(cp, t)), t) << cp;
  // Shift-JIS bytes of "ア" and "○" as Windows writes them.
  EXPECT_EQ(toBytes(932, u"ア○"), "\x83\x41\x81\x9B");
}

TEST(NlsCodePages, Windows1252RoundTripsItsRange) {
  for (int b = 1; b < 256; ++b) {
    std::string one(1, static_cast<char>(b));
    String w = fromBytes(1252, one);
    ASSERT_EQ(w.size(), 1u);
    if (w[0] == u'?' && b != '?') continue;  // the five bytes 1252 leaves undefined
    EXPECT_EQ(toBytes(1252, w), one) << b;
  }
  EXPECT_EQ(fromBytes(1252, "\x80\xE9"), u"€é");
}

TEST(NlsCodePages, UnmappableBecomesQuestionMark) {
  EXPECT_EQ(toBytes(1252, u"a→b"), "a?b");
  EXPECT_EQ(toBytes(20127, u"é"), "?");
  EXPECT_EQ(fromBytes(932, "\x81"), u"?");  // a lead byte without its trail byte
}

TEST(NlsCodePages, PseudoCodePagesAndFailures) {
  ASSERT_EQ(GetACP(), 932u);
  EXPECT_EQ(toBytes(CP_ACP, u"ア"), toBytes(932, u"ア"));
  EXPECT_EQ(toBytes(CP_THREAD_ACP, u"ア"), toBytes(932, u"ア"));  // thread locale 0x411
  ASSERT_TRUE(SetACP(1252));
  EXPECT_EQ(toBytes(CP_ACP, u"é"), "\xE9");
  ASSERT_TRUE(SetACP(932));
  EXPECT_FALSE(SetACP(12345));

  char buf[4];
  errno = 0;
  EXPECT_EQ(WideCharToMultiByte(12345, 0, u"a", 1, buf, 4), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(WideCharToMultiByte(932, 0, u"", 0, buf, 4), 0);  // Windows refuses an empty source
  EXPECT_EQ(WideCharToMultiByte(932, 0, u"アア", 2, buf, 3), 0);
  EXPECT_EQ(errno, ENOBUFS);
  // -1: the terminator is converted and counted.
  EXPECT_EQ(WideCharToMultiByte(932, 0, u"ab", -1, buf, 4), 3);
  EXPECT_EQ(buf[2], '\0');
}

TEST(NlsCodePages, MaxCharSize) {
  const struct {
    uint32_t codePage;
    uint32_t size;
  } cases[] = {{1252, 1}, {28591, 1}, {932, 2}, {936, 2}, {949, 2}, {950, 2}, {CP_ACP, 2}};
  for (const auto& c : cases) {
    uint32_t size = 0;
    EXPECT_TRUE(GetCPMaxCharSize(c.codePage, size)) << c.codePage;
    EXPECT_EQ(size, c.size) << c.codePage;
  }
  uint32_t size = 0;
  EXPECT_TRUE(GetCPMaxCharSize(CP_UTF8, size));
  EXPECT_GT(size, 1u);
  errno = 0;
  EXPECT_FALSE(GetCPMaxCharSize(12345, size));
  EXPECT_EQ(errno, EINVAL);
}

TEST(NlsCodePages, ConvertersArePerThread) {
  // Each thread converts with its own converter; a shared one would garble.
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i)
        if (fromBytes(932, toBytes(932, u"○×◆アイウエ")) != u"○×◆アイウエ") ++bad;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
}

// The one-pass conversions give what the Windows calls give, for clean text
// and for text a code page cannot hold or does not define.
TEST(NlsCodePages, OnePassMatchesTheWindowsCalls) {
  const struct {
    uint32_t cp;
    String text;
    std::string bytes;
  } cases[] = {
      {932, u"次の（ア）～（エ）○×", "\x8E\x9F\x82\xCC\x81\x69\x83\x41\x81\x6A\x81\x60\x81\x69\x83\x47\x81\x6A\x81\x9B\x81\x7E"},
      {932, u"é→ｱ", "\x81\xA8\xFF\x83"},  // é is not in 932; 0xFF and a lone lead byte are not defined
      {65001, u"日本\U0001F600", "\xE6\x97\xA5\xE6\x9C\xAC\xC3\x28\xF0\x9F\x98"},  // bad and cut-off UTF-8
      {1252, u"a→€", "\x81\x80\xE9"},
      {936, u"数据库", "\xCA\xFD\xBE\xDD\xBF\xE2"},
  };
  for (const auto& c : cases) {
    String wide = u"left over";
    ASSERT_TRUE(NlsMultiByteToWide(c.cp, c.bytes, wide)) << c.cp;
    EXPECT_EQ(wide, fromBytes(c.cp, c.bytes)) << c.cp;
    std::string bytes = "left over";
    ASSERT_TRUE(NlsWideToMultiByte(c.cp, c.text, bytes)) << c.cp;
    EXPECT_EQ(bytes, toBytes(c.cp, c.text)) << c.cp;
    std::vector<uint8_t> raw;
    ASSERT_TRUE(NlsWideToMultiByte(c.cp, c.text, raw)) << c.cp;
    EXPECT_EQ(std::string(raw.begin(), raw.end()), bytes) << c.cp;
  }
  EXPECT_EQ(toBytes(932, u"é→ｱ"), "?\x81\xA8\xB1");
  EXPECT_EQ(fromBytes(65001, "\xC3\x28"), u"\uFFFD(");

  // An empty source reaches no converter; an unknown code page leaves nothing behind.
  String empty = u"x";
  const uint64_t calls = NlsConversionCallCount();
  EXPECT_TRUE(NlsMultiByteToWide(932, "", empty));
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(NlsConversionCallCount(), calls);
  errno = 0;
  String refused = u"x";
  EXPECT_FALSE(NlsMultiByteToWide(4711, "abc", refused));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(refused.empty());
  std::string bytes = "x";
  EXPECT_FALSE(NlsWideToMultiByte(4711, u"abc", bytes));
  EXPECT_TRUE(bytes.empty());
}

// The buffer is sized for the worst case (a unit per byte, two bytes per
// unit); what the text did not need is handed back.
TEST(NlsCodePages, OnePassGivesBackTheSlack) {
  const String kanji(100000, u'漢');
  std::string bytes;
  ASSERT_TRUE(NlsWideToMultiByte(932, kanji, bytes));
  ASSERT_EQ(bytes.size(), 200000u);
  String wide;
  ASSERT_TRUE(NlsMultiByteToWide(932, bytes, wide));
  EXPECT_EQ(wide, kanji);
  EXPECT_LE(wide.capacity(), wide.size() + wide.size() / 4 + 32);
  ASSERT_TRUE(NlsWideToMultiByte(932, String(100000, u'a'), bytes));
  EXPECT_LE(bytes.capacity(), bytes.size() + bytes.size() / 4 + 32);
}

// Damaged text (every byte replaced in turn, every cut) converts in one pass
// exactly as the length query and the conversion convert it.
TEST(NlsCodePages, DamagedBytesConvertAlikeInOnePass) {
  for (uint32_t cp : {932u, 65001u}) {
    const std::string good = toBytes(cp, u"ﾃｽﾄ：次の正しいものを選べ（ア）");
    for (size_t i = 0; i < good.size(); ++i)
      for (unsigned char flip : {0x00, 0x3F, 0x80, 0x81, 0xA0, 0xE0, 0xF0, 0xFF}) {
        std::string bad = good;
        bad[i] = static_cast<char>(flip);
        String wide;
        ASSERT_TRUE(NlsMultiByteToWide(cp, bad, wide));
        ASSERT_EQ(wide, fromBytes(cp, bad)) << cp << " byte " << i << " flip " << int(flip);
      }
    for (size_t n = 1; n < good.size(); ++n) {
      String wide;
      ASSERT_TRUE(NlsMultiByteToWide(cp, good.substr(0, n), wide));
      ASSERT_EQ(wide, fromBytes(cp, good.substr(0, n))) << cp << " cut " << n;
    }
  }
  // Unpaired surrogates go the other way.
  for (uint32_t cp : {932u, 65001u}) {
    const String bad = {u'a', 0xD800, u'b', 0xDC00};
    std::string bytes;
    ASSERT_TRUE(NlsWideToMultiByte(cp, bad, bytes));
    EXPECT_EQ(bytes, toBytes(cp, bad)) << cp;
  }
}

TEST(NlsLocales, IdsInformationAndDefaults) {
  EXPECT_EQ(GetSystemDefaultLCID(), 0x411u);
  EXPECT_EQ(GetThreadLocale(), 0x411u);
  EXPECT_EQ(ConvertDefaultLocale(LOCALE_SYSTEM_DEFAULT), 0x411u);
  EXPECT_EQ(ConvertDefaultLocale(0x11), 0x411u);  // language only
  EXPECT_TRUE(IsValidLocale(0x411));
  EXPECT_TRUE(IsValidLocale(0x10407));
  EXPECT_FALSE(IsValidLocale(0x12345));
  EXPECT_EQ(NlsIcuLocaleName(0x411), "ja_JP");

  struct {
    LCID id;
    const char16_t* ansi;
  } cases[] = {{0x411, u"932"}, {0x409, u"1252"}, {0x419, u"1251"}, {0x804, u"936"}, {0x404, u"950"},
               {0x412, u"949"}, {0x41E, u"874"}, {0x405, u"1250"}, {0x439, u"0"}, {0xC1A, u"1251"}};
  for (auto c : cases) EXPECT_EQ(GetLocaleInfoText(c.id, LOCALE_IDEFAULTANSICODEPAGE), c.ansi) << c.id;
  EXPECT_EQ(GetLocaleInfoText(0x409, LOCALE_SLANGUAGE), u"English (United States)");
  EXPECT_EQ(GetLocaleInfoText(0x10407, LOCALE_SSORTNAME), u"Phone Book (DIN)");
  EXPECT_EQ(GetLocaleInfoText(0x407, LOCALE_SSORTNAME), u"Default");

  char16_t small[2];
  EXPECT_EQ(GetLocaleInfoW(0x411, LOCALE_IDEFAULTANSICODEPAGE, small, 2), 0);  // "932" needs 4
  EXPECT_EQ(GetLocaleInfoW(0x411, LOCALE_IDEFAULTANSICODEPAGE, nullptr, 0), 4);

  std::thread([] {
    EXPECT_TRUE(SetThreadLocale(0x409));
    EXPECT_EQ(GetThreadLocale(), 0x409u);
    EXPECT_EQ(toBytes(CP_THREAD_ACP, u"é"), "\xE9");  // 1252 on this thread only
  }).join();
  EXPECT_EQ(GetThreadLocale(), 0x411u);
}

TEST(NlsLocales, FormatSettings) {
  TFormatSettings ja = GetLocaleFormatSettings(0x411);
  EXPECT_EQ(ja.DecimalSeparator, u'.');
  EXPECT_EQ(ja.ShortDateFormat, u"yyyy/MM/dd");
  EXPECT_EQ(ja.CurrencyDecimals, 0);
  TFormatSettings de = GetLocaleFormatSettings(0x407);
  EXPECT_EQ(de.DecimalSeparator, u',');
  EXPECT_EQ(de.ThousandSeparator, u'.');
  EXPECT_EQ(de.DateSeparator, u'.');
  EXPECT_EQ(de.CurrencyString, u"€");
  EXPECT_EQ(de.CurrencyFormat, 3);  // "1 €"
  TFormatSettings inv = GetLocaleFormatSettings(LOCALE_INVARIANT);
  EXPECT_EQ(inv.ShortDateFormat, u"MM/dd/yyyy");
  EXPECT_EQ(inv.CurrencyString, u"\u00A4");
}

int cmp(LCID lcid, uint32_t flags, std::u16string_view a, std::u16string_view b) {
  return CompareStringW(lcid, flags, a, b);
}

TEST(NlsCompare, FlagsFoldWhatTheyName) {
  struct {
    uint32_t flags;
    const char16_t* a;
    const char16_t* b;
    int withFlag;  // the answer with the flag; without it the texts differ
  } cases[] = {
      {NORM_IGNORECASE, u"abc", u"ABC", CSTR_EQUAL},
      {NORM_IGNOREWIDTH, u"ｱ", u"ア", CSTR_EQUAL},
      {NORM_IGNOREWIDTH, u"ｶﾞ", u"ガ", CSTR_EQUAL},
      {NORM_IGNOREWIDTH, u"ＡＢ１", u"AB1", CSTR_EQUAL},
      {NORM_IGNOREKANATYPE, u"あ", u"ア", CSTR_EQUAL},
      {NORM_IGNORENONSPACE, u"résumé", u"resume", CSTR_EQUAL},
      {NORM_IGNORESYMBOLS, u"a-b c!", u"abc", CSTR_EQUAL},
  };
  for (auto c : cases) {
    EXPECT_EQ(cmp(0x411, c.flags, c.a, c.b), c.withFlag) << c.flags;
    EXPECT_NE(cmp(0x411, 0, c.a, c.b), CSTR_EQUAL) << c.flags;
  }
  // One flag does not bring in another.
  EXPECT_NE(cmp(0x411, NORM_IGNORECASE, u"ｱ", u"ア"), CSTR_EQUAL);
  EXPECT_NE(cmp(0x411, NORM_IGNOREWIDTH, u"あ", u"ア"), CSTR_EQUAL);
  EXPECT_NE(cmp(0x411, NORM_IGNOREKANATYPE, u"a", u"A"), CSTR_EQUAL);
  EXPECT_NE(cmp(0x411, NORM_IGNORENONSPACE, u"a", u"A"), CSTR_EQUAL);
}

TEST(NlsCompare, OrderFollowsTheLocale) {
  EXPECT_EQ(cmp(0x409, 0, u"a", u"B"), CSTR_LESS_THAN);
  EXPECT_EQ(cmp(0x409, 0, u"b", u"a"), CSTR_GREATER_THAN);
  EXPECT_EQ(cmp(0x41D, 0, u"ö", u"z"), CSTR_GREATER_THAN);  // Swedish: ö after z
  EXPECT_EQ(cmp(0x407, 0, u"ö", u"z"), CSTR_LESS_THAN);
  EXPECT_EQ(cmp(0x411, 0, u"", u""), CSTR_EQUAL);
  // Word sort keeps "co-op" beside "coop"; string sort puts the hyphen first.
  EXPECT_EQ(cmp(0x409, 0, u"co-op", u"cop"), CSTR_LESS_THAN);
  EXPECT_EQ(cmp(0x409, 0, u"coop", u"co-op") != CSTR_EQUAL, true);
  EXPECT_EQ(cmp(0x409, SORT_STRINGSORT, u"co-op", u"coa"), CSTR_LESS_THAN);
  EXPECT_EQ(cmp(0x409, 0, u"co-op", u"coa"), CSTR_GREATER_THAN);
  errno = 0;
  EXPECT_EQ(cmp(0x12345, 0, u"a", u"b"), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(cmp(0x411, 0x8, u"a", u"b"), 0);
}

// Orders that a change in how the folds run could shift: voiced and half-
// width kana, iteration marks, letters that fold to several (ß) or sit beyond
// the BMP, zero units and lone surrogates, marks and symbols.
TEST(NlsCompare, FoldedOrdersArePinned) {
  constexpr uint32_t IC = NORM_IGNORECASE, IW = NORM_IGNOREWIDTH, IK = NORM_IGNOREKANATYPE,
                     IN = NORM_IGNORENONSPACE, IS = NORM_IGNORESYMBOLS;
  const struct {
    uint32_t flags;
    String a, b;
    int withFlags, without;
  } cases[] = {
      {IW | IK, u"ｶﾞｯｺｳ", u"がっこう", CSTR_EQUAL, CSTR_GREATER_THAN},
      {IW, u"ｶﾞｯｺｳ", u"がっこう", CSTR_GREATER_THAN, CSTR_GREATER_THAN},
      {IK, u"ｶﾞｯｺｳ", u"がっこう", CSTR_GREATER_THAN, CSTR_GREATER_THAN},
      {IW, u"ｶ\u3099", u"ガ", CSTR_EQUAL, CSTR_GREATER_THAN},
      {IW, u"\u3000", u" ", CSTR_EQUAL, CSTR_GREATER_THAN},
      {IK, u"ゝ", u"ヽ", CSTR_EQUAL, CSTR_LESS_THAN},
      {IC, u"Straße", u"STRASSE", CSTR_EQUAL, CSTR_GREATER_THAN},
      {IC, u"\U00010400", u"\U00010428", CSTR_EQUAL, CSTR_GREATER_THAN},
      {IC, u"\u212A", u"k", CSTR_EQUAL, CSTR_GREATER_THAN},
      {IC, u"ǅ", u"ǆ", CSTR_EQUAL, CSTR_GREATER_THAN},
      {IC, String(u"A\0B", 3), String(u"a\0b", 3), CSTR_EQUAL, CSTR_GREATER_THAN},
      {IC, {0xD800, u'a'}, {0xD800, u'A'}, CSTR_EQUAL, CSTR_LESS_THAN},
      {IC, u"ＡＢＣ", u"ａｂｃ", CSTR_EQUAL, CSTR_GREATER_THAN},
      {IC, u"ＡＢＣ", u"abc", CSTR_GREATER_THAN, CSTR_GREATER_THAN},
      {IC | IW, u"ＡＢＣ", u"abc", CSTR_EQUAL, CSTR_GREATER_THAN},
      {IC | IW, u"ﬁ", u"FI", CSTR_EQUAL, CSTR_LESS_THAN},
      {IC | IW, u"ｱｲｳ", u"アイエ", CSTR_LESS_THAN, CSTR_LESS_THAN},
      {IC | IW, u"abc", u"ＡＢＤ", CSTR_LESS_THAN, CSTR_LESS_THAN},
      {IC | IW, u"ＡＢＤ", u"abc", CSTR_GREATER_THAN, CSTR_GREATER_THAN},
      {IC, u"É", u"e", CSTR_GREATER_THAN, CSTR_GREATER_THAN},
      {IC | IN, u"É", u"e", CSTR_EQUAL, CSTR_GREATER_THAN},
      {IN, u"ぱ", u"は", CSTR_EQUAL, CSTR_GREATER_THAN},
      {IN, u"ｶﾞ", u"ｶ", CSTR_GREATER_THAN, CSTR_GREATER_THAN},  // the half-width mark is no combining mark
      {IN | IW, u"ｶﾞ", u"ｶ", CSTR_EQUAL, CSTR_GREATER_THAN},
      {IS, u"データ・ベース", u"データベース", CSTR_EQUAL, CSTR_LESS_THAN},
      {IS, u"データーベース", u"データベース", CSTR_LESS_THAN, CSTR_LESS_THAN},  // the long-vowel mark is a letter
      {IS, u"Ａ－Ｂ", u"AB", CSTR_GREATER_THAN, CSTR_LESS_THAN},
      {IS | IW, u"Ａ－Ｂ", u"AB", CSTR_EQUAL, CSTR_LESS_THAN},
      {IC | IW | IK | IN | IS, u"ﾃﾞｰﾀ･ﾍﾞｰｽ", u"でーたべーす", CSTR_EQUAL, CSTR_LESS_THAN},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cmp(0x411, c.flags, c.a, c.b), c.withFlags) << std::hex << c.flags << " " << c.a.size();
    EXPECT_EQ(cmp(0x411, 0, c.a, c.b), c.without) << std::hex << c.flags << " " << c.a.size();
  }
}

// The folds answer from tables built from ICU's data; these hold only if
// ICU's data looks as the tables expect.
TEST(NlsCompare, FoldsAgreeWithIcuForEveryCharacter) {
  UErrorCode err = U_ZERO_ERROR;
  const UNormalizer2* nfkc = unorm2_getNFKCInstance(&err);
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    const int32_t type = u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE);
    if (type != U_DT_WIDE && type != U_DT_NARROW) continue;
    UChar ordinary[4];
    const int32_t n = unorm2_getRawDecomposition(nfkc, c, ordinary, 4, &err);
    ASSERT_EQ(n, 1) << std::hex << c;  // one BMP character
    String variant;
    variant += static_cast<char16_t>(c);
    EXPECT_EQ(NlsFoldWidth(variant), String(1, ordinary[0])) << std::hex << c;
  }
  for (UChar32 c = 0; c < 0x10000; ++c) {
    const UChar in = static_cast<UChar>(c);
    UChar folded[4];
    err = U_ZERO_ERROR;
    const int32_t n = u_strFoldCase(folded, 4, &in, 1, U_FOLD_CASE_DEFAULT, &err);
    ASSERT_EQ(NlsFoldCase(String(1, in)), String(reinterpret_cast<char16_t*>(folded), n)) << std::hex << c;
  }
  EXPECT_EQ(NlsFoldCase(u"ẞtraße \U00010400 ΐ"), u"sstrasse \U00010428 ι\u0308\u0301");
}

// Compares fold into buffers each thread keeps; long texts and several
// threads at once must not mix them up.
TEST(NlsCompare, LongTextsAndManyThreads) {
  const uint32_t flags = NORM_IGNORECASE | NORM_IGNOREWIDTH | NORM_IGNOREKANATYPE;
  String longA(40000, u'ｱ'), longB(40000, u'あ');
  EXPECT_EQ(cmp(0x411, flags, longA, longB), CSTR_EQUAL);
  longB.back() = u'い';
  EXPECT_EQ(cmp(0x411, flags, longA, longB), CSTR_LESS_THAN);
  EXPECT_EQ(cmp(0x411, flags, u"ＡＢ", u"ab"), CSTR_EQUAL);  // after the buffers were let go

  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      const String mine = String(static_cast<size_t>(t + 1), u'ｶ') + u"ﾞＸ";
      const String folded = String(static_cast<size_t>(t), u'か') + u"がx";
      for (int i = 0; i < 500; ++i)
        if (cmp(0x411, flags, mine, folded) != CSTR_EQUAL || cmp(0x411, flags, mine, u"カ") != CSTR_GREATER_THAN)
          ++bad;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
}

String lcmap(uint32_t flags, const String& s, LCID lcid = 0x411) {
  int n = LCMapStringW(lcid, flags, s.data(), static_cast<int>(s.size()), nullptr, 0);
  String out(n, u'\0');
  EXPECT_EQ(n, LCMapStringW(lcid, flags, s.data(), static_cast<int>(s.size()), out.data(), n));
  return out;
}

TEST(NlsMap, CaseWidthAndKana) {
  EXPECT_EQ(lcmap(LCMAP_UPPERCASE, u"abcäß"), u"ABCÄSS");
  EXPECT_EQ(lcmap(LCMAP_LOWERCASE, u"ABC"), u"abc");
  EXPECT_EQ(lcmap(LCMAP_UPPERCASE, u"i"), u"I");
  EXPECT_EQ(lcmap(LCMAP_UPPERCASE | LCMAP_LINGUISTIC_CASING, u"i", 0x41F), u"İ");
  EXPECT_EQ(lcmap(LCMAP_HALFWIDTH, u"ＡＢ　アガパ"), u"AB ｱｶﾞﾊﾟ");
  EXPECT_EQ(lcmap(LCMAP_FULLWIDTH, u"AB ｱｶﾞﾊﾟ"), u"ＡＢ　アガパ");
  EXPECT_EQ(lcmap(LCMAP_KATAKANA, u"あいう漢"), u"アイウ漢");
  EXPECT_EQ(lcmap(LCMAP_HIRAGANA, u"アイウヴ"), u"あいうゔ");
  EXPECT_EQ(lcmap(LCMAP_KATAKANA | LCMAP_HALFWIDTH, u"が"), u"ｶﾞ");
  EXPECT_EQ(LCMapStringW(0x411, LCMAP_UPPERCASE | LCMAP_LOWERCASE, u"a", 1, nullptr, 0), 0);
}

TEST(NlsVersion, CollatorVersionIsTheSortRuleVersion) {
  TNLSVersionInfoEx a, b;
  a.dwNLSVersionInfoSize = 32;
  ASSERT_TRUE(GetNLSVersionEx(0x411, a));
  EXPECT_NE(a.dwNLSVersion, 0u);
  EXPECT_EQ(a.dwEffectiveId, 0x411u);
  b.dwNLSVersionInfoSize = 12;
  b.guidCustomVersion.D1 = 7;  // beyond the short form: left alone
  ASSERT_TRUE(GetNLSVersionEx(LOCALE_SYSTEM_DEFAULT, b));
  EXPECT_EQ(b.dwNLSVersion, a.dwNLSVersion);
  EXPECT_EQ(b.guidCustomVersion.D1, 7u);
  TNLSVersionInfoEx bad;
  bad.dwNLSVersionInfoSize = 16;
  EXPECT_FALSE(GetNLSVersionEx(0x411, bad));
}

}  // namespace

// ---------------------------------------------------------------------------
// String folding

namespace {

String fold(uint32_t flags, const String& s) {
  const int n = FoldStringW(flags, s.data(), int(s.size()), nullptr, 0);
  EXPECT_GT(n, 0);
  String out(size_t(std::max(n, 0)), u'\0');
  EXPECT_EQ(n, FoldStringW(flags, s.data(), int(s.size()), out.data(), n));
  return out;
}

}  // namespace

TEST(NlsFoldString, FlagsMapAsNamed) {
  struct Case {
    uint32_t flags;
    String in, out;
  } cases[] = {
      {MAP_PRECOMPOSED, u"e\u0301t\u00e9", u"\u00e9t\u00e9"},
      {MAP_COMPOSITE, u"\u00e9", u"e\u0301"},
      {MAP_FOLDDIGITS, u"\u0663\u0669x\uff15", u"39x5"},
      {MAP_FOLDCZONE, u"\uff21\uf900", u"A\u8c48"},
      {MAP_EXPAND_LIGATURES, u"\ufb01\u00e6\u0152", u"fiaeOE"},
      {MAP_FOLDDIGITS | MAP_PRECOMPOSED, u"\u0661e\u0301", u"1\u00e9"},
  };
  for (const Case& c : cases) EXPECT_EQ(fold(c.flags, c.in), c.out) << std::hex << c.flags;
}

TEST(NlsFoldString, RefusesWhatWindowsRefusesAndShortBuffers) {
  const String a = u"abc";
  char16_t buf[8];
  for (uint32_t flags : {0u, 0x1u, MAP_PRECOMPOSED | MAP_COMPOSITE, MAP_EXPAND_LIGATURES | MAP_COMPOSITE}) {
    errno = 0;
    EXPECT_EQ(FoldStringW(flags, a.data(), 3, buf, 8), 0) << flags;
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(FoldStringW(MAP_PRECOMPOSED, a.data(), 0, buf, 8), 0);
  errno = 0;
  EXPECT_EQ(FoldStringW(MAP_PRECOMPOSED, a.data(), 3, buf, 2), 0);
  EXPECT_EQ(errno, ENOBUFS);
  // -1: the terminator is part of the source and of the answer.
  EXPECT_EQ(FoldStringW(MAP_PRECOMPOSED, u"e\u0301", -1, buf, 8), 2);
  EXPECT_EQ(buf[0], u'\u00e9');
  EXPECT_EQ(buf[1], u'\0');
}
