// Index engines: the static-key B*-tree: walks over key ranges, record
// numbers within a range, and estimates of a range's size. See
// mvseIndexEngineStaticKeyBstarTree.h.
//
// A range has two ends, each optional (TmvRangeInfo): a start searched
// with skaGreaterEqual (skaGreater when exclusive) and an end searched with
// skaSmallerEqual (skaSmaller), each comparing its own field count and
// partial length. Walks run along the leaf chain; record numbers count the
// keys of a range that pass the filters, 1 for the first, by whole leaves
// when there are no filters; estimates read only the two paths to the ends
// of the range and the index's counts.
#include <cmath>
#include <cstring>
#include <memory>

#include "dictionary/filters/mvsdFilterEngine.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "foundation/errors/mvllErrors.h"
#include "index/mvseIndexEngineStaticKeyBstarTree.h"
#include "index/mvseIndexEngineStaticKeyBstarTreeOperation.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/transactions/mvsrTransaction.h"

namespace {

// Holds the transaction's lock for an iteration: commit and rollback are
// refused meanwhile, so the tree cannot change under the callbacks.
class TTransactionLock {
 public:
  explicit TTransactionLock(TmvBaseTransaction* aTrans) : fTrans(aTrans) {
    if (fTrans) fTrans->Lock();
  }
  ~TTransactionLock() {
    if (fTrans) fTrans->Unlock();
  }
  TTransactionLock(const TTransactionLock&) = delete;
  TTransactionLock& operator=(const TTransactionLock&) = delete;

 private:
  TmvBaseTransaction* fTrans;
};

TmvBaseFilterEngine* ActiveOrNil(TmvBaseFilterEngine* aFilter) {
  return aFilter && aFilter->GetActive() ? aFilter : nullptr;
}

// A key filter's time check belongs to single steps; walks and counts run
// without it.
TmvBaseFilterEngine* KeyFilterForWalk(TmvBaseFilterEngine* aKeyFilter) {
  aKeyFilter = ActiveOrNil(aKeyFilter);
  if (aKeyFilter) aKeyFilter->kfCheckTimeOut = nullptr;
  return aKeyFilter;
}

// The search action of a range end: the start looks forward, the end back.
TmvSearchKeyAction StartAction(const TmvRangeInfo& aStart) { return aStart.riExclusive ? skaGreater : skaGreaterEqual; }
TmvSearchKeyAction EndAction(const TmvRangeInfo& aEnd) { return aEnd.riExclusive ? skaSmaller : skaSmallerEqual; }

}  // namespace

void TmvStaticKeyBstarTreeIndexEngine::RequireRecordEngine(const char16_t* aOperation, bool aForFilter) const {
  if (ieRecordEngine) return;
  throw EmvBaseIndexEngineException(MVERR_NOTSUPPORTED,
                                    aForFilter ? u"%s requires a RecordEngine if a filter is active"
                                               : u"%s requires a RecordEngine",
                                    {String(aOperation)});
}

// Searches a range end into aPath with the end's field count and partial
// length: the start forward, the end backward. True when it ends on a key.
bool TmvStaticKeyBstarTreeIndexEngine::FindRangeEnd(TOperation& aOp, const TmvRangeInfo& aRange, bool aIsStart,
                                                    TPath* aPath, TmvBaseFilterEngine* aKeyFilter) {
  aOp.opHeader->SetCompareDate(aRange.riFieldCount, aRange.riPartitial);
  const bool found = FindKeyPath(aOp, aRange.riKey, 0, aPath, aIsStart ? StartAction(aRange) : EndAction(aRange),
                                 aKeyFilter);
  aOp.opHeader->SetCompareDate(0, 0);
  return found && aPath->IsOnKey();
}

// The last position of a walk toward the far end of a range, searched
// into aTarget; none without that end. False when the index holds nothing
// up to that end.
bool TmvStaticKeyBstarTreeIndexEngine::FindLastPosition(TOperation& aOp, const TmvRangeInfo& aFarEnd, bool aForward,
                                                        TPath* aTarget, TmvBaseFilterEngine* aKeyFilter,
                                                        TLastPosition& aLast) {
  aLast = TLastPosition{};
  if (!aFarEnd.riValid) return true;
  if (!FindRangeEnd(aOp, aFarEnd, !aForward, aTarget, aKeyFilter)) return false;
  aLast = {true, aTarget->bpipPage, aTarget->bpipItem};
  return true;
}

// Whether aKey lies beyond a range end: after the end, or before the
// start (equal counts for an exclusive end).
bool TmvStaticKeyBstarTreeIndexEngine::Outside(const void* aKey, const TmvRangeInfo& aRange, bool aIsStart) {
  if (!aRange.riValid) return false;
  const int8_t c = bieKeyEngine->CompareKey(aKey, aRange.riKey, aRange.riFieldCount, aRange.riPartitial);
  if (c == 0) return aRange.riExclusive;
  return aIsStart ? c < 0 : c > 0;
}

// ---------------------------------------------------------------------------
// Iterate, IterateBackward

void TmvStaticKeyBstarTreeIndexEngine::Iterate(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath, uint8_t*& aData,
                                               const TmvKeyIterator& aKeyIterator,
                                               const TmvRecordIterator& aRecIterator, void* aCookie,
                                               const TmvRangeInfo& aRangeStart, const TmvRangeInfo& aRangeEnd,
                                               TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter,
                                               bool aKeepPosition) {
  RequireRecordEngine(u"Iterate", false);
  Walk(true, aTrans, OwnPath(aPath), aData, aKeyIterator, aRecIterator, aCookie, aRangeStart, aRangeEnd,
       ActiveOrNil(aFilter), KeyFilterForWalk(aKeyFilter), aKeepPosition);
}

void TmvStaticKeyBstarTreeIndexEngine::IterateBackward(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath,
                                                       uint8_t*& aData, const TmvKeyIterator& aKeyIterator,
                                                       const TmvRecordIterator& aRecIterator, void* aCookie,
                                                       const TmvRangeInfo& aRangeStart,
                                                       const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter,
                                                       TmvBaseFilterEngine* aKeyFilter, bool aKeepPosition) {
  RequireRecordEngine(u"IterateBackward", false);
  Walk(false, aTrans, OwnPath(aPath), aData, aKeyIterator, aRecIterator, aCookie, aRangeStart, aRangeEnd,
       ActiveOrNil(aFilter), KeyFilterForWalk(aKeyFilter), aKeepPosition);
}

// Iterate, written forward; backward swaps the ends (the walk begins at the
// range end and its last position is the range start) and the directions.
void TmvStaticKeyBstarTreeIndexEngine::Walk(bool aForward, TmvBaseTransaction* aTrans, TPath* aPath, uint8_t*& aData,
                                            const TmvKeyIterator& aKeyIterator, const TmvRecordIterator& aRecIterator,
                                            void* aCookie, const TmvRangeInfo& aRangeStart,
                                            const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter,
                                            TmvBaseFilterEngine* aKeyFilter, bool aKeepPosition) {
  const TmvRangeInfo& nearEnd = aForward ? aRangeStart : aRangeEnd;
  const TmvRangeInfo& farEnd = aForward ? aRangeEnd : aRangeStart;
  auto atFarEnd = [&] {
    if (aForward)
      aPath->SetToEof();
    else
      aPath->SetToBof();
  };
  auto atNearEnd = [&] {
    if (aForward)
      aPath->SetToBof();
    else
      aPath->SetToEof();
  };
  auto isNearEnd = [&] { return aForward ? aPath->IsBof() : aPath->IsEof(); };
  auto isFarEnd = [&] { return aForward ? aPath->IsEof() : aPath->IsBof(); };
  // 1. The transaction stays locked throughout.
  TTransactionLock lock(aTrans);
  TOperation op(this, aTrans, false, 0, 0, aPath);
  // 2. An empty index; a position to go on from.
  if (op.opHeader->GetIndexRoot() == -1) return atFarEnd();
  bool keep = aKeepPosition;
  if (keep) {
    if (aPath->Position == ippUnknown || isFarEnd()) return atFarEnd();
    if (!isNearEnd()) ValidatePath(op, aPath);
    if (isFarEnd()) return atFarEnd();
    if (isNearEnd() || !aPath->KeyValid) keep = false;
  }
  std::unique_ptr<TmvBaseIndexPath> scratchOwner(CreateIndexPath());
  TPath* scratch = static_cast<TPath*>(scratchOwner.get());
  // 3. The last position: the far end of the range.
  TLastPosition last;
  if (!FindLastPosition(op, farEnd, aForward, keep ? scratch : aPath, aKeyFilter, last)) return atFarEnd();
  // 4. The first position: the near end of the range, or the kept one.
  if (nearEnd.riValid) {
    if (keep && Outside(aPath->Key, nearEnd, aForward)) keep = false;
    TPath* target = keep ? scratch : aPath;
    if (!FindRangeEnd(op, nearEnd, aForward, target, aKeyFilter)) return atFarEnd();
    if (Outside(target->Key, farEnd, !aForward)) return atFarEnd();
    if (!keep) target->Position = aForward ? ippOnCrackBefore : ippOnCrackAfter;
  } else if (!keep) {
    atNearEnd();
  }
  // 5. Key by key up to the last position.
  const bool onLast = last.Valid && aPath->IsOnKey() && aPath->bpipPage == last.Page && aPath->bpipItem == last.Slot;
  if (!onLast) {
    TWalk walk(this, op, aPath, aForward);
    bool started;
    if (isNearEnd()) {
      started = walk.StartAtEnd();
    } else {
      walk.StartAt(aPath->bpipPage, aPath->bpipItem);
      if (aPath->Position != (aForward ? ippOnCrackBefore : ippOnCrackAfter)) walk.Advance();
      started = true;
    }
    while (started && walk.Settle()) {
      if (walk.EnteredLeaf()) mvCheckOperationTimeout();
      const uint8_t* key = walk.Key();
      const TmvRefNr ref = walk.Ref();
      const bool atLast = last.Valid && walk.Page() == last.Page && walk.Slot() == last.Slot;
      if (!aKeyFilter || aKeyFilter->MatchesBuffer(key)) {
        bool stop = false, readRecord = true;
        if (aKeyIterator) {
          const TmvKeyIteratorResult result = aKeyIterator(aCookie, ref, key);
          stop = result == kirStop;
          readRecord = result == kirContinue;
        }
        if (!stop && readRecord && aRecIterator) {
          if (aData) {
            ieRecordEngine->ReadRecord(aTrans, ref, aData);
            stop = (!aFilter || aFilter->MatchesBuffer(aData)) && aRecIterator(aCookie, ref, aData) == rirStop;
          } else {
            uint8_t* data = nullptr;
            stop = ieRecordEngine->ReadRecordForIterate(aTrans, ref, data, aRecIterator, aCookie, aFilter) == rirStop;
          }
        }
        if (stop) return SetPath(op, aPath, walk.Page(), walk.Leaf(), walk.Slot(), ippOnKey);
      }
      if (atLast) break;
      walk.Advance();
    }
  }
  // 6. Past the last position.
  atFarEnd();
}

// ---------------------------------------------------------------------------
// Record numbers

int32_t TmvStaticKeyBstarTreeIndexEngine::RecNoGet(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath,
                                                   const TmvRangeInfo& aRangeStart, const TmvRangeInfo& aRangeEnd,
                                                   TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter,
                                                   int32_t& aRecNo, bool aFlipOrder) {
  return CountTo(!aFlipOrder, aTrans, OwnPath(aPath), aRangeStart, aRangeEnd, ActiveOrNil(aFilter),
                 KeyFilterForWalk(aKeyFilter), aRecNo);
}

int32_t TmvStaticKeyBstarTreeIndexEngine::RecNoGetBackward(TmvBaseTransaction* aTrans, TmvBaseIndexPath* aPath,
                                                           const TmvRangeInfo& aRangeStart,
                                                           const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter,
                                                           TmvBaseFilterEngine* aKeyFilter, int32_t& aRecNo) {
  return RecNoGet(aTrans, aPath, aRangeStart, aRangeEnd, aFilter, aKeyFilter, aRecNo, true);
}

// Whether the key (and, with a record filter, its record) passes.
bool TmvStaticKeyBstarTreeIndexEngine::Passes(TmvBaseTransaction* aTrans, const uint8_t* aKey, TmvRefNr aRefNr,
                                              TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter) {
  if (aKeyFilter && !aKeyFilter->MatchesBuffer(aKey)) return false;
  if (!aFilter) return true;
  bool passed = false;
  uint8_t* data = nullptr;
  ieRecordEngine->ReadRecordForIterate(
      aTrans, aRefNr, data,
      [&](void*, TmvRefNr, const uint8_t*) {
        passed = true;
        return rirContinue;
      },
      nullptr, aFilter);
  return passed;
}

// RecNoGet counted from the range start forward, or (aForward false) from
// the range end backward: the keys that pass from there to the path.
int32_t TmvStaticKeyBstarTreeIndexEngine::CountTo(bool aForward, TmvBaseTransaction* aTrans, TPath* aPath,
                                                  const TmvRangeInfo& aRangeStart, const TmvRangeInfo& aRangeEnd,
                                                  TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter,
                                                  int32_t& aRecNo) {
  if (aFilter) RequireRecordEngine(u"RecNoGet", true);
  TOperation op(this, aTrans, false, 0, 0, aPath);
  ValidatePath(op, aPath);
  if (int32_t code = aPath->CheckCurrentState()) return code;
  if (!aPath->KeyValid) return MVERR_NOCURRREC;
  if (Outside(aPath->Key, aRangeStart, true)) return MVERR_BOF;
  if (Outside(aPath->Key, aRangeEnd, false)) return MVERR_EOF;
  // From the crack before the range's first key (after its last one), or
  // the end of the index.
  std::unique_ptr<TmvBaseIndexPath> scratchOwner(CreateIndexPath());
  TPath* scratch = static_cast<TPath*>(scratchOwner.get());
  const TmvRangeInfo& from = aForward ? aRangeStart : aRangeEnd;
  TWalk walk(this, op, scratch, aForward);
  if (from.riValid) {
    if (!FindRangeEnd(op, from, aForward, scratch, aKeyFilter)) return aForward ? MVERR_EOF : MVERR_BOF;
    walk.StartAt(scratch->bpipPage, scratch->bpipItem);
  } else if (!walk.StartAtEnd()) {
    return aForward ? MVERR_EOF : MVERR_BOF;
  }
  const TmvBlockNumber page = aPath->bpipPage;
  const int32_t slot = aPath->bpipItem;
  int64_t count = 0;
  const bool filtered = aFilter || aKeyFilter;
  for (;;) {
    if (!walk.Settle()) return aForward ? MVERR_EOF : MVERR_BOF;  // the path's key lies outside the chain
    const bool here = walk.Page() == page;
    if (!filtered) {
      // Whole leaves at once; in the path's leaf up to the path's slot.
      if (here) {
        count += aForward ? slot - walk.Slot() + 1 : walk.Slot() - slot + 1;
        break;
      }
      count += aForward ? walk.End() - walk.Slot() : walk.Slot() - walk.First() + 1;
      if (!walk.NextLeaf()) return aForward ? MVERR_EOF : MVERR_BOF;
      continue;
    }
    if (Passes(aTrans, walk.Key(), walk.Ref(), aFilter, aKeyFilter)) ++count;
    if (here && walk.Slot() == slot) break;
    walk.Advance();
  }
  aRecNo = int32_t(std::min<int64_t>(count, INT32_MAX));
  return 0;
}

int32_t TmvStaticKeyBstarTreeIndexEngine::RecNoSet(TmvBaseTransaction* aTrans, int32_t aRecNo,
                                                   TmvBaseIndexPath* aPath, const TmvRangeInfo& aRangeStart,
                                                   const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter,
                                                   TmvBaseFilterEngine* aKeyFilter, bool aFlipOrder) {
  TPath* path = OwnPath(aPath);
  try {
    return MoveTo(!aFlipOrder, aTrans, aRecNo, path, aRangeStart, aRangeEnd, ActiveOrNil(aFilter),
                  KeyFilterForWalk(aKeyFilter));
  } catch (...) {
    path->SetToBof();
    throw;
  }
}

int32_t TmvStaticKeyBstarTreeIndexEngine::RecNoSetBackward(TmvBaseTransaction* aTrans, int32_t aRecNo,
                                                           TmvBaseIndexPath* aPath, const TmvRangeInfo& aRangeStart,
                                                           const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter,
                                                           TmvBaseFilterEngine* aKeyFilter) {
  return RecNoSet(aTrans, aRecNo, aPath, aRangeStart, aRangeEnd, aFilter, aKeyFilter, true);
}

// RecNoSet from the range start forward, or (aForward false) from the range
// end backward: the path on the aRecNo-th key that passes.
int32_t TmvStaticKeyBstarTreeIndexEngine::MoveTo(bool aForward, TmvBaseTransaction* aTrans, int32_t aRecNo,
                                                 TPath* aPath, const TmvRangeInfo& aRangeStart,
                                                 const TmvRangeInfo& aRangeEnd, TmvBaseFilterEngine* aFilter,
                                                 TmvBaseFilterEngine* aKeyFilter) {
  auto atFarEnd = [&] {
    if (aForward)
      aPath->SetToEof();
    else
      aPath->SetToBof();
    return aForward ? MVERR_EOF : MVERR_BOF;
  };
  if (aRecNo <= 0) {
    if (aForward)
      aPath->SetToBof();
    else
      aPath->SetToEof();
    return aForward ? MVERR_BOF : MVERR_EOF;
  }
  if (aFilter) RequireRecordEngine(u"RecNoSet", true);
  TOperation op(this, aTrans, false, 0, 0, aPath);
  if (op.opHeader->GetIndexRoot() == -1) return atFarEnd();
  const TmvRangeInfo& nearEnd = aForward ? aRangeStart : aRangeEnd;
  const TmvRangeInfo& farEnd = aForward ? aRangeEnd : aRangeStart;
  std::unique_ptr<TmvBaseIndexPath> scratchOwner(CreateIndexPath());
  TLastPosition last;
  if (!FindLastPosition(op, farEnd, aForward, static_cast<TPath*>(scratchOwner.get()), aKeyFilter, last))
    return atFarEnd();
  TWalk walk(this, op, aPath, aForward);
  if (nearEnd.riValid) {
    if (!FindRangeEnd(op, nearEnd, aForward, aPath, aKeyFilter) || Outside(aPath->Key, farEnd, !aForward))
      return atFarEnd();
    walk.StartAt(aPath->bpipPage, aPath->bpipItem);
  } else if (!walk.StartAtEnd()) {
    return atFarEnd();
  }
  int64_t remaining = aRecNo;
  const bool filtered = aFilter || aKeyFilter;
  for (;;) {
    if (!walk.Settle()) return atFarEnd();
    const bool lastLeaf = last.Valid && walk.Page() == last.Page;
    if (!filtered) {
      // Whole leaves: the smaller of what is left and the leaf's slots.
      const int32_t stop = lastLeaf ? last.Slot : (aForward ? walk.End() - 1 : walk.First());
      const int64_t available = aForward ? stop - walk.Slot() + 1 : walk.Slot() - stop + 1;
      if (remaining <= available) {
        const int32_t slot = int32_t(aForward ? walk.Slot() + remaining - 1 : walk.Slot() - remaining + 1);
        SetPath(op, aPath, walk.Page(), walk.Leaf(), slot, ippOnKey);
        break;
      }
      if (lastLeaf) return atFarEnd();
      remaining -= std::max<int64_t>(available, 0);
      if (!walk.NextLeaf()) return atFarEnd();
      continue;
    }
    if (Passes(aTrans, walk.Key(), walk.Ref(), aFilter, aKeyFilter) && --remaining == 0) {
      SetPath(op, aPath, walk.Page(), walk.Leaf(), walk.Slot(), ippOnKey);
      break;
    }
    if (lastLeaf && walk.Slot() == last.Slot) return atFarEnd();
    walk.Advance();
  }
  return aPath->CheckCurrentState();
}

// ---------------------------------------------------------------------------
// Estimates

// The nodes on the way down to a path's entry, leaf first: the slot taken
// (the pointer in an internal node), the first slot and the entry count.
std::vector<TmvStaticKeyBstarTreeIndexEngine::TTraceLevel> TmvStaticKeyBstarTreeIndexEngine::Trace(TOperation& aOp,
                                                                                                   TPath* aPath) {
  std::vector<TTraceLevel> levels;
  const TNodeSearch kind = ieTieByRef ? nsRefExact : nsFull;
  TmvBlockNumber page = TmvBlockNumber(aOp.opHeader->GetIndexRoot());
  TmvHeldBlock node;
  node.Block = ReadNode(aOp, page, false, node.Release);
  for (int32_t depth = 1; mvInhNodeType(node.Block) == intInternal; ++depth) {
    aOp.CheckDepth(depth);
    int32_t slot = 0;
    SearchNode(aOp, node.Block, false, kind, aPath->Key, SearchTieRef(aPath->RefNr, aPath->CacheRefNr), 0, 0,
               skaEqualFirst, slot);
    levels.push_back({page, slot, 0, mvInhKeyCount(node.Block)});
    page = Child(node.Block, slot);
    node.Drop();
    node.Block = ReadNode(aOp, page, false, node.Release);
  }
  levels.push_back({page, page == aPath->bpipPage ? aPath->bpipItem : mvInhFirstSlot(node.Block),
                    mvInhFirstSlot(node.Block), mvInhKeyCount(node.Block)});
  return std::vector<TTraceLevel>(levels.rbegin(), levels.rend());
}

void TmvStaticKeyBstarTreeIndexEngine::EstimateRecordCount(TmvBaseTransaction* aTrans,
                                                           const TmvRangeInfo& aRangeStart,
                                                           const TmvRangeInfo& aRangeEnd, int64_t& aRecordCount,
                                                           bool aFlipOrder) {
  const TmvRangeInfo& rangeStart = aFlipOrder ? aRangeEnd : aRangeStart;
  const TmvRangeInfo& rangeEnd = aFlipOrder ? aRangeStart : aRangeEnd;
  aRecordCount = 0;
  TOperation op(this, aTrans, false, 0, 0);
  if (op.opHeader->GetIndexRoot() == -1) return;
  // 1. Both ends of the range on keys.
  std::unique_ptr<TmvBaseIndexPath> startOwner(CreateIndexPath()), endOwner(CreateIndexPath());
  auto* start = static_cast<TPath*>(startOwner.get());
  auto* end = static_cast<TPath*>(endOwner.get());
  if (rangeStart.riValid) {
    if (!FindRangeEnd(op, rangeStart, true, start, nullptr)) return;
  } else {
    start->SetToBof();
    if (!StepForward(op, start, nullptr)) return;
  }
  if (rangeEnd.riValid) {
    if (!FindRangeEnd(op, rangeEnd, false, end, nullptr)) return;
  } else {
    end->SetToEof();
    if (!StepBackward(op, end, nullptr)) return;
  }
  // 2. One leaf: exact.
  if (start->bpipPage == end->bpipPage) {
    aRecordCount = std::max(end->bpipItem - start->bpipItem + 1, 0);
    return;
  }
  // 3. Nothing between ends that cross.
  int8_t order = bieKeyEngine->CompareKey(start->Key, end->Key);
  if (order == 0) order = int8_t(start->RefNr < end->RefNr ? -1 : start->RefNr > end->RefNr ? 1 : 0);
  if (order > 0) return;
  const std::vector<TTraceLevel> s = Trace(op, start), e = Trace(op, end);
  const double pages = op.opHeader->GetIndexPageCount(), keys = op.opHeader->GetIndexKeyCount();
  const int32_t h = int32_t(s.size()) - 1;
  if (int32_t(e.size()) - 1 != h)
    throw EmvBaseIndexEngineException(MVERR_FILECORRUPT, u"Leaves of index \"%s\" lie at different depths",
                                      {bieIndexName});
  const double maxLeaf = ieMaxLeafNodeKeyCount, maxInternal = ieMaxInternalNodeKeyCount;
  // 4. The average fill of a leaf. A divisor that is not positive, or a
  // fill that does not settle within 50 rounds, means counts that do not
  // fit the tree: the index's own key count is the answer then.
  auto exact = [&] { aRecordCount = int64_t(keys); };
  double fill;
  const double a = h >= 2 ? s.back().Count + 1 : 0;
  if (h == 0) {
    fill = keys / maxLeaf;
  } else if (h == 1) {
    if (pages - 1 <= 0) return exact();
    fill = keys / ((pages - 1) * maxLeaf);
  } else if (h == 2) {
    if (pages - a - 1 <= 0) return exact();
    fill = keys / ((pages - a - 1) * maxLeaf);
  } else {
    double c = 0.5;
    bool settled = false;
    fill = 0;
    for (int round = 0; round < 50 && !settled; ++round) {
      double n = a + 1, g = a + 1;
      for (int32_t i = 0; i < h - 2; ++i) {
        g *= c * (maxInternal + 1);
        n += g;
      }
      if (pages - n <= 0 || a <= 0) return exact();
      const double m = std::pow((pages - n) / a, 1.0 / (h - 1)) / (maxInternal + 1);
      if (!(m > 0) || !std::isfinite(m)) return exact();
      if (std::fabs(c - m) < 0.0001) {
        fill = keys / (m * g * maxLeaf * (maxInternal + 1));
        settled = true;
      } else {
        c = m;
      }
    }
    if (!settled) return exact();
  }
  // 5. Level by level from the leaves up: the entries between the two
  // paths (In) and outside them (Out), weighted by what an entry stands for.
  double in = 2, out = 0, weight = 1;
  for (int32_t level = 0; level <= h; ++level) {
    const TTraceLevel& p = s[size_t(level)];
    const TTraceLevel& q = e[size_t(level)];
    const double d = level == 0 ? 0 : 1;
    if (p.Block != q.Block)
      in += weight * ((p.First + p.Count - p.Slot) + (q.Slot - q.First + d));
    else if (q.Slot > p.Slot)
      in += weight * (q.Slot - p.Slot);
    out += weight * ((p.Slot - p.First + d) + (q.First + q.Count - q.Slot));
    weight *= level == 0 ? fill * maxLeaf : fill * maxInternal;
  }
  // 6. The share of the keys.
  const double estimate = in * keys / (in + out);
  aRecordCount = std::isfinite(estimate) && estimate > 0 ? int64_t(estimate) : 0;
}
