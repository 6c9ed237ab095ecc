// Tests of field descriptors: size normalisation, validation, the storage
// compatibility of types, values in field buffers, the stream forms and the
// default values that mark special fields.
#include "dictionary/items/mvsdFieldDescriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class FieldDescriptor : public DictionaryTest {};

TEST_F(FieldDescriptor, SetupFieldNormalisesPerType) {
  struct Case {
    TmvFieldType type;
    int32_t units, decPl;
    bool required;
    int32_t wantUnits, wantDecPl, wantLength;
    bool wantRequired;
  } cases[] = {
      {mvtShortString, 300, 0, false, 255, 0, 256, false},
      {mvtShortString, 300, 5, false, 255, 255, 256, false},
      {mvtCurrency, 0, 7, false, 20, 4, 8, false},
      {mvtCurrency, 1, 2, false, 3, 2, 8, false},
      {mvtBCD, 30, 4, true, 20, 4, 8, true},
      {mvtFmtBCD, 10, 70, false, 64, 63, 34, false},
      {mvtFmtBCD, 5, 2, false, 5, 2, 5, false},
      {mvtFmtBCD, 80, -3, false, 64, 0, 34, false},
      {mvtInt32, 11, 3, true, 10, 0, 4, true},
      {mvtInt8, 2, 0, false, 2, 0, 1, false},
      {mvtRefNr, 0, 0, true, 20, 0, 8, false},
      {mvtAutoInc, 3, 1, true, 10, 0, 4, false},
      {mvtRecRev, 0, 0, true, 10, 0, 4, false},
      {mvtDouble, 7, 3, true, 7, 3, 8, true},
      {mvtExtended, 0, 0, false, 0, 0, 10, false},
      {mvtWideString, 10, 1, false, 10, 10, 22, false},
      {mvtNullString, 10, 0, false, 10, 0, 11, false},
      {mvtByteArray, 16, 4, false, 16, 0, 16, false},
      {mvtGuid, 5, 5, false, 0, 0, 16, false},
      {mvtBlobMemo, 5, 5, false, 0, 0, 8, false},
      {mvtWideChar, 9, 9, false, 1, 0, 2, false},
      {TmvFieldType(40), 7, 7, true, 7, 7, 99, true},  // outside the enumeration: unchanged
  };
  for (const Case& c : cases) {
    int32_t units = c.units, decPl = c.decPl, length = 99;
    bool required = c.required;
    TmvFieldDescriptor::SetupField(c.type, units, decPl, required, length);
    EXPECT_EQ(units, c.wantUnits) << int(c.type);
    EXPECT_EQ(decPl, c.wantDecPl) << int(c.type);
    EXPECT_EQ(length, c.wantLength) << int(c.type);
    EXPECT_EQ(required, c.wantRequired) << int(c.type);
  }
  // Units from a damaged stream never wrap the length round to a small value.
  int32_t units = 0x7FFFFFFF, decPl = 0, length = 0;
  bool required = false;
  TmvFieldDescriptor::SetupField(mvtWideString, units, decPl, required, length);
  EXPECT_EQ(length, 0x7FFFFFFF);
}

TEST_F(FieldDescriptor, CheckValid) {
  TTestDictionary dd;
  TmvFieldDescriptor* text = dd.Fields->AddField(u"Text", u"", mvtNullString, 10, 0, false);
  text->CheckValid(true);

  String message;
  auto check = [&](TmvFieldDescriptor* f) { return RaisedCode([&] { f->CheckValid(false); }, &message); };
  // A stored length that disagrees with the type (as read from a stream).
  ReadAll({0x02, 0x03, 0x01, 0x00, 0x02, 0x07, 0x12, 0, 0, 0, 0, 0x02, 0x03, 0x02, 0x00, 0x02, 0x0C, 0x08, 0x08,
           0x02, 0x01, 0x08, 0x08},
          *text);
  EXPECT_EQ(check(text), 10003u);
  EXPECT_EQ(message, u"fdLength is wrong for field 0 (Text). Expected 11 found 12.");

  TmvFieldDescriptor* interval = dd.Fields->AddField(u"Span", u"", mvtInterval, 0, 0, false);
  EXPECT_EQ(check(interval), 10001u);
  EXPECT_EQ(message, u"Interval is not supported as a field type");
  TmvFieldDescriptor* wide = dd.Fields->AddField(u"W", u"", mvtWideString, 0, 0, false);
  EXPECT_EQ(check(wide), 10001u);
  EXPECT_EQ(message, u"Units must be > 0");

  // AutoInc and BLOB fields make sure their table has the engine descriptors.
  dd.Fields->AddField(u"ID", u"", mvtAutoInc, 0, 0, false)->CheckValid(false);
  dd.Fields->AddField(u"Memo", u"", mvtBlobMemo, 0, 0, false)->CheckValid(false);
  EXPECT_EQ(dd.AutoIncEnsured, 1);
  EXPECT_EQ(dd.BlobEnsured, 1);
  TmvFieldDescriptor loose(nullptr, u"ID", u"", mvtAutoInc, 0, 0, false);
  EXPECT_EQ(check(&loose), 8712u);
  EXPECT_EQ(message, u"No Parent of type TmvBaseTableDescriptor could be found");

  EXPECT_EQ(RaisedCode([] { TmvFieldDescriptor bad(nullptr, u"a:b", u"", mvtInt32, 0, 0, false); }), 10038u);
}

// A field whose size parameters a test sets as a damaged or foreign stream
// could carry them (no class record of its own: the same class).
struct RawField : TmvFieldDescriptor {
  using TmvFieldDescriptor::TmvFieldDescriptor;
  void SetSize(int32_t aUnits, int32_t aDecPl) {
    fdUnits = aUnits;
    fdDecPl = aDecPl;
  }
};

TEST_F(FieldDescriptor, IsEqualUsesTheStorageCompatibilityTable) {
  // Normalised, a Currency field never has a RefNr's units and decimals;
  // with equal ones only the types differ.
  RawField currency(nullptr, u"V", u"", mvtCurrency, 0, 0, false);
  RawField refNr(nullptr, u"V", u"", mvtRefNr, 0, 0, false);
  currency.SetSize(20, 0);
  EXPECT_TRUE(currency.IsEqual(&refNr));
  EXPECT_FALSE(refNr.IsEqual(&currency));
  refNr.SetDesc(u"other");
  EXPECT_FALSE(currency.IsEqual(&refNr));

  EXPECT_TRUE(mvFieldTypesStorageCompatible(mvtRefNr, mvtCurrency));
  EXPECT_FALSE(mvFieldTypesStorageCompatible(mvtCurrency, mvtRefNr));
  for (auto [a, b] : {std::pair{mvtWord32, mvtRecRev}, {mvtAutoInc, mvtWord32}, {mvtInt64, mvtRefNr},
                      {mvtBCD, mvtFmtBCD}, {mvtInterval, mvtDateTime}, {mvtBlobWideMemo, mvtBlob}})
    EXPECT_TRUE(mvFieldTypesStorageCompatible(a, b) && mvFieldTypesStorageCompatible(b, a)) << int(a) << int(b);
  for (auto [a, b] : {std::pair{mvtInt32, mvtWord32}, {mvtDate, mvtDateTime}, {mvtCurrency, mvtInt64},
                      {mvtBlob, mvtByteArray}})
    EXPECT_FALSE(mvFieldTypesStorageCompatible(a, b) || mvFieldTypesStorageCompatible(b, a)) << int(a) << int(b);
}

TEST_F(FieldDescriptor, BufferValues) {
  TmvFieldDescriptor number(nullptr, u"N", u"", mvtInt32, 0, 0, false);
  Variant value(int32_t(7));
  number.fdGetBufferAsVariant(nullptr, value);
  EXPECT_TRUE(value.IsNull());

  uint8_t bytes[4] = {1, 2, 3, 4};
  number.fdSetBufferAsVariant(bytes, Variant::Null());
  EXPECT_EQ(std::memcmp(bytes, "\0\0\0\0", 4), 0);
  number.fdSetBufferAsVariant(bytes, Variant(int32_t(0x01020304)));
  number.fdGetBufferAsVariant(bytes, value);
  EXPECT_EQ(value.AsInteger(), 0x01020304);
  // A failed conversion leaves zero bytes and passes the error on.
  EXPECT_ANY_THROW(number.fdSetBufferAsVariant(bytes, Variant(u"not a number")));
  EXPECT_EQ(std::memcmp(bytes, "\0\0\0\0", 4), 0);
}

TEST_F(FieldDescriptor, ToString) {
  TTestDictionary dd;
  dd.Fields->AddField(u"ID", u"", mvtInt32, 0, 0, false);
  dd.Fields->AddField(u"Name", u"", mvtWideString, 30, 0, false);
  dd.Fields->AddField(u"Amount", u"", mvtFmtBCD, 12, 2, false);
  dd.Fields->AddField(u"Image", u"", mvtBlobGraphic, 0, 0, false);
  EXPECT_EQ(dd.Fields->FieldDescriptor(0)->ToString(), u"[0] ID - Int32");
  EXPECT_EQ(dd.Fields->FieldDescriptor(1)->ToString(), u"[1] Name - WideString(30)");
  EXPECT_EQ(dd.Fields->FieldDescriptor(2)->ToString(), u"[2] Amount - FmtBCD(12,2)");
  EXPECT_EQ(dd.Fields->FieldDescriptor(3)->ToString(), u"[3] Image - BlobGraphic");
}

TEST_F(FieldDescriptor, StreamFormsForOldAndNewPeers) {
  StandInClasses standIns;
  TTestDictionary dd;
  TmvFieldDescriptor* field = dd.Fields->AddField(u"Name", u"", mvtNullString, 10, 0, false);
  // Below 20000: version 1 without locale and validations parts.
  EXPECT_EQ(Written(*field, mvPeerVersionItemIDs - 1),
            (std::vector<uint8_t>{0x02, 0x01, 0x01, 0x00, 0x02, 0x01, 0x02, 0x00, 0x02, 0x0B, 0x08, 0x08}));
  field->AddValidations(&TTestValidations::StaticClass);
  EXPECT_EQ(RaisedCode([&] { Written(*field, mvPeerVersionItemIDs - 1); }), 12039u);

  // Round trip with a default value, validations and hidden from clients.
  field->SetNoClientAccess(true);
  auto* guid = dd.Fields->AddField(u"G", u"", mvtGuid, 0, 0, false);
  guid->AddDefaultValue(&TmvAutoGuidDefaultValueDescriptor::StaticClass);
  TmvFieldDescriptor copy(dd.Fields, u"G", u"", mvtGuid, 0, 0, false);
  ReadAll(Written(*guid), copy);
  EXPECT_TRUE(copy.IsEqual(guid));
  ASSERT_NE(copy.GetDefaultValue(), nullptr);
  EXPECT_TRUE(copy.GetDefaultValue()->InheritsFrom(TmvAutoGuidDefaultValueDescriptor::StaticClass));
  // A stream without default value leaves the copy without one.
  guid->RemoveDefaultValue();
  ReadAll(Written(*guid), copy);
  EXPECT_EQ(copy.GetDefaultValue(), nullptr);

  // Standalone form round trip; RefNr fields need 47005.
  std::unique_ptr<TmvFieldDescriptor> back;
  ReadAll(Written([&](TmvWriter& w) { field->SaveStandalone(w, mvEngineVersion); }),
          [&](TmvReader& r) { back.reset(TmvFieldDescriptor::CreateStandaloneFromReader(r)); });
  EXPECT_TRUE(back->IsEqual(field));
  EXPECT_TRUE(back->GetNoClientAccess());
  ASSERT_NE(back->GetValidations(), nullptr);
  TmvFieldDescriptor refNr(nullptr, u"R", u"", mvtRefNr, 0, 0, false);
  EXPECT_EQ(RaisedCode([&] { Written([&](TmvWriter& w) { refNr.SaveStandalone(w, mvPeerVersionRefNrFields - 1); }); }),
            12039u);
  Written([&](TmvWriter& w) { refNr.SaveStandalone(w, mvPeerVersionRefNrFields); });

  // Unknown classes and type names are refused.
  String message;
  auto readStandalone = [&](std::vector<uint8_t> bytes) {
    return RaisedCode(
        [&] { ReadAll(bytes, [&](TmvReader& r) { delete TmvFieldDescriptor::CreateStandaloneFromReader(r); }); },
        &message);
  };
  EXPECT_EQ(readStandalone({0x02, 0x01, 0x06, 0x03, 'N', 'o', 't'}), 15499u);
  EXPECT_EQ(message, u"FieldDescriptor class is not supported: Not");
  std::vector<uint8_t> badType = Written([&](TmvWriter& w) { refNr.SaveStandalone(w, mvEngineVersion); });
  auto at = std::search(badType.begin(), badType.end(), std::begin("mvtRefNr"), std::end("mvtRefNr") - 1);
  at[3] = 'X';  // "mvtXefNr"
  EXPECT_EQ(readStandalone(badType), 15498u);
  EXPECT_EQ(readStandalone({0x02, 0x02}), 15498u);
}

TEST_F(FieldDescriptor, DefaultValues) {
  TTestDictionary dd;
  TmvFieldDescriptor* memo = dd.Fields->AddField(u"Memo", u"", mvtBlobMemo, 0, 0, false);
  String message;
  EXPECT_EQ(RaisedCode([&] { memo->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass); }, &message),
            10001u);
  EXPECT_EQ(message, u"\"TmvNextLSNDefaultValueDescriptor\" is not supported for field type \"mvtBlobMemo\"");
  EXPECT_EQ(memo->GetDefaultValue(), nullptr);
  // Without a class the default is a constant, refused there all the same.
  EXPECT_EQ(RaisedCode([&] { memo->AddDefaultValue(); }, &message), 10001u);
  EXPECT_EQ(message, u"\"TmvConstDefaultValueDescriptor\" is not supported for field type \"mvtBlobMemo\"");

  TmvFieldDescriptor* number = dd.Fields->AddField(u"N", u"", mvtInt32, 0, 0, false);
  auto* guid = number->AddDefaultValue(&TmvAutoGuidDefaultValueDescriptor::StaticClass);
  EXPECT_EQ(number->GetRelatedDescriptorOfType(TmvBaseDefaultValueDescriptor::StaticClass), guid);
  EXPECT_EQ(RaisedCode([&] { number->CheckValid(false); }, &message), 10001u);
  EXPECT_EQ(message, u"\"TmvAutoGuidDefaultValueDescriptor\" is not supported for field type \"mvtInt32\"");

  TmvFieldDescriptor* lsn = dd.Fields->AddField(u"LSN", u"", mvtInt64, 0, 0, false);
  auto* next = lsn->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass);
  next->SetApplyAt(mvSetOf({aaClient}));
  next->SetApplyOnInsert(false);
  next->SetOverwriteNonNull(false);
  next->SetApplyOnModify(false);
  EXPECT_EQ(next->GetApplyAt(), mvSetOf({aaServer}));  // fixed settings stay
  EXPECT_TRUE(next->GetApplyOnInsert() && next->GetOverwriteNonNull());
  EXPECT_FALSE(next->GetApplyOnModify());
  lsn->CheckValid(false);
  // Settings other than the creation defaults cannot go to an old peer.
  EXPECT_EQ(RaisedCode([&] { Written(*next, mvPeerVersionItemIDs - 1); }), 12039u);

  TmvFieldDescriptor* g = dd.Fields->AddField(u"G", u"", mvtGuid, 0, 0, false);
  auto* autoGuid = g->AddDefaultValue(&TmvAutoGuidDefaultValueDescriptor::StaticClass);
  EXPECT_EQ(Written(*autoGuid, mvPeerVersionItemIDs - 1), (std::vector<uint8_t>{0x02, 0x01, 0x01, 0x00}));
  // Base part: "BDVD", 1, insert, modify, overwrite, server, client.
  std::vector<uint8_t> bytes = Written(*autoGuid);
  const std::vector<uint8_t> tail = {0x07, 0x04, 'B', 'D', 'V', 'D', 0x02, 0x01, 0x09, 0x08, 0x08, 0x09, 0x09};
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.end() - tail.size()));
  autoGuid->SetApplyOnModify(true);
  ReadAll({0x02, 0x01, 0x01, 0x00, 0x02, 0x05}, [&](TmvReader& r) {
    autoGuid->LoadFromReader(r);  // no marker: the creation defaults
    EXPECT_EQ(r.ReadInteger(), 5);
  });
  EXPECT_FALSE(autoGuid->GetApplyOnModify());
  bytes[bytes.size() - 6] = 0x02;  // body version 2
  EXPECT_EQ(RaisedCode([&] { ReadAll(bytes, *autoGuid); }), 15498u);

  // A cache table keeps only next-LSN defaults.
  g->SetupForCacheTable();
  lsn->SetupForCacheTable();
  EXPECT_EQ(g->GetDefaultValue(), nullptr);
  EXPECT_EQ(lsn->GetDefaultValue(), next);
}

TEST_F(FieldDescriptor, ChangeName) {
  TTestDictionary dd;
  dd.Fields->AddField(u"A", u"", mvtInt32, 0, 0, false);
  TmvFieldDescriptor* b = dd.Fields->AddField(u"B", u"", mvtInt32, 0, 0, false);
  EXPECT_EQ(RaisedCode([&] { b->ChangeName(u"a"); }), 10009u);
  EXPECT_EQ(RaisedCode([&] { b->ChangeName(u"b"); }), 10009u);  // itself included
  EXPECT_EQ(RaisedCode([&] { b->ChangeName(u""); }), 10038u);
  b->ChangeName(u"Bee");
  EXPECT_EQ(dd.Fields->GetFieldFromName(u"BEE"), 1);
  TmvFieldDescriptor loose(nullptr, u"X", u"", mvtInt32, 0, 0, false);
  EXPECT_EQ(RaisedCode([&] { loose.ChangeName(u"Y"); }), 8712u);
}

}  // namespace
