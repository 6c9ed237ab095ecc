// Storage: a file system that fails on request (unit mvsrFaultFileSystem).
//
// Wraps another `TmvFileSystem` (POSIX by default) and counts every call by
// kind. A test arms it to make the N-th call of a kind fail with an errno
// value, to make a read or write transfer fewer bytes than asked, or to
// simulate a crash: after the N-th write every later write, truncation,
// hole, sync, deletion and renaming answers success but changes nothing on disk,
// so that reopening the
// file afterwards shows what a machine that lost power at that moment would
// have kept. Install it with mvSetFileSystem for the duration of a test.
//
// Thread-safe: the counters and arms are guarded by one mutex, held only
// around the bookkeeping, never across the real call.
// Calls the file-system interface only.
#pragma once

#include <cstdint>
#include <mutex>

#include "storage/files/mvsrFileSystem.h"

enum TmvFileOp : uint8_t {
  fopOpen,
  fopClose,
  fopRead,
  fopWrite,
  fopTruncate,
  fopSync,
  fopLock,
  fopSize,
  fopStat,
  fopStatFs,
  fopIdentity,
  fopReplace,
  fopUnlink,
  fopRename,
  fopPunchHole
};
inline constexpr int mvFileOpCount = 15;

class TmvFaultFileSystem : public TmvFileSystem {
 public:
  explicit TmvFaultFileSystem(TmvFileSystem& aTarget = mvPosixFileSystem()) : ffsTarget(aTarget) {}

  // Calls of a kind since construction or the last Reset (crash-dropped
  // writes count too).
  uint64_t Calls(TmvFileOp aOp) const;
  // Clears the counters and every arm.
  void Reset();
  // The calls number aNth to aNth + aCount - 1 of a kind, counted from now
  // (1 is the next call), fail with aErrno and do nothing.
  void FailAt(TmvFileOp aOp, uint64_t aNth, int aErrno, uint64_t aCount = 1);
  // The aNth read or write from now transfers at most aBytes bytes.
  void ShortAt(TmvFileOp aOp, uint64_t aNth, size_t aBytes);
  // Writes after the next aWrites ones are dropped, as are truncations,
  // holes, syncs, deletions and renamings from then on; they all answer
  // success.
  void CrashAfterWrites(uint64_t aWrites);
  bool Crashed() const;

  int Open(const std::string& aPath, int aFlags, mode_t aMode) override;
  int Close(int aHandle) override;
  int Replace(int aHandle, int aTarget) override;
  ssize_t PRead(int aHandle, void* aBuffer, size_t aCount, int64_t aOffset) override;
  ssize_t PWrite(int aHandle, const void* aBuffer, size_t aCount, int64_t aOffset) override;
  int Truncate(int aHandle, int64_t aSize) override;
  int PunchHole(int aHandle, int64_t aOffset, int64_t aLength) override;
  int Sync(int aHandle) override;
  // Counted and failed as a sync.
  int SyncFolder(const std::string& aPath) override;
  int Unlink(const std::string& aPath) override;
  int Rename(const std::string& aOldPath, const std::string& aNewPath) override;
  int Lock(int aHandle, bool aExclusive) override;
  int Size(int aHandle, int64_t& aSize) override;
  int Stat(const std::string& aPath, TmvFileStat& aStat) override;
  int StatFs(const std::string& aPath, TmvVolumeInfo& aInfo) override;
  int Identity(int aHandle, TmvFileIdentity& aIdentity, uint8_t (&aObjectId)[64]) override;

 private:
  // What one call is to do besides (or instead of) the real call.
  struct Verdict {
    int Errno = 0;            // fail with this
    size_t Limit = SIZE_MAX;  // transfer at most this
    bool Drop = false;        // crashed: answer success, do nothing
  };
  struct Arm {
    uint64_t First = 0;  // call numbers, 0: unarmed
    uint64_t Last = 0;
    int Errno = 0;
    size_t Limit = SIZE_MAX;
  };
  Verdict Count(TmvFileOp aOp);
  // Runs aCall unless the verdict fails or drops it.
  template <typename F>
  auto Guarded(TmvFileOp aOp, F aCall) -> decltype(aCall(SIZE_MAX));

  TmvFileSystem& ffsTarget;
  mutable std::mutex ffsLock;
  uint64_t ffsCalls[mvFileOpCount] = {};
  Arm ffsFail[mvFileOpCount];
  Arm ffsShort[mvFileOpCount];
  uint64_t ffsCrashAfter = 0;  // write number after which writes drop, when armed
  bool ffsCrashArmed = false;
  bool ffsCrashed = false;
};
