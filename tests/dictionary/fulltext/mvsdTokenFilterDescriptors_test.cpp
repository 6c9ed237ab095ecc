// Tests of the token filter descriptors: defaults, the category set's 7 raw
// bytes, the replace items and their bounds, settings that travel through a
// stream but take no part in equality, and refused stream versions.
#include "dictionary/fulltext/mvsdTokenFilterDescriptors.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdStreamBytes.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class TokenFilterDescriptors : public DictionaryTest {};

// The part every filter writes before its own: the item header of a free
// item and the versions of the full-text levels, number 0.
Bytes FilterBase() {
  Bytes b;
  b.header().integer(1).integer(1).integer(1).integer(0).integer(1).integer(1);
  return b;
}

TEST_F(TokenFilterDescriptors, Defaults) {
  TmvWideCharSeparatorTokenFilterDescriptor wide(nullptr);
  EXPECT_EQ(wide.GetSeparatorChar(), u'\u0020');
  EXPECT_EQ(wide.GetSeparatorDistance(), 1);
  TmvCategorySeparatorTokenFilterDescriptor cats(nullptr);
  TmvCharacterCategories expected = 0;
  for (int ordinal : {9, 10, 11, 21, 22, 23, 24, 25, 44, 45, 53}) expected |= TmvCharacterCategories{1} << ordinal;
  EXPECT_EQ(cats.GetSeparatorCategories(), expected);
  EXPECT_EQ(cats.GetSeparatorDistance(), 1);

  const struct {
    TmvDictionaryItem* filter;
    uint32_t flags;
  } fixed[] = {
      {new TmvLowercaseLocaleMappingTokenFilterDescriptor(nullptr), 0x100},
      {new TmvUppercaseLocaleMappingTokenFilterDescriptor(nullptr), 0x200},
      {new TmvCustomLocaleMappingTokenFilterDescriptor(nullptr), 0},
      {new TmvPreComposeFoldStringTokenFilterDescriptor(nullptr), 0x20},
      {new TmvDecomposeFoldStringTokenFilterDescriptor(nullptr), 0x40},
      {new TmvCustomFoldStringTokenFilterDescriptor(nullptr), 0},
  };
  for (const auto& f : fixed) {
    uint32_t flags;
    if (auto* mapping = dynamic_cast<TmvBaseLocaleMappingTokenFilterDescriptor*>(f.filter))
      flags = mapping->GetFlags();
    else
      flags = dynamic_cast<TmvBaseFoldStringTokenFilterDescriptor*>(f.filter)->GetFlags();
    EXPECT_EQ(flags, f.flags) << Utf8(f.filter->ClassName());
    delete f.filter;
  }
}

// The set {ccAssigned} is the 7 bytes 00 00 00 00 00 00 40, without a value
// tag; reading takes all 7 and drops the bit above the last category.
TEST_F(TokenFilterDescriptors, CategorySetIsSevenRawBytes) {
  TmvCategorySeparatorTokenFilterDescriptor cats(nullptr);
  cats.SetSeparatorCategories(mvCategoriesOf({ccAssigned}) | (TmvCharacterCategories{1} << 60));
  EXPECT_EQ(cats.GetSeparatorCategories(), mvCategoriesOf({ccAssigned}));
  Bytes expected = FilterBase();
  expected.integer(1).integer(1).integer(1).raw({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40});
  EXPECT_EQ(Written(cats), expected.b);

  TmvCategorySeparatorTokenFilterDescriptor back(nullptr);
  Bytes odd = FilterBase();
  odd.integer(1).integer(1).integer(1).raw({0x01, 0x02, 0x00, 0x00, 0x00, 0x10, 0xC0});
  ReadAll(odd.b, back);
  EXPECT_EQ(back.GetSeparatorCategories(),
            mvCategoriesOf({ccLetterUppercase, ccSeparatorSpace, ccSegmentSeparator, ccAssigned}));
}

TEST_F(TokenFilterDescriptors, ReplaceItems) {
  TmvStringReplaceTokenFilterDescriptor replace(nullptr);
  EXPECT_EQ(replace.AddItem(u"A", u"a", srkWhole, false), 0);
  EXPECT_EQ(replace.AddItem(u"B", u"b", srkOne, true), 1);
  EXPECT_EQ(replace.AddItem(u"C", u"c", srkAll, false), 2);
  replace.MoveItem(0, 2);
  const auto olds = [&] {
    String s;
    for (int32_t i = 0; i < replace.ItemCount(); ++i) s += replace.GetOldPattern(i);
    return s;
  };
  EXPECT_EQ(olds(), u"CBA");
  EXPECT_EQ(replace.GetReplaceKind(2), srkWhole);
  String message;
  EXPECT_EQ(RaisedCode([&] { replace.RemoveItem(3); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: 3");
  const std::function<void()> outside[] = {
      [&] { replace.MoveItem(0, 3); },        [&] { replace.GetOldPattern(-1); },
      [&] { replace.GetNewPattern(3); },      [&] { replace.SetIgnoreCase(3, true); },
      [&] { replace.SetReplaceKind(-1, srkOne); },
  };
  for (const auto& f : outside) EXPECT_NE(RaisedCode(f), 0u);
  EXPECT_EQ(olds(), u"CBA");
  replace.RemoveItem(1);
  EXPECT_EQ(olds(), u"CA");
  replace.SetNewPattern(1, u"\u00e0");

  TmvStringReplaceTokenFilterDescriptor back(nullptr);
  back.AddItem(u"stale", u"", srkOne, false);
  ReadAll(Written(replace), back);
  EXPECT_EQ(back.ItemCount(), 2);
  EXPECT_EQ(back.GetNewPattern(1), u"\u00e0");
  EXPECT_EQ(back.GetReplaceKind(0), srkAll);

  // A kind outside the enumeration, a negative count, or a list that does
  // not end after the count: refused, the items as they were.
  Bytes head = FilterBase();
  head.integer(1);
  const auto items = [&](int8_t aCount, int8_t aKind, bool aExtra) {
    Bytes b = head;
    b.integer(aCount).raw({0x01}).str("x").str("y").integer(aKind).boolean(false);
    if (aExtra) b.str("z");
    b.raw({0x00});
    return b.b;
  };
  ReadAll(items(1, 2, false), back);
  EXPECT_EQ(back.ItemCount(), 1);
  for (const auto& bad : {items(1, 3, false), items(-1, 0, false), items(1, 0, true)})
    EXPECT_EQ(RaisedCode([&] { ReadAll(bad, back); }), 15498u);
  EXPECT_THROW(ReadAll(items(2, 0, false), back), Exception);  // the list ends early
  EXPECT_EQ(back.GetOldPattern(0), u"x");
}

// Each filter's settings come back from its stream; two filters of one
// class are equal whatever their settings, and a stream version other than
// 1 in the filter's own part is refused.
TEST_F(TokenFilterDescriptors, SettingsTravelButTakeNoPartInEquality) {
  auto* wide = new TmvWideCharSeparatorTokenFilterDescriptor(nullptr);
  wide->SetSeparatorChar(u'\u3000');
  wide->SetSeparatorDistance(4);
  auto* cats = new TmvCategorySeparatorTokenFilterDescriptor(nullptr);
  cats->SetSeparatorCategories(mvCategoriesOf({ccSymbolMath}));
  auto* mapping = new TmvCustomLocaleMappingTokenFilterDescriptor(nullptr);
  mapping->SetFlags(0x400);
  auto* fold = new TmvCustomFoldStringTokenFilterDescriptor(nullptr);
  fold->SetFlags(0x80);
  std::unique_ptr<TmvDictionaryItem> filters[] = {std::unique_ptr<TmvDictionaryItem>(wide),
                                                  std::unique_ptr<TmvDictionaryItem>(cats),
                                                  std::unique_ptr<TmvDictionaryItem>(mapping),
                                                  std::unique_ptr<TmvDictionaryItem>(fold)};
  for (auto& filter : filters) {
    const auto& cls = static_cast<const TmvDictionaryItemClassRef&>(filter->ClassType());
    std::unique_ptr<TmvDictionaryItem> plain(cls.CreateItem(nullptr));
    EXPECT_TRUE(plain->IsEqual(filter.get())) << Utf8(cls.Name());
    const std::vector<uint8_t> bytes = Written(*filter);
    std::unique_ptr<TmvDictionaryItem> back(cls.CreateItem(nullptr));
    ReadAll(bytes, *back);
    EXPECT_EQ(Written(*back), bytes) << Utf8(cls.Name());
    // The own part's version follows the base filter's part.
    std::vector<uint8_t> v2 = bytes;
    const size_t own = FilterBase().b.size() + 1;
    ASSERT_EQ(v2.at(own), 0x01);
    v2[own] = 0x02;
    EXPECT_EQ(RaisedCode([&] { ReadAll(v2, *back); }), 15498u) << Utf8(cls.Name());
  }
  EXPECT_EQ(static_cast<TmvWideCharSeparatorTokenFilterDescriptor*>(filters[0].get())->GetSeparatorChar(), u'\u3000');

  // A separator character code outside UTF-16 units is damage.
  Bytes big = FilterBase();
  big.integer(1).integer(1).integer(1).raw({0x04, 0x00, 0x00, 0x01, 0x00});
  TmvWideCharSeparatorTokenFilterDescriptor back(nullptr);
  EXPECT_EQ(RaisedCode([&] { ReadAll(big.b, back); }), 15498u);
}

}  // namespace
