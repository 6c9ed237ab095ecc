// Server engine: the root table's side of the transactions' table locks.
// See mvsrRootTableLocks.h.
#include "server/transactions/mvsrRootTableLocks.h"

#include "foundation/errors/mvllErrors.h"
#include "platform/SysUtils.h"
#include "server/mvsdAbstractSession.h"
#include "server/mvsdServerLog.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "server/transactions/mvsrTransactionLevelTableLink.h"

namespace {

using TLink = TmvServerTransactionLevelTableLink;

TmvAbstractSession* SessionOf(const TLink* aLink) {
  return dynamic_cast<TmvAbstractSession*>(aLink->Transaction()->OwningSession());
}

// The table list a link's state names.
struct TListEnds {
  TLink** Head;
  TLink** Tail;
};

void Append(TListEnds aList, TLink* aLink) {
  aLink->ttlTablePrev = *aList.Tail;
  aLink->ttlTableNext = nullptr;
  if (*aList.Tail)
    (*aList.Tail)->ttlTableNext = aLink;
  else
    *aList.Head = aLink;
  *aList.Tail = aLink;
}

void Unlink(TListEnds aList, TLink* aLink) {
  if (aLink->ttlTablePrev)
    aLink->ttlTablePrev->ttlTableNext = aLink->ttlTableNext;
  else
    *aList.Head = aLink->ttlTableNext;
  if (aLink->ttlTableNext)
    aLink->ttlTableNext->ttlTablePrev = aLink->ttlTablePrev;
  else
    *aList.Tail = aLink->ttlTablePrev;
  aLink->ttlTablePrev = aLink->ttlTableNext = nullptr;
}

const char16_t* Kind(bool aExclusive) { return aExclusive ? u"exclusive" : u"shared"; }
const char16_t* Flag(bool aValue) { return aValue ? u"1" : u"0"; }

}  // namespace

TmvRootTableLocks::~TmvRootTableLocks() {
  // The table's name is out of reach here (its part is gone already).
  if (srtHasTransLinks()) mvServerLogError(u"A table went while transactions still held links on it");
}

bool TmvRootTableLocks::srtHasTransLinks() const {
  return srtTransLinksPendingUpgrade || srtTransLinksPendingHead || srtTransLinksGrantedHead ||
         srtTransLinksSnapshotGrantedHead;
}

bool TmvRootTableLocks::srtOnlyGrantedLink(TmvServerTransactionLevelTableLink* aLink) const {
  return srtTransLinksGrantedHead == aLink && srtTransLinksGrantedTail == aLink;
}

void TmvRootTableLocks::srtAddLink(TmvServerTransactionLevelTableLink* aLink) {
  MV_ASSERT(!aLink->ttlTableAdded);
  switch (aLink->ttlState) {
    case ttlsPending:
      Append({&srtTransLinksPendingHead, &srtTransLinksPendingTail}, aLink);
      break;
    case ttlsPendingUpgrade:
      MV_ASSERT(srtTransLinksPendingUpgrade == nullptr);
      srtTransLinksPendingUpgrade = aLink;
      break;
    case ttlsGranted:
      if (aLink->ttlSnapshot)
        Append({&srtTransLinksSnapshotGrantedHead, &srtTransLinksSnapshotGrantedTail}, aLink);
      else
        Append({&srtTransLinksGrantedHead, &srtTransLinksGrantedTail}, aLink);
      break;
    case ttlsFailed:
      return;
  }
  aLink->ttlTableAdded = true;
}

void TmvRootTableLocks::srtRemoveLink(TmvServerTransactionLevelTableLink* aLink) {
  if (!aLink->ttlTableAdded) return;
  switch (aLink->ttlState) {
    case ttlsPending:
      Unlink({&srtTransLinksPendingHead, &srtTransLinksPendingTail}, aLink);
      break;
    case ttlsPendingUpgrade:
      MV_ASSERT(srtTransLinksPendingUpgrade == aLink);
      srtTransLinksPendingUpgrade = nullptr;
      break;
    case ttlsGranted:
      if (aLink->ttlSnapshot)
        Unlink({&srtTransLinksSnapshotGrantedHead, &srtTransLinksSnapshotGrantedTail}, aLink);
      else
        Unlink({&srtTransLinksGrantedHead, &srtTransLinksGrantedTail}, aLink);
      break;
    case ttlsFailed:
      break;
  }
  aLink->ttlTableAdded = false;
}

TmvLinkDecision TmvRootTableLocks::srtDecideLink(TmvServerTransactionLevelTableLink* aLink) {
  if (aLink->ttlReason) aLink->ttlReason->Clear();
  if (!srtTransLinksGrantedHead) return ldGrant;
  if (!aLink->ttlExclusive) {
    if (!srtTransLinksGrantedHead->ttlExclusive) return ldGrant;
    FillLinkReason(aLink, srtTransLinksGrantedHead);
    return ldWait;
  }
  // An upgrade in place: its own shared link is all there is.
  if (aLink->ttlConvertFrom && srtOnlyGrantedLink(aLink->ttlConvertFrom)) return ldGrant;
  TmvAbstractSession* session = SessionOf(aLink);
  if (!session) return ldWait;
  TLink* conflict = nullptr;
  for (TLink* granted = srtTransLinksGrantedHead; granted; granted = granted->ttlTableNext) {
    if (granted == aLink->ttlConvertFrom) continue;
    // Waiting for another transaction of our own session would never end.
    if (SessionOf(granted) == session) {
      FillLinkReason(aLink, granted);
      return ldFail;
    }
    conflict = granted;
  }
  FillLinkReason(aLink, conflict);
  return ldWait;
}

void TmvRootTableLocks::srtProcessPendingLinks() {
  auto signal = [](TLink* aLink) {
    if (aLink->ttlEvent) aLink->ttlEvent->SignalEvent();
  };
  // A pending upgrade comes first. Once it is decided the pending list gets
  // its turn in the same pass: after a grant its head waits anyway, after a
  // failure it may not, and nothing else would wake it.
  if (TLink* upgrade = srtTransLinksPendingUpgrade) {
    const TmvLinkDecision decision = srtDecideLink(upgrade);
    if (decision == ldWait) return;
    srtRemoveLink(upgrade);
    if (decision == ldGrant) {
      upgrade->ttlState = ttlsGranted;
      srtCompleteUpgrade(upgrade);
    } else {
      upgrade->ttlState = ttlsFailed;
    }
    signal(upgrade);
  }
  while (TLink* head = srtTransLinksPendingHead) {
    const TmvLinkDecision decision = srtDecideLink(head);
    if (decision == ldWait) return;
    srtRemoveLink(head);
    if (decision == ldGrant) {
      head->ttlState = ttlsGranted;
      srtAddLink(head);
    } else {
      // A failed link is in no list; its requester still has it.
      head->Transaction()->stRemoveLink(head);
      head->ttlTransactionLevel->stlRemoveLink(head);
      head->ttlState = ttlsFailed;
    }
    signal(head);
  }
}

void TmvRootTableLocks::srtCompleteUpgrade(TmvServerTransactionLevelTableLink* aUpgrade) {
  TLink* converted = aUpgrade->ttlConvertFrom;
  MV_ASSERT(converted != nullptr);
  TmvServerTransaction* trans = aUpgrade->Transaction();
  trans->stRemoveLink(converted);
  srtRemoveLink(converted);
  if (converted->ttlTransactionLevel == aUpgrade->ttlTransactionLevel) {
    converted->MoveCursorsTo(aUpgrade);
    delete converted;  // leaves its level and clears the pair
  }
  trans->stAddLink(aUpgrade);
  aUpgrade->ttlTransactionLevel->stlAddLink(aUpgrade);
  srtAddLink(aUpgrade);
}

void TmvRootTableLocks::FillLinkReason(TmvServerTransactionLevelTableLink* aLink,
                                       TmvServerTransactionLevelTableLink* aConflict) {
  TmvLockFailureReason* reason = aLink->ttlReason;
  if (!reason) return;
  aLink->ttlReason = nullptr;  // filled once: later decisions run on other threads
  reason->Clear();
  const String upgrade = aLink->ttlConvertFrom ? u" upgrade " : u" ";
  const String request = Kind(aLink->ttlExclusive);
  bool multiple = false;
  if (aConflict) {
    for (TLink* n : {aConflict->ttlTablePrev, aConflict->ttlTableNext})
      if (n && n != aLink->ttlConvertFrom) multiple = true;
    const String tail = multiple ? u"multiple conflicting %s locks." : u"a conflicting %s transaction lock.";
    reason->Add(Format(u"The requested %s transaction lock%sfor table \"%s\" could not be granted due to " + tail,
                       {request, upgrade, rtlFullName(), String(Kind(aConflict->ttlExclusive))}) +
                mvMakeCustomInfoTag(u"LockError.Type", u"transaction") +
                mvMakeCustomInfoTag(u"LockError.RequestExclusive", Flag(aLink->ttlExclusive)) +
                mvMakeCustomInfoTag(u"LockError.ConflictExclusive", Flag(aConflict->ttlExclusive)) +
                mvMakeCustomInfoTag(u"LockError.ConflictMultiple", Flag(multiple)));
  } else {
    reason->Add(Format(u"The requested %s transaction lock%sfor table \"%s\" could not be granted.",
                       {request, upgrade, rtlFullName()}) +
                mvMakeCustomInfoTag(u"LockError.Type", u"transaction") +
                mvMakeCustomInfoTag(u"LockError.RequestExclusive", Flag(aLink->ttlExclusive)));
  }
  reason->Add(String());
  TmvAbstractSession* other = aConflict ? SessionOf(aConflict) : nullptr;
  if (!other) {
    reason->Add(u"The conflict occurred with an unknown session." + mvMakeCustomInfoTag(u"LockError.UnknownSession", u"1"));
  } else if (other == SessionOf(aLink)) {
    reason->Add(mvMakeCustomInfoTag(u"LockError.SameSession", u"1"));
    reason->SameSession = true;
  } else {
    reason->Add(multiple ? u"One of the conflicting Sessions is:" : u"The conflict occurred with the following session:");
    other->asAddUserInfo(reason);
  }
}
