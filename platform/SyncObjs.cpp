// Platform layer: events, semaphores, critical sections and the tick count.
#include "platform/SyncObjs.h"

#include <linux/membarrier.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

enum class TBarrierKind { None, Membarrier, PageProtection };

struct TBarrier {
  TBarrierKind Kind = TBarrierKind::None;
  void* Page = nullptr;  // for the page-protection kind: locked, so it stays resident
};

TBarrier MakeBarrier() {
  TBarrier b;
  if (syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0) {
    b.Kind = TBarrierKind::Membarrier;
    return b;
  }
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page != MAP_FAILED && mlock(page, 4096) == 0) {
    b.Kind = TBarrierKind::PageProtection;
    b.Page = page;
  } else if (page != MAP_FAILED) {
    munmap(page, 4096);
  }
  return b;
}

}  // namespace

bool FlushProcessWriteBuffers() {
  static const TBarrier barrier = MakeBarrier();  // chosen once, on first use
  switch (barrier.Kind) {
    case TBarrierKind::Membarrier:
      return syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
    case TBarrierKind::PageProtection: {
      // The page is dirtied first, so that taking away access must flush the
      // TLBs of every processor running this process.
      static std::mutex lock;
      std::lock_guard<std::mutex> guard(lock);
      if (mprotect(barrier.Page, 4096, PROT_READ | PROT_WRITE) != 0) return false;
      __atomic_add_fetch(static_cast<int*>(barrier.Page), 1, __ATOMIC_SEQ_CST);
      return mprotect(barrier.Page, 4096, PROT_NONE) == 0;
    }
    case TBarrierKind::None: break;
  }
  return false;
}

uint64_t GetTickCount64() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t GetCurrentThreadId() {
  thread_local uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

namespace {

// Waits on cv until ready() holds or the limit passes; true when ready.
template <typename Pred>
bool waitWithLimit(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t timeout,
                   Pred ready) {
  if (timeout == INFINITE) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(timeout), ready);
}

}  // namespace

TOSEvent::TOSEvent(bool manualReset, bool initialState) : signalled_(initialState), manual_(manualReset) {}

// Notifies while holding the mutex: a waiter that wakes may destroy the
// event at once, so nothing may touch it after the lock is released.
void TOSEvent::SetEvent() {
  std::lock_guard<std::mutex> g(m_);
  signalled_ = true;
  if (manual_) cv_.notify_all();
  else cv_.notify_one();
}

void TOSEvent::ResetEvent() {
  std::lock_guard<std::mutex> g(m_);
  signalled_ = false;
}

uint32_t TOSEvent::WaitFor(uint32_t aTimeout) {
  std::unique_lock<std::mutex> lock(m_);
  if (!waitWithLimit(cv_, lock, aTimeout, [this] { return signalled_; })) return WAIT_TIMEOUT;
  if (!manual_) signalled_ = false;
  return WAIT_OBJECT_0;
}

TOSSemaphore::TOSSemaphore(int32_t initialCount, int32_t maximumCount)
    : count_(initialCount), max_(maximumCount) {}

bool TOSSemaphore::Release() {
  std::lock_guard<std::mutex> g(m_);
  if (count_ >= max_) return false;
  ++count_;
  cv_.notify_one();
  return true;
}

uint32_t TOSSemaphore::WaitFor(uint32_t aTimeout) {
  std::unique_lock<std::mutex> lock(m_);
  if (!waitWithLimit(cv_, lock, aTimeout, [this] { return count_ > 0; })) return WAIT_TIMEOUT;
  --count_;
  return WAIT_OBJECT_0;
}

void TCriticalSection::Enter() {
  for (uint32_t i = 0; i < spinCount_; ++i) {
    if (m_.try_lock()) return;
  }
  m_.lock();
}

bool TCriticalSection::TryEnter() { return m_.try_lock(); }

void TCriticalSection::Leave() { m_.unlock(); }
