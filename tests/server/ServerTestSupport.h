// Test support: small concrete classes over the abstract engine interface
// (an engine, a session, a transaction context, a database, a statement,
// a task info, an extender and a monitor), each doing the least that lets
// the abstract layer's own behaviour be observed, and a fixture that starts
// the server units.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllServerException.h"
#include "server/mvsdServerEngine.h"
#include "server/mvsrServerUnits.h"

MV_DECLARE_EXCEPTION(ETestServerException, EmvServerException)
inline MV_SERVER_EXCEPTION_CLASSREF(ETestServerException, nullptr);

class TestTransContext : public TmvAbstractTransContext {
 public:
  using TmvAbstractTransContext::TmvAbstractTransContext;
  uint32_t TransactionStart(bool, bool) override { return 0; }
  uint32_t TransactionStartWith(bool, bool, const std::vector<TmvAbstractCursor*>&) override { return 0; }
  uint32_t TransactionCommit() override { return 0; }
  uint32_t TransactionRollback() override { return 0; }
  uint32_t TransactionCorrupted() override { return 0; }
  uint32_t TransactionGetLevel(int32_t& aLevel) override {
    aLevel = 0;
    return 0;
  }
  uint32_t TransactionGetInfo(TmvTransactionInfo&, bool) override { return 0; }
  void atcForceRollback() override { ++rollbacks; }
  int rollbacks = 0;
};

// A database whose table "t1" exists; the rest answers 0 or does nothing.
template <typename Base>
class TestDatabaseOf : public Base {
 public:
  using Base::Base;
  uint32_t TableBuild(bool, const String&, const String&, TmvDataDictionary*, TmvTableScope, bool) override { return 0; }
  uint32_t TablePack(const String&, const String&, TmvAbstractTaskInfo*&) override { return 0; }
  uint32_t TableBackup(const String&, const String&, TmvAbstractDatabase*, TmvAbstractTaskInfo*&) override { return 0; }
  uint32_t TableRebuildIndex(const String&, const String&, const String&, int32_t, TmvAbstractTaskInfo*&) override {
    return 0;
  }
  uint32_t TableRestructure(const String&, const String&, TmvDataDictionary*, TmvBaseTableMapperDescriptor*, bool,
                            TmvAbstractTaskInfo*&) override {
    return 0;
  }
  uint32_t TableAddField(const String&, const String&, TmvFieldDescriptor*) override { return 0; }
  uint32_t TableAddIndex(const String&, const String&, TmvIndexDescriptor*, bool) override { return 0; }
  uint32_t TableDropIndex(const String&, const String&, const String&, int32_t) override { return 0; }
  uint32_t TableRename(const String&, const String&, const String&) override { return 0; }
  uint32_t TableRecover(const String&, const String&, TmvAbstractTaskInfo*&) override { return 0; }
  uint32_t TableVerifyChecksum(const String&, const String&, bool, bool, TmvAbstractTaskInfo*&) override { return 0; }
  uint32_t TableDelete(const String&, const String&) override { return 0; }
  uint32_t TableEmpty(const String&, const String&) override { return 0; }
  uint32_t TableChangePassword(const String&, const String&, const String&) override { return 0; }
  uint32_t TableExists(const String& aName, const String&, bool& aExists, bool aAllowSystem) override {
    aExists = aName == u"t1";
    lastAllowSystem = aAllowSystem;
    return 0;
  }
  uint32_t TableGetDictionary(const String&, const String&, TmvDataDictionary*) override { return 0; }
  uint32_t TableGetList(TStrings*) override { return 0; }
  uint32_t TableAutoIncGet(const String&, const String&, uint32_t&) override { return 0; }
  uint32_t GetChangedTables(TStrings*) override { return 0; }
  uint32_t TableStreamRead(const String&, const String&, const String&, TStream*) override { return 0; }
  uint32_t TableStreamWrite(const String&, const String&, const String&, TStream*) override { return 0; }
  uint32_t CursorOpen(TmvAbstractCursor*& aCursor, const String&, const String&, TmvOpenMode, TmvShareMode, uint32_t,
                      const String&, int32_t, bool, uint32_t, uint32_t, const uint32_t*) override {
    aCursor = nullptr;
    return 0;
  }
  uint32_t StatementAlloc(TmvAbstractStatement*& aStatement, uint32_t aTimeout) override;
  uint32_t StatementExecDirect(uint32_t, TmvStatementType, const String&, TStream*, TmvSqlParamList*, TStream*,
                               TmvAbstractCursor*& aCursor, TmvOpenMode, TStream*, TStream*,
                               TmvStatementExecDirectPhase&) override {
    aCursor = nullptr;
    return 0;
  }
  uint32_t GetFreespace(int64_t& aFreeSpace) override {
    aFreeSpace = 0;
    return 0;
  }
  uint32_t GetPath(String& aPath) override {
    aPath.clear();
    return 0;
  }
  uint32_t GetAlias(String& aAlias) override {
    aAlias.clear();
    return 0;
  }

  bool lastAllowSystem = false;
  TmvOpenMode openMode = omReadOnly;
};

class TestDatabase : public TestDatabaseOf<TmvAbstractDatabase> {
 public:
  using TestDatabaseOf<TmvAbstractDatabase>::TestDatabaseOf;
};

// The same with the SQL layer's operations, which answer nothing here.
class TestSqlDatabase : public TestDatabaseOf<TmvSqlAbstractDatabase> {
 public:
  using TestDatabaseOf<TmvSqlAbstractDatabase>::TestDatabaseOf;
  uint32_t sdTableRebuildIndex(const String&, const String&, const String&, int32_t, TmvAbstractTaskInfo*&) override {
    return 0;
  }
  uint32_t sdTableRestructure(const String&, const String&, TmvDataDictionary*, TmvBaseTableMapperDescriptor*,
                              TmvAbstractTaskInfo*&) override {
    return 0;
  }
  TmvSqlAbstractCursor* sadCreateResultSet(TmvDataDictionary*, uint32_t) override { return nullptr; }
  TmvIteratorResult sdIterateDictionaries(const TmvDictionaryIterator&, bool, bool, void*) override {
    return irContinue;
  }
  void sadLockTables() override {}
  void sadUnlockTables() override {}
};

class TestStatement : public TmvAbstractStatement {
 public:
  using TmvAbstractStatement::TmvAbstractStatement;
  uint32_t Prepare(TmvStatementType, const String&, TStream*) override { return 0; }
  uint32_t Exec(TmvAbstractCursor*& aCursor, TmvOpenMode, TStream*) override {
    aCursor = nullptr;
    return 0;
  }
  uint32_t SetParams(TmvSqlParamList*, TStream*) override { return 0; }
  uint32_t GetParams(TmvSqlParamList*, TStream*) override { return 0; }
};

template <typename Base>
uint32_t TestDatabaseOf<Base>::StatementAlloc(TmvAbstractStatement*& aStatement, uint32_t aTimeout) {
  aStatement = TmvAbstractServerObject::Create<TestStatement>(this, aTimeout);
  return 0;
}

class TestTaskInfo : public TmvAbstractTaskInfo {
 public:
  using TmvAbstractTaskInfo::TmvAbstractTaskInfo;
  uint32_t GetStatus(bool& aCompleted, TmvTaskStatus&) override {
    aCompleted = cancelled;
    return 0;
  }
  uint32_t Cancel() override {
    cancelled = true;
    return 0;
  }
  bool cancelled = false;
};

// A session that opens test databases (on any alias but "missing") and
// test contexts; the alias and password operations are not its concern.
class TestSession : public TmvAbstractSession {
 public:
  TestSession(TmvBaseServerEngine* aEngine, uint32_t aTimeout, const String& aUser, const String& aPassword,
              const String& aFrom, int32_t aClientVersion)
      : TmvAbstractSession(aEngine, aTimeout, aUser, aPassword, aFrom), clientVersion(aClientVersion) {}

  int32_t GetClientVersion() override { return clientVersion; }
  uint32_t AliasAdd(const String&, const String&, bool) override { return NotSupported(u"AliasAdd"); }
  uint32_t AliasDelete(const String&) override { return NotSupported(u"AliasDelete"); }
  uint32_t AliasModify(const String&, const String&, const String&, bool) override {
    return NotSupported(u"AliasModify");
  }
  uint32_t AliasGetList(TmvAliasDescriptors&) override { return NotSupported(u"AliasGetList"); }
  uint32_t AliasGetPath(const String&, String&) override { return NotSupported(u"AliasGetPath"); }
  uint32_t PasswordAdd(const String&) override { return 0; }
  uint32_t PasswordRemove(const String&) override { return 0; }
  uint32_t PasswordRemoveAll() override { return 0; }
  // The operations' usual frame: the extenders may veto before, and are
  // told after a success.
  uint32_t CloseInactiveFolders() override {
    if (uint32_t veto = NotifyExtenders(eaCloseInactiveFolders, true, {})) return veto;
    ++closeInactiveFoldersDone;
    NotifyExtenders(eaCloseInactiveFolders, false, {});
    return 0;
  }
  uint32_t CloseInactiveTables() override { return 0; }
  uint32_t DatabaseOpen(TmvAbstractDatabase*& aDatabase, const String& aAliasType, const String& aAlias,
                        TmvAbstractTransContext* aTransContext, TmvOpenMode aOpenMode, TmvShareMode,
                        uint32_t aTimeout) override {
    aDatabase = nullptr;
    lastAliasType = aAliasType;
    lastOpenMode = aOpenMode;
    if (aAlias == u"missing") return EmvBaseException::mvSetMessage(MVERR_UNKNOWNDB, String());
    try {
      auto* db = TmvAbstractServerObject::Create<TestDatabase>(this, aTransContext, aTimeout);
      db->openMode = aOpenMode;
      aDatabase = db;
      return 0;
    } catch (...) {
      return asoConvertException();
    }
  }
  uint32_t TransContextCreate(TmvAbstractTransContext*& aTransContext, uint32_t aTimeout) override {
    aTransContext = TmvAbstractServerObject::Create<TestTransContext>(this, aTimeout);
    return 0;
  }
  uint32_t GetRegisteredClassList(TmvClassListType, TStrings*) override { return 0; }

  int32_t clientVersion;
  int closeInactiveFoldersDone = 0;
  String lastAliasType;
  TmvOpenMode lastOpenMode = omNone;
};

class TestEngine : public TmvBaseServerEngine {
 public:
  using TmvBaseServerEngine::TmvBaseServerEngine;
  const TmvServerExceptionClassRef& bseGetExceptionClass() override { return ETestServerExceptionClass; }
  TGUID GetServerGuid() override { return TGUID{}; }
  String GetServerName() override { return u"Test"; }
  bool bseKeepSessionStats() override { return keepStats; }
  void bseLastSessionClosed() override { ++lastSessionClosed; }
  uint32_t SessionOpenEx(TmvAbstractSession*& aSession, const String& aUser, const String& aPassword,
                         const String& aFrom, uint32_t aTimeout, int32_t aClientVersion) override {
    aSession = nullptr;
    try {
      aSession = TmvAbstractServerObject::Create<TestSession>(this, aTimeout, aUser, aPassword, aFrom, aClientVersion);
      return 0;
    } catch (...) {
      return bseConvertCurrentException(nullptr);
    }
  }
  TestSession* Open(const String& aUser = String(), int32_t aClientVersion = mvEngineVersion) {
    TmvAbstractSession* session = nullptr;
    EXPECT_EQ(SessionOpenEx(session, aUser, u"pw", String(), 0, aClientVersion), 0u);
    return static_cast<TestSession*>(session);
  }

  bool keepStats = false;
  int lastSessionClosed = 0;
};

// An extender that answers a code per action and moment, and records what
// it was told.
class TestExtender : public TmvBaseEngineExtender {
 public:
  using TmvBaseEngineExtender::TmvBaseEngineExtender;
  uint32_t Notify(TmvEngineAction aAction, bool aBefore, TmvActionArgs aArgs) override {
    calls.push_back({aAction, aBefore, aArgs.size()});
    if (onNotify) onNotify(aAction, aBefore);
    for (const Answer& a : answers)
      if (a.action == aAction && a.before == aBefore) return a.code;
    return 0;
  }
  struct Call {
    TmvEngineAction action;
    bool before;
    size_t argCount;
  };
  struct Answer {
    TmvEngineAction action;
    bool before;
    uint32_t code;
  };
  std::vector<Call> calls;
  std::vector<Answer> answers;
  std::function<void(TmvEngineAction, bool)> onNotify;
};

// The engine's units started for each test, the fatal flag cleared after.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { mvServerInit(); }
  void TearDown() override { mvServerFini(); }
};

// The error code an engine exception carries; 0 when f raises nothing.
template <typename F>
uint32_t RaisedCode(F&& f, String* aText = nullptr) {
  try {
    f();
    return 0;
  } catch (const EmvBaseException& e) {
    if (aText) *aText = e.ProcessedErrorString();
    return e.ErrorCode();
  }
}

// The text recorded with the last code answered on this thread.
inline String LastText(uint32_t aCode) { return EmvBaseException(int64_t(aCode)).ProcessedErrorString(); }
