// Tests of the packed decimal numbers.
#include <gtest/gtest.h>

#include <cstring>

#include "foundation/types/mvllFmtBcd.h"
#include "foundation/types/mvsdNativeVariantConverter.h"
#include "support/mvCommaLocale.h"

namespace {

TmvFmtBcd bcd(std::initializer_list<int> digits, int places, bool negative = false) {
  TmvFmtBcd b;
  b.Precision = static_cast<uint8_t>(digits.size());
  b.SignSpecialPlaces = static_cast<uint8_t>(places | (negative ? 0x80 : 0));
  int i = 0;
  for (int d : digits) {
    b.Fraction[i / 2] |= (i & 1) ? d : d << 4;
    ++i;
  }
  return b;
}

TEST(mvllFmtBcd, NormalizeReportsLostDigits) {
  const TmvFmtBcd x = bcd({1, 2, 3, 4, 5}, 2);  // 123.45
  struct {
    int precision, places, flags;
    const char16_t* text;
  } cases[] = {{4, 1, 2, u"123.4"}, {3, 0, 2, u"123"}, {2, 0, 3, nullptr}, {7, 3, 0, u"123.45"}, {5, 2, 0, u"123.45"}};
  for (auto c : cases) {
    TmvFmtBcd t;
    EXPECT_EQ(mvNormalizeBcd(x, t, c.precision, c.places), c.flags) << c.precision;
    if (c.text) {
      EXPECT_EQ(mvBcdToStr(t), c.text);
    }
  }
  TmvFmtBcd t;
  EXPECT_EQ(mvNormalizeBcd(bcd({0, 0, 1, 5, 0}, 2), t, 2, 1), 0);  // only zeros fall off
  EXPECT_THROW(mvNormalizeBcdChecked(x, t, 2, 0, mvBcdLostDecimalPlaces), EmvBcdOverflow);
  EXPECT_NO_THROW(mvNormalizeBcdChecked(x, t, 3, 0, mvBcdLostDecimalPlaces));
}

TEST(mvllFmtBcd, TextForms) {
  EXPECT_EQ(mvBcdToStr(bcd({0, 0, 1, 5, 0}, 2)), u"1.5");
  EXPECT_EQ(mvBcdToStr(bcd({5, 0}, 2)), u"0.50");
  EXPECT_EQ(mvBcdToStr(bcd({1, 5}, 1, true)), u"-1.5");
  EXPECT_EQ(mvBcdToStr(bcd({0, 0, 0}, 2, true)), u"0");
  EXPECT_EQ(mvBcdToStr(bcd({1, 0, 0}, 0)), u"100");
  TmvFmtBcd zero = mvStrToBcd(u"0");
  EXPECT_EQ(zero.Precision, 8);
  EXPECT_EQ(zero.SignSpecialPlaces, 2);
  EXPECT_EQ(mvBcdToStr(zero), u"0");
  EXPECT_THROW(mvBcdToStr(TmvFmtBcd()), EBcdOverflowException);

  struct {
    const char16_t* text;
    const char16_t* back;  // nullptr: refused
  } cases[] = {
      {u"123.45", u"123.45"}, {u"-0.5", u"-0.5"}, {u"007", u"7"}, {u"-", u"0"}, {u"1a", nullptr},
      {u"1-2", nullptr},      {u"1.2.3", nullptr}, {u"--1", nullptr}, {u"+1", nullptr},
  };
  for (auto c : cases) {
    TmvFmtBcd b;
    ASSERT_EQ(mvTryStrToBcd(c.text, b, u'.'), c.back != nullptr) << UTF8Encode(c.text);
    if (c.back) {
      EXPECT_EQ(mvBcdToStr(b), c.back) << UTF8Encode(c.text);
    }
  }
  try {
    mvStrToBcd(u"12x");
    FAIL();
  } catch (const EBcdException& e) {
    EXPECT_EQ(e.Message(), u"12x is not a valid BCD value");
  }
}

TEST(mvllFmtBcd, MoreThanSixtyFourDigitsAreRefusedNotOverflowed) {
  TmvFmtBcd b;
  const String d64(64, u'9');
  ASSERT_TRUE(mvTryStrToBcd(d64, b, u'.'));
  EXPECT_EQ(b.Precision, 64);
  EXPECT_FALSE(mvTryStrToBcd(d64 + u"9", b, u'.'));
  EXPECT_FALSE(mvTryStrToBcd(u"1." + d64, b, u'.'));
  EXPECT_FALSE(mvTryStrToBcd(u"0." + String(64, u'0') + u"1", b, u'.'));  // 65 places
  ASSERT_TRUE(mvTryStrToBcd(u"1." + String(63, u'0') + u"000", b, u'.'));  // only zeros beyond
  EXPECT_EQ(mvBcdToStr(b), u"1");
  EXPECT_THROW(mvStrToBcd(d64 + u"9"), EBcdException);
}

TEST(mvllFmtBcd, CurrencyDoubleAndInt64) {
  TmvFmtBcd b;
  EXPECT_EQ(mvCurrencyToBcd(Currency::FromScaled(15000), b, 5, 2), 0);
  EXPECT_EQ(mvBcdToStr(b), u"1.5");
  EXPECT_EQ(mvCurrencyToBcd(Currency::FromScaled(-12345), b, 5, 2), mvBcdLostDecimalPlaces);
  EXPECT_EQ(mvBcdToStr(b), u"-1.23");
  EXPECT_THROW(mvCurrencyToBcdChecked(Currency::FromScaled(1000000), b, 3, 2, 2), EmvBcdOverflow);
  EXPECT_EQ(mvCurrencyToBcd(Currency::FromScaled(INT64_MIN), b, 32, 4), 0);

  Currency c;
  ASSERT_TRUE(mvBcdToCurrency(mvStrToBcd(u"1.23455"), c));
  EXPECT_EQ(c.Value, 12346);  // tie to even
  ASSERT_TRUE(mvBcdToCurrency(mvStrToBcd(u"1.23445"), c));
  EXPECT_EQ(c.Value, 12344);
  ASSERT_TRUE(mvBcdToCurrency(mvStrToBcd(u"-922337203685477.5808"), c));
  EXPECT_EQ(c.Value, INT64_MIN);
  EXPECT_FALSE(mvBcdToCurrency(mvStrToBcd(u"922337203685477.5808"), c));
  EXPECT_FALSE(mvBcdToCurrency(TmvFmtBcd(), c));

  EXPECT_EQ(mvBcdToDouble(mvStrToBcd(u"-2.5")), -2.5);
  EXPECT_EQ(mvBcdToStr(mvDoubleToBcd(0.1)), u"0.1");
  EXPECT_EQ(mvBcdToStr(mvDoubleToBcd(1e20)), u"100000000000000000000");
  EXPECT_EQ(mvBcdToStr(mvDoubleToBcd(-1.25e-5)), u"-0.0000125");
  EXPECT_EQ(mvBcdToInt64(mvStrToBcd(u"-12.9"), true), -12);
  EXPECT_THROW(mvBcdToInt64(mvStrToBcd(u"12.9"), false), EConvertError);
  EXPECT_EQ(mvBcdCompare(mvStrToBcd(u"1.50"), mvStrToBcd(u"1.5")), 0);
  EXPECT_EQ(mvBcdCompare(mvStrToBcd(u"-2"), mvStrToBcd(u"1")), -1);
  EXPECT_EQ(mvBcdCompare(mvStrToBcd(u"10"), mvStrToBcd(u"9.99")), 1);
}

TEST(mvllFmtBcd, Variants) {
  mvPatchFmtBcdVariantType();
  Variant v = mvBcdToVariant(mvStrToBcd(u"1.5"));
  TFMTBcdVariantTypeFix::UnaryOp(v, opNegate);
  EXPECT_EQ(VarToStr(v), u"-1.5");
  TFMTBcdVariantTypeFix::UnaryOp(v, opNegate);
  EXPECT_EQ(VarToStr(v), u"1.5");
  EXPECT_THROW(TFMTBcdVariantTypeFix::UnaryOp(v, opNot), EVariantError);

  EXPECT_EQ(mvBcdToStr(mvVariantToBcd(Variant(int32_t(42)))), u"42");
  uint8_t buf[34];
  std::memset(buf, 0xEE, sizeof buf);
  mvVariantToBcdBytes(Variant(u"123.456"), 5, 2, 5, buf);  // (5 + 1) div 2 + 2 = 5 bytes
  TmvFmtBcd b;
  std::memcpy(static_cast<void*>(&b), buf, 5);
  EXPECT_EQ(mvBcdToStr(b), u"123.45");
  EXPECT_EQ(buf[5], 0xEE);
  try {
    mvVariantToBcdBytes(Variant(u"1"), 5, 2, 4, buf);
    FAIL();
  } catch (const EmvBcdOverflow& e) {
    EXPECT_EQ(e.ErrorCode(), 9985u);
    EXPECT_NE(e.Message().find(u"BCD overflow"), String::npos);
  }
  EXPECT_THROW(mvVariantToBcdBytes(Variant(u"1234"), 5, 2, 5, buf), EmvBcdOverflow);

  EXPECT_EQ(mvCheckCurrencyFitsBcd(Variant(Currency::FromScaled(-123456)), 4, 1).Value, -123000);  // -12.3456 cut to -12.3
  EXPECT_THROW(mvCheckCurrencyFitsBcd(Variant(Currency::FromScaled(1234560)), 3, 1), EmvBcdOverflow);
}

}  // namespace

namespace {

// A GUI toolkit sets the process locale at its start, decimal comma
// included: 12.5 must stay 12.5 on its way to and from floating point.
TEST(mvllFmtBcd, FloatingPointConversionsIgnoreTheProcessLocale) {
  TmvCommaLocale comma;
  ASSERT_TRUE(comma.Active());
  EXPECT_EQ(mvBcdToDouble(bcd({1, 2, 5}, 1)), 12.5);
  EXPECT_EQ(mvBcdToDouble(bcd({1, 2, 5}, 1, true)), -12.5);
  EXPECT_EQ(mvBcdToStr(mvDoubleToBcd(12.5)), u"12.5");
  EXPECT_EQ(mvBcdToStr(mvDoubleToBcd(-0.000125)), u"-0.000125");
  EXPECT_EQ(mvBcdToStr(mvDoubleToBcd(1.5e20)), u"150000000000000000000");
}

}  // namespace

namespace {

// A record no conversion makes is refused by every conversion alike: digits
// beyond the precision are never written, places beyond the digits and
// digit nibbles above 9 are never read as some value.
TEST(mvllFmtBcd, DamagedRecordsAndLayoutsAreRefused) {
  const TmvFmtBcd good = bcd({1, 2, 5}, 1);
  TmvFmtBcd twelveHundredth = bcd({1, 2}, 2);
  TmvFmtBcd morePlacesThanDigits = twelveHundredth;
  morePlacesThanDigits.SignSpecialPlaces = 5;
  const TmvFmtBcd badNibble = bcd({1, 0xA, 3}, 1);
  TmvFmtBcd noDigits = good;
  noDigits.Precision = 0;
  TmvFmtBcd t;
  for (const TmvFmtBcd& damaged : {morePlacesThanDigits, badNibble, noDigits}) {
    EXPECT_FALSE(mvBcdIsValid(damaged));
    EXPECT_THROW(mvBcdToStr(damaged), EBcdOverflowException);
    Currency c;
    EXPECT_FALSE(mvBcdToCurrency(damaged, c));
    EXPECT_THROW(mvNormalizeBcd(damaged, t, 10, 2), EmvBcdOverflow);
    EXPECT_THROW(mvBcdCompare(damaged, good), EBcdOverflowException);
  }
  EXPECT_TRUE(mvBcdIsValid(twelveHundredth));
  EXPECT_EQ(mvBcdToStr(twelveHundredth), u"0.12");
  // Layouts that are no number: nothing is written.
  for (auto [precision, places] : {std::pair{65, 2}, {255, 0}, {0, 0}, {4, 5}, {4, -1}})
    EXPECT_THROW(mvNormalizeBcd(good, t, precision, places), EmvBcdOverflow) << precision << " " << places;
  uint8_t field[40] = {};
  EXPECT_THROW(mvVariantToNativeEx(mvInvariantFormatSettings(), mvtFmtBCD, 0, 65, 2, Variant(good), field,
                                   int32_t(sizeof field), false),
               EmvBcdOverflow);
}

}  // namespace
