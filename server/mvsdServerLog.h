// Server engine: where the server reports the failures it cannot pass on to
// a caller (unit mvsdServerLog).
//
// A few failures happen where nobody can be answered: a session's clean-up
// that fails on whichever thread runs it, an extender that fails while its
// object is torn down, a table that cannot be freed by the cleanup timer.
// They go to the log that the host installs (category "Server"); while none
// is installed they go to the standard error stream, so that none is lost.
// Safe from any thread. Calls the foundation only.
#pragma once

#include "foundation/errors/mvllLog.h"

// Requires: the log outlives its installation (install nil before freeing it).
void mvSetServerLog(TmvBaseLog* aLog);
TmvBaseLog* mvServerLog();
void mvServerLogError(const String& aMessage);
// Logs the exception being handled (call inside a catch block), saying
// where it happened.
void mvServerLogCurrentException(const String& aWhere);
