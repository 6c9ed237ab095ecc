// Platform layer: TThread over std::thread, priorities as nice values.
#include "platform/Threads.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

thread_local int32_t currentPriority = THREAD_PRIORITY_NORMAL;

bool niceFor(int32_t priority, int& nice) {
  switch (priority) {
    case THREAD_PRIORITY_IDLE: nice = 19; return true;
    case THREAD_PRIORITY_LOWEST: nice = 10; return true;
    case THREAD_PRIORITY_BELOW_NORMAL: nice = 5; return true;
    case THREAD_PRIORITY_NORMAL: nice = 0; return true;
    case THREAD_PRIORITY_ABOVE_NORMAL: nice = -5; return true;
    case THREAD_PRIORITY_HIGHEST: nice = -10; return true;
    case THREAD_PRIORITY_TIME_CRITICAL: nice = -20; return true;
    default: return false;
  }
}

}  // namespace

int32_t GetCurrentThreadPriority() { return currentPriority; }

bool SetCurrentThreadPriority(int32_t aPriority) {
  int nice;
  if (!niceFor(aPriority, nice)) return false;
  currentPriority = aPriority;
  // Best-effort: without the privilege to raise it, the kernel refuses, and
  // the thread keeps its present nice value.
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(GetCurrentThreadId()), nice);
  return true;
}

TThread::TThread(bool aCreateSuspended) : createSuspended_(aCreateSuspended) {}

TThread::~TThread() { TerminateAndJoin(); }

void TThread::TerminateAndJoin() {
  Terminate();
  if (!started_.load(std::memory_order_acquire) && !createSuspended_) {
    // Construction failed before the thread was started: nothing runs.
  } else {
    Start();
  }
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
    else thread_.join();
  }
}

void TThread::AfterConstruction() {
  if (!createSuspended_) Start();
}

void TThread::Start() {
  bool expected = false;
  if (!started_.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return;
  thread_ = std::thread([this] { run(); });
}

void TThread::run() {
  threadId_.store(GetCurrentThreadId(), std::memory_order_release);
  ApplyPriority();
  try {
    Execute();
  } catch (...) {
    fatal_ = std::current_exception();
  }
  try {
    DoTerminate();
  } catch (...) {
    if (!fatal_) fatal_ = std::current_exception();
  }
  finished_.store(true, std::memory_order_release);
  finishedEvent_.SetEvent();
}

uint32_t TThread::WaitForHandle(uint32_t aTimeout) {
  if (!started_.load(std::memory_order_acquire)) return WAIT_TIMEOUT;
  return finishedEvent_.WaitFor(aTimeout);
}

void TThread::SetPriority(int32_t aPriority) {
  priority_.store(aPriority, std::memory_order_release);
  if (threadId_.load(std::memory_order_acquire) == GetCurrentThreadId()) ApplyPriority();
}

void TThread::ApplyPriority() { SetCurrentThreadPriority(priority_.load(std::memory_order_acquire)); }

void TThread::DoTerminate() {
  if (OnTerminate) OnTerminate(this);
}
