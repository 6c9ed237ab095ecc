// Platform layer: numbers and date-time values read from text with explicit
// format settings (see TextToValue.h).
#include "platform/TextToValue.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "platform/DateUtils.h"

namespace {

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

std::u16string_view trimBlanks(std::u16string_view s) {
  while (!s.empty() && s.front() == u' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == u' ') s.remove_suffix(1);
  return s;
}

// A cursor over text that is read left to right.
struct Scanner {
  std::u16string_view s;
  size_t pos = 0;

  bool atEnd() const { return pos == s.size(); }
  void skipBlanks() {
    while (pos < s.size() && s[pos] == u' ') ++pos;
  }
  bool take(char16_t c) {
    if (pos < s.size() && s[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  }
  // An unsigned decimal of 1 to 9 digits (more cannot name a date part).
  bool number(int32_t& value, int& digits) {
    value = 0;
    digits = 0;
    while (pos < s.size() && isDigit(s[pos])) {
      if (++digits > 9) return false;
      value = value * 10 + (s[pos++] - u'0');
    }
    return digits > 0;
  }
  bool number(int32_t& value) {
    int digits;
    return number(value, digits);
  }
  // "AM" or "PM" in any case: 0 for neither, 1 for AM, 2 for PM.
  int amPm() {
    if (s.size() - pos < 2) return 0;
    const char16_t a = s[pos] | 0x20, m = s[pos + 1] | 0x20;
    if (m != u'm' || (a != u'a' && a != u'p')) return 0;
    pos += 2;
    return a == u'a' ? 1 : 2;
  }
};

enum class DateOrder { MonthDayYear, DayMonthYear, YearMonthDay };

// The order of the first of the letters y, M and d in the short date format.
DateOrder dateOrderOf(const String& format) {
  for (char16_t c : format) {
    switch (c | 0x20) {
      case u'y': return DateOrder::YearMonthDay;
      case u'm': return DateOrder::MonthDayYear;
      case u'd': return DateOrder::DayMonthYear;
      default: break;
    }
  }
  return DateOrder::MonthDayYear;
}

int32_t currentYear() {
  uint16_t y, m, d;
  DecodeDate(Date(), y, m, d);
  return y;
}

// A year of one or two digits within the hundred years that start 50 years
// before the current year.
int32_t expandShortYear(int32_t year) {
  const int32_t first = currentYear() - 50;
  year += first / 100 * 100;
  if (year < first) year += 100;
  return year;
}

bool encodeDate(int32_t y, int32_t m, int32_t d, TDateTime& date) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > 31) return false;
  return TryEncodeDate(static_cast<uint16_t>(y), static_cast<uint16_t>(m), static_cast<uint16_t>(d), date);
}

bool scanDate(Scanner& sc, const TFormatSettings& fs, TDateTime& date) {
  int32_t n[3];
  int digits[3];
  int count = 0;
  if (!sc.number(n[0], digits[0])) return false;
  for (count = 1; count < 3 && sc.take(fs.DateSeparator); ++count) {
    if (!sc.number(n[count], digits[count])) return false;
  }
  if (count < 2) return false;
  const DateOrder order = dateOrderOf(fs.ShortDateFormat);
  int32_t y, m, d, yearDigits;
  if (count == 2) {
    y = currentYear();
    yearDigits = 4;
    if (order == DateOrder::DayMonthYear) d = n[0], m = n[1];
    else m = n[0], d = n[1];
  } else if (order == DateOrder::YearMonthDay) {
    y = n[0], m = n[1], d = n[2], yearDigits = digits[0];
  } else if (order == DateOrder::DayMonthYear) {
    d = n[0], m = n[1], y = n[2], yearDigits = digits[2];
  } else {
    m = n[0], d = n[1], y = n[2], yearDigits = digits[2];
  }
  if (yearDigits <= 2) y = expandShortYear(y);
  return encodeDate(y, m, d, date);
}

bool scanTime(Scanner& sc, const TFormatSettings& fs, TDateTime& time) {
  int32_t h, m, s = 0, ms = 0;
  if (!sc.number(h) || !sc.take(fs.TimeSeparator) || !sc.number(m)) return false;
  if (sc.take(fs.TimeSeparator)) {
    if (!sc.number(s)) return false;
    if (sc.take(fs.DecimalSeparator)) {
      int digits;
      if (!sc.number(ms, digits) || digits > 3) return false;
      for (; digits < 3; ++digits) ms *= 10;
    }
  }
  sc.skipBlanks();
  if (const int half = sc.amPm()) {
    if (h > 12) return false;
    if (half == 1 && h == 12) h = 0;
    if (half == 2 && h < 12) h += 12;
  }
  if (h > 23 || m > 59 || s > 59) return false;
  return TryEncodeTime(static_cast<uint16_t>(h), static_cast<uint16_t>(m), static_cast<uint16_t>(s),
                       static_cast<uint16_t>(ms), time);
}

int hexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Val for a signed integer of T's range. The magnitude grows as unsigned,
// so that the most negative value needs no positive counterpart.
template <typename T>
bool valInteger(std::u16string_view s, T& value, bool* overflow) {
  using U = std::make_unsigned_t<T>;
  if (overflow) *overflow = false;
  size_t i = 0;
  while (i < s.size() && s[i] == u' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
  unsigned base = 10;
  if (i < s.size() && (s[i] == u'$' || s[i] == u'x' || s[i] == u'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
    base = 16;
    i += 2;
  }
  const U limit = negative ? U(std::numeric_limits<T>::max()) + 1 : U(std::numeric_limits<T>::max());
  U magnitude = 0;
  const size_t first = i;
  bool stopped = false;
  for (; i < s.size(); ++i) {
    const int d = base == 16 ? hexDigit(s[i]) : isDigit(s[i]) ? s[i] - u'0' : -1;
    if (d < 0) {
      stopped = true;
      break;
    }
    if (magnitude > (limit - U(d)) / base) {
      if (overflow) *overflow = true;
      stopped = true;
      break;
    }
    magnitude = magnitude * base + U(d);
  }
  value = negative ? T(U(0) - magnitude) : T(magnitude);
  return !stopped && i > first;
}

}  // namespace

bool ValInt32(std::u16string_view text, int32_t& value, bool* overflow) {
  return valInteger<int32_t>(text, value, overflow);
}

bool ValInt64(std::u16string_view text, int64_t& value, bool* overflow) {
  return valInteger<int64_t>(text, value, overflow);
}

bool ValFloat(std::u16string_view text, Extended& value) {
  size_t i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  // The number as plain ASCII for the C++ reader, which no C locale changes.
  std::string plain;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    if (text[i] == u'-') plain += '-';
    ++i;
  }
  int digits = 0, scale = 0;  // scale: the decimal exponent of the first significant digit, roughly
  bool point = false, significant = false;
  for (; i < text.size(); ++i) {
    if (isDigit(text[i])) {
      plain += static_cast<char>(text[i]);
      ++digits;
      if (text[i] != u'0') significant = true;
      if (!point && significant) ++scale;
      if (point && !significant) --scale;
    } else if (text[i] == u'.' && !point) {
      plain += '.';
      point = true;
    } else {
      break;
    }
  }
  bool whole = digits > 0;
  if (whole && i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
    std::string exponent = "e";
    size_t j = i + 1;
    if (j < text.size() && (text[j] == u'+' || text[j] == u'-')) exponent += static_cast<char>(text[j++]);
    const size_t first = j;
    for (; j < text.size() && isDigit(text[j]); ++j) exponent += static_cast<char>(text[j]);
    if (j > first) {
      plain += exponent;
      i = j;
      // An exponent of more digits than any value needs stays beyond the range.
      int e = 0;
      for (size_t k = first; k < j && e < 100000; ++k) e = e * 10 + (text[k] - u'0');
      scale += exponent[1] == '-' ? -e : e;
    }
  }
  whole = whole && i == text.size();
  if (digits == 0) {
    value = 0;
    return false;
  }
  Extended v = 0;
  const auto [end, error] = std::from_chars(plain.data(), plain.data() + plain.size(), v);
  if (error == std::errc::result_out_of_range) {
    // Beyond the range: an infinity when the number is large, zero when small.
    const bool negative = plain[0] == '-';
    v = scale > 0 ? std::numeric_limits<Extended>::infinity() : Extended(0);
    value = negative ? -v : v;
    return false;
  }
  value = v;
  return whole && error == std::errc() && end == plain.data() + plain.size();
}

bool TryStrToFloat(std::u16string_view text, Extended& value, const TFormatSettings& settings) {
  const std::u16string_view s = trimBlanks(text);
  // The number again with '.' as its separator, for the C++ reader (which
  // does not depend on the C library's locale).
  std::string plain;
  size_t i = 0;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
    if (s[i] == u'-') plain += '-';
    ++i;
  }
  int digits = 0;
  bool separator = false;
  for (; i < s.size(); ++i) {
    if (isDigit(s[i])) {
      plain += static_cast<char>(s[i]);
      ++digits;
    } else if (s[i] == settings.DecimalSeparator && !separator) {
      plain += '.';
      separator = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
    plain += 'e';
    if (++i < s.size() && (s[i] == u'+' || s[i] == u'-')) plain += static_cast<char>(s[i++]);
    const size_t first = i;
    for (; i < s.size() && isDigit(s[i]); ++i) plain += static_cast<char>(s[i]);
    if (i == first) return false;
  }
  if (i != s.size()) return false;
  Extended v;
  const auto [end, error] = std::from_chars(plain.data(), plain.data() + plain.size(), v);
  if (error != std::errc() || end != plain.data() + plain.size()) return false;
  value = v;
  return true;
}

Extended StrToFloat(std::u16string_view text, const TFormatSettings& settings) {
  Extended v;
  if (!TryStrToFloat(text, v, settings)) throw EConvertError(SInvalidFloat, {text});
  return v;
}

bool TryStrToDateTime(std::u16string_view text, TDateTime& value, const TFormatSettings& settings) {
  Scanner sc{trimBlanks(text)};
  TDateTime date, time;
  if (scanDate(sc, settings, date)) {
    if (sc.atEnd()) {
      value = date;
      return true;
    }
    const size_t dateEnd = sc.pos;
    sc.skipBlanks();
    if (sc.pos == dateEnd || !scanTime(sc, settings, time) || !sc.atEnd()) return false;
    value = date < 0 ? date - time : date + time;
    return true;
  }
  sc.pos = 0;
  if (!scanTime(sc, settings, time) || !sc.atEnd()) return false;
  value = time;
  return true;
}

bool TryStrToCurr(std::u16string_view text, Currency& value, const TFormatSettings& settings) {
  Extended approximate;
  if (!TryStrToFloat(text, approximate, settings)) return false;  // the syntax, once
  // Far beyond the range (and too far below a ten-thousandth to matter)
  // shows in the approximate value; what is left is read digit by digit.
  if (std::fabs(approximate) >= 1E15L) return false;
  const std::u16string_view s = trimBlanks(text);
  size_t i = 0;
  const bool negative = s[0] == u'-';
  if (s[0] == u'+' || s[0] == u'-') ++i;
  std::string digits;  // the value is digits x 10^exponent
  int32_t exponent = 0;
  bool separator = false;
  for (; i < s.size() && (isDigit(s[i]) || s[i] == settings.DecimalSeparator); ++i) {
    if (s[i] == settings.DecimalSeparator) {
      separator = true;
      continue;
    }
    digits += static_cast<char>(s[i]);
    if (separator) --exponent;
  }
  if (i < s.size()) {
    int32_t e = 0;
    if (!ValInt32(s.substr(i + 1), e)) e = -100000;  // beyond 32 bits: only a tiny value passed the check above
    exponent = std::max(exponent + std::max(e, -100000), -100000);
  }
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  // Ten-thousandths: the first `whole` digits; the others decide the rounding.
  const int64_t whole = int64_t(digits.size()) + exponent + 4;
  uint64_t scaled = 0;
  for (int64_t k = 0; k < whole; ++k) scaled = scaled * 10 + uint64_t(k < int64_t(digits.size()) ? digits[k] - '0' : 0);
  if (whole >= 0 && whole < int64_t(digits.size())) {
    const std::string_view rest = std::string_view(digits).substr(size_t(whole));
    const bool aboveHalf = rest[0] > '5' || (rest[0] == '5' && rest.find_first_not_of('0', 1) != std::string::npos);
    if (aboveHalf || (rest[0] == '5' && !aboveHalf && (scaled & 1))) ++scaled;
  }
  if (scaled > uint64_t(INT64_MAX) + (negative ? 1 : 0)) return false;
  value = Currency::FromScaled(negative ? int64_t(0 - scaled) : int64_t(scaled));
  return true;
}

bool TryStrToDate(std::u16string_view text, TDateTime& value, const TFormatSettings& settings) {
  Scanner sc{trimBlanks(text)};
  TDateTime date;
  if (!scanDate(sc, settings, date) || !sc.atEnd()) return false;
  value = date;
  return true;
}

bool TryStrToTime(std::u16string_view text, TDateTime& value, const TFormatSettings& settings) {
  Scanner sc{trimBlanks(text)};
  TDateTime time;
  if (!scanTime(sc, settings, time) || !sc.atEnd()) return false;
  value = time;
  return true;
}

TDateTime StrToDateTime(std::u16string_view text, const TFormatSettings& settings) {
  TDateTime v;
  if (!TryStrToDateTime(text, v, settings)) throw EConvertError(SInvalidDateTime, {text});
  return v;
}
