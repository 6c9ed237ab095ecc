// Tests of the record and field mapper descriptors: the field mapper's
// stream form, mappings kept by target name and their refusals, renaming a
// mapping, and mapping two field lists by name and by position.
#include "dictionary/mappers/mvsdRecordMapperDescriptor.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdStreamBytes.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class RecordMapper : public DictionaryTest {};

std::vector<std::string> Lines(const TmvRecordMapperDescriptor& aRecord) {
  std::vector<std::string> lines;
  for (int32_t i = 0; i < aRecord.GetFieldMapperCount(); ++i) {
    TmvFieldMapperDescriptor* m = aRecord.rmdGetMapper(i);
    lines.push_back(Utf8(m->GetSourceName()) + " -> " + Utf8(m->GetTargetName()));
  }
  return lines;
}

bool RaisesListError(const std::function<void()>& f) {
  try {
    f();
  } catch (const EStringListError&) {
    return true;
  }
  return false;
}

TEST_F(RecordMapper, FieldMapperStreamForm) {
  for (TmvDataLossAction action : {dlaFail, dlaNull, dlaBestFit}) {
    TmvFieldMapperDescriptor mapper(u"Src", u"Dst", action);
    EXPECT_FALSE(mapper.GetApplyDefault());
    mapper.SetApplyDefault(true);
    const std::vector<uint8_t> bytes = Written([&](TmvWriter& w) { mapper.WriteToWriter(w, mvEngineVersion); });
    const std::string name = Utf8(String(mvDataLossActionNames[action]));
    EXPECT_EQ(bytes,
              Bytes().ident("TmvFieldMapperDescriptor").str("Src").str("Dst").str(name).integer(1).boolean(true).b);
    std::unique_ptr<TmvFieldMapperDescriptor> back;
    ReadAll(bytes, [&](TmvReader& r) { back.reset(TmvFieldMapperDescriptor::CreateFromReader(r)); });
    EXPECT_EQ(back->GetSourceName(), u"Src");
    EXPECT_EQ(back->GetTargetName(), u"Dst");
    EXPECT_EQ(back->GetDataLossAction(), action);
    EXPECT_TRUE(back->GetApplyDefault());
  }
}

TEST_F(RecordMapper, NewRecordMapperStreamForm) {
  TmvRecordMapperDescriptor record;
  EXPECT_TRUE(record.GetApplyDefaultForUnmapped());
  EXPECT_EQ(Written([&](TmvWriter& w) { record.WriteToWriter(w, mvEngineVersion); }),
            Bytes().ident("TmvRecordMapperDescriptor").integer(1).raw({0x01, 0x00}).boolean(true).b);
}

TEST_F(RecordMapper, MappingsAreKeptByTargetName) {
  TmvRecordMapperDescriptor record;
  record.AddMapping(u"b", u"Beta", dlaFail);
  record.AddMapping(u"d", u"Delta", dlaFail);
  EXPECT_TRUE(RaisesListError([&] { record.AddMapping(u"x", u"BETA", dlaNull); }));
  EXPECT_EQ(Lines(record), (std::vector<std::string>{"b -> Beta", "d -> Delta"}));
  EXPECT_EQ(record.FieldMapperIndexOf(u"delta"), 1);
  EXPECT_EQ(record.FieldMapperIndexOf(u"Gamma"), -1);

  record.UpdateSourceName(u"DELTA", u"dd");
  // Re-filed in order under the new name, before and after its old place.
  record.UpdateTargetName(u"delta", u"Alpha");
  EXPECT_EQ(Lines(record), (std::vector<std::string>{"dd -> Alpha", "b -> Beta"}));
  record.UpdateTargetName(u"Alpha", u"Omega");
  EXPECT_EQ(Lines(record), (std::vector<std::string>{"b -> Beta", "dd -> Omega"}));
  // A change of letter case keeps the place; a name mapped already is
  // refused and changes nothing.
  record.UpdateTargetName(u"omega", u"OMEGA");
  EXPECT_TRUE(RaisesListError([&] { record.UpdateTargetName(u"Omega", u"beta"); }));
  EXPECT_EQ(Lines(record), (std::vector<std::string>{"b -> Beta", "dd -> OMEGA"}));

  for (const auto& call : std::vector<std::function<void()>>{[&] { record.DeleteMapping(u"Gamma"); },
                                                             [&] { record.UpdateSourceName(u"Gamma", u"g"); },
                                                             [&] { record.UpdateTargetName(u"Gamma", u"g"); }})
    EXPECT_TRUE(RaisesListError(call));
  record.DeleteMapping(u"beta");
  EXPECT_EQ(Lines(record), std::vector<std::string>{"dd -> OMEGA"});
}

// Names meet ignoring letter case, each side keeping its own; by position
// the shorter list decides.
TEST_F(RecordMapper, MapAllFieldsByNameAndByPosition) {
  TTestTable oldTable;
  TTestTable newTable;
  for (const char16_t* name : {u"ID", u"Name", u"Price", u"Gone"}) oldTable.Field(name, mvtInt32);
  for (const char16_t* name : {u"NAME", u"id", u"Cost"}) newTable.Field(name, mvtInt32);

  TmvRecordMapperDescriptor byName;
  byName.MapAllFieldsByName(oldTable.dd.Fields, newTable.dd.Fields, dlaBestFit);
  EXPECT_EQ(Lines(byName), (std::vector<std::string>{"ID -> id", "Name -> NAME"}));
  EXPECT_EQ(byName.rmdGetMapper(0)->GetDataLossAction(), dlaBestFit);

  TmvRecordMapperDescriptor byPosition;
  byPosition.MapAllFieldsByPosition(oldTable.dd.Fields, newTable.dd.Fields, dlaNull);
  EXPECT_EQ(Lines(byPosition), (std::vector<std::string>{"Price -> Cost", "Name -> id", "ID -> NAME"}));
}

}  // namespace
