// Storage: the segmented BLOB engine (segment forms in the header).
#include "storage/blobs/mvseBlobEngineSegmented.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "dictionary/mvsdStorageDescriptors.h"
#include "foundation/errors/mvllErrors.h"
#include "platform/Classes.h"
#include "platform/TextServices.h"
#include "storage/heaps/mvseHeapEngineCached.h"
#include "storage/mvsrTimeoutHandling.h"

namespace {

enum : uint8_t { btEmpty, btFileAnsi, btLinkAnsi, btSmall, btData, btList, btFileWide, btLinkWide };
constexpr uint32_t kFirstSize = 13;   // the first segment's least size
constexpr uint32_t kSmallMax = 11;    // bytes a small BLOB holds
constexpr uint32_t kItemSize = 12;
constexpr uint32_t kLinkHeader = 9;   // type byte and source BLOB number
// Far deeper than any tree a 2 GB BLOB needs: only a damaged tree gets there.
constexpr int kMaxDepth = 16;
constexpr int32_t kWideNamesVersion = 30000;

inline bool IsFileOrLink(uint8_t aType) {
  return aType == btFileAnsi || aType == btLinkAnsi || aType == btFileWide || aType == btLinkWide;
}

using THeaderAccess = std::unique_ptr<TmvBaseFileHeaderAccess>;

}  // namespace

uint32_t TmvSegmentedBlobHeapHeaderHandler::GetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess) {
  return mvGetU32(aHeaderAccess->Header, bhhhHeaderSection);
}

void TmvSegmentedBlobHeapHeaderHandler::SetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess,
                                                                uint32_t aBlockNumber) {
  mvPutU32(aHeaderAccess->Header, bhhhHeaderSection, aBlockNumber);
}

// ---------------------------------------------------------------------------
// Construction

constinit const TmvBlobEngineClassRef TmvSegmentedBlobEngine::StaticClass{
    {{u"TmvSegmentedBlobEngine", &TmvBaseBlobEngine::StaticClass},
     &TmvBaseBlobEngine::GetList,
     &TmvBaseBlobEngine::CheckValidFromDictionary},
    &TmvSegmentedBlobEngine::Create,
    &TmvSegmentedBlobEngine::CheckValidBase};

void mvseBlobEngineSegmentedInit() {
  TmvBaseSubEngine::Register(TmvSegmentedBlobEngine::StaticClass, mvDefaultEngineName);
}

void mvseBlobEngineSegmentedFini() { TmvBaseSubEngine::Unregister(TmvSegmentedBlobEngine::StaticClass); }

void TmvSegmentedBlobEngine::CheckValidBase(TmvBaseBlobDescriptor* aDescriptor) {
  auto* heapBlob = dynamic_cast<TmvHeapBlobDescriptor*>(aDescriptor);
  if (!heapBlob)
    throw EmvSegmentedBlobEngineException(MVERR_INVALIDDESC,
                                          String(u"Blob descriptor must be a TmvHeapBlobDescriptor is required"));
  if (!heapBlob->GetHeapDescriptor())
    throw EmvSegmentedBlobEngineException(MVERR_INVALIDDESC, String(u"A HeapDescriptor is required"));
  TmvBaseHeapEngine::CheckValidBaseFromDescriptor(heapBlob->GetHeapDescriptor());
}

TmvSegmentedBlobEngine::TmvSegmentedBlobEngine(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                               TmvBaseTransaction* aTrans)
    : TmvBaseBlobEngine(aDescriptor, aFiles) {
  auto* heapBlob = dynamic_cast<TmvHeapBlobDescriptor*>(aDescriptor);
  if (!heapBlob) throw EmvSegmentedBlobEngineException(MVERR_INVALIDDESC, String(u"TmvHeapBlobDescriptor is required"));
  if (!heapBlob->GetHeapDescriptor())
    throw EmvSegmentedBlobEngineException(MVERR_INVALIDDESC, String(u"A HeapDescriptor is required"));
  const String section = SystemAnsiToString(heapBlob->GetHeaderSection());
  {
    THeaderAccess header(bbeBlobFile->HeaderAccess(aTrans, aTrans != nullptr));
    beHeaderSection = uint16_t(header->RegisterHeaderSection(section, 4, aTrans != nullptr, false));
    if (aTrans) mvPutU32(header->Header, beHeaderSection, 0);
  }
  beHeapEngine = TmvBaseHeapEngine::CreateEngine(heapBlob->GetHeapDescriptor(), bbeBlobFile, CreateHeaderHandler());
  if (bseTableVersion >= mvReuseCounterVersion) bbeBlobNrMask = TmvBlobNr(beHeapEngine->bheHeapRefMask);
}

TmvSegmentedBlobEngine::~TmvSegmentedBlobEngine() { delete beHeapEngine; }

TmvHeapHeaderHandler* TmvSegmentedBlobEngine::CreateHeaderHandler() {
  return new TmvSegmentedBlobHeapHeaderHandler(beHeaderSection);
}

// ---------------------------------------------------------------------------
// Segments

void TmvSegmentedBlobEngine::RaiseDamaged(TmvHeapRef aRef, const char16_t* aWhat) {
  throw EmvSegmentedBlobEngineException(MVERR_FILECORRUPT, u"BLOB segment [%s, block %d, slot %d] is damaged: %s",
                                        {BlobFileName(), int32_t(mvHeapRefBlock(aRef)),
                                         int32_t(mvHeapRefSegment(aRef) & 0xFFFF), String(aWhat)});
}

void TmvSegmentedBlobEngine::Get(Held& aSegment, TmvBaseTransaction* aTrans, TmvHeapRef aRef, bool aMarkDirty) {
  const TmvHeapRef ref = aRef & beHeapEngine->bheHeapRefMask;
  aSegment.Block.Drop();
  aSegment.Data =
      beHeapEngine->GetSegment(aTrans, ref, aMarkDirty, aSegment.Size, aSegment.Block.Block, aSegment.Block.Release);
  aSegment.Slot = mvHeapRefSegment(ref);
  if (aSegment.Size == 0) RaiseDamaged(aRef, u"empty segment");
}

void TmvSegmentedBlobEngine::GetFirst(Held& aSegment, TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, bool aMarkDirty) {
  Get(aSegment, aTrans, TmvHeapRef(aBlobNr & bbeBlobNrMask), aMarkDirty);
  if (aSegment.Size < kFirstSize) RaiseDamaged(TmvHeapRef(aBlobNr), u"first segment too small");
}

void TmvSegmentedBlobEngine::Refresh(Held& aSegment) {
  aSegment.Data = BlockHeap()->GetSegment(aSegment.Block.Block, aSegment.Slot, aSegment.Size);
}

bool TmvSegmentedBlobEngine::Resize(Held& aSegment, uint32_t aSize) {
  MV_ASSERT(aSize <= 0xFFFF);
  if (!BlockHeap()->ReAllocSegment(aSegment.Block.Block, uint16_t(aSize), aSegment.Slot)) return false;
  Refresh(aSegment);
  return true;
}

// What the first segment may grow to in its block.
uint32_t TmvSegmentedBlobEngine::Room(Held& aSegment) {
  return uint32_t(BlockHeap()->GetFreespace(aSegment.Block.Block)) + aSegment.Size;
}

TmvSegmentedBlobEngine::Items TmvSegmentedBlobEngine::ParseItems(const Held& aList) {
  const TmvHeapRef here = mvHeapRef(mvBchThisBlock(aList.Block.Block), aList.Slot);
  if (aList.Size < 1 + kItemSize || (aList.Size - 1) % kItemSize != 0) RaiseDamaged(here, u"list size");
  Items items((aList.Size - 1) / kItemSize);
  for (size_t i = 0; i < items.size(); ++i) {
    items[i] = {mvGetU64(aList.Data, 1 + kItemSize * uint32_t(i)), mvGetU32(aList.Data, 9 + kItemSize * uint32_t(i))};
    if (items[i].End > mvMaxBlobSize || (i > 0 && items[i].End <= items[i - 1].End))
      RaiseDamaged(here, u"item ends out of order");
  }
  return items;
}

void TmvSegmentedBlobEngine::PutItems(uint8_t* aAt, const Items& aItems) {
  for (size_t i = 0; i < aItems.size(); ++i) {
    mvPutU64(aAt, kItemSize * uint32_t(i), aItems[i].Ref);
    mvPutU32(aAt, kItemSize * uint32_t(i) + 8, aItems[i].End);
  }
}

std::vector<uint8_t> TmvSegmentedBlobEngine::ItemBytes(const Items& aItems, size_t aFrom) {
  std::vector<uint8_t> bytes(kItemSize * (aItems.size() - aFrom));
  PutItems(bytes.data(), Items(aItems.begin() + ptrdiff_t(aFrom), aItems.end()));
  return bytes;
}

uint32_t TmvSegmentedBlobEngine::Length(const Held& aFirst) {
  const TmvHeapRef here = mvHeapRef(mvBchThisBlock(aFirst.Block.Block), aFirst.Slot);
  switch (aFirst.Data[0]) {
    case btEmpty:
      if (aFirst.Size != kFirstSize) RaiseDamaged(here, u"empty BLOB size");
      return 0;
    case btSmall:
      if (aFirst.Size != kFirstSize || aFirst.Data[12] < 1 || aFirst.Data[12] > kSmallMax)
        RaiseDamaged(here, u"small BLOB size");
      return aFirst.Data[12];
    case btData:
      return aFirst.Size - 1u;
    case btList:
      return ParseItems(aFirst).back().End;
    default:
      throw EmvSegmentedBlobEngineException(MVERR_BLOBGENERAL);
  }
}

String TmvSegmentedBlobEngine::FileName(const Held& aFirst) {
  if (aFirst.Data[0] == btFileAnsi) {
    const char* name = reinterpret_cast<const char*>(aFirst.Data + 1);
    return SystemAnsiToString(std::string(name, strnlen(name, aFirst.Size - 1u)));
  }
  String name;
  for (uint32_t at = 1; at + 1 < aFirst.Size; at += 2) {
    const char16_t c = char16_t(mvGetU16(aFirst.Data, at));
    if (c == 0) break;
    name += c;
  }
  return name;
}

String TmvSegmentedBlobEngine::LinkName(const Held& aFirst, TmvBlobNr& aSource) {
  if (aFirst.Size < kLinkHeader)
    RaiseDamaged(mvHeapRef(mvBchThisBlock(aFirst.Block.Block), aFirst.Slot), u"link size");
  aSource = TmvBlobNr(mvGetU64(aFirst.Data, 1));
  // A short name is padded with zeros up to the first segment's least size.
  if (aFirst.Data[0] == btLinkAnsi) {
    const char* name = reinterpret_cast<const char*>(aFirst.Data + kLinkHeader);
    return SystemAnsiToString(std::string(name, strnlen(name, aFirst.Size - kLinkHeader)));
  }
  String name;
  for (uint32_t at = kLinkHeader; at + 1 < aFirst.Size; at += 2) {
    const char16_t c = char16_t(mvGetU16(aFirst.Data, at));
    if (c == 0) break;
    name += c;
  }
  return name;
}

// ---------------------------------------------------------------------------
// Creating, asking, deleting

void TmvSegmentedBlobEngine::AddBlob(TmvBaseTransaction* aTrans, TmvBlobNr& aBlobNr) {
  const uint8_t type = btEmpty;
  const void* pointers[] = {&type, nullptr};
  const uint16_t sizes[] = {1, kFirstSize - 1};
  aBlobNr = TmvBlobNr(beHeapEngine->AllocSegment(aTrans, pointers, sizes));
  MV_ASSERT(aBlobNr != 0);
}

void TmvSegmentedBlobEngine::AddBlobLink(TmvBaseTransaction* aTrans, const String& aTableName, TmvBlobNr aTableBlobNr,
                                         TmvBlobNr& aBlobNr) {
  const bool wide = bseTableVersion >= kWideNamesVersion;
  const uint8_t type = wide ? btLinkWide : btLinkAnsi;
  uint8_t number[8];
  mvPutU64(number, 0, uint64_t(aTableBlobNr));
  std::vector<uint8_t> name;
  if (wide) {
    name.resize(2 * aTableName.size());
    for (size_t i = 0; i < aTableName.size(); ++i) mvPutU16(name.data(), uint32_t(2 * i), aTableName[i]);
  } else {
    const AnsiString ansi = StringToSystemAnsi(aTableName);
    name.assign(ansi.begin(), ansi.end());
  }
  // Every first segment holds at least kFirstSize bytes: a shorter link
  // could be written but never read back.
  name.resize(std::max<size_t>(name.size(), kFirstSize - kLinkHeader), 0);
  MV_ASSERT(name.size() <= 0xFFFF - kLinkHeader);
  const void* pointers[] = {&type, number, name.data()};
  const uint16_t sizes[] = {1, 8, uint16_t(name.size())};
  aBlobNr = TmvBlobNr(beHeapEngine->AllocSegment(aTrans, pointers, sizes));
  MV_ASSERT(aBlobNr != 0);
}

void TmvSegmentedBlobEngine::AddFileBlob(TmvBaseTransaction* aTrans, const String& aFileName, TmvBlobNr& aBlobNr) {
  const bool wide = bseTableVersion >= kWideNamesVersion;
  const uint8_t type = wide ? btFileWide : btFileAnsi;
  std::vector<uint8_t> name;
  if (wide) {
    // Short names get 12 - (length div 2) zero characters after them.
    const size_t padding = aFileName.size() < 6 ? 12 - aFileName.size() / 2 : 0;
    name.assign(2 * (aFileName.size() + padding), 0);
    for (size_t i = 0; i < aFileName.size(); ++i) mvPutU16(name.data(), uint32_t(2 * i), aFileName[i]);
  } else {
    const AnsiString ansi = StringToSystemAnsi(aFileName);
    name.assign(ansi.begin(), ansi.end());
    name.resize(std::max<size_t>(name.size(), kFirstSize - 1), 0);
  }
  MV_ASSERT(name.size() < 0xFFFF);
  const void* pointers[] = {&type, name.data()};
  const uint16_t sizes[] = {1, uint16_t(name.size())};
  aBlobNr = TmvBlobNr(beHeapEngine->AllocSegment(aTrans, pointers, sizes));
  MV_ASSERT(aBlobNr != 0);
}

bool TmvSegmentedBlobEngine::IsFileBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, String& aFileName) {
  aFileName.clear();
  Held first;
  GetFirst(first, aTrans, aBlobNr, false);
  if (first.Data[0] != btFileAnsi && first.Data[0] != btFileWide) return false;
  aFileName = FileName(first);
  return true;
}

bool TmvSegmentedBlobEngine::IsBlobLink(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, String& aSrcTableName,
                                        TmvBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  aSrcTableBlobNr = 0;
  Held first;
  GetFirst(first, aTrans, aBlobNr, false);
  if (first.Data[0] != btLinkAnsi && first.Data[0] != btLinkWide) return false;
  aSrcTableName = LinkName(first, aSrcTableBlobNr);
  return true;
}

uint32_t TmvSegmentedBlobEngine::GetBlobLength(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr,
                                               TmvBlobLinkGetLength aLengthMethod, uint32_t& aLength) {
  aLength = 0;
  Held first;
  GetFirst(first, aTrans, aBlobNr, false);
  const uint8_t type = first.Data[0];
  if (type == btFileAnsi || type == btFileWide) {
    const String name = FileName(first);
    first.Block.Drop();
    return GetFileBlobLength(name, aLength);
  }
  if (type == btLinkAnsi || type == btLinkWide) {
    TmvBlobNr source = 0;
    const String table = LinkName(first, source);
    first.Block.Drop();
    return aLengthMethod(table, source, aLength);
  }
  if (type > btList) return EmvBaseException::mvSetMessage(MVERR_BLOBGENERAL, mvGetErrorString(MVERR_BLOBGENERAL));
  aLength = Length(first);
  return 0;
}

void TmvSegmentedBlobEngine::FreeSubtree(TmvBaseTransaction* aTrans, TmvHeapRef aRef, int aDepth) {
  if (aDepth > kMaxDepth) RaiseDamaged(aRef, u"tree too deep");
  Held segment;
  Get(segment, aTrans, aRef, true);
  if (segment.Data[0] == btList) {
    const Items items = ParseItems(segment);
    for (const Item& item : items) FreeSubtree(aTrans, item.Ref, aDepth + 1);
    Refresh(segment);
  }
  BlockHeap()->FreeSegment(segment.Block.Block, segment.Slot);
}

void TmvSegmentedBlobEngine::DeleteBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr) {
  Held first;
  GetFirst(first, aTrans, aBlobNr, true);
  if (first.Data[0] > btLinkWide) return;
  if (first.Data[0] == btList) {
    first.Block.Drop();
    Truncate(aTrans, aBlobNr, 0);
    GetFirst(first, aTrans, aBlobNr, true);
  }
  BlockHeap()->FreeSegment(first.Block.Block, first.Slot);
}

bool TmvSegmentedBlobEngine::FreeBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr) {
  if (!aTrans) return false;
  Held first;
  GetFirst(first, aTrans, aBlobNr, true);
  if (first.Data[0] != btEmpty) return false;
  BlockHeap()->FreeSegment(first.Block.Block, first.Slot);
  return true;
}

void TmvSegmentedBlobEngine::Rollback(TmvBaseTransaction* aTrans) { beHeapEngine->Rollback(aTrans); }

void TmvSegmentedBlobEngine::IncBlobNr(TmvBlobNr& aBlobNr) {
  if (bseTableVersion < mvReuseCounterVersion) return;
  TmvHeapRef ref = TmvHeapRef(aBlobNr);
  beHeapEngine->IncHeapRef(ref);
  aBlobNr = TmvBlobNr(ref);
}

// ---------------------------------------------------------------------------
// Reading

namespace {

void Deliver(TStream* aStream, std::vector<uint8_t>* aBuffer, const uint8_t* aBytes, uint32_t aCount) {
  if (aCount == 0) return;
  if (aBuffer) aBuffer->insert(aBuffer->end(), aBytes, aBytes + aCount);
  else aStream->WriteBuffer(aBytes, aCount);
}

// The first item whose end lies above aOffset (an end equal to it is passed).
size_t ItemFor(const auto& aItems, uint32_t aOffset) {
  return size_t(std::upper_bound(aItems.begin(), aItems.end(), aOffset,
                                 [](uint32_t offset, const auto& item) { return offset < item.End; }) -
                aItems.begin());
}

}  // namespace

void TmvSegmentedBlobEngine::ReadItems(TmvBaseTransaction* aTrans, const Items& aItems, uint32_t& aOffset,
                                       uint32_t& aLen, TStream* aStream, std::vector<uint8_t>* aBuffer, int aDepth) {
  for (size_t i = ItemFor(aItems, aOffset); i < aItems.size() && aLen > 0; ++i)
    ReadSegment(aTrans, aItems[i], aOffset, aLen, aStream, aBuffer, aDepth + 1);
}

void TmvSegmentedBlobEngine::ReadSegment(TmvBaseTransaction* aTrans, const Item& aItem, uint32_t& aOffset,
                                         uint32_t& aLen, TStream* aStream, std::vector<uint8_t>* aBuffer, int aDepth) {
  if (aDepth > kMaxDepth) RaiseDamaged(aItem.Ref, u"tree too deep");
  mvCheckOperationTimeout();
  Held child;
  Get(child, aTrans, aItem.Ref, false);
  if (child.Data[0] == btData) {
    const uint32_t start = aItem.End - (child.Size - 1u);
    if (child.Size < 2 || aItem.End < child.Size - 1u || aOffset < start) RaiseDamaged(aItem.Ref, u"data segment");
    const uint32_t count = std::min(aLen, aItem.End - aOffset);
    Deliver(aStream, aBuffer, child.Data + 1 + (aOffset - start), count);
    aOffset += count;
    aLen -= count;
  } else if (child.Data[0] == btList) {
    const Items items = ParseItems(child);
    child.Block.Drop();
    ReadItems(aTrans, items, aOffset, aLen, aStream, aBuffer, aDepth);
  } else {
    throw EmvSegmentedBlobEngineException(MVERR_BLOBGENERAL);
  }
}

uint32_t TmvSegmentedBlobEngine::Read(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                      TmvBlobLinkRead aReadMethod, TStream* aStream) {
  Held first;
  GetFirst(first, aTrans, aBlobNr, false);
  switch (first.Data[0]) {
    case btEmpty:
      return 0;
    case btSmall:
    case btData: {
      const uint32_t length = Length(first);
      if (aOffset <= length) Deliver(aStream, nullptr, first.Data + 1 + aOffset, std::min(length - aOffset, aLen));
      return 0;
    }
    case btList: {
      const Items items = ParseItems(first);
      first.Block.Drop();
      ReadItems(aTrans, items, aOffset, aLen, aStream, nullptr, 0);
      return 0;
    }
    case btFileAnsi:
    case btFileWide: {
      const String name = FileName(first);
      first.Block.Drop();
      return ReadFileBlob(name, aOffset, aStream, aLen);
    }
    case btLinkAnsi:
    case btLinkWide: {
      TmvBlobNr source = 0;
      const String table = LinkName(first, source);
      first.Block.Drop();
      return aReadMethod(table, source, aOffset, aLen, aStream);
    }
    default:
      return EmvBaseException::mvSetMessage(MVERR_BLOBGENERAL, mvGetErrorString(MVERR_BLOBGENERAL));
  }
}

// ---------------------------------------------------------------------------
// Writing

void TmvSegmentedBlobEngine::Write(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                   const void* aBlob) {
  Held first;
  GetFirst(first, aTrans, aBlobNr, true);
  const uint8_t type = first.Data[0];
  if (IsFileOrLink(type)) throw EmvSegmentedBlobEngineException(MVERR_READONLYFLD);
  if (type > btLinkWide) throw EmvSegmentedBlobEngineException(MVERR_BLOBGENERAL);
  const uint32_t length = Length(first);
  if (uint64_t(aOffset) + aLen > mvMaxBlobSize) throw EmvSegmentedBlobEngineException(MVERR_BLOBTOOLARGE);
  if (aOffset > length)
    throw EmvSegmentedBlobEngineException(
        MVERR_INVALIDBLOBOFFSET, u"Offset value is greater than the length of the BLOB [%s, (%d), offset %d, length %d]",
        {BlobFileName(), int32_t(aBlobNr), int32_t(aOffset), int32_t(length)});
  if (aLen == 0) return;
  const auto* bytes = static_cast<const uint8_t*>(aBlob);
  const uint32_t newLength = std::max(aOffset + aLen, length);
  if (type == btList) {
    WriteList(aTrans, first, aOffset, aLen, bytes);
  } else if (newLength <= kSmallMax) {
    std::memcpy(first.Data + 1 + aOffset, bytes, aLen);
    first.Data[12] = uint8_t(newLength);
    first.Data[0] = btSmall;
  } else {
    WriteFlat(aTrans, first, aOffset, aLen, bytes, length, newLength);
  }
}

void TmvSegmentedBlobEngine::WriteFlat(TmvBaseTransaction* aTrans, Held& aFirst, uint32_t aOffset, uint32_t aLen,
                                       const uint8_t* aBlob, uint32_t aOldLength, uint32_t aNewLength) {
  if (aNewLength == aOldLength || Room(aFirst) >= aNewLength + 1) {
    if (aNewLength + 1 > aFirst.Size) MV_ASSERT(Resize(aFirst, aNewLength + 1));
    std::memcpy(aFirst.Data + 1 + aOffset, aBlob, aLen);
    aFirst.Data[0] = btData;
    return;
  }
  // Too large for its block: the bytes move into data segments and the
  // first segment becomes their list.
  const std::vector<uint8_t> saved(aFirst.Data + 1, aFirst.Data + 1 + aOffset);
  Items items = NewDataSegments(aTrans, saved, aBlob, aLen, 0);
  MV_ASSERT(items.back().End == aNewLength);
  Refresh(aFirst);
  SetFirstItems(aTrans, aFirst, items);
}

TmvSegmentedBlobEngine::Items TmvSegmentedBlobEngine::NewDataSegments(TmvBaseTransaction* aTrans,
                                                                      const std::vector<uint8_t>& aSaved,
                                                                      const uint8_t* aBlob, uint32_t aLen,
                                                                      uint32_t aStart) {
  Items items;
  const uint8_t type = btData;
  uint32_t savedAt = 0, newAt = 0, end = aStart;
  while (savedAt < aSaved.size() || newAt < aLen) {
    mvCheckOperationTimeout();
    const void* pointers[] = {&type, aSaved.data() + savedAt, aBlob + newAt};
    const uint32_t sizes[] = {1, uint32_t(aSaved.size()) - savedAt, aLen - newAt};
    uint32_t got = 0;
    const TmvHeapRef ref = beHeapEngine->AllocSegmentEx(aTrans, pointers, sizes, 2, got, 0, 1, false);
    MV_ASSERT(ref != 0 && got >= 2);
    uint32_t placed = got - 1;
    const uint32_t fromSaved = std::min(placed, uint32_t(aSaved.size()) - savedAt);
    savedAt += fromSaved;
    newAt += placed - fromSaved;
    end += placed;
    items.push_back({ref, end});
  }
  return items;
}

void TmvSegmentedBlobEngine::PackLinkItems(TmvBaseTransaction* aTrans, Items& aItems) {
  Items packed;
  const uint8_t type = btList;
  for (size_t from = 0; from < aItems.size();) {
    mvCheckOperationTimeout();
    const std::vector<uint8_t> bytes = ItemBytes(aItems, from);
    const void* pointers[] = {&type, bytes.data()};
    const uint32_t sizes[] = {1, uint32_t(bytes.size())};
    uint32_t got = 0;
    const TmvHeapRef ref =
        beHeapEngine->AllocSegmentEx(aTrans, pointers, sizes, 1 + kItemSize, got, 1, kItemSize, true);
    MV_ASSERT(ref != 0 && got >= 1 + kItemSize);
    from += (got - 1) / kItemSize;
    packed.push_back({ref, aItems[from - 1].End});
  }
  aItems = std::move(packed);
}

void TmvSegmentedBlobEngine::SetFirstItems(TmvBaseTransaction* aTrans, Held& aFirst, Items& aItems) {
  while (Room(aFirst) < kItemSize * aItems.size() + 1) {
    PackLinkItems(aTrans, aItems);
    Refresh(aFirst);
  }
  MV_ASSERT(Resize(aFirst, kItemSize * uint32_t(aItems.size()) + 1));
  aFirst.Data[0] = btList;
  PutItems(aFirst.Data + 1, aItems);
}

void TmvSegmentedBlobEngine::WriteList(TmvBaseTransaction* aTrans, Held& aFirst, uint32_t aOffset, uint32_t aLen,
                                       const uint8_t* aBlob) {
  Items items = ParseItems(aFirst);
  Items newItems;
  uint32_t remaining = aLen;
  // Writing at the end continues in the last item, the only one that grows.
  for (size_t i = std::min(ItemFor(items, aOffset), items.size() - 1); i < items.size() && remaining > 0; ++i)
    WriteSegment(aTrans, items[i], aBlob, remaining, aOffset, i + 1 == items.size(), newItems, 1);
  Refresh(aFirst);
  items.insert(items.end(), newItems.begin(), newItems.end());
  SetFirstItems(aTrans, aFirst, items);
}

void TmvSegmentedBlobEngine::WriteSegment(TmvBaseTransaction* aTrans, Item& aItem, const uint8_t*& aBlob,
                                          uint32_t& aRemaining, uint32_t& aOffset, bool aMayGrow, Items& aNewItems,
                                          int aDepth) {
  if (aDepth > kMaxDepth) RaiseDamaged(aItem.Ref, u"tree too deep");
  mvCheckOperationTimeout();
  Held child;
  Get(child, aTrans, aItem.Ref, true);
  if (child.Data[0] == btData) {
    const uint32_t size = child.Size, start = aItem.End - (size - 1);
    if (size < 2 || aItem.End < size - 1 || aOffset < start || aOffset > aItem.End)
      RaiseDamaged(aItem.Ref, u"data segment");
    if (!aMayGrow || aRemaining <= aItem.End - aOffset) {
      const uint32_t count = std::min(aRemaining, aItem.End - aOffset);
      std::memcpy(child.Data + 1 + (aOffset - start), aBlob, count);
      aBlob += count;
      aRemaining -= count;
      aOffset += count;
      return;
    }
    // The last segment grows as far as the heap lets it; what is left goes
    // into new segments after it.
    const uint32_t kept = size - (aItem.End - aOffset);
    const void* pointers[] = {nullptr, aBlob};
    const uint32_t sizes[] = {kept, aRemaining};
    uint32_t got = 0;
    aItem.Ref = beHeapEngine->ReAllocSegmentEx(aTrans, child.Block.Block, child.Slot, pointers, sizes, size, got, 0, 1,
                                               false);
    MV_ASSERT(aItem.Ref != 0 && got >= size);
    child.Block.Drop();
    const uint32_t placed = got - kept;
    aItem.End += got - size;
    aBlob += placed;
    aRemaining -= placed;
    aOffset += placed;
    if (aRemaining > 0) {
      const Items more = NewDataSegments(aTrans, {}, aBlob, aRemaining, aOffset);
      aNewItems.insert(aNewItems.end(), more.begin(), more.end());
      aBlob += aRemaining;
      aOffset += aRemaining;
      aRemaining = 0;
    }
  } else if (child.Data[0] == btList) {
    Items items = ParseItems(child);
    Items childNew;
    for (size_t i = std::min(ItemFor(items, aOffset), items.size() - 1); i < items.size() && aRemaining > 0; ++i)
      WriteSegment(aTrans, items[i], aBlob, aRemaining, aOffset, aMayGrow && i + 1 == items.size(), childNew,
                   aDepth + 1);
    Refresh(child);
    PutItems(child.Data + 1, items);
    aItem.End = items.back().End;
    if (childNew.empty()) return;
    // As many new items as the list can take join it; the rest are packed
    // into new lists that the level above takes.
    const std::vector<uint8_t> bytes = ItemBytes(childNew, 0);
    const void* pointers[] = {nullptr, bytes.data()};
    const uint32_t sizes[] = {child.Size, uint32_t(bytes.size())};
    uint32_t got = 0;
    aItem.Ref = beHeapEngine->ReAllocSegmentEx(aTrans, child.Block.Block, child.Slot, pointers, sizes, child.Size,
                                               got, 1, kItemSize, true);
    MV_ASSERT(aItem.Ref != 0 && got >= child.Size);
    const size_t added = (got - child.Size) / kItemSize;
    if (added > 0) aItem.End = childNew[added - 1].End;
    Items rest(childNew.begin() + ptrdiff_t(added), childNew.end());
    if (!rest.empty()) {
      PackLinkItems(aTrans, rest);
      aNewItems.insert(aNewItems.end(), rest.begin(), rest.end());
    }
  } else {
    throw EmvSegmentedBlobEngineException(MVERR_BLOBGENERAL);
  }
}

// ---------------------------------------------------------------------------
// Truncating

void TmvSegmentedBlobEngine::Truncate(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aLen) {
  Held first;
  GetFirst(first, aTrans, aBlobNr, true);
  const uint8_t type = first.Data[0];
  if (type > btLinkWide) throw EmvSegmentedBlobEngineException(MVERR_BLOBGENERAL);
  uint32_t length = 0;
  if (IsFileOrLink(type)) {
    length = first.Size - 1u;
    if (aLen != 0) throw EmvSegmentedBlobEngineException(MVERR_READONLYFLD);
  } else {
    length = Length(first);
  }
  if (aLen > length)
    throw EmvSegmentedBlobEngineException(
        MVERR_INVALIDBLOBLEN, u"Truncate length is greater than length of BLOB [%s, (%d), offset %d, length %d]",
        {BlobFileName(), int32_t(aBlobNr), int32_t(aLen), int32_t(length)});
  if (aLen == length) return;
  if (type == btList) {
    TruncateList(aTrans, first, aLen);
  } else if (aLen > kSmallMax) {
    MV_ASSERT(type == btData && Resize(first, aLen + 1));
  } else {
    MV_ASSERT(Resize(first, kFirstSize));
    first.Data[0] = aLen == 0 ? btEmpty : btSmall;
    if (aLen > 0) first.Data[12] = uint8_t(aLen);
  }
}

void TmvSegmentedBlobEngine::TruncateSegment(TmvBaseTransaction* aTrans, Item& aItem, uint32_t aLen, int aDepth) {
  if (aDepth > kMaxDepth) RaiseDamaged(aItem.Ref, u"tree too deep");
  Held child;
  Get(child, aTrans, aItem.Ref, true);
  if (child.Data[0] == btData) {
    const uint32_t start = aItem.End - (child.Size - 1u);
    if (child.Size < 2 || aItem.End < child.Size - 1u) RaiseDamaged(aItem.Ref, u"data segment");
    if (aLen > start) {
      MV_ASSERT(Resize(child, aLen - start + 1));
      aItem.End = aLen;
    } else {
      BlockHeap()->FreeSegment(child.Block.Block, child.Slot);
      aItem.Ref = 0;
    }
  } else if (child.Data[0] == btList) {
    Items items = ParseItems(child);
    for (size_t i = items.size(); i-- > 0 && items[i].End > aLen;) TruncateSegment(aTrans, items[i], aLen, aDepth + 1);
    while (!items.empty() && items.back().Ref == 0) items.pop_back();
    Refresh(child);
    if (items.empty()) {
      BlockHeap()->FreeSegment(child.Block.Block, child.Slot);
      aItem.Ref = 0;
      return;
    }
    MV_ASSERT(Resize(child, kItemSize * uint32_t(items.size()) + 1));
    PutItems(child.Data + 1, items);
    aItem.End = items.back().End;
  } else {
    throw EmvSegmentedBlobEngineException(MVERR_BLOBGENERAL);
  }
}

void TmvSegmentedBlobEngine::TruncateList(TmvBaseTransaction* aTrans, Held& aFirst, uint32_t aLen) {
  Items items = ParseItems(aFirst);
  for (size_t i = items.size(); i-- > 0 && items[i].End > aLen;) TruncateSegment(aTrans, items[i], aLen, 1);
  while (!items.empty() && items.back().Ref == 0) items.pop_back();
  Refresh(aFirst);
  if (items.empty()) {
    MV_ASSERT(Resize(aFirst, kFirstSize));
    aFirst.Data[0] = btEmpty;
    return;
  }
  if (items.size() == 1 && aLen <= BlockHeap()->bbheMaxSegmentSize) {
    // One child left that fits the first segment: the bytes move home.
    std::vector<uint8_t> bytes;
    uint32_t offset = 0, count = aLen;
    ReadSegment(aTrans, items[0], offset, count, nullptr, &bytes, 1);
    Refresh(aFirst);
    if (Resize(aFirst, std::max(aLen + 1, kFirstSize))) {
      std::memcpy(aFirst.Data + 1, bytes.data(), bytes.size());
      aFirst.Data[0] = aLen > kSmallMax ? btData : btSmall;
      if (aLen <= kSmallMax) aFirst.Data[12] = uint8_t(aLen);
      FreeSubtree(aTrans, items[0].Ref, 1);
      return;
    }
  }
  MV_ASSERT(Resize(aFirst, kItemSize * uint32_t(items.size()) + 1));
  aFirst.Data[0] = btList;
  PutItems(aFirst.Data + 1, items);
  // A single list child hands its items up while the first segment takes them.
  while (items.size() == 1) {
    Held child;
    Get(child, aTrans, items[0].Ref, true);
    if (child.Data[0] != btList) return;
    const Items childItems = ParseItems(child);
    const uint16_t childSize = child.Size;
    child.Block.Drop();
    Refresh(aFirst);
    if (!Resize(aFirst, childSize)) return;
    aFirst.Data[0] = btList;
    PutItems(aFirst.Data + 1, childItems);
    Get(child, aTrans, items[0].Ref, true);
    BlockHeap()->FreeSegment(child.Block.Block, child.Slot);
    items = childItems;
  }
}

