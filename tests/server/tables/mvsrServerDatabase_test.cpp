// Tests of the databases: opening one by path end to end (the folder, its
// transaction file, the journal check before the first table), the share
// modes of databases on a folder and of cursors on a table, table names
// with children, tables that can only be read, the stored table name, the
// statements and the free space.
#include <gtest/gtest.h>

#include <cerrno>
#include <sys/statvfs.h>

#include "server/tables/TableTestSupport.h"
#include "storage/transactions/mvsrCommit.h"

namespace {

using namespace table_test;

// The journal check of the default class, counted: the folders it ran for
// and how many tables were open in the engine at the time.
struct CheckRecord {
  String path;
  int32_t openTables;
};
std::vector<CheckRecord> gChecks;
TmvServerEngine* gCheckedEngine = nullptr;
const TmvJournalEngineClassRef* gRealJournal = nullptr;

void CountingCheck(const String& aAlias, const String& aPath) {
  gChecks.push_back({aPath, gCheckedEngine ? gCheckedEngine->TableCount() : -1});
  gRealJournal->Check(aAlias, aPath);
}

class Databases : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    gChecks.clear();
    gCheckedEngine = engine;
    gRealJournal = mvDefaultJournalEngineClass.load();
    counting = *gRealJournal;
    counting.Check = &CountingCheck;
    mvDefaultJournalEngineClass.store(&counting);
  }
  void TearDown() override {
    TableTest::TearDown();
    mvDefaultJournalEngineClass.store(gRealJournal);
    gCheckedEngine = nullptr;
  }
  // Opens a database on the scratch folder (by its path without the
  // trailing "/").
  TmvServerDatabase* Open(TmvServerSession* aSession, TmvOpenMode aMode, TmvShareMode aShare,
                          uint32_t* aCode = nullptr) {
    TmvAbstractDatabase* db = nullptr;
    String path = disk.Path();
    path.pop_back();
    const uint32_t code = aSession->DatabaseOpen(db, u"Path", path, nullptr, aMode, aShare, 0);
    if (aCode) *aCode = code;
    else EXPECT_EQ(code, 0u) << UTF8Encode(LastText(code));
    return static_cast<TmvServerDatabase*>(db);
  }
  TmvServerFolder* DiskFolder() { return Folder(disk.Path()); }
  // The people table with a nested table "qbrecord".
  std::unique_ptr<TmvDataDictionary> WithChild() {
    auto dict = People();
    AddChild(dict.get(), u"qbrecord");
    return dict;
  }
  uint32_t GetTable(TmvServerDatabase* aDb, const String& aName, TmvServerBaseTable*& aTable, bool& aReadOnly) {
    return aDb->sdGetTable(aTable, aName, String(), false, aReadOnly, false, false);
  }

  TmvJournalEngineClassRef counting{};
};

TEST_F(Databases, OpeningByPathRunsTheJournalCheckOnceBeforeAnyTable) {
  TmvServerSession* session = Session();
  TmvServerDatabase* first = Open(session, omReadWrite, smShared);
  ASSERT_NE(first, nullptr);
  String path;
  EXPECT_EQ(first->GetPath(path), 0u);
  EXPECT_EQ(path, disk.Path());  // the trailing "/" appended
  EXPECT_TRUE(disk.Exists("mvTrans.cfg"));
  ASSERT_EQ(gChecks.size(), 1u);
  EXPECT_EQ(gChecks[0].path, disk.Path());
  EXPECT_EQ(gChecks[0].openTables, 0);
  // The second database of the folder finds it checked.
  TmvServerDatabase* second = Open(Session(), omReadOnly, smShared);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->Folder(), first->Folder());
  EXPECT_EQ(gChecks.size(), 1u);
  // In memory there is nothing to check.
  TmvAbstractDatabase* memory = nullptr;
  EXPECT_EQ(session->DatabaseOpen(memory, u"Path", u"#mem", nullptr, omReadWrite, smShared, 0), 0u);
  EXPECT_EQ(gChecks.size(), 1u);
}

TEST_F(Databases, ShareModesOfDatabasesOnAFolder) {
  struct Mode {
    TmvOpenMode open;
    TmvShareMode share;
  };
  struct Case {
    std::vector<Mode> open;
    Mode request;
    uint32_t code;
  } cases[] = {
      {{{omReadWrite, smShared}, {omReadWrite, smShared}}, {omReadWrite, smExclusive}, MVERR_NEEDEXCLACCESS},
      {{{omReadWrite, smShared}, {omReadWrite, smShared}}, {omReadOnly, smShared}, 0},
      {{{omReadWrite, smExclusive}}, {omReadOnly, smShared}, MVERR_NEEDEXCLACCESS},
      {{{omReadOnly, smShareRead}}, {omReadWrite, smShared}, MVERR_NEEDEXCLACCESS},
      {{{omReadOnly, smShareRead}}, {omReadOnly, smShared}, 0},
      {{{omReadOnly, smShareRead}}, {omWriteOnly, smShared}, MVERR_NEEDEXCLACCESS},
      // A database that lets others only read meets no writer.
      {{{omReadWrite, smShared}}, {omReadOnly, smShareRead}, MVERR_NEEDEXCLACCESS},
      {{{omReadOnly, smShared}}, {omReadOnly, smShareRead}, 0},
      {{{omReadOnly, smShareRead}}, {omReadOnly, smShareRead}, 0},
      {{{omReadOnly, smShareRead}}, {omReadWrite, smShareRead}, MVERR_NEEDEXCLACCESS},
  };
  for (const Case& c : cases) {
    std::vector<TmvServerDatabase*> open;
    for (const Mode& m : c.open) open.push_back(Open(Session(), m.open, m.share));
    uint32_t code = 0;
    TmvServerDatabase* last = Open(Session(), c.request.open, c.request.share, &code);
    EXPECT_EQ(code, c.code) << c.open.size() << " " << int(c.request.open) << " " << int(c.request.share);
    EXPECT_EQ(last == nullptr, c.code != 0);
    FreeFolders();
  }
  // The effective mode: write-only writes and reads; a read-only engine
  // only reads.
  TmvServerDatabase* db = Open(Session(), omWriteOnly, smShared);
  EXPECT_EQ(db->sdOpenMode, omReadWrite);
  FreeFolders();
  gChecks.clear();
  engine->SetActive(false);
  engine->SetOptions(mvEngineOption(seoReadOnly));
  db = Open(Session(), omReadWrite, smExclusive);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->sdOpenMode, omReadOnly);
  EXPECT_TRUE(db->Folder()->ReadOnly());
  EXPECT_TRUE(gChecks.empty());  // a read-only folder is not recovered here
}

TEST_F(Databases, TableNamesRootsAndChildren) {
  ASSERT_EQ(Build(DiskFolder(), u"qbdb", WithChild().get()), 0u);
  TmvServerDatabase* db = Open(Session(), omReadWrite, smShared);
  TmvServerBaseTable* table = nullptr;
  bool readOnly = true;
  ASSERT_EQ(GetTable(db, u"qbdb:qbrecord", table, readOnly), 0u);
  ASSERT_NE(table, nullptr);
  EXPECT_FALSE(readOnly);
  EXPECT_EQ(table->FullName(), u"qbdb:qbrecord");
  EXPECT_EQ(table->Root()->OpenMode(), omReadWrite);
  EXPECT_EQ(table->Root()->ShareMode(), smExclusive);
  EXPECT_EQ(GetTable(db, u"qbdb:nothing", table, readOnly), uint32_t(MVERR_NOSUCHTABLE));
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(LastText(MVERR_NOSUCHTABLE), u"Table does not exist. No child table called \"nothing\" in table \"qbdb\"");
  EXPECT_EQ(GetTable(db, u"x", table, readOnly), uint32_t(MVERR_NOSUCHTABLE));
  EXPECT_EQ(LastText(MVERR_NOSUCHTABLE), u"Table does not exist. Root table \"x\" not found");
  // The child path is the root's; the cache mode must match.
  EXPECT_EQ(db->sdGetTable(table, u"qbdb", String(), false, readOnly, false, true), uint32_t(MVERR_FILEBUSY));
  EXPECT_EQ(LastText(MVERR_FILEBUSY), u"Table has conflicting cache mode");
}

TEST_F(Databases, ATableThatCannotBeWrittenOpensForReading) {
  ASSERT_EQ(Build(DiskFolder(), u"T"), 0u);
  TmvServerDatabase* db = Open(Session(), omReadWrite, smShared);
  // The system refuses the write open: the table is read and shared.
  files.FailAt(fopOpen, 1, EACCES);
  TmvServerBaseTable* table = nullptr;
  bool readOnly = false;
  ASSERT_EQ(GetTable(db, u"T", table, readOnly), 0u);
  EXPECT_TRUE(readOnly);
  EXPECT_EQ(table->Root()->OpenMode(), omReadOnly);
  EXPECT_EQ(table->Root()->ShareMode(), smShareRead);
  TmvAbstractCursor* cursor = nullptr;
  EXPECT_EQ(db->sdCursorOpen(cursor, u"T", String(), false, omReadWrite, smShared, false, 0, String(), 0, false, false),
            uint32_t(MVERR_TABLEREADONLY));
  EXPECT_EQ(LastText(MVERR_TABLEREADONLY), u"Table is read only.");
  // Reading passes every check: a read-only cursor.
  EXPECT_EQ(db->sdCursorOpen(cursor, u"T", String(), false, omReadOnly, smShared, false, 0, String(), 0, false, false),
            0u);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(static_cast<TmvSqlAbstractCursor*>(cursor)->OpenMode(), omReadOnly);
  TmvAbstractServerObject::Free(cursor);
  cursor = nullptr;
  // A read-only database writes nothing.
  TmvServerDatabase* reader = Open(Session(), omReadOnly, smShared);
  EXPECT_EQ(reader->sdCursorOpen(cursor, u"T", String(), false, omReadWrite, smShared, false, 0, String(), 0, false,
                                 false),
            uint32_t(MVERR_DBREADONLY));
}

TEST_F(Databases, AFileCopiedToAnotherNameIsRefusedWhenNamesAreVerified) {
  ASSERT_EQ(Build(DiskFolder(), u"b"), 0u);
  std::filesystem::copy_file(disk.File("b.mv1"), disk.File("a.mv1"));
  FreeFolders();
  engine->SetActive(false);
  engine->SetOptions(mvEngineOption(seoVerifyTableNames));
  TmvServerDatabase* db = Open(Session(), omReadWrite, smShared);
  TmvServerBaseTable* table = nullptr;
  bool readOnly = false;
  EXPECT_EQ(GetTable(db, u"a", table, readOnly), uint32_t(MVERR_INVALIDTABLENAME));
  EXPECT_EQ(LastText(MVERR_INVALIDTABLENAME), u"Table file name (\"a\") does not match actual table name (\"b\")");
  EXPECT_EQ(db->Folder()->sfFindTable(u"a"), nullptr);
  EXPECT_EQ(GetTable(db, u"B", table, readOnly), 0u);  // letter case does not count
  // Internal opens do not verify.
  EXPECT_EQ(db->sdGetTable(table, u"a", String(), false, readOnly, true, false), 0u);
}

TEST_F(Databases, CursorShareModes) {
  struct Existing {
    TmvOpenMode open;
    TmvShareMode share;
  };
  const Existing shR{omReadOnly, smShared}, shW{omReadWrite, smShared}, srR{omReadOnly, smShareRead},
      exR{omReadOnly, smExclusive};
  struct Case {
    std::vector<Existing> cursors;
    TmvOpenMode open;
    TmvShareMode share;
    uint32_t code;
  } cases[] = {
      {{}, omReadWrite, smExclusive, 0},
      {{shR}, omReadOnly, smExclusive, MVERR_NEEDEXCLACCESS},
      {{exR}, omReadOnly, smShared, MVERR_NEEDEXCLACCESS},
      {{shR, shR}, omReadOnly, smShareRead, 0},
      {{shR, shR, srR}, omReadWrite, smShareRead, MVERR_NEEDEXCLACCESS},
      {{shW}, omReadOnly, smShareRead, MVERR_NEEDEXCLACCESS},
      {{srR}, omReadOnly, smShareRead, 0},
      {{srR}, omReadWrite, smShared, MVERR_NEEDEXCLACCESS},
      {{srR}, omReadOnly, smShared, 0},
      {{shW, srR}, omReadWrite, smShared, 0},  // a shared writer ends the walk
      {{shR, srR}, omReadWrite, smShared, MVERR_NEEDEXCLACCESS},
  };
  for (const Case& c : cases) {
    std::vector<std::unique_ptr<TableCursor>> owned;
    std::vector<TmvLockingCursor*> cursors;
    for (const Existing& e : c.cursors) {
      owned.push_back(std::make_unique<TableCursor>(nullptr, nullptr, e.open, e.share));
      cursors.push_back(owned.back().get());
    }
    EXPECT_EQ(mvCheckCursorShareModes(cursors, c.open, c.share), c.code)
        << c.cursors.size() << " " << int(c.open) << " " << int(c.share);
  }
}

TEST_F(Databases, AConflictingCursorThatMayCloseIsAskedOnce) {
  ASSERT_EQ(Build(DiskFolder(), u"T"), 0u);
  TmvServerDatabase* db = Open(Session(), omReadWrite, smShared);
  TmvServerBaseTable* table = nullptr;
  bool readOnly = false;
  ASSERT_EQ(GetTable(db, u"T", table, readOnly), 0u);
  TmvAbstractCursor* cursor = nullptr;
  const auto exclusive = [&] {
    return db->sdCursorOpen(cursor, u"T", String(), false, omReadWrite, smExclusive, false, 0, String(), 0, false,
                            false);
  };
  {
    TableCursor busy(nullptr, table, omReadOnly, smShared);
    EXPECT_EQ(exclusive(), uint32_t(MVERR_NEEDEXCLACCESS));
    EXPECT_EQ(busy.closeRequests, 1);
    EXPECT_EQ(LastText(MVERR_NEEDEXCLACCESS), u"Object cannot be opened for exclusive use.");
  }
  TableCursor idle(nullptr, table, omReadOnly, smShared, true);
  EXPECT_EQ(exclusive(), 0u);  // every check passed
  EXPECT_EQ(idle.closeRequests, 1);
  EXPECT_EQ(table->CursorCount(), 1) << "only the new cursor";
  TmvAbstractServerObject::Free(cursor);
  EXPECT_EQ(table->CursorCount(), 0);
}

TEST_F(Databases, StatementsAndFreeSpace) {
  TmvServerDatabase* db = Open(Session(), omReadWrite, smShared);
  TmvAbstractCursor* cursor = nullptr;
  TmvStatementExecDirectPhase phase = sedFree;
  sql->prepareCode = 11013;
  EXPECT_EQ(db->StatementExecDirect(0, TmvStatementType(0), u"select", nullptr, nullptr, nullptr, cursor, omReadOnly,
                                    nullptr, nullptr, phase),
            11013u);
  EXPECT_EQ(phase, sedPrepare);
  sql->prepareCode = 0;
  EXPECT_EQ(db->StatementExecDirect(0, TmvStatementType(0), u"select", nullptr, nullptr, nullptr, cursor, omReadOnly,
                                    nullptr, nullptr, phase),
            0u);
  EXPECT_EQ(phase, sedFree);

  int64_t kb = 0;
  ASSERT_EQ(db->GetFreespace(kb), 0u);
  struct statvfs volume {};
  ASSERT_EQ(::statvfs(UTF8Encode(disk.Path()).c_str(), &volume), 0);
  const int64_t expected = int64_t(uint64_t(volume.f_bavail) * volume.f_frsize / 1024);
  EXPECT_NEAR(double(kb), double(expected), double(expected) / 100 + 1024);
  files.FailAt(fopStatFs, 1, EIO);
  EXPECT_EQ(db->GetFreespace(kb), uint32_t(MVERR_OSUNKNOWN));

  FreeFolders();
  engine->SetActive(false);
  engine->SetSqlEngine(nullptr);
  db = Open(Session(), omReadWrite, smShared);
  TmvAbstractStatement* statement = nullptr;
  EXPECT_EQ(db->StatementAlloc(statement, 0), uint32_t(MVERR_NOTSUPPORTED));
  EXPECT_EQ(LastText(MVERR_NOTSUPPORTED), u"An SQL Engine is required");
  EXPECT_EQ(db->StatementExecDirect(0, TmvStatementType(0), u"select", nullptr, nullptr, nullptr, cursor, omReadOnly,
                                    nullptr, nullptr, phase),
            uint32_t(MVERR_NOTSUPPORTED));
  EXPECT_EQ(phase, sedAlloc);
}

}  // namespace
