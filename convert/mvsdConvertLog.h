// Field conversion: the error log of the conversion engines.
//
// What a copy run cannot pass on to its caller goes here: a BLOB that could
// not be deleted after a failed write or a failed record, or a key that
// could not be built for an error's text (the error itself is answered as
// usual). Messages go to the log that the server engine installs (priority
// lpError, category "Conversion"); while none is installed, to the standard
// error stream, so that none is lost. Safe from any thread; installing a
// log is not synchronised with messages in flight.
//
// Layer: field conversion; calls the foundation only.
#pragma once

#include "foundation/errors/mvllLog.h"

// Requires: the log outlives its installation (install nil before freeing it).
void mvSetConvertLog(TmvBaseLog* aLog);
TmvBaseLog* mvConvertLog();
void mvConvertLogError(const String& aMessage);
