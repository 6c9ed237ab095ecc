// Storage: operation deadlines and cancellation. See mvsrTimeoutHandling.h.
#include "storage/mvsrTimeoutHandling.h"

#include "foundation/errors/mvllServerException.h"
#include "foundation/mvllUnitGroup.h"
#include "foundation/sync/mvllSync.h"
#include "platform/SyncObjs.h"
#include "platform/Threads.h"

namespace {

struct TimeoutState {
  uint64_t deadline = 0;
  int32_t scopeDepth = 0;
  uint64_t lastKeepAlive = 0;
  TmvCancelFlag cancel{false};
  int32_t reductionDepth = 0;
  bool reductionArmed = false;
  uint64_t reductionMoment = 0;
  int32_t savedPriority = 0;  // 0 in a new thread, as all the state
  int32_t reducedPriority = 0;
};
thread_local TimeoutState tState;

std::atomic<TmvTickSource> gTickSource{GetTickCount64};
uint64_t now() { return gTickSource.load(std::memory_order_relaxed)(); }

bool meansNoLimit(uint32_t aTimeout) { return aTimeout == 0 || aTimeout == 0xFFFFFFFFu; }

// 15461 with the given text, or with the code's own text.
[[noreturn]] void raiseTimeout(const String& aText) {
  if (aText.empty()) throw EmvServerException(15461);
  throw EmvServerException(15461, aText);
}

void applyReductionIfDue(TimeoutState& s, uint64_t t) {
  if (s.reductionArmed && s.reductionMoment < t) {
    s.reductionArmed = false;
    s.savedPriority = GetCurrentThreadPriority();
    SetCurrentThreadPriority(s.reducedPriority);
  }
}

}  // namespace

void mvSetOperationDeadline(uint32_t aTimeout, bool aForce) {
  TimeoutState& s = tState;
  if (!aForce && s.scopeDepth >= 1) return;
  s.deadline = meansNoLimit(aTimeout) ? mvNoDeadline : now() + aTimeout;
}

void mvBeginTimeoutScope() { ++tState.scopeDepth; }

void mvEndTimeoutScope() {
  TimeoutState& s = tState;
  // Checked first: an unbalanced end must not break the thread's later scopes.
  MV_ASSERT(s.scopeDepth > 0);
  --s.scopeDepth;
}

uint64_t mvGetOperationDeadline() { return tState.deadline; }

TmvCancelFlag* mvGetOperationCancelFlag() { return &tState.cancel; }

void mvCheckOperationTimeout() {
  TimeoutState& s = tState;
  uint64_t t = now();
  if (s.lastKeepAlive + 1000 < t) {
    mvCallThreadCallback();
    s.lastKeepAlive = now();
  } else if (s.lastKeepAlive > t) {
    s.lastKeepAlive = t;
  }
  if (s.cancel.load(std::memory_order_acquire)) raiseTimeout(u"Processing cancelled");
  if (s.deadline < t + 10) raiseTimeout(String());
  applyReductionIfDue(s, t);
}

uint32_t mvGetOperationRemainingTime() {
  TimeoutState& s = tState;
  if (s.cancel.load(std::memory_order_acquire)) return 1;
  if (s.deadline == mvNoDeadline || s.deadline == 0) return 0;
  uint64_t t = now();
  uint64_t r = s.deadline >= t ? s.deadline - t : 1;
  if (r > 1) applyReductionIfDue(s, t);
  if (r <= 1) return 0;
  return r > 2147483647u ? 2147483647u : static_cast<uint32_t>(r);
}

void mvBeginPriorityReduction(uint32_t aTimeout) {
  TimeoutState& s = tState;
  if (++s.reductionDepth != 1) return;
  s.savedPriority = mvNoSavedPriority;
  if (meansNoLimit(aTimeout)) {
    s.reductionArmed = false;
    s.reductionMoment = 0;
    s.reducedPriority = 0;
  } else {
    s.reductionArmed = true;
    s.reductionMoment = now() + aTimeout;
  }
}

void mvEndPriorityReduction() {
  TimeoutState& s = tState;
  if (--s.reductionDepth > 0) return;
  if (!s.reductionArmed && s.savedPriority != mvNoSavedPriority) SetCurrentThreadPriority(s.savedPriority);
  s.reductionDepth = 0;
  s.reductionArmed = false;
  s.reductionMoment = 0;
  s.savedPriority = mvNoSavedPriority;
  s.reducedPriority = 0;
}

TmvPriorityReductionState mvGetPriorityReductionState() {
  const TimeoutState& s = tState;
  return {s.reductionDepth, s.reductionArmed, s.reductionMoment, s.savedPriority};
}

void mvSetTimeoutTickSource(TmvTickSource aSource) {
  gTickSource.store(aSource ? aSource : GetTickCount64, std::memory_order_relaxed);
}

namespace {

void installHooks() {
  mvBeginTimeoutScopeHook.store(mvBeginTimeoutScope, std::memory_order_release);
  mvEndTimeoutScopeHook.store(mvEndTimeoutScope, std::memory_order_release);
  mvGetCancelFlagHook.store(mvGetOperationCancelFlag, std::memory_order_release);
  mvSetOperationDeadlineHook.store(mvSetOperationDeadline, std::memory_order_release);
}

constexpr TmvUnitSteps kTimeoutUnit[] = {{installHooks, mvResetTimeoutHooks}};
constinit TmvUnitGroup gTimeoutUnit(kTimeoutUnit);

}  // namespace

void mvsrTimeoutHandlingInit() { gTimeoutUnit.Start(); }

void mvsrTimeoutHandlingFini() { gTimeoutUnit.Stop(); }
