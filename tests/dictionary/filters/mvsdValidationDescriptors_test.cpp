// Tests of the field-validation descriptors: the lists (adding, finding,
// removing, the class rule), the sides a validation applies at, min/max
// limits as variants, the checks, equality, and the stream forms with their
// golden bytes, old peers and damage.
#include "dictionary/filters/mvsdValidationDescriptors.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class ValidationDescriptors : public DictionaryTest {};

template <typename D>
D* AddTo(TmvFieldValidationsDescriptor& aList, const String& aName) {
  return static_cast<D*>(aList.AddValidation(aName, &D::StaticClass));
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> aParts) {
  std::vector<uint8_t> all;
  for (const auto& part : aParts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
std::vector<uint8_t> Str(const std::string& s) {  // vaString, length, bytes
  std::vector<uint8_t> b = {0x06, uint8_t(s.size())};
  b.insert(b.end(), s.begin(), s.end());
  return b;
}
const std::vector<uint8_t> kEmptyString = {0x12, 0x00, 0x00, 0x00, 0x00};
// Item header of an item with ID 0, no custom strings, no constraint name.
const std::vector<uint8_t> kHeader = Cat({{0x02, 0x03, 0x01, 0x00, 0x02, 0x00}, kEmptyString});

TEST_F(ValidationDescriptors, ListsAddFindRemove) {
  TTestTable t;
  TmvFieldValidationsDescriptor& list = *t.Field(u"Qty", mvtInt32)->EnsureValidations();
  auto* range = AddTo<TmvMinMaxValidationDescriptor>(list, u"Range");
  AddTo<TmvNoChangeValidationDescriptor>(list, u"Fixed");
  AddTo<TmvSqlCheckValidationDescriptor>(list, u"Even");
  EXPECT_EQ(list.ValidationCount(), 3);
  EXPECT_EQ(list.ValidationDescriptor(0), range);
  EXPECT_EQ(range->GetParent(), &list);
  EXPECT_EQ(range->GetApplyAt(), mvSetOf({aaServer}));
  EXPECT_EQ(list.GetValidationDescriptorFromName(u"FIXED"), 1);
  EXPECT_EQ(list.GetValidationDescriptorFromName(u"None"), -1);
  EXPECT_EQ(list.GetValidationDescriptorFromClassName(u"tmvsqlcheckvalidationdescriptor"), 2);

  String message;
  EXPECT_EQ(RaisedCode([&] { list.AddValidation(u"range", &TmvNoChangeValidationDescriptor::StaticClass); }, &message),
            10009u);
  EXPECT_EQ(message, u"Duplicated validation descriptor name: range");
  EXPECT_EQ(RaisedCode([&] { list.AddValidation(u"", &TmvNoChangeValidationDescriptor::StaticClass); }), 10068u);
  EXPECT_EQ(RaisedCode([&] { list.AddValidation(u" x", &TmvNoChangeValidationDescriptor::StaticClass); }), 10068u);
  // The abstract roots cannot stand in a list: a stream could not name them.
  EXPECT_EQ(RaisedCode([&] { list.AddValidation(u"Plain"); }, &message), 15499u);
  EXPECT_EQ(message, u"ValidationDescriptor class is not supported: TmvBaseFieldValidationDescriptor");
  EXPECT_EQ(list.ValidationCount(), 3);

  // A record-level list takes record-level validations only.
  TmvFieldsValidationsDescriptor& rows = *t.dd.Fields->EnsureValidations();
  EXPECT_EQ(RaisedCode([&] { rows.AddValidation(u"R", &TmvMinMaxValidationDescriptor::StaticClass); }, &message),
            9986u);
  EXPECT_EQ(message,
            u"TmvFieldsValidationsDescriptor.AddValidation: aClass must be of type "
            u"TmvBaseFieldsValidationDescriptor but is of type TmvMinMaxValidationDescriptor");
  EXPECT_NE(AddTo<TmvSqlCheckValidationDescriptor>(rows, u"R"), nullptr);

  list.RemoveValidation(7);
  list.RemoveValidation(u"none");
  list.RemoveValidation(u"FIXED");
  list.RemoveValidation(0);
  ASSERT_EQ(list.ValidationCount(), 1);
  EXPECT_EQ(list.ValidationDescriptor(0)->GetName(), u"Even");

  auto* kept = AddTo<TmvMinMaxValidationDescriptor>(*t.Field(u"Price", mvtInt32)->EnsureValidations(), u"Range");
  t.dd.ReadOnly = true;
  const std::function<void()> changes[] = {
      [&] { list.AddValidation(u"More", &TmvNoChangeValidationDescriptor::StaticClass); },
      [&] { list.RemoveValidation(0); },
      [&] { list.ValidationDescriptor(0)->SetApplyAt(0); },
      [&] { static_cast<TmvSqlCheckValidationDescriptor*>(list.ValidationDescriptor(0))->SetConstraint(u"x"); },
      [&] { kept->AddKeyField(); },
      [&] { kept->SetMinAsVariant(Variant(1)); },
  };
  for (const auto& change : changes) EXPECT_EQ(RaisedCode(change), 15500u);
}

TEST_F(ValidationDescriptors, SqlCheckAppliesAtTheServerOnly) {
  TmvSqlCheckValidationDescriptor check(nullptr, u"C");
  check.SetApplyAt(mvSetOf({aaClient}));
  EXPECT_EQ(check.GetApplyAt(), 0u);
  check.SetApplyAt(mvSetOf({aaServer, aaClient}));
  EXPECT_EQ(check.GetApplyAt(), mvSetOf({aaServer}));
  // A stream that claims the client side reads back without it.
  std::vector<uint8_t> bytes = Written(check);
  ASSERT_EQ(bytes[kHeader.size() + 3], 0x08);  // the aaClient boolean
  bytes[kHeader.size() + 3] = 0x09;
  bytes[kHeader.size() + 2] = 0x08;
  ReadAll(bytes, check);
  EXPECT_EQ(check.GetApplyAt(), 0u);
  EXPECT_EQ(Written(check)[kHeader.size() + 3], 0x08);
}

TEST_F(ValidationDescriptors, MinMaxLimitsAsVariants) {
  TTestTable t;
  TmvFieldValidationsDescriptor& list = *t.Field(u"Qty", mvtInt16)->EnsureValidations();
  auto* range = AddTo<TmvMinMaxValidationDescriptor>(list, u"Range");
  EXPECT_TRUE(range->GetMinAsVariant().IsEmpty());
  range->SetMinAsVariant(Variant(int32_t(-2)));
  range->SetMaxAsVariant(Variant(u"300"));
  EXPECT_EQ(range->GetMin(), (TBytes{0xFE, 0xFF}));  // the field's bytes
  EXPECT_EQ(range->GetMinAsVariant().AsInteger(), -2);
  EXPECT_EQ(range->GetMaxAsVariant().AsInteger(), 300);
  range->SetMaxAsVariant(Variant::Null());
  EXPECT_TRUE(range->GetMax().empty());
  // A value the field cannot take leaves no limit and says why.
  EXPECT_THROW(range->SetMinAsVariant(Variant(u"many")), Exception);
  EXPECT_TRUE(range->GetMin().empty());
  EXPECT_THROW(range->SetMinAsVariant(Variant(int32_t(70000))), Exception);
  EXPECT_TRUE(range->GetMin().empty());
}

// Limits given as text under a decimal comma are the same numbers, and the
// stream does not depend on the locale.
TEST_F(ValidationDescriptors, DecimalCommaLocale) {
  TTestTable t;
  auto* range = AddTo<TmvMinMaxValidationDescriptor>(*t.Field(u"D", mvtDouble)->EnsureValidations(), u"Range");
  range->SetMinAsVariant(Variant(1.5));
  const std::vector<uint8_t> before = Written(*range);
  const LCID saved = GetThreadLocale();
  ASSERT_TRUE(SetThreadLocale(0x407));  // German: decimal comma
  range->SetMinAsVariant(Variant(u"2,5"));
  const double read = range->GetMinAsVariant().AsDouble();
  range->SetMinAsVariant(Variant(1.5));
  const std::vector<uint8_t> after = Written(*range);
  SetThreadLocale(saved);
  EXPECT_EQ(read, 2.5);
  EXPECT_EQ(after, before);
}

TEST_F(ValidationDescriptors, Checks) {
  TTestTable t;
  TmvFieldDescriptor* qty = t.Field(u"Qty", mvtInt32);
  auto* range = AddTo<TmvMinMaxValidationDescriptor>(*qty->EnsureValidations(), u"Range");
  // A missing key field is added, on the validation's own field.
  range->CheckValid(true);
  ASSERT_NE(range->GetKeyField(), nullptr);
  EXPECT_EQ(range->GetKeyField()->GetFieldNumber(), mvParentFieldNumber);
  EXPECT_EQ(range->GetKeyField()->Field(), qty);

  // Comparing validations refuse BLOB fields.
  TmvFieldValidationsDescriptor& memos = *t.Field(u"Memo", mvtBlobMemo)->EnsureValidations();
  String message;
  for (auto* cls : {&TmvMinMaxValidationDescriptor::StaticClass, &TmvNoChangeValidationDescriptor::StaticClass}) {
    TmvBaseFieldValidationDescriptor* v = memos.AddValidation(u"V", cls);
    EXPECT_EQ(RaisedCode([&] { memos.CheckValid(true); }, &message), 10001u);
    EXPECT_EQ(message, u"\"" + cls->Name() + u"\" is not supported for field type \"mvtBlobMemo\"");
    EXPECT_EQ(v->GetInvalidFieldTypes(), 0x20380000u);
    memos.RemoveValidation(0);
  }
  AddTo<TmvSqlCheckValidationDescriptor>(memos, u"Sql");
  memos.CheckValid(true);  // a CHECK may read a BLOB field

  // Names are unique in a list, ignoring case; a stream may say otherwise.
  TmvFieldValidationsDescriptor& twice = *t.Field(u"Twice", mvtInt32)->EnsureValidations();
  AddTo<TmvNoChangeValidationDescriptor>(twice, u"A");
  AddTo<TmvNoChangeValidationDescriptor>(twice, u"B");
  std::vector<uint8_t> bytes = Written(twice);
  const std::vector<uint8_t> nameB = Str("B");
  auto at = std::search(bytes.begin(), bytes.end(), nameB.begin(), nameB.end());
  ASSERT_NE(at, bytes.end());
  at[2] = 'a';
  ReadAll(bytes, twice);
  EXPECT_EQ(RaisedCode([&] { twice.CheckValid(true); }, &message), 10009u);
  EXPECT_EQ(message, u"Duplicated validation descriptor name: a");

  // A min/max on the record level has no field to stand on.
  EXPECT_EQ(RaisedCode([&] { TmvMinMaxValidationDescriptor(t.dd.Fields, u"M").CheckValid(true); }), 8712u);
}

// A limit set before its field changed no longer fits it: it could be
// neither compared nor written so that it reads back.
TEST_F(ValidationDescriptors, LimitsThatNoLongerFitTheirField) {
  TTestDictionary dd;
  auto* field = static_cast<TReshapableField*>(
      dd.Fields->AddField(u"N", u"", mvtInt32, 0, 0, false, &TReshapableField::StaticClass));
  auto* range = AddTo<TmvMinMaxValidationDescriptor>(*field->EnsureValidations(), u"Range");
  range->SetMaxAsVariant(Variant(int32_t(10)));
  field->Reshape(mvtInt64, 0);
  dd.Fields->UpdateSetupAndOffsets();
  String message;
  EXPECT_EQ(RaisedCode([&] { range->CheckValid(true); }, &message), 10001u);
  EXPECT_EQ(message,
            u"A limit of validation \"Range\" has 4 bytes, but field \"N\" has 8: the field changed after the limit "
            u"was set");
  EXPECT_EQ(RaisedCode([&] { Written(*dd.Fields); }), 10001u);
  EXPECT_EQ(RaisedCode([&] { range->GetMaxAsVariant(); }), 10001u);
  range->SetMaxAsVariant(Variant(int32_t(10)));  // set again in the new form
  range->CheckValid(true);
  EXPECT_EQ(range->GetMax().size(), 8u);
}

TEST_F(ValidationDescriptors, Equality) {
  TTestTable a, b;
  TmvFieldValidationsDescriptor& la = *a.Field(u"N", mvtInt32)->EnsureValidations();
  TmvFieldValidationsDescriptor& lb = *b.Field(u"N", mvtInt32)->EnsureValidations();
  auto* ra = AddTo<TmvMinMaxValidationDescriptor>(la, u"Range");
  auto* rb = AddTo<TmvMinMaxValidationDescriptor>(lb, u"Other");  // the name takes no part
  auto* ca = AddTo<TmvSqlCheckValidationDescriptor>(la, u"C");
  auto* cb = AddTo<TmvSqlCheckValidationDescriptor>(lb, u"C");
  EXPECT_TRUE(la.IsEqual(&lb));
  ca->SetErrorMessage(u"differs");  // the message takes no part
  EXPECT_TRUE(la.IsEqual(&lb));

  const std::function<void()> differences[] = {
      [&] { ra->SetApplyAt(mvSetOf({aaClient})); },
      [&] { ra->SetMinAsVariant(Variant(int32_t(1))); },
      [&] { ra->AddKeyField()->SetAscend(false); },
      [&] { ca->SetConstraint(u"N > 0"); },
      [&] { la.RemoveValidation(1); },
  };
  for (const auto& differ : differences) {
    differ();
    EXPECT_FALSE(la.IsEqual(&lb));
    EXPECT_FALSE(lb.IsEqual(&la));
    // Make b follow a through its stream form.
    ReadAll(Written(la), lb);
    EXPECT_TRUE(la.IsEqual(&lb));
  }
  (void)rb, (void)cb;
}

// Golden bytes of a record-level list holding one CHECK validation.
TEST_F(ValidationDescriptors, SqlCheckStreamBytes) {
  TmvFieldsValidationsDescriptor list(nullptr);
  auto* check = AddTo<TmvSqlCheckValidationDescriptor>(list, u"C");
  check->SetConstraint(u"x>0");
  const std::vector<uint8_t> body = Cat({kHeader,
                                         {0x02, 0x01, 0x09, 0x08},  // version 1, server, not client
                                         {0x02, 0x01},
                                         Str("x>0"),
                                         kEmptyString});
  EXPECT_EQ(Written(*check), body);
  EXPECT_EQ(Written(list),
            Cat({kHeader, {0x02, 0x01, 0x02, 0x01}, Str("TmvSqlCheckValidationDescriptor"), Str("C"), body}));

  // Old peers cannot take validations.
  EXPECT_EQ(RaisedCode([&] { Written(list, mvPeerVersionItemIDs - 1); }), 12039u);
  EXPECT_EQ(RaisedCode([&] { Written(*check, mvPeerVersionItemIDs - 1); }), 12039u);

  // Stream versions other than 1 and unknown classes are refused.
  std::vector<uint8_t> badVersion = Written(*check);
  badVersion[kHeader.size() + 1] = 2;
  EXPECT_EQ(RaisedCode([&] { ReadAll(badVersion, *check); }), 15498u);
  std::vector<uint8_t> unknown = Written(list);
  unknown[kHeader.size() + 6] = 'X';  // "XmvSqlCheck..."
  String message;
  EXPECT_EQ(RaisedCode([&] { ReadAll(unknown, list); }, &message), 15499u);
  EXPECT_EQ(message, u"ValidationDescriptor class is not supported: XmvSqlCheckValidationDescriptor");
}

// A table's validations travel with the fields descriptor and come back
// equal; a copy made by Assign is equal too.
TEST_F(ValidationDescriptors, RoundTripThroughTheFieldsDescriptor) {
  TTestTable a;
  TmvFieldDescriptor* name = a.Field(u"Name", mvtShortString, 20);
  GiveOwnLocale(*name, 1252);
  auto* range = AddTo<TmvMinMaxValidationDescriptor>(*name->EnsureValidations(), u"Range");
  range->SetMinAsVariant(Variant(u"B"));
  range->SetMaxAsVariant(Variant(u"caf\u00E9"));
  static_cast<TmvTextKeyFieldDescriptor*>(range->AddKeyField(&TmvTextKeyFieldDescriptor::StaticClass))
      ->SetIgnoreCase(true);
  AddTo<TmvNoChangeValidationDescriptor>(*name->GetValidations(), u"Fixed")->SetApplyAt(mvSetOf({aaClient}));
  auto* rows = AddTo<TmvSqlCheckValidationDescriptor>(*a.dd.Fields->EnsureValidations(), u"Rows");
  rows->SetConstraint(u"Name <> '\u65E5\u672C'");
  rows->SetErrorMessage(u"Name \u65E5\u672C is refused");
  a.dd.Fields->CheckValid(true);

  TTestDictionary b;
  ReadAll(Written(*a.dd.Fields), *b.Fields);
  EXPECT_TRUE(b.Fields->IsEqual(a.dd.Fields));
  auto* back = static_cast<TmvMinMaxValidationDescriptor*>(b.Fields->FieldDescriptor(0)->GetValidations()->ValidationDescriptor(0));
  EXPECT_EQ(back->GetMaxAsVariant().AsString(), u"caf\u00E9");
  EXPECT_EQ(back->GetKeyField()->Field(), b.Fields->FieldDescriptor(0));
  auto* backRows = static_cast<TmvSqlCheckValidationDescriptor*>(b.Fields->GetValidations()->ValidationDescriptor(0));
  EXPECT_EQ(backRows->GetErrorMessage(), rows->GetErrorMessage());

  TTestDictionary c;
  TmvFieldDescriptor* copy = c.Fields->AddField(name);
  EXPECT_TRUE(copy->IsEqual(name));
  copy->Assign(b.Fields->FieldDescriptor(0));
  EXPECT_TRUE(copy->IsEqual(name));
}

// A field stream with a list of every kind, damaged at every byte: it
// reads or fails with an error, and what it reads can be checked and
// written again.
TEST_F(ValidationDescriptors, DamagedStreams) {
  TTestTable t;
  TmvFieldDescriptor* field = t.Field(u"N", mvtInt32);
  TmvFieldValidationsDescriptor& list = *field->EnsureValidations();
  auto* range = AddTo<TmvMinMaxValidationDescriptor>(list, u"R");
  range->SetMinAsVariant(Variant(int32_t(1)));
  range->AddKeyField();
  AddTo<TmvNoChangeValidationDescriptor>(list, u"F");
  AddTo<TmvSqlCheckValidationDescriptor>(list, u"C")->SetConstraint(u"N>0");
  const std::vector<uint8_t> good = Written(list);

  TmvFieldDescriptor* target = t.Field(u"M", mvtInt32);
  TmvFieldValidationsDescriptor& read = *target->EnsureValidations();
  ReadEveryDamage(
      good, [&](TmvReader& r) { read.LoadFromReader(r); },
      [&] {
        try {
          read.CheckValid(true);
          Written(read);
        } catch (const EAssertionFailed& e) {
          ADD_FAILURE() << Utf8(e.Message());
        } catch (const Exception&) {
        }
      });
  ReadAll(good, read);
  EXPECT_TRUE(read.IsEqual(&list));
}


// A field whose stream claims a length its type cannot have, or more bytes
// than the stream holds, is refused before its limits are read: as many
// bytes are never allocated, a negative count never reaches the standard
// library.
TEST_F(ValidationDescriptors, AStoredFieldLengthIsCheckedBeforeTheLimitsAreRead) {
  TmvFieldDescriptor field(nullptr, u"N", u"", mvtInt32, 0, 0, false);
  auto* range = AddTo<TmvMinMaxValidationDescriptor>(*field.EnsureValidations(), u"R");
  range->SetMinAsVariant(Variant(int32_t(1)));
  range->SetMaxAsVariant(Variant(int32_t(9)));
  const std::vector<uint8_t> good = Written([&](TmvWriter& w) { field.SaveStandalone(w, mvEngineVersion); });
  // The field's own part: version 3, offset 0, length 4.
  const std::vector<uint8_t> own = {0x02, 0x03, 0x02, 0x00, 0x02, 0x04};
  const auto at = std::search(good.begin(), good.end(), own.begin(), own.end());
  ASSERT_NE(at, good.end());
  const size_t lengthAt = size_t(at - good.begin()) + 4;
  for (const auto& length : std::vector<std::vector<uint8_t>>{{0x04, 0x00, 0x00, 0x00, 0x10},  // 0x10000000
                                                               {0x04, 0xFB, 0xFF, 0xFF, 0xFF},  // -5
                                                               {0x02, 0x08},                    // not an Int32's
                                                               {0x04, 0xFF, 0xFF, 0x00, 0x00}}) {
    std::vector<uint8_t> damaged(good.begin(), good.begin() + ptrdiff_t(lengthAt));
    damaged.insert(damaged.end(), length.begin(), length.end());
    damaged.insert(damaged.end(), good.begin() + ptrdiff_t(lengthAt) + 2, good.end());
    std::unique_ptr<TmvFieldDescriptor> read;
    uint32_t code = 0;
    try {
      code = RaisedCode([&] {
        TmvMemoryStream stream;
        stream.Write(damaged.data(), int32_t(damaged.size()));
        stream.SetPosition(0);
        TmvReader reader(stream);
        read.reset(TmvFieldDescriptor::CreateStandaloneFromReader(reader));
      });
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    EXPECT_EQ(code, 15498u) << int(length[1]);
  }
  std::unique_ptr<TmvFieldDescriptor> back;
  ReadAll(good, [&](TmvReader& r) { back.reset(TmvFieldDescriptor::CreateStandaloneFromReader(r)); });
  EXPECT_TRUE(back->IsEqual(&field));
}

}  // namespace
