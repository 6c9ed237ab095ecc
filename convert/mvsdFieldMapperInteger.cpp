// Field conversion: the mappers of Boolean and integer sources. See
// mvsdFieldMapperInteger.h.
#include "convert/mvsdFieldMapperInteger.h"

#include <limits>
#include <utility>

#include "convert/mvsdFieldMapperCommon.h"
#include "dictionary/items/mvsdFieldDescriptor.h"
#include "foundation/errors/mvllErrors.h"

namespace {

constexpr TmvResult kNoFit = MVERR_INVALIDFLDXFORM;

constexpr TmvFieldType kRefNrTargets[] = {mvtInt64, mvtShortString, mvtNullString, mvtWideString, mvtRefNr};

// Integer sources widen to one of two 64-bit types for texts and tests.
template <typename S>
using Wide = std::conditional_t<std::is_signed_v<S>, int64_t, uint64_t>;

// Digits of the largest value of S, and the length of the longest text
// (with '-' for the smallest value of a signed type).
template <typename S>
constexpr int IntegerDigits() {
  int n = 0;
  for (auto v = std::numeric_limits<S>::max(); v; v /= 10) ++n;
  return n;
}
template <typename S>
constexpr size_t LongestText = size_t(IntegerDigits<S>() + (std::is_signed_v<S> ? 1 : 0));

// ---------------------------------------------------------------------------
// Routines bound to the class

template <typename S, typename T>
TmvResult IntExact(const void*, const void* aSource, void* aTarget) {
  mvStoreValue<T>(aTarget, static_cast<T>(mvLoadValue<S>(aSource)));
  return 0;
}

template <typename S, typename T>
TmvResult IntChecking(const void*, const void* aSource, void* aTarget) {
  const S v = mvLoadValue<S>(aSource);
  if (!std::in_range<T>(v)) return kNoFit;
  mvStoreValue<T>(aTarget, static_cast<T>(v));
  return 0;
}

template <typename S, typename T>
TmvResult IntForcing(const void*, const void* aSource, void* aTarget) {
  const S v = mvLoadValue<S>(aSource);
  T t;
  if (std::cmp_less(v, std::numeric_limits<T>::min()))
    t = std::numeric_limits<T>::min();
  else if (std::cmp_greater(v, std::numeric_limits<T>::max()))
    t = std::numeric_limits<T>::max();
  else
    t = static_cast<T>(v);
  mvStoreValue<T>(aTarget, t);
  return 0;
}

template <typename S, bool Forcing>
TmvResult IntToBoolean(const void*, const void* aSource, void* aTarget) {
  const S v = mvLoadValue<S>(aSource);
  if (!Forcing && v != 0 && v != 1) return kNoFit;
  *static_cast<uint8_t*>(aTarget) = v ? mvTrueByte : 0;
  return 0;
}

// Exact except where the target's precision is shorter: rounded to
// nearest, ties to even.
template <typename S, typename T>
TmvResult IntToFloat(const void*, const void* aSource, void* aTarget) {
  mvStoreValue<T>(aTarget, static_cast<T>(mvLoadValue<S>(aSource)));
  return 0;
}

// Never 10002: a 64-bit source beyond the scaled range is clamped in both
// variants, every other source fits.
template <typename S>
TmvResult IntToCurrency(const void*, const void* aSource, void* aTarget) {
  Wide<S> v = mvLoadValue<S>(aSource);
  if constexpr (sizeof(S) == 8) {
    if (v > mvMaxScaledWhole) v = mvMaxScaledWhole;
    if (v < -mvMaxScaledWhole) v = -mvMaxScaledWhole;
  }
  StoreLE<int64_t>(aTarget, static_cast<int64_t>(v) * mvScale);
  return 0;
}

// A number target: one routine where the target holds every value of S,
// else the variant.
template <typename S>
TmvMappingCode IntegerToNumber(TmvFieldType aTargetType, bool aForcing) {
  return mvVisitNumberType<TmvMappingCode>(aTargetType, nullptr, [aForcing](auto aTarget) -> TmvMappingCode {
    using T = decltype(aTarget);
    if constexpr (std::is_floating_point_v<T>) {
      return &IntToFloat<S, T>;
    } else if constexpr (std::in_range<T>(std::numeric_limits<S>::min()) &&
                         std::in_range<T>(std::numeric_limits<S>::max())) {
      return &IntExact<S, T>;
    } else {
      return aForcing ? &IntForcing<S, T> : &IntChecking<S, T>;
    }
  });
}

template <typename S>
TmvMappingCode IntegerToScalar(TmvFieldType aTargetType, bool aForcing) {
  switch (aTargetType) {
    case mvtBoolean: return aForcing ? &IntToBoolean<S, true> : &IntToBoolean<S, false>;
    case mvtCurrency: return &IntToCurrency<S>;
    default: return IntegerToNumber<S>(aTargetType, aForcing);
  }
}

// ---------------------------------------------------------------------------
// Boolean sources (all bound to the class, no variants)

uint8_t BooleanByte(const void* aSource) { return *static_cast<const uint8_t*>(aSource); }
int8_t BooleanSigned(const void* aSource) { return static_cast<int8_t>(BooleanByte(aSource)); }
char BooleanDigit(const void* aSource) { return BooleanByte(aSource) ? '1' : '0'; }

// Boolean, Byte and Int8 take the byte; Int16 and Int32 the byte as an
// unsigned number.
template <typename T>
TmvResult BooleanUnsigned(const void*, const void* aSource, void* aTarget) {
  mvStoreValue<T>(aTarget, static_cast<T>(BooleanByte(aSource)));
  return 0;
}
// Int64 and the floats: the byte as a signed number (255 gives -1).
template <typename T>
TmvResult BooleanSignExtended(const void*, const void* aSource, void* aTarget) {
  mvStoreValue<T>(aTarget, static_cast<T>(BooleanSigned(aSource)));
  return 0;
}
// The unsigned targets: the magnitude of the signed byte (255 gives 1).
template <typename T>
TmvResult BooleanMagnitude(const void*, const void* aSource, void* aTarget) {
  const int v = BooleanSigned(aSource);
  mvStoreValue<T>(aTarget, static_cast<T>(v < 0 ? -v : v));
  return 0;
}
TmvResult BooleanToScaled(const void*, const void* aSource, void* aTarget) {
  StoreLE<int64_t>(aTarget, int64_t(BooleanSigned(aSource)) * mvScale);
  return 0;
}
template <TmvFieldType T>
TmvResult BooleanToChar(const void*, const void* aSource, void* aTarget) {
  mvWriteChar(T, char16_t(BooleanDigit(aSource)), aTarget);
  return 0;
}
TmvResult BooleanToByteArray(const void*, const void* aSource, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = BooleanByte(aSource) ? mvTrueByte : 0;
  return 0;
}
// The target has room for the one character (checked when the routine is
// chosen), so the length is irrelevant.
template <TmvFieldType T>
TmvResult BooleanToText(const void*, const void* aSource, void* aTarget) {
  const char digit = BooleanDigit(aSource);
  mvWriteText(T, T == mvtWideString ? 4 : 2, std::string_view(&digit, 1), aTarget);
  return 0;
}

TmvMappingCode BooleanRoutine(TmvFieldType aTargetType) {
  switch (aTargetType) {
    case mvtBoolean: case mvtByte: return &BooleanUnsigned<uint8_t>;
    case mvtInt8: return &BooleanUnsigned<int8_t>;
    case mvtInt16: return &BooleanUnsigned<int16_t>;
    case mvtInt32: return &BooleanUnsigned<int32_t>;
    case mvtWord16: return &BooleanMagnitude<uint16_t>;
    case mvtWord32: case mvtAutoInc: case mvtRecRev: return &BooleanMagnitude<uint32_t>;
    case mvtInt64: return &BooleanSignExtended<int64_t>;
    case mvtSingle: return &BooleanSignExtended<float>;
    case mvtDouble: return &BooleanSignExtended<double>;
    case mvtExtended: return &BooleanSignExtended<Extended>;
    case mvtCurrency: case mvtBCD: return &BooleanToScaled;
    case mvtChar: return &BooleanToChar<mvtChar>;
    case mvtWideChar: return &BooleanToChar<mvtWideChar>;
    case mvtByteArray: return &BooleanToByteArray;
    case mvtShortString: return &BooleanToText<mvtShortString>;
    case mvtNullString: return &BooleanToText<mvtNullString>;
    case mvtWideString: return &BooleanToText<mvtWideString>;
    default: return nullptr;
  }
}

void RegisterAll(bool aRegister) {
  mvRegisterFieldMappers(TmvBooleanMapper::StaticClass, {mvtBoolean}, mvScalarRowTargets, aRegister);
  mvRegisterFieldMappers(TmvByte8Mapper::StaticClass, {mvtByte}, mvScalarRowTargets, aRegister);
  mvRegisterFieldMappers(TmvWord16Mapper::StaticClass, {mvtWord16}, mvScalarRowTargets, aRegister);
  mvRegisterFieldMappers(TmvWord32Mapper::StaticClass, {mvtWord32, mvtAutoInc, mvtRecRev}, mvScalarRowTargets,
                         aRegister);
  mvRegisterFieldMappers(TmvInt8Mapper::StaticClass, {mvtInt8}, mvScalarRowTargets, aRegister);
  mvRegisterFieldMappers(TmvInt16Mapper::StaticClass, {mvtInt16}, mvScalarRowTargets, aRegister);
  mvRegisterFieldMappers(TmvInt32Mapper::StaticClass, {mvtInt32}, mvScalarRowTargets, aRegister);
  mvRegisterFieldMappers(TmvInt64Mapper::StaticClass, {mvtInt64}, mvScalarRowTargets, aRegister);
  mvRegisterFieldMappers(TmvInt64Mapper::StaticClass, {mvtRefNr}, kRefNrTargets, aRegister);
}

}  // namespace

// ---------------------------------------------------------------------------
// TmvBooleanMapper

constinit const TmvFieldMapperClassRef TmvBooleanMapper::StaticClass{
    {u"TmvBooleanMapper", &TmvBaseFieldMapper::StaticClass}, &TmvBooleanMapper::TryCreateMapper};

TmvBaseFieldMapper* TmvBooleanMapper::TryCreateMapper(const TmvFieldMapperClassRef& aClass,
                                                      TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
                                                      TmvFieldDescriptor* aTargetField, TmvAbstractCursor*,
                                                      TmvFieldMapperDescriptor*, TmvMappingMethod& aMapper) {
  if (aSourceField->FieldType() != mvtBoolean || aTargetField->Length() < 1) return nullptr;
  // One character and its length byte or terminator: a string field of no
  // units would be written past its end.
  const TmvFieldType targetType = aTargetField->FieldType();
  if (mvIsTextFieldType(targetType) && !mvTextAlwaysFits(targetType, aTargetField->Length(), 1)) return nullptr;
  if (TmvMappingCode code = BooleanRoutine(targetType)) aMapper = mvClassMethod(aClass, code);
  return nullptr;
}

// ---------------------------------------------------------------------------
// The integer classes

template <typename Self, typename S>
TmvBaseFieldMapper* TmvIntegerMapperOf<Self, S>::TryCreateMapper(
    const TmvFieldMapperClassRef& aClass, TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
    TmvFieldDescriptor* aTargetField, TmvAbstractCursor*, TmvFieldMapperDescriptor* aMapperDesc,
    TmvMappingMethod& aMapper) {
  const TmvFieldType sourceType = aSourceField->FieldType();
  const TmvFieldType targetType = aTargetField->FieldType();
  if (!mvInSet(Self::kSourceTypes, sourceType) || aTargetField->Length() < 1) return nullptr;
  if (mvIsTextFieldType(targetType) && mvTextCapacity(targetType, aTargetField->Length()) < 0) return nullptr;
  if (sourceType == mvtRefNr) {
    // A record reference is a number only to Int64 and to texts.
    if (targetType == mvtInt64 || targetType == mvtRefNr) aMapper = mvClassMethod(aClass, &mvCopyBytes<8>);
    if (!mvIsTextFieldType(targetType)) return nullptr;
  }
  switch (targetType) {
    case mvtChar: case mvtWideChar: case mvtShortString: case mvtNullString: case mvtWideString: case mvtBCD:
      return new Self(aSourceField, aTargetField, aMapperDesc, aMapper);
    case mvtByteArray:
      if (aTargetField->Units() >= int32_t(sizeof(S))) aMapper = mvClassMethod(aClass, &mvCopyBytes<sizeof(S)>);
      return nullptr;
    default:
      if (TmvMappingCode code = IntegerToScalar<S>(targetType, mvForcing(aMapperDesc)))
        aMapper = mvClassMethod(aClass, code);
      return nullptr;
  }
}

template <typename Self, typename S>
void TmvIntegerMapperOf<Self, S>::ChooseRoutine(TmvFieldType aTargetType, TmvFieldMapperDescriptor* aMapperDesc,
                                                 TmvMappingMethod& aMapper) const {
  using M = TmvIntegerMapperOf<Self, S>;
  const bool forcing = mvForcing(aMapperDesc);
  const bool truncating = forcing || mvTextAlwaysFits(aTargetType, Target().TargetLength(), LongestText<S>);
  if (mvBindCharOrText(this, aTargetType, forcing, truncating, aMapper)) return;
  switch (aTargetType) {
    case mvtBCD:
      if (Target().TargetUnits() - Target().TargetDecPl() >= IntegerDigits<S>())
        aMapper = mvInstanceMethod<&M::ToBcdDirect>(this);
      else
        aMapper = forcing ? mvInstanceMethod<&M::template ToBcdPacked<true>>(this)
                          : mvInstanceMethod<&M::template ToBcdPacked<false>>(this);
      break;
    default: break;
  }
}

template <typename Self, typename S>
template <TmvFieldType T>
TmvResult TmvIntegerMapperOf<Self, S>::ToDigit(const void* aSource, void* aTarget) const {
  const S v = mvLoadValue<S>(aSource);
  if (std::cmp_less(v, 0) || std::cmp_greater(v, 9)) return kNoFit;
  mvWriteChar(T, char16_t(u'0' + v), aTarget);
  return 0;
}

template <typename Self, typename S>
template <TmvFieldType T>
TmvResult TmvIntegerMapperOf<Self, S>::ToFirstChar(const void* aSource, void* aTarget) const {
  char buffer[24];
  mvWriteChar(T, char16_t(mvDecimalText(Wide<S>(mvLoadValue<S>(aSource)), buffer)[0]), aTarget);
  return 0;
}

template <typename Self, typename S>
template <TmvFieldType T>
TmvResult TmvIntegerMapperOf<Self, S>::ToTextTruncating(const void* aSource, void* aTarget) const {
  char buffer[24];
  mvWriteText(T, Target().TargetLength(), mvDecimalText(Wide<S>(mvLoadValue<S>(aSource)), buffer), aTarget);
  return 0;
}

template <typename Self, typename S>
template <TmvFieldType T>
TmvResult TmvIntegerMapperOf<Self, S>::ToTextChecking(const void* aSource, void* aTarget) const {
  char buffer[24];
  return mvWriteTextChecked(T, Target().TargetLength(), mvDecimalText(Wide<S>(mvLoadValue<S>(aSource)), buffer),
                            aTarget);
}

template <typename Self, typename S>
TmvResult TmvIntegerMapperOf<Self, S>::ToBcdDirect(const void* aSource, void* aTarget) const {
  StoreLE<int64_t>(aTarget, static_cast<int64_t>(mvLoadValue<S>(aSource)) * mvScale);
  return 0;
}

template <typename Self, typename S>
template <bool Forcing>
TmvResult TmvIntegerMapperOf<Self, S>::ToBcdPacked(const void* aSource, void* aTarget) const {
  const Wide<S> v = mvLoadValue<S>(aSource);
  const int32_t p = Target().TargetUnits(), d = Target().TargetDecPl();
  if (v > Wide<S>(mvMaxScaledWhole) || (std::is_signed_v<S> && v < Wide<S>(-mvMaxScaledWhole))) {
    // Beyond the scaled form: through the digits of its text.
    char buffer[24];
    const std::string_view text = mvDecimalText(v, buffer);
    return mvTextToBcdField(String(text.begin(), text.end()), p, d, Forcing, aTarget);
  }
  return mvScaledToBcdField(static_cast<int64_t>(v) * mvScale, p, d, Forcing, aTarget);
}

// Constructors and class records.
#define MV_DEFINE_INTEGER_MAPPER(Name, Prefix)                                                                   \
  constinit const TmvFieldMapperClassRef Name::StaticClass{{u"" #Name, &TmvBaseFieldMapper::StaticClass},      \
                                                           &Name::TryCreateMapper};                             \
  Name::Name(TmvFieldDescriptor*, TmvFieldDescriptor* aTargetField, TmvFieldMapperDescriptor* aMapperDesc,      \
             TmvMappingMethod& aMapper)                                                                          \
      : Prefix##TargetLength(aTargetField->Length()),                                                           \
        Prefix##TargetUnits(aTargetField->Units()),                                                             \
        Prefix##TargetDecPl(aTargetField->DecPl()) {                                                            \
    ChooseRoutine(aTargetField->FieldType(), aMapperDesc, aMapper);                                             \
  }

MV_DEFINE_INTEGER_MAPPER(TmvInt8Mapper, i8m)
MV_DEFINE_INTEGER_MAPPER(TmvInt16Mapper, i16m)
MV_DEFINE_INTEGER_MAPPER(TmvInt32Mapper, i32m)
MV_DEFINE_INTEGER_MAPPER(TmvInt64Mapper, i64m)
MV_DEFINE_INTEGER_MAPPER(TmvByte8Mapper, b8m)
MV_DEFINE_INTEGER_MAPPER(TmvWord16Mapper, w16m)
MV_DEFINE_INTEGER_MAPPER(TmvWord32Mapper, w32m)

#undef MV_DEFINE_INTEGER_MAPPER

void mvsdFieldMapperIntegerInit() { RegisterAll(true); }

void mvsdFieldMapperIntegerFini() { RegisterAll(false); }
