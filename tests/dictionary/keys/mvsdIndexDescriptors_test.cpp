// Tests of the index descriptor and the indices descriptors: new indexes,
// duplicates modes per peer version, the standalone form, cache-table set-up,
// the files and fields they hold, list changes with renumbering and the
// default index, index-change notifications, checks, HasIndex and streams.
#include "dictionary/keys/mvsdIndexDescriptors.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class IndexDescriptors : public DictionaryTest {};

std::vector<String> Names(const TmvBaseIndicesDescriptor& aIndices) {
  std::vector<String> names;
  for (int32_t i = 0; i < aIndices.IndexCount(); ++i) {
    EXPECT_EQ(aIndices.IndexDescriptor(i)->GetNumber(), i);
    names.push_back(aIndices.IndexDescriptor(i)->GetName());
  }
  return names;
}

// The version integer of an index's own part, after an item header of
// version 3 with no custom strings and a one-byte ID.
int IndexPartVersion(const std::vector<uint8_t>& aBytes) { return aBytes.at(12); }

TEST_F(IndexDescriptors, NewIndex) {
  TTestTable t;
  TmvIndexDescriptor* index = t.Indices().AddIndex(u"ByName", 0, false, u"names");
  EXPECT_EQ(index->GetIndexEngine(), u"mv1xDefault");
  EXPECT_EQ(index->GetDups(), idNone);
  EXPECT_EQ(index->GetDesc(), u"names");
  auto* key = dynamic_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor());
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->KeyFieldCount(), 0);
  String message;
  EXPECT_EQ(RaisedCode([&] { index->CheckValid(false); }, &message), 10004u);
  EXPECT_EQ(message, u"Composite key requires a minimum of one field");
  EXPECT_EQ(index->IndexFile(), t.dd.Files->FileDescriptor(0));
  EXPECT_EQ(t.Indices().AddIndex(u"All", 0, true, u"")->GetDups(), idAll);

  EXPECT_EQ(RaisedCode([&] { t.Indices().AddIndex(u"", 0, idNone, u""); }), 10022u);
  EXPECT_EQ(RaisedCode([&] { TmvIndexDescriptor bad(nullptr, u" lead", 0, nullptr); }), 10022u);
  EXPECT_EQ(RaisedCode([&] { t.Indices().AddIndex(u"byname", 0, idNone, u""); }, &message), 10027u);
  EXPECT_EQ(message, u"Duplicated index name: byname");
  EXPECT_EQ(RaisedCode([&] { t.Indices().AddIndex(u"Far", 1, idNone, u""); }, &message), 9999u);
  EXPECT_EQ(message, u"Invalid file number: 1");
  // A key class that is no key is refused before anything is registered.
  EXPECT_EQ(RaisedCode([&] { t.Indices().AddIndex(u"Odd", 0, idNone, u"", &TmvFilesDescriptor::StaticClass); }),
            15499u);
  EXPECT_EQ(t.Indices().IndexCount(), 2);
}

TEST_F(IndexDescriptors, DupsPerPeerVersion) {
  TmvIndexDescriptor index(nullptr, u"I", 0, &TmvRefKeyDescriptor::StaticClass);
  const std::vector<uint8_t> none = Written(index);
  EXPECT_EQ(IndexPartVersion(none), 1);
  index.SetDups(idAll);
  const std::vector<uint8_t> all = Written(index);
  EXPECT_EQ(IndexPartVersion(all), 1);
  index.SetDups(idNull);
  const std::vector<uint8_t> null = Written(index, mvPeerVersionIndexDupsNull);
  EXPECT_EQ(IndexPartVersion(null), 2);
  EXPECT_EQ(RaisedCode([&] { Written(index, mvPeerVersionIndexDupsNull - 1); }), 12039u);

  // Version 1 carries a boolean, version 2 the ordinal.
  const std::vector<uint8_t> tail1 = {0x06, 0x0B, 'm', 'v', '1', 'x', 'D', 'e', 'f', 'a', 'u', 'l', 't',
                                      0x12, 0x00, 0x00, 0x00, 0x00};
  EXPECT_TRUE(std::equal(tail1.begin(), tail1.end(), none.begin() + 13));
  EXPECT_EQ(none.at(31), 0x08);
  EXPECT_EQ(all.at(31), 0x09);
  EXPECT_EQ(std::vector<uint8_t>(null.begin() + 31, null.begin() + 33), (std::vector<uint8_t>{0x02, 0x01}));

  for (const auto* bytes : {&none, &all, &null}) {
    TmvIndexDescriptor back(nullptr, u"I", 0, &TmvRefKeyDescriptor::StaticClass);
    ReadAll(*bytes, back);
    EXPECT_EQ(back.GetDups(), bytes == &none ? idNone : bytes == &all ? idAll : idNull);
  }
  std::vector<uint8_t> bad = null;
  bad[32] = 0x03;
  EXPECT_EQ(RaisedCode([&] { ReadAll(bad, index); }), 15498u);
  bad[12] = 0x03;
  EXPECT_EQ(RaisedCode([&] { ReadAll(bad, index); }), 15498u);
}

TEST_F(IndexDescriptors, StandaloneForm) {
  StandInClasses standIns;
  TTestTable t;
  t.Field(u"A", mvtInt32);
  TmvCompKeyDescriptor& key = t.Key({0});
  key.KeyFields(0)->SetAscend(false);
  key.SetFilter(new TTestFilter("a"));
  TmvIndexDescriptor* index = t.Indices().IndexDescriptor(0);
  index->SetDups(idNull);
  index->SetDesc(u"first");
  EXPECT_EQ(index->GetNumber(), 0);

  std::unique_ptr<TmvIndexDescriptor> standalone(
      TmvIndexDescriptor::CreateStandalone(7, u"Alone", 0, &TmvNoNullCompKeyDescriptor::StaticClass));
  EXPECT_EQ(standalone->GetNumber(), 7);
  EXPECT_EQ(standalone->IndexFile(), nullptr);  // no table, no files

  const std::vector<uint8_t> bytes = Written([&](TmvWriter& w) { index->SaveStandalone(w, mvEngineVersion); });
  std::unique_ptr<TmvIndexDescriptor> back;
  ReadAll(bytes, [&](TmvReader& r) { back.reset(TmvIndexDescriptor::CreateStandaloneFromReader(r)); });
  EXPECT_EQ(back->GetNumber(), 0);
  EXPECT_EQ(back->GetName(), u"Index0");
  EXPECT_EQ(back->GetFileNumber(), 0);
  EXPECT_TRUE(back->IsEqual(index));
  EXPECT_EQ(back->GetParent(), nullptr);

  std::vector<uint8_t> unknownKey = bytes;
  unknownKey[2 + 18 + 2 + 3] = 'X';  // "TmvXompKeyDescriptor"
  String message;
  EXPECT_EQ(
      RaisedCode([&] { ReadAll(unknownKey, [&](TmvReader& r) { TmvIndexDescriptor::CreateStandaloneFromReader(r); }); },
                 &message),
      15499u);
  EXPECT_EQ(message, u"KeyDescriptor class is not supported: TmvXompKeyDescriptor");
  std::vector<uint8_t> unknownIndex = bytes;
  unknownIndex[2 + 3] = 'X';
  EXPECT_EQ(
      RaisedCode(
          [&] { ReadAll(unknownIndex, [&](TmvReader& r) { TmvIndexDescriptor::CreateStandaloneFromReader(r); }); },
          &message),
      15499u);
  EXPECT_EQ(message, u"IndexDescriptor class is not supported: TmvXndexDescriptor");
  // A damaged standalone form frees what it made.
  ReadEveryDamage(
      bytes, [&](TmvReader& r) { back.reset(TmvIndexDescriptor::CreateStandaloneFromReader(r)); },
      [&] { Written([&](TmvWriter& w) { back->SaveStandalone(w, mvEngineVersion); }); });
}

TEST_F(IndexDescriptors, SetupForCacheTable) {
  TTestTable t;
  t.Field(u"A", mvtInt32);
  t.Field(u"Ref", mvtRefNr);
  t.Indices().AddIndex(u"sequential access index", 0, idAll, u"", &TmvRefKeyDescriptor::StaticClass)
      ->SetIndexEngine(u"Other");
  t.Key({0});
  t.Indices().SetupForCacheTable();
  TmvIndexDescriptor* sequential = t.Indices().IndexDescriptor(0);
  EXPECT_EQ(sequential->GetDups(), idNone);
  EXPECT_EQ(sequential->GetIndexEngine(), u"mv1xDefault");
  auto* key = dynamic_cast<TmvNoNullCompKeyDescriptor*>(sequential->GetKeyDescriptor());
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->KeyFieldCount(), 1);
  EXPECT_EQ(key->KeyFields(0)->GetFieldNumber(), 1);
  key->CheckValid(true);
  TmvIndexDescriptor* other = t.Indices().IndexDescriptor(1);
  EXPECT_EQ(other->GetDups(), idAll);
  EXPECT_EQ(other->GetIndexEngine(), u"CacheKeylessBStarTree");
  // The new key holds the RefNr field like any key.
  EXPECT_EQ(RaisedCode([&] { t.dd.Fields->RemoveField(1); }), 15502u);
}

TEST_F(IndexDescriptors, IndexesFollowTheirFiles) {
  TTestTable t;
  TmvFilesDescriptor& files = *t.dd.Files;
  files.AddFile(u"ix1", mvbs4k, u"");
  files.AddFile(u"ix2", mvbs8k, u"");
  TmvIndexDescriptor* index = t.Indices().AddIndex(u"InTwo", 2, idNone, u"");
  t.Indices().AddIndex(u"InOne", 1, idNone, u"");

  String message;
  EXPECT_EQ(RaisedCode([&] { files.RemoveFile(2); }, &message), 15502u);
  EXPECT_EQ(message, u"Cannot remove file 2 because it is still referenced by an index");
  EXPECT_EQ(files.FileCount(), 3);
  EXPECT_EQ(index->GetFileNumber(), 2);

  t.Indices().RemoveIndex(u"INONE");
  files.RemoveFile(1);  // file 1 is free now; the index's file 2 becomes 1
  EXPECT_EQ(index->GetFileNumber(), 1);
  EXPECT_EQ(index->IndexFile()->GetExtension(), u"ix2");
  files.InsertFileAt(1, u"new", mvbs4k, u"");
  EXPECT_EQ(index->GetFileNumber(), 2);
  files.MoveFile(2, 1);
  EXPECT_EQ(index->GetFileNumber(), 1);
  EXPECT_EQ(index->IndexFile()->GetExtension(), u"ix2");
}

TEST_F(IndexDescriptors, ValidFor) {
  TTestTable t;
  t.Field(u"A", mvtInt32);
  t.Key({0});
  TmvIndexDescriptor* index = t.Indices().IndexDescriptor(0);
  EXPECT_TRUE(index->IsValidFor(&t.dd));
  TTestTable small;
  EXPECT_FALSE(index->IsValidFor(&small.dd));  // no field 0 there
  small.Field(u"B", mvtInt32);
  EXPECT_TRUE(index->IsValidFor(&small.dd));
  TmvIndexDescriptor far(nullptr, u"Far", 3, nullptr);
  EXPECT_FALSE(far.IsValidFor(&t.dd));
  TmvDictionaryItem loose(nullptr);
  EXPECT_EQ(RaisedCode([&] { index->IsValidFor(&loose); }), 8712u);  // a table has files
}

TEST_F(IndexDescriptors, RemovingAndInsertingRenumbers) {
  TTestTable t;
  TmvMainIndicesDescriptor& ix = t.Indices();
  for (const char16_t* name : {u"A", u"B", u"C"}) ix.AddIndex(name, 0, idNone, u"");
  ix.RemoveIndex(0);
  EXPECT_EQ(Names(ix), (std::vector<String>{u"B", u"C"}));
  ix.InsertIndexAt(0, u"A", 0, idNone, u"");
  EXPECT_EQ(Names(ix), (std::vector<String>{u"A", u"B", u"C"}));
  ix.InsertIndexAt(3, u"D", 0, true, u"");
  EXPECT_EQ(Names(ix), (std::vector<String>{u"A", u"B", u"C", u"D"}));
  EXPECT_EQ(ix.IndexDescriptor(3)->GetDups(), idAll);
  ix.MoveIndex(3, 1);
  EXPECT_EQ(Names(ix), (std::vector<String>{u"A", u"D", u"B", u"C"}));
  ix.MoveIndex(0, 3);
  EXPECT_EQ(Names(ix), (std::vector<String>{u"D", u"B", u"C", u"A"}));
  ix.RemoveIndex(u"b");
  ix.RemoveIndex(u"nothing");
  ix.RemoveIndex(9);
  EXPECT_EQ(Names(ix), (std::vector<String>{u"D", u"C", u"A"}));
  EXPECT_EQ(ix.GetIndexFromName(u"a"), 2);
  EXPECT_EQ(ix.GetDescriptorFromName(u"c"), ix.IndexDescriptor(1));
  EXPECT_EQ(ix.GetDescriptorFromName(u"B"), nullptr);

  String message;
  EXPECT_EQ(RaisedCode([&] { ix.InsertIndexAt(4, u"E", 0, idNone, u""); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: 4");
  EXPECT_EQ(RaisedCode([&] { ix.MoveIndex(3, 0); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: 3");
  EXPECT_EQ(RaisedCode([&] { ix.MoveIndex(0, -1); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: -1");
  EXPECT_EQ(RaisedCode([&] { ix.InsertIndexAt(0, u"d", 0, idNone, u""); }), 10027u);
  EXPECT_EQ(Names(ix), (std::vector<String>{u"D", u"C", u"A"}));
}

TEST_F(IndexDescriptors, DefaultIndexFollowsChanges) {
  TTestTable t;
  TmvMainIndicesDescriptor& ix = t.Indices();
  EXPECT_EQ(ix.GetDefaultIndex(), -1);
  ix.SetDefaultIndex(3);
  EXPECT_EQ(ix.GetDefaultIndex(), -1);  // an empty list has none
  ix.AddIndex(u"A", 0, idNone, u"");
  EXPECT_EQ(ix.GetDefaultIndex(), 0);  // the first index becomes the default
  ix.AddIndex(u"B", 0, idNone, u"");
  ix.SetDefaultIndex(-5);
  EXPECT_EQ(ix.GetDefaultIndex(), 0);
  String message;
  EXPECT_EQ(RaisedCode([&] { ix.SetDefaultIndex(2); }, &message), 9999u);
  EXPECT_EQ(message, u"Invalid default index number: 2");
  ix.AddIndex(u"C", 0, idNone, u"");

  struct Case {
    std::function<void()> change;
    int32_t expected;
  };
  const Case cases[] = {
      {[&] { ix.RemoveIndex(0); }, 1},
      {[&] { ix.RemoveIndex(2); }, 0},  // the default went: the first one takes over
      {[&] { ix.MoveIndex(2, 0); }, 0},
      {[&] { ix.MoveIndex(0, 2); }, 1},
      {[&] { ix.InsertIndexAt(0, u"N", 0, idNone, u""); }, 3},
      {[&] { ix.InsertIndexAt(3, u"N", 0, idNone, u""); }, 2},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    ix.Clear(true);
    for (const char16_t* name : {u"A", u"B", u"C"}) ix.AddIndex(name, 0, idNone, u"");
    ix.SetDefaultIndex(2);
    cases[i].change();
    EXPECT_EQ(ix.GetDefaultIndex(), cases[i].expected) << "case " << i;
  }
  ix.Clear(true);
  EXPECT_EQ(ix.GetDefaultIndex(), -1);
  EXPECT_EQ(ix.IndexCount(), 0);
}

TEST_F(IndexDescriptors, RegisteredItemsFollowIndexes) {
  TTestTable t;
  TmvMainIndicesDescriptor& ix = t.Indices();
  for (const char16_t* name : {u"A", u"B", u"C"}) ix.AddIndex(name, 0, idNone, u"");
  TTestHolder holder(&t.dd, -1, -1, 1);  // refers to index B

  String message;
  EXPECT_EQ(RaisedCode([&] { ix.RemoveIndex(1); }, &message), 15502u);
  EXPECT_EQ(message, u"Cannot remove index 1 because it is still referenced");
  EXPECT_EQ(Names(ix), (std::vector<String>{u"A", u"B", u"C"}));
  EXPECT_EQ(RaisedCode([&] { ix.Clear(true); }), 15502u);
  EXPECT_EQ(ix.IndexCount(), 3);

  holder.IndexCalls.clear();
  ix.InsertIndexAt(0, u"N", 0, idNone, u"");
  // Checked at the place, announced at the end by the append, then at the place.
  EXPECT_EQ(holder.IndexCalls, (std::vector<TTestHolder::Call>{{true, -1, 0}, {false, -1, 3}, {false, -1, 0}}));
  EXPECT_EQ(holder.IndexNumber, 2);
  ix.MoveIndex(2, 3);
  EXPECT_EQ(holder.IndexNumber, 3);
  ix.RemoveIndex(0);
  EXPECT_EQ(holder.IndexNumber, 2);
  EXPECT_EQ(ix.IndexDescriptor(holder.IndexNumber)->GetName(), u"B");
  holder.IndexCalls.clear();
  ix.AddIndex(u"Z", 0, idNone, u"");  // appending: the apply pass only
  EXPECT_EQ(holder.IndexCalls, (std::vector<TTestHolder::Call>{{false, -1, 3}}));
}

TEST_F(IndexDescriptors, Checks) {
  TTestTable t;
  t.Field(u"A", mvtInt32);
  TmvMainIndicesDescriptor& ix = t.Indices();
  String message;
  EXPECT_EQ(RaisedCode([&] { ix.CheckValid(false); }, &message), 10005u);
  EXPECT_EQ(message, u"IndicesDescriptor requires a minimum of one index");
  t.Key({0});
  ix.CheckValid(true);
  EXPECT_EQ(ix.GetDefaultIndex(), 0);

  for (int i = 1; i < 256; ++i) t.Key({0});
  ix.CheckValid(false);
  t.Key({0});
  EXPECT_EQ(RaisedCode([&] { ix.CheckValid(false); }), 9487u);

  // A stream may carry names that AddIndex would refuse.
  TTestTable other;
  other.Field(u"A", mvtInt32);
  other.Key({0});
  other.Key({0});
  std::vector<uint8_t> bytes = Written(other.Indices());
  const std::string second = "Index1";
  auto at = std::search(bytes.begin(), bytes.end(), second.begin(), second.end());
  ASSERT_NE(at, bytes.end());
  *(at + 5) = '0';
  *at = 'i';  // "index0"
  TmvMainIndicesDescriptor back(&other.dd, "Indices");
  ReadAll(bytes, back);
  EXPECT_EQ(RaisedCode([&] { back.CheckValid(false); }, &message), 10009u);
  EXPECT_EQ(message, u"Duplicated index name: index0");
}

TEST_F(IndexDescriptors, HasIndex) {
  StandInClasses standIns;
  TTestTable t;
  t.Field(u"F", mvtInt32);
  t.Field(u"G", mvtInt32);
  TmvMainIndicesDescriptor& ix = t.Indices();
  const TmvIndexDupsSet noneOrNull = mvSetOf({idNone, idNull});
  int32_t found = 7;
  ix.AddIndex(u"Ref", 0, idNone, u"", &TmvRefKeyDescriptor::StaticClass);
  t.Key({0});
  ix.IndexDescriptor(1)->SetDups(idAll);
  t.Key({0}).SetFilter(new TTestFilter("f"));
  t.Key({0, 1});
  EXPECT_FALSE(ix.HasIndex({0}, found, noneOrNull));
  EXPECT_EQ(found, -1);
  EXPECT_TRUE(ix.HasIndex({0}, found, mvSetOf({idAll})));
  EXPECT_EQ(found, 1);
  EXPECT_TRUE(ix.HasIndex({0, 1}, found, noneOrNull));
  EXPECT_EQ(found, 3);
  EXPECT_FALSE(ix.HasIndex({1, 0}, found, noneOrNull));
  t.Key({0}, &TmvNoNullCompKeyDescriptor::StaticClass);
  EXPECT_TRUE(ix.HasIndex({0}, found, noneOrNull));
  EXPECT_EQ(found, 4);
}

TEST_F(IndexDescriptors, CopiesKeepTheirOwnID) {
  StandInClasses standIns;
  TTestTable source;
  source.Field(u"A", mvtInt32);
  source.Key({0}).KeyFields(0)->SetDesc(u"desc");
  TmvIndexDescriptor* original = source.Indices().IndexDescriptor(0);
  original->SetDups(idNull);
  const int32_t originalID = original->GetID();

  TTestTable target;
  target.Field(u"A", mvtInt32);
  target.Key({0});
  EXPECT_EQ(RaisedCode([&] { target.Indices().AddIndex(original); }), 10027u);  // "Index0" exists
  target.Indices().RemoveIndex(0);
  const int32_t nextID = target.dd.CurrentID + 1;
  TmvIndexDescriptor* copy = target.Indices().AddIndex(original);
  EXPECT_TRUE(copy->IsEqual(original));
  EXPECT_GE(copy->GetID(), nextID);
  EXPECT_NE(copy->GetID(), originalID);
  EXPECT_EQ(original->GetID(), originalID);
  EXPECT_EQ(copy->GetParent(), target.dd.Indices);

  // A copy that fails leaves nothing behind.
  auto* refusing = new TTestFilter("r");
  refusing->Refuse = true;
  original->GetKeyDescriptor()->SetFilter(refusing);
  target.Indices().RemoveIndex(0);
  EXPECT_EQ(RaisedCode([&] { target.Indices().AddIndex(original); }), 12289u);
  EXPECT_EQ(target.Indices().IndexCount(), 0);
  target.dd.Fields->RemoveField(0);  // no key field of the failed copy holds it
}

TEST_F(IndexDescriptors, StreamsPerPeerVersion) {
  StandInClasses standIns;
  TTestTable t;
  t.Field(u"A", mvtInt32);
  t.Field(u"B", mvtNullString, 10);
  t.Key({0, 1});
  t.Key({1}).SetFilter(new TTestFilter("b"));
  t.Indices().IndexDescriptor(1)->SetDups(idNull);
  t.Indices().SetDefaultIndex(1);
  t.Indices().SetIndicesEngine(u"Engine");
  const std::vector<uint8_t> good = Written(t.Indices());

  TmvMainIndicesDescriptor back(&t.dd, "Indices");
  ReadAll(good, back);
  EXPECT_TRUE(back.IsEqual(&t.Indices()));
  EXPECT_EQ(back.GetDefaultIndex(), 1);
  back.SetDefaultIndex(0);
  EXPECT_FALSE(back.IsEqual(&t.Indices()));
  back.SetDefaultIndex(1);
  back.SetIndicesEngine(u"ENGINE");
  EXPECT_TRUE(back.IsEqual(&t.Indices()));
  back.IndexDescriptor(0)->SetDesc(u"changed");
  EXPECT_FALSE(back.IsEqual(&t.Indices()));

  EXPECT_EQ(RaisedCode([&] { Written(t.Indices(), mvPeerVersionItemIDs - 1); }), 12039u);
  EXPECT_EQ(RaisedCode([&] { Written(t.Indices(), mvPeerVersionIndexDupsNull - 1); }), 12039u);

  TmvInternalIndicesDescriptor internal(&t.dd, "InternalIndices");
  internal.AddIndex(u"$CachedBlobs", 0, idNone, u"", &TmvBlobCacheKeyDescriptor::StaticClass);
  EXPECT_EQ(RaisedCode([&] { Written(internal, mvPeerVersionInternalIndices - 1); }), 12039u);
  TmvInternalIndicesDescriptor internalBack(&t.dd, "InternalIndices");
  ReadAll(Written(internal, mvPeerVersionInternalIndices), internalBack);
  EXPECT_TRUE(internalBack.IsEqual(&internal));
  EXPECT_EQ(internalBack.GetHeaderSection(), "InternalIndices");

  String message;
  std::vector<uint8_t> unknown = good;
  const std::string name = "TmvIndexDescriptor";
  auto at = std::search(unknown.begin(), unknown.end(), name.begin(), name.end());
  ASSERT_NE(at, unknown.end());
  *(at + 3) = 'X';
  EXPECT_EQ(RaisedCode([&] { ReadAll(unknown, back); }, &message), 15499u);
  EXPECT_EQ(message, u"IndexDescriptor class is not supported: TmvXndexDescriptor");

  TmvMainIndicesDescriptor target(&t.dd, "Indices");
  ReadEveryDamage(
      good, [&](TmvReader& r) { target.LoadFromReader(r); },
      [&] {
        Written(target);
        target.IsEqual(&t.Indices());
      });
  // The damaged reads left no stale holders of the fields.
  target.Clear(true);
  back.Clear(true);
  t.Indices().Clear(true);
  t.dd.Fields->RemoveField(1);
}

TEST_F(IndexDescriptors, ReadOnlyDictionaryRefusesChanges) {
  TTestTable t;
  TmvMainIndicesDescriptor& ix = t.Indices();
  TmvIndexDescriptor* index = ix.AddIndex(u"A", 0, idNone, u"");
  t.dd.ReadOnly = true;
  for (const auto& change : std::vector<std::function<void()>>{
           [&] { ix.AddIndex(u"B", 0, idNone, u""); }, [&] { ix.InsertIndexAt(0, u"B", 0, idNone, u""); },
           [&] { ix.MoveIndex(0, 0); }, [&] { ix.RemoveIndex(0); }, [&] { ix.SetDefaultIndex(0); },
           [&] { ix.Clear(false); }, [&] { ix.SetIndicesEngine(u"x"); }, [&] { index->SetDups(idAll); },
           [&] { index->SetDesc(u"x"); }, [&] { index->SetupForCacheTable(); }})
    EXPECT_EQ(RaisedCode(change), 15500u);
  EXPECT_EQ(Names(ix), std::vector<String>{u"A"});
}

}  // namespace
