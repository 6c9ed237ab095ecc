// Storage: the BLOB handlers through which a table cursor reaches its
// table's BLOBs (unit mvseBlobHandler).
//
// Every cursor owns a BLOB handler: it performs each BLOB operation of the
// cursor and hears of every record change, so that the BLOBs records refer
// to stay consistent. The kind of handler decides what happens between the
// cursor and the table's BLOB engine: the null handler serves tables
// without BLOBs (and refuses every BLOB operation with 12289), the
// passthrough handler hands each operation straight to the engine.
//
// Results are 32-bit codes, 0 = success. A handler records the text of a
// refusal as the thread's last converted exception. Engine exceptions of
// the passthrough handler's operations pass to the cursor, which converts
// them; only AfterDelete converts its own (a record already deleted cannot
// be kept: the transaction is marked corrupted instead).
//
// Ownership and threads: a handler belongs to its cursor and is used under
// the cursor's session lock; it does not own the engine, the link handler,
// the fields descriptor or the owner.
#pragma once

#include <cstdint>
#include <exception>
#include <vector>

#include "foundation/mvllComponents.h"
#include "foundation/types/mvsdTypes.h"
#include "storage/blobs/mvseBlobEngine.h"

class TStream;
class TmvBaseTransaction;
class TmvFieldsDescriptor;

// The root of the server's objects, as far as the BLOB handlers need it:
// the owner (`esoParent`) and the conversion of an exception into the
// result code a caller is answered with. Named apart from the server's own
// object root (server/), which lies above storage and may not be reached
// from here.
class TmvStorageServerObject : public TmvPersistent {
 public:
  explicit TmvStorageServerObject(TmvStorageServerObject* aParent) : esoParent(aParent) {}
  // The error code of e (its text recorded as the thread's last converted
  // exception and logged to the storage log).
  uint32_t asoConvertException(const std::exception& e);

  TmvStorageServerObject* esoParent;
};

// What a BLOB handler reads of the cursor that owns it: the special-fields
// information with the table's BLOB fields, and the fields descriptor that
// lays out its records. The server's table cursor implements it.
class TmvBlobHandlerOwner : public TmvStorageServerObject {
 public:
  using TmvStorageServerObject::TmvStorageServerObject;
  virtual const TmvSpecialFieldsInfo* acSFI() = 0;
  virtual TmvFieldsDescriptor* GetFieldsDescriptor() = 0;
};

// Reads BLOBs of other tables of the same database for BLOB links.
class TmvBaseBlobLinkHandler : public TmvStorageServerObject {
 public:
  using TmvStorageServerObject::TmvStorageServerObject;
  virtual uint32_t BlobLinkRead(const String& aTableName, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                TStream* aStream) = 0;
  virtual uint32_t BlobLinkGetLength(const String& aTableName, TmvBlobNr aBlobNr, uint32_t& aLength) = 0;
  // The two operations as the callbacks the BLOB engines take (a nil
  // handler gives callbacks that answer 12289).
  static TmvBlobLinkRead ReadMethod(TmvBaseBlobLinkHandler* aHandler);
  static TmvBlobLinkGetLength LengthMethod(TmvBaseBlobLinkHandler* aHandler);
};

// One cache entry of a cached BLOB (the caching handlers keep them).
struct TmvBlobCacheInfo;
using TmvBlobCacheInfos = std::vector<TmvBlobCacheInfo>*;

class TmvBaseBlobHandler : public TmvStorageServerObject {
 public:
  explicit TmvBaseBlobHandler(TmvBlobHandlerOwner* aParent) : TmvStorageServerObject(aParent) {}

  // The numbers of the record's non-null, non-zero BLOB fields (those
  // marked in aMarkedBlobs, when given, by position in the BLOB field list).
  // aBlobCount: the room in aBlobNrs in, the numbers stored out. 9986 for a
  // nil record, 9985 when the room runs out.
  virtual uint32_t GetBlobs(TmvBaseTransaction* aTrans, const void* aData, const std::vector<bool>* aMarkedBlobs,
                            uint16_t& aBlobCount, TmvBlobNr* aBlobNrs);
  virtual uint32_t BlobsCancel(TmvBaseTransaction* aTrans, TmvRefNr aRefNr);
  virtual bool BlobVerifyNr(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo,
                            TmvBlobNr aBlobNr) = 0;
  // 12289 here (with aBCIs nil): only caching handlers keep caches.
  virtual uint32_t GetBlobCacheInfos(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, TmvBlobCacheInfos& aBCIs);
  virtual uint32_t BlobCacheFlushed(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo,
                                    TmvBlobNr aBlobNr, TmvBlobNr* aNewBlobNr);
  virtual uint32_t BlobCreate(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo,
                              TmvBlobNr& aBlobNr) = 0;
  virtual uint32_t BlobCreateFile(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo,
                                  const String& aFileName, TmvBlobNr& aBlobNr) = 0;
  virtual uint32_t BlobCreateLink(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo,
                                  const String& aTableName, TmvBlobNr aTableBlobNr, TmvBlobNr& aBlobNr) = 0;
  virtual uint32_t BlobDelete(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo,
                              TmvBlobNr aBlobNr) = 0;
  virtual uint32_t BlobFree(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                            bool& aBlobDeleted) = 0;
  virtual uint32_t BlobTruncate(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo,
                                TmvBlobNr aBlobNr, uint32_t aBlobLength) = 0;
  virtual uint32_t BlobWrite(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                             uint32_t aOffset, uint32_t aLen, const void* aBlob) = 0;
  virtual uint32_t BlobReplace(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo,
                               TmvBlobNr& aBlobNr, uint32_t aLen, const void* aBlob) = 0;
  virtual uint32_t BlobGetLength(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo, bool aReadOld,
                                 TmvBlobNr aBlobNr, uint32_t& aLength) = 0;
  virtual bool BlobIsLink(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                          String& aSrcTableName, TmvBlobNr& aSrcTableBlobNr) = 0;
  virtual uint32_t BlobRead(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo, bool aReadOld,
                            TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, TStream* aStream,
                            uint32_t* aBlobLen) = 0;
  virtual uint32_t BlobModified(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo,
                                TmvBlobNr aBlobNr, bool& aChanged) = 0;
  virtual uint32_t BlobAddToCache(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo,
                                  TmvBlobNr aBlobNr, uint32_t aLen, const void* aBlob);
  virtual uint32_t AfterDelete(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, const void* aRecord) = 0;
  virtual uint32_t BeforeInsert(TmvBaseTransaction* aTrans, const void* aRecord) = 0;
  virtual uint32_t BeforeModify(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, const void* aOldRecord,
                                const void* aNewRecord) = 0;
  virtual uint32_t AfterModify(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, const void* aOldRecord,
                               const void* aNewRecord) = 0;
  virtual bool NeedNested() = 0;

 protected:
  TmvBlobHandlerOwner* Owner() const { return static_cast<TmvBlobHandlerOwner*>(esoParent); }
};

// The handler of a table without BLOB engine or BLOB fields.
class TmvNullBlobHandler : public TmvBaseBlobHandler {
  MV_DECLARE_CLASSREF(ClassRef)
 public:
  using TmvBaseBlobHandler::TmvBaseBlobHandler;
  uint32_t GetBlobs(TmvBaseTransaction* aTrans, const void* aData, const std::vector<bool>* aMarkedBlobs,
                    uint16_t& aBlobCount, TmvBlobNr* aBlobNrs) override;
  bool BlobVerifyNr(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr) override { return false; }
  uint32_t BlobCreate(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr&) override;
  uint32_t BlobCreateFile(TmvBaseTransaction*, const TmvRecID&, int32_t, const String&, TmvBlobNr&) override;
  uint32_t BlobCreateLink(TmvBaseTransaction*, const TmvRecID&, int32_t, const String&, TmvBlobNr,
                          TmvBlobNr&) override;
  uint32_t BlobDelete(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr) override;
  uint32_t BlobFree(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, bool&) override;
  uint32_t BlobTruncate(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, uint32_t) override;
  uint32_t BlobWrite(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, uint32_t, uint32_t,
                     const void*) override;
  uint32_t BlobReplace(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr&, uint32_t, const void*) override;
  uint32_t BlobGetLength(TmvBaseTransaction*, const TmvRecID&, int32_t, bool, TmvBlobNr, uint32_t&) override;
  bool BlobIsLink(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, String& aSrcTableName,
                  TmvBlobNr& aSrcTableBlobNr) override;
  uint32_t BlobRead(TmvBaseTransaction*, const TmvRecID&, int32_t, bool, TmvBlobNr, uint32_t, uint32_t, TStream*,
                    uint32_t*) override;
  uint32_t BlobModified(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, bool&) override;
  uint32_t AfterDelete(TmvBaseTransaction*, const TmvRecID&, const void*) override { return 0; }
  uint32_t BeforeInsert(TmvBaseTransaction*, const void*) override { return 0; }
  uint32_t BeforeModify(TmvBaseTransaction*, const TmvRecID&, const void*, const void*) override { return 0; }
  uint32_t AfterModify(TmvBaseTransaction*, const TmvRecID&, const void*, const void*) override { return 0; }
  bool NeedNested() override { return false; }
};

// Hands every operation to the table's BLOB engine.
class TmvPassthroughBlobHandler : public TmvBaseBlobHandler {
  MV_DECLARE_CLASSREF(ClassRef)
 public:
  // Takes the BLOB field numbers from the fields descriptor.
  TmvPassthroughBlobHandler(TmvBlobHandlerOwner* aParent, TmvBaseBlobEngine* aBlobEngine,
                            TmvBaseBlobLinkHandler* aBlobLinkHandler, TmvFieldsDescriptor* aFieldsDescriptor);

  bool BlobVerifyNr(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr) override { return true; }
  uint32_t BlobCreate(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, TmvBlobNr& aBlobNr) override;
  uint32_t BlobCreateFile(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, const String& aFileName,
                          TmvBlobNr& aBlobNr) override;
  uint32_t BlobCreateLink(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, const String& aTableName,
                          TmvBlobNr aTableBlobNr, TmvBlobNr& aBlobNr) override;
  uint32_t BlobDelete(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, TmvBlobNr aBlobNr) override;
  uint32_t BlobFree(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, TmvBlobNr aBlobNr,
                    bool& aBlobDeleted) override;
  uint32_t BlobTruncate(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, TmvBlobNr aBlobNr,
                        uint32_t aBlobLength) override;
  uint32_t BlobWrite(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, TmvBlobNr aBlobNr, uint32_t aOffset,
                     uint32_t aLen, const void* aBlob) override;
  // Creates, writes and cuts through the handler's own operations; length 0
  // empties an existing BLOB and keeps its number.
  uint32_t BlobReplace(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr,
                       uint32_t aLen, const void* aBlob) override;
  // aReadOld is refused with 12289: this handler keeps no old versions.
  uint32_t BlobGetLength(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, bool aReadOld, TmvBlobNr aBlobNr,
                         uint32_t& aLength) override;
  bool BlobIsLink(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, TmvBlobNr aBlobNr, String& aSrcTableName,
                  TmvBlobNr& aSrcTableBlobNr) override;
  uint32_t BlobRead(TmvBaseTransaction* aTrans, const TmvRecID&, int32_t, bool aReadOld, TmvBlobNr aBlobNr,
                    uint32_t aOffset, uint32_t aLen, TStream* aStream, uint32_t* aBlobLen) override;
  uint32_t BlobModified(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr, bool&) override;
  // Deletes the deleted record's BLOBs; a failure marks aTrans corrupted
  // and answers its code.
  uint32_t AfterDelete(TmvBaseTransaction* aTrans, const TmvRecID& aRecID, const void* aRecord) override;
  uint32_t BeforeInsert(TmvBaseTransaction*, const void*) override { return 0; }
  uint32_t BeforeModify(TmvBaseTransaction*, const TmvRecID&, const void*, const void*) override { return 0; }
  uint32_t AfterModify(TmvBaseTransaction*, const TmvRecID&, const void*, const void*) override { return 0; }
  bool NeedNested() override { return false; }

  TmvBaseBlobEngine* ptbhBlobEngine;
  TmvBaseBlobLinkHandler* ptbhBlobLinkHandler;
  TmvFieldsDescriptor* ptbhFieldsDescriptor;
  std::vector<int32_t> ptbhBlobFields;

 private:
  uint32_t RefuseReadOld(const char16_t* aOperation);
};
