// Field conversion: the common interface of the mapper classes and the
// mapper registry.
//
// A conversion carries the bytes of one field of a source record buffer into
// the bytes of one field of a target record buffer. Every conversion is a
// `TmvMappingMethod`: a routine and the object it is bound to, either the
// mapper class itself (routines that need nothing of the target) or an
// instance of it that holds what the routine needs (target length, units,
// format settings). The mapper classes hand such methods out through their
// class-level `TryCreateMapper`; `TmvBaseFieldMapper::CreateMapper` asks the
// classes registered for a pair of field types, the last registered first.
//
// The registry is a 32 x 32 matrix of class lists, source type first. The
// units of the mapper families fill it at start-up and empty their cells at
// shutdown; this unit's shutdown frees every list. Between the two it is
// only read, without a lock, from any thread.
//
// Result of a conversion (`TmvResult`): 0 success, 10002 the value does not
// fit the target (checking variant; the target is left as it was), 1 no
// value (the caller makes the target null or gives it its default), any
// other code an error of an operation the routine used. A routine is never
// called for a null source and never touches the null bits.
//
// Layer: field conversion; calls the data dictionary (field and field mapper
// descriptors), the foundation and the platform. Cursors are only passed on.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "dictionary/mappers/mvsdFieldMapperDescriptor.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/types/mvsdTypes.h"
#include "platform/Components.h"

class TmvAbstractCursor;  // the server engine's cursor
class TmvFieldDescriptor;
class TmvBaseFieldMapper;
struct TmvFieldMapperClassRef;

MV_DECLARE_EXCEPTION(EmvBaseFieldMapperException, EmvBaseException)

// 0, 10002, 1 or an engine error code.
using TmvResult = uint32_t;
inline constexpr TmvResult mvMapNoValue = 1;

// ---------------------------------------------------------------------------
// TmvMappingMethod

// The routine of a bound method: aSelf is the object it is bound to (an
// instance of the mapper class or its class record), aSource the source
// field's bytes (read only), aTarget the target field's bytes.
using TmvMappingCode = TmvResult (*)(const void* aSelf, const void* aSource, void* aTarget);

// A bound method: two pointers, copied freely. Calling an unassigned one is
// the caller's fault; calling one whose instance was freed likewise.
struct TmvMappingMethod {
  TmvMappingCode Code = nullptr;
  const void* Data = nullptr;

  bool Assigned() const { return Code != nullptr; }
  void Clear() { *this = TmvMappingMethod(); }
  TmvResult operator()(const void* aSource, void* aTarget) const { return Code(Data, aSource, aTarget); }
};

// A routine bound to a class: it reads nothing but the two fields.
inline TmvMappingMethod mvClassMethod(const TmvFieldMapperClassRef& aClass, TmvMappingCode aCode) {
  return TmvMappingMethod{aCode, &aClass};
}

// A routine bound to a class that still needs one number of the field pair
// (a field length): the method's data is a record of the class and the
// number, made once for each distinct pair and kept for the life of the
// process, so that such a mapping, like any other bound to its class, makes
// no instance. Takes a lock while it looks the record up.
struct TmvClassBoundLength {
  const TmvFieldMapperClassRef* Class;
  int32_t Length;
};
TmvMappingMethod mvClassMethod(const TmvFieldMapperClassRef& aClass, TmvMappingCode aCode, int32_t aLength);
// The number of a method made by that overload, from its routine's aSelf.
inline int32_t mvBoundLength(const void* aSelf) { return static_cast<const TmvClassBoundLength*>(aSelf)->Length; }

namespace mv_mapper_detail {
template <auto Method>
struct Thunk;
template <typename C, TmvResult (C::*Method)(const void*, void*) const>
struct Thunk<Method> {
  static TmvResult Call(const void* aSelf, const void* aSource, void* aTarget) {
    return (static_cast<const C*>(aSelf)->*Method)(aSource, aTarget);
  }
};
}  // namespace mv_mapper_detail

// A member routine `TmvResult C::Routine(const void*, void*) const` bound to
// an instance, which must outlive every call of the method.
template <auto Method, typename C>
TmvMappingMethod mvInstanceMethod(const C* aInstance) {
  using Thunk = mv_mapper_detail::Thunk<Method>;
  return TmvMappingMethod{&Thunk::Call, static_cast<const void*>(aInstance)};
}

// ---------------------------------------------------------------------------
// TmvBaseFieldMapper

// The class-level TryCreateMapper, called through the class record (aClass
// is the class through which it is called). Returns the new instance the
// method is bound to (the caller owns it), or nil: for a method bound to the
// class, and when the class has no conversion for the pair (aMapper then
// stays as it was).
using TmvTryCreateMapper = TmvBaseFieldMapper* (*)(const TmvFieldMapperClassRef& aClass,
                                                   TmvFieldDescriptor* aSourceField, TmvAbstractCursor* aSourceCursor,
                                                   TmvFieldDescriptor* aTargetField, TmvAbstractCursor* aTargetCursor,
                                                   TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);

struct TmvFieldMapperClassRef : ClassRef {
  TmvTryCreateMapper TryCreateMapper;
};

class TmvBaseFieldMapper : public TmvObject {
 public:
  static const TmvFieldMapperClassRef StaticClass;
  virtual const ClassRef& ClassType() const { return StaticClass; }

  // The base class has no conversion: nil, aMapper untouched.
  static TmvBaseFieldMapper* TryCreateMapper(const TmvFieldMapperClassRef& aClass, TmvFieldDescriptor* aSourceField,
                                             TmvAbstractCursor* aSourceCursor, TmvFieldDescriptor* aTargetField,
                                             TmvAbstractCursor* aTargetCursor, TmvFieldMapperDescriptor* aMapperDesc,
                                             TmvMappingMethod& aMapper);

  // Finds a conversion for the two fields: aMapper is cleared, then the
  // classes of the cell [source type][target type] are asked, the last
  // registered first, until one assigns it. Returns that class's instance
  // (the caller owns it and frees it after its last call of aMapper), or nil
  // when it bound the method to itself or when none assigned it. A field
  // type outside the 32 finds no cell. aMapperDesc may be nil (checking
  // variants).
  static TmvBaseFieldMapper* CreateMapper(TmvFieldDescriptor* aSourceField, TmvAbstractCursor* aSourceCursor,
                                          TmvFieldDescriptor* aTargetField, TmvAbstractCursor* aTargetCursor,
                                          TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
  // The same for the fields the descriptor names, looked up (ignoring case)
  // in the two cursors' tables; a name that is missing raises
  // EmvBaseFieldMapperException 10038.
  static TmvBaseFieldMapper* CreateMapper(TmvAbstractCursor* aSourceCursor, TmvAbstractCursor* aTargetCursor,
                                          TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper);
};

// The class-level TryCreateMapper that a mapper class declares in place of
// its base's (same parameters, same contract).
#define MV_FIELD_MAPPER_TRY_CREATE                                                                              \
  static TmvBaseFieldMapper* TryCreateMapper(const TmvFieldMapperClassRef& aClass, TmvFieldDescriptor* aSourceField, \
                                             TmvAbstractCursor* aSourceCursor, TmvFieldDescriptor* aTargetField,    \
                                             TmvAbstractCursor* aTargetCursor, TmvFieldMapperDescriptor* aMapperDesc, \
                                             TmvMappingMethod& aMapper);

// Whether the conversion must force a value that does not fit: only under
// dlaBestFit. dlaFail, dlaNull, any other byte and no descriptor at all
// choose the checking variant.
inline bool mvForcing(const TmvFieldMapperDescriptor* aMapperDesc) {
  return aMapperDesc && aMapperDesc->GetDataLossAction() == dlaBestFit;
}

// ---------------------------------------------------------------------------
// The registry

// The classes of one cell in registration order.
using TmvFieldMapperClasses = std::vector<const TmvFieldMapperClassRef*>;

// Appends aClass to the cell. Start-up code only.
void mvRegisterFieldMapper(const TmvFieldMapperClassRef& aClass, TmvFieldType aSourceType, TmvFieldType aTargetType);
// Removes aClass from the cell (every entry of it). Shutdown code only.
void mvUnregisterFieldMapper(const TmvFieldMapperClassRef& aClass, TmvFieldType aSourceType,
                             TmvFieldType aTargetType);
// Registers (or, with aRegister false, removes) aClass in every cell of a
// source type of aSources and a target type of aTargets.
void mvRegisterFieldMappers(const TmvFieldMapperClassRef& aClass, std::initializer_list<TmvFieldType> aSources,
                            std::span<const TmvFieldType> aTargets, bool aRegister);
// The classes of a cell; an empty list for a type outside the 32.
const TmvFieldMapperClasses& mvFieldMapperClasses(int aSourceType, int aTargetType);

// Unit start-up (the matrix stays empty: the families fill it) and shutdown
// (frees all 1024 lists).
void mvsdFieldMapperBaseInit();
void mvsdFieldMapperBaseFini();
