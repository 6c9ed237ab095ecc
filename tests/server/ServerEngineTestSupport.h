// Test support for the in-process engine: a stand-in SQL engine that
// records its calls and whose statements answer given codes, a
// configuration kept in a map, and a fixture with an engine linked to the
// stand-in SQL engine.
#pragma once

#include <map>

#include "ServerTestSupport.h"
#include "server/mvsrServerEngine.h"

// A statement of the stand-in SQL engine: each step answers its code (or
// raises when asked to) and counts its calls.
class TestServerStatement : public TmvServerStatement {
 public:
  using TmvServerStatement::TmvServerStatement;
  uint32_t prepareCode = 0, execCode = 0;
  bool execRaises = false;
  int prepares = 0, execs = 0;
  std::function<void()> duringPrepare;
  int32_t executingSeen = -1;

 protected:
  uint32_t ssPrepare(TmvStatementType, const String&, TStream*) override {
    ++prepares;
    if (duringPrepare) duringPrepare();
    return prepareCode;
  }
  uint32_t ssExec(TmvAbstractCursor*& aCursor, TmvOpenMode, TStream*) override {
    aCursor = nullptr;
    ++execs;
    executingSeen = static_cast<TmvServerEngine*>(GetServerEngine())->seExecutingStatements.load();
    if (execRaises) throw EmvBaseException(int64_t(9729));
    return execCode;
  }
  uint32_t ssSetParams(TmvSqlParamList*, TStream*) override { return 0; }
  uint32_t ssGetParams(TmvSqlParamList*, TStream*) override { return 0; }
};

class TestSqlEngine : public TmvBaseSqlEngine {
 public:
  using TmvBaseSqlEngine::TmvBaseSqlEngine;
  void PrepareShutdown() override {
    ++shutdowns;
    if (engine) sessionsAtShutdown = engine->SessionCount();
  }
  void StatementAlloc(TmvAbstractDatabase* aDatabase, TmvAbstractStatement*& aStatement, int32_t aTimeout) override {
    auto* statement = TmvAbstractServerObject::Create<TestServerStatement>(
        static_cast<TmvSqlAbstractDatabase*>(aDatabase), uint32_t(aTimeout));
    statement->prepareCode = prepareCode;
    aStatement = statement;
  }
  // The prepare code of the statements made from now on.
  uint32_t prepareCode = 0;
  TmvBaseServerEngine* engine = nullptr;
  int shutdowns = 0;
  int32_t sessionsAtShutdown = -1;
};

// A configuration kept in a map (names compared as given).
class TestConfiguration : public TmvBaseComponentConfiguration {
 public:
  Variant GetValue(const String& aName, const Variant& aDefault) override {
    auto found = values.find(aName);
    return found == values.end() ? aDefault : found->second;
  }
  void SetValue(const String& aName, const Variant& aValue) override { values[aName] = aValue; }
  std::map<String, Variant> values;
};

// An engine linked to the stand-in SQL engine, with a small block cache and
// no temporary storage; not started.
class EngineTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    sql = new TestSqlEngine(nullptr);
    engine = new TmvServerEngine(nullptr);
    sql->engine = engine;
    engine->SetSqlEngine(sql);
    engine->SetMaxRAM(16);
    engine->SetTempStoreSize(0);
  }
  void TearDown() override {
    delete engine;
    delete sql;
    ServerTest::TearDown();
  }
  TmvServerSession* OpenSession(const String& aUser = String()) {
    engine->SetActive(true);
    TmvAbstractSession* session = nullptr;
    EXPECT_EQ(engine->SessionOpen(session, aUser, String(), String(), 0), 0u);
    return static_cast<TmvServerSession*>(session);
  }

  TestSqlEngine* sql = nullptr;
  TmvServerEngine* engine = nullptr;
};
