// Server engine: the server's transactions (unit mvsrServerTransaction).
//
// `TmvServerTransaction` is the storage transaction (levels of block copies
// in the block cache, storage/transactions/mvsrTransaction.h) together with
// the table locks its levels hold: each `TmvServerTransactionLevel` keeps
// the transaction-level table links made at (or moved to) it, and the
// transaction maps each table to the link its cursors use. Every server
// transaction is journalled: its outermost commit writes a rollback journal
// per folder whose table files it changes before it writes them.
//
// Commit of a nested level merges the level's block copies into its parent
// and moves its links there: every table lock stays until the outermost
// commit. The outermost commit, in this order: lets every shared link go,
// takes the commit padlock and enters the content portal for writing on
// every table it holds exclusively (in one order for every committer, so
// that two commits never wait for each other); publishes its blocks (the
// block cache's commit); unbinds the record locks of those tables, leaves
// each portal and lets each exclusive link go (waiting requests are
// granted); writes and syncs the files (a failure there is fatal for the
// process); and only then unlocks the commit padlocks. So readers outside
// transactions never see half a commit, and a second commit of a table
// waits until the first one's files are on disk.
//
// Rollback of a level drops its block copies and lets its links go (an
// upgrade gives the table back to the shared link it converted).
//
// Ownership: a transaction frees itself when its last level has ended
// (commit or rollback). `TmvServerTransContextOwnedTransaction` belongs to
// a transaction context and clears the context's pointer when it goes.
// Threads: used by its session's thread (the context's padlock guards only
// its creation and clearing); the table locks take their tables' padlocks.
// Calls storage's transactions and flush, the links and the root tables'
// side.
#pragma once

#include <cstdint>

#include "foundation/mvllFastStringList.h"
#include "foundation/types/mvsdTypes.h"
#include "storage/transactions/mvsrTransaction.h"

class TmvServerTransContext;
class TmvServerTransactionLevelTableLink;

class TmvServerTransactionLevel : public TmvBaseTransactionLevel {
 public:
  using TmvBaseTransactionLevel::TmvBaseTransactionLevel;
  // Frees the links still in the list (a transaction destroyed without its
  // commit or rollback).
  ~TmvServerTransactionLevel() override;

  void stlAddLink(TmvServerTransactionLevelTableLink* aLink);
  void stlRemoveLink(TmvServerTransactionLevelTableLink* aLink);
  TmvServerTransactionLevel* ParentLevel() const { return static_cast<TmvServerTransactionLevel*>(tlPrev); }

  TmvServerTransactionLevelTableLink* stlTableLinksHead = nullptr;
  TmvServerTransactionLevelTableLink* stlTableLinksTail = nullptr;
};

class TmvServerTransaction : public TmvBaseTransaction {
 public:
  // The first level on aBufferManager, journalled. A snapshot registers a
  // snapshot with the cache. aFailSafe is not kept (commits run alike).
  TmvServerTransaction(TmvBufferManager* aBufferManager, TPersistent* aOwningSession, bool aSnapshot, bool aFailSafe,
                       bool aOverrideForceFailsafe);
  ~TmvServerTransaction() override;

  // The innermost level: a pending nesting ends; a nested level merges into
  // its parent (links moved); the outermost level publishes, releases and
  // flushes (see above). The level goes; with the last one the transaction
  // frees itself. A failure before the blocks were published leaves the
  // transaction as it was (it can be rolled back); a failure of the flush
  // sets the process's fatal error.
  void Commit() override;
  // The innermost level: a pending nesting ends and marks the level
  // corrupted; otherwise its copies are dropped and its links let go, and
  // the level goes (with the last one the transaction frees itself).
  void Rollback() override;
  // Marks aLevel and every deeper level deadlocked, then rolls them back in
  // the cache and lets their links go, innermost first; the levels stay
  // (CheckState answers 10255) until the caller rolls them back.
  void stDeadlockRollback(TmvServerTransactionLevel* aLevel);
  void stGetInfo(TmvTransactionInfo& aInfo);

  // The link the transaction's cursors use for a table (nil: none).
  TmvServerTransactionLevelTableLink* stFindLink(const String& aKey) const;
  // The map; table padlock held where another thread could see the link.
  void stAddLink(TmvServerTransactionLevelTableLink* aLink);
  void stRemoveLink(TmvServerTransactionLevelTableLink* aLink);

  TmvServerTransactionLevel* InnermostLevel() const { return static_cast<TmvServerTransactionLevel*>(TransLevel()); }
  int32_t LinkCount() const { return stTableLinks.Count(); }

  // Key (folder path, backslash, table name) -> the link its cursors use.
  TmvFastStringListCS stTableLinks{dupError};
  // Kept for the SQL layer, which asks for no further nesting only at 0.
  int32_t stForceNested = 0;

 protected:
  // Frees the transaction when no level is left.
  void FreeWhenEnded();

 private:
  void CommitNested(TmvServerTransactionLevel* aLevel);
  void CommitOutermost(TmvServerTransactionLevel* aLevel);
  // Lets every link of aLevel go (rollback and deadlock rollback), then
  // tells the engines of the outer levels' tables that aLevel rolled back.
  void ReleaseLevelLinks(TmvServerTransactionLevel* aLevel);
};

class TmvServerTransContextOwnedTransaction : public TmvServerTransaction {
 public:
  // With the context's session as owner; the context's force-fail-safe
  // setting applies unless aOverrideForceFailsafe.
  TmvServerTransContextOwnedTransaction(TmvServerTransContext* aTransContext, bool aSnapshot, bool aFailSafe,
                                        bool aOverrideForceFailsafe);
  // Clears the context's pointer (under its padlock) when it names this one.
  ~TmvServerTransContextOwnedTransaction() override;

  TmvServerTransContext* stcotTransContext;
};
