// Storage: the non-fragmenting block heap, registered as "mv1xDefault"
// (unit mvseBlockHeapEngineNonfragmenting).
//
// Its blocks never fragment for good: when the free space is scattered over
// the gaps that freed or shrunk segments left, the block is compacted in
// place and every live segment keeps its slot.
//
// Block layout (S = usable block size, H = the caller's header size plus a
// 2-byte segment count, rounded up to 4; N = slot count; all values u16,
// little-endian, offsets from the block start):
//
// | position   | field                                                    |
// | 0 .. H-5   | the caller's header (common block header first)          |
// | H-4        | segment count: live segments                             |
// | H-2        | not used                                                 |
// | H ..       | segment area: segments and at most one free-space chunk  |
// | S-8-2N     | FreeSpaceOffset: offset of the chunk, 0 = none           |
// | S-6-2i     | SegmentOffset of slot i, for i = N down to 1             |
// | S-6        | RecoverableSpace: bytes held by deleted segments         |
// | S-4        | first free slot: head of the free-slot chain, 0 = empty  |
// | S-2        | N: number of slots                                       |
//
// A segment is a u16 length and that many bytes, starting at a multiple of
// 4 and taking round4(length + 2) bytes. A SegmentOffset's low two bits:
// 0 live (the value is the offset), 1 deleted (offset | 1; the slot comes
// back only with the next compaction), 2 free (next free slot shl 2 | 2),
// 3 never valid. The chunk starts with its u16 size, which is always
// (the FreeSpaceOffset cell's position - the chunk's offset) - 4: what a new
// segment's data may take, its length word and a new slot entry counted.
//
// Everything read from a block is checked before it is used as an offset
// or a size: a damaged block raises 8962, never reaches outside the block.
// Usable block sizes up to 65536 bytes (the format's 16-bit offsets).
#pragma once

#include "storage/heaps/mvseBlockHeapEngine.h"

MV_DECLARE_EXCEPTION(EmvNonfragmentingBlockHeapEngineException, EmvBaseBlockHeapEngineException)

class TmvNonfragmentingBlockHeapEngine : public TmvBaseBlockHeapEngine {
  MV_DECLARE_CLASSREF(TmvBlockHeapEngineClassRef)
 public:
  // Requires: aBlockSize <= 65536 and room for the header and one slot.
  TmvNonfragmentingBlockHeapEngine(TmvBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize,
                                   uint32_t aHeaderSize, int32_t aTableVersion);
  static TmvBaseBlockHeapEngine* Create(TmvBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize,
                                        uint32_t aHeaderSize, int32_t aTableVersion) {
    return new TmvNonfragmentingBlockHeapEngine(aDescriptor, aBlockSize, aHeaderSize, aTableVersion);
  }
  // Gives the scratch block back.
  ~TmvNonfragmentingBlockHeapEngine() override;

  void InitBlock(uint8_t* aBlock) override;
  uint8_t* AllocSegment(uint8_t* aBlock, uint16_t aSegmentSize, TmvSegmentRef& aSegment) override;
  uint8_t* ReAllocSegment(uint8_t* aBlock, uint16_t aNewSegmentSize, TmvSegmentRef aSegment) override;
  // 15492 for a slot outside 1..N or a free slot; 15493 "segment already
  // deleted (%d)" for a deleted one. Never moves data.
  void FreeSegment(uint8_t* aBlock, TmvSegmentRef aSegment) override;
  // 15492 "invalid segment number (%d)"; 15493 "segment deleted (%d)".
  uint8_t* GetSegment(uint8_t* aBlock, TmvSegmentRef aSegment, uint16_t& aSegmentSize) override;
  uint8_t* GetNextSegment(uint8_t* aBlock, TmvSegmentRef& aSegment, uint16_t& aSegmentSize) override;
  uint8_t* GetPrevSegment(uint8_t* aBlock, TmvSegmentRef& aSegment, uint16_t& aSegmentSize) override;
  // Chunk size + RecoverableSpace - min(8, RecoverableSpace).
  uint16_t GetFreespace(const uint8_t* aBlock) override;
  // From engine version 47005: adds 1 to the reuse counter (bits 16-31).
  void IncSegmentRef(TmvSegmentRef& aSegmentRef) override;

  // Moves the live segments together from H in slot order, trims trailing
  // dead slots, chains the free slots in ascending order and makes the rest
  // one chunk; aResizeSegment (0: none) gets aNewSegmentSize bytes, the
  // added ones zero. Tells nobody: its callers do.
  void CompactBlock(uint8_t* aBlock, TmvSegmentRef aResizeSegment, uint16_t aNewSegmentSize);
  // Checks every invariant of the layout; a violation raises
  // EAssertionFailed naming the slot count, offsets and lengths involved.
  void VerifyBlock(const uint8_t* aBlock, bool aBefore);

  // The header size with the segment count, rounded up to 4.
  uint16_t bheHeaderSize;

 protected:
  // Reports RecoverableSpace less the 8 bytes a compaction may not win back.
  void DoChanged(uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                 uint16_t aRecoverableSpace) override;

 private:
  // The offset of a live slot's segment, checked; 15492 and 15493 (with
  // aDeletedText) for the caller's mistakes, 8962 for damage.
  uint16_t LiveSegment(const uint8_t* aBlock, TmvSegmentRef aSegment, const char16_t* aDeletedText);
  // 8962 unless the counts, the chunk and the recoverable space fit the block.
  void CheckHeader(const uint8_t* aBlock);
  // 8962 unless the segment at aOffset lies within the segment area.
  void CheckSegment(const uint8_t* aBlock, uint32_t aOffset);
  [[noreturn]] void RaiseDamaged(const uint8_t* aBlock, const char16_t* aWhat);
  void Changed(uint8_t* aBlock);
  uint8_t* ScratchBlock();

  void* bheTempBlock = nullptr;
};

// Registers the engine as "mv1xDefault" and takes it out again.
void mvseBlockHeapEngineNonfragmentingInit();
void mvseBlockHeapEngineNonfragmentingFini();
