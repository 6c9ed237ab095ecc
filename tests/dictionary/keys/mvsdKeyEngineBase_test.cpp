// Tests of the abstract key engine through a small test double: finding the
// engine class of a key descriptor by name, the class-level check, key
// buffers from the pool, and the refusals.
#include "dictionary/keys/mvsdKeyEngineBase.h"

#include <gtest/gtest.h>

#include <cstring>

#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdTestSupport.h"
#include "foundation/errors/mvllExceptionData.h"

using namespace mvtest;

namespace {

// The key of a record reference, stored big-endian so that bytes order as
// numbers. It refuses descriptors that carry a filter.
class TTestRefKeyEngine : public TmvBaseKeyEngine {
  MV_DECLARE_CLASSREF(TmvKeyEngineClassRef)
 public:
  using TmvBaseKeyEngine::TmvBaseKeyEngine;
  static void CheckDescriptor(TmvBaseKeyDescriptor* aDescriptor) {
    if (aDescriptor->GetFilter()) throw EmvBaseKeyEngineException(10004, String(u"no filters"));
  }
  void ClearKey(void* aKey) override { std::memset(aKey, 0, bkeKeyLength); }
  uint32_t BuildKey(const void*, void* aKey, TmvRefNr aRefNr, bool) override {
    auto* bytes = static_cast<uint8_t*>(aKey);
    for (int i = 7; i >= 0; --i, aRefNr >>= 8) bytes[i] = uint8_t(aRefNr);
    return 0;
  }
  int8_t CompareKey(const void* a, const void* b, int32_t, int32_t) override {
    const int c = std::memcmp(a, b, bkeKeyLength);
    return int8_t(c < 0 ? -1 : c > 0 ? 1 : 0);
  }
  String KeyAsString(const void* aKey) override { return mvInt64ToStr(int64_t(Value(aKey))); }
  Variant KeyAsVariant(const void* aKey, int32_t) override { return Variant(int64_t(Value(aKey))); }
  void KeyAsExceptionData(const void* aKey, ImvExceptionDataContainer* aData) override {
    aData->AddInteger(u"RefNr", int64_t(Value(aKey)));
  }
  int32_t GetMaxFieldCount() override { return 1; }

 private:
  uint64_t Value(const void* aKey) const {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | static_cast<const uint8_t*>(aKey)[i];
    return v;
  }
};
constinit const TmvKeyEngineClassRef TTestRefKeyEngine::StaticClass{
    {{u"TmvRefKeyEngine", &TmvBaseKeyEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr},
    &mvCreateKeyEngine<TTestRefKeyEngine>,
    &TTestRefKeyEngine::CheckDescriptor};

// An engine class registered without a constructor.
const TmvKeyEngineClassRef kAbstractInt64Engine{
    {{u"TmvInt64KeyEngine", &TmvBaseKeyEngine::StaticClass}, &TmvBaseKeyEngine::Registry, nullptr}, nullptr, nullptr};

class KeyEngine : public DictionaryTest {
 protected:
  void SetUp() override { TmvBaseRegisterableEngine::RegisterEngine(TTestRefKeyEngine::StaticClass); }
  void TearDown() override { TmvBaseRegisterableEngine::UnregisterEngine(TTestRefKeyEngine::StaticClass); }
};

TEST_F(KeyEngine, CreatedForItsDescriptorByName) {
  TmvRefKeyDescriptor descriptor(nullptr);
  std::unique_ptr<TmvBaseKeyEngine> engine(TmvBaseKeyEngine::CreateFor(&descriptor));
  ASSERT_EQ(&engine->ClassType(), &TTestRefKeyEngine::StaticClass);
  EXPECT_EQ(engine->GetKeyDescriptor(), &descriptor);
  EXPECT_EQ(engine->bkeKeyLength, 8);
  EXPECT_FALSE(engine->bkeNLSVersionChanged);

  void* low = engine->AllocKey();
  void* high = engine->AllocKey();
  EXPECT_EQ(std::memcmp(low, "\0\0\0\0\0\0\0\0", 8), 0);  // a new key is cleared
  EXPECT_EQ(engine->BuildKey(nullptr, low, 0x1FF, false), 0u);
  EXPECT_EQ(engine->BuildKey(nullptr, high, 0x200, false), 0u);
  EXPECT_EQ(engine->CompareKey(low, high), -1);
  EXPECT_EQ(engine->KeyAsString(high), u"512");
  engine->CopyKey(high, low);
  EXPECT_EQ(engine->CompareKey(low, high), 0);
  engine->FreeKey(low);
  engine->FreeKey(high);
  EXPECT_EQ(low, nullptr);
  TmvBaseKeyEngine::CheckValidBaseFromDescriptor(&descriptor);
}

TEST_F(KeyEngine, Refusals) {
  String message;
  TmvInt64KeyDescriptor int64(nullptr);
  EXPECT_EQ(RaisedCode([&] { TmvBaseKeyEngine::CreateFor(&int64); }, &message), 15503u);
  EXPECT_EQ(message, u"Unknown Key engine: \"TmvInt64KeyEngine\"");
  EXPECT_EQ(RaisedCode([&] { TmvBaseKeyEngine::CheckValidBaseFromDescriptor(&int64); }), 15503u);
  TmvBaseRegisterableEngine::RegisterEngine(kAbstractInt64Engine);
  EXPECT_EQ(RaisedCode([&] { TmvBaseKeyEngine::CreateFor(&int64); }), 15503u);
  TmvBaseKeyEngine::CheckValidBaseFromDescriptor(&int64);  // no check of its own: accepted
  TmvBaseRegisterableEngine::UnregisterEngine(kAbstractInt64Engine);

  // The engine class judges the descriptor.
  StandInClasses standIns;
  TmvRefKeyDescriptor filtered(nullptr);
  filtered.SetFilter(new TTestFilter("x"));
  EXPECT_EQ(RaisedCode([&] { TmvBaseKeyEngine::CheckValidBaseFromDescriptor(&filtered); }, &message), 10004u);
  EXPECT_EQ(message, u"no filters");

  // A key longer than a key buffer can be (a field may stand in it twice).
  TTestTable t;
  t.Field(u"Long", mvtWideString, 20000);
  TmvCompKeyDescriptor& key = t.Key({0, 0});
  EXPECT_EQ(key.GetKeyLen(), 80005);
  EXPECT_EQ(RaisedCode([&] { TTestRefKeyEngine engine(&key); }), 10004u);
}

}  // namespace
