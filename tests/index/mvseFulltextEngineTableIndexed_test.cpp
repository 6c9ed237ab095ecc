// Tests of the full-text table engines over the real index engines: the
// engine tree built from a table's full-text descriptor (hubs, members,
// unknown classes per family, the token indexes found in
// "Fulltext$Indices" as static-key B*-trees of the simple indices engine),
// the bit arrays of the simple storage handler in a real BLOB engine
// (golden bytes, refusals that leave a bit array unchanged), and a table
// with a full-text descriptor made, written, committed, reopened from the
// dictionary it stores and closed.
#include "storage/fulltext/mvseFulltextEngineTable.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdFulltextTestSupport.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/types/mvsdPeerVersion.h"
#include "index/mvixUnits.h"
#include "index/mvsdKeyEngineToken.h"
#include "index/mvseIndexEngineStaticKeyBstarTree.h"
#include "index/mvseIndicesEngineSimple.h"
#include "storage/HeapTestSupport.h"
#include "storage/blobs/mvseBlobEngine.h"
#include "storage/header/mvsrServerDataDict.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/streams/mvseStreamEngine.h"

namespace {

using namespace storage_test;
using Bytes = std::vector<uint8_t>;

class FulltextTableEngine : public HeapFileTest {
 protected:
  void SetUp() override {
    HeapFileTest::SetUp();
    mvIndexInit();
    dd = mvtest::DocsTable();
    ft = &mvtest::AddFulltext(*dd);
    docs = ft->AddFulltextIndex(u"Docs");
    docs->AddFieldTokenExtractor(2);
    bits = static_cast<TmvBitArrayTokenIndexDescriptor*>(docs->AddTokenIndex(u""));
  }
  void TearDown() override {
    engine.reset();
    dd.reset();
    mvIndexFini();
    HeapFileTest::TearDown();
  }
  // The table's full-text engine made in a new table whose set-up commits,
  // or (aNew false) opened on the table made before.
  void Build(bool aNew = true, TmvBaseIndicesEngine* aMainIndices = nullptr) {
    dd->CheckValid(false);
    if (auto* heap = dynamic_cast<TmvHeapBlobDescriptor*>(ft->GetBlobDescriptor()); heap && !heap->GetHeapDescriptor())
      heap->AddHeapDescriptor()->AddBlockHeapDescriptor();
    TTestTransaction trans(cache);
    engine.reset(static_cast<TmvFulltextTableEngine*>(
        TmvBaseFulltextTableEngine::CreateFor(dd.get(), {view.get()}, aMainIndices, aNew ? &trans : nullptr)));
    trans.Commit();
  }
  TmvBitArrayTokenIndexTableEngine& BitIndex() {
    return dynamic_cast<TmvBitArrayTokenIndexTableEngine&>(*engine->FulltextIndex(0)->TokenIndex(0));
  }
  TmvBaseBitArrayStorageHandlerTableEngine& Handler() { return *BitIndex().GetBitArrayStorageHandler(); }
  Bytes BlobBytes(TmvBaseTransaction* aTrans, TmvRefNr aBlob) {
    uint32_t length = 0;
    EXPECT_EQ(engine->GetBlobEngine()->GetBlobLength(aTrans, aBlob, {}, length), 0u);
    ByteStream stream;
    EXPECT_EQ(engine->GetBlobEngine()->Read(aTrans, aBlob, 0, length, {}, &stream), 0u);
    return stream.bytes;
  }
  void WriteBlob(TmvBaseTransaction* aTrans, TmvRefNr aBlob, uint32_t aOffset, const Bytes& aBytes) {
    engine->GetBlobEngine()->Write(aTrans, aBlob, aOffset, uint32_t(aBytes.size()), aBytes.data());
  }
  std::unique_ptr<TmvDataDictionary> dd;
  TmvFulltextDescriptor* ft = nullptr;
  TmvFulltextIndexDescriptor* docs = nullptr;
  TmvBitArrayTokenIndexDescriptor* bits = nullptr;
  std::unique_ptr<TmvFulltextTableEngine> engine;
};

TEST_F(FulltextTableEngine, TreeMirrorsTheDescriptors) {
  auto* hub = static_cast<TmvTokenExtractorHubDescriptor*>(docs->AddTokenExtractorHub(u"More"));
  hub->AddFieldTokenExtractor(3, u"");
  hub->GetTokenFilterHub()->AddTokenFilter(u"Upper", &TmvUppercaseLocaleMappingTokenFilterDescriptor::StaticClass);
  bits->AddTokenFilter(u"Cut", &TmvCategorySeparatorTokenFilterDescriptor::StaticClass);
  bits->AddIndex(0);
  Build();
  ASSERT_EQ(engine->FulltextIndexCount(), 1);
  TmvFulltextIndexTableEngine& index = *engine->FulltextIndex(0);
  EXPECT_EQ(index.GetFulltextIndexDescriptor(), docs);
  ASSERT_EQ(index.TokenExtractorCount(), 2);
  EXPECT_NE(dynamic_cast<TmvTokenExtractorHubTableEngine*>(index.TokenExtractor(-1)), nullptr);
  auto* field = dynamic_cast<TmvFieldTokenExtractorTableEngine*>(index.TokenExtractor(0));
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->GetFieldTokenExtractorDescriptor()->GetFieldNumber(), 2);
  EXPECT_EQ(field->GetParentTokenExtractorHubTableEngine(), index.TokenExtractor(-1));
  EXPECT_EQ(field->GetParentFulltextIndexTableEngine(), &index);
  // A full-text index always has its filter hub; an extractor only one with filters.
  ASSERT_NE(index.TokenFilter(-1), nullptr);
  EXPECT_EQ(index.TokenFilterCount(), 0);
  EXPECT_EQ(field->TokenFilter(-1), nullptr);
  EXPECT_EQ(field->TokenFilterCount(), 0);
  auto* nested = dynamic_cast<TmvTokenExtractorHubTableEngine*>(index.TokenExtractor(1));
  ASSERT_NE(nested, nullptr);
  ASSERT_EQ(nested->TokenFilterCount(), 1);
  EXPECT_NE(dynamic_cast<TmvUppercaseLocaleMappingTokenFilterTableEngine*>(nested->TokenFilter(0)), nullptr);
  EXPECT_EQ(nested->TokenExtractor(0)->GetParentTokenExtractorHubTableEngine(), nested);
  ASSERT_EQ(index.TokenIndexCount(), 1);
  EXPECT_NE(dynamic_cast<TmvCategorySeparatorTokenFilterTableEngine*>(BitIndex().TokenFilter(0)), nullptr);
  EXPECT_NE(dynamic_cast<TmvSimpleBitArrayStorageHandlerTableEngine*>(&Handler()), nullptr);
}

TEST_F(FulltextTableEngine, EveryFilterClassHasItsEngine) {
  for (const TmvDictionaryItemClassRef* cls :
       {&TmvWideCharSeparatorTokenFilterDescriptor::StaticClass, &TmvCategorySeparatorTokenFilterDescriptor::StaticClass,
        &TmvLowercaseLocaleMappingTokenFilterDescriptor::StaticClass,
        &TmvUppercaseLocaleMappingTokenFilterDescriptor::StaticClass,
        &TmvCustomLocaleMappingTokenFilterDescriptor::StaticClass,
        &TmvPreComposeFoldStringTokenFilterDescriptor::StaticClass,
        &TmvDecomposeFoldStringTokenFilterDescriptor::StaticClass,
        &TmvCustomFoldStringTokenFilterDescriptor::StaticClass, &TmvStringReplaceTokenFilterDescriptor::StaticClass,
        &TmvTokenFilterHubDescriptor::StaticClass})
    docs->AddTokenFilter(String(cls->ClassName).substr(3, 20), cls);
  Build();
  TmvFulltextIndexTableEngine& index = *engine->FulltextIndex(0);
  ASSERT_EQ(index.TokenFilterCount(), 10);
  for (int32_t i = 0; i < 10; ++i) {
    const String want = mvEngineNameForDescriptor(docs->TokenFilter(i)->ClassName(), u"Descriptor", u"TableEngine");
    EXPECT_EQ(index.TokenFilter(i)->ClassName(), want);
    EXPECT_EQ(index.TokenFilter(i)->GetTokenFilterDescriptor(), docs->TokenFilter(i));
    EXPECT_EQ(index.TokenFilter(i)->GetParentTokenFilterHubTableEngine(), index.TokenFilter(-1));
  }
}

// A class missing from its family's registry: 15503 naming the family and
// the class looked for, and the partly built tree is freed.
TEST_F(FulltextTableEngine, UnknownClassesPerFamily) {
  docs->AddTokenFilter(u"Cut", &TmvWideCharSeparatorTokenFilterDescriptor::StaticClass);
  bits->AddIndex(0);
  struct Case {
    const TmvRegisterableEngineClassRef* cls;
    const char16_t* text;
  } cases[] = {
      {&TmvFulltextIndexTableEngine::StaticClass, u"Unknown FulltextIndex engine: \"TmvFulltextIndexTableEngine\""},
      {&TmvFieldTokenExtractorTableEngine::StaticClass,
       u"Unknown TokenExtractor engine: \"TmvFieldTokenExtractorTableEngine\""},
      {&TmvWideCharSeparatorTokenFilterTableEngine::StaticClass,
       u"Unknown TokenFilter engine: \"TmvWideCharSeparatorTokenFilterTableEngine\""},
      {&TmvBitArrayTokenIndexTableEngine::StaticClass,
       u"Unknown TokenIndex engine: \"TmvBitArrayTokenIndexTableEngine\""},
      {&TmvSimpleBitArrayStorageHandlerTableEngine::StaticClass,
       u"Unknown BitArrayStorageHandler engine: \"TmvSimpleBitArrayStorageHandlerTableEngine\""},
  };
  for (const Case& c : cases) {
    TmvBaseRegisterableEngine::UnregisterEngine(*c.cls);
    String text;
    EXPECT_EQ(CodeOf([&] { Build(); }, &text), uint32_t(MVERR_UNSUPPORTEDSUBENGINE));
    EXPECT_EQ(text, c.text);
    TmvBaseRegisterableEngine::RegisterEngine(*c.cls);
  }
  Build();
  EXPECT_NE(engine, nullptr);
}

TEST_F(FulltextTableEngine, BitArrayTokenIndexFindsItsIndexes) {
  bits->AddIndex(0);
  Build();
  EXPECT_EQ(BitIndex().GetReverseIndexEngine(), nullptr);
  TmvBaseIndexEngine* forward = BitIndex().GetIndexEngine();
  ASSERT_NE(forward, nullptr);
  EXPECT_EQ(forward->bieIndexName, u"Docs$Default");
  EXPECT_NE(dynamic_cast<TmvStaticKeyBstarTreeIndexEngine*>(forward), nullptr);
  EXPECT_NE(dynamic_cast<TmvSimpleIndicesEngine*>(engine->GetIndicesEngine()), nullptr);
  EXPECT_NE(dynamic_cast<TmvBitArrayTokenKeyEngine*>(forward->bieKeyEngine), nullptr);
  EXPECT_EQ(engine->GetIndicesEngine()->IndexCount(), 1);
}

// A table with a full-text descriptor whose token index asks for the
// reverse index too: its dictionary stored in the file, the table's
// records, main indexes and full-text engines made, tokens written (keys
// in both B*-trees, their bit arrays as BLOBs) and committed; then the
// file reopened with the dictionary read back from it, the engines opened
// without a transaction, every token found again with its bits, and all
// closed (the sanitizer tree finds any leak).
TEST_F(FulltextTableEngine, ATableWithAFulltextDescriptorGoesEndToEndThroughStorage) {
  bits->AddIndex(0);
  bits->AddReverseIndex(0);
  dd->CheckValid(false);
  if (auto* heap = dynamic_cast<TmvHeapBlobDescriptor*>(ft->GetBlobDescriptor()); heap && !heap->GetHeapDescriptor())
    heap->AddHeapDescriptor()->AddBlockHeapDescriptor();
  struct TTable {
    std::unique_ptr<TmvServerDataDict> dict;
    std::unique_ptr<TmvBaseRecordEngine> records;
    std::unique_ptr<TmvBaseIndicesEngine> indices;
    std::unique_ptr<TmvBaseFulltextTableEngine> fulltext;
    void Close() {
      fulltext.reset();
      indices.reset();
      records.reset();
    }
  };
  auto engines = [&](TTable& aTable, TmvBaseTransaction* aTrans) {
    const TmvBlockAccessArray files{view.get()};
    aTable.records.reset(TmvBaseRecordEngine::CreateEngine(aTable.dict.get(), files, aTrans));
    aTable.indices.reset(
        TmvBaseIndicesEngine::CreateEngine(aTable.dict.get(), files, aTable.records.get(), aTrans, false));
    aTable.fulltext.reset(TmvBaseFulltextTableEngine::CreateFor(aTable.dict.get(), files, aTable.indices.get(), aTrans));
  };
  auto tokenIndex = [](TTable& aTable) -> TmvBitArrayTokenIndexTableEngine& {
    return dynamic_cast<TmvBitArrayTokenIndexTableEngine&>(
        *static_cast<TmvFulltextTableEngine&>(*aTable.fulltext).FulltextIndex(0)->TokenIndex(0));
  };
  // Each token with the bits (record numbers) that hold it.
  const std::vector<std::pair<TmvWideString, std::vector<uint32_t>>> tokens{
      {u"alpha", {0, 2}}, {u"beta", {1}}, {u"gamma", {0, 1, 2, 40}}};
  auto keyOf = [](TmvBaseIndexEngine* aIndex, const TmvWideString& aToken) {
    Bytes key(aIndex->KeyEngine()->bkeKeyLength);
    static_cast<TmvBitArrayTokenKeyEngine*>(aIndex->KeyEngine())->InternalBuildKey(0, aToken, key.data(), -1);
    return key;
  };
  {
    TTable t;
    t.dict = std::make_unique<TmvServerDataDict>();
    t.dict->Assign(dd.get());
    TTestTransaction trans(cache);
    std::unique_ptr<TmvBaseStreamEngine> streams(TmvBaseStreamEngine::CreateEngine(t.dict.get(), view.get(), &trans));
    t.dict->WriteToFile(streams.get(), &trans, mvEngineVersion);
    streams.reset();
    engines(t, &trans);
    ASSERT_NE(t.fulltext, nullptr);
    TmvBitArrayTokenIndexTableEngine& index = tokenIndex(t);
    TmvBaseIndexEngine* forward = index.GetIndexEngine();
    TmvBaseIndexEngine* reverse = index.GetReverseIndexEngine();
    ASSERT_NE(reverse, nullptr);
    EXPECT_EQ(forward->bieIndexName, u"Docs$Default");
    EXPECT_EQ(reverse->bieIndexName, u"Docs$Default$Reverse");
    for (TmvBaseIndexEngine* tree : {forward, reverse})
      EXPECT_NE(dynamic_cast<TmvStaticKeyBstarTreeIndexEngine*>(tree), nullptr);
    // Three records, with their main keys.
    TmvFieldsDescriptor* fields = t.dict->GetFieldsDescriptor();
    for (int32_t id = 1; id <= 3; ++id) {
      Bytes record(size_t(fields->RecordLength()));
      fields->InitRecord(record.data());
      fields->SetRecordField(0, record.data(), &id);
      const uint32_t nr = uint32_t(id * 10);
      fields->SetRecordField(1, record.data(), &nr);
      TmvRefNr ref = 0;
      t.records->AddRecord(&trans, ref, record.data());
      ASSERT_EQ(t.indices->InsertKeys(&trans, ref, record.data(), nullptr), 0);
    }
    // The tokens: one bit array each, its key in both trees.
    for (const auto& [token, bitsOf] : tokens) {
      const TmvRefNr array = index.GetBitArrayStorageHandler()->CreateNew(&trans, bitsOf[0]);
      for (size_t i = 1; i < bitsOf.size(); ++i) index.GetBitArrayStorageHandler()->SetBit(&trans, bitsOf[i], array);
      for (TmvBaseIndexEngine* tree : {forward, reverse})
        ASSERT_TRUE(tree->InsertKey(&trans, keyOf(tree, token).data(), array, 0, nullptr));
    }
    trans.Commit();
    t.Close();
  }
  Reopen();
  {
    TTable t;
    t.dict = std::make_unique<TmvServerDataDict>();
    std::unique_ptr<TmvBaseStreamEngine> streams(
        TmvBaseStreamEngine::CreateEngine(static_cast<TmvBaseStreamDescriptor*>(nullptr), view.get(), nullptr));
    t.dict->ReadFromFile(streams.get(), nullptr);
    streams.reset();
    engines(t, nullptr);
    ASSERT_NE(t.fulltext, nullptr);
    TmvBitArrayTokenIndexTableEngine& index = tokenIndex(t);
    ASSERT_NE(index.GetReverseIndexEngine(), nullptr);
    TTestTransaction trans(cache);
    uint32_t count = 0;
    t.indices->biseGetIndex(0)->GetKeyCount(&trans, count);
    EXPECT_EQ(count, 3u);
    for (TmvBaseIndexEngine* tree : {index.GetIndexEngine(), index.GetReverseIndexEngine()}) {
      tree->GetKeyCount(&trans, count);
      EXPECT_EQ(count, tokens.size());
      std::unique_ptr<TmvBaseIndexPath> path(tree->CreateIndexPath());
      for (const auto& [token, bitsOf] : tokens) {
        const Bytes key = keyOf(tree, token);
        ASSERT_TRUE(tree->FindKey(&trans, key.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
        // The bit array the entry names: its count, then the bitmap.
        const Bytes stored = [&] {
          uint32_t length = 0;
          EXPECT_EQ(static_cast<TmvFulltextTableEngine&>(*t.fulltext).GetBlobEngine()->GetBlobLength(&trans, path->RefNr, {}, length), 0u);
          ByteStream stream;
          EXPECT_EQ(static_cast<TmvFulltextTableEngine&>(*t.fulltext).GetBlobEngine()->Read(&trans, path->RefNr, 0, length, {}, &stream), 0u);
          return stream.bytes;
        }();
        ASSERT_GE(stored.size(), 4u);
        EXPECT_EQ(mvGetU32(stored.data(), 0), bitsOf.size());
        for (uint32_t bit : bitsOf) {
          ASSERT_LT(4 + bit / 8, stored.size());
          EXPECT_TRUE(stored[4 + bit / 8] & (1u << (bit % 8))) << bit;
        }
      }
    }
    trans.End();
    t.Close();
  }
}

TEST_F(FulltextTableEngine, MainIndexTokenIndexTakesItsMainIndex) {
  dd->GetIndicesDescriptor()->AddIndex(u"Tokens", 0, idAll, u"", &TmvMainIndexTokenKeyDescriptor::StaticClass);
  auto* main = static_cast<TmvMainIndexTokenIndexDescriptor*>(
      docs->AddTokenIndex(u"Main", &TmvMainIndexTokenIndexDescriptor::StaticClass));
  main->SetMainIndexNumber(3);
  bits->AddIndex(0);
  {
    TTestTransaction trans(cache);
    TmvSimpleIndicesEngine mainIndices(dd->GetIndicesDescriptor(), {view.get()}, nullptr, &trans, false);
    trans.Commit();
    Build(true, &mainIndices);
    auto& tokens = dynamic_cast<TmvMainIndexTokenIndexTableEngine&>(*engine->FulltextIndex(0)->TokenIndex(1));
    EXPECT_EQ(tokens.GetMainIndexEngine(), mainIndices.biseGetIndex(3));
    EXPECT_NE(dynamic_cast<TmvMainIndexTokenKeyEngine*>(tokens.GetMainIndexEngine()->bieKeyEngine), nullptr);
    engine.reset();
    // Without the table's indices engine the token index has nowhere to go.
    EXPECT_EQ(CodeOf([&] { Build(false); }), uint32_t(MVERR_INVALIDDESC));
  }
}

TEST_F(FulltextTableEngine, TableWithoutFulltextGetsNone) {
  auto plain = mvtest::DocsTable();
  EXPECT_EQ(TmvBaseFulltextTableEngine::CreateFor(plain.get(), {view.get()}, nullptr, nullptr), nullptr);
}

TEST_F(FulltextTableEngine, NewBitArraysGoldenBytes) {
  bits->AddIndex(0);
  Build();
  TTestTransaction trans(cache);
  const TmvRefNr first = Handler().CreateNew(&trans, 0);
  EXPECT_EQ(BlobBytes(&trans, first), (Bytes{1, 0, 0, 0, 0x01}));
  const TmvRefNr nine = Handler().CreateNew(&trans, 9);
  EXPECT_EQ(BlobBytes(&trans, nine), (Bytes{1, 0, 0, 0, 0x00, 0x02}));
  Handler().SetBit(&trans, 20, nine);
  EXPECT_EQ(BlobBytes(&trans, nine), (Bytes{2, 0, 0, 0, 0x00, 0x02, 0x10}));
  Handler().SetBit(&trans, 40, nine);
  EXPECT_EQ(BlobBytes(&trans, nine), (Bytes{3, 0, 0, 0, 0x00, 0x02, 0x10, 0, 0, 0x01}));
  Handler().SetBit(&trans, 8, nine);  // inside the bitmap
  EXPECT_EQ(BlobBytes(&trans, nine), (Bytes{4, 0, 0, 0, 0x00, 0x03, 0x10, 0, 0, 0x01}));
  EXPECT_FALSE(Handler().ClearBit(&trans, 9, nine));
  EXPECT_EQ(BlobBytes(&trans, nine), (Bytes{3, 0, 0, 0, 0x00, 0x01, 0x10, 0, 0, 0x01}));
  // Clearing the only bit deletes the bit array.
  EXPECT_TRUE(Handler().ClearBit(&trans, 0, first));
  EXPECT_NE(CodeOf([&] {
              uint32_t length = 0;
              if (uint32_t code = engine->GetBlobEngine()->GetBlobLength(&trans, first, {}, length))
                throw EmvBaseException(code);
            }),
            0u);
  trans.Commit();
}

TEST_F(FulltextTableEngine, DisagreeingBitArraysAreRefusedUnchanged) {
  bits->AddIndex(0);
  Build();
  TTestTransaction trans(cache);
  const TmvRefNr nine = Handler().CreateNew(&trans, 9);
  const Bytes before = BlobBytes(&trans, nine);
  struct Case {
    const char* what;
    std::function<void()> work;
  } cases[] = {
      {"set a set bit", [&] { Handler().SetBit(&trans, 9, nine); }},
      {"clear a clear bit", [&] { Handler().ClearBit(&trans, 8, nine); }},
      {"clear the byte at the end", [&] { Handler().ClearBit(&trans, 16, nine); }},
      {"clear past the end", [&] { Handler().ClearBit(&trans, 100, nine); }},
  };
  for (const Case& c : cases) {
    String text;
    EXPECT_EQ(CodeOf(c.work, &text), uint32_t(MVERR_KEYVIOL)) << c.what;
    EXPECT_EQ(text, u"Key violation.") << c.what;
    EXPECT_EQ(BlobBytes(&trans, nine), before) << c.what;
  }
  // A bit array too short to hold its count.
  TmvBlobNr shortBlob = 0;
  engine->GetBlobEngine()->AddBlob(&trans, shortBlob);
  WriteBlob(&trans, shortBlob, 0, {1, 0, 0});
  EXPECT_EQ(CodeOf([&] { Handler().SetBit(&trans, 0, shortBlob); }), uint32_t(MVERR_KEYVIOL));
  EXPECT_EQ(CodeOf([&] { Handler().ClearBit(&trans, 0, shortBlob); }), uint32_t(MVERR_KEYVIOL));
  EXPECT_EQ(BlobBytes(&trans, shortBlob), (Bytes{1, 0, 0}));
  // A count of 0 beside a set bit is damage too.
  WriteBlob(&trans, shortBlob, 0, {0, 0, 0, 0, 1});
  EXPECT_EQ(CodeOf([&] { Handler().ClearBit(&trans, 0, shortBlob); }), uint32_t(MVERR_KEYVIOL));
  EXPECT_EQ(BlobBytes(&trans, shortBlob), (Bytes{0, 0, 0, 0, 1}));
  trans.Commit();
}

TEST_F(FulltextTableEngine, CaptureStreamsTakeExactlyTheirBytes) {
  TmvCountStream count;
  const uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_EQ(count.Write(bytes, 4), 4);
  EXPECT_EQ(count.csCount, 0x04030201u);
  EXPECT_THROW(count.Write(bytes, 3), EAssertionFailed);
  TmvCurrentByteStream current;
  EXPECT_EQ(current.Write(bytes + 2, 1), 1);
  EXPECT_EQ(current.cbsCurrentByte, 3);
  EXPECT_THROW(current.Write(bytes, 2), EAssertionFailed);
}

}  // namespace
