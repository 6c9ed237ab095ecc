// Tests of the server objects: handles, teardown, options, extenders,
// named-service lookups and the public-boundary frame.
#include <gtest/gtest.h>

#include <thread>

#include "ServerTestSupport.h"
#include "foundation/mvllFastStringList.h"
#include "storage/mvsrTimeoutHandling.h"

namespace {

struct ServerObjects : ServerTest {
  void SetUp() override {
    ServerTest::SetUp();
    engine = new TestEngine(nullptr);
    session = engine->Open(u"anna");
    ASSERT_EQ(session->DatabaseOpen(database, u"Path", u"x", nullptr, omReadWrite, smShared, 0), 0u);
    ASSERT_EQ(database->StatementAlloc(statement, 0), 0u);
  }
  void TearDown() override {
    TmvAbstractServerObject::Free(session);
    EXPECT_EQ(engine->SessionCount() + engine->DatabaseCount() + engine->TransContextCount() +
                  engine->StatementCount() + engine->CursorCount(),
              0);
    delete engine;
    ServerTest::TearDown();
  }

  TestEngine* engine = nullptr;
  TestSession* session = nullptr;
  TmvAbstractDatabase* database = nullptr;
  TmvAbstractStatement* statement = nullptr;
};

TEST_F(ServerObjects, LookupByIDFindsOnlyLiveObjectsOfTheClassAndSession) {
  TmvAbstractDatabase* found = nullptr;
  const TmvSessionID sid = session->GetRemoteID();
  EXPECT_EQ(TmvAbstractServerObject::LookupByID(sid, database->GetRemoteID(), found), 0u);
  EXPECT_EQ(found, database);
  TmvAbstractSession* foundSession = nullptr;
  EXPECT_EQ(TmvAbstractSession::LookupByID(sid, foundSession), 0u);
  EXPECT_EQ(foundSession, session);

  TestSession* other = engine->Open();
  TmvAbstractDatabase* otherDb = nullptr;
  ASSERT_EQ(other->DatabaseOpen(otherDb, u"Path", u"x", nullptr, omReadOnly, smShared, 0), 0u);
  const TmvBaseID freedHandle = otherDb->GetRemoteID();
  TmvAbstractServerObject::Free(otherDb);

  struct Case {
    const char* what;
    TmvSessionID session;
    TmvBaseID handle;
  } cases[] = {
      {"unknown handle", sid, 0x7FFF0000DEADBEEFull},
      {"no handle", sid, 0},
      {"freed object", other->GetRemoteID(), freedHandle},
      {"another class (a statement)", sid, statement->GetRemoteID()},
      {"another session", other->GetRemoteID(), database->GetRemoteID()},
      {"the session as its own child", sid, sid},
  };
  for (const Case& c : cases) {
    found = database;  // must come back nil
    EXPECT_EQ(TmvAbstractServerObject::LookupByID(c.session, c.handle, found), 9990u) << c.what;
    EXPECT_EQ(found, nullptr) << c.what;
    EXPECT_EQ(LastText(9990), u"Invalid handle to the function.");
  }
  // A database is found as any of its ancestors' classes too.
  TmvAbstractTimeoutObject* asTimeoutObject = nullptr;
  EXPECT_EQ(TmvAbstractServerObject::LookupByID(sid, database->GetRemoteID(), asTimeoutObject), 0u);
  const TmvSessionID freedSession = other->GetRemoteID();
  TmvAbstractServerObject::Free(other);
  EXPECT_EQ(TmvAbstractSession::LookupByID(freedSession, foundSession), 9990u);
  EXPECT_EQ(foundSession, nullptr);
}

TEST_F(ServerObjects, HandlesAreNeverReused) {
  const TmvBaseID first = statement->GetRemoteID();
  TmvAbstractServerObject::Free(statement);
  ASSERT_EQ(database->StatementAlloc(statement, 0), 0u);
  EXPECT_GT(statement->GetRemoteID(), first);
}

TEST_F(ServerObjects, CloseOfAnObjectBeingDestroyedIsRefused) {
  auto* extender = new TestExtender(nullptr, statement, {eaDestroy});
  uint32_t closeCode = 0;
  extender->onNotify = [&](TmvEngineAction, bool) { closeCode = statement->Close(); };
  EXPECT_EQ(statement->Close(), 0u);  // frees it once (the sanitizers watch)
  EXPECT_EQ(closeCode, 8455u);
  EXPECT_EQ(engine->StatementCount(), 0);
  EXPECT_EQ(TmvAbstractServerObject::CloseObject(nullptr), 0u);
}

TEST_F(ServerObjects, OptionsAreInheritedAndListedOneLevelUp) {
  ASSERT_EQ(session->OptionSet(u"Colour", u"red"), 0u);
  ASSERT_EQ(database->OptionSet(u"Size", u"9"), 0u);
  ASSERT_EQ(statement->OptionSet(u"Own", u"1"), 0u);
  String value;
  EXPECT_EQ(statement->OptionGetEffective(u"COLOUR", value), 0u);  // two levels up, any case
  EXPECT_EQ(value, u"red");
  EXPECT_EQ(statement->OptionGet(u"Colour", value), 8712u);
  EXPECT_EQ(value, u"");  // cleared first
  EXPECT_EQ(LastText(8712), u"Could not find object.");
  EXPECT_EQ(statement->OptionGetEffective(u"Nowhere", value), 8712u);

  ASSERT_EQ(database->OptionSet(u"Own", u"db"), 0u);  // the statement's own line wins
  TmvFastStringListIC list;
  EXPECT_EQ(statement->OptionListEffective(&list), 0u);
  EXPECT_EQ(list.GetText(), u"Own=1\r\nSize=9\r\n");  // not the session's

  EXPECT_EQ(statement->OptionClear(u"Own"), 0u);
  EXPECT_FALSE(statement->HasOptionList());  // the last line took the list with it
  EXPECT_EQ(statement->OptionList(&list), 0u);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(statement->OptionClear(u"Own"), 8712u);
  // An empty value removes the line but keeps the list.
  ASSERT_EQ(database->OptionSet(u"Size", u""), 0u);
  EXPECT_EQ(database->OptionGet(u"Size", value), 8712u);
  EXPECT_TRUE(database->HasOptionList());
}

TEST_F(ServerObjects, AllowSystemTableAccessIsTheDatabasesOwnOption) {
  EXPECT_FALSE(database->GetExplicitAllowSystem());
  session->OptionSet(u"ALLOWSYSTEMTABLEACCESS", u"1");
  EXPECT_FALSE(database->GetExplicitAllowSystem());  // not inherited
  database->OptionSet(u"AllowSystemTableAccess", u"1");
  EXPECT_TRUE(database->GetExplicitAllowSystem());
}

TEST_F(ServerObjects, ABeforeVetoStopsTheOperation) {
  auto* first = new TestExtender(nullptr, session, {eaCloseInactiveFolders});
  auto* second = new TestExtender(nullptr, session, {eaCloseInactiveFolders});
  first->answers = {{eaCloseInactiveFolders, true, 10009}};
  EXPECT_EQ(session->CloseInactiveFolders(), 10009u);
  EXPECT_EQ(session->closeInactiveFoldersDone, 0);
  EXPECT_TRUE(second->calls.empty());  // the first non-zero answer ends the walk
  first->answers.clear();
  EXPECT_EQ(session->CloseInactiveFolders(), 0u);
  EXPECT_EQ(session->closeInactiveFoldersDone, 1);
  ASSERT_EQ(second->calls.size(), 2u);
  EXPECT_TRUE(second->calls[0].before);
  EXPECT_FALSE(second->calls[1].before);
}

TEST_F(ServerObjects, ActionSetsAndTheMethodToCall) {
  auto* all = new TestExtender(nullptr, statement);
  EXPECT_EQ(all->Actions(), TmvEngineActions::AllBut({eaRecordFulltextUpdate}));
  EXPECT_TRUE(all->Actions().Contains(eaStatementGetParams));
  EXPECT_FALSE(all->Actions().Contains(eaRecordFulltextUpdate));
  EXPECT_FALSE(all->Actions().Contains(48));  // beyond the six bytes
  EXPECT_FALSE(statement->GetNotifyFor(eaRecordFulltextUpdate));

  auto* fulltext = new TestExtender(nullptr, statement, {eaRecordFulltextUpdate});
  fulltext->answers = {{eaRecordFulltextUpdate, false, 42}};
  TmvNotifyMethod one = statement->GetNotifyFor(eaRecordFulltextUpdate);
  ASSERT_TRUE(one);
  EXPECT_EQ(one(eaRecordFulltextUpdate, false, {}), 42u);
  EXPECT_TRUE(all->calls.empty());  // straight to the one extender

  TmvNotifyMethod both = statement->GetNotifyFor(eaStatementExec);
  ASSERT_TRUE(both);
  EXPECT_EQ(both(eaStatementExec, true, {String(u"a"), true}), 0u);
  ASSERT_EQ(all->calls.size(), 1u);
  EXPECT_EQ(all->calls[0].argCount, 2u);
  EXPECT_EQ(statement->GetExtenderOfType(TmvBaseEngineExtender::StaticClass), all);

  // An extender that raises answers with its exception's code.
  all->onNotify = [](TmvEngineAction, bool) { throw EmvBaseException(int64_t(9729)); };
  EXPECT_EQ(statement->NotifyExtenders(eaStatementExec, true, {}), 9729u);
}

TEST_F(ServerObjects, AVetoedConstructionRaisesAndLeaksNothing) {
  auto* veto = new TestExtender(nullptr, session, {eaChildCreate});
  veto->answers = {{eaChildCreate, false, 10009}};
  TmvAbstractDatabase* vetoed = nullptr;
  EXPECT_THROW(TmvAbstractServerObject::Create<TestDatabase>(session, nullptr, 0u), ETestServerException);
  EXPECT_EQ(session->DatabaseOpen(vetoed, u"Path", u"x", nullptr, omReadOnly, smShared, 0), 10009u);
  EXPECT_EQ(vetoed, nullptr);
  EXPECT_EQ(engine->DatabaseCount(), 1);  // the fixture's only
  EXPECT_EQ(engine->TransContextCount(), 1);
  EXPECT_EQ(session->FirstDatabase(), database);
  EXPECT_EQ(database->NextOfSession(), nullptr);
}

TEST_F(ServerObjects, MonitorsHearOfObjectsWhileStarted) {
  struct Monitor : TmvBaseEngineMonitor {
    using TmvBaseEngineMonitor::TmvBaseEngineMonitor;
    void ExtendableObjectCreated(TmvExtendableServerObject* o) override {
      ++created;
      new TestExtender(this, o);
    }
    void ExtendableObjectDestroyed(TmvExtendableServerObject*) override { ++destroyed; }
    void bemEngineStarting() override { ++starting; }
    int created = 0, destroyed = 0, starting = 0;
  };
  auto* monitor = new Monitor(nullptr);
  monitor->SetServerEngine(engine);
  TmvAbstractStatement* s = nullptr;
  ASSERT_EQ(database->StatementAlloc(s, 0), 0u);
  EXPECT_EQ(monitor->created, 0);  // not started
  TmvAbstractServerObject::Free(s);
  monitor->SetActive(true);  // starts the engine it depends on first
  EXPECT_EQ(engine->GetState(), mvsStarted);
  EXPECT_EQ(monitor->starting, 1);
  ASSERT_EQ(database->StatementAlloc(s, 0), 0u);
  EXPECT_EQ(monitor->created, 1);
  EXPECT_NE(s->GetExtenderOfType(TestExtender::StaticClass), nullptr);
  TmvAbstractServerObject::Free(s);  // frees its extender too
  EXPECT_EQ(monitor->destroyed, 1);
  EXPECT_EQ(monitor->FirstExtender(), nullptr);
  monitor->SetActive(false);
  delete monitor;
}

TEST_F(ServerObjects, NamedServicesByPath) {
  void* found = nullptr;
  EXPECT_EQ(statement->CreateInstanceFor(u"<Session>.<Self>", CLSID_mvServerObjectSelf, nullptr, IID_IInterface,
                                         &found),
            S_OK);
  EXPECT_EQ(found, static_cast<IInterface*>(session));
  EXPECT_EQ(statement->CreateInstanceFor(u"<database>", CLSID_mvServerObjectSelf, nullptr, IID_IInterface, &found),
            S_OK);
  EXPECT_EQ(found, static_cast<IInterface*>(database));
  EXPECT_EQ(database->CreateInstanceFor(u"<TransContext>", CLSID_mvServerObjectSelf, nullptr, IID_IInterface, &found),
            S_OK);
  EXPECT_EQ(found, static_cast<IInterface*>(database->TransContext()));
  EXPECT_EQ(session->CreateInstanceFor(u"<Self>", TGUID{}, nullptr, IID_IInterface, &found), E_NOINTERFACE);
  EXPECT_EQ(session->CreateInstanceFor(u"<Extenders>", TGUID{}, nullptr, IID_IInterface, &found), E_NOINTERFACE);
  EXPECT_EQ(found, nullptr);

  auto* orphan = TmvAbstractServerObject::Create<TestTaskInfo>(nullptr);  // no session, no engine
  EXPECT_EQ(orphan->CreateInstanceFor(u"<Session>.<Self>", CLSID_mvServerObjectSelf, nullptr, IID_IInterface, &found),
            int32_t(0x80004002));
  EXPECT_EQ(orphan->CreateInstanceFor(u"<TaskInfo>", CLSID_mvServerObjectSelf, nullptr, IID_IInterface, &found),
            S_OK);
  delete orphan;
}

TEST_F(ServerObjects, VersionsAndTimeoutBatches) {
  EXPECT_EQ(session->GetMinVersion(), 47501);
  TestSession* older = engine->Open(String(), 41000);
  TestSession* newer = engine->Open(String(), 50000);
  EXPECT_EQ(older->GetMinVersion(), 41000);
  EXPECT_EQ(newer->GetMinVersion(), 47501);
  TmvAbstractServerObject::Free(older);
  TmvAbstractServerObject::Free(newer);
  for (TmvAbstractTimeoutObject* o : {static_cast<TmvAbstractTimeoutObject*>(session),
                                      static_cast<TmvAbstractTimeoutObject*>(database),
                                      static_cast<TmvAbstractTimeoutObject*>(statement)}) {
    EXPECT_EQ(o->BeginTimeoutBatch(), -1);
    EXPECT_EQ(o->EndTimeoutBatch(), -1);
    EXPECT_EQ(o->atoForwardToSession(7), 0);
  }
}

TEST_F(ServerObjects, UserInfoLines) {
  TestSession* anonymous = engine->Open();
  TStringList lines;
  ASSERT_EQ(anonymous->GetUserInfo(&lines), 0u);
  ASSERT_EQ(lines.Count(), 2);
  EXPECT_EQ(lines[1], u"anonymous User<[--!Session.UserName=!--]>");
  EXPECT_EQ(lines[0].find(u"<[--!Session.ID="), 0u);
  EXPECT_NE(lines[0].find(u"Connected since: "), String::npos);
  TmvAbstractServerObject::Free(anonymous);
  lines.Clear();
  ASSERT_EQ(session->GetUserInfo(&lines), 0u);
  EXPECT_EQ(lines[1], u"Username: anna [not authenticated]<[--!Session.UserName=anna!--]><[--!Session.Authenticated=0!--]>");
}

TEST_F(ServerObjects, AFreedContextLeavesItsDatabasesWithContextsOfTheirOwn) {
  TmvAbstractTransContext* shared = nullptr;
  ASSERT_EQ(session->TransContextCreate(shared, 0), 0u);
  TmvAbstractDatabase *a = nullptr, *b = nullptr;
  ASSERT_EQ(session->DatabaseOpen(a, u"Path", u"x", shared, omReadOnly, smShared, 0), 0u);
  ASSERT_EQ(session->DatabaseOpen(b, u"Path", u"x", shared, omReadOnly, smShared, 0), 0u);
  EXPECT_EQ(shared->DatabaseCount(), 2);
  EXPECT_EQ(a->OwnedTransContext(), nullptr);
  TmvAbstractServerObject::Free(shared);
  for (TmvAbstractDatabase* d : {a, b}) {
    ASSERT_NE(d->TransContext(), nullptr);
    EXPECT_EQ(d->TransContext(), d->OwnedTransContext());
    EXPECT_EQ(d->TransContext()->DatabaseCount(), 1);
    int32_t level = -1;
    EXPECT_EQ(d->TransactionGetLevel(level), 0u);
  }
  EXPECT_NE(a->TransContext(), b->TransContext());
  EXPECT_EQ(engine->TransContextCount(), 3);  // the fixture database's and the two new ones
}

TEST_F(ServerObjects, ClosingASessionRunsItsCleanUpAndFreesEverything) {
  TestSession* other = engine->Open();
  TmvAbstractDatabase* d = nullptr;
  ASSERT_EQ(other->DatabaseOpen(d, u"Path", u"x", nullptr, omReadOnly, smShared, 0), 0u);
  TmvAbstractStatement* s = nullptr;
  ASSERT_EQ(d->StatementAlloc(s, 0), 0u);
  auto* task = TmvAbstractServerObject::Create<TestTaskInfo>(d);
  EXPECT_EQ(other->FirstTaskInfo(), task);
  EXPECT_EQ(engine->SessionCount(), 2);
  EXPECT_EQ(other->Close(), 0u);
  EXPECT_EQ(engine->SessionCount(), 1);
  EXPECT_EQ(engine->DatabaseCount(), 1);
  EXPECT_EQ(engine->StatementCount(), 1);
  EXPECT_EQ(engine->TransContextCount(), 1);
}

TEST_F(ServerObjects, ThePublicFrameConvertsAndKeepsTheDeadline) {
  // A session operation that fails inside the frame answers with the code;
  // one running while another thread is inside gets 8455 raised.
  session->OptionSet(u"x", u"1");
  std::atomic<bool> inside{false}, release{false};
  std::thread owner([&] {
    String value;
    session->atoPublicCall([&] {
      inside = true;
      while (!release) std::this_thread::yield();
      return 0u;
    });
  });
  while (!inside) std::this_thread::yield();
  String value;
  EXPECT_EQ(RaisedCode([&] { session->OptionGet(u"x", value); }), 8455u);
  EXPECT_EQ(RaisedCode([&] { bool e; session->TableExists(u"a", u"t1", u"", e, false); }), 8455u);
  release = true;
  owner.join();

  bool exists = false;
  EXPECT_EQ(session->TableExists(u"a", u"t1", u"", exists, false), 0u);
  EXPECT_TRUE(exists);
  EXPECT_EQ(session->lastAliasType, u"Name");
  EXPECT_EQ(session->TableExists(u"missing", u"t1", u"", exists, false), 10014u);
  EXPECT_FALSE(exists);
  EXPECT_EQ(session->lastOpenMode, omReadOnly);
  EXPECT_EQ(session->TableStreamWrite(u"a", u"t1", u"", u"S", nullptr), 0u);
  EXPECT_EQ(session->lastOpenMode, omReadWrite);
  EXPECT_EQ(engine->DatabaseCount(), 1);  // the temporary database is gone again

  session->SetTimeout(5000);
  uint64_t deadline = 0;
  EXPECT_EQ(session->atoPublicCall([&] {
              deadline = mvGetOperationDeadline();
              throw EmvBaseException(int64_t(9729));
              return 0u;
            }),
            9729u);
  EXPECT_GT(deadline, GetTickCount64());
  EXPECT_LE(deadline, GetTickCount64() + 5000);
}

TEST_F(ServerObjects, StoppingTheEngineFreesEverySession) {
  engine->Open();
  engine->SetActive(true);
  engine->SetActive(false);
  EXPECT_EQ(engine->SessionCount(), 0);
  EXPECT_EQ(engine->FirstSession(), nullptr);
  EXPECT_EQ(engine->lastSessionClosed, 1);
  session = nullptr;  // freed with the others
}

}  // namespace

namespace {

TEST(RequestClose, TheHandlerCallsItsMethodUntilDisconnected) {
  int calls = 0;
  TInterfacePtr<ImvRequestCloseHandler> handler;
  mvCreateRequestCloseHandler(handler, [&] { ++calls; });
  handler->RequestClose();
  EXPECT_EQ(calls, 1);
  handler->Disconnect();
  handler->RequestClose();
  EXPECT_EQ(calls, 1);
  TInterfacePtr<ImvRequestCloseHandler> empty;
  mvCreateRequestCloseHandler(empty, nullptr);  // no method: disconnected from the start
  empty->RequestClose();
}

}  // namespace
