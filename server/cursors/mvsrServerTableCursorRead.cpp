// Server engine: the table cursor's read side: the current record, next
// and prior through range and filters, lookups by key singly and in
// batches, iteration with callbacks, record counts, and the notification
// of the integrity engine and the extenders. See mvsrServerTableCursor.h.
//
// Every read holds the shared content lock for its duration; a read that
// asks for a lock takes a record lock in the table's lock container.
// Calls the index and record engines, the filters, the lock container and
// the background tasks (mvsrServerTasks.h).
#include <vector>

#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllUtils.h"
#include "platform/Numeric.h"
#include "server/cursors/mvsrServerTableCursor.h"
#include "server/mvsdServerLog.h"
#include "server/mvsrServerEngine.h"
#include "server/mvsrServerTasks.h"
#include "server/tables/mvsrServerTable.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "storage/mvsrRefIntegrityEngine.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/mvsrTimeoutHandling.h"

namespace {

uint32_t Code(int32_t aCode) { return EmvBaseException::mvSetMessage(aCode, String()); }

// The filter timeout of one navigation, ended on every path.
class TFilterTimeout {
 public:
  TFilterTimeout(TmvServerBaseCursor* aCursor, bool aActive, uint32_t* aKeyStop) : fCursor(aActive ? aCursor : nullptr) {
    if (fCursor) fCursor->sbcFilterBeginTimeout(aKeyStop);
  }
  ~TFilterTimeout() {
    if (fCursor) fCursor->sbcFilterEndTimeout();
  }
  TFilterTimeout(const TFilterTimeout&) = delete;
  TFilterTimeout& operator=(const TFilterTimeout&) = delete;

 private:
  TmvServerBaseCursor* fCursor;
};

bool EndsKeyBatch(uint32_t aCode) {
  return aCode == uint32_t(MVERR_LOCKTIMEOUT) || aCode == uint32_t(MVERR_FILTERTIMEOUT) ||
         aCode == uint32_t(MVERR_OPERATIONTIMEOUT);
}

}  // namespace

// ---------------------------------------------------------------------------
// Notifications

uint32_t TmvServerTableCursor::NotifyExtenders(TmvEngineAction aAction, bool aBefore, TmvActionArgs aArgs) {
  if (stcRefIntEngine) {
    std::vector<TVarRec> args;
    args.reserve(aArgs.size());
    for (const TmvActionArg& arg : aArgs) {
      if (const bool* b = std::get_if<bool>(&arg))
        args.emplace_back(int(*b));
      else if (const int64_t* n = std::get_if<int64_t>(&arg))
        args.emplace_back(static_cast<long long>(*n));
      else if (const String* s = std::get_if<String>(&arg))
        args.emplace_back(*s);
      else if (TPersistent* const* o = std::get_if<TPersistent*>(&arg))
        args.emplace_back(static_cast<const void*>(*o));
      else
        args.emplace_back(static_cast<const void*>(std::get<void*>(arg)));
    }
    uint32_t result;
    mvBeginTimeoutScope();
    try {
      result = stcRefIntEngine->Notify(aAction, aBefore, args);
    } catch (...) {
      result = asoConvertException();
    }
    mvEndTimeoutScope();
    if (result != 0) return result;
  }
  return TmvServerBaseCursor::NotifyExtenders(aAction, aBefore, aArgs);
}

// ---------------------------------------------------------------------------
// Record locks

uint32_t TmvServerTableCursor::LockRecord(TmvRefNr aRefNr, bool aConditional, uint32_t aConflictCode, bool& aNew) {
  aNew = false;
  const TmvLockResult result =
      stcTable->sbtLocks.GetRecordLock(stcTrans(), this, aRefNr, aConditional, sbcLockFailureReason);
  if (result >= lrConflictUnknown) return sbcLockFailureError(aConflictCode);
  aNew = result == lrGrantedNew;
  return 0;
}

uint32_t TmvServerTableCursor::sbcRecordIsLocked(TmvLockType, TmvLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  if (int32_t state = stcIndexPath->CheckCurrentState()) return Code(state);
  const int32_t held = stcTable->sbtLocks.IsRecordLocked(this, stcIndexPath->RefNr);
  aLockPresent = held == 0 ? lpNotAtAll : held == 1 ? lpYesByUs : lpYesByAnother;
  return 0;
}

uint32_t TmvServerTableCursor::sbcRecordLockRelease(bool aAllLocks, bool aCancelBlobs) {
  try {
    const bool cancel = aCancelBlobs && mvInSet(acCapabilities, accCancelBlobs);
    if (aAllLocks) {
      stcTable->sbtLocks.ClearRecordLocks(this);
      return cancel ? sbcBlobsCancel(0) : 0;
    }
    if (int32_t state = stcIndexPath->CheckCurrentState()) return Code(state);
    stcTable->sbtLocks.ReleaseRecordLock(this, stcIndexPath->RefNr, nullptr);
    if (!cancel) return 0;
    return sbcBlobsCancel(IsCache() && stcIndexPath->CacheRefNr != 0 ? stcIndexPath->CacheRefNr : stcIndexPath->RefNr);
  } catch (...) {
    return asoConvertException();
  }
}

// ---------------------------------------------------------------------------
// The current record

uint32_t TmvServerTableCursor::sbcRecordGet(TmvLockType aLockType, void* aData) {
  if (sbcIsWriteOnly) return sbcWriteOnlyResult ? sbcWriteOnlyError() : Code(MVERR_NOCURRREC);
  const bool wantLock = aLockType != mvltNoLock;
  bool locked = false, grantedNew = false;
  TmvRefNr lockedRefNr = 0;
  uint32_t result;
  try {
    if (wantLock && stcIndexPath->RefNr != 0) {
      if (int32_t state = stcIndexPath->CheckCurrentState()) return Code(state);
      lockedRefNr = stcIndexPath->RefNr;
      if (uint32_t code = LockRecord(lockedRefNr, false, MVERR_RECLOCKED, grantedNew)) return code;
      locked = true;
    }
    result = Shared([&]() -> uint32_t {
      TmvBaseTransaction* trans = stcTrans();
      if (stcIndexEngine) stcIndexEngine->ValidateIndexPath(trans, stcIndexPath);
      stcPutPathInRange();
      if (int32_t state = stcIndexPath->CheckCurrentState()) return Code(state);
      if (wantLock) {
        if (locked) {
          if (stcIndexPath->RefNr != lockedRefNr) return Code(MVERR_NOCURRREC);
        } else {
          if (stcIndexPath->RefNr == 0) return Code(MVERR_NOCURRREC);
          lockedRefNr = stcIndexPath->RefNr;
          if (uint32_t code = LockRecord(lockedRefNr, false, MVERR_RECLOCKED, grantedNew)) return code;
        }
      }
      if (TmvBaseFilterEngine* keyFilter = ActiveKeyFilter())
        if (!stcIndexPath->KeyValid || !keyFilter->MatchesBuffer(stcIndexPath->Key)) return Code(MVERR_NOCURRREC);
      TmvBaseFilterEngine* filter = ActiveFilter();
      void* data = aData ? aData : filter ? sbcRecordBuffer : nullptr;
      if (!data) return 0;
      stcTable->RecordEngine()->ReadRecord(trans, stcIndexPath->RefNr, static_cast<uint8_t*>(data));
      if (filter) {
        sbcBeginReadOrgOverride();
        const bool matches = filter->MatchesBuffer(data);
        sbcEndReadOrgOverride();
        if (!matches) return Code(MVERR_NOCURRREC);
      }
      return NotifyExtenders(eaRecordGet, false,
                             {int64_t(aLockType), data, int64_t(stcIndexPath->RefNr)});
    });
  } catch (...) {
    result = asoConvertException();
  }
  if (result != 0 && grantedNew) stcTable->sbtLocks.ReleaseRecordLock(this, lockedRefNr, nullptr);
  return result;
}

// ---------------------------------------------------------------------------
// Next and prior

uint32_t TmvServerTableCursor::StepPath(bool aForward, void* aData, uint32_t& aKeyStop) {
  TmvBaseTransaction* trans = stcTrans();
  const uint32_t end = aForward ? MVERR_EOF : MVERR_BOF;
  auto atEnd = [&]() -> uint32_t {
    if (aForward)
      stcIndexPath->SetToEof();
    else
      stcIndexPath->SetToBof();
    return aKeyStop != 0 ? aKeyStop : Code(int32_t(end));
  };
  if (stcIndexEngine) {
    const bool moved = aForward ? stcIndexEngine->NextKey(trans, stcIndexPath, ActiveKeyFilter()) != 0
                                : stcIndexEngine->PrevKey(trans, stcIndexPath, ActiveKeyFilter()) != 0;
    if (!moved || !stcIndexPath->IsOnKey()) return atEnd();
    const TmvRangeInfo& stop = aForward ? stcRangeEnd : stcRangeStart;
    if (stop.riValid) {
      const int8_t c = KeyEngine()->CompareKey(stop.riKey, stcIndexPath->Key, stop.riFieldCount, stop.riPartitial);
      if ((aForward ? c < 0 : c > 0) || (c == 0 && stop.riExclusive)) return atEnd();
    }
    if (aData) stcTable->RecordEngine()->ReadRecord(trans, stcIndexPath->RefNr, static_cast<uint8_t*>(aData));
    return 0;
  }
  const TmvRefNr from = stcIndexPath->IsBof() || stcIndexPath->IsEof() ? 0 : stcIndexPath->RefNr;
  TmvRefNr next = 0;
  if (aForward)
    stcTable->RecordEngine()->ReadNextRecord(trans, from, next, static_cast<uint8_t*>(aData));
  else
    stcTable->RecordEngine()->ReadPrevRecord(trans, from, next, static_cast<uint8_t*>(aData));
  if (next == 0) return atEnd();
  stcIndexPath->RefNr = next;
  stcIndexPath->Position = ippOnKey;
  stcIndexPath->Deleted = false;
  return 0;
}

uint32_t TmvServerTableCursor::ReadStep(bool aForward, TmvLockType aLockType, void* aData) {
  TmvBaseFilterEngine* filter = ActiveFilter();
  const TmvRangeInfo& entry = aForward ? stcRangeStart : stcRangeEnd;
  const TmvRangeInfo& stop = aForward ? stcRangeEnd : stcRangeStart;
  if (!aData && (filter || stop.riValid)) aData = sbcRecordBuffer;
  uint32_t keyStop = 0;
  TFilterTimeout timeout(this, filter || ActiveKeyFilter(), &keyStop);
  TmvBaseTransaction* trans = stcTrans();
  if (stcIndexEngine && entry.riValid && (aForward ? stcIndexPath->IsBof() : stcIndexPath->IsEof())) {
    const TmvSearchKeyAction action = aForward ? (entry.riExclusive ? skaGreater : skaGreaterEqual)
                                               : (entry.riExclusive ? skaSmaller : skaSmallerEqual);
    const bool found = stcIndexEngine->FindKey(trans, entry.riKey, entry.riFieldCount, entry.riPartitial, 0,
                                               stcIndexPath, action, ActiveKeyFilter()) != 0;
    if (!found || stcIndexPath->IsEof() || stcIndexPath->IsBof()) {
      if (aForward)
        stcIndexPath->SetToEof();
      else
        stcIndexPath->SetToBof();
      return keyStop != 0 ? keyStop : Code(aForward ? MVERR_EOF : MVERR_BOF);
    }
    if (aForward)
      stcIndexPath->SetToCrackBefore();
    else
      stcIndexPath->SetToCrackAfter();
  }
  uint32_t result = StepPath(aForward, aData, keyStop);
  while (result == 0 && filter && !filter->MatchesBuffer(aData) && !sbcFilterCheckTimeout(result))
    result = StepPath(aForward, aData, keyStop);
  if (result != 0) return result;
  if (aLockType != mvltNoLock) {
    bool grantedNew = false;
    if (uint32_t code = LockRecord(stcIndexPath->RefNr, false, MVERR_RECLOCKED, grantedNew)) {
      // On the crack, so that the same read can be repeated.
      if (aForward)
        stcIndexPath->SetToCrackBefore();
      else
        stcIndexPath->SetToCrackAfter();
      return code;
    }
  }
  return NotifyExtenders(eaRecordGet, false, {int64_t(aLockType), aData, int64_t(stcIndexPath->RefNr)});
}

uint32_t TmvServerTableCursor::sbcRecordGetNext(TmvLockType aLockType, void* aData) {
  if (sbcIsWriteOnly) return sbcWriteOnlyResult ? sbcWriteOnlyError() : Code(MVERR_EOF);
  if (stcIndexPath->IsEof()) return Code(MVERR_EOF);
  return Shared([&] { return ReadStep(true, aLockType, aData); });
}

uint32_t TmvServerTableCursor::sbcRecordGetPrior(TmvLockType aLockType, void* aData) {
  if (sbcIsWriteOnly) return sbcWriteOnlyResult ? sbcWriteOnlyError() : Code(MVERR_BOF);
  if (stcIndexPath->IsBof()) return Code(MVERR_BOF);
  return Shared([&] { return ReadStep(false, aLockType, aData); });
}

// ---------------------------------------------------------------------------
// By key

uint32_t TmvServerTableCursor::FindForKey(int32_t aFieldCount, int32_t aPartialLen, void* aData, bool aMatchFirst,
                                          bool aFirstCall) {
  TmvBaseFilterEngine* filter = ActiveFilter();
  TmvBaseTransaction* trans = stcTrans();
  uint32_t keyStop = 0, result = 0;
  TFilterTimeout timeout(this, filter || ActiveKeyFilter(), &keyStop);
  for (bool first = aFirstCall;; first = false) {
    bool hit;
    if (first) {
      hit = stcIndexEngine->FindKey(trans, stcKeyBuffer, aFieldCount, aPartialLen, 0, stcIndexPath,
                                    aMatchFirst ? skaEqualFirst : skaEqualLast, ActiveKeyFilter()) != 0 &&
            stcIndexPath->KeyValid && stcIndexPath->IsOnKey();
    } else {
      hit = (aMatchFirst ? stcIndexEngine->NextKey(trans, stcIndexPath, ActiveKeyFilter())
                         : stcIndexEngine->PrevKey(trans, stcIndexPath, ActiveKeyFilter())) != 0 &&
            stcIndexPath->IsOnKey() &&
            KeyEngine()->CompareKey(stcKeyBuffer, stcIndexPath->Key, aFieldCount, aPartialLen) == 0;
    }
    if (hit && stcKeyInRange(stcIndexPath->Key) != 0) hit = false;
    if (!hit) {
      if (aMatchFirst)
        stcIndexPath->SetToEof();
      else
        stcIndexPath->SetToBof();
      return keyStop != 0 ? keyStop : Code(MVERR_RECNOTFOUND);
    }
    if (aData) stcTable->RecordEngine()->ReadRecord(trans, stcIndexPath->RefNr, static_cast<uint8_t*>(aData));
    if (filter && !filter->MatchesBuffer(aData)) {
      if (sbcFilterCheckTimeout(result)) return result;
      continue;
    }
    return NotifyExtenders(eaRecordGet, false, {int64_t(0), aData, int64_t(stcIndexPath->RefNr)});
  }
}

uint32_t TmvServerTableCursor::sbcRecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                                                  const void* aKeyData, void* aData, bool aMatchFirst,
                                                  bool aFirstCall) {
  if (sbcIsWriteOnly) return sbcWriteOnlyResult ? sbcWriteOnlyError() : Code(MVERR_RECNOTFOUND);
  if (uint32_t code = NeedIndex()) return code;
  try {
    if (uint32_t code = TakeKey(aDirectKey, aKeyData, stcKeyBuffer)) return code;
  } catch (...) {
    return asoConvertException();
  }
  if (!aData && ActiveFilter()) aData = sbcRecordBuffer;
  return Shared([&] { return FindForKey(aFieldCount, aPartialLen, aData, aMatchFirst, aFirstCall); });
}

// Entry layout of the batch stream: a 32-bit size, then the record, the
// bookmark (gboBookmarks) and the BLOB parts (gboBlobs); a failed key's
// entry is the size word 0x80000004 and its 32-bit error code.
uint32_t TmvServerTableCursor::sbcRecordGetForKeyBatch(uint32_t aCutoffSize, TmvRecordGetBatchExOptions aOptions,
                                                       TmvBatchStreamAccess*& aAccess,
                                                       const TmvDataSetKeyBuffers& aKeys, bool aMatchFirst,
                                                       bool aFirstCall) {
  aAccess = nullptr;
  if (sbcIsWriteOnly) return sbcWriteOnlyResult ? sbcWriteOnlyError() : Code(MVERR_RECNOTFOUND);
  if (uint32_t code = NeedIndex()) return code;
  uint32_t result = 0;
  try {
    result = Shared([&]() -> uint32_t {
      if (acSFI->sfiBlobFields.empty()) aOptions &= TmvRecordGetBatchExOptions(~(1u << gboBlobs));
      aAccess = CreateBatchStreamAccess(nullptr, aOptions);
      TmvMemoryStream& stream = *aAccess->Stream();
      stream.SetCapacity(aCutoffSize == uint32_t(INT32_MAX) ? mvBatchDefaultCapacity
                                                            : int32_t(std::min<uint32_t>(aCutoffSize, 64u << 20)));
      stream.SetSize(mvBatchHeaderSize);
      mvBatchWriteHeader(stream, 0, 0);
      uint32_t bookmarkSize = 0;
      if (mvInSet(aOptions, gboBookmarks)) sbcGetBookmarkSize(bookmarkSize);
      const uint32_t entrySize = acRecordLength + bookmarkSize;
      const int32_t allFields = KeyEngine()->GetFieldCount();
      uint32_t ending = aMatchFirst ? MVERR_EOF : MVERR_BOF;
      bool ended = false;
      int32_t count = 0;
      for (size_t i = 0; i < aKeys.size(); ++i) {
        TmvDataSetKeyBuffer* key = aKeys[i];
        const int64_t entry = stream.GetSize();
        stream.SetSize(entry + 4 + entrySize);
        StoreLE32(static_cast<uint8_t*>(stream.Memory()) + entry, entrySize);
        auto record = [&] { return static_cast<uint8_t*>(stream.Memory()) + entry + 4; };
        int32_t fieldCount = key->kbFieldCount != 0 ? key->kbFieldCount : allFields;
        if (key->kbPartialLen > 0) --fieldCount;
        uint32_t code = TakeKey(key->kbDirectKey, mvKeyBufferData(key), stcKeyBuffer);
        if (code == 0) code = FindForKey(fieldCount, key->kbPartialLen, record(), aMatchFirst, i == 0 ? aFirstCall : true);
        if (code == 0 && bookmarkSize != 0)
          code = IsCache() ? sbcGetBookmarkCache(record() + acRecordLength, bookmarkSize)
                           : sbcGetBookmark(record() + acRecordLength, bookmarkSize);
        if (code == 0 && mvInSet(aOptions, gboBlobs)) {
          uint32_t size = entrySize;
          code = sbcCopyBlobsToBatchStream(size, entry + 4, &stream, mvInSet(aOptions, gboBlobNrs),
                                           mvInSet(aOptions, gboBlobsOnlyMarked));
          if (size != entrySize) StoreLE32(static_cast<uint8_t*>(stream.Memory()) + entry, size);
        }
        if (code != 0 && EndsKeyBatch(code)) {
          stream.SetSize(entry);
          ending = code;
          ended = true;
          break;
        }
        if (code != 0) {
          stream.SetSize(entry + 8);
          StoreLE32(static_cast<uint8_t*>(stream.Memory()) + entry, mvBatchResultFlag | 4u);
          StoreLE32(static_cast<uint8_t*>(stream.Memory()) + entry + 4, code);
        }
        ++count;
        if (stream.GetSize() > int64_t(aCutoffSize)) {
          ended = true;
          ending = 0;
          break;
        }
      }
      (void)ended;
      mvBatchWriteHeader(stream, ending, count);
      return count > 0 ? 0 : ending;
    });
  } catch (...) {
    result = asoConvertException();
  }
  if (aAccess) aAccess->Reset(false);
  return result;
}

// ---------------------------------------------------------------------------
// Iteration

void TmvServerTableCursor::sbcIterate(void** aData, const TmvKeyIterator& aKeyIterator,
                                      const TmvRecordIterator& aRecIterator, bool aBackward, void* aCookie,
                                      bool aKeepPosition) {
  if (sbcIsWriteOnly) return;
  if (uint32_t code = sbcBeginContentLock(false, false, false)) throw EmvServerEngineException(int64_t(code));
  ++stcInUseCount;
  struct TEnd {
    TmvServerTableCursor* Cursor;
    ~TEnd() {
      --Cursor->stcInUseCount;
      Cursor->sbcEndContentLock();
    }
  } end{this};
  uint8_t* local = nullptr;
  uint8_t*& data = aData ? *reinterpret_cast<uint8_t**>(aData) : local;
  TmvBaseTransaction* trans = stcTrans();
  if (stcIndexEngine) {
    if (aBackward)
      stcIndexEngine->IterateBackward(trans, stcIndexPath, data, aKeyIterator, aRecIterator, aCookie, stcRangeStart,
                                      stcRangeEnd, ActiveFilter(), ActiveKeyFilter(), aKeepPosition);
    else
      stcIndexEngine->Iterate(trans, stcIndexPath, data, aKeyIterator, aRecIterator, aCookie, stcRangeStart,
                              stcRangeEnd, ActiveFilter(), ActiveKeyFilter(), aKeepPosition);
    return;
  }
  bool keep = aKeepPosition, skip = false;
  TmvRefNr refNr = stcIndexPath->RefNr;
  if (keep) {
    switch (stcIndexPath->Position) {
      case ippBof:
        if (aBackward) return;
        keep = false;
        break;
      case ippEof:
        if (!aBackward) return;
        keep = false;
        break;
      case ippOnCrackBefore: skip = aBackward; break;
      case ippOnCrackAfter: skip = !aBackward; break;
      case ippOnKey: break;
      default: keep = false; break;
    }
  }
  if (!keep) refNr = 0;
  TmvBaseRecordEngine* records = stcTable->RecordEngine();
  if (aBackward)
    records->IterateBackward(trans, refNr, data, aRecIterator, aCookie, ActiveFilter(), keep, skip);
  else
    records->Iterate(trans, refNr, data, aRecIterator, aCookie, ActiveFilter(), keep, skip);
  if (refNr != 0) {
    stcIndexPath->RefNr = refNr;
    stcIndexPath->Position = ippOnKey;
    stcIndexPath->Deleted = false;
  } else if (aBackward) {
    stcIndexPath->SetToBof();
  } else {
    stcIndexPath->SetToEof();
  }
}

// ---------------------------------------------------------------------------
// Counts

uint32_t TmvServerTableCursor::CountByWalking(TmvRecordCountOption aOption, uint32_t& aCount) {
  aCount = 0;
  if (uint32_t code = SavePath()) return code;
  TmvBaseFilterEngine* savedFilter = nullptr;
  TmvBaseFilterEngine* savedKeyFilter = nullptr;
  if (aOption <= rcoRangedKeyCount) {
    savedFilter = std::exchange(sbcFilter, nullptr);
    savedKeyFilter = std::exchange(sbcKeyFilter, nullptr);
  }
  sbcDisableFilterTimeout();
  uint32_t result = 0;
  try {
    stcIndexPath->SetToEof();
    uint32_t code = ReadStep(false, mvltNoLock, nullptr);
    if (code == uint32_t(MVERR_BOF)) {
      aCount = 0;
    } else if (code != 0) {
      result = code;
    } else {
      int32_t recNo = 0;
      if (sbcRecNoGet(recNo, false) == 0 && recNo > 0) {
        aCount = uint32_t(recNo);
      } else {
        stcIndexPath->SetToBof();
        uint32_t counted = 0;
        while ((code = ReadStep(true, mvltNoLock, nullptr)) == 0) ++counted;
        if (code == uint32_t(MVERR_EOF))
          aCount = counted;
        else
          result = code;
      }
    }
  } catch (...) {
    result = asoConvertException();
  }
  sbcEnableFilterTimeout();
  if (aOption <= rcoRangedKeyCount) {
    sbcFilter = savedFilter;
    sbcKeyFilter = savedKeyFilter;
  }
  RestorePath();
  return result;
}

uint32_t TmvServerTableCursor::sbcGetRecordCount(TmvRecordCountOption aOption, uint32_t& aRecCount, bool aEstimate) {
  aRecCount = 0;
  if (sbcIsWriteOnly) return sbcWriteOnlyResult ? sbcWriteOnlyError() : 0;
  return Shared([&]() -> uint32_t {
    TmvBaseTransaction* trans = stcTrans();
    const bool filtered = ActiveFilter() || ActiveKeyFilter();
    if (aOption == rcoTotalRecordCount || !stcIndexEngine) {
      if ((aOption == rcoServerFilteredKeyCount || aOption == rcoClientFilteredKeyCount) && filtered)
        return CountByWalking(aOption, aRecCount);
      stcTable->RecordEngine()->GetRecordCount(trans, aRecCount);
      return 0;
    }
    const bool restricted = stcRangeStart.riValid || stcRangeEnd.riValid || filtered;
    if (aOption >= rcoRangedKeyCount && restricted) {
      if (!aEstimate) return CountByWalking(aOption, aRecCount);
      int64_t estimate = 0;
      stcIndexEngine->EstimateRecordCount(trans, stcRangeStart, stcRangeEnd, estimate, false);
      aRecCount = uint32_t(std::max<int64_t>(0, std::min<int64_t>(estimate, UINT32_MAX)));
      return 0;
    }
    stcIndexEngine->GetKeyCount(trans, aRecCount);
    return 0;
  });
}

uint32_t TmvServerTableCursor::GetRecordCountExAsync(TmvRecordCountOption aOption, TmvAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  mvSetOperationDeadline(GetTimeout(), false);
  ImvSimpleLock* lock = GetLock();
  uint32_t result = 0;
  try {
    lock->Lock();
  } catch (...) {
    return asoConvertException();
  }
  bool sessionLocked = true;
  bool contentLocked = false;
  try {
    if (sbcIsWriteOnly) {
      result = sbcWriteOnlyResult ? sbcWriteOnlyError() : 0;
      aTaskInfo = TmvServerDoNothingTaskInfo::CreateFinished(Session(), 0);
    } else {
      result = sbcBeginContentLock(false, false, false);
      if (result == 0) {
        contentLocked = true;
        TmvBaseTransaction* trans = stcTrans();
        const bool filtered = ActiveFilter() || ActiveKeyFilter();
        uint32_t quick = 0;
        bool background;
        if (stcIndexEngine && aOption != rcoTotalRecordCount) {
          stcIndexEngine->GetKeyCount(trans, quick);
          background = aOption >= rcoRangedKeyCount && (stcRangeStart.riValid || stcRangeEnd.riValid || filtered);
        } else {
          stcTable->RecordEngine()->GetRecordCount(trans, quick);
          background = aOption > rcoRangedKeyCount && filtered;
        }
        if (!background) {
          aTaskInfo = TmvServerDoNothingTaskInfo::CreateFinished(Session(), quick);
        } else {
          // The task takes the session lock itself.
          sessionLocked = false;
          uint32_t unlocked = 0;
          lock->Unlock(unlocked);
          aTaskInfo = TmvServerGetRecCountTaskInfo::Start(aOption, quick, this);
        }
      }
    }
  } catch (...) {
    result = asoConvertException();
  }
  if (contentLocked) sbcEndContentLock();
  if (sessionLocked) {
    try {
      lock->Unlock(result);
    } catch (...) {
      result = asoConvertException();
    }
  }
  return result;
}
