// Storage engines: the chunked temporary storage and its registration. See
// mvseTemporaryStorageChunked.h.
#include "storage/cache/mvseTemporaryStorageChunked.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllComponents.h"
#include "foundation/mvllUtils.h"
#include "storage/files/mvsrFileSystem.h"
#include "storage/files/mvsrFileUtils.h"
#include "storage/mvsrLog.h"

namespace {

constexpr int64_t kUnitBytes = 4096;
constexpr int64_t kChunkBytes = 4194304;
constexpr int32_t kUnitsPerChunk = 1024;
// Block numbers are 32 bits, 10 of which address the unit.
constexpr int32_t kMaxChunks = int32_t(1) << 22;
constexpr char16_t kAction[] = u"Temporary Storage Manager";

uint16_t unitsPerBlock(uint8_t aCode) { return uint16_t(mvBlockPages(aCode)); }
uint16_t blocksPerChunk(uint8_t aCode) { return uint16_t(kUnitsPerChunk / mvBlockPages(aCode)); }

bool inUse(const TmvChunkInfo& aInfo, uint16_t aUnit) { return aInfo.ciInUse[aUnit >> 3] & (1u << (aUnit & 7)); }
void setInUse(TmvChunkInfo& aInfo, uint16_t aUnit, bool aValue) {
  const uint8_t bit = uint8_t(1u << (aUnit & 7));
  if (aValue) aInfo.ciInUse[aUnit >> 3] |= bit;
  else aInfo.ciInUse[aUnit >> 3] &= uint8_t(~bit);
}

// Moves all aCount bytes, going on after interrupted and partial transfers;
// false with errno set when the system refuses or moves nothing (EIO).
bool transferAll(bool aWrite, int aHandle, uint8_t* aBuffer, size_t aCount, int64_t aOffset) {
  TmvFileSystem& fs = mvFileSystem();
  size_t done = 0;
  while (done < aCount) {
    const int64_t at = aOffset + int64_t(done);
    const ssize_t n = aWrite ? fs.PWrite(aHandle, aBuffer + done, aCount - done, at)
                             : fs.PRead(aHandle, aBuffer + done, aCount - done, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += size_t(n);
  }
  return true;
}

// The last OS error, as this storage reports it, written to the log.
void logOSError() { mvStorageLogError(mvCreateOSExceptionText(0, kAction).ProcessedErrorString()); }

void addKbyte(TStrings* aList, int64_t aBytes) { aList->Add(mvFormatThousands(aBytes / 1024) + u" kbyte"); }

TmvBaseTempStorage* createChunked(const String& aDir) {
  auto* storage = new TmvChunkedTempStorage();
  try {
    storage->Create(aDir);
  } catch (...) {
    delete storage;
    throw;
  }
  return storage;
}

}  // namespace

constinit const TmvTempStorageClassRef TmvChunkedTempStorage::StaticClass{
    {u"TmvChunkedTempStorage", nullptr}, &createChunked, &TmvChunkedTempStorage::GetStatsCaptions,
    &TmvChunkedTempStorage::GetStatsValuesStatic};

TmvChunkedTempStorage::~TmvChunkedTempStorage() {
  if (tsFile >= 0 && mvFileSystem().Close(tsFile) != 0) logOSError();
  for (TmvChunkInfoBlock* block : tsChunkBlocks) {
    void* memory = block;
    mvBlockPoolDispose(mvBlockPool(mvbs64k), memory);
  }
}

void TmvChunkedTempStorage::RaiseOSError() { throw mvCreateOSExceptionText(0, kAction); }

// ---------------------------------------------------------------------------
// The file

void TmvChunkedTempStorage::Create(const String& aDir) {
  MV_ASSERT(tsFile < 0 && tsChunkBlocks.empty());
  tsEmptyChunkHead = -1;
  for (int32_t& head : tsPartialChunkHeads) head = -1;
  const String name = mvJoinPath(aDir.empty() ? GetTempPath() : aDir,
                                 u"MorvaDB_TemporaryStorage_" + IntToStr(::getpid()) + u"_" +
                                     AsciiToString(std::to_string(reinterpret_cast<uintptr_t>(this))) + u".tmp");
  const std::string path = UTF8Encode(name);
  TmvFileSystem& fs = mvFileSystem();
  // Exclusive, so that no file or link planted under the name is used; a
  // leftover of a process that died before it could unlink is replaced.
  const int flags = O_RDWR | O_CREAT | O_EXCL;
  int file = fs.Open(path, flags, 0600);
  if (file < 0 && errno == EEXIST && fs.Unlink(path) == 0) file = fs.Open(path, flags, 0600);
  if (file < 0) RaiseOSError();
  // Unlinked at once: the space goes back to the system with the descriptor,
  // however the process ends.
  if (fs.Unlink(path) != 0) {
    const auto error = mvCreateOSExceptionText(0, kAction);
    if (fs.Close(file) != 0) logOSError();
    throw error;
  }
  tsFile = file;
  // Punching a hole into the empty file changes nothing and tells whether the
  // file system can give the space of emptied chunks back.
  tsSparse = fs.PunchHole(tsFile, 0, kChunkBytes) == 0;
  if (!tsSparse && errno != EOPNOTSUPP) logOSError();
}

void TmvChunkedTempStorage::SetFileSize() {
  // Only shrinking comes here: the file merely keeps a few unused megabytes
  // when it fails, and the next growth sets the size again.
  if (mvFileSystem().Truncate(tsFile, int64_t(ChunkCount()) * kChunkBytes) != 0) logOSError();
}

// ---------------------------------------------------------------------------
// Chunks and their lists

int32_t TmvChunkedTempStorage::ChunkCount() const {
  if (tsChunkBlocks.empty()) return 0;
  return int32_t(tsChunkBlocks.size() - 1) * mvChunkInfosPerBlock + tsChunkBlocks.back()->cibUsedCount;
}

int64_t TmvChunkedTempStorage::GetSize() { return int64_t(ChunkCount()) * kChunkBytes; }

void TmvChunkedTempStorage::ListPush(int32_t& aHead, int32_t aChunk) {
  TmvChunkInfo& info = Info(aChunk);
  info.ciPrev = -1;
  info.ciNext = aHead;
  if (aHead >= 0) Info(aHead).ciPrev = aChunk;
  aHead = aChunk;
}

void TmvChunkedTempStorage::ListRemove(int32_t& aHead, int32_t aChunk) {
  TmvChunkInfo& info = Info(aChunk);
  if (info.ciPrev >= 0) {
    Info(info.ciPrev).ciNext = info.ciNext;
  } else {
    MV_ASSERT(aHead == aChunk);
    aHead = info.ciNext;
  }
  if (info.ciNext >= 0) Info(info.ciNext).ciPrev = info.ciPrev;
  info.ciPrev = info.ciNext = -1;
}

int32_t TmvChunkedTempStorage::NewChunk() {
  const int32_t chunk = ChunkCount();
  if (chunk >= kMaxChunks) {
    errno = EFBIG;
    RaiseOSError();
  }
  if (tsChunkBlocks.empty() || tsChunkBlocks.back()->cibUsedCount == mvChunkInfosPerBlock) {
    tsChunkBlocks.reserve(tsChunkBlocks.size() + 1);
    auto* block = static_cast<TmvChunkInfoBlock*>(mvBlockPoolAlloc(mvBlockPool(mvbs64k)));
    std::memset(block, 0, sizeof(TmvChunkInfoBlock));
    block->cibUsedCount = 1;
    tsChunkBlocks.push_back(block);
  } else {
    ++tsChunkBlocks.back()->cibUsedCount;  // its entry was zeroed when dropped
  }
  Info(chunk).ciPrev = Info(chunk).ciNext = -1;
  if (mvFileSystem().Truncate(tsFile, int64_t(chunk + 1) * kChunkBytes) != 0) {
    const auto error = mvCreateOSExceptionText(0, kAction);
    DropLastChunk();
    throw error;
  }
  return chunk;
}

void TmvChunkedTempStorage::DropLastChunk() {
  TmvChunkInfoBlock* last = tsChunkBlocks.back();
  if (last->cibUsedCount == 1) {
    void* memory = last;
    mvBlockPoolDispose(mvBlockPool(mvbs64k), memory);
    tsChunkBlocks.pop_back();
  } else {
    --last->cibUsedCount;
    std::memset(&last->cibChunkInfos[last->cibUsedCount], 0, sizeof(TmvChunkInfo));
  }
}

void TmvChunkedTempStorage::InitChunk(int32_t aChunk, TmvBlockSizeAll aBlockSize) {
  TmvChunkInfo& info = Info(aChunk);
  info.ciSizeClass = aBlockSize;
  info.ciUsedCount = 0;
  const uint16_t units = unitsPerBlock(aBlockSize);
  for (uint16_t i = 0; i < blocksPerChunk(aBlockSize); ++i) info.ciFreeUnits[i] = uint16_t(i * units);
  std::memset(info.ciInUse, 0, sizeof(info.ciInUse));
  ListPush(tsPartialChunkHeads[aBlockSize], aChunk);
}

void TmvChunkedTempStorage::ChunkEmptied(int32_t aChunk) {
  ListRemove(tsPartialChunkHeads[Info(aChunk).ciSizeClass], aChunk);
  ListPush(tsEmptyChunkHead, aChunk);
  const int32_t before = ChunkCount();
  int32_t count = before;
  while (count > 0 && Info(count - 1).ciUsedCount == 0) {
    ListRemove(tsEmptyChunkHead, count - 1);
    DropLastChunk();
    --count;
  }
  if (count < before) SetFileSize();
  if (aChunk < count && tsSparse &&
      mvFileSystem().PunchHole(tsFile, int64_t(aChunk) * kChunkBytes, kChunkBytes) != 0)
    logOSError();
}

// ---------------------------------------------------------------------------
// Blocks

TmvBlockTmpNum TmvChunkedTempStorage::WriteBlock(const void* aBlock, TmvBlockSizeAll aBlockSize) {
  MV_ASSERT(aBlockSize < mvBlockSizeAllCount);
  int32_t chunk = tsPartialChunkHeads[aBlockSize];
  if (chunk < 0) {
    if (tsEmptyChunkHead >= 0) {
      chunk = tsEmptyChunkHead;
      ListRemove(tsEmptyChunkHead, chunk);
    } else {
      chunk = NewChunk();
    }
    InitChunk(chunk, aBlockSize);
  }
  TmvChunkInfo& info = Info(chunk);
  const uint16_t unit = info.ciFreeUnits[info.ciUsedCount];
  MV_ASSERT(!inUse(info, unit));
  const TmvBlockTmpNum number = TmvBlockTmpNum(chunk) * kUnitsPerChunk + unit;
  const uint32_t bytes = mvBlockBytes(aBlockSize);
  if (!transferAll(true, tsFile, static_cast<uint8_t*>(const_cast<void*>(aBlock)), bytes, number * kUnitBytes)) {
    // The place stays free; a chunk taken for this block alone goes back.
    const auto error = mvCreateOSExceptionText(0, kAction);
    if (info.ciUsedCount == 0) ChunkEmptied(chunk);
    throw error;
  }
  setInUse(info, unit, true);
  if (++info.ciUsedCount == blocksPerChunk(aBlockSize)) ListRemove(tsPartialChunkHeads[aBlockSize], chunk);
  tsInUse += bytes;
  tsTotalWrite += bytes;
  return number;
}

void TmvChunkedTempStorage::CheckBlock(TmvBlockTmpNum aBlockNum, TmvBlockSizeAll aBlockSize, int32_t& aChunk,
                                       uint16_t& aUnit) {
  const bool valid = [&] {
    if (aBlockNum < 0 || aBlockNum >= TmvBlockTmpNum(kMaxChunks) * kUnitsPerChunk) return false;
    aChunk = int32_t(aBlockNum / kUnitsPerChunk);
    aUnit = uint16_t(aBlockNum % kUnitsPerChunk);
    if (aChunk >= ChunkCount()) return false;
    const TmvChunkInfo& info = Info(aChunk);
    return info.ciSizeClass == aBlockSize && inUse(info, aUnit);
  }();
  if (!valid) throw EmvTempStorageException(MVERR_TEMPSTORAGEINVALIDBLOCK);
}

void TmvChunkedTempStorage::FreePlace(int32_t aChunk, uint16_t aUnit) {
  TmvChunkInfo& info = Info(aChunk);
  const uint8_t code = info.ciSizeClass;
  const bool wasFull = info.ciUsedCount == blocksPerChunk(code);
  tsInUse -= mvBlockBytes(code);
  setInUse(info, aUnit, false);
  --info.ciUsedCount;
  // A full chunk is on no list: it joins the partial list first, so that an
  // emptied chunk always leaves from there.
  if (wasFull) ListPush(tsPartialChunkHeads[code], aChunk);
  if (info.ciUsedCount == 0) {
    ChunkEmptied(aChunk);
  } else {
    info.ciFreeUnits[info.ciUsedCount] = aUnit;
  }
}

void TmvChunkedTempStorage::ReadBlock(TmvBlockTmpNum aBlockNum, TmvBlockSizeAll aBlockSize, void* aBlock) {
  PeekBlock(aBlockNum, aBlockSize, aBlock);
  ReleaseBlock(aBlockNum, aBlockSize);
}

void TmvChunkedTempStorage::PeekBlock(TmvBlockTmpNum aBlockNum, TmvBlockSizeAll aBlockSize, void* aBlock) {
  int32_t chunk;
  uint16_t unit;
  CheckBlock(aBlockNum, aBlockSize, chunk, unit);
  const uint32_t bytes = mvBlockBytes(aBlockSize);
  if (!transferAll(false, tsFile, static_cast<uint8_t*>(aBlock), bytes, aBlockNum * kUnitBytes)) RaiseOSError();
  tsTotalRead += bytes;
}

void TmvChunkedTempStorage::ReleaseBlock(TmvBlockTmpNum aBlockNum, TmvBlockSizeAll aBlockSize) {
  int32_t chunk;
  uint16_t unit;
  CheckBlock(aBlockNum, aBlockSize, chunk, unit);
  FreePlace(chunk, unit);
}

// ---------------------------------------------------------------------------
// Statistics

void TmvChunkedTempStorage::GetStatsCaptions(TStrings* aList) {
  TmvBaseTempStorage::GetStatsCaptions(aList);
  aList->Add(u"Temporary Storage Total Written");
  aList->Add(u"Temporary Storage Total Read");
}

void TmvChunkedTempStorage::GetStatsValues(TStrings* aList) {
  addKbyte(aList, GetSize());
  addKbyte(aList, GetInUse());
  addKbyte(aList, tsTotalWrite);
  addKbyte(aList, tsTotalRead);
}

void TmvChunkedTempStorage::GetStatsValuesStatic(TStrings* aList) {
  for (int i = 0; i < 4; ++i) addKbyte(aList, 0);
}

// ---------------------------------------------------------------------------
// Unit start-up and shutdown

void mvseTemporaryStorageChunkedInit() {
  const TmvTempStorageClassRef* none = nullptr;
  mvTempStorageClass.compare_exchange_strong(none, &TmvChunkedTempStorage::StaticClass);
}

void mvseTemporaryStorageChunkedFini() {
  const TmvTempStorageClassRef* mine = &TmvChunkedTempStorage::StaticClass;
  mvTempStorageClass.compare_exchange_strong(mine, nullptr);
}
