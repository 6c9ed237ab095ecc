// Tests of reading floating-point numbers and date-time values from text with
// explicit format settings.
#include <gtest/gtest.h>

#include "platform/DateUtils.h"
#include "platform/TextToValue.h"

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
