// Foundation: start-up and shutdown of the foundation units, in order.
#include "foundation/mvllUnits.h"

#include <mutex>

#include "foundation/mvllExceptionData.h"
#include "foundation/mvllExceptions.h"
#include "foundation/mvllFmtBcd.h"
#include "foundation/mvllMemoryManager.h"
#include "foundation/mvllSync.h"
#include "foundation/mvllWideString.h"

namespace {
std::mutex gUnitLock;
int gUnitUses = 0;
}  // namespace

void mvFoundationInit() {
  std::lock_guard<std::mutex> guard(gUnitLock);
  if (gUnitUses++ > 0) return;
  mvConnectProcessMemoryManager();
  mvllSyncInit();
  mvllWideStringInit();
  mvInitExceptionData();
  mvPatchFmtBcdVariantType();
}

void mvFoundationFini() {
  std::lock_guard<std::mutex> guard(gUnitLock);
  if (gUnitUses == 0 || --gUnitUses > 0) return;
  mvFinalizeExceptionData();
  mvFinalizeExceptions();
  mvllWideStringFini();
  mvllSyncFini();
  mvDisconnectProcessMemoryManager();
}
