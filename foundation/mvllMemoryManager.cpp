// Foundation: provisional allocation routines over the system allocator.
#include "foundation/mvllMemoryManager.h"

#include <cstdlib>
#include <cstring>

void mvGetMem(void*& p, size_t size) {
  if (size == 0) { p = nullptr; return; }
  p = std::malloc(size);
  if (!p) OutOfMemoryError();
}
void* mvGetMemPtr(size_t size) { void* p; mvGetMem(p, size); return p; }
void mvGetZeroedMem(void*& p, size_t size) { mvGetMem(p, size); if (p) std::memset(p, 0, size); }
void* mvGetZeroedMemPtr(size_t size) { void* p; mvGetZeroedMem(p, size); return p; }
void mvFreeMem(void* p) { std::free(p); }
void mvFreeMemAndNil(void*& p) { void* o = p; p = nullptr; std::free(o); }
void mvReallocMem(void*& p, size_t newSize) {
  if (!p) { mvGetMem(p, newSize); return; }
  if (newSize == 0) { void* o = p; p = nullptr; std::free(o); return; }
  void* n = std::realloc(p, newSize);
  if (!n) OutOfMemoryError();
  p = n;
}
void* TmvObject::operator new(size_t size) { return mvGetMemPtr(size); }
void TmvObject::operator delete(void* p) { mvFreeMem(p); }
