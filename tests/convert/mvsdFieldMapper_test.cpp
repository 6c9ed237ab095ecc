// The numeric mapper families cell by cell: every registered cell whose
// class is one of the twelve Boolean, integer, float and currency classes,
// in both variants, with the values at and around the bounds of every
// numeric type (NaN and the infinities for floats), against a small oracle
// of what the conversion must give. Into numbers: the checking variant
// writes the exact value (floats within the target's tolerance) or answers
// 10002 and leaves the target as it was (a Boolean target gets 255 from a
// float or Currency source); the forcing variant answers 0 and writes a
// value inside the target's range. Other targets must answer 0 or 10002.
// Around every target the guard bytes must stay as they were.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <random>
#include <sstream>

#include "convert/mvsdFieldMapperCommon.h"
#include "convert/mvsdFieldMapperFloat.h"
#include "convert/mvsdFieldMapperInteger.h"
#include "foundation/types/mvllFmtBcd.h"
#include "mvcvTestSupport.h"

using namespace mvtest;

namespace {

using Int = __int128;

constexpr uint32_t kNoFit = 10002;
constexpr uint8_t kFill = 0xA5;

const std::set<const ClassRef*> kNumericClasses = {
    &TmvBooleanMapper::StaticClass, &TmvByte8Mapper::StaticClass,  &TmvWord16Mapper::StaticClass,
    &TmvWord32Mapper::StaticClass,  &TmvInt8Mapper::StaticClass,   &TmvInt16Mapper::StaticClass,
    &TmvInt32Mapper::StaticClass,   &TmvInt64Mapper::StaticClass,  &TmvSingleMapper::StaticClass,
    &TmvDoubleMapper::StaticClass,  &TmvExtendedMapper::StaticClass, &TmvCurrencyMapper::StaticClass};

// ---------------------------------------------------------------------------
// Types as the oracle sees them

enum class Kind { Boolean, Integer, Float, Scaled, Other };

Kind KindOf(TmvFieldType aType) {
  switch (aType) {
    case mvtBoolean: return Kind::Boolean;
    case mvtByte: case mvtWord16: case mvtWord32: case mvtAutoInc: case mvtRecRev: case mvtInt8: case mvtInt16:
    case mvtInt32: case mvtInt64: case mvtRefNr:
      return Kind::Integer;
    case mvtSingle: case mvtDouble: case mvtExtended: return Kind::Float;
    case mvtCurrency: case mvtBCD: return Kind::Scaled;
    default: return Kind::Other;
  }
}

// A BCD target has its own digits: the oracle only asks it for an answer.
Kind TargetKindOf(TmvFieldType aType) { return aType == mvtBCD ? Kind::Other : KindOf(aType); }

void IntegerRange(TmvFieldType aType, Int& aLo, Int& aHi) {
  switch (aType) {
    case mvtByte: aLo = 0, aHi = 255; break;
    case mvtWord16: aLo = 0, aHi = 65535; break;
    case mvtWord32: case mvtAutoInc: case mvtRecRev: aLo = 0, aHi = 4294967295; break;
    case mvtInt8: aLo = -128, aHi = 127; break;
    case mvtInt16: aLo = -32768, aHi = 32767; break;
    case mvtInt32: aLo = INT32_MIN, aHi = INT32_MAX; break;
    default: aLo = INT64_MIN, aHi = INT64_MAX; break;
  }
}

// Tolerance and limits of the float types.
Extended Tolerance(TmvFieldType aType) {
  return aType == mvtSingle ? 1E-4L : aType == mvtDouble ? 1E-12L : 1E-16L;
}
Extended MaxOf(TmvFieldType aType) {
  return aType == mvtSingle   ? std::numeric_limits<float>::max()
         : aType == mvtDouble ? std::numeric_limits<double>::max()
                              : std::numeric_limits<Extended>::max();
}
Extended MinNormalOf(TmvFieldType aType) {
  return aType == mvtSingle   ? std::numeric_limits<float>::min()
         : aType == mvtDouble ? std::numeric_limits<double>::min()
                              : std::numeric_limits<Extended>::min();
}
int Rank(TmvFieldType aType) { return aType == mvtSingle ? 0 : aType == mvtDouble ? 1 : 2; }

// ---------------------------------------------------------------------------
// Source samples

struct Sample {
  Bytes bytes;
  Extended x = 0;  // the value (Currency: s / 10000)
  Int whole = 0;   // integer sources: the value; Currency: s
  std::string text;
};

// The bounds of every numeric target, and of the scaled form.
std::vector<Int> Bounds() {
  std::vector<Int> b = {0, 1, 9, 10, 255, 65535, 4294967295, -128, 127, -32768, 32767, INT32_MIN, INT32_MAX,
                        INT64_MIN, INT64_MAX, 922337203685477, -922337203685477};
  const size_t n = b.size();
  for (size_t i = 0; i < n; ++i) {
    b.push_back(b[i] - 1);
    b.push_back(b[i] + 1);
  }
  return b;
}

std::string IntText(Int v) {
  if (v >= INT64_MIN && v <= INT64_MAX) return std::to_string(int64_t(v));
  std::ostringstream s;
  s << (long double)v;
  return s.str();
}

void PutInteger(TmvFieldType aType, Int v, Bytes& aBytes) {
  const int64_t w = int64_t(v);
  aBytes.resize(8);
  std::memcpy(aBytes.data(), &w, 8);  // little-endian: the low bytes first
  const size_t size = aType == mvtByte || aType == mvtInt8         ? 1
                      : aType == mvtWord16 || aType == mvtInt16    ? 2
                      : aType == mvtInt64 || aType == mvtRefNr     ? 8
                                                                   : 4;
  aBytes.resize(size);
}

std::vector<Sample> Samples(TmvFieldType aSource) {
  std::vector<Sample> out;
  switch (KindOf(aSource)) {
    case Kind::Boolean:
      for (int b : {0, 1, 127, 128, 255}) out.push_back({Bytes{uint8_t(b)}, Extended(b), b, "bool " + std::to_string(b)});
      break;
    case Kind::Integer: {
      Int lo, hi;
      IntegerRange(aSource, lo, hi);
      for (Int v : Bounds()) {
        if (v < lo || v > hi) continue;
        Sample s;
        PutInteger(aSource, v, s.bytes);
        s.x = Extended(v);
        s.whole = v;
        s.text = IntText(v);
        out.push_back(s);
      }
      break;
    }
    case Kind::Scaled:
      for (Int b : Bounds()) {
        for (Int s : {b * 10000, b * 10000 + 1, b * 10000 - 5000, b * 10000 + 5000, b}) {
          if (s < INT64_MIN || s > INT64_MAX) continue;
          Sample sample;
          sample.bytes = ValueBytes<int64_t>(int64_t(s));
          sample.whole = s;
          sample.x = Extended(s) / 10000;
          sample.text = "scaled " + IntText(s);
          out.push_back(sample);
        }
      }
      break;
    case Kind::Float: {
      std::vector<Extended> values;
      for (Int b : Bounds()) {
        values.push_back(Extended(b));
        values.push_back(Extended(b) + 0.5L);
        values.push_back(Extended(b) - 0.25L);
      }
      for (Extended v : {0.0L, -0.0L, 1E-20L, 5E-5L, 2E-4L, 0.5L, 2.5L, -2.5L, 0.03125L, 1E-39L, -1E-39L, 1E-310L,
                         3.4E38L, 3.5E38L, -1E39L, 1.7E308L, 1E309L, -1E400L, 1E15L, 9.5E14L, 1.0000000000001L,
                         0.99999L}) {
        values.push_back(v);
      }
      values.push_back(std::numeric_limits<Extended>::quiet_NaN());
      values.push_back(std::numeric_limits<Extended>::infinity());
      values.push_back(-std::numeric_limits<Extended>::infinity());
      values.push_back(MaxOf(aSource));
      values.push_back(-MaxOf(aSource));
      values.push_back(MinNormalOf(aSource));
      for (Extended v : values) {
        Sample s;
        if (std::isfinite(v) && std::fabs(v) > MaxOf(aSource)) continue;
        if (aSource == mvtSingle) {
          s.x = float(v);
          s.bytes = ValueBytes(float(v));
        } else if (aSource == mvtDouble) {
          s.x = double(v);
          s.bytes = ValueBytes(double(v));
        } else {
          s.x = v;
          s.bytes = ExtendedBytes(v);
        }
        std::ostringstream text;
        text.precision(21);
        text << s.x;
        s.text = text.str();
        out.push_back(s);
      }
      break;
    }
    case Kind::Other: break;
  }
  return out;
}

// ---------------------------------------------------------------------------
// The oracle

struct Outcome {
  bool untouched = false;        // 10002 with the fill kept
  uint32_t result = 0;
  std::optional<Int> integer;    // an integer or scaled target's value
  std::optional<Extended> real;  // a float target's value (NaN: any NaN)
  bool anyInRange = false;       // forcing: only "inside the range"
};

Int RoundHalfEven(Extended x) { return Int(std::rint(x)); }
// s / 10000 rounded to nearest, ties to even.
Int RoundScaled(Int s) {
  Int q = s / 10000, r = s % 10000;
  if (r > 5000 || (r == 5000 && (q & 1))) ++q;
  if (r < -5000 || (r == -5000 && (q & 1))) --q;
  return q;
}
bool Whole(Extended x) { return std::isfinite(x) && std::fabs(x - std::trunc(x)) <= 1E-16L; }

Outcome NoFit() {
  Outcome o;
  o.untouched = true;
  o.result = kNoFit;
  return o;
}
Outcome Gives(Int v) {
  Outcome o;
  o.integer = v;
  return o;
}
Outcome GivesReal(Extended v) {
  Outcome o;
  o.real = v;
  return o;
}

// A Boolean source into a number: the byte by the table of the family.
Outcome FromBoolean(TmvFieldType aTarget, const Sample& s) {
  const int b = int(s.whole), signedB = int8_t(uint8_t(b));
  switch (aTarget) {
    case mvtBoolean: case mvtByte: return Gives(b);
    case mvtInt8: return Gives(signedB);
    case mvtInt16: case mvtInt32: return Gives(b);
    case mvtWord16: case mvtWord32: case mvtAutoInc: case mvtRecRev: return Gives(signedB < 0 ? -signedB : signedB);
    case mvtCurrency: return Gives(Int(signedB) * 10000);
    case mvtInt64: return Gives(signedB);
    default: return GivesReal(signedB);
  }
}

Outcome Expect(TmvFieldType aSource, TmvFieldType aTarget, bool aForcing, const Sample& s) {
  const Kind source = KindOf(aSource), target = TargetKindOf(aTarget);
  if (source == Kind::Boolean) return FromBoolean(aTarget, s);
  const Extended x = s.x;
  const Extended r = source == Kind::Float ? Tolerance(aSource) : 0;
  const bool isZero = source == Kind::Float ? std::fabs(x) <= r : s.whole == 0;
  switch (target) {
    case Kind::Boolean: {
      if (aForcing) return Gives(isZero || std::isnan(x) ? 0 : 255);
      if (isZero) return Gives(0);
      const bool isOne = source == Kind::Float    ? std::fabs(x - 1) <= r
                         : source == Kind::Scaled ? s.whole == 10000
                                                  : s.whole == 1;
      if (isOne) return Gives(255);
      if (source == Kind::Integer) return NoFit();
      Outcome o = Gives(255);  // written before the answer
      o.result = kNoFit;
      return o;
    }
    case Kind::Integer: {
      Int lo, hi;
      IntegerRange(aTarget, lo, hi);
      if (source == Kind::Integer) {
        if (s.whole < lo || s.whole > hi) return aForcing ? Gives(s.whole < lo ? lo : hi) : NoFit();
        return Gives(s.whole);
      }
      if (source == Kind::Scaled) {
        if (!aForcing && (s.whole % 10000 != 0 || s.whole / 10000 < lo || s.whole / 10000 > hi)) return NoFit();
        const Int v = RoundScaled(s.whole);
        return Gives(v < lo ? lo : v > hi ? hi : v);
      }
      if (std::isnan(x)) return aForcing ? Gives(0) : NoFit();
      if (x < Extended(lo) || x > Extended(hi)) return aForcing ? Gives(x < 0 ? lo : hi) : NoFit();
      if (!aForcing && !Whole(x)) return NoFit();
      return Gives(RoundHalfEven(x));
    }
    case Kind::Scaled: {
      if (source == Kind::Scaled) return Gives(s.whole == INT64_MIN ? -INT64_MAX : s.whole);
      if (source == Kind::Integer) {
        // Clamped in both variants where ten-thousandths would not fit.
        const Int v = s.whole > 922337203685477 ? 922337203685477 : s.whole < -922337203685477 ? -922337203685477 : s.whole;
        return Gives(v * 10000);
      }
      const Extended t = x * 10000;
      if (std::isnan(t)) return aForcing ? Gives(0) : NoFit();
      if (t < -Extended(INT64_MAX) || t > Extended(INT64_MAX)) return aForcing ? Gives(t < 0 ? -INT64_MAX : INT64_MAX) : NoFit();
      if (!aForcing && !Whole(t)) return NoFit();
      return Gives(RoundHalfEven(t));
    }
    case Kind::Float: {
      if (source != Kind::Float) return GivesReal(x);  // exact or the nearest, within R
      if (Rank(aSource) <= Rank(aTarget)) return GivesReal(x);
      const Extended maxT = MaxOf(aTarget);
      if (std::isnan(x)) return aForcing ? GivesReal(0) : NoFit();
      if (std::fabs(x) > maxT) return aForcing ? GivesReal(x < 0 ? -maxT : maxT) : NoFit();
      if (x != 0 && std::fabs(x) < MinNormalOf(aTarget)) {
        if (!aForcing) return NoFit();
        Outcome o;
        o.anyInRange = true;  // subnormal or zero
        return o;
      }
      return GivesReal(x);
    }
    case Kind::Other: break;
  }
  return Outcome{};
}

Int ReadInteger(TmvFieldType aType, const Bytes& b) {
  switch (aType) {
    case mvtBoolean: case mvtByte: return b[0];
    case mvtInt8: return int8_t(b[0]);
    case mvtWord16: return uint16_t(b[0] | b[1] << 8);
    case mvtInt16: return int16_t(b[0] | b[1] << 8);
    case mvtWord32: case mvtAutoInc: case mvtRecRev: return LoadLE<uint32_t>(b.data());
    case mvtInt32: return LoadLE<int32_t>(b.data());
    default: return LoadLE<int64_t>(b.data());
  }
}
Extended ReadReal(TmvFieldType aType, const Bytes& b) {
  return aType == mvtSingle ? Extended(LoadLE<float>(b.data()))
         : aType == mvtDouble ? Extended(LoadLE<double>(b.data()))
                              : ExtendedFromBytes(b.data());
}

// The units and decimals each kind of target is made with.
int32_t UnitsFor(TmvFieldType aTarget) {
  switch (aTarget) {
    case mvtByteArray: return 10;
    case mvtShortString: case mvtNullString: case mvtWideString: return 6;
    case mvtBCD: return 8;
    default: return 0;
  }
}

class NumericCells : public ConvertTest {};

TEST_F(NumericCells, EveryCellInBothVariantsAgainstTheOracle) {
  int cells = 0, failures = 0, runs = 0;
  auto fail = [&](const std::string& aWhat) {
    if (++failures <= 25) ADD_FAILURE() << aWhat;
  };
  for (int si = 0; si < mvFieldTypeCount; ++si) {
    const TmvFieldType sourceType = TmvFieldType(si);
    const std::vector<Sample> samples = Samples(sourceType);
    for (int ti = 0; ti < mvFieldTypeCount; ++ti) {
      const TmvFieldType targetType = TmvFieldType(ti);
      const TmvFieldMapperClasses& classes = mvFieldMapperClasses(si, ti);
      if (classes.empty() || !kNumericClasses.count(classes.back())) continue;
      ++cells;
      for (bool forcing : {false, true}) {
        Conversion c(sourceType, targetType, forcing ? Act::BestFit : Act::Fail, UnitsFor(targetType),
                     targetType == mvtBCD ? 2 : 0);
        const std::string cell = std::to_string(si) + " -> " + std::to_string(ti) + (forcing ? " forcing" : " checking");
        if (!c.Exists()) {
          fail("no conversion for cell " + cell);
          continue;
        }
        for (const Sample& s : samples) {
          const std::string what = cell + ", value " + s.text;
          uint32_t result;
          ++runs;
          try {
            result = c.Run(s.bytes, kFill);
          } catch (const EBcdException&) {
            // A float whose text needs an exponent is no BCD number.
            if (targetType != mvtBCD || KindOf(sourceType) != Kind::Float) fail(what + ": BCD exception");
            continue;
          } catch (const EConvertError&) {
            if (targetType != mvtDateTime) fail(what + ": conversion error");
            continue;
          }
          if (TargetKindOf(targetType) == Kind::Other) {
            if (result != 0 && result != kNoFit) fail(what + ": result " + std::to_string(result));
            if (forcing && result != 0) fail(what + ": forcing answered 10002");
            continue;
          }
          const Outcome expected = Expect(sourceType, targetType, forcing, s);
          if (result != expected.result) {
            fail(what + ": result " + std::to_string(result) + ", expected " + std::to_string(expected.result));
            continue;
          }
          if (expected.untouched) {
            if (c.Output != Bytes(c.Output.size(), kFill)) fail(what + ": target written");
            continue;
          }
          if (expected.integer) {
            const Int got = ReadInteger(targetType, c.Output);
            if (got != *expected.integer)
              fail(what + ": wrote " + IntText(got) + ", expected " + IntText(*expected.integer));
          } else {
            const Extended got = ReadReal(targetType, c.Output);
            if (expected.anyInRange) {
              if (!(std::fabs(got) <= MinNormalOf(targetType))) fail(what + ": not subnormal or zero");
            } else if (std::isnan(*expected.real) ? !std::isnan(got)
                                                   : !(got == *expected.real ||
                                                       mvSameWithin(got, *expected.real, Tolerance(targetType)))) {
              std::ostringstream text;
              text.precision(21);
              text << got << " instead of " << *expected.real;
              fail(what + ": wrote " + text.str());
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(cells, 321);
  EXPECT_GT(runs, 40000);  // the samples did not go missing
  EXPECT_EQ(failures, 0);
}

}  // namespace

namespace {

// Every other cell (characters, strings, temporal types, GUID, ByteArray,
// FmtBCD) run on random source bytes, in both variants and with several code
// pages: answers 0, 1 or 10002, or raises one of the errors a value may
// cause (an invalid time stamp, a float that is no BCD number or too large
// for one, a text that no conversion call takes), and never touches a byte outside the target
// (the guard bytes) or the source (the address sanitizer).
TEST_F(NumericCells, EveryOtherCellOnRandomBytesStaysInsideItsFields) {
  std::mt19937 random(49);
  int cells = 0;
  for (int si = 0; si < mvFieldTypeCount; ++si) {
    for (int ti = 0; ti < mvFieldTypeCount; ++ti) {
      const TmvFieldMapperClasses& classes = mvFieldMapperClasses(si, ti);
      if (classes.empty() || kNumericClasses.count(classes.back())) continue;
      ++cells;
      const TmvFieldType source = TmvFieldType(si), target = TmvFieldType(ti);
      for (auto [sourceCodePage, targetCodePage] :
           {std::pair<uint16_t, uint16_t>{0, 0}, {1252, 932}, {932, 932}}) {
        for (bool forcing : {false, true}) {
          Conversion c(MakeCodePageField(source, 7, sourceCodePage, 3),
                       MakeCodePageField(target, 5, targetCodePage, 2), forcing ? Act::BestFit : Act::Fail);
          if (!c.Exists()) continue;  // refused at set-up: nothing to run
          for (int run = 0; run < 20; ++run) {
            Bytes value(16 + 2 * 7 + 2);
            for (uint8_t& b : value) b = uint8_t(random() % 4 ? random() : 0);
            try {
              const uint32_t result = c.Run(value);
              EXPECT_TRUE(result == 0 || result == 1 || result == kNoFit) << si << " -> " << ti << ": " << result;
            } catch (const EConvertError&) {
            } catch (const EBcdException&) {
            } catch (const EmvBaseException& e) {
              // A conversion call failing, or a float too large for 64 digits.
              EXPECT_TRUE(e.ErrorCode() == 11047u || (e.ErrorCode() == 9985u && target == mvtFmtBCD))
                  << si << " -> " << ti << ": " << e.ErrorCode();
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(cells, 499 - 321);
}

}  // namespace
