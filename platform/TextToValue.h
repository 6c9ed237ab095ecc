// Platform layer: numbers and date-time values read from text: integers and
// floats in the platform's locale-independent syntax (its Val), floats and
// date-time values with a locale's format settings (the platform's
// StrToFloat, StrToDate, StrToTime and StrToDateTime with explicit settings).
//
// Engine code parses text in the locale of a table or of the calling thread,
// not the process's, so every routine takes the settings to use. The forms
// accepted are exactly those described at each routine; nothing depends on
// the C library's locale. All routines are pure and safe from any thread.
#pragma once

#include <string_view>

#include "platform/SysUtils.h"

// The platform's integer syntax, which no locale changes: optional leading
// blanks, an optional '+' or '-', then decimal digits, or hexadecimal digits
// (either case) after '$', 'x', 'X', '0x' or '0X'. True when the whole text
// is such an integer within the signed range of 32 (ValInt32) or 64 bits
// (ValInt64). Otherwise false, and `value` holds the value of the digits
// before the character where reading stopped (0 when there were none: an
// empty text, blanks only, a sign alone, no digit after the hexadecimal
// mark); `overflow` (when given) tells that reading stopped at a digit that
// would have taken the value beyond the range, so that `value` is the
// nearest the text came to it.
bool ValInt32(std::u16string_view text, int32_t& value, bool* overflow = nullptr);
bool ValInt64(std::u16string_view text, int64_t& value, bool* overflow = nullptr);

// The platform's float syntax, which no locale changes: optional leading
// blanks, an optional sign, digits with '.' as the decimal point (at least
// one digit), an optional exponent ('E' or 'e', an optional sign, digits).
// True when the whole text is such a number within the Extended range.
// Otherwise false, and `value` holds the number read before the character
// where reading stopped (a mantissa whose exponent has no digits reads
// without it; 0 when there was no digit); a number beyond the Extended range
// reads as an infinity of its sign, one too small for it as zero.
bool ValFloat(std::u16string_view text, Extended& value);

// Optional blanks, an optional sign, digits with at most one decimal
// separator (the settings'; at least one digit in all), an optional exponent
// ('E' or 'e', an optional sign, digits), optional blanks. Thousand
// separators are not accepted. False for any other text and for values
// outside the Extended range; `value` is then unchanged.
bool TryStrToFloat(std::u16string_view text, Extended& value, const TFormatSettings& settings);
// As TryStrToFloat; raises EConvertError with SInvalidFloat.
Extended StrToFloat(std::u16string_view text, const TFormatSettings& settings);

// A date, optionally followed by blanks and a time, or a time alone, with
// optional blanks around the whole:
//   date  two or three numbers separated by DateSeparator, in the order of
//         year, month and day that ShortDateFormat shows; with two numbers
//         the year is the current one. A year of one or two digits lies in
//         the hundred years from 50 years before the current year.
//   time  hours and minutes separated by TimeSeparator, optionally seconds,
//         optionally 1 to 3 digits of a fraction of a second after the
//         decimal separator, optionally blanks and "AM" or "PM" (any case;
//         hours 1 to 12 then).
// Before 1899-12-30 the time is subtracted, so the fraction keeps counting
// forward from midnight. False for any other text or an impossible date or
// time; `value` is then unchanged.
bool TryStrToDateTime(std::u16string_view text, TDateTime& value, const TFormatSettings& settings);
// A Currency from the text of TryStrToFloat, read exactly: the value rounded
// to ten-thousandths (ties to even). False for any other text and for values
// outside the Currency range; `value` is then unchanged.
bool TryStrToCurr(std::u16string_view text, Currency& value, const TFormatSettings& settings);

// A date alone, or a time alone, as TryStrToDateTime reads them; a text
// that holds both is neither.
bool TryStrToDate(std::u16string_view text, TDateTime& value, const TFormatSettings& settings);
bool TryStrToTime(std::u16string_view text, TDateTime& value, const TFormatSettings& settings);
// As TryStrToDateTime; raises EConvertError with SInvalidDateTime.
TDateTime StrToDateTime(std::u16string_view text, const TFormatSettings& settings);

// The platform's texts for text that is not such a value ('%s' is the text).
inline constexpr char16_t SInvalidFloat[] = u"'%s' は有効な浮動小数点数ではありません";
inline constexpr char16_t SInvalidDateTime[] = u"'%s' は有効な日付と時刻ではありません";
