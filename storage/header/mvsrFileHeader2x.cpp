// Storage: version 2 of the table file header. See mvsrFileHeader2x.h.
#include "storage/header/mvsrFileHeader2x.h"

#include <algorithm>
#include <limits>

#include "foundation/errors/mvllErrors.h"
#include "storage/cache/mvsrBlockAccess.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/files/mvsrEncryption.h"

namespace {

constexpr uint32_t kReservedHeaderSpaceOffset = 17;
constexpr uint32_t kFreeCacheOffset = 104;
constexpr uint32_t kFreeCacheSize = 20;
constexpr uint32_t kFreeCacheKeep = 5;     // what a spill leaves in the cache
constexpr uint32_t kFreeCacheRefill = 15;  // what a refill fills it up to
constexpr uint32_t kSectionTopOffset = 256;
constexpr uint32_t kDirectoryOffset = 258;
constexpr uint32_t kEntryOverhead = 3;  // a directory entry's length byte and offset
constexpr uint32_t kMaxSectionName = 255;

constexpr uint32_t kMapNextOffset = 16;
constexpr uint32_t kMapCapacityOffset = 20;
constexpr uint32_t kMapUsedOffset = 24;
constexpr uint32_t kMapEntriesOffset = 28;

constexpr char16_t kSubHeaders[] = u"SubHeaders";
constexpr uint8_t kSubHeadersSize = 253;
constexpr uint32_t kSectionEntries = 31;
constexpr uint32_t kSectionOverflowOffset = 248;
constexpr uint32_t kSectionCountOffset = 252;

constexpr uint32_t kOverflowNextOffset = 16;
constexpr uint32_t kOverflowCapacityOffset = 20;
constexpr uint32_t kOverflowCountOffset = 22;
constexpr uint32_t kOverflowEntriesOffset = 24;

constexpr TmvBlockSignature kMapSignature{'F', 'B', 'M', 'H'};
constexpr TmvBlockSignature kOverflowSignature{'C', 'H', 'O', 'F'};
constexpr char kFreeSignature[4] = {'D', 'E', 'A', 'D'};

constexpr char16_t kWrongMapSignature[] =
    u"Block %d in file \"%s\" has the BlockOwnerID of the free block map but has a signature of \"%s\"";
constexpr char16_t kWrongOverflowSignature[] =
    u"Block %d in file \"%s\" has the BlockOwnerID of a child header overflow block but has a signature of \"%s\"";

uint32_t mapCapacity(uint32_t aUsable) { return (aUsable - kMapEntriesOffset) / 4; }
uint32_t overflowCapacity(uint32_t aUsable) { return (aUsable - kOverflowEntriesOffset) / 8; }

String signatureText(const uint8_t* aBlock) {
  String s(4, u'\0');
  mvBytesToWideChars(aBlock, s.data(), 4);
  return s;
}

void checkValid2x(bool) {}
uint32_t additionalReservedSpace2x() { return mv2xAdditionalReservedSpace; }

}  // namespace

constinit const TmvFileHeaderAccessFactoryClassRef Tmv2xFileHeaderAccessFactory::StaticClass{
    {u"Tmv2xFileHeaderAccessFactory", nullptr},
    &TmvCommonFileHeaderAccessFactory::CreateAs<Tmv2xFileHeaderAccessFactory>,
    &checkValid2x,
    &additionalReservedSpace2x};

// ---------------------------------------------------------------------------
// The factory

TmvBaseFileHeaderAccess* Tmv2xFileHeaderAccessFactory::NewFileHeaderAccess(TmvBaseTransaction* aTrans,
                                                                           bool aMarkDirty,
                                                                           TmvBlockAccess* aBlockAccess) {
  return new Tmv2xFileHeaderAccess(aTrans, aMarkDirty, aBlockAccess);
}

void Tmv2xFileHeaderAccessFactory::ReadHeader(const uint8_t* aHeader) {
  TmvCommonFileHeaderAccessFactory::ReadHeader(aHeader);
  TmvBaseFile* file = bfhafFile;
  const uint32_t reserved = mvGetU16(aHeader, kReservedHeaderSpaceOffset);
  const uint32_t usable = file->fiBlockSizeBytes;
  // The owner ID follows the usable area; the directory, the sections and
  // the engine's header must fit below its end.
  if (usable > file->BlockBytes() - mv2xAdditionalReservedSpace || usable < kDirectoryOffset + 1 + reserved)
    throw Emv2xFileHeaderAccessException(MVERR_HEADERCORRUPT);
  // The engine reads a header of its own size at usable - R - 1.
  TmvEncryptionEngineSpace space;
  if (TmvBaseEncryptionEngine::FindReservedSpace(file->fiEncryptionEngineName, file->fiForServer, file->fiBlockSize,
                                                 space) &&
      space.HeaderSpace != reserved)
    throw Emv2xFileHeaderAccessException(MVERR_HEADERCORRUPT);
  f2xReservedHeaderSpace = reserved;
}

void Tmv2xFileHeaderAccessFactory::WriteNewHeader(uint8_t* aHeader, const TmvBlockSignature& aSignature) {
  WriteCommonHeader(aHeader, aSignature, mv2xAdditionalReservedSpace);
  TmvBaseFile* file = bfhafFile;
  const uint32_t reserved = TmvBaseEncryptionEngine::ReservedHeaderSpace(file->fiEncryptionEngineName, file->fiForServer);
  const uint32_t usable = file->fiBlockSizeBytes;
  MV_ASSERT(usable >= kDirectoryOffset + 1 + reserved);
  mvPutU16(aHeader, kReservedHeaderSpaceOffset, uint16_t(reserved));
  mvPutU16(aHeader, kSectionTopOffset, uint16_t(usable - reserved - 1));
  aHeader[kDirectoryOffset] = 0;
  f2xReservedHeaderSpace = reserved;
}

void Tmv2xFileHeaderAccessFactory::InitTableChecksum(uint8_t* aHeader, bool aNew) {
  TmvBaseFile* file = bfhafFile;
  const uint32_t size = file->fiEncryptionEngine ? file->fiEncryptionEngine->beeChecksumSize() : 0;
  file->fiCheckSumSize = size;
  file->fiChecksum.clear();
  if (size == 0) return;
  if (size > f2xReservedHeaderSpace) {
    MV_ASSERT(!aNew);  // a new header reserves what the engine asks for
    throw Emv2xFileHeaderAccessException(MVERR_HEADERCORRUPT);
  }
  uint8_t* area = GetTableChecksum(aHeader);
  if (aNew) std::memset(area, 0, size);
  file->fiChecksum.assign(area, area + size);
}

void Tmv2xFileHeaderAccessFactory::VerifyID(const uint8_t* aBlock, TmvBlockNumber aBlockNum, int32_t aID) {
  TmvBaseFileHeaderAccessFactory::VerifyID(aBlock, aBlockNum, aID);
  if (aID == 0) return;
  const int32_t found = GetID(aBlock);
  if (found != aID)
    throw Emv2xFileHeaderAccessException(MVERR_FILECORRUPT,
                                         u"Expected BlockOwnerID %d but found %d in file \"%s\" for block %d",
                                         {aID, found, bfhafFile->FileName(), aBlockNum});
}

void Tmv2xFileHeaderAccessFactory::ValidateBlock(const uint8_t* aBlock, TmvBlockNumber aBlockNum) {
  TmvBaseFileHeaderAccessFactory::ValidateBlock(aBlock, aBlockNum);
  const TmvBlockSignature signature = mvBchSignature(aBlock);
  if (aBlockNum == 0) {
    if (signature != mv2xHeaderSignature)
      throw Emv2xFileHeaderAccessException(MVERR_FILECORRUPT, String(u"Block 0 has not the correct signature"));
    return;
  }
  const int32_t owner = GetID(aBlock);
  if (owner == mv2xChildHeaderOverflowID) {
    if (signature != kOverflowSignature)
      throw Emv2xFileHeaderAccessException(MVERR_FILECORRUPT, kWrongOverflowSignature,
                                           {aBlockNum, bfhafFile->FileName(), signatureText(aBlock)});
  } else if (owner == mv2xFreeBlockMapID) {
    if (signature != kMapSignature)
      throw Emv2xFileHeaderAccessException(MVERR_FILECORRUPT, kWrongMapSignature,
                                           {aBlockNum, bfhafFile->FileName(), signatureText(aBlock)});
  } else if (owner < 0 || owner > bfhafFile->fiMaxID) {
    throw Emv2xFileHeaderAccessException(
        MVERR_FILECORRUPT,
        u"Expected BlockOwnerID smaller or equal to %d but found %d in file \"%s\" for block %d. The header "
        u"signature is \"%s\"",
        {bfhafFile->fiMaxID, owner, bfhafFile->FileName(), aBlockNum, signatureText(aBlock)});
  }
}

int32_t Tmv2xFileHeaderAccessFactory::GetID(const uint8_t* aBlock) {
  return static_cast<int32_t>(mvGetU32(aBlock, bfhafFile->fiBlockSizeBytes));
}

uint8_t* Tmv2xFileHeaderAccessFactory::GetEncryptionEngineHeader(uint8_t* aHeader) {
  if (f2xReservedHeaderSpace == 0) return nullptr;
  return aHeader + bfhafFile->fiBlockSizeBytes - f2xReservedHeaderSpace - 1;
}

uint8_t* Tmv2xFileHeaderAccessFactory::GetTableChecksum(uint8_t* aHeader) {
  const uint32_t size = bfhafFile->fiCheckSumSize;
  if (size == 0) return nullptr;
  MV_ASSERT(size <= f2xReservedHeaderSpace);
  return aHeader + bfhafFile->fiBlockSizeBytes - size - 1;
}

// ---------------------------------------------------------------------------
// Header accesses: holding blocks of the header's own structures

// A block held for one operation, released at the end of its scope unless
// handed over.
void Tmv2xFileHeaderAccess::ThrowError(int32_t aCode, const String& aText) const {
  if (aText.empty()) throw Emv2xFileHeaderAccessException(aCode);
  throw Emv2xFileHeaderAccessException(aCode, aText);
}

uint8_t* Tmv2xFileHeaderAccess::HoldStructureBlock(TmvBaseTransaction* aTrans, THeldBlock& aHeld,
                                                   TmvBlockNumber aNumber, int32_t aOwner,
                                                   const TmvBlockSignature& aSignature, bool aDirty) {
  CheckBlockNumber(aNumber);
  aHeld.Block = bfhaBlockAccess->GetBlock(aTrans, aNumber, aOwner, aDirty, aHeld.Release);
  if (mvBchSignature(aHeld.Block) != aSignature)
    RaiseError(MVERR_FILECORRUPT,
               Format(aOwner == mv2xFreeBlockMapID ? kWrongMapSignature : kWrongOverflowSignature,
                      {aNumber, bfhaHeaderFile->FileName(), signatureText(aHeld.Block)}));
  return aHeld.Block;
}

uint8_t* Tmv2xFileHeaderAccess::HoldFreeBlockMap(TmvBaseTransaction* aTrans, THeldBlock& aHeld,
                                                 TmvBlockNumber aNumber) {
  uint8_t* map = HoldStructureBlock(aTrans, aHeld, aNumber, mv2xFreeBlockMapID, kMapSignature, true);
  const uint32_t capacity = mapCapacity(bfhaHeaderFile->fiBlockSizeBytes);
  if (mvGetU32(map, kMapCapacityOffset) != capacity || mvGetU32(map, kMapUsedOffset) > capacity)
    RaiseError(MVERR_FILECORRUPT, Format(u"Block %d in file \"%s\" is not a valid free block map",
                                         {aNumber, bfhaHeaderFile->FileName()}));
  return map;
}

// ---------------------------------------------------------------------------
// Header accesses: free blocks

uint32_t Tmv2xFileHeaderAccess::FreeCacheCount() {
  const uint32_t count = mvGetU32(Header, mvHeaderFreeCountOffset);
  if (count > kFreeCacheSize) RaiseError(MVERR_HEADERCORRUPT);
  return count;
}

uint8_t* Tmv2xFileHeaderAccess::GetNewBlock(TmvBaseTransaction* aTrans, int32_t aID,
                                            TmvReleaseMethod& aReleaseMethod) {
  RequireDirty();
  if (bfhaMainHeader) return bfhaMainHeader->GetNewBlock(aTrans, aID, aReleaseMethod);
  uint32_t count = FreeCacheCount();
  if (count == 0 && mvGetU32(Header, mvHeaderFirstFreeOffset) != mvHeaderNoBlock) {
    if (uint8_t* emptiedMap = RefillFreeCache(aTrans, aID, aReleaseMethod)) return emptiedMap;
    count = FreeCacheCount();
  }
  uint8_t* block = nullptr;
  if (count > 0) {
    const TmvBlockNumber number = mvGetU32(Header, kFreeCacheOffset + 4 * (count - 1));
    CheckBlockNumber(number);
    block = AddFreshBlock(aTrans, number, aReleaseMethod);
    mvPutU32(Header, mvHeaderFreeCountOffset, count - 1);
  } else {
    block = AppendBlock(aTrans, aReleaseMethod);
  }
  mvPutU32(block, bfhaHeaderFile->fiBlockSizeBytes, static_cast<uint32_t>(aID));
  return block;
}

uint8_t* Tmv2xFileHeaderAccess::RefillFreeCache(TmvBaseTransaction* aTrans, int32_t aID,
                                                TmvReleaseMethod& aReleaseMethod) {
  uint32_t count = FreeCacheCount();
  TmvBlockNumber head = mvGetU32(Header, mvHeaderFirstFreeOffset);
  while (count < kFreeCacheRefill && head != mvHeaderNoBlock) {
    THeldBlock held;
    uint8_t* map = HoldFreeBlockMap(aTrans, held, head);
    const uint32_t used = mvGetU32(map, kMapUsedOffset);
    const uint32_t moved = std::min(kFreeCacheRefill - count, used);
    std::memcpy(Header + kFreeCacheOffset + 4 * count, map + kMapEntriesOffset + 4 * (used - moved), 4 * moved);
    count += moved;
    mvPutU32(Header, mvHeaderFreeCountOffset, count);
    mvPutU32(map, kMapUsedOffset, used - moved);
    if (used == moved) {
      // The emptied map block leaves the chain and is itself the new block.
      mvPutU32(Header, mvHeaderFirstFreeOffset, mvGetU32(map, kMapNextOffset));
      std::memset(map, 0, bfhaHeaderFile->BlockBytes());
      mvPutU32(map, mvBchThisBlockOffset, head);
      mvPutU32(map, bfhaHeaderFile->fiBlockSizeBytes, static_cast<uint32_t>(aID));
      return held.Detach(aReleaseMethod);
    }
  }
  return nullptr;
}

void Tmv2xFileHeaderAccess::DeleteBlock(TmvBaseTransaction* aTrans, uint8_t* aBlock) {
  RequireDirty();
  if (bfhaMainHeader) return bfhaMainHeader->DeleteBlock(aTrans, aBlock);
  TmvBaseFile* file = bfhaHeaderFile;
  const TmvBlockNumber number = mvBchThisBlock(aBlock);
  CheckBlockNumber(number);
  mvPutU32(aBlock, file->fiBlockSizeBytes, 0);
  bool becameMap = false;
  if (FreeCacheCount() >= kFreeCacheSize) SpillFreeCache(aTrans, aBlock, becameMap);
  if (becameMap) return;
  std::memcpy(aBlock, kFreeSignature, 4);
  const uint32_t count = FreeCacheCount();
  mvPutU32(Header, kFreeCacheOffset + 4 * count, number);
  mvPutU32(Header, mvHeaderFreeCountOffset, count + 1);
  file->fiBufMgr->DiscardBlock(file, number, aTrans);
}

void Tmv2xFileHeaderAccess::SpillFreeCache(TmvBaseTransaction* aTrans, uint8_t* aBlock, bool& aBecameMap) {
  TmvBaseFile* file = bfhaHeaderFile;
  const uint32_t capacity = mapCapacity(file->fiBlockSizeBytes);
  uint32_t count = FreeCacheCount();
  THeldBlock held;
  uint8_t* map = nullptr;
  const TmvBlockNumber head = mvGetU32(Header, mvHeaderFirstFreeOffset);
  if (head != mvHeaderNoBlock) map = HoldFreeBlockMap(aTrans, held, head);
  while (count > kFreeCacheKeep) {
    if (!map || mvGetU32(map, kMapUsedOffset) == capacity) {
      // No map, or a full one: the deleted block becomes the new head map,
      // which has room for every number a spill moves.
      MV_ASSERT(!aBecameMap);
      const TmvBlockNumber number = mvBchThisBlock(aBlock);
      std::memset(aBlock + mvBlockCommonHeaderSize, 0, file->BlockBytes() - mvBlockCommonHeaderSize);
      std::memcpy(aBlock, kMapSignature.data(), 4);
      mvPutU32(aBlock, kMapNextOffset, mvGetU32(Header, mvHeaderFirstFreeOffset));
      mvPutU32(aBlock, kMapCapacityOffset, capacity);
      mvPutU32(aBlock, file->fiBlockSizeBytes, static_cast<uint32_t>(mv2xFreeBlockMapID));
      mvPutU32(Header, mvHeaderFirstFreeOffset, number);
      map = aBlock;
      aBecameMap = true;
    }
    const uint32_t used = mvGetU32(map, kMapUsedOffset);
    const uint32_t moved = std::min(count - kFreeCacheKeep, capacity - used);
    std::memcpy(map + kMapEntriesOffset + 4 * used, Header + kFreeCacheOffset + 4 * (count - moved), 4 * moved);
    mvPutU32(map, kMapUsedOffset, used + moved);
    count -= moved;
  }
  mvPutU32(Header, mvHeaderFreeCountOffset, count);
}

// ---------------------------------------------------------------------------
// Header accesses: sections

uint32_t Tmv2xFileHeaderAccess::SectionLimit() {
  // A child header keeps 0 at 17: its sections may reach the usable end.
  const uint32_t usable = bfhaHeaderFile->fiBlockSizeBytes;
  const uint32_t reserved = mvGetU16(Header, kReservedHeaderSpaceOffset);
  if (usable < kDirectoryOffset + 1 + reserved) RaiseError(MVERR_HEADERCORRUPT);
  return usable - reserved - 1;
}

uint32_t Tmv2xFileHeaderAccess::RegisterHeaderSection(const String& aName, uint8_t aSize, bool aCreate,
                                                      bool aOverwrite) {
  if (aCreate) RequireDirty();
  MV_ASSERT(aSize > 0);
  // The name as the directory keeps it: a length byte and single bytes.
  if (aName.empty() || aName.size() > kMaxSectionName) RaiseError(MVERR_INVALIDNAME);
  uint8_t name[1 + kMaxSectionName];
  name[0] = static_cast<uint8_t>(aName.size());
  for (size_t i = 0; i < aName.size(); ++i) {
    if (aName[i] > 0xFF) RaiseError(MVERR_INVALIDNAME);
    name[1 + i] = static_cast<uint8_t>(aName[i]);
  }
  uint32_t top = mvGetU16(Header, kSectionTopOffset);
  if (top < kDirectoryOffset || top > SectionLimit()) RaiseError(MVERR_HEADERCORRUPT);
  // The directory ends at a zero length byte or where it meets the lowest
  // section; every entry must end before its own section starts.
  uint32_t pos = kDirectoryOffset;
  while (pos < top && Header[pos] != 0) {
    const uint32_t entryEnd = pos + kEntryOverhead + Header[pos];
    if (entryEnd > top) RaiseError(MVERR_HEADERCORRUPT);
    const uint32_t offset = mvGetU16(Header, entryEnd - 2);
    if (offset >= top || offset < entryEnd) RaiseError(MVERR_HEADERCORRUPT);
    if (mvCmpShortStringIC(Header + pos, name, kMaxSectionName) == 0) {
      if (aCreate && !aOverwrite) RaiseError(MVERR_NAMENOTUNIQUE);
      if (top - offset != aSize) RaiseError(MVERR_HEADERCORRUPT);
      return offset;
    }
    top = offset;
    pos = entryEnd;
  }
  if (!aCreate) RaiseError(MVERR_OBJNOTFOUND);
  const uint32_t entrySize = kEntryOverhead + name[0];
  if (entrySize + aSize > top - pos) RaiseError(MVERR_NOMEMORY, u"File header is full");
  const uint32_t offset = top - aSize;
  std::memcpy(Header + pos, name, 1 + name[0]);
  mvPutU16(Header, pos + entrySize - 2, static_cast<uint16_t>(offset));
  if (pos + entrySize < offset) Header[pos + entrySize] = 0;
  return offset;
}

void Tmv2xFileHeaderAccess::ChangePassword(const String& aNewPassword) {
  TmvBaseFile* file = bfhaHeaderFile;
  if (!file->fiEncryptionEngine || bfhaMainHeader) return TmvCommonFileHeaderAccess::ChangePassword(aNewPassword);
  RequireDirty();
  file->fiEncryptionEngine->ChangePassword(file->fiHeaderAccessFactory->GetEncryptionEngineHeader(Header),
                                           aNewPassword);
}

// ---------------------------------------------------------------------------
// Header accesses: nested tables' header blocks

// A sorted table of {ID, header block} entries: the section "SubHeaders" or
// a child header overflow block.
struct Tmv2xFileHeaderAccess::TSubHeaderTable {
  struct TEntry {
    int32_t ID;
    TmvBlockNumber Block;
  };
  uint8_t* Entries;
  uint32_t Capacity;
  uint32_t Count;

  int32_t ID(uint32_t aIndex) const { return static_cast<int32_t>(mvGetU32(Entries, 8 * aIndex)); }
  TmvBlockNumber Block(uint32_t aIndex) const { return mvGetU32(Entries, 8 * aIndex + 4); }
  int32_t LastID() const { return ID(Count - 1); }
  bool Find(int32_t aID, TmvBlockNumber& aBlock) const {
    uint32_t low = 0, high = Count;
    while (low < high) {
      const uint32_t mid = low + (high - low) / 2;
      if (ID(mid) < aID) low = mid + 1;
      else high = mid;
    }
    if (low == Count || ID(low) != aID) return false;
    aBlock = Block(low);
    return true;
  }
  // Inserts aEntry in ID order. A full table pushes its last entry out
  // first, into aPushed (answers true).
  bool Insert(TEntry aEntry, TEntry& aPushed) {
    const bool pushed = Count == Capacity;
    if (pushed) {
      aPushed = {LastID(), Block(Count - 1)};
      --Count;
    }
    uint32_t at = Count;
    while (at > 0 && ID(at - 1) > aEntry.ID) --at;
    std::memmove(Entries + 8 * (at + 1), Entries + 8 * at, 8 * (Count - at));
    mvPutU32(Entries, 8 * at, static_cast<uint32_t>(aEntry.ID));
    mvPutU32(Entries, 8 * at + 4, aEntry.Block);
    ++Count;
    return pushed;
  }
};

Tmv2xFileHeaderAccess::TSubHeaderTable Tmv2xFileHeaderAccess::SectionTable(uint32_t aSection) {
  const uint32_t count = Header[aSection + kSectionCountOffset];
  if (count > kSectionEntries) RaiseError(MVERR_HEADERCORRUPT);
  return {Header + aSection, kSectionEntries, count};
}

Tmv2xFileHeaderAccess::TSubHeaderTable Tmv2xFileHeaderAccess::HoldOverflowTable(TmvBaseTransaction* aTrans,
                                                                              THeldBlock& aHeld,
                                                                              TmvBlockNumber aNumber, bool aDirty,
                                                                              int64_t aLastSeen) {
  uint8_t* block =
      HoldStructureBlock(aTrans, aHeld, aNumber, mv2xChildHeaderOverflowID, kOverflowSignature, aDirty);
  const TSubHeaderTable table{block + kOverflowEntriesOffset, mvGetU16(block, kOverflowCapacityOffset),
                              mvGetU16(block, kOverflowCountOffset)};
  // IDs ascend strictly along the chain, which also ends a chain that runs
  // in a circle.
  if (table.Capacity != overflowCapacity(bfhaHeaderFile->fiBlockSizeBytes) || table.Count == 0 ||
      table.Count > table.Capacity || table.ID(0) <= aLastSeen)
    RaiseError(MVERR_FILECORRUPT, Format(u"Block %d in file \"%s\" is not a valid child header overflow block",
                                         {aNumber, bfhaHeaderFile->FileName()}));
  return table;
}

TmvBlockNumber Tmv2xFileHeaderAccess::GetHeaderBlockForID(TmvBaseTransaction* aTrans, int32_t aID) {
  if (aTrans) MarkDirty(aTrans);
  const uint32_t section = RegisterHeaderSection(kSubHeaders, kSubHeadersSize, aTrans != nullptr, true);
  TmvBlockNumber block = 0;
  if (FindSubHeader(aID, section, block)) return block;
  if (!aTrans) RaiseError(MVERR_HEADERCORRUPT);
  return AddSubHeader(aTrans, aID, section);
}

bool Tmv2xFileHeaderAccess::FindSubHeader(int32_t aID, uint32_t aSection, TmvBlockNumber& aBlock) {
  const TSubHeaderTable section = SectionTable(aSection);
  int64_t lastSeen = std::numeric_limits<int64_t>::min();
  bool found = false;
  if (section.Count > 0 && aID <= section.LastID()) {
    found = section.Find(aID, aBlock);
  } else {
    if (section.Count > 0) lastSeen = section.LastID();
    TmvBlockNumber next = mvGetU32(Header, aSection + kSectionOverflowOffset);
    while (next != 0 && aID > lastSeen) {
      THeldBlock held;
      const TSubHeaderTable table = HoldOverflowTable(bfhaTrans, held, next, false, lastSeen);
      if (table.LastID() >= aID) {
        found = table.Find(aID, aBlock);
        break;
      }
      lastSeen = table.LastID();
      next = mvGetU32(held.Block, kOverflowNextOffset);
    }
  }
  if (found) CheckBlockNumber(aBlock);
  return found;
}

TmvBlockNumber Tmv2xFileHeaderAccess::NewChildHeader(TmvBaseTransaction* aTrans, int32_t aID) {
  TmvReleaseMethod release;
  uint8_t* header = GetNewBlock(aTrans, aID, release);
  std::memcpy(header, mv2xHeaderSignature.data(), 4);
  mvPutU16(header, kSectionTopOffset, static_cast<uint16_t>(bfhaHeaderFile->fiBlockSizeBytes - 1));
  const TmvBlockNumber number = mvBchThisBlock(header);
  release(header);
  return number;
}

TmvBlockNumber Tmv2xFileHeaderAccess::AddSubHeader(TmvBaseTransaction* aTrans, int32_t aID, uint32_t aSection) {
  TSubHeaderTable section = SectionTable(aSection);
  const TmvBlockNumber child = NewChildHeader(aTrans, aID);
  TSubHeaderTable::TEntry carry{aID, child};
  bool carrying = true;
  if (section.Count == 0 || aID < section.LastID() || section.Count < section.Capacity) {
    carrying = section.Insert(carry, carry);
    Header[aSection + kSectionCountOffset] = static_cast<uint8_t>(section.Count);
  }
  // The entry pushed out (or the new one) goes down the overflow chain.
  int64_t lastSeen = section.LastID();
  TmvBlockNumber last = 0;
  TmvBlockNumber next = mvGetU32(Header, aSection + kSectionOverflowOffset);
  while (carrying && next != 0) {
    THeldBlock held;
    TSubHeaderTable table = HoldOverflowTable(aTrans, held, next, true, lastSeen);
    if (carry.ID > lastSeen && (carry.ID <= table.LastID() || table.Count < table.Capacity)) {
      carrying = table.Insert(carry, carry);
      mvPutU16(held.Block, kOverflowCountOffset, static_cast<uint16_t>(table.Count));
    }
    lastSeen = table.LastID();
    last = next;
    next = mvGetU32(held.Block, kOverflowNextOffset);
  }
  if (carrying) NewOverflowBlock(aTrans, carry.ID, carry.Block, aSection, last);
  return child;
}

void Tmv2xFileHeaderAccess::NewOverflowBlock(TmvBaseTransaction* aTrans, int32_t aID, TmvBlockNumber aHeader,
                                             uint32_t aSection, TmvBlockNumber aLast) {
  TmvReleaseMethod release;
  uint8_t* block = GetNewBlock(aTrans, mv2xChildHeaderOverflowID, release);
  std::memcpy(block, kOverflowSignature.data(), 4);
  mvPutU16(block, kOverflowCapacityOffset, static_cast<uint16_t>(overflowCapacity(bfhaHeaderFile->fiBlockSizeBytes)));
  mvPutU16(block, kOverflowCountOffset, 1);
  mvPutU32(block, kOverflowEntriesOffset, static_cast<uint32_t>(aID));
  mvPutU32(block, kOverflowEntriesOffset + 4, aHeader);
  const TmvBlockNumber number = mvBchThisBlock(block);
  release(block);
  if (aLast == 0) {
    mvPutU32(Header, aSection + kSectionOverflowOffset, number);
    return;
  }
  THeldBlock held;
  HoldStructureBlock(aTrans, held, aLast, mv2xChildHeaderOverflowID, kOverflowSignature, true);
  mvPutU32(held.Block, kOverflowNextOffset, number);
}

void Tmv2xFileHeaderAccess::LoadHeader(TmvBaseTransaction* aTrans) {
  TmvBlockAccess* view = bfhaBlockAccess;
  const bool nested = view->ID() != 0;
  if (nested && view->HeaderBlock() == 0) {
    MV_ASSERT(bfhaMainHeader != nullptr);
    auto* main = static_cast<Tmv2xFileHeaderAccess*>(bfhaMainHeader);
    // Only an access that may change the file creates a missing header.
    view->SetHeaderBlock(main->GetHeaderBlockForID(bfhaIsDirty ? aTrans : nullptr, view->ID()));
  }
  TmvCommonFileHeaderAccess::LoadHeader(aTrans);
  if (nested && mvBchSignature(Header) != mv2xHeaderSignature)
    RaiseError(MVERR_FILECORRUPT, Format(u"Block %d in file \"%s\" is not the header block of nested table %d",
                                         {view->HeaderBlock(), bfhaHeaderFile->FileName(), view->ID()}));
}

void mvsrFileHeader2xInit() {
  TmvBaseFileHeaderAccessFactory::Register(Tmv2xFileHeaderAccessFactory::StaticClass, mv2xHeaderSignature);
}

void mvsrFileHeader2xFini() { TmvBaseFileHeaderAccessFactory::UnRegister(Tmv2xFileHeaderAccessFactory::StaticClass); }
