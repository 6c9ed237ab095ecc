// Storage: the file classes of the engine on the operating system (unit
// mvsrFileImplWin32; the class names are the system's, the implementation is
// POSIX, every call made through the file-system interface of
// mvsrFileSystem.h).
//
//  - `TmvBaseWin32File`: a file with a current position for sequential
//    reads and writes, and a write queue of blocks waiting to be written.
//    The class of engine files that are not table files.
//  - `TmvOverlappedWin32File`: the class of table files. Every read and
//    write names its offset (pread/pwrite, retried on interrupted and
//    partial transfers); the sequential operations are refused.
//
// Share modes become open-file-description locks on a second descriptor of
// the file that lives from OpenFile to CloseFile: an open for writing takes
// the exclusive lock, a read-only open that lets no writer in (smExclusive,
// smShareRead) the shared one, and a read-only smShared open none. Two opens
// for writing are thus refused even inside one process. The data descriptor
// may be reopened (ReopenFile) without the lock ever lapsing.
//
// A failed open leaves its error number stored; every later operation then
// raises 9221 with it until CloseFile clears it. Writing through (O_DSYNC)
// and the fail-safe flush (fdatasync) put written data on stable storage.
//
// Threads: positional reads may run on several threads at once, also while
// a flush writes, grows and reopens the file; everything else is used by one
// thread at a time (see mvsrBaseFile.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/errors/mvllServerException.h"
#include "foundation/mvllLists.h"
#include "storage/files/mvsrBaseFile.h"

MV_DECLARE_EXCEPTION(EmvServerOSException, EmvServerException)
MV_DECLARE_EXCEPTION(EmvBaseFileException, EmvServerOSException)
MV_DECLARE_EXCEPTION(EmvBaseWin32FileException, EmvBaseFileException)
MV_DECLARE_EXCEPTION(EmvOverlappedWin32FileException, EmvBaseFileException)

class TmvBaseWin32File : public TmvBaseFile {
 public:
  static const TmvFileClassRef StaticClass;

  TmvBaseWin32File() = default;
  // Closes descriptors still open; failures are logged.
  ~TmvBaseWin32File() override;

  // Closes the file (15363 when the system refuses). After a failed open it
  // only clears the stored error. Requires: an empty write queue.
  void CloseFile() override;
  bool FileIsOpen() override { return dfiHandle != -1; }
  void PrepareFlushFile() override;
  void FlushFile(bool aFailSafe, TmvBaseReplicationLog* aReplicationLog) override;
  // Opens or (aCreateFile) creates the file: an existing file that may not be
  // written is opened read-only (fiOpenMode tells); a created file's folder
  // is synced (9218 with the flush message when that fails, and the file is
  // not opened); a temporary file only gets a placeholder handle. 9221 when
  // the system or the share lock refuses; 15360 when the file is open
  // already or has no name.
  void OpenFile(TmvOpenMode aOpenMode, TmvShareMode aShareMode, bool aWriteThru, bool aCreateFile) override;
  int64_t PositionFileEOF() override;
  // A temporary file: its cached blocks times the usable block size.
  int64_t FileSize() override;
  uint32_t ReadFile(uint32_t aToRead, void* aBuffer) override;
  void ReadFileExact(uint32_t aToRead, void* aBuffer) override;
  uint32_t ReadFileAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) override;
  void ReadFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) override;
  void WriteFileExact(uint32_t aToWrite, const void* aBuffer) override;
  void WriteFileExactAt(int64_t aOffset, uint32_t aToWrite, const void* aBuffer) override;
  int64_t CalcMaxFileSize() override;
  void ReadDecryptFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer, TmvByteArray& aCookie) override;
  void WriteEncryptFileExactAt(int64_t aOffset, uint32_t aToWrite, void* aBuffer, TmvByteArray& aCookie) override;
  void ReadBlock(TmvReadOnlyBlock* aBlock) override;
  void WriteBlock(TmvReadOnlyBlock* aBlock) override;
  void RollbackUnwritten() override;
  // fdatasync; 9218 with the flush message when it fails.
  void SyncFile() override;
  // The name, then (for an open file) ";" and the object id as four GUIDs,
  // the creation time's two halves, the device and the inode as a GUID.
  String GetFileID() override;

  // Opens the data descriptor (no share lock); 9221 on failure, with the
  // error number kept in dfiOpenError.
  virtual int OpenFilePrim(const String& aName, TmvOpenMode aOpenMode, TmvShareMode aShareMode, bool aWriteThru,
                           bool aCreateFile, int aFlags);
  // Opens the file again (once more after 25 ms when that fails) and puts
  // the new descriptor in the old one's place in one step: threads reading
  // the file meanwhile are not disturbed. When both opens fail the file is
  // left closed (9221 from then on).
  virtual void ReopenFile();

  int32_t WriteQueueCount() const override { return dfiWriteRequest.Count(); }
  TmvReadOnlyBlock* QueuedBlock(int32_t aIndex) const override {
    return static_cast<TmvReadOnlyBlock*>(dfiWriteRequest.blGet(aIndex));
  }
  const uint8_t* StoredImage(TmvReadOnlyBlock* aBlock, uint8_t* aBuffer) override;
  uint32_t OpenError() const { return dfiOpenError; }

 protected:
  // Raises this class's exception (the code's own text when aText is empty).
  [[noreturn]] void RaiseError(int32_t aCode, const String& aText);
  virtual void ThrowError(int32_t aCode, const String& aText);
  // "... [<name>, error <n>, <system text>]" style messages.
  [[noreturn]] void RaiseOSError(int32_t aCode, std::u16string_view aFormat, int aError);
  [[noreturn]] void RaiseOpenError(const String& aName, int aError);
  // 9221 after a failed open, 15360 when closed or unnamed.
  void CheckOpen();
  // Writes one block of a flush after block aPrevious: sequentially here.
  virtual void WriteQueuedBlock(TmvBlockNumber aBlockNum, int64_t aPrevious, const uint8_t* aData);
  // Writes a queued block, pinned meanwhile, and clears its unwritten flag
  // under the cache's padlock; the caller must not touch the block after
  // it returns (another thread may free it).
  void WriteQueuedBlock(TmvReadOnlyBlock* aBlock, int64_t aPrevious, uint8_t* aBuffer,
                        TmvBaseReplicationLog* aLog);
  void AcquireShareLock(TmvOpenMode aOpenMode, TmvShareMode aShareMode, bool aCreateFile);
  // Closes the share-lock descriptor; false (errno set) when the system refused.
  bool ReleaseShareLock();
  // Logs a close that failed where its error cannot be passed on (errno).
  void LogCloseFailure();

  std::atomic<int> dfiHandle{-1};  // read by concurrent readers
  int dfiLockHandle = -1;
  TmvList dfiWriteRequest{512};
  uint32_t dfiOpenError = 0;
  int64_t dfiPosition = 0;  // of the sequential operations
};

class TmvOverlappedWin32File : public TmvBaseWin32File {
 public:
  static const TmvFileClassRef StaticClass;

  // Refused: 9218 with the end-of-file message and EOPNOTSUPP.
  int64_t PositionFileEOF() override;
  // Refused: 9217 / 9218 with the read or write message and EOPNOTSUPP.
  uint32_t ReadFile(uint32_t aToRead, void* aBuffer) override;
  void ReadFileExact(uint32_t aToRead, void* aBuffer) override;
  void WriteFileExact(uint32_t aToWrite, const void* aBuffer) override;
  uint32_t ReadFileAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) override;
  void ReadFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) override;
  void WriteFileExactAt(int64_t aOffset, uint32_t aToWrite, const void* aBuffer) override;

 protected:
  void ThrowError(int32_t aCode, const String& aText) override;
  void WriteQueuedBlock(TmvBlockNumber aBlockNum, int64_t aPrevious, const uint8_t* aData) override;
  using TmvBaseWin32File::WriteQueuedBlock;
};

// The largest file size of the volume that holds aPath, by its file system:
// 0 (no limit known) for file systems not in the table or a failed query.
int64_t mvCalcMaxFileSize(const String& aPath);

// Sets TableFileInfoClass and DefaultFileInfoClass unless set before (unit
// start-up), and puts back what it changed (shutdown).
void mvsrFileImplInit();
void mvsrFileImplFini();
