// Field conversion: the character and string mappers. See
// mvsdFieldMapperString.h.
#include "convert/mvsdFieldMapperString.h"

#include <algorithm>
#include <climits>
#include <string_view>

#include "convert/mvsdFieldMapperCodePage.h"
#include "convert/mvsdFieldMapperCommon.h"
#include "dictionary/items/mvsdFieldDescriptor.h"
#include "foundation/errors/mvllErrors.h"

namespace {

constexpr TmvResult kNoFit = MVERR_INVALIDFLDXFORM;

// The UTF-16 buffer of a conversion: the units a ShortString, or a
// NullString, can give at the most.
template <TmvFieldType S>
constexpr size_t kDecodeUnits = S == mvtShortString ? 256 : 65536;

size_t AnsiCapacity(int32_t aTargetLength) { return aTargetLength > 1 ? size_t(aTargetLength - 1) : 0; }
size_t WideCapacity(int32_t aTargetLength) { return aTargetLength >= 4 ? size_t(aTargetLength / 2 - 1) : 0; }

template <TmvFieldType S>
TmvAnsiValue ReadAnsi(const void* aField, int32_t aFieldLength) {
  return mvReadAnsiValue(S, aField, aFieldLength);
}

template <TmvFieldType T>
constexpr std::u16string_view kToTarget = T == mvtShortString ? u"ToShortString" : u"ToNullString";
constexpr std::u16string_view CheckPart(bool aForcing) { return aForcing ? u"" : u"Check"; }

// UTF-16 units read from a field as they lie, little-endian.
size_t WideWithoutBlanks(const void* aField, size_t aCount) {
  const auto* bytes = static_cast<const uint8_t*>(aField);
  while (aCount && LoadLE<uint16_t>(bytes + 2 * (aCount - 1)) == u' ') --aCount;
  return aCount;
}

void CopyUnits(const void* aSource, size_t aCount, void* aTarget) {
  std::memcpy(aTarget, aSource, 2 * aCount);
  StoreLE<uint16_t>(static_cast<uint8_t*>(aTarget) + 2 * aCount, 0);
}

// WideString into a WideString at least as long: every unit (bound to the
// class with the source's length).
template <bool Blanks>
TmvResult WideCopyAll(const void* aSelf, const void* aSource, void* aTarget) {
  size_t n = mvWideStringCount(aSource, mvBoundLength(aSelf));
  if (Blanks) n = WideWithoutBlanks(aSource, n);
  CopyUnits(aSource, n, aTarget);
  return 0;
}

// ---------------------------------------------------------------------------
// Character sources

template <bool Wide>
char16_t LoadCharOf(const void* aSource) {
  if constexpr (Wide)
    return char16_t(LoadLE<uint16_t>(aSource));
  else
    return char16_t(*static_cast<const uint8_t*>(aSource));
}

// The character read as a signed integer: only a decimal digit is one.
int DigitOf(char16_t aChar) { return aChar >= u'0' && aChar <= u'9' ? int(aChar - u'0') : -1; }

template <bool Wide, typename T, bool Forcing>
TmvResult CharToNumber(const void*, const void* aSource, void* aTarget) {
  int digit = DigitOf(LoadCharOf<Wide>(aSource));
  if (digit < 0) {
    if (!Forcing) return kNoFit;
    digit = 0;
  }
  mvStoreValue<T>(aTarget, static_cast<T>(digit));
  return 0;
}

template <bool Wide, bool Forcing>
TmvResult CharToScaled(const void*, const void* aSource, void* aTarget) {
  int digit = DigitOf(LoadCharOf<Wide>(aSource));
  if (digit < 0) {
    if (!Forcing) return kNoFit;
    digit = 0;
  }
  StoreLE<int64_t>(aTarget, int64_t(digit) * mvScale);
  return 0;
}

// A Char reads as a Boolean by its letter or digit (upper case only).
template <bool Forcing>
TmvResult CharToBoolean(const void*, const void* aSource, void* aTarget) {
  const char16_t c = LoadCharOf<false>(aSource);
  const bool isFalse = c == u'0' || c == u'F' || c == u'N';
  if (!Forcing && !isFalse && c != u'1' && c != u'T' && c != u'Y') return kNoFit;
  *static_cast<uint8_t*>(aTarget) = isFalse ? 0 : mvTrueByte;
  return 0;
}

// A WideChar reads as a Boolean by its digit's value.
template <bool Forcing>
TmvResult WideCharToBoolean(const void*, const void* aSource, void* aTarget) {
  const char16_t c = LoadCharOf<true>(aSource);
  bool value;
  if constexpr (Forcing) {
    value = c >= u'1' && c <= u'9';
  } else {
    if (c != u'0' && c != u'1') return kNoFit;
    value = c == u'1';
  }
  *static_cast<uint8_t*>(aTarget) = value ? mvTrueByte : 0;
  return 0;
}

TmvResult CharToShortString(const void*, const void* aSource, void* aTarget) {
  auto* bytes = static_cast<uint8_t*>(aTarget);
  bytes[0] = 1;
  bytes[1] = *static_cast<const uint8_t*>(aSource);
  return 0;
}

TmvResult CharToNullString(const void*, const void* aSource, void* aTarget) {
  auto* bytes = static_cast<uint8_t*>(aTarget);
  bytes[0] = *static_cast<const uint8_t*>(aSource);
  bytes[1] = 0;
  return 0;
}

TmvResult WideCharToWideString(const void*, const void* aSource, void* aTarget) {
  CopyUnits(aSource, 1, aTarget);
  return 0;
}

// The routines bound to the class: Boolean, the numbers and ByteArray.
template <bool Wide>
TmvMappingCode CharRoutine(TmvFieldType aTargetType, bool aForcing) {
  switch (aTargetType) {
    case mvtBoolean:
      if constexpr (Wide)
        return aForcing ? &WideCharToBoolean<true> : &WideCharToBoolean<false>;
      else
        return aForcing ? &CharToBoolean<true> : &CharToBoolean<false>;
    case mvtCurrency: case mvtBCD: return aForcing ? &CharToScaled<Wide, true> : &CharToScaled<Wide, false>;
    case mvtByteArray: return &mvCopyBytes<Wide ? 2 : 1>;
    default: break;
  }
  return mvVisitNumberType<TmvMappingCode>(aTargetType, nullptr, [aForcing](auto aTarget) -> TmvMappingCode {
    using T = decltype(aTarget);
    return aForcing ? &CharToNumber<Wide, T, true> : &CharToNumber<Wide, T, false>;
  });
}

bool IsCharOrTextType(TmvFieldType aType) { return aType == mvtChar || aType == mvtWideChar || mvIsTextFieldType(aType); }

// A string target must hold one character and its length byte or
// terminator; anything shorter would be written past its end.
bool HoldsOneCharacter(TmvFieldDescriptor* aTargetField) {
  const TmvFieldType type = aTargetField->FieldType();
  return aTargetField->Length() > 0 && (!mvIsTextFieldType(type) || mvTextAlwaysFits(type, aTargetField->Length(), 1));
}

void RegisterAll(bool aRegister) {
  static constexpr TmvFieldType kShort[] = {mvtShortString}, kNull[] = {mvtNullString}, kWide[] = {mvtWideString};
  static constexpr TmvFieldType kAnsi[] = {mvtShortString, mvtNullString};
  mvRegisterFieldMappers(TmvShortStringToShortStringMapper::StaticClass, {mvtShortString}, kShort, aRegister);
  mvRegisterFieldMappers(TmvShortStringToNullStringMapper::StaticClass, {mvtShortString}, kNull, aRegister);
  mvRegisterFieldMappers(TmvNullStringToNullStringMapper::StaticClass, {mvtNullString}, kNull, aRegister);
  mvRegisterFieldMappers(TmvNullStringToShortStringMapper::StaticClass, {mvtNullString}, kShort, aRegister);
  mvRegisterFieldMappers(TmvAnsiStringToWideStringMapper::StaticClass, {mvtShortString, mvtNullString}, kWide,
                         aRegister);
  mvRegisterFieldMappers(TmvWideStringToAnsiStringMapper::StaticClass, {mvtWideString}, kAnsi, aRegister);
  mvRegisterFieldMappers(TmvWideStringToWideStringMapper::StaticClass, {mvtWideString}, kWide, aRegister);
  mvRegisterFieldMappers(TmvCharMapper::StaticClass, {mvtChar}, mvScalarRowTargets, aRegister);
  mvRegisterFieldMappers(TmvWideCharMapper::StaticClass, {mvtWideChar}, mvScalarRowTargets, aRegister);
}

}  // namespace

// ---------------------------------------------------------------------------
// The single-byte pairs

template <typename Self, TmvFieldType S, TmvFieldType T>
TmvBaseFieldMapper* TmvAnsiStringPairMapperOf<Self, S, T>::TryCreateMapper(
    const TmvFieldMapperClassRef&, TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
    TmvFieldDescriptor* aTargetField, TmvAbstractCursor*, TmvFieldMapperDescriptor* aMapperDesc,
    TmvMappingMethod& aMapper) {
  if (aSourceField->FieldType() != S || aTargetField->FieldType() != T || aTargetField->Length() < 1) return nullptr;
  return new Self(aSourceField, aTargetField, aMapperDesc, aMapper);
}

template <typename Self, TmvFieldType S, TmvFieldType T>
void TmvAnsiStringPairMapperOf<Self, S, T>::ChooseRoutine(TmvFieldDescriptor* aSourceField,
                                                          TmvFieldDescriptor* aTargetField,
                                                          TmvFieldMapperDescriptor* aMapperDesc,
                                                          TmvMappingMethod& aMapper) const {
  using M = TmvAnsiStringPairMapperOf<Self, S, T>;
  const uint16_t sourceCodepage = Fields().SourceCodepage(), targetCodepage = Fields().TargetCodepage();
  const int32_t sourceLength = Fields().SourceLength(), targetLength = Fields().TargetLength();
  const bool multiByte = targetCodepage != 0 && mvIsMultiByteCodePage(targetCodepage, Self::StaticClass);
  const bool throughUtf16 = sourceCodepage != 0 && targetCodepage != 0 &&
                            (sourceCodepage != targetCodepage || (multiByte && targetLength < sourceLength));
  const bool fits = targetLength >= sourceLength, forcing = mvForcing(aMapperDesc);
  auto pick = [&]<bool Blanks>() -> TmvMappingMethod {
    if (throughUtf16)
      return forcing ? mvInstanceMethod<&M::template Converting<Blanks, true>>(this)
                     : mvInstanceMethod<&M::template Converting<Blanks, false>>(this);
    if (fits) {
      if constexpr (S == mvtShortString && T == mvtShortString)
        return mvInstanceMethod<&M::template WholeCopy<Blanks>>(this);
      else
        return mvInstanceMethod<&M::template CuttingCopy<Blanks>>(this);
    }
    return forcing ? mvInstanceMethod<&M::template CuttingCopy<Blanks>>(this)
                   : mvInstanceMethod<&M::template CheckingCopy<Blanks>>(this);
  };
  aMapper = mvDropsBlanks(aSourceField, aTargetField) ? pick.template operator()<true>()
                                                      : pick.template operator()<false>();
}

template <typename Self, TmvFieldType S, TmvFieldType T>
template <bool Blanks>
TmvResult TmvAnsiStringPairMapperOf<Self, S, T>::WholeCopy(const void* aSource, void* aTarget) const {
  const TmvAnsiValue value = ReadAnsi<S>(aSource, Fields().SourceLength());
  const size_t n = Blanks ? mvWithoutBlanks(value.Chars, value.Count) : value.Count;
  auto* target = static_cast<uint8_t*>(aTarget);
  target[0] = static_cast<uint8_t>(n);
  std::memcpy(target + 1, value.Chars, n);
  return 0;
}

template <typename Self, TmvFieldType S, TmvFieldType T>
template <bool Blanks>
TmvResult TmvAnsiStringPairMapperOf<Self, S, T>::CuttingCopy(const void* aSource, void* aTarget) const {
  const TmvAnsiValue value = ReadAnsi<S>(aSource, Fields().SourceLength());
  size_t n = std::min(value.Count, AnsiCapacity(Fields().TargetLength()));
  if (Blanks) n = mvWithoutBlanks(value.Chars, n);
  mvPutText(T, value.Text(), n, aTarget);
  return 0;
}

template <typename Self, TmvFieldType S, TmvFieldType T>
template <bool Blanks>
TmvResult TmvAnsiStringPairMapperOf<Self, S, T>::CheckingCopy(const void* aSource, void* aTarget) const {
  const TmvAnsiValue value = ReadAnsi<S>(aSource, Fields().SourceLength());
  const size_t n = Blanks ? mvWithoutBlanks(value.Chars, value.Count) : value.Count;
  if (n > AnsiCapacity(Fields().TargetLength())) return kNoFit;
  mvPutText(T, value.Text(), n, aTarget);
  return 0;
}

template <typename Self, TmvFieldType S, TmvFieldType T>
template <bool Blanks, bool Forcing>
TmvResult TmvAnsiStringPairMapperOf<Self, S, T>::Converting(const void* aSource, void* aTarget) const {
  const TmvConversionSite site{Self::StaticClass, kToTarget<T>, u"Convert", CheckPart(Forcing)};
  const TmvAnsiValue value = ReadAnsi<S>(aSource, Fields().SourceLength());
  if (!value.Count) {
    mvPutEmptyText(T, aTarget);
    return 0;
  }
  TmvUnitBuffer units(std::min(value.Count, kDecodeUnits<S>));
  const size_t u = mvDecode(Fields().SourceCodepage(), value.Chars, value.Count, units.Data(), units.Size(), site);
  return mvPutConverted(T, units.Data(), u, Blanks, Forcing, Fields().TargetCodepage(), Fields().TargetLength(), aTarget,
                        site);
}

#define MV_DEFINE_STRING_PAIR_MAPPER(Name, Prefix)                                                             \
  constinit const TmvFieldMapperClassRef Name::StaticClass{{u"" #Name, &TmvBaseFieldMapper::StaticClass},      \
                                                           &Name::TryCreateMapper};                             \
  Name::Name(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,                                \
             TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)                                  \
      : Prefix##TargetLength(aTargetField->Length()),                                                           \
        Prefix##SourceCodepage(mvFieldCodePage(aSourceField)),                                                  \
        Prefix##TargetCodepage(mvFieldCodePage(aTargetField)),                                                  \
        Prefix##SourceLength(aSourceField->Length()) {                                                          \
    ChooseRoutine(aSourceField, aTargetField, aMapperDesc, aMapper);                                            \
  }

MV_DEFINE_STRING_PAIR_MAPPER(TmvShortStringToShortStringMapper, sts)
MV_DEFINE_STRING_PAIR_MAPPER(TmvShortStringToNullStringMapper, stn)
MV_DEFINE_STRING_PAIR_MAPPER(TmvNullStringToNullStringMapper, ntn)
MV_DEFINE_STRING_PAIR_MAPPER(TmvNullStringToShortStringMapper, nts)

#undef MV_DEFINE_STRING_PAIR_MAPPER

// ---------------------------------------------------------------------------
// TmvWideStringToAnsiStringMapper

constinit const TmvFieldMapperClassRef TmvWideStringToAnsiStringMapper::StaticClass{
    {u"TmvWideStringToAnsiStringMapper", &TmvBaseFieldMapper::StaticClass},
    &TmvWideStringToAnsiStringMapper::TryCreateMapper};

TmvBaseFieldMapper* TmvWideStringToAnsiStringMapper::TryCreateMapper(
    const TmvFieldMapperClassRef&, TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
    TmvFieldDescriptor* aTargetField, TmvAbstractCursor*, TmvFieldMapperDescriptor* aMapperDesc,
    TmvMappingMethod& aMapper) {
  const TmvFieldType targetType = aTargetField->FieldType();
  if (aSourceField->FieldType() != mvtWideString || aTargetField->Length() < 1 ||
      (targetType != mvtShortString && targetType != mvtNullString))
    return nullptr;
  return new TmvWideStringToAnsiStringMapper(aSourceField, aTargetField, aMapperDesc, aMapper);
}

TmvWideStringToAnsiStringMapper::TmvWideStringToAnsiStringMapper(TmvFieldDescriptor* aSourceField,
                                                                 TmvFieldDescriptor* aTargetField,
                                                                 TmvFieldMapperDescriptor* aMapperDesc,
                                                                 TmvMappingMethod& aMapper)
    : wtaTargetLength(aTargetField->Length()),
      wtaTargetCodepage(mvFieldCodePage(aTargetField)),
      wtaSourceLength(aSourceField->Length()) {
  using M = TmvWideStringToAnsiStringMapper;
  const bool forcing = mvForcing(aMapperDesc), blanks = mvDropsBlanks(aSourceField, aTargetField);
  auto pick = [&]<TmvFieldType T>() -> TmvMappingMethod {
    if (blanks)
      return forcing ? mvInstanceMethod<&M::Converting<T, true, true>>(this)
                     : mvInstanceMethod<&M::Converting<T, true, false>>(this);
    return forcing ? mvInstanceMethod<&M::Converting<T, false, true>>(this)
                   : mvInstanceMethod<&M::Converting<T, false, false>>(this);
  };
  switch (aTargetField->FieldType()) {
    case mvtShortString: aMapper = pick.template operator()<mvtShortString>(); break;
    case mvtNullString: aMapper = pick.template operator()<mvtNullString>(); break;
    default: break;
  }
}

template <TmvFieldType T, bool Blanks, bool Forcing>
TmvResult TmvWideStringToAnsiStringMapper::Converting(const void* aSource, void* aTarget) const {
  const TmvConversionSite site{StaticClass, kToTarget<T>, u"Convert", CheckPart(Forcing)};
  size_t n = mvWideStringCount(aSource, wtaSourceLength);
  // Forcing never converts more units than the target has bytes.
  if (Forcing) n = std::min(n, AnsiCapacity(wtaTargetLength));
  TmvUnitBuffer units(n);
  mvLoadUnits(aSource, n, units.Data());
  return mvPutConverted(T, units.Data(), n, Blanks, Forcing, wtaTargetCodepage, wtaTargetLength, aTarget, site);
}

// ---------------------------------------------------------------------------
// TmvAnsiStringToWideStringMapper

constinit const TmvFieldMapperClassRef TmvAnsiStringToWideStringMapper::StaticClass{
    {u"TmvAnsiStringToWideStringMapper", &TmvBaseFieldMapper::StaticClass},
    &TmvAnsiStringToWideStringMapper::TryCreateMapper};

TmvBaseFieldMapper* TmvAnsiStringToWideStringMapper::TryCreateMapper(
    const TmvFieldMapperClassRef&, TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
    TmvFieldDescriptor* aTargetField, TmvAbstractCursor*, TmvFieldMapperDescriptor* aMapperDesc,
    TmvMappingMethod& aMapper) {
  const TmvFieldType sourceType = aSourceField->FieldType();
  if ((sourceType != mvtShortString && sourceType != mvtNullString) || aTargetField->FieldType() != mvtWideString ||
      aTargetField->Length() < 2)
    return nullptr;
  return new TmvAnsiStringToWideStringMapper(aSourceField, aTargetField, aMapperDesc, aMapper);
}

TmvAnsiStringToWideStringMapper::TmvAnsiStringToWideStringMapper(TmvFieldDescriptor* aSourceField,
                                                                 TmvFieldDescriptor* aTargetField,
                                                                 TmvFieldMapperDescriptor* aMapperDesc,
                                                                 TmvMappingMethod& aMapper)
    : atwTargetLength(aTargetField->Length()),
      atwSourceCodepage(mvFieldCodePage(aSourceField)),
      // A BLOB's text has no field length to bound it: up to its terminator.
      atwSourceLength(mvIsTextFieldType(aSourceField->FieldType()) ? aSourceField->Length() : INT32_MAX) {
  using M = TmvAnsiStringToWideStringMapper;
  const bool forcing = mvForcing(aMapperDesc), blanks = mvDropsBlanks(aSourceField, aTargetField);
  auto pick = [&]<TmvFieldType S>() -> TmvMappingMethod {
    if (blanks)
      return forcing ? mvInstanceMethod<&M::Converting<S, true, true>>(this)
                     : mvInstanceMethod<&M::Converting<S, true, false>>(this);
    return forcing ? mvInstanceMethod<&M::Converting<S, false, true>>(this)
                   : mvInstanceMethod<&M::Converting<S, false, false>>(this);
  };
  switch (aSourceField->FieldType()) {
    case mvtShortString: aMapper = pick.template operator()<mvtShortString>(); break;
    case mvtNullString: case mvtBlob: case mvtBlobMemo: aMapper = pick.template operator()<mvtNullString>(); break;
    default: break;
  }
}

template <TmvFieldType S, bool Blanks, bool Forcing>
TmvResult TmvAnsiStringToWideStringMapper::Converting(const void* aSource, void* aTarget) const {
  const TmvConversionSite site{StaticClass, S == mvtShortString ? u"FromShortString" : u"FromNullString", u"Convert",
                               CheckPart(Forcing)};
  const TmvAnsiValue value = ReadAnsi<S>(aSource, atwSourceLength);
  const size_t n = Blanks ? mvWithoutBlanks(value.Chars, value.Count) : value.Count;
  if (!n) {
    mvPutEmptyText(mvtWideString, aTarget);
    return 0;
  }
  return mvPutDecodedWide(atwSourceCodepage, value.Chars, n, n, kDecodeUnits<S>, Forcing, atwTargetLength, aTarget,
                          site);
}

// ---------------------------------------------------------------------------
// TmvWideStringToWideStringMapper

constinit const TmvFieldMapperClassRef TmvWideStringToWideStringMapper::StaticClass{
    {u"TmvWideStringToWideStringMapper", &TmvBaseFieldMapper::StaticClass},
    &TmvWideStringToWideStringMapper::TryCreateMapper};

TmvBaseFieldMapper* TmvWideStringToWideStringMapper::TryCreateMapper(
    const TmvFieldMapperClassRef& aClass, TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
    TmvFieldDescriptor* aTargetField, TmvAbstractCursor*, TmvFieldMapperDescriptor* aMapperDesc,
    TmvMappingMethod& aMapper) {
  if (aSourceField->FieldType() != mvtWideString || aTargetField->FieldType() != mvtWideString ||
      aTargetField->Length() < 2)
    return nullptr;
  if (aTargetField->Length() >= aSourceField->Length()) {
    const TmvMappingCode code =
        mvDropsBlanks(aSourceField, aTargetField) ? &WideCopyAll<true> : &WideCopyAll<false>;
    aMapper = mvClassMethod(aClass, code, aSourceField->Length());
    return nullptr;
  }
  return new TmvWideStringToWideStringMapper(aSourceField, aTargetField, aMapperDesc, aMapper);
}

TmvWideStringToWideStringMapper::TmvWideStringToWideStringMapper(TmvFieldDescriptor* aSourceField,
                                                                 TmvFieldDescriptor* aTargetField,
                                                                 TmvFieldMapperDescriptor* aMapperDesc,
                                                                 TmvMappingMethod& aMapper)
    : wtwTargetLength(aTargetField->Length()),
      // Never more units than the field has room for.
      wtwTargetUnits(int32_t(std::min<size_t>(size_t(std::max(aTargetField->Units(), 0)),
                                              WideCapacity(aTargetField->Length())))),
      wtwSourceLength(aSourceField->Length()) {
  using M = TmvWideStringToWideStringMapper;
  const bool forcing = mvForcing(aMapperDesc);
  if (mvDropsBlanks(aSourceField, aTargetField))
    aMapper = forcing ? mvInstanceMethod<&M::Copy<true, true>>(this) : mvInstanceMethod<&M::Copy<true, false>>(this);
  else
    aMapper = forcing ? mvInstanceMethod<&M::Copy<false, true>>(this) : mvInstanceMethod<&M::Copy<false, false>>(this);
}

template <bool Blanks, bool Forcing>
TmvResult TmvWideStringToWideStringMapper::Copy(const void* aSource, void* aTarget) const {
  const size_t units = size_t(wtwTargetUnits);
  size_t n = mvWideStringCount(aSource, wtwSourceLength);
  if (Forcing) n = std::min(n, units);
  if (Blanks) n = WideWithoutBlanks(aSource, n);
  if (n > units) return kNoFit;
  CopyUnits(aSource, n, aTarget);
  return 0;
}

// ---------------------------------------------------------------------------
// TmvCharMapper

constinit const TmvFieldMapperClassRef TmvCharMapper::StaticClass{
    {u"TmvCharMapper", &TmvBaseFieldMapper::StaticClass}, &TmvCharMapper::TryCreateMapper};

TmvBaseFieldMapper* TmvCharMapper::TryCreateMapper(const TmvFieldMapperClassRef& aClass,
                                                   TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
                                                   TmvFieldDescriptor* aTargetField, TmvAbstractCursor*,
                                                   TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper) {
  if (aSourceField->FieldType() != mvtChar) return nullptr;
  const TmvFieldType targetType = aTargetField->FieldType();
  if (IsCharOrTextType(targetType))
    return HoldsOneCharacter(aTargetField) ? new TmvCharMapper(aSourceField, aTargetField, aMapperDesc, aMapper)
                                           : nullptr;
  if (TmvMappingCode code = CharRoutine<false>(targetType, mvForcing(aMapperDesc)))
    aMapper = mvClassMethod(aClass, code);
  return nullptr;
}

TmvCharMapper::TmvCharMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                             TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : ccTargetLength(aTargetField->Length()),
      ccSourceCodepage(mvFieldCodePage(aSourceField)),
      ccTargetCodepage(mvFieldCodePage(aTargetField)) {
  using M = TmvCharMapper;
  const bool forcing = mvForcing(aMapperDesc);
  const bool converting = ccSourceCodepage != 0 && ccTargetCodepage != 0 && ccSourceCodepage != ccTargetCodepage;
  switch (aTargetField->FieldType()) {
    case mvtChar:
      aMapper = converting ? mvInstanceMethod<&M::ToAnsiCharConvert>(this) : mvClassMethod(StaticClass, &mvCopyBytes<1>);
      break;
    case mvtWideChar:
      aMapper = forcing ? mvInstanceMethod<&M::ToWide<mvtWideChar, true>>(this)
                        : mvInstanceMethod<&M::ToWide<mvtWideChar, false>>(this);
      break;
    case mvtWideString:
      aMapper = forcing ? mvInstanceMethod<&M::ToWide<mvtWideString, true>>(this)
                        : mvInstanceMethod<&M::ToWide<mvtWideString, false>>(this);
      break;
    case mvtShortString:
      if (!converting)
        aMapper = mvClassMethod(StaticClass, &CharToShortString);
      else
        aMapper = forcing ? mvInstanceMethod<&M::ToTextConvert<mvtShortString, true>>(this)
                          : mvInstanceMethod<&M::ToTextConvert<mvtShortString, false>>(this);
      break;
    case mvtNullString:
      if (!converting)
        aMapper = mvClassMethod(StaticClass, &CharToNullString);
      else
        aMapper = forcing ? mvInstanceMethod<&M::ToTextConvert<mvtNullString, true>>(this)
                          : mvInstanceMethod<&M::ToTextConvert<mvtNullString, false>>(this);
      break;
    default: break;
  }
}

// Into another code page: only a character that stays one byte. A byte that
// gives no single UTF-16 unit, or a unit that needs two bytes, has no Char.
TmvResult TmvCharMapper::ToAnsiCharConvert(const void* aSource, void* aTarget) const {
  const TmvConversionSite site{StaticClass, u"ToAnsiChar", u"Convert"};
  const uint8_t byte = *static_cast<const uint8_t*>(aSource);
  auto* target = static_cast<uint8_t*>(aTarget);
  if (!byte) {
    *target = 0;
    return 0;
  }
  char16_t units[2];
  uint8_t bytes[4];
  size_t u, written;
  if (!mvTryDecode(ccSourceCodepage, &byte, 1, units, std::size(units), u, site) || u != 1) return kNoFit;
  if (!mvTryEncode(ccTargetCodepage, units, 1, bytes, sizeof bytes, written, site) || written != 1) return kNoFit;
  *target = bytes[0];
  return 0;
}

// WideChar and WideString: the byte decoded into one unit. A failing call
// (a code page the platform cannot convert) raises in both variants: the
// forcing one has no value to put in its place.
template <TmvFieldType T, bool Forcing>
TmvResult TmvCharMapper::ToWide(const void* aSource, void* aTarget) const {
  const TmvConversionSite site{StaticClass, T == mvtWideChar ? u"ToWideChar" : u"ToWideString", u"Convert",
                               CheckPart(Forcing)};
  const uint8_t byte = *static_cast<const uint8_t*>(aSource);
  char16_t unit = 0;
  if (byte) mvDecode(ccSourceCodepage, &byte, 1, &unit, 1, site);
  if constexpr (T == mvtWideChar)
    StoreLE<uint16_t>(aTarget, unit);
  else
    mvPutUnits(&unit, unit ? 1 : 0, aTarget);
  return 0;
}

// ShortString and NullString in another code page: the character's bytes
// there. Forcing: the empty value when they do not fit; checking: 10002 and
// the target as it was.
template <TmvFieldType T, bool Forcing>
TmvResult TmvCharMapper::ToTextConvert(const void* aSource, void* aTarget) const {
  const TmvConversionSite site{StaticClass, kToTarget<T>, u"Convert", CheckPart(Forcing)};
  const uint8_t byte = *static_cast<const uint8_t*>(aSource);
  if (!byte) {
    mvPutEmptyText(T, aTarget);
    return 0;
  }
  char16_t unit;
  mvDecode(ccSourceCodepage, &byte, 1, &unit, 1, site);
  char bytes[8];
  size_t written;
  if (!mvTryEncode(ccTargetCodepage, &unit, 1, bytes, std::min(sizeof bytes, AnsiCapacity(ccTargetLength)), written,
                   site)) {
    if (!Forcing) return kNoFit;
    written = 0;
  }
  mvPutText(T, bytes, written, aTarget);
  return 0;
}

// ---------------------------------------------------------------------------
// TmvWideCharMapper

constinit const TmvFieldMapperClassRef TmvWideCharMapper::StaticClass{
    {u"TmvWideCharMapper", &TmvBaseFieldMapper::StaticClass}, &TmvWideCharMapper::TryCreateMapper};

TmvBaseFieldMapper* TmvWideCharMapper::TryCreateMapper(const TmvFieldMapperClassRef& aClass,
                                                       TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
                                                       TmvFieldDescriptor* aTargetField, TmvAbstractCursor*,
                                                       TmvFieldMapperDescriptor* aMapperDesc,
                                                       TmvMappingMethod& aMapper) {
  if (aSourceField->FieldType() != mvtWideChar) return nullptr;
  const TmvFieldType targetType = aTargetField->FieldType();
  if (IsCharOrTextType(targetType))
    return HoldsOneCharacter(aTargetField) ? new TmvWideCharMapper(aSourceField, aTargetField, aMapperDesc, aMapper)
                                           : nullptr;
  // Both bytes of the unit or no conversion: a shorter ByteArray would be
  // written past its end.
  if (targetType == mvtByteArray && aTargetField->Length() < 2) return nullptr;
  if (TmvMappingCode code = CharRoutine<true>(targetType, mvForcing(aMapperDesc)))
    aMapper = mvClassMethod(aClass, code);
  return nullptr;
}

TmvWideCharMapper::TmvWideCharMapper(TmvFieldDescriptor*, TmvFieldDescriptor* aTargetField,
                                     TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : wccTargetLength(aTargetField->Length()), wccTargetCodepage(mvFieldCodePage(aTargetField)) {
  using M = TmvWideCharMapper;
  const bool forcing = mvForcing(aMapperDesc);
  switch (aTargetField->FieldType()) {
    case mvtChar: aMapper = mvInstanceMethod<&M::ToAnsiChar>(this); break;
    case mvtWideChar: aMapper = mvClassMethod(StaticClass, &mvCopyBytes<2>); break;
    case mvtWideString: aMapper = mvClassMethod(StaticClass, &WideCharToWideString); break;
    case mvtShortString:
      aMapper = forcing ? mvInstanceMethod<&M::ToText<mvtShortString, true>>(this)
                        : mvInstanceMethod<&M::ToText<mvtShortString, false>>(this);
      break;
    case mvtNullString:
      aMapper = forcing ? mvInstanceMethod<&M::ToText<mvtNullString, true>>(this)
                        : mvInstanceMethod<&M::ToText<mvtNullString, false>>(this);
      break;
    default: break;
  }
}

// A unit that needs more than the one byte of a Char has none: 10002 in
// both variants.
TmvResult TmvWideCharMapper::ToAnsiChar(const void* aSource, void* aTarget) const {
  const TmvConversionSite site{StaticClass, u"ToAnsiChar"};
  const char16_t unit = LoadCharOf<true>(aSource);
  auto* target = static_cast<uint8_t*>(aTarget);
  if (!unit) {
    *target = 0;
    return 0;
  }
  uint8_t byte;
  size_t written;
  if (!mvTryEncode(wccTargetCodepage, &unit, 1, &byte, 1, written, site)) return kNoFit;
  *target = byte;
  return 0;
}

template <TmvFieldType T, bool Forcing>
TmvResult TmvWideCharMapper::ToText(const void* aSource, void* aTarget) const {
  const TmvConversionSite site{StaticClass, kToTarget<T>, u"", CheckPart(Forcing)};
  const char16_t unit = LoadCharOf<true>(aSource);
  if (!unit) {
    mvPutEmptyText(T, aTarget);
    return 0;
  }
  char bytes[8];
  size_t written;
  if (!mvTryEncode(wccTargetCodepage, &unit, 1, bytes, std::min(sizeof bytes, AnsiCapacity(wccTargetLength)), written,
                   site)) {
    if (!Forcing) return kNoFit;
    written = 0;
  }
  mvPutText(T, bytes, written, aTarget);
  return 0;
}

void mvsdFieldMapperStringInit() { RegisterAll(true); }

void mvsdFieldMapperStringFini() { RegisterAll(false); }
