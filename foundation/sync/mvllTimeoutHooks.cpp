// Foundation: the deadline hook variables and their do-nothing defaults.
#include "foundation/sync/mvllTimeoutHooks.h"

namespace {
void noScope() {}
TmvCancelFlag* noCancelFlag() { return nullptr; }
void noDeadline(uint32_t, bool) {}
}  // namespace

std::atomic<TmvBeginTimeoutScopeProc> mvBeginTimeoutScopeHook{noScope};
std::atomic<TmvEndTimeoutScopeProc> mvEndTimeoutScopeHook{noScope};
std::atomic<TmvGetCancelFlagProc> mvGetCancelFlagHook{noCancelFlag};
std::atomic<TmvSetOperationDeadlineProc> mvSetOperationDeadlineHook{noDeadline};

void mvResetTimeoutHooks() {
  mvBeginTimeoutScopeHook.store(noScope, std::memory_order_release);
  mvEndTimeoutScopeHook.store(noScope, std::memory_order_release);
  mvGetCancelFlagHook.store(noCancelFlag, std::memory_order_release);
  mvSetOperationDeadlineHook.store(noDeadline, std::memory_order_release);
}
