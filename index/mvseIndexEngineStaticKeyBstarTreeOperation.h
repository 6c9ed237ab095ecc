// Index engines: one operation of the static-key B*-tree (internal to the
// engine's units): the index header access it reads and changes the
// index's values through, and the bounds that keep a damaged tree from
// making it run without end. See mvseIndexEngineStaticKeyBstarTree.h.
#pragma once

#include <cstdint>
#include <memory>

#include "index/mvseIndexEngineStaticKeyBstarTree.h"

class TmvStaticKeyBstarTreeIndexEngine::TOperation {
 public:
  // A header access for aTrans, for modification with aForModify (index
  // and file marked dirty), comparing aFieldCount fields cut to aPartialLen.
  // aKeyPath: the caller's path, whose key source (when the engine has
  // one) serves the operation; nil for a scratch one when needed.
  TOperation(TmvStaticKeyBstarTreeIndexEngine* aEngine, TmvBaseTransaction* aTrans, bool aForModify,
             int32_t aFieldCount, int32_t aPartialLen, TmvBaseIndexPath* aKeyPath = nullptr);
  ~TOperation();
  TOperation(const TOperation&) = delete;
  TOperation& operator=(const TOperation&) = delete;

  // A path's walk in aDirection enters another leaf: more leaves in one
  // direction than the index has nodes (or the file blocks, when fewer)
  // means the leaf chain loops: 8962.
  void CountLeafEntered(TmvStaticKeyBstarTreeIndexPath* aPath, int8_t aDirection);
  // A descent reaches level aDepth: deeper than any real tree means the
  // child pointers loop: 8962.
  void CheckDepth(int32_t aDepth);

  // No tree of at least two children per node and 2^32 blocks is deeper.
  static constexpr int32_t kMaxTreeDepth = 40;

  TmvStaticKeyBstarTreeIndexEngine* opEngine;
  TmvBaseTransaction* opTrans;
  std::unique_ptr<TmvBaseIndexHeaderAccess> opHeader;
  int32_t opOwnerID;
  uint64_t opLeafLimit = 0;
  TmvBaseIndexPath* opKeyPath;
  // The path whose key source the operation opened (nil: none yet), and
  // the scratch path made for it.
  TmvBaseIndexPath* opKeyScope = nullptr;
  std::unique_ptr<TmvBaseIndexPath> opScratchPath;
};

// A walk along the leaf chain in one direction: the leaf held and a slot
// in it. Settle puts the slot into the leaf's window, entering the next
// leaves (forward) or the previous ones (backward) as far as needed; each
// leaf entered must link back to the one left, and more of them in one
// direction than the index has nodes means the chain loops (8962).
class TmvStaticKeyBstarTreeIndexEngine::TWalk {
 public:
  // aCounter: the path whose walk the leaves are counted for.
  TWalk(TmvStaticKeyBstarTreeIndexEngine* aEngine, TOperation& aOp, TmvStaticKeyBstarTreeIndexPath* aCounter,
        bool aForward)
      : wEngine(aEngine), wOp(aOp), wCounter(aCounter), wForward(aForward) {}

  // At the first (last) entry of the index: down the first (last)
  // pointers. False for an empty index.
  bool StartAtEnd();
  // At slot aSlot of leaf aPage.
  void StartAt(TmvBlockNumber aPage, int32_t aSlot);
  // The next slot in the walk's direction (not yet settled).
  void Advance() { wSlot += wForward ? 1 : -1; }
  // The slot inside the window of the leaf held, in this leaf or a later
  // one; false (and no leaf held) past the end of the chain.
  bool Settle();

  const uint8_t* Leaf() const { return wLeaf.Block; }
  TmvBlockNumber Page() const { return wPage; }
  int32_t Slot() const { return wSlot; }
  int32_t First() const { return mvInhFirstSlot(wLeaf.Block); }
  int32_t End() const { return First() + mvInhKeyCount(wLeaf.Block); }
  const uint8_t* Key() const { return wEngine->EntryKey(wOp, wEngine->LeafKey(wLeaf.Block, wSlot)); }
  TmvRefNr Ref() const { return wEngine->LeafRef(wLeaf.Block, wSlot); }
  // Whether the last Settle entered another leaf.
  bool EnteredLeaf() const { return wEntered; }
  // Moves on to the next leaf in the walk's direction, its first (last)
  // slot; false at the end of the chain.
  bool NextLeaf();

 private:
  TmvStaticKeyBstarTreeIndexEngine* wEngine;
  TOperation& wOp;
  TmvStaticKeyBstarTreeIndexPath* wCounter;
  bool wForward;
  TmvHeldBlock wLeaf;
  TmvBlockNumber wPage = mvNoBlock;
  int32_t wSlot = 0;
  bool wEntered = false;
};
