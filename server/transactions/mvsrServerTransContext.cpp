// Server engine: the in-process transaction context. See
// mvsrServerTransContext.h.
#include "server/transactions/mvsrServerTransContext.h"

#include <atomic>

#include "foundation/errors/mvllErrors.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsrServerEngine.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "storage/transactions/mvsrCommit.h"

constinit const ClassRef TmvServerTransContext::StaticClass{u"TmvServerTransContext",
                                                            &TmvAbstractTransContext::StaticClass};

namespace {

std::atomic<TmvTransactionCursors*> gTransactionCursors{nullptr};

uint32_t Code(int32_t aCode) { return EmvBaseException::mvSetMessage(aCode, String()); }

TmvBufferManager* EngineCache(TmvAbstractSession* aSession) {
  auto* engine = dynamic_cast<TmvServerEngine*>(aSession->ServerEngine());
  MV_ASSERT(engine != nullptr && engine->BufferManager() != nullptr);
  return engine->BufferManager();
}

}  // namespace

TmvTransactionCursors* mvSetTransactionCursors(TmvTransactionCursors* aCursors) {
  return gTransactionCursors.exchange(aCursors, std::memory_order_acq_rel);
}

TmvServerTransContext::TmvServerTransContext(TmvAbstractSession* aSession, uint32_t aTimeout)
    : TmvAbstractTransContext(aSession, aTimeout), stcCache(EngineCache(aSession)) {}

// The transaction went with PrepareDestroy (the context failed); one left
// here was started after that and goes too.
TmvServerTransContext::~TmvServerTransContext() {
  try {
    atcForceRollback();
  } catch (...) {
    asoConvertException();
  }
}

uint32_t TmvServerTransContext::FatalState() {
  if (!mvFatalError.load(std::memory_order_acquire)) return 0;
  return EmvBaseException::mvSetMessage(MVERR_TRANSACTIONCORRUPT, String(mvFatalErrorText));
}

void TmvServerTransContext::CheckNotLocked() {
  if (stcTransaction->IsLocked())
    throw EmvServerEngineException(MVERR_REENTERED, u"The current transaction level is in use. Can't commit or rollback");
}

// ---------------------------------------------------------------------------
// Public operations

uint32_t TmvServerTransContext::TransactionStart(bool aFailSafe, bool aSnapShot) {
  return atoLockedCall([&] { return stcTransactionStart(aFailSafe, aSnapShot, false, false, false, false); });
}

uint32_t TmvServerTransContext::TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                                     const std::vector<TmvAbstractCursor*>& aCursors) {
  return atoLockedCall(
      [&] { return stcTransactionStartWith(aFailSafe, aSnapShot, aCursors, false, false, false, false); });
}

uint32_t TmvServerTransContext::TransactionCommit() {
  return atoLockedCall([&] { return stcTransactionCommit(); });
}

uint32_t TmvServerTransContext::TransactionRollback() {
  return atoLockedCall([&] { return stcTransactionRollback(); });
}

uint32_t TmvServerTransContext::TransactionCorrupted() {
  return atoLockedCall([&] { return stcTransactionMarkCorrupted(); });
}

uint32_t TmvServerTransContext::TransactionGetLevel(int32_t& aTransLevel) {
  return atoLockedCall([&] {
    if (!stcTransaction) return Code(MVERR_NOACTIVETRAN);
    aTransLevel = stcTransaction->TransLevel()->Level();
    return 0u;
  });
}

uint32_t TmvServerTransContext::TransactionGetInfo(TmvTransactionInfo& aTransInfo, bool) {
  return atoLockedCall([&] {
    if (!stcTransaction) {
      aTransInfo = TmvTransactionInfo{};
      return Code(MVERR_NOACTIVETRAN);
    }
    stcTransaction->stGetInfo(aTransInfo);
    return 0u;
  });
}

// ---------------------------------------------------------------------------
// Start

uint32_t TmvServerTransContext::stcTransactionStart(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe,
                                                    bool aNoMoreNested, bool aForceNested, bool aOverrideSecurity) {
  try {
    if (uint32_t result = StartLevel(aFailSafe, aSnapShot, aOverrideForceFailsafe, aForceNested, aOverrideSecurity))
      return result;
    NotifyExtenders(eaTransactionStart, false,
                    {aFailSafe, aSnapShot, static_cast<void*>(stcTransaction), aForceNested, aOverrideSecurity});
    if (aNoMoreNested) stcTransaction->MarkNoMoreNested();
    return 0u;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerTransContext::StartLevel(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe,
                                           bool aForceNested, bool aOverrideSecurity) {
  if (uint32_t fatal = FatalState()) return fatal;
  if (stcTransaction) {
    if (IsFailed()) stcTransaction->MarkCorrupted();
    if (int32_t state = stcTransaction->CheckState()) return Code(state);
  } else if (IsFailed()) {
    return Code(MVERR_TRANSACTIONCORRUPT);
  }
  if (uint32_t veto = NotifyExtenders(eaTransactionStart, true,
                                      {aFailSafe, aSnapShot, static_cast<void*>(stcTransaction), aForceNested,
                                       aOverrideSecurity}))
    return veto;
  if (stcTransaction) {
    stcTransaction->StartNested(aForceNested);
    return 0;
  }
  TmvPadlockGuard guard(&stcTransactionPadlock);
  // A forced rollback from another thread may have failed the context
  // meanwhile.
  if (IsFailed()) return Code(MVERR_TRANSACTIONCORRUPT);
  stcTransaction = new TmvServerTransContextOwnedTransaction(this, aSnapShot, aFailSafe, aOverrideForceFailsafe);
  return 0;
}

uint32_t TmvServerTransContext::stcTransactionStartWith(bool aFailSafe, bool aSnapShot,
                                                        const std::vector<TmvAbstractCursor*>& aCursors,
                                                        bool aOverrideForceFailsafe, bool aNoMoreNested,
                                                        bool aForceNested, bool aOverrideSecurity) {
  try {
    TmvTransactionCursors* cursors = gTransactionCursors.load(std::memory_order_acquire);
    for (TmvAbstractCursor* cursor : aCursors)
      if (!cursor || !cursors || cursors->ContextOf(cursor) != this) return Code(MVERR_INVALIDHNDL);
    if (uint32_t result = StartLevel(aFailSafe, aSnapShot, aOverrideForceFailsafe, aForceNested, aOverrideSecurity))
      return result;
    uint32_t result = 0;
    for (TmvAbstractCursor* cursor : aCursors) {
      try {
        result = cursors->BeginContentLock(cursor, !aSnapShot);
      } catch (...) {
        result = asoConvertException();
      }
      if (result != 0) break;
    }
    if (result != 0) {
      // The level started here goes again; the lock's error is the answer.
      const String text = EmvBaseException(int64_t(result)).ProcessedErrorString();
      stcTransaction->Rollback();
      return EmvBaseException::mvSetMessage(int32_t(result), text);
    }
    NotifyExtenders(eaTransactionStart, false,
                    {aFailSafe, aSnapShot, static_cast<void*>(stcTransaction), aForceNested, aOverrideSecurity});
    if (aNoMoreNested) stcTransaction->MarkNoMoreNested();
    return 0u;
  } catch (...) {
    return asoConvertException();
  }
}

// ---------------------------------------------------------------------------
// Commit, rollback, corrupted

uint32_t TmvServerTransContext::stcTransactionCommit() {
  try {
    if (!stcTransaction) return Code(MVERR_NOACTIVETRAN);
    CheckNotLocked();
    if (IsFailed()) stcTransaction->MarkCorrupted();
    if (int32_t state = stcTransaction->CheckState()) return Code(state);
    if (uint32_t fatal = FatalState()) return fatal;
    if (uint32_t veto = NotifyExtenders(eaTransactionCommit, true, {})) return veto;
    stcTransaction->Commit();
    NotifyExtenders(eaTransactionCommit, false, {});
    return 0u;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerTransContext::stcTransactionRollback() {
  try {
    if (!stcTransaction) return Code(MVERR_NOACTIVETRAN);
    CheckNotLocked();
    if (uint32_t veto = NotifyExtenders(eaTransactionRollback, true, {})) return veto;
    stcTransaction->Rollback();
    NotifyExtenders(eaTransactionRollback, false, {});
    return 0u;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerTransContext::stcTransactionMarkCorrupted() {
  try {
    if (!stcTransaction) return Code(MVERR_NOACTIVETRAN);
    stcTransaction->MarkCorrupted();
    return 0u;
  } catch (...) {
    return asoConvertException();
  }
}

// ---------------------------------------------------------------------------
// Failure

void TmvServerTransContext::atcForceRollback() {
  TmvAbstractTransContext::atcForceRollback();
  TmvPadlockGuard guard(&stcTransactionPadlock);
  while (TmvServerTransaction* trans = stcTransaction) {
    TmvBaseTransactionLevel* level = trans->TransLevel();
    while (level->tlNestingCount > 0) level->StopNested();
    trans->Rollback();  // the last one frees it, which clears stcTransaction
  }
}

void TmvServerTransContext::Failed() {
  TmvPadlockGuard guard(&stcTransactionPadlock);
  TmvAbstractTransContext::Failed();
  if (stcTransaction) stcTransaction->Failed();
}
