// Field conversion: the mapper of ByteArray sources. See
// mvsdFieldMapperByteArray.h.
#include "convert/mvsdFieldMapperByteArray.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "convert/mvsdFieldMapperCodePage.h"
#include "convert/mvsdFieldMapperCommon.h"
#include "dictionary/items/mvsdFieldDescriptor.h"

namespace {

// The UTF-16 buffers: a ByteArray taken as text decodes into 256 units for
// a single-byte target, and, cut at its first zero byte, into 65,536 for a
// WideString target that its whole bytes did not fit.
constexpr size_t kTextUnits = 256, kWideRetryUnits = 65536;

size_t Length(int32_t aLength) { return aLength > 0 ? size_t(aLength) : 0; }

constexpr std::u16string_view CheckPart(bool aForcing) { return aForcing ? u"" : u"Check"; }

void RegisterAll(bool aRegister) {
  static constexpr TmvFieldType kTargets[] = {mvtByteArray, mvtShortString, mvtNullString, mvtWideString, mvtGuid};
  mvRegisterFieldMappers(TmvByteArrayMapper::StaticClass, {mvtByteArray}, kTargets, aRegister);
}

}  // namespace

constinit const TmvFieldMapperClassRef TmvByteArrayMapper::StaticClass{
    {u"TmvByteArrayMapper", &TmvBaseFieldMapper::StaticClass}, &TmvByteArrayMapper::TryCreateMapper};

TmvBaseFieldMapper* TmvByteArrayMapper::TryCreateMapper(const TmvFieldMapperClassRef&,
                                                        TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
                                                        TmvFieldDescriptor* aTargetField, TmvAbstractCursor*,
                                                        TmvFieldMapperDescriptor* aMapperDesc,
                                                        TmvMappingMethod& aMapper) {
  switch (aTargetField->FieldType()) {
    case mvtByteArray: case mvtShortString: case mvtNullString: case mvtWideString: case mvtGuid:
      return new TmvByteArrayMapper(aSourceField, aTargetField, aMapperDesc, aMapper);
    default: return nullptr;
  }
}

TmvByteArrayMapper::TmvByteArrayMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                                       TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : bamSourceLength(aSourceField->Length()),
      bamTargetLength(aTargetField->Length()),
      bamSourceCodepage(mvFieldCodePage(aSourceField)),
      bamTargetCodepage(mvFieldCodePage(aTargetField)) {
  using M = TmvByteArrayMapper;
  const TmvFieldType targetType = aTargetField->FieldType();
  // A string field without a byte for its length or terminator holds nothing.
  if (mvIsTextFieldType(targetType) && mvTextCapacity(targetType, bamTargetLength) < 0) return;
  const bool forcing = mvForcing(aMapperDesc);
  const bool multiByte = bamTargetCodepage != 0 && mvIsMultiByteCodePage(bamTargetCodepage, StaticClass);
  const bool converting = bamSourceCodepage != 0 && bamTargetCodepage != 0 &&
                          (bamSourceCodepage != bamTargetCodepage || (multiByte && bamTargetLength < bamSourceLength));
  auto text = [&]<TmvFieldType T>() -> TmvMappingMethod {
    if (converting)
      return forcing ? mvInstanceMethod<&M::ToTextConvert<T, true>>(this)
                     : mvInstanceMethod<&M::ToTextConvert<T, false>>(this);
    if (forcing || bamSourceLength < bamTargetLength) return mvInstanceMethod<&M::ToText<T>>(this);
    return {};
  };
  switch (targetType) {
    case mvtByteArray:
      if (forcing || bamSourceLength <= bamTargetLength) aMapper = mvInstanceMethod<&M::ToBytes>(this);
      break;
    case mvtGuid:
      if (forcing || bamSourceLength >= 16) aMapper = mvInstanceMethod<&M::ToBytes>(this);
      break;
    case mvtShortString:
      if (TmvMappingMethod method = text.template operator()<mvtShortString>(); method.Assigned()) aMapper = method;
      break;
    case mvtNullString:
      if (TmvMappingMethod method = text.template operator()<mvtNullString>(); method.Assigned()) aMapper = method;
      break;
    case mvtWideString:
      if (forcing)
        aMapper = mvInstanceMethod<&M::ToWideString<true>>(this);
      else if (bamSourceLength < bamTargetLength / 2)
        aMapper = mvInstanceMethod<&M::ToWideString<false>>(this);
      break;
    default: break;
  }
}

// ByteArray and Guid: the first bytes, as many as both hold; the target's
// further bytes stay as they were.
TmvResult TmvByteArrayMapper::ToBytes(const void* aSource, void* aTarget) const {
  std::memcpy(aTarget, aSource, std::min(Length(bamSourceLength), Length(bamTargetLength)));
  return 0;
}

// The bytes as they are, zero bytes included: a NullString's text then ends
// at the first of them.
template <TmvFieldType T>
TmvResult TmvByteArrayMapper::ToText(const void* aSource, void* aTarget) const {
  const size_t n = std::min(Length(bamSourceLength), Length(bamTargetLength - 1));
  mvPutText(T, static_cast<const char*>(aSource), n, aTarget);
  return 0;
}

template <TmvFieldType T, bool Forcing>
TmvResult TmvByteArrayMapper::ToTextConvert(const void* aSource, void* aTarget) const {
  const TmvConversionSite site{StaticClass, T == mvtShortString ? u"ToShortString" : u"ToNullString", u"Convert",
                               CheckPart(Forcing)};
  const auto* bytes = static_cast<const uint8_t*>(aSource);
  const size_t n = Length(bamSourceLength);
  if (n == 0 || bytes[0] == 0) {
    mvPutEmptyText(T, aTarget);
    return 0;
  }
  TmvUnitBuffer units(std::min(n, kTextUnits));
  const size_t u = mvDecode(bamSourceCodepage, bytes, n, units.Data(), units.Size(), site);
  return mvPutConverted(T, units.Data(), u, false, Forcing, bamTargetCodepage, bamTargetLength, aTarget, site);
}

template <bool Forcing>
TmvResult TmvByteArrayMapper::ToWideString(const void* aSource, void* aTarget) const {
  const TmvConversionSite site{StaticClass, u"ToWideString", u"", CheckPart(Forcing)};
  const auto* bytes = static_cast<const uint8_t*>(aSource);
  const size_t n = Length(bamSourceLength);
  if (n == 0 || bytes[0] == 0) {
    mvPutEmptyText(mvtWideString, aTarget);
    return 0;
  }
  const void* zero = std::memchr(bytes, 0, n);
  const size_t text = zero ? size_t(static_cast<const uint8_t*>(zero) - bytes) : n;
  return mvPutDecodedWide(bamSourceCodepage, bytes, n, text, kWideRetryUnits, Forcing, bamTargetLength, aTarget,
                          site);
}

void mvsdFieldMapperByteArrayInit() { RegisterAll(true); }

void mvsdFieldMapperByteArrayFini() { RegisterAll(false); }
