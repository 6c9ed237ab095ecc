// Server engine: the table cursor's write side: insert (with the
// modify-if-found variant), modify and delete of the current record, batch
// insert from a record-batch stream, and auto-increment values. See
// mvsrServerTableCursor.h.
//
// The order of the steps is a contract: the integrity engine, the
// extenders and the BLOB handler see every insert, modify and delete in the
// same order. A write works in a transaction level of its own when the
// cursor asks for nesting (or there is no transaction); inside the
// caller's transaction, a failure after the record was written is undone
// by hand, and a failure after the keys were changed marks the caller's
// transaction corrupted, since the keys cannot be put back safely here.
// Calls the record, indices, auto-increment, full-text and BLOB engines,
// the default-value and validation handlers, the lock container and the
// transaction context.
#include <cstring>
#include <vector>

#include "dictionary/filters/mvsdDefaultValueEngines.h"
#include "dictionary/filters/mvsdValidationEngine.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllUtils.h"
#include "platform/Numeric.h"
#include "server/cursors/mvsrServerTableCursor.h"
#include "server/mvsdServerLog.h"
#include "server/mvsrServerEngine.h"
#include "server/tables/mvsrServerTable.h"
#include "server/transactions/mvsrServerTransContext.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "storage/blobs/mvseBlobEngine.h"
#include "storage/blobs/mvseBlobHandler.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/mvsrFulltextEngine.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/records/mvseRecordEngine.h"

namespace {

uint32_t Code(int32_t aCode) { return EmvBaseException::mvSetMessage(aCode, String()); }

// The texts that follow "Record lock failed." for a record out of sight.
const char16_t* const kInvisibleTexts[] = {
    u"", u" Record outside current range. Record not inserted",
    u" Record does not match active filter. Record not inserted",
    u" Record does not match active key filter. Record not inserted",
    u" Record does not match filter on conditional index. Record not inserted"};

int64_t Int64Of(TmvFieldsDescriptor* aFields, int32_t aField, const void* aRecord) {
  if (aField < 0 || aFields->IsRecordFieldNull(aField, aRecord)) return 0;
  bool isNull = false;
  int64_t value = 0;
  aFields->GetRecordField(aField, aRecord, isNull, &value);
  return value;
}

// What a write must undo or release at its end, whatever path it took.
struct TWriteState {
  bool NewIntent = false;
  bool Own = false;
  bool ContentLocked = false;
  bool PathSaved = false;
  bool RecordWritten = false;
  bool KeysChanged = false;
  bool RolledBack = false;
  bool LockNew = false;
  bool Locked = false;
  TmvRefNr LockedRefNr = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// Shared steps

uint32_t TmvServerTableCursor::WriteIntent(bool& aNew) {
  aNew = false;
  if (stcShareMode == smExclusive) return 0;
  const TmvLockResult intent =
      stcTable->sbtLocks.GetRecordLock(stcTrans(), this, stcSelfRefNr, false, sbcLockFailureReason);
  if (intent >= lrConflictUnknown) return sbcLockFailureError(MVERR_FILELOCKED);
  aNew = intent == lrGrantedNew;
  return 0;
}

uint32_t TmvServerTableCursor::StartOwnLevel(bool aBlobTest, bool& aOwn) {
  TmvServerTransaction* trans = stcTrans();
  aOwn = sbcUseNestedTransaction || (aBlobTest && stcBlobHandler && stcBlobHandler->NeedNested()) || !trans ||
         trans->stForceNested > 0;
  if (!aOwn) return 0;
  TmvServerTransContext* context = Context();
  if (!context) return Code(MVERR_NOTSUPPORTED);
  const uint32_t result = context->stcTransactionStart(false, false, false, !sbcUseNestedTransaction, false,
                                                       IsResultSet || IsUnnamed);
  if (result != 0) aOwn = false;
  return result;
}

uint32_t TmvServerTableCursor::EndOwnLevel(bool aOwn, uint32_t aResult) {
  if (!aOwn) return aResult;
  TmvServerTransContext* context = Context();
  if (aResult == 0) {
    aResult = context->stcTransactionCommit();
    if (aResult == 0) return 0;
  }
  if (uint32_t rolledBack = context->stcTransactionRollback())
    mvServerLogError(u"Rolling back a record write failed with " + IntToStr(int32_t(rolledBack)));
  return aResult;
}

void TmvServerTableCursor::MarkCorrupted() {
  if (TmvServerTransContext* context = Context())
    if (uint32_t code = context->stcTransactionMarkCorrupted())
      mvServerLogError(u"Marking a transaction corrupted failed with " + IntToStr(int32_t(code)));
}

int32_t TmvServerTableCursor::Invisible(const void* aRecord) {
  if (stcIndexEngine) {
    const uint32_t built = KeyEngine()->BuildKey(aRecord, stcKeyBuffer, 0, false);
    if (built == 1) return 4;
    if (built != 0) throw EmvServerEngineException(int64_t(built));
    if (stcKeyInRange(stcKeyBuffer) != 0) return 1;
  }
  if (TmvBaseFilterEngine* filter = ActiveFilter())
    if (!filter->MatchesBuffer(aRecord)) return 2;
  if (TmvBaseFilterEngine* keyFilter = ActiveKeyFilter())
    if (stcIndexEngine && !keyFilter->MatchesBuffer(stcKeyBuffer)) return 3;
  return 0;
}

bool TmvServerTableCursor::PathHidden(const void* aRecord) {
  if (stcIndexEngine && stcIndexPath->KeyValid && stcKeyInRange(stcIndexPath->Key) != 0) return true;
  if (!stcIndexPath->IsOnKey()) return false;
  if (TmvBaseFilterEngine* filter = ActiveFilter())
    if (!filter->MatchesBuffer(aRecord)) return true;
  if (TmvBaseFilterEngine* keyFilter = ActiveKeyFilter())
    if (stcIndexPath->KeyValid && !keyFilter->MatchesBuffer(stcIndexPath->Key)) return true;
  return false;
}

// ---------------------------------------------------------------------------
// Insert

uint32_t TmvServerTableCursor::sbcRecordInsert(TmvLockType aLockType, TmvInsertOptions aInsertOptions, void* aData,
                                               int64_t* aAutoInc) {
  if (aAutoInc) *aAutoInc = -1;
  uint32_t result;
  if (ReadOnlyRefused(result)) return result;
  if ((result = sbcCheckTransactionState())) return result;
  auto* data = static_cast<uint8_t*>(aData);
  TmvFieldsDescriptor* fields = FieldsDescriptor();
  TmvBaseRecordEngine* records = stcTable->RecordEngine();
  TmvBaseIndicesEngine* indices = Indices();
  const bool wantLock = aLockType != mvltNoLock;
  const int32_t autoIncField = acSFI->sfiFields[sftAutoInc];
  TWriteState st;
  bool found = false, generated = false, keepLock = false;
  uint32_t previousCounter = 0;
  TmvRefNr refNr = 0;
  std::vector<uint8_t> old;
  auto nextLSN = [this](TmvLSN& aLSN) { return GetNextLSN(aLSN); };
  try {
    if ((result = WriteIntent(st.NewIntent))) return result;
    result = StartOwnLevel(true, st.Own);
    if (result == 0) {
      result = sbcBeginContentLock(true, false, false);
      st.ContentLocked = result == 0;
    }
    if (result == 0) {
      try {
        TmvBaseTransaction* trans = stcTrans();
        // 6. Defaults.
        if (DefaultValueHandler() && mvInSet(aInsertOptions, ioSetDefault))
          DefaultValueHandler()->SetDefaultValuesInsert(data);
        // 7. Modify-if-found, on a unique index only.
        if (mvInSet(aInsertOptions, ioModifyIfFound) && stcIndexEngine &&
            (!stcIndexEngine->Dups() || stcIndexEngine->DupsNullOnly()) &&
            KeyEngine()->BuildKey(data, stcKeyBuffer, 0, true) == 0 &&
            !(stcIndexEngine->DupsNullOnly() && KeyEngine()->KeyContainsNulls(stcKeyBuffer))) {
          SavePath();
          st.PathSaved = true;
          found = stcIndexEngine->FindKey(trans, stcKeyBuffer, 0, 0, 0, stcIndexPath, skaAnyEqual, nullptr) != 0 &&
                  stcIndexPath->IsOnKey();
        }
        if (found) {
          aInsertOptions &= TmvInsertOptions(~(1u << ioSetAutoInc));
          refNr = stcIndexPath->RefNr;
          if ((result = LockRecord(refNr, false, MVERR_RECLOCKFAILED, st.LockNew))) throw EmvServerEngineException(result);
          st.Locked = true;
          st.LockedRefNr = refNr;
          if (TmvBaseFilterEngine* keyFilter = ActiveKeyFilter())
            if (!keyFilter->MatchesBuffer(stcIndexPath->Key)) throw EmvServerEngineException(Code(MVERR_NOCURRREC));
          old.assign(size_t(acRecordLength) + 4, 0);
          records->ReadRecord(trans, refNr, old.data());
          if (TmvBaseFilterEngine* filter = ActiveFilter()) {
            sbcBeginReadOrgOverride();
            const bool matches = filter->MatchesBuffer(old.data());
            sbcEndReadOrgOverride();
            if (!matches) throw EmvServerEngineException(Code(MVERR_NOCURRREC));
          }
          stcTable->sbtPrepareModify(old.data(), data, refNr, true, nextLSN);
        }
        // 8. Auto-increment.
        if (!IsCache() && autoIncField >= 0 && mvInSet(aInsertOptions, ioSetAutoInc) && stcTable->AutoIncEngine() &&
            Int64Of(fields, autoIncField, data) == 0) {
          const uint32_t value = stcTable->AutoIncEngine()->NextAutoIncValue(trans, &previousCounter);
          generated = true;
          fields->SetRecordField(autoIncField, data, &value);
          if (aAutoInc) *aAutoInc = value;
        }
        // 9. The integrity engine and the extenders, before.
        result = found ? NotifyExtenders(eaRecordModify, true, {aData, static_cast<void*>(old.data()), false,
                                                                int64_t(refNr)})
                       : NotifyExtenders(eaRecordInsert, true, {int64_t(aLockType), aData, int64_t(0)});
        if (result) throw EmvServerEngineException(result);
        // 10. BLOBs, before.
        const int32_t insertLSNField = acSFI->sfiFields[sftInsertLSN];
        if (found) {
          const TmvRecID id{refNr, TmvLSN(Int64Of(fields, insertLSNField, old.data()))};
          result = stcBlobHandler->BeforeModify(trans, id, old.data(), data);
        } else {
          result = stcBlobHandler->BeforeInsert(trans, data);
        }
        if (result) throw EmvServerEngineException(result);
        // 11. Special fields of a new record.
        if (!found) stcTable->sbtPrepareInsert(data, nextLSN);
        // 12. Validation.
        if (ValidationsHandler() && mvInSet(aInsertOptions, ioValidate))
          ValidationsHandler()->ValidateRecord(found ? old.data() : nullptr, data);
        // 13. Visibility of a record to be locked.
        if (wantLock) {
          if (int32_t why = Invisible(data))
            throw EmvServerEngineException(
                EmvBaseException::mvSetMessage(MVERR_RECLOCKFAILED, mvOriginalMessageMarker() + kInvisibleTexts[why]));
        }
        // 14. The record.
        if (found)
          records->UpdateRecord(trans, refNr, data, nullptr);
        else
          records->AddRecord(trans, refNr, data);
        st.RecordWritten = true;
        // 15. The keys, the path on the record's key.
        if (!st.PathSaved) {
          SavePath();
          st.PathSaved = true;
        }
        if (indices) {
          TmvBaseIndexPath* path = stcIndexEngine ? stcIndexPath : nullptr;
          const int32_t keys = found ? indices->UpdateKeys(trans, refNr, old.data(), refNr, data, path)
                                     : indices->InsertKeys(trans, refNr, data, path);
          if (keys) throw EmvServerEngineException(uint32_t(keys));
          st.KeysChanged = true;
        }
        if (!stcIndexEngine) {
          stcIndexPath->RefNr = refNr;
          stcIndexPath->Position = ippOnKey;
          stcIndexPath->Deleted = false;
        }
        // 16. Full text.
        if (stcFulltextEngine) {
          result = stcFulltextEngine->UpdateIndex(trans, found ? old.data() : nullptr, found ? refNr : 0, data, refNr);
          if (result) throw EmvServerEngineException(result);
        }
        // 17. A plain insert leaves the graveyard.
        if (!found && (result = stcRecordResurrect(refNr, data))) throw EmvServerEngineException(result);
        // 19./20. Success.
        if (found && PathHidden(data)) {
          RestorePath();
          st.PathSaved = false;
          stcIndexPath->Position = ippOnCrackBefore;
          stcIndexPath->Deleted = true;
        }
        if (wantLock) {
          bool lockNew = false;
          if (!stcIndexPath->IsOnKey() || stcIndexPath->IsDeleted() ||
              LockRecord(refNr, true, MVERR_RECLOCKFAILED, lockNew) != 0) {
            MarkCorrupted();
            throw EmvServerEngineException(sbcLockFailureError(MVERR_RECLOCKFAILED));
          }
          keepLock = true;
        }
        if (found) {
          result = NotifyExtenders(eaRecordModify, false,
                                   {aData, static_cast<void*>(old.data()), false, int64_t(refNr)});
          if (result == 0) {
            const TmvRecID id{refNr, TmvLSN(Int64Of(fields, insertLSNField, data))};
            result = stcBlobHandler->AfterModify(trans, id, old.data(), data);
          }
          if (result) throw EmvServerEngineException(result);
        } else {
          result = NotifyExtenders(eaRecordInsert, false, {int64_t(aLockType), aData, int64_t(refNr)});
          if (result) {
            MarkCorrupted();
            throw EmvServerEngineException(result);
          }
          stcPutPathInRange();
        }
        result = 0;
      } catch (...) {
        result = asoConvertException();
        keepLock = false;
        // 18. Inside the caller's transaction the record is undone by hand;
        // keys that were changed cannot be, so the transaction is marked.
        if (!st.Own && st.RecordWritten) {
          try {
            TmvBaseTransaction* trans = stcTrans();
            if (found) {
              records->UpdateRecord(trans, refNr, old.data(), nullptr);
            } else {
              records->DeleteRecord(trans, refNr);
              if (generated) sbcAutoIncSetDirect(previousCounter);
            }
          } catch (...) {
            mvServerLogCurrentException(u"Undoing a failed record insert");
            MarkCorrupted();
          }
          if (st.KeysChanged) MarkCorrupted();
        }
      }
    }
    const uint32_t ended = EndOwnLevel(st.Own, result);
    if (result != 0 && st.Own) st.RolledBack = true;
    if (ended != 0 && result == 0) st.RolledBack = true;
    result = ended;
  } catch (...) {
    result = asoConvertException();
  }
  if (result != 0) {
    // 21. Any failure.
    if (st.PathSaved) RestorePath();
    if (generated) {
      fields->SetRecordFieldNull(autoIncField, data, true);
      if (aAutoInc) *aAutoInc = -1;
    }
    if (wantLock && !found && refNr != 0) stcTable->sbtLocks.ReleaseRecordLock(this, refNr, nullptr);
  }
  // 22. Locks.
  if (st.ContentLocked) sbcEndContentLock();
  if (st.NewIntent) stcTable->sbtLocks.ReleaseRecordLock(this, stcSelfRefNr, nullptr);
  if (st.Locked && st.LockNew && !keepLock)
    stcTable->sbtLocks.ReleaseRecordLock(this, st.LockedRefNr,
                                         st.ContentLocked && !st.RolledBack ? stcTrans() : nullptr);
  return result;
}

// ---------------------------------------------------------------------------
// Modify

uint32_t TmvServerTableCursor::sbcRecordModify(void* aData, bool aReleaseLock, const TmvRecordDiff* aDataDiff) {
  if (sbcIsWriteOnly) return sbcWriteOnlyResult ? sbcWriteOnlyError() : Code(MVERR_NOCURRREC);
  if (aDataDiff && !mvInSet(acStates, acsIsCacheable)) return Code(MVERR_INVALIDPARAM);
  uint32_t result;
  if (ReadOnlyRefused(result)) return result;
  if ((result = sbcCheckTransactionState())) return result;
  auto* data = static_cast<uint8_t*>(aData);
  TmvFieldsDescriptor* fields = FieldsDescriptor();
  TmvBaseRecordEngine* records = stcTable->RecordEngine();
  TWriteState st;
  TmvRefNr refNr = 0;
  std::vector<uint8_t> old;
  auto nextLSN = [this](TmvLSN& aLSN) { return GetNextLSN(aLSN); };
  auto visibleToKeep = [&]() {
    if (DefaultValueHandler()) DefaultValueHandler()->SetDefaultValuesModify(data);
    if (!aReleaseLock && Invisible(data) != 0) throw EmvServerEngineException(Code(MVERR_RECLOCKFAILED));
  };
  try {
    // 2., 3.
    if (!aDataDiff) visibleToKeep();
    if (int32_t state = stcIndexPath->CheckCurrentState()) return Code(state);
    if (stcIndexPath->RefNr != 0) {
      st.LockedRefNr = stcIndexPath->RefNr;
      if ((result = LockRecord(st.LockedRefNr, false, MVERR_RECLOCKFAILED, st.LockNew))) return result;
      st.Locked = true;
    }
    // 4.
    result = StartOwnLevel(true, st.Own);
    if (result == 0) {
      result = sbcBeginContentLock(true, false, false);
      st.ContentLocked = result == 0;
    }
    if (result == 0) {
      try {
        TmvBaseTransaction* trans = stcTrans();
        if (stcIndexEngine) stcIndexEngine->ValidateIndexPath(trans, stcIndexPath);
        stcPutPathInRange();
        // 5.
        if (!st.Locked) {
          if (stcIndexPath->RefNr == 0) throw EmvServerEngineException(Code(MVERR_NOCURRREC));
          st.LockedRefNr = stcIndexPath->RefNr;
          if ((result = LockRecord(st.LockedRefNr, false, MVERR_RECLOCKFAILED, st.LockNew)))
            throw EmvServerEngineException(result);
          st.Locked = true;
        } else if (stcIndexPath->RefNr != st.LockedRefNr || !stcIndexPath->IsOnKey()) {
          throw EmvServerEngineException(Code(MVERR_NOCURRREC));
        }
        // 6.
        if (TmvBaseFilterEngine* keyFilter = ActiveKeyFilter())
          if (!stcIndexPath->KeyValid || !keyFilter->MatchesBuffer(stcIndexPath->Key))
            throw EmvServerEngineException(Code(MVERR_NOCURRREC));
        refNr = stcIndexPath->RefNr;
        old.assign(size_t(acRecordLength) + 4, 0);
        records->ReadRecord(trans, refNr, old.data());
        if (TmvBaseFilterEngine* filter = ActiveFilter())
          if (!filter->MatchesBuffer(old.data())) throw EmvServerEngineException(Code(MVERR_NOCURRREC));
        // 7. A difference against the old image.
        if (aDataDiff) {
          if (aDataDiff->rdBlobBatch) throw EmvServerEngineException(Code(MVERR_NOTSUPPORTED));
          if (aDataDiff->rdFull)
            std::memcpy(data, aDataDiff->rdFull, acRecordLength);
          else
            mvDiffExpandRecord(*DCI(), old.data(), aDataDiff->rdDiff, data);
          visibleToKeep();
        }
        // 8. Special fields.
        stcTable->sbtPrepareModify(old.data(), data, refNr, false, nextLSN);
        // 9.
        if ((result = NotifyExtenders(eaRecordModify, true,
                                      {aData, static_cast<void*>(old.data()), aReleaseLock, int64_t(refNr)})))
          throw EmvServerEngineException(result);
        const int32_t insertLSNField = acSFI->sfiFields[sftInsertLSN];
        const TmvRecID id{refNr, TmvLSN(Int64Of(fields, insertLSNField, data))};
        if ((result = stcBlobHandler->BeforeModify(trans, id, old.data(), data))) throw EmvServerEngineException(result);
        // 10.
        records->UpdateRecord(trans, refNr, data, nullptr);
        st.RecordWritten = true;
        if (ValidationsHandler()) ValidationsHandler()->ValidateRecord(old.data(), data);
        // 11.
        SavePath();
        st.PathSaved = true;
        if (TmvBaseIndicesEngine* indices = Indices()) {
          if (int32_t keys = indices->UpdateKeys(trans, refNr, old.data(), refNr, data,
                                                 stcIndexEngine ? stcIndexPath : nullptr))
            throw EmvServerEngineException(uint32_t(keys));
          st.KeysChanged = true;
        }
        if (stcFulltextEngine && (result = stcFulltextEngine->UpdateIndex(trans, old.data(), refNr, data, refNr)))
          throw EmvServerEngineException(result);
        // 12.
        if (PathHidden(data)) {
          RestorePath();
          st.PathSaved = false;
          stcIndexPath->Position = ippOnCrackBefore;
          stcIndexPath->Deleted = true;
        }
        if (!aReleaseLock) {
          bool lockNew = false;
          if (!stcIndexPath->IsOnKey() || stcIndexPath->IsDeleted() ||
              LockRecord(refNr, true, MVERR_RECLOCKFAILED, lockNew) != 0) {
            MarkCorrupted();
            throw EmvServerEngineException(sbcLockFailureError(MVERR_RECLOCKFAILED));
          }
        }
        if ((result = NotifyExtenders(eaRecordModify, false,
                                      {aData, static_cast<void*>(old.data()), aReleaseLock, int64_t(refNr)})) ||
            (result = stcBlobHandler->AfterModify(trans, id, old.data(), data))) {
          if (!st.Own) MarkCorrupted();
          throw EmvServerEngineException(result);
        }
        result = 0;
      } catch (...) {
        result = asoConvertException();
        // 13. The old image back inside the caller's transaction.
        if (!st.Own && st.RecordWritten) {
          try {
            records->UpdateRecord(stcTrans(), refNr, old.data(), nullptr);
          } catch (...) {
            mvServerLogCurrentException(u"Undoing a failed record modify");
            MarkCorrupted();
          }
          if (st.KeysChanged) MarkCorrupted();
        }
      }
    }
    const uint32_t ended = EndOwnLevel(st.Own, result);
    if (ended != 0 && st.Own) st.RolledBack = true;
    result = ended;
  } catch (...) {
    result = asoConvertException();
  }
  if (result != 0 && st.PathSaved) RestorePath();
  if (st.ContentLocked) sbcEndContentLock();
  // 14.
  if (st.Locked && (st.LockNew || (result == 0 && aReleaseLock)))
    stcTable->sbtLocks.ReleaseRecordLock(this, st.LockedRefNr,
                                         st.ContentLocked && !st.RolledBack ? stcTrans() : nullptr);
  return result;
}

// ---------------------------------------------------------------------------
// Delete

uint32_t TmvServerTableCursor::sbcRecordDelete(void* aData, TmvLSN aLSN) {
  if (sbcIsWriteOnly) return sbcWriteOnlyResult ? sbcWriteOnlyError() : Code(MVERR_NOCURRREC);
  const int32_t modifyLSNField = acSFI->sfiFields[sftModifyLSN];
  if (aLSN != 0 && modifyLSNField < 0) return Code(MVERR_NOTSUPPORTED);
  auto* data = static_cast<uint8_t*>(aData ? aData : sbcRecordBuffer);
  uint32_t result;
  if (ReadOnlyRefused(result)) return result;
  if ((result = sbcCheckTransactionState())) return result;
  if (int32_t state = stcIndexPath->CheckCurrentState()) return Code(state);
  TmvFieldsDescriptor* fields = FieldsDescriptor();
  TmvBaseRecordEngine* records = stcTable->RecordEngine();
  TWriteState st;
  try {
    // 2.
    if (stcIndexPath->RefNr != 0) {
      st.LockedRefNr = stcIndexPath->RefNr;
      if ((result = LockRecord(st.LockedRefNr, false, MVERR_RECLOCKED, st.LockNew))) return result;
      st.Locked = true;
    }
    // 3.
    result = StartOwnLevel(false, st.Own);
    if (result == 0) {
      result = sbcBeginContentLock(true, false, false);
      st.ContentLocked = result == 0;
    }
    if (result == 0) {
      try {
        TmvBaseTransaction* trans = stcTrans();
        if (stcIndexEngine) stcIndexEngine->ValidateIndexPath(trans, stcIndexPath);
        stcPutPathInRange();
        if (!st.Locked) {
          if (stcIndexPath->RefNr == 0) throw EmvServerEngineException(Code(MVERR_NOCURRREC));
          st.LockedRefNr = stcIndexPath->RefNr;
          if ((result = LockRecord(st.LockedRefNr, false, MVERR_RECLOCKED, st.LockNew)))
            throw EmvServerEngineException(result);
          st.Locked = true;
        } else if (stcIndexPath->RefNr != st.LockedRefNr || !stcIndexPath->IsOnKey()) {
          throw EmvServerEngineException(Code(MVERR_NOCURRREC));
        }
        // 4.-6.
        const TmvRefNr refNr = stcIndexPath->RefNr;
        if (TmvBaseFilterEngine* keyFilter = ActiveKeyFilter())
          if (!stcIndexPath->KeyValid || !keyFilter->MatchesBuffer(stcIndexPath->Key))
            throw EmvServerEngineException(Code(MVERR_NOCURRREC));
        records->ReadRecord(trans, refNr, data);
        if (aLSN != 0) {
          const int64_t stored = Int64Of(fields, modifyLSNField, data);
          if (stored != 0 && TmvLSN(stored) != aLSN) throw EmvServerEngineException(Code(MVERR_NOCURRREC));
        }
        const TmvRecID id{refNr, TmvLSN(Int64Of(fields, acSFI->sfiFields[sftInsertLSN], data))};
        if (TmvBaseFilterEngine* filter = ActiveFilter())
          if (!filter->MatchesBuffer(data)) throw EmvServerEngineException(Code(MVERR_NOCURRREC));
        // 7.
        if ((result = NotifyExtenders(eaRecordDelete, true, {aData ? aData : sbcRecordBuffer, int64_t(refNr)})))
          throw EmvServerEngineException(result);
        SavePath();
        st.PathSaved = true;
        // From here on a failure inside the caller's transaction leaves it
        // half done: it can only be rolled back.
        try {
          if (TmvBaseIndicesEngine* indices = Indices())
            if (int32_t keys = indices->DeleteKeys(trans, refNr, data, stcIndexEngine ? stcIndexPath : nullptr))
              throw EmvServerEngineException(uint32_t(keys));
          if (stcFulltextEngine && (result = stcFulltextEngine->UpdateIndex(trans, data, refNr, nullptr, 0)))
            throw EmvServerEngineException(result);
          // 8.
          records->DeleteRecord(trans, refNr);
          if (!stcIndexEngine) stcIndexPath->Deleted = true;
          if ((result = NotifyExtenders(eaRecordDelete, false, {aData ? aData : sbcRecordBuffer, int64_t(refNr)})) ||
              (result = stcBlobHandler->AfterDelete(trans, id, data)) || (result = stcRecordBury(refNr, data)))
            throw EmvServerEngineException(result);
        } catch (...) {
          if (!st.Own) MarkCorrupted();
          throw;
        }
        result = 0;
      } catch (...) {
        result = asoConvertException();
      }
    }
    const uint32_t ended = EndOwnLevel(st.Own, result);
    if (ended != 0 && st.Own) st.RolledBack = true;
    result = ended;
  } catch (...) {
    result = asoConvertException();
  }
  if (result != 0 && st.PathSaved) RestorePath();
  if (st.ContentLocked) sbcEndContentLock();
  // 9. A lock held before goes too once the record is gone.
  if (st.Locked && (st.LockNew || result == 0))
    stcTable->sbtLocks.ReleaseRecordLock(this, st.LockedRefNr,
                                         st.ContentLocked && !st.RolledBack ? stcTrans() : nullptr);
  return result;
}

// ---------------------------------------------------------------------------
// Batch insert

// The stream is the record-batch layout: a 32-bit result at 0, the 32-bit
// record count at 4, then per record a 32-bit size and the record image.
// A non-null BLOB field of an image holds the stream offset of the BLOB: a
// 32-bit length, then the bytes. The whole stream is checked before the
// first record is touched, so that a damaged stream inserts nothing.
namespace {

uint32_t CheckBatch(const uint8_t* aBase, int64_t aSize, uint32_t aRecordLength, TmvFieldsDescriptor* aFields,
                    const std::vector<int32_t>& aBlobFields, int32_t& aCount) {
  const uint32_t invalid = EmvBaseException::mvSetMessage(MVERR_INVALIDPARAM, String());
  if (aSize < 8) return invalid;
  aCount = int32_t(LoadLE32(aBase + 4));
  if (aCount < 0) return invalid;
  int64_t offset = 8;
  for (int32_t i = 0; i < aCount; ++i) {
    if (offset + 4 > aSize || LoadLE32(aBase + offset) != aRecordLength) return invalid;
    if (offset + 4 + int64_t(aRecordLength) > aSize) return invalid;
    const uint8_t* record = aBase + offset + 4;
    for (int32_t field : aBlobFields) {
      if (aFields->IsRecordFieldNull(field, record)) continue;
      bool isNull = false;
      int64_t at = 0;
      aFields->GetRecordField(field, record, isNull, &at);
      if (at < 8 || at + 4 > aSize || at + 4 + int64_t(LoadLE32(aBase + at)) > aSize) return invalid;
    }
    offset += 4 + int64_t(aRecordLength);
  }
  return 0;
}

}  // namespace

uint32_t TmvServerTableCursor::InsertOneOfBatch(uint8_t* aRecord) {
  TmvBaseTransaction* trans = stcTrans();
  TmvFieldsDescriptor* fields = FieldsDescriptor();
  const TmvInsertOptions options = sbcInsertOptions;
  if (DefaultValueHandler() && mvInSet(options, ioSetDefault)) DefaultValueHandler()->SetDefaultValuesInsert(aRecord);
  const int32_t autoIncField = acSFI->sfiFields[sftAutoInc];
  if (!IsCache() && autoIncField >= 0 && mvInSet(options, ioSetAutoInc) && stcTable->AutoIncEngine() &&
      Int64Of(fields, autoIncField, aRecord) == 0) {
    const uint32_t value = stcTable->AutoIncEngine()->NextAutoIncValue(trans, nullptr);
    fields->SetRecordField(autoIncField, aRecord, &value);
  }
  if (uint32_t code = stcBlobHandler->BeforeInsert(trans, aRecord)) return code;
  if (uint32_t code = NotifyExtenders(eaRecordInsert, true, {int64_t(mvltNoLock), static_cast<void*>(aRecord),
                                                             int64_t(0)}))
    return code;
  stcTable->sbtPrepareInsert(aRecord, [this](TmvLSN& aLSN) { return GetNextLSN(aLSN); });
  if (ValidationsHandler() && mvInSet(options, ioValidate)) ValidationsHandler()->ValidateRecord(nullptr, aRecord);
  TmvRefNr refNr = 0;
  stcTable->RecordEngine()->AddRecord(trans, refNr, aRecord);
  if (TmvBaseIndicesEngine* indices = Indices())
    if (int32_t keys = indices->InsertKeys(trans, refNr, aRecord, nullptr)) return uint32_t(keys);
  if (stcFulltextEngine)
    if (uint32_t code = stcFulltextEngine->UpdateIndex(trans, nullptr, 0, aRecord, refNr)) return code;
  if (uint32_t code = stcRecordResurrect(refNr, aRecord)) return code;
  return NotifyExtenders(eaRecordInsert, false, {int64_t(mvltNoLock), static_cast<void*>(aRecord), int64_t(refNr)});
}

uint32_t TmvServerTableCursor::sbcRecordInsertBatch(TmvCustomMemoryStream* aStream) {
  uint32_t result;
  if ((result = sbcCheckTransactionState())) return result;
  auto* base = static_cast<uint8_t*>(aStream->Memory());
  const int64_t size = aStream->GetSize();
  TmvFieldsDescriptor* fields = FieldsDescriptor();
  int32_t count = 0;
  if ((result = CheckBatch(base, size, acRecordLength, fields, acSFI->sfiBlobFields, count))) return result;
  TWriteState st;
  try {
    if ((result = WriteIntent(st.NewIntent))) return result;
    result = StartOwnLevel(false, st.Own);
    if (result == 0) {
      result = sbcBeginContentLock(true, false, false);
      st.ContentLocked = result == 0;
    }
    if (result == 0) {
      try {
        TmvBaseTransaction* trans = stcTrans();
        TmvBaseBlobEngine* blobs = stcTable->BlobEngine();
        int64_t offset = 8;
        for (int32_t i = 0; i < count && result == 0; ++i) {
          uint8_t* record = base + offset + 4;
          for (int32_t field : acSFI->sfiBlobFields) {
            if (fields->IsRecordFieldNull(field, record)) continue;
            bool isNull = false;
            int64_t at = 0;
            fields->GetRecordField(field, record, isNull, &at);
            const uint32_t length = LoadLE32(base + at);
            if (length == 0 || !blobs) {
              fields->SetRecordFieldNull(field, record, true);
              continue;
            }
            TmvBlobNr blobNr = 0;
            blobs->AddBlob(trans, blobNr);
            blobs->Write(trans, blobNr, 0, length, base + at + 4);
            fields->SetRecordField(field, record, &blobNr);
          }
          result = InsertOneOfBatch(record);
          offset += 4 + int64_t(acRecordLength);
          if (result == 0 && (i + 1) % 100 == 0) mvCheckOperationTimeout();
        }
      } catch (...) {
        result = asoConvertException();
      }
      if (result != 0 && !st.Own) MarkCorrupted();
    }
    result = EndOwnLevel(st.Own, result);
  } catch (...) {
    result = asoConvertException();
  }
  if (st.ContentLocked) sbcEndContentLock();
  if (st.NewIntent) stcTable->sbtLocks.ReleaseRecordLock(this, stcSelfRefNr, nullptr);
  return result;
}

// ---------------------------------------------------------------------------
// Auto-increment

uint32_t TmvServerTableCursor::sbcAutoIncGet() {
  TmvBaseAutoIncEngine* engine = stcTable->AutoIncEngine();
  if (!engine) return 0;
  try {
    return engine->ReadAutoIncValue(stcTrans());
  } catch (...) {
    asoConvertException();
    mvServerLogCurrentException(u"Reading the auto-increment value");
    return 0;
  }
}

uint32_t TmvServerTableCursor::sbcAutoIncSet(uint32_t aAutoInc) {
  uint32_t result;
  if ((result = sbcCheckTransactionState())) return result;
  TWriteState st;
  try {
    if ((result = WriteIntent(st.NewIntent))) return result;
    TmvServerTransContext* context = Context();
    if (!context) return Code(MVERR_NOTSUPPORTED);
    result = context->stcTransactionStart(false, false, false, true, false, IsResultSet || IsUnnamed);
    st.Own = result == 0;
    if (result == 0) {
      result = sbcBeginContentLock(true, false, false);
      st.ContentLocked = result == 0;
    }
    if (result == 0) {
      if (TmvBaseAutoIncEngine* engine = stcTable->AutoIncEngine()) {
        try {
          engine->SetAutoIncValue(stcTrans(), aAutoInc);
        } catch (...) {
          result = asoConvertException();
        }
      } else {
        result = EmvBaseException::mvSetMessage(MVERR_NOTSUPPORTED,
                                                u"AutoIncSet is only supported for tables with autoinc engines");
      }
    }
    result = EndOwnLevel(st.Own, result);
  } catch (...) {
    result = asoConvertException();
  }
  if (st.ContentLocked) sbcEndContentLock();
  if (st.NewIntent) stcTable->sbtLocks.ReleaseRecordLock(this, stcSelfRefNr, nullptr);
  return result;
}

void TmvServerTableCursor::sbcAutoIncSetDirect(uint32_t aAutoInc) {
  if (TmvBaseAutoIncEngine* engine = stcTable->AutoIncEngine()) engine->SetAutoIncValue(stcTrans(), aAutoInc);
}
