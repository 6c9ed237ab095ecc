// Storage engines: the temporary storage of the block cache,
// `TmvChunkedTempStorage` (unit mvseTemporaryStorageChunked).
//
// The block cache creates its temporary storage from the class registered in
// mvTempStorageClass (mvsrTempStorage.h) when TempStoreSize is set above 0,
// and keeps there the content of evicted blocks of temporary tables. This
// storage is one file, "MorvaDB_TemporaryStorage_<pid>_<id>.tmp" in the
// storage's folder, created exclusively for this process (mode 0600) and
// unlinked at once, so that nothing of it outlives the descriptor. The file
// is divided into 4 MB chunks; each chunk holds blocks of one size only, so
// a place's offset follows from its number and free places are found in
// constant time:
//
//   block number (32 bits) = chunk index << 10 | first 4 KB unit in chunk
//   file offset            = block number × 4096
//
//   size code    0     1     2      3      4      5
//   block size   4 KB  8 KB  16 KB  32 KB  64 KB  4 MB
//   per chunk    1024  512   256    128    64     1
//
// Every chunk is on one list or none: the partial list of its size (some
// places free), none (full), or the empty list (no block in use). Emptied
// chunks are taken before the file grows; empty chunks at the end are cut
// off the file, and where the file system keeps sparse files an empty chunk
// inside the file gives its disk space back (punch-hole).
//
// The bookkeeping lives in memory only, in 64 KB blocks of the engine's
// block pool holding 29 chunk infos each. All file access goes through the
// storage file-system interface (mvsrFileSystem.h). A failed create, grow,
// write or read raises the operating-system error with the action
// "Temporary Storage Manager" and leaves the bookkeeping as it was; a block
// number that does not address a stored block of the given size raises
// 15496. Giving disk space back (shrinking the file, punching a hole) is
// best effort: its failure is logged, because the block it follows has been
// read or released already and must not be lost to its caller.
//
// No lock of its own: the block cache calls it under its padlock. Calls the
// foundation, the storage file-system interface and the storage log. Its
// unit start-up registers the class when no other is registered, and its
// shutdown takes it back out.
#pragma once

#include <vector>

#include "storage/cache/mvsrTempStorage.h"

// The bookkeeping of one chunk.
struct TmvChunkInfo {
  uint8_t ciSizeClass;     // TmvBlockSizeAll of the chunk's blocks
  uint16_t ciUsedCount;    // blocks in use
  // Entries from ciUsedCount up to the blocks per chunk hold the first units
  // of the free places; the entry at ciUsedCount is handed out next.
  uint16_t ciFreeUnits[1024];
  uint8_t ciInUse[128];    // bit u: a block whose first unit is u is in use
  int32_t ciPrev;          // neighbours in the chunk's list, -1 none
  int32_t ciNext;
};

inline constexpr int32_t mvChunkInfosPerBlock = 29;

// One 64 KB block of chunk infos: chunk c is entry c mod 29 of block c div 29.
struct TmvChunkInfoBlock {
  int32_t cibUsedCount;  // 1 .. 29
  TmvChunkInfo cibChunkInfos[mvChunkInfosPerBlock];
};
static_assert(sizeof(TmvChunkInfoBlock) <= 65536, "a chunk info block fits a 64 KB pool block");

class TmvChunkedTempStorage : public TmvBaseTempStorage {
 public:
  static const TmvTempStorageClassRef StaticClass;
  const TmvTempStorageClassRef& ClassType() const override { return StaticClass; }

  TmvChunkedTempStorage() = default;
  // Closes the file (the system frees its space) and returns the info blocks.
  ~TmvChunkedTempStorage() override;
  TmvChunkedTempStorage(const TmvChunkedTempStorage&) = delete;
  TmvChunkedTempStorage& operator=(const TmvChunkedTempStorage&) = delete;

  // Creates the file in aDir (the system's temporary folder when empty).
  // Requires: called once, before any other operation.
  void Create(const String& aDir);

  // Chunk count × 4 MB.
  int64_t GetSize() override;
  int64_t GetInUse() override { return tsInUse; }
  // The file grows as needed.
  bool HasSpaceFor(TmvBlockSizeAll) override { return true; }
  void ReadBlock(TmvBlockTmpNum aBlockNum, TmvBlockSizeAll aBlockSize, void* aBlock) override;
  void PeekBlock(TmvBlockTmpNum aBlockNum, TmvBlockSizeAll aBlockSize, void* aBlock) override;
  void ReleaseBlock(TmvBlockTmpNum aBlockNum, TmvBlockSizeAll aBlockSize) override;
  TmvBlockTmpNum WriteBlock(const void* aBlock, TmvBlockSizeAll aBlockSize) override;
  // The base captions, then "Temporary Storage Total Written" and
  // "Temporary Storage Total Read".
  static void GetStatsCaptions(TStrings* aList);
  // Size, bytes in use, written and read, in kilobytes with thousands
  // separators, each followed by " kbyte".
  void GetStatsValues(TStrings* aList) override;
  // "0 kbyte" four times.
  static void GetStatsValuesStatic(TStrings* aList);

  // For inspection.
  int File() const { return tsFile; }
  bool Sparse() const { return tsSparse; }
  int32_t ChunkCount() const;

 private:
  TmvChunkInfo& Info(int32_t aChunk) {
    return tsChunkBlocks[size_t(aChunk / mvChunkInfosPerBlock)]->cibChunkInfos[aChunk % mvChunkInfosPerBlock];
  }
  void ListPush(int32_t& aHead, int32_t aChunk);
  void ListRemove(int32_t& aHead, int32_t aChunk);
  // Appends a chunk to the bookkeeping and grows the file; a failed growth
  // takes it back before the error goes on.
  int32_t NewChunk();
  // Drops the last chunk's bookkeeping.
  void DropLastChunk();
  // Prepares an emptied or new chunk for a size class and puts it on that
  // class's partial list.
  void InitChunk(int32_t aChunk, TmvBlockSizeAll aBlockSize);
  // 15496 unless aBlockNum addresses a stored block of aBlockSize.
  void CheckBlock(TmvBlockTmpNum aBlockNum, TmvBlockSizeAll aBlockSize, int32_t& aChunk, uint16_t& aUnit);
  void FreePlace(int32_t aChunk, uint16_t aUnit);
  // Moves a chunk without blocks (on the partial list) to the empty list,
  // cuts empty chunks off the end of the file and gives the space of an
  // empty chunk inside the file back.
  void ChunkEmptied(int32_t aChunk);
  void SetFileSize();
  [[noreturn]] void RaiseOSError();

  int tsFile = -1;
  bool tsSparse = false;
  int64_t tsInUse = 0;
  int64_t tsTotalWrite = 0;
  int64_t tsTotalRead = 0;
  std::vector<TmvChunkInfoBlock*> tsChunkBlocks;  // 64 KB pool blocks, owned
  int32_t tsEmptyChunkHead = -1;
  int32_t tsPartialChunkHeads[mvBlockSizeAllCount] = {-1, -1, -1, -1, -1, -1};
};

void mvseTemporaryStorageChunkedInit();
void mvseTemporaryStorageChunkedFini();
