// Benchmarks: a storage transaction committed and rolled back as the server
// does with its own (the outermost level through a flush list).
#pragma once

#include "storage/transactions/mvsrCommit.h"
#include "storage/transactions/mvsrTransaction.h"

class BenchTransaction : public TmvBaseTransaction {
 public:
  explicit BenchTransaction(TmvBufferManager* aCache) : TmvBaseTransaction(aCache, nullptr, false, false) {}
  void Commit() override {
    TmvFlushList list;
    TransBufferManager()->CommitTransaction(this, &list, false);
    list.Flush(false);
    FreeLevel();
  }
  void Rollback() override {
    TransBufferManager()->RollbackTransaction(this);
    FreeLevel();
  }
};
