// Tests of the record mapper engine: which target fields get an engine
// (mappings, defaults of unmapped fields, the AutoInc engine), the engine
// looked up by the descriptor's class name, the error text with the source
// table and the identifying key, the key step's failure in the log, and the
// BLOBs of a failing record deleted.
#include "convert/mvsrRecordMapperEngine.h"

#include <gtest/gtest.h>

#include "convert/mvsdConvertLog.h"
#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mappers/mvsdRecordMapperDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "index/mvsdKeyEngineComp.h"
#include "mvcvTestCursor.h"
#include "mvcvTestSupport.h"
#include "support/mvTestLog.h"

using namespace mvtest;

namespace {

// A record mapper descriptor class whose engine nobody registered.
class TmvOddRecordMapperDescriptor : public TmvRecordMapperDescriptor {
  MV_DECLARE_CLASSREF(TmvRegisterableDescriptorClassRef)
};
constinit const TmvRegisterableDescriptorClassRef TmvOddRecordMapperDescriptor::StaticClass{
    {u"TmvOddRecordMapperDescriptor", &TmvRecordMapperDescriptor::StaticClass},
    &TmvBaseRecordMapperDescriptor::Registry,
    &mvCreateMapperDescriptor<TmvOddRecordMapperDescriptor>};

class RecordMapperEngine : public ConvertTest {
 protected:
  void SetUp() override {
    TTestCursor::Install();
    EmvBaseException::SetLastConvertedException(0, String());
  }
  void TearDown() override { TTestCursor::Uninstall(); }

  std::unique_ptr<TmvBaseRecordMapperEngine> Engine(TmvBaseRecordMapperDescriptor& aDescriptor) {
    return std::unique_ptr<TmvBaseRecordMapperEngine>(
        TmvBaseRecordMapperEngine::CreateFor(&aDescriptor, fSource.AsCursor(), fTarget.AsCursor()));
  }

  // Old fields Name, AGE, City; new fields age, City, Zip (default 00000).
  void PeopleTables() {
    fSource.Add(u"Name", mvtShortString, 20);
    fSource.Add(u"AGE", mvtInt16);
    fSource.Add(u"City", mvtNullString, 20);
    fTarget.Add(u"age", mvtInt32);
    fTarget.Add(u"City", mvtNullString, 20);
    TmvFieldDescriptor* zip = fTarget.Add(u"Zip", mvtNullString, 10);
    static_cast<TmvConstDefaultValueDescriptor*>(zip->AddDefaultValue())->SetAsVariant(Variant(String(u"00000")));
  }
  std::vector<uint8_t> Person(const char* aName, int16_t aAge, const char* aCity) {
    auto record = fSource.NewRecord();
    fSource.Fields().SetRecordField(0, record.data(), ShortStr(20, aName).data());
    fSource.Fields().SetRecordField(1, record.data(), &aAge);
    fSource.Fields().SetRecordField(2, record.data(), NullStr(20, aCity).data());
    return record;
  }
  static String Text(TTestCursor& aCursor, int32_t aField, const std::vector<uint8_t>& aRecord) {
    return VarToStr(aCursor.Fields().fsdGetFieldByIndexAsVariant(aRecord.data(), aField));
  }

  TTestCursor fSource, fTarget;
};

TEST_F(RecordMapperEngine, MappedFieldsAndDefaultsOfUnmappedOnes) {
  PeopleTables();
  for (bool applyDefault : {true, false}) {
    SCOPED_TRACE(applyDefault ? "defaults for unmapped fields" : "no defaults");
    TmvRecordMapperDescriptor d;
    d.MapAllFieldsByName(&fSource.Fields(), &fTarget.Fields(), dlaFail);
    d.SetApplyDefaultForUnmapped(applyDefault);
    ASSERT_EQ(d.GetFieldMapperCount(), 2);
    auto engine = Engine(d);
    engine->BeforeFirstRecord();
    const auto source = Person("Smith", 42, "Leeds");
    auto target = fTarget.NewRecord();
    EXPECT_EQ(engine->MapRecord(source.data(), target.data()), 0u);
    EXPECT_EQ(Text(fTarget, 0, target), u"42");
    EXPECT_EQ(Text(fTarget, 1, target), u"Leeds");
    if (applyDefault)
      EXPECT_EQ(Text(fTarget, 2, target), u"00000");
    else
      EXPECT_TRUE(fTarget.Fields().IsRecordFieldNull(2, target.data()));
    engine->BeforeCommit();
  }
}

TEST_F(RecordMapperEngine, AnUnmappedAutoIncAlwaysGetsItsEngine) {
  fSource.Add(u"Name", mvtShortString, 20);
  fTarget.Add(u"Name", mvtShortString, 20);
  fTarget.Add(u"Id", mvtAutoInc);
  fSource.AutoInc = 7;
  for (bool applyDefault : {true, false}) {
    SCOPED_TRACE(applyDefault ? "defaults for unmapped fields" : "no defaults");
    fTarget.AutoIncSets.clear();
    TmvRecordMapperDescriptor d;
    d.MapAllFieldsByName(&fSource.Fields(), &fTarget.Fields(), dlaFail);
    d.SetApplyDefaultForUnmapped(applyDefault);
    auto engine = Engine(d);
    engine->BeforeFirstRecord();
    std::vector<uint32_t> ids;
    for (int i = 0; i < 3; ++i) {
      auto source = fSource.NewRecord(), target = fTarget.NewRecord();
      fSource.Fields().SetRecordField(0, source.data(), ShortStr(20, "x").data());
      ASSERT_EQ(engine->MapRecord(source.data(), target.data()), 0u);
      if (!fTarget.Fields().IsRecordFieldNull(1, target.data())) ids.push_back(LoadLE<uint32_t>(target.data() + fTarget.Fields().FieldDescriptor(1)->Offset()));
    }
    engine->BeforeCommit();
    // The counter starts at 0 without a source field: each null AutoInc
    // then gets the next value.
    if (applyDefault)
      EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 3}));
    else
      EXPECT_TRUE(ids.empty());
    EXPECT_FALSE(fTarget.AutoIncSets.empty());
    EXPECT_EQ(fTarget.AutoInc, applyDefault ? 3u : 0u);
  }
}

TEST_F(RecordMapperEngine, EngineByDescriptorClassName) {
  PeopleTables();
  TmvOddRecordMapperDescriptor odd;
  try {
    Engine(odd);
    ADD_FAILURE() << "no exception";
  } catch (const EmvBaseRecordMapperEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), 15503u);
    EXPECT_EQ(e.ProcessedErrorString(), u"Unknown RecordMapper engine: \"TmvOddRecordMapperEngine\"");
  }
  // Errors of building a field engine pass out.
  TmvRecordMapperDescriptor d;
  d.AddMapping(u"Missing", u"age", dlaFail);
  try {
    Engine(d);
    ADD_FAILURE() << "no exception";
  } catch (const EmvBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 10038u);
  }
}

class RecordMapperErrors : public RecordMapperEngine {
 protected:
  // Source Name (ShortString), Count (Int32); target Count (Int16).
  void Tables() {
    fSource.FullName = u"Shop:Stock";
    fSource.Fields().AddField(u"Name", u"", mvtShortString, 20, 0, true);
    fSource.Add(u"Count", mvtInt32);
    fTarget.Add(u"Count", mvtInt16);
  }
  TmvCompKeyDescriptor* AddIndex(const char16_t* aName, TmvIndexDups aDups, int32_t aField) {
    TmvIndexDescriptor* index = fSource.Dictionary.GetIndicesDescriptor()->AddIndex(aName, 0, aDups, u"");
    auto* key = static_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor());
    key->Add(aField);
    return key;
  }
  // One record whose Count does not fit: its answer and text.
  String Fail() {
    TmvRecordMapperDescriptor d;
    d.MapAllFieldsByName(&fSource.Fields(), &fTarget.Fields(), dlaFail);
    auto engine = Engine(d);
    auto source = fSource.NewRecord(), target = fTarget.NewRecord();
    fSource.Fields().SetRecordField(0, source.data(), ShortStr(20, "O'Hara").data());
    const int32_t count = 100000;
    fSource.Fields().SetRecordField(1, source.data(), &count);
    EXPECT_EQ(engine->MapRecord(source.data(), target.data()), 10002u);
    return EmvBaseException(10002).ProcessedErrorString();
  }

  static constexpr char16_t kHead[] =
      u"Invalid field transformation.\r\n\r\nSource Field: [1] Count - Int32\r\nTarget Field: [0] Count - Int16\r\n"
      u"Source Value: 100000\r\n\r\nSource Table: Shop:Stock";
};

TEST_F(RecordMapperErrors, TheWholeTextWithTheIdentifyingKey) {
  Tables();
  // Indexes that cannot identify the record come first: duplicates
  // allowed, a key field filtering nulls, nulls allowed on a field that may
  // be null.
  AddIndex(u"AnyCount", idAll, 1);
  AddIndex(u"Filtered", idNone, 1)->KeyFields(0)->SetNullBehaviour(nbFilterNull);
  AddIndex(u"ByCount", idNull, 1);
  AddIndex(u"ByName", idNull, 0);
  EXPECT_EQ(Fail(), String(kHead) + u"\r\nSource Key (Index: ByName): 'O''Hara'");
}

TEST_F(RecordMapperErrors, NoKeyLineWhenEveryIndexAllowsDuplicates) {
  Tables();
  AddIndex(u"AnyName", idAll, 0);
  AddIndex(u"AnyCount", idAll, 1);
  EXPECT_EQ(Fail(), String(kHead));
}

TEST_F(RecordMapperErrors, AKeyThatCannotBeBuiltIsLogged) {
  Tables();
  AddIndex(u"ByName", idNone, 0);
  TmvInstalledTestLog<mvSetConvertLog> log;
  // Without its key engine the key cannot be built: the text keeps its
  // other lines and the log says why.
  TmvBaseRegisterableEngine::UnregisterEngine(TmvCompKeyEngine::StaticClass);
  const String text = Fail();
  TmvBaseRegisterableEngine::RegisterEngine(TmvCompKeyEngine::StaticClass);
  EXPECT_EQ(text, String(kHead));
  ASSERT_EQ(log.Messages().size(), 1u);
  EXPECT_NE(log.Messages()[0].find(u"TmvCompKeyEngine"), String::npos);
}

TEST_F(RecordMapperErrors, AFailingRecordLeavesNoBlobBehind) {
  fSource.Add(u"Memo", mvtNullString, 20);
  fSource.Add(u"Count", mvtInt32);
  fTarget.Add(u"Count", mvtInt16);
  fTarget.Add(u"Attachment", mvtBlob);
  TmvRecordMapperDescriptor d;
  d.AddMapping(u"Memo", u"Attachment", dlaFail);  // runs first: by target name
  d.AddMapping(u"Count", u"Count", dlaFail);
  auto engine = Engine(d);
  auto source = fSource.NewRecord(), target = fTarget.NewRecord();
  fSource.Fields().SetRecordField(0, source.data(), NullStr(20, "kept?").data());
  for (int32_t count : {5, 100000}) {
    fSource.Fields().SetRecordField(1, source.data(), &count);
    target = fTarget.NewRecord();
    const uint32_t result = engine->MapRecord(source.data(), target.data());
    EXPECT_EQ(result, count == 5 ? 0u : 10002u);
  }
  // The first record's BLOB stays; the failing one's is gone.
  EXPECT_EQ(fTarget.Blobs.size(), 1u);
  EXPECT_EQ(fTarget.BlobDeletes, 1);
  EXPECT_TRUE(fTarget.Fields().IsRecordFieldNull(1, target.data()));
}

}  // namespace
