// Storage: `TmvBaseFile`, a file of fixed-size blocks (unit
// mvsrBufferManager).
//
// Every file of the engine (a table's main file, its other data files,
// temporary tables) is a TmvBaseFile: the block cache reads it one whole
// block at a time and commit writes it back in one sorted pass. This class
// declares the file operations as virtual methods (mvsrPosixFiles.h
// implements them on POSIX) and holds the state that the cache and the
// transactions keep per file: the header fields read from block 0, the
// lookup table of its cached blocks, its growth rule and its encryption.
//
// Block N occupies bytes N << shift .. ((N + 1) << shift) - 1; block 0 is the
// file header. A temporary file (mvfaTemporary) has no operating-system file
// at all: its blocks live in the cache and its temporary storage only.
//
// Ownership and threads: the server creates a file with Alloc, opens it,
// registers it with one block cache (TmvBufferManager::AddFile), and frees it
// after removing it from the cache and closing it. The file object has no
// lock of its own: its cache fields change under the cache's padlock; the
// write queue is filled by commit and emptied by one flusher at a time (the
// server's table locks keep commits of one file apart).
// Calls the foundation and the storage interfaces below the cache.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllLists.h"
#include "foundation/mvllUtils.h"
#include "platform/Components.h"
#include "storage/mvsrTypes.h"

class TmvBufferManager;
class TmvReadOnlyBlock;
class TmvBaseTransaction;
class TmvBaseTransactionLevel;
struct TmvFileSnapShotLink;
class TmvBaseReplicationLog;
class TmvBaseFileHeaderAccessFactory;
class TmvBaseEncryptionEngine;
class TmvBaseTempStorage;
class TmvBaseFile;

// One page of a file's lookup table of cached blocks: 256 entries (pages
// of the next level, or blocks at the last level) and the count of entries
// in use. The pages of a file form one list. Taken zero-filled from an item
// pool; freed as soon as the count drops to 0.
struct TmvBlockContainer {
  TmvBlockContainer* bcNext;
  TmvBlockContainer* bcPrev;
  void* bcBlocks[256];
  uint16_t bcCount;
};

// A buffer of block memory of one size from the memory manager's block
// pools, returned at the end of its scope.
class TmvBlockBuffer {
 public:
  explicit TmvBlockBuffer(TmvBlockSizeAll aSize)
      : fPool(mvBlockPool(aSize)), fBlock(static_cast<uint8_t*>(mvBlockPoolAlloc(fPool))) {}
  ~TmvBlockBuffer() {
    void* p = fBlock;
    mvBlockPoolDispose(fPool, p);
  }
  TmvBlockBuffer(const TmvBlockBuffer&) = delete;
  TmvBlockBuffer& operator=(const TmvBlockBuffer&) = delete;
  uint8_t* get() const { return fBlock; }

 private:
  TmvBlockClass* fPool;
  uint8_t* fBlock;
};

// Called for each physical block of a file by the block walks: the block
// number and its content (nil when it could not be read).
using TmvBlockIterator = std::function<TmvBlockIteratorResult(void* aCookie, TmvBlockNumber aBlockNum,
                                                              const uint8_t* aBlock)>;
using TmvBlockCookieIterator = std::function<TmvBlockIteratorResult(
    void* aCookie, TmvBlockNumber aBlockNum, const uint8_t* aBlock, const TmvByteArray& aBlockCookie)>;

// The class record of a file class: its constructor.
struct TmvFileClassRef : ClassRef {
  TmvBaseFile* (*Create)();
};

// The sink of the replication log: told of every block a flush writes.
// The cache owns one when its owner installs it; no component of this
// system does.
class TmvBaseReplicationLog : public TmvObject {
 public:
  virtual void BeginTrans(TmvLSN aLSN) = 0;
  virtual void EndTrans() = 0;
  virtual void BeginFile(const String& aAlias, const String& aTable, const String& aFile,
                         TmvBlockSize aBlockSize) = 0;
  virtual void EndFile() = 0;
  virtual void WriteBlock(TmvBlockNumber aBlockNumber, TmvLSN aOldLSN, const uint8_t* aBlock) = 0;
};

class TmvBaseFile : public TmvObject {
 public:
  // Creates a file object of the table file class (aForTable) or of the
  // default file class (an unset class is an assertion failure), named
  // aName, for the cache aBufMgr. The file is not opened.
  static TmvBaseFile* Alloc(bool aForTable, const String& aName, TmvBufferManager* aBufMgr);

  TmvBaseFile() = default;
  // Requires: closed and removed from its cache (blocks still cached are
  // removed and the fault logged). Links of snapshots to the file are freed.
  ~TmvBaseFile() override;
  TmvBaseFile(const TmvBaseFile&) = delete;
  TmvBaseFile& operator=(const TmvBaseFile&) = delete;

  // An absolute name stays; a relative one is taken relative to fiPath.
  virtual String ExpandRelativeFileName(const String& aFileName);
  virtual void CloseFile() = 0;
  virtual bool FileIsOpen() = 0;
  // Sorts the write queue and grows the file once for the blocks beyond its end.
  virtual void PrepareFlushFile() = 0;
  // Writes every queued block (block 0 last); with aFailSafe the data is on
  // stable storage before it returns.
  virtual void FlushFile(bool aFailSafe, TmvBaseReplicationLog* aReplicationLog) = 0;
  virtual void OpenFile(TmvOpenMode aOpenMode, TmvShareMode aShareMode, bool aWriteThru, bool aCreateFile) = 0;
  virtual int64_t PositionFileEOF() = 0;
  virtual int64_t FileSize() = 0;
  virtual uint32_t ReadFile(uint32_t aToRead, void* aBuffer) = 0;
  virtual void ReadFileExact(uint32_t aToRead, void* aBuffer) = 0;
  virtual uint32_t ReadFileAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) = 0;
  virtual void ReadFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer) = 0;
  virtual void WriteFileExact(uint32_t aToWrite, const void* aBuffer) = 0;
  virtual void WriteFileExactAt(int64_t aOffset, uint32_t aToWrite, const void* aBuffer) = 0;
  // The largest file size of the file's volume; 0 when unknown (no limit).
  virtual int64_t CalcMaxFileSize() = 0;
  // An exact read, then decryption with the file's engine (block 0: only
  // its header checksum is verified).
  virtual void ReadDecryptFileExactAt(int64_t aOffset, uint32_t aToRead, void* aBuffer, TmvByteArray& aCookie) = 0;
  // Encryption with the file's engine (block 0: its checksums are
  // refreshed in aBuffer), then an exact write.
  virtual void WriteEncryptFileExactAt(int64_t aOffset, uint32_t aToWrite, void* aBuffer,
                                       TmvByteArray& aCookie) = 0;
  // Fills the block's cache memory from the file.
  virtual void ReadBlock(TmvReadOnlyBlock* aBlock) = 0;
  // Queues the block for the next flush; nothing is written.
  virtual void WriteBlock(TmvReadOnlyBlock* aBlock) = 0;
  // Undoes the queued writes in the cache and empties the queue.
  virtual void RollbackUnwritten() = 0;
  // The blocks queued for the next flush (a block may be queued twice).
  virtual int32_t WriteQueueCount() const = 0;
  virtual TmvReadOnlyBlock* QueuedBlock(int32_t aIndex) const = 0;
  // The bytes a flush writes for a queued block, exactly as they go to the
  // file: its cache image, or (encrypted files) the image encrypted into
  // aBuffer (a block of the file's size), block 0 with its checksums
  // refreshed; zeros for a freed new block without memory. Requires: the
  // block pinned; the padlock not held.
  virtual const uint8_t* StoredImage(TmvReadOnlyBlock* aBlock, uint8_t* aBuffer) = 0;
  // Puts what was written on stable storage (fdatasync); nothing for a
  // temporary file.
  virtual void SyncFile() = 0;
  // The identity of the file on disk.
  virtual String GetFileID();

  // "(memory)" for a temporary file, else fiPath and the name part of fiName.
  String FileName() const;
  // The file size divided by the block size.
  int64_t PhysicalBlockCount();
  // Walk blocks 0 .. PhysicalBlockCount - 1 in order, reading each whole
  // block (decrypted, raw, decrypted with its cookie); a block that cannot be
  // read is passed as nil (and logged). birStop ends the walk and is
  // answered. Without an iterator the blocks are still read.
  TmvBlockIteratorResult IterateBlocks(void* aCookie, const TmvBlockIterator& aIterator);
  TmvBlockIteratorResult IterateBlocksRaw(void* aCookie, const TmvBlockIterator& aIterator);
  TmvBlockIteratorResult IterateBlockCookies(void* aCookie, const TmvBlockCookieIterator& aIterator);
  // Copies the table checksum into its area of a header image.
  // Requires: an encryption engine and a checksum of its size.
  void fiUpdateTableChecksum(uint8_t* aHeader);

  // Reads block 0: the header fields (checked before any is used), the
  // engine version (15415 when newer than this system), the largest block
  // number, the encryption engine. Answers an error code; aIsReadOnly when
  // the engine allows reading only.
  int32_t ReadHeader(const TmvUnicodeStrings& aPasswords, bool& aIsReadOnly);
  // Creates block 0 of a new file in aTrans with the given header format.
  int32_t AddHeader(TmvBaseTransaction* aTrans, const TmvUnicodeStrings& aPasswords,
                    const TmvBlockSignature& aSignature);

  uint32_t BlockShift() const { return mvBlockShift(fiBlockSize); }
  uint32_t BlockBytes() const { return mvBlockBytes(fiBlockSize); }
  bool IsTemporary() const { return (fiAttributes & mvFileAttr(mvfaTemporary)) != 0; }
  bool HasAttribute(TmvFileAttribute a) const { return (fiAttributes & mvFileAttr(a)) != 0; }

  // The transaction that changes the file, the level it joined at (moved
  // outwards by nested commits), its chain of files, and the used-block
  // count it sees (mvsrTransaction.h).
  TmvBaseTransaction* fiTrans = nullptr;
  TmvBaseTransactionLevel* fiTransLevel = nullptr;
  TmvBaseFile* fiTransNext = nullptr;
  TmvBaseFile* fiTransPrev = nullptr;
  uint32_t fiTransUsedBlocks = 0;
  // The snapshots that have looked at the file: the IDs in use (bit n),
  // their links by ID and in a chain, and the counter that tells which
  // snapshots came after a block's images were last kept.
  TmvByteArray fiSnapShotFlags;
  std::vector<TmvFileSnapShotLink*> fiSnapShotLinks;
  TmvFileSnapShotLink* fiSnapShotLinkHead = nullptr;
  TmvFileSnapShotLink* fiSnapShotLinkTail = nullptr;
  uint64_t fiSnapShotCounter = 0;

  String fiName;  // full file name
  String fiPath;  // folder of the file, absolute, with a trailing "/"
  TmvOpenMode fiOpenMode = omNone;  // after the read-only downgrade
  TmvShareMode fiShareMode = smExclusive;
  bool fiWriteThru = false;
  bool fiIsLink = false;  // the name is a symbolic link
  TmvBlockSignature fiHeaderSignature{};
  String fiEncryptionEngineName;
  String fiStreamEngineName;
  int32_t fiMorvaVersion = 0;  // engine version stored in block 0
  uint32_t fiCheckSumSize = 0;
  TmvByteArray fiChecksum;
  bool fiCheckSumVerified = false;
  TmvFileAttributes fiAttributes = 0;
  bool fiForServer = true;
  TmvBaseEncryptionEngine* fiEncryptionEngine = nullptr;  // owned
  TmvBaseTempStorage* fiTempStore = nullptr;              // the cache's, not owned
  TmvBufferManager* fiBufMgr = nullptr;
  TmvBaseFileHeaderAccessFactory* fiHeaderAccessFactory = nullptr;  // owned
  TmvBlockSize fiBlockSize = mvbs4k;
  uint32_t fiBlockSizeBytes = 0;  // usable bytes of a block
  uint32_t fiMaxBlocks = 0;       // no block may be allocated from this number on; 0: no limit
  uint32_t fiUsedBlocks = 0;
  // The LSN of block 0 as last read or committed. A commit stamps every
  // block it writes and writes block 0 last, so no sound block carries a
  // newer one (cache padlock).
  TmvLSN fiHeaderLSN = 0;
  TmvGrowSize fiInitialSize = 1;
  TmvGrowSize fiGrowSize = 1;
  // Cached blocks: the file's chain, block 0, the lookup pages and their list.
  TmvReadOnlyBlock* fiBlockListHead = nullptr;
  TmvReadOnlyBlock* fiBlockListTail = nullptr;
  TmvReadOnlyBlock* fiBlockZero = nullptr;
  TmvBlockContainer* fiBlockContainerList = nullptr;
  TmvBlockContainer* fiBlocks[256] = {};
  // Counts the file's snapshot images when the server sets it.
  int32_t* fiSnapshotBlockCount = nullptr;
  int32_t fiMaxID = 2147483647;
  String fiLogAlias, fiLogTable, fiLogFile;

 protected:
  // Reads every physical block in order for the walks.
  TmvBlockIteratorResult WalkBlocks(void* aCookie, bool aDecrypt, const TmvBlockCookieIterator& aIterator);
  // Reads one block for the walks; nil after logging when it fails.
  const uint8_t* ReadBlockForWalk(int64_t aOffset, uint8_t* aBuffer, bool aDecrypt, TmvByteArray& aCookie);
  // Checks the fields a header factory copied from block 0 before anything
  // uses them as sizes or offsets (8961).
  void CheckHeaderFields();
  // The encryption engine named in block 0 and its table checksum.
  int32_t CreateEncryptionEngine(const TmvUnicodeStrings& aPasswords, uint8_t* aHeader, bool aCreating,
                                 bool& aIsReadOnly);
  void FreeHeaderObjects();
};

// The classes Alloc creates: table files, and every other engine file. Set
// at the storage units' start-up unless set before.
extern std::atomic<const TmvFileClassRef*> TableFileInfoClass;
extern std::atomic<const TmvFileClassRef*> DefaultFileInfoClass;
