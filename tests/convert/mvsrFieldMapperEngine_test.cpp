// Tests of the field mapper engines: the lookup of fields by name, the
// errors raised while an engine is built, the special engine table, MapField
// with nulls, data-loss actions, defaults and failing conversions, the error
// context (per thread), and the AutoInc engine with its counter limit.
#include "convert/mvsrFieldMapperEngine.h"

#include <gtest/gtest.h>

#include <thread>

#include "convert/mvsrFieldMapperEngineAutoInc.h"
#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "foundation/errors/mvllErrors.h"
#include "mvcvTestCursor.h"
#include "mvcvTestSupport.h"

using namespace mvtest;

namespace {

// A descriptor class whose engine nobody registered.
class TmvOddFieldMapperDescriptor : public TmvFieldMapperDescriptor {
  MV_DECLARE_CLASSREF(TmvFieldMapperDescriptorClassRef)
 public:
  using TmvFieldMapperDescriptor::TmvFieldMapperDescriptor;
};
constinit const TmvFieldMapperDescriptorClassRef TmvOddFieldMapperDescriptor::StaticClass{
    {{u"TmvOddFieldMapperDescriptor", &TmvFieldMapperDescriptor::StaticClass}, &TmvFieldMapperDescriptor::Registry,
     nullptr},
    &mvCreateFieldMapper<TmvOddFieldMapperDescriptor>};

// A test mapper for the cells the engine tests use: it counts its calls
// and answers what the test asks (writing 0x77 when it answers 0).
thread_local int tCalls = 0;
thread_local uint32_t tAnswer = 0;
thread_local bool tThrows = false;

TmvResult Answer(const void*, const void*, void* aTarget) {
  ++tCalls;
  if (tThrows) throw EConvertError(String(u"the routine failed"));
  if (tAnswer == 0) *static_cast<uint8_t*>(aTarget) = 0x77;
  return tAnswer;
}
TmvBaseFieldMapper* TryAnswer(const TmvFieldMapperClassRef& aClass, TmvFieldDescriptor*, TmvAbstractCursor*,
                              TmvFieldDescriptor*, TmvAbstractCursor*, TmvFieldMapperDescriptor*,
                              TmvMappingMethod& aMapper) {
  aMapper = mvClassMethod(aClass, &Answer);
  return nullptr;
}
const TmvFieldMapperClassRef kAnswering{{u"TAnswering", &TmvBaseFieldMapper::StaticClass}, &TryAnswer};
constexpr TmvFieldType kAnsweredSources[] = {mvtInt8, mvtWideString, mvtDateTime};

class FieldMapperEngine : public ConvertTest {
 protected:
  void SetUp() override {
    TTestCursor::Install();
    for (TmvFieldType s : kAnsweredSources) mvRegisterFieldMapper(kAnswering, s, mvtInt8);
    tCalls = 0;
    tAnswer = 0;
    tThrows = false;
    EmvBaseException::SetLastConvertedException(0, String());
  }
  void TearDown() override {
    for (TmvFieldType s : kAnsweredSources) mvUnregisterFieldMapper(kAnswering, s, mvtInt8);
    TTestCursor::Uninstall();
  }

  // Source field "A" of aSourceType, target fields "B" (Int8, default 42
  // when asked) and "N" (Int8, no default).
  void MakeTables(TmvFieldType aSourceType, int32_t aSourceUnits = 0) {
    fSource.Add(u"A", aSourceType, aSourceUnits);
    TmvFieldDescriptor* b = fTarget.Add(u"B", mvtInt8);
    static_cast<TmvConstDefaultValueDescriptor*>(b->AddDefaultValue())->SetAsVariant(Variant(int8_t(42)));
    fTarget.Add(u"N", mvtInt8);
  }
  std::unique_ptr<TmvBaseFieldMapperEngine> Engine(const char16_t* aSource, const char16_t* aTarget,
                                                   TmvDataLossAction aAction, bool aApplyDefault) {
    TmvFieldMapperDescriptor d(aSource, aTarget, aAction);
    d.SetApplyDefault(aApplyDefault);
    return std::unique_ptr<TmvBaseFieldMapperEngine>(
        TmvBaseFieldMapperEngine::CreateFor(&d, fSource.AsCursor(), fTarget.AsCursor()));
  }
  static String LastText() {
    uint32_t code;
    String text;
    EmvBaseException::GetLastConvertedException(code, text);
    return text;
  }

  TTestCursor fSource, fTarget;
};

TEST_F(FieldMapperEngine, CreateMapperByName) {
  fSource.Add(u"Amount", mvtInt16);
  fTarget.Add(u"Total", mvtInt32);
  TmvMappingMethod method;
  TmvFieldMapperDescriptor found(u"AMOUNT", u"total", dlaFail);
  std::unique_ptr<TmvBaseFieldMapper> made(
      TmvBaseFieldMapper::CreateMapper(fSource.AsCursor(), fTarget.AsCursor(), &found, method));
  EXPECT_TRUE(method.Assigned());
  for (auto [source, target] : {std::pair{u"Missing", u"Total"}, std::pair{u"Amount", u"Missing"}}) {
    TmvFieldMapperDescriptor missing(source, target, dlaFail);
    try {
      TmvBaseFieldMapper::CreateMapper(fSource.AsCursor(), fTarget.AsCursor(), &missing, method);
      ADD_FAILURE() << "no exception";
    } catch (const EmvBaseFieldMapperException& e) {
      EXPECT_EQ(e.ErrorCode(), 10038u);
      EXPECT_EQ(e.ProcessedErrorString(), u"Invalid field name.");
    }
  }
}

TEST_F(FieldMapperEngine, BuildErrors) {
  fSource.Add(u"A", mvtInterval);
  fTarget.Add(u"B", mvtFmtBCD, 10, 2);
  fTarget.Add(u"C", mvtShortString, 7);
  const struct {
    const char16_t *source, *target;
    uint32_t code;
    const char16_t* text;
  } cases[] = {
      {u"A", u"x", 10038, u"Invalid field name. Field \"x\" not in target dictionary"},
      {u"y", u"B", 10038, u"Invalid field name. Field \"y\" not in source dictionary"},
      {u"A", u"B", 10002,
       u"Invalid field transformation.\r\n\r\nNo valid Field Mapper available.\r\n\r\n"
       u"Source Field: [0] A - Interval\r\nTarget Field: [0] B - FmtBCD(10,2)"},
      {u"A", u"C", 10002,
       u"Invalid field transformation.\r\n\r\nNo valid Field Mapper available.\r\n\r\n"
       u"Source Field: [0] A - Interval\r\nTarget Field: [1] C - ShortString(7)"},
  };
  for (const auto& c : cases) {
    try {
      Engine(c.source, c.target, dlaNull, false);
      ADD_FAILURE() << "no exception";
    } catch (const EmvFieldMapperEngineException& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      EXPECT_EQ(e.ProcessedErrorString(), c.text);
    }
  }
  TmvOddFieldMapperDescriptor odd(u"A", u"B", dlaFail);
  try {
    TmvBaseFieldMapperEngine::CreateFor(&odd, fSource.AsCursor(), fTarget.AsCursor());
    ADD_FAILURE() << "no exception";
  } catch (const EmvBaseFieldMapperEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), 15503u);
    EXPECT_EQ(e.ProcessedErrorString(), u"Unknown FieldMapper engine: \"TmvOddFieldMapperEngine\"");
  }
}

TEST_F(FieldMapperEngine, SpecialEngineTable) {
  EXPECT_TRUE(TmvBaseFieldMapperEngine::HasSpecialMapper(mvtAutoInc));
  EXPECT_FALSE(TmvBaseFieldMapperEngine::HasSpecialMapper(mvtInt32));
  EXPECT_FALSE(TmvBaseFieldMapperEngine::HasSpecialMapper(TmvFieldType(77)));
  // The same class again is accepted; another one is not.
  mvRegisterSpecialFieldMapperEngine(TmvFieldMapperEngineAutoInc::StaticClass, mvtAutoInc);
  try {
    mvRegisterSpecialFieldMapperEngine(TmvFieldMapperEngine::StaticClass, mvtAutoInc);
    ADD_FAILURE() << "no exception";
  } catch (const EmvBaseFieldMapperEngineException& e) {
    EXPECT_EQ(e.ProcessedErrorString(), u"A special Field Mapper has already been registered for this FieldType");
  }
  mvUnregisterSpecialFieldMapperEngine(TmvFieldMapperEngine::StaticClass, mvtAutoInc);  // not its entry
  EXPECT_TRUE(TmvBaseFieldMapperEngine::HasSpecialMapper(mvtAutoInc));
}

// One record through MapField: what the target field holds and whether it
// is null afterwards.
struct Mapped {
  uint32_t result;
  bool isNull;
  int8_t value;
};

TEST_F(FieldMapperEngine, MapFieldByActionAndDefault) {
  MakeTables(mvtInt8);
  const struct {
    bool nullSource;
    uint32_t answer;
    TmvDataLossAction action;
    bool withDefault;
    Mapped expected;
    bool context;
  } cases[] = {
      // A null source never reaches the conversion.
      {true, 0, dlaFail, true, {0, false, 42}, false},
      {true, 0, dlaNull, true, {0, false, 42}, false},
      {true, 0, dlaBestFit, false, {0, true, 0}, false},
      {true, 0, dlaFail, false, {0, true, 0}, false},
      // A value.
      {false, 0, dlaFail, true, {0, false, 0x77}, false},
      // Does not fit: null or default under dlaNull; an error otherwise.
      {false, 10002, dlaNull, true, {0, false, 42}, false},
      {false, 10002, dlaNull, false, {0, true, 0}, false},
      {false, 10002, dlaFail, true, {10002, true, 0}, true},
      {false, 10002, dlaBestFit, true, {10002, true, 0}, true},
      // No value: null or default under every action.
      {false, 1, dlaFail, true, {0, false, 42}, false},
      {false, 1, dlaBestFit, false, {0, true, 0}, false},
      {false, 1, dlaNull, false, {0, true, 0}, false},
      // Any other code stays an error, with no context, under every action.
      {false, 8962, dlaNull, true, {8962, true, 0}, false},
      {false, 8962, dlaFail, false, {8962, true, 0}, false},
      {false, 8962, dlaBestFit, true, {8962, true, 0}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "answer " << c.answer << ", action " << int(c.action) << ", null "
                                    << c.nullSource << ", default " << c.withDefault);
    auto engine = Engine(u"A", c.withDefault ? u"B" : u"N", c.action, true);
    engine->BeforeFirstRecord();
    auto source = fSource.NewRecord(), target = fTarget.NewRecord();
    if (!c.nullSource) fSource.Fields().SetRecordField(0, source.data(), "\x05");
    tCalls = 0;
    tAnswer = c.answer;
    EmvBaseException::SetLastConvertedException(0, String());
    const uint32_t result = engine->MapField(source.data(), target.data());
    const int field = c.withDefault ? 0 : 1;
    const Mapped got{result, fTarget.Fields().IsRecordFieldNull(field, target.data()),
                     int8_t(target[size_t(fTarget.Fields().FieldDescriptor(field)->Offset())])};
    EXPECT_EQ(got.result, c.expected.result);
    EXPECT_EQ(got.isNull, c.expected.isNull);
    if (!c.expected.isNull) {
      EXPECT_EQ(got.value, c.expected.value);
    }
    EXPECT_EQ(tCalls, c.nullSource ? 0 : 1);
    const String text = LastText();
    EXPECT_EQ(text.find(u"\r\nSource Field: ") != String::npos, c.context) << std::string(text.begin(), text.end());
  }
  // An exception from the conversion passes out unchanged.
  auto engine = Engine(u"A", u"B", dlaNull, true);
  auto source = fSource.NewRecord(), target = fTarget.NewRecord();
  fSource.Fields().SetRecordField(0, source.data(), "\x05");
  tThrows = true;
  EXPECT_THROW(engine->MapField(source.data(), target.data()), EConvertError);
}

TEST_F(FieldMapperEngine, RealConversionsUnderEachAction) {
  fSource.Add(u"A", mvtInt16);
  fTarget.Add(u"B", mvtByte);
  auto source = fSource.NewRecord();
  fSource.Fields().SetRecordField(0, source.data(), "\x2C\x01");  // 300
  for (auto [action, result, isNull, value] :
       {std::tuple{dlaFail, 10002u, true, 0}, std::tuple{dlaNull, 0u, true, 0}, std::tuple{dlaBestFit, 0u, false, 255}}) {
    auto engine = Engine(u"A", u"B", action, false);
    auto target = fTarget.NewRecord();
    EXPECT_EQ(engine->MapField(source.data(), target.data()), result);
    EXPECT_EQ(fTarget.Fields().IsRecordFieldNull(0, target.data()), isNull);
    EXPECT_EQ(target[0], value);
  }
}

TEST_F(FieldMapperEngine, NoSourceFieldGivesTheDefault) {
  MakeTables(mvtInt8);
  auto withDefault = Engine(u"", u"B", dlaFail, true);
  auto without = Engine(u"", u"N", dlaFail, true);
  for (int record = 0; record < 3; ++record) {
    auto source = fSource.NewRecord(), target = fTarget.NewRecord();
    EXPECT_EQ(withDefault->MapField(source.data(), target.data()), 0u);
    EXPECT_EQ(without->MapField(source.data(), target.data()), 0u);
    EXPECT_FALSE(fTarget.Fields().IsRecordFieldNull(0, target.data()));
    EXPECT_EQ(target[0], 42);
    EXPECT_TRUE(fTarget.Fields().IsRecordFieldNull(1, target.data()));
  }
  EXPECT_EQ(tCalls, 0);
  // Without ApplyDefault the default does not apply either.
  auto off = Engine(u"", u"B", dlaFail, false);
  auto source = fSource.NewRecord(), target = fTarget.NewRecord();
  EXPECT_EQ(off->MapField(source.data(), target.data()), 0u);
  EXPECT_TRUE(fTarget.Fields().IsRecordFieldNull(0, target.data()));
}

TEST_F(FieldMapperEngine, ErrorContext) {
  MakeTables(mvtWideString, 10);
  auto engine = Engine(u"A", u"N", dlaFail, false);
  auto* mapper = static_cast<TmvFieldMapperEngine*>(engine.get());
  auto source = fSource.NewRecord(), target = fTarget.NewRecord();
  fSource.Fields().fsdSetFieldByIndexAsVariant(source.data(), 0, Variant(u"O'Neil"));
  tAnswer = 10002;
  const String expected =
      u"Invalid field transformation.\r\n\r\nSource Field: [0] A - WideString(10)\r\n"
      u"Target Field: [1] N - Int8\r\nSource Value: 'O''Neil'";
  for (int failure = 0; failure < 2; ++failure) {  // an earlier context is not taken for a head
    EXPECT_EQ(engine->MapField(source.data(), target.data()), 10002u);
    EXPECT_EQ(EmvBaseException(10002).ProcessedErrorString(), expected);
  }
  // A text the conversion recorded for 10002 heads the context.
  EmvBaseException::SetLastConvertedException(10002, u"Too long");
  EXPECT_EQ(mapper->AddErrorContext(10002, source.data()), 10002u);
  EXPECT_EQ(LastText().substr(0, 12), u"Too long\r\n\r\n");
  // Other codes come back without context.
  EmvBaseException::SetLastConvertedException(0, String());
  EXPECT_EQ(mapper->AddErrorContext(8962, source.data()), 8962u);
  EXPECT_EQ(LastText(), u"");
  // A null source reads NULL.
  auto nullSource = fSource.NewRecord();
  mapper->AddErrorContext(10002, nullSource.data());
  EXPECT_TRUE(LastText().ends_with(u"\r\nSource Value: NULL"));
}

TEST_F(FieldMapperEngine, ErrorContextOfAnUnreadableValue) {
  MakeTables(mvtDateTime);
  auto engine = Engine(u"A", u"N", dlaFail, false);
  auto source = fSource.NewRecord(), target = fTarget.NewRecord();
  const double beyondAnyDate = 1E300;  // no day of a 32-bit day number
  fSource.Fields().SetRecordField(0, source.data(), &beyondAnyDate);
  tAnswer = 10002;
  EXPECT_EQ(engine->MapField(source.data(), target.data()), 10002u);
  const String text = LastText();
  const size_t at = text.find(u"\r\nSource Value: [Error: ");
  ASSERT_NE(at, String::npos);
  EXPECT_TRUE(text.ends_with(u"]"));
  EXPECT_NE(text.find(SInvalidOp, at), String::npos);
}

TEST_F(FieldMapperEngine, TwoThreadsReadTheirOwnContexts) {
  MakeTables(mvtWideString, 10);
  auto run = [this](const char16_t* aValue, bool& aOk) {
    tAnswer = 10002;
    auto engine = Engine(u"A", u"N", dlaFail, false);
    auto source = fSource.NewRecord(), target = fTarget.NewRecord();
    fSource.Fields().fsdSetFieldByIndexAsVariant(source.data(), 0, Variant(aValue));
    const String tail = u"\r\nSource Value: '" + String(aValue) + u"'";
    aOk = true;
    for (int i = 0; i < 300 && aOk; ++i) {
      aOk = engine->MapField(source.data(), target.data()) == 10002 && LastText().ends_with(tail);
    }
  };
  bool ok1 = false, ok2 = false;
  std::thread t1(run, u"first", std::ref(ok1)), t2(run, u"second", std::ref(ok2));
  t1.join();
  t2.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

// ---------------------------------------------------------------------------
// AutoInc

class AutoIncEngine : public FieldMapperEngine {
 protected:
  void SetUp() override {
    FieldMapperEngine::SetUp();
    fSource.Add(u"Id", mvtAutoInc);
    fTarget.Add(u"Id", mvtAutoInc);
  }
  // Maps one record whose source Id is aValue (0: null); gives the
  // target's Id, 0 when null.
  uint32_t MapOne(TmvBaseFieldMapperEngine& aEngine, uint32_t aValue, uint32_t* aResult = nullptr) {
    auto source = fSource.NewRecord(), target = fTarget.NewRecord();
    uint8_t bytes[4];
    StoreLE32(bytes, aValue);
    if (aValue) fSource.Fields().SetRecordField(0, source.data(), bytes);
    const uint32_t result = aEngine.MapField(source.data(), target.data());
    if (aResult) *aResult = result;
    EXPECT_EQ(result == 0 ? 0u : 9731u, result);
    bool isNull;
    fTarget.Fields().GetRecordField(0, target.data(), isNull, bytes);
    return isNull ? 0 : LoadLE32(bytes);
  }
};

TEST_F(AutoIncEngine, FollowsTheCopiedValues) {
  fSource.AutoInc = 3;
  auto engine = Engine(u"Id", u"Id", dlaFail, true);
  engine->BeforeFirstRecord();
  EXPECT_EQ(fTarget.AutoInc, 3u);
  for (uint32_t v : {5u, 9u, 7u}) EXPECT_EQ(MapOne(*engine, v), v);
  EXPECT_EQ(fTarget.AutoInc, 9u);
  EXPECT_EQ(MapOne(*engine, 0), 10u);
  EXPECT_EQ(MapOne(*engine, 0), 11u);
  EXPECT_EQ(fTarget.AutoInc, 11u);
  engine->BeforeCommit();
  EXPECT_EQ(fTarget.AutoIncSets.back(), 11u);
  // The source table's counter moved on meanwhile: the larger one wins.
  fSource.AutoInc = 20;
  engine->BeforeCommit();
  EXPECT_EQ(fTarget.AutoInc, 20u);
}

TEST_F(AutoIncEngine, WithoutSourceOrWithoutApplyDefault) {
  fSource.AutoInc = 50;
  auto numbering = Engine(u"", u"Id", dlaFail, true);
  numbering->BeforeFirstRecord();
  EXPECT_EQ(fTarget.AutoIncSets, (std::vector<uint32_t>{0}));
  EXPECT_EQ(MapOne(*numbering, 0), 1u);
  EXPECT_EQ(MapOne(*numbering, 0), 2u);
  numbering->BeforeCommit();
  EXPECT_EQ(fTarget.AutoInc, 2u);

  auto keepNull = Engine(u"Id", u"Id", dlaFail, false);
  keepNull->BeforeFirstRecord();
  EXPECT_EQ(MapOne(*keepNull, 0), 0u);
  EXPECT_EQ(fTarget.AutoInc, 50u);
}

TEST_F(AutoIncEngine, StopsAtTheLargestValue) {
  fSource.AutoInc = 4294967294u;
  auto engine = Engine(u"Id", u"Id", dlaFail, true);
  engine->BeforeFirstRecord();
  EXPECT_EQ(MapOne(*engine, 0), 4294967295u);
  uint32_t result = 0;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(MapOne(*engine, 0, &result), 0u);  // the target stays null
    EXPECT_EQ(result, 9731u);
    EXPECT_EQ(EmvBaseException(9731).ProcessedErrorString(), u"Maximum AutoInc value has been reached");
    EXPECT_EQ(fTarget.AutoInc, 4294967295u);
  }
  EXPECT_EQ(MapOne(*engine, 12), 12u);  // copied values still pass
  engine->BeforeCommit();
  EXPECT_EQ(fTarget.AutoInc, 4294967295u);
}

TEST_F(AutoIncEngine, NeedsServerCursors) {
  fTarget.Server = false;
  EXPECT_THROW(Engine(u"Id", u"Id", dlaFail, true), EInvalidCast);
  fTarget.Server = true;
  fSource.Server = false;
  EXPECT_THROW(Engine(u"Id", u"Id", dlaFail, true), EInvalidCast);
  EXPECT_NO_THROW(Engine(u"", u"Id", dlaFail, true));  // the source is not asked
}

}  // namespace
