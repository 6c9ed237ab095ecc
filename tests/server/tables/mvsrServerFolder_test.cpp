// Tests of the folders: building over open tables, the answers of build,
// exists, delete, empty, rename, unique names and the list, names found
// without regard to case, names that would leave the folder, files another
// process holds, and the structure generation.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "dictionary/items/mvsdFileDescriptor.h"
#include "server/tables/TableTestSupport.h"
#include "storage/files/mvsrFileSystem.h"
#include "storage/records/mvseRecordEngine.h"

namespace {

using namespace table_test;

class Folders : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    folder = Folder(disk.Path());
  }
  // The people table with a second file, "<name>.blb".
  std::unique_ptr<TmvDataDictionary> TwoFiles() {
    auto dict = People();
    dict->GetFilesDescriptor()->AddFile(u"blb", mvbs4k, u"Second");
    return dict;
  }
  // Holds a file as another process would: its shared lock on a
  // description of its own.
  struct Holder {
    explicit Holder(const std::string& aPath) {
      handle = mvFileSystem().Open(aPath, O_RDONLY, 0);
      locked = handle >= 0 && mvFileSystem().Lock(handle, false) == 0;
    }
    ~Holder() {
      if (handle >= 0) mvFileSystem().Close(handle);
    }
    int handle;
    bool locked;
  };
  uint64_t FileCalls() {
    uint64_t calls = 0;
    for (int op = 0; op < mvFileOpCount; ++op) calls += files.Calls(TmvFileOp(op));
    return calls;
  }
  TmvServerFolder* folder = nullptr;
};

TEST_F(Folders, BuildingOverAnOpenTableAndOverAnExistingOne) {
  ASSERT_EQ(Build(folder, u"T"), 0u);
  EXPECT_TRUE(disk.Exists("T.mv1"));
  EXPECT_EQ(folder->TableCount(), 0);  // built and let go
  TmvServerRootTable* open = Open(folder, u"T");
  ASSERT_NE(open, nullptr);
  auto people = People();
  // An idle open table is closed and the build goes on.
  EXPECT_EQ(folder->sfTableBuild(true, u"T", tsPersistent, people.get(), false, String()), 0u);
  EXPECT_EQ(folder->sfFindTable(u"T"), nullptr);
  // A table with a cursor is in use.
  open = Open(folder, u"T");
  {
    TableCursor cursor(nullptr, open, omReadOnly, smShared);
    EXPECT_EQ(folder->sfTableBuild(true, u"T", tsPersistent, people.get(), false, String()),
              uint32_t(MVERR_TABLEOPEN));
    EXPECT_EQ(LastText(MVERR_TABLEOPEN), u"Table is open.");
  }
  EXPECT_EQ(Build(folder, u"T"), uint32_t(MVERR_TABLEEXISTS));
  EXPECT_EQ(LastText(MVERR_TABLEEXISTS), u"Table already exists.");
  EXPECT_EQ(Build(folder, u"a.b"), uint32_t(MVERR_INVALIDTABLENAME));
  EXPECT_EQ(Build(folder, String()), uint32_t(MVERR_INVALIDTABLENAME));
  // Temporary tables may have other names; in memory only.
  EXPECT_EQ(Build(folder, u"##a.b", nullptr, tsTempGlobal), 0u);
  EXPECT_FALSE(disk.Exists("##a.b.mv1"));
  EXPECT_NE(folder->sfFindTable(u"##a.b"), nullptr);
}

TEST_F(Folders, ReadOnlyAndInMemoryFoldersRefuseWhatTheyCannotKeep) {
  TmvServerFolder* memory = Folder(u"#mem");
  EXPECT_EQ(Build(memory, u"T"), uint32_t(MVERR_NOTSUPPORTED));
  EXPECT_EQ(LastText(MVERR_NOTSUPPORTED), u"TableScope tsPersistent is not supported for in-memory database");
  EXPECT_EQ(Build(memory, u"##T", nullptr, tsTempGlobal), 0u);
  EXPECT_EQ(memory->sfTableExists(u"##T"), 0u);
  EXPECT_EQ(memory->sfTableExists(u"T"), uint32_t(MVERR_OBJNOTFOUND));

  // A read-only engine's folders only read.
  TempFolder other;
  FreeFolders();
  engine->SetActive(false);
  engine->SetOptions(mvEngineOption(seoReadOnly));
  TmvServerFolder* reader = Folder(other.Path());
  EXPECT_TRUE(reader->ReadOnly());
  EXPECT_EQ(Build(reader, u"T"), uint32_t(MVERR_DBREADONLY));
  EXPECT_EQ(LastText(MVERR_DBREADONLY), u"Database is read only.");
  TmvServerRootTable* mine = nullptr;
  auto people = People();
  EXPECT_EQ(Build(reader, u"#T", nullptr, tsTempDatabase), uint32_t(MVERR_DBREADONLY));
  EXPECT_EQ(reader->sfCreateRootTable(u"#T", tsTempDatabase, people.get(), false, String(), mine), 0u);  // a database's own still may
  EXPECT_EQ(reader->sfCreateRootTable(u"##T", tsTempGlobal, people.get(), false, String(), mine),
            uint32_t(MVERR_DBREADONLY));
  EXPECT_EQ(reader->sfTableDelete(u"T", {}, false), uint32_t(MVERR_DBREADONLY));
  EXPECT_EQ(reader->sfTableRename(u"T", u"U", {}, false), uint32_t(MVERR_DBREADONLY));
  EXPECT_FALSE(other.Exists("mvTrans.cfg"));  // a read-only folder writes nothing
}

TEST_F(Folders, ExistsAndTheListFindNamesWithoutRegardToCase) {
  ASSERT_EQ(Build(folder, u"T"), 0u);
  ASSERT_EQ(Build(folder, u"QBDB"), 0u);
  std::filesystem::rename(disk.File("QBDB.mv1"), disk.File("QBDB.MV1"));
  for (const char16_t* name : {u"T", u"T.mv1", u"T.MV1", u"t", u"qbdb", u"QBDB.mv1", u"qbdb.Mv1"})
    EXPECT_EQ(folder->sfTableExists(name), 0u) << UTF8Encode(name);
  for (const char16_t* name : {u"U", u"", u"<T>", u"###T", u"##T", u"T.mv2"})
    EXPECT_EQ(folder->sfTableExists(name), uint32_t(MVERR_OBJNOTFOUND)) << UTF8Encode(name);
  // Private temporary tables exist for nobody else; global ones do.
  ASSERT_EQ(Build(folder, u"#mine", nullptr, tsTempDatabase), 0u);
  ASSERT_EQ(Build(folder, u"##ours", nullptr, tsTempGlobal), 0u);
  EXPECT_EQ(folder->sfTableExists(u"#mine"), uint32_t(MVERR_OBJNOTFOUND));
  EXPECT_EQ(folder->sfTableExists(u"##ours"), 0u);
  std::ofstream(disk.File("notes.txt")) << "x";
  TStringList list;
  EXPECT_EQ(folder->sfTableGetList(&list), 0u);
  EXPECT_EQ(list.GetText(), u"##ours\r\nQBDB\r\nT\r\n");
  // The unique name after T and T1 is T2.
  ASSERT_EQ(Build(folder, u"T1"), 0u);
  String unique;
  EXPECT_EQ(folder->sfTableMakeUniqueName(u"T", unique), 0u);
  EXPECT_EQ(unique, u"T2");
  EXPECT_EQ(folder->sfTableMakeUniqueName(u"V", unique), 0u);
  EXPECT_EQ(unique, u"V");
}

TEST_F(Folders, NamesThatLeaveTheFolderAreRefusedBeforeAnyFileIsTouched) {
  std::filesystem::create_directory(disk.File("sub"));
  files.Reset();
  TmvServerDataDict dict;
  String password;
  bool link = false;
  EXPECT_EQ(folder->sfTableExists(u"sub/T"), uint32_t(MVERR_OBJNOTFOUND));
  EXPECT_EQ(folder->sfTableExists(u"../T"), uint32_t(MVERR_OBJNOTFOUND));
  EXPECT_EQ(Build(folder, u"../T", nullptr, tsTempGlobal), uint32_t(MVERR_INVALIDTABLENAME));
  EXPECT_EQ(folder->sfTableDelete(u"sub/T", {}, false), uint32_t(MVERR_INVALIDTABLENAME));
  EXPECT_EQ(folder->sfTableEmpty(u"sub/T", {}, false), uint32_t(MVERR_INVALIDTABLENAME));
  EXPECT_EQ(folder->sfTableRename(u"T", u"sub/T", {}, false), uint32_t(MVERR_INVALIDTABLENAME));
  EXPECT_EQ(folder->sfTableRename(u"../T", u"T", {}, false), uint32_t(MVERR_INVALIDTABLENAME));
  EXPECT_EQ(folder->sfTableGetDictionary(u"sub/T", {}, password, link, &dict, false), uint32_t(MVERR_INVALIDTABLENAME));
  EXPECT_EQ(FileCalls(), 0u);
}

TEST_F(Folders, DeletingTables) {
  ASSERT_EQ(Build(folder, u"T", TwoFiles().get()), 0u);
  const uint32_t generation = folder->sfStructureGeneration;
  // A file another process holds refuses the delete: nothing goes.
  {
    Holder other(disk.File("T.blb"));
    ASSERT_TRUE(other.locked);
    EXPECT_EQ(folder->sfTableDelete(u"T", {}, false), uint32_t(MVERR_FILEDELETE));
    EXPECT_NE(LastText(MVERR_FILEDELETE).find(u"DeleteFile (\""), String::npos);
    EXPECT_TRUE(disk.Exists("T.mv1"));
    EXPECT_TRUE(disk.Exists("T.blb"));
  }
  EXPECT_EQ(folder->sfStructureGeneration, generation);
  EXPECT_EQ(folder->sfTableDelete(u"T", {}, false), 0u);
  EXPECT_FALSE(disk.Exists("T.mv1"));
  EXPECT_FALSE(disk.Exists("T.blb"));
  EXPECT_EQ(folder->sfStructureGeneration, generation + 1);
  EXPECT_EQ(folder->sfTableDelete(u"T", {}, false), uint32_t(MVERR_NOSUCHTABLE));

  // A table whose password nobody knows: its main file goes, all the same.
  ASSERT_EQ(Build(folder, u"Secret", nullptr, tsPersistent, u"pw"), 0u);
  EXPECT_EQ(folder->sfTableDelete(u"Secret", {}, false), 0u);
  EXPECT_FALSE(disk.Exists("Secret.mv1"));

  // A temporary table is only let go.
  ASSERT_EQ(Build(folder, u"##tmp", nullptr, tsTempGlobal), 0u);
  const uint32_t before = folder->sfStructureGeneration;
  EXPECT_EQ(folder->sfTableDelete(u"##tmp", {}, false), 0u);
  EXPECT_EQ(folder->sfFindTable(u"##tmp"), nullptr);
  EXPECT_EQ(folder->sfStructureGeneration, before);
}

TEST_F(Folders, RenamingTables) {
  ASSERT_EQ(Build(folder, u"T", TwoFiles().get()), 0u);
  ASSERT_EQ(Build(folder, u"Other"), 0u);
  const uint32_t generation = folder->sfStructureGeneration;
  EXPECT_EQ(folder->sfTableRename(u"T", u"Other", {}, false), uint32_t(MVERR_TABLEEXISTS));
  EXPECT_EQ(folder->sfTableRename(u"T", u"a.b", {}, false), uint32_t(MVERR_INVALIDTABLENAME));

  // The second file cannot be renamed: the first is renamed back.
  files.FailAt(fopRename, 2, EIO);
  EXPECT_EQ(folder->sfTableRename(u"T", u"U", {}, false), uint32_t(MVERR_FILERENAME));
  EXPECT_NE(LastText(MVERR_FILERENAME).find(u"RenameFile (from \""), String::npos);
  EXPECT_TRUE(disk.Exists("T.mv1") && disk.Exists("T.blb"));
  EXPECT_FALSE(disk.Exists("U.mv1") || disk.Exists("U.blb"));
  // A file another process holds refuses the rename: nothing moves.
  {
    Holder other(disk.File("T.mv1"));
    EXPECT_EQ(folder->sfTableRename(u"T", u"U", {}, false), uint32_t(MVERR_FILERENAME));
    EXPECT_TRUE(disk.Exists("T.mv1") && disk.Exists("T.blb"));
  }
  // A stray file of the new name is not overwritten.
  std::ofstream(disk.File("U.blb")) << "someone else's";
  EXPECT_EQ(folder->sfTableRename(u"T", u"U", {}, false), uint32_t(MVERR_FILERENAME));
  std::filesystem::remove(disk.File("U.blb"));
  EXPECT_EQ(folder->sfStructureGeneration, generation);

  EXPECT_EQ(folder->sfTableRename(u"T", u"U", {}, false), 0u);
  EXPECT_TRUE(disk.Exists("U.mv1") && disk.Exists("U.blb"));
  EXPECT_FALSE(disk.Exists("T.mv1") || disk.Exists("T.blb"));
  EXPECT_EQ(folder->sfStructureGeneration, generation + 1);
  TmvServerRootTable* renamed = Open(folder, u"U");
  ASSERT_NE(renamed, nullptr);

  // An open persistent table in use is not renamed; a temporary one is
  // renamed in memory.
  {
    TableCursor cursor(nullptr, renamed, omReadOnly, smShared);
    EXPECT_EQ(folder->sfTableRename(u"U", u"V", {}, false), uint32_t(MVERR_TABLEOPEN));
  }
  ASSERT_EQ(Build(folder, u"##a", nullptr, tsTempGlobal), 0u);
  EXPECT_EQ(folder->sfTableRename(u"##a", u"##b", {}, false), 0u);
  TmvServerRootTable* temp = folder->sfFindTable(u"##b");
  ASSERT_NE(temp, nullptr);
  EXPECT_EQ(temp->Name(), u"##b");
  EXPECT_EQ(temp->Dictionary()->GetBaseName(), u"##b");
}

TEST_F(Folders, EmptyingKeepsTheDictionaryAndThePassword) {
  ASSERT_EQ(Build(folder, u"T", nullptr, tsPersistent, u"pw"), 0u);
  {
    auto* table = TmvAbstractServerObject::Create<TmvServerRootTable>(folder, u"T", omReadWrite, smExclusive,
                                                                      tsPersistent);
    bool readOnly = false;
    ASSERT_EQ(table->srtOpenFiles(nullptr, {u"pw"}, readOnly, 0, false), 0u);
    EXPECT_EQ(table->Dictionary()->GetEncryptionEngine(), u"mv1xDefault");
    InsertPeople(table, 5);
    EXPECT_EQ(RecordCount(table), 5u);
    TmvAbstractServerObject::Free(table);
  }
  const uint32_t generation = folder->sfStructureGeneration;
  EXPECT_EQ(folder->sfTableEmpty(u"T", {u"pw"}, false), 0u);
  EXPECT_EQ(folder->sfStructureGeneration, generation + 2);  // a delete and a build
  auto* table = TmvAbstractServerObject::Create<TmvServerRootTable>(folder, u"T", omReadWrite, smExclusive,
                                                                    tsPersistent);
  bool readOnly = false;
  EXPECT_NE(table->srtOpenFiles(nullptr, {}, readOnly, 0, false), 0u);  // still encrypted
  ASSERT_EQ(table->srtOpenFiles(nullptr, {u"pw"}, readOnly, 0, false), 0u);
  EXPECT_EQ(table->ExtractPassword(), u"pw");
  EXPECT_EQ(RecordCount(table), 0u);
  EXPECT_EQ(table->Dictionary()->GetFieldsDescriptor()->FieldCount(), 4);
  EXPECT_EQ(table->Dictionary()->GetFieldsDescriptor()->FieldDescriptor(1)->GetName(), u"NAME");
  TmvAbstractServerObject::Free(table);
}

}  // namespace
