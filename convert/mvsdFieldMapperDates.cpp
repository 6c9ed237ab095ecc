// Field conversion: the engine's date forms. See mvsdFieldMapperDates.h.
#include "convert/mvsdFieldMapperDates.h"

double mvDateTimeFieldValue(const TTimeStamp& aStamp) {
  // Exact: the product stays far below 2^53 for every day of the years 1 to 9999.
  return static_cast<double>(int64_t(aStamp.Date) * MSecsPerDay + aStamp.Time);
}
