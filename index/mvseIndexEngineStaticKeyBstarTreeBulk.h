// Index engines: the bulk builder of the static-key B*-tree, which fills an
// empty index from many records at once instead of key by key.
//
// Keys built from the records fed to it gather in containers, each one
// 4 MB scratch block of the block cache that is mapped only while it is
// filled, sorted or read. A full container is sorted in place. Finalize
// chains containers whose key ranges do not overlap into runs, merges the
// two shortest runs while more than two remain, and streams the last merge
// into the tree builder, which writes the tree bottom-up, leaf after leaf,
// each node about 80 % full and written once.
//
// Two equal entries that the index's duplicate rule refuses raise the key
// violation 9729 (operation "BulkCreate") as EmvBulkBuilderException, from
// a sort, a run forming or a merge. Any exception frees every container;
// the index blocks written so far belong to the transaction, which the
// caller rolls back.
//
// Ownership and threads: the builder belongs to its creator and runs under
// the table's write lock in one transaction.
// Layer: index engines; calls the static-key engine, the key engine and
// the block cache's scratch blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "index/mvseIndexEngineStaticKeyBstarTree.h"
#include "storage/cache/mvsrBufferManager.h"

MV_DECLARE_EXCEPTION(EmvBulkBuilderException, EmvBaseIndexEngineException)

class TmvStaticKeyBstarTreeIndexBulkBuilder;
class TmvKeyContainer;

// The chain of containers being filled: the most recent one first.
struct TmvKeyContainerHead {
  TmvKeyContainer* bsibbhCurrentContainer = nullptr;
  int32_t bsibbhContainerCount = 0;
};

// One scratch block of entries: the key at offset 0, the RefNr in the last
// 8 bytes of each entry.
class TmvKeyContainer : public TmvObject {
 public:
  // Links itself in front of aHead's chain and takes a locked 4 MB block.
  TmvKeyContainer(TmvStaticKeyBstarTreeIndexBulkBuilder* aBulkIndexer, TmvKeyContainerHead* aHead);
  // Unlocks and frees its block, and leaves the builder's set of containers.
  ~TmvKeyContainer() override;

  // Whether the entries must be sorted when the container closes.
  virtual bool SortOnClose() { return true; }

  // Builds the record's key into the next entry: 0 (also for a record the
  // key leaves out), or the key engine's code. A full container closes and
  // passes the key to a new one on its head.
  int32_t InsertKey(TmvRefNr aRefNr, const void* aRecord);
  // Appends a whole entry (full: as InsertKey, to a new container of the
  // same class).
  void InsertMergedKey(const uint8_t* aEntry);
  // Sorts (when its class does), copies the first and the last entry and
  // unmaps; an empty container leaves its head and is freed instead (the
  // object must not be used afterwards).
  void Close();
  void Lock();
  void Unlock();
  bool Locked() const { return kcScratchPointer != nullptr; }

  uint8_t* Entry(int32_t aIndex) const;
  const uint8_t* Keys(int32_t aIndex) const { return Entry(aIndex); }
  TmvRefNr RefNrs(int32_t aIndex) const;
  int32_t KeyCount() const { return kcKeyCount; }

  TmvKeyContainer* kcNext = nullptr;
  TmvStaticKeyBstarTreeIndexBulkBuilder* kcBulkIndexer;
  TmvKeyContainerHead* kcHead;
  TmvScratchBlockHandle kcScratchHandle{};
  uint8_t* kcScratchPointer = nullptr;
  uint8_t* kcCurrentPointer = nullptr;
  int32_t kcKeyCount = 0;
  std::vector<uint8_t> kcFirstKey;
  std::vector<uint8_t> kcLastKey;

 protected:
  virtual TmvKeyContainer* CreateNext();
  bool Full() const;
  void Sort();
};

// Receives merged entries, which arrive in order.
class TmvPreSortedKeyContainer : public TmvKeyContainer {
 public:
  using TmvKeyContainer::TmvKeyContainer;
  bool SortOnClose() override { return false; }

 protected:
  TmvKeyContainer* CreateNext() override;
};

// Writes the tree bottom-up from entries in ascending order. Leaves and
// every internal level are planned in whole numbers before the first key:
// the keys spread over the planned nodes so that their counts differ by at
// most one.
class TmvTreeBuilder : public TmvObject {
 public:
  TmvTreeBuilder(TmvStaticKeyBstarTreeIndexBulkBuilder* aBulkIndexer, TmvBaseTransaction* aTrans);
  ~TmvTreeBuilder() override;
  // Plans the leaves and the internal levels for the builder's key count
  // and the targets (again, before the first key, after a change of the
  // targets).
  void Plan();
  void InsertKey(const uint8_t* aEntry);
  // Checks the counts against the plan (an assertion), sets the root and
  // the key count, releases every node.
  void Finalize();

  // A level's plan: its nodes and how many entries (leaves) or children
  // (internal nodes) each of them takes.
  struct TPlan {
    uint32_t Nodes = 0;
    uint64_t Items = 0;
    uint32_t CountOf(uint32_t aNode) const {
      return uint32_t(Items / Nodes) + (aNode < uint32_t(Items % Nodes) ? 1 : 0);
    }
  };
  // The plan of total items over nodes of target aTarget, at least aMin
  // (but one node may hold fewer) and at most aMax items each.
  static TPlan PlanLevel(uint64_t aItems, uint32_t aTarget, uint32_t aMin, uint32_t aMax);

  struct TInternal {
    uint8_t* tbciNode = nullptr;
    TmvReleaseMethod tbciRelease;
    TmvBlockNumber tbciPrev = mvNoBlock;
    TPlan Plan;
    uint32_t tbciNodes = 0;    // nodes opened so far
    uint64_t tbciKeys = 0;     // separators written so far
  };

  TmvStaticKeyBstarTreeIndexBulkBuilder* tbBulkIndexer;
  TmvStaticKeyBstarTreeIndexEngine* tbIndexEngine;
  std::unique_ptr<TmvBaseIndexHeaderAccess> tbIndexHeaderAccess;
  uint32_t tbInternalNodeKeyCount = 0;
  uint32_t tbLeafNodeKeyCount = 0;
  uint32_t tbInternalNodeFirstKey = 0;
  uint32_t tbLeafNodeFirstKey = 0;
  uint8_t* tbCurrentLeafNode = nullptr;
  TmvReleaseMethod tbCurrentLeafRelease;
  TPlan tbLeafPlan;
  uint32_t tbCurrentLeafNodes = 0;
  uint64_t tbCurrentLeafKeys = 0;
  std::vector<TInternal> tbCurrentInternal;

 private:
  void AddSeparator(size_t aLevel, TmvBlockNumber aLeft, TmvBlockNumber aRight, const uint8_t* aSeparator);
  uint8_t* NewNode(bool aLeaf, TmvReleaseMethod& aRelease);
  std::vector<uint8_t> tbSeparator;
};

class TmvStaticKeyBstarTreeIndexBulkBuilder : public TmvBaseIndexBulkBuilder {
 public:
  // 15511 for an index that is not empty.
  TmvStaticKeyBstarTreeIndexBulkBuilder(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndexEngine);
  // Frees every container left.
  ~TmvStaticKeyBstarTreeIndexBulkBuilder() override;
  static TmvBaseBulkBuilder* Create(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndexEngine);

  int32_t InsertKey(TmvRefNr aRefNr, const void* aRecord, TmvBaseTransaction* aTrans) override;
  int32_t Finalize(TmvBaseTransaction* aTrans) override;

  // Entry order: by key, then by RefNr where the index allows the
  // duplicate; an equal pair the index refuses raises 9729.
  int8_t CompareEntries(const uint8_t* aEntry1, const uint8_t* aEntry2);
  uint32_t EntrySize() const { return bsibbKeyLength; }

  // The tree builder of the final merge (its targets and plan set).
  virtual std::unique_ptr<TmvTreeBuilder> CreateTreeBuilder(TmvBaseTransaction* aTrans);

  TmvBufferManager* bsibbBufferManager;
  TmvStaticKeyBstarTreeIndexEngine* bsibbIndexEngine;
  TmvKeyContainerHead bsibbDefaultHead;
  uint32_t bsibbKeyLength;
  int32_t bsibbKeysPerContainer;
  uint64_t bsibbTotalKeyCount = 0;
  std::unique_ptr<TmvTreeBuilder> bsibbTreeBuilder;
  // Every container alive, whatever chain or run it is in: what an
  // exception frees.
  std::set<TmvKeyContainer*> bsibbContainers;
  // What the last Finalize did: the runs it formed and the merges before
  // the final one (statistics).
  int32_t bsibbRunCount = 0;
  int32_t bsibbMergeCount = 0;

 private:
  using TRun = std::vector<TmvKeyContainer*>;
  // Merges two runs into the tree builder when it exists, else into new
  // pre-sorted containers on the head, which come back as one run.
  TRun Merge(TRun aRun1, TRun aRun2);
  void Emit(const uint8_t* aEntry);
  // The head's chain, oldest first, taken off the head.
  TRun TakeHead();
  void FreeAll();
  bool RunBefore(const TRun& aRun1, const TRun& aRun2);
  TmvBaseTransaction* bsibbTrans;
};

// The size of one 4 MB container.
inline constexpr uint32_t mvKeyContainerSize = 4u * 1024 * 1024;
