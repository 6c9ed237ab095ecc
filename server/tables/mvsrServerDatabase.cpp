// Server engine: a session's database on a folder. See
// mvsrServerDatabase.h.
#include "server/tables/mvsrServerDatabase.h"

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/mvllStreams.h"
#include "server/cursors/mvsrServerTableCursor.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "server/mvsdServerNames.h"
#include "server/mvsrServerEngine.h"
#include "server/mvsrServerSession.h"
#include "server/tables/mvsrDatabaseCursorSources.h"
#include "server/tables/mvsrServerFolder.h"
#include "server/tables/mvsrServerTable.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrFileSystem.h"
#include "storage/header/mvsrServerDataDict.h"
#include "storage/streams/mvseStreamEngine.h"
#include "storage/transactions/mvsrCommit.h"

constinit const ClassRef TmvServerDatabase::StaticClass{u"TmvServerDatabase", &TmvSqlAbstractDatabase::StaticClass};

namespace {

uint32_t Code(int32_t aCode) { return EmvBaseException::mvSetMessage(aCode, String()); }

bool Writes(TmvOpenMode aMode) { return aMode != omReadOnly; }

String Quoted(const String& aText) { return u"\"" + aText + u"\""; }

}  // namespace

uint32_t mvCheckCursorShareModes(const std::vector<TmvLockingCursor*>& aCursors, TmvOpenMode aOpenMode,
                                 TmvShareMode aShareMode) {
  if (aCursors.empty()) return 0;
  const uint32_t refused = MVERR_NEEDEXCLACCESS;
  if (aCursors.front()->lcShareMode == smExclusive || aShareMode == smExclusive) return Code(refused);
  if (aShareMode == smShared) {
    if (!Writes(aOpenMode)) return 0;
    for (TmvLockingCursor* cursor : aCursors) {
      // A shared writer already there: share readers were refused before it.
      if (cursor->lcShareMode == smShared && Writes(cursor->lcOpenMode)) return 0;
      if (cursor->lcShareMode == smShareRead) return Code(refused);
    }
    return 0;
  }
  for (TmvLockingCursor* cursor : aCursors)
    if ((cursor->lcShareMode == smShareRead && Writes(aOpenMode)) || Writes(cursor->lcOpenMode)) return Code(refused);
  return 0;
}

// ---------------------------------------------------------------------------
// The table mapper

TmvTableMapper::~TmvTableMapper() {
  while (tmMappings.Count() > 0) {
    auto* table = static_cast<TmvServerRootTable*>(tmMappings.GetObject(tmMappings.Count() - 1));
    tmMappings.Delete(tmMappings.Count() - 1);
    try {
      TmvAbstractServerObject::Free(table);
    } catch (...) {
      mvServerLogCurrentException(u"Freeing a table private to a database");
    }
  }
}

bool TmvTableMapper::GetInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvTableMapper) {
    *obj = static_cast<ImvTableMapper*>(this);
    _AddRef();
    return true;
  }
  return TmvInterfacedObject::GetInterface(iid, obj);
}

TStrings* TmvTableMapper::Lock() {
  tmPadlock.Lock();
  return &tmMappings;
}

void TmvTableMapper::Unlock() { tmPadlock.Unlock(); }

bool TmvTableMapper::Contains(const String& aName) {
  TmvPadlockGuard guard(&tmPadlock);
  return tmMappings.IndexOf(aName) >= 0;
}

namespace {

// Holds the mapper's lock for a scope.
class TMapperGuard {
 public:
  explicit TMapperGuard(ImvTableMapper* aMapper) : fMapper(aMapper), fList(aMapper->Lock()) {}
  ~TMapperGuard() { fMapper->Unlock(); }
  TMapperGuard(const TMapperGuard&) = delete;
  TMapperGuard& operator=(const TMapperGuard&) = delete;
  TStrings* List() const { return fList; }

 private:
  ImvTableMapper* fMapper;
  TStrings* fList;
};

}  // namespace

// ---------------------------------------------------------------------------
// Life

TmvServerDatabase::TmvServerDatabase(TmvServerSession* aSession, TmvAbstractTransContext* aTransContext,
                                     const String& aAlias, TmvServerFolder* aFolder, uint32_t aTimeout,
                                     TmvOpenMode aOpenMode, TmvShareMode aShareMode)
    : TmvSqlAbstractDatabase(aSession, aTransContext, aTimeout),
      sdAlias(aAlias),
      sdFolder(aFolder),
      sdTables(static_cast<ImvTableMapper*>(TmvInterfacedObject::Create<TmvTableMapper>())),
      sdIsCache(aFolder->IsCache()) {
  sdLastCheckLSN = aFolder->ServerEngine()->BufferManager()->CurrentLSN();
  sdOpenMode = aOpenMode;
  sdShareMode = aShareMode;
  sdFolderStructureGeneration = aFolder->sfStructureGeneration.load(std::memory_order_acquire);
  TmvPadlockGuard guard(sdFolder->DatabasesPadlock());
  sdFolder->sfAddDatabase(this);
  if (!sdFolder->sfJournalChecked && !sdFolder->InMemOnly() && !sdFolder->ReadOnly()) {
    // A journal a crash left is replayed before any table of the folder
    // opens; the databases padlock keeps the others waiting meanwhile.
    if (const TmvJournalEngineClassRef* journal = mvDefaultJournalEngineClass.load(std::memory_order_acquire)) {
      try {
        journal->Check(sdAlias, sdFolder->Path());
      } catch (...) {
        sdFolder->sfRemoveDatabase(this);
        throw;
      }
    }
    sdFolder->sfJournalChecked = true;
  }
}

TmvServerDatabase::~TmvServerDatabase() {
  // A container outlives the database when its holder keeps it: it must not
  // reach back into the database afterwards.
  while (TmvServerDatabaseCursorSourceContainer* source = sdCursorSourceHead) source->DetachFromDatabase();
  sdTables = nullptr;
  sdFolder->sfRemoveDatabase(this);
  try {
    sdFolder->sfUpdateInactive();
  } catch (...) {
    mvServerLogCurrentException(u"Closing a database");
  }
}

TmvServerSession* TmvServerDatabase::ServerSession() const { return static_cast<TmvServerSession*>(Session()); }

int32_t TmvServerDatabase::CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter,
                                             const TGUID& aInterfaceID, void** aInterface) {
  String head, tail;
  SplitInstancePath(aName, head, tail);
  if (SameClassName(head, u"<Folder>"))
    return sdFolder->CreateInstanceFor(tail, aClassID, aOuter, aInterfaceID, aInterface);
  return TmvSqlAbstractDatabase::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TmvServerDatabase::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvSqlAbstractDatabase::WriteObjectInfo(aContainer);
  aContainer->AddString(u"Alias", sdAlias);
  aContainer->AddObject(u"Folder", sdFolder, false);
}

uint32_t TmvServerDatabase::StructureGeneration() {
  const uint32_t folder = sdFolder->sfStructureGeneration.load(std::memory_order_acquire);
  if (folder != sdFolderStructureGeneration) {
    sdFolderStructureGeneration = folder;
    ++sdStructureGeneration;
  }
  return sdStructureGeneration;
}

// ---------------------------------------------------------------------------
// Tables

void TmvServerDatabase::sdBuildPasswords(const String& aTable, const String& aPassword,
                                         TmvUnicodeStrings& aPasswords) {
  ServerSession()->ssBuildPasswords(sdAlias, aTable, aPasswords, aPassword);
}

uint32_t TmvServerDatabase::sdGetTable(TmvServerBaseTable*& aTable, const String& aTableName,
                                       const String& aPassword, bool aForServer, bool& aIsReadOnly, bool aInternal,
                                       bool aIsCache) {
  aIsReadOnly = false;
  aTable = nullptr;
  TmvUnicodeStrings passwords;
  sdBuildPasswords(aTableName, aPassword, passwords);
  const size_t colon = aTableName.find(u':');
  const String rootName = aTableName.substr(0, colon);
  const String childPath = colon == String::npos ? String() : aTableName.substr(colon + 1);

  TmvPadlockGuard tables(sdFolder->TablesPadlock());
  TMapperGuard mapper(sdTables.get());
  TmvServerRootTable* root = nullptr;
  const int32_t mapped = mapper.List()->IndexOf(rootName);
  if (mapped >= 0) root = static_cast<TmvServerRootTable*>(mapper.List()->GetObject(mapped));
  if (!root) root = sdFolder->sfFindTable(rootName);
  bool openedHere = false;
  if (root) {
    const uint32_t code = root->srtCheckPasswords(passwords);
    if (code == MVERR_TABLEREADONLY)
      aIsReadOnly = true;
    else if (code != 0)
      return code;
  } else {
    const String notFound = mvOriginalMessageMarker() + u" Root table " + Quoted(rootName) + u" not found";
    if (sdFolder->InMemOnly() || sdFolder->sfTableExists(rootName) != 0)
      return EmvBaseException::mvSetMessage(MVERR_NOSUCHTABLE, notFound);
    // Written exclusively when it can be; read and shared when it cannot
    // (a read-only file, a file another process writes).
    const bool readOnlyFolder = sdFolder->ReadOnly();
    uint32_t code = 0;
    for (int attempt = readOnlyFolder ? 1 : 0; attempt < 2; ++attempt) {
      root = TmvAbstractServerObject::Create<TmvServerRootTable>(
          sdFolder, rootName, attempt == 0 ? omReadWrite : omReadOnly, attempt == 0 ? smExclusive : smShareRead,
          tsPersistent);
      bool readOnly = false;
      code = root->srtOpenFiles(nullptr, passwords, readOnly, 0, aForServer);
      if (code == 0) break;
      const String text = EmvBaseException(int64_t(code)).ProcessedErrorString();
      TmvAbstractServerObject::Free(root);
      root = nullptr;
      EmvBaseException::mvSetMessage(int32_t(code), text);
      if (code != MVERR_NOSUCHTABLE) return code;
    }
    // The files are there: the open's own text says why they cannot be
    // used.
    if (code != 0) return code;
    openedHere = true;
  }
  if (root->OpenMode() == omReadOnly) aIsReadOnly = true;
  if (openedHere && !aInternal && sdFolder->ServerEngine()->HasOption(seoVerifyTableNames)) {
    TmvMemoryStream stream;
    if (root->StreamEngine()->ReadNamedStream(nullptr, u"$TableName", stream) == 0) {
      stream.SetPosition(0);
      TmvReader reader(stream);
      const String stored = reader.ReadString();
      if (!SameClassName(stored, rootName)) {
        TmvAbstractServerObject::Free(root);
        return EmvBaseException::mvSetMessage(
            MVERR_INVALIDTABLENAME,
            Format(u"Table file name (\"%s\") does not match actual table name (\"%s\")", {rootName, stored}));
      }
    }
  }
  TmvServerBaseTable* table = nullptr;
  if (uint32_t code = root->GetChild(childPath, table)) return code;
  if (table->IsCache() != aIsCache)
    return EmvBaseException::mvSetMessage(MVERR_FILEBUSY, u"Table has conflicting cache mode");
  aTable = table;
  return 0;
}

// ---------------------------------------------------------------------------
// Cursors

uint32_t TmvServerDatabase::CursorOpen(TmvAbstractCursor*& aCursor, const String& aTableName,
                                       const String& aPassword, TmvOpenMode aOpenMode, TmvShareMode aShareMode,
                                       uint32_t aTimeout, const String& aIndexName, int32_t aIndexID,
                                       bool aAllowSystem, uint32_t, uint32_t, const uint32_t*) {
  aCursor = nullptr;
  return atoLockedCall([&] {
    if (uint32_t code = mvCheckTableName(aTableName, true, aAllowSystem)) return code;
    if (sdIsCache && !aAllowSystem)
      return EmvBaseException::mvSetMessage(MVERR_FILEBUSY, u"Database does not support opening of cache cursors");
    return sdCursorOpen(aCursor, aTableName, aPassword, false, aOpenMode, aShareMode, false, aTimeout, aIndexName,
                        aIndexID, false, false);
  });
}

uint32_t TmvServerDatabase::CursorCacheOpen(TmvAbstractCursor*& aCursor, const String& aTableName,
                                            const String& aPassword, TmvOpenMode aOpenMode, TmvShareMode aShareMode,
                                            uint32_t aTimeout, const String& aIndexName, int32_t aIndexID,
                                            bool aAllowSystem, uint32_t, uint32_t) {
  aCursor = nullptr;
  return atoLockedCall([&] {
    if (uint32_t code = mvCheckTableName(aTableName, true, aAllowSystem)) return code;
    if (!sdIsCache)
      return EmvBaseException::mvSetMessage(MVERR_FILEBUSY, u"Database does not support opening of cache cursors");
    return sdCursorOpen(aCursor, aTableName, aPassword, false, aOpenMode, aShareMode, false, aTimeout, aIndexName,
                        aIndexID, false, true);
  });
}

uint32_t TmvServerDatabase::sdCursorOpen(TmvAbstractCursor*& aCursor, const String& aTableName,
                                         const String& aPassword, bool aForServer, TmvOpenMode aOpenMode,
                                         TmvShareMode aShareMode, bool aIgnoreExcl, uint32_t aTimeout,
                                         const String& aIndexName, int32_t aIndexID, bool aInternal, bool aIsCache) {
  aCursor = nullptr;
  try {
    TmvOpenMode mode = aOpenMode == omWriteOnly ? omReadWrite : aOpenMode;
    if (sdOpenMode == omReadOnly && mode != omReadOnly) return Code(MVERR_DBREADONLY);
    TmvPadlockGuard tables(sdFolder->TablesPadlock());
    TMapperGuard mapper(sdTables.get());
    TmvServerBaseTable* table = nullptr;
    bool readOnly = false;
    if (uint32_t code = sdGetTable(table, aTableName, aPassword, aForServer, readOnly, aInternal, aIsCache)) {
      // A table the folder does not have may come from a registered source.
      if (code == MVERR_NOSUCHTABLE && sdCursorSourceHead) {
        const String text = EmvBaseException(int64_t(code)).ProcessedErrorString();
        sdCursorSourceHead->CursorOpen(aCursor, aTableName, code);
        if (code != 0) EmvBaseException::mvSetMessage(int32_t(code), text);
      }
      return code;
    }
    if (readOnly && mode != omReadOnly) {
      // The table can only be read: a writer is refused below.
      if (table->Root()->OpenMode() == omReadOnly) return Code(MVERR_TABLEREADONLY);
      mode = omReadOnly;
    }
    if (!aIgnoreExcl) {
      uint32_t code = mvCheckCursorShareModes(table->Cursors(), mode, aShareMode);
      if (code != 0) {
        // Idle cursors are asked to close once.
        TmvServerRootTable* root = table->Root();
        root->sbtLockIsInactive.fetch_add(1, std::memory_order_acq_rel);
        try {
          root->srtIsInactive(true, true, 1);
        } catch (...) {
          asoConvertException();
        }
        root->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel);
        code = mvCheckCursorShareModes(table->Cursors(), mode, aShareMode);
        if (code != 0) return code;
      }
    }
    if (mode != omReadOnly && table->Root()->OpenMode() == omReadOnly) return Code(MVERR_TABLEREADONLY);
    aCursor = TmvAbstractServerObject::Create<TmvServerTableCursor>(this, table, aTimeout, mode, aShareMode,
                                                                     aIndexName, aIndexID, false, aInternal);
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerDatabase::RegisterCursorSource(IInterface* aSource, IInterface*& aControl) {
  aControl = nullptr;
  try {
    return atoLockedCall([&] {
      ImvDatabaseCursorSource* source = nullptr;
      if (!aSource || aSource->QueryInterface(IID_ImvDatabaseCursorSource, reinterpret_cast<void**>(&source)) != 0 ||
          !source)
        return Code(MVERR_INVALIDPARAM);
      const auto held = TInterfacePtr<ImvDatabaseCursorSource>::Adopt(source);
      auto* container = TmvInterfacedObject::Create<TmvServerDatabaseCursorSourceContainer>(this, source);
      ImvDatabaseCursorSourceControl* control = container;
      control->_AddRef();
      aControl = control;
      return 0u;
    });
  } catch (...) {
    // The session lock refused: another thread is inside the session.
    return asoConvertException();
  }
}

uint32_t TmvServerDatabase::GetChangedTables(TStrings*) { return NotSupported(u"GetChangedTables"); }

// ---------------------------------------------------------------------------
// Statements

uint32_t TmvServerDatabase::StatementAlloc(TmvAbstractStatement*& aStatement, uint32_t aTimeout) {
  aStatement = nullptr;
  return atoLockedCall([&] { return sdStatementAlloc(aStatement, aTimeout); });
}

uint32_t TmvServerDatabase::sdStatementAlloc(TmvAbstractStatement*& aStatement, uint32_t aTimeout) {
  aStatement = nullptr;
  TmvBaseSqlEngine* sql = sdFolder->ServerEngine()->GetSqlEngine();
  if (!sql) return EmvBaseException::mvSetMessage(MVERR_NOTSUPPORTED, u"An SQL Engine is required");
  TmvAbstractStatement* statement = nullptr;
  try {
    sql->StatementAlloc(this, statement, int32_t(aTimeout));
  } catch (...) {
    const uint32_t code = asoConvertException();
    TmvAbstractServerObject::Free(statement);
    return code;
  }
  aStatement = statement;
  return 0;
}

uint32_t TmvServerDatabase::StatementExecDirect(uint32_t aTimeout, TmvStatementType aStatementType,
                                                const String& aQueryText, TStream* aPrepareStream,
                                                TmvSqlParamList* aParams, TStream* aSetParamsStream,
                                                TmvAbstractCursor*& aCursor, TmvOpenMode aOpenMode,
                                                TStream* aExecStream, TStream* aGetParamsStream,
                                                TmvStatementExecDirectPhase& aPhase) {
  aCursor = nullptr;
  aPhase = sedAlloc;
  mvHookSetOperationDeadline(aTimeout, false);
  return atoLockedCall([&] {
    return sdStatementExecDirect(aTimeout, aStatementType, aQueryText, aPrepareStream, aParams, aSetParamsStream,
                                 aCursor, aOpenMode, aExecStream, aGetParamsStream, aPhase);
  });
}

uint32_t TmvServerDatabase::sdStatementExecDirect(uint32_t aTimeout, TmvStatementType aStatementType,
                                                  const String& aQueryText, TStream* aPrepareStream,
                                                  TmvSqlParamList* aParams, TStream* aSetParamsStream,
                                                  TmvAbstractCursor*& aCursor, TmvOpenMode aOpenMode,
                                                  TStream* aExecStream, TStream* aGetParamsStream,
                                                  TmvStatementExecDirectPhase& aPhase) {
  aCursor = nullptr;
  aPhase = sedAlloc;
  TmvAbstractStatement* statement = nullptr;
  uint32_t result = 0;
  mvHookBeginTimeoutScope();
  try {
    result = sdStatementAlloc(statement, aTimeout);
    if (result == 0) {
      aPhase = sedPrepare;
      result = statement->Prepare(aStatementType, aQueryText, aPrepareStream);
    }
    if (result == 0) {
      aPhase = sedSetParams;
      result = statement->SetParams(aParams, aSetParamsStream);
    }
    if (result == 0) {
      aPhase = sedExec;
      result = statement->Exec(aCursor, aOpenMode, aExecStream);
    }
    if (result == 0) {
      aPhase = sedGetParams;
      if (aGetParamsStream) result = statement->GetParams(aParams, aGetParamsStream);
    }
    if (result == 0) aPhase = sedFree;
  } catch (...) {
    mvHookEndTimeoutScope();
    TmvAbstractServerObject::Free(statement);
    // Only a caller that gets an execution stream learns of an escaping
    // exception as a code.
    if (!aExecStream) throw;
    return asoConvertException();
  }
  mvHookEndTimeoutScope();
  const String text = result ? EmvBaseException(int64_t(result)).ProcessedErrorString() : String();
  TmvAbstractServerObject::Free(statement);
  // A cursor that comes back with an error stays with the caller until the
  // cursor unit can free it here.
  if (result != 0) EmvBaseException::mvSetMessage(int32_t(result), text);
  return result;
}

// ---------------------------------------------------------------------------
// The folder

uint32_t TmvServerDatabase::GetFreespace(int64_t& aFreeSpace) {
  aFreeSpace = 0;
  return atoLockedCall([&] {
    TmvVolumeInfo volume;
    if (sdFolder->InMemOnly() || mvFileSystem().StatFs(UTF8Encode(sdFolder->Path()), volume) != 0)
      return Code(MVERR_OSUNKNOWN);
    aFreeSpace = int64_t(volume.BytesAvailable / 1024);
    return 0u;
  });
}

uint32_t TmvServerDatabase::GetPath(String& aPath) {
  aPath = sdFolder->Path();
  return 0;
}

uint32_t TmvServerDatabase::GetAlias(String& aAlias) {
  aAlias = sdAlias;
  return 0;
}

void TmvServerDatabase::sadLockTables() { sdFolder->LockTables(); }
void TmvServerDatabase::sadUnlockTables() { sdFolder->UnlockTables(); }

TmvSqlAbstractCursor* TmvServerDatabase::sadCreateResultSet(TmvDataDictionary* aDictionary, uint32_t aTimeout) {
  return TmvServerTableCursor::CreateResultSet(this, aDictionary, aTimeout);
}

TmvIteratorResult TmvServerDatabase::sdIterateDictionaries(const TmvDictionaryIterator& aIterator, bool,
                                                           bool aIgnoreError, void* aCookie) {
  TmvPadlockGuard tables(sdFolder->TablesPadlock());
  TMapperGuard mapper(sdTables.get());
  TStringList names;
  if (uint32_t code = sdFolder->sfTableGetList(&names)) throw EmvServerEngineException(code);
  for (int32_t i = 0; i < mapper.List()->Count(); ++i) names.Add(mapper.List()->Get(i));
  for (int32_t i = 0; i < names.Count(); ++i) {
    TmvServerRootTable* open = nullptr;
    const int32_t mapped = mapper.List()->IndexOf(names[i]);
    open = mapped >= 0 ? static_cast<TmvServerRootTable*>(mapper.List()->GetObject(mapped))
                       : sdFolder->sfFindTable(names[i]);
    if (open) {
      if (aIterator(aCookie, open->Dictionary()) == irStop) return irStop;
      continue;
    }
    TmvServerDataDict dict;
    String password;
    bool link = false;
    if (uint32_t code = sdFolder->sfTableGetDictionary(names[i], {}, password, link, &dict, false)) {
      if (aIgnoreError) continue;
      throw EmvServerEngineException(code);
    }
    if (aIterator(aCookie, &dict) == irStop) return irStop;
  }
  return irContinue;
}

// ---------------------------------------------------------------------------
// Table maintenance

namespace {

// Scope tsPersistent as the name and the folder make it.
TmvTableScope ScopeFor(const String& aName, TmvTableScope aScope, bool aInMemOnly) {
  if (aScope != tsPersistent) return aScope;
  const size_t hashes = std::min(aName.find_first_not_of(u'#'), aName.size());
  if (aInMemOnly || (aName.size() > 2 && aName.front() == u'<' && aName.back() == u'>') || hashes == 3)
    return tsTempGlobal;
  if (hashes == 2) return tsTempDatabase;
  return aScope;
}

// A table nobody uses (its idle cursors asked to close) that no other
// holder keeps: it may go.
bool IdleAndAlone(TmvServerRootTable* aTable) {
  aTable->sbtLockIsInactive.fetch_add(1, std::memory_order_acq_rel);
  bool idle = false;
  try {
    idle = aTable->srtIsInactive(true, true, 1);
  } catch (...) {
    aTable->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel);
    throw;
  }
  return aTable->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel) == 1 && idle;
}

// A private table's password check; one that may only be read passes.
uint32_t CheckMappedPasswords(TmvServerRootTable* aTable, const TmvUnicodeStrings& aPasswords) {
  const uint32_t code = aTable->srtCheckPasswords(aPasswords);
  return code == MVERR_TABLEREADONLY ? 0 : code;
}

bool CountsAsSchemaChange(const String& aName) { return aName.empty() || aName.front() != u' '; }

}  // namespace

void TmvServerDatabase::sdStructureChanged() {
  ++sdStructureGeneration;
  sdFolderStructureGeneration = sdFolder->sfStructureGeneration.load(std::memory_order_acquire);
}

uint32_t TmvServerDatabase::TableBuild(bool aOverWrite, const String& aTableName, const String& aPassword,
                                       TmvDataDictionary* aDictionary, TmvTableScope aTableScope, bool aAllowSystem) {
  if (uint32_t code = mvCheckRootTableName(aTableName, false, aAllowSystem)) return code;
  return atoLockedCall([&] {
    if (!aDictionary) return Code(MVERR_INVALIDPARAM);
    aDictionary->CheckValid(true);
    return sdTableBuild(aOverWrite, aTableName, aTableScope, aDictionary, aPassword);
  });
}

uint32_t TmvServerDatabase::sdTableBuild(bool aOverWrite, const String& aTableName, TmvTableScope aTableScope,
                                         TmvDataDictionary* aDictionary, const String& aPassword) {
  if (sdOpenMode == omReadOnly) return Code(MVERR_DBREADONLY);
  TmvTableScope scope = ScopeFor(aTableName, aTableScope, sdFolder->InMemOnly());
  if (uint32_t veto = NotifyExtenders(eaTableBuild, true, {aOverWrite, aTableName, static_cast<void*>(aDictionary),
                                                           static_cast<void*>(&scope)}))
    return veto;
  {
    TmvPadlockGuard tables(sdFolder->TablesPadlock());
    TMapperGuard mapper(sdTables.get());
    const int32_t mapped = mapper.List()->IndexOf(aTableName);
    if (!aOverWrite) {
      if (mapped >= 0) return Code(MVERR_TABLEEXISTS);
      if (scope != tsPersistent && sdFolder->sfFindTable(aTableName)) return Code(MVERR_TABLEEXISTS);
    }
    auto* old = mapped >= 0 ? static_cast<TmvServerRootTable*>(mapper.List()->GetObject(mapped)) : nullptr;
    if (scope == tsTempDatabase) {
      TmvServerRootTable* table = nullptr;
      if (uint32_t code = sdFolder->sfCreateRootTable(String(), tsTempDatabase, aDictionary, false, aPassword, table))
        return code;
      table->srtSetNameInScope(aTableName);
      if (old) {
        if (!IdleAndAlone(old)) {
          TmvAbstractServerObject::Free(table);
          return Code(MVERR_TABLEOPEN);
        }
        mapper.List()->PutObject(mapped, table);
        TmvAbstractServerObject::Free(old);
      } else {
        mapper.List()->AddObject(aTableName, table);
      }
    } else {
      if (old) {
        if (!IdleAndAlone(old)) return Code(MVERR_TABLEOPEN);
        mapper.List()->Delete(mapped);
        TmvAbstractServerObject::Free(old);
      }
      if (uint32_t code = sdFolder->sfTableBuild(aOverWrite, aTableName, scope, aDictionary, false, aPassword))
        return code;
    }
  }
  if (CountsAsSchemaChange(aTableName)) sdStructureChanged();
  NotifyExtenders(eaTableBuild, false,
                  {aOverWrite, aTableName, static_cast<void*>(aDictionary), static_cast<void*>(&scope)});
  return 0;
}

uint32_t TmvServerDatabase::TableDelete(const String& aTableName, const String& aPassword) {
  if (uint32_t code = mvCheckRootTableName(aTableName, true, false)) return code;
  return atoLockedCall([&] { return sdTableDelete(aTableName, aPassword); });
}

uint32_t TmvServerDatabase::sdTableDelete(const String& aTableName, const String& aPassword) {
  if (sdOpenMode == omReadOnly) return Code(MVERR_DBREADONLY);
  TmvUnicodeStrings passwords;
  sdBuildPasswords(aTableName, aPassword, passwords);
  {
    TmvPadlockGuard tables(sdFolder->TablesPadlock());
    TMapperGuard mapper(sdTables.get());
    const int32_t mapped = mapper.List()->IndexOf(aTableName);
    if (mapped >= 0) {
      auto* table = static_cast<TmvServerRootTable*>(mapper.List()->GetObject(mapped));
      TmvTableScope scope = table->TableScope();
      if (uint32_t veto = NotifyExtenders(eaTableDelete, true, {aTableName, static_cast<void*>(&scope)})) return veto;
      if (uint32_t code = CheckMappedPasswords(table, passwords)) return code;
      if (!IdleAndAlone(table)) return Code(MVERR_TABLEOPEN);
      mapper.List()->Delete(mapped);
      TmvAbstractServerObject::Free(table);
    } else {
      if (uint32_t veto = NotifyExtenders(eaTableDelete, true, {aTableName})) return veto;
      if (uint32_t code = sdFolder->sfTableDelete(aTableName, passwords, false)) return code;
    }
  }
  NotifyExtenders(eaTableDelete, false, {aTableName});
  if (CountsAsSchemaChange(aTableName)) sdStructureChanged();
  return 0;
}

uint32_t TmvServerDatabase::TableEmpty(const String& aTableName, const String& aPassword) {
  if (uint32_t code = mvCheckRootTableName(aTableName, true, false)) return code;
  return atoLockedCall([&] { return sdTableEmpty(aTableName, aPassword); });
}

uint32_t TmvServerDatabase::sdTableEmpty(const String& aTableName, const String& aPassword) {
  if (sdOpenMode == omReadOnly) return Code(MVERR_DBREADONLY);
  TmvUnicodeStrings passwords;
  sdBuildPasswords(aTableName, aPassword, passwords);
  {
    TmvPadlockGuard tables(sdFolder->TablesPadlock());
    TMapperGuard mapper(sdTables.get());
    const int32_t mapped = mapper.List()->IndexOf(aTableName);
    if (mapped >= 0) {
      auto* old = static_cast<TmvServerRootTable*>(mapper.List()->GetObject(mapped));
      TmvTableScope scope = old->TableScope();
      if (uint32_t veto = NotifyExtenders(eaTableEmpty, true, {aTableName, static_cast<void*>(&scope)})) return veto;
      if (old->FileIsLink()) return Code(MVERR_TABLEREADONLY);
      if (uint32_t code = CheckMappedPasswords(old, passwords)) return code;
      if (!IdleAndAlone(old)) return Code(MVERR_TABLEOPEN);
      TmvServerDataDict dict;
      dict.Assign(old->Dictionary());
      TmvServerRootTable* table = nullptr;
      if (uint32_t code = sdFolder->sfCreateRootTable(String(), scope, &dict, false, old->ExtractPassword(), table))
        return code;
      table->srtSetNameInScope(aTableName);
      mapper.List()->PutObject(mapped, table);
      TmvAbstractServerObject::Free(old);
    } else {
      if (uint32_t veto = NotifyExtenders(eaTableEmpty, true, {aTableName})) return veto;
      if (uint32_t code = sdFolder->sfTableEmpty(aTableName, passwords, false)) return code;
    }
  }
  NotifyExtenders(eaTableEmpty, false, {aTableName});
  return 0;
}

uint32_t TmvServerDatabase::TableRename(const String& aOldName, const String& aNewName, const String& aPassword) {
  if (uint32_t code = mvCheckRootTableName(aOldName, true, false)) return code;
  if (uint32_t code = mvCheckRootTableName(aNewName, false, false)) return code;
  return atoLockedCall([&] { return sdTableRename(aOldName, aNewName, aPassword); });
}

uint32_t TmvServerDatabase::sdTableRename(const String& aOldName, const String& aNewName, const String& aPassword) {
  if (sdOpenMode == omReadOnly) return Code(MVERR_DBREADONLY);
  TmvUnicodeStrings passwords;
  sdBuildPasswords(aOldName, aPassword, passwords);
  {
    TmvPadlockGuard tables(sdFolder->TablesPadlock());
    TMapperGuard mapper(sdTables.get());
    const int32_t mapped = mapper.List()->IndexOf(aOldName);
    if (mapped >= 0) {
      auto* table = static_cast<TmvServerRootTable*>(mapper.List()->GetObject(mapped));
      TmvTableScope scope = table->TableScope();
      if (uint32_t veto =
              NotifyExtenders(eaTableRename, true, {aOldName, aNewName, static_cast<void*>(&scope)}))
        return veto;
      if (mapper.List()->IndexOf(aNewName) >= 0 || sdFolder->sfTableExists(aNewName) == 0)
        return Code(MVERR_TABLEEXISTS);
      if (uint32_t code = CheckMappedPasswords(table, passwords)) return code;
      table->srtSetNameInScope(aNewName);
      mapper.List()->Delete(mapped);
      mapper.List()->AddObject(aNewName, table);
    } else {
      if (uint32_t veto = NotifyExtenders(eaTableRename, true, {aOldName, aNewName})) return veto;
      if (uint32_t code = sdFolder->sfTableRename(aOldName, aNewName, passwords, false)) return code;
    }
  }
  // The stored name follows, so that a name check on open still matches.
  TmvAbstractCursor* cursor = nullptr;
  uint32_t result = sdCursorOpen(cursor, aNewName, aPassword, false, omReadWrite, smExclusive, false, 10000,
                                 String(), -1, true, false);
  if (result == 0) {
    if (auto* tableCursor = dynamic_cast<TmvServerTableCursor*>(cursor)) {
      TmvMemoryStream stream;
      {
        TmvWriter writer(stream);
        writer.WriteString(aNewName);
      }
      stream.SetPosition(0);
      result = tableCursor->sbcTableStreamWrite(u"$TableName", &stream, true);
    }
    TmvAbstractServerObject::Free(cursor);
  }
  if (result != 0) return result;
  NotifyExtenders(eaTableRename, false, {aOldName, aNewName});
  if (CountsAsSchemaChange(aOldName) && CountsAsSchemaChange(aNewName)) sdStructureChanged();
  return 0;
}

uint32_t TmvServerDatabase::TableExists(const String& aTableName, const String& aPassword, bool& aExists,
                                        bool aAllowSystem) {
  aExists = false;
  if (aTableName.empty()) return 0;
  if (uint32_t code = mvCheckTableName(aTableName, true, aAllowSystem)) return code;
  return atoLockedCall([&] {
    if (uint32_t veto = NotifyExtenders(eaTableExists, true, {aTableName, static_cast<void*>(&aExists)}))
      return veto;
    const uint32_t code = sdTableExists(aTableName, aPassword, false);
    if (code != 0 && code != MVERR_OBJNOTFOUND) return code;
    aExists = code == 0;
    NotifyExtenders(eaTableExists, false, {aTableName, static_cast<void*>(&aExists)});
    return 0u;
  });
}

uint32_t TmvServerDatabase::sdTableExists(const String& aTableName, const String& aPassword, bool aForServer) {
  const size_t colon = aTableName.find(u':');
  const String rootName = aTableName.substr(0, colon);
  TmvPadlockGuard tables(sdFolder->TablesPadlock());
  TMapperGuard mapper(sdTables.get());
  if (mapper.List()->IndexOf(rootName) < 0)
    if (uint32_t code = sdFolder->sfTableExists(rootName)) return code;
  if (colon == String::npos) return 0;
  TmvServerBaseTable* table = nullptr;
  bool readOnly = false;
  const uint32_t code = sdGetTable(table, aTableName, aPassword, aForServer, readOnly, true, sdIsCache);
  return code == MVERR_NOSUCHTABLE ? Code(MVERR_OBJNOTFOUND) : code;
}

uint32_t TmvServerDatabase::TableGetDictionary(const String& aTableName, const String& aPassword,
                                               TmvDataDictionary* aDictionary) {
  if (uint32_t code = mvCheckRootTableName(aTableName, true, false)) return code;
  if (!aDictionary) return Code(MVERR_INVALIDPARAM);
  return atoLockedCall([&] { return sdTableGetDictionary(aTableName, aPassword, aDictionary); });
}

uint32_t TmvServerDatabase::sdTableGetDictionary(const String& aTableName, const String& aPassword,
                                                 TmvDataDictionary* aDictionary) {
  if (uint32_t veto = NotifyExtenders(eaTableGetDictionary, true, {aTableName, static_cast<TPersistent*>(aDictionary)}))
    return veto;
  TmvUnicodeStrings passwords;
  sdBuildPasswords(aTableName, aPassword, passwords);
  {
    TmvPadlockGuard tables(sdFolder->TablesPadlock());
    TMapperGuard mapper(sdTables.get());
    const int32_t mapped = mapper.List()->IndexOf(aTableName);
    if (mapped >= 0) {
      auto* table = static_cast<TmvServerRootTable*>(mapper.List()->GetObject(mapped));
      if (uint32_t code = CheckMappedPasswords(table, passwords)) return code;
      aDictionary->Assign(table->Dictionary());
    } else {
      String password;
      bool link = false;
      if (uint32_t code = sdFolder->sfTableGetDictionary(aTableName, passwords, password, link, aDictionary, false))
        return code;
    }
  }
  NotifyExtenders(eaTableGetDictionary, false, {aTableName, static_cast<TPersistent*>(aDictionary)});
  return 0;
}

uint32_t TmvServerDatabase::TableGetList(TStrings* aList) {
  if (!aList) return Code(MVERR_INVALIDPARAM);
  return atoLockedCall([&] { return sdTableGetList(aList, GetExplicitAllowSystem()); });
}

uint32_t TmvServerDatabase::sdTableGetList(TStrings* aList, bool aAllowSystem) {
  if (uint32_t veto = NotifyExtenders(eaTableGetList, true, {static_cast<void*>(aList)})) return veto;
  TmvFastStringListIC names(dupIgnore);
  {
    TStringList folder;
    if (uint32_t code = sdFolder->sfTableGetList(&folder)) return code;
    for (int32_t i = 0; i < folder.Count(); ++i) names.Add(folder[i]);
    TMapperGuard mapper(sdTables.get());
    for (int32_t i = 0; i < mapper.List()->Count(); ++i) names.Add(mapper.List()->Get(i));
  }
  aList->BeginUpdate();
  try {
    aList->Clear();
    for (int32_t i = 0; i < names.Count(); ++i)
      if (mvCheckRootTableName(names.Get(i), true, aAllowSystem) == 0) aList->Add(names.Get(i));
  } catch (...) {
    aList->EndUpdate();
    throw;
  }
  aList->EndUpdate();
  NotifyExtenders(eaTableGetList, false, {static_cast<void*>(aList)});
  return 0;
}

uint32_t TmvServerDatabase::TablePack(const String&, const String&, TmvAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TablePack");
}
uint32_t TmvServerDatabase::TableBackup(const String&, const String&, TmvAbstractDatabase*,
                                        TmvAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableBackup");
}
uint32_t TmvServerDatabase::TableRebuildIndex(const String&, const String&, const String&, int32_t,
                                              TmvAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableRebuildIndex");
}
uint32_t TmvServerDatabase::TableRestructure(const String&, const String&, TmvDataDictionary*,
                                             TmvBaseTableMapperDescriptor*, bool, TmvAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableRestructure");
}
uint32_t TmvServerDatabase::TableAddField(const String&, const String&, TmvFieldDescriptor*) {
  return NotSupported(u"TableAddField");
}
uint32_t TmvServerDatabase::TableAddIndex(const String&, const String&, TmvIndexDescriptor*, bool) {
  return NotSupported(u"TableAddIndex");
}
uint32_t TmvServerDatabase::TableDropIndex(const String&, const String&, const String&, int32_t) {
  return NotSupported(u"TableDropIndex");
}
uint32_t TmvServerDatabase::TableRecover(const String&, const String&, TmvAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableRecover");
}
uint32_t TmvServerDatabase::TableVerifyChecksum(const String&, const String&, bool, bool,
                                                TmvAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"TableVerifyChecksum");
}
uint32_t TmvServerDatabase::TableChangePassword(const String&, const String&, const String&) {
  return NotSupported(u"TableChangePassword");
}
uint32_t TmvServerDatabase::TableAutoIncGet(const String&, const String&, uint32_t& aValue) {
  aValue = 0;
  return NotSupported(u"TableAutoIncGet");
}
uint32_t TmvServerDatabase::TableStreamRead(const String&, const String&, const String&, TStream*) {
  return NotSupported(u"TableStreamRead");
}
uint32_t TmvServerDatabase::TableStreamWrite(const String&, const String&, const String&, TStream*) {
  return NotSupported(u"TableStreamWrite");
}
uint32_t TmvServerDatabase::sdTableRebuildIndex(const String&, const String&, const String&, int32_t,
                                                TmvAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"sdTableRebuildIndex");
}
uint32_t TmvServerDatabase::sdTableRestructure(const String&, const String&, TmvDataDictionary*,
                                               TmvBaseTableMapperDescriptor*, TmvAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  return NotSupported(u"sdTableRestructure");
}
