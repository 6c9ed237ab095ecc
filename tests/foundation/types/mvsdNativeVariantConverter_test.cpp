// Tests of field values between native bytes and variants: one table over
// the 32 field types, then the writes that must refuse or reshape a value,
// the byte-array form, and 8-bit text in its code pages.
#include <gtest/gtest.h>

#include <cmath>

#include <cstring>
#include <optional>

#include "foundation/types/mvllFmtBcd.h"
#include "foundation/types/mvsdNativeVariantConverter.h"
#include "platform/DateUtils.h"
#include "platform/Numeric.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes LE(uint64_t v, int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return b;
}
template <typename T>
Bytes Raw(T v) {
  Bytes b(sizeof v);
  StoreLE(b.data(), v);
  return b;
}
Bytes Text(std::string_view s, size_t length) {
  Bytes b(s.begin(), s.end());
  b.resize(length, 0);
  return b;
}

std::string Hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (uint8_t x : b) {
    std::snprintf(buf, sizeof buf, "%02X ", x);
    s += buf;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

// The kind and text of a value; the bytes of an array.
std::string Show(const Variant& v) {
  if (v.IsArray()) return "bytes " + Hex(Bytes(v.ArrayData(), v.ArrayData() + v.ArrayLength()));
  return UTF8Encode(VarTypeAsText(v.VarType()) + u" " + VarToStr(v));
}

// "<class>: <text>" of what f raised; "" when it raised nothing.
template <typename F>
std::string Raised(F f) {
  try {
    f();
  } catch (const EmvBaseException& e) {
    return UTF8Encode(e.ClassName() + u": " + e.ProcessedErrorString());
  } catch (const Exception& e) {
    return UTF8Encode(e.ClassName() + u": " + e.Message());
  }
  return "";
}

struct Field {
  TmvFieldType type;
  uint16_t codePage = 0;
  int32_t units = 0;
  int32_t decPl = 0;
};

Variant Read(const Field& f, const Bytes& native) {
  Variant v;
  mvNativeToVariant(f.type, f.codePage, f.units, f.decPl, native.data(), static_cast<int32_t>(native.size()), v);
  return v;
}

// Writes into a buffer of `length` bytes filled with 0xAA first, so that
// bytes the write leaves alone show.
Bytes Write(const Field& f, const Variant& v, size_t length, bool truncate = false,
            const TFormatSettings& fs = mvLocaleFormatSettings(GetThreadLocale())) {
  Bytes b(length, 0xAA);
  mvVariantToNativeEx(fs, f.type, f.codePage, f.units, f.decPl, v, b.data(), static_cast<int32_t>(length), truncate);
  return b;
}

Bytes ToBytes(const Field& f, const Variant& v, Bytes start = {}) {
  mvVariantToBytes(f.type, f.codePage, f.units, f.decPl, v, start);
  return start;
}

const Bytes kGuid{0x40, 0xFC, 0x29, 0x6B, 0x47, 0xCA, 0x67, 0x10, 0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA};
const Bytes kOneExtended{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0xFF, 0x3F};
const Bytes kBcd12345{0x05, 0x02, 0x12, 0x34, 0x50};  // 123.45 as precision 5, 2 places
constexpr const char* kAssertion = "EAssertionFailed";
constexpr const char* kCharFormat = "EmvBaseException: Invalid char format (length must be exactly 1)";
constexpr const char* kRangeError = "ERangeError: 範囲チェックエラー";

std::string OutOfRange(int64_t v) {
  return "Exception: Value out of range for the target column type: " + std::to_string(v);
}
std::string TooWide(int length, int capacity) {
  return "Exception: Source string data is too wide (" + std::to_string(length) + ") for the target field (" +
         std::to_string(capacity) + ")";
}
std::string TooWideFor(int capacity) {
  return "Exception: Source string data is too wide for the target field (" + std::to_string(capacity) + ")";
}

// Every type: the native bytes read as a variant, that variant written back
// into a field of the same length, and into a byte array.
TEST(mvsdNativeVariantConverter, EveryFieldTypeReadsAndWritesItsNativeForm) {
  struct Row {
    Field field;
    Bytes native;
    std::string read;                 // Show() of the value read, or kAssertion
    std::optional<std::string> back = {};  // what writing it back raises, when it does
    std::optional<Bytes> bytes = {};       // the byte-array form when not `native`
  };
  const int64_t dt2023 = (int64_t{693594} + 45000) * MSecsPerDay + MSecsPerDay / 2;
  const Row rows[] = {
      {{mvtBoolean}, {0x01}, "Boolean True", {}, Bytes{0xFF}},
      {{mvtBoolean}, {0x00}, "Boolean False"},
      {{mvtChar}, {0x41}, "UnicodeString A"},
      {{mvtChar, 1252}, {0xE9}, "UnicodeString é"},
      {{mvtWideChar}, {0x42, 0x30}, "UnicodeString あ"},
      {{mvtByte}, {0xFF}, "Byte 255"},
      {{mvtWord16}, {0xFF, 0xFF}, "Word 65535"},
      {{mvtWord32}, LE(0xFFFFFFFF, 4), "Double 4294967295"},
      {{mvtWord32}, LE(0x7FFFFFFF, 4), "Integer 2147483647"},
      {{mvtInt8}, {0x80}, "ShortInt -128"},
      {{mvtInt16}, {0x00, 0x80}, "Smallint -32768"},
      {{mvtInt32}, LE(0xFFFFFFFF, 4), "Integer -1"},
      {{mvtInt64}, LE(uint64_t(-2), 8), "Int64 -2"},
      {{mvtAutoInc}, LE(5, 4), "Integer 5"},
      {{mvtSingle}, Raw(1.5f), "Double 1.5"},
      {{mvtDouble}, Raw(0.1), "Double 0.1"},
      {{mvtExtended}, kOneExtended, "Double 1"},
      {{mvtCurrency}, LE(12345, 8), "Currency 1.2345"},
      {{mvtDate}, LE(693594, 4), "Date 1899/12/30"},
      {{mvtDate}, LE(1, 4), "Date 0001/01/01"},
      {{mvtTime}, LE(45296789, 4), "Date 1899/12/30 12:34:56"},
      {{mvtDateTime}, Raw(double(dt2023)), "Date 2023/03/15 12:00:00"},
      {{mvtInterval}, LE(0, 8), kAssertion},
      {{mvtBlob}, LE(0x0807060504030201, 8), "bytes 01 02 03 04 05 06 07 08", kAssertion, Bytes{0x99}},
      {{mvtBlobMemo}, Text("abc", 8), "UnicodeString abc", {}, Text("abc", 4)},
      {{mvtBlobGraphic}, LE(7, 8), "bytes 07 00 00 00 00 00 00 00", kAssertion},
      {{mvtByteArray, 0, 3}, {1, 2, 3}, "bytes 01 02 03"},
      {{mvtShortString, 0, 5, 5}, {2, 'a', 'b', 0, 0, 0}, "UnicodeString ab   ", {}, Bytes{2, 'a', 'b'}},
      {{mvtNullString, 0, 5}, Text("abc", 6), "UnicodeString abc", {}, Text("abc", 4)},
      {{mvtWideString, 0, 3}, {'a', 0, 'b', 0, 0, 0, 0, 0}, "UnicodeString ab", {}, Bytes{'a', 0, 'b', 0, 0, 0}},
      {{mvtRecRev}, LE(0xFFFFFFFF, 4), "Double 4294967295"},
      {{mvtGuid}, kGuid, "UnicodeString {6B29FC40-CA47-1067-B31D-00DD010662DA}"},
      {{mvtBCD, 0, 5, 2}, LE(12300, 8), "Currency 1.23"},
      {{mvtBlobWideMemo}, {'x', 0, 0, 0}, "UnicodeString x", {}, Bytes{'x', 0, 0, 0}},
      {{mvtFmtBCD, 0, 5, 2}, kBcd12345, "FMTBcdVariantType 123.45"},
      {{mvtRefNr}, LE(uint64_t(1) << 40, 8), "Int64 1099511627776"},
  };
  bool covered[mvFieldTypeCount] = {};
  for (const Row& r : rows) {
    covered[r.field.type] = true;
    const std::string name = UTF8Encode(mvFieldTypeNames[r.field.type]);
    Variant v;
    const std::string readError = Raised([&] { v = Read(r.field, r.native); });
    if (r.read == kAssertion) {
      EXPECT_EQ(readError.rfind(kAssertion, 0), 0u) << name;
      EXPECT_NE(readError.find("mvsdNativeVariantConverter"), std::string::npos) << name;
      EXPECT_EQ(Raised([&] { Write(r.field, Variant(1), r.native.size()); }).rfind(kAssertion, 0), 0u) << name;
      EXPECT_EQ(Raised([&] { ToBytes(r.field, Variant(1)); }).rfind(kAssertion, 0), 0u) << name;
      continue;
    }
    ASSERT_EQ(readError, "") << name;
    EXPECT_EQ(Show(v), r.read) << name;

    Bytes written;
    const std::string writeError = Raised([&] { written = Write(r.field, v, r.native.size()); });
    if (r.back) {
      EXPECT_EQ(writeError.substr(0, r.back->size()), *r.back) << name;
    } else {
      EXPECT_EQ(writeError, "") << name;
      EXPECT_EQ(Hex(written), Hex(r.native)) << name;
    }

    Bytes bytes;
    const std::string bytesError = Raised([&] { bytes = ToBytes(r.field, v, {0x99}); });
    if (r.field.type == mvtBlobGraphic) {
      EXPECT_EQ(bytesError.rfind(kAssertion, 0), 0u) << name;
    } else {
      EXPECT_EQ(bytesError, "") << name;
      EXPECT_EQ(Hex(bytes), Hex(r.bytes.value_or(r.native))) << name;
    }
    EXPECT_EQ(Hex(ToBytes(r.field, Variant::Null(), {1, 2})), "") << name;
  }
  for (int t = 0; t < mvFieldTypeCount; ++t) EXPECT_TRUE(covered[t]) << t;
  EXPECT_EQ(Raised([] { Read({static_cast<TmvFieldType>(32)}, Bytes(8)); }).rfind(kAssertion, 0), 0u);
}

TEST(mvsdNativeVariantConverter, WritesCheckRangesRoundAndRefuse) {
  TFormatSettings comma;
  comma.DecimalSeparator = u',';
  comma.DateSeparator = u'.';
  comma.ShortDateFormat = u"dd.MM.yyyy";
  struct Row {
    Field field;
    Variant value;
    size_t length;
    std::string expect;  // the bytes written, or what was raised
    bool truncate = false;
    const TFormatSettings* fs = nullptr;
  };
  const Row rows[] = {
      // Integers: rounded to nearest, ties to even, then range-checked.
      {{mvtByte}, Variant(300), 1, OutOfRange(300)},
      {{mvtByte}, Variant(u"255"), 1, "FF"},
      {{mvtWord32}, Variant(int64_t(4294967296)), 4, OutOfRange(4294967296)},
      {{mvtWord32}, Variant(-1), 4, OutOfRange(-1)},
      {{mvtInt8}, Variant(-128.4), 1, "80"},
      {{mvtInt16}, Variant(32767.5), 2, OutOfRange(32768)},
      {{mvtInt32}, Variant(2.5), 4, "02 00 00 00"},
      {{mvtInt32}, Variant(3.5), 4, "04 00 00 00"},
      {{mvtInt32}, Variant(Currency::FromScaled(-25000)), 4, "FE FF FF FF"},
      {{mvtInt32}, Variant(mvStrToBcd(u"2.50000000000000000001")), 4, "03 00 00 00"},  // exact, not via currency
      {{mvtInt64}, Variant(mvStrToBcd(u"-9223372036854775808")), 8, "00 00 00 00 00 00 00 80"},
      {{mvtAutoInc}, Variant(int64_t(0x100000005)), 4, "05 00 00 00"},  // the low 32 bits
      // Characters.
      {{mvtChar}, Variant(u"ab"), 1, kCharFormat},
      {{mvtChar}, Variant(u"ア"), 1, kCharFormat},  // 2 bytes in 932
      {{mvtChar, 932}, Variant(u"ｱ"), 1, "B1"},
      {{mvtChar, 932}, Variant(u"ア"), 1, kCharFormat},
      {{mvtChar}, Variant(65), 1, "41"},
      {{mvtChar}, Variant(321), 1, OutOfRange(321)},
      {{mvtWideChar}, Variant(u""), 2, kCharFormat},
      // Floats: numbers by value, other kinds through their text.
      {{mvtDouble}, Variant(u"1,5"), 8, Hex(Raw(1.5)), false, &comma},
      {{mvtDouble}, Variant(u"1.5"), 8, "EConvertError: '1.5' は有効な浮動小数点数ではありません", false,
       &comma},
      {{mvtSingle}, Variant(1e300), 4, "EVariantError: Variant overflow"},
      {{mvtExtended}, Variant(mvStrToBcd(u"1")), 10, Hex(kOneExtended)},
      {{mvtExtended}, Variant(true), 10, "EConvertError: 'True' は有効な浮動小数点数ではありません"},
      // Dates and timestamps.
      {{mvtDate}, Variant::FromDate(EncodeDate(1, 1, 1)), 4, "01 00 00 00"},
      {{mvtDate}, Variant(u"29.02.2024"), 4, Hex(LE(693594 + 45351, 4)), false, &comma},
      {{mvtTime}, Variant(u"12:34:56"), 4, Hex(LE(45296000, 4))},
      {{mvtDateTime}, Variant(0), 8, "Exception: 0 (zero) is not a valid timestamp"},
      {{mvtDateTime}, Variant(0.0), 8, "Exception: 0 (zero) is not a valid timestamp"},
      {{mvtDateTime}, Variant::FromDate(0), 8, Hex(Raw(693594.0 * MSecsPerDay))},
      {{mvtDateTime}, Variant::FromDate(-1.5), 8, Hex(Raw(693593.0 * MSecsPerDay + MSecsPerDay / 2))},
      // Without a day number in years 1 to 9999 there is nothing to store.
      {{mvtDate}, Variant::FromDate(-693594.0), 4, kRangeError},  // 0000-12-31
      {{mvtDate}, Variant::FromDate(2958466.0), 4, kRangeError},  // 10000-01-01
      {{mvtDate}, Variant::FromDate(std::nan("")), 4, kRangeError},
      {{mvtDateTime}, Variant(std::nan("")), 8, kRangeError},
      {{mvtDateTime}, Variant::FromDate(-1e12), 8, kRangeError},
      {{mvtTime}, Variant::FromDate(std::nan("")), 4, kRangeError},
      {{mvtDate}, Variant::FromDate(2958465.5), 4, Hex(LE(3652059, 4))},  // 9999-12-31
      // Packed decimals.
      {{mvtBCD, 0, 5, 2}, Variant(123.456), 8, Hex(LE(1234500, 8))},
      {{mvtBCD, 0, 5, 2}, Variant(u"-123.459"), 8, Hex(LE(uint64_t(-1234500), 8))},
      {{mvtBCD, 0, 5, 2}, Variant(mvStrToBcd(u"1.23999")), 8, Hex(LE(12300, 8))},
      {{mvtBCD, 0, 5, 2}, Variant(1000), 8, "EmvBcdOverflow: BCD overflow"},
      {{mvtFmtBCD, 0, 5, 2}, Variant(u"123.45"), 5, Hex(kBcd12345)},
      {{mvtFmtBCD, 0, 5, 2}, Variant(u"123.45"), 4, "EmvBcdOverflow: BCD overflow"},
      {{mvtFmtBCD, 0, 5, 2}, Variant(u"1234.5"), 5, "EmvBcdOverflow: BCD overflow"},
      // GUIDs and byte arrays.
      {{mvtGuid}, Variant(u"{6b29fc40-ca47-1067-b31d-00dd010662da}"), 16, Hex(kGuid)},
      {{mvtGuid}, Variant(u"xyz"), 16, "EConvertError: 'xyz' は有効な GUID 値ではありません"},
      {{mvtByteArray, 0, 2}, Variant::ByteArray("\1\2\3", 3), 2, TooWide(3, 2)},
      {{mvtByteArray, 0, 2}, Variant::ByteArray("\1\2\3", 3), 2, "01 02", true},
      {{mvtByteArray, 0, 3}, Variant::ByteArray("\1", 1), 3, "01 00 00"},
      {{mvtByteArray, 0, 2}, Variant(u"ab"), 2, "00 00"},
      // 8-bit text: widths in bytes, zeroed buffers, trailing spaces.
      {{mvtNullString, 0, 2}, Variant(u"abc"), 3, TooWide(3, 2)},
      {{mvtNullString, 0, 2}, Variant(u"ab "), 3, "61 62 00"},
      {{mvtNullString, 0, 2}, Variant(u"abc"), 3, "61 62 00", true},
      {{mvtNullString, 0, 4}, Variant(u"a b"), 5, "61 20 62 00 00"},
      {{mvtNullString, 0, 4}, Variant::FromAnsiString("abcde"), 5, TooWide(5, 4)},
      {{mvtNullString, 0, 4, 4}, Variant::FromAnsiString("ab    "), 5, "61 62 00 00 00"},
      {{mvtNullString, 0, 4}, Variant(u"日本"), 5, "93 FA 96 7B 00"},
      {{mvtNullString, 0, 3}, Variant(u"日本"), 4, TooWideFor(3)},
      {{mvtNullString, 0, 4}, Variant::ByteArray("a\0b", 3), 5, "61 00 62 00 00"},
      {{mvtNullString, 932, 2}, Variant(u"abc"), 3, TooWideFor(2)},
      {{mvtNullString, 932, 2}, Variant(u"abc"), 3, "61 62 00", true},
      {{mvtNullString, 932, 3}, Variant(u"日本"), 4, TooWideFor(3), true},
      {{mvtNullString, 932, 3}, Variant(u""), 4, "00 00 00 00"},
      {{mvtShortString, 0, 3}, Variant(12345), 4, TooWide(5, 3)},
      {{mvtShortString, 0, 3}, Variant(123), 4, "03 31 32 33"},
      {{mvtShortString, 0, 3}, Variant(u"abcd"), 4, TooWideFor(3), true},
      {{mvtShortString, 0, 3}, Variant(u"abc  "), 4, "03 61 62 63"},
      {{mvtShortString, 1252, 3}, Variant(u"é"), 4, "01 E9 00 00"},
      {{mvtShortString, 0, 3, 3}, Variant(u"a  "), 4, "01 61 00 00"},
      // Wide text: twice the length against the room before the terminator.
      {{mvtWideString, 0, 2}, Variant(u"abc"), 6, TooWide(6, 4)},
      {{mvtWideString, 0, 2}, Variant(u"abc"), 6, "61 00 62 00 00 00", true},
      {{mvtWideString, 0, 2}, Variant(u"ab   "), 6, "61 00 62 00 00 00"},
      {{mvtWideString, 0, 3}, Variant(u"a "), 8, "61 00 20 00 00 00 00 00"},
      {{mvtWideString, 0, 3, 3}, Variant(u"a "), 8, "61 00 00 00 00 00 00 00"},
  };
  for (const Row& r : rows) {
    Bytes written;
    const std::string error = Raised([&] {
      const TFormatSettings& fs = r.fs ? *r.fs : mvLocaleFormatSettings(GetThreadLocale());
      written = Write(r.field, r.value, r.length, r.truncate, fs);
    });
    EXPECT_EQ(error.empty() ? Hex(written) : error, r.expect)
        << UTF8Encode(mvFieldTypeNames[r.field.type]) << " " << Show(r.value);
  }
}

TEST(mvsdNativeVariantConverter, ByteArrayFormSizesToTheValue) {
  struct Row {
    Field field;
    Variant value;
    std::string expect;
  };
  const Row rows[] = {
      {{mvtByte}, Variant(300), "2C"},  // no range check
      {{mvtInt16}, Variant(2.5), "02 00"},
      {{mvtDouble}, Variant(u"2.5"), Hex(Raw(2.5))},
      {{mvtDate}, Variant(u"0001-01-01"), "01 00 00 00"},
      {{mvtDate}, Variant(u"2024/02/29"), "Exception: Invalid date format 2024/02/29"},
      {{mvtTime}, Variant(u"12:34:56.789"), Hex(LE(45296789, 4))},
      {{mvtTime}, Variant(u"12.34"), "Exception: Invalid time format 12.34"},
      {{mvtDateTime}, Variant(u"1899-12-29 12:00:00"), Hex(Raw(693593.0 * MSecsPerDay + MSecsPerDay / 2))},
      {{mvtDateTime}, Variant(u"1899-12-29"), "Exception: Invalid date/time format 1899-12-29"},
      {{mvtDateTime}, Variant(0), "Exception: 0 (zero) is not a valid timestamp"},
      {{mvtDateTime}, Variant::FromDate(2958466.0), kRangeError},
      {{mvtNullString}, Variant(u"日本"), "93 FA 96 7B 00"},
      {{mvtNullString, 1252}, Variant(u""), "00"},
      {{mvtBlobMemo, 0, 0, 4}, Variant(u"ab  "), "61 62 00"},
      {{mvtShortString}, Variant(u""), "00"},
      {{mvtShortString}, Variant(String(255, u'x')), "FF " + Hex(Bytes(255, 'x'))},
      {{mvtShortString}, Variant(String(256, u'x')), TooWide(256, 255)},
      {{mvtWideString}, Variant(u""), "00 00"},
      {{mvtByteArray}, Variant(u"ab"), ""},
      {{mvtFmtBCD, 0, 5, 2}, Variant(123.45), Hex(kBcd12345)},
      {{mvtFmtBCD, 0, 4, 2}, Variant(123.45), "EmvBcdOverflow: BCD overflow"},
  };
  for (const Row& r : rows) {
    Bytes bytes;
    const std::string error = Raised([&] { bytes = ToBytes(r.field, r.value); });
    EXPECT_EQ(error.empty() ? Hex(bytes) : error, r.expect)
        << UTF8Encode(mvFieldTypeNames[r.field.type]) << " " << Show(r.value);
  }
}

// Restores the process's and the thread's code-page settings.
struct LocaleGuard {
  uint32_t acp = GetACP();
  LCID locale = GetThreadLocale();
  ~LocaleGuard() {
    SetACP(acp);
    SetThreadLocale(locale);
  }
};

TEST(mvsdNativeVariantConverter, EightBitTextUsesTheFieldOrProcessCodePage) {
  LocaleGuard guard;
  const Bytes sjis = Text("\x93\xfa\x96\x7b\x8c\xea", 7);  // 日本語
  EXPECT_EQ(Show(Read({mvtNullString, 932, 6}, sjis)), "UnicodeString 日本語");
  EXPECT_EQ(Show(Read({mvtNullString, 932, 6, 6}, sjis)), "UnicodeString 日本語   ");
  EXPECT_EQ(Show(Read({mvtShortString, 932, 6}, Bytes{4, 0x93, 0xfa, 0x96, 0x7b, 0, 0})), "UnicodeString 日本");
  EXPECT_EQ(Hex(Write({mvtNullString, 932, 6}, Variant(u"日本語"), 7)), Hex(sjis));
  EXPECT_EQ(Hex(Write({mvtNullString, 65001, 6}, Variant(u"日本"), 7)), "E6 97 A5 E6 9C AC 00");
  EXPECT_EQ(Show(Read({mvtChar, 932}, {0xB1})), "UnicodeString ｱ");

  // Without a code page of its own, text reads back through the code page it
  // was written with: a Char and a NullString through the system's (932
  // here) whatever the thread's locale, a variable-width ShortString through
  // the thread's.
  ASSERT_TRUE(SetThreadLocale(0x409));  // ANSI code page 1252
  for (const Field f : {Field{mvtChar}, Field{mvtNullString, 0, 2}, Field{mvtNullString, 0, 4, 4}}) {
    const String text = f.type == mvtChar ? u"ｱ" : u"日本";
    const Bytes stored = Write(f, Variant(text), f.type == mvtChar ? 1 : 5);
    EXPECT_EQ(Hex(stored).substr(0, 2), f.type == mvtChar ? "B1" : "93");
    String back = Read(f, stored).AsString();
    while (!back.empty() && back.back() == u' ') back.pop_back();
    EXPECT_EQ(back, text) << UTF8Encode(mvFieldTypeNames[f.type]);
  }
  EXPECT_EQ(Show(Read({mvtChar}, {'A'})), "UnicodeString A");
  EXPECT_EQ(Hex(Write({mvtShortString, 0, 4}, Variant(u"café"), 5)), "04 63 61 66 E9");
  EXPECT_EQ(Show(Read({mvtShortString, 0, 4}, {4, 'c', 'a', 'f', 0xE9})), "UnicodeString café");
  EXPECT_EQ(Hex(Write({mvtNullString, 0, 4}, Variant(u"café"), 5)), "63 61 66 3F 00");
  ASSERT_TRUE(SetACP(1252));
  const Bytes cafe = Text("caf\xe9", 5);
  EXPECT_EQ(Show(Read({mvtNullString, 0, 4}, cafe)), "UnicodeString café");
  EXPECT_EQ(Show(Read({mvtNullString, 0, 4, 4}, cafe)), "UnicodeString café");
  EXPECT_EQ(Show(Read({mvtChar}, {0xE9})), "UnicodeString é");
  EXPECT_EQ(Hex(Write({mvtNullString, 0, 4}, Variant(u"café"), 5)), "63 61 66 E9 00");

  // A damaged ShortString count reads only what the field holds.
  EXPECT_EQ(Show(Read({mvtShortString, 0, 2}, {200, 'a', 'b'})), "UnicodeString ab");
  // A NullString without its terminator stops at the end of the field.
  EXPECT_EQ(Show(Read({mvtNullString, 0, 2}, {'a', 'b'})), "UnicodeString ab");

  // Conversion failures name their step.
  for (auto f : {std::function<void()>([] { Read({mvtNullString, 12345, 2}, Text("a", 3)); }),
                 std::function<void()>([] { Read({mvtChar, 12345}, {0x41}); }),
                 std::function<void()>([] { Write({mvtChar, 12345}, Variant(u"a"), 1); }),
                 std::function<void()>([] { Write({mvtNullString, 12345, 2}, Variant(u"a"), 3); }),
                 std::function<void()>([] { Write({mvtShortString, 12345, 2}, Variant(u"a"), 3); })}) {
    try {
      f();
      ADD_FAILURE() << "no exception";
    } catch (const EmvBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), 11047u);
      const String action = e.CustomInfos().Values(u"Action");
      EXPECT_TRUE(action == u"VariantFromNullStringPtr/MultiByteToWideChar/1" ||
                  action == u"VariantFromPAnsiChar/MultiByteToWideChar" ||
                  action == u"AnsiCharToBuffer/WideCharToMultiByte" ||
                  action == u"NullStringToBuffer/WideCharToMultiByte" ||
                  action == u"ShortStringToBuffer/WideCharToMultiByte")
          << UTF8Encode(action);
    }
  }
}

TEST(mvsdNativeVariantConverter, ThreadFormsReadTextInTheThreadLocale) {
  LocaleGuard guard;
  auto writeDouble = [](const char16_t* text) {
    Bytes b(8);
    mvVariantToNative(mvtDouble, 0, 0, 0, Variant(text), b.data(), 8);
    return Hex(b);
  };
  EXPECT_EQ(writeDouble(u"1.5"), Hex(Raw(1.5)));
  ASSERT_TRUE(SetThreadLocale(0x407));  // German: decimal comma
  EXPECT_EQ(writeDouble(u"1,5"), Hex(Raw(1.5)));
  Bytes b(4);
  mvVariantToNative(mvtDate, 0, 0, 0, Variant(u"29.02.2024"), b.data(), 4);
  EXPECT_EQ(Hex(b), Hex(LE(693594 + 45351, 4)));
  ASSERT_TRUE(SetThreadLocale(0x411));
  EXPECT_EQ(Raised([&] { writeDouble(u"1,5"); }),
            "EConvertError: '1,5' は有効な浮動小数点数ではありません");
  Bytes bytes;
  mvVariantToBytes(mvtBCD, 0, 5, 2, Variant(u"1.5"), bytes);
  EXPECT_EQ(Hex(bytes), Hex(LE(15000, 8)));
}

TEST(mvsdNativeVariantConverter, RangeChecksAndVariantHelpers) {
  struct Row {
    bool (*check)(bool, int64_t);
    int64_t low, high;
  };
  const Row rows[] = {{mvCheckByteRange, 0, 255},          {mvCheckWord16Range, 0, 65535},
                      {mvCheckWord32Range, 0, 4294967295}, {mvCheckInt8Range, -128, 127},
                      {mvCheckInt16Range, -32768, 32767},  {mvCheckInt32Range, -2147483648LL, 2147483647}};
  for (const Row& r : rows) {
    EXPECT_TRUE(r.check(true, r.low));
    EXPECT_TRUE(r.check(true, r.high));
    EXPECT_FALSE(r.check(false, r.low - 1));
    EXPECT_FALSE(r.check(false, r.high + 1));
    EXPECT_EQ(Raised([&] { r.check(true, r.high + 1); }), OutOfRange(r.high + 1));
  }
  EXPECT_TRUE(mvVarIsEmptyOrNull(Variant()));
  EXPECT_TRUE(mvVarIsEmptyOrNull(Variant::Null()));
  EXPECT_FALSE(mvVarIsEmptyOrNull(Variant(0)));
  EXPECT_FALSE(mvVarIsEmptyOrNull(Variant(u"")));

  const String s = mvVarByteArrayToString(Variant::ByteArray("a\0\xff", 3));
  EXPECT_EQ(s, String(u"a\0\u00ff", 3));
  EXPECT_EQ(mvVarByteArrayToString(Variant::ByteArray(0)), u"");
  EXPECT_THROW(mvVarByteArrayToString(Variant(u"a")), EVariantError);
}

}  // namespace
