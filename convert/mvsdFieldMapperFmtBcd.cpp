// Field conversion: the mapper of formatted-BCD values. See
// mvsdFieldMapperFmtBcd.h.
#include "convert/mvsdFieldMapperFmtBcd.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "convert/mvsdFieldMapperCommon.h"
#include "dictionary/items/mvsdFieldDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/types/mvllFmtBcd.h"
#include "foundation/types/mvllWideString.h"
#include "platform/TextToValue.h"

namespace {

constexpr TmvResult kNoFit = MVERR_INVALIDFLDXFORM;

// The packed record in a field: precision, sign and places, then the digits.
// A field holds its first bytes only; reading one fills the rest with 0.
constexpr size_t kRecordBytes = sizeof(TmvFmtBcd);

TmvFmtBcd LoadBcd(const void* aField, int32_t aLength) {
  const auto* bytes = static_cast<const uint8_t*>(aField);
  const size_t n = std::min(kRecordBytes, size_t(std::max(aLength, 0)));
  TmvFmtBcd bcd;
  if (n > 0) bcd.Precision = bytes[0];
  if (n > 1) bcd.SignSpecialPlaces = bytes[1];
  if (n > 2) std::memcpy(bcd.Fraction, bytes + 2, n - 2);
  return bcd;
}

void StoreBcd(const TmvFmtBcd& aBcd, void* aField, int32_t aLength) {
  auto* bytes = static_cast<uint8_t*>(aField);
  const size_t n = std::min(kRecordBytes, size_t(std::max(aLength, 0)));
  if (n > 0) bytes[0] = aBcd.Precision;
  if (n > 1) bytes[1] = aBcd.SignSpecialPlaces;
  if (n > 2) std::memcpy(bytes + 2, aBcd.Fraction, n - 2);
}

char16_t InvariantSeparator() { return mvInvariantFormatSettings().DecimalSeparator; }

bool IsNumberType(TmvFieldType aType) {
  return (aType >= mvtByte && aType <= mvtCurrency) || aType == mvtRecRev || aType == mvtBCD;
}

// The range of an integer target.
void IntegerRange(TmvFieldType aType, int64_t& aMin, int64_t& aMax) {
  mvVisitNumberType<int>(aType, 0, [&](auto aValue) {
    using T = decltype(aValue);
    if constexpr (std::is_integral_v<T>) {
      aMin = int64_t(std::numeric_limits<T>::min());
      aMax = int64_t(std::numeric_limits<T>::max());
    }
    return 0;
  });
}

void RegisterAll(bool aRegister) {
  static constexpr TmvFieldType kNumbers[] = {mvtByte,   mvtWord16, mvtWord32, mvtInt8,     mvtInt16,
                                              mvtInt32,  mvtInt64,  mvtAutoInc, mvtSingle,  mvtDouble,
                                              mvtExtended, mvtCurrency, mvtRecRev, mvtBCD};
  static constexpr TmvFieldType kFmtBcd[] = {mvtFmtBCD};
  for (TmvFieldType source : kNumbers)
    mvRegisterFieldMappers(TmvFmtBCDMapper::StaticClass, {source}, kFmtBcd, aRegister);
  mvRegisterFieldMappers(TmvFmtBCDMapper::StaticClass, {mvtFmtBCD}, kNumbers, aRegister);
  mvRegisterFieldMappers(TmvFmtBCDMapper::StaticClass, {mvtFmtBCD}, kFmtBcd, aRegister);
}

}  // namespace

constinit const TmvFieldMapperClassRef TmvFmtBCDMapper::StaticClass{
    {u"TmvFmtBCDMapper", &TmvBaseFieldMapper::StaticClass}, &TmvFmtBCDMapper::TryCreateMapper};

TmvBaseFieldMapper* TmvFmtBCDMapper::TryCreateMapper(const TmvFieldMapperClassRef&, TmvFieldDescriptor* aSourceField,
                                                     TmvAbstractCursor*, TmvFieldDescriptor* aTargetField,
                                                     TmvAbstractCursor*, TmvFieldMapperDescriptor* aMapperDesc,
                                                     TmvMappingMethod& aMapper) {
  const TmvFieldType sourceType = aSourceField->FieldType(), targetType = aTargetField->FieldType();
  const bool accepted = sourceType == mvtFmtBCD ? IsNumberType(targetType) || targetType == mvtFmtBCD
                                                : IsNumberType(sourceType);
  return accepted ? new TmvFmtBCDMapper(aSourceField, aTargetField, aMapperDesc, aMapper) : nullptr;
}

TmvFmtBCDMapper::TmvFmtBCDMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                                 TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : fbmSourceType(aSourceField->FieldType()),
      fbmSourceLength(aSourceField->Length()),
      fbmTargetType(aTargetField->FieldType()),
      fbmTargetLength(aTargetField->Length()),
      fbmTargetUnits(aTargetField->Units()),
      fbmTargetDecPl(aTargetField->DecPl()),
      fbmTargetMaxInt(0),
      fbmTargetMinInt(0) {
  using M = TmvFmtBCDMapper;
  const bool forcing = mvForcing(aMapperDesc);
  IntegerRange(fbmTargetType, fbmTargetMinInt, fbmTargetMaxInt);
  if (fbmTargetType == mvtFmtBCD) {
    if (fbmSourceType == mvtFmtBCD) {
      const bool identical = fbmSourceLength == fbmTargetLength && aSourceField->Units() == fbmTargetUnits &&
                             aSourceField->DecPl() == fbmTargetDecPl;
      aMapper = identical ? mvInstanceMethod<&M::Copy>(this)
                : forcing ? mvInstanceMethod<&M::FromFmtBcd<true>>(this)
                          : mvInstanceMethod<&M::FromFmtBcd<false>>(this);
    } else if (fbmSourceType == mvtCurrency || fbmSourceType == mvtBCD) {
      aMapper = forcing ? mvInstanceMethod<&M::FromScaled<true>>(this) : mvInstanceMethod<&M::FromScaled<false>>(this);
    } else {
      mvVisitNumberType<int>(fbmSourceType, 0, [&](auto aValue) {
        using S = decltype(aValue);
        aMapper = forcing ? mvInstanceMethod<&M::FromNumber<S, true>>(this)
                          : mvInstanceMethod<&M::FromNumber<S, false>>(this);
        return 0;
      });
    }
    return;
  }
  if (fbmSourceType != mvtFmtBCD) return;
  if (fbmTargetType == mvtCurrency || fbmTargetType == mvtBCD) {
    aMapper = forcing ? mvInstanceMethod<&M::ToScaled<true>>(this) : mvInstanceMethod<&M::ToScaled<false>>(this);
    return;
  }
  mvVisitNumberType<int>(fbmTargetType, 0, [&](auto aValue) {
    using T = decltype(aValue);
    if constexpr (std::is_floating_point_v<T>)
      aMapper = forcing ? mvInstanceMethod<&M::ToFloat<T, true>>(this) : mvInstanceMethod<&M::ToFloat<T, false>>(this);
    else
      aMapper =
          forcing ? mvInstanceMethod<&M::ToInteger<T, true>>(this) : mvInstanceMethod<&M::ToInteger<T, false>>(this);
    return 0;
  });
}

// ---------------------------------------------------------------------------
// Into FmtBCD

TmvResult TmvFmtBCDMapper::PutBcd(const TmvFmtBcd& aBcd, bool aForcing, void* aTarget) const {
  TmvFmtBcd laid;
  const int flags = mvNormalizeBcd(aBcd, laid, fbmTargetUnits, fbmTargetDecPl);
  if (flags && !aForcing) return kNoFit;
  StoreBcd(laid, aTarget, fbmTargetLength);
  return 0;
}

// Integers through their decimal text; Single and Double through their 15
// significant digits; an Extended through its decimal record of at most 19
// places. A float that is no number raises "%s is not a valid BCD value".
template <typename S, bool Forcing>
TmvResult TmvFmtBCDMapper::FromNumber(const void* aSource, void* aTarget) const {
  const S value = mvLoadValue<S>(aSource);
  TmvFmtBcd bcd;
  if constexpr (std::is_same_v<S, Extended>) {
    TFloatRec rec;
    FloatToDecimal(rec, value, 64, 19);
    mvFloatRecToBcd(rec, bcd);
  } else if constexpr (std::is_floating_point_v<S>) {
    bcd = mvDoubleToBcd(double(value));
  } else {
    char buffer[24];
    const std::string_view text =
        mvDecimalText(std::conditional_t<std::is_signed_v<S>, int64_t, uint64_t>(value), buffer);
    bcd = mvStrToBcd(String(text.begin(), text.end()));
  }
  return PutBcd(bcd, Forcing, aTarget);
}

template <bool Forcing>
TmvResult TmvFmtBCDMapper::FromScaled(const void* aSource, void* aTarget) const {
  TmvFmtBcd bcd;
  mvCurrencyToBcd(Currency::FromScaled(LoadLE<int64_t>(aSource)), bcd, 32, 4);
  return PutBcd(bcd, Forcing, aTarget);
}

// A damaged source record (no number) gives 10002 as any value that does not
// fit: it is read, not built.
template <bool Forcing>
TmvResult TmvFmtBCDMapper::FromFmtBcd(const void* aSource, void* aTarget) const {
  const TmvFmtBcd bcd = LoadBcd(aSource, fbmSourceLength);
  if (!mvBcdIsValid(bcd)) return kNoFit;
  return PutBcd(bcd, Forcing, aTarget);
}

TmvResult TmvFmtBCDMapper::Copy(const void* aSource, void* aTarget) const {
  std::memcpy(aTarget, aSource, size_t(std::max(fbmTargetLength, 0)));
  return 0;
}

// ---------------------------------------------------------------------------
// Out of FmtBCD

String TmvFmtBCDMapper::SourceText(const void* aSource) const {
  return mvBcdToStr(LoadBcd(aSource, fbmSourceLength), InvariantSeparator());
}

// Checking: a whole number within the target's range. Forcing: the number
// cut toward zero and clamped to the range.
template <typename T, bool Forcing>
TmvResult TmvFmtBCDMapper::ToInteger(const void* aSource, void* aTarget) const {
  String text;
  try {
    text = SourceText(aSource);
  } catch (const Exception&) {
    return kNoFit;
  }
  const size_t point = text.find(InvariantSeparator());
  if (point != String::npos) {
    if (!Forcing) return kNoFit;
    text.resize(point);
  }
  int64_t v;
  bool overflow;
  if (!ValInt64(text, v, &overflow)) {
    if (!Forcing || !overflow) return kNoFit;
    v = text[0] == u'-' ? fbmTargetMinInt : fbmTargetMaxInt;
  }
  if (v < fbmTargetMinInt || v > fbmTargetMaxInt) {
    if (!Forcing) return kNoFit;
    v = v < fbmTargetMinInt ? fbmTargetMinInt : fbmTargetMaxInt;
  }
  mvStoreValue<T>(aTarget, static_cast<T>(v));
  return 0;
}

// Beyond the target's range: 10002, or the largest value when forcing. The
// checking variant also reports, after storing, a Single or Double that
// lost more than 1E-7 or 1E-15 of the value.
template <typename T, bool Forcing>
TmvResult TmvFmtBCDMapper::ToFloat(const void* aSource, void* aTarget) const {
  constexpr Extended maxT = std::numeric_limits<T>::max();
  Extended x;
  try {
    if (!TryStrToFloat(SourceText(aSource), x, mvInvariantFormatSettings())) return kNoFit;
  } catch (const Exception&) {
    return kNoFit;
  }
  if (std::fabs(x) > maxT) {
    if (!Forcing) return kNoFit;
    x = x < 0 ? -maxT : maxT;
  }
  const T stored = static_cast<T>(x);
  mvStoreValue<T>(aTarget, stored);
  if constexpr (!Forcing && !std::is_same_v<T, Extended>) {
    constexpr Extended tolerance = std::is_same_v<T, float> ? 1E-7L : 1E-15L;
    if (std::fabs(Extended(stored) - x) > tolerance) return kNoFit;
  }
  return 0;
}

// Checking: within the scaled range and with at most four places. Both:
// the text read exactly, rounded to four places.
template <bool Forcing>
TmvResult TmvFmtBCDMapper::ToScaled(const void* aSource, void* aTarget) const {
  const TFormatSettings& invariant = mvInvariantFormatSettings();
  String text;
  try {
    text = SourceText(aSource);
  } catch (const Exception&) {
    return kNoFit;
  }
  if constexpr (!Forcing) {
    Extended x;
    if (!TryStrToFloat(text, x, invariant)) return kNoFit;
    constexpr Extended bound = Extended(mvMaxScaled);
    if (x * mvScale > bound || x * mvScale < -bound) return kNoFit;
    const size_t point = text.find(invariant.DecimalSeparator);
    if (point != String::npos && text.size() - point - 1 > 4) return kNoFit;
  }
  Currency value;
  if (!TryStrToCurr(text, value, invariant)) return kNoFit;
  StoreLE<int64_t>(aTarget, value.Value);
  return 0;
}

void mvsdFieldMapperFmtBcdInit() { RegisterAll(true); }

void mvsdFieldMapperFmtBcdFini() { RegisterAll(false); }
