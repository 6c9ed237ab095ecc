// Storage: the heap engines, which store variable-size byte strings
// ("segments") of up to one block's worth in the data blocks of a table
// file (unit mvseHeapEngine).
//
// A heap hands out a 64-bit heap reference for each segment, decides in
// which data block a new segment goes, creates and frees data blocks and
// keeps a persistent directory of the data blocks that still have room.
// Inside one data block a block heap engine (mvseBlockHeapEngine.h), owned
// by the heap engine, manages the segments and reports every change of the
// block's free space back. The user of a heap (the segmented BLOB engine,
// the variable record engines) supplies a header handler: it knows where
// the user keeps the first directory block, how large a data block's
// header is and what to do when a data block joins or leaves the heap.
//
// This unit holds the family base (class record, registry, creation by the
// engine name in the heap descriptor, the descriptor check) and the header
// handler's interface. A table has no heap descriptor of its own, so the
// family's table check is the root's (nothing): heaps are checked through
// their users. "mv1xDefault" is the cached heap engine
// (mvseHeapEngineCached.h).
//
// Ownership and threads: a heap engine belongs to its user and is used
// under the table's locks; it owns its block heap engine and its header
// handler. Every block pointer it hands out comes with a release method the
// caller must call. Calls the sub-engine framework and the data dictionary.
#pragma once

#include <cstdint>
#include <span>

#include "storage/cache/mvsrBlockAccess.h"
#include "storage/heaps/mvseBlockHeapEngine.h"
#include "storage/mvseSubEngine.h"

class TmvBaseHeapDescriptor;
class TmvBaseHeapEngine;
class TmvBaseTransaction;

MV_DECLARE_EXCEPTION(EmvBaseHeapEngineException, EmvBaseSubEngineException)

// Data block number in the high 32 bits, segment reference in the low 32;
// 0 = none.
using TmvHeapRef = uint64_t;

inline constexpr TmvHeapRef mvHeapRef(TmvBlockNumber aBlock, TmvSegmentRef aSegment) {
  return TmvHeapRef(aBlock) << 32 | aSegment;
}
inline constexpr TmvBlockNumber mvHeapRefBlock(TmvHeapRef aRef) { return TmvBlockNumber(aRef >> 32); }
inline constexpr TmvSegmentRef mvHeapRefSegment(TmvHeapRef aRef) { return TmvSegmentRef(aRef); }

// The user's part of a heap: where the first management block number is
// kept, the data blocks' header size, and what follows when a data block
// joins or leaves the heap. Owned by its heap engine.
class TmvHeapHeaderHandler : public TmvObject {
 public:
  // A new data block has been initialised.
  virtual void BlockAdded(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeaderAccess, uint8_t* aBlock) = 0;
  // A data block is about to be freed.
  virtual void BlockRemoved(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeaderAccess,
                            uint8_t* aBlock) = 0;
  // Bytes of a data block before its block heap area: the common block
  // header alone here.
  virtual uint16_t GetHeaderSize() { return mvBlockCommonHeaderSize; }
  virtual uint32_t GetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess) = 0;
  virtual void SetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess, uint32_t aBlockNumber) = 0;

  TmvBaseHeapEngine* hhhEngine = nullptr;
};

struct TmvHeapEngineClassRef : TmvSubEngineClassRef {
  // The engine takes ownership of aHeaderHandler.
  TmvBaseHeapEngine* (*Create)(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                               TmvHeapHeaderHandler* aHeaderHandler);
  void (*CheckValidBase)(TmvBaseHeapDescriptor* aDescriptor);
};

class TmvBaseHeapEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvHeapEngineClassRef)
 public:
  static TmvClassRegistry* GetList();
  // Nil for a nil descriptor; 15503 "Unknown Heap engine: "<name>"". The
  // engine takes aHeaderHandler (freed here when no engine is made).
  static TmvBaseHeapEngine* CreateEngine(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                         TmvHeapHeaderHandler* aHeaderHandler);
  // Nil passes; an unknown name raises 15503; then the class's CheckValidBase.
  static void CheckValidBaseFromDescriptor(TmvBaseHeapDescriptor* aDescriptor);
  // A heap needs a block heap below it: 10004 "A block heap descriptor is
  // required", then the block heap family's check.
  static void CheckValidBase(TmvBaseHeapDescriptor* aDescriptor);

  // Frees the block heap engine, then the header handler.
  ~TmvBaseHeapEngine() override;

  // Told by the block heap after every change in a data block.
  virtual void BlockHeapChanged(uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                                uint16_t aRecoverableSpace) = 0;
  // The header handler's operations of the same names.
  virtual void BlockAdded(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeaderAccess, uint8_t* aBlock);
  virtual void BlockRemoved(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeaderAccess, uint8_t* aBlock);
  virtual uint32_t GetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess);
  virtual void SetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess, uint32_t aBlockNumber);

  // One segment of the pieces' total size, filled with them in order (a
  // nil pointer leaves its piece unwritten). 0 when the total is 0 or the
  // segment fits no block; then no block is touched.
  virtual TmvHeapRef AllocSegment(TmvBaseTransaction* aTrans, std::span<const void* const> aPointers,
                                  std::span<const uint16_t> aSizes) = 0;
  // One segment of at most the pieces' total and at least aMinSize, of
  // aHeaderSize plus whole aItemSize units; its size in aSize. The pieces
  // are cut where the segment ends. 0 when nothing could be had.
  // Requires: aHeaderSize + aItemSize <= aMinSize; as many pointers as sizes.
  virtual TmvHeapRef AllocSegmentEx(TmvBaseTransaction* aTrans, std::span<const void* const> aPointers,
                                    std::span<const uint32_t> aSizes, uint32_t aMinSize, uint32_t& aSize,
                                    uint32_t aHeaderSize, uint32_t aItemSize, bool aNoSplit) = 0;
  // Resizes segment aSegment of the held data block aBlock, in place or by
  // moving it, and fills it from the pieces (a nil pointer keeps the old
  // bytes there). The (perhaps new) reference, 0 when nothing could be had.
  virtual TmvHeapRef ReAllocSegmentEx(TmvBaseTransaction* aTrans, uint8_t* aBlock, TmvSegmentRef aSegment,
                                      std::span<const void* const> aPointers, std::span<const uint32_t> aSizes,
                                      uint32_t aMinSize, uint32_t& aSize, uint32_t aHeaderSize, uint32_t aItemSize,
                                      bool aNoSplit) = 0;
  // The segment's bytes; its block, held (modifiable when aMarkDirty) until
  // the caller calls aReleaseMethod. Requires: aHeapRef masked with
  // bheHeapRefMask.
  virtual uint8_t* GetSegment(TmvBaseTransaction* aTrans, TmvHeapRef aHeapRef, bool aMarkDirty,
                              uint16_t& aSegmentSize, uint8_t*& aBlock, TmvReleaseMethod& aReleaseMethod) = 0;
  // A data block itself, held until the caller releases it.
  virtual uint8_t* ReadBlockHeap(TmvBaseTransaction* aTrans, TmvBlockNumber aBlockNumber, bool aMarkDirty,
                                 TmvReleaseMethod& aReleaseMethod) = 0;
  // Drops what the engine keeps of aTrans's changes.
  virtual void Rollback(TmvBaseTransaction* aTrans) = 0;
  // Counts a reference's reuse (nothing here).
  virtual void IncHeapRef(TmvHeapRef& aHeapRef);
  virtual TmvBlockSignature SigDataBlock() = 0;

  uint16_t DataBlockHeaderSize() { return bheHeaderHandler->GetHeaderSize(); }

  TmvBaseBlockHeapEngine* bheBlockHeapEngine = nullptr;
  TmvBlockAccess* bheDataFile;
  TmvHeapHeaderHandler* bheHeaderHandler;
  TmvHeapRef bheHeapRefMask = ~TmvHeapRef(0);

 protected:
  // Requires: aDataFile and aHeaderHandler assigned. Takes the handler
  // (freed with the engine also when construction fails). A nil descriptor
  // gives ID 0 (an engine made outside a dictionary).
  TmvBaseHeapEngine(TmvBaseHeapDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                    TmvHeapHeaderHandler* aHeaderHandler);
};

// Registers the family base for the whole-dictionary check; takes it out.
void mvseHeapEngineInit();
void mvseHeapEngineFini();
