// Server engine: the abstract engine object model and interface, the
// header through which everything above the engine reaches it.
//
// The layers above (the dataset components and the SQL layer) see the
// engine only through these abstract classes: the engine component
// (TmvBaseServerEngine) opens sessions (TmvAbstractSession); a session opens
// databases (TmvAbstractDatabase) and transaction contexts
// (TmvAbstractTransContext); a database opens cursors and allocates
// statements (TmvAbstractStatement). Every operation is a virtual call
// returning 0 or an error code. The abstract cursor (TmvAbstractCursor,
// mvsdAbstractCursor.h) hands records over many at a time in the
// record-batch stream (mvsdBatchStreamAccess.h). The in-process
// implementation is mvsrServerEngine.h.
#pragma once

#include "server/mvsdAbstractCursor.h"
#include "server/mvsdAbstractDatabase.h"
#include "server/mvsdAbstractSession.h"
#include "server/mvsdAbstractStatement.h"
#include "server/mvsdAbstractTransContext.h"
#include "server/mvsdBaseServerEngine.h"
#include "server/mvsdBatchStreamAccess.h"
#include "server/mvsdRequestClose.h"
#include "server/mvsdServerNames.h"
#include "server/mvsdServerObjects.h"
#include "server/mvsdSimpleLock.h"
