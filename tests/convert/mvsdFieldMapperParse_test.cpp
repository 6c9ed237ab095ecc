// Tests of the mappers that read values out of strings: each reader in both
// variants, the direct and converting paths, the bounded NullString buffer
// and its operating-system error, the mended readers (integers clamped or
// refused by the target's range, floats and Currency clamped, the null GUID
// for no GUID), and every cell of the character and string families run on
// damaged sources, whose reads must stay inside the source field.
#include "convert/mvsdFieldMapperParse.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <set>

#include "convert/mvsdFieldMapperString.h"
#include "foundation/errors/mvllExceptions.h"
#include "mvcvTestSupport.h"

using namespace mvtest;

namespace {

class ParseMapper : public ConvertTest {};

constexpr Act kChecking = Act::Fail, kForcing = Act::BestFit;
constexpr int32_t kUnits = 40;

Bytes SourceValue(TmvFieldType aType, int32_t aUnits, std::string_view aText) {
  if (aType == mvtShortString) return ShortStr(aUnits, aText);
  if (aType == mvtNullString) return NullStr(aUnits, aText);
  return WideStr(aUnits, String(aText.begin(), aText.end()));
}

// One text into one target in both variants, from each of the three
// source types (all without a locale: the direct path).
struct TextRow {
  const char* text;
  TmvFieldType target;
  int32_t units, decPl;
  uint32_t checking;
  Expected checked;
  uint32_t forcing;
  Expected forced;
};

void ExpectTexts(std::initializer_list<TextRow> aRows) {
  for (const TextRow& row : aRows) {
    for (TmvFieldType source : {mvtShortString, mvtNullString, mvtWideString}) {
      const std::string name = std::string("'") + row.text + "' from " + std::to_string(source);
      ExpectRows({{name.c_str(), source, SourceValue(source, kUnits, row.text), row.target, row.units, row.decPl,
                   row.checking, row.checked, row.forcing, row.forced, kUnits}});
    }
  }
}

template <typename T>
Bytes V(T aValue) {
  return ValueBytes(aValue);
}

TEST_F(ParseMapper, BooleansIntegersAndFloats) {
  ExpectTexts({
      {" true", mvtBoolean, 0, 0, 10002, Untouched{}, 0, Bytes{0}},
      {"yes", mvtBoolean, 0, 0, 0, Bytes{255}, 0, Bytes{255}},
      {"fAlSe", mvtBoolean, 0, 0, 0, Bytes{0}, 0, Bytes{0}},
      {"", mvtBoolean, 0, 0, 10002, Untouched{}, 0, Bytes{0}},
      {"12abc", mvtInt32, 0, 0, 10002, Untouched{}, 0, V<int32_t>(12)},
      {"$1F", mvtInt32, 0, 0, 0, V<int32_t>(31), 0, V<int32_t>(31)},
      {"0x1F", mvtInt32, 0, 0, 0, V<int32_t>(31), 0, V<int32_t>(31)},
      {" 42", mvtInt32, 0, 0, 0, V<int32_t>(42), 0, V<int32_t>(42)},
      {"42 ", mvtInt32, 0, 0, 10002, Untouched{}, 0, V<int32_t>(42)},
      {"-9223372036854775808", mvtInt64, 0, 0, 0, V<int64_t>(INT64_MIN), 0, V<int64_t>(INT64_MIN)},
      {"1,5", mvtDouble, 0, 0, 10002, Untouched{}, 0, V<double>(1)},
      {"1.5E2", mvtDouble, 0, 0, 0, V<double>(150), 0, V<double>(150)},
      {"0.1", mvtSingle, 0, 0, 0, V<float>(0.1f), 0, V<float>(0.1f)},
      {"-2.5", mvtExtended, 0, 0, 0, ExtendedBytes(-2.5L), 0, ExtendedBytes(-2.5L)},
      // Mended: no number gives 0, beyond the range the largest value.
      {"abc", mvtDouble, 0, 0, 10002, Untouched{}, 0, V<double>(0)},
      {"-1E400", mvtDouble, 0, 0, 10002, Untouched{}, 0, V<double>(-std::numeric_limits<double>::max())},
      {"1E39", mvtSingle, 0, 0, 10002, Untouched{}, 0, V<float>(std::numeric_limits<float>::max())},
      {"1E99999", mvtExtended, 0, 0, 10002, Untouched{}, 0, ExtendedBytes(std::numeric_limits<Extended>::max())},
      {"1.23456", mvtCurrency, 0, 0, 0, V<int64_t>(12346), 0, V<int64_t>(12346)},
      {"0.00005", mvtCurrency, 0, 0, 0, V<int64_t>(0), 0, V<int64_t>(0)},  // halves to even
      {"1E20", mvtCurrency, 0, 0, 10002, Untouched{}, 0, V<int64_t>(INT64_MAX)},
      {"x", mvtCurrency, 0, 0, 10002, Untouched{}, 0, V<int64_t>(0)},
  });
  // "1,5" is no number whatever the locale's decimal separator.
  auto german = MakeField(mvtNullString, kUnits, 0, 0x0407);
  Conversion c(std::move(german), MakeField(mvtDouble), kChecking);
  EXPECT_EQ(c.Run(NullStr(kUnits, "1,5")), 10002u);
}

TEST_F(ParseMapper, IntegerTargetsKeepTheirRange) {
  const char* texts[] = {"-129", "128", "300", "70000", "-1", "4294967296", "abc"};
  using O = std::optional<int64_t>;
  constexpr O N = std::nullopt;
  struct Target {
    TmvFieldType type;
    O checked[7];
    int64_t forced[7];
  };
  const Target targets[] = {
      {mvtByte, {N, 128, N, N, N, N, N}, {0, 128, 255, 255, 0, 255, 0}},
      {mvtInt8, {N, N, N, N, -1, N, N}, {-128, 127, 127, 127, -1, 127, 0}},
      {mvtInt16, {-129, 128, 300, N, -1, N, N}, {-129, 128, 300, 32767, -1, 32767, 0}},
      {mvtWord16, {N, 128, 300, N, N, N, N}, {0, 128, 300, 65535, 0, 65535, 0}},
      {mvtInt32, {-129, 128, 300, 70000, -1, N, N}, {-129, 128, 300, 70000, -1, 2147483647, 0}},
      {mvtWord32, {N, 128, 300, 70000, N, N, N}, {0, 128, 300, 70000, 0, 4294967295, 0}},
      {mvtAutoInc, {N, 128, 300, 70000, N, N, N}, {0, 128, 300, 70000, 0, 4294967295, 0}},
      {mvtRecRev, {N, 128, 300, 70000, N, N, N}, {0, 128, 300, 70000, 0, 4294967295, 0}},
      {mvtInt64, {-129, 128, 300, 70000, -1, 4294967296, N}, {-129, 128, 300, 70000, -1, 4294967296, 0}},
  };
  for (const Target& target : targets) {
    for (size_t i = 0; i < std::size(texts); ++i) {
      for (TmvFieldType source : {mvtShortString, mvtNullString, mvtWideString}) {
        SCOPED_TRACE(std::string(texts[i]) + " into " + std::to_string(target.type) + " from " +
                     std::to_string(source));
        Conversion checking(MakeField(source, 12), MakeField(target.type), kChecking);
        Conversion forcing(MakeField(source, 12), MakeField(target.type), kForcing);
        const Bytes value = SourceValue(source, 12, texts[i]);
        const size_t size = checking.Target().Length();
        auto stored = [&](const Conversion& c) {
          uint64_t raw = 0;
          std::memcpy(&raw, c.Output.data(), size);
          const bool isSigned = target.type == mvtInt8 || target.type == mvtInt16 || target.type == mvtInt32 ||
                                target.type == mvtInt64;
          const int shift = int(64 - 8 * size);
          return isSigned && shift ? int64_t(raw << shift) >> shift : int64_t(raw);
        };
        if (target.checked[i]) {
          EXPECT_EQ(checking.Run(value), 0u);
          EXPECT_EQ(stored(checking), *target.checked[i]);
        } else {
          EXPECT_EQ(checking.Run(value), 10002u);
          EXPECT_EQ(checking.Output, Bytes(size, 0xA5));
        }
        EXPECT_EQ(forcing.Run(value), 0u);
        EXPECT_EQ(stored(forcing), target.forced[i]);
      }
    }
  }
}

TEST_F(ParseMapper, BcdDatesTimesAndGuids) {
  const int64_t day = 739012;  // 2024-05-06
  Bytes guid(16, 0);
  guid[15] = 1;
  ExpectTexts({
      {"12.345", mvtBCD, 8, 2, 10002, Untouched{}, 0, V<int64_t>(123400)},
      {"-12.3", mvtBCD, 8, 2, 0, V<int64_t>(-123000), 0, V<int64_t>(-123000)},
      {"", mvtBCD, 8, 2, 0, V<int64_t>(0), 0, V<int64_t>(0)},
      {"1e3", mvtBCD, 8, 2, 10002, Untouched{}, 0, V<int64_t>(0)},
      {"2024/05/06", mvtDate, 0, 0, 0, V<int32_t>(int32_t(day)), 0, V<int32_t>(int32_t(day))},
      {"0001/01/01", mvtDate, 0, 0, 10002, Untouched{}, 0, V<int32_t>(1)},
      {"2024/05/06 10:00", mvtDate, 0, 0, 10002, Untouched{}, 0, V<int32_t>(1)},
      {"09:05:03", mvtTime, 0, 0, 0, V<int32_t>(32703000), 0, V<int32_t>(32703000)},
      {"25:00", mvtTime, 0, 0, 10002, Untouched{}, 0, V<int32_t>(0)},
      {"2024/05/06 10:00", mvtDateTime, 0, 0, 0, V<double>(double(day * 86400000 + 36000000)), 0,
       V<double>(double(day * 86400000 + 36000000))},
      {"0001/01/01", mvtDateTime, 0, 0, 10002, Untouched{}, 0, V<double>(86400000.0)},
      {"{00000000-0000-0000-0000-000000000001}", mvtGuid, 0, 0, 0, guid, 0, guid},
      // Mended: no GUID stores the null GUID in every forcing routine.
      {"x", mvtGuid, 0, 0, 10002, Untouched{}, 0, Bytes(16, 0)},
  });
}

TEST_F(ParseMapper, CharactersAndBytes) {
  ExpectTexts({
      {"AB", mvtChar, 0, 0, 0, Bytes{'A'}, 0, Bytes{'A'}},
      {"", mvtChar, 0, 0, 0, Bytes{0}, 0, Bytes{0}},
      {"", mvtWideChar, 0, 0, 0, V(u'\0'), 0, V(u'\0')},
  });
  // WideString 'AB' into WideChar: one unit or 10002 when checking; a
  // ShortString's first character in both variants.
  Conversion wideChecking(MakeField(mvtWideString, 4), MakeField(mvtWideChar), kChecking);
  EXPECT_EQ(wideChecking.Run(WideStr(4, u"AB")), 10002u);
  Conversion wideForcing(MakeField(mvtWideString, 4), MakeField(mvtWideChar), kForcing);
  EXPECT_EQ(wideForcing.Run(WideStr(4, u"AB")), 0u);
  EXPECT_EQ(wideForcing.As<char16_t>(), u'A');
  for (Act act : {kChecking, kForcing}) {
    Conversion c(MakeField(mvtShortString, 4), MakeField(mvtWideChar), act);
    EXPECT_EQ(c.Run(ShortStr(4, "AB")), 0u);
    EXPECT_EQ(c.As<char16_t>(), u'A');
  }
  // WideString of 10 units into 8 bytes: refused, or the first 8 bytes.
  const Bytes value = WideStr(10, u"0123456789");
  Conversion bytesChecking(MakeField(mvtWideString, 10), MakeField(mvtByteArray, 8), kChecking);
  EXPECT_EQ(bytesChecking.Run(value), 10002u);
  EXPECT_EQ(bytesChecking.Output, Bytes(8, 0xA5));
  Conversion bytesForcing(MakeField(mvtWideString, 10), MakeField(mvtByteArray, 8), kForcing);
  EXPECT_EQ(bytesForcing.Run(value), 0u);
  EXPECT_EQ(bytesForcing.Output, Bytes(value.begin(), value.begin() + 8));
  Conversion ansiBytes(MakeField(mvtShortString, 10), MakeField(mvtByteArray, 8), kChecking);
  EXPECT_EQ(ansiBytes.Run(ShortStr(10, "abc")), 0u);
  EXPECT_EQ(ansiBytes.Output, (Bytes{'a', 'b', 'c', 0xA5, 0xA5, 0xA5, 0xA5, 0xA5}));
}

TEST_F(ParseMapper, TheConvertingPath) {
  // A 932 source longer than its target, and a target with a code page: the
  // converting path. Empty: the empty text.
  auto source = [] { return MakeCodePageField(mvtShortString, kUnits, 932); };
  auto target = [](TmvFieldType aType, uint16_t aCodePage) { return MakeCodePageField(aType, 8, aCodePage, 2); };
  const Bytes empty = ShortStr(kUnits, "");
  Conversion int32(source(), target(mvtInt32, 932), kChecking);
  EXPECT_EQ(int32.Run(empty), 10002u);
  Conversion boolean(source(), target(mvtBoolean, 932), kForcing);
  EXPECT_EQ(boolean.Run(empty), 0u);
  EXPECT_EQ(boolean.Output, Bytes{0});
  for (Act act : {kChecking, kForcing}) {
    Conversion wideChar(source(), target(mvtWideChar, 1252), act);
    EXPECT_EQ(wideChar.Run(empty), 0u);
    EXPECT_EQ(wideChar.As<char16_t>(), 0);
    Conversion ansiChar(source(), target(mvtChar, 1252), act);
    EXPECT_EQ(ansiChar.Run(empty), 0u);
    EXPECT_EQ(ansiChar.Output, Bytes{0});
    Conversion bcd(source(), target(mvtBCD, 932), act);
    EXPECT_EQ(bcd.Run(empty), 0u);
    EXPECT_EQ(bcd.As<int64_t>(), 0);
  }
  // The text decoded from 932: '日' is one character, its first 932 byte.
  Conversion wideChar(source(), target(mvtWideChar, 1252), kChecking);
  EXPECT_EQ(wideChar.Run(ShortStr(kUnits, "\x93\xFA")), 0u);
  EXPECT_EQ(wideChar.As<char16_t>(), u'日');
  Conversion ansiChar(source(), target(mvtChar, 1252), kChecking);
  EXPECT_EQ(ansiChar.Run(ShortStr(kUnits, "\x93\xFA")), 0u);
  EXPECT_EQ(ansiChar.Output, Bytes{0x93});
  // A ja-JP date through the source's locale.
  Conversion date(MakeField(mvtNullString, kUnits, 0, 0x0411), MakeField(mvtDate), kChecking);
  EXPECT_EQ(date.Run(NullStr(kUnits, "2024/05/06")), 0u);
  EXPECT_EQ(date.As<int32_t>(), 739012);
}

TEST_F(ParseMapper, LongNullStringTexts) {
  // 300 characters: beyond the 254 units of the decoding buffer for Int32,
  // read whole for Boolean on the direct path.
  auto source = [] { return MakeCodePageField(mvtNullString, 300, 1252); };
  const Bytes value = NullStr(300, std::string(300, '1'));
  Conversion int32(source(), MakeField(mvtInt32), kChecking);
  try {
    int32.Run(value);
    FAIL() << "no error";
  } catch (const EmvBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 11047u);
    EXPECT_EQ(e.CustomInfos().Values(u"Action"), u"TmvNullStringMapper.ToInt32Check/MultiByteToWideChar");
  }
  Conversion booleanChecking(source(), MakeField(mvtBoolean), kChecking);
  EXPECT_EQ(booleanChecking.Run(value), 10002u);
  Conversion booleanForcing(source(), MakeField(mvtBoolean), kForcing);
  EXPECT_EQ(booleanForcing.Run(value), 0u);
  EXPECT_EQ(booleanForcing.Output, Bytes{0});
  // 254 characters still fit.
  Conversion fits(source(), MakeField(mvtInt64), kChecking);
  EXPECT_EQ(fits.Run(NullStr(300, std::string(253, ' ') + "7")), 0u);
  EXPECT_EQ(fits.As<int64_t>(), 7);
}

// ---------------------------------------------------------------------------
// Every cell on damaged sources

const std::set<const ClassRef*> kTextClasses = {
    &TmvShortStringToShortStringMapper::StaticClass, &TmvShortStringToNullStringMapper::StaticClass,
    &TmvNullStringToNullStringMapper::StaticClass,   &TmvNullStringToShortStringMapper::StaticClass,
    &TmvWideStringToAnsiStringMapper::StaticClass,   &TmvAnsiStringToWideStringMapper::StaticClass,
    &TmvWideStringToWideStringMapper::StaticClass,   &TmvCharMapper::StaticClass,
    &TmvWideCharMapper::StaticClass,                 &TmvShortStringMapper::StaticClass,
    &TmvNullStringMapper::StaticClass,               &TmvWideStringMapper::StaticClass};

// Values whose length byte is too large or that lack a terminator, and a
// plain one with characters of two bytes in 932.
std::vector<Bytes> DamagedValues(TmvFieldType aType, int32_t aUnits) {
  const size_t length = size_t(aUnits) + 1;
  switch (aType) {
    case mvtShortString: {
      Bytes over(length, '7');
      over[0] = 255;
      return {over, ShortStr(aUnits, "\x93\xFA" "1")};
    }
    case mvtNullString: return {Bytes(length, '7'), Bytes(length, 0x93), NullStr(aUnits, "\x93\xFA" "1")};
    case mvtWideString: return {Bytes(2 * length, '7'), Bytes(2 * length, 0x20), WideStr(aUnits, u"日1")};
    case mvtChar: return {Bytes{'7'}, Bytes{0x93}, Bytes{0}};
    default: return {ValueBytes(u'7'), ValueBytes(u'日'), ValueBytes(u'\0')};
  }
}

int32_t TargetUnits(TmvFieldType aType) {
  switch (aType) {
    case mvtShortString: case mvtNullString: case mvtWideString: return 3;
    case mvtByteArray: return 4;
    case mvtBCD: return 8;
    default: return 0;
  }
}

TEST_F(ParseMapper, EveryTextCellStaysInsideItsFields) {
  int cells = 0, runs = 0;
  for (int si = 0; si < mvFieldTypeCount; ++si) {
    for (int ti = 0; ti < mvFieldTypeCount; ++ti) {
      const TmvFieldMapperClasses& classes = mvFieldMapperClasses(si, ti);
      if (classes.empty() || !kTextClasses.count(classes.back())) continue;
      ++cells;
      const TmvFieldType source = TmvFieldType(si), target = TmvFieldType(ti);
      for (uint16_t sourceCodePage : {0, 932}) {
        for (uint16_t targetCodePage : {0, 1252, 932}) {
          for (int32_t sourceDecPl : {0, 5}) {
            for (Act act : {kChecking, kForcing}) {
              const std::string cell = std::to_string(si) + " -> " + std::to_string(ti) + " cp " +
                                       std::to_string(sourceCodePage) + "/" + std::to_string(targetCodePage);
              Conversion c(MakeCodePageField(source, 5, sourceCodePage, sourceDecPl),
                           MakeCodePageField(target, TargetUnits(target), targetCodePage, 2), act);
              ASSERT_TRUE(c.Exists()) << cell;
              for (const Bytes& value : DamagedValues(source, 5)) {
                ++runs;
                const uint32_t result = c.Run(value);  // the guard bytes are checked inside
                EXPECT_TRUE(result == 0 || (result == 10002 && act != kForcing) ||
                            (result == 10002 && target == mvtChar))
                    << cell << " result " << result;
              }
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(cells, 117);
  EXPECT_GT(runs, 5000);
}

}  // namespace
