// Tests of the fields descriptor: the record layout and buffer access, name
// lookups, special fields, list changes with their notifications, the
// stream form (golden bytes, old peers, damaged streams) and the cached
// derived values.
#include "dictionary/items/mvsdFieldsDescriptor.h"

#include <gtest/gtest.h>

#include <cstring>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdTestSupport.h"
#include "platform/Nls.h"

using namespace mvtest;

namespace {

class FieldsDescriptor : public DictionaryTest {};

using Bytes = std::vector<uint8_t>;

uint32_t Word(const Bytes& aRecord, size_t aOffset) {
  uint32_t w;
  std::memcpy(&w, aRecord.data() + aOffset, 4);
  return w;
}

std::vector<int32_t> Offsets(TmvFieldsDescriptor& aFields) {
  std::vector<int32_t> offsets;
  for (int32_t i = 0; i < aFields.FieldCount(); ++i) {
    EXPECT_EQ(aFields.FieldDescriptor(i)->Number(), i);
    offsets.push_back(aFields.FieldDescriptor(i)->Offset());
  }
  return offsets;
}

std::vector<String> Names(TmvFieldsDescriptor& aFields) {
  std::vector<String> names;
  for (int32_t i = 0; i < aFields.FieldCount(); ++i) names.push_back(aFields.FieldDescriptor(i)->Name());
  return names;
}

TEST_F(FieldsDescriptor, RecordLayout) {
  TTestDictionary dd;
  TmvFieldsDescriptor& f = *dd.Fields;
  f.AddField(u"Flag", u"", mvtBoolean, 0, 0, false);
  f.AddField(u"Value", u"", mvtDouble, 0, 0, false);
  f.AddField(u"Code", u"", mvtShortString, 2, 0, false);
  EXPECT_EQ(Offsets(f), (std::vector<int32_t>{0, 1, 9}));
  EXPECT_EQ(f.LogRecLen(), 12);
  EXPECT_EQ(f.LogicalRecordLength(), 12);
  EXPECT_EQ(f.RecordLength(), 16);
  Bytes record(16, 0xAA);
  f.InitRecord(record.data());
  EXPECT_EQ(Word(record, 12), 0x000000FFu);
  EXPECT_EQ(std::count(record.begin(), record.begin() + 12, 0), 12);

  // 33 fields: two bitmap words; field 32 is bit 0 of the second.
  TTestDictionary wide;
  for (int i = 0; i < 33; ++i) wide.Fields->AddField(u"F" + mvIntToStr(i), u"", mvtBoolean, 0, 0, false);
  EXPECT_EQ(wide.Fields->LogicalRecordLength(), 36);
  EXPECT_EQ(wide.Fields->RecordLength(), 44);
  Bytes big(44, 0);
  wide.Fields->InitRecord(big.data());
  EXPECT_EQ(std::count(big.begin() + 36, big.end(), 0xFF), 5);  // (33 + 7) div 8 bytes
  wide.Fields->SetRecordFieldNull(32, big.data(), false);
  EXPECT_EQ(Word(big, 40), 0xFEu);
  EXPECT_TRUE(wide.Fields->IsRecordFieldNull(31, big.data()));

  // Version 1: the bitmap directly after the fields; the record is padded.
  for (int32_t version : {1, 3}) {
    TTestDictionary old;
    old.Version = version;
    old.Fields->AddField(u"A", u"", mvtInt32, 0, 0, false);
    old.Fields->AddField(u"B", u"", mvtInt16, 0, 0, false);
    EXPECT_EQ(old.Fields->LogicalRecordLength(), version == 1 ? 6 : 8);
    EXPECT_EQ(old.Fields->RecordLength(), 12);
    old.Fields->UpdateLogRecLenAlign();
    EXPECT_EQ(old.Fields->LogicalRecordLength(), 8);
  }

  TmvFieldsDescriptor loose(nullptr);
  EXPECT_EQ(RaisedCode([&] { loose.AddField(u"A", u"", mvtInt32, 0, 0, false); }), 8712u);
  loose.InitRecord(record.data());  // no fields: nothing to do
}

TEST_F(FieldsDescriptor, RecordAccess) {
  TTestDictionary dd;
  TmvFieldsDescriptor& f = *dd.Fields;
  f.AddField(u"N", u"", mvtInt32, 0, 0, false);
  f.AddField(u"S", u"", mvtShortString, 3, 0, false);
  f.AddField(u"D", u"", mvtDouble, 0, 0, false);
  Bytes record(size_t(f.RecordLength()), 0);
  f.InitRecord(record.data());

  const int32_t seven = 7;
  f.SetRecordField(0, record.data(), &seven);
  int32_t out = 0;
  bool isNull = true;
  f.GetRecordField(0, record.data(), isNull, &out);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(out, 7);
  f.SetRecordFieldNull(0, record.data(), false);  // not null: bytes kept
  EXPECT_EQ(Word(record, 0), 7u);
  f.SetRecordField(0, record.data(), nullptr);  // nil value: null, zero bytes
  EXPECT_TRUE(f.IsRecordFieldNull(0, record.data()));
  EXPECT_EQ(Word(record, 0), 0u);
  EXPECT_TRUE(f.IsRecordFieldNull(1, nullptr));

  String message;
  EXPECT_EQ(RaisedCode([&] { f.IsRecordFieldNull(3, record.data()); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: 3");
  EXPECT_EQ(RaisedCode([&] { f.fsdGetFieldByNameAsVariant(record.data(), u"none"); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: -1");

  f.fsdSetFieldByNameAsVariant(record.data(), u"s", Variant(u"abc"));
  EXPECT_EQ(f.fsdGetFieldByIndexAsVariant(record.data(), 1).AsString(), u"abc");
  TmvFieldType type;
  uint16_t size;
  const void* value;
  EXPECT_TRUE(f.GetRecordFieldForFilter(1, record.data(), type, size, value));
  EXPECT_EQ(size, 4);
  EXPECT_FALSE(f.GetRecordFieldForFilter(0, record.data(), type, size, value));
  EXPECT_EQ(value, nullptr);
  EXPECT_FALSE(f.GetRecordFieldForFilter(9, record.data(), type, size, value));
  EXPECT_EQ(f.GetRecordFieldForFilter(1, record.data()), record.data() + 4);

  // The filter view of a ShortString: the text behind its length byte, the
  // length limited to the units even when the byte says more.
  bool null;
  uint16_t codePage;
  ImvFieldsSource& source = f;
  EXPECT_TRUE(source.GetFieldForFilter(1, u"", record.data(), type, size, null, value, codePage));
  EXPECT_EQ(size, 3);
  EXPECT_EQ(value, record.data() + 5);
  record[4] = 200;
  source.GetFieldForFilter(1, u"", record.data(), type, size, null, value, codePage);
  EXPECT_EQ(size, 3);
  EXPECT_FALSE(source.GetFieldForFilter(-1, u"", record.data(), type, size, null, value, codePage));
  EXPECT_EQ(source.GetFieldDescriptor(2)->GetName(), u"D");
  record[4] = 3;

  // A value that does not convert leaves the field null, not a zero.
  f.fsdSetFieldByIndexAsVariant(record.data(), 2, Variant(2.5));
  EXPECT_ANY_THROW(f.fsdSetFieldByIndexAsVariant(record.data(), 2, Variant(u"x")));
  EXPECT_TRUE(f.IsRecordFieldNull(2, record.data()));
  f.fsdSetFieldByIndexAsVariant(record.data(), 2, Variant(2.5));
  EXPECT_EQ(f.RecordBufferToString(record.data()), u"N: <?>\r\nS: abc\r\nD: 2.5\r\n");
  f.fsdSetFieldByIndexAsVariant(record.data(), 2, Variant());
  EXPECT_TRUE(f.IsRecordFieldNull(2, record.data()));
}

// A NullString that fills its field without its end can only come from a
// damaged record: reading it is 8962, never a text wider than the field
// (which writing it back would refuse with a platform error).
TEST_F(FieldsDescriptor, AnUnterminatedNullStringIsDamage) {
  TTestDictionary dd;
  TmvFieldsDescriptor& f = *dd.Fields;
  f.AddField(u"T", u"", mvtNullString, 60, 0, false);
  Bytes record(size_t(f.RecordLength()), 0);
  f.InitRecord(record.data());
  f.fsdSetFieldByIndexAsVariant(record.data(), 0, Variant(String(60, u'x')));  // the longest sound text
  EXPECT_EQ(f.fsdGetFieldByIndexAsVariant(record.data(), 0).AsString(), String(60, u'x'));
  record[60] = 'x';  // the terminator overwritten
  String message;
  uint32_t code = 0;
  try {
    code = RaisedCode([&] { f.fsdGetFieldByIndexAsVariant(record.data(), 0); }, &message);
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  EXPECT_EQ(code, 8962u);
  EXPECT_EQ(message, u"Field T (NullString of 60 characters) holds a text without its end");
  EXPECT_EQ(RaisedCode([&] { f.RecordBufferToString(record.data()); }), 8962u);
}

TEST_F(FieldsDescriptor, DecimalCommaLocale) {
  const LCID saved = GetThreadLocale();
  TTestDictionary dd;
  dd.Fields->AddField(u"D", u"", mvtDouble, 0, 0, false);
  const Bytes before = Written(*dd.Fields);
  ASSERT_TRUE(SetThreadLocale(0x407));  // German: decimal comma
  Bytes record(size_t(dd.Fields->RecordLength()), 0);
  dd.Fields->InitRecord(record.data());
  dd.Fields->fsdSetFieldByNameAsVariant(record.data(), u"D", Variant(u"1,5"));
  const double read = dd.Fields->fsdGetFieldByIndexAsVariant(record.data(), 0).AsDouble();
  const Bytes after = Written(*dd.Fields);
  SetThreadLocale(saved);
  EXPECT_EQ(read, 1.5);
  EXPECT_EQ(after, before);  // the stream form does not depend on the locale
}

TEST_F(FieldsDescriptor, NameLookupHashedOrNot) {
  TTestDictionary dd;
  TmvFieldsDescriptor& f = *dd.Fields;
  for (const char16_t* name : {u"ID", u"Name", u"Price", u"Qty", u"When"}) f.AddField(name, u"", mvtInt32, 0, 0, false);
  for (bool cached : {false, true}) {
    if (cached) f.ActivateCache();
    EXPECT_EQ(f.GetFieldFromName(u"NAME"), 1);
    EXPECT_EQ(f.GetFieldFromName(u"when"), 4);
    EXPECT_EQ(f.GetFieldFromName(u"Nam"), -1);
    EXPECT_EQ(f.GetFieldFromNameFast(u"price"), 2);
  }
  f.DeactivateCache();
  String message;
  EXPECT_EQ(RaisedCode([&] { f.AddField(u"NAME", u"", mvtInt32, 0, 0, false); }, &message), 10009u);
  EXPECT_EQ(message, u"Duplicated field name: NAME");
  EXPECT_EQ(f.FieldCount(), 5);

  // No fields: no hash to divide by, and nothing is found.
  TTestDictionary empty;
  empty.Fields->ActivateCache();
  EXPECT_EQ(empty.Fields->GetFieldFromName(u"ID"), -1);

  TStringList list;
  list.Add(u"stale");
  f.GetFields(list);
  ASSERT_EQ(list.Count(), 5);
  EXPECT_EQ(list[3], u"Qty");
  EXPECT_EQ(list.Objects(3), f.FieldDescriptor(3));
}

TEST_F(FieldsDescriptor, SpecialFields) {
  struct Field {
    TmvFieldType type;
    const TmvDictionaryItemClassRef* defaultValue = nullptr;
    bool applyOnModify = false;
  };
  auto build = [](TTestDictionary& dd, const std::vector<Field>& fields) {
    int n = 0;
    for (const Field& f : fields) {
      TmvFieldDescriptor* field = dd.Fields->AddField(u"F" + mvIntToStr(n++), u"", f.type, 0, 0, false);
      if (f.defaultValue) field->AddDefaultValue(f.defaultValue)->SetApplyOnModify(f.applyOnModify);
    }
  };
  const auto* lsn = &TmvNextLSNDefaultValueDescriptor::StaticClass;
  struct Case {
    std::vector<Field> fields;
    uint32_t code;
  } cases[] = {
      {{{mvtAutoInc}, {mvtInt32}, {mvtAutoInc}}, 15501},
      {{{mvtRecRev}, {mvtRecRev}}, 15506},
      {{{mvtRefNr}, {mvtRefNr}}, 15512},
      {{{mvtInt64, lsn, true}, {mvtInt64, lsn, true}}, 15513},
      {{{mvtInt64, lsn, false}, {mvtInt64, lsn, false}}, 15513},
      {{{mvtInt64, lsn, false}, {mvtInt64, lsn, true}, {mvtAutoInc}, {mvtRecRev}, {mvtRefNr}}, 0},
  };
  for (const Case& c : cases) {
    TTestDictionary dd;
    build(dd, c.fields);
    EXPECT_EQ(RaisedCode([&] { dd.Fields->CheckValid(false); }), c.code) << dd.Fields->FieldCount();
  }

  TTestDictionary dd;
  build(dd, {{mvtInt32},
             {mvtInt64, lsn, true},
             {mvtGuid, &TmvAutoGuidDefaultValueDescriptor::StaticClass},
             {mvtBlob},
             {mvtInt64, lsn, false},
             {mvtBlobWideMemo}});
  int32_t field;
  EXPECT_FALSE(dd.Fields->HasAutoIncField(field));
  EXPECT_EQ(field, -1);
  EXPECT_TRUE(dd.Fields->HasModifyLSNField(field));
  EXPECT_EQ(field, 1);
  EXPECT_TRUE(dd.Fields->HasInsertLSNField(field));
  EXPECT_EQ(field, 4);
  EXPECT_TRUE(dd.Fields->HasAutoGuidField(field));
  EXPECT_EQ(field, 2);
  dd.Fields->FieldDescriptor(2)->GetDefaultValue()->SetOverwriteNonNull(true);
  EXPECT_FALSE(dd.Fields->HasAutoGuidField(field));  // only insert-only, non-overwriting ones count

  std::vector<int32_t> blobs;
  EXPECT_TRUE(dd.Fields->HasBlobFields(blobs));
  EXPECT_EQ(blobs, (std::vector<int32_t>{3, 5}));
  TmvList list;
  EXPECT_TRUE(dd.Fields->HasBlobFields(&list));
  EXPECT_EQ(list.Count(), 2);
  EXPECT_TRUE(dd.Fields->HasBlobFields(static_cast<TmvList*>(nullptr)));

  dd.Fields->ActivateCache();
  TmvSpecialFieldsInfo* info = nullptr;
  dd.Fields->GetSpecialFieldsInfo(info);
  EXPECT_EQ(info->sfiFields[sftModifyLSN], 1);
  EXPECT_EQ(info->sfiOffsets[sftModifyLSN], 4);
  EXPECT_EQ(info->sfiOffsets[sftInsertLSN], 4 + 8 + 16 + 8);
  EXPECT_EQ(info->sfiFields[sftAutoGuid], -1);
  EXPECT_EQ(info->sfiFieldsToBlobFields, (std::vector<int32_t>{-1, -1, -1, 0, -1, 1}));
  EXPECT_EQ(dd.Fields->FieldDescriptor(5)->GetBlobIndex(), 1);
  EXPECT_EQ(info->sfiRefCount.load(), 2);  // shared with the cache
  mvReleaseSpecialFieldsInfo(info);

  TTestDictionary none;
  build(none, {{mvtInt32}});
  none.Fields->GetSpecialFieldsInfo(info);
  EXPECT_TRUE(info->sfiFieldsToBlobFields.empty());
  EXPECT_EQ(info->sfiRefCount.load(), 1);  // not cached: the caller's own
  mvReleaseSpecialFieldsInfo(info);
}

TEST_F(FieldsDescriptor, ChangesAreAnnouncedAndHoldersFollow) {
  TTestDictionary dd;
  TmvFieldsDescriptor& f = *dd.Fields;
  f.AddField(u"A", u"", mvtInt32, 0, 0, false);
  f.AddField(u"B", u"", mvtInt64, 0, 0, false);
  f.AddField(u"C", u"", mvtBoolean, 0, 0, false);
  TTestHolder holder(&dd, 1, 0);

  // Removing the field a holder uses is refused in the check pass.
  String message;
  EXPECT_EQ(RaisedCode([&] { f.RemoveField(1); }, &message), 15502u);
  EXPECT_EQ(message, u"Cannot remove field 1 because it is still referenced");
  EXPECT_EQ(Names(f), (std::vector<String>{u"A", u"B", u"C"}));
  EXPECT_EQ(Offsets(f), (std::vector<int32_t>{0, 4, 12}));
  EXPECT_EQ(RaisedCode([&] { f.Clear(true); }), 15502u);
  EXPECT_EQ(f.FieldCount(), 3);

  holder.Calls.clear();
  f.RemoveField(0);
  EXPECT_EQ(holder.Calls, (std::vector<TTestHolder::Call>{{true, 0, -1}, {false, 0, -1}}));
  EXPECT_EQ(holder.FieldNumber, 0);
  EXPECT_EQ(Offsets(f), (std::vector<int32_t>{0, 8}));
  EXPECT_EQ(f.LogRecLen(), 9);

  f.InsertFieldAt(0, u"Z", u"", mvtInt16, 0, 0, false);
  EXPECT_EQ(Names(f), (std::vector<String>{u"Z", u"B", u"C"}));
  EXPECT_EQ(Offsets(f), (std::vector<int32_t>{0, 2, 10}));
  EXPECT_EQ(holder.FieldNumber, 1);
  EXPECT_EQ(RaisedCode([&] { f.InsertFieldAt(4, u"Y", u"", mvtInt16, 0, 0, false); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: 4");

  // Moving field 0 to 2 renumbers and re-places all three.
  f.MoveField(0, 2);
  EXPECT_EQ(Names(f), (std::vector<String>{u"B", u"C", u"Z"}));
  EXPECT_EQ(Offsets(f), (std::vector<int32_t>{0, 8, 9}));
  EXPECT_EQ(holder.FieldNumber, 0);
  f.MoveField(1, 1);
  EXPECT_EQ(RaisedCode([&] { f.MoveField(0, 3); }, &message), 9999u);
  EXPECT_EQ(message, u"Index out of bounds: 3");

  // The last field goes without an apply pass; removals outside do nothing.
  holder.Calls.clear();
  f.RemoveField(2);
  EXPECT_EQ(holder.Calls, (std::vector<TTestHolder::Call>{{true, 2, -1}}));
  f.RemoveField(7);
  f.RemoveField(-1);
  EXPECT_EQ(f.FieldCount(), 2);
  f.CheckValid(false);
}

TEST_F(FieldsDescriptor, CopyAndCompare) {
  StandInClasses standIns;
  TTestDictionary src, dst;
  TmvFieldDescriptor* g = src.Fields->AddField(u"G", u"a guid", mvtGuid, 0, 0, true);
  g->AddDefaultValue(&TmvAutoGuidDefaultValueDescriptor::StaticClass);
  g->SetConstraintName(u"DF_G");
  dst.Fields->AddField(u"First", u"", mvtInt16, 0, 0, false);
  const int32_t nextID = dst.CurrentID + 1;
  TmvFieldDescriptor* copy = dst.Fields->AddField(g);
  EXPECT_EQ(copy->GetID(), nextID);
  EXPECT_EQ(copy->Offset(), 2);
  EXPECT_EQ(copy->GetDesc(), u"a guid");
  ASSERT_NE(copy->GetDefaultValue(), nullptr);
  EXPECT_EQ(dst.Constraints, std::vector<String>{u"DF_G"});
  // A second copy cannot take the same constraint name: the list is as before.
  copy->ChangeName(u"G2");
  EXPECT_EQ(RaisedCode([&] { dst.Fields->AddField(g); }), 10009u);
  EXPECT_EQ(Names(*dst.Fields), (std::vector<String>{u"First", u"G2"}));
  EXPECT_EQ(dst.Fields->LogRecLen(), 18);

  // HasSameFields: count, lengths and storage-compatible types.
  TTestDictionary a, b;
  EXPECT_FALSE(a.Fields->HasSameFields(b.Fields));  // both empty
  a.Fields->AddField(u"X", u"", mvtWord32, 0, 0, false);
  a.Fields->AddField(u"M", u"", mvtBlob, 0, 0, false);
  b.Fields->AddField(u"Y", u"", mvtAutoInc, 0, 0, false);
  b.Fields->AddField(u"N", u"", mvtBlobMemo, 0, 0, false);
  std::vector<int32_t> blobs;
  EXPECT_TRUE(a.Fields->HasSameFields(b.Fields, &blobs));
  EXPECT_EQ(blobs, std::vector<int32_t>{1});
  b.Fields->AddField(u"Z", u"", mvtBoolean, 0, 0, false);
  EXPECT_FALSE(a.Fields->HasSameFields(b.Fields));

  // IsEqual compares the layout and each field, and the record validations.
  TTestDictionary c;
  c.Fields->AddField(u"X", u"", mvtWord32, 0, 0, false);
  c.Fields->AddField(u"M", u"", mvtBlob, 0, 0, false);
  EXPECT_TRUE(c.Fields->IsEqual(a.Fields));
  c.Fields->AddValidations(&TTestFieldsValidations::StaticClass);
  EXPECT_FALSE(c.Fields->IsEqual(a.Fields));

  c.Fields->SetOriginalFieldCount(7);
  EXPECT_EQ(c.Fields->GetOriginalFieldCount(), 7);
  c.Fields->SetOriginalFieldCount(0);
  EXPECT_EQ(c.Fields->GetOriginalFieldCount(), 2);
}

// The value-stream pieces the golden bytes are made of.
struct Golden {
  Bytes bytes;
  Golden& raw(std::initializer_list<uint8_t> b) {
    bytes.insert(bytes.end(), b);
    return *this;
  }
  Golden& integer(uint8_t v) { return raw({0x02, v}); }  // vaInt8
  Golden& text(const std::string& s) {                    // vaString, or the empty vaWString
    if (s.empty()) return raw({0x12, 0, 0, 0, 0});
    raw({0x06, uint8_t(s.size())});
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }
  Golden& boolean(bool v) { return raw({uint8_t(v ? 0x09 : 0x08)}); }
  Golden& header(uint8_t id) { return integer(3).raw({0x01, 0x00}).integer(id).text(""); }
  // Class, name, description, type, units, decimals, required, then the
  // field's own part: header, version 3, offset, length, no default, client
  // access, locale part without locale, no validations.
  Golden& field(uint8_t id, const std::string& name, const std::string& desc, const std::string& type, uint8_t units,
                uint8_t decPl, bool required, uint8_t offset, uint8_t length) {
    text("TmvFieldDescriptor").text(name).text(desc).text(type).integer(units).integer(decPl).boolean(required);
    header(id).integer(3).integer(offset).integer(length).boolean(false).boolean(false);
    return integer(1).boolean(false).boolean(false);
  }
};

TEST_F(FieldsDescriptor, GoldenStream) {
  TTestDictionary dd;  // fields descriptor ID 1, files descriptor ID 2
  dd.Fields->AddField(u"ID", u"", mvtInt32, 0, 0, true);
  dd.Fields->AddField(u"Name", u"Full name", mvtNullString, 20, 0, false);
  dd.Fields->AddField(u"Price", u"", mvtCurrency, 10, 2, false);
  Golden g;
  g.header(1).integer(2).integer(3);
  g.field(3, "ID", "", "mvtInt32", 10, 0, true, 0, 4);
  g.field(4, "Name", "Full name", "mvtNullString", 20, 0, false, 4, 21);
  g.field(5, "Price", "", "mvtCurrency", 10, 2, false, 25, 8);
  g.integer(33).integer(36).boolean(false);
  const Bytes written = Written(*dd.Fields);
  EXPECT_EQ(written, g.bytes);

  // Read back into a fresh descriptor: equal, and valid.
  TmvFieldsDescriptor back(&dd);
  ReadAll(written, back);
  EXPECT_TRUE(back.IsEqual(dd.Fields));
  EXPECT_EQ(back.FieldDescriptor(2)->GetID(), 5);
  back.CheckValid(false);

  EXPECT_EQ(RaisedCode([&] { Written(*dd.Fields, mvPeerVersionItemIDs - 1); }), 12039u);
}

TEST_F(FieldsDescriptor, RefNrFieldsForOlderPeers) {
  TTestDictionary dd;
  dd.Fields->AddField(u"Ref", u"", mvtRefNr, 0, 0, false);
  auto has = [](const Bytes& b, const std::string& s) {
    return std::search(b.begin(), b.end(), s.begin(), s.end()) != b.end();
  };
  mvSetMissingInformation(false);
  const Bytes current = Written(*dd.Fields, mvPeerVersionRefNrFields);
  EXPECT_TRUE(has(current, "mvtRefNr"));
  EXPECT_FALSE(mvGetMissingInformation());
  const Bytes older = Written(*dd.Fields, mvPeerVersionRefNrFields - 1);
  EXPECT_TRUE(has(older, "mvtInt64"));
  EXPECT_FALSE(has(older, "mvtRefNr"));
  EXPECT_TRUE(mvGetMissingInformation());
  mvSetMissingInformation(false);
  TmvFieldsDescriptor back(&dd);
  ReadAll(older, back);
  EXPECT_EQ(back.FieldDescriptor(0)->FieldType(), mvtInt64);
}

TEST_F(FieldsDescriptor, CheckValidOfStoredLayouts) {
  TTestDictionary dd;
  String message;
  EXPECT_EQ(RaisedCode([&] { dd.Fields->CheckValid(false); }, &message), 10003u);
  EXPECT_EQ(message, u"FieldsDescriptor requires a minimum of one field");

  dd.Fields->AddField(u"A", u"", mvtInt32, 0, 0, false);
  dd.Fields->AddField(u"B", u"", mvtInt16, 0, 0, false);
  const Bytes good = Written(*dd.Fields);
  // Patch a stored value and read it back: the check finds it.
  auto patched = [&](size_t aFromEnd, uint8_t aValue) {
    Bytes b = good;
    b[b.size() - aFromEnd] = aValue;
    TmvFieldsDescriptor f(&dd);
    ReadAll(b, f);
    return RaisedCode([&] { f.CheckValid(false); }, &message);
  };
  // Tail: ... offset(B) length(B) ... LogRecLen aligned no-validations.
  EXPECT_EQ(patched(4, 5), 10003u);  // LogRecLen 5 instead of 6
  EXPECT_EQ(message, u"LogRecLen is wrong. Expected 6 found 5.");
  EXPECT_EQ(patched(2, 12), 10003u);  // aligned length 12 instead of 8
  EXPECT_EQ(message, u"LogRecLenAlign is wrong. Expected 8 found 12.");
  EXPECT_EQ(patched(2, 6), 0u);  // a version-1 layout is still one
  EXPECT_EQ(patched(14, 6), 10003u);  // field B's offset
  EXPECT_EQ(message, u"fdOffset is wrong for field 1 (B). Expected 4 found 6.");

  // A record longer than a record buffer can hold.
  TTestDictionary huge;
  huge.Fields->AddField(u"A", u"", mvtByteArray, 60000, 0, false);
  EXPECT_EQ(RaisedCode([&] { huge.Fields->AddField(u"B", u"", mvtByteArray, 6000, 0, false); }), 15495u);
  EXPECT_EQ(huge.Fields->FieldCount(), 1);
}

// Every single-byte change of a stored fields descriptor, and every cut,
// either reads and checks as a layout whose records hold their fields, or
// fails with an error; never more.
TEST_F(FieldsDescriptor, DamagedStreams) {
  TTestDictionary dd;
  dd.Fields->AddField(u"ID", u"", mvtInt32, 0, 0, true);
  dd.Fields->AddField(u"Name", u"", mvtShortString, 20, 0, false);
  dd.Fields->AddField(u"When", u"", mvtDateTime, 0, 0, false);
  const Bytes good = Written(*dd.Fields);
  std::unique_ptr<TmvFieldsDescriptor> f;
  ReadEveryDamage(
      good,
      [&](TmvReader& r) {
        f = std::make_unique<TmvFieldsDescriptor>(&dd);
        f->LoadFromReader(r);
        f->CheckValid(false);
      },
      [&] {
        Bytes record(size_t(f->RecordLength()), 0xAA);
        f->InitRecord(record.data());
        for (int32_t i = 0; i < f->FieldCount(); ++i) {
          std::vector<uint8_t> value(size_t(f->FieldDescriptor(i)->Length()), 0x11);
          f->SetRecordField(i, record.data(), value.data());
          bool isNull;
          f->GetRecordField(i, record.data(), isNull, value.data());
        }
      });
}

TEST_F(FieldsDescriptor, CachedDerivedValues) {
  TTestDictionary dd;
  TmvFieldsDescriptor& f = *dd.Fields;
  f.AddField(u"N", u"", mvtInt32, 0, 0, false);
  f.AddField(u"Rev", u"", mvtRecRev, 0, 0, false);
  f.AddField(u"L", u"", mvtInt64, 0, 0, false)->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass);
  EXPECT_EQ(f.RecordLength(), 20);

  // The words that differ when RecRev and the LSN change: their bytes
  // (words 1 to 3) and the null bitmap (word 4); not the Int32 (word 0).
  TmvDiffCompressorInfo* mine = nullptr;
  f.GetDiffCompressionInfo(mine);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(mine->dciRequiredBits[0], 0x1Eu);
  EXPECT_EQ(mine->dciRefCount.load(), 1);  // not cached: the caller's own
  mvReleaseDiffCompressorInfo(mine);

  f.ActivateCache();
  EXPECT_EQ(f.RecordLength(), 20);
  TmvDiffCompressorInfo* a = nullptr;
  TmvDiffCompressorInfo* b = nullptr;
  f.GetDiffCompressionInfo(a);
  f.GetDiffCompressionInfo(b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->dciRefCount.load(), 3);  // the cache and two callers
  f.GetDiffCompressionInfo(a);          // already holds it: nothing changes
  EXPECT_EQ(a->dciRefCount.load(), 3);
  mvReleaseDiffCompressorInfo(a);
  mvReleaseDiffCompressorInfo(b);

  void* record = mvMemoryPoolAlloc(f.RecordAllocator());
  f.InitRecord(record);
  mvMemoryPoolDispose(f.RecordAllocator(), record);
  f.DeactivateCache();
  f.AddField(u"More", u"", mvtInt32, 0, 0, false);
  EXPECT_EQ(f.RecordLength(), 24);
}

}  // namespace
