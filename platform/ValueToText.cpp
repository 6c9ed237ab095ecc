// Platform layer: numbers and date-time values as text with explicit format
// settings. See ValueToText.h.
#include "platform/ValueToText.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/DateUtils.h"

namespace {

String ascii(const std::string& s) { return AsciiToString(s); }

// 15 significant digits, the shortest of fixed and scientific ("1E20",
// "1.5E-7"), as the platform's general float format.
String floatText(long double x, const TFormatSettings& fs) {
  if (std::isnan(x)) return u"NAN";
  if (std::isinf(x)) return x < 0 ? u"-INF" : u"INF";
  if (x == 0) return u"0";
  const bool neg = std::signbit(x);
  std::string digits;
  int exp10;
  ScientificDigits(x, 14, digits, exp10);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const char16_t sep = fs.DecimalSeparator;
  String out = neg ? u"-" : u"";
  if (exp10 < -4 || exp10 >= 15) {
    out += char16_t(digits[0]);
    if (digits.size() > 1) out += sep + ascii(digits.substr(1));
    out += u"E" + IntToStr(exp10);
  } else if (exp10 < 0) {
    out += u"0";
    out += sep;
    out += String(size_t(-exp10 - 1), u'0') + ascii(digits);
  } else {
    if (digits.size() <= size_t(exp10) + 1) {
      out += ascii(digits) + String(size_t(exp10) + 1 - digits.size(), u'0');
    } else {
      out += ascii(digits.substr(0, size_t(exp10) + 1));
      out += sep;
      out += ascii(digits.substr(size_t(exp10) + 1));
    }
  }
  return out;
}

String pad(unsigned v, size_t width) {
  String s = ascii(std::to_string(v));
  return s.size() < width ? String(width - s.size(), u'0') + s : s;
}

// Applies one of the format settings' date or time patterns (y, M, d, H/h,
// m after an hour is minutes, s; '/' and ':' become the separators).
String applyPattern(const TFormatSettings& fs, const String& pattern, int y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s) {
  String out;
  bool afterHour = false;
  for (size_t i = 0; i < pattern.size();) {
    char16_t c = pattern[i];
    size_t n = 1;
    while (i + n < pattern.size() && pattern[i + n] == c) ++n;
    char16_t lc = c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c;
    if (lc == u'y') out += n <= 2 ? pad(unsigned(y % 100), 2) : pad(unsigned(y), 4);
    else if (lc == u'm' && afterHour) out += pad(mi, n >= 2 ? 2 : 1);
    else if (lc == u'm') out += pad(mo, n >= 2 ? 2 : 1);
    else if (lc == u'd') out += pad(d, n >= 2 ? 2 : 1);
    else if (lc == u'h') out += pad(h, n >= 2 ? 2 : 1);
    else if (lc == u'n') out += pad(mi, n >= 2 ? 2 : 1);
    else if (lc == u's') out += pad(s, n >= 2 ? 2 : 1);
    else if (c == u'/') out += String(n, fs.DateSeparator);
    else if (c == u':') out += String(n, fs.TimeSeparator);
    else out += String(n, c);
    if (lc == u'h') afterHour = true;
    else if (lc == u'm' || lc == u'n' || lc == u'y' || lc == u'd' || lc == u's') afterHour = false;
    i += n;
  }
  return out;
}

}  // namespace

String FloatToStr(Extended value, const TFormatSettings& settings) { return floatText(value, settings); }

String DateToStr(TDateTime value, const TFormatSettings& settings) {
  uint16_t y, mo, d;
  DecodeDate(value, y, mo, d);
  return applyPattern(settings, settings.ShortDateFormat, y, mo, d, 0, 0, 0);
}

String TimeToStr(TDateTime value, const TFormatSettings& settings) {
  uint16_t h, mi, s, ms;
  DecodeTime(value, h, mi, s, ms);
  return applyPattern(settings, settings.LongTimeFormat, 0, 0, 0, h, mi, s);
}

String DateTimeToStr(TDateTime value, const TFormatSettings& settings) {
  uint16_t y, mo, d, h, mi, sec, ms;
  DecodeDateTime(value, y, mo, d, h, mi, sec, ms);
  String out = applyPattern(settings, settings.ShortDateFormat, y, mo, d, 0, 0, 0);
  if (h || mi || sec || ms) out += u" " + applyPattern(settings, settings.LongTimeFormat, y, mo, d, h, mi, sec);
  return out;
}
