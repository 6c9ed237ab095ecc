// Storage: the block cache, `TmvBufferManager` (unit mvsrBufferManager).
//
// The one block cache of a server engine: every block of every engine file
// is read and written through it. It keeps one committed image per cached
// block (`TmvReadOnlyBlock`), lets a transaction copy a block before it
// changes it, hands out the image each caller may see together with a
// release method, loads blocks from disk on demand, hands out log sequence
// numbers, registers and unregisters files, and provides scratch memory. Its
// memory budget and eviction are in mvsrCacheMemory.h, the transactions,
// their copies and the snapshots in mvsrTransaction.h, commit and flush in
// mvsrCommit.h; sub-engines reach it only through `TmvBlockAccess`
// (mvsrBlockAccess.h).
//
// Threads: one padlock guards every structure of the cache, the files' cache
// fields and the block objects. It is released only while a block is read
// from disk and while a thread waits for another thread's read of the same
// block (the block is then marked loading, so nobody else touches it); both
// release it completely, also when the caller holds it too, so a caller may
// not rely on the cache staying unchanged across GetBlock (the in-memory
// part of a commit reads what it needs first and then changes everything in
// one hold of the padlock). Reference counts
// of handed-out images change atomically: release methods need no lock.
// A pointer handed out stays valid, without copying, until it is released.
// Calls the foundation, the file layer and the storage interfaces.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllLists.h"
#include "foundation/mvllUtils.h"
#include "foundation/sync/mvllSync.h"
#include "storage/cache/mvsrCacheMemory.h"
#include "storage/cache/mvsrTempStorage.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/mvsrTypes.h"

class TmvBufferManager;
class TmvReadOnlyBlock;
class TmvBaseTransaction;
class TmvBaseTransactionLevel;
class TmvModifiedBlock;
class TmvBlockSnapShot;
struct TmvBlockSnapShotLink;
struct TmvFileSnapShotLink;
class TmvFlushList;

// The committed image of one block of one file. Exists from its first use
// until it leaves the cache (evicted without copies, dropped by a rollback
// or a failed load, or its file removed); meanwhile it is on the cache's
// in-use list, in its file's chain and in its file's lookup table. Its
// memory may come and go independently.
class TmvReadOnlyBlock : public TmvBlockObject {
 public:
  TmvReadOnlyBlock(TmvBufferManager* aBufferManager, TmvBaseFile* aFile, TmvBlockNumber aBlockNum, bool aNew);

  // The file's header factory checks the stored block number.
  void ValidateImage(const uint8_t* aBlock) override;
  TmvEvictResult CheckedEvict(bool aForce) override;
  // Loads the image from the file; the padlock is released meanwhile. A
  // failed read, or an image stamped newer than the file's block 0 (see
  // CheckStamp), leaves the block without memory, and drops it (it may be
  // freed) when nothing else keeps it, before the error passes on.
  void CacheBlockNeeded() override;
  // After a load: block 0 sets the file's header LSN; any other block that
  // carries a newer LSN is damage (8962 with the file and the block).
  void CheckStamp();
  TmvBlockSizeAll ContentSize() const override { return robFile->fiBlockSize; }

  // The image aTrans may see: its newest copy for the modifying transaction
  // (modifiable when aMarkDirty), the image a snapshot keeps for a snapshot
  // (its first look at the file is taken here), else the committed image.
  // The reference is counted and aReleaseMethod set.
  uint8_t* Block(TmvBaseTransaction* aTrans, bool aMarkDirty, TmvReleaseMethod& aReleaseMethod);

  // --- Transactions (mvsrTransaction.cpp); padlock held.
  // Gives aTrans a copy of the block at its innermost level unless it has
  // one there; the first change lets the file join the transaction and
  // stamps the copy with the transaction's LSN. May read the committed
  // image from disk first (the padlock is released meanwhile).
  // Requires: a transaction, and no other transaction changing the block.
  void MakeDirty(TmvBaseTransaction* aTrans);
  // Leaves the modifying transaction's block chain.
  void MakeClean();
  // The block has copies, aTrans changes it and its newest copy belongs to
  // aTrans's innermost level.
  bool DirtiedForTrans(TmvBaseTransaction* aTrans) const;
  // The block has transaction copies.
  bool GetDirty() const { return robBlockListTail != nullptr; }
  // The modifying transaction's LSN while dirty, else the committed
  // image's (0 without memory).
  TmvLSN GetLSN();
  // Nested commit: the newest copy, when it belongs to the innermost level
  // (or aForce), merges into the parent level's copy or moves to the parent
  // level. Answers false: nothing became committed.
  bool Commit(bool aForce);
  // Rolls back the newest copy when it belongs to aTransLevel (the
  // transaction's innermost level for Rollback): above level 0 that copy,
  // at level 0 every copy. A block left without copies leaves the
  // transaction; a new one leaves the cache (it may be freed).
  void Rollback();
  void RollbackTransLevel(TmvBaseTransactionLevel* aTransLevel);
  // Frees its copies, snapshot images and snapshot links (the file leaves
  // the cache).
  void ForgetTransactionObjects();

  // --- Commit (mvsrCommit.cpp); padlock held.
  // Level-0 commit of the block's only copy: keeps the older image for the
  // snapshots that need it, turns the copy into the committed image (a
  // write-through commit of a referenced block keeps the copy and commits a
  // copy of it), checks it and queues it for writing.
  void CommitOutermost(bool aIsWTCommit);
  // Keeps the current committed image for every snapshot that has looked at
  // the file since the last time and has no image of the block yet.
  void KeepOldImages();
  // After a failed commit, before anything was written: the content before
  // the commit comes back (from the image kept for snapshots in this
  // commit, else from disk), block 0's counts too. Answers false when it had
  // to stay because it is referenced.
  bool RollbackUnwritten();

  // No copies, no modifying transaction, no snapshot images.
  bool Unused() const { return !robTrans && !robBlockListTail && !robSnapShotBlockHead; }
  // Unused, and nobody holds, reads, awaits or is about to write it.
  bool Idle() const { return Unused() && RefCount() == 0 && !robLoading && robWaiting == 0 && !robUnwritten; }

  TmvBlockNumber BlockNumber() const { return robBlockNum; }
  TmvBaseFile* FileObject() const { return robFile; }
  bool New() const { return robNew; }
  int32_t RefCount() const { return __atomic_load_n(&robRefCount, __ATOMIC_ACQUIRE); }

  // The release method of handed-out images: clears the pointer, drops the
  // reference.
  static void Release(void* aObject, uint8_t*& aBlock);

  TmvBaseFile* robFile;
  TmvReadOnlyBlock* robFileNext = nullptr;
  TmvReadOnlyBlock* robFilePrev = nullptr;
  TmvBlockNumber robBlockNum;
  TmvLSN robLastLSN = 0;       // bchLSN of the image as last loaded (block 0: as last committed)
  int32_t robRefCount = 0;     // handed-out pointers to its images; atomic
  bool robNew;                 // no content on disk yet: reads as zeros
  bool robUnwritten = false;   // queued for writing, not yet written
  ImvManualEventPtr robLoading;  // set while a thread reads the block
  int32_t robWaiting = 0;      // threads waiting for that read
  bool robDropped = false;     // left the cache while threads waited; the last one frees it
  TmvReadOnlyBlock* robInUseNext = nullptr;
  TmvReadOnlyBlock* robInUsePrev = nullptr;
  // The modifying transaction, its chain of blocks, the newest copy.
  TmvBaseTransaction* robTrans = nullptr;
  TmvReadOnlyBlock* robTransNext = nullptr;
  TmvReadOnlyBlock* robTransPrev = nullptr;
  TmvModifiedBlock* robBlockListTail = nullptr;
  // Snapshot links by snapshot ID and in a chain; the snapshot counter of
  // the file when images were last kept; the images, oldest first.
  std::vector<TmvBlockSnapShotLink*> robSnapShotLinks;
  TmvBlockSnapShotLink* robSnapShotLinkHead = nullptr;
  TmvBlockSnapShotLink* robSnapShotLinkTail = nullptr;
  uint64_t robSnapShotCounter = 0;
  TmvBlockSnapShot* robSnapShotBlockHead = nullptr;
  TmvBlockSnapShot* robSnapShotBlockTail = nullptr;
  TmvByteArray robEncryptionCookie;
  // What the commit whose write is pending replaced: enough to take it back
  // when the commit fails before anything is written.
  struct {
    bool WasNew = false;
    TmvBlockSnapShot* Image = nullptr;  // kept by that commit; nil when none (or freed since)
    uint32_t UsedBlocks = 0;            // block 0: the file's used-block count before
    TmvLSN LastLSN = 0;                 // block 0: robLastLSN before
  } robBeforeCommit;
};

// Scratch memory of the cache: may leave memory (to the temporary storage)
// while it is not locked.
class TmvScratchBlock : public TmvBlockObject {
 public:
  using TmvBlockObject::TmvBlockObject;
  TmvEvictResult CheckedEvict(bool aForce) override;
  uint32_t sbID = 0;
  int32_t sbRefCount = 0;
};

struct TmvScratchBlockHandle {
  TmvScratchBlock* sbhScratchBlock = nullptr;
  uint32_t sbhID = 0;
};

class TmvBufferManager : public TmvObject {
 public:
  // A cold cache with a budget of 10 MB and the null temporary storage;
  // aTempDir is the folder for a temporary storage of its own.
  explicit TmvBufferManager(const String& aTempDir);
  // Requires: no committed image left (every file removed); an assertion
  // failure otherwise.
  ~TmvBufferManager() override;
  TmvBufferManager(const TmvBufferManager&) = delete;
  TmvBufferManager& operator=(const TmvBufferManager&) = delete;

  // Registers a file and hands out block 0 (modifiable in aTrans when
  // aMarkHeaderDirty). The first registration reads the header; later ones
  // only authenticate aPasswords. Answers an error code; aIsReadOnly when the
  // file may only be read.
  int32_t AddFile(TmvBaseFile* aFile, TmvBaseTransaction* aTrans, const TmvUnicodeStrings& aPasswords,
                  bool aMarkHeaderDirty, TmvReleaseMethod& aReleaseMethod, uint8_t*& aBlock, bool& aIsReadOnly);
  // Forgets every cached block of the file; nothing is written (blocks a
  // failed flush left queued leave the file's queue, logged).
  // Requires: none of them referenced or being read.
  void RemoveFile(TmvBaseFile* aFile);
  // The image of a block that aTrans may see, modifiable when aMarkDirty.
  uint8_t* GetBlock(TmvBaseFile* aFile, TmvBaseTransaction* aTrans, TmvBlockNumber aBlockNumber, bool aMarkDirty,
                    TmvReleaseMethod& aReleaseMethod);
  // A block with no previous content (zero-filled), modifiable in aTrans.
  uint8_t* AddBlock(TmvBaseFile* aFile, TmvBaseTransaction* aTrans, TmvBlockNumber aBlockNumber,
                    TmvReleaseMethod& aReleaseMethod);
  // A modifiable pointer to a cached block (the caller holds it already);
  // aModifiableBlock is left alone when the block is not cached.
  void DirtyBlock(TmvBaseFile* aFile, TmvBlockNumber aBlockNumber, TmvBaseTransaction* aTrans,
                  uint8_t*& aModifiableBlock);
  // The block's content no longer matters in aTrans.
  void DiscardBlock(TmvBaseFile* aFile, TmvBlockNumber aBlockNumber, TmvBaseTransaction* aTrans);

  // Commits aTrans's innermost level (mvsrCommit.h): a nested level merges
  // into its parent; the outermost level turns the copies into the
  // committed images, stamps block 0 of every changed file with the
  // transaction's LSN and queues the blocks in aFlushList, which the caller
  // flushes; without a flush list they are written (and synced) before this
  // returns. aIsWTCommit: a write-through commit (the transaction goes on).
  // Nothing for a nil transaction.
  void CommitTransaction(TmvBaseTransaction* aTrans, TmvFlushList* aFlushList, bool aIsWTCommit);
  // Rolls back aTrans's innermost level (counted), or the given level (not
  // counted); level 0 rolls back the whole transaction. Nothing is written.
  void RollbackTransaction(TmvBaseTransaction* aTrans);
  void RollbackTransactionLevel(TmvBaseTransactionLevel* aTransLevel);

  // Whether a commit puts its blocks on stable storage (fdatasync of every
  // written file) before it reports success; on unless turned off (for
  // temporary data, and for measuring without it).
  bool GetSyncOnCommit();
  void SetSyncOnCommit(bool aValue);

  TmvScratchBlockHandle CreateScratchBlock(TmvBlockSizeAll aSize);
  uint8_t* LockScratchBlock(const TmvScratchBlockHandle& aHandle);
  void UnlockScratchBlock(const TmvScratchBlockHandle& aHandle, const uint8_t* aPointer);
  // Requires: not locked.
  void FreeScratchBlock(const TmvScratchBlockHandle& aHandle);
  // How many scratch blocks are alive (statistics and tests).
  int32_t ScratchBlockCount();

  void Lock();
  void Unlock();
  bool TryLock();

  // The next LSN (the current one plus 1); lifting the current LSN to a
  // larger value; the current LSN. LSNs only grow.
  TmvLSN NextLSN();
  void SetNextLSN(TmvLSN aValue);
  TmvLSN CurrentLSN();

  // The temporary storage's size in MB. Setting it replaces the storage.
  // Requires (when set): nothing cached yet.
  int32_t GetTempStoreSize();
  void SetTempStoreSize(int32_t aValue);

  // The budget in MB (mvsrCacheMemory.cpp).
  int32_t GetMaxRAM() const { return bmMaxRAM; }
  void SetMaxRAM(int32_t aValue);
  // Bytes the machine can still give beyond what the cache may still take.
  int64_t AvailableRAM();
  // The captions, and the placeholder values, need no block cache: the
  // engine shows them before it has one.
  static void GetStatsCaptions(TStrings* aList);
  virtual void GetStatsValues(TStrings* aList);
  static void GetStatsValuesStatic(TStrings* aList);

  // Trimming: gives up memory of the least recently used blocks while a kind
  // of memory is above its targets; forced passes ignore the timing rules.
  void bmRemoveExcessBlocks(bool aForceMapped, bool aForceAllocated);

  // Tests: the clock of the timing rules (nil: the system's).
  void SetTickSource(TmvTickSource aSource) { bmTickSource = aSource ? aSource : GetTickCount64; }
  uint64_t Now() const { return bmTickSource(); }

  // Counters of blocks read from and written to files (atomic).
  void CountBlockRead(uint64_t aCount = 1);
  void CountBlockWritten();
  uint64_t BlocksRead() const { return __atomic_load_n(&bmBlocksRead, __ATOMIC_ACQUIRE); }
  uint64_t BlocksWritten() const { return __atomic_load_n(&bmBlocksWritten, __ATOMIC_ACQUIRE); }

  // Pages of resident memory and the targets (tests and statistics).
  int64_t ResidentPages() const;
  int64_t TargetPages() const;

  // Used by the block objects, the files and the transactions; padlock held.
  // Trims when the memory manager asks for memory back.
  void TrimUnderPressure();
  // Trims, forcing the kinds of memory the memory manager asks back.
  void Trim();
  // Releases the padlock completely and takes it back as often (loads and
  // waits). Answers the depth to take it back with.
  int32_t ReleaseAll();
  void RetakeAll(int32_t aDepth);
  // Takes a read-only block out of the lookup, its file's chain and the
  // in-use list and frees it (or leaves the freeing to its waiters).
  void DropBlock(TmvReadOnlyBlock* aBlock);
  // Drops a block that nothing keeps (Idle); answers whether it did.
  bool DropIfIdle(TmvReadOnlyBlock* aBlock);
  // The cached committed image, or nil; waits for a load in progress.
  TmvReadOnlyBlock* FindBlock(TmvBaseFile* aFile, TmvBlockNumber aBlockNumber);
  // The cached committed image as it is, also while it is being read; nil
  // when not cached (tests and diagnostics).
  TmvReadOnlyBlock* CachedBlock(TmvBaseFile* aFile, TmvBlockNumber aBlockNumber);
  // The committed image, created (without memory) when not cached.
  TmvReadOnlyBlock* FindOrCreateBlock(TmvBaseFile* aFile, TmvBlockNumber aBlockNumber, bool aNew);
  TmvBlockListEnds& ResidentList(uint8_t aKind, bool aFreq) { return bmBlockList[aKind][aFreq ? 1 : 0]; }
  TmvBlockListEnds& HistoryList(uint8_t aKind, bool aFreq) { return bmHistoryList[aKind][aFreq ? 1 : 0]; }
  // The zero image that blocks without content hand out.
  static const uint8_t* ZeroBlock();

  TmvPadlock bmPadlock{true};
  int32_t bmMaxRAM = 0;
  String bmTempDir;
  TmvBaseTempStorage* bmTempStore = nullptr;  // owned
  TmvReadOnlyBlock* bmInUseListHead = nullptr;
  TmvReadOnlyBlock* bmInUseListTail = nullptr;
  TmvLSN bmCurrentLSN = 0;
  uint64_t bmBlocksRead = 0;
  uint64_t bmBlocksWritten = 0;
  TmvBaseReplicationLog* bmReplicationLog = nullptr;  // owned
  bool bmSyncOnCommit = true;
  // Snapshot registry: bit n of the flags is set while snapshot ID n is in
  // use by the transaction in slot n.
  TmvByteArray bmSnapShotFlags;
  std::vector<TmvBaseTransaction*> bmSnapShotTrans;
  int32_t bmActiveSnapShotCount = 0;

  // Memory (mvsrCacheMemory.cpp). Index k is the kind of memory, f the list.
  TmvBlockListEnds bmBlockList[mvCacheKindCount][2];    // resident lists
  TmvBlockListEnds bmHistoryList[mvCacheKindCount][2];  // history lists
  int64_t bmMaxPages[mvCacheKindCount][2] = {};         // targets of the resident lists
  uint64_t bmLastCheckFailed[mvCacheKindCount] = {};
  uint64_t bmBlockCacheHit[mvCacheKindCount][2][2] = {};    // [kind][list][loaded by read-ahead]
  uint64_t bmBlockCacheEvict[mvCacheKindCount][2][2] = {};
  uint64_t bmBulkBlockLoad = 0;
  uint64_t bmTransCommitCount = 0, bmTransRollbackCount = 0, bmTransNestedCommitCount = 0,
           bmTransNestedRollbackCount = 0, bmTransDeadlockCount = 0, bmTransCorruptedCount = 0;
  bool bmUseAllocated = false;
  bool bmCacheIsCold = true;
  TmvCacheBlockState bmCacheIsColdCheckState = cbsMapped;
  uint64_t bmChunkEmergency = 0;
  uint64_t bmPhysicalEmergency = 0;
  uint32_t bmPressureChecks = 0;  // checks made only because the memory manager asked

 private:
  void CreateInLookup(TmvReadOnlyBlock* aBlock);
  void RemoveFromLookup(TmvReadOnlyBlock* aBlock);
  TmvScratchBlock* FindScratchBlock(const TmvScratchBlockHandle& aHandle);
  // Trims one kind of memory (mvsrCacheMemory.cpp).
  void bmRemoveExcessUsedBlocks(uint8_t aKind, bool aForce);
  bool KindNeedsTrimming(uint8_t aKind, bool* aOnlyAsked);
  void TrimHistory(uint8_t aKind);
  // Hands out the image after a lookup and trims; releases it again when the
  // trimming fails.
  uint8_t* HandOut(TmvReadOnlyBlock* aBlock, TmvBaseTransaction* aTrans, bool aMarkDirty,
                   TmvReleaseMethod& aReleaseMethod);
  // Commit (mvsrCommit.cpp): the outermost level, and the reads it needs
  // before it may change anything.
  TmvFlushList* CommitOutermost(TmvBaseTransaction* aTrans, TmvFlushList* aFlushList, bool aIsWTCommit);
  void LoadBeforeCommit(TmvBaseTransaction* aTrans);
  void CommitNested(TmvBaseTransaction* aTrans);
  // Rolls back one level's copies and detaches the files that joined at it;
  // level 0: the whole transaction.
  void RollbackLevel(TmvBaseTransaction* aTrans, TmvBaseTransactionLevel* aLevel);

  TmvTickSource bmTickSource = GetTickCount64;
  TmvSortedList bmScratchBlocks;  // live scratch blocks, to check handles against
  std::atomic<uint32_t> bmLockOwner{0};
  int32_t bmLockDepth = 0;  // changed by the owner only
};

// Holds a cache's padlock for a scope.
class TmvBufferManagerGuard {
 public:
  explicit TmvBufferManagerGuard(TmvBufferManager* aBufMgr) : fBufMgr(aBufMgr) { fBufMgr->Lock(); }
  ~TmvBufferManagerGuard() { fBufMgr->Unlock(); }
  TmvBufferManagerGuard(const TmvBufferManagerGuard&) = delete;
  TmvBufferManagerGuard& operator=(const TmvBufferManagerGuard&) = delete;

 private:
  TmvBufferManager* fBufMgr;
};
