// Tests of the platform's ANSI text conversions and string compares, and of
// the streams, lists and variants that reach the NLS layer through them.
#include <gtest/gtest.h>

#include "platform/Classes.h"
#include "platform/Nls.h"
#include "platform/TextServices.h"
#include "platform/Variants.h"

namespace {

// Restores the process's ANSI code page when a test changed it.
struct AnsiCodePageGuard {
  uint32_t saved = GetACP();
  ~AnsiCodePageGuard() { SetACP(saved); }
};

TEST(TextServices, ConversionFollowsTheSystemAnsiCodePage) {
  AnsiCodePageGuard guard;
  const std::string sjis = "\x93\xfa\x96\x7b\x8c\xea\x83\x41";  // 日本語ア in code page 932
  EXPECT_EQ(SystemAnsiToString(sjis), u"日本語ア");
  EXPECT_EQ(StringToSystemAnsi(u"日本語ア"), sjis);
  EXPECT_EQ(StringToSystemAnsi(u"é"), "?");  // not in 932
  EXPECT_EQ(Variant::FromAnsiString(sjis).AsString(), u"日本語ア");
  EXPECT_EQ(Variant(u"日本語ア").AsAnsiString(), sjis);

  ASSERT_TRUE(SetACP(1252));
  EXPECT_EQ(SystemAnsiToString("caf\xe9"), u"café");
  EXPECT_EQ(StringToSystemAnsi(u"café"), "caf\xe9");

  const uint64_t calls = NlsConversionCallCount();
  EXPECT_EQ(SystemAnsiToString(""), u"");
  EXPECT_EQ(StringToSystemAnsi(u""), "");
  EXPECT_EQ(NlsConversionCallCount(), calls);
}

TEST(TextServices, CompareUsesTheUserLocaleCollator) {
  // By code unit 'B' (0x42) sorts before 'a' (0x61); the collator puts
  // letters in alphabetical order and lower case before upper case.
  EXPECT_LT(AnsiCompareStr(u"a", u"B"), 0);
  EXPECT_LT(AnsiCompareStr(u"a", u"A"), 0);
  EXPECT_GT(AnsiCompareStr(u"b", u"A"), 0);
  EXPECT_EQ(AnsiCompareStr(u"abc", u"abc"), 0);
  EXPECT_EQ(AnsiCompareText(u"abc", u"ABC"), 0);
  EXPECT_EQ(AnsiCompareText(u"ÉCOLE", u"école"), 0);  // beyond ASCII
  EXPECT_LT(AnsiCompareText(u"apple", u"Banana"), 0);
  EXPECT_NE(AnsiCompareText(u"ア", u"あ"), 0);  // case only, not kana type

  TStringList l;
  l.SetSorted(true);
  for (const char16_t* s : {u"b", u"C", u"a", u"É"}) l.Add(s);
  EXPECT_EQ(l.GetText(), u"a\r\nb\r\nC\r\nÉ\r\n");
  EXPECT_EQ(l.IndexOf(u"é"), 3);
}

}  // namespace
