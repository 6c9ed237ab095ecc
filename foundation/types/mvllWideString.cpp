// Engine foundation: wide strings, code pages and locales (see the header).
#include "foundation/types/mvllWideString.h"

#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllFastStringList.h"
#include "foundation/sync/mvllSync.h"

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

// English names of the locales the system lists, by locale id. Where a
// locale is in this table its name comes from here, not from ICU.
struct LocaleNameRow {
  LCID id;
  const char16_t* name;
};
constexpr LocaleNameRow kLocaleNames[] = {
    {0x436, u"Afrikaans"},
    {0x41C, u"Albanian"},
    {0x1401, u"Arabic (Algeria)"},
    {0x3C01, u"Arabic (Bahrain)"},
    {0xC01, u"Arabic (Egypt)"},
    {0x801, u"Arabic (Iraq)"},
    {0x2C01, u"Arabic (Jordan)"},
    {0x3401, u"Arabic (Kuwait)"},
    {0x3001, u"Arabic (Lebanon)"},
    {0x1001, u"Arabic (Libya)"},
    {0x1801, u"Arabic (Morocco)"},
    {0x2001, u"Arabic (Oman)"},
    {0x4001, u"Arabic (Qatar)"},
    {0x401, u"Arabic (Saudi Arabia)"},
    {0x2801, u"Arabic (Syria)"},
    {0x1C01, u"Arabic (Tunisia)"},
    {0x3801, u"Arabic (U.A.E.)"},
    {0x2401, u"Arabic (Yemen)"},
    {0x42B, u"Armenian"},
    {0x82C, u"Azeri (Cyrillic)"},
    {0x42C, u"Azeri (Latin)"},
    {0x42D, u"Basque"},
    {0x423, u"Belarusian"},
    {0x402, u"Bulgarian"},
    {0x403, u"Catalan"},
    {0xC04, u"Chinese (Hong Kong S.A.R.) Stroke Count"},
    {0x1404, u"Chinese (Macau S.A.R.) Pronunciation"},
    {0x21404, u"Chinese (Macau S.A.R.) Stroke Count"},
    {0x804, u"Chinese (PRC) Pronunciation"},
    {0x20804, u"Chinese (PRC) Stroke Count"},
    {0x1004, u"Chinese (Singapore) Pronunciation"},
    {0x21004, u"Chinese (Singapore) Stroke Count"},
    {0x30404, u"Chinese (Taiwan) Bopomofo"},
    {0x404, u"Chinese (Taiwan) Stroke Count"},
    {0x41A, u"Croatian"},
    {0x405, u"Czech"},
    {0x406, u"Danish"},
    {0x465, u"Divehi"},
    {0x813, u"Dutch (Belgium)"},
    {0x413, u"Dutch (Netherlands)"},
    {0xC09, u"English (Australia)"},
    {0x2809, u"English (Belize)"},
    {0x1009, u"English (Canada)"},
    {0x2409, u"English (Caribbean)"},
    {0x1809, u"English (Ireland)"},
    {0x2009, u"English (Jamaica)"},
    {0x1409, u"English (New Zealand)"},
    {0x3409, u"English (Philippines)"},
    {0x1C09, u"English (South Africa)"},
    {0x2C09, u"English (Trinidad)"},
    {0x809, u"English (United Kingdom)"},
    {0x409, u"English (United States)"},
    {0x3009, u"English (Zimbabwe)"},
    {0x425, u"Estonian"},
    {0x438, u"Faroese"},
    {0x429, u"Farsi"},
    {0x40B, u"Finnish"},
    {0x80C, u"French (Belgium)"},
    {0xC0C, u"French (Canada)"},
    {0x40C, u"French (France)"},
    {0x140C, u"French (Luxembourg)"},
    {0x180C, u"French (Monaco)"},
    {0x100C, u"French (Switzerland)"},
    {0x42F, u"FYRO Macedonian"},
    {0x456, u"Galician"},
    {0x10437, u"Georgian Modern"},
    {0x437, u"Georgian Traditional"},
    {0xC07, u"German (Austria)"},
    {0x407, u"German (Germany) Dictionary"},
    {0x10407, u"German (Germany) Phone Book (DIN)"},
    {0x1407, u"German (Liechtenstein)"},
    {0x1007, u"German (Luxembourg)"},
    {0x807, u"German (Switzerland)"},
    {0x408, u"Greek"},
    {0x447, u"Gujarati"},
    {0x40D, u"Hebrew"},
    {0x439, u"Hindi"},
    {0x40E, u"Hungarian"},
    {0x1040E, u"Hungarian Technical"},
    {0x40F, u"Icelandic"},
    {0x421, u"Indonesian"},
    {0x410, u"Italian (Italy)"},
    {0x810, u"Italian (Switzerland)"},
    {0x411, u"Japanese XJIS"},
    {0x44B, u"Kannada"},
    {0x43F, u"Kazakh"},
    {0x457, u"Konkani"},
    {0x412, u"Korean Dictionary"},
    {0x440, u"Kyrgyz (Cyrillic)"},
    {0x426, u"Latvian"},
    {0x427, u"Lithuanian"},
    {0x83E, u"Malay (Brunei Darussalam)"},
    {0x43E, u"Malay (Malaysia)"},
    {0x44E, u"Marathi"},
    {0x450, u"Mongolian (Cyrillic)"},
    {0x414, u"Norwegian (Bokmal)"},
    {0x814, u"Norwegian (Nynorsk)"},
    {0x415, u"Polish"},
    {0x416, u"Portuguese (Brazil)"},
    {0x816, u"Portuguese (Portugal)"},
    {0x446, u"Punjabi"},
    {0x418, u"Romanian"},
    {0x419, u"Russian"},
    {0x44F, u"Sanskrit"},
    {0xC1A, u"Serbian (Cyrillic)"},
    {0x81A, u"Serbian (Latin)"},
    {0x41B, u"Slovak"},
    {0x424, u"Slovenian"},
    {0x2C0A, u"Spanish (Argentina)"},
    {0x400A, u"Spanish (Bolivia)"},
    {0x340A, u"Spanish (Chile)"},
    {0x240A, u"Spanish (Colombia)"},
    {0x140A, u"Spanish (Costa Rica)"},
    {0x1C0A, u"Spanish (Dominican Republic)"},
    {0x300A, u"Spanish (Ecuador)"},
    {0x440A, u"Spanish (El Salvador)"},
    {0x100A, u"Spanish (Guatemala)"},
    {0x480A, u"Spanish (Honduras)"},
    {0xC0A, u"Spanish (International Sort) International"},
    {0x80A, u"Spanish (Mexico)"},
    {0x4C0A, u"Spanish (Nicaragua)"},
    {0x180A, u"Spanish (Panama)"},
    {0x3C0A, u"Spanish (Paraguay)"},
    {0x280A, u"Spanish (Peru)"},
    {0x500A, u"Spanish (Puerto Rico)"},
    {0x40A, u"Spanish (Traditional Sort) Traditional"},
    {0x380A, u"Spanish (Uruguay)"},
    {0x200A, u"Spanish (Venezuela)"},
    {0x441, u"Swahili"},
    {0x41D, u"Swedish"},
    {0x81D, u"Swedish (Finland)"},
    {0x45A, u"Syriac"},
    {0x449, u"Tamil"},
    {0x444, u"Tatar"},
    {0x44A, u"Telugu"},
    {0x41E, u"Thai"},
    {0x41F, u"Turkish"},
    {0x422, u"Ukrainian"},
    {0x420, u"Urdu"},
    {0x843, u"Uzbek (Cyrillic)"},
    {0x443, u"Uzbek (Latin)"},
    {0x42A, u"Vietnamese"},
};

const char16_t* tableName(LCID id) {
  for (const auto& row : kLocaleNames)
    if (row.id == id) return row.name;
  return nullptr;
}

}  // namespace

const TFormatSettings& mvInvariantFormatSettings() {
  static const TFormatSettings settings = GetLocaleFormatSettings(LOCALE_INVARIANT);
  return settings;
}

void mvRaiseNlsError(const String& aAction) { throw mvCreateOSExceptionText(0, aAction); }

// ---------------------------------------------------------------------------
// Conversions: one pass of the converter into a result sized for the worst
// case and trimmed (a length query would run the converter twice). Every
// failure a length query could meet meets the single pass instead, so it
// carries the action text of the length query's step, "/1".

namespace {

TmvWideString toWide(const char* src, int32_t len, uint16_t codePage, const char16_t* routine) {
  TmvWideString out;
  if (len <= 0) return out;
  const uint32_t cp = codePage == 0 ? mvDefaultCodePage : codePage;
  if (!NlsMultiByteToWide(cp, std::string_view(src, static_cast<size_t>(len)), out))
    mvRaiseNlsError(String(routine) + u"/MultiByteToWideChar/1");
  return out;
}

template <typename Out>
Out fromWide(const char16_t* src, int32_t len, uint16_t codePage, const char16_t* routine) {
  Out out;
  if (len <= 0) return out;
  const uint32_t cp = codePage == 0 ? mvDefaultCodePage : codePage;
  if (!NlsWideToMultiByte(cp, std::u16string_view(src, static_cast<size_t>(len)), out))
    mvRaiseNlsError(String(routine) + u"/WideCharToMultiByte/1");
  return out;
}

}  // namespace

TmvWideString mvStringToWideString(const AnsiString& aText, uint16_t aCodePage) {
  return toWide(aText.data(), static_cast<int32_t>(aText.size()), aCodePage, u"mvStringToWideString");
}

TmvWideString mvBytesToWideString(const void* aBuffer, int32_t aLength, uint16_t aCodePage) {
  return toWide(static_cast<const char*>(aBuffer), aLength, aCodePage, u"mvBytesToWideString");
}

AnsiString mvWideStringToString(std::u16string_view aText, uint16_t aCodePage) {
  return fromWide<AnsiString>(aText.data(), static_cast<int32_t>(aText.size()), aCodePage,
                              u"mvWideStringToString");
}

void mvWideStringToString(std::u16string_view aText, uint16_t aCodePage, TBytes& aBytes) {
  aBytes = fromWide<TBytes>(aText.data(), static_cast<int32_t>(aText.size()), aCodePage, u"mvWideStringToString");
}

TBytes mvWideStringBufferToBytes(const char16_t* aBuffer, int32_t aCount, uint16_t aCodePage) {
  return fromWide<TBytes>(aBuffer, aCount, aCodePage, u"mvWideStringBufferToBytes");
}

AnsiString mvWideStringBufferToString(const char16_t* aBuffer, int32_t aCount, uint16_t aCodePage) {
  return fromWide<AnsiString>(aBuffer, aCount, aCodePage, u"mvWideStringBufferToString");
}

TmvWideString mvStringToWideArray(const AnsiString& aText) {
  TmvWideString out(aText.size(), u'\0');
  for (size_t i = 0; i < aText.size(); ++i) out[i] = static_cast<unsigned char>(aText[i]);
  return out;
}

TmvWideString mvUnicodeToWideArray(std::u16string_view aText) { return TmvWideString(aText); }
TmvWideString mvWideStringToWideArray(std::u16string_view aText) { return TmvWideString(aText); }
String mvWideArrayToWideString(const TmvWideString& aArray) { return aArray; }

AnsiString mvWideArrayToString(const TmvWideString& aArray) {
  AnsiString out(aArray.size(), '\0');
  for (size_t i = 0; i < aArray.size(); ++i) out[i] = static_cast<char>(aArray[i] & 0xFF);
  return out;
}

TmvWideString mvWideArrayConcat(const TmvWideString& a, const TmvWideString& b) { return a + b; }

TmvWideString mvWideArrayAppendChar(const TmvWideString& aArray, char16_t aChar) { return aArray + aChar; }

String mvWideQuotedStr(std::u16string_view aText, char16_t aQuote) {
  String out(1, aQuote);
  for (char16_t c : aText) {
    out += c;
    if (c == aQuote) out += c;
  }
  out += aQuote;
  return out;
}

String mvWideLCMapString(std::u16string_view aText, LCID aLocale, uint32_t aFlags) {
  if (aText.empty()) return {};
  const int len = static_cast<int>(aText.size());
  const int n = LCMapStringW(aLocale, aFlags, aText.data(), len, nullptr, 0);
  if (n == 0) mvRaiseNlsError(u"mvWideLCMapString/LCMapStringW/1");
  String out(n, u'\0');
  if (LCMapStringW(aLocale, aFlags, aText.data(), len, out.data(), n) == 0)
    mvRaiseNlsError(u"mvWideLCMapString/LCMapStringW/2");
  return out;
}

// ---------------------------------------------------------------------------
// Code pages and locales

namespace {

int32_t decimalOrMinusOne(const String& s) {
  if (s.empty() || s.size() > 9) return -1;
  int32_t v = 0;
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return -1;
    v = v * 10 + (c - u'0');
  }
  return v;
}

struct ThreadCodePage {
  LCID locale = 0xFFFFFFFF;
  int32_t codePage = -1;
};
thread_local ThreadCodePage tCodePage;

void* asObject(uint32_t v) { return reinterpret_cast<void*>(static_cast<uintptr_t>(v)); }
uint32_t fromObject(void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

std::unique_ptr<TStringList> newNameList() {
  auto list = std::make_unique<TStringList>();
  list->SetDuplicates(dupIgnore);
  list->SetSorted(true);
  return list;
}

// The name of a locale outside the table: its language name, and the name
// of its sort order when that is not the default one.
String systemLocaleName(LCID id) {
  String name = GetLocaleInfoText(id, LOCALE_SLANGUAGE);
  String sort = GetLocaleInfoText(id, LOCALE_SSORTNAME);
  if (!sort.empty() && sort != u"Default") name += u" " + sort;
  size_t b = name.find_first_not_of(u' '), e = name.find_last_not_of(u' ');
  return b == String::npos ? String() : name.substr(b, e - b + 1);
}

// The text between the first "(" and the following ")", when there is one.
String codePageDisplayName(const String& info) {
  const size_t open = info.find(u'(');
  if (open == String::npos) return info;
  const size_t close = info.find(u')', open + 1);
  return info.substr(open + 1, close == String::npos ? String::npos : close - open - 1);
}

int32_t objectOf(const TStringList& list, const String& name) {
  int32_t index = list.IndexOf(name);
  return index < 0 ? -1 : static_cast<int32_t>(fromObject(list.GetObject(index)));
}

String nameOf(const TStringList& list, uint32_t value) {
  for (int32_t i = 0; i < list.Count(); ++i)
    if (fromObject(list.GetObject(i)) == value) return list[i];
  return u"<Unknown>";
}

bool hasObject(const TStringList& list, uint32_t value) { return nameOf(list, value) != u"<Unknown>"; }

}  // namespace

int32_t mvThreadAnsiCodePage() {
  const LCID locale = GetThreadLocale();
  if (tCodePage.locale != locale) {
    tCodePage.codePage = decimalOrMinusOne(GetLocaleInfoText(locale, LOCALE_IDEFAULTANSICODEPAGE));
    tCodePage.locale = locale;
  }
  return tCodePage.codePage;
}

uint16_t mvLocaleAnsiCodePage(LCID aLocale) {
  int32_t cp = decimalOrMinusOne(GetLocaleInfoText(aLocale, LOCALE_IDEFAULTANSICODEPAGE));
  return cp < 0 ? 0 : static_cast<uint16_t>(cp);
}

uint16_t mvLocaleCodePageOrDefault(LCID aLocale) {
  uint16_t cp = mvLocaleAnsiCodePage(aLocale);
  return cp != 0 ? cp : mvDefaultCodePage;
}

const TStringList& mvSystemLocales() {
  // A function-local static is built once under the runtime's own lock, and
  // readers that find it built take no lock: the padlock's double check.
  static const std::unique_ptr<TStringList> list = [] {
    auto l = newNameList();
    const std::vector<LCID>* ids = &NlsSupportedLocales(true);
    if (ids->empty()) ids = &NlsSupportedLocales(false);
    for (LCID id : *ids) {
      const char16_t* name = tableName(id);
      String n = name ? String(name) : systemLocaleName(id);
      if (!n.empty()) l->AddObject(n, asObject(id));
    }
    return l;
  }();
  return *list;
}

const TStringList& mvSystemCodePages() {
  static const std::unique_ptr<TStringList> list = [] {
    auto l = newNameList();
    for (uint32_t cp : NlsSupportedCodePages()) {
      String info;
      if (GetCPInfoExName(cp, info)) l->AddObject(codePageDisplayName(info), asObject(cp));
    }
    return l;
  }();
  return *list;
}

bool mvIsValidLocale(LCID aLocale) { return hasObject(mvSystemLocales(), aLocale); }
bool mvIsValidCodePage(uint32_t aCodePage) { return hasObject(mvSystemCodePages(), aCodePage); }
int32_t mvLocaleFromName(const String& aName) { return objectOf(mvSystemLocales(), aName); }
String mvLocaleName(LCID aLocale) { return nameOf(mvSystemLocales(), aLocale); }
int32_t mvCodePageFromName(const String& aName) { return objectOf(mvSystemCodePages(), aName); }
String mvCodePageName(uint32_t aCodePage) { return nameOf(mvSystemCodePages(), aCodePage); }

void mvGetLocaleNlsVersion(LCID aLocale, TNLSVersionInfoEx& aVersion) {
  aVersion = TNLSVersionInfoEx{};
  aVersion.dwEffectiveId = aLocale;
  aVersion.dwNLSVersionInfoSize = sizeof(TNLSVersionInfoEx);
  if (!GetNLSVersionEx(aLocale, aVersion)) {
    aVersion.dwNLSVersionInfoSize = 12;
    GetNLSVersionEx(aLocale, aVersion);
  }
  if (!mvIsValidLocale(aVersion.dwEffectiveId)) aVersion.dwEffectiveId = 0;
}

namespace {

// One locale's settings, owned by the cache list.
struct TmvLocaleFormatSettings : TmvObject {
  explicit TmvLocaleFormatSettings(TFormatSettings aSettings) : Settings(std::move(aSettings)) {}
  TFormatSettings Settings;
};

// Keyed by the decimal text of the locale id, as the engine always kept it.
// Entries are only added while the unit runs, so references stay valid
// until it stops.
TmvPadlock* gFormatSettingsLock = nullptr;
TmvFastStringListCS* gFormatSettingsCache = nullptr;
uint32_t gFormatSettingsGeneration = 0;  // changed by the unit's stop only

}  // namespace

const TFormatSettings& mvLocaleFormatSettings(LCID aLocale) {
  struct Unlock {
    TmvPadlock* padlock;
    ~Unlock() { padlock->Unlock(); }
  } unlock{TmvPadlock::CreateAndLock(gFormatSettingsLock, true)};
  if (!gFormatSettingsCache) gFormatSettingsCache = new TmvFastStringListCS(dupError);
  const String key = IntToStr(aLocale);
  int32_t index = 0;
  if (gFormatSettingsCache->Find(key, index))
    return static_cast<TmvLocaleFormatSettings*>(gFormatSettingsCache->Objects(index))->Settings;
  auto entry = std::unique_ptr<TmvLocaleFormatSettings>(new TmvLocaleFormatSettings(GetLocaleFormatSettings(aLocale)));
  gFormatSettingsCache->AddObject(key, entry.get());
  return entry.release()->Settings;
}

void mvllWideStringInit() {
  mvDefaultCodePage = CP_THREAD_ACP;
  mvInvariantFormatSettings();
}

uint32_t mvLocaleFormatSettingsGeneration() { return __atomic_load_n(&gFormatSettingsGeneration, __ATOMIC_ACQUIRE); }

void mvllWideStringFini() {
  __atomic_add_fetch(&gFormatSettingsGeneration, 1, __ATOMIC_RELEASE);
  if (gFormatSettingsCache) {
    gFormatSettingsCache->Clear(true);
    delete gFormatSettingsCache;
    gFormatSettingsCache = nullptr;
  }
  delete gFormatSettingsLock;
  gFormatSettingsLock = nullptr;
}
