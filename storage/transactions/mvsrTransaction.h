// Storage: storage transactions, their copies of blocks and the snapshots
// (unit mvsrBufferManager).
//
// Every change to a file block happens inside a storage transaction,
// `TmvBaseTransaction`: a stack of nested levels (`TmvBaseTransactionLevel`).
// The first change of a block at a level gives that level a private copy of
// the block (`TmvModifiedBlock`), so that the committed image
// (`TmvReadOnlyBlock`) stays as it is until the outermost level commits
// (mvsrCommit.h) and a nested level can be rolled back alone. A block's
// copies form a stack, at most one per level, newest (innermost) first.
//
// A snapshot transaction reads a frozen view. Its first look at a file fixes
// the file's used-block count it sees (`TmvFileSnapShotLink`); from then on
// every commit that changes a block of that file first keeps the block's
// older image (`TmvBlockSnapShot`) for it, one image shared by all snapshots
// that need the same content (`TmvBlockSnapShotLink`). A commit that changes
// several files links the snapshots that have looked at one of them to all
// of them first, so that such a snapshot never sees half of a commit. A file
// a snapshot had not looked at shows the content of the moment it first
// does: a snapshot that must see several files as of one moment looks at
// them together, under the cache's padlock (`LinkFile`).
//
// Ownership: the server creates a transaction (its own class, which
// implements Commit and Rollback with the cache's CommitTransaction and
// RollbackTransaction and frees each level with FreeLevel) and frees it when
// the last level has ended. Copies belong to their level and their committed
// image; snapshot images to their committed image, kept alive by the links
// of the snapshots that read them; links to their snapshot transaction.
//
// Threads: a transaction is used by one thread at a time (its session's
// lock). Every structure the cache reaches (the level chain, copies, the
// block and file chains, snapshot images and links) is changed under the
// cache's padlock; the lock and nesting counts and the marks of a level are
// the owning thread's. Snapshot readers on other threads see committed
// images and snapshot images, never copies.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/types/mvsdTypes.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/cache/mvsrChains.h"

class TmvBaseTransaction;
class TmvBaseTransactionLevel;
class TmvBaseJournalEngine;

// The class of a transaction's levels: a function that creates one.
using TmvTransactionLevelClass = TmvBaseTransactionLevel* (*)(TmvBaseTransaction* aTrans);

// One level of a transaction. Created by StartNested, freed by the owner
// with FreeLevel once its copies have been committed or rolled back.
class TmvBaseTransactionLevel : public TmvObject {
 public:
  static TmvBaseTransactionLevel* Create(TmvBaseTransaction* aTrans);
  explicit TmvBaseTransactionLevel(TmvBaseTransaction* aTrans) : tlTransaction(aTrans) {}

  // Set the mark (the first time counted under "Transactions Corrupted" /
  // "Transactions Deadlocked" and in the session statistics).
  void MarkCorrupted();
  void MarkDeadlock();
  void MarkNoMoreNested();
  // Ends a pending nesting (false: the level goes on) or answers true when
  // there is none (the level itself ends).
  bool StopNested();

  // The level number with the pending nestings.
  int32_t Level() const { return tlLevel + tlNestingCount; }
  int32_t BlockCount() const { return tlBlockCount; }
  TmvTransactionLevelStates State() const { return tlState; }
  int32_t LockCount() const { return tlLockCount; }
  TmvBaseTransactionLevel* Parent() const { return tlPrev; }
  TmvModifiedBlock* FirstCopy() const { return tlModifiedBlocksHead; }

  TmvBaseTransactionLevel* tlPrev = nullptr;
  TmvBaseTransaction* tlTransaction;
  TDateTime tlStartTime = 0;
  TmvLSN tlStartLSN = 0;
  TmvLSN tlLSN = 0;
  TmvModifiedBlock* tlModifiedBlocksHead = nullptr;
  TmvModifiedBlock* tlModifiedBlocksTail = nullptr;
  int32_t tlLevel = 0;
  int32_t tlBlockCount = 0;
  int32_t tlLockCount = 0;
  int32_t tlNestingCount = 0;
  TmvTransactionLevelStates tlState = 0;

 private:
  // Sets a mark; the first time also counts it in the cache's counter and
  // the session statistics (when a counter is given).
  bool SetMark(TmvTransactionLevelState aMark, uint64_t TmvBufferManager::*aCounter, TmvSessionStatsCounter aStat);
};

class TmvBaseTransaction : public TmvObject {
 public:
  // Starts the first level. A snapshot takes a snapshot ID from the cache.
  // aFailSafe is not kept. aLevelClass creates the levels (the base level
  // when nil); it is an argument because a constructor cannot reach the
  // overrides of a derived class.
  TmvBaseTransaction(TmvBufferManager* aBufferManager, TPersistent* aOwningSession, bool aIsSnapshot, bool aFailSafe,
                     TmvTransactionLevelClass aLevelClass = nullptr);
  // Frees the snapshot links and gives the snapshot ID back. Levels still open are rolled back and freed (and logged: the
  // owner should have ended them).
  ~TmvBaseTransaction() override;
  TmvBaseTransaction(const TmvBaseTransaction&) = delete;
  TmvBaseTransaction& operator=(const TmvBaseTransaction&) = delete;

  // Marks the transaction failed; it can only be rolled back from now on.
  virtual void Failed();
  // A new innermost level; unless aForce, an innermost level marked
  // tlsNoMoreNested only counts a pending nesting instead.
  virtual void StartNested(bool aForce);
  virtual void Commit() = 0;
  virtual void Rollback() = 0;

  // Frees the innermost level after its commit or rollback; its parent
  // becomes innermost. Requires: no copies and no locks left at that level
  // (an assertion failure otherwise, and nothing is freed).
  void FreeLevel();
  // 15443 when failed; for the innermost level 10255 when deadlocked, 15443
  // when corrupted; else 0.
  int32_t CheckState() const;
  // The innermost level's lock count (index iterations hold it; commit and
  // rollback are refused while it is above 0). Unlocking at 0 is an
  // assertion failure.
  void Lock();
  void Unlock();
  // Marks of the innermost level.
  void MarkCorrupted();
  void MarkDeadlock();
  void MarkNoMoreNested();

  TmvBufferManager* TransBufferManager() const { return btBufferManager; }
  TPersistent* OwningSession() const { return btOwningSession; }
  TmvTransactionStates State() const { return btState; }
  void SetState(TmvTransactionStates aState) { btState = aState; }
  bool IsSnapshot() const { return mvInSet(btState, tsSnapshot); }
  TmvLSN LSN() const { return btLSN; }
  // An LSN handed out in this transaction: the transaction and its
  // innermost level take it when it is above theirs.
  void RaiseLSN(TmvLSN aLSN) {
    if (btLSN < aLSN) btLSN = aLSN;
    if (btTransLevelsTail && btTransLevelsTail->tlLSN < aLSN) btTransLevelsTail->tlLSN = aLSN;
  }
  // Whether the outermost commits of this transaction carry journals: one
  // per folder whose table files they write (mvsrCommit.h). The server
  // switches it on for the transactions of disk folders.
  bool Journalled() const { return btJournalled; }
  void SetJournalled(bool aJournalled) { btJournalled = aJournalled; }
  TmvBaseTransactionLevel* TransLevel() const { return btTransLevelsTail; }
  int32_t BlockCount() const { return btBlockCount; }
  // The innermost level's Level is above 0 (pending nestings included).
  bool Nested() const { return btTransLevelsTail && btTransLevelsTail->Level() > 0; }
  bool IsLocked() const {
    return btTransLevelsTail && btTransLevelsTail->tlLockCount > 0 && btTransLevelsTail->tlNestingCount == 0;
  }
  int32_t SnapshotID() const { return btSnapshotID; }

  // --- Used by the cache, with its padlock held.
  // The file records this transaction and its innermost level and gets the
  // used-block count the transaction sees. Requires: no other transaction
  // changing the file.
  void JoinFile(TmvBaseFile* aFile);
  void DetachFile(TmvBaseFile* aFile);
  // Every file that joined at aLevel (every file for nil).
  void DetachFiles(TmvBaseTransactionLevel* aLevel);
  // A snapshot's look at a file: its link, created on the first look.
  TmvFileSnapShotLink* LinkFile(TmvBaseFile* aFile);
  TmvFileSnapShotLink* FileLink(TmvBaseFile* aFile) const;
  // The used-block count of aFile this snapshot sees.
  uint32_t SnapshotUsedBlocks(TmvBaseFile* aFile) const;
  // The snapshot image of aBlock this snapshot reads, or nil.
  TmvBlockSnapShot* SnapshotImage(TmvReadOnlyBlock* aBlock) const;
  // The files it changes, in the order they joined (fiTransNext).
  TmvBaseFile* FirstFile() const { return btTransFileListHead; }
  // The committed images of the blocks it changes (robTransNext).
  TmvReadOnlyBlock* FirstBlock() const { return btTransBlockListHead; }
  void AddBlock(TmvReadOnlyBlock* aBlock);
  void RemoveBlock(TmvReadOnlyBlock* aBlock);
  void AddBlockLink(TmvBlockSnapShotLink* aLink);
  // Frees a block link; the image goes with its last link.
  static void FreeBlockLink(TmvBlockSnapShotLink* aLink);
  static void FreeFileLink(TmvFileSnapShotLink* aLink);

  TmvBufferManager* btBufferManager;
  TPersistent* btOwningSession;  // the server session, or nil
  TmvTransactionStates btState = 0;
  TDateTime btStartTime = 0;
  TmvLSN btStartLSN = 0;
  TmvLSN btLSN = 0;
  bool btJournalled = false;
  int32_t btSnapshotID = -1;
  TmvBlockSnapShotLink* btBlockSnapShotLinksHead = nullptr;
  TmvBlockSnapShotLink* btBlockSnapShotLinksTail = nullptr;
  TmvFileSnapShotLink* btFileSnapShotLinksHead = nullptr;
  TmvFileSnapShotLink* btFileSnapShotLinksTail = nullptr;
  TmvBaseTransactionLevel* btTransLevelsTail = nullptr;
  TmvReadOnlyBlock* btTransBlockListHead = nullptr;
  TmvReadOnlyBlock* btTransBlockListTail = nullptr;
  TmvBaseFile* btTransFileListHead = nullptr;
  TmvBaseFile* btTransFileListTail = nullptr;
  int32_t btBlockCount = 0;
  bool btWriteThroughCommit = false;

 private:
  void RegisterSnapshot();
  void UnregisterSnapshot();
  void FreeSnapshotLinks();
  // The destructor's clean-up of levels the owner left open.
  void AbandonLevels();

  TmvTransactionLevelClass btLevelClass;
};

// A copy of one block for one level. The block's newest copy is its
// committed image's robBlockListTail; mbPrev is the next older one, of an
// outer level. Its memory is never simply freed while it lives (its content
// exists nowhere else): it may only move to the temporary storage.
class TmvModifiedBlock : public TmvBlockObject {
 public:
  // The new newest copy of aReadOnlyBlock for aTransLevel: the content of
  // the older copy, else of the committed image (moved there instead of
  // copied for a file written through by its transactions), else, for a new
  // block, none (discarded: reads as zeros).
  TmvModifiedBlock(TmvReadOnlyBlock* aReadOnlyBlock, TmvBaseTransactionLevel* aTransLevel);
  // Leaves its level's chain and, when newest, the block's stack.
  ~TmvModifiedBlock() override;

  void ValidateImage(const uint8_t* aBlock) override;
  // Never while the committed image is referenced. The newest copy of a file
  // written through by its transactions first commits the transaction's
  // changes (at level 0: erMany) or asks for that commit (nested).
  TmvEvictResult CheckedEvict(bool aForce) override;
  TmvBlockSizeAll ContentSize() const override;

  // Moves the copy to the parent level.
  void DecreaseTransLevel();
  // The content no longer matters; a temporary file's copy frees its
  // memory at once.
  void Discard();
  // The copy's image: zeros while discarded unless aMarkDirty, which gives
  // it fresh zero-filled memory.
  uint8_t* mbGetBlock(bool aMarkDirty);

  TmvReadOnlyBlock* mbReadOnlyBlock;
  TmvModifiedBlock* mbPrev = nullptr;
  TmvBaseTransactionLevel* mbTransLevel;
  TmvModifiedBlock* mbTransLevelPrev = nullptr;
  TmvModifiedBlock* mbTransLevelNext = nullptr;
  bool mbDiscarded = false;
};

// An older image of one block kept for snapshot readers; lives while a
// snapshot links to it. Its content exists nowhere else: it may only move to
// the temporary storage.
class TmvBlockSnapShot : public TmvBlockObject {
 public:
  // Takes aBlock's committed memory (the content before the commit under
  // way) and joins the block's chain of images as its newest.
  explicit TmvBlockSnapShot(TmvReadOnlyBlock* aBlock);
  ~TmvBlockSnapShot() override;

  void ValidateImage(const uint8_t* aBlock) override;
  TmvEvictResult CheckedEvict(bool aForce) override;
  TmvBlockSizeAll ContentSize() const override;
  uint8_t* Block() { return AccessBlock(true); }

  TmvReadOnlyBlock* bssReadOnlyBlock;
  TmvBlockSnapShot* bssBlockNext = nullptr;
  TmvBlockSnapShot* bssBlockPrev = nullptr;
  int32_t bssLinkRefCount = 0;
};

// One snapshot reads one snapshot image of one block.
struct TmvBlockSnapShotLink : TmvObject {
  TmvBlockSnapShot* bsslBlockSnapShot = nullptr;
  TmvReadOnlyBlock* bsslBlock = nullptr;
  TmvBlockSnapShotLink* bsslBlockPrev = nullptr;
  TmvBlockSnapShotLink* bsslBlockNext = nullptr;
  TmvBaseTransaction* bsslTrans = nullptr;
  TmvBlockSnapShotLink* bsslTransPrev = nullptr;
  TmvBlockSnapShotLink* bsslTransNext = nullptr;
};

// One snapshot has looked at one file: the file's snapshot counter right
// after, and the used-block count the snapshot sees.
struct TmvFileSnapShotLink : TmvObject {
  TmvBaseFile* fsslFile = nullptr;
  TmvFileSnapShotLink* fsslFilePrev = nullptr;
  TmvFileSnapShotLink* fsslFileNext = nullptr;
  uint64_t fsslFileCounter = 0;
  uint32_t fsslUsedBlocks = 0;
  TmvBaseTransaction* fsslTrans = nullptr;
  TmvFileSnapShotLink* fsslTransPrev = nullptr;
  TmvFileSnapShotLink* fsslTransNext = nullptr;
};

// The base of a folder's transaction manager: the cache and a padlock; the
// server's manager creates journal engines for its transactions.
class TmvBaseTransactionMgr : public TmvObject {
 public:
  explicit TmvBaseTransactionMgr(TmvBufferManager* aBufferManager) : btmBufferManager(aBufferManager) {}
  // A journal engine object for the journal of number aNumber in the
  // manager's folder, or nil when the folder takes none.
  virtual TmvBaseJournalEngine* CreateJournalEngine(uint64_t aNumber) = 0;

  TmvPadlock btmPadlock;
  TmvBufferManager* btmBufferManager;
  TmvBaseTransaction* btmSnapShotListHead = nullptr;
  TmvBaseTransaction* btmSnapShotListTail = nullptr;
};

// Frees the snapshot links of a file that goes away (padlock taken here).
void mvFreeFileSnapShotLinks(TmvBaseFile* aFile);
