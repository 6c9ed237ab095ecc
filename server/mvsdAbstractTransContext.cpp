// Server engine: the transaction interface of the abstract engine
// interface. See mvsdAbstractTransContext.h.
#include "server/mvsdAbstractTransContext.h"

#include "foundation/errors/mvllExceptionData.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "server/mvsdSessionLists.h"

constinit const ClassRef TmvBaseTransContext::StaticClass{u"TmvBaseTransContext", &TmvAbstractTimeoutObject::StaticClass};
constinit const ClassRef TmvAbstractTransContext::StaticClass{u"TmvAbstractTransContext",
                                                              &TmvBaseTransContext::StaticClass};

TmvAbstractTransContext::TmvAbstractTransContext(TmvAbstractSession* aSession, uint32_t aTimeout)
    : TmvBaseTransContext(aSession, aTimeout) {
  MV_ASSERT(aSession != nullptr);
  TmvPadlockGuard guard(&aSession->asTransContextsPadlock);
  aSession->asTransContextList().Append(this);
}

TmvAbstractTransContext::~TmvAbstractTransContext() {
  TmvAbstractSession* session = Session();
  {
    TmvPadlockGuard guard(&session->asTransContextsPadlock);
    session->asTransContextList().Remove(this);
  }
  // The databases still using the context each get one of their own.
  for (;;) {
    TmvAbstractDatabase* database;
    {
      TmvPadlockGuard guard(&atcDatabasesPadlock);
      database = atcDatabasesHead;
    }
    if (!database) break;
    database->adDetachFromContext();
    if (database->adOwnedTransContext == this) database->adOwnedTransContext = nullptr;
    TmvAbstractTransContext* fresh = nullptr;
    const uint32_t result = session->TransContextCreate(fresh, database->GetTimeout());
    if (result != 0 || !fresh) {
      mvServerLogError(u"A database lost its transaction context and could not get a new one: error " +
                       IntToStr(result));
      continue;
    }
    database->adOwnedTransContext = fresh;
    database->adAttachTo(fresh);
  }
}

void TmvAbstractTransContext::AfterConstruction() {
  TmvBaseTransContext::AfterConstruction();
  mvEngineCountIn(this, &TmvBaseServerEngine::bseTransContextCount, atcLockedIncDone);
}

// The roll-back of what is still open is PrepareDestroy's (through Failed),
// which the destruction runs.
void TmvAbstractTransContext::BeforeDestruction() {
  mvEngineCountOut(this, &TmvBaseServerEngine::bseTransContextCount, atcLockedIncDone);
  TmvBaseTransContext::BeforeDestruction();
}

void TmvAbstractTransContext::Failed() {
  atcFailed = true;
  atcForceRollback();
}

uint32_t TmvAbstractTransContext::SetCacheTransContext(TmvAbstractTransContext*) {
  return NotSupported(u"SetCacheTransContext");
}

void TmvAbstractTransContext::PrepareDestroy() {
  try {
    Failed();
  } catch (...) {
    asoConvertException();
  }
  TmvBaseTransContext::PrepareDestroy();
}

int32_t TmvAbstractTransContext::CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter,
                                                   const TGUID& aInterfaceID, void** aInterface) {
  String head, tail;
  SplitInstancePath(aName, head, tail);
  if (SameClassName(head, u"<TransContext>")) return CreateInstanceFor(tail, aClassID, aOuter, aInterfaceID, aInterface);
  return TmvBaseTransContext::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

int32_t TmvAbstractTransContext::DatabaseCount() {
  TmvPadlockGuard guard(&atcDatabasesPadlock);
  int32_t count = 0;
  atcDatabaseList().ForEach([&](TmvAbstractDatabase*) { ++count; });
  return count;
}

void TmvAbstractTransContext::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvBaseTransContext::WriteObjectInfo(aContainer);
  aContainer->AddObject(u"Session", Session(), false);
  aContainer->AddInteger(u"AttachedDatabases", DatabaseCount());
}

void TmvAbstractTransContext::asoWriteDetails(ImvExceptionDataContainer* aContainer) {
  ImvExceptionDataContainer* list = aContainer->AddContainer(u"Databases");
  int32_t i = 0;
  TmvPadlockGuard guard(&atcDatabasesPadlock);
  atcDatabaseList().ForEach([&](TmvAbstractDatabase* d) { list->AddObject(Format(u"[%d]", {i++}), d, false); });
}
