// Tests of the composite key engines: the key format (bitmap, segments, a
// new key), the null order, the build rules of nulls and key filters, the
// comparison by field count and partial length, and the text, variant and
// field-source views of a key; the base's class lookup and refusals.
#include "index/mvsdKeyEngineComp.h"

#include <memory>

#include "dictionary/filters/mvsdFilterDescriptor.h"
#include "dictionary/filters/mvsdFilterEngine.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "index/IndexTestSupport.h"

namespace {

using namespace index_test;

// A key descriptor class of its own, which no engine serves.
class TXDescriptor : public TmvRefKeyDescriptor {
  MV_DECLARE_CLASSREF(TmvDictionaryItemClassRef)
 public:
  using TmvRefKeyDescriptor::TmvRefKeyDescriptor;
};
constinit const TmvDictionaryItemClassRef TXDescriptor::StaticClass{
    {{u"TmvXDescriptor", &TmvRefKeyDescriptor::StaticClass}, &mvNoRegistry, nullptr}, nullptr};

class CompKeyEngine : public IndexTest {
 protected:
  // A key of the given fields of t's table (no index engine needed).
  TmvCompKeyDescriptor* KeyOn(TIndexTable& t, std::initializer_list<const char16_t*> aFields,
                              TmvIndexDups aDups = idNone) {
    TmvIndexDescriptor* index =
        t.AddIndex(u"I" + mvIntToStr(t.dd->GetIndicesDescriptor()->IndexCount()), aFields, aDups);
    return static_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor());
  }
  static std::unique_ptr<TmvBaseKeyEngine> Engine(TmvBaseKeyDescriptor* aKey) {
    return std::unique_ptr<TmvBaseKeyEngine>(TmvBaseKeyEngine::CreateFor(aKey));
  }
  static std::vector<uint8_t> Build(TmvBaseKeyEngine& aEngine, const std::vector<uint8_t>& aRecord,
                                    bool aIgnoreFilter = true, uint32_t* aResult = nullptr) {
    std::vector<uint8_t> key(aEngine.bkeKeyLength, 0xCC);
    const uint32_t result = aEngine.BuildKey(aRecord.data(), key.data(), 0, aIgnoreFilter);
    if (aResult) *aResult = result;
    return key;
  }
};

TEST_F(CompKeyEngine, NineFieldsTakeTwoBitmapBytesAndANewKeyIsAllNull) {
  TIndexTable t;
  for (int i = 3; i < 9; ++i) t.dd->GetFieldsDescriptor()->AddField(u"F" + mvIntToStr(i), u"", mvtInt32, 0, 0, false);
  TmvCompKeyDescriptor* key = KeyOn(t, {u"K", u"N", u"F3", u"F4", u"F5", u"F6", u"F7", u"F8", u"S"});
  auto engine = Engine(key);
  ASSERT_EQ(&engine->ClassType(), &TmvCompKeyEngine::StaticClass);
  // Two bitmap bytes, then 8 Int32 segments and the ShortString's 21 bytes.
  EXPECT_EQ(engine->bkeKeyLength, 2 + 8 * 4 + 21);
  EXPECT_EQ(engine->GetKeyFieldOffset(0), 2);
  EXPECT_EQ(engine->GetKeyFieldOffset(8), 34);
  EXPECT_EQ(engine->GetFieldsOffset(), 2);
  void* fresh = engine->AllocKey();
  const auto* bytes = static_cast<const uint8_t*>(fresh);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xFF);
  for (int i = 2; i < engine->bkeKeyLength; ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_TRUE(engine->KeyContainsNulls(fresh));
  engine->FreeKey(fresh);

  // Only field 8 (S) set: bit 0 of byte 1 clear, every other bit set.
  std::vector<uint8_t> record = t.Record(std::nullopt);
  const uint8_t text[21] = {2, 'h', 'i'};
  t.dd->GetFieldsDescriptor()->SetRecordField(2, record.data(), text);
  std::vector<uint8_t> built = Build(*engine, record);
  EXPECT_EQ(built[0], 0xFF);
  EXPECT_EQ(built[1], 0xFE);
  EXPECT_EQ(built[34], 2);
  EXPECT_EQ(built[35], 'h');
  for (int i = 2; i < 34; ++i) ASSERT_EQ(built[i], 0) << i;  // null segments keep zero bytes
}

TEST_F(CompKeyEngine, NullsSortFirstOrLastAndTwoNullsCompareOn) {
  TIndexTable t;
  TmvCompKeyDescriptor* top = KeyOn(t, {u"K", u"N"});
  TmvCompKeyDescriptor* bottom = KeyOn(t, {u"K", u"N"});
  bottom->KeyFields(0)->SetNullBehaviour(nbBottom);
  auto first = Engine(top), last = Engine(bottom);
  const auto nullK1 = t.Record(std::nullopt, 1), nullK2 = t.Record(std::nullopt, 2), k5 = t.Record(5, 1);
  for (auto* engine : {first.get(), last.get()}) {
    const int8_t nullFirst = engine == first.get() ? -1 : 1;
    EXPECT_EQ(engine->CompareKey(Build(*engine, nullK1).data(), Build(*engine, k5).data()), nullFirst);
    EXPECT_EQ(engine->CompareKey(Build(*engine, k5).data(), Build(*engine, nullK1).data()), -nullFirst);
    // Null equals null, and the next field decides.
    EXPECT_EQ(engine->CompareKey(Build(*engine, nullK1).data(), Build(*engine, nullK2).data()), -1);
    EXPECT_EQ(engine->CompareKey(Build(*engine, nullK2).data(), Build(*engine, nullK2).data()), 0);
    // The record forms follow the same order, reading records in place.
    EXPECT_EQ(engine->CompareKeyToRecord(Build(*engine, nullK1).data(), k5.data(), 0), nullFirst);
    EXPECT_EQ(engine->CompareRecord(nullK2.data(), nullK1.data()), 1);
    EXPECT_EQ(engine->CompareRecord(k5.data(), nullK1.data()), -nullFirst);
  }
}

TEST_F(CompKeyEngine, NullRulesAndTheKeyFilterKeepRecordsOutUnlessIgnored) {
  TIndexTable t;
  TmvCompKeyDescriptor* filterNull = KeyOn(t, {u"K"});
  filterNull->KeyFields(0)->SetNullBehaviour(nbFilterNull);
  TmvCompKeyDescriptor* filterNonNull = KeyOn(t, {u"K"});
  filterNonNull->KeyFields(0)->SetNullBehaviour(nbFilterNonNull);
  TmvCompKeyDescriptor* filtered = KeyOn(t, {u"K"});
  // Records with an odd K only.
  filtered->SetFilter(new TmvCallbackFilterDescriptor(nullptr, [](void*, const void* aRecord) {
    int32_t k;
    std::memcpy(&k, aRecord, 4);
    return k % 2 != 0;
  }));
  auto nullRule = Engine(filterNull), nonNullRule = Engine(filterNonNull), withFilter = Engine(filtered);
  ASSERT_NE(withFilter->GetFilter(), nullptr);
  EXPECT_TRUE(withFilter->GetFilter()->GetActive());
  struct Case {
    TmvBaseKeyEngine* engine;
    std::vector<uint8_t> record;
    uint32_t stored;
  } cases[] = {{nullRule.get(), t.Record(std::nullopt), 1}, {nullRule.get(), t.Record(4), 0},
               {nonNullRule.get(), t.Record(4), 1},          {nonNullRule.get(), t.Record(std::nullopt), 0},
               {withFilter.get(), t.Record(4), 1},           {withFilter.get(), t.Record(3), 0}};
  for (const Case& c : cases) {
    uint32_t result = 9;
    Build(*c.engine, c.record, false, &result);
    EXPECT_EQ(result, c.stored);
    Build(*c.engine, c.record, true, &result);
    EXPECT_EQ(result, 0u);
  }
  std::vector<uint8_t> key(nullRule->bkeKeyLength);
  EXPECT_EQ(nullRule->BuildKey(nullptr, key.data(), 0, true), uint32_t(MVERR_INVALIDPARAM));
  EXPECT_EQ(nullRule->KeyToRecord(key.data(), nullptr), uint32_t(MVERR_INVALIDPARAM));
}

TEST_F(CompKeyEngine, FieldCountAndPartialLengthSayWhatIsCompared) {
  TIndexTable t;
  t.dd->GetFieldsDescriptor()->AddField(u"T", u"", mvtShortString, 20, 0, false);
  auto engine = Engine(KeyOn(t, {u"S", u"T"}));
  auto record = [&](const char* aS, const char* aT) {
    std::vector<uint8_t> r = t.Record(std::nullopt);
    uint8_t s[21] = {}, u[21] = {};
    s[0] = uint8_t(std::strlen(aS));
    std::memcpy(s + 1, aS, s[0]);
    u[0] = uint8_t(std::strlen(aT));
    std::memcpy(u + 1, aT, u[0]);
    t.dd->GetFieldsDescriptor()->SetRecordField(2, r.data(), s);
    t.dd->GetFieldsDescriptor()->SetRecordField(3, r.data(), u);
    return Build(*engine, r);
  };
  const std::vector<uint8_t> base = record("abcX", "defX");
  struct Case {
    const char* s;
    const char* t;
    int32_t fieldCount, partialLen;
    int8_t expected;
  } cases[] = {
      {"abcX", "defX", 0, 0, 0},  {"abcX", "defY", 0, 0, -1},  // all fields
      {"abcX", "defY", 3, 0, -1},                               // count + 1, no partial: all
      {"abcX", "defY", 3, 3, 0},  {"abcY", "defX", 3, 3, -1},  // all but the last whole, the last by 3
      {"abcX", "defY", 1, 3, 0},  {"abcY", "defX", 1, 3, -1},  // field 0 whole, 3 units of field 1
      {"abcY", "zzz", 0, 3, 0},   {"abdX", "defX", 0, 3, -1},  // 3 units of field 0 only
      {"abcX", "zzz", 1, 0, 0},                                 // field 0 alone
  };
  for (const Case& c : cases)
    EXPECT_EQ(engine->CompareKey(base.data(), record(c.s, c.t).data(), c.fieldCount, c.partialLen), c.expected)
        << c.s << " " << c.t << " " << c.fieldCount << "/" << c.partialLen;
}

TEST_F(CompKeyEngine, TextVariantAndFieldViewsOfAKey) {
  TIndexTable t;
  TmvCompKeyDescriptor* key = KeyOn(t, {u"S", u"K"});
  key->KeyFields(1)->SetKeyFieldEngine(u"NumbersOnly");
  auto engine = Engine(key);
  std::vector<uint8_t> record = t.Record(std::nullopt);
  const uint8_t name[21] = {6, 'O', '\'', 'H', 'a', 'r', 'a'};
  t.dd->GetFieldsDescriptor()->SetRecordField(2, record.data(), name);
  const std::vector<uint8_t> built = Build(*engine, record);
  EXPECT_EQ(engine->KeyAsString(built.data()), u"'O''Hara', NULL");
  const Variant whole = engine->KeyAsVariant(built.data(), -1);
  ASSERT_TRUE(whole.IsVariantArray());
  EXPECT_EQ(whole.ArrayItem(0).AsString(), u"O'Hara");
  EXPECT_TRUE(whole.ArrayItem(1).IsNull());
  String text;
  EXPECT_EQ(Raised([&] { engine->KeyAsVariant(built.data(), 5); }, &text), MVERR_INVALIDDESCNO);
  EXPECT_EQ(text, u"Invalid descriptor number.");
  EXPECT_EQ(Raised([&] { engine->KeyAsVariant(built.data(), -2); }), MVERR_INVALIDDESCNO);

  // As a fields source: by number and by name ("K" keyed by an engine of
  // its own answers to "K_NumbersOnly" only).
  EXPECT_EQ(engine->GetFieldCount(), 2);
  EXPECT_EQ(engine->GetFieldFromName(u"s"), 0);
  EXPECT_EQ(engine->GetFieldFromName(u"K"), -1);
  EXPECT_EQ(engine->GetFieldFromName(u"K_NumbersOnly"), 1);
  TmvFieldType type;
  uint16_t size = 0, codePage = 0;
  bool isNull = false;
  const void* value = nullptr;
  ASSERT_TRUE(engine->GetFieldForFilter(0, u"", built.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(type, mvtShortString);
  EXPECT_EQ(size, 6);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(std::memcmp(value, "O'Hara", 6), 0);
  ASSERT_TRUE(engine->GetFieldForFilter(0, u"K_NumbersOnly", built.data(), type, size, isNull, value, codePage));
  EXPECT_TRUE(isNull);
  EXPECT_EQ(value, nullptr);
  EXPECT_FALSE(engine->GetFieldForFilter(2, u"", built.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(engine->GetFieldDescriptor(0)->GetName(), u"S");

  // The key as named values and the engine's own description.
  auto data = mvCreateExceptionDataContainer(u"Key", nullptr);
  engine->KeyAsExceptionData(built.data(), data.get());
  ASSERT_EQ(data->Count(), 2);
  EXPECT_EQ(data->GetValue(0)->GetName(), u"S");
  EXPECT_EQ(data->GetValue(0)->AsString(), u"O'Hara");
  EXPECT_EQ(data->GetValue(1)->GetName(), u"K");
  auto info = mvCreateExceptionDataContainer(u"Engine", nullptr);
  engine->WriteObjectInfo(info.get());
  EXPECT_NE(info->ToString().find(u"KeyLength"), String::npos);
  EXPECT_NE(info->ToString().find(u"mvtShortString"), String::npos);
}

TEST_F(CompKeyEngine, AKeyGivesItsRecordBack) {
  TIndexTable t;
  auto engine = Engine(KeyOn(t, {u"N", u"K"}));
  const std::vector<uint8_t> original = t.Record(std::nullopt, -7);
  const std::vector<uint8_t> key = Build(*engine, original);
  std::vector<uint8_t> record(original.size(), 0xAB);
  ASSERT_EQ(engine->KeyToRecord(key.data(), record.data()), 0u);
  EXPECT_EQ(record, original);
}

TEST_F(CompKeyEngine, NoNullKeysHaveNoBitmap) {
  TIndexTable t;
  TmvIndexDescriptor* index = t.dd->GetIndicesDescriptor()->AddIndex(u"NoNull", 0, idNone, u"",
                                                                   &TmvNoNullCompKeyDescriptor::StaticClass);
  auto* key = static_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor());
  key->Add(0);
  auto engine = Engine(key);
  ASSERT_EQ(&engine->ClassType(), &TmvNoNullCompKeyEngine::StaticClass);
  EXPECT_EQ(engine->bkeKeyLength, 4);
  EXPECT_EQ(engine->GetFieldsOffset(), 0);
  const std::vector<uint8_t> built = Build(*engine, t.Record(0x01020304));
  EXPECT_EQ(built, (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_FALSE(engine->KeyContainsNulls(built.data()));
  EXPECT_EQ(engine->CompareKey(built.data(), Build(*engine, t.Record(0x01020305)).data()), -1);
}

TEST_F(CompKeyEngine, AnUnknownEngineClassIsRefusedWithoutRaisingFromTryCreateFor) {
  TXDescriptor descriptor(nullptr);
  String text;
  EXPECT_EQ(Raised([&] { TmvBaseKeyEngine::CreateFor(&descriptor); }, &text), MVERR_UNSUPPORTEDSUBENGINE);
  EXPECT_EQ(text, u"Unknown Key engine: \"TmvXEngine\"");
  TmvBaseKeyEngine* engine = reinterpret_cast<TmvBaseKeyEngine*>(1);
  EXPECT_EQ(TmvBaseKeyEngine::TryCreateFor(&descriptor, engine), uint32_t(MVERR_UNSUPPORTEDSUBENGINE));
  EXPECT_EQ(engine, nullptr);
  uint32_t code = 0;
  String message;
  EmvBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(code, uint32_t(MVERR_UNSUPPORTEDSUBENGINE));
  EXPECT_EQ(message, u"Unknown Key engine: \"TmvXEngine\"");
}

}  // namespace
