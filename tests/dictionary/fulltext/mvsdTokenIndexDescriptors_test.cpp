// Tests of the token index descriptors: the clamped token size, key
// lengths, the main-index token key per peer version, the B*-tree indexes of
// a bit-array token index with their names, keys, storage handler and BLOB
// descriptor, and the main-index token index with its checks and the
// renumbering of its main index.
#include "dictionary/fulltext/mvsdTokenIndexDescriptors.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdFulltextTestSupport.h"
#include "dictionary/mvsdStreamBytes.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class TokenIndexDescriptors : public DictionaryTest {};

TEST_F(TokenIndexDescriptors, MaxTokenSizeIsClamped) {
  TmvBitArrayTokenIndexDescriptor bits(nullptr);
  EXPECT_EQ(bits.GetMaxTokenSize(), 20);
  EXPECT_FALSE(bits.GetPerFieldIndex());
  EXPECT_TRUE(bits.GetPerLocationIndex());
  EXPECT_FALSE(bits.GetSegmentIndex());
  for (auto [set, stored] : {std::pair{0, 1}, {-5, 1}, {1, 1}, {64, 64}, {1024, 1024}, {5000, 1024}}) {
    bits.SetMaxTokenSize(set);
    EXPECT_EQ(bits.GetMaxTokenSize(), stored) << set;
  }
  // A value read from a stream is taken as it is.
  std::vector<uint8_t> bytes = Written(bits);
  const std::vector<uint8_t> size1024 = {0x03, 0x00, 0x04};
  auto at = std::search(bytes.begin(), bytes.end(), size1024.begin(), size1024.end());
  ASSERT_NE(at, bytes.end());
  at[1] = 0x88;
  at[2] = 0x13;  // 5000
  TmvBitArrayTokenIndexDescriptor back(nullptr);
  ReadAll(bytes, back);
  EXPECT_EQ(back.GetMaxTokenSize(), 5000);
}

TEST_F(TokenIndexDescriptors, KeyLengths) {
  TmvBitArrayTokenKeyDescriptor bits(nullptr);
  EXPECT_EQ(bits.GetKeyLen(), 44);
  bits.SetPerFieldIndex(true);
  EXPECT_EQ(bits.GetKeyLen(), 46);
  EXPECT_FALSE(bits.CanContainNulls());
  TmvMainIndexTokenKeyDescriptor main(nullptr);
  EXPECT_EQ(main.GetKeyLen(), 42);
  main.SetIncludeLocation(true);
  EXPECT_EQ(main.GetKeyLen(), 46);
  EXPECT_FALSE(main.CanContainNulls());
}

// Including the location needs body version 2, which peers below 20700
// cannot read; without it the body stays version 1.
TEST_F(TokenIndexDescriptors, MainIndexTokenKeyPerPeer) {
  TmvMainIndexTokenKeyDescriptor key(nullptr);
  key.SetMaxTokenSize(30);
  key.SetLocale(0x409);
  key.SetFlags(3);
  Bytes v1;
  v1.header().ident("BKD").integer(1).boolean(false).integer(1).integer(30).int16(0x409).integer(3);
  EXPECT_EQ(Written(key, 20600), v1.b);
  key.SetIncludeLocation(true);
  EXPECT_EQ(RaisedCode([&] { Written(key, 20600); }), 12039u);
  Bytes v2;
  v2.header().ident("BKD").integer(1).boolean(false).integer(2).integer(30).int16(0x409).integer(3).boolean(true);
  EXPECT_EQ(Written(key, 20700), v2.b);

  TmvMainIndexTokenKeyDescriptor back(nullptr);
  ReadAll(v2.b, back);
  EXPECT_TRUE(back.GetIncludeLocation());
  EXPECT_EQ(back.GetLocale(), 0x409u);
  ReadAll(v1.b, back);
  EXPECT_FALSE(back.GetIncludeLocation());
  EXPECT_EQ(back.GetMaxTokenSize(), 30);
  std::vector<uint8_t> v3 = v1.b;
  v3[v3.size() - 8] = 0x03;  // the version, before 30, the locale and the flags
  EXPECT_EQ(RaisedCode([&] { ReadAll(v3, back); }), 15498u);
}

// The B*-tree indexes of a bit-array token index: their names, their keys
// matched to the token index and its table's locale, the storage handler
// and BLOB descriptor that a check adds, and their removal with the token
// index.
TEST_F(TokenIndexDescriptors, BitArrayIndexes) {
  auto dd = DocsTable();
  TmvLocaleDescriptor* locale = dd->AddLocaleDescriptor();
  locale->SetLocale(0x409);
  locale->SetIgnoreNonSpace(true);
  TmvFulltextDescriptor& ft = AddFulltext(*dd);
  TmvFulltextIndexDescriptor* docs = ft.AddFulltextIndex(u"Docs");
  auto* bits = static_cast<TmvBitArrayTokenIndexDescriptor*>(docs->AddTokenIndex(u""));
  EXPECT_EQ(bits->GetIndexName(), u"Docs$Default");
  EXPECT_EQ(bits->GetReverseIndexName(), u"Docs$Default$Reverse");
  EXPECT_EQ(bits->IndexDescriptor(), nullptr);
  bits->SetPerFieldIndex(true);
  TmvIndexDescriptor* index = bits->AddIndex(0);
  TmvIndexDescriptor* reverse = bits->AddReverseIndex(0);
  TmvTokenIndicesDescriptor* indices = ft.GetIndicesDescriptor();
  ASSERT_NE(indices, nullptr);
  EXPECT_EQ(indices->GetHeaderSection(), "Fulltext$Indices");
  EXPECT_EQ(index->GetName(), u"Docs$Default");
  EXPECT_EQ(reverse->GetName(), u"Docs$Default$Reverse");
  EXPECT_EQ(bits->ReverseIndexDescriptor(), reverse);
  EXPECT_EQ(index->GetDups(), idNone);
  auto* key = static_cast<TmvBitArrayTokenKeyDescriptor*>(index->GetKeyDescriptor());
  auto* reverseKey = static_cast<TmvBitArrayTokenKeyDescriptor*>(reverse->GetKeyDescriptor());
  EXPECT_TRUE(key->GetPerFieldIndex());
  EXPECT_FALSE(key->GetReverse());
  EXPECT_TRUE(reverseKey->GetReverse());
  EXPECT_EQ(reverseKey->GetLocale(), 0x409u);
  EXPECT_EQ(reverseKey->GetFlags(), locale->GetFlags());
  bits->AddIndex(0);  // replaces the index of that kind
  EXPECT_EQ(indices->IndexCount(), 2);

  // A key of another class is refused and leaves no index behind.
  EXPECT_EQ(RaisedCode([&] { bits->AddReverseIndex(0, &TmvCompKeyDescriptor::StaticClass); }), 10004u);
  EXPECT_EQ(indices->IndexCount(), 1);
  EXPECT_EQ(bits->ReverseIndexDescriptor(), nullptr);

  // The check gives the keys the token index's settings and adds the
  // handler, which adds the BLOB descriptor.
  bits->SetMaxTokenSize(10);
  EXPECT_EQ(ft.GetBlobDescriptor(), nullptr);
  dd->CheckValid(false);
  key = static_cast<TmvBitArrayTokenKeyDescriptor*>(bits->IndexDescriptor()->GetKeyDescriptor());
  EXPECT_EQ(key->GetMaxTokenSize(), 10);
  EXPECT_EQ(key->GetKeyLen(), 26);
  ASSERT_NE(bits->GetBitArrayStorageHandler(), nullptr);
  EXPECT_EQ(&bits->GetBitArrayStorageHandler()->ClassType(), &TmvSimpleBitArrayStorageHandlerDescriptor::StaticClass);
  ASSERT_NE(ft.GetBlobDescriptor(), nullptr);
  EXPECT_EQ(ft.GetBlobDescriptor()->GetHeaderSection(), "Fulltext$Blob");
  EXPECT_EQ(&ft.GetBlobDescriptor()->ClassType(), &TmvHeapBlobDescriptor::StaticClass);

  // The token index takes its indexes along; the empty token indices
  // descriptor it leaves does not make the table invalid.
  docs->RemoveTokenIndex(u"default");
  EXPECT_EQ(indices->IndexCount(), 0);
  dd->CheckValid(false);
}

// A token index outside a full-text index cannot name an index.
TEST_F(TokenIndexDescriptors, StandAloneBitArrayIndex) {
  TmvBitArrayTokenIndexDescriptor bits(nullptr);
  String message;
  EXPECT_EQ(RaisedCode([&] { bits.AddIndex(0); }, &message), 8712u);
  EXPECT_EQ(message, u"No Parent of type TmvFulltextIndexDescriptor could be found");
  EXPECT_EQ(bits.IndexDescriptor(), nullptr);
  bits.CheckValid(false);
  EXPECT_EQ(bits.GetBitArrayStorageHandler(), nullptr);
}

TEST_F(TokenIndexDescriptors, MainIndexTokenIndex) {
  auto dd = DocsTable();
  dd->AddLocaleDescriptor()->SetIgnoreSymbols(true);
  TmvMainIndicesDescriptor& indices = *dd->GetIndicesDescriptor();
  indices.AddIndex(u"Tokens", 0, idAll, u"", &TmvMainIndexTokenKeyDescriptor::StaticClass);  // 3
  TmvFulltextIndexDescriptor* docs = AddFulltext(*dd).AddFulltextIndex(u"Docs");
  auto* main = static_cast<TmvMainIndexTokenIndexDescriptor*>(
      docs->AddTokenIndex(u"Main", &TmvMainIndexTokenIndexDescriptor::StaticClass));
  EXPECT_EQ(main->GetMainIndexNumber(), -1);
  EXPECT_TRUE(main->GetIgnoreCase());
  String message;
  EXPECT_EQ(RaisedCode([&] { docs->CheckValid(false); }, &message), 9997u);
  EXPECT_EQ(RaisedCode([&] { main->SetMainIndexNumber(4); }), 9997u);
  EXPECT_EQ(RaisedCode([&] { main->SetMainIndexNumber(1); }, &message), 10004u);
  EXPECT_EQ(message, u"Index must use a TmvMainIndexTokenIndexKeyDescriptor");
  EXPECT_EQ(main->GetMainIndexNumber(), -1);
  main->SetMainIndexNumber(3);
  EXPECT_EQ(main->MainIndex()->GetName(), u"Tokens");

  // The check gives the key the table's locale, and ignoring case.
  dd->CheckValid(false);
  auto* key = static_cast<TmvMainIndexTokenKeyDescriptor*>(main->MainIndex()->GetKeyDescriptor());
  const TmvLocaleDescriptor& locale = *dd->GetLocaleDescriptor();
  EXPECT_EQ(key->GetLocale(), locale.GetLocale());
  EXPECT_EQ(key->GetFlags(), locale.GetFlags() | mvNormIgnoreCase);
  main->SetIgnoreCase(false);
  main->CheckValid(false);
  EXPECT_EQ(key->GetFlags(), locale.GetFlags());

  // The number follows the main indexes; a token index without one keeps
  // none; the index in use cannot go.
  auto* none = static_cast<TmvMainIndexTokenIndexDescriptor*>(
      docs->AddTokenIndex(u"None", &TmvMainIndexTokenIndexDescriptor::StaticClass));
  indices.InsertIndexAt(0, u"First", 0, idNone, u"", &TmvRefKeyDescriptor::StaticClass);
  EXPECT_EQ(main->GetMainIndexNumber(), 4);
  EXPECT_EQ(none->GetMainIndexNumber(), -1);
  EXPECT_EQ(RaisedCode([&] { indices.RemoveIndex(4); }, &message), 15502u);
  EXPECT_EQ(message, u"Cannot remove index Tokens because it is still referenced by a fulltext index");
  EXPECT_FALSE(main->IsEqual(none));
  none->SetMainIndexNumber(4);
  none->SetIgnoreCase(true);
  EXPECT_TRUE(main->IsEqual(none));  // IgnoreCase takes no part

  // Without main indexes nothing is checked.
  TmvMainIndexTokenIndexDescriptor lone(nullptr);
  lone.SetMainIndexNumber(7);
  EXPECT_EQ(lone.MainIndex(), nullptr);
  lone.CheckValid(false);
  TmvMainIndexTokenIndexDescriptor back(nullptr);
  ReadAll(Written(lone), back);
  EXPECT_EQ(back.GetMainIndexNumber(), 7);
}

}  // namespace
