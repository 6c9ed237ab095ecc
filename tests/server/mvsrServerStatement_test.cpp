// Tests of the in-process statement (its lock and counters) and of the key
// fields source.
#include <gtest/gtest.h>

#include <thread>

#include "ServerEngineTestSupport.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"

namespace {

struct Statements : EngineTest {
  void SetUp() override {
    EngineTest::SetUp();
    engine->SetOptions(mvEngineOption(seoKeepSessionStats));
    session = OpenSession(u"u");
    context = TmvAbstractServerObject::Create<TestTransContext>(session, 0u);
    database = TmvAbstractServerObject::Create<TestSqlDatabase>(session, context, 0u);
    TmvAbstractStatement* allocated = nullptr;
    sql->StatementAlloc(database, allocated, 0);
    statement = static_cast<TestServerStatement*>(allocated);
  }
  int64_t SessionStatements() {
    TmvSessionStatsCounters counters;
    session->SessionLock()->Stats()->Update(counters);
    return counters[sscStatements];
  }

  TmvServerSession* session = nullptr;
  TmvAbstractTransContext* context = nullptr;
  TmvAbstractDatabase* database = nullptr;
  TestServerStatement* statement = nullptr;
};

TEST_F(Statements, AFailingExecStillCounts) {
  statement->execCode = 9729;
  TmvAbstractCursor* cursor = nullptr;
  EXPECT_EQ(statement->Exec(cursor, omReadOnly, nullptr), 9729u);
  EXPECT_EQ(statement->executingSeen, 1);
  EXPECT_EQ(engine->seExecutingStatements.load(), 0);
  EXPECT_EQ(engine->seExecutedStatements.load(), 1);
  EXPECT_EQ(SessionStatements(), 1);

  // One that raises is not executed; the lock is free again afterwards.
  statement->execRaises = true;
  EXPECT_EQ(RaisedCode([&] { statement->Exec(cursor, omReadOnly, nullptr); }), 9729u);
  EXPECT_EQ(engine->seExecutingStatements.load(), 0);
  EXPECT_EQ(engine->seExecutedStatements.load(), 1);
  EXPECT_EQ(SessionStatements(), 2);
  EXPECT_EQ(statement->Prepare(stQuery, u"select 1", nullptr), 0u);
  EXPECT_FALSE(statement->asExecDirect);
}

TEST_F(Statements, ASecondThreadIsRefusedWhileTheSessionIsBusy) {
  std::atomic<bool> inside{false}, release{false};
  statement->duringPrepare = [&] {
    inside = true;
    while (!release) std::this_thread::yield();
  };
  std::thread first([&] { EXPECT_EQ(statement->Prepare(stQuery, u"q", nullptr), 0u); });
  while (!inside) std::this_thread::yield();
  TestServerStatement* other = nullptr;
  {
    TmvAbstractStatement* s = nullptr;
    sql->StatementAlloc(database, s, 0);  // no lock taken to allocate
    other = static_cast<TestServerStatement*>(s);
  }
  EXPECT_EQ(RaisedCode([&] { other->Prepare(stQuery, u"q", nullptr); }), 8455u);
  EXPECT_EQ(other->prepares, 0);
  release = true;
  first.join();
  statement->duringPrepare = nullptr;
  EXPECT_EQ(other->Prepare(stQuery, u"q", nullptr), 0u);
}

TEST_F(Statements, ACancelledStatementReportsIt) {
  statement->duringPrepare = [&] { session->Failed(false); };
  EXPECT_EQ(statement->Prepare(stQuery, u"q", nullptr), 15461u);
  statement->duringPrepare = nullptr;
  EXPECT_EQ(statement->Prepare(stQuery, u"q", nullptr), 0u);
}

// ---------------------------------------------------------------------------
// The key fields source

class StandInKeyDescriptor : public TmvBaseKeyDescriptor {
 public:
  StandInKeyDescriptor() : TmvBaseKeyDescriptor(nullptr) {}
  int32_t GetKeyLen() override { return 8; }
};

// A key engine whose fields are named after it.
class StandInKeyEngine : public TmvBaseKeyEngine {
 public:
  StandInKeyEngine(TmvBaseKeyDescriptor* aDescriptor, const String& aField, int32_t aFields)
      : TmvBaseKeyEngine(aDescriptor), field(aField), fields(aFields) {}
  void ClearKey(void*) override {}
  uint32_t BuildKey(const void*, void*, TmvRefNr, bool) override { return 0; }
  int8_t CompareKey(const void*, const void*, int32_t, int32_t) override { return 0; }
  String KeyAsString(const void*) override { return field; }
  Variant KeyAsVariant(const void*, int32_t) override { return Variant(); }
  void KeyAsExceptionData(const void*, ImvExceptionDataContainer*) override {}
  int32_t GetMaxFieldCount() override { return fields; }

  bool GetFieldForFilter(int32_t, const String&, const void*, TmvFieldType&, uint16_t&, bool&, const void*&,
                         uint16_t&) override {
    return true;
  }
  Variant GetFieldAsVariant(const void*, int32_t) override { return Variant(field); }
  int32_t GetFieldFromName(const String& aName) override { return aName == field ? 0 : -1; }
  ImvFieldDescriptor* GetFieldDescriptor(int32_t) override { return nullptr; }

  String field;
  int32_t fields;
};

class StandInCursor : public TmvKeyFieldsOwner {
 public:
  TmvBaseKeyEngine* CurrentKeyEngine() override { return current; }
  TmvAbstractCursor* OwnerCursor() override { return reinterpret_cast<TmvAbstractCursor*>(this); }
  TmvBaseKeyEngine* current = nullptr;
};

TEST_F(ServerTest, AKeyFieldsSourceFollowsTheCursorsIndex) {
  StandInKeyDescriptor descriptor;
  StandInKeyEngine byName(&descriptor, u"Name", 1), byDate(&descriptor, u"Date", 2);
  StandInCursor cursor;
  TInterfacePtr<ImvFieldsSource> source(
      static_cast<ImvFieldsSource*>(TmvInterfacedObject::Create<TmvKeyFieldsSource>(&cursor)));
  EXPECT_EQ(source->GetFieldCount(), 0);  // no index yet
  EXPECT_EQ(source->GetFieldFromName(u"Name"), -1);
  cursor.current = &byName;
  EXPECT_EQ(source->GetFieldCount(), 1);
  EXPECT_EQ(source->GetFieldFromName(u"Name"), 0);
  EXPECT_EQ(source->GetFieldAsVariant(nullptr, 0).AsString(), u"Name");
  cursor.current = &byDate;  // the cursor switched its index
  EXPECT_EQ(source->GetFieldCount(), 2);
  EXPECT_EQ(source->GetFieldFromName(u"Name"), -1);
  EXPECT_EQ(source->GetFieldAsVariant(nullptr, 0).AsString(), u"Date");
  EXPECT_EQ(source->GetCursor(), cursor.OwnerCursor());
}

}  // namespace
