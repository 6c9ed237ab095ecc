// Engine foundation: packed decimal numbers (see the header).
#include "foundation/types/mvllFmtBcd.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/Numeric.h"
#include "platform/ValueToText.h"

namespace {

int placesOf(const TmvFmtBcd& b) { return b.SignSpecialPlaces & 0x3F; }
bool isNegative(const TmvFmtBcd& b) { return (b.SignSpecialPlaces & 0x80) != 0; }

int digitAt(const TmvFmtBcd& b, int i) { return (i & 1) ? b.Fraction[i / 2] & 0x0F : b.Fraction[i / 2] >> 4; }

void setDigit(TmvFmtBcd& b, int i, int d) {
  uint8_t& byte = b.Fraction[i / 2];
  byte = (i & 1) ? uint8_t((byte & 0xF0) | d) : uint8_t((byte & 0x0F) | (d << 4));
}

// The record of zero that the conversions produce.
TmvFmtBcd zeroBcd(uint8_t precision = 8) {
  TmvFmtBcd b;
  b.Precision = precision;
  b.SignSpecialPlaces = 2;
  return b;
}

// Packs a digit string (no sign, no separator) with the given places.
TmvFmtBcd pack(const std::string& digits, int places, bool negative) {
  TmvFmtBcd b;
  b.Precision = static_cast<uint8_t>(digits.size());
  b.SignSpecialPlaces = static_cast<uint8_t>(places | (negative ? 0x80 : 0));
  for (size_t i = 0; i < digits.size(); ++i) setDigit(b, static_cast<int>(i), digits[i] - '0');
  return b;
}

[[noreturn]] void notValid(const String& text) { throw EBcdException(u"%s is not a valid BCD value", {text}); }

}  // namespace

EmvBcdOverflow::EmvBcdOverflow() : EmvBcdException(mvBcdOverflowErrorCode, u"BCD overflow") {}

bool mvBcdIsValid(const TmvFmtBcd& aBcd) {
  const int n = aBcd.Precision;
  if (n < 1 || n > 64 || placesOf(aBcd) > n) return false;
  for (int i = 0; i < n; ++i)
    if (digitAt(aBcd, i) > 9) return false;
  return true;
}

int mvNormalizeBcd(const TmvFmtBcd& aSource, TmvFmtBcd& aTarget, int aPrecision, int aPlaces) {
  // Checked before aTarget is touched: a precision above 64 would write past
  // the record's 32 digit bytes.
  if (!mvBcdIsValid(aSource) || aPrecision < 1 || aPrecision > 64 || aPlaces < 0 || aPlaces > aPrecision)
    throw EmvBcdOverflow();
  const TmvFmtBcd source = aSource;  // aTarget may be aSource
  aTarget = TmvFmtBcd();
  aTarget.Precision = static_cast<uint8_t>(aPrecision);
  aTarget.SignSpecialPlaces = static_cast<uint8_t>((source.SignSpecialPlaces & 0xC0) | (aPlaces & 0x3F));
  const int n = source.Precision, s = placesOf(source);
  // Digit i goes to position i - (n - s) + (P - p): the decimal points meet.
  const int shift = (aPrecision - aPlaces) - (n - s);
  int flags = 0;
  for (int i = 0; i < n; ++i) {
    const int d = digitAt(source, i), pos = i + shift;
    if (pos < 0) {
      if (d) flags |= mvBcdLostIntegerDigits;
    } else if (pos >= aPrecision) {
      if (d) flags |= mvBcdLostDecimalPlaces;
    } else {
      setDigit(aTarget, pos, d);
    }
  }
  return flags;
}

int mvNormalizeBcdChecked(const TmvFmtBcd& aSource, TmvFmtBcd& aTarget, int aPrecision, int aPlaces,
                          int aAllowed) {
  const int flags = mvNormalizeBcd(aSource, aTarget, aPrecision, aPlaces);
  if (flags & ~aAllowed) throw EmvBcdOverflow();
  return flags;
}

int mvCurrencyToBcd(Currency aCurrency, TmvFmtBcd& aBcd, int aPrecision, int aPlaces) {
  // Magnitude as unsigned, so that the most negative value needs no negation.
  uint64_t m = aCurrency.Value < 0 ? 0 - static_cast<uint64_t>(aCurrency.Value) : static_cast<uint64_t>(aCurrency.Value);
  std::string digits(32, '0');
  for (int i = 31; i >= 0 && m; --i, m /= 10) digits[i] = static_cast<char>('0' + m % 10);
  if (m) throw EmvBcdOverflow();
  return mvNormalizeBcd(pack(digits, 4, aCurrency.Value < 0), aBcd, aPrecision, aPlaces);
}

int mvCurrencyToBcdChecked(Currency aCurrency, TmvFmtBcd& aBcd, int aPrecision, int aPlaces, int aAllowed) {
  const int flags = mvCurrencyToBcd(aCurrency, aBcd, aPrecision, aPlaces);
  if (flags & ~aAllowed) throw EmvBcdOverflow();
  return flags;
}

bool mvBcdToCurrency(const TmvFmtBcd& aBcd, Currency& aCurrency) {
  if (!mvBcdIsValid(aBcd)) return false;
  const int n = aBcd.Precision, places = placesOf(aBcd);
  // Exact: the digits down to the fourth place as an integer, the rest decide
  // the rounding (to nearest, ties to even).
  unsigned __int128 scaled = 0;
  const unsigned __int128 limit = static_cast<unsigned __int128>(INT64_MAX) + 1;
  const int keep = n - places + 4;  // digits from the start that land above 1/10000
  for (int i = 0; i < keep; ++i) {
    scaled = scaled * 10 + (i < n ? digitAt(aBcd, i) : 0);
    if (scaled > limit * 10) return false;
  }
  int first = keep < n ? digitAt(aBcd, keep) : 0;
  bool restNonZero = false;
  for (int i = keep + 1; i < n; ++i) restNonZero |= digitAt(aBcd, i) != 0;
  if (first > 5 || (first == 5 && (restNonZero || (scaled & 1)))) ++scaled;
  const bool negative = isNegative(aBcd);
  if (scaled > limit || (scaled == limit && !negative)) return false;
  aCurrency.Value = negative ? static_cast<int64_t>(0 - static_cast<uint64_t>(scaled)) : static_cast<int64_t>(scaled);
  return true;
}

int64_t mvBcdToInt64(const TmvFmtBcd& aBcd, bool aTruncate) {
  TmvFmtBcd b = aBcd;
  if (aTruncate && placesOf(b) > 0) mvNormalizeBcd(aBcd, b, std::max(1, aBcd.Precision - placesOf(aBcd)), 0);
  const String text = mvBcdToStr(b);
  const bool negative = !text.empty() && text[0] == u'-';
  uint64_t v = 0;
  for (size_t i = negative ? 1 : 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < u'0' || c > u'9' || v > (UINT64_MAX - 9) / 10) throw EConvertError(u"'%s' is not a valid integer value", {text});
    v = v * 10 + (c - u'0');
  }
  if (v > static_cast<uint64_t>(INT64_MAX) + (negative ? 1 : 0))
    throw EConvertError(u"'%s' is not a valid integer value", {text});
  return negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
}

String mvBcdToStr(const TmvFmtBcd& aBcd) { return mvBcdToStr(aBcd, DefaultFormatSettings().DecimalSeparator); }

String mvBcdToStr(const TmvFmtBcd& aBcd, char16_t aDecimalSeparator) {
  if (!mvBcdIsValid(aBcd)) throw EBcdOverflowException(u"BCD overflow");
  const char16_t sep = aDecimalSeparator;
  const int n = aBcd.Precision, places = placesOf(aBcd);
  String out;
  for (int i = 0; i < n; ++i) {
    if (i == n - places) {
      if (out.empty()) out += u'0';
      out += sep;
    }
    const int d = digitAt(aBcd, i);
    if (d != 0 || !out.empty()) out += static_cast<char16_t>(u'0' + d);
  }
  if (places > 0 && n > places) {
    while (!out.empty() && out.back() == u'0') out.pop_back();
    if (!out.empty() && out.back() == sep) out.pop_back();
  }
  if (out.empty()) out = u"0";
  if (isNegative(aBcd)) out.insert(out.begin(), u'-');
  const String zeroWithSep = String(u"0") + sep + u"0";
  if (out == u"-0" || out == zeroWithSep || out == u"-" + zeroWithSep) out = u"0";
  return out;
}

bool mvTryStrToBcd(const String& aText, TmvFmtBcd& aBcd, char16_t aDecimalSeparator) {
  for (char16_t c : aText)
    if (!(c >= u'0' && c <= u'9') && c != u'-' && c != aDecimalSeparator) return false;
  if (aText.empty() || aText == u"0") {
    aBcd = zeroBcd();
    return true;
  }
  std::u16string_view s(aText);
  while (!s.empty() && (s.front() == u' ' || s.front() == u'0')) s.remove_prefix(1);
  while (!s.empty() && s.back() == u' ') s.remove_suffix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == u'-' || s.front() == u'+')) {
    negative = s.front() == u'-';
    s.remove_prefix(1);
  }
  if (!s.empty() && s.front() == u'0') s.remove_prefix(1);
  std::string digits;
  int places = -1;
  for (char16_t c : s) {
    if (c == aDecimalSeparator) {
      if (places >= 0) return false;  // a second separator
      places = 0;
    } else if (c == u'-') {
      return false;  // a sign anywhere but first
    } else {
      digits += static_cast<char>(c);
      if (places >= 0) ++places;
    }
  }
  if (places < 0) places = 0;
  if (digits.empty()) {
    aBcd = zeroBcd(10);
    return true;
  }
  // Trailing zeros of the fraction carry nothing: drop them while the number
  // is too long. What still exceeds 64 digits (or 63 places) cannot be held.
  while (digits.size() > 64 && places > 0 && digits.back() == '0') {
    digits.pop_back();
    --places;
  }
  if (digits.size() > 64 || places > 63) return false;
  aBcd = pack(digits, places, negative);
  return true;
}

bool mvTryStrToBcd(const String& aText, TmvFmtBcd& aBcd) {
  return mvTryStrToBcd(aText, aBcd, DefaultFormatSettings().DecimalSeparator);
}

TmvFmtBcd mvStrToBcd(const String& aText, char16_t aDecimalSeparator) {
  TmvFmtBcd b;
  if (!mvTryStrToBcd(aText, b, aDecimalSeparator)) notValid(aText);
  return b;
}

TmvFmtBcd mvStrToBcd(const String& aText) { return mvStrToBcd(aText, DefaultFormatSettings().DecimalSeparator); }

double mvBcdToDouble(const TmvFmtBcd& aBcd) {
  String text = mvBcdToStr(aBcd);
  std::string ascii(text.begin(), text.end());
  std::replace(ascii.begin(), ascii.end(), static_cast<char>(DefaultFormatSettings().DecimalSeparator), '.');
  double value = 0;
  TryParseDecimal(ascii, value);  // a sign, digits and one point: always well formed
  return value;
}

TmvFmtBcd mvDoubleToBcd(double aValue) {
  // The float's digits rounded to 15 significant ones, taken with their
  // exponent so that large and tiny values need no exponent in the text.
  if (!std::isfinite(aValue)) notValid(FloatToStr(aValue, DefaultFormatSettings()));
  TFloatRec rec;
  rec.Negative = std::signbit(aValue) && aValue != 0;
  ScientificDigits(aValue, 14, rec.Digits, rec.Exponent);
  ++rec.Exponent;  // the record counts the digits before the point
  while (!rec.Digits.empty() && rec.Digits.back() == '0') rec.Digits.pop_back();
  TmvFmtBcd b;
  mvFloatRecToBcd(rec, b);
  return b;
}

void mvFloatRecToBcd(const TFloatRec& aRec, TmvFmtBcd& aBcd) {
  if (aRec.Exponent == FloatRecNaN) notValid(u"NAN");
  if (aRec.Exponent == FloatRecInfinity) notValid(aRec.Negative ? u"-INF" : u"INF");
  if (aRec.Digits.empty()) {
    aBcd = zeroBcd();
    return;
  }
  const int n = static_cast<int>(aRec.Digits.size()), e = aRec.Exponent;
  std::string digits;
  int places;
  if (e <= 0) {  // 0.000ddd
    digits = std::string(-e, '0') + aRec.Digits;
    places = static_cast<int>(digits.size());
  } else if (e >= n) {  // ddd000
    digits = aRec.Digits + std::string(e - n, '0');
    places = 0;
  } else {
    digits = aRec.Digits;
    places = n - e;
  }
  if (digits.size() > 64 || places > 63) throw EmvBcdOverflow();
  aBcd = pack(digits, places, aRec.Negative);
}

int mvBcdCompare(const TmvFmtBcd& a, const TmvFmtBcd& b) {
  if (!mvBcdIsValid(a) || !mvBcdIsValid(b)) throw EBcdOverflowException(u"BCD overflow");
  // Sign first; then the integer digits (a longer integer part is larger),
  // then the places, digit by digit.
  auto parts = [](const TmvFmtBcd& x, std::string& ip, std::string& fp) {
    const int n = x.Precision, places = placesOf(x);
    for (int i = 0; i < n - places; ++i)
      if (!ip.empty() || digitAt(x, i)) ip += static_cast<char>('0' + digitAt(x, i));
    for (int i = n - places; i < n; ++i) fp += static_cast<char>('0' + digitAt(x, i));
    while (!fp.empty() && fp.back() == '0') fp.pop_back();
  };
  std::string ai, af, bi, bf;
  parts(a, ai, af);
  parts(b, bi, bf);
  const int as = ai.empty() && af.empty() ? 0 : isNegative(a) ? -1 : 1;
  const int bs = bi.empty() && bf.empty() ? 0 : isNegative(b) ? -1 : 1;
  if (as != bs) return as < bs ? -1 : 1;
  if (as == 0) return 0;
  int mag;
  if (ai.size() != bi.size()) {
    mag = ai.size() < bi.size() ? -1 : 1;
  } else {
    const size_t w = std::max(af.size(), bf.size());
    af.resize(w, '0');
    bf.resize(w, '0');
    const int c = (ai + af).compare(bi + bf);
    mag = c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  return as * mag;
}

Variant mvBcdToVariant(const TmvFmtBcd& aBcd) { return Variant(aBcd); }

TmvFmtBcd mvVariantToBcd(const Variant& aValue) {
  if (aValue.VarType() == varFMTBcd) return aValue.AsBcd();
  return VarAsType(aValue, varFMTBcd).AsBcd();
}

void mvVariantToBcdBytes(const Variant& aValue, int aPrecision, int aPlaces, int aLength, void* aBuffer) {
  if (aLength < (aPrecision + 1) / 2 + 2) throw EmvBcdOverflow();
  TmvFmtBcd b;
  mvNormalizeBcdChecked(mvVariantToBcd(aValue), b, aPrecision, aPlaces, mvBcdLostDecimalPlaces);
  std::memcpy(aBuffer, &b, std::min<size_t>(aLength, sizeof b));
}

Currency mvCheckCurrencyFitsBcd(const Variant& aValue, int aPrecision, int aPlaces) {
  int64_t v = aValue.AsCurrency().Value;
  if (aPlaces < 4) {
    int64_t unit = 1;
    for (int i = aPlaces; i < 4; ++i) unit *= 10;
    v = v / unit * unit;  // C++ division cuts towards zero
  }
  // Integer digits against the room left of the decimal point.
  uint64_t whole = (v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v)) / 10000;
  int digits = 0;
  for (; whole; whole /= 10) ++digits;
  if (digits > aPrecision - aPlaces) throw EmvBcdOverflow();
  return Currency::FromScaled(v);
}

void TFMTBcdVariantTypeFix::UnaryOp(Variant& aRight, TVarOp aOperator) {
  if (aOperator != opNegate) throw EVariantError(u"Invalid variant operation");
  TmvFmtBcd b = mvVariantToBcd(aRight);
  b.SignSpecialPlaces ^= 0x80;
  aRight = Variant(b);
}

void mvPatchFmtBcdVariantType() {
  TBcdRoutines& r = BcdRoutines();
  r.Compare = mvBcdCompare;
  r.ToDouble = mvBcdToDouble;
  r.StrToBcd = [](const String& s) { return mvStrToBcd(s); };
  r.StrToBcdSep = [](const String& s, char16_t sep) { return mvStrToBcd(s, sep); };
  r.DoubleToBcd = mvDoubleToBcd;
  r.TryStrToBcd = [](const String& s, TBcd& b) { return mvTryStrToBcd(s, b); };
  r.TryStrToBcdSep = [](const String& s, TBcd& b, char16_t sep) { return mvTryStrToBcd(s, b, sep); };
  r.BcdToCurrency = mvBcdToCurrency;
  r.BcdToStr = mvBcdToStr;
}
