// Field conversion: the code-page layer of the text mappers. See
// mvsdFieldMapperCodePage.h.
#include "convert/mvsdFieldMapperCodePage.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include "dictionary/items/mvsdFieldDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"
#include "platform/Nls.h"
#include "platform/Numeric.h"

namespace {

// The platform's calls take int counts; a count beyond them is refused as
// the calls refuse a bad argument.
int ClampCount(size_t aCount) { return aCount > size_t(INT_MAX) ? INT_MAX : int(aCount); }

// One call of MultiByteToWideChar. A capacity of 0 would turn the call into
// a length query: it is a buffer too small instead.
int DecodeCall(uint16_t aCodePage, const void* aBytes, size_t aCount, char16_t* aUnits, size_t aCapacity) {
  if (aCapacity == 0 || aCount > size_t(INT_MAX)) {
    errno = aCapacity == 0 ? ENOBUFS : EINVAL;
    return 0;
  }
  return MultiByteToWideChar(aCodePage, 0, static_cast<const char*>(aBytes), int(aCount), aUnits,
                             ClampCount(aCapacity));
}

int EncodeCall(uint16_t aCodePage, const char16_t* aUnits, size_t aCount, void* aBytes, size_t aCapacity) {
  if (aCapacity == 0 || aCount > size_t(INT_MAX)) {
    errno = aCapacity == 0 ? ENOBUFS : EINVAL;
    return 0;
  }
  return WideCharToMultiByte(aCodePage, 0, aUnits, int(aCount), static_cast<char*>(aBytes), ClampCount(aCapacity));
}

}  // namespace

void TmvConversionSite::Raise(std::u16string_view aCall) const {
  String action = Class.Name();
  action += u'.';
  action += Routine;
  action += Convert;
  action += Check;
  action += u'/';
  action += aCall;
  mvRaiseLastOSError(action, 0);
}

uint16_t mvFieldCodePage(TmvFieldDescriptor* aField) { return aField->GetUsedStorageCodePage(); }

bool mvIsMultiByteCodePage(uint16_t aCodePage, const ClassRef& aClass) {
  uint32_t maxCharSize = 0;
  if (!GetCPMaxCharSize(aCodePage, maxCharSize)) TmvConversionSite{aClass, u"Create"}.Raise(u"GetCPInfo");
  return maxCharSize > 1;
}

size_t mvShortStringCount(const void* aField, int32_t aFieldLength) {
  if (aFieldLength <= 1) return 0;
  return std::min<size_t>(*static_cast<const uint8_t*>(aField), size_t(aFieldLength - 1));
}

size_t mvNullStringCount(const void* aField, int32_t aFieldLength) {
  if (aFieldLength <= 1) return 0;
  const size_t units = size_t(aFieldLength - 1);
  const void* zero = std::memchr(aField, 0, units);
  return zero ? size_t(static_cast<const uint8_t*>(zero) - static_cast<const uint8_t*>(aField)) : units;
}

size_t mvWideStringCount(const void* aField, int32_t aFieldLength) {
  if (aFieldLength < 4) return 0;
  const size_t units = size_t(aFieldLength / 2 - 1);
  const auto* bytes = static_cast<const uint8_t*>(aField);
  for (size_t i = 0; i < units; ++i)
    if (bytes[2 * i] == 0 && bytes[2 * i + 1] == 0) return i;
  return units;
}

TmvAnsiValue mvReadAnsiValue(TmvFieldType aType, const void* aField, int32_t aFieldLength) {
  const auto* bytes = static_cast<const uint8_t*>(aField);
  if (aType == mvtShortString) return {bytes + 1, mvShortStringCount(aField, aFieldLength)};
  return {bytes, mvNullStringCount(aField, aFieldLength)};
}

bool mvDropsBlanks(TmvFieldDescriptor* aSource, TmvFieldDescriptor* aTarget) {
  return aSource->DecPl() == 0 && aTarget->DecPl() > 0;
}

namespace {

template <typename C>
void PutChars(TmvFieldType aTargetType, const C* aChars, size_t aCount, void* aTarget) {
  auto* bytes = static_cast<uint8_t*>(aTarget);
  if (aTargetType == mvtWideString) {
    for (size_t i = 0; i < aCount; ++i)
      StoreLE<uint16_t>(bytes + 2 * i, static_cast<uint16_t>(static_cast<std::make_unsigned_t<C>>(aChars[i])));
    StoreLE<uint16_t>(bytes + 2 * aCount, 0);
    return;
  }
  uint8_t* chars = aTargetType == mvtShortString ? bytes + 1 : bytes;
  for (size_t i = 0; i < aCount; ++i) chars[i] = static_cast<uint8_t>(aChars[i]);
  if (aTargetType == mvtShortString)
    bytes[0] = static_cast<uint8_t>(aCount);
  else
    chars[aCount] = 0;
}

}  // namespace

void mvPutText(TmvFieldType aTargetType, const char* aChars, size_t aCount, void* aTarget) {
  PutChars(aTargetType, aChars, aCount, aTarget);
}

void mvPutText(TmvFieldType aTargetType, const char16_t* aChars, size_t aCount, void* aTarget) {
  PutChars(aTargetType, aChars, aCount, aTarget);
}

void mvPutEmptyText(TmvFieldType aTargetType, void* aTarget) {
  PutChars<char>(aTargetType, nullptr, 0, aTarget);
}

TmvUnitBuffer::TmvUnitBuffer(size_t aSize) : fData(fLocal), fSize(aSize) {
  if (aSize > std::size(fLocal)) {
    fHeap.resize(aSize);
    fData = fHeap.data();
  }
}

void mvLoadUnits(const void* aField, size_t aCount, char16_t* aUnits) {
  const auto* bytes = static_cast<const uint8_t*>(aField);
  for (size_t i = 0; i < aCount; ++i) aUnits[i] = char16_t(LoadLE<uint16_t>(bytes + 2 * i));
}

void mvPutUnits(const char16_t* aUnits, size_t aCount, void* aTarget) {
  mvPutText(mvtWideString, aUnits, aCount, aTarget);
}

size_t mvDecode(uint16_t aCodePage, const void* aBytes, size_t aCount, char16_t* aUnits, size_t aCapacity,
                const TmvConversionSite& aSite) {
  if (aCount == 0) return 0;
  const int n = DecodeCall(aCodePage, aBytes, aCount, aUnits, aCapacity);
  if (n == 0) aSite.Raise(mvMultiByteToWideChar);
  return size_t(n);
}

String mvDecodeAll(uint16_t aCodePage, const void* aBytes, size_t aCount, const TmvConversionSite& aSite) {
  String text;
  if (!NlsMultiByteToWide(aCodePage, std::string_view(static_cast<const char*>(aBytes), aCount), text))
    aSite.Raise(mvMultiByteToWideChar);
  return text;
}

bool mvTryDecode(uint16_t aCodePage, const void* aBytes, size_t aCount, char16_t* aUnits, size_t aCapacity,
                 size_t& aWritten, const TmvConversionSite& aSite) {
  aWritten = 0;
  if (aCount == 0) return true;
  const int n = DecodeCall(aCodePage, aBytes, aCount, aUnits, aCapacity);
  if (n == 0) {
    if (errno == ENOBUFS) return false;
    aSite.Raise(mvMultiByteToWideChar);
  }
  aWritten = size_t(n);
  return true;
}

bool mvTryEncode(uint16_t aCodePage, const char16_t* aUnits, size_t aCount, void* aBytes, size_t aCapacity,
                 size_t& aWritten, const TmvConversionSite& aSite, std::u16string_view aCall) {
  aWritten = 0;
  if (aCount == 0) return true;
  const int n = EncodeCall(aCodePage, aUnits, aCount, aBytes, aCapacity);
  if (n == 0) {
    if (errno == ENOBUFS) return false;
    aSite.Raise(aCall);
  }
  aWritten = size_t(n);
  return true;
}

size_t mvEncodeCutting(uint16_t aCodePage, const char16_t* aUnits, size_t aCount, void* aBytes, size_t aCapacity,
                       const TmvConversionSite& aSite) {
  size_t written;
  if (mvTryEncode(aCodePage, aUnits, aCount, aBytes, aCapacity, written, aSite)) return written;
  // fits(0) holds and fits(aCount) does not; the longest fitting part lies
  // between. The probes leave bytes behind, so the answer is encoded again.
  size_t fits = 0, fails = aCount;
  while (fails - fits > 1) {
    const size_t mid = fits + (fails - fits) / 2;
    (mvTryEncode(aCodePage, aUnits, mid, aBytes, aCapacity, written, aSite) ? fits : fails) = mid;
  }
  if (fits == 0) return 0;
  mvTryEncode(aCodePage, aUnits, fits, aBytes, aCapacity, written, aSite);
  return written;
}

namespace {

size_t AnsiCapacity(int32_t aTargetLength) { return aTargetLength > 1 ? size_t(aTargetLength - 1) : 0; }
size_t WideCapacity(int32_t aTargetLength) { return aTargetLength >= 4 ? size_t(aTargetLength / 2 - 1) : 0; }

}  // namespace

TmvResult mvPutConverted(TmvFieldType aTargetType, const char16_t* aUnits, size_t u, bool aBlanks, bool aForcing,
                         uint16_t aCodePage, int32_t aTargetLength, void* aTarget, const TmvConversionSite& aSite) {
  const size_t capacity = AnsiCapacity(aTargetLength);
  auto* bytes = static_cast<uint8_t*>(aTarget);
  uint8_t* chars = aTargetType == mvtShortString ? bytes + 1 : bytes;
  size_t written = 0;
  if (aForcing) {
    u = std::min(u, capacity);
    if (aBlanks) u = mvWithoutBlanks(aUnits, u);
    if (u) written = mvEncodeCutting(aCodePage, aUnits, u, chars, capacity, aSite);
  } else {
    if (aBlanks) u = mvWithoutBlanks(aUnits, u);
    if (!mvTryEncode(aCodePage, aUnits, u, chars, capacity, written, aSite)) {
      mvPutEmptyText(aTargetType, aTarget);
      return MVERR_INVALIDFLDXFORM;
    }
  }
  // The bytes lie in place: only the length byte or terminator is missing.
  if (aTargetType == mvtShortString)
    bytes[0] = static_cast<uint8_t>(written);
  else
    chars[written] = 0;
  return 0;
}

TmvResult mvPutDecodedWide(uint16_t aCodePage, const uint8_t* aBytes, size_t aCount, size_t aRetryCount,
                           size_t aRetryUnits, bool aForcing, int32_t aTargetLength, void* aTarget,
                           const TmvConversionSite& aSite) {
  const size_t capacity = WideCapacity(aTargetLength);
  TmvUnitBuffer units(std::min(aCount, capacity));
  size_t u;
  if (mvTryDecode(aCodePage, aBytes, aCount, units.Data(), units.Size(), u, aSite)) {
    mvPutUnits(units.Data(), u, aTarget);
    return 0;
  }
  if (!aForcing) {
    mvPutEmptyText(mvtWideString, aTarget);
    return MVERR_INVALIDFLDXFORM;
  }
  TmvUnitBuffer all(std::min(aRetryCount, aRetryUnits));
  u = mvDecode(aCodePage, aBytes, aRetryCount, all.Data(), all.Size(), aSite);
  mvPutUnits(all.Data(), std::min(u, capacity), aTarget);
  return 0;
}
