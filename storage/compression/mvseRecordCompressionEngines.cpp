// Storage: the record compression engines. See mvseRecordCompressionEngines.h.
#include "storage/compression/mvseRecordCompressionEngines.h"

#include <cstring>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdStorageDescriptors.h"

namespace {

template <typename T>
TmvBaseRecordCompressionEngine* createEngine(TmvBaseRecordCompressionDescriptor* aDescriptor) {
  return new T(aDescriptor);
}

TmvFieldsDescriptor* fieldsOf(TmvBaseRecordCompressionDescriptor* aDescriptor) {
  MV_ASSERT(aDescriptor != nullptr);
  return static_cast<TmvFieldsDescriptor*>(aDescriptor->GetRelatedDescriptorOfType(TmvFieldsDescriptor::StaticClass));
}

uint32_t bitmapBytes(const TmvFieldsDescriptor* aFields) { return uint32_t(aFields->FieldCount() + 7) / 8; }

bool bitSet(const uint8_t* aBitmap, int32_t aField) { return (aBitmap[aField / 8] >> (aField % 8)) & 1; }

// The bytes a non-null field takes in the smart image, taken from its field
// bytes; a string that fills its field without an end is cut to the field.
uint32_t storedLength(TmvFieldType aType, const uint8_t* aField, uint32_t aLength) {
  switch (aType) {
    case mvtShortString:
      return aLength == 0 ? 0 : 1 + std::min<uint32_t>(aField[0], aLength - 1);
    case mvtNullString: {
      if (aLength == 0) return 0;
      const void* end = std::memchr(aField, 0, aLength - 1);
      return (end ? uint32_t(static_cast<const uint8_t*>(end) - aField) : aLength - 1) + 1;
    }
    case mvtWideString: {
      uint32_t units = 0;
      const uint32_t capacity = aLength / 2 == 0 ? 0 : aLength / 2 - 1;
      while (units < capacity && (aField[2 * units] | aField[2 * units + 1]) != 0) ++units;
      return aLength < 2 ? 0 : 2 * (units + 1);
    }
    default:
      return aLength;
  }
}

// The bytes a stored field takes at aSource (aAvail bytes left), or -1 when
// it does not end within aAvail and its field.
int64_t readLength(TmvFieldType aType, const uint8_t* aSource, uint32_t aAvail, uint32_t aLength) {
  const uint32_t limit = std::min(aAvail, aLength);
  switch (aType) {
    case mvtShortString:
      if (aLength == 0) return 0;
      return limit >= 1 && uint32_t(aSource[0]) + 1 <= limit ? int64_t(aSource[0]) + 1 : -1;
    case mvtNullString: {
      if (aLength == 0) return 0;
      const void* end = std::memchr(aSource, 0, limit);
      return end ? static_cast<const uint8_t*>(end) - aSource + 1 : -1;
    }
    case mvtWideString:
      if (aLength < 2) return 0;
      for (uint32_t at = 0; at + 2 <= limit; at += 2)
        if ((aSource[at] | aSource[at + 1]) == 0) return at + 2;
      return -1;
    default:
      return aLength <= aAvail ? int64_t(aLength) : -1;
  }
}

[[noreturn]] void raiseDamagedImage() {
  throw EmvBaseRecordCompressionEngineException(MVERR_FILECORRUPT, u"Compressed record is damaged");
}

}  // namespace

void mvseRecordCompressionEnginesInit() {
  TmvBaseSubEngine::Register(TmvNullRecordCompressionEngine::StaticClass, mvNullRecordCompressionEngineName);
  TmvBaseSubEngine::Register(TmvSmartRecordCompressionEngine::StaticClass, u"Smart");
  TmvBaseSubEngine::Register(TmvCompressorRecordCompressionEngine::StaticClass, u"Compressor");
}

void mvseRecordCompressionEnginesFini() {
  TmvBaseSubEngine::Unregister(TmvCompressorRecordCompressionEngine::StaticClass);
  TmvBaseSubEngine::Unregister(TmvSmartRecordCompressionEngine::StaticClass);
  TmvBaseSubEngine::Unregister(TmvNullRecordCompressionEngine::StaticClass);
  mvClearCompressors();
}

#define MV_COMPRESSION_CLASS(Name, LargestImage)                                                   \
  constinit const TmvRecordCompressionEngineClassRef Name::StaticClass {                           \
    {{u"" #Name, &TmvBaseRecordCompressionEngine::StaticClass}, &TmvBaseRecordCompressionEngine::GetList, \
     &TmvBaseSubEngine::NoTableCheck},                                                             \
        &createEngine<Name>, &TmvBaseRecordCompressionEngine::CheckValidBase, LargestImage         \
  }
MV_COMPRESSION_CLASS(TmvNullRecordCompressionEngine, nullptr);
MV_COMPRESSION_CLASS(TmvSmartRecordCompressionEngine, &TmvSmartRecordCompressionEngine::LargestImage);
MV_COMPRESSION_CLASS(TmvCompressorRecordCompressionEngine, nullptr);
#undef MV_COMPRESSION_CLASS

// ---------------------------------------------------------------------------
// "Null"

void TmvNullRecordCompressionEngine::DecompressRecord(const uint8_t*, uint16_t, uint8_t*) {
  throw EmvBaseRecordCompressionEngineException(MVERR_NOTSUPPORTED, u"%s is not supported by %s",
                                                {u"DecompressRecord", u"TmvNullRecordCompressionEngine"});
}

// ---------------------------------------------------------------------------
// "Smart"

TmvSmartRecordCompressionEngine::TmvSmartRecordCompressionEngine(TmvBaseRecordCompressionDescriptor* aDescriptor)
    : TmvBaseRecordCompressionEngine(aDescriptor), srceFieldsDescriptor(fieldsOf(aDescriptor)) {}

// Never declines, and no field is stored longer than it is.
uint32_t TmvSmartRecordCompressionEngine::LargestImage(TmvFieldsDescriptor* aFields) {
  uint32_t size = bitmapBytes(aFields);
  for (int32_t i = 0; i < aFields->FieldCount(); ++i) size += uint32_t(aFields->FieldDescriptor(i)->Length());
  return size;
}

uint16_t TmvSmartRecordCompressionEngine::CompressRecord(const uint8_t* aSource, uint8_t* aTarget) {
  TmvFieldsDescriptor* fields = srceFieldsDescriptor;
  const uint8_t* bitmap = aSource + fields->LogicalRecordLength();
  uint32_t at = bitmapBytes(fields);
  std::memcpy(aTarget, bitmap, at);
  for (int32_t i = 0; i < fields->FieldCount(); ++i) {
    if (bitSet(bitmap, i)) continue;
    const TmvFieldDescriptor* field = fields->FieldDescriptor(i);
    const uint8_t* bytes = aSource + field->Offset();
    const uint32_t length = storedLength(field->FieldType(), bytes, uint32_t(field->Length()));
    std::memcpy(aTarget + at, bytes, length);
    // A cut string still ends with its terminator (or its length byte says so).
    if (field->FieldType() == mvtNullString) aTarget[at + length - 1] = 0;
    if (field->FieldType() == mvtWideString) aTarget[at + length - 1] = aTarget[at + length - 2] = 0;
    if (field->FieldType() == mvtShortString && length > 0) aTarget[at] = uint8_t(length - 1);
    at += length;
  }
  return uint16_t(at);
}

void TmvSmartRecordCompressionEngine::DecompressRecord(const uint8_t* aSource, uint16_t aSize, uint8_t* aTarget) {
  TmvFieldsDescriptor* fields = srceFieldsDescriptor;
  fields->InitRecord(aTarget);
  uint8_t* bitmap = aTarget + fields->LogicalRecordLength();
  uint32_t at = bitmapBytes(fields);
  if (at > aSize) raiseDamagedImage();
  std::memcpy(bitmap, aSource, at);
  for (int32_t i = 0; i < fields->FieldCount(); ++i) {
    if (bitSet(bitmap, i)) continue;
    const TmvFieldDescriptor* field = fields->FieldDescriptor(i);
    const int64_t length = readLength(field->FieldType(), aSource + at, aSize - at, uint32_t(field->Length()));
    if (length < 0) raiseDamagedImage();
    std::memcpy(aTarget + field->Offset(), aSource + at, size_t(length));
    at += uint32_t(length);
  }
}

// ---------------------------------------------------------------------------
// "Compressor"

TmvCompressorRecordCompressionEngine::TmvCompressorRecordCompressionEngine(
    TmvBaseRecordCompressionDescriptor* aDescriptor)
    : TmvBaseRecordCompressionEngine(aDescriptor),
      srceFieldsDescriptor(fieldsOf(aDescriptor)),
      srceRecordLength(uint32_t(srceFieldsDescriptor->RecordLength())) {
  const uint8_t type = aDescriptor->GetCompressType();
  srceCompressor = mvCompressorClass(type);
  if (!srceCompressor)
    throw EmvBaseRecordCompressionEngineException(u"Unknown CompressType \"%d\"", {int32_t(type)});
}

uint16_t TmvCompressorRecordCompressionEngine::CompressRecord(const uint8_t* aSource, uint8_t* aTarget) {
  const uint32_t size = srceCompressor->Compress(aSource, aTarget, srceRecordLength, srceRecordLength);
  MV_ASSERT(size <= srceRecordLength);
  return uint16_t(size);
}

void TmvCompressorRecordCompressionEngine::DecompressRecord(const uint8_t* aSource, uint16_t aSize,
                                                            uint8_t* aTarget) {
  srceCompressor->Uncompress(aSource, aTarget, aSize, srceRecordLength);
}
