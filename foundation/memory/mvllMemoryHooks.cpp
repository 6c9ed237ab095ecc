// Foundation: the memory manager's hook library (see mvllMemoryHooks.h).
#include "foundation/memory/mvllMemoryHooks.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

const char* const mvMemoryHookNames[mvMemoryHookCount] = {
    "BeforeGetMem",
    "AfterGetMem",
    "BeforeFreeMem",
    "BeforeReallocMem",
    "AfterReallocMem",
    "BeforeGetAllocSize",
    "AfterGetAllocSize",
    "AfterBlockPoolCommittedAlloc",
    "BeforeBlockPoolCommittedDispose",
    "AfterBlockPoolCommittedLargeAlloc",
    "BeforeBlockPoolCommittedLargeDispose",
    "AfterBlockPoolPhysicalAlloc",
    "BeforeBlockPoolPhysicalDispose",
    "BeforeGetPool",
    "AfterMemoryPoolAlloc",
    "BeforeMemoryPoolDispose"};

bool mvResolveMemoryHooks(void* (*lookup)(void*, const char*), void* context, TmvMemoryHooks& hooks) {
  static_assert(sizeof(TmvMemoryHooks) == mvMemoryHookCount * sizeof(void*));
  void* found[mvMemoryHookCount];
  for (int i = 0; i < mvMemoryHookCount; ++i)
    if (!(found[i] = lookup(context, mvMemoryHookNames[i]))) return false;
  std::memcpy(&hooks, found, sizeof(hooks));
  return true;
}

void mvResetFpuControlWord() {
#if defined(__x86_64__) || defined(__i386__)
  const uint16_t cw = 0x37F;
  asm volatile("fninit\n\tfldcw %0" : : "m"(cw));
#endif
}

namespace {

void* DlLookup(void* handle, const char* name) { return dlsym(handle, name); }

// "<folder>/<file name up to its last '.'>_MorvaMM5Hook.dll", when shorter
// than 260 characters.
std::string HookPathBeside(const std::string& module) {
  const size_t slash = module.rfind('/');
  const size_t dot = module.rfind('.');
  std::string stem = (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ? module.substr(0, dot)
                                                                                               : module;
  std::string path = stem + "_MorvaMM5Hook.dll";
  return path.size() < 260 ? path : std::string();
}

}  // namespace

bool mvLoadMemoryHookLibrary(TmvMemoryHooks& hooks) {
  std::string candidates[3];
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n > 0) candidates[0] = HookPathBeside(std::string(exe, size_t(n)));
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&mvLoadMemoryHookLibrary), &info) && info.dli_fname)
    candidates[1] = HookPathBeside(info.dli_fname);
  if (const char* env = std::getenv("MorvaMM5Hook")) candidates[2] = env;

  void* handle = dlopen("MorvaMM5Hook", RTLD_NOW | RTLD_NOLOAD);
  for (const std::string& path : candidates) {
    if (handle) break;
    if (!path.empty() && access(path.c_str(), R_OK) == 0) handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!handle) return false;
  mvResetFpuControlWord();
  if (mvResolveMemoryHooks(DlLookup, handle, hooks)) return true;
  dlclose(handle);
  return false;
}
