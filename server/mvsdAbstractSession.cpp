// Server engine: a client's session of the abstract engine interface. See
// mvsdAbstractSession.h.
#include "server/mvsdAbstractSession.h"

#include <chrono>
#include <thread>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllUtils.h"
#include "server/mvsdAbstractDatabase.h"
#include "server/mvsdBaseServerEngine.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "server/mvsdSessionLists.h"

constinit const ClassRef TmvAbstractSession::StaticClass{u"TmvAbstractSession", &TmvAbstractTimeoutObject::StaticClass};

namespace {

// Frees a list from its tail until it is empty; an object that will not go
// (already being destroyed elsewhere) ends the walk. Each object is unlinked
// under the list's padlock and freed after it is released: a destructor
// takes padlocks of its own (a database its folder's databases padlock),
// and a folder's padlock is taken before a session's when a database
// opens, so holding the session's padlock across a destructor would order
// the two both ways. The destructor's own unlink finds it gone and does
// nothing.
template <typename F>
void FreeFromTail(TmvPadlock* aPadlock, F&& aList, const char16_t* aWhat) {
  for (;;) {
    TmvAbstractServerObject* last = nullptr;
    {
      TmvPadlockGuard guard(aPadlock);
      auto list = aList();
      auto* tail = list.Tail;
      if (!tail) return;
      if (tail->Destroying()) {
        mvServerLogError(String(u"Session clean-up: one of the session's ") + aWhat + u" would not go");
        return;
      }
      list.Remove(tail);
      last = tail;
    }
    TmvAbstractServerObject::Free(last);
  }
}

}  // namespace

TmvAbstractSession::TmvAbstractSession(TmvBaseServerEngine* aServerEngine, uint32_t aTimeout, const String& aUserName,
                                       const String& aPassword, const String& aConnectedFrom)
    : TmvAbstractTimeoutObject(nullptr, aTimeout),
      asServerEngine(aServerEngine),
      asConnectedSince(Now()),
      asUserName(aUserName),
      asPassword(aPassword),
      asConnectedFrom(aConnectedFrom) {
  TmvSessionStats* stats = (asServerEngine && asServerEngine->bseKeepSessionStats()) ? asCreateSessionStats() : nullptr;
  asLock = TmvInterfacedObject::Create<TmvSimpleLock>([this](TmvSimpleLock* aSender) { asFailedCleanup(aSender); },
                                                      stats);
  atoLock = TInterfacePtr<ImvSimpleLock>(static_cast<ImvSimpleLock*>(asLock));
  asLock->ExceptionHookInfo().ehiUserName = asUserName;
  asLock->ExceptionHookInfo().ehiConnectedFrom = asConnectedFrom;
  if (asServerEngine) {
    TmvPadlockGuard guard(&asServerEngine->bseSessionsPadlock);
    asEngineList().Append(this);
  }
}

TmvAbstractSession::~TmvAbstractSession() {
  if (TmvSessionNotifications* notifications = asSessionNotifications.exchange(nullptr)) {
    notifications->Disconnected();
    delete notifications;
  }
  asUnlinkFromEngine();
  asLock->DisconnectFailedCleanup();
}

void TmvAbstractSession::AfterConstruction() {
  TmvAbstractTimeoutObject::AfterConstruction();
  mvEngineCountIn(this, &TmvBaseServerEngine::bseSessionCount, asLockedIncDone);
  asLock->ExceptionHookInfo().ehiSessionID = reinterpret_cast<uintptr_t>(this);
}

void TmvAbstractSession::BeforeDestruction() {
  mvEngineCountOut(this, &TmvBaseServerEngine::bseSessionCount, asLockedIncDone);
  TmvAbstractTimeoutObject::BeforeDestruction();
}

void TmvAbstractSession::asUnlinkFromEngine() {
  if (!asServerEngine) return;
  TmvPadlockGuard guard(&asServerEngine->bseSessionsPadlock);
  if (!asServerEnginePrev && asServerEngine->bseSessionsHead != this) return;
  asEngineList().Remove(this);
  if (asServerEngine->bseSessionsHead) return;
  // Still under the padlock: no session can link itself in meanwhile.
  try {
    asServerEngine->bseLastSessionClosed();
  } catch (...) {
    mvServerLogCurrentException(u"After the engine's last session closed");
  }
}

void TmvAbstractSession::asMarkFailed(bool aPermanent, bool aWait) { atoLock->Failed(aPermanent, aWait); }

void TmvAbstractSession::asFailedCleanup(TmvSimpleLock*) {
  try {
    // Running tasks are asked to stop and unlink themselves meanwhile.
    for (int round = 0; round < 20; ++round) {
      {
        TmvPadlockGuard guard(&asTaskInfosPadlock);
        if (asTaskInfos.Empty()) break;
      }
      if (round > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      {
        TmvPadlockGuard guard(&asTaskInfosPadlock);
        asTaskInfos.ForEach([](TmvAbstractTaskInfo* t) { t->PrepareDestroy(); });
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    {
      TmvPadlockGuard guard(&asDatabasesPadlock);
      asDatabaseList().ForEach([](TmvAbstractDatabase* d) { d->PrepareDestroy(); });
    }
    {
      TmvPadlockGuard guard(&asTransContextsPadlock);
      asTransContextList().ForEach([](TmvAbstractTransContext* c) { c->PrepareDestroy(); });
    }
    FreeFromTail(&asTaskInfosPadlock, [this] { return asTaskInfos.View(); }, u"task infos");
    FreeFromTail(&asDatabasesPadlock, [this] { return asDatabaseList(); }, u"databases");
    FreeFromTail(&asTransContextsPadlock, [this] { return asTransContextList(); }, u"transaction contexts");
  } catch (...) {
    mvServerLogCurrentException(u"Session clean-up");
  }
  // Waiters are woken whatever happened above.
  asCleanedUp.store(true, std::memory_order_release);
  atoLock->SetFailedCleanupDone();
}

TmvSessionStats* TmvAbstractSession::asCreateSessionStats() { return new TmvSessionStats(asUserName, asConnectedFrom); }

uint32_t TmvAbstractSession::DatabaseCacheOpen(TmvAbstractDatabase*& aDatabase, const String&, const String&,
                                               TmvAbstractTransContext*, TmvOpenMode, TmvShareMode, uint32_t) {
  aDatabase = nullptr;
  return NotSupported(u"DatabaseCacheOpen");
}

template <typename F>
uint32_t TmvAbstractSession::WithTemporaryDatabase(const String& aAliasName, TmvOpenMode aOpenMode, F&& aWork) {
  TmvAbstractDatabase* database = nullptr;
  uint32_t result = DatabaseOpen(database, u"Name", aAliasName, nullptr, aOpenMode, smShared, GetTimeout());
  if (result == 0) result = aWork(database);
  if (database) {
    const uint32_t closed = database->Close();
    if (result == 0) result = closed;
  }
  return result;
}

uint32_t TmvAbstractSession::TableStreamRead(const String& aAliasName, const String& aTableName,
                                             const String& aPassword, const String& aStreamName, TStream* aStream) {
  return atoPublicCall([&] {
    return WithTemporaryDatabase(aAliasName, omReadOnly, [&](TmvAbstractDatabase* db) {
      return db->TableStreamRead(aTableName, aPassword, aStreamName, aStream);
    });
  });
}

uint32_t TmvAbstractSession::TableStreamWrite(const String& aAliasName, const String& aTableName,
                                              const String& aPassword, const String& aStreamName, TStream* aStream) {
  return atoPublicCall([&] {
    return WithTemporaryDatabase(aAliasName, omReadWrite, [&](TmvAbstractDatabase* db) {
      return db->TableStreamWrite(aTableName, aPassword, aStreamName, aStream);
    });
  });
}

uint32_t TmvAbstractSession::TableExists(const String& aAliasName, const String& aTableName, const String& aPassword,
                                         bool& aExists, bool aAllowSystem) {
  aExists = false;
  return atoPublicCall([&] {
    return WithTemporaryDatabase(aAliasName, omReadOnly, [&](TmvAbstractDatabase* db) {
      return db->TableExists(aTableName, aPassword, aExists, aAllowSystem || db->GetExplicitAllowSystem());
    });
  });
}

uint32_t TmvAbstractSession::GetUserInfo(TStrings* aStrings) {
  return atoLockedCall([&] {
    asAddUserInfo(aStrings);
    return 0u;
  });
}

void TmvAbstractSession::asAddUserInfo(TStrings* aStrings) {
  const String since = mvDateTimeToStr(asConnectedSince, DefaultFormatSettings());
  aStrings->Add(mvMakeCustomInfoTag(u"Session.ID", mvInt64ToStr(int64_t(GetRemoteID()))) + u"Connected since: " +
                since + mvMakeCustomInfoTag(u"Session.ConnectedSince", since));
  if (!asUserName.empty()) {
    aStrings->Add(u"Username: " + asUserName + u" [" +
                  (asAuthenticated ? String(u"authenticated") : String(u"not authenticated")) + u"]" +
                  mvMakeCustomInfoTag(u"Session.UserName", asUserName) +
                  mvMakeCustomInfoTag(u"Session.Authenticated", asAuthenticated ? u"1" : u"0"));
  } else {
    aStrings->Add(u"anonymous User" + mvMakeCustomInfoTag(u"Session.UserName", String()));
  }
  if (!asConnectedFrom.empty())
    aStrings->Add(u"Connected from: " + asConnectedFrom + mvMakeCustomInfoTag(u"Session.ConnectedFrom", asConnectedFrom));
}

void TmvAbstractSession::Failed(bool aPermanent) {
  if (Destroying()) return;
  asMarkFailed(aPermanent, false);
}

int32_t TmvAbstractSession::GetMinVersion() { return mvMinInt32(GetClientVersion(), GetServerVersion()); }

uint32_t TmvAbstractSession::OptionSet(const String& aName, const String& aValue) {
  const uint32_t result = TmvAbstractTimeoutObject::OptionSet(aName, aValue);
  String client;
  if (esoOptionGet(u"_CurrentClientInfo", client) == 0) asLock->ExceptionHookInfo().ehiClient = client;
  return result;
}

void TmvAbstractSession::PrepareDestroy() {
  asMarkFailed(true, true);
  TmvAbstractTimeoutObject::PrepareDestroy();
}

ImvSessionNotifications* TmvAbstractSession::SessionNotifications() {
  TmvSessionNotifications* current = asSessionNotifications.load(std::memory_order_acquire);
  if (current) return current;
  auto* created = new TmvSessionNotifications(nullptr);
  if (asSessionNotifications.compare_exchange_strong(current, created, std::memory_order_acq_rel)) return created;
  delete created;  // another thread was first
  return current;
}

TmvAbstractDatabase* TmvAbstractSession::FirstDatabase() const { return asDatabasesHead; }

TmvAbstractTransContext* TmvAbstractSession::FirstTransContext() const { return asTransContextsHead; }

void TmvAbstractSession::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvAbstractTimeoutObject::WriteObjectInfo(aContainer);
  aContainer->AddString(u"ServerEngine", asServerEngine ? asServerEngine->GetName() : String());
  aContainer->AddString(u"UserName", asUserName);
  aContainer->AddBoolean(u"Authenticated", asAuthenticated);
  aContainer->AddString(u"ConnectedFrom", asConnectedFrom);
  aContainer->AddBoolean(u"CleanedUp", CleanedUp());
}

void TmvAbstractSession::asoWriteDetails(ImvExceptionDataContainer* aContainer) {
  int32_t i = 0;
  ImvExceptionDataContainer* list = aContainer->AddContainer(u"Databases");
  {
    TmvPadlockGuard guard(&asDatabasesPadlock);
    asDatabaseList().ForEach([&](TmvAbstractDatabase* d) { list->AddObject(Format(u"[%d]", {i++}), d, false); });
  }
  i = 0;
  list = aContainer->AddContainer(u"TransContexts");
  {
    TmvPadlockGuard guard(&asTransContextsPadlock);
    asTransContextList().ForEach(
        [&](TmvAbstractTransContext* c) { list->AddObject(Format(u"[%d]", {i++}), c, false); });
  }
  i = 0;
  list = aContainer->AddContainer(u"TaskInfos");
  TmvPadlockGuard guard(&asTaskInfosPadlock);
  asTaskInfos.ForEach([&](TmvAbstractTaskInfo* t) { list->AddObject(Format(u"[%d]", {i++}), t, false); });
}
