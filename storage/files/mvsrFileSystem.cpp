// Storage: the file-system interface and its POSIX implementation. See
// mvsrFileSystem.h.
#include "storage/files/mvsrFileSystem.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

class TmvPosixFileSystem : public TmvFileSystem {
 public:
  int Open(const std::string& aPath, int aFlags, mode_t aMode) override {
    return ::open(aPath.c_str(), aFlags | O_CLOEXEC, aMode);
  }
  int Close(int aHandle) override { return ::close(aHandle); }
  int Replace(int aHandle, int aTarget) override { return ::dup3(aHandle, aTarget, O_CLOEXEC) < 0 ? -1 : 0; }
  ssize_t PRead(int aHandle, void* aBuffer, size_t aCount, int64_t aOffset) override {
    return ::pread(aHandle, aBuffer, aCount, aOffset);
  }
  ssize_t PWrite(int aHandle, const void* aBuffer, size_t aCount, int64_t aOffset) override {
    return ::pwrite(aHandle, aBuffer, aCount, aOffset);
  }
  int Truncate(int aHandle, int64_t aSize) override {
    struct stat st;
    if (::fstat(aHandle, &st) != 0) return -1;
    if (aSize > st.st_size) {
      if (::fallocate(aHandle, 0, st.st_size, aSize - st.st_size) == 0) return 0;
      // File systems without reservation still grow by setting the size.
      if (errno != EOPNOTSUPP && errno != ENOSYS) return -1;
    }
    return ::ftruncate(aHandle, aSize);
  }
  int PunchHole(int aHandle, int64_t aOffset, int64_t aLength) override {
    return ::fallocate(aHandle, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, aOffset, aLength);
  }
  int Sync(int aHandle) override { return ::fdatasync(aHandle); }
  int SyncFolder(const std::string& aPath) override {
    const int folder = ::open(aPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return -1;
    const int result = ::fsync(folder);
    const int error = errno;
    ::close(folder);  // read-only: nothing of it can be lost
    errno = error;
    return result;
  }
  int Unlink(const std::string& aPath) override { return ::unlink(aPath.c_str()); }
  int Rename(const std::string& aOldPath, const std::string& aNewPath) override {
    return ::rename(aOldPath.c_str(), aNewPath.c_str());
  }
  int Lock(int aHandle, bool aExclusive) override {
    struct flock fl{};
    fl.l_type = aExclusive ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;  // the whole file, however long it grows
    return ::fcntl(aHandle, F_OFD_SETLK, &fl);
  }
  int Size(int aHandle, int64_t& aSize) override {
    struct stat st;
    if (::fstat(aHandle, &st) != 0) return -1;
    aSize = st.st_size;
    return 0;
  }
  int Stat(const std::string& aPath, TmvFileStat& aStat) override {
    struct stat st;
    if (::lstat(aPath.c_str(), &st) != 0) return -1;
    aStat.IsLink = S_ISLNK(st.st_mode);
    if (aStat.IsLink && ::stat(aPath.c_str(), &st) != 0) return -1;
    aStat.IsDirectory = S_ISDIR(st.st_mode);
    // Root may write any file; the missing write bits still mark it read-only.
    aStat.ReadOnly = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(aPath.c_str(), W_OK) != 0;
    aStat.IsFile = S_ISREG(st.st_mode);
    aStat.Size = st.st_size;
    aStat.ModifiedTime = st.st_mtim.tv_sec;
    return 0;
  }
  int StatFs(const std::string& aPath, TmvVolumeInfo& aInfo) override {
    struct statfs sf;
    if (::statfs(aPath.c_str(), &sf) != 0) return -1;
    aInfo.Type = static_cast<uint64_t>(sf.f_type);
    aInfo.BlockSize = static_cast<uint64_t>(sf.f_bsize);
    struct statvfs sv;
    if (::statvfs(aPath.c_str(), &sv) != 0) return -1;
    aInfo.BytesAvailable = static_cast<uint64_t>(sv.f_bavail) * static_cast<uint64_t>(sv.f_frsize);
    return 0;
  }
  int Identity(int aHandle, TmvFileIdentity& aIdentity, uint8_t (&aObjectId)[64]) override {
    if (!mvGetFileIdentity(aHandle, aIdentity) || !mvGetFileObjectId(aHandle, aObjectId)) return -1;
    return 0;
  }
  int ListFolder(const std::string& aPath, std::vector<std::string>& aNames) override {
    aNames.clear();
    DIR* folder = ::opendir(aPath.c_str());
    if (!folder) return -1;
    errno = 0;
    while (const dirent* entry = ::readdir(folder)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
        aNames.emplace_back(entry->d_name);
      errno = 0;
    }
    const int error = errno;
    ::closedir(folder);
    errno = error;
    return error == 0 ? 0 : -1;
  }
};

std::atomic<TmvFileSystem*> gInstalled{nullptr};

}  // namespace

TmvFileSystem& mvPosixFileSystem() {
  static TmvPosixFileSystem posix;
  return posix;
}

TmvFileSystem& mvFileSystem() {
  TmvFileSystem* fs = gInstalled.load(std::memory_order_acquire);
  return fs ? *fs : mvPosixFileSystem();
}

TmvFileSystem* mvSetFileSystem(TmvFileSystem* aFileSystem) {
  return gInstalled.exchange(aFileSystem, std::memory_order_acq_rel);
}
