// Tests of the ByteArray mapper: byte copies and the mappings refused when
// they are set up, texts copied or decoded through UTF-16, the first zero
// byte, and the operating-system error of a text too long to decode.
#include "convert/mvsdFieldMapperByteArray.h"

#include <gtest/gtest.h>

#include "foundation/errors/mvllExceptions.h"
#include "mvcvTestSupport.h"

using namespace mvtest;

namespace {

class ByteArrayMapper : public ConvertTest {};

constexpr Act kChecking = Act::Fail, kForcing = Act::BestFit;

Bytes Counting(size_t aCount, uint8_t aFirst = 1) {
  Bytes b(aCount);
  for (size_t i = 0; i < aCount; ++i) b[i] = uint8_t(aFirst + i);
  return b;
}

Conversion Convert(int32_t aSourceLength, uint16_t aSourceCodePage, TmvFieldType aTarget, int32_t aTargetUnits,
                   uint16_t aTargetCodePage, Act aAct) {
  return Conversion(MakeCodePageField(mvtByteArray, aSourceLength, aSourceCodePage),
                    MakeCodePageField(aTarget, aTargetUnits, aTargetCodePage), aAct);
}

TEST_F(ByteArrayMapper, ByteCopiesAndRefusals) {
  const Bytes twenty = Counting(20, 'a');
  Conversion shorter = Convert(20, 0, mvtByteArray, 10, 0, kForcing);
  EXPECT_EQ(shorter.Run(twenty), 0u);
  EXPECT_EQ(shorter.Output, Bytes(twenty.begin(), twenty.begin() + 10));
  EXPECT_FALSE(Convert(20, 0, mvtByteArray, 10, 0, kChecking).Exists());
  Conversion longer = Convert(20, 0, mvtByteArray, 30, 0, kChecking);
  EXPECT_EQ(longer.Run(twenty), 0u);
  Bytes expected = twenty;
  expected.resize(30, 0xA5);
  EXPECT_EQ(longer.Output, expected);

  Conversion guid = Convert(8, 0, mvtGuid, 0, 0, kForcing);
  EXPECT_EQ(guid.Run(Counting(8)), 0u);
  expected = Counting(8);
  expected.resize(16, 0xA5);
  EXPECT_EQ(guid.Output, expected);
  EXPECT_FALSE(Convert(8, 0, mvtGuid, 0, 0, kChecking).Exists());
  Conversion wideGuid = Convert(20, 0, mvtGuid, 0, 0, kChecking);
  EXPECT_EQ(wideGuid.Run(Counting(20)), 0u);
  EXPECT_EQ(wideGuid.Output, Counting(16));

  // Into strings as they are: the text ends at the first zero byte.
  const Bytes ten = Counting(10, 'A');
  Conversion null10 = Convert(10, 1252, mvtNullString, 10, 1252, kChecking);
  EXPECT_EQ(null10.Run(ten), 0u);
  EXPECT_EQ(null10.AnsiText(), "ABCDEFGHIJ");
  EXPECT_FALSE(Convert(10, 1252, mvtNullString, 9, 1252, kChecking).Exists());
  Conversion null9 = Convert(10, 1252, mvtNullString, 9, 1252, kForcing);
  EXPECT_EQ(null9.Run(ten), 0u);
  EXPECT_EQ(null9.AnsiText(), "ABCDEFGHI");
  Conversion shortCopy = Convert(4, 0, mvtShortString, 6, 0, kChecking);
  EXPECT_EQ(shortCopy.Run(Bytes{0, 'x', 0, 'y'}), 0u);
  EXPECT_EQ(shortCopy.AnsiText(), std::string("\0x\0y", 4));
  Conversion nullCopy = Convert(4, 0, mvtNullString, 6, 0, kChecking);
  EXPECT_EQ(nullCopy.Run(Bytes{0, 'x', 0, 'y'}), 0u);
  EXPECT_EQ(nullCopy.AnsiText(), "");

  // WideString: checking only where the bytes surely fit (10 < 22 div 2).
  Conversion wide10 = Convert(10, 0, mvtWideString, 10, 0, kChecking);
  ASSERT_TRUE(wide10.Exists());
  EXPECT_EQ(wide10.Run(ten), 0u);
  EXPECT_EQ(wide10.Text(), u"ABCDEFGHIJ");
  EXPECT_FALSE(Convert(10, 0, mvtWideString, 9, 0, kChecking).Exists());
  Conversion wide4 = Convert(10, 0, mvtWideString, 4, 0, kForcing);
  EXPECT_EQ(wide4.Run(ten), 0u);
  EXPECT_EQ(wide4.Text(), u"ABCD");
}

TEST_F(ByteArrayMapper, ConversionsThroughUtf16) {
  // 'a×b' and a zero byte from 1252 into 932, where '×' takes two bytes.
  const Bytes bytes{'a', 0xD7, 'b', 0};
  Conversion forcing = Convert(4, 1252, mvtNullString, 3, 932, kForcing);
  EXPECT_EQ(forcing.Run(bytes), 0u);
  EXPECT_EQ(forcing.AnsiText(), "a\x81\x7E");
  Conversion checking = Convert(4, 1252, mvtShortString, 3, 932, kChecking);
  EXPECT_EQ(checking.Run(bytes), 10002u);
  EXPECT_EQ(checking.Output[0], 0);
  Conversion wide = Convert(4, 932, mvtWideString, 2, 0, kForcing);
  EXPECT_EQ(wide.Run(Bytes{0x93, 0xFA, 'x', 'y'}), 0u);
  EXPECT_EQ(wide.Text(), u"日x");
  // A first byte 0: the empty value.
  for (TmvFieldType type : {mvtShortString, mvtNullString}) {
    Conversion c = Convert(4, 1252, type, 6, 932, kChecking);
    EXPECT_EQ(c.Run(Bytes{0, 'x', 'y', 'z'}), 0u);
    EXPECT_EQ(c.AnsiText(), "");
  }
  Conversion emptyWide = Convert(4, 1252, mvtWideString, 6, 0, kChecking);
  EXPECT_EQ(emptyWide.Run(Bytes{0, 'x', 'y', 'z'}), 0u);
  EXPECT_EQ(emptyWide.Text(), u"");

  // 300 units do not fit the 256 of the decoding buffer.
  Conversion big = Convert(300, 1252, mvtNullString, 400, 932, kChecking);
  try {
    big.Run(Bytes(300, 'q'));
    FAIL() << "no error";
  } catch (const EmvBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 11047u);
    EXPECT_EQ(e.CustomInfos().Values(u"Action"), u"TmvByteArrayMapper.ToNullStringConvertCheck/MultiByteToWideChar");
  }
}

}  // namespace
