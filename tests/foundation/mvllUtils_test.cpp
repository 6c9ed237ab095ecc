// Tests of the compare primitives, bit sets, string helpers, the hash and
// the identifier rules.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllUtils.h"
#include "platform/Classes.h"
#include "platform/Guid.h"

namespace {

TEST(Compare, ScalarsAndPointers) {
  EXPECT_EQ(mvCmpInt64(-1, 0), -1);  // the low halves alone would order them the other way
  EXPECT_EQ(mvCmpInt64(INT64_MIN, INT64_MAX), -1);
  EXPECT_EQ(mvCmpInt64Ref(5, 5), 0);
  EXPECT_EQ(mvCmpWord32(0xFFFFFFFFu, 1), 1);
  EXPECT_EQ(mvCmpInt32(-1, 1), -1);
  EXPECT_EQ(mvCmpInt8(-128, 127), -1);
  EXPECT_EQ(mvCmpByte(200, 100), 1);
  int a[2];
  EXPECT_EQ(mvCmpPointer(&a[0], &a[1]), -1);
}

TEST(Compare, NaNOrdersAfterEveryNumberAndEqualsNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(mvCmpDouble(nan, inf), 1);
  EXPECT_EQ(mvCmpDouble(-inf, nan), -1);
  EXPECT_EQ(mvCmpDouble(nan, nan), 0);
  EXPECT_EQ(mvCmpDouble(1.0, 2.0), -1);
  EXPECT_EQ(mvCmpDouble(-0.0, 0.0), 0);
  EXPECT_EQ(mvCmpSingle(std::nanf(""), 0.0f), 1);
  EXPECT_EQ(mvCmpSingle(2.0f, 1.0f), 1);
}

TEST(Compare, ByteArrays) {
  std::vector<uint8_t> a12{1, 2}, a120{1, 2, 0}, empty;
  EXPECT_EQ(mvCmpByteArrays(a12, a120), -1);
  EXPECT_EQ(mvCmpByteArrays(a120, a12), 1);
  EXPECT_EQ(mvCmpByteArrays(empty, empty), 0);
  EXPECT_EQ(mvCmpBytes(a12.data(), a120.data(), 0), 0);
  // Lengths beyond 32767 compare as lengths, not as negative 16-bit numbers.
  std::vector<uint8_t> longer(40000, 7), shorter(100, 7);
  EXPECT_EQ(mvCmpByteArrays(shorter, longer), -1);
  EXPECT_EQ(mvCmpByteArrays(longer, shorter), 1);
  std::vector<uint8_t> x65536(65536, 1), x1(1, 1);
  EXPECT_EQ(mvCmpByteArrays(x1, x65536), -1);  // 65536 is not 0
  EXPECT_TRUE(mvSameByteArrays(a12, std::vector<uint8_t>{1, 2}));
  EXPECT_FALSE(mvSameByteArrays(a12, a120));
}

TEST(Compare, ShortStringsAndWideStrings) {
  const uint8_t abc[] = {3, 'a', 'b', 'c'}, abd[] = {3, 'a', 'b', 'd'}, ABC[] = {3, 'A', 'B', 'C'};
  EXPECT_EQ(mvCmpShortString(abc, abd, 2), 0);
  EXPECT_EQ(mvCmpShortString(abc, abd, 3), -1);
  EXPECT_EQ(mvCmpShortString(abc, ABC, 3), 1);
  EXPECT_EQ(mvCmpShortStringIC(abc, ABC, 3), 0);
  EXPECT_EQ(mvStrLCompW(u"abc", u"abd", 2), 0);
  EXPECT_LT(mvStrLCompW(u"abc", u"abd", 3), 0);
  EXPECT_EQ(mvStrLCompW(u"ab", u"ab", 10), 0);  // stops after the terminator
  EXPECT_EQ(mvStrLICompW(u"ABc", u"abC", 3), 0);
  EXPECT_EQ(mvCmpContains(u"hello", u"ell"), 0);
  EXPECT_EQ(mvCmpContains(u"hello", u"xyz"), -1);
  EXPECT_TRUE(mvStartsWith(u"abc", u"ab"));
  EXPECT_FALSE(mvStartsWith(u"ab", u"abc"));
}

TEST(BitSets, SetClearFindOr) {
  uint32_t bits[2] = {};
  mvSetBits(bits, 33);
  EXPECT_EQ(bits[0], 0xFFFFFFFFu);
  EXPECT_EQ(bits[1], 0xFFu);  // whole bytes: (33 + 7) div 8 = 5
  mvClearBit(bits, 33);
  EXPECT_EQ(mvFindFirstClearBit(bits, 40), 33);
  uint32_t full = 0xFFFFFFFFu;
  EXPECT_EQ(mvFindFirstClearBit(&full, 32), -1);
  uint32_t zero[1] = {};
  mvSetBit(zero, 5);
  EXPECT_EQ(mvTestBit(zero, 5), 1);
  EXPECT_EQ(mvTestBit(zero, 4), 0);
  EXPECT_EQ(mvFindFirstClearBit(zero, 32), 0);
  uint8_t t[6] = {1, 0, 0, 0, 0, 0}, s[6] = {2, 0, 0, 0, 0x10, 0xFF};
  mvOrBits(t, s, 40);  // 5 bytes: one word, then one byte
  EXPECT_EQ(t[0], 3);
  EXPECT_EQ(t[4], 0x10);
  EXPECT_EQ(t[5], 0);
}

TEST(Strings, Helpers) {
  const char16_t text[] = u"hello";
  EXPECT_EQ(mvStrPosW(text, u"ll"), text + 2);
  EXPECT_EQ(mvStrPosW(text, u""), nullptr);
  EXPECT_EQ(mvStrPosW(u"ab", u"abc"), nullptr);
  String before, after;
  mvSplitAtCharSet(u"name=value", mvCharSet("=:"), before, after);
  EXPECT_EQ(before, u"name");
  EXPECT_EQ(after, u"value");
  mvSplitAtCharSet(u"plain", mvCharSet("="), before, after);
  EXPECT_EQ(before, u"plain");
  EXPECT_EQ(after, u"");
  char16_t buf[4];
  mvStringToWideBuffer(u"abcdef", buf, 3);
  EXPECT_EQ(String(buf), u"abc");
  char16_t w[2] = {0x1234, 0x00FF};
  mvSwapWideCharBytes(w, 2);
  EXPECT_EQ(w[0], 0x3412);
  EXPECT_EQ(w[1], 0xFF00);
  TmvUnicodeStrings us;
  mvUnicodeStringsAssign(us, u"");
  EXPECT_TRUE(us.empty());
  mvUnicodeStringsAdd(us, u"a");
  mvUnicodeStringsAdd(us, u"b");
  EXPECT_EQ(mvUnicodeStringsExtract(us, 0), u"a");
  TStringList sl;
  mvUnicodeStringsToStrings(us, sl);
  EXPECT_EQ(mvStringsToUnicodeStrings(sl), TmvUnicodeStrings{u"b"});
}

TEST(Hash, Elf) {
  EXPECT_EQ(mvElfHash("abc", 3), 0x6783u);
  EXPECT_EQ(mvHashString(u""), 0u);
  const uint8_t abcWide[] = {'a', 0, 'b', 0, 'c', 0};
  EXPECT_EQ(mvHashString(u"abc"), mvElfHash(abcWide, 6));
  // Long input exercises the high-nibble fold.
  std::string longText(100, 'z');
  EXPECT_EQ(mvElfHash(longText.data(), longText.size()) & 0xF0000000u, 0u);
}

TEST(Names, MakeValidAndPlain) {
  EXPECT_EQ(mvMakeValidIdentifier(u" a:b "), u"_a_b_");
  EXPECT_EQ(mvMakeValidIdentifier(String(200, u'x')).size(), 128u);
  EXPECT_TRUE(mvIsPlainName(u"My Database"));
  EXPECT_FALSE(mvIsPlainName(u"a.b"));
  EXPECT_FALSE(mvIsPlainName(u""));
}

TEST(SystemQueries, MemoryAndFiles) {
  TmvMemoryStatus ms;
  ASSERT_TRUE(mvGetMemoryStatus(ms));
  EXPECT_GT(ms.ullTotalPhys, 0u);
  EXPECT_LE(ms.ullAvailPhys, ms.ullTotalPhys);
  EXPECT_LE(ms.dwMemoryLoad, 100u);

  char path[] = "/tmp/mvllUtilsXXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  TmvFileIdentity id1, id2;
  ASSERT_TRUE(mvGetFileIdentity(fd, id1));
  int fd2 = open(path, O_RDONLY);
  ASSERT_TRUE(mvGetFileIdentity(fd2, id2));
  EXPECT_EQ(std::memcmp(&id1, &id2, sizeof id1), 0);  // same file through two descriptors
  uint8_t oid[64];
  EXPECT_TRUE(mvGetFileObjectId(fd, oid));
  EXPECT_FALSE(mvGetFileObjectId(-1, oid));
  unlink(path);
  mvCloseHandleAndNil(fd2);
  EXPECT_EQ(fd2, 0);
  mvCloseHandleAndNil(fd);
  EXPECT_FALSE(mvGetFileIdentity(-1, id1));
  EXPECT_FALSE(mvFindCmdLineSwitch(u"NoSuchSwitchHere"));
  EXPECT_EQ(mvCallReleaseHook(nullptr), E_NOTIMPL);
}

TEST(Handles, SignalAndCloseEvent) {
  TEventHandle e = new TOSEvent(true, false);
  mvSignalAndCloseEvent(e);
  EXPECT_EQ(e, nullptr);
  mvSignalAndCloseEvent(e);  // nil: nothing
}

}  // namespace

namespace {

TEST(Names, ValidateIdentifierRecordsItsMessage) {
  const String marker = mvOriginalMessageMarker();
  struct Case {
    String name;
    bool allowEmpty, allowReserved;
    const char16_t* message;  // nullptr: valid
  };
  const Case cases[] = {
      {u"", true, false, nullptr},
      {u"", false, false, u" Empty string is not allowed."},
      {String(128, u'n'), false, false, nullptr},
      {String(129, u'n'), false, false, u" Maximum length of 128 characters has been exceeded."},
      {u"a b", false, false, nullptr},
      {u" ab", false, false, u" Leading/trailing spaces are not allowed."},
      {u"ab ", false, false, u" Leading/trailing spaces are not allowed."},
      {u"a,b", false, false, u" \",\" is not a valid character."},
      {u"a\u00E9", false, false, u" \"\u00E9\" is not a valid character."},
      {u"$x", false, false, u" Reserved Identifier not allowed."},
      {u"$x", false, true, nullptr},
  };
  for (const Case& c : cases) {
    EmvBaseException::SetLastConvertedException(0, String());
    uint32_t r = mvValidateIdentifier(c.name, 10020, c.allowEmpty, c.allowReserved);
    uint32_t code;
    String text;
    EmvBaseException::GetLastConvertedException(code, text);
    if (!c.message) {
      EXPECT_EQ(r, 0u) << UTF8Encode(c.name);
      EXPECT_EQ(code, 0u);
    } else {
      EXPECT_EQ(r, 10020u) << UTF8Encode(c.name);
      EXPECT_EQ(code, 10020u);
      EXPECT_EQ(text, marker + c.message) << UTF8Encode(c.name);
    }
  }
}

TEST(OSErrors, RaiseNamesTheAction) {
  errno = EBADF;
  try {
    mvRaiseLastOSError(u"mvTest/close", 0);
    FAIL();
  } catch (const EmvBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 11047u);
    EXPECT_EQ(e.OSError(), static_cast<uint32_t>(EBADF));
  }
  EXPECT_TRUE(mvWin32CheckText(true, u"x"));
  int bad = 12345;  // not an open descriptor
  EXPECT_THROW(mvCloseHandleAndNil(bad), EmvBaseException);
  EXPECT_EQ(bad, 0);
}

}  // namespace

namespace {

TEST(LocaleHelpers, CompareUnderTheSystemLocaleAndLowerCase) {
  // Locale order puts "a" before "B", which code units would not.
  EXPECT_EQ(mvCmpStringSystemLocale(u"a", u"B"), -1);
  EXPECT_EQ(mvCmpStringSystemLocale(u"b", u"a"), 1);
  EXPECT_NE(mvCmpStringSystemLocale(u"abc", u"ABC"), 0);
  EXPECT_EQ(mvCmpStringSystemLocale(u"abc", u"ABC", true), 0);

  char16_t text[] = u"\u00C0B\u00C7x";
  mvCharLower(text);
  EXPECT_EQ(String(text), u"\u00E0b\u00E7x");
  // Capital I with dot lower-cases to two units: it stays, the rest is lowered.
  char16_t dotted[] = u"A\u0130Z";
  mvCharLower(dotted);
  EXPECT_EQ(String(dotted), u"a\u0130z");
  mvCharLower(nullptr);
}

TEST(ValueText, NumbersDatesAndGuids) {
  TFormatSettings fs;
  fs.DecimalSeparator = u',';
  fs.DateSeparator = u'-';
  fs.ShortDateFormat = u"yyyy/MM/dd";
  fs.LongTimeFormat = u"H:mm:ss";
  EXPECT_EQ(mvIntToStr(-42), u"-42");
  EXPECT_EQ(mvInt64ToAnsiStr(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(mvFloatToStr(1.5, fs), u"1,5");
  EXPECT_EQ(mvFloatToAnsiStr(1e20, fs), "1E20");
  const TDateTime dt = EncodeDateTime(2024, 2, 29, 13, 5, 9, 0);
  EXPECT_EQ(mvDateToStr(dt, fs), u"2024-02-29");
  EXPECT_EQ(mvTimeToAnsiStr(dt, fs), "13:05:09");
  EXPECT_EQ(mvDateTimeToStr(dt, fs), u"2024-02-29 13:05:09");
  EXPECT_EQ(mvDateTimeToAnsiStr(EncodeDate(2024, 2, 29), fs), "2024-02-29");  // midnight: no time

  const TGUID g = StringToGUID(u"{01234567-89AB-CDEF-0123-456789ABCDEF}");
  EXPECT_EQ(mvGuidToStr(g), u"{01234567-89AB-CDEF-0123-456789ABCDEF}");
  EXPECT_EQ(mvGuidToAnsiStr(g), "{01234567-89AB-CDEF-0123-456789ABCDEF}");

  struct { const char* text; int32_t expected; } cases[] = {
      {" 42 ", 42}, {"-7", -7}, {"+7", 7}, {"2147483647", 2147483647},
      {"2147483648", -1}, {"", -1}, {"4x", -1}, {"x", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(mvAnsiStrToIntDef(c.text, -1), c.expected) << c.text;

  const TTimeStamp ts = mvMakeTimeStamp(739000, 1234);
  EXPECT_EQ(ts.Date, 739000);
  EXPECT_EQ(ts.Time, 1234);
  EXPECT_EQ(mvVarArrayLength(Variant::ByteArray(5)), 5);
}

}  // namespace
