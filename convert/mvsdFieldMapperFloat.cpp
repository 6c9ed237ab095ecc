// Field conversion: the mappers of floating-point and scaled decimal sources.
// See mvsdFieldMapperFloat.h.
#include "convert/mvsdFieldMapperFloat.h"

#include <cmath>
#include <limits>

#include "convert/mvsdFieldMapperCommon.h"
#include "convert/mvsdFieldMapperDates.h"
#include "dictionary/items/mvsdFieldDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "platform/ValueToText.h"

namespace {

constexpr TmvResult kNoFit = MVERR_INVALIDFLDXFORM;

// The tolerance of "the same value" for a source of type S.
template <typename S>
constexpr Extended kTolerance = std::is_same_v<S, float> ? 1E-4L : std::is_same_v<S, double> ? 1E-12L : 1E-16L;

template <typename S>
Extended LoadFloat(const void* aSource) {
  return static_cast<Extended>(mvLoadValue<S>(aSource));
}

// x rounded to the nearest integer (ties to even). Requires: the result
// lies within T's range.
template <typename T>
T RoundTo(Extended x) {
  return static_cast<T>(std::rint(x));
}

// ---------------------------------------------------------------------------
// Routines bound to the class

// Integer targets: the range first, then (checking) wholeness.
template <typename S, typename T, bool Forcing>
TmvResult FloatToInt(const void*, const void* aSource, void* aTarget) {
  constexpr Extended lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
  const Extended x = LoadFloat<S>(aSource);
  T t;
  if (std::isnan(x)) {
    if (!Forcing) return kNoFit;
    t = 0;
  } else if (x < lo || x > hi) {
    if (!Forcing) return kNoFit;
    t = x < lo ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
  } else {
    if (!Forcing && !mvIsWhole(x)) return kNoFit;
    t = RoundTo<T>(x);
  }
  mvStoreValue<T>(aTarget, t);
  return 0;
}

// Boolean: 0 within R of 0; else true, which the checking variant writes
// even when it then answers 10002 for a value other than 1.
template <typename S, bool Forcing>
TmvResult FloatToBoolean(const void*, const void* aSource, void* aTarget) {
  constexpr Extended r = kTolerance<S>;
  const Extended x = LoadFloat<S>(aSource);
  auto* target = static_cast<uint8_t*>(aTarget);
  if (mvSameWithin(x, 0, r) || (Forcing && std::isnan(x))) {
    *target = 0;
    return 0;
  }
  *target = mvTrueByte;
  return Forcing || mvSameWithin(x, 1, r) ? 0 : kNoFit;
}

// Widenings: exact, NaN and the infinities included.
template <typename S, typename T>
TmvResult FloatWiden(const void*, const void* aSource, void* aTarget) {
  mvStoreValue<T>(aTarget, static_cast<T>(mvLoadValue<S>(aSource)));
  return 0;
}

// A narrower float: checking refuses what would overflow or lose its
// normal precision; forcing clamps to the largest finite value and lets
// tiny values become subnormal or zero.
template <typename S, typename T, bool Forcing>
TmvResult FloatNarrow(const void*, const void* aSource, void* aTarget) {
  constexpr Extended maxT = std::numeric_limits<T>::max(), minNormal = std::numeric_limits<T>::min();
  const Extended x = LoadFloat<S>(aSource);
  const Extended a = std::fabs(x);
  T t;
  if (std::isnan(x)) {
    if (!Forcing) return kNoFit;
    t = 0;
  } else if (a > maxT) {
    if (!Forcing) return kNoFit;
    t = static_cast<T>(x < 0 ? -maxT : maxT);
  } else {
    if (!Forcing && x != 0 && a < minNormal) return kNoFit;
    t = static_cast<T>(x);
  }
  mvStoreValue<T>(aTarget, t);
  return 0;
}

template <typename S, bool Forcing>
TmvResult FloatToCurrency(const void*, const void* aSource, void* aTarget) {
  int64_t s;
  if (const TmvResult result = mvFloatToScaled(LoadFloat<S>(aSource), Forcing, true, s)) return result;
  StoreLE<int64_t>(aTarget, s);
  return 0;
}

template <typename S>
TmvMappingCode FloatToScalar(TmvFieldType aTargetType, bool aForcing) {
  switch (aTargetType) {
    case mvtBoolean: return aForcing ? &FloatToBoolean<S, true> : &FloatToBoolean<S, false>;
    case mvtCurrency: return aForcing ? &FloatToCurrency<S, true> : &FloatToCurrency<S, false>;
    default: break;
  }
  return mvVisitNumberType<TmvMappingCode>(aTargetType, nullptr, [aForcing](auto aTarget) -> TmvMappingCode {
    using T = decltype(aTarget);
    if constexpr (!std::is_floating_point_v<T>)
      return aForcing ? &FloatToInt<S, T, true> : &FloatToInt<S, T, false>;
    else if constexpr (std::is_same_v<T, S>)
      return &mvCopyBytes<mvValueSize<S>>;  // the bytes as they are, NaN payloads included
    else if constexpr (sizeof(T) >= sizeof(S))
      return &FloatWiden<S, T>;
    else
      return aForcing ? &FloatNarrow<S, T, true> : &FloatNarrow<S, T, false>;
  });
}

// A Double read as a date-time number into the DateTime form. Both variants.
TmvResult DoubleToDateTime(const void*, const void* aSource, void* aTarget) {
  StoreLE<double>(aTarget, mvDateTimeNumberToField(LoadLE<double>(aSource)));
  return 0;
}

// ---------------------------------------------------------------------------
// Currency and BCD sources (bound to the class)

int64_t LoadScaled(const void* aSource) { return LoadLE<int64_t>(aSource); }
Extended ScaledValue(int64_t s) { return Extended(s) / mvScale; }

// The value's integer nearest to s / 10000, ties to even.
int64_t RoundScaled(int64_t s) {
  int64_t q = s / mvScale;
  const int64_t r = s % mvScale;  // has the sign of s
  if (r > mvScale / 2 || (r == mvScale / 2 && (q & 1))) ++q;
  if (r < -mvScale / 2 || (r == -mvScale / 2 && (q & 1))) --q;
  return q;
}

template <bool Forcing>
TmvResult CurrencyToBoolean(const void*, const void* aSource, void* aTarget) {
  const int64_t s = LoadScaled(aSource);
  auto* target = static_cast<uint8_t*>(aTarget);
  *target = s ? mvTrueByte : 0;
  return Forcing || s == 0 || s == mvScale ? 0 : kNoFit;
}

template <typename T, bool Forcing>
TmvResult CurrencyToInt(const void*, const void* aSource, void* aTarget) {
  const int64_t s = LoadScaled(aSource);
  if (!Forcing && s % mvScale != 0) return kNoFit;
  const int64_t v = RoundScaled(s);
  if (!std::in_range<T>(v)) {
    if (!Forcing) return kNoFit;
    mvStoreValue<T>(aTarget, v < 0 ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max());
    return 0;
  }
  mvStoreValue<T>(aTarget, static_cast<T>(v));
  return 0;
}

template <typename T>
TmvResult CurrencyToFloat(const void*, const void* aSource, void* aTarget) {
  mvStoreValue<T>(aTarget, static_cast<T>(ScaledValue(LoadScaled(aSource))));
  return 0;
}

// -2^63 has no positive counterpart; it becomes the smallest value that has.
TmvResult CurrencyCopy(const void*, const void* aSource, void* aTarget) {
  const int64_t s = LoadScaled(aSource);
  StoreLE<int64_t>(aTarget, s == std::numeric_limits<int64_t>::min() ? -mvMaxScaled : s);
  return 0;
}

TmvMappingCode CurrencyToScalar(TmvFieldType aTargetType, bool aForcing) {
  switch (aTargetType) {
    case mvtBoolean: return aForcing ? &CurrencyToBoolean<true> : &CurrencyToBoolean<false>;
    case mvtCurrency: return &CurrencyCopy;
    default: break;
  }
  return mvVisitNumberType<TmvMappingCode>(aTargetType, nullptr, [aForcing](auto aTarget) -> TmvMappingCode {
    using T = decltype(aTarget);
    if constexpr (std::is_floating_point_v<T>)
      return &CurrencyToFloat<T>;
    else
      return aForcing ? &CurrencyToInt<T, true> : &CurrencyToInt<T, false>;
  });
}

void RegisterAll(bool aRegister) {
  static constexpr TmvFieldType kDateTime[] = {mvtDateTime};
  mvRegisterFieldMappers(TmvSingleMapper::StaticClass, {mvtSingle}, mvScalarRowTargets, aRegister);
  mvRegisterFieldMappers(TmvDoubleMapper::StaticClass, {mvtDouble}, mvScalarRowTargets, aRegister);
  mvRegisterFieldMappers(TmvDoubleMapper::StaticClass, {mvtDouble}, kDateTime, aRegister);
  mvRegisterFieldMappers(TmvExtendedMapper::StaticClass, {mvtExtended}, mvScalarRowTargets, aRegister);
  mvRegisterFieldMappers(TmvCurrencyMapper::StaticClass, {mvtCurrency, mvtBCD}, mvScalarRowTargets, aRegister);
}

}  // namespace

// ---------------------------------------------------------------------------
// The float classes

template <typename Self, typename S>
TmvBaseFieldMapper* TmvFloatMapperOf<Self, S>::TryCreateMapper(
    const TmvFieldMapperClassRef& aClass, TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
    TmvFieldDescriptor* aTargetField, TmvAbstractCursor*, TmvFieldMapperDescriptor* aMapperDesc,
    TmvMappingMethod& aMapper) {
  const TmvFieldType targetType = aTargetField->FieldType();
  if (aSourceField->FieldType() != Self::kSourceType || aTargetField->Length() < 1) return nullptr;
  if (mvIsTextFieldType(targetType) && mvTextCapacity(targetType, aTargetField->Length()) < 0) return nullptr;
  switch (targetType) {
    case mvtChar: case mvtWideChar: case mvtShortString: case mvtNullString: case mvtWideString: case mvtBCD:
      return new Self(aSourceField, aTargetField, aMapperDesc, aMapper);
    case mvtByteArray:
      if (aTargetField->Units() >= int32_t(mvValueSize<S>)) aMapper = mvClassMethod(aClass, &mvCopyBytes<mvValueSize<S>>);
      return nullptr;
    case mvtDateTime:
      if constexpr (std::is_same_v<S, double>) aMapper = mvClassMethod(aClass, &DoubleToDateTime);
      return nullptr;
    default:
      if (TmvMappingCode code = FloatToScalar<S>(targetType, mvForcing(aMapperDesc)))
        aMapper = mvClassMethod(aClass, code);
      return nullptr;
  }
}

template <typename Self, typename S>
void TmvFloatMapperOf<Self, S>::ChooseRoutine(TmvFieldType aTargetType, TmvFieldMapperDescriptor* aMapperDesc,
                                               TmvMappingMethod& aMapper) const {
  using M = TmvFloatMapperOf<Self, S>;
  const bool forcing = mvForcing(aMapperDesc);
  const bool truncating = mvTruncatingFor(aTargetType, Target().TargetLength(), forcing,
                                        FloatToStr(Self::kSampleValue, Target().FormatSettings()));
  if (mvBindCharOrText(this, aTargetType, forcing, truncating, aMapper)) return;
  switch (aTargetType) {
    case mvtBCD:
      aMapper = forcing ? mvInstanceMethod<&M::template ToBcd<true>>(this)
                        : mvInstanceMethod<&M::template ToBcd<false>>(this);
      break;
    default: break;
  }
}

template <typename Self, typename S>
template <TmvFieldType T>
TmvResult TmvFloatMapperOf<Self, S>::ToDigit(const void* aSource, void* aTarget) const {
  const Extended x = LoadFloat<S>(aSource);
  if (!(x >= 0 && x <= 9) || x != std::trunc(x)) return kNoFit;
  mvWriteChar(T, char16_t(u'0' + int(x)), aTarget);
  return 0;
}

template <typename Self, typename S>
template <TmvFieldType T>
TmvResult TmvFloatMapperOf<Self, S>::ToFirstChar(const void* aSource, void* aTarget) const {
  mvWriteChar(T, FloatToStr(LoadFloat<S>(aSource), Target().FormatSettings())[0], aTarget);
  return 0;
}

template <typename Self, typename S>
template <TmvFieldType T>
TmvResult TmvFloatMapperOf<Self, S>::ToTextTruncating(const void* aSource, void* aTarget) const {
  const String text = FloatToStr(LoadFloat<S>(aSource), Target().FormatSettings());
  mvWriteText(T, Target().TargetLength(), text, aTarget, Self::StaticClass, u"ToTextTruncating");
  return 0;
}

template <typename Self, typename S>
template <TmvFieldType T>
TmvResult TmvFloatMapperOf<Self, S>::ToTextChecking(const void* aSource, void* aTarget) const {
  const String text = FloatToStr(LoadFloat<S>(aSource), Target().FormatSettings());
  return mvWriteTextChecked(T, Target().TargetLength(), text, aTarget,
                            Self::StaticClass, u"ToTextChecking");
}

template <typename Self, typename S>
template <bool Forcing>
TmvResult TmvFloatMapperOf<Self, S>::ToBcd(const void* aSource, void* aTarget) const {
  // Through the digits of its 64-bit float text in the process's number
  // format; an Extended beyond the Double range is an infinity there.
  const Extended x = LoadFloat<S>(aSource);
  const double d =
      std::fabs(x) > std::numeric_limits<double>::max() ? (x < 0 ? -HUGE_VAL : HUGE_VAL) : static_cast<double>(x);
  return mvTextToBcdField(FloatToStr(d, DefaultFormatSettings()), Target().TargetUnits(), Target().TargetDecPl(),
                          Forcing, aTarget);
}

constinit const TmvFieldMapperClassRef TmvSingleMapper::StaticClass{
    {u"TmvSingleMapper", &TmvBaseFieldMapper::StaticClass}, &TmvSingleMapper::TryCreateMapper};
constinit const TmvFieldMapperClassRef TmvDoubleMapper::StaticClass{
    {u"TmvDoubleMapper", &TmvBaseFieldMapper::StaticClass}, &TmvDoubleMapper::TryCreateMapper};
constinit const TmvFieldMapperClassRef TmvExtendedMapper::StaticClass{
    {u"TmvExtendedMapper", &TmvBaseFieldMapper::StaticClass}, &TmvExtendedMapper::TryCreateMapper};

TmvSingleMapper::TmvSingleMapper(TmvFieldDescriptor*, TmvFieldDescriptor* aTargetField,
                                 TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : smFormatSettings(mvFieldFormatSettings(aTargetField)),
      smTargetLength(aTargetField->Length()),
      smTargetUnits(aTargetField->Units()),
      smTargetDecPl(aTargetField->DecPl()) {
  ChooseRoutine(aTargetField->FieldType(), aMapperDesc, aMapper);
}

TmvDoubleMapper::TmvDoubleMapper(TmvFieldDescriptor*, TmvFieldDescriptor* aTargetField,
                                 TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : dmTargetLength(aTargetField->Length()),
      dmFormatSettings(mvFieldFormatSettings(aTargetField)),
      dmTargetUnits(aTargetField->Units()),
      dmTargetDecPl(aTargetField->DecPl()) {
  ChooseRoutine(aTargetField->FieldType(), aMapperDesc, aMapper);
}

TmvExtendedMapper::TmvExtendedMapper(TmvFieldDescriptor*, TmvFieldDescriptor* aTargetField,
                                     TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : emTargetLength(aTargetField->Length()),
      emFormatSettings(mvFieldFormatSettings(aTargetField)),
      emTargetUnits(aTargetField->Units()),
      emTargetDecPl(aTargetField->DecPl()) {
  ChooseRoutine(aTargetField->FieldType(), aMapperDesc, aMapper);
}

// ---------------------------------------------------------------------------
// TmvCurrencyMapper

constinit const TmvFieldMapperClassRef TmvCurrencyMapper::StaticClass{
    {u"TmvCurrencyMapper", &TmvBaseFieldMapper::StaticClass}, &TmvCurrencyMapper::TryCreateMapper};

TmvBaseFieldMapper* TmvCurrencyMapper::TryCreateMapper(const TmvFieldMapperClassRef& aClass,
                                                       TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
                                                       TmvFieldDescriptor* aTargetField, TmvAbstractCursor*,
                                                       TmvFieldMapperDescriptor* aMapperDesc,
                                                       TmvMappingMethod& aMapper) {
  const TmvFieldType sourceType = aSourceField->FieldType(), targetType = aTargetField->FieldType();
  if ((sourceType != mvtCurrency && sourceType != mvtBCD) || aTargetField->Length() < 1) return nullptr;
  if (mvIsTextFieldType(targetType) && mvTextCapacity(targetType, aTargetField->Length()) < 0) return nullptr;
  switch (targetType) {
    case mvtChar: case mvtWideChar: case mvtShortString: case mvtNullString: case mvtWideString: case mvtBCD:
      return new TmvCurrencyMapper(aSourceField, aTargetField, aMapperDesc, aMapper);
    case mvtByteArray:
      if (aTargetField->Units() >= 8) aMapper = mvClassMethod(aClass, &mvCopyBytes<8>);
      return nullptr;
    default:
      if (TmvMappingCode code = CurrencyToScalar(targetType, mvForcing(aMapperDesc)))
        aMapper = mvClassMethod(aClass, code);
      return nullptr;
  }
}

TmvCurrencyMapper::TmvCurrencyMapper(TmvFieldDescriptor*, TmvFieldDescriptor* aTargetField,
                                     TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : cmTargetLength(aTargetField->Length()),
      cmFormatSettings(mvFieldFormatSettings(aTargetField)),
      cmTargetUnits(aTargetField->Units()),
      cmTargetDecPl(aTargetField->DecPl()) {
  using M = TmvCurrencyMapper;
  const TmvFieldType targetType = aTargetField->FieldType();
  const bool forcing = mvForcing(aMapperDesc);
  // The smallest value in 15 significant digits: a minus sign and 15 digits.
  const String sample = FloatToStr(ScaledValue(std::numeric_limits<int64_t>::min()), cmFormatSettings);
  const bool truncating = mvTruncatingFor(targetType, cmTargetLength, forcing, sample);
  if (mvBindCharOrText(this, targetType, forcing, truncating, aMapper)) return;
  switch (targetType) {
    case mvtBCD:
      // Twenty digits (with four places) hold every value: a copy.
      if (cmTargetUnits == 20)
        aMapper = mvClassMethod(StaticClass, &CurrencyCopy);
      else
        aMapper = forcing ? mvInstanceMethod<&M::ToBcdPacked<true>>(this)
                          : mvInstanceMethod<&M::ToBcdPacked<false>>(this);
      break;
    default: break;
  }
}

template <TmvFieldType T>
TmvResult TmvCurrencyMapper::ToDigit(const void* aSource, void* aTarget) const {
  const int64_t s = LoadScaled(aSource);
  if (s < 0 || s > 9 * mvScale || s % mvScale != 0) return kNoFit;
  mvWriteChar(T, char16_t(u'0' + s / mvScale), aTarget);
  return 0;
}

template <TmvFieldType T>
TmvResult TmvCurrencyMapper::ToFirstChar(const void* aSource, void* aTarget) const {
  mvWriteChar(T, FloatToStr(ScaledValue(LoadScaled(aSource)), cmFormatSettings)[0], aTarget);
  return 0;
}

template <TmvFieldType T>
TmvResult TmvCurrencyMapper::ToTextTruncating(const void* aSource, void* aTarget) const {
  const String text = FloatToStr(ScaledValue(LoadScaled(aSource)), cmFormatSettings);
  mvWriteText(T, cmTargetLength, text, aTarget, StaticClass, u"ToTextTruncating");
  return 0;
}

template <TmvFieldType T>
TmvResult TmvCurrencyMapper::ToTextChecking(const void* aSource, void* aTarget) const {
  const String text = FloatToStr(ScaledValue(LoadScaled(aSource)), cmFormatSettings);
  return mvWriteTextChecked(T, cmTargetLength, text, aTarget, StaticClass, u"ToTextChecking");
}

template <bool Forcing>
TmvResult TmvCurrencyMapper::ToBcdPacked(const void* aSource, void* aTarget) const {
  return mvScaledToBcdField(LoadScaled(aSource), cmTargetUnits, cmTargetDecPl, Forcing, aTarget);
}

void mvsdFieldMapperFloatInit() { RegisterAll(true); }

void mvsdFieldMapperFloatFini() { RegisterAll(false); }
