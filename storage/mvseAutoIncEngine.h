// Storage: the auto-increment engine family (unit mvseAutoIncEngine).
//
// The auto-increment engine hands out a table's AutoInc values from a
// counter it keeps in a header section of the file its descriptor names.
// This unit holds the family base: class record, registry, creation by the
// engine name in the auto-increment descriptor and the table check. A table
// without an auto-increment descriptor gets no engine.
//
// An engine belongs to its open table and is used under the server's table
// locks. Calls the sub-engine framework and the data dictionary.
#pragma once

#include "storage/mvseSubEngine.h"

class TmvBaseAutoIncDescriptor;
class TmvBaseAutoIncEngine;

MV_DECLARE_EXCEPTION(EmvBaseAutoIncEngineException, EmvBaseSubEngineException)

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

 protected:
  TmvBaseAutoIncEngine(TmvBaseAutoIncDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles);
};
