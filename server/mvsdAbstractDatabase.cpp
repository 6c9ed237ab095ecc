// Server engine: a session's database of the abstract engine interface. See
// mvsdAbstractDatabase.h.
#include "server/mvsdAbstractDatabase.h"

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllExceptions.h"
#include "server/mvsdAbstractCursor.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "server/mvsdSessionLists.h"

constinit const ClassRef TmvAbstractDatabase::StaticClass{u"TmvAbstractDatabase", &TmvBaseTransContext::StaticClass};
constinit const ClassRef TmvSqlAbstractDatabase::StaticClass{u"TmvSqlAbstractDatabase",
                                                             &TmvAbstractDatabase::StaticClass};

TmvAbstractDatabase::TmvAbstractDatabase(TmvAbstractSession* aSession, TmvAbstractTransContext* aTransContext,
                                         uint32_t aTimeout)
    : TmvBaseTransContext(aSession, aTimeout) {
  MV_ASSERT(aSession != nullptr);
  if (!aTransContext) {
    mvCheckErrorCode(aSession->TransContextCreate(adOwnedTransContext, aTimeout));
    aTransContext = adOwnedTransContext;
  }
  {
    TmvPadlockGuard guard(&aSession->asDatabasesPadlock);
    aSession->asDatabaseList().Append(this);
  }
  adAttachTo(aTransContext);
}

TmvAbstractDatabase::~TmvAbstractDatabase() {
  adDetachFromContext();
  {
    TmvPadlockGuard guard(&Session()->asDatabasesPadlock);
    Session()->asDatabaseList().Remove(this);
  }
  {
    TmvPadlockGuard guard(&adStatementsPadlock);
    while (TmvAbstractStatement* first = adStatements.Head) {
      TmvAbstractServerObject::Free(first);
      if (adStatements.Head == first) {
        mvServerLogError(u"Freeing a database: a statement being destroyed elsewhere was left to its destroyer");
        break;
      }
    }
  }
  {
    TmvPadlockGuard guard(&adCursorsPadlock);
    while (TmvAbstractCursor* first = adCursorsHead) {
      TmvAbstractServerObject::Free(first);
      if (adCursorsHead == first) {
        mvServerLogError(u"Freeing a database: a cursor being destroyed elsewhere was left to its destroyer");
        break;
      }
    }
  }
  if (TmvAbstractTransContext* owned = adOwnedTransContext) {
    adOwnedTransContext = nullptr;
    TmvAbstractServerObject::Free(owned);
  }
}

void TmvAbstractDatabase::adAttachTo(TmvAbstractTransContext* aContext) {
  adTransContext = aContext;
  TmvPadlockGuard guard(&aContext->atcDatabasesPadlock);
  aContext->atcDatabaseList().Append(this);
}

void TmvAbstractDatabase::adDetachFromContext() {
  TmvAbstractTransContext* context = adTransContext;
  if (!context) return;
  TmvPadlockGuard guard(&context->atcDatabasesPadlock);
  context->atcDatabaseList().Remove(this);
  adTransContext = nullptr;
}

void TmvAbstractDatabase::AfterConstruction() {
  TmvBaseTransContext::AfterConstruction();
  mvEngineCountIn(this, &TmvBaseServerEngine::bseDatabaseCount, adLockedIncDone);
}

void TmvAbstractDatabase::BeforeDestruction() {
  mvEngineCountOut(this, &TmvBaseServerEngine::bseDatabaseCount, adLockedIncDone);
  TmvBaseTransContext::BeforeDestruction();
}

namespace {

// 10257 for a database that has lost its context.
uint32_t NoContext() { return EmvBaseException::mvSetMessage(MVERR_NOACTIVETRAN, String()); }

}  // namespace

uint32_t TmvAbstractDatabase::TransactionStart(bool aFailSafe, bool aSnapShot) {
  return adTransContext ? adTransContext->TransactionStart(aFailSafe, aSnapShot) : NoContext();
}

uint32_t TmvAbstractDatabase::TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                                   const std::vector<TmvAbstractCursor*>& aCursors) {
  return adTransContext ? adTransContext->TransactionStartWith(aFailSafe, aSnapShot, aCursors) : NoContext();
}

uint32_t TmvAbstractDatabase::TransactionCommit() {
  return adTransContext ? adTransContext->TransactionCommit() : NoContext();
}

uint32_t TmvAbstractDatabase::TransactionRollback() {
  return adTransContext ? adTransContext->TransactionRollback() : NoContext();
}

uint32_t TmvAbstractDatabase::TransactionCorrupted() {
  return adTransContext ? adTransContext->TransactionCorrupted() : NoContext();
}

uint32_t TmvAbstractDatabase::TransactionGetLevel(int32_t& aTransLevel) {
  return adTransContext ? adTransContext->TransactionGetLevel(aTransLevel) : NoContext();
}

uint32_t TmvAbstractDatabase::TransactionGetInfo(TmvTransactionInfo& aTransInfo, bool aAllowCached) {
  aTransInfo = TmvTransactionInfo{};
  return adTransContext ? adTransContext->TransactionGetInfo(aTransInfo, aAllowCached) : NoContext();
}

bool TmvAbstractDatabase::GetExplicitAllowSystem() {
  String value;
  return esoOptionGet(u"ALLOWSYSTEMTABLEACCESS", value) == 0 && value == u"1";
}

uint32_t TmvAbstractDatabase::SetCacheDatabase(TmvAbstractDatabase*) { return NotSupported(u"SetCacheDatabase"); }

uint32_t TmvAbstractDatabase::RegisterCursorSource(IInterface*, IInterface*& aControl) {
  aControl = nullptr;
  return NotSupported(u"RegisterCursorSource");
}

uint32_t TmvAbstractDatabase::CursorCacheOpen(TmvAbstractCursor*& aCursor, const String&, const String&, TmvOpenMode,
                                              TmvShareMode, uint32_t, const String&, int32_t, bool, uint32_t,
                                              uint32_t) {
  aCursor = nullptr;
  return NotSupported(u"CursorCacheOpen");
}

namespace {

// Opens a cursor on the table for one call and frees it again.
template <typename F>
uint32_t WithTableCursor(TmvAbstractDatabase* aDatabase, const String& aTableName, const String& aPassword,
                         TmvOpenMode aOpenMode, F&& aWork) {
  TmvAbstractCursor* cursor = nullptr;
  uint32_t result = aDatabase->CursorOpen(cursor, aTableName, aPassword, aOpenMode, smShared, aDatabase->GetTimeout(),
                                          String(), -1, aDatabase->GetExplicitAllowSystem(), 0, 500, nullptr);
  if (result == 0 && cursor) {
    try {
      result = aWork(cursor);
    } catch (...) {
      TmvAbstractServerObject::Free(cursor);
      throw;
    }
  }
  TmvAbstractServerObject::Free(cursor);
  return result;
}

}  // namespace

uint32_t TmvAbstractDatabase::TableStreamRead(const String& aTableName, const String& aPassword,
                                              const String& aStreamName, TStream* aStream) {
  return atoPublicCall([&] {
    return WithTableCursor(this, aTableName, aPassword, omReadOnly,
                           [&](TmvAbstractCursor* c) { return c->TableStreamRead(aStreamName, aStream); });
  });
}

uint32_t TmvAbstractDatabase::TableStreamWrite(const String& aTableName, const String& aPassword,
                                               const String& aStreamName, TStream* aStream) {
  return atoPublicCall([&] {
    return WithTableCursor(this, aTableName, aPassword, omReadWrite,
                           [&](TmvAbstractCursor* c) { return c->TableStreamWrite(aStreamName, aStream); });
  });
}

void TmvAbstractDatabase::SetTimeout(uint32_t aValue) {
  TmvBaseTransContext::SetTimeout(aValue);
  if (adOwnedTransContext) adOwnedTransContext->SetTimeout(aValue);
}

int32_t TmvAbstractDatabase::CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter,
                                               const TGUID& aInterfaceID, void** aInterface) {
  String head, tail;
  SplitInstancePath(aName, head, tail);
  if (SameClassName(head, u"<Database>")) return CreateInstanceFor(tail, aClassID, aOuter, aInterfaceID, aInterface);
  if (SameClassName(head, u"<TransContext>")) {
    *aInterface = nullptr;
    if (!adTransContext) return E_NOINTERFACE;
    return adTransContext->CreateInstanceFor(tail, aClassID, aOuter, aInterfaceID, aInterface);
  }
  return TmvBaseTransContext::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TmvAbstractDatabase::PrepareDestroy() {
  if (adOwnedTransContext) adOwnedTransContext->PrepareDestroy();
  {
    TmvPadlockGuard guard(&adStatementsPadlock);
    adStatements.ForEach([](TmvAbstractStatement* s) { s->PrepareDestroy(); });
  }
  {
    TmvPadlockGuard guard(&adCursorsPadlock);
    for (TmvAbstractCursor* c = adCursorsHead; c; c = c->DatabaseNext()) c->PrepareDestroy();
  }
  TmvBaseTransContext::PrepareDestroy();
}

void TmvAbstractDatabase::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvBaseTransContext::WriteObjectInfo(aContainer);
  aContainer->AddObject(u"TransContext", adTransContext, false);
}

void TmvAbstractDatabase::asoWriteDetails(ImvExceptionDataContainer* aContainer) {
  {
    ImvExceptionDataContainer* list = aContainer->AddContainer(u"Cursors");
    int32_t i = 0;
    TmvPadlockGuard guard(&adCursorsPadlock);
    for (TmvAbstractCursor* c = adCursorsHead; c; c = c->DatabaseNext())
      list->AddObject(Format(u"[%d]", {i++}), c, false);
  }
  ImvExceptionDataContainer* list = aContainer->AddContainer(u"Statements");
  int32_t i = 0;
  TmvPadlockGuard guard(&adStatementsPadlock);
  adStatements.ForEach([&](TmvAbstractStatement* s) { list->AddObject(Format(u"[%d]", {i++}), s, false); });
}
