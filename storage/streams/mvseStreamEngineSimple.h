// Storage: the simple stream engine, "mv1xDefault" of the stream family
// (unit mvseStreamEngineSimple).
//
// A stream is a chain of "MVSH" blocks; its number is the number of its
// first block, which never changes while the stream lives, so that the
// places that record it stay valid when it is rewritten. Two streams are
// found from an 8-byte header section: "DICT" (the data dictionary) and the
// name map "SMAP", which holds the first block of every other named stream.
//
// Header section (its name: the stream descriptor's header section, or
// "Stream" without descriptor; in an "MV!1" header it lies at 512):
//
// | offset | size | field                                          |
// |      0 |    4 | first block of the "DICT" stream, 0 = none     |
// |      4 |    4 | first block of the name map stream, 0 = none   |
//
// Stream block (U = the file's usable block size):
//
// | offset | size   | field                                              |
// |      0 |      4 | signature "MVSH"                                   |
// |      4 |      4 | this block's number                                |
// |      8 |      8 | LSN (the cache keeps it)                           |
// |     16 |      4 | next block of the stream, -1 = last                |
// |     20 |      4 | stream kind: "DICT", "USER", "SMAP" or the caller's |
// |     24 |      4 | stream length in bytes (first block; 0 in others)  |
// |     28 |      4 | the stream's number (its first block)              |
// |     32 | U - 32 | data                                               |
//
// Name map stream: u32 count, then per entry {u8 name length L, L name
// bytes in the system ANSI code page, u32 first block}, sorted by name
// without regard to case. "DICT" is never in it.
//
// Everything read from the file is checked before use: a block beyond the
// file gives 15409, a block that is not a stream block 15421, and a chain
// that does not match its stream's length, a stream longer than the file or
// a name map that does not parse 8962; no damage leads to an endless walk.
//
// An engine belongs to its open file and is used under the server's table
// locks. Calls the stream family, the block accesses and the header access.
#pragma once

#include "storage/streams/mvseStreamEngine.h"

MV_DECLARE_EXCEPTION(EmvseStreamEngineExcpetion, EmvStreamEngineException)

// Byte offsets of a stream block (table above).
inline constexpr uint32_t mvStreamNextOffset = 16;
inline constexpr uint32_t mvStreamKindOffset = 20;
inline constexpr uint32_t mvStreamLengthOffset = 24;
inline constexpr uint32_t mvStreamNumberOffset = 28;
inline constexpr uint32_t mvStreamDataOffset = 32;
// The longest name the map can store, in ANSI bytes.
inline constexpr size_t mvStreamNameMax = 255;

class TmvFastStringListIC;

class TmvSimpleStreamEngine : public TmvBaseStreamEngine {
  MV_DECLARE_CLASSREF(TmvStreamEngineClassRef)
 public:
  // With aTrans (a new file) creates the header section and zeroes it;
  // without, looks it up (8712 when the file has none, 8961 when its size
  // is not 8).
  TmvSimpleStreamEngine(TmvBaseStreamDescriptor* aDescriptor, TmvBlockAccess* aDataFile, TmvBaseTransaction* aTrans);

  void DeleteStream(TmvBaseTransaction* aTrans, TmvBlockNumber aStreamNr) override;
  void ReadStream(TmvBaseTransaction* aTrans, TmvBlockNumber aStreamNr, TStream& aStream) override;
  void WriteStream(TmvBaseTransaction* aTrans, TmvBlockNumber& aStreamNr, TStream& aStream, bool aCreateNew,
                   const TmvBlockSignature& aStreamSig) override;
  int32_t GetNamedStreamList(TmvBaseTransaction* aTrans, TStrings& aStreams) override;
  int32_t GetNamedStreamCount(TmvBaseTransaction* aTrans, int32_t& aCount) override;
  int32_t DeleteNamedStream(TmvBaseTransaction* aTrans, const String& aName) override;
  int32_t ReadNamedStream(TmvBaseTransaction* aTrans, const String& aName, TStream& aStream) override;
  // A name other than "DICT" that is empty, longer than 255 bytes in the
  // ANSI code page or holds a character the code page lacks answers 10068
  // before anything is written.
  int32_t WriteNamedStream(TmvBaseTransaction* aTrans, const String& aName, TStream& aStream) override;

  // The offset of the header section in block 0 (or the table's header block).
  uint32_t seHeaderSection = 0;

 private:
  enum TSectionEntry : uint32_t { seDict = 0, seNameMap = 4 };
  uint32_t DataBytes() const { return bseDataFile->fiBlockSizeBytes() - mvStreamDataOffset; }
  TmvBlockNumber ReadSectionEntry(TmvBaseTransaction* aTrans, TSectionEntry aEntry);
  void WriteSectionEntry(TmvBaseTransaction* aTrans, TSectionEntry aEntry, TmvBlockNumber aValue);
  // Holds stream block aNumber, checked (15409, 15421).
  uint8_t* HoldStreamBlock(TmvBaseTransaction* aTrans, TmvBlockNumber aNumber, bool aDirty, TmvHeldBlock& aHeld);
  // The number of blocks a stream of aLength bytes takes; 8962 when the
  // file cannot hold that many.
  uint32_t BlocksFor(TmvBaseTransaction* aTrans, TmvBlockNumber aStreamNr, uint32_t aLength);
  // Frees the blocks after aFirst (a held, dirty first block) and ends
  // the chain there.
  void FreeTail(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeader, TmvBlockNumber aStreamNr,
                uint8_t* aFirst);
  // The next block after aBlock of stream aStreamNr, checked against the
  // chain's expectation (8962).
  TmvBlockNumber NextInChain(const uint8_t* aBlock, TmvBlockNumber aStreamNr, bool aLast);
  [[noreturn]] void RaiseDamagedChain(TmvBlockNumber aStreamNr, TmvBlockNumber aBlock);
  void ReadNameMap(TmvBaseTransaction* aTrans, TmvFastStringListIC& aMap);
  void WriteNameMap(TmvBaseTransaction* aTrans, TmvFastStringListIC& aMap);
};

// Registers the simple stream engine as "mv1xDefault" and takes it out again.
void mvseStreamEngineSimpleInit();
void mvseStreamEngineSimpleFini();
