// Data dictionary: where the dictionary's engines report the failures they
// answer with a result instead of an exception.
//
// A default-value engine that cannot make its value (a GUID the platform
// cannot create) leaves its field null rather than failing the record; the
// cause goes here. Messages are written to the log that the server engine
// installs (an engine log component, priority lpError, category
// "Dictionary"); while none is installed they go to the standard error
// stream, so that none is lost. Safe from any thread; installing a log is
// not synchronised with messages in flight.
// Layer: data dictionary; calls the foundation only.
#pragma once

#include "foundation/mvllLog.h"

// Requires: the log outlives its installation (install nil before freeing it).
void mvSetDictionaryLog(TmvBaseLog* aLog);
TmvBaseLog* mvDictionaryLog();
void mvDictionaryLogError(const String& aMessage);
