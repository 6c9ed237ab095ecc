// Tests of the table mapper descriptors: a new mapper's stream, nested
// mappers by name, copies of a whole tree, unknown classes and versions,
// loading into a used mapper, the mapping of two table layouts by name, and
// damaged streams.
#include "dictionary/mappers/mvsdTableMapperDescriptor.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdStreamBytes.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class TableMapper : public DictionaryTest {};

std::vector<uint8_t> StreamOf(TmvBaseTableMapperDescriptor& aMapper) {
  return Written([&](TmvWriter& w) { aMapper.WriteToWriter(w, mvEngineVersion); });
}

std::unique_ptr<TmvBaseTableMapperDescriptor> FromStream(const std::vector<uint8_t>& aBytes) {
  std::unique_ptr<TmvBaseTableMapperDescriptor> made;
  ReadAll(aBytes, [&](TmvReader& r) { made.reset(TmvBaseTableMapperDescriptor::CreateFromReader(r)); });
  return made;
}

// A top mapper with a record mapper of two mappings and two nested
// mappers, the second of the root class with a record mapper and a map-to
// name of its own.
std::unique_ptr<TmvTableMapperDescriptor> SampleTree() {
  auto top = std::make_unique<TmvTableMapperDescriptor>();
  auto* record = static_cast<TmvRecordMapperDescriptor*>(top->AddRecordMapper(TmvRecordMapperDescriptor::StaticClass));
  record->AddMapping(u"ID", u"Ident", dlaFail);
  record->AddMapping(u"", u"Created", dlaBestFit)->SetApplyDefault(true);
  record->SetApplyDefaultForUnmapped(false);
  top->AddTable(u"Detail", &TmvTableMapperDescriptor::StaticClass);
  TmvBaseTableMapperDescriptor* log = top->AddTable(u"Log");
  log->SetMapTo(u"History");
  log->AddRecordMapper(TmvRecordMapperDescriptor::StaticClass);
  return top;
}

TEST_F(TableMapper, NewMapperStreamsItsClassAndDefaults) {
  TmvBaseTableMapperDescriptor base;
  EXPECT_EQ(base.GetName(), u".");
  EXPECT_EQ(base.GetMapTo(), u".");
  EXPECT_EQ(base.GetRecordMapper(), nullptr);
  EXPECT_EQ(base.GetTableCount(), 0);
  EXPECT_EQ(base.GetParent(), nullptr);
  const auto frame = [](const std::string& aClass) {
    return Bytes().ident(aClass).integer(1).str(".").str(".").boolean(false).integer(0);
  };
  EXPECT_EQ(StreamOf(base), frame("TmvBaseTableMapperDescriptor").b);
  TmvTableMapperDescriptor concrete;
  EXPECT_EQ(StreamOf(concrete), frame("TmvTableMapperDescriptor").integer(1).b);
  EXPECT_EQ(&FromStream(StreamOf(concrete))->ClassType(), &TmvTableMapperDescriptor::StaticClass);
}

TEST_F(TableMapper, NestedMappersByName) {
  TmvTableMapperDescriptor top;
  TmvBaseTableMapperDescriptor* detail = top.AddTable(u"Detail");
  EXPECT_EQ(&detail->ClassType(), &TmvBaseTableMapperDescriptor::StaticClass);
  EXPECT_EQ(detail->GetParent(), &top);
  EXPECT_EQ(detail->GetName(), u"Detail");
  EXPECT_EQ(detail->GetMapTo(), u".");
  String message;
  EXPECT_EQ(RaisedCode([&] { top.AddTable(u"DETAIL"); }, &message), 10009u);
  EXPECT_NE(Utf8(message).find("Duplicated table name: DETAIL"), std::string::npos) << Utf8(message);
  EXPECT_EQ(top.GetTableCount(), 1);
  EXPECT_EQ(top.GetTableDescriptorFromName(u"detail"), detail);
  EXPECT_EQ(RaisedCode([&] { top.GetTableDescriptorFromName(u"Master"); }), 10024u);
  // A class outside the family is refused before anything is made.
  EXPECT_EQ(RaisedCode([&] { top.AddTable(u"Other", &TmvRecordMapperDescriptor::StaticClass); }), 15499u);
  EXPECT_EQ(RaisedCode([&] { top.AddRecordMapper(TmvTableMapperDescriptor::StaticClass); }), 15499u);
  top.RemoveTable(5);
  top.RemoveTable(u"Master");
  EXPECT_EQ(top.GetTableCount(), 1);
  top.RemoveTable(u"DETAIL");
  EXPECT_EQ(top.GetTableCount(), 0);
}

TEST_F(TableMapper, DuplicateCopiesTheWholeTree) {
  auto top = SampleTree();
  std::unique_ptr<TmvBaseTableMapperDescriptor> copy(top->Duplicate());
  EXPECT_EQ(&copy->ClassType(), &TmvTableMapperDescriptor::StaticClass);
  EXPECT_EQ(StreamOf(*copy), StreamOf(*top));
  ASSERT_EQ(copy->GetTableCount(), 2);
  for (int32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(copy->GetTableDescriptor(i)->GetParent(), copy.get());
    EXPECT_NE(copy->GetTableDescriptor(i), top->GetTableDescriptor(i));
    EXPECT_EQ(&copy->GetTableDescriptor(i)->ClassType(), &top->GetTableDescriptor(i)->ClassType());
  }
  EXPECT_EQ(copy->GetTableDescriptor(1)->GetMapTo(), u"History");
  auto* record = static_cast<TmvRecordMapperDescriptor*>(copy->GetRecordMapper());
  ASSERT_EQ(&record->ClassType(), &TmvRecordMapperDescriptor::StaticClass);
  EXPECT_FALSE(record->GetApplyDefaultForUnmapped());
  ASSERT_EQ(record->GetFieldMapperCount(), 2);
  TmvFieldMapperDescriptor* created = record->rmdGetMapper(record->FieldMapperIndexOf(u"created"));
  EXPECT_EQ(created->GetSourceName(), u"");
  EXPECT_EQ(created->GetTargetName(), u"Created");
  EXPECT_EQ(created->GetDataLossAction(), dlaBestFit);
  EXPECT_TRUE(created->GetApplyDefault());
  // The record mapper copies itself the same way.
  std::unique_ptr<TmvBaseRecordMapperDescriptor> records(record->Duplicate());
  EXPECT_EQ(Written([&](TmvWriter& w) { records->WriteToWriter(w, mvEngineVersion); }),
            Written([&](TmvWriter& w) { record->WriteToWriter(w, mvEngineVersion); }));
}

// The stream's tree takes the place of what a used mapper held.
TEST_F(TableMapper, LoadingIntoAUsedMapperReplacesItsTree) {
  auto top = SampleTree();
  const std::vector<uint8_t> bytes = StreamOf(*top);
  static_cast<TmvRecordMapperDescriptor*>(top->GetRecordMapper())->AddMapping(u"X", u"Extra", dlaNull);
  top->AddTable(u"Spare");
  std::vector<uint8_t> body(bytes.begin() + ptrdiff_t(Bytes().ident("TmvTableMapperDescriptor").b.size()), bytes.end());
  ReadAll(body, [&](TmvReader& r) { top->LoadFromReader(r); });
  EXPECT_EQ(StreamOf(*top), bytes);
}

TEST_F(TableMapper, UnknownClassesAndVersionsAreRefused) {
  const auto top = [](const std::string& aClass) { return Bytes().ident(aClass).integer(1).str(".").str("."); };
  const auto records = [&](const std::string& aClass) {
    return top("TmvBaseTableMapperDescriptor").boolean(true).ident(aClass);
  };
  const auto fields = [&]() { return records("TmvRecordMapperDescriptor").integer(1).raw({0x01}); };
  const struct {
    const char* what;
    Bytes bytes;
    uint32_t code;
    const char* message;
  } cases[] = {
      {"table mapper", top("TmvNoSuchMapper"), 15499, "TableMapperDescriptor class is not supported: TmvNoSuchMapper"},
      {"record mapper as table mapper", top("TmvRecordMapperDescriptor"), 15499,
       "TableMapperDescriptor class is not supported: TmvRecordMapperDescriptor"},
      {"record mapper", records("TmvNoSuchRecords"), 15499,
       "RecordMapperDescriptor class is not supported: TmvNoSuchRecords"},
      // The root of the record mappers is no class a stream may name.
      {"record mapper root", records("TmvBaseRecordMapperDescriptor"), 15499,
       "RecordMapperDescriptor class is not supported: TmvBaseRecordMapperDescriptor"},
      {"field mapper", fields().ident("TmvNoSuchField"), 15499,
       "FieldMapperDescriptor class is not supported: TmvNoSuchField"},
      {"table body version", Bytes().ident("TmvTableMapperDescriptor").integer(2), 15498, nullptr},
      {"table trailing version", top("TmvTableMapperDescriptor").boolean(false).integer(0).integer(2), 15498, nullptr},
      {"record body version", records("TmvRecordMapperDescriptor").integer(2), 15498, nullptr},
      {"field body version", fields().ident("TmvFieldMapperDescriptor").str("a").str("b").str("dlaFail").integer(2),
       15498, nullptr},
      {"data-loss action", fields().ident("TmvFieldMapperDescriptor").str("a").str("b").str("dlaMaybe"), 15498,
       nullptr},
  };
  for (const auto& c : cases) {
    String message;
    EXPECT_EQ(RaisedCode([&] { FromStream(c.bytes.b); }, &message), c.code) << c.what;
    if (c.message) {
      EXPECT_NE(Utf8(message).find(c.message), std::string::npos) << c.what << ": " << Utf8(message);
    }
  }
}

// Each level of nesting is a level of recursion: a stream nested deeper
// than any table is refused before the stack runs out.
TEST_F(TableMapper, DeepNestingIsRefused) {
  const auto nested = [](int aLevels) {
    Bytes bytes;
    for (int i = 0; i < aLevels; ++i) {
      bytes.ident("TmvBaseTableMapperDescriptor").integer(1).str("T").str(".").boolean(false);
      bytes.integer(i + 1 < aLevels ? 1 : 0);
    }
    return bytes.b;
  };
  auto deepest = FromStream(nested(1000));
  int levels = 1;
  for (TmvBaseTableMapperDescriptor* m = deepest.get(); m->GetTableCount() > 0; m = m->GetTableDescriptor(0)) ++levels;
  EXPECT_EQ(levels, 1000);
  EXPECT_EQ(RaisedCode([&] { FromStream(nested(1001)); }), 15498u);
  EXPECT_EQ(RaisedCode([&] { FromStream(nested(100000)); }), 15498u);
  // The refusal leaves the thread able to read a tree again.
  EXPECT_EQ(FromStream(nested(1000))->GetTableCount(), 1);
}

// Every byte of a whole tree changed or cut: each read either fails with an
// error or gives a tree that writes itself out again.
TEST_F(TableMapper, DamagedStreams) {
  const std::vector<uint8_t> good = StreamOf(*SampleTree());
  std::unique_ptr<TmvBaseTableMapperDescriptor> made;
  ReadEveryDamage(
      good, [&](TmvReader& r) { made.reset(TmvBaseTableMapperDescriptor::CreateFromReader(r)); },
      [&] { std::unique_ptr<TmvBaseTableMapperDescriptor>(made->Duplicate()); });
}

// Two layouts of a table with nested tables: fields and nested tables meet
// by name whatever their letter case; names of one side only are left out.
TEST_F(TableMapper, MapAllTablesAndFieldsByName) {
  TmvDataDictionary oldDD;
  TmvDataDictionary newDD;
  const auto fields = [](TmvBaseTableDescriptor& aTable, std::initializer_list<const char16_t*> aNames) {
    for (const char16_t* name : aNames) aTable.GetFieldsDescriptor()->AddField(name, u"", mvtInt32, 0, 0, false);
  };
  fields(oldDD, {u"ID", u"NAME", u"GONE"});
  fields(newDD, {u"Name", u"id", u"NEW"});
  fields(*oldDD.GetTablesDescriptor()->AddTable(u"Detail"), {u"A", u"B"});
  fields(*oldDD.GetTablesDescriptor()->AddTable(u"Dropped"), {u"A"});
  TmvNestedTableDescriptor* newDetail = newDD.GetTablesDescriptor()->AddTable(u"DETAIL");
  fields(*newDetail, {u"b"});
  fields(*newDetail->GetTablesDescriptor()->AddTable(u"Deeper"), {u"A"});
  fields(*newDD.GetTablesDescriptor()->AddTable(u"Added"), {u"A"});

  TmvTableMapperDescriptor top;
  top.MapAllTablesAndFieldsByName(&oldDD, &newDD, dlaNull);
  const auto mappings = [](TmvBaseTableMapperDescriptor* aTable) {
    std::vector<std::string> lines;
    auto* record = static_cast<TmvRecordMapperDescriptor*>(aTable->GetRecordMapper());
    EXPECT_EQ(&record->ClassType(), &TmvRecordMapperDescriptor::StaticClass);
    for (int32_t i = 0; i < record->GetFieldMapperCount(); ++i) {
      TmvFieldMapperDescriptor* m = record->rmdGetMapper(i);
      EXPECT_EQ(m->GetDataLossAction(), dlaNull);
      lines.push_back(Utf8(m->GetSourceName()) + " -> " + Utf8(m->GetTargetName()));
    }
    return lines;
  };
  EXPECT_EQ(mappings(&top), (std::vector<std::string>{"ID -> id", "NAME -> Name"}));
  ASSERT_EQ(top.GetTableCount(), 1);
  TmvBaseTableMapperDescriptor* detail = top.GetTableDescriptor(0);
  EXPECT_EQ(&detail->ClassType(), &TmvTableMapperDescriptor::StaticClass);
  EXPECT_EQ(detail->GetName(), u"Detail");
  EXPECT_EQ(detail->GetMapTo(), u".");
  EXPECT_EQ(mappings(detail), std::vector<std::string>{"B -> b"});
  EXPECT_EQ(detail->GetTableCount(), 0);
  // A second mapping into the same mapper meets its own nested mapper.
  EXPECT_EQ(RaisedCode([&] { top.MapAllTablesAndFieldsByName(&oldDD, &newDD, dlaNull); }), 10009u);
}

}  // namespace
