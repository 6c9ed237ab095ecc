// Storage: the non-fragmenting block heap (layout in the header).
#include "storage/heaps/mvseBlockHeapEngineNonfragmenting.h"

#include <algorithm>
#include <cstring>

#include "dictionary/mvsdStorageDescriptors.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "storage/mvsrTypes.h"

namespace {

constexpr uint16_t kLive = 0, kDeleted = 1, kFree = 2;
// The 64 KB size class of the block pools: the scratch image of any block.
constexpr int kScratchSizeClass = 4;

inline uint32_t Round4(uint32_t aValue) { return (aValue + 3) & ~uint32_t(3); }

// The cells at the end of a block of usable size S.
struct TailCells {
  uint32_t S;
  uint16_t Count(const uint8_t* b) const { return mvGetU16(b, S - 2); }
  uint16_t FirstFree(const uint8_t* b) const { return mvGetU16(b, S - 4); }
  uint16_t Recoverable(const uint8_t* b) const { return mvGetU16(b, S - 6); }
  uint32_t SlotPos(uint32_t i) const { return S - 6 - 2 * i; }
  uint16_t Entry(const uint8_t* b, uint32_t i) const { return mvGetU16(b, SlotPos(i)); }
  // The FreeSpaceOffset cell of a block with aCount slots.
  uint32_t FsoPos(uint32_t aCount) const { return S - 8 - 2 * aCount; }
  uint32_t FsoPos(const uint8_t* b) const { return FsoPos(Count(b)); }
  uint16_t Fso(const uint8_t* b) const { return mvGetU16(b, FsoPos(b)); }
  uint16_t ChunkSize(const uint8_t* b) const {
    const uint16_t fso = Fso(b);
    return fso ? mvGetU16(b, fso) : 0;
  }
  void SetCount(uint8_t* b, uint16_t v) const { mvPutU16(b, S - 2, v); }
  void SetFirstFree(uint8_t* b, uint16_t v) const { mvPutU16(b, S - 4, v); }
  void SetRecoverable(uint8_t* b, uint16_t v) const { mvPutU16(b, S - 6, v); }
  void SetEntry(uint8_t* b, uint32_t i, uint16_t v) const { mvPutU16(b, SlotPos(i), v); }
};

inline uint16_t Lost(uint16_t aRecoverable) { return std::min<uint16_t>(8, aRecoverable); }

}  // namespace

constinit const TmvBlockHeapEngineClassRef TmvNonfragmentingBlockHeapEngine::StaticClass{
    {{u"TmvNonfragmentingBlockHeapEngine", &TmvBaseBlockHeapEngine::StaticClass},
     &TmvBaseBlockHeapEngine::GetList,
     &TmvBaseSubEngine::NoTableCheck},
    &TmvNonfragmentingBlockHeapEngine::Create,
    &TmvBaseBlockHeapEngine::CheckValidBase};

void mvseBlockHeapEngineNonfragmentingInit() {
  TmvBaseSubEngine::Register(TmvNonfragmentingBlockHeapEngine::StaticClass, mvDefaultEngineName);
}

void mvseBlockHeapEngineNonfragmentingFini() {
  TmvBaseSubEngine::Unregister(TmvNonfragmentingBlockHeapEngine::StaticClass);
}

TmvNonfragmentingBlockHeapEngine::TmvNonfragmentingBlockHeapEngine(TmvBaseBlockHeapDescriptor* aDescriptor,
                                                                   uint32_t aBlockSize, uint32_t aHeaderSize,
                                                                   int32_t aTableVersion)
    : TmvBaseBlockHeapEngine(aDescriptor, aBlockSize, aHeaderSize, aTableVersion),
      bheHeaderSize(uint16_t((aHeaderSize + 7) & ~3)) {
  MV_ASSERT(aBlockSize <= 0x10000 && aBlockSize >= uint32_t(bheHeaderSize) + 16);
  bbheMaxSegmentSize = uint16_t(uint16_t(aBlockSize) - bheHeaderSize - 12);
  if (aTableVersion >= mvReuseCounterVersion) bbheSegmentRefMask = 0x0000FFFF;
}

TmvNonfragmentingBlockHeapEngine::~TmvNonfragmentingBlockHeapEngine() {
  if (bheTempBlock) mvBlockPoolDispose(mvBlockPool(kScratchSizeClass), bheTempBlock);
}

void TmvNonfragmentingBlockHeapEngine::RaiseDamaged(const uint8_t* aBlock, const char16_t* aWhat) {
  throw EmvNonfragmentingBlockHeapEngineException(
      MVERR_FILECORRUPT, u"Block %d is not a valid block heap block: %s",
      {int32_t(mvBchThisBlock(aBlock)), String(aWhat)});
}

void TmvNonfragmentingBlockHeapEngine::CheckHeader(const uint8_t* aBlock) {
  const TailCells t{bbheBlockSize};
  const uint32_t count = t.Count(aBlock);
  if (2 * count + 8 + bheHeaderSize > bbheBlockSize) RaiseDamaged(aBlock, u"slot count");
  const uint32_t fsoPos = t.FsoPos(count);
  const uint32_t fso = t.Fso(aBlock);
  if (fso != 0 &&
      (fso % 4 != 0 || fso < bheHeaderSize || fso + 4 > fsoPos || t.ChunkSize(aBlock) != fsoPos - fso - 4))
    RaiseDamaged(aBlock, u"free space chunk");
  if (t.Recoverable(aBlock) > fsoPos - bheHeaderSize) RaiseDamaged(aBlock, u"recoverable space");
  if (t.FirstFree(aBlock) > count) RaiseDamaged(aBlock, u"free slot chain");
  if (mvGetU16(aBlock, bheHeaderSize - 4) > count) RaiseDamaged(aBlock, u"segment count");
}

void TmvNonfragmentingBlockHeapEngine::CheckSegment(const uint8_t* aBlock, uint32_t aOffset) {
  const uint32_t fsoPos = TailCells{bbheBlockSize}.FsoPos(aBlock);
  if (aOffset % 4 != 0 || aOffset < bheHeaderSize || aOffset + 2 > fsoPos ||
      aOffset + 2 + mvGetU16(aBlock, aOffset) > fsoPos)
    RaiseDamaged(aBlock, u"segment offset or length");
}

uint16_t TmvNonfragmentingBlockHeapEngine::LiveSegment(const uint8_t* aBlock, TmvSegmentRef aSegment,
                                                       const char16_t* aDeletedText) {
  CheckHeader(aBlock);
  const TailCells t{bbheBlockSize};
  if (aSegment < 1 || aSegment > t.Count(aBlock))
    throw EmvNonfragmentingBlockHeapEngineException(MVERR_INVALIDSEGMENTNR, u"invalid segment number (%d)",
                                                    {int32_t(aSegment)});
  const uint16_t entry = t.Entry(aBlock, aSegment);
  switch (entry & 3) {
    case kLive:
      CheckSegment(aBlock, entry);
      return entry;
    case kDeleted:
      throw EmvNonfragmentingBlockHeapEngineException(MVERR_SEGMENTDELETED, aDeletedText, {int32_t(aSegment)});
    case kFree:
      throw EmvNonfragmentingBlockHeapEngineException(MVERR_INVALIDSEGMENTNR, u"invalid segment number (%d)",
                                                      {int32_t(aSegment)});
    default:
      RaiseDamaged(aBlock, u"slot entry");
  }
}

void TmvNonfragmentingBlockHeapEngine::InitBlock(uint8_t* aBlock) {
  const TailCells t{bbheBlockSize};
  t.SetCount(aBlock, 0);
  t.SetFirstFree(aBlock, 0);
  t.SetRecoverable(aBlock, 0);
  mvPutU16(aBlock, t.FsoPos(0u), bheHeaderSize);
  mvPutU16(aBlock, bheHeaderSize, uint16_t(bbheBlockSize - bheHeaderSize - 12));
  mvPutU16(aBlock, bheHeaderSize - 4, 0);
}

uint8_t* TmvNonfragmentingBlockHeapEngine::AllocSegment(uint8_t* aBlock, uint16_t aSegmentSize,
                                                        TmvSegmentRef& aSegment) {
  aSegment = 0;
  CheckHeader(aBlock);
  const TailCells t{bbheBlockSize};
  const uint32_t need = Round4(aSegmentSize + 2u);
  if (t.Fso(aBlock) == 0) {
    if (t.Recoverable(aBlock) < need) return nullptr;
    CompactBlock(aBlock, 0, 0);
    if (t.Fso(aBlock) == 0) return nullptr;  // the gaps were all alignment
  }
  if (t.ChunkSize(aBlock) < aSegmentSize) {
    if (uint32_t(t.ChunkSize(aBlock)) + t.Recoverable(aBlock) < aSegmentSize) return nullptr;
    CompactBlock(aBlock, 0, 0);
    if (t.Fso(aBlock) == 0 || t.ChunkSize(aBlock) < aSegmentSize) return nullptr;
  }
  // The segment takes the chunk's start; what it leaves is the new chunk.
  const uint16_t chunk = t.Fso(aBlock);
  const uint16_t chunkSize = t.ChunkSize(aBlock);
  const bool remainder = need < chunkSize;
  const uint16_t rest = remainder ? uint16_t(chunkSize - need) : 0;
  const uint16_t restAt = uint16_t(chunk + need);
  mvPutU16(aBlock, chunk, aSegmentSize);
  if (remainder) mvPutU16(aBlock, restAt, rest);
  const uint16_t count = t.Count(aBlock);
  if (const uint16_t head = t.FirstFree(aBlock); head != 0) {
    const uint16_t entry = t.Entry(aBlock, head);
    if ((entry & 3) != kFree || (entry >> 2) > count) RaiseDamaged(aBlock, u"free slot chain");
    aSegment = head;
    t.SetFirstFree(aBlock, uint16_t(entry >> 2));
    t.SetEntry(aBlock, head, chunk);
    mvPutU16(aBlock, t.FsoPos(count), remainder ? restAt : 0);
  } else {
    // The old FreeSpaceOffset cell becomes the new slot's entry: it holds
    // the chunk's offset, which is the segment's.
    aSegment = count + 1u;
    t.SetCount(aBlock, uint16_t(count + 1));
    if (rest < 3) {
      mvPutU16(aBlock, t.FsoPos(count + 1u), 0);
    } else {
      mvPutU16(aBlock, restAt, uint16_t(rest - 2));
      mvPutU16(aBlock, t.FsoPos(count + 1u), restAt);
    }
  }
  mvPutU16(aBlock, bheHeaderSize - 4, uint16_t(mvGetU16(aBlock, bheHeaderSize - 4) + 1));
  Changed(aBlock);
  return aBlock + chunk + 2;
}

void TmvNonfragmentingBlockHeapEngine::FreeSegment(uint8_t* aBlock, TmvSegmentRef aSegment) {
  const uint16_t offset = LiveSegment(aBlock, aSegment, u"segment already deleted (%d)");
  const TailCells t{bbheBlockSize};
  uint32_t size = Round4(mvGetU16(aBlock, offset) + 2u);
  if (offset + size > t.FsoPos(aBlock)) size -= 4;
  const uint16_t segments = mvGetU16(aBlock, bheHeaderSize - 4);
  if (segments == 0) RaiseDamaged(aBlock, u"segment count");
  t.SetRecoverable(aBlock, uint16_t(t.Recoverable(aBlock) + size));
  t.SetEntry(aBlock, aSegment, uint16_t(offset | kDeleted));
  mvPutU16(aBlock, bheHeaderSize - 4, uint16_t(segments - 1));
  Changed(aBlock);
}

uint8_t* TmvNonfragmentingBlockHeapEngine::GetSegment(uint8_t* aBlock, TmvSegmentRef aSegment,
                                                      uint16_t& aSegmentSize) {
  const uint16_t offset = LiveSegment(aBlock, aSegment, u"segment deleted (%d)");
  aSegmentSize = mvGetU16(aBlock, offset);
  return aBlock + offset + 2;
}

uint8_t* TmvNonfragmentingBlockHeapEngine::ReAllocSegment(uint8_t* aBlock, uint16_t aNewSegmentSize,
                                                          TmvSegmentRef aSegment) {
  const TailCells t{bbheBlockSize};
  uint16_t offset = LiveSegment(aBlock, aSegment, u"segment deleted (%d)");
  const uint16_t old = mvGetU16(aBlock, offset);
  const uint32_t fsoPos = t.FsoPos(aBlock);
  const bool pastFso = offset + Round4(old + 2u) > fsoPos;
  const uint32_t room = pastFso ? fsoPos - offset : Round4(old + 2u);
  const uint32_t need = Round4(aNewSegmentSize + 2u);
  const uint16_t chunk = t.Fso(aBlock);
  const uint32_t chunkSize = t.ChunkSize(aBlock);
  const uint16_t recoverable = t.Recoverable(aBlock);
  if (aNewSegmentSize < old) {
    if ((room & ~3u) > need) t.SetRecoverable(aBlock, uint16_t(recoverable + (room & ~3u) - need));
    mvPutU16(aBlock, offset, aNewSegmentSize);
  } else if (aNewSegmentSize > old) {
    if (room == need || (pastFso && offset + 2u + aNewSegmentSize <= fsoPos)) {
      mvPutU16(aBlock, offset, aNewSegmentSize);
    } else if (recoverable + room + (chunk ? chunkSize + 2 : 0) < need) {
      return nullptr;
    } else if (chunk && chunk == offset + room && chunkSize + 2 + room >= need) {
      // Grows into the chunk that follows it.
      const uint32_t grow = need - room;
      if (grow < chunkSize) {
        mvPutU16(aBlock, chunk + grow, uint16_t(chunkSize - grow));
        mvPutU16(aBlock, fsoPos, uint16_t(chunk + grow));
      } else {
        mvPutU16(aBlock, fsoPos, 0);
      }
      mvPutU16(aBlock, offset, aNewSegmentSize);
    } else if (chunk && chunkSize >= need) {
      // Moves into the chunk; its old place becomes recoverable.
      std::memmove(aBlock + chunk, aBlock + offset, room);
      mvPutU16(aBlock, chunk, aNewSegmentSize);
      mvPutU16(aBlock, chunk + need, uint16_t(chunkSize - need));
      mvPutU16(aBlock, fsoPos, uint16_t(chunk + need));
      t.SetRecoverable(aBlock, uint16_t(recoverable + room));
      t.SetEntry(aBlock, aSegment, chunk);
      offset = chunk;
    } else {
      CompactBlock(aBlock, aSegment, aNewSegmentSize);
      offset = t.Entry(aBlock, aSegment);
    }
  }
  Changed(aBlock);
  return aBlock + offset + 2;
}

uint8_t* TmvNonfragmentingBlockHeapEngine::ScratchBlock() {
  if (!bheTempBlock) bheTempBlock = mvBlockPoolAlloc(mvBlockPool(kScratchSizeClass));
  return static_cast<uint8_t*>(bheTempBlock);
}

void TmvNonfragmentingBlockHeapEngine::CompactBlock(uint8_t* aBlock, TmvSegmentRef aResizeSegment,
                                                    uint16_t aNewSegmentSize) {
  CheckHeader(aBlock);
  const TailCells t{bbheBlockSize};
  uint16_t count = t.Count(aBlock);
  while (count > 0 && (t.Entry(aBlock, count) & 3) != kLive) {
    if ((t.Entry(aBlock, count) & 3) == 3) RaiseDamaged(aBlock, u"slot entry");
    --count;
  }
  if (count == 0) {
    InitBlock(aBlock);
    return;
  }
  const uint16_t oldRecoverable = t.Recoverable(aBlock);
  uint8_t* image = ScratchBlock();
  std::memset(image, 0, bbheBlockSize);
  std::memcpy(image, aBlock, bheHeaderSize);
  t.SetCount(image, count);
  const uint32_t fsoPos = t.FsoPos(count);
  uint32_t position = bheHeaderSize;
  for (uint32_t slot = 1; slot <= count; ++slot) {
    const uint16_t entry = t.Entry(aBlock, slot);
    if ((entry & 3) == 3) RaiseDamaged(aBlock, u"slot entry");
    if ((entry & 3) != kLive) {
      t.SetEntry(image, slot, kFree);
      continue;
    }
    CheckSegment(aBlock, entry);
    const uint16_t length = mvGetU16(aBlock, entry);
    const uint16_t newLength = slot == aResizeSegment ? aNewSegmentSize : length;
    // More live data than room: the recoverable space was overstated.
    if (position + 2 + newLength > fsoPos) RaiseDamaged(aBlock, u"recoverable space");
    std::memcpy(image + position + 2, aBlock + entry + 2, std::min(length, newLength));
    mvPutU16(image, position, newLength);
    t.SetEntry(image, slot, uint16_t(position));
    position += Round4(newLength + 2u);
  }
  if (position + 6 < fsoPos) {
    mvPutU16(image, position, uint16_t(fsoPos - position - 4));
    mvPutU16(image, fsoPos, uint16_t(position));
  } else {
    mvPutU16(image, fsoPos, 0);
  }
  if (aNewSegmentSize == 0 && t.ChunkSize(image) < oldRecoverable - Lost(oldRecoverable))
    RaiseDamaged(aBlock, u"recoverable space");
  uint16_t nextFree = 0;
  for (uint32_t slot = count; slot >= 1; --slot)
    if (t.Entry(image, slot) == kFree) {
      t.SetEntry(image, slot, uint16_t(nextFree << 2 | kFree));
      nextFree = uint16_t(slot);
    }
  t.SetFirstFree(image, nextFree);
  std::memcpy(aBlock, image, bbheBlockSize);
}

uint8_t* TmvNonfragmentingBlockHeapEngine::GetNextSegment(uint8_t* aBlock, TmvSegmentRef& aSegment,
                                                          uint16_t& aSegmentSize) {
  CheckHeader(aBlock);
  const TailCells t{bbheBlockSize};
  const uint32_t count = t.Count(aBlock);
  for (uint32_t slot = aSegment + 1; slot <= count; ++slot)
    if ((t.Entry(aBlock, slot) & 3) == kLive) {
      aSegment = slot;
      return GetSegment(aBlock, slot, aSegmentSize);
    }
  aSegment = count + 1;
  return nullptr;
}

uint8_t* TmvNonfragmentingBlockHeapEngine::GetPrevSegment(uint8_t* aBlock, TmvSegmentRef& aSegment,
                                                          uint16_t& aSegmentSize) {
  CheckHeader(aBlock);
  const TailCells t{bbheBlockSize};
  uint32_t slot = std::min<uint32_t>(aSegment, t.Count(aBlock) + 1u);
  while (slot > 1) {
    --slot;
    if ((t.Entry(aBlock, slot) & 3) == kLive) {
      aSegment = slot;
      return GetSegment(aBlock, slot, aSegmentSize);
    }
  }
  aSegment = 0;
  return nullptr;
}

uint16_t TmvNonfragmentingBlockHeapEngine::GetFreespace(const uint8_t* aBlock) {
  CheckHeader(aBlock);
  const TailCells t{bbheBlockSize};
  const uint16_t recoverable = t.Recoverable(aBlock);
  return uint16_t(t.ChunkSize(aBlock) + recoverable - Lost(recoverable));
}

void TmvNonfragmentingBlockHeapEngine::IncSegmentRef(TmvSegmentRef& aSegmentRef) {
  if (bseTableVersion >= mvReuseCounterVersion) aSegmentRef = (aSegmentRef & 0xFFFF) | ((aSegmentRef >> 16) + 1) << 16;
}

void TmvNonfragmentingBlockHeapEngine::Changed(uint8_t* aBlock) {
  const TailCells t{bbheBlockSize};
  DoChanged(aBlock, mvGetU16(aBlock, bheHeaderSize - 4), t.ChunkSize(aBlock), t.Recoverable(aBlock));
}

void TmvNonfragmentingBlockHeapEngine::DoChanged(uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                                                 uint16_t aRecoverableSpace) {
  TmvBaseBlockHeapEngine::DoChanged(aBlock, aSegmentCount, aFreeSpaceSize,
                                    uint16_t(aRecoverableSpace - Lost(aRecoverableSpace)));
}

namespace {

[[noreturn]] void VerifyFailed(const String& aText) { throw EAssertionFailed(aText); }

}  // namespace

void TmvNonfragmentingBlockHeapEngine::VerifyBlock(const uint8_t* aBlock, bool /*aBefore*/) {
  const TailCells t{bbheBlockSize};
  const uint32_t count = t.Count(aBlock);
  if (2 * count + 8 + bheHeaderSize > bbheBlockSize) VerifyFailed(Format(u"slot count %d too large", {count}));
  const uint32_t fsoPos = t.FsoPos(count);
  // (start, rounded end) of the live segments and the chunk.
  std::vector<std::pair<uint32_t, uint32_t>> used;
  for (uint32_t slot = 1; slot <= count; ++slot) {
    const uint16_t entry = t.Entry(aBlock, slot);
    if ((entry & 3) == 3) VerifyFailed(Format(u"slot %d of %d has entry %d", {slot, count, entry}));
    if ((entry & 3) != kLive) continue;
    const uint32_t length = entry + 2u <= fsoPos ? mvGetU16(aBlock, entry) : 0;
    if (entry < bheHeaderSize || entry >= fsoPos || entry + 2 + length > fsoPos)
      VerifyFailed(Format(u"slot %d of %d: segment at %d, length %d, FreeSpaceOffset at %d",
                          {slot, count, entry, length, fsoPos}));
    used.emplace_back(entry, entry + Round4(length + 2));
  }
  if (const uint32_t chunk = t.Fso(aBlock); chunk != 0) {
    const uint32_t size = chunk + 2u <= fsoPos ? mvGetU16(aBlock, chunk) : 0;
    if (chunk % 4 != 0 || chunk < bheHeaderSize || chunk + size + 4 > fsoPos)
      VerifyFailed(Format(u"chunk at %d, size %d, FreeSpaceOffset at %d, %d slots", {chunk, size, fsoPos, count}));
    used.emplace_back(chunk, Round4(chunk + size + 4));
  }
  std::sort(used.begin(), used.end());
  uint32_t end = bheHeaderSize, gaps = 0;
  for (const auto& [start, roundedEnd] : used) {
    if (start < end) VerifyFailed(Format(u"item at %d overlaps the one ending at %d", {start, end}));
    gaps += start - end;
    end = roundedEnd;
  }
  if (end > fsoPos + 2) VerifyFailed(Format(u"last item ends at %d, FreeSpaceOffset at %d", {end, fsoPos}));
  if (end < fsoPos) gaps += (fsoPos - end) & ~3u;
  if (gaps < t.Recoverable(aBlock))
    VerifyFailed(Format(u"gaps of %d bytes below RecoverableSpace %d", {gaps, t.Recoverable(aBlock)}));
}
