// Engine foundation: wide strings, code pages and locales.
//
// Field values of the wide types are `TmvWideString` (counted UTF-16, no
// terminator); 8-bit text is stored in the code page that a table's locale
// prescribes. This unit converts between the two, maps text by locale (case,
// width, kana), and gives the engine's view of the system's locales and code
// pages: names, validity, ANSI code pages, sort-rule (NLS) versions and
// per-locale format settings. It calls only the platform layer.
//
// Code page arguments are 16 bits; 0 means `mvDefaultCodePage`. A conversion
// whose source is empty returns an empty result without reaching the
// converter; a failing conversion raises the OS-error exception naming the
// step ("mvStringToWideString/MultiByteToWideChar/2" and so on).
//
// Thread safety: conversions and mapping share no state. The locale and code
// page lists are built once, on first use, and only read afterwards; the
// format settings cache is guarded by its own lock.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/Classes.h"
#include "platform/Nls.h"
#include "platform/SysUtils.h"

using TmvWideString = std::u16string;
using TBytes = std::vector<uint8_t>;

// The character categories of full-text token filters: general categories,
// bidirectional classes and properties side by side, so that one character
// belongs to several. The ordinals are stored (bit n of a 7-byte set).
enum TmvCharacterCategory : uint8_t {
  ccLetterUppercase, ccLetterLowercase, ccLetterTitlecase, ccMarkNonSpacing, ccMarkSpacingCombining,
  ccMarkEnclosing, ccNumberDecimalDigit, ccNumberLetter, ccNumberOther, ccSeparatorSpace, ccSeparatorLine,
  ccSeparatorParagraph, ccOtherControl, ccOtherFormat, ccOtherSurrogate, ccOtherPrivate, ccOtherUnassigned,
  ccLetterModifier, ccLetterOther, ccPunctuationConnector, ccPunctuationDash, ccPunctuationOpen,
  ccPunctuationClose, ccPunctuationInitialQuote, ccPunctuationFinalQuote, ccPunctuationOther, ccSymbolMath,
  ccSymbolCurrency, ccSymbolModifier, ccSymbolOther, ccLeftToRight, ccLeftToRightEmbedding,
  ccLeftToRightOverride, ccRightToLeft, ccRightToLeftArabic, ccRightToLeftEmbedding, ccRightToLeftoverride,
  ccPopDirectionalFormat, ccEuropeanNumber, ccEuropeanNumberSeparator, ccEuropeanNumberTerminator,
  ccArabicNumber, ccCommonNumberSeparator, ccBoundaryNeutral, ccSegmentSeparator, ccWhiteSpace,
  ccOtherNeutrals, ccComposed, ccNonBreaking, ccSymmetric, ccHexDigit, ccQuotationMark, ccMirroring,
  ccSpaceOther, ccAssigned
};
inline constexpr int mvCharacterCategoryCount = 55;
// A set of categories: bit n for ordinal n; bits 55 and up are always 0.
using TmvCharacterCategories = uint64_t;
inline constexpr TmvCharacterCategories mvAllCharacterCategories =
    (TmvCharacterCategories{1} << mvCharacterCategoryCount) - 1;
constexpr TmvCharacterCategories mvCategoriesOf(std::initializer_list<TmvCharacterCategory> aCategories) {
  TmvCharacterCategories set = 0;
  for (TmvCharacterCategory c : aCategories) set |= TmvCharacterCategories{1} << c;
  return set;
}

// The code page of conversions given code page 0: the calling thread's ANSI
// code page at the time of each conversion.
inline uint16_t mvDefaultCodePage = CP_THREAD_ACP;

// The format settings of the invariant locale (127): the default settings of
// the engine's value-to-text conversions.
const TFormatSettings& mvInvariantFormatSettings();

// Raises the OS-error exception (EmvBaseException, code 11047) for the calling
// thread's last error (errno), naming the failed step.
[[noreturn]] void mvRaiseNlsError(const String& aAction);

// ---------------------------------------------------------------------------
// Conversions

TmvWideString mvStringToWideString(const AnsiString& aText, uint16_t aCodePage);
TmvWideString mvBytesToWideString(const void* aBuffer, int32_t aLength, uint16_t aCodePage);
AnsiString mvWideStringToString(std::u16string_view aText, uint16_t aCodePage);
void mvWideStringToString(std::u16string_view aText, uint16_t aCodePage, TBytes& aBytes);
TBytes mvWideStringBufferToBytes(const char16_t* aBuffer, int32_t aCount, uint16_t aCodePage);
AnsiString mvWideStringBufferToString(const char16_t* aBuffer, int32_t aCount, uint16_t aCodePage);

// Copies without conversion. The platform's wide string and `TmvWideString`
// are one type here, so these are plain copies; 8-bit text widens byte by
// byte (`mvStringToWideArray`) and narrows unit by unit (`mvWideArrayToString`,
// keeping the low byte) as the copies without a code page always did.
TmvWideString mvStringToWideArray(const AnsiString& aText);
TmvWideString mvUnicodeToWideArray(std::u16string_view aText);
TmvWideString mvWideStringToWideArray(std::u16string_view aText);
String mvWideArrayToWideString(const TmvWideString& aArray);
AnsiString mvWideArrayToString(const TmvWideString& aArray);
TmvWideString mvWideArrayConcat(const TmvWideString& a, const TmvWideString& b);
TmvWideString mvWideArrayAppendChar(const TmvWideString& aArray, char16_t aChar);

// The text between two quote characters, every quote inside doubled.
String mvWideQuotedStr(std::u16string_view aText, char16_t aQuote);

// The locale mapping (LCMAP_... flags) of a text; empty gives empty.
String mvWideLCMapString(std::u16string_view aText, LCID aLocale, uint32_t aFlags);

// ---------------------------------------------------------------------------
// Code pages and locales

// The ANSI code page of the calling thread's locale; -1 when it is not a
// number. Cached per thread and re-read when the thread's locale changes.
int32_t mvThreadAnsiCodePage();
// The ANSI code page of a locale, 0 when it gives none (Unicode-only locales).
uint16_t mvLocaleAnsiCodePage(LCID aLocale);
uint16_t mvLocaleCodePageOrDefault(LCID aLocale);

// Sorted (ignoring case, duplicate names ignored, the first one kept) lists of
// names with the locale id or code page number as each entry's object. Built
// once; never modify them.
const TStringList& mvSystemLocales();
const TStringList& mvSystemCodePages();

bool mvIsValidLocale(LCID aLocale);
bool mvIsValidCodePage(uint32_t aCodePage);
int32_t mvLocaleFromName(const String& aName);  // -1 when absent
String mvLocaleName(LCID aLocale);              // "<Unknown>" when absent
int32_t mvCodePageFromName(const String& aName);
String mvCodePageName(uint32_t aCodePage);

// The current sort-rule version of a locale. An effective locale id that is
// not a system locale is reported as 0.
void mvGetLocaleNlsVersion(LCID aLocale, TNLSVersionInfoEx& aVersion);

// The format settings of a locale: one object per locale, created on the
// first request and kept until the foundation stops.
const TFormatSettings& mvLocaleFormatSettings(LCID aLocale);
// Changes each time the foundation's stop frees those objects: a caller that
// keeps a reference beyond one call keeps this number beside it, and asks
// again when it has changed.
uint32_t mvLocaleFormatSettingsGeneration();

// Unit start (sets mvDefaultCodePage, builds the invariant settings) and stop
// (frees the per-locale cache); called by the foundation's start-up.
void mvllWideStringInit();
void mvllWideStringFini();
