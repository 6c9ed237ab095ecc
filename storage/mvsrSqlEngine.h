// Storage: the interface of the SQL engine that the server engine holds as
// a plug-in (unit mvsrSqlEngine).
//
// The server engine runs statements through an SQL engine component it is
// linked to; the SQL front end implements this interface. The server calls
// PrepareShutdown while it stops, so that the SQL engine lets go of its
// statements before the sessions are freed, and allocates every statement
// of a database through StatementAlloc.
//
// A component of the engine: used under the state components' rules (the
// owning thread starts and stops it; statements are used under their
// session's lock).
// Calls the foundation's state components only.
#pragma once

#include <cstdint>

#include "foundation/mvllStateComponent.h"

class TmvAbstractDatabase;   // the server engine's database
class TmvAbstractStatement;  // the server engine's statement

class TmvBaseSqlEngine : public TmvStateComponent {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  using TmvStateComponent::TmvStateComponent;

  // The server engine stops: release every statement.
  virtual void PrepareShutdown() = 0;
  // A new statement of the SQL engine for aDatabase, in aStatement, owned by
  // the caller; a statement half made is freed before an error passes on.
  virtual void StatementAlloc(TmvAbstractDatabase* aDatabase, TmvAbstractStatement*& aStatement,
                              int32_t aTimeout) = 0;
};
