// Foundation: the memory manager's maintenance thread (see
// mvllMaintenanceThread.h).
#include "foundation/memory/mvllMaintenanceThread.h"

#include <sys/resource.h>

#include <chrono>
#include <exception>

#include "foundation/memory/mvllMemoryHooks.h"
#include "platform/SysUtils.h"

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
  bool ended = false;
  while (!ended) {
    bool collect;
    {
      std::unique_lock<std::mutex> lock(fLock);
      fWake.wait_for(lock, std::chrono::milliseconds(500), [this] { return fStop || fCollectRequest; });
      if (fStop) break;
      collect = fCollectRequest;
      fCollectRequest = false;
    }
    try {
      RunPass(collect, step);
    } catch (const std::exception& e) {
      ended = Failed(ExceptionClassNameOf(e) + u": " + ExceptionMessageOf(e));
    } catch (...) {
      ended = Failed(u"(not an exception object)");
    }
    if (collect) {
      std::lock_guard<std::mutex> lock(fLock);
      fCollectFinished = true;
      fSignal.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(fLock);
  fDone = true;
  fSignal.notify_all();
}

void TmvMaintenanceThread::RunPass(bool collect, int& step) {
  fWork.CleanupItemPools();
  fWork.AgeKeptPages();
  if (collect) {
    fWork.FullPass();
    return;
  }
  const int now = step;
  step = (step + 1) % 6;
  switch (now) {
    case 0: fWork.TakeBackIdleCaches(); break;
    case 1:
    case 3: fWork.CleanupBlockPools(); break;
    case 5: fWork.ReleaseSpareChunks(); break;
    default: break;  // 2 and 4: the physical pools, which this system never fills
  }
}

bool TmvMaintenanceThread::Failed(const String& what) {
  int failures;
  {
    std::lock_guard<std::mutex> lock(fLock);
    failures = ++fFailures;
  }
  const bool ended = failures > kFailuresSurvived;
  fWork.Report(Format(u"Memory manager maintenance pass failed (%d): %s", {failures, what}), false);
  if (ended)
    fWork.Report(Format(u"Memory manager maintenance thread ended after %d failed passes", {failures}), true);
  return ended;
}

bool TmvMaintenanceThread::Running() const {
  std::lock_guard<std::mutex> lock(fLock);
  return !fDone;
}

int TmvMaintenanceThread::Failures() const {
  std::lock_guard<std::mutex> lock(fLock);
  return fFailures;
}

bool TmvMaintenanceThread::EndedByFailures() const {
  std::lock_guard<std::mutex> lock(fLock);
  return fFailures > kFailuresSurvived;
}

void TmvMaintenanceThread::Collect() {
  std::unique_lock<std::mutex> lock(fLock);
  if (fDone) return;
  fCollectFinished = false;
  fCollectRequest = true;
  fWake.notify_all();
  fSignal.wait_for(lock, std::chrono::milliseconds(10000), [this] { return fCollectFinished || fDone; });
}
