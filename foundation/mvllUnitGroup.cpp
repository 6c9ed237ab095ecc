// Foundation: counted start-up and shutdown of a group of units (see
// mvllUnitGroup.h).
#include "foundation/mvllUnitGroup.h"

#include <exception>

void TmvUnitGroup::Start() {
  std::lock_guard<std::mutex> guard(fLock);
  if (fUses > 0) {
    ++fUses;
    return;
  }
  size_t started = 0;
  try {
    for (; started < fCount; ++started)
      if (fUnits[started].Init) fUnits[started].Init();
  } catch (...) {
    // A shutdown routine that fails here breaks its own promise; its failure
    // then takes the place of the start-up failure.
    StopUnits(started);
    throw;
  }
  fUses = 1;
}

void TmvUnitGroup::Stop() {
  std::lock_guard<std::mutex> guard(fLock);
  if (fUses == 0 || --fUses > 0) return;
  StopUnits(fCount);
}

int TmvUnitGroup::Uses() {
  std::lock_guard<std::mutex> guard(fLock);
  return fUses;
}

void TmvUnitGroup::StopUnits(size_t n) {
  std::exception_ptr first;
  while (n > 0) {
    const TmvUnitSteps& unit = fUnits[--n];
    if (!unit.Fini) continue;
    try {
      unit.Fini();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}
