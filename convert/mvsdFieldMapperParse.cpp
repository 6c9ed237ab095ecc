// Field conversion: the mappers that read values out of strings. See
// mvsdFieldMapperParse.h.
#include "convert/mvsdFieldMapperParse.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include "convert/mvsdFieldMapperCodePage.h"
#include "convert/mvsdFieldMapperCommon.h"
#include "convert/mvsdFieldMapperDates.h"
#include "dictionary/items/mvsdFieldDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/types/mvllFmtBcd.h"
#include "platform/DateUtils.h"
#include "platform/Guid.h"
#include "platform/TextToValue.h"

namespace {

constexpr TmvResult kNoFit = MVERR_INVALIDFLDXFORM;

// The original program names its encoding call so in these mappers' texts.
constexpr char16_t kWidecharToMultiByte[] = u"WidecharToMultiByte";

// The bounded buffers of the decoding calls, in UTF-16 units: a ShortString
// always fits 256; a NullString text stops at 254 (255 with its terminator).
constexpr size_t kShortStringUnits = 256, kNullStringUnits = 254;
// An ANSI text (re-encoded, or a WideString encoded) stops at 255 bytes.
constexpr size_t kAnsiTextBytes = 255;

template <TmvFieldType... Types>
constexpr bool IsOneOf(TmvFieldType aType) {
  return ((aType == Types) || ...);
}

// The word of a routine's name for each target.
constexpr std::u16string_view RoutineWord(TmvFieldType aType) {
  switch (aType) {
    case mvtBCD: return u"ToBcd";
    case mvtBoolean: return u"ToBoolean";
    case mvtByte: return u"ToByte";
    case mvtChar: return u"ToAnsiChar";
    case mvtCurrency: return u"ToCurrency";
    case mvtDate: return u"ToDate";
    case mvtDateTime: return u"ToDateTime";
    case mvtDouble: return u"ToDouble";
    case mvtExtended: return u"ToExtended";
    case mvtGuid: return u"ToGuid";
    case mvtInt8: return u"ToInt8";
    case mvtInt16: return u"ToInt16";
    case mvtInt32: return u"ToInt32";
    case mvtInt64: return u"ToInt64";
    case mvtSingle: return u"ToSingle";
    case mvtTime: return u"ToTime";
    case mvtWideChar: return u"ToWideChar";
    case mvtWord16: return u"ToWord16";
    case mvtByteArray: return u"ToByteArray";
    default: return u"ToWord32";
  }
}

// The text widened byte by byte: what the readers see of an ANSI text
// (non-ASCII bytes read as no digit and no letter of a word).
String Widen(const char* aBytes, size_t aCount) {
  String text(aCount, u'\0');
  for (size_t i = 0; i < aCount; ++i) text[i] = char16_t(static_cast<uint8_t>(aBytes[i]));
  return text;
}

// The text in a code page (0: the system ANSI one), at most 255 bytes; a
// longer one raises.
String AnsiRoundTrip(std::u16string_view aText, uint16_t aCodePage, const TmvConversionSite& aSite) {
  char bytes[kAnsiTextBytes];
  size_t written;
  if (!mvTryEncode(aCodePage, aText.data(), aText.size(), bytes, sizeof bytes, written, aSite, kWidecharToMultiByte))
    aSite.Raise(kWidecharToMultiByte);
  return Widen(bytes, written);
}

// ---------------------------------------------------------------------------
// Readers

bool SameWord(std::u16string_view aText, std::u16string_view aWord) {
  if (aText.size() != aWord.size()) return false;
  for (size_t i = 0; i < aText.size(); ++i) {
    char16_t c = aText[i];
    if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
    if (c != aWord[i]) return false;
  }
  return true;
}

template <bool Forcing>
TmvResult ReadBoolean(std::u16string_view aText, void* aTarget) {
  bool value = false;
  for (std::u16string_view word : {u"1", u"Y", u"YES", u"T", u"TRUE"}) value = value || SameWord(aText, word);
  if (!Forcing && !value) {
    bool isFalse = false;
    for (std::u16string_view word : {u"0", u"N", u"NO", u"F", u"FALSE"}) isFalse = isFalse || SameWord(aText, word);
    if (!isFalse) return kNoFit;
  }
  *static_cast<uint8_t*>(aTarget) = value ? mvTrueByte : 0;
  return 0;
}

// Integers: read in 64 bits. Checking refuses a text that is no integer and
// a value outside T's range. Forcing takes the digits before a stray
// character (Byte: 0 for a text that is no integer) and clamps to the
// nearest bound of T, a value too large even for 64 bits included.
template <typename T, bool Forcing>
TmvResult ReadInteger(std::u16string_view aText, void* aTarget) {
  int64_t v;
  bool overflow;
  const bool ok = ValInt64(aText, v, &overflow);
  if constexpr (!Forcing) {
    if (!ok || !std::in_range<T>(v)) return kNoFit;
  } else {
    if (overflow)
      v = v < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    else if (!ok && std::is_same_v<T, uint8_t>)
      v = 0;
    if (std::cmp_less(v, std::numeric_limits<T>::min())) v = int64_t(std::numeric_limits<T>::min());
    if (std::cmp_greater(v, std::numeric_limits<T>::max())) v = int64_t(std::numeric_limits<T>::max());
  }
  mvStoreValue<T>(aTarget, static_cast<T>(v));
  return 0;
}

// Floats: checking refuses a text that is no number and one beyond T's
// range; forcing takes what was read (0 for no number) and clamps to +-Max.
template <typename T, bool Forcing>
TmvResult ReadFloat(std::u16string_view aText, void* aTarget) {
  constexpr Extended maxT = std::numeric_limits<T>::max();
  Extended x;
  const bool ok = ValFloat(aText, x);
  const bool beyond = std::fabs(x) > maxT;
  if (!Forcing && (!ok || beyond)) return kNoFit;
  if (beyond) x = x < 0 ? -maxT : maxT;
  mvStoreValue<T>(aTarget, static_cast<T>(x));
  return 0;
}

template <bool Forcing>
TmvResult ReadCurrency(std::u16string_view aText, void* aTarget) {
  Extended x;
  if (!ValFloat(aText, x) && !Forcing) return kNoFit;
  int64_t scaled;
  if (const TmvResult result = mvFloatToScaled(x, Forcing, false, scaled)) return result;
  StoreLE<int64_t>(aTarget, scaled);
  return 0;
}

template <bool Forcing>
TmvResult ReadBcd(std::u16string_view aText, int32_t aUnits, int32_t aDecPl, void* aTarget) {
  TmvFmtBcd bcd;
  if (aText.empty() || aText == u"0" ||
      !mvTryStrToBcd(String(aText), bcd, DefaultFormatSettings().DecimalSeparator)) {
    if (!Forcing && !aText.empty() && aText != u"0") return kNoFit;
    StoreLE<int64_t>(aTarget, 0);
    return 0;
  }
  return mvBcdToBcdField(bcd, aUnits, aDecPl, Forcing, aTarget);
}

// Day 1 (0001-01-01) is what the reader gives for no date: checking refuses
// it, whether it was read or not.
template <bool Forcing>
TmvResult ReadDate(std::u16string_view aText, const TFormatSettings& aSettings, void* aTarget) {
  TDateTime value;
  const int32_t day = TryStrToDate(aText, value, aSettings) ? DateTimeToTimeStamp(value).Date : 1;
  if (!Forcing && day == 1) return kNoFit;
  StoreLE<int32_t>(aTarget, day);
  return 0;
}

template <bool Forcing>
TmvResult ReadTime(std::u16string_view aText, const TFormatSettings& aSettings, void* aTarget) {
  TDateTime value;
  int32_t ms = 0;
  if (TryStrToTime(aText, value, aSettings))
    ms = DateTimeToTimeStamp(value).Time;
  else if (!Forcing)
    return kNoFit;
  StoreLE<int32_t>(aTarget, ms);
  return 0;
}

template <bool Forcing>
TmvResult ReadDateTime(std::u16string_view aText, const TFormatSettings& aSettings, void* aTarget) {
  TDateTime value;
  TTimeStamp stamp{0, 1};  // 0001-01-01 00:00, what no date and time gives
  if (TryStrToDateTime(aText, value, aSettings)) stamp = DateTimeToTimeStamp(value);
  if (!Forcing && stamp.Date == 1 && stamp.Time == 0) return kNoFit;
  StoreLE<double>(aTarget, mvDateTimeFieldValue(stamp));
  return 0;
}

template <bool Forcing>
TmvResult ReadGuid(std::u16string_view aText, void* aTarget) {
  TGUID guid;
  if (!TryStringToGUID(aText, guid)) {
    if (!Forcing) return kNoFit;
    guid = GUID_NULL;
  }
  GUIDToBytes(guid, static_cast<uint8_t*>(aTarget));
  return 0;
}

// A WideString source's checking variant takes exactly one unit; the others
// take the first (0 for the empty text).
template <bool Forcing, bool WideSource>
TmvResult ReadWideChar(std::u16string_view aText, void* aTarget) {
  if (WideSource && !Forcing && aText.size() > 1) return kNoFit;
  StoreLE<uint16_t>(aTarget, aText.empty() ? 0 : uint16_t(aText[0]));
  return 0;
}

// The C++ type of an integer or float target (AutoInc and RecRev are
// Word32's).
template <TmvFieldType T>
auto NumberOf() {
  if constexpr (T == mvtByte) return uint8_t();
  else if constexpr (T == mvtWord16) return uint16_t();
  else if constexpr (T == mvtWord32) return uint32_t();
  else if constexpr (T == mvtInt8) return int8_t();
  else if constexpr (T == mvtInt16) return int16_t();
  else if constexpr (T == mvtInt32) return int32_t();
  else if constexpr (T == mvtInt64) return int64_t();
  else if constexpr (T == mvtSingle) return float();
  else if constexpr (T == mvtDouble) return double();
  else return Extended();
}

// The text read into a target of type T.
template <TmvFieldType T, bool Forcing, bool WideSource, typename Fields>
TmvResult ReadText(std::u16string_view aText, const Fields& aFields, void* aTarget) {
  if constexpr (T == mvtBoolean) return ReadBoolean<Forcing>(aText, aTarget);
  else if constexpr (T == mvtWideChar) return ReadWideChar<Forcing, WideSource>(aText, aTarget);
  else if constexpr (T == mvtCurrency) return ReadCurrency<Forcing>(aText, aTarget);
  else if constexpr (T == mvtBCD) return ReadBcd<Forcing>(aText, aFields.TargetUnits(), aFields.TargetDecPl(), aTarget);
  else if constexpr (T == mvtDate) return ReadDate<Forcing>(aText, aFields.FormatSettings(), aTarget);
  else if constexpr (T == mvtTime) return ReadTime<Forcing>(aText, aFields.FormatSettings(), aTarget);
  else if constexpr (T == mvtDateTime) return ReadDateTime<Forcing>(aText, aFields.FormatSettings(), aTarget);
  else if constexpr (T == mvtGuid) return ReadGuid<Forcing>(aText, aTarget);
  else if constexpr (IsOneOf<mvtSingle, mvtDouble, mvtExtended>(T))
    return ReadFloat<decltype(NumberOf<T>()), Forcing>(aText, aTarget);
  else
    return ReadInteger<decltype(NumberOf<T>()), Forcing>(aText, aTarget);
}

// The targets the three classes serve: Boolean to DateTime, ByteArray,
// RecRev, Guid and BCD.
constexpr TmvFieldType kTargets[] = {mvtBoolean, mvtChar,     mvtWideChar, mvtByte,     mvtWord16, mvtWord32,
                                     mvtInt8,    mvtInt16,    mvtInt32,    mvtInt64,    mvtAutoInc, mvtSingle,
                                     mvtDouble,  mvtExtended, mvtCurrency, mvtDate,     mvtTime,    mvtDateTime,
                                     mvtByteArray, mvtRecRev, mvtGuid,     mvtBCD};

void RegisterAll(bool aRegister) {
  mvRegisterFieldMappers(TmvShortStringMapper::StaticClass, {mvtShortString}, kTargets, aRegister);
  mvRegisterFieldMappers(TmvNullStringMapper::StaticClass, {mvtNullString}, kTargets, aRegister);
  mvRegisterFieldMappers(TmvWideStringMapper::StaticClass, {mvtWideString}, kTargets, aRegister);
}

}  // namespace

// ---------------------------------------------------------------------------
// TmvTextMapperOf

template <typename Self>
TmvBaseFieldMapper* TmvTextMapperOf<Self>::TryCreateMapper(const TmvFieldMapperClassRef&,
                                                           TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
                                                           TmvFieldDescriptor* aTargetField, TmvAbstractCursor*,
                                                           TmvFieldMapperDescriptor* aMapperDesc,
                                                           TmvMappingMethod& aMapper) {
  if (std::find(std::begin(kTargets), std::end(kTargets), aTargetField->FieldType()) == std::end(kTargets))
    return nullptr;
  return new Self(aSourceField, aTargetField, aMapperDesc, aMapper);
}

template <typename Self>
void TmvTextMapperOf<Self>::ChooseRoutine(TmvFieldDescriptor* aTargetField, TmvFieldMapperDescriptor* aMapperDesc,
                                          TmvMappingMethod& aMapper) const {
  using M = TmvTextMapperOf<Self>;
  const TmvFieldType targetType = aTargetField->FieldType();
  const uint16_t sourceCodepage = Fields().SourceCodepage(), targetCodepage = Fields().TargetCodepage();
  bool converting = false;
  if constexpr (Self::kSourceType == mvtWideString) {
    // The code page a Char target is encoded into must exist.
    if (targetCodepage != 0) mvIsMultiByteCodePage(targetCodepage, Self::StaticClass);
  } else {
    const bool multiByte = sourceCodepage != 0 && mvIsMultiByteCodePage(sourceCodepage, Self::StaticClass);
    converting = sourceCodepage != 0 && targetCodepage != 0 &&
                 (((targetType == mvtChar || targetType == mvtWideChar) && sourceCodepage != targetCodepage) ||
                  (multiByte && Fields().TargetLength() < Fields().SourceLength()));
  }
  const bool forcing = mvForcing(aMapperDesc);
  auto bind = [&]<TmvFieldType T>() -> TmvMappingMethod {
    if (converting) {
      if constexpr (Self::kSourceType != mvtWideString)
        return forcing ? mvInstanceMethod<&M::template To<T, true, true>>(this)
                       : mvInstanceMethod<&M::template To<T, true, false>>(this);
    }
    return forcing ? mvInstanceMethod<&M::template To<T, false, true>>(this)
                   : mvInstanceMethod<&M::template To<T, false, false>>(this);
  };
  switch (targetType) {
    case mvtBoolean: aMapper = bind.template operator()<mvtBoolean>(); break;
    case mvtChar: aMapper = bind.template operator()<mvtChar>(); break;
    case mvtWideChar: aMapper = bind.template operator()<mvtWideChar>(); break;
    case mvtByte: aMapper = bind.template operator()<mvtByte>(); break;
    case mvtWord16: aMapper = bind.template operator()<mvtWord16>(); break;
    case mvtWord32: case mvtAutoInc: case mvtRecRev: aMapper = bind.template operator()<mvtWord32>(); break;
    case mvtInt8: aMapper = bind.template operator()<mvtInt8>(); break;
    case mvtInt16: aMapper = bind.template operator()<mvtInt16>(); break;
    case mvtInt32: aMapper = bind.template operator()<mvtInt32>(); break;
    case mvtInt64: aMapper = bind.template operator()<mvtInt64>(); break;
    case mvtSingle: aMapper = bind.template operator()<mvtSingle>(); break;
    case mvtDouble: aMapper = bind.template operator()<mvtDouble>(); break;
    case mvtExtended: aMapper = bind.template operator()<mvtExtended>(); break;
    case mvtCurrency: aMapper = bind.template operator()<mvtCurrency>(); break;
    case mvtDate: aMapper = bind.template operator()<mvtDate>(); break;
    case mvtTime: aMapper = bind.template operator()<mvtTime>(); break;
    case mvtDateTime: aMapper = bind.template operator()<mvtDateTime>(); break;
    case mvtByteArray: aMapper = bind.template operator()<mvtByteArray>(); break;
    case mvtGuid: aMapper = bind.template operator()<mvtGuid>(); break;
    case mvtBCD: aMapper = bind.template operator()<mvtBCD>(); break;
    default: break;
  }
}

// The text of the source value, decoded as the target and path ask:
//   ShortString, NullString: from the source's code page on the converting
//     path, and for WideChar (and, from a NullString, Currency and the
//     temporal targets) on the direct path too; else from the system ANSI
//     code page. NullString texts decoded through the bounded buffer stop at
//     254 units (Boolean, Byte, BCD and Guid on the direct path are not).
//   BCD on the converting path: the text again in the system ANSI code page.
//   WideString: its units; for Boolean, Byte and BCD first put into the
//     system ANSI code page (at most 255 bytes).
template <typename Self>
template <TmvFieldType T, bool Converting, bool Forcing>
String TmvTextMapperOf<Self>::Text(const void* aSource) const {
  constexpr TmvFieldType S = Self::kSourceType;
  constexpr bool bothVariants = S != mvtWideString && T == mvtWideChar;
  const TmvConversionSite site{Self::StaticClass, RoutineWord(T), Converting || bothVariants ? u"Convert" : u"",
                               Forcing || bothVariants ? u"" : u"Check"};
  if constexpr (S == mvtWideString) {
    const size_t n = mvWideStringCount(aSource, Fields().SourceLength());
    String units(n, u'\0');
    mvLoadUnits(aSource, n, units.data());
    if constexpr (IsOneOf<mvtBoolean, mvtByte, mvtBCD>(T)) return AnsiRoundTrip(units, 0, site);
    return units;
  } else {
    const TmvAnsiValue value = mvReadAnsiValue(S, aSource, Fields().SourceLength());
    constexpr bool fromSource =
        Converting || T == mvtWideChar ||
        (S == mvtNullString && IsOneOf<mvtCurrency, mvtDate, mvtTime, mvtDateTime>(T));
    constexpr bool unbounded =
        S == mvtNullString && !Converting && IsOneOf<mvtBoolean, mvtByte, mvtBCD, mvtGuid>(T);
    const uint16_t codePage = fromSource ? Fields().SourceCodepage() : 0;
    String text;
    if constexpr (unbounded) {
      text = mvDecodeAll(codePage, value.Chars, value.Count, site);
    } else {
      constexpr size_t bound = S == mvtShortString ? kShortStringUnits : kNullStringUnits;
      TmvUnitBuffer units(std::min(value.Count, bound));
      text.assign(units.Data(), mvDecode(codePage, value.Chars, value.Count, units.Data(), units.Size(), site));
    }
    if constexpr (Converting && T == mvtBCD) return AnsiRoundTrip(text, 0, site);
    return text;
  }
}

template <typename Self>
template <TmvFieldType T, bool Converting, bool Forcing>
TmvResult TmvTextMapperOf<Self>::To(const void* aSource, void* aTarget) const {
  if constexpr (T == mvtChar)
    return ToChar<Converting>(aSource, aTarget);
  else if constexpr (T == mvtByteArray)
    return ToByteArray<Forcing>(aSource, aTarget);
  else
    return ReadText<T, Forcing, Self::kSourceType == mvtWideString>(Text<T, Converting, Forcing>(aSource), Fields(),
                                                                     aTarget);
}

// Char, both variants: the first byte of the text in single-byte form (0
// for the empty text). The direct path takes the value's own first byte; the
// converting path the text decoded and put into the system ANSI code page; a
// WideString its text put into the target's code page.
template <typename Self>
template <bool Converting>
TmvResult TmvTextMapperOf<Self>::ToChar(const void* aSource, void* aTarget) const {
  constexpr TmvFieldType S = Self::kSourceType;
  auto* target = static_cast<uint8_t*>(aTarget);
  if constexpr (S != mvtWideString && !Converting) {
    const TmvAnsiValue value = mvReadAnsiValue(S, aSource, Fields().SourceLength());
    *target = value.Count ? value.Chars[0] : 0;
  } else {
    const bool convert = Converting || Fields().TargetCodepage() != 0;
    const TmvConversionSite site{Self::StaticClass, u"ToAnsiChar", convert ? u"Convert" : u""};
    const uint16_t codePage = S == mvtWideString ? Fields().TargetCodepage() : 0;
    const String text = AnsiRoundTrip(Text<mvtChar, Converting, true>(aSource), codePage, site);
    *target = text.empty() ? 0 : uint8_t(text[0]);
  }
  return 0;
}

// ByteArray: the value's bytes (a WideString's two per unit), never more than
// the target holds; checking refuses a value that is longer. Target bytes
// after those copied are left as they were.
template <typename Self>
template <bool Forcing>
TmvResult TmvTextMapperOf<Self>::ToByteArray(const void* aSource, void* aTarget) const {
  const void* bytes;
  size_t count;
  if constexpr (Self::kSourceType == mvtWideString) {
    bytes = aSource;
    count = 2 * mvWideStringCount(aSource, Fields().SourceLength());
  } else {
    const TmvAnsiValue value = mvReadAnsiValue(Self::kSourceType, aSource, Fields().SourceLength());
    bytes = value.Chars;
    count = value.Count;
  }
  const size_t length = size_t(std::max(Fields().TargetLength(), 0));
  if (count > length) {
    if (!Forcing) return kNoFit;
    count = length;
  }
  std::memcpy(aTarget, bytes, count);
  return 0;
}

// ---------------------------------------------------------------------------
// The three classes

constinit const TmvFieldMapperClassRef TmvShortStringMapper::StaticClass{
    {u"TmvShortStringMapper", &TmvBaseFieldMapper::StaticClass}, &TmvShortStringMapper::TryCreateMapper};
constinit const TmvFieldMapperClassRef TmvNullStringMapper::StaticClass{
    {u"TmvNullStringMapper", &TmvBaseFieldMapper::StaticClass}, &TmvNullStringMapper::TryCreateMapper};
constinit const TmvFieldMapperClassRef TmvWideStringMapper::StaticClass{
    {u"TmvWideStringMapper", &TmvBaseFieldMapper::StaticClass}, &TmvWideStringMapper::TryCreateMapper};

TmvShortStringMapper::TmvShortStringMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                                           TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : ssmFormatSettings(mvFieldFormatSettings(aSourceField)),
      ssmSourceLength(aSourceField->Length()),
      ssmTargetLength(aTargetField->Length()),
      ssmSourceCodepage(mvFieldCodePage(aSourceField)),
      ssmTargetCodepage(mvFieldCodePage(aTargetField)),
      ssmTargetUnits(aTargetField->Units()),
      ssmTargetDecPl(aTargetField->DecPl()) {
  ChooseRoutine(aTargetField, aMapperDesc, aMapper);
}

TmvNullStringMapper::TmvNullStringMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                                         TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : nsmFormatSettings(mvFieldFormatSettings(aSourceField)),
      nsmSourceLength(aSourceField->Length()),
      nsmTargetLength(aTargetField->Length()),
      nsmSourceCodepage(mvFieldCodePage(aSourceField)),
      nsmTargetCodepage(mvFieldCodePage(aTargetField)),
      nsmTargetUnits(aTargetField->Units()),
      nsmTargetDecPl(aTargetField->DecPl()) {
  ChooseRoutine(aTargetField, aMapperDesc, aMapper);
}

TmvWideStringMapper::TmvWideStringMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                                         TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : wsmFormatSettings(mvFieldFormatSettings(aSourceField)),
      wsmTargetLength(aTargetField->Length()),
      wsmTargetCodepage(mvFieldCodePage(aTargetField)),
      wsmTargetUnits(aTargetField->Units()),
      wsmTargetDecPl(aTargetField->DecPl()),
      wsmSourceLength(aSourceField->Length()) {
  ChooseRoutine(aTargetField, aMapperDesc, aMapper);
}

void mvsdFieldMapperParseInit() { RegisterAll(true); }

void mvsdFieldMapperParseFini() { RegisterAll(false); }
