// Platform layer: exceptions and the format routine.
//
// Floating-point conversion works as the platform's does: the value is first
// turned into 18 significant decimal digits, and those are rounded half away
// from zero to the digits asked for. So 0.125 with two decimals is "0.13",
// where the C library would round the exact binary tie to even.
#include "platform/SysUtils.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

TFormatSettings& DefaultFormatSettings() {
  static TFormatSettings settings;
  return settings;
}

// ---------------------------------------------------------------------------
// Exceptions

Exception::Exception(const String& msg) : message_(msg), what_(UTF8Encode(msg)) {}

Exception::Exception(std::u16string_view fmt, std::initializer_list<TVarRec> args)
    : Exception(Format(fmt, args)) {}

Exception::~Exception() = default;

void Exception::SetMessage(const String& msg) {
  message_ = msg;
  what_ = UTF8Encode(msg);
}

String ExceptionMessageOf(const std::exception& e) {
  if (auto* ex = dynamic_cast<const Exception*>(&e)) return ex->Message();
  return UTF8ToString(e.what());
}

String ExceptionClassNameOf(const std::exception& e) {
  if (auto* ex = dynamic_cast<const Exception*>(&e)) return ex->ClassName();
  return u"std::exception";
}

void OutOfMemoryError() { throw EOutOfMemory(SOutOfMemory); }
void InvalidPointerError() { throw EInvalidPointer(SInvalidPointer); }

void mvAssertFailed(const char* expr, const char* file, int line) {
  throw EAssertionFailed(Format(SAssertionFailed, {expr, file, line}));
}

// ---------------------------------------------------------------------------
// Number text

String IntToStr(int64_t v) { return AsciiToString(std::to_string(v)); }

uint32_t GetLastOSError() { return static_cast<uint32_t>(errno); }

String GetTempPath() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = dir && *dir ? dir : "/tmp";
  if (path.back() != '/') path += '/';
  return UTF8ToString(path);
}

String SysErrorMessage(uint32_t errorCode) {
  char buf[256];
  // The GNU strerror_r may return a static text instead of filling buf.
  const char* text = strerror_r(static_cast<int>(errorCode), buf, sizeof buf);
  return UTF8ToString(text);
}

String IntToHex(uint64_t v, int digits) {
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "%0*llX", digits, static_cast<unsigned long long>(v));
  return String(buf, buf + n);
}

// ---------------------------------------------------------------------------
// Decimal text of floating-point numbers (locale-free: to_chars, from_chars)

void ScientificDigits(Extended x, int fractionDigits, std::string& digits, int& exp10) {
  char buf[128];
  // "d.ddde[+-]xx", or "de[+-]xx" without fraction digits
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific, fractionDigits);
  const char* e = std::find(buf, r.ptr, 'e');
  digits.assign(1, buf[0]);
  if (e - buf > 2) digits.append(buf + 2, static_cast<size_t>(e - (buf + 2)));
  exp10 = 0;
  const char* exp = e + 1;
  if (exp < r.ptr && *exp == '+') ++exp;
  std::from_chars(exp, r.ptr, exp10);
}

std::string FixedText(double x, int places) {
  char buf[400];  // DBL_MAX has 309 integer digits
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::fixed, places);
  return std::string(buf, r.ptr);
}

namespace {
template <typename T>
bool tryParse(std::string_view text, T& value) {
  T v{};
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return false;
  value = v;
  return true;
}
}  // namespace

bool TryParseDecimal(std::string_view text, Extended& value) { return tryParse(text, value); }
bool TryParseDecimal(std::string_view text, double& value) { return tryParse(text, value); }

namespace {

// Decimal digits of a finite value: `digits` holds up to 18 significant digits
// (no leading zeros unless the value is 0), the value is 0.d1d2... x 10^(exp+1),
// that is `exp` is the decimal exponent of the first digit.
struct DecimalDigits {
  std::string digits;
  int exp = 0;
  bool negative = false;
};

DecimalDigits toDecimal(long double v) {
  DecimalDigits d;
  d.negative = std::signbit(v);
  if (v == 0) {
    d.digits = "0";
    return d;
  }
  ScientificDigits(v, 17, d.digits, d.exp);
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  return d;
}

// Keeps `keep` significant digits, rounding half away from zero; the result
// may gain a digit ("999" -> "1000" with exp + 1). keep <= 0 leaves either
// nothing or a single carried "1".
void roundDigits(DecimalDigits& d, int keep) {
  if (keep >= static_cast<int>(d.digits.size())) return;
  if (keep < 0) {
    d.digits = "0";
    d.exp = 0;
    return;
  }
  bool up = d.digits[keep] >= '5';
  d.digits.resize(keep);
  if (up) {
    int i = keep - 1;
    while (i >= 0 && d.digits[i] == '9') d.digits[i--] = '0';
    if (i >= 0) {
      ++d.digits[i];
    } else {
      d.digits.insert(d.digits.begin(), '1');
      ++d.exp;
    }
  }
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  if (d.digits.empty()) {
    d.digits = "0";
    d.exp = 0;
  }
  if (d.digits == "0") d.exp = 0;
}

bool isZero(const DecimalDigits& d) { return d.digits == "0"; }

char digitAt(const DecimalDigits& d, int pos) {  // pos 0 = first digit
  return pos >= 0 && pos < static_cast<int>(d.digits.size()) ? d.digits[pos] : '0';
}

// Fixed notation without sign: integer part (optionally grouped), decimals.
String fixedText(long double v, int decimals, const TFormatSettings* grouping, char16_t decimalSep,
                 bool& negative) {
  DecimalDigits d = toDecimal(v);
  if (!isZero(d)) roundDigits(d, d.exp + 1 + decimals);
  negative = d.negative && !isZero(d);
  std::string intPart;
  if (isZero(d) || d.exp < 0) {
    intPart = "0";
  } else {
    for (int i = 0; i <= d.exp; ++i) intPart += digitAt(d, i);
  }
  String out;
  if (grouping) {
    int n = static_cast<int>(intPart.size());
    for (int i = 0; i < n; ++i) {
      if (i > 0 && (n - i) % 3 == 0) out += grouping->ThousandSeparator;
      out += static_cast<char16_t>(intPart[i]);
    }
  } else {
    out = AsciiToString(intPart);
  }
  if (decimals > 0) {
    out += decimalSep;
    for (int i = 1; i <= decimals; ++i) out += static_cast<char16_t>(isZero(d) ? '0' : digitAt(d, d.exp + i));
  }
  return out;
}

String exponentText(int exp, bool forceSign, int minDigits) {
  String out = u"E";
  if (exp < 0) out += u'-';
  else if (forceSign) out += u'+';
  std::string digits = std::to_string(exp < 0 ? -exp : exp);
  while (static_cast<int>(digits.size()) < minDigits) digits.insert(digits.begin(), '0');
  return out + AsciiToString(digits);
}

// Scientific notation: `precision` significant digits, exponent with sign and
// at least three digits ("1.00000000000000E+000").
String scientificText(long double v, int precision, char16_t decimalSep, bool& negative) {
  DecimalDigits d = toDecimal(v);
  roundDigits(d, precision);
  negative = d.negative && !isZero(d);
  String out(1, static_cast<char16_t>(d.digits[0]));
  if (precision > 1) {
    out += decimalSep;
    for (int i = 1; i < precision; ++i) out += static_cast<char16_t>(digitAt(d, i));
  }
  return out + exponentText(d.exp, true, 3);
}

// General notation: the shortest of fixed and scientific with `precision`
// significant digits; fixed while the value is at least 0.00001 and has no
// more than `precision` digits before the point.
String generalText(long double v, int precision, char16_t decimalSep, bool& negative) {
  DecimalDigits d = toDecimal(v);
  roundDigits(d, precision);
  negative = d.negative && !isZero(d);
  if (isZero(d)) return u"0";
  int n = static_cast<int>(d.digits.size());
  String out;
  if (d.exp >= -5 && d.exp < precision) {
    if (d.exp < 0) {
      out = u"0";
      out += decimalSep;
      for (int i = -1; i > d.exp; --i) out += u'0';
      out += AsciiToString(d.digits);
    } else {
      for (int i = 0; i <= d.exp; ++i) out += static_cast<char16_t>(digitAt(d, i));
      if (n > d.exp + 1) {
        out += decimalSep;
        for (int i = d.exp + 1; i < n; ++i) out += static_cast<char16_t>(d.digits[i]);
      }
    }
    return out;
  }
  out = String(1, static_cast<char16_t>(d.digits[0]));
  if (n > 1) {
    out += decimalSep;
    for (int i = 1; i < n; ++i) out += static_cast<char16_t>(d.digits[i]);
  }
  // Unlike %e, the general form writes no "+" before a positive exponent.
  return out + exponentText(d.exp, false, 3);
}

String currencyText(long double v, int decimals, const TFormatSettings& fs) {
  bool negative = false;
  String num = fixedText(v, decimals, &fs, fs.DecimalSeparator, negative);
  const String& cs = fs.CurrencyString;
  if (!negative) {
    switch (fs.CurrencyFormat) {
      case 1: return num + cs;
      case 2: return cs + u" " + num;
      case 3: return num + u" " + cs;
      default: return cs + num;
    }
  }
  switch (fs.NegCurrFormat) {
    case 0: return u"(" + cs + num + u")";
    case 2: return cs + u"-" + num;
    case 3: return cs + num + u"-";
    case 4: return u"(" + num + cs + u")";
    case 5: return u"-" + num + cs;
    case 6: return num + u"-" + cs;
    case 7: return num + cs + u"-";
    case 8: return u"-" + num + u" " + cs;
    case 9: return u"-" + cs + u" " + num;
    case 10: return num + u" " + cs + u"-";
    case 11: return cs + u" " + num + u"-";
    case 12: return cs + u" -" + num;
    case 13: return num + u"- " + cs;
    case 14: return u"(" + cs + u" " + num + u")";
    case 15: return u"(" + num + u" " + cs + u")";
    default: return u"-" + cs + num;
  }
}

[[noreturn]] void formatError(std::u16string_view fmt) {
  throw EConvertError(Format(SInvalidFormat, {String(fmt)}));
}

class Formatter {
 public:
  Formatter(std::u16string_view fmt, std::initializer_list<TVarRec> args, const TFormatSettings& fs)
      : fmt_(fmt), args_(args.begin()), count_(static_cast<int>(args.size())), fs_(fs) {}

  String run() {
    String out;
    size_t i = 0;
    while (i < fmt_.size()) {
      char16_t c = fmt_[i++];
      if (c != u'%') {
        out += c;
        continue;
      }
      if (i >= fmt_.size()) formatError(fmt_);
      if (fmt_[i] == u'%') {
        out += u'%';
        ++i;
        continue;
      }
      out += spec(i);
    }
    return out;
  }

 private:
  // Reads a decimal number or '*' (the next argument); -1 when absent.
  int number(size_t& i) {
    if (i < fmt_.size() && fmt_[i] == u'*') {
      ++i;
      const TVarRec& a = next();
      if (a.kind() != TVarRec::vtInteger) formatError(fmt_);
      return static_cast<int>(a.asInt64());
    }
    if (i >= fmt_.size() || fmt_[i] < u'0' || fmt_[i] > u'9') return -1;
    int n = 0;
    while (i < fmt_.size() && fmt_[i] >= u'0' && fmt_[i] <= u'9') {
      n = n * 10 + (fmt_[i++] - u'0');
      if (n > 100000) formatError(fmt_);
    }
    return n;
  }

  const TVarRec& next() {
    if (argIndex_ >= count_) formatError(fmt_);
    return args_[argIndex_++];
  }

  String spec(size_t& i) {
    // [index:]
    int n = number(i);
    if (i < fmt_.size() && fmt_[i] == u':') {
      ++i;
      if (n < 0) n = 0;
      argIndex_ = n;
      n = -1;
    }
    bool left = false;
    if (n < 0 && i < fmt_.size() && fmt_[i] == u'-') {
      left = true;
      ++i;
    }
    int width = n >= 0 ? n : number(i);
    int prec = -1;
    if (i < fmt_.size() && fmt_[i] == u'.') {
      ++i;
      prec = number(i);
      if (prec < 0) prec = 0;
    }
    if (i >= fmt_.size()) formatError(fmt_);
    char16_t type = fmt_[i++];
    if (type >= u'a' && type <= u'z') type = static_cast<char16_t>(type - u'a' + u'A');
    String text = convert(type, prec, next());
    if (width > static_cast<int>(text.size())) {
      String pad(width - text.size(), u' ');
      text = left ? text + pad : pad + text;
    }
    return text;
  }

  static bool isInteger(const TVarRec& a) {
    return a.kind() == TVarRec::vtInteger || a.kind() == TVarRec::vtInt64 || a.kind() == TVarRec::vtUInt64;
  }

  long double floatArg(const TVarRec& a) {
    if (a.kind() == TVarRec::vtExtended) return a.asExtended();
    if (a.kind() == TVarRec::vtCurrency) return static_cast<long double>(a.asInt64()) / 10000;
    formatError(fmt_);
  }

  // Runs one of the text builders and puts the sign in front when it says so.
  template <typename Builder>
  static String signedFloat(Builder build) {
    bool negative = false;
    String body = build(negative);
    return negative ? u"-" + body : body;
  }

  String convert(char16_t type, int prec, const TVarRec& a) {
    switch (type) {
      case u'D':
      case u'U': {
        if (!isInteger(a)) formatError(fmt_);
        std::string digits;
        bool negative = false;
        if (a.kind() == TVarRec::vtUInt64) {
          digits = std::to_string(a.asUInt64());
        } else if (type == u'U' && a.asInt64() < 0) {
          uint64_t u = a.kind() == TVarRec::vtInteger ? static_cast<uint32_t>(a.asInt64())
                                                      : static_cast<uint64_t>(a.asInt64());
          digits = std::to_string(u);
        } else {
          int64_t v = a.asInt64();
          negative = v < 0;
          digits = std::to_string(v);
          if (negative) digits.erase(0, 1);
        }
        while (prec > static_cast<int>(digits.size())) digits.insert(digits.begin(), '0');
        return (negative ? u"-" : u"") + AsciiToString(digits);
      }
      case u'X': {
        if (!isInteger(a)) formatError(fmt_);
        uint64_t u = a.kind() == TVarRec::vtUInt64   ? a.asUInt64()
                     : a.kind() == TVarRec::vtInteger ? static_cast<uint32_t>(a.asInt64())
                                                      : static_cast<uint64_t>(a.asInt64());
        return IntToHex(u, prec < 0 ? 0 : prec);
      }
      case u'E':
        return signedFloat([&](bool& negative) { return scientificText(floatArg(a), prec < 0 || prec > 18 ? 15 : (prec == 0 ? 1 : prec),
                                          fs_.DecimalSeparator, negative); });
      case u'F':
        return signedFloat([&](bool& negative) { return fixedText(floatArg(a), prec < 0 ? 2 : std::min(prec, 18), nullptr,
                                     fs_.DecimalSeparator, negative); });
      case u'G':
        return signedFloat([&](bool& negative) { return generalText(floatArg(a), prec < 0 || prec > 18 ? 15 : (prec == 0 ? 1 : prec),
                                       fs_.DecimalSeparator, negative); });
      case u'N':
        return signedFloat([&](bool& negative) { return fixedText(floatArg(a), prec < 0 ? 2 : std::min(prec, 18), &fs_,
                                     fs_.DecimalSeparator, negative); });
      case u'M':
        return currencyText(floatArg(a), prec < 0 ? fs_.CurrencyDecimals : std::min(prec, 18), fs_);
      case u'P': {
        if (a.kind() != TVarRec::vtPointer) formatError(fmt_);
        return IntToHex(reinterpret_cast<uintptr_t>(a.asPointer()), 16);
      }
      case u'S': {
        if (a.kind() != TVarRec::vtString && a.kind() != TVarRec::vtChar) formatError(fmt_);
        const String& s = a.asString();
        return prec >= 0 && prec < static_cast<int>(s.size()) ? s.substr(0, prec) : s;
      }
      default:
        formatError(fmt_);
    }
  }

  std::u16string_view fmt_;
  const TVarRec* args_;
  int count_;
  int argIndex_ = 0;
  const TFormatSettings& fs_;
};

}  // namespace

String Format(std::u16string_view fmt, std::initializer_list<TVarRec> args, const TFormatSettings& settings) {
  return Formatter(fmt, args, settings).run();
}

String Format(std::u16string_view fmt, std::initializer_list<TVarRec> args) {
  return Format(fmt, args, DefaultFormatSettings());
}

void FloatToDecimal(TFloatRec& rec, Extended value, int precision, int decimals) {
  rec = TFloatRec();
  if (std::isnan(value)) {
    rec.Exponent = FloatRecNaN;
    return;
  }
  if (std::isinf(value)) {
    rec.Exponent = FloatRecInfinity;
    rec.Negative = value < 0;
    return;
  }
  DecimalDigits d = toDecimal(value);
  if (!isZero(d)) roundDigits(d, std::min(std::min(precision, 18), d.exp + 1 + decimals));
  if (isZero(d)) return;
  rec.Exponent = d.exp + 1;
  rec.Negative = d.negative;
  rec.Digits = d.digits;
}
