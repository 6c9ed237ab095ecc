// Field conversion: the special engine of AutoInc targets, which keeps the
// target table's auto-increment counter in step while a copy run fills
// AutoInc fields.
//
// Before the first record the target counter starts at the source table's
// counter (0 without a source field). Each record's AutoInc value that
// exceeds the highest value seen raises the counter to it; a null target,
// when the descriptor applies defaults, gets the next counter value. Before
// each commit the counter becomes the larger of the source table's counter
// and the highest value. The counter is 32-bit: a null target that would
// need a value past 4294967295 gets none and the record fails with 9731
// "Maximum AutoInc value has been reached", the counter staying at its
// maximum.
//
// Layer: field conversion; calls the data dictionary's fields descriptor and
// the cursor calls of mvsdFieldMapperCursor.h. An engine belongs to the
// thread that runs its copy.
#pragma once

#include "convert/mvsdFieldMapperEngineBase.h"

class TmvFieldsDescriptor;
class TmvServerBaseCursor;

class TmvFieldMapperEngineAutoInc : public TmvBaseFieldMapperEngine {
  MV_DECLARE_CLASSREF(TmvFieldMapperEngineClassRef)
 public:
  // Both cursors must be server table cursors (EInvalidCast otherwise); the
  // source cursor is kept only when the descriptor names a source field. A
  // target field missing in the target table raises 10038.
  TmvFieldMapperEngineAutoInc(TmvFieldMapperDescriptor* aDescriptor, TmvAbstractCursor* aSourceCursor,
                              TmvAbstractCursor* aTargetCursor);

  void BeforeFirstRecord() override;
  void BeforeCommit() override;
  // Runs after the conversion has filled the target field.
  uint32_t MapField(const void* aSource, void* aTarget) override;

 private:
  TmvServerBaseCursor* fmeaSourceCursor = nullptr;
  TmvServerBaseCursor* fmeaTargetCursor = nullptr;
  TmvFieldsDescriptor* fmeaTargetFieldsDescriptor = nullptr;
  int32_t fmeaTargetFieldNumber = -1;
  bool fmeaApplyToNull = false;
  uint32_t fmeaHighAutoInc = 0;
};

// Unit start-up and shutdown: the class registered as the special engine
// of AutoInc targets, and removed.
void mvsrFieldMapperEngineAutoIncInit();
void mvsrFieldMapperEngineAutoIncFini();
