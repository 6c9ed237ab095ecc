// Storage: the variable record engine, "Variable" of the record family
// (unit mvseRecordEngineVariable), and the storage it shares with the
// versioned variable engine (mvseRecordEngineVariableVersioned.h).
//
// Every record is one segment of the table's heap: a flag byte, then the
// record image compressed by the table's record compression engine, or raw
// when the engine declines. A record's reference is its segment's heap
// reference and never changes while the record lives: when an update no
// longer fits the segment, the segment stays where it is as a forwarding
// stub to the record's new body.
//
// Record segment (flag bits: 0x01 moved body, 0x02 raw, 0x04 stub,
// 0x08 padded; every segment has at least 9 data bytes, so a stub always
// fits the segment it replaces):
//
// | flag | layout                                         | data length     |
// |------|------------------------------------------------|-----------------|
// | 0x00 | compressed image of n >= 9 bytes               | size - 1        |
// | 0x08 | compressed image of n < 9 bytes, padded to 9;   | size - 1 - last |
// |      | the last byte holds 9 - n                      |                 |
// | 0x02 | raw record image                               | record length   |
// | 0x0A | raw image (record length < 9), then padding    | record length   |
// | 0x04 | stub: size 9; bytes 1-4 low and 5-8 high half  | (the body's)    |
// |      | of the body's reference                        |                 |
// | +0x01| a moved body: one of the first four rows       | as that row     |
//
// Header section (24 bytes, under the record descriptor's section name):
//
// | offset | size | content                                          |
// |      0 |    4 | record count                                     |
// |      4 |    4 | first heap data block of the chain, 0 = none     |
// |      8 |    4 | last heap data block of the chain, 0 = none      |
// |     12 |    4 | the heap's first management block                |
// |     16 |    8 | not used                                         |
//
// Heap data block header (24 bytes): the common block header, then the
// next (offset 16) and previous (offset 20) data block of the chain, 0 at
// its ends. The chain gives scans their storage order.
//
// Damaged segments (a stub of the wrong size, a stub chain that loops, an
// image shorter than its flags say, a block chain longer than the file) are
// refused with 8962.
//
// An engine belongs to its open table and is used under the table's locks
// and transaction; it owns its heap engine, its compression engine and its
// scratch buffers. Calls the record family, the heap engines and the record
// compression engines.
#pragma once

#include "storage/compression/mvseRecordCompressionEngine.h"
#include "storage/heaps/mvseHeapEngine.h"
#include "storage/records/mvseRecordEngine.h"

class TmvHeapRecordDescriptor;

MV_DECLARE_EXCEPTION(EmvVariableRecordEngineException, EmvBaseRecordEngineException)

// The heap data block header of both variable engines (see above).
inline constexpr uint16_t mvVariableRecordDataBlockHeaderSize = 24;

// Keeps the chain of heap data blocks and the heap's first management block
// in the record engine's header section.
class TmvVariableRecordHeapHeaderHandler : public TmvHeapHeaderHandler {
 public:
  explicit TmvVariableRecordHeapHeaderHandler(uint16_t aHeaderSection) : rhhhHeaderSection(aHeaderSection) {}
  // Appends the block to the chain.
  void BlockAdded(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeaderAccess, uint8_t* aBlock) override;
  // Takes the block out of the chain.
  void BlockRemoved(TmvBaseTransaction* aTrans, TmvBaseFileHeaderAccess* aHeaderAccess, uint8_t* aBlock) override;
  uint16_t GetHeaderSize() override { return mvVariableRecordDataBlockHeaderSize; }
  uint32_t GetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess) override;
  void SetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess, uint32_t aBlockNumber) override;

  uint16_t rhhhHeaderSection;
};

// What sets the segments of the two variable engines apart: the size of
// the flag field ahead of the record data (1 byte here, a 2-byte word in
// the versioned engine, whose high byte is the record's layout version)
// and the least number of data bytes a segment has, which is what lets a
// stub (the flag field and an 8-byte reference) replace any segment.
struct TmvVariableSegmentFormat {
  uint8_t FlagSize;
  uint16_t MinData;
  uint16_t StubSize() const { return uint16_t(FlagSize + 8); }
};

// The storage of both variable engines: heap, header section, segments,
// stubs, walks and recovery. A concrete engine gives the segment format,
// the flags a new record is written with and how an older record is
// brought to the current layout.
class TmvBaseVariableRecordEngine : public TmvBaseRecordEngine {
 public:
  ~TmvBaseVariableRecordEngine() override;

  void AddRecord(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t* aRecData) override;
  void DeleteRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr) override;
  void ReadNextRecord(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr, uint8_t* aRecData) override;
  void ReadPrevRecord(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr, uint8_t* aRecData) override;
  void ReadRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t* aRecData) override;
  // A moved body's own reference is refused with 15412.
  void UpdateRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t* aNewRecord, uint8_t* aOldRecord) override;
  void GetRecordCount(TmvBaseTransaction* aTrans, uint32_t& aCount) override;
  // aData nil: a scratch buffer is lent for the call (nil again after).
  void Iterate(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData, const TmvRecordIterator& aIterator,
               void* aCookie, TmvBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst) override;
  void IterateBackward(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData,
                       const TmvRecordIterator& aIterator, void* aCookie, TmvBaseFilterEngine* aFilter,
                       bool aKeepPosition, bool aSkipFirst) override;
  int32_t RecNoGet(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, TmvBaseFilterEngine* aFilter, int32_t& aRecNo,
                   bool aFlipOrder) override;
  int32_t RecNoSet(TmvBaseTransaction* aTrans, int32_t aRecNo, TmvRefNr& aRefNr, TmvBaseFilterEngine* aFilter,
                   bool aFlipOrder) override;
  int32_t GetRecoverID() override { return reHeapEngine->bseID; }
  // Every record body once (moved bodies included, stubs skipped), with
  // reference 0.
  int32_t RecoverIterate(const uint8_t* aBlock, TmvBlockNumber aBlockNumber, uint8_t*& aData,
                         const TmvRecordIterator& aIterator, void* aCookie) override;
  TmvRecordIteratorResult ReadRecordForIterate(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t*& aData,
                                               const TmvRecordIterator& aIterator, void* aCookie,
                                               TmvBaseFilterEngine* aFilter) override;
  // Not supported: 12289 "ReplaceAllRecords is not supported by <class>".
  void ReplaceAllRecords(TmvBaseTransaction* aTrans, const TmvGetRecordCallback& aCallback) override;
  void Rollback(TmvBaseTransaction* aTrans) override;

  // The heap header handler of the engine's class.
  virtual TmvHeapHeaderHandler* CreateHeapHeaderHandler() = 0;

  uint16_t reHeaderSection = 0;
  TmvMemoryPoolHandle reRecordAllocator;
  uint8_t* reRecordBuffer = nullptr;
  uint8_t* reRawPadding = nullptr;
  uint16_t reRawPaddingSize = 0;
  TmvBaseHeapEngine* reHeapEngine = nullptr;
  TmvBaseRecordCompressionEngine* reCompressionEngine = nullptr;

 protected:
  // Takes the pool and scratch buffers; the concrete constructor then calls
  // OpenStorage, once its own state is set up.
  TmvBaseVariableRecordEngine(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                              TmvVariableSegmentFormat aFormat);
  // aDescriptor must be a heap record descriptor (10004). With aTrans (a
  // new table) the header section is created and zeroed. Then the header
  // handler, the heap and the compression engine.
  void OpenStorage(TmvBaseRecordDescriptor* aDescriptor, TmvBaseTransaction* aTrans);
  // The dictionary check both engines share after their own: 15495 when no
  // block size gives a heap segment large enough for the largest record
  // aFormat's engine may store (its flag field and the largest image of the
  // record's compression engine); raises the file's block size to the least
  // that does.
  static void FitBlockSize(TmvBaseTableDescriptor* aTableDescriptor, TmvHeapRecordDescriptor* aRecord,
                           TmvVariableSegmentFormat aFormat);

  // The flag field of a new or rewritten record, before its segment bits.
  virtual uint16_t NewRecordFlags() const { return 0; }
  // The least bytes a raw image stored at layout aVersion holds.
  virtual uint16_t RawLengthOfVersion(uint8_t /*aVersion*/) const { return breRecordLength; }
  // Brings a record read from a segment of layout aVersion to the current
  // layout.
  virtual void BringUpToDate(uint8_t* /*aRecord*/, uint8_t /*aVersion*/) const {}

  // One held segment.
  struct TSegment {
    TmvHeldBlock Block;
    uint8_t* Data = nullptr;
    uint16_t Size = 0;
    TmvSegmentRef Slot = 0;
  };
  // The image a record is stored as: its flag field and its pieces (the
  // flag field, the data, the padding). Refers to itself: not copied.
  struct TImage {
    uint8_t Flags[2] = {};
    const void* Pointers[3] = {};
    uint16_t Sizes[3] = {};
    TImage() = default;
    TImage(const TImage&) = delete;
    TImage& operator=(const TImage&) = delete;
    uint16_t DataLength() const { return uint16_t(Sizes[1] + Sizes[2]); }
  };
  using TVisit = std::function<bool(TmvRefNr aRefNr, const uint8_t* aSegment, uint16_t aSize)>;

  void GetSegment(TSegment& aSegment, TmvBaseTransaction* aTrans, TmvRefNr aRefNr, bool aDirty);
  void BuildImage(const uint8_t* aRecord, TImage& aImage);
  // Writes the flag field aFlags at the start of aSegment.
  void PutFlags(uint8_t* aSegment, uint16_t aFlags) const;
  // Decodes a segment into aRecord (following a stub); with aRefNrField
  // the record's RefNr field gets aRefNr.
  void Decode(TmvBaseTransaction* aTrans, const uint8_t* aSegment, uint16_t aSize, TmvRefNr aRefNr, uint8_t* aRecord,
              bool aRefNrField, int aDepth = 0);
  void ReadAt(TmvBaseTransaction* aTrans, TmvRefNr aAt, TmvRefNr aRefNr, uint8_t* aRecord, int aDepth = 0);
  void FreeAt(TmvBaseTransaction* aTrans, TmvRefNr aAt, int aDepth = 0);
  TmvRefNr StubTarget(const uint8_t* aSegment, uint16_t aSize, int aDepth) const;
  // Visits the segments after aFrom (0: from the start) in storage order,
  // moved bodies left out, until aVisit answers false; answers the
  // reference it stopped at, 0 at the end.
  TmvRefNr Walk(TmvBaseTransaction* aTrans, TmvRefNr aFrom, bool aBackward, const TVisit& aVisit);
  void IterateDir(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData, const TmvRecordIterator& aIterator,
                  void* aCookie, TmvBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst, bool aBackward);
  void ReadNeighbour(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr, uint8_t* aRecData,
                     bool aBackward);
  void AddToCount(TmvBaseTransaction* aTrans, int32_t aDelta);
  [[noreturn]] void RaiseDamaged(TmvRefNr aRefNr) const;

  const TmvVariableSegmentFormat reFormat;
};

class TmvVariableRecordEngine : public TmvBaseVariableRecordEngine {
  MV_DECLARE_CLASSREF(TmvRecordEngineClassRef)
 public:
  // aDescriptor must be a heap record descriptor (10004). With aTrans (a
  // new table) the header section is created and zeroed.
  TmvVariableRecordEngine(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                          TmvBaseTransaction* aTrans);
  static TmvBaseRecordEngine* Create(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                     TmvBaseTransaction* aTrans);
  // 10004 unless a heap record descriptor with a heap descriptor; the heap
  // and compression checks; then FitBlockSize.
  static void CheckValidDescriptor(TmvBaseTableDescriptor* aTableDescriptor);

  TmvHeapHeaderHandler* CreateHeapHeaderHandler() override;
};

// Registers the engine as "Variable" and takes it out again.
void mvseRecordEngineVariableInit();
void mvseRecordEngineVariableFini();
