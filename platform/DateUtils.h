// Platform layer: date-time values.
//
// `TDateTime` (System.h) is a double: the whole part counts days since
// 1899-12-30, the fraction is the time of day. Before that day the whole part
// is negative while the fraction still counts forward from midnight of that
// day ( -1.25 is 1899-12-29 06:00 ), as on the platform the system was made
// for. Years run from 1 to 9999. All routines are safe from any thread.
#pragma once

#include <cstdint>

#include "platform/SysUtils.h"

inline constexpr int32_t HoursPerDay = 24;
inline constexpr int32_t MinsPerHour = 60;
inline constexpr int32_t SecsPerMin = 60;
inline constexpr int32_t MSecsPerSec = 1000;
inline constexpr int32_t MSecsPerDay = 86400000;
// Days from 0001-01-01 to 1899-12-30.
inline constexpr int32_t DateDelta = 693594;

// A date-time split into whole days (1 = 0001-01-01) and milliseconds since
// midnight (0..86399999).
struct TTimeStamp {
  int32_t Time = 0;
  int32_t Date = 0;
};

bool IsLeapYear(uint16_t year);
// Days of the month in that year; 0 for a month outside 1..12.
uint16_t DaysInAMonth(uint16_t year, uint16_t month);

// False for a year outside 1..9999, a month outside 1..12 or a day outside the
// month; `date` is then unchanged.
bool TryEncodeDate(uint16_t year, uint16_t month, uint16_t day, TDateTime& date);
// Raises EConvertError with SDateEncodeError where TryEncodeDate fails.
TDateTime EncodeDate(uint16_t year, uint16_t month, uint16_t day);
// Year, month and day of the date part; all 0 for a value outside years 1..9999.
void DecodeDate(TDateTime date, uint16_t& year, uint16_t& month, uint16_t& day);

// False for hour >= 24, min >= 60, sec >= 60 or msec >= 1000.
bool TryEncodeTime(uint16_t hour, uint16_t min, uint16_t sec, uint16_t msec, TDateTime& time);
// Raises EConvertError with STimeEncodeError where TryEncodeTime fails.
TDateTime EncodeTime(uint16_t hour, uint16_t min, uint16_t sec, uint16_t msec);
// The time of day, rounded to the nearest millisecond.
void DecodeTime(TDateTime time, uint16_t& hour, uint16_t& min, uint16_t& sec, uint16_t& msec);

// Date and time together; for dates before 1899-12-30 the time is subtracted,
// so that the fraction keeps counting forward from midnight.
bool TryEncodeDateTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t min,
                       uint16_t sec, uint16_t msec, TDateTime& value);
TDateTime EncodeDateTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t min,
                         uint16_t sec, uint16_t msec);
void DecodeDateTime(TDateTime value, uint16_t& year, uint16_t& month, uint16_t& day, uint16_t& hour,
                    uint16_t& min, uint16_t& sec, uint16_t& msec);

// Rounds to the nearest millisecond (ties to even). Values outside the
// representable years give a zero time stamp.
TTimeStamp DateTimeToTimeStamp(TDateTime value);
TDateTime TimeStampToDateTime(const TTimeStamp& ts);

// 1 for Sunday .. 7 for Saturday.
int DayOfWeek(TDateTime date);

// The local date and time now, to the millisecond; Date is its whole part and
// Time its fraction.
TDateTime Now();
TDateTime Date();
TDateTime Time();
// Fixes the clock that Now, Date and Time read, for the whole process, so
// that a test can name the moment; ClearFixedNow gives back the system's
// clock. Setting it while other threads read the clock is safe.
void SetFixedNow(TDateTime aNow);
void ClearFixedNow();

// The platform's texts for invalid date and time arguments.
inline constexpr char16_t SDateEncodeError[] = u"日付のエンコードに無効な引数が指定されました";
inline constexpr char16_t STimeEncodeError[] = u"時刻のエンコードに無効な引数が指定されました";
inline constexpr char16_t SInvalidTimeStamp[] = u"'%s' は有効なタイムスタンプではありません";

// Raises EConvertError with SInvalidTimeStamp for a time stamp that names no
// moment of the years 1 to 9999 (a day number below 1, a time that is no
// number); aStamp shows it, as "<day>.<milliseconds>" where both exist.
[[noreturn]] void InvalidTimeStampError(const String& aStamp);
