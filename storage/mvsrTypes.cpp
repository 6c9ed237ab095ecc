// Storage: shared types. See mvsrTypes.h.
#include "storage/mvsrTypes.h"

#include "storage/mvsrLog.h"

namespace {
void countNothing(TmvSessionStatsCounter, int64_t) {}
}  // namespace

std::atomic<TmvSessionStatsCountProc> mvSessionStatsCountHook{countNothing};

void mvResetSessionStatsCountHook() { mvSessionStatsCountHook.store(countNothing, std::memory_order_release); }

TmvHeldBlock::~TmvHeldBlock() {
  try {
    Drop();
  } catch (...) {
    mvStorageLogError(mvCurrentExceptionText());
  }
}
