// Server engine: a session's database of the abstract engine interface
// (unit mvsdAbstractDatabase).
//
// A database is one session's view of one database folder: it opens cursors
// on its tables, allocates statements, runs table maintenance and (through
// the transaction context it uses, its own unless one was given) the
// transaction operations. `TmvSqlAbstractDatabase` adds the operations the
// SQL layer calls below the public layer. The table, cursor, statement and
// folder operations are the in-process database's.
//
// Ownership: the database lives in its session's list and in its context's;
// it owns its statements and cursors (freed with it) and the context it made
// for itself. The cursor list is kept here for the abstract cursor, which
// lives in its own unit (mvsdAbstractCursor.h) and links itself in.
// Threads: used under its session's lock; the owner lists have padlocks.
// Calls the server objects, the session and the transaction context.
#pragma once

#include <functional>
#include <vector>

#include "dictionary/items/mvsdDictionaryItem.h"
#include "foundation/types/mvsdTypes.h"
#include "server/mvsdAbstractStatement.h"
#include "server/mvsdAbstractTransContext.h"
#include "server/mvsdOwnerList.h"

class TStream;
class TmvDataDictionary;
class TmvFieldDescriptor;
class TmvIndexDescriptor;
class TmvBaseTableMapperDescriptor;
class TmvAbstractCursor;
class TmvSqlAbstractCursor;

// Where a table lives: a file in the folder, an engine-wide temporary
// table, a temporary table private to one database, an unnamed result table.
enum TmvTableScope : uint8_t { tsPersistent, tsTempGlobal, tsTempDatabase, tsTempUnnamed };
// The step at which StatementExecDirect stopped.
enum TmvStatementExecDirectPhase : uint8_t { sedAlloc, sedPrepare, sedSetParams, sedExec, sedGetParams, sedFree };
// Called with each table's dictionary by sdIterateDictionaries.
using TmvDictionaryIterator = std::function<TmvIteratorResult(void* aCookie, TmvDataDictionary* aDictionary)>;

class TmvAbstractDatabase : public TmvBaseTransContext {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // Uses aTransContext, or asks the session for a context of its own when
  // nil (its failure raises); links itself into the session's database list
  // and the context's.
  TmvAbstractDatabase(TmvAbstractSession* aSession, TmvAbstractTransContext* aTransContext, uint32_t aTimeout);
  // Unlinks itself, frees its statements (and cursors) and its own context.
  ~TmvAbstractDatabase() override;

  void AfterConstruction() override;
  void BeforeDestruction() override;

  // The seven transaction operations go to the context in use.
  uint32_t TransactionStart(bool aFailSafe, bool aSnapShot) override;
  uint32_t TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                const std::vector<TmvAbstractCursor*>& aCursors) override;
  uint32_t TransactionCommit() override;
  uint32_t TransactionRollback() override;
  uint32_t TransactionCorrupted() override;
  uint32_t TransactionGetLevel(int32_t& aTransLevel) override;
  // Resets the record first.
  uint32_t TransactionGetInfo(TmvTransactionInfo& aTransInfo, bool aAllowCached) override;

  // The database's own option "ALLOWSYSTEMTABLEACCESS" is "1".
  virtual bool GetExplicitAllowSystem();
  virtual bool GetIsCache() { return false; }
  // 12289 not supported here (aControl nil).
  virtual uint32_t SetCacheDatabase(TmvAbstractDatabase* aCacheDatabase);
  virtual uint32_t RegisterCursorSource(IInterface* aSource, IInterface*& aControl);

  // Tables.
  virtual uint32_t TableBuild(bool aOverWrite, const String& aTableName, const String& aPassword,
                              TmvDataDictionary* aDictionary, TmvTableScope aTableScope, bool aAllowSystem) = 0;
  virtual uint32_t TablePack(const String& aTableName, const String& aPassword, TmvAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t TableBackup(const String& aTableName, const String& aPassword, TmvAbstractDatabase* aTargetDatabase,
                               TmvAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t TableRebuildIndex(const String& aTableName, const String& aPassword, const String& aIndexName,
                                     int32_t aIndexID, TmvAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t TableRestructure(const String& aTableName, const String& aPassword, TmvDataDictionary* aDictionary,
                                    TmvBaseTableMapperDescriptor* aMapperDesc, bool aAllowSystem,
                                    TmvAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t TableAddField(const String& aTableName, const String& aPassword, TmvFieldDescriptor* aFieldDesc) = 0;
  virtual uint32_t TableAddIndex(const String& aTableName, const String& aPassword, TmvIndexDescriptor* aIndexDesc,
                                 bool aNewDefault) = 0;
  virtual uint32_t TableDropIndex(const String& aTableName, const String& aPassword, const String& aIndexName,
                                  int32_t aIndexID) = 0;
  virtual uint32_t TableRename(const String& aOldName, const String& aNewName, const String& aPassword) = 0;
  virtual uint32_t TableRecover(const String& aTableName, const String& aPassword, TmvAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t TableVerifyChecksum(const String& aTableName, const String& aPassword, bool aRaw,
                                       bool aForceRecheck, TmvAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t TableDelete(const String& aTableName, const String& aPassword) = 0;
  virtual uint32_t TableEmpty(const String& aTableName, const String& aPassword) = 0;
  virtual uint32_t TableChangePassword(const String& aTableName, const String& aOldPassword,
                                       const String& aNewPassword) = 0;
  virtual uint32_t TableExists(const String& aTableName, const String& aPassword, bool& aExists,
                               bool aAllowSystem) = 0;
  virtual uint32_t TableGetDictionary(const String& aTableName, const String& aPassword,
                                      TmvDataDictionary* aDictionary) = 0;
  virtual uint32_t TableGetList(TStrings* aList) = 0;
  virtual uint32_t TableAutoIncGet(const String& aTableName, const String& aPassword, uint32_t& aValue) = 0;
  virtual uint32_t GetChangedTables(TStrings* aTables) = 0;
  // A named stream of a table, through a cursor opened on it (shared,
  // read-only for reading, read-write for writing) for the call.
  virtual uint32_t TableStreamRead(const String& aTableName, const String& aPassword, const String& aStreamName,
                                   TStream* aStream);
  virtual uint32_t TableStreamWrite(const String& aTableName, const String& aPassword, const String& aStreamName,
                                    TStream* aStream);

  // Cursors and statements.
  virtual uint32_t CursorOpen(TmvAbstractCursor*& aCursor, const String& aTableName, const String& aPassword,
                              TmvOpenMode aOpenMode, TmvShareMode aShareMode, uint32_t aTimeout,
                              const String& aIndexName, int32_t aIndexID, bool aAllowSystem, uint32_t aOpenOptions,
                              uint32_t aFilterTimeout, const uint32_t* aMarkedBlobs) = 0;
  // 12289 not supported here.
  virtual uint32_t CursorCacheOpen(TmvAbstractCursor*& aCursor, const String& aTableName, const String& aPassword,
                                   TmvOpenMode aOpenMode, TmvShareMode aShareMode, uint32_t aTimeout,
                                   const String& aIndexName, int32_t aIndexID, bool aAllowSystem,
                                   uint32_t aOpenOptions, uint32_t aFilterTimeout);
  virtual uint32_t StatementAlloc(TmvAbstractStatement*& aStatement, uint32_t aTimeout) = 0;
  virtual uint32_t StatementExecDirect(uint32_t aTimeout, TmvStatementType aStatementType, const String& aQueryText,
                                       TStream* aPrepareStream, TmvSqlParamList* aParams, TStream* aSetParamsStream,
                                       TmvAbstractCursor*& aCursor, TmvOpenMode aOpenMode, TStream* aExecStream,
                                       TStream* aGetParamsStream, TmvStatementExecDirectPhase& aPhase) = 0;

  // The folder.
  virtual uint32_t GetFreespace(int64_t& aFreeSpace) = 0;
  virtual uint32_t GetPath(String& aPath) = 0;
  virtual uint32_t GetAlias(String& aAlias) = 0;

  // Also the owned context's timeout.
  void SetTimeout(uint32_t aValue) override;
  // "<Database>" is the database, the whole name "<TransContext>" its context.
  int32_t CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                            void** aInterface) override;
  // Prepares the owned context, every statement (and cursor), then the
  // extendable steps.
  void PrepareDestroy() override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  TmvAbstractTransContext* TransContext() const { return adTransContext; }
  TmvAbstractTransContext* OwnedTransContext() const { return adOwnedTransContext; }
  TmvAbstractDatabase* NextOfSession() const { return adSessionNext; }
  TmvAbstractDatabase* NextOfTransContext() const { return adTransContextNext; }
  TmvAbstractStatement* FirstStatement() const { return adStatements.Head; }
  TmvAbstractCursor* FirstCursor() const { return adCursorsHead; }
  TmvPadlock* StatementsPadlock() { return &adStatementsPadlock; }
  TmvPadlock* CursorsPadlock() { return &adCursorsPadlock; }
  // Set by the SQL layer when it lets go of a database that still has
  // result-set cursors: the database then goes with its last cursor.
  bool adCursorAutoFree = false;

 protected:
  void asoWriteDetails(ImvExceptionDataContainer* aContainer) override;

 private:
  friend class TmvAbstractSession;
  friend class TmvAbstractTransContext;
  friend class TmvAbstractStatement;
  friend class TmvAbstractCursor;
  // Links into aContext's database list and uses it.
  void adAttachTo(TmvAbstractTransContext* aContext);
  void adDetachFromContext();

  TmvAbstractDatabase* adSessionPrev = nullptr;
  TmvAbstractDatabase* adSessionNext = nullptr;
  TmvAbstractTransContext* adTransContext = nullptr;
  TmvAbstractTransContext* adOwnedTransContext = nullptr;
  TmvAbstractDatabase* adTransContextPrev = nullptr;
  TmvAbstractDatabase* adTransContextNext = nullptr;
  TmvPadlock adCursorsPadlock;
  TmvAbstractCursor* adCursorsHead = nullptr;
  TmvAbstractCursor* adCursorsTail = nullptr;
  TmvPadlock adStatementsPadlock;
  TmvOwnerList<TmvAbstractStatement, &TmvAbstractStatement::asDatabasePrev, &TmvAbstractStatement::asDatabaseNext>
      adStatements;
  bool adLockedIncDone = false;
};

// The operations the SQL layer calls directly, below the public layer
// (without the session lock).
class TmvSqlAbstractDatabase : public TmvAbstractDatabase {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }
  using TmvAbstractDatabase::TmvAbstractDatabase;

  // The alias the database was opened with; empty here.
  virtual String sadGetAlias() { return String(); }
  virtual uint32_t sdTableRebuildIndex(const String& aTableName, const String& aPassword, const String& aIndexName,
                                       int32_t aIndexID, TmvAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t sdTableRestructure(const String& aTableName, const String& aPassword,
                                      TmvDataDictionary* aDictionary, TmvBaseTableMapperDescriptor* aMapperDesc,
                                      TmvAbstractTaskInfo*& aTaskInfo) = 0;
  // A temporary unnamed result table with a cursor on it.
  virtual TmvSqlAbstractCursor* sadCreateResultSet(TmvDataDictionary* aDictionary, uint32_t aTimeout) = 0;
  // Calls the iterator with each table's dictionary until it answers irStop.
  virtual TmvIteratorResult sdIterateDictionaries(const TmvDictionaryIterator& aIterator, bool aAllowSystem,
                                                  bool aIgnoreError, void* aCookie) = 0;
  // The table locks held around one SQL statement.
  virtual void sadLockTables() = 0;
  virtual void sadUnlockTables() = 0;

  uint32_t sadLastAutoInc = 0;
  TmvOpenMode sdOpenMode = omReadOnly;
  TmvShareMode sdShareMode = smShared;
  // The database whose stored-routine dictionary this one shares, or nil.
  TmvSqlAbstractDatabase* sadMasterDatabase = nullptr;
};
