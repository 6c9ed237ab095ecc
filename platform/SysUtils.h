// Platform layer: exceptions, the format routine and format settings.
//
// `Exception` is the root of every exception that the engine raises; it
// derives from std::exception so that C++ code that knows nothing of the
// engine can still catch it. Each class reports its exact class name, which
// travels inside messages and exception data. The texts of the platform's own
// errors are those of the Japanese platform the system was made for.
#pragma once

#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/System.h"

// Currency: a fixed-point number, an int64 scaled by 10,000. A distinct type
// so that formatting and variants can tell it from a plain integer.
struct Currency {
  int64_t Value = 0;  // the scaled value: 1.5 is 15000
  constexpr Currency() = default;
  static constexpr Currency FromScaled(int64_t scaled) { Currency c; c.Value = scaled; return c; }
  constexpr auto operator<=>(const Currency&) const = default;
};

// One argument of `Format`. Holds strings by value so that temporaries are safe.
class TVarRec {
 public:
  enum Kind { vtInteger, vtInt64, vtUInt64, vtExtended, vtCurrency, vtString, vtChar, vtPointer };

  TVarRec(int v) : kind_(vtInteger), i64_(v) {}
  TVarRec(unsigned v) : kind_(vtInt64), i64_(v) {}
  TVarRec(long v) : kind_(vtInt64), i64_(v) {}
  TVarRec(long long v) : kind_(vtInt64), i64_(v) {}
  TVarRec(unsigned long v) : kind_(vtUInt64), u64_(v) {}
  TVarRec(unsigned long long v) : kind_(vtUInt64), u64_(v) {}
  TVarRec(short v) : kind_(vtInteger), i64_(v) {}
  TVarRec(unsigned short v) : kind_(vtInteger), i64_(v) {}
  TVarRec(signed char v) : kind_(vtInteger), i64_(v) {}
  TVarRec(unsigned char v) : kind_(vtInteger), i64_(v) {}
  TVarRec(float v) : kind_(vtExtended), ext_(v) {}
  TVarRec(double v) : kind_(vtExtended), ext_(v) {}
  TVarRec(long double v) : kind_(vtExtended), ext_(v) {}
  TVarRec(Currency v) : kind_(vtCurrency), i64_(v.Value) {}
  TVarRec(const String& v) : kind_(vtString), str_(v) {}
  TVarRec(std::u16string_view v) : kind_(vtString), str_(v) {}
  TVarRec(const char16_t* v) : kind_(vtString), str_(v ? v : u"") {}
  TVarRec(const char* v) : kind_(vtString), str_(AsciiToString(v ? v : "")) {}  // ASCII only
  TVarRec(char16_t v) : kind_(vtChar), str_(1, v) {}
  TVarRec(char v) : kind_(vtChar), str_(1, static_cast<char16_t>(static_cast<unsigned char>(v))) {}
  TVarRec(const void* v) : kind_(vtPointer), ptr_(v) {}
  TVarRec(bool) = delete;  // the platform's format routine has no boolean argument

  Kind kind() const { return kind_; }
  int64_t asInt64() const { return i64_; }
  uint64_t asUInt64() const { return u64_; }
  long double asExtended() const { return ext_; }
  const String& asString() const { return str_; }
  const void* asPointer() const { return ptr_; }

 private:
  Kind kind_;
  union {
    int64_t i64_;
    uint64_t u64_;
    long double ext_;
    const void* ptr_;
  };
  String str_;
};

// Number and currency format settings of a locale (the process default is
// the Japanese locale's).
struct TFormatSettings {
  char16_t DecimalSeparator = u'.';
  char16_t ThousandSeparator = u',';
  String CurrencyString = u"\u00A5";
  uint8_t CurrencyFormat = 0;     // 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $"
  uint8_t NegCurrFormat = 1;      // 0..15, the platform's negative currency patterns
  uint8_t CurrencyDecimals = 0;
  char16_t DateSeparator = u'/';
  char16_t TimeSeparator = u':';
  String ShortDateFormat = u"yyyy/MM/dd";
  String LongTimeFormat = u"H:mm:ss";
};

// The process's format settings, used by Format when no settings are given.
TFormatSettings& DefaultFormatSettings();

// The platform's format routine: %[index:][-][width][.prec]type with the types
// d u e f g n m p s x and %%; width and precision may be '*'. Raises
// EConvertError for a bad format or an argument of the wrong kind.
String Format(std::u16string_view fmt, std::initializer_list<TVarRec> args);
String Format(std::u16string_view fmt, std::initializer_list<TVarRec> args, const TFormatSettings& settings);

String IntToStr(int64_t v);

// A localisable resource string: the text a resource identifier stands for.
// The system's resources are its default texts; LoadResString gives that text.
struct TResStringRec {
  std::u16string_view Text;
};
inline String LoadResString(const TResStringRec& res) { return String(res.Text); }

// ---------------------------------------------------------------------------
// Decimal text of floating-point numbers
//
// The C library's number text follows the process locale, which a GUI
// toolkit sets at its start (a decimal comma turns "12.5" into 12). These
// never do: "." is always the separator.

// The digits of |x| rounded to 1 + fractionDigits significant digits (a
// digit string without a point) and the decimal exponent of the first one:
// |x| = d.ddd... x 10^exp10. Requires: x finite; 0 gives "000..." and 0.
void ScientificDigits(Extended x, int fractionDigits, std::string& digits, int& exp10);
// A decimal floating-point number: the value is 0.Digits x 10^Exponent. An
// infinity has the Exponent FloatRecInfinity (and Negative for -INF), a NaN
// FloatRecNaN; zero has no digits and Exponent 0.
struct TFloatRec {
  int32_t Exponent = 0;
  bool Negative = false;
  std::string Digits;  // '0'..'9', no leading or trailing zeros
};
inline constexpr int32_t FloatRecInfinity = 0x7FFF;
inline constexpr int32_t FloatRecNaN = -0x8000;
// The platform's float-to-decimal record of an Extended: its 18 significant
// digits (the most an Extended gives), rounded half away from zero to at
// most `precision` significant digits and at most `decimals` digits after the
// point. A value that rounds away to nothing is zero.
void FloatToDecimal(TFloatRec& rec, Extended value, int precision, int decimals);
// |x| in fixed notation with `places` decimals ("12.500"), without a sign.
std::string FixedText(double x, int places);
// Reads "[-]digits[.digits][e[+-]digits]" as a whole; false for anything
// else (a value out of range included).
bool TryParseDecimal(std::string_view text, Extended& value);
bool TryParseDecimal(std::string_view text, double& value);

// The calling thread's last operating-system error (errno) and its text.
uint32_t GetLastOSError();
String SysErrorMessage(uint32_t errorCode);
String IntToHex(uint64_t v, int digits);
// The folder for temporary files, with a trailing '/': $TMPDIR when set and
// not empty, else /tmp/.
String GetTempPath();

// ---------------------------------------------------------------------------
// Exceptions

#define MV_EXCEPTION_CLASS_NAME(Name) \
  String ClassName() const override { return u"" #Name; }

class Exception : public std::exception {
 public:
  explicit Exception(const String& msg);
  Exception(std::u16string_view fmt, std::initializer_list<TVarRec> args);
  ~Exception() override;

  const String& Message() const { return message_; }
  void SetMessage(const String& msg);
  virtual String ClassName() const { return u"Exception"; }

  const char* what() const noexcept override { return what_.c_str(); }

 private:
  String message_;
  std::string what_;  // UTF-8 copy of the message for std::exception users
};

// The message of any exception: the platform message of the platform's
// family, else its what() text; and its exact class name ("std::exception"
// outside the platform's family).
String ExceptionMessageOf(const std::exception& e);
String ExceptionClassNameOf(const std::exception& e);

// Declares an exception class that adds nothing but its name.
#define MV_DECLARE_EXCEPTION(Name, Base) \
  class Name : public Base {             \
   public:                               \
    using Base::Base;                    \
    MV_EXCEPTION_CLASS_NAME(Name)        \
  };

// Raised to end an operation silently: handlers show nothing for it.
MV_DECLARE_EXCEPTION(EAbort, Exception)
MV_DECLARE_EXCEPTION(EConvertError, Exception)
MV_DECLARE_EXCEPTION(EAssertionFailed, Exception)
MV_DECLARE_EXCEPTION(EVariantError, Exception)
MV_DECLARE_EXCEPTION(EHeapException, Exception)
MV_DECLARE_EXCEPTION(EOutOfMemory, EHeapException)
MV_DECLARE_EXCEPTION(EInvalidPointer, EHeapException)
MV_DECLARE_EXCEPTION(EStreamError, Exception)
MV_DECLARE_EXCEPTION(EFilerError, EStreamError)
MV_DECLARE_EXCEPTION(EReadError, EFilerError)
MV_DECLARE_EXCEPTION(EWriteError, EFilerError)
MV_DECLARE_EXCEPTION(EListError, Exception)
MV_DECLARE_EXCEPTION(EStringListError, EListError)
MV_DECLARE_EXCEPTION(EMathError, Exception)
MV_DECLARE_EXCEPTION(EInvalidOp, EMathError)
// A value outside the range of its target (the platform's run-time error 201).
MV_DECLARE_EXCEPTION(ERangeError, Exception)
// An object that is not of the class a checked cast asks for.
MV_DECLARE_EXCEPTION(EInvalidCast, Exception)

// An operating-system failure with its error number (errno on Linux).
class EOSError : public Exception {
 public:
  using Exception::Exception;
  MV_EXCEPTION_CLASS_NAME(EOSError)
  uint32_t ErrorCode = 0;
};

// The platform's texts for its own failures.
inline constexpr char16_t SOutOfMemory[] = u"メモリが足りません";
inline constexpr char16_t SInvalidPointer[] = u"無効なポインタ操作です";
inline constexpr char16_t SReadError[] = u"ストリームからの読み取りエラー";
inline constexpr char16_t SWriteError[] = u"ストリームへの書き込みエラー";
inline constexpr char16_t SInvalidPropertyValue[] = u"プロパティ値が無効です";
inline constexpr char16_t SInvalidFormat[] = u"書式 '%s' が無効か、または引数と互換性がありません";
inline constexpr char16_t SAssertionFailed[] = u"%s (%s、%d 行)";
inline constexpr char16_t SInvalidOp[] = u"浮動小数点演算が無効です";
inline constexpr char16_t SRangeError[] = u"範囲チェックエラー";
inline constexpr char16_t SInvalidCast[] = u"無効なクラス型キャストです";

// Raises the out-of-memory and invalid-pointer errors with their texts.
[[noreturn]] void OutOfMemoryError();
[[noreturn]] void InvalidPointerError();

// The system's observable assertions: always on, raise EAssertionFailed.
[[noreturn]] void mvAssertFailed(const char* expr, const char* file, int line);
#define MV_ASSERT(cond) ((cond) ? (void)0 : mvAssertFailed(#cond, __FILE__, __LINE__))
