// Storage: the record compression engine family (unit
// mvseRecordCompressionEngine).
//
// A record engine that keeps records on a heap may compress them; its
// record compression descriptor names the engine, and none names the
// "Null" engine, which stores records as they are. This unit holds the
// family base: class record, registry, creation by name and the descriptor
// check. A table has no compression descriptor of its own, so the family's
// table check is the root's (nothing): compression is checked through the
// record engine.
//
// An engine belongs to its record engine. Calls the sub-engine framework
// and the data dictionary.
#pragma once

#include "storage/mvseSubEngine.h"

class TmvBaseRecordCompressionDescriptor;
class TmvBaseRecordCompressionEngine;
class TmvFieldsDescriptor;

MV_DECLARE_EXCEPTION(EmvBaseRecordCompressionEngineException, EmvBaseSubEngineException)

// The engine a record engine uses when it has no compression descriptor.
inline constexpr char16_t mvNullRecordCompressionEngineName[] = u"Null";

struct TmvRecordCompressionEngineClassRef : TmvSubEngineClassRef {
  // aDescriptor is nil for the "Null" engine made without descriptor.
  TmvBaseRecordCompressionEngine* (*Create)(TmvBaseRecordCompressionDescriptor* aDescriptor);
  void (*CheckValidBase)(TmvBaseRecordCompressionDescriptor* aDescriptor);
  // The most bytes a record of aFields may take as stored, what the record
  // engine keeps when the engine declines included; nil: the record length
  // (any image may fall back to the raw record).
  uint32_t (*LargestImage)(TmvFieldsDescriptor* aFields) = nullptr;
};

class TmvBaseRecordCompressionEngine : public TmvBaseSubEngine {
  MV_DECLARE_CLASSREF(TmvRecordCompressionEngineClassRef)
 public:
  static TmvClassRegistry* GetList();
  // The engine the descriptor names, the "Null" engine for none; 15503
  // "Unknown RecordCompression engine: "<name>"" for an unknown name.
  static TmvBaseRecordCompressionEngine* CreateEngine(TmvBaseRecordCompressionDescriptor* aDescriptor);
  // Nil passes; an unknown name raises 15503; then the class's CheckValidBase.
  static void CheckValidBaseFromDescriptor(TmvBaseRecordCompressionDescriptor* aDescriptor);
  static void CheckValidBase(TmvBaseRecordCompressionDescriptor*) {}
  // The class's LargestImage for the engine the descriptor names (the
  // "Null" engine for none); 15503 for an unknown name.
  static uint32_t LargestImage(TmvBaseRecordCompressionDescriptor* aDescriptor, TmvFieldsDescriptor* aFields);

  // Writes a compressed image of the full record aSource (field data, then
  // the null bitmap) to aTarget, which holds record length + 4 bytes, and
  // returns its size; 0 asks the record engine to store the record raw.
  virtual uint16_t CompressRecord(const uint8_t* aSource, uint8_t* aTarget) = 0;
  // Rebuilds the full record in aTarget from aSize bytes that
  // CompressRecord produced.
  virtual void DecompressRecord(const uint8_t* aSource, uint16_t aSize, uint8_t* aTarget) = 0;

 protected:
  explicit TmvBaseRecordCompressionEngine(TmvBaseRecordCompressionDescriptor* aDescriptor);
};

// Registers the family base for the whole-dictionary check; takes it out.
void mvseRecordCompressionEngineInit();
void mvseRecordCompressionEngineFini();
