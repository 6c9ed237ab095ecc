// Tests of the in-process engine component: its budget, properties,
// configuration, sessions, transitions and the cleanup of inactive folders
// and tables.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "ServerEngineTestSupport.h"
#include "server/tables/TableTestSupport.h"
#include "dictionary/items/mvsdDictionaryItem.h"
#include "foundation/mvllStreams.h"
#include "storage/files/mvsrFaultFileSystem.h"
#include "storage/transactions/mvsrCommit.h"

namespace {

TEST(ServerEngineBudget, AutomaticBlockCacheAndTemporaryStorage) {
  EXPECT_EQ(TmvServerEngine::seAutoMaxRAM(16384), 13108);
  EXPECT_EQ(TmvServerEngine::seAutoMaxRAM(4096), 2048);
  EXPECT_EQ(TmvServerEngine::seAutoMaxRAM(1024), 512);
  struct Case {
    int32_t budget;
    bool ok;
    uint64_t available;
    int64_t maxFile;
    int32_t size;
  } cases[] = {
      {100, true, 100ull * 3145728 * 100, INT64_MAX, 1000},      // 10 x budget
      {100, true, 30ull * 3145728, INT64_MAX, 30},               // the free space
      {100, true, 100ull * 3145728 * 100, 7ll * 3145728, 7},     // the largest file
      {100, false, 100ull * 3145728 * 100, INT64_MAX, 0},        // the query failed
  };
  for (const Case& c : cases)
    EXPECT_EQ(TmvServerEngine::seAutoTempStoreSize(c.budget, c.ok, c.available, c.maxFile), c.size);
}

struct ServerEngine : EngineTest {};

TEST_F(ServerEngine, TheTemporaryFolderAndTheDerivedSizes) {
  engine->SetTempStorePath(u" \t ");
  EXPECT_EQ(engine->TempFolder(), GetTempPath());
  engine->SetTempStorePath(u"  /some/where\n");
  EXPECT_EQ(engine->TempFolder(), u"/some/where");
  engine->SetTempStorePath(String());

  engine->SetMaxRAM(0);  // automatic, as -1
  engine->SetActive(true);
  EXPECT_GT(engine->EffectiveMaxRAM(), 0);
  EXPECT_NE(engine->BufferManager(), nullptr);
  engine->SetActive(false);
  EXPECT_EQ(engine->BufferManager(), nullptr);

  engine->SetMaxRAM(1);  // used as 1 MB; the block cache has its own minimum
  engine->SetTempStoreSize(-1);
  TmvFaultFileSystem faults;
  mvSetFileSystem(&faults);
  faults.FailAt(fopStatFs, 1, EIO);
  engine->SetActive(true);
  EXPECT_EQ(engine->EffectiveMaxRAM(), 1);
  EXPECT_EQ(engine->EffectiveTempStoreSize(), 0);
  engine->SetActive(false);
  engine->SetActive(true);  // the query answers now
  EXPECT_EQ(engine->EffectiveTempStoreSize(), 10);  // 10 x the budget
  engine->SetActive(false);
  mvSetFileSystem(nullptr);
}

TEST_F(ServerEngine, SettersOfARunningEngineAreRefused) {
  String text;
  EXPECT_EQ(RaisedCode([&] { engine->SetTableExtension(String()); }), 10042u);
  EXPECT_EQ(engine->GetTableExtension(), u"mv1");
  engine->SetTableExtension(u"mv2");
  engine->SetActive(true);
  engine->SetMaxRAM(16);  // unchanged: no check
  try {
    engine->SetMaxRAM(32);
    ADD_FAILURE() << "no refusal";
  } catch (const EmvComponentException& e) {
    EXPECT_NE(e.Message().find(u"This component must be inactive when performing this operation."), String::npos);
  }
  EXPECT_THROW(engine->SetOptions(0), EmvComponentException);  // always checked
  EXPECT_THROW(engine->SetServerName(u"x"), EmvComponentException);
  EXPECT_EQ(engine->GetMaxRAM(), 16);
}

TEST_F(ServerEngine, ConfigurationOptionsInBothForms) {
  TestConfiguration config;
  config.values[u"NewOptionsLogic"] = Variant(int32_t(1));
  config.values[u"Options"] = Variant(int32_t(288));
  config.values[u"ServerName"] = Variant(String(u"Main"));
  engine->LoadConfig(&config);
  EXPECT_EQ(engine->GetOptions(), mvEngineOption(seoIsSecure) | mvEngineOption(seoKeepSessionStats));
  EXPECT_EQ(engine->GetServerName(), u"Main");

  TestConfiguration legacy;
  legacy.values[u"OptionsCount"] = Variant(int32_t(1));
  legacy.values[u"Options1"] = Variant(String(u"seoReadOnly"));
  engine->LoadConfig(&legacy);
  EXPECT_EQ(engine->GetOptions(), mvEngineOption(seoReadOnly));
  legacy.values[u"Options1"] = Variant(String(u"ReadOnly"));  // not an enumeration name
  engine->LoadConfig(&legacy);
  EXPECT_EQ(engine->GetOptions(), 0);

  // Saving blanks the old numbered keys and writes both forms.
  TestConfiguration saved;
  saved.values[u"OptionsCount"] = Variant(int32_t(3));
  saved.values[u"Options3"] = Variant(String(u"seoInMemOnly"));
  engine->SetOptions(mvEngineOption(seoForceFailSafe) | mvEngineOption(seoVerifyTableNames));
  engine->SaveConfig(&saved);
  EXPECT_EQ(saved.values[u"Options1"].AsString(), u"seoForceFailSafe");
  EXPECT_EQ(saved.values[u"Options2"].AsString(), u"seoVerifyTableNames");
  EXPECT_EQ(saved.values[u"Options3"].AsString(), u"");
  EXPECT_EQ(saved.values[u"OptionsCount"].AsInteger(), 2);
  EXPECT_EQ(saved.values[u"Options"].AsInteger(), 2 + 64);
  EXPECT_EQ(saved.values[u"NewOptionsLogic"].AsInteger(), 1);
  TmvServerEngine other(nullptr);
  other.LoadConfig(&saved);
  EXPECT_EQ(other.GetOptions(), engine->GetOptions());
  EXPECT_EQ(other.GetMaxRAM(), 16);
}

TEST_F(ServerEngine, SettingsStream) {
  engine->SetName(u"E");  // the stream names its component
  engine->SetServerName(u"S");
  engine->SetOptions(mvEngineOption(seoInMemOnly));
  engine->SetTempStorePath(u"/tmp/x");
  TmvMemoryStream stream;
  {
    TmvWriter writer(stream);
    engine->SaveSettingsToStream(&writer);
  }
  TmvServerEngine copy(nullptr);
  copy.SetName(u"E");
  stream.SetPosition(0);
  {
    TmvReader reader(stream);
    copy.LoadSettingsFromStream(&reader);
  }
  EXPECT_EQ(copy.GetServerName(), u"S");
  EXPECT_EQ(copy.GetOptions(), mvEngineOption(seoInMemOnly));
  EXPECT_EQ(copy.GetTempStorePath(), u"/tmp/x");
  EXPECT_EQ(copy.GetMaxRAM(), 16);
  EXPECT_EQ(copy.GetTempStoreSize(), 0);

  TmvMemoryStream other;
  {
    TmvWriter writer(other);
    engine->TmvBaseServerEngine::SaveSettingsToStream(&writer);
    writer.WriteInteger(2);
  }
  other.SetPosition(0);
  TmvReader reader(other);
  String text;
  EXPECT_EQ(RaisedCode([&] { copy.LoadSettingsFromStream(&reader); }, &text), 15498u);
  EXPECT_EQ(text, u"Incompatible stream");
}

TEST_F(ServerEngine, SessionsOfASecureOrStoppedEngineOrAfterAFatalError) {
  TmvAbstractSession* session = nullptr;
  try {
    engine->SessionOpen(session, u"u", u"p", String(), 0);
    ADD_FAILURE() << "no refusal";
  } catch (const EmvComponentException& e) {
    EXPECT_NE(e.Message().find(u"This component must be started when performing this operation."), String::npos);
  }
  engine->SetOptions(mvEngineOption(seoIsSecure));
  engine->SetActive(true);
  EXPECT_EQ(engine->SessionOpen(session, u"u", u"p", String(), 0), 10036u);
  EXPECT_EQ(LastText(10036), u"Unknown user name or password.");
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(engine->SessionCount(), 0);
  engine->SetActive(false);
  engine->SetOptions(0);
  engine->SetActive(true);
  mvFatalError = true;
  EXPECT_EQ(engine->SessionOpen(session, u"u", u"p", String(), 0), 15443u);
  EXPECT_EQ(LastText(15443).find(u"A fatal error has occurred."), 0u);
  mvClearFatalErrorForTesting();
  EXPECT_EQ(engine->SessionOpen(session, u"u", u"p", String(), 0), 0u);
  EXPECT_EQ(session->GetClientVersion(), 47501);
}

TEST_F(ServerEngine, StoppingLetsTheSqlEngineGoFirstAndStartsAgain) {
  OpenSession();
  EXPECT_EQ(sql->GetState(), mvsStarted);  // started first, as a dependency
  engine->SetActive(false);
  EXPECT_EQ(sql->shutdowns, 1);
  EXPECT_EQ(sql->sessionsAtShutdown, 1);  // the sessions were still there
  EXPECT_EQ(engine->SessionCount(), 0);
  EXPECT_NE(OpenSession(), nullptr);  // and again in the same process
  EXPECT_EQ(engine->SessionCount(), 1);
}

TEST_F(ServerEngine, ALinkedSqlEngineThatGoesTakesTheEngineDown) {
  engine->SetActive(true);
  delete sql;
  sql = nullptr;
  EXPECT_EQ(engine->GetState(), mvsInactive);
  EXPECT_EQ(engine->GetSqlEngine(), nullptr);
}

TEST_F(ServerEngine, DisplayValuesStatisticsAndNames) {
  const bool saved = mvDisable30900LocaleFixes;
  mvDisable30900LocaleFixes = false;
  EXPECT_EQ(engine->GetDisplayOnlyValue(u"ActiveOptions"), u"SecureServer, MV_PROTECT_SERVER_ON_CRITICAL_ERROR");
  mvDisable30900LocaleFixes = true;
  EXPECT_EQ(engine->GetDisplayOnlyValue(u"ActiveOptions"),
            u"SecureServer, MV_PROTECT_SERVER_ON_CRITICAL_ERROR, Disable30900LocaleFixes");
  mvDisable30900LocaleFixes = saved;
  EXPECT_EQ(engine->GetDisplayOnlyValue(u"ServerEngine Version"), engine->GetVersion());

  std::vector<String> captions, values;
  engine->GetStatsCaptions(captions);
  engine->GetStatsValues(values);  // placeholders without a block cache
  EXPECT_EQ(captions.size(), values.size());
  EXPECT_EQ(captions[0], u"Uptime");
  EXPECT_NE(std::find(captions.begin(), captions.end(), u"Inactive Tables"), captions.end());

  engine->SetName(u"Engine1");
  EXPECT_EQ(engine->AliasHandler()->GetName(), u"Engine1_AliasHandler");
  EXPECT_EQ(engine->AliasHandler()->GetDisplayName(), u"Aliases");
}

// ---------------------------------------------------------------------------
// The cleanup of inactive folders and tables, with real folders (in memory,
// or the scratch folder for persistent tables) and real tables.

struct Cleanup : table_test::TableTest {
  void TearDown() override {
    FreeFolders();
    EXPECT_EQ(engine->FolderCount(), 0);
    EXPECT_EQ(engine->TableCount(), 0);
    TableTest::TearDown();
  }
  TmvServerFolder* NewFolder() {
    TmvServerFolder* folder = Folder(u"#f" + IntToStr(int64_t(folders.size())));
    folders.push_back(folder);
    return folder;
  }
  // A persistent table of the scratch folder, open.
  TmvServerRootTable* NewTable() {
    TmvServerFolder* folder = Folder(disk.Path());
    const String name = u"t" + IntToStr(int64_t(tables.size()));
    EXPECT_EQ(Build(folder, name), 0u);
    TmvServerRootTable* table = Open(folder, name);
    tables.push_back(table);
    return table;
  }
  // Joins the engine's inactive list as if it had been idle that long.
  void MakeInactive(TmvServerFolder* aFolder, TDateTime aIdleDays) {
    table_test::gClockShift = -aIdleDays;
    aFolder->sfUpdateInactive();
    table_test::gClockShift = 0;
  }
  // A cursor came and went: the table joins the list (a table already on
  // it keeps its place and its time).
  void MakeInactive(TmvServerRootTable* aTable, TDateTime aIdleDays) {
    table_test::gClockShift = -aIdleDays;
    table_test::TableCursor(nullptr, aTable, omReadOnly, smShared);
    table_test::gClockShift = 0;
  }
  // Keeps a folder active: a global temporary table stays in memory.
  TmvServerRootTable* KeepActive(TmvServerFolder* aFolder) {
    TmvServerRootTable* table = nullptr;
    auto people = table_test::People();
    EXPECT_EQ(aFolder->sfCreateRootTable(u"##keep" + IntToStr(int64_t(kept++)), tsTempGlobal, people.get(), false,
                                         String(), table),
              0u);
    return table;
  }
  // Whether the member still lives (by handle).
  template <typename T>
  bool Alive(T* aMember) {
    const TmvBaseID handle = handles.count(aMember) ? handles[aMember] : 0;
    T* found = nullptr;
    return handle != 0 && TmvAbstractServerObject::LookupByID(0, handle, found) == 0;
  }
  void Remember() {
    for (auto* f : folders) handles[f] = f->GetRemoteID();
    for (auto* t : tables) handles[t] = t->GetRemoteID();
  }

  std::vector<TmvServerFolder*> folders;
  std::vector<TmvServerRootTable*> tables;
  std::map<void*, TmvBaseID> handles;
  int kept = 0;
};

constexpr TDateTime kHour = 1.0 / 24.0;

TEST_F(Cleanup, FoldersAreFreedWhenOldOrTooMany) {
  for (int i = 0; i < 17; ++i) MakeInactive(NewFolder(), 0);  // idle for a moment only
  Remember();
  engine->seCleanupInactive();
  EXPECT_FALSE(Alive(folders[0]));  // the oldest goes: one above 16
  EXPECT_EQ(engine->InactiveFolderCount(), 16);
  EXPECT_EQ(engine->FolderCount(), 16);

  // The list again, the oldest first: folder 1 idle for 17 hours, folder 2
  // for 15, the others a moment.
  for (int i = 1; i < 17; ++i) engine->seInactiveFolderRemove(folders[size_t(i)]);
  MakeInactive(folders[1], 17 * kHour);
  MakeInactive(folders[2], 15 * kHour);
  for (int i = 3; i < 17; ++i) MakeInactive(folders[size_t(i)], 0);
  engine->seCleanupInactive();
  EXPECT_FALSE(Alive(folders[1]));
  EXPECT_TRUE(Alive(folders[2]));  // the next oldest is not old enough: the tick ends
  EXPECT_EQ(engine->InactiveFolderCount(), 15);

  // Three hours later folder 2 is old enough, but it turned active
  // meanwhile: it only leaves the list.
  KeepActive(folders[2]);
  table_test::gClockShift = 3 * kHour;
  engine->seCleanupInactive();
  table_test::gClockShift = 0;
  EXPECT_TRUE(Alive(folders[2]));
  EXPECT_FALSE(folders[2]->InInactiveList());
  EXPECT_EQ(engine->InactiveFolderCount(), 14);
}

TEST_F(Cleanup, TablesAreFreedWhenOldOrTooManyAndUnused) {
  for (int i = 0; i < 260; ++i) MakeInactive(NewTable(), 0);
  Remember();
  engine->seCleanupInactive();
  EXPECT_EQ(engine->InactiveTableCount(), 256);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(Alive(tables[size_t(i)]));

  // The list again, the oldest first: table 4 idle for 21 hours, table 5
  // for 19, the others a moment.
  MakeInactive(tables[4], 21 * kHour);  // already listed: its place and time stay
  EXPECT_EQ(engine->InactiveTableCount(), 256);
  for (int i = 4; i < 260; ++i) engine->seInactiveTableRemove(tables[size_t(i)]);
  MakeInactive(tables[4], 21 * kHour);
  MakeInactive(tables[5], 19 * kHour);
  for (int i = 6; i < 260; ++i) MakeInactive(tables[size_t(i)], 0);
  engine->seCleanupInactive();
  EXPECT_FALSE(Alive(tables[4]));
  EXPECT_TRUE(Alive(tables[5]));

  // Two hours later table 5 is old enough, but someone holds it (its
  // counter raised): it only leaves the list.
  tables[5]->sbtLockIsInactive = 1;
  table_test::gClockShift = 2 * kHour;
  engine->seCleanupInactive();
  table_test::gClockShift = 0;
  EXPECT_TRUE(Alive(tables[5]));
  EXPECT_FALSE(tables[5]->InInactiveList());
  tables[5]->sbtLockIsInactive = 0;
  // A cursor takes a table out of the list.
  table_test::TableCursor cursor(nullptr, tables[6], omReadOnly, smShared);
  EXPECT_FALSE(tables[6]->InInactiveList());
  EXPECT_EQ(tables[6]->RootCursorCount(), 1);
}

TEST_F(Cleanup, ABusyFolderListEndsTheTickAtOnce) {
  for (int i = 0; i < 20; ++i) MakeInactive(NewFolder(), 30 * kHour);
  TmvServerRootTable* table = NewTable();
  MakeInactive(table, 30 * kHour);
  Remember();
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    engine->FoldersPadlock()->Lock();
    held = true;
    while (!release) std::this_thread::yield();
    engine->FoldersPadlock()->Unlock();
  });
  while (!held) std::this_thread::yield();
  engine->seCleanupInactive();
  EXPECT_EQ(engine->InactiveFolderCount(), 20);
  EXPECT_EQ(engine->InactiveTableCount(), 1);
  release = true;
  holder.join();

  // A busy table list of the folder ends the tables' part.
  TmvServerFolder* tablesFolder = table->Folder();
  KeepActive(tablesFolder);  // keeps the folder, and so its table's list
  tablesFolder->LockTables();
  std::thread([&] { engine->seCleanupInactive(); }).join();
  tablesFolder->UnlockTables();
  EXPECT_TRUE(Alive(table));
  EXPECT_EQ(engine->InactiveTableCount(), 1);
  engine->seCleanupInactive();
  EXPECT_FALSE(Alive(table));
}

TEST_F(Cleanup, TheLastSessionClosingFreesInactiveTablesThenFolders) {
  engine->SetOptions(mvEngineOption(seoCloseAllWhenInactive));
  TmvServerFolder* idle = NewFolder();
  TmvServerRootTable* read = NewTable();
  TmvServerFolder* busy = read->Folder();
  KeepActive(busy);
  table_test::TableCursor closable(nullptr, read, omReadOnly, smShared, true);
  folders.push_back(busy);
  Remember();
  TmvServerSession* session = OpenSession();
  EXPECT_EQ(session->Close(), 0u);
  EXPECT_FALSE(Alive(idle));
  EXPECT_TRUE(Alive(busy));
  // Its table was freed once its cursor had been asked to close.
  EXPECT_EQ(closable.closeRequests, 1);
  EXPECT_FALSE(Alive(read));
}

TEST_F(Cleanup, CloseInactiveTablesRetriesWhileAFolderIsBusy) {
  TmvServerRootTable* table = NewTable();
  TmvServerFolder* folder = table->Folder();
  Remember();
  TmvServerSession* session = OpenSession();
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    folder->LockTables();
    held = true;
    while (!release) std::this_thread::yield();
    folder->UnlockTables();
  });
  while (!held) std::this_thread::yield();
  EXPECT_EQ(session->CloseInactiveTables(), 0u);  // busy to the end still answers 0
  EXPECT_TRUE(Alive(table));
  release = true;
  holder.join();
  EXPECT_EQ(session->CloseInactiveTables(), 0u);
  EXPECT_FALSE(Alive(table));
  EXPECT_EQ(session->Close(), 0u);
}

}  // namespace
