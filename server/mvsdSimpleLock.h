// Server engine: the session lock and the session statistics (unit
// mvsdSimpleLock).
//
// Every session owns one `TmvSimpleLock`; the session and everything opened
// from it (databases, transaction contexts, cursors, statements) hold it
// through `ImvSimpleLock`, and every public operation runs between Lock and
// Unlock. The lock never waits: its owner may re-enter it, and any other
// thread is refused at once with 8455. It also carries the session's failure
// state: a cancel ("failed") that the running or the next operation turns
// into 15461, and a permanent failure after which every Lock is refused and
// the session's clean-up runs exactly once.
//
// `TmvSessionStats` is the optional per-session statistics record that the
// lock starts at each outermost Lock and stops at each outermost Unlock;
// table storage adds its counts to the calling thread's current record
// through the hook of storage/mvsrTypes.h, which this unit installs.
//
// Threads: ownership changes only by compare-exchange and the depth only by
// atomic increment and decrement; the failure fields are guarded by a spin
// lock, because Failed runs on foreign threads (a cancel or close from
// another thread). A statistics record has its own padlock and the global
// list of records one more. Calls the foundation and storage's deadline hooks
// only.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/sync/mvllSync.h"
#include "foundation/sync/mvllTimeoutHooks.h"
#include "platform/SyncObjs.h"
#include "storage/mvsrTypes.h"

// ---------------------------------------------------------------------------
// Session statistics

// The twelve totals of a record, indexed by TmvSessionStatsCounter.
using TmvSessionStatsCounters = std::array<int64_t, 12>;

class TmvSessionStats : public TmvObject {
 public:
  // Links the record at the head of the global list and gives it the next
  // session number (0 for the first record of the process's start).
  TmvSessionStats(const String& aUserName, const String& aConnectedFrom);
  ~TmvSessionStats() override;

  // A thread enters the session (outermost Lock): counts a call and starts
  // timing the thread's stay. Nothing once closed.
  virtual void Enter();
  // The thread leaves (outermost Unlock): adds the elapsed time and the
  // thread's CPU time to sscTime and sscCycles.
  virtual void Leave();
  // The session is gone (its lock destroyed): ends a stay in progress and
  // stamps the closing time. Records stay in the global list.
  virtual void MarkClosed();

  // The calling thread's current record, or nil.
  static TmvSessionStats* Current();
  // The newest record of the global list, or nil; older ones follow Next().
  static TmvSessionStats* Head();
  // Adds aCount to a counter of the calling thread's current record; nothing
  // without one. This is the hook storage counts through.
  static void Count(TmvSessionStatsCounter aCounter, int64_t aCount);

  // A copy of the counters, sscTime in milliseconds; a stay in progress is
  // folded in first (and timed on from now). Also takes the closing time
  // into ExtClosed().
  void Update(TmvSessionStatsCounters& aCounters);

  TmvSessionStats* Next() const { return assNext; }
  int32_t SessionNumber() const { return assSessionNumber; }
  TDateTime Started() const { return assStarted; }
  // The closing time as of the last Update (0 while open).
  TDateTime ExtClosed() const { return assExtClosed; }
  const String& UserName() const { return assUserName; }
  const String& ConnectedFrom() const { return assConnectedFrom; }
  // The kernel's id of the thread inside the session, 0 when none.
  uint32_t CurrentThread();

 private:
  // Folds the running stay into the counters; assLock held.
  void FoldStay(int64_t aNow, uint64_t aCycles);
  void LeaveLocked();

  TmvPadlock assLock;
  TmvSessionStats* assNext = nullptr;
  int32_t assSessionNumber = 0;
  TDateTime assStarted = 0;
  TDateTime assClosed = 0;  // 0 while open
  String assUserName;
  String assConnectedFrom;
  // The thread inside: its id (the stand-in for a duplicated thread handle)
  // and its CPU-time clock, so that Update can read it from another thread.
  uint32_t assCurrentThread = 0;
  clockid_t assThreadClock{};
  int64_t assEnterTime = 0;         // monotonic nanoseconds at entry
  uint64_t assEnterThreadCycle = 0;  // thread CPU time at entry, 100 ns units
  TmvSessionStatsCounters assCounters{};
  TDateTime assExtClosed = 0;
  TmvSessionStatsCounters assExtCounters{};
};

// ---------------------------------------------------------------------------
// The session lock

// What the lock tells a thread's exception logger about the session while
// the thread holds it (only with the diagnostics switch on, which is off in
// this system: the record is kept, not handed out).
struct TmvExceptionHookInfo {
  String ehiUserName;
  String ehiConnectedFrom;
  uint64_t ehiSessionID = 0;
  String ehiClient;
};

inline constexpr TGUID IID_ImvSimpleLock{0x4E3C21A7, 0x6B0D, 0x4F52, {0x9C, 0x17, 0x3A, 0x80, 0x5D, 0xE2, 0x11, 0x6F}};

class ImvSimpleLock : public IInterface {
 public:
  // Enters the lock or raises EmvBaseException (15443 after a fatal error,
  // 9990 when permanently failed, 15461 for a pending cancel, 8455 when
  // another thread owns it); never waits.
  virtual void Lock() = 0;
  // Leaves one level; the outermost may turn a 0 result into 15461 (a cancel
  // arrived meanwhile) and runs a pending permanent-failure clean-up. Raises
  // 8455 when the calling thread is not the owner.
  virtual void Unlock(uint32_t& aResult) = 0;
  // A cancel (aPermanent false) or a permanent failure; with aWait, waits
  // at most 60,000 ms for the clean-up to finish.
  virtual void Failed(bool aPermanent, bool aWait) = 0;
  // The clean-up has finished: wakes every waiter, now and later.
  virtual void SetFailedCleanupDone() = 0;
  virtual bool IsFailedPermanent() = 0;
  // The current tick count while held, else the tick of the last outermost
  // release (0 before the first).
  virtual uint64_t LastLocked() = 0;

 protected:
  ~ImvSimpleLock() = default;
};

class TmvSimpleLock;
// The session's clean-up; called with the lock as sender.
using TmvFailedCleanupEvent = std::function<void(TmvSimpleLock* aSender)>;

// The texts of the lock's refusals.
inline constexpr char16_t SmvSessionPermanentlyFailed[] = u"This session has been marked as permanently failed";
inline constexpr char16_t SmvProcessingCancelled[] = u"Processing cancelled";
inline constexpr char16_t SmvProcessingCancelledMaySucceed[] =
    u"Processing cancelled. Operation may have partially or fully succeeded";

class TmvSimpleLock : public TmvInterfacedObject, public ImvSimpleLock {
 public:
  // Make with TmvInterfacedObject::Create. aStats (may be nil) is kept
  // until the lock goes; records themselves belong to the global list.
  TmvSimpleLock(TmvFailedCleanupEvent aFailedCleanup, TmvSessionStats* aStats);
  // Closes the statistics record. Requires: no thread owns the lock.
  ~TmvSimpleLock() override;

  int32_t QueryInterface(const TGUID& iid, void** obj) override { return TmvInterfacedObject::QueryInterface(iid, obj); }
  int32_t _AddRef() override { return TmvInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TmvInterfacedObject::_Release(); }

  void Lock() override;
  void Unlock(uint32_t& aResult) override;
  void Failed(bool aPermanent, bool aWait) override;
  void SetFailedCleanupDone() override { slFailedCleanupDone.SetEvent(); }
  bool IsFailedPermanent() override { return slFailedPermanent.load(std::memory_order_acquire); }
  uint64_t LastLocked() override;

  // The session is being torn down: a clean-up that has not started yet
  // will never call into it.
  void DisconnectFailedCleanup();

  TmvSessionStats* Stats() const { return slStats; }
  TmvExceptionHookInfo& ExceptionHookInfo() { return slExceptionHookInfo; }
  // The owner's thread id (0 when free) and the depth, for diagnostics.
  uint32_t LockingThread() const { return slLockingThread.load(std::memory_order_acquire); }
  int32_t LockCount() const { return slLockCount.load(std::memory_order_acquire); }
  // Whether the clean-up has been started.
  bool FailedCleanedUp();

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override;

 private:
  void SpinLock();
  // 8455 when the spin lock was not held.
  void SpinUnlock();
  // Leaves the outermost level: restores the thread's cancel flag, runs a
  // pending permanent-failure clean-up (or, with aResult, turns a pending
  // cancel into 15461), stamps the release time and gives up ownership.
  void ReleaseOutermost(uint32_t* aResult);
  // Runs the clean-up; its failures are logged, never raised.
  void RunFailedCleanup();

  TmvSessionStats* slStats;
  std::atomic<uint32_t> slLockingThread{0};
  std::atomic<int32_t> slLockCount{0};
  std::atomic<uint32_t> slFailedSpinlock{0};
  // Guarded by the spin lock (slFailed and slFailedPermanent are also read
  // without it, hence atomic).
  TmvCancelFlag* slFailedFlag = nullptr;
  bool slFailedOrg = false;
  std::atomic<bool> slFailed{false};
  std::atomic<bool> slFailedPermanent{false};
  TmvFailedCleanupEvent slFailedCleanup;
  bool slFailedCleanedup = false;
  TOSEvent slFailedCleanupDone{true, false};
  std::atomic<uint64_t> slLastLocked{0};
  TmvExceptionHookInfo slExceptionHookInfo;
};

// Unit start and stop: the global list's padlock and the storage hook;
// stopping frees every statistics record.
void mvsdSimpleLockInit();
void mvsdSimpleLockFini();
