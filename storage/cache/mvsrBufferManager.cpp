// Storage: the block cache. See mvsrBufferManager.h; the memory budget,
// eviction and statistics are in mvsrCacheMemory.cpp.
#include "storage/cache/mvsrBufferManager.h"

#include "foundation/errors/mvllErrors.h"
#include "storage/cache/mvsrChains.h"
#include "storage/files/mvsrEncryption.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/mvsrLog.h"
#include "storage/transactions/mvsrTransaction.h"

namespace {

using FileBlocks = TmvChain<TmvReadOnlyBlock, &TmvReadOnlyBlock::robFilePrev, &TmvReadOnlyBlock::robFileNext>;
using InUseBlocks = TmvChain<TmvReadOnlyBlock, &TmvReadOnlyBlock::robInUsePrev, &TmvReadOnlyBlock::robInUseNext>;

TmvMemoryPoolHandle containerPool() {
  static const TmvMemoryPoolHandle pool = mvGetMemoryPool(sizeof(TmvBlockContainer));
  return pool;
}

// The lookup walks bits 24-31 (fiBlocks), 16-23, 8-15 and 0-7 (the leaf).
constexpr uint32_t kLevelShifts[3] = {16, 8, 0};

TmvBlockContainer* newPage(TmvBaseFile* aFile) {
  auto* page = static_cast<TmvBlockContainer*>(mvMemoryPoolAlloc(containerPool()));
  std::memset(page, 0, sizeof(TmvBlockContainer));
  page->bcNext = aFile->fiBlockContainerList;
  if (page->bcNext) page->bcNext->bcPrev = page;
  aFile->fiBlockContainerList = page;
  return page;
}

void freePage(TmvBaseFile* aFile, TmvBlockContainer* aPage) {
  if (aPage->bcPrev) aPage->bcPrev->bcNext = aPage->bcNext;
  else aFile->fiBlockContainerList = aPage->bcNext;
  if (aPage->bcNext) aPage->bcNext->bcPrev = aPage->bcPrev;
  mvMemoryPoolDisposeDirect(containerPool(), aPage);
}

TmvReadOnlyBlock* lookup(TmvBaseFile* aFile, TmvBlockNumber aBlockNumber) {
  if (aBlockNumber == 0) return aFile->fiBlockZero;
  TmvBlockContainer* page = aFile->fiBlocks[aBlockNumber >> 24];
  for (uint32_t shift : {16u, 8u}) {
    if (!page) return nullptr;
    page = static_cast<TmvBlockContainer*>(page->bcBlocks[(aBlockNumber >> shift) & 255]);
  }
  return page ? static_cast<TmvReadOnlyBlock*>(page->bcBlocks[aBlockNumber & 255]) : nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// TmvReadOnlyBlock

TmvReadOnlyBlock::TmvReadOnlyBlock(TmvBufferManager* aBufferManager, TmvBaseFile* aFile, TmvBlockNumber aBlockNum,
                                   bool aNew)
    : TmvBlockObject(aBufferManager), robFile(aFile), robBlockNum(aBlockNum), robNew(aNew) {}

void TmvReadOnlyBlock::ValidateImage(const uint8_t* aBlock) {
  if (robFile->fiHeaderAccessFactory) robFile->fiHeaderAccessFactory->ValidateBlock(aBlock, robBlockNum);
}

TmvEvictResult TmvReadOnlyBlock::CheckedEvict(bool aForce) {
  if (RefCount() > 0 || robLoading || robWaiting > 0 || !boCacheBlock) return erNone;
  // A queued block keeps its memory until it is written.
  if (robUnwritten) return erNone;
  // A block of a temporary file has its content nowhere else.
  if (robFile->IsTemporary() && !robNew) return Evict(aForce);
  delete ReleaseCacheBlock(true);
  if (Unused()) boBufferManager->DropBlock(this);
  return erThis;
}

void TmvReadOnlyBlock::CacheBlockNeeded() {
  if (boCacheBlock || robNew) return;
  TmvBufferManager* bm = boBufferManager;
  // The event first: memory installed without a load behind it would pass
  // for the block's content.
  ImvManualEventPtr loaded = mvAcquireManualEvent();
  InstallCacheBlock(new TmvCacheBlock(robFile->fiBlockSize, robFile->fiTempStore, this), true);
  robLoading = loaded;
  // The waiters look the block up again and read it themselves. A block
  // that transactions or snapshots still keep stays, without memory.
  auto abandon = [&] {
    robLoading.reset();
    loaded->SetEvent();
    delete ReleaseCacheBlock(false);
    if (Unused() && RefCount() == 0 && !robUnwritten) bm->DropBlock(this);
  };
  const int32_t depth = bm->ReleaseAll();
  try {
    robFile->ReadBlock(this);
  } catch (...) {
    bm->RetakeAll(depth);
    abandon();
    throw;
  }
  bm->RetakeAll(depth);
  try {
    CheckStamp();
  } catch (...) {
    abandon();
    throw;
  }
  robLoading.reset();
  loaded->SetEvent();
}

void TmvReadOnlyBlock::CheckStamp() {
  const TmvLSN lsn = mvBchLSN(boCacheBlock->cbBlock);
  if (robBlockNum == 0) {
    robFile->fiHeaderLSN = lsn;
  } else if (lsn > robFile->fiHeaderLSN) {
    // Block 0 is written last: a newer block belongs to a commit whose
    // block 0 never reached the disk, and the blocks of that commit that
    // did are mixed with the old ones.
    throw EmvFileHeaderAccessException(
        MVERR_FILECORRUPT,
        u"Block %d of file \"%s\" carries LSN %d, newer than its header's LSN %d: a commit that wrote it did not "
        u"finish",
        {robBlockNum, robFile->FileName(), lsn, robFile->fiHeaderLSN});
  }
  robLastLSN = lsn;
}

uint8_t* TmvReadOnlyBlock::Block(TmvBaseTransaction* aTrans, bool aMarkDirty, TmvReleaseMethod& aReleaseMethod) {
  uint8_t* image = nullptr;
  if (aTrans && aTrans == robTrans && robBlockListTail) {
    image = robBlockListTail->mbGetBlock(aMarkDirty);
  } else {
    if (aTrans && aTrans->IsSnapshot()) {
      if (TmvBlockSnapShot* kept = aTrans->SnapshotImage(this)) image = kept->Block();
      else aTrans->LinkFile(robFile);  // its first look fixes what it sees of the file
    }
    if (!image) {
      MV_ASSERT(!robLoading);
      if (!boCacheBlock) CacheBlockNeeded();  // a failure may drop this block
      image = boCacheBlock ? AccessBlock(true) : const_cast<uint8_t*>(TmvBufferManager::ZeroBlock());
    }
  }
  __atomic_add_fetch(&robRefCount, 1, __ATOMIC_SEQ_CST);
  aReleaseMethod.Code = &TmvReadOnlyBlock::Release;
  aReleaseMethod.Object = this;
  return image;
}

void TmvReadOnlyBlock::Release(void* aObject, uint8_t*& aBlock) {
  auto* block = static_cast<TmvReadOnlyBlock*>(aObject);
  aBlock = nullptr;
  const int32_t left = __atomic_sub_fetch(&block->robRefCount, 1, __ATOMIC_SEQ_CST);
  MV_ASSERT(left >= 0);
}

// ---------------------------------------------------------------------------
// TmvScratchBlock

TmvEvictResult TmvScratchBlock::CheckedEvict(bool aForce) { return sbRefCount > 0 ? erNone : Evict(aForce); }

// ---------------------------------------------------------------------------
// TmvBufferManager: life, locking, counters

TmvBufferManager::TmvBufferManager(const String& aTempDir) : bmTempDir(aTempDir) {
  SetMaxRAM(10);
  SetTempStoreSize(0);
}

TmvBufferManager::~TmvBufferManager() {
  if (bmInUseListHead) mvAssertFailed("bmInUseListHead == nullptr", __FILE__, __LINE__);
  while (bmScratchBlocks.Count() > 0) {
    auto* scratch = static_cast<TmvScratchBlock*>(bmScratchBlocks.Last());
    bmScratchBlocks.Delete(bmScratchBlocks.Count() - 1);
    delete scratch;
  }
  mvFreeAndNil(bmTempStore);
  mvFreeAndNil(bmReplicationLog);
  mvCacheBudgetChanged(TargetPages(), 0);
}

void TmvBufferManager::Lock() {
  bmPadlock.Lock();
  if (bmLockDepth++ == 0) bmLockOwner.store(GetCurrentThreadId(), std::memory_order_relaxed);
}

void TmvBufferManager::Unlock() {
  if (--bmLockDepth == 0) bmLockOwner.store(0, std::memory_order_relaxed);
  bmPadlock.Unlock();
}

bool TmvBufferManager::TryLock() {
  if (!bmPadlock.TryLock()) return false;
  if (bmLockDepth++ == 0) bmLockOwner.store(GetCurrentThreadId(), std::memory_order_relaxed);
  return true;
}

int32_t TmvBufferManager::ReleaseAll() {
  MV_ASSERT(bmLockOwner.load(std::memory_order_relaxed) == GetCurrentThreadId());
  const int32_t depth = bmLockDepth;
  for (int32_t i = 0; i < depth; ++i) Unlock();
  return depth;
}

void TmvBufferManager::RetakeAll(int32_t aDepth) {
  for (int32_t i = 0; i < aDepth; ++i) Lock();
}

void TmvBufferManager::CountBlockRead(uint64_t aCount) {
  __atomic_add_fetch(&bmBlocksRead, aCount, __ATOMIC_SEQ_CST);
  mvCountSessionStat(sscBlocksRead, static_cast<int64_t>(aCount));
}

void TmvBufferManager::CountBlockWritten() {
  __atomic_add_fetch(&bmBlocksWritten, 1, __ATOMIC_SEQ_CST);
  mvCountSessionStat(sscBlocksWritten);
}

const uint8_t* TmvBufferManager::ZeroBlock() {
  return static_cast<const uint8_t*>(mvMemoryManagerTable().ZeroPage);
}

void TmvBufferManager::TrimUnderPressure() {
  const bool mapped = mvMustReleaseMappedBlocks();
  const bool allocated = mvMustReleaseAllocatedBlocks();
  if (mapped || allocated) bmRemoveExcessBlocks(mapped, allocated);
}

void TmvBufferManager::Trim() { bmRemoveExcessBlocks(mvMustReleaseMappedBlocks(), mvMustReleaseAllocatedBlocks()); }

// ---------------------------------------------------------------------------
// The lookup table and the block lists

void TmvBufferManager::CreateInLookup(TmvReadOnlyBlock* aBlock) {
  TmvBaseFile* file = aBlock->robFile;
  const TmvBlockNumber n = aBlock->robBlockNum;
  if (n == 0) {
    MV_ASSERT(file->fiBlockZero == nullptr);
    file->fiBlockZero = aBlock;
    return;
  }
  void** slot = reinterpret_cast<void**>(&file->fiBlocks[n >> 24]);
  TmvBlockContainer* parent = nullptr;
  for (uint32_t shift : kLevelShifts) {
    if (!*slot) {
      *slot = newPage(file);
      if (parent) ++parent->bcCount;
    }
    parent = static_cast<TmvBlockContainer*>(*slot);
    slot = &parent->bcBlocks[(n >> shift) & 255];
  }
  MV_ASSERT(*slot == nullptr);
  *slot = aBlock;
  ++parent->bcCount;
}

void TmvBufferManager::RemoveFromLookup(TmvReadOnlyBlock* aBlock) {
  TmvBaseFile* file = aBlock->robFile;
  const TmvBlockNumber n = aBlock->robBlockNum;
  if (n == 0) {
    if (file->fiBlockZero == aBlock) file->fiBlockZero = nullptr;
    return;
  }
  // The slot that holds each page, top down, then the leaf entry.
  void** slots[4];
  TmvBlockContainer* pages[3];
  slots[0] = reinterpret_cast<void**>(&file->fiBlocks[n >> 24]);
  for (int i = 0; i < 3; ++i) {
    pages[i] = static_cast<TmvBlockContainer*>(*slots[i]);
    if (!pages[i]) return;
    slots[i + 1] = &pages[i]->bcBlocks[(n >> kLevelShifts[i]) & 255];
  }
  if (*slots[3] != aBlock) return;
  *slots[3] = nullptr;
  for (int i = 2; i >= 0; --i) {
    if (--pages[i]->bcCount != 0) break;
    freePage(file, pages[i]);
    *slots[i] = nullptr;
  }
}

void TmvBufferManager::DropBlock(TmvReadOnlyBlock* aBlock) {
  RemoveFromLookup(aBlock);
  TmvBaseFile* file = aBlock->robFile;
  FileBlocks::Remove(file->fiBlockListHead, file->fiBlockListTail, aBlock);
  InUseBlocks::Remove(bmInUseListHead, bmInUseListTail, aBlock);
  if (aBlock->robWaiting > 0) aBlock->robDropped = true;  // the last waiter frees it
  else delete aBlock;
}

bool TmvBufferManager::DropIfIdle(TmvReadOnlyBlock* aBlock) {
  if (!aBlock->Idle()) return false;
  DropBlock(aBlock);
  return true;
}

TmvReadOnlyBlock* TmvBufferManager::CachedBlock(TmvBaseFile* aFile, TmvBlockNumber aBlockNumber) {
  return lookup(aFile, aBlockNumber);
}

TmvReadOnlyBlock* TmvBufferManager::FindBlock(TmvBaseFile* aFile, TmvBlockNumber aBlockNumber) {
  for (;;) {
    TmvReadOnlyBlock* block = lookup(aFile, aBlockNumber);
    if (!block || !block->robLoading) return block;
    ImvManualEventPtr loaded = block->robLoading;
    ++block->robWaiting;
    const int32_t depth = ReleaseAll();
    try {
      loaded->WaitFor();
    } catch (...) {
      RetakeAll(depth);
      if (--block->robWaiting == 0 && block->robDropped) delete block;
      throw;
    }
    RetakeAll(depth);
    --block->robWaiting;
    if (!block->robDropped) return block;
    if (block->robWaiting == 0) delete block;  // the read failed: look it up again
  }
}

TmvReadOnlyBlock* TmvBufferManager::FindOrCreateBlock(TmvBaseFile* aFile, TmvBlockNumber aBlockNumber, bool aNew) {
  if (TmvReadOnlyBlock* found = FindBlock(aFile, aBlockNumber)) return found;
  Trim();
  auto* block = new TmvReadOnlyBlock(this, aFile, aBlockNumber, aNew);
  try {
    CreateInLookup(block);
  } catch (...) {
    delete block;
    throw;
  }
  InUseBlocks::Append(bmInUseListHead, bmInUseListTail, block);
  FileBlocks::Append(aFile->fiBlockListHead, aFile->fiBlockListTail, block);
  return block;
}

uint8_t* TmvBufferManager::HandOut(TmvReadOnlyBlock* aBlock, TmvBaseTransaction* aTrans, bool aMarkDirty,
                                   TmvReleaseMethod& aReleaseMethod) {
  uint8_t* image = aBlock->Block(aTrans, aMarkDirty, aReleaseMethod);
  try {
    Trim();
  } catch (...) {
    aReleaseMethod(image);
    aReleaseMethod.Clear();
    throw;
  }
  return image;
}

// ---------------------------------------------------------------------------
// Files and blocks

int32_t TmvBufferManager::AddFile(TmvBaseFile* aFile, TmvBaseTransaction* aTrans, const TmvUnicodeStrings& aPasswords,
                                  bool aMarkHeaderDirty, TmvReleaseMethod& aReleaseMethod, uint8_t*& aBlock,
                                  bool& aIsReadOnly) {
  aIsReadOnly = false;
  aBlock = nullptr;
  aReleaseMethod.Clear();
  TmvBufferManagerGuard guard(this);
  if (!aFile->fiTempStore) aFile->fiTempStore = bmTempStore;
  int32_t result = 0;
  if (aFile->fiBlockZero) {
    if (aFile->fiEncryptionEngine) result = aFile->fiEncryptionEngine->AuthenticatePassword(aPasswords);
    if (result == MVERR_TABLEREADONLY) {
      aIsReadOnly = true;
      result = 0;
    }
  } else if (aFile->IsTemporary()) {
    FindOrCreateBlock(aFile, 0, true);
  } else {
    result = aFile->ReadHeader(aPasswords, aIsReadOnly);
    if (result == 0) FindOrCreateBlock(aFile, 0, false)->CacheBlockNeeded();  // a failure drops it
  }
  if (aFile->fiOpenMode == omReadOnly) aIsReadOnly = true;
  if (result != 0) return result;
  TmvReadOnlyBlock* zero = FindBlock(aFile, 0);
  if (aMarkHeaderDirty) zero->MakeDirty(aTrans);
  aBlock = HandOut(zero, aTrans, aMarkHeaderDirty, aReleaseMethod);
  if (mvBchLSN(aBlock) > bmCurrentLSN) bmCurrentLSN = mvBchLSN(aBlock);
  return 0;
}

void TmvBufferManager::RemoveFile(TmvBaseFile* aFile) {
  TmvBufferManagerGuard guard(this);
  int32_t queued = 0;
  for (TmvReadOnlyBlock* b = aFile->fiBlockListHead; b; b = b->robFileNext) {
    MV_ASSERT(b->RefCount() == 0 && !b->robLoading && b->robWaiting == 0);
    if (b->robUnwritten) ++queued;
  }
  if (queued > 0) {
    // Only a flush that failed (the fatal error) leaves blocks queued; the
    // queue must not outlive them.
    mvStorageLogError(Format(u"File \"%s\" leaves the block cache with %d blocks that were never written",
                             {aFile->fiName, queued}));
    aFile->RollbackUnwritten();
  }
  TmvReadOnlyBlock* next = nullptr;
  for (TmvReadOnlyBlock* b = aFile->fiBlockListHead; b; b = next) {
    next = b->robFileNext;
    b->ForgetTransactionObjects();
    InUseBlocks::Remove(bmInUseListHead, bmInUseListTail, b);
    delete b;
  }
  aFile->fiBlockListHead = aFile->fiBlockListTail = aFile->fiBlockZero = nullptr;
  if (aFile->fiTrans) aFile->fiTrans->DetachFile(aFile);
  while (TmvBlockContainer* page = aFile->fiBlockContainerList) freePage(aFile, page);
  for (TmvBlockContainer*& top : aFile->fiBlocks) top = nullptr;
  // The storage may be replaced before the file comes back.
  if (aFile->fiTempStore == bmTempStore) aFile->fiTempStore = nullptr;
}

uint8_t* TmvBufferManager::GetBlock(TmvBaseFile* aFile, TmvBaseTransaction* aTrans, TmvBlockNumber aBlockNumber,
                                    bool aMarkDirty, TmvReleaseMethod& aReleaseMethod) {
  TmvBufferManagerGuard guard(this);
  if (aMarkDirty) TrimUnderPressure();
  TmvReadOnlyBlock* block = FindOrCreateBlock(aFile, aBlockNumber, aFile->IsTemporary());
  if (aMarkDirty) block->MakeDirty(aTrans);
  return HandOut(block, aTrans, aMarkDirty, aReleaseMethod);
}

uint8_t* TmvBufferManager::AddBlock(TmvBaseFile* aFile, TmvBaseTransaction* aTrans, TmvBlockNumber aBlockNumber,
                                    TmvReleaseMethod& aReleaseMethod) {
  TmvBufferManagerGuard guard(this);
  TrimUnderPressure();
  TmvReadOnlyBlock* block = FindOrCreateBlock(aFile, aBlockNumber, true);
  if (aTrans) {
    if (!aFile->fiTempStore) aFile->fiTempStore = bmTempStore;
    block->MakeDirty(aTrans);
  } else if (!block->CacheBlock()) {
    // Without a transaction the committed image itself is written: it needs
    // memory of its own, not the shared zeros, and for a temporary file it
    // holds content that exists nowhere else from now on.
    block->SetCacheBlock(TmvCacheBlock::CreateZeroed(aFile->fiBlockSize, aFile->fiTempStore, block));
    if (aFile->IsTemporary()) block->robNew = false;
  }
  return HandOut(block, aTrans, true, aReleaseMethod);
}

void TmvBufferManager::DirtyBlock(TmvBaseFile* aFile, TmvBlockNumber aBlockNumber, TmvBaseTransaction* aTrans,
                                  uint8_t*& aModifiableBlock) {
  TmvBufferManagerGuard guard(this);
  TrimUnderPressure();
  TmvReadOnlyBlock* block = FindBlock(aFile, aBlockNumber);
  if (!block) return;
  block->MakeDirty(aTrans);
  TmvReleaseMethod release;
  uint8_t* image = block->Block(aTrans, true, release);
  aModifiableBlock = image;
  release(image);  // the caller holds the block through an earlier GetBlock
}

void TmvBufferManager::DiscardBlock(TmvBaseFile* aFile, TmvBlockNumber aBlockNumber, TmvBaseTransaction* aTrans) {
  TmvBufferManagerGuard guard(this);
  TmvReadOnlyBlock* block = FindBlock(aFile, aBlockNumber);
  if (!block) return;
  block->MakeDirty(aTrans);
  block->robBlockListTail->Discard();
}

// ---------------------------------------------------------------------------
// Scratch blocks

TmvScratchBlock* TmvBufferManager::FindScratchBlock(const TmvScratchBlockHandle& aHandle) {
  const bool known = bmScratchBlocks.IndexOf(aHandle.sbhScratchBlock) >= 0;
  MV_ASSERT(known && aHandle.sbhScratchBlock->sbID == aHandle.sbhID);
  return aHandle.sbhScratchBlock;
}

TmvScratchBlockHandle TmvBufferManager::CreateScratchBlock(TmvBlockSizeAll aSize) {
  TmvBufferManagerGuard guard(this);
  TrimUnderPressure();
  auto* scratch = new TmvScratchBlock(this);
  scratch->sbID = static_cast<uint32_t>(GetTickCount64());
  try {
    scratch->SetCacheBlock(new TmvCacheBlock(aSize, bmTempStore, scratch));
    bmScratchBlocks.Add(scratch);
  } catch (...) {
    delete scratch;
    throw;
  }
  return TmvScratchBlockHandle{scratch, scratch->sbID};
}

uint8_t* TmvBufferManager::LockScratchBlock(const TmvScratchBlockHandle& aHandle) {
  TmvBufferManagerGuard guard(this);
  TrimUnderPressure();
  TmvScratchBlock* scratch = FindScratchBlock(aHandle);
  uint8_t* memory = scratch->AccessBlock(true);
  ++scratch->sbRefCount;
  return memory;
}

void TmvBufferManager::UnlockScratchBlock(const TmvScratchBlockHandle& aHandle, const uint8_t* aPointer) {
  TmvBufferManagerGuard guard(this);
  TmvScratchBlock* scratch = FindScratchBlock(aHandle);
  TmvCacheBlock* memory = scratch->CacheBlock();
  MV_ASSERT(scratch->sbRefCount > 0);
  MV_ASSERT(memory && memory->GetState() == cbsMapped && memory->cbBlock == aPointer);
  --scratch->sbRefCount;
}

int32_t TmvBufferManager::ScratchBlockCount() {
  TmvBufferManagerGuard guard(this);
  return bmScratchBlocks.Count();
}

void TmvBufferManager::FreeScratchBlock(const TmvScratchBlockHandle& aHandle) {
  TmvBufferManagerGuard guard(this);
  TmvScratchBlock* scratch = FindScratchBlock(aHandle);
  MV_ASSERT(scratch->sbRefCount == 0);
  bmScratchBlocks.Remove(scratch);
  delete scratch;
  TrimUnderPressure();
}

// ---------------------------------------------------------------------------
// LSNs and the temporary storage

TmvLSN TmvBufferManager::NextLSN() {
  TmvBufferManagerGuard guard(this);
  bmCurrentLSN = static_cast<TmvLSN>(static_cast<uint64_t>(bmCurrentLSN) + 1u);
  return bmCurrentLSN;
}

void TmvBufferManager::SetNextLSN(TmvLSN aValue) {
  TmvBufferManagerGuard guard(this);
  if (aValue > bmCurrentLSN) bmCurrentLSN = aValue;
}

bool TmvBufferManager::GetSyncOnCommit() {
  TmvBufferManagerGuard guard(this);
  return bmSyncOnCommit;
}

void TmvBufferManager::SetSyncOnCommit(bool aValue) {
  TmvBufferManagerGuard guard(this);
  bmSyncOnCommit = aValue;
}

TmvLSN TmvBufferManager::CurrentLSN() {
  TmvBufferManagerGuard guard(this);
  return bmCurrentLSN;
}

int32_t TmvBufferManager::GetTempStoreSize() {
  TmvBufferManagerGuard guard(this);
  return static_cast<int32_t>(bmTempStore->GetSize() / 1048576);
}

void TmvBufferManager::SetTempStoreSize(int32_t aValue) {
  TmvBufferManagerGuard guard(this);
  // Blocks kept in the storage would lose their content with it.
  MV_ASSERT(bmInUseListHead == nullptr && bmScratchBlocks.Count() == 0);
  mvFreeAndNil(bmTempStore);
  const TmvTempStorageClassRef* cls = mvTempStorageClass.load(std::memory_order_acquire);
  if (aValue > 0 && cls) {
    try {
      bmTempStore = cls->Create(bmTempDir);
    } catch (...) {
      bmTempStore = new TmvNullTempStorage();
      throw;
    }
  } else {
    bmTempStore = new TmvNullTempStorage();
  }
}
