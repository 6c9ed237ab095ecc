// Storage: the BLOB engine family (unit mvseBlobEngine).
//
// The BLOB engine stores the BLOB fields of a table's records in the file
// its BLOB descriptor names. This unit holds the family base: class record,
// registry, creation by the engine name in the BLOB descriptor and the
// table check. A table without a BLOB descriptor gets no engine.
//
// An engine belongs to its open table and is used under the server's table
// locks. Calls the sub-engine framework and the data dictionary.
#pragma once

#include "storage/mvseSubEngine.h"

class TmvBaseBlobDescriptor;
class TmvBaseBlobEngine;

MV_DECLARE_EXCEPTION(EmvBaseBlobEngineException, EmvBaseSubEngineException)

struct TmvBlobEngineClassRef : TmvSubEngineClassRef {
  TmvBaseBlobEngine* (*Create)(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                               TmvBaseTransaction* aTrans);
  void (*CheckValidBase)(TmvBaseBlobDescriptor* aDescriptor);
};

class TmvBaseBlobEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvBlobEngineClassRef)
 public:
  static TmvClassRegistry* GetList();
  // The engine of the table's BLOB descriptor; nil without one; 15503
  // "Unknown BLOB engine: "<name>"" for an unknown name.
  static TmvBaseBlobEngine* CreateEngine(TmvBaseTableDescriptor* aTableDescriptor, const TmvBlockAccessArray& aFiles,
                                         TmvBaseTransaction* aTrans);
  static TmvBaseBlobEngine* CreateEngine(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                         TmvBaseTransaction* aTrans);
  // Nil passes; an unknown name raises 15503; then the class's CheckValidBase.
  static void CheckValidFromDescriptor(TmvBaseBlobDescriptor* aDescriptor);
  static void CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor);
  static void CheckValidBase(TmvBaseBlobDescriptor*) {}

 protected:
  TmvBaseBlobEngine(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles);
};
