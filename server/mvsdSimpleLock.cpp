// Server engine: the session lock and the session statistics. See
// mvsdSimpleLock.h.
#include "server/mvsdSimpleLock.h"

#include <pthread.h>
#include <thread>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "platform/DateUtils.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "storage/transactions/mvsrCommit.h"

// ---------------------------------------------------------------------------
// Session statistics

namespace {

// The global list of records and the next session number, under one padlock
// that exists between the unit's start and stop.
TmvPadlock* gStatsPadlock = nullptr;
TmvSessionStats* gStatsHead = nullptr;
int32_t gNextSessionNumber = 0;

thread_local TmvSessionStats* tCurrentStats = nullptr;

// The performance counter: monotonic nanoseconds (its frequency is 10^9).
constexpr int64_t kCounterFrequency = 1000000000;

int64_t PerformanceCounter() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * kCounterFrequency + ts.tv_nsec;
}

// A thread's CPU time (kernel plus user) in 100-nanosecond units: the
// stand-in for the thread cycle count, which Linux does not give. A clock of
// a thread that has ended reads 0.
uint64_t ThreadCycles(clockid_t aClock) {
  timespec ts;
  if (clock_gettime(aClock, &ts) != 0) return 0;
  return (uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec)) / 100u;
}

}  // namespace

TmvSessionStats::TmvSessionStats(const String& aUserName, const String& aConnectedFrom)
    : assStarted(Now()), assUserName(aUserName), assConnectedFrom(aConnectedFrom) {
  MV_ASSERT(gStatsPadlock != nullptr);
  TmvPadlockGuard guard(gStatsPadlock);
  assNext = gStatsHead;
  gStatsHead = this;
  assSessionNumber = gNextSessionNumber++;
}

TmvSessionStats::~TmvSessionStats() {
  if (tCurrentStats == this) tCurrentStats = nullptr;
}

void TmvSessionStats::Enter() {
  TmvPadlockGuard guard(&assLock);
  if (assClosed != 0) return;
  assCurrentThread = GetCurrentThreadId();
  if (pthread_getcpuclockid(pthread_self(), &assThreadClock) != 0) assThreadClock = CLOCK_THREAD_CPUTIME_ID;
  assEnterThreadCycle = ThreadCycles(assThreadClock);
  assEnterTime = PerformanceCounter();
  ++assCounters[sscCalls];
  tCurrentStats = this;
}

void TmvSessionStats::FoldStay(int64_t aNow, uint64_t aCycles) {
  assCounters[sscTime] += aNow - assEnterTime;
  assCounters[sscCycles] += int64_t(aCycles - assEnterThreadCycle);
}

void TmvSessionStats::LeaveLocked() {
  if (assCurrentThread == 0) return;
  FoldStay(PerformanceCounter(), ThreadCycles(assThreadClock));
  assEnterTime = 0;
  assEnterThreadCycle = 0;
  assCurrentThread = 0;
}

void TmvSessionStats::Leave() {
  if (tCurrentStats == this) tCurrentStats = nullptr;
  TmvPadlockGuard guard(&assLock);
  if (assClosed != 0) return;
  LeaveLocked();
}

void TmvSessionStats::MarkClosed() {
  if (tCurrentStats == this) tCurrentStats = nullptr;
  TmvPadlockGuard guard(&assLock);
  if (assClosed != 0) return;
  LeaveLocked();
  assClosed = Now();
}

TmvSessionStats* TmvSessionStats::Current() { return tCurrentStats; }

TmvSessionStats* TmvSessionStats::Head() {
  if (!gStatsPadlock) return nullptr;
  TmvPadlockGuard guard(gStatsPadlock);
  return gStatsHead;
}

void TmvSessionStats::Count(TmvSessionStatsCounter aCounter, int64_t aCount) {
  TmvSessionStats* stats = tCurrentStats;
  if (!stats || aCounter > sscTransCorrupted) return;
  TmvPadlockGuard guard(&stats->assLock);
  stats->assCounters[aCounter] += aCount;
}

void TmvSessionStats::Update(TmvSessionStatsCounters& aCounters) {
  TmvPadlockGuard guard(&assLock);
  if (assCurrentThread != 0) {
    const int64_t now = PerformanceCounter();
    const uint64_t cycles = ThreadCycles(assThreadClock);
    FoldStay(now, cycles);
    assEnterTime = now;
    assEnterThreadCycle = cycles;
  }
  assExtClosed = assClosed;
  assExtCounters = assCounters;
  aCounters = assExtCounters;
  aCounters[sscTime] = assExtCounters[sscTime] / (kCounterFrequency / 1000);
}

uint32_t TmvSessionStats::CurrentThread() {
  TmvPadlockGuard guard(&assLock);
  return assCurrentThread;
}

// ---------------------------------------------------------------------------
// The session lock

TmvSimpleLock::TmvSimpleLock(TmvFailedCleanupEvent aFailedCleanup, TmvSessionStats* aStats)
    : slStats(aStats), slFailedCleanup(std::move(aFailedCleanup)) {}

TmvSimpleLock::~TmvSimpleLock() {
  if (slStats) {
    slStats->MarkClosed();
    slStats = nullptr;
  }
  // A destructor cannot raise: an owner left behind is a broken protocol,
  // reported instead.
  if (slLockingThread.load(std::memory_order_acquire) != 0)
    mvServerLogError(u"A session lock was destroyed while a thread still owned it");
}

bool TmvSimpleLock::GetInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvSimpleLock) {
    *obj = static_cast<ImvSimpleLock*>(this);
    _AddRef();
    return true;
  }
  return TmvInterfacedObject::GetInterface(iid, obj);
}

void TmvSimpleLock::SpinLock() {
  uint32_t expected = 0;
  while (!slFailedSpinlock.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
    expected = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TmvSimpleLock::SpinUnlock() {
  uint32_t expected = 1;
  if (!slFailedSpinlock.compare_exchange_strong(expected, 0, std::memory_order_release))
    throw EmvBaseException(MVERR_REENTERED);
}

void TmvSimpleLock::RunFailedCleanup() {
  TmvFailedCleanupEvent cleanup;
  SpinLock();
  cleanup = slFailedCleanup;
  SpinUnlock();
  if (!cleanup) return;
  try {
    cleanup(this);
  } catch (...) {
    mvServerLogCurrentException(u"Clean-up of a permanently failed session");
  }
}

void TmvSimpleLock::Lock() {
  if (mvFatalError.load(std::memory_order_acquire)) throw EmvBaseException(MVERR_TRANSACTIONCORRUPT, String(mvFatalErrorText));
  if (slFailedPermanent.load(std::memory_order_acquire))
    throw EmvBaseException(MVERR_INVALIDHNDL, String(SmvSessionPermanentlyFailed));
  if (slFailed.exchange(false, std::memory_order_acq_rel))
    throw EmvBaseException(MVERR_OPERATIONTIMEOUT, String(SmvProcessingCancelled));

  const uint32_t me = GetCurrentThreadId();
  uint32_t owner = 0;
  if (!slLockingThread.compare_exchange_strong(owner, me, std::memory_order_acq_rel)) {
    if (owner != me) throw EmvBaseException(MVERR_REENTERED);
    MV_ASSERT(slLockCount.load() >= 1);
  } else {
    MV_ASSERT(slLockCount.load() == 0);
  }
  if (slLockCount.fetch_add(1, std::memory_order_acq_rel) + 1 > 1) return;

  // Outermost entry: a cancel of the session reaches the running operation
  // through the thread's own cancel flag, linked for the time of this hold.
  TmvCancelFlag* threadFlag = mvHookGetCancelFlag();
  SpinLock();
  slFailedFlag = threadFlag;
  if (slFailedFlag) {
    slFailedOrg = slFailedFlag->load(std::memory_order_acquire);
    slFailedFlag->store(slFailed.load(std::memory_order_acquire), std::memory_order_release);
  }
  SpinUnlock();

  // A failure that came in while ownership was being taken: the level is
  // given back first (running the permanent failure's clean-up as Unlock
  // would), so that the lock is never left owned by a thread that has no
  // operation running.
  const bool permanent = slFailedPermanent.load(std::memory_order_acquire);
  if (permanent || slFailed.load(std::memory_order_acquire)) {
    if (!permanent) slFailed.store(false, std::memory_order_release);
    slLockCount.fetch_sub(1, std::memory_order_acq_rel);
    ReleaseOutermost(nullptr);
    if (permanent) throw EmvBaseException(MVERR_INVALIDHNDL, String(SmvSessionPermanentlyFailed));
    throw EmvBaseException(MVERR_OPERATIONTIMEOUT, String(SmvProcessingCancelled));
  }
  if (slStats) slStats->Enter();
}

void TmvSimpleLock::Unlock(uint32_t& aResult) {
  if (slLockingThread.load(std::memory_order_acquire) != GetCurrentThreadId()) throw EmvBaseException(MVERR_REENTERED);
  if (slLockCount.fetch_sub(1, std::memory_order_acq_rel) - 1 > 0) return;
  if (slStats) slStats->Leave();
  ReleaseOutermost(&aResult);
}

void TmvSimpleLock::ReleaseOutermost(uint32_t* aResult) {
  bool runCleanup = false;
  SpinLock();
  if (slFailedFlag) {
    slFailedFlag->store(slFailedOrg, std::memory_order_release);
    slFailedFlag = nullptr;
  }
  if (slFailedPermanent.load(std::memory_order_acquire) && !slFailedCleanedup) {
    slFailedCleanedup = true;
    runCleanup = true;
  } else if (aResult && slFailed.exchange(false, std::memory_order_acq_rel)) {
    if (*aResult == 0) *aResult = EmvBaseException::mvSetMessage(MVERR_OPERATIONTIMEOUT, String(SmvProcessingCancelledMaySucceed));
  }
  SpinUnlock();
  // Run while still owned (others are refused with 9990 meanwhile), but
  // outside the spin lock: the clean-up frees the session's objects, and a
  // Failed from another thread must not spin for that long.
  if (runCleanup) RunFailedCleanup();
  slLastLocked.store(GetTickCount64(), std::memory_order_release);
  uint32_t owner = GetCurrentThreadId();
  if (!slLockingThread.compare_exchange_strong(owner, 0, std::memory_order_acq_rel))
    throw EmvBaseException(MVERR_REENTERED);
}

void TmvSimpleLock::Failed(bool aPermanent, bool aWait) {
  if (aPermanent) slFailedPermanent.store(true, std::memory_order_release);
  bool runCleanup = false;
  SpinLock();
  const bool cleanupDue = slFailedPermanent.load(std::memory_order_acquire) && !slFailedCleanedup;
  if (!slFailed.load(std::memory_order_acquire) || cleanupDue) {
    slFailed.store(true, std::memory_order_release);
    if (slFailedFlag) slFailedFlag->store(true, std::memory_order_release);
    if (cleanupDue && slLockCount.load(std::memory_order_acquire) == 0) {
      slFailedCleanedup = true;
      runCleanup = true;
    }
    // Otherwise the owner's outermost Unlock runs the clean-up.
  }
  SpinUnlock();
  if (runCleanup) RunFailedCleanup();
  // Gives up silently after a minute: the caller goes on either way.
  if (aPermanent && aWait) slFailedCleanupDone.WaitFor(60000);
}

uint64_t TmvSimpleLock::LastLocked() {
  if (slLockingThread.load(std::memory_order_acquire) != 0) return GetTickCount64();
  return slLastLocked.load(std::memory_order_acquire);
}

void TmvSimpleLock::DisconnectFailedCleanup() {
  SpinLock();
  slFailedCleanup = nullptr;
  SpinUnlock();
}

bool TmvSimpleLock::FailedCleanedUp() {
  SpinLock();
  const bool started = slFailedCleanedup;
  SpinUnlock();
  return started;
}

// ---------------------------------------------------------------------------
// Unit start and stop

void mvsdSimpleLockInit() {
  gStatsPadlock = new TmvPadlock();
  gNextSessionNumber = 0;
  mvSessionStatsCountHook.store(&TmvSessionStats::Count, std::memory_order_release);
}

void mvsdSimpleLockFini() {
  mvResetSessionStatsCountHook();
  TmvSessionStats* stats = gStatsHead;
  gStatsHead = nullptr;
  while (stats) {
    TmvSessionStats* next = stats->Next();
    delete stats;
    stats = next;
  }
  delete gStatsPadlock;
  gStatsPadlock = nullptr;
}
