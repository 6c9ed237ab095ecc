// Storage: the variable record engine. See mvseRecordEngineVariable.h.
#include "storage/records/mvseRecordEngineVariable.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "dictionary/filters/mvsdFilterEngine.h"
#include "dictionary/items/mvsdFileDescriptor.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/types/mvsdPeerVersion.h"
#include "platform/TextServices.h"
#include "storage/heaps/mvseBlockHeapEngine.h"
#include "storage/mvsrTimeoutHandling.h"

namespace {

enum : uint8_t { kMoved = 0x01, kRaw = 0x02, kStub = 0x04, kPadded = 0x08 };
constexpr TmvVariableSegmentFormat kFormat{1, 9};
constexpr uint32_t kSectionSize = 24;
constexpr uint32_t kCountOffset = 0, kFirstOffset = 4, kLastOffset = 8, kHeapValueOffset = 12;
constexpr uint32_t kNextBlockOffset = 16, kPrevBlockOffset = 20;
// Far more than updates make (each frees the previous body): only a damaged
// file gets there.
constexpr int kMaxStubDepth = 8;
constexpr uint32_t kSegmentsPerHeartbeat = 1000;

using THeaderAccess = std::unique_ptr<TmvBaseFileHeaderAccess>;

bool matches(TmvBaseFilterEngine* aFilter, const uint8_t* aRecord) {
  return !aFilter || aFilter->MatchesBuffer(aRecord);
}

// A scratch record buffer from a pool, back to it on every path.
class TPoolBuffer {
 public:
  TPoolBuffer(TmvMemoryPoolHandle aPool, uint8_t* aGiven) : fPool(aPool), fData(aGiven) {
    if (!fData) fData = fOwned = static_cast<uint8_t*>(mvMemoryPoolAlloc(aPool));
  }
  ~TPoolBuffer() {
    if (fOwned) mvMemoryPoolDisposeDirect(fPool, fOwned);
  }
  TPoolBuffer(const TPoolBuffer&) = delete;
  TPoolBuffer& operator=(const TPoolBuffer&) = delete;
  uint8_t* Data() const { return fData; }
  bool Owned() const { return fOwned != nullptr; }

 private:
  TmvMemoryPoolHandle fPool;
  uint8_t* fData;
  uint8_t* fOwned = nullptr;
};

}  // namespace

// ---------------------------------------------------------------------------
// Header handler: the chain of data blocks

void TmvVariableRecordHeapHeaderHandler::BlockAdded(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeaderAccess,
                                                    uint8_t* aBlock) {
  uint8_t* section = aHeaderAccess->Header + rhhhHeaderSection;
  const TmvBlockNumber number = mvBchThisBlock(aBlock);
  const TmvBlockNumber last = mvGetU32(section, kLastOffset);
  mvPutU32(aBlock, kNextBlockOffset, 0);
  mvPutU32(aBlock, kPrevBlockOffset, last);
  if (last == 0) {
    MV_ASSERT(mvGetU32(section, kFirstOffset) == 0);
    mvPutU32(section, kFirstOffset, number);
  } else {
    TmvHeldBlock held;
    held.Block = hhhEngine->ReadBlockHeap(aTrans, last, true, held.Release);
    MV_ASSERT(mvGetU32(held.Block, kNextBlockOffset) == 0);
    mvPutU32(held.Block, kNextBlockOffset, number);
  }
  mvPutU32(section, kLastOffset, number);
}

void TmvVariableRecordHeapHeaderHandler::BlockRemoved(TmvBaseTransaction* aTrans,
                                                      TmvBaseFileHeaderAccess* aHeaderAccess, uint8_t* aBlock) {
  uint8_t* section = aHeaderAccess->Header + rhhhHeaderSection;
  const TmvBlockNumber number = mvBchThisBlock(aBlock);
  const TmvBlockNumber next = mvGetU32(aBlock, kNextBlockOffset);
  const TmvBlockNumber prev = mvGetU32(aBlock, kPrevBlockOffset);
  // Points the neighbour's (or the section's) link at aOther.
  auto relink = [&](TmvBlockNumber aNeighbour, uint32_t aLinkOffset, uint32_t aSectionOffset, TmvBlockNumber aOther) {
    if (aNeighbour == 0) {
      MV_ASSERT(mvGetU32(section, aSectionOffset) == number);
      mvPutU32(section, aSectionOffset, aOther);
      return;
    }
    TmvHeldBlock held;
    held.Block = hhhEngine->ReadBlockHeap(aTrans, aNeighbour, true, held.Release);
    MV_ASSERT(mvGetU32(held.Block, aLinkOffset) == number);
    mvPutU32(held.Block, aLinkOffset, aOther);
  };
  relink(prev, kNextBlockOffset, kFirstOffset, next);
  relink(next, kPrevBlockOffset, kLastOffset, prev);
}

uint32_t TmvVariableRecordHeapHeaderHandler::GetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess) {
  return mvGetU32(aHeaderAccess->Header, rhhhHeaderSection + kHeapValueOffset);
}

void TmvVariableRecordHeapHeaderHandler::SetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess,
                                                                 uint32_t aBlockNumber) {
  mvPutU32(aHeaderAccess->Header, rhhhHeaderSection + kHeapValueOffset, aBlockNumber);
}

// ---------------------------------------------------------------------------
// Construction and the dictionary check

TmvBaseVariableRecordEngine::TmvBaseVariableRecordEngine(TmvBaseRecordDescriptor* aDescriptor,
                                                         const TmvBlockAccessArray& aFiles,
                                                         TmvVariableSegmentFormat aFormat)
    : TmvBaseRecordEngine(aDescriptor, aFiles),
      reRecordAllocator(mvGetMemoryPool(std::max<size_t>(size_t(breRecordLength) + 4, aFormat.MinData))),
      reFormat(aFormat) {
  reRecordBuffer = static_cast<uint8_t*>(mvMemoryPoolAlloc(reRecordAllocator));
  if (breRecordLength < reFormat.MinData) {
    reRawPadding = static_cast<uint8_t*>(mvMemoryPoolAlloc(reRecordAllocator));
    reRawPaddingSize = uint16_t(reFormat.MinData - breRecordLength);
  }
}

void TmvBaseVariableRecordEngine::OpenStorage(TmvBaseRecordDescriptor* aDescriptor, TmvBaseTransaction* aTrans) {
  auto* record = dynamic_cast<TmvHeapRecordDescriptor*>(aDescriptor);
  if (!record)
    throw EmvVariableRecordEngineException(MVERR_INVALIDDESC, String(u"TmvHeapRecordDescriptor is required"));
  {
    THeaderAccess header(breDataFile->HeaderAccess(aTrans, aTrans != nullptr));
    const String name = SystemAnsiToString(record->GetHeaderSection());
    reHeaderSection = uint16_t(header->RegisterHeaderSection(name, kSectionSize, aTrans != nullptr, false));
    if (aTrans) std::memset(header->Header + reHeaderSection, 0, kSectionSize);
  }
  reHeapEngine = TmvBaseHeapEngine::CreateEngine(record->GetHeapDescriptor(), breDataFile, CreateHeapHeaderHandler());
  if (!reHeapEngine) throw EmvVariableRecordEngineException(MVERR_INVALIDDESC, String(u"A HeapDescriptor is required"));
  reCompressionEngine = TmvBaseRecordCompressionEngine::CreateEngine(record->GetRecordCompressionDescriptor());
}

TmvBaseVariableRecordEngine::~TmvBaseVariableRecordEngine() {
  if (reRawPadding) mvMemoryPoolDisposeDirect(reRecordAllocator, reRawPadding);
  if (reRecordBuffer) mvMemoryPoolDisposeDirect(reRecordAllocator, reRecordBuffer);
  delete reCompressionEngine;
  delete reHeapEngine;
}

// The largest segment is the block heap's own figure for a block of the
// variable engines' data blocks; what a record may need is its flag field
// and the largest image its compression engine makes (at least MinData).
void TmvBaseVariableRecordEngine::FitBlockSize(TmvBaseTableDescriptor* aTableDescriptor,
                                               TmvHeapRecordDescriptor* aRecord, TmvVariableSegmentFormat aFormat) {
  TmvFieldsDescriptor* fields = aTableDescriptor->GetFieldsDescriptor();
  const uint32_t image = TmvBaseRecordCompressionEngine::LargestImage(aRecord->GetRecordCompressionDescriptor(), fields);
  const uint64_t segment = uint64_t(aFormat.FlagSize) + std::max<uint32_t>(image, aFormat.MinData);
  TmvBaseBlockHeapDescriptor* blockHeap = aRecord->GetHeapDescriptor()->GetBlockHeapDescriptor();
  if (!blockHeap) throw EmvVariableRecordEngineException(MVERR_INVALIDDESC, u"A block heap descriptor is required");
  const bool fits = FitRecordFileBlockSize(aTableDescriptor, aRecord, [&](int32_t aUsable) {
    // The block heap takes blocks of at most 64 KB, with room for its header.
    if (aUsable > 0x10000 || aUsable < int32_t(kSectionSize + 64)) return false;
    std::unique_ptr<TmvBaseBlockHeapEngine> heap(
        TmvBaseBlockHeapEngine::CreateEngine(blockHeap, uint32_t(aUsable), mvVariableRecordDataBlockHeaderSize, mvEngineVersion));
    return heap && segment <= heap->bbheMaxSegmentSize;
  });
  if (!fits) throw EmvVariableRecordEngineException(MVERR_MAXRECORDSIZE);
}

constinit const TmvRecordEngineClassRef TmvVariableRecordEngine::StaticClass{
    {{u"TmvVariableRecordEngine", &TmvBaseRecordEngine::StaticClass},
     &TmvBaseRecordEngine::GetList,
     &TmvBaseRecordEngine::CheckValidFromDictionary},
    &TmvVariableRecordEngine::Create,
    &TmvVariableRecordEngine::CheckValidDescriptor};

void mvseRecordEngineVariableInit() { TmvBaseSubEngine::Register(TmvVariableRecordEngine::StaticClass, u"Variable"); }

void mvseRecordEngineVariableFini() { TmvBaseSubEngine::Unregister(TmvVariableRecordEngine::StaticClass); }

TmvVariableRecordEngine::TmvVariableRecordEngine(TmvBaseRecordDescriptor* aDescriptor,
                                                 const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans)
    : TmvBaseVariableRecordEngine(aDescriptor, aFiles, kFormat) {
  OpenStorage(aDescriptor, aTrans);
}

TmvBaseRecordEngine* TmvVariableRecordEngine::Create(TmvBaseRecordDescriptor* aDescriptor,
                                                     const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans) {
  return new TmvVariableRecordEngine(aDescriptor, aFiles, aTrans);
}

void TmvVariableRecordEngine::CheckValidDescriptor(TmvBaseTableDescriptor* aTableDescriptor) {
  TmvBaseRecordEngine::CheckValidDescriptor(aTableDescriptor);
  auto* record = dynamic_cast<TmvHeapRecordDescriptor*>(aTableDescriptor->GetRecordDescriptor());
  if (!record)
    throw EmvVariableRecordEngineException(MVERR_INVALIDDESC,
                                           String(u"Record descriptor must be a TmvHeapRecordDescriptor is required"));
  if (!record->GetHeapDescriptor())
    throw EmvVariableRecordEngineException(MVERR_INVALIDDESC, String(u"A HeapDescriptor is required"));
  TmvBaseHeapEngine::CheckValidBaseFromDescriptor(record->GetHeapDescriptor());
  TmvBaseRecordCompressionEngine::CheckValidBaseFromDescriptor(record->GetRecordCompressionDescriptor());
  FitBlockSize(aTableDescriptor, record, kFormat);
}

TmvHeapHeaderHandler* TmvVariableRecordEngine::CreateHeapHeaderHandler() {
  return new TmvVariableRecordHeapHeaderHandler(reHeaderSection);
}

// ---------------------------------------------------------------------------
// Segments

void TmvBaseVariableRecordEngine::RaiseDamaged(TmvRefNr aRefNr) const {
  throw EmvVariableRecordEngineException(
      MVERR_FILECORRUPT, u"Record segment [%s, block %d, slot %d] is damaged",
      {breDataFile->_File()->FileName(), int32_t(mvHeapRefBlock(aRefNr)), int32_t(mvHeapRefSegment(aRefNr) & 0xFFFF)});
}

void TmvBaseVariableRecordEngine::GetSegment(TSegment& aSegment, TmvBaseTransaction* aTrans, TmvRefNr aRefNr,
                                             bool aDirty) {
  const TmvHeapRef ref = TmvHeapRef(aRefNr) & reHeapEngine->bheHeapRefMask;
  aSegment.Block.Drop();
  aSegment.Data =
      reHeapEngine->GetSegment(aTrans, ref, aDirty, aSegment.Size, aSegment.Block.Block, aSegment.Block.Release);
  aSegment.Slot = mvHeapRefSegment(ref);
  if (aSegment.Size < reFormat.StubSize()) RaiseDamaged(aRefNr);
}

void TmvBaseVariableRecordEngine::PutFlags(uint8_t* aSegment, uint16_t aFlags) const {
  aSegment[0] = uint8_t(aFlags);
  if (reFormat.FlagSize == 2) aSegment[1] = uint8_t(aFlags >> 8);
}

void TmvBaseVariableRecordEngine::BuildImage(const uint8_t* aRecord, TImage& aImage) {
  const uint16_t minData = reFormat.MinData;
  uint16_t flags = NewRecordFlags();
  uint16_t n = reCompressionEngine->CompressRecord(aRecord, reRecordBuffer);
  if (n > 0) {
    if (n < minData) {
      flags |= kPadded;
      reRecordBuffer[minData - 1] = uint8_t(minData - n);
      n = minData;
    }
    aImage.Pointers[1] = reRecordBuffer;
    aImage.Sizes[1] = n;
  } else {
    flags |= reRawPadding ? kRaw | kPadded : kRaw;
    aImage.Pointers[1] = aRecord;
    aImage.Sizes[1] = breRecordLength;
    aImage.Pointers[2] = reRawPadding;
    aImage.Sizes[2] = reRawPaddingSize;
  }
  PutFlags(aImage.Flags, flags);
  aImage.Pointers[0] = aImage.Flags;
  aImage.Sizes[0] = reFormat.FlagSize;
}

TmvRefNr TmvBaseVariableRecordEngine::StubTarget(const uint8_t* aSegment, uint16_t aSize, int aDepth) const {
  if (aSize != reFormat.StubSize() || aDepth >= kMaxStubDepth) return 0;
  const uint8_t* at = aSegment + reFormat.FlagSize;
  return TmvRefNr(uint64_t(mvGetU32(at, 4)) << 32 | mvGetU32(at, 0));
}

void TmvBaseVariableRecordEngine::Decode(TmvBaseTransaction* aTrans, const uint8_t* aSegment, uint16_t aSize,
                                         TmvRefNr aRefNr, uint8_t* aRecord, bool aRefNrField, int aDepth) {
  const uint8_t flag = aSegment[0];
  // The layout version a versioned segment was written at.
  const uint8_t version = reFormat.FlagSize == 2 ? aSegment[1] : 0;
  const uint8_t* data = aSegment + reFormat.FlagSize;
  uint16_t length = uint16_t(aSize - reFormat.FlagSize);
  if (!(flag & kStub) && length < reFormat.MinData) RaiseDamaged(aRefNr);
  if (flag & kStub) {
    const TmvRefNr body = StubTarget(aSegment, aSize, aDepth);
    if (body == 0) RaiseDamaged(aRefNr);
    ReadAt(aTrans, body, aRefNr, aRecord, aDepth + 1);
  } else if (flag & kRaw) {
    if (length < RawLengthOfVersion(version)) RaiseDamaged(aRefNr);
    if (aRecord) {
      std::memcpy(aRecord, data, std::min<size_t>(length, breRecordLength));
      BringUpToDate(aRecord, version);
    }
  } else {
    if (flag & kPadded) {
      if (aSegment[aSize - 1] > length) RaiseDamaged(aRefNr);
      length = uint16_t(length - aSegment[aSize - 1]);
    }
    if (aRecord) {
      reCompressionEngine->DecompressRecord(data, length, aRecord);
      BringUpToDate(aRecord, version);
    }
  }
  if (aRecord && aRefNrField) SetRefNrField(aRecord, aRefNr);
}

void TmvBaseVariableRecordEngine::ReadAt(TmvBaseTransaction* aTrans, TmvRefNr aAt, TmvRefNr aRefNr, uint8_t* aRecord,
                                         int aDepth) {
  TSegment segment;
  GetSegment(segment, aTrans, aAt, false);
  // A stub must lead to a body, and only a stub may.
  if (aDepth > 0 && !(segment.Data[0] & kMoved)) RaiseDamaged(aAt);
  Decode(aTrans, segment.Data, segment.Size, aRefNr, aRecord, true, aDepth);
}

void TmvBaseVariableRecordEngine::FreeAt(TmvBaseTransaction* aTrans, TmvRefNr aAt, int aDepth) {
  TSegment segment;
  GetSegment(segment, aTrans, aAt, true);
  if (segment.Data[0] & kStub) {
    const TmvRefNr body = StubTarget(segment.Data, segment.Size, aDepth);
    if (body == 0) RaiseDamaged(aAt);
    FreeAt(aTrans, body, aDepth + 1);
  }
  reHeapEngine->bheBlockHeapEngine->FreeSegment(segment.Block.Block, segment.Slot);
}

void TmvBaseVariableRecordEngine::AddToCount(TmvBaseTransaction* aTrans, int32_t aDelta) {
  THeaderAccess header(breDataFile->HeaderAccess(aTrans, true));
  uint8_t* section = header->Header + reHeaderSection;
  mvPutU32(section, kCountOffset, uint32_t(int64_t(mvGetU32(section, kCountOffset)) + aDelta));
}

// ---------------------------------------------------------------------------
// Records

void TmvBaseVariableRecordEngine::AddRecord(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t* aRecData) {
  TImage image;
  BuildImage(aRecData, image);
  const TmvHeapRef ref = reHeapEngine->AllocSegment(aTrans, image.Pointers, image.Sizes);
  // The heap has no room for a segment this large in any block.
  if (ref == 0) throw EmvVariableRecordEngineException(MVERR_MAXRECORDSIZE);
  aRefNr = TmvRefNr(ref);
  SetRefNrField(aRecData, aRefNr);
  AddToCount(aTrans, 1);
}

void TmvBaseVariableRecordEngine::DeleteRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr) {
  FreeAt(aTrans, aRefNr);
  AddToCount(aTrans, -1);
}

void TmvBaseVariableRecordEngine::ReadRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t* aRecData) {
  ReadAt(aTrans, aRefNr, aRefNr, aRecData);
}

void TmvBaseVariableRecordEngine::UpdateRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t* aNewRecord,
                                               uint8_t* aOldRecord) {
  TSegment segment;
  GetSegment(segment, aTrans, aRefNr, true);
  if (segment.Data[0] & kMoved) throw EmvVariableRecordEngineException(MVERR_INVALIDREFNR);
  if (segment.Data[0] & kStub) {
    const TmvRefNr body = StubTarget(segment.Data, segment.Size, 0);
    if (body == 0) RaiseDamaged(aRefNr);
    if (aOldRecord) ReadAt(aTrans, body, aRefNr, aOldRecord, 1);
    FreeAt(aTrans, body, 1);
  } else if (aOldRecord) {
    Decode(aTrans, segment.Data, segment.Size, aRefNr, aOldRecord, true);
  }
  SetRefNrField(aNewRecord, aRefNr);
  TImage image;
  BuildImage(aNewRecord, image);
  TmvBaseBlockHeapEngine* blockHeap = reHeapEngine->bheBlockHeapEngine;
  const uint8_t flagSize = reFormat.FlagSize;
  if (uint8_t* data =
          blockHeap->ReAllocSegment(segment.Block.Block, uint16_t(flagSize + image.DataLength()), segment.Slot)) {
    std::memcpy(data, image.Flags, flagSize);
    std::memcpy(data + flagSize, image.Pointers[1], image.Sizes[1]);
    return;
  }
  image.Flags[0] |= kMoved;
  const TmvHeapRef body = reHeapEngine->AllocSegment(aTrans, image.Pointers, image.Sizes);
  if (body == 0) throw EmvVariableRecordEngineException(MVERR_MAXRECORDSIZE);
  uint8_t* stub = blockHeap->ReAllocSegment(segment.Block.Block, reFormat.StubSize(), segment.Slot);
  MV_ASSERT(stub != nullptr);  // a stub never outgrows the segment it replaces
  PutFlags(stub, kStub);       // a stub carries no layout version
  mvPutU32(stub, flagSize, uint32_t(body));
  mvPutU32(stub, flagSize + 4u, uint32_t(body >> 32));
}

void TmvBaseVariableRecordEngine::GetRecordCount(TmvBaseTransaction* aTrans, uint32_t& aCount) {
  THeaderAccess header(breDataFile->HeaderAccess(aTrans, false));
  aCount = mvGetU32(header->Header, reHeaderSection + kCountOffset);
}

void TmvBaseVariableRecordEngine::ReplaceAllRecords(TmvBaseTransaction*, const TmvGetRecordCallback&) {
  throw EmvVariableRecordEngineException(MVERR_NOTSUPPORTED, u"%s is not supported by %s",
                                         {u"ReplaceAllRecords", ClassName()});
}

void TmvBaseVariableRecordEngine::Rollback(TmvBaseTransaction* aTrans) { reHeapEngine->Rollback(aTrans); }

// ---------------------------------------------------------------------------
// Walks

TmvRefNr TmvBaseVariableRecordEngine::Walk(TmvBaseTransaction* aTrans, TmvRefNr aFrom, bool aBackward,
                                           const TVisit& aVisit) {
  // A backward walk enters each block above its highest slot.
  const TmvSegmentRef blockStart = aBackward ? TmvSegmentRef(0xFFFFFFFF) : 0;
  TmvBlockNumber block;
  TmvSegmentRef slot = blockStart;
  const TmvHeapRef from = TmvHeapRef(aFrom) & reHeapEngine->bheHeapRefMask;
  uint64_t fileBlocks;
  {
    THeaderAccess header(breDataFile->HeaderAccess(aTrans, false));
    fileBlocks = header->GetUsedBlocks();
    block = mvGetU32(header->Header, reHeaderSection + (aBackward ? kLastOffset : kFirstOffset));
  }
  if (from != 0) {
    block = mvHeapRefBlock(from);
    slot = mvHeapRefSegment(from);
  }
  TmvBaseBlockHeapEngine* blockHeap = reHeapEngine->bheBlockHeapEngine;
  uint32_t visited = 0;
  // A damaged chain could loop: no chain is longer than the file.
  uint64_t blocks = 0;
  while (block != 0) {
    if (++blocks > fileBlocks) RaiseDamaged(TmvRefNr(mvHeapRef(block, 0)));
    mvCheckOperationTimeout();
    TmvHeldBlock held;
    held.Block = reHeapEngine->ReadBlockHeap(aTrans, block, false, held.Release);
    uint16_t size = 0;
    while (uint8_t* segment = aBackward ? blockHeap->GetPrevSegment(held.Block, slot, size)
                                        : blockHeap->GetNextSegment(held.Block, slot, size)) {
      if (++visited % kSegmentsPerHeartbeat == 2) mvCheckOperationTimeout();
      if (size < reFormat.StubSize()) RaiseDamaged(TmvRefNr(mvHeapRef(block, slot)));
      if (segment[0] & kMoved) continue;
      const TmvRefNr ref = TmvRefNr(mvHeapRef(block, slot));
      if (!aVisit(ref, segment, size)) return ref;
    }
    block = mvGetU32(held.Block, aBackward ? kPrevBlockOffset : kNextBlockOffset);
    slot = blockStart;
  }
  return 0;
}

void TmvBaseVariableRecordEngine::ReadNeighbour(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr,
                                                uint8_t* aRecData, bool aBackward) {
  aRefNr = Walk(aTrans, aFromRefNr, aBackward, [&](TmvRefNr aRef, const uint8_t* aSegment, uint16_t aSize) {
    if (aRecData) Decode(aTrans, aSegment, aSize, aRef, aRecData, true);
    return false;
  });
}

void TmvBaseVariableRecordEngine::ReadNextRecord(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr,
                                                 uint8_t* aRecData) {
  ReadNeighbour(aTrans, aFromRefNr, aRefNr, aRecData, false);
}

void TmvBaseVariableRecordEngine::ReadPrevRecord(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr,
                                                 uint8_t* aRecData) {
  ReadNeighbour(aTrans, aFromRefNr, aRefNr, aRecData, true);
}

void TmvBaseVariableRecordEngine::IterateDir(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData,
                                             const TmvRecordIterator& aIterator, void* aCookie,
                                             TmvBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst,
                                             bool aBackward) {
  if (aFilter && !aFilter->GetActive()) aFilter = nullptr;
  const TmvRefNr start = aRefNr;
  if (!(aKeepPosition && aRefNr != 0)) {
    aRefNr = 0;
    aSkipFirst = false;
  }
  TPoolBuffer buffer(reRecordAllocator, aData);
  if (buffer.Owned()) aData = buffer.Data();
  bool first = true;
  try {
    aRefNr = Walk(aTrans, aRefNr, aBackward, [&](TmvRefNr aRef, const uint8_t* aSegment, uint16_t aSize) {
      Decode(aTrans, aSegment, aSize, aRef, buffer.Data(), true);
      const bool skip = aSkipFirst && first && aRef == start;
      first = false;
      if (skip || !matches(aFilter, buffer.Data())) return true;
      return aIterator(aCookie, aRef, buffer.Data()) != rirStop;
    });
  } catch (...) {
    if (buffer.Owned()) aData = nullptr;
    throw;
  }
  if (buffer.Owned()) aData = nullptr;
}

void TmvBaseVariableRecordEngine::Iterate(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData,
                                          const TmvRecordIterator& aIterator, void* aCookie,
                                          TmvBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst) {
  IterateDir(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, aSkipFirst, false);
}

void TmvBaseVariableRecordEngine::IterateBackward(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData,
                                                  const TmvRecordIterator& aIterator, void* aCookie,
                                                  TmvBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst) {
  IterateDir(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, aSkipFirst, true);
}

int32_t TmvBaseVariableRecordEngine::RecNoGet(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, TmvBaseFilterEngine* aFilter,
                                              int32_t& aRecNo, bool aFlipOrder) {
  if (aFilter && !aFilter->GetActive()) aFilter = nullptr;
  TPoolBuffer buffer(reRecordAllocator, nullptr);
  const TmvHeapRef wanted = TmvHeapRef(aRefNr) & reHeapEngine->bheHeapRefMask;
  int32_t count = 0;
  bool passed = false;
  const TmvRefNr found = Walk(aTrans, 0, aFlipOrder, [&](TmvRefNr aRef, const uint8_t* aSegment, uint16_t aSize) {
    if (aFilter) Decode(aTrans, aSegment, aSize, aRef, buffer.Data(), true);
    passed = matches(aFilter, buffer.Data());
    if (passed) ++count;
    return (TmvHeapRef(aRef) & reHeapEngine->bheHeapRefMask) != wanted;
  });
  aRecNo = 0;
  if (found == 0) return MVERR_EOF;
  if (!passed) return MVERR_NOCURRREC;
  aRecNo = count;
  return 0;
}

int32_t TmvBaseVariableRecordEngine::RecNoSet(TmvBaseTransaction* aTrans, int32_t aRecNo, TmvRefNr& aRefNr,
                                              TmvBaseFilterEngine* aFilter, bool aFlipOrder) {
  if (aFilter && !aFilter->GetActive()) aFilter = nullptr;
  aRefNr = 0;
  // Record numbers count from 1: none below it names a record.
  if (aRecNo < 1) return MVERR_EOF;
  TPoolBuffer buffer(reRecordAllocator, nullptr);
  int32_t count = 0;
  aRefNr = Walk(aTrans, 0, aFlipOrder, [&](TmvRefNr aRef, const uint8_t* aSegment, uint16_t aSize) {
    if (aFilter) Decode(aTrans, aSegment, aSize, aRef, buffer.Data(), true);
    if (matches(aFilter, buffer.Data())) ++count;
    return count < aRecNo;
  });
  return aRefNr == 0 ? MVERR_EOF : 0;
}

TmvRecordIteratorResult TmvBaseVariableRecordEngine::ReadRecordForIterate(TmvBaseTransaction* aTrans, TmvRefNr aRefNr,
                                                                          uint8_t*& aData,
                                                                          const TmvRecordIterator& aIterator,
                                                                          void* aCookie, TmvBaseFilterEngine* aFilter) {
  MV_ASSERT(!aFilter || aFilter->GetActive());
  TPoolBuffer buffer(reRecordAllocator, aData);
  ReadAt(aTrans, aRefNr, aRefNr, buffer.Data());
  if (!matches(aFilter, buffer.Data())) return rirContinue;
  return aIterator(aCookie, aRefNr, buffer.Data());
}

int32_t TmvBaseVariableRecordEngine::RecoverIterate(const uint8_t* aBlock, TmvBlockNumber aBlockNumber, uint8_t*& aData,
                                                    const TmvRecordIterator& aIterator, void* aCookie) {
  const TmvBlockSignature signature = reHeapEngine->SigDataBlock();
  if (std::memcmp(aBlock, signature.data(), 4) != 0 || mvBchThisBlock(aBlock) != aBlockNumber) return rirContinue;
  TmvBaseBlockHeapEngine* blockHeap = reHeapEngine->bheBlockHeapEngine;
  // The block heap only reads the block while enumerating.
  uint8_t* block = const_cast<uint8_t*>(aBlock);
  TPoolBuffer buffer(reRecordAllocator, aData);
  TmvSegmentRef slot = 0;
  uint16_t size = 0;
  uint32_t visited = 0;
  while (uint8_t* segment = blockHeap->GetNextSegment(block, slot, size)) {
    if (++visited % kSegmentsPerHeartbeat == 2) mvCheckOperationTimeout();
    if (size <= reFormat.FlagSize) break;
    if (segment[0] & kStub) continue;
    Decode(nullptr, segment, size, 0, buffer.Data(), false);
    if (aIterator(aCookie, 0, buffer.Data()) == rirStop) return rirStop;
  }
  return rirContinue;
}
