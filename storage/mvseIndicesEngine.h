// Storage: the indices and index engine families (unit mvseIndicesEngine).
//
// The indices engine keeps every index of a table in step with its
// records, through one index engine per index. This unit holds the two
// family bases: class records, registries, creation by the engine names in
// the indices and index descriptors, and their checks. The index family is
// not in the whole-dictionary check by itself: the indices family's check
// runs the index family's check on every index.
//
// Engines belong to their open table and are used under the server's table
// locks. Calls the sub-engine framework, the data dictionary and the key
// engines.
#pragma once

#include "storage/mvseSubEngine.h"

class TmvBaseIndicesDescriptor;
class TmvIndexDescriptor;
class TmvBaseIndicesEngine;
class TmvBaseIndexEngine;
class TmvBaseRecordEngine;
class TmvBaseKeyEngine;

MV_DECLARE_EXCEPTION(EmvBaseIndicesEngineException, EmvBaseSubEngineException)
MV_DECLARE_EXCEPTION(EmvBaseIndexEngineException, EmvBaseSubEngineException)

struct TmvIndicesEngineClassRef : TmvSubEngineClassRef {
  // aAddToExisting: the table exists and the indexes are being added to it.
  TmvBaseIndicesEngine* (*Create)(TmvBaseIndicesDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                  TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans, bool aAddToExisting);
  // Lets an engine class refuse the indexes of a descriptor.
  void (*CheckIndexDescriptors)(TmvBaseIndicesDescriptor* aDescriptor);
};

class TmvBaseIndicesEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvIndicesEngineClassRef)
 public:
  static TmvClassRegistry* GetList();
  // The engine of the table's (main) indices descriptor; nil without one;
  // 15503 "Unknown indices engine: "<name>"" for an unknown name.
  static TmvBaseIndicesEngine* CreateEngine(TmvBaseTableDescriptor* aTableDescriptor, const TmvBlockAccessArray& aFiles,
                                            TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans,
                                            bool aAddToExisting);
  static TmvBaseIndicesEngine* CreateEngine(TmvBaseIndicesDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                            TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans,
                                            bool aAddToExisting);
  // Nil passes; an unknown name raises 15503; then the class's
  // CheckIndexDescriptors.
  static void CheckValidBaseFromDescriptor(TmvBaseIndicesDescriptor* aDescriptor);
  static void CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor);
  // Every index through the index family's CheckValidBaseFromDescriptor.
  static void CheckIndexDescriptors(TmvBaseIndicesDescriptor* aDescriptor);

 protected:
  TmvBaseIndicesEngine(TmvBaseIndicesDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles);
};

struct TmvIndexEngineClassRef : TmvSubEngineClassRef {
  // The engine takes ownership of aKeyEngine.
  TmvBaseIndexEngine* (*Create)(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                TmvIndexDescriptor* aIndexDescriptor);
  void (*CheckKeyDescriptor)(TmvIndexDescriptor* aIndexDescriptor);
};

class TmvBaseIndexEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvIndexEngineClassRef)
 public:
  static TmvClassRegistry* GetList();
  // The engine the index descriptor names; 15503 "Unknown index engine:
  // "<name>"" for an unknown name.
  static TmvBaseIndexEngine* CreateEngine(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                          TmvIndexDescriptor* aIndexDescriptor);
  // Nil passes; an unknown name raises 15503; then the class's
  // CheckKeyDescriptor.
  static void CheckValidBaseFromDescriptor(TmvIndexDescriptor* aDescriptor);
  // An index inside a dictionary needs a key its key engines can build.
  static void CheckKeyDescriptor(TmvIndexDescriptor* aIndexDescriptor);

 protected:
  TmvBaseIndexEngine(TmvIndexDescriptor* aDescriptor, int32_t aTableVersion);
};
