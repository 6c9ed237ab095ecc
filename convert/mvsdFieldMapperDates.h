// Field conversion: the engine's date forms.
//
// A Date field holds a signed 32-bit day number (day 1 is 0001-01-01, day
// 693594 is 1899-12-30), a Time field the milliseconds since midnight, a
// DateTime field a 64-bit float of day number x 86400000 + milliseconds of
// the day. The date-time number (the platform's TDateTime, an OLE date)
// counts days since 1899-12-30 with the time of day as fraction; before that
// day the fraction's magnitude is the time of day (1899-12-29 06:00 is
// -1.25). This unit turns one form into another; where a form names no
// moment (a day before 0001-01-01, milliseconds outside a day, a DateTime
// value that is no number or whose day leaves 32 bits, as in a damaged
// record) it raises the platform's invalid time-stamp error.
//
// Layer: field conversion; calls the platform's date routines. Pure and safe
// from any thread.
#pragma once

#include <cstdint>

#include "platform/DateUtils.h"

// The value a DateTime field holds for a time stamp.
double mvDateTimeFieldValue(const TTimeStamp& aStamp);

// The day number and milliseconds of a DateTime field's value: the day is
// the value / 86400000 cut toward zero, the milliseconds the rest cut toward
// zero (both exact). Raises for a value that is no number or infinite, or
// whose day number leaves 32 bits.
TTimeStamp mvSplitDateTimeField(double aValue);

// The date-time number of a day and the milliseconds of that day. Raises
// for a day below 1 or milliseconds outside 0 to 86399999.
TDateTime mvDateTimeNumber(int64_t aDay, int64_t aMSecs);

// A date-time number as a DateTime field's value: its milliseconds rounded
// to the nearest (ties to even), the day counted from 1899-12-30 whichever
// side. Raises for a moment before 0001-01-01 and for no number.
double mvDateTimeNumberToField(double aValue);
