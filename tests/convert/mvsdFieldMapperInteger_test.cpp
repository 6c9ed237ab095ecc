// Tests of the Boolean and integer mappers: each kind of target in both
// variants, the routines chosen when the target can hold every value, the
// RefNr row, ByteArray targets, and the mended cases (BCD values beyond the
// 64-bit scaled form, Boolean into string fields without room).
#include "convert/mvsdFieldMapperInteger.h"

#include <gtest/gtest.h>

#include "mvcvTestSupport.h"

using namespace mvtest;

namespace {

class IntegerMapper : public ConvertTest {};

Bytes Scaled(int64_t aScaled) { return ValueBytes(aScaled); }
Bytes Wide(char16_t aChar) { return ValueBytes(aChar); }
Bytes Byte(uint8_t aByte) { return Bytes{aByte}; }

TEST_F(IntegerMapper, NumbersAndCharactersInBothVariants) {
  ExpectRows({
      {"Int16 300 -> Byte", mvtInt16, ValueBytes<int16_t>(300), mvtByte, 0, 0, 10002, Untouched{}, 0, Byte(255)},
      {"Int16 -5 -> Byte", mvtInt16, ValueBytes<int16_t>(-5), mvtByte, 0, 0, 10002, Untouched{}, 0, Byte(0)},
      {"Int32 65536 -> Word16", mvtInt32, ValueBytes<int32_t>(65536), mvtWord16, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<uint16_t>(65535)},
      {"Int32 65536 -> Int16", mvtInt32, ValueBytes<int32_t>(65536), mvtInt16, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<int16_t>(32767)},
      {"Word32 max -> Int32", mvtWord32, ValueBytes<uint32_t>(4294967295u), mvtInt32, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<int32_t>(2147483647)},
      {"AutoInc max -> Int64", mvtAutoInc, ValueBytes<uint32_t>(4294967295u), mvtInt64, 0, 0, 0,
       ValueBytes<int64_t>(4294967295), 0, ValueBytes<int64_t>(4294967295)},
      {"Int64 -1 -> RecRev", mvtInt64, ValueBytes<int64_t>(-1), mvtRecRev, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<uint32_t>(0)},
      {"Int64 2^32 -> Boolean", mvtInt64, ValueBytes<int64_t>(4294967296), mvtBoolean, 0, 0, 10002, Untouched{}, 0,
       Byte(255)},
      {"Int64 1 -> Boolean", mvtInt64, ValueBytes<int64_t>(1), mvtBoolean, 0, 0, 0, Byte(255), 0, Byte(255)},
      {"Int8 0 -> Boolean", mvtInt8, ValueBytes<int8_t>(0), mvtBoolean, 0, 0, 0, Byte(0), 0, Byte(0)},
      {"Int64 2^32+5 -> WideChar", mvtInt64, ValueBytes<int64_t>(4294967301), mvtWideChar, 0, 0, 10002, Untouched{},
       0, Wide(u'4')},
      {"Int32 7 -> WideChar", mvtInt32, ValueBytes<int32_t>(7), mvtWideChar, 0, 0, 0, Wide(u'7'), 0, Wide(u'7')},
      {"Int8 -7 -> Char", mvtInt8, ValueBytes<int8_t>(-7), mvtChar, 0, 0, 10002, Untouched{}, 0, Byte('-')},
      {"Word16 42 -> Char", mvtWord16, ValueBytes<uint16_t>(42), mvtChar, 0, 0, 10002, Untouched{}, 0, Byte('4')},
      {"Int64 2^53+1 -> Double", mvtInt64, ValueBytes<int64_t>(9007199254740993), mvtDouble, 0, 0, 0,
       ValueBytes<double>(9007199254740992.0), 0, ValueBytes<double>(9007199254740992.0)},
      {"Int32 16777217 -> Single", mvtInt32, ValueBytes<int32_t>(16777217), mvtSingle, 0, 0, 0,
       ValueBytes<float>(16777216.0f), 0, ValueBytes<float>(16777216.0f)},
      {"Int64 min -> Extended", mvtInt64, ValueBytes<int64_t>(INT64_MIN), mvtExtended, 0, 0, 0,
       ExtendedBytes(-9223372036854775808.0L), 0, ExtendedBytes(-9223372036854775808.0L)},
      {"Int64 10^15 -> Currency", mvtInt64, ValueBytes<int64_t>(1000000000000000), mvtCurrency, 0, 0, 0,
       Scaled(9223372036854770000), 0, Scaled(9223372036854770000)},
      {"Int64 min -> Currency", mvtInt64, ValueBytes<int64_t>(INT64_MIN), mvtCurrency, 0, 0, 0,
       Scaled(-9223372036854770000), 0, Scaled(-9223372036854770000)},
      {"Word32 max -> Currency", mvtWord32, ValueBytes<uint32_t>(4294967295u), mvtCurrency, 0, 0, 0,
       Scaled(42949672950000), 0, Scaled(42949672950000)},
  });
}

TEST_F(IntegerMapper, DecimalTexts) {
  ExpectRows({
      {"Int32 123456 -> ShortString(4)", mvtInt32, ValueBytes<int32_t>(123456), mvtShortString, 4, 0, 10002,
       Untouched{}, 0, String(u"1234")},
      {"Int32 123456 -> ShortString(11)", mvtInt32, ValueBytes<int32_t>(123456), mvtShortString, 11, 0, 0,
       String(u"123456"), 0, String(u"123456")},
      {"Int8 -128 -> WideString(3)", mvtInt8, ValueBytes<int8_t>(-128), mvtWideString, 3, 0, 10002, Untouched{}, 0,
       String(u"-12")},
      {"Int8 -128 -> NullString(4)", mvtInt8, ValueBytes<int8_t>(-128), mvtNullString, 4, 0, 0, String(u"-128"), 0,
       String(u"-128")},
      {"Int64 min -> NullString(20)", mvtInt64, ValueBytes<int64_t>(INT64_MIN), mvtNullString, 20, 0, 0,
       String(u"-9223372036854775808"), 0, String(u"-9223372036854775808")},
      {"Word32 max -> WideString(9)", mvtWord32, ValueBytes<uint32_t>(4294967295u), mvtWideString, 9, 0, 10002,
       Untouched{}, 0, String(u"429496729")},
      {"RefNr -> ShortString(20)", mvtRefNr, ValueBytes<int64_t>(-42), mvtShortString, 20, 0, 0, String(u"-42"), 0,
       String(u"-42")},
  });
  // A target wide enough for every text of the source: the truncating
  // routine even under dlaFail; one character short: the checking routine.
  Conversion wide(mvtInt32, mvtShortString, Act::Fail, 11), narrow(mvtInt32, mvtShortString, Act::Fail, 10);
  Conversion bestFit(mvtInt32, mvtShortString, Act::BestFit, 10);
  EXPECT_EQ(wide.Method().Code, bestFit.Method().Code);
  EXPECT_NE(narrow.Method().Code, bestFit.Method().Code);
  EXPECT_EQ(wide.Method().Data, wide.Instance());
}

TEST_F(IntegerMapper, BcdTargets) {
  ExpectRows({
      {"Int16 12345 -> BCD(4,0)", mvtInt16, ValueBytes<int16_t>(12345), mvtBCD, 4, 0, 10002, Untouched{}, 0,
       Scaled(23450000)},
      {"Int16 12345 -> BCD(5,0)", mvtInt16, ValueBytes<int16_t>(12345), mvtBCD, 5, 0, 0, Scaled(123450000), 0,
       Scaled(123450000)},
      {"Int32 -77 -> BCD(6,2)", mvtInt32, ValueBytes<int32_t>(-77), mvtBCD, 6, 2, 0, Scaled(-770000), 0,
       Scaled(-770000)},
      {"Int64 10^15 -> BCD(20,4)", mvtInt64, ValueBytes<int64_t>(1000000000000000), mvtBCD, 20, 4, 10002, Untouched{},
       0, Scaled(9223372036854770000)},
      {"Int64 -10^15 -> BCD(16,0)", mvtInt64, ValueBytes<int64_t>(-1000000000000000), mvtBCD, 16, 0, 10002,
       Untouched{}, 0, Scaled(-9223372036854770000)},
      {"Int64 10^18+7 -> BCD(16,0)", mvtInt64, ValueBytes<int64_t>(1000000000000000007), mvtBCD, 16, 0, 10002,
       Untouched{}, 0, Scaled(70000)},
      {"Int64 922337203685477 -> BCD(20,4)", mvtInt64, ValueBytes<int64_t>(922337203685477), mvtBCD, 20, 4, 0,
       Scaled(9223372036854770000), 0, Scaled(9223372036854770000)},
  });
  // Wide enough for every Int16: the direct routine, whatever the action.
  Conversion direct(mvtInt16, mvtBCD, Act::Fail, 5), forced(mvtInt16, mvtBCD, Act::BestFit, 5);
  EXPECT_EQ(direct.Method().Code, forced.Method().Code);
}

TEST_F(IntegerMapper, BooleanSources) {
  const Bytes b255{255}, b128{128}, b0{0};
  ExpectRows({
      {"255 -> Int16", mvtBoolean, b255, mvtInt16, 0, 0, 0, ValueBytes<int16_t>(255), 0, ValueBytes<int16_t>(255)},
      {"255 -> Int64", mvtBoolean, b255, mvtInt64, 0, 0, 0, ValueBytes<int64_t>(-1), 0, ValueBytes<int64_t>(-1)},
      {"255 -> Word16", mvtBoolean, b255, mvtWord16, 0, 0, 0, ValueBytes<uint16_t>(1), 0, ValueBytes<uint16_t>(1)},
      {"128 -> Word32", mvtBoolean, b128, mvtWord32, 0, 0, 0, ValueBytes<uint32_t>(128), 0,
       ValueBytes<uint32_t>(128)},
      {"255 -> Int8", mvtBoolean, b255, mvtInt8, 0, 0, 0, Byte(255), 0, Byte(255)},
      {"255 -> Double", mvtBoolean, b255, mvtDouble, 0, 0, 0, ValueBytes<double>(-1), 0, ValueBytes<double>(-1)},
      {"255 -> BCD", mvtBoolean, b255, mvtBCD, 4, 0, 0, Scaled(-10000), 0, Scaled(-10000)},
      {"255 -> Char", mvtBoolean, b255, mvtChar, 0, 0, 0, Byte('1'), 0, Byte('1')},
      {"0 -> WideChar", mvtBoolean, b0, mvtWideChar, 0, 0, 0, Wide(u'0'), 0, Wide(u'0')},
      {"128 -> ByteArray", mvtBoolean, b128, mvtByteArray, 3, 0, 0, Bytes{255, 0xA5}, 0, Bytes{255, 0xA5}},
      {"255 -> ShortString(1)", mvtBoolean, b255, mvtShortString, 1, 0, 0, Bytes{1, '1'}, 0, Bytes{1, '1'}},
      {"255 -> NullString(5)", mvtBoolean, b255, mvtNullString, 5, 0, 0, Bytes{'1', 0, 0xA5}, 0,
       Bytes{'1', 0, 0xA5}},
      {"0 -> WideString(1)", mvtBoolean, b0, mvtWideString, 1, 0, 0, Bytes{'0', 0, 0, 0}, 0, Bytes{'0', 0, 0, 0}},
  });
  // A string field with room for no character would be written past its
  // end: no conversion.
  for (TmvFieldType type : {mvtShortString, mvtNullString, mvtWideString})
    EXPECT_FALSE(Conversion(mvtBoolean, type, Act::BestFit, 0).Exists()) << int(type);
}

TEST_F(IntegerMapper, ByteArraysAndRecordReferences) {
  EXPECT_FALSE(Conversion(mvtInt16, mvtByteArray, Act::None, 1).Exists());
  ExpectRows({
      {"Int16 -> ByteArray(4)", mvtInt16, ValueBytes<int16_t>(0x1234), mvtByteArray, 4, 0, 0,
       Bytes{0x34, 0x12, 0xA5, 0xA5}, 0, Bytes{0x34, 0x12, 0xA5, 0xA5}},
      {"RefNr -> Int64", mvtRefNr, ValueBytes<int64_t>(INT64_MIN + 3), mvtInt64, 0, 0, 0,
       ValueBytes<int64_t>(INT64_MIN + 3), 0, ValueBytes<int64_t>(INT64_MIN + 3)},
      {"RefNr -> RefNr", mvtRefNr, ValueBytes<int64_t>(77), mvtRefNr, 0, 0, 0, ValueBytes<int64_t>(77), 0,
       ValueBytes<int64_t>(77)},
  });
  for (TmvFieldType type : {mvtInt32, mvtBoolean, mvtCurrency, mvtBCD, mvtByteArray, mvtChar})
    EXPECT_FALSE(Conversion(mvtRefNr, type, Act::BestFit, 8).Exists()) << int(type);
}

}  // namespace
