// Server engine: a prepared SQL statement of the abstract engine interface.
// See mvsdAbstractStatement.h.
#include "server/mvsdAbstractStatement.h"

#include "foundation/errors/mvllExceptionData.h"
#include "server/mvsdAbstractDatabase.h"
#include "server/mvsdBaseServerEngine.h"
#include "server/mvsdPadlockGuard.h"

constinit const ClassRef TmvAbstractStatement::StaticClass{u"TmvAbstractStatement",
                                                           &TmvAbstractTimeoutObject::StaticClass};

TmvAbstractStatement::TmvAbstractStatement(TmvAbstractDatabase* aDatabase, uint32_t aTimeout)
    : TmvAbstractTimeoutObject(aDatabase, aTimeout), asDatabase(aDatabase) {
  MV_ASSERT(aDatabase != nullptr);
  TmvPadlockGuard guard(&asDatabase->adStatementsPadlock);
  asDatabase->adStatements.Append(this);
}

TmvAbstractStatement::~TmvAbstractStatement() {
  TmvPadlockGuard guard(&asDatabase->adStatementsPadlock);
  asDatabase->adStatements.Remove(this);
}

void TmvAbstractStatement::AfterConstruction() {
  TmvAbstractTimeoutObject::AfterConstruction();
  mvEngineCountIn(this, &TmvBaseServerEngine::bseStatementCount, asLockedIncDone);
}

void TmvAbstractStatement::BeforeDestruction() {
  mvEngineCountOut(this, &TmvBaseServerEngine::bseStatementCount, asLockedIncDone);
  TmvAbstractTimeoutObject::BeforeDestruction();
}

int32_t TmvAbstractStatement::CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter,
                                                const TGUID& aInterfaceID, void** aInterface) {
  String head, tail;
  SplitInstancePath(aName, head, tail);
  if (SameClassName(head, u"<Statement>")) return CreateInstanceFor(tail, aClassID, aOuter, aInterfaceID, aInterface);
  if (SameClassName(head, u"<Database>"))
    return asDatabase->CreateInstanceFor(tail, aClassID, aOuter, aInterfaceID, aInterface);
  return TmvAbstractTimeoutObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TmvAbstractStatement::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvAbstractTimeoutObject::WriteObjectInfo(aContainer);
  aContainer->AddObject(u"Database", asDatabase, false);
}
