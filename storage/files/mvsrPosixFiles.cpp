// Storage: the engine's file classes on POSIX. See mvsrPosixFiles.h.
#include "storage/files/mvsrPosixFiles.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <linux/magic.h>
#include <optional>
#include <thread>
#include <vector>

#include "foundation/errors/mvllErrors.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrEncryption.h"
#include "storage/files/mvsrFileSystem.h"
#include "storage/files/mvsrFileUtils.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/mvsrLog.h"

namespace {

constexpr char16_t kReadError[] = u"INTERNAL: Error when reading from file [%s, error %d, %s]";
constexpr char16_t kReadExact[] = u"INTERNAL: Could not read exact number of bytes from file [%s, %d bytes]";
constexpr char16_t kSeekError[] = u"INTERNAL: Error when seeking to position in file [%s, offset %d, error %d, %s]";
constexpr char16_t kSizeError[] = u"INTERNAL: Error when getting size of file [%s, error %d, %s]";
constexpr char16_t kWriteError[] = u"INTERNAL: Error when writing to file [%s, error %d, %s]";
constexpr char16_t kWriteExact[] = u"INTERNAL: Could not write exact number of bytes to file [%s, %d bytes]";
constexpr char16_t kFlushError[] = u"INTERNAL: Error when flushing file [%s, error %d, %s]";
constexpr char16_t kEndOfFileError[] = u"INTERNAL: Error when setting end-of-file [%s, error %d, %s]";
constexpr char16_t kOpenError[] = u"INTERNAL: File could not be opened [%s, error %d, %s]";
constexpr char16_t kCloseError[] = u"INTERNAL: File could not be closed [%s, error %d, %s]";

// The temporary file's handle: not a descriptor, never passed to the system.
constexpr int kTemporaryHandle = -2;

bool writes(TmvOpenMode aMode) { return aMode != omReadOnly; }

int accessFlags(TmvOpenMode aMode) {
  switch (aMode) {
    case omReadOnly: return O_RDONLY;
    case omWriteOnly: return O_WRONLY;
    default: return O_RDWR;
  }
}

// Moves aCount bytes at aOffset, going on after interrupted and partial
// transfers. Answers the bytes moved (fewer only at the end of the file, or
// when the system moves nothing), or -1 with errno.
template <typename Transfer>
int64_t transferAt(Transfer aTransfer, uint8_t* aBuffer, size_t aCount, int64_t aOffset) {
  size_t done = 0;
  while (done < aCount) {
    const ssize_t n = aTransfer(aBuffer + done, aCount - done, aOffset + static_cast<int64_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t readAt(int aHandle, void* aBuffer, size_t aCount, int64_t aOffset) {
  return transferAt([&](uint8_t* p, size_t n, int64_t o) { return mvFileSystem().PRead(aHandle, p, n, o); },
                    static_cast<uint8_t*>(aBuffer), aCount, aOffset);
}

int64_t writeAt(int aHandle, const void* aBuffer, size_t aCount, int64_t aOffset) {
  return transferAt([&](uint8_t* p, size_t n, int64_t o) { return mvFileSystem().PWrite(aHandle, p, n, o); },
                    const_cast<uint8_t*>(static_cast<const uint8_t*>(aBuffer)), aCount, aOffset);
}

// The absolute, tidied name (the system keeps names as given, so this is
// all that spelling them as the file system does means here).
String expandLongFileName(const String& aName) { return mvAbsoluteFileName(aName); }

String guidText(const uint8_t* aBytes) {
  TGUID guid;
  static_assert(sizeof(TGUID) == 16);
  std::memcpy(&guid, aBytes, 16);
  return mvGuidToStr(guid);
}

TmvBaseFile* createBase() { return new TmvBaseWin32File(); }
TmvBaseFile* createOverlapped() { return new TmvOverlappedWin32File(); }

}  // namespace

constinit const TmvFileClassRef TmvBaseWin32File::StaticClass{{u"TmvBaseWin32File", nullptr}, &createBase};
constinit const TmvFileClassRef TmvOverlappedWin32File::StaticClass{
    {u"TmvOverlappedWin32File", &TmvBaseWin32File::StaticClass}, &createOverlapped};

// ---------------------------------------------------------------------------
// Errors and state

void TmvBaseWin32File::RaiseError(int32_t aCode, const String& aText) {
  ThrowError(aCode, aText);
  MV_ASSERT(!"ThrowError returned");
}

void TmvBaseWin32File::ThrowError(int32_t aCode, const String& aText) {
  if (aText.empty()) throw EmvBaseWin32FileException(aCode);
  throw EmvBaseWin32FileException(aCode, aText);
}

void TmvOverlappedWin32File::ThrowError(int32_t aCode, const String& aText) {
  if (aText.empty()) throw EmvOverlappedWin32FileException(aCode);
  throw EmvOverlappedWin32FileException(aCode, aText);
}

void TmvBaseWin32File::RaiseOSError(int32_t aCode, std::u16string_view aFormat, int aError) {
  RaiseError(aCode, Format(aFormat, {fiName, aError, SysErrorMessage(static_cast<uint32_t>(aError))}));
}

void TmvBaseWin32File::RaiseOpenError(const String& aName, int aError) {
  RaiseError(MVERR_FILEBUSY, Format(kOpenError, {aName, aError, SysErrorMessage(static_cast<uint32_t>(aError))}));
}

void TmvBaseWin32File::CheckOpen() {
  if (!fiName.empty() && dfiHandle != -1) return;
  if (dfiOpenError != 0) RaiseOpenError(fiName, static_cast<int>(dfiOpenError));
  RaiseError(MVERR_FILEINVALIDDATA, String());
}

void TmvBaseWin32File::LogCloseFailure() {
  const int error = errno;
  mvStorageLogError(Format(kCloseError, {fiName, error, SysErrorMessage(static_cast<uint32_t>(error))}));
}

TmvBaseWin32File::~TmvBaseWin32File() {
  if (dfiWriteRequest.Count() > 0)
    mvStorageLogError(u"File \"" + fiName + u"\" was freed with blocks queued for writing");
  if (dfiHandle >= 0 && mvFileSystem().Close(dfiHandle) != 0) LogCloseFailure();
  if (!ReleaseShareLock()) LogCloseFailure();
}

// ---------------------------------------------------------------------------
// Opening and closing

void TmvBaseWin32File::AcquireShareLock(TmvOpenMode aOpenMode, TmvShareMode aShareMode, bool aCreateFile) {
  const bool exclusive = writes(aOpenMode);
  if (!exclusive && aShareMode == smShared) return;  // a reader that lets writers in
  TmvFileSystem& fs = mvFileSystem();
  const std::string path = UTF8Encode(fiName);
  const int handle = fs.Open(path, accessFlags(aOpenMode) | (aCreateFile ? O_CREAT : 0), 0666);
  if (handle < 0) {
    dfiOpenError = static_cast<uint32_t>(errno);
    RaiseOpenError(fiName, errno);
  }
  if (fs.Lock(handle, exclusive) != 0) {
    const int error = errno;
    if (fs.Close(handle) != 0) LogCloseFailure();
    dfiOpenError = static_cast<uint32_t>(error);
    RaiseOpenError(fiName, error);
  }
  dfiLockHandle = handle;
}

bool TmvBaseWin32File::ReleaseShareLock() {
  const int handle = dfiLockHandle;
  dfiLockHandle = -1;
  return handle < 0 || mvFileSystem().Close(handle) == 0;
}

int TmvBaseWin32File::OpenFilePrim(const String& aName, TmvOpenMode aOpenMode, TmvShareMode, bool aWriteThru,
                                   bool aCreateFile, int aFlags) {
  int flags = accessFlags(aOpenMode) | aFlags;
  if (aCreateFile) flags |= O_CREAT | O_TRUNC;
  if (aWriteThru && writes(aOpenMode)) flags |= O_DSYNC;
  const int handle = mvFileSystem().Open(UTF8Encode(aName), flags, 0666);
  if (handle < 0) {
    dfiOpenError = static_cast<uint32_t>(errno);
    RaiseOpenError(aName, errno);
  }
  dfiOpenError = 0;
  return handle;
}

void TmvBaseWin32File::OpenFile(TmvOpenMode aOpenMode, TmvShareMode aShareMode, bool aWriteThru, bool aCreateFile) {
  if (fiName.empty() || dfiHandle != -1) RaiseError(MVERR_FILEINVALIDDATA, String());
  dfiOpenError = 0;
  fiIsLink = false;
  TmvOpenMode mode = aOpenMode;
  if (IsTemporary()) {
    dfiHandle = kTemporaryHandle;
  } else {
    if (!aCreateFile) {
      fiName = expandLongFileName(fiName);
      TmvFileStat stat;
      if (mvFileSystem().Stat(UTF8Encode(fiName), stat) == 0) {
        if (stat.ReadOnly) mode = omReadOnly;
        fiIsLink = stat.IsLink;
      }  // a missing file is reported by the open below
    }
    // The lock comes first: creating truncates, which must not happen to a
    // file that another writer holds.
    AcquireShareLock(mode, aShareMode, aCreateFile);
    try {
      dfiHandle = OpenFilePrim(fiName, mode, aShareMode, aWriteThru, aCreateFile, 0);
    } catch (...) {
      if (!ReleaseShareLock()) LogCloseFailure();
      throw;
    }
    // A new file's name must outlive a power failure as its synced blocks do.
    if (aCreateFile && mvFileSystem().SyncFolder(UTF8Encode(fiPath)) != 0) {
      const int error = errno;
      const int handle = dfiHandle.exchange(-1);
      if (mvFileSystem().Close(handle) != 0) LogCloseFailure();
      if (!ReleaseShareLock()) LogCloseFailure();
      RaiseOSError(MVERR_WRITEERR, kFlushError, error);
    }
  }
  dfiPosition = 0;
  fiOpenMode = mode;
  fiShareMode = aShareMode;
  fiWriteThru = aWriteThru;
}

void TmvBaseWin32File::ReopenFile() {
  if (dfiOpenError != 0) RaiseOpenError(fiName, static_cast<int>(dfiOpenError));
  TmvFileSystem& fs = mvFileSystem();
  int fresh = -1;
  try {
    fresh = OpenFilePrim(fiName, fiOpenMode, fiShareMode, fiWriteThru, false, 0);
  } catch (...) {
    mvStorageLogError(u"Reopening a file failed, trying once more: " + mvCurrentExceptionText());
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    try {
      fresh = OpenFilePrim(fiName, fiOpenMode, fiShareMode, fiWriteThru, false, 0);
    } catch (...) {
      const int old = dfiHandle.exchange(-1);  // the stored error tells every later use
      if (old >= 0 && fs.Close(old) != 0) LogCloseFailure();
      throw;
    }
  }
  // Closing first and opening again would let a concurrent reader use a
  // closed number, or one the system has just given to another file.
  const int old = dfiHandle;
  int error = 0;
  if (old >= 0 && fs.Replace(fresh, old) != 0) error = errno;
  if (old < 0) dfiHandle = fresh;
  else if (fs.Close(fresh) != 0 && error == 0) error = errno;
  if (error != 0) RaiseOSError(MVERR_FILECLOSE, kCloseError, error);
}

void TmvBaseWin32File::CloseFile() {
  if (dfiOpenError != 0) {
    // The file never opened (or a reopen failed): nothing but the lock to let go.
    dfiOpenError = 0;
    dfiHandle = -1;
    if (!ReleaseShareLock()) RaiseOSError(MVERR_FILECLOSE, kCloseError, errno);
    return;
  }
  CheckOpen();
  MV_ASSERT(dfiWriteRequest.Count() == 0);
  const int handle = dfiHandle;
  dfiHandle = -1;
  int error = 0;
  if (handle >= 0 && mvFileSystem().Close(handle) != 0) error = errno;
  if (!ReleaseShareLock() && error == 0) error = errno;
  if (error != 0) RaiseOSError(MVERR_FILECLOSE, kCloseError, error);
}

// ---------------------------------------------------------------------------
// Sequential and positional operations

int64_t TmvBaseWin32File::PositionFileEOF() {
  CheckOpen();
  int64_t size = 0;
  if (mvFileSystem().Size(dfiHandle, size) != 0)
    RaiseError(MVERR_READERR, Format(kSeekError, {fiName, 0, errno, SysErrorMessage(static_cast<uint32_t>(errno))}));
  dfiPosition = size;
  return size;
}

int64_t TmvBaseWin32File::FileSize() {
  if (IsTemporary()) {
    if (!fiBufMgr) return 0;
    TmvBufferManagerGuard guard(fiBufMgr);
    int64_t blocks = 0;
    for (TmvReadOnlyBlock* b = fiBlockListHead; b; b = b->robFileNext) ++blocks;
    return blocks * fiBlockSizeBytes;
  }
  CheckOpen();
  int64_t size = 0;
  if (mvFileSystem().Size(dfiHandle, size) != 0)
    RaiseError(MVERR_READERR, Format(kSeekError, {fiName, 0, errno, SysErrorMessage(static_cast<uint32_t>(errno))}));
  return size;
}

uint32_t TmvBaseWin32File::ReadFile(uint32_t aToRead, void* aBuffer) {
  CheckOpen();
  const int64_t n = readAt(dfiHandle, aBuffer, aToRead, dfiPosition);
  if (n < 0) RaiseOSError(MVERR_READERR, kReadError, errno);
  dfiPosition += n;
  return static_cast<uint32_t>(n);
}

void TmvBaseWin32File::ReadFileExact(uint32_t aToRead, void* aBuffer) {
  if (ReadFile(aToRead, aBuffer) != aToRead) RaiseError(MVERR_READERR, Format(kReadExact, {fiName, aToRead}));
}

uint32_t TmvBaseWin32File::ReadFileAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) {
  CheckOpen();
  if (aOffset < 0)
    RaiseError(MVERR_READERR, Format(kSeekError, {fiName, aOffset, EINVAL, SysErrorMessage(EINVAL)}));
  dfiPosition = aOffset;
  return ReadFile(aToRead, aBuffer);
}

void TmvBaseWin32File::ReadFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) {
  if (ReadFileAt(aOffset, aToRead, aBuffer) != aToRead) RaiseError(MVERR_READERR, Format(kReadExact, {fiName, aToRead}));
}

void TmvBaseWin32File::WriteFileExact(uint32_t aToWrite, const void* aBuffer) {
  CheckOpen();
  const int64_t n = writeAt(dfiHandle, aBuffer, aToWrite, dfiPosition);
  if (n < 0) RaiseOSError(MVERR_WRITEERR, kWriteError, errno);
  dfiPosition += n;
  if (n != aToWrite) RaiseError(MVERR_WRITEERR, Format(kWriteExact, {fiName, aToWrite}));
}

void TmvBaseWin32File::WriteFileExactAt(int64_t aOffset, uint32_t aToWrite, const void* aBuffer) {
  CheckOpen();
  if (aOffset < 0)
    RaiseError(MVERR_READERR, Format(kSeekError, {fiName, aOffset, EINVAL, SysErrorMessage(EINVAL)}));
  dfiPosition = aOffset;
  WriteFileExact(aToWrite, aBuffer);
}

int64_t TmvOverlappedWin32File::PositionFileEOF() { RaiseOSError(MVERR_WRITEERR, kEndOfFileError, EOPNOTSUPP); }
uint32_t TmvOverlappedWin32File::ReadFile(uint32_t, void*) { RaiseOSError(MVERR_READERR, kReadError, EOPNOTSUPP); }
void TmvOverlappedWin32File::ReadFileExact(uint32_t, void*) { RaiseOSError(MVERR_READERR, kReadError, EOPNOTSUPP); }
void TmvOverlappedWin32File::WriteFileExact(uint32_t, const void*) {
  RaiseOSError(MVERR_WRITEERR, kWriteError, EOPNOTSUPP);
}

uint32_t TmvOverlappedWin32File::ReadFileAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) {
  CheckOpen();
  const int64_t n = readAt(dfiHandle, aBuffer, aToRead, aOffset);
  if (n < 0) RaiseOSError(MVERR_READERR, kReadError, errno);
  return static_cast<uint32_t>(n);
}

void TmvOverlappedWin32File::ReadFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) {
  if (ReadFileAt(aOffset, aToRead, aBuffer) != aToRead) RaiseError(MVERR_READERR, Format(kReadExact, {fiName, aToRead}));
}

void TmvOverlappedWin32File::WriteFileExactAt(int64_t aOffset, uint32_t aToWrite, const void* aBuffer) {
  CheckOpen();
  const int64_t n = writeAt(dfiHandle, aBuffer, aToWrite, aOffset);
  if (n < 0) RaiseOSError(MVERR_WRITEERR, kWriteError, errno);
  if (n != aToWrite) RaiseError(MVERR_WRITEERR, Format(kWriteExact, {fiName, aToWrite}));
}

// ---------------------------------------------------------------------------
// Encryption hook-up and blocks

void TmvBaseWin32File::ReadDecryptFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer,
                                              TmvByteArray& aCookie) {
  aCookie.clear();
  ReadFileExactAt(aOffset, aToRead, aBuffer);
  if (!fiEncryptionEngine) return;
  if (aOffset == 0) fiEncryptionEngine->VerifyHeaderChecksum(aBuffer, aToRead);
  else fiEncryptionEngine->DecodeBlockEx(aBuffer, aToRead, static_cast<uint32_t>(aOffset / aToRead), aCookie);
}

void TmvBaseWin32File::WriteEncryptFileExactAt(int64_t aOffset, uint32_t aToWrite, void* aBuffer,
                                               TmvByteArray& aCookie) {
  CheckOpen();
  if (!fiEncryptionEngine) return WriteFileExactAt(aOffset, aToWrite, aBuffer);
  TmvBlockBuffer coded(fiBlockSize);
  if (aOffset == 0) {
    if (!fiChecksum.empty()) fiUpdateTableChecksum(static_cast<uint8_t*>(aBuffer));
    fiEncryptionEngine->UpdateHeaderChecksum(aBuffer, aToWrite);
    WriteFileExactAt(0, aToWrite, aBuffer);
  } else {
    fiEncryptionEngine->CodeBlockEx(aBuffer, coded.get(), aToWrite, static_cast<uint32_t>(aOffset / aToWrite), aCookie,
                                    fiChecksum);
    WriteFileExactAt(aOffset, aToWrite, coded.get());
  }
}

void TmvBaseWin32File::ReadBlock(TmvReadOnlyBlock* aBlock) {
  TmvCacheBlock* memory = aBlock->CacheBlock();
  MV_ASSERT(memory && memory->GetState() == cbsMapped && memory->cbBlock);
  aBlock->robEncryptionCookie.clear();
  ReadDecryptFileExactAt(int64_t(aBlock->robBlockNum) << BlockShift(), BlockBytes(), memory->cbBlock,
                         aBlock->robEncryptionCookie);
  fiBufMgr->CountBlockRead();
}

void TmvBaseWin32File::WriteBlock(TmvReadOnlyBlock* aBlock) {
  aBlock->robUnwritten = true;
  dfiWriteRequest.Add(aBlock);
}

void TmvBaseWin32File::RollbackUnwritten() {
  // A block may be queued twice; each is rolled back once, and none is
  // touched again after it may have been freed.
  std::vector<TmvReadOnlyBlock*> queued;
  for (int32_t i = 0; i < dfiWriteRequest.Count(); ++i) {
    TmvReadOnlyBlock* block = QueuedBlock(i);
    if (!block->robUnwritten) continue;
    block->robUnwritten = false;
    queued.push_back(block);
  }
  dfiWriteRequest.Clear();
  TmvBufferManagerGuard guard(fiBufMgr);
  for (TmvReadOnlyBlock* block : queued) {
    const TmvBlockNumber number = block->robBlockNum;
    if (!block->RollbackUnwritten())
      mvStorageLogError(Format(u"Block %d of file \"%s\" keeps content that was not written: it is in use",
                               {number, fiName}));
  }
}

// ---------------------------------------------------------------------------
// Flushing

namespace {

// The order of a flush: blocks beyond the end of the file, then the other
// blocks from 3 on, then blocks 1 and 2, then block 0, each by number.
int flushClass(TmvBlockNumber aBlockNum, uint32_t aCurrentBlocks) {
  if (aBlockNum == 0) return 3;
  if (aBlockNum < 3) return 2;
  return aBlockNum >= aCurrentBlocks ? 0 : 1;
}

}  // namespace

void TmvBaseWin32File::PrepareFlushFile() {
  if (IsTemporary() || dfiWriteRequest.Count() == 0) return;
  CheckOpen();
  int64_t size = 0;
  if (mvFileSystem().Size(dfiHandle, size) != 0) RaiseOSError(MVERR_READERR, kSizeError, errno);
  const uint32_t current = static_cast<uint32_t>(size >> BlockShift());
  uint32_t target = std::max<uint32_t>(3, static_cast<uint32_t>(fiInitialSize));
  std::vector<TmvReadOnlyBlock*> queue;
  for (int32_t i = 0; i < dfiWriteRequest.Count(); ++i) {
    queue.push_back(QueuedBlock(i));
    if (queue.back()->robBlockNum >= current) target = std::max(target, queue.back()->robBlockNum);
  }
  std::stable_sort(queue.begin(), queue.end(), [current](TmvReadOnlyBlock* a, TmvReadOnlyBlock* b) {
    const int ca = flushClass(a->robBlockNum, current);
    const int cb = flushClass(b->robBlockNum, current);
    return ca != cb ? ca < cb : a->robBlockNum < b->robBlockNum;
  });
  for (int32_t i = 0; i < static_cast<int32_t>(queue.size()); ++i) dfiWriteRequest.liPut(i, queue[i]);
  if (target < current) return;
  // Grow once, to a rounded size: at least a tenth of the file at a time.
  const uint64_t grow = std::max<uint64_t>(static_cast<uint64_t>(fiGrowSize), target / 10);
  const uint64_t blocks = grow > 1 && static_cast<uint64_t>(fiInitialSize) < target
                              ? (target / grow + 1) * grow
                              : uint64_t(target) + 1;
  if (mvFileSystem().Truncate(dfiHandle, static_cast<int64_t>(blocks << BlockShift())) != 0)
    RaiseOSError(MVERR_WRITEERR, kEndOfFileError, errno);
  ReopenFile();
}

void TmvBaseWin32File::WriteQueuedBlock(TmvBlockNumber aBlockNum, int64_t aPrevious, const uint8_t* aData) {
  if (int64_t(aBlockNum) != aPrevious + 1) dfiPosition = int64_t(aBlockNum) << BlockShift();
  WriteFileExact(BlockBytes(), aData);
}

void TmvOverlappedWin32File::WriteQueuedBlock(TmvBlockNumber aBlockNum, int64_t, const uint8_t* aData) {
  WriteFileExactAt(int64_t(aBlockNum) << BlockShift(), BlockBytes(), aData);
}

const uint8_t* TmvBaseWin32File::StoredImage(TmvReadOnlyBlock* aBlock, uint8_t* aBuffer) {
  const TmvBlockNumber number = aBlock->robBlockNum;
  TmvCacheBlock* memory = aBlock->CacheBlock();
  if (memory && memory->GetState() != cbsMapped) {
    TmvBufferManagerGuard guard(fiBufMgr);
    aBlock->AccessBlock(false);
    fiBufMgr->bmRemoveExcessBlocks(false, false);
  }
  // A block without memory is a freed new block: its content is zeros.
  uint8_t* image = memory ? memory->cbBlock : const_cast<uint8_t*>(TmvBufferManager::ZeroBlock());
  if (memory && fiHeaderAccessFactory) fiHeaderAccessFactory->ValidateBlock(image, number);
  if (!fiEncryptionEngine || !memory) return image;
  if (number == 0) {
    const bool wasProtected = memory->WriteProtected();
    memory->SetWriteProtected(false);
    if (!fiChecksum.empty()) fiUpdateTableChecksum(image);
    fiEncryptionEngine->UpdateHeaderChecksum(image, BlockBytes());
    memory->SetWriteProtected(wasProtected);
    return image;
  }
  fiEncryptionEngine->CodeBlockEx(image, aBuffer, BlockBytes(), number, aBlock->robEncryptionCookie, fiChecksum);
  return aBuffer;
}

void TmvBaseWin32File::WriteQueuedBlock(TmvReadOnlyBlock* aBlock, int64_t aPrevious, uint8_t* aBuffer,
                                        TmvBaseReplicationLog* aLog) {
  const TmvBlockNumber number = aBlock->robBlockNum;
  // Pinned, the block keeps its memory while it is written without the padlock.
  __atomic_add_fetch(&aBlock->robRefCount, 1, __ATOMIC_SEQ_CST);
  struct Unpin {
    TmvReadOnlyBlock* b;
    ~Unpin() { __atomic_sub_fetch(&b->robRefCount, 1, __ATOMIC_SEQ_CST); }
  } unpin{aBlock};
  fiBufMgr->CountBlockWritten();
  const uint8_t* data = StoredImage(aBlock, aBuffer);
  if (aLog) aLog->WriteBlock(number, aBlock->robLastLSN, data);
  WriteQueuedBlock(number, aPrevious, data);
  // Under the padlock: a trim reads the flag there. Once the pin is gone
  // too, the block may leave the cache at any moment: nothing here touches
  // it after this.
  TmvBufferManagerGuard guard(fiBufMgr);
  aBlock->robUnwritten = false;
}

void TmvBaseWin32File::FlushFile(bool aFailSafe, TmvBaseReplicationLog* aReplicationLog) {
  CheckOpen();
  std::optional<TmvBlockBuffer> coded;
  if (fiEncryptionEngine) coded.emplace(fiBlockSize);
  if (!IsTemporary() && dfiWriteRequest.Count() > 0) {
    TmvBaseReplicationLog* log = aReplicationLog && HasAttribute(mvfaReplicationLog) ? aReplicationLog : nullptr;
    if (log) log->BeginFile(fiLogAlias, fiLogTable, fiLogFile, fiBlockSize);
    // The numbers are taken while every queued block is still unwritten,
    // and so kept in the cache: a block written (and unpinned) may be
    // evicted and freed by another thread at once, and a block queued twice
    // is the same object in both entries.
    std::vector<TmvBlockNumber> numbers(size_t(dfiWriteRequest.Count()));
    for (int32_t i = 0; i < dfiWriteRequest.Count(); ++i) numbers[size_t(i)] = QueuedBlock(i)->robBlockNum;
    int64_t previous = -2;
    int32_t done = 0;
    try {
      for (; done < dfiWriteRequest.Count(); ++done) {
        const TmvBlockNumber number = numbers[size_t(done)];
        if (int64_t(number) == previous) continue;  // queued twice: written once
        WriteQueuedBlock(QueuedBlock(done), previous, coded ? coded->get() : nullptr, log);
        previous = number;
      }
    } catch (...) {
      // Only the blocks not yet written stay queued: the written ones may
      // leave the cache from now on.
      for (int32_t i = done - 1; i >= 0; --i) dfiWriteRequest.Delete(i);
      throw;
    }
    if (log) log->EndFile();
    dfiWriteRequest.Clear();
  }
  if (aFailSafe && !IsTemporary()) {
    SyncFile();
    ReopenFile();
  }
}

void TmvBaseWin32File::SyncFile() {
  if (IsTemporary()) return;
  CheckOpen();
  if (mvFileSystem().Sync(dfiHandle) != 0) RaiseOSError(MVERR_WRITEERR, kFlushError, errno);
}

// ---------------------------------------------------------------------------
// Volume and identity

int64_t mvCalcMaxFileSize(const String& aPath) {
  TmvVolumeInfo volume;
  if (mvFileSystem().StatFs(UTF8Encode(aPath), volume) != 0) return 0;
  constexpr int64_t kUnlimited = 0x7FFFFFFFFFFFFFFF;
  switch (volume.Type) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4 share it: 2^32 - 1 blocks
      return static_cast<int64_t>(0xFFFFFFFFull * volume.BlockSize);
    case MSDOS_SUPER_MAGIC:
      return 0xFFFFFFFE;  // FAT32
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
    case NFS_SUPER_MAGIC:
    case 0x2FC12FC1:  // ZFS
    case 0x2011BAB0:  // exFAT
    case 0x5346544E:  // NTFS
    case 0x7366746E:  // NTFS (ntfs3)
      return kUnlimited;
    default:
      return 0;  // including ISO 9660
  }
}

int64_t TmvBaseWin32File::CalcMaxFileSize() { return mvCalcMaxFileSize(fiPath); }

String TmvBaseWin32File::GetFileID() {
  String id = TmvBaseFile::GetFileID();
  if (IsTemporary() || dfiHandle < 0) return id;
  TmvFileIdentity identity;
  uint8_t objectId[64];
  if (mvFileSystem().Identity(dfiHandle, identity, objectId) != 0) return id;
  std::vector<String> parts;
  for (int part = 0; part < 4; ++part) parts.push_back(guidText(objectId + 16 * part));
  parts.push_back(IntToHex(identity.CreationTime >> 32, 8));
  parts.push_back(IntToHex(identity.CreationTime & 0xFFFFFFFFu, 8));
  parts.push_back(IntToHex(identity.VolumeSerialNumber, 16));
  parts.push_back(guidText(identity.FileId));
  for (const String& part : parts) {
    id.push_back(u';');
    id.append(part);
  }
  return id;
}

// ---------------------------------------------------------------------------
// Unit

namespace {
const TmvFileClassRef* gSetTable = nullptr;
const TmvFileClassRef* gSetDefault = nullptr;

const TmvFileClassRef* setUnlessSet(std::atomic<const TmvFileClassRef*>& aVariable, const TmvFileClassRef* aClass) {
  const TmvFileClassRef* expected = nullptr;
  return aVariable.compare_exchange_strong(expected, aClass) ? aClass : nullptr;
}

void putBack(std::atomic<const TmvFileClassRef*>& aVariable, const TmvFileClassRef*& aSet) {
  const TmvFileClassRef* expected = aSet;
  if (aSet) aVariable.compare_exchange_strong(expected, nullptr);
  aSet = nullptr;
}
}  // namespace

void mvsrFileImplInit() {
  gSetTable = setUnlessSet(TableFileInfoClass, &TmvOverlappedWin32File::StaticClass);
  gSetDefault = setUnlessSet(DefaultFileInfoClass, &TmvBaseWin32File::StaticClass);
}

void mvsrFileImplFini() {
  putBack(TableFileInfoClass, gSetTable);
  putBack(DefaultFileInfoClass, gSetDefault);
}
