// Engine foundation: packed decimal numbers (formatted BCD).
//
// FmtBCD fields hold exact decimals of up to 64 digits in the platform's
// 34-byte packed record:
//   offset 0   Precision          number of digits, 1..64
//   offset 1   SignSpecialPlaces  bit 7 negative, bit 6 special mark (carried
//                                 along), bits 0-5 decimal places
//   offset 2   Fraction[32]       two digits per byte, first digit in the high
//                                 nibble, left-aligned; unused nibbles 0
// The value is the digit string as an integer divided by 10^places. This unit
// converts it exactly to and from text, floating point, currency and
// variants, and re-lays numbers out for another precision and scale with
// exact reporting of lost digits. `mvPatchFmtBcdVariantType` installs these
// conversions as the ones the platform's formatted-BCD variants use.
// Calls only the platform layer and the engine's exceptions.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/errors/mvllExceptions.h"
#include "platform/SysUtils.h"
#include "platform/Variants.h"

using TmvFmtBcd = TBcd;

// Overflow of a packed decimal inside the engine: code 9985, "BCD overflow".
class EmvBcdException : public EmvBaseException {
 public:
  using EmvBaseException::EmvBaseException;
  MV_EXCEPTION_CLASS_NAME(EmvBcdException)
};
class EmvBcdOverflow : public EmvBcdException {
 public:
  EmvBcdOverflow();
  MV_EXCEPTION_CLASS_NAME(EmvBcdOverflow)
};
// The text conversions' own failures.
MV_DECLARE_EXCEPTION(EBcdException, Exception)
MV_DECLARE_EXCEPTION(EBcdOverflowException, EBcdException)

inline constexpr uint32_t mvBcdOverflowErrorCode = 9985;

// Loss flags of re-laying a number out.
inline constexpr int mvBcdLostIntegerDigits = 1;  // overflow
inline constexpr int mvBcdLostDecimalPlaces = 2;

// Whether the record is a number: a precision of 1 to 64, no more places
// than digits, and every digit within the precision 0 to 9. No conversion
// makes any other record; the conversions refuse one (a damaged record) as
// an overflow, each in its own way, rather than read it one way or another.
bool mvBcdIsValid(const TmvFmtBcd& aBcd);

// Re-lays aSource out with aPrecision digits and aPlaces places (sign and
// special bit kept); returns the loss flags. Zero digits are dropped silently.
// Raises EmvBcdOverflow for a source that is no number and for a target
// layout that is none (precision outside 1..64, more places than digits).
int mvNormalizeBcd(const TmvFmtBcd& aSource, TmvFmtBcd& aTarget, int aPrecision, int aPlaces);
// The same, raising EmvBcdOverflow when a flag outside aAllowed is set.
int mvNormalizeBcdChecked(const TmvFmtBcd& aSource, TmvFmtBcd& aTarget, int aPrecision, int aPlaces,
                          int aAllowed);

int mvCurrencyToBcd(Currency aCurrency, TmvFmtBcd& aBcd, int aPrecision, int aPlaces);
int mvCurrencyToBcdChecked(Currency aCurrency, TmvFmtBcd& aBcd, int aPrecision, int aPlaces, int aAllowed);
// False for precision 0 or a value outside the currency range; otherwise the
// value rounded to the nearest ten-thousandth (ties to even).
bool mvBcdToCurrency(const TmvFmtBcd& aBcd, Currency& aCurrency);
// With aTruncate the places are dropped first; EConvertError when the value
// does not fit 64 bits.
int64_t mvBcdToInt64(const TmvFmtBcd& aBcd, bool aTruncate);

// Text with the default decimal separator; precision 0 or above 64 raises
// EBcdOverflowException.
String mvBcdToStr(const TmvFmtBcd& aBcd);
String mvBcdToStr(const TmvFmtBcd& aBcd, char16_t aDecimalSeparator);
// Accepts digits, a leading '-' and one separator; refuses anything else and
// numbers of more than 64 significant digits or 63 places.
bool mvTryStrToBcd(const String& aText, TmvFmtBcd& aBcd, char16_t aDecimalSeparator);
bool mvTryStrToBcd(const String& aText, TmvFmtBcd& aBcd);
// Raises EBcdException "%s is not a valid BCD value".
TmvFmtBcd mvStrToBcd(const String& aText);
TmvFmtBcd mvStrToBcd(const String& aText, char16_t aDecimalSeparator);

double mvBcdToDouble(const TmvFmtBcd& aBcd);
TmvFmtBcd mvDoubleToBcd(double aValue);

// The platform's decimal record (SysUtils.h) as a packed decimal; an
// infinity or NaN raises "%s is not a valid BCD value", as mvDoubleToBcd
// does, and a number of more than 64 digits or 63 places EmvBcdOverflow.
void mvFloatRecToBcd(const TFloatRec& aRec, TmvFmtBcd& aBcd);

// Three-way comparison of the values (-1, 0, 1).
int mvBcdCompare(const TmvFmtBcd& a, const TmvFmtBcd& b);

Variant mvBcdToVariant(const TmvFmtBcd& aBcd);
TmvFmtBcd mvVariantToBcd(const Variant& aValue);
// Requires aLength >= (aPrecision + 1) div 2 + 2 (else EmvBcdOverflow); lost
// places are allowed, lost integer digits raise EmvBcdOverflow.
void mvVariantToBcdBytes(const Variant& aValue, int aPrecision, int aPlaces, int aLength, void* aBuffer);
// The variant's currency value cut towards zero to aPlaces; EmvBcdOverflow
// when its integer part needs more than aPrecision - aPlaces digits.
Currency mvCheckCurrencyFitsBcd(const Variant& aValue, int aPrecision, int aPlaces);

// Unary operations on formatted-BCD variants. Only negation is supported:
// the operand becomes its value with the sign flipped; any other operator
// raises EVariantError (invalid operation).
enum TVarOp { opAdd, opSubtract, opMultiply, opDivide, opIntDivide, opModulus, opShiftLeft, opShiftRight,
              opAnd, opOr, opXor, opCompare, opNegate, opNot };
struct TFMTBcdVariantTypeFix {
  static void UnaryOp(Variant& aRight, TVarOp aOperator);
};
// Engine start: makes the platform's formatted-BCD variants convert through
// this unit's routines.
void mvPatchFmtBcdVariantType();
