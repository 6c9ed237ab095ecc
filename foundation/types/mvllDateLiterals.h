// Engine foundation: ISO-style date, week-date, time and timestamp literals.
//
// SQL literals, filter expressions and text written into date fields give
// dates and times in fixed forms; these routines recognise the forms and turn
// them into the platform's date-time value. Accepted forms (the whole text may
// stand in single quotes):
//   date       YYYY-MM-DD
//   week date  YYYY-Www-D     (ISO 8601: week 1 holds the year's first Thursday)
//   time       HH:MM:SS or HH:MM:SS.mmm
//   timestamp  YYYY-MM-DD HH:MM:SS or YYYY-MM-DD HH:MM:SS.mmm
// A digit field must hold digits only. Calls only the platform layer.
#pragma once

#include <cstdint>

#include "platform/SysUtils.h"
#include "platform/Variants.h"

// The decimal value of count characters from 1-based position start;
// characters that are not digits add nothing.
int32_t mvParseDigits(std::u16string_view aText, int32_t aStart, int32_t aCount);

bool mvIsDateLiteral(std::u16string_view aText);
// Does not check the form; an impossible date raises like EncodeDate.
TDateTime mvDateLiteralToDate(std::u16string_view aText);
bool mvTryWeekDateLiteral(std::u16string_view aText, TDateTime& aDate);

bool mvIsTimeLiteral(std::u16string_view aText);
TDateTime mvTimeLiteralToTime(std::u16string_view aText);

bool mvIsTimestampLiteral(std::u16string_view aText);
// Date plus time; before 1899-12-30 the time is subtracted, so the fraction
// keeps the sign of the day part ("1899-12-29 12:00:00" is -1.5).
TDateTime mvTimestampLiteralToDateTime(std::u16string_view aText);

// The variant's text as a literal of the kind; otherwise Exception with
// "Invalid date format %s", "Invalid time format %s" or
// "Invalid date/time format %s".
TDateTime mvVariantToDate(const Variant& aValue);
TDateTime mvVariantToTime(const Variant& aValue);
TDateTime mvVariantToDateTime(const Variant& aValue);
