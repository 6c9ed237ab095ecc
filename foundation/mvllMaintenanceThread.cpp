// Foundation: the memory manager's maintenance thread (see
// mvllMaintenanceThread.h).
#include "foundation/mvllMaintenanceThread.h"

#include <sys/resource.h>

#include <chrono>

#include "foundation/mvllMemoryHooks.h"

void TmvMaintenanceThread::Start() {
  if (!fThread.joinable()) fThread = std::thread([this] { Loop(); });
}

void TmvMaintenanceThread::Stop() {
  {
    std::lock_guard<std::mutex> lock(fLock);
    fStop = true;
    fWake.notify_all();
  }
  if (fThread.joinable()) fThread.join();
}

void TmvMaintenanceThread::Loop() {
  mvResetFpuControlWord();
  // Time-critical priority where the process may raise it; it spends almost
  // all its time waiting.
  setpriority(PRIO_PROCESS, 0, -20);
  int step = 0;
  int exceptions = 0;
  for (;;) {
    bool collect;
    {
      std::unique_lock<std::mutex> lock(fLock);
      fWake.wait_for(lock, std::chrono::milliseconds(500), [this] { return fStop || fCollectRequest; });
      if (fStop) break;
      collect = fCollectRequest;
      fCollectRequest = false;
    }
    try {
      fWork.CleanupItemPools();
      if (collect) {
        fWork.FullPass();
        std::lock_guard<std::mutex> lock(fLock);
        fCollectFinished = true;
        fSignal.notify_all();
      } else {
        switch (step) {
          case 1:
          case 3: fWork.CleanupBlockPools(); break;
          case 5: fWork.ReleaseSpareChunks(); break;
          default: break;  // 0 nothing; 2 and 4 the physical pools, which this system never fills
        }
        step = (step + 1) % 6;
      }
    } catch (...) {
      if (++exceptions > 10) break;
    }
  }
  std::lock_guard<std::mutex> lock(fLock);
  fDone = true;
  fSignal.notify_all();
}

bool TmvMaintenanceThread::Running() const {
  std::lock_guard<std::mutex> lock(fLock);
  return !fDone;
}

void TmvMaintenanceThread::Collect() {
  std::unique_lock<std::mutex> lock(fLock);
  if (fDone) return;
  fCollectFinished = false;
  fCollectRequest = true;
  fWake.notify_all();
  fSignal.wait_for(lock, std::chrono::milliseconds(10000), [this] { return fCollectFinished || fDone; });
}
