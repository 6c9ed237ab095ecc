// Foundation: the engine's thread classes.
//
//  - `TmvThread`: a named thread (its class name when unnamed) whose body's
//    platform exceptions go to an overridable hook.
//  - `TmvInternalInitThread`: its creator waits until the thread's own
//    initialisation (`DoBeforeExecute`) ran, and receives that step's
//    exception as its own; then the thread runs `InnerExecute`.
//  - `TmvInternalWaitThread`: after its work waits until its owner releases
//    it; `TmvInitThread` releases itself at once.
//  - `TmvTimerThread` / `TmvSimpleTimerThread`: run a piece of work every
//    interval (0: only when signalled); destruction wakes them at once.
//
// Create every thread with NewThread<T>(...) and destroy it with
// FreeThread (platform/Threads.h): the constructor only builds the object,
// the start and the handshake follow; FreeThread ends the thread (waking a
// timer or a waiting thread) before any destructor runs. Every thread starts with no
// operation deadline. Calls the platform layer, the engine exceptions and the
// synchronisation objects.
#pragma once

#include <exception>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/sync/mvllSync.h"
#include "platform/Threads.h"

MV_DECLARE_EXCEPTION(EmvThread, EmvBaseException)
MV_DECLARE_EXCEPTION(EmvInternalInitThread, EmvThread)
MV_DECLARE_EXCEPTION(EmvInternalWaitThread, EmvInternalInitThread)
MV_DECLARE_EXCEPTION(EmvInitThread, EmvInternalWaitThread)

class TmvThread : public TmvObject, public TThread {
 public:
  TmvThread(bool aCreateSuspended, int32_t aThreadPriority, const String& aName = String());
  ~TmvThread() override;

  const String& Name() const { return mvtName; }
  // Raises the thread's exception class with a code and text.
  [[noreturn]] virtual void RaiseThreadException(uint32_t aErrorCode, const String& aMsg) const;
  // Waits for the end of the thread (WAIT_OBJECT_0) or aTimeout ms.
  uint32_t WaitForEx(uint32_t aTimeout) { return WaitForHandle(aTimeout); }

  void AfterConstruction() override;

 protected:
  // The thread body.
  virtual void mvExecute() {}
  // Receives a platform exception that left the body.
  virtual void HandleException(Exception& /*aException*/) {}
  // Lets the thread end and waits for it (for destructors).
  void EndThread();

 private:
  void Execute() final;
  String mvtName;
};

class TmvInternalInitThread : public TmvThread {
 public:
  explicit TmvInternalInitThread(int32_t aThreadPriority, const String& aName = String());
  ~TmvInternalInitThread() override;
  [[noreturn]] void RaiseThreadException(uint32_t aErrorCode, const String& aMsg) const override;

  // Starts the thread, waits until DoBeforeExecute ran and raises its
  // exception here when it failed.
  void AfterConstruction() override;

 protected:
  virtual void DoBeforeExecute() {}
  virtual void DoAfterExecute() {}
  virtual void InnerExecute() {}

 private:
  void mvExecute() final;
  TOSSemaphore* itInitSemaphore;
  std::exception_ptr itInitException;
};

class TmvInternalWaitThread : public TmvInternalInitThread {
 public:
  explicit TmvInternalWaitThread(int32_t aThreadPriority, const String& aName = String());
  // Releases the wait, then lets the thread end and waits for it.
  ~TmvInternalWaitThread() override;
  [[noreturn]] void RaiseThreadException(uint32_t aErrorCode, const String& aMsg) const override;

  // Lets a thread that waits after its work end.
  void ReleaseWait() { wtWaitSemaphore.Release(); }
  void BeforeDestruction() override {
    ReleaseWait();
    TmvInternalInitThread::BeforeDestruction();
  }
  bool Waiting() const { return wtWaiting.load(std::memory_order_acquire); }

 protected:
  // Waits for the release.
  void DoAfterExecute() override;

 private:
  std::atomic<bool> wtWaiting{false};
  TOSSemaphore wtWaitSemaphore{0, 1};
};

class TmvInitThread : public TmvInternalWaitThread {
 public:
  using TmvInternalWaitThread::TmvInternalWaitThread;
  [[noreturn]] void RaiseThreadException(uint32_t aErrorCode, const String& aMsg) const override;
  void AfterConstruction() override;
};

class TmvTimerThread : public TmvInitThread {
 public:
  // aInterval in ms; 0: the work runs only when the timer event is signalled.
  TmvTimerThread(uint32_t aInterval, int32_t aThreadPriority, const String& aName = String());
  // Wakes the thread at once, waits for it, frees the event.
  ~TmvTimerThread() override;

  uint32_t Interval() const { return ttTimerInterval; }
  // Runs the work now.
  void Signal() { ttTimerEvent->SignalEvent(); }
  void BeforeDestruction() override { StopTimer(); }

 protected:
  virtual void TimerWork() = 0;
  // Ends the loop and waits for the thread (for destructors).
  void StopTimer();

 private:
  void InnerExecute() final;
  uint32_t ttTimerInterval;
  TmvEvent* ttTimerEvent;
};

class TmvSimpleTimerThread : public TmvTimerThread {
 public:
  // The method called as the timer work: code and object.
  using TmvTimerCallback = void (*)(void* aObject, TmvSimpleTimerThread* aThread);

  TmvSimpleTimerThread(uint32_t aInterval, int32_t aThreadPriority, TmvTimerCallback aCallback, void* aObject,
                       const String& aName = String());
  ~TmvSimpleTimerThread() override;

 protected:
  void TimerWork() override;

 private:
  TmvTimerCallback sttCallback;
  void* sttObject;
};

// Names of the thread priorities as components store them, and back; false
// for an unknown name or value.
bool mvThreadPriorityToIdent(int32_t aPriority, String& aIdent);
bool mvIdentToThreadPriority(std::u16string_view aIdent, int32_t& aPriority);
