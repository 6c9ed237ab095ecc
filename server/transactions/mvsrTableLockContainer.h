// Server engine: the read, write and record locks of one table and the
// queue of requests that wait for them (unit mvsrTableLockContainer).
//
// Every open table owns one `TmvTableLockContainer`. Cursors ask it for
// locks before they change or protect records, and tell it when they let
// go; the transaction code tells it when a transaction ends. It never
// raises for a conflict: it answers a `TmvLockResult` (0 and 1 are grants,
// 2 to 8 conflicts) and, when asked, explains a definitive conflict in a
// `TmvLockFailureReason` (the cursor turns it into its error code).
//
// What excludes what: read locks and record locks exclude each other,
// whoever owns them; the write lock excludes every lock of other cursors
// but lets its owner keep a read lock and take record locks; a table bound
// to a transaction (a cursor released a changed record inside it) refuses
// every read and write request of other transactions, and their record
// requests for records that are not locked yet, until the transaction ends.
//
// Waiting: a request that meets a conflict it may wait for joins a FIFO
// queue and sleeps on its own auto-reset event for as long as the calling
// thread's operation deadline allows (only when more than 5 ms are left).
// Every release that removed something wakes the head of the queue; a
// granted waiter wakes the next one, and so does one that gives up. A
// conflict with the requester's own session (the holder's cursor, or the
// bound transaction, belongs to it) is never waited for.
//
// Ownership: the container belongs to its table; it does not own the
// cursors it records (they clear their locks before they go) nor the
// transaction it is bound to.
// Threads: every decision, release and queue change holds tlcGate, which
// is released before a wait. Calls the foundation's padlock and events,
// storage's deadlines and transactions, and the sessions (for the reason).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "foundation/sync/mvllSync.h"
#include "foundation/types/mvsdTypes.h"
#include "server/transactions/mvsrLockingCursor.h"
#include "storage/mvsrTypes.h"

class TmvBaseTransaction;
class TmvTableLockContainer;
class ImvExceptionDataContainer;

// One cursor's read lock: how often it took it.
struct TmvCursorLock {
  TmvLockingCursor* clCursor;
  int32_t clCount;
};
using TmvCursorLockList = std::vector<TmvCursorLock>;

// One locked record.
struct TmvRecordLock {
  TmvLockingCursor* rlCursor;
  TmvRefNr rlRefNr;
};
using TmvRecordLockList = std::vector<TmvRecordLock>;

// A request waiting in a container's queue. Made and freed only under the
// container's gate; made at the queue's tail, unlinked when freed.
class TmvWaitingLockRequest : public TmvObject {
 public:
  TmvWaitingLockRequest(TmvTableLockContainer* aContainer, TmvLockRequestType aType, TmvLockingCursor* aCursor,
                        TmvRefNr aRefNr);
  ~TmvWaitingLockRequest() override;

  TmvTableLockContainer* wlrContainer;
  TmvLockRequestType wlrType;
  TmvLockingCursor* wlrCursor;
  TmvRefNr wlrRefNr;  // record requests only
  TmvWaitingLockRequest* wlrPrev = nullptr;
  TmvWaitingLockRequest* wlrNext = nullptr;
  TmvEvent wlrEvent;
};

class TmvTableLockContainer : public TmvObject {
 public:
  TmvTableLockContainer();
  // Locks still held are not inspected. Requires: no request waiting (a
  // fault that is logged).
  ~TmvTableLockContainer() override;
  TmvTableLockContainer(const TmvTableLockContainer&) = delete;
  TmvTableLockContainer& operator=(const TmvTableLockContainer&) = delete;

  // The three requests. aTrans is the requester's transaction (nil: none);
  // with aConditional the request never waits; aReason (may be nil) is
  // filled on a definitive conflict.
  TmvLockResult GetReadLock(TmvBaseTransaction* aTrans, TmvLockingCursor* aCursor, bool aConditional,
                            TmvLockFailureReason* aReason);
  TmvLockResult GetWriteLock(TmvBaseTransaction* aTrans, TmvLockingCursor* aCursor, bool aConditional,
                             TmvLockFailureReason* aReason);
  TmvLockResult GetRecordLock(TmvBaseTransaction* aTrans, TmvLockingCursor* aCursor, TmvRefNr aRefNr,
                              bool aConditional, TmvLockFailureReason* aReason);

  // The cursor had a read lock (the write lock): its count drops by one,
  // and at 0 the lock goes.
  bool ReleaseReadLock(TmvLockingCursor* aCursor);
  bool ReleaseWriteLock(TmvLockingCursor* aCursor);
  // With aTrans (not corrupted or deadlocked), first binds the table to it
  // (a binding to another transaction is an assertion failure). Then: true
  // when the record was locked by aCursor and the lock went.
  bool ReleaseRecordLock(TmvLockingCursor* aCursor, TmvRefNr aRefNr, TmvBaseTransaction* aTrans);

  // 0: no such lock at all; 1: aCursor holds it; 2: only others hold it.
  int32_t IsReadLocked(TmvLockingCursor* aCursor);
  int32_t IsWriteLocked(TmvLockingCursor* aCursor);
  int32_t IsRecordLocked(TmvLockingCursor* aCursor, TmvRefNr aRefNr);

  // The cursor's read and write locks, whatever their counts; its record
  // locks; both.
  void ClearCursorLocks(TmvLockingCursor* aCursor);
  void ClearRecordLocks(TmvLockingCursor* aCursor);
  void ClearAllLocks(TmvLockingCursor* aCursor);

  // Unbinds the table when it is bound to aTrans.
  void EndTransaction(TmvBaseTransaction* aTrans);

  // The locks and the queue, for diagnostics.
  void GetExceptionData(ImvExceptionDataContainer* aContainer);

  // What the container holds (tests and diagnostics).
  TmvBaseTransaction* BoundTransaction() const { return tlcTrans.load(std::memory_order_acquire); }
  int32_t WaitingCount();
  bool Empty();

 private:
  friend class TmvWaitingLockRequest;
  // A decision: the result and the cursor it names (nil for a grant, a
  // transaction conflict, or none known).
  struct TDecision {
    TmvLockResult Result;
    TmvLockingCursor* Conflict;
  };
  // The request, its queue entry and the waits, as one loop.
  TmvLockResult Request(TmvLockRequestType aType, TmvBaseTransaction* aTrans, TmvLockingCursor* aCursor,
                        TmvRefNr aRefNr, bool aConditional, TmvLockFailureReason* aReason);
  TDecision DecideRead(TmvBaseTransaction* aTrans, TmvLockingCursor* aCursor);
  TDecision DecideWrite(TmvBaseTransaction* aTrans, TmvLockingCursor* aCursor);
  TDecision DecideRecord(TmvBaseTransaction* aTrans, TmvLockingCursor* aCursor, TmvRefNr aRefNr);
  // Bound to another transaction than aTrans.
  bool BoundElsewhere(TmvBaseTransaction* aTrans) const;
  // The session the conflict is with: the bound transaction's owner for a
  // transaction conflict, else the conflicting cursor's; nil when unknown.
  TmvAbstractSession* ConflictSession(const TDecision& aDecision) const;
  void FillReason(TmvLockFailureReason* aReason, TmvLockRequestType aType, const TDecision& aDecision,
                  TmvAbstractSession* aRequester) const;
  // Wakes the request at the head of the queue.
  void SignalHead();

  // Binary searches: the index found (true) or where to insert.
  bool FindReadLock(TmvLockingCursor* aCursor, int32_t& aIndex) const;
  bool FindRecordLock(TmvRefNr aRefNr, int32_t& aIndex) const;
  void InsertReadLock(int32_t aIndex, TmvLockingCursor* aCursor);
  void InsertRecordLock(int32_t aIndex, TmvLockingCursor* aCursor, TmvRefNr aRefNr);
  void DeleteReadLock(int32_t aIndex);
  void DeleteRecordLock(int32_t aIndex);
  // Removes every record lock of the cursor: true when any went.
  bool RemoveRecordLocksOf(TmvLockingCursor* aCursor);
  bool RemoveCursorLocksOf(TmvLockingCursor* aCursor);

  TmvPadlock tlcGate;
  // Read outside the gate by EndTransaction's first look.
  std::atomic<TmvBaseTransaction*> tlcTrans{nullptr};
  TmvWaitingLockRequest* tlcWaitingHead = nullptr;
  TmvWaitingLockRequest* tlcWaitingTail = nullptr;
  int32_t tlcWriteLockPresent = 0;
  TmvLockingCursor* tlcWriteLockCursor = nullptr;
  // Sorted by the cursors' numbers.
  TmvCursorLockList tlcReadLockList;
  int32_t tlcReadLockListCount = 0;
  // Sorted strictly by RefNr (signed).
  TmvRecordLockList tlcRecordLockList;
  int32_t tlcRecordLockListCount = 0;
};

// The enumeration names ("lrtWriteLock", "lrConflictTransaction", ...).
String mvLockRequestTypeName(TmvLockRequestType aType);
String mvLockResultName(TmvLockResult aResult);
