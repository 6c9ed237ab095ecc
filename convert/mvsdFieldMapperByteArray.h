// Field conversion: the mapper of ByteArray sources.
//
// `TmvByteArrayMapper` copies a ByteArray's bytes into a ByteArray of
// another length or a Guid, and takes them as single-byte text in the
// source field's code page for a ShortString, NullString or WideString:
// copied as they are when the code pages allow, decoded through UTF-16
// otherwise. Where a checking conversion could fail only by the two fields'
// lengths, there is none: such a mapping is refused when it is set up, not
// record by record.
//
// Layer: field conversion; calls the mapper base, the code-page layer, the
// data dictionary's field descriptors and the platform's NLS calls. Routines
// and instances hold no mutable state.
#pragma once

#include "convert/mvsdFieldMapperBase.h"

class TmvByteArrayMapper : public TmvBaseFieldMapper {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  // Keeps both lengths and code pages and assigns aMapper, bound to the new
  // instance, or leaves it unassigned where a checking conversion would
  // depend on the lengths alone.
  TmvByteArrayMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                     TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
  // ByteArray, ShortString, NullString, WideString and Guid targets: an
  // instance, whether it has a routine or not.
  MV_FIELD_MAPPER_TRY_CREATE

  TmvResult ToBytes(const void* aSource, void* aTarget) const;
  template <TmvFieldType T>
  TmvResult ToText(const void* aSource, void* aTarget) const;
  template <TmvFieldType T, bool Forcing>
  TmvResult ToTextConvert(const void* aSource, void* aTarget) const;
  template <bool Forcing>
  TmvResult ToWideString(const void* aSource, void* aTarget) const;

 private:
  int32_t bamSourceLength;
  int32_t bamTargetLength;
  uint16_t bamSourceCodepage;
  uint16_t bamTargetCodepage;
};

// Unit start-up and shutdown: register and remove the class in its cells.
void mvsdFieldMapperByteArrayInit();
void mvsdFieldMapperByteArrayFini();
