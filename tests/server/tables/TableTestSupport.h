// Test support of the folders, tables and databases: a scratch folder, a
// file system without write-through whose syncs do not reach the disk (for
// tests that build many tables), cursors registered on a table, the sample
// "people" dictionary without indexes, a clock the engine's inactive lists
// can be aged with, and a fixture with an engine that has its block cache.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "server/ServerEngineTestSupport.h"
#include "server/mvsdPadlockGuard.h"
#include "server/tables/mvsrServerDatabase.h"
#include "server/tables/mvsrServerFolder.h"
#include "server/tables/mvsrServerTable.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "storage/files/mvsrFaultFileSystem.h"
#include "storage/header/mvsrServerDataDict.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/records/mvseRecordEngine.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "support/mvPeopleTable.h"

namespace table_test {

// A folder of its own for a test, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mvsr-tables-XXXXXX").string();
    fPath = std::filesystem::canonical(::mkdtemp(pattern.data())).string();
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::permissions(fPath, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(fPath, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // The folder as the engine keys it: canonical, with a trailing "/".
  String Path() const { return UTF8ToString(fPath + "/"); }
  std::string File(const std::string& aName) const { return fPath + "/" + aName; }
  bool Exists(const std::string& aName) const { return std::filesystem::exists(File(aName)); }

 private:
  std::string fPath;
};

// Writes go to the disk without waiting for it: no write-through, and syncs
// that count but do not reach the disk. Crash safety is the commit tests'
// concern; here tables are built by the hundred.
class FastFileSystem : public TmvFaultFileSystem {
 public:
  FastFileSystem() { SimulateSyncs(true); }
  int Open(const std::string& aPath, int aFlags, mode_t aMode) override {
    return TmvFaultFileSystem::Open(aPath, aFlags & ~(O_DSYNC | O_SYNC), aMode);
  }
};

// A cursor registered on a table while it lives; one that may close lets
// go of the table when asked to.
class TableCursor : public TmvAbstractServerObject, public TmvLockingCursor {
 public:
  TableCursor(TmvAbstractSession* aSession, TmvServerBaseTable* aTable, TmvOpenMode aOpenMode,
              TmvShareMode aShareMode, bool aClosable = false)
      : TmvAbstractServerObject(aSession), table(aTable), closable(aClosable) {
    lcOpenMode = aOpenMode;
    lcShareMode = aShareMode;
    if (table) table->sbtAddCursor(this);
  }
  ~TableCursor() override {
    if (table) table->sbtRemoveCursor(this);
  }
  TmvAbstractServerObject* lcServerObject() override { return this; }
  void lcRequestClose() override {
    ++closeRequests;
    if (!closable || !table) return;
    table->sbtRemoveCursor(this);
    table = nullptr;
  }
  TmvServerBaseTable* table;
  bool closable;
  int closeRequests = 0;
};

// The sample table without indexes (the index engines come later).
inline std::unique_ptr<TmvDataDictionary> People() {
  return TPeopleTable::Dictionary<TmvDataDictionary>(u"Static", nullptr);
}

// A nested table aName of aParent with one Int32 field "N".
inline TmvNestedTableDescriptor* AddChild(TmvBaseTableDescriptor* aParent, const String& aName) {
  TmvNestedTableDescriptor* child = aParent->GetTablesDescriptor()->AddTable(aName);
  child->AddRecordDescriptor();
  child->GetFieldsDescriptor()->AddField(u"N", u"", mvtInt32, 0, 0, false);
  return child;
}

// Stores aCount people records in the table in one transaction of its own.
inline void InsertPeople(TmvServerRootTable* aTable, int32_t aCount, int32_t aFirstID = 1) {
  TmvFieldsDescriptor* fields = aTable->FieldsDescriptor();
  std::vector<uint8_t> record(size_t(fields->RecordLength()) + 4, 0);
  auto* trans = new TmvServerTransaction(aTable->Folder()->ServerEngine()->BufferManager(), nullptr, false, false,
                                         false);
  try {
    for (int32_t id = aFirstID; id < aFirstID + aCount; ++id) {
      TPeopleTable::Record(fields, id, record.data());
      TmvRefNr ref = 0;
      aTable->RecordEngine()->AddRecord(trans, ref, record.data());
    }
  } catch (...) {
    trans->Rollback();
    throw;
  }
  trans->Commit();
}

inline uint32_t RecordCount(TmvServerRootTable* aTable) {
  uint32_t count = 0;
  aTable->RecordEngine()->GetRecordCount(nullptr, count);
  return count;
}

// A clock the inactive lists are kept by: now, shifted by a test.
inline TDateTime gClockShift = 0;
inline TDateTime ShiftedNow() { return Now() + gClockShift; }

// An engine with its block cache (not started: no cleanup timer runs unless
// a test starts it), the fast file system, and a scratch folder.
class TableTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    mvSetFileSystem(&files);
    gClockShift = 0;
    engine->SetClock(&ShiftedNow);
    mvSetOperationDeadline(0, true);
  }
  void TearDown() override {
    FreeFolders();
    mvSetFileSystem(nullptr);
    EngineTest::TearDown();
  }
  // Initialised: the block cache exists; no session yet.
  void Initialise() {
    if (engine->GetState() == mvsInactive) engine->SetState(mvsStopped);
  }
  // Started: sessions may open (the cleanup timer runs every second).
  TmvServerSession* Session(const String& aUser = String()) {
    TmvServerSession* session = OpenSession(aUser);
    sessions.push_back(session);
    return session;
  }
  // A folder of the engine on aPath (a disk folder or "#name").
  TmvServerFolder* Folder(const String& aPath) {
    Initialise();
    TmvPadlockGuard guard(engine->FoldersPadlock());
    int32_t index;
    if (static_cast<TStringList*>(engine->Folders())->Find(aPath, index))
      return static_cast<TmvServerFolder*>(engine->Folders()->GetObject(index));
    return TmvAbstractServerObject::Create<TmvServerFolder>(engine, aPath, false);
  }
  // Builds aName with the people dictionary (or aDict) in aFolder.
  uint32_t Build(TmvServerFolder* aFolder, const String& aName, TmvDataDictionary* aDict = nullptr,
                 TmvTableScope aScope = tsPersistent, const String& aPassword = String()) {
    std::unique_ptr<TmvDataDictionary> people;
    if (!aDict) aDict = (people = People()).get();
    return aFolder->sfTableBuild(false, aName, aScope, aDict, false, aPassword);
  }
  // Opens a root table of the folder as a database would for writing.
  TmvServerRootTable* Open(TmvServerFolder* aFolder, const String& aName, uint32_t* aCode = nullptr,
                           TmvOpenMode aMode = omReadWrite, TmvShareMode aShare = smExclusive) {
    auto* table = TmvAbstractServerObject::Create<TmvServerRootTable>(aFolder, aName, aMode, aShare, tsPersistent);
    bool readOnly = false;
    const uint32_t code = table->srtOpenFiles(nullptr, {}, readOnly, 0, false);
    if (aCode) *aCode = code;
    if (code == 0) return table;
    TmvAbstractServerObject::Free(table);
    return nullptr;
  }
  void FreeFolders() {
    for (TmvAbstractSession* s : sessions) TmvAbstractServerObject::Free(s);
    sessions.clear();
    TmvPadlockGuard guard(engine->FoldersPadlock());
    while (engine->Folders()->Count() > 0)
      TmvAbstractServerObject::Free(
          static_cast<TmvServerFolder*>(engine->Folders()->GetObject(engine->Folders()->Count() - 1)));
  }

  FastFileSystem files;
  TempFolder disk;
  std::vector<TmvAbstractSession*> sessions;
};

}  // namespace table_test
