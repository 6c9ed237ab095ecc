// Tests of the float and currency mappers: each kind of target in both
// variants, the float text (golden texts), the routine chosen for string
// targets, texts in a locale with a decimal comma, the BCD route and its
// refusals, Double into DateTime, and the mended cases (NaN and the
// infinities, values beyond the 64-bit scaled form).
#include "convert/mvsdFieldMapperFloat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "foundation/types/mvllFmtBcd.h"
#include "mvcvTestSupport.h"
#include "platform/ValueToText.h"

using namespace mvtest;

namespace {

class FloatMapper : public ConvertTest {};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr LCID kGerman = 0x0407;

Bytes Scaled(int64_t aScaled) { return ValueBytes(aScaled); }
Bytes Byte(uint8_t aByte) { return Bytes{aByte}; }
Bytes D(double aValue) { return ValueBytes(aValue); }
Bytes F(float aValue) { return ValueBytes(aValue); }
Bytes Cur(int64_t aScaled) { return ValueBytes(aScaled); }

TEST_F(FloatMapper, IntegersAndBooleans) {
  ExpectRows({
      {"Single 300 -> Byte", mvtSingle, F(300), mvtByte, 0, 0, 10002, Untouched{}, 0, Byte(255)},
      {"Double 2.5 -> Int32", mvtDouble, D(2.5), mvtInt32, 0, 0, 10002, Untouched{}, 0, ValueBytes<int32_t>(2)},
      {"Double 3.5 -> Int8", mvtDouble, D(3.5), mvtInt8, 0, 0, 10002, Untouched{}, 0, ValueBytes<int8_t>(4)},
      {"Double -0.4 -> Word16", mvtDouble, D(-0.4), mvtWord16, 0, 0, 10002, Untouched{}, 0, ValueBytes<uint16_t>(0)},
      {"Double 1E-20 -> Int32", mvtDouble, D(1E-20), mvtInt32, 0, 0, 0, ValueBytes<int32_t>(0), 0,
       ValueBytes<int32_t>(0)},
      {"Double 2^63 -> Int64", mvtDouble, D(9223372036854775808.0), mvtInt64, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<int64_t>(INT64_MAX)},
      {"Double -2^63 -> Int64", mvtDouble, D(-9223372036854775808.0), mvtInt64, 0, 0, 0, ValueBytes<int64_t>(INT64_MIN),
       0, ValueBytes<int64_t>(INT64_MIN)},
      {"Extended 4294967295.4 -> AutoInc", mvtExtended, ExtendedBytes(4294967295.4L), mvtAutoInc, 0, 0, 10002,
       Untouched{}, 0, ValueBytes<uint32_t>(4294967295u)},
      {"Single 0.00005 -> Boolean", mvtSingle, F(0.00005f), mvtBoolean, 0, 0, 0, Byte(0), 0, Byte(0)},
      {"Double 0.00005 -> Boolean", mvtDouble, D(0.00005), mvtBoolean, 0, 0, 10002, Byte(255), 0, Byte(255)},
      {"Double 2 -> Boolean", mvtDouble, D(2), mvtBoolean, 0, 0, 10002, Byte(255), 0, Byte(255)},
      {"Double 1 -> Boolean", mvtDouble, D(1), mvtBoolean, 0, 0, 0, Byte(255), 0, Byte(255)},
      {"Currency 12.3456 -> Int16", mvtCurrency, Cur(123456), mvtInt16, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<int16_t>(12)},
      {"Currency 2.5 -> Int32", mvtCurrency, Cur(25000), mvtInt32, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<int32_t>(2)},
      {"BCD -3.5 -> Int32", mvtBCD, Cur(-35000), mvtInt32, 0, 0, 10002, Untouched{}, 0, ValueBytes<int32_t>(-4)},
      {"Currency 300 -> Byte", mvtCurrency, Cur(3000000), mvtByte, 0, 0, 10002, Untouched{}, 0, Byte(255)},
      {"Currency 12.5 -> Int64", mvtCurrency, Cur(125000), mvtInt64, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<int64_t>(12)},
      {"Currency 1 -> Boolean", mvtCurrency, Cur(10000), mvtBoolean, 0, 0, 0, Byte(255), 0, Byte(255)},
      {"Currency 2 -> Boolean", mvtCurrency, Cur(20000), mvtBoolean, 0, 0, 10002, Byte(255), 0, Byte(255)},
  });
}

TEST_F(FloatMapper, FloatsAndCurrency) {
  const Bytes extMax = ExtendedBytes(std::numeric_limits<double>::max());
  ExpectRows({
      {"Double -1E39 -> Single", mvtDouble, D(-1E39), mvtSingle, 0, 0, 10002, Untouched{}, 0,
       F(-3.4028234663852886E38f)},
      {"Double 1E-39 -> Single", mvtDouble, D(1E-39), mvtSingle, 0, 0, 10002, Untouched{}, 0, F(float(1E-39))},
      {"Double 0.1 -> Single", mvtDouble, D(0.1), mvtSingle, 0, 0, 0, F(0.1f), 0, F(0.1f)},
      {"Extended 1E400 -> Double", mvtExtended, ExtendedBytes(1E400L), mvtDouble, 0, 0, 10002, Untouched{}, 0,
       D(std::numeric_limits<double>::max())},
      {"Single 0.1 -> Extended", mvtSingle, F(0.1f), mvtExtended, 0, 0, 0, ExtendedBytes(0.1f), 0,
       ExtendedBytes(0.1f)},
      {"Extended -> Extended", mvtExtended, extMax, mvtExtended, 0, 0, 0, extMax, 0, extMax},
      {"Double 0.03125 -> Currency", mvtDouble, D(0.03125), mvtCurrency, 0, 0, 10002, Untouched{}, 0, Scaled(312)},
      {"Double 1.5 -> Currency", mvtDouble, D(1.5), mvtCurrency, 0, 0, 0, Scaled(15000), 0, Scaled(15000)},
      {"Single 0.1 -> Currency", mvtSingle, F(0.1f), mvtCurrency, 0, 0, 10002, Untouched{}, 0, Scaled(1000)},
      {"Double 1E15 -> Currency", mvtDouble, D(1E15), mvtCurrency, 0, 0, 10002, Untouched{}, 0,
       Scaled(INT64_MAX)},
      {"Currency -2^63 -> Currency", mvtCurrency, Cur(INT64_MIN), mvtCurrency, 0, 0, 0, Scaled(-INT64_MAX), 0,
       Scaled(-INT64_MAX)},
      {"BCD 1.5 -> Double", mvtBCD, Cur(15000), mvtDouble, 0, 0, 0, D(1.5), 0, D(1.5)},
      {"Currency 0.0001 -> Single", mvtCurrency, Cur(1), mvtSingle, 0, 0, 0, F(0.0001f), 0, F(0.0001f)},
      {"Double -> ByteArray(8)", mvtDouble, D(1), mvtByteArray, 8, 0, 0, D(1), 0, D(1)},
      {"Currency 1.2345 -> BCD(10,2)", mvtCurrency, Cur(12345), mvtBCD, 10, 2, 10002, Untouched{}, 0, Scaled(12300)},
      {"Currency 1.2345 -> BCD(20,4)", mvtCurrency, Cur(12345), mvtBCD, 20, 4, 0, Scaled(12345), 0, Scaled(12345)},
      {"Currency -2^63 -> BCD(20,4)", mvtCurrency, Cur(INT64_MIN), mvtBCD, 20, 4, 0, Scaled(-INT64_MAX), 0,
       Scaled(-INT64_MAX)},
  });
  EXPECT_FALSE(Conversion(mvtExtended, mvtByteArray, Act::None, 9).Exists());
  EXPECT_TRUE(Conversion(mvtExtended, mvtByteArray, Act::None, 10).Exists());
  EXPECT_FALSE(Conversion(mvtSingle, mvtDateTime, Act::None).Exists());
}

TEST_F(FloatMapper, FloatTextsAreGolden) {
  const TFormatSettings& fs = DefaultFormatSettings();
  EXPECT_EQ(FloatToStr(0.1f, fs), u"0.100000001490116");
  EXPECT_EQ(FloatToStr(0.1, fs), u"0.1");
  const struct {
    Extended value;
    const char16_t* text;
  } golden[] = {{0, u"0"},
                {-3.4E38L, u"-3.4E38"},
                {-1.7E308L, u"-1.7E308"},
                {1E15L, u"1E15"},
                {123456789012345.0L, u"123456789012345"},
                {999999999999999.4L, u"999999999999999"},
                {999999999999999.6L, u"1E15"},
                {1.5E-10L, u"1.5E-10"},
                {0.0001L, u"0.0001"},
                {0.00001L, u"1E-5"},
                {-123.456L, u"-123.456"},
                {-922337203685477.5808L, u"-922337203685478"},
                {std::numeric_limits<Extended>::quiet_NaN(), u"NAN"},
                {-std::numeric_limits<Extended>::infinity(), u"-INF"}};
  for (const auto& g : golden) EXPECT_EQ(FloatToStr(g.value, fs), g.text);
}

TEST_F(FloatMapper, TextsAndCharacters) {
  ExpectRows({
      {"Double 123.456 -> ShortString(5)", mvtDouble, D(123.456), mvtShortString, 5, 0, 10002, Untouched{}, 0,
       String(u"123.4")},
      {"Single 0.1 -> ShortString(10)", mvtSingle, F(0.1f), mvtShortString, 10, 0, 0, String(u"0.10000000"), 0,
       String(u"0.10000000")},
      {"Double 0.1 -> WideString(8)", mvtDouble, D(0.1), mvtWideString, 8, 0, 0, String(u"0.1"), 0, String(u"0.1")},
      {"Double 1E20 -> NullString(7)", mvtDouble, D(1E20), mvtNullString, 7, 0, 0, String(u"1E20"), 0,
       String(u"1E20")},
      {"Double 1E20 -> NullString(3)", mvtDouble, D(1E20), mvtNullString, 3, 0, 10002, Untouched{}, 0,
       String(u"1E2")},
      {"Currency 12.3456 -> WideString(20)", mvtCurrency, Cur(123456), mvtWideString, 20, 0, 0, String(u"12.3456"),
       0, String(u"12.3456")},
      {"Currency -2^63 -> ShortString(15)", mvtCurrency, Cur(INT64_MIN), mvtShortString, 15, 0, 10002, Untouched{}, 0,
       String(u"-92233720368547")},
      {"Currency -2^63 -> ShortString(16)", mvtCurrency, Cur(INT64_MIN), mvtShortString, 16, 0, 0,
       String(u"-922337203685478"), 0, String(u"-922337203685478")},
      {"Double 7 -> Char", mvtDouble, D(7), mvtChar, 0, 0, 0, Byte('7'), 0, Byte('7')},
      {"Double 7.5 -> Char", mvtDouble, D(7.5), mvtChar, 0, 0, 10002, Untouched{}, 0, Byte('7')},
      {"Double 0.5 -> Char", mvtDouble, D(0.5), mvtChar, 0, 0, 10002, Untouched{}, 0, Byte('0')},
      {"Double 1E20 -> WideChar", mvtDouble, D(1E20), mvtWideChar, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<char16_t>(u'1')},
      {"Single -3 -> Char", mvtSingle, F(-3), mvtChar, 0, 0, 10002, Untouched{}, 0, Byte('-')},
      {"Currency 9 -> Char", mvtCurrency, Cur(90000), mvtChar, 0, 0, 0, Byte('9'), 0, Byte('9')},
      {"Currency 0.5 -> Char", mvtCurrency, Cur(5000), mvtChar, 0, 0, 10002, Untouched{}, 0, Byte('0')},
  });
  // The sample text of the class decides: a Single's ('-3.4E38', 7
  // characters) fits 10 units, so the truncating routine serves dlaFail; a
  // Double's ('-1.7E308', 8) does not fit 5.
  Conversion single(mvtSingle, mvtShortString, Act::Fail, 10), forced(mvtSingle, mvtShortString, Act::BestFit, 10);
  EXPECT_EQ(single.Method().Code, forced.Method().Code);
  Conversion dbl(mvtDouble, mvtWideString, Act::Fail, 8), dblForced(mvtDouble, mvtWideString, Act::BestFit, 8);
  EXPECT_EQ(dbl.Method().Code, dblForced.Method().Code);
  Conversion dbl7(mvtDouble, mvtWideString, Act::Fail, 7), dbl7Forced(mvtDouble, mvtWideString, Act::BestFit, 7);
  EXPECT_NE(dbl7.Method().Code, dbl7Forced.Method().Code);
}

TEST_F(FloatMapper, TextsFollowTheTargetsLocale) {
  Conversion german(mvtDouble, mvtShortString, Act::BestFit, 5, 0, kGerman);
  EXPECT_EQ(german.RunValue(123.456), 0u);
  EXPECT_EQ(german.Text(), u"123,4");
  Conversion currency(mvtCurrency, mvtWideString, Act::BestFit, 10, 0, kGerman);
  EXPECT_EQ(currency.RunValue<int64_t>(-15000), 0u);
  EXPECT_EQ(currency.Text(), u"-1,5");
  // The system default locale (Japanese) when the field has none.
  Conversion plain(mvtDouble, mvtNullString, Act::BestFit, 8);
  EXPECT_EQ(plain.RunValue(-0.25), 0u);
  EXPECT_EQ(plain.Text(), u"-0.25");
  // The BCD route takes the process's format, not the target's.
  Conversion bcd(mvtDouble, mvtBCD, Act::BestFit, 10, 2, kGerman);
  EXPECT_EQ(bcd.RunValue(0.125), 0u);
  EXPECT_EQ(bcd.As<int64_t>(), 1200);
}

TEST_F(FloatMapper, BcdRoute) {
  ExpectRows({
      {"Double 0.125 -> BCD(10,2)", mvtDouble, D(0.125), mvtBCD, 10, 2, 10002, Untouched{}, 0, Scaled(1200)},
      {"Double -12.5 -> BCD(4,1)", mvtDouble, D(-12.5), mvtBCD, 4, 1, 0, Scaled(-125000), 0, Scaled(-125000)},
      {"Single 0.1 -> BCD(20,4)", mvtSingle, F(0.1f), mvtBCD, 20, 4, 10002, Untouched{}, 0, Scaled(1000)},
      {"Double 123456 -> BCD(5,0)", mvtDouble, D(123456), mvtBCD, 5, 0, 10002, Untouched{}, 0, Scaled(234560000)},
      // Fits 16 integer digits but not the scaled form.
      {"Double 9.5E14 -> BCD(20,4)", mvtDouble, D(9.5E14), mvtBCD, 20, 4, 10002, Untouched{}, 0,
       Scaled(9223372036854770000)},
      {"Extended -9.5E14 -> BCD(16,0)", mvtExtended, ExtendedBytes(-9.5E14L), mvtBCD, 16, 0, 10002, Untouched{}, 0,
       Scaled(-9223372036854770000)},
  });
  // A text in exponent notation is no decimal number, in either variant.
  for (Act act : {Act::Fail, Act::BestFit}) {
    for (double value : {1E20, 1E-5, kNaN, -kInf}) {
      Conversion c(mvtDouble, mvtBCD, act, 20, 4);
      const String text = FloatToStr(value, DefaultFormatSettings());
      try {
        c.RunValue(value);
        ADD_FAILURE() << "no exception for " << value;
      } catch (const EBcdException& e) {
        EXPECT_EQ(e.Message(), text + u" is not a valid BCD value");
      }
    }
  }
  Conversion huge(mvtExtended, mvtBCD, Act::BestFit, 20, 4);
  EXPECT_THROW(huge.Run(ExtendedBytes(1E400L)), EBcdException);
}

TEST_F(FloatMapper, DoubleIntoDateTime) {
  const struct {
    double value;
    double stamp;
  } cases[] = {{0.5, 693594.0 * 86400000 + 43200000},
               {-0.5, 693594.0 * 86400000 + 43200000},
               {-1.25, 693593.0 * 86400000 + 21600000},
               {-693593.5, 1.0 * 86400000 + 43200000}};
  for (Act act : {Act::Fail, Act::BestFit}) {
    for (const auto& c : cases) {
      Conversion conversion(mvtDouble, mvtDateTime, act);
      EXPECT_EQ(conversion.RunValue(c.value), 0u);
      EXPECT_EQ(conversion.As<double>(), c.stamp) << c.value;
    }
    // Before 0001-01-01, not a number, or milliseconds beyond 64 bits.
    for (double value : {-693594.0, -1E6, kNaN, kInf, 1E300, 2E14}) {
      Conversion conversion(mvtDouble, mvtDateTime, act);
      EXPECT_THROW(conversion.RunValue(value), EConvertError) << value;
    }
  }
}

TEST_F(FloatMapper, NotANumberAndInfinities) {
  const float fNaN = std::numeric_limits<float>::quiet_NaN();
  ExpectRows({
      {"NaN -> Int32", mvtDouble, D(kNaN), mvtInt32, 0, 0, 10002, Untouched{}, 0, ValueBytes<int32_t>(0)},
      {"+Inf -> Int8", mvtDouble, D(kInf), mvtInt8, 0, 0, 10002, Untouched{}, 0, ValueBytes<int8_t>(127)},
      {"-Inf -> Word32", mvtSingle, F(-kInf), mvtWord32, 0, 0, 10002, Untouched{}, 0, ValueBytes<uint32_t>(0)},
      {"NaN -> Boolean", mvtDouble, D(kNaN), mvtBoolean, 0, 0, 10002, Byte(255), 0, Byte(0)},
      {"-Inf -> Boolean", mvtDouble, D(-kInf), mvtBoolean, 0, 0, 10002, Byte(255), 0, Byte(255)},
      {"NaN -> Single", mvtDouble, D(kNaN), mvtSingle, 0, 0, 10002, Untouched{}, 0, F(0)},
      {"-Inf -> Single", mvtDouble, D(-kInf), mvtSingle, 0, 0, 10002, Untouched{}, 0,
       F(-std::numeric_limits<float>::max())},
      {"NaN -> Currency", mvtSingle, F(fNaN), mvtCurrency, 0, 0, 10002, Untouched{}, 0, Scaled(0)},
      {"-Inf -> Currency", mvtDouble, D(-kInf), mvtCurrency, 0, 0, 10002, Untouched{}, 0, Scaled(-INT64_MAX)},
      {"NaN -> Char", mvtDouble, D(kNaN), mvtChar, 0, 0, 10002, Untouched{}, 0, Byte('N')},
      {"NaN -> ShortString(8)", mvtDouble, D(kNaN), mvtShortString, 8, 0, 0, String(u"NAN"), 0, String(u"NAN")},
      {"-Inf -> WideString(8)", mvtSingle, F(-kInf), mvtWideString, 8, 0, 0, String(u"-INF"), 0, String(u"-INF")},
  });
  // Copies and widenings keep them.
  Conversion widen(mvtSingle, mvtDouble, Act::Fail);
  EXPECT_EQ(widen.RunValue(fNaN), 0u);
  EXPECT_TRUE(std::isnan(widen.As<double>()));
  Conversion copy(mvtDouble, mvtExtended, Act::Fail);
  EXPECT_EQ(copy.RunValue(-kInf), 0u);
  EXPECT_EQ(copy.AsExtended(), -std::numeric_limits<Extended>::infinity());
}

}  // namespace
