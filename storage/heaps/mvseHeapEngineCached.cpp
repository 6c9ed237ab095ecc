// Storage: the cached heap engine (block layout in the header).
#include "storage/heaps/mvseHeapEngineCached.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "dictionary/mvsdStorageDescriptors.h"
#include "foundation/errors/mvllErrors.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/mvsrLog.h"

namespace {

constexpr uint32_t kNextOffset = 16;
constexpr uint32_t kCountOffset = 20;
constexpr uint32_t kEntriesOffset = 22;
constexpr uint32_t kEntrySize = 6;
constexpr uint16_t kNone = 0xFFFF;
constexpr char kManagementSignature[] = "MVHM";
constexpr char kDataSignature[] = "MVHD";

inline uint32_t EntryOffset(uint32_t aIndex) { return kEntriesOffset + kEntrySize * aIndex; }
inline void* AsItem(uint32_t aPacked) { return reinterpret_cast<void*>(uintptr_t(aPacked)); }
inline uint32_t Packed(void* aItem) { return uint32_t(reinterpret_cast<uintptr_t>(aItem)); }
inline uint32_t Pack(size_t aManagement, size_t aEntry) { return uint32_t(aManagement << 16 | aEntry); }

using THeaderAccess = std::unique_ptr<TmvBaseFileHeaderAccess>;

void OnBlockHeapChanged(void* aEngine, uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                        uint16_t aRecoverableSpace) {
  static_cast<TmvBaseHeapEngine*>(aEngine)->BlockHeapChanged(aBlock, aSegmentCount, aFreeSpaceSize,
                                                             aRecoverableSpace);
}

// Gives a block taken for a new heap block back after a failure; what
// fails here is logged, the first failure is what passes on.
void GiveBack(TmvBaseFileHeaderAccess* aHeader, TmvBaseTransaction* aTrans, uint8_t* aBlock,
              TmvReleaseMethod& aRelease) {
  try {
    aHeader->DeleteBlock(aTrans, aBlock);
  } catch (...) {
    mvStorageLogError(mvCurrentExceptionText());
  }
  try {
    aRelease(aBlock);
  } catch (...) {
    mvStorageLogError(mvCurrentExceptionText());
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The lists

const TmvHeapDataBlockInfo& TmvHeapBlockList::Info(void* aItem) const {
  const uint32_t packed = Packed(aItem);
  return (*hblHeapManagmentBlockInfos)[packed >> 16].hmpiBlockInfos[packed & 0xFFFF];
}

int8_t TmvHeapBlockBlockNumberList::Compare(void* aItem1, void* aItem2) const {
  const uint32_t a = Info(aItem1).hdbiBlockNumber, b = Info(aItem2).hdbiBlockNumber;
  return a < b ? -1 : a > b ? 1 : 0;
}

bool TmvHeapBlockBlockNumberList::FindBlock(uint32_t aBlockNumber, void*& aItem) const {
  int32_t lo = 0, hi = Count() - 1;
  while (lo <= hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    const uint32_t number = InfoAt(mid).hdbiBlockNumber;
    if (number == aBlockNumber) {
      aItem = blGet(mid);
      return true;
    }
    if (number < aBlockNumber) lo = mid + 1;
    else hi = mid - 1;
  }
  return false;
}

int8_t TmvHeapBlockFreeSpaceList::Compare(void* aItem1, void* aItem2) const {
  const TmvHeapDataBlockInfo &a = Info(aItem1), &b = Info(aItem2);
  if (a.hdbiFreeSpace != b.hdbiFreeSpace) return a.hdbiFreeSpace < b.hdbiFreeSpace ? -1 : 1;
  return a.hdbiBlockNumber < b.hdbiBlockNumber ? -1 : a.hdbiBlockNumber > b.hdbiBlockNumber ? 1 : 0;
}

// ---------------------------------------------------------------------------
// The engine

TmvCachedHeapEngine::TmvCachedHeapEngine(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                         TmvHeapHeaderHandler* aHeaderHandler)
    : TmvBaseHeapEngine(aDescriptor, aDataFile, aHeaderHandler),
      heMaxEntries(uint16_t((aDataFile->fiBlockSizeBytes() - kEntriesOffset) / kEntrySize)) {
  TmvBaseBlockHeapDescriptor* blockHeap = aDescriptor ? aDescriptor->GetBlockHeapDescriptor() : nullptr;
  if (!blockHeap) throw EmvCachedHeapEngineException(MVERR_INVALIDDESC, u"A block heap descriptor is required");
  bheBlockHeapEngine = TmvBaseBlockHeapEngine::CreateEngine(blockHeap, aDataFile->fiBlockSizeBytes(),
                                                           DataBlockHeaderSize(), bseTableVersion);
  bheBlockHeapEngine->bbheOnChanged = {&OnBlockHeapChanged, static_cast<TmvBaseHeapEngine*>(this)};
  if (bseTableVersion >= mvReuseCounterVersion)
    bheHeapRefMask = 0xFFFFFFFF00000000ull | bheBlockHeapEngine->bbheSegmentRefMask;
}

uint8_t* TmvCachedHeapEngine::ReadHeapBlock(TmvBaseTransaction* aTrans, TmvBlockNumber aBlockNumber,
                                            const char* aSignature, bool aMarkDirty,
                                            TmvReleaseMethod& aReleaseMethod) {
  if (!bheDataFile->ValidBlock(aBlockNumber, aTrans))
    throw EmvCachedHeapEngineException(MVERR_INVALIDBLOCKNR,
                                       u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                       {bheDataFile->fiName(), int32_t(aBlockNumber)});
  uint8_t* block = bheDataFile->GetBlock(aTrans, aBlockNumber, int32_t(bseID), aMarkDirty, aReleaseMethod);
  if (std::memcmp(block, aSignature, 4) != 0 || mvBchThisBlock(block) != aBlockNumber) {
    aReleaseMethod(block);
    throw EmvCachedHeapEngineException(MVERR_NOTAHEAPBLOCK,
                                       u"Block just read from file is not a valid heap block [%s, block %d]",
                                       {bheDataFile->fiName(), int32_t(aBlockNumber)});
  }
  return block;
}

void TmvCachedHeapEngine::CheckListedFree(const uint8_t* aBlock, uint16_t aFree) {
  const uint16_t actual = bheBlockHeapEngine->GetFreespace(aBlock);
  if (actual != aFree)
    throw EmvCachedHeapEngineException(
        MVERR_FILECORRUPT, u"The heap directory of file \"%s\" lists block %d with %d bytes free, but it has %d",
        {bheDataFile->fiName(), int32_t(mvBchThisBlock(aBlock)), int32_t(aFree), int32_t(actual)});
}

uint8_t* TmvCachedHeapEngine::ReadListedBlock(TmvBaseTransaction* aTrans, uint32_t aBlockNumber, uint16_t aFree,
                                              TmvReleaseMethod& aReleaseMethod) {
  TmvHeldBlock held;
  held.Block = ReadHeapBlock(aTrans, aBlockNumber, kDataSignature, true, held.Release);
  CheckListedFree(held.Block, aFree);
  return held.Detach(aReleaseMethod);
}

void TmvCachedHeapEngine::AddItem(uint32_t aItem) {
  heByBlockNumber.Add(AsItem(aItem));
  heByFreeSpace.Add(AsItem(aItem));
}

void TmvCachedHeapEngine::LoadManagementBlocks() {
  heManagmentBlocks.clear();
  heByBlockNumber.Clear();
  heByFreeSpace.Clear();
  heManagmentBlocksLoaded = false;
  heFirstNonFullIndex = kNone;
  heByBlockNumber.SuspendSorting();
  heByFreeSpace.SuspendSorting();
  try {
    THeaderAccess header(bheDataFile->HeaderAccess(heCurrentTrans, false));
    const uint32_t used = header->GetUsedBlocks();
    for (uint32_t next = GetFirstManagementBlock(header.get()); next != 0;) {
      // A chain longer than the file has blocks runs in a circle.
      if (heManagmentBlocks.size() >= std::min<uint32_t>(used, kNone))
        throw EmvCachedHeapEngineException(MVERR_FILECORRUPT,
                                           u"The heap management chain of file \"%s\" runs in a circle at block %d",
                                           {bheDataFile->fiName(), int32_t(next)});
      TmvHeldBlock held;
      held.Block = ReadHeapBlock(heCurrentTrans, next, kManagementSignature, false, held.Release);
      const uint16_t count = mvGetU16(held.Block, kCountOffset);
      if (count > heMaxEntries)
        throw EmvCachedHeapEngineException(MVERR_FILECORRUPT,
                                           u"Heap management block %d of file \"%s\" counts %d entries",
                                           {int32_t(next), bheDataFile->fiName(), int32_t(count)});
      TmvHeapManagmentBlockInfo& info = heManagmentBlocks.emplace_back(TmvHeapManagmentBlockInfo{next, {}});
      for (uint32_t i = 0; i < count; ++i) {
        info.hmpiBlockInfos.push_back({mvGetU32(held.Block, EntryOffset(i)), mvGetU16(held.Block, EntryOffset(i) + 4)});
        AddItem(Pack(heManagmentBlocks.size() - 1, i));
      }
      next = mvGetU32(held.Block, kNextOffset);
    }
  } catch (...) {
    heByBlockNumber.ResumeSorting();
    heByFreeSpace.ResumeSorting();
    heManagmentBlocks.clear();
    heByBlockNumber.Clear();
    heByFreeSpace.Clear();
    throw;
  }
  heByBlockNumber.ResumeSorting();
  heByFreeSpace.ResumeSorting();
  // A block listed twice would keep a stale twin after its entry changes.
  for (int32_t i = 1; i < heByBlockNumber.Count(); ++i)
    if (heByBlockNumber.InfoAt(i).hdbiBlockNumber == heByBlockNumber.InfoAt(i - 1).hdbiBlockNumber) {
      const int32_t twice = int32_t(heByBlockNumber.InfoAt(i).hdbiBlockNumber);
      heManagmentBlocks.clear();
      heByBlockNumber.Clear();
      heByFreeSpace.Clear();
      throw EmvCachedHeapEngineException(MVERR_FILECORRUPT, u"The heap directory of file \"%s\" lists block %d twice",
                                         {bheDataFile->fiName(), twice});
    }
  FindFirstNonFull();
  heManagmentBlocksLoaded = true;
}

void TmvCachedHeapEngine::FindFirstNonFull() {
  heFirstNonFullIndex = kNone;
  for (size_t i = 0; i < heManagmentBlocks.size(); ++i)
    if (heManagmentBlocks[i].hmpiBlockInfos.size() < heMaxEntries) {
      heFirstNonFullIndex = uint16_t(i);
      return;
    }
}

bool TmvCachedHeapEngine::MostFree(uint32_t& aBlockNumber, uint16_t& aFree) const {
  if (heByFreeSpace.Count() == 0) return false;
  const TmvHeapDataBlockInfo& info = heByFreeSpace.Info(heByFreeSpace.Last());
  aBlockNumber = info.hdbiBlockNumber;
  aFree = info.hdbiFreeSpace;
  return true;
}

uint8_t* TmvCachedHeapEngine::NewDataBlock(TmvBaseTransaction* aTrans, TmvReleaseMethod& aReleaseMethod) {
  THeaderAccess header(bheDataFile->HeaderAccess(aTrans, true));
  uint8_t* block = header->GetNewBlock(aTrans, int32_t(bseID), aReleaseMethod);
  try {
    const TmvBlockSignature signature = SigDataBlock();
    std::memcpy(block, signature.data(), 4);
    bheBlockHeapEngine->InitBlock(block);
    BlockAdded(aTrans, header.get(), block);
  } catch (...) {
    GiveBack(header.get(), aTrans, block, aReleaseMethod);
    throw;
  }
  return block;
}

void TmvCachedHeapEngine::NewManagementBlock() {
  MV_ASSERT(heManagmentBlocks.size() < kNone);
  THeaderAccess header(bheDataFile->HeaderAccess(heCurrentTrans, true));
  TmvReleaseMethod release;
  uint8_t* block = header->GetNewBlock(heCurrentTrans, int32_t(bseID), release);
  const uint32_t number = mvBchThisBlock(block);
  try {
    std::memcpy(block, kManagementSignature, 4);
    mvPutU32(block, kNextOffset, 0);
    mvPutU16(block, kCountOffset, 0);
    if (!heManagmentBlocks.empty()) {
      TmvHeldBlock last;
      last.Block = ReadHeapBlock(heCurrentTrans, heManagmentBlocks.back().hmpiBlockNumber, kManagementSignature,
                                 true, last.Release);
      MV_ASSERT(mvGetU32(last.Block, kNextOffset) == 0);
      mvPutU32(last.Block, kNextOffset, number);
    } else {
      MV_ASSERT(GetFirstManagementBlock(header.get()) == 0);
      SetFirstManagementBlock(header.get(), number);
    }
  } catch (...) {
    GiveBack(header.get(), heCurrentTrans, block, release);
    throw;
  }
  release(block);
  heManagmentBlocks.push_back({number, {}});
  heFirstNonFullIndex = std::min(heFirstNonFullIndex, uint16_t(heManagmentBlocks.size() - 1));
}

void TmvCachedHeapEngine::DeleteDataBlock(uint8_t* aBlock) {
  THeaderAccess header(bheDataFile->HeaderAccess(heCurrentTrans, true));
  BlockRemoved(heCurrentTrans, header.get(), aBlock);
  header->DeleteBlock(heCurrentTrans, aBlock);
}

void TmvCachedHeapEngine::TrimManagementBlocks() {
  THeaderAccess header(bheDataFile->HeaderAccess(heCurrentTrans, true));
  bool trimmed = false;
  while (!heManagmentBlocks.empty() && heManagmentBlocks.back().hmpiBlockInfos.empty()) {
    TmvHeldBlock last;
    last.Block = ReadHeapBlock(heCurrentTrans, heManagmentBlocks.back().hmpiBlockNumber, kManagementSignature, true,
                               last.Release);
    header->DeleteBlock(heCurrentTrans, last.Block);
    heManagmentBlocks.pop_back();
    trimmed = true;
  }
  if (!trimmed) return;
  if (!heManagmentBlocks.empty()) {
    TmvHeldBlock last;
    last.Block = ReadHeapBlock(heCurrentTrans, heManagmentBlocks.back().hmpiBlockNumber, kManagementSignature, true,
                               last.Release);
    MV_ASSERT(mvGetU32(last.Block, kNextOffset) != 0);
    mvPutU32(last.Block, kNextOffset, 0);
  } else {
    MV_ASSERT(GetFirstManagementBlock(header.get()) != 0);
    SetFirstManagementBlock(header.get(), 0);
  }
  if (heFirstNonFullIndex != kNone && heFirstNonFullIndex >= heManagmentBlocks.size()) heFirstNonFullIndex = kNone;
}

void TmvCachedHeapEngine::RemoveEntry(void* aItem, uint8_t* aBlock, uint16_t aSegmentCount) {
  const uint32_t packed = Packed(aItem);
  const uint32_t m = packed >> 16, e = packed & 0xFFFF;
  TmvHeapManagmentBlockInfo& info = heManagmentBlocks[m];
  TmvHeldBlock management;
  management.Block = ReadHeapBlock(heCurrentTrans, info.hmpiBlockNumber, kManagementSignature, true,
                                   management.Release);
  MV_ASSERT(mvGetU16(management.Block, kCountOffset) == info.hmpiBlockInfos.size());
  heByBlockNumber.Remove(aItem);
  heByFreeSpace.Remove(aItem);
  const uint32_t last = uint32_t(info.hmpiBlockInfos.size() - 1);
  if (e != last) {
    // The last entry moves into the gap.
    void* lastItem = AsItem(Pack(m, last));
    heByBlockNumber.Remove(lastItem);
    heByFreeSpace.Remove(lastItem);
    std::memcpy(management.Block + EntryOffset(e), management.Block + EntryOffset(last), kEntrySize);
    info.hmpiBlockInfos[e] = info.hmpiBlockInfos[last];
    AddItem(packed);
  }
  std::memset(management.Block + EntryOffset(last), 0, kEntrySize);
  if (aSegmentCount == 0) DeleteDataBlock(aBlock);
  info.hmpiBlockInfos.pop_back();
  mvPutU16(management.Block, kCountOffset, uint16_t(last));
  management.Drop();
  if (!info.hmpiBlockInfos.empty())
    heFirstNonFullIndex = std::min(heFirstNonFullIndex, uint16_t(m));
  else if (m == heManagmentBlocks.size() - 1)
    TrimManagementBlocks();
}

void TmvCachedHeapEngine::AddEntry(uint32_t aBlockNumber, uint16_t aFree) {
  if (heFirstNonFullIndex == kNone) NewManagementBlock();
  const uint16_t m = heFirstNonFullIndex;
  TmvHeapManagmentBlockInfo& info = heManagmentBlocks[m];
  TmvHeldBlock management;
  management.Block = ReadHeapBlock(heCurrentTrans, info.hmpiBlockNumber, kManagementSignature, true,
                                   management.Release);
  const uint32_t count = mvGetU16(management.Block, kCountOffset);
  MV_ASSERT(count == info.hmpiBlockInfos.size() && count + 1 <= heMaxEntries);
  mvPutU32(management.Block, EntryOffset(count), aBlockNumber);
  mvPutU16(management.Block, EntryOffset(count) + 4, aFree);
  mvPutU16(management.Block, kCountOffset, uint16_t(count + 1));
  info.hmpiBlockInfos.push_back({aBlockNumber, aFree});
  AddItem(Pack(m, count));
  if (count + 1 == heMaxEntries) FindFirstNonFull();
}

void TmvCachedHeapEngine::BlockHeapChanged(uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                                           uint16_t aRecoverableSpace) {
  const uint16_t free = uint16_t(aFreeSpaceSize + aRecoverableSpace);
  MV_ASSERT(free == bheBlockHeapEngine->GetFreespace(aBlock));
  LoadIfNeeded();
  const uint32_t number = mvBchThisBlock(aBlock);
  void* item = nullptr;
  if (heByBlockNumber.FindBlock(number, item)) {
    const uint32_t packed = Packed(item);
    TmvHeapManagmentBlockInfo& info = heManagmentBlocks[packed >> 16];
    TmvHeapDataBlockInfo& entry = info.hmpiBlockInfos[packed & 0xFFFF];
    if (free == entry.hdbiFreeSpace) return;
    if (aSegmentCount > 0 && free >= heCutoffSize) {
      TmvHeldBlock management;
      management.Block = ReadHeapBlock(heCurrentTrans, info.hmpiBlockNumber, kManagementSignature, true,
                                       management.Release);
      MV_ASSERT(mvGetU16(management.Block, kCountOffset) == info.hmpiBlockInfos.size());
      heByFreeSpace.Remove(item);
      mvPutU16(management.Block, EntryOffset(packed & 0xFFFF) + 4, free);
      entry.hdbiFreeSpace = free;
      heByFreeSpace.Add(item);
    } else {
      RemoveEntry(item, aBlock, aSegmentCount);
    }
  } else if (aSegmentCount > 0) {
    if (free >= heCutoffSize) AddEntry(number, free);
  } else {
    DeleteDataBlock(aBlock);
  }
}

TmvHeapRef TmvCachedHeapEngine::AllocSegment(TmvBaseTransaction* aTrans, std::span<const void* const> aPointers,
                                             std::span<const uint16_t> aSizes) {
  MV_ASSERT(aPointers.size() == aSizes.size());
  // Summed wide: pieces of more than 64 KB in all must not wrap into a
  // small segment that they would then overrun.
  uint64_t total = 0;
  for (uint16_t size : aSizes) total += size;
  if (total == 0 || total > bheBlockHeapEngine->bbheMaxSegmentSize) return 0;
  heCurrentTrans = aTrans;
  LoadIfNeeded();
  TmvHeldBlock target;
  uint32_t number = 0;
  uint16_t free = 0;
  if (MostFree(number, free) && free >= total)
    target.Block = ReadListedBlock(aTrans, number, free, target.Release);
  else
    target.Block = NewDataBlock(aTrans, target.Release);
  TmvSegmentRef segment = 0;
  uint8_t* data = bheBlockHeapEngine->AllocSegment(target.Block, uint16_t(total), segment);
  MV_ASSERT(data != nullptr);
  for (size_t i = 0; i < aSizes.size(); ++i) {
    if (aPointers[i]) std::memcpy(data, aPointers[i], aSizes[i]);
    data += aSizes[i];
  }
  return mvHeapRef(mvBchThisBlock(target.Block), segment);
}

void TmvCachedHeapEngine::FillPieces(uint8_t* aSegment, uint32_t aSize, std::span<const void* const> aPointers,
                                     std::span<const uint32_t> aSizes, const uint8_t* aOld, uint32_t aOldSize) {
  uint32_t position = 0;
  for (size_t i = 0; i < aSizes.size() && position < aSize; ++i) {
    const uint32_t count = std::min(aSizes[i], aSize - position);
    if (aPointers[i]) std::memmove(aSegment + position, aPointers[i], count);
    else if (aOld && position < aOldSize)
      std::memmove(aSegment + position, aOld + position, std::min(count, aOldSize - position));
    position += count;
  }
}

namespace {

uint32_t PiecesTotal(std::span<const uint32_t> aSizes, uint32_t aMinSize) {
  uint64_t sum = 0;
  for (uint32_t size : aSizes) sum += size;
  return uint32_t(std::min<uint64_t>(std::max<uint64_t>(sum, aMinSize), 0xFFFFFFFF));
}

inline uint32_t WholeItems(uint32_t aTotal, uint32_t aHeaderSize, uint32_t aItemSize) {
  return aHeaderSize + aItemSize * ((aTotal - aHeaderSize) / aItemSize);
}

}  // namespace

TmvHeapRef TmvCachedHeapEngine::AllocSegmentEx(TmvBaseTransaction* aTrans, std::span<const void* const> aPointers,
                                               std::span<const uint32_t> aSizes, uint32_t aMinSize, uint32_t& aSize,
                                               uint32_t aHeaderSize, uint32_t aItemSize, bool aNoSplit) {
  MV_ASSERT(aHeaderSize + aItemSize <= aMinSize && aPointers.size() == aSizes.size());
  uint32_t total = PiecesTotal(aSizes, aMinSize);
  aSize = 0;
  if (total == 0) return 0;
  heCurrentTrans = aTrans;
  LoadIfNeeded();
  const uint32_t maxSize = bheBlockHeapEngine->bbheMaxSegmentSize;
  TmvHeldBlock target;
  uint32_t number = 0;
  uint16_t free = 0;
  if (total <= maxSize && MostFree(number, free) && free >= aMinSize && (free >= total || !aNoSplit)) {
    target.Block = ReadListedBlock(aTrans, number, free, target.Release);
    total = std::min<uint32_t>(total, free);
  }
  if (!target.Block && maxSize >= aMinSize) {
    target.Block = NewDataBlock(aTrans, target.Release);
    total = std::min(total, maxSize);
  }
  if (!target.Block) return 0;
  aSize = WholeItems(total, aHeaderSize, aItemSize);
  MV_ASSERT(bheBlockHeapEngine->GetFreespace(target.Block) >= aSize);
  TmvSegmentRef segment = 0;
  uint8_t* data = bheBlockHeapEngine->AllocSegment(target.Block, uint16_t(aSize), segment);
  MV_ASSERT(data != nullptr);
  FillPieces(data, aSize, aPointers, aSizes, nullptr, 0);
  return mvHeapRef(mvBchThisBlock(target.Block), segment);
}

TmvHeapRef TmvCachedHeapEngine::ReAllocSegmentEx(TmvBaseTransaction* aTrans, uint8_t* aBlock,
                                                 TmvSegmentRef aSegment, std::span<const void* const> aPointers,
                                                 std::span<const uint32_t> aSizes, uint32_t aMinSize,
                                                 uint32_t& aSize, uint32_t aHeaderSize, uint32_t aItemSize,
                                                 bool aNoSplit) {
  MV_ASSERT(aPointers.size() == aSizes.size() && aItemSize > 0);
  uint32_t total = PiecesTotal(aSizes, aMinSize);
  aSize = 0;
  if (total == 0) return 0;
  MV_ASSERT(total >= aHeaderSize && (total - aHeaderSize) % aItemSize == 0);
  heCurrentTrans = aTrans;
  LoadIfNeeded();
  const uint32_t maxSize = bheBlockHeapEngine->bbheMaxSegmentSize;
  const TmvSegmentRef slot = aSegment & bheBlockHeapEngine->bbheSegmentRefMask;
  // In place the segment keeps whole items too, so that a list segment
  // never ends in the part of an item.
  const uint32_t inPlace = WholeItems(std::min(total, maxSize), aHeaderSize, aItemSize);
  uint8_t* target = nullptr;
  TmvHeldBlock other;
  const bool moved = bheBlockHeapEngine->ReAllocSegment(aBlock, uint16_t(inPlace), slot) == nullptr;
  if (!moved) {
    target = aBlock;
    total = inPlace;
  } else {
    uint32_t number = 0;
    uint16_t free = 0;
    if (total <= maxSize && MostFree(number, free) && free >= aMinSize && (free >= total || !aNoSplit)) {
      if (number == mvBchThisBlock(aBlock)) {
        target = aBlock;
        CheckListedFree(target, free);
      } else {
        target = other.Block = ReadListedBlock(aTrans, number, free, other.Release);
      }
      total = std::min<uint32_t>(total, free);
    }
    if (!target && maxSize >= aMinSize) {
      target = other.Block = NewDataBlock(aTrans, other.Release);
      total = std::min(total, maxSize);
    }
    if (!target) return 0;
  }
  aSize = WholeItems(total, aHeaderSize, aItemSize);
  TmvSegmentRef segment = aSegment;
  uint16_t oldSize = 0;
  if (moved) {
    uint8_t* data = bheBlockHeapEngine->AllocSegment(target, uint16_t(aSize), segment);
    MV_ASSERT(data != nullptr);
    // Located only now: the allocation may have compacted the old block.
    const uint8_t* old = bheBlockHeapEngine->GetSegment(aBlock, slot, oldSize);
    FillPieces(data, aSize, aPointers, aSizes, old, oldSize);
    bheBlockHeapEngine->FreeSegment(aBlock, slot);
  } else {
    FillPieces(bheBlockHeapEngine->GetSegment(aBlock, slot, oldSize), aSize, aPointers, aSizes, nullptr, 0);
  }
  return mvHeapRef(mvBchThisBlock(target), segment);
}

uint8_t* TmvCachedHeapEngine::GetSegment(TmvBaseTransaction* aTrans, TmvHeapRef aHeapRef, bool aMarkDirty,
                                         uint16_t& aSegmentSize, uint8_t*& aBlock, TmvReleaseMethod& aReleaseMethod) {
  TmvHeldBlock held;
  held.Block = ReadHeapBlock(aTrans, mvHeapRefBlock(aHeapRef), kDataSignature, aMarkDirty, held.Release);
  if (aMarkDirty) heCurrentTrans = aTrans;
  uint8_t* data = bheBlockHeapEngine->GetSegment(held.Block, mvHeapRefSegment(aHeapRef), aSegmentSize);
  aBlock = held.Detach(aReleaseMethod);
  return data;
}

uint8_t* TmvCachedHeapEngine::ReadBlockHeap(TmvBaseTransaction* aTrans, TmvBlockNumber aBlockNumber,
                                            bool aMarkDirty, TmvReleaseMethod& aReleaseMethod) {
  return ReadHeapBlock(aTrans, aBlockNumber, kDataSignature, aMarkDirty, aReleaseMethod);
}

void TmvCachedHeapEngine::Rollback(TmvBaseTransaction* aTrans) {
  if (aTrans != heCurrentTrans) return;
  heByBlockNumber.Clear();
  heByFreeSpace.Clear();
  heManagmentBlocks.clear();
  heManagmentBlocksLoaded = false;
  heFirstNonFullIndex = kNone;
}

void TmvCachedHeapEngine::IncHeapRef(TmvHeapRef& aHeapRef) {
  if (bseTableVersion < mvReuseCounterVersion) return;
  TmvSegmentRef segment = mvHeapRefSegment(aHeapRef);
  bheBlockHeapEngine->IncSegmentRef(segment);
  aHeapRef = mvHeapRef(mvHeapRefBlock(aHeapRef), segment);
}

TmvBlockSignature TmvCachedHeapEngine::SigDataBlock() { return {'M', 'V', 'H', 'D'}; }

constinit const TmvHeapEngineClassRef TmvCachedHeapEngine::StaticClass{
    {{u"TmvCachedHeapEngine", &TmvBaseHeapEngine::StaticClass},
     &TmvBaseHeapEngine::GetList,
     &TmvBaseSubEngine::NoTableCheck},
    &TmvCachedHeapEngine::Create,
    &TmvBaseHeapEngine::CheckValidBase};

void mvseHeapEngineCachedInit() { TmvBaseSubEngine::Register(TmvCachedHeapEngine::StaticClass, mvDefaultEngineName); }

void mvseHeapEngineCachedFini() { TmvBaseSubEngine::Unregister(TmvCachedHeapEngine::StaticClass); }
