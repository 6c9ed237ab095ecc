// Platform layer: national-language support over ICU.
//
// The engine was written against the Windows NLS calls: code-page conversion
// (MultiByteToWideChar / WideCharToMultiByte), locale ids (LCIDs), locale-
// aware comparison with compare flags, locale mapping (case, width, kana),
// locale information and the version of a locale's sort rules. This header
// offers those calls with their Windows names and return conventions so that
// engine code keeps its shape; underneath sit ICU converters, collators, case
// mapping and normalisation. Nothing here calls into the engine.
//
// Failures return 0 (or false) and leave the reason in errno, which the
// engine's "last operating-system error" helpers read:
//   EINVAL   unknown code page or locale, bad flags or arguments
//   ENOBUFS  the output buffer is too small (Windows' insufficient buffer)
//
// Process settings: the "system ANSI code page" is 932 and the system default
// locale 0x411 (Japanese), as on the machines the program was made for. Tests
// may change both; each thread's locale starts as the system default locale.
//
// Thread safety: every call may be made from any thread. Converters,
// collators and the buffers that compares fold into are kept per thread; the
// locale and folding tables are built once.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/SysUtils.h"
#include "platform/System.h"

using LCID = uint32_t;
using LCTYPE = uint32_t;

// ---------------------------------------------------------------------------
// Code pages

inline constexpr uint32_t CP_ACP = 0;         // the system ANSI code page
inline constexpr uint32_t CP_OEMCP = 1;       // the system OEM code page
inline constexpr uint32_t CP_THREAD_ACP = 3;  // the calling thread's locale's ANSI code page
inline constexpr uint32_t CP_UTF8 = 65001;

// The process's ANSI code page (932 unless a test set another). Setting a code
// page that IsValidCodePage refuses is ignored and returns false.
uint32_t GetACP();
bool SetACP(uint32_t codePage);
uint32_t GetOEMCP();

// True for the code pages this layer can convert (see NlsSupportedCodePages).
bool IsValidCodePage(uint32_t codePage);

// The convertible code pages in ascending order (EnumSystemCodePages).
const std::vector<uint32_t>& NlsSupportedCodePages();

// The display name of a code page, in the Windows form "<number>  (<name>)";
// false for a code page that is not supported (GetCPInfoEx).
bool GetCPInfoExName(uint32_t codePage, String& name);

// The longest character of a code page in bytes (GetCPInfo's MaxCharSize):
// 1 for the single-byte pages, 2 for the double-byte ones (932, 936, 949,
// 950), more for UTF-8. The pseudo code pages resolve as for a conversion.
// False with errno EINVAL for a code page that is not supported.
bool GetCPMaxCharSize(uint32_t codePage, uint32_t& maxCharSize);

// Windows conversion contract. A source length of -1 means "up to and
// including the terminating zero". With an output size of 0 the call only
// reports the length it needs. Returns the number of units written (or
// needed); 0 on failure with errno set. flags must be 0.
// Characters that the target code page cannot express become '?' (U+FFFD for
// UTF-8, as Windows does); undefined byte sequences read as '?' likewise.
int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* src, int srcLen, char16_t* dst,
                        int dstLen);
int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* src, int srcLen, char* dst,
                        int dstLen);

// The same conversions into a string in one pass: the output is sized for
// the most the source can produce, converted once and trimmed. The result is
// what the two calls above give; an empty source gives an empty result
// without reaching the converter. false with errno EINVAL (and out empty) for
// an unknown code page or a source beyond 2^31 - 1 units. Each call counts as
// one conversion call.
bool NlsMultiByteToWide(uint32_t codePage, std::string_view src, String& out);
bool NlsWideToMultiByte(uint32_t codePage, std::u16string_view src, std::string& out);
bool NlsWideToMultiByte(uint32_t codePage, std::u16string_view src, std::vector<uint8_t>& out);

// How many conversion calls the calling thread has made; lets tests show that
// a path did not reach the converter.
uint64_t NlsConversionCallCount();

// ---------------------------------------------------------------------------
// Locales

inline constexpr LCID LOCALE_NEUTRAL = 0x0000;
inline constexpr LCID LOCALE_INVARIANT = 0x007F;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

// The system default locale (0x411 unless a test set another) and the
// calling thread's locale, which starts as the system default.
LCID GetSystemDefaultLCID();
bool SetSystemDefaultLCID(LCID locale);
LCID GetThreadLocale();
bool SetThreadLocale(LCID locale);

// Turns the pseudo ids (0, 0x400, 0x800 and language-only ids) into the
// locale they stand for.
LCID ConvertDefaultLocale(LCID locale);

// True when the id names a locale of NlsSupportedLocales.
bool IsValidLocale(LCID locale);

// The supported locales in ascending id order (EnumSystemLocales). With
// alternateSorts the alternative sort orders (id above 0xFFFF) are included.
const std::vector<LCID>& NlsSupportedLocales(bool alternateSorts);

// The ICU locale id that stands for a Windows locale id, empty when none.
std::string NlsIcuLocaleName(LCID locale);

inline constexpr LCTYPE LOCALE_NOUSEROVERRIDE = 0x80000000;
inline constexpr LCTYPE LOCALE_SLANGUAGE = 0x0002;             // display name of the language
inline constexpr LCTYPE LOCALE_SENGLANGUAGE = 0x1001;          // English name of the language
inline constexpr LCTYPE LOCALE_IDEFAULTCODEPAGE = 0x000B;      // OEM code page, decimal
inline constexpr LCTYPE LOCALE_IDEFAULTANSICODEPAGE = 0x1004;  // ANSI code page, decimal
inline constexpr LCTYPE LOCALE_SSORTNAME = 0x1013;             // name of the sort order

// Windows contract: with bufLen 0 returns the units needed including the
// terminator; otherwise writes the zero-terminated text. 0 on failure.
int GetLocaleInfoW(LCID locale, LCTYPE type, char16_t* buf, int bufLen);
// The same as a string; empty on failure.
String GetLocaleInfoText(LCID locale, LCTYPE type);

// The number formats, currency and date separators of a locale, from ICU's
// data. An unknown locale gives the invariant locale's settings.
TFormatSettings GetLocaleFormatSettings(LCID locale);

// ---------------------------------------------------------------------------
// Comparison

// Compare flags. How each is realised over ICU:
//   NORM_IGNORECASE      both texts are case-folded (full Unicode folding)
//   NORM_IGNORENONSPACE  both texts are decomposed (NFD) and their nonspacing
//                        marks (accents, kana voicing marks) removed
//   NORM_IGNORESYMBOLS   punctuation, symbols and separators are removed
//   NORM_IGNOREKANATYPE  hiragana is folded onto katakana
//   NORM_IGNOREWIDTH     half- and full-width forms are folded onto their
//                        ordinary forms (ＡＢ -> AB, ｱ -> ア, ｶﾞ -> ガ)
//   SORT_STRINGSORT      collator alternate handling "non-ignorable":
//                        punctuation sorts as symbols before letters. Without
//                        it ("word sort") the collator runs "shifted":
//                        punctuation only breaks ties, so "coop" and "co-op"
//                        sort next to each other.
// The folds run into buffers the thread keeps, so a compare allocates
// nothing once they have grown; a fold that fails (ICU out of memory) fails
// the compare with ENOMEM.
// The folded texts then go to the locale's collator at identical strength
// with normalisation on: texts are equal only when canonically equivalent
// after the folds, as Windows answers. (ICU's Japanese rules keep hiragana
// against katakana on the fourth level and some width forms on none; a weaker
// strength would call them equal without the flags.)
inline constexpr uint32_t NORM_IGNORECASE = 0x00001;
inline constexpr uint32_t NORM_IGNORENONSPACE = 0x00002;
inline constexpr uint32_t NORM_IGNORESYMBOLS = 0x00004;
inline constexpr uint32_t SORT_STRINGSORT = 0x01000;
inline constexpr uint32_t NORM_IGNOREKANATYPE = 0x10000;
inline constexpr uint32_t NORM_IGNOREWIDTH = 0x20000;

inline constexpr int CSTR_LESS_THAN = 1;
inline constexpr int CSTR_EQUAL = 2;
inline constexpr int CSTR_GREATER_THAN = 3;

// Returns CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN; 0 with errno set
// for an unknown locale or unknown flags. Lengths of -1 mean zero-terminated.
int CompareStringW(LCID locale, uint32_t flags, const char16_t* a, int aLen, const char16_t* b, int bLen);
int CompareStringW(LCID locale, uint32_t flags, std::u16string_view a, std::u16string_view b);

// ---------------------------------------------------------------------------
// Locale mapping

inline constexpr uint32_t LCMAP_LOWERCASE = 0x00000100;
inline constexpr uint32_t LCMAP_UPPERCASE = 0x00000200;
inline constexpr uint32_t LCMAP_HIRAGANA = 0x00100000;
inline constexpr uint32_t LCMAP_KATAKANA = 0x00200000;
inline constexpr uint32_t LCMAP_HALFWIDTH = 0x00400000;
inline constexpr uint32_t LCMAP_FULLWIDTH = 0x00800000;
inline constexpr uint32_t LCMAP_LINGUISTIC_CASING = 0x01000000;

// Windows contract (length query with dstLen 0). Case mapping follows the
// root rules unless LCMAP_LINGUISTIC_CASING asks for the locale's (Turkish
// dotless i and the like). Opposite pairs (upper and lower, hiragana and
// katakana, half and full width) together are refused.
int LCMapStringW(LCID locale, uint32_t flags, const char16_t* src, int srcLen, char16_t* dst, int dstLen);

// ---------------------------------------------------------------------------
// String folding

inline constexpr uint32_t MAP_FOLDCZONE = 0x0010;         // compatibility-zone forms to their ordinary ones
inline constexpr uint32_t MAP_PRECOMPOSED = 0x0020;       // NFC
inline constexpr uint32_t MAP_COMPOSITE = 0x0040;         // NFD
inline constexpr uint32_t MAP_FOLDDIGITS = 0x0080;        // every decimal digit to 0-9
inline constexpr uint32_t MAP_EXPAND_LIGATURES = 0x2000;  // ligatures to their letters

// Windows contract (length query with dstLen 0; srcLen -1 takes the source
// up to and including its terminator). The folds run in the order above:
// compatibility zone (U+F900..U+FFEF through their compatibility
// decompositions, recomposed), digits (characters whose numeric type is
// decimal or digit), ligatures (characters named LIGATURE with a
// compatibility decomposition, and AE, ae, OE, oe, which Unicode no longer
// calls ligatures), then the normalisation form. Refused (EINVAL): no flag,
// an unknown flag, precomposed with composite, ligatures with either form,
// an empty source.
int FoldStringW(uint32_t flags, const char16_t* src, int srcLen, char16_t* dst, int dstLen);

// The folds behind the compare flags and the mapping, usable on their own.
// Should ICU fail (it does only when out of memory) a text comes back as it was.
String NlsFoldCase(std::u16string_view s);
String NlsFoldWidth(std::u16string_view s);  // to ordinary width: ASCII narrow, kana wide
String NlsToHalfWidth(std::u16string_view s);
String NlsToFullWidth(std::u16string_view s);
String NlsHiraganaToKatakana(std::u16string_view s);
String NlsKatakanaToHiragana(std::u16string_view s);

// ---------------------------------------------------------------------------
// Version of the sort rules

// The operating system's extended NLS version record (32 bytes, or its first
// 12 bytes in the short form that older callers pass).
struct TNLSVersionInfoEx {
  uint32_t dwNLSVersionInfoSize = 0;
  uint32_t dwNLSVersion = 0;      // the locale's collator version (ICU's, packed big-endian)
  uint32_t dwDefinedVersion = 0;  // the collation algorithm (UCA) version, packed likewise
  uint32_t dwEffectiveId = 0;     // the locale whose rules answer
  TGUID guidCustomVersion;        // zero: ICU's rules carry no custom version
};
static_assert(sizeof(TNLSVersionInfoEx) == 32, "the NLS version record is 32 bytes");

// Fills the record of the given size (32 or 12 in dwNLSVersionInfoSize);
// false with errno set for another size or an unknown locale.
bool GetNLSVersionEx(LCID locale, TNLSVersionInfoEx& info);
