// Server engine: the server's transactions. See mvsrServerTransaction.h.
#include "server/transactions/mvsrServerTransaction.h"

#include <algorithm>
#include <functional>
#include <vector>

#include "foundation/errors/mvllErrors.h"
#include "server/mvsdAbstractSession.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "server/transactions/mvsrRootTableLocks.h"
#include "server/transactions/mvsrServerTransContext.h"
#include "server/transactions/mvsrTransactionLevelTableLink.h"
#include "storage/transactions/mvsrCommit.h"

namespace {

using TLink = TmvServerTransactionLevelTableLink;

TmvBaseTransactionLevel* CreateServerLevel(TmvBaseTransaction* aTrans) { return new TmvServerTransactionLevel(aTrans); }

}  // namespace

// ---------------------------------------------------------------------------
// Levels

TmvServerTransactionLevel::~TmvServerTransactionLevel() {
  while (TLink* link = stlTableLinksHead) delete link;
}

void TmvServerTransactionLevel::stlAddLink(TmvServerTransactionLevelTableLink* aLink) {
  MV_ASSERT(!aLink->ttlTransactionLevelAdded);
  aLink->ttlTransactionLevelPrev = stlTableLinksTail;
  aLink->ttlTransactionLevelNext = nullptr;
  if (stlTableLinksTail)
    stlTableLinksTail->ttlTransactionLevelNext = aLink;
  else
    stlTableLinksHead = aLink;
  stlTableLinksTail = aLink;
  aLink->ttlTransactionLevelAdded = true;
}

void TmvServerTransactionLevel::stlRemoveLink(TmvServerTransactionLevelTableLink* aLink) {
  if (!aLink->ttlTransactionLevelAdded) return;
  if (aLink->ttlTransactionLevelPrev)
    aLink->ttlTransactionLevelPrev->ttlTransactionLevelNext = aLink->ttlTransactionLevelNext;
  else
    stlTableLinksHead = aLink->ttlTransactionLevelNext;
  if (aLink->ttlTransactionLevelNext)
    aLink->ttlTransactionLevelNext->ttlTransactionLevelPrev = aLink->ttlTransactionLevelPrev;
  else
    stlTableLinksTail = aLink->ttlTransactionLevelPrev;
  aLink->ttlTransactionLevelPrev = aLink->ttlTransactionLevelNext = nullptr;
  aLink->ttlTransactionLevelAdded = false;
}

// ---------------------------------------------------------------------------
// Transactions

TmvServerTransaction::TmvServerTransaction(TmvBufferManager* aBufferManager, TPersistent* aOwningSession,
                                           bool aSnapshot, bool aFailSafe, bool)
    : TmvBaseTransaction(aBufferManager, aOwningSession, aSnapshot, aFailSafe, &CreateServerLevel) {
  SetJournalled(true);
}

TmvServerTransaction::~TmvServerTransaction() {
  if (!TransLevel()) return;
  // The owner should have ended every level; rolling them back here lets
  // their table locks go in order, and before the base class drops the
  // copies no other transaction may touch the files.
  mvServerLogError(u"A server transaction was freed with open levels: they are rolled back");
  try {
    while (TmvServerTransactionLevel* level = InnermostLevel()) {
      level->tlNestingCount = 0;
      btBufferManager->RollbackTransaction(this);
      ReleaseLevelLinks(level);
      FreeLevel();
    }
  } catch (...) {
    mvServerLogCurrentException(u"Rolling back an abandoned transaction");
  }
}

void TmvServerTransaction::FreeWhenEnded() {
  if (!TransLevel()) delete this;
}

TmvServerTransactionLevelTableLink* TmvServerTransaction::stFindLink(const String& aKey) const {
  int32_t index;
  if (!stTableLinks.Find(aKey, index)) return nullptr;
  return static_cast<TLink*>(stTableLinks.GetObject(index));
}

void TmvServerTransaction::stAddLink(TmvServerTransactionLevelTableLink* aLink) {
  MV_ASSERT(!aLink->ttlTransactionAdded);
  stTableLinks.AddObject(aLink->ttlTable->rtlTransLinkKey(), aLink);
  aLink->ttlTransactionAdded = true;
}

void TmvServerTransaction::stRemoveLink(TmvServerTransactionLevelTableLink* aLink) {
  if (!aLink->ttlTransactionAdded) return;
  int32_t index;
  if (stTableLinks.Find(aLink->ttlTable->rtlTransLinkKey(), index) && stTableLinks.GetObject(index) == aLink)
    stTableLinks.Delete(index);
  aLink->ttlTransactionAdded = false;
}

// ---------------------------------------------------------------------------
// Commit

void TmvServerTransaction::Commit() {
  TmvServerTransactionLevel* level = InnermostLevel();
  MV_ASSERT(level != nullptr);
  if (!level->StopNested()) return;
  if (level->tlLevel > 0)
    CommitNested(level);
  else
    CommitOutermost(level);
  FreeLevel();
  if (TransLevel() && btWriteThroughCommit && !Nested()) {
    btWriteThroughCommit = false;
    btBufferManager->CommitTransaction(this, nullptr, true);
  }
  FreeWhenEnded();
}

// Every table lock of the level stays, now the parent's. An upgrade made
// here of a shared link of the parent replaces it for good.
void TmvServerTransaction::CommitNested(TmvServerTransactionLevel* aLevel) {
  btBufferManager->CommitTransaction(this, nullptr, false);
  TmvServerTransactionLevel* parent = aLevel->ParentLevel();
  while (TLink* link = aLevel->stlTableLinksHead) {
    TmvPadlockGuard guard(&link->ttlTable->srtTransLinksPadlock);
    aLevel->stlRemoveLink(link);
    link->ttlTransactionLevel = parent;
    parent->stlAddLink(link);
    TLink* converted = link->ttlConvertFrom;
    if (converted && converted->ttlTransactionLevel == parent) {
      converted->MoveCursorsTo(link);
      delete converted;
    }
  }
  parent->tlLSN = aLevel->tlLSN;
}

// The order matters: the commit padlocks and the portals are taken before
// anything is published and the portals left before the flush, so readers
// outside transactions see all of a commit or none of it; the padlocks stay
// until the files are on disk, so a second commit of a table cannot flush
// before the first.
void TmvServerTransaction::CommitOutermost(TmvServerTransactionLevel* aLevel) {
  TmvFlushList flush;
  std::vector<TLink*> exclusive;
  for (TLink* link = aLevel->stlTableLinksHead; link;) {
    TLink* next = link->ttlTransactionLevelNext;
    if (link->ttlState == ttlsGranted && link->ttlExclusive) {
      exclusive.push_back(link);
    } else {
      {
        // A table bound while the link was an upgrade (rolled back since)
        // must not stay bound to a transaction that is about to end.
        TmvPadlockGuard guard(&link->ttlTable->srtTransLinksPadlock);
        link->ttlTable->rtlEndTransaction(this);
        link->ttlTable->srtRemoveLink(link);
        link->ttlTable->srtProcessPendingLinks();
      }
      delete link;
    }
    link = next;
  }
  // One order for every committer: two commits never hold each other's
  // padlock while they wait for their own.
  std::sort(exclusive.begin(), exclusive.end(),
            [](TLink* a, TLink* b) { return std::less<TmvRootTableLocks*>()(a->ttlTable, b->ttlTable); });
  for (TLink* link : exclusive) {
    link->ttlTable->srtCommitPadlock.Lock();
    link->ttlTable->srtContentPortal.BeginWrite();
  }

  try {
    btBufferManager->CommitTransaction(this, &flush, false);
  } catch (...) {
    // Nothing was published: the transaction keeps its exclusive links, and
    // with them its tables, until it is rolled back.
    for (TLink* link : exclusive) {
      link->ttlTable->srtContentPortal.EndWrite();
      link->ttlTable->srtCommitPadlock.Unlock();
    }
    throw;
  }

  size_t portalsLeft = 0;
  try {
    for (TLink* link : exclusive) {
      TmvRootTableLocks* table = link->ttlTable;
      table->rtlEndTransaction(this);
      table->srtContentPortal.EndWrite();
      ++portalsLeft;
      TmvPadlockGuard guard(&table->srtTransLinksPadlock);
      table->srtRemoveLink(link);
      table->srtProcessPendingLinks();
    }
    flush.Flush(false);
  } catch (...) {
    for (size_t i = 0; i < exclusive.size(); ++i) {
      TLink* link = exclusive[i];
      TmvRootTableLocks* table = link->ttlTable;
      try {
        if (i >= portalsLeft) {
          table->rtlEndTransaction(this);
          table->srtContentPortal.EndWrite();
        }
        TmvPadlockGuard guard(&table->srtTransLinksPadlock);
        if (link->ttlTableAdded) {
          table->srtRemoveLink(link);
          table->srtProcessPendingLinks();
        }
      } catch (...) {
        mvServerLogCurrentException(u"Releasing a table after a failed commit");
      }
      table->srtCommitPadlock.Unlock();
      delete link;
    }
    throw;
  }
  for (TLink* link : exclusive) {
    link->ttlTable->srtCommitPadlock.Unlock();
    delete link;
  }
}

// ---------------------------------------------------------------------------
// Rollback

void TmvServerTransaction::Rollback() {
  TmvServerTransactionLevel* level = InnermostLevel();
  MV_ASSERT(level != nullptr);
  if (!level->StopNested()) {
    // An inner level that was only a pending nesting has no copies of its
    // own: undoing it alone is impossible, so the level it lives in can no
    // longer commit.
    level->MarkCorrupted();
    return;
  }
  btBufferManager->RollbackTransaction(this);
  ReleaseLevelLinks(level);
  FreeLevel();
  FreeWhenEnded();
}

void TmvServerTransaction::ReleaseLevelLinks(TmvServerTransactionLevel* aLevel) {
  while (TLink* link = aLevel->stlTableLinksHead) {
    TmvRootTableLocks* table = link->ttlTable;
    if (TLink* converted = link->ttlConvertFrom) {
      // The table goes back to the shared link the upgrade replaced.
      stRemoveLink(link);
      stAddLink(converted);
      TmvPadlockGuard guard(&table->srtTransLinksPadlock);
      converted->ttlConvertTo = nullptr;
      link->ttlConvertFrom = nullptr;
      table->srtRemoveLink(link);
      table->srtAddLink(converted);
      link->MoveCursorsTo(converted);
      table->srtProcessPendingLinks();
    } else {
      TmvPadlockGuard guard(&table->srtTransLinksPadlock);
      table->rtlRollback(this);
      table->rtlEndTransaction(this);
      table->srtRemoveLink(link);
      table->srtProcessPendingLinks();
    }
    delete link;
  }
  // What the engines cached for the outer levels' tables may hold this
  // level's state too.
  for (TmvServerTransactionLevel* outer = aLevel->ParentLevel(); outer; outer = outer->ParentLevel())
    for (TLink* link = outer->stlTableLinksHead; link; link = link->ttlTransactionLevelNext)
      link->ttlTable->rtlRollback(this);
}

void TmvServerTransaction::stDeadlockRollback(TmvServerTransactionLevel* aLevel) {
  for (TmvServerTransactionLevel* l = InnermostLevel(); l; l = l->ParentLevel()) {
    l->MarkDeadlock();
    if (l == aLevel) break;
  }
  for (TmvServerTransactionLevel* l = InnermostLevel(); l; l = l->ParentLevel()) {
    btBufferManager->RollbackTransactionLevel(l);
    ReleaseLevelLinks(l);
    if (l == aLevel) break;
  }
}

// ---------------------------------------------------------------------------
// Information

void TmvServerTransaction::stGetInfo(TmvTransactionInfo& aInfo) {
  TmvServerTransactionLevel* inner = InnermostLevel();
  aInfo = TmvTransactionInfo{};
  aInfo.tiStartTime = btStartTime;
  aInfo.tiStartLSN = btStartLSN;
  aInfo.tiLSN = btLSN;
  aInfo.tiBlockCount = uint32_t(btBlockCount);
  aInfo.tiState = btState;
  if (!inner) return;
  aInfo.tiLevel = inner->Level();
  // Numbers a pending nesting took (forced levels count them) stay as
  // entries without a level of their own.
  aInfo.tiLevels.resize(size_t(inner->tlLevel) + 1);
  for (size_t i = 0; i < aInfo.tiLevels.size(); ++i) aInfo.tiLevels[i].tliLevel = int32_t(i);
  for (TmvBaseTransactionLevel* l = inner; l; l = l->tlPrev) {
    TmvTransactionLevelInfo& e = aInfo.tiLevels[size_t(l->tlLevel)];
    e.tliStartTime = l->tlStartTime;
    e.tliStartLSN = l->tlStartLSN;
    e.tliLSN = l->tlLSN;
    e.tliLevel = l->tlLevel;
    e.tliBlockCount = l->tlBlockCount;
    e.tliNestingCount = l->tlNestingCount;
    e.tliState = l->tlState;
  }
}

// ---------------------------------------------------------------------------
// Transactions of a context

TmvServerTransContextOwnedTransaction::TmvServerTransContextOwnedTransaction(TmvServerTransContext* aTransContext,
                                                                             bool aSnapshot, bool aFailSafe,
                                                                             bool aOverrideForceFailsafe)
    : TmvServerTransaction(aTransContext->stcBufferManager(), aTransContext->Session(), aSnapshot,
                           aFailSafe || (!aOverrideForceFailsafe && aTransContext->stcForceFailSafe),
                           aOverrideForceFailsafe),
      stcotTransContext(aTransContext) {}

TmvServerTransContextOwnedTransaction::~TmvServerTransContextOwnedTransaction() {
  TmvPadlockGuard guard(&stcotTransContext->stcTransactionPadlock);
  if (stcotTransContext->stcTransaction == this) stcotTransContext->stcTransaction = nullptr;
}
