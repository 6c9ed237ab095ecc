// Server engine: a transaction level's lock on a table's content. See
// mvsrTransactionLevelTableLink.h.
#include "server/transactions/mvsrTransactionLevelTableLink.h"

#include "foundation/errors/mvllErrors.h"
#include "server/mvsdPadlockGuard.h"
#include "server/transactions/mvsrRootTableLocks.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "storage/mvsrTimeoutHandling.h"

namespace {

// A wait with this little time left is not worth starting.
constexpr uint32_t kMinWaitMs = 5;

uint32_t LockTimeOut() { return EmvBaseException::mvSetMessage(MVERR_LOCKTIMEOUT, String()); }

}  // namespace

TmvServerTransactionLevelTableLink::TmvServerTransactionLevelTableLink(TmvServerTransactionLevel* aTransactionLevel,
                                                                       TmvRootTableLocks* aTable, bool aExclusive,
                                                                       TmvLockFailureReason* aReason)
    : ttlReason(aReason), ttlTransactionLevel(aTransactionLevel), ttlTable(aTable), ttlExclusive(aExclusive) {}

TmvServerTransaction* TmvServerTransactionLevelTableLink::Transaction() const {
  return static_cast<TmvServerTransaction*>(ttlTransactionLevel->tlTransaction);
}

TmvServerTransactionLevelTableLink* TmvServerTransactionLevelTableLink::Create(
    TmvServerTransactionLevel* aTransactionLevel, TmvRootTableLocks* aTable, bool aExclusive,
    TmvServerTransactionLevelTableLink* aConvertFrom, TmvLockFailureReason* aReason) {
  auto* link = new TmvServerTransactionLevelTableLink(aTransactionLevel, aTable, aExclusive, aReason);
  TmvServerTransaction* trans = link->Transaction();
  try {
    if (trans->IsSnapshot() && !aTable->rtlIsTempUnnamed()) {
      // A snapshot reads a frozen view: it never conflicts and never writes.
      MV_ASSERT(!aExclusive);
      link->ttlSnapshot = true;
      link->ttlState = ttlsGranted;
      trans->stAddLink(link);
      aTransactionLevel->stlAddLink(link);
      aTable->srtAddLink(link);
      link->ttlReason = nullptr;
      return link;
    }
    if (aConvertFrom) {
      MV_ASSERT(aConvertFrom->ttlTable == aTable && aConvertFrom->Transaction() == trans);
      MV_ASSERT(aConvertFrom->ttlTransactionLevel->tlLevel <= aTransactionLevel->tlLevel);
      MV_ASSERT(aConvertFrom->ttlConvertTo == nullptr);
      link->ttlConvertFrom = aConvertFrom;
      aConvertFrom->ttlConvertTo = link;
      link->ttlState = ttlsPendingUpgrade;
      switch (aTable->srtDecideLink(link)) {
        case ldGrant:
          link->ttlState = ttlsGranted;
          aTable->srtCompleteUpgrade(link);
          break;
        case ldWait:
          aTable->srtAddLink(link);
          break;
        case ldFail:
          link->ttlState = ttlsFailed;
          break;
      }
    } else {
      const TmvLinkDecision decision = aTable->srtDecideLink(link);
      if (decision != ldFail) {
        link->ttlState = decision == ldGrant ? ttlsGranted : ttlsPending;
        trans->stAddLink(link);
        aTransactionLevel->stlAddLink(link);
        aTable->srtAddLink(link);
      } else {
        link->ttlState = ttlsFailed;
      }
    }
  } catch (...) {
    delete link;
    throw;
  }
  if (link->ttlState == ttlsGranted) link->ttlReason = nullptr;
  return link;
}

TmvServerTransactionLevelTableLink::~TmvServerTransactionLevelTableLink() {
  {
    TmvPadlockGuard guard(&ttlTable->srtTransLinksPadlock);
    while (TmvLockingCursor* cursor = ttlCursorsHead) RemoveCursor(cursor);
    if (ttlConvertFrom && ttlConvertFrom->ttlConvertTo == this) ttlConvertFrom->ttlConvertTo = nullptr;
    if (ttlConvertTo && ttlConvertTo->ttlConvertFrom == this) ttlConvertTo->ttlConvertFrom = nullptr;
    ttlConvertFrom = ttlConvertTo = nullptr;
    if (ttlTableAdded) ttlTable->srtRemoveLink(this);
    Transaction()->stRemoveLink(this);
    if (ttlTransactionLevelAdded) ttlTransactionLevel->stlRemoveLink(this);
  }
  delete ttlEvent;
}

uint32_t TmvServerTransactionLevelTableLink::WaitFor() {
  TmvEvent* event;
  {
    TmvPadlockGuard guard(&ttlTable->srtTransLinksPadlock);
    if (ttlState == ttlsGranted) {
      // Granted before the wait began: the signal is not needed any more.
      delete ttlEvent;
      ttlEvent = nullptr;
      return 0;
    }
    event = ttlEvent;
    if (!event || ttlState == ttlsFailed) return LockTimeOut();
  }
  // Only the requester frees the event: it stays valid outside the padlock.
  const uint32_t remaining = mvGetOperationRemainingTime();
  bool signalled = false;
  if (remaining > kMinWaitMs) {
    try {
      signalled = event->WaitForQuietly(remaining) == WAIT_OBJECT_0;
    } catch (...) {
      signalled = false;
    }
  }
  TmvPadlockGuard guard(&ttlTable->srtTransLinksPadlock);
  if (signalled) {
    delete ttlEvent;
    ttlEvent = nullptr;
  }
  return ttlState == ttlsGranted ? 0 : LockTimeOut();
}

void TmvServerTransactionLevelTableLink::AddCursor(TmvLockingCursor* aCursor) {
  MV_ASSERT(aCursor->stcTransLink == nullptr);
  aCursor->stcTransLink = this;
  aCursor->stcTransLinkPrev = ttlCursorsTail;
  aCursor->stcTransLinkNext = nullptr;
  if (ttlCursorsTail)
    ttlCursorsTail->stcTransLinkNext = aCursor;
  else
    ttlCursorsHead = aCursor;
  ttlCursorsTail = aCursor;
}

void TmvServerTransactionLevelTableLink::RemoveCursor(TmvLockingCursor* aCursor) {
  MV_ASSERT(aCursor->stcTransLink == this);
  if (aCursor->stcTransLinkPrev)
    aCursor->stcTransLinkPrev->stcTransLinkNext = aCursor->stcTransLinkNext;
  else
    ttlCursorsHead = aCursor->stcTransLinkNext;
  if (aCursor->stcTransLinkNext)
    aCursor->stcTransLinkNext->stcTransLinkPrev = aCursor->stcTransLinkPrev;
  else
    ttlCursorsTail = aCursor->stcTransLinkPrev;
  aCursor->stcTransLink = nullptr;
  aCursor->stcTransLinkPrev = aCursor->stcTransLinkNext = nullptr;
}

void TmvServerTransactionLevelTableLink::MoveCursorsTo(TmvServerTransactionLevelTableLink* aLink) {
  while (TmvLockingCursor* cursor = ttlCursorsHead) {
    RemoveCursor(cursor);
    aLink->AddCursor(cursor);
  }
}
