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
//
// Each fold writes its result into a buffer the caller owns (replacing what
// the buffer held), so that a compare can fold into buffers it keeps from one
// call to the next; the String-returning forms further down wrap them. Folds
// that call into ICU return false when ICU fails, which it does only when it
// runs out of memory.

const UNormalizer2* nfc() {
  UErrorCode err = U_ZERO_ERROR;
  return unorm2_getNFCInstance(&err);
}
const UNormalizer2* nfd() {
  UErrorCode err = U_ZERO_ERROR;
  return unorm2_getNFDInstance(&err);
}
const UNormalizer2* nfkc() {
  UErrorCode err = U_ZERO_ERROR;
  return unorm2_getNFKCInstance(&err);
}

const UChar* icuText(std::u16string_view s) { return reinterpret_cast<const UChar*>(s.data()); }
int32_t icuLength(std::u16string_view s) { return static_cast<int32_t>(s.size()); }

// Runs an ICU string function that writes into (dst, capacity) and answers
// the length it needs: first at a guessed capacity, again at the answered
// length when the guess was short. out holds the result, or nothing when ICU
// failed.
template <typename Run>
bool icuInto(String& out, size_t guess, Run run) {
  out.resize(std::min<size_t>(guess, INT32_MAX));
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = run(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &err);
  if (err == U_BUFFER_OVERFLOW_ERROR) {
    out.resize(static_cast<size_t>(n));
    err = U_ZERO_ERROR;
    n = run(reinterpret_cast<UChar*>(out.data()), n, &err);
  }
  out.resize(U_SUCCESS(err) ? static_cast<size_t>(n) : 0);
  return U_SUCCESS(err);
}

bool normalizeInto(const UNormalizer2* form, std::u16string_view s, String& out, size_t guess) {
  if (s.empty()) {
    out.clear();
    return true;
  }
  return icuInto(out, guess, [&](UChar* dst, int32_t cap, UErrorCode* err) {
    return unorm2_normalize(form, icuText(s), icuLength(s), dst, cap, err);
  });
}

// Full Unicode case folding by ICU; it lengthens a text only for a few
// letters (ß becomes ss), which the rerun at the answered length takes care of.
bool icuFoldCaseInto(std::u16string_view s, String& out) {
  if (s.empty()) {
    out.clear();
    return true;
  }
  return icuInto(out, s.size() + 8, [&](UChar* dst, int32_t cap, UErrorCode* err) {
    return u_strFoldCase(dst, cap, icuText(s), icuLength(s), U_FOLD_CASE_DEFAULT, err);
  });
}

// Full case folding maps each code point on its own, without context, so a
// table of the BMP answers it unit by unit. Built once from ICU: unit[c] is
// the folding of c, or 0 where that is no single BMP unit (the letters that
// fold to two or three, ß to ss) and for the surrogates, whose code points
// fold as a pair.
struct CaseFoldTable {
  std::unique_ptr<char16_t[]> unit{new char16_t[0x10000]};
  CaseFoldTable() {
    for (UChar32 c = 0; c < 0x10000; ++c) {
      const UChar in = static_cast<UChar>(c);
      UChar folded[4];
      UErrorCode err = U_ZERO_ERROR;
      const int32_t n = u_strFoldCase(folded, 4, &in, 1, U_FOLD_CASE_DEFAULT, &err);
      unit[c] = U_SUCCESS(err) && n == 1 && !U16_IS_SURROGATE(c) ? folded[0] : 0;
    }
  }
};
const char16_t* caseFoldUnits() {
  static const CaseFoldTable table;
  return table.unit.get();
}

// The table's answer; a text with a unit the table leaves open (and the rare
// text holding a zero unit) goes to ICU whole.
bool foldCaseInto(std::u16string_view s, String& out) {
  const char16_t* fold = caseFoldUnits();
  out.resize(s.size());
  char16_t* w = out.data();
  for (size_t i = 0; i < s.size(); ++i) {
    w[i] = fold[s[i]];
    if (w[i] == 0) return icuFoldCaseInto(s, out);
  }
  return true;
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
  const auto* p = icuText(s);
  const int32_t n = icuLength(s);
  for (int32_t i = 0; i < n;) {
    UChar32 c;
    U16_NEXT(p, i, n, c);
    f(c);
  }
}

// The single code point that a width variant stands for (its compatibility
// decomposition); -1 when c is no width variant of the given kind. Asks ICU;
// widthTarget below answers from a table built with it.
UChar32 icuWidthTarget(UChar32 c, int32_t decompositionType) {
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

// The width variants, built once from ICU's decompositions. Every character
// whose decomposition is <wide> or <narrow> is the ideographic space or lies
// in the half- and full-width block U+FF00..U+FFEF (a test checks this against
// ICU's data), and each stands for a BMP character.
struct WidthTables {
  static constexpr char16_t kBlockFirst = 0xFF00;
  static constexpr uint32_t kBlockSize = 0xF0;
  static constexpr char16_t kIdeographicSpace = 0x3000;
  struct Variant {
    UChar32 target = -1;  // the ordinary character, -1 for none
    int32_t kind = 0;     // U_DT_WIDE or U_DT_NARROW
  };
  Variant block[kBlockSize];
  Variant space;
  // The ordinary form of each unit of the block, 0 for none; one entry more,
  // always 0, answers every unit outside it.
  char16_t ordinary[kBlockSize + 1] = {};
  char16_t ordinarySpace = 0;
  std::unordered_map<UChar32, UChar32> toWide;    // ordinary char -> full-width form
  std::unordered_map<UChar32, UChar32> toNarrow;  // ordinary char -> half-width form

  WidthTables() {
    for (uint32_t i = 0; i < kBlockSize; ++i) add(kBlockFirst + i, block[i], ordinary[i]);
    add(kIdeographicSpace, space, ordinarySpace);
    if (ordinarySpace == 0) ordinarySpace = kIdeographicSpace;
  }
  void add(UChar32 c, Variant& v, char16_t& unit) {
    for (int32_t kind : {U_DT_WIDE, U_DT_NARROW})
      if (UChar32 t = icuWidthTarget(c, kind); t > 0 && t < 0x10000) v = {t, kind};
    if (v.kind == U_DT_WIDE) toWide.emplace(v.target, c);
    if (v.kind == U_DT_NARROW) toNarrow.emplace(v.target, c);
    unit = v.kind != 0 ? static_cast<char16_t>(v.target) : 0;
  }
  const Variant* find(UChar32 c) const {
    if (c >= kBlockFirst && c < UChar32{kBlockFirst} + UChar32{kBlockSize}) return &block[c - kBlockFirst];
    return c == kIdeographicSpace ? &space : nullptr;
  }
};
const WidthTables& widthTables() {
  static const WidthTables tables;
  return tables;
}

// The ordinary character behind a width variant of the given kind (either
// kind when 0); -1 when c is none.
UChar32 widthTarget(UChar32 c, int32_t kind = 0) {
  const WidthTables::Variant* v = widthTables().find(c);
  return v && v->target >= 0 && (kind == 0 || v->kind == kind) ? v->target : -1;
}

bool isVoicingMark(UChar32 c) { return c == 0x3099 || c == 0x309A; }

// Composes a voicing mark with the kana before it when the pair has a
// precomposed form (ｶﾞ becomes ガ, not カ plus a combining mark); false when
// c is no voicing mark or the pair has none.
bool composeVoicing(char16_t& previous, UChar32 c) {
  if (!isVoicingMark(c)) return false;
  const UChar32 composed = unorm2_composePair(nfc(), previous, c);
  if (composed < 0) return false;
  previous = static_cast<char16_t>(composed);
  return true;
}

void appendComposing(String& out, UChar32 c) {
  if (out.empty() || !composeVoicing(out.back(), c)) append(out, c);
}

// Works unit by unit: width variants and voicing marks are all in the BMP,
// and their ordinary forms are BMP characters too; a surrogate is copied as
// it stands. No text gets longer, so out is sized once. The lookups avoid
// branches, which mixed-script text would mispredict.
bool foldWidthInto(std::u16string_view s, String& out) {
  const WidthTables& tables = widthTables();
  out.resize(s.size());
  char16_t* w = out.data();
  size_t n = 0;
  for (char16_t c : s) {
    const uint32_t inBlock = std::min<uint32_t>(c - uint32_t{WidthTables::kBlockFirst}, WidthTables::kBlockSize);
    const char16_t ordinary = tables.ordinary[inBlock];
    c = ordinary != 0 ? ordinary : c;
    c = c == WidthTables::kIdeographicSpace ? tables.ordinarySpace : c;
    if (isVoicingMark(c) && n > 0 && composeVoicing(w[n - 1], c)) continue;
    w[n++] = c;
  }
  out.resize(n);
  return true;
}

// Shifts the units of one kana range onto the other (hiragana and katakana
// lie 0x60 apart, iteration marks included), without branches on the text.
bool shiftKanaInto(std::u16string_view s, String& out, char16_t first, char16_t last, char16_t markFirst,
                   int shift) {
  out.resize(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const uint32_t c = s[i];
    const bool kana = (c - first <= uint32_t{last} - first) | (c - markFirst <= 1u);
    out[i] = static_cast<char16_t>(c + (kana ? shift : 0));
  }
  return true;
}
bool hiraganaToKatakanaInto(std::u16string_view s, String& out) {
  return shiftKanaInto(s, out, 0x3041, 0x3096, 0x309D, 0x60);
}
bool katakanaToHiraganaInto(std::u16string_view s, String& out) {
  return shiftKanaInto(s, out, 0x30A1, 0x30F6, 0x30FD, -0x60);
}

template <typename Pred>
bool removeIfInto(std::u16string_view s, String& out, Pred drop) {
  out.clear();
  forEachCodePoint(s, [&](UChar32 c) {
    if (!drop(c)) append(out, c);
  });
  return true;
}

// Ignoring nonspacing marks takes three steps (decompose, drop the marks,
// compose again); each is a fold of its own so that the compare can run them
// through its two buffers.
bool decomposeInto(std::u16string_view s, String& out) { return normalizeInto(nfd(), s, out, 2 * s.size() + 4); }
bool composeInto(std::u16string_view s, String& out) { return normalizeInto(nfc(), s, out, s.size()); }
bool dropNonSpacingMarksInto(std::u16string_view s, String& out) {
  return removeIfInto(s, out, [](UChar32 c) { return u_charType(c) == U_NON_SPACING_MARK; });
}

bool dropSymbolsInto(std::u16string_view s, String& out) {
  return removeIfInto(s, out, [](UChar32 c) {
    const uint32_t mask = U_GC_P_MASK | U_GC_S_MASK | U_GC_Z_MASK;
    return (U_GET_GC_MASK(c) & mask) != 0;
  });
}

// Runs a fold into a fresh string; the text comes back unchanged should ICU fail.
String folded(bool (*fold)(std::u16string_view, String&), std::u16string_view s) {
  String out;
  return fold(s, out) ? out : String(s);
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

String NlsFoldCase(std::u16string_view s) { return folded(foldCaseInto, s); }
String NlsFoldWidth(std::u16string_view s) { return folded(foldWidthInto, s); }
String NlsHiraganaToKatakana(std::u16string_view s) { return folded(hiraganaToKatakanaInto, s); }
String NlsKatakanaToHiragana(std::u16string_view s) { return folded(katakanaToHiraganaInto, s); }

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
    const char16_t unit = static_cast<char16_t>(c);
    String d = c < 0x10000 ? folded(decomposeInto, std::u16string_view(&unit, 1)) : String();
    if (d.size() == 2 && isVoicingMark(d[1])) {
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

// ---------------------------------------------------------------------------
// Comparison

namespace {

// The buffers a thread's compares fold into: each text passes its folds
// through a pair of buffers in turn (a fold reads one and writes the other),
// so that once they have grown to the texts' length a compare allocates
// nothing. A buffer that a very long text made large is let go afterwards.
struct CompareBuffers {
  String a[2];
  String b[2];
  static constexpr size_t kKeptUnits = 16 * 1024;
  void trim() {
    for (String* pair : {a, b})
      for (int i = 0; i < 2; ++i)
        if (pair[i].capacity() > kKeptUnits) String().swap(pair[i]);
  }
};
thread_local CompareBuffers tCompareBuffers;

// The folds the flags ask for, applied to one text in turn.
class FoldChain {
 public:
  FoldChain(std::u16string_view text, String (&buffers)[2]) : text_(text), buffers_(buffers) {}

  // Applies the fold unless an earlier one failed; false once one has.
  bool apply(bool (*fold)(std::u16string_view, String&)) {
    if (!ok_) return false;
    String& out = buffers_[next_];
    ok_ = fold(text_, out);
    text_ = out;
    next_ ^= 1;
    return ok_;
  }
  std::u16string_view text() const { return text_; }
  bool ok() const { return ok_; }

 private:
  std::u16string_view text_;
  String (&buffers_)[2];
  int next_ = 0;
  bool ok_ = true;
};

// Folds in an order where no fold undoes another: width first (it may
// compose voiced kana), then kana type, marks, symbols and case last. 0, or
// the errno of the failure: ICU fails a fold only when it runs out of memory,
// and a folded text must still fit the collator's lengths.
int foldForCompare(uint32_t flags, std::u16string_view& text, String (&buffers)[2]) {
  FoldChain chain(text, buffers);
  if (flags & NORM_IGNOREWIDTH) chain.apply(foldWidthInto);
  if (flags & NORM_IGNOREKANATYPE) chain.apply(hiraganaToKatakanaInto);
  if (flags & NORM_IGNORENONSPACE) {
    chain.apply(decomposeInto);
    chain.apply(dropNonSpacingMarksInto);
    chain.apply(composeInto);
  }
  if (flags & NORM_IGNORESYMBOLS) chain.apply(dropSymbolsInto);
  if (flags & NORM_IGNORECASE) chain.apply(foldCaseInto);
  text = chain.text();
  return !chain.ok() ? ENOMEM : text.size() > INT32_MAX ? EINVAL : 0;
}

}  // namespace

int CompareStringW(LCID locale, uint32_t flags, std::u16string_view a, std::u16string_view b) {
  constexpr uint32_t kKnown = NORM_IGNORECASE | NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS | SORT_STRINGSORT |
                              NORM_IGNOREKANATYPE | NORM_IGNOREWIDTH;
  if ((flags & ~kKnown) || a.size() > INT32_MAX || b.size() > INT32_MAX) return fail(EINVAL);
  UCollator* coll = collatorFor(ConvertDefaultLocale(locale), (flags & SORT_STRINGSORT) != 0);
  if (!coll) return fail(EINVAL);
  CompareBuffers& buffers = tCompareBuffers;
  if (flags & ~SORT_STRINGSORT) {
    int error = foldForCompare(flags, a, buffers.a);
    if (error == 0) error = foldForCompare(flags, b, buffers.b);
    if (error != 0) {
      buffers.trim();
      return fail(error);
    }
  }
  const UCollationResult r = ucol_strcoll(coll, icuText(a), icuLength(a), icuText(b), icuLength(b));
  buffers.trim();
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
    auto map = (flags & LCMAP_UPPERCASE) ? u_strToUpper : u_strToLower;
    String out;
    if (!icuInto(out, text.size() + 8, [&](UChar* d, int32_t cap, UErrorCode* err) {
          return map(d, cap, icuText(text), icuLength(text), icu.c_str(), err);
        }))
      return fail(ENOMEM);
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
// String folding

namespace {

// The compatibility decomposition of c, recomposed (NFKC of c alone); false
// when c has none.
bool compatibilityForm(UChar32 c, String& out) {
  if (u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE) == U_DT_NONE) return false;
  String one;
  append(one, c);
  return normalizeInto(nfkc(), one, out, 8) && !out.empty();
}

bool isLigature(UChar32 c) {
  if (c == 0x00C6 || c == 0x00E6 || c == 0x0152 || c == 0x0153) return true;
  if (u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE) != U_DT_COMPAT) return false;
  char name[128];
  UErrorCode err = U_ZERO_ERROR;
  u_charName(c, U_UNICODE_CHAR_NAME, name, sizeof name, &err);
  return U_SUCCESS(err) && std::strstr(name, "LIGATURE") != nullptr;
}

void expandLigature(UChar32 c, String& out) {
  switch (c) {
    case 0x00C6: out += u"AE"; return;
    case 0x00E6: out += u"ae"; return;
    case 0x0152: out += u"OE"; return;
    case 0x0153: out += u"oe"; return;
  }
  String one, expanded;
  append(one, c);
  UErrorCode err = U_ZERO_ERROR;
  const UNormalizer2* nfkd = unorm2_getNFKDInstance(&err);
  if (U_SUCCESS(err) && normalizeInto(nfkd, one, expanded, 8))
    out += expanded;
  else
    out += one;
}

// The per-character folds of the flags. A character whose fold ICU fails
// to give (out of memory) stays as it is.
void foldCharacters(uint32_t flags, std::u16string_view s, String& out) {
  out.clear();
  out.reserve(s.size());
  forEachCodePoint(s, [&](UChar32 c) {
    if ((flags & MAP_FOLDCZONE) && c >= 0xF900 && c <= 0xFFEF) {
      String folded;
      if (compatibilityForm(c, folded)) {
        out += folded;
        return;
      }
    }
    if ((flags & MAP_FOLDDIGITS)) {
      const int32_t type = u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE);
      const int32_t digit = u_charDigitValue(c);
      if ((type == U_NT_DECIMAL || type == U_NT_DIGIT) && digit >= 0 && digit <= 9) {
        out += static_cast<char16_t>(u'0' + digit);
        return;
      }
    }
    if ((flags & MAP_EXPAND_LIGATURES) && isLigature(c)) {
      expandLigature(c, out);
      return;
    }
    append(out, c);
  });
}

}  // namespace

int FoldStringW(uint32_t flags, const char16_t* src, int srcLen, char16_t* dst, int dstLen) {
  constexpr uint32_t kKnown = MAP_FOLDCZONE | MAP_PRECOMPOSED | MAP_COMPOSITE | MAP_FOLDDIGITS | MAP_EXPAND_LIGATURES;
  auto both = [flags](uint32_t x, uint32_t y) { return (flags & x) && (flags & y); };
  if (flags == 0 || (flags & ~kKnown) || both(MAP_PRECOMPOSED, MAP_COMPOSITE) ||
      both(MAP_EXPAND_LIGATURES, MAP_PRECOMPOSED | MAP_COMPOSITE) || !src || srcLen == 0 || srcLen < -1 ||
      dstLen < 0 || (dstLen > 0 && !dst))
    return fail(EINVAL);
  // With -1 the terminator belongs to the source and comes out again.
  const std::u16string_view source = srcLen == -1
                                         ? std::u16string_view(src, std::char_traits<char16_t>::length(src) + 1)
                                         : std::u16string_view(src, srcLen);
  String text;
  if (flags & (MAP_FOLDCZONE | MAP_FOLDDIGITS | MAP_EXPAND_LIGATURES)) {
    foldCharacters(flags, source, text);
  } else {
    text.assign(source);
  }
  if (flags & (MAP_PRECOMPOSED | MAP_COMPOSITE)) {
    String normalized;
    if (!normalizeInto((flags & MAP_PRECOMPOSED) ? nfc() : nfd(), text, normalized, text.size() + 8))
      return fail(ENOMEM);
    text = std::move(normalized);
  }
  if (text.size() > INT32_MAX) return fail(EINVAL);
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
