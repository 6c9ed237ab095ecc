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
// Power loss: a machine that loses power keeps what was synced and, of
// every change made since, some or none: the disk's cache may have written
// it, written part of it (a write torn at 512-byte sectors) or nothing.
// While `RecordUnsynced` is on, each change (write, truncation, creation,
// deletion, renaming) is remembered with what it replaced until a sync
// covers it (fdatasync of the file for its writes and truncations, fsync of
// the folder for its names). `LosePower` then turns the disk into what such
// a machine could have kept: every unsynced change is taken back, and the
// ones a seeded choice keeps are made again, in their order.
//
// Thread-safe: the counters and arms are guarded by one mutex, held only
// around the bookkeeping, never across the real call.
// Calls the file-system interface only.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

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
  fopList,
  fopPunchHole
};
inline constexpr int mvFileOpCount = 16;

// What happens to the changes not yet synced when the power goes.
enum class TmvPowerLoss : uint8_t {
  KeepAll,  // the disk had written everything
  LoseAll,  // nothing since the last syncs
  Seeded    // each change kept, lost or (a write) torn by a seeded choice
};

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
  // Starts remembering the unsynced changes (forgetting earlier ones).
  void RecordUnsynced();
  // The unsynced changes remembered so far.
  size_t UnsyncedCount() const;
  // Syncs answer success without reaching the disk (they still count, and
  // still make the remembered changes durable): a simulated crash needs no
  // real sync, and tests that cut a commit hundreds of times run faster.
  void SimulateSyncs(bool aOn) { ffsSimulateSyncs = aOn; }
  // Resolves every remembered change as aMode (and aSeed) says, on the disk
  // itself, and stops remembering. Call it with no file of the changes in
  // use: the files are reopened afterwards, as after a restart.
  void LosePower(TmvPowerLoss aMode, uint64_t aSeed = 0);

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
  int ListFolder(const std::string& aPath, std::vector<std::string>& aNames) override;

 private:
  // One change not yet synced, with what it replaced.
  struct Change {
    enum Kind : uint8_t { Write, Truncate, Create, Unlink, Rename } kind;
    std::string path, newPath;         // newPath: a renaming's target
    int64_t offset = 0;                // a write's
    int64_t oldSize = 0, newSize = 0;  // the file's size before and after
    std::vector<uint8_t> oldBytes;     // what a write covered, a shrink cut, a deletion or renaming removed
    std::vector<uint8_t> newBytes;     // what a write wrote
    bool replaced = false;             // a renaming replaced an existing target
  };
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
  // Power loss: the path of each open handle, and the changes remembered.
  std::map<int, std::string> ffsPaths;
  std::vector<Change> ffsUnsynced;
  std::atomic<bool> ffsRecording{false};
  std::atomic<bool> ffsSimulateSyncs{false};

  std::string PathOf(int aHandle);
  void Remember(Change aChange);
  // Whole content of a file of the target, read directly; empty when none.
  std::vector<uint8_t> ReadAll(const std::string& aPath, bool* aExists = nullptr);
  void Undo(const Change& aChange);
  void Redo(const Change& aChange, uint64_t& aRandom, TmvPowerLoss aMode);
};
