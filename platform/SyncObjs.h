// Platform layer: the operating system's waitable objects, clocks and thread
// identity, in the shape the engine's synchronisation code expects.
//
// Events and semaphores behave as the waitable objects of the platform the
// system was made for: an event is auto-reset (one waiter is released and the
// event resets itself) or manual-reset (stays set until reset); waits take a
// limit in milliseconds (INFINITE for none) and answer WAIT_OBJECT_0 or
// WAIT_TIMEOUT. The engine holds them through plain pointers ("handles") so
// that they can sit on its lock-free stacks. Built on std::mutex and
// std::condition_variable; tick counts come from CLOCK_MONOTONIC.
// Nothing here calls into the engine.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

inline constexpr uint32_t INFINITE = 0xFFFFFFFFu;
inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_TIMEOUT = 258;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFFu;

// Milliseconds since an arbitrary fixed moment (CLOCK_MONOTONIC); never goes back.
uint64_t GetTickCount64();

// The calling thread's id as the kernel knows it (never 0).
uint32_t GetCurrentThreadId();

// Makes every other running thread of the process pass a full memory barrier
// before it returns, so that a thread can pair its own barrier with others'
// plain (compiler-ordered) stores and loads. Linux: membarrier (private
// expedited), else the page-protection change whose TLB shootdown has the
// same effect. False when neither is available; nothing is then ordered.
bool FlushProcessWriteBuffers();

// An event object. All operations are thread-safe.
class TOSEvent {
 public:
  TOSEvent(bool manualReset, bool initialState);
  TOSEvent(const TOSEvent&) = delete;
  TOSEvent& operator=(const TOSEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  // Waits until the event is set or aTimeout ms passed. An auto-reset event
  // is reset by the wait that it releases.
  uint32_t WaitFor(uint32_t aTimeout);
  bool IsManualReset() const { return manual_; }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool signalled_;
  const bool manual_;
};
using TEventHandle = TOSEvent*;

// A counting semaphore with a maximum count. All operations are thread-safe.
class TOSSemaphore {
 public:
  TOSSemaphore(int32_t initialCount, int32_t maximumCount);
  TOSSemaphore(const TOSSemaphore&) = delete;
  TOSSemaphore& operator=(const TOSSemaphore&) = delete;

  // Adds one to the count; false (and nothing changes) at the maximum.
  bool Release();
  uint32_t WaitFor(uint32_t aTimeout);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int32_t count_;
  const int32_t max_;
};

// A re-entrant lock for the threads of one process. With a spin count, a
// thread that finds it held spins that many times before it blocks.
class TCriticalSection {
 public:
  explicit TCriticalSection(uint32_t spinCount = 0) : spinCount_(spinCount) {}
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;

  void Enter();
  bool TryEnter();
  // Requires: the calling thread holds the lock.
  void Leave();

 private:
  std::recursive_mutex m_;
  const uint32_t spinCount_;
};
