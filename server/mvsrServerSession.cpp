// Server engine: the session of the in-process engine. See
// mvsrServerSession.h.
#include "server/mvsrServerSession.h"

#include <filesystem>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/filters/mvsdValidationDescriptors.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/keys/mvsdRefIntegrityDescriptors.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"
#include "server/mvsdServerNames.h"
#include "server/mvsrAliasHandler.h"
#include "server/mvsrServerEngine.h"
#include "server/mvsdPadlockGuard.h"
#include "server/tables/mvsrServerDatabase.h"
#include "server/tables/mvsrServerFolder.h"
#include "server/transactions/mvsrServerTransContext.h"
#include "storage/indices/mvseIndexEngine.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/records/mvseRecordEngine.h"

constinit const ClassRef TmvServerSession::StaticClass{u"TmvServerSession", &TmvAbstractSession::StaticClass};

namespace {

uint32_t Code(int32_t aCode) { return EmvBaseException::mvSetMessage(aCode, String()); }

uint32_t RequiresAliasHandler(const String& aWhat) {
  return EmvBaseException::mvSetMessage(MVERR_NOTSUPPORTED, Format(u"%s requires an AliasHandler", {aWhat}));
}

// The names of a registry, in its order.
void AddNames(TmvClassRegistry* aRegistry, TStrings* aList) {
  if (TmvFastStringListIC* names = *aRegistry)
    for (int32_t i = 0; i < names->Count(); ++i) aList->Add(names->Get(i));
}

bool ContainsCache(const String& aName) {
  String lower = aName;
  for (char16_t& c : lower)
    if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
  return lower.find(u"cache") != String::npos;
}

}  // namespace

TmvServerSession::TmvServerSession(TmvServerEngine* aServerEngine, uint32_t aTimeout, const String& aUserName,
                                   const String& aPassword, const String& aConnectedFrom, int32_t aClientVersion)
    : TmvAbstractSession(aServerEngine, aTimeout, aUserName, aPassword, aConnectedFrom),
      ssClientVersion(aClientVersion) {}

TmvServerSession::~TmvServerSession() { delete ssClientDefaultLocale; }

TmvServerEngine* TmvServerSession::ServerEngine() const {
  return static_cast<TmvServerEngine*>(TmvAbstractSession::ServerEngine());
}

TmvBaseAliasHandler* TmvServerSession::Handler() const {
  return ServerEngine() ? ServerEngine()->AliasHandler() : nullptr;
}

TmvLocaleDescriptor* TmvServerSession::GetClientDefaultLocale() {
  if (ssClientDefaultLocale || ssClientDefaultLocaleChecked) return ssClientDefaultLocale;
  ssClientDefaultLocaleChecked = true;
  String value;
  if (esoOptionGetEffective(u"SQL_DEFAULT_LOCALE", value) != 0) return nullptr;
  const int32_t locale = mvAnsiStrToIntDef(UTF8Encode(value), 0);
  if (locale <= 0) return nullptr;
  auto* descriptor = new TmvLocaleDescriptor(nullptr);
  try {
    descriptor->SetLocale(LCID(locale));
    descriptor->SetIsDefaultStringLiteralLocale(true);
  } catch (...) {
    delete descriptor;
    throw;
  }
  ssClientDefaultLocale = descriptor;
  return descriptor;
}

// ---------------------------------------------------------------------------
// Passwords

uint32_t TmvServerSession::PasswordAdd(const String& aPassword) {
  return atoLockedCall([&] { return ssPasswordAdd(aPassword); });
}

uint32_t TmvServerSession::PasswordRemove(const String& aPassword) {
  return atoLockedCall([&] { return ssPasswordRemove(aPassword); });
}

uint32_t TmvServerSession::PasswordRemoveAll() {
  return atoLockedCall([&] { return ssPasswordRemoveAll(); });
}

uint32_t TmvServerSession::ssPasswordAdd(const String& aPassword) {
  if (aPassword.empty()) return Code(MVERR_INVALIDPARAM);
  for (const String& p : ssPasswords)
    if (p == aPassword) return Code(MVERR_NAMENOTUNIQUE);
  ssPasswords.push_back(aPassword);
  return 0;
}

uint32_t TmvServerSession::ssPasswordRemove(const String& aPassword) {
  if (aPassword.empty()) return Code(MVERR_INVALIDPARAM);
  for (size_t i = 0; i < ssPasswords.size(); ++i) {
    if (ssPasswords[i] != aPassword) continue;
    mvUnicodeStringsExtract(ssPasswords, i);
    return 0;
  }
  return Code(MVERR_OBJNOTFOUND);
}

uint32_t TmvServerSession::ssPasswordRemoveAll() {
  ssPasswords.clear();
  return 0;
}

void TmvServerSession::ssBuildPasswords(const String& aAlias, const String& aTable, TmvUnicodeStrings& aPasswords,
                                        const String& aPassword) {
  aPasswords = ssPasswords;
  if (!aPassword.empty()) aPasswords.push_back(aPassword);
  NotifyExtenders(eaBuildPasswords, false, {aAlias, aTable, static_cast<void*>(&aPasswords)});
}

// ---------------------------------------------------------------------------
// Aliases

template <typename F>
uint32_t TmvServerSession::AliasCall(const char16_t* aOperation, TmvEngineAction aAction, TmvActionArgs aArgs,
                                     F&& aWork) {
  try {
    mvHookSetOperationDeadline(GetTimeout(), false);
    TmvBaseAliasHandler* handler = Handler();
    if (!handler) return RequiresAliasHandler(aOperation);
    if (uint32_t veto = NotifyExtenders(aAction, true, aArgs)) return veto;
    const uint32_t result = aWork(handler);
    if (result == 0) NotifyExtenders(aAction, false, aArgs);
    return result;
  } catch (...) {
    return asoConvertException();
  }
}

namespace {

// The components that use aliases hear that the table changed, whatever the
// change's outcome (notification operation 8); the client components
// themselves are left out.
uint32_t BroadcastAliasChange(TmvAbstractServerObject* aSession, TmvBaseAliasHandler* aHandler, uint32_t aResult) {
  if (!aHandler) return aResult;
  try {
    aHandler->Broadcast(8, nullptr, {u"TmvSession", u"TmvDatabase", u"TmvCursor"});
  } catch (...) {
    const uint32_t code = aSession->asoConvertException();
    return aResult ? aResult : code;
  }
  return aResult;
}

}  // namespace

uint32_t TmvServerSession::AliasAdd(const String& aAlias, const String& aPath, bool aEnforce) {
  if (uint32_t code = mvCheckAliasName(aAlias, false)) return code;
  const uint32_t result = AliasCall(u"AliasAdd", eaAliasAdd, {aAlias, aPath, aEnforce},
                                    [&](TmvBaseAliasHandler* h) { return h->Add(aAlias, aPath, aEnforce); });
  return BroadcastAliasChange(this, Handler(), result);
}

uint32_t TmvServerSession::AliasDelete(const String& aAlias) {
  if (uint32_t code = mvCheckAliasName(aAlias, true)) return code;
  const uint32_t result = AliasCall(u"AliasDelete", eaAliasDelete, {aAlias},
                                    [&](TmvBaseAliasHandler* h) { return h->Delete(aAlias); });
  return BroadcastAliasChange(this, Handler(), result);
}

uint32_t TmvServerSession::AliasModify(const String& aAlias, const String& aNewName, const String& aNewPath,
                                       bool aEnforce) {
  if (uint32_t code = mvCheckAliasName(aAlias, true)) return code;
  const uint32_t result =
      AliasCall(u"AliasModify", eaAliasModify, {aAlias, aNewName, aNewPath, aEnforce},
                [&](TmvBaseAliasHandler* h) { return h->Modify(aAlias, aNewName, aNewPath, aEnforce); });
  return BroadcastAliasChange(this, Handler(), result);
}

uint32_t TmvServerSession::AliasGetList(TmvAliasDescriptors& aList) {
  return AliasCall(u"AliasGetList", eaAliasGetList, {static_cast<void*>(&aList)}, [&](TmvBaseAliasHandler* h) {
    const uint32_t result = h->GetList(aList);
    std::erase_if(aList, [](const TmvAliasDescriptor& a) { return mvCheckAliasName(a.adAlias, false) != 0; });
    return result;
  });
}

uint32_t TmvServerSession::AliasGetPath(const String& aAlias, String& aPath) {
  aPath.clear();
  if (uint32_t code = mvCheckAliasName(aAlias, true)) return code;
  return AliasCall(u"AliasGetPath", eaAliasGetPath, {aAlias, static_cast<void*>(&aPath)},
                   [&](TmvBaseAliasHandler* h) { return h->GetPath(aAlias, aPath); });
}

// ---------------------------------------------------------------------------
// Closing inactive folders and tables, class lists

namespace {

template <typename F>
uint32_t EngineCall(TmvServerSession* aSession, TmvEngineAction aAction, F&& aWork) {
  try {
    mvHookSetOperationDeadline(aSession->GetTimeout(), false);
    if (uint32_t veto = aSession->NotifyExtenders(aAction, true, {})) return veto;
    const uint32_t result = aWork();
    if (result == 0) aSession->NotifyExtenders(aAction, false, {});
    return result;
  } catch (...) {
    return aSession->asoConvertException();
  }
}

}  // namespace

uint32_t TmvServerSession::CloseInactiveFolders() {
  return EngineCall(this, eaCloseInactiveFolders, [this] { return ServerEngine()->seCloseInactiveFolders(); });
}

uint32_t TmvServerSession::CloseInactiveTables() {
  return EngineCall(this, eaCloseInactiveTables, [this] { return ServerEngine()->seCloseInactiveTables(); });
}

uint32_t TmvServerSession::GetRegisteredClassList(TmvClassListType aClassListType, TStrings* aList) {
  aList->Clear();
  aList->BeginUpdate();
  uint32_t result = 0;
  try {
    result = NotifyExtenders(eaGetRegisteredClassList, true, {int64_t(aClassListType), static_cast<void*>(aList)});
    if (result == 0) {
      switch (aClassListType) {
        case setAutoIncEngines:
          AddNames(TmvBaseAutoIncEngine::GetList(), aList);
          break;
        case setBlobEngines:
          AddNames(TmvBaseBlobDescriptor::Registry(), aList);
          break;
        case setIndexEngines: {
          // The cache engines stay registered (cache tables find them) but
          // are not offered.
          TStringList all;
          AddNames(TmvBaseIndexEngine::GetList(), &all);
          for (int32_t i = 0; i < all.Count(); ++i)
            if (!ContainsCache(all[i])) aList->Add(all[i]);
          break;
        }
        case setEncryptionEngines:
          // No encryption engine registers a name in this system: the list
          // stays empty.
          break;
        case setDefaultDescriptors:
          AddNames(TmvBaseDefaultValueDescriptor::Registry(), aList);
          break;
        case setValidationDescriptors:
          AddNames(TmvBaseFieldValidationDescriptor::Registry(), aList);
          break;
        case setRecordDescriptors:
          AddNames(TmvBaseRecordEngine::GetList(), aList);
          break;
        case setRIActionDescriptors:
          AddNames(TmvBaseActionDescriptor::Registry(), aList);
          break;
        default:
          result = Code(MVERR_OBJNOTFOUND);
          break;
      }
    }
    if (result == 0)
      NotifyExtenders(eaGetRegisteredClassList, false, {int64_t(aClassListType), static_cast<void*>(aList)});
  } catch (...) {
    result = asoConvertException();
  }
  aList->EndUpdate();
  return result;
}

uint32_t TmvServerSession::TransContextCreate(TmvAbstractTransContext*& aTransContext, uint32_t aTimeout) {
  aTransContext = nullptr;
  try {
    aTransContext = TmvAbstractServerObject::Create<TmvServerTransContext>(this, aTimeout);
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

// ---------------------------------------------------------------------------
// Opening databases

uint32_t TmvServerSession::DatabaseOpen(TmvAbstractDatabase*& aDatabase, const String& aAliasType,
                                        const String& aAlias, TmvAbstractTransContext* aTransContext,
                                        TmvOpenMode aOpenMode, TmvShareMode aShareMode, uint32_t aTimeout) {
  return ssDoDatabaseOpen(aDatabase, aAliasType, aAlias, aTransContext, aOpenMode, aShareMode, aTimeout, false);
}

uint32_t TmvServerSession::DatabaseCacheOpen(TmvAbstractDatabase*& aDatabase, const String& aAliasType,
                                             const String& aAlias, TmvAbstractTransContext* aTransContext,
                                             TmvOpenMode aOpenMode, TmvShareMode aShareMode, uint32_t aTimeout) {
  return ssDoDatabaseOpen(aDatabase, aAliasType, aAlias, aTransContext, aOpenMode, aShareMode, aTimeout, true);
}

uint32_t TmvServerSession::ssDoDatabaseOpen(TmvAbstractDatabase*& aDatabase, const String& aAliasType,
                                            const String& aAlias, TmvAbstractTransContext* aTransContext,
                                            TmvOpenMode aOpenMode, TmvShareMode aShareMode, uint32_t aTimeout,
                                            bool aIsCache) {
  aDatabase = nullptr;
  uint32_t result;
  try {
    mvHookSetOperationDeadline(GetTimeout(), false);
    String aliasName, path;
    if (SameClassName(aAliasType, u"Name")) {
      if (uint32_t code = mvCheckAliasName(aAlias, true)) return code;
      TmvBaseAliasHandler* handler = Handler();
      if (!handler) return RequiresAliasHandler(u"AliasType = 'Name'");
      if (uint32_t code = handler->GetPath(aAlias, path)) return code;
      aliasName = aAlias;
    } else if (SameClassName(aAliasType, u"Path")) {
      path = aAlias;
    } else {
      return EmvBaseException::mvSetMessage(MVERR_NOTSUPPORTED, Format(u"AliasType '%s' not supported", {aAliasType}));
    }
    // An in-memory folder ("#...") or none at all touches no file system.
    path = mvTrimPath(path);
    if (!path.empty() && path[0] != u'#') {
      namespace fs = std::filesystem;
      std::error_code error;
      fs::path full = fs::absolute(UTF8Encode(path), error).lexically_normal();
      // One folder per directory, however it was reached: links and "."
      // and ".." are resolved.
      const fs::path canonical = fs::canonical(full, error);
      if (!error) full = canonical;
      path = UTF8ToString(full.string());
      if (path.size() > 1 && path.back() != u'/') path += u'/';
      if (!mvAliasFolderExists(path)) return Code(MVERR_ALIASDIRNOTFOUND);
    }
    result = ssOpenOnPath(aDatabase, aliasName, path, aTransContext, aOpenMode, aShareMode, aTimeout, aIsCache);
  } catch (...) {
    result = asoConvertException();
  }
  if (result != 0 && aDatabase) {
    TmvAbstractServerObject::Free(aDatabase);
    aDatabase = nullptr;
  }
  return result;
}

uint32_t TmvServerSession::ssOpenOnPath(TmvAbstractDatabase*& aDatabase, const String& aAliasName,
                                        const String& aPath, TmvAbstractTransContext* aTransContext,
                                        TmvOpenMode aOpenMode, TmvShareMode aShareMode, uint32_t aTimeout,
                                        bool aIsCache) {
  aDatabase = nullptr;
  TmvServerEngine* engine = ServerEngine();
  // The folder list stays locked until the database holds the folder, so
  // that no cleanup frees a folder nobody uses yet.
  TmvPadlockGuard guard(engine->FoldersPadlock());
  TmvServerFolder* folder = nullptr;
  int32_t index;
  if (static_cast<TStringList*>(engine->Folders())->Find(aPath, index)) {
    folder = static_cast<TmvServerFolder*>(engine->Folders()->GetObject(index));
    if (folder->IsCache() != aIsCache)
      return EmvBaseException::mvSetMessage(MVERR_DIRNOACCESS, u"Folder already open with conflicting cache mode");
  } else {
    folder = TmvAbstractServerObject::Create<TmvServerFolder>(engine, aPath, aIsCache);
  }
  const uint32_t result =
      ssDatabaseOpen(aDatabase, aAliasName, aTransContext, folder, aOpenMode, aShareMode, false, aTimeout);
  // A folder that got no database may go with the next cleanup.
  if (result != 0) folder->sfUpdateInactive();
  return result;
}

uint32_t TmvServerSession::ssDatabaseOpen(TmvAbstractDatabase*& aDatabase, const String& aAlias,
                                          TmvAbstractTransContext* aTransContext, TmvServerFolder* aFolder,
                                          TmvOpenMode aOpenMode, TmvShareMode aShareMode, bool aIgnoreShare,
                                          uint32_t aTimeout) {
  aDatabase = nullptr;
  TmvServerDatabase* database = nullptr;
  try {
    const TmvOpenMode mode = aFolder->ReadOnly() ? omReadOnly : aOpenMode == omWriteOnly ? omReadWrite : aOpenMode;
    TmvPadlockGuard guard(aFolder->DatabasesPadlock());
    if (!aIgnoreShare && aFolder->FirstDatabase()) {
      bool refused = aFolder->FirstDatabase()->sdShareMode == smExclusive || aShareMode == smExclusive;
      for (TmvServerDatabase* d = aFolder->FirstDatabase(); d && !refused; d = d->sdFolderNext) {
        // A writer meets no database that allows reading only beside it,
        // and such a database meets no writer.
        if (aShareMode == smShared && mode != omReadOnly && d->sdShareMode == smShareRead) refused = true;
        if (aShareMode == smShareRead && (d->sdOpenMode != omReadOnly || (mode != omReadOnly && d->sdShareMode == smShareRead)))
          refused = true;
      }
      if (refused) return Code(MVERR_NEEDEXCLACCESS);
    }
    database = TmvAbstractServerObject::Create<TmvServerDatabase>(this, aTransContext, aAlias, aFolder, aTimeout, mode,
                                                                  aShareMode);
    aFolder->sfUpdateInactive();
    aDatabase = database;
    return 0;
  } catch (...) {
    const uint32_t code = asoConvertException();
    TmvAbstractServerObject::Free(database);
    return code;
  }
}
