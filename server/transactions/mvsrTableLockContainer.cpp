// Server engine: the read, write and record locks of one table. See
// mvsrTableLockContainer.h.
#include "server/transactions/mvsrTableLockContainer.h"

#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllExceptions.h"
#include "platform/SysUtils.h"
#include "server/mvsdAbstractSession.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/transactions/mvsrTransaction.h"

namespace {

// The arrays grow in steps of this many entries and never shrink.
constexpr int32_t kGrowBy = 64;
// A wait with this little time left is not worth starting.
constexpr uint32_t kMinWaitMs = 5;

bool IsGrant(TmvLockResult aResult) { return aResult == lrGrantedNew || aResult == lrGrantedExisting; }

const char16_t* RequestText(TmvLockRequestType aType) {
  switch (aType) {
    case lrtRecordLock:
      return u"record lock";
    case lrtReadLock:
      return u"read lock";
    case lrtWriteLock:
      return u"write lock";
  }
  return u"lock";
}

const char16_t* ConflictText(TmvLockResult aResult) {
  switch (aResult) {
    case lrConflictCursorWriteLock:
      return u"write lock";
    case lrConflictCursorReadLockSingle:
    case lrConflictCursorReadLockMultiple:
      return u"read lock";
    case lrConflictCursorRecordLockSingle:
    case lrConflictCursorRecordLockMultiple:
      return u"record lock";
    case lrConflictTransaction:
      return u"transaction";
    default:
      return u"unknown";
  }
}

TmvAbstractSession* OwningSessionOf(TmvBaseTransaction* aTrans) {
  return aTrans ? dynamic_cast<TmvAbstractSession*>(aTrans->OwningSession()) : nullptr;
}

// A transaction whose innermost level is corrupted or deadlocked keeps no
// records to itself: it can only roll back.
bool MayBind(TmvBaseTransaction* aTrans) {
  const TmvBaseTransactionLevel* level = aTrans->TransLevel();
  return !level || !(mvInSet(level->State(), tlsCorrupted) || mvInSet(level->State(), tlsDeadlocked));
}

}  // namespace

String mvLockRequestTypeName(TmvLockRequestType aType) {
  static constexpr const char16_t* kNames[] = {u"lrtRecordLock", u"lrtReadLock", u"lrtWriteLock"};
  return aType <= lrtWriteLock ? kNames[aType] : String();
}

String mvLockResultName(TmvLockResult aResult) {
  static constexpr const char16_t* kNames[] = {u"lrGrantedNew",
                                               u"lrGrantedExisting",
                                               u"lrConflictUnknown",
                                               u"lrConflictCursorWriteLock",
                                               u"lrConflictCursorReadLockSingle",
                                               u"lrConflictCursorReadLockMultiple",
                                               u"lrConflictCursorRecordLockSingle",
                                               u"lrConflictCursorRecordLockMultiple",
                                               u"lrConflictTransaction"};
  return aResult <= lrConflictTransaction ? kNames[aResult] : String();
}

// ---------------------------------------------------------------------------
// Waiting requests

TmvWaitingLockRequest::TmvWaitingLockRequest(TmvTableLockContainer* aContainer, TmvLockRequestType aType,
                                             TmvLockingCursor* aCursor, TmvRefNr aRefNr)
    : wlrContainer(aContainer), wlrType(aType), wlrCursor(aCursor), wlrRefNr(aRefNr) {
  wlrPrev = aContainer->tlcWaitingTail;
  if (wlrPrev)
    wlrPrev->wlrNext = this;
  else
    aContainer->tlcWaitingHead = this;
  aContainer->tlcWaitingTail = this;
}

TmvWaitingLockRequest::~TmvWaitingLockRequest() {
  TmvTableLockContainer* c = wlrContainer;
  MV_ASSERT(wlrPrev ? wlrPrev->wlrNext == this : c->tlcWaitingHead == this);
  MV_ASSERT(wlrNext ? wlrNext->wlrPrev == this : c->tlcWaitingTail == this);
  if (wlrPrev)
    wlrPrev->wlrNext = wlrNext;
  else
    c->tlcWaitingHead = wlrNext;
  if (wlrNext)
    wlrNext->wlrPrev = wlrPrev;
  else
    c->tlcWaitingTail = wlrPrev;
}

// ---------------------------------------------------------------------------
// Life

TmvTableLockContainer::TmvTableLockContainer() = default;

TmvTableLockContainer::~TmvTableLockContainer() {
  if (tlcWaitingHead) mvServerLogError(u"A table's lock container went while requests waited in it");
}

int32_t TmvTableLockContainer::WaitingCount() {
  TmvPadlockGuard guard(&tlcGate);
  int32_t count = 0;
  for (TmvWaitingLockRequest* r = tlcWaitingHead; r; r = r->wlrNext) ++count;
  return count;
}

bool TmvTableLockContainer::Empty() {
  TmvPadlockGuard guard(&tlcGate);
  return tlcWriteLockPresent == 0 && tlcReadLockListCount == 0 && tlcRecordLockListCount == 0 &&
         !tlcTrans.load(std::memory_order_relaxed) && !tlcWaitingHead;
}

// ---------------------------------------------------------------------------
// The sorted arrays

bool TmvTableLockContainer::FindReadLock(TmvLockingCursor* aCursor, int32_t& aIndex) const {
  int32_t lo = 0, hi = tlcReadLockListCount - 1;
  while (lo <= hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    const uint64_t n = tlcReadLockList[size_t(mid)].clCursor->lcNumber;
    if (n == aCursor->lcNumber) {
      aIndex = mid;
      return true;
    }
    if (n < aCursor->lcNumber)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  aIndex = lo;
  return false;
}

bool TmvTableLockContainer::FindRecordLock(TmvRefNr aRefNr, int32_t& aIndex) const {
  int32_t lo = 0, hi = tlcRecordLockListCount - 1;
  while (lo <= hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    const TmvRefNr r = tlcRecordLockList[size_t(mid)].rlRefNr;
    if (r == aRefNr) {
      aIndex = mid;
      return true;
    }
    if (r < aRefNr)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  aIndex = lo;
  return false;
}

namespace {

// Inserts at aIndex by moving the tail up; the array grows by kGrowBy
// entries when it is full.
template <typename T>
void InsertAt(std::vector<T>& aList, int32_t& aCount, int32_t aIndex, const T& aItem) {
  if (aCount == int32_t(aList.size())) aList.resize(aList.size() + kGrowBy);
  for (int32_t i = aCount; i > aIndex; --i) aList[size_t(i)] = aList[size_t(i - 1)];
  aList[size_t(aIndex)] = aItem;
  ++aCount;
}

template <typename T>
void DeleteAt(std::vector<T>& aList, int32_t& aCount, int32_t aIndex) {
  for (int32_t i = aIndex; i + 1 < aCount; ++i) aList[size_t(i)] = aList[size_t(i + 1)];
  --aCount;
}

}  // namespace

void TmvTableLockContainer::InsertReadLock(int32_t aIndex, TmvLockingCursor* aCursor) {
  InsertAt(tlcReadLockList, tlcReadLockListCount, aIndex, TmvCursorLock{aCursor, 1});
}

void TmvTableLockContainer::InsertRecordLock(int32_t aIndex, TmvLockingCursor* aCursor, TmvRefNr aRefNr) {
  InsertAt(tlcRecordLockList, tlcRecordLockListCount, aIndex, TmvRecordLock{aCursor, aRefNr});
  for (int32_t i = 1; i < tlcRecordLockListCount; ++i)
    MV_ASSERT(tlcRecordLockList[size_t(i - 1)].rlRefNr < tlcRecordLockList[size_t(i)].rlRefNr);
}

void TmvTableLockContainer::DeleteReadLock(int32_t aIndex) {
  DeleteAt(tlcReadLockList, tlcReadLockListCount, aIndex);
}

void TmvTableLockContainer::DeleteRecordLock(int32_t aIndex) {
  DeleteAt(tlcRecordLockList, tlcRecordLockListCount, aIndex);
}

// ---------------------------------------------------------------------------
// Decisions (gate held)

bool TmvTableLockContainer::BoundElsewhere(TmvBaseTransaction* aTrans) const {
  TmvBaseTransaction* bound = tlcTrans.load(std::memory_order_relaxed);
  return bound && bound != aTrans;
}

TmvTableLockContainer::TDecision TmvTableLockContainer::DecideRead(TmvBaseTransaction* aTrans,
                                                                   TmvLockingCursor* aCursor) {
  if (BoundElsewhere(aTrans)) return {lrConflictTransaction, nullptr};
  if (tlcRecordLockListCount > 0)
    return {tlcRecordLockListCount == 1 ? lrConflictCursorRecordLockSingle : lrConflictCursorRecordLockMultiple,
            tlcRecordLockList[0].rlCursor};
  if (tlcWriteLockPresent > 0 && tlcWriteLockCursor != aCursor) return {lrConflictCursorWriteLock, tlcWriteLockCursor};
  int32_t index;
  if (FindReadLock(aCursor, index)) {
    ++tlcReadLockList[size_t(index)].clCount;
    return {lrGrantedExisting, nullptr};
  }
  InsertReadLock(index, aCursor);
  return {lrGrantedNew, nullptr};
}

TmvTableLockContainer::TDecision TmvTableLockContainer::DecideWrite(TmvBaseTransaction* aTrans,
                                                                    TmvLockingCursor* aCursor) {
  if (BoundElsewhere(aTrans)) return {lrConflictTransaction, nullptr};
  if (tlcWriteLockPresent > 0) {
    if (tlcWriteLockCursor != aCursor) return {lrConflictCursorWriteLock, tlcWriteLockCursor};
    ++tlcWriteLockPresent;
    return {lrGrantedExisting, nullptr};
  }
  if (tlcReadLockListCount == 0 || (tlcReadLockListCount == 1 && tlcReadLockList[0].clCursor == aCursor)) {
    // Two record locks of one other cursor already count as several.
    TDecision d{lrGrantedNew, nullptr};
    for (int32_t i = tlcRecordLockListCount - 1; i >= 0; --i) {
      TmvLockingCursor* holder = tlcRecordLockList[size_t(i)].rlCursor;
      if (holder == aCursor) continue;
      const bool second = d.Conflict != nullptr;
      d = {second ? lrConflictCursorRecordLockMultiple : lrConflictCursorRecordLockSingle, holder};
      if (second) break;
    }
    if (d.Result != lrGrantedNew) return d;
    tlcWriteLockPresent = 1;
    tlcWriteLockCursor = aCursor;
    return d;
  }
  if (tlcReadLockListCount == 1) return {lrConflictCursorReadLockSingle, tlcReadLockList[0].clCursor};
  TDecision d{lrConflictCursorReadLockSingle, nullptr};
  for (int32_t i = tlcReadLockListCount - 1; i >= 0; --i) {
    TmvLockingCursor* holder = tlcReadLockList[size_t(i)].clCursor;
    if (holder == aCursor) continue;
    const bool second = d.Conflict != nullptr;
    d = {second ? lrConflictCursorReadLockMultiple : lrConflictCursorReadLockSingle, holder};
    if (second) break;
  }
  return d;
}

TmvTableLockContainer::TDecision TmvTableLockContainer::DecideRecord(TmvBaseTransaction* aTrans,
                                                                     TmvLockingCursor* aCursor, TmvRefNr aRefNr) {
  if (tlcWriteLockPresent > 0 && tlcWriteLockCursor != aCursor) return {lrConflictCursorWriteLock, tlcWriteLockCursor};
  if (tlcReadLockListCount > 0)
    return {tlcReadLockListCount == 1 ? lrConflictCursorReadLockSingle : lrConflictCursorReadLockMultiple,
            tlcReadLockList[0].clCursor};
  int32_t index;
  if (FindRecordLock(aRefNr, index)) {
    TmvLockingCursor* holder = tlcRecordLockList[size_t(index)].rlCursor;
    if (holder == aCursor) return {lrGrantedExisting, nullptr};
    return {lrConflictCursorRecordLockSingle, holder};
  }
  if (BoundElsewhere(aTrans)) return {lrConflictTransaction, nullptr};
  InsertRecordLock(index, aCursor, aRefNr);
  return {lrGrantedNew, nullptr};
}

TmvAbstractSession* TmvTableLockContainer::ConflictSession(const TDecision& aDecision) const {
  if (aDecision.Result == lrConflictTransaction) return OwningSessionOf(tlcTrans.load(std::memory_order_relaxed));
  return aDecision.Conflict ? aDecision.Conflict->lcSession() : nullptr;
}

// ---------------------------------------------------------------------------
// Requests

TmvLockResult TmvTableLockContainer::GetReadLock(TmvBaseTransaction* aTrans, TmvLockingCursor* aCursor,
                                                 bool aConditional, TmvLockFailureReason* aReason) {
  return Request(lrtReadLock, aTrans, aCursor, 0, aConditional, aReason);
}

TmvLockResult TmvTableLockContainer::GetWriteLock(TmvBaseTransaction* aTrans, TmvLockingCursor* aCursor,
                                                  bool aConditional, TmvLockFailureReason* aReason) {
  return Request(lrtWriteLock, aTrans, aCursor, 0, aConditional, aReason);
}

TmvLockResult TmvTableLockContainer::GetRecordLock(TmvBaseTransaction* aTrans, TmvLockingCursor* aCursor,
                                                   TmvRefNr aRefNr, bool aConditional, TmvLockFailureReason* aReason) {
  return Request(lrtRecordLock, aTrans, aCursor, aRefNr, aConditional, aReason);
}

TmvLockResult TmvTableLockContainer::Request(TmvLockRequestType aType, TmvBaseTransaction* aTrans,
                                             TmvLockingCursor* aCursor, TmvRefNr aRefNr, bool aConditional,
                                             TmvLockFailureReason* aReason) {
  TmvAbstractSession* requester = aCursor->lcSession();
  TmvWaitingLockRequest* waiting = nullptr;
  bool waitFailed = false;
  try {
    for (;;) {
      {
        TmvPadlockGuard guard(&tlcGate);
        TDecision d = aType == lrtReadLock    ? DecideRead(aTrans, aCursor)
                      : aType == lrtWriteLock ? DecideWrite(aTrans, aCursor)
                                              : DecideRecord(aTrans, aCursor, aRefNr);
        const bool granted = IsGrant(d.Result);
        // A conflict within one session is never waited for: the holder
        // would wait for us in turn.
        // Nor is a conflict that no deadline lets us wait for.
        const bool noWait = aConditional || waitFailed || (!granted && ConflictSession(d) == requester) ||
                            (!granted && !waiting && mvGetOperationRemainingTime() <= kMinWaitMs);
        if (granted || noWait) {
          if (waiting) {
            delete waiting;
            waiting = nullptr;
            // The head may be grantable now; a request that gives up also
            // passes on the wake-up it may have swallowed.
            SignalHead();
          }
          if (!granted && aReason) FillReason(aReason, aType, d, requester);
          return d.Result;
        }
        if (!waiting) {
          waiting = new TmvWaitingLockRequest(this, aType, aCursor, aRefNr);
        } else if (aType == lrtRecordLock && waiting->wlrNext) {
          // Record requests pass the wake-up down the queue: the next one may
          // want another record.
          waiting->wlrNext->wlrEvent.SignalEvent();
        }
      }
      const uint32_t remaining = mvGetOperationRemainingTime();
      bool signalled = false;
      if (remaining > kMinWaitMs) {
        try {
          signalled = waiting->wlrEvent.WaitForQuietly(remaining) == WAIT_OBJECT_0;
        } catch (...) {
          signalled = false;
        }
      }
      if (!signalled) waitFailed = true;
    }
  } catch (...) {
    if (waiting) {
      TmvPadlockGuard guard(&tlcGate);
      delete waiting;
      SignalHead();
    }
    throw;
  }
}

void TmvTableLockContainer::SignalHead() {
  if (tlcWaitingHead) tlcWaitingHead->wlrEvent.SignalEvent();
}

void TmvTableLockContainer::FillReason(TmvLockFailureReason* aReason, TmvLockRequestType aType,
                                       const TDecision& aDecision, TmvAbstractSession* aRequester) const {
  aReason->Clear();
  const bool multiple =
      aDecision.Result == lrConflictCursorReadLockMultiple || aDecision.Result == lrConflictCursorRecordLockMultiple;
  String line = Format(u"The requested content %s could not be granted due to ", {String(RequestText(aType))});
  line += Format(multiple ? u"multiple %s conflicts." : u"a %s conflict.", {String(ConflictText(aDecision.Result))});
  line += mvMakeCustomInfoTag(u"LockError.Type", u"content") +
          mvMakeCustomInfoTag(u"LockError.Request", mvLockRequestTypeName(aType)) +
          mvMakeCustomInfoTag(u"LockError.Result", mvLockResultName(aDecision.Result));
  aReason->Add(line);
  aReason->Add(String());
  TmvAbstractSession* other = ConflictSession(aDecision);
  if (!other) {
    aReason->Add(u"The conflict occurred with an unknown session." + mvMakeCustomInfoTag(u"LockError.UnknownSession", u"1"));
  } else if (other == aRequester) {
    aReason->Add(mvMakeCustomInfoTag(u"LockError.SameSession", u"1"));
    aReason->SameSession = true;
  } else {
    aReason->Add(u"The conflict occurred with the following session:");
    other->asAddUserInfo(aReason);
  }
}

// ---------------------------------------------------------------------------
// Releases

bool TmvTableLockContainer::ReleaseReadLock(TmvLockingCursor* aCursor) {
  TmvPadlockGuard guard(&tlcGate);
  int32_t index;
  if (!FindReadLock(aCursor, index)) return false;
  if (--tlcReadLockList[size_t(index)].clCount == 0) {
    DeleteReadLock(index);
    SignalHead();
  }
  return true;
}

bool TmvTableLockContainer::ReleaseWriteLock(TmvLockingCursor* aCursor) {
  TmvPadlockGuard guard(&tlcGate);
  if (tlcWriteLockPresent == 0 || tlcWriteLockCursor != aCursor) return false;
  if (--tlcWriteLockPresent == 0) {
    tlcWriteLockCursor = nullptr;
    SignalHead();
  }
  return true;
}

bool TmvTableLockContainer::ReleaseRecordLock(TmvLockingCursor* aCursor, TmvRefNr aRefNr, TmvBaseTransaction* aTrans) {
  TmvPadlockGuard guard(&tlcGate);
  if (aTrans && MayBind(aTrans)) {
    TmvBaseTransaction* bound = tlcTrans.load(std::memory_order_relaxed);
    MV_ASSERT(!bound || bound == aTrans);
    if (!bound) tlcTrans.store(aTrans, std::memory_order_release);
  }
  int32_t index;
  if (!FindRecordLock(aRefNr, index) || tlcRecordLockList[size_t(index)].rlCursor != aCursor) return false;
  DeleteRecordLock(index);
  SignalHead();
  return true;
}

bool TmvTableLockContainer::RemoveCursorLocksOf(TmvLockingCursor* aCursor) {
  bool removed = false;
  int32_t index;
  if (FindReadLock(aCursor, index)) {
    DeleteReadLock(index);
    removed = true;
  }
  if (tlcWriteLockPresent > 0 && tlcWriteLockCursor == aCursor) {
    tlcWriteLockPresent = 0;
    tlcWriteLockCursor = nullptr;
    removed = true;
  }
  return removed;
}

bool TmvTableLockContainer::RemoveRecordLocksOf(TmvLockingCursor* aCursor) {
  const int32_t before = tlcRecordLockListCount;
  int32_t kept = 0;
  for (int32_t i = 0; i < tlcRecordLockListCount; ++i)
    if (tlcRecordLockList[size_t(i)].rlCursor != aCursor) tlcRecordLockList[size_t(kept++)] = tlcRecordLockList[size_t(i)];
  tlcRecordLockListCount = kept;
  return kept != before;
}

void TmvTableLockContainer::ClearCursorLocks(TmvLockingCursor* aCursor) {
  TmvPadlockGuard guard(&tlcGate);
  if (RemoveCursorLocksOf(aCursor)) SignalHead();
}

void TmvTableLockContainer::ClearRecordLocks(TmvLockingCursor* aCursor) {
  TmvPadlockGuard guard(&tlcGate);
  if (RemoveRecordLocksOf(aCursor)) SignalHead();
}

void TmvTableLockContainer::ClearAllLocks(TmvLockingCursor* aCursor) {
  TmvPadlockGuard guard(&tlcGate);
  const bool cursor = RemoveCursorLocksOf(aCursor);
  const bool records = RemoveRecordLocksOf(aCursor);
  if (cursor || records) SignalHead();
}

void TmvTableLockContainer::EndTransaction(TmvBaseTransaction* aTrans) {
  if (!tlcTrans.load(std::memory_order_acquire)) return;
  TmvPadlockGuard guard(&tlcGate);
  if (tlcTrans.load(std::memory_order_relaxed) != aTrans) return;
  tlcTrans.store(nullptr, std::memory_order_release);
  SignalHead();
}

// ---------------------------------------------------------------------------
// Queries and diagnostics

int32_t TmvTableLockContainer::IsReadLocked(TmvLockingCursor* aCursor) {
  TmvPadlockGuard guard(&tlcGate);
  if (tlcReadLockListCount == 0) return 0;
  int32_t index;
  return FindReadLock(aCursor, index) ? 1 : 2;
}

int32_t TmvTableLockContainer::IsWriteLocked(TmvLockingCursor* aCursor) {
  TmvPadlockGuard guard(&tlcGate);
  if (tlcWriteLockPresent == 0) return 0;
  return tlcWriteLockCursor == aCursor ? 1 : 2;
}

int32_t TmvTableLockContainer::IsRecordLocked(TmvLockingCursor* aCursor, TmvRefNr aRefNr) {
  TmvPadlockGuard guard(&tlcGate);
  int32_t index;
  if (!FindRecordLock(aRefNr, index)) return 0;
  return tlcRecordLockList[size_t(index)].rlCursor == aCursor ? 1 : 2;
}

namespace {

String Indexed(int32_t aIndex) { return u"[" + IntToStr(aIndex) + u"]"; }

}  // namespace

void TmvTableLockContainer::GetExceptionData(ImvExceptionDataContainer* aContainer) {
  TmvPadlockGuard guard(&tlcGate);
  ImvExceptionDataContainer* active = aContainer->AddContainer(u"ActiveLocks");
  ImvExceptionDataContainer* table = active->AddContainer(u"TableLocks");
  if (tlcWriteLockPresent > 0) {
    ImvExceptionDataContainer* write = table->AddContainer(u"WriteLock");
    write->AddInteger(u"Count", tlcWriteLockPresent);
    write->AddObject(u"Cursor", tlcWriteLockCursor->lcServerObject(), false);
  }
  ImvExceptionDataContainer* reads = table->AddContainer(u"ReadLocks");
  for (int32_t i = 0; i < tlcReadLockListCount; ++i) {
    ImvExceptionDataContainer* entry = reads->AddContainer(Indexed(i));
    entry->AddInteger(u"Count", tlcReadLockList[size_t(i)].clCount);
    entry->AddObject(u"Cursor", tlcReadLockList[size_t(i)].clCursor->lcServerObject(), false);
  }
  ImvExceptionDataContainer* records = active->AddContainer(u"RecordLocks");
  for (int32_t i = 0; i < tlcRecordLockListCount; ++i) {
    ImvExceptionDataContainer* entry = records->AddContainer(Indexed(i));
    entry->AddInteger(u"RefNr", tlcRecordLockList[size_t(i)].rlRefNr);
    entry->AddObject(u"Cursor", tlcRecordLockList[size_t(i)].rlCursor->lcServerObject(), false);
  }
  ImvExceptionDataContainer* queue = aContainer->AddContainer(u"WaitingLockRequest");
  int32_t i = 0;
  for (TmvWaitingLockRequest* r = tlcWaitingHead; r; r = r->wlrNext) {
    ImvExceptionDataContainer* entry = queue->AddContainer(Indexed(i++));
    entry->AddString(u"Type", mvLockRequestTypeName(r->wlrType));
    entry->AddObject(u"Cursor", r->wlrCursor->lcServerObject(), false);
    if (r->wlrType == lrtRecordLock) entry->AddInteger(u"RefNr", r->wlrRefNr);
  }
}
