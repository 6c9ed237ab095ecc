// Foundation: state components. The state machine's tables, the steps that
// run the work of each transition, and the following of dependencies.
#include "foundation/mvllStateComponent.h"

namespace {

// Next state, by current state (rows) and target (columns). Inactive reaches
// started through stopped, started returns to inactive through stopped, and
// an unsupported component never leaves its state.
constexpr TmvState kNextState[4][4] = {
    /* Inactive    */ {mvsInactive, mvsUnsupported, mvsStopped, mvsStopped},
    /* Unsupported */ {mvsUnsupported, mvsUnsupported, mvsUnsupported, mvsUnsupported},
    /* Stopped     */ {mvsInactive, mvsInactive, mvsStopped, mvsStarted},
    /* Started     */ {mvsStopped, mvsStopped, mvsStopped, mvsStarted},
};

// Transition of one step, by the state left (rows) and the state entered.
constexpr TmvStateTransition kTransition[4][4] = {
    /* Inactive    */ {mvstNone, mvstNone, mvstInitializing, mvstInvalid},
    /* Unsupported */ {mvstInvalid, mvstNone, mvstInvalid, mvstInvalid},
    /* Stopped     */ {mvstDeactivating, mvstInvalid, mvstNone, mvstStarting},
    /* Started     */ {mvstInvalid, mvstInvalid, mvstStopping, mvstNone},
};

constexpr const char16_t* kStateNames[] = {u"Inactive", u"Unsupported", u"Stopped", u"Started"};
constexpr const char16_t* kTransitionNames[] = {u"None",     u"Initializing", u"Deactivating",
                                                u"Starting", u"Stopping",     u"Invalid"};

}  // namespace

TmvState mvNextState(TmvState current, TmvState target) { return kNextState[current][target]; }

TmvStateTransition mvStateTransition(TmvState from, TmvState to) { return kTransition[from][to]; }

String mvStateName(TmvState s) { return kStateNames[s]; }

String mvStateTransitionName(TmvStateTransition t) { return kTransitionNames[t]; }
