// Tests of the FmtBCD mapper: numbers into FmtBCD fields (the stored bytes,
// digits cut, the checking variant's refusals, floats that are no number),
// FmtBCD values into the numeric types in both variants with the float
// precision checks, FmtBCD into FmtBCD, damaged records, and random values
// that must come back unchanged wherever the checking variant accepts them.
#include "convert/mvsdFieldMapperFmtBcd.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "foundation/types/mvllFmtBcd.h"
#include "mvcvTestSupport.h"

using namespace mvtest;

namespace {

class FmtBcdMapper : public ConvertTest {};

constexpr Act kChecking = Act::Fail, kForcing = Act::BestFit;

// The field bytes of a decimal text laid out with aUnits digits and aPlaces.
Bytes FmtBcd(const char16_t* aText, int aUnits, int aPlaces) {
  TmvFmtBcd bcd;
  mvNormalizeBcd(mvStrToBcd(aText, u'.'), bcd, aUnits, aPlaces);
  Bytes b(size_t((aUnits + 1) / 2 + 2));
  b[0] = bcd.Precision;
  b[1] = bcd.SignSpecialPlaces;
  std::memcpy(b.data() + 2, bcd.Fraction, b.size() - 2);
  return b;
}

// The text of an FmtBCD target.
String TextOf(const Conversion& aConversion) {
  TmvFmtBcd bcd;
  std::memcpy(&bcd, aConversion.Output.data(), aConversion.Output.size());
  return mvBcdToStr(bcd, u'.');
}

Conversion IntoFmtBcd(TmvFieldType aSource, int aUnits, int aPlaces, Act aAct) {
  return Conversion(MakeField(aSource), MakeField(mvtFmtBCD, aUnits, aPlaces), aAct);
}

TEST_F(FmtBcdMapper, NumbersIntoFmtBcd) {
  Conversion exact = IntoFmtBcd(mvtInt32, 5, 2, kChecking);
  ASSERT_EQ(exact.Run(ValueBytes<int32_t>(123)), 0u);
  EXPECT_EQ(exact.Output, (Bytes{0x05, 0x02, 0x12, 0x30, 0x00}));
  EXPECT_EQ(IntoFmtBcd(mvtInt32, 2, 0, kChecking).Run(ValueBytes<int32_t>(123)), 10002u);
  Conversion cut = IntoFmtBcd(mvtInt32, 2, 0, kForcing);
  EXPECT_EQ(cut.Run(ValueBytes<int32_t>(123)), 0u);
  EXPECT_EQ(TextOf(cut), u"23");
  // Fraction digits are cut, not rounded.
  const Bytes currency = ValueBytes<int64_t>(12345);  // 1.2345
  Conversion refused = IntoFmtBcd(mvtCurrency, 10, 2, kChecking);
  EXPECT_EQ(refused.Run(currency), 10002u);
  EXPECT_EQ(refused.Output, Bytes(refused.Output.size(), 0xA5));
  Conversion cents = IntoFmtBcd(mvtCurrency, 10, 2, kForcing);
  EXPECT_EQ(cents.Run(currency), 0u);
  EXPECT_EQ(TextOf(cents), u"1.23");
  Conversion word = IntoFmtBcd(mvtWord32, 10, 0, kChecking);
  EXPECT_EQ(word.Run(ValueBytes<uint32_t>(4294967295u)), 0u);
  EXPECT_EQ(TextOf(word), u"4294967295");
  // A Double of 1E20 has no exponent in its digits: exact.
  Conversion large = IntoFmtBcd(mvtDouble, 32, 0, kChecking);
  EXPECT_EQ(large.Run(ValueBytes(1E20)), 0u);
  EXPECT_EQ(TextOf(large), u"100000000000000000000");
  Conversion single = IntoFmtBcd(mvtSingle, 10, 4, kForcing);
  EXPECT_EQ(single.Run(ValueBytes(0.1f)), 0u);
  EXPECT_EQ(TextOf(single), u"0.1");
  Conversion extended = IntoFmtBcd(mvtExtended, 30, 20, kChecking);
  EXPECT_EQ(extended.Run(ExtendedBytes(-0.125L)), 0u);
  EXPECT_EQ(TextOf(extended), u"-0.125");
  // Floats that are no number raise, whatever the variant.
  for (TmvFieldType type : {mvtSingle, mvtDouble, mvtExtended}) {
    for (Act act : {kChecking, kForcing}) {
      Conversion c = IntoFmtBcd(type, 10, 2, act);
      const Bytes nan = type == mvtSingle   ? ValueBytes(std::numeric_limits<float>::quiet_NaN())
                        : type == mvtDouble ? ValueBytes(std::numeric_limits<double>::infinity())
                                            : ExtendedBytes(-std::numeric_limits<Extended>::infinity());
      try {
        c.Run(nan);
        ADD_FAILURE() << "no exception for " << int(type);
      } catch (const EBcdException& e) {
        EXPECT_NE(e.Message().find(u"is not a valid BCD value"), String::npos);
      }
    }
  }
}

TEST_F(FmtBcdMapper, FmtBcdIntoNumbers) {
  ExpectRows({
      {"12.50 -> Int32", mvtFmtBCD, FmtBcd(u"12.5", 6, 2), mvtInt32, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<int32_t>(12), 6, 2},
      {"12.00 -> Int32", mvtFmtBCD, FmtBcd(u"12", 6, 2), mvtInt32, 0, 0, 0, ValueBytes<int32_t>(12), 0,
       ValueBytes<int32_t>(12), 6, 2},
      {"-5.7 -> Int32", mvtFmtBCD, FmtBcd(u"-5.7", 6, 2), mvtInt32, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<int32_t>(-5), 6, 2},
      {"300 -> Byte", mvtFmtBCD, FmtBcd(u"300", 6, 2), mvtByte, 0, 0, 10002, Untouched{}, 0, Bytes{255}, 6, 2},
      {"-1 -> Word32", mvtFmtBCD, FmtBcd(u"-1", 6, 2), mvtWord32, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<uint32_t>(0), 6, 2},
      {"-1 -> Int8", mvtFmtBCD, FmtBcd(u"-1", 6, 2), mvtInt8, 0, 0, 0, Bytes{0xFF}, 0, Bytes{0xFF}, 6, 2},
      {"1E25 -> Int64", mvtFmtBCD, FmtBcd(u"10000000000000000000000000", 30, 2), mvtInt64, 0, 0, 10002,
       Untouched{}, 0, ValueBytes<int64_t>(INT64_MAX), 30, 2},
      {"1.23456 -> Currency", mvtFmtBCD, FmtBcd(u"1.23456", 10, 5), mvtCurrency, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<int64_t>(12346), 10, 5},
      {"-2.5 -> BCD", mvtFmtBCD, FmtBcd(u"-2.5", 10, 5), mvtBCD, 0, 0, 0, ValueBytes<int64_t>(-25000), 0,
       ValueBytes<int64_t>(-25000), 10, 5},
      {"1E20 -> Currency", mvtFmtBCD, FmtBcd(u"100000000000000000000", 30, 0), mvtCurrency, 0, 0, 10002, Untouched{},
       10002, Untouched{}, 30, 0},
      {"0.1 -> Single", mvtFmtBCD, FmtBcd(u"0.1", 6, 2), mvtSingle, 0, 0, 0, ValueBytes(0.1f), 0, ValueBytes(0.1f), 6, 2},
      {"123456789.123 -> Single", mvtFmtBCD, FmtBcd(u"123456789.123", 20, 3), mvtSingle, 0, 0, 10002,
       ValueBytes(123456792.0f), 0, ValueBytes(123456792.0f), 20, 3},
      {"0.1 -> Double", mvtFmtBCD, FmtBcd(u"0.1", 6, 2), mvtDouble, 0, 0, 0, ValueBytes(0.1), 0, ValueBytes(0.1), 6, 2},
      {"1/3 -> Extended", mvtFmtBCD, FmtBcd(u"0.333333333333333333333", 30, 21), mvtExtended, 0, 0, 0,
       ExtendedBytes(0.333333333333333333333L), 0, ExtendedBytes(0.333333333333333333333L), 30, 21},
      // Mended: beyond the Single range the largest value, never infinity.
      {"-1E50 -> Single", mvtFmtBCD, FmtBcd(u"-100000000000000000000000000000000000000000000000000", 60, 0), mvtSingle,
       0, 0, 10002, Untouched{}, 0, ValueBytes(-std::numeric_limits<float>::max()), 60, 0},
  });
}

TEST_F(FmtBcdMapper, FmtBcdIntoFmtBcdAndDamagedRecords) {
  // Identical descriptors: the bytes as they are, even a damaged record.
  const Bytes odd{0x05, 0x02, 0xAB, 0xCD, 0xEF};
  for (Act act : {kChecking, kForcing}) {
    Conversion same(MakeField(mvtFmtBCD, 5, 2), MakeField(mvtFmtBCD, 5, 2), act);
    EXPECT_EQ(same.Run(odd), 0u);
    EXPECT_EQ(same.Output, odd);
  }
  Conversion fewer(MakeField(mvtFmtBCD, 8, 3), MakeField(mvtFmtBCD, 5, 1), kForcing);
  EXPECT_EQ(fewer.Run(FmtBcd(u"-12345.678", 8, 3)), 0u);
  EXPECT_EQ(TextOf(fewer), u"-2345.6");
  Conversion refused(MakeField(mvtFmtBCD, 8, 3), MakeField(mvtFmtBCD, 6, 1), kChecking);
  EXPECT_EQ(refused.Run(FmtBcd(u"12345.6", 8, 3)), 0u);
  EXPECT_EQ(refused.Run(FmtBcd(u"12345.67", 8, 3)), 10002u);
  // A damaged record (a digit nibble above 9) reads as no value that fits.
  for (Act act : {kChecking, kForcing}) {
    for (TmvFieldType target : {mvtFmtBCD, mvtInt32, mvtDouble, mvtCurrency}) {
      Conversion c(MakeField(mvtFmtBCD, 6, 2), MakeField(target, 4, 1), act);
      EXPECT_EQ(c.Run(Bytes{0x06, 0x02, 0x1F, 0x00, 0x00}), 10002u) << int(target);
      EXPECT_EQ(c.Run(Bytes{0x00, 0x00, 0x00, 0x00, 0x00}), 10002u) << int(target);  // precision 0
    }
  }
}

TEST_F(FmtBcdMapper, RandomValuesComeBackUnchanged) {
  std::mt19937_64 random(20240506);
  int accepted = 0;
  auto roundTrip = [&](TmvFieldType aType, const Bytes& aValue, int aUnits, int aPlaces) {
    Conversion in = IntoFmtBcd(aType, aUnits, aPlaces, kChecking);
    if (in.Run(aValue) != 0) return;
    Conversion out(MakeField(mvtFmtBCD, aUnits, aPlaces), MakeField(aType, 20, 4), kChecking);
    ASSERT_EQ(out.Run(in.Output), 0u) << int(aType) << " (" << aUnits << "," << aPlaces << ")";
    EXPECT_EQ(Bytes(out.Output.begin(), out.Output.begin() + long(aValue.size())), aValue)
        << int(aType) << " (" << aUnits << "," << aPlaces << ")";
    ++accepted;
  };
  for (int i = 0; i < 400; ++i) {
    const int units = 1 + int(random() % 24), places = int(random() % std::min(units, 6));
    const uint64_t bits = random() >> (random() % 64);
    roundTrip(mvtInt8, ValueBytes(int8_t(bits)), units, places);
    roundTrip(mvtWord16, ValueBytes(uint16_t(bits)), units, places);
    roundTrip(mvtInt32, ValueBytes(int32_t(bits)), units, places);
    roundTrip(mvtAutoInc, ValueBytes(uint32_t(bits)), units, places);
    roundTrip(mvtInt64, ValueBytes(int64_t(bits)), units, places);
    roundTrip(mvtCurrency, ValueBytes(int64_t(bits)), units, places);
    roundTrip(mvtBCD, ValueBytes(int64_t(bits) / 7), units, places);
  }
  EXPECT_GT(accepted, 500);
}

}  // namespace
