// Storage: the memory of the block cache and what leaves it (unit
// mvsrBufferManager).
//
// Every cached block object (committed images, transaction copies, snapshot
// images, scratch blocks) owns at most one piece of block memory, a
// `TmvCacheBlock`. Memory is addressable (cbsMapped) or gone: freed, or, for
// content that exists nowhere else, written to the cache's temporary storage
// (cbsStored). The cache keeps its resident objects in two lists per kind of
// memory (recently used, frequently used), oldest first, and the objects that
// recently lost a kind of memory in two history lists; each resident list
// has a target size in 4 KB pages, and trimming walks the lists from the
// oldest end until the kind fits its targets (mvsrCacheMemory.cpp, with the
// budget and the statistics of TmvBufferManager).
//
// Only the standard memory mode exists on Linux: the kind cbsAllocated
// (physical memory outside the address space) is never entered, and
// `mvMemoryManagerAweSupported` answers false.
//
// Everything here runs under the cache's padlock.
// Calls the memory manager and the temporary storage.
#pragma once

#include <cstdint>

#include "foundation/memory/mvllMemoryManager.h"
#include "storage/cache/mvsrTempStorage.h"
#include "storage/mvsrTypes.h"

class TmvBufferManager;
class TmvBlockObject;

enum TmvCacheBlockState : uint8_t { cbsStored, cbsAllocated, cbsMapped };
inline constexpr int mvCacheKindCount = 3;
enum TmvEvictResult : uint8_t { erNone, erThis, erMany };
enum TmvWasBulkLoaded : uint8_t { wblNo, wblYes, wblYesTrigger };

// The hit and eviction counters saturate here; a counter at or above
// mvFrequentHits makes the block count as frequently used in that kind.
inline constexpr uint32_t mvMaxHits = 4294967295u;
inline constexpr uint32_t mvFrequentHits = 4294967294u;

// One piece of block memory. Owned by one block object.
class TmvCacheBlock : public TmvObject {
 public:
  // Fresh memory of aSize, addressable, content undefined.
  TmvCacheBlock(TmvBlockSizeAll aSize, TmvBaseTempStorage* aTempStore, TmvBlockObject* aValidate);
  // Fresh addressable memory filled with zeros.
  static TmvCacheBlock* CreateZeroed(TmvBlockSizeAll aSize, TmvBaseTempStorage* aTempStore,
                                     TmvBlockObject* aValidate);
  // Addressable memory with a copy of aSource's content; a stored source
  // stays stored (its content is peeked).
  TmvCacheBlock(TmvCacheBlock* aSource, TmvBlockObject* aValidate);
  // Releases the storage number, or the memory. Failures are logged.
  ~TmvCacheBlock() override;
  TmvCacheBlock(const TmvCacheBlock&) = delete;
  TmvCacheBlock& operator=(const TmvCacheBlock&) = delete;

  TmvCacheBlockState GetState() const { return cbState; }
  // Moves the content between the kinds of memory; a failure leaves the
  // state as it was.
  void SetState(TmvCacheBlockState aState);
  // Makes the memory addressable and answers its address.
  uint8_t* Block();
  // Gives up addressable memory: into the temporary storage when it has
  // room (true), else nothing happens (false).
  bool Evict(bool aUseAllocated, bool aForce);
  bool WriteProtected() const { return cbWriteProtected; }
  void SetWriteProtected(bool aValue) { cbWriteProtected = aValue; }

  TmvBaseTempStorage* cbTempStore;
  TmvBlockSizeAll cbSize;
  TmvBlockObject* cbValidate;  // the owner, whose ValidateImage checks the content
  TmvCacheBlockState cbState = cbsMapped;
  TmvPhysicalBlockHandle cbHandle = 0;
  TmvBlockTmpNum cbTempNum = mvNoTempNum;
  bool cbWriteProtected = false;
  uint8_t* cbBlock = nullptr;  // address while cbsMapped

 private:
  void Allocate();
  void Dispose();
};

// Gives back the block frames that caches gave up and that are kept for
// reuse (at the end of storage; any time to lower the process's memory).
void mvCacheReleaseFrames();
// A cache's budget in pages changed (0 when it is made or destroyed): the
// kept frames may add up to the budgets of the caches that exist together.
void mvCacheBudgetChanged(int64_t aOldPages, int64_t aNewPages);

// The base of every cached block object: its memory and its places in the
// cache's resident and history lists. Destroying it frees its memory and
// takes it out of every list.
class TmvBlockObject : public TmvObject {
 public:
  explicit TmvBlockObject(TmvBufferManager* aBufferManager) : boBufferManager(aBufferManager) {}
  ~TmvBlockObject() override;
  TmvBlockObject(const TmvBlockObject&) = delete;
  TmvBlockObject& operator=(const TmvBlockObject&) = delete;

  // Checks an image before it becomes committed or is written (nothing here).
  virtual void ValidateImage(const uint8_t* aBlock);
  // Gives up this object's memory if it may (see the kinds of block).
  virtual TmvEvictResult CheckedEvict(bool aForce) = 0;
  // Gets memory for an object that has none (nothing here).
  virtual void CacheBlockNeeded();
  // The size of the object's content (of the memory it has or would get).
  virtual TmvBlockSizeAll ContentSize() const;

  // Moves the object in the lists after its memory changed, or (aCountIt)
  // after an access: counts a hit or an eviction and adapts the targets.
  void UpdateBlockList(bool aCountIt);
  // Takes the object out of the history list of a kind.
  void StopTracking(uint8_t aState);
  // Moves the memory to the temporary storage (erThis, counting an
  // eviction) when it can; erNone otherwise.
  TmvEvictResult Evict(bool aForce);
  TmvCacheBlock* CacheBlock() const { return boCacheBlock; }
  // Installs memory (the previous memory is freed) and updates the lists.
  void SetCacheBlock(TmvCacheBlock* aBlock) { InstallCacheBlock(aBlock, false); }
  // The same, counting the access (a block that gets memory to be read into).
  void InstallCacheBlock(TmvCacheBlock* aBlock, bool aCountIt);
  // Takes the memory out of the object (the caller owns it).
  TmvCacheBlock* ReleaseCacheBlock(bool aCountIt);
  // New addressable memory with a copy of aOther's content (loaded first
  // when it has none; zeros when it is new); aOther counts a hit.
  void CopyFrom(TmvBlockObject* aOther);
  // Takes over aOther's memory, loading it first when it has none.
  void MoveFrom(TmvBlockObject* aOther);
  // The memory made addressable, the access counted. Requires: memory.
  uint8_t* AccessBlock(bool aCountIt);

  TmvBufferManager* boBufferManager;
  TmvCacheBlock* boCacheBlock = nullptr;
  // One pair of list links per kind of memory: the resident list of its
  // current kind, or the history list of a kind it lost.
  TmvBlockObject* boBlockNext[mvCacheKindCount] = {};
  TmvBlockObject* boBlockPrev[mvCacheKindCount] = {};
  uint8_t boBlockTracked = 0;      // bit k: in the history list of kind k
  uint8_t boBlockTrackedFreq = 0;  // bit k: that history list is the frequent one
  uint8_t boBlockState = 0;        // kind of the resident list it is in (0: none)
  bool boBlockFreqUse = false;     // in the frequently-used resident list
  TmvWasBulkLoaded boWasBulkLoaded = wblNo;
  TmvBlockSizeAll boBlockSize = mvbs4k;  // size of the memory its list counts hold
  uint32_t boBlockCacheHit[mvCacheKindCount] = {};
  uint32_t boBlockCacheEvict[mvCacheKindCount] = {};
};

// The ends and the page count of one list.
struct TmvBlockListEnds {
  TmvBlockObject* Head = nullptr;
  TmvBlockObject* Tail = nullptr;
  int64_t Count = 0;
};
