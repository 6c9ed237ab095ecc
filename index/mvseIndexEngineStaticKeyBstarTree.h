// Index engines: the static-key B*-tree, the default index engine.
//
// One B*-tree per index in the index file, with whole keys in its nodes
// (node format: mvseIndexNodes.h); the index's root, node count and key
// count live in the index header (mvseIndicesEngineSimple.h). The engine
// answers every positioned access a cursor makes: find a key by one of
// eleven search actions, step to the next or previous key under a key
// filter, repair a remembered position after the tree changed, count keys;
// it inserts and deletes keys (splits, borrowing, merging), walks ranges,
// tells and sets record numbers and estimates range sizes.
//
// Entries are ordered by key, and, when the index allows duplicates and its
// keys are not references themselves, by key and then RefNr; separators
// then carry the RefNr as well.
//
// Damage: every node read is checked (block number, signature, type, index
// number, first slot and count within its type's room) and refused with
// 15409 or 15424; a descent deeper than any real tree, a leaf chain that
// does not link back or outlasts the node count, or a node that a commit cut
// off wrote (its LSN newer than the file's block 0, mvseIndexNodes.h)
// raises 8962.
//
// Ownership and threads: the engine belongs to its indices engine and is
// used under the table's locks; searches only read (every block they read
// is released when they end); insert and delete share the engine's release
// list and separator buffer, so they run one at a time (the table's write
// lock sees to that). Paths belong to one cursor.
// Layer: index engines; calls the index engine interface of table storage,
// the key engines, the node reader and the record engine.
#pragma once

#include <cstdint>
#include <vector>

#include "index/mvseIndexNodes.h"
#include "storage/indices/mvseIndexEngine.h"

class TmvBaseRecordEngine;
class TmvStaticKeyBstarTreeIndexEngine;

// A position in a static-key B*-tree: the leaf, the slot, and the leaf's
// ident counter and LSN when the position was taken, which later prove
// whether the leaf has changed since.
class TmvStaticKeyBstarTreeIndexPath : public TmvBaseIndexPath {
 public:
  explicit TmvStaticKeyBstarTreeIndexPath(TmvBaseIndexEngine* aIndexEngine) : TmvBaseIndexPath(aIndexEngine) {}
  // The base's, and the leaf fields of a path of this class.
  void Assign(const TPersistent* aSource) override;
  void Clear() override;

  TmvBlockNumber bpipPage = 0;
  int32_t bpipItem = 0;
  uint64_t bpipIdentCounter = 0;
  TmvLSN bpipLSN = 0;
  // The leaves entered by steps in one direction since the path was last
  // put somewhere (+1 forward, -1 backward, 0 not yet): more than the
  // index has nodes means its leaf chain loops.
  int8_t bpipWalkDirection = 0;
  uint32_t bpipLeavesWalked = 0;
};

class TmvStaticKeyBstarTreeIndexEngine : public TmvBaseIndexEngine {
  MV_DECLARE_CLASSREF(TmvIndexEngineClassRef)
 public:
  // Takes the record engine of the indices engine and sizes the nodes for
  // the key and the index file's usable block size. On a cache table only
  // the "Sequential Access Index" and the internal indexes may use it:
  // another main index raises 12289 "<class> is not supported for cache
  // tables". A block too small for the key raises 15494.
  TmvStaticKeyBstarTreeIndexEngine(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                   TmvIndexDescriptor* aIndexDescriptor);
  ~TmvStaticKeyBstarTreeIndexEngine() override;
  static TmvBaseIndexEngine* Create(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                    TmvIndexDescriptor* aIndexDescriptor);
  // The key engines' check, then the index file's block size: raised as
  // far as needed (up to 64 KB) for an internal node of four separators and
  // a leaf of three entries; a key that fits no block size raises 15494
  // "Maximum key size has been exceeded. Index: #<number> <name>".
  static void CheckKeyDescriptor(TmvIndexDescriptor* aIndexDescriptor);

  TmvIndexPathClass IndexPathClass() override;
  // The bulk builder that sorts the keys and writes the tree bottom-up
  // (mvseIndexEngineStaticKeyBstarTreeBulk.h).
  TmvBulkBuilderClass GetBulkBuilderClass() override;
  // A path on a crack or a key is made current again: unchanged leaf as
  // it is, a leaf changed by other entries repaired in place, otherwise
  // found again from the root; a path whose key has gone is marked deleted.
  void ValidateIndexPath(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath) override;
  // Empties the index and gives every node back to the file.
  void DeleteAllKeys(TmvBaseTransaction* aTrans) override;
  // True when the entry (key and RefNr) was found and removed; a given path
  // ends on the crack where it was, marked deleted (BOF when the index
  // became empty).
  bool DeleteKey(TmvBaseTransaction* aTrans, const void* aKey, TmvRefNr aRefNr, TmvRefNr aCacheRefNr,
                 TmvBaseIndexPath* aPath) override;
  // False when the duplicate rule refuses the key (nothing changed); a
  // given path ends on the new entry.
  bool InsertKey(TmvBaseTransaction* aTrans, const void* aKey, TmvRefNr aRefNr, TmvRefNr aCacheRefNr,
                 TmvBaseIndexPath* aPath) override;
  // Searches by aAction, comparing aFieldCount fields with the last cut to
  // aPartialLen (0, 0: whole keys). The answer says whether the action was
  // satisfied; the path stands on the key found, on the crack where the
  // key would be, or at BOF or EOF. An exception leaves the path at EOF
  // (actions that look forward) or BOF.
  int32_t FindKey(TmvBaseTransaction* aTrans, const void* aKey, int32_t aFieldCount, int32_t aPartialLen,
                  TmvRefNr aRefNr, TmvBaseIndexPath* aPath, TmvSearchKeyAction aAction,
                  TmvBaseFilterEngine* aKeyFilter) override;
  // One key forward (backward) that the key filter lets through; false at
  // the end, which leaves the path at EOF (BOF).
  int32_t NextKey(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath, TmvBaseFilterEngine* aKeyFilter) override;
  int32_t PrevKey(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath, TmvBaseFilterEngine* aKeyFilter) override;
  void GetKeyCount(TmvBaseTransaction* aTrans, uint32_t& aCount) override;
  void Iterate(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath, uint8_t*& aData, const TmvKeyIterator& aKeyIterator,
               const TmvRecordIterator& aRecIterator, void* aCookie, const TmvRangeInfo& aRangeStart,
               const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter,
               bool aKeepPosition) override;
  void IterateBackward(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath, uint8_t*& aData,
                       const TmvKeyIterator& aKeyIterator, const TmvRecordIterator& aRecIterator, void* aCookie,
                       const TmvRangeInfo& aRangeStart, const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter,
                       TmvBaseFilterEngine* aKeyFilter, bool aKeepPosition) override;
  int32_t RecNoGet(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath, const TmvRangeInfo& aRangeStart,
                   const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter,
                   int32_t& aRecNo, bool aFlipOrder) override;
  int32_t RecNoSet(TmvBaseTransaction* aTrans, int32_t aRecNo, TmvBaseIndexPath* aPath,
                   const TmvRangeInfo& aRangeStart, const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter,
                   TmvBaseFilterEngine* aKeyFilter, bool aFlipOrder) override;
  // The record numbers counted from the range end (RecNoGet and RecNoSet
  // with aFlipOrder).
  int32_t RecNoGetBackward(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath, const TmvRangeInfo& aRangeStart,
                           const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter,
                           int32_t& aRecNo);
  int32_t RecNoSetBackward(TmvBaseTransaction* aTrans, int32_t aRecNo, TmvBaseIndexPath* aPath,
                           const TmvRangeInfo& aRangeStart, const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter,
                           TmvBaseFilterEngine* aKeyFilter);
  // Reads only the two paths to the range's ends and the index's counts;
  // exact when the range lies in one leaf; the index's key count when its
  // counts do not fit the tree.
  void EstimateRecordCount(TmvBaseTransaction* aTrans, const TmvRangeInfo& aRangeStart, const TmvRangeInfo& aRangeEnd,
                           int64_t& aRecordCount, bool aFlipOrder) override;
  // The sequential-access index of a cache table: the RefNr stored for a
  // cache RefNr (0 when none). Every other index answers 0.
  TmvRefNr SeqAccessLookup(TmvBaseTransaction* aTrans, TmvRefNr aCacheRefNr, TmvBaseIndexPath* aPath) override;

  // A new node (a leaf with aLeaf, else internal) of the header access's
  // transaction, modifiable, empty, unlinked, counted in the index's page
  // count; its other bytes are as the file handed it out.
  uint8_t* NewNode(TmvBaseIndexHeaderAccess* aHeader, bool aLeaf, TmvReleaseMethod& aRelease);
  // Gives a node (held modifiable) back to the file; one page fewer. The
  // caller only releases aNode afterwards.
  void FreeNode(TmvBaseIndexHeaderAccess* aHeader, uint8_t* aNode);

  // Writes aNewNumber into each of the index's nodes, for an index whose
  // number drops because an index before it is removed; runs while the
  // index still has its old number. Requires: aTrans changes the index file.
  void RenumberNodes(TmvBaseTransaction* aTrans, int32_t aNewNumber);

  const TmvIndexNodeGeometry& Geometry() const { return ieGeometry; }
  bool IsCacheSeqAccess() const { return ieIsCacheSeqAccess; }

  TmvBaseRecordEngine* ieRecordEngine;
  bool ieIsCacheSeqAccess = false;

 protected:
  class TOperation;
  class TWalk;
  friend class TOperation;
  friend class TWalk;
  friend class TmvTreeBuilder;
  enum TNodeSearch : uint8_t { nsFull, nsPartial, nsAction, nsRefExact };
  using TPath = TmvStaticKeyBstarTreeIndexPath;

  // Node forms other than whole keys: nkRefsOnly nodes hold one record
  // reference per entry (8-byte leaf slots, 12-byte internal pairs), and
  // every key is rebuilt from its record by the overriding engine.
  enum TNodeKeys : uint8_t { nkWholeKeys, nkRefsOnly };
  TmvStaticKeyBstarTreeIndexEngine(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                   TmvIndexDescriptor* aIndexDescriptor, TNodeKeys aNodeKeys);

  // Where the key of an entry comes from (aEntry: a leaf slot or a
  // separator as the node holds it). Here the node holds it; engines whose
  // nodes hold references rebuild it. aWhole compares whole keys, else
  // aFieldCount fields with the last cut to aPartialLen.
  virtual int8_t CompareToEntry(TOperation& aOp, const void* aKey, const uint8_t* aEntry, int32_t aFieldCount,
                                int32_t aPartialLen, bool aWhole);
  // The entry's key, valid while the operation lasts.
  virtual const uint8_t* EntryKey(TOperation& aOp, const uint8_t* aEntry);
  // The RefNr that orders the entry among equal keys.
  virtual TmvRefNr EntryTieRef(TOperation& aOp, const uint8_t* aEntry);
  // Puts the key (and whatever else the engine keeps) of the entry under
  // the path into the path.
  virtual void LoadPathKey(TOperation& aOp, TmvStaticKeyBstarTreeIndexPath* aPath, const uint8_t* aEntry);
  // The RefNr that orders a new or removed entry among equal keys.
  virtual TmvRefNr SearchTieRef(TmvRefNr aRefNr, TmvRefNr /*aCacheRefNr*/) const { return aRefNr; }
  // The operation ends: the key source it opened closes.
  virtual void CloseKeySource(TOperation& /*aOp*/) {}

  TNodeKeys ieNodeKeys = nkWholeKeys;
  // Equal keys are ordered by a RefNr, so that a search with one finds the
  // exact entry.
  bool ieTieByRef = false;
  // A unique index also looks into the neighbouring leaf for an equal key.
  bool ieCheckNeighbours = false;
  // Equal keys are ordered by the records' cache RefNrs: a path's fast
  // delete needs its cache RefNr to match as well.
  bool ieTieByCacheRef = false;


  // Node geometry and the offsets of every slot.
  void SetUpGeometry();
  uint32_t LeafKeyOffset(int32_t aSlot) const { return ieLeafNodeKeyOffset[size_t(aSlot)]; }
  const uint8_t* LeafKey(const uint8_t* aNode, int32_t aSlot) const { return aNode + LeafKeyOffset(aSlot); }
  TmvRefNr LeafRef(const uint8_t* aNode, int32_t aSlot) const;
  const uint8_t* SeparatorKey(const uint8_t* aNode, int32_t aIndex) const {
    return aNode + ieInternalNodeKeyOffset[size_t(aIndex)];
  }
  TmvRefNr SeparatorRef(const uint8_t* aNode, int32_t aIndex) const;
  TmvBlockNumber Child(const uint8_t* aNode, int32_t aIndex) const {
    return mvGetU32(aNode, ieTreePointerOffset[size_t(aIndex)]);
  }

  // Reads a node and checks it against the tree: type (aType, or either
  // kind for intHeader), index number, and first slot and count within the
  // type's room (15424 otherwise).
  uint8_t* ReadNode(TOperation& aOp, TmvBlockNumber aBlock, bool aForModify, TmvReleaseMethod& aRelease,
                    TmvIndexNodeType aType = intHeader);
  void CheckNode(TOperation& aOp, const uint8_t* aNode, TmvBlockNumber aBlock, TmvIndexNodeType aType);

  // The binary search of one node: the slot of a matching entry (true), or
  // the insertion point, the first entry greater than the key (false).
  bool SearchNode(TOperation& aOp, const uint8_t* aNode, bool aLeaf, TNodeSearch aKind, const void* aKey, TmvRefNr aRefNr,
                  int32_t aFieldCount, int32_t aPartialLen, TmvSearchKeyAction aAction, int32_t& aSlot);
  TNodeSearch ChooseSearch(TmvRefNr aRefNr, int32_t aFieldCount, int32_t aPartialLen) const;
  // The key path search behind FindKey, DeleteKey and validation.
  bool FindKeyPath(TOperation& aOp, const void* aKey, TmvRefNr aRefNr, TPath* aPath, TmvSearchKeyAction aAction,
                   TmvBaseFilterEngine* aKeyFilter);
  // Puts the path on a leaf's slot (aPosition: a key or a crack).
  void SetPath(TOperation& aOp, TPath* aPath, TmvBlockNumber aPage, const uint8_t* aLeaf, int32_t aSlot,
               TmvIndexPathPosition aPosition);
  // One step under a key filter; false (the path at EOF or BOF) at the end.
  bool Step(TOperation& aOp, TPath* aPath, TmvBaseFilterEngine* aKeyFilter, bool aForward);
  bool StepForward(TOperation& aOp, TPath* aPath, TmvBaseFilterEngine* aKeyFilter) {
    return Step(aOp, aPath, aKeyFilter, true);
  }
  bool StepBackward(TOperation& aOp, TPath* aPath, TmvBaseFilterEngine* aKeyFilter) {
    return Step(aOp, aPath, aKeyFilter, false);
  }
  bool StepKey(TmvBaseTransaction* aTrans, TPath* aPath, TmvBaseFilterEngine* aKeyFilter, bool aForward);
  // Whether a key filter that refuses the key under the path lets the
  // step end there all the same (its time is up).
  static bool KeyPasses(TmvBaseFilterEngine* aKeyFilter, const void* aKey, bool& aTimedOut);
  void ValidatePath(TOperation& aOp, TPath* aPath);
  void RebuildKeyFromRecord(TmvBaseTransaction* aTrans, TPath* aPath);
  TPath* OwnPath(TmvBaseIndexPath* aPath) const;

  // Insert and delete (mvseIndexEngineStaticKeyBstarTreeModify.cpp).
  struct TLevel {
    TmvBlockNumber Block;  // an internal node on the way down
    int32_t Slot;          // the pointer taken there
  };
  [[noreturn]] void RaiseDamaged(TmvBlockNumber aBlock) const;
  // A node read (for change) and held in the release list until the
  // operation ends; a new node, held the same way.
  uint8_t* Hold(TOperation& aOp, TmvBlockNumber aBlock, bool aForModify, TmvIndexNodeType aType = intHeader);
  uint8_t* HoldNew(TOperation& aOp, bool aLeaf);
  uint8_t* Keep(uint8_t* aNode, const TmvReleaseMethod& aRelease);
  void MoveLeafEntries(uint8_t* aFrom, int32_t aFromSlot, uint8_t* aTo, int32_t aToSlot, int32_t aCount) const;
  void WriteLeafEntry(uint8_t* aLeaf, int32_t aSlot, const void* aKey, TmvRefNr aRefNr) const;
  void CopySeparator(const uint8_t* aLeaf, int32_t aSlot, uint8_t* aTo) const;
  int8_t CompareEntries(TOperation& aOp, const uint8_t* aSeparator1, const uint8_t* aSeparator2);
  std::vector<TLevel> WayDown(TOperation& aOp, TmvBlockNumber aTarget, const uint8_t* aEntry);
  int32_t InsertIntoWindow(uint8_t* aLeaf, int32_t aSlot, const void* aKey, TmvRefNr aRefNr);
  bool Refused(TOperation& aOp, TmvBlockNumber aLeafPage, const uint8_t* aLeaf, bool aFound, int32_t aSlot,
               const void* aKey);
  void PushUp(TOperation& aOp, const std::vector<TLevel>& aWay, TmvBlockNumber aLeft, TmvBlockNumber aRight);
  void RemoveSlot(TOperation& aOp, TmvBlockNumber aPage, int32_t aSlot, TPath* aPath);
  void Rebalance(TOperation& aOp, TmvBlockNumber aPage, uint8_t* aQ, bool aLeaf, TPath* aPath);
  void BorrowLeaf(uint8_t* aQ, uint8_t* aSibling, bool aFromLeft, uint8_t* aParent, int32_t aSlot, TmvBlockNumber aPage,
                  TPath* aPath);
  void MergeLeaves(TOperation& aOp, uint8_t* aLeft, TmvBlockNumber aLeftPage, uint8_t* aRight,
                   TmvBlockNumber aRightPage, TmvBlockNumber aParentPage, int32_t aRightSlot, TPath* aPath);
  void RotateInternal(uint8_t* aQ, uint8_t* aSibling, bool aFromLeft, uint8_t* aParent, int32_t aSlot);
  void MergeInternal(TOperation& aOp, uint8_t* aLeft, uint8_t* aRight, TmvBlockNumber aRightPage,
                     TmvBlockNumber aParentPage, int32_t aRightSlot);

  // Walks, record numbers, estimates
  // (mvseIndexEngineStaticKeyBstarTreeIterate.cpp).
  struct TTraceLevel {
    TmvBlockNumber Block;
    int32_t Slot, First, Count;
  };
  struct TLastPosition {
    bool Valid = false;
    TmvBlockNumber Page = 0;
    int32_t Slot = 0;
  };
  void RequireRecordEngine(const char16_t* aOperation, bool aForFilter) const;
  bool FindLastPosition(TOperation& aOp, const TmvRangeInfo& aFarEnd, bool aForward, TPath* aTarget,
                        TmvBaseFilterEngine* aKeyFilter, TLastPosition& aLast);
  bool FindRangeEnd(TOperation& aOp, const TmvRangeInfo& aRange, bool aIsStart, TPath* aPath,
                    TmvBaseFilterEngine* aKeyFilter);
  bool Outside(const void* aKey, const TmvRangeInfo& aRange, bool aIsStart);
  void Walk(bool aForward, TmvBaseTransaction* aTrans, TPath* aPath, uint8_t*& aData, const TmvKeyIterator& aKeyIterator,
            const TmvRecordIterator& aRecIterator, void* aCookie, const TmvRangeInfo& aRangeStart,
            const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter,
            bool aKeepPosition);
  bool Passes(TmvBaseTransaction* aTrans, const uint8_t* aKey, TmvRefNr aRefNr, TmvBaseFilterEngine* aFilter,
              TmvBaseFilterEngine* aKeyFilter);
  int32_t CountTo(bool aForward, TmvBaseTransaction* aTrans, TPath* aPath, const TmvRangeInfo& aRangeStart,
                  const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter,
                  int32_t& aRecNo);
  int32_t MoveTo(bool aForward, TmvBaseTransaction* aTrans, int32_t aRecNo, TPath* aPath,
                 const TmvRangeInfo& aRangeStart, const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter,
                 TmvBaseFilterEngine* aKeyFilter);
  std::vector<TTraceLevel> Trace(TOperation& aOp, TPath* aPath);

  TmvIndexNodeGeometry ieGeometry{};
  uint16_t ieDescKeyLength = 0;
  uint16_t ieNodeKeyLength = 0;
  bool ieAddKeyRefsToKeys = false;
  uint16_t ieSizeOfInternalNodeKeyPair = 0;
  uint16_t ieSizeOfLeafNodeKeyPair = 0;
  uint16_t ieMaxInternalNodeKeyCount = 0;
  uint16_t ieMaxLeafNodeKeyCount = 0;
  std::vector<uint32_t> ieInternalNodeKeyOffset;
  std::vector<uint32_t> ieInternalNodeKeyRefOffset;
  std::vector<uint32_t> ieTreePointerOffset;
  std::vector<uint32_t> ieLeafNodeKeyOffset;
  std::vector<uint32_t> ieLeafNodeKeyRefOffset;
  std::vector<uint8_t> ieTempInsertKey;
  TmvBlockNumber ieTempInsertBlock = mvNoBlock;
  TmvReleaseList ieReleaseList;
};

// Registers the engine as "mv1xDefault" of the index family; takes it out.
void mvseIndexEngineStaticKeyBstarTreeInit();
void mvseIndexEngineStaticKeyBstarTreeFini();
