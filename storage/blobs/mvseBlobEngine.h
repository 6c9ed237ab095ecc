// Storage: the BLOB engines, which keep the contents of a table's BLOB
// fields outside its records (unit mvseBlobEngine).
//
// A record's BLOB field holds a 64-bit BLOB number; the table's BLOB
// engine creates BLOBs and reads, writes, truncates and deletes them by
// number. Besides ordinary BLOBs it keeps two kinds of reference: a file
// BLOB names an outside file whose content is the BLOB (read-only; it must
// lie in the table's folder or below it), and a BLOB link names a BLOB of
// another table, read through callbacks the caller passes in.
//
// `TmvBaseBlobEngine` is the interface the per-cursor BLOB handlers call.
// "mv1xDefault" is the segmented engine (mvseBlobEngineSegmented.h), which
// keeps each BLOB as a tree of heap segments; "mv1xSimple" keeps each BLOB
// in a chain of whole blocks (mvseBlobEngineSimple.h).
//
// Offsets, lengths and result codes are 32-bit unsigned; result 0 is
// success. Every operation masks the BLOB number with bbeBlobNrMask first.
// This unit holds the family base: class record, registry, creation by the
// engine name in the BLOB descriptor, the table check, and the interface
// the engines implement. A table without a BLOB descriptor gets no engine.
//
// Ownership and threads: an engine belongs to one open table and is used
// under the table's locks; it does not own its block access. Calls the
// sub-engine framework and the data dictionary.
#pragma once

#include <cstdint>

#include "foundation/types/mvsdTypes.h"
#include "storage/cache/mvsrBlockAccess.h"
#include "storage/mvseSubEngine.h"

class TStream;
class TmvBaseBlobDescriptor;
class TmvBaseBlobEngine;
class TmvBaseTransaction;

MV_DECLARE_EXCEPTION(EmvBaseBlobEngineException, EmvBaseSubEngineException)

// Reads a linked BLOB of another table into aStream: a result code.
struct TmvBlobLinkRead {
  uint32_t (*Code)(void* aObject, const String& aTableName, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                   TStream* aStream) = nullptr;
  void* Object = nullptr;
  uint32_t operator()(const String& aTableName, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                      TStream* aStream) const {
    return Code(Object, aTableName, aBlobNr, aOffset, aLen, aStream);
  }
};

// The length of a linked BLOB of another table: a result code.
struct TmvBlobLinkGetLength {
  uint32_t (*Code)(void* aObject, const String& aTableName, TmvBlobNr aBlobNr, uint32_t& aLength) = nullptr;
  void* Object = nullptr;
  uint32_t operator()(const String& aTableName, TmvBlobNr aBlobNr, uint32_t& aLength) const {
    return Code(Object, aTableName, aBlobNr, aLength);
  }
};

// The largest BLOB: lengths and offsets are signed 32-bit in the format.
inline constexpr uint64_t mvMaxBlobSize = 0x7FFFFFFF;

struct TmvBlobEngineClassRef : TmvSubEngineClassRef {
  TmvBaseBlobEngine* (*Create)(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                               TmvBaseTransaction* aTrans);
  void (*CheckValidBase)(TmvBaseBlobDescriptor* aDescriptor);
};

class TmvBaseBlobEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvBlobEngineClassRef)
 public:
  static TmvClassRegistry* GetList();
  // The engine of the table's BLOB descriptor; nil without one; 15503
  // "Unknown BLOB engine: "<name>"" for an unknown name.
  static TmvBaseBlobEngine* CreateEngine(TmvBaseTableDescriptor* aTableDescriptor, const TmvBlockAccessArray& aFiles,
                                         TmvBaseTransaction* aTrans);
  static TmvBaseBlobEngine* CreateEngine(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                         TmvBaseTransaction* aTrans);
  // Nil passes; an unknown name raises 15503; then the class's CheckValidBase.
  static void CheckValidFromDescriptor(TmvBaseBlobDescriptor* aDescriptor);
  static void CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor);
  static void CheckValidBase(TmvBaseBlobDescriptor*) {}

  virtual void AddBlob(TmvBaseTransaction* aTrans, TmvBlobNr& aBlobNr) = 0;
  virtual void AddBlobLink(TmvBaseTransaction* aTrans, const String& aTableName, TmvBlobNr aTableBlobNr,
                           TmvBlobNr& aBlobNr) = 0;
  virtual void AddFileBlob(TmvBaseTransaction* aTrans, const String& aFileName, TmvBlobNr& aBlobNr) = 0;
  virtual void DeleteBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr) = 0;
  // Deletes the BLOB when it is empty: whether it did.
  virtual bool FreeBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr) = 0;
  virtual uint32_t GetBlobLength(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, TmvBlobLinkGetLength aLengthMethod,
                                 uint32_t& aLength) = 0;
  virtual bool IsFileBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, String& aFileName) = 0;
  virtual bool IsBlobLink(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, String& aSrcTableName,
                          TmvBlobNr& aSrcTableBlobNr) = 0;
  // Writes up to aLen bytes from aOffset to aStream; past the end fewer.
  virtual uint32_t Read(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                        TmvBlobLinkRead aReadMethod, TStream* aStream) = 0;
  virtual void Truncate(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aLen) = 0;
  virtual void Write(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                     const void* aBlob) = 0;
  virtual void Rollback(TmvBaseTransaction* aTrans);
  virtual void IncBlobNr(TmvBlobNr& aBlobNr);

  TmvBlockAccess* bbeBlobFile;
  TmvBlobNr bbeBlobNrMask = TmvBlobNr(-1);

 protected:
  // aFiles[the descriptor's file number] holds the BLOBs; the table's
  // engine version comes from aFiles[0].
  TmvBaseBlobEngine(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles);

  // The outside file of a file BLOB: aLen bytes at aOffset into aStream,
  // or its length. A name that leads out of the table's folder, or a file
  // that cannot be opened, gives 15440; a failed read 15441; a failed
  // close 15442 (the message is recorded as the thread's last error).
  uint32_t ReadFileBlob(const String& aFileName, uint32_t aOffset, TStream* aStream, uint32_t aLen);
  uint32_t GetFileBlobLength(const String& aFileName, uint32_t& aLength);
  // The name of the BLOB file, for messages.
  const String& BlobFileName() const { return bbeBlobFile->fiName(); }
};

// Registers the family base for the whole-dictionary check; takes it out.
void mvseBlobEngineInit();
void mvseBlobEngineFini();
