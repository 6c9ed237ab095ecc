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
    if (uint32_t code = sdGetTable(table, aTableName, aPassword, aForServer, readOnly, aInternal, aIsCache))
      return code;  // the cursor sources come with their own unit
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
// Table maintenance: its own unit comes later.

uint32_t TmvServerDatabase::TableBuild(bool, const String&, const String&, TmvDataDictionary*, TmvTableScope, bool) {
  return NotSupported(u"TableBuild");
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
uint32_t TmvServerDatabase::TableRename(const String&, const String&, const String&) {
  return NotSupported(u"TableRename");
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
uint32_t TmvServerDatabase::TableDelete(const String&, const String&) { return NotSupported(u"TableDelete"); }
uint32_t TmvServerDatabase::TableEmpty(const String&, const String&) { return NotSupported(u"TableEmpty"); }
uint32_t TmvServerDatabase::TableChangePassword(const String&, const String&, const String&) {
  return NotSupported(u"TableChangePassword");
}
uint32_t TmvServerDatabase::TableExists(const String&, const String&, bool& aExists, bool) {
  aExists = false;
  return NotSupported(u"TableExists");
}
uint32_t TmvServerDatabase::TableGetDictionary(const String&, const String&, TmvDataDictionary*) {
  return NotSupported(u"TableGetDictionary");
}
uint32_t TmvServerDatabase::TableGetList(TStrings*) { return NotSupported(u"TableGetList"); }
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
