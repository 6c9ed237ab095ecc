// Foundation: the memory manager's hook library.
//
// An optional, separately loadable library can watch or adjust every
// operation of the memory manager through 16 entry points, found by name; it
// is used only when all 16 are present. The manager table then calls each
// operation through a wrapper that calls the matching Before entry, the
// operation and the matching After entry (mvllMemoryManager.cpp). The library
// serves diagnostics; none is part of the engine. Calls the operating system
// only.
#pragma once

#include <cstddef>
#include <cstdint>

// The 16 entry points of a hook library, in the order of their names.
struct TmvMemoryHooks {
  void (*BeforeGetMem)(size_t& size);
  void (*AfterGetMem)(size_t size, void*& result);
  void (*BeforeFreeMem)(void*& p);
  void (*BeforeReallocMem)(void*& p, size_t& size);
  void (*AfterReallocMem)(size_t size, void*& result);
  void (*BeforeGetAllocSize)(void*& p);
  void (*AfterGetAllocSize)(void* p, size_t& result);
  void (*AfterBlockPoolCommittedAlloc)(void* block);
  void (*BeforeBlockPoolCommittedDispose)(void* block);
  void (*AfterBlockPoolCommittedLargeAlloc)(void* block);     // present, never called
  void (*BeforeBlockPoolCommittedLargeDispose)(void* block);  // present, never called
  void (*AfterBlockPoolPhysicalAlloc)(void* block);
  void (*BeforeBlockPoolPhysicalDispose)(void* block);
  void (*BeforeGetPool)(size_t& size);
  void (*AfterMemoryPoolAlloc)(uintptr_t pool, void*& result);
  void (*BeforeMemoryPoolDispose)(void*& item);
};
inline constexpr int mvMemoryHookCount = 16;
extern const char* const mvMemoryHookNames[mvMemoryHookCount];

// Fills hooks from a symbol lookup; false (hooks untouched) unless all 16 exist.
bool mvResolveMemoryHooks(void* (*lookup)(void* context, const char* name), void* context, TmvMemoryHooks& hooks);
// Looks for the hook library in these places, the first found winning: a
// module already loaded as "MorvaMM5Hook"; "<program path up to its last
// '.'>_MorvaMM5Hook.dll"; the same beside the module holding the manager;
// the path in the environment variable "MorvaMM5Hook". Loads it with dlopen;
// false when there is none or it lacks an entry point.
bool mvLoadMemoryHookLibrary(TmvMemoryHooks& hooks);

// Resets the x87 unit and sets its control word to 0x37F (all exceptions
// masked, extended precision, round to nearest), as the manager's own thread
// and a freshly loaded hook library expect it.
void mvResetFpuControlWord();
