// Tests of date-time encoding and decoding.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <ctime>

#include "platform/DateUtils.h"

namespace {

struct DateCase {
  uint16_t y, m, d;
  double days;
};

TEST(DateUtils, EncodeAndDecodeDates) {
  const DateCase cases[] = {
      {1899, 12, 30, 0},      {1900, 1, 1, 2},        {1899, 12, 29, -1},  {2000, 2, 29, 36585},
      {2024, 2, 29, 45351},   {1, 1, 1, -693593},     {9999, 12, 31, 2958465},
      {1600, 12, 31, -109206}, {2000, 12, 31, 36891},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeDate(c.y, c.m, c.d), c.days) << c.y << "-" << c.m << "-" << c.d;
    uint16_t y, m, d;
    DecodeDate(c.days, y, m, d);
    EXPECT_EQ((std::array<uint16_t, 3>{y, m, d}), (std::array<uint16_t, 3>{c.y, c.m, c.d})) << c.days;
  }
}

TEST(DateUtils, InvalidDatesAndTimesAreRefused) {
  TDateTime v = 7;
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, v));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, v));
  EXPECT_FALSE(TryEncodeDate(10000, 1, 1, v));
  EXPECT_FALSE(TryEncodeDate(2024, 13, 1, v));
  EXPECT_FALSE(TryEncodeDate(2024, 4, 31, v));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, v));
  EXPECT_FALSE(TryEncodeTime(0, 0, 60, 0, v));
  EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, v));
  EXPECT_EQ(v, 7);
  EXPECT_THROW(EncodeDate(1900, 2, 29), EConvertError);
  EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
}

TEST(DateUtils, TimesRoundToMillisecondsAndKeepForwardFractionBeforeEpoch) {
  EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
  uint16_t h, mi, s, ms;
  DecodeTime(EncodeTime(23, 59, 59, 999), h, mi, s, ms);
  EXPECT_EQ((std::array<uint16_t, 4>{h, mi, s, ms}), (std::array<uint16_t, 4>{23, 59, 59, 999}));
  // Before 1899-12-30 the time is subtracted: -1.25 is 1899-12-29 06:00.
  EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0, 0), -1.25);
  EXPECT_EQ(EncodeDateTime(1899, 12, 29, 12, 0, 0, 0), -1.5);
  uint16_t y, mo, d;
  DecodeDateTime(-1.25, y, mo, d, h, mi, s, ms);
  EXPECT_EQ((std::array<uint16_t, 7>{y, mo, d, h, mi, s, ms}),
            (std::array<uint16_t, 7>{1899, 12, 29, 6, 0, 0, 0}));
  EXPECT_EQ(DayOfWeek(EncodeDate(2021, 1, 4)), 2);  // a Monday
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 30)), 7);  // a Saturday
}

TEST(DateUtils, NowIsTodayInLocalTime) {
  time_t t = time(nullptr);
  struct tm lt;
  localtime_r(&t, &lt);
  TDateTime n = Now();
  uint16_t y, m, d;
  DecodeDate(n, y, m, d);
  // Allow for midnight passing between the two readings.
  EXPECT_NEAR(n, EncodeDate(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday) +
                     EncodeTime(lt.tm_hour, lt.tm_min, lt.tm_sec, 0), 2.0 / 86400);
  EXPECT_EQ(Date(), std::trunc(n));
}

TEST(DateUtils, AFixedClockAnswersUntilCleared) {
  const TDateTime moment = EncodeDateTime(2024, 5, 6, 9, 59, 0, 0);
  SetFixedNow(moment);
  EXPECT_EQ(Now(), moment);
  EXPECT_EQ(Date(), EncodeDate(2024, 5, 6));
  EXPECT_NEAR(Time(), EncodeTime(9, 59, 0, 0), 1E-9);  // less the whole days, in doubles
  ClearFixedNow();
  EXPECT_GT(Now(), EncodeDate(2024, 6, 1));
}

}  // namespace
