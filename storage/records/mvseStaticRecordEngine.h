// Storage engines: the static record engine, fixed-length records in slots
// of data blocks (unit mvseStaticRecordEngine). Registered as "mv1xDefault"
// and "Static"; the record engine of every table of this system.
//
// Geometry, with U the usable block size and L the record length:
//   records per block N = floor((U - 32) * 8 / (L * 8 + 1));
//   bitmap size       B = ceil(N / 8);
//   slot stride       S = floor((U - B - 32) / N), its low bits cleared one
//                         by one from bit 0 while S stays at least L;
//   first slot at     F = U - S * N.
//
// Data block "MVDH" (owner ID = the engine's bseID):
//
// | offset | size  | field                                                  |
// |      0 |    4  | signature "MVDH"                                       |
// |      4 |    4  | this block's number                                    |
// |      8 |    8  | LSN                                                    |
// |     16 |    4  | next block of the table chain, 0 = last                |
// |     20 |    4  | previous block of the table chain, 0 = first           |
// |     24 |    4  | next block of the free-slot chain, 0 = last            |
// |     28 |    2  | first free slot of this block (1-based), 0 = full      |
// |     30 |    2  | number of records in this block                        |
// |     32 |    B  | in-use bitmap: bit k - 1 set = slot k holds a record   |
// |      F | S * N | slots; a free slot's first 4 bytes: next free slot    |
//
// Header section (20 bytes, under the record descriptor's section name):
//
// | offset | size | field                                                   |
// |      0 |    4 | number of records                                       |
// |      4 |    4 | first data block of the table chain, 0 = none           |
// |      8 |    4 | last data block of the table chain, 0 = none            |
// |     12 |    4 | free slots in all blocks of the free-slot chain         |
// |     16 |    4 | first block of the free-slot chain, 0 = none            |
//
// The free-slot count is 0 exactly when the free-slot chain is empty; that
// is checked before and after every add and delete (8961 otherwise).
// Emptied blocks stay in both chains: blocks are never given back.
// A reference is block << 32 | slot. Everything read from a block (counts,
// links, slot numbers, chains) is checked before use: a damaged file raises
// an engine error, never an access out of bounds or an endless walk.
// Threads and ownership as for every record engine (mvseRecordEngine.h).
#pragma once

#include <cstdint>

#include "storage/records/mvseRecordEngine.h"

MV_DECLARE_EXCEPTION(EmvStaticRecordEngineException, EmvBaseRecordEngineException)

inline constexpr TmvBlockSignature mvStaticRecordBlockSignature{'M', 'V', 'D', 'H'};
// The smallest usable block a record of length L needs: L + this.
inline constexpr uint32_t mvStaticRecordBlockOverhead = 33;

struct TmvStaticRecordGeometry {
  uint16_t RecsPerBlock;     // N
  uint16_t InUseArraySize;   // B
  uint16_t RecordStride;     // S
  uint16_t FirstRecordOffset;  // F
};
// The geometry of records of aRecordLength bytes in blocks of aUsable bytes.
// Requires: aRecordLength + 33 <= aUsable <= 65535.
TmvStaticRecordGeometry mvStaticRecordGeometry(uint32_t aUsable, uint32_t aRecordLength);

class TmvStaticRecordEngine : public TmvBaseRecordEngine {
  MV_DECLARE_CLASSREF(TmvRecordEngineClassRef)
 public:
  // With aTrans (a new table) registers the header section and zeroes it;
  // without, looks it up. A data file whose blocks cannot hold one record
  // raises 15495.
  TmvStaticRecordEngine(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                        TmvBaseTransaction* aTrans);
  static TmvBaseRecordEngine* Create(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                     TmvBaseTransaction* aTrans);

  // The class check over the table descriptor: the smallest block size
  // whose usable size holds L + 33 bytes (15495 "Maximum record size has
  // been exceeded" when even 64 KB does not); the record file's block size
  // is raised to it.
  static void CheckValidDescriptor(TmvBaseTableDescriptor* aTableDescriptor);

  void AddRecord(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t* aRecData) override;
  void DeleteRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr) override;
  void ReadNextRecord(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr,
                      uint8_t* aRecData) override;
  void ReadPrevRecord(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr,
                      uint8_t* aRecData) override;
  void ReadRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t* aRecData) override;
  void UpdateRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t* aNewRecord, uint8_t* aOldRecord) override;
  void GetRecordCount(TmvBaseTransaction* aTrans, uint32_t& aCount) override;
  void Iterate(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData, const TmvRecordIterator& aIterator,
               void* aCookie, TmvBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst) override;
  void IterateBackward(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData,
                       const TmvRecordIterator& aIterator, void* aCookie, TmvBaseFilterEngine* aFilter,
                       bool aKeepPosition, bool aSkipFirst) override;
  int32_t RecNoGet(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, TmvBaseFilterEngine* aFilter, int32_t& aRecNo,
                   bool aFlipOrder) override;
  int32_t RecNoSet(TmvBaseTransaction* aTrans, int32_t aRecNo, TmvRefNr& aRefNr, TmvBaseFilterEngine* aFilter,
                   bool aFlipOrder) override;
  int32_t GetRecoverID() override;
  int32_t RecoverIterate(const uint8_t* aBlock, TmvBlockNumber aBlockNumber, uint8_t*& aData,
                         const TmvRecordIterator& aIterator, void* aCookie) override;
  TmvRecordIteratorResult ReadRecordForIterate(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t*& aData,
                                               const TmvRecordIterator& aIterator, void* aCookie,
                                               TmvBaseFilterEngine* aFilter) override;
  void ReplaceAllRecords(TmvBaseTransaction* aTrans, const TmvGetRecordCallback& aCallback) override;

  uint16_t reHeaderSection = 0;
  uint16_t reRecsPerBlock;
  uint16_t reInUseArraySize;
  uint16_t reRecordLength;
  uint16_t reFirstRecordOffset;
  bool reFileIsV1;
  bool reDeleteBlocks = false;

 private:
  class THeld;
  class THeader;
  struct TWalk;

  [[noreturn]] void RaiseError(int32_t aCode, const String& aText = String()) const;
  [[noreturn]] void RaiseCorrupt(TmvBlockNumber aBlock) const;
  // Splits a reference, checking its slot (15412) and block (15409).
  void CheckRefNr(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, TmvBlockNumber& aBlock, uint16_t& aSlot) const;
  // Holds a data block: 15409 outside the file, 15413 when it is not a
  // data block of this engine; its counts are checked (8962).
  uint8_t* HoldDataBlock(TmvBaseTransaction* aTrans, TmvBlockNumber aBlock, bool aDirty, THeld& aHeld) const;
  // A fresh empty block appended to the table chain at the head of the
  // (empty) free-slot chain.
  uint8_t* NewDataBlock(TmvBaseTransaction* aTrans, THeader& aHeader, THeld& aHeld) const;
  uint8_t* Slot(uint8_t* aBlock, uint16_t aSlot) const;
  static bool SlotUsed(const uint8_t* aBlock, uint16_t aSlot);
  static void SetSlotUsed(uint8_t* aBlock, uint16_t aSlot, bool aUsed);
  // Copies a slot into aRecData (when given) and sets its RefNr field.
  void CopyOut(uint8_t* aBlock, TmvBlockNumber aBlockNr, uint16_t aSlot, uint8_t* aRecData) const;
  [[noreturn]] void RaiseDeleted(TmvRefNr aRefNr) const;
  // The next (or previous) used slot after aSlot in the table chain,
  // starting in aBlock; false at the end.
  bool Step(TmvBaseTransaction* aTrans, TWalk& aWalk, bool aForward) const;
  // Counts a block entered by a walk: 8962 when the chain runs in a circle.
  void CountBlock(TmvBaseTransaction* aTrans, TWalk& aWalk) const;
  // Where a walk from aFromRefNr (0: from the chain's start or end) begins.
  void StartWalk(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TWalk& aWalk, bool aForward) const;
  // ReadNextRecord and ReadPrevRecord.
  void StepFrom(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr, uint8_t* aRecData,
                bool aForward) const;
  // Calls aVisit for each block of the table chain until it answers true.
  void WalkBlocks(TmvBaseTransaction* aTrans, bool aForward,
                  const std::function<bool(uint8_t*, TmvBlockNumber)>& aVisit) const;
  // The shared walk of Iterate and IterateBackward.
  void Walk(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData, const TmvRecordIterator& aIterator,
            void* aCookie, TmvBaseFilterEngine* aFilter, bool aKeepPosition, bool aForward);
  // Hands one stored record to aIterator as Iterate does.
  TmvRecordIteratorResult CallIterator(uint8_t* aSlot, TmvRefNr aRefNr, uint8_t*& aData,
                                       const TmvRecordIterator& aIterator, void* aCookie);
  static bool Matches(TmvBaseFilterEngine* aFilter, const uint8_t* aRecord);
};

// Registers the engine as "mv1xDefault" and "Static", and takes it out.
void mvseStaticRecordEngineInit();
void mvseStaticRecordEngineFini();
