// Platform layer: encoding and decoding of date-time values, local clock.
#include "platform/DateUtils.h"

#include <time.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <limits>

namespace {

constexpr uint16_t kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                        {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

// 1-based day number (1 = 0001-01-01) of a valid date.
int32_t dayNumber(uint16_t year, uint16_t month, uint16_t day) {
  const uint16_t* days = kMonthDays[IsLeapYear(year)];
  int32_t n = day;
  for (int m = 1; m < month; ++m) n += days[m - 1];
  int32_t y = year - 1;
  return y * 365 + y / 4 - y / 100 + y / 400 + n;
}

}  // namespace

bool IsLeapYear(uint16_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

uint16_t DaysInAMonth(uint16_t year, uint16_t month) {
  if (month < 1 || month > 12) return 0;
  return kMonthDays[IsLeapYear(year)][month - 1];
}

bool TryEncodeDate(uint16_t year, uint16_t month, uint16_t day, TDateTime& date) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInAMonth(year, month))
    return false;
  date = dayNumber(year, month, day) - DateDelta;
  return true;
}

TDateTime EncodeDate(uint16_t year, uint16_t month, uint16_t day) {
  TDateTime d;
  if (!TryEncodeDate(year, month, day, d)) throw EConvertError(SDateEncodeError);
  return d;
}

bool TryEncodeTime(uint16_t hour, uint16_t min, uint16_t sec, uint16_t msec, TDateTime& time) {
  if (hour >= HoursPerDay || min >= MinsPerHour || sec >= SecsPerMin || msec >= MSecsPerSec) return false;
  int32_t ms = ((hour * MinsPerHour + min) * SecsPerMin + sec) * MSecsPerSec + msec;
  time = static_cast<double>(ms) / MSecsPerDay;
  return true;
}

TDateTime EncodeTime(uint16_t hour, uint16_t min, uint16_t sec, uint16_t msec) {
  TDateTime t;
  if (!TryEncodeTime(hour, min, sec, msec, t)) throw EConvertError(STimeEncodeError);
  return t;
}

TTimeStamp DateTimeToTimeStamp(TDateTime value) {
  // Milliseconds since 1899-12-30, ties to even as the x87's default mode.
  double msTotal = std::nearbyint(value * MSecsPerDay);
  constexpr double maxMs = 2958466.0 * MSecsPerDay;  // past 9999-12-31
  TTimeStamp ts;
  if (!(std::fabs(msTotal) < maxMs)) return ts;
  int64_t ms = static_cast<int64_t>(msTotal);
  // The whole part truncates toward zero and the time counts forward from
  // midnight whatever the sign: -1.25 is day -1 at 06:00.
  ts.Date = static_cast<int32_t>(DateDelta + ms / MSecsPerDay);
  ts.Time = static_cast<int32_t>((ms < 0 ? -ms : ms) % MSecsPerDay);
  return ts;
}

TDateTime TimeStampToDateTime(const TTimeStamp& ts) {
  double days = ts.Date - DateDelta;
  double frac = static_cast<double>(ts.Time) / MSecsPerDay;
  return days < 0 ? days - frac : days + frac;
}

void DecodeDate(TDateTime date, uint16_t& year, uint16_t& month, uint16_t& day) {
  constexpr int32_t D1 = 365, D4 = D1 * 4 + 1, D100 = D4 * 25 - 1, D400 = D100 * 4 + 1;
  int32_t t = DateTimeToTimeStamp(date).Date;
  if (t <= 0) {
    year = month = day = 0;
    return;
  }
  --t;  // days since 0001-01-01
  int32_t y = 1 + 400 * (t / D400);
  t %= D400;
  int32_t i = t / D100, d = t % D100;
  if (i == 4) { --i; d += D100; }  // the last day of a 400-year cycle
  y += i * 100;
  i = d / D4;
  d %= D4;
  y += i * 4;
  i = d / D1;
  d %= D1;
  if (i == 4) { --i; d += D1; }  // the last day of a leap year
  y += i;
  if (y > 9999) {
    year = month = day = 0;
    return;
  }
  year = static_cast<uint16_t>(y);
  const uint16_t* days = kMonthDays[IsLeapYear(year)];
  uint16_t m = 1;
  while (d >= days[m - 1]) d -= days[m++ - 1];
  month = m;
  day = static_cast<uint16_t>(d + 1);
}

void DecodeTime(TDateTime time, uint16_t& hour, uint16_t& min, uint16_t& sec, uint16_t& msec) {
  int32_t ms = DateTimeToTimeStamp(time).Time;
  msec = static_cast<uint16_t>(ms % MSecsPerSec);
  ms /= MSecsPerSec;
  sec = static_cast<uint16_t>(ms % SecsPerMin);
  ms /= SecsPerMin;
  min = static_cast<uint16_t>(ms % MinsPerHour);
  hour = static_cast<uint16_t>(ms / MinsPerHour);
}

bool TryEncodeDateTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t min,
                       uint16_t sec, uint16_t msec, TDateTime& value) {
  TDateTime d, t;
  if (!TryEncodeDate(year, month, day, d) || !TryEncodeTime(hour, min, sec, msec, t)) return false;
  value = d < 0 ? d - t : d + t;
  return true;
}

TDateTime EncodeDateTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t min,
                         uint16_t sec, uint16_t msec) {
  TDateTime d = EncodeDate(year, month, day);
  TDateTime t = EncodeTime(hour, min, sec, msec);
  return d < 0 ? d - t : d + t;
}

void DecodeDateTime(TDateTime value, uint16_t& year, uint16_t& month, uint16_t& day, uint16_t& hour,
                    uint16_t& min, uint16_t& sec, uint16_t& msec) {
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, min, sec, msec);
}

int DayOfWeek(TDateTime date) {
  // Day 1 (0001-01-01) was a Monday.
  int32_t d = DateTimeToTimeStamp(date).Date;
  return static_cast<int>(((d % 7) + 7) % 7) + 1;
}

namespace {

// The fixed moment's bits, or a NaN's while the system's clock answers.
std::atomic<uint64_t> gFixedNow{std::bit_cast<uint64_t>(std::numeric_limits<double>::quiet_NaN())};

}  // namespace

void SetFixedNow(TDateTime aNow) { gFixedNow.store(std::bit_cast<uint64_t>(aNow), std::memory_order_relaxed); }

void ClearFixedNow() { SetFixedNow(std::numeric_limits<double>::quiet_NaN()); }

TDateTime Now() {
  if (const double fixed = std::bit_cast<double>(gFixedNow.load(std::memory_order_relaxed)); !std::isnan(fixed))
    return fixed;
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm lt;
  localtime_r(&ts.tv_sec, &lt);
  return EncodeDateTime(static_cast<uint16_t>(lt.tm_year + 1900), static_cast<uint16_t>(lt.tm_mon + 1),
                        static_cast<uint16_t>(lt.tm_mday), static_cast<uint16_t>(lt.tm_hour),
                        static_cast<uint16_t>(lt.tm_min), static_cast<uint16_t>(lt.tm_sec > 59 ? 59 : lt.tm_sec),
                        static_cast<uint16_t>(ts.tv_nsec / 1000000));
}

TDateTime Date() { return std::trunc(Now()); }

TDateTime Time() {
  TDateTime n = Now();
  return n - std::trunc(n);
}

void InvalidTimeStampError(const String& aStamp) { throw EConvertError(SInvalidTimeStamp, {aStamp}); }
