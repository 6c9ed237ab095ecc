// Tests of the full-text descriptors: full-text index names and location
// indexes, the hubs and their numbering, field token extractors, following
// the table's field and index changes, equality, the stream form of a hub,
// a whole table with every full-text descriptor through the dictionary
// stream, unknown classes, a frozen tree, and damaged streams.
#include "dictionary/fulltext/mvsdFulltextDescriptors.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdFulltextTestSupport.h"
#include "dictionary/mvsdStreamBytes.h"
#include "dictionary/mvsdTestSupport.h"
#include "dictionary/mvsdUnits.h"

using namespace mvtest;

namespace {

class FulltextDescriptors : public DictionaryTest {};

std::vector<uint8_t> StreamOf(TmvDataDictionary& aDD) {
  TmvMemoryStream stream;
  aDD.WriteToStream(stream, mvEngineVersion);
  const auto* p = static_cast<const uint8_t*>(stream.Memory());
  return std::vector<uint8_t>(p, p + stream.GetSize());
}

std::unique_ptr<TmvDataDictionary> ReadBack(const std::vector<uint8_t>& aBytes) {
  auto dd = std::make_unique<TmvDataDictionary>();
  TmvMemoryStream stream;
  stream.Write(aBytes.data(), int32_t(aBytes.size()));
  stream.SetPosition(0);
  dd->ReadFromStream(stream, u"Docs");
  return dd;
}

std::vector<String> FilterNames(TmvFulltextIndexDescriptor& aIndex) {
  std::vector<String> names;
  for (int32_t i = 0; i < aIndex.TokenFilterCount(); ++i) {
    EXPECT_EQ(aIndex.TokenFilter(i)->GetNumber(), i);
    EXPECT_EQ(aIndex.TokenFilter(i)->GetName(), aIndex.TokenFilterName(i));
    names.push_back(aIndex.TokenFilterName(i));
  }
  return names;
}

TEST_F(FulltextDescriptors, IndexNamesAndLocationIndexes) {
  auto dd = DocsTable();
  TmvFulltextDescriptor& ft = AddFulltext(*dd);
  EXPECT_EQ(mvGetFulltextDescriptor(dd.get()), &ft);
  TmvFulltextIndexDescriptor* def = ft.AddFulltextIndex(u"");
  EXPECT_EQ(def->GetName(), u"Default");
  EXPECT_EQ(def->GetLocationIndexNumber(), 2);  // the first index of one Word32 field
  EXPECT_EQ(def->LocationIndex()->GetName(), u"ByNr");
  String message;
  for (const char16_t* name : {u"", u"default", u"DEFAULT"})
    EXPECT_EQ(RaisedCode([&] { ft.AddFulltextIndex(name); }), 10009u) << Utf8(name);
  EXPECT_EQ(RaisedCode([&] { ft.AddFulltextIndex(u"a/b"); }), 10068u);
  EXPECT_EQ(RaisedCode([&] { ft.AddFulltextIndex(u"Docs", nullptr, 1); }, &message), 10004u);
  EXPECT_EQ(message, u"Invalid location index (1)");  // unique, but on an Int32 field

  // Indexes that do not locate records: all duplicates, two fields.
  TmvMainIndicesDescriptor& indices = *dd->GetIndicesDescriptor();
  static_cast<TmvCompKeyDescriptor*>(indices.AddIndex(u"AllNr", 0, idAll, u"")->GetKeyDescriptor())->Add(1);
  auto* pair = static_cast<TmvCompKeyDescriptor*>(indices.AddIndex(u"NrID", 0, idNone, u"")->GetKeyDescriptor());
  pair->Add(1);
  pair->Add(0);
  for (int32_t location : {0, 3, 4, 5})
    EXPECT_EQ(RaisedCode([&] { ft.AddFulltextIndex(u"Docs", nullptr, location); }), 10004u) << location;
  EXPECT_EQ(ft.FulltextIndexCount(), 1);

  // The default index is taken when it qualifies; one with duplicates only
  // among nulls does.
  TmvIndexDescriptor* nulls = indices.AddIndex(u"NullNr", 0, idNull, u"");
  static_cast<TmvCompKeyDescriptor*>(nulls->GetKeyDescriptor())->Add(1);
  indices.SetDefaultIndex(nulls->GetNumber());
  EXPECT_EQ(ft.AddFulltextIndex(u"Docs")->GetLocationIndexNumber(), nulls->GetNumber());
  def->SetLocationIndexNumber(-1);
  EXPECT_EQ(def->GetLocationIndexNumber(), nulls->GetNumber());
  EXPECT_EQ(RaisedCode([&] { def->SetLocationIndexNumber(1); }), 10004u);
  EXPECT_EQ(def->GetLocationIndexNumber(), nulls->GetNumber());

  ft.RemoveFulltextIndex(7);
  ft.RemoveFulltextIndex(u"nothing");
  ft.RemoveFulltextIndex(u"DOCS");
  ft.RemoveFulltextIndex(def);
  EXPECT_EQ(ft.FulltextIndexCount(), 0);
}

// A table whose only other index is unique on an Int32 field has no index
// that locates records: nothing is added, and no item ID is spent.
TEST_F(FulltextDescriptors, NoLocationIndex) {
  auto dd = DocsTable(false);
  TmvFulltextDescriptor& ft = AddFulltext(*dd);
  const int32_t currentID = dd->GetCurrentID();
  String message;
  EXPECT_EQ(RaisedCode([&] { ft.AddFulltextIndex(u""); }, &message), 10004u);
  EXPECT_EQ(message, u"Invalid location index (-1)");
  EXPECT_EQ(ft.FulltextIndexCount(), 0);
  EXPECT_EQ(dd->GetCurrentID(), currentID);
  // Without a table there is no main index at all.
  TmvFulltextDescriptor lone(nullptr, u"Fulltext");
  EXPECT_EQ(RaisedCode([&] { lone.AddFulltextIndex(u"Docs", nullptr, 0); }), 10004u);

  // A custom descriptor named "Fulltext" of another class is refused.
  auto other = DocsTable();
  other->GetCustomDescsDescriptor()->AddCustom(u"FULLTEXT");
  EXPECT_EQ(RaisedCode([&] { mvGetFulltextDescriptor(other.get()); }), 10004u);
  EXPECT_EQ(mvGetFulltextDescriptor(DocsTable().get()), nullptr);
}

// The location index follows insertions, removals and moves of the main
// indexes, and its own removal is refused.
TEST_F(FulltextDescriptors, LocationIndexFollowsTheMainIndexes) {
  auto dd = DocsTable();
  TmvFulltextIndexDescriptor* docs = AddFulltext(*dd).AddFulltextIndex(u"Docs");
  TmvMainIndicesDescriptor& indices = *dd->GetIndicesDescriptor();
  indices.RemoveIndex(1);
  EXPECT_EQ(docs->GetLocationIndexNumber(), 1);
  indices.InsertIndexAt(0, u"First", 0, idNone, u"", &TmvRefKeyDescriptor::StaticClass);
  EXPECT_EQ(docs->GetLocationIndexNumber(), 2);
  indices.MoveIndex(2, 0);
  EXPECT_EQ(docs->GetLocationIndexNumber(), 0);
  String message;
  EXPECT_EQ(RaisedCode([&] { indices.RemoveIndex(0); }, &message), 15502u);
  EXPECT_EQ(message, u"Cannot remove index ByNr because it is still referenced by a fulltext index");
  EXPECT_EQ(RaisedCode([&] { dd->RemoveIndicesDescriptor(); }), 15502u);
  EXPECT_EQ(indices.IndexCount(), 3);
  EXPECT_EQ(docs->LocationIndex()->GetName(), u"ByNr");
}

TEST_F(FulltextDescriptors, FieldTokenExtractors) {
  auto dd = DocsTable();
  TmvFieldsDescriptor& fields = *dd->GetFieldsDescriptor();
  TmvFulltextIndexDescriptor* docs = AddFulltext(*dd).AddFulltextIndex(u"Docs");
  TmvFieldTokenExtractorDescriptor* title = docs->AddFieldTokenExtractor(3);
  EXPECT_EQ(docs->TokenExtractorName(0), u"Title");
  EXPECT_EQ(title->GetName(), u"Title");
  EXPECT_EQ(title->Field()->Name(), u"Title");
  TmvFieldTokenExtractorDescriptor* body = docs->AddFieldTokenExtractor(2, u" \tText  ");
  EXPECT_EQ(body->GetName(), u"Text");
  EXPECT_EQ(docs->TokenExtractor(-1), docs->GetTokenExtractorHub());
  EXPECT_EQ(docs->GetTokenExtractorHub()->GetNumber(), 0);

  String message;
  EXPECT_EQ(RaisedCode([&] { docs->AddFieldTokenExtractor(9); }, &message), 9999u);
  EXPECT_EQ(message, u"Invalid field number: 9");
  EXPECT_EQ(RaisedCode([&] { docs->AddFieldTokenExtractor(9, u"Far"); }), 9999u);  // added, then taken back
  EXPECT_EQ(RaisedCode([&] { docs->AddFieldTokenExtractor(2, u"TITLE"); }), 10009u);
  EXPECT_EQ(RaisedCode([&] { docs->AddTokenExtractor(u""); }), 10068u);  // extractors have no default name
  EXPECT_EQ(RaisedCode([&] { docs->AddTokenExtractor(u"Odd", &TmvLowercaseLocaleMappingTokenFilterDescriptor::StaticClass); }),
            15499u);
  EXPECT_EQ(docs->TokenExtractorCount(), 2);

  // An extractor without a field keeps none when a field is inserted.
  auto* none = static_cast<TmvFieldTokenExtractorDescriptor*>(docs->AddTokenExtractor(u"None"));
  EXPECT_EQ(none->GetFieldNumber(), -1);
  EXPECT_EQ(none->Field(), nullptr);
  fields.InsertFieldAt(0, u"Lead", u"", mvtInt8, 0, 0, false);
  EXPECT_EQ(title->GetFieldNumber(), 4);
  EXPECT_EQ(body->GetFieldNumber(), 3);
  EXPECT_EQ(none->GetFieldNumber(), -1);
  EXPECT_EQ(RaisedCode([&] { fields.RemoveField(4); }, &message), 15502u);
  EXPECT_EQ(message, u"Cannot remove field Title because it is still referenced by an index");
  fields.RemoveField(0);
  EXPECT_EQ(title->GetFieldNumber(), 3);
  EXPECT_EQ(RaisedCode([&] { docs->CheckValid(false); }, &message), 9999u);
  EXPECT_EQ(message, u"Invalid field number: -1");
  EXPECT_EQ(RaisedCode([&] { none->SetFieldNumber(4); }), 9999u);
  none->SetFieldNumber(2);
  docs->CheckValid(false);

  // Extractors group in nested hubs, each with filters of its own.
  TmvTokenExtractorHubDescriptor* group = docs->AddTokenExtractorHub(u"Group");
  group->AddFieldTokenExtractor(3, u"Again");
  group->AddTokenFilter(u"");
  EXPECT_EQ(group->GetNumber(), 3);
  EXPECT_EQ(group->TokenExtractor(0)->GetName(), u"Again");
  EXPECT_EQ(group->TokenFilterName(0), u"Default");
  docs->RemoveTokenExtractor(u"text");
  EXPECT_EQ(group->GetNumber(), 2);
  docs->RemoveTokenExtractor(none);
  docs->RemoveTokenExtractor(5);
  EXPECT_EQ(docs->TokenExtractorCount(), 2);
  docs->ClearTokenExtractors();
  EXPECT_EQ(docs->TokenExtractorCount(), 0);
}

// Removing the first of three filters renumbers the others; a stream
// carries the new numbers.
TEST_F(FulltextDescriptors, HubMembersAreRenumbered) {
  auto dd = DocsTable();
  TmvFulltextDescriptor& ft = AddFulltext(*dd);
  TmvFulltextIndexDescriptor* docs = ft.AddFulltextIndex(u"Docs");
  docs->AddTokenFilter(u"A", &TmvLowercaseLocaleMappingTokenFilterDescriptor::StaticClass);
  docs->AddTokenFilter(u"B", &TmvUppercaseLocaleMappingTokenFilterDescriptor::StaticClass);
  docs->AddTokenFilter(u"");
  EXPECT_EQ(FilterNames(*docs), (std::vector<String>{u"A", u"B", u"Default"}));
  EXPECT_EQ(RaisedCode([&] { docs->AddTokenFilter(u"b"); }), 10009u);
  EXPECT_EQ(RaisedCode([&] { docs->AddTokenFilter(u"C", &TmvFieldTokenExtractorDescriptor::StaticClass); }), 15499u);
  docs->RemoveTokenFilter(0);
  EXPECT_EQ(FilterNames(*docs), (std::vector<String>{u"B", u"Default"}));
  EXPECT_EQ(docs->TokenFilter(-1), docs->GetTokenFilterHub());

  auto copy = DocsTable();
  TmvFulltextDescriptor& back = AddFulltext(*copy);
  ReadAll(Written(ft), back);
  EXPECT_TRUE(back.IsEqual(&ft));
  EXPECT_EQ(FilterNames(*back.FulltextIndex(0)), (std::vector<String>{u"B", u"Default"}));
  docs->RemoveTokenFilter(u"DEFAULT");
  docs->RemoveTokenFilter(docs->TokenFilter(0));
  EXPECT_EQ(docs->TokenFilterCount(), 0);
  EXPECT_FALSE(back.IsEqual(&ft));
}

// A filter hub with one lowercase filter, byte for byte; the member's
// stored number must be its position.
TEST_F(FulltextDescriptors, HubStreamForm) {
  TmvTokenFilterHubDescriptor hub(nullptr);
  hub.AddTokenFilter(u"Lower", &TmvLowercaseLocaleMappingTokenFilterDescriptor::StaticClass);
  // Item header, then 1 per class level; the numbered level adds the number.
  const auto numbered = [](Bytes& b, int8_t aNumber) {
    b.header().integer(1).integer(1).integer(1).integer(aNumber).integer(1).integer(1);
  };
  const auto hubBytes = [&](int8_t aMemberNumber) {
    Bytes b;
    numbered(b, 0);
    b.integer(1).raw({0x01}).str("Lower").str("TmvLowercaseLocaleMappingTokenFilterDescriptor");
    numbered(b, aMemberNumber);
    b.integer(1).raw({0x00});
    return b.b;
  };
  EXPECT_EQ(Written(hub), hubBytes(0));
  TmvTokenFilterHubDescriptor back(nullptr);
  ReadAll(hubBytes(0), back);
  EXPECT_EQ(back.TokenFilterName(0), u"Lower");
  EXPECT_EQ(RaisedCode([&] { ReadAll(hubBytes(1), back); }), 15498u);
  std::vector<uint8_t> v2 = hubBytes(0);
  v2[12] = 0x02;  // the full-text item root's version
  EXPECT_EQ(RaisedCode([&] { ReadAll(v2, back); }), 15498u);
}

// Names take no part: two indexes differing only in their own names and
// those of their hub members are equal.
TEST_F(FulltextDescriptors, Equality) {
  auto dd = DocsTable();
  TmvFulltextDescriptor& ft = AddFulltext(*dd);
  TmvFulltextIndexDescriptor* a = ft.AddFulltextIndex(u"A");
  TmvFulltextIndexDescriptor* b = ft.AddFulltextIndex(u"B");
  for (auto [index, prefix] : {std::pair{a, u"a"}, std::pair{b, u"b"}}) {
    index->AddFieldTokenExtractor(3, String(prefix) + u"Title");
    index->AddTokenFilter(String(prefix) + u"Lower", &TmvLowercaseLocaleMappingTokenFilterDescriptor::StaticClass);
    index->AddTokenIndex(String(prefix) + u"Bits");
  }
  EXPECT_TRUE(a->IsEqual(b));
  static_cast<TmvFieldTokenExtractorDescriptor*>(b->TokenExtractor(0))->SetFieldNumber(2);
  EXPECT_FALSE(a->IsEqual(b));
  static_cast<TmvFieldTokenExtractorDescriptor*>(b->TokenExtractor(0))->SetFieldNumber(3);
  b->AddTokenFilter(u"More");
  EXPECT_FALSE(a->IsEqual(b));
  b->RemoveTokenFilter(u"More");
  static_cast<TmvBitArrayTokenIndexDescriptor*>(b->TokenIndex(0))->SetSegmentIndex(true);
  EXPECT_FALSE(a->IsEqual(b));
}

// A table with every full-text descriptor class goes through the
// dictionary stream and comes back equal, with the settings that equality
// does not look at.
TEST_F(FulltextDescriptors, WholeTableRoundTrip) {
  auto dd = DocsTable();
  dd->AddLocaleDescriptor()->SetLocale(0x409);
  TmvMainIndicesDescriptor& indices = *dd->GetIndicesDescriptor();
  auto* tokenKey = static_cast<TmvMainIndexTokenKeyDescriptor*>(
      indices.AddIndex(u"Tokens", 0, idAll, u"", &TmvMainIndexTokenKeyDescriptor::StaticClass)->GetKeyDescriptor());
  tokenKey->SetIncludeLocation(true);
  TmvFulltextDescriptor& ft = AddFulltext(*dd);
  TmvFulltextIndexDescriptor* docs = ft.AddFulltextIndex(u"Docs");
  docs->AddFieldTokenExtractor(3);
  docs->AddTokenExtractorHub(u"Group")->AddFieldTokenExtractor(2, u"Body");
  static_cast<TmvCustomFoldStringTokenFilterDescriptor*>(
      docs->TokenExtractor(0)->AddTokenFilter(u"Fold", &TmvCustomFoldStringTokenFilterDescriptor::StaticClass))
      ->SetFlags(0x80);
  auto* wide = static_cast<TmvWideCharSeparatorTokenFilterDescriptor*>(docs->AddTokenFilter(u""));
  wide->SetSeparatorChar(u';');
  wide->SetSeparatorDistance(3);
  static_cast<TmvCategorySeparatorTokenFilterDescriptor*>(
      docs->AddTokenFilter(u"Cats", &TmvCategorySeparatorTokenFilterDescriptor::StaticClass))
      ->SetSeparatorCategories(mvCategoriesOf({ccAssigned, ccSymbolMath}));
  for (const TmvDictionaryItemClassRef* cls :
       {&TmvLowercaseLocaleMappingTokenFilterDescriptor::StaticClass,
        &TmvUppercaseLocaleMappingTokenFilterDescriptor::StaticClass,
        &TmvCustomLocaleMappingTokenFilterDescriptor::StaticClass,
        &TmvPreComposeFoldStringTokenFilterDescriptor::StaticClass,
        &TmvDecomposeFoldStringTokenFilterDescriptor::StaticClass, &TmvTokenFilterHubDescriptor::StaticClass})
    docs->AddTokenFilter(String(cls->ClassName).substr(3, 12), cls);
  auto* replace = static_cast<TmvStringReplaceTokenFilterDescriptor*>(
      docs->AddTokenFilter(u"Replace", &TmvStringReplaceTokenFilterDescriptor::StaticClass));
  replace->AddItem(u"ae", u"\u00e4", srkAll, true);
  auto* bits = static_cast<TmvBitArrayTokenIndexDescriptor*>(docs->AddTokenIndex(u""));
  bits->SetMaxTokenSize(30);
  bits->SetPerFieldIndex(true);
  bits->AddIndex(0);
  bits->AddReverseIndex(0);
  bits->AddTokenFilter(u"Upper", &TmvUppercaseLocaleMappingTokenFilterDescriptor::StaticClass);
  auto* main = static_cast<TmvMainIndexTokenIndexDescriptor*>(
      docs->AddTokenIndex(u"Main", &TmvMainIndexTokenIndexDescriptor::StaticClass));
  main->SetMainIndexNumber(3);
  docs->AddTokenIndex(u"Nested", &TmvTokenIndexHubDescriptor::StaticClass);
  dd->CheckValid(false);
  ASSERT_NE(ft.GetBlobDescriptor(), nullptr);  // the bit arrays' storage

  auto back = ReadBack(StreamOf(*dd));
  EXPECT_TRUE(back->IsEqual(dd.get()));
  EXPECT_TRUE(dd->IsEqual(back.get()));
  std::unique_ptr<TmvDataDictionary> copy(back->Duplicate());
  EXPECT_TRUE(copy->IsEqual(dd.get()));

  TmvFulltextDescriptor* ftBack = mvGetFulltextDescriptor(back.get());
  TmvFulltextIndexDescriptor* docsBack = ftBack->FulltextIndex(0);
  EXPECT_EQ(docsBack->GetName(), u"Docs");
  EXPECT_EQ(docsBack->TokenExtractorName(1), u"Group");
  EXPECT_EQ(static_cast<TmvCustomFoldStringTokenFilterDescriptor*>(docsBack->TokenExtractor(0)->TokenFilter(0))
                ->GetFlags(),
            0x80u);
  auto* wideBack = static_cast<TmvWideCharSeparatorTokenFilterDescriptor*>(docsBack->TokenFilter(0));
  EXPECT_EQ(wideBack->GetSeparatorChar(), u';');
  EXPECT_EQ(wideBack->GetSeparatorDistance(), 3);
  EXPECT_EQ(static_cast<TmvCategorySeparatorTokenFilterDescriptor*>(docsBack->TokenFilter(1))->GetSeparatorCategories(),
            mvCategoriesOf({ccAssigned, ccSymbolMath}));
  auto* replaceBack = static_cast<TmvStringReplaceTokenFilterDescriptor*>(
      docsBack->TokenFilter(docsBack->GetTokenFilterHub()->HubMembers().IndexOf(String(u"Replace"))));
  EXPECT_EQ(replaceBack->GetNewPattern(0), u"\u00e4");
  EXPECT_EQ(replaceBack->GetReplaceKind(0), srkAll);
  EXPECT_TRUE(replaceBack->GetIgnoreCase(0));
  auto* bitsBack = static_cast<TmvBitArrayTokenIndexDescriptor*>(docsBack->TokenIndex(0));
  EXPECT_EQ(bitsBack->GetMaxTokenSize(), 30);
  ASSERT_NE(bitsBack->ReverseIndexDescriptor(), nullptr);
  auto* reverseKey = static_cast<TmvBitArrayTokenKeyDescriptor*>(bitsBack->ReverseIndexDescriptor()->GetKeyDescriptor());
  EXPECT_TRUE(reverseKey->GetReverse());
  EXPECT_EQ(reverseKey->GetKeyLen(), 66);
  EXPECT_EQ(reverseKey->GetLocale(), 0x409u);
  EXPECT_NE(bitsBack->GetBitArrayStorageHandler(), nullptr);  // made again by the check
  auto* tokenKeyBack = static_cast<TmvMainIndexTokenKeyDescriptor*>(
      back->GetIndicesDescriptor()->IndexDescriptor(3)->GetKeyDescriptor());
  EXPECT_TRUE(tokenKeyBack->GetIncludeLocation());
  EXPECT_EQ(tokenKeyBack->GetFlags(), mvNormIgnoreCase);
}

// An unregistered class is refused with the word of its family.
TEST_F(FulltextDescriptors, UnknownClasses) {
  auto dd = DocsTable();
  TmvFulltextDescriptor& ft = AddFulltext(*dd);
  TmvFulltextIndexDescriptor* docs = ft.AddFulltextIndex(u"Docs");
  docs->AddFieldTokenExtractor(3);
  docs->AddTokenFilter(u"Lower", &TmvLowercaseLocaleMappingTokenFilterDescriptor::StaticClass);
  static_cast<TmvBitArrayTokenIndexDescriptor*>(docs->AddTokenIndex(u""))->AddIndex(0);
  ft.CheckValid(false);
  const std::vector<uint8_t> bytes = Written(ft);
  const struct {
    const TmvRegisterableDescriptorClassRef& cls;
    const char16_t* family;
  } cases[] = {
      {TmvFulltextIndexDescriptor::StaticClass, u"FulltextIndexDescriptor"},
      {TmvFieldTokenExtractorDescriptor::StaticClass, u"TokenExtractorDescriptor"},
      {TmvLowercaseLocaleMappingTokenFilterDescriptor::StaticClass, u"TokenFilterDescriptor"},
      {TmvBitArrayTokenIndexDescriptor::StaticClass, u"TokenIndexDescriptor"},
      {TmvHeapBlobDescriptor::StaticClass, u"BlobDescriptor"},
      {TmvTokenIndicesDescriptor::StaticClass, u"IndicesDescriptor"},
  };
  auto other = DocsTable();
  TmvFulltextDescriptor& back = AddFulltext(*other);
  for (const auto& c : cases) {
    TmvBaseRegisterableDescriptor::UnregisterDescriptor(c.cls);
    String message;
    EXPECT_EQ(RaisedCode([&] { ReadAll(bytes, back); }, &message), 15499u) << Utf8(c.family);
    EXPECT_EQ(message, String(c.family) + u" class is not supported: " + c.cls.ClassName);
    TmvBaseRegisterableDescriptor::RegisterDescriptor(c.cls);
  }
  ReadAll(bytes, back);
  back.CheckValid(false);  // the bit-array token index gets its storage handler again
  EXPECT_TRUE(back.IsEqual(&ft));
}

// Every change of a frozen tree is refused, and freeing it frees the token
// indexes without removing their B*-tree indexes from the frozen list.
TEST_F(FulltextDescriptors, FrozenTree) {
  auto dd = DocsTable();
  TmvFulltextDescriptor& ft = AddFulltext(*dd);
  TmvFulltextIndexDescriptor* docs = ft.AddFulltextIndex(u"Docs");
  auto* title = docs->AddFieldTokenExtractor(3);
  auto* wide = static_cast<TmvWideCharSeparatorTokenFilterDescriptor*>(docs->AddTokenFilter(u""));
  auto* bits = static_cast<TmvBitArrayTokenIndexDescriptor*>(docs->AddTokenIndex(u""));
  bits->AddIndex(0);
  dd->CheckValid(false);
  dd->MakeReadOnly();
  const std::function<void()> changes[] = {
      [&] { ft.AddFulltextIndex(u"More"); },
      [&] { ft.RemoveFulltextIndex(0); },
      [&] { ft.AddBlobDescriptor(); },
      [&] { ft.RemoveIndicesDescriptor(); },
      [&] { docs->SetLocationIndexNumber(-1); },
      [&] { docs->AddFieldTokenExtractor(2, u"Body"); },
      [&] { docs->AddTokenFilter(u"More"); },
      [&] { docs->RemoveTokenIndex(0); },
      [&] { docs->ClearTokenFilters(); },
      [&] { title->SetFieldNumber(2); },
      [&] { title->AddTokenFilter(u"More"); },
      [&] { wide->SetSeparatorChar(u','); },
      [&] { bits->SetMaxTokenSize(5); },
      [&] { bits->AddReverseIndex(0); },
      [&] { bits->RemoveBitArrayStorageHandler(); },
  };
  for (size_t i = 0; i < std::size(changes); ++i) EXPECT_EQ(RaisedCode(changes[i]), 15500u) << i;
  EXPECT_EQ(docs->TokenIndexCount(), 1);
  EXPECT_NE(bits->IndexDescriptor(), nullptr);
  StreamOf(*dd);
}

// Every one-byte change and cut of a full-text descriptor's stream either
// reads into a sound descriptor (which writes and copies) or is refused.
TEST_F(FulltextDescriptors, DamagedStreams) {
  auto dd = DocsTable();
  TmvFulltextDescriptor& ft = AddFulltext(*dd);
  TmvFulltextIndexDescriptor* docs = ft.AddFulltextIndex(u"Docs");
  docs->AddFieldTokenExtractor(3);
  docs->AddTokenFilter(u"Cats", &TmvCategorySeparatorTokenFilterDescriptor::StaticClass);
  static_cast<TmvStringReplaceTokenFilterDescriptor*>(
      docs->AddTokenFilter(u"Replace", &TmvStringReplaceTokenFilterDescriptor::StaticClass))
      ->AddItem(u"a", u"b", srkOne, false);
  static_cast<TmvBitArrayTokenIndexDescriptor*>(docs->AddTokenIndex(u""))->AddIndex(0);
  // Unchecked, so that the stream carries no BLOB descriptor: its own
  // damage is tested with the storage descriptors.
  TmvFulltextDescriptor* target = nullptr;
  auto other = DocsTable();
  ReadEveryDamage(
      Written(ft),
      [&](TmvReader& r) {
        dd->GetCustomDescsDescriptor()->RemoveCustom(u"Copy");
        target = &AddFulltext(*dd, u"Copy");
        target->LoadFromReader(r);
        target->CheckValid(false);
      },
      [&] {
        // The storage parts are left out: a damaged engine name may hold
        // bytes that the system code page does not give back alike.
        other->GetCustomDescsDescriptor()->RemoveCustom(u"Copy");
        TmvFulltextDescriptor& again = AddFulltext(*other, u"Copy");
        ReadAll(Written(*target), again);
        again.CheckValid(false);
        ASSERT_EQ(again.FulltextIndexCount(), target->FulltextIndexCount());
        for (int32_t i = 0; i < target->FulltextIndexCount(); ++i) {
          EXPECT_EQ(target->FulltextIndex(i)->GetParent(), target);
          EXPECT_TRUE(again.FulltextIndex(i)->IsEqual(target->FulltextIndex(i)));
        }
      });
}

// Each class is found in its family's registry while the dictionary runs;
// the five families of their own leave no registry behind.
TEST(FulltextClasses, RegisteredWithTheDictionary) {
  const struct {
    const TmvRegisterableDescriptorClassRef& family;
    const TmvRegisterableDescriptorClassRef& cls;
  } classes[] = {
      {TmvBaseCustomDescriptor::StaticClass, TmvFulltextDescriptor::StaticClass},
      {TmvBaseIndicesDescriptor::StaticClass, TmvTokenIndicesDescriptor::StaticClass},
      {TmvFulltextIndexDescriptor::StaticClass, TmvFulltextIndexDescriptor::StaticClass},
      {TmvBaseTokenExtractorDescriptor::StaticClass, TmvTokenExtractorHubDescriptor::StaticClass},
      {TmvBaseTokenExtractorDescriptor::StaticClass, TmvFieldTokenExtractorDescriptor::StaticClass},
      {TmvBaseTokenFilterDescriptor::StaticClass, TmvTokenFilterHubDescriptor::StaticClass},
      {TmvBaseTokenFilterDescriptor::StaticClass, TmvStringReplaceTokenFilterDescriptor::StaticClass},
      {TmvBaseTokenIndexDescriptor::StaticClass, TmvTokenIndexHubDescriptor::StaticClass},
      {TmvBaseTokenIndexDescriptor::StaticClass, TmvMainIndexTokenIndexDescriptor::StaticClass},
      {TmvBaseKeyDescriptor::StaticClass, TmvBitArrayTokenKeyDescriptor::StaticClass},
      {TmvBaseBitArrayStorageHandlerDescriptor::StaticClass, TmvSimpleBitArrayStorageHandlerDescriptor::StaticClass},
  };
  for (int round = 0; round < 2; ++round) {
    mvDictionaryInit();
    for (const auto& c : classes)
      EXPECT_EQ(TmvBaseRegisterableDescriptor::FindDescriptorClass(c.family, c.cls.Name()), &c.cls)
          << Utf8(c.cls.Name());
    EXPECT_EQ(TmvBaseRegisterableDescriptor::FindDescriptorClass(TmvBaseTokenExtractorDescriptor::StaticClass,
                                                                 u"TmvTokenFilterHubDescriptor"),
              nullptr);  // families stay apart
    mvDictionaryFini();
    for (TmvClassRegistry* registry :
         {TmvFulltextIndexDescriptor::Registry(), TmvBaseTokenExtractorDescriptor::Registry(),
          TmvBaseTokenFilterDescriptor::Registry(), TmvBaseTokenIndexDescriptor::Registry(),
          TmvBaseBitArrayStorageHandlerDescriptor::Registry()})
      EXPECT_EQ(*registry, nullptr);
  }
}

}  // namespace
