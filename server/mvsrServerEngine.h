// Server engine: the in-process engine component (unit mvsrServerEngine),
// the header of the engine's implementation.
//
// `TmvServerEngine` owns the block cache while it is initialised, the
// folders (one per path, shared by every database opened on it), the lists
// of inactive folders and root tables with the cleanup timer that closes
// them, the alias handler, and the link to the SQL engine that runs the
// statements. It opens `TmvServerSession`s. It is a state component: it
// starts when a component that depends on it starts, and it depends on its
// SQL engine, which therefore starts before it and stops after it.
//
// Linux: the block cache budget comes from sysconf's physical memory, the
// free space from statvfs (through storage's file system), the largest file
// from pathconf, the temporary folder from $TMPDIR; the cleanup timer runs
// at normal priority (raising a thread's priority needs privileges here).
//
// Threads: the owning thread changes the properties and the state; the
// folder list and the two inactive lists have their own padlocks (lock
// order: the folder padlock, a folder's tables padlock, the inactive-list
// padlocks last and briefly); the cleanup timer only ever tries the folder
// padlock and a folder's tables padlock. Calls the server's abstract layer,
// storage's block cache and file helpers, and the SQL engine's interface.
#pragma once

#include <atomic>

#include "foundation/errors/mvllServerException.h"
#include "foundation/mvllFastStringList.h"
#include "foundation/sync/mvllThreads.h"
#include "server/mvsdServerEngine.h"
#include "server/mvsrAliasHandler.h"
#include "server/tables/mvsrServerFolder.h"
#include "server/mvsrServerSession.h"
#include "server/mvsrServerStatement.h"
#include "server/tables/mvsrServerTable.h"
#include "storage/mvsrSqlEngine.h"

class TmvBufferManager;
class TmvServerSession;

MV_DECLARE_EXCEPTION(EmvServerEngineException, EmvServerException)
extern const TmvServerExceptionClassRef EmvServerEngineExceptionClass;

enum TmvServerEngineOption : uint8_t {
  seoReadOnly,
  seoForceFailSafe,
  seoCloseInactiveFolders,
  seoCloseInactiveTables,
  seoInMemOnly,
  seoIsSecure,
  seoVerifyTableNames,
  seoCloseAllWhenInactive,
  seoKeepSessionStats,
};
inline constexpr int mvServerEngineOptionCount = 9;
// A set of options: bit n is option n.
using TmvServerEngineOptions = uint16_t;
constexpr TmvServerEngineOptions mvEngineOption(TmvServerEngineOption aOption) {
  return TmvServerEngineOptions(1u << aOption);
}
// The options' enumeration names ("seoReadOnly" ...), in their order.
String mvServerEngineOptionName(TmvServerEngineOption aOption);

// Makes the session class of an engine.
using TmvServerSessionClass = TmvServerSession* (*)(TmvServerEngine* aEngine, uint32_t aTimeout,
                                                     const String& aUserName, const String& aPassword,
                                                     const String& aConnectedFrom, int32_t aClientVersion);

class TmvServerEngine : public TmvBaseServerEngine {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  explicit TmvServerEngine(TComponent* aOwner);
  ~TmvServerEngine() override;

  // Properties. Each setter of a changed value (Options and ServerName
  // always) requires the engine to be inactive.
  int32_t GetMaxRAM() const { return seMaxRAM; }
  void SetMaxRAM(int32_t aValue);
  const String& GetTempStorePath() const { return seTempStorePath; }
  void SetTempStorePath(const String& aValue);
  int32_t GetTempStoreSize() const { return seTempStoreSize; }
  void SetTempStoreSize(int32_t aValue);
  const String& GetTableExtension() const { return seTableExtension; }
  // Must pass the identifier rules: 10042 "Invalid file extension.".
  void SetTableExtension(const String& aValue);
  TmvBaseSqlEngine* GetSqlEngine() const { return seSqlEngine; }
  void SetSqlEngine(TmvBaseSqlEngine* aValue);
  void SetServerName(const String& aValue);
  TmvServerEngineOptions GetOptions() const { return seOptions; }
  void SetOptions(TmvServerEngineOptions aValue);
  bool HasOption(TmvServerEngineOption aOption) const { return (seOptions & mvEngineOption(aOption)) != 0; }
  TmvBaseAliasHandler* AliasHandler() const { return seAliasHandler; }
  TmvBufferManager* BufferManager() const { return seBufferManager; }
  int32_t FolderCount() const { return seFolderCount.load(std::memory_order_acquire); }
  int32_t TableCount() const { return seTableCount.load(std::memory_order_acquire); }
  TGUID ServerGuid() const { return seServerGuid; }
  // What the last initialisation derived: the block cache budget and the
  // temporary storage size (MB), and the temporary folder it chose.
  int32_t EffectiveMaxRAM() const { return seEffectiveMaxRAM; }
  int32_t EffectiveTempStoreSize() const { return seEffectiveTempStoreSize; }
  String TempFolder() const;

  // The alias handler is named after the engine.
  void SetName(const String& aNewName) override;

  virtual TmvBaseAliasHandler* seCreateAliasHandler();
  virtual TmvServerSessionClass seGetSessionClass();
  // 15443 after a fatal error, else a new session.
  virtual uint32_t seCreateSession(TmvAbstractSession*& aSession, const String& aUserName, const String& aPassword,
                                   const String& aConnectedFrom, uint32_t aTimeout, int32_t aClientVersion);
  // Frees every inactive folder, pass after pass until one frees nothing:
  // 0 or the last converted failure.
  uint32_t seCloseInactiveFolders();
  // Asks each folder to close its inactive tables (up to 21 attempts while
  // the folder list or a folder is busy).
  uint32_t seCloseInactiveTables();
  // The cleanup tick: frees folders inactive for 16 hours and tables for 20
  // (the oldest beyond 16 folders and 256 tables at once); gives up when the
  // folder list or a folder's tables are busy.
  void seCleanupInactive();
  // The old handler unlinked, the new one linked both ways and displayed
  // as "Aliases"; the engine owns it.
  void SetAliasHandler(TmvBaseAliasHandler* aHandler);

  // The engine's lists, for the folders and tables that join and leave them.
  TmvPadlock* FoldersPadlock() { return &seFoldersPadlock; }
  // Canonical path -> folder, sorted, case-sensitive (two spellings are
  // two folders on Linux); under FoldersPadlock.
  TStrings* Folders() { return &seFolders; }
  void seInactiveFolderAdd(TmvServerFolder* aFolder);
  void seInactiveFolderRemove(TmvServerFolder* aFolder);
  void seInactiveTableAdd(TmvServerRootTable* aTable);
  void seInactiveTableRemove(TmvServerRootTable* aTable);
  int32_t InactiveFolderCount();
  int32_t InactiveTableCount();
  // The clock the inactive lists are kept by (nil: the system's); tests
  // put one of their own to age the members.
  using TmvClock = TDateTime (*)();
  void SetClock(TmvClock aClock) { seClock = aClock ? aClock : &Now; }
  TDateTime seNow() const { return seClock(); }

  // Kept by folders and tables, and by the statements.
  std::atomic<int32_t> seFolderCount{0};
  std::atomic<int32_t> seTableCount{0};
  std::atomic<int32_t> seExecutingStatements{0};
  std::atomic<int32_t> seExecutedStatements{0};

  // The block cache budget for aPhysicalMB of memory when MaxRAM asks for
  // the automatic one: max(P div 2, P - max(2048, (2P) div 10)).
  static int32_t seAutoMaxRAM(int32_t aPhysicalMB);
  // The automatic temporary storage size: 0 when the free-space query
  // failed, else min(min(10 x budget, available div 3 MB), largest file
  // div 3 MB).
  static int32_t seAutoTempStoreSize(int32_t aBudget, bool aQueryOk, uint64_t aAvailable, int64_t aMaxFileSize);

  // Overrides of the abstract engine.
  bool IsSecureServer() override { return HasOption(seoIsSecure); }
  bool bseKeepSessionStats() override { return HasOption(seoKeepSessionStats); }
  const TmvServerExceptionClassRef& bseGetExceptionClass() override { return EmvServerEngineExceptionClass; }
  TGUID GetServerGuid() override { return seServerGuid; }
  String GetServerName() override { return seServerName; }
  int32_t bseCreateInstanceFor(TmvAbstractSession* aSession, const String& aName, const TGUID& aClassID,
                               IInterface* aOuter, const TGUID& aInterfaceID, void** aInterface) override;
  // The engine must be started (its refusal is raised); the session must
  // be authenticated on a secure engine (10036).
  uint32_t SessionOpenEx(TmvAbstractSession*& aSession, const String& aUserName, const String& aPassword,
                         const String& aConnectedFrom, uint32_t aTimeout, int32_t aClientVersion) override;
  // With seoCloseAllWhenInactive: the inactive tables, then the folders.
  void bseLastSessionClosed() override;

  bool DependsOn(TmvComponent* aComponent) override;
  void HandleNotification(TmvComponent* aSender, TmvNotifyOp aOperation, void* aParam) override;
  // "ActiveOptions" and "ServerEngine Version".
  String GetDisplayOnlyValue(const String& aName) const override;
  void GetStatsCaptions(std::vector<String>& aCaptions) const override;
  void GetStatsValues(std::vector<String>& aValues) const override;
  void GetConfigSettings(TmvBaseSettings* aSettings) override;
  void LoadConfig(TmvBaseComponentConfiguration* aConfig) override;
  void SaveConfig(TmvBaseComponentConfiguration* aConfig) override;
  void LoadSettingsFromStream(TmvReader* aReader) override;
  void SaveSettingsToStream(TmvWriter* aWriter) override;

 protected:
  // Creates the block cache; frees it.
  void DoInitialize() override;
  void DoDeactivate() override;
  // Starts the cleanup timer; stops it, lets the SQL engine go of its
  // statements, frees the sessions, then the folders.
  void DoStart() override;
  void DoStop() override;
  // Frees every folder still open, the last first.
  void FreeFolders();

 private:
  static void CleanupCallback(void* aEngine, TmvSimpleTimerThread* aThread);
  // Requires the engine to be inactive (at run time: raises).
  void CheckSettable();
  // One step of the tick for each list; false: a lock was busy, the tick ends.
  bool CleanupFolders();
  bool CleanupTables();
  // Frees a table the cleanup found inactive and unused.
  void FreeInactiveTable(TmvServerRootTable* aTable);
  // The journal engine class of that name becomes the default (unknown
  // names change nothing).
  static void ApplyJournalEngineClass(const String& aName);

  TmvClock seClock = &Now;
  TmvBufferManager* seBufferManager = nullptr;
  TmvSimpleTimerThread* seCleanupThread = nullptr;
  TGUID seServerGuid{};
  int32_t seMaxRAM = -1;
  String seTempStorePath;
  int32_t seTempStoreSize = -1;
  String seTableExtension = u"mv1";
  TmvPadlock seFoldersPadlock;
  TmvFastStringListCS seFolders{dupError};
  TmvPadlock seInactiveTablesPadlock;
  TmvOwnerList<TmvServerRootTable, &TmvServerRootTable::srtServerEngineInactiveTablesPrev,
               &TmvServerRootTable::srtServerEngineInactiveTablesNext>
      seInactiveTables;
  int32_t seInactiveTablesCount = 0;
  TmvPadlock seInactiveFoldersPadlock;
  TmvOwnerList<TmvServerFolder, &TmvServerFolder::sfServerEngineInactiveFoldersPrev,
               &TmvServerFolder::sfServerEngineInactiveFoldersNext>
      seInactiveFolders;
  int32_t seInactiveFoldersCount = 0;
  TmvBaseAliasHandler* seAliasHandler = nullptr;
  TmvBaseSqlEngine* seSqlEngine = nullptr;
  String seServerName;
  TmvServerEngineOptions seOptions = 0;
  int32_t seEffectiveMaxRAM = 0;
  int32_t seEffectiveTempStoreSize = 0;
};

// Unit start and stop: the engine's component class.
void mvsrServerEngineInit();
void mvsrServerEngineFini();
