// Tests of the full-text table engines: the engine tree built from a
// table's full-text descriptor (hubs, members, unknown classes per family,
// the token indexes found in "Fulltext$Indices"), and the bit arrays of the
// simple storage handler in a real BLOB engine, golden bytes and refusals
// that leave a bit array unchanged. The B*-tree indexes stand in as memory
// indexes.
#include "storage/fulltext/mvseFulltextEngineTable.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdFulltextTestSupport.h"
#include "foundation/errors/mvllErrors.h"
#include "storage/HeapTestSupport.h"
#include "storage/MemoryIndexEngine.h"
#include "storage/blobs/mvseBlobEngine.h"
#include "storage/fulltext/mvsdKeyEngineToken.h"

namespace {

using namespace storage_test;
using Bytes = std::vector<uint8_t>;

// A memory indices engine found by name, as the token indices' engine is.
class TTokenIndicesEngine : public TMemoryIndicesEngine {
  MV_DECLARE_CLASSREF(TmvIndicesEngineClassRef)
 public:
  using TMemoryIndicesEngine::TMemoryIndicesEngine;
  static TmvBaseIndicesEngine* Create(TmvBaseIndicesDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                      TmvBaseRecordEngine* aRecordEngine, TmvBaseTransaction* aTrans, bool aAdd) {
    return new TTokenIndicesEngine(aDescriptor, aFiles, aRecordEngine, aTrans, aAdd);
  }
};
constinit const TmvIndicesEngineClassRef TTokenIndicesEngine::StaticClass{
    {{u"TTokenIndicesEngine", &TmvBaseIndicesEngine::StaticClass}, &TmvBaseIndicesEngine::GetList,
     &TmvBaseSubEngine::NoTableCheck},
    &TTokenIndicesEngine::Create,
    &TmvBaseIndicesEngine::CheckIndexDescriptors};

class FulltextTableEngine : public HeapFileTest {
 protected:
  void SetUp() override {
    HeapFileTest::SetUp();
    TmvBaseSubEngine::Register(TMemoryIndexEngine::StaticClass, mvDefaultIndexEngine);
    TmvBaseSubEngine::Register(TTokenIndicesEngine::StaticClass, mvDefaultIndexEngine);
    dd = mvtest::DocsTable();
    ft = &mvtest::AddFulltext(*dd);
    docs = ft->AddFulltextIndex(u"Docs");
    docs->AddFieldTokenExtractor(2);
    bits = static_cast<TmvBitArrayTokenIndexDescriptor*>(docs->AddTokenIndex(u""));
  }
  void TearDown() override {
    engine.reset();
    dd.reset();
    TmvBaseSubEngine::Unregister(TTokenIndicesEngine::StaticClass);
    TmvBaseSubEngine::Unregister(TMemoryIndexEngine::StaticClass);
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
  EXPECT_NE(dynamic_cast<TmvBitArrayTokenKeyEngine*>(forward->bieKeyEngine), nullptr);

  engine.reset();
  bits->AddReverseIndex(0);
  Build(false);
  ASSERT_NE(BitIndex().GetReverseIndexEngine(), nullptr);
  EXPECT_EQ(BitIndex().GetReverseIndexEngine()->bieIndexName, u"Docs$Default$Reverse");
  EXPECT_EQ(BitIndex().GetIndexEngine()->bieIndexName, u"Docs$Default");
  EXPECT_EQ(engine->GetIndicesEngine()->IndexCount(), 2);
}

TEST_F(FulltextTableEngine, MainIndexTokenIndexTakesItsMainIndex) {
  TmvBaseRegisterableEngine::RegisterEngine(TTestCompKeyEngine::StaticClass);
  TmvBaseRegisterableEngine::RegisterEngine(TTestRefKeyEngine::StaticClass);
  dd->GetIndicesDescriptor()->AddIndex(u"Tokens", 0, idAll, u"", &TmvMainIndexTokenKeyDescriptor::StaticClass);
  auto* main = static_cast<TmvMainIndexTokenIndexDescriptor*>(
      docs->AddTokenIndex(u"Main", &TmvMainIndexTokenIndexDescriptor::StaticClass));
  main->SetMainIndexNumber(3);
  bits->AddIndex(0);
  {
    TTestTransaction trans(cache);
    TMemoryIndicesEngine mainIndices(dd->GetIndicesDescriptor(), {view.get()}, nullptr, &trans, false);
    trans.Commit();
    Build(true, &mainIndices);
    auto& tokens = dynamic_cast<TmvMainIndexTokenIndexTableEngine&>(*engine->FulltextIndex(0)->TokenIndex(1));
    EXPECT_EQ(tokens.GetMainIndexEngine(), mainIndices.biseGetIndex(3));
    EXPECT_NE(dynamic_cast<TmvMainIndexTokenKeyEngine*>(tokens.GetMainIndexEngine()->bieKeyEngine), nullptr);
    engine.reset();
    // Without the table's indices engine the token index has nowhere to go.
    EXPECT_EQ(CodeOf([&] { Build(false); }), uint32_t(MVERR_INVALIDDESC));
  }
  TmvBaseRegisterableEngine::UnregisterEngine(TTestRefKeyEngine::StaticClass);
  TmvBaseRegisterableEngine::UnregisterEngine(TTestCompKeyEngine::StaticClass);
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
