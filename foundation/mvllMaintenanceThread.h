// Foundation: the memory manager's maintenance thread.
//
// The only thread the foundation starts on its own. It wakes every 500 ms,
// or at once when a collect is requested, and gives back what the pools no
// longer use: every wake-up cleans the item pools; a collect runs a full
// pass; otherwise one step of a six-step schedule runs (0 nothing, 1 and 3
// the block pools, 2 and 4 the physical block pools, which this system never
// fills, 5 the spare chunks), so that a full cycle takes about three seconds.
// What it cleans is the manager's (TmvMaintenanceWork). Calls the operating
// system only.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

// The work of the maintenance thread, supplied by the memory manager. Runs
// on the maintenance thread only.
class TmvMaintenanceWork {
 public:
  virtual void CleanupItemPools() = 0;
  virtual void CleanupBlockPools() = 0;
  virtual void ReleaseSpareChunks() = 0;
  virtual void FullPass() = 0;

 protected:
  ~TmvMaintenanceWork() = default;
};

// Thread safety: Collect and Running from any thread; Start and Stop from the
// owner only. Requires: the work outlives the thread (Stop before it goes).
class TmvMaintenanceThread {
 public:
  explicit TmvMaintenanceThread(TmvMaintenanceWork& work) : fWork(work) {}
  ~TmvMaintenanceThread() { Stop(); }
  TmvMaintenanceThread(const TmvMaintenanceThread&) = delete;
  TmvMaintenanceThread& operator=(const TmvMaintenanceThread&) = delete;

  void Start();  // at most once
  void Stop();   // waits for the thread to end

  // Asks for a full pass and waits until it is done, the thread has ended,
  // or 10 s have passed.
  void Collect();
  bool Running() const;

 private:
  void Loop();

  TmvMaintenanceWork& fWork;
  // Stop and collect requests, the collect finished and done signals, under one lock.
  mutable std::mutex fLock;
  std::condition_variable fWake;
  std::condition_variable fSignal;
  bool fStop = false;
  bool fCollectRequest = false;
  bool fCollectFinished = false;
  bool fDone = false;
  std::thread fThread;
};
