// Tests of the composite key field engines: the registry and its refusals,
// directions and nulls, partial string keys and the reserved partial
// lengths in every compare mode, code-page conversion and the cut of
// multi-byte text, NumbersOnly, the date engines, GUID text order, NaN in
// float keys, the direct forms, damaged segments, and one table-driven
// property over every field type: the order of the segments agrees with the
// order of the values.
#include "dictionary/keys/mvsdCompositeKeyFieldEngines.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>

#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdTestSupport.h"
#include "foundation/types/mvllFmtBcd.h"
#include "foundation/types/mvllWideString.h"
#include "platform/Guid.h"
#include "platform/Numeric.h"

using namespace mvtest;

namespace {

using Bytes = std::vector<uint8_t>;
using EnginePtr = std::unique_ptr<TmvCompositeKeyFieldEngine>;

class CompositeKeyFieldEngines : public DictionaryTest {};

// A table with one field F and a key on it with one key field.
struct KeyedField {
  TTestTable table;
  TmvFieldDescriptor* field;
  TmvKeyFieldDescriptor* keyField;

  KeyedField(TmvFieldType aType, int32_t aUnits = 0,
             const TmvKeyFieldDescriptorClassRef* aClass = &TmvTextKeyFieldDescriptor::StaticClass) {
    field = table.Field(u"F", aType, aUnits);
    keyField = table.Key({}).Add(0, aClass);
  }
  TmvTextKeyFieldDescriptor& Text() { return static_cast<TmvTextKeyFieldDescriptor&>(*keyField); }
  // The field's own locale.
  void Locale(LCID aLocale, uint16_t aStorageCodepage = 0) {
    TmvLocaleDescriptor* locale = field->AddLocaleDescriptor();
    locale->SetLocale(aLocale);
    locale->SetOverrideStorageCodepage(aStorageCodepage);
  }
  EnginePtr Engine() { return EnginePtr(TmvCompositeKeyFieldEngine::CreateEngine(keyField)); }
};

// A segment of exactly the key length on the heap, so that the sanitizers
// see every byte read past its end.
Bytes Segment(const TmvCompositeKeyFieldEngine& e, const Bytes& aField) {
  Bytes key(size_t(e.ckfeKeyLength), 0xCC);
  e.BuildKey(aField.data(), key.data());
  return key;
}

// Field values in their record form, sized to the field.
Bytes ShortField(const TmvFieldDescriptor& f, const std::string& aText) {
  Bytes b(size_t(f.Length()), 0);
  b[0] = uint8_t(aText.size());
  std::memcpy(b.data() + 1, aText.data(), aText.size());
  return b;
}
Bytes NullField(const TmvFieldDescriptor& f, const std::string& aText) {
  Bytes b(size_t(f.Length()), 0);
  std::memcpy(b.data(), aText.data(), aText.size());
  return b;
}
Bytes WideField(const TmvFieldDescriptor& f, std::u16string_view aText) {
  Bytes b(size_t(f.Length()), 0);
  for (size_t i = 0; i < aText.size(); ++i) StoreLE16(b.data() + 2 * i, aText[i]);
  return b;
}
// The text in the field's type (8-bit text in aCodePage).
Bytes TextField(const TmvFieldDescriptor& f, std::u16string_view aText, uint16_t aCodePage = 1252) {
  switch (f.FieldType()) {
    case mvtShortString: return ShortField(f, mvWideStringToString(aText, aCodePage));
    case mvtNullString: return NullField(f, mvWideStringToString(aText, aCodePage));
    default: return WideField(f, aText);
  }
}
template <typename T>
Bytes ValueField(T aValue) {
  Bytes b(sizeof aValue);
  std::memcpy(b.data(), &aValue, sizeof aValue);
  return b;
}

template <typename T>
int Sign(T v) {
  return (v > 0) - (v < 0);
}

// ---------------------------------------------------------------------------
// The registry

TEST_F(CompositeKeyFieldEngines, RegistryAtStartUp) {
  EXPECT_EQ(TmvCompositeKeyFieldEngine::RegisteredEngines(),
            u"\"\",DateOnly,DateOnlyMonth,DateOnlyWeek,DateOnlyYear,NumbersOnly");
  const struct {
    const char16_t* name;
    TmvFieldType type;
    bool supported;
  } cases[] = {{u"", mvtInt32, true},           {u"", mvtGuid, true},
               {u"", mvtBlobMemo, false},       {u"", mvtFmtBCD, false},
               {u"numbersonly", mvtNullString, true}, {u"NumbersOnly", mvtInt32, false},
               {u"DateOnlyWeek", mvtDateTime, true},  {u"DateOnly", mvtDate, false},
               {u"Unknown", mvtInt32, false}};
  for (const auto& c : cases)
    EXPECT_EQ(TmvCompositeKeyFieldEngine::CheckSupportsFieldType(c.name, c.type), c.supported)
        << Utf8(c.name) << " " << int(c.type);

  KeyedField k(mvtDateTime);
  const struct {
    const char16_t* name;
    const ClassRef* cls;
  } engines[] = {{u"", &TmvCompositeKeyFieldEngine::StaticClass},
                 {u"DATEONLY", &TmvDateOnlyCKFE::StaticClass},
                 {u"DateOnlyWeek", &TmvDateOnlyWeekCKFE::StaticClass},
                 {u"DateOnlyMonth", &TmvDateOnlyMonthCKFE::StaticClass},
                 {u"DateOnlyYear", &TmvDateOnlyYearCKFE::StaticClass}};
  for (const auto& e : engines) {
    k.keyField->SetKeyFieldEngine(e.name);
    EXPECT_EQ(&k.Engine()->ClassType(), e.cls) << Utf8(e.name);
  }
  // A second class under a present name is refused.
  EXPECT_ANY_THROW(TmvCompositeKeyFieldEngine::Register(TmvNumbersOnlyCKFE::StaticClass, u"dateonly", 0));
}

TEST_F(CompositeKeyFieldEngines, UnknownEngineAndUnsupportedType) {
  KeyedField k(mvtInt32);
  k.keyField->SetKeyFieldEngine(u"Soundex");
  String message;
  EXPECT_EQ(RaisedCode([&] { k.Engine(); }, &message), 15503u);
  EXPECT_EQ(message, u"CompositeKeyFieldEngine \"Soundex\" is not registered");
  EXPECT_EQ(RaisedCode([&] { TmvCompositeKeyFieldEngine::CheckValidBase(k.keyField); }), 15503u);

  KeyedField memo(mvtBlobMemo);
  EXPECT_EQ(RaisedCode([&] { memo.Engine(); }, &message), 12289u);
  EXPECT_EQ(message, u"FieldType \"BLOB Memo\" not supported by TmvCompositeKeyFieldEngine");
  EXPECT_EQ(RaisedCode([&] { TmvCompositeKeyFieldEngine::CheckValidBase(memo.keyField); }), 12289u);
  // Creating does not consult SupportsFieldType: FmtBCD keys are built.
  KeyedField bcd(mvtFmtBCD, 10);
  EXPECT_NO_THROW(TmvCompositeKeyFieldEngine::CheckValidBase(bcd.keyField));
  // A key field outside any table has no field to key.
  TmvKeyFieldDescriptor loose(nullptr, 0);
  EXPECT_EQ(RaisedCode([&] { EnginePtr(TmvCompositeKeyFieldEngine::CreateEngine(&loose)); }), 8712u);
  // A date engine on another type fails its assertion, also as a check.
  KeyedField date(mvtInt32);
  date.keyField->SetKeyFieldEngine(u"DateOnlyMonth");
  EXPECT_THROW(date.Engine(), EAssertionFailed);
  EXPECT_THROW(TmvCompositeKeyFieldEngine::CheckValidBase(date.keyField), EAssertionFailed);
}

TEST_F(CompositeKeyFieldEngines, UnregisterTakesDescendantsOnly) {
  TmvCompositeKeyFieldEngine::Unregister(TmvDateOnlyProcessCKFE::StaticClass);
  EXPECT_EQ(TmvCompositeKeyFieldEngine::RegisteredEngines(), u"\"\",DateOnly,NumbersOnly");
  EXPECT_FALSE(TmvCompositeKeyFieldEngine::CheckSupportsFieldType(u"DateOnlyWeek", mvtDateTime));
  TmvCompositeKeyFieldEngine::Register(TmvDateOnlyWeekCKFE::StaticClass, u"DateOnlyWeek", 0);
  TmvCompositeKeyFieldEngine::Register(TmvDateOnlyMonthCKFE::StaticClass, u"DateOnlyMonth", 0);
  TmvCompositeKeyFieldEngine::Register(TmvDateOnlyYearCKFE::StaticClass, u"DateOnlyYear", 0);
  EXPECT_EQ(TmvCompositeKeyFieldEngine::RegisteredEngines(),
            u"\"\",DateOnly,DateOnlyMonth,DateOnlyWeek,DateOnlyYear,NumbersOnly");
}

// ---------------------------------------------------------------------------
// Directions and nulls

TEST_F(CompositeKeyFieldEngines, DirectionsEnumerateInOppositeOrders) {
  const int32_t values[] = {7, INT32_MIN, -1, 0, 1000, INT32_MAX, -1000, 1};
  std::vector<std::vector<int32_t>> orders;
  for (bool ascend : {true, false}) {
    KeyedField k(mvtInt32, 0, nullptr);
    k.keyField->SetAscend(ascend);
    EnginePtr e = k.Engine();
    std::vector<Bytes> keys;
    for (int32_t v : values) keys.push_back(Segment(*e, ValueField(v)));
    std::vector<size_t> index(std::size(values));
    for (size_t i = 0; i < index.size(); ++i) index[i] = i;
    std::sort(index.begin(), index.end(),
              [&](size_t a, size_t b) { return e->CompareKey(keys[a].data(), keys[b].data()) < 0; });
    std::vector<int32_t> order;
    for (size_t i : index) order.push_back(values[i]);
    orders.push_back(order);
  }
  std::reverse(orders[1].begin(), orders[1].end());
  EXPECT_EQ(orders[0], orders[1]);
  EXPECT_EQ(orders[0].front(), INT32_MIN);
}

TEST_F(CompositeKeyFieldEngines, NullBehaviour) {
  const struct {
    TmvNullBehaviour behaviour;
    bool ascend;
    bool invert, filterNull, filterNonNull;
  } cases[] = {
      {nbTop, true, false, false, false},        {nbTop, false, false, false, false},
      {nbBottom, true, true, false, false},      {nbBottom, false, true, false, false},
      {nbAsAscend, true, false, false, false},   {nbAsAscend, false, true, false, false},
      {nbFilterNull, false, false, true, false}, {nbFilterNonNull, true, false, false, true},
  };
  for (const auto& c : cases) {
    KeyedField k(mvtInt32, 0, nullptr);
    k.keyField->SetNullBehaviour(c.behaviour);
    k.keyField->SetAscend(c.ascend);
    EnginePtr e = k.Engine();
    EXPECT_EQ(e->InvertNull, c.invert) << int(c.behaviour) << c.ascend;
    EXPECT_EQ(e->FilterNull, c.filterNull) << int(c.behaviour);
    EXPECT_EQ(e->FilterNonNull, c.filterNonNull) << int(c.behaviour);
  }
}

// ---------------------------------------------------------------------------
// Text keys

TEST_F(CompositeKeyFieldEngines, PartialShortStringKey) {
  KeyedField k(mvtShortString, 20);
  k.Locale(0x409);  // code page 1252: single-byte
  k.keyField->SetOverrideLengthChars(5);
  EnginePtr e = k.Engine();
  ASSERT_EQ(e->KeyLength(), 6);
  EXPECT_FALSE(e->KeySameAsRecordFormat);
  const Bytes field = ShortField(*k.field, "ABCDEFGH");
  const Bytes key = Segment(*e, field);
  EXPECT_EQ(key, (Bytes{5, 'A', 'B', 'C', 'D', 'E'}));
  Bytes back(field.size(), 0);
  EXPECT_EQ(e->KeyToRecord(key.data(), back.data()), 12289u);
  EXPECT_EQ(back, Bytes(field.size(), 0));  // nothing written
  // Values equal in their first five characters are one key.
  EXPECT_EQ(e->CompareFieldDirect(field.data(), ShortField(*k.field, "ABCDEzz").data()), 0);
  EXPECT_EQ(e->CompareKeyToFieldDirect(key.data(), ShortField(*k.field, "ABCD").data()), 1);
  Variant value;
  e->KeyAsVariant(key.data(), value);
  EXPECT_EQ(value.AsString(), u"ABCDE");
  // The segment as a field: five characters in the compare code page.
  ImvFieldDescriptor& view = *e;
  EXPECT_EQ(view.GetName(), u"F");
  EXPECT_EQ(view.GetUnits(), 5);
  EXPECT_EQ(view.GetUsedStorageCodePage(), 1252);
}

// How a text key field compares: by byte order, ignoring case, and under a
// single-byte and a multi-byte locale.
struct TextMode {
  const char* name;
  LCID locale;
  bool ignoreCase;
};
const TextMode kTextModes[] = {
    {"byte order", 0, false}, {"byte order, ignoring case", 0, true}, {"locale 1252", 0x409, false},
    {"locale 1252, ignoring case", 0x409, true}, {"locale 932", 0x411, false},
};
const TmvFieldType kTextTypes[] = {mvtShortString, mvtNullString, mvtWideString};

TEST_F(CompositeKeyFieldEngines, ReservedPartialLengthsInEveryMode) {
  for (TmvFieldType type : kTextTypes)
    for (const TextMode& mode : kTextModes)
      for (bool ascend : {true, false}) {
        SCOPED_TRACE(testing::Message() << int(type) << " " << mode.name << " " << ascend);
        KeyedField k(type, 10);
        if (mode.locale) k.Locale(mode.locale);
        k.Text().SetIgnoreCase(mode.ignoreCase);
        k.keyField->SetAscend(ascend);
        EnginePtr e = k.Engine();
        const Bytes ab = TextField(*k.field, u"AB"), abc = TextField(*k.field, u"ABC");
        const Bytes kab = Segment(*e, ab), kabc = Segment(*e, abc);
        ASSERT_TRUE(e->PartialCompareKey);
        EXPECT_EQ(e->PartialCompareKey(kab.data(), kabc.data(), mvPartialLenOfKey1), 0);
        EXPECT_EQ(e->PartialCompareKey(kabc.data(), kab.data(), mvPartialLenOfKey2), 0);
        EXPECT_EQ(e->PartialCompareKey(kab.data(), kabc.data(), 2), 0);
        EXPECT_EQ(e->PartialCompareKey(kab.data(), kabc.data(), 0), 0);
        EXPECT_EQ(e->PartialCompareKey(kab.data(), kabc.data(), 3), ascend ? -1 : 1);
        EXPECT_EQ(e->PartialCompareKey(kab.data(), kabc.data(), mvPartialLenOfKey2), ascend ? -1 : 1);
        EXPECT_EQ(e->CompareKey(kab.data(), kabc.data()), ascend ? -1 : 1);
        EXPECT_EQ(e->PartialCompareFieldDirect(ab.data(), abc.data(), mvPartialLenOfKey1), 0);
        EXPECT_EQ(e->PartialCompareKeyToFieldDirect(kabc.data(), ab.data(), mvPartialLenOfKey2), 0);
        // Case counts unless it is ignored.
        const Bytes kAbc = Segment(*e, TextField(*k.field, u"abc"));
        EXPECT_EQ(e->CompareKey(kAbc.data(), kabc.data()) == 0, mode.ignoreCase);
      }
}

// Japanese text in code page 932 cut to a few characters and bytes: a
// double-byte character either fits whole or is left out.
TEST_F(CompositeKeyFieldEngines, MultiByteTextIsCutOnCharacterBoundaries) {
  const struct {
    std::u16string text;
    std::vector<uint8_t> shortKey;  // three characters in at most 3 bytes
  } cases[] = {
      {u"日本語テキスト", {2, 0x93, 0xFA}},
      {u"a日本", {3, 'a', 0x93, 0xFA}},
      {u"ab日", {2, 'a', 'b'}},
      {u"ｱｲｳｴ", {3, 0xB1, 0xB2, 0xB3}},  // half-width kana are single bytes
      {u"", {0}},
  };
  for (TmvFieldType type : {mvtShortString, mvtNullString}) {
    KeyedField k(type, 20);
    k.Locale(0x411);
    k.keyField->SetOverrideLengthChars(3);
    EnginePtr e = k.Engine();
    ASSERT_EQ(e->KeyLength(), 4);
    for (const auto& c : cases) {
      Bytes key = Segment(*e, TextField(*k.field, c.text, 932));
      Bytes expected = c.shortKey;
      if (type == mvtNullString) {
        expected.erase(expected.begin());
        expected.push_back(0);
      }
      key.resize(expected.size());
      EXPECT_EQ(key, expected) << Utf8(c.text) << " " << int(type);
    }
  }
  // Any mix of single- and double-byte characters: the key is whole
  // characters of the value's beginning.
  std::mt19937 random(15);
  const std::u16string alphabet = u"aZ9ｱ日本語テ漢";
  for (int32_t chars : {1, 3, 4}) {
    for (int32_t bytes : {0, 5, 9}) {
      KeyedField k(mvtShortString, 12);
      k.Locale(0x411);
      k.keyField->SetOverrideLengthChars(chars);
      k.keyField->SetOverrideLengthBytes(bytes);
      EnginePtr e = k.Engine();
      for (int round = 0; round < 40; ++round) {
        std::u16string text;
        for (size_t n = random() % 7; n > 0; --n) text += alphabet[random() % alphabet.size()];
        const Bytes key = Segment(*e, TextField(*k.field, text, 932));
        ASSERT_LE(key[0], e->KeyLength() - 1);
        const std::u16string keyText = mvBytesToWideString(key.data() + 1, key[0], 932);
        EXPECT_EQ(mvWideStringToString(keyText, 932), std::string(key.begin() + 1, key.begin() + 1 + key[0]));
        EXPECT_TRUE(text.starts_with(keyText)) << Utf8(text);
        EXPECT_LE(keyText.size(), size_t(chars));
      }
    }
  }
}

// A key field in another locale than its field converts the text from the
// storage to the compare code page.
TEST_F(CompositeKeyFieldEngines, ConvertedTextKeys) {
  for (TmvFieldType type : {mvtShortString, mvtNullString}) {
    KeyedField k(type, 12, &TmvExtTextKeyFieldDescriptor::StaticClass);
    k.Locale(0x411);                                   // stored in 932
    k.keyField->AddLocaleDescriptor()->SetLocale(0x419);  // compared in 1251
    EnginePtr e = k.Engine();
    EXPECT_FALSE(e->KeySameAsRecordFormat);
    const Bytes field = TextField(*k.field, u"Жук", 932);  // two bytes a letter
    const Bytes key = Segment(*e, field);
    const size_t start = type == mvtShortString ? 1 : 0;
    EXPECT_EQ(std::string(key.begin() + ptrdiff_t(start), key.begin() + ptrdiff_t(start) + 3), "\xC6\xF3\xEA");
    EXPECT_EQ(type == mvtShortString ? key[0] : key[3], type == mvtShortString ? 3 : 0);
    EXPECT_EQ(e->CompareFieldDirect(field.data(), TextField(*k.field, u"жук", 932).data()), 1);
    Bytes back(field.size());
    EXPECT_EQ(e->KeyToRecord(key.data(), back.data()), 12289u);
  }
}

TEST_F(CompositeKeyFieldEngines, WideStringByteOrderFollowsTheDictionary) {
  // Without a locale a wide key compares by unit order, unless the data
  // dictionary keeps the older rule of the default locale's collation.
  struct TOldDictionary : TTestDictionary {
    bool GetUseByteOrderForWideString() const override { return false; }
  };
  for (bool byteOrder : {true, false}) {
    std::unique_ptr<TTestDictionary> dd(byteOrder ? new TTestDictionary : new TOldDictionary);
    dd->Files->AddFile(u"", mvbs4k, u"Data");
    dd->Fields->AddField(u"W", u"", mvtWideString, 4, 0, false);
    TmvIndexDescriptor* index = dd->EnsureIndices().AddIndex(u"I", 0, idNone, u"", &TmvCompKeyDescriptor::StaticClass);
    auto& key = static_cast<TmvCompKeyDescriptor&>(*index->GetKeyDescriptor());
    EnginePtr e(TmvCompositeKeyFieldEngine::CreateEngine(key.Add(0)));
    const TmvFieldDescriptor& f = *dd->Fields->FieldDescriptor(0);
    const Bytes a = WideField(f, u"a"), b = WideField(f, u"B");
    EXPECT_EQ(e->CompareFieldDirect(a.data(), b.data()), byteOrder ? 1 : -1);
    EXPECT_EQ(e->CompareKeyToFieldDirect(a.data(), b.data()), byteOrder ? 1 : -1);
  }
}

// A locale body as another system wrote it: locale 0x409 with the sort-rule
// version {NLS 0x01020304, defined 5, effective 0x409} recorded at build.
const Bytes kOtherSystemsLocale = {
    0x02, 0x03, 0x01, 0x00, 0x02, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00,  // item header
    0x02, 0x02, 0x03, 0x09, 0x04,                                       // version 2, locale 0x409
    0x08, 0x08, 0x08, 0x08, 0x08, 0x02, 0x00,                           // no options, no override
    0x09, 0x04, 0x04, 0x03, 0x02, 0x01, 0x02, 0x05, 0x03, 0x09, 0x04,   // the build version
    0x0A, 0x10, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

TEST_F(CompositeKeyFieldEngines, SortRulesChangedSinceTheBuild) {
  for (TmvFieldType type : {mvtWideString, mvtChar, mvtInt32}) {
    KeyedField k(type, 10);
    ReadAll(kOtherSystemsLocale, *k.field->AddLocaleDescriptor());
    EXPECT_EQ(k.Engine()->NLSVersionChanged(), type != mvtInt32) << int(type);
    k.field->GetLocaleDescriptor()->CheckValid(true);  // rebuilt: the current rules are recorded
    EXPECT_FALSE(k.Engine()->NLSVersionChanged()) << int(type);
  }
}

TEST_F(CompositeKeyFieldEngines, NumbersOnly) {
  for (TmvFieldType type : kTextTypes) {
    KeyedField k(type, 12);
    k.keyField->SetKeyFieldEngine(u"NumbersOnly");
    k.keyField->SetOverrideLengthChars(8);
    EnginePtr e = k.Engine();
    EXPECT_FALSE(e->KeySameAsRecordFormat);
    const struct {
      std::u16string value, digits;
    } cases[] = {{u"A1-B2 C3", u"123"}, {u"", u""}, {u"no digits", u""}, {u"x01234567890", u"01234567"}};
    for (const auto& c : cases) {
      const Bytes key = Segment(*e, TextField(*k.field, c.value));
      Variant value;
      e->KeyAsVariant(key.data(), value);
      EXPECT_EQ(value.AsString(), c.digits) << Utf8(c.value) << " " << int(type);
      const Bytes expected = Segment(*e, TextField(*k.field, c.digits));
      EXPECT_EQ(e->CompareKey(key.data(), expected.data()), 0) << Utf8(c.value) << " " << int(type);
    }
    Bytes back(size_t(k.field->Length()));
    EXPECT_EQ(e->KeyToRecord(Segment(*e, TextField(*k.field, u"1")).data(), back.data()), 12289u);
  }
}

// ---------------------------------------------------------------------------
// Dates

double DateTimeMs(uint16_t y, uint16_t m, uint16_t d, int32_t aMs = 0) {
  return double(DateTimeToTimeStamp(EncodeDate(y, m, d)).Date) * MSecsPerDay + aMs;
}

TEST_F(CompositeKeyFieldEngines, DateEngines) {
  auto keyOf = [](const char16_t* aEngine, double aValue) {
    KeyedField k(mvtDateTime, 0, nullptr);
    k.keyField->SetKeyFieldEngine(aEngine);
    EnginePtr e = k.Engine();
    const Bytes key = Segment(*e, ValueField(aValue));
    double stored;
    std::memcpy(&stored, key.data(), sizeof stored);
    return stored;
  };
  const double day = MSecsPerDay;
  for (int d = 1; d <= 7; ++d) EXPECT_EQ(keyOf(u"DateOnlyWeek", d * day + 5000), day) << d;
  for (int d = 8; d <= 14; ++d) EXPECT_EQ(keyOf(u"DateOnlyWeek", d * day), 8 * day) << d;
  for (uint16_t year : {1, 1900, 2000, 2023, 2024, 9999}) {
    EXPECT_EQ(keyOf(u"DateOnlyMonth", DateTimeMs(year, 3, 15, 43200000)), DateTimeMs(year, 3, 1)) << year;
    EXPECT_EQ(keyOf(u"DateOnlyYear", DateTimeMs(year, 12, 31, 1)), DateTimeMs(year, 1, 1)) << year;
  }
  EXPECT_EQ(keyOf(u"DateOnlyMonth", DateTimeMs(2024, 2, 29)), DateTimeMs(2024, 2, 1));
  EXPECT_EQ(keyOf(u"DateOnlyMonth", 20 * day), day);  // the first month ends at day 31
  EXPECT_EQ(keyOf(u"DateOnlyYear", 365 * day), day);
  EXPECT_EQ(keyOf(u"DateOnly", DateTimeMs(2024, 5, 6, 86399999)), DateTimeMs(2024, 5, 6));
  // The milliseconds are rounded before the day is taken, ties to even.
  EXPECT_EQ(keyOf(u"DateOnly", DateTimeMs(2024, 5, 6) - 0.4), DateTimeMs(2024, 5, 6));
  EXPECT_EQ(keyOf(u"DateOnly", DateTimeMs(2024, 5, 6) - 0.5), DateTimeMs(2024, 5, 6));
  EXPECT_EQ(keyOf(u"DateOnly", DateTimeMs(2024, 5, 6) - 1.5), DateTimeMs(2024, 5, 5));
  // A value that rounds to no integer fails as rounding it does.
  EXPECT_THROW(keyOf(u"DateOnly", std::nan("")), EInvalidOp);
  EXPECT_THROW(keyOf(u"DateOnlyYear", HUGE_VAL), EInvalidOp);

  KeyedField k(mvtDateTime, 0, nullptr);
  k.keyField->SetKeyFieldEngine(u"DateOnly");
  EnginePtr e = k.Engine();
  EXPECT_FALSE(e->KeySameAsRecordFormat);
  EXPECT_EQ(e->CompareFieldDirect(ValueField(DateTimeMs(2024, 5, 6, 1)).data(),
                                  ValueField(DateTimeMs(2024, 5, 6, 80000000)).data()),
            0);
  EXPECT_EQ(e->CompareFieldDirect(ValueField(DateTimeMs(2024, 5, 6)).data(),
                                  ValueField(DateTimeMs(2024, 5, 5, 80000000)).data()),
            1);
}

// ---------------------------------------------------------------------------
// GUID, floats, direct forms

TEST_F(CompositeKeyFieldEngines, GuidTextOrder) {
  // Data1 0x00000001 and 0x00000100: the first byte says 01 > 00, the text
  // says "00000001" < "00000100".
  Bytes one(16, 0), hundred(16, 0);
  one[0] = 0x01;
  hundred[1] = 0x01;
  for (bool text : {false, true}) {
    KeyedField k(mvtGuid, 0, text ? &TmvTextKeyFieldDescriptor::StaticClass : nullptr);
    EnginePtr e = k.Engine();
    EXPECT_EQ(e->CompareFieldDirect(one.data(), hundred.data()), text ? -1 : 1);
    EXPECT_TRUE(e->KeySameAsRecordFormat);
  }
}

TEST_F(CompositeKeyFieldEngines, NaNSortsAfterEveryNumber) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = HUGE_VAL;
  for (TmvFieldType type : {mvtSingle, mvtDouble, mvtExtended, mvtDateTime}) {
    for (bool ascend : {true, false}) {
      KeyedField k(type, 0, nullptr);
      k.keyField->SetAscend(ascend);
      EnginePtr e = k.Engine();
      auto field = [&](double v) {
        if (type == mvtSingle) return ValueField(float(v));
        if (type != mvtExtended) return ValueField(v);
        Bytes b(10);
        ExtendedToBytes(Extended(v), b.data());
        return b;
      };
      const int sign = ascend ? 1 : -1;
      SCOPED_TRACE(testing::Message() << int(type) << " " << ascend);
      EXPECT_EQ(e->CompareFieldDirect(field(nan).data(), field(inf).data()), sign);
      EXPECT_EQ(e->CompareFieldDirect(field(-inf).data(), field(nan).data()), -sign);
      EXPECT_EQ(e->CompareFieldDirect(field(nan).data(), field(-nan).data()), 0);
      EXPECT_EQ(e->CompareFieldDirect(field(0.0).data(), field(-0.0).data()), 0);
    }
  }
}

TEST_F(CompositeKeyFieldEngines, DirectFormsAndTheWayBack) {
  KeyedField i(mvtInt32, 0, nullptr);
  EnginePtr e = i.Engine();
  EXPECT_TRUE(e->KeySameAsRecordFormat);
  EXPECT_EQ(e->CompareFieldDirect.Code, e->CompareKey.Code);  // a field's bytes are its key
  EXPECT_EQ(e->CompareKeyToFieldDirect.Code, e->CompareKey.Code);
  EXPECT_FALSE(e->PartialCompareKey);
  EXPECT_FALSE(e->PartialCompareFieldDirect);
  const Bytes key = Segment(*e, ValueField(int32_t(-42)));
  Bytes back(4, 0);
  EXPECT_EQ(e->KeyToRecord(key.data(), back.data()), 0u);
  EXPECT_EQ(back, ValueField(int32_t(-42)));
  Variant value;
  e->KeyAsVariant(key.data(), value);
  EXPECT_EQ(value.AsInteger(), -42);

  // A byte array cut by its byte override cannot give its value back.
  KeyedField cut(mvtByteArray, 8, nullptr);
  cut.keyField->SetOverrideLengthBytes(3);
  e = cut.Engine();
  EXPECT_FALSE(e->KeySameAsRecordFormat);
  const Bytes bytes = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(e->KeyToRecord(Segment(*e, bytes).data(), back.data()), 12289u);
  EXPECT_EQ(e->CompareFieldDirect(bytes.data(), Bytes{1, 2, 3, 9, 9, 9, 9, 9}.data()), 0);
  EXPECT_EQ(e->PartialCompareFieldDirect(bytes.data(), Bytes{1, 2, 4, 0, 0, 0, 0, 0}.data(), 2), 0);
  EXPECT_EQ(e->PartialCompareFieldDirect(bytes.data(), Bytes{1, 2, 4, 0, 0, 0, 0, 0}.data(), 3), -1);

  // Keys too long for the stack are built in items of the engine's pool.
  KeyedField wide(mvtNullString, 2000);
  wide.keyField->SetOverrideLengthChars(1500);
  e = wide.Engine();
  const Bytes a = NullField(*wide.field, std::string(1600, 'x')), b = NullField(*wide.field, std::string(1499, 'x'));
  EXPECT_EQ(e->CompareFieldDirect(a.data(), b.data()), 1);
  EXPECT_EQ(e->PartialCompareFieldDirect(a.data(), b.data(), 1499), 0);
}

// Segments damaged at every byte are read within their bounds in every
// compare mode (the sanitizers watch the reads; the order is anything).
TEST_F(CompositeKeyFieldEngines, DamagedSegmentsStayInBounds) {
  for (TmvFieldType type : kTextTypes)
    for (const TextMode& mode : kTextModes) {
      KeyedField k(type, 6);
      if (mode.locale) k.Locale(mode.locale);
      k.Text().SetIgnoreCase(mode.ignoreCase);
      EnginePtr e = k.Engine();
      const Bytes good = Segment(*e, TextField(*k.field, u"Abc"));
      for (size_t i = 0; i < good.size(); ++i)
        for (uint8_t delta : {uint8_t(0x01), uint8_t(0x80), uint8_t(0xFF)}) {
          Bytes bad = good;
          bad[i] = uint8_t(bad[i] ^ delta);
          EXPECT_EQ(e->CompareKey(bad.data(), bad.data()), 0);
          e->CompareKey(good.data(), bad.data());
          for (int32_t partial : {2, mvPartialLenOfKey1, mvPartialLenOfKey2})
            e->PartialCompareKey(bad.data(), good.data(), partial);
        }
    }
}

// ---------------------------------------------------------------------------
// The order of segments agrees with the order of values, for every field
// type, both directions, and nulls placed by the null behaviour.

struct Sample {
  Bytes field;
  bool null = false;
};
using RefCompare = std::function<int(const Bytes&, const Bytes&)>;

struct TypeCase {
  const char* name;
  TmvFieldType type;
  int32_t units = 0;
  int32_t decPl = 0;
  bool ignoreCase = false;
  LCID locale = 0;
  int32_t overrideChars = 0;
};

template <typename T>
T Load(const Bytes& b) {
  T v;
  std::memcpy(&v, b.data(), sizeof v);
  return v;
}
template <typename F>
int CompareFloats(F a, F b) {
  if (std::isnan(a) || std::isnan(b)) return int(std::isnan(a)) - int(std::isnan(b));
  return (a > b) - (a < b);
}
std::u16string FoldAscii(std::u16string s) {
  for (char16_t& c : s)
    if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
  return s;
}

// Random field values of a type, biased to the edges of its range.
class Values {
 public:
  explicit Values(const TmvFieldDescriptor& f) : fField(f) {}

  Bytes Next() {
    switch (fField.FieldType()) {
      case mvtBoolean: return {Pick<uint8_t>({0, 1, 2, 0x80, 0xFF})};
      case mvtSingle: return ValueField(float(Real()));
      case mvtDouble: case mvtDateTime: case mvtInterval: return ValueField(Real());
      case mvtExtended: {
        Bytes b(10);
        ExtendedToBytes(Extended(Real()) * (fRandom() % 2 ? 1.0L : 1.0000000000000000001L), b.data());
        return b;
      }
      case mvtFmtBCD: {
        TmvFmtBcd bcd;
        mvCurrencyToBcd(Currency::FromScaled(int64_t(Bits()) % 100000000000LL), bcd, fField.Units(), fField.DecPl());
        return Bytes(reinterpret_cast<uint8_t*>(&bcd), reinterpret_cast<uint8_t*>(&bcd) + fField.Length());
      }
      case mvtShortString: case mvtNullString: case mvtWideString: return TextField(fField, Text(), CodePage());
      default: {
        Bytes b(size_t(fField.Length()));
        const uint64_t v = Bits();
        for (size_t i = 0; i < b.size(); ++i) b[i] = i < 8 ? uint8_t(v >> (8 * i)) : Pick<uint8_t>({0, 0x7F, 0xFF});
        return b;
      }
    }
  }

  // The text the values hold: a few characters from a small alphabet, so
  // that common beginnings and case pairs are frequent.
  std::u16string Text() {
    const std::u16string alphabet = fField.GetLocaleDescriptor() ? u"aAbB-\\~ｱア日本é" : u"aAbB\u00E9\u00FF";
    std::u16string s;
    for (size_t n = fRandom() % (size_t(fField.Units()) + 1); n > 0; --n) s += alphabet[fRandom() % alphabet.size()];
    // 8-bit text takes up to two bytes a character: as many as fit.
    while (fField.FieldType() != mvtWideString && mvWideStringToString(s, CodePage()).size() > size_t(fField.Units()))
      s.pop_back();
    return s;
  }
  uint16_t CodePage() { return fField.GetLocaleDescriptor() ? 932 : 1252; }

 private:
  template <typename T>
  T Pick(std::initializer_list<T> aChoices) {
    return aChoices.begin()[fRandom() % aChoices.size()];
  }
  uint64_t Bits() {
    switch (fRandom() % 4) {
      case 0: return Pick<uint64_t>({0, 1, ~0ull, 0x7F, 0x80, 0x7FFF, 0x8000, 0x7FFFFFFF, 0x80000000, 1ull << 63});
      case 1: return fRandom() % 5;
      default: return (uint64_t(fRandom()) << 32) | fRandom();
    }
  }
  double Real() {
    const double inf = HUGE_VAL;
    if (fRandom() % 3 == 0) return Pick<double>({0.0, -0.0, inf, -inf, std::nan(""), 1e-310, -1.5, 3.25, 1e300});
    return std::ldexp(double(int32_t(fRandom())), int(fRandom() % 80) - 40);
  }

  const TmvFieldDescriptor& fField;
  std::mt19937 fRandom{2143};
};

// The order of two values of the case's type, from the values themselves.
RefCompare ReferenceOrder(const TypeCase& c, const TmvFieldDescriptor& f) {
  auto text = [&f](const Bytes& b) {
    const uint16_t cp = f.GetLocaleDescriptor() ? 932 : 1252;
    switch (f.FieldType()) {
      case mvtShortString: return mvBytesToWideString(b.data() + 1, b[0], cp);
      case mvtNullString:
        return mvBytesToWideString(b.data(), int32_t(strlen(reinterpret_cast<const char*>(b.data()))), cp);
      default: {
        std::u16string s;
        for (size_t i = 0; LoadLE16(b.data() + 2 * i) != 0; ++i) s += char16_t(LoadLE16(b.data() + 2 * i));
        return s;
      }
    }
  };
  switch (c.type) {
    case mvtBoolean: return [](const Bytes& a, const Bytes& b) { return int(a[0] != 0) - int(b[0] != 0); };
    case mvtChar: case mvtByte:
      return [ic = c.ignoreCase](const Bytes& a, const Bytes& b) {
        auto up = [ic](uint8_t v) { return ic && v >= 'a' && v <= 'z' ? v - 32 : int(v); };
        return Sign(up(a[0]) - up(b[0]));
      };
    case mvtWideChar:
      return [ic = c.ignoreCase](const Bytes& a, const Bytes& b) {
        auto up = [ic](uint16_t v) { return ic && v >= 'a' && v <= 'z' ? v - 32 : int(v); };
        return Sign(up(Load<uint16_t>(a)) - up(Load<uint16_t>(b)));
      };
    case mvtWord16: return [](const Bytes& a, const Bytes& b) { return Sign(Load<uint16_t>(a) - Load<uint16_t>(b)); };
    case mvtWord32: case mvtAutoInc: case mvtRecRev:
      return [](const Bytes& a, const Bytes& b) { return Sign(int64_t(Load<uint32_t>(a)) - Load<uint32_t>(b)); };
    case mvtInt8: return [](const Bytes& a, const Bytes& b) { return Sign(Load<int8_t>(a) - Load<int8_t>(b)); };
    case mvtInt16: return [](const Bytes& a, const Bytes& b) { return Sign(Load<int16_t>(a) - Load<int16_t>(b)); };
    case mvtInt32: case mvtDate: case mvtTime:
      return [](const Bytes& a, const Bytes& b) { return Sign(int64_t(Load<int32_t>(a)) - Load<int32_t>(b)); };
    case mvtInt64: case mvtRefNr: case mvtCurrency: case mvtBCD:
      return [](const Bytes& a, const Bytes& b) {
        return int(Load<int64_t>(a) > Load<int64_t>(b)) - int(Load<int64_t>(a) < Load<int64_t>(b));
      };
    case mvtSingle: return [](const Bytes& a, const Bytes& b) { return CompareFloats(Load<float>(a), Load<float>(b)); };
    case mvtDouble: case mvtDateTime: case mvtInterval:
      return [](const Bytes& a, const Bytes& b) { return CompareFloats(Load<double>(a), Load<double>(b)); };
    case mvtExtended:
      return [](const Bytes& a, const Bytes& b) {
        return CompareFloats(ExtendedFromBytes(a.data()), ExtendedFromBytes(b.data()));
      };
    case mvtByteArray:
      return [](const Bytes& a, const Bytes& b) { return Sign(std::memcmp(a.data(), b.data(), a.size())); };
    case mvtGuid:  // under a text key field: by the registry text form
      return [](const Bytes& a, const Bytes& b) {
        TGUID x, y;
        std::memcpy(&x, a.data(), 16);
        std::memcpy(&y, b.data(), 16);
        return Sign(GUIDToString(x).compare(GUIDToString(y)));
      };
    case mvtFmtBCD:  // twelve digits: doubles keep their order
      return [](const Bytes& a, const Bytes& b) {
        TmvFmtBcd x, y;
        std::memcpy(&x, a.data(), a.size());
        std::memcpy(&y, b.data(), b.size());
        return CompareFloats(mvBcdToDouble(x), mvBcdToDouble(y));
      };
    default:  // the text types
      return [c, text](const Bytes& a, const Bytes& b) {
        std::u16string ta = text(a), tb = text(b);
        if (c.overrideChars) {
          ta = ta.substr(0, size_t(c.overrideChars));
          tb = tb.substr(0, size_t(c.overrideChars));
        }
        if (c.locale)
          return CompareStringW(c.locale, c.ignoreCase ? NORM_IGNORECASE : 0, ta, tb) - CSTR_EQUAL;
        if (c.ignoreCase) return Sign(FoldAscii(ta).compare(FoldAscii(tb)));
        if (c.type != mvtWideString)  // 8-bit text: by the bytes in 1252
          return Sign(mvWideStringToString(ta, 1252).compare(mvWideStringToString(tb, 1252)));
        return Sign(ta.compare(tb));
      };
  }
}

// The order a composite key gives two segments with their null flags.
int KeyOrder(const TmvCompositeKeyFieldEngine& e, const Sample& a, const Bytes& ka, const Sample& b,
             const Bytes& kb) {
  if (a.null || b.null) {
    const int r = int(b.null) - int(a.null);  // a null first
    return e.InvertNull ? -r : r;
  }
  return e.CompareKey(ka.data(), kb.data());
}

// Where the behaviour puts a null among the values in this direction.
int ExpectedOrder(TmvNullBehaviour aNulls, bool aAscend, const Sample& a, const Sample& b, const RefCompare& aRef) {
  if (a.null || b.null) {
    const int nullFirst = int(b.null) - int(a.null);
    const bool first = aNulls == nbTop || (aNulls == nbAsAscend && aAscend);
    return first ? nullFirst : -nullFirst;
  }
  return aAscend ? aRef(a.field, b.field) : -aRef(a.field, b.field);
}

const TypeCase kTypeCases[] = {
    {"Boolean", mvtBoolean},
    {"Char", mvtChar},
    {"Char ignoring case", mvtChar, 0, 0, true},
    {"WideChar", mvtWideChar},
    {"WideChar ignoring case", mvtWideChar, 0, 0, true},
    {"Byte", mvtByte},
    {"Word16", mvtWord16},
    {"Word32", mvtWord32},
    {"Int8", mvtInt8},
    {"Int16", mvtInt16},
    {"Int32", mvtInt32},
    {"Int64", mvtInt64},
    {"AutoInc", mvtAutoInc},
    {"Single", mvtSingle},
    {"Double", mvtDouble},
    {"Extended", mvtExtended},
    {"Currency", mvtCurrency},
    {"Date", mvtDate},
    {"Time", mvtTime},
    {"DateTime", mvtDateTime},
    {"Interval", mvtInterval},
    {"ByteArray", mvtByteArray, 5},
    {"ShortString", mvtShortString, 6},
    {"ShortString ignoring case", mvtShortString, 6, 0, true},
    {"ShortString 932", mvtShortString, 6, 0, false, 0x411},
    {"ShortString 932, 3 characters", mvtShortString, 6, 0, false, 0x411, 3},
    {"NullString", mvtNullString, 6},
    {"NullString ignoring case", mvtNullString, 6, 0, true},
    {"NullString 932 ignoring case", mvtNullString, 6, 0, true, 0x411},
    {"NullString 932, 2 characters", mvtNullString, 6, 0, false, 0x411, 2},
    {"WideString", mvtWideString, 6},
    {"WideString ignoring case", mvtWideString, 6, 0, true},
    {"WideString 932", mvtWideString, 6, 0, false, 0x411},
    {"WideString, 4 characters", mvtWideString, 6, 0, false, 0, 4},
    {"RecRev", mvtRecRev},
    {"Guid", mvtGuid},
    {"BCD", mvtBCD},
    {"FmtBCD", mvtFmtBCD, 12, 3},
    {"RefNr", mvtRefNr},
};

TEST_F(CompositeKeyFieldEngines, SegmentOrderIsValueOrderForEveryType) {
  for (const TypeCase& c : kTypeCases) {
    SCOPED_TRACE(c.name);
    TTestTable table;
    TmvFieldDescriptor* field = table.dd.Fields->AddField(u"F", u"", c.type, c.units, c.decPl, false);
    if (c.locale) field->AddLocaleDescriptor()->SetLocale(c.locale);
    const RefCompare ref = ReferenceOrder(c, *field);
    Values values(*field);
    std::vector<Sample> samples(60);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = {values.Next(), i % 7 == 3};
    for (bool ascend : {true, false})
      for (TmvNullBehaviour behaviour : {nbTop, nbBottom, nbAsAscend}) {
        TmvKeyFieldDescriptor* keyField = table.Key({}).Add(0, &TmvTextKeyFieldDescriptor::StaticClass);
        static_cast<TmvTextKeyFieldDescriptor*>(keyField)->SetIgnoreCase(c.ignoreCase);
        keyField->SetAscend(ascend);
        keyField->SetNullBehaviour(behaviour);
        if (c.overrideChars) {
          keyField->SetOverrideLengthChars(c.overrideChars);
          keyField->SetOverrideLengthBytes(2 * c.overrideChars + 1);  // room for double-byte characters
        }
        EnginePtr e(TmvCompositeKeyFieldEngine::CreateEngine(keyField));
        std::vector<Bytes> keys;
        for (const Sample& s : samples) keys.push_back(Segment(*e, s.field));
        for (size_t i = 0; i < samples.size(); ++i)
          for (size_t j = 0; j < samples.size(); ++j) {
            const Sample &a = samples[i], &b = samples[j];
            const int expected = ExpectedOrder(behaviour, ascend, a, b, ref);
            ASSERT_EQ(KeyOrder(*e, a, keys[i], b, keys[j]), expected)
                << i << " " << j << " ascend " << ascend << " nulls " << int(behaviour);
            if (a.null || b.null) continue;
            ASSERT_EQ(e->CompareFieldDirect(a.field.data(), b.field.data()), expected) << i << " " << j;
            ASSERT_EQ(e->CompareKeyToFieldDirect(keys[i].data(), b.field.data()), expected) << i << " " << j;
          }
        // Where the segment is the record's form, it gives the value back.
        if (e->KeySameAsRecordFormat)
          for (size_t i = 0; i < samples.size(); ++i) {
            Bytes back(samples[i].field.size(), 0);
            ASSERT_EQ(e->KeyToRecord(keys[i].data(), back.data()), 0u);
            ASSERT_EQ(ref(back, samples[i].field), 0) << i;
          }
      }
  }
}

}  // namespace
