// Engine foundation: field values between native bytes and variants (see the
// header for the native forms).
#include "foundation/types/mvsdNativeVariantConverter.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/types/mvllDateLiterals.h"
#include "foundation/types/mvllFmtBcd.h"
#include "platform/DateUtils.h"
#include "platform/Guid.h"
#include "platform/Nls.h"
#include "platform/Numeric.h"
#include "platform/TextServices.h"
#include "platform/TextToValue.h"

namespace {

// ---------------------------------------------------------------------------
// Failures

[[noreturn]] void unsupportedFieldType(int line) {
  mvAssertFailed("field type with a native value form", __FILE_NAME__, line);
}

[[noreturn]] void tooWide(int64_t length, int64_t capacity) {
  throw Exception(SmvSourceTooWide, {length, capacity});
}

[[noreturn]] void tooWideFor(int64_t capacity) { throw Exception(SmvSourceTooWideFor, {capacity}); }

[[noreturn]] void invalidCharFormat() { throw EmvBaseException(String(SmvInvalidCharFormat)); }

// The platform's text for a value that does not fit its target.
[[noreturn]] void variantOverflow() { throw EVariantError(String(u"Variant overflow")); }

bool checkRange(bool raise, int64_t value, int64_t low, int64_t high) {
  if (value >= low && value <= high) return true;
  if (raise) throw Exception(SmvValueOutOfRange, {value});
  return false;
}

// ---------------------------------------------------------------------------
// Sizes and kinds

// The native length of the fixed-size types; 0 for those the field sizes.
int32_t fixedNativeSize(TmvFieldType type) {
  switch (type) {
    case mvtBoolean: case mvtChar: case mvtByte: case mvtInt8:
      return 1;
    case mvtWideChar: case mvtWord16: case mvtInt16:
      return 2;
    case mvtWord32: case mvtInt32: case mvtAutoInc: case mvtRecRev: case mvtSingle: case mvtDate: case mvtTime:
      return 4;
    case mvtInt64: case mvtRefNr: case mvtDouble: case mvtCurrency: case mvtDateTime: case mvtBCD:
      return 8;
    case mvtExtended:
      return static_cast<int32_t>(ExtendedSize);
    case mvtGuid:
      return 16;
    default:
      return 0;
  }
}

// The stored length of a packed decimal of aUnits digits.
int32_t fmtBcdLength(int32_t units) { return (units + 1) / 2 + 2; }

bool isIntegerKind(TVarType vt) {
  switch (vt) {
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
    case varInt64: case varUInt64:
      return true;
    default:
      return false;
  }
}

bool isWideText(const Variant& v) { return v.VarType() == varUString || v.VarType() == varOleStr; }

// ---------------------------------------------------------------------------
// Numbers

// The nearest integer to a packed decimal, ties to even, computed on its
// digits so that no precision is lost on the way.
int64_t bcdRoundedToInt64(const TmvFmtBcd& bcd) {
  if (bcd.Precision == 0 || bcd.Precision > 64) variantOverflow();
  const String text = mvBcdToStr(bcd);
  const bool negative = !text.empty() && text[0] == u'-';
  uint64_t whole = 0;
  size_t i = negative ? 1 : 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    if (whole > (UINT64_MAX - 9) / 10) variantOverflow();
    whole = whole * 10 + (text[i] - u'0');
  }
  // What follows the separator decides the rounding.
  if (++i < text.size()) {
    const char16_t first = text[i];
    bool restNonZero = false;
    for (size_t j = i + 1; j < text.size(); ++j) restNonZero |= text[j] != u'0';
    if (first > u'5' || (first == u'5' && (restNonZero || (whole & 1)))) ++whole;
  }
  if (whole > static_cast<uint64_t>(INT64_MAX) + (negative ? 1 : 0)) variantOverflow();
  return negative ? static_cast<int64_t>(0 - whole) : static_cast<int64_t>(whole);
}

// The value as an integer, rounded to nearest (ties to even); packed
// decimals exactly.
int64_t roundedInteger(const Variant& v) {
  return v.VarType() == varFMTBcd ? bcdRoundedToInt64(v.AsBcd()) : v.AsInt64();
}

// A float for a field: numbers by value, a packed decimal exactly, anything
// else (text, dates, Boolean, shortint) through its text read with fs.
Extended fieldFloat(const Variant& v, const TFormatSettings& fs, bool extended) {
  switch (v.VarType()) {
    case varSmallint: case varInteger: case varByte: case varWord: case varLongWord: case varInt64:
      return static_cast<Extended>(v.AsInt64());
    case varSingle: case varDouble:
      return v.AsDouble();
    case varCurrency:
      return CurrencyToExtended(v.AsCurrency());
    case varFMTBcd: {
      const TmvFmtBcd bcd = v.AsBcd();
      if (!extended) return mvBcdToDouble(bcd);
      Extended x;
      if (bcd.Precision == 0 || bcd.Precision > 64 || !TryStrToFloat(mvBcdToStr(bcd), x, DefaultFormatSettings()))
        throw Exception(String(SmvFmtBcdToExtended));
      return x;
    }
    default:
      return StrToFloat(v.AsString(), fs);
  }
}

// The platform's float conversion, in extended precision where the kind has it.
Extended platformFloat(const Variant& v) {
  if (isIntegerKind(v.VarType()) && v.VarType() != varUInt64) return static_cast<Extended>(v.AsInt64());
  if (v.VarType() == varCurrency) return CurrencyToExtended(v.AsCurrency());
  return v.AsDouble();
}

void storeFloat(TmvFieldType type, Extended x, uint8_t* p) {
  if (type == mvtExtended) {
    ExtendedToBytes(x, p);
  } else if (type == mvtDouble) {
    if (std::isfinite(x) && std::fabs(x) > DBL_MAX) variantOverflow();
    StoreLE(p, static_cast<double>(x));
  } else {
    if (std::isfinite(x) && std::fabs(x) > FLT_MAX) variantOverflow();
    StoreLE(p, static_cast<float>(x));
  }
}

void storeInteger(TmvFieldType type, int64_t v, uint8_t* p) {
  switch (fixedNativeSize(type)) {
    case 1: *p = static_cast<uint8_t>(v); break;
    case 2: StoreLE16(p, static_cast<uint16_t>(v)); break;
    case 4: StoreLE32(p, static_cast<uint32_t>(v)); break;
    default: StoreLE64(p, static_cast<uint64_t>(v)); break;
  }
}

// The scaled value of a BCD field: cut towards zero to aDecPl places and
// checked against aUnits - aDecPl integer digits (EmvBcdOverflow).
int64_t bcdFieldValue(const Variant& v, const TFormatSettings& fs, int32_t units, int32_t decPl) {
  if (v.VarType() == varFMTBcd) {
    TmvFmtBcd cut;
    Currency c;
    if ((mvNormalizeBcd(v.AsBcd(), cut, units, decPl) & mvBcdLostIntegerDigits) || !mvBcdToCurrency(cut, c))
      throw EmvBcdOverflow();
    return c.Value;
  }
  const Variant number = v.IsText() ? Variant(static_cast<double>(StrToFloat(v.AsString(), fs))) : v;
  return mvCheckCurrencyFitsBcd(number, units, decPl).Value;
}

// ---------------------------------------------------------------------------
// Dates

// The platform's date conversion: text with the process's format settings.
TDateTime platformDateTime(const Variant& v) {
  return v.IsText() ? StrToDateTime(v.AsString(), DefaultFormatSettings()) : v.AsDateTime();
}

// Only the date kind may hold 1899-12-30 00:00 for a timestamp: a number 0
// is taken for a missing value.
void refuseZeroTimestamp(const Variant& v) {
  const TVarType vt = v.VarType();
  const bool numeric = isIntegerKind(vt) || vt == varSingle || vt == varDouble || vt == varCurrency || vt == varFMTBcd;
  if (numeric && v.AsDouble() == 0) throw Exception(String(SmvZeroTimestamp));
}

// The day number of 9999-12-31 (0001-01-01 is day 1).
constexpr int32_t kLastDay = DateDelta + 2958465;

void storeDateTime(TmvFieldType type, TDateTime value, uint8_t* p) {
  const TTimeStamp ts = DateTimeToTimeStamp(value);
  // Outside years 1 to 9999, and for NaN, there is no day number: refused
  // rather than stored as day 0.
  if (!std::isfinite(value) || ts.Date < 1 || ts.Date > kLastDay) throw ERangeError(String(SRangeError));
  if (type == mvtDate) StoreLE<int32_t>(p, ts.Date);
  else if (type == mvtTime) StoreLE<int32_t>(p, ts.Time);
  else StoreLE<double>(p, static_cast<double>(ts.Date) * MSecsPerDay + ts.Time);
}

// ---------------------------------------------------------------------------
// Text

template <typename Text>
void dropTrailingSpaces(Text& s, size_t whileAtLeast = 0) {
  while (!s.empty() && s.size() >= whileAtLeast && s.back() == ' ') s.pop_back();
}

// One pass of the converter into a result sized for the worst case. A
// failure carries the step's text as the length query of two passes did.
String bytesToString(const char* p, size_t n, uint32_t codePage, const char16_t* step) {
  MV_ASSERT(n <= INT32_MAX);
  String out;
  if (!NlsMultiByteToWide(codePage, std::string_view(p, n), out)) mvRaiseNlsError(String(step) + u"/1");
  return out;
}

AnsiString stringToBytes(std::u16string_view s, uint32_t codePage, const char16_t* step) {
  MV_ASSERT(s.size() <= INT32_MAX);
  AnsiString out;
  if (!NlsWideToMultiByte(codePage, s, out)) mvRaiseNlsError(step);
  return out;
}

// 8-bit text of a field to a string, through the code page `cp` (resolved
// by the caller: text reads back through the code page it was written with).
String readText8(const uint8_t* p, size_t n, uint32_t cp, int32_t decPl) {
  String s = bytesToString(reinterpret_cast<const char*>(p), n, cp, u"VariantFromNullStringPtr/MultiByteToWideChar");
  if (decPl > 0 && s.size() < static_cast<size_t>(decPl)) s.append(static_cast<size_t>(decPl) - s.size(), u' ');
  return s;
}

// The variant's 8-bit text in the system ANSI code page; a byte array is
// taken as such text.
AnsiString ansiTextOf(const Variant& v) {
  if (v.IsArray()) return AnsiString(reinterpret_cast<const char*>(v.ArrayData()), v.ArrayLength());
  return v.AsAnsiString();
}

String wideTextOf(const Variant& v) {
  if (v.IsArray()) return SystemAnsiToString(ansiTextOf(v));
  return v.AsString();
}

// How 8-bit text is fitted into a field. capacity < 0: sized to the value
// (byte arrays), so nothing is too wide and nothing is trimmed for width.
struct TextTarget {
  uint16_t codePage;
  int32_t decPl;
  int32_t fieldLength;  // for trimming by width; unused when capacity < 0
  int32_t capacity;
  bool allowTruncate;
  const char16_t* step;  // the step a failed conversion names
};

// Converts into the field's code page: with truncation the text is first cut
// to as many characters as the field has bytes; what still does not fit
// raises the width error without a length.
AnsiString encodeForField(String s, uint32_t codePage, const TextTarget& t) {
  if (s.empty()) return {};
  const size_t cap = static_cast<size_t>(t.capacity);
  if (t.capacity >= 0 && t.allowTruncate && s.size() > cap) s.resize(cap);
  AnsiString bytes = stringToBytes(s, codePage, t.step);
  if (t.capacity >= 0 && bytes.size() > cap) tooWideFor(t.capacity);
  return bytes;
}

// The bytes of a zero-terminated 8-bit text field (NullString, BlobMemo, and
// fixed-width ShortString), without the terminator.
AnsiString nullStringBytes(const Variant& v, const TextTarget& t) {
  const size_t cap = static_cast<size_t>(t.capacity);
  if (isWideText(v)) {
    String s = v.AsString();
    if (const size_t zero = s.find(u'\0'); zero != String::npos) s.resize(zero);
    if (t.decPl > 0) dropTrailingSpaces(s);
    else if (t.capacity >= 0) dropTrailingSpaces(s, static_cast<size_t>(t.fieldLength));
    if (t.codePage != 0) return encodeForField(std::move(s), t.codePage, t);
    // Without a code page the width is counted in characters first.
    if (t.capacity >= 0 && s.size() > cap) {
      if (!t.allowTruncate) tooWide(static_cast<int64_t>(s.size()), t.capacity);
      s.resize(cap);
    }
    return encodeForField(std::move(s), CP_ACP, t);
  }
  if (t.codePage != 0) {
    String s = wideTextOf(v);
    if (t.decPl > 0) dropTrailingSpaces(s);
    return encodeForField(std::move(s), t.codePage, t);
  }
  AnsiString bytes = ansiTextOf(v);
  if (t.decPl > 0) dropTrailingSpaces(bytes);  // no ANSI code page has ' ' as a trail byte
  if (t.capacity >= 0 && bytes.size() > cap) {
    if (!t.allowTruncate) tooWide(static_cast<int64_t>(bytes.size()), t.capacity);
    bytes.resize(cap);
  }
  return bytes;
}

// The text bytes of a ShortString field, without the length byte.
AnsiString shortStringBytes(const Variant& v, const TextTarget& t) {
  if (t.decPl > 0) return nullStringBytes(v, t);
  if (t.codePage == 0 && isWideText(v)) {
    // Through the thread's code page; a text that does not fit always raises.
    String s = v.AsString();
    if (t.capacity >= 0) dropTrailingSpaces(s, static_cast<size_t>(t.fieldLength));
    AnsiString bytes = stringToBytes(s, CP_THREAD_ACP, t.step);
    if (t.capacity >= 0 && bytes.size() > static_cast<size_t>(t.capacity)) tooWideFor(t.capacity);
    return bytes;
  }
  return nullStringBytes(v, t);
}

// The UTF-16 text of a WideString field. Without a fixed width, trailing
// spaces go only while the text does not fit (needs fieldLength bytes or more).
String wideFieldText(const Variant& v, int32_t decPl, int32_t fieldLength) {
  String s = v.AsString();
  if (decPl > 0) dropTrailingSpaces(s);
  else if (fieldLength >= 0) dropTrailingSpaces(s, static_cast<size_t>(fieldLength + 1) / 2);
  return s;
}

void storeWideText(const String& s, uint8_t* p, size_t maxBytes) {
  const size_t n = std::min(s.size(), maxBytes / 2);
  for (size_t i = 0; i < n; ++i) StoreLE16(p + 2 * i, s[i]);
}

// ---------------------------------------------------------------------------
// Single characters

uint8_t charByte(const Variant& v, uint16_t codePage) {
  if (codePage == 0) {
    if (isIntegerKind(v.VarType())) {
      // A code beyond one byte would store some other character.
      const int64_t code = v.AsInt64();
      mvCheckByteRange(true, code);
      return static_cast<uint8_t>(code);
    }
    const AnsiString s = v.AsAnsiString();
    if (s.size() != 1) invalidCharFormat();
    return static_cast<uint8_t>(s[0]);
  }
  const String s = v.AsString();
  if (s.size() != 1) invalidCharFormat();
  char out[1];
  errno = 0;
  if (WideCharToMultiByte(codePage, 0, s.data(), 1, out, 1) == 0) {
    if (errno == ENOBUFS) invalidCharFormat();  // a character of more than one byte
    mvRaiseNlsError(u"AnsiCharToBuffer/WideCharToMultiByte");
  }
  return static_cast<uint8_t>(out[0]);
}

char16_t wideChar(const Variant& v) {
  const String s = v.AsString();
  if (s.size() != 1) invalidCharFormat();
  return s[0];
}

// ---------------------------------------------------------------------------
// Values of the types whose native form is the same for fields and byte
// arrays: returns false for the other types.

bool storeCommon(const TFormatSettings& fs, TmvFieldType type, uint16_t codePage, int32_t units, int32_t decPl,
                 const Variant& v, uint8_t* p) {
  switch (type) {
    case mvtChar: *p = charByte(v, codePage); return true;
    case mvtWideChar: StoreLE16(p, wideChar(v)); return true;
    case mvtCurrency: StoreLE<int64_t>(p, v.AsCurrency().Value); return true;
    case mvtBCD: StoreLE<int64_t>(p, bcdFieldValue(v, fs, units, decPl)); return true;
    case mvtGuid: {
      GUIDToBytes(StringToGUID(v.AsString()), p);
      return true;
    }
    default: return false;
  }
}

// The format settings of the calling thread's locale. Fields are written
// one by one on the record path, so the thread keeps the settings object of
// its locale at hand, until its locale changes or the foundation's stop
// frees the cache that owns it.
const TFormatSettings& threadFormatSettings() {
  thread_local LCID cachedLocale = 0;
  thread_local uint32_t cachedGeneration = 0;
  thread_local const TFormatSettings* cached = nullptr;
  const LCID locale = GetThreadLocale();
  const uint32_t generation = mvLocaleFormatSettingsGeneration();
  if (!cached || locale != cachedLocale || generation != cachedGeneration) {
    cached = &mvLocaleFormatSettings(locale);
    cachedLocale = locale;
    cachedGeneration = generation;
  }
  return *cached;
}

}  // namespace

// ---------------------------------------------------------------------------
// Range checks

bool mvCheckByteRange(bool aRaise, int64_t aValue) { return checkRange(aRaise, aValue, 0, UINT8_MAX); }
bool mvCheckWord16Range(bool aRaise, int64_t aValue) { return checkRange(aRaise, aValue, 0, UINT16_MAX); }
bool mvCheckWord32Range(bool aRaise, int64_t aValue) { return checkRange(aRaise, aValue, 0, UINT32_MAX); }
bool mvCheckInt8Range(bool aRaise, int64_t aValue) { return checkRange(aRaise, aValue, INT8_MIN, INT8_MAX); }
bool mvCheckInt16Range(bool aRaise, int64_t aValue) { return checkRange(aRaise, aValue, INT16_MIN, INT16_MAX); }
bool mvCheckInt32Range(bool aRaise, int64_t aValue) { return checkRange(aRaise, aValue, INT32_MIN, INT32_MAX); }

bool mvVarIsEmptyOrNull(const Variant& aValue) { return aValue.IsEmpty() || aValue.IsNull(); }

String mvVarByteArrayToString(const Variant& aValue) {
  const int32_t low = VarArrayLowBound(aValue, 1), high = VarArrayHighBound(aValue, 1);
  const uint8_t* bytes = aValue.ArrayData();
  String s;
  s.reserve(static_cast<size_t>(high - low + 1));
  for (int32_t i = 0; i <= high - low; ++i) s += static_cast<char16_t>(bytes[i]);
  return s;
}

// ---------------------------------------------------------------------------
// Native bytes to a variant

void mvNativeToVariant(TmvFieldType aFieldType, uint16_t aCodePage, int32_t /*aUnits*/, int32_t aDecPl,
                       const void* aBuffer, int32_t aLength, Variant& aValue) {
  const auto* p = static_cast<const uint8_t*>(aBuffer);
  MV_ASSERT(aLength >= fixedNativeSize(aFieldType));
  const size_t length = aLength > 0 ? static_cast<size_t>(aLength) : 0;
  switch (aFieldType) {
    case mvtBoolean: aValue = Variant(*p != 0); break;
    case mvtChar: {
      // Without a code page of its own the byte was written through the
      // system ANSI code page, and reads back through it (ASCII alike).
      char16_t c[2];
      const int n =
          MultiByteToWideChar(aCodePage != 0 ? aCodePage : CP_ACP, 0, reinterpret_cast<const char*>(p), 1, c, 2);
      if (n == 0) mvRaiseNlsError(u"VariantFromPAnsiChar/MultiByteToWideChar");
      aValue = Variant(std::u16string_view(c, static_cast<size_t>(n)));
      break;
    }
    case mvtWideChar: aValue = Variant(String(1, static_cast<char16_t>(LoadLE16(p)))); break;
    case mvtByte: aValue = Variant(*p); break;
    case mvtWord16: aValue = Variant(LoadLE16(p)); break;
    case mvtInt8: aValue = Variant(static_cast<int8_t>(*p)); break;
    case mvtInt16: aValue = Variant(LoadLE<int16_t>(p)); break;
    case mvtInt32: aValue = Variant(LoadLE<int32_t>(p)); break;
    case mvtWord32: case mvtAutoInc: case mvtRecRev: {
      const uint32_t v = LoadLE32(p);
      aValue = v <= INT32_MAX ? Variant(static_cast<int32_t>(v)) : Variant(static_cast<double>(v));
      break;
    }
    case mvtInt64: case mvtRefNr: aValue = Variant(LoadLE<int64_t>(p)); break;
    case mvtSingle: aValue = Variant(static_cast<double>(LoadLE<float>(p))); break;
    case mvtDouble: aValue = Variant(LoadLE<double>(p)); break;
    case mvtExtended: aValue = Variant(static_cast<double>(ExtendedFromBytes(p))); break;
    case mvtCurrency: case mvtBCD: aValue = Variant(Currency::FromScaled(LoadLE<int64_t>(p))); break;
    case mvtDate: aValue = Variant::FromDate(static_cast<double>(LoadLE<int32_t>(p)) - DateDelta); break;
    case mvtTime: aValue = Variant::FromDate(static_cast<double>(LoadLE<int32_t>(p)) / MSecsPerDay); break;
    case mvtDateTime: {
      const double ms = std::nearbyint(LoadLE<double>(p));
      // Day numbers beyond 32 bits cannot be a date of years 1 to 9999.
      if (!(std::fabs(ms) < static_cast<double>(MSecsPerDay) * INT32_MAX)) throw EInvalidOp(String(SInvalidOp));
      const auto total = static_cast<int64_t>(ms);
      TTimeStamp ts;
      ts.Date = static_cast<int32_t>(total / MSecsPerDay);
      ts.Time = static_cast<int32_t>(total % MSecsPerDay);
      aValue = Variant::FromDate(TimeStampToDateTime(ts));
      break;
    }
    case mvtBlob: case mvtBlobGraphic: case mvtByteArray: aValue = Variant::ByteArray(p, length); break;
    case mvtBlobMemo: case mvtNullString: {
      // Up to the terminator, never past the field.
      const void* end = std::memchr(p, 0, length);
      const size_t n = end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - p) : length;
      // Without a code page of its own: the system ANSI code page, which
      // writing uses too, whatever the thread's locale.
      aValue = Variant(readText8(p, n, aCodePage != 0 ? aCodePage : CP_ACP, aDecPl));
      break;
    }
    case mvtShortString: {
      // A count beyond the field is damage: read what the field holds.
      const size_t n = length == 0 ? 0 : std::min<size_t>(*p, length - 1);
      // Without a code page of its own a variable-width one was written
      // through the thread's ANSI code page, a fixed-width one through the
      // system's.
      const uint32_t cp = aCodePage != 0 ? aCodePage : aDecPl > 0 ? CP_ACP : CP_THREAD_ACP;
      aValue = Variant(readText8(p + 1, n, cp, aDecPl));
      break;
    }
    case mvtWideString: case mvtBlobWideMemo: {
      String s;
      for (size_t i = 0; i + 1 < length; i += 2) {
        const char16_t c = LoadLE16(p + i);
        if (c == 0) break;
        s += c;
      }
      if (aDecPl > 0 && s.size() < static_cast<size_t>(aDecPl)) s.append(static_cast<size_t>(aDecPl) - s.size(), u' ');
      aValue = Variant(s);
      break;
    }
    case mvtGuid: aValue = Variant(GUIDToString(GUIDFromBytes(p))); break;
    case mvtFmtBCD: {
      TmvFmtBcd bcd;
      std::memcpy(&bcd, p, std::min(length, sizeof bcd));
      aValue = Variant(bcd);
      break;
    }
    default: unsupportedFieldType(__LINE__);
  }
}

// ---------------------------------------------------------------------------
// A variant into a field buffer

void mvVariantToNativeEx(const TFormatSettings& aFormatSettings, TmvFieldType aFieldType, uint16_t aCodePage,
                         int32_t aUnits, int32_t aDecPl, const Variant& aValue, void* aBuffer, int32_t aLength,
                         bool aAllowTruncate) {
  auto* p = static_cast<uint8_t*>(aBuffer);
  MV_ASSERT(aLength >= fixedNativeSize(aFieldType));
  if (storeCommon(aFormatSettings, aFieldType, aCodePage, aUnits, aDecPl, aValue, p)) return;
  const size_t length = aLength > 0 ? static_cast<size_t>(aLength) : 0;
  switch (aFieldType) {
    case mvtBoolean: *p = aValue.AsBoolean() ? 1 : 0; break;
    case mvtByte: case mvtWord16: case mvtWord32: case mvtInt8: case mvtInt16: case mvtInt32: {
      const int64_t v = roundedInteger(aValue);
      switch (aFieldType) {
        case mvtByte: mvCheckByteRange(true, v); break;
        case mvtWord16: mvCheckWord16Range(true, v); break;
        case mvtWord32: mvCheckWord32Range(true, v); break;
        case mvtInt8: mvCheckInt8Range(true, v); break;
        case mvtInt16: mvCheckInt16Range(true, v); break;
        default: mvCheckInt32Range(true, v); break;
      }
      storeInteger(aFieldType, v, p);
      break;
    }
    // Counters keep the low 32 bits of whatever they are given.
    case mvtInt64: case mvtRefNr: case mvtAutoInc: case mvtRecRev:
      storeInteger(aFieldType, roundedInteger(aValue), p);
      break;
    case mvtSingle: case mvtDouble: case mvtExtended:
      storeFloat(aFieldType, fieldFloat(aValue, aFormatSettings, aFieldType == mvtExtended), p);
      break;
    case mvtDate:
      storeDateTime(aFieldType,
                    aValue.IsText() ? StrToDateTime(aValue.AsString(), aFormatSettings) : aValue.AsDateTime(), p);
      break;
    case mvtTime: case mvtDateTime: {
      if (aFieldType == mvtDateTime) refuseZeroTimestamp(aValue);
      // Only wide text is read with the field's settings; 8-bit text takes
      // the platform's conversion.
      const TDateTime value =
          isWideText(aValue) ? StrToDateTime(aValue.AsString(), aFormatSettings) : platformDateTime(aValue);
      storeDateTime(aFieldType, value, p);
      break;
    }
    case mvtByteArray:
      std::memset(p, 0, length);
      if (aValue.IsArray()) {
        size_t n = aValue.ArrayLength();
        if (n > length) {
          if (!aAllowTruncate) tooWide(static_cast<int64_t>(n), aLength);
          n = length;
        }
        if (n) std::memcpy(p, aValue.ArrayData(), n);
      }
      break;
    case mvtBlobMemo: case mvtNullString: {
      MV_ASSERT(aLength >= 1);
      std::memset(p, 0, length);
      const TextTarget t{aCodePage, aDecPl, aLength, aLength - 1, aAllowTruncate,
                         u"NullStringToBuffer/WideCharToMultiByte"};
      const AnsiString bytes = nullStringBytes(aValue, t);
      std::memcpy(p, bytes.data(), bytes.size());
      break;
    }
    case mvtShortString: {
      MV_ASSERT(aLength >= 1);
      std::memset(p, 0, length);
      // The length byte cannot count beyond 255.
      const TextTarget t{aCodePage, aDecPl, aLength, std::min(aLength - 1, 255), aAllowTruncate,
                         u"ShortStringToBuffer/WideCharToMultiByte"};
      const AnsiString bytes = shortStringBytes(aValue, t);
      p[0] = static_cast<uint8_t>(bytes.size());
      std::memcpy(p + 1, bytes.data(), bytes.size());
      break;
    }
    case mvtWideString: case mvtBlobWideMemo: {
      MV_ASSERT(aLength >= 2);
      const String s = wideFieldText(aValue, aDecPl, aLength);
      const size_t room = length - 2;  // the terminator always stays
      if (!aAllowTruncate && 2 * s.size() > room) tooWide(static_cast<int64_t>(2 * s.size()), aLength - 2);
      std::memset(p, 0, length);
      storeWideText(s, p, room);
      break;
    }
    case mvtFmtBCD:
      if (aLength < fmtBcdLength(aUnits)) throw EmvBcdOverflow();
      std::memset(p, 0, length);
      mvVariantToBcdBytes(aValue, aUnits, aDecPl, aLength, p);
      break;
    default: unsupportedFieldType(__LINE__);
  }
}

void mvVariantToNative(TmvFieldType aFieldType, uint16_t aCodePage, int32_t aUnits, int32_t aDecPl,
                       const Variant& aValue, void* aBuffer, int32_t aLength) {
  mvVariantToNativeEx(threadFormatSettings(), aFieldType, aCodePage, aUnits, aDecPl, aValue, aBuffer, aLength,
                      false);
}

// ---------------------------------------------------------------------------
// A variant into a byte array of its native form

void mvVariantToBytesEx(const TFormatSettings& aFormatSettings, TmvFieldType aFieldType, uint16_t aCodePage,
                        int32_t aUnits, int32_t aDecPl, const Variant& aValue, TBytes& aBytes) {
  if (aValue.IsNull()) {
    aBytes.clear();
    return;
  }
  if (const int32_t size = fixedNativeSize(aFieldType)) {
    TBytes bytes(static_cast<size_t>(size));
    uint8_t* p = bytes.data();
    if (!storeCommon(aFormatSettings, aFieldType, aCodePage, aUnits, aDecPl, aValue, p)) {
      switch (aFieldType) {
        case mvtBoolean: *p = aValue.AsBoolean() ? 0xFF : 0; break;
        case mvtSingle: case mvtDouble: case mvtExtended:
          storeFloat(aFieldType, platformFloat(aValue), p);
          break;
        case mvtDate:
          storeDateTime(aFieldType, aValue.IsText() ? mvVariantToDate(aValue) : aValue.AsDateTime(), p);
          break;
        case mvtTime:
          storeDateTime(aFieldType, aValue.IsText() ? mvVariantToTime(aValue) : aValue.AsDateTime(), p);
          break;
        case mvtDateTime:
          refuseZeroTimestamp(aValue);
          storeDateTime(aFieldType, aValue.IsText() ? mvVariantToDateTime(aValue) : aValue.AsDateTime(), p);
          break;
        default:  // the integer types, without range checks
          storeInteger(aFieldType, roundedInteger(aValue), p);
          break;
      }
    }
    aBytes = std::move(bytes);
    return;
  }
  switch (aFieldType) {
    case mvtBlob: break;  // the BLOB engines own these bytes
    case mvtByteArray:
      if (aValue.IsArray()) aBytes.assign(aValue.ArrayData(), aValue.ArrayData() + aValue.ArrayLength());
      else aBytes.clear();
      break;
    case mvtBlobMemo: case mvtNullString: {
      const TextTarget t{aCodePage, aDecPl, -1, -1, false, u"NullStringToBuffer/WideCharToMultiByte"};
      const AnsiString bytes = nullStringBytes(aValue, t);
      aBytes.assign(bytes.begin(), bytes.end());
      aBytes.push_back(0);
      break;
    }
    case mvtShortString: {
      const TextTarget t{aCodePage, aDecPl, -1, -1, false, u"ShortStringToBuffer/WideCharToMultiByte"};
      const AnsiString bytes = shortStringBytes(aValue, t);
      if (bytes.size() > 255) tooWide(static_cast<int64_t>(bytes.size()), 255);
      aBytes.assign(1, static_cast<uint8_t>(bytes.size()));
      aBytes.insert(aBytes.end(), bytes.begin(), bytes.end());
      break;
    }
    case mvtWideString: case mvtBlobWideMemo: {
      const String s = wideFieldText(aValue, aDecPl, -1);
      aBytes.assign(2 * s.size() + 2, 0);
      storeWideText(s, aBytes.data(), 2 * s.size());
      break;
    }
    case mvtFmtBCD: {
      TBytes bytes(static_cast<size_t>(fmtBcdLength(aUnits)));
      mvVariantToBcdBytes(aValue, aUnits, aDecPl, static_cast<int>(bytes.size()), bytes.data());
      aBytes = std::move(bytes);
      break;
    }
    default:
      aBytes.clear();
      unsupportedFieldType(__LINE__);
  }
}

void mvVariantToBytes(TmvFieldType aFieldType, uint16_t aCodePage, int32_t aUnits, int32_t aDecPl,
                      const Variant& aValue, TBytes& aBytes) {
  mvVariantToBytesEx(threadFormatSettings(), aFieldType, aCodePage, aUnits, aDecPl, aValue, aBytes);
}
