// A program outside the engine's source tree that starts the foundation,
// uses it a little and stops it; it exits 0 when all went well.
#include <cstdio>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllUnits.h"

int main() {
  mvFoundationInit();
  void* p = mvGetMemPtr(100);
  mvFreeMem(p);
  const EmvBaseException e(8705);
  const bool ok = e.ErrorCode() == 8705 && !e.Message().empty();
  mvFoundationFini();
  std::puts(ok ? "consumer: ok" : "consumer: unexpected exception text");
  return ok ? 0 : 1;
}
