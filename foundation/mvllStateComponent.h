// Foundation: state components, the engine's components with a life cycle.
//
// A state component is inactive, unsupported, stopped or started, and moves
// between these states only through table-driven steps, each running one
// piece of work (initialise, deactivate, start, stop). Linked state
// components follow each other: starting one first starts what it depends
// on, stopping one first stops what depends on it.
#pragma once

#include <cstdint>

#include "platform/System.h"

enum TmvState : uint8_t { mvsInactive, mvsUnsupported, mvsStopped, mvsStarted };

enum TmvStateTransition : uint8_t {
  mvstNone,
  mvstInitializing,
  mvstDeactivating,
  mvstStarting,
  mvstStopping,
  mvstInvalid,
};

// The state to move to next on the way from `current` to `target`; equal to
// `current` when there is no way forward.
TmvState mvNextState(TmvState current, TmvState target);
// The transition of one step that leaves `from` and enters `to`.
TmvStateTransition mvStateTransition(TmvState from, TmvState to);
// Initialising and starting go up; every other transition goes down.
inline bool mvTransitionGoesUp(TmvStateTransition t) { return t == mvstInitializing || t == mvstStarting; }

// Display names ("Inactive", "Initializing", ...).
String mvStateName(TmvState s);
String mvStateTransitionName(TmvStateTransition t);
