// Tests of the fixed-size key engines: RefNr keys in signed order, Int64
// keys from the front of a buffer, the BLOB-cache key's layout and its
// comparison by field count, their fields as filters see them, and a key
// pool large enough for a descriptor that states a shorter key.
#include "index/mvsdKeyEngineFixed.h"

#include <memory>

#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "foundation/errors/mvllErrors.h"
#include "index/IndexTestSupport.h"

namespace {

using namespace index_test;

using FixedKeyEngine = IndexTest;

std::vector<uint8_t> Bytes64(int64_t aValue) {
  std::vector<uint8_t> b(8);
  mvPutU64(b.data(), 0, uint64_t(aValue));
  return b;
}

TEST_F(FixedKeyEngine, RefNrKeysAreTheReferenceInSignedOrder) {
  TmvRefKeyDescriptor descriptor(nullptr);
  std::unique_ptr<TmvBaseKeyEngine> engine(TmvBaseKeyEngine::CreateFor(&descriptor));
  ASSERT_EQ(&engine->ClassType(), &TmvRefKeyEngine::StaticClass);
  std::vector<uint8_t> high(8), zero(8);
  ASSERT_EQ(engine->BuildKey(nullptr, high.data(), TmvRefNr(int64_t(0xFFFFFFFF00000000ull)), false), 0u);
  ASSERT_EQ(engine->BuildKey(nullptr, zero.data(), 0, false), 0u);
  EXPECT_EQ(high, Bytes64(int64_t(0xFFFFFFFF00000000ull)));
  EXPECT_EQ(engine->CompareKey(high.data(), zero.data()), -1);
  EXPECT_EQ(engine->CompareKey(zero.data(), high.data(), 5, 5), 1);  // count and length do not matter
  EXPECT_EQ(engine->CompareRecord(nullptr, 3, nullptr, -3), 1);
  EXPECT_EQ(engine->CompareKeyToRecord(zero.data(), nullptr, 0), 0);
  EXPECT_EQ(engine->KeyAsVariant(zero.data(), 0).AsInt64(), 0);
  EXPECT_EQ(Raised([&] { engine->KeyAsVariant(zero.data(), 1); }), MVERR_INVALIDDESCNO);
  EXPECT_FALSE(engine->KeyContainsNulls(zero.data()));
  EXPECT_EQ(engine->GetFieldFromName(u"refnr"), 0);
  EXPECT_EQ(engine->GetFieldDescriptor(0)->GetName(), u"RefNr");
  TmvFieldType type;
  uint16_t size = 9, codePage = 9;
  bool isNull = false;
  const void* value = nullptr;
  EXPECT_FALSE(engine->GetFieldForFilter(0, u"Other", high.data(), type, size, isNull, value, codePage));
  ASSERT_TRUE(engine->GetFieldForFilter(0, u"", high.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(type, mvtInt64);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(codePage, 0);
  EXPECT_EQ(value, high.data());
  ASSERT_TRUE(engine->GetFieldForFilter(0, u"", nullptr, type, size, isNull, value, codePage));
  EXPECT_TRUE(isNull);
  // Another descriptor class is refused by the class check.
  TmvInt64KeyDescriptor other(nullptr);
  EXPECT_THROW(TmvRefKeyEngine::CheckValidBase(&other), EInvalidCast);
}

TEST_F(FixedKeyEngine, Int64KeysComeFromTheFrontOfTheBuffer) {
  TmvInt64KeyDescriptor descriptor(nullptr);
  std::unique_ptr<TmvBaseKeyEngine> engine(TmvBaseKeyEngine::CreateFor(&descriptor));
  ASSERT_EQ(&engine->ClassType(), &TmvInt64KeyEngine::StaticClass);
  std::vector<uint8_t> source = Bytes64(-5), key(8);
  source.resize(16, 0x77);
  ASSERT_EQ(engine->BuildKey(source.data(), key.data(), 99, false), 0u);
  EXPECT_EQ(key, Bytes64(-5));
  const std::vector<uint8_t> four = Bytes64(4);
  EXPECT_EQ(engine->CompareKeyToRecord(key.data(), four.data(), 0), -1);
  EXPECT_EQ(engine->CompareRecord(four.data(), 0, source.data(), 0), 1);
  EXPECT_EQ(engine->GetFieldDescriptor(0)->GetName(), u"Int64");
}

TEST_F(FixedKeyEngine, BlobCacheKeysCompareByFieldCount) {
  TmvBlobCacheKeyDescriptor descriptor(nullptr);
  std::unique_ptr<TmvBaseKeyEngine> engine(TmvBaseKeyEngine::CreateFor(&descriptor));
  ASSERT_EQ(&engine->ClassType(), &TmvBlobCacheKeyEngine::StaticClass);
  EXPECT_EQ(engine->bkeKeyLength, 28);
  auto key = [](int64_t aBlob, int32_t aField, int64_t aRef, int64_t aLSN) {
    std::vector<uint8_t> k(28);
    mvPutU64(k.data(), 0, uint64_t(aBlob));
    mvPutU32(k.data(), 8, uint32_t(aField));
    mvPutU64(k.data(), 12, uint64_t(aRef));
    mvPutU64(k.data(), 20, uint64_t(aLSN));
    return k;
  };
  const auto a = key(7, -2, 100, 5), b = key(7, -2, 101, 1);
  std::vector<uint8_t> built(28);
  ASSERT_EQ(engine->BuildKey(a.data(), built.data(), 0, false), 0u);
  EXPECT_EQ(built, a);
  EXPECT_EQ(engine->CompareKey(a.data(), b.data(), 2, 0), 0);  // RefNr and LSN ignored
  EXPECT_EQ(engine->CompareKey(a.data(), b.data(), 3, 0), -1);
  EXPECT_EQ(engine->CompareKey(a.data(), b.data()), -1);
  EXPECT_EQ(engine->CompareKey(key(7, -2, 100, 6).data(), a.data(), 0, 0), 1);
  EXPECT_EQ(engine->CompareKey(key(7, -3, 999, 9).data(), a.data(), 2, 0), -1);
  EXPECT_EQ(engine->CompareRecord(a.data(), 0, b.data(), 0, 2, 0), 0);
  EXPECT_EQ(engine->KeyAsVariant(a.data(), 3).AsInt64(), 5);
  EXPECT_EQ(VarType(engine->KeyAsVariant(a.data(), 1)), varInteger);
  EXPECT_EQ(engine->KeyAsVariant(a.data(), 1).AsInteger(), -2);
  EXPECT_EQ(Raised([&] { engine->KeyAsVariant(a.data(), 4); }), MVERR_INVALIDDESCNO);
  EXPECT_TRUE(engine->KeyAsVariant(nullptr, 0).IsNull());
  EXPECT_EQ(engine->KeyAsString(a.data()), u"7, -2, 100, 5");
  EXPECT_EQ(engine->GetFieldDescriptor(3)->GetName(), u"InserLSN");
  EXPECT_EQ(engine->GetFieldFromName(u"INSERLSN"), 3);
  TmvFieldType type;
  uint16_t size, codePage;
  bool isNull;
  const void* value;
  ASSERT_TRUE(engine->GetFieldForFilter(-1, u"FieldNo", a.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(type, mvtInt32);
  EXPECT_EQ(value, a.data() + 8);
  EXPECT_FALSE(engine->GetFieldForFilter(4, u"", a.data(), type, size, isNull, value, codePage));
}

// A RefNr key whose descriptor states fewer bytes than the engine's keys
// take: the pool's items must still hold a whole key (the sanitizers watch
// the write of all 8 bytes).
class TShortRefKeyDescriptor : public TmvRefKeyDescriptor {
 public:
  using TmvRefKeyDescriptor::TmvRefKeyDescriptor;
  int32_t GetKeyLen() override { return 2; }
};

TEST_F(FixedKeyEngine, TheKeyPoolHoldsTheEngineLengthWhenTheDescriptorStatesLess) {
  TShortRefKeyDescriptor descriptor(nullptr);
  TmvRefKeyEngine engine(&descriptor);
  EXPECT_EQ(engine.bkeKeyLength, 8);
  void* key = engine.AllocKey();
  ASSERT_EQ(engine.BuildKey(nullptr, key, -1, true), 0u);
  EXPECT_EQ(engine.KeyAsVariant(key, -1).AsInt64(), -1);
  engine.FreeKey(key);
}

}  // namespace
