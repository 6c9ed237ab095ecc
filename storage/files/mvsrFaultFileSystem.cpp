// Storage: a file system that fails on request. See mvsrFaultFileSystem.h.
#include "storage/files/mvsrFaultFileSystem.h"

#include <cerrno>

uint64_t TmvFaultFileSystem::Calls(TmvFileOp aOp) const {
  std::lock_guard<std::mutex> guard(ffsLock);
  return ffsCalls[aOp];
}

void TmvFaultFileSystem::Reset() {
  std::lock_guard<std::mutex> guard(ffsLock);
  for (int i = 0; i < mvFileOpCount; ++i) {
    ffsCalls[i] = 0;
    ffsFail[i] = Arm{};
    ffsShort[i] = Arm{};
  }
  ffsCrashAfter = 0;
  ffsCrashArmed = false;
  ffsCrashed = false;
}

void TmvFaultFileSystem::FailAt(TmvFileOp aOp, uint64_t aNth, int aErrno, uint64_t aCount) {
  std::lock_guard<std::mutex> guard(ffsLock);
  Arm& a = ffsFail[aOp];
  a.First = ffsCalls[aOp] + aNth;
  a.Last = a.First + aCount - 1;
  a.Errno = aErrno;
}

void TmvFaultFileSystem::ShortAt(TmvFileOp aOp, uint64_t aNth, size_t aBytes) {
  std::lock_guard<std::mutex> guard(ffsLock);
  Arm& a = ffsShort[aOp];
  a.First = a.Last = ffsCalls[aOp] + aNth;
  a.Limit = aBytes;
}

void TmvFaultFileSystem::CrashAfterWrites(uint64_t aWrites) {
  std::lock_guard<std::mutex> guard(ffsLock);
  ffsCrashAfter = ffsCalls[fopWrite] + aWrites;
  ffsCrashArmed = true;
  ffsCrashed = false;
}

bool TmvFaultFileSystem::Crashed() const {
  std::lock_guard<std::mutex> guard(ffsLock);
  return ffsCrashed;
}

TmvFaultFileSystem::Verdict TmvFaultFileSystem::Count(TmvFileOp aOp) {
  std::lock_guard<std::mutex> guard(ffsLock);
  const uint64_t n = ++ffsCalls[aOp];
  Verdict v;
  const Arm& f = ffsFail[aOp];
  if (f.First != 0 && n >= f.First && n <= f.Last) v.Errno = f.Errno;
  const Arm& s = ffsShort[aOp];
  if (s.First != 0 && n == s.First) v.Limit = s.Limit;
  if (aOp == fopWrite && ffsCrashArmed && n > ffsCrashAfter) ffsCrashed = true;
  v.Drop = ffsCrashed && (aOp == fopWrite || aOp == fopTruncate || aOp == fopPunchHole || aOp == fopSync ||
                          aOp == fopUnlink || aOp == fopRename);
  return v;
}

template <typename F>
auto TmvFaultFileSystem::Guarded(TmvFileOp aOp, F aCall) -> decltype(aCall(SIZE_MAX)) {
  const Verdict v = Count(aOp);
  if (v.Errno != 0) {
    errno = v.Errno;
    return -1;
  }
  if (v.Drop) return 0;
  return aCall(v.Limit);
}

int TmvFaultFileSystem::Open(const std::string& aPath, int aFlags, mode_t aMode) {
  return Guarded(fopOpen, [&](size_t) { return ffsTarget.Open(aPath, aFlags, aMode); });
}

int TmvFaultFileSystem::Close(int aHandle) {
  return Guarded(fopClose, [&](size_t) { return ffsTarget.Close(aHandle); });
}

int TmvFaultFileSystem::Replace(int aHandle, int aTarget) {
  return Guarded(fopReplace, [&](size_t) { return ffsTarget.Replace(aHandle, aTarget); });
}

ssize_t TmvFaultFileSystem::PRead(int aHandle, void* aBuffer, size_t aCount, int64_t aOffset) {
  return Guarded(fopRead, [&](size_t limit) {
    return ffsTarget.PRead(aHandle, aBuffer, aCount < limit ? aCount : limit, aOffset);
  });
}

ssize_t TmvFaultFileSystem::PWrite(int aHandle, const void* aBuffer, size_t aCount, int64_t aOffset) {
  const Verdict v = Count(fopWrite);
  if (v.Errno != 0) {
    errno = v.Errno;
    return -1;
  }
  if (v.Drop) return static_cast<ssize_t>(aCount);  // the process believes it wrote
  return ffsTarget.PWrite(aHandle, aBuffer, aCount < v.Limit ? aCount : v.Limit, aOffset);
}

int TmvFaultFileSystem::Truncate(int aHandle, int64_t aSize) {
  return Guarded(fopTruncate, [&](size_t) { return ffsTarget.Truncate(aHandle, aSize); });
}

int TmvFaultFileSystem::PunchHole(int aHandle, int64_t aOffset, int64_t aLength) {
  return Guarded(fopPunchHole, [&](size_t) { return ffsTarget.PunchHole(aHandle, aOffset, aLength); });
}

int TmvFaultFileSystem::Sync(int aHandle) {
  return Guarded(fopSync, [&](size_t) { return ffsTarget.Sync(aHandle); });
}

int TmvFaultFileSystem::SyncFolder(const std::string& aPath) {
  return Guarded(fopSync, [&](size_t) { return ffsTarget.SyncFolder(aPath); });
}

int TmvFaultFileSystem::Unlink(const std::string& aPath) {
  return Guarded(fopUnlink, [&](size_t) { return ffsTarget.Unlink(aPath); });
}

int TmvFaultFileSystem::Rename(const std::string& aOldPath, const std::string& aNewPath) {
  return Guarded(fopRename, [&](size_t) { return ffsTarget.Rename(aOldPath, aNewPath); });
}

int TmvFaultFileSystem::Lock(int aHandle, bool aExclusive) {
  return Guarded(fopLock, [&](size_t) { return ffsTarget.Lock(aHandle, aExclusive); });
}

int TmvFaultFileSystem::Size(int aHandle, int64_t& aSize) {
  return Guarded(fopSize, [&](size_t) { return ffsTarget.Size(aHandle, aSize); });
}

int TmvFaultFileSystem::Stat(const std::string& aPath, TmvFileStat& aStat) {
  return Guarded(fopStat, [&](size_t) { return ffsTarget.Stat(aPath, aStat); });
}

int TmvFaultFileSystem::StatFs(const std::string& aPath, TmvVolumeInfo& aInfo) {
  return Guarded(fopStatFs, [&](size_t) { return ffsTarget.StatFs(aPath, aInfo); });
}

int TmvFaultFileSystem::Identity(int aHandle, TmvFileIdentity& aIdentity, uint8_t (&aObjectId)[64]) {
  return Guarded(fopIdentity, [&](size_t) { return ffsTarget.Identity(aHandle, aIdentity, aObjectId); });
}
