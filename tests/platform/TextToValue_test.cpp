// Tests of reading floating-point numbers and date-time values from text with
// explicit format settings.
#include <gtest/gtest.h>

#include "platform/DateUtils.h"
#include "platform/TextToValue.h"

#include <limits>

namespace {

TFormatSettings Settings(char16_t decimal, char16_t dateSep, const char16_t* shortDate) {
  TFormatSettings fs;
  fs.DecimalSeparator = decimal;
  fs.ThousandSeparator = decimal == u',' ? u'.' : u',';
  fs.DateSeparator = dateSep;
  fs.ShortDateFormat = shortDate;
  return fs;
}

TEST(TextToValue, FloatsFollowTheDecimalSeparator) {
  const TFormatSettings dot = Settings(u'.', u'/', u"yyyy/MM/dd");
  const TFormatSettings comma = Settings(u',', u'.', u"dd.MM.yyyy");
  struct Case {
    const char16_t* text;
    const TFormatSettings* fs;
    bool ok;
    Extended value;
  };
  const Case cases[] = {
      {u"2.5", &dot, true, 2.5L},       {u" -2.5 ", &dot, true, -2.5L},   {u"+.5", &dot, true, 0.5L},
      {u"5.", &dot, true, 5.0L},        {u"1.5E3", &dot, true, 1500.0L}, {u"1e-2", &dot, true, 0.01L},
      {u"2,5", &comma, true, 2.5L},     {u"2.5", &comma, false, 0},       {u"2,5", &dot, false, 0},
      {u"1,000.5", &dot, false, 0},     {u".", &dot, false, 0},           {u"", &dot, false, 0},
      {u"1e", &dot, false, 0},          {u"1.2.3", &dot, false, 0},       {u"abc", &dot, false, 0},
      {u"1e99999", &dot, false, 0},     {u"１", &dot, false, 0},  // full-width digit
  };
  for (const Case& c : cases) {
    Extended v = -1;
    EXPECT_EQ(TryStrToFloat(c.text, v, *c.fs), c.ok) << UTF8Encode(c.text);
    if (c.ok) EXPECT_EQ(v, c.value) << UTF8Encode(c.text);
    else EXPECT_EQ(v, -1) << UTF8Encode(c.text);
  }
  try {
    StrToFloat(u"x1", dot);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'x1' は有効な浮動小数点数ではありません");
  }
}

TEST(TextToValue, DatesFollowTheShortDateOrder) {
  const TFormatSettings ymd = Settings(u'.', u'/', u"yyyy/MM/dd");
  const TFormatSettings dmy = Settings(u',', u'.', u"dd.MM.yyyy");
  const TFormatSettings mdy = Settings(u'.', u'/', u"M/d/yyyy");
  uint16_t thisYear, m, d;
  DecodeDate(Date(), thisYear, m, d);
  struct Case {
    const char16_t* text;
    const TFormatSettings* fs;
    bool ok;
    TDateTime value;
  };
  const Case cases[] = {
      {u"2024/02/29", &ymd, true, EncodeDate(2024, 2, 29)},
      {u" 2024/2/29 13:45 ", &ymd, true, EncodeDateTime(2024, 2, 29, 13, 45, 0, 0)},
      {u"2024/02/29 01:02:03.5", &ymd, true, EncodeDateTime(2024, 2, 29, 1, 2, 3, 500)},
      {u"29.02.2024 12:00:00", &dmy, true, EncodeDateTime(2024, 2, 29, 12, 0, 0, 0)},
      {u"01:02:03,25", &dmy, true, EncodeTime(1, 2, 3, 250)},
      {u"2/29/2024 12:30 am", &mdy, true, EncodeDateTime(2024, 2, 29, 0, 30, 0, 0)},
      {u"2/29/2024 1:30PM", &mdy, true, EncodeDateTime(2024, 2, 29, 13, 30, 0, 0)},
      {u"1899/12/29 12:00", &ymd, true, -1.5},
      {u"3/4", &mdy, true, EncodeDate(thisYear, 3, 4)},
      {u"3.4", &dmy, true, EncodeDate(thisYear, 4, 3)},
      {u"23:59:59", &ymd, true, EncodeTime(23, 59, 59, 0)},
      {u"2023/02/29", &ymd, false, 0},
      {u"2024-02-29", &ymd, false, 0},
      {u"2024/02/29x", &ymd, false, 0},
      {u"2024/02/2912:00", &ymd, false, 0},
      {u"2024", &ymd, false, 0},
      {u"24:00", &ymd, false, 0},
      {u"13:00 PM", &ymd, false, 0},
      {u"12:00:00.1234", &ymd, false, 0},
      {u"10000/01/01", &ymd, false, 0},
  };
  for (const Case& c : cases) {
    TDateTime v = 12345;
    EXPECT_EQ(TryStrToDateTime(c.text, v, *c.fs), c.ok) << UTF8Encode(c.text);
    EXPECT_DOUBLE_EQ(v, c.ok ? c.value : 12345) << UTF8Encode(c.text);
  }
  // Two-digit years fall within 50 years before and 49 after this year.
  TDateTime v;
  ASSERT_TRUE(TryStrToDateTime(u"01/01/" + AsciiToString(std::to_string((thisYear - 50) % 100)), v, mdy));
  uint16_t y;
  DecodeDate(v, y, m, d);
  EXPECT_EQ(y, thisYear - 50);
  ASSERT_TRUE(TryStrToDateTime(u"01/01/" + AsciiToString(std::to_string((thisYear - 51) % 100)), v, mdy));
  DecodeDate(v, y, m, d);
  EXPECT_EQ(y, thisYear + 49);
  EXPECT_THROW(StrToDateTime(u"nope", ymd), EConvertError);
}

}  // namespace

namespace {

TEST(TextToValue, IntegersInThePlatformSyntax) {
  struct Case {
    const char16_t* text;
    bool ok;
    int64_t value;  // read, or read before the stray character
    bool overflow;
  };
  const Case cases32[] = {
      {u"42", true, 42, false},          {u"  -42", true, -42, false},      {u"+7", true, 7, false},
      {u"$1F", true, 31, false},         {u"0x1F", true, 31, false},        {u"x1f", true, 31, false},
      {u"-$10", true, -16, false},       {u"2147483647", true, 2147483647, false},
      {u"-2147483648", true, -2147483648, false},
      {u"2147483648", false, 214748364, true},  {u"$80000000", false, 0x8000000, true},
      {u"12abc", false, 12, false},      {u"42 ", false, 42, false},        {u"", false, 0, false},
      {u"  ", false, 0, false},          {u"-", false, 0, false},           {u"$", false, 0, false},
      {u"1.5", false, 1, false},         {u"１", false, 0, false},
  };
  for (const Case& c : cases32) {
    int32_t v = -99;
    bool overflow = !c.overflow;
    EXPECT_EQ(ValInt32(c.text, v, &overflow), c.ok) << UTF8Encode(c.text);
    EXPECT_EQ(v, c.value) << UTF8Encode(c.text);
    EXPECT_EQ(overflow, c.overflow) << UTF8Encode(c.text);
  }
  int64_t v;
  bool overflow;
  EXPECT_TRUE(ValInt64(u"-9223372036854775808", v));
  EXPECT_EQ(v, INT64_MIN);
  EXPECT_TRUE(ValInt64(u"4294967296", v));
  EXPECT_EQ(v, 4294967296);
  EXPECT_FALSE(ValInt64(u"-99999999999999999999", v, &overflow));
  EXPECT_TRUE(overflow);
  EXPECT_EQ(v, -999999999999999999);
}

TEST(TextToValue, FloatsInThePlatformSyntax) {
  struct Case {
    const char16_t* text;
    bool ok;
    Extended value;
  };
  const Case cases[] = {
      {u"1.5E2", true, 150},  {u" -2.5", true, -2.5L}, {u".5", true, 0.5L},     {u"1,5", false, 1},
      {u"12abc", false, 12},  {u"1.5 ", false, 1.5L},  {u"1.5E", false, 1.5L},  {u"abc", false, 0},
      {u"", false, 0},        {u"-", false, 0},
  };
  for (const Case& c : cases) {
    Extended v = -99;
    EXPECT_EQ(ValFloat(c.text, v), c.ok) << UTF8Encode(c.text);
    EXPECT_EQ(v, c.value) << UTF8Encode(c.text);
  }
  Extended v;
  EXPECT_FALSE(ValFloat(u"-1E99999", v));
  EXPECT_EQ(v, -std::numeric_limits<Extended>::infinity());
  EXPECT_FALSE(ValFloat(u"1E-99999", v));
  EXPECT_EQ(v, 0);
}

TEST(TextToValue, DatesAndTimesAlone) {
  const TFormatSettings ymd = Settings(u'.', u'/', u"yyyy/MM/dd");
  TDateTime v = 7;
  EXPECT_TRUE(TryStrToDate(u" 2024/05/06 ", v, ymd));
  EXPECT_EQ(v, EncodeDate(2024, 5, 6));
  EXPECT_TRUE(TryStrToTime(u"09:05:03", v, ymd));
  EXPECT_EQ(v, EncodeTime(9, 5, 3, 0));
  v = 7;
  EXPECT_FALSE(TryStrToDate(u"2024/05/06 10:00", v, ymd));
  EXPECT_FALSE(TryStrToDate(u"10:00", v, ymd));
  EXPECT_FALSE(TryStrToTime(u"2024/05/06", v, ymd));
  EXPECT_FALSE(TryStrToTime(u"25:00", v, ymd));
  EXPECT_EQ(v, 7);
}

}  // namespace

namespace {

TEST(TextToValue, CurrencyIsReadExactly) {
  const TFormatSettings dot = Settings(u'.', u'/', u"yyyy/MM/dd");
  struct Case {
    const char16_t* text;
    bool ok;
    int64_t scaled;
  };
  const Case cases[] = {
      {u"1.23456", true, 12346},  {u"0.00005", true, 0},     {u"0.00015", true, 2},
      {u"-1.5", true, -15000},    {u" 12 ", true, 120000},   {u"1.2E3", true, 12000000},
      {u"5E-5", true, 0},         {u"0", true, 0},           {u"-922337203685477.5808", true, INT64_MIN},
      {u"922337203685477.5807", true, INT64_MAX},             {u"922337203685477.5808", false, 0},
      {u"1E15", false, 0},        {u"x", false, 0},
  };
  for (const Case& c : cases) {
    Currency v = Currency::FromScaled(-7);
    EXPECT_EQ(TryStrToCurr(c.text, v, dot), c.ok) << UTF8Encode(c.text);
    EXPECT_EQ(v.Value, c.ok ? c.scaled : -7) << UTF8Encode(c.text);
  }
}

}  // namespace
