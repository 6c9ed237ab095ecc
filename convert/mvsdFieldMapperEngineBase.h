// Field conversion: the field mapper engine family and its special engines.
//
// A field mapper engine applies one field mapper descriptor record after
// record for the length of one copy run (a restructure, pack, backup or
// recovery). The engine class of a descriptor is found by name: the
// descriptor's class name with "Descriptor" replaced by "Engine", looked up
// in this family's registry. Beside it, one optional special engine per
// target field type runs after the conversion; the special engine table
// holds its class (in this system only AutoInc has one).
//
// The registry and the special engine table are filled at start-up and only
// read afterwards. An engine belongs to the thread that runs its copy.
//
// Layer: field conversion; calls the data dictionary's field mapper
// descriptor and the foundation's registries. Cursors are only passed on.
#pragma once

#include "dictionary/mappers/mvsdFieldMapperDescriptor.h"
#include "foundation/mvllRegistry.h"
#include "foundation/types/mvsdTypes.h"

class TmvAbstractCursor;  // the server engine's cursor
class TmvBaseFieldMapperEngine;

MV_DECLARE_EXCEPTION(EmvBaseFieldMapperEngineException, EmvBaseRegisterableEngineException)

// The family record: the virtual constructor Create (aDescriptor,
// aSourceCursor, aTargetCursor); nil for abstract classes.
struct TmvFieldMapperEngineClassRef : TmvRegisterableEngineClassRef {
  TmvBaseFieldMapperEngine* (*Construct)(TmvFieldMapperDescriptor* aDescriptor, TmvAbstractCursor* aSourceCursor,
                                         TmvAbstractCursor* aTargetCursor);
};

template <typename T>
TmvBaseFieldMapperEngine* mvConstructFieldMapperEngine(TmvFieldMapperDescriptor* aDescriptor,
                                                       TmvAbstractCursor* aSourceCursor,
                                                       TmvAbstractCursor* aTargetCursor) {
  return new T(aDescriptor, aSourceCursor, aTargetCursor);
}

class TmvBaseFieldMapperEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvFieldMapperEngineClassRef)
 public:
  TmvBaseFieldMapperEngine() = default;

  // The engine for the descriptor, made by its class's constructor with the
  // same arguments; the caller owns it. No class for the descriptor's class
  // name raises 15503 "Unknown FieldMapper engine: "<name>"".
  static TmvBaseFieldMapperEngine* CreateFor(TmvFieldMapperDescriptor* aDescriptor,
                                             TmvAbstractCursor* aSourceCursor, TmvAbstractCursor* aTargetCursor);
  // Whether the special engine table holds a class for the type (false for
  // a type outside the 32).
  static bool HasSpecialMapper(TmvFieldType aFieldType);
  // The special engine for the type made with the same arguments, or nil.
  static TmvBaseFieldMapperEngine* CreateSpecialMapper(TmvFieldType aFieldType, TmvFieldMapperDescriptor* aDescriptor,
                                                       TmvAbstractCursor* aSourceCursor,
                                                       TmvAbstractCursor* aTargetCursor);

  // Called by the owner once before the run's first record and before each
  // commit of the run.
  virtual void BeforeFirstRecord() = 0;
  virtual void BeforeCommit() = 0;
  // aSource and aTarget are whole record buffers of the source and target
  // tables; answers 0 or an error code.
  virtual uint32_t MapField(const void* aSource, void* aTarget) = 0;

  static TmvClassRegistry* Registry();
};

// Puts the class into the special engine table. A different class already
// there raises EmvBaseFieldMapperEngineException; the same one again is
// accepted.
void mvRegisterSpecialFieldMapperEngine(const TmvFieldMapperEngineClassRef& aClass, TmvFieldType aFieldType);
// Clears the entry only when it holds that class.
void mvUnregisterSpecialFieldMapperEngine(const TmvFieldMapperEngineClassRef& aClass, TmvFieldType aFieldType);

// Unit start-up (nothing: the engine units register themselves) and
// shutdown (the special engine table cleared).
void mvsdFieldMapperEngineBaseInit();
void mvsdFieldMapperEngineBaseFini();
