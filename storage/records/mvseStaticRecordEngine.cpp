// Storage engines: the static record engine. See mvseStaticRecordEngine.h.
#include "storage/records/mvseStaticRecordEngine.h"

#include <cstring>
#include <memory>

#include "dictionary/filters/mvsdFilterEngine.h"
#include "dictionary/items/mvsdFileDescriptor.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/mvsrTimeoutHandling.h"

namespace {

constexpr uint32_t kNextBlockOffset = 16;
constexpr uint32_t kPrevBlockOffset = 20;
constexpr uint32_t kNextFreeBlockOffset = 24;
constexpr uint32_t kFirstFreeSlotOffset = 28;
constexpr uint32_t kBlockRecordsOffset = 30;
constexpr uint32_t kBitmapOffset = 32;

constexpr uint32_t kSectionRecords = 0;
constexpr uint32_t kSectionFirstBlock = 4;
constexpr uint32_t kSectionLastBlock = 8;
constexpr uint32_t kSectionFreeSlots = 12;
constexpr uint32_t kSectionFreeHead = 16;
constexpr uint8_t kSectionSize = 20;

// How many slots a walk passes between two heartbeats.
constexpr uint32_t kSlotsPerHeartbeat = 1000;

constexpr char16_t kBadBlockNumber[] = u"Block number is either < 0, or >= number of blocks in file [%s, block %d]";
constexpr char16_t kNotADataBlock[] = u"Block just read from file is not a valid data block [%s, block %d]";
constexpr char16_t kBadRefNr[] = u"Number is not a valid MorvaDB record reference number [%s, ref %d]";
constexpr char16_t kRecordDeleted[] = u"Record has been deleted, cannot read/delete/update it [%s, ref %d]";
constexpr char16_t kDamagedBlock[] = u"Data block %d of file \"%s\" is damaged";

TmvRefNr MakeRefNr(TmvBlockNumber aBlock, uint16_t aSlot) {
  return static_cast<TmvRefNr>(uint64_t(aBlock) << 32 | aSlot);
}

String WidenAscii(const AnsiString& aText) { return String(aText.begin(), aText.end()); }

}  // namespace

TmvStaticRecordGeometry mvStaticRecordGeometry(uint32_t aUsable, uint32_t aRecordLength) {
  MV_ASSERT(aRecordLength + mvStaticRecordBlockOverhead <= aUsable && aUsable <= 0xFFFF);
  TmvStaticRecordGeometry g;
  g.RecsPerBlock = uint16_t((aUsable - 32) * 8 / (aRecordLength * 8 + 1));
  g.InUseArraySize = uint16_t((g.RecsPerBlock + 7) / 8);
  uint16_t stride = uint16_t((aUsable - g.InUseArraySize - 32) / g.RecsPerBlock);
  // Round down to a multiple of the largest power of two that still holds
  // a record, so that slots start on aligned offsets where the record allows.
  for (uint32_t bit = 0; bit < 16; ++bit) {
    const uint16_t cleared = uint16_t(stride & ~(1u << bit));
    if (cleared < aRecordLength) break;
    stride = cleared;
  }
  g.RecordStride = stride;
  g.FirstRecordOffset = uint16_t(aUsable - uint32_t(stride) * g.RecsPerBlock);
  return g;
}

// ---------------------------------------------------------------------------
// Held blocks and the header section

// A block held for one operation, released at the end of its scope.
class TmvStaticRecordEngine::THeld {
 public:
  THeld() = default;
  ~THeld() { Release(); }
  THeld(const THeld&) = delete;
  THeld& operator=(const THeld&) = delete;
  void Release() {
    if (Block) Method(Block);
    Block = nullptr;
  }
  uint8_t* Block = nullptr;
  TmvReleaseMethod Method;
};

// The engine's header section in one transaction.
class TmvStaticRecordEngine::THeader {
 public:
  THeader(const TmvStaticRecordEngine* aEngine, TmvBaseTransaction* aTrans, bool aDirty)
      : fAccess(aEngine->breDataFile->HeaderAccess(aTrans, aDirty)), fEngine(aEngine) {}
  uint32_t Get(uint32_t aField) const { return mvGetU32(fAccess->Header, fEngine->reHeaderSection + aField); }
  void Put(uint32_t aField, uint32_t aValue) { mvPutU32(fAccess->Header, fEngine->reHeaderSection + aField, aValue); }
  void Add(uint32_t aField, int32_t aDelta) { Put(aField, Get(aField) + uint32_t(aDelta)); }
  // The free-slot count is 0 exactly when the free-slot chain is empty.
  void CheckInvariant() const {
    if ((Get(kSectionFreeSlots) == 0) != (Get(kSectionFreeHead) == 0))
      fEngine->RaiseError(MVERR_HEADERCORRUPT);
  }
  TmvBaseFileHeaderAccess* Access() const { return fAccess.get(); }

 private:
  std::unique_ptr<TmvBaseFileHeaderAccess> fAccess;
  const TmvStaticRecordEngine* fEngine;
};

// A position in a walk over the table chain.
struct TmvStaticRecordEngine::TWalk {
  THeld Held;
  TmvBlockNumber BlockNr = 0;
  uint16_t SlotNr = 0;
  uint32_t Blocks = 0;  // blocks entered, against cycles in the chain
  uint32_t Slots = 0;   // slots passed since the last heartbeat
  uint32_t Bound = 0;   // the file's block count, read once a walk is long
};

void TmvStaticRecordEngine::CountBlock(TmvBaseTransaction* aTrans, TWalk& aWalk) const {
  // A chain that enters more blocks than the file has runs in a circle.
  // Short walks (one record after another) need not read the header.
  if (++aWalk.Blocks <= 64) return;
  if (aWalk.Bound == 0) aWalk.Bound = THeader(this, aTrans, false).Access()->GetUsedBlocks();
  if (aWalk.Blocks > aWalk.Bound) RaiseCorrupt(aWalk.BlockNr);
}

// ---------------------------------------------------------------------------
// Set-up

constinit const TmvRecordEngineClassRef TmvStaticRecordEngine::StaticClass{
    {{u"TmvStaticRecordEngine", &TmvBaseRecordEngine::StaticClass},
     &TmvBaseRecordEngine::GetList,
     &TmvBaseRecordEngine::CheckValidFromDictionary},
    &TmvStaticRecordEngine::Create,
    &TmvStaticRecordEngine::CheckValidDescriptor};

TmvBaseRecordEngine* TmvStaticRecordEngine::Create(TmvBaseRecordDescriptor* aDescriptor,
                                                   const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans) {
  return new TmvStaticRecordEngine(aDescriptor, aFiles, aTrans);
}

void mvseStaticRecordEngineInit() {
  TmvBaseSubEngine::Register(TmvStaticRecordEngine::StaticClass, mvDefaultEngineName);
  TmvBaseSubEngine::Register(TmvStaticRecordEngine::StaticClass, u"Static");
}

void mvseStaticRecordEngineFini() { TmvBaseSubEngine::Unregister(TmvStaticRecordEngine::StaticClass); }

TmvStaticRecordEngine::TmvStaticRecordEngine(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                             TmvBaseTransaction* aTrans)
    : TmvBaseRecordEngine(aDescriptor, aFiles) {
  if (!breDataFile)
    RaiseError(MVERR_INVALIDPARAM, Format(u"Invalid file number: %d", {aDescriptor->GetFileNumber()}));
  TmvBaseFile* file = breDataFile->_File();
  const uint32_t usable = file->fiBlockSizeBytes;
  if (breRecordLength + mvStaticRecordBlockOverhead > usable || usable > 0xFFFF)
    RaiseError(MVERR_MAXRECORDSIZE);
  const TmvStaticRecordGeometry g = mvStaticRecordGeometry(usable, breRecordLength);
  reRecsPerBlock = g.RecsPerBlock;
  reInUseArraySize = g.InUseArraySize;
  reRecordLength = g.RecordStride;
  reFirstRecordOffset = g.FirstRecordOffset;
  reFileIsV1 = file->fiHeaderSignature == mvHeaderSignatureV1;
  std::unique_ptr<TmvBaseFileHeaderAccess> header(breDataFile->HeaderAccess(aTrans, aTrans != nullptr));
  const String name = WidenAscii(aDescriptor->GetHeaderSection());
  const uint32_t section = header->RegisterHeaderSection(name, kSectionSize, aTrans != nullptr, false);
  reHeaderSection = uint16_t(section);
  if (aTrans) std::memset(header->Header + section, 0, kSectionSize);
}

void TmvStaticRecordEngine::CheckValidDescriptor(TmvBaseTableDescriptor* aTableDescriptor) {
  TmvBaseRecordDescriptor* record = aTableDescriptor->GetRecordDescriptor();
  if (!record) return;
  if (!FitRecordFileBlockSize(aTableDescriptor, record, int32_t(mvStaticRecordBlockOverhead)))
    throw EmvStaticRecordEngineException(MVERR_MAXRECORDSIZE);
}

// ---------------------------------------------------------------------------
// Checks and block access

void TmvStaticRecordEngine::RaiseError(int32_t aCode, const String& aText) const {
  if (aText.empty()) throw EmvStaticRecordEngineException(aCode);
  throw EmvStaticRecordEngineException(aCode, aText);
}

void TmvStaticRecordEngine::RaiseCorrupt(TmvBlockNumber aBlock) const {
  RaiseError(MVERR_FILECORRUPT, Format(kDamagedBlock, {aBlock, breDataFile->_File()->FileName()}));
}

void TmvStaticRecordEngine::RaiseDeleted(TmvRefNr aRefNr) const {
  RaiseError(MVERR_KEYORRECDELETED, Format(kRecordDeleted, {breDataFile->_File()->FileName(), aRefNr}));
}

void TmvStaticRecordEngine::CheckRefNr(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, TmvBlockNumber& aBlock,
                                       uint16_t& aSlot) const {
  const uint64_t slot = uint64_t(aRefNr) & 0xFFFFFFFFu;
  if (slot < 1 || slot > reRecsPerBlock)
    RaiseError(MVERR_INVALIDREFNR, Format(kBadRefNr, {breDataFile->_File()->FileName(), aRefNr}));
  aSlot = uint16_t(slot);
  aBlock = TmvBlockNumber(uint64_t(aRefNr) >> 32);
  if (!breDataFile->ValidBlock(aBlock, aTrans))
    RaiseError(MVERR_INVALIDBLOCKNR, Format(kBadBlockNumber, {breDataFile->_File()->FileName(), aBlock}));
}

uint8_t* TmvStaticRecordEngine::HoldDataBlock(TmvBaseTransaction* aTrans, TmvBlockNumber aBlock, bool aDirty,
                                              THeld& aHeld) const {
  if (!breDataFile->ValidBlock(aBlock, aTrans))
    RaiseError(MVERR_INVALIDBLOCKNR, Format(kBadBlockNumber, {breDataFile->_File()->FileName(), aBlock}));
  aHeld.Release();
  aHeld.Block = breDataFile->GetBlock(aTrans, aBlock, int32_t(bseID), aDirty, aHeld.Method);
  uint8_t* block = aHeld.Block;
  if (mvBchSignature(block) != mvStaticRecordBlockSignature || mvBchThisBlock(block) != aBlock)
    RaiseError(MVERR_NOTADATABLOCK, Format(kNotADataBlock, {breDataFile->_File()->FileName(), aBlock}));
  if (mvGetU16(block, kFirstFreeSlotOffset) > reRecsPerBlock || mvGetU16(block, kBlockRecordsOffset) > reRecsPerBlock)
    RaiseCorrupt(aBlock);
  return block;
}

uint8_t* TmvStaticRecordEngine::Slot(uint8_t* aBlock, uint16_t aSlot) const {
  return aBlock + reFirstRecordOffset + uint32_t(aSlot - 1) * reRecordLength;
}

bool TmvStaticRecordEngine::SlotUsed(const uint8_t* aBlock, uint16_t aSlot) {
  return mvTestBit(aBlock + kBitmapOffset, aSlot - 1u) != 0;
}

void TmvStaticRecordEngine::SetSlotUsed(uint8_t* aBlock, uint16_t aSlot, bool aUsed) {
  if (aUsed) mvSetBit(aBlock + kBitmapOffset, aSlot - 1u);
  else mvClearBit(aBlock + kBitmapOffset, aSlot - 1u);
}

void TmvStaticRecordEngine::CopyOut(uint8_t* aBlock, TmvBlockNumber aBlockNr, uint16_t aSlot,
                                    uint8_t* aRecData) const {
  if (!aRecData) return;
  std::memcpy(aRecData, Slot(aBlock, aSlot), breRecordLength);
  SetRefNrField(aRecData, MakeRefNr(aBlockNr, aSlot));
}

bool TmvStaticRecordEngine::Matches(TmvBaseFilterEngine* aFilter, const uint8_t* aRecord) {
  return !aFilter || aFilter->MatchesBuffer(aRecord);
}

// ---------------------------------------------------------------------------
// Adding and deleting

uint8_t* TmvStaticRecordEngine::NewDataBlock(TmvBaseTransaction* aTrans, THeader& aHeader, THeld& aHeld) const {
  aHeld.Block = aHeader.Access()->GetNewBlock(aTrans, int32_t(bseID), aHeld.Method);
  uint8_t* block = aHeld.Block;
  const TmvBlockNumber number = mvBchThisBlock(block);
  const TmvBlockNumber last = aHeader.Get(kSectionLastBlock);
  std::memcpy(block, mvStaticRecordBlockSignature.data(), 4);
  mvPutU32(block, kNextBlockOffset, 0);
  mvPutU32(block, kPrevBlockOffset, last);
  if (last != 0) {
    THeld previous;
    mvPutU32(HoldDataBlock(aTrans, last, true, previous), kNextBlockOffset, number);
  } else {
    aHeader.Put(kSectionFirstBlock, number);
  }
  aHeader.Put(kSectionLastBlock, number);
  aHeader.Put(kSectionFreeHead, number);
  mvPutU32(block, kNextFreeBlockOffset, 0);
  mvPutU16(block, kFirstFreeSlotOffset, 1);
  mvPutU16(block, kBlockRecordsOffset, 0);
  std::memset(block + kBitmapOffset, 0, reInUseArraySize);
  for (uint16_t k = 1; k <= reRecsPerBlock; ++k) mvPutU32(Slot(block, k), 0, k < reRecsPerBlock ? k + 1u : 0u);
  aHeader.Add(kSectionFreeSlots, reRecsPerBlock);
  return block;
}

void TmvStaticRecordEngine::AddRecord(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t* aRecData) {
  THeader header(this, aTrans, true);
  header.CheckInvariant();
  THeld held;
  const TmvBlockNumber head = header.Get(kSectionFreeHead);
  uint8_t* block = head != 0 ? HoldDataBlock(aTrans, head, true, held) : NewDataBlock(aTrans, header, held);
  const TmvBlockNumber blockNr = mvBchThisBlock(block);
  const uint16_t slot = mvGetU16(block, kFirstFreeSlotOffset);
  // A block on the free-slot chain must have a free slot, and its link must
  // name a slot of the block.
  if (slot == 0 || SlotUsed(block, slot)) RaiseCorrupt(blockNr);
  const uint32_t link = mvGetU32(Slot(block, slot), 0);
  if (link > reRecsPerBlock || mvGetU16(block, kBlockRecordsOffset) >= reRecsPerBlock) RaiseCorrupt(blockNr);
  if (header.Get(kSectionFreeSlots) == 0) RaiseError(MVERR_HEADERCORRUPT);
  mvPutU16(block, kFirstFreeSlotOffset, uint16_t(link));
  if (link == 0) {
    header.Put(kSectionFreeHead, mvGetU32(block, kNextFreeBlockOffset));
    mvPutU32(block, kNextFreeBlockOffset, 0);
  }
  aRefNr = MakeRefNr(blockNr, slot);
  SetRefNrField(aRecData, aRefNr);
  std::memcpy(Slot(block, slot), aRecData, breRecordLength);
  SetSlotUsed(block, slot, true);
  mvPutU16(block, kBlockRecordsOffset, uint16_t(mvGetU16(block, kBlockRecordsOffset) + 1));
  header.Add(kSectionRecords, 1);
  header.Add(kSectionFreeSlots, -1);
  header.CheckInvariant();
}

void TmvStaticRecordEngine::DeleteRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr) {
  TmvBlockNumber blockNr;
  uint16_t slot;
  CheckRefNr(aTrans, aRefNr, blockNr, slot);
  THeader header(this, aTrans, true);
  header.CheckInvariant();
  THeld held;
  uint8_t* block = HoldDataBlock(aTrans, blockNr, true, held);
  if (!SlotUsed(block, slot)) RaiseDeleted(aRefNr);
  const uint16_t count = mvGetU16(block, kBlockRecordsOffset);
  if (count == 0 || header.Get(kSectionRecords) == 0) RaiseCorrupt(blockNr);
  const uint16_t firstFree = mvGetU16(block, kFirstFreeSlotOffset);
  if (firstFree == 0) {
    mvPutU32(block, kNextFreeBlockOffset, header.Get(kSectionFreeHead));
    header.Put(kSectionFreeHead, blockNr);
  }
  mvPutU32(Slot(block, slot), 0, firstFree);
  mvPutU16(block, kFirstFreeSlotOffset, slot);
  mvPutU16(block, kBlockRecordsOffset, uint16_t(count - 1));
  SetSlotUsed(block, slot, false);
  header.Add(kSectionFreeSlots, 1);
  header.Add(kSectionRecords, -1);
  header.CheckInvariant();
}

// ---------------------------------------------------------------------------
// Reading and updating by reference

void TmvStaticRecordEngine::ReadRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t* aRecData) {
  TmvBlockNumber blockNr;
  uint16_t slot;
  CheckRefNr(aTrans, aRefNr, blockNr, slot);
  THeld held;
  uint8_t* block = HoldDataBlock(aTrans, blockNr, false, held);
  if (!SlotUsed(block, slot)) RaiseDeleted(aRefNr);
  CopyOut(block, blockNr, slot, aRecData);
}

void TmvStaticRecordEngine::UpdateRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t* aNewRecord,
                                         uint8_t* aOldRecord) {
  TmvBlockNumber blockNr;
  uint16_t slot;
  CheckRefNr(aTrans, aRefNr, blockNr, slot);
  THeld held;
  uint8_t* block = HoldDataBlock(aTrans, blockNr, true, held);
  if (!SlotUsed(block, slot)) RaiseDeleted(aRefNr);
  CopyOut(block, blockNr, slot, aOldRecord);
  SetRefNrField(aNewRecord, aRefNr);
  std::memcpy(Slot(block, slot), aNewRecord, breRecordLength);
}

void TmvStaticRecordEngine::GetRecordCount(TmvBaseTransaction* aTrans, uint32_t& aCount) {
  THeader header(this, aTrans, false);
  aCount = header.Get(kSectionRecords);
}

// ---------------------------------------------------------------------------
// Walks

bool TmvStaticRecordEngine::Step(TmvBaseTransaction* aTrans, TWalk& aWalk, bool aForward) const {
  while (aWalk.BlockNr != 0) {
    if (!aWalk.Held.Block) {
      CountBlock(aTrans, aWalk);
      mvCheckOperationTimeout();
      HoldDataBlock(aTrans, aWalk.BlockNr, false, aWalk.Held);
      aWalk.Slots = 0;
    }
    uint8_t* block = aWalk.Held.Block;
    if (mvGetU16(block, kBlockRecordsOffset) != 0) {
      for (;;) {
        if (aForward ? aWalk.SlotNr >= reRecsPerBlock : aWalk.SlotNr <= 1) break;
        aWalk.SlotNr = uint16_t(aForward ? aWalk.SlotNr + 1 : aWalk.SlotNr - 1);
        if (++aWalk.Slots % kSlotsPerHeartbeat == 0) mvCheckOperationTimeout();
        if (SlotUsed(block, aWalk.SlotNr)) return true;
      }
    }
    aWalk.BlockNr = mvGetU32(block, aForward ? kNextBlockOffset : kPrevBlockOffset);
    aWalk.SlotNr = aForward ? 0 : uint16_t(reRecsPerBlock + 1);
    aWalk.Held.Release();
  }
  return false;
}

void TmvStaticRecordEngine::ReadNextRecord(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr,
                                           uint8_t* aRecData) {
  StepFrom(aTrans, aFromRefNr, aRefNr, aRecData, true);
}

void TmvStaticRecordEngine::ReadPrevRecord(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr,
                                           uint8_t* aRecData) {
  StepFrom(aTrans, aFromRefNr, aRefNr, aRecData, false);
}

void TmvStaticRecordEngine::StartWalk(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TWalk& aWalk,
                                      bool aForward) const {
  if (aFromRefNr != 0) {
    CheckRefNr(aTrans, aFromRefNr, aWalk.BlockNr, aWalk.SlotNr);
    return;
  }
  THeader header(this, aTrans, false);
  aWalk.BlockNr = header.Get(aForward ? kSectionFirstBlock : kSectionLastBlock);
  aWalk.SlotNr = aForward ? 0 : uint16_t(reRecsPerBlock + 1);
}

void TmvStaticRecordEngine::StepFrom(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr,
                                     uint8_t* aRecData, bool aForward) const {
  TWalk walk;
  StartWalk(aTrans, aFromRefNr, walk, aForward);
  aRefNr = 0;
  if (!Step(aTrans, walk, aForward)) return;
  aRefNr = MakeRefNr(walk.BlockNr, walk.SlotNr);
  CopyOut(walk.Held.Block, walk.BlockNr, walk.SlotNr, aRecData);
}

TmvRecordIteratorResult TmvStaticRecordEngine::CallIterator(uint8_t* aSlot, TmvRefNr aRefNr, uint8_t*& aData,
                                                            const TmvRecordIterator& aIterator, void* aCookie) {
  if (aData) {
    std::memcpy(aData, aSlot, breRecordLength);
    SetRefNrField(aData, aRefNr);
    return aIterator(aCookie, aRefNr, aData);
  }
  // The held block may be the committed image that other readers share: it
  // is never written. A table with a RefNr field hands out a copy that
  // carries the reference instead.
  uint8_t* record = aSlot;
  if (breRefNrField >= 0) {
    std::memcpy(TempRecBuf, aSlot, breRecordLength);
    SetRefNrField(TempRecBuf, aRefNr);
    record = TempRecBuf;
  }
  aData = record;
  try {
    const TmvRecordIteratorResult result = aIterator(aCookie, aRefNr, record);
    aData = nullptr;
    return result;
  } catch (...) {
    aData = nullptr;
    throw;
  }
}

void TmvStaticRecordEngine::Walk(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData,
                                 const TmvRecordIterator& aIterator, void* aCookie, TmvBaseFilterEngine* aFilter,
                                 bool aKeepPosition, bool aForward) {
  if (aFilter && !aFilter->GetActive()) aFilter = nullptr;
  if (!aKeepPosition) aRefNr = 0;
  TWalk walk;
  StartWalk(aTrans, aRefNr, walk, aForward);
  while (Step(aTrans, walk, aForward)) {
    aRefNr = MakeRefNr(walk.BlockNr, walk.SlotNr);
    uint8_t* slot = Slot(walk.Held.Block, walk.SlotNr);
    if (!Matches(aFilter, slot)) continue;
    if (CallIterator(slot, aRefNr, aData, aIterator, aCookie) == rirStop) return;
  }
  aRefNr = 0;
}

void TmvStaticRecordEngine::Iterate(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData,
                                    const TmvRecordIterator& aIterator, void* aCookie, TmvBaseFilterEngine* aFilter,
                                    bool aKeepPosition, bool) {
  Walk(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, true);
}

void TmvStaticRecordEngine::IterateBackward(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData,
                                            const TmvRecordIterator& aIterator, void* aCookie,
                                            TmvBaseFilterEngine* aFilter, bool aKeepPosition, bool) {
  Walk(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, false);
}

TmvRecordIteratorResult TmvStaticRecordEngine::ReadRecordForIterate(TmvBaseTransaction* aTrans, TmvRefNr aRefNr,
                                                                    uint8_t*& aData,
                                                                    const TmvRecordIterator& aIterator,
                                                                    void* aCookie, TmvBaseFilterEngine* aFilter) {
  MV_ASSERT(!aFilter || aFilter->GetActive());
  TmvBlockNumber blockNr;
  uint16_t slotNr;
  CheckRefNr(aTrans, aRefNr, blockNr, slotNr);
  THeld held;
  uint8_t* block = HoldDataBlock(aTrans, blockNr, false, held);
  if (!SlotUsed(block, slotNr)) RaiseDeleted(aRefNr);
  uint8_t* slot = Slot(block, slotNr);
  if (!Matches(aFilter, slot)) return rirContinue;
  // aData points at the record for the call, then gets its value back.
  uint8_t* const saved = aData;
  aData = nullptr;
  const TmvRecordIteratorResult result = CallIterator(slot, aRefNr, aData, aIterator, aCookie);
  aData = saved;
  return result;
}

// ---------------------------------------------------------------------------
// Record numbers. Without a filter whole blocks are passed by their record
// counts; with one every record is tested, in both directions, so that
// numbers are exact whichever way they are counted.

void TmvStaticRecordEngine::WalkBlocks(TmvBaseTransaction* aTrans, bool aForward,
                                       const std::function<bool(uint8_t*, TmvBlockNumber)>& aVisit) const {
  TWalk walk;
  StartWalk(aTrans, 0, walk, aForward);
  while (walk.BlockNr != 0) {
    CountBlock(aTrans, walk);
    mvCheckOperationTimeout();
    uint8_t* block = HoldDataBlock(aTrans, walk.BlockNr, false, walk.Held);
    if (aVisit(block, walk.BlockNr)) return;
    walk.BlockNr = mvGetU32(block, aForward ? kNextBlockOffset : kPrevBlockOffset);
  }
}

int32_t TmvStaticRecordEngine::RecNoGet(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, TmvBaseFilterEngine* aFilter,
                                        int32_t& aRecNo, bool aFlipOrder) {
  if (aFilter && !aFilter->GetActive()) aFilter = nullptr;
  aRecNo = 0;
  TmvBlockNumber target;
  uint16_t targetSlot;
  CheckRefNr(aTrans, aRefNr, target, targetSlot);
  int32_t result = MVERR_EOF;
  uint32_t count = 0;
  WalkBlocks(aTrans, !aFlipOrder, [&](uint8_t* aBlock, TmvBlockNumber aBlockNr) {
    if (!aFilter && aBlockNr != target) {
      count += mvGetU16(aBlock, kBlockRecordsOffset);
      return false;
    }
    for (uint16_t i = 1; i <= reRecsPerBlock; ++i) {
      if (i % kSlotsPerHeartbeat == 0) mvCheckOperationTimeout();
      const uint16_t k = aFlipOrder ? uint16_t(reRecsPerBlock + 1 - i) : i;
      const bool counted = SlotUsed(aBlock, k) && Matches(aFilter, Slot(aBlock, k));
      if (aBlockNr == target && k == targetSlot) {
        result = counted ? 0 : MVERR_NOCURRREC;
        aRecNo = counted ? int32_t(count + 1) : 0;
        return true;
      }
      if (counted) ++count;
    }
    return false;
  });
  return result;
}

int32_t TmvStaticRecordEngine::RecNoSet(TmvBaseTransaction* aTrans, int32_t aRecNo, TmvRefNr& aRefNr,
                                        TmvBaseFilterEngine* aFilter, bool aFlipOrder) {
  if (aFilter && !aFilter->GetActive()) aFilter = nullptr;
  aRefNr = 0;
  if (aRecNo < 1) return MVERR_EOF;
  uint32_t remaining = uint32_t(aRecNo);
  WalkBlocks(aTrans, !aFlipOrder, [&](uint8_t* aBlock, TmvBlockNumber aBlockNr) {
    const uint16_t records = mvGetU16(aBlock, kBlockRecordsOffset);
    if (!aFilter && records < remaining) {
      remaining -= records;
      return false;
    }
    for (uint16_t i = 1; i <= reRecsPerBlock; ++i) {
      if (i % kSlotsPerHeartbeat == 0) mvCheckOperationTimeout();
      const uint16_t k = aFlipOrder ? uint16_t(reRecsPerBlock + 1 - i) : i;
      if (!SlotUsed(aBlock, k) || !Matches(aFilter, Slot(aBlock, k))) continue;
      if (--remaining == 0) {
        aRefNr = MakeRefNr(aBlockNr, k);
        return true;
      }
    }
    return false;
  });
  return aRefNr != 0 ? 0 : MVERR_EOF;
}

// ---------------------------------------------------------------------------
// Recovery and rewriting

int32_t TmvStaticRecordEngine::GetRecoverID() { return reFileIsV1 ? 0 : int32_t(bseID); }

int32_t TmvStaticRecordEngine::RecoverIterate(const uint8_t* aBlock, TmvBlockNumber aBlockNumber, uint8_t*& aData,
                                              const TmvRecordIterator& aIterator, void* aCookie) {
  if (!aBlock || mvBchSignature(aBlock) != mvStaticRecordBlockSignature || mvBchThisBlock(aBlock) != aBlockNumber)
    return 0;
  // Recovery reads a raw copy of the block; the pointer form points into it.
  uint8_t* block = const_cast<uint8_t*>(aBlock);
  for (uint16_t k = 1; k <= reRecsPerBlock; ++k) {
    if (!SlotUsed(block, k)) continue;
    if (CallIterator(Slot(block, k), 0, aData, aIterator, aCookie) == rirStop) break;
  }
  return 0;
}

void TmvStaticRecordEngine::ReplaceAllRecords(TmvBaseTransaction* aTrans, const TmvGetRecordCallback& aCallback) {
  THeader header(this, aTrans, true);
  TWalk walk;
  walk.BlockNr = header.Get(kSectionFirstBlock);
  while (walk.BlockNr != 0) {
    CountBlock(aTrans, walk);
    mvCheckOperationTimeout();
    uint8_t* block = HoldDataBlock(aTrans, walk.BlockNr, true, walk.Held);
    for (uint16_t k = 1; k <= reRecsPerBlock; ++k) {
      if (!SlotUsed(block, k)) continue;
      const TmvRefNr refNr = MakeRefNr(walk.BlockNr, k);
      uint8_t* slot = Slot(block, k);
      SetRefNrField(slot, refNr);
      if (const int32_t code = aCallback(slot)) RaiseError(code);
      SetRefNrField(slot, refNr);
    }
    walk.BlockNr = mvGetU32(block, kNextBlockOffset);
  }
}
