// Server engine: a transaction level's lock on a table's content, the
// transaction-level table link (unit mvsrTransactionLevelTableLink).
//
// A transaction that works on a table holds a table-level lock for its
// content: shared (several transactions read and write records under
// record locks) or exclusive (one transaction alone: schema changes, bulk
// operations, transactions started with cursors). Such a lock is a
// `TmvServerTransactionLevelTableLink`: it belongs to one level of one
// server transaction (mvsrServerTransaction.h) and to one root table
// (mvsrRootTableLocks.h), and the table's cursors of that transaction use
// it. A shared link is upgraded by a second, exclusive link that converts
// from it. Links of snapshot transactions never conflict.
//
// Where a link is: in its transaction's map (the link the transaction's
// cursors use for the table), in its level's list, and in the one table
// list its state names (pending, pending upgrade, granted or snapshot
// granted). A pending upgrade is in no map or level list yet; a failed link
// is nowhere.
//
// Ownership: the level owns its links (commit and rollback free them); a
// pending or failed link belongs to its requester, which frees it when its
// wait ends without a grant. The reason object is the requesting cursor's.
// Threads: the table lists and the link's state change under the table's
// srtTransLinksPadlock; the map and the level lists are the transaction's
// (its session's thread, or a granting thread while that session waits for
// the grant, both under the padlock). The wait happens outside the padlock.
// Calls the root table's side, the transactions and the foundation's events.
#pragma once

#include <cstdint>

#include "foundation/sync/mvllSync.h"
#include "server/transactions/mvsrLockingCursor.h"
#include "storage/mvsrTypes.h"

class TmvRootTableLocks;
class TmvServerTransaction;
class TmvServerTransactionLevel;

enum TmvServerTransactionLevelTableLinkState : uint8_t { ttlsPending, ttlsPendingUpgrade, ttlsGranted, ttlsFailed };

class TmvServerTransactionLevelTableLink : public TmvObject {
 public:
  // A new link of aTransactionLevel on aTable, decided at once: granted
  // (also completing an upgrade), pending (waiting) or failed. aConvertFrom
  // is the shared link an exclusive upgrade replaces (same table, same
  // transaction, same or outer level, not being upgraded already).
  // Requires: aTable's srtTransLinksPadlock held.
  static TmvServerTransactionLevelTableLink* Create(TmvServerTransactionLevel* aTransactionLevel,
                                                    TmvRootTableLocks* aTable, bool aExclusive,
                                                    TmvServerTransactionLevelTableLink* aConvertFrom,
                                                    TmvLockFailureReason* aReason);
  // Detaches its cursors, clears an upgrade's pair references, leaves the
  // map, its level list and its table list (the table's padlock taken),
  // frees its event. The table's pending links are not processed.
  ~TmvServerTransactionLevelTableLink() override;
  TmvServerTransactionLevelTableLink(const TmvServerTransactionLevelTableLink&) = delete;
  TmvServerTransactionLevelTableLink& operator=(const TmvServerTransactionLevelTableLink&) = delete;

  // Waits for a pending link with an event, for the calling thread's
  // remaining operation time (when more than 5 ms). 0 when the link is
  // granted, else 10249 "Lock time out.".
  uint32_t WaitFor();

  // The cursors that use the link; table padlock held.
  void AddCursor(TmvLockingCursor* aCursor);
  void RemoveCursor(TmvLockingCursor* aCursor);
  void MoveCursorsTo(TmvServerTransactionLevelTableLink* aLink);

  TmvServerTransaction* Transaction() const;
  bool Granted() const { return ttlState == ttlsGranted; }

  TmvLockFailureReason* ttlReason = nullptr;
  bool ttlTransactionAdded = false;
  bool ttlTransactionLevelAdded = false;
  TmvServerTransactionLevel* ttlTransactionLevel;
  TmvServerTransactionLevelTableLink* ttlTransactionLevelPrev = nullptr;
  TmvServerTransactionLevelTableLink* ttlTransactionLevelNext = nullptr;
  bool ttlTableAdded = false;
  TmvRootTableLocks* ttlTable;
  TmvServerTransactionLevelTableLink* ttlTablePrev = nullptr;
  TmvServerTransactionLevelTableLink* ttlTableNext = nullptr;
  TmvServerTransactionLevelTableLinkState ttlState = ttlsPending;
  bool ttlExclusive;
  bool ttlSnapshot = false;
  TmvServerTransactionLevelTableLink* ttlConvertFrom = nullptr;
  TmvServerTransactionLevelTableLink* ttlConvertTo = nullptr;
  // Made by the requester only when it may wait; signalled by the granting
  // thread.
  TmvEvent* ttlEvent = nullptr;
  TmvLockingCursor* ttlCursorsHead = nullptr;
  TmvLockingCursor* ttlCursorsTail = nullptr;

 private:
  TmvServerTransactionLevelTableLink(TmvServerTransactionLevel* aTransactionLevel, TmvRootTableLocks* aTable,
                                     bool aExclusive, TmvLockFailureReason* aReason);
};
