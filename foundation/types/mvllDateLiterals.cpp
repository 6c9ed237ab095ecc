// Engine foundation: date and time literals (see the header).
#include "foundation/types/mvllDateLiterals.h"

#include <cmath>

#include "platform/DateUtils.h"

namespace {

// The text without its enclosing single quotes, when it has them.
std::u16string_view unquoted(std::u16string_view s) {
  if (!s.empty() && s.front() == u'\'') {
    if (s.size() < 2 || s.back() != u'\'') return {};
    return s.substr(1, s.size() - 2);
  }
  return s;
}

// Positions are 1-based, as the forms are written.
bool charAt(std::u16string_view s, size_t pos, char16_t c) { return s[pos - 1] == c; }

bool digitsAt(std::u16string_view s, size_t start, size_t count) {
  for (size_t i = start - 1; i < start - 1 + count; ++i)
    if (s[i] < u'0' || s[i] > u'9') return false;
  return true;
}

bool hasDateForm(std::u16string_view s) {
  return s.size() >= 10 && charAt(s, 5, u'-') && charAt(s, 8, u'-') && digitsAt(s, 1, 4) && digitsAt(s, 6, 2) &&
         digitsAt(s, 9, 2);
}

// The time form starting at 1-based position `at` and running to the end.
bool hasTimeForm(std::u16string_view s, size_t at) {
  const size_t len = s.size() - (at - 1);
  if (len != 8 && len != 12) return false;
  if (!charAt(s, at + 2, u':') || !charAt(s, at + 5, u':')) return false;
  if (!digitsAt(s, at, 2) || !digitsAt(s, at + 3, 2) || !digitsAt(s, at + 6, 2)) return false;
  // Milliseconds count only behind a '.'; otherwise the tail is ignored.
  return len == 8 || !charAt(s, at + 8, u'.') || digitsAt(s, at + 9, 3);
}

bool tryDate(std::u16string_view s, TDateTime& d) {
  return TryEncodeDate(mvParseDigits(s, 1, 4), mvParseDigits(s, 6, 2), mvParseDigits(s, 9, 2), d);
}

bool tryTime(std::u16string_view s, size_t at, TDateTime& t) {
  const int at32 = static_cast<int>(at);
  const bool withMs = s.size() - (at - 1) == 12 && charAt(s, at + 8, u'.');
  return TryEncodeTime(mvParseDigits(s, at32, 2), mvParseDigits(s, at32 + 3, 2), mvParseDigits(s, at32 + 6, 2),
                       withMs ? mvParseDigits(s, at32 + 9, 3) : 0, t);
}

TDateTime combine(TDateTime date, TDateTime time) { return date < 0 ? date - time : date + time; }

String textOf(const Variant& v) { return VarToStr(v); }

}  // namespace

int32_t mvParseDigits(std::u16string_view aText, int32_t aStart, int32_t aCount) {
  int32_t v = 0;
  for (int32_t i = aStart - 1; i < aStart - 1 + aCount && i < static_cast<int32_t>(aText.size()); ++i)
    if (aText[i] >= u'0' && aText[i] <= u'9') v = v * 10 + (aText[i] - u'0');
  return v;
}

bool mvIsDateLiteral(std::u16string_view aText) {
  std::u16string_view s = unquoted(aText);
  TDateTime d;
  return s.size() == 10 && hasDateForm(s) && tryDate(s, d);
}

TDateTime mvDateLiteralToDate(std::u16string_view aText) {
  std::u16string_view s = unquoted(aText);
  return EncodeDate(mvParseDigits(s, 1, 4), mvParseDigits(s, 6, 2), mvParseDigits(s, 9, 2));
}

bool mvTryWeekDateLiteral(std::u16string_view aText, TDateTime& aDate) {
  std::u16string_view s = unquoted(aText);
  if (s.size() != 10 || !charAt(s, 5, u'-') || !charAt(s, 9, u'-') || !(charAt(s, 6, u'W') || charAt(s, 6, u'w')) ||
      !digitsAt(s, 1, 4) || !digitsAt(s, 7, 2) || !digitsAt(s, 10, 1))
    return false;
  const int year = mvParseDigits(s, 1, 4), week = mvParseDigits(s, 7, 2), day = mvParseDigits(s, 10, 1);
  TDateTime jan4, nextJan4;
  if (day < 1 || day > 7 || week < 1 || !TryEncodeDate(year, 1, 4, jan4)) return false;
  // Monday of week 1 is the Monday on or before 4 January.
  const int isoWeekdayJan4 = (DayOfWeek(jan4) + 5) % 7 + 1;  // 1 Monday .. 7 Sunday
  const TDateTime week1 = jan4 - (isoWeekdayJan4 - 1);
  const TDateTime date = week1 + (week - 1) * 7 + (day - 1);
  // The week must belong to this year: before the next year's week 1.
  if (year < 9999 && TryEncodeDate(year + 1, 1, 4, nextJan4)) {
    const int nextWeekday = (DayOfWeek(nextJan4) + 5) % 7 + 1;
    if (date >= nextJan4 - (nextWeekday - 1)) return false;
  }
  uint16_t y, m, d;
  DecodeDate(date, y, m, d);
  if (y == 0) return false;  // beyond the representable years
  aDate = date;
  return true;
}

bool mvIsTimeLiteral(std::u16string_view aText) {
  std::u16string_view s = unquoted(aText);
  TDateTime t;
  return (s.size() == 8 || s.size() == 12) && hasTimeForm(s, 1) && tryTime(s, 1, t);
}

TDateTime mvTimeLiteralToTime(std::u16string_view aText) {
  std::u16string_view s = unquoted(aText);
  TDateTime t;
  if (!tryTime(s, 1, t)) return EncodeTime(99, 0, 0, 0);  // raises the platform's encoding error
  return t;
}

bool mvIsTimestampLiteral(std::u16string_view aText) {
  std::u16string_view s = unquoted(aText);
  TDateTime d, t;
  return (s.size() == 19 || s.size() == 23) && hasDateForm(s) && charAt(s, 11, u' ') && hasTimeForm(s, 12) &&
         tryDate(s, d) && tryTime(s, 12, t);
}

TDateTime mvTimestampLiteralToDateTime(std::u16string_view aText) {
  std::u16string_view s = unquoted(aText);
  TDateTime d = mvDateLiteralToDate(s), t;
  if (!tryTime(s, 12, t)) return EncodeTime(99, 0, 0, 0);  // raises the platform's encoding error
  return combine(d, t);
}

TDateTime mvVariantToDate(const Variant& aValue) {
  const String s = textOf(aValue);
  if (!mvIsDateLiteral(s)) throw Exception(u"Invalid date format %s", {s});
  return mvDateLiteralToDate(s);
}

TDateTime mvVariantToTime(const Variant& aValue) {
  const String s = textOf(aValue);
  if (!mvIsTimeLiteral(s)) throw Exception(u"Invalid time format %s", {s});
  return mvTimeLiteralToTime(s);
}

TDateTime mvVariantToDateTime(const Variant& aValue) {
  const String s = textOf(aValue);
  if (!mvIsTimestampLiteral(s)) throw Exception(u"Invalid date/time format %s", {s});
  return mvTimestampLiteralToDateTime(s);
}
