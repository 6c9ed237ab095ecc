// Foundation: counted start-up and shutdown of a group of units.
//
// Every folder starts its units through one group (its Units.cpp): the first
// Start runs the units' start-up routines in order, the last Stop runs their
// shutdown routines in the reverse order, and the calls in between only
// count, so that layers above may each start the layers they rest on. Nothing
// is left half started: when a start-up routine fails, the units already
// started are stopped again (last first), the count stays as it was and the
// failure reaches the caller. A Stop without a matching Start does nothing.
//
// Thread safety: Start and Stop of one group may be called from any thread;
// the group's lock serialises them. A group has no work to do at static
// initialisation: declare it `constinit` over a constant table of units.
#pragma once

#include <cstddef>
#include <mutex>

// One unit of a group: its start-up and its shutdown routine (either may be
// nil). Requires: a shutdown routine does not fail; when one does, the others
// still run and the first such failure is raised at the end.
struct TmvUnitSteps {
  void (*Init)();
  void (*Fini)();
};

class TmvUnitGroup {
 public:
  template <size_t N>
  constexpr explicit TmvUnitGroup(const TmvUnitSteps (&units)[N]) : fUnits(units), fCount(N) {}
  TmvUnitGroup(const TmvUnitGroup&) = delete;
  TmvUnitGroup& operator=(const TmvUnitGroup&) = delete;

  void Start();
  void Stop();
  // Starts not yet matched by a stop.
  int Uses();

 private:
  // Runs the shutdown routines of units [0, n), the last first.
  void StopUnits(size_t n);

  const TmvUnitSteps* fUnits;
  size_t fCount;
  std::mutex fLock;
  int fUses = 0;
};
