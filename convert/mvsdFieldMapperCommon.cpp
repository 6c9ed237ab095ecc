// Field conversion: what the mapper families share. See
// mvsdFieldMapperCommon.h.
#include "convert/mvsdFieldMapperCommon.h"

#include <algorithm>
#include <cmath>

#include "convert/mvsdFieldMapperCodePage.h"
#include "dictionary/items/mvsdFieldDescriptor.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"
#include "foundation/types/mvllFmtBcd.h"
#include "foundation/types/mvllWideString.h"
#include "platform/Nls.h"

namespace {

size_t Capacity(TmvFieldType aTargetType, int32_t aTargetLength) {
  const int32_t capacity = mvTextCapacity(aTargetType, aTargetLength);
  return capacity > 0 ? size_t(capacity) : 0;
}

bool IsAscii(std::u16string_view aText) {
  return std::all_of(aText.begin(), aText.end(), [](char16_t c) { return c < 0x80; });
}

// The UTF-16 text as the single-byte text of the system's ANSI code page.
std::string AnsiText(std::u16string_view aText, const ClassRef& aClass, const char16_t* aRoutine) {
  std::string out;
  if (IsAscii(aText)) return std::string(aText.begin(), aText.end());
  if (!NlsWideToMultiByte(CP_ACP, aText, out))
    mvRaiseLastOSError(aClass.Name() + u"." + aRoutine + u"/WideCharToMultiByte", 0);
  return out;
}

// Writes the packed BCD with its loss flags into the field in the scaled
// form (see the header).
TmvResult PutBcd(const TmvFmtBcd& aBcd, int aFlags, bool aForcing, void* aTarget) {
  if (aFlags && !aForcing) return MVERR_INVALIDFLDXFORM;
  Currency scaled;
  if (!mvBcdToCurrency(aBcd, scaled)) {
    if (!aForcing) return MVERR_INVALIDFLDXFORM;
    const bool negative = (aBcd.SignSpecialPlaces & 0x80) != 0;
    scaled.Value = (negative ? -mvMaxScaledWhole : mvMaxScaledWhole) * mvScale;
  }
  StoreLE<int64_t>(aTarget, scaled.Value);
  return 0;
}

}  // namespace

int32_t mvTextCapacity(TmvFieldType aTargetType, int32_t aTargetLength) {
  return aTargetType == mvtWideString ? aTargetLength / 2 - 1 : aTargetLength - 1;
}

bool mvTextAlwaysFits(TmvFieldType aTargetType, int32_t aTargetLength, size_t aLongest) {
  return int64_t(aLongest) <= mvTextCapacity(aTargetType, aTargetLength);
}

void mvWriteText(TmvFieldType aTargetType, int32_t aTargetLength, std::string_view aText, void* aTarget) {
  mvPutText(aTargetType, aText.data(), std::min(aText.size(), Capacity(aTargetType, aTargetLength)), aTarget);
}

void mvWriteText(TmvFieldType aTargetType, int32_t aTargetLength, std::u16string_view aText, void* aTarget,
                 const ClassRef& aClass, const char16_t* aRoutine) {
  const size_t capacity = Capacity(aTargetType, aTargetLength);
  if (aTargetType == mvtWideString) {
    mvPutText(aTargetType, aText.data(), std::min(aText.size(), capacity), aTarget);
  } else {
    const std::string text = AnsiText(aText, aClass, aRoutine);
    mvPutText(aTargetType, text.data(), std::min(text.size(), capacity), aTarget);
  }
}

TmvResult mvWriteTextChecked(TmvFieldType aTargetType, int32_t aTargetLength, std::string_view aText,
                             void* aTarget) {
  if (aText.size() > Capacity(aTargetType, aTargetLength)) return MVERR_INVALIDFLDXFORM;
  mvPutText(aTargetType, aText.data(), aText.size(), aTarget);
  return 0;
}

TmvResult mvWriteTextChecked(TmvFieldType aTargetType, int32_t aTargetLength, std::u16string_view aText,
                             void* aTarget, const ClassRef& aClass, const char16_t* aRoutine) {
  const size_t capacity = Capacity(aTargetType, aTargetLength);
  if (aTargetType == mvtWideString) {
    if (aText.size() > capacity) return MVERR_INVALIDFLDXFORM;
    mvPutText(aTargetType, aText.data(), aText.size(), aTarget);
    return 0;
  }
  const std::string text = AnsiText(aText, aClass, aRoutine);
  if (text.size() > capacity) return MVERR_INVALIDFLDXFORM;
  mvPutText(aTargetType, text.data(), text.size(), aTarget);
  return 0;
}

std::string_view mvDecimalText(uint64_t aValue, char (&aBuffer)[24]) {
  char* end = aBuffer + sizeof aBuffer;
  char* p = end;
  do {
    *--p = char('0' + aValue % 10);
    aValue /= 10;
  } while (aValue);
  return std::string_view(p, size_t(end - p));
}

std::string_view mvDecimalText(int64_t aValue, char (&aBuffer)[24]) {
  // The magnitude as unsigned, so that -2^63 needs no negation.
  const uint64_t magnitude = aValue < 0 ? 0 - uint64_t(aValue) : uint64_t(aValue);
  std::string_view digits = mvDecimalText(magnitude, aBuffer);
  if (aValue >= 0) return digits;
  char* minus = const_cast<char*>(digits.data()) - 1;
  *minus = '-';
  return std::string_view(minus, digits.size() + 1);
}

TmvResult mvScaledToBcdField(int64_t aScaled, int32_t aPrecision, int32_t aPlaces, bool aForcing, void* aTarget) {
  TmvFmtBcd bcd;
  const int flags = mvCurrencyToBcd(Currency::FromScaled(aScaled), bcd, aPrecision, aPlaces);
  return PutBcd(bcd, flags, aForcing, aTarget);
}

TmvResult mvTextToBcdField(const String& aText, int32_t aPrecision, int32_t aPlaces, bool aForcing, void* aTarget) {
  return mvBcdToBcdField(mvStrToBcd(aText), aPrecision, aPlaces, aForcing, aTarget);
}

TmvResult mvBcdToBcdField(const TBcd& aBcd, int32_t aPrecision, int32_t aPlaces, bool aForcing, void* aTarget) {
  TmvFmtBcd bcd;
  const int flags = mvNormalizeBcd(aBcd, bcd, aPrecision, aPlaces);
  return PutBcd(bcd, flags, aForcing, aTarget);
}

bool mvIsWhole(Extended x) {
  if (!std::isfinite(x)) return false;
  const Extended fraction = x - std::trunc(x);
  return (fraction < 0 ? -fraction : fraction) <= 1E-16L;
}

TmvResult mvFloatToScaled(Extended x, bool aForcing, bool aWholeOnly, int64_t& aScaled) {
  constexpr Extended bound = Extended(mvMaxScaled);  // exact in 80 bits
  const Extended t = x * mvScale;
  if (std::isnan(t)) {
    if (!aForcing) return MVERR_INVALIDFLDXFORM;
    aScaled = 0;
  } else if (t < -bound || t > bound) {
    if (!aForcing) return MVERR_INVALIDFLDXFORM;
    aScaled = t < 0 ? -mvMaxScaled : mvMaxScaled;
  } else {
    if (!aForcing && aWholeOnly && !mvIsWhole(t)) return MVERR_INVALIDFLDXFORM;
    aScaled = static_cast<int64_t>(std::rint(t));
  }
  return 0;
}

TFormatSettings mvFieldFormatSettings(TmvFieldDescriptor* aField) {
  TmvLocaleDescriptor* locale = aField->GetUsedLocaleDescriptor();
  return mvLocaleFormatSettings(locale ? locale->GetLocale() : LOCALE_SYSTEM_DEFAULT);
}
