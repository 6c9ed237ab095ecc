// Tests of the tables: the spelling on disk, copied files, child paths, a
// failed create, unnamed tables and the special fields kept on insert and
// modify.
#include <gtest/gtest.h>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "server/tables/TableTestSupport.h"

namespace {

using namespace table_test;

class Tables : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    folder = Folder(disk.Path());
  }
  TmvServerFolder* folder = nullptr;
};

TEST_F(Tables, TheSpellingOnDiskAndCopiedFiles) {
  ASSERT_EQ(Build(folder, u"QBDB"), 0u);
  TmvServerRootTable* table = Open(folder, u"qbdb");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->Name(), u"QBDB");
  const TGUID guid = table->Dictionary()->GetGuid();
  TmvAbstractServerObject::Free(table);

  // A copy has other file IDs: the dictionary takes them and a new GUID,
  // once.
  std::filesystem::copy_file(disk.File("QBDB.mv1"), disk.File("C.mv1"));
  table = Open(folder, u"C");
  ASSERT_NE(table, nullptr);
  const TGUID copied = table->Dictionary()->GetGuid();
  EXPECT_NE(copied, guid);
  EXPECT_EQ(table->Dictionary()->GetFilesDescriptor()->FileDescriptor(0)->GetFileID(), mvTableFileID(table->File(0)));
  TmvAbstractServerObject::Free(table);
  table = Open(folder, u"C");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->Dictionary()->GetGuid(), copied);
  TmvAbstractServerObject::Free(table);
}

TEST_F(Tables, ChildPathsAndUnnamedTables) {
  auto dict = People();
  AddChild(dict.get(), u"a");
  AddChild(dict.get(), u"b");
  ASSERT_EQ(Build(folder, u"T", dict.get()), 0u);
  TmvServerRootTable* table = Open(folder, u"T");
  ASSERT_NE(table, nullptr);
  TmvServerBaseTable* found = nullptr;
  ASSERT_EQ(table->GetChild(u"a:..:b", found), 0u);
  EXPECT_EQ(found->FullName(), u"T:b");
  ASSERT_EQ(table->GetChild(u"A:.", found), 0u);
  EXPECT_EQ(found->FullName(), u"T:a");
  EXPECT_EQ(table->GetChild(u"x", found), uint32_t(MVERR_NOSUCHTABLE));
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(LastText(MVERR_NOSUCHTABLE), u"Table does not exist. No child table called \"x\" in table \"T\"");
  EXPECT_EQ(table->GetChild(u"..", found), uint32_t(MVERR_NOSUCHTABLE));
  EXPECT_EQ(LastText(MVERR_NOSUCHTABLE), u"Table does not exist. No parent for table \"T\"");
  TmvAbstractServerObject::Free(table);

  auto* unnamed = TmvAbstractServerObject::Create<TmvServerRootTable>(folder, String(), omReadWrite, smExclusive,
                                                                      tsTempUnnamed);
  EXPECT_EQ(unnamed->Name().rfind(u" UnnamedTable_", 0), 0u);
  TmvAbstractServerObject::Free(unnamed);
}

TEST_F(Tables, AFailedCreateLeavesNoFile) {
  auto dict = People();
  dict->GetFilesDescriptor()->AddFile(u"blb", mvbs4k, u"Second");
  std::filesystem::create_directory(disk.File("T.blb"));  // the second file cannot be made
  EXPECT_NE(Build(folder, u"T", dict.get()), 0u);
  EXPECT_FALSE(disk.Exists("T.mv1"));
  EXPECT_EQ(folder->sfFindTable(u"T"), nullptr);
}

TEST_F(Tables, SpecialFieldsOnInsertAndModify) {
  auto dict = People();
  TmvFieldsDescriptor* f = dict->GetFieldsDescriptor();
  f->AddField(u"REV", u"", mvtRecRev, 0, 0, false);
  f->AddField(u"REF", u"", mvtRefNr, 0, 0, false);
  f->AddField(u"MLSN", u"", mvtInt64, 0, 0, false)
      ->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass)
      ->SetApplyOnModify(true);
  f->AddField(u"ILSN", u"", mvtInt64, 0, 0, false)
      ->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass)
      ->SetApplyOnModify(false);
  ASSERT_EQ(Build(folder, u"T", dict.get()), 0u);
  TmvServerRootTable* table = Open(folder, u"T");
  ASSERT_NE(table, nullptr);
  TmvFieldsDescriptor* fields = table->FieldsDescriptor();
  const auto record = [&] {
    std::vector<uint8_t> r(size_t(fields->RecordLength()) + 4, 0);
    fields->InitRecord(r.data());
    return r;
  };
  const auto get64 = [&](const std::vector<uint8_t>& r, int32_t aField) {
    int64_t v = 0;
    bool isNull = false;
    fields->GetRecordField(aField, r.data(), isNull, &v);
    return isNull ? int64_t(-1) : v;
  };
  const auto rev = [&](const std::vector<uint8_t>& r) {
    uint32_t v = 0;
    bool isNull = false;
    fields->GetRecordField(4, r.data(), isNull, &v);
    return isNull ? int64_t(-1) : int64_t(v);
  };
  // Insert without an LSN source.
  std::vector<uint8_t> stored = record();
  table->sbtPrepareInsert(stored.data(), nullptr);
  EXPECT_EQ(get64(stored, 6), 1);
  EXPECT_EQ(get64(stored, 7), 1);
  EXPECT_EQ(rev(stored), 0);
  EXPECT_EQ(get64(stored, 5), -1);  // RefNr null

  // Modify: the revision 7 becomes 8; a changed one is refused.
  const uint32_t seven = 7;
  fields->SetRecordField(4, stored.data(), &seven);
  std::vector<uint8_t> changed = stored;
  table->sbtPrepareModify(stored.data(), changed.data(), 1, false, [](TmvLSN& aLSN) {
    aLSN = 40;
    return true;
  });
  EXPECT_EQ(rev(changed), 8);
  EXPECT_EQ(get64(changed, 6), 40);
  EXPECT_EQ(get64(changed, 7), 1);
  EXPECT_EQ(get64(changed, 5), 1);
  std::vector<uint8_t> stale = stored;
  const uint32_t six = 6;
  fields->SetRecordField(4, stale.data(), &six);
  EXPECT_EQ(RaisedCode([&] { table->sbtPrepareModify(stored.data(), stale.data(), 1, false, nullptr); }),
            uint32_t(MVERR_RECCHANGEDBYOTHER));
  // A changed RefNr.
  std::vector<uint8_t> moved = stored;
  const int64_t two = 2;
  fields->SetRecordField(5, moved.data(), &two);
  String text;
  EXPECT_EQ(RaisedCode([&] { table->sbtPrepareModify(stored.data(), moved.data(), 1, false, nullptr); }, &text),
            uint32_t(MVERR_INVALIDMODIFYREQUEST));
  EXPECT_NE(text.find(u"Invalid modify request. RefNr has changed.\r\nExpected: [1]\r\nFound: [2]"), String::npos)
      << UTF8Encode(text);
  TmvAbstractServerObject::Free(table);
}

}  // namespace
