// Field conversion: the engine's date forms. See mvsdFieldMapperDates.h.
#include "convert/mvsdFieldMapperDates.h"

#include <cmath>
#include <limits>

#include "platform/ValueToText.h"

namespace {

String StampText(int64_t aDay, int64_t aMSecs) { return IntToStr(aDay) + u"." + IntToStr(aMSecs); }

}  // namespace

double mvDateTimeFieldValue(const TTimeStamp& aStamp) {
  // Exact: the product stays far below 2^53 for every day of the years 1 to 9999.
  return static_cast<double>(int64_t(aStamp.Date) * MSecsPerDay + aStamp.Time);
}

TTimeStamp mvSplitDateTimeField(double aValue) {
  if (!std::isfinite(aValue)) InvalidTimeStampError(FloatToStr(aValue, DefaultFormatSettings()));
  // fmod is exact, and so is the quotient of what is left.
  const Extended rest = std::fmod(Extended(aValue), Extended(MSecsPerDay));
  const Extended day = (Extended(aValue) - rest) / MSecsPerDay;
  if (day < std::numeric_limits<int32_t>::min() || day > std::numeric_limits<int32_t>::max())
    InvalidTimeStampError(FloatToStr(aValue, DefaultFormatSettings()));
  TTimeStamp stamp;
  stamp.Date = static_cast<int32_t>(day);
  stamp.Time = static_cast<int32_t>(std::trunc(rest));
  return stamp;
}

TDateTime mvDateTimeNumber(int64_t aDay, int64_t aMSecs) {
  if (aDay < 1 || aMSecs < 0 || aMSecs >= MSecsPerDay) InvalidTimeStampError(StampText(aDay, aMSecs));
  const Extended days = Extended(aDay - DateDelta) * MSecsPerDay;
  return static_cast<TDateTime>((aDay >= DateDelta ? days + aMSecs : days - aMSecs) / MSecsPerDay);
}

double mvDateTimeNumberToField(double aValue) {
  const Extended ms = std::rint(Extended(aValue) * MSecsPerDay);
  // Milliseconds beyond 64 bits (or no number at all) name no moment.
  if (!(std::fabs(ms) < 0x1p63L)) InvalidTimeStampError(FloatToStr(aValue, DefaultFormatSettings()));
  const int64_t m = static_cast<int64_t>(ms);
  const uint64_t magnitude = m < 0 ? 0 - uint64_t(m) : uint64_t(m);
  const int64_t n = int64_t(magnitude / MSecsPerDay), r = int64_t(magnitude % MSecsPerDay);
  const int64_t day = m >= 0 ? DateDelta + n : DateDelta - n;
  if (day < 1) InvalidTimeStampError(StampText(day, r));
  return static_cast<double>(Extended(day) * MSecsPerDay + Extended(r));
}
