// Storage: the cached heap engine, registered as "mv1xDefault" (unit
// mvseHeapEngineCached).
//
// It keeps the directory of data blocks with room in a chain of management
// blocks and holds a copy of that chain in memory, read once and kept
// across transactions until a rollback of the transaction that last
// changed the heap drops it. Two sorted lists over the listed data blocks
// answer "which block has the most room" and "is this block listed".
//
// Management block ("MVHM"), little-endian:
//
// | offset | size  | field                                             |
// |      0 |    16 | common block header, signature "MVHM"             |
// |     16 |     4 | next management block; 0 = last                   |
// |     20 |     2 | entry count n (0 .. heMaxEntries)                 |
// |     22 | 6 × n | entries: data block number (u32), free space (u16)|
//
// A removed entry's 6 bytes are cleared. Data blocks ("MVHD") hold the
// header handler's header, then the block heap area.
//
// Invariants: a data block is listed (one entry, one item in each list)
// only while it holds a segment and has at least heCutoffSize bytes free;
// the listed free space is the block heap's GetFreespace; a data block
// without segments is freed. The directory comes from the file: before a
// listed block takes a segment its free space is checked against its
// block heap, and a mismatch is damage (8962), never an assertion.
#pragma once

#include <vector>

#include "foundation/mvllLists.h"
#include "storage/heaps/mvseHeapEngine.h"

MV_DECLARE_EXCEPTION(EmvCachedHeapEngineException, EmvBaseHeapEngineException)

struct TmvHeapDataBlockInfo {
  uint32_t hdbiBlockNumber;
  uint16_t hdbiFreeSpace;
};

struct TmvHeapManagmentBlockInfo {
  uint32_t hmpiBlockNumber;
  std::vector<TmvHeapDataBlockInfo> hmpiBlockInfos;
};

using TmvHeapManagmentBlockInfos = std::vector<TmvHeapManagmentBlockInfo>;

// An item of the lists: management index in the high 16 bits, entry index
// in the low 16, resolved through the engine's array.
class TmvHeapBlockList : public TmvSortedList {
 public:
  explicit TmvHeapBlockList(const TmvHeapManagmentBlockInfos* aInfos) : TmvSortedList(64), hblHeapManagmentBlockInfos(aInfos) {}
  const TmvHeapDataBlockInfo& Info(void* aItem) const;
  const TmvHeapDataBlockInfo& InfoAt(int32_t aIndex) const { return Info(blGet(aIndex)); }
  const TmvHeapManagmentBlockInfos* hblHeapManagmentBlockInfos;
};

// Ordered by data block number.
class TmvHeapBlockBlockNumberList : public TmvHeapBlockList {
 public:
  using TmvHeapBlockList::TmvHeapBlockList;
  int8_t Compare(void* aItem1, void* aItem2) const override;
  // The item of the listed data block aBlockNumber; false when not listed.
  bool FindBlock(uint32_t aBlockNumber, void*& aItem) const;
};

// Ordered by free space, then block number: the last item has the most room.
class TmvHeapBlockFreeSpaceList : public TmvHeapBlockList {
 public:
  using TmvHeapBlockList::TmvHeapBlockList;
  int8_t Compare(void* aItem1, void* aItem2) const override;
};

class TmvCachedHeapEngine : public TmvBaseHeapEngine {
  MV_DECLARE_CLASSREF(TmvHeapEngineClassRef)
 public:
  // The block heap comes from the descriptor's block heap descriptor (10004
  // without one). Takes aHeaderHandler.
  TmvCachedHeapEngine(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                      TmvHeapHeaderHandler* aHeaderHandler);
  static TmvBaseHeapEngine* Create(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                   TmvHeapHeaderHandler* aHeaderHandler) {
    return new TmvCachedHeapEngine(aDescriptor, aDataFile, aHeaderHandler);
  }

  void BlockHeapChanged(uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                        uint16_t aRecoverableSpace) override;
  TmvHeapRef AllocSegment(TmvBaseTransaction* aTrans, std::span<const void* const> aPointers,
                          std::span<const uint16_t> aSizes) override;
  TmvHeapRef AllocSegmentEx(TmvBaseTransaction* aTrans, std::span<const void* const> aPointers,
                            std::span<const uint32_t> aSizes, uint32_t aMinSize, uint32_t& aSize, uint32_t aHeaderSize,
                            uint32_t aItemSize, bool aNoSplit) override;
  TmvHeapRef ReAllocSegmentEx(TmvBaseTransaction* aTrans, uint8_t* aBlock, TmvSegmentRef aSegment,
                              std::span<const void* const> aPointers, std::span<const uint32_t> aSizes,
                              uint32_t aMinSize, uint32_t& aSize, uint32_t aHeaderSize, uint32_t aItemSize,
                              bool aNoSplit) override;
  uint8_t* GetSegment(TmvBaseTransaction* aTrans, TmvHeapRef aHeapRef, bool aMarkDirty, uint16_t& aSegmentSize,
                      uint8_t*& aBlock, TmvReleaseMethod& aReleaseMethod) override;
  uint8_t* ReadBlockHeap(TmvBaseTransaction* aTrans, TmvBlockNumber aBlockNumber, bool aMarkDirty,
                         TmvReleaseMethod& aReleaseMethod) override;
  // Drops the directory copy when aTrans last changed the heap.
  void Rollback(TmvBaseTransaction* aTrans) override;
  // From engine version 47005: the block heap's IncSegmentRef on the low half.
  void IncHeapRef(TmvHeapRef& aHeapRef) override;
  TmvBlockSignature SigDataBlock() override;

  uint16_t heMaxEntries;
  uint16_t heCutoffSize = 40;
  bool heManagmentBlocksLoaded = false;
  TmvHeapManagmentBlockInfos heManagmentBlocks;
  uint16_t heFirstNonFullIndex = 0xFFFF;
  TmvHeapBlockBlockNumberList heByBlockNumber{&heManagmentBlocks};
  TmvHeapBlockFreeSpaceList heByFreeSpace{&heManagmentBlocks};
  TmvBaseTransaction* heCurrentTrans = nullptr;

 private:
  // A heap block of signature aSignature: 15409 outside the file, 15416
  // when it is not what was asked for.
  uint8_t* ReadHeapBlock(TmvBaseTransaction* aTrans, TmvBlockNumber aBlockNumber, const char* aSignature,
                         bool aMarkDirty, TmvReleaseMethod& aReleaseMethod);
  // A listed data block, held modifiable: 8962 unless its block heap has
  // the free space the directory says (a directory read from a damaged
  // file is never trusted for room that is not there).
  uint8_t* ReadListedBlock(TmvBaseTransaction* aTrans, uint32_t aBlockNumber, uint16_t aFree,
                           TmvReleaseMethod& aReleaseMethod);
  void CheckListedFree(const uint8_t* aBlock, uint16_t aFree);
  // Reads the chain; 8962 for a chain in a circle, a count beyond the
  // block or a data block listed twice.
  void LoadManagementBlocks();
  void LoadIfNeeded() {
    if (!heManagmentBlocksLoaded) LoadManagementBlocks();
  }
  void FindFirstNonFull();
  // A new, initialised data block, held modifiable.
  uint8_t* NewDataBlock(TmvBaseTransaction* aTrans, TmvReleaseMethod& aReleaseMethod);
  void NewManagementBlock();
  void DeleteDataBlock(uint8_t* aBlock);
  void TrimManagementBlocks();
  // Takes an entry out of the directory (and the data block out of the
  // file when it holds no segment).
  void RemoveEntry(void* aItem, uint8_t* aBlock, uint16_t aSegmentCount);
  void AddEntry(uint32_t aBlockNumber, uint16_t aFree);
  void AddItem(uint32_t aItem);
  // The most free space of any listed block; false when none is listed.
  bool MostFree(uint32_t& aBlockNumber, uint16_t& aFree) const;
  // Copies the pieces into aSegment of aSize bytes; a nil piece copies
  // aOld's bytes at its position as far as aOldSize reaches (nil aOld:
  // leaves them).
  static void FillPieces(uint8_t* aSegment, uint32_t aSize, std::span<const void* const> aPointers,
                         std::span<const uint32_t> aSizes, const uint8_t* aOld, uint32_t aOldSize);
};

// Registers the engine as "mv1xDefault" and takes it out again.
void mvseHeapEngineCachedInit();
void mvseHeapEngineCachedFini();
