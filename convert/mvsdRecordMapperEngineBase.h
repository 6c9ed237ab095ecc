// Field conversion: the record mapper engine family.
//
// A record mapper engine turns one source record buffer into one target
// record buffer for the length of one copy run (a restructure, pack, backup
// or recovery of a table). The engine class of a record mapper descriptor is
// found by name: the descriptor's class name with "Descriptor" replaced by
// "Engine", looked up in this family's registry.
//
// Calling order of a run's owner: create the engine; BeforeFirstRecord; per
// source record: initialise the target buffer (all null), MapRecord, store
// the target record when it answers 0; BeforeCommit before each commit of
// the target; free the engine.
//
// Layer: field conversion; calls the data dictionary's record mapper
// descriptors and the foundation's registries. Cursors are only passed on.
// The registry is filled at start-up (and freed when its last class leaves
// at shutdown); an engine belongs to its run's thread.
#pragma once

#include "dictionary/mappers/mvsdRecordMapperDescriptorBase.h"
#include "foundation/mvllRegistry.h"

class TmvAbstractCursor;  // the server engine's cursor
class TmvBaseRecordMapperEngine;

MV_DECLARE_EXCEPTION(EmvBaseRecordMapperEngineException, EmvBaseRegisterableEngineException)

// The family record: the virtual constructor Create (aDescriptor,
// aSourceCursor, aTargetCursor); nil for abstract classes.
struct TmvRecordMapperEngineClassRef : TmvRegisterableEngineClassRef {
  TmvBaseRecordMapperEngine* (*Construct)(TmvBaseRecordMapperDescriptor* aDescriptor, TmvAbstractCursor* aSourceCursor,
                                          TmvAbstractCursor* aTargetCursor);
};

template <typename T>
TmvBaseRecordMapperEngine* mvConstructRecordMapperEngine(TmvBaseRecordMapperDescriptor* aDescriptor,
                                                         TmvAbstractCursor* aSourceCursor,
                                                         TmvAbstractCursor* aTargetCursor) {
  return new T(aDescriptor, aSourceCursor, aTargetCursor);
}

class TmvBaseRecordMapperEngine : public TmvBaseRegisterableEngine {
  MV_DECLARE_CLASSREF(TmvRecordMapperEngineClassRef)
 public:
  TmvBaseRecordMapperEngine() = default;

  // The engine for the descriptor, made by its class's constructor with the
  // same arguments; the caller owns it. No class for the descriptor's class
  // name raises 15503 "Unknown RecordMapper engine: "<name>"".
  static TmvBaseRecordMapperEngine* CreateFor(TmvBaseRecordMapperDescriptor* aDescriptor,
                                              TmvAbstractCursor* aSourceCursor, TmvAbstractCursor* aTargetCursor);

  virtual void BeforeFirstRecord() = 0;
  virtual void BeforeCommit() = 0;
  // aSource is a source record buffer, aTarget a target record buffer the
  // caller initialised (all fields null); answers 0 or an error code whose
  // text is left as the thread's last converted exception.
  virtual uint32_t MapRecord(const void* aSource, void* aTarget) = 0;

  static TmvClassRegistry* Registry();
};
