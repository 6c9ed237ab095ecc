// Field conversion: the mappers of Boolean and integer sources.
//
// `TmvBooleanMapper` and the seven integer classes convert their source into
// Boolean, Char, WideChar, the integer types, Single, Double, Extended,
// Currency, ByteArray, the three string types and BCD (a RefNr source, served
// by `TmvInt64Mapper`, only into Int64, RefNr and the string types).
//
// Conversions into Boolean, numbers and ByteArray read nothing of the target
// and are bound to the class; where the target cannot hold every value of
// the source type they come as a checking variant (10002, target untouched)
// and a forcing one (the nearest bound). Char, WideChar, the string types
// and BCD get an instance that keeps the target's length, units and
// decimals; its routine checks lengths and digits only where a value of the
// source type can fail to fit.
//
// Value forms: Boolean one byte (0 false, anything else true; written as 0
// and 255), integers little-endian, Currency and BCD the value x 10000 in
// 64 bits, decimal texts without leading zeros or plus sign.
//
// Layer: field conversion; calls the mapper base and common routines, the
// data dictionary's field descriptors and the foundation's packed BCD.
// Routines and instances hold no mutable state: any thread may run them.
#pragma once

#include "convert/mvsdFieldMapperBase.h"

class TmvBooleanMapper : public TmvBaseFieldMapper {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  // A Boolean source and a target of at least one byte (a string target
  // with room for one character); every routine is bound to the class.
  MV_FIELD_MAPPER_TRY_CREATE
};

// What the seven integer classes share: S is the C++ type of the source
// value, Self the class, which keeps the target's length, units and
// decimals (TargetLength, TargetUnits, TargetDecPl) and names its source
// types (kSourceTypes).
template <typename Self, typename S>
class TmvIntegerMapperOf : public TmvBaseFieldMapper {
 public:
  MV_FIELD_MAPPER_TRY_CREATE

 protected:
  // The constructor's choice of the routine by the target's type.
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
  TmvResult ToBcdDirect(const void* aSource, void* aTarget) const;
  template <bool Forcing>
  TmvResult ToBcdPacked(const void* aSource, void* aTarget) const;
};

// The constructor of each class keeps the target field's length, units and
// decimals and assigns aMapper, bound to the new instance, for a Char,
// WideChar, string or BCD target. The source field is not read.
#define MV_INTEGER_MAPPER_BODY(Name)                                                                        \
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)                                                              \
 public:                                                                                                   \
  Name(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField, TmvFieldMapperDescriptor* aMapperDesc, \
       TmvMappingMethod& aMapper);

class TmvInt8Mapper : public TmvIntegerMapperOf<TmvInt8Mapper, int8_t> {
  MV_INTEGER_MAPPER_BODY(TmvInt8Mapper)
  static constexpr TmvFieldTypes kSourceTypes = mvSetOf({mvtInt8});
  int32_t TargetLength() const { return i8mTargetLength; }
  int32_t TargetUnits() const { return i8mTargetUnits; }
  int32_t TargetDecPl() const { return i8mTargetDecPl; }

 private:
  int32_t i8mTargetLength, i8mTargetUnits, i8mTargetDecPl;
};

class TmvInt16Mapper : public TmvIntegerMapperOf<TmvInt16Mapper, int16_t> {
  MV_INTEGER_MAPPER_BODY(TmvInt16Mapper)
  static constexpr TmvFieldTypes kSourceTypes = mvSetOf({mvtInt16});
  int32_t TargetLength() const { return i16mTargetLength; }
  int32_t TargetUnits() const { return i16mTargetUnits; }
  int32_t TargetDecPl() const { return i16mTargetDecPl; }

 private:
  int32_t i16mTargetLength, i16mTargetUnits, i16mTargetDecPl;
};

class TmvInt32Mapper : public TmvIntegerMapperOf<TmvInt32Mapper, int32_t> {
  MV_INTEGER_MAPPER_BODY(TmvInt32Mapper)
  static constexpr TmvFieldTypes kSourceTypes = mvSetOf({mvtInt32});
  int32_t TargetLength() const { return i32mTargetLength; }
  int32_t TargetUnits() const { return i32mTargetUnits; }
  int32_t TargetDecPl() const { return i32mTargetDecPl; }

 private:
  int32_t i32mTargetLength, i32mTargetUnits, i32mTargetDecPl;
};

// Also serves RefNr sources, into Int64, RefNr and the string types only.
class TmvInt64Mapper : public TmvIntegerMapperOf<TmvInt64Mapper, int64_t> {
  MV_INTEGER_MAPPER_BODY(TmvInt64Mapper)
  static constexpr TmvFieldTypes kSourceTypes = mvSetOf({mvtInt64, mvtRefNr});
  int32_t TargetLength() const { return i64mTargetLength; }
  int32_t TargetUnits() const { return i64mTargetUnits; }
  int32_t TargetDecPl() const { return i64mTargetDecPl; }

 private:
  int32_t i64mTargetLength, i64mTargetUnits, i64mTargetDecPl;
};

class TmvByte8Mapper : public TmvIntegerMapperOf<TmvByte8Mapper, uint8_t> {
  MV_INTEGER_MAPPER_BODY(TmvByte8Mapper)
  static constexpr TmvFieldTypes kSourceTypes = mvSetOf({mvtByte});
  int32_t TargetLength() const { return b8mTargetLength; }
  int32_t TargetUnits() const { return b8mTargetUnits; }
  int32_t TargetDecPl() const { return b8mTargetDecPl; }

 private:
  int32_t b8mTargetLength, b8mTargetUnits, b8mTargetDecPl;
};

class TmvWord16Mapper : public TmvIntegerMapperOf<TmvWord16Mapper, uint16_t> {
  MV_INTEGER_MAPPER_BODY(TmvWord16Mapper)
  static constexpr TmvFieldTypes kSourceTypes = mvSetOf({mvtWord16});
  int32_t TargetLength() const { return w16mTargetLength; }
  int32_t TargetUnits() const { return w16mTargetUnits; }
  int32_t TargetDecPl() const { return w16mTargetDecPl; }

 private:
  int32_t w16mTargetLength, w16mTargetUnits, w16mTargetDecPl;
};

// Also serves AutoInc and RecRev sources (the same unsigned 32-bit form).
class TmvWord32Mapper : public TmvIntegerMapperOf<TmvWord32Mapper, uint32_t> {
  MV_INTEGER_MAPPER_BODY(TmvWord32Mapper)
  static constexpr TmvFieldTypes kSourceTypes = mvSetOf({mvtWord32, mvtAutoInc, mvtRecRev});
  int32_t TargetLength() const { return w32mTargetLength; }
  int32_t TargetUnits() const { return w32mTargetUnits; }
  int32_t TargetDecPl() const { return w32mTargetDecPl; }

 private:
  int32_t w32mTargetLength, w32mTargetUnits, w32mTargetDecPl;
};

#undef MV_INTEGER_MAPPER_BODY

// Unit start-up and shutdown: register and remove the eight classes in
// their cells.
void mvsdFieldMapperIntegerInit();
void mvsdFieldMapperIntegerFini();
