// Storage: a file system that fails on request. See mvsrFaultFileSystem.h.
#include "storage/files/mvsrFaultFileSystem.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>

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
  // The record of unsynced changes stays for LosePower.
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
  return Guarded(fopOpen, [&](size_t) {
    bool existed = true;
    std::vector<uint8_t> before;
    const bool recording = ffsRecording && (aFlags & (O_CREAT | O_TRUNC)) != 0;
    if (recording) before = ReadAll(aPath, &existed);
    const int handle = ffsTarget.Open(aPath, aFlags, aMode);
    if (handle < 0) return handle;
    {
      std::lock_guard<std::mutex> guard(ffsLock);
      ffsPaths[handle] = aPath;
    }
    if (recording && !existed) Remember({Change::Create, aPath});
    else if (recording && (aFlags & O_TRUNC) && !before.empty())
      Remember({Change::Truncate, aPath, {}, 0, int64_t(before.size()), 0, std::move(before)});
    return handle;
  });
}

int TmvFaultFileSystem::Close(int aHandle) {
  return Guarded(fopClose, [&](size_t) {
    {
      std::lock_guard<std::mutex> guard(ffsLock);
      ffsPaths.erase(aHandle);
    }
    return ffsTarget.Close(aHandle);
  });
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
  const size_t count = aCount < v.Limit ? aCount : v.Limit;
  if (!ffsRecording) return ffsTarget.PWrite(aHandle, aBuffer, count, aOffset);
  Change c{Change::Write, PathOf(aHandle)};
  c.offset = aOffset;
  if (ffsTarget.Size(aHandle, c.oldSize) != 0) return -1;
  if (aOffset < c.oldSize) {
    c.oldBytes.resize(size_t(std::min<int64_t>(c.oldSize - aOffset, int64_t(count))));
    if (ffsTarget.PRead(aHandle, c.oldBytes.data(), c.oldBytes.size(), aOffset) != ssize_t(c.oldBytes.size()))
      return -1;
  }
  const ssize_t n = ffsTarget.PWrite(aHandle, aBuffer, count, aOffset);
  if (n > 0) {
    c.oldBytes.resize(std::min(c.oldBytes.size(), size_t(n)));
    c.newBytes.assign(static_cast<const uint8_t*>(aBuffer), static_cast<const uint8_t*>(aBuffer) + n);
    c.newSize = std::max(c.oldSize, aOffset + n);
    Remember(std::move(c));
  }
  return n;
}

int TmvFaultFileSystem::Truncate(int aHandle, int64_t aSize) {
  return Guarded(fopTruncate, [&](size_t) {
    if (!ffsRecording) return ffsTarget.Truncate(aHandle, aSize);
    Change c{Change::Truncate, PathOf(aHandle)};
    if (ffsTarget.Size(aHandle, c.oldSize) != 0) return -1;
    c.newSize = aSize;
    if (aSize < c.oldSize) {
      c.oldBytes.resize(size_t(c.oldSize - aSize));
      if (ffsTarget.PRead(aHandle, c.oldBytes.data(), c.oldBytes.size(), aSize) != ssize_t(c.oldBytes.size()))
        return -1;
    }
    const int result = ffsTarget.Truncate(aHandle, aSize);
    if (result == 0) Remember(std::move(c));
    return result;
  });
}

int TmvFaultFileSystem::PunchHole(int aHandle, int64_t aOffset, int64_t aLength) {
  return Guarded(fopPunchHole, [&](size_t) { return ffsTarget.PunchHole(aHandle, aOffset, aLength); });
}

int TmvFaultFileSystem::Sync(int aHandle) {
  return Guarded(fopSync, [&](size_t) {
    const int result = ffsSimulateSyncs ? 0 : ffsTarget.Sync(aHandle);
    if (result == 0) {
      const std::string path = PathOf(aHandle);
      std::lock_guard<std::mutex> guard(ffsLock);
      std::erase_if(ffsUnsynced, [&](const Change& c) {
        return (c.kind == Change::Write || c.kind == Change::Truncate) && c.path == path;
      });
    }
    return result;
  });
}

namespace {
std::string folderOf(const std::string& aPath) {
  const size_t slash = aPath.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : aPath.substr(0, slash);
}
std::string withoutSlash(std::string aPath) {
  while (aPath.size() > 1 && aPath.back() == '/') aPath.pop_back();
  return aPath;
}
}  // namespace

int TmvFaultFileSystem::SyncFolder(const std::string& aPath) {
  return Guarded(fopSync, [&](size_t) {
    const int result = ffsSimulateSyncs ? 0 : ffsTarget.SyncFolder(aPath);
    if (result == 0) {
      const std::string folder = withoutSlash(aPath);
      std::lock_guard<std::mutex> guard(ffsLock);
      std::erase_if(ffsUnsynced, [&](const Change& c) {
        return c.kind != Change::Write && c.kind != Change::Truncate && folderOf(c.path) == folder &&
               (c.kind != Change::Rename || folderOf(c.newPath) == folder);
      });
    }
    return result;
  });
}

int TmvFaultFileSystem::Unlink(const std::string& aPath) {
  return Guarded(fopUnlink, [&](size_t) {
    std::vector<uint8_t> content;
    if (ffsRecording) content = ReadAll(aPath);
    const int result = ffsTarget.Unlink(aPath);
    if (result == 0 && ffsRecording) Remember({Change::Unlink, aPath, {}, 0, 0, 0, std::move(content)});
    return result;
  });
}

int TmvFaultFileSystem::Rename(const std::string& aOldPath, const std::string& aNewPath) {
  return Guarded(fopRename, [&](size_t) {
    Change c{Change::Rename, aOldPath, aNewPath};
    if (ffsRecording) c.oldBytes = ReadAll(aNewPath, &c.replaced);
    const int result = ffsTarget.Rename(aOldPath, aNewPath);
    if (result == 0 && ffsRecording) Remember(std::move(c));
    return result;
  });
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

int TmvFaultFileSystem::ListFolder(const std::string& aPath, std::vector<std::string>& aNames) {
  return Guarded(fopList, [&](size_t) { return ffsTarget.ListFolder(aPath, aNames); });
}

// ---------------------------------------------------------------------------
// Power loss

void TmvFaultFileSystem::RecordUnsynced() {
  std::lock_guard<std::mutex> guard(ffsLock);
  ffsUnsynced.clear();
  ffsRecording = true;
}

size_t TmvFaultFileSystem::UnsyncedCount() const {
  std::lock_guard<std::mutex> guard(ffsLock);
  return ffsUnsynced.size();
}

std::string TmvFaultFileSystem::PathOf(int aHandle) {
  std::lock_guard<std::mutex> guard(ffsLock);
  auto found = ffsPaths.find(aHandle);
  return found == ffsPaths.end() ? std::string() : found->second;
}

void TmvFaultFileSystem::Remember(Change aChange) {
  std::lock_guard<std::mutex> guard(ffsLock);
  ffsUnsynced.push_back(std::move(aChange));
}

std::vector<uint8_t> TmvFaultFileSystem::ReadAll(const std::string& aPath, bool* aExists) {
  std::vector<uint8_t> bytes;
  const int handle = ffsTarget.Open(aPath, O_RDONLY, 0);
  if (aExists) *aExists = handle >= 0;
  if (handle < 0) return bytes;
  int64_t size = 0;
  if (ffsTarget.Size(handle, size) == 0 && size > 0) {
    bytes.resize(size_t(size));
    const ssize_t n = ffsTarget.PRead(handle, bytes.data(), bytes.size(), 0);
    bytes.resize(n > 0 ? size_t(n) : 0);
  }
  ffsTarget.Close(handle);
  return bytes;
}

namespace {

// Writes aBytes over a file of the target at aOffset; nothing when the file
// is missing.
void putBytes(TmvFileSystem& aFs, const std::string& aPath, int64_t aOffset, const uint8_t* aBytes, size_t aCount,
              int64_t aSize = -1, bool aCreate = false) {
  const int handle = aFs.Open(aPath, O_RDWR | (aCreate ? O_CREAT | O_TRUNC : 0), 0666);
  if (handle < 0) return;
  if (aSize >= 0) aFs.Truncate(handle, aSize);
  if (aCount > 0) aFs.PWrite(handle, aBytes, aCount, aOffset);
  aFs.Close(handle);
}

// splitmix64: a reproducible sequence from a seed.
uint64_t nextRandom(uint64_t& aState) {
  uint64_t z = (aState += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

constexpr int64_t kSector = 512;

}  // namespace

void TmvFaultFileSystem::Undo(const Change& aChange) {
  Change& c = const_cast<Change&>(aChange);
  switch (c.kind) {
    case Change::Write:
      putBytes(ffsTarget, c.path, c.offset, c.oldBytes.data(), c.oldBytes.size(),
               c.newSize > c.oldSize ? c.oldSize : -1);
      break;
    case Change::Truncate:
      putBytes(ffsTarget, c.path, c.newSize, c.oldBytes.data(), c.oldBytes.size(), c.oldSize);
      break;
    case Change::Create:
      // What the file holds now is what its syncs made durable: a kept
      // creation brings it back.
      c.oldBytes = ReadAll(c.path);
      ffsTarget.Unlink(c.path);
      break;
    case Change::Unlink:
      putBytes(ffsTarget, c.path, 0, c.oldBytes.data(), c.oldBytes.size(), -1, true);
      break;
    case Change::Rename:
      ffsTarget.Rename(c.newPath, c.path);
      if (c.replaced) putBytes(ffsTarget, c.newPath, 0, c.oldBytes.data(), c.oldBytes.size(), -1, true);
      break;
  }
}

void TmvFaultFileSystem::Redo(const Change& c, uint64_t& aRandom, TmvPowerLoss aMode) {
  const uint64_t choice = aMode == TmvPowerLoss::KeepAll ? 1 : nextRandom(aRandom) % 3;
  if (choice == 0) return;  // lost
  switch (c.kind) {
    case Change::Write: {
      if (choice == 1) {
        putBytes(ffsTarget, c.path, c.offset, c.newBytes.data(), c.newBytes.size());
        break;
      }
      // Torn: each sector the write touches kept or lost on its own.
      const int64_t end = c.offset + int64_t(c.newBytes.size());
      for (int64_t at = c.offset; at < end;) {
        const int64_t next = std::min(end, (at / kSector + 1) * kSector);
        if (nextRandom(aRandom) & 1)
          putBytes(ffsTarget, c.path, at, c.newBytes.data() + (at - c.offset), size_t(next - at));
        at = next;
      }
      break;
    }
    case Change::Truncate: putBytes(ffsTarget, c.path, 0, nullptr, 0, c.newSize); break;
    case Change::Create: putBytes(ffsTarget, c.path, 0, c.oldBytes.data(), c.oldBytes.size(), -1, true); break;
    case Change::Unlink: ffsTarget.Unlink(c.path); break;
    case Change::Rename: ffsTarget.Rename(c.path, c.newPath); break;
  }
}

void TmvFaultFileSystem::LosePower(TmvPowerLoss aMode, uint64_t aSeed) {
  std::vector<Change> changes;
  {
    std::lock_guard<std::mutex> guard(ffsLock);
    changes.swap(ffsUnsynced);
    ffsRecording = false;
  }
  for (auto c = changes.rbegin(); c != changes.rend(); ++c) Undo(*c);
  if (aMode == TmvPowerLoss::LoseAll) return;
  uint64_t random = aSeed;
  for (const Change& c : changes) Redo(c, random, aMode);
}
