// Platform layer: the variant, the one tagged value type of the whole engine.
//
// Field values reach clients, default values, filters, value streams and the
// SQL layer as variants. A variant holds one of the kinds below, each with the
// type code the platform gives it (`VarType`). Scalars are held inline; text,
// byte arrays and packed decimals live in a shared, reference-counted block,
// so copying a variant never copies its payload. Text is immutable once in a
// variant; a byte array is copied on the first write through
// `ArrayDataForWrite` when another variant still shares it.
//
// Conversions between kinds follow the platform's rules: integer results from
// floating point, dates and currency are rounded to nearest, ties to even;
// a value outside the target's range raises EVariantError, as does a kind
// that cannot be converted (Null to a number, an array to text).
//
// Thread-safety: a variant is a value; distinct variants may share payload
// blocks across threads (the count is atomic), one variant is not shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/SysUtils.h"
#include "platform/System.h"

using TVarType = uint16_t;

// The platform's variant type codes.
inline constexpr TVarType varEmpty = 0x0000;
inline constexpr TVarType varNull = 0x0001;
inline constexpr TVarType varSmallint = 0x0002;
inline constexpr TVarType varInteger = 0x0003;
inline constexpr TVarType varSingle = 0x0004;
inline constexpr TVarType varDouble = 0x0005;
inline constexpr TVarType varCurrency = 0x0006;
inline constexpr TVarType varDate = 0x0007;
inline constexpr TVarType varOleStr = 0x0008;  // UTF-16 text (the COM string kind)
inline constexpr TVarType varBoolean = 0x000B;
inline constexpr TVarType varVariant = 0x000C;  // element kind of an array of variants
inline constexpr TVarType varShortInt = 0x0010;
inline constexpr TVarType varByte = 0x0011;
inline constexpr TVarType varWord = 0x0012;
inline constexpr TVarType varLongWord = 0x0013;
inline constexpr TVarType varInt64 = 0x0014;
inline constexpr TVarType varUInt64 = 0x0015;
inline constexpr TVarType varString = 0x0100;   // 8-bit text in the system ANSI code page
inline constexpr TVarType varUString = 0x0102;  // UTF-16 text (the native string kind)
// The formatted-BCD kind is a custom kind on the platform; it takes the first
// code that the platform hands to registered custom kinds.
inline constexpr TVarType varFMTBcd = 0x010F;
inline constexpr TVarType varTypeMask = 0x0FFF;
inline constexpr TVarType varArray = 0x2000;
inline constexpr TVarType varByRef = 0x4000;

// The platform's packed decimal record (34 bytes): precision 1..64; bit 7 of
// SignSpecialPlaces the sign, bit 6 a special mark, bits 0-5 the places; the
// digits two per byte, first digit in the high nibble, left-aligned.
struct TBcd {
  uint8_t Precision = 0;
  uint8_t SignSpecialPlaces = 0;
  uint8_t Fraction[32] = {};
  friend bool operator==(const TBcd&, const TBcd&) = default;
};
static_assert(sizeof(TBcd) == 34, "TBcd is a stored layout");

// The routine variables through which formatted-BCD variants convert. The
// defaults are the platform's plain conversions; the engine's packed-decimal
// unit installs its own at start. Every member is always set.
struct TBcdRoutines {
  int (*Compare)(const TBcd& a, const TBcd& b);                // sign of a - b
  double (*ToDouble)(const TBcd& bcd);
  TBcd (*StrToBcd)(const String& text);                       // default separator; raises on bad text
  TBcd (*StrToBcdSep)(const String& text, char16_t decimalSeparator);
  TBcd (*DoubleToBcd)(double value);
  bool (*TryStrToBcd)(const String& text, TBcd& bcd);
  bool (*TryStrToBcdSep)(const String& text, TBcd& bcd, char16_t decimalSeparator);
  bool (*BcdToCurrency)(const TBcd& bcd, Currency& value);
  String (*BcdToStr)(const TBcd& bcd);
};
TBcdRoutines& BcdRoutines();

class Variant {
 public:
  Variant() noexcept : vt_(varEmpty), i64_(0) {}
  Variant(const Variant& o) noexcept;
  Variant(Variant&& o) noexcept;
  Variant& operator=(const Variant& o) noexcept;
  Variant& operator=(Variant&& o) noexcept;
  ~Variant();

  // Scalars take the kind of their C++ type.
  Variant(bool v) noexcept : vt_(varBoolean), i64_(v ? 1 : 0) {}
  Variant(int8_t v) noexcept : vt_(varShortInt), i64_(v) {}
  Variant(uint8_t v) noexcept : vt_(varByte), i64_(v) {}
  Variant(int16_t v) noexcept : vt_(varSmallint), i64_(v) {}
  Variant(uint16_t v) noexcept : vt_(varWord), i64_(v) {}
  Variant(int32_t v) noexcept : vt_(varInteger), i64_(v) {}
  Variant(uint32_t v) noexcept : vt_(varLongWord), i64_(v) {}
  Variant(long v) noexcept : vt_(varInt64), i64_(v) {}
  Variant(long long v) noexcept : vt_(varInt64), i64_(v) {}
  Variant(unsigned long v) noexcept : vt_(varUInt64), u64_(v) {}
  Variant(unsigned long long v) noexcept : vt_(varUInt64), u64_(v) {}
  Variant(float v) noexcept : vt_(varSingle), f32_(v) {}
  Variant(double v) noexcept : vt_(varDouble), f64_(v) {}
  Variant(Currency v) noexcept : vt_(varCurrency), i64_(v.Value) {}
  Variant(const String& v);                       // varUString
  Variant(std::u16string_view v);                 // varUString
  Variant(const char16_t* v) : Variant(std::u16string_view(v ? v : u"")) {}
  Variant(const char*) = delete;                  // 8-bit text needs FromAnsiString
  Variant(const TBcd& v);                         // varFMTBcd

  static Variant Null() noexcept;
  static Variant FromDate(TDateTime v) noexcept;
  static Variant FromOleStr(std::u16string_view v);
  static Variant FromAnsiString(std::string_view v);  // bytes in the system ANSI code page
  // A one-dimensional byte array, index 0 up, of n zero bytes or of a copy.
  static Variant ByteArray(size_t n);
  static Variant ByteArray(const void* data, size_t n);
  // A one-dimensional array of variants, index 0 up (varArray | varVariant):
  // the form in which a value made of several values travels (the fields
  // of an index key).
  static Variant VariantArray(std::vector<Variant> items);

  TVarType VarType() const noexcept { return vt_; }
  bool IsEmpty() const noexcept { return vt_ == varEmpty; }
  bool IsNull() const noexcept { return vt_ == varNull; }
  bool IsArray() const noexcept { return (vt_ & varArray) != 0; }
  bool IsText() const noexcept { return vt_ == varUString || vt_ == varOleStr || vt_ == varString; }
  void Clear() noexcept;

  // Conversions by the platform's rules (see the header comment).
  bool AsBoolean() const;
  int32_t AsInteger() const;
  int64_t AsInt64() const;
  uint64_t AsUInt64() const;
  float AsSingle() const;
  double AsDouble() const;
  Currency AsCurrency() const;
  TDateTime AsDateTime() const;
  TBcd AsBcd() const;
  // The text form: integers in decimal, floating point with 15 significant
  // digits, currency with up to 4 places, dates as date and time, Boolean as
  // "True"/"False", with the process's format settings. Null and arrays raise.
  String AsString() const;
  // The 8-bit text form in the system ANSI code page (the bytes themselves for
  // varString).
  AnsiString AsAnsiString() const;

  // Byte arrays (Requires: IsArray()); an array of variants has no bytes
  // (length 0, data nil).
  size_t ArrayLength() const noexcept;
  const uint8_t* ArrayData() const noexcept;
  uint8_t* ArrayDataForWrite();  // unshares first when shared
  // Arrays of either kind: the number of elements. An array of variants:
  // element i (Requires: i < ArrayCount()).
  bool IsVariantArray() const noexcept { return vt_ == (varArray | varVariant); }
  size_t ArrayCount() const noexcept;
  const Variant& ArrayItem(size_t i) const;

 private:
  struct Payload;
  void release() noexcept;
  static Variant withPayload(TVarType vt, Payload* p) noexcept;
  [[noreturn]] void castError(TVarType target) const;
  int64_t roundedToInt64(TVarType target) const;

  TVarType vt_;
  union {
    int64_t i64_;
    uint64_t u64_;
    float f32_;
    double f64_;
    Payload* p_;
  };
};

inline TVarType VarType(const Variant& v) noexcept { return v.VarType(); }
inline bool VarIsEmpty(const Variant& v) noexcept { return v.IsEmpty(); }
inline bool VarIsNull(const Variant& v) noexcept { return v.IsNull(); }
inline bool VarIsArray(const Variant& v) noexcept { return v.IsArray(); }
// The text form; Null and empty give "".
String VarToStr(const Variant& v);
// The value converted to kind vt (a scalar or text kind) by the rules above.
Variant VarAsType(const Variant& v, TVarType vt);
// Bounds of dimension 1 of an array variant.
int32_t VarArrayLowBound(const Variant& v, int dim);
int32_t VarArrayHighBound(const Variant& v, int dim);
// The name of a kind as the platform shows it in conversion errors ("Integer").
String VarTypeAsText(TVarType vt);
