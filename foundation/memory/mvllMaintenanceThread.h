// Foundation: the memory manager's maintenance thread.
//
// The only thread the foundation starts on its own. It wakes every 500 ms,
// or at once when a collect is requested, and gives back what the pools no
// longer use: every wake-up cleans the item pools and gives back the pages
// of released large blocks that have waited for reuse since the previous
// wake-up; a collect runs a full pass (which gives back all such pages); otherwise one step of a six-step schedule runs (0 the caches of idle
// threads, 1 and 3 the block pools, 2 and 4 the physical block pools, which
// this system never fills, 5 the spare chunks), so that a full cycle takes
// about three seconds. What it cleans is the manager's (TmvMaintenanceWork).
//
// A pass that fails is reported through the work's Report and counted; the
// thread survives ten failures and ends at the eleventh, which it reports
// too. A collect whose pass fails still ends, so that its caller does not
// wait out the timeout. Calls the operating system only.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/System.h"

// The work of the maintenance thread, supplied by the memory manager. Runs
// on the maintenance thread only.
class TmvMaintenanceWork {
 public:
  virtual void CleanupItemPools() = 0;
  virtual void AgeKeptPages() = 0;
  virtual void TakeBackIdleCaches() = 0;
  virtual void CleanupBlockPools() = 0;
  virtual void ReleaseSpareChunks() = 0;
  virtual void FullPass() = 0;
  // A failure the thread cannot raise to anyone; `ended` when the thread
  // ends because of it.
  virtual void Report(const String& message, bool ended) = 0;

 protected:
  ~TmvMaintenanceWork() = default;
};

// Thread safety: Collect and the status from any thread; Start and Stop from
// the owner only. Requires: the work outlives the thread (Stop before it goes).
class TmvMaintenanceThread {
 public:
  static constexpr int kFailuresSurvived = 10;

  explicit TmvMaintenanceThread(TmvMaintenanceWork& work) : fWork(work) {}
  ~TmvMaintenanceThread() { Stop(); }
  TmvMaintenanceThread(const TmvMaintenanceThread&) = delete;
  TmvMaintenanceThread& operator=(const TmvMaintenanceThread&) = delete;

  void Start();  // at most once
  void Stop();   // waits for the thread to end

  // Asks for a full pass and waits until it is done (or has failed), the
  // thread has ended, or 10 s have passed.
  void Collect();
  bool Running() const;
  // Failed passes so far; whether the thread ended because of them.
  int Failures() const;
  bool EndedByFailures() const;

 private:
  void Loop();
  void RunPass(bool collect, int& step);
  // Counts and reports the failure of the pass being run; true when the
  // thread must end.
  bool Failed(const String& what);

  TmvMaintenanceWork& fWork;
  // Stop and collect requests, the collect finished and done signals, under one lock.
  mutable std::mutex fLock;
  std::condition_variable fWake;
  std::condition_variable fSignal;
  bool fStop = false;
  bool fCollectRequest = false;
  bool fCollectFinished = false;
  bool fDone = false;
  int fFailures = 0;
  std::thread fThread;
};
