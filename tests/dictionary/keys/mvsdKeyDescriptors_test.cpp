// Tests of the key descriptors and key field descriptors: key lengths and
// partial keys, nulls, the checks, the fields they hold by number, key
// filters, and their stream forms per peer version.
#include "dictionary/keys/mvsdKeyDescriptors.h"

#include <gtest/gtest.h>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class KeyDescriptors : public DictionaryTest {};

std::vector<uint8_t> Bytes(std::initializer_list<std::vector<uint8_t>> aParts) {
  std::vector<uint8_t> all;
  for (const auto& part : aParts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
// A short string value: vaString, length, bytes.
std::vector<uint8_t> Str(const std::string& s) {
  std::vector<uint8_t> b = {0x06, uint8_t(s.size())};
  b.insert(b.end(), s.begin(), s.end());
  return b;
}
const std::vector<uint8_t> kEmptyString = {0x12, 0x00, 0x00, 0x00, 0x00};

TEST_F(KeyDescriptors, KeyLengths) {
  TTestTable t;
  t.Field(u"A", mvtInt32);
  t.Field(u"S", mvtShortString, 19);
  EXPECT_EQ(t.Key({0, 1}).GetKeyLen(), 25);  // 4 + 20 + 1 byte of null flags
  EXPECT_EQ(t.Key({0, 1}, &TmvNoNullCompKeyDescriptor::StaticClass).GetKeyLen(), 24);
  EXPECT_EQ(t.Key({0, 0, 0, 0, 0, 0, 0, 0}).GetKeyLen(), 33);
  EXPECT_EQ(t.Key({0, 0, 0, 0, 0, 0, 0, 0, 0}).GetKeyLen(), 38);  // nine fields: 2 bytes of flags

  const struct {
    TmvBaseKeyDescriptor* key;
    int32_t length;
  } fixed[] = {{new TmvRefKeyDescriptor(nullptr), 8},
               {new TmvInt64KeyDescriptor(nullptr), 8},
               {new TmvBlobCacheKeyDescriptor(nullptr), 28}};
  for (const auto& f : fixed) {
    EXPECT_EQ(f.key->GetKeyLen(), f.length) << Utf8(f.key->ClassName());
    EXPECT_FALSE(f.key->CanContainNulls());
    delete f.key;
  }
}

TEST_F(KeyDescriptors, PartialKeyLengths) {
  TTestTable t;
  struct Case {
    TmvFieldType type;
    int32_t units, chars, bytes;
    int32_t length, keyChars;
  };
  const Case cases[] = {
      {mvtShortString, 19, 10, 0, 11, 10},  {mvtShortString, 19, 0, 30, 30, 19},
      {mvtShortString, 19, 10, 30, 30, 10}, {mvtShortString, 19, 10, 5, 11, 10},
      {mvtShortString, 19, 19, 0, 20, 19},  // an override not below the units changes nothing
      {mvtNullString, 10, 3, 0, 4, 3},      {mvtWideString, 50, 10, 0, 22, 10},
      {mvtWideString, 50, 0, 200, 102, 50},  // a byte override never enlarges a wide key
      {mvtByteArray, 16, 0, 8, 8, 0},       {mvtByteArray, 16, 0, 20, 16, 0},
      {mvtInt32, 0, 3, 2, 4, 0},
  };
  for (const Case& c : cases) {
    const int32_t number = t.dd.Fields->FieldCount();
    t.Field(u"F" + mvIntToStr(number), c.type, c.units);
    TmvKeyFieldDescriptor* keyField = t.Key({number}, &TmvNoNullCompKeyDescriptor::StaticClass).KeyFields(0);
    keyField->SetOverrideLengthChars(c.chars);
    keyField->SetOverrideLengthBytes(c.bytes);
    EXPECT_EQ(keyField->KeyLength(), c.length) << mvFieldTypeEnumNames[c.type].size() << " case " << number;
    EXPECT_EQ(keyField->KeyChars(), c.keyChars) << "case " << number;
  }
}

TEST_F(KeyDescriptors, CachedLengthFollowsChanges) {
  TTestTable t;
  t.Field(u"S", mvtShortString, 19);
  t.Field(u"A", mvtInt32);
  TmvCompKeyDescriptor& key = t.Key({0});
  EXPECT_EQ(key.GetKeyLen(), 21);
  key.KeyFields(0)->SetOverrideLengthChars(0);  // the same value: nothing to forget
  key.KeyFields(0)->SetOverrideLengthChars(4);
  EXPECT_EQ(key.GetKeyLen(), 6);
  key.KeyFields(0)->SetOverrideLengthBytes(9);
  EXPECT_EQ(key.GetKeyLen(), 10);
  key.KeyFields(0)->SetFieldNumber(1);
  EXPECT_EQ(key.GetKeyLen(), 5);
  key.Add(0);
  EXPECT_EQ(key.GetKeyLen(), 5 + 20);
  key.Move(1, 0);
  EXPECT_EQ(key.KeyFields(0)->GetFieldNumber(), 0);
  key.Delete(1);
  EXPECT_EQ(key.GetKeyLen(), 21);
  key.Insert(0, u"A");
  EXPECT_EQ(key.KeyFields(0)->GetFieldNumber(), 1);
  EXPECT_EQ(key.GetKeyLen(), 25);
}

TEST_F(KeyDescriptors, Nulls) {
  TTestTable t;
  t.Field(u"Opt", mvtInt32);
  t.Field(u"Req", mvtInt32, 0, true);
  TmvCompKeyDescriptor& key = t.Key({1});
  EXPECT_FALSE(key.CanContainNulls());
  key.Add(0);
  EXPECT_TRUE(key.CanContainNulls());
  key.KeyFields(1)->SetNullBehaviour(nbFilterNull);  // null records stay out of the index
  EXPECT_FALSE(key.KeyFields(1)->CanContainNulls());
  EXPECT_FALSE(key.CanContainNulls());
  key.KeyFields(1)->SetNullBehaviour(nbFilterNonNull);
  EXPECT_TRUE(key.CanContainNulls());
}

TEST_F(KeyDescriptors, Checks) {
  TTestTable t;
  t.Field(u"A", mvtInt32);
  t.Field(u"Auto", mvtAutoInc);
  t.Field(u"Lsn", mvtInt64)->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass);
  t.Field(u"Id", mvtGuid)->AddDefaultValue(&TmvAutoGuidDefaultValueDescriptor::StaticClass);
  t.Field(u"Req", mvtInt32, 0, true);
  t.Field(u"Plain64", mvtInt64);

  TmvCompKeyDescriptor& empty = t.Key({});
  String message;
  EXPECT_EQ(RaisedCode([&] { empty.CheckValid(false); }, &message), 10004u);
  EXPECT_EQ(message, u"Composite key requires a minimum of one field");
  EXPECT_FALSE(empty.IsValidFor(&t.dd));

  TmvCompKeyDescriptor& unknown = t.Key({});
  unknown.Add(u"NoSuchField");
  EXPECT_EQ(unknown.KeyFields(0)->GetFieldNumber(), -1);
  EXPECT_EQ(RaisedCode([&] { unknown.CheckValid(false); }, &message), 9999u);
  EXPECT_EQ(message, u"Invalid field number: -1");
  EXPECT_EQ(RaisedCode([&] { unknown.GetKeyLen(); }), 9999u);
  EXPECT_FALSE(unknown.IsValidFor(&t.dd));

  // A no-null key takes fields that are required or filled by the engine.
  TmvCompKeyDescriptor& noNull = t.Key({1, 2, 3, 4}, &TmvNoNullCompKeyDescriptor::StaticClass);
  noNull.CheckValid(true);
  EXPECT_TRUE(noNull.IsValidFor(&t.dd));
  for (int32_t refused : {0, 5}) {
    noNull.Add(refused);
    EXPECT_EQ(RaisedCode([&] { noNull.CheckValid(false); }, &message), 10004u);
    EXPECT_EQ(message, u"Field \"" + t.dd.Fields->FieldDescriptor(refused)->Name() + u"\" is not marked as required");
    noNull.Delete(noNull.KeyFieldCount() - 1);
  }
  TmvCompKeyDescriptor& nullable = t.Key({0, 5});
  nullable.CheckValid(true);  // an ordinary key may hold nulls
}

TEST_F(KeyDescriptors, KeyFieldsFollowTheirFields) {
  TTestTable t;
  t.Field(u"A", mvtInt32);
  t.Field(u"Name", mvtNullString, 10);
  t.Field(u"C", mvtInt32);
  TmvCompKeyDescriptor& key = t.Key({1, 2});
  TmvFieldsDescriptor& fields = *t.dd.Fields;

  String message;
  EXPECT_EQ(RaisedCode([&] { fields.RemoveField(1); }, &message), 15502u);
  EXPECT_EQ(message, u"Cannot remove field Name because it is still referenced by an index");
  EXPECT_EQ(fields.FieldCount(), 3);
  EXPECT_EQ(key.KeyFields(0)->GetFieldNumber(), 1);

  fields.RemoveField(0);  // an earlier field goes: the numbers drop
  EXPECT_EQ(key.KeyFields(0)->GetFieldNumber(), 0);
  EXPECT_EQ(key.KeyFields(1)->GetFieldNumber(), 1);
  EXPECT_EQ(key.KeyFields(0)->Field()->Name(), u"Name");
  fields.InsertFieldAt(0, u"First", u"", mvtInt32, 0, 0, false);
  fields.MoveField(2, 0);
  EXPECT_EQ(key.KeyFields(0)->Field()->Name(), u"Name");
  EXPECT_EQ(key.KeyFields(1)->Field()->Name(), u"C");
  EXPECT_EQ(RaisedCode([&] { fields.Clear(true); }), 15502u);
  EXPECT_EQ(fields.FieldCount(), 3);

  // A key field that could not be placed leaves no registration behind,
  // and a deleted one none either.
  EXPECT_THROW(key.Insert(5, 0), Exception);
  EXPECT_EQ(key.KeyFieldCount(), 2);
  key.Delete(0);
  fields.RemoveField(fields.GetFieldFromName(u"Name"));
  fields.RemoveField(fields.GetFieldFromName(u"First"));
  EXPECT_EQ(key.KeyFields(0)->Field()->Name(), u"C");
  EXPECT_EQ(key.KeyFields(0)->GetFieldNumber(), 0);

  // A key field renumbered to its parent's field still leaves the list
  // when it goes, so that later changes reach no freed key field.
  key.KeyFields(0)->SetFieldNumber(mvParentFieldNumber);
  key.Delete(0);
  fields.RemoveField(0);
  EXPECT_EQ(fields.FieldCount(), 0);
}

TEST_F(KeyDescriptors, LocalesOfKeyFields) {
  TTestTable t;
  t.Field(u"Name", mvtNullString, 10)->AddLocaleDescriptor()->SetLocale(0x409);
  t.Field(u"N", mvtInt32);
  TmvCompKeyDescriptor& key = t.Key({0, 1}, &TmvCompKeyDescriptor::StaticClass);
  TmvKeyFieldDescriptor* text = key.KeyFields(0);
  EXPECT_EQ(text->GetUsedLocaleDescriptor(), t.dd.Fields->FieldDescriptor(0)->GetLocaleDescriptor());
  EXPECT_EQ(text->GetUsedStorageCodePage(), 1252);

  // A build under other sort rules asks for a pack, but only for text.
  TmvLocaleDescriptor& locale = *t.dd.Fields->FieldDescriptor(0)->GetLocaleDescriptor();
  locale.CheckValid(true);
  EXPECT_FALSE(t.dd.RequiresPack());
  locale.SetLocale(0x411);
  locale.CheckValid(true);  // the rules of another locale stand in for another system's
  locale.SetLocale(0x409);
  EXPECT_TRUE(text->ItemRequiresPack());
  EXPECT_FALSE(key.KeyFields(1)->ItemRequiresPack());
  EXPECT_TRUE(t.dd.RequiresPack());
}

TEST_F(KeyDescriptors, FreeStandingFieldKeysItself) {
  TmvFieldDescriptor field(nullptr, u"Loose", u"", mvtShortString, 30, 0, true);
  TmvKeyFieldDescriptor keyField(&field, mvParentFieldNumber);
  EXPECT_EQ(keyField.Field(), &field);
  EXPECT_EQ(keyField.KeyLength(), 31);
  EXPECT_FALSE(keyField.CanContainNulls());
  keyField.CheckValid(true);
  TmvDictionaryItem loose(nullptr);
  TmvKeyFieldDescriptor orphan(&loose, mvParentFieldNumber);
  EXPECT_EQ(RaisedCode([&] { orphan.CheckValid(false); }), 9999u);
  TmvKeyFieldDescriptor unrelated(&loose, 3);  // no fields descriptor: nothing to check against
  unrelated.CheckValid(false);
  EXPECT_EQ(unrelated.Field(), nullptr);
  EXPECT_EQ(unrelated.KeyLength(), 0);
}

TEST_F(KeyDescriptors, FiltersInKeys) {
  StandInClasses standIns;
  TTestTable t;
  t.Field(u"A", mvtInt32);
  TmvCompKeyDescriptor& a = t.Key({0});
  TmvCompKeyDescriptor& b = t.Key({0});
  EXPECT_TRUE(a.IsEqual(&b));
  a.SetFilter(new TTestFilter("x > 1"));
  EXPECT_FALSE(a.IsEqual(&b));
  b.SetFilter(new TTestFilter("x < 0"));
  EXPECT_TRUE(a.IsEqual(&b));  // filters count by presence only

  EXPECT_EQ(RaisedCode([&] { Written(a, mvPeerVersionItemIDs - 1); }), 12039u);
  TmvCompKeyDescriptor& copy = t.Key({});
  ReadAll(Written(a), copy);
  ASSERT_NE(copy.GetFilter(), nullptr);
  EXPECT_EQ(static_cast<TTestFilter*>(copy.GetFilter())->Payload, "x > 1");
  EXPECT_TRUE(copy.IsEqual(&a));

  static_cast<TTestFilter*>(a.GetFilter())->Refuse = true;
  String message;
  EXPECT_EQ(RaisedCode([&] { Written(a); }, &message), 12289u);
  EXPECT_EQ(message, u"refused for 47501");
}

// The filter part's bytes: a filter named without its "Descriptor" suffix
// still reads; an unknown one or a failing one raises its code.
TEST_F(KeyDescriptors, FilterPartReading) {
  StandInClasses standIns;
  auto keyWithFilter = [](const std::string& aName, const std::string& aPayload) {
    std::vector<uint8_t> filter = {uint8_t(aName.size())};
    filter.insert(filter.end(), aName.begin(), aName.end());
    filter.insert(filter.end(), aPayload.begin(), aPayload.end());
    return Bytes({{0x02, 0x03, 0x01, 0x00, 0x02, 0x00}, kEmptyString, {0x07, 0x03, 'B', 'K', 'D', 0x02, 0x01, 0x09},
                  {0x02, uint8_t(filter.size())}, filter, {0x02, 0x01}});
  };
  TmvRefKeyDescriptor key(nullptr);
  ReadAll(keyWithFilter("TTestFilter", "abc"), key);
  ASSERT_NE(key.GetFilter(), nullptr);
  EXPECT_EQ(static_cast<TTestFilter*>(key.GetFilter())->Payload, "abc");

  String message;
  EXPECT_EQ(RaisedCode([&] { ReadAll(keyWithFilter("TNoFilter", ""), key); }, &message), 12289u);
  EXPECT_EQ(message, u"Filter descriptor not supported: TNoFilter");
  EXPECT_EQ(key.GetFilter(), nullptr);
  EXPECT_EQ(RaisedCode([&] { ReadAll(keyWithFilter("TTestFilter", "fail"), key); }, &message), 10004u);
  EXPECT_EQ(message, u"bad payload");
  std::vector<uint8_t> bad = keyWithFilter("TTestFilter", "");
  bad[14] = 'X';  // another identifier than "BKD"
  EXPECT_EQ(RaisedCode([&] { ReadAll(bad, key); }), 15498u);
}

TEST_F(KeyDescriptors, FixedKeyBytes) {
  TmvRefKeyDescriptor key(nullptr);
  const std::vector<uint8_t> current = Bytes({{0x02, 0x03, 0x01, 0x00, 0x02, 0x00},
                                              kEmptyString,
                                              {0x07, 0x03, 'B', 'K', 'D', 0x02, 0x01, 0x08},
                                              {0x02, 0x01}});
  EXPECT_EQ(Written(key), current);
  EXPECT_EQ(Written(key, mvPeerVersionItemIDs - 1), (std::vector<uint8_t>{0x02, 0x01, 0x01, 0x00, 0x02, 0x01}));
  TmvRefKeyDescriptor back(nullptr);
  ReadAll(Written(key, mvPeerVersionItemIDs - 1), back);  // no filter part: no filter
  ReadAll(current, back);
  std::vector<uint8_t> bad = current;
  bad.back() = 0x02;
  EXPECT_EQ(RaisedCode([&] { ReadAll(bad, back); }), 15498u);
}

TEST_F(KeyDescriptors, KeyFieldBytes) {
  TmvDictionaryItem loose(nullptr);
  TmvKeyFieldDescriptor keyField(&loose, 3);
  keyField.SetDesc(u"d");
  keyField.SetAscend(false);
  const std::vector<uint8_t> header = Bytes({{0x02, 0x03, 0x01, 0x00, 0x02, 0x00}, kEmptyString});
  EXPECT_EQ(Written(keyField), Bytes({header, {0x02, 0x02}, Str("d"), kEmptyString, {0x08},
                                      {0x02, 0x01, 0x08}, {0x02, 0x00, 0x02, 0x00}, Str("nbTop")}));
  EXPECT_EQ(Written(keyField, mvPeerVersionItemIDs - 1),
            Bytes({{0x02, 0x01, 0x01, 0x00}, {0x02, 0x01}, Str("d"), kEmptyString, {0x08}}));

  keyField.SetNullBehaviour(nbFilterNonNull);
  keyField.SetOverrideLengthChars(4);
  TmvKeyFieldDescriptor back(&loose, 3);
  ReadAll(Written(keyField), back);
  EXPECT_TRUE(back.IsEqual(&keyField));
  EXPECT_EQ(back.GetNullBehaviour(), nbFilterNonNull);
  // An old peer can take neither an override nor an own locale.
  EXPECT_EQ(RaisedCode([&] { Written(keyField, mvPeerVersionItemIDs - 1); }), 12039u);
  keyField.SetOverrideLengthChars(0);
  Written(keyField, mvPeerVersionItemIDs - 1);
  keyField.AddLocaleDescriptor();
  EXPECT_EQ(RaisedCode([&] { Written(keyField, mvPeerVersionItemIDs - 1); }), 12039u);
  // Reading an old form gives the defaults of what it lacks.
  ReadAll(Bytes({{0x02, 0x01, 0x01, 0x00}, {0x02, 0x01}, Str("d"), kEmptyString, {0x09}}), back);
  EXPECT_EQ(back.GetNullBehaviour(), nbTop);
  EXPECT_EQ(back.GetOverrideLengthChars(), 0);

  std::vector<uint8_t> badName = Written(keyField);
  badName[badName.size() - 1] = 'X';  // "nbFilterNonNulX"
  EXPECT_EQ(RaisedCode([&] { ReadAll(badName, back); }), 15498u);
}

TEST_F(KeyDescriptors, ExtTextKeyFieldLocaleForms) {
  TTestTable t;
  t.Field(u"Name", mvtNullString, 20);
  TmvCompKeyDescriptor& key = t.Key({});
  auto* ext = static_cast<TmvExtTextKeyFieldDescriptor*>(key.Add(0, &TmvExtTextKeyFieldDescriptor::StaticClass));
  ext->SetIgnoreCase(true);
  TmvLocaleDescriptor* locale = ext->AddLocaleDescriptor();
  locale->SetLocale(0x407);
  locale->SetFlags(NORM_IGNORENONSPACE | SORT_STRINGSORT);
  auto* text = static_cast<TmvTextKeyFieldDescriptor*>(key.Add(0, &TmvTextKeyFieldDescriptor::StaticClass));

  for (int32_t peer : {mvEngineVersion, mvPeerVersionItemIDs - 1}) {
    TmvCompKeyDescriptor& copy = t.Key({});
    ReadAll(Written(key, peer), copy);
    ASSERT_EQ(copy.KeyFieldCount(), 2);
    EXPECT_TRUE(copy.IsEqual(&key)) << peer;
    EXPECT_EQ(&copy.KeyFields(1)->ClassType(), &TmvTextKeyFieldDescriptor::StaticClass);
    TmvLocaleDescriptor* back = copy.KeyFields(0)->GetLocaleDescriptor();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->GetLocale(), 0x407u);
    EXPECT_EQ(back->GetFlags(), uint32_t(NORM_IGNORENONSPACE | SORT_STRINGSORT));
  }
  text->SetIgnoreCase(true);
  EXPECT_FALSE(key.IsEqual(&t.Key({})));

  // The old locale form has no storage code page.
  locale->SetOverrideStorageCodepage(1252);
  EXPECT_EQ(RaisedCode([&] { Written(key, mvPeerVersionItemIDs - 1); }), 12039u);
  Written(key);
  ext->RemoveLocaleDescriptor();
  TmvCompKeyDescriptor& plain = t.Key({});
  ReadAll(Written(key, mvPeerVersionItemIDs - 1), plain);  // locale 0: none
  EXPECT_EQ(plain.KeyFields(0)->GetLocaleDescriptor(), nullptr);
}

TEST_F(KeyDescriptors, CompositeKeyStreamsAndDamage) {
  StandInClasses standIns;
  TTestTable t;
  t.Field(u"A", mvtInt32);
  t.Field(u"Name", mvtWideString, 40);
  TmvCompKeyDescriptor& key = t.Key({0}, &TmvNoNullCompKeyDescriptor::StaticClass);
  auto* ext = static_cast<TmvExtTextKeyFieldDescriptor*>(key.Add(1, &TmvExtTextKeyFieldDescriptor::StaticClass));
  ext->AddLocaleDescriptor()->SetLocale(0x409);
  ext->SetOverrideLengthChars(8);
  ext->SetKeyFieldEngine(u"Custom");
  key.SetFilter(new TTestFilter("f"));
  const std::vector<uint8_t> good = Written(key);

  TmvCompKeyDescriptor& copy = t.Key({}, &TmvNoNullCompKeyDescriptor::StaticClass);
  ReadAll(good, copy);
  EXPECT_TRUE(copy.IsEqual(&key));
  EXPECT_EQ(copy.GetKeyLen(), key.GetKeyLen());
  copy.KeyFields(1)->SetKeyFieldEngine(u"CUSTOM");  // engine names ignore case
  EXPECT_TRUE(copy.IsEqual(&key));

  // A copy through Assign keeps its own ID.
  TmvCompKeyDescriptor& assigned = t.Key({}, &TmvNoNullCompKeyDescriptor::StaticClass);
  const int32_t id = assigned.GetID();
  assigned.Assign(&key);
  EXPECT_TRUE(assigned.IsEqual(&key));
  EXPECT_EQ(assigned.GetID(), id);

  std::vector<uint8_t> unknownClass = good;
  const std::string name = "TmvExtTextKeyFieldDescriptor";
  auto at = std::search(unknownClass.begin(), unknownClass.end(), name.begin(), name.end());
  ASSERT_NE(at, unknownClass.end());
  *(at + 3) = 'Q';
  String message;
  EXPECT_EQ(RaisedCode([&] { ReadAll(unknownClass, copy); }, &message), 15499u);
  EXPECT_EQ(message, u"KeyFieldDescriptor class is not supported: TmvQxtTextKeyFieldDescriptor");

  TmvCompKeyDescriptor& target = t.Key({}, &TmvNoNullCompKeyDescriptor::StaticClass);
  ReadEveryDamage(
      good, [&](TmvReader& r) { target.LoadFromReader(r); },
      [&] {
        Written(target);
        target.IsEqual(&key);
      });
  // Whatever the damage left, the key fields still guard their fields.
  EXPECT_EQ(RaisedCode([&] { t.dd.Fields->RemoveField(0); }), 15502u);
}

TEST_F(KeyDescriptors, ReadOnlyDictionaryRefusesChanges) {
  TTestTable t;
  t.Field(u"A", mvtInt32);
  TmvCompKeyDescriptor& key = t.Key({0});
  TmvKeyFieldDescriptor* keyField = key.KeyFields(0);
  t.dd.ReadOnly = true;
  for (const auto& change : std::vector<std::function<void()>>{
           [&] { key.Add(0); }, [&] { key.Delete(0); }, [&] { key.Move(0, 0); }, [&] { key.SetFilter(nullptr); },
           [&] { keyField->SetFieldNumber(0); }, [&] { keyField->SetOverrideLengthBytes(3); },
           [&] { keyField->SetAscend(false); }, [&] { keyField->SetNullBehaviour(nbBottom); }})
    EXPECT_EQ(RaisedCode(change), 15500u);
  EXPECT_EQ(key.KeyFieldCount(), 1);
}

}  // namespace
