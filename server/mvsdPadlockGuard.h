// Server engine: a scope that holds a padlock (TmvPadlock, mvllSync.h).
//
// The server's owner lists each sit behind their own padlock; the guard
// takes it on construction and gives it back when the scope ends, also when
// an exception leaves the scope. A guard made with TryLock holds the padlock
// only when Owns() says so. Header only; calls the foundation's padlock.
#pragma once

#include "foundation/sync/mvllSync.h"

class TmvPadlockGuard {
 public:
  // Requires: aPadlock is not nil.
  explicit TmvPadlockGuard(TmvPadlock* aPadlock) : fPadlock(aPadlock) { fPadlock->Lock(); }
  struct TryTag {};
  TmvPadlockGuard(TmvPadlock* aPadlock, TryTag) : fPadlock(aPadlock->TryLock() ? aPadlock : nullptr) {}
  ~TmvPadlockGuard() {
    if (fPadlock) fPadlock->Unlock();
  }
  TmvPadlockGuard(const TmvPadlockGuard&) = delete;
  TmvPadlockGuard& operator=(const TmvPadlockGuard&) = delete;

  bool Owns() const { return fPadlock != nullptr; }

 private:
  TmvPadlock* fPadlock;
};
