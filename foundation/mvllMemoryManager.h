// Foundation: the allocation interface and the engine's object base class.
//
// Every engine object and nearly every engine buffer comes from the engine's
// pooled memory manager through these routines. All are safe from any thread.
//
// NOTE: a provisional implementation over the system allocator stands behind
// these declarations until the pooled manager lands; callers only rely on the
// declarations below.
#pragma once

#include <cstddef>

#include "platform/SysUtils.h"

// Size 0 stores nil; otherwise a new block of `size` bytes. Raises the
// out-of-memory error when no memory can be had.
void mvGetMem(void*& p, size_t size);
void* mvGetMemPtr(size_t size);
void mvGetZeroedMem(void*& p, size_t size);
void* mvGetZeroedMemPtr(size_t size);
// nil is ignored; a block the manager rejects raises the invalid-pointer error.
void mvFreeMem(void* p);
// Takes the pointer out of the variable (which holds nil from then on) and frees it.
void mvFreeMemAndNil(void*& p);
// nil and 0: nothing; nil: as mvGetMem; 0: sets nil, then frees; otherwise
// resizes, keeping the old block in the variable when that fails.
void mvReallocMem(void*& p, size_t newSize);

template <typename T>
void mvGetMem(T*& p, size_t size) {
  void* v = nullptr;
  mvGetMem(v, size);
  p = static_cast<T*>(v);
}
template <typename T>
void mvReallocMem(T*& p, size_t newSize) {
  void* v = p;
  mvReallocMem(v, newSize);
  p = static_cast<T*>(v);
}

// Base class of nearly every engine object: instances come from the engine's
// memory manager.
class TmvObject {
 public:
  TmvObject() = default;
  virtual ~TmvObject() = default;

  static void* operator new(size_t size);
  static void operator delete(void* p);
};

// Takes the object out of the variable and destroys it when it was not nil;
// the engine's way of freeing an object held in a field.
template <typename T>
void mvFreeAndNil(T*& obj) {
  T* o = obj;
  obj = nullptr;
  delete o;
}
