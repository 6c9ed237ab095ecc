// Field conversion: what the mapper families share.
//
// Loading and storing the native forms of the numeric field types, the rules
// for texts written into the three string types (capacity, truncating and
// checking writes), the packed-BCD route into a BCD field, the float tests
// of the conversions (the same within a tolerance, whole numbers), the
// general float text and the format settings of a target field's locale.
//
// Layer: field conversion; calls the data dictionary, the foundation (packed
// BCD, code pages, locales) and the platform. Everything here is pure and
// safe from any thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "convert/mvsdFieldMapperBase.h"
#include "platform/Numeric.h"
#include "platform/SysUtils.h"

class TmvFieldDescriptor;
struct TBcd;

// ---------------------------------------------------------------------------
// Native values

// A value of the C++ type that holds a field type's native form: integers,
// float and double little-endian, Extended in its 10 bytes.
template <typename T>
inline T mvLoadValue(const void* aField) {
  if constexpr (std::is_same_v<T, Extended>)
    return ExtendedFromBytes(static_cast<const uint8_t*>(aField));
  else
    return LoadLE<T>(aField);
}
template <typename T>
inline void mvStoreValue(void* aField, T aValue) {
  if constexpr (std::is_same_v<T, Extended>)
    ExtendedToBytes(aValue, static_cast<uint8_t*>(aField));
  else
    StoreLE<T>(aField, aValue);
}

// Bytes of a native value.
template <typename T>
inline constexpr size_t mvValueSize = std::is_same_v<T, Extended> ? ExtendedSize : sizeof(T);

// The raw bytes of a native value at the start of a ByteArray field (whose
// further bytes are left as they are), or into a field of the same type.
template <size_t N>
TmvResult mvCopyBytes(const void*, const void* aSource, void* aTarget) {
  std::memcpy(aTarget, aSource, N);
  return 0;
}

// Calls aVisit with a value of the C++ type of a numeric field type (the
// integer types with AutoInc and RecRev, Single, Double, Extended) and
// gives its answer; aNone for every other type (Boolean and Currency
// included, which are not plain numbers).
template <typename R, typename F>
R mvVisitNumberType(TmvFieldType aType, R aNone, F&& aVisit) {
  switch (aType) {
    case mvtByte: return aVisit(uint8_t());
    case mvtWord16: return aVisit(uint16_t());
    case mvtWord32: case mvtAutoInc: case mvtRecRev: return aVisit(uint32_t());
    case mvtInt8: return aVisit(int8_t());
    case mvtInt16: return aVisit(int16_t());
    case mvtInt32: return aVisit(int32_t());
    case mvtInt64: return aVisit(int64_t());
    case mvtSingle: return aVisit(float());
    case mvtDouble: return aVisit(double());
    case mvtExtended: return aVisit(Extended());
    default: return aNone;
  }
}

// The 21 targets of the registry rows of the numeric and character sources.
inline constexpr TmvFieldType mvScalarRowTargets[] = {
    mvtBoolean, mvtChar,   mvtWideChar, mvtByte,      mvtWord16,      mvtWord32,     mvtInt8,
    mvtInt16,   mvtInt32,  mvtInt64,    mvtAutoInc,   mvtSingle,      mvtDouble,     mvtExtended,
    mvtCurrency, mvtByteArray, mvtShortString, mvtNullString, mvtWideString, mvtRecRev, mvtBCD};

// The byte a conversion writes for true.
inline constexpr uint8_t mvTrueByte = 255;
// The largest Currency (and BCD) magnitude that every conversion of a
// number into the 64-bit scaled form keeps: the value -2^63 has no
// positive counterpart.
inline constexpr int64_t mvMaxScaled = std::numeric_limits<int64_t>::max();
// The largest whole value whose ten-thousandths fit the scaled form.
inline constexpr int64_t mvMaxScaledWhole = 922337203685477;
inline constexpr int64_t mvScale = 10000;

// ---------------------------------------------------------------------------
// Texts in string fields
//
// A ShortString field holds a length byte and the characters, a NullString
// the characters and a 0 byte, a WideString the UTF-16 units and a 0 unit.
// Their capacity in characters is the field length - 1, and for WideString
// the field length div 2 - 1.

inline bool mvIsTextFieldType(TmvFieldType aType) {
  return aType == mvtShortString || aType == mvtNullString || aType == mvtWideString;
}
int32_t mvTextCapacity(TmvFieldType aTargetType, int32_t aTargetLength);
// Whether a text of aLongest characters always fits the target, so that
// writing needs no length check: the truncating routine never cuts.
bool mvTextAlwaysFits(TmvFieldType aTargetType, int32_t aTargetLength, size_t aLongest);
// The choice between the truncating and the checking routine of a string
// target: truncating when forcing, or when a text as long as the sample
// always fits (the truncating routine then never cuts).
inline bool mvTruncatingFor(TmvFieldType aTargetType, int32_t aTargetLength, bool aForcing, const String& aSample) {
  return aForcing || mvTextAlwaysFits(aTargetType, aTargetLength, aSample.size());
}

// Write the first min(length, capacity) characters of a text into a string
// field of aTargetType. The single-byte text goes into ShortString and
// NullString as it is and is widened byte by byte for WideString (ASCII
// texts only); the UTF-16 text is converted into the system's ANSI code page
// for the single-byte types (a failing conversion raises the operating-system
// error naming aAction).
void mvWriteText(TmvFieldType aTargetType, int32_t aTargetLength, std::string_view aText, void* aTarget);
void mvWriteText(TmvFieldType aTargetType, int32_t aTargetLength, std::u16string_view aText, void* aTarget,
                 const ClassRef& aClass, const char16_t* aRoutine);
// The same, but 10002 (and the target untouched) when the text is longer
// than the capacity; 0 when written.
TmvResult mvWriteTextChecked(TmvFieldType aTargetType, int32_t aTargetLength, std::string_view aText, void* aTarget);
TmvResult mvWriteTextChecked(TmvFieldType aTargetType, int32_t aTargetLength, std::u16string_view aText,
                             void* aTarget, const ClassRef& aClass, const char16_t* aRoutine);

// Writes one character into a Char (a byte) or WideChar (a UTF-16 unit)
// field.
inline void mvWriteChar(TmvFieldType aTargetType, char16_t aChar, void* aTarget) {
  if (aTargetType == mvtWideChar)
    StoreLE<uint16_t>(aTarget, aChar);
  else
    *static_cast<uint8_t*>(aTarget) = static_cast<uint8_t>(aChar);
}

// The method for a Char, WideChar or string target of a mapper M whose
// member routines ToDigit<T> and ToFirstChar<T> (checking and forcing into
// a character) and ToTextTruncating<T> and ToTextChecking<T> (into a string
// type) serve it. Assigns aMethod, bound to aMapper, and answers true; false
// for any other target type.
template <typename M, TmvFieldType T>
TmvMappingMethod mvCharOrTextMethod(const M* aMapper, bool aForcing, bool aTruncating) {
  if constexpr (T == mvtChar || T == mvtWideChar)
    return aForcing ? mvInstanceMethod<&M::template ToFirstChar<T>>(aMapper)
                    : mvInstanceMethod<&M::template ToDigit<T>>(aMapper);
  else
    return aTruncating ? mvInstanceMethod<&M::template ToTextTruncating<T>>(aMapper)
                       : mvInstanceMethod<&M::template ToTextChecking<T>>(aMapper);
}
template <typename M>
bool mvBindCharOrText(const M* aMapper, TmvFieldType aTargetType, bool aForcing, bool aTruncating,
                      TmvMappingMethod& aMethod) {
  switch (aTargetType) {
    case mvtChar: aMethod = mvCharOrTextMethod<M, mvtChar>(aMapper, aForcing, aTruncating); return true;
    case mvtWideChar: aMethod = mvCharOrTextMethod<M, mvtWideChar>(aMapper, aForcing, aTruncating); return true;
    case mvtShortString: aMethod = mvCharOrTextMethod<M, mvtShortString>(aMapper, aForcing, aTruncating); return true;
    case mvtNullString: aMethod = mvCharOrTextMethod<M, mvtNullString>(aMapper, aForcing, aTruncating); return true;
    case mvtWideString: aMethod = mvCharOrTextMethod<M, mvtWideString>(aMapper, aForcing, aTruncating); return true;
    default: return false;
  }
}

// The decimal text of an integer: '-' before a negative value, no leading
// zeros. The view points into aBuffer.
std::string_view mvDecimalText(int64_t aValue, char (&aBuffer)[24]);
std::string_view mvDecimalText(uint64_t aValue, char (&aBuffer)[24]);

// ---------------------------------------------------------------------------
// BCD fields
//
// A BCD field holds the 64-bit scaled form; its units are the precision p,
// its decimals the places d. The packed route lays the value out as a
// packed BCD of p digits and d places, which tells whether integer or
// fraction digits were lost: the checking variant answers 10002 for either
// loss, the forcing variant keeps the digits that fit. A value that fits
// those digits but not the scaled form (more than 922337203685477 whole)
// is 10002 when checking and is clamped to +-922337203685477 when forcing.

TmvResult mvScaledToBcdField(int64_t aScaled, int32_t aPrecision, int32_t aPlaces, bool aForcing, void* aTarget);
// The same for a decimal text in the process's number format; a text that is
// no such number raises "%s is not a valid BCD value".
TmvResult mvTextToBcdField(const String& aText, int32_t aPrecision, int32_t aPlaces, bool aForcing, void* aTarget);
// The same for a packed BCD of any layout.
TmvResult mvBcdToBcdField(const TBcd& aBcd, int32_t aPrecision, int32_t aPlaces, bool aForcing, void* aTarget);

// ---------------------------------------------------------------------------
// Floats

// |a - b| <= max(min(|a|, |b|) x R, R); false when either is NaN.
inline bool mvSameWithin(Extended a, Extended b, Extended aTolerance) {
  const Extended fa = a < 0 ? -a : a, fb = b < 0 ? -b : b;
  const Extended diff = a > b ? a - b : b - a;
  const Extended scaled = (fa < fb ? fa : fb) * aTolerance;
  return diff <= (scaled > aTolerance ? scaled : aTolerance);
}
// Whether the fraction (x less its integer part cut toward zero) is the same
// as 0 within 1E-16; false for NaN and the infinities.
bool mvIsWhole(Extended x);

// A value x in the scaled form of Currency: t = x x 10000 rounded to the
// nearest integer (ties to even). Checking: 10002 for t beyond
// +-9223372036854775807, for t not whole and for NaN; forcing: the nearest
// bound, 0 for NaN. aWholeOnly false lets the checking variant round a t
// that is not whole.
TmvResult mvFloatToScaled(Extended x, bool aForcing, bool aWholeOnly, int64_t& aScaled);

// The format settings of the field's locale, or of the system default locale
// when it has none.
TFormatSettings mvFieldFormatSettings(TmvFieldDescriptor* aField);
