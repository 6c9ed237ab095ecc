// Data dictionary, inside the composite key field engines: the routine
// types, the way a compare routine gets its descending twin, and the text
// routines (ShortString, NullString, WideString), which live in their own
// source file. Only the engines' unit includes this header.
#pragma once

#include "dictionary/keys/mvsdCompositeKeyFieldEngines.h"

namespace mvckfe {

using E = TmvCompositeKeyFieldEngine;
using TCompareFn = int8_t (*)(const E&, const void*, const void*);
using TPartialCompareFn = int8_t (*)(const E&, const void*, const void*, int32_t);
using TBuildFn = void (*)(const E&, const void*, void*);

// Descending routines answer the ascending one's result negated.
template <auto Ascending>
int8_t Negated(const E& e, const void* a, const void* b) {
  return int8_t(-Ascending(e, a, b));
}
template <auto Ascending>
int8_t NegatedPartial(const E& e, const void* a, const void* b, int32_t aPartialLen) {
  return int8_t(-Ascending(e, a, b, aPartialLen));
}

// The compare routines of one segment form, both directions; no partial
// compare for the forms that have none.
struct TCompareRoutines {
  TCompareFn Ascending;
  TCompareFn Descending;
  TPartialCompareFn PartialAscending;
  TPartialCompareFn PartialDescending;
};
template <auto F>
inline constexpr TCompareRoutines mvWhole{F, &Negated<F>, nullptr, nullptr};
template <auto F, auto P>
inline constexpr TCompareRoutines mvWithPartial{F, &Negated<F>, P, &NegatedPartial<P>};

// The compare routines of the engine's text type (ShortString, NullString
// or WideString): by byte (unit) order, or by the locale's collation, as
// the engine's settings say.
TCompareRoutines TextCompareRoutines(const E& e);

// How a text segment is built from the field.
enum TTextBuild {
  tbCopy,         // the characters as stored, cut to the segment
  tbConvert,      // converted from the storage to the compare code page
  tbTruncate,     // cut to KeyChars characters in the storage code page
  tbNumbersOnly,  // the digits '0' to '9' alone
};
TBuildFn TextBuildRoutine(TmvFieldType aType, TTextBuild aForm);

// Bytes and UTF-16 units with 'a' to 'z' folded to upper case.
inline uint8_t mvAsciiUpper(uint8_t c) { return c >= 'a' && c <= 'z' ? uint8_t(c - 32) : c; }
inline uint16_t mvAsciiUpper(uint16_t c) { return c >= u'a' && c <= u'z' ? uint16_t(c - 32) : c; }

// Three-way results as the segment routines give them.
template <typename T>
inline int8_t mvSign3(T a, T b) {
  return int8_t((a > b) - (a < b));
}
inline int8_t mvSignOf(int c) { return int8_t((c > 0) - (c < 0)); }

// The code page 8-bit segments are compared in: the compare code page, or
// the system's ANSI code page for a locale that has none (as the platform's
// 8-bit compare does).
inline uint32_t CollationCodePage(const E& e) { return e.ckfeCompareCodepage ? e.ckfeCompareCodepage : CP_ACP; }

// The platform's collation of two UTF-16 texts under the engine's locale
// and flags; a failing compare raises the OS error naming aAction.
int8_t Collate(const E& e, std::u16string_view a, std::u16string_view b, const char16_t* aAction);

}  // namespace mvckfe
