// Server engine: the in-process engine component. See mvsrServerEngine.h.
#include "server/mvsrServerEngine.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <unistd.h>

#include "dictionary/items/mvsdDictionaryItem.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllStreams.h"
#include "foundation/mvllUtils.h"
#include "platform/Guid.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "server/mvsrServerSession.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrFileSystem.h"
#include "storage/files/mvsrPosixFiles.h"
#include "storage/transactions/mvseJournalEngine.h"
#include "storage/transactions/mvsrCommit.h"

MV_SERVER_EXCEPTION_CLASSREF(EmvServerEngineException, nullptr);

constinit const TmvComponentClassRef TmvServerEngine::StaticClass{
    {{u"TmvServerEngine", &TmvBaseServerEngine::StaticClass}, &ComponentFactory<TmvServerEngine>},
    &EmvStateComponentExceptionClass};

namespace {

constexpr const char16_t* kOptionNames[mvServerEngineOptionCount] = {
    u"seoReadOnly",   u"seoForceFailSafe",    u"seoCloseInactiveFolders", u"seoCloseInactiveTables",
    u"seoInMemOnly",  u"seoIsSecure",         u"seoVerifyTableNames",     u"seoCloseAllWhenInactive",
    u"seoKeepSessionStats"};

// Folders beyond this many inactive ones, and tables beyond this many, are
// freed at once; the others after 16 and 20 hours (in days).
constexpr int32_t kMaxInactiveFolders = 16;
constexpr int32_t kMaxInactiveTables = 256;
constexpr TDateTime kFolderIdleDays = 2.0 / 3.0;
constexpr TDateTime kTableIdleDays = 5.0 / 6.0;
constexpr uint64_t kThreeMB = 3145728;

// The option of that enumeration name; -1 for none.
int OptionOfName(const String& aName) {
  for (int i = 0; i < mvServerEngineOptionCount; ++i)
    if (aName == kOptionNames[i]) return i;
  return -1;
}

// Physical memory in MB: sysconf, else the memory status.
int32_t PhysicalMB() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  uint64_t bytes = 0;
  if (pages > 0 && pageSize > 0) {
    bytes = uint64_t(pages) * uint64_t(pageSize);
  } else {
    TmvMemoryStatus status;
    if (mvGetMemoryStatus(status)) bytes = status.ullTotalPhys;
  }
  return int32_t(bytes / 1048576);
}

// The largest file the folder's file system takes: pathconf's file size
// bits, else storage's table of file systems.
int64_t MaxFileSize(const String& aFolder) {
  const long bits = pathconf(UTF8Encode(aFolder).c_str(), _PC_FILESIZEBITS);
  if (bits <= 0) return mvCalcMaxFileSize(aFolder);
  if (bits >= 64) return INT64_MAX;
  return (int64_t(1) << (bits - 1)) - 1;
}

TmvBaseSetting* AddSetting(TmvBaseSettings* aSettings, const char16_t* aName, TmvSettingType aType,
                           const Variant& aDefault) {
  TmvBaseSetting* s = aSettings->AddSetting();
  s->fName = aName;
  s->fPropertyName = aName;
  s->fSettingType = aType;
  s->fDefaultValue = aDefault;
  return s;
}

// Frees a member that the cleanup or a close found inactive; answers false
// when it did not go (an exception is converted and logged).
template <typename T>
bool FreeMember(TmvServerEngine* aEngine, T* aMember) {
  try {
    TmvAbstractServerObject::Free(aMember);
    return true;
  } catch (...) {
    aEngine->bseConvertCurrentException(nullptr);
    return false;
  }
}

}  // namespace

String mvServerEngineOptionName(TmvServerEngineOption aOption) { return kOptionNames[aOption]; }

// ---------------------------------------------------------------------------
// Construction and properties

TmvServerEngine::TmvServerEngine(TComponent* aOwner) : TmvBaseServerEngine(aOwner) {
  try {
    seServerGuid = CreateGUID();
  } catch (...) {
    seServerGuid = GUID_NULL;
    mvServerLogCurrentException(u"Creating the server GUID");
  }
  SetAliasHandler(seCreateAliasHandler());
}

TmvServerEngine::~TmvServerEngine() {
  if (TmvBaseAliasHandler* handler = seAliasHandler) {
    seAliasHandler = nullptr;
    UnlinkDependent(handler);
    delete handler;
  }
  if (seSqlEngine) UnlinkDependent(seSqlEngine);
  seSqlEngine = nullptr;
  delete seBufferManager;
  seBufferManager = nullptr;
}

void TmvServerEngine::CheckSettable() { CheckInactive(); }

void TmvServerEngine::SetMaxRAM(int32_t aValue) {
  if (aValue == seMaxRAM) return;
  CheckSettable();
  seMaxRAM = aValue;
}

void TmvServerEngine::SetTempStorePath(const String& aValue) {
  if (aValue == seTempStorePath) return;
  CheckSettable();
  seTempStorePath = aValue;
}

void TmvServerEngine::SetTempStoreSize(int32_t aValue) {
  if (aValue == seTempStoreSize) return;
  CheckSettable();
  seTempStoreSize = aValue;
}

void TmvServerEngine::SetTableExtension(const String& aValue) {
  if (aValue == seTableExtension) return;
  CheckSettable();
  if (mvValidateIdentifier(aValue, MVERR_INVALIDFILEEXTN, false, false) != 0) {
    EmvBaseException::mvSetMessage(MVERR_INVALIDFILEEXTN, String());
    RaiseComponentError(uint32_t(MVERR_INVALIDFILEEXTN));
  }
  seTableExtension = aValue;
}

void TmvServerEngine::SetSqlEngine(TmvBaseSqlEngine* aValue) {
  if (aValue == seSqlEngine) return;
  CheckSettable();
  if (seSqlEngine) UnlinkDependent(seSqlEngine);
  seSqlEngine = aValue;
  if (seSqlEngine) LinkDependent(seSqlEngine);
}

void TmvServerEngine::SetServerName(const String& aValue) {
  CheckSettable();
  seServerName = aValue;
}

void TmvServerEngine::SetOptions(TmvServerEngineOptions aValue) {
  CheckSettable();
  seOptions = aValue & TmvServerEngineOptions((1u << mvServerEngineOptionCount) - 1);
}

String TmvServerEngine::TempFolder() const {
  const String folder = mvTrimPath(seTempStorePath);
  return folder.empty() ? GetTempPath() : folder;
}

void TmvServerEngine::SetName(const String& aNewName) {
  TmvBaseServerEngine::SetName(aNewName);
  if (seAliasHandler) seAliasHandler->SetName(aNewName.empty() ? String() : aNewName + u"_AliasHandler");
}

TmvBaseAliasHandler* TmvServerEngine::seCreateAliasHandler() { return new TmvSimpleAliasHandler(nullptr); }

void TmvServerEngine::SetAliasHandler(TmvBaseAliasHandler* aHandler) {
  if (aHandler == seAliasHandler) return;
  if (TmvBaseAliasHandler* old = seAliasHandler) {
    seAliasHandler = nullptr;
    UnlinkDependent(old);
    delete old;  // the engine owns its handler
  }
  seAliasHandler = aHandler;
  if (!aHandler) return;
  LinkDependent(aHandler);
  aHandler->SetDisplayName(u"Aliases");
  if (!GetName().empty()) aHandler->SetName(GetName() + u"_AliasHandler");
}

bool TmvServerEngine::DependsOn(TmvComponent* aComponent) {
  return (aComponent && aComponent == seSqlEngine) || TmvBaseServerEngine::DependsOn(aComponent);
}

void TmvServerEngine::HandleNotification(TmvComponent* aSender, TmvNotifyOp aOperation, void* aParam) {
  if (aOperation == mvnoDestroying && aSender && (aSender == seSqlEngine || aSender == seAliasHandler)) {
    try {
      SetActive(false);
    } catch (...) {
      mvServerLogCurrentException(u"Deactivating the engine as a linked component goes");
    }
    if (aSender == seSqlEngine) seSqlEngine = nullptr;
    if (aSender == seAliasHandler) seAliasHandler = nullptr;
  }
  TmvBaseServerEngine::HandleNotification(aSender, aOperation, aParam);
}

// ---------------------------------------------------------------------------
// Sessions

namespace {

TmvServerSession* CreateServerSession(TmvServerEngine* aEngine, uint32_t aTimeout, const String& aUserName,
                                      const String& aPassword, const String& aConnectedFrom, int32_t aClientVersion) {
  return TmvAbstractServerObject::Create<TmvServerSession>(aEngine, aTimeout, aUserName, aPassword, aConnectedFrom,
                                                           aClientVersion);
}

}  // namespace

TmvServerSessionClass TmvServerEngine::seGetSessionClass() { return &CreateServerSession; }

uint32_t TmvServerEngine::seCreateSession(TmvAbstractSession*& aSession, const String& aUserName,
                                          const String& aPassword, const String& aConnectedFrom, uint32_t aTimeout,
                                          int32_t aClientVersion) {
  aSession = nullptr;
  if (mvFatalError.load(std::memory_order_acquire))
    return EmvBaseException::mvSetMessage(MVERR_TRANSACTIONCORRUPT, String(mvFatalErrorText));
  aSession = seGetSessionClass()(this, aTimeout, aUserName, aPassword, aConnectedFrom, aClientVersion);
  return 0;
}

uint32_t TmvServerEngine::SessionOpenEx(TmvAbstractSession*& aSession, const String& aUserName,
                                        const String& aPassword, const String& aConnectedFrom, uint32_t aTimeout,
                                        int32_t aClientVersion) {
  aSession = nullptr;
  CheckStarted();  // its refusal reaches the caller as it is
  mvHookSetOperationDeadline(aTimeout, false);
  TmvAbstractSession* session = nullptr;
  try {
    uint32_t result = seCreateSession(session, aUserName, aPassword, aConnectedFrom, aTimeout, aClientVersion);
    if (result == 0 && !session->Authenticated() && (IsSecureServer() || session->MustBeAuthenticated())) {
      TmvAbstractServerObject::Free(session);
      return EmvBaseException::mvSetMessage(MVERR_INVALIDUSERPASSWORD, String());
    }
    aSession = session;
    return result;
  } catch (...) {
    return bseConvertCurrentException(nullptr);
  }
}

void TmvServerEngine::bseLastSessionClosed() {
  if (!HasOption(seoCloseAllWhenInactive)) return;
  seCloseInactiveTables();
  seCloseInactiveFolders();
}

int32_t TmvServerEngine::bseCreateInstanceFor(TmvAbstractSession* aSession, const String& aName,
                                              const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                                              void** aInterface) {
  *aInterface = nullptr;
  if (SameClassName(aName, u"<AliasHandler>"))
    return seAliasHandler ? seAliasHandler->mvcCreateInstance(aSession, aClassID, aOuter, aInterfaceID, aInterface)
                          : E_NOINTERFACE;
  // Nothing in this system installs a registry factory.
  if (SameClassName(aName, u"<Registry>")) return E_NOTIMPL;
  return TmvBaseServerEngine::bseCreateInstanceFor(aSession, aName, aClassID, aOuter, aInterfaceID, aInterface);
}

// ---------------------------------------------------------------------------
// Transitions

int32_t TmvServerEngine::seAutoMaxRAM(int32_t aPhysicalMB) {
  const int32_t p = aPhysicalMB;
  return std::max(p / 2, p - std::max(2048, int32_t((2 * int64_t(p)) / 10)));
}

int32_t TmvServerEngine::seAutoTempStoreSize(int32_t aBudget, bool aQueryOk, uint64_t aAvailable,
                                             int64_t aMaxFileSize) {
  if (!aQueryOk) return 0;
  const int32_t inner = std::min<int32_t>(int32_t(std::min<int64_t>(10 * int64_t(aBudget), INT32_MAX)),
                                          int32_t(std::min<uint64_t>(aAvailable / kThreeMB, INT32_MAX)));
  return int32_t(std::min<int64_t>(inner, std::max<int64_t>(aMaxFileSize, 0) / int64_t(kThreeMB)));
}

void TmvServerEngine::DoInitialize() {
  TmvBaseServerEngine::DoInitialize();
  const String folder = TempFolder();
  seEffectiveMaxRAM = seMaxRAM > 0 ? seMaxRAM : seAutoMaxRAM(PhysicalMB());
  if (seTempStoreSize >= 0) {
    seEffectiveTempStoreSize = seTempStoreSize;
  } else {
    TmvVolumeInfo volume;
    const bool ok = mvFileSystem().StatFs(UTF8Encode(folder), volume) == 0;
    seEffectiveTempStoreSize =
        seAutoTempStoreSize(seEffectiveMaxRAM, ok, volume.BytesAvailable, ok ? MaxFileSize(folder) : 0);
  }
  auto* cache = new TmvBufferManager(folder);
  try {
    cache->SetMaxRAM(seEffectiveMaxRAM);
    cache->SetTempStoreSize(seEffectiveTempStoreSize);
  } catch (...) {
    delete cache;
    throw;
  }
  seBufferManager = cache;
}

void TmvServerEngine::DoDeactivate() {
  // Folders opened while the engine was initialised but never started hold
  // tables in the cache: they go before it.
  FreeFolders();
  delete seBufferManager;
  seBufferManager = nullptr;
  seExecutedStatements.store(0, std::memory_order_release);
  TmvBaseServerEngine::DoDeactivate();
}

void TmvServerEngine::CleanupCallback(void* aEngine, TmvSimpleTimerThread*) {
  static_cast<TmvServerEngine*>(aEngine)->seCleanupInactive();
}

void TmvServerEngine::DoStart() {
  TmvBaseServerEngine::DoStart();
  // Normal priority: raising a thread's priority needs privileges on Linux.
  seCleanupThread = NewThread<TmvSimpleTimerThread>(1000u, THREAD_PRIORITY_NORMAL, &CleanupCallback,
                                                    static_cast<void*>(this), String(u"Server engine cleanup"));
}

void TmvServerEngine::DoStop() {
  FreeThread(seCleanupThread);
  if (seSqlEngine) seSqlEngine->PrepareShutdown();
  TmvBaseServerEngine::DoStop();  // the sessions, the last first
  FreeFolders();
  seExecutedStatements.store(0, std::memory_order_release);
}

void TmvServerEngine::FreeFolders() {
  TmvPadlockGuard guard(&seFoldersPadlock);
  while (seFolders.Count() > 0) {
    auto* last = static_cast<TmvServerFolder*>(seFolders.GetObject(seFolders.Count() - 1));
    const int32_t before = seFolders.Count();
    FreeMember(this, last);
    if (seFolders.Count() == before) {
      mvServerLogError(u"Stopping the engine: a folder would not go: " + last->Path());
      break;
    }
  }
}

// ---------------------------------------------------------------------------
// Inactive folders and tables

namespace {

// Joining and leaving an inactive list: the member's flag says whether it is
// on the list; joining stamps the time.
template <typename T, typename L>
void JoinInactive(TmvPadlock& aPadlock, L& aList, int32_t& aCount, T* aMember, bool T::*aIn, TDateTime T::*aSince,
                  TDateTime aNow) {
  TmvPadlockGuard guard(&aPadlock);
  if (aMember->*aIn) return;
  aMember->*aSince = aNow;
  aList.Append(aMember);
  aMember->*aIn = true;
  ++aCount;
}

template <typename T, typename L>
void LeaveInactive(TmvPadlock& aPadlock, L& aList, int32_t& aCount, T* aMember, bool T::*aIn) {
  TmvPadlockGuard guard(&aPadlock);
  if (!(aMember->*aIn)) return;
  aList.Remove(aMember);
  aMember->*aIn = false;
  --aCount;
}

}  // namespace

void TmvServerEngine::seInactiveFolderAdd(TmvServerFolder* aFolder) {
  JoinInactive(seInactiveFoldersPadlock, seInactiveFolders, seInactiveFoldersCount, aFolder,
               &TmvServerFolder::sfInServerEngineInactiveFolders, &TmvServerFolder::sfInactiveSince, seNow());
}

void TmvServerEngine::seInactiveFolderRemove(TmvServerFolder* aFolder) {
  LeaveInactive(seInactiveFoldersPadlock, seInactiveFolders, seInactiveFoldersCount, aFolder,
                &TmvServerFolder::sfInServerEngineInactiveFolders);
}

void TmvServerEngine::seInactiveTableAdd(TmvServerRootTable* aTable) {
  JoinInactive(seInactiveTablesPadlock, seInactiveTables, seInactiveTablesCount, aTable,
               &TmvServerRootTable::srtInServerEngineInactiveTables, &TmvServerRootTable::srtInactiveSince, seNow());
}

void TmvServerEngine::seInactiveTableRemove(TmvServerRootTable* aTable) {
  LeaveInactive(seInactiveTablesPadlock, seInactiveTables, seInactiveTablesCount, aTable,
                &TmvServerRootTable::srtInServerEngineInactiveTables);
}

int32_t TmvServerEngine::InactiveFolderCount() {
  TmvPadlockGuard guard(&seInactiveFoldersPadlock);
  return seInactiveFoldersCount;
}

int32_t TmvServerEngine::InactiveTableCount() {
  TmvPadlockGuard guard(&seInactiveTablesPadlock);
  return seInactiveTablesCount;
}

void TmvServerEngine::seCleanupInactive() {
  try {
    if (CleanupFolders()) CleanupTables();
  } catch (...) {
    bseConvertCurrentException(nullptr);
    mvServerLogCurrentException(u"Cleanup of inactive folders and tables");
  }
}

bool TmvServerEngine::CleanupFolders() {
  bool due = InactiveFolderCount() > 0;
  for (;;) {
    TmvPadlockGuard inactive(&seInactiveFoldersPadlock);
    if (!due && seInactiveFoldersCount <= kMaxInactiveFolders) return true;
    TmvPadlockGuard folders(&seFoldersPadlock, TmvPadlockGuard::TryTag{});
    if (!folders.Owns()) return false;
    TmvServerFolder* oldest = seInactiveFolders.Head;
    if (!oldest) return true;
    if (seNow() - oldest->sfInactiveSince > kFolderIdleDays || seInactiveFoldersCount > kMaxInactiveFolders) {
      // A folder that goes leaves the list itself.
      if (!oldest->sfIsInactive(false, false) || !FreeMember(this, oldest)) seInactiveFolderRemove(oldest);
    }
    TmvServerFolder* next = seInactiveFolders.Head;
    due = next && seNow() - next->sfInactiveSince > kFolderIdleDays;
  }
}

bool TmvServerEngine::CleanupTables() {
  bool due = InactiveTableCount() > 0;
  for (;;) {
    TmvPadlockGuard inactive(&seInactiveTablesPadlock);
    if (!due && seInactiveTablesCount <= kMaxInactiveTables) return true;
    TmvPadlockGuard folders(&seFoldersPadlock, TmvPadlockGuard::TryTag{});
    if (!folders.Owns()) return false;
    TmvServerRootTable* oldest = seInactiveTables.Head;
    if (!oldest) return true;
    TmvServerFolder* folder = oldest->srtFolder;
    if (!folder->TryLockTables()) return false;
    if (seNow() - oldest->srtInactiveSince > kTableIdleDays || seInactiveTablesCount > kMaxInactiveTables) {
      oldest->sbtLockIsInactive.fetch_add(1, std::memory_order_acq_rel);
      bool idle;
      try {
        idle = oldest->srtIsInactive(false, false, 1);
      } catch (...) {
        oldest->asoConvertException();
        idle = false;
      }
      const int32_t left = oldest->sbtLockIsInactive.fetch_sub(1, std::memory_order_acq_rel) - 1;
      if (idle && left == 0) {
        FreeInactiveTable(oldest);
      } else {
        seInactiveTableRemove(oldest);
      }
    }
    folder->UnlockTables();
    TmvServerRootTable* next = seInactiveTables.Head;
    due = next && seNow() - next->srtInactiveSince > kTableIdleDays;
  }
}

// A table that goes leaves the list itself; one that would not go leaves it
// here, so that the tick moves on.
void TmvServerEngine::FreeInactiveTable(TmvServerRootTable* aTable) {
  if (!FreeMember(this, aTable)) seInactiveTableRemove(aTable);
}

uint32_t TmvServerEngine::seCloseInactiveFolders() {
  uint32_t result = 0;
  TmvPadlockGuard guard(&seFoldersPadlock);
  for (bool freed = true; freed;) {
    freed = false;
    for (int32_t i = seFolders.Count() - 1; i >= 0; i = std::min(i - 1, seFolders.Count() - 1)) {
      auto* folder = static_cast<TmvServerFolder*>(seFolders.GetObject(i));
      bool inactive;
      try {
        inactive = folder->sfIsInactive(false, true);
      } catch (...) {
        result = bseConvertCurrentException(nullptr);
        continue;
      }
      if (!inactive) continue;
      const int32_t before = seFolders.Count();
      try {
        TmvAbstractServerObject::Free(folder);
      } catch (...) {
        result = bseConvertCurrentException(nullptr);
      }
      if (seFolders.Count() < before) freed = true;
    }
  }
  return result;
}

uint32_t TmvServerEngine::seCloseInactiveTables() {
  uint32_t result = 0;
  try {
    for (int attempt = 0; attempt < 21; ++attempt) {
      bool failed = true;
      {
        TmvPadlockGuard guard(&seFoldersPadlock, TmvPadlockGuard::TryTag{});
        if (guard.Owns()) {
          result = 0;
          for (int32_t i = seFolders.Count() - 1; i >= 0 && result == 0; --i)
            result = static_cast<TmvServerFolder*>(seFolders.GetObject(i))->sfCloseInactiveTables();
          failed = result == MVERR_RECLOCKED;
        }
      }
      if (!failed) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  } catch (...) {
    return bseConvertCurrentException(nullptr);
  }
  return result == MVERR_RECLOCKED ? 0 : result;
}

// ---------------------------------------------------------------------------
// Display, statistics, configuration

String TmvServerEngine::GetDisplayOnlyValue(const String& aName) const {
  if (SameClassName(aName, u"ActiveOptions")) {
    String text = u", SecureServer, MV_PROTECT_SERVER_ON_CRITICAL_ERROR";
    if (mvMemoryManagerAweSupported()) text += u", MV_MM_SUPPORT_AWE";
    if (mvDisable30900LocaleFixes) text += u", Disable30900LocaleFixes";
    return text.substr(2);
  }
  if (SameClassName(aName, u"ServerEngine Version")) return GetVersion();
  return TmvBaseServerEngine::GetDisplayOnlyValue(aName);
}

void TmvServerEngine::GetStatsCaptions(std::vector<String>& aCaptions) const {
  TmvBaseServerEngine::GetStatsCaptions(aCaptions);
  for (const char16_t* caption : {u"Executing Statements", u"Executed Statements", u"Active Folders",
                                  u"Inactive Folders", u"Active Tables", u"Inactive Tables"})
    aCaptions.push_back(caption);
  TStringList cache;
  TmvBufferManager::GetStatsCaptions(&cache);
  for (int32_t i = 0; i < cache.Count(); ++i) aCaptions.push_back(cache[i]);
}

void TmvServerEngine::GetStatsValues(std::vector<String>& aValues) const {
  TmvBaseServerEngine::GetStatsValues(aValues);
  auto* self = const_cast<TmvServerEngine*>(this);
  const int32_t inactiveFolders = self->InactiveFolderCount();
  const int32_t inactiveTables = self->InactiveTableCount();
  for (int64_t value : {int64_t(seExecutingStatements.load()), int64_t(seExecutedStatements.load()),
                        int64_t(FolderCount() - inactiveFolders), int64_t(inactiveFolders),
                        int64_t(TableCount() - inactiveTables), int64_t(inactiveTables)})
    aValues.push_back(mvFormatThousands(value));
  TStringList cache;
  if (seBufferManager)
    seBufferManager->GetStatsValues(&cache);
  else
    TmvBufferManager::GetStatsValuesStatic(&cache);
  for (int32_t i = 0; i < cache.Count(); ++i) aValues.push_back(cache[i]);
}

void TmvServerEngine::GetConfigSettings(TmvBaseSettings* aSettings) {
  TmvBaseServerEngine::GetConfigSettings(aSettings);
  AddSetting(aSettings, u"ServerName", mvstString, Variant(String(u"MorvaDB")));
  TmvBaseSetting* maxRam = AddSetting(aSettings, u"MaxRam", mvstInteger, Variant(int32_t(-1)));
  maxRam->fMin = Variant(int32_t(-1));
  maxRam->fMax = Variant(int32_t(131072));
  AddSetting(aSettings, u"TempStoreSize", mvstInteger, Variant(int32_t(-1)))->fMin = Variant(int32_t(-1));
  AddSetting(aSettings, u"TempStorePath", mvstString, Variant(String()));
  TmvBaseSetting* journal = AddSetting(aSettings, u"JournalEngineClass", mvstString, Variant(String()));
  journal->fValueList = u"Tmv1xRollbackJournalEngine,Tmv1xJournalEngine,Tmv1xCommitJournalEngine";
  journal->fEnforceValues = true;
  AddSetting(aSettings, u"Options", mvstMultiOption, Variant(String()))->fValueList =
      u"ReadOnly,ForceFailSafe,CloseInactiveFolders,CloseInactiveTables,InMemOnly,IsSecure,VerifyTableNames,"
      u"CloseAllWhenInactive,KeepSessionStats";
  AddSetting(aSettings, u"ActiveOptions", mvstCaption, Variant(String()))->fLabel = u"Active Options";
  AddSetting(aSettings, u"ServerEngine Version", mvstCaption, Variant(GetVersion()));
}

void TmvServerEngine::ApplyJournalEngineClass(const String& aName) {
  if (const TmvJournalEngineClassRef* cls = mvFindJournalEngineClass(aName))
    mvDefaultJournalEngineClass.store(cls, std::memory_order_release);
}

void TmvServerEngine::LoadConfig(TmvBaseComponentConfiguration* aConfig) {
  TmvBaseServerEngine::LoadConfig(aConfig);
  SetServerName(aConfig->GetValue(u"ServerName", Variant(seServerName)).AsString());
  SetMaxRAM(aConfig->GetValue(u"MaxRAM", Variant(seMaxRAM)).AsInteger());
  SetTempStorePath(aConfig->GetValue(u"TempStorePath", Variant(seTempStorePath)).AsString());
  SetTempStoreSize(aConfig->GetValue(u"TempStoreSize", Variant(seTempStoreSize)).AsInteger());
  const TmvJournalEngineClassRef* journal = mvDefaultJournalEngineClass.load(std::memory_order_acquire);
  ApplyJournalEngineClass(
      aConfig->GetValue(u"JournalEngineClass", Variant(journal ? journal->Name() : String())).AsString());

  TmvServerEngineOptions options = 0;
  const int32_t count = aConfig->GetValue(u"OptionsCount", Variant(int32_t(0))).AsInteger();
  if (aConfig->GetValue(u"NewOptionsLogic", Variant(int32_t(0))).AsInteger() == 1) {
    const int32_t mask = aConfig->GetValue(u"Options", Variant(int32_t(0))).AsInteger();
    for (int i = 0; i < mvServerEngineOptionCount; ++i)
      if (mask & (1 << i)) options |= TmvServerEngineOptions(1u << i);
  } else {
    for (int32_t i = 1; i <= count; ++i) {
      const int option = OptionOfName(aConfig->GetValue(u"Options" + IntToStr(i), Variant(String())).AsString());
      if (option >= 0) options |= TmvServerEngineOptions(1u << option);
    }
  }
  SetOptions(options);
}

void TmvServerEngine::SaveConfig(TmvBaseComponentConfiguration* aConfig) {
  TmvBaseServerEngine::SaveConfig(aConfig);
  aConfig->SetValue(u"ServerName", Variant(seServerName));
  aConfig->SetValue(u"MaxRAM", Variant(seMaxRAM));
  aConfig->SetValue(u"TempStorePath", Variant(seTempStorePath));
  aConfig->SetValue(u"TempStoreSize", Variant(seTempStoreSize));
  const TmvJournalEngineClassRef* journal = mvDefaultJournalEngineClass.load(std::memory_order_acquire);
  aConfig->SetValue(u"JournalEngineClass", Variant(journal ? journal->Name() : String()));
  const int32_t oldCount = aConfig->GetValue(u"OptionsCount", Variant(int32_t(0))).AsInteger();
  for (int32_t i = 1; i <= oldCount; ++i) aConfig->SetValue(u"Options" + IntToStr(i), Variant(String()));
  int32_t count = 0;
  for (int i = 0; i < mvServerEngineOptionCount; ++i) {
    if (!HasOption(TmvServerEngineOption(i))) continue;
    aConfig->SetValue(u"Options" + IntToStr(++count), Variant(String(kOptionNames[i])));
  }
  aConfig->SetValue(u"OptionsCount", Variant(count));
  aConfig->SetValue(u"Options", Variant(int32_t(seOptions)));
  aConfig->SetValue(u"NewOptionsLogic", Variant(int32_t(1)));
  aConfig->SetValue(u"ServerEngine Version", Variant(GetVersion()));
}

// Settings stream, after the state component's part:
//   integer 1 (version), string ServerName, integer MaxRAM, integer
//   TempStoreSize, string TempStorePath, string journal engine class name,
//   list of option enumeration names.
void TmvServerEngine::SaveSettingsToStream(TmvWriter* aWriter) {
  TmvBaseServerEngine::SaveSettingsToStream(aWriter);
  aWriter->WriteInteger(1);
  aWriter->WriteString(seServerName);
  aWriter->WriteInteger(seMaxRAM);
  aWriter->WriteInteger(seTempStoreSize);
  aWriter->WriteString(seTempStorePath);
  const TmvJournalEngineClassRef* journal = mvDefaultJournalEngineClass.load(std::memory_order_acquire);
  aWriter->WriteString(journal ? journal->Name() : String());
  aWriter->WriteListBegin();
  for (int i = 0; i < mvServerEngineOptionCount; ++i)
    if (HasOption(TmvServerEngineOption(i))) aWriter->WriteString(kOptionNames[i]);
  aWriter->WriteListEnd();
}

void TmvServerEngine::LoadSettingsFromStream(TmvReader* aReader) {
  TmvBaseServerEngine::LoadSettingsFromStream(aReader);
  if (aReader->ReadInteger() != 1) EmvComponentExceptionClass.RaiseCode(this, MVERR_INCOMPATIBLESTREAM);
  SetServerName(aReader->ReadString());
  SetMaxRAM(aReader->ReadInteger());
  SetTempStoreSize(aReader->ReadInteger());
  SetTempStorePath(aReader->ReadString());
  ApplyJournalEngineClass(aReader->ReadString());
  TmvServerEngineOptions options = 0;
  aReader->ReadListBegin();
  while (!aReader->EndOfList()) {
    const int option = OptionOfName(aReader->ReadString());
    if (option >= 0) options |= TmvServerEngineOptions(1u << option);
  }
  aReader->ReadListEnd();
  SetOptions(options);
}

// ---------------------------------------------------------------------------
// Unit

void mvsrServerEngineInit() {
  TmvRegisterableComponent::RegisterClass(TmvServerEngine::StaticClass);
}

void mvsrServerEngineFini() { TmvRegisterableComponent::UnregisterClass(TmvServerEngine::StaticClass); }
