// Storage engines: the record engine interface, `TmvBaseRecordEngine`
// (unit mvseRecordEngine).
//
// A table's record engine stores its records and hands out their 64-bit
// references. The server's table and cursor code does every record operation
// through this interface: add, delete, read by reference, read the next or
// previous record, update, count, walk with a filter, convert between a
// reference and a record number, walk raw blocks during recovery and rewrite
// every record in place. The static record engine (mvseStaticRecordEngine.h)
// implements it for fixed-length records. Engine classes register under
// their names ("mv1xDefault", "Static", ...) at unit start-up and are made
// by the engine name in the record descriptor.
//
// The RefNr field: when the table has a field of type RefNr (and is not a
// cache table), the engine keeps it equal to the record's own reference:
// every record it returns and every record it stores gets the reference
// written into that field first.
//
// An engine belongs to one open table; it is used by the thread that holds
// the table's lock. It owns its scratch record buffer; the block accesses,
// the descriptor and the fields descriptor belong to the table and must
// outlive it.
// Calls the sub-engine framework, the block accesses, the dictionary and the
// filter engines.
#pragma once

#include <cstdint>
#include <functional>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/types/mvsdTypes.h"
#include "storage/cache/mvsrBlockAccess.h"
#include "storage/mvseSubEngine.h"

class TmvBaseRecordDescriptor;
class TmvBaseTableDescriptor;
class TmvFieldsDescriptor;
class TmvFieldDescriptor;
class TmvBaseFilterEngine;
class TmvBaseRecordEngine;

MV_DECLARE_EXCEPTION(EmvBaseRecordEngineException, EmvBaseSubEngineException)

struct TmvRecordEngineClassRef : TmvSubEngineClassRef {
  // The virtual constructor over the table's files (indexed by file number).
  TmvBaseRecordEngine* (*Create)(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                 TmvBaseTransaction* aTrans);
  // Lets an engine class refuse a table (it sees the whole table descriptor).
  void (*CheckValidDescriptor)(TmvBaseTableDescriptor* aTableDescriptor);
};

// Called for every record by ReplaceAllRecords; may change the record;
// answers 0 or an error code.
using TmvGetRecordCallback = std::function<int32_t(uint8_t* aRecord)>;

class TmvBaseRecordEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvRecordEngineClassRef)
 public:
  ~TmvBaseRecordEngine() override;

  static TmvClassRegistry* GetList();
  // The engine of the table's record descriptor; nil without one. An
  // unknown engine name raises 15503 "Unknown Record engine: "<name>"".
  static TmvBaseRecordEngine* CreateEngine(TmvBaseTableDescriptor* aTableDescriptor, const TmvBlockAccessArray& aFiles,
                                           TmvBaseTransaction* aTrans);
  static TmvBaseRecordEngine* CreateEngine(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                           TmvBaseTransaction* aTrans);
  // A table without record descriptor passes (the table's own check wants
  // one); an unknown engine name raises 15503; then the class's check.
  static void CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor);
  static void CheckValidDescriptor(TmvBaseTableDescriptor*) {}
  // Raises the block size of aRecord's file to the smallest whose usable
  // bytes hold a record of the table plus aOverhead; false (nothing
  // changed) when no block size is large enough. For the engines' checks.
  static bool FitRecordFileBlockSize(TmvBaseTableDescriptor* aTableDescriptor, TmvBaseRecordDescriptor* aRecord,
                                     int32_t aOverhead);
  // The same with the engine's own test of a block's usable bytes.
  static bool FitRecordFileBlockSize(TmvBaseTableDescriptor* aTableDescriptor, TmvBaseRecordDescriptor* aRecord,
                                     const std::function<bool(int32_t aUsable)>& aHolds);

  // Whether a field can be added without rewriting the records.
  virtual bool CanAddField(TmvFieldDescriptor* aFieldDesc);
  // Stores a record and answers its reference (written into the RefNr field
  // of aRecData first).
  virtual void AddRecord(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t* aRecData) = 0;
  virtual void DeleteRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr) = 0;
  // The next record after aFromRefNr (0: the first); aRefNr 0 when there is
  // none. aRecData may be nil.
  virtual void ReadNextRecord(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr,
                              uint8_t* aRecData) = 0;
  // The same backwards (0: the last).
  virtual void ReadPrevRecord(TmvBaseTransaction* aTrans, TmvRefNr aFromRefNr, TmvRefNr& aRefNr,
                              uint8_t* aRecData) = 0;
  virtual void ReadRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t* aRecData) = 0;
  // aOldRecord (may be nil) receives the stored record first.
  virtual void UpdateRecord(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t* aNewRecord,
                            uint8_t* aOldRecord) = 0;
  virtual void GetRecordCount(TmvBaseTransaction* aTrans, uint32_t& aCount) = 0;
  // Calls aIterator for every record (matching aFilter when it is active) in
  // storage order. aData either points at a buffer that receives a copy of
  // each record, or is nil and is pointed at the record inside the held
  // block for the call (nil again afterwards). rirStop ends the walk with
  // aRefNr on that record; otherwise aRefNr ends as 0. With aKeepPosition
  // and a non-zero aRefNr the walk starts after aRefNr.
  virtual void Iterate(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData,
                       const TmvRecordIterator& aIterator, void* aCookie, TmvBaseFilterEngine* aFilter,
                       bool aKeepPosition, bool aSkipFirst) = 0;
  virtual void IterateBackward(TmvBaseTransaction* aTrans, TmvRefNr& aRefNr, uint8_t*& aData,
                               const TmvRecordIterator& aIterator, void* aCookie, TmvBaseFilterEngine* aFilter,
                               bool aKeepPosition, bool aSkipFirst) = 0;
  // The 1-based number of aRefNr among the records aFilter lets through
  // (counted from the end with aFlipOrder): 0, 8709 when aFilter refuses the
  // record or it is not stored, 8706 when aRefNr is not found.
  virtual int32_t RecNoGet(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, TmvBaseFilterEngine* aFilter,
                           int32_t& aRecNo, bool aFlipOrder) = 0;
  // The reference of record number aRecNo (counted from 1): 0, or 8706
  // (aRefNr 0) past the end and for any number below 1.
  virtual int32_t RecNoSet(TmvBaseTransaction* aTrans, int32_t aRecNo, TmvRefNr& aRefNr,
                           TmvBaseFilterEngine* aFilter, bool aFlipOrder) = 0;
  // The owner ID by which recovery recognises this engine's blocks.
  virtual int32_t GetRecoverID() = 0;
  // Passes the records of one raw block read during recovery to aIterator
  // (reference 0); a block that is not one of this engine's is skipped.
  virtual int32_t RecoverIterate(const uint8_t* aBlock, TmvBlockNumber aBlockNumber, uint8_t*& aData,
                                 const TmvRecordIterator& aIterator, void* aCookie) = 0;
  // One record to aIterator when aFilter (active, or nil) lets it through;
  // rirContinue otherwise.
  virtual TmvRecordIteratorResult ReadRecordForIterate(TmvBaseTransaction* aTrans, TmvRefNr aRefNr,
                                                       uint8_t*& aData, const TmvRecordIterator& aIterator,
                                                       void* aCookie, TmvBaseFilterEngine* aFilter) = 0;
  // Calls aCallback for every record in place; a non-zero answer is raised.
  virtual void ReplaceAllRecords(TmvBaseTransaction* aTrans, const TmvGetRecordCallback& aCallback) = 0;
  virtual void Rollback(TmvBaseTransaction* aTrans);

  uint32_t breGetRecordCount(TmvBaseTransaction* aTrans);
  // Writes one line per record (its text form, ": ", its reference) to
  // aFileName, or to "RecordDump.txt" in the temporary folder when empty.
  void _SaveAll(TmvBaseTransaction* aTrans, const String& aFileName = {});

  TmvBlockAccess* breDataFile;  // nil when the table's files do not reach it
  uint16_t breRecordLength;
  TmvMemoryPoolHandle breRecordAllocator;
  TmvFieldsDescriptor* breFieldsDescriptor;
  int32_t breRefNrField = -1;
  uint8_t* TempRecBuf = nullptr;

 protected:
  // Takes the descriptor's ID and the version of file 0 of aFiles;
  // aDescriptor's file number selects the data file among aFiles; its
  // parent table's fields descriptor gives the record length.
  TmvBaseRecordEngine(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles);
  // Writes aRefNr into the RefNr field of aRecord (nothing without one).
  void SetRefNrField(uint8_t* aRecord, TmvRefNr aRefNr) const;
};

// Registers the family base for the whole-dictionary check; takes it out.
void mvseRecordEngineInit();
void mvseRecordEngineFini();
