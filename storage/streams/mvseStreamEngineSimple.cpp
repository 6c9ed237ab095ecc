// Storage: the simple stream engine. See mvseStreamEngineSimple.h.
#include "storage/streams/mvseStreamEngineSimple.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "dictionary/mvsdStorageDescriptors.h"
#include "foundation/mvllFastStringList.h"
#include "foundation/mvllStreams.h"
#include "platform/Nls.h"
#include "platform/TextServices.h"

namespace {

constexpr TmvBlockSignature kStreamBlockSig{'M', 'V', 'S', 'H'};
constexpr TmvBlockSignature kDictKind{'D', 'I', 'C', 'T'};
constexpr TmvBlockSignature kUserKind{'U', 'S', 'E', 'R'};
constexpr TmvBlockSignature kNameMapKind{'S', 'M', 'A', 'P'};
constexpr char16_t kDictName[] = u"DICT";
constexpr uint32_t kLastBlock = 0xFFFFFFFF;
constexpr uint8_t kSectionSize = 8;

bool isDict(const String& aName) { return SameClassName(aName, kDictName); }

// The ANSI bytes of a stream name; false when the code page lacks one of
// its characters (the round trip differs) or it does not fit the map.
bool nameToAnsi(const String& aName, std::string& aBytes) {
  if (aName.empty() || !NlsWideToMultiByte(GetACP(), aName, aBytes)) return false;
  String back;
  return aBytes.size() <= mvStreamNameMax && NlsMultiByteToWide(GetACP(), aBytes, back) && back == aName;
}

using TNameMap = TmvFastStringListIC;

TmvBlockNumber mapBlock(const TNameMap& aMap, int32_t aIndex) {
  return TmvBlockNumber(reinterpret_cast<uintptr_t>(aMap.Objects(aIndex)));
}
void* asObject(TmvBlockNumber aNumber) { return reinterpret_cast<void*>(uintptr_t(aNumber)); }

// The whole content of a stream, from its start.
std::vector<uint8_t> contentOf(TStream& aStream) {
  std::vector<uint8_t> bytes(size_t(aStream.GetSize()));
  aStream.SetPosition(0);
  if (!bytes.empty()) aStream.ReadBuffer(bytes.data(), int64_t(bytes.size()));
  return bytes;
}

TmvBaseStreamEngine* createSimple(TmvBaseStreamDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                  TmvBaseTransaction* aTrans) {
  return new TmvSimpleStreamEngine(aDescriptor, aDataFile, aTrans);
}

}  // namespace

constinit const TmvStreamEngineClassRef TmvSimpleStreamEngine::StaticClass{
    {{u"TmvSimpleStreamEngine", &TmvBaseStreamEngine::StaticClass},
     &TmvBaseStreamEngine::GetList,
     &TmvBaseStreamEngine::CheckValidFromDictionary},
    &createSimple,
    &TmvBaseStreamEngine::CheckValidDescriptor};

TmvSimpleStreamEngine::TmvSimpleStreamEngine(TmvBaseStreamDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                             TmvBaseTransaction* aTrans)
    : TmvBaseStreamEngine(aDescriptor, aDataFile) {
  const String name = aDescriptor ? SystemAnsiToString(aDescriptor->GetHeaderSection()) : String(u"Stream");
  std::unique_ptr<TmvBaseFileHeaderAccess> header(aDataFile->HeaderAccess(aTrans, aTrans != nullptr));
  seHeaderSection = header->RegisterHeaderSection(name, kSectionSize, aTrans != nullptr, false);
  if (aTrans) std::memset(header->Header + seHeaderSection, 0, kSectionSize);
}

// ---------------------------------------------------------------------------
// Header section and blocks

TmvBlockNumber TmvSimpleStreamEngine::ReadSectionEntry(TmvBaseTransaction* aTrans, TSectionEntry aEntry) {
  std::unique_ptr<TmvBaseFileHeaderAccess> header(bseDataFile->HeaderAccess(aTrans, false));
  return mvGetU32(header->Header, seHeaderSection + aEntry);
}

void TmvSimpleStreamEngine::WriteSectionEntry(TmvBaseTransaction* aTrans, TSectionEntry aEntry, TmvBlockNumber aValue) {
  std::unique_ptr<TmvBaseFileHeaderAccess> header(bseDataFile->HeaderAccess(aTrans, true));
  mvPutU32(header->Header, seHeaderSection + aEntry, aValue);
}

uint8_t* TmvSimpleStreamEngine::HoldStreamBlock(TmvBaseTransaction* aTrans, TmvBlockNumber aNumber, bool aDirty,
                                                TmvHeldBlock& aHeld) {
  if (!bseDataFile->ValidBlock(aNumber, aTrans))
    throw EmvseStreamEngineExcpetion(MVERR_INVALIDBLOCKNR,
                                     u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                     {bseDataFile->fiName(), int64_t(aNumber)});
  aHeld.Block = bseDataFile->GetBlock(aTrans, aNumber, bseID, aDirty, aHeld.Release);
  if (mvBchSignature(aHeld.Block) != kStreamBlockSig || mvBchThisBlock(aHeld.Block) != aNumber)
    throw EmvseStreamEngineExcpetion(MVERR_NOTASTREAMBLOCK,
                                     u"Block just read from file is not a valid stream block [%s, block %d]",
                                     {bseDataFile->fiName(), int64_t(aNumber)});
  return aHeld.Block;
}

void TmvSimpleStreamEngine::RaiseDamagedChain(TmvBlockNumber aStreamNr, TmvBlockNumber aBlock) {
  throw EmvseStreamEngineExcpetion(MVERR_FILECORRUPT, u"Stream %d in file \"%s\" has a damaged block chain at block %d",
                                   {int64_t(aStreamNr), bseDataFile->fiName(), int64_t(aBlock)});
}

uint32_t TmvSimpleStreamEngine::BlocksFor(TmvBaseTransaction* aTrans, TmvBlockNumber aStreamNr, uint32_t aLength) {
  const uint32_t blocks = std::max<uint32_t>(1, uint32_t((uint64_t(aLength) + DataBytes() - 1) / DataBytes()));
  // A stream cannot take more blocks than the file has: a damaged length
  // must not make the reader allocate or walk beyond it.
  if (!bseDataFile->ValidBlock(blocks, aTrans)) RaiseDamagedChain(aStreamNr, aStreamNr);
  return blocks;
}

TmvBlockNumber TmvSimpleStreamEngine::NextInChain(const uint8_t* aBlock, TmvBlockNumber aStreamNr, bool aLast) {
  const TmvBlockNumber next = mvGetU32(aBlock, mvStreamNextOffset);
  if (mvGetU32(aBlock, mvStreamNumberOffset) != aStreamNr || aLast != (next == kLastBlock))
    RaiseDamagedChain(aStreamNr, mvBchThisBlock(aBlock));
  return next;
}

// ---------------------------------------------------------------------------
// Numbered streams

void TmvSimpleStreamEngine::ReadStream(TmvBaseTransaction* aTrans, TmvBlockNumber aStreamNr, TStream& aStream) {
  aStream.SetSize(0);
  TmvHeldBlock held;
  const uint8_t* block = HoldStreamBlock(aTrans, aStreamNr, false, held);
  const uint32_t length = mvGetU32(block, mvStreamLengthOffset);
  const uint32_t blocks = BlocksFor(aTrans, aStreamNr, length);
  uint32_t left = length;
  for (uint32_t i = 0; i < blocks; ++i) {
    const uint32_t count = std::min(left, DataBytes());
    aStream.WriteBuffer(block + mvStreamDataOffset, count);
    left -= count;
    const TmvBlockNumber next = NextInChain(block, aStreamNr, i + 1 == blocks);
    held.Drop();
    if (i + 1 < blocks) block = HoldStreamBlock(aTrans, next, false, held);
  }
  aStream.SetPosition(0);
}

void TmvSimpleStreamEngine::FreeTail(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeader,
                                     TmvBlockNumber aStreamNr, uint8_t* aFirst) {
  const uint32_t blocks = BlocksFor(aTrans, aStreamNr, mvGetU32(aFirst, mvStreamLengthOffset));
  TmvBlockNumber next = NextInChain(aFirst, aStreamNr, blocks == 1);
  mvPutU32(aFirst, mvStreamNextOffset, kLastBlock);
  for (uint32_t i = 1; i < blocks; ++i) {
    TmvHeldBlock held;
    uint8_t* block = HoldStreamBlock(aTrans, next, true, held);
    const TmvBlockNumber following = NextInChain(block, aStreamNr, i + 1 == blocks);
    aHeader->DeleteBlock(aTrans, block);
    next = following;
  }
}

void TmvSimpleStreamEngine::DeleteStream(TmvBaseTransaction* aTrans, TmvBlockNumber aStreamNr) {
  std::unique_ptr<TmvBaseFileHeaderAccess> header(bseDataFile->HeaderAccess(aTrans, true));
  TmvHeldBlock held;
  uint8_t* first = HoldStreamBlock(aTrans, aStreamNr, true, held);
  FreeTail(aTrans, header.get(), aStreamNr, first);
  header->DeleteBlock(aTrans, first);
}

void TmvSimpleStreamEngine::WriteStream(TmvBaseTransaction* aTrans, TmvBlockNumber& aStreamNr, TStream& aStream,
                                        bool aCreateNew, const TmvBlockSignature& aStreamSig) {
  const std::vector<uint8_t> content = contentOf(aStream);
  std::unique_ptr<TmvBaseFileHeaderAccess> header(bseDataFile->HeaderAccess(aTrans, true));
  TmvHeldBlock held;
  uint8_t* block;
  if (aCreateNew) {
    held.Block = block = header->GetNewBlock(aTrans, bseID, held.Release);
    aStreamNr = mvBchThisBlock(block);
  } else {
    block = HoldStreamBlock(aTrans, aStreamNr, true, held);
    FreeTail(aTrans, header.get(), aStreamNr, block);
  }
  mvPutU32(block, mvStreamLengthOffset, uint32_t(content.size()));
  size_t done = 0;
  for (;;) {
    std::memcpy(block, kStreamBlockSig.data(), 4);
    mvPutU32(block, mvStreamNextOffset, kLastBlock);
    std::memcpy(block + mvStreamKindOffset, aStreamSig.data(), 4);
    mvPutU32(block, mvStreamNumberOffset, aStreamNr);
    const size_t count = std::min<size_t>(content.size() - done, DataBytes());
    if (count) std::memcpy(block + mvStreamDataOffset, content.data() + done, count);
    std::memset(block + mvStreamDataOffset + count, 0, DataBytes() - count);
    done += count;
    if (done == content.size()) break;
    TmvHeldBlock following;
    following.Block = header->GetNewBlock(aTrans, bseID, following.Release);
    mvPutU32(block, mvStreamNextOffset, mvBchThisBlock(following.Block));
    held.Drop();
    block = following.Detach(held.Release);
    held.Block = block;
  }
}

// ---------------------------------------------------------------------------
// Named streams

void TmvSimpleStreamEngine::ReadNameMap(TmvBaseTransaction* aTrans, TNameMap& aMap) {
  const TmvBlockNumber mapNr = ReadSectionEntry(aTrans, seNameMap);
  if (mapNr == 0) return;
  TmvMemoryStream stream;
  ReadStream(aTrans, mapNr, stream);
  const std::vector<uint8_t> bytes = contentOf(stream);
  // | 0 count | per entry: 1 length L | L name bytes | 4 first block |
  auto fail = [&] { RaiseDamagedChain(mapNr, mapNr); };
  if (bytes.size() < 4) fail();
  const uint32_t count = mvGetU32(bytes.data(), 0);
  size_t at = 4;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 1 > bytes.size() || at + 1 + bytes[at] + 4 > bytes.size()) fail();
    const uint8_t length = bytes[at];
    String name;
    if (!NlsMultiByteToWide(GetACP(), std::string_view(reinterpret_cast<const char*>(&bytes[at + 1]), length), name))
      fail();
    const TmvBlockNumber first = mvGetU32(bytes.data(), at + 1 + length);
    int32_t index;
    if (name.empty() || first == 0 || aMap.Find(name, index)) fail();
    aMap.AddObject(name, asObject(first));
    at += 1 + length + 4;
  }
}

void TmvSimpleStreamEngine::WriteNameMap(TmvBaseTransaction* aTrans, TNameMap& aMap) {
  TmvBlockNumber mapNr = ReadSectionEntry(aTrans, seNameMap);
  if (aMap.Count() == 0) {
    if (mapNr != 0) DeleteStream(aTrans, mapNr);
    WriteSectionEntry(aTrans, seNameMap, 0);
    return;
  }
  std::vector<uint8_t> bytes(4);
  mvPutU32(bytes.data(), 0, uint32_t(aMap.Count()));
  for (int32_t i = 0; i < aMap.Count(); ++i) {
    std::string ansi;
    nameToAnsi(aMap.Strings(i), ansi);  // every name in the map was checked
    bytes.push_back(uint8_t(ansi.size()));
    bytes.insert(bytes.end(), ansi.begin(), ansi.end());
    bytes.resize(bytes.size() + 4);
    mvPutU32(bytes.data(), bytes.size() - 4, mapBlock(aMap, i));
  }
  TmvMemoryStream stream;
  stream.WriteBuffer(bytes.data(), int64_t(bytes.size()));
  WriteStream(aTrans, mapNr, stream, mapNr == 0, kNameMapKind);
  WriteSectionEntry(aTrans, seNameMap, mapNr);
}

int32_t TmvSimpleStreamEngine::WriteNamedStream(TmvBaseTransaction* aTrans, const String& aName, TStream& aStream) {
  if (isDict(aName)) {
    TmvBlockNumber dictNr = ReadSectionEntry(aTrans, seDict);
    WriteStream(aTrans, dictNr, aStream, dictNr == 0, kDictKind);
    WriteSectionEntry(aTrans, seDict, dictNr);
    return 0;
  }
  std::string ansi;
  if (!nameToAnsi(aName, ansi)) return MVERR_INVALIDNAME;
  TNameMap map(dupError);
  ReadNameMap(aTrans, map);
  int32_t index;
  const bool exists = map.Find(aName, index);
  TmvBlockNumber streamNr = exists ? mapBlock(map, index) : 0;
  WriteStream(aTrans, streamNr, aStream, !exists, kUserKind);
  if (!exists) map.AddObject(aName, asObject(streamNr));
  WriteNameMap(aTrans, map);
  return 0;
}

int32_t TmvSimpleStreamEngine::ReadNamedStream(TmvBaseTransaction* aTrans, const String& aName, TStream& aStream) {
  TmvBlockNumber streamNr = 0;
  if (isDict(aName)) {
    streamNr = ReadSectionEntry(aTrans, seDict);
  } else {
    TNameMap map(dupError);
    ReadNameMap(aTrans, map);
    int32_t index;
    if (map.Find(aName, index)) streamNr = mapBlock(map, index);
  }
  if (streamNr == 0) return MVERR_OBJNOTFOUND;
  ReadStream(aTrans, streamNr, aStream);
  return 0;
}

int32_t TmvSimpleStreamEngine::DeleteNamedStream(TmvBaseTransaction* aTrans, const String& aName) {
  if (isDict(aName)) {
    const TmvBlockNumber dictNr = ReadSectionEntry(aTrans, seDict);
    if (dictNr == 0) return MVERR_OBJNOTFOUND;
    DeleteStream(aTrans, dictNr);
    WriteSectionEntry(aTrans, seDict, 0);
    return 0;
  }
  TNameMap map(dupError);
  ReadNameMap(aTrans, map);
  int32_t index;
  if (!map.Find(aName, index)) return MVERR_OBJNOTFOUND;
  DeleteStream(aTrans, mapBlock(map, index));
  map.Delete(index);
  WriteNameMap(aTrans, map);
  return 0;
}

int32_t TmvSimpleStreamEngine::GetNamedStreamList(TmvBaseTransaction* aTrans, TStrings& aStreams) {
  TNameMap map(dupError);
  ReadNameMap(aTrans, map);
  aStreams.Clear();
  for (int32_t i = 0; i < map.Count(); ++i) aStreams.Add(map.Strings(i));
  if (ReadSectionEntry(aTrans, seDict) != 0) aStreams.Add(kDictName);
  return 0;
}

int32_t TmvSimpleStreamEngine::GetNamedStreamCount(TmvBaseTransaction* aTrans, int32_t& aCount) {
  TNameMap map(dupError);
  ReadNameMap(aTrans, map);
  aCount = map.Count();
  return 0;
}

// ---------------------------------------------------------------------------

void mvseStreamEngineSimpleInit() { TmvBaseSubEngine::Register(TmvSimpleStreamEngine::StaticClass, u"mv1xDefault"); }

void mvseStreamEngineSimpleFini() { TmvBaseSubEngine::Unregister(TmvSimpleStreamEngine::StaticClass); }
