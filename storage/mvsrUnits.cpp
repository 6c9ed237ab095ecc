// Table storage: start-up and shutdown of the storage units, in order.
#include "storage/mvsrUnits.h"

#include <mutex>

#include "foundation/mvllUnits.h"
#include "storage/mvsrFileImplWin32.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/mvseTemporaryStorageChunked.h"

namespace {
std::mutex gUnitLock;
int gUnitUses = 0;
}  // namespace

void mvStorageInit() {
  std::lock_guard<std::mutex> guard(gUnitLock);
  if (gUnitUses++ > 0) return;
  mvFoundationInit();
  mvsrTimeoutHandlingInit();
  mvsrFileImplInit();
  mvseTemporaryStorageChunkedInit();
}

void mvStorageFini() {
  std::lock_guard<std::mutex> guard(gUnitLock);
  if (gUnitUses == 0 || --gUnitUses > 0) return;
  mvseTemporaryStorageChunkedFini();
  mvsrFileImplFini();
  mvsrTimeoutHandlingFini();
  mvFoundationFini();
}
