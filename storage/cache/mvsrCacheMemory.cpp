// Storage: block memory, the resident and history lists, trimming, the
// cache's budget and its statistics. See mvsrCacheMemory.h and
// mvsrBufferManager.h.
#include "storage/cache/mvsrCacheMemory.h"

#include <algorithm>

#include "foundation/mvllUtils.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/mvsrLog.h"

namespace {

void listAppend(TmvBlockListEnds& aList, TmvBlockObject* aObject, uint8_t aKind) {
  aObject->boBlockPrev[aKind] = aList.Tail;
  aObject->boBlockNext[aKind] = nullptr;
  if (aList.Tail) aList.Tail->boBlockNext[aKind] = aObject;
  else aList.Head = aObject;
  aList.Tail = aObject;
}

void listRemove(TmvBlockListEnds& aList, TmvBlockObject* aObject, uint8_t aKind) {
  TmvBlockObject* prev = aObject->boBlockPrev[aKind];
  TmvBlockObject* next = aObject->boBlockNext[aKind];
  if (prev) prev->boBlockNext[aKind] = next;
  else aList.Head = next;
  if (next) next->boBlockPrev[aKind] = prev;
  else aList.Tail = prev;
  aObject->boBlockPrev[aKind] = aObject->boBlockNext[aKind] = nullptr;
}

void saturatingIncrement(uint32_t& aCounter) {
  if (aCounter != mvMaxHits) ++aCounter;
}

// Moves a 500th of the giving target to the other one (when that is less
// than the whole giving target).
void shiftTarget(int64_t& aFrom, int64_t& aTo) {
  const int64_t amount = aFrom / 500;
  if (amount < aFrom) {
    aFrom -= amount;
    aTo += amount;
  }
}

constexpr uint64_t kRetryPause = 1000;      // ms before a fruitless pass is repeated
constexpr uint64_t kPassLimit = 150;        // ms a pass that is not forced may take
constexpr uint64_t kEmergencyShown = 5000;  // ms a forced release is shown in the statistics
constexpr int64_t kPagesPerMB = 256;

}  // namespace

// ---------------------------------------------------------------------------
// TmvCacheBlock

TmvCacheBlock::TmvCacheBlock(TmvBlockSizeAll aSize, TmvBaseTempStorage* aTempStore, TmvBlockObject* aValidate)
    : cbTempStore(aTempStore), cbSize(aSize), cbValidate(aValidate) {
  Allocate();
}

TmvCacheBlock* TmvCacheBlock::CreateZeroed(TmvBlockSizeAll aSize, TmvBaseTempStorage* aTempStore,
                                           TmvBlockObject* aValidate) {
  auto* memory = new TmvCacheBlock(aSize, aTempStore, aValidate);
  std::memset(memory->cbBlock, 0, mvBlockBytes(aSize));
  return memory;
}

TmvCacheBlock::TmvCacheBlock(TmvCacheBlock* aSource, TmvBlockObject* aValidate)
    : cbTempStore(aSource->cbTempStore), cbSize(aSource->cbSize), cbValidate(aValidate) {
  Allocate();
  try {
    if (aSource->cbState == cbsStored) {
      cbTempStore->PeekBlock(aSource->cbTempNum, cbSize, cbBlock);
    } else {
      std::memcpy(cbBlock, aSource->Block(), mvBlockBytes(cbSize));
    }
  } catch (...) {
    Dispose();
    throw;
  }
}

TmvCacheBlock::~TmvCacheBlock() {
  try {
    if (cbState == cbsStored) {
      if (cbTempNum != mvNoTempNum) cbTempStore->ReleaseBlock(cbTempNum, cbSize);
    } else {
      Dispose();
    }
  } catch (...) {
    mvStorageLogError(u"Block memory could not be released: " + mvCurrentExceptionText());
  }
}

void TmvCacheBlock::Allocate() {
  cbHandle = mvPhysicalBlockAlloc(cbSize);
  try {
    cbBlock = static_cast<uint8_t*>(mvPhysicalBlockMap(cbHandle));
  } catch (...) {
    mvPhysicalBlockDispose(cbHandle);
    cbHandle = 0;
    throw;
  }
  cbState = cbsMapped;
}

void TmvCacheBlock::Dispose() {
  if (cbHandle == 0) return;
  if (cbBlock) mvPhysicalBlockUnmap(cbHandle, cbBlock);
  cbBlock = nullptr;
  const TmvPhysicalBlockHandle handle = cbHandle;
  cbHandle = 0;
  mvPhysicalBlockDispose(handle);
}

uint8_t* TmvCacheBlock::Block() {
  if (cbState != cbsMapped) SetState(cbsMapped);
  return cbBlock;
}

void TmvCacheBlock::SetState(TmvCacheBlockState aState) {
  if (aState == cbState) return;
  switch (aState) {
    case cbsMapped:
      if (cbState == cbsStored) {
        Allocate();
        try {
          cbTempStore->ReadBlock(cbTempNum, cbSize, cbBlock);
        } catch (...) {
          Dispose();
          cbState = cbsStored;
          throw;
        }
        cbTempNum = mvNoTempNum;
      } else {
        cbBlock = static_cast<uint8_t*>(mvPhysicalBlockMap(cbHandle));
      }
      cbState = cbsMapped;
      break;
    case cbsAllocated:
      SetState(cbsMapped);
      mvPhysicalBlockUnmap(cbHandle, cbBlock);
      cbBlock = nullptr;
      cbState = cbsAllocated;
      break;
    case cbsStored: {
      SetState(cbsMapped);
      const TmvBlockTmpNum number = cbTempStore->WriteBlock(cbBlock, cbSize);
      Dispose();
      cbTempNum = number;
      cbState = cbsStored;
      break;
    }
  }
}

bool TmvCacheBlock::Evict(bool aUseAllocated, bool aForce) {
  if ((cbState == cbsMapped && !aUseAllocated) || (aForce && mvMustReleaseAllocatedBlocks())) {
    if (cbState == cbsStored || !cbTempStore || !cbTempStore->HasSpaceFor(cbSize)) return false;
    SetState(cbsStored);
    return true;
  }
  if (!aUseAllocated || cbState != cbsMapped) return false;
  SetState(cbsAllocated);
  return true;
}

// ---------------------------------------------------------------------------
// TmvBlockObject

TmvBlockObject::~TmvBlockObject() {
  if (boBlockState != 0) {
    TmvBlockListEnds& list = boBufferManager->ResidentList(boBlockState, boBlockFreqUse);
    listRemove(list, this, boBlockState);
    list.Count -= mvBlockPages(boBlockSize);
  }
  for (uint8_t kind = 1; kind < mvCacheKindCount; ++kind) StopTracking(kind);
  delete boCacheBlock;
}

void TmvBlockObject::ValidateImage(const uint8_t*) {}
void TmvBlockObject::CacheBlockNeeded() {}
TmvBlockSizeAll TmvBlockObject::ContentSize() const { return boBlockSize; }

void TmvBlockObject::StopTracking(uint8_t aState) {
  const uint8_t bit = uint8_t(1u << aState);
  if (!(boBlockTracked & bit)) return;
  TmvBlockListEnds& list = boBufferManager->HistoryList(aState, (boBlockTrackedFreq & bit) != 0);
  listRemove(list, this, aState);
  list.Count -= mvBlockPages(boBlockSize);
  boBlockTracked &= uint8_t(~bit);
  boBlockTrackedFreq &= uint8_t(~bit);
}

void TmvBlockObject::UpdateBlockList(bool aCountIt) {
  TmvBufferManager* bm = boBufferManager;
  const uint8_t newKind = boCacheBlock ? boCacheBlock->cbState : 0;
  const uint32_t hits = boBlockCacheHit[newKind];
  const bool newFreq = hits >= mvFrequentHits;
  const uint8_t oldKind = boBlockState;
  const bool oldFreq = boBlockFreqUse;
  if (newKind != 0 && newKind == oldKind && newFreq == oldFreq && bm->ResidentList(newKind, newFreq).Tail == this)
    return;
  if (oldKind != 0) {
    TmvBlockListEnds& old = bm->ResidentList(oldKind, oldFreq);
    listRemove(old, this, oldKind);
    old.Count -= mvBlockPages(boBlockSize);
  }
  if (newKind != 0) StopTracking(newKind);
  if (aCountIt) {
    if (newKind > oldKind) {
      int64_t* targets = bm->bmMaxPages[newKind];
      if (hits == mvMaxHits) shiftTarget(targets[0], targets[1]);
      else shiftTarget(targets[1], targets[0]);
    }
    const bool counted = boWasBulkLoaded != wblYesTrigger;
    const int bulk = boWasBulkLoaded == wblYes ? 1 : 0;
    if (newKind == cbsMapped) {
      // An access that finds no memory (old kind 0) is a miss.
      saturatingIncrement(boBlockCacheHit[oldKind]);
      if (counted) ++bm->bmBlockCacheHit[oldKind][oldFreq][bulk];
      boWasBulkLoaded = wblNo;
    } else if (newKind < oldKind) {
      saturatingIncrement(boBlockCacheEvict[oldKind]);
      if (counted) ++bm->bmBlockCacheEvict[oldKind][oldFreq][bulk];
      boWasBulkLoaded = wblNo;
    }
  }
  if (oldKind != 0 && newKind != oldKind && boBlockCacheHit[oldKind] > 0) {
    const bool freq = boBlockCacheHit[oldKind] == mvMaxHits;
    TmvBlockListEnds& history = bm->HistoryList(oldKind, freq);
    listAppend(history, this, oldKind);
    history.Count += mvBlockPages(boBlockSize);
    boBlockTracked |= uint8_t(1u << oldKind);
    if (freq) boBlockTrackedFreq |= uint8_t(1u << oldKind);
  }
  boBlockState = newKind;
  boBlockFreqUse = newFreq;
  if (newKind != 0) {
    boBlockSize = boCacheBlock->cbSize;
    TmvBlockListEnds& list = bm->ResidentList(newKind, newFreq);
    listAppend(list, this, newKind);
    list.Count += mvBlockPages(boBlockSize);
  }
}

TmvEvictResult TmvBlockObject::Evict(bool aForce) {
  if (!boCacheBlock || !boCacheBlock->Evict(boBufferManager->bmUseAllocated, aForce)) return erNone;
  UpdateBlockList(true);
  return erThis;
}

void TmvBlockObject::InstallCacheBlock(TmvCacheBlock* aBlock, bool aCountIt) {
  TmvCacheBlock* old = boCacheBlock;
  boCacheBlock = aBlock;
  if (aBlock) aBlock->cbValidate = this;
  UpdateBlockList(aCountIt);
  delete old;
}

TmvCacheBlock* TmvBlockObject::ReleaseCacheBlock(bool aCountIt) {
  TmvCacheBlock* memory = boCacheBlock;
  boCacheBlock = nullptr;
  UpdateBlockList(aCountIt);
  return memory;
}

uint8_t* TmvBlockObject::AccessBlock(bool aCountIt) {
  MV_ASSERT(boCacheBlock != nullptr);
  uint8_t* address = boCacheBlock->Block();
  UpdateBlockList(aCountIt);
  return address;
}

void TmvBlockObject::CopyFrom(TmvBlockObject* aOther) {
  if (!aOther->boCacheBlock) aOther->CacheBlockNeeded();
  TmvCacheBlock* copy;
  if (TmvCacheBlock* source = aOther->boCacheBlock) {
    if (source->cbState != cbsStored) aOther->AccessBlock(true);
    copy = new TmvCacheBlock(source, this);
  } else {
    copy = TmvCacheBlock::CreateZeroed(aOther->ContentSize(), boBufferManager->bmTempStore, this);  // no content
  }
  InstallCacheBlock(copy, false);
}

void TmvBlockObject::MoveFrom(TmvBlockObject* aOther) {
  if (!aOther->boCacheBlock) aOther->CacheBlockNeeded();
  InstallCacheBlock(aOther->ReleaseCacheBlock(false), false);
}

// ---------------------------------------------------------------------------
// TmvBufferManager: trimming

namespace {
// The memory manager asks for memory of this kind back.
bool askedBack(uint8_t aKind) {
  return mvMustReleaseAllocatedBlocks() || (aKind == cbsMapped && mvMustReleaseMappedBlocks());
}
}  // namespace

bool TmvBufferManager::KindNeedsTrimming(uint8_t aKind, bool* aOnlyAsked) {
  const bool over = bmBlockList[aKind][0].Count + bmBlockList[aKind][1].Count >
                    bmMaxPages[aKind][0] + bmMaxPages[aKind][1];
  const bool asked = askedBack(aKind);
  if (aOnlyAsked) *aOnlyAsked = asked && !over;
  return over || asked;
}

void TmvBufferManager::bmRemoveExcessUsedBlocks(uint8_t aKind, bool aForce) {
  const uint64_t start = Now();
  if (!aForce && bmLastCheckFailed[aKind] != 0 && start - bmLastCheckFailed[aKind] <= kRetryPause) return;
  bool onlyAsked = false;
  if (!KindNeedsTrimming(aKind, &onlyAsked)) return;
  if (onlyAsked && ++bmPressureChecks % 64 == 0) mvMemoryManagerCollect();
  for (;;) {
    bmLastCheckFailed[aKind] = start;
    bool evicted = false;
    for (int f = 0; f < 2; ++f) {
      TmvBlockListEnds& list = bmBlockList[aKind][f];
      TmvBlockObject* object = list.Head;
      while (object && (list.Count > bmMaxPages[aKind][f] || askedBack(aKind))) {
        TmvBlockObject* next = object->boBlockNext[aKind];
        const TmvEvictResult result = object->CheckedEvict(aForce);  // may free object
        if (result == erThis) {
          bmLastCheckFailed[aKind] = 0;
          evicted = true;
          if (!aForce && Now() - start > kPassLimit) return;
          if (!KindNeedsTrimming(aKind, nullptr)) return;
        } else if (result == erMany) {
          // The lists changed under the walk: go on with the next list only.
          bmLastCheckFailed[aKind] = 0;
          evicted = true;
          if (!aForce) return;
          break;
        }
        object = next;
      }
    }
    if (!evicted || !KindNeedsTrimming(aKind, nullptr)) return;
  }
}

void TmvBufferManager::TrimHistory(uint8_t aKind) {
  for (int f = 0; f < 2; ++f) {
    TmvBlockListEnds& history = bmHistoryList[aKind][f];
    while (history.Head && history.Count > bmMaxPages[aKind][1 - f]) {
      TmvBlockObject* oldest = history.Head;
      oldest->StopTracking(aKind);
      oldest->boBlockCacheHit[aKind] = 0;
    }
  }
}

void TmvBufferManager::bmRemoveExcessBlocks(bool aForceMapped, bool aForceAllocated) {
  TmvBufferManagerGuard guard(this);
  const uint64_t now = Now();
  if (aForceMapped && mvMustReleaseMappedBlocks()) bmChunkEmergency = now;
  if (aForceAllocated && mvMustReleaseAllocatedBlocks()) bmPhysicalEmergency = now;
  // Standard mode: physical memory is never asked back, so only the
  // addressable kind is trimmed, forced when either kind is.
  bmRemoveExcessUsedBlocks(cbsMapped, aForceMapped || (aForceAllocated && mvMustReleaseAllocatedBlocks()));
  TrimHistory(cbsMapped);
}

// ---------------------------------------------------------------------------
// TmvBufferManager: budget

void TmvBufferManager::SetMaxRAM(int32_t aValue) {
  TmvBufferManagerGuard guard(this);
  bmMaxRAM = std::clamp(aValue, 0, 1536);
  TmvMemoryStatus status;
  if (mvGetMemoryStatus(status) && status.ullTotalPhys > 0) {
    const int64_t physicalMB = static_cast<int64_t>(status.ullTotalPhys / 1048576);
    bmMaxRAM = static_cast<int32_t>(std::min<int64_t>(bmMaxRAM, physicalMB * 8 / 10));
  }
  const int64_t virtualMB = static_cast<int64_t>(status.ullTotalVirtual / 1048576);
  const int64_t addressSpace = std::clamp<int64_t>(virtualMB - 1024, 16, 1536);
  const int64_t mapped = std::min<int64_t>(bmMaxRAM, addressSpace);
  bmMaxPages[cbsMapped][0] = bmMaxPages[cbsMapped][1] = mapped * kPagesPerMB / 2;
  bmMaxPages[cbsAllocated][0] = bmMaxPages[cbsAllocated][1] = 0;
  bmUseAllocated = false;
  bmCacheIsColdCheckState = cbsMapped;
}

int64_t TmvBufferManager::ResidentPages() const {
  return bmBlockList[cbsMapped][0].Count + bmBlockList[cbsMapped][1].Count;
}

int64_t TmvBufferManager::TargetPages() const { return bmMaxPages[cbsMapped][0] + bmMaxPages[cbsMapped][1]; }

int64_t TmvBufferManager::AvailableRAM() {
  TmvMemoryStatus status;
  if (!mvGetMemoryStatus(status)) return 0;
  TmvBufferManagerGuard guard(this);
  const int64_t stillToTake = (TargetPages() - ResidentPages()) * 4096;
  const int64_t a = static_cast<int64_t>(status.ullAvailVirtual) - stillToTake - 268435456;
  const int64_t b = static_cast<int64_t>(status.ullAvailPhys) - stillToTake - 33554432;
  return std::max<int64_t>(0, std::min(a, b));
}

// ---------------------------------------------------------------------------
// TmvBufferManager: statistics (standard mode: the physical-memory and
// read-ahead lines are left out, and the hit and eviction captions end with
// a blank)

namespace {

const char16_t* const kCounterCaptions[] = {
    u"Block Cache Miss",          u"Block Cache Hit ",         u"Block Cache Eviction ",
    u"Transactions Commited",     u"Transactions Commited Nested", u"Transactions Rolledback",
    u"Transactions Rolledback Nested", u"Transactions Deadlocked", u"Transactions Corrupted",
    u"Blocks Read",               u"Blocks Written"};

// The storage lines follow the registered class (the null storage while none
// is registered), whatever storage the cache runs now, so that captions and
// values always pair up.
const TmvTempStorageClassRef& storageClass() {
  const TmvTempStorageClassRef* cls = mvTempStorageClass.load(std::memory_order_acquire);
  return cls ? *cls : TmvNullTempStorage::StaticClass;
}

String awe() { return mvMemoryManagerAweAvailable() ? u"Yes, Inactive" : u"No"; }
String kbyte(int64_t aPages) { return IntToStr(aPages * 4) + u" kbyte"; }

}  // namespace

void TmvBufferManager::GetStatsCaptions(TStrings* aList) {
  aList->Add(u"AWE Edition");
  aList->Add(u"Block Cache Available");
  aList->Add(u"Block Cache Used");
  for (const char16_t* caption : kCounterCaptions) aList->Add(caption);
  storageClass().GetStatsCaptions(aList);
}

void TmvBufferManager::GetStatsValues(TStrings* aList) {
  TmvBufferManagerGuard guard(this);
  aList->Add(awe());
  aList->Add(kbyte(TargetPages()));
  String used = kbyte(ResidentPages());
  if (bmChunkEmergency != 0 && Now() - bmChunkEmergency <= kEmergencyShown) used += u" <address space limit reached>";
  aList->Add(used);
  const uint64_t counters[] = {bmBlockCacheHit[0][0][0], bmBlockCacheHit[cbsMapped][0][0],
                               bmBlockCacheEvict[cbsMapped][0][0], bmTransCommitCount,
                               bmTransNestedCommitCount,  bmTransRollbackCount,
                               bmTransNestedRollbackCount, bmTransDeadlockCount,
                               bmTransCorruptedCount,     BlocksRead(),
                               BlocksWritten()};
  for (uint64_t value : counters) aList->Add(IntToStr(static_cast<int64_t>(value)));
  const TmvTempStorageClassRef& cls = storageClass();
  if (&bmTempStore->ClassType() == &cls) bmTempStore->GetStatsValues(aList);
  else cls.GetStatsValuesStatic(aList);
}

void TmvBufferManager::GetStatsValuesStatic(TStrings* aList) {
  aList->Add(awe());
  aList->Add(u"0 kbyte");
  aList->Add(u"0 kbyte");
  for (size_t i = 0; i < std::size(kCounterCaptions); ++i) aList->Add(u"0");
  storageClass().GetStatsValuesStatic(aList);
}
