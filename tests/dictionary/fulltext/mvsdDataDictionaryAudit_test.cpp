// Tests of the audit descriptor: the log table it makes for a new table,
// what leaves a log alone, the old log moved aside or discarded when the
// table changed, widened text fields, the rules stripped from a log, the
// stream body in both versions and a whole table read back equal.
#include "dictionary/fulltext/mvsdDataDictionaryAudit.h"

#include <gtest/gtest.h>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdStreamBytes.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class AuditDescriptor : public DictionaryTest {};

// What the events heard, in order.
struct EventLog {
  std::vector<std::string> calls;
  bool discard = false;
  void Attach(TmvAuditDescriptor& aAudit) {
    aAudit.OnChildtableCreated = [this](const String& aName) { calls.push_back("created " + Utf8(aName)); };
    aAudit.OnChildtableRenamed = [this](const String& aOld, const String& aNew) {
      calls.push_back("renamed " + Utf8(aOld) + " -> " + Utf8(aNew));
    };
    aAudit.OnCanDiscardAuditTable = [this](bool& aCanDiscard) {
      calls.push_back("asked");
      aCanDiscard = discard;
    };
  }
};

// A table of three fields (ID Int32 required with a constant default and
// validations, NAME WideString(20) with its own locale, PRICE BCD(10,2))
// that wants an audit log.
struct AuditedTable {
  StandInClasses standIns;  // validations
  TmvDataDictionary dd;
  TmvAuditDescriptor* audit;
  EventLog events;

  AuditedTable() {
    TmvFieldsDescriptor& fields = *dd.GetFieldsDescriptor();
    TmvFieldDescriptor* id = fields.AddField(u"ID", u"Key", mvtInt32, 0, 0, true);
    id->AddDefaultValue();
    id->AddValidations(&TTestValidations::StaticClass);
    GiveOwnLocale(*fields.AddField(u"NAME", u"Name", mvtWideString, 20, 0, false), 932);
    fields.AddField(u"PRICE", u"", mvtBCD, 10, 2, false);
    fields.AddValidations(&TTestFieldsValidations::StaticClass);
    audit = static_cast<TmvAuditDescriptor*>(
        dd.GetCustomDescsDescriptor()->AddCustom(u"Audit", &TmvAuditDescriptor::StaticClass));
    audit->SetUseAudit(true);
    events.Attach(*audit);
  }
  TmvTablesDescriptor& Tables() { return *dd.GetTablesDescriptor(); }
  // A nested table that passes the table check: one field, records.
  TmvNestedTableDescriptor* AddTable(const String& aName, const String& aField = u"A") {
    TmvNestedTableDescriptor* table = Tables().AddTable(aName);
    table->GetFieldsDescriptor()->AddField(aField, u"", mvtInt32, 0, 0, false);
    table->AddRecordDescriptor();
    return table;
  }
  TmvNestedTableDescriptor* Log(const String& aName = mvAuditLogTableName) {
    return Tables().GetTableDescriptorFromName(aName);
  }
  std::vector<String> TableNames() {
    std::vector<String> names;
    for (int32_t i = 0; i < Tables().TableCount(); ++i) names.push_back(Tables().TableDescriptor(i)->GetName());
    return names;
  }
};

TmvFieldDescriptor* FieldOf(TmvBaseTableDescriptor* aTable, const String& aName) {
  TmvFieldsDescriptor& fields = *aTable->GetFieldsDescriptor();
  const int32_t index = fields.GetFieldFromName(aName);
  return index < 0 ? nullptr : fields.FieldDescriptor(index);
}

std::vector<uint8_t> StreamOf(TmvDataDictionary& aDD) {
  TmvMemoryStream stream;
  aDD.WriteToStream(stream, mvEngineVersion);
  const auto* p = static_cast<const uint8_t*>(stream.Memory());
  return std::vector<uint8_t>(p, p + stream.GetSize());
}

std::unique_ptr<TmvDataDictionary> ReadBack(const std::vector<uint8_t>& aBytes) {
  auto dd = std::make_unique<TmvDataDictionary>();
  TmvMemoryStream stream;
  stream.Write(aBytes.data(), int32_t(aBytes.size()));
  stream.SetPosition(0);
  dd->ReadFromStream(stream, u"T");
  return dd;
}

// ---------------------------------------------------------------------------
// A new log

TEST_F(AuditDescriptor, BuildingMakesTheLogTable) {
  AuditedTable t;
  t.dd.CheckValid(true);
  EXPECT_EQ(t.events.calls, (std::vector<std::string>{"asked", "created Audit Log"}));
  TmvNestedTableDescriptor* log = t.Log();
  TmvFieldsDescriptor& fields = *log->GetFieldsDescriptor();
  ASSERT_EQ(fields.FieldCount(), 7);

  // The table's fields, without their rules and never required.
  TmvFieldsDescriptor& source = *t.dd.GetFieldsDescriptor();
  for (int32_t i = 0; i < source.FieldCount(); ++i) {
    TmvFieldDescriptor* copy = fields.FieldDescriptor(i);
    TmvFieldDescriptor* original = source.FieldDescriptor(i);
    SCOPED_TRACE(Utf8(original->Name()));
    EXPECT_EQ(copy->Name(), original->Name());
    EXPECT_EQ(copy->GetDesc(), original->GetDesc());
    EXPECT_EQ(copy->FieldType(), original->FieldType());
    EXPECT_EQ(copy->Units(), original->Units());
    EXPECT_EQ(copy->DecPl(), original->DecPl());
    EXPECT_EQ(copy->Length(), original->Length());
    EXPECT_FALSE(copy->GetRequired());
    EXPECT_EQ(copy->GetDefaultValue(), nullptr);
    EXPECT_EQ(copy->GetValidations(), nullptr);
    EXPECT_TRUE(mvOptionalItemsEqual(copy->GetLocaleDescriptor(), original->GetLocaleDescriptor()));
  }
  EXPECT_NE(fields.FieldDescriptor(1)->GetLocaleDescriptor(), nullptr);
  EXPECT_EQ(fields.GetValidations(), nullptr);

  const struct {
    const char16_t* name;
    const char16_t* desc;
    TmvFieldType type;
    int32_t units, length;
  } audit[] = {{u"Audit Changed At", u"Audit Timestamp", mvtDateTime, 0, 8},
               {u"Audit User ID", u"Audit User Identification", mvtWideString, 100, 202},
               {u"Audit Custom Data", u"Audit Custom Data", mvtWideString, 100, 202},
               {u"Audit Update Type", u"Audit Update Type", mvtWideChar, 1, 2}};
  for (int32_t i = 0; i < 4; ++i) {
    TmvFieldDescriptor* field = fields.FieldDescriptor(3 + i);
    EXPECT_EQ(field->Name(), audit[i].name);
    EXPECT_EQ(field->GetDesc(), audit[i].desc);
    EXPECT_EQ(field->FieldType(), audit[i].type);
    EXPECT_EQ(field->Units(), audit[i].units);
    EXPECT_EQ(field->Length(), audit[i].length);
  }
  ASSERT_NE(fields.FieldDescriptor(3)->GetDefaultValue(), nullptr);
  EXPECT_EQ(&fields.FieldDescriptor(3)->GetDefaultValue()->ClassType(),
            &TmvCurrentDateTimeDefaultValueDescriptor::StaticClass);

  TmvMainIndicesDescriptor& indices = *log->GetIndicesDescriptor();
  ASSERT_EQ(indices.IndexCount(), 2);
  const struct {
    const char16_t* name;
    int32_t first, second;
  } keys[] = {{u"By Changed At and User ID", 3, 4}, {u"By User ID and Changed At", 4, 3}};
  for (int32_t i = 0; i < 2; ++i) {
    TmvIndexDescriptor* index = indices.IndexDescriptor(i);
    EXPECT_EQ(index->GetName(), keys[i].name);
    EXPECT_EQ(index->GetFileNumber(), 0);
    EXPECT_EQ(index->GetDups(), idAll);
    EXPECT_EQ(index->GetDesc(), u"");
    ASSERT_EQ(&index->GetKeyDescriptor()->ClassType(), &TmvCompKeyDescriptor::StaticClass);
    auto* key = static_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor());
    ASSERT_EQ(key->KeyFieldCount(), 2);
    EXPECT_EQ(key->KeyFields(0)->GetFieldNumber(), keys[i].first);
    EXPECT_EQ(key->KeyFields(1)->GetFieldNumber(), keys[i].second);
  }
  ASSERT_EQ(&log->GetRecordDescriptor()->ClassType(), &TmvHeapRecordDescriptor::StaticClass);
  auto* record = static_cast<TmvHeapRecordDescriptor*>(log->GetRecordDescriptor());
  EXPECT_EQ(record->GetRecordEngine(), u"Variable");
  ASSERT_NE(record->GetRecordCompressionDescriptor(), nullptr);
  EXPECT_EQ(record->GetRecordCompressionDescriptor()->GetRecordCompressionEngine(), u"Smart");

  // A second build finds the log in step and leaves it, the current
  // date-time default of the log's own field included.
  t.events.calls.clear();
  t.dd.CheckValid(true);
  EXPECT_EQ(t.events.calls, std::vector<std::string>{"asked"});
  EXPECT_EQ(t.TableNames(), std::vector<String>{u"Audit Log"});
  EXPECT_NE(fields.FieldDescriptor(3)->GetDefaultValue(), nullptr);
}

TEST_F(AuditDescriptor, NothingHappensUnlessBuildingWithAudit) {
  for (bool forBuild : {false, true}) {
    AuditedTable t;
    t.audit->SetUseAudit(!forBuild);
    t.dd.CheckValid(forBuild);
    EXPECT_EQ(t.Tables().TableCount(), 0) << forBuild;
    EXPECT_TRUE(t.events.calls.empty()) << forBuild;
  }
}

// An audit descriptor outside a data dictionary has no fields to log.
TEST_F(AuditDescriptor, WithoutDataDictionaryRaises8712) {
  TTestDictionary dd;
  TmvCustomDescsDescriptor customs(&dd);
  auto* audit = static_cast<TmvAuditDescriptor*>(customs.AddCustom(u"Audit", &TmvAuditDescriptor::StaticClass));
  audit->SetUseAudit(true);
  audit->CheckValid(false);
  EXPECT_EQ(RaisedCode([&] { audit->CheckValid(true); }), 8712u);
}

// ---------------------------------------------------------------------------
// A log that exists

TEST_F(AuditDescriptor, ChangedTableMovesTheOldLogAside) {
  AuditedTable t;
  t.dd.CheckValid(true);
  // Old logs: numbers are taken from names with the exact prefix only.
  for (const char16_t* name :
       {u"Audit Log Old_3", u"Audit Log Old_x", u"audit log old_9", u"Audit Log Old_99999999999"})
    t.AddTable(name);
  TmvNestedTableDescriptor* old = t.Log();
  old->GetFieldsDescriptor()->FieldDescriptor(0)->AddDefaultValue();
  old->GetFieldsDescriptor()->FieldDescriptor(2)->AddValidations(&TTestValidations::StaticClass);
  old->GetFieldsDescriptor()->AddValidations(&TTestFieldsValidations::StaticClass);
  t.dd.GetFieldsDescriptor()->AddField(u"STOCK", u"", mvtInt16, 0, 0, false);
  t.events.calls.clear();

  t.dd.CheckValid(true);
  EXPECT_EQ(t.events.calls,
            (std::vector<std::string>{"asked", "renamed Audit Log -> Audit Log Old_4", "created Audit Log"}));
  EXPECT_EQ(old->GetName(), u"Audit Log Old_4");
  EXPECT_EQ(t.Log()->GetFieldsDescriptor()->FieldCount(), 8);
  EXPECT_EQ(FieldOf(t.Log(), u"STOCK")->Number(), 3);
  // The old log keeps its rows' shape and loses the copied rules, on the
  // fields below the table's field count; the date-time default at
  // position 3 goes with them.
  TmvFieldsDescriptor& oldFields = *old->GetFieldsDescriptor();
  EXPECT_EQ(oldFields.FieldCount(), 7);
  EXPECT_EQ(oldFields.GetValidations(), nullptr);
  for (int32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(oldFields.FieldDescriptor(i)->GetDefaultValue(), nullptr) << i;
    EXPECT_EQ(oldFields.FieldDescriptor(i)->GetValidations(), nullptr) << i;
  }
  t.dd.CheckValid(false);
}

// A log of another shape may have fewer fields than the table: only the
// fields it has lose their rules.
TEST_F(AuditDescriptor, ShortOldLogIsMovedAsideWhole) {
  AuditedTable t;
  TmvNestedTableDescriptor* own = t.AddTable(u"AUDIT LOG", u"ID");
  own->GetFieldsDescriptor()->FieldDescriptor(0)->AddDefaultValue();
  t.dd.CheckValid(true);
  EXPECT_EQ(t.TableNames(), (std::vector<String>{u"Audit Log Old_1", u"Audit Log"}));
  EXPECT_EQ(own->GetFieldsDescriptor()->FieldCount(), 1);
  EXPECT_EQ(own->GetFieldsDescriptor()->FieldDescriptor(0)->GetDefaultValue(), nullptr);
}

TEST_F(AuditDescriptor, OldLogNames) {
  const struct {
    std::vector<const char16_t*> present;
    const char16_t* expected;  // nil: 10009
  } cases[] = {
      {{}, u"Audit Log Old_1"},
      {{u"Audit Log Old_2", u"Audit Log Old_-7", u"Audit Log Old_"}, u"Audit Log Old_3"},
      // The largest 32-bit number still has a next one.
      {{u"Audit Log Old_2147483647"}, u"Audit Log Old_2147483648"},
      // The prefix search minds letter case, the name check does not.
      {{u"AUDIT LOG OLD_1"}, nullptr},
  };
  for (const auto& c : cases) {
    AuditedTable t;
    t.AddTable(u"Audit Log");
    for (const char16_t* name : c.present) t.AddTable(name);
    const uint32_t code = RaisedCode([&] { t.dd.CheckValid(true); });
    if (!c.expected) {
      EXPECT_EQ(code, 10009u);
      continue;
    }
    EXPECT_EQ(code, 0u) << Utf8(c.expected);
    EXPECT_EQ(t.Tables().GetTableIndexFromName(c.expected), 0) << Utf8(c.expected);
  }
}

TEST_F(AuditDescriptor, DiscardedOldLogIsRemoved) {
  AuditedTable t;
  t.dd.CheckValid(true);
  t.dd.GetFieldsDescriptor()->AddField(u"STOCK", u"", mvtInt16, 0, 0, false);
  t.events.discard = true;
  t.events.calls.clear();
  t.dd.CheckValid(true);
  EXPECT_EQ(t.events.calls, (std::vector<std::string>{"asked", "created Audit Log"}));
  EXPECT_EQ(t.TableNames(), std::vector<String>{u"Audit Log"});
  EXPECT_EQ(t.Log()->GetFieldsDescriptor()->FieldCount(), 8);
}

TEST_F(AuditDescriptor, NarrowTextFieldsAreWidenedInPlace) {
  AuditedTable t;
  // A log as an older program made it: 50 characters of user ID.
  TmvNestedTableDescriptor* log = t.Tables().AddTable(u"Audit Log");
  log->AddRecordDescriptor();
  TmvFieldsDescriptor& fields = *log->GetFieldsDescriptor();
  // Copies with their rules, which the build takes away.
  for (int32_t i = 0; i < 3; ++i) fields.AddField(t.dd.GetFieldsDescriptor()->FieldDescriptor(i));
  ASSERT_NE(fields.FieldDescriptor(0)->GetDefaultValue(), nullptr);
  fields.AddField(u"Audit Changed At", u"", mvtDateTime, 0, 0, false);
  fields.AddField(u"Audit User ID", u"", mvtWideString, 50, 0, false);
  fields.AddField(u"Audit Custom Data", u"", mvtWideString, 100, 0, false);
  fields.AddField(u"Audit Update Type", u"", mvtWideChar, 0, 0, false);
  ASSERT_TRUE(FieldsDescriptorContainsAllFields(&fields, t.dd.GetFieldsDescriptor()));
  const int32_t customOffset = FieldOf(log, u"Audit Custom Data")->Offset();

  t.dd.CheckValid(true);
  EXPECT_EQ(t.events.calls, std::vector<std::string>{"asked"});
  EXPECT_EQ(t.TableNames(), std::vector<String>{u"Audit Log"});
  EXPECT_EQ(FieldOf(log, u"Audit User ID")->Units(), 100);
  EXPECT_EQ(FieldOf(log, u"Audit User ID")->Length(), 202);
  EXPECT_EQ(FieldOf(log, u"Audit Custom Data")->Offset(), customOffset + 100);
  EXPECT_EQ(fields.LogRecLen(), FieldOf(log, u"Audit Update Type")->Offset() + 2);
  EXPECT_EQ(fields.FieldDescriptor(0)->GetDefaultValue(), nullptr);
  EXPECT_EQ(fields.FieldDescriptor(0)->GetValidations(), nullptr);
}

TEST_F(AuditDescriptor, WhatMakesALogFit) {
  const struct {
    const char* what;
    std::function<void(TmvFieldsDescriptor& aLog)> change;
    bool fits;
  } cases[] = {
      {"as made", [](TmvFieldsDescriptor&) {}, true},
      {"a field renamed", [](TmvFieldsDescriptor& f) { f.FieldDescriptor(0)->ChangeName(u"IDENT"); }, false},
      {"an audit field missing", [](TmvFieldsDescriptor& f) { f.RemoveField(6); }, false},
      {"another locale", [](TmvFieldsDescriptor& f) { f.FieldDescriptor(1)->RemoveLocaleDescriptor(); }, false},
      {"a field moved", [](TmvFieldsDescriptor& f) { f.MoveField(0, 2); }, false},
  };
  for (const auto& c : cases) {
    AuditedTable t;
    t.dd.CheckValid(true);
    TmvFieldsDescriptor& log = *t.Log()->GetFieldsDescriptor();
    c.change(log);
    EXPECT_EQ(FieldsDescriptorContainsAllFields(&log, t.dd.GetFieldsDescriptor()), c.fits) << c.what;
  }
}

// ---------------------------------------------------------------------------
// Stream body

TEST_F(AuditDescriptor, BodyBothVersions) {
  TTestDictionary dd;
  TmvCustomDescsDescriptor customs(&dd);
  auto* audit = static_cast<TmvAuditDescriptor*>(customs.AddCustom(u"Audit", &TmvAuditDescriptor::StaticClass));
  audit->SetUseAudit(true);
  audit->SetIncludeBlobFields(true);
  const int8_t id = int8_t(audit->GetID());
  EXPECT_EQ(Written(*audit), Bytes().header(id).integer(2).raw({0x01}).boolean(true).boolean(true).raw({0x00}).b);

  // Version 1 has no IncludeBlobFields: the value held stays.
  TmvAuditDescriptor back(&customs, u"Back");
  back.SetIncludeBlobFields(true);
  ReadAll(Bytes().header(id).integer(1).raw({0x01}).boolean(true).raw({0x00}).b, back);
  EXPECT_TRUE(back.GetUseAudit());
  EXPECT_TRUE(back.GetIncludeBlobFields());
  for (int8_t version : {0, 3})
    EXPECT_EQ(RaisedCode([&] { ReadAll(Bytes().header(id).integer(version).raw({0x01}).b, back); }), 15498u);
}

TEST_F(AuditDescriptor, WholeTableReadsBackEqual) {
  AuditedTable t;
  t.audit->SetIncludeBlobFields(true);
  t.dd.CheckValid(true);
  auto back = ReadBack(StreamOf(t.dd));
  EXPECT_TRUE(back->IsEqual(&t.dd));
  EXPECT_TRUE(t.dd.IsEqual(back.get()));
  auto* audit = static_cast<TmvAuditDescriptor*>(back->GetCustomDescsDescriptor()->CustomDescriptor(0));
  ASSERT_EQ(&audit->ClassType(), &TmvAuditDescriptor::StaticClass);
  EXPECT_TRUE(audit->GetUseAudit());
  EXPECT_TRUE(audit->GetIncludeBlobFields());

  // Each flag takes part in the comparison; the events do not.
  audit->OnChildtableCreated = [](const String&) {};
  EXPECT_TRUE(back->IsEqual(&t.dd));
  audit->SetIncludeBlobFields(false);
  EXPECT_FALSE(back->IsEqual(&t.dd));
  audit->SetIncludeBlobFields(true);
  audit->SetUseAudit(false);
  EXPECT_FALSE(back->IsEqual(&t.dd));

  // A frozen copy refuses the setters.
  back->MakeReadOnly();
  EXPECT_EQ(RaisedCode([&] { audit->SetUseAudit(true); }), 15500u);
}

}  // namespace
