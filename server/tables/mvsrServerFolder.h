// Server engine: a database folder of the in-process engine (unit
// mvsrServerFolder).
//
// A `TmvServerFolder` stands for one database directory, or one in-memory
// database (a path that is empty or begins with "#", or the engine's
// in-memory option). The engine keeps one folder per canonical path (case
// matters: on Linux two spellings are two folders); every database a
// session opens on the path shares it. The folder owns the open root tables
// of the directory, its transaction manager (storage's
// TmvServerTransactionMgr: the next LSN and "mvTrans.cfg", which the folder
// holds open for writing while it lives, so that a second process finds the
// folder read-only), and carries out the operations on whole table files:
// build, delete, empty, exists, get dictionary, list, unique name, rename.
// It also decides when it or its tables are inactive, so that the engine's
// cleanup can close them.
//
// Table names: a table "T" is the file "T.mv1" of the folder (the engine's
// table extension; further files of a table add their own extensions). A
// name is found on disk without regard to letter case, the exact spelling
// first; open tables are listed by name without regard to case. A name that
// holds "/" would reach outside the folder: it is refused before any file
// is touched. Deleting or renaming takes each file's exclusive share lock
// first (Linux lets a process delete or rename a file another one holds):
// a file another process holds refuses the whole operation, and nothing is
// changed.
//
// Every operation answers an engine error code (exceptions are converted);
// extenders hear of builds, deletes, empties and renames before (and may
// veto) and after.
//
// Threads: the engine's folder padlock guards the engine's folder list; the
// databases padlock the database list; the tables padlock the table list and
// every table operation (lock order: engine folders, databases, tables,
// then a table's own locks; the engine's inactive lists last and briefly).
// The cleanup only ever tries the tables padlock. Calls the tables, the
// engine's lists, storage's files, transaction manager and file helpers.
#pragma once

#include <atomic>

#include "foundation/mvllFastStringList.h"
#include "server/mvsdAbstractDatabase.h"
#include "server/mvsdServerObjects.h"

class TmvServerEngine;
class TmvServerRootTable;
class TmvServerDatabase;
class TmvServerTransactionMgr;
class TmvDataDictionary;

class TmvServerFolder : public TmvLockedOptionsExtendableServerObject {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // aPath: the canonical folder path with a trailing "/", or an in-memory
  // name. Establishes the next LSN (may turn the folder read-only) and joins
  // the engine's folder list under its folder padlock; a path already there
  // raises the list's duplicate error.
  TmvServerFolder(TmvServerEngine* aServerEngine, const String& aPath, bool aIsCache);
  // Leaves the engine's lists, frees the open tables (the last first; the
  // failure of one is logged and the others still go) and writes
  // "mvTrans.cfg".
  ~TmvServerFolder() override;

  // The engine's folder count, in and out.
  void AfterConstruction() override;
  void BeforeDestruction() override;
  TmvBaseServerEngine* GetServerEngine() override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  // No database registered and every open table inactive (cursors asked to
  // close with aRequestClose). A busy table list counts as active.
  virtual bool sfIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose);
  // Frees the inactive tables: 0, or 10241 when the table list is busy.
  virtual uint32_t sfCloseInactiveTables();
  // Joins the engine's inactive-folder list when no database is registered,
  // no temporary table is open and the folder is inactive; else leaves it.
  void sfUpdateInactive();

  // The table operations.
  uint32_t sfTableBuild(bool aOverWrite, const String& aTableName, TmvTableScope aTableScope,
                        TmvDataDictionary* aDictionary, bool aForServer, const String& aPassword);
  uint32_t sfTableDelete(const String& aTableName, const TmvUnicodeStrings& aPasswords, bool aForServer);
  uint32_t sfTableEmpty(const String& aTableName, const TmvUnicodeStrings& aPasswords, bool aForServer);
  // 0 when it exists, else 8712 "Could not find object." (private temporary
  // tables do not exist for others).
  uint32_t sfTableExists(const String& aTableName);
  uint32_t sfTableGetDictionary(const String& aTableName, const TmvUnicodeStrings& aPasswords, String& aPassword,
                                bool& aFileIsLink, TmvDataDictionary* aDict, bool aForServer);
  uint32_t sfTableGetList(TStrings* aList);
  uint32_t sfTableMakeUniqueName(const String& aBaseName, String& aTableName);
  uint32_t sfTableRename(const String& aOldName, const String& aNewName, const TmvUnicodeStrings& aPasswords,
                         bool aForServer);
  // A new root table of the folder, its files created (tables padlock held
  // by the caller or taken here).
  uint32_t sfCreateRootTable(const String& aTableName, TmvTableScope aTableScope, TmvDataDictionary* aDictionary,
                             bool aForServer, const String& aPassword, TmvServerRootTable*& aTable);

  // The open tables; the tables padlock held.
  TmvServerRootTable* sfFindTable(const String& aTableName);
  int32_t TableCount();
  TmvServerRootTable* Table(int32_t aIndex);
  // Frees the table when it is inactive and nobody else holds it (the
  // tables padlock held): true when it went.
  bool sfFreeIfIdle(TmvServerRootTable* aTable, bool aIgnoreKeepInMemory, bool aRequestClose);
  // Used by the tables themselves: join, leave, change the name (padlock
  // taken here).
  void sfAddTable(TmvServerRootTable* aTable);
  void sfRemoveTable(TmvServerRootTable* aTable);
  void sfRenameTable(TmvServerRootTable* aTable, const String& aNewName);

  // The file of table aBaseName with extension aExtension: its full name as
  // expected, and as found on disk (another spelling of the same name when
  // only that exists; the expected one when none does).
  String sfFileName(const String& aBaseName, const String& aExtension) const;
  String sfFileOnDisk(const String& aBaseName, const String& aExtension) const;

  // The databases on the folder (they join and leave under the padlock).
  TmvPadlock* DatabasesPadlock() { return &sfDatabasesPadlock; }
  void sfAddDatabase(TmvServerDatabase* aDatabase);
  void sfRemoveDatabase(TmvServerDatabase* aDatabase);
  TmvServerDatabase* FirstDatabase() const { return sfDatabasesHead; }
  int32_t DatabaseCount() const { return sfDatabaseCount.load(std::memory_order_acquire); }

  void LockTables();
  void UnlockTables();
  bool TryLockTables();
  TmvPadlock* TablesPadlock() { return &sfTablesPadlock; }

  TmvServerEngine* ServerEngine() const { return sfServerEngine; }
  const String& Path() const { return sfPath; }
  bool IsCache() const { return sfIsCache; }
  bool InMemOnly() const { return sfInMemOnly; }
  bool ReadOnly() const { return sfReadOnly; }
  bool ForceFailSafe() const { return sfForceFailSafe; }
  TmvServerTransactionMgr* TransManager() const { return stTransManager; }
  // When the folder joined the engine's inactive list, and whether it is
  // on it (both under the engine's inactive-folder padlock).
  TDateTime InactiveSince() const { return sfInactiveSince; }
  bool InInactiveList() const { return sfInServerEngineInactiveFolders; }

  // The journal check has run (under the databases padlock).
  bool sfJournalChecked = false;
  // Temporary tables open: while above 0 the folder is not inactive.
  std::atomic<int32_t> sfInMemoryCount{0};
  // Raised after every build, delete and rename.
  std::atomic<uint32_t> sfStructureGeneration{0};

 protected:
  // Set by the engine as the folder joins its inactive list (under the
  // engine's inactive-folder padlock).
  TDateTime sfInactiveSince = 0;

 private:
  friend class TmvServerEngine;
  // The checks every operation starts with: 10501 on a read-only folder
  // (when aWrites), 10039 for an empty name or one that leaves the folder.
  uint32_t CheckName(const String& aTableName);
  // Deletes, or renames to aNewName, every file of the table aTableName
  // whose dictionary is aDict (nil: the main file only).
  uint32_t DeleteFiles(const String& aTableName, TmvDataDictionary* aDict);
  uint32_t RenameFiles(const String& aOldName, const String& aNewName, TmvDataDictionary* aDict);
  // The names of the files of a table (file 0 first).
  std::vector<String> FileNames(const String& aTableName, TmvDataDictionary* aDict) const;
  const String& TableExtension() const;

  TmvServerEngine* sfServerEngine;
  String sfPath;
  bool sfInMemOnly;
  bool sfReadOnly;
  TmvServerTransactionMgr* stTransManager = nullptr;
  bool sfForceFailSafe;
  TmvPadlock sfDatabasesPadlock;
  TmvServerDatabase* sfDatabasesHead = nullptr;
  TmvServerDatabase* sfDatabasesTail = nullptr;
  std::atomic<int32_t> sfDatabaseCount{0};
  TmvPadlock sfTablesPadlock;
  TmvFastStringListIC sfTables{dupError};
  bool sfInServerEngineInactiveFolders = false;
  TmvServerFolder* sfServerEngineInactiveFoldersPrev = nullptr;
  TmvServerFolder* sfServerEngineInactiveFoldersNext = nullptr;
  bool sfLockedIncDone = false;
  bool sfIsCache;
  bool sfDestroying = false;
};

// Whether a persistent table may have this name: not empty, no path,
// extension or wildcard (none of " * . / : < > ? \ |).
bool mvIsPlainTableName(const String& aName);
