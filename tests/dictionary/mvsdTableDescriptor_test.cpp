// Tests of the table descriptors: nested tables and their paths and full
// names, the tables list, constraint names, the sub-descriptor slots and
// what the items below find through them, key and bookmark lengths, caching
// support, and the table body's version and refusals.
#include "dictionary/mvsdTableDescriptor.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class TableDescriptor : public DictionaryTest {};

// "qbdb" with the nested tables "qbrecord" and "gcount", and "detail" below
// "qbrecord".
struct NestedTables {
  TmvDataDictionary dd;
  TmvNestedTableDescriptor* records;
  TmvNestedTableDescriptor* sessions;
  TmvNestedTableDescriptor* detail;
  NestedTables() {
    dd.SetBaseName(u"qbdb");
    records = dd.GetTablesDescriptor()->AddTable(u"qbrecord");
    sessions = dd.GetTablesDescriptor()->AddTable(u"gcount");
    detail = records->GetTablesDescriptor()->AddTable(u"detail");
  }
  std::vector<TmvBaseTableDescriptor*> Nested() const { return {records, sessions, detail}; }
  // Makes every table valid: a field and a record engine each.
  void Complete() {
    dd.GetFieldsDescriptor()->AddField(u"A", u"", mvtInt32, 0, 0, false);
    for (TmvBaseTableDescriptor* table : Nested()) {
      table->AddRecordDescriptor();
      table->GetFieldsDescriptor()->AddField(u"A", u"", mvtInt32, 0, 0, false);
    }
  }
};

TEST_F(TableDescriptor, PathsAndFullNames) {
  NestedTables t;
  EXPECT_EQ(t.records->btdFullName(), u"qbdb:qbrecord");
  EXPECT_EQ(t.detail->btdFullName(), u"qbdb:qbrecord:detail");
  const struct {
    TmvBaseTableDescriptor* from;
    const char16_t* path;
    TmvBaseTableDescriptor* found;
  } cases[] = {{&t.dd, u"", &t.dd},
               {&t.dd, u"QBRECORD", t.records},
               {&t.dd, u"qbrecord:", t.records},
               {&t.dd, u"qbrecord:Detail", t.detail},
               {&t.dd, u".:gcount", t.sessions},
               {t.records, u"..:gcount", t.sessions},
               {t.detail, u"..:..:gcount", t.sessions},
               {t.detail, u"..", t.records},
               {t.records, u".", t.records}};
  for (const auto& c : cases) EXPECT_EQ(c.from->GetChild(c.path), c.found) << Utf8(c.path);
  for (const char16_t* missing : {u"answers", u"..", u"qbrecord:gcount", u"gcount:..:..", u"qbrecord:detail:x"})
    EXPECT_EQ(RaisedCode([&] { t.dd.GetChild(missing); }), 10024u) << Utf8(missing);
  // Without a parent a nested table's full name is its own.
  TmvNestedTableDescriptor alone(nullptr, u"alone");
  EXPECT_EQ(alone.btdFullName(), u"alone");
}

TEST_F(TableDescriptor, TablesListNamesAndOrder) {
  NestedTables t;
  TmvTablesDescriptor& tables = *t.dd.GetTablesDescriptor();
  String message;
  EXPECT_EQ(RaisedCode([&] { tables.AddTable(u"QbRecord"); }, &message), 10009u);
  EXPECT_EQ(message, u"Duplicated table name: QbRecord");
  EXPECT_EQ(RaisedCode([&] { tables.AddTable(u""); }), 10039u);
  EXPECT_EQ(RaisedCode([&] { TmvNestedTableDescriptor bad(&tables, u"a:b"); }), 10039u);
  EXPECT_EQ(tables.TableCount(), 2);
  EXPECT_EQ(tables.GetTableIndexFromName(u"GCOUNT"), 1);
  EXPECT_EQ(RaisedCode([&] { tables.GetTableDescriptorFromName(u"none"); }), 10024u);

  // A rename may change the letter case of a name; it may not take another
  // table's name.
  tables.RenameTable(u"qbrecord", u"QBRECORD");
  EXPECT_EQ(t.records->GetName(), u"QBRECORD");
  EXPECT_EQ(RaisedCode([&] { tables.RenameTable(u"QBRECORD", u"gcount"); }, &message), 10009u);
  EXPECT_EQ(message, u"Duplicated table name: gcount");
  EXPECT_EQ(RaisedCode([&] { tables.RenameTable(u"none", u"other"); }), 10024u);
  EXPECT_EQ(RaisedCode([&] { tables.RenameTable(u"gcount", u" lead"); }), 10039u);

  TStringList names;
  tables.GetTables(names);
  ASSERT_EQ(names.Count(), 2);
  EXPECT_EQ(names[1], u"gcount");
  EXPECT_EQ(names.Objects(1), t.sessions);
  tables.RemoveTable(5);
  tables.RemoveTable(u"none");
  tables.RemoveTable(u"QBRECORD");
  EXPECT_EQ(tables.TableCount(), 1);
  EXPECT_EQ(tables.TableDescriptor(0), t.sessions);
}

TEST_F(TableDescriptor, DuplicatedNestedNamesFailTheCheck) {
  NestedTables t;
  t.Complete();
  t.dd.CheckValid(false);
  t.sessions->GetParentOfType<TmvTablesDescriptor>()->RenameTable(u"gcount", u"Detail");  // a name of another level
  t.dd.CheckValid(false);
  // Two tables of one list under one name can only come from a stream.
  TmvDataDictionary back;
  TmvMemoryStream stream;
  t.dd.WriteToStream(stream, mvEngineVersion);
  std::vector<uint8_t> bytes(static_cast<const uint8_t*>(stream.Memory()),
                             static_cast<const uint8_t*>(stream.Memory()) + stream.GetSize());
  const std::string from = "Detail", to = "QBrecord";
  auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  ASSERT_NE(at, bytes.end());
  const ptrdiff_t offset = at - bytes.begin();
  bytes[size_t(offset - 1)] = uint8_t(to.size());  // the length byte of the vaString
  bytes.erase(bytes.begin() + offset, bytes.begin() + offset + ptrdiff_t(from.size()));
  bytes.insert(bytes.begin() + offset, to.begin(), to.end());
  TmvMemoryStream damaged;
  damaged.Write(bytes.data(), int32_t(bytes.size()));
  damaged.SetPosition(0);
  String message;
  EXPECT_EQ(RaisedCode([&] { back.ReadFromStream(damaged, u"qbdb"); }, &message), 10009u);
  EXPECT_EQ(message, u"Duplicated table descriptor name: QBrecord");
}

TEST_F(TableDescriptor, ConstraintNames) {
  TmvDataDictionary dd;
  TmvFieldsDescriptor& fields = *dd.GetFieldsDescriptor();
  TmvFieldDescriptor* a = fields.AddField(u"A", u"", mvtInt32, 0, 0, false);
  TmvFieldDescriptor* b = fields.AddField(u"B", u"", mvtInt32, 0, 0, false);
  a->SetConstraintName(u"PK_A");
  EXPECT_EQ(dd.GetConstraintByName(u"pk_a"), a);
  String message;
  EXPECT_EQ(RaisedCode([&] { b->SetConstraintName(u"Pk_A"); }, &message), 10009u);
  EXPECT_EQ(message, u"Constraint name already in use: \"Pk_A\"");
  EXPECT_TRUE(b->GetConstraintName().empty());
  // A nested table keeps its own names.
  TmvNestedTableDescriptor* child = dd.GetTablesDescriptor()->AddTable(u"child");
  child->AddRecordDescriptor();
  child->GetFieldsDescriptor()->AddField(u"A", u"", mvtInt32, 0, 0, false)->SetConstraintName(u"PK_A");
  EXPECT_EQ(dd.GetConstraintByName(u"PK_A"), a);

  // A descriptor with a registered name may not stand in the table, even
  // when it is the one that registered it.
  EXPECT_FALSE(dd.IsFieldDescValid(a));
  EXPECT_TRUE(dd.IsFieldDescValid(b));
  EXPECT_TRUE(dd.IsIndexDescValid(dd.GetIndicesDescriptor()->IndexDescriptor(0)));
  dd.GetIndicesDescriptor()->IndexDescriptor(0)->SetConstraintName(u"IX");
  EXPECT_FALSE(dd.IsIndexDescValid(dd.GetIndicesDescriptor()->IndexDescriptor(0)));

  TStringList names;
  dd.GetConstraints(names);
  ASSERT_EQ(names.Count(), 2);
  EXPECT_EQ(names.Objects(names.IndexOf(u"IX")), dd.GetIndicesDescriptor()->IndexDescriptor(0));
  // Names leave with their items, and travel with them.
  fields.RemoveField(0);
  EXPECT_EQ(dd.GetConstraintByName(u"PK_A"), nullptr);
  std::unique_ptr<TmvDataDictionary> copy(dd.Duplicate());
  EXPECT_EQ(copy->GetConstraintByName(u"ix"), copy->GetIndicesDescriptor()->IndexDescriptor(0));
  EXPECT_EQ(copy->GetChild(u"child")->GetConstraintByName(u"pk_a"),
            copy->GetChild(u"child")->GetFieldsDescriptor()->FieldDescriptor(0));
}

TEST_F(TableDescriptor, SlotsAnswerTheItemsBelow) {
  TmvDataDictionary dd;
  TmvFieldDescriptor* field = dd.GetFieldsDescriptor()->AddField(u"A", u"", mvtAutoInc, 0, 0, false);
  EXPECT_EQ(field->GetRelatedDescriptorOfType(TmvFieldsDescriptor::StaticClass), dd.GetFieldsDescriptor());
  EXPECT_EQ(field->GetRelatedDescriptorOfType(TmvFilesDescriptor::StaticClass), dd.GetFilesDescriptor());
  EXPECT_EQ(field->GetRelatedDescriptorOfType(TmvBaseStreamDescriptor::StaticClass), dd.GetStreamDescriptor());
  EXPECT_EQ(field->GetRelatedDescriptorOfType(TmvMainIndicesDescriptor::StaticClass), dd.GetIndicesDescriptor());
  EXPECT_EQ(field->GetRelatedDescriptorOfType(TmvBaseRecordDescriptor::StaticClass), dd.GetRecordDescriptor());
  // An empty slot, and a slot holding a class other than the one asked for.
  EXPECT_EQ(field->GetRelatedDescriptorOfType(TmvBaseBlobDescriptor::StaticClass), nullptr);
  EXPECT_EQ(field->GetRelatedDescriptorOfType(TmvHeapRecordDescriptor::StaticClass), nullptr);
  EXPECT_EQ(field->GetRelatedDescriptorOfType(TmvBaseTableDescriptor::StaticClass), &dd);

  // A nested table answers for its own parts; the files are the dictionary's.
  TmvNestedTableDescriptor* child = dd.GetTablesDescriptor()->AddTable(u"child");
  TmvFieldDescriptor* inner = child->GetFieldsDescriptor()->AddField(u"B", u"", mvtBlob, 0, 0, false);
  EXPECT_EQ(inner->GetRelatedDescriptorOfType(TmvFieldsDescriptor::StaticClass), child->GetFieldsDescriptor());
  EXPECT_EQ(inner->GetRelatedDescriptorOfType(TmvFilesDescriptor::StaticClass), dd.GetFilesDescriptor());
  EXPECT_EQ(inner->GetRelatedDescriptorOfType(TmvMainIndicesDescriptor::StaticClass), nullptr);

  // AutoInc and BLOB fields get what serves them from their own table.
  child->AddRecordDescriptor();
  dd.CheckValid(true);
  EXPECT_NE(dd.GetAutoIncDescriptor(), nullptr);
  EXPECT_EQ(dd.GetBlobDescriptor(), nullptr);
  ASSERT_NE(child->GetBlobDescriptor(), nullptr);
  EXPECT_EQ(child->GetBlobDescriptor()->GetHeaderSection(), "Blob");
  EXPECT_EQ(dd.GetAutoIncDescriptor()->GetHeaderSection(), "AutoInc");
}

TEST_F(TableDescriptor, SlotReplacementAndRefusals) {
  TmvDataDictionary dd;
  TmvBaseRecordDescriptor* before = dd.GetRecordDescriptor();
  EXPECT_EQ(RaisedCode([&] { dd.AddRecordDescriptor(&TmvHeapBlobDescriptor::StaticClass); }), 15499u);
  EXPECT_EQ(RaisedCode([&] { dd.AddIndicesDescriptor(&TmvInternalIndicesDescriptor::StaticClass); }), 15499u);
  EXPECT_EQ(RaisedCode([&] { dd.AddStreamDescriptor(&TmvBaseRecordDescriptor::StaticClass); }), 15499u);
  EXPECT_EQ(dd.GetRecordDescriptor(), before);  // a refusal keeps what was there
  auto* heap = dd.AddRecordDescriptor(&TmvHeapRecordDescriptor::StaticClass);
  EXPECT_EQ(&heap->ClassType(), &TmvHeapRecordDescriptor::StaticClass);
  EXPECT_EQ(heap->GetHeaderSection(), "Record");
  EXPECT_EQ(dd.EnsureInternalIndicesDescriptor()->GetHeaderSection(), "InternalIndices");
  EXPECT_EQ(dd.EnsureInternalIndicesDescriptor(), dd.GetInternalIndicesDescriptor());
  EXPECT_EQ(dd.EnsureIndicesDescriptor()->GetHeaderSection(), "Indices");
  EXPECT_EQ(&dd.AddBlobDescriptor()->ClassType(), &TmvHeapBlobDescriptor::StaticClass);

  // Replacing the main indexes announces their removal: a holder may refuse.
  {
    TTestHolder holder(dd.GetFieldsDescriptor(), 0, 0, 0);
    EXPECT_EQ(RaisedCode([&] { dd.AddIndicesDescriptor(); }), 15502u);
    EXPECT_EQ(RaisedCode([&] { dd.RemoveIndicesDescriptor(); }), 15502u);
    EXPECT_EQ(dd.GetIndicesDescriptor()->IndexCount(), 1);
  }
  dd.RemoveIndicesDescriptor();
  EXPECT_EQ(dd.GetIndicesDescriptor(), nullptr);
  EXPECT_EQ(dd.GetIndexFromName(u"x"), -1);
  EXPECT_EQ(dd.EnsureIndicesDescriptor()->IndexCount(), 0);
  // A record descriptor is required.
  dd.GetFieldsDescriptor()->AddField(u"A", u"", mvtInt32, 0, 0, false);
  dd.RemoveRecordDescriptor();
  dd.RemoveIndicesDescriptor();
  dd.RemoveInternalIndicesDescriptor();
  String message;
  EXPECT_EQ(RaisedCode([&] { dd.CheckValid(false); }, &message), 10004u);
  EXPECT_EQ(message, u"A record descriptor is required");
  dd.RemoveStreamDescriptor();
  EXPECT_EQ(RaisedCode([&] { dd.CheckValid(false); }, &message), 10004u);
  EXPECT_EQ(message, u"A stream descriptor is required");
}

TEST_F(TableDescriptor, KeyAndBookmarkLengths) {
  TmvDataDictionary dd;
  dd.GetFieldsDescriptor()->AddField(u"Name", u"", mvtShortString, 19, 0, false);
  auto* key = static_cast<TmvCompKeyDescriptor*>(
      dd.GetIndicesDescriptor()->AddIndex(u"ByName", 0, idAll, u"")->GetKeyDescriptor());
  key->Add(0);
  EXPECT_EQ(dd.KeyLen(0), 8);
  EXPECT_EQ(dd.KeyLen(1), 21);
  EXPECT_EQ(dd.BookmarkSize(1), 45);
  EXPECT_EQ(dd.MaxKeyLen(), 21u);
  EXPECT_EQ(dd.MaxBookmarkSize(), 45u);
  String message;
  EXPECT_EQ(RaisedCode([&] { dd.KeyLen(2); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: 2");
  EXPECT_EQ(RaisedCode([&] { dd.BookmarkSize(-1); }), 9999u);
  dd.MakeReadOnly();
  EXPECT_EQ(dd.MaxKeyLen(), 21u);  // kept in the cache
  TmvDataDictionary none;
  none.RemoveIndicesDescriptor();
  EXPECT_EQ(none.BookmarkSize(3), 24);
  EXPECT_EQ(none.MaxKeyLen(), 0u);
  EXPECT_EQ(RaisedCode([&] { none.KeyLen(0); }), 9999u);
}

TEST_F(TableDescriptor, CachingSupportAndRefNrFieldsOfNestedTables) {
  NestedTables t;
  EXPECT_FALSE(t.dd.HasCachingSupport(tcsNone));
  t.detail->SetCachingState(tcsCacheable);
  EXPECT_TRUE(t.dd.HasCachingSupport(tcsNone));
  EXPECT_TRUE(t.dd.HasCachingSupport(tcsCacheable));
  EXPECT_FALSE(t.dd.HasCachingSupport(tcsIsCache));
  EXPECT_FALSE(t.sessions->HasCachingSupport(tcsNone));
  EXPECT_FALSE(t.dd.HasAnyRefNrField());
  t.detail->GetFieldsDescriptor()->AddField(u"Ref", u"", mvtRefNr, 0, 0, false);
  EXPECT_TRUE(t.dd.HasAnyRefNrField());
  EXPECT_FALSE(t.sessions->HasAnyRefNrField());

  // The state travels as "$CachingState"; an unknown state is refused.
  t.Complete();
  TmvMemoryStream stream;
  t.dd.WriteToStream(stream, mvEngineVersion);
  EXPECT_EQ(t.detail->GetCustomStrings().Values(u"$CachingState"), u"tcsCacheable");
  EXPECT_EQ(t.sessions->GetCustomStrings().Values(u"$CachingState"), u"tcsNone");
  stream.SetPosition(0);
  TmvDataDictionary back;
  back.ReadFromStream(stream, u"qbdb");
  EXPECT_EQ(back.GetChild(u"qbrecord:detail")->GetCachingState(), tcsCacheable);
  EXPECT_TRUE(back.IsEqual(&t.dd));
  t.detail->SetCachingState(tcsIsCache);
  EXPECT_FALSE(back.IsEqual(&t.dd));

  // A table body naming no state is refused.
  std::vector<uint8_t> body = Written(*t.sessions);
  const std::string from = "$CachingState=tcsNone";
  auto at = std::search(body.begin(), body.end(), from.begin(), from.end());
  ASSERT_NE(at, body.end());
  std::copy_n("tcsWhat", 7, at + ptrdiff_t(from.size()) - 7);
  TmvNestedTableDescriptor other(nullptr, u"other");
  EXPECT_EQ(RaisedCode([&] { ReadAll(body, other); }), 15498u);
}

TEST_F(TableDescriptor, TableBodyVersionAndPeers) {
  NestedTables t;
  // A table body for a peer below 20000 cannot be written.
  EXPECT_EQ(RaisedCode([&] { Written(*t.records, 19999); }), 12039u);
  EXPECT_EQ(RaisedCode([&] { Written(*t.dd.GetTablesDescriptor(), 19999); }), 12039u);
  // Version 2 only with internal indexes, and only for peers from 47005 on.
  const auto plain = Written(*t.records);
  t.records->AddInternalIndicesDescriptor();
  EXPECT_EQ(Written(*t.records), plain);  // empty: nothing to write
  t.records->GetInternalIndicesDescriptor()->AddIndex(u"$BlobNrCounter", 0, idNone, u"",
                                                      &TmvInt64KeyDescriptor::StaticClass);
  mvSetMissingInformation(false);
  const auto old = Written(*t.records, 47004);
  EXPECT_TRUE(mvGetMissingInformation());
  EXPECT_EQ(old, plain);
  const auto full = Written(*t.records, 47005);
  const std::string internal = "InternalIndicesDescriptor";
  EXPECT_NE(std::search(full.begin(), full.end(), internal.begin(), internal.end()), full.end());
  // A body of version 3 is refused.
  std::vector<uint8_t> bad = full;
  const std::string state = "$CachingState=tcsNone";
  auto at = std::search(bad.begin(), bad.end(), state.begin(), state.end());
  ASSERT_NE(at, bad.end());
  // header: ... list end 00, 02 id, 12 00 00 00 00 (constraint), then 02 02 (version)
  auto version = at + ptrdiff_t(state.size()) + 1 + 2 + 5 + 1;
  ASSERT_EQ(*version, 2);
  *version = 3;
  TmvNestedTableDescriptor other(nullptr, u"other");
  EXPECT_EQ(RaisedCode([&] { ReadAll(bad, other); }), 15498u);
  mvSetMissingInformation(false);
}

// Reading recurses once per nesting level: a tree nested a thousand levels
// deep is damaged or hostile and is refused before the stack runs out.
TEST_F(TableDescriptor, NestingBeyondAThousandLevelsIsRefused) {
  TmvDataDictionary dd;
  TmvBaseTableDescriptor* table = &dd;
  std::vector<TmvTablesDescriptor*> lists;
  for (int i = 0; i < 1000; ++i) {
    lists.push_back(table->GetTablesDescriptor());
    table = lists.back()->AddTable(u"t");
  }
  TmvTablesDescriptor deep(nullptr), shallower(nullptr);
  EXPECT_EQ(RaisedCode([&] { ReadAll(Written(*lists[0]), deep); }), 15498u);
  ReadAll(Written(*lists[1]), shallower);  // 999 levels and an empty list below
  EXPECT_EQ(shallower.TableCount(), 1);
}

}  // namespace
