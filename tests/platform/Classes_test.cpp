// Tests of the platform's file stream, buffer transfers and string lists.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "platform/Classes.h"

namespace {

String TempName(const char* tag) {
  return UTF8ToString("/tmp/mv_classes_" + std::to_string(::getpid()) + "_" + tag);
}

TEST(FileStream, WriteSeekReadAndSize) {
  const String name = TempName("rw");
  {
    TFileStream f(name, fmCreate);
    f.WriteBuffer("abcdef", 6);
    EXPECT_EQ(f.GetSize(), 6);
    EXPECT_EQ(f.Seek(-2, soEnd), 4);
    char b[3] = {};
    f.ReadBuffer(b, 2);
    EXPECT_EQ(std::string(b), "ef");
    f.SetSize(3);
    EXPECT_EQ(f.GetPosition(), 3);
    EXPECT_EQ(f.GetSize(), 3);
  }
  {
    TFileStream f(name, fmOpenRead | fmShareDenyWrite);
    char b[8] = {};
    EXPECT_EQ(f.Read(b, 8), 3);
    EXPECT_EQ(std::string(b), "abc");
    try {
      f.ReadBuffer(b, 1);
      FAIL();
    } catch (const EReadError& e) {
      EXPECT_EQ(e.Message(), u"ストリームからの読み取りエラー");
    }
    EXPECT_THROW(f.WriteBuffer("x", 1), EWriteError);  // opened for reading
  }
  ::unlink(UTF8Encode(name).c_str());
  EXPECT_THROW(TFileStream(name, fmOpenRead), EFOpenError);
  EXPECT_THROW(TFileStream(u"/nonexistent-dir/x", fmCreate), EFCreateError);
}

TEST(StringList, UnsortedBasics) {
  TStringList l;
  l.Add(u"b");
  l.Add(u"A");
  l.Insert(0, u"c");
  EXPECT_EQ(l.GetText(), u"c\r\nb\r\nA\r\n");
  EXPECT_EQ(l.IndexOf(u"a"), 2);  // case-insensitive by default
  l.SetCaseSensitive(true);
  EXPECT_EQ(l.IndexOf(u"a"), -1);
  l.Delete(0);
  EXPECT_EQ(l.Count(), 2);
  try {
    l.Get(2);
    FAIL();
  } catch (const EStringListError& e) {
    EXPECT_EQ(e.Message(), u"リストのインデックスが範囲を超えています (2)");
  }
  EXPECT_THROW(l.Insert(3, u"x"), EStringListError);
  EXPECT_THROW(l.Delete(-1), EStringListError);
}

TEST(StringList, SortedDuplicatesAndFind) {
  struct Case {
    TDuplicates dup;
    size_t count;
  };
  for (const Case& c : {Case{dupIgnore, 3}, Case{dupAccept, 5}}) {
    TStringList l;
    l.SetSorted(true);
    l.SetDuplicates(c.dup);
    for (const char16_t* s : {u"pear", u"Apple", u"fig", u"apple", u"APPLE"}) l.Add(s);
    EXPECT_EQ(size_t(l.Count()), c.count);
    EXPECT_EQ(l[0].size(), 5u);  // an apple first
    int32_t i;
    EXPECT_TRUE(l.Find(u"aPPle", i));
    EXPECT_EQ(i, 0);
    EXPECT_FALSE(l.Find(u"grape", i));
    EXPECT_EQ(l[i], u"pear");  // the insertion point
    EXPECT_THROW(l.Insert(0, u"x"), EStringListError);
  }
  // An ignored duplicate leaves the entry as it was, its object included.
  int first = 1, second = 2;
  TStringList ignoring;
  ignoring.SetSorted(true);
  ignoring.SetDuplicates(dupIgnore);
  EXPECT_EQ(ignoring.AddObject(u"x", &first), 0);
  EXPECT_EQ(ignoring.AddObject(u"X", &second), 0);
  EXPECT_EQ(ignoring.Count(), 1);
  EXPECT_EQ(ignoring.GetObject(0), &first);
  TStringList l;
  l.SetSorted(true);
  l.SetDuplicates(dupError);
  l.Add(u"x");
  try {
    l.Add(u"X");
    FAIL();
  } catch (const EStringListError& e) {
    EXPECT_EQ(e.Message(), u"文字列リストは重複を許しません");
  }
}

TEST(StringList, UpdatesNotifyOnceAtTheEnd) {
  TStringList l;
  int changing = 0, changed = 0;
  l.OnChanging = [&](TStringList&) { ++changing; };
  l.OnChange = [&](TStringList&) { ++changed; };
  l.Add(u"a");
  EXPECT_EQ(changed, 1);
  l.BeginUpdate();
  l.Add(u"b");
  l.BeginUpdate();
  l.Clear();
  l.EndUpdate();
  EXPECT_EQ(changed, 1);
  l.EndUpdate();
  EXPECT_EQ(changing, 2);
  EXPECT_EQ(changed, 2);
}

}  // namespace

TEST(StringList, NameValueLines) {
  TStringList l;
  l.Add(u"plain");
  l.Add(u"OSError=5");
  l.Add(u"Action=a=b");
  EXPECT_EQ(l.Names(0), u"");
  EXPECT_EQ(l.ValueFromIndex(0), u"");
  EXPECT_EQ(l.Names(2), u"Action");
  EXPECT_EQ(l.ValueFromIndex(2), u"a=b");  // split at the first "="
  EXPECT_EQ(l.IndexOfName(u"oserror"), 1);
  EXPECT_EQ(l.Values(u"ACTION"), u"a=b");
  EXPECT_EQ(l.Values(u"plain"), u"");
  l.SetValue(u"oserror", u"7");  // replaced in place, under the name given
  EXPECT_EQ(l.Strings(1), u"oserror=7");
  l.SetValue(u"Module", u"m");
  EXPECT_EQ(l.Strings(3), u"Module=m");
  l.SetValue(u"ACTION", u"");  // an empty value deletes the line
  EXPECT_EQ(l.Count(), 3);
  EXPECT_EQ(l.IndexOfName(u"Action"), -1);
}

TEST(StringList, SplitTextLinesBreaksLikeText) {
  struct {
    std::u16string_view text;
    std::vector<String> lines;
  } cases[] = {
      {u"", {}},
      {u"a", {u"a"}},
      {u"a\r\n", {u"a"}},
      {u"a\r\nb\nc\rd", {u"a", u"b", u"c", u"d"}},
      {u"\n\r", {u"", u""}},
      {u"a\n\r\nb", {u"a", u"", u"b"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitTextLines(c.text), c.lines) << UTF8Encode(String(c.text));
}
