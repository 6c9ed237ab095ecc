// Tests of state components: the state machine's tables, the steps and
// their failures, and the following of dependencies along a chain.
#include "foundation/mvllStateComponent.h"

#include <gtest/gtest.h>

#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllExceptions.h"
#include "support/mvTestLog.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The transitions taken when walking the tables from one state to a target,
// as the state machine does, one letter per step (I, D, S, T for stopping,
// X for invalid); "" when no step is possible.
std::string Walk(TmvState from, TmvState target) {
  std::string path;
  for (TmvState s = from; s != target;) {
    TmvState next = mvNextState(s, target);
    if (next == s) break;
    path += "-IDSTX"[mvStateTransition(s, next)];
    s = next;
  }
  return path;
}

}  // namespace

TEST(StateTables, PathsBetweenStates) {
  struct Case {
    TmvState from, target;
    const char* path;
  } cases[] = {
      {mvsInactive, mvsStarted, "IS"},     {mvsInactive, mvsStopped, "I"},
      {mvsStarted, mvsInactive, "TD"},     {mvsStarted, mvsStopped, "T"},
      {mvsStopped, mvsUnsupported, "D-"},  {mvsInactive, mvsUnsupported, "-"},
      {mvsUnsupported, mvsStarted, ""},    {mvsUnsupported, mvsInactive, ""},
      {mvsStarted, mvsUnsupported, "TD-"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Walk(c.from, c.target), c.path) << int(c.from) << "->" << int(c.target);
  EXPECT_EQ(mvStateTransition(mvsInactive, mvsStarted), mvstInvalid);
  EXPECT_TRUE(mvTransitionGoesUp(mvstStarting));
  EXPECT_FALSE(mvTransitionGoesUp(mvstInvalid));
  EXPECT_EQ(mvStateTransitionName(mvstDeactivating), u"Deactivating");
  EXPECT_EQ(mvStateName(mvsUnsupported), u"Unsupported");
}

// ---------------------------------------------------------------------------
// The state component

namespace {

// Logs its work into a shared journal; can be told to fail or to veto.
class TWorker : public TmvStateComponent {
 public:
  TWorker(std::vector<std::string>& journal, std::string tag) : TmvStateComponent(nullptr), j_(journal), tag_(tag) {}
  ~TWorker() override { Close(); }

  TWorker* dependsOn = nullptr;
  bool failStart = false, failStop = false, veto = false;
  int stateChanged = 0, transChanged = 0;

  bool DependsOn(TmvComponent* c) override { return c == dependsOn; }
  void HandleNotification(TmvComponent* sender, TmvNotifyOp op, void* param) override {
    if (veto && op == mvnoStateChanging) throw EmvAbortStateChange(String(u"no"));
    TmvStateComponent::HandleNotification(sender, op, param);
  }

 protected:
  void DoInitialize() override { j_.push_back(tag_ + ".init"); }
  void DoDeactivate() override { j_.push_back(tag_ + ".deactivate"); }
  void DoStart() override {
    j_.push_back(tag_ + ".start");
    if (failStart) throw EConvertError(String(u"x"));
  }
  void DoStop() override {
    j_.push_back(tag_ + ".stop");
    if (failStop) throw EConvertError(String(u"y"));
  }

 private:
  std::vector<std::string>& j_;
  std::string tag_;
};

}  // namespace

TEST(StateComponent, StartingRunsBothStepsAndAnnouncesThem) {
  std::vector<std::string> j;
  TWorker w(j, "w");
  w.OnStateChanged = [&](TPersistent*) { w.stateChanged++; };
  w.OnStateTransChanged = [&](TPersistent*) { w.transChanged++; };
  w.SetState(mvsStarted);
  EXPECT_EQ(j, (std::vector<std::string>{"w.init", "w.start"}));
  EXPECT_EQ(w.GetState(), mvsStarted);
  EXPECT_EQ(w.GetStateTransition(), mvstNone);
  EXPECT_EQ(w.stateChanged, 2);
  EXPECT_EQ(w.transChanged, 4);
  EXPECT_NE(w.GetStartTime(), 0);
  EXPECT_TRUE(w.GetActiveRuntime());

  w.failStop = true;  // going inactive always completes, silently
  EXPECT_NO_THROW(w.SetState(mvsInactive));
  EXPECT_EQ(w.GetState(), mvsInactive);
  EXPECT_EQ(j.back(), "w.deactivate");
  EXPECT_EQ(w.GetStartTime(), 0);
}

TEST(StateComponent, FailedStartGoesBackAndReportsWithContext) {
  mvInitExceptionData();
  std::vector<std::string> j;
  TWorker w(j, "w");
  w.SetName(u"Db1");
  w.failStart = true;
  try {
    w.Open();
    ADD_FAILURE();
  } catch (const EConvertError& e) {  // the original failure, its own class
    EXPECT_EQ(e.Message(), u"x");
  }
  EXPECT_EQ(j, (std::vector<std::string>{"w.init", "w.start", "w.stop", "w.deactivate"}));
  EXPECT_EQ(w.GetState(), mvsInactive);
  EXPECT_EQ(w.GetLastStartError(), u"x");

  // The failure was converted with the component as context: the text
  // carries its exception data, which comes back on the other side.
  uint32_t code;
  String text;
  EmvBaseException::GetLastConvertedException(code, text);
  EXPECT_EQ(code, 15521u);
  EXPECT_EQ(text.find(u"Unexpected exception object raised: [EConvertError] x"), 0u);
  EmvBaseException other(code);
  ImvExceptionDataContainer* data = mvExceptionDataContainerOf(other.GetExceptionData());
  ASSERT_NE(data, nullptr);
  std::vector<String> names;
  for (int32_t i = 0; i < data->Count(); ++i) names.push_back(data->GetValue(i)->GetName());
  for (const char16_t* want : {u"ClassName", u"State", u"StateTransition"})
    EXPECT_NE(std::find(names.begin(), names.end(), String(want)), names.end()) << UTF8Encode(want);
}

TEST(StateComponent, DisabledVetoedAndUnsupported) {
  std::vector<std::string> j;
  TWorker w(j, "w");
  w.SetEnabled(false);
  try {
    w.Open();
    ADD_FAILURE();
  } catch (const EmvStateComponentException& e) {
    EXPECT_NE(e.Message().find(u"The Component is disabled."), String::npos);
  }
  EXPECT_EQ(w.GetState(), mvsInactive);
  EXPECT_TRUE(j.empty());

  w.SetEnabled(true);
  TWorker vetoing(j, "v");
  vetoing.veto = true;
  w.LinkDependent(&vetoing);
  EXPECT_NO_THROW(w.Open());
  EXPECT_EQ(w.GetState(), mvsInactive);
  EXPECT_EQ(w.GetStateTransition(), mvstNone);
  EXPECT_TRUE(j.empty());
  w.UnlinkDependent(&vetoing);

  TWorker u(j, "u");
  u.SetState(mvsUnsupported);
  EXPECT_EQ(u.GetState(), mvsUnsupported);
  u.SetActive(false);
  u.SetState(mvsStarted);
  EXPECT_EQ(u.GetState(), mvsUnsupported);
  EXPECT_THROW(u.CheckStarted(), EmvStateComponentException);
}

TEST(StateComponent, ChecksRaiseOrSwitchInDesigner) {
  std::vector<std::string> j;
  TWorker w(j, "w");
  w.Open();
  EXPECT_THROW(w.CheckInactive(), EmvStateComponentException);
  EXPECT_THROW(w.CheckInactiveOrStopped(), EmvStateComponentException);
  w.SetDesigning(true);
  w.CheckInactiveOrStopped();
  EXPECT_EQ(w.GetState(), mvsStopped);
  w.CheckInactive();
  EXPECT_EQ(w.GetState(), mvsInactive);
  w.CheckStarted();
  EXPECT_EQ(w.GetState(), mvsStarted);
}

TEST(StateComponent, ChainFollowsDependencies) {
  std::vector<std::string> j;
  TWorker engine(j, "engine"), session(j, "session"), database(j, "database");
  session.dependsOn = &engine;
  database.dependsOn = &session;
  database.LinkDependent(&session);
  session.LinkDependent(&engine);

  database.Open();
  std::vector<std::string> starts;
  for (auto& s : j)
    if (s.ends_with(".start")) starts.push_back(s);
  EXPECT_EQ(starts, (std::vector<std::string>{"engine.start", "session.start", "database.start"}));
  for (TWorker* w : {&engine, &session, &database}) EXPECT_EQ(w->GetState(), mvsStarted);

  j.clear();
  engine.Close();
  EXPECT_EQ(j, (std::vector<std::string>{"database.stop", "session.stop", "engine.stop", "database.deactivate",
                                         "session.deactivate", "engine.deactivate"}));
  for (TWorker* w : {&engine, &session, &database}) EXPECT_EQ(w->GetState(), mvsInactive);
}

namespace {
bool Logged(const TmvTestLog& log, const char16_t* text) {
  for (const String& m : log.Messages())
    if (m.find(text) != String::npos) return true;
  return false;
}
}  // namespace

// A handler of transition changes that fails must not leave the component
// inside a transition: every start fails with the handler's own failure,
// closing never fails, and deleting the component does no harm. What
// closing lets pass is logged.
TEST(StateComponent, AFailingTransitionHandlerLeavesTheComponentConsistent) {
  std::vector<std::string> j;
  auto* log = new TmvTestLog(nullptr);
  auto* w = new TWorker(j, "w");
  w->SetEventLog(log);
  w->SetEventLogEnabled(true);
  auto failing = [](TPersistent*) { throw EConvertError(String(u"handler")); };
  w->OnStateTransChanged = failing;
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_THROW(w->Open(), EConvertError) << attempt;
    EXPECT_EQ(w->GetState(), mvsInactive);
    EXPECT_EQ(w->GetStateTransition(), mvstNone);
  }
  w->OnStateTransChanged = nullptr;
  w->Open();
  EXPECT_EQ(w->GetState(), mvsStarted);
  w->OnStateTransChanged = failing;
  EXPECT_NO_THROW(w->Close());
  EXPECT_EQ(w->GetState(), mvsInactive);
  EXPECT_EQ(w->GetStateTransition(), mvstNone);
  EXPECT_TRUE(Logged(*log, u"EConvertError: handler"));
  EXPECT_THROW(w->Open(), EConvertError);
  delete w;   // closes with the handler still failing
  delete log;
}

// A failing counterpart of failed work is let pass, logged; the first
// failure is the one the caller sees.
TEST(StateComponent, FailuresLetPassAreLogged) {
  std::vector<std::string> j;
  TmvTestLog log(nullptr);
  TWorker w(j, "w");
  w.SetEventLog(&log);
  w.SetEventLogEnabled(true);
  w.failStart = true;
  w.failStop = true;
  EXPECT_THROW(w.Open(), EConvertError);
  EXPECT_EQ(w.GetState(), mvsInactive);
  EXPECT_TRUE(Logged(log, u"Stopping after a failed start: EConvertError: y"));
  w.SetEventLog(nullptr);
}
