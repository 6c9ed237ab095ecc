// Server engine: the root table's side of the transactions' table locks
// (unit mvsrRootTableLocks).
//
// A root table carries, for every transaction that works on its content,
// one transaction-level table link (mvsrTransactionLevelTableLink.h) in one
// of its lists: the pending links (a FIFO), at most one pending upgrade, the
// granted links and the granted links of snapshot transactions. This
// component keeps those lists and decides the links: shared links of any
// number of transactions coexist; an exclusive link excludes every other
// granted link; a waiting exclusive request does not hold back a new shared
// request that meets only shared links, but processing the pending list is
// strictly FIFO. It also holds the two locks a commit takes on the table:
// the commit padlock, which keeps two commits of the table from flushing at
// the same time, and the content portal, which keeps readers outside
// transactions out while a commit publishes its blocks.
//
// The root table derives from it and tells it, through the rtl hooks, its
// name, its place in a transaction's link map, and how to reach the lock
// containers and engines of itself and its child tables.
//
// Threads: every list and every link state changes under
// srtTransLinksPadlock (re-entrant); the granting thread signals a waiter's
// event under it. Calls the links, the transactions and the foundation.
#pragma once

#include <cstdint>

#include "foundation/sync/mvllReadWritePortal.h"
#include "foundation/sync/mvllSync.h"
#include "storage/mvsrTypes.h"

class TmvBaseTransaction;
class TmvServerTransactionLevelTableLink;
class ImvExceptionDataContainer;

// The answer of a link's decision.
enum TmvLinkDecision : uint8_t { ldGrant, ldWait, ldFail };

class TmvRootTableLocks {
 public:
  TmvRootTableLocks() = default;
  // Requires: no link left in the lists (a fault that is logged).
  virtual ~TmvRootTableLocks();
  TmvRootTableLocks(const TmvRootTableLocks&) = delete;
  TmvRootTableLocks& operator=(const TmvRootTableLocks&) = delete;

  // --- What the table tells its locks.
  // The table's full name, for the conflict reasons.
  virtual String rtlFullName() = 0;
  // The table's key in a transaction's link map: the folder path, a
  // backslash and the table name.
  virtual String rtlTransLinkKey() = 0;
  // An unnamed temporary table: snapshot transactions may lock it
  // exclusively.
  virtual bool rtlIsTempUnnamed() = 0;
  // Unbinds aTrans from the lock container of the table and of each child.
  virtual void rtlEndTransaction(TmvBaseTransaction* aTrans) = 0;
  // Tells the BLOB and record engines of the table and of each child that
  // aTrans rolls back (they drop what they cached for it).
  virtual void rtlRollback(TmvBaseTransaction* aTrans) = 0;

  // --- The links; srtTransLinksPadlock held.
  // Grant, wait or fail; names the conflicting link in the request's reason
  // the first time (the reason is then let go).
  TmvLinkDecision srtDecideLink(TmvServerTransactionLevelTableLink* aLink);
  // Decides the pending upgrade, or the pending links from the head while
  // they need not wait; each decided link's event is signalled.
  void srtProcessPendingLinks();
  // Puts a link into the list its state names (pending, pending upgrade,
  // granted, snapshot granted), or takes it out of it.
  void srtAddLink(TmvServerTransactionLevelTableLink* aLink);
  void srtRemoveLink(TmvServerTransactionLevelTableLink* aLink);
  // The converted link leaves the transaction map and the lists (and, at the
  // upgrade's own level, its level: its cursors move and it is freed); the
  // granted upgrade takes its place.
  void srtCompleteUpgrade(TmvServerTransactionLevelTableLink* aUpgrade);
  // aLink is the only granted link.
  bool srtOnlyGrantedLink(TmvServerTransactionLevelTableLink* aLink) const;
  // Any link at all (pending upgrade, pending, granted, snapshot granted).
  bool srtHasTransLinks() const;
  // The granted links, in their order (diagnostics and tests).
  TmvServerTransactionLevelTableLink* FirstGrantedLink() const { return srtTransLinksGrantedHead; }
  TmvServerTransactionLevelTableLink* FirstPendingLink() const { return srtTransLinksPendingHead; }

  // Locked by an outermost commit from before it publishes until its flush
  // ended; tried by the inactivity test.
  TmvPadlock srtCommitPadlock;
  // Readers outside transactions enter for reading; a commit enters for
  // writing while it publishes.
  TmvInternalReadWritePortal srtContentPortal;
  TmvPadlock srtTransLinksPadlock;
  TmvServerTransactionLevelTableLink* srtTransLinksPendingUpgrade = nullptr;
  TmvServerTransactionLevelTableLink* srtTransLinksPendingHead = nullptr;
  TmvServerTransactionLevelTableLink* srtTransLinksPendingTail = nullptr;
  TmvServerTransactionLevelTableLink* srtTransLinksGrantedHead = nullptr;
  TmvServerTransactionLevelTableLink* srtTransLinksGrantedTail = nullptr;
  TmvServerTransactionLevelTableLink* srtTransLinksSnapshotGrantedHead = nullptr;
  TmvServerTransactionLevelTableLink* srtTransLinksSnapshotGrantedTail = nullptr;

 private:
  // Fills the request's reason (when it still has one) about aConflict, the
  // link that stands in the way (nil: none known).
  void FillLinkReason(TmvServerTransactionLevelTableLink* aLink, TmvServerTransactionLevelTableLink* aConflict);
};
