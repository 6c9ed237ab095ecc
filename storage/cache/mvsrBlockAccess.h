// Storage: a sub-engine's view of one file, `TmvBlockAccess`, and lists of
// held blocks, `TmvReleaseList` (unit mvsrBufferManager).
//
// The sub-engines that keep records, indexes, heaps, BLOBs and streams never
// talk to the block cache directly: each holds a block access on its file
// (for a nested table, on the part of the main file that belongs to it,
// with its owner ID) and gets every block through it, checked against the
// block number it was asked for and the view's owner ID.
//
// A block access is used by the thread that owns its table's lock; it has no
// lock of its own and calls the cache, which takes its padlock.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllLists.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/header/mvsrFileHeader.h"

class TmvBlockAccess : public TmvObject {
 public:
  // A view of aFile for the table part aBaseName with owner ID aID (0 for
  // the root table); aMain is the main file's view of a nested table, else nil.
  TmvBlockAccess(TmvBaseFile* aFile, TmvBlockAccess* aMain, const String& aBaseName, int32_t aID);

  // The cache's GetBlock, then the header factory's VerifyID with aID: 8962
  // when the block does not carry the number asked for (the block is
  // released first).
  uint8_t* GetBlock(TmvBaseTransaction* aTrans, TmvBlockNumber aBlockNumber, int32_t aID, bool aMarkDirty,
                    TmvReleaseMethod& aReleaseMethod);
  // The cache's DirtyBlock.
  void DirtyBlock(TmvBlockNumber aBlockNumber, TmvBaseTransaction* aTrans, uint8_t*& aModifiableBlock);
  // A new header access on this view; the caller frees it.
  TmvBaseFileHeaderAccess* HeaderAccess(TmvBaseTransaction* aTrans, bool aMarkDirty);
  // Whether a block number lies within the file as aTrans sees it (block 0
  // never does): the changing transaction sees its own used-block count, a
  // snapshot the count of its first look at the file, others the committed one.
  bool ValidBlock(TmvBlockNumber aBlockNumber, TmvBaseTransaction* aTrans);
  // The used-block count of the file as aTrans sees it (the same rule);
  // safe beside commits on other threads.
  uint32_t UsedBlocks(TmvBaseTransaction* aTrans);
  bool ValidBlock(TmvBlockNumber aBlockNumber, TmvBaseFileHeaderAccess* aHeaderAccess);
  // The LSN of block 0 as aTrans sees it; without one, as last loaded (0
  // when block 0 is not cached).
  TmvLSN baGetCurrentLSN(TmvBaseTransaction* aTrans);
  // 12289 for a nested table's view or a file without encryption engine.
  void ChangePassword(TmvBaseTransaction* aTrans, const String& aNewPassword);

  TmvBlockNumber HeaderBlock() const { return baHeaderBlock; }
  void SetHeaderBlock(TmvBlockNumber aValue) { baHeaderBlock = aValue; }
  TmvLSN CurrentLSN(TmvBaseTransaction* aTrans) { return baGetCurrentLSN(aTrans); }
  TmvBaseFile* _File() const { return baFile; }
  int32_t ID() const { return baID; }
  const String& fiName() const { return baFile->fiName; }
  const String& BaseName() const { return baBaseName; }
  uint32_t fiBlockSizeBytes() const { return baFile->fiBlockSizeBytes; }
  TmvBlockAccess* Main() const { return baMain; }

 private:
  TmvBaseFile* baFile;
  TmvBlockNumber baHeaderBlock = 0;
  int32_t baID;
  TmvBlockAccess* baMain;
  String baBaseName;
};

// The block accesses of a table, one per file, indexed by file number (not
// owned): what sub-engines are created over.
using TmvBlockAccessArray = std::vector<TmvBlockAccess*>;

// Blocks held together and released together. Not thread-safe.
class TmvReleaseList : public TmvList {
 public:
  TmvReleaseList() = default;
  // Releases what is still held (failures are logged).
  ~TmvReleaseList() override;
  // Holds aBlock until Release.
  void Add(uint8_t* aBlock, const TmvReleaseMethod& aMethod);
  // Calls every item's release method with the address of its pointer and
  // empties the list; the first failure passes on after all were released.
  void Release();
};
