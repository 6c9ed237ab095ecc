// Storage: the small types that table files, the block cache and their
// callers share (unit mvsrTypes).
//
// Block sizes and their byte shifts, block numbers, the common header that
// begins every block, file attributes, the lines that explain a failed lock,
// the release method handed out with every block pointer, and the
// session-statistics counters that storage feeds. Also the hook through
// which storage counts into the statistics of the calling thread's session:
// the server engine fills it; the default does nothing. Calls the foundation
// and the platform's string list only; everything here but the lock-failure
// lines is safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "foundation/types/mvsdTypes.h"
#include "platform/Classes.h"

// ---------------------------------------------------------------------------
// Block sizes

// TmvBlockSizeAll and TmvBlockSize: foundation/types/mvsdTypes.h.
inline constexpr int mvBlockSizeCount = 5;
inline constexpr int mvBlockSizeAllCount = 6;

inline constexpr bool mvIsFileBlockSize(uint32_t aCode) { return aCode < mvBlockSizeCount; }
// Byte shift of a block number: 12 .. 16 for the file sizes, 22 for 4 MB.
inline constexpr uint32_t mvBlockShift(uint32_t aCode) { return aCode < mvBlockSizeCount ? 12 + aCode : 22; }
inline constexpr uint32_t mvBlockBytes(uint32_t aCode) { return uint32_t(1) << mvBlockShift(aCode); }
// The cache counts memory in 4 KB pages: 1, 2, 4, 8, 16 and 1024.
inline constexpr uint32_t mvBlockPages(uint32_t aCode) { return mvBlockBytes(aCode) >> 12; }

using TmvBlockNumber = uint32_t;
inline constexpr TmvBlockNumber mvNoBlock = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------
// The common block header: the first 16 bytes of every block of every engine
// file, block 0 included. Little-endian.
//
// | offset | size | field          | meaning                                   |
// |      0 |    4 | bchSignature   | 4 ASCII characters naming the block kind  |
// |      4 |    4 | bchThisBlock   | the block's own number                    |
// |      8 |    8 | bchLSN         | LSN of the transaction that last changed it |
inline constexpr uint32_t mvBchSignatureOffset = 0;
inline constexpr uint32_t mvBchThisBlockOffset = 4;
inline constexpr uint32_t mvBchLSNOffset = 8;
inline constexpr uint32_t mvBlockCommonHeaderSize = 16;

inline uint16_t mvGetU16(const void* aBlock, uint32_t aOffset) {
  const uint8_t* p = static_cast<const uint8_t*>(aBlock) + aOffset;
  return uint16_t(p[0] | p[1] << 8);
}
inline void mvPutU16(void* aBlock, uint32_t aOffset, uint16_t aValue) {
  uint8_t* p = static_cast<uint8_t*>(aBlock) + aOffset;
  p[0] = uint8_t(aValue);
  p[1] = uint8_t(aValue >> 8);
}
inline uint32_t mvGetU32(const void* aBlock, uint32_t aOffset) {
  const uint8_t* p = static_cast<const uint8_t*>(aBlock) + aOffset;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void mvPutU32(void* aBlock, uint32_t aOffset, uint32_t aValue) {
  uint8_t* p = static_cast<uint8_t*>(aBlock) + aOffset;
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(aValue >> (8 * i));
}
inline uint64_t mvGetU64(const void* aBlock, uint32_t aOffset) {
  return uint64_t(mvGetU32(aBlock, aOffset)) | uint64_t(mvGetU32(aBlock, aOffset + 4)) << 32;
}
inline void mvPutU64(void* aBlock, uint32_t aOffset, uint64_t aValue) {
  mvPutU32(aBlock, aOffset, uint32_t(aValue));
  mvPutU32(aBlock, aOffset + 4, uint32_t(aValue >> 32));
}

inline TmvBlockNumber mvBchThisBlock(const void* aBlock) { return mvGetU32(aBlock, mvBchThisBlockOffset); }
inline TmvLSN mvBchLSN(const void* aBlock) { return TmvLSN(mvGetU64(aBlock, mvBchLSNOffset)); }
inline TmvBlockSignature mvBchSignature(const void* aBlock) {
  TmvBlockSignature s;
  std::memcpy(s.data(), aBlock, 4);
  return s;
}

// ---------------------------------------------------------------------------
// Files

enum TmvFileAttribute : uint8_t { mvfaTemporary, mvfaMemTable, mvfaTransWriteThrough, mvfaReplicationLog };
using TmvFileAttributes = uint8_t;  // bit n set: attribute n
inline constexpr TmvFileAttributes mvFileAttr(TmvFileAttribute a) { return TmvFileAttributes(1u << a); }

// A byte array of a file or block (checksums, encryption cookies).
using TmvByteArray = std::vector<uint8_t>;

// The answer of a block iterator: go on, or end the walk.
enum TmvBlockIteratorResult : uint8_t { birContinue, birStop };

// The engine version this system writes and reads up to (4.7501).
inline constexpr int32_t mvMorvaVersion = 47501;

// ---------------------------------------------------------------------------
// Lock failures

// Why a lock request of a transaction failed: the lines the server's table
// and record locks add, and whether the conflicting lock belongs to the same
// session. Used by one thread.
class TmvLockFailureReason : public TStringList {
 public:
  bool SameSession = false;
  void Clear() override {
    TStringList::Clear();
    SameSession = false;
  }
};

// ---------------------------------------------------------------------------
// Release methods

// Returned with every block pointer the cache hands out: the holder calls it
// with its pointer when done, which clears the pointer and drops the
// reference. Callers keep at most one release method per pointer. A release
// method may be called from any thread and needs no lock.
struct TmvReleaseMethod {
  void (*Code)(void* aObject, uint8_t*& aBlock) = nullptr;
  void* Object = nullptr;

  explicit operator bool() const { return Code != nullptr; }
  void operator()(uint8_t*& aBlock) const { Code(Object, aBlock); }
  void Clear() { *this = TmvReleaseMethod{}; }
};

// A block held until the holder goes out of scope (or Detach hands it on),
// so that every path out of an operation releases what it holds. A release
// that fails in the destructor is logged, since a destructor cannot pass it
// on. Not copyable.
struct TmvHeldBlock {
  uint8_t* Block = nullptr;
  TmvReleaseMethod Release;

  TmvHeldBlock() = default;
  TmvHeldBlock(const TmvHeldBlock&) = delete;
  TmvHeldBlock& operator=(const TmvHeldBlock&) = delete;
  ~TmvHeldBlock();
  // Releases the block now (nothing when none is held); failures pass on.
  void Drop() {
    uint8_t* block = Block;
    Block = nullptr;
    if (block) Release(block);
  }
  // Hands the block and its release method to the caller.
  uint8_t* Detach(TmvReleaseMethod& aRelease) {
    aRelease = Release;
    Release.Clear();
    uint8_t* block = Block;
    Block = nullptr;
    return block;
  }
};

// ---------------------------------------------------------------------------
// Session statistics

// The counters of a session's statistics record, in the record's order.
enum TmvSessionStatsCounter : uint8_t {
  sscCalls,
  sscStatements,
  sscTime,
  sscCycles,
  sscBlocksRead,
  sscBlocksWritten,
  sscTransCommit,
  sscTransRollback,
  sscTransNestedCommit,
  sscTransNestedRollback,
  sscTransDeadlock,
  sscTransCorrupted
};

// Adds aCount to a counter of the calling thread's session statistics (the
// server engine installs it; nothing happens by default).
using TmvSessionStatsCountProc = void (*)(TmvSessionStatsCounter aCounter, int64_t aCount);
extern std::atomic<TmvSessionStatsCountProc> mvSessionStatsCountHook;
inline void mvCountSessionStat(TmvSessionStatsCounter aCounter, int64_t aCount = 1) {
  mvSessionStatsCountHook.load(std::memory_order_acquire)(aCounter, aCount);
}
void mvResetSessionStatsCountHook();
