// Platform layer: Windows locale ids, locale information, comparison, locale
// mapping and sort-rule versions over ICU.
//
// A Windows locale id (LCID) becomes an ICU locale id through ICU's own LCID
// table, except for the alternative sort orders, which have a table of their
// own here. The locales this layer "supports" are those whose id survives the
// trip to ICU and back, plus those alternative sorts. The folds behind the
// compare flags are documented in Nls.h.
#include <unicode/ucol.h>
#include <unicode/udatpg.h>
#include <unicode/uchar.h>
#include <unicode/uloc.h>
#include <unicode/unorm2.h>
#include <unicode/unum.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "platform/Nls.h"

namespace {

std::atomic<LCID> gSystemLocale{0x0411};
thread_local LCID tThreadLocale = 0;  // 0: not set, follows the system default

// Alternative sort orders: ICU does not know these ids, or knows them under
// another locale.
struct AlternateSort {
  LCID id;
  const char* icuName;
  const char16_t* sortName;
};
constexpr AlternateSort kAlternateSorts[] = {
    {0x0040A, "es_ES@collation=traditional", u"Traditional"},
    {0x10407, "de_DE@collation=phonebook", u"Phone Book (DIN)"},
    {0x1040E, "hu_HU", u"Technical"},
    {0x10437, "ka_GE", u"Modern"},
    {0x20804, "zh_CN@collation=stroke", u"Stroke Count"},
    {0x21004, "zh_SG@collation=stroke", u"Stroke Count"},
    {0x21404, "zh_MO@collation=stroke", u"Stroke Count"},
    {0x30404, "zh_TW@collation=zhuyin", u"Bopomofo"},
};

const AlternateSort* findAlternateSort(LCID id) {
  for (const auto& a : kAlternateSorts)
    if (a.id == id) return &a;
  return nullptr;
}

// The ICU name of a locale id that round-trips through ICU's LCID table.
std::string icuNameOf(LCID id) {
  if (id == LOCALE_INVARIANT) return "root";
  if (const AlternateSort* alt = findAlternateSort(id)) return alt->icuName;
  if (id > 0xFFFF || ((id >> 10) & 0x3F) == 0) return {};  // sort ids and language-only ids
  char buf[ULOC_FULLNAME_CAPACITY];
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = uloc_getLocaleForLCID(id, buf, sizeof buf, &err);
  if (U_FAILURE(err) || n <= 0 || n >= static_cast<int32_t>(sizeof buf)) return {};
  buf[n] = 0;
  if (uloc_getLCID(buf) != id) return {};
  return buf;
}

String icuToString(const UChar* s, int32_t n) { return String(reinterpret_cast<const char16_t*>(s), n); }

std::string languageOf(const std::string& icu) {
  char buf[ULOC_LANG_CAPACITY];
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = uloc_getLanguage(icu.c_str(), buf, sizeof buf, &err);
  return U_SUCCESS(err) ? std::string(buf, n) : std::string();
}

// Windows gives the Chinese, Serbian, Azeri and Uzbek scripts by sublanguage;
// ICU's "likely subtags" answers the same question from the locale.
std::string scriptOf(const std::string& icu) {
  char max[ULOC_FULLNAME_CAPACITY], buf[ULOC_SCRIPT_CAPACITY];
  UErrorCode err = U_ZERO_ERROR;
  uloc_addLikelySubtags(icu.c_str(), max, sizeof max, &err);
  int32_t n = uloc_getScript(max, buf, sizeof buf, &err);
  return U_SUCCESS(err) ? std::string(buf, n) : std::string();
}

bool oneOf(const std::string& s, std::initializer_list<const char*> set) {
  for (const char* x : set)
    if (s == x) return true;
  return false;
}

// The ANSI code page Windows gives a language; 0 for the languages that
// Windows serves in Unicode only.
uint32_t ansiCodePageOf(const std::string& icu) {
  if (icu == "root") return 1252;
  const std::string lang = languageOf(icu);
  const std::string script = scriptOf(icu);
  if (lang == "ja") return 932;
  if (lang == "zh") return script == "Hant" ? 950 : 936;
  if (lang == "ko") return 949;
  if (lang == "th") return 874;
  if (lang == "vi") return 1258;
  if (lang == "el") return 1253;
  if (oneOf(lang, {"he", "yi"})) return 1255;
  if (oneOf(lang, {"ar", "fa", "ur", "ug", "ps", "prs", "ckb"})) return 1256;
  if (oneOf(lang, {"et", "lv", "lt"})) return 1257;
  if (oneOf(lang, {"tr", "az", "uz"})) return script == "Cyrl" ? 1251 : 1254;
  if (oneOf(lang, {"sr", "bs"})) return script == "Cyrl" ? 1251 : 1250;
  if (oneOf(lang, {"ru", "uk", "be", "bg", "mk", "kk", "ky", "mn", "tt", "ba", "sah", "tg"})) return 1251;
  if (oneOf(lang, {"cs", "hr", "hu", "pl", "ro", "sk", "sl", "sq", "hsb", "dsb", "tk"})) return 1250;
  if (oneOf(lang, {"hy", "ka", "hi", "gu", "ta", "te", "kn", "mr", "sa", "pa", "kok", "dv", "syr", "bn", "ml",
                   "or", "as", "ne", "si", "km", "lo", "am", "bo", "iu", "my", "ti", "chr", "ii", "mni", "sat"}))
    return 0;
  return 1252;
}

uint32_t oemCodePageOf(const std::string& icu) {
  switch (uint32_t ansi = ansiCodePageOf(icu)) {
    case 0:
      return 1;  // Windows' answer for Unicode-only locales
    case 932: case 936: case 949: case 950: case 874:
      return ansi;
    case 1251:
      return 866;
    case 1252:
      return 850;
    default:
      return 437;
  }
}

String englishDisplayName(const std::string& icu) {
  UChar buf[256];
  UErrorCode err = U_ZERO_ERROR;
  // The name without the collation keyword: the sort has a name of its own.
  char base[ULOC_FULLNAME_CAPACITY];
  uloc_getBaseName(icu.c_str(), base, sizeof base, &err);
  int32_t n = uloc_getDisplayName(base, "en", buf, 256, &err);
  return U_SUCCESS(err) ? icuToString(buf, n) : String();
}

String englishLanguageName(const std::string& icu) {
  UChar buf[256];
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = uloc_getDisplayLanguage(icu.c_str(), "en", buf, 256, &err);
  return U_SUCCESS(err) ? icuToString(buf, n) : String();
}

String sortNameOf(LCID id) {
  if (const AlternateSort* alt = findAlternateSort(id)) return alt->sortName;
  return u"Default";
}

String decimalText(uint32_t v) { return AsciiToString(std::to_string(v)); }

int fail(int error) {
  errno = error;
  return 0;
}

// Copies text into a Windows-style buffer (length query when bufLen is 0).
int copyOut(const String& text, char16_t* buf, int bufLen) {
  const int needed = static_cast<int>(text.size()) + 1;
  if (bufLen == 0) return needed;
  if (bufLen < needed || !buf) return fail(ENOBUFS);
  std::copy(text.begin(), text.end(), buf);
  buf[text.size()] = 0;
  return needed;
}

// ---------------------------------------------------------------------------
// Folds

const UNormalizer2* nfc() {
  UErrorCode err = U_ZERO_ERROR;
  return unorm2_getNFCInstance(&err);
}
const UNormalizer2* nfkc() {
  UErrorCode err = U_ZERO_ERROR;
  return unorm2_getNFKCInstance(&err);
}

String normalize(const UNormalizer2* form, std::u16string_view s) {
  if (s.empty()) return {};
  UErrorCode err = U_ZERO_ERROR;
  const auto* src = reinterpret_cast<const UChar*>(s.data());
  int32_t n = unorm2_normalize(form, src, static_cast<int32_t>(s.size()), nullptr, 0, &err);
  String out(n, u'\0');
  err = U_ZERO_ERROR;
  unorm2_normalize(form, src, static_cast<int32_t>(s.size()), reinterpret_cast<UChar*>(out.data()), n, &err);
  return U_SUCCESS(err) ? out : String(s);
}

String nfd(std::u16string_view s) {
  UErrorCode err = U_ZERO_ERROR;
  return normalize(unorm2_getNFDInstance(&err), s);
}

// Appends a code point as UTF-16.
void append(String& out, UChar32 c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    out += static_cast<char16_t>(U16_LEAD(c));
    out += static_cast<char16_t>(U16_TRAIL(c));
  }
}

template <typename F>
void forEachCodePoint(std::u16string_view s, F f) {
  const auto* p = reinterpret_cast<const UChar*>(s.data());
  const int32_t n = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < n;) {
    UChar32 c;
    U16_NEXT(p, i, n, c);
    f(c);
  }
}

// The single code point that a width variant stands for (its compatibility
// decomposition); -1 when c is no width variant of the given kind.
UChar32 widthTarget(UChar32 c, int32_t decompositionType) {
  if (u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE) != decompositionType) return -1;
  UChar buf[4];
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = unorm2_getRawDecomposition(nfkc(), c, buf, 4, &err);
  if (U_FAILURE(err) || n <= 0) return -1;
  UChar32 t;
  int32_t i = 0;
  U16_NEXT(buf, i, n, t);
  return i == n ? t : -1;
}

// Maps between the width forms, built once from ICU's decompositions of the
// half- and full-width block and the ideographic space.
struct WidthTables {
  std::unordered_map<UChar32, UChar32> toWide;    // ordinary char -> full-width form
  std::unordered_map<UChar32, UChar32> toNarrow;  // ordinary char -> half-width form
  WidthTables() {
    auto add = [&](UChar32 c) {
      if (UChar32 t = widthTarget(c, U_DT_WIDE); t >= 0) toWide.emplace(t, c);
      if (UChar32 t = widthTarget(c, U_DT_NARROW); t >= 0) toNarrow.emplace(t, c);
    };
    add(0x3000);
    for (UChar32 c = 0xFF00; c <= 0xFFEF; ++c) add(c);
  }
};
const WidthTables& widthTables() {
  static const WidthTables tables;
  return tables;
}

bool isVoicingMark(UChar32 c) { return c == 0x3099 || c == 0x309A; }

// Appends c, composing a voicing mark with the kana before it when the pair
// has a precomposed form (ｶﾞ becomes ガ, not カ plus a combining mark).
void appendComposing(String& out, UChar32 c) {
  if (isVoicingMark(c) && !out.empty()) {
    UChar32 composed = unorm2_composePair(nfc(), out.back(), c);
    if (composed >= 0) {
      out.back() = static_cast<char16_t>(composed);
      return;
    }
  }
  append(out, c);
}

template <typename Pred>
String removeIf(std::u16string_view s, Pred drop) {
  String out;
  out.reserve(s.size());
  forEachCodePoint(s, [&](UChar32 c) {
    if (!drop(c)) append(out, c);
  });
  return out;
}

String ignoreNonSpace(std::u16string_view s) {
  String stripped = removeIf(nfd(s), [](UChar32 c) { return u_charType(c) == U_NON_SPACING_MARK; });
  return normalize(nfc(), stripped);
}

String ignoreSymbols(std::u16string_view s) {
  return removeIf(s, [](UChar32 c) {
    const uint32_t mask = U_GC_P_MASK | U_GC_S_MASK | U_GC_Z_MASK;
    return (U_GET_GC_MASK(c) & mask) != 0;
  });
}

// ---------------------------------------------------------------------------
// Collators, per thread: ICU collators may be shared for comparison, but a
// thread-local cache needs no lock and keeps each thread's set small.

struct CollatorDeleter {
  void operator()(UCollator* c) const { ucol_close(c); }
};
using CollatorPtr = std::unique_ptr<UCollator, CollatorDeleter>;
thread_local std::unordered_map<uint64_t, CollatorPtr> tCollators;

UCollator* collatorFor(LCID locale, bool stringSort) {
  const uint64_t key = (uint64_t{locale} << 1) | (stringSort ? 1 : 0);
  if (auto it = tCollators.find(key); it != tCollators.end()) return it->second.get();
  const std::string icu = icuNameOf(locale);
  if (icu.empty()) return nullptr;
  UErrorCode err = U_ZERO_ERROR;
  CollatorPtr coll(ucol_open(icu.c_str(), &err));
  if (U_FAILURE(err)) return nullptr;
  ucol_setAttribute(coll.get(), UCOL_NORMALIZATION_MODE, UCOL_ON, &err);
  ucol_setAttribute(coll.get(), UCOL_STRENGTH, UCOL_IDENTICAL, &err);
  ucol_setAttribute(coll.get(), UCOL_ALTERNATE_HANDLING, stringSort ? UCOL_NON_IGNORABLE : UCOL_SHIFTED, &err);
  if (U_FAILURE(err)) return nullptr;
  return tCollators.emplace(key, std::move(coll)).first->second.get();
}

std::u16string_view viewOf(const char16_t* s, int len) {
  if (!s) return {};
  return len == -1 ? std::u16string_view(s) : std::u16string_view(s, static_cast<size_t>(len));
}

uint32_t packVersion(const UVersionInfo v) {
  return (uint32_t{v[0]} << 24) | (uint32_t{v[1]} << 16) | (uint32_t{v[2]} << 8) | v[3];
}

}  // namespace

// ---------------------------------------------------------------------------
// Process and thread locale

LCID GetSystemDefaultLCID() { return gSystemLocale.load(std::memory_order_relaxed); }

bool SetSystemDefaultLCID(LCID locale) {
  if (!IsValidLocale(locale)) return false;
  gSystemLocale.store(locale, std::memory_order_relaxed);
  return true;
}

LCID GetThreadLocale() { return tThreadLocale != 0 ? tThreadLocale : GetSystemDefaultLCID(); }

bool SetThreadLocale(LCID locale) {
  locale = ConvertDefaultLocale(locale);
  if (!IsValidLocale(locale)) return false;
  tThreadLocale = locale;
  return true;
}

LCID ConvertDefaultLocale(LCID locale) {
  if (locale == LOCALE_NEUTRAL || locale == LOCALE_USER_DEFAULT || locale == LOCALE_SYSTEM_DEFAULT)
    return GetSystemDefaultLCID();
  if ((locale & 0xFFFF) < 0x400 && locale != LOCALE_INVARIANT) {
    // A language without a sublanguage: its primary locale (sublanguage 1).
    LCID primary = (locale & 0x3FF) | 0x400;
    if (IsValidLocale(primary)) return primary;
  }
  return locale;
}

const std::vector<LCID>& NlsSupportedLocales(bool alternateSorts) {
  static const std::vector<LCID> primary = [] {
    std::vector<LCID> v;
    for (LCID id = 0x400; id <= 0xFFFF; ++id)
      if (!findAlternateSort(id) && !icuNameOf(id).empty()) v.push_back(id);
    return v;
  }();
  static const std::vector<LCID> withAlternates = [] {
    std::vector<LCID> v = primary;
    for (const auto& a : kAlternateSorts) v.push_back(a.id);
    std::sort(v.begin(), v.end());
    return v;
  }();
  return alternateSorts ? withAlternates : primary;
}

bool IsValidLocale(LCID locale) {
  const auto& all = NlsSupportedLocales(true);
  return std::binary_search(all.begin(), all.end(), locale);
}

std::string NlsIcuLocaleName(LCID locale) { return IsValidLocale(locale) || locale == LOCALE_INVARIANT ? icuNameOf(locale) : std::string(); }

int GetLocaleInfoW(LCID locale, LCTYPE type, char16_t* buf, int bufLen) {
  locale = ConvertDefaultLocale(locale);
  const std::string icu = NlsIcuLocaleName(locale);
  if (icu.empty() || bufLen < 0) return fail(EINVAL);
  switch (type & ~LOCALE_NOUSEROVERRIDE) {
    case LOCALE_SLANGUAGE:
      return copyOut(englishDisplayName(icu), buf, bufLen);
    case LOCALE_SENGLANGUAGE:
      return copyOut(englishLanguageName(icu), buf, bufLen);
    case LOCALE_IDEFAULTANSICODEPAGE:
      return copyOut(decimalText(ansiCodePageOf(icu)), buf, bufLen);
    case LOCALE_IDEFAULTCODEPAGE:
      return copyOut(decimalText(oemCodePageOf(icu)), buf, bufLen);
    case LOCALE_SSORTNAME:
      return copyOut(sortNameOf(locale), buf, bufLen);
    default:
      return fail(EINVAL);
  }
}

String GetLocaleInfoText(LCID locale, LCTYPE type) {
  int n = GetLocaleInfoW(locale, type, nullptr, 0);
  if (n <= 0) return {};
  String s(n, u'\0');
  n = GetLocaleInfoW(locale, type, s.data(), n);
  s.resize(n > 0 ? n - 1 : 0);
  return s;
}

// ---------------------------------------------------------------------------
// Format settings

namespace {

String numberSymbol(const UNumberFormat* fmt, UNumberFormatSymbol sym) {
  UChar buf[32];
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = unum_getSymbol(fmt, sym, buf, 32, &err);
  return U_SUCCESS(err) ? icuToString(buf, n) : String();
}

String bestPattern(const std::string& icu, const char16_t* skeleton) {
  UErrorCode err = U_ZERO_ERROR;
  UDateTimePatternGenerator* gen = udatpg_open(icu.c_str(), &err);
  if (U_FAILURE(err)) return {};
  UChar buf[64];
  int32_t n = udatpg_getBestPattern(gen, reinterpret_cast<const UChar*>(skeleton), -1, buf, 64, &err);
  udatpg_close(gen);
  return U_SUCCESS(err) ? icuToString(buf, n) : String();
}

char16_t firstSeparator(const String& pattern, char16_t fallback) {
  for (char16_t c : pattern)
    if (!(c >= u'a' && c <= u'z') && !(c >= u'A' && c <= u'Z')) return c;
  return fallback;
}

// Reads the currency layout from the locale's currency pattern: where the
// symbol stands and whether a blank separates it from the number.
void currencyLayout(const UNumberFormat* fmt, TFormatSettings& fs) {
  UChar buf[64];
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = unum_toPattern(fmt, false, buf, 64, &err);
  if (U_FAILURE(err)) return;
  String pat = icuToString(buf, n);
  pat = pat.substr(0, pat.find(u';'));
  const size_t sym = pat.find(u'\u00A4');
  if (sym == String::npos) return;
  const bool before = sym < pat.find_first_of(u"#0");
  const bool blank = before ? (sym + 1 < pat.size() && (pat[sym + 1] == u' ' || pat[sym + 1] == u'\u00A0'))
                            : (sym > 0 && (pat[sym - 1] == u' ' || pat[sym - 1] == u'\u00A0'));
  // The platform's codes: 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $"; the negative
  // forms with a leading minus that go with them: 1 "-$1", 5 "-1$", 9 "-$ 1", 8 "-1 $".
  static constexpr uint8_t kPositive[2][2] = {{1, 3}, {0, 2}};
  static constexpr uint8_t kNegative[2][2] = {{5, 8}, {1, 9}};
  fs.CurrencyFormat = kPositive[before][blank];
  fs.NegCurrFormat = kNegative[before][blank];
}

TFormatSettings invariantFormatSettings() {
  TFormatSettings fs;
  fs.DecimalSeparator = u'.';
  fs.ThousandSeparator = u',';
  fs.CurrencyString = u"\u00A4";
  fs.CurrencyFormat = 0;
  fs.NegCurrFormat = 0;
  fs.CurrencyDecimals = 2;
  fs.DateSeparator = u'/';
  fs.TimeSeparator = u':';
  fs.ShortDateFormat = u"MM/dd/yyyy";
  fs.LongTimeFormat = u"HH:mm:ss";
  return fs;
}

}  // namespace

TFormatSettings GetLocaleFormatSettings(LCID locale) {
  locale = ConvertDefaultLocale(locale);
  const std::string icu = NlsIcuLocaleName(locale);
  if (icu.empty() || icu == "root") return invariantFormatSettings();
  TFormatSettings fs = invariantFormatSettings();
  UErrorCode err = U_ZERO_ERROR;
  if (UNumberFormat* num = unum_open(UNUM_DECIMAL, nullptr, 0, icu.c_str(), nullptr, &err); U_SUCCESS(err)) {
    if (String s = numberSymbol(num, UNUM_DECIMAL_SEPARATOR_SYMBOL); s.size() == 1) fs.DecimalSeparator = s[0];
    if (String s = numberSymbol(num, UNUM_GROUPING_SEPARATOR_SYMBOL); s.size() == 1) fs.ThousandSeparator = s[0];
    unum_close(num);
  }
  err = U_ZERO_ERROR;
  if (UNumberFormat* cur = unum_open(UNUM_CURRENCY, nullptr, 0, icu.c_str(), nullptr, &err); U_SUCCESS(err)) {
    if (String s = numberSymbol(cur, UNUM_CURRENCY_SYMBOL); !s.empty()) fs.CurrencyString = s;
    fs.CurrencyDecimals = static_cast<uint8_t>(unum_getAttribute(cur, UNUM_MAX_FRACTION_DIGITS));
    currencyLayout(cur, fs);
    unum_close(cur);
  }
  // Dates: the locale's own arrangement of a four-digit year, month and day;
  // times on the 24-hour clock (the platform's format letters for hours,
  // minutes and seconds are ICU's for this skeleton).
  if (String d = bestPattern(icu, u"yyyyMMdd"); !d.empty()) {
    fs.ShortDateFormat = d;
    fs.DateSeparator = firstSeparator(d, u'/');
  }
  if (String t = bestPattern(icu, u"Hmmss"); !t.empty()) {
    fs.LongTimeFormat = t;
    fs.TimeSeparator = firstSeparator(t, u':');
  }
  return fs;
}

// ---------------------------------------------------------------------------
// Folds

String NlsFoldCase(std::u16string_view s) {
  if (s.empty()) return {};
  UErrorCode err = U_ZERO_ERROR;
  const auto* src = reinterpret_cast<const UChar*>(s.data());
  const int32_t len = static_cast<int32_t>(s.size());
  int32_t n = u_strFoldCase(nullptr, 0, src, len, U_FOLD_CASE_DEFAULT, &err);
  String out(n, u'\0');
  err = U_ZERO_ERROR;
  u_strFoldCase(reinterpret_cast<UChar*>(out.data()), n, src, len, U_FOLD_CASE_DEFAULT, &err);
  return out;
}

String NlsFoldWidth(std::u16string_view s) {
  String out;
  out.reserve(s.size());
  forEachCodePoint(s, [&](UChar32 c) {
    UChar32 t = widthTarget(c, U_DT_WIDE);
    if (t < 0) t = widthTarget(c, U_DT_NARROW);
    appendComposing(out, t < 0 ? c : t);
  });
  return out;
}

String NlsToHalfWidth(std::u16string_view s) {
  const auto& tables = widthTables();
  String out;
  out.reserve(s.size());
  forEachCodePoint(s, [&](UChar32 c) {
    if (UChar32 t = widthTarget(c, U_DT_WIDE); t >= 0) c = t;
    if (auto it = tables.toNarrow.find(c); it != tables.toNarrow.end()) {
      append(out, it->second);
      return;
    }
    // A voiced kana has no narrow form of its own: base plus narrow mark.
    String d = nfd(String(1, static_cast<char16_t>(c)));
    if (c < 0x10000 && d.size() == 2 && isVoicingMark(d[1])) {
      auto base = tables.toNarrow.find(d[0]);
      auto mark = tables.toNarrow.find(d[1]);
      if (base != tables.toNarrow.end() && mark != tables.toNarrow.end()) {
        append(out, base->second);
        append(out, mark->second);
        return;
      }
    }
    append(out, c);
  });
  return out;
}

String NlsToFullWidth(std::u16string_view s) {
  const auto& tables = widthTables();
  String out;
  out.reserve(s.size());
  forEachCodePoint(s, [&](UChar32 c) {
    if (UChar32 t = widthTarget(c, U_DT_NARROW); t >= 0) c = t;
    if (auto it = tables.toWide.find(c); it != tables.toWide.end()) c = it->second;
    appendComposing(out, c);
  });
  return out;
}

String NlsHiraganaToKatakana(std::u16string_view s) {
  String out(s);
  for (char16_t& c : out)
    if ((c >= 0x3041 && c <= 0x3096) || c == 0x309D || c == 0x309E) c = static_cast<char16_t>(c + 0x60);
  return out;
}

String NlsKatakanaToHiragana(std::u16string_view s) {
  String out(s);
  for (char16_t& c : out)
    if ((c >= 0x30A1 && c <= 0x30F6) || c == 0x30FD || c == 0x30FE) c = static_cast<char16_t>(c - 0x60);
  return out;
}

// ---------------------------------------------------------------------------
// Comparison

int CompareStringW(LCID locale, uint32_t flags, std::u16string_view a, std::u16string_view b) {
  constexpr uint32_t kKnown = NORM_IGNORECASE | NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS | SORT_STRINGSORT |
                              NORM_IGNOREKANATYPE | NORM_IGNOREWIDTH;
  if (flags & ~kKnown) return fail(EINVAL);
  UCollator* coll = collatorFor(ConvertDefaultLocale(locale), (flags & SORT_STRINGSORT) != 0);
  if (!coll) return fail(EINVAL);
  String fa, fb;
  if (flags & ~SORT_STRINGSORT) {
    // Fold in an order where no fold undoes another: width first (it may
    // compose voiced kana), then kana type, marks, symbols and case last.
    auto fold = [flags](std::u16string_view s) {
      String t(s);
      if (flags & NORM_IGNOREWIDTH) t = NlsFoldWidth(t);
      if (flags & NORM_IGNOREKANATYPE) t = NlsHiraganaToKatakana(t);
      if (flags & NORM_IGNORENONSPACE) t = ignoreNonSpace(t);
      if (flags & NORM_IGNORESYMBOLS) t = ignoreSymbols(t);
      if (flags & NORM_IGNORECASE) t = NlsFoldCase(t);
      return t;
    };
    fa = fold(a);
    fb = fold(b);
    a = fa;
    b = fb;
  }
  UCollationResult r = ucol_strcoll(coll, reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                                    reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()));
  return r == UCOL_LESS ? CSTR_LESS_THAN : r == UCOL_EQUAL ? CSTR_EQUAL : CSTR_GREATER_THAN;
}

int CompareStringW(LCID locale, uint32_t flags, const char16_t* a, int aLen, const char16_t* b, int bLen) {
  if ((!a && aLen != 0) || (!b && bLen != 0) || aLen < -1 || bLen < -1) return fail(EINVAL);
  return CompareStringW(locale, flags, viewOf(a, aLen), viewOf(b, bLen));
}

// ---------------------------------------------------------------------------
// Locale mapping

int LCMapStringW(LCID locale, uint32_t flags, const char16_t* src, int srcLen, char16_t* dst, int dstLen) {
  constexpr uint32_t kKnown = LCMAP_LOWERCASE | LCMAP_UPPERCASE | LCMAP_HIRAGANA | LCMAP_KATAKANA |
                              LCMAP_HALFWIDTH | LCMAP_FULLWIDTH | LCMAP_LINGUISTIC_CASING;
  auto both = [flags](uint32_t x, uint32_t y) { return (flags & x) && (flags & y); };
  if (flags == 0 || (flags & ~kKnown) || both(LCMAP_LOWERCASE, LCMAP_UPPERCASE) ||
      both(LCMAP_HIRAGANA, LCMAP_KATAKANA) || both(LCMAP_HALFWIDTH, LCMAP_FULLWIDTH) || !src || srcLen == 0 ||
      srcLen < -1 || dstLen < 0 || (dstLen > 0 && !dst))
    return fail(EINVAL);
  locale = ConvertDefaultLocale(locale);
  if (!IsValidLocale(locale) && locale != LOCALE_INVARIANT) return fail(EINVAL);
  // With -1 the terminator belongs to the source and comes out again.
  String text(srcLen == -1 ? std::u16string_view(src, std::char_traits<char16_t>::length(src) + 1)
                           : std::u16string_view(src, srcLen));
  if (flags & (LCMAP_LOWERCASE | LCMAP_UPPERCASE)) {
    const std::string icu = (flags & LCMAP_LINGUISTIC_CASING) ? icuNameOf(locale) : std::string();
    const auto* in = reinterpret_cast<const UChar*>(text.data());
    const int32_t len = static_cast<int32_t>(text.size());
    auto map = (flags & LCMAP_UPPERCASE) ? u_strToUpper : u_strToLower;
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = map(nullptr, 0, in, len, icu.c_str(), &err);
    String out(n, u'\0');
    err = U_ZERO_ERROR;
    map(reinterpret_cast<UChar*>(out.data()), n, in, len, icu.c_str(), &err);
    text = std::move(out);
  }
  // Kana type before width: only katakana has half-width forms.
  if (flags & LCMAP_KATAKANA) text = NlsHiraganaToKatakana(text);
  if (flags & LCMAP_HIRAGANA) text = NlsKatakanaToHiragana(text);
  if (flags & LCMAP_HALFWIDTH) text = NlsToHalfWidth(text);
  if (flags & LCMAP_FULLWIDTH) text = NlsToFullWidth(text);
  const int needed = static_cast<int>(text.size());
  if (dstLen == 0) return needed;
  if (dstLen < needed) return fail(ENOBUFS);
  std::copy(text.begin(), text.end(), dst);
  return needed;
}

// ---------------------------------------------------------------------------
// Version of the sort rules

bool GetNLSVersionEx(LCID locale, TNLSVersionInfoEx& info) {
  const uint32_t size = info.dwNLSVersionInfoSize;
  if (size != sizeof(TNLSVersionInfoEx) && size != 12) return fail(EINVAL);
  locale = ConvertDefaultLocale(locale);
  UCollator* coll = collatorFor(locale, false);
  if (!coll) return fail(EINVAL);
  UVersionInfo version, uca;
  ucol_getVersion(coll, version);
  ucol_getUCAVersion(coll, uca);
  info.dwNLSVersion = packVersion(version);
  info.dwDefinedVersion = packVersion(uca);
  info.dwEffectiveId = locale;
  if (size == sizeof(TNLSVersionInfoEx)) info.guidCustomVersion = TGUID{};
  return true;
}
