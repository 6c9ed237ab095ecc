// Tests of the counted start-up and shutdown of a group of units.
#include "foundation/mvllUnitGroup.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

std::string gJournal;
bool gFailB = false;
bool gFailStopC = false;

void InitA() { gJournal += "+a"; }
void FiniA() { gJournal += "-a"; }
void InitB() {
  if (gFailB) throw std::runtime_error("b");
  gJournal += "+b";
}
void FiniB() { gJournal += "-b"; }
void FiniC() {
  gJournal += "-c";
  if (gFailStopC) throw std::runtime_error("c");
}

constexpr TmvUnitSteps kUnits[] = {{InitA, FiniA}, {InitB, FiniB}, {nullptr, FiniC}};

}  // namespace

TEST(UnitGroup, FirstStartAndLastStopActInOrder) {
  TmvUnitGroup group(kUnits);
  gJournal.clear();
  group.Start();
  group.Start();
  EXPECT_EQ(gJournal, "+a+b");
  group.Stop();
  EXPECT_EQ(gJournal, "+a+b");
  group.Stop();
  EXPECT_EQ(gJournal, "+a+b-c-b-a");
  group.Stop();  // unmatched: nothing, and no debt for the next start
  group.Start();
  EXPECT_EQ(group.Uses(), 1);
  group.Stop();
  EXPECT_EQ(group.Uses(), 0);
}

TEST(UnitGroup, AFailedStartStopsWhatItStartedAndCanBeRetried) {
  TmvUnitGroup group(kUnits);
  gJournal.clear();
  gFailB = true;
  EXPECT_THROW(group.Start(), std::runtime_error);
  gFailB = false;
  EXPECT_EQ(gJournal, "+a-a");
  EXPECT_EQ(group.Uses(), 0);
  group.Start();
  EXPECT_EQ(group.Uses(), 1);
  // A failing shutdown routine does not keep the others from running.
  gFailStopC = true;
  gJournal.clear();
  EXPECT_THROW(group.Stop(), std::runtime_error);
  gFailStopC = false;
  EXPECT_EQ(gJournal, "-c-b-a");
  EXPECT_EQ(group.Uses(), 0);
}
