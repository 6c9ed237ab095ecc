// Tests of the token key engines: the key bytes of both kinds, long tokens
// and surrogate pairs, reversed tokens, the order of keys (segment, token,
// field; the locale compare and its failure; partial lengths; locations
// never compared), the key fields, and the refusals.
#include "index/mvsdKeyEngineToken.h"

#include <gtest/gtest.h>

#include <memory>

#include "dictionary/fulltext/mvsdTokenIndexDescriptors.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "index/mvixUnits.h"

namespace {

using Bytes = std::vector<uint8_t>;

class TokenKeys : public ::testing::Test {
 protected:
  void SetUp() override { mvIndexInit(); }
  void TearDown() override {
    engine.reset();
    bitArray.reset();
    mainIndex.reset();
    mvIndexFini();
  }

  TmvBitArrayTokenKeyEngine& BitArray(bool aPerField = false, bool aReverse = false, LCID aLocale = 0) {
    bitArray = std::make_unique<TmvBitArrayTokenKeyDescriptor>(nullptr);
    bitArray->SetPerFieldIndex(aPerField);
    bitArray->SetReverse(aReverse);
    bitArray->SetLocale(aLocale);
    engine.reset(TmvBaseKeyEngine::CreateFor(bitArray.get()));  // found in the registry
    return dynamic_cast<TmvBitArrayTokenKeyEngine&>(*engine);
  }
  TmvMainIndexTokenKeyEngine& MainIndex(bool aIncludeLocation = false, LCID aLocale = 0) {
    mainIndex = std::make_unique<TmvMainIndexTokenKeyDescriptor>(nullptr);
    mainIndex->SetIncludeLocation(aIncludeLocation);
    mainIndex->SetLocale(aLocale);
    mainIndex->SetFlags(aLocale ? NORM_IGNORECASE : 0);
    engine.reset(TmvBaseKeyEngine::CreateFor(mainIndex.get()));
    return dynamic_cast<TmvMainIndexTokenKeyEngine&>(*engine);
  }
  Bytes Key() const { return Bytes(engine->bkeKeyLength, 0xEE); }
  Bytes BitKey(uint16_t aSegment, const TmvWideString& aToken, int16_t aField = -1) {
    Bytes key = Key();
    static_cast<TmvBitArrayTokenKeyEngine&>(*engine).InternalBuildKey(aSegment, aToken, key.data(), aField);
    return key;
  }
  Bytes MainKey(const TmvWideString& aToken, uint32_t aLocation = 0) {
    Bytes key = Key();
    static_cast<TmvMainIndexTokenKeyEngine&>(*engine).InternalBuildKey(aToken, aLocation, key.data());
    return key;
  }
  static TmvWideString Units(const Bytes& aKey, size_t aOffset, size_t aCount) {
    TmvWideString out;
    for (size_t i = 0; i < aCount; ++i) out += char16_t(aKey[aOffset + 2 * i] | aKey[aOffset + 2 * i + 1] << 8);
    return out;
  }
  int Compare(const Bytes& a, const Bytes& b, int32_t aPartialLen = 0) {
    return engine->CompareKey(a.data(), b.data(), 0, aPartialLen);
  }

  std::unique_ptr<TmvBitArrayTokenKeyDescriptor> bitArray;
  std::unique_ptr<TmvMainIndexTokenKeyDescriptor> mainIndex;
  std::unique_ptr<TmvBaseKeyEngine> engine;
};

TEST_F(TokenKeys, BitArrayKeyBytes) {
  BitArray();
  EXPECT_EQ(engine->bkeKeyLength, 44);
  const Bytes key = BitKey(0x0102, u"ab");
  EXPECT_EQ(Bytes(key.begin(), key.begin() + 8), (Bytes{0x02, 0x01, 2, 0, 'a', 0, 'b', 0}));
  EXPECT_EQ(key[8], 0xEE);  // the units after the token are left alone

  BitArray(true);
  EXPECT_EQ(engine->bkeKeyLength, 46);
  const Bytes field = BitKey(0, u"x", -2);
  EXPECT_EQ(field[44], 0xFE);
  EXPECT_EQ(field[45], 0xFF);
}

TEST_F(TokenKeys, MainIndexKeyBytes) {
  MainIndex();
  EXPECT_EQ(engine->bkeKeyLength, 42);
  Bytes key = MainKey(u"ab", 7);
  EXPECT_EQ(Bytes(key.begin(), key.begin() + 6), (Bytes{2, 0, 'a', 0, 'b', 0}));
  MainIndex(true);
  EXPECT_EQ(engine->bkeKeyLength, 46);
  key = MainKey(u"ab", 0x01020304);
  EXPECT_EQ(Bytes(key.end() - 4, key.end()), (Bytes{4, 3, 2, 1}));
  EXPECT_EQ(engine->KeyAsVariant(key.data(), 1).AsInt64(), 0x01020304);
}

TEST_F(TokenKeys, LongTokensKeepWholeCodePoints) {
  BitArray();
  const TmvWideString longToken(25, u'q');
  Bytes key = BitKey(0, longToken);
  EXPECT_EQ(key[2], 20);
  TmvWideString split(19, u'q');
  split += u"\xD83D\xDE00";  // the pair would straddle unit 20
  key = BitKey(0, split);
  EXPECT_EQ(key[2], 19);
  MainIndex();
  key = MainKey(split);
  EXPECT_EQ(key[0], 19);
}

TEST_F(TokenKeys, ReversedTokensKeepSurrogatePairs) {
  BitArray(false, true);
  Bytes key = BitKey(0, u"abc");
  EXPECT_EQ(Units(key, 4, 3), u"cba");
  key = BitKey(0, u"a\xD83D\xDE00" u"b");
  EXPECT_EQ(Units(key, 4, 4), u"b\xD83D\xDE00" u"a");
}

TEST_F(TokenKeys, BitArrayOrderSegmentTokenField) {
  BitArray(true);
  EXPECT_EQ(Compare(BitKey(1, u"a"), BitKey(2, u"a")), -1);
  EXPECT_EQ(Compare(BitKey(0xFFFF, u"a"), BitKey(2, u"z")), 1);  // segments unsigned
  EXPECT_EQ(Compare(BitKey(1, u""), BitKey(1, u"a")), -1);       // the empty token first
  EXPECT_EQ(Compare(BitKey(1, u""), BitKey(1, u"")), 0);
  EXPECT_EQ(Compare(BitKey(1, u"\u0100"), BitKey(1, u"\u00FF")), -1);  // bytes, little-endian
  EXPECT_EQ(Compare(BitKey(1, u"ab"), BitKey(1, u"abc")), -1);
  EXPECT_EQ(Compare(BitKey(1, u"a", -1), BitKey(1, u"a", 2)), -1);
  EXPECT_EQ(Compare(BitKey(1, u"a", 3), BitKey(1, u"a", 3)), 0);
}

TEST_F(TokenKeys, LocaleOrderAndAnUnknownLocaleRaises) {
  BitArray(false, false, 0x409);
  EXPECT_EQ(Compare(BitKey(0, u"b"), BitKey(0, u"C")), -1);  // linguistic, not by bytes
  BitArray(false, false, 0x7777);
  EXPECT_EQ(Compare(BitKey(0, u""), BitKey(0, u"")), 0);  // never reaches the platform
  try {
    Compare(BitKey(0, u"a"), BitKey(0, u"b"));
    ADD_FAILURE() << "an unknown locale must not compare";
  } catch (const EmvBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), uint32_t(MVERR_OSUNKNOWN));
  }
  MainIndex(false, 0x409);
  EXPECT_EQ(Compare(MainKey(u"ABC"), MainKey(u"abc")), 0);  // ignoring case
}

TEST_F(TokenKeys, MainIndexComparesTokensOnly) {
  MainIndex(true);
  EXPECT_EQ(Compare(MainKey(u"abcd"), MainKey(u"abcx"), 3), 0);
  EXPECT_EQ(Compare(MainKey(u"abcd"), MainKey(u"abcx")), -1);
  EXPECT_EQ(Compare(MainKey(u"abc", 1), MainKey(u"abc", 2)), 0);
  EXPECT_EQ(Compare(MainKey(u""), MainKey(u"a")), -1);
}

TEST_F(TokenKeys, BuildKeyIsNotTheirs) {
  MainIndex();
  Bytes key = Key();
  EXPECT_EQ(engine->BuildKey(key.data(), key.data(), 1, false), 1u);
  BitArray();
  EXPECT_EQ(engine->BuildKey(key.data(), key.data(), 1, false), uint32_t(MVERR_NOTSUPPORTED));
  uint32_t code = 0;
  String text;
  EmvBaseException::GetLastConvertedException(code, text);
  EXPECT_EQ(code, uint32_t(MVERR_NOTSUPPORTED));
  EXPECT_EQ(text, u"BuildKey is not supported by TmvBitArrayTokenKeyEngine");
}

TEST_F(TokenKeys, KeyValuesAsVariants) {
  BitArray(true);
  Bytes key = BitKey(5, u"tok", 3);
  Variant all = engine->KeyAsVariant(key.data(), -1);
  ASSERT_TRUE(all.IsVariantArray());
  ASSERT_EQ(all.ArrayCount(), 3u);
  EXPECT_EQ(all.ArrayItem(0).VarType(), varWord);
  EXPECT_EQ(all.ArrayItem(1).AsString(), u"tok");
  EXPECT_EQ(all.ArrayItem(2).VarType(), varSmallint);
  EXPECT_EQ(engine->KeyAsString(key.data()), u"5, 'tok', 3");
  EXPECT_TRUE(engine->KeyAsVariant(BitKey(5, u"").data(), 1).IsEmpty());
  for (int32_t bad : {-2, 3}) {
    try {
      engine->KeyAsVariant(key.data(), bad);
      ADD_FAILURE() << bad;
    } catch (const EmvBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), uint32_t(MVERR_INVALIDDESCNO));
      EXPECT_EQ(e.ErrorString(), u"Invalid descriptor number.");
    }
  }
  MainIndex();
  EXPECT_THROW(engine->KeyAsVariant(key.data(), 1), EmvBaseException);
  EXPECT_TRUE(engine->KeyAsVariant(nullptr, 0).IsEmpty());
}

TEST_F(TokenKeys, MainIndexKeyFields) {
  auto& main = MainIndex(true, 0x411);
  EXPECT_EQ(main.GetFieldFromName(u"token"), 0);
  EXPECT_EQ(main.GetFieldFromName(u"LOCATION"), 1);
  EXPECT_EQ(main.GetFieldFromName(u"other"), -1);
  EXPECT_FALSE(main.SupportsReindex());
  ImvFieldDescriptor* token = main.GetFieldDescriptor(0);
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(token->GetFieldType(), mvtWideString);
  EXPECT_EQ(token->GetUnits(), 20);
  ASSERT_NE(token->GetUsedLocaleDescriptor(), nullptr);
  EXPECT_EQ(token->GetUsedLocaleDescriptor()->GetLocale(), 0x411u);
  EXPECT_EQ(main.GetFieldDescriptor(1)->GetFieldType(), mvtAutoInc);
  EXPECT_EQ(main.GetFieldDescriptor(2), nullptr);

  const Bytes key = MainKey(u"ab", 9);
  TmvFieldType type;
  uint16_t size = 0, codePage = 1;
  bool isNull = true;
  const void* value = nullptr;
  ASSERT_TRUE(main.GetFieldForFilter(0, u"", key.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(size, 2);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(value, key.data() + 2);
  ASSERT_TRUE(main.GetFieldForFilter(0, u"Location", key.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(type, mvtAutoInc);
  EXPECT_EQ(value, key.data() + key.size() - 4);
  ASSERT_TRUE(main.GetFieldForFilter(0, u"", nullptr, type, size, isNull, value, codePage));
  EXPECT_TRUE(isNull);
  EXPECT_FALSE(main.GetFieldForFilter(2, u"", key.data(), type, size, isNull, value, codePage));
}

TEST_F(TokenKeys, OtherDescriptorsAreRefused) {
  TmvMainIndexTokenKeyDescriptor other(nullptr);
  EXPECT_THROW(TmvBitArrayTokenKeyEngine::CheckValidBase(&other), EInvalidCast);
  EXPECT_NO_THROW(TmvMainIndexTokenKeyEngine::CheckValidBase(&other));
  EXPECT_NO_THROW(TmvBaseKeyEngine::CheckValidBaseFromDescriptor(&other));
}

}  // namespace
