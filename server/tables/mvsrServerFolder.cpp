// Server engine: a database folder of the in-process engine. See
// mvsrServerFolder.h.
#include "server/tables/mvsrServerFolder.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "server/mvsdSessionLists.h"
#include "server/mvsrServerEngine.h"
#include "server/tables/mvsrServerDatabase.h"
#include "server/tables/mvsrServerTable.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "storage/files/mvsrFileSystem.h"
#include "storage/files/mvsrFileUtils.h"
#include "storage/header/mvsrServerDataDict.h"
#include "storage/transactions/mvsrTransactionMgr.h"

constinit const ClassRef TmvServerFolder::StaticClass{u"TmvServerFolder",
                                                      &TmvLockedOptionsExtendableServerObject::StaticClass};

namespace {

uint32_t Code(int32_t aCode) { return EmvBaseException::mvSetMessage(aCode, String()); }

bool InMemoryPath(const String& aPath) { return aPath.empty() || aPath[0] == u'#'; }

// Names without regard to case: the ASCII letters fold, as the table lists
// compare.
bool SameName(const String& a, const String& b) { return SameClassName(a, b); }

// The name without a trailing "." + aExtension (ignoring case).
String WithoutExtension(const String& aName, const String& aExtension) {
  const String suffix = u"." + aExtension;
  if (aName.size() > suffix.size() && SameName(aName.substr(aName.size() - suffix.size()), suffix))
    return aName.substr(0, aName.size() - suffix.size());
  return aName;
}

bool LeavesFolder(const String& aName) { return aName.find(u'/') != String::npos; }

bool FileExists(const String& aPath) {
  TmvFileStat stat;
  return mvFileSystem().Stat(UTF8Encode(aPath), stat) == 0 && !stat.IsDirectory;
}

// Each file's share lock, held while the files are deleted or renamed, so
// that a file another process has open is not pulled away from under it:
// the exclusive lock, or the shared one of a file this process may only
// read. A file that does not exist takes none (its operation fails later).
class THeldFiles {
 public:
  ~THeldFiles() {
    for (int handle : fHandles) mvFileSystem().Close(handle);
  }
  // False, with errno set, when the lock of aName is refused.
  bool Hold(const String& aName) {
    TmvFileSystem& fs = mvFileSystem();
    const std::string path = UTF8Encode(aName);
    bool exclusive = true;
    int handle = fs.Open(path, O_RDWR, 0);
    if (handle < 0 && (errno == EACCES || errno == EROFS)) {
      exclusive = false;
      handle = fs.Open(path, O_RDONLY, 0);
    }
    if (handle < 0) return errno == ENOENT;
    fHandles.push_back(handle);
    return fs.Lock(handle, exclusive) == 0;
  }

 private:
  std::vector<int> fHandles;
};

}  // namespace

bool mvIsPlainTableName(const String& aName) {
  if (aName.empty()) return false;
  for (char16_t c : aName)
    if (String(u"\"*./:<>?\\|").find(c) != String::npos) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Life

TmvServerFolder::TmvServerFolder(TmvServerEngine* aServerEngine, const String& aPath, bool aIsCache)
    : TmvLockedOptionsExtendableServerObject(nullptr),
      sfServerEngine(aServerEngine),
      sfPath(aPath),
      sfInMemOnly(aServerEngine->HasOption(seoInMemOnly) || InMemoryPath(aPath)),
      sfReadOnly(aServerEngine->HasOption(seoReadOnly) && !sfInMemOnly),
      sfForceFailSafe(aServerEngine->HasOption(seoForceFailSafe)),
      sfIsCache(aIsCache) {
  stTransManager =
      new TmvServerTransactionMgr(aServerEngine->BufferManager(), sfInMemOnly ? String() : sfPath, sfReadOnly);
  if (stTransManager->ReadOnly() && !sfInMemOnly) sfReadOnly = true;
  try {
    TmvPadlockGuard guard(sfServerEngine->FoldersPadlock());
    sfServerEngine->Folders()->AddObject(sfPath, this);
  } catch (...) {
    delete stTransManager;
    stTransManager = nullptr;
    throw;
  }
}

TmvServerFolder::~TmvServerFolder() {
  sfDestroying = true;
  {
    TmvPadlockGuard databases(&sfDatabasesPadlock);
    sfServerEngine->seInactiveFolderRemove(this);
    TmvPadlockGuard guard(sfServerEngine->FoldersPadlock());
    TStrings* folders = sfServerEngine->Folders();
    const int32_t index = folders->IndexOf(sfPath);
    if (index >= 0 && folders->GetObject(index) == this) folders->Delete(index);
  }
  {
    TmvPadlockGuard tables(&sfTablesPadlock);
    while (sfTables.Count() > 0) {
      const int32_t before = sfTables.Count();
      auto* last = static_cast<TmvServerRootTable*>(sfTables.GetObject(before - 1));
      try {
        TmvAbstractServerObject::Free(last);
      } catch (...) {
        mvServerLogCurrentException(u"Closing a table of folder " + sfPath);
      }
      if (sfTables.Count() == before) sfTables.Delete(before - 1);  // it would not go: forget it
    }
  }
  delete stTransManager;  // writes "mvTrans.cfg"
}

void TmvServerFolder::AfterConstruction() {
  TmvLockedOptionsExtendableServerObject::AfterConstruction();
  sfServerEngine->seFolderCount.fetch_add(1, std::memory_order_acq_rel);
  sfLockedIncDone = true;
}

void TmvServerFolder::BeforeDestruction() {
  if (sfLockedIncDone) {
    sfLockedIncDone = false;
    sfServerEngine->seFolderCount.fetch_sub(1, std::memory_order_acq_rel);
  }
  TmvLockedOptionsExtendableServerObject::BeforeDestruction();
}

TmvBaseServerEngine* TmvServerFolder::GetServerEngine() { return sfServerEngine; }

void TmvServerFolder::LockTables() { sfTablesPadlock.Lock(); }
void TmvServerFolder::UnlockTables() { sfTablesPadlock.Unlock(); }
bool TmvServerFolder::TryLockTables() { return sfTablesPadlock.TryLock(); }

const String& TmvServerFolder::TableExtension() const { return sfServerEngine->GetTableExtension(); }

// ---------------------------------------------------------------------------
// Databases and tables

namespace {

auto DatabaseList(TmvServerDatabase*& aHead, TmvServerDatabase*& aTail) {
  return TmvOwnerListView<TmvServerDatabase, &TmvServerDatabase::sdFolderPrev, &TmvServerDatabase::sdFolderNext>{
      aHead, aTail};
}

}  // namespace

void TmvServerFolder::sfAddDatabase(TmvServerDatabase* aDatabase) {
  TmvPadlockGuard guard(&sfDatabasesPadlock);
  DatabaseList(sfDatabasesHead, sfDatabasesTail).Append(aDatabase);
  sfDatabaseCount.fetch_add(1, std::memory_order_acq_rel);
}

void TmvServerFolder::sfRemoveDatabase(TmvServerDatabase* aDatabase) {
  TmvPadlockGuard guard(&sfDatabasesPadlock);
  if (!aDatabase->sdFolderPrev && sfDatabasesHead != aDatabase) return;
  DatabaseList(sfDatabasesHead, sfDatabasesTail).Remove(aDatabase);
  sfDatabaseCount.fetch_sub(1, std::memory_order_acq_rel);
}

TmvServerRootTable* TmvServerFolder::sfFindTable(const String& aTableName) {
  TmvPadlockGuard guard(&sfTablesPadlock);
  int32_t index;
  return sfTables.Find(aTableName, index) ? static_cast<TmvServerRootTable*>(sfTables.GetObject(index)) : nullptr;
}

int32_t TmvServerFolder::TableCount() {
  TmvPadlockGuard guard(&sfTablesPadlock);
  return sfTables.Count();
}

TmvServerRootTable* TmvServerFolder::Table(int32_t aIndex) {
  TmvPadlockGuard guard(&sfTablesPadlock);
  return static_cast<TmvServerRootTable*>(sfTables.GetObject(aIndex));
}

void TmvServerFolder::sfAddTable(TmvServerRootTable* aTable) {
  TmvPadlockGuard guard(&sfTablesPadlock);
  sfTables.AddObject(aTable->Name(), aTable);
  if (aTable->TableScope() != tsPersistent) sfInMemoryCount.fetch_add(1, std::memory_order_acq_rel);
}

void TmvServerFolder::sfRemoveTable(TmvServerRootTable* aTable) {
  TmvPadlockGuard guard(&sfTablesPadlock);
  int32_t index;
  if (!sfTables.Find(aTable->Name(), index) || sfTables.GetObject(index) != aTable) return;
  sfTables.Delete(index);
  if (aTable->TableScope() != tsPersistent) sfInMemoryCount.fetch_sub(1, std::memory_order_acq_rel);
}

void TmvServerFolder::sfRenameTable(TmvServerRootTable* aTable, const String& aNewName) {
  TmvPadlockGuard guard(&sfTablesPadlock);
  sfRemoveTable(aTable);
  aTable->srtSetName(aNewName);
  sfAddTable(aTable);
}

bool TmvServerFolder::sfFreeIfIdle(TmvServerRootTable* aTable, bool aIgnoreKeepInMemory, bool aRequestClose) {
  aTable->sbtLockIsInactive.fetch_add(1, std::memory_order_acq_rel);
  bool idle;
  try {
    idle = aTable->srtIsInactive(aIgnoreKeepInMemory, aRequestClose, 1);
  } catch (...) {
    aTable->asoConvertException();
    idle = false;
  }
  const int32_t left = aTable->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (!idle || left != 0) return false;
  TmvAbstractServerObject::Free(aTable);
  return true;
}

// ---------------------------------------------------------------------------
// File names

String TmvServerFolder::sfFileName(const String& aBaseName, const String& aExtension) const {
  return mvJoinPath(sfPath, mvAddExtension(aBaseName, aExtension));
}

String TmvServerFolder::sfFileOnDisk(const String& aBaseName, const String& aExtension) const {
  const String exact = sfFileName(aBaseName, aExtension);
  if (sfInMemOnly || FileExists(exact)) return exact;
  std::vector<std::string> names;
  if (mvFileSystem().ListFolder(UTF8Encode(sfPath), names) != 0) return exact;
  const String wanted = mvAddExtension(aBaseName, aExtension);
  String found;
  for (const std::string& name : names) {
    const String candidate = UTF8ToString(name);
    // Of several spellings the first in code-unit order, so that the choice
    // does not depend on the order of the listing.
    if (SameName(candidate, wanted) && (found.empty() || candidate < found)) found = candidate;
  }
  return found.empty() ? exact : mvJoinPath(sfPath, found);
}

std::vector<String> TmvServerFolder::FileNames(const String& aTableName, TmvDataDictionary* aDict) const {
  std::vector<String> names{sfFileOnDisk(aTableName, TableExtension())};
  if (TmvFilesDescriptor* files = aDict ? aDict->GetFilesDescriptor() : nullptr)
    for (int32_t i = 1; i < files->FileCount(); ++i)
      names.push_back(sfFileOnDisk(aTableName, files->FileDescriptor(i)->GetExtension()));
  return names;
}

// ---------------------------------------------------------------------------
// Inactivity

bool TmvServerFolder::sfIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose) {
  if (DatabaseCount() > 0) return false;
  TmvPadlockGuard guard(&sfTablesPadlock, TmvPadlockGuard::TryTag{});
  if (!guard.Owns()) return false;
  // Tables may leave the list while their cursors close.
  for (int32_t i = sfTables.Count() - 1; i >= 0; i = std::min(i - 1, sfTables.Count() - 1)) {
    auto* table = static_cast<TmvServerRootTable*>(sfTables.GetObject(i));
    if (!table->srtIsInactive(aIgnoreKeepInMemory, aRequestClose, 0)) return false;
  }
  return true;
}

void TmvServerFolder::sfUpdateInactive() {
  const bool inactive = !sfDestroying && DatabaseCount() == 0 &&
                        sfInMemoryCount.load(std::memory_order_acquire) == 0 && sfIsInactive(false, false);
  if (inactive)
    sfServerEngine->seInactiveFolderAdd(this);
  else
    sfServerEngine->seInactiveFolderRemove(this);
}

uint32_t TmvServerFolder::sfCloseInactiveTables() {
  TmvPadlockGuard guard(&sfTablesPadlock, TmvPadlockGuard::TryTag{});
  if (!guard.Owns()) return Code(MVERR_RECLOCKED);
  for (bool freed = true; freed;) {
    freed = false;
    for (int32_t i = sfTables.Count() - 1; i >= 0; i = std::min(i - 1, sfTables.Count() - 1))
      if (sfFreeIfIdle(static_cast<TmvServerRootTable*>(sfTables.GetObject(i)), false, true)) freed = true;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Build, create, exists

uint32_t TmvServerFolder::CheckName(const String& aTableName) {
  if (aTableName.empty() || LeavesFolder(aTableName)) return Code(MVERR_INVALIDTABLENAME);
  return 0;
}

uint32_t TmvServerFolder::sfTableBuild(bool aOverWrite, const String& aTableName, TmvTableScope aTableScope,
                                       TmvDataDictionary* aDictionary, bool aForServer, const String& aPassword) {
  try {
    if (uint32_t veto = NotifyExtenders(eaTableBuild, true,
                                        {aOverWrite, aTableName, static_cast<void*>(aDictionary),
                                         static_cast<void*>(&aTableScope)}))
      return veto;
    if (sfReadOnly) return Code(MVERR_DBREADONLY);
    TmvPadlockGuard guard(&sfTablesPadlock);
    if (TmvServerRootTable* open = sfFindTable(aTableName))
      if (!sfFreeIfIdle(open, true, true)) return Code(MVERR_TABLEOPEN);
    if (uint32_t code = CheckName(aTableName)) return code;
    if (aTableScope == tsPersistent && !mvIsPlainTableName(aTableName)) return Code(MVERR_INVALIDTABLENAME);
    if (sfTableExists(aTableName) == 0) {
      if (!aOverWrite) return Code(MVERR_TABLEEXISTS);
      TmvUnicodeStrings passwords;
      if (!aPassword.empty()) passwords.push_back(aPassword);
      if (sfTableDelete(aTableName, passwords, aForServer) != 0) return Code(MVERR_TABLEREADONLY);
    }
    TmvServerRootTable* table = nullptr;
    if (uint32_t code = sfCreateRootTable(aTableName, aTableScope, aDictionary, aForServer, aPassword, table))
      return code;
    // A persistent table nobody uses yet stays on disk only.
    sfFreeIfIdle(table, false, false);
    sfStructureGeneration.fetch_add(1, std::memory_order_acq_rel);
    NotifyExtenders(eaTableBuild, false,
                    {aOverWrite, aTableName, static_cast<void*>(aDictionary), static_cast<void*>(&aTableScope)});
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerFolder::sfCreateRootTable(const String& aTableName, TmvTableScope aTableScope,
                                            TmvDataDictionary* aDictionary, bool aForServer, const String& aPassword,
                                            TmvServerRootTable*& aTable) {
  aTable = nullptr;
  if (sfReadOnly && (aTableScope == tsPersistent || aTableScope == tsTempGlobal)) return Code(MVERR_DBREADONLY);
  if (sfInMemOnly && aTableScope == tsPersistent)
    return EmvBaseException::mvSetMessage(MVERR_NOTSUPPORTED,
                                          u"TableScope tsPersistent is not supported for in-memory database");
  TmvServerRootTable* table = nullptr;
  TmvServerTransaction* trans = nullptr;
  try {
    TmvPadlockGuard guard(&sfTablesPadlock);
    table = TmvAbstractServerObject::Create<TmvServerRootTable>(this, aTableName, omReadWrite, smExclusive,
                                                                aTableScope);
    trans = new TmvServerTransaction(sfServerEngine->BufferManager(), nullptr, false, false, false);
    TmvFileAttributes attributes = 0;
    if (aTableScope != tsPersistent) attributes |= mvFileAttr(mvfaTemporary);
    if (aTableScope == tsTempGlobal || aTableScope == tsTempDatabase) attributes |= mvFileAttr(mvfaMemTable);
    TmvUnicodeStrings passwords;
    if (!aPassword.empty()) passwords.push_back(aPassword);
    uint32_t code = table->srtCreate(trans, passwords, aTableName, attributes, aDictionary, aForServer);
    if (code == 0) {
      TmvServerTransaction* committing = std::exchange(trans, nullptr);
      try {
        committing->Commit();  // frees it
      } catch (...) {
        trans = committing;  // still there: rolled back below
        throw;
      }
      aTable = table;
      return 0;
    }
    trans->Rollback();  // frees it
    TmvAbstractServerObject::Free(table);
    return code;
  } catch (...) {
    const uint32_t code = asoConvertException();
    if (trans) {
      try {
        trans->Rollback();
      } catch (...) {
        mvServerLogCurrentException(u"Rolling back a table that could not be created");
      }
    }
    if (table) {
      const std::vector<String> names = FileNames(table->Name(), table->Dictionary());
      TmvAbstractServerObject::Free(table);
      if (aTableScope == tsPersistent)
        for (const String& name : names) {
          try {
            if (FileExists(name)) mvDeleteFile(name);
          } catch (...) {
            mvServerLogCurrentException(u"Deleting a table that could not be created");
          }
        }
    }
    return code;
  }
}

uint32_t TmvServerFolder::sfTableExists(const String& aTableName) {
  const String name = WithoutExtension(aTableName, TableExtension());
  if (name.empty() || LeavesFolder(name)) return Code(MVERR_OBJNOTFOUND);
  if (TmvServerRootTable* open = sfFindTable(name))
    return open->TableScope() == tsTempDatabase || open->TableScope() == tsTempUnnamed ? Code(MVERR_OBJNOTFOUND) : 0;
  if (sfInMemOnly) return Code(MVERR_OBJNOTFOUND);
  // Names of private and system objects never stand for files.
  const size_t hashes = name.find_first_not_of(u'#');
  if ((name.size() > 2 && name.front() == u'<' && name.back() == u'>') || (hashes == 3 && name.size() > 3) ||
      (hashes == 2 && name.size() > 2))
    return Code(MVERR_OBJNOTFOUND);
  return FileExists(sfFileOnDisk(name, TableExtension())) ? 0 : Code(MVERR_OBJNOTFOUND);
}

// ---------------------------------------------------------------------------
// Dictionaries, lists and names

uint32_t TmvServerFolder::sfTableGetDictionary(const String& aTableName, const TmvUnicodeStrings& aPasswords,
                                               String& aPassword, bool& aFileIsLink, TmvDataDictionary* aDict,
                                               bool aForServer) {
  uint32_t code = 0;
  try {
    TmvPadlockGuard guard(&sfTablesPadlock);
    const auto notFound = [&] {
      return EmvBaseException::mvSetMessage(MVERR_NOSUCHTABLE,
                                            mvOriginalMessageMarker() + u" Root table \"" + aTableName + u"\" not found");
    };
    if (TmvServerRootTable* open = sfFindTable(aTableName)) {
      code = open->srtCheckPasswords(aPasswords);
      if (code == 0) {
        aDict->Assign(open->Dictionary());
        aPassword = open->ExtractPassword();
        aFileIsLink = open->FileIsLink();
      }
    } else if (sfInMemOnly) {
      code = notFound();
    } else if (!mvIsPlainTableName(aTableName)) {
      code = Code(MVERR_INVALIDTABLENAME);
    } else if (!FileExists(sfFileOnDisk(aTableName, TableExtension()))) {
      code = notFound();
    } else {
      auto* table = TmvAbstractServerObject::Create<TmvServerRootTable>(this, aTableName, omReadOnly, smShareRead,
                                                                        tsPersistent);
      bool readOnly = false;
      code = table->srtOpenFiles(nullptr, aPasswords, readOnly, 0, aForServer);
      if (code == 0) {
        aDict->Assign(table->Dictionary());
        aPassword = table->ExtractPassword();
        aFileIsLink = table->FileIsLink();
      }
      TmvAbstractServerObject::Free(table);
    }
  } catch (...) {
    code = asoConvertException();
  }
  if (code != 0) {
    const String text = EmvBaseException(int64_t(code)).ProcessedErrorString();
    try {
      if (auto* server = dynamic_cast<TmvServerDataDict*>(aDict)) server->ForceOffReadOnly();
      aDict->ClearDescriptors(false, false);
    } catch (...) {
      mvServerLogCurrentException(u"Clearing a dictionary");
    }
    EmvBaseException::mvSetMessage(int32_t(code), text);
  }
  return code;
}

uint32_t TmvServerFolder::sfTableGetList(TStrings* aList) {
  try {
    aList->Clear();
    aList->BeginUpdate();
    TmvFastStringListIC names(dupIgnore);
    std::vector<String> hidden;
    {
      TmvPadlockGuard guard(&sfTablesPadlock);
      for (int32_t i = 0; i < sfTables.Count(); ++i) {
        auto* table = static_cast<TmvServerRootTable*>(sfTables.GetObject(i));
        if (table->TableScope() == tsTempDatabase || table->TableScope() == tsTempUnnamed)
          hidden.push_back(table->Name());
        else
          names.Add(table->Name());
      }
    }
    if (!sfInMemOnly) {
      std::vector<std::string> files;
      if (mvFileSystem().ListFolder(UTF8Encode(sfPath), files) == 0)
        for (const std::string& file : files) {
          const String name = UTF8ToString(file);
          const String base = WithoutExtension(name, TableExtension());
          if (base != name && FileExists(mvJoinPath(sfPath, name))) names.Add(base);
        }
    }
    for (const String& name : hidden) {
      const int32_t index = names.IndexOf(name);
      if (index >= 0) names.Delete(index);
    }
    for (int32_t i = 0; i < names.Count(); ++i) aList->Add(names[i]);
    aList->EndUpdate();
    return 0;
  } catch (...) {
    aList->EndUpdate();
    return asoConvertException();
  }
}

uint32_t TmvServerFolder::sfTableMakeUniqueName(const String& aBaseName, String& aTableName) {
  try {
    TmvPadlockGuard guard(&sfTablesPadlock);
    aTableName = aBaseName;
    for (int64_t n = 1; sfTableExists(aTableName) == 0; ++n) aTableName = aBaseName + IntToStr(n);
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

// ---------------------------------------------------------------------------
// Delete, empty, rename

uint32_t TmvServerFolder::DeleteFiles(const String& aTableName, TmvDataDictionary* aDict) {
  try {
    const std::vector<String> names = FileNames(aTableName, aDict);
    THeldFiles held;
    for (const String& name : names)
      if (!held.Hold(name))
        throw mvCreateOSExceptionFmt<EmvFileManagementException>(MVERR_FILEDELETE, u"DeleteFile (\"%s\")", {name});
    for (const String& name : names) mvDeleteFile(name);
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerFolder::RenameFiles(const String& aOldName, const String& aNewName, TmvDataDictionary* aDict) {
  try {
    const std::vector<String> from = FileNames(aOldName, aDict);
    std::vector<String> to{sfFileName(aNewName, TableExtension())};
    for (int32_t i = 1; i < aDict->GetFilesDescriptor()->FileCount(); ++i)
      to.push_back(sfFileName(aNewName, aDict->GetFilesDescriptor()->FileDescriptor(i)->GetExtension()));
    const auto refuse = [&](size_t i, int aErrno) {
      errno = aErrno;
      return mvCreateOSExceptionFmt<EmvFileManagementException>(
          MVERR_FILERENAME, u"RenameFile (from \"%s\" to \"%s\")", {from[i], to[i]});
    };
    THeldFiles held;
    for (size_t i = 0; i < from.size(); ++i) {
      if (!held.Hold(from[i])) throw refuse(i, errno);
      // Linux would replace an existing file silently.
      if (FileExists(to[i])) throw refuse(i, EEXIST);
    }
    size_t done = 0;
    try {
      for (; done < from.size(); ++done) mvRenameFile(from[done], to[done]);
    } catch (...) {
      while (done > 0) {
        --done;
        try {
          mvRenameFile(to[done], from[done]);
        } catch (...) {
          mvServerLogCurrentException(u"Renaming a table file back");
        }
      }
      throw;
    }
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerFolder::sfTableDelete(const String& aTableName, const TmvUnicodeStrings& aPasswords,
                                        bool aForServer) {
  try {
    if (uint32_t veto = NotifyExtenders(eaTableDelete, true, {aTableName})) return veto;
    if (sfReadOnly) return Code(MVERR_DBREADONLY);
    if (uint32_t code = CheckName(aTableName)) return code;
    TmvPadlockGuard guard(&sfTablesPadlock);
    TmvServerDataDict dict;
    bool link = false;
    uint32_t dictCode = 0;
    if (TmvServerRootTable* open = sfFindTable(aTableName)) {
      open->sbtLockIsInactive.fetch_add(1, std::memory_order_acq_rel);
      const bool idle = open->srtIsInactive(true, true, 1);
      const bool alone = open->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel) == 1;
      if (!idle || !alone) return Code(MVERR_TABLEOPEN);
      if (open->TableScope() != tsPersistent) {
        TmvAbstractServerObject::Free(open);
        return 0;
      }
      dict.Assign(open->Dictionary());
      link = open->FileIsLink();
      TmvAbstractServerObject::Free(open);
    } else {
      String password;
      dictCode = sfTableGetDictionary(aTableName, aPasswords, password, link, &dict, aForServer);
    }
    if (link) return Code(MVERR_TABLEREADONLY);
    if (dictCode == MVERR_INVALIDTABLENAME || dictCode == MVERR_NOSUCHTABLE) return dictCode;
    // A table that cannot be read (damaged, or its password unknown) can
    // still be removed: its main file goes.
    if (uint32_t code = DeleteFiles(aTableName, dictCode == 0 ? &dict : nullptr)) return code;
    sfStructureGeneration.fetch_add(1, std::memory_order_acq_rel);
    NotifyExtenders(eaTableDelete, false, {aTableName});
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerFolder::sfTableEmpty(const String& aTableName, const TmvUnicodeStrings& aPasswords,
                                       bool aForServer) {
  try {
    if (sfReadOnly) return Code(MVERR_DBREADONLY);
    if (uint32_t code = CheckName(aTableName)) return code;
    TmvPadlockGuard guard(&sfTablesPadlock);
    TmvServerDataDict dict;
    String password;
    bool link = false;
    TmvTableScope scope = tsPersistent;
    if (TmvServerRootTable* open = sfFindTable(aTableName)) {
      scope = open->TableScope();
      if (uint32_t veto = NotifyExtenders(eaTableEmpty, true, {aTableName, int64_t(scope)})) return veto;
      open->sbtLockIsInactive.fetch_add(1, std::memory_order_acq_rel);
      const bool idle = open->srtIsInactive(true, true, 1);
      const bool alone = open->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel) == 1;
      if (!idle || !alone) return Code(MVERR_TABLEOPEN);
      dict.Assign(open->Dictionary());
      password = open->ExtractPassword();
      link = open->FileIsLink();
      TmvAbstractServerObject::Free(open);
    } else {
      if (uint32_t veto = NotifyExtenders(eaTableEmpty, true, {aTableName, int64_t(scope)})) return veto;
      if (uint32_t code = sfTableGetDictionary(aTableName, aPasswords, password, link, &dict, aForServer)) return code;
    }
    if (link) return Code(MVERR_TABLEREADONLY);
    if (uint32_t code = sfTableBuild(true, aTableName, scope, &dict, aForServer, password)) return code;
    NotifyExtenders(eaTableEmpty, false, {aTableName, int64_t(scope)});
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerFolder::sfTableRename(const String& aOldName, const String& aNewName,
                                        const TmvUnicodeStrings& aPasswords, bool aForServer) {
  try {
    if (sfReadOnly) return Code(MVERR_DBREADONLY);
    if (uint32_t code = CheckName(aOldName)) return code;
    if (uint32_t code = CheckName(aNewName)) return code;
    TmvPadlockGuard guard(&sfTablesPadlock);
    if (TmvServerRootTable* target = sfFindTable(aNewName))
      if (!sfFreeIfIdle(target, false, true)) return Code(MVERR_TABLEEXISTS);
    if (sfTableExists(aNewName) == 0) return Code(MVERR_TABLEEXISTS);
    TmvServerDataDict dict;
    bool link = false;
    if (TmvServerRootTable* open = sfFindTable(aOldName)) {
      TmvTableScope scope = open->TableScope();
      if (uint32_t veto = NotifyExtenders(eaTableRename, true, {aOldName, aNewName, static_cast<void*>(&scope)}))
        return veto;
      if (open->TableScope() != tsPersistent) {
        // Only in memory: the name is all there is.
        sfRenameTable(open, aNewName);
        return 0;
      }
      open->sbtLockIsInactive.fetch_add(1, std::memory_order_acq_rel);
      const bool idle = open->srtIsInactive(false, true, 1);
      const bool alone = open->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel) == 1;
      if (!idle || !alone) return Code(MVERR_TABLEOPEN);
      dict.Assign(open->Dictionary());
      link = open->FileIsLink();
      TmvAbstractServerObject::Free(open);
    } else {
      if (uint32_t veto = NotifyExtenders(eaTableRename, true, {aOldName})) return veto;
      String password;
      if (uint32_t code = sfTableGetDictionary(aOldName, aPasswords, password, link, &dict, aForServer)) return code;
    }
    if (link) return Code(MVERR_TABLEREADONLY);
    if (!mvIsPlainTableName(aNewName)) return Code(MVERR_INVALIDTABLENAME);
    const String oldName = WithoutExtension(aOldName, TableExtension());
    const String newName = WithoutExtension(aNewName, TableExtension());
    if (uint32_t code = RenameFiles(oldName, newName, &dict)) return code;
    sfStructureGeneration.fetch_add(1, std::memory_order_acq_rel);
    NotifyExtenders(eaTableRename, false, {aOldName, aNewName});
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

// ---------------------------------------------------------------------------
// Diagnostics

void TmvServerFolder::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvLockedOptionsExtendableServerObject::WriteObjectInfo(aContainer);
  aContainer->AddString(u"Path", sfPath);
  aContainer->AddBoolean(u"InMemOnly", sfInMemOnly);
  aContainer->AddBoolean(u"ReadOnly", sfReadOnly);
  const int32_t databases = DatabaseCount();
  aContainer->AddString(u"OpenDatabases", databases == 0 ? u"None" : databases == 1 ? u"One" : u"Multiple");
  {
    TmvPadlockGuard guard(&sfDatabasesPadlock);
    if (sfDatabasesHead) {
      ImvExceptionDataContainer* list = aContainer->AddContainer(u"Databases");
      int32_t i = 0;
      for (TmvServerDatabase* d = sfDatabasesHead; d; d = d->sdFolderNext)
        list->AddObject(u"[" + IntToStr(i++) + u"]", d, false);
    }
  }
  TmvPadlockGuard guard(&sfTablesPadlock);
  aContainer->AddInteger(u"OpenTables", sfTables.Count());
  if (sfTables.Count() > 0) {
    ImvExceptionDataContainer* list = aContainer->AddContainer(u"Tables");
    for (int32_t i = 0; i < sfTables.Count(); ++i)
      list->AddObject(u"[" + IntToStr(i) + u"]", static_cast<TmvServerRootTable*>(sfTables.GetObject(i)), false);
  }
}
