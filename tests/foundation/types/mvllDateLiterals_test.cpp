// Tests of the date, time and timestamp literals.
#include <gtest/gtest.h>

#include "foundation/types/mvllDateLiterals.h"
#include "platform/DateUtils.h"

namespace {

TEST(mvllDateLiterals, RecognisesOnlyWellFormedValidTexts) {
  struct {
    const char16_t* text;
    bool date, time, timestamp;
  } cases[] = {
      {u"2024-02-29", true, false, false},
      {u"'2024-02-29'", true, false, false},
      {u"2023-02-29", false, false, false},
      {u"0000-01-01", false, false, false},
      {u"20a4-01-01", false, false, false},  // a letter in a digit field is refused
      {u"2024-1-010", false, false, false},
      {u"'", false, false, false},
      {u"'2024-02-29", false, false, false},
      {u"12:34:56", false, true, false},
      {u"12:34:56.789", false, true, false},
      {u"12:34:56x789", false, true, false},  // no '.': the milliseconds do not count
      {u"24:00:00", false, false, false},
      {u"12:60:00", false, false, false},
      {u"12:3a:00", false, false, false},
      {u"12:34:56.78x", false, false, false},
      {u"2024-02-29 23:59:59", false, false, true},
      {u"2024-02-29 23:59:59.999", false, false, true},
      {u"2024-02-29T23:59:59", false, false, false},
      {u"2023-02-29 12:00:00", false, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mvIsDateLiteral(c.text), c.date) << UTF8Encode(c.text);
    EXPECT_EQ(mvIsTimeLiteral(c.text), c.time) << UTF8Encode(c.text);
    EXPECT_EQ(mvIsTimestampLiteral(c.text), c.timestamp) << UTF8Encode(c.text);
  }
}

TEST(mvllDateLiterals, Values) {
  EXPECT_EQ(mvDateLiteralToDate(u"'2024-02-29'"), EncodeDate(2024, 2, 29));
  EXPECT_EQ(mvTimeLiteralToTime(u"12:34:56x789"), EncodeTime(12, 34, 56, 0));
  EXPECT_EQ(mvTimeLiteralToTime(u"12:34:56.789"), EncodeTime(12, 34, 56, 789));
  EXPECT_DOUBLE_EQ(mvTimestampLiteralToDateTime(u"1899-12-29 12:00:00"), -1.5);
  EXPECT_DOUBLE_EQ(mvTimestampLiteralToDateTime(u"1899-12-30 06:00:00"), 0.25);
  EXPECT_THROW(mvDateLiteralToDate(u"2023-02-29"), EConvertError);
  EXPECT_EQ(mvParseDigits(u"1x2y3", 1, 5), 123);
}

TEST(mvllDateLiterals, WeekDates) {
  struct {
    const char16_t* text;
    int y, m, d;  // y 0: refused
  } cases[] = {
      {u"2021-W01-1", 2021, 1, 4},  {u"2021-w01-7", 2021, 1, 10}, {u"2020-W53-5", 2021, 1, 1},
      {u"2021-W53-1", 0, 0, 0},     {u"2026-W01-1", 2025, 12, 29}, {u"2021-X01-1", 0, 0, 0},
      {u"2021-W00-1", 0, 0, 0},     {u"2021-W01-8", 0, 0, 0},     {u"2021-W0a-1", 0, 0, 0},
  };
  for (const auto& c : cases) {
    TDateTime d = -7;
    EXPECT_EQ(mvTryWeekDateLiteral(c.text, d), c.y != 0) << UTF8Encode(c.text);
    if (c.y) {
      EXPECT_EQ(d, EncodeDate(c.y, c.m, c.d)) << UTF8Encode(c.text);
    }
  }
}

TEST(mvllDateLiterals, VariantsRaiseNamingTheText) {
  EXPECT_EQ(mvVariantToDate(Variant(u"2024-02-29")), EncodeDate(2024, 2, 29));
  EXPECT_EQ(mvVariantToTime(Variant(u"01:02:03")), EncodeTime(1, 2, 3, 0));
  EXPECT_DOUBLE_EQ(mvVariantToDateTime(Variant(u"1899-12-30 12:00:00")), 0.5);
  try {
    mvVariantToDateTime(Variant(u"soon"));
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Invalid date/time format soon");
  }
  EXPECT_THROW(mvVariantToDate(Variant(u"2024-13-01")), Exception);
  EXPECT_THROW(mvVariantToTime(Variant(u"1:02:03")), Exception);
}

}  // namespace
