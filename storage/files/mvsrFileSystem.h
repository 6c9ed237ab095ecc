// Storage: the file-system interface of table storage (unit mvsrFileSystem).
//
// Every call that table storage makes to the operating system for its files
// goes through one `TmvFileSystem`: opening, closing, positional reads and
// writes, setting the end of a file, flushing it to stable storage, locking
// it, giving back the disk space of a range, the queries (size, attributes,
// the volume's kind, identity), deleting and renaming files, and listing a
// folder. The
// process uses the POSIX implementation unless a test installs another one
// (see mvsrFaultFileSystem.h), which is how failing and crashing disks are
// simulated.
//
// Every operation answers as the POSIX call it stands for: 0 or a count on
// success, -1 with errno set on failure. Paths are UTF-8. Implementations
// must be safe from any thread; installing one is not synchronised with
// calls in flight, so tests install it while no file is in use.
// Calls the foundation and the operating system only.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "foundation/mvllUtils.h"

// What the table files need to know of an existing file.
struct TmvFileStat {
  bool ReadOnly = false;  // no write permission bit, or writing is refused to this process
  bool IsLink = false;    // the name is a symbolic link
  bool IsFile = false;    // a regular file (after following a link)
  int64_t Size = 0;
  int64_t ModifiedTime = 0;  // seconds since 1970-01-01 UTC
  bool IsDirectory = false;  // what the name leads to is a folder
};

// The file system a path lies on: its statfs type magic and block size, and
// the free space available to the process.
struct TmvVolumeInfo {
  uint64_t Type = 0;
  uint64_t BlockSize = 0;
  uint64_t BytesAvailable = 0;  // free space this process may use (statvfs)
};

class TmvFileSystem {
 public:
  virtual ~TmvFileSystem() = default;

  // open(2) with O_CLOEXEC added.
  virtual int Open(const std::string& aPath, int aFlags, mode_t aMode) = 0;
  virtual int Close(int aHandle) = 0;
  // dup3(aHandle, aTarget, O_CLOEXEC): aTarget now refers to what aHandle
  // refers to, switched in one step, so that a thread using aTarget
  // meanwhile uses the old or the new one, never a closed or reused number.
  // aHandle stays open.
  virtual int Replace(int aHandle, int aTarget) = 0;
  // One pread(2) / pwrite(2): may transfer fewer bytes than asked.
  virtual ssize_t PRead(int aHandle, void* aBuffer, size_t aCount, int64_t aOffset) = 0;
  virtual ssize_t PWrite(int aHandle, const void* aBuffer, size_t aCount, int64_t aOffset) = 0;
  // Sets the end of the file; growing reserves the disk space where the file
  // system can (fallocate), so that later writes do not run out of it.
  virtual int Truncate(int aHandle, int64_t aSize) = 0;
  // fallocate(2) with FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE: the range
  // reads as zeros from now on and its disk space is given back; the size
  // stays. EOPNOTSUPP where the file system keeps no sparse files.
  virtual int PunchHole(int aHandle, int64_t aOffset, int64_t aLength) = 0;
  // fdatasync(2): written data, and the size needed to read it, is on
  // stable storage.
  virtual int Sync(int aHandle) = 0;
  // fsync(2) of a folder: the names created in it are on stable storage.
  virtual int SyncFolder(const std::string& aPath) = 0;
  // unlink(2) and rename(2).
  virtual int Unlink(const std::string& aPath) = 0;
  virtual int Rename(const std::string& aOldPath, const std::string& aNewPath) = 0;
  // An open-file-description lock (F_OFD_SETLK) of the whole file, exclusive
  // (needs a handle open for writing) or shared; never waits. Two locks
  // conflict between two opens even in one process.
  virtual int Lock(int aHandle, bool aExclusive) = 0;
  virtual int Size(int aHandle, int64_t& aSize) = 0;
  virtual int Stat(const std::string& aPath, TmvFileStat& aStat) = 0;
  virtual int StatFs(const std::string& aPath, TmvVolumeInfo& aInfo) = 0;
  // The file's identity and object id (foundation's mvGetFileIdentity and
  // mvGetFileObjectId).
  virtual int Identity(int aHandle, TmvFileIdentity& aIdentity, uint8_t (&aObjectId)[64]) = 0;
  // The names (without the folder) of the entries of a folder, in the order
  // the system gives them; "." and ".." are left out.
  virtual int ListFolder(const std::string& aPath, std::vector<std::string>& aNames) = 0;
};

// The file system in use: the installed one, else the POSIX one.
TmvFileSystem& mvFileSystem();
// Installs a file system (nil: back to POSIX) and returns the previous one
// (nil when it was POSIX's). The caller keeps ownership.
TmvFileSystem* mvSetFileSystem(TmvFileSystem* aFileSystem);
// The process's POSIX implementation.
TmvFileSystem& mvPosixFileSystem();
