// Server engine: the open tables of a folder (unit mvsrServerTable).
//
// A `TmvServerRootTable` is one table file set in a folder (or, for a
// temporary table, blocks that live in the block cache only); its nested
// tables are `TmvServerBaseTable` children stored inside the root's files,
// one per table descriptor of the parent's dictionary. Every table holds
// the sub-engines that keep its records, BLOBs, indexes, auto-increment
// values and full text, its lock container (mvsrTableLockContainer.h) and
// the cursors registered on it; a root table also holds the files, the
// stored dictionary, the stream engine of the named streams and, as its
// `TmvRootTableLocks` part, the transaction links with the commit padlock
// and the content portal.
//
// Files: the main file is the folder joined with the table name and the
// engine's table extension; file i > 0 adds the extension of file
// descriptor i. A name is found on disk without regard to case (the exact
// spelling first) and the table takes the spelling it found. A file's ID is
// its device and inode: a file copied from elsewhere has other IDs than its
// dictionary records, and the dictionary then gets the new IDs and a new
// GUID (written back unless the table is read-only).
//
// Lifetime: a root table is made by its folder (or a database) with its
// files created or opened right away, lives in the folder's table list and
// is freed when inactive, deleted, emptied, renamed or when the folder
// goes; while no cursor uses a persistent table it is in the engine's
// inactive-table list. Children live and die with their root. The engine
// counts every root table.
//
// Threads: the folder's tables padlock guards the folder's list and the
// name; the cursor list has its own padlock; the inactivity counter is
// atomic; the link lists are the lock part's. Calls storage (files, cache,
// dictionary, sub-engines), the lock containers and the engine's lists.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "foundation/mvllFastStringList.h"
#include "server/mvsdAbstractDatabase.h"
#include "server/mvsdServerObjects.h"
#include "server/transactions/mvsrRootTableLocks.h"
#include "server/transactions/mvsrTableLockContainer.h"
#include "storage/cache/mvsrBlockAccess.h"

class TmvServerEngine;
class TmvServerFolder;
class TmvServerRootTable;
class TmvServerDataDict;
class TmvBaseFile;
class TmvBaseTableDescriptor;
class TmvFieldsDescriptor;
class TmvBaseStreamEngine;
class TmvBaseRecordEngine;
class TmvBaseBlobEngine;
class TmvBaseAutoIncEngine;
class TmvBaseIndicesEngine;
class TmvBaseFulltextTableEngine;
struct TmvSpecialFieldsInfo;

// Where a record's LSNs come from on insert and modify: the cursor's next
// LSN (false: the cursor has none, outside a transaction).
using TmvNextLSNSource = std::function<bool(TmvLSN& aLSN)>;

// Opening tables for recovery builds no index engines: the recovery sets
// this flag of its thread while it opens the table.
extern thread_local bool mvOpeningTableForRecovery;

class TmvServerBaseTable : public TmvLockedOptionsExtendableServerObject {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // A child of aParent (a root's children are made with the root as
  // parent); aOwner is the server object the table hangs under (the folder
  // for a root). The name is the table's name in its parent.
  TmvServerBaseTable(TmvExtendableServerObject* aOwner, TmvServerBaseTable* aParent, const String& aName,
                     TmvBaseTableDescriptor* aTableDescriptor);
  // Frees the children and the engines. Requires: no cursor left, the
  // inactivity counter at 0 (both faults are logged).
  ~TmvServerBaseTable() override;

  // The root's name, or the parent's full name, ":" and this name.
  virtual String FullName();
  // Resolves "a:b:.." below this table: "" is the table itself, "." stays,
  // ".." goes up; 0 or 10024 with a text naming the missing part.
  uint32_t GetChild(const String& aChildName, TmvServerBaseTable*& aTable);
  // The LSN of the main file as aTrans sees it.
  TmvLSN sbtCurrentLSN(TmvBaseTransaction* aTrans);

  // Special fields, kept before a record is written (cache tables keep
  // none). Insert: both LSN fields the next LSN (1 without a source), a null
  // record revision 0, the RefNr field null. Modify (aFound: an insert that
  // found its record modifies it; the new values start from the stored
  // ones): the RefNr may not change (9996), the record revision and the
  // LSNs must be as stored (10259); the revision grows by one, the
  // modify-LSN takes the next LSN. Raise on failure.
  void sbtPrepareInsert(uint8_t* aRecord, const TmvNextLSNSource& aNextLSN);
  void sbtPrepareModify(const uint8_t* aOldRecord, uint8_t* aNewRecord, TmvRefNr aRefNr, bool aFound,
                        const TmvNextLSNSource& aNextLSN);

  // The BLOB and record engines of this table and its children drop what
  // they cached for aTrans; the lock containers let it go.
  void sbtRollback(TmvBaseTransaction* aTrans);
  void sbtEndTransaction(TmvBaseTransaction* aTrans);

  // The cursors registered on the table (the table cursor registers and
  // unregisters itself); the root counts those of its children too.
  virtual void sbtAddCursor(TmvLockingCursor* aCursor);
  virtual void sbtRemoveCursor(TmvLockingCursor* aCursor);
  int32_t CursorCount();
  // A copy of the cursor list, for the share-mode check.
  std::vector<TmvLockingCursor*> Cursors();
  // Asks every cursor of the table and its children to close (true when
  // none is left afterwards).
  bool sbtRequestCloseCursors();

  TmvBaseServerEngine* GetServerEngine() override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  TmvServerRootTable* Root() const { return sbtRoot; }
  TmvServerBaseTable* Parent() const { return sbtParent; }
  const String& NameInScope() const { return sbtNameInScope; }
  TmvBaseTableDescriptor* TableDescriptor() const { return sbtTableDescriptor; }
  TmvFieldsDescriptor* FieldsDescriptor() const { return sbtFieldsDescriptor; }
  int32_t ChildCount() const { return int32_t(sbtChildren.size()); }
  TmvServerBaseTable* Child(int32_t aIndex) const { return sbtChildren[size_t(aIndex)]; }
  bool IsCache();
  TmvBaseRecordEngine* RecordEngine() const { return sbtRecordEngine; }
  TmvBaseBlobEngine* BlobEngine() const { return sbtBlobEngine; }
  TmvBaseAutoIncEngine* AutoIncEngine() const { return sbtAutoIncEngine; }
  TmvBaseIndicesEngine* IndicesEngine() const { return sbtIndicesEngine; }
  TmvBaseIndicesEngine* InternalIndicesEngine() const { return sbtInternalIndicesEngine; }
  TmvBaseFulltextTableEngine* FulltextEngine() const { return sbtFulltextEngine; }
  // Guards the cursor list (the cursors' request-close handlers too).
  TmvPadlock* CursorsPadlock() { return &sbtCursorsPadlock; }
  const TmvBlockAccessArray& BlockAccesses() const { return sbtBlockAccess; }

  // Raised by whoever is about to test and perhaps free the table; while it
  // is above the count a test expects, the table stays.
  std::atomic<int32_t> sbtLockIsInactive{0};
  // The table's read, write and record locks.
  TmvTableLockContainer sbtLocks;

 protected:
  friend class TmvServerRootTable;
  // Block accesses over the root's files, the record layout, the engines
  // (in aTrans for a new table) and the children, recursively.
  void sbtOpenParts(TmvBaseTransaction* aTrans);
  // The children, the engines and the block accesses, in that order.
  void sbtCloseParts();

  TmvServerRootTable* sbtRoot;
  TmvServerBaseTable* sbtParent;
  std::vector<TmvServerBaseTable*> sbtChildren;  // owned
  TmvFastStringListIC sbtChildNames{dupError};
  String sbtNameInScope;
  TmvPadlock sbtCursorsPadlock;
  std::vector<TmvLockingCursor*> sbtCursors;
  TmvBaseTableDescriptor* sbtTableDescriptor;
  TmvFieldsDescriptor* sbtFieldsDescriptor;
  TmvSpecialFieldsInfo* sbtSFI = nullptr;  // one reference
  TmvBlockAccessArray sbtBlockAccess;      // owned
  TmvBaseAutoIncEngine* sbtAutoIncEngine = nullptr;
  TmvBaseRecordEngine* sbtRecordEngine = nullptr;
  TmvBaseBlobEngine* sbtBlobEngine = nullptr;
  TmvBaseIndicesEngine* sbtIndicesEngine = nullptr;
  TmvBaseIndicesEngine* sbtInternalIndicesEngine = nullptr;
  TmvBaseFulltextTableEngine* sbtFulltextEngine = nullptr;
};

class TmvServerRootTable : public TmvServerBaseTable, public TmvRootTableLocks {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // Joins the folder's table list (under its tables padlock; a temporary
  // table counts in the folder's in-memory count). Without a name the table
  // is " UnnamedTable_<object number>_<n>".
  TmvServerRootTable(TmvServerFolder* aFolder, const String& aName, TmvOpenMode aOpenMode, TmvShareMode aShareMode,
                     TmvTableScope aTableScope);
  // Leaves the folder's list and the engine's inactive list, closes the
  // files.
  ~TmvServerRootTable() override;

  // The engine's table count, in and out.
  void AfterConstruction() override;
  void BeforeDestruction() override;

  // Creates the files in aTrans from aDictionary, with aPasswords (an
  // encryption engine is chosen when the dictionary names none), as
  // aTableName (empty for unnamed result tables). 0 or an error code; on
  // failure the files are closed and a persistent table's files deleted.
  uint32_t srtCreate(TmvBaseTransaction* aTrans, const TmvUnicodeStrings& aPasswords, const String& aTableName,
                     TmvFileAttributes aAttributes, TmvDataDictionary* aDictionary, bool aForServer);
  // Opens the files (aTrans may be nil): aIsReadOnly tells whether they may
  // only be read. 10024 " Error opening files for root table \"T\"" when a
  // file cannot be opened; the files are closed on any failure.
  uint32_t srtOpenFiles(TmvBaseTransaction* aTrans, const TmvUnicodeStrings& aPasswords, bool& aIsReadOnly,
                        TmvFileAttributes aAttributes, bool aForServer);
  // Frees the engines and closes and frees every file (the errors of one
  // are logged, the others still close).
  void srtCloseFiles();
  // 0, or the answer of the main file's encryption: 10763 (read only) or
  // 10015 (wrong password).
  uint32_t srtCheckPasswords(const TmvUnicodeStrings& aPasswords);
  // Re-keys every file.
  uint32_t ChangePassword(TmvBaseTransaction* aTrans, const String& aNewPassword);

  // Inactive: no links, no snapshot blocks, the counter at
  // aExpectedLockCount, kept in memory only when aIgnoreKeepInMemory, no
  // cursor (each asked to close with aRequestClose), the commit padlock free.
  virtual bool srtIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose, int32_t aExpectedLockCount);

  // Registration also counts for the root; the first cursor takes a table
  // out of the engine's inactive list, the last one puts a persistent table
  // in.
  void srtCursorAdded();
  void srtCursorRemoved();

  String FullName() override { return srtName; }
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  // The lock part's hooks.
  String rtlFullName() override { return FullName(); }
  String rtlTransLinkKey() override;
  bool rtlIsTempUnnamed() override { return srtTableScope == tsTempUnnamed; }
  void rtlEndTransaction(TmvBaseTransaction* aTrans) override { sbtEndTransaction(aTrans); }
  void rtlRollback(TmvBaseTransaction* aTrans) override { sbtRollback(aTrans); }

  TmvServerFolder* Folder() const { return srtFolder; }
  const String& Name() const { return srtName; }
  TmvServerDataDict* Dictionary() const { return srtDictionary; }
  TmvBaseStreamEngine* StreamEngine() const { return srtStreamEngine; }
  TmvTableScope TableScope() const { return srtTableScope; }
  TmvOpenMode OpenMode() const { return srtOpenMode; }
  TmvShareMode ShareMode() const { return srtShareMode; }
  bool FileIsLink() const { return srtFileIsLink; }
  bool ForServer() const { return srtForServer; }
  int32_t FileCount() const { return int32_t(srtFiles.size()); }
  TmvBaseFile* File(int32_t aIndex) const { return srtFiles[size_t(aIndex)]; }
  // The password the table can be re-created with (empty: not encrypted).
  String ExtractPassword();
  int32_t RootCursorCount() const { return srtCursorCount.load(std::memory_order_acquire); }
  TDateTime InactiveSince() const { return srtInactiveSince; }
  bool InInactiveList() const { return srtInServerEngineInactiveTables; }
  // The name as the folder knows it; the folder renames under its tables
  // padlock (the dictionary's base name too, when it had the same name).
  void srtSetName(const String& aName);
  // The name a database knows a private table by (its folder name stays
  // generated) and its dictionary's base name.
  void srtSetNameInScope(const String& aName);

 protected:
  // Set by the engine as the table joins its inactive list (under the
  // engine's inactive-table padlock).
  TDateTime srtInactiveSince = 0;

 private:
  friend class TmvServerEngine;
  TmvServerEngine* Engine() const;
  // One file object of the table-file class with the table's settings.
  TmvBaseFile* NewFile(int32_t aIndex, const String& aName, TmvFileAttributes aAttributes);
  // The name on disk of file aIndex (found ignoring case; the expected name
  // when none is there).
  String DiskFileName(int32_t aIndex, const String& aBaseName);
  // Closes the files and, for a persistent table, deletes them (a failed
  // create).
  void DropCreatedFiles();
  // The file IDs compared with the dictionary's; true when one changed.
  bool CheckFileIDs();
  // Writes the dictionary back in aTrans, or in a transaction of its own.
  void RewriteDictionary(TmvBaseTransaction* aTrans);
  // The table takes the spelling of the file name on disk.
  void TakeDiskSpelling(const String& aDiskName);

  TmvServerFolder* srtFolder;
  bool srtForServer = false;
  TmvTableScope srtTableScope;
  String srtName;
  TmvOpenMode srtOpenMode;
  TmvShareMode srtShareMode;
  std::atomic<int32_t> srtCursorCount{0};
  bool srtLockedIncDone = false;
  bool srtInServerEngineInactiveTables = false;
  TmvServerRootTable* srtServerEngineInactiveTablesPrev = nullptr;
  TmvServerRootTable* srtServerEngineInactiveTablesNext = nullptr;
  int32_t srtSnapshotBlockCount = 0;
  std::vector<TmvBaseFile*> srtFiles;  // owned
  bool srtFileIsLink = false;
  TmvServerDataDict* srtDictionary;    // owned
  TmvBaseStreamEngine* srtStreamEngine = nullptr;  // owned
};

// The ID a table records for a file: its device and inode ("" for a
// temporary file); a copy of the file has another one.
String mvTableFileID(TmvBaseFile* aFile);
