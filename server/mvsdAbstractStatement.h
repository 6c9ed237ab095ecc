// Server engine: a prepared SQL statement of the abstract engine interface
// (unit mvsdAbstractStatement).
//
// A statement belongs to one database and lives in its statement list; the
// SQL engine's statement (subsystem 8) derives from the in-process statement
// of mvsrServerStatement.h, which derives from this. Every operation returns
// 0 or an error code and writes its error or result stream.
// Threads: used under its session's lock. Calls the server objects.
#pragma once

#include <vector>

#include "foundation/types/mvsdTypes.h"
#include "server/mvsdServerObjects.h"

class TStream;
class TmvAbstractCursor;
class TmvAbstractDatabase;

// The parameters of a statement, in their order.
using TmvSqlParamList = std::vector<TmvSqlParamDesc>;

class TmvAbstractStatement : public TmvAbstractTimeoutObject {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // Links itself at the tail of the database's statement list; the
  // database is its parent, its lock the session's.
  TmvAbstractStatement(TmvAbstractDatabase* aDatabase, uint32_t aTimeout);
  ~TmvAbstractStatement() override;

  // The extendable steps, then the engine's statement counter.
  void AfterConstruction() override;
  void BeforeDestruction() override;

  virtual uint32_t Prepare(TmvStatementType aStatementType, const String& aQueryText, TStream* aStream) = 0;
  // A result set comes back as a cursor opened with aOpenMode (nil without one).
  virtual uint32_t Exec(TmvAbstractCursor*& aCursor, TmvOpenMode aOpenMode, TStream* aStream) = 0;
  virtual uint32_t SetParams(TmvSqlParamList* aParams, TStream* aStream) = 0;
  virtual uint32_t GetParams(TmvSqlParamList* aParams, TStream* aStream) = 0;

  // "<Statement>" is the statement, "<Database>" its database.
  int32_t CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                            void** aInterface) override;
  void WriteObjectInfo(ImvExceptionDataContainer* aContainer) override;

  TmvAbstractDatabase* Database() const { return asDatabase; }
  TmvAbstractStatement* NextOfDatabase() const { return asDatabaseNext; }
  // True while the statement runs inside the database's StatementExecDirect.
  bool asExecDirect = false;

 private:
  friend class TmvAbstractDatabase;
  TmvAbstractDatabase* asDatabase;
  TmvAbstractStatement* asDatabasePrev = nullptr;
  TmvAbstractStatement* asDatabaseNext = nullptr;
  bool asLockedIncDone = false;
};
