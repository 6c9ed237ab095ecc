// Field conversion: the engine's date forms.
//
// A Date field holds a signed 32-bit day number (day 1 is 0001-01-01, day
// 693594 is 1899-12-30), a Time field the milliseconds since midnight, a
// DateTime field a 64-bit float of day number x 86400000 + milliseconds of
// the day. The platform's date-time number (TDateTime) counts days since
// 1899-12-30 with the time of day as fraction; before that day the fraction's
// magnitude is the time of day. This unit turns one form into another.
//
// Layer: field conversion; calls the platform's date routines. Pure and safe
// from any thread.
#pragma once

#include <cstdint>

#include "platform/DateUtils.h"

// The value a DateTime field holds for a time stamp.
double mvDateTimeFieldValue(const TTimeStamp& aStamp);
