// Tests of the variant: kinds and type codes, sharing, conversions.
#include <gtest/gtest.h>

#include "support/mvCommaLocale.h"

#include "platform/Variants.h"

namespace {

TEST(Variant, KindsCarryThePlatformTypeCodes) {
  TBcd bcd;
  bcd.Precision = 1;
  const std::pair<Variant, TVarType> cases[] = {
      {Variant(), 0x0000}, {Variant::Null(), 0x0001}, {Variant(int16_t(1)), 0x0002},
      {Variant(int32_t(1)), 0x0003}, {Variant(1.0f), 0x0004}, {Variant(1.0), 0x0005},
      {Variant(Currency()), 0x0006}, {Variant::FromDate(1), 0x0007}, {Variant::FromOleStr(u"a"), 0x0008},
      {Variant(true), 0x000B}, {Variant(int8_t(1)), 0x0010}, {Variant(uint8_t(1)), 0x0011},
      {Variant(uint16_t(1)), 0x0012}, {Variant(uint32_t(1)), 0x0013}, {Variant(int64_t(1)), 0x0014},
      {Variant(uint64_t(1)), 0x0015}, {Variant::FromAnsiString("a"), 0x0100}, {Variant(u"a"), 0x0102},
      {Variant(bcd), varFMTBcd}, {Variant::ByteArray(2), 0x2011},
  };
  for (const auto& [v, code] : cases) EXPECT_EQ(VarType(v), code) << UTF8Encode(VarTypeAsText(code));
}

TEST(Variant, ByteArraysAreSharedAndCopiedOnWrite) {
  Variant a = Variant::ByteArray("\x01\x02\x03", 3);
  Variant b = a;
  EXPECT_EQ(a.ArrayData(), b.ArrayData());
  b.ArrayDataForWrite()[0] = 9;
  EXPECT_NE(a.ArrayData(), b.ArrayData());
  EXPECT_EQ(a.ArrayData()[0], 1);
  EXPECT_EQ(b.ArrayData()[0], 9);
  EXPECT_EQ(VarArrayLowBound(b, 1), 0);
  EXPECT_EQ(VarArrayHighBound(b, 1), 2);
  Variant c = std::move(b);
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(c.ArrayLength(), 3u);
  EXPECT_THROW(c.AsString(), EVariantError);
}

TEST(Variant, ArraysOfVariantsHoldTheirElementsAndNoBytes) {
  const Variant a = Variant::VariantArray({Variant(u"x"), Variant::Null(), Variant(int64_t(7))});
  EXPECT_EQ(VarType(a), 0x200C);
  EXPECT_TRUE(a.IsArray());
  EXPECT_TRUE(a.IsVariantArray());
  EXPECT_FALSE(Variant::ByteArray(2).IsVariantArray());
  EXPECT_EQ(a.ArrayCount(), 3u);
  EXPECT_EQ(a.ArrayLength(), 0u);
  EXPECT_EQ(a.ArrayData(), nullptr);
  EXPECT_EQ(VarArrayHighBound(a, 1), 2);
  const Variant b = a;  // shared, as every payload
  EXPECT_EQ(b.ArrayItem(0).AsString(), u"x");
  EXPECT_TRUE(b.ArrayItem(1).IsNull());
  EXPECT_EQ(b.ArrayItem(2).AsInt64(), 7);
  EXPECT_THROW(b.ArrayItem(3), EVariantError);
  EXPECT_THROW(a.AsString(), EVariantError);
}

TEST(Variant, IntegerConversionRoundsHalfToEven) {
  const std::pair<Variant, int64_t> cases[] = {
      {Variant(2.5), 2}, {Variant(3.5), 4}, {Variant(-2.5), -2}, {Variant(2.5000001), 3},
      {Variant(Currency::FromScaled(25000)), 2}, {Variant(Currency::FromScaled(35000)), 4},
      {Variant(Currency::FromScaled(-15000)), -2}, {Variant::FromDate(1.5), 2},
      {Variant(u" 42 "), 42}, {Variant(u"2.5"), 2}, {Variant(true), -1}, {Variant(), 0},
  };
  for (const auto& [v, expected] : cases) EXPECT_EQ(v.AsInt64(), expected) << UTF8Encode(VarToStr(v));
  EXPECT_THROW(Variant(3e9).AsInteger(), EVariantError);
  EXPECT_THROW(Variant::Null().AsInteger(), EVariantError);
  EXPECT_THROW(Variant(u"abc").AsInteger(), EVariantError);
  EXPECT_THROW(VarAsType(Variant(300), varByte), EVariantError);
  EXPECT_EQ(VarType(VarAsType(Variant(u"7"), varWord)), varWord);
}

TEST(Variant, TextForms) {
  const std::pair<Variant, const char16_t*> cases[] = {
      {Variant(1e20), u"1E20"}, {Variant(1.5e-7), u"1.5E-7"}, {Variant(0.0001), u"0.0001"},
      {Variant(123456789012345.0), u"123456789012345"}, {Variant(-0.5f), u"-0.5"},
      {Variant(Currency::FromScaled(12345000)), u"1234.5"}, {Variant(false), u"False"},
      {Variant::FromDate(0), u"1899/12/30"}, {Variant::FromDate(-1.25), u"1899/12/29 6:00:00"},
      {Variant(uint64_t(18446744073709551615ull)), u"18446744073709551615"}, {Variant::Null(), u""},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(VarToStr(v), text);
}

// A GUI toolkit sets the process locale at its start, decimal comma
// included: the conversions of number text must not follow it.
TEST(Variant, NumberConversionsIgnoreTheProcessLocale) {
  TmvCommaLocale comma;
  ASSERT_TRUE(comma.Active());
  const Variant b = VarAsType(Variant(u"12.5"), varFMTBcd);
  EXPECT_EQ(b.AsDouble(), 12.5);
  EXPECT_EQ(b.AsCurrency().Value, 125000);
  const Variant fromDouble = VarAsType(Variant(12.5), varFMTBcd);
  EXPECT_EQ(VarToStr(fromDouble), u"12.5");
  EXPECT_EQ(VarToStr(Variant(0.000125)), u"0.000125");
  EXPECT_EQ(VarToStr(Variant(1.5e20)), u"1.5E20");
  EXPECT_EQ(Format(u"%.2f|%g|%e", {2.5, 0.25, 1250.0}), u"2.50|0.25|1.25000000000000E+003");
}

TEST(Variant, CurrencyAndBcdConversions) {
  EXPECT_EQ(Variant(1.23456).AsCurrency().Value, 12346);
  EXPECT_THROW(Variant(1e300).AsCurrency(), EVariantError);
  EXPECT_EQ(Variant(int64_t(7)).AsCurrency().Value, 70000);

  Variant b = VarAsType(Variant(u"-0012.50"), varFMTBcd);
  EXPECT_EQ(VarToStr(b), u"-12.5");
  EXPECT_EQ(b.AsCurrency().Value, -125000);
  EXPECT_EQ(b.AsDouble(), -12.5);
  EXPECT_EQ(BcdRoutines().Compare(b.AsBcd(), Variant(u"3").AsBcd()), -1);
  EXPECT_EQ(BcdRoutines().Compare(Variant(u"10").AsBcd(), Variant(u"9.99").AsBcd()), 1);
  EXPECT_THROW(Variant(u"1x").AsBcd(), EConvertError);
}

}  // namespace
