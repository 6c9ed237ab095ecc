// Tests of the SQL filter: the descriptor's stream and its refusals, the
// engine without the SQL engine, and the engine over a stand-in statement
// class in place of the SQL engine's (which lives in a layer above).
#include "dictionary/filters/mvsdSqlFilter.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "dictionary/mvsdFilterTestSupport.h"
#include "dictionary/mvsdLog.h"
#include "foundation/mvllStreams.h"

using namespace mvtest;

namespace {

// The condition "<column> = <integer>"; evaluating a record whose column
// holds 0 raises, as a division by zero in the condition would, and -1
// breaks an assertion. "bad syntax" is refused by the constructor.
class TFakeSqlStatement : public TmvBaseSqlFilterStatement {
 public:
  TFakeSqlStatement(ImvFieldsSource* aFieldsSource, const String& aSqlText)
      : TmvBaseSqlFilterStatement(aFieldsSource, aSqlText) {
    const size_t eq = aSqlText.find(u" = ");
    if (eq == String::npos) throw EmvBaseException(0, u"Invalid token: error at line 1 pos 1");
    fColumn = ResolveExternalColumn(aSqlText.substr(0, eq), fType, fUnits, fDecimals, fLocale);
    fValue = std::stoi(Utf8(aSqlText.substr(eq + 3)));
  }
  bool Evaluate() override {
    Variant value;
    GetExternalColumn(fColumn, value);
    if (value.IsNull()) return false;
    if (value.AsInteger() == 0) throw EmvBaseException(0, u"Division by zero");
    MV_ASSERT(value.AsInteger() != -1);
    return value.AsInteger() == fValue;
  }
  static TmvBaseSqlFilterStatement* Create(ImvFieldsSource* aFieldsSource, const String& aSqlText) {
    return new TFakeSqlStatement(aFieldsSource, aSqlText);
  }

  int32_t fColumn;
  int32_t fValue;
  TmvFieldType fType;
  int32_t fUnits, fDecimals;
  TmvLocaleDescriptor* fLocale;
};
const TmvSqlFilterStatementClassRef kFakeStatementClass{{u"TFakeSqlStatement", nullptr}, &TFakeSqlStatement::Create};

class SqlFilter : public DictionaryTest {
 protected:
  void SetUp() override {
    t.Field(u"Qty", mvtInt32);
    t.Field(u"Pic", mvtBlob);
    record.assign(size_t(t.dd.Fields->RecordLength()), 0);
    t.dd.Fields->InitRecord(record.data());
  }
  void TearDown() override { SqlFilterStatementClass = nullptr; }
  bool Matches(TmvBaseFilterEngine& aEngine, int32_t aQty) {
    t.dd.Fields->fsdSetFieldByIndexAsVariant(record.data(), 0, Variant(aQty));
    return aEngine.MatchesBuffer(record.data());
  }

  TTestTable t;
  std::vector<uint8_t> record;
};

std::vector<uint8_t> Prefix(uint8_t aVersion, int32_t aLength) {
  const std::string name = "TmvSqlFilterDescriptor";
  std::vector<uint8_t> b(1 + name.size(), uint8_t(name.size()));
  std::copy(name.begin(), name.end(), b.begin() + 1);
  b.push_back(aVersion);
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(uint32_t(aLength) >> (8 * i)));
  return b;
}

const String& TextOf(const std::unique_ptr<TmvBaseFilterDescriptor>& aFilter) {
  return dynamic_cast<TmvSqlFilterDescriptor&>(*aFilter).GetExpression();
}

TEST_F(SqlFilter, StreamForms) {
  TmvSqlFilterDescriptor descriptor(u"Qty = 5");
  TmvMemoryStream stream;
  ASSERT_EQ(descriptor.WriteToStream(stream, mvEngineVersion), 0u);
  std::vector<uint8_t> expected = Prefix(2, 7);
  for (char c : std::string("Qty = 5")) expected.insert(expected.end(), {uint8_t(c), 0});
  const auto* p = static_cast<const uint8_t*>(stream.Memory());
  EXPECT_EQ(std::vector<uint8_t>(p, p + stream.GetSize()), expected);
  std::unique_ptr<TmvBaseFilterDescriptor> back;
  ASSERT_EQ(ReadFilter(expected, back), 0u);
  EXPECT_EQ(TextOf(back), u"Qty = 5");
  // Version 1 carries ANSI text in the system ANSI code page (932 here).
  std::vector<uint8_t> ansi = Prefix(1, 9);
  for (char c : std::string("Qty = \x82\xa0\x35")) ansi.push_back(uint8_t(c));
  ASSERT_EQ(ReadFilter(ansi, back), 0u);
  EXPECT_EQ(TextOf(back), u"Qty = \u3042" u"5");
  // The class's virtual constructor.
  std::unique_ptr<TmvBaseSqlFilterDescriptor> made(TmvSqlFilterDescriptor::StaticClass.CreateSqlFilter(u"Qty = 1"));
  EXPECT_EQ(&made->ClassType(), &TmvSqlFilterDescriptor::StaticClass);
  EXPECT_EQ(made->GetExpression(), u"Qty = 1");
}

TEST_F(SqlFilter, DamagedStreamsAreRefusedBeforeAllocating) {
  std::unique_ptr<TmvBaseFilterDescriptor> back;
  for (uint8_t version : {0, 3, 255}) {
    std::vector<uint8_t> bytes = Prefix(version, 1);
    bytes.push_back('x');
    EXPECT_EQ(ReadFilter(bytes, back), 15498u) << int(version);
  }
  // Negative, huge and too long lengths; a length that is missing or cut.
  for (int32_t length : {-1, INT32_MIN, INT32_MAX, 0x40000000, 3})
    EXPECT_EQ(ReadFilter(Prefix(2, length), back), 15498u) << length;
  const std::vector<uint8_t> full = Prefix(2, 0);
  EXPECT_EQ(ReadFilter(std::vector<uint8_t>(full.begin(), full.end() - 2), back), 15498u);
  EXPECT_EQ(ReadFilter(std::vector<uint8_t>(full.begin(), full.end() - 5), back), 15498u);
  EXPECT_EQ(back, nullptr);
  ASSERT_EQ(ReadFilter(full, back), 0u);
  EXPECT_EQ(TextOf(back), u"");
}

TEST_F(SqlFilter, WithoutTheSqlEngine) {
  TmvSqlFilterDescriptor descriptor(u"Qty = 5");
  String message;
  EXPECT_EQ(RaisedCode([&] { TmvBaseFilterEngine::CreateFor(&descriptor, t.dd.Fields); }, &message), 12289u);
  EXPECT_EQ(message, u"SQL Filters require SqlFilterStatementClass to be assigned");
}

TEST_F(SqlFilter, OverTheStatementClass) {
  SqlFilterStatementClass = &kFakeStatementClass;
  TmvSqlFilterDescriptor descriptor(u"Qty = 5");
  std::unique_ptr<TmvBaseFilterEngine> engine(TmvBaseFilterEngine::CreateFor(&descriptor, t.dd.Fields));
  EXPECT_TRUE(Matches(*engine, 4));  // inactive
  engine->SetActive(true);
  EXPECT_TRUE(engine->MatchesBuffer(nullptr));
  EXPECT_FALSE(Matches(*engine, 4));
  EXPECT_TRUE(Matches(*engine, 5));
  // An evaluation error rejects that record, is logged, and the engine goes on.
  TLinesLog log;
  EXPECT_FALSE(Matches(*engine, 0));
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_NE(log.lines[0].find(u"Division by zero"), String::npos) << Utf8(log.lines[0]);
  EXPECT_TRUE(Matches(*engine, 5));
  EXPECT_THROW(Matches(*engine, -1), EAssertionFailed);  // a broken invariant is no answer
  EXPECT_TRUE(Matches(*engine, 5));
  // Its descriptor, and a copy over the same source.
  std::unique_ptr<TmvBaseFilterDescriptor> copy(engine->CreateDescriptor());
  EXPECT_EQ(dynamic_cast<TmvSqlFilterDescriptor&>(*copy).GetExpression(), u"Qty = 5");
  std::unique_ptr<TmvBaseFilterEngine> twin(engine->Duplicate(t.dd.Fields));
  EXPECT_TRUE(twin->GetActive());
  EXPECT_FALSE(Matches(*twin, 6));
  // The statement's own refusals pass on.
  TmvSqlFilterDescriptor bad(u"bad syntax");
  String message;
  RaisedCode([&] { TmvBaseFilterEngine::CreateFor(&bad, t.dd.Fields); }, &message);
  EXPECT_EQ(message, u"Invalid token: error at line 1 pos 1");
}

TEST_F(SqlFilter, ColumnsOfTheRecordUnderTest) {
  TFakeSqlStatement statement(t.dd.Fields, u"Qty = 1");
  EXPECT_EQ(statement.fColumn, 0);
  EXPECT_EQ(statement.fType, mvtInt32);
  Variant value(int32_t(7));
  statement.GetExternalColumn(0, value);
  EXPECT_TRUE(value.IsEmpty());  // outside a test
  TmvFieldType type;
  int32_t units, decimals;
  TmvLocaleDescriptor* locale;
  EXPECT_EQ(statement.ResolveExternalColumn(u"QTY", type, units, decimals, locale), 0);
  EXPECT_EQ(statement.ResolveExternalColumn(u"Nothing", type, units, decimals, locale), -1);
  EXPECT_EQ(statement.ResolveExternalColumn(u"Pic", type, units, decimals, locale), -1);  // no BLOBs here
  EXPECT_EQ(type, mvtBlob);
}

}  // namespace
