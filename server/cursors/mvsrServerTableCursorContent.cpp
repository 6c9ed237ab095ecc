// Server engine: how a table cursor reaches its table's content: content
// locks, the transaction-state check, table locks, named streams, LSNs and
// the cache-table indexes with the graveyard. See mvsrServerTableCursor.h.
#include <algorithm>
#include <memory>

#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllUtils.h"
#include "platform/Numeric.h"
#include "server/cursors/mvsrServerTableCursor.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "server/mvsrServerEngine.h"
#include "server/tables/mvsrServerTable.h"
#include "server/transactions/mvsrServerTransContext.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "server/transactions/mvsrTransactionLevelTableLink.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/streams/mvseStreamEngine.h"

namespace {

using TLink = TmvServerTransactionLevelTableLink;

uint32_t Code(int32_t aCode) { return EmvBaseException::mvSetMessage(aCode, String()); }

// An 8-byte key of the graveyard indexes, made and freed by its key engine.
class TInt64Key {
 public:
  TInt64Key(TmvBaseIndexEngine* aIndex, int64_t aValue) : fKeys(aIndex->KeyEngine()), fKey(fKeys->AllocKey()) {
    uint8_t image[8];
    StoreLE64(image, uint64_t(aValue));
    if (uint32_t code = fKeys->BuildKey(image, fKey, 0, true)) {
      fKeys->FreeKey(fKey);
      throw EmvServerEngineException(int64_t(code));
    }
  }
  ~TInt64Key() { fKeys->FreeKey(fKey); }
  TInt64Key(const TInt64Key&) = delete;
  TInt64Key& operator=(const TInt64Key&) = delete;
  void* Get() const { return fKey; }

 private:
  TmvBaseKeyEngine* fKeys;
  void* fKey;
};

// The context's access to table cursors.
class TTableCursors : public TmvTransactionCursors {
 public:
  TmvServerTransContext* ContextOf(TmvAbstractCursor* aCursor) override {
    auto* cursor = dynamic_cast<TmvServerTableCursor*>(aCursor);
    return cursor ? dynamic_cast<TmvServerTransContext*>(cursor->_Trans()) : nullptr;
  }
  uint32_t BeginContentLock(TmvAbstractCursor* aCursor, bool aExclusive) override {
    auto* cursor = dynamic_cast<TmvServerTableCursor*>(aCursor);
    if (!cursor) return Code(MVERR_INVALIDHNDL);
    return cursor->sbcBeginContentLock(aExclusive, false, false);
  }
};
TTableCursors gTableCursors;
TmvTransactionCursors* gPreviousCursors = nullptr;

}  // namespace

void mvsrServerTableCursorInit() { gPreviousCursors = mvSetTransactionCursors(&gTableCursors); }

void mvsrServerTableCursorFini() { mvSetTransactionCursors(gPreviousCursors); }

// ---------------------------------------------------------------------------
// Content locks

void TmvServerTableCursor::JoinLink(TLink* aLink) {
  if (stcTransLink == aLink) return;
  if (stcTransLink) stcTransLink->RemoveCursor(this);
  aLink->AddCursor(this);
}

uint32_t TmvServerTableCursor::AwaitLink(TLink* aLink) {
  const uint32_t result = aLink->WaitFor();
  TmvPadlockGuard guard(&Root()->srtTransLinksPadlock);
  if (result != 0) {
    const uint32_t code = sbcLockFailureError(result);
    delete aLink;
    return code;
  }
  JoinLink(aLink);
  return 0;
}

uint32_t TmvServerTableCursor::sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal) {
  try {
    if (aExclusive && sbcIsReadOnly && !aInternal) return sbcReadOnlyError();
    TmvServerRootTable* root = Root();
    TmvServerTransaction* trans = stcTrans();
    TLink* link;
    {
      TmvPadlockGuard guard(&root->srtTransLinksPadlock);
      link = stcTransLink;
      if (!link && trans && (link = trans->stFindLink(root->rtlTransLinkKey()))) link->AddCursor(this);
    }
    if (!link && !trans) {
      if (aExclusive) return Code(MVERR_NOACTIVETRAN);
      if (stcShareMode != smExclusive) {
        root->srtContentPortal.BeginRead();
        ++stcPortalReads;
      }
      return 0;
    }
    if (link) {
      if (int32_t state = link->Transaction()->CheckState()) return Code(state);
      if (!aExclusive || link->ttlExclusive) return 0;
      if (link->ttlSnapshot) return Code(MVERR_TABLEREADONLY);
      TLink* upgrade = nullptr;
      TmvServerTransactionLevel* deadlocked = nullptr;
      {
        TmvPadlockGuard guard(&root->srtTransLinksPadlock);
        if (link->ttlConvertTo) {
          JoinLink(link->ttlConvertTo);
          return 0;
        }
        if (root->srtOnlyGrantedLink(link) && link->ttlTransactionLevel == link->Transaction()->InnermostLevel()) {
          link->ttlExclusive = true;
          return 0;
        }
        if (root->srtTransLinksPendingUpgrade) {
          deadlocked = link->ttlTransactionLevel;
        } else {
          upgrade = TLink::Create(link->Transaction()->InnermostLevel(), root, true, link, sbcLockFailureReason);
          if (upgrade->ttlState < ttlsGranted && !aConditional) upgrade->ttlEvent = new TmvEvent;
        }
      }
      if (deadlocked) {
        // Outside the padlock: the rollback takes the padlocks of every
        // table the transaction holds.
        link->Transaction()->stDeadlockRollback(deadlocked);
        return Code(MVERR_DEADLOCK);
      }
      return AwaitLink(upgrade);
    }
    if (int32_t state = trans->CheckState()) return Code(state);
    TLink* created;
    {
      TmvPadlockGuard guard(&root->srtTransLinksPadlock);
      created = TLink::Create(trans->InnermostLevel(), root, aExclusive, nullptr, sbcLockFailureReason);
      if (created->ttlState < ttlsGranted && !aConditional) created->ttlEvent = new TmvEvent;
    }
    return AwaitLink(created);
  } catch (...) {
    return asoConvertException();
  }
}

void TmvServerTableCursor::sbcEndContentLock() {
  if (stcShareMode == smExclusive || stcTransLink || stcTrans() || stcPortalReads == 0) return;
  --stcPortalReads;
  Root()->srtContentPortal.EndRead();
}

uint32_t TmvServerTableCursor::sbcCheckTransactionState() {
  TmvServerTransaction* trans = stcTrans();
  if (!trans) return 0;
  if (trans->IsSnapshot()) {
    constexpr TmvFileAttributes kKinds = mvFileAttr(mvfaTemporary) | mvFileAttr(mvfaMemTable);
    TmvServerRootTable* root = Root();
    const TmvFileAttributes kind = root->FileCount() > 0 ? root->File(0)->fiAttributes & kKinds : 0;
    if (kind != mvFileAttr(mvfaTemporary)) return Code(MVERR_TABLEREADONLY);
  }
  return uint32_t(trans->CheckState());
}

// ---------------------------------------------------------------------------
// Table locks

TmvLockPresent TmvServerTableCursor::sbcTableIsLocked(TmvLockType aLockType) {
  if (aLockType == mvltNoLock) return lpNotAtAll;
  const int32_t held =
      aLockType == mvltReadLock ? stcTable->sbtLocks.IsReadLocked(this) : stcTable->sbtLocks.IsWriteLocked(this);
  return held == 0 ? lpNotAtAll : held == 1 ? lpYesByUs : lpYesByAnother;
}

uint32_t TmvServerTableCursor::sbcTableLockAcquire(TmvLockType aLockType) {
  if (aLockType == mvltNoLock) return 0;
  try {
    const TmvLockResult result =
        aLockType == mvltReadLock
            ? stcTable->sbtLocks.GetReadLock(stcTrans(), this, false, sbcLockFailureReason)
            : stcTable->sbtLocks.GetWriteLock(stcTrans(), this, false, sbcLockFailureReason);
    if (result >= lrConflictUnknown) return sbcLockFailureError(MVERR_FILELOCKED);
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerTableCursor::sbcTableLockRelease(TmvLockType aLockType, bool aAllLocks) {
  if (aAllLocks)
    stcTable->sbtLocks.ClearCursorLocks(this);
  else if (aLockType == mvltReadLock)
    stcTable->sbtLocks.ReleaseReadLock(this);
  else if (aLockType == mvltWriteLock)
    stcTable->sbtLocks.ReleaseWriteLock(this);
  return 0;
}

// ---------------------------------------------------------------------------
// Named streams

uint32_t TmvServerTableCursor::CheckStreamName(const String& aName, bool aInternal) {
  return mvValidateIdentifier(aName, uint32_t(MVERR_INVALIDNAME), false, aInternal);
}

uint32_t TmvServerTableCursor::sbcTableStreamGetList(TStrings* aStreams, bool aInternal) {
  aStreams->Clear();
  TmvBaseStreamEngine* streams = Root()->StreamEngine();
  if (!streams) return Code(MVERR_NOTSUPPORTED);
  const uint32_t result = Shared([&]() -> uint32_t {
    return uint32_t(streams->GetNamedStreamList(stcTrans(), *aStreams));
  });
  if (result != 0) {
    aStreams->Clear();
    return result;
  }
  for (int32_t i = aStreams->Count() - 1; i >= 0; --i) {
    const String name = aStreams->Get(i);
    const bool internal = !name.empty() && name[0] == u'$';
    if ((internal && !aInternal) || mvValidateIdentifier(name, uint32_t(MVERR_INVALIDNAME), false, true) != 0)
      aStreams->Delete(i);
  }
  return 0;
}

uint32_t TmvServerTableCursor::sbcTableStreamRead(const String& aName, TStream* aStream, bool aInternal) {
  if (uint32_t code = CheckStreamName(aName, aInternal)) return code;
  TmvBaseStreamEngine* streams = Root()->StreamEngine();
  if (!streams) return Code(MVERR_NOTSUPPORTED);
  return Shared([&]() -> uint32_t { return uint32_t(streams->ReadNamedStream(stcTrans(), aName, *aStream)); });
}

uint32_t TmvServerTableCursor::sbcTableStreamWrite(const String& aName, TStream* aStream, bool aInternal) {
  return StreamChange(aName, aInternal, [&](TmvBaseTransaction* aTrans) {
    return Root()->StreamEngine()->WriteNamedStream(aTrans, aName, *aStream);
  });
}

uint32_t TmvServerTableCursor::sbcTableStreamDelete(const String& aName, bool aInternal) {
  return StreamChange(aName, aInternal,
                      [&](TmvBaseTransaction* aTrans) { return Root()->StreamEngine()->DeleteNamedStream(aTrans, aName); });
}

uint32_t TmvServerTableCursor::StreamChange(const String& aName, bool aInternal,
                                            const std::function<int32_t(TmvBaseTransaction*)>& aWork) {
  if (uint32_t code = CheckStreamName(aName, aInternal)) return code;
  if (!Root()->StreamEngine()) return Code(MVERR_NOTSUPPORTED);
  TmvServerTransContext* context = Context();
  if (!context) return Code(MVERR_NOTSUPPORTED);
  if (uint32_t code = sbcCheckTransactionState()) return code;
  uint32_t result = 0;
  bool newIntent = false;
  try {
    // The write intent: other cursors' writes wait while this one works.
    const TmvLockResult intent =
        stcTable->sbtLocks.GetRecordLock(stcTrans(), this, stcSelfRefNr, false, sbcLockFailureReason);
    if (intent >= lrConflictUnknown) return sbcLockFailureError(MVERR_FILELOCKED);
    newIntent = intent == lrGrantedNew;
    const bool overrideSecurity = IsResultSet || IsUnnamed || aInternal;
    result = context->stcTransactionStart(false, false, false, true, true, overrideSecurity);
    if (result == 0) {
      result = sbcBeginContentLock(true, false, aInternal);
      if (result == 0) {
        try {
          result = uint32_t(aWork(stcTrans()));
        } catch (...) {
          result = asoConvertException();
        }
      }
      if (result == 0) {
        result = context->stcTransactionCommit();
      } else if (uint32_t rolledBack = context->stcTransactionRollback()) {
        mvServerLogError(u"Rolling back a named stream change failed with " + mvIntToStr(int32_t(rolledBack)));
      }
    }
  } catch (...) {
    result = asoConvertException();
  }
  if (newIntent) stcTable->sbtLocks.ReleaseRecordLock(this, stcSelfRefNr, nullptr);
  return result;
}

// ---------------------------------------------------------------------------
// LSNs

bool TmvServerTableCursor::GetNextLSN(TmvLSN& aLSN) {
  TmvServerTransaction* trans = stcTrans();
  if (!trans) return false;
  aLSN = trans->TransBufferManager()->NextLSN();
  trans->RaiseLSN(aLSN);
  return true;
}

TmvLSN TmvServerTableCursor::stcGetCurrentLSN() { return stcTable ? stcTable->sbtCurrentLSN(stcTrans()) : 0; }

String TmvServerTableCursor::sbcExtractPassword() { return stcTable ? Root()->ExtractPassword() : String(); }

// ---------------------------------------------------------------------------
// The cache-table indexes

bool TmvServerTableCursor::FindRecordKey(TmvBaseIndexEngine* aIndex, TmvBaseIndexPath* aPath, const void* aRecord,
                                         TmvRefNr aRefNr) {
  TmvBaseKeyEngine* keys = aIndex->KeyEngine();
  struct TKey {
    TmvBaseKeyEngine* Keys;
    void* Key;
    ~TKey() { Keys->FreeKey(Key); }
  } key{keys, keys->AllocKey()};
  if (uint32_t code = keys->BuildKey(aRecord, key.Key, aRefNr, true)) throw EmvServerEngineException(int64_t(code));
  return aIndex->FindKey(stcTrans(), key.Key, 0, 0, 0, aPath, skaAnyEqual, nullptr) != 0 && aPath->IsOnKey();
}

uint32_t TmvServerTableCursor::ContainsLSNRefNr(TmvLSN& aLSN, TmvRefNr& aRefNr) {
  if (aLSN == 0 && aRefNr == 0) return Code(MVERR_NOCURRREC);
  if ((aLSN == 0 || !stcLSNIndexPath) && (aRefNr == 0 || !stcRefNrIndexPath)) return Code(MVERR_NOASSOCINDEX);
  return atoLockedCall([&] { return stcContainsLSNRefNr(aLSN, aRefNr); });
}

uint32_t TmvServerTableCursor::stcContainsLSNRefNr(TmvLSN& aLSN, TmvRefNr& aRefNr) {
  if (sbcIsWriteOnly) return sbcWriteOnlyResult ? sbcWriteOnlyError() : Code(MVERR_NOTSUFFTABLERIGHTS);
  const int32_t lsnField = acSFI ? acSFI->sfiFields[sftModifyLSN] : -1;
  if (!sbcRecordBuffer2) sbcRecordBuffer2 = mvGetZeroedMemPtr(size_t(acRecordLength) + 4);
  TmvFieldsDescriptor* fields = FieldsDescriptor();
  if (aLSN != 0 && stcLSNIndexPath) {
    return Shared([&]() -> uint32_t {
      fields->InitRecord(sbcRecordBuffer2);
      const int64_t value = int64_t(aLSN);
      fields->SetRecordField(lsnField, sbcRecordBuffer2, &value);
      if (!FindRecordKey(stcLSNIndexEngine, stcLSNIndexPath, sbcRecordBuffer2, 0))
        return Code(MVERR_RECNOTFOUND);
      const TmvRefNr ref = IsCache() ? stcLSNIndexPath->CacheRefNr : stcLSNIndexPath->RefNr;
      if (aRefNr == 0) {
        aRefNr = ref;
        return 0;
      }
      return ref == aRefNr ? 0 : Code(MVERR_KEYORRECDELETED);
    });
  }
  return Shared([&]() -> uint32_t {
    if (!FindRecordKey(stcRefNrIndexEngine, stcRefNrIndexPath, sbcRecordBuffer2, aRefNr))
      return Code(MVERR_RECNOTFOUND);
    stcTable->RecordEngine()->ReadRecord(stcTrans(), stcRefNrIndexPath->RefNr, static_cast<uint8_t*>(sbcRecordBuffer2));
    if (lsnField < 0 || fields->IsRecordFieldNull(lsnField, sbcRecordBuffer2)) return 0;
    bool isNull = false;
    int64_t stored = 0;
    fields->GetRecordField(lsnField, sbcRecordBuffer2, isNull, &stored);
    if (aLSN == 0) {
      aLSN = TmvLSN(stored);
      return 0;
    }
    return TmvLSN(stored) == aLSN ? 0 : Code(MVERR_KEYORRECDELETED);
  });
}

uint32_t TmvServerTableCursor::GraveyardError(bool aAdding) {
  return EmvBaseException::mvSetMessage(
      MVERR_TRANSACTIONCORRUPT,
      aAdding ? u"The graveyard is corrupted. Could not add deleted RefNr and LSN to graveyard."
              : u"The graveyard is corrupted. Could not remove previously deleted RefNr and LSN from graveyard.");
}

uint32_t TmvServerTableCursor::stcRecordBury(TmvRefNr aRefNr, const void*) {
  if (!HasGraveyard()) return 0;
  try {
    TmvBaseTransaction* trans = stcTrans();
    TmvLSN lsn = 0;
    if (GetNextLSN(lsn)) {
      TInt64Key key(stcGraveyardLSNIndexEngine, int64_t(lsn));
      if (!stcGraveyardLSNIndexEngine->InsertKey(trans, key.Get(), aRefNr, 0, stcGraveyardLSNIndexPath))
        return GraveyardError(true);
    }
    TInt64Key key(stcGraveyardRefNrIndexEngine, int64_t(aRefNr));
    if (!stcGraveyardRefNrIndexEngine->InsertKey(trans, key.Get(), TmvRefNr(lsn), 0, stcGraveyardRefNrIndexPath))
      return GraveyardError(true);
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerTableCursor::stcRecordResurrect(TmvRefNr aRefNr, const void*) {
  if (!HasGraveyard()) return 0;
  try {
    TmvBaseTransaction* trans = stcTrans();
    TInt64Key ref(stcGraveyardRefNrIndexEngine, int64_t(aRefNr));
    if (!stcGraveyardRefNrIndexEngine->FindKey(trans, ref.Get(), 0, 0, 0, stcGraveyardRefNrIndexPath, skaAnyEqual,
                                               nullptr) ||
        !stcGraveyardRefNrIndexPath->IsOnKey())
      return 0;
    const TmvLSN lsn = TmvLSN(stcGraveyardRefNrIndexPath->RefNr);
    if (!stcGraveyardRefNrIndexEngine->DeleteKey(trans, ref.Get(), TmvRefNr(lsn), 0, stcGraveyardRefNrIndexPath))
      return GraveyardError(false);
    if (lsn == 0) return 0;
    TInt64Key byLSN(stcGraveyardLSNIndexEngine, int64_t(lsn));
    if (!stcGraveyardLSNIndexEngine->FindKey(trans, byLSN.Get(), 0, 0, 0, stcGraveyardLSNIndexPath, skaAnyEqual,
                                             nullptr) ||
        !stcGraveyardLSNIndexEngine->DeleteKey(trans, byLSN.Get(), aRefNr, 0, stcGraveyardLSNIndexPath))
      return GraveyardError(false);
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerTableCursor::GetDeletedRecords(TmvLSN aFromLSN, std::vector<TmvRecordCacheInfo>& aCacheInfos,
                                                 int32_t aMaxCount, TmvLSN* aCurrentLSN) {
  aCacheInfos.clear();
  if (aCurrentLSN) *aCurrentLSN = 0;
  // A maximum below 1 would leave no room to collect into.
  if (aMaxCount < 1) return Code(MVERR_INVALIDPARAM);
  return atoLockedCall([&] { return stcGetDeletedRecords(aFromLSN, aCacheInfos, aMaxCount, aCurrentLSN); });
}

uint32_t TmvServerTableCursor::stcGetDeletedRecords(TmvLSN aFromLSN, std::vector<TmvRecordCacheInfo>& aCacheInfos,
                                                    int32_t aMaxCount, TmvLSN* aCurrentLSN) {
  aCacheInfos.clear();
  if (aCurrentLSN) *aCurrentLSN = 0;
  if (aMaxCount < 1) return Code(MVERR_INVALIDPARAM);
  if (sbcIsWriteOnly) return sbcWriteOnlyResult ? sbcWriteOnlyError() : Code(MVERR_NOTSUFFTABLERIGHTS);
  if (!stcGraveyardLSNIndexPath) return Code(MVERR_NOASSOCINDEX);
  bool more = false;
  const uint32_t result = Shared([&]() -> uint32_t {
    TmvRangeInfo start, end;
    std::unique_ptr<TInt64Key> from;
    if (aFromLSN != 0) {
      from = std::make_unique<TInt64Key>(stcGraveyardLSNIndexEngine, int64_t(aFromLSN));
      start.riKey = from->Get();
      start.riFieldCount = 1;
      start.riExclusive = true;
      start.riValid = true;
    }
    aCacheInfos.reserve(size_t(std::min(aMaxCount, 1048576)));
    uint8_t* data = nullptr;
    stcGraveyardLSNIndexEngine->Iterate(
        stcTrans(), stcGraveyardLSNIndexPath, data,
        [&](void*, TmvRefNr aRefNr, const uint8_t* aKey) {
          if (int32_t(aCacheInfos.size()) >= aMaxCount) {
            more = true;
            return kirStop;
          }
          aCacheInfos.push_back({aRefNr, TmvLSN(LoadLE64(aKey))});
          return kirSkipKey;
        },
        nullptr, nullptr, start, end, nullptr, nullptr, false);
    return 0;
  });
  if (result != 0) {
    aCacheInfos.clear();
    return result;
  }
  if (aCacheInfos.empty() && !more) return Code(MVERR_EOF);
  if (aCurrentLSN) *aCurrentLSN = more ? aCacheInfos.back().rciModifyLSN : stcGetCurrentLSN();
  return 0;
}
