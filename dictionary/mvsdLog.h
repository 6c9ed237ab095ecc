// Data dictionary: where the dictionary's engines report the failures they
// answer with a result instead of an exception.
//
// A default-value engine that cannot make its value (a GUID the platform
// cannot create) leaves its field null rather than failing the record, and
// an SQL filter or CHECK condition that cannot be evaluated answers false;
// the cause goes here. Messages are written to the log that the server engine
// installs (an engine log component, priority lpError, category
// "Dictionary"); while none is installed they go to the standard error
// stream, so that none is lost. Safe from any thread; installing a log is
// not synchronised with messages in flight.
// Layer: data dictionary; calls the foundation only.
#pragma once

#include <functional>

#include "foundation/errors/mvllLog.h"

// Requires: the log outlives its installation (install nil before freeing it).
void mvSetDictionaryLog(TmvBaseLog* aLog);
TmvBaseLog* mvDictionaryLog();
void mvDictionaryLogError(const String& aMessage);

// Runs aEvaluate and gives its answer, for the conditions (SQL filters and
// CHECK validations) whose failure to evaluate counts as "false" rather than
// as an error of the operation: an exception it raises is logged after
// aContext and answers false. An assertion failure (a broken invariant) is
// passed on.
bool mvEvaluateOrLogFalse(const std::function<bool()>& aEvaluate, const String& aContext);
