// Tests of the Date, Time and DateTime mappers: between the temporal types
// in both variants, the date-time number, texts in a locale's formats with
// the routine chosen by the clock, raw bytes, and the mended cases (no value
// between a Time and a Date, damaged DateTime values).
#include "convert/mvsdFieldMapperTemporal.h"

#include <gtest/gtest.h>

#include <limits>

#include "convert/mvsrFieldMapperEngine.h"
#include "foundation/errors/mvllErrors.h"
#include "mvcvTestCursor.h"
#include "mvcvTestSupport.h"
#include "platform/DateUtils.h"

using namespace mvtest;

namespace {

constexpr Act kChecking = Act::Fail, kForcing = Act::BestFit;
constexpr int64_t kDay = 739012;  // 2024-05-06
constexpr int64_t kMSecsPerDay = 86400000;
constexpr LCID kJapanese = 0x0411;

class TemporalMapper : public ConvertTest {
 protected:
  void TearDown() override { ClearFixedNow(); }
};

Bytes Stamp(int64_t aDay, int64_t aMSecs) { return ValueBytes(double(aDay * kMSecsPerDay + aMSecs)); }

TEST_F(TemporalMapper, BetweenTheTemporalTypes) {
  const Bytes tenOClock = Stamp(kDay, 36000000);
  ExpectRows({
      {"DateTime 10:00 -> Date", mvtDateTime, tenOClock, mvtDate, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<int32_t>(int32_t(kDay))},
      {"DateTime midnight -> Date", mvtDateTime, Stamp(kDay, 0), mvtDate, 0, 0, 0, ValueBytes<int32_t>(int32_t(kDay)),
       0, ValueBytes<int32_t>(int32_t(kDay))},
      {"DateTime 10:00 -> Time", mvtDateTime, tenOClock, mvtTime, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<int32_t>(36000000)},
      {"DateTime 00:00:01 -> Time", mvtDateTime, Stamp(kDay, 1000), mvtTime, 0, 0, 10002, Untouched{}, 0,
       ValueBytes<int32_t>(1000)},
      {"Date 1899-12-30 -> DateTime", mvtDate, ValueBytes<int32_t>(693594), mvtDateTime, 0, 0, 0,
       ValueBytes(693594.0 * kMSecsPerDay), 0, ValueBytes(693594.0 * kMSecsPerDay)},
      {"Time -> Time", mvtTime, ValueBytes<int32_t>(1234), mvtTime, 0, 0, 0, ValueBytes<int32_t>(1234), 0,
       ValueBytes<int32_t>(1234)},
      {"DateTime -> DateTime", mvtDateTime, tenOClock, mvtDateTime, 0, 0, 0, tenOClock, 0, tenOClock},
  });
}

TEST_F(TemporalMapper, TheDateTimeNumber) {
  struct Case {
    int64_t day, msecs;
    double number;
  };
  for (const Case& c : {Case{kDay, 43200000, 45418.5}, Case{693593, 21600000, -1.25}, Case{693594, 0, 0},
                        Case{1, 0, -693593}}) {
    Conversion conversion(mvtDateTime, mvtDouble, kChecking);
    EXPECT_EQ(conversion.Run(Stamp(c.day, c.msecs)), 0u);
    EXPECT_EQ(conversion.As<double>(), c.number) << c.day << " " << c.msecs;
  }
  Conversion dayZero(mvtDateTime, mvtDouble, kForcing);
  EXPECT_THROW(dayZero.Run(Stamp(0, 5)), EConvertError);
}

TEST_F(TemporalMapper, DamagedDateTimesRaiseTheInvalidTimeStampError) {
  const double damaged[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(), 1E30, -1E30};
  for (TmvFieldType target : {mvtDate, mvtTime, mvtDouble, mvtShortString, mvtNullString, mvtWideString}) {
    for (Act act : {kChecking, kForcing}) {
      Conversion c(mvtDateTime, target, act, 30);
      for (double value : damaged) {
        EXPECT_THROW(c.Run(ValueBytes(value)), EConvertError) << int(target) << " " << value;
      }
    }
  }
  // A Time beyond a day and a Date before day 1 name no moment either.
  EXPECT_THROW(Conversion(mvtTime, mvtNullString, kForcing, 20).Run(ValueBytes<int32_t>(kMSecsPerDay)),
               EConvertError);
  EXPECT_THROW(Conversion(mvtDate, mvtWideString, kForcing, 20).Run(ValueBytes<int32_t>(0)), EConvertError);
}

TEST_F(TemporalMapper, ATimeHasNoDate) {
  // Forcing: no value, so the target becomes null; checking: no conversion.
  Conversion forcing(mvtTime, mvtDate, kForcing);
  ASSERT_TRUE(forcing.Exists());
  EXPECT_EQ(forcing.Run(ValueBytes<int32_t>(5)), 1u);
  EXPECT_EQ(forcing.Output, Bytes(4, 0xA5));
  EXPECT_FALSE(Conversion(mvtTime, mvtDate, kChecking).Exists());
  EXPECT_FALSE(Conversion(mvtTime, mvtDateTime, kChecking).Exists());
  EXPECT_FALSE(Conversion(mvtDate, mvtTime, Act::Null).Exists());
  EXPECT_EQ(Conversion(mvtDate, mvtTime, kForcing).Run(ValueBytes<int32_t>(5)), 1u);
  EXPECT_EQ(Conversion(mvtTime, mvtDateTime, kForcing).Run(ValueBytes<int32_t>(5)), 1u);

  // Through a field mapper engine: a null target and success, or refused.
  TTestCursor::Install();
  TTestCursor source, target;
  source.Add(u"T", mvtTime);
  target.Add(u"D", mvtDate);
  TmvFieldMapperDescriptor bestFit(u"T", u"D", dlaBestFit);
  std::unique_ptr<TmvBaseFieldMapperEngine> engine(
      TmvBaseFieldMapperEngine::CreateFor(&bestFit, source.AsCursor(), target.AsCursor()));
  auto sourceRecord = source.NewRecord(), targetRecord = target.NewRecord();
  const int32_t time = 36000000;
  source.Fields().SetRecordField(0, sourceRecord.data(), &time);
  target.Fields().SetRecordFieldNull(0, targetRecord.data(), false);
  EXPECT_EQ(engine->MapField(sourceRecord.data(), targetRecord.data()), 0u);
  EXPECT_TRUE(target.Fields().IsRecordFieldNull(0, targetRecord.data()));
  TmvFieldMapperDescriptor fail(u"T", u"D", dlaFail);
  try {
    TmvBaseFieldMapperEngine::CreateFor(&fail, source.AsCursor(), target.AsCursor());
    ADD_FAILURE() << "no exception";
  } catch (const EmvBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 10002u);
    EXPECT_NE(e.ProcessedErrorString().find(u"No valid Field Mapper available."), String::npos);
  }
  TTestCursor::Uninstall();
}

TEST_F(TemporalMapper, TextsAndTheRoutineTheClockChooses) {
  auto timeToNull = [](Act aAct) {
    return Conversion(MakeField(mvtTime), MakeField(mvtNullString, 7, 0, kJapanese), aAct);
  };
  const Bytes morning = ValueBytes<int32_t>(9 * 3600000 + 5 * 60000 + 3000);
  // The locale's long time format "H:mm:ss": built at 09:59 the sample text
  // '9:59:00' fits 7 units and the truncating routine is chosen even when
  // checking; at 10:00 '10:00:00' does not, so the checking one.
  SetFixedNow(EncodeDateTime(2024, 5, 6, 9, 59, 0, 0));
  Conversion early = timeToNull(kChecking), forcing = timeToNull(kForcing);
  EXPECT_EQ(early.Method().Code, forcing.Method().Code);
  SetFixedNow(EncodeDateTime(2024, 5, 6, 10, 0, 0, 0));
  Conversion late = timeToNull(kChecking);
  EXPECT_NE(late.Method().Code, forcing.Method().Code);
  for (Conversion* c : {&early, &late}) {
    EXPECT_EQ(c->Run(morning), 0u);
    EXPECT_EQ(c->Text(), u"9:05:03");
  }
  EXPECT_EQ(late.Run(ValueBytes<int32_t>(10 * 3600000)), 10002u);

  // A date and time of 19 characters into 10 units.
  SetFixedNow(EncodeDateTime(2024, 5, 6, 10, 0, 0, 0));
  ExpectRows({
      {"DateTime -> WideString(10)", mvtDateTime, Stamp(kDay, 36000000), mvtWideString, 10, 0, 10002, Untouched{}, 0,
       String(u"2024/05/06")},
      {"DateTime -> NullString(20)", mvtDateTime, Stamp(kDay, 36000000), mvtNullString, 20, 0, 0,
       String(u"2024/05/06 10:00:00"), 0, String(u"2024/05/06 10:00:00")},
      {"DateTime midnight -> ShortString(20)", mvtDateTime, Stamp(kDay, 0), mvtShortString, 20, 0, 0,
       String(u"2024/05/06"), 0, String(u"2024/05/06")},
      {"Date -> WideString(10)", mvtDate, ValueBytes<int32_t>(int32_t(kDay)), mvtWideString, 10, 0, 0,
       String(u"2024/05/06"), 0, String(u"2024/05/06")},
      {"Time -> ShortString(5)", mvtTime, ValueBytes<int32_t>(45296000), mvtShortString, 5, 0, 10002, Untouched{}, 0,
       String(u"12:34")},
  });
}

TEST_F(TemporalMapper, RawBytes) {
  EXPECT_FALSE(Conversion(mvtDate, mvtByteArray, kForcing, 4).Exists());
  Conversion date(mvtDate, mvtByteArray, kChecking, 8);
  EXPECT_EQ(date.Run(ValueBytes<int32_t>(0x01020304)), 0u);
  EXPECT_EQ(date.Output, (Bytes{4, 3, 2, 1, 0xA5, 0xA5, 0xA5, 0xA5}));
  Conversion dateTime(mvtDateTime, mvtByteArray, kChecking, 8);
  EXPECT_EQ(dateTime.Run(Stamp(kDay, 0)), 0u);
  EXPECT_EQ(dateTime.Output, Stamp(kDay, 0));
}

}  // namespace
