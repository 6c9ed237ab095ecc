// Tests of the character and string mappers: byte copies and their limits,
// blank dropping, conversions between code pages cut on character
// boundaries, WideString copies with and without an instance, the character
// sources into each kind of target, and the mended cases (fields too small
// for a character, characters that need two bytes, damaged sources).
#include "convert/mvsdFieldMapperString.h"

#include <gtest/gtest.h>

#include "foundation/errors/mvllExceptions.h"
#include "mvcvTestSupport.h"

using namespace mvtest;

namespace {

class StringMapper : public ConvertTest {};

constexpr Act kChecking = Act::Fail, kForcing = Act::BestFit;

Conversion Convert(TmvFieldType aSource, int32_t aSourceUnits, uint16_t aSourceCodePage, TmvFieldType aTarget,
                   int32_t aTargetUnits, uint16_t aTargetCodePage, Act aAct, int32_t aSourceDecPl = 0,
                   int32_t aTargetDecPl = 0) {
  return Conversion(MakeCodePageField(aSource, aSourceUnits, aSourceCodePage, aSourceDecPl),
                    MakeCodePageField(aTarget, aTargetUnits, aTargetCodePage, aTargetDecPl), aAct);
}

Bytes Value(TmvFieldType aType, int32_t aUnits, std::string_view aText) {
  if (aType == mvtShortString) return ShortStr(aUnits, aText);
  if (aType == mvtNullString) return NullStr(aUnits, aText);
  return WideStr(aUnits, String(aText.begin(), aText.end()));
}

TEST_F(StringMapper, ByteCopiesCutOrRefuseWhatDoesNotFit) {
  for (uint16_t codePage : {0, 1252}) {
    SCOPED_TRACE(codePage);
    Conversion checking = Convert(mvtShortString, 5, codePage, mvtShortString, 2, codePage, kChecking);
    EXPECT_EQ(checking.Run(ShortStr(5, "abc")), 10002u);
    EXPECT_EQ(checking.Output, Bytes(3, 0xA5));
    EXPECT_EQ(checking.Run(ShortStr(5, "ab")), 0u);  // exactly the target's units
    EXPECT_EQ(checking.AnsiText(), "ab");
    Conversion forcing = Convert(mvtShortString, 5, codePage, mvtShortString, 2, codePage, kForcing);
    EXPECT_EQ(forcing.Run(ShortStr(5, "abc")), 0u);
    EXPECT_EQ(forcing.AnsiText(), "ab");
  }
  // Every single-byte pair: a value of the target's units fits, one more
  // byte is cut or refused.
  for (TmvFieldType source : {mvtShortString, mvtNullString}) {
    for (TmvFieldType target : {mvtShortString, mvtNullString}) {
      SCOPED_TRACE(std::to_string(source) + " -> " + std::to_string(target));
      Conversion checking = Convert(source, 6, 0, target, 3, 0, kChecking);
      EXPECT_EQ(checking.Run(Value(source, 6, "xyz")), 0u);
      EXPECT_EQ(checking.AnsiText(), "xyz");
      EXPECT_EQ(checking.Run(Value(source, 6, "wxyz")), 10002u);
      Conversion forcing = Convert(source, 6, 0, target, 3, 0, kForcing);
      EXPECT_EQ(forcing.Run(Value(source, 6, "wxyz")), 0u);
      EXPECT_EQ(forcing.AnsiText(), "wxy");
      // A target at least as long copies whatever the variant.
      Conversion wide = Convert(source, 3, 1252, target, 8, 1252, kChecking);
      EXPECT_EQ(wide.Run(Value(source, 3, "abc")), 0u);
      EXPECT_EQ(wide.AnsiText(), "abc");
    }
  }
}

TEST_F(StringMapper, BlanksAreDroppedOnlyIntoABlankPaddedField) {
  Conversion padded = Convert(mvtNullString, 10, 0, mvtNullString, 5, 0, kChecking, 0, 5);
  EXPECT_EQ(padded.Run(NullStr(10, "ab   ")), 0u);
  EXPECT_EQ(padded.AnsiText(), "ab");
  Conversion plain = Convert(mvtNullString, 10, 0, mvtNullString, 5, 0, kChecking, 0, 0);
  EXPECT_EQ(plain.Run(NullStr(10, "ab   ")), 0u);
  EXPECT_EQ(plain.AnsiText(), "ab   ");
  Conversion bothPadded = Convert(mvtNullString, 10, 0, mvtNullString, 5, 0, kChecking, 10, 5);
  EXPECT_EQ(bothPadded.Run(NullStr(10, "ab   ")), 0u);
  EXPECT_EQ(bothPadded.AnsiText(), "ab   ");
  // Blanks only: the empty value in every pair, variant and path (equal code
  // pages copy bytes, 1252 into 932 goes through UTF-16).
  const TmvFieldType types[] = {mvtShortString, mvtNullString, mvtWideString};
  for (TmvFieldType source : types) {
    for (TmvFieldType target : types) {
      for (uint16_t targetCodePage : {1252, 932}) {
        for (Act act : {kChecking, kForcing}) {
          SCOPED_TRACE(std::to_string(source) + " -> " + std::to_string(target) + " cp " +
                       std::to_string(targetCodePage) + (act == kForcing ? " forcing" : " checking"));
          Conversion c = Convert(source, 8, 1252, target, 4, targetCodePage, act, 0, 4);
          ASSERT_TRUE(c.Exists());
          EXPECT_EQ(c.Run(Value(source, 8, "      ")), 0u);
          EXPECT_EQ(c.Text(), u"");
        }
      }
    }
  }
}

TEST_F(StringMapper, ConversionsCutOnCharacterBoundaries) {
  // '×' is one byte in 1252 (D7) and two in 932 (81 7E).
  const std::string text = "a\xD7" "b\xD7" "c";
  struct Case {
    int32_t units;
    const char* forced;
  };
  for (const Case& c : {Case{4, "a\x81\x7E" "b"}, Case{3, "a\x81\x7E"}, Case{2, "a"}}) {
    Conversion forcing = Convert(mvtNullString, 10, 1252, mvtNullString, c.units, 932, kForcing);
    EXPECT_EQ(forcing.Run(NullStr(10, text)), 0u);
    EXPECT_EQ(forcing.AnsiText(), c.forced) << c.units;
  }
  Conversion checking = Convert(mvtNullString, 10, 1252, mvtShortString, 6, 932, kChecking);
  EXPECT_EQ(checking.Run(NullStr(10, text)), 10002u);
  EXPECT_EQ(checking.Output[0], 0);  // left empty
  EXPECT_EQ(Convert(mvtNullString, 10, 1252, mvtShortString, 7, 932, kChecking).Run(NullStr(10, text)), 0u);
  // A one-byte target and a character of two bytes: the empty value.
  Conversion tiny = Convert(mvtShortString, 4, 1252, mvtShortString, 1, 932, kForcing);
  EXPECT_EQ(tiny.Run(ShortStr(4, "\xD7")), 0u);
  EXPECT_EQ(tiny.AnsiText(), "");

  // 932 on both sides, a shorter target: through UTF-16, whole characters.
  const std::string kanji = "\x81\x7E\x81\x7E\x81\x7E";
  Conversion same = Convert(mvtNullString, 6, 932, mvtNullString, 5, 932, kForcing);
  EXPECT_EQ(same.Run(NullStr(6, kanji)), 0u);
  EXPECT_EQ(same.AnsiText(), kanji.substr(0, 4));
  // Code page 0 on a side: bytes, cut where the length ends.
  for (auto [from, to] : {std::pair<uint16_t, uint16_t>{0, 932}, {932, 0}}) {
    Conversion bytes = Convert(mvtNullString, 6, from, mvtNullString, 5, to, kForcing);
    EXPECT_EQ(bytes.Run(NullStr(6, kanji)), 0u);
    EXPECT_EQ(bytes.AnsiText(), kanji.substr(0, 5));
  }
}

TEST_F(StringMapper, JapaneseTextThroughWideStringAndBack) {
  // "日本語のテキスト" in 932.
  const std::string sjis = "\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x83\x65\x83\x4C\x83\x58\x83\x67";
  Conversion in = Convert(mvtNullString, 20, 932, mvtWideString, 10, 0, kChecking);
  ASSERT_EQ(in.Run(NullStr(20, sjis)), 0u);
  EXPECT_EQ(in.Text(), u"日本語のテキスト");
  Conversion out = Convert(mvtWideString, 10, 0, mvtShortString, 20, 932, kChecking);
  ASSERT_EQ(out.Run(in.Output), 0u);
  EXPECT_EQ(out.AnsiText(), sjis);
  // Too few units: checking refuses and leaves the empty value, forcing cuts.
  Conversion shortChecking = Convert(mvtNullString, 20, 932, mvtWideString, 5, 0, kChecking);
  EXPECT_EQ(shortChecking.Run(NullStr(20, sjis)), 10002u);
  EXPECT_EQ(shortChecking.Text(), u"");
  Conversion shortForcing = Convert(mvtShortString, 20, 932, mvtWideString, 5, 0, kForcing);
  EXPECT_EQ(shortForcing.Run(ShortStr(20, sjis)), 0u);
  EXPECT_EQ(shortForcing.Text(), u"日本語のテ");
  Conversion narrow = Convert(mvtWideString, 10, 0, mvtNullString, 7, 932, kForcing);
  EXPECT_EQ(narrow.Run(in.Output), 0u);
  EXPECT_EQ(narrow.AnsiText(), sjis.substr(0, 6));
}

TEST_F(StringMapper, WideStringCopies) {
  Conversion longer = Convert(mvtWideString, 10, 0, mvtWideString, 20, 0, kChecking);
  EXPECT_EQ(longer.Instance(), nullptr);
  EXPECT_EQ(static_cast<const TmvClassBoundLength*>(longer.Method().Data)->Class,
            &TmvWideStringToWideStringMapper::StaticClass);
  EXPECT_EQ(longer.Run(WideStr(10, u"0123456789")), 0u);
  EXPECT_EQ(longer.Text(), u"0123456789");
  Conversion checking = Convert(mvtWideString, 10, 0, mvtWideString, 5, 0, kChecking);
  EXPECT_NE(checking.Instance(), nullptr);
  EXPECT_EQ(checking.Run(WideStr(10, u"0123456789")), 10002u);
  EXPECT_EQ(checking.Output, Bytes(12, 0xA5));
  Conversion forcing = Convert(mvtWideString, 10, 0, mvtWideString, 5, 0, kForcing);
  EXPECT_EQ(forcing.Run(WideStr(10, u"0123456789")), 0u);
  EXPECT_EQ(forcing.Text(), u"01234");
}

TEST_F(StringMapper, CharactersIntoScalars) {
  auto c = [](char aChar) { return Bytes{uint8_t(aChar)}; };
  auto w = [](char16_t aChar) { return ValueBytes(aChar); };
  ExpectRows({
      {"Char T -> Boolean", mvtChar, c('T'), mvtBoolean, 0, 0, 0, Bytes{255}, 0, Bytes{255}},
      {"Char t -> Boolean", mvtChar, c('t'), mvtBoolean, 0, 0, 10002, Untouched{}, 0, Bytes{255}},
      {"Char 0 -> Boolean", mvtChar, c('0'), mvtBoolean, 0, 0, 0, Bytes{0}, 0, Bytes{0}},
      {"Char N -> Boolean", mvtChar, c('N'), mvtBoolean, 0, 0, 0, Bytes{0}, 0, Bytes{0}},
      {"Char 7 -> Currency", mvtChar, c('7'), mvtCurrency, 0, 0, 0, ValueBytes<int64_t>(70000), 0,
       ValueBytes<int64_t>(70000)},
      {"Char x -> Currency", mvtChar, c('x'), mvtCurrency, 0, 0, 10002, Untouched{}, 0, ValueBytes<int64_t>(0)},
      {"Char 9 -> Extended", mvtChar, c('9'), mvtExtended, 0, 0, 0, ExtendedBytes(9), 0, ExtendedBytes(9)},
      {"Char - -> Int8", mvtChar, c('-'), mvtInt8, 0, 0, 10002, Untouched{}, 0, Bytes{0}},
      {"Char -> ByteArray", mvtChar, c('\xE9'), mvtByteArray, 3, 0, 0, Bytes{0xE9, 0xA5}, 0, Bytes{0xE9, 0xA5}},
      {"WideChar 5 -> Int32", mvtWideChar, w(u'5'), mvtInt32, 0, 0, 0, ValueBytes<int32_t>(5), 0,
       ValueBytes<int32_t>(5)},
      {"WideChar 2 -> Boolean", mvtWideChar, w(u'2'), mvtBoolean, 0, 0, 10002, Untouched{}, 0, Bytes{255}},
      {"WideChar T -> Boolean", mvtWideChar, w(u'T'), mvtBoolean, 0, 0, 10002, Untouched{}, 0, Bytes{0}},
      {"WideChar 1 -> Boolean", mvtWideChar, w(u'1'), mvtBoolean, 0, 0, 0, Bytes{255}, 0, Bytes{255}},
      {"WideChar full-width 1 -> Word16", mvtWideChar, w(u'１'), mvtWord16, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<uint16_t>(0)},
      {"WideChar 3 -> BCD", mvtWideChar, w(u'3'), mvtBCD, 4, 0, 0, ValueBytes<int64_t>(30000), 0,
       ValueBytes<int64_t>(30000)},
      {"WideChar -> ByteArray", mvtWideChar, w(u'日'), mvtByteArray, 3, 0, 0, Bytes{0xE5, 0x65, 0xA5}, 0,
       Bytes{0xE5, 0x65, 0xA5}},
  });
  // Both bytes of the unit or none: a ByteArray of one byte gets no
  // conversion.
  EXPECT_FALSE(Conversion(mvtWideChar, mvtByteArray, kForcing, 1).Exists());
}

TEST_F(StringMapper, CharactersIntoCharactersAndStrings) {
  const Bytes zero{0}, times{0xD7};  // '×' in 1252
  // Char #0: the empty NullString; a ShortString holding byte 0 unless the
  // character is converted.
  Conversion toNull = Convert(mvtChar, 0, 1252, mvtNullString, 3, 932, kChecking);
  EXPECT_EQ(toNull.Run(zero), 0u);
  EXPECT_EQ(toNull.Output[0], 0);
  for (auto [from, to] : {std::pair<uint16_t, uint16_t>{1252, 1252}, {0, 932}, {1252, 0}}) {
    Conversion copied = Convert(mvtChar, 0, from, mvtShortString, 3, to, kChecking);
    EXPECT_EQ(copied.Instance() != nullptr, true);
    EXPECT_EQ(copied.Method().Data, &TmvCharMapper::StaticClass);
    EXPECT_EQ(copied.Run(zero), 0u);
    EXPECT_EQ((Bytes{copied.Output[0], copied.Output[1]}), (Bytes{1, 0}));
  }
  Conversion converted = Convert(mvtChar, 0, 1252, mvtShortString, 3, 932, kChecking);
  EXPECT_EQ(converted.Run(zero), 0u);
  EXPECT_EQ(converted.Output[0], 0);
  EXPECT_EQ(converted.Run(times), 0u);
  EXPECT_EQ(converted.AnsiText(), "\x81\x7E");
  // Too short for the character's two bytes.
  Conversion tight = Convert(mvtChar, 0, 1252, mvtShortString, 1, 932, kChecking);
  EXPECT_EQ(tight.Run(times), 10002u);
  EXPECT_EQ(tight.Output, Bytes(2, 0xA5));
  Conversion tightForcing = Convert(mvtChar, 0, 1252, mvtNullString, 1, 932, kForcing);
  EXPECT_EQ(tightForcing.Run(times), 0u);
  EXPECT_EQ(tightForcing.AnsiText(), "");

  // A character that needs two bytes has no Char: 10002 in both variants.
  for (Act act : {kChecking, kForcing}) {
    Conversion charToChar = Convert(mvtChar, 0, 1252, mvtChar, 0, 932, act);
    EXPECT_EQ(charToChar.Run(times), 10002u);
    EXPECT_EQ(charToChar.Run(Bytes{'A'}), 0u);
    EXPECT_EQ(charToChar.Output, Bytes{'A'});
    Conversion wideToChar = Convert(mvtWideChar, 0, 0, mvtChar, 0, 932, act);
    EXPECT_EQ(wideToChar.Run(ValueBytes(u'×')), 10002u);
    EXPECT_EQ(wideToChar.Output, Bytes{0xA5});
    EXPECT_EQ(wideToChar.Run(ValueBytes(u'\uFF71')), 0u);  // half-width katakana: one byte
    EXPECT_EQ(wideToChar.Output, Bytes{0xB1});
  }
  Conversion toWide = Convert(mvtChar, 0, 1252, mvtWideChar, 0, 0, kChecking);
  EXPECT_EQ(toWide.Run(times), 0u);
  EXPECT_EQ(toWide.As<char16_t>(), u'×');
  Conversion toWideString = Convert(mvtChar, 0, 932, mvtWideString, 2, 0, kForcing);
  EXPECT_EQ(toWideString.Run(Bytes{0xB1}), 0u);
  EXPECT_EQ(toWideString.Text(), u"\uFF71");
  Conversion wideToShort = Convert(mvtWideChar, 0, 0, mvtShortString, 1, 932, kChecking);
  EXPECT_EQ(wideToShort.Run(ValueBytes(u'日')), 10002u);
  EXPECT_EQ(wideToShort.Output, Bytes(2, 0xA5));
  Conversion wideToNull = Convert(mvtWideChar, 0, 0, mvtNullString, 2, 932, kChecking);
  EXPECT_EQ(wideToNull.Run(ValueBytes(u'日')), 0u);
  EXPECT_EQ(wideToNull.AnsiText(), "\x93\xFA");

  // String targets without room for one character get no conversion.
  for (TmvFieldType source : {mvtChar, mvtWideChar})
    for (TmvFieldType target : {mvtShortString, mvtNullString, mvtWideString})
      EXPECT_FALSE(Conversion(source, target, kForcing, 0).Exists()) << int(source) << " " << int(target);
}

TEST_F(StringMapper, AFailingCallNamesClassRoutineAndCall) {
  // More than 65,536 UTF-16 units do not fit the conversion's buffer.
  const int32_t units = 70000;
  Conversion big = Convert(mvtNullString, units, 1252, mvtNullString, 10, 932, kChecking);
  try {
    big.Run(NullStr(units, std::string(size_t(units), 'a')));
    FAIL() << "no error";
  } catch (const EmvBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 11047u);
    EXPECT_EQ(e.CustomInfos().Values(u"Action"),
              u"TmvNullStringToNullStringMapper.ToNullStringConvertCheck/MultiByteToWideChar");
  }
  // A code page the platform cannot convert is refused when the mapper is made.
  EXPECT_THROW(Convert(mvtShortString, 4, 1252, mvtShortString, 4, 12345, kChecking), EmvBaseException);
}

}  // namespace
