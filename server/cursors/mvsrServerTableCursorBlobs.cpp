// Server engine: the table cursor's BLOB operations (unit
// mvsrServerTableCursorBlobs). See mvsrServerTableCursor.h.
//
// Every operation hands its work to the cursor's BLOB handler inside one of
// two frames. A write runs in a transaction level of its own under the
// exclusive content lock and a write-intent lock on the cursor's own record
// number, so that a failed write leaves nothing behind; a read runs under
// the shared content lock for one call. Before either, the BLOB number a
// client names is checked against the record and field it came from: a
// number that no longer belongs there is refused (13058), except that a
// read follows the number the field holds now and reports it.
//
// Copies between cursors go straight to the BLOB engines of both tables in
// the caller's transaction and locks.
//
// Calls the BLOB handler and the BLOB engines, the record engine and the
// sequential-access index (to read the record a number is verified
// against), and the transaction context for the own level.
#include <algorithm>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllStreams.h"
#include "foundation/mvllUtils.h"
#include "platform/Numeric.h"
#include "server/cursors/mvsrServerTableCursor.h"
#include "server/mvsdServerLog.h"
#include "server/mvsrServerEngine.h"
#include "server/tables/mvsrServerTable.h"
#include "server/transactions/mvsrServerTransContext.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "storage/blobs/mvseBlobHandler.h"
#include "storage/records/mvseRecordEngine.h"

namespace {

uint32_t Code(int32_t aCode) { return EmvBaseException::mvSetMessage(aCode, String()); }

// The largest piece a copy moves at once.
constexpr uint32_t kCopyChunk = 1048576;
// A batch reply counts its entries in 16 bits.
constexpr size_t kMaxBatchEntries = 0xFFFF;

bool RecIDIsEmpty(const TmvRecID& aRecID) { return aRecID.ridRefNr == 0 && aRecID.ridInsertLSN == 0; }

// A packed batch reply of aCount entries; the count written separately.
void PutReplyCount(std::vector<uint8_t>& aReply, uint16_t aCount) { StoreLE16(aReply.data(), aCount); }
void PutReplyEntry(std::vector<uint8_t>& aReply, size_t aIndex, TmvBlobNr aBlobNr) {
  StoreLE64(aReply.data() + 2 + 8 * aIndex, uint64_t(aBlobNr));
}

}  // namespace

// ---------------------------------------------------------------------------
// The frames

uint32_t TmvServerTableCursor::stcBlobWriteFrame(const std::function<uint32_t(TmvBaseTransaction*)>& aWork) {
  TmvServerTransContext* context = Context();
  if (!context) return Code(MVERR_NOTSUPPORTED);
  if (uint32_t code = sbcCheckTransactionState()) return code;
  uint32_t result = 0;
  bool newIntent = false;
  try {
    // The write intent: other cursors' writes to this table wait meanwhile.
    if (uint32_t code = WriteIntent(newIntent)) return code;
    result = context->stcTransactionStart(false, false, false, true, true, IsResultSet || IsUnnamed);
    if (result == 0) {
      TmvServerTransaction* own = context->Transaction();
      const int32_t ownLevel = own ? own->TransLevel()->Level() : 0;
      result = sbcBeginContentLock(true, false, false);
      if (result == 0) {
        try {
          result = aWork(stcTrans());
        } catch (...) {
          result = asoConvertException();
        }
      }
      bool rollBack = result != 0;
      if (result == 0) {
        result = context->stcTransactionCommit();
        if (result != 0) {
          // What was written may be half in the outer level: only a rollback
          // of the whole transaction is safe now.
          MarkCorrupted();
          TmvServerTransaction* trans = context->Transaction();
          rollBack = trans == own && trans && trans->TransLevel()->Level() == ownLevel;
        }
      }
      if (rollBack)
        if (uint32_t rolledBack = context->stcTransactionRollback())
          mvServerLogError(u"Rolling back a BLOB change failed with " + mvIntToStr(int32_t(rolledBack)));
    }
  } catch (...) {
    result = asoConvertException();
  }
  if (newIntent) stcTable->sbtLocks.ReleaseRecordLock(this, stcSelfRefNr, nullptr);
  return result;
}

uint32_t TmvServerTableCursor::stcBlobReadFrame(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                                TmvNewBlobNr* aNewBlobNr,
                                                const std::function<uint32_t(TmvBlobNr)>& aWork) {
  if (aNewBlobNr) *aNewBlobNr = TmvNewBlobNr{aBlobNr, false};
  return Shared([&]() -> uint32_t {
    TmvBlobNr blobNr = aBlobNr;
    uint32_t verified = stcBlobVerifyNr(aRecID, aFieldNo, aBlobNr, aNewBlobNr);
    // The field holds another BLOB now: the reader gets that one and learns
    // its number. A field emptied meanwhile has nothing to follow.
    if (verified == uint32_t(MVERR_BLOBMODIFIED) && aNewBlobNr && aNewBlobNr->nbnSet &&
        aNewBlobNr->nbnBlobNr != aBlobNr && aNewBlobNr->nbnBlobNr != 0) {
      blobNr = aNewBlobNr->nbnBlobNr;
      verified = 0;
    }
    if (verified != 0) return verified;
    return aWork(blobNr);
  });
}

// ---------------------------------------------------------------------------
// Verification

uint32_t TmvServerTableCursor::stcBlobVerifyRecID(const TmvRecID& aRecID) {
  if (RecIDIsEmpty(aRecID) || mvRecIDIsAllOnes(aRecID)) return 0;
  if (!sbcRecordBuffer2) sbcRecordBuffer2 = mvGetZeroedMemPtr(size_t(acRecordLength) + 4);
  auto* buffer = static_cast<uint8_t*>(sbcRecordBuffer2);
  TmvServerTransaction* trans = stcTrans();
  TmvRefNr refNr = aRecID.ridRefNr;
  if (stcSeqAccessIndexEngine) {
    if (!FindRecordKey(stcSeqAccessIndexEngine, stcSeqAccessIndexPath, buffer, refNr))
      return Code(MVERR_KEYORRECDELETED);
    refNr = stcSeqAccessIndexPath->RefNr;
  }
  stcTable->RecordEngine()->ReadRecord(trans, refNr, buffer);
  const int32_t insertLSNField = acSFI ? acSFI->sfiFields[sftInsertLSN] : -1;
  if (insertLSNField >= 0) {
    bool isNull = true;
    int64_t stored = 0;
    FieldsDescriptor()->GetRecordField(insertLSNField, buffer, isNull, &stored);
    // The record number was given to another record since.
    if (isNull || TmvLSN(stored) != aRecID.ridInsertLSN) return Code(MVERR_KEYORRECDELETED);
  }
  return 0;
}

uint32_t TmvServerTableCursor::stcBlobVerifyNr(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                               TmvNewBlobNr* aNewBlobNr) {
  try {
    if (RecIDIsEmpty(aRecID) || aFieldNo < 0) return 0;
    if (aBlobNr == 0) return Code(MVERR_INVALIDBLOBHANDLE);
    if (uint32_t code = stcBlobVerifyRecID(aRecID)) return code;
    return stcBlobVerifyNrInner(aRecID, aFieldNo, aBlobNr, aNewBlobNr);
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerTableCursor::stcBlobVerifyNrInner(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                                    TmvNewBlobNr* aNewBlobNr) {
  if (RecIDIsEmpty(aRecID) || aFieldNo < 0) return 0;
  if (aBlobNr == 0) return Code(MVERR_INVALIDBLOBHANDLE);
  TmvBlobNr current = 0;
  if (!mvRecIDIsAllOnes(aRecID)) {
    TmvFieldsDescriptor* fields = FieldsDescriptor();
    // A field number from a client is checked before it reaches the record.
    if (aFieldNo >= fields->FieldCount() || !mvIsBlobFieldType(fields->FieldDescriptor(aFieldNo)->FieldType()))
      return Code(MVERR_INVALIDPARAM);
    bool isNull = true;
    fields->GetRecordField(aFieldNo, sbcRecordBuffer2, isNull, &current);
    if (isNull) current = 0;
    if (current != 0 && current == aBlobNr) return 0;
  }
  if (stcBlobHandler->BlobVerifyNr(stcTrans(), aRecID, aFieldNo, aBlobNr)) return 0;
  if (aNewBlobNr) *aNewBlobNr = TmvNewBlobNr{current, true};
  return Code(MVERR_BLOBMODIFIED);
}

// ---------------------------------------------------------------------------
// Writes

uint32_t TmvServerTableCursor::sbcBlobCreate(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr) {
  return stcBlobWriteFrame(
      [&](TmvBaseTransaction* aTrans) { return stcBlobHandler->BlobCreate(aTrans, aRecID, aFieldNo, aBlobNr); });
}

uint32_t TmvServerTableCursor::sbcBlobCreateFile(const TmvRecID& aRecID, int32_t aFieldNo, const String& aFileName,
                                                 TmvBlobNr& aBlobNr) {
  return stcBlobWriteFrame([&](TmvBaseTransaction* aTrans) {
    return stcBlobHandler->BlobCreateFile(aTrans, aRecID, aFieldNo, aFileName, aBlobNr);
  });
}

uint32_t TmvServerTableCursor::sbcBlobCreateLink(const TmvRecID& aRecID, int32_t aFieldNo, const String& aTableName,
                                                 TmvBlobNr aTableBlobNr, TmvBlobNr& aBlobNr) {
  if (sbcIsReadOnly) return sbcReadOnlyError();
  if (uint32_t code = sbcCheckTransactionState()) return code;
  // The link belongs to the caller's transaction: without one the exclusive
  // content lock is refused with 10257.
  if (uint32_t code = sbcBeginContentLock(true, false, false)) return code;
  try {
    return stcBlobHandler->BlobCreateLink(stcTrans(), aRecID, aFieldNo, aTableName, aTableBlobNr, aBlobNr);
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvServerTableCursor::sbcBlobDelete(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr) {
  return stcBlobWriteFrame([&](TmvBaseTransaction* aTrans) -> uint32_t {
    if (uint32_t code = stcBlobVerifyNr(aRecID, aFieldNo, aBlobNr, nullptr)) return code;
    return stcBlobHandler->BlobDelete(aTrans, aRecID, aFieldNo, aBlobNr);
  });
}

uint32_t TmvServerTableCursor::sbcBlobFree(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr) {
  return stcBlobWriteFrame([&](TmvBaseTransaction* aTrans) -> uint32_t {
    if (uint32_t code = stcBlobVerifyNr(aRecID, aFieldNo, aBlobNr, nullptr))
      return code == uint32_t(MVERR_BLOBMODIFIED) ? Code(MVERR_SEGMENTDELETED) : code;
    bool deleted = false;
    if (uint32_t code = stcBlobHandler->BlobFree(aTrans, aRecID, aFieldNo, aBlobNr, deleted)) return code;
    return deleted ? Code(MVERR_BLOBMODIFIED) : 0u;
  });
}

uint32_t TmvServerTableCursor::sbcBlobTruncate(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                               uint32_t aBlobLength) {
  return stcBlobWriteFrame([&](TmvBaseTransaction* aTrans) -> uint32_t {
    if (uint32_t code = stcBlobVerifyNr(aRecID, aFieldNo, aBlobNr, nullptr)) return code;
    return stcBlobHandler->BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, aBlobLength);
  });
}

uint32_t TmvServerTableCursor::sbcBlobWrite(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                            uint32_t aOffset, uint32_t aLen, const void* aBlob) {
  return stcBlobWriteFrame([&](TmvBaseTransaction* aTrans) -> uint32_t {
    if (uint32_t code = stcBlobVerifyNr(aRecID, aFieldNo, aBlobNr, nullptr)) return code;
    return stcBlobHandler->BlobWrite(aTrans, aRecID, aFieldNo, aBlobNr, aOffset, aLen, aBlob);
  });
}

uint32_t TmvServerTableCursor::sbcBlobReplace(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr,
                                              uint32_t aLen, const void* aBlob) {
  return stcBlobWriteFrame([&](TmvBaseTransaction* aTrans) -> uint32_t {
    if (aBlobNr != 0)
      if (uint32_t code = stcBlobVerifyNr(aRecID, aFieldNo, aBlobNr, nullptr)) return code;
    return stcBlobHandler->BlobReplace(aTrans, aRecID, aFieldNo, aBlobNr, aLen, aBlob);
  });
}

uint32_t TmvServerTableCursor::sbcBlobAddToCache(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                                 uint32_t aLen, const void* aBlob) {
  return stcBlobWriteFrame([&](TmvBaseTransaction* aTrans) {
    return stcBlobHandler->BlobAddToCache(aTrans, aRecID, aFieldNo, aBlobNr, aLen, aBlob);
  });
}

uint32_t TmvServerTableCursor::sbcBlobsCancel(TmvRefNr aRefNr) {
  return stcBlobWriteFrame([&](TmvBaseTransaction* aTrans) { return stcBlobHandler->BlobsCancel(aTrans, aRefNr); });
}

uint32_t TmvServerTableCursor::ascSetBlobCacheFlushed(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                                      TmvBlobNr aNewBlobNr) {
  return stcBlobWriteFrame([&](TmvBaseTransaction* aTrans) -> uint32_t {
    if (uint32_t code = stcBlobVerifyNr(aRecID, aFieldNo, aBlobNr, nullptr)) return code;
    TmvBlobNr newBlobNr = aNewBlobNr;
    return stcBlobHandler->BlobCacheFlushed(aTrans, aRecID, aFieldNo, aBlobNr, &newBlobNr);
  });
}

// ---------------------------------------------------------------------------
// Batches

uint32_t TmvServerTableCursor::BlobBatchProcess(const TmvBlobBatchRequest& aRequest, std::vector<uint8_t>& aReply) {
  aReply.assign(2, 0);
  if (aRequest.bbrqRecID.ridRefNr == 0 || aRequest.bbrqRecID.ridInsertLSN == 0 || aRequest.bbrqEntries.empty())
    return 0;
  // The reply counts in 16 bits: a longer batch could not be answered
  // entry for entry.
  if (aRequest.bbrqEntries.size() > kMaxBatchEntries) return Code(MVERR_INVALIDPARAM);
  if (sbcIsReadOnly) return sbcReadOnlyError();
  return atoLockedCall([&] { return stcBlobBatchProcess(aRequest, aReply); });
}

uint32_t TmvServerTableCursor::stcBlobBatchProcess(const TmvBlobBatchRequest& aRequest,
                                                   std::vector<uint8_t>& aReply) {
  const size_t count = aRequest.bbrqEntries.size();
  if (count > kMaxBatchEntries) return Code(MVERR_INVALIDPARAM);
  aReply.assign(2 + 8 * count, 0);
  return stcBlobWriteFrame([&](TmvBaseTransaction* aTrans) -> uint32_t {
    if (uint32_t code = stcBlobVerifyRecID(aRequest.bbrqRecID)) return code;
    for (size_t i = 0; i < count; ++i) {
      TmvBlobBatchReplyEntry entry;
      const uint32_t code = stcBlobBatchProcessEntry(aTrans, aRequest.bbrqRecID, aRequest.bbrqEntries[i], entry);
      PutReplyEntry(aReply, i, entry.bbrpeBlobNr);
      if (code != 0) return code;
      PutReplyCount(aReply, uint16_t(i + 1));
    }
    return 0u;
  });
}

uint32_t TmvServerTableCursor::stcBlobBatchProcessEntry(TmvBaseTransaction* aTrans, const TmvRecID& aRecID,
                                                        const TmvBlobBatchRequestEntry& aEntry,
                                                        TmvBlobBatchReplyEntry& aReplyEntry) {
  aReplyEntry.bbrpeBlobNr = aEntry.bbrqeBlobNr;
  const int32_t field = aEntry.bbrqeFieldNo;
  const bool creates = aEntry.bbrqeStateInfo == cbsiCreated || aEntry.bbrqeStateInfo == cbsiCreatedFile;
  uint32_t verified = stcBlobVerifyNrInner(aRecID, field, aEntry.bbrqeBlobNr, nullptr);
  if (verified == uint32_t(MVERR_INVALIDBLOBHANDLE) && creates) verified = 0;
  if (verified != 0) return verified;
  switch (aEntry.bbrqeStateInfo) {
    case cbsiCreatedFile:
      return stcBlobHandler->BlobCreateFile(aTrans, aRecID, field, aEntry.bbrqeFileName, aReplyEntry.bbrpeBlobNr);
    case cbsiDeleted:
      return stcBlobHandler->BlobDelete(aTrans, aRecID, field, aReplyEntry.bbrpeBlobNr);
    case cbsiCreated:
    case cbsiModified:
      return stcBlobHandler->BlobReplace(aTrans, aRecID, field, aReplyEntry.bbrpeBlobNr,
                                         uint32_t(aEntry.bbrqeData.size()),
                                         aEntry.bbrqeData.empty() ? nullptr : aEntry.bbrqeData.data());
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Reads

bool TmvServerTableCursor::ReadOrg(bool aReadOrg) const { return aReadOrg || sbcReadOrgOverride > 0; }

uint32_t TmvServerTableCursor::sbcBlobRead(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                           uint32_t aOffset, uint32_t aLen, TStream* aStream, bool aReadOrg,
                                           TmvNewBlobNr* aNewBlobNr) {
  return stcBlobReadFrame(aRecID, aFieldNo, aBlobNr, aNewBlobNr, [&](TmvBlobNr aNr) {
    return stcBlobHandler->BlobRead(stcTrans(), aRecID, aFieldNo, ReadOrg(aReadOrg), aNr, aOffset, aLen,
                                    aStream, nullptr);
  });
}

uint32_t TmvServerTableCursor::sbcBlobReadSnapshoted(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                                     uint32_t aOffset, uint32_t aLen, TStream* aStream,
                                                     bool aReadOrg, uint32_t* aBlobLen, TmvNewBlobNr* aNewBlobNr) {
  return stcBlobReadFrame(aRecID, aFieldNo, aBlobNr, aNewBlobNr, [&](TmvBlobNr aNr) {
    return stcBlobHandler->BlobRead(stcTrans(), aRecID, aFieldNo, ReadOrg(aReadOrg), aNr, aOffset, aLen,
                                    aStream, aBlobLen);
  });
}

uint32_t TmvServerTableCursor::sbcBlobGetLength(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                                uint32_t& aLength, bool aReadOrg, TmvNewBlobNr* aNewBlobNr) {
  aLength = 0;
  return stcBlobReadFrame(aRecID, aFieldNo, aBlobNr, aNewBlobNr, [&](TmvBlobNr aNr) {
    return stcBlobHandler->BlobGetLength(stcTrans(), aRecID, aFieldNo, ReadOrg(aReadOrg), aNr, aLength);
  });
}

uint32_t TmvServerTableCursor::sbcBlobModified(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                               bool& aModified) {
  aModified = false;
  return Shared([&]() -> uint32_t {
    if (uint32_t code = stcBlobVerifyNr(aRecID, aFieldNo, aBlobNr, nullptr)) return code;
    return stcBlobHandler->BlobModified(stcTrans(), aRecID, aFieldNo, aBlobNr, aModified);
  });
}

bool TmvServerTableCursor::sbcBlobIsLink(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                         String& aSrcTableName, TmvBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  try {
    return stcBlobHandler->BlobIsLink(stcTrans(), aRecID, aFieldNo, aBlobNr, aSrcTableName, aSrcTableBlobNr);
  } catch (...) {
    asoConvertException();
    return false;
  }
}

uint32_t TmvServerTableCursor::ascGetBlobCacheInfos(const TmvRecID& aRecID, std::vector<TmvBlobCacheInfo>& aBCIs) {
  aBCIs.clear();
  // The handler fills the array it is pointed at; one that keeps no cache
  // answers with the pointer cleared.
  const uint32_t result = Shared([&]() -> uint32_t {
    TmvBlobCacheInfos infos = &aBCIs;
    return stcBlobHandler->GetBlobCacheInfos(stcTrans(), aRecID, infos);
  });
  if (result != 0) aBCIs.clear();
  return result;
}

uint32_t TmvServerTableCursor::GetBlobs(const void* aData, bool aMarkedOnly, uint16_t& aBlobCount,
                                        TmvBlobNr* aBlobNrs) {
  if (!IsCache()) return TmvServerBaseCursor::GetBlobs(aData, aMarkedOnly, aBlobCount, aBlobNrs);
  return atoLockedCall([&] { return stcGetBlobs(aData, aMarkedOnly, aBlobCount, aBlobNrs); });
}

uint32_t TmvServerTableCursor::stcGetBlobs(const void* aData, bool aMarkedOnly, uint16_t& aBlobCount,
                                           TmvBlobNr* aBlobNrs) {
  if ((aMarkedOnly && acMarkedBlobs.empty()) || dynamic_cast<TmvNullBlobHandler*>(stcBlobHandler)) {
    aBlobCount = 0;
    return 0;
  }
  std::vector<bool> marked;
  if (aMarkedOnly) {
    const size_t blobFields = acSFI ? acSFI->sfiBlobFields.size() : 0;
    marked.resize(blobFields);
    for (size_t i = 0; i < blobFields; ++i) marked[i] = BlobMarked(int32_t(i));
  }
  return Shared([&]() -> uint32_t {
    return stcBlobHandler->GetBlobs(stcTrans(), aData, aMarkedOnly ? &marked : nullptr, aBlobCount, aBlobNrs);
  });
}

// ---------------------------------------------------------------------------
// Copies

uint32_t TmvServerTableCursor::sbcBlobCopyPrim(TmvServerBaseCursor* aSrcCursor, int32_t /*aSrcFieldNo*/,
                                               TmvBlobNr aBlobNr, int32_t /*aDestFieldNo*/, TmvBlobNr& aDestBlobNr,
                                               uint32_t aMaxLength) {
  return stcBlobCopy(aSrcCursor, aBlobNr, aDestBlobNr, aMaxLength, true);
}

uint32_t TmvServerTableCursor::sbcBlobCopyContentPrim(TmvServerBaseCursor* aSrcCursor, int32_t /*aSrcFieldNo*/,
                                                      TmvBlobNr aBlobNr, int32_t /*aDestFieldNo*/, TmvBlobNr aDestBlobNr,
                                                      uint32_t aMaxLength) {
  return stcBlobCopy(aSrcCursor, aBlobNr, aDestBlobNr, aMaxLength, false);
}

uint32_t TmvServerTableCursor::stcBlobCopy(TmvServerBaseCursor* aSrcCursor, TmvBlobNr aBlobNr, TmvBlobNr& aDestBlobNr,
                                           uint32_t aMaxLength, bool aNewBlob) {
  auto* source = dynamic_cast<TmvServerTableCursor*>(aSrcCursor);
  if (!source) return Code(MVERR_INVALIDHNDL);
  try {
    TmvBaseBlobEngine* from = source->Table()->BlobEngine();
    TmvBaseBlobEngine* to = stcTable->BlobEngine();
    if (!from || !to) return Code(MVERR_NOTSUPPORTED);
    TmvBaseTransaction* fromTrans = source->stcTrans();
    TmvBaseTransaction* toTrans = stcTrans();
    if (aNewBlob) {
      String fileName;
      if (from->IsFileBlob(fromTrans, aBlobNr, fileName)) {
        // A file BLOB is a name, not bytes: it is copied whole or not at all.
        if (aMaxLength == 0)
          to->AddBlob(toTrans, aDestBlobNr);
        else if (aMaxLength == 0xFFFFFFFF)
          to->AddFileBlob(toTrans, fileName, aDestBlobNr);
        else
          throw EmvServerEngineException(MVERR_READONLYFLD);
        return 0;
      }
    }
    // The database keeps no BLOB link handler: a linked source answers 12289.
    TmvBaseBlobLinkHandler* links = nullptr;
    uint32_t length = 0;
    if (uint32_t code = from->GetBlobLength(fromTrans, aBlobNr, TmvBaseBlobLinkHandler::LengthMethod(links), length))
      return code;
    const uint32_t chunk = std::min({aMaxLength, length, kCopyChunk});
    TmvMemoryStream buffer;
    buffer.SetCapacity(int32_t(chunk));
    if (aNewBlob) to->AddBlob(toTrans, aDestBlobNr);
    uint32_t offset = 0;
    for (;;) {
      const uint32_t want = std::min(aMaxLength, chunk);
      if (want == 0) break;
      buffer.Clear();
      if (uint32_t code =
              from->Read(fromTrans, aBlobNr, offset, want, TmvBaseBlobLinkHandler::ReadMethod(links), &buffer))
        return code;
      const uint32_t got = uint32_t(buffer.GetSize());
      if (got == 0) break;
      to->Write(toTrans, aDestBlobNr, offset, got, buffer.Memory());
      offset += got;
      aMaxLength -= got;
    }
    if (!aNewBlob) to->Truncate(toTrans, aDestBlobNr, offset);
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

// ---------------------------------------------------------------------------
// The handler

void TmvServerTableCursor::stcSetBlobHandler(TmvBaseBlobHandler* aHandler) {
  delete std::exchange(stcBlobHandler, aHandler);
}
