// Server engine: a client's session of the abstract engine interface (unit
// mvsdAbstractSession).
//
// A session owns the lock every object opened from it shares, its
// databases, transaction contexts and task infos, and the table passwords
// and alias operations the client uses. It lives from SessionOpenEx until the
// client frees it, the engine stops or Close frees it; failing it
// permanently (kick, close, destruction) runs its clean-up once, which frees
// everything it owns (on the thread that fails it, or on the owner's
// outermost Unlock when another thread is inside).
//
// Every public operation returns 0 or an error code; the implementation
// (alias, password, database and registry operations) is the in-process
// session's. Threads: the owner lists have one padlock each; the rest is
// used under the session lock. Calls the server objects, the session lock
// and the engine.
#pragma once

#include <atomic>
#include <vector>

#include "foundation/sync/mvllSessionNotify.h"
#include "foundation/types/mvsdTypes.h"
#include "server/mvsdOwnerList.h"
#include "server/mvsdServerObjects.h"

class TStream;
class TmvLocaleDescriptor;
class TmvAbstractDatabase;
class TmvAbstractTransContext;

// One alias as the alias list answers it.
struct TmvAliasDescriptor {
  String adAlias;
  String adPath;
};
using TmvAliasDescriptors = std::vector<TmvAliasDescriptor>;

class TmvAbstractSession : public TmvAbstractTimeoutObject {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // Creates the session lock (with a statistics record when the engine
  // keeps them) and links the session at the tail of the engine's list.
  TmvAbstractSession(TmvBaseServerEngine* aServerEngine, uint32_t aTimeout, const String& aUserName,
                     const String& aPassword, const String& aConnectedFrom);
  // Tells the session notifications, leaves the engine's list.
  ~TmvAbstractSession() override;

  // The extendable steps, then the session counter.
  void AfterConstruction() override;
  void BeforeDestruction() override;

  virtual int32_t GetClientVersion() { return mvEngineVersion; }
  virtual int32_t GetServerVersion() { return mvEngineVersion; }
  virtual TmvLocaleDescriptor* GetClientDefaultLocale() { return nullptr; }
  // Leaves the engine's list; the last session out calls
  // bseLastSessionClosed, still under the list's padlock.
  virtual void asUnlinkFromEngine();
  virtual void asMarkFailed(bool aPermanent, bool aWait);
  // Frees what the session owns (run once, through the lock).
  virtual void asFailedCleanup(TmvSimpleLock* aSender);
  virtual TmvSessionStats* asCreateSessionStats();
  // A session's handle: looked up with session ID 0.
  static uint32_t LookupByID(TmvSessionID aSessionID, TmvAbstractSession*& aSession) {
    return TmvAbstractServerObject::LookupByID<TmvAbstractSession>(0, aSessionID, aSession);
  }

  virtual uint32_t AliasAdd(const String& aAlias, const String& aPath, bool aEnforce) = 0;
  virtual uint32_t AliasDelete(const String& aAlias) = 0;
  virtual uint32_t AliasModify(const String& aAlias, const String& aNewName, const String& aNewPath,
                               bool aEnforce) = 0;
  virtual uint32_t AliasGetList(TmvAliasDescriptors& aList) = 0;
  virtual uint32_t AliasGetPath(const String& aAlias, String& aPath) = 0;
  virtual uint32_t PasswordAdd(const String& aPassword) = 0;
  virtual uint32_t PasswordRemove(const String& aPassword) = 0;
  virtual uint32_t PasswordRemoveAll() = 0;
  virtual uint32_t CloseInactiveFolders() = 0;
  virtual uint32_t CloseInactiveTables() = 0;
  // aAliasType "Name" (aAlias is an alias) or "Path" (aAlias is a folder);
  // aTransContext may be nil (the database makes its own).
  virtual uint32_t DatabaseOpen(TmvAbstractDatabase*& aDatabase, const String& aAliasType, const String& aAlias,
                                TmvAbstractTransContext* aTransContext, TmvOpenMode aOpenMode,
                                TmvShareMode aShareMode, uint32_t aTimeout) = 0;
  // 12289 "DatabaseCacheOpen not supported by <class>" here.
  virtual uint32_t DatabaseCacheOpen(TmvAbstractDatabase*& aDatabase, const String& aAliasType, const String& aAlias,
                                     TmvAbstractTransContext* aTransContext, TmvOpenMode aOpenMode,
                                     TmvShareMode aShareMode, uint32_t aTimeout);
  // Through a temporary database opened on the alias (read-only for reads,
  // read-write for writes, shared).
  virtual uint32_t TableStreamRead(const String& aAliasName, const String& aTableName, const String& aPassword,
                                   const String& aStreamName, TStream* aStream);
  virtual uint32_t TableStreamWrite(const String& aAliasName, const String& aTableName, const String& aPassword,
                                    const String& aStreamName, TStream* aStream);
  virtual uint32_t TableExists(const String& aAliasName, const String& aTableName, const String& aPassword,
                               bool& aExists, bool aAllowSystem);
  virtual uint32_t TransContextCreate(TmvAbstractTransContext*& aTransContext, uint32_t aTimeout) = 0;
  virtual uint32_t GetRegisteredClassList(TmvClassListType aClassListType, TStrings* aList) = 0;
  // Lines describing the session: its identity and connection time, the
  // user (or "anonymous User") and where it connected from, with their
  // custom-info tags.
  virtual uint32_t GetUserInfo(TStrings* aStrings);
  // The same lines without the session lock: they read only what the
  // session was made with, so that the table locks can name a session whose
  // thread is busy (its lock would refuse them).
  void asAddUserInfo(TStrings* aStrings);

  // A cancel (false) or a permanent failure, without waiting; nothing while
  // the session is being destroyed.
  void Failed(bool aPermanent);

  // The smaller of the client's and the server's version.
  int32_t GetMinVersion() override;
  TmvBaseServerEngine* GetServerEngine() override { return asServerEngine; }
  // Also copies the option "_CurrentClientInfo" into the lock's
  // exception-hook record.
  uint32_t OptionSet(const String& aName, const String& aValue) override;
  // Marks the session permanently failed and waits for its clean-up.
  void PrepareDestroy() override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  TmvBaseServerEngine* ServerEngine() const { return asServerEngine; }
  const String& UserName() const { return asUserName; }
  const String& Password() const { return asPassword; }
  const String& ConnectedFrom() const { return asConnectedFrom; }
  TDateTime ConnectedSince() const { return asConnectedSince; }
  bool Authenticated() const { return asAuthenticated; }
  bool MustBeAuthenticated() const { return asMustBeAuthenticated; }
  bool CleanedUp() const { return asCleanedUp.load(std::memory_order_acquire); }
  TmvSimpleLock* SessionLock() const { return asLock; }
  // Created on first request.
  ImvSessionNotifications* SessionNotifications();
  TmvAbstractSession* NextOfEngine() const { return asServerEngineNext; }

  // The owner lists (their children link themselves in and out).
  TmvPadlock* DatabasesPadlock() { return &asDatabasesPadlock; }
  TmvAbstractDatabase* FirstDatabase() const;
  TmvAbstractTransContext* FirstTransContext() const;
  TmvAbstractTaskInfo* FirstTaskInfo() const { return asTaskInfos.Head; }

 protected:
  void asoWriteDetails(ImvExceptionDataContainer* aContainer) override;

  bool asAuthenticated = false;
  bool asMustBeAuthenticated = false;

 private:
  friend class TmvBaseServerEngine;
  friend class TmvAbstractTaskInfo;
  friend class TmvAbstractTransContext;
  friend class TmvAbstractDatabase;

  // Opens the temporary database of the three alias-addressed table
  // operations, runs aWork on it and frees it.
  template <typename F>
  uint32_t WithTemporaryDatabase(const String& aAliasName, TmvOpenMode aOpenMode, F&& aWork);
  // Views of the owner lists whose children are declared after the session.
  auto asDatabaseList();
  auto asTransContextList();
  auto asEngineList();

  TmvSimpleLock* asLock = nullptr;  // held through atoLock
  std::atomic<TmvSessionNotifications*> asSessionNotifications{nullptr};
  std::atomic<bool> asCleanedUp{false};
  TmvBaseServerEngine* asServerEngine;
  TmvAbstractSession* asServerEnginePrev = nullptr;
  TmvAbstractSession* asServerEngineNext = nullptr;
  TmvPadlock asDatabasesPadlock;
  TmvAbstractDatabase* asDatabasesHead = nullptr;
  TmvAbstractDatabase* asDatabasesTail = nullptr;
  TmvPadlock asTransContextsPadlock;
  TmvAbstractTransContext* asTransContextsHead = nullptr;
  TmvAbstractTransContext* asTransContextsTail = nullptr;
  TmvPadlock asTaskInfosPadlock;
  TmvOwnerList<TmvAbstractTaskInfo, &TmvAbstractTaskInfo::atiSessionPrev, &TmvAbstractTaskInfo::atiSessionNext>
      asTaskInfos;
  // Timeout batching is not supported: this list stays empty.
  TmvPadlock asTimeoutBatchPadlock;
  TDateTime asConnectedSince;
  bool asLockedIncDone = false;
  String asUserName;
  String asPassword;
  String asConnectedFrom;
};
