// Storage: the simple BLOB engine (block layout in the header).
#include "storage/blobs/mvseBlobEngineSimple.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "foundation/errors/mvllErrors.h"
#include "platform/Classes.h"
#include "platform/TextServices.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/heaps/mvseHeapEngine.h"
#include "storage/mvsrTimeoutHandling.h"

namespace {

constexpr uint32_t kKind = 16, kNext = 17, kLength = 21, kUsed = 25, kData = 27;
constexpr uint8_t kData0 = 0, kFileBlob = 1, kBlobLink = 2;
constexpr uint32_t kLast = 0xFFFFFFFF;
constexpr char kSignature[] = "MVBH";

using THeaderAccess = std::unique_ptr<TmvBaseFileHeaderAccess>;

}  // namespace

constinit const TmvBlobEngineClassRef TmvSimpleBlobEngine::StaticClass{
    {{u"TmvSimpleBlobEngine", &TmvBaseBlobEngine::StaticClass},
     &TmvBaseBlobEngine::GetList,
     &TmvBaseBlobEngine::CheckValidFromDictionary},
    &TmvSimpleBlobEngine::Create,
    &TmvBaseBlobEngine::CheckValidBase};

void mvseBlobEngineSimpleInit() { TmvBaseSubEngine::Register(TmvSimpleBlobEngine::StaticClass, u"mv1xSimple"); }

void mvseBlobEngineSimpleFini() { TmvBaseSubEngine::Unregister(TmvSimpleBlobEngine::StaticClass); }

TmvSimpleBlobEngine::TmvSimpleBlobEngine(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                         TmvBaseTransaction* /*aTrans*/)
    : TmvBaseBlobEngine(aDescriptor, aFiles) {
  if (bseTableVersion >= mvReuseCounterVersion) bbeBlobNrMask = 0x00000000FFFFFFFF;
}

void TmvSimpleBlobEngine::RaiseDamaged(TmvBlockNumber aBlock, const char16_t* aWhat) {
  throw EmvSimpleBlobEngineException(MVERR_FILECORRUPT, u"BLOB block [%s, %d] is damaged: %s",
                                     {BlobFileName(), int32_t(aBlock), String(aWhat)});
}

void TmvSimpleBlobEngine::RaiseReadOnly(uint8_t aKind, TmvBlobNr aBlobNr) {
  if (aKind == kFileBlob)
    throw EmvSimpleBlobEngineException(MVERR_READONLYFLD, u"Cannot write to a file BLOB [%s, (%d)]",
                                       {BlobFileName(), int32_t(aBlobNr)});
  // A link is a reference to another table's BLOB, not data of its own.
  throw EmvSimpleBlobEngineException(MVERR_READONLYFLD, u"Cannot write to a BLOB link [%s, (%d)]",
                                     {BlobFileName(), int32_t(aBlobNr)});
}

uint8_t* TmvSimpleBlobEngine::ReadBlobBlock(TmvBaseTransaction* aTrans, bool aMarkDirty, TmvBlockNumber aBlockNumber,
                                            TmvReleaseMethod& aReleaseMethod) {
  if (aBlockNumber == 0)
    throw EmvSimpleBlobEngineException(MVERR_INVALIDBLOBHANDLE, u"Number is not a valid MorvaDB BLOB number [%s, (%d)]",
                                       {BlobFileName(), 0});
  if (!bbeBlobFile->ValidBlock(aBlockNumber, aTrans))
    throw EmvSimpleBlobEngineException(MVERR_INVALIDBLOCKNR,
                                       u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                       {BlobFileName(), int32_t(aBlockNumber)});
  uint8_t* block = bbeBlobFile->GetBlock(aTrans, aBlockNumber, int32_t(bseID), aMarkDirty, aReleaseMethod);
  if (std::memcmp(block, kSignature, 4) != 0 || mvBchThisBlock(block) != aBlockNumber) {
    aReleaseMethod(block);
    throw EmvSimpleBlobEngineException(MVERR_BLOBGENERAL,
                                       u"Block just read from file is not a valid BLOB data block [%s, %d]",
                                       {BlobFileName(), int32_t(aBlockNumber)});
  }
  if (block[kKind] > kBlobLink) {
    aReleaseMethod(block);
    RaiseDamaged(aBlockNumber, u"kind");
  }
  return block;
}

uint8_t* TmvSimpleBlobEngine::NewBlobBlock(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeader,
                                           TmvReleaseMethod& aRelease) {
  uint8_t* block = aHeader->GetNewBlock(aTrans, int32_t(bseID), aRelease);
  std::memcpy(block, kSignature, 4);
  block[kKind] = kData0;
  mvPutU32(block, kNext, kLast);
  mvPutU32(block, kLength, 0);
  mvPutU16(block, kUsed, 0);
  return block;
}

uint16_t TmvSimpleBlobEngine::Used(const uint8_t* aBlock) {
  const uint16_t used = mvGetU16(aBlock, kUsed);
  if (used > DataSize()) RaiseDamaged(mvBchThisBlock(aBlock), u"used bytes");
  return used;
}

TmvBlockNumber TmvSimpleBlobEngine::Next(TmvBaseTransaction* aTrans, const uint8_t* aBlock, uint32_t& aSteps) {
  // The file as the transaction sees it, which for a snapshot is not the
  // file that writers on other threads are changing.
  if (++aSteps > bbeBlobFile->UsedBlocks(aTrans)) RaiseDamaged(mvBchThisBlock(aBlock), u"chain runs in a circle");
  return mvGetU32(aBlock, kNext);
}

String TmvSimpleBlobEngine::FileName(const uint8_t* aBlock) {
  const uint16_t length = mvGetU16(aBlock, kData);
  if (length > DataSize() - 2) RaiseDamaged(mvBchThisBlock(aBlock), u"file name");
  return SystemAnsiToString(std::string(reinterpret_cast<const char*>(aBlock + kData + 2), length));
}

String TmvSimpleBlobEngine::LinkName(const uint8_t* aBlock, TmvBlobNr& aSource) {
  const uint32_t length = mvGetU32(aBlock, kData);
  if (length > DataSize() - 12) RaiseDamaged(mvBchThisBlock(aBlock), u"link name");
  aSource = TmvBlobNr(mvGetU64(aBlock, kData + 4 + length));
  return SystemAnsiToString(std::string(reinterpret_cast<const char*>(aBlock + kData + 4), length));
}

// ---------------------------------------------------------------------------
// Creating and asking

void TmvSimpleBlobEngine::AddBlob(TmvBaseTransaction* aTrans, TmvBlobNr& aBlobNr) {
  THeaderAccess header(bbeBlobFile->HeaderAccess(aTrans, true));
  TmvHeldBlock block;
  block.Block = NewBlobBlock(aTrans, header.get(), block.Release);
  aBlobNr = mvBchThisBlock(block.Block);
}

void TmvSimpleBlobEngine::AddFileBlob(TmvBaseTransaction* aTrans, const String& aFileName, TmvBlobNr& aBlobNr) {
  const AnsiString name = StringToSystemAnsi(aFileName);
  // The name starts after its 2-byte length: that much less room.
  MV_ASSERT(name.size() <= DataSize() - 2);
  THeaderAccess header(bbeBlobFile->HeaderAccess(aTrans, true));
  TmvHeldBlock block;
  block.Block = NewBlobBlock(aTrans, header.get(), block.Release);
  block.Block[kKind] = kFileBlob;
  mvPutU16(block.Block, kData, uint16_t(name.size()));
  std::memcpy(block.Block + kData + 2, name.data(), name.size());
  mvPutU32(block.Block, kLength, uint32_t(name.size()) + 1);
  aBlobNr = mvBchThisBlock(block.Block);
}

void TmvSimpleBlobEngine::AddBlobLink(TmvBaseTransaction* aTrans, const String& aTableName, TmvBlobNr aTableBlobNr,
                                      TmvBlobNr& aBlobNr) {
  const AnsiString name = StringToSystemAnsi(aTableName);
  MV_ASSERT(name.size() + 12 <= DataSize());
  THeaderAccess header(bbeBlobFile->HeaderAccess(aTrans, true));
  TmvHeldBlock block;
  block.Block = NewBlobBlock(aTrans, header.get(), block.Release);
  block.Block[kKind] = kBlobLink;
  mvPutU32(block.Block, kData, uint32_t(name.size()));
  std::memcpy(block.Block + kData + 4, name.data(), name.size());
  mvPutU64(block.Block, kData + 4 + uint32_t(name.size()), uint64_t(aTableBlobNr));
  mvPutU32(block.Block, kLength, uint32_t(name.size()) + 12);
  aBlobNr = mvBchThisBlock(block.Block);
}

uint32_t TmvSimpleBlobEngine::GetBlobLength(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr,
                                            TmvBlobLinkGetLength aLengthMethod, uint32_t& aLength) {
  aLength = 0;
  TmvHeldBlock first;
  first.Block = ReadBlobBlock(aTrans, false, FirstBlock(aBlobNr), first.Release);
  if (first.Block[kKind] == kFileBlob) {
    const String name = FileName(first.Block);
    first.Drop();
    return GetFileBlobLength(name, aLength);
  }
  if (first.Block[kKind] == kBlobLink) {
    TmvBlobNr source = 0;
    const String table = LinkName(first.Block, source);
    first.Drop();
    return aLengthMethod(table, source, aLength);
  }
  aLength = mvGetU32(first.Block, kLength);
  return 0;
}

bool TmvSimpleBlobEngine::IsFileBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, String& aFileName) {
  aFileName.clear();
  TmvHeldBlock first;
  first.Block = ReadBlobBlock(aTrans, false, FirstBlock(aBlobNr), first.Release);
  if (first.Block[kKind] != kFileBlob) return false;
  aFileName = FileName(first.Block);
  return true;
}

bool TmvSimpleBlobEngine::IsBlobLink(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, String& aSrcTableName,
                                     TmvBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  aSrcTableBlobNr = 0;
  TmvHeldBlock first;
  first.Block = ReadBlobBlock(aTrans, false, FirstBlock(aBlobNr), first.Release);
  if (first.Block[kKind] != kBlobLink) return false;
  aSrcTableName = LinkName(first.Block, aSrcTableBlobNr);
  return true;
}

void TmvSimpleBlobEngine::IncBlobNr(TmvBlobNr& aBlobNr) {
  if (bseTableVersion >= mvReuseCounterVersion)
    aBlobNr = TmvBlobNr((uint64_t(aBlobNr) & 0xFFFFFFFF) | ((uint64_t(aBlobNr) >> 32) + 1) << 32);
}

// ---------------------------------------------------------------------------
// Reading and writing

uint32_t TmvSimpleBlobEngine::SeekBlock(TmvBaseTransaction* aTrans, TmvHeldBlock& aBlock, uint32_t aOffset,
                                        bool aMarkDirty, uint32_t& aSteps) {
  uint32_t start = 0;
  while (aOffset > start + Used(aBlock.Block)) {
    start += Used(aBlock.Block);
    const TmvBlockNumber next = Next(aTrans, aBlock.Block, aSteps);
    if (next == kLast) RaiseDamaged(mvBchThisBlock(aBlock.Block), u"chain shorter than the length");
    aBlock.Drop();
    aBlock.Block = ReadBlobBlock(aTrans, aMarkDirty, next, aBlock.Release);
  }
  return start;
}

uint32_t TmvSimpleBlobEngine::Read(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                   TmvBlobLinkRead aReadMethod, TStream* aStream) {
  TmvHeldBlock block;
  block.Block = ReadBlobBlock(aTrans, false, FirstBlock(aBlobNr), block.Release);
  if (block.Block[kKind] == kFileBlob) {
    const String name = FileName(block.Block);
    block.Drop();
    return ReadFileBlob(name, aOffset, aStream, aLen);
  }
  if (block.Block[kKind] == kBlobLink) {
    TmvBlobNr source = 0;
    const String table = LinkName(block.Block, source);
    block.Drop();
    return aReadMethod(table, source, aOffset, aLen, aStream);
  }
  const uint32_t length = mvGetU32(block.Block, kLength);
  if (aLen == 0 || aOffset >= length) return 0;
  uint32_t wanted = std::min(aLen, length - aOffset);
  uint32_t steps = 0;
  uint32_t inBlock = aOffset - SeekBlock(aTrans, block, aOffset, false, steps);
  while (wanted > 0) {
    mvCheckOperationTimeout();
    const uint32_t count = std::min<uint32_t>(Used(block.Block) - inBlock, wanted);
    if (count > 0) aStream->WriteBuffer(block.Block + kData + inBlock, count);
    wanted -= count;
    inBlock = 0;
    if (wanted == 0) break;
    const TmvBlockNumber next = Next(aTrans, block.Block, steps);
    if (next == kLast) RaiseDamaged(mvBchThisBlock(block.Block), u"chain shorter than the length");
    block.Drop();
    block.Block = ReadBlobBlock(aTrans, false, next, block.Release);
  }
  return 0;
}

void TmvSimpleBlobEngine::Write(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                const void* aBlob) {
  const TmvBlockNumber firstNumber = FirstBlock(aBlobNr);
  TmvHeldBlock block;
  block.Block = ReadBlobBlock(aTrans, true, firstNumber, block.Release);
  const uint32_t length = mvGetU32(block.Block, kLength);
  const uint64_t end = uint64_t(aOffset) + aLen;
  if (end > mvMaxBlobSize) throw EmvSimpleBlobEngineException(MVERR_BLOBTOOLARGE);
  if (block.Block[kKind] != kData0) RaiseReadOnly(block.Block[kKind], aBlobNr);
  if (aOffset > length)
    throw EmvSimpleBlobEngineException(
        MVERR_INVALIDBLOBOFFSET, u"Offset value is greater than the length of the BLOB [%s, (%d), offset %d, length %d]",
        {BlobFileName(), int32_t(aBlobNr), int32_t(aOffset), int32_t(length)});
  const uint32_t dataSize = DataSize();
  uint32_t steps = 0;
  uint32_t inBlock = aOffset - SeekBlock(aTrans, block, aOffset, true, steps);
  const auto* bytes = static_cast<const uint8_t*>(aBlob);
  uint32_t remaining = aLen;
  THeaderAccess header;
  while (remaining > 0) {
    mvCheckOperationTimeout();
    if (inBlock == dataSize) {
      // This block is done: on along the chain, or a new block at its end.
      const TmvBlockNumber next = Next(aTrans, block.Block, steps);
      if (next != kLast) {
        block.Drop();
        block.Block = ReadBlobBlock(aTrans, true, next, block.Release);
      } else {
        if (!header) header.reset(bbeBlobFile->HeaderAccess(aTrans, true));
        TmvHeldBlock added;
        added.Block = NewBlobBlock(aTrans, header.get(), added.Release);
        mvPutU32(block.Block, kNext, mvBchThisBlock(added.Block));
        block.Drop();
        std::swap(block.Block, added.Block);
        std::swap(block.Release, added.Release);
      }
      inBlock = 0;
    }
    const uint32_t count = std::min(remaining, dataSize - inBlock);
    std::memcpy(block.Block + kData + inBlock, bytes, count);
    mvPutU16(block.Block, kUsed, uint16_t(std::max<uint32_t>(Used(block.Block), inBlock + count)));
    bytes += count;
    remaining -= count;
    inBlock += count;
  }
  block.Drop();
  if (end > length) {
    block.Block = ReadBlobBlock(aTrans, true, firstNumber, block.Release);
    mvPutU32(block.Block, kLength, uint32_t(end));
  }
}

void TmvSimpleBlobEngine::Truncate(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aLen) {
  TmvHeldBlock first;
  first.Block = ReadBlobBlock(aTrans, true, FirstBlock(aBlobNr), first.Release);
  const uint32_t length = mvGetU32(first.Block, kLength);
  if (aLen == length) return;
  if (first.Block[kKind] != kData0) RaiseReadOnly(first.Block[kKind], aBlobNr);
  if (aLen > length)
    throw EmvSimpleBlobEngineException(
        MVERR_INVALIDBLOBLEN, u"Truncate length is greater than length of BLOB [%s, (%d), offset %d, length %d]",
        {BlobFileName(), int32_t(aBlobNr), int32_t(aLen), int32_t(length)});
  mvPutU32(first.Block, kLength, aLen);
  // The block in which the new end falls keeps that much; the chain ends there.
  TmvHeldBlock block;
  uint8_t* cut = first.Block;
  uint32_t sum = 0, steps = 0;
  while (aLen > 0 && sum + Used(cut) < aLen) {
    sum += Used(cut);
    const TmvBlockNumber next = Next(aTrans, cut, steps);
    if (next == kLast) RaiseDamaged(mvBchThisBlock(cut), u"chain shorter than the length");
    block.Drop();
    block.Block = ReadBlobBlock(aTrans, true, next, block.Release);
    cut = block.Block;
  }
  if (aLen > 0) mvPutU16(cut, kUsed, uint16_t(aLen - sum));
  TmvBlockNumber next = Next(aTrans, cut, steps);
  mvPutU32(cut, kNext, kLast);
  FreeChain(aTrans, next, mvBchThisBlock(cut));
}

void TmvSimpleBlobEngine::FreeChain(TmvBaseTransaction* aTrans, TmvBlockNumber aFirst, TmvBlockNumber aKept) {
  THeaderAccess header(bbeBlobFile->HeaderAccess(aTrans, true));
  // A block met twice would be freed twice: the chain runs in a circle.
  std::set<TmvBlockNumber> seen{aKept};
  for (TmvBlockNumber next = aFirst; next != kLast;) {
    if (!seen.insert(next).second) RaiseDamaged(next, u"chain runs in a circle");
    TmvHeldBlock gone;
    gone.Block = ReadBlobBlock(aTrans, true, next, gone.Release);
    next = mvGetU32(gone.Block, kNext);
    header->DeleteBlock(aTrans, gone.Block);
  }
}

void TmvSimpleBlobEngine::DeleteBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr) {
  // The first block is checked as every other access checks it: a number
  // of all ones would otherwise pass for the end of an empty chain.
  {
    TmvHeldBlock first;
    first.Block = ReadBlobBlock(aTrans, false, FirstBlock(aBlobNr), first.Release);
  }
  FreeChain(aTrans, FirstBlock(aBlobNr), 0);
}

bool TmvSimpleBlobEngine::FreeBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr) {
  {
    TmvHeldBlock first;
    first.Block = ReadBlobBlock(aTrans, false, FirstBlock(aBlobNr), first.Release);
    if (mvGetU32(first.Block, kLength) != 0) return false;
  }
  DeleteBlob(aTrans, aBlobNr);
  return true;
}

