// Server engine: the owner lists whose children are declared after their
// owner (a session's databases and transaction contexts, a context's
// databases) and the engine's session list, as views for the units that
// link into them. Internal to the server's abstract layer.
#pragma once

#include "server/mvsdAbstractDatabase.h"
#include "server/mvsdAbstractSession.h"
#include "server/mvsdAbstractTransContext.h"
#include "server/mvsdBaseServerEngine.h"

inline auto TmvAbstractSession::asDatabaseList() {
  return TmvOwnerListView<TmvAbstractDatabase, &TmvAbstractDatabase::adSessionPrev,
                          &TmvAbstractDatabase::adSessionNext>{asDatabasesHead, asDatabasesTail};
}

inline auto TmvAbstractSession::asTransContextList() {
  return TmvOwnerListView<TmvAbstractTransContext, &TmvAbstractTransContext::atcSessionPrev,
                          &TmvAbstractTransContext::atcSessionNext>{asTransContextsHead, asTransContextsTail};
}

inline auto TmvAbstractSession::asEngineList() {
  return TmvOwnerListView<TmvAbstractSession, &TmvAbstractSession::asServerEnginePrev,
                          &TmvAbstractSession::asServerEngineNext>{asServerEngine->bseSessionsHead,
                                                                   asServerEngine->bseSessionsTail};
}

inline auto TmvAbstractTransContext::atcDatabaseList() {
  return TmvOwnerListView<TmvAbstractDatabase, &TmvAbstractDatabase::adTransContextPrev,
                          &TmvAbstractDatabase::adTransContextNext>{atcDatabasesHead, atcDatabasesTail};
}
