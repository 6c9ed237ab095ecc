// Field conversion: the mapper of formatted-BCD values.
//
// `TmvFmtBCDMapper` converts the numeric types (the integers, AutoInc and
// RecRev, Single, Double, Extended, Currency and BCD) into an FmtBCD field,
// an FmtBCD into those types, and an FmtBCD into another FmtBCD. An FmtBCD
// field of u digits and d places holds the first (u + 1) div 2 + 2 bytes of
// the packed record: precision, sign and places, then two digits per byte.
//
// Into FmtBCD every value becomes a packed decimal (integers through their
// decimal text, floats through their decimal digits, Currency and BCD with
// four places) laid out again for the target's digits and places: digits
// that find no place are dropped, never rounded; the checking variant
// refuses to drop any that is not zero. A number that makes no packed
// decimal (a float that is no number) raises. Out of FmtBCD every value
// passes through its text in the invariant locale; whatever refuses that
// text, or a damaged record, gives 10002.
//
// Layer: field conversion; calls the mapper base and common routines, the
// data dictionary's field descriptors, the foundation's packed decimals and
// the platform's readers. Routines and instances hold no mutable state.
#pragma once

#include "convert/mvsdFieldMapperBase.h"

struct TBcd;

class TmvFmtBCDMapper : public TmvBaseFieldMapper {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  // Keeps both fields' types and lengths and the target's digits, places
  // and integer range, and assigns aMapper, bound to the new instance.
  TmvFmtBCDMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                  TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
  // An FmtBCD source into a numeric or FmtBCD target, a numeric source into
  // any target (the registry asks only for FmtBCD ones): an instance.
  MV_FIELD_MAPPER_TRY_CREATE

  template <typename S, bool Forcing>
  TmvResult FromNumber(const void* aSource, void* aTarget) const;
  template <bool Forcing>
  TmvResult FromScaled(const void* aSource, void* aTarget) const;
  template <bool Forcing>
  TmvResult FromFmtBcd(const void* aSource, void* aTarget) const;
  TmvResult Copy(const void* aSource, void* aTarget) const;
  template <typename T, bool Forcing>
  TmvResult ToInteger(const void* aSource, void* aTarget) const;
  template <typename T, bool Forcing>
  TmvResult ToFloat(const void* aSource, void* aTarget) const;
  template <bool Forcing>
  TmvResult ToScaled(const void* aSource, void* aTarget) const;

 private:
  // The packed decimal laid out for the target and written into it.
  TmvResult PutBcd(const TBcd& aBcd, bool aForcing, void* aTarget) const;
  // The source value's text in the invariant locale; raises for a damaged
  // record.
  String SourceText(const void* aSource) const;

  TmvFieldType fbmSourceType;
  int32_t fbmSourceLength;
  TmvFieldType fbmTargetType;
  int32_t fbmTargetLength;
  int32_t fbmTargetUnits;
  int32_t fbmTargetDecPl;
  int64_t fbmTargetMaxInt;
  int64_t fbmTargetMinInt;
};

// Unit start-up and shutdown: register and remove the class in its cells.
void mvsdFieldMapperFmtBcdInit();
void mvsdFieldMapperFmtBcdFini();
