// Storage: the simple BLOB engine, registered as "mv1xSimple" (unit
// mvseBlobEngineSimple).
//
// Every BLOB is a chain of whole blocks of its own, without a heap and
// without a header section; the BLOB number is the number of its first
// block (from engine version 47005 the high 32 bits count reuses and are
// masked off). Reading at an offset walks the chain from the first block:
// the engine trades random access for simplicity.
//
// BLOB block (S = usable block size), little-endian:
//
// | offset | size   | field                                            |
// |      0 |     16 | common block header, signature "MVBH"            |
// |     16 |      1 | kind: 0 data, 1 file BLOB, 2 BLOB link           |
// |     17 |      4 | next block of the chain; 0xFFFFFFFF = last       |
// |     21 |      4 | BLOB length (kept in the first block)            |
// |     25 |      2 | bytes of data in this block                      |
// |     27 | S - 27 | data                                             |
//
// A file BLOB (one block) holds a u16 name length n at 27 and the name in
// the ANSI code page at 29, its length field n + 1. A BLOB link (one block)
// holds a u32 name length n at 27, the table name at 31 and the source BLOB
// number (8 bytes) at 31 + n, its length field n + 12.
//
// Neither a file BLOB nor a link can be written or cut as data (10502).
// Damaged chains (used counts beyond the block, chains that run in a
// circle or end early, names beyond the block) raise 8962.
#pragma once

#include "storage/blobs/mvseBlobEngine.h"
#include "storage/heaps/mvseHeapEngine.h"

MV_DECLARE_EXCEPTION(EmvSimpleBlobEngineException, EmvBaseBlobEngineException)

class TmvSimpleBlobEngine : public TmvBaseBlobEngine {
  MV_DECLARE_CLASSREF(TmvBlobEngineClassRef)
 public:
  TmvSimpleBlobEngine(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                      TmvBaseTransaction* aTrans);
  static TmvBaseBlobEngine* Create(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                   TmvBaseTransaction* aTrans) {
    return new TmvSimpleBlobEngine(aDescriptor, aFiles, aTrans);
  }

  void AddBlob(TmvBaseTransaction* aTrans, TmvBlobNr& aBlobNr) override;
  void AddBlobLink(TmvBaseTransaction* aTrans, const String& aTableName, TmvBlobNr aTableBlobNr,
                   TmvBlobNr& aBlobNr) override;
  void AddFileBlob(TmvBaseTransaction* aTrans, const String& aFileName, TmvBlobNr& aBlobNr) override;
  void DeleteBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr) override;
  bool FreeBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr) override;
  uint32_t GetBlobLength(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, TmvBlobLinkGetLength aLengthMethod,
                         uint32_t& aLength) override;
  bool IsFileBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, String& aFileName) override;
  bool IsBlobLink(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, String& aSrcTableName,
                  TmvBlobNr& aSrcTableBlobNr) override;
  uint32_t Read(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                TmvBlobLinkRead aReadMethod, TStream* aStream) override;
  void Truncate(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aLen) override;
  void Write(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
             const void* aBlob) override;
  void IncBlobNr(TmvBlobNr& aBlobNr) override;

 private:
  // A block of a BLOB chain: 10030 for block 0, 15409 outside the file,
  // 11896 when it is not a BLOB block (a freed block is "DEAD").
  uint8_t* ReadBlobBlock(TmvBaseTransaction* aTrans, bool aMarkDirty, TmvBlockNumber aBlockNumber,
                         TmvReleaseMethod& aReleaseMethod);
  uint8_t* NewBlobBlock(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeader, TmvReleaseMethod& aRelease);
  TmvBlockNumber FirstBlock(TmvBlobNr aBlobNr) const { return TmvBlockNumber(aBlobNr & bbeBlobNrMask); }
  // Moves aBlock (the first block) along the chain to the block in which
  // aOffset falls, a block ending at it being kept; that block's start.
  uint32_t SeekBlock(TmvBaseTransaction* aTrans, TmvHeldBlock& aBlock, uint32_t aOffset, bool aMarkDirty,
                     uint32_t& aSteps);
  // The used count of a block, checked against the block.
  uint16_t Used(const uint8_t* aBlock);
  // The next block of a chain; 8962 when the chain is longer than the file
  // has blocks as aTrans sees it.
  TmvBlockNumber Next(TmvBaseTransaction* aTrans, const uint8_t* aBlock, uint32_t& aSteps);
  // Gives aFirst and the blocks after it back (aKept: a block of the chain
  // that stays, 0 for none).
  void FreeChain(TmvBaseTransaction* aTrans, TmvBlockNumber aFirst, TmvBlockNumber aKept);
  String FileName(const uint8_t* aBlock);
  String LinkName(const uint8_t* aBlock, TmvBlobNr& aSource);
  [[noreturn]] void RaiseDamaged(TmvBlockNumber aBlock, const char16_t* aWhat);
  [[noreturn]] void RaiseReadOnly(uint8_t aKind, TmvBlobNr aBlobNr);
  uint32_t DataSize() const { return bbeBlobFile->fiBlockSizeBytes() - 27; }
};

// Registers the engine as "mv1xSimple" and takes it out again.
void mvseBlobEngineSimpleInit();
void mvseBlobEngineSimpleFini();
