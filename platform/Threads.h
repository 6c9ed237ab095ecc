// Platform layer: the thread class the engine's threads derive from, and
// thread priorities.
//
// `TThread` runs `Execute` on its own std::thread. As on the platform the
// system was made for, a thread starts only once its object is fully
// constructed: create threads with `NewThread<T>(...)`, which constructs the
// object and then calls `AfterConstruction` (that starts it unless it was
// created suspended; descendants may extend the step, and an exception there
// destroys the object and reaches the creator). Destroy threads with
// FreeThread, which ends the thread (BeforeDestruction) before any
// destructor runs; the destructors end it too, but only after the derived
// parts are gone.
//
// Priorities are the platform's values (THREAD_PRIORITY_*); on Linux a
// thread's priority is its nice value, applied best-effort: raising it above
// normal needs privileges, and where the kernel refuses the value is still
// remembered so that a later read gives back what was set.
// Nothing here calls into the engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

#include "platform/SyncObjs.h"

inline constexpr int32_t THREAD_PRIORITY_IDLE = -15;
inline constexpr int32_t THREAD_PRIORITY_LOWEST = -2;
inline constexpr int32_t THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int32_t THREAD_PRIORITY_NORMAL = 0;
inline constexpr int32_t THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int32_t THREAD_PRIORITY_HIGHEST = 2;
inline constexpr int32_t THREAD_PRIORITY_TIME_CRITICAL = 15;

// The calling thread's priority, and setting it (false when the value is
// not one of the THREAD_PRIORITY_* values).
int32_t GetCurrentThreadPriority();
bool SetCurrentThreadPriority(int32_t aPriority);

class TThread {
 public:
  using TNotifyEvent = std::function<void(TThread*)>;

  explicit TThread(bool aCreateSuspended);
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // Marks the thread terminated, lets it run when it never started, and waits
  // for it to end.
  virtual ~TThread();

  // Starts the thread unless it was created suspended. Called once, by
  // NewThread, after the constructor.
  virtual void AfterConstruction();
  // Ends the thread before any destructor runs (FreeThread and a failed
  // NewThread call it): a running thread must not see its object's
  // destructors. Descendants that must wake their thread first extend it.
  virtual void BeforeDestruction() { TerminateAndJoin(); }
  // Starts a thread created suspended (no effect when already started).
  void Start();
  // Asks the thread to end; `Execute` polls `Terminated`.
  void Terminate() { terminated_.store(true, std::memory_order_release); }
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  // Waits until the thread ended (WAIT_OBJECT_0) or aTimeout ms passed.
  uint32_t WaitForHandle(uint32_t aTimeout);
  // Waits for the end of the thread without limit.
  void WaitFor() { WaitForHandle(INFINITE); }

  uint32_t ThreadID() const { return threadId_.load(std::memory_order_acquire); }
  int32_t GetPriority() const { return priority_.load(std::memory_order_acquire); }
  // Before the start the priority is applied when the thread starts; on a
  // running thread only the thread itself can change its nice value, so the
  // change takes effect at its next `ApplyPriority`.
  void SetPriority(int32_t aPriority);
  // The exception that ended `Execute`, if any.
  std::exception_ptr FatalException() const { return fatal_; }

  // Called on the ending thread after `Execute` when assigned.
  TNotifyEvent OnTerminate;

 protected:
  virtual void Execute() = 0;
  // Runs OnTerminate on the ending thread.
  virtual void DoTerminate();
  // Applies the stored priority to the calling (own) thread.
  void ApplyPriority();
  // Marks the thread terminated, starts it when it was created suspended and
  // never ran, and waits for its end. Idempotent; for destructors of
  // descendants whose state the thread uses.
  void TerminateAndJoin();

 private:
  void run();

  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};
  std::atomic<uint32_t> threadId_{0};
  std::atomic<int32_t> priority_{THREAD_PRIORITY_NORMAL};
  const bool createSuspended_;
  TOSEvent finishedEvent_{true, false};
  std::exception_ptr fatal_;
};

// Constructs a thread object and completes its construction; the one way to
// create a thread. When AfterConstruction raises, the object is destroyed and
// the exception continues to the caller.
template <typename T, typename... Args>
T* NewThread(Args&&... args) {
  T* t = new T(std::forward<Args>(args)...);
  try {
    t->AfterConstruction();
  } catch (...) {
    t->BeforeDestruction();
    delete t;
    throw;
  }
  return t;
}

// Ends the thread, then destroys the object and sets the variable to nil.
// The way to destroy a thread object.
template <typename T>
void FreeThread(T*& aThread) {
  T* t = aThread;
  aThread = nullptr;
  if (!t) return;
  t->BeforeDestruction();
  delete t;
}
