// Server engine: a session's database on a folder (unit
// mvsrServerDatabase).
//
// `TmvServerDatabase` is what a session's DatabaseOpen makes: one session's
// view of one folder (mvsrServerFolder.h), sharing the session's
// transaction context. It resolves table names (a root table, "root:child"
// paths, and tables private to the database, kept in its table mapper),
// opens the root tables it needs (for writing and exclusively, else for
// reading and shared; read only in a read-only folder), enforces the open
// and share modes of cursors on a table, and allocates and runs statements
// through the engine's SQL engine. The first database of a folder that can
// be written runs the journal recovery of the folder once: a journal a
// crash left is replayed before any table of the folder opens.
//
// Opening a cursor makes a table cursor (mvsrServerTableCursor.h) after
// every check. Not here yet: freeing a cursor a failed direct execution
// returns (it stays with the caller), the changed-table report and the BLOB
// link handler, which work through cursors.
//
// Ownership: the database belongs to its session (the abstract layer); it
// owns its statements and its table mapper, whose tables it frees. Threads:
// public operations run under the session lock; inside, the folder's tables
// padlock, then the mapper's, then a table's cursor padlock. Calls the
// folder, the tables, the session's passwords, the SQL engine and storage's
// journal check.
#pragma once

#include <atomic>
#include <vector>

#include "foundation/mvllFastStringList.h"
#include "server/mvsdAbstractDatabase.h"

class TmvServerFolder;
class TmvServerSession;
class TmvServerBaseTable;
class TmvServerRootTable;
class TmvLockingCursor;
class TmvServerDatabaseCursorSourceContainer;

// The tables private to a database (scope tsTempDatabase): name ->
// TmvServerRootTable, names without regard to case. A database and the
// helper databases of its maintenance operations share one mapper, counted.
inline constexpr TGUID IID_ImvTableMapper{0x6A0E9C41, 0x2B7D, 0x4F19, {0x93, 0x5C, 0x0D, 0x84, 0xA1, 0x6F, 0x2E, 0x73}};

class ImvTableMapper : public IInterface {
 public:
  // Locks the mapper and gives its list; Unlock ends that.
  virtual TStrings* Lock() = 0;
  virtual void Unlock() = 0;
  virtual bool Contains(const String& aName) = 0;
  virtual TStrings* List() = 0;

 protected:
  ~ImvTableMapper() = default;
};

class TmvTableMapper : public TmvInterfacedObject, public ImvTableMapper {
 public:
  TmvTableMapper() = default;
  // Frees every table still in it.
  ~TmvTableMapper() override;

  int32_t QueryInterface(const TGUID& iid, void** obj) override { return TmvInterfacedObject::QueryInterface(iid, obj); }
  int32_t _AddRef() override { return TmvInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TmvInterfacedObject::_Release(); }

  TStrings* Lock() override;
  void Unlock() override;
  bool Contains(const String& aName) override;
  TStrings* List() override { return &tmMappings; }

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override;

 private:
  TmvPadlock tmPadlock;
  TmvFastStringListIC tmMappings{dupError};
};

class TmvServerDatabase : public TmvSqlAbstractDatabase {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // Joins the folder's database list; the first database of a folder that
  // is neither in memory nor read-only runs the journal recovery there.
  TmvServerDatabase(TmvServerSession* aSession, TmvAbstractTransContext* aTransContext, const String& aAlias,
                    TmvServerFolder* aFolder, uint32_t aTimeout, TmvOpenMode aOpenMode, TmvShareMode aShareMode);
  // Leaves the folder's list (the folder may then become inactive).
  ~TmvServerDatabase() override;

  // The public operations.
  uint32_t CursorOpen(TmvAbstractCursor*& aCursor, const String& aTableName, const String& aPassword,
                      TmvOpenMode aOpenMode, TmvShareMode aShareMode, uint32_t aTimeout, const String& aIndexName,
                      int32_t aIndexID, bool aAllowSystem, uint32_t aOpenOptions, uint32_t aFilterTimeout,
                      const uint32_t* aMarkedBlobs) override;
  uint32_t CursorCacheOpen(TmvAbstractCursor*& aCursor, const String& aTableName, const String& aPassword,
                           TmvOpenMode aOpenMode, TmvShareMode aShareMode, uint32_t aTimeout, const String& aIndexName,
                           int32_t aIndexID, bool aAllowSystem, uint32_t aOpenOptions, uint32_t aFilterTimeout) override;
  uint32_t StatementAlloc(TmvAbstractStatement*& aStatement, uint32_t aTimeout) override;
  uint32_t StatementExecDirect(uint32_t aTimeout, TmvStatementType aStatementType, const String& aQueryText,
                               TStream* aPrepareStream, TmvSqlParamList* aParams, TStream* aSetParamsStream,
                               TmvAbstractCursor*& aCursor, TmvOpenMode aOpenMode, TStream* aExecStream,
                               TStream* aGetParamsStream, TmvStatementExecDirectPhase& aPhase) override;
  uint32_t GetChangedTables(TStrings* aTables) override;
  // The free space of the folder's volume in KB; 11047 when it cannot be
  // asked.
  uint32_t GetFreespace(int64_t& aFreeSpace) override;
  uint32_t GetPath(String& aPath) override;
  uint32_t GetAlias(String& aAlias) override;
  // Wraps aSource (an ImvDatabaseCursorSource, else 9986) in a container at
  // the tail of the database's sources; aControl is its
  // ImvDatabaseCursorSourceControl, referenced for the caller. Under the
  // session lock: 8455 while another thread is inside the session.
  uint32_t RegisterCursorSource(IInterface* aSource, IInterface*& aControl) override;
  bool GetIsCache() override { return sdIsCache; }
  String sadGetAlias() override { return sdAlias; }

  // Table maintenance: build, delete, empty, rename, exists, dictionary and
  // list are here; the operations that need cursor operations or tasks
  // answer 12289 until those come.
  uint32_t TableBuild(bool aOverWrite, const String& aTableName, const String& aPassword,
                      TmvDataDictionary* aDictionary, TmvTableScope aTableScope, bool aAllowSystem) override;
  uint32_t TablePack(const String& aTableName, const String& aPassword, TmvAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableBackup(const String& aTableName, const String& aPassword, TmvAbstractDatabase* aTargetDatabase,
                       TmvAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableRebuildIndex(const String& aTableName, const String& aPassword, const String& aIndexName,
                             int32_t aIndexID, TmvAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableRestructure(const String& aTableName, const String& aPassword, TmvDataDictionary* aDictionary,
                            TmvBaseTableMapperDescriptor* aMapperDesc, bool aAllowSystem,
                            TmvAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableAddField(const String& aTableName, const String& aPassword, TmvFieldDescriptor* aFieldDesc) override;
  uint32_t TableAddIndex(const String& aTableName, const String& aPassword, TmvIndexDescriptor* aIndexDesc,
                         bool aNewDefault) override;
  uint32_t TableDropIndex(const String& aTableName, const String& aPassword, const String& aIndexName,
                          int32_t aIndexID) override;
  uint32_t TableRename(const String& aOldName, const String& aNewName, const String& aPassword) override;
  uint32_t TableRecover(const String& aTableName, const String& aPassword, TmvAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableVerifyChecksum(const String& aTableName, const String& aPassword, bool aRaw, bool aForceRecheck,
                               TmvAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableDelete(const String& aTableName, const String& aPassword) override;
  uint32_t TableEmpty(const String& aTableName, const String& aPassword) override;
  uint32_t TableChangePassword(const String& aTableName, const String& aOldPassword,
                               const String& aNewPassword) override;
  uint32_t TableExists(const String& aTableName, const String& aPassword, bool& aExists, bool aAllowSystem) override;
  uint32_t TableGetDictionary(const String& aTableName, const String& aPassword,
                              TmvDataDictionary* aDictionary) override;
  uint32_t TableGetList(TStrings* aList) override;
  uint32_t TableAutoIncGet(const String& aTableName, const String& aPassword, uint32_t& aValue) override;
  uint32_t TableStreamRead(const String& aTableName, const String& aPassword, const String& aStreamName,
                           TStream* aStream) override;
  uint32_t TableStreamWrite(const String& aTableName, const String& aPassword, const String& aStreamName,
                            TStream* aStream) override;
  uint32_t sdTableRebuildIndex(const String& aTableName, const String& aPassword, const String& aIndexName,
                               int32_t aIndexID, TmvAbstractTaskInfo*& aTaskInfo) override;
  uint32_t sdTableRestructure(const String& aTableName, const String& aPassword, TmvDataDictionary* aDictionary,
                              TmvBaseTableMapperDescriptor* aMapperDesc, TmvAbstractTaskInfo*& aTaskInfo) override;
  // Result tables need the table cursor: raises 12289 until it comes.
  TmvSqlAbstractCursor* sadCreateResultSet(TmvDataDictionary* aDictionary, uint32_t aTimeout) override;
  TmvIteratorResult sdIterateDictionaries(const TmvDictionaryIterator& aIterator, bool aAllowSystem,
                                          bool aIgnoreError, void* aCookie) override;
  void sadLockTables() override;
  void sadUnlockTables() override;
  // "<Folder>" is the folder.
  int32_t CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                            void** aInterface) override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  // The protected operations (the session lock held).
  // Everything a cursor open checks before the cursor is made: the modes,
  // the table, the share modes of the table's cursors (idle cursors asked
  // to close once); then the table cursor, which does not exist yet (12289).
  uint32_t sdCursorOpen(TmvAbstractCursor*& aCursor, const String& aTableName, const String& aPassword,
                        bool aForServer, TmvOpenMode aOpenMode, TmvShareMode aShareMode, bool aIgnoreExcl,
                        uint32_t aTimeout, const String& aIndexName, int32_t aIndexID, bool aInternal, bool aIsCache);
  // The table of a name ("root" or "root:child:..."), opened when needed:
  // aIsReadOnly when it may only be read. 10024 " Root table \"x\" not
  // found" for a missing root (" Error opening files for root table \"x\""
  // when its files exist but cannot be opened); 10039 when the stored name
  // differs (seoVerifyTableNames); 9221 for a conflicting cache mode.
  uint32_t sdGetTable(TmvServerBaseTable*& aTable, const String& aTableName, const String& aPassword,
                      bool aForServer, bool& aIsReadOnly, bool aInternal, bool aIsCache);
  // The session's passwords for the table, then aPassword.
  void sdBuildPasswords(const String& aTable, const String& aPassword, TmvUnicodeStrings& aPasswords);
  uint32_t sdStatementAlloc(TmvAbstractStatement*& aStatement, uint32_t aTimeout);
  uint32_t sdStatementExecDirect(uint32_t aTimeout, TmvStatementType aStatementType, const String& aQueryText,
                                 TStream* aPrepareStream, TmvSqlParamList* aParams, TStream* aSetParamsStream,
                                 TmvAbstractCursor*& aCursor, TmvOpenMode aOpenMode, TStream* aExecStream,
                                 TStream* aGetParamsStream, TmvStatementExecDirectPhase& aPhase);

  // The table operations under the session lock. Private tables (scope
  // tsTempDatabase, names beginning with exactly two "#") live in the
  // mapper; the rest go to the folder. Builds, deletes and renames of names
  // that do not begin with a space count as schema changes.
  uint32_t sdTableBuild(bool aOverWrite, const String& aTableName, TmvTableScope aTableScope,
                        TmvDataDictionary* aDictionary, const String& aPassword);
  uint32_t sdTableDelete(const String& aTableName, const String& aPassword);
  uint32_t sdTableEmpty(const String& aTableName, const String& aPassword);
  // Also writes the new name into the table's named stream "$TableName".
  uint32_t sdTableRename(const String& aOldName, const String& aNewName, const String& aPassword);
  // 0 when it exists, 8712 when not (a missing child included).
  uint32_t sdTableExists(const String& aTableName, const String& aPassword, bool aForServer);
  uint32_t sdTableGetDictionary(const String& aTableName, const String& aPassword, TmvDataDictionary* aDictionary);
  // Sorted, without duplicates; names the root-name check refuses (with
  // aAllowSystem) left out.
  uint32_t sdTableGetList(TStrings* aList, bool aAllowSystem);

  // Schema changes seen by this database (the folder's are taken over).
  uint32_t StructureGeneration();

  TmvServerFolder* Folder() const { return sdFolder; }
  ImvTableMapper* TableMapper() const { return sdTables.get(); }
  TmvServerSession* ServerSession() const;

  TmvServerDatabase* sdFolderPrev = nullptr;
  TmvServerDatabase* sdFolderNext = nullptr;
  // The registered cursor sources (mvsrDatabaseCursorSources.h), in order;
  // guarded by the session lock.
  TmvServerDatabaseCursorSourceContainer* sdCursorSourceHead = nullptr;
  TmvServerDatabaseCursorSourceContainer* sdCursorSourceTail = nullptr;

 private:
  // The folder's generation taken over, this database's counted up.
  void sdStructureChanged();

  String sdAlias;
  TmvServerFolder* sdFolder;
  TInterfacePtr<ImvTableMapper> sdTables;
  bool sdIsCache;
  TmvLSN sdLastCheckLSN = 0;
  uint32_t sdStructureGeneration = 0;
  uint32_t sdFolderStructureGeneration = 0;
};

// Whether a cursor opened with aOpenMode and aShareMode may join the cursors
// already open on a table: 0, or 10253 "Object cannot be opened for
// exclusive use.". A cursor writes unless it is opened omReadOnly.
uint32_t mvCheckCursorShareModes(const std::vector<TmvLockingCursor*>& aCursors, TmvOpenMode aOpenMode,
                                 TmvShareMode aShareMode);
