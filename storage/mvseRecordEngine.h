// Storage: the record engine family (unit mvseRecordEngine).
//
// The record engine stores a table's rows in the file its record
// descriptor names. This unit holds the family base: its class record,
// registry, creation by the engine name in the record descriptor, and the
// table check of the whole-dictionary validation. Engine classes register
// under their names ("mv1xDefault", "Static", ...) at unit start-up.
//
// An engine belongs to its open table and is used under the server's table
// locks. Calls the sub-engine framework and the data dictionary.
#pragma once

#include "storage/mvseSubEngine.h"

class TmvBaseRecordDescriptor;
class TmvBaseRecordEngine;

MV_DECLARE_EXCEPTION(EmvBaseRecordEngineException, EmvBaseSubEngineException)

struct TmvRecordEngineClassRef : TmvSubEngineClassRef {
  // The virtual constructor over the table's files (indexed by file number).
  TmvBaseRecordEngine* (*Create)(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                 TmvBaseTransaction* aTrans);
  // Lets an engine class refuse a table (it sees the whole table descriptor).
  void (*CheckValidDescriptor)(TmvBaseTableDescriptor* aTableDescriptor);
};

class TmvBaseRecordEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvRecordEngineClassRef)
 public:
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

 protected:
  // Takes the descriptor's ID and the version of file 0 of aFiles.
  TmvBaseRecordEngine(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles);
};
