// Field conversion: the mappers of floating-point and scaled decimal sources.
//
// `TmvSingleMapper`, `TmvDoubleMapper` and `TmvExtendedMapper` convert a
// float of 32, 64 or 80 bits, `TmvCurrencyMapper` a Currency or BCD value (a
// count of ten-thousandths in 64 bits) into Boolean, Char, WideChar, the
// integer types, Single, Double, Extended, Currency, ByteArray, the three
// string types and BCD; `TmvDoubleMapper` also into DateTime.
//
// All arithmetic runs on 80-bit floats, rounding to nearest with ties to
// even. A float counts as a given value when it is the same within the
// source class's tolerance R (1E-4 Single, 1E-12 Double, 1E-16 Extended),
// and as whole when its fraction is within 1E-16 of 0. Every conversion into
// an integer or a narrower float tests the range first, and NaN and the
// infinities have fixed answers: checking variants give 10002 for them
// (copies and widenings keep them), forcing ones write 0 for NaN and the
// nearest bound for an infinity; texts show "NAN", "INF" and "-INF".
//
// Texts are the general float format (15 significant digits) in the format
// settings of the target's locale, which an instance builds once. The BCD
// route instead takes the float's text in the process's number format and
// lays its digits out for the target; a float whose text needs an exponent
// raises "%s is not a valid BCD value".
//
// Layer: field conversion; calls the mapper base and common routines, the
// data dictionary's field and locale descriptors, the foundation's packed
// BCD and locales, and the platform's float text. Routines and instances
// hold no mutable state: any thread may run them.
#pragma once

#include "convert/mvsdFieldMapperBase.h"
#include "platform/SysUtils.h"

// What the three float classes share: S is the C++ type of the source
// value, Self the class, which keeps the target's length, units, decimals
// and format settings (TargetLength, TargetUnits, TargetDecPl,
// FormatSettings) and names its source type (kSourceType) and the value
// whose text decides whether a string target can always hold the text
// (kSampleValue).
template <typename Self, typename S>
class TmvFloatMapperOf : public TmvBaseFieldMapper {
 public:
  MV_FIELD_MAPPER_TRY_CREATE

 protected:
  void ChooseRoutine(TmvFieldType aTargetType, TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper) const;

 public:
  // The routines an instance binds (see mvBindCharOrText).
  template <TmvFieldType T>
  TmvResult ToDigit(const void* aSource, void* aTarget) const;
  template <TmvFieldType T>
  TmvResult ToFirstChar(const void* aSource, void* aTarget) const;
  template <TmvFieldType T>
  TmvResult ToTextTruncating(const void* aSource, void* aTarget) const;
  template <TmvFieldType T>
  TmvResult ToTextChecking(const void* aSource, void* aTarget) const;

 private:
  const Self& Target() const { return static_cast<const Self&>(*this); }
  template <bool Forcing>
  TmvResult ToBcd(const void* aSource, void* aTarget) const;
};

// The constructors keep the target field's length, units and decimals,
// build the format settings of its locale and assign aMapper, bound to the
// new instance, for a Char, WideChar, string or BCD target.

class TmvSingleMapper : public TmvFloatMapperOf<TmvSingleMapper, float> {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  TmvSingleMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                  TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
  static constexpr TmvFieldType kSourceType = mvtSingle;
  static constexpr Extended kSampleValue = -3.4E38L;
  int32_t TargetLength() const { return smTargetLength; }
  int32_t TargetUnits() const { return smTargetUnits; }
  int32_t TargetDecPl() const { return smTargetDecPl; }
  const TFormatSettings& FormatSettings() const { return smFormatSettings; }

 private:
  TFormatSettings smFormatSettings;
  int32_t smTargetLength, smTargetUnits, smTargetDecPl;
};

class TmvDoubleMapper : public TmvFloatMapperOf<TmvDoubleMapper, double> {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  TmvDoubleMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                  TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
  static constexpr TmvFieldType kSourceType = mvtDouble;
  static constexpr Extended kSampleValue = -1.7E308L;
  int32_t TargetLength() const { return dmTargetLength; }
  int32_t TargetUnits() const { return dmTargetUnits; }
  int32_t TargetDecPl() const { return dmTargetDecPl; }
  const TFormatSettings& FormatSettings() const { return dmFormatSettings; }

 private:
  int32_t dmTargetLength;
  TFormatSettings dmFormatSettings;
  int32_t dmTargetUnits, dmTargetDecPl;
};

class TmvExtendedMapper : public TmvFloatMapperOf<TmvExtendedMapper, Extended> {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  TmvExtendedMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                    TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
  static constexpr TmvFieldType kSourceType = mvtExtended;
  static constexpr Extended kSampleValue = -1.7E308L;
  int32_t TargetLength() const { return emTargetLength; }
  int32_t TargetUnits() const { return emTargetUnits; }
  int32_t TargetDecPl() const { return emTargetDecPl; }
  const TFormatSettings& FormatSettings() const { return emFormatSettings; }

 private:
  int32_t emTargetLength;
  TFormatSettings emFormatSettings;
  int32_t emTargetUnits, emTargetDecPl;
};

// Serves Currency and BCD sources, both the value x 10000 in 64 bits.
class TmvCurrencyMapper : public TmvBaseFieldMapper {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  TmvCurrencyMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                    TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
  MV_FIELD_MAPPER_TRY_CREATE

  // The routines an instance binds (see mvBindCharOrText).
  template <TmvFieldType T>
  TmvResult ToDigit(const void* aSource, void* aTarget) const;
  template <TmvFieldType T>
  TmvResult ToFirstChar(const void* aSource, void* aTarget) const;
  template <TmvFieldType T>
  TmvResult ToTextTruncating(const void* aSource, void* aTarget) const;
  template <TmvFieldType T>
  TmvResult ToTextChecking(const void* aSource, void* aTarget) const;

 private:
  template <bool Forcing>
  TmvResult ToBcdPacked(const void* aSource, void* aTarget) const;

  int32_t cmTargetLength;
  TFormatSettings cmFormatSettings;
  int32_t cmTargetUnits, cmTargetDecPl;
};

// Unit start-up and shutdown: register and remove the four classes in
// their cells.
void mvsdFieldMapperFloatInit();
void mvsdFieldMapperFloatFini();
