// Field conversion: the character and string mappers.
//
// Seven string-pair mappers move text between ShortString, NullString (both
// single-byte text in their field's code page) and WideString (UTF-16):
// between two single-byte fields the bytes are copied as they are, unless
// the code pages differ, or the target's code page has characters of two
// bytes and the target is shorter than the source; then the text goes
// through UTF-16 and is cut, where it must be, on a character boundary of the
// target's code page. `TmvCharMapper` and `TmvWideCharMapper` carry a Char or
// WideChar into the same 21 targets as the numeric sources: the character
// types and the strings take the character itself, Boolean and the numbers
// the value of a decimal digit, ByteArray the raw bytes.
//
// Forcing variants cut a text that is too long; checking variants answer
// 10002 instead (the byte and WideString copies then leave the target as it
// was, the conversions through UTF-16 leave it empty). A string conversion
// into a blank-padded field (decimals above 0) from one that is not drops
// trailing blanks. A value is never read beyond its field: a damaged length
// byte, or a missing terminator, counts as the field's units.
//
// Everything that depends on the two descriptors (code pages, lengths,
// variant, blank rule, copy or conversion) is settled when the mapper is
// made, so that equal code pages cost a byte copy per record.
//
// Layer: field conversion; calls the mapper base, the code-page layer, the
// data dictionary's field descriptors and the platform's NLS calls. Routines
// and instances hold no mutable state: any thread may run them.
#pragma once

#include "convert/mvsdFieldMapperBase.h"

// The four single-byte pairs: S and T are the source and target types,
// Self keeps the lengths and code pages (SourceLength, TargetLength,
// SourceCodepage, TargetCodepage).
template <typename Self, TmvFieldType S, TmvFieldType T>
class TmvAnsiStringPairMapperOf : public TmvBaseFieldMapper {
 public:
  // Exactly the one pair; always an instance.
  MV_FIELD_MAPPER_TRY_CREATE

  template <bool Blanks>
  TmvResult WholeCopy(const void* aSource, void* aTarget) const;
  template <bool Blanks>
  TmvResult CuttingCopy(const void* aSource, void* aTarget) const;
  template <bool Blanks>
  TmvResult CheckingCopy(const void* aSource, void* aTarget) const;
  template <bool Blanks, bool Forcing>
  TmvResult Converting(const void* aSource, void* aTarget) const;

 protected:
  // The constructor's choice of the routine.
  void ChooseRoutine(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                     TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper) const;

 private:
  const Self& Fields() const { return static_cast<const Self&>(*this); }
};

// The constructors keep the two fields' lengths and code pages and assign
// aMapper, bound to the new instance. They read of the source field only its
// locale, fdLength and fdDecPl.
#define MV_STRING_PAIR_MAPPER(Name, Source, Target, Prefix)                                                   \
  class Name : public TmvAnsiStringPairMapperOf<Name, Source, Target> {                                       \
    MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)                                                              \
   public:                                                                                                   \
    Name(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField, TmvFieldMapperDescriptor* aMapperDesc, \
         TmvMappingMethod& aMapper);                                                                         \
    int32_t SourceLength() const { return Prefix##SourceLength; }                                            \
    int32_t TargetLength() const { return Prefix##TargetLength; }                                            \
    uint16_t SourceCodepage() const { return Prefix##SourceCodepage; }                                       \
    uint16_t TargetCodepage() const { return Prefix##TargetCodepage; }                                       \
                                                                                                             \
   private:                                                                                                  \
    int32_t Prefix##TargetLength;                                                                            \
    uint16_t Prefix##SourceCodepage, Prefix##TargetCodepage;                                                 \
    int32_t Prefix##SourceLength;                                                                            \
  };

MV_STRING_PAIR_MAPPER(TmvShortStringToShortStringMapper, mvtShortString, mvtShortString, sts)
MV_STRING_PAIR_MAPPER(TmvShortStringToNullStringMapper, mvtShortString, mvtNullString, stn)
MV_STRING_PAIR_MAPPER(TmvNullStringToNullStringMapper, mvtNullString, mvtNullString, ntn)
MV_STRING_PAIR_MAPPER(TmvNullStringToShortStringMapper, mvtNullString, mvtShortString, nts)

#undef MV_STRING_PAIR_MAPPER

// WideString into ShortString or NullString: always through the target's
// code page.
class TmvWideStringToAnsiStringMapper : public TmvBaseFieldMapper {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  TmvWideStringToAnsiStringMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                                  TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
  MV_FIELD_MAPPER_TRY_CREATE
  template <TmvFieldType T, bool Blanks, bool Forcing>
  TmvResult Converting(const void* aSource, void* aTarget) const;

 private:
  int32_t wtaTargetLength;
  uint16_t wtaTargetCodepage;
  int32_t wtaSourceLength;
};

// ShortString or NullString into WideString: always from the source's code
// page. A BLOB mapper may pass its own Blob or BlobMemo field as the source:
// its text is then read as a NullString up to its terminator.
class TmvAnsiStringToWideStringMapper : public TmvBaseFieldMapper {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  TmvAnsiStringToWideStringMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                                  TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
  MV_FIELD_MAPPER_TRY_CREATE
  template <TmvFieldType S, bool Blanks, bool Forcing>
  TmvResult Converting(const void* aSource, void* aTarget) const;

 private:
  int32_t atwTargetLength;
  uint16_t atwSourceCodepage;
  int32_t atwSourceLength;
};

// WideString into WideString. A target at least as long as the source needs
// no instance: the copy is bound to the class (with the source's length).
class TmvWideStringToWideStringMapper : public TmvBaseFieldMapper {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  TmvWideStringToWideStringMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                                  TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
  MV_FIELD_MAPPER_TRY_CREATE
  template <bool Blanks, bool Forcing>
  TmvResult Copy(const void* aSource, void* aTarget) const;

 private:
  int32_t wtwTargetLength;
  int32_t wtwTargetUnits;
  int32_t wtwSourceLength;
};

// Char into the 21 targets. Boolean, the numbers and ByteArray are bound to
// the class; the character and string targets get an instance (with a
// routine bound to the class where the byte is merely copied).
class TmvCharMapper : public TmvBaseFieldMapper {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  TmvCharMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
  MV_FIELD_MAPPER_TRY_CREATE

  TmvResult ToAnsiCharConvert(const void* aSource, void* aTarget) const;
  template <TmvFieldType T, bool Forcing>
  TmvResult ToWide(const void* aSource, void* aTarget) const;
  template <TmvFieldType T, bool Forcing>
  TmvResult ToTextConvert(const void* aSource, void* aTarget) const;

 private:
  int32_t ccTargetLength;
  uint16_t ccSourceCodepage, ccTargetCodepage;
};

// WideChar into the 21 targets, as TmvCharMapper.
class TmvWideCharMapper : public TmvBaseFieldMapper {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  TmvWideCharMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                    TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
  MV_FIELD_MAPPER_TRY_CREATE

  TmvResult ToAnsiChar(const void* aSource, void* aTarget) const;
  template <TmvFieldType T, bool Forcing>
  TmvResult ToText(const void* aSource, void* aTarget) const;

 private:
  int32_t wccTargetLength;
  uint16_t wccTargetCodepage;
};

// Unit start-up and shutdown: register and remove the nine classes in their
// cells.
void mvsdFieldMapperStringInit();
void mvsdFieldMapperStringFini();
