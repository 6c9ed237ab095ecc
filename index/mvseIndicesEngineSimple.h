// Index engines: the simple indices engine, which keeps each index's root,
// page count and key count in one index header block per index file.
//
// The generic work of a table's indices engine (keys of every index kept in
// step with the records, undo when one index refuses, bulk builds) is the
// base's (storage/indices/mvseIndicesEngine.h). This engine adds where the
// per-index values live: a 4-byte named header section of the index file's
// block 0 (name: the indices descriptor's header section name) holds the
// block number of the file's index header block, -1 while there is none.
// That block is an "MVIH" block (mvseIndexNodes.h) of node type 0, whose
// other header fields are those of a new block; from offset 40 it holds
// four columns of 256 entries, indexed by index number:
//
// | offset | entries             | meaning                                 |
// |     40 | 256 x unsigned 16   | key length of each index                |
// |    552 | 256 x unsigned 32   | key count of each index                 |
// |   1576 | 256 x signed 32     | root node of each index, -1 empty       |
// |   2600 | 256 x unsigned 32   | node count of each index                |
//
// An index numbered 256 or more (a damaged dictionary) cannot be kept: it
// fails the open with 8961.
//
// Ownership: the engine belongs to its table; a header access to one
// operation of one transaction, which reads the block once, keeps it until
// it is freed and changes it only in the transaction's copy.
// Layer: index engines; calls the indices engine base, the file header
// accesses and the node reader.
#pragma once

#include <vector>

#include "storage/indices/mvseIndicesEngine.h"

// Offsets of the index header block's columns, and the number of entries.
inline constexpr uint32_t mvBihIndexKeyLenOffset = 40;
inline constexpr uint32_t mvBihIndexKeyCountOffset = 552;
inline constexpr uint32_t mvBihIndexRootOffset = 1576;
inline constexpr uint32_t mvBihIndexPageCountOffset = 2600;
inline constexpr uint32_t mvBihHeaderEnd = 3624;
inline constexpr int32_t mvMaxIndexCount = 256;

class TmvSimpleIndicesEngine : public TmvBaseIndicesEngine {
  MV_DECLARE_CLASSREF(TmvIndicesEngineClassRef)
 public:
  // With a transaction (a table or an index set being made) every index
  // file gets the header section, set to -1, and every index is added;
  // without one (a table being opened) every index is verified: a missing
  // section, a section holding -1 or a stored key length other than the
  // key engine's fail with 8961 "Corrupt table/index header.".
  TmvSimpleIndicesEngine(TmvBaseIndicesDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                         TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans, bool aAddToExisting);
  static TmvBaseIndicesEngine* Create(TmvBaseIndicesDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                      TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans,
                                      bool aAddToExisting);

  // The index's file gets its header block when it has none; the index's
  // entry takes its key engine's key length and root -1.
  void IndexAdded(TmvBaseTransaction* aTrans, int32_t aIndex) override;
  // In every index file: the entries above aIndex move down by one and
  // entry 255 is cleared (key length, key count and page count 0, root -1).
  void IndexRemoved(TmvBaseTransaction* aTrans, int32_t aIndex) override;
  TmvIndexHeaderAccessClass IndexHeaderAccessClass() override;

  // The offset of index aIndex's header section in its file's block 0.
  uint16_t HeaderSection(int32_t aIndex) const;
  // The section's name as the file header keeps it.
  String HeaderSectionName() const;

 private:
  // The distinct files of the indexes, in index order.
  std::vector<TmvBlockAccess*> IndexFiles() const;
  void Verify(int32_t aIndex);

  std::vector<uint16_t> ineHeaderSection;
};

// One index's root, page count and key count in its file's index header
// block, read on first use (for modification when made with aIndexMarkDirty).
class TmvSimpleIndicesHeaderAccess : public TmvBaseIndexHeaderAccess {
 public:
  TmvSimpleIndicesHeaderAccess(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndex, bool aFileMarkDirty,
                               bool aIndexMarkDirty, int32_t aFieldCount, int32_t aPartialLen);
  ~TmvSimpleIndicesHeaderAccess() override;
  static TmvBaseIndexHeaderAccess* Create(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndex,
                                          bool aFileMarkDirty, bool aIndexMarkDirty, int32_t aFieldCount,
                                          int32_t aPartialLen);

  int32_t GetIndexRoot() override;
  void SetIndexRoot(int32_t aValue) override;
  uint32_t GetIndexPageCount() override;
  void SetIndexPageCount(uint32_t aValue) override;
  uint32_t GetIndexKeyCount() override;
  void SetIndexKeyCount(uint32_t aValue) override;
  // The LSN of the transaction that last changed the header block.
  TmvLSN GetIndexLSN() override;
  // The stored key length of the index.
  uint16_t GetIndexKeyLength();

  uint16_t haHeaderSection;

 private:
  // The header block, read now when not yet held.
  uint8_t* Block();
  uint8_t* WritableBlock();
  uint32_t Entry(uint32_t aColumn, uint32_t aWidth) const;

  uint8_t* haInxBlock = nullptr;
  TmvReleaseMethod haInxRelease;
};

// Registers the engine as "mv1xDefault" of the indices family; takes it out.
void mvseIndicesEngineSimpleInit();
void mvseIndicesEngineSimpleFini();
