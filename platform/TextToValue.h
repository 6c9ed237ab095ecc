// Platform layer: floating-point numbers and date-time values read from text
// with a locale's format settings (the platform's StrToFloat and
// StrToDateTime with explicit settings).
//
// Engine code parses text in the locale of a table or of the calling thread,
// not the process's, so every routine takes the settings to use. The forms
// accepted are exactly those described at each routine; nothing depends on
// the C library's locale. All routines are pure and safe from any thread.
#pragma once

#include <string_view>

#include "platform/SysUtils.h"

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
// As TryStrToDateTime; raises EConvertError with SInvalidDateTime.
TDateTime StrToDateTime(std::u16string_view text, const TFormatSettings& settings);

// The platform's texts for text that is not such a value ('%s' is the text).
inline constexpr char16_t SInvalidFloat[] = u"'%s' は有効な浮動小数点数ではありません";
inline constexpr char16_t SInvalidDateTime[] = u"'%s' は有効な日付と時刻ではありません";
