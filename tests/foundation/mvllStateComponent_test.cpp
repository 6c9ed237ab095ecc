// Tests of state components: the state machine's tables, the steps and
// their failures, and the following of dependencies along a chain.
#include "foundation/mvllStateComponent.h"

#include <gtest/gtest.h>

#include <string>

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
