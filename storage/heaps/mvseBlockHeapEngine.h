// Storage: the block heap engines, which keep variable-size segments inside
// one block (unit mvseBlockHeapEngine).
//
// A block heap allocates, resizes, frees and enumerates the segments of a
// single block and says how much room the block has left. It knows nothing
// of files or transactions: its caller (a heap engine) reads and dirties the
// block and passes its memory in. A segment is addressed by a slot number
// that stays the same while the segment lives, however the block is
// rearranged, so that a heap reference (block and slot) stays valid.
//
// This unit holds the family base: class record, registry, creation by the
// engine name in the block heap descriptor and the descriptor check. A
// table has no block heap descriptor of its own, so the family's table
// check is the root's (nothing): block heaps are checked through the heap
// above them. "mv1xDefault" is the non-fragmenting engine
// (mvseBlockHeapEngineNonfragmenting.h).
//
// Ownership and threads: an engine belongs to the heap engine that created
// it and is used under its table's locks; it keeps no per-block state.
// Calls the sub-engine framework and the data dictionary.
#pragma once

#include <cstdint>

#include "storage/mvseSubEngine.h"

class TmvBaseBlockHeapDescriptor;
class TmvBaseBlockHeapEngine;

MV_DECLARE_EXCEPTION(EmvBaseBlockHeapEngineException, EmvBaseSubEngineException)

// The low 32 bits of a heap reference: the slot in its low 16 bits and, in
// tables of engine version 47005 and later, a reuse counter in the high 16.
using TmvSegmentRef = uint32_t;

// From this engine version on, segment references and BLOB numbers carry a
// reuse counter that is masked off before a segment is located.
inline constexpr int32_t mvReuseCounterVersion = 47005;

// Told after every allocation, resize and free in a block: the block, its
// live segments, the free chunk's size and the recoverable space the block
// heap reports (their sum is the block's free space).
struct TmvBlockHeapChangedEvent {
  void (*Code)(void* aObject, uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
               uint16_t aRecoverableSpace) = nullptr;
  void* Object = nullptr;
  explicit operator bool() const { return Code != nullptr; }
};

struct TmvBlockHeapEngineClassRef : TmvSubEngineClassRef {
  // aBlockSize: the usable block size; aHeaderSize: the bytes at the start
  // of a block that the heap keeps for itself.
  TmvBaseBlockHeapEngine* (*Create)(TmvBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize, uint32_t aHeaderSize,
                                    int32_t aTableVersion);
  void (*CheckValidBase)(TmvBaseBlockHeapDescriptor* aDescriptor);
};

class TmvBaseBlockHeapEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvBlockHeapEngineClassRef)
 public:
  static TmvClassRegistry* GetList();
  // Nil for a nil descriptor; 15503 "Unknown BlockHeap engine: "<name>"".
  static TmvBaseBlockHeapEngine* CreateEngine(TmvBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize,
                                              uint32_t aHeaderSize, int32_t aTableVersion);
  // Nil passes; an unknown name raises 15503; then the class's CheckValidBase.
  static void CheckValidBaseFromDescriptor(TmvBaseBlockHeapDescriptor* aDescriptor);
  static void CheckValidBase(TmvBaseBlockHeapDescriptor*) {}

  // Formats an empty block; the caller's header bytes are left alone.
  virtual void InitBlock(uint8_t* aBlock) = 0;
  // A new segment of aSegmentSize bytes and its slot, or nil (block
  // unchanged but perhaps compacted) when it does not fit.
  virtual uint8_t* AllocSegment(uint8_t* aBlock, uint16_t aSegmentSize, TmvSegmentRef& aSegment) = 0;
  // The segment resized, perhaps moved within the block; nil when it does
  // not fit (the segment is then unchanged).
  virtual uint8_t* ReAllocSegment(uint8_t* aBlock, uint16_t aNewSegmentSize, TmvSegmentRef aSegment) = 0;
  virtual void FreeSegment(uint8_t* aBlock, TmvSegmentRef aSegment) = 0;
  virtual uint8_t* GetSegment(uint8_t* aBlock, TmvSegmentRef aSegment, uint16_t& aSegmentSize) = 0;
  // The next (previous) live segment after (before) aSegment, which is
  // moved onto it; nil past the end. A forward walk starts with 0, a
  // backward walk with any number above the slot count (0xFFFFFFFF).
  virtual uint8_t* GetNextSegment(uint8_t* aBlock, TmvSegmentRef& aSegment, uint16_t& aSegmentSize) = 0;
  virtual uint8_t* GetPrevSegment(uint8_t* aBlock, TmvSegmentRef& aSegment, uint16_t& aSegmentSize) = 0;
  // The bytes a new segment may take in the block, compaction counted.
  virtual uint16_t GetFreespace(const uint8_t* aBlock) = 0;
  // Counts a segment reference's reuse (nothing here).
  virtual void IncSegmentRef(TmvSegmentRef& aSegmentRef);

  uint32_t bbheBlockSize;
  uint16_t bbheHeaderSize;
  uint16_t bbheMaxSegmentSize = 0;
  TmvBlockHeapChangedEvent bbheOnChanged;
  TmvSegmentRef bbheSegmentRefMask = 0xFFFFFFFF;

 protected:
  // A nil descriptor gives ID 0 (an engine made outside a dictionary).
  TmvBaseBlockHeapEngine(TmvBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize, uint32_t aHeaderSize,
                         int32_t aTableVersion);
  virtual void DoChanged(uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                         uint16_t aRecoverableSpace);
};

// Registers the family base for the whole-dictionary check; takes it out.
void mvseBlockHeapEngineInit();
void mvseBlockHeapEngineFini();
