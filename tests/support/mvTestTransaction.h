// Test support: the one storage transaction of the tests and benchmarks,
// driven as the server drives its own, over a block cache.
#pragma once

#include "storage/cache/mvsrBufferManager.h"
#include "storage/transactions/mvsrCommit.h"
#include "storage/transactions/mvsrTransaction.h"

// A transaction driven as the server drives its own: a nested commit merges
// the level into its parent, the outermost commit goes through a flush list
// and writes; ending a pending nesting by a rollback marks the level
// corrupted instead.
class TTestTransaction : public TmvBaseTransaction {
 public:
  explicit TTestTransaction(TmvBufferManager* aCache, bool aSnapshot = false)
      : TmvBaseTransaction(aCache, nullptr, aSnapshot, false) {}

  void Commit() override {
    TmvBaseTransactionLevel* level = TransLevel();
    if (!level->StopNested()) return;
    TmvBufferManager* cache = TransBufferManager();
    if (level->tlLevel > 0) {
      cache->CommitTransaction(this, nullptr, false);
      level->Parent()->tlLSN = level->tlLSN;
    } else {
      TmvFlushList list;
      cache->CommitTransaction(this, &list, false);
      list.Flush(false);
    }
    FreeLevel();
    if (TransLevel() && btWriteThroughCommit && !Nested()) {
      btWriteThroughCommit = false;
      cache->CommitTransaction(this, nullptr, true);
    }
  }
  void Rollback() override {
    TmvBaseTransactionLevel* level = TransLevel();
    if (!level->StopNested()) {
      level->MarkCorrupted();
      return;
    }
    TransBufferManager()->RollbackTransaction(this);
    FreeLevel();
  }
  bool Ended() const { return TransLevel() == nullptr; }
  // Rolls back whatever is still open (a test that stops half-way).
  void End() {
    while (!Ended()) {
      while (TransLevel()->tlNestingCount > 0) TransLevel()->StopNested();
      Rollback();
    }
  }
};
