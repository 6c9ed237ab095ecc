// Tests of the platform's format routine, exceptions and UTF conversion.
#include <gtest/gtest.h>

#include <limits>

#include "platform/SysUtils.h"

namespace {

struct FormatCase {
  const char16_t* fmt;
  std::initializer_list<TVarRec> args;
  const char16_t* expected;
};

TEST(Format, Cases) {
  const FormatCase cases[] = {
      {u"%5.4f", {4.7502}, u"4.7502"},
      {u"%8.2f", {4.7502}, u"    4.75"},
      {u"%-6d|", {42}, u"42    |"},
      {u"%.4d", {-7}, u"-0007"},
      {u"%x", {0x2201}, u"2201"},
      {u"%.4x", {0x1F}, u"001F"},
      {u"%x", {-1}, u"FFFFFFFF"},
      {u"%d", {int64_t(9007199254740993)}, u"9007199254740993"},
      {u"%u", {-1}, u"4294967295"},
      {u"%.0n", {1234567.0}, u"1,234,567"},
      {u"%n", {-1234.5}, u"-1,234.50"},
      {u"%.2f", {0.125}, u"0.13"},
      {u"%.2f", {-0.001}, u"0.00"},
      {u"%e", {1.0}, u"1.00000000000000E+000"},
      {u"%.3e", {-12345.0}, u"-1.23E+004"},
      {u"%g", {1.5}, u"1.5"},
      {u"%g", {0.0001}, u"0.0001"},
      {u"%g", {1e20}, u"1E020"},
      {u"%g", {-2.5e-7}, u"-2.5E-007"},
      {u"%m", {Currency::FromScaled(12345678)}, u"\u00A51,235"},
      {u"%s and %s", {u"a", "b"}, u"a and b"},
      {u"%.2s", {u"abcdef"}, u"ab"},
      {u"%1:s %0:s %s", {u"a", u"b"}, u"b a b"},
      {u"%*d", {5, 42}, u"   42"},
      {u"100%%", {}, u"100%"},
      {u"%s [$%x/%d]", {u"At beginning of table.", 8705, 8705}, u"At beginning of table. [$2201/8705]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Format(c.fmt, c.args), c.expected) << UTF8Encode(c.fmt);
  }
}

TEST(Format, BadFormatsRaiseConvertError) {
  EXPECT_THROW(Format(u"%d", {1.5}), EConvertError);
  EXPECT_THROW(Format(u"%f", {1}), EConvertError);
  EXPECT_THROW(Format(u"%s %s", {u"x"}), EConvertError);
  EXPECT_THROW(Format(u"%q", {1}), EConvertError);
  EXPECT_THROW(Format(u"abc%", {}), EConvertError);
  try {
    Format(u"%d", {u"x"});
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"書式 '%d' が無効か、または引数と互換性がありません");
  }
}

TEST(Exceptions, NamesMessagesAndHierarchy) {
  try {
    throw EReadError(SReadError);
  } catch (const EStreamError& e) {
    EXPECT_EQ(e.ClassName(), u"EReadError");
    EXPECT_EQ(e.Message(), u"ストリームからの読み取りエラー");
    EXPECT_STREQ(e.what(), "ストリームからの読み取りエラー");
  }
  EXPECT_THROW(MV_ASSERT(1 + 1 == 3), EAssertionFailed);
  EXPECT_THROW(InvalidPointerError(), EHeapException);
  EXPECT_THROW(throw EStringListError(u"x"), EListError);
}

// The build machine's folders stay out of the messages a user sees.
TEST(Exceptions, AssertionNamesTheFileWithinTheSourceTree) {
  try {
    MV_ASSERT(1 + 1 == 3);
    FAIL();
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(e.Message().find(u"1 + 1 == 3 (tests/platform/SysUtils_test.cpp、"), String::npos) << e.what();
  }
}

TEST(Utf, RoundTripAndMalformedInput) {
  const String text = u"○×◆アイウエ abc \U0001F600";
  EXPECT_EQ(UTF8ToString(UTF8Encode(text)), text);
  EXPECT_EQ(UTF8ToString("\xC3\xA9"), u"\u00E9");
  EXPECT_EQ(UTF8ToString("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(UTF8ToString("\xE3\x81"), u"\uFFFD");
  EXPECT_EQ(UTF8Encode(String(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace

namespace {

TEST(FloatToDecimal, DigitsExponentAndLimits) {
  struct Case {
    Extended value;
    int precision, decimals;
    int32_t exponent;
    bool negative;
    const char* digits;
  };
  const Case cases[] = {
      {123.456L, 64, 19, 3, false, "123456"},   {-0.1L, 64, 19, 0, true, "1"},
      {0.125L, 2, 19, 0, false, "13"},          {0.125L, 64, 2, 0, false, "13"},  // half away from zero
      {6E-20L, 64, 19, -18, false, "1"},        {4E-20L, 64, 19, 0, false, ""},
      {1E20L, 64, 19, 21, false, "1"},          {0.0L, 64, 19, 0, false, ""},
      {1.0L / 3, 64, 19, 0, false, "333333333333333333"},  // 18 digits at the most
  };
  for (const Case& c : cases) {
    TFloatRec rec;
    FloatToDecimal(rec, c.value, c.precision, c.decimals);
    EXPECT_EQ(rec.Digits, c.digits) << double(c.value);
    EXPECT_EQ(rec.Exponent, c.exponent) << double(c.value);
    EXPECT_EQ(rec.Negative, c.negative) << double(c.value);
  }
  TFloatRec rec;
  FloatToDecimal(rec, -std::numeric_limits<Extended>::infinity(), 64, 19);
  EXPECT_EQ(rec.Exponent, FloatRecInfinity);
  EXPECT_TRUE(rec.Negative);
  FloatToDecimal(rec, std::numeric_limits<Extended>::quiet_NaN(), 64, 19);
  EXPECT_EQ(rec.Exponent, FloatRecNaN);
}

}  // namespace
