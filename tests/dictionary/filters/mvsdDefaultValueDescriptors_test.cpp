// Tests of the default-value descriptors: the field types each class
// refuses, the constant's value through variants, its stream form (golden
// bytes) per peer, matching it to a changed field with and without
// conversion, a field's own locale read after its default, and damaged
// streams.
#include "dictionary/filters/mvsdDefaultValueDescriptors.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdStreamBytes.h"
#include "dictionary/mvsdTestSupport.h"
#include "platform/Nls.h"

using namespace mvtest;

namespace {

class DefaultValueDescriptors : public DictionaryTest {};

constexpr int32_t kOldPeer = mvPeerVersionItemIDs - 1;

TmvConstDefaultValueDescriptor* AddConstant(TmvFieldDescriptor& aField) {
  return static_cast<TmvConstDefaultValueDescriptor*>(aField.AddDefaultValue());
}

// Every class against every field type: a BLOB type is refused at creation,
// any other refused type by CheckValid, both with the same message.
TEST_F(DefaultValueDescriptors, RefusedFieldTypes) {
  const struct {
    const TmvDictionaryItemClassRef* cls;
    TmvFieldTypes refused;
  } classes[] = {
      {&TmvConstDefaultValueDescriptor::StaticClass, 0x20380000},
      {&TmvCurrentDateTimeDefaultValueDescriptor::StaticClass, 0xFFFC7FFF},
      {&TmvCurrentUserDefaultValueDescriptor::StaticClass, 0xFC7FFFFF},
      {&TmvAutoGuidDefaultValueDescriptor::StaticClass, 0xF7FFFFFF},
      {&TmvEmptyDefaultValueDescriptor::StaticClass, 0x003F8000},
      {&TmvNextLSNDefaultValueDescriptor::StaticClass, 0xFFFFFDFF},
  };
  TTestDictionary dd;
  for (const auto& c : classes) {
    for (int t = 0; t < mvFieldTypeCount; ++t) {
      const auto type = TmvFieldType(t);
      const String name = u"F" + mvIntToStr(t);
      TmvFieldDescriptor* field = dd.Fields->FieldCount() > t ? dd.Fields->FieldDescriptor(t)
                                                               : dd.Fields->AddField(name, u"", type, 5, 0, false);
      const String expected = Format(u"\"%s\" is not supported for field type \"%s\"",
                                     {String(c.cls->ClassName), String(mvFieldTypeEnumNames[t])});
      String message;
      const uint32_t code = RaisedCode(
          [&] {
            field->AddDefaultValue(c.cls);
            EXPECT_EQ(field->GetDefaultValue()->GetUnsupportedFieldTypes(), c.refused);
            field->GetDefaultValue()->CheckValid(false);
          },
          &message);
      const bool refused = mvInSet(c.refused, type) || mvIsBlobFieldType(type);
      EXPECT_EQ(code, refused ? 10001u : 0u) << Utf8(name) << " " << Utf8(String(c.cls->ClassName));
      if (refused) {
        EXPECT_EQ(message, expected);
      }
      if (mvIsBlobFieldType(type)) {
        EXPECT_EQ(field->GetDefaultValue(), nullptr);
      }
    }
  }
}

TEST_F(DefaultValueDescriptors, ConstantTakesTheFieldsFormatAndValues) {
  TTestDictionary dd;
  TmvFieldDescriptor* text = dd.Fields->AddField(u"T", u"", mvtShortString, 8, 0, false);
  TmvConstDefaultValueDescriptor* c = AddConstant(*text);
  EXPECT_EQ(c->GetValueFieldType(), mvtShortString);
  EXPECT_EQ(c->GetValueBytes(), TBytes(9, 0));
  EXPECT_EQ(c->GetAsVariant().AsString(), u"");

  c->SetAsVariant(Variant(u"abc"));
  EXPECT_EQ(c->GetValueBytes(), (TBytes{3, 'a', 'b', 'c', 0, 0, 0, 0, 0}));
  EXPECT_EQ(c->GetAsVariant().AsString(), u"abc");
  // Too wide: the field's conversion error passes, the value is zero.
  EXPECT_THROW(c->SetAsVariant(Variant(u"abcdefghi")), Exception);
  EXPECT_EQ(c->GetValueBytes(), TBytes(9, 0));
  c->SetAsVariant(Variant::Null());
  EXPECT_EQ(c->GetValueBytes(), TBytes(9, 0));

  TmvConstDefaultValueDescriptor* number = AddConstant(*dd.Fields->AddField(u"N", u"", mvtInt32, 0, 0, false));
  number->SetAsVariant(Variant(int32_t(0x01020304)));
  EXPECT_EQ(number->GetAsVariant().AsInteger(), 0x01020304);

  // Equality: the base settings and the value bytes.
  TmvFieldDescriptor* other = dd.Fields->AddField(u"M", u"", mvtInt32, 0, 0, false);
  TmvConstDefaultValueDescriptor* same = AddConstant(*other);
  EXPECT_FALSE(same->IsEqual(number));
  same->SetAsVariant(Variant(int32_t(0x01020304)));
  EXPECT_TRUE(same->IsEqual(number));
  same->SetOverwriteNonNull(true);
  EXPECT_FALSE(same->IsEqual(number));
  EXPECT_FALSE(same->IsEqual(c));
}

// After the item header and the base part: integer 1 and the raw bytes of
// the field's length, for every peer.
TEST_F(DefaultValueDescriptors, ConstantStreamPerPeer) {
  TmvFieldDescriptor field(nullptr, u"N", u"", mvtInt32, 0, 0, false);
  TmvConstDefaultValueDescriptor* c = AddConstant(field);
  c->SetAsVariant(Variant(int32_t(0x01020304)));
  const std::vector<uint8_t> current = Bytes()
                                           .header()
                                           .raw({0x07, 0x04, 'B', 'D', 'V', 'D'})
                                           .integer(1)
                                           .boolean(true)
                                           .boolean(false)
                                           .boolean(false)
                                           .boolean(true)
                                           .boolean(true)
                                           .integer(1)
                                           .raw({0x04, 0x03, 0x02, 0x01})
                                           .b;
  EXPECT_EQ(Written(*c), current);
  const std::vector<uint8_t> old = Bytes().oldHeader().integer(1).raw({0x04, 0x03, 0x02, 0x01}).b;
  EXPECT_EQ(Written(*c, kOldPeer), old);

  for (const auto* bytes : {&current, &old}) {
    TmvFieldDescriptor back(nullptr, u"N", u"", mvtInt32, 0, 0, false);
    TmvConstDefaultValueDescriptor* read = AddConstant(back);
    read->SetApplyOnModify(true);  // an old stream gives the creation defaults
    ReadAll(*bytes, *read);
    EXPECT_TRUE(read->IsEqual(c));
  }

  // Settings other than the creation defaults cannot go to an old peer.
  c->SetApplyOnModify(true);
  EXPECT_EQ(RaisedCode([&] { Written(*c, kOldPeer); }), 12039u);
  std::vector<uint8_t> badVersion = current;
  badVersion[badVersion.size() - 5] = 0x02;
  EXPECT_EQ(RaisedCode([&] { ReadAll(badVersion, *c); }), 15498u);
  // A cut value is a read error, not a short value.
  EXPECT_THROW(ReadAll(std::vector<uint8_t>(current.begin(), current.end() - 1), *c), EReadError);

  TmvConstDefaultValueDescriptor copy(&field);
  copy.Assign(c);
  EXPECT_TRUE(copy.IsEqual(c));
}

// A field that changed since the value was set: reading converts, writing
// the value or the stream first matches, overwriting does not convert.
TEST_F(DefaultValueDescriptors, ConstantFollowsTheField) {
  TReshapableField field(nullptr, u"F", u"", mvtInt16, 0, 0, false);
  TmvConstDefaultValueDescriptor* c = AddConstant(field);
  c->SetAsVariant(Variant(int32_t(-1234)));
  field.Reshape(mvtInt32, 0);
  EXPECT_EQ(c->GetValueLength(), 2);  // nothing happens until it is used
  EXPECT_EQ(c->ValueInFieldFormat(), (TBytes{0x2E, 0xFB, 0xFF, 0xFF}));
  EXPECT_EQ(c->GetValueLength(), 2);  // asking for the converted value changes nothing
  EXPECT_EQ(c->GetAsVariant().AsInteger(), -1234);
  EXPECT_EQ(c->GetValueFieldType(), mvtInt32);
  EXPECT_EQ(c->GetValueBytes(), (TBytes{0x2E, 0xFB, 0xFF, 0xFF}));

  // Text that no longer fits: 10002, the new format and a zero value.
  field.Reshape(mvtShortString, 10);
  c->SetAsVariant(Variant(u"abcdefgh"));
  field.Reshape(mvtShortString, 3);
  EXPECT_THROW(c->ValueInFieldFormat(), EmvBaseException);
  EXPECT_EQ(RaisedCode([&] { c->GetAsVariant(); }), 10002u);
  EXPECT_EQ(c->GetValueBytes(), TBytes(4, 0));
  EXPECT_EQ(c->GetAsVariant().AsString(), u"");

  // Writing the stream converts first, so its byte count is the field's.
  field.Reshape(mvtInt64, 0);
  c->SetAsVariant(Variant(int64_t(7)));
  field.Reshape(mvtInt16, 0);
  const std::vector<uint8_t> bytes = Written(field);
  EXPECT_EQ(c->GetValueBytes(), (TBytes{7, 0}));
  TReshapableField back(nullptr, u"F", u"", mvtInt16, 0, 0, false);
  ReadAll(bytes, back);
  EXPECT_EQ(static_cast<TmvConstDefaultValueDescriptor*>(back.GetDefaultValue())->GetAsVariant().AsInteger(), 7);
  field.Reshape(mvtInt8, 0);
  EXPECT_THROW(c->SetAsVariant(Variant(int32_t(300))), Exception);  // too large
  EXPECT_EQ(c->GetValueBytes(), TBytes{0});

  // Overwriting a value held in an old format does not convert it.
  field.Reshape(mvtShortString, 5);
  c->SetAsVariant(Variant(u"xy"));
  EXPECT_EQ(c->GetAsVariant().AsString(), u"xy");

  // Reading takes as many bytes as the field has now, not as many as a value
  // held in an older format.
  TmvFieldDescriptor wide(nullptr, u"W", u"", mvtInt32, 0, 0, false);
  AddConstant(wide)->SetAsVariant(Variant(int32_t(-5)));
  field.Reshape(mvtInt16, 0);
  c->SetAsVariant(Variant(int32_t(1)));
  field.Reshape(mvtInt32, 0);
  ReadAll(Written(*wide.GetDefaultValue()), *c);
  EXPECT_EQ(c->GetAsVariant().AsInteger(), -5);

  // An Interval field (or a length that disagrees with the type) cannot be
  // converted to or from.
  field.Reshape(mvtInterval, 0);
  EXPECT_EQ(RaisedCode([&] { c->GetAsVariant(); }), 10002u);
  EXPECT_EQ(RaisedCode([&] { c->SetAsVariant(Variant(1.5)); }), 10002u);
}

// The field writes its default before its own locale: the constant's bytes
// are in the code page of that locale, known only once the field is read
// whole. Before, they were taken for the table's code page (here none, so the
// system's 932) and garbled when first converted.
TEST_F(DefaultValueDescriptors, FieldsOwnLocaleReadAfterTheConstant) {
  StandInClasses standIns;
  TTestDictionary dd;
  TmvFieldDescriptor* field = dd.Fields->AddField(u"Name", u"", mvtNullString, 10, 0, false);
  GiveOwnLocale(*field, 1252);
  TmvConstDefaultValueDescriptor* c = AddConstant(*field);
  c->SetAsVariant(Variant(u"caf\u00E9"));
  EXPECT_EQ(c->GetValueBytes()[3], 0xE9);  // the field's code page 1252

  std::vector<uint8_t> bytes = Written([&](TmvWriter& w) { field->SaveStandalone(w, mvEngineVersion); });
  TmvFieldDescriptor* read = nullptr;
  ReadAll(bytes, [&](TmvReader& r) { read = TmvFieldDescriptor::CreateStandaloneFromReader(r); });
  std::unique_ptr<TmvFieldDescriptor> owner(read);
  auto* readBack = static_cast<TmvConstDefaultValueDescriptor*>(read->GetDefaultValue());
  EXPECT_EQ(readBack->GetValueCodePage(), 1252);
  EXPECT_EQ(readBack->GetAsVariant().AsString(), u"caf\u00E9");
  EXPECT_TRUE(read->IsEqual(field));

  // Copying the field goes the same way.
  TTestDictionary other;
  TmvFieldDescriptor* copy = other.Fields->AddField(field);
  EXPECT_EQ(static_cast<TmvConstDefaultValueDescriptor*>(copy->GetDefaultValue())->GetAsVariant().AsString(),
            u"caf\u00E9");
}

// A double constant reads and streams the same under a decimal comma.
TEST_F(DefaultValueDescriptors, DecimalCommaLocale) {
  TmvFieldDescriptor field(nullptr, u"D", u"", mvtDouble, 0, 0, false);
  TmvConstDefaultValueDescriptor* c = AddConstant(field);
  c->SetAsVariant(Variant(1.5));
  const std::vector<uint8_t> before = Written(field);
  const LCID saved = GetThreadLocale();
  ASSERT_TRUE(SetThreadLocale(0x407));  // German: decimal comma
  c->SetAsVariant(Variant(u"2,5"));
  const double read = c->GetAsVariant().AsDouble();
  c->SetAsVariant(Variant(1.5));
  const std::vector<uint8_t> after = Written(field);
  SetThreadLocale(saved);
  EXPECT_EQ(read, 2.5);
  EXPECT_EQ(after, before);
}

// A field stream with a text constant and an own locale, damaged at every
// byte: it reads or fails with an error, and what it reads can be used.
// A length no field can have is refused before anything is allocated.
TEST_F(DefaultValueDescriptors, DamagedFieldStreams) {
  StandInClasses standIns;
  TmvFieldDescriptor field(nullptr, u"S", u"", mvtShortString, 6, 0, false);
  GiveOwnLocale(field, 1252);
  AddConstant(field)->SetAsVariant(Variant(u"abc"));
  const std::vector<uint8_t> good = Written([&](TmvWriter& w) { field.SaveStandalone(w, mvEngineVersion); });
  std::unique_ptr<TmvFieldDescriptor> read;
  ReadEveryDamage(
      good, [&](TmvReader& r) { read.reset(TmvFieldDescriptor::CreateStandaloneFromReader(r)); },
      [&] {
        auto* c = dynamic_cast<TmvConstDefaultValueDescriptor*>(read->GetDefaultValue());
        if (!c) return;
        try {
          c->GetAsVariant();
          c->SetAsVariant(Variant(u"x"));
        } catch (const EAssertionFailed& e) {
          ADD_FAILURE() << Utf8(e.Message());
        } catch (const Exception&) {
        }
      });

  // The field's own part claiming a length of 0x7FFFFFFF, then a constant.
  const std::vector<uint8_t> damaged = Bytes()
                                           .header()
                                           .integer(3)
                                           .integer(0)
                                           .raw({0x04, 0xFF, 0xFF, 0xFF, 0x7F})
                                           .boolean(true)
                                           .str("TmvConstDefaultValueDescriptor")
                                           .b;
  TmvFieldDescriptor huge(nullptr, u"S", u"", mvtInt32, 0, 0, false);
  String message;
  EXPECT_EQ(RaisedCode([&] { ReadAll(damaged, huge); }, &message), 10003u);
  EXPECT_EQ(huge.GetDefaultValue(), nullptr);
  EXPECT_EQ(message, u"Field length 2147483647 is out of range");
}

}  // namespace
