// Storage: the interfaces of the full-text engines (unit
// mvsrFulltextEngine).
//
// A table whose dictionary carries a full-text descriptor gets one
// full-text table engine, which mirrors the descriptor tree and owns the
// token indexes; every cursor on the table gets a full-text cursor engine
// made from it, which brings the token indexes up to date when the cursor
// changes a record. Both families are registerable engines with registries
// of their own, and their classes are found by name: the descriptor's class
// name with "Descriptor" replaced by "TableEngine", and the table engine's
// class name with "TableEngine" replaced by "CursorEngine". The engines
// themselves are registered by the full-text unit.
//
// The registries are changed at unit start-up and shutdown only. A table
// engine serves every cursor of its table under the server's table locks; a
// cursor engine belongs to one cursor.
// Calls the foundation's registries and the block accesses.
#pragma once

#include <cstdint>

#include "foundation/mvllRegistry.h"
#include "foundation/types/mvsdTypes.h"
#include "storage/cache/mvsrBlockAccess.h"

class TmvBaseIndicesEngine;  // the table's indices engine
class TmvBaseTableDescriptor;
class TmvAbstractCursor;     // the server engine's cursor
class TmvBaseFulltextTableEngine;
class TmvBaseFulltextCursorEngine;

MV_DECLARE_EXCEPTION(EmvFulltextEngineException, EmvBaseRegisterableEngineException)

// The family record of table engines: the virtual constructor.
struct TmvFulltextTableEngineClassRef : TmvRegisterableEngineClassRef {
  TmvBaseFulltextTableEngine* (*CreateTableEngine)(TmvBaseRegisterableDescriptor* aDescriptor,
                                                   const TmvBlockAccessArray& aFiles,
                                                   TmvBaseIndicesEngine* aMainIndicesEngine,
                                                   TmvBaseTransaction* aTrans);
};

class TmvBaseFulltextTableEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvFulltextTableEngineClassRef)
 public:
  static TmvClassRegistry* Registry();

  // The table engine for a full-text descriptor over the table's files and
  // main indices engine; the caller owns it. A class not registered under
  // the derived name raises 15503 "Unknown Fulltext engine: \"<name>\"".
  static TmvBaseFulltextTableEngine* CreateFor(TmvBaseRegisterableDescriptor* aDescriptor,
                                               const TmvBlockAccessArray& aFiles,
                                               TmvBaseIndicesEngine* aMainIndicesEngine, TmvBaseTransaction* aTrans);
  // The same for the table's full-text descriptor (its custom descriptor
  // "Fulltext"); nil when the table has none.
  static TmvBaseFulltextTableEngine* CreateFor(TmvBaseTableDescriptor* aDictionary, const TmvBlockAccessArray& aFiles,
                                               TmvBaseIndicesEngine* aMainIndicesEngine, TmvBaseTransaction* aTrans);
};

// The family record of cursor engines: the virtual constructor.
struct TmvFulltextCursorEngineClassRef : TmvRegisterableEngineClassRef {
  TmvBaseFulltextCursorEngine* (*CreateCursorEngine)(TmvBaseFulltextTableEngine* aTableEngine,
                                                     TmvAbstractCursor* aCursor);
};

class TmvBaseFulltextCursorEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvFulltextCursorEngineClassRef)
 public:
  static TmvClassRegistry* Registry();

  // The cursor engine of aCursor for a table engine (nil for none); the
  // caller owns it. 15503 "Unknown Fulltext engine: \"<name>\"" as above.
  static TmvBaseFulltextCursorEngine* CreateFor(TmvBaseFulltextTableEngine* aTableEngine, TmvAbstractCursor* aCursor);

  // Indexes the tokens of aNewRecord instead of those of aOldRecord (nil
  // old record: an insert; nil new record: a delete). Answers 0 or an
  // error code.
  virtual uint32_t UpdateIndex(TmvBaseTransaction* aTrans, const void* aOldRecord, TmvRefNr aOldRefNr,
                               const void* aNewRecord, TmvRefNr aNewRefNr) = 0;
};
