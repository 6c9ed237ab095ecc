// Tests of the wide-string lists: sorted lists and their duplicates, index
// errors, the comparers (bytes and locale, an unknown locale refused), the
// transformers (case, truncation, precomposition, hubs), text and stream
// forms, and name=value entries.
#include "storage/fulltext/mvllWideStringList.h"

#include <gtest/gtest.h>

#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllStreams.h"
#include "storage/mvsrUnits.h"

namespace {

class WideStringList : public ::testing::Test {
 protected:
  void SetUp() override { mvStorageInit(); }
  void TearDown() override { mvStorageFini(); }

  static std::vector<TmvWideString> Items(const TmvWideStrings& aList) {
    std::vector<TmvWideString> out;
    for (int32_t i = 0; i < aList.Count(); ++i) out.push_back(aList.Strings(i));
    return out;
  }
  template <typename F>
  static String ListErrorText(F aWork) {
    try {
      aWork();
    } catch (const EStringListError& e) {
      return e.Message();
    }
    return u"<none>";
  }
};

using Strings = std::vector<TmvWideString>;

TEST_F(WideStringList, SortedListIgnoresOrRefusesDuplicates) {
  TmvWideStringList list;
  list.SetSorted(true);
  list.Add(u"b");
  list.Add(u"a");
  list.Add(u"b");
  EXPECT_EQ(Items(list), (Strings{u"a", u"b"}));
  EXPECT_EQ(list.Add(u"b"), 1);
  EXPECT_EQ(list.Count(), 2);

  list.SetDuplicates(dupError);
  EXPECT_EQ(ListErrorText([&] { list.Add(u"a"); }), u"文字列リストは重複を許しません");
  list.SetDuplicates(dupAccept);
  list.Add(u"a");
  EXPECT_EQ(Items(list), (Strings{u"a", u"a", u"b"}));
  EXPECT_EQ(ListErrorText([&] { list.Insert(0, TmvWideString(u"c")); }),
            u"ソートされる文字列リストに対しては許されない動作です");
}

TEST_F(WideStringList, IndexErrorsNameTheIndex) {
  TmvWideStringList list;
  list.Add(u"x");
  EXPECT_EQ(ListErrorText([&] { list.Strings(1); }), u"リストのインデックスが範囲を超えています (1)");
  EXPECT_EQ(ListErrorText([&] { list.Delete(-1); }), u"リストのインデックスが範囲を超えています (-1)");
  EXPECT_EQ(ListErrorText([&] { list.Insert(2, TmvWideString(u"y")); }),
            u"リストのインデックスが範囲を超えています (2)");
  EXPECT_EQ(ListErrorText([&] { list.Exchange(0, 5); }), u"リストのインデックスが範囲を超えています (5)");
  list.Insert(1, TmvWideString(u"y"));  // at Count is allowed
  EXPECT_EQ(Items(list), (Strings{u"x", u"y"}));
}

TEST_F(WideStringList, UnsortedListSortsMovesAndExchanges) {
  TmvWideStringList list;
  for (const char16_t* s : {u"d", u"b", u"e", u"a", u"c", u"b"}) list.Add(TmvWideString(s));
  int changes = 0;
  list.SetOnChange([&](TPersistent*) { ++changes; });
  list.Move(0, 5);
  list.Exchange(0, 1);
  EXPECT_EQ(Items(list), (Strings{u"e", u"b", u"a", u"c", u"b", u"d"}));
  EXPECT_EQ(changes, 2);  // one each: Move runs inside BeginUpdate/EndUpdate
  list.SetSorted(true);
  EXPECT_EQ(Items(list), (Strings{u"a", u"b", u"b", u"c", u"d", u"e"}));
  int32_t at = -1;
  EXPECT_FALSE(list.Find(u"bb", at));
  EXPECT_EQ(at, 3);
}

TEST_F(WideStringList, ByteComparerOrdersMemoryBytes) {
  TmvWideStringByteComparer comparer;
  EXPECT_EQ(comparer.Compare(u"ab", u"abc"), -1);
  EXPECT_EQ(comparer.Compare(u"\u0100", u"\u00FF"), -1);  // 00 01 before FF 00
  EXPECT_EQ(comparer.Compare(u"abc", u"abc"), 0);
  EXPECT_EQ(comparer.Compare(u"b", u"abc"), 1);
}

TEST_F(WideStringList, LocaleComparerOrdersByLocaleAndRefusesAnUnknownOne) {
  auto comparer = mvCreateInterfaced<ImvWideStringComparer, TmvWideStringCompareStringWComparer>(
      LCID(0x409), NORM_IGNORECASE);
  EXPECT_EQ(comparer->Compare(u"abc", u"ABC"), 0);
  EXPECT_EQ(comparer->Compare(u"", u"a"), -1);
  EXPECT_EQ(comparer->Compare(u"b", u"A"), 1);
  auto unknown =
      mvCreateInterfaced<ImvWideStringComparer, TmvWideStringCompareStringWComparer>(LCID(0x7777), uint32_t(0));
  EXPECT_EQ(unknown->Compare(u"", u""), 0);  // empty strings never reach the platform
  try {
    unknown->Compare(u"a", u"b");
    ADD_FAILURE() << "an unknown locale must not compare";
  } catch (const EmvBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), uint32_t(MVERR_OSUNKNOWN));
    EXPECT_NE(e.ErrorString().find(u"CompareStringW"), String::npos);
  }
  // A sorted list over it fails as loudly instead of misplacing strings.
  TmvWideStringList list(unknown);
  list.SetSorted(true);
  list.Add(u"a");
  EXPECT_THROW(list.Add(u"b"), EmvBaseException);
}

TEST_F(WideStringList, TransformedListsFindTheUntransformedText) {
  TmvWideStringList upper(nullptr,
                          mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringUpperCaseTransformer>(LCID(0x409)));
  upper.Add(u"abc");
  EXPECT_EQ(upper.Strings(0), u"ABC");
  EXPECT_EQ(upper.IndexOf(u"abc"), 0);
  upper.SetSorted(true);
  EXPECT_EQ(upper.IndexOf(u"aBc"), 0);
  EXPECT_EQ(upper.IndexOf(u"abd"), -1);
}

TEST_F(WideStringList, TransformersMapAsNamed) {
  struct Case {
    TmvWideStringTransformerRef transformer;
    TmvWideString in, out;
  } cases[] = {
      {mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringTruncateTransformer>(3), u"abcd", u"abc"},
      {mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringTruncateTransformer>(3), u"ab\xD83D\xDE00", u"ab"},
      {mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringTruncateTransformer>(3), u"ab", u"ab"},
      {mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringTruncateTransformer>(0), u"ab", u""},
      {mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringPreComposeTransformer>(), u"e\u0301", u"\u00E9"},
      {mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringPreComposeTransformer>(), u"", u""},
      {mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringFoldStringTransformer>(MAP_COMPOSITE), u"\u00E9",
       u"e\u0301"},
      {mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringLowerCaseTransformer>(LCID(0x409)), u"AbC", u"abc"},
      {mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringTransformerHub>(TmvWideStringTransformers{
           mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringUpperCaseTransformer>(LCID(0x409)),
           mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringTruncateTransformer>(2)}),
       u"abc", u"AB"},
      {mvCreateInterfaced<ImvWideStringTransformer, TmvWideStringTransformerHub>(TmvWideStringTransformers{}), u"abc",
       u"abc"},
  };
  for (const Case& c : cases) {
    TmvWideString out = u"stale";
    c.transformer->Transform(c.in, out);
    EXPECT_EQ(out, c.out) << std::string(c.in.begin(), c.in.end());
  }
}

TEST_F(WideStringList, TransformerFailuresAreEngineErrors) {
  try {
    TmvWideStringLocaleMappingTransformer(0x409, LCMAP_UPPERCASE | LCMAP_SORTKEY);
    ADD_FAILURE() << "LCMAP_SORTKEY must be refused";
  } catch (const EmvWideStringLocaleMappingTransformerException& e) {
    EXPECT_EQ(e.ErrorCode(), uint32_t(MVERR_NOTSUPPORTED));
    EXPECT_EQ(e.ErrorString(), u"LCMAP_SORTKEY is not supported by TmvWideStringLocaleMappingTransformer");
  }
  TmvWideString out;
  TmvWideStringFoldStringTransformer refused(0x1);  // no such fold
  try {
    refused.Transform(u"a", out);
    ADD_FAILURE() << "an unknown fold flag must fail";
  } catch (const EmvBaseException& e) {
    EXPECT_NE(e.ErrorString().find(u"TmvWideStringFoldStringTransformer.Transform/FoldStringW/1"), String::npos);
  }
}

TEST_F(WideStringList, TextBreaksLinesAndJoinsWithLineSeparators) {
  TmvWideStringList list;
  EXPECT_EQ(list.GetText(), u"");
  list.SetText(u"a\r\nb\r\rc");
  EXPECT_EQ(Items(list), (Strings{u"a", u"b", u"", u"c"}));
  list.SetText(TmvWideString(u"x\u2029y\0z\n", 6));
  EXPECT_EQ(Items(list), (Strings{u"x", u"y", u"z"}));
  EXPECT_EQ(list.GetText(), u"x\u2028y\u2028z");
  EXPECT_EQ(list.GetSeparatedText(u", "), u"x, y, z");
}

TEST_F(WideStringList, StreamsReadEitherByteOrderAndWriteBackWhatTheyRead) {
  TmvWideStringList list;
  TmvMemoryStream big;
  const uint8_t bigEndian[] = {0xFE, 0xFF, 0x00, 'a', 0x30, 0x42, 0x00, '\n', 0x00, 'b', 0x7F};
  big.WriteBuffer(bigEndian, sizeof bigEndian);  // the odd last byte is ignored
  big.SetPosition(0);
  list.LoadFromStream(big, false);
  EXPECT_EQ(Items(list), (Strings{u"a\u3042", u"b"}));

  TmvMemoryStream saved;
  list.SaveToStream(saved, true, true);
  saved.SetPosition(0);
  TmvWideStringList again;
  again.LoadFromStream(saved, false);
  EXPECT_TRUE(again.Equals(list));

  TmvMemoryStream ansi;
  ansi.WriteBuffer("x\r\ny", 4);
  ansi.SetPosition(0);
  again.LoadFromStream(ansi, false, 1252);
  EXPECT_EQ(Items(again), (Strings{u"x", u"y"}));
}

TEST_F(WideStringList, StreamPropertyHoldsTheText) {
  TmvWideStringList list, empty;
  list.SetText(u"\u3042\nb");
  EXPECT_FALSE(empty.ShouldWriteWideStrings(nullptr));
  EXPECT_TRUE(list.ShouldWriteWideStrings(nullptr));
  EXPECT_TRUE(list.ShouldWriteWideStrings(&empty));
  TmvMemoryStream stream;
  {
    TWriter writer(stream);
    list.WriteWideStrings(writer);
  }
  stream.SetPosition(0);
  {
    TReader reader(stream);
    empty.ReadWideStrings(reader);
  }
  EXPECT_TRUE(empty.Equals(list));
  EXPECT_FALSE(list.ShouldWriteWideStrings(&empty));
}

TEST_F(WideStringList, NameValueEntries) {
  TmvWideStringList list;
  list.Add(u"plain");
  list.Add(u"key=value");
  list.Add(u"longername=v");
  EXPECT_EQ(list.IndexOfName(u"key"), 1);
  EXPECT_EQ(list.IndexOfName(u"longername"), 2);  // a name longer than its value
  EXPECT_EQ(list.IndexOfName(u"plain"), -1);
  EXPECT_EQ(list.Values(u"key"), u"value");
  EXPECT_EQ(list.Values(u"longername"), u"v");
  EXPECT_EQ(list.Names(1), u"key");
  list.wsSetValue(u"new", u"1");
  list.wsSetValue(u"key", u"");
  EXPECT_EQ(Items(list), (Strings{u"plain", u"longername=v", u"new=1"}));
}

TEST_F(WideStringList, SingleByteOverloadsConvertWithTheCodePage) {
  TmvWideStringList list;
  list.Add(AnsiString("\xE9"), 1252);
  list.Add(AnsiString("\x82\xA0"), 932);
  EXPECT_EQ(Items(list), (Strings{u"\u00E9", u"\u3042"}));
  TStringList platform;
  list.AssignTo(platform);
  EXPECT_EQ(platform.Get(1), u"\u3042");
  TmvWideStringList copy;
  copy.Assign(&list);
  EXPECT_TRUE(copy.Equals(list));
}

}  // namespace
