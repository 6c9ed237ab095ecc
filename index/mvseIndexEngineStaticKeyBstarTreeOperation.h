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
  TOperation(TmvStaticKeyBstarTreeIndexEngine* aEngine, TmvBaseTransaction* aTrans, bool aForModify,
             int32_t aFieldCount, int32_t aPartialLen);
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
};
