// Index engines: the simple indices engine and its header access. See
// mvseIndicesEngineSimple.h.
#include "index/mvseIndicesEngineSimple.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "foundation/errors/mvllErrors.h"
#include "index/mvseIndexEngineStaticKeyBstarTree.h"
#include "index/mvseIndexNodes.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/transactions/mvsrTransaction.h"

namespace {

constexpr uint32_t kNoHeaderBlock = 0xFFFFFFFF;
constexpr uint32_t kSectionSize = 4;

using THeaderAccess = std::unique_ptr<TmvBaseFileHeaderAccess>;

[[noreturn]] void RaiseCorruptHeader() { throw EmvBaseIndicesEngineException(MVERR_HEADERCORRUPT); }

void CheckIndexNumber(int32_t aIndex) {
  if (aIndex < 0 || aIndex >= mvMaxIndexCount) RaiseCorruptHeader();
}

// Reads the index header block aBlock of a file; anything but a node of
// type 0 is a damaged header.
// aHeader: a header access of the file, which tells whether the block is
// the work of a commit that did not complete (then the counts and roots of
// two commits would mix).
void ReadHeaderBlock(TmvHeldBlock& aNode, TmvBaseTransaction* aTrans, TmvBlockAccess* aFile, int32_t aOwnerID,
                     uint32_t aBlock, bool aForModify, TmvBaseFileHeaderAccess* aHeader) {
  if (aBlock == kNoHeaderBlock) RaiseCorruptHeader();
  aNode.Block = mvReadIndexNode(aTrans, aFile, aOwnerID, aNode.Release, aBlock, aForModify);
  if (mvInhNodeType(aNode.Block) != intHeader || aFile->fiBlockSizeBytes() < mvBihHeaderEnd) RaiseCorruptHeader();
  if (mvIndexBlockFromUnfinishedCommit(aNode.Block, aTrans, aFile, aHeader)) RaiseCorruptHeader();
}

void ClearEntry(uint8_t* aBlock, uint32_t aIndex) {
  mvPutU16(aBlock, mvBihIndexKeyLenOffset + 2 * aIndex, 0);
  mvPutU32(aBlock, mvBihIndexKeyCountOffset + 4 * aIndex, 0);
  mvPutU32(aBlock, mvBihIndexRootOffset + 4 * aIndex, 0xFFFFFFFF);
  mvPutU32(aBlock, mvBihIndexPageCountOffset + 4 * aIndex, 0);
}

}  // namespace

constinit const TmvIndicesEngineClassRef TmvSimpleIndicesEngine::StaticClass{
    {{u"TmvSimpleIndicesEngine", &TmvBaseIndicesEngine::StaticClass},
     &TmvBaseIndicesEngine::GetList,
     &TmvBaseIndicesEngine::CheckValidFromDictionary},
    &TmvSimpleIndicesEngine::Create,
    &TmvBaseIndicesEngine::CheckIndexDescriptors};

TmvBaseIndicesEngine* TmvSimpleIndicesEngine::Create(TmvBaseIndicesDescriptor* aDescriptor,
                                                     const TmvBlockAccessArray& aFiles,
                                                     TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans,
                                                     bool aAddToExisting) {
  return new TmvSimpleIndicesEngine(aDescriptor, aFiles, aRecordEngine, aTrans, aAddToExisting);
}

TmvSimpleIndicesEngine::TmvSimpleIndicesEngine(TmvBaseIndicesDescriptor* aDescriptor,
                                               const TmvBlockAccessArray& aFiles, TmvBaseRecordEngine* aRecordEngine,
                                               TmvBaseTransaction* aTrans, bool aAddToExisting)
    : TmvBaseIndicesEngine(aDescriptor, aFiles, aRecordEngine, aTrans, aAddToExisting) {
  if (IndexCount() > mvMaxIndexCount) RaiseCorruptHeader();
  ineHeaderSection.assign(size_t(IndexCount()), 0);
  if (aTrans) {
    // A new set of indexes: each file's section starts without a header
    // block, made by the first index added to it. The section is created
    // whether or not the table is new, so that a table made without indexes
    // can get them later.
    for (TmvBlockAccess* file : IndexFiles()) {
      THeaderAccess header(file->HeaderAccess(aTrans, true));
      const uint32_t section = header->RegisterHeaderSection(HeaderSectionName(), kSectionSize, true, true);
      mvPutU32(header->Header, section, kNoHeaderBlock);
    }
    for (int32_t i = 0; i < IndexCount(); ++i) IndexAdded(aTrans, i);
  } else {
    for (int32_t i = 0; i < IndexCount(); ++i) Verify(i);
  }
}

String TmvSimpleIndicesEngine::HeaderSectionName() const { return AsciiToString(biseDescriptor->GetHeaderSection()); }

uint16_t TmvSimpleIndicesEngine::HeaderSection(int32_t aIndex) const {
  if (aIndex < 0 || size_t(aIndex) >= ineHeaderSection.size()) RaiseCorruptHeader();
  return ineHeaderSection[size_t(aIndex)];
}

std::vector<TmvBlockAccess*> TmvSimpleIndicesEngine::IndexFiles() const {
  std::vector<TmvBlockAccess*> files;
  for (TmvBaseIndexEngine* index : biseIndices)
    if (std::find(files.begin(), files.end(), index->bieIndexFile) == files.end()) files.push_back(index->bieIndexFile);
  return files;
}

void TmvSimpleIndicesEngine::Verify(int32_t aIndex) {
  CheckIndexNumber(aIndex);
  TmvBaseIndexEngine* index = biseGetIndex(aIndex);
  THeaderAccess header(index->bieIndexFile->HeaderAccess(nullptr, false));
  const uint32_t section = header->RegisterHeaderSection(HeaderSectionName(), kSectionSize, false, false);
  ineHeaderSection[size_t(aIndex)] = uint16_t(section);
  TmvHeldBlock node;
  ReadHeaderBlock(node, nullptr, index->bieIndexFile, bseID, mvGetU32(header->Header, section), false, header.get());
  if (mvGetU16(node.Block, mvBihIndexKeyLenOffset + 2 * uint32_t(aIndex)) != index->bieKeyEngine->bkeKeyLength)
    RaiseCorruptHeader();
}

void TmvSimpleIndicesEngine::IndexAdded(TmvBaseTransaction* aTrans, int32_t aIndex) {
  CheckIndexNumber(aIndex);
  TmvBaseIndexEngine* index = biseGetIndex(aIndex);
  TmvBlockAccess* file = index->bieIndexFile;
  THeaderAccess header(file->HeaderAccess(aTrans, true));
  if (ineHeaderSection.size() <= size_t(aIndex)) ineHeaderSection.resize(size_t(aIndex) + 1, 0);
  const uint32_t section = header->RegisterHeaderSection(HeaderSectionName(), kSectionSize, false, false);
  ineHeaderSection[size_t(aIndex)] = uint16_t(section);
  if (mvGetU32(header->Header, section) == kNoHeaderBlock) {
    if (file->fiBlockSizeBytes() < mvBihHeaderEnd) RaiseCorruptHeader();
    TmvHeldBlock created;
    created.Block = header->GetNewBlock(aTrans, bseID, created.Release);
    std::memcpy(created.Block, mvIndexNodeSignature.data(), 4);
    mvPutU64(created.Block, mvBchLSNOffset, uint64_t(aTrans->LSN()));  // new blocks are not stamped by the cache
    std::memset(created.Block + mvIndexNodeHeaderSize, 0, mvBihHeaderEnd - mvIndexNodeHeaderSize);
    created.Block[mvInhNodeTypeOffset] = intHeader;
    for (uint32_t i = 0; i < uint32_t(mvMaxIndexCount); ++i)
      mvPutU32(created.Block, mvBihIndexRootOffset + 4 * i, 0xFFFFFFFF);
    mvPutU32(header->Header, section, mvBchThisBlock(created.Block));
    created.Drop();
  }
  TmvHeldBlock node;
  ReadHeaderBlock(node, aTrans, file, bseID, mvGetU32(header->Header, section), true, header.get());
  mvPutU16(node.Block, mvBihIndexKeyLenOffset + 2 * uint32_t(aIndex), index->bieKeyEngine->bkeKeyLength);
  mvPutU32(node.Block, mvBihIndexRootOffset + 4 * uint32_t(aIndex), 0xFFFFFFFF);
}

void TmvSimpleIndicesEngine::IndexRemoved(TmvBaseTransaction* aTrans, int32_t aIndex) {
  CheckIndexNumber(aIndex);
  // The later indexes move down one number; their nodes carry the number
  // too (its low byte), which node reads check. They are renumbered while
  // their header entries still stand at the old numbers.
  for (int32_t later = aIndex + 1; later < IndexCount(); ++later)
    if (auto* tree = dynamic_cast<TmvStaticKeyBstarTreeIndexEngine*>(biseIndices[size_t(later)]))
      tree->RenumberNodes(aTrans, later - 1);
  for (TmvBlockAccess* file : IndexFiles()) {
    THeaderAccess header(file->HeaderAccess(aTrans, true));
    const uint32_t section = header->RegisterHeaderSection(HeaderSectionName(), kSectionSize, false, false);
    const uint32_t block = mvGetU32(header->Header, section);
    if (block == kNoHeaderBlock) continue;
    TmvHeldBlock node;
    ReadHeaderBlock(node, aTrans, file, bseID, block, true, header.get());
    const uint32_t moved = uint32_t(mvMaxIndexCount - 1 - aIndex);
    if (moved > 0) {
      const uint32_t from = uint32_t(aIndex) + 1;
      uint8_t* b = node.Block;
      std::memmove(b + mvBihIndexKeyLenOffset + 2 * uint32_t(aIndex), b + mvBihIndexKeyLenOffset + 2 * from, 2 * moved);
      for (uint32_t column : {mvBihIndexKeyCountOffset, mvBihIndexRootOffset, mvBihIndexPageCountOffset})
        std::memmove(b + column + 4 * uint32_t(aIndex), b + column + 4 * from, 4 * moved);
    }
    ClearEntry(node.Block, uint32_t(mvMaxIndexCount - 1));
  }
  if (size_t(aIndex) < ineHeaderSection.size()) ineHeaderSection.erase(ineHeaderSection.begin() + aIndex);
}

TmvIndexHeaderAccessClass TmvSimpleIndicesEngine::IndexHeaderAccessClass() {
  return &TmvSimpleIndicesHeaderAccess::Create;
}

// ---------------------------------------------------------------------------
// TmvSimpleIndicesHeaderAccess

TmvSimpleIndicesHeaderAccess::TmvSimpleIndicesHeaderAccess(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndex,
                                                           bool aFileMarkDirty, bool aIndexMarkDirty,
                                                           int32_t aFieldCount, int32_t aPartialLen)
    : TmvBaseIndexHeaderAccess(aTrans, aIndex, aFileMarkDirty, aIndexMarkDirty, aFieldCount, aPartialLen),
      haHeaderSection(static_cast<TmvSimpleIndicesEngine*>(aIndex->bieIndicesEngine)->HeaderSection(
          aIndex->bieIndexNumber)) {
  CheckIndexNumber(aIndex->bieIndexNumber);
}

TmvSimpleIndicesHeaderAccess::~TmvSimpleIndicesHeaderAccess() {
  if (haInxBlock) haInxRelease(haInxBlock);
}

TmvBaseIndexHeaderAccess* TmvSimpleIndicesHeaderAccess::Create(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndex,
                                                               bool aFileMarkDirty, bool aIndexMarkDirty,
                                                               int32_t aFieldCount, int32_t aPartialLen) {
  return new TmvSimpleIndicesHeaderAccess(aTrans, aIndex, aFileMarkDirty, aIndexMarkDirty, aFieldCount, aPartialLen);
}

uint8_t* TmvSimpleIndicesHeaderAccess::Block() {
  if (haInxBlock) return haInxBlock;
  TmvBaseFileHeaderAccess* header = FileHeader();
  const uint32_t block = mvGetU32(header->Header, haHeaderSection);
  TmvHeldBlock node;
  ReadHeaderBlock(node, bhaTrans, bhaIndex->bieIndexFile, int32_t(bhaID), block, bhaIndexMarkDirty, header);
  haInxBlock = node.Detach(haInxRelease);
  return haInxBlock;
}

uint8_t* TmvSimpleIndicesHeaderAccess::WritableBlock() {
  // Writing through a block read for reading would change the image every
  // other transaction sees.
  MV_ASSERT(bhaIndexMarkDirty);
  return Block();
}

uint32_t TmvSimpleIndicesHeaderAccess::Entry(uint32_t aColumn, uint32_t aWidth) const {
  return aColumn + aWidth * uint32_t(bhaIndex->bieIndexNumber);
}

int32_t TmvSimpleIndicesHeaderAccess::GetIndexRoot() {
  return int32_t(mvGetU32(Block(), Entry(mvBihIndexRootOffset, 4)));
}

void TmvSimpleIndicesHeaderAccess::SetIndexRoot(int32_t aValue) {
  mvPutU32(WritableBlock(), Entry(mvBihIndexRootOffset, 4), uint32_t(aValue));
}

uint32_t TmvSimpleIndicesHeaderAccess::GetIndexPageCount() {
  return mvGetU32(Block(), Entry(mvBihIndexPageCountOffset, 4));
}

void TmvSimpleIndicesHeaderAccess::SetIndexPageCount(uint32_t aValue) {
  mvPutU32(WritableBlock(), Entry(mvBihIndexPageCountOffset, 4), aValue);
}

uint32_t TmvSimpleIndicesHeaderAccess::GetIndexKeyCount() {
  return mvGetU32(Block(), Entry(mvBihIndexKeyCountOffset, 4));
}

void TmvSimpleIndicesHeaderAccess::SetIndexKeyCount(uint32_t aValue) {
  mvPutU32(WritableBlock(), Entry(mvBihIndexKeyCountOffset, 4), aValue);
}

uint16_t TmvSimpleIndicesHeaderAccess::GetIndexKeyLength() {
  return mvGetU16(Block(), Entry(mvBihIndexKeyLenOffset, 2));
}

TmvLSN TmvSimpleIndicesHeaderAccess::GetIndexLSN() { return mvBchLSN(Block()); }

void mvseIndicesEngineSimpleInit() {
  TmvBaseSubEngine::Register(TmvSimpleIndicesEngine::StaticClass, mvDefaultIndexEngine);
}

void mvseIndicesEngineSimpleFini() { TmvBaseSubEngine::Unregister(TmvSimpleIndicesEngine::StaticClass); }
