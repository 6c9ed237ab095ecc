// Database table operations: private and temporary tables by name, the
// database's refusals (read only, in use, existing names), renames that
// follow into the stored name, existence, dictionaries and lists, and the
// structure generation.
#include "server/cursors/TableCursorTestSupport.h"

namespace {

using namespace cursor_test;

class DatabaseTables : public CursorTest {
 protected:
  static bool Exists(TmvServerDatabase* aDb, const String& aName) {
    bool exists = false;
    EXPECT_EQ(aDb->TableExists(aName, String(), exists, false), 0u);
    return exists;
  }
  static bool Listed(TmvServerDatabase* aDb, const String& aName) {
    TStringList list;
    EXPECT_EQ(aDb->TableGetList(&list), 0u);
    return list.IndexOf(aName) >= 0;
  }
  static uint32_t BuildIn(TmvServerDatabase* aDb, const String& aName, bool aOverWrite = false) {
    return aDb->TableBuild(aOverWrite, aName, String(), People().get(), tsPersistent, false);
  }
};

TEST_F(DatabaseTables, PrivateTablesBelongToTheirDatabaseOnly) {
  TmvServerDatabase* mine = Database();
  TmvServerDatabase* other = Database();
  const uint32_t before = mine->StructureGeneration();
  ASSERT_EQ(BuildIn(mine, u"##x"), 0u);
  EXPECT_EQ(mine->StructureGeneration(), before + 1);
  EXPECT_TRUE(Exists(mine, u"##x"));
  EXPECT_TRUE(Listed(mine, u"##x"));
  EXPECT_FALSE(Exists(other, u"##x"));
  EXPECT_FALSE(Listed(other, u"##x"));
  EXPECT_EQ(BuildIn(mine, u"##x"), uint32_t(MVERR_TABLEEXISTS));
  // A cursor reads it under its own name; while it is open the table stays.
  TmvServerTableCursor* cursor = Open(mine, u"##x");
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->Table()->NameInScope(), u"##x");
  EXPECT_EQ(BuildIn(mine, u"##x", true), uint32_t(MVERR_TABLEOPEN));
  EXPECT_EQ(mine->TableDelete(u"##x", String()), uint32_t(MVERR_TABLEOPEN));
  Close(cursor);
  EXPECT_EQ(BuildIn(mine, u"##x", true), 0u);
  TmvServerDataDict dict;
  EXPECT_EQ(mine->TableGetDictionary(u"##x", String(), &dict), 0u);
  EXPECT_EQ(dict.GetFieldsDescriptor()->GetFieldCount(), People()->GetFieldsDescriptor()->GetFieldCount());
  EXPECT_EQ(mine->TableRename(u"##x", u"##y", String()), 0u);
  EXPECT_FALSE(Exists(mine, u"##x"));
  EXPECT_TRUE(Exists(mine, u"##y"));
  EXPECT_EQ(mine->TableDelete(u"##y", String()), 0u);
  EXPECT_FALSE(Exists(mine, u"##y"));
}

TEST_F(DatabaseTables, GlobalTemporaryTablesOutliveTheirCursors) {
  TmvServerDatabase* db = Database();
  for (const String name : {u"###x", u"<x>"}) {
    SCOPED_TRACE(UTF8Encode(name));
    ASSERT_EQ(db->TableBuild(false, name, String(), People().get(), tsPersistent, true), 0u);
    TmvServerTableCursor* cursor = Open(db, name);
    ASSERT_NE(cursor, nullptr);
    EXPECT_EQ(cursor->Table()->Root()->TableScope(), tsTempGlobal);
    Close(cursor);
    TmvPadlockGuard guard(DiskFolder()->TablesPadlock());
    EXPECT_NE(DiskFolder()->sfFindTable(name), nullptr);
    EXPECT_FALSE(std::filesystem::exists(disk.File(UTF8Encode(name))));
  }
}

TEST_F(DatabaseTables, InMemoryFoldersKeepPersistentTablesAsTemporaryOnes) {
  TmvAbstractDatabase* memory = nullptr;
  ASSERT_EQ(Session()->DatabaseOpen(memory, u"Path", u"#mem", nullptr, omReadWrite, smShared, 0), 0u);
  auto* db = static_cast<TmvServerDatabase*>(memory);
  ASSERT_EQ(BuildIn(db, u"T"), 0u);
  TmvServerTableCursor* cursor = Open(db, u"T");
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->Table()->Root()->TableScope(), tsTempGlobal);
}

TEST_F(DatabaseTables, RenamesFollowIntoTheStoredNameAndRefuseExistingNames) {
  TmvServerDatabase* db = Database();
  ASSERT_EQ(BuildIn(db, u"T"), 0u);
  ASSERT_EQ(BuildIn(db, u"Taken"), 0u);
  EXPECT_EQ(db->TableRename(u"T", u"Taken", String()), uint32_t(MVERR_TABLEEXISTS));
  const uint32_t before = db->StructureGeneration();
  ASSERT_EQ(db->TableRename(u"T", u"U", String()), 0u);
  EXPECT_EQ(db->StructureGeneration(), before + 1);
  EXPECT_FALSE(Exists(db, u"T"));
  TmvServerTableCursor* cursor = Open(db, u"U");
  ASSERT_NE(cursor, nullptr);
  TmvMemoryStream stream;
  ASSERT_EQ(cursor->sbcTableStreamRead(u"$TableName", &stream, true), 0u);
  stream.SetPosition(0);
  TmvReader reader(stream);
  EXPECT_EQ(reader.ReadString(), u"U");
}

TEST_F(DatabaseTables, RefusalsOfTheDatabase) {
  TmvServerDatabase* db = Database();
  ASSERT_EQ(BuildIn(db, u"T"), 0u);
  // In use.
  TmvServerTableCursor* cursor = Open(db, u"T");
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(db->TableDelete(u"T", String()), uint32_t(MVERR_TABLEOPEN));
  Close(cursor);
  // Read only.
  TmvAbstractDatabase* reading = nullptr;
  ASSERT_EQ(Session()->DatabaseOpen(reading, u"Path", disk.Path(), nullptr, omReadOnly, smShared, 0), 0u);
  auto* readOnly = static_cast<TmvServerDatabase*>(reading);
  EXPECT_EQ(BuildIn(readOnly, u"V"), uint32_t(MVERR_DBREADONLY));
  EXPECT_EQ(readOnly->TableDelete(u"T", String()), uint32_t(MVERR_DBREADONLY));
  EXPECT_EQ(readOnly->TableEmpty(u"T", String()), uint32_t(MVERR_DBREADONLY));
  EXPECT_EQ(readOnly->TableRename(u"T", u"V", String()), uint32_t(MVERR_DBREADONLY));
  EXPECT_TRUE(Exists(readOnly, u"T"));
  // Names and arguments.
  bool exists = true;
  EXPECT_EQ(db->TableExists(String(), String(), exists, false), 0u);
  EXPECT_FALSE(exists);
  EXPECT_EQ(db->TableGetDictionary(u"T", String(), nullptr), uint32_t(MVERR_INVALIDPARAM));
  EXPECT_EQ(db->TableDelete(u"T:child", String()), uint32_t(MVERR_INVALIDTABLENAME));
  EXPECT_EQ(db->TableDelete(u"Missing", String()) != 0, true);
  EXPECT_FALSE(Exists(db, u"T:missing"));
  // Emptied, still there.
  EXPECT_EQ(db->TableEmpty(u"T", String()), 0u);
  EXPECT_TRUE(Exists(db, u"T"));
}

}  // namespace
