// Field conversion: the mappers that read values out of strings.
//
// `TmvShortStringMapper`, `TmvNullStringMapper` and `TmvWideStringMapper`
// take the value of a string field as text and read it as a Boolean, a
// character, an integer, a float, a Currency or BCD value, a date, a time, a
// date and time, a GUID, or raw bytes. The bytes of a single-byte string are
// decoded from the system ANSI code page (the direct path) or from the
// field's own code page (the converting path, taken when the two fields'
// code pages call for it, and for some targets on either path); a WideString
// is its text.
//
// Readers: integers and floats in the platform's locale-independent syntax
// (blanks, sign, digits or hexadecimal after '$', 'x' or '0x'; "." as the
// decimal point), dates and times in the format settings of the source
// field's locale, Boolean words ("1", "Y", "Yes", "T", "True" and their
// opposites, ignoring the case of ASCII letters), GUIDs in the braced
// registry form, BCD digits with the process's decimal separator. Checking
// variants answer 10002 for a text that gives no value that fits, and leave
// the target as it was; forcing variants store the nearest value (an
// integer or float clamped to the target's range, 0 or the first day or
// midnight for no value, the null GUID).
//
// A decoding call that fails raises the operating-system error (11047)
// naming "<class>.<routine>/<call>"; NullString texts decoded through the
// bounded buffer of the original program stop at 254 UTF-16 units.
//
// Layer: field conversion; calls the mapper base, the code-page layer and
// common routines, the data dictionary's field descriptors, the foundation's
// packed BCD and the platform's readers. Routines and instances hold no
// mutable state: any thread may run them.
#pragma once

#include "convert/mvsdFieldMapperBase.h"
#include "platform/SysUtils.h"

// What the three classes share: Self keeps the source's length and code
// page (0 for WideString), the target's length, code page, units and
// decimals, and the source locale's format settings, and names its source
// type (kSourceType).
template <typename Self>
class TmvTextMapperOf : public TmvBaseFieldMapper {
 public:
  // Targets Boolean to DateTime, ByteArray, RecRev, Guid and BCD: an
  // instance. The source type is not tested (the registry asks the class
  // only for its own).
  MV_FIELD_MAPPER_TRY_CREATE

  // The routine of target type T (AutoInc and RecRev use Word32's) on the
  // converting or the direct path.
  template <TmvFieldType T, bool Converting, bool Forcing>
  TmvResult To(const void* aSource, void* aTarget) const;

 protected:
  // The constructor's choice: the path, then the routine.
  void ChooseRoutine(TmvFieldDescriptor* aTargetField, TmvFieldMapperDescriptor* aMapperDesc,
                     TmvMappingMethod& aMapper) const;

 private:
  const Self& Fields() const { return static_cast<const Self&>(*this); }
  template <TmvFieldType T, bool Converting, bool Forcing>
  String Text(const void* aSource) const;
  template <bool Converting>
  TmvResult ToChar(const void* aSource, void* aTarget) const;
  template <bool Forcing>
  TmvResult ToByteArray(const void* aSource, void* aTarget) const;
};

// The constructors fill the fields from the two descriptors and assign
// aMapper, bound to the new instance.
#define MV_TEXT_MAPPER_BODY(Name, Source)                                                                      \
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)                                                                 \
 public:                                                                                                      \
  Name(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField, TmvFieldMapperDescriptor* aMapperDesc, \
       TmvMappingMethod& aMapper);                                                                            \
  static constexpr TmvFieldType kSourceType = Source;

class TmvShortStringMapper : public TmvTextMapperOf<TmvShortStringMapper> {
  MV_TEXT_MAPPER_BODY(TmvShortStringMapper, mvtShortString)
  const TFormatSettings& FormatSettings() const { return ssmFormatSettings; }
  int32_t SourceLength() const { return ssmSourceLength; }
  int32_t TargetLength() const { return ssmTargetLength; }
  uint16_t SourceCodepage() const { return ssmSourceCodepage; }
  uint16_t TargetCodepage() const { return ssmTargetCodepage; }
  int32_t TargetUnits() const { return ssmTargetUnits; }
  int32_t TargetDecPl() const { return ssmTargetDecPl; }

 private:
  TFormatSettings ssmFormatSettings;
  int32_t ssmSourceLength, ssmTargetLength;
  uint16_t ssmSourceCodepage, ssmTargetCodepage;
  int32_t ssmTargetUnits, ssmTargetDecPl;
};

class TmvNullStringMapper : public TmvTextMapperOf<TmvNullStringMapper> {
  MV_TEXT_MAPPER_BODY(TmvNullStringMapper, mvtNullString)
  const TFormatSettings& FormatSettings() const { return nsmFormatSettings; }
  int32_t SourceLength() const { return nsmSourceLength; }
  int32_t TargetLength() const { return nsmTargetLength; }
  uint16_t SourceCodepage() const { return nsmSourceCodepage; }
  uint16_t TargetCodepage() const { return nsmTargetCodepage; }
  int32_t TargetUnits() const { return nsmTargetUnits; }
  int32_t TargetDecPl() const { return nsmTargetDecPl; }

 private:
  TFormatSettings nsmFormatSettings;
  int32_t nsmSourceLength, nsmTargetLength;
  uint16_t nsmSourceCodepage, nsmTargetCodepage;
  int32_t nsmTargetUnits, nsmTargetDecPl;
};

class TmvWideStringMapper : public TmvTextMapperOf<TmvWideStringMapper> {
  MV_TEXT_MAPPER_BODY(TmvWideStringMapper, mvtWideString)
  const TFormatSettings& FormatSettings() const { return wsmFormatSettings; }
  int32_t SourceLength() const { return wsmSourceLength; }
  int32_t TargetLength() const { return wsmTargetLength; }
  uint16_t SourceCodepage() const { return 0; }
  uint16_t TargetCodepage() const { return wsmTargetCodepage; }
  int32_t TargetUnits() const { return wsmTargetUnits; }
  int32_t TargetDecPl() const { return wsmTargetDecPl; }

 private:
  TFormatSettings wsmFormatSettings;
  int32_t wsmTargetLength;
  uint16_t wsmTargetCodepage;
  int32_t wsmTargetUnits, wsmTargetDecPl;
  int32_t wsmSourceLength;
};

#undef MV_TEXT_MAPPER_BODY

// Unit start-up and shutdown: register and remove the three classes in
// their cells.
void mvsdFieldMapperParseInit();
void mvsdFieldMapperParseFini();
