// Foundation: the hook variables through which the engine's upper layers
// reach the per-thread operation deadline and cancel flag.
//
// Storage's deadline unit (mvsrTimeoutHandling) fills them at its start-up
// and restores the defaults at shutdown; the server's abstract engine and the
// foundation's threads call them without knowing that unit. The defaults do
// nothing (the cancel-flag hook answers nil). Reading and setting them is
// safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>

// The address of the calling thread's cancel flag; another thread cancels
// the operation by storing true there.
using TmvCancelFlag = std::atomic<bool>;

using TmvBeginTimeoutScopeProc = void (*)();
using TmvEndTimeoutScopeProc = void (*)();
using TmvGetCancelFlagProc = TmvCancelFlag* (*)();
// Timeout in ms (0 and 4294967295: no deadline) and the force flag.
using TmvSetOperationDeadlineProc = void (*)(uint32_t aTimeout, bool aForce);

extern std::atomic<TmvBeginTimeoutScopeProc> mvBeginTimeoutScopeHook;
extern std::atomic<TmvEndTimeoutScopeProc> mvEndTimeoutScopeHook;
extern std::atomic<TmvGetCancelFlagProc> mvGetCancelFlagHook;
extern std::atomic<TmvSetOperationDeadlineProc> mvSetOperationDeadlineHook;

// Puts the do-nothing defaults back into all four.
void mvResetTimeoutHooks();

// Callers' shorthands.
inline void mvHookBeginTimeoutScope() { mvBeginTimeoutScopeHook.load(std::memory_order_acquire)(); }
inline void mvHookEndTimeoutScope() { mvEndTimeoutScopeHook.load(std::memory_order_acquire)(); }
inline TmvCancelFlag* mvHookGetCancelFlag() { return mvGetCancelFlagHook.load(std::memory_order_acquire)(); }
inline void mvHookSetOperationDeadline(uint32_t aTimeout, bool aForce) {
  mvSetOperationDeadlineHook.load(std::memory_order_acquire)(aTimeout, aForce);
}
