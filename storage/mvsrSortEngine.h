// Storage: the sort engine interface (unit mvsrSortEngine).
//
// The server sorts record buffers of one table layout by an index's key
// (to put a table's records in index order, or for a query's ordering):
// records are put in one by one and taken out in key order. The engine
// that does it is registered elsewhere through `mvSortEngineClass`; this
// base keeps what every sort engine needs: two private copies of the
// table's dictionary (one whose only index is the sort index, one without
// indexes), the key engine of the sort index and the record lengths.
//
// An engine is used by one thread, the one that sorts. The class variable
// is written at unit start-up and shutdown only.
// Calls the data dictionary and its key engines.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/types/mvsdTypes.h"
#include "platform/Components.h"

class TmvAbstractDatabase;  // the server engine's database
class TmvDataDictionary;
class TmvIndexDescriptor;
class TmvBaseKeyEngine;
class TmvBaseSortEngine;

// The class record of a sort engine class: its constructor.
struct TmvSortEngineClassRef : ClassRef {
  TmvBaseSortEngine* (*Create)(TmvAbstractDatabase* aDB, TmvDataDictionary* aDict, TmvIndexDescriptor* aIndexDesc);
};

class TmvBaseSortEngine : public TmvObject {
 public:
  // Copies aDict twice (aDict is not changed and need not outlive the
  // engine): without indexes, and with aIndexDesc as its only index; makes
  // the key engine of that index (15503 when its key has no engine).
  TmvBaseSortEngine(TmvAbstractDatabase* aDB, TmvDataDictionary* aDict, TmvIndexDescriptor* aIndexDesc);
  // Frees the key engine and both dictionaries.
  ~TmvBaseSortEngine() override;
  TmvBaseSortEngine(const TmvBaseSortEngine&) = delete;
  TmvBaseSortEngine& operator=(const TmvBaseSortEngine&) = delete;

  // The next record in key order into aRecord (bsRecLen bytes): 0, or 8706
  // when none is left.
  virtual int32_t Get(void* aRecord) = 0;
  // Adds a copy of aRecord (bsRecLen bytes): 0 or an error code.
  virtual int32_t Put(const void* aRecord) = 0;
  // Delivers every remaining record in key order to aIterator (RefNr 0).
  // aData nil, or the address of a record pointer: a buffer the records
  // are copied into, or nil to be pointed at each record in turn.
  // aKeyChanged, when given, tells before each call whether the key
  // differs from the previous record's. True when a record was delivered
  // and the iterator never stopped.
  virtual bool Iterate(uint8_t** aData, bool* aKeyChanged, const TmvRecordIterator& aIterator, void* aCookie) = 0;
  // The same for the records whose key equals the first one's.
  virtual bool IterateSameKey(uint8_t** aData, const TmvRecordIterator& aIterator, void* aCookie) = 0;

  TmvAbstractDatabase* bsDB;
  TmvDataDictionary* bsDict = nullptr;       // owned: the sort index only
  TmvDataDictionary* bsDictNoIdx = nullptr;  // owned: no indexes
  TmvBaseKeyEngine* bsKeyEngine = nullptr;   // owned
  int32_t bsRecLen = 0;
  int32_t bsRecLenBuf = 0;  // bsRecLen rounded up to a multiple of 16
};

// The class the server sorts with; nil until a sort engine unit sets it.
extern std::atomic<const TmvSortEngineClassRef*> mvSortEngineClass;
