// Storage engines: auto-increment engines (unit mvseAutoIncEngine).
//
// A table with an AutoInc field keeps one 32-bit counter in a header
// section of its file: the last value handed out. The engine hands out the
// next value inside the inserting transaction, so that the counter commits
// or rolls back with the insert, and lets the server read and set it. The
// only engine is the simple one, registered as "mv1xDefault"; a table
// without an auto-increment descriptor gets no engine.
//
// Header section (4 bytes, under the auto-increment descriptor's section
// name):
//
// | offset | size | field                                                   |
// |      0 |    4 | the last value handed out (u32); a new table stores     |
// |        |      | initial value - step (mod 2^32), the state before the   |
// |        |      | first value                                             |
//
// An engine belongs to one open table and is used by the thread that holds
// the table's lock; the block accesses belong to the table.
// Calls the sub-engine framework, the block accesses and the storage
// descriptors.
#pragma once

#include <cstdint>

#include "storage/cache/mvsrBlockAccess.h"
#include "storage/mvseSubEngine.h"

class TmvBaseAutoIncDescriptor;
class TmvBaseAutoIncEngine;

MV_DECLARE_EXCEPTION(EmvBaseAutoIncEngineException, EmvBaseSubEngineException)
MV_DECLARE_EXCEPTION(EmvseAutoIncEngineException, EmvBaseAutoIncEngineException)

struct TmvAutoIncEngineClassRef : TmvSubEngineClassRef {
  TmvBaseAutoIncEngine* (*Create)(TmvBaseAutoIncDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                  TmvBaseTransaction* aTrans);
  void (*CheckValidDescriptor)(TmvBaseAutoIncDescriptor* aDescriptor);
};

class TmvBaseAutoIncEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvAutoIncEngineClassRef)
 public:
  static TmvClassRegistry* GetList();
  // The engine of the table's auto-increment descriptor; nil without one;
  // 15503 "Unknown autoinc engine: "<name>"" for an unknown name.
  static TmvBaseAutoIncEngine* CreateEngine(TmvBaseTableDescriptor* aTableDescriptor, const TmvBlockAccessArray& aFiles,
                                            TmvBaseTransaction* aTrans);
  static TmvBaseAutoIncEngine* CreateEngine(TmvBaseAutoIncDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                            TmvBaseTransaction* aTrans);
  // Nil passes; an unknown name raises 15503; then the class's check.
  static void CheckValidFromDescriptor(TmvBaseAutoIncDescriptor* aDescriptor);
  static void CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor);
  static void CheckValidDescriptor(TmvBaseAutoIncDescriptor*) {}

  // The next value, stored as the last one handed out; aCurrentAutoInc
  // (may be nil) receives the stored value before the step.
  virtual uint32_t NextAutoIncValue(TmvBaseTransaction* aTrans, uint32_t* aCurrentAutoInc) = 0;
  virtual uint32_t ReadAutoIncValue(TmvBaseTransaction* aTrans) = 0;
  // Stores aValue as the last value handed out.
  virtual void SetAutoIncValue(TmvBaseTransaction* aTrans, uint32_t aValue) = 0;

  TmvBlockAccess* baieDataFile;

 protected:
  // The descriptor's ID, the version of file 0 of aFiles; the counter lives
  // in the file the descriptor's file number selects.
  TmvBaseAutoIncEngine(TmvBaseAutoIncDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles);
};

class TmvSimpleAutoIncEngine : public TmvBaseAutoIncEngine {
  MV_DECLARE_CLASSREF(TmvAutoIncEngineClassRef)
 public:
  // Initial value and step from a TmvAdvAutoIncDescriptor, else 1 and 1.
  // With aTrans (a new table) registers the section and stores the state
  // before the first value; without, looks the section up.
  TmvSimpleAutoIncEngine(TmvBaseAutoIncDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                         TmvBaseTransaction* aTrans);
  static TmvBaseAutoIncEngine* Create(TmvBaseAutoIncDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                      TmvBaseTransaction* aTrans);

  // When the stored value plus the step passes 0xFFFFFFFF, only the state
  // before the first value may wrap (to the initial value); anything else
  // raises 9731 "Maximum AutoInc value has been reached" and leaves the
  // counter as it was.
  uint32_t NextAutoIncValue(TmvBaseTransaction* aTrans, uint32_t* aCurrentAutoInc) override;
  uint32_t ReadAutoIncValue(TmvBaseTransaction* aTrans) override;
  void SetAutoIncValue(TmvBaseTransaction* aTrans, uint32_t aValue) override;

  uint16_t aieHeaderSection = 0;
  uint32_t aieInitialValue = 1;
  uint32_t aieStep = 1;

 private:
  uint32_t InitialState() const { return aieInitialValue - aieStep; }
};

// Registers the simple engine as "mv1xDefault", and takes it out.
void mvseAutoIncEngineInit();
void mvseAutoIncEngineFini();
