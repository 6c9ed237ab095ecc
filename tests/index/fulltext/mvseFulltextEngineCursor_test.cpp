// Tests of the full-text token pipeline and the token index upkeep of a
// cursor, on record images inside a transaction of a real table file: the
// separators, extractors and string replacement, bit-array and main-index
// token indexes after insert, modify and delete (golden bit arrays, the
// segment index, rollback of a failed update), the errors, the list walk
// with a compare that fails, and a random model of documents. A test cursor
// answers the BLOB reads and record identities.
#include "index/fulltext/mvseFulltextEngineCursorIndex.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "dictionary/mvsdFulltextTestSupport.h"
#include "foundation/errors/mvllErrors.h"
#include "index/mvixUnits.h"
#include "index/mvsdKeyEngineToken.h"
#include "index/mvseIndicesEngineSimple.h"
#include "dictionary/filters/mvsdFilterDescriptor.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "storage/HeapTestSupport.h"
#include "storage/blobs/mvseBlobEngine.h"
#include "storage/indices/mvseIndexEngine.h"

namespace {

using namespace storage_test;
using Bytes = std::vector<uint8_t>;

// The test cursor: BLOBs by number, and the notifications it was given.
struct TTestCursor {
  std::map<TmvBlobNr, Bytes> blobs;
  std::vector<std::tuple<int32_t, TmvWideString, TmvRefNr, int64_t, bool>> notes;
  bool notify = false;
};
TTestCursor* gCursor = nullptr;

TmvAbstractCursor* AsCursor(TTestCursor* aCursor) { return reinterpret_cast<TmvAbstractCursor*>(aCursor); }

const TmvFulltextCursorCalls kTestCalls{
    [](TmvAbstractCursor*, const void*) { return TmvRecID{0, 7}; },
    [](TmvAbstractCursor*, const TmvRecID&, int32_t, TmvBlobNr aBlobNr, bool, uint32_t& aLength) -> uint32_t {
      auto it = gCursor->blobs.find(aBlobNr);
      if (it == gCursor->blobs.end()) return MVERR_KEYVIOL;
      aLength = uint32_t(it->second.size());
      return 0;
    },
    [](TmvAbstractCursor*, const TmvRecID&, int32_t, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, bool,
       TStream* aStream) -> uint32_t {
      const Bytes& bytes = gCursor->blobs.at(aBlobNr);
      aStream->Write(bytes.data() + aOffset, int32_t(aLen));
      return 0;
    },
    [](TmvAbstractCursor*) -> TmvFulltextUpdateNotify {
      if (!gCursor->notify) return {};
      return [](int32_t aIndex, TmvWideString& aToken, TmvRefNr& aRefNr, int64_t aLocation, bool aAdd) {
        gCursor->notes.emplace_back(aIndex, aToken, aRefNr, aLocation, aAdd);
      };
    }};

// A source that hands out given tokens.
class TListSource : public TmvBaseTokenSourceCursorEngine {
 public:
  explicit TListSource(std::vector<std::pair<TmvWideString, int32_t>> aTokens)
      : TmvBaseTokenSourceCursorEngine(nullptr), lsTokens(std::move(aTokens)) {
    for (auto& [text, distance] : lsTokens) {
      TmvTokenRef token;
      mvNewToken(text, distance, 0, token);
      lsRefs.push_back(token);
    }
  }
  void Reset() override { lsNext = 0; }
  void NextToken(TmvTokenRef& aToken) override {
    if (lsNext < lsRefs.size())
      aToken = lsRefs[lsNext++];
    else
      aToken.reset();
  }
  std::vector<std::pair<TmvWideString, int32_t>> lsTokens;
  std::vector<TmvTokenRef> lsRefs;
  size_t lsNext = 0;
};

struct TTok {
  TmvWideString text;
  int32_t distance;
  int16_t field;
  bool operator==(const TTok&) const = default;
};
std::ostream& operator<<(std::ostream& os, const TTok& t) {
  return os << '"' << UTF8Encode(t.text) << "\" d" << t.distance << " f" << t.field;
}

std::vector<TTok> ReadAll(TmvBaseTokenSourceCursorEngine& aSource) {
  std::vector<TTok> result;
  aSource.Reset();
  TmvTokenRef token;
  for (aSource.NextToken(token); token; aSource.NextToken(token)) {
    TmvWideString text;
    token->GetToken(text);
    result.push_back({text, token->GetDistance(), token->GetField()});
  }
  return result;
}

class FulltextCursor : public HeapFileTest {
 protected:
  void SetUp() override {
    HeapFileTest::SetUp();
    mvIndexInit();
    gCursor = &cursor;
    mvSetFulltextCursorCalls(kTestCalls);
    dd = mvtest::DocsTable();
    fields = dd->GetFieldsDescriptor();
    ft = &mvtest::AddFulltext(*dd);
    docs = ft->AddFulltextIndex(u"Docs");
  }
  void TearDown() override {
    if (trans) trans->End();
    trans.reset();
    engine.reset();
    table.reset();
    mainIndices.reset();
    dd.reset();
    mvSetFulltextCursorCalls({});
    gCursor = nullptr;
    mvIndexFini();
    HeapFileTest::TearDown();
  }
  // A bit-array token index "Default" with a forward index.
  TmvBitArrayTokenIndexDescriptor* AddBits() {
    auto* bits = static_cast<TmvBitArrayTokenIndexDescriptor*>(docs->AddTokenIndex(u""));
    bits->AddIndex(0);
    return bits;
  }
  // A main-index token index "Main" on the new main index 3.
  TmvMainIndexTokenIndexDescriptor* AddMain(bool aIncludeLocation = false) {
    auto* index = dd->GetIndicesDescriptor()->AddIndex(u"Tokens", 0, idAll, u"",
                                                       &TmvMainIndexTokenKeyDescriptor::StaticClass);
    mainKey = static_cast<TmvMainIndexTokenKeyDescriptor*>(index->GetKeyDescriptor());
    if (aIncludeLocation) mainKey->SetIncludeLocation(true);
    auto* main = static_cast<TmvMainIndexTokenIndexDescriptor*>(
        docs->AddTokenIndex(u"Main", &TmvMainIndexTokenIndexDescriptor::StaticClass));
    main->SetMainIndexNumber(3);
    withMain = true;
    return main;
  }
  void AddSeparator(char16_t aChar = u' ') {
    auto* sep = static_cast<TmvWideCharSeparatorTokenFilterDescriptor*>(
        docs->AddTokenFilter(u"Cut", &TmvWideCharSeparatorTokenFilterDescriptor::StaticClass));
    sep->SetSeparatorChar(aChar);
  }
  // The table's engines, a cursor engine, and an open transaction.
  void Build() {
    dd->CheckValid(false);
    if (auto* heap = dynamic_cast<TmvHeapBlobDescriptor*>(ft->GetBlobDescriptor()); heap && !heap->GetHeapDescriptor())
      heap->AddHeapDescriptor()->AddBlockHeapDescriptor();
    TTestTransaction setup(cache);
    if (withMain)
      mainIndices = std::make_unique<TmvSimpleIndicesEngine>(dd->GetIndicesDescriptor(), TmvBlockAccessArray{view.get()},
                                                             nullptr, &setup, false);
    table.reset(static_cast<TmvFulltextTableEngine*>(
        TmvBaseFulltextTableEngine::CreateFor(dd.get(), {view.get()}, mainIndices.get(), &setup)));
    setup.Commit();
    engine.reset(static_cast<TmvFulltextCursorEngine*>(
        TmvBaseFulltextCursorEngine::CreateFor(table.get(), AsCursor(&cursor))));
    trans = std::make_unique<TTestTransaction>(cache);
  }
  Bytes Record(uint32_t aNr, const TmvWideString& aBody, const TmvWideString* aTitle = nullptr) {
    Bytes record(size_t(fields->RecordLength()));
    fields->InitRecord(record.data());
    const int32_t id = int32_t(aNr);
    fields->SetRecordField(0, record.data(), &id);
    fields->SetRecordField(1, record.data(), &aNr);
    SetText(record, 2, aBody);
    if (aTitle) SetText(record, 3, *aTitle);
    return record;
  }
  void SetText(Bytes& aRecord, int32_t aField, const TmvWideString& aText) {
    Bytes value(size_t(fields->FieldDescriptor(aField)->Length()), 0);
    for (size_t i = 0; i < aText.size(); ++i) {
      value[2 * i] = uint8_t(aText[i]);
      value[2 * i + 1] = uint8_t(aText[i] >> 8);
    }
    fields->SetRecordField(aField, aRecord.data(), value.data());
  }
  uint32_t Update(const Bytes* aOld, TmvRefNr aOldRef, const Bytes* aNew, TmvRefNr aNewRef) {
    return engine->UpdateIndex(trans.get(), aOld ? aOld->data() : nullptr, aOldRef, aNew ? aNew->data() : nullptr,
                               aNewRef);
  }
  TmvBitArrayTokenIndexTableEngine& BitIndex(int32_t aIndex = 0) {
    return dynamic_cast<TmvBitArrayTokenIndexTableEngine&>(*table->FulltextIndex(0)->TokenIndex(aIndex));
  }
  // Empty for a BLOB that is gone.
  Bytes BlobBytes(TmvRefNr aBlob) {
    uint32_t length = 0;
    uint32_t code = 0;
    try {
      code = table->GetBlobEngine()->GetBlobLength(trans.get(), aBlob, {}, length);
    } catch (const EmvBaseException&) {
      code = 1;
    }
    if (code != 0) return {};
    ByteStream stream;
    EXPECT_EQ(table->GetBlobEngine()->Read(trans.get(), aBlob, 0, length, {}, &stream), 0u);
    return stream.bytes;
  }
  // Every entry of a bit-array index: (segment, token, field) -> its BLOB.
  struct TEntry {
    uint16_t segment;
    TmvWideString token;
    int16_t field;
    auto operator<=>(const TEntry&) const = default;
  };
  std::map<TEntry, TmvRefNr> Entries(TmvBaseIndexEngine* aIndex) {
    std::map<TEntry, TmvRefNr> result;
    auto* keys = static_cast<TmvBitArrayTokenKeyEngine*>(aIndex->KeyEngine());
    std::unique_ptr<TmvBaseIndexPath> path(aIndex->CreateIndexPath());
    path->SetToBof();
    while (aIndex->NextKey(trans.get(), path.get(), nullptr) && path->IsOnKey()) {
      const auto* key = static_cast<const uint8_t*>(path->Key);
      TEntry entry{mvGetU16(key, 0), {}, -1};
      for (uint16_t i = 0; i < mvGetU16(key, 2); ++i) entry.token.push_back(char16_t(mvGetU16(key, 4 + 2 * i)));
      if (keys->GetPerField()) entry.field = int16_t(mvGetU16(key, 4 + 2 * keys->GetMaxTokenSize()));
      result[entry] = path->RefNr;
    }
    return result;
  }
  // Every entry of the main token index: (token, location, RefNr).
  std::set<std::tuple<TmvWideString, uint32_t, TmvRefNr>> MainEntries() {
    std::set<std::tuple<TmvWideString, uint32_t, TmvRefNr>> result;
    TmvBaseIndexEngine* index = mainIndices->biseGetIndex(3);
    std::unique_ptr<TmvBaseIndexPath> path(index->CreateIndexPath());
    path->SetToBof();
    while (index->NextKey(trans.get(), path.get(), nullptr) && path->IsOnKey()) {
      const auto* key = static_cast<const uint8_t*>(path->Key);
      TmvWideString token;
      for (uint16_t i = 0; i < mvGetU16(key, 0); ++i) token.push_back(char16_t(mvGetU16(key, 2 + 2 * i)));
      const uint32_t location = mvGetU32(key, index->KeyEngine()->bkeKeyLength - 4);
      result.emplace(token, static_cast<TmvMainIndexTokenKeyEngine*>(index->KeyEngine())->GetIncludeLocation()
                                ? location
                                : 0u,
                     path->RefNr);
    }
    return result;
  }

  TTestCursor cursor;
  std::unique_ptr<TmvDataDictionary> dd;
  TmvFieldsDescriptor* fields = nullptr;
  TmvFulltextDescriptor* ft = nullptr;
  TmvFulltextIndexDescriptor* docs = nullptr;
  bool withMain = false;
  TmvMainIndexTokenKeyDescriptor* mainKey = nullptr;
  std::unique_ptr<TmvSimpleIndicesEngine> mainIndices;
  std::unique_ptr<TmvFulltextTableEngine> table;
  std::unique_ptr<TmvFulltextCursorEngine> engine;
  std::unique_ptr<TTestTransaction> trans;
};

// ---------------------------------------------------------------------------
// The pipeline

TEST_F(FulltextCursor, SeparatorCutsWordsWithTheirDistances) {
  docs->AddFieldTokenExtractor(2);
  AddSeparator(u',');
  static_cast<TmvBaseSeparatorTokenFilterDescriptor*>(docs->TokenFilter(0))->SetSeparatorDistance(3);
  AddBits();
  Build();
  TmvBaseTokenFilterTableEngine* cut = table->FulltextIndex(0)->TokenFilter(0);
  struct Case {
    std::vector<std::pair<TmvWideString, int32_t>> input;
    int32_t separatorDistance;
    std::vector<TTok> want;
  } cases[] = {
      {{{u"a,b,,c", 0}}, 3, {{u"a", 0, 0}, {u"b", 3, 0}, {u"c", 3, 0}}},
      {{{u",a", 0}}, 2, {{u"a", 2, 0}}},
      {{{u",a", 5}}, 2, {{u"a", 5, 0}}},
      {{{u"a,,b", 0}}, 0, {{u"a", 0, 0}, {u"b", 1, 0}}},
      {{{u",,", 0}, {u"x", 4}}, 3, {{u"x", 4, 0}}},
      {{{u"", 6}}, 3, {{u"", 6, 0}}},
  };
  for (const Case& c : cases) {
    static_cast<TmvBaseSeparatorTokenFilterDescriptor*>(cut->GetTokenFilterDescriptor())
        ->SetSeparatorDistance(c.separatorDistance);
    TListSource source(c.input);
    TmvWideCharSeparatorTokenFilterCursorEngine filter(nullptr, nullptr, &source, cut);
    EXPECT_EQ(ReadAll(filter), c.want) << UTF8Encode(c.input[0].first);
  }
  // A token without a separator passes as the very same object.
  TListSource source({{u"abc", 0}});
  TmvWideCharSeparatorTokenFilterCursorEngine filter(nullptr, nullptr, &source, cut);
  TmvTokenRef token;
  filter.NextToken(token);
  EXPECT_EQ(token.get(), source.lsRefs[0].get());
}

TEST_F(FulltextCursor, ExtractorHubsNumberTheirFields) {
  docs->AddFieldTokenExtractor(3, u"Title");
  docs->AddFieldTokenExtractor(2, u"Body");
  auto* nested = docs->AddTokenExtractorHub(u"More");
  nested->AddFieldTokenExtractor(3, u"Again");
  nested->AddFieldTokenExtractor(2, u"AgainBody");
  AddBits();
  Build();
  TmvFulltextIndexCursorEngine& index = *engine->FulltextIndex(0);
  const TmvWideString title = u"T";
  Bytes record = Record(1, u"B", &title);
  index.TokenExtractorNew(-1)->Initialize(record.data(), {}, false);
  EXPECT_EQ(ReadAll(*index.TokenFilterNew(-1)),
            (std::vector<TTok>{{u"T", 0, 0}, {u"B", 0, 1}, {u"T", 0, 2}, {u"B", 0, 2}}));
  // A null Body gives no token.
  fields->SetRecordFieldNull(2, record.data(), true);
  EXPECT_EQ(ReadAll(*index.TokenFilterNew(-1)), (std::vector<TTok>{{u"T", 0, 0}, {u"T", 0, 2}}));
}

TEST_F(FulltextCursor, MemoFieldsReadTheirBlobsThroughTheCursor) {
  fields->AddField(u"Memo", u"", mvtBlobWideMemo, 0, 0, false);
  docs->AddFieldTokenExtractor(4);
  AddBits();
  Build();
  cursor.blobs[5] = {u'h', 0, u'i', 0};
  TmvFulltextIndexCursorEngine& index = *engine->FulltextIndex(0);
  Bytes record = Record(1, u"");
  for (TmvBlobNr nr : {TmvBlobNr(5), TmvBlobNr(0), TmvBlobNr(6)}) {
    fields->SetRecordField(4, record.data(), &nr);
    index.TokenExtractorNew(-1)->Initialize(record.data(), {}, false);
    const std::vector<TTok> want = nr == 5 ? std::vector<TTok>{{u"hi", 0, 0}} : std::vector<TTok>{};
    EXPECT_EQ(ReadAll(*index.TokenFilterNew(-1)), want) << nr;
  }
}

// ShortString and NullString: with code page 932 the bytes are converted,
// without a locale each byte becomes one unit; NullString stops at NUL.
TEST_F(FulltextCursor, SingleByteFieldsByCodePage) {
  auto* sjis = fields->AddField(u"Sjis", u"", mvtShortString, 10, 0, false);
  sjis->AddLocaleDescriptor()->SetOverrideStorageCodepage(932);
  fields->AddField(u"Plain", u"", mvtShortString, 10, 0, false);
  fields->AddField(u"Zero", u"", mvtNullString, 10, 0, false);
  docs->AddFieldTokenExtractor(4);
  docs->AddFieldTokenExtractor(5);
  docs->AddFieldTokenExtractor(6);
  AddBits();
  Build();
  Bytes record = Record(1, u"");
  const uint8_t nihon[] = {4, 0x93, 0xFA, 0x96, 0x7B, 0, 0, 0, 0, 0, 0};
  fields->SetRecordField(4, record.data(), nihon);
  fields->SetRecordField(5, record.data(), nihon);
  const uint8_t zero[] = {'a', 'b', 0, 'c', 0, 0, 0, 0, 0, 0, 0};
  fields->SetRecordField(6, record.data(), zero);
  TmvFulltextIndexCursorEngine& index = *engine->FulltextIndex(0);
  index.TokenExtractorNew(-1)->Initialize(record.data(), {}, false);
  EXPECT_EQ(ReadAll(*index.TokenFilterNew(-1)),
            (std::vector<TTok>{{u"\u65e5\u672c", 0, 0}, {u"\u0093\u00fa\u0096\u007b", 0, 1}, {u"ab", 0, 2}}));
}

TEST_F(FulltextCursor, StringReplaceItems) {
  docs->AddFieldTokenExtractor(2);
  AddSeparator();
  AddBits();
  auto* replace = static_cast<TmvStringReplaceTokenFilterDescriptor*>(
      docs->AddTokenFilter(u"Swap", &TmvStringReplaceTokenFilterDescriptor::StaticClass));
  Build();
  TmvBaseTokenFilterTableEngine* swap = table->FulltextIndex(0)->TokenFilter(1);
  struct Case {
    TmvStringReplaceKind kind;
    const char16_t* oldPattern;
    const char16_t* newPattern;
    bool ignoreCase;
    const char16_t* input;
    const char16_t* want;
  } cases[] = {
      {srkWhole, u"the", u"", false, u"the", u""},       {srkWhole, u"the", u"", false, u"then", u"then"},
      {srkWhole, u"the", u"", true, u"THE", u""},        {srkOne, u"a", u"o", false, u"banana", u"bonana"},
      {srkAll, u"a", u"o", false, u"banana", u"bonono"}, {srkAll, u"AN", u"-", true, u"banana", u"b--a"},
      {srkAll, u"AN", u"-", false, u"banana", u"banana"},
  };
  for (const Case& c : cases) {
    while (replace->ItemCount() > 0) replace->RemoveItem(0);
    replace->AddItem(c.oldPattern, c.newPattern, c.kind, c.ignoreCase);
    TListSource source({{c.input, 2}});
    TmvStringReplaceTokenFilterCursorEngine filter(nullptr, nullptr, &source, swap);
    const std::vector<TTok> got = ReadAll(filter);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (TTok{c.want, 2, 0})) << UTF8Encode(c.input);
    if (String(c.want) == c.input) {
      TmvTokenRef token;
      filter.Reset();
      filter.NextToken(token);
      EXPECT_EQ(token.get(), source.lsRefs[0].get());
    }
  }
}

// Filters run extractor, extractor hub, full-text index, token index hub,
// token index: a replace of "a b" before the separator keeps a word that a
// replace after it never sees.
TEST_F(FulltextCursor, FiltersRunInChainOrder) {
  auto* body = docs->AddFieldTokenExtractor(2);
  body->AddTokenFilter(u"Up", &TmvUppercaseLocaleMappingTokenFilterDescriptor::StaticClass);
  AddSeparator();
  auto* bits = AddBits();
  auto* replace = static_cast<TmvStringReplaceTokenFilterDescriptor*>(
      bits->AddTokenFilter(u"Swap", &TmvStringReplaceTokenFilterDescriptor::StaticClass));
  replace->AddItem(u"B", u"x", srkWhole, false);  // sees upper case, after the separator
  docs->GetTokenIndexHub()->AddTokenFilter(u"Lower", &TmvLowercaseLocaleMappingTokenFilterDescriptor::StaticClass);
  Build();
  TmvFulltextIndexCursorEngine& index = *engine->FulltextIndex(0);
  Bytes record = Record(1, u"a b");
  index.TokenExtractorNew(-1)->Initialize(record.data(), {}, false);
  // The extractor's upper-casing runs first, the full-text index's cut next.
  EXPECT_EQ(ReadAll(*index.TokenFilterNew(-1)), (std::vector<TTok>{{u"A", 0, 0}, {u"B", 1, 0}}));
  // The hub's lower-casing runs before the token index's replace: "b" is
  // no longer "B".
  auto* bitIndex = index.TokenIndex(0);
  EXPECT_EQ(ReadAll(*bitIndex->GetTokenSourceNew()), (std::vector<TTok>{{u"a", 0, 0}, {u"b", 1, 0}}));
}

// ---------------------------------------------------------------------------
// Bit-array token indexes

TEST_F(FulltextCursor, BitArraysFollowInsertModifyAndDelete) {
  docs->AddFieldTokenExtractor(2);
  AddSeparator();
  AddBits();
  Build();
  TmvBaseIndexEngine* forward = BitIndex().GetIndexEngine();
  const Bytes first = Record(5, u"a b a");
  ASSERT_EQ(Update(nullptr, 0, &first, 1), 0u);
  auto entries = Entries(forward);
  ASSERT_EQ(entries.size(), 2u);
  const TmvRefNr aBlob = entries.at({0, u"a", -1});
  const TmvRefNr bBlob = entries.at({0, u"b", -1});
  EXPECT_EQ(BlobBytes(aBlob), (Bytes{1, 0, 0, 0, 0x20}));
  EXPECT_EQ(BlobBytes(bBlob), (Bytes{1, 0, 0, 0, 0x20}));
  // A second record shares b's bit array.
  const Bytes second = Record(9, u"b");
  ASSERT_EQ(Update(nullptr, 0, &second, 2), 0u);
  EXPECT_EQ(BlobBytes(bBlob), (Bytes{2, 0, 0, 0, 0x20, 0x02}));
  // a b a -> b c at the same location: a goes (its last bit), c comes, b
  // is not touched.
  const Bytes changed = Record(5, u"b c");
  ASSERT_EQ(Update(&first, 1, &changed, 1), 0u);
  entries = Entries(forward);
  EXPECT_EQ(entries.count({0, u"a", -1}), 0u);
  EXPECT_TRUE(BlobBytes(aBlob).empty());
  EXPECT_EQ(entries.at({0, u"b", -1}), bBlob);
  EXPECT_EQ(BlobBytes(bBlob), (Bytes{2, 0, 0, 0, 0x20, 0x02}));
  EXPECT_EQ(BlobBytes(entries.at({0, u"c", -1})), (Bytes{1, 0, 0, 0, 0x20}));
  // Only the location changes: every token moves.
  const Bytes moved = Record(6, u"b c");
  ASSERT_EQ(Update(&changed, 1, &moved, 1), 0u);
  entries = Entries(forward);
  EXPECT_EQ(BlobBytes(entries.at({0, u"b", -1})), (Bytes{2, 0, 0, 0, 0x40, 0x02}));
  EXPECT_EQ(BlobBytes(entries.at({0, u"c", -1})), (Bytes{1, 0, 0, 0, 0x40}));
  // Deleting both leaves nothing.
  ASSERT_EQ(Update(&moved, 1, nullptr, 0), 0u);
  ASSERT_EQ(Update(&second, 2, nullptr, 0), 0u);
  EXPECT_TRUE(Entries(forward).empty());
}

TEST_F(FulltextCursor, PerFieldEntriesBesideTheCombinedOnes) {
  docs->AddFieldTokenExtractor(2);
  AddSeparator();
  auto* bits = AddBits();
  bits->SetPerFieldIndex(true);
  Build();
  const Bytes record = Record(5, u"a b a");
  ASSERT_EQ(Update(nullptr, 0, &record, 1), 0u);
  std::set<TEntry> keys;
  for (const auto& [entry, blob] : Entries(BitIndex().GetIndexEngine())) keys.insert(entry);
  EXPECT_EQ(keys, (std::set<TEntry>{{0, u"a", -1}, {0, u"a", 0}, {0, u"b", -1}, {0, u"b", 0}}));
}

// Location 600,000: segment 1, bit 75,712; its bit array is 9,469 bytes
// with 0x01 at 9,468, and the segment entry 0xFFFF holds bit 1. The reverse
// index names the same BLOBs.
TEST_F(FulltextCursor, SegmentIndexAndReverseIndex) {
  docs->AddFieldTokenExtractor(2);
  auto* bits = AddBits();
  bits->SetSegmentIndex(true);
  bits->AddReverseIndex(0);
  Build();
  const Bytes record = Record(600000, u"ab");
  ASSERT_EQ(Update(nullptr, 0, &record, 1), 0u);
  const auto entries = Entries(BitIndex().GetIndexEngine());
  ASSERT_EQ(entries.size(), 2u);
  const Bytes segment = BlobBytes(entries.at({1, u"ab", -1}));
  ASSERT_EQ(segment.size(), 9469u);
  EXPECT_EQ(segment[9468], 0x01);
  EXPECT_EQ(mvGetU32(segment.data(), 0), 1u);
  EXPECT_EQ(BlobBytes(entries.at({0xFFFF, u"ab", -1})), (Bytes{1, 0, 0, 0, 0x02}));
  const auto reverse = Entries(BitIndex().GetReverseIndexEngine());
  EXPECT_EQ(reverse.at({1, u"ba", -1}), entries.at({1, u"ab", -1}));
  EXPECT_EQ(reverse.at({0xFFFF, u"ba", -1}), entries.at({0xFFFF, u"ab", -1}));
  ASSERT_EQ(Update(&record, 1, nullptr, 0), 0u);
  EXPECT_TRUE(Entries(BitIndex().GetIndexEngine()).empty());
  EXPECT_TRUE(Entries(BitIndex().GetReverseIndexEngine()).empty());
  for (const auto& [entry, blob] : entries) EXPECT_TRUE(BlobBytes(blob).empty());
}

TEST_F(FulltextCursor, NullLocationLongTokensAndSpellings) {
  docs->AddFieldTokenExtractor(2);
  AddSeparator();
  auto* bits = AddBits();
  bits->SetMaxTokenSize(4);
  Build();
  TmvBaseIndexEngine* forward = BitIndex().GetIndexEngine();
  Bytes nowhere = Record(1, u"a");
  fields->SetRecordFieldNull(1, nowhere.data(), true);
  ASSERT_EQ(Update(nullptr, 0, &nowhere, 1), 0u);
  EXPECT_TRUE(Entries(forward).empty());
  // Two tokens equal in their first four units, and a decomposed and a
  // precomposed e acute: one entry each, every location in it.
  const Bytes one = Record(1, u"abcdX e\u0301");
  const Bytes two = Record(2, u"abcdY \u00e9");
  ASSERT_EQ(Update(nullptr, 0, &one, 1), 0u);
  ASSERT_EQ(Update(nullptr, 0, &two, 2), 0u);
  const auto entries = Entries(forward);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(BlobBytes(entries.at({0, u"abcd", -1})), (Bytes{2, 0, 0, 0, 0x06}));
  EXPECT_EQ(BlobBytes(entries.at({0, u"\u00e9", -1})), (Bytes{2, 0, 0, 0, 0x06}));
}

// An error halfway leaves the earlier changes in the transaction; rolling
// that level back restores them all. Removing a token without an entry is
// 9729.
TEST_F(FulltextCursor, FailedUpdateRollsBackWithItsLevel) {
  docs->AddFieldTokenExtractor(2);
  AddSeparator();
  AddBits();
  Build();
  TmvBaseIndexEngine* forward = BitIndex().GetIndexEngine();
  const Bytes first = Record(5, u"a b");
  ASSERT_EQ(Update(nullptr, 0, &first, 1), 0u);
  const auto before = Entries(forward);
  const Bytes beforeA = BlobBytes(before.at({0, u"a", -1}));
  trans->StartNested(true);
  // The old image names a token the index never had: a goes first, then q
  // fails.
  const Bytes wrong = Record(5, u"a q");
  const Bytes next = Record(5, u"c");
  String text;
  EXPECT_EQ(CodeOf([&] { Update(&wrong, 1, &next, 1); }, &text), uint32_t(MVERR_KEYVIOL));
  EXPECT_EQ(text, u"Key violation.");
  EXPECT_EQ(Entries(forward).count({0, u"a", -1}), 0u);
  trans->Rollback();
  EXPECT_EQ(Entries(forward), before);
  EXPECT_EQ(BlobBytes(before.at({0, u"a", -1})), beforeA);
}

TEST_F(FulltextCursor, UnsupportedAndUnknownEngines) {
  docs->AddFieldTokenExtractor(2);
  AddBits();
  // A token index class that leaves bticeUpdateIndex to the base, under
  // the name the table engine asks for.
  static const TmvTokenIndexCursorEngineClassRef plainClass{
      {{u"TmvBitArrayTokenIndexCursorEngine", &TmvBaseTokenIndexCursorEngine::StaticClass},
       &TmvBaseTokenIndexCursorEngine::Registry,
       nullptr},
      &TmvTokenIndexCursorEngineClassRef::Construct<TmvBaseTokenIndexCursorEngine>};
  TmvBaseRegisterableEngine::UnregisterEngine(TmvBitArrayTokenIndexCursorEngine::StaticClass);
  TmvBaseRegisterableEngine::RegisterEngine(plainClass);
  Build();
  const Bytes record = Record(5, u"a");
  EXPECT_EQ(Update(nullptr, 0, &record, 1), uint32_t(MVERR_NOTSUPPORTED));
  String text;
  uint32_t code = 0;
  EmvBaseException::GetLastConvertedException(code, text);
  EXPECT_EQ(code, uint32_t(MVERR_NOTSUPPORTED));
  EXPECT_EQ(text, u"bticeUpdateIndex is not supported by TmvBaseTokenIndexCursorEngine");
  engine.reset();
  TmvBaseRegisterableEngine::UnregisterEngine(plainClass);
  EXPECT_EQ(CodeOf([&] { TmvBaseFulltextCursorEngine::CreateFor(table.get(), AsCursor(&cursor)); }, &text),
            uint32_t(MVERR_UNSUPPORTEDSUBENGINE));
  EXPECT_EQ(text, u"Unknown TokenIndex engine: \"TmvBitArrayTokenIndexCursorEngine\"");
  TmvBaseRegisterableEngine::RegisterEngine(TmvBitArrayTokenIndexCursorEngine::StaticClass);
}

// A compare that answers outside -1..1 (a failed locale compare) ends the
// walk with an error instead of stalling or guessing.
TEST_F(FulltextCursor, ListDifferenceRefusesAFailedCompare) {
  docs->AddFieldTokenExtractor(2);
  AddBits();
  Build();
  auto& bits = dynamic_cast<TmvBitArrayTokenIndexCursorEngine&>(*engine->FulltextIndex(0)->TokenIndex(0));
  struct TFailing : TmvWideStringComparerBase {
    int8_t Compare(const TmvWideString& a, const TmvWideString& b) override { return a == b ? 0 : -2; }
  };
  auto failing = mvCreateInterfaced<ImvWideStringComparer, TFailing>();
  TmvWideStringList oldList(failing), newList(failing);
  oldList.Add(u"a");
  newList.Add(u"b");
  TmvTokenLocationInfo info;
  EXPECT_EQ(CodeOf([&] { bits.ProcessListDifference(trans.get(), &oldList, &newList, info, -1); }),
            uint32_t(MVERR_KEYVIOL));
  EXPECT_TRUE(Entries(BitIndex().GetIndexEngine()).empty());
  // The locale compare itself raises for a locale that does not exist.
  TmvWideStringCompareStringWComparer unknown(0x7FFF, 0);
  EXPECT_THROW(unknown.Compare(u"a", u"b"), EmvBaseException);
}

// ---------------------------------------------------------------------------
// Main-index token indexes

TEST_F(FulltextCursor, MainIndexEntriesNotifyAndIgnoreCase) {
  docs->AddFieldTokenExtractor(2);
  AddSeparator();
  auto* main = AddMain(true);
  main->AddLocaleDescriptor()->SetLocale(0x409);
  main->SetIgnoreCase(true);
  cursor.notify = true;
  Build();
  const Bytes first = Record(5, u"Word word x");
  ASSERT_EQ(Update(nullptr, 0, &first, 11), 0u);
  const auto entries = MainEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(std::get<1>(*entries.begin()), 5u);
  EXPECT_EQ(std::get<2>(*entries.begin()), 11u);
  ASSERT_EQ(cursor.notes.size(), 2u);
  EXPECT_EQ(std::get<0>(cursor.notes[0]), 3);
  EXPECT_EQ(std::get<2>(cursor.notes[0]), 11u);
  EXPECT_EQ(std::get<3>(cursor.notes[0]), 5);
  EXPECT_TRUE(std::get<4>(cursor.notes[0]));
  cursor.notes.clear();
  // A modify that keeps word and drops x touches only x.
  const Bytes changed = Record(5, u"WORD");
  ASSERT_EQ(Update(&first, 11, &changed, 11), 0u);
  ASSERT_EQ(cursor.notes.size(), 1u);
  EXPECT_EQ(std::get<1>(cursor.notes[0]), u"x");
  EXPECT_FALSE(std::get<4>(cursor.notes[0]));
  EXPECT_EQ(MainEntries().size(), 1u);
  ASSERT_EQ(Update(&changed, 11, nullptr, 0), 0u);
  EXPECT_TRUE(MainEntries().empty());
  // A token without its entry.
  EXPECT_EQ(CodeOf([&] { Update(&changed, 11, nullptr, 0); }), uint32_t(MVERR_KEYVIOL));
}

// A record the main index's key filter rejects has no entries there, on
// either side of a modify.
TEST_F(FulltextCursor, KeyFilterKeepsRecordsOutOfTheMainIndex) {
  docs->AddFieldTokenExtractor(2);
  AddMain();
  mainKey->SetFilter(new TmvCallbackFilterDescriptor(fields, [](void* aCookie, const void* aRecord) {
    const auto* nr = static_cast<const uint8_t*>(static_cast<TmvFieldsDescriptor*>(aCookie)->GetRecordFieldForFilter(1, aRecord));
    return nr && (nr[0] & 1) != 0;
  }));
  Build();
  const Bytes even = Record(4, u"x");
  const Bytes odd = Record(5, u"x");
  ASSERT_EQ(Update(nullptr, 0, &even, 1), 0u);
  EXPECT_TRUE(MainEntries().empty());
  ASSERT_EQ(Update(nullptr, 0, &odd, 2), 0u);
  EXPECT_EQ(MainEntries().size(), 1u);
  ASSERT_EQ(Update(&odd, 2, &even, 2), 0u);  // now rejected: its entry goes
  EXPECT_TRUE(MainEntries().empty());
  ASSERT_EQ(Update(&even, 1, nullptr, 0), 0u);
  ASSERT_EQ(Update(&even, 2, nullptr, 0), 0u);
}

// ---------------------------------------------------------------------------
// A model

// Random documents inserted, modified and deleted; after every step the bit
// arrays and the main index hold exactly the model's tokens, and at the end
// nothing is left.
TEST_F(FulltextCursor, RandomDocumentsMatchTheModel) {
  docs->AddFieldTokenExtractor(2);
  AddSeparator();
  auto* bits = AddBits();
  bits->SetSegmentIndex(true);
  AddMain();
  Build();
  std::mt19937 random(46);
  const char16_t* words[] = {u"red", u"green", u"blue", u"cyan", u"gold", u"pink"};
  struct TDoc {
    uint32_t location;
    TmvWideString text;
    Bytes record;
  };
  std::map<TmvRefNr, TDoc> model;
  TmvRefNr nextRef = 1;
  auto makeText = [&] {
    TmvWideString text;
    const int count = int(random() % 5);
    for (int i = 0; i < count; ++i) text += TmvWideString(words[random() % 6]) + u" ";
    return text;
  };
  auto check = [&] {
    std::map<TmvWideString, std::set<uint32_t>> want;
    std::set<std::tuple<TmvWideString, uint32_t, TmvRefNr>> wantMain;
    for (const auto& [ref, doc] : model)
      for (const char16_t* w : words)
        if ((u" " + doc.text).find(TmvWideString(u" ") + w + u" ") != TmvWideString::npos) {
          want[w].insert(doc.location);
          wantMain.emplace(w, 0, ref);
        }
    std::map<TmvWideString, std::set<uint32_t>> got;
    std::map<TmvWideString, std::set<uint32_t>> segments;
    for (const auto& [entry, blob] : Entries(BitIndex().GetIndexEngine())) {
      const Bytes bytes = BlobBytes(blob);
      ASSERT_GE(bytes.size(), 5u);
      uint32_t count = 0;
      for (uint32_t b = 0; b < (bytes.size() - 4) * 8; ++b)
        if (bytes[4 + b / 8] & (1u << (b % 8))) {
          ++count;
          if (entry.segment == 0xFFFF)
            segments[entry.token].insert(b);
          else
            got[entry.token].insert(uint32_t(entry.segment) << 19 | b);
        }
      EXPECT_EQ(count, mvGetU32(bytes.data(), 0));
    }
    EXPECT_EQ(got, want);
    for (const auto& [token, locations] : want) {
      std::set<uint32_t> wantSegments;
      for (uint32_t l : locations) wantSegments.insert(l >> 19);
      EXPECT_EQ(segments[token], wantSegments) << UTF8Encode(token);
    }
    EXPECT_EQ(MainEntries(), wantMain);
  };
  std::set<uint32_t> usedLocations;
  auto freshLocation = [&] {
    uint32_t l;
    do l = random() % 2 ? random() % 40 : 524288 + random() % 40;
    while (!usedLocations.insert(l).second);
    return l;
  };
  for (int step = 0; step < 60; ++step) {
    const int action = model.empty() ? 0 : int(random() % 3);
    if (action == 0) {
      TDoc doc{freshLocation(), makeText(), {}};
      doc.record = Record(doc.location, doc.text);
      ASSERT_EQ(Update(nullptr, 0, &doc.record, nextRef), 0u);
      model[nextRef++] = std::move(doc);
    } else {
      auto it = std::next(model.begin(), random() % model.size());
      if (action == 1) {
        TDoc doc{random() % 2 ? it->second.location : freshLocation(), makeText(), {}};
        doc.record = Record(doc.location, doc.text);
        ASSERT_EQ(Update(&it->second.record, it->first, &doc.record, it->first), 0u);
        if (doc.location != it->second.location) usedLocations.erase(it->second.location);
        it->second = std::move(doc);
      } else {
        ASSERT_EQ(Update(&it->second.record, it->first, nullptr, 0), 0u);
        usedLocations.erase(it->second.location);
        model.erase(it);
      }
    }
    check();
    if (HasFatalFailure()) return;
  }
  for (auto& [ref, doc] : model) ASSERT_EQ(Update(&doc.record, ref, nullptr, 0), 0u);
  model.clear();
  check();
  EXPECT_TRUE(Entries(BitIndex().GetIndexEngine()).empty());
  EXPECT_TRUE(MainEntries().empty());
}

// A flipped byte in a bit array gives 9729 or a clear error, never a crash.
TEST_F(FulltextCursor, DamagedBitArraysGiveClearErrors) {
  docs->AddFieldTokenExtractor(2);
  AddBits();
  Build();
  const Bytes record = Record(13, u"tok");
  ASSERT_EQ(Update(nullptr, 0, &record, 1), 0u);
  const TmvRefNr blob = Entries(BitIndex().GetIndexEngine()).begin()->second;
  const Bytes good = BlobBytes(blob);
  for (size_t at = 0; at < good.size(); ++at)
    for (uint8_t flip : {uint8_t(0x01), uint8_t(0xFF)}) {
      trans->StartNested(true);
      Bytes bad = good;
      bad[at] ^= flip;
      table->GetBlobEngine()->Write(trans.get(), blob, 0, uint32_t(bad.size()), bad.data());
      const uint32_t code = CodeOf([&] { Update(&record, 1, nullptr, 0); });
      EXPECT_TRUE(code == 0 || code == uint32_t(MVERR_KEYVIOL)) << at << " " << code;
      trans->Rollback();
    }
}

}  // namespace
