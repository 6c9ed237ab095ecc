// Storage: block accesses and release lists. See mvsrBlockAccess.h.
#include "storage/cache/mvsrBlockAccess.h"

#include <exception>

#include "foundation/errors/mvllErrors.h"
#include "storage/files/mvsrEncryption.h"
#include "storage/mvsrLog.h"
#include "storage/transactions/mvsrTransaction.h"

TmvBlockAccess::TmvBlockAccess(TmvBaseFile* aFile, TmvBlockAccess* aMain, const String& aBaseName, int32_t aID)
    : baFile(aFile), baID(aID), baMain(aMain), baBaseName(aBaseName) {}

uint8_t* TmvBlockAccess::GetBlock(TmvBaseTransaction* aTrans, TmvBlockNumber aBlockNumber, int32_t aID,
                                  bool aMarkDirty, TmvReleaseMethod& aReleaseMethod) {
  MV_ASSERT(baFile->fiHeaderAccessFactory != nullptr);
  uint8_t* block = baFile->fiBufMgr->GetBlock(baFile, aTrans, aBlockNumber, aMarkDirty, aReleaseMethod);
  try {
    baFile->fiHeaderAccessFactory->VerifyID(block, aBlockNumber, aID);
  } catch (...) {
    aReleaseMethod(block);
    aReleaseMethod.Clear();
    throw;
  }
  return block;
}

void TmvBlockAccess::DirtyBlock(TmvBlockNumber aBlockNumber, TmvBaseTransaction* aTrans, uint8_t*& aModifiableBlock) {
  baFile->fiBufMgr->DirtyBlock(baFile, aBlockNumber, aTrans, aModifiableBlock);
}

TmvBaseFileHeaderAccess* TmvBlockAccess::HeaderAccess(TmvBaseTransaction* aTrans, bool aMarkDirty) {
  MV_ASSERT(baFile->fiHeaderAccessFactory != nullptr);
  return baFile->fiHeaderAccessFactory->CreateFileHeaderAccess(aTrans, aMarkDirty, this);
}

bool TmvBlockAccess::ValidBlock(TmvBlockNumber aBlockNumber, TmvBaseTransaction* aTrans) {
  return aBlockNumber != 0 && aBlockNumber < UsedBlocks(aTrans);
}

uint32_t TmvBlockAccess::UsedBlocks(TmvBaseTransaction* aTrans) {
  // Under the padlock: snapshot readers on other threads ask while commits
  // change the counts and transactions join the file.
  TmvBufferManagerGuard guard(baFile->fiBufMgr);
  if (aTrans && aTrans == baFile->fiTrans) return baFile->fiTransUsedBlocks;
  if (aTrans && aTrans->IsSnapshot()) return aTrans->SnapshotUsedBlocks(baFile);
  return baFile->fiUsedBlocks;
}

bool TmvBlockAccess::ValidBlock(TmvBlockNumber aBlockNumber, TmvBaseFileHeaderAccess* aHeaderAccess) {
  if (aBlockNumber == 0) return false;
  if (!aHeaderAccess) return aBlockNumber < baFile->fiUsedBlocks;
  return aBlockNumber < aHeaderAccess->GetUsedBlocks();
}

TmvLSN TmvBlockAccess::baGetCurrentLSN(TmvBaseTransaction* aTrans) {
  if (aTrans) {
    TmvBaseFileHeaderAccess* header = HeaderAccess(aTrans, false);
    TmvLSN lsn = 0;
    try {
      lsn = header->GetCurrentLSN();
    } catch (...) {
      delete header;
      throw;
    }
    delete header;
    return lsn;
  }
  TmvBufferManagerGuard guard(baFile->fiBufMgr);
  return baFile->fiBlockZero ? baFile->fiBlockZero->robLastLSN : 0;
}

void TmvBlockAccess::ChangePassword(TmvBaseTransaction* aTrans, const String& aNewPassword) {
  if (baID != 0) throw EmvBaseException(MVERR_NOTSUPPORTED, u"ChangePassword is only allowed for the root table");
  if (!baFile->fiEncryptionEngine)
    throw EmvBaseException(MVERR_NOTSUPPORTED, u"ChangePassword is only supported for tables with an encryption engine");
  TmvBaseFileHeaderAccess* header = HeaderAccess(aTrans, true);
  try {
    header->ChangePassword(aNewPassword);
  } catch (...) {
    delete header;
    throw;
  }
  delete header;
}

// ---------------------------------------------------------------------------
// TmvReleaseList

namespace {

struct ReleaseItem {
  uint8_t* Block;
  TmvReleaseMethod Method;
};

TmvMemoryPoolHandle itemPool() {
  static const TmvMemoryPoolHandle pool = mvGetMemoryPool(sizeof(ReleaseItem));
  return pool;
}

}  // namespace

TmvReleaseList::~TmvReleaseList() {
  try {
    Release();
  } catch (...) {
    mvStorageLogError(u"Releasing held blocks failed: " + mvCurrentExceptionText());
  }
}

void TmvReleaseList::Add(uint8_t* aBlock, const TmvReleaseMethod& aMethod) {
  auto* item = static_cast<ReleaseItem*>(mvMemoryPoolAlloc(itemPool()));
  item->Block = aBlock;
  item->Method = aMethod;
  try {
    TmvList::Add(item);
  } catch (...) {
    mvMemoryPoolDisposeDirect(itemPool(), item);
    throw;
  }
}

void TmvReleaseList::Release() {
  std::exception_ptr first;
  for (int32_t i = 0; i < Count(); ++i) {
    auto* item = static_cast<ReleaseItem*>(blGet(i));
    try {
      if (item->Method) item->Method(item->Block);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
    mvMemoryPoolDisposeDirect(itemPool(), item);
  }
  Clear();
  if (first) std::rethrow_exception(first);
}
