// Server engine: the in-process transaction context (unit
// mvsrServerTransContext).
//
// `TmvServerTransContext` is what a session hands to its databases and
// cursors: it owns at most one server transaction at a time
// (mvsrServerTransaction.h) and starts, nests, commits and rolls it back.
// The public operations run in the session's boundary frame (deadline,
// session lock, exceptions turned into codes); the stc operations are the
// same work for callers that hold the lock already (the database, the
// cursors, the SQL layer). Extenders hear of every start, commit and
// rollback before (and may veto) and after.
//
// Once the context is marked failed (its session failed, or it is being
// destroyed) its transaction is rolled back and no new one starts (15443).
// After the process's fatal error (a failed flush) nothing starts or
// commits any more (15443).
//
// Threads: used under its session's lock; stcTransactionPadlock guards the
// creation and clearing of the transaction and the forced rollback, which
// may come from another thread. Calls the transactions, the engine's block
// cache, the extenders and, for a start with cursors, the cursors' content
// locks through `TmvTransactionCursors`.
#pragma once

#include <vector>

#include "foundation/sync/mvllSync.h"
#include "server/mvsdAbstractTransContext.h"

class TmvBufferManager;
class TmvServerTransaction;
class TmvServerTransContext;

// How a context reaches the cursors a transaction is started with. The
// server cursors provide it; without one no cursor counts as a server
// cursor (tests put stand-ins).
class TmvTransactionCursors {
 public:
  virtual ~TmvTransactionCursors() = default;
  // The context of aCursor's database when aCursor is a server cursor,
  // else nil.
  virtual TmvServerTransContext* ContextOf(TmvAbstractCursor* aCursor) = 0;
  // A table cursor takes its content lock, exclusive or shared: 0 or an
  // error code; 9990 for a cursor of another kind.
  virtual uint32_t BeginContentLock(TmvAbstractCursor* aCursor, bool aExclusive) = 0;
};
// Installs the access (nil: none) and answers the previous one.
TmvTransactionCursors* mvSetTransactionCursors(TmvTransactionCursors* aCursors);

class TmvServerTransContext : public TmvAbstractTransContext {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  // The session must belong to a server engine whose block cache exists.
  TmvServerTransContext(TmvAbstractSession* aSession, uint32_t aTimeout);
  ~TmvServerTransContext() override;

  // The public operations.
  uint32_t TransactionStart(bool aFailSafe, bool aSnapShot) override;
  uint32_t TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                const std::vector<TmvAbstractCursor*>& aCursors) override;
  uint32_t TransactionCommit() override;
  uint32_t TransactionRollback() override;
  uint32_t TransactionCorrupted() override;
  // 10257 without a transaction; else the innermost level's number,
  // pending nestings included.
  uint32_t TransactionGetLevel(int32_t& aTransLevel) override;
  uint32_t TransactionGetInfo(TmvTransactionInfo& aTransInfo, bool aAllowCached) override;

  // The transaction rolled back level by level until none is left.
  void atcForceRollback() override;
  // Marks the context failed, then tells the transaction.
  void Failed() override;

  // The operations for callers that hold the session lock. A start nests
  // when a transaction exists (aForceNested: even when the innermost level
  // asked for no more nesting); aNoMoreNested marks the new innermost level.
  uint32_t stcTransactionStart(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe, bool aNoMoreNested,
                               bool aForceNested, bool aOverrideSecurity);
  // Every cursor must be a server cursor of this context (else 9990); each
  // takes its content lock, exclusive unless aSnapShot; a failure rolls the
  // started level back.
  uint32_t stcTransactionStartWith(bool aFailSafe, bool aSnapShot, const std::vector<TmvAbstractCursor*>& aCursors,
                                   bool aOverrideForceFailsafe, bool aNoMoreNested, bool aForceNested,
                                   bool aOverrideSecurity);
  // 10257 without a transaction; 8455 while an iteration holds the level;
  // 15443 (corrupted or failed) or 10255 (deadlocked) without committing.
  uint32_t stcTransactionCommit();
  // 10257; 8455; otherwise always possible (a corrupted transaction too).
  uint32_t stcTransactionRollback();
  uint32_t stcTransactionMarkCorrupted();

  TmvServerTransaction* Transaction() const { return stcTransaction; }
  TmvBufferManager* stcBufferManager() const { return stcCache; }

  TmvPadlock stcTransactionPadlock;
  TmvServerTransaction* stcTransaction = nullptr;
  bool stcForceFailSafe = false;

 private:
  // A new transaction, or one level more (its before-notification may
  // veto); no after-notification.
  uint32_t StartLevel(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe, bool aForceNested,
                      bool aOverrideSecurity);
  // The locked-level refusal (8455), raised.
  void CheckNotLocked();
  // 15443 with the fatal text after a failed flush, else 0.
  static uint32_t FatalState();

  TmvBufferManager* stcCache;
};
