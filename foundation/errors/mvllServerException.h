// Foundation: the server's exception class, `EmvServerException`.
//
// Raised by table storage (operation deadlines, cancellation, the flush of a
// server that hit a fatal error) as well as by the server engine, so it
// lives below both; the in-process server's own exception class derives from
// it. Like every engine exception it fixes no code of its own.
#pragma once

#include "foundation/errors/mvllExceptions.h"

MV_DECLARE_EXCEPTION(EmvServerException, EmvBaseException)
