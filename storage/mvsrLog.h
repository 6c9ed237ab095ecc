// Storage: where table storage reports the failures it cannot pass on to a
// caller (unit mvsrLog).
//
// A few failures happen where no caller can be told: a close that fails in a
// destructor, the first of two attempts to reopen a file, a block that cannot
// be read while all blocks are walked. They are written to the log that the
// server engine installs (an engine log component, priority lpError,
// category "Storage"); while none is installed they go to the standard error
// stream, so that none is lost. Safe from any thread; installing a log is not
// synchronised with messages in flight.
// Calls the foundation only.
#pragma once

#include "foundation/errors/mvllLog.h"

// Requires: the log outlives its installation (install nil before freeing it).
void mvSetStorageLog(TmvBaseLog* aLog);
TmvBaseLog* mvStorageLog();
void mvStorageLogError(const String& aMessage);
// The text of the exception being handled (call inside a catch block).
String mvCurrentExceptionText();
