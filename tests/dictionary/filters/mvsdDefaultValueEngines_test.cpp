// Tests of the default-value engines and handler: finding an engine by the
// descriptor's class name, what each engine writes, which engines a handler
// takes for each side, the insert and modify passes with their null bits,
// engines that answer false, and handlers on a cached read-only tree.
#include "dictionary/filters/mvsdDefaultValueEngines.h"

#include <gtest/gtest.h>

#include <cstring>

#include "dictionary/mvsdTestSupport.h"
#include "platform/DateUtils.h"
#include "platform/Guid.h"
#include "platform/Numeric.h"

using namespace mvtest;

namespace {

// A descriptor whose engine scribbles over its field and answers false, and
// one that has no engine at all.
class TTestFailingDefaultValueDescriptor : public TmvBaseDefaultValueDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TTestFailingDefaultValueDescriptor(TPersistent* aParent)
      : TmvBaseDefaultValueDescriptor(aParent, StaticClass) {}
};
constinit const TmvDictionaryItemClassRef TTestFailingDefaultValueDescriptor::StaticClass{
    {{u"TTestFailingDefaultValueDescriptor", &TmvBaseDefaultValueDescriptor::StaticClass},
     &TmvBaseDefaultValueDescriptor::Registry, &mvCreateFreeItem<TTestFailingDefaultValueDescriptor>},
    &mvCreateItem<TTestFailingDefaultValueDescriptor>};

class TTestOrphanDefaultValueDescriptor : public TmvBaseDefaultValueDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  explicit TTestOrphanDefaultValueDescriptor(TPersistent* aParent)
      : TmvBaseDefaultValueDescriptor(aParent, StaticClass) {}
};
constinit const TmvDictionaryItemClassRef TTestOrphanDefaultValueDescriptor::StaticClass{
    {{u"TTestOrphanDefaultValueDescriptor", &TmvBaseDefaultValueDescriptor::StaticClass},
     &TmvBaseDefaultValueDescriptor::Registry, &mvCreateFreeItem<TTestOrphanDefaultValueDescriptor>},
    &mvCreateItem<TTestOrphanDefaultValueDescriptor>};

class TTestFailingDefaultValueEngine : public TmvBaseDefaultValueEngine {
  MV_DECLARE_CLASSREF(TmvDefaultValueEngineClassRef)
 public:
  using TmvBaseDefaultValueEngine::TmvBaseDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override {
    std::memset(aFieldValue, 0xAB, size_t(bdceFieldDescriptor->Length()));
    return false;
  }
};
constinit const TmvDefaultValueEngineClassRef TTestFailingDefaultValueEngine::StaticClass{
    {{u"TTestFailingDefaultValueEngine", &TmvBaseDefaultValueEngine::StaticClass},
     &TmvBaseDefaultValueEngine::Registry, nullptr},
    &mvConstructDefaultValueEngine<TTestFailingDefaultValueEngine>,
    &mvConstructDefaultValueEngine<TTestFailingDefaultValueEngine>};

class DefaultValueEngines : public DictionaryTest {
 protected:
  void SetUp() override { TmvBaseRegisterableEngine::RegisterEngine(TTestFailingDefaultValueEngine::StaticClass); }
  void TearDown() override { TmvBaseRegisterableEngine::UnregisterEngine(TTestFailingDefaultValueEngine::StaticClass); }

  using Record = std::vector<uint8_t>;
  Record NewRecord(TmvFieldsDescriptor& aFields) {
    Record r(size_t(aFields.RecordLength()), 0);
    aFields.InitRecord(r.data());
    return r;
  }
  TTestCursor cursor;
};

// One field per kind of default, plus one without.
enum : int32_t { fEmpty, fConst, fStamp, fUser, fGuid, fLSN, fServerOnly, fFailing, fPlain, fCount };

struct Table {
  TTestDictionary dd;
  TmvFieldsDescriptor& f = *dd.Fields;
  Table() {
    f.AddField(u"I", u"", mvtInt32, 0, 0, false)->AddDefaultValue(&TmvEmptyDefaultValueDescriptor::StaticClass);
    auto* c = static_cast<TmvConstDefaultValueDescriptor*>(
        f.AddField(u"S", u"", mvtShortString, 8, 0, false)->AddDefaultValue());
    c->SetAsVariant(Variant(u"dflt"));
    c->SetOverwriteNonNull(true);
    auto* stamp = f.AddField(u"D", u"", mvtDateTime, 0, 0, false)
                      ->AddDefaultValue(&TmvCurrentDateTimeDefaultValueDescriptor::StaticClass);
    stamp->SetApplyOnInsert(false);
    stamp->SetApplyOnModify(true);
    stamp->SetOverwriteNonNull(true);
    f.AddField(u"U", u"", mvtShortString, 10, 0, false)
        ->AddDefaultValue(&TmvCurrentUserDefaultValueDescriptor::StaticClass);
    f.AddField(u"G", u"", mvtGuid, 0, 0, false)->AddDefaultValue(&TmvAutoGuidDefaultValueDescriptor::StaticClass);
    f.AddField(u"L", u"", mvtInt64, 0, 0, false)->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass);
    auto* server = static_cast<TmvConstDefaultValueDescriptor*>(
        f.AddField(u"C", u"", mvtInt32, 0, 0, false)->AddDefaultValue());
    server->SetAsVariant(Variant(int32_t(42)));
    server->SetApplyAt(mvSetOf({aaServer}));
    f.AddField(u"X", u"", mvtInt32, 0, 0, false)
        ->AddDefaultValue(&TTestFailingDefaultValueDescriptor::StaticClass)
        ->SetOverwriteNonNull(true);
    f.AddField(u"N", u"", mvtInt32, 0, 0, false);
  }
  Variant Get(const std::vector<uint8_t>& r, int32_t aField) { return f.fsdGetFieldByIndexAsVariant(r.data(), aField); }
  bool IsNull(const std::vector<uint8_t>& r, int32_t aField) { return f.IsRecordFieldNull(aField, r.data()); }
  const uint8_t* FieldBytes(const std::vector<uint8_t>& r, int32_t aField) {
    return r.data() + f.FieldDescriptor(aField)->Offset();
  }
};

TEST_F(DefaultValueEngines, EngineFoundByDescriptorClassName) {
  Table t;
  const struct {
    int32_t field;
    const ClassRef* engine;
  } cases[] = {
      {fEmpty, &TmvEmptyDefaultValueEngine::StaticClass},
      {fConst, &TmvConstDefaultValueEngine::StaticClass},
      {fStamp, &TmvCurrentDateTimeDefaultValueEngine::StaticClass},
      {fUser, &TmvCurrentUserDefaultValueEngine::StaticClass},
      {fGuid, &TmvAutoGuidDefaultValueEngine::StaticClass},
  };
  for (const auto& c : cases) {
    TmvBaseDefaultValueDescriptor* descriptor = t.f.FieldDescriptor(c.field)->GetDefaultValue();
    std::unique_ptr<TmvBaseDefaultValueEngine> engine(TmvBaseDefaultValueEngine::CreateFor(descriptor, &cursor));
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(&engine->ClassType(), c.engine);
    EXPECT_EQ(descriptor->bdvCachedEngineClass, c.engine);  // found once, then kept
    EXPECT_EQ(engine->GetFieldDescriptor(), t.f.FieldDescriptor(c.field));
  }

  // The next-LSN engine exists but is never made for a handler.
  TmvBaseDefaultValueDescriptor* lsn = t.f.FieldDescriptor(fLSN)->GetDefaultValue();
  EXPECT_EQ(TmvBaseDefaultValueEngine::CreateFor(lsn, &cursor), nullptr);
  EXPECT_EQ(lsn->bdvCachedEngineClass, &TmvNextLSNDefaultValueEngine::StaticClass);

  TmvFieldDescriptor* orphan = t.f.AddField(u"O", u"", mvtInt32, 0, 0, false);
  orphan->AddDefaultValue(&TTestOrphanDefaultValueDescriptor::StaticClass);
  String message;
  EXPECT_EQ(RaisedCode([&] { TmvBaseDefaultValueEngine::CreateFor(orphan->GetDefaultValue(), &cursor); }, &message),
            15503u);
  EXPECT_EQ(message, u"Unknown DefaultValue engine: \"TTestOrphanDefaultValueEngine\"");
  EXPECT_EQ(RaisedCode([&] { TmvDefaultValueHandler::CreateFor(&t.f, aaServer, &cursor); }), 15503u);
}

// Only the engines of one side join; a table whose only default is a next
// LSN, or that has none, gets no handler.
TEST_F(DefaultValueEngines, HandlerTakesTheEnginesOfItsSide) {
  Table t;
  std::unique_ptr<TmvDefaultValueHandler> server(TmvDefaultValueHandler::CreateFor(&t.f, aaServer, &cursor));
  std::unique_ptr<TmvDefaultValueHandler> client(TmvDefaultValueHandler::CreateFor(&t.f, aaClient, &cursor));
  ASSERT_NE(server, nullptr);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(server->EngineCount(), 7);
  EXPECT_EQ(client->EngineCount(), 6);
  Record r = NewRecord(t.f);
  client->SetDefaultValuesInsert(r.data());
  EXPECT_TRUE(t.IsNull(r, fServerOnly));
  server->SetDefaultValuesInsert(r.data());
  EXPECT_EQ(t.Get(r, fServerOnly).AsInteger(), 42);

  TTestDictionary lsnOnly;
  lsnOnly.Fields->AddField(u"L", u"", mvtInt64, 0, 0, false)
      ->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass);
  lsnOnly.Fields->AddField(u"N", u"", mvtInt32, 0, 0, false);
  EXPECT_EQ(TmvDefaultValueHandler::CreateFor(lsnOnly.Fields, aaServer, &cursor), nullptr);
  TTestDictionary none;
  none.Fields->AddField(u"N", u"", mvtInt32, 0, 0, false);
  EXPECT_EQ(TmvDefaultValueHandler::CreateFor(none.Fields, aaServer, &cursor), nullptr);
}

TEST_F(DefaultValueEngines, InsertFillsNullFieldsAndOverwrites) {
  Table t;
  std::unique_ptr<TmvDefaultValueHandler> h(TmvDefaultValueHandler::CreateFor(&t.f, aaServer, &cursor));
  Record r = NewRecord(t.f);
  h->SetDefaultValuesInsert(r.data());
  EXPECT_FALSE(t.IsNull(r, fEmpty));  // four zero bytes, not null
  EXPECT_EQ(LoadLE<int32_t>(t.FieldBytes(r, fEmpty)), 0);
  EXPECT_EQ(t.Get(r, fConst).AsString(), u"dflt");
  EXPECT_TRUE(t.IsNull(r, fStamp));  // applies on modify only
  EXPECT_EQ(t.Get(r, fUser).AsString(), u"alice");
  EXPECT_FALSE(t.IsNull(r, fGuid));
  EXPECT_NE(t.Get(r, fGuid).AsString(), GUIDToString(GUID_NULL));
  EXPECT_TRUE(t.IsNull(r, fLSN));  // the server fills it itself
  EXPECT_EQ(cursor.LSNCalls, 0);
  EXPECT_TRUE(t.IsNull(r, fPlain));
  // An engine that answers false leaves its field null, and a null field's
  // bytes are zero whatever the engine wrote.
  EXPECT_TRUE(t.IsNull(r, fFailing));
  EXPECT_EQ(LoadLE<int32_t>(t.FieldBytes(r, fFailing)), 0);

  // Fields that hold values: the non-overwriting defaults leave them alone,
  // the overwriting ones replace them (an overwriting engine answering false
  // makes its field null).
  Record set = NewRecord(t.f);
  for (int32_t i : {fEmpty, fUser, fServerOnly, fFailing}) t.f.fsdSetFieldByIndexAsVariant(set.data(), i, Variant(7));
  t.f.fsdSetFieldByIndexAsVariant(set.data(), fConst, Variant(u"mine"));
  h->SetDefaultValuesInsert(set.data());
  EXPECT_EQ(t.Get(set, fEmpty).AsInteger(), 7);
  EXPECT_EQ(t.Get(set, fUser).AsString(), u"7");
  EXPECT_EQ(t.Get(set, fServerOnly).AsInteger(), 7);
  EXPECT_EQ(t.Get(set, fConst).AsString(), u"dflt");
  EXPECT_TRUE(t.IsNull(set, fFailing));
  EXPECT_EQ(LoadLE<int32_t>(t.FieldBytes(set, fFailing)), 0);
}

TEST_F(DefaultValueEngines, ModifyAndSingleFields) {
  Table t;
  std::unique_ptr<TmvDefaultValueHandler> h(TmvDefaultValueHandler::CreateFor(&t.f, aaServer, &cursor));
  Record r = NewRecord(t.f);
  h->SetDefaultValuesModify(r.data());
  for (int32_t i = 0; i < fCount; ++i) EXPECT_EQ(t.IsNull(r, i), i != fStamp) << i;
  const double first = LoadLE<double>(t.FieldBytes(r, fStamp));
  EXPECT_GT(first, 0);

  // One field whatever it holds, also one whose default is for neither pass.
  Record one = NewRecord(t.f);
  t.f.fsdSetFieldByIndexAsVariant(one.data(), fEmpty, Variant(9));
  EXPECT_TRUE(h->SetDefaultValue(one.data(), fEmpty));
  EXPECT_FALSE(t.IsNull(one, fEmpty));
  EXPECT_EQ(t.Get(one, fEmpty).AsInteger(), 0);
  EXPECT_FALSE(h->SetDefaultValue(one.data(), fPlain));
  EXPECT_FALSE(h->SetDefaultValue(one.data(), fLSN));
  EXPECT_FALSE(h->SetDefaultValue(one.data(), fFailing));
  EXPECT_TRUE(t.IsNull(one, fPlain) && t.IsNull(one, fLSN) && t.IsNull(one, fFailing));
  String message;
  EXPECT_EQ(RaisedCode([&] { h->SetDefaultValue(one.data(), fCount); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: 9");
  EXPECT_EQ(RaisedCode([&] { h->SetDefaultValue(one.data(), -1); }), 9999u);
}

// Date: the day number; Time: milliseconds of the day; DateTime: both as
// day number x 86,400,000 + milliseconds; all between two readings of the
// clock.
TEST_F(DefaultValueEngines, CurrentDateAndTime) {
  TTestDictionary dd;
  for (TmvFieldType type : {mvtDate, mvtTime, mvtDateTime})
    dd.Fields->AddField(u"F" + mvIntToStr(type), u"", type, 0, 0, false)
        ->AddDefaultValue(&TmvCurrentDateTimeDefaultValueDescriptor::StaticClass);
  std::unique_ptr<TmvDefaultValueHandler> h(TmvDefaultValueHandler::CreateFor(dd.Fields, aaClient, nullptr));
  Record r = NewRecord(*dd.Fields);
  const TTimeStamp before = DateTimeToTimeStamp(Now());
  h->SetDefaultValuesInsert(r.data());
  const TTimeStamp after = DateTimeToTimeStamp(Now());
  auto at = [&](int32_t i) { return r.data() + dd.Fields->FieldDescriptor(i)->Offset(); };
  auto ms = [](const TTimeStamp& ts) { return double(ts.Date) * MSecsPerDay + ts.Time; };
  const int32_t day = LoadLE<int32_t>(at(0));
  EXPECT_TRUE(day >= before.Date && day <= after.Date) << day;
  const double stamp = LoadLE<double>(at(2));
  EXPECT_TRUE(stamp >= ms(before) && stamp <= ms(after)) << stamp;
  const int32_t time = LoadLE<int32_t>(at(1));
  if (before.Date == after.Date) {
    EXPECT_TRUE(time >= before.Time && time <= after.Time) << time;
  }
  EXPECT_EQ(dd.Fields->fsdGetFieldByIndexAsVariant(r.data(), 0).AsDateTime(), double(day - DateDelta));
}

TEST_F(DefaultValueEngines, UserNameAndNextLSN) {
  TTestDictionary dd;
  TmvFieldDescriptor* wide = dd.Fields->AddField(u"W", u"", mvtWideString, 20, 0, false);
  wide->AddDefaultValue(&TmvCurrentUserDefaultValueDescriptor::StaticClass);
  cursor.UserName = u"\u7530\u4E2D";
  std::unique_ptr<TmvBaseDefaultValueEngine> user(
      TmvBaseDefaultValueEngine::CreateFor(wide->GetDefaultValue(), &cursor));
  cursor.UserName = u"later";  // taken once, when the engine is made
  std::vector<uint8_t> bytes(size_t(wide->Length()), 0xFF);
  EXPECT_TRUE(user->SetDefaultValue(bytes.data()));
  EXPECT_EQ(LoadLE16(&bytes[0]), 0x7530);
  EXPECT_EQ(LoadLE16(&bytes[2]), 0x4E2D);
  EXPECT_EQ(LoadLE16(&bytes[4]), 0);
  // A name the field cannot take fails when the engine is made.
  TmvFieldDescriptor* narrow = dd.Fields->AddField(u"S", u"", mvtShortString, 3, 0, false);
  narrow->AddDefaultValue(&TmvCurrentUserDefaultValueDescriptor::StaticClass);
  EXPECT_THROW(TmvBaseDefaultValueEngine::CreateFor(narrow->GetDefaultValue(), &cursor), Exception);

  // The next-LSN engine, made directly: the cursor's LSN and its answer.
  TmvFieldDescriptor* lsnField = dd.Fields->AddField(u"L", u"", mvtInt64, 0, 0, false);
  TmvBaseDefaultValueDescriptor* lsn = lsnField->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass);
  std::unique_ptr<TmvBaseDefaultValueEngine> next(
      TmvNextLSNDefaultValueEngine::StaticClass.Construct(lsn, &cursor));
  uint8_t value[8] = {};
  EXPECT_TRUE(next->SetDefaultValue(value));
  EXPECT_EQ(LoadLE<int64_t>(value), 0x0102030405060708);
  cursor.GivesLSN = false;
  EXPECT_FALSE(next->SetDefaultValue(value));
  EXPECT_EQ(cursor.LSNCalls, 2);
}

// An engine for a field whose type its descriptor refuses is not made: no
// engine writes a value of one size into a field of another.
TEST_F(DefaultValueEngines, RefusedFieldTypeGetsNoEngine) {
  TTestDictionary dd;
  TmvFieldDescriptor* date = dd.Fields->AddField(u"D", u"", mvtDate, 0, 0, false);
  date->AddDefaultValue(&TmvEmptyDefaultValueDescriptor::StaticClass);
  String message;
  EXPECT_EQ(RaisedCode([&] { TmvDefaultValueHandler::CreateFor(dd.Fields, aaServer, &cursor); }, &message), 10001u);
  EXPECT_EQ(message, u"\"TmvEmptyDefaultValueDescriptor\" is not supported for field type \"mvtDate\"");
}

// A cached, read-only tree: making engines changes no descriptor (a constant
// whose field changed is converted for the engine only).
TEST_F(DefaultValueEngines, HandlerOnACachedReadOnlyTree) {
  TTestDictionary dd;
  auto* field = static_cast<TReshapableField*>(
      dd.Fields->AddField(u"F", u"", mvtInt16, 0, 0, false, &TReshapableField::StaticClass));
  auto* c = static_cast<TmvConstDefaultValueDescriptor*>(field->AddDefaultValue());
  c->SetAsVariant(Variant(int32_t(-2)));
  field->Reshape(mvtInt64, 0);
  dd.Fields->UpdateSetupAndOffsets();
  dd.Fields->ActivateCache();
  dd.ReadOnly = true;
  std::unique_ptr<TmvDefaultValueHandler> h(TmvDefaultValueHandler::CreateFor(dd.Fields, aaServer, &cursor));
  Record r = NewRecord(*dd.Fields);
  h->SetDefaultValuesInsert(r.data());
  EXPECT_EQ(dd.Fields->fsdGetFieldByIndexAsVariant(r.data(), 0).AsInt64(), -2);
  EXPECT_EQ(c->GetValueLength(), 2);
  dd.ReadOnly = false;
  dd.Fields->DeactivateCache();
}

}  // namespace
