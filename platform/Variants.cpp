// Platform layer: the variant value type, its conversions and the default
// packed-decimal routines (replaced by the engine at start).
#include "platform/Variants.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "platform/DateUtils.h"
#include "platform/Numeric.h"
#include "platform/TextServices.h"
#include "platform/TextToValue.h"
#include "platform/ValueToText.h"

// ---------------------------------------------------------------------------
// Payload blocks

struct Variant::Payload {
  std::atomic<int32_t> refs{1};
  String wide;        // varUString, varOleStr
  std::string bytes;  // varString text, byte arrays
  std::vector<Variant> items;  // arrays of variants
  TBcd bcd;           // varFMTBcd
};

Variant Variant::withPayload(TVarType vt, Payload* p) noexcept {
  Variant v;
  v.vt_ = vt;
  v.p_ = p;
  return v;
}

static bool holdsPayload(TVarType vt) {
  return vt == varUString || vt == varOleStr || vt == varString || vt == varFMTBcd || (vt & varArray);
}

void Variant::release() noexcept {
  if (holdsPayload(vt_) && p_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete p_;
  vt_ = varEmpty;
  i64_ = 0;
}

Variant::Variant(const Variant& o) noexcept : vt_(o.vt_), u64_(o.u64_) {
  if (holdsPayload(vt_)) p_->refs.fetch_add(1, std::memory_order_relaxed);
}

Variant::Variant(Variant&& o) noexcept : vt_(o.vt_), u64_(o.u64_) {
  o.vt_ = varEmpty;
  o.i64_ = 0;
}

Variant& Variant::operator=(const Variant& o) noexcept {
  if (this != &o) {
    Variant copy(o);
    *this = std::move(copy);
  }
  return *this;
}

Variant& Variant::operator=(Variant&& o) noexcept {
  if (this != &o) {
    release();
    vt_ = o.vt_;
    u64_ = o.u64_;
    o.vt_ = varEmpty;
    o.i64_ = 0;
  }
  return *this;
}

Variant::~Variant() { release(); }

void Variant::Clear() noexcept { release(); }

Variant::Variant(const String& v) : Variant(std::u16string_view(v)) {}

Variant::Variant(std::u16string_view v) : vt_(varUString) {
  p_ = new Payload;
  p_->wide.assign(v);
}

Variant::Variant(const TBcd& v) : vt_(varFMTBcd) {
  p_ = new Payload;
  p_->bcd = v;
}

Variant Variant::Null() noexcept {
  Variant v;
  v.vt_ = varNull;
  return v;
}

Variant Variant::FromDate(TDateTime d) noexcept {
  Variant v;
  v.vt_ = varDate;
  v.f64_ = d;
  return v;
}

Variant Variant::FromOleStr(std::u16string_view s) {
  Variant v(s);
  v.vt_ = varOleStr;
  return v;
}

Variant Variant::FromAnsiString(std::string_view s) {
  auto* p = new Payload;
  p->bytes.assign(s);
  return withPayload(varString, p);
}

Variant Variant::ByteArray(size_t n) {
  auto* p = new Payload;
  p->bytes.assign(n, '\0');
  return withPayload(varArray | varByte, p);
}

Variant Variant::ByteArray(const void* data, size_t n) {
  auto* p = new Payload;
  if (n) p->bytes.assign(static_cast<const char*>(data), n);
  return withPayload(varArray | varByte, p);
}

Variant Variant::VariantArray(std::vector<Variant> items) {
  auto* p = new Payload;
  p->items = std::move(items);
  return withPayload(varArray | varVariant, p);
}

size_t Variant::ArrayLength() const noexcept { return IsArray() && !IsVariantArray() ? p_->bytes.size() : 0; }

const uint8_t* Variant::ArrayData() const noexcept {
  return IsArray() && !IsVariantArray() ? reinterpret_cast<const uint8_t*>(p_->bytes.data()) : nullptr;
}

size_t Variant::ArrayCount() const noexcept {
  if (!IsArray()) return 0;
  return IsVariantArray() ? p_->items.size() : p_->bytes.size();
}

const Variant& Variant::ArrayItem(size_t i) const {
  if (!IsVariantArray() || i >= p_->items.size()) throw EVariantError(u"Variant array bounds error");
  return p_->items[i];
}

uint8_t* Variant::ArrayDataForWrite() {
  if (!IsArray() || IsVariantArray()) return nullptr;
  if (p_->refs.load(std::memory_order_acquire) != 1) {
    auto* copy = new Payload;
    copy->bytes = p_->bytes;
    TVarType vt = vt_;
    release();
    vt_ = vt;
    p_ = copy;
  }
  return reinterpret_cast<uint8_t*>(p_->bytes.data());
}

// ---------------------------------------------------------------------------
// Names and errors

String VarTypeAsText(TVarType vt) {
  String base;
  switch (vt & varTypeMask) {
    case varEmpty: base = u"Empty"; break;
    case varNull: base = u"Null"; break;
    case varSmallint: base = u"Smallint"; break;
    case varInteger: base = u"Integer"; break;
    case varSingle: base = u"Single"; break;
    case varDouble: base = u"Double"; break;
    case varCurrency: base = u"Currency"; break;
    case varDate: base = u"Date"; break;
    case varOleStr: base = u"OleStr"; break;
    case varBoolean: base = u"Boolean"; break;
    case varVariant: base = u"Variant"; break;
    case varShortInt: base = u"ShortInt"; break;
    case varByte: base = u"Byte"; break;
    case varWord: base = u"Word"; break;
    case varLongWord: base = u"Cardinal"; break;
    case varInt64: base = u"Int64"; break;
    case varUInt64: base = u"UInt64"; break;
    case varString: base = u"String"; break;
    case varUString: base = u"UnicodeString"; break;
    case varFMTBcd: base = u"FMTBcdVariantType"; break;
    default: base = u"$" + IntToHex(vt & varTypeMask, 4); break;
  }
  if (vt & varArray) base = u"Array " + base;
  if (vt & varByRef) base = u"ByRef " + base;
  return base;
}

inline constexpr char16_t SVarTypeCouldNotConvert[] = u"Could not convert variant of type (%s) into type (%s)";
inline constexpr char16_t SVarOverflow[] = u"Variant overflow";

void Variant::castError(TVarType target) const {
  throw EVariantError(SVarTypeCouldNotConvert, {VarTypeAsText(vt_), VarTypeAsText(target)});
}

[[noreturn]] static void overflowError() { throw EVariantError(String(SVarOverflow)); }

// ---------------------------------------------------------------------------
// Text forms of numbers and dates

namespace {

String ascii(const std::string& s) { return AsciiToString(s); }

String currencyText(int64_t scaled) {
  bool neg = scaled < 0;
  uint64_t mag = neg ? 0 - uint64_t(scaled) : uint64_t(scaled);
  String out = neg ? u"-" : u"";
  out += ascii(std::to_string(mag / 10000));
  unsigned frac = unsigned(mag % 10000);
  if (frac) {
    std::string f = std::to_string(10000 + frac).substr(1);
    while (f.back() == '0') f.pop_back();
    out += DefaultFormatSettings().DecimalSeparator;
    out += ascii(f);
  }
  return out;
}

bool parseInt64(const String& text, int64_t& v) {
  std::string s = UTF8Encode(text);
  size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
  if (b == std::string::npos) return false;
  s = s.substr(b, e - b + 1);
  char* end = nullptr;
  errno = 0;
  long long r = std::strtoll(s.c_str(), &end, 10);
  if (errno || *end || end == s.c_str()) return false;
  v = r;
  return true;
}

bool parseFloat(const String& text, long double& v) {
  return TryStrToFloat(text, v, DefaultFormatSettings());
}

bool textToBool(const String& s, bool& v) {
  String u = s;
  for (auto& c : u) if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
  if (u == u"TRUE") { v = true; return true; }
  if (u == u"FALSE") { v = false; return true; }
  long double x;
  if (parseFloat(s, x)) { v = x != 0; return true; }
  return false;
}

// Nearest integer, ties to even, whatever rounding mode the thread has set.
long double roundHalfEven(long double x) {
  long double r = std::floor(x);
  long double diff = x - r;
  if (diff > 0.5L || (diff == 0.5L && std::fmod(r, 2.0L) != 0)) r += 1;
  return r;
}

}  // namespace

// ---------------------------------------------------------------------------
// Conversions

String Variant::AsString() const {
  switch (vt_) {
    case varEmpty: return String();
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord:
    case varLongWord: case varInt64: return IntToStr(i64_);
    case varUInt64: return ascii(std::to_string(u64_));
    case varSingle: return FloatToStr(f32_, DefaultFormatSettings());
    case varDouble: return FloatToStr(f64_, DefaultFormatSettings());
    case varCurrency: return currencyText(i64_);
    case varDate: return DateTimeToStr(f64_, DefaultFormatSettings());
    case varBoolean: return i64_ ? u"True" : u"False";
    case varUString: case varOleStr: return p_->wide;
    case varString: return SystemAnsiToString(p_->bytes);
    case varFMTBcd: return BcdRoutines().BcdToStr(p_->bcd);
    default: castError(varUString);
  }
}

AnsiString Variant::AsAnsiString() const {
  if (vt_ == varString) return p_->bytes;
  return StringToSystemAnsi(AsString());
}

// Integer kinds give their value; floating point, dates, currency and text
// holding a number are rounded to nearest, ties to even. The caller checks
// the target's range.
int64_t Variant::roundedToInt64(TVarType target) const {
  auto fromFloat = [&](long double x) -> int64_t {
    if (!std::isfinite(x)) overflowError();
    long double r = roundHalfEven(x);
    if (r < -9223372036854775808.0L || r >= 9223372036854775808.0L) overflowError();
    return int64_t(r);
  };
  switch (vt_) {
    case varEmpty: return 0;
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord:
    case varLongWord: case varInt64: return i64_;
    case varBoolean: return i64_ ? -1 : 0;
    case varUInt64:
      if (u64_ > uint64_t(std::numeric_limits<int64_t>::max())) overflowError();
      return int64_t(u64_);
    case varSingle: return fromFloat(f32_);
    case varDouble: case varDate: return fromFloat(f64_);
    case varCurrency: {
      // Exact half-even division by 10,000.
      int64_t q = i64_ / 10000, r = i64_ % 10000;
      if (r > 5000 || (r == 5000 && (q & 1))) ++q;
      else if (r < -5000 || (r == -5000 && (q & 1))) --q;
      return q;
    }
    case varUString: case varOleStr: case varString: {
      String s = AsString();
      int64_t v;
      if (parseInt64(s, v)) return v;
      long double x;
      if (parseFloat(s, x)) return fromFloat(x);
      bool b;
      if (textToBool(s, b)) return b ? -1 : 0;
      castError(target);
    }
    case varFMTBcd: {
      Currency c;
      if (BcdRoutines().BcdToCurrency(p_->bcd, c)) return Variant(c).roundedToInt64(target);
      return fromFloat(BcdRoutines().ToDouble(p_->bcd));
    }
    default: castError(target);
  }
}

int64_t Variant::AsInt64() const { return roundedToInt64(varInt64); }

int32_t Variant::AsInteger() const {
  int64_t v = roundedToInt64(varInteger);
  if (v < INT32_MIN || v > INT32_MAX) overflowError();
  return int32_t(v);
}

uint64_t Variant::AsUInt64() const {
  if (vt_ == varUInt64) return u64_;
  int64_t v = roundedToInt64(varUInt64);
  if (v < 0) overflowError();
  return uint64_t(v);
}

bool Variant::AsBoolean() const {
  switch (vt_) {
    case varEmpty: return false;
    case varBoolean: case varSmallint: case varInteger: case varShortInt: case varByte:
    case varWord: case varLongWord: case varInt64: case varUInt64: case varCurrency: return i64_ != 0;
    case varSingle: return f32_ != 0;
    case varDouble: case varDate: return f64_ != 0;
    case varUString: case varOleStr: case varString: {
      bool b;
      if (textToBool(AsString(), b)) return b;
      castError(varBoolean);
    }
    case varFMTBcd: return BcdRoutines().ToDouble(p_->bcd) != 0;
    default: castError(varBoolean);
  }
}

double Variant::AsDouble() const {
  switch (vt_) {
    case varEmpty: return 0;
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord:
    case varLongWord: case varInt64: return double(i64_);
    case varBoolean: return i64_ ? -1 : 0;
    case varUInt64: return double(u64_);
    case varSingle: return f32_;
    case varDouble: case varDate: return f64_;
    case varCurrency: return double(i64_) / 10000.0;
    case varUString: case varOleStr: case varString: {
      long double x;
      if (parseFloat(AsString(), x)) return double(x);
      castError(varDouble);
    }
    case varFMTBcd: return BcdRoutines().ToDouble(p_->bcd);
    default: castError(varDouble);
  }
}

float Variant::AsSingle() const {
  double d = AsDouble();
  if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) overflowError();
  return float(d);
}

TDateTime Variant::AsDateTime() const {
  switch (vt_) {
    case varUString: case varOleStr: case varString: castError(varDate);  // text dates are parsed by callers with their settings
    default: return AsDouble();
  }
}

Currency Variant::AsCurrency() const {
  auto fromFloat = [](long double x) {
    Currency c;
    if (!TryExtendedToCurrency(x, c)) overflowError();
    return c;
  };
  switch (vt_) {
    case varCurrency: return Currency::FromScaled(i64_);
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord:
    case varLongWord: case varInt64: case varBoolean: case varEmpty: {
      int64_t v = vt_ == varBoolean ? (i64_ ? -1 : 0) : i64_, r;
      if (__builtin_mul_overflow(v, int64_t(10000), &r)) overflowError();
      return Currency::FromScaled(r);
    }
    case varUInt64:
      if (u64_ > uint64_t(INT64_MAX / 10000)) overflowError();
      return Currency::FromScaled(int64_t(u64_) * 10000);
    case varSingle: return fromFloat(f32_);
    case varDouble: case varDate: return fromFloat(f64_);
    case varUString: case varOleStr: case varString: {
      long double x;
      if (parseFloat(AsString(), x)) return fromFloat(x);
      castError(varCurrency);
    }
    case varFMTBcd: {
      Currency c;
      if (!BcdRoutines().BcdToCurrency(p_->bcd, c)) overflowError();
      return c;
    }
    default: castError(varCurrency);
  }
}

TBcd Variant::AsBcd() const {
  switch (vt_) {
    case varFMTBcd: return p_->bcd;
    case varSingle: case varDouble: case varDate: return BcdRoutines().DoubleToBcd(AsDouble());
    case varNull: default:
      if (IsArray() || vt_ == varNull) castError(varFMTBcd);
      return BcdRoutines().StrToBcd(vt_ == varEmpty ? String(u"0") : AsString());
  }
}

String VarToStr(const Variant& v) { return v.IsNull() ? String() : v.AsString(); }

Variant VarAsType(const Variant& v, TVarType vt) {
  if (v.VarType() == vt) return v;
  if (vt == varEmpty) return Variant();
  if (vt == varNull) return Variant::Null();
  if (v.IsNull() || v.IsArray()) {
    throw EVariantError(SVarTypeCouldNotConvert, {VarTypeAsText(v.VarType()), VarTypeAsText(vt)});
  }
  auto ranged = [&](int64_t lo, int64_t hi) {
    int64_t x = v.AsInt64();
    if (x < lo || x > hi) overflowError();
    return x;
  };
  switch (vt) {
    case varSmallint: return Variant(int16_t(ranged(INT16_MIN, INT16_MAX)));
    case varInteger: return Variant(v.AsInteger());
    case varShortInt: return Variant(int8_t(ranged(INT8_MIN, INT8_MAX)));
    case varByte: return Variant(uint8_t(ranged(0, UINT8_MAX)));
    case varWord: return Variant(uint16_t(ranged(0, UINT16_MAX)));
    case varLongWord: return Variant(uint32_t(ranged(0, UINT32_MAX)));
    case varInt64: return Variant(int64_t(v.AsInt64()));
    case varUInt64: return Variant(uint64_t(v.AsUInt64()));
    case varSingle: return Variant(v.AsSingle());
    case varDouble: return Variant(v.AsDouble());
    case varCurrency: return Variant(v.AsCurrency());
    case varDate: return Variant::FromDate(v.AsDateTime());
    case varBoolean: return Variant(v.AsBoolean());
    case varUString: return Variant(v.AsString());
    case varOleStr: return Variant::FromOleStr(v.AsString());
    case varString: return Variant::FromAnsiString(v.AsAnsiString());
    case varFMTBcd: return Variant(v.AsBcd());
    default:
      throw EVariantError(SVarTypeCouldNotConvert, {VarTypeAsText(v.VarType()), VarTypeAsText(vt)});
  }
}

int32_t VarArrayLowBound(const Variant& v, int dim) {
  if (!v.IsArray() || dim != 1) throw EVariantError(u"Variant array bounds error");
  return 0;
}

int32_t VarArrayHighBound(const Variant& v, int dim) {
  if (!v.IsArray() || dim != 1) throw EVariantError(u"Variant array bounds error");
  return int32_t(v.ArrayCount()) - 1;
}

// ---------------------------------------------------------------------------
// Default packed-decimal routines: plain, exact digit handling.

namespace {

int bcdPlaces(const TBcd& b) { return b.SignSpecialPlaces & 0x3F; }
bool bcdNegative(const TBcd& b) { return (b.SignSpecialPlaces & 0x80) != 0; }
int bcdDigit(const TBcd& b, int i) { return (i & 1) ? b.Fraction[i / 2] & 0x0F : b.Fraction[i / 2] >> 4; }

// Integer digits without leading zeros, fraction digits without trailing zeros.
void bcdParts(const TBcd& b, std::string& intPart, std::string& fracPart) {
  int n = b.Precision > 64 ? 64 : b.Precision, places = bcdPlaces(b) > n ? n : bcdPlaces(b);
  intPart.clear();
  fracPart.clear();
  for (int i = 0; i < n - places; ++i) {
    if (!intPart.empty() || bcdDigit(b, i)) intPart += char('0' + bcdDigit(b, i));
  }
  for (int i = n - places; i < n; ++i) fracPart += char('0' + bcdDigit(b, i));
  while (!fracPart.empty() && fracPart.back() == '0') fracPart.pop_back();
}

String defaultBcdToStr(const TBcd& b) {
  std::string ip, fp;
  bcdParts(b, ip, fp);
  String out;
  if (ip.empty() && fp.empty()) return u"0";
  if (bcdNegative(b)) out += u'-';
  out += ip.empty() ? u"0" : ascii(ip);
  if (!fp.empty()) out += DefaultFormatSettings().DecimalSeparator + ascii(fp);
  return out;
}

bool defaultTryStrToBcdSep(const String& text, TBcd& bcd, char16_t sep) {
  bcd = TBcd();
  size_t b = text.find_first_not_of(u' '), e = text.find_last_not_of(u' ');
  if (b == String::npos) { bcd.Precision = 8; bcd.SignSpecialPlaces = 2; return true; }
  std::u16string_view s(text.data() + b, e - b + 1);
  bool neg = false;
  if (s[0] == u'-' || s[0] == u'+') { neg = s[0] == u'-'; s.remove_prefix(1); }
  std::string digits;
  int places = -1;
  for (char16_t c : s) {
    if (c >= u'0' && c <= u'9') {
      if (digits.empty() && c == u'0' && places < 0) continue;  // leading zeros
      digits += char(c);
      if (places >= 0) ++places;
    } else if (c == sep && places < 0) {
      places = 0;
    } else {
      return false;
    }
  }
  if (places < 0) places = 0;
  if (digits.size() > 64 || places > 63) return false;
  if (digits.empty()) { bcd.Precision = 8; bcd.SignSpecialPlaces = 2; return true; }
  bcd.Precision = uint8_t(digits.size());
  bcd.SignSpecialPlaces = uint8_t(places | (neg ? 0x80 : 0));
  for (size_t i = 0; i < digits.size(); ++i) {
    uint8_t d = uint8_t(digits[i] - '0');
    bcd.Fraction[i / 2] |= (i & 1) ? d : uint8_t(d << 4);
  }
  return true;
}

bool defaultTryStrToBcd(const String& text, TBcd& bcd) {
  return defaultTryStrToBcdSep(text, bcd, DefaultFormatSettings().DecimalSeparator);
}

TBcd defaultStrToBcdSep(const String& text, char16_t sep) {
  TBcd b;
  if (!defaultTryStrToBcdSep(text, b, sep)) throw EConvertError(u"%s is not a valid BCD value", {text});
  return b;
}

TBcd defaultStrToBcd(const String& text) { return defaultStrToBcdSep(text, DefaultFormatSettings().DecimalSeparator); }

long double bcdToLongDouble(const TBcd& b) {
  std::string ip, fp;
  bcdParts(b, ip, fp);
  std::string s = (bcdNegative(b) ? "-" : "") + (ip.empty() ? std::string("0") : ip) + "." + fp + "0";
  long double x = 0;
  TryParseDecimal(s, x);  // digits and one point: always well formed
  return x;
}

double defaultBcdToDouble(const TBcd& b) { return double(bcdToLongDouble(b)); }

TBcd defaultDoubleToBcd(double x) {
  if (!std::isfinite(x)) throw EConvertError(u"%s is not a valid BCD value", {FloatToStr(x, DefaultFormatSettings())});
  // Keep 15 significant digits, as the float text form does.
  std::string s = (std::signbit(x) ? "-" : "") + FixedText(x, 15);
  size_t firstSig = s.find_first_of("123456789");
  if (firstSig != std::string::npos) {
    size_t kept = 0;
    for (size_t i = firstSig; i < s.size(); ++i) {
      if (s[i] == '.') continue;
      if (++kept > 15) s[i] = '0';
    }
  }
  return defaultStrToBcdSep(ascii(s), u'.');
}

bool defaultBcdToCurrency(const TBcd& b, Currency& c) {
  if (b.Precision == 0) return false;
  return TryExtendedToCurrency(bcdToLongDouble(b), c);
}

int defaultBcdCompare(const TBcd& a, const TBcd& b) {
  std::string ai, af, bi, bf;
  bcdParts(a, ai, af);
  bcdParts(b, bi, bf);
  bool aZero = ai.empty() && af.empty(), bZero = bi.empty() && bf.empty();
  int as = aZero ? 0 : bcdNegative(a) ? -1 : 1, bs = bZero ? 0 : bcdNegative(b) ? -1 : 1;
  if (as != bs) return as < bs ? -1 : 1;
  if (as == 0) return 0;
  size_t w = af.size() > bf.size() ? af.size() : bf.size();
  af.resize(w, '0');
  bf.resize(w, '0');
  int mag = ai.size() != bi.size() ? (ai.size() < bi.size() ? -1 : 1)
                                   : (ai + af).compare(bi + bf) < 0 ? -1 : (ai + af) == (bi + bf) ? 0 : 1;
  return as * mag;
}

}  // namespace

TBcdRoutines& BcdRoutines() {
  static TBcdRoutines routines{defaultBcdCompare,   defaultBcdToDouble,   defaultStrToBcd,
                               defaultStrToBcdSep,  defaultDoubleToBcd,   defaultTryStrToBcd,
                               defaultTryStrToBcdSep, defaultBcdToCurrency, defaultBcdToStr};
  return routines;
}
