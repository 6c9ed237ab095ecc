// Field conversion: the field mapper engine, one field mapping applied record
// after record.
//
// Built once per copy run from a field mapper descriptor and the source and
// target cursors: it finds both fields by name, asks the mapper registry for
// the conversion, makes the target's default-value engine (when the
// descriptor applies defaults) and the special engine of the target's type.
// Then, for each pair of record buffers, MapField carries the value across:
//
//   source null, or no source field -> the default (null bit cleared), or
//       null when the default engine gives none; without a default engine
//       the target is left as the caller initialised it (all null)
//   conversion 0                    -> the target's null bit cleared
//   conversion 1 (no value), or 10002 under dlaNull
//                                   -> default or null as above, result 0
//   anything else                   -> the result stays: 10002 under dlaFail
//       and dlaBestFit, an error code of the conversion under every action
//
// then the special engine runs when all went well. A 10002 gets its context
// ("Source Field: ", "Target Field: ", "Source Value: " lines) added to the
// thread's last converted exception text. Exceptions raised inside a
// conversion pass out unchanged.
//
// Layer: field conversion; calls the mapper registry, the data dictionary's
// fields and default-value engines, and the cursor calls of
// mvsdFieldMapperCursor.h. An engine belongs to the thread that runs its copy.
#pragma once

#include <memory>

#include "convert/mvsdFieldMapperBase.h"
#include "convert/mvsdFieldMapperEngineBase.h"

class TmvFieldsDescriptor;
class TmvBaseDefaultValueEngine;

MV_DECLARE_EXCEPTION(EmvFieldMapperEngineException, EmvBaseFieldMapperEngineException)

class TmvFieldMapperEngine : public TmvBaseFieldMapperEngine {
  MV_DECLARE_CLASSREF(TmvFieldMapperEngineClassRef)
 public:
  // Raises, before any record is touched: 10038 for a field name missing in
  // its table ("... Field "x" not in target dictionary", or "source"), 10002
  // "No valid Field Mapper available." naming both fields when the registry
  // has no conversion for them.
  TmvFieldMapperEngine(TmvFieldMapperDescriptor* aDescriptor, TmvAbstractCursor* aSourceCursor,
                       TmvAbstractCursor* aTargetCursor);
  ~TmvFieldMapperEngine() override;

  // Forwarded to the special engine, if any.
  void BeforeFirstRecord() override;
  void BeforeCommit() override;
  uint32_t MapField(const void* aSource, void* aTarget) override;
  // Codes other than 10002 come back unchanged. For 10002 the context lines
  // are appended to the thread's last converted text for 10002 (or to the
  // code's standard text), which is stored back; answers 10002.
  virtual uint32_t AddErrorContext(uint32_t aErrorCode, const void* aSource);

 private:
  // No value for the target: its default, or null (aKeepWithoutDefault:
  // left as it is when there is no default engine).
  void ApplyNoValue(void* aTarget, bool aKeepWithoutDefault);
  // The source value as the error context shows it.
  String SourceValueText(const void* aSource);

  TmvFieldsDescriptor* fmeSourceFieldsDescriptor = nullptr;
  TmvFieldDescriptor* fmeSourceFieldDesc = nullptr;
  int32_t fmeSourceFieldNumber = -1;
  int32_t fmeSourceFieldOffset = 0;
  TmvFieldsDescriptor* fmeTargetFieldsDescriptor = nullptr;
  TmvFieldDescriptor* fmeTargetFieldDesc = nullptr;
  int32_t fmeTargetFieldNumber = -1;
  int32_t fmeTargetFieldOffset = 0;
  TmvDataLossAction fmeDataLossAction;
  TmvMappingMethod fmeFieldMapperMethod;
  std::unique_ptr<TmvBaseFieldMapper> fmeFieldMapper;
  std::unique_ptr<TmvBaseDefaultValueEngine> fmeDefaultValueEngine;
  std::unique_ptr<TmvBaseFieldMapperEngine> fmeSpecialMapperEngine;
};

// Unit start-up and shutdown: the engine registered in its family under its
// class name, and removed.
void mvsrFieldMapperEngineInit();
void mvsrFieldMapperEngineFini();
