// Storage: the null and the passthrough BLOB handlers.
#include "storage/blobs/mvseBlobHandler.h"

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "storage/mvsrLog.h"
#include "storage/transactions/mvsrTransaction.h"

uint32_t TmvStorageServerObject::asoConvertException(const std::exception& e) {
  return mvConvertException(e, mvStorageLog(), this);
}

// ---------------------------------------------------------------------------
// Link callbacks

namespace {

// The BLOB number field aField of record aData holds; false when null.
bool RecordBlobNr(TmvFieldsDescriptor* aFields, int32_t aField, const void* aData, TmvBlobNr& aBlobNr) {
  bool isNull = true;
  aBlobNr = 0;
  aFields->GetRecordField(aField, aData, isNull, &aBlobNr);
  return !isNull;
}

std::vector<int32_t> BlobFieldsOf(TmvFieldsDescriptor* aFields) {
  std::vector<int32_t> fields;
  if (aFields) aFields->HasBlobFields(fields);
  return fields;
}

uint32_t LinkRead(void* aHandler, const String& aTableName, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                  TStream* aStream) {
  if (!aHandler) return EmvBaseException::mvSetMessage(MVERR_NOTSUPPORTED, String(u"No BLOB link handler"));
  return static_cast<TmvBaseBlobLinkHandler*>(aHandler)->BlobLinkRead(aTableName, aBlobNr, aOffset, aLen, aStream);
}

uint32_t LinkLength(void* aHandler, const String& aTableName, TmvBlobNr aBlobNr, uint32_t& aLength) {
  if (!aHandler) return EmvBaseException::mvSetMessage(MVERR_NOTSUPPORTED, String(u"No BLOB link handler"));
  return static_cast<TmvBaseBlobLinkHandler*>(aHandler)->BlobLinkGetLength(aTableName, aBlobNr, aLength);
}

}  // namespace

TmvBlobLinkRead TmvBaseBlobLinkHandler::ReadMethod(TmvBaseBlobLinkHandler* aHandler) { return {&LinkRead, aHandler}; }

TmvBlobLinkGetLength TmvBaseBlobLinkHandler::LengthMethod(TmvBaseBlobLinkHandler* aHandler) {
  return {&LinkLength, aHandler};
}

// ---------------------------------------------------------------------------
// The base

uint32_t TmvBaseBlobHandler::GetBlobs(TmvBaseTransaction* /*aTrans*/, const void* aData,
                                      const std::vector<bool>* aMarkedBlobs, uint16_t& aBlobCount,
                                      TmvBlobNr* aBlobNrs) {
  const uint16_t room = aBlobCount;
  aBlobCount = 0;
  if (!aData) return EmvBaseException::mvSetMessage(MVERR_INVALIDPARAM, mvGetErrorString(MVERR_INVALIDPARAM));
  const TmvSpecialFieldsInfo* sfi = Owner()->acSFI();
  TmvFieldsDescriptor* fields = Owner()->GetFieldsDescriptor();
  if (!sfi) return 0;
  for (size_t i = 0; i < sfi->sfiBlobFields.size(); ++i) {
    if (aMarkedBlobs && (i >= aMarkedBlobs->size() || !(*aMarkedBlobs)[i])) continue;
    TmvBlobNr number = 0;
    if (!RecordBlobNr(fields, sfi->sfiBlobFields[i], aData, number) || number == 0) continue;
    if (!aBlobNrs || aBlobCount >= room)
      return EmvBaseException::mvSetMessage(MVERR_OUTOFRANGE, mvGetErrorString(MVERR_OUTOFRANGE));
    aBlobNrs[aBlobCount++] = number;
  }
  return 0;
}

uint32_t TmvBaseBlobHandler::BlobsCancel(TmvBaseTransaction* /*aTrans*/, TmvRefNr /*aRefNr*/) { return 0; }

uint32_t TmvBaseBlobHandler::GetBlobCacheInfos(TmvBaseTransaction* /*aTrans*/, const TmvRecID& /*aRecID*/,
                                               TmvBlobCacheInfos& aBCIs) {
  aBCIs = nullptr;
  return NotSupported(u"GetBlobCacheInfos");
}

uint32_t TmvBaseBlobHandler::BlobCacheFlushed(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, TmvBlobNr*) {
  return NotSupported(u"BlobCacheFlushed");
}

uint32_t TmvBaseBlobHandler::BlobAddToCache(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, uint32_t,
                                            const void*) {
  return NotSupported(u"BlobAddToCache");
}

// ---------------------------------------------------------------------------
// The null handler

constinit const ClassRef TmvNullBlobHandler::StaticClass{u"TmvNullBlobHandler", &TmvPersistent::StaticClass};

uint32_t TmvNullBlobHandler::GetBlobs(TmvBaseTransaction*, const void*, const std::vector<bool>*, uint16_t& aBlobCount,
                                      TmvBlobNr*) {
  aBlobCount = 0;
  return 0;
}

uint32_t TmvNullBlobHandler::BlobCreate(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr&) {
  return NotSupported(u"BlobCreate");
}
uint32_t TmvNullBlobHandler::BlobCreateFile(TmvBaseTransaction*, const TmvRecID&, int32_t, const String&,
                                            TmvBlobNr&) {
  return NotSupported(u"BlobCreateFile");
}
uint32_t TmvNullBlobHandler::BlobCreateLink(TmvBaseTransaction*, const TmvRecID&, int32_t, const String&, TmvBlobNr,
                                            TmvBlobNr&) {
  return NotSupported(u"BlobCreateLink");
}
uint32_t TmvNullBlobHandler::BlobDelete(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr) {
  return NotSupported(u"BlobDelete");
}
uint32_t TmvNullBlobHandler::BlobFree(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, bool&) {
  return NotSupported(u"BlobFree");
}
uint32_t TmvNullBlobHandler::BlobTruncate(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, uint32_t) {
  return NotSupported(u"BlobTruncate");
}
uint32_t TmvNullBlobHandler::BlobWrite(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, uint32_t, uint32_t,
                                       const void*) {
  return NotSupported(u"BlobWrite");
}
uint32_t TmvNullBlobHandler::BlobReplace(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr&, uint32_t,
                                         const void*) {
  return NotSupported(u"BlobReplace");
}
uint32_t TmvNullBlobHandler::BlobGetLength(TmvBaseTransaction*, const TmvRecID&, int32_t, bool, TmvBlobNr,
                                           uint32_t&) {
  return NotSupported(u"BlobGetLength");
}
bool TmvNullBlobHandler::BlobIsLink(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, String& aSrcTableName,
                                    TmvBlobNr&) {
  aSrcTableName.clear();
  return false;
}
uint32_t TmvNullBlobHandler::BlobRead(TmvBaseTransaction*, const TmvRecID&, int32_t, bool, TmvBlobNr, uint32_t,
                                      uint32_t, TStream*, uint32_t*) {
  return NotSupported(u"BlobRead");
}
uint32_t TmvNullBlobHandler::BlobModified(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, bool&) {
  return NotSupported(u"BlobModified");
}

// ---------------------------------------------------------------------------
// The passthrough handler

constinit const ClassRef TmvPassthroughBlobHandler::StaticClass{u"TmvPassthroughBlobHandler",
                                                                &TmvPersistent::StaticClass};

TmvPassthroughBlobHandler::TmvPassthroughBlobHandler(TmvBlobHandlerOwner* aParent, TmvBaseBlobEngine* aBlobEngine,
                                                     TmvBaseBlobLinkHandler* aBlobLinkHandler,
                                                     TmvFieldsDescriptor* aFieldsDescriptor)
    : TmvBaseBlobHandler(aParent),
      ptbhBlobEngine(aBlobEngine),
      ptbhBlobLinkHandler(aBlobLinkHandler),
      ptbhFieldsDescriptor(aFieldsDescriptor),
      ptbhBlobFields(BlobFieldsOf(aFieldsDescriptor)) {}

uint32_t TmvPassthroughBlobHandler::BlobCreate(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t,
                                               TmvBlobNr& aBlobNr) {
  ptbhBlobEngine->AddBlob(aTrans, aBlobNr);
  return 0;
}

uint32_t TmvPassthroughBlobHandler::BlobCreateFile(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t,
                                                   const String& aFileName, TmvBlobNr& aBlobNr) {
  ptbhBlobEngine->AddFileBlob(aTrans, aFileName, aBlobNr);
  return 0;
}

uint32_t TmvPassthroughBlobHandler::BlobCreateLink(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t,
                                                   const String& aTableName, TmvBlobNr aTableBlobNr,
                                                   TmvBlobNr& aBlobNr) {
  ptbhBlobEngine->AddBlobLink(aTrans, aTableName, aTableBlobNr, aBlobNr);
  return 0;
}

uint32_t TmvPassthroughBlobHandler::BlobDelete(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t,
                                               TmvBlobNr aBlobNr) {
  ptbhBlobEngine->DeleteBlob(aTrans, aBlobNr);
  return 0;
}

uint32_t TmvPassthroughBlobHandler::BlobFree(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, TmvBlobNr aBlobNr,
                                             bool& aBlobDeleted) {
  aBlobDeleted = ptbhBlobEngine->FreeBlob(aTrans, aBlobNr);
  return 0;
}

uint32_t TmvPassthroughBlobHandler::BlobTruncate(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t,
                                                 TmvBlobNr aBlobNr, uint32_t aBlobLength) {
  ptbhBlobEngine->Truncate(aTrans, aBlobNr, aBlobLength);
  return 0;
}

uint32_t TmvPassthroughBlobHandler::BlobWrite(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, TmvBlobNr aBlobNr,
                                              uint32_t aOffset, uint32_t aLen, const void* aBlob) {
  ptbhBlobEngine->Write(aTrans, aBlobNr, aOffset, aLen, aBlob);
  return 0;
}

uint32_t TmvPassthroughBlobHandler::BlobReplace(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo,
                                                TmvBlobNr& aBlobNr, uint32_t aLen, const void* aBlob) {
  if (aLen == 0) return aBlobNr != 0 ? BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, 0) : 0;
  const bool existing = aBlobNr != 0;
  if (!existing)
    if (const uint32_t result = BlobCreate(aTrans, aRecID, aFieldNo, aBlobNr)) return result;
  if (const uint32_t result = BlobWrite(aTrans, aRecID, aFieldNo, aBlobNr, 0, aLen, aBlob)) return result;
  return existing ? BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, aLen) : 0;
}

uint32_t TmvPassthroughBlobHandler::RefuseReadOld(const char16_t* aOperation) {
  return EmvBaseException::mvSetMessage(MVERR_NOTSUPPORTED, u"%s with aReadOld = True is not supported by %s",
                                        {String(aOperation), ClassName()});
}

uint32_t TmvPassthroughBlobHandler::BlobGetLength(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, bool aReadOld,
                                                  TmvBlobNr aBlobNr, uint32_t& aLength) {
  if (aReadOld) return RefuseReadOld(u"BlobGetLength");
  return ptbhBlobEngine->GetBlobLength(aTrans, aBlobNr, TmvBaseBlobLinkHandler::LengthMethod(ptbhBlobLinkHandler),
                                       aLength);
}

bool TmvPassthroughBlobHandler::BlobIsLink(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, TmvBlobNr aBlobNr,
                                           String& aSrcTableName, TmvBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  return ptbhBlobEngine->IsBlobLink(aTrans, aBlobNr, aSrcTableName, aSrcTableBlobNr);
}

uint32_t TmvPassthroughBlobHandler::BlobRead(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, bool aReadOld,
                                             TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, TStream* aStream,
                                             uint32_t* aBlobLen) {
  if (aReadOld) return RefuseReadOld(u"BlobRead");
  if (aBlobLen) {
    const uint32_t result = ptbhBlobEngine->GetBlobLength(
        aTrans, aBlobNr, TmvBaseBlobLinkHandler::LengthMethod(ptbhBlobLinkHandler), *aBlobLen);
    if (result != 0) return result;
  }
  return ptbhBlobEngine->Read(aTrans, aBlobNr, aOffset, aLen, TmvBaseBlobLinkHandler::ReadMethod(ptbhBlobLinkHandler),
                              aStream);
}

uint32_t TmvPassthroughBlobHandler::BlobModified(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, bool&) {
  return NotSupported(u"BlobModified");
}

uint32_t TmvPassthroughBlobHandler::AfterDelete(TmvBaseTransaction* aTrans, const TmvRecID& /*aRecID*/,
                                                const void* aRecord) {
  try {
    for (int32_t field : ptbhBlobFields) {
      TmvBlobNr number = 0;
      if (RecordBlobNr(ptbhFieldsDescriptor, field, aRecord, number) && number != 0)
        ptbhBlobEngine->DeleteBlob(aTrans, number);
    }
  } catch (const std::exception& e) {
    // The record is gone but its BLOBs are not: the transaction may only
    // be rolled back now.
    const uint32_t code = asoConvertException(e);
    aTrans->MarkCorrupted();
    return code;
  }
  return 0;
}
