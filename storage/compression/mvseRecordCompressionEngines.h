// Storage: the record compression engines "Null", "Smart" and "Compressor"
// (unit mvseRecordCompressionEngines).
//
// "Null" compresses nothing: the record engine stores the raw image.
// "Smart" keeps the null bitmap and the non-null fields only, strings cut
// at their end; it needs no state, so records stay small at no cost.
// "Compressor" passes the whole record image through the general-purpose
// compressor registered for the descriptor's compress type.
//
// Smart image (F = field count):
//
// | bytes               | content                                          |
// |---------------------|--------------------------------------------------|
// | 0 .. (F + 7) div 8  | the first bytes of the record's null bitmap      |
// | then, per field in order whose null bit is clear:                      |
// |   ShortString       | length byte L, then L bytes                      |
// |   NullString        | the characters, then one zero byte               |
// |   WideString        | the UTF-16 units, then one zero unit             |
// |   any other type    | the field's whole storage length                 |
//
// A string longer than its field (a damaged record) is cut to the field on
// compression, and an image whose fields run past its stored size or past
// their field is refused with 8962 on decompression, so that neither side
// writes or reads beyond its buffer.
//
// An engine belongs to its record engine and is used under its locks.
// Calls the compression family, the fields descriptor and the compressor
// registry.
#pragma once

#include "foundation/mvllBaseCompressor.h"
#include "storage/compression/mvseRecordCompressionEngine.h"

class TmvFieldsDescriptor;

class TmvNullRecordCompressionEngine : public TmvBaseRecordCompressionEngine {
  MV_DECLARE_CLASSREF(TmvRecordCompressionEngineClassRef)
 public:
  explicit TmvNullRecordCompressionEngine(TmvBaseRecordCompressionDescriptor* aDescriptor)
      : TmvBaseRecordCompressionEngine(aDescriptor) {}
  uint16_t CompressRecord(const uint8_t*, uint8_t*) override { return 0; }
  // Raw records are never decompressed: 12289.
  void DecompressRecord(const uint8_t* aSource, uint16_t aSize, uint8_t* aTarget) override;
};

class TmvSmartRecordCompressionEngine : public TmvBaseRecordCompressionEngine {
  MV_DECLARE_CLASSREF(TmvRecordCompressionEngineClassRef)
 public:
  // aDescriptor must lie in a table (its fields give the layout).
  explicit TmvSmartRecordCompressionEngine(TmvBaseRecordCompressionDescriptor* aDescriptor);
  // The bitmap bytes and every field at its full length.
  static uint32_t LargestImage(TmvFieldsDescriptor* aFields);
  uint16_t CompressRecord(const uint8_t* aSource, uint8_t* aTarget) override;
  // 8962 when the image does not fit aSize or its fields.
  void DecompressRecord(const uint8_t* aSource, uint16_t aSize, uint8_t* aTarget) override;

 protected:
  TmvFieldsDescriptor* srceFieldsDescriptor;
};

class TmvCompressorRecordCompressionEngine : public TmvBaseRecordCompressionEngine {
  MV_DECLARE_CLASSREF(TmvRecordCompressionEngineClassRef)
 public:
  // Raises "Unknown CompressType "<t>"" (no error code) when no compressor
  // is registered for the descriptor's type t.
  explicit TmvCompressorRecordCompressionEngine(TmvBaseRecordCompressionDescriptor* aDescriptor);
  uint16_t CompressRecord(const uint8_t* aSource, uint8_t* aTarget) override;
  void DecompressRecord(const uint8_t* aSource, uint16_t aSize, uint8_t* aTarget) override;

 protected:
  TmvFieldsDescriptor* srceFieldsDescriptor;
  uint32_t srceRecordLength;  // with the null bitmap
  TmvBaseCompressorClass srceCompressor = nullptr;
};

// Registers the three engines under their names; the shutdown also empties
// the compressor registry.
void mvseRecordCompressionEnginesInit();
void mvseRecordCompressionEnginesFini();
