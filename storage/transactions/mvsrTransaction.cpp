// Storage: transactions, levels, copies, snapshots and rollback. See
// mvsrTransaction.h; commit is in mvsrCommit.cpp.
#include "storage/transactions/mvsrTransaction.h"

#include "foundation/errors/mvllErrors.h"
#include "platform/DateUtils.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/mvsrLog.h"
#include "storage/transactions/mvsrCommit.h"

namespace {

using FileChain = TmvChain<TmvBaseFile, &TmvBaseFile::fiTransPrev, &TmvBaseFile::fiTransNext>;
using BlockChain = TmvChain<TmvReadOnlyBlock, &TmvReadOnlyBlock::robTransPrev, &TmvReadOnlyBlock::robTransNext>;
using CopyChain =
    TmvChain<TmvModifiedBlock, &TmvModifiedBlock::mbTransLevelPrev, &TmvModifiedBlock::mbTransLevelNext>;
using ImageChain = TmvChain<TmvBlockSnapShot, &TmvBlockSnapShot::bssBlockPrev, &TmvBlockSnapShot::bssBlockNext>;
using BlockLinksOfBlock =
    TmvChain<TmvBlockSnapShotLink, &TmvBlockSnapShotLink::bsslBlockPrev, &TmvBlockSnapShotLink::bsslBlockNext>;
using BlockLinksOfTrans =
    TmvChain<TmvBlockSnapShotLink, &TmvBlockSnapShotLink::bsslTransPrev, &TmvBlockSnapShotLink::bsslTransNext>;
using FileLinksOfFile =
    TmvChain<TmvFileSnapShotLink, &TmvFileSnapShotLink::fsslFilePrev, &TmvFileSnapShotLink::fsslFileNext>;
using FileLinksOfTrans =
    TmvChain<TmvFileSnapShotLink, &TmvFileSnapShotLink::fsslTransPrev, &TmvFileSnapShotLink::fsslTransNext>;

// Bit arrays of snapshot IDs: bit n is bit n mod 8 of byte n div 8.
bool testBit(const TmvByteArray& aBits, int32_t aBit) {
  const size_t byte = size_t(aBit) / 8;
  return byte < aBits.size() && (aBits[byte] >> (aBit % 8)) & 1;
}
void setBit(TmvByteArray& aBits, int32_t aBit) {
  const size_t byte = size_t(aBit) / 8;
  if (aBits.size() <= byte) aBits.resize(byte + 1, 0);
  aBits[byte] |= uint8_t(1u << (aBit % 8));
}
void clearBit(TmvByteArray& aBits, int32_t aBit) {
  const size_t byte = size_t(aBit) / 8;
  if (byte < aBits.size()) aBits[byte] &= uint8_t(~(1u << (aBit % 8)));
}

// A slot of a table by snapshot ID, grown as needed.
template <typename T>
T*& slot(std::vector<T*>& aSlots, int32_t aID) {
  if (aSlots.size() <= size_t(aID)) aSlots.resize(size_t(aID) + 1, nullptr);
  return aSlots[size_t(aID)];
}
template <typename T>
T* slotOrNil(const std::vector<T*>& aSlots, int32_t aID) {
  return aID >= 0 && size_t(aID) < aSlots.size() ? aSlots[size_t(aID)] : nullptr;
}

TmvBaseTransactionLevel* createBaseLevel(TmvBaseTransaction* aTrans) { return new TmvBaseTransactionLevel(aTrans); }

// Of the attributes temporary, memory table and written through, the file
// has only the last: the first copy takes the committed image's memory.
bool movesCommittedMemory(const TmvBaseFile* aFile) {
  const TmvFileAttributes kinds =
      mvFileAttr(mvfaTemporary) | mvFileAttr(mvfaMemTable) | mvFileAttr(mvfaTransWriteThrough);
  return (aFile->fiAttributes & kinds) == mvFileAttr(mvfaTransWriteThrough);
}

}  // namespace

// ---------------------------------------------------------------------------
// Levels

TmvBaseTransactionLevel* TmvBaseTransactionLevel::Create(TmvBaseTransaction* aTrans) { return createBaseLevel(aTrans); }

bool TmvBaseTransactionLevel::SetMark(TmvTransactionLevelState aMark, uint64_t TmvBufferManager::*aCounter,
                                      TmvSessionStatsCounter aStat) {
  if (mvInSet(tlState, aMark)) return false;
  tlState |= TmvTransactionLevelStates(mvSetOf({aMark}));
  if (!aCounter) return true;
  TmvBufferManager* bm = tlTransaction->btBufferManager;
  {
    TmvBufferManagerGuard guard(bm);
    ++(bm->*aCounter);
  }
  mvCountSessionStat(aStat);
  return true;
}

void TmvBaseTransactionLevel::MarkCorrupted() {
  SetMark(tlsCorrupted, &TmvBufferManager::bmTransCorruptedCount, sscTransCorrupted);
}

void TmvBaseTransactionLevel::MarkDeadlock() {
  SetMark(tlsDeadlocked, &TmvBufferManager::bmTransDeadlockCount, sscTransDeadlock);
}

void TmvBaseTransactionLevel::MarkNoMoreNested() { SetMark(tlsNoMoreNested, nullptr, sscCalls); }

bool TmvBaseTransactionLevel::StopNested() {
  if (tlNestingCount == 0) return true;
  --tlNestingCount;
  return false;
}

// ---------------------------------------------------------------------------
// Transactions: life, levels, marks

TmvBaseTransaction::TmvBaseTransaction(TmvBufferManager* aBufferManager, TPersistent* aOwningSession, bool aIsSnapshot,
                                       bool, TmvTransactionLevelClass aLevelClass)
    : btBufferManager(aBufferManager),
      btOwningSession(aOwningSession),
      btLevelClass(aLevelClass ? aLevelClass : &createBaseLevel) {
  if (aIsSnapshot) {
    RegisterSnapshot();
    btState |= TmvTransactionStates(mvSetOf({tsSnapshot}));
  }
  try {
    StartNested(false);
  } catch (...) {
    if (aIsSnapshot) {
      TmvBufferManagerGuard guard(btBufferManager);
      UnregisterSnapshot();
    }
    throw;
  }
  btStartTime = btTransLevelsTail->tlStartTime;
  btStartLSN = btTransLevelsTail->tlStartLSN;
  btLSN = btTransLevelsTail->tlLSN;
}

TmvBaseTransaction::~TmvBaseTransaction() {
  try {
    if (btTransLevelsTail) AbandonLevels();
    TmvBufferManagerGuard guard(btBufferManager);
    FreeSnapshotLinks();
    if (IsSnapshot()) UnregisterSnapshot();
  } catch (...) {
    mvStorageLogError(u"Ending a transaction failed: " + mvCurrentExceptionText());
  }
}

void TmvBaseTransaction::AbandonLevels() {
  int32_t levels = 0;
  TmvBaseTransactionLevel* outermost = btTransLevelsTail;
  for (TmvBaseTransactionLevel* l = btTransLevelsTail; l; l = l->tlPrev, ++levels) outermost = l;
  mvStorageLogError(Format(u"A transaction was freed with %d open levels and %d changed blocks: they are rolled back",
                           {levels, btBlockCount}));
  btBufferManager->RollbackTransactionLevel(outermost);
  TmvBufferManagerGuard guard(btBufferManager);
  while (TmvBaseTransactionLevel* level = btTransLevelsTail) {
    btTransLevelsTail = level->tlPrev;
    delete level;
  }
}

void TmvBaseTransaction::Failed() { btState |= TmvTransactionStates(mvSetOf({tsFailed})); }

void TmvBaseTransaction::StartNested(bool aForce) {
  TmvBaseTransactionLevel* inner = btTransLevelsTail;
  if (!aForce && inner && mvInSet(inner->tlState, tlsNoMoreNested)) {
    ++inner->tlNestingCount;
    return;
  }
  TmvBaseTransactionLevel* level = btLevelClass(this);
  level->tlStartTime = Now();
  TmvBufferManagerGuard guard(btBufferManager);
  level->tlPrev = inner;
  // Below the parent's pending nestings too, so that a forced level always
  // gets copies of its own.
  level->tlLevel = inner ? inner->Level() + 1 : 0;
  level->tlStartLSN = level->tlLSN = btBufferManager->NextLSN();
  btTransLevelsTail = level;
}

void TmvBaseTransaction::FreeLevel() {
  TmvBaseTransactionLevel* level = btTransLevelsTail;
  MV_ASSERT(level != nullptr);
  MV_ASSERT(level->tlModifiedBlocksHead == nullptr && level->tlBlockCount == 0);
  MV_ASSERT(level->tlLockCount == 0);
  {
    TmvBufferManagerGuard guard(btBufferManager);
    // Files still attached at this level (a write-through commit leaves
    // them) must not keep pointing at it.
    DetachFiles(level);
    btTransLevelsTail = level->tlPrev;
  }
  delete level;
}

int32_t TmvBaseTransaction::CheckState() const {
  if (mvInSet(btState, tsFailed)) return MVERR_TRANSACTIONCORRUPT;
  const TmvBaseTransactionLevel* inner = btTransLevelsTail;
  if (!inner) return 0;
  if (mvInSet(inner->tlState, tlsDeadlocked)) return MVERR_DEADLOCK;
  if (mvInSet(inner->tlState, tlsCorrupted)) return MVERR_TRANSACTIONCORRUPT;
  return 0;
}

void TmvBaseTransaction::Lock() {
  MV_ASSERT(btTransLevelsTail != nullptr);
  ++btTransLevelsTail->tlLockCount;
}

void TmvBaseTransaction::Unlock() {
  MV_ASSERT(btTransLevelsTail != nullptr && btTransLevelsTail->tlLockCount > 0);
  --btTransLevelsTail->tlLockCount;
}

void TmvBaseTransaction::MarkCorrupted() { btTransLevelsTail->MarkCorrupted(); }
void TmvBaseTransaction::MarkDeadlock() { btTransLevelsTail->MarkDeadlock(); }
void TmvBaseTransaction::MarkNoMoreNested() { btTransLevelsTail->MarkNoMoreNested(); }

// ---------------------------------------------------------------------------
// Transactions: files and blocks (padlock held)

void TmvBaseTransaction::JoinFile(TmvBaseFile* aFile) {
  if (aFile->fiTrans == this) return;
  MV_ASSERT(aFile->fiTrans == nullptr);
  aFile->fiTrans = this;
  aFile->fiTransLevel = btTransLevelsTail;
  FileChain::Append(btTransFileListHead, btTransFileListTail, aFile);
  aFile->fiTransUsedBlocks = aFile->fiUsedBlocks;
}

void TmvBaseTransaction::DetachFile(TmvBaseFile* aFile) {
  FileChain::Remove(btTransFileListHead, btTransFileListTail, aFile);
  aFile->fiTrans = nullptr;
  aFile->fiTransLevel = nullptr;
}

void TmvBaseTransaction::DetachFiles(TmvBaseTransactionLevel* aLevel) {
  TmvBaseFile* next = nullptr;
  for (TmvBaseFile* f = btTransFileListHead; f; f = next) {
    next = f->fiTransNext;
    if (!aLevel || f->fiTransLevel == aLevel) DetachFile(f);
  }
}

void TmvBaseTransaction::AddBlock(TmvReadOnlyBlock* aBlock) {
  BlockChain::Append(btTransBlockListHead, btTransBlockListTail, aBlock);
  ++btBlockCount;
}

void TmvBaseTransaction::RemoveBlock(TmvReadOnlyBlock* aBlock) {
  BlockChain::Remove(btTransBlockListHead, btTransBlockListTail, aBlock);
  --btBlockCount;
}

// ---------------------------------------------------------------------------
// Snapshots (padlock held unless said otherwise)

void TmvBaseTransaction::RegisterSnapshot() {
  TmvBufferManager* bm = btBufferManager;
  TmvBufferManagerGuard guard(bm);
  TmvByteArray& flags = bm->bmSnapShotFlags;
  // The table of transactions first: growing it is what may fail.
  const int32_t count = bm->bmActiveSnapShotCount + 1;
  int32_t id = 0;
  if (int64_t(flags.size()) * 8 < count) {
    id = int32_t(flags.size()) * 8;
  } else {
    while (testBit(flags, id)) ++id;
  }
  TmvBaseTransaction*& owner = slot(bm->bmSnapShotTrans, id);
  MV_ASSERT(owner == nullptr);
  setBit(flags, id);
  owner = this;
  bm->bmActiveSnapShotCount = count;
  btSnapshotID = id;
}

void TmvBaseTransaction::UnregisterSnapshot() {
  TmvBufferManager* bm = btBufferManager;
  if (btSnapshotID < 0) return;
  clearBit(bm->bmSnapShotFlags, btSnapshotID);
  bm->bmSnapShotTrans[size_t(btSnapshotID)] = nullptr;
  --bm->bmActiveSnapShotCount;
  while (!bm->bmSnapShotFlags.empty() && bm->bmSnapShotFlags.back() == 0) bm->bmSnapShotFlags.pop_back();
  btSnapshotID = -1;
}

TmvFileSnapShotLink* TmvBaseTransaction::FileLink(TmvBaseFile* aFile) const {
  return slotOrNil(aFile->fiSnapShotLinks, btSnapshotID);
}

TmvFileSnapShotLink* TmvBaseTransaction::LinkFile(TmvBaseFile* aFile) {
  MV_ASSERT(btSnapshotID >= 0);
  if (TmvFileSnapShotLink* link = FileLink(aFile)) return link;
  TmvFileSnapShotLink*& place = slot(aFile->fiSnapShotLinks, btSnapshotID);
  MV_ASSERT(!testBit(aFile->fiSnapShotFlags, btSnapshotID));
  auto* link = new TmvFileSnapShotLink();
  setBit(aFile->fiSnapShotFlags, btSnapshotID);
  place = link;
  link->fsslFile = aFile;
  link->fsslTrans = this;
  link->fsslFileCounter = ++aFile->fiSnapShotCounter;
  link->fsslUsedBlocks = aFile->fiUsedBlocks;
  FileLinksOfFile::Append(aFile->fiSnapShotLinkHead, aFile->fiSnapShotLinkTail, link);
  FileLinksOfTrans::Append(btFileSnapShotLinksHead, btFileSnapShotLinksTail, link);
  return link;
}

uint32_t TmvBaseTransaction::SnapshotUsedBlocks(TmvBaseFile* aFile) const {
  const TmvFileSnapShotLink* link = FileLink(aFile);
  return link ? link->fsslUsedBlocks : aFile->fiUsedBlocks;
}

TmvBlockSnapShot* TmvBaseTransaction::SnapshotImage(TmvReadOnlyBlock* aBlock) const {
  const TmvBlockSnapShotLink* link = slotOrNil(aBlock->robSnapShotLinks, btSnapshotID);
  return link ? link->bsslBlockSnapShot : nullptr;
}

void TmvBaseTransaction::AddBlockLink(TmvBlockSnapShotLink* aLink) {
  BlockLinksOfTrans::Append(btBlockSnapShotLinksHead, btBlockSnapShotLinksTail, aLink);
}

void TmvBaseTransaction::FreeBlockLink(TmvBlockSnapShotLink* aLink) {
  TmvReadOnlyBlock* block = aLink->bsslBlock;
  TmvBaseTransaction* trans = aLink->bsslTrans;
  BlockLinksOfBlock::Remove(block->robSnapShotLinkHead, block->robSnapShotLinkTail, aLink);
  BlockLinksOfTrans::Remove(trans->btBlockSnapShotLinksHead, trans->btBlockSnapShotLinksTail, aLink);
  if (slotOrNil(block->robSnapShotLinks, trans->btSnapshotID) == aLink)
    block->robSnapShotLinks[size_t(trans->btSnapshotID)] = nullptr;
  TmvBlockSnapShot* image = aLink->bsslBlockSnapShot;
  delete aLink;
  if (--image->bssLinkRefCount == 0) delete image;
}

void TmvBaseTransaction::FreeFileLink(TmvFileSnapShotLink* aLink) {
  TmvBaseFile* file = aLink->fsslFile;
  TmvBaseTransaction* trans = aLink->fsslTrans;
  ++file->fiSnapShotCounter;
  clearBit(file->fiSnapShotFlags, trans->btSnapshotID);
  if (slotOrNil(file->fiSnapShotLinks, trans->btSnapshotID) == aLink)
    file->fiSnapShotLinks[size_t(trans->btSnapshotID)] = nullptr;
  FileLinksOfFile::Remove(file->fiSnapShotLinkHead, file->fiSnapShotLinkTail, aLink);
  FileLinksOfTrans::Remove(trans->btFileSnapShotLinksHead, trans->btFileSnapShotLinksTail, aLink);
  delete aLink;
}

void TmvBaseTransaction::FreeSnapshotLinks() {
  while (TmvBlockSnapShotLink* link = btBlockSnapShotLinksHead) {
    TmvReadOnlyBlock* block = link->bsslBlock;
    FreeBlockLink(link);
    // A committed image without memory that nothing needs any more would
    // otherwise stay until its file leaves the cache.
    if (!block->CacheBlock()) btBufferManager->DropIfIdle(block);
  }
  while (btFileSnapShotLinksHead) FreeFileLink(btFileSnapShotLinksHead);
}

void mvFreeFileSnapShotLinks(TmvBaseFile* aFile) {
  if (!aFile->fiSnapShotLinkHead) return;
  TmvBufferManagerGuard guard(aFile->fiBufMgr);
  while (aFile->fiSnapShotLinkHead) TmvBaseTransaction::FreeFileLink(aFile->fiSnapShotLinkHead);
}

// ---------------------------------------------------------------------------
// Copies

TmvModifiedBlock::TmvModifiedBlock(TmvReadOnlyBlock* aReadOnlyBlock, TmvBaseTransactionLevel* aTransLevel)
    : TmvBlockObject(aReadOnlyBlock->boBufferManager),
      mbReadOnlyBlock(aReadOnlyBlock),
      mbPrev(aReadOnlyBlock->robBlockListTail),
      mbTransLevel(aTransLevel) {
  if (mbPrev) {
    mbDiscarded = mbPrev->mbDiscarded;
    if (!mbDiscarded) CopyFrom(mbPrev);
  } else {
    mbDiscarded = aReadOnlyBlock->robNew;
    if (!mbDiscarded) {
      if (movesCommittedMemory(aReadOnlyBlock->robFile)) MoveFrom(aReadOnlyBlock);
      else CopyFrom(aReadOnlyBlock);
    }
  }
  // Linked last: a copy that could not get its content is not left behind.
  aReadOnlyBlock->robBlockListTail = this;
  CopyChain::Append(aTransLevel->tlModifiedBlocksHead, aTransLevel->tlModifiedBlocksTail, this);
  ++aTransLevel->tlBlockCount;
}

TmvModifiedBlock::~TmvModifiedBlock() {
  CopyChain::Remove(mbTransLevel->tlModifiedBlocksHead, mbTransLevel->tlModifiedBlocksTail, this);
  --mbTransLevel->tlBlockCount;
  if (mbReadOnlyBlock->robBlockListTail == this) mbReadOnlyBlock->robBlockListTail = mbPrev;
}

void TmvModifiedBlock::ValidateImage(const uint8_t* aBlock) { mbReadOnlyBlock->ValidateImage(aBlock); }

TmvBlockSizeAll TmvModifiedBlock::ContentSize() const { return mbReadOnlyBlock->robFile->fiBlockSize; }

TmvEvictResult TmvModifiedBlock::CheckedEvict(bool aForce) {
  TmvReadOnlyBlock* block = mbReadOnlyBlock;
  if (block->RefCount() > 0 || !boCacheBlock) return erNone;
  if (boCacheBlock->GetState() == cbsMapped && block->robFile->HasAttribute(mvfaTransWriteThrough) &&
      block->robBlockListTail == this) {
    TmvBaseTransaction* trans = block->robTrans;
    if (trans->TransLevel()->Level() == 0) {
      // Frees this copy, and possibly many other blocks.
      boBufferManager->CommitTransaction(trans, nullptr, true);
      return erMany;
    }
    trans->btWriteThroughCommit = true;
  }
  return Evict(aForce);
}

void TmvModifiedBlock::DecreaseTransLevel() {
  TmvBaseTransactionLevel* parent = mbTransLevel->tlPrev;
  MV_ASSERT(parent != nullptr);
  CopyChain::Remove(mbTransLevel->tlModifiedBlocksHead, mbTransLevel->tlModifiedBlocksTail, this);
  --mbTransLevel->tlBlockCount;
  mbTransLevel = parent;
  CopyChain::Append(parent->tlModifiedBlocksHead, parent->tlModifiedBlocksTail, this);
  ++parent->tlBlockCount;
}

void TmvModifiedBlock::Discard() {
  mbDiscarded = true;
  if (mbReadOnlyBlock->robFile->IsTemporary()) delete ReleaseCacheBlock(false);
}

uint8_t* TmvModifiedBlock::mbGetBlock(bool aMarkDirty) {
  if (mbDiscarded) {
    if (!aMarkDirty) return const_cast<uint8_t*>(TmvBufferManager::ZeroBlock());
    TmvBaseFile* file = mbReadOnlyBlock->robFile;
    SetCacheBlock(TmvCacheBlock::CreateZeroed(file->fiBlockSize, file->fiTempStore, this));
    mbDiscarded = false;
  }
  return AccessBlock(true);
}

// ---------------------------------------------------------------------------
// Snapshot images

TmvBlockSnapShot::TmvBlockSnapShot(TmvReadOnlyBlock* aBlock)
    : TmvBlockObject(aBlock->boBufferManager), bssReadOnlyBlock(aBlock) {
  MoveFrom(aBlock);
  ImageChain::Append(aBlock->robSnapShotBlockHead, aBlock->robSnapShotBlockTail, this);
  if (int32_t* count = aBlock->robFile->fiSnapshotBlockCount) __atomic_add_fetch(count, 1, __ATOMIC_SEQ_CST);
}

TmvBlockSnapShot::~TmvBlockSnapShot() {
  TmvReadOnlyBlock* block = bssReadOnlyBlock;
  ImageChain::Remove(block->robSnapShotBlockHead, block->robSnapShotBlockTail, this);
  if (block->robBeforeCommit.Image == this) block->robBeforeCommit.Image = nullptr;
  if (int32_t* count = block->robFile->fiSnapshotBlockCount) __atomic_sub_fetch(count, 1, __ATOMIC_SEQ_CST);
}

void TmvBlockSnapShot::ValidateImage(const uint8_t* aBlock) { bssReadOnlyBlock->ValidateImage(aBlock); }

TmvBlockSizeAll TmvBlockSnapShot::ContentSize() const { return bssReadOnlyBlock->robFile->fiBlockSize; }

TmvEvictResult TmvBlockSnapShot::CheckedEvict(bool aForce) {
  return bssReadOnlyBlock->RefCount() > 0 ? erNone : Evict(aForce);
}

// ---------------------------------------------------------------------------
// Committed images: changes in a transaction (padlock held)

void TmvReadOnlyBlock::MakeDirty(TmvBaseTransaction* aTrans) {
  MV_ASSERT(aTrans != nullptr);
  MV_ASSERT(robTrans == nullptr || robTrans == aTrans);
  TmvBaseTransactionLevel* level = aTrans->TransLevel();
  MV_ASSERT(level != nullptr);
  if (robBlockListTail) {
    if (robBlockListTail->mbTransLevel->Level() < level->Level()) new TmvModifiedBlock(this, level);
    return;
  }
  // The first copy takes the committed content: read it before anything
  // changes, as reading releases the padlock.
  if (!robNew && !boCacheBlock) CacheBlockNeeded();
  aTrans->JoinFile(robFile);
  TmvModifiedBlock* copy = new TmvModifiedBlock(this, level);
  robTrans = aTrans;
  aTrans->AddBlock(this);
  if (copy->CacheBlock()) mvPutU64(copy->AccessBlock(false), mvBchLSNOffset, uint64_t(aTrans->btLSN));
}

void TmvReadOnlyBlock::MakeClean() {
  if (robTrans) robTrans->RemoveBlock(this);
  robTrans = nullptr;
}

bool TmvReadOnlyBlock::DirtiedForTrans(TmvBaseTransaction* aTrans) const {
  return robBlockListTail && robTrans == aTrans && robBlockListTail->mbTransLevel == aTrans->TransLevel();
}

TmvLSN TmvReadOnlyBlock::GetLSN() {
  if (robBlockListTail) return robTrans->btLSN;
  return boCacheBlock ? mvBchLSN(AccessBlock(false)) : 0;
}

bool TmvReadOnlyBlock::Commit(bool aForce) {
  TmvModifiedBlock* newest = robBlockListTail;
  if (!newest || (!aForce && newest->mbTransLevel != robTrans->TransLevel())) return false;
  TmvBaseTransactionLevel* parent = newest->mbTransLevel->tlPrev;
  MV_ASSERT(parent != nullptr);
  TmvModifiedBlock* older = newest->mbPrev;
  if (older && older->mbTransLevel == parent) {
    older->mbDiscarded = newest->mbDiscarded;
    older->InstallCacheBlock(newest->ReleaseCacheBlock(false), false);
    delete newest;
  } else {
    newest->DecreaseTransLevel();
  }
  return false;
}

void TmvReadOnlyBlock::Rollback() {
  if (robTrans) RollbackTransLevel(robTrans->TransLevel());
}

void TmvReadOnlyBlock::RollbackTransLevel(TmvBaseTransactionLevel* aTransLevel) {
  TmvBaseTransaction* trans = robTrans;
  if (aTransLevel->tlLevel == 0) {
    while (robBlockListTail) delete robBlockListTail;
  } else {
    if (!robBlockListTail || robBlockListTail->mbTransLevel != aTransLevel) return;
    delete robBlockListTail;
  }
  if (!robBlockListTail) {
    MakeClean();
    // A block the transaction created has nothing to go back to.
    if (robNew && boBufferManager->DropIfIdle(this)) return;
  }
  if (robBlockNum != 0 || !trans || robFile->fiTrans != trans || trans->IsSnapshot()) return;
  // The used-block count comes back with the header the transaction sees.
  TmvBaseFileHeaderAccessFactory* factory = robFile->fiHeaderAccessFactory;
  if (!robBlockListTail) robFile->fiTransUsedBlocks = robFile->fiUsedBlocks;
  else if (factory) robFile->fiTransUsedBlocks = factory->GetUsedBlocks(robBlockListTail->mbGetBlock(false));
}

void TmvReadOnlyBlock::ForgetTransactionObjects() {
  while (robBlockListTail) delete robBlockListTail;
  MakeClean();
  while (robSnapShotLinkHead) TmvBaseTransaction::FreeBlockLink(robSnapShotLinkHead);
  while (robSnapShotBlockHead) delete robSnapShotBlockHead;  // an image always has a link; this is a safeguard
}

// ---------------------------------------------------------------------------
// Rollback in the cache

void TmvBufferManager::RollbackTransaction(TmvBaseTransaction* aTrans) {
  TmvBufferManagerGuard guard(this);
  TmvBaseTransactionLevel* level = aTrans->TransLevel();
  MV_ASSERT(level != nullptr);
  if (level->Level() > 0) {
    ++bmTransNestedRollbackCount;
    mvCountSessionStat(sscTransNestedRollback);
  } else if (!aTrans->IsSnapshot()) {
    ++bmTransRollbackCount;
    mvCountSessionStat(sscTransRollback);
  }
  RollbackLevel(aTrans, level);
  TrimUnderPressure();
}

void TmvBufferManager::RollbackTransactionLevel(TmvBaseTransactionLevel* aTransLevel) {
  TmvBufferManagerGuard guard(this);
  RollbackLevel(aTransLevel->tlTransaction, aTransLevel);
  TrimUnderPressure();
}

void TmvBufferManager::RollbackLevel(TmvBaseTransaction* aTrans, TmvBaseTransactionLevel* aLevel) {
  if (aLevel->tlLevel > 0) {
    while (TmvModifiedBlock* copy = aLevel->tlModifiedBlocksHead) {
      copy->mbReadOnlyBlock->RollbackTransLevel(aLevel);
      MV_ASSERT(aLevel->tlModifiedBlocksHead != copy);  // a deeper level was left open
    }
    aTrans->DetachFiles(aLevel);
    return;
  }
  while (TmvReadOnlyBlock* block = aTrans->FirstBlock()) block->RollbackTransLevel(aLevel);
  aTrans->DetachFiles(nullptr);
  bmRemoveExcessBlocks(true, true);
}
