// Tests of the validation engines and the validations handler: which
// engines a handler makes for each side, required fields, limits, fields
// that may be set once, CHECK conditions over a stand-in statement class in
// place of the SQL engine's (which lives in a layer above) and without one,
// the failure messages, and handlers on a cached read-only tree.
#include "dictionary/filters/mvsdValidationEngine.h"

#include <gtest/gtest.h>

#include <optional>

#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

// The condition "<name> <op> <operand>" with op one of < > = <>, the name
// resolved through the statement's base and the operand an integer or a
// text in single quotes. A value that is unassigned (null) makes the result
// unknown, which passes. "raise" raises when evaluated, "assert" breaks an
// assertion, and "bad syntax" is refused by the constructor.
class TFakeCheckStatement : public TmvBaseSqlCheckStatement {
 public:
  TFakeCheckStatement(TmvFieldsDescriptor* aFieldsDescriptor, TmvFieldDescriptor* aFieldDescriptor,
                      ImvDictionaryCursor* aCursor, const String& aSqlText)
      : TmvBaseSqlCheckStatement(aFieldsDescriptor, aFieldDescriptor, aCursor, aSqlText), fText(aSqlText) {
    if (aSqlText == u"bad syntax") throw EmvBaseException(0, u"Invalid token: error at line 1 pos 1");
    ++Made;
    LastField = aFieldDescriptor;
    if (aSqlText == u"raise" || aSqlText == u"assert") return;
    const size_t first = aSqlText.find(u' '), second = aSqlText.find(u' ', first + 1);
    fReference = ResolveFieldName(aSqlText.substr(0, first), fType, fUnits, fDecimals, fLocale);
    fOp = aSqlText.substr(first + 1, second - first - 1);
    fOperand = aSqlText.substr(second + 1);
  }
  bool SupportsBlobs() override { return bscsCursor != nullptr; }
  void GetBlobValue(TmvFieldDescriptor* aFieldDescriptor, bool, TmvBlobNr aBlobNr, Variant& aValue) override {
    ReadBlobValue(aFieldDescriptor, aBlobNr, aValue);
  }
  bool Evaluate() override {
    Seen = {bscsOldRecord, bscsNewRecord};
    if (fText == u"raise") throw EmvBaseException(0, u"Division by zero");
    MV_ASSERT(fText != u"assert");
    Variant value;
    GetFieldValue(fReference, value);
    if (value.IsEmpty()) return true;
    int c;
    if (fOperand.starts_with(u"'"))
      c = value.AsString().compare(fOperand.substr(1, fOperand.size() - 2));
    else
      c = value.AsInteger() < std::stoi(Utf8(fOperand)) ? -1 : value.AsInteger() > std::stoi(Utf8(fOperand));
    if (fOp == u"<") return c < 0;
    if (fOp == u">") return c > 0;
    if (fOp == u"=") return c == 0;
    return c != 0;
  }
  static TmvBaseSqlCheckStatement* Create(TmvFieldsDescriptor* aFieldsDescriptor,
                                          TmvFieldDescriptor* aFieldDescriptor, ImvDictionaryCursor* aCursor,
                                          const String& aSqlText) {
    return new TFakeCheckStatement(aFieldsDescriptor, aFieldDescriptor, aCursor, aSqlText);
  }

  static inline int Made = 0;
  static inline TmvFieldDescriptor* LastField = nullptr;
  static inline std::pair<const void*, const void*> Seen;
  String fText, fOp, fOperand;
  int32_t fReference = -1;
  TmvFieldType fType = mvtBoolean;
  int32_t fUnits = 0, fDecimals = 0;
  TmvLocaleDescriptor* fLocale = nullptr;
};
const TmvSqlCheckStatementClassRef kFakeStatementClass{{u"TFakeCheckStatement", nullptr},
                                                       &TFakeCheckStatement::Create};

// The stand-in statement class is installed as the SQL engine's unit would
// install its own, unless a test says otherwise.
class ValidationEngines : public DictionaryTest {
 protected:
  void SetUp() override { mvSqlCheckStatementClass.store(&kFakeStatementClass); }
  void TearDown() override { mvSqlCheckStatementClass.store(nullptr); }
};

// A table of a few fields with records to validate: each record is
// described by the values of its fields (nullopt for null).
struct Table {
  TTestTable t;
  TmvFieldsDescriptor& f = *t.dd.Fields;
  TTestCursor cursor;
  std::unique_ptr<TmvValidationsHandler> server, client;

  template <typename D>
  D* Add(int32_t aField, const String& aName) {
    return static_cast<D*>(f.FieldDescriptor(aField)->EnsureValidations()->AddValidation(aName, &D::StaticClass));
  }
  TmvSqlCheckValidationDescriptor* AddRowCheck(const String& aName, const String& aCondition) {
    auto* check = static_cast<TmvSqlCheckValidationDescriptor*>(
        f.EnsureValidations()->AddValidation(aName, &TmvSqlCheckValidationDescriptor::StaticClass));
    check->SetConstraint(aCondition);
    return check;
  }
  // Checks the dictionary and makes both handlers.
  void Open() {
    f.CheckValid(true);
    server.reset(TmvValidationsHandler::CreateFor(&f, aaServer, &cursor));
    client.reset(TmvValidationsHandler::CreateFor(&f, aaClient, &cursor));
  }
  std::vector<uint8_t> Record(std::initializer_list<std::optional<Variant>> aValues) {
    std::vector<uint8_t> r(size_t(f.RecordLength()), 0);
    f.InitRecord(r.data());
    int32_t i = 0;
    for (const auto& v : aValues) {
      if (v) f.fsdSetFieldByIndexAsVariant(r.data(), i, *v);
      ++i;
    }
    return r;
  }
  // The code that validating raises (0 for none) and its message.
  uint32_t Insert(const std::vector<uint8_t>& aNew, String* aMessage = nullptr) {
    return RaisedCode([&] { server->ValidateRecord(nullptr, aNew.data()); }, aMessage);
  }
  uint32_t Modify(const std::vector<uint8_t>& aOld, const std::vector<uint8_t>& aNew, String* aMessage = nullptr) {
    return RaisedCode([&] { server->ValidateRecord(aOld.data(), aNew.data()); }, aMessage);
  }
};

TEST_F(ValidationEngines, RequiredFields) {
  Table t;
  t.t.Field(u"Name", mvtShortString, 10, true);
  t.t.Field(u"Qty", mvtInt32);
  t.Open();
  ASSERT_NE(t.server, nullptr);
  EXPECT_EQ(t.server->EngineCount(), 1);
  EXPECT_EQ(t.client, nullptr);  // the client side has no not-null engine
  String message;
  EXPECT_EQ(t.Insert(t.Record({std::nullopt, Variant(1)}), &message), 9732u);
  EXPECT_EQ(message, u"Field validation \"$required\" for field \"Name\" failed: Field value required.");
  EXPECT_THROW(t.server->ValidateRecord(nullptr, t.Record({}).data()), EmvNotNullValidationEngineException);
  EXPECT_EQ(t.Insert(t.Record({Variant(u"")})), 0u);  // an empty text is a value
  EXPECT_EQ(t.Modify(t.Record({Variant(u"a")}), t.Record({std::nullopt})), 9732u);
}

// A table without validations and without required fields gets no handler;
// nor does one whose only validation applies at neither side.
TEST_F(ValidationEngines, NoHandlerWithoutEngines) {
  TFakeCheckStatement::Made = 0;
  Table t;
  t.t.Field(u"Qty", mvtInt32);
  t.Open();
  EXPECT_EQ(t.server, nullptr);
  EXPECT_EQ(t.client, nullptr);
  t.AddRowCheck(u"C", u"Qty > 0")->SetApplyAt(mvSetOf({aaClient}));
  t.Add<TmvSqlCheckValidationDescriptor>(0, u"D")->SetApplyAt(0);
  t.Open();
  EXPECT_EQ(t.server, nullptr);
  EXPECT_EQ(t.client, nullptr);
  EXPECT_EQ(TFakeCheckStatement::Made, 0);
}

TEST_F(ValidationEngines, MinMax) {
  Table t;
  t.t.Field(u"Qty", mvtInt32);
  auto* range = t.Add<TmvMinMaxValidationDescriptor>(0, u"Range");
  range->SetMinAsVariant(Variant(1));
  range->SetMaxAsVariant(Variant(10));
  t.Open();
  EXPECT_EQ(t.client, nullptr);  // a validation applies at the server unless told otherwise
  const struct {
    std::optional<Variant> value;
    uint32_t code;
  } cases[] = {{Variant(0), 9730}, {Variant(11), 9731},  {Variant(-5), 9730},
               {Variant(10), 0},   {Variant(1), 0},      {std::nullopt, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(t.Insert(t.Record({c.value})), c.code);
    EXPECT_EQ(t.Modify(t.Record({Variant(5)}), t.Record({c.value})), c.code);
  }
  String message;
  t.Insert(t.Record({Variant(11)}), &message);
  EXPECT_EQ(message, u"Field validation \"Range\" for field \"Qty\" failed: Maximum validity check failed.");
  EXPECT_THROW(t.server->ValidateRecord(nullptr, t.Record({Variant(0)}).data()), EmvMinMaxValidationEngineException);

  // A lower limit alone, on both sides.
  range->SetMaxAsVariant(Variant());
  range->SetApplyAt(mvSetOf({aaServer, aaClient}));
  t.Open();
  ASSERT_NE(t.client, nullptr);
  EXPECT_EQ(t.Insert(t.Record({Variant(1000000)})), 0u);
  EXPECT_EQ(RaisedCode([&] { t.client->ValidateRecord(nullptr, t.Record({Variant(0)}).data()); }), 9730u);
}

// The limits compare as the validation's key field says: here a text key
// field that ignores case.
TEST_F(ValidationEngines, MinMaxComparesThroughItsKeyField) {
  Table t;
  t.t.Field(u"Code", mvtShortString, 8);
  auto* range = t.Add<TmvMinMaxValidationDescriptor>(0, u"Letters");
  range->SetMinAsVariant(Variant(u"b"));
  range->SetMaxAsVariant(Variant(u"d"));
  t.Open();
  EXPECT_EQ(t.Insert(t.Record({Variant(u"C")})), 9730u);  // byte order: 'C' < 'b'
  static_cast<TmvTextKeyFieldDescriptor*>(range->AddKeyField(&TmvTextKeyFieldDescriptor::StaticClass))
      ->SetIgnoreCase(true);
  t.Open();
  EXPECT_EQ(t.Insert(t.Record({Variant(u"C")})), 0u);
  EXPECT_EQ(t.Insert(t.Record({Variant(u"dz")})), 9731u);
  // An engine made before the dictionary was checked has no key field to
  // compare with.
  range->RemoveKeyField();
  String message;
  EXPECT_EQ(RaisedCode([&] { TmvValidationsHandler::CreateFor(&t.f, aaServer, nullptr); }, &message), 10004u);
  EXPECT_EQ(message,
            u"Validation \"Letters\" has no key field to compare with; checking the dictionary adds the default one");
}

TEST_F(ValidationEngines, NoChange) {
  Table t;
  t.t.Field(u"Qty", mvtInt32);
  t.Add<TmvNoChangeValidationDescriptor>(0, u"Fixed");
  t.Open();
  const struct {
    std::optional<Variant> before, after;
    uint32_t code;
  } cases[] = {{Variant(5), Variant(6), 10502},    {Variant(5), std::nullopt, 10502},
               {std::nullopt, Variant(6), 0},      {Variant(5), Variant(5), 0},
               {std::nullopt, std::nullopt, 0}};
  for (const auto& c : cases) EXPECT_EQ(t.Modify(t.Record({c.before}), t.Record({c.after})), c.code);
  EXPECT_EQ(t.Insert(t.Record({Variant(6)})), 0u);
  String message;
  t.Modify(t.Record({Variant(5)}), t.Record({Variant(6)}), &message);
  EXPECT_EQ(message, u"Field validation \"Fixed\" for field \"Qty\" failed: Trying to modify read-only field.");
}

TEST_F(ValidationEngines, RecordLevelChecks) {
  Table t;
  t.t.Field(u"Qty", mvtInt32);
  t.t.Field(u"Price", mvtInt32);
  t.AddRowCheck(u"Positive", u"Qty > 0");
  t.AddRowCheck(u"Cheap", u"Price < 100")->SetErrorMessage(u"Price must stay below 100");
  t.Open();
  EXPECT_EQ(TFakeCheckStatement::LastField, nullptr);  // a record-level statement has no field
  String message;
  EXPECT_EQ(t.Insert(t.Record({Variant(0), Variant(5)}), &message), 9751u);
  EXPECT_EQ(message, u"Fields validation \"Positive\" failed: Expression validity check failed.");
  EXPECT_EQ(t.Insert(t.Record({Variant(1), Variant(500)}), &message), 9751u);
  EXPECT_EQ(message, u"Fields validation \"Cheap\" failed: Price must stay below 100");
  EXPECT_THROW(t.server->ValidateRecord(nullptr, t.Record({Variant(0)}).data()), EmvSqlCheckValidationEngineException);
  EXPECT_EQ(t.Insert(t.Record({Variant(1), Variant(5)})), 0u);
  EXPECT_EQ(t.Insert(t.Record({std::nullopt, std::nullopt})), 0u);  // unknown passes

  // The statement saw the records only while it evaluated.
  const auto before = t.Record({Variant(1), Variant(5)}), after = t.Record({Variant(2), Variant(5)});
  t.server->ValidateRecord(before.data(), after.data());
  EXPECT_EQ(TFakeCheckStatement::Seen.first, before.data());
  EXPECT_EQ(TFakeCheckStatement::Seen.second, after.data());
}

// A check in a field's list reads the field as NEW and OLD and reports the
// field; the record-level engine runs before the fields, in field order.
TEST_F(ValidationEngines, FieldChecksAndOrder) {
  Table t;
  t.t.Field(u"Qty", mvtInt32, 0, true);
  t.t.Field(u"Price", mvtInt32);
  t.Add<TmvSqlCheckValidationDescriptor>(1, u"Up")->SetConstraint(u"NEW > 10");
  t.Add<TmvSqlCheckValidationDescriptor>(1, u"Was")->SetConstraint(u"old <> 99");
  t.AddRowCheck(u"Row", u"OLD$Qty <> 7");
  t.Open();
  EXPECT_EQ(TFakeCheckStatement::LastField, t.f.FieldDescriptor(1));
  String message;
  EXPECT_EQ(t.Insert(t.Record({Variant(1), Variant(5)}), &message), 9751u);
  EXPECT_EQ(message, u"Field validation \"Up\" for field \"Price\" failed: Expression validity check failed.");
  EXPECT_EQ(t.Modify(t.Record({Variant(1), Variant(99)}), t.Record({Variant(1), Variant(50)}), &message), 9751u);
  EXPECT_EQ(message, u"Field validation \"Was\" for field \"Price\" failed: Expression validity check failed.");
  // Every engine fails here; the record-level one comes first, then Qty's.
  const auto bad = t.Record({std::nullopt, Variant(5)});
  EXPECT_EQ(t.Modify(t.Record({Variant(7), Variant(99)}), bad, &message), 9751u);
  EXPECT_EQ(message, u"Fields validation \"Row\" failed: Expression validity check failed.");
  EXPECT_EQ(t.Insert(bad), 9732u);

  // One field's engine alone, or the record-level one for -1.
  EXPECT_EQ(RaisedCode([&] { t.server->ValidateField(nullptr, bad.data(), 1); }), 9751u);
  EXPECT_EQ(RaisedCode([&] { t.server->ValidateField(t.Record({Variant(7)}).data(), bad.data(), -1); }), 9751u);
  EXPECT_EQ(RaisedCode([&] { t.server->ValidateField(nullptr, bad.data(), 2); }), 9999u);
}

// An error inside the evaluation fails the check, and the log says why; an
// assertion failure is not swallowed.
TEST_F(ValidationEngines, CheckThatCannotBeEvaluated) {
  Table t;
  t.t.Field(u"Qty", mvtInt32);
  t.AddRowCheck(u"Broken", u"raise");
  t.Open();
  TLinesLog log;
  EXPECT_EQ(t.Insert(t.Record({Variant(1)})), 9751u);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_NE(log.lines[0].find(u"Division by zero"), String::npos) << Utf8(log.lines[0]);

  static_cast<TmvSqlCheckValidationDescriptor*>(t.f.GetValidations()->ValidationDescriptor(0))->SetConstraint(u"assert");
  t.Open();
  EXPECT_THROW(t.Insert(t.Record({Variant(1)})), EAssertionFailed);

  // A condition the SQL engine refuses fails the open, and nothing is kept.
  static_cast<TmvSqlCheckValidationDescriptor*>(t.f.GetValidations()->ValidationDescriptor(0))
      ->SetConstraint(u"bad syntax");
  t.t.Field(u"Name", mvtShortString, 5, true);
  EXPECT_THROW(t.Open(), EmvBaseException);
}

// Without the SQL engine a table with a CHECK can be opened, but every
// insert raises 12289.
TEST_F(ValidationEngines, CheckWithoutSqlEngine) {
  mvSqlCheckStatementClass.store(nullptr);
  Table t;
  t.t.Field(u"Qty", mvtInt32);
  t.AddRowCheck(u"Positive", u"Qty > 0");
  t.Add<TmvSqlCheckValidationDescriptor>(0, u"Own")->SetConstraint(u"NEW > 0");
  t.Open();
  ASSERT_NE(t.server, nullptr);
  String message;
  EXPECT_EQ(t.Insert(t.Record({Variant(1)}), &message), 12289u);
  EXPECT_EQ(message, u"Evaluation of CHECK constraint requires an SQL engine");
  EXPECT_EQ(RaisedCode([&] { t.server->ValidateField(nullptr, t.Record({Variant(1)}).data(), 0); }), 12289u);
}

// Names resolve to references with the field's description; BLOB fields
// only when the statement reads BLOBs, which it does through the cursor.
TEST_F(ValidationEngines, NamesAndValuesOfTheStatement) {
  Table t;
  t.t.Field(u"Qty", mvtInt16, 4);
  t.t.Field(u"Memo", mvtBlobMemo);
  GiveOwnLocale(*t.f.FieldDescriptor(1), 1252);
  TFakeCheckStatement rows(&t.f, nullptr, &t.cursor, u"raise");
  TFakeCheckStatement own(&t.f, t.f.FieldDescriptor(0), nullptr, u"raise");
  TmvFieldType type;
  int32_t units, decimals;
  TmvLocaleDescriptor* locale;
  const struct {
    TFakeCheckStatement* statement;
    const char16_t* name;
    int32_t reference;
  } names[] = {{&rows, u"qty", 0},          {&rows, u"OLD$Qty", 0x10000}, {&rows, u"old$memo", 0x10001},
               {&rows, u"Nothing", -1},     {&rows, u"NEW", -1},          {&own, u"New", 0xFFFF},
               {&own, u"OLD", 0x1FFFF},     {&own, u"Memo", -1}};
  for (const auto& n : names) {
    EXPECT_EQ(n.statement->ResolveFieldName(n.name, type, units, decimals, locale), n.reference) << Utf8(n.name);
  }
  own.ResolveFieldName(u"new", type, units, decimals, locale);
  EXPECT_EQ(type, mvtInt16);
  EXPECT_EQ(units, 4);

  // Values: outside an evaluation nothing is under test.
  Variant value;
  rows.GetFieldValue(0, value);
  EXPECT_TRUE(value.IsEmpty());
  const auto oldRecord = t.Record({Variant(3)});
  auto newRecord = t.Record({Variant(4)});
  const TmvBlobNr blob = 0x0102030405060708;
  t.f.SetRecordField(1, newRecord.data(), &blob);
  t.cursor.Blobs[blob] = {'c', 'a', 'f', 0xE9};
  std::vector<Variant> seen;
  class TValueReader : public TFakeCheckStatement {
   public:
    using TFakeCheckStatement::TFakeCheckStatement;
    bool Evaluate() override {
      for (int32_t reference : {0, 0x10000, 1, 0x10001, 0xFFFF, 0x1FFFF, 2, -3, 0x30000}) {
        Variant v;
        GetFieldValue(reference, v);
        Values.push_back(v);
      }
      return true;
    }
    std::vector<Variant> Values;
  };
  TValueReader reader(&t.f, nullptr, &t.cursor, u"raise");
  EXPECT_TRUE(reader.ValidateField(nullptr, oldRecord.data(), nullptr, newRecord.data()));
  ASSERT_EQ(reader.Values.size(), 9u);
  EXPECT_EQ(reader.Values[0].AsInteger(), 4);
  EXPECT_EQ(reader.Values[1].AsInteger(), 3);
  EXPECT_EQ(reader.Values[2].AsString(), u"caf\u00E9");  // the memo in its code page
  EXPECT_EQ(t.cursor.BlobReads, (std::vector<std::pair<int32_t, TmvBlobNr>>{{1, blob}}));
  for (size_t i = 3; i < 9; ++i) EXPECT_TRUE(reader.Values[i].IsEmpty()) << i;  // null, no field, unknown
  // A BLOB the cursor cannot read fails the check, with the cursor's text
  // in the log.
  t.cursor.Blobs.clear();
  TLinesLog log;
  EXPECT_FALSE(reader.ValidateField(nullptr, oldRecord.data(), nullptr, newRecord.data()));
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_NE(log.lines[0].find(u"No BLOB"), String::npos) << Utf8(log.lines[0]);
}

// An unknown list class has no engine: 15503 names it.
TEST_F(ValidationEngines, UnknownEngines) {
  StandInClasses standIns;
  Table t;
  t.t.Field(u"Qty", mvtInt32)->AddValidations(&TTestValidations::StaticClass);
  String message;
  EXPECT_EQ(RaisedCode([&] { t.Open(); }, &message), 15503u);
  EXPECT_EQ(message, u"Unknown Validations engine: \"TTestValidations\"");
  t.f.FieldDescriptor(0)->RemoveValidations();
  t.f.AddValidations(&TTestFieldsValidations::StaticClass);
  EXPECT_EQ(RaisedCode([&] { t.Open(); }, &message), 15503u);
  EXPECT_EQ(message, u"Unknown Validations engine: \"TTestFieldsValidations\"");
}

// Handlers made from a cached, read-only tree read it and change nothing
// but the fields descriptor's cached engine class.
TEST_F(ValidationEngines, HandlersOnACachedReadOnlyTree) {
  Table t;
  t.t.Field(u"Qty", mvtInt32, 0, true);
  t.Add<TmvMinMaxValidationDescriptor>(0, u"Range")->SetMaxAsVariant(Variant(10));
  t.AddRowCheck(u"Positive", u"Qty > 0");
  t.f.CheckValid(true);
  const std::vector<uint8_t> before = Written(t.f);
  t.f.ActivateCache();
  t.t.dd.ReadOnly = true;
  for (int round = 0; round < 2; ++round) {
    std::unique_ptr<TmvValidationsHandler> handler(TmvValidationsHandler::CreateFor(&t.f, aaServer, &t.cursor));
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(handler->EngineCount(), 2);
    EXPECT_EQ(RaisedCode([&] { handler->ValidateRecord(nullptr, t.Record({Variant(11)}).data()); }), 9731u);
    EXPECT_EQ(t.f.fsdCachedEngineClass, &TmvFieldsValidationsEngine::StaticClass);
  }
  t.t.dd.ReadOnly = false;
  t.f.DeactivateCache();
  EXPECT_EQ(Written(t.f), before);
}

}  // namespace
