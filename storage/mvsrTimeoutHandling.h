// Storage: per-thread operation deadlines, cancellation, keep-alive and
// priority reduction (unit mvsrTimeoutHandling).
//
// Before a public operation starts, the calling thread's deadline is set from
// the timeout of the object involved; long loops anywhere in the engine call
// mvCheckOperationTimeout, which raises 15461 when the deadline is less than
// 10 ms away or when another thread cancelled the operation, runs the
// thread's keep-alive hook about once a second, and applies a pending
// priority reduction. Lock waits ask mvGetOperationRemainingTime how long
// they may still wait (0: do not wait).
//
// All state is thread-local and zero in a new thread (deadline 0: never set,
// which fails the first check; the engine's own threads start with no
// deadline). Only the cancel flag is written by another thread, through the
// address mvGetOperationCancelFlag gives. The unit's start fills the hook
// variables of foundation/sync/mvllTimeoutHooks.h; its stop restores them.
// Calls the foundation and the platform only.
#pragma once

#include <cstdint>

#include "foundation/sync/mvllTimeoutHooks.h"

// The deadline value that means "no deadline".
inline constexpr uint64_t mvNoDeadline = 0x7FFFFFFFFFFFFFFFull;
// The saved-priority value that means "none saved".
inline constexpr int32_t mvNoSavedPriority = INT32_MIN;

// When forced or outside every timeout scope: no deadline for 0 and
// 4294967295, else now + aTimeout ms.
void mvSetOperationDeadline(uint32_t aTimeout, bool aForce);
void mvBeginTimeoutScope();
// Below 0 is an assertion failure.
void mvEndTimeoutScope();
uint64_t mvGetOperationDeadline();
TmvCancelFlag* mvGetOperationCancelFlag();
// Raises EmvServerException 15461 "Processing cancelled" after a
// cancellation, or 15461 with the code's own text when the deadline is less
// than 10 ms away.
void mvCheckOperationTimeout();
// 1 after a cancellation; 0 without deadline, when the deadline passed or
// is 1 ms away; otherwise the milliseconds left (at most 2147483647).
uint32_t mvGetOperationRemainingTime();
// Opens a priority-reduction scope; only the outermost arms (after aTimeout
// ms; 0 and 4294967295 arm nothing) and restores.
void mvBeginPriorityReduction(uint32_t aTimeout);
void mvEndPriorityReduction();

// The calling thread's reduction state (tests and diagnostics).
struct TmvPriorityReductionState {
  int32_t Depth;
  bool Armed;
  uint64_t Moment;
  int32_t SavedPriority;
};
TmvPriorityReductionState mvGetPriorityReductionState();

// The tick source, GetTickCount64 unless a test puts a clock of its own.
using TmvTickSource = uint64_t (*)();
void mvSetTimeoutTickSource(TmvTickSource aSource);

// Unit start and stop (reference-counted): fill and restore the hooks.
void mvsrTimeoutHandlingInit();
void mvsrTimeoutHandlingFini();
