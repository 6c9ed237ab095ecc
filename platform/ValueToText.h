// Platform layer: floating-point numbers and date-time values written as text
// with explicit format settings (the platform's FloatToStr, DateToStr,
// TimeToStr and DateTimeToStr). The reverse direction is TextToValue.h.
//
// Engine code writes values in the locale of a table or of the calling
// thread, so every routine takes the settings to use. Pure and safe from any
// thread.
#pragma once

#include "platform/SysUtils.h"

// 15 significant digits, the shorter of fixed and scientific notation
// ("1E20", "1.5E-7"), the settings' decimal separator; "NAN", "INF", "-INF".
String FloatToStr(Extended value, const TFormatSettings& settings);
// The date part in the settings' ShortDateFormat.
String DateToStr(TDateTime value, const TFormatSettings& settings);
// The time part in the settings' LongTimeFormat.
String TimeToStr(TDateTime value, const TFormatSettings& settings);
// The date, then a blank and the time unless the value is exactly midnight.
String DateTimeToStr(TDateTime value, const TFormatSettings& settings);
