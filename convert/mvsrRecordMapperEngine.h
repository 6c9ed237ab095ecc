// Field conversion: the record mapper engine, which turns one source record
// into one target record for the length of a copy run.
//
// Built from a record mapper descriptor and the two cursors, it owns one
// field mapper engine per mapping, in the descriptor's list order, then one
// per target field that no mapping names but that needs one: its default
// value (when the descriptor applies defaults to unmapped fields and the
// field has one) or a special engine of its type (an AutoInc target always
// has one). Other unmapped targets stay null.
//
// MapRecord runs the field engines in that order and stops at the first
// error. The error's text, left as the thread's last converted exception,
// then gets the source table's full name and, when one of the source
// table's indexes identifies the record, its key:
//
//   <the code's text and the field's context lines>
//
//   Source Table: <full name>
//   Source Key (Index: <index name>): <key as text>
//
// Target BLOBs that earlier fields of a failing record created are deleted
// before MapRecord answers: the record is not stored, so nothing else would
// ever free them.
//
// Layer: field conversion; calls the field mapper engines, the data
// dictionary (record mapper descriptor, fields, indexes, key engines) and the
// cursor calls of mvsdFieldMapperCursor.h. An engine belongs to its run's
// thread.
#pragma once

#include <memory>
#include <vector>

#include "convert/mvsdFieldMapperEngineBase.h"
#include "convert/mvsdRecordMapperEngineBase.h"

class TmvFieldsDescriptor;
class TmvServerBaseCursor;

class TmvRecordMapperEngine : public TmvBaseRecordMapperEngine {
  MV_DECLARE_CLASSREF(TmvRecordMapperEngineClassRef)
 public:
  // aDescriptor must be a TmvRecordMapperDescriptor (EInvalidCast
  // otherwise). Errors of building the field engines (10038, 10002, 15503)
  // pass out; nothing built is left behind.
  TmvRecordMapperEngine(TmvBaseRecordMapperDescriptor* aDescriptor, TmvAbstractCursor* aSourceCursor,
                        TmvAbstractCursor* aTargetCursor);
  ~TmvRecordMapperEngine() override;

  // Every field engine's, in order.
  void BeforeFirstRecord() override;
  void BeforeCommit() override;
  uint32_t MapRecord(const void* aSource, void* aTarget) override;
  // Appends the source table and key lines to the thread's last converted
  // text for aErrorCode (or to the code's standard text) and stores it
  // back; answers aErrorCode.
  virtual uint32_t AddErrorContext(uint32_t aErrorCode, const void* aSource);

 private:
  void AddFieldEngine(TmvFieldMapperDescriptor* aDescriptor, TmvAbstractCursor* aSourceCursor,
                      TmvAbstractCursor* aTargetCursor);
  // The line "Source Key (Index: ...): ..." or "" when no index identifies
  // the record or its key cannot be built.
  String SourceKeyLine(const void* aSource);
  // Deletes the target BLOBs that the engines before aFailed created.
  void DeleteCreatedBlobs(size_t aFailed, void* aTarget);

  TmvAbstractCursor* rmeSourceCursor;
  std::vector<std::unique_ptr<TmvBaseFieldMapperEngine>> rmeFieldMapper;
  std::vector<std::unique_ptr<TmvFieldMapperDescriptor>> rmeFieldMapperDescriptors;
  // Per field engine: the number of its BLOB target field when a conversion
  // fills it, else -1.
  std::vector<int32_t> rmeBlobTargets;
  TmvFieldsDescriptor* rmeTargetFields;
  TmvServerBaseCursor* rmeTargetServerCursor = nullptr;
};

// Unit start-up and shutdown: the engine registered in its family under
// its class name, and removed.
void mvsrRecordMapperEngineInit();
void mvsrRecordMapperEngineFini();
