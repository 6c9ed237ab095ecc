// Tests of the referential-integrity descriptors: the "RefIntegrity" custom
// descriptor of a table, the checks of references and their target tables,
// relative paths, what a reference refers to, field sources following their
// field, stream forms for old and new peers, refused classes and versions,
// comparison, a frozen dictionary, damaged streams and registration across
// restarts.
#include "dictionary/keys/mvsdRefIntegrityDescriptors.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdStreamBytes.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class RefIntegrity : public DictionaryTest {};

// "master" (ID, Name, Parent; index "ID" on ID) with the nested table
// "detail" (MasterID, Line), which holds the nested table "sub".
struct Schema {
  TmvDataDictionary dd;
  TmvNestedTableDescriptor* detail;
  TmvNestedTableDescriptor* sub;
  Schema() {
    dd.SetBaseName(u"master");
    TmvFieldsDescriptor* fields = dd.GetFieldsDescriptor();
    fields->AddField(u"ID", u"", mvtInt32, 0, 0, true);
    fields->AddField(u"Name", u"", mvtWideString, 20, 0, false);
    fields->AddField(u"Parent", u"", mvtInt32, 0, 0, false);
    static_cast<TmvCompKeyDescriptor*>(dd.GetIndicesDescriptor()->AddIndex(u"ID", 0, idNone, u"")->GetKeyDescriptor())
        ->Add(0);
    detail = dd.GetTablesDescriptor()->AddTable(u"detail");
    detail->AddRecordDescriptor();
    detail->GetFieldsDescriptor()->AddField(u"MasterID", u"", mvtInt32, 0, 0, false);
    detail->GetFieldsDescriptor()->AddField(u"Line", u"", mvtInt32, 0, 0, false);
    sub = detail->GetTablesDescriptor()->AddTable(u"sub");
    sub->AddRecordDescriptor();
    sub->GetFieldsDescriptor()->AddField(u"X", u"", mvtInt32, 0, 0, false);
  }
  TmvRefIntegrityDescriptor* RI() { return mvEnsureRefIntegrityDescriptor(&dd); }
  // The references of a nested table live in its own custom descriptor.
  TmvRefIntegrityDescriptor* RIOf(TmvBaseTableDescriptor* aTable) {
    if (TmvRefIntegrityDescriptor* found = mvFindRefIntegrityDescriptor(aTable)) return found;
    return static_cast<TmvRefIntegrityDescriptor*>(aTable->GetCustomDescsDescriptor()->AddCustom(
        mvRefIntegrityDescriptorName, &TmvRefIntegrityDescriptor::StaticClass));
  }
  // Parent -> ID of the same table, complete for building.
  TmvReferenceDescriptor* SelfReference() {
    TmvReferenceDescriptor* ref = RI()->AddReference(nullptr, &TmvCloneTargetCursorDescriptor::StaticClass);
    static_cast<TmvFieldSourceDescriptor*>(ref->AddSource())->SetFieldNumber(2);
    ref->SetTargetIndex(u"ID");
    ref->AddAction(&TmvCascadeDeleteActionDescriptor::StaticClass);
    return ref;
  }
};

TmvTableTargetCursorDescriptor& TableTarget(TmvReferenceDescriptor* aRef) {
  return static_cast<TmvTableTargetCursorDescriptor&>(*aRef->GetTargetCursor());
}
TmvRelativeTargetCursorDescriptor& RelativeTarget(TmvReferenceDescriptor* aRef) {
  return static_cast<TmvRelativeTargetCursorDescriptor&>(*aRef->GetTargetCursor());
}
TmvFieldSourceDescriptor& FieldSource(TmvReferenceDescriptor* aRef, int32_t aIndex = 0) {
  return static_cast<TmvFieldSourceDescriptor&>(*aRef->Source(aIndex));
}

// The message of the exception aCheck raises; empty when none is raised.
String RaisedMessage(const std::function<void()>& aCheck, uint32_t* aCode = nullptr) {
  String message;
  const uint32_t code = RaisedCode(aCheck, &message);
  if (aCode) *aCode = code;
  return message;
}

TEST_F(RefIntegrity, FindAndEnsureTheCustomDescriptor) {
  Schema s;
  EXPECT_EQ(mvFindRefIntegrityDescriptor(&s.dd), nullptr);
  TmvRefIntegrityDescriptor* ri = mvEnsureRefIntegrityDescriptor(&s.dd);
  ASSERT_NE(ri, nullptr);
  EXPECT_EQ(ri->GetName(), u"RefIntegrity");
  EXPECT_EQ(mvEnsureRefIntegrityDescriptor(&s.dd), ri);
  EXPECT_EQ(mvFindRefIntegrityDescriptor(&s.dd), ri);
  EXPECT_EQ(s.dd.GetCustomDescsDescriptor()->CustomCount(), 1);
  EXPECT_EQ(mvFindRefIntegrityDescriptor(s.detail), nullptr);

  // The name belongs to the referential integrity: another class under it
  // is refused by the class check.
  TmvDataDictionary other;
  other.GetCustomDescsDescriptor()->AddCustom(u"refintegrity");
  EXPECT_THROW(mvFindRefIntegrityDescriptor(&other), EInvalidCast);
  EXPECT_THROW(mvEnsureRefIntegrityDescriptor(&other), EInvalidCast);
  EXPECT_EQ(other.GetCustomDescsDescriptor()->CustomCount(), 1);
}

TEST_F(RefIntegrity, BuildingNeedsSourcesTargetIndexAndActions) {
  Schema s;
  TmvReferenceDescriptor* ref = s.RI()->AddReference();
  TableTarget(ref).SetTableName(u"master");
  EXPECT_EQ(RaisedCode([&] { s.dd.CheckValid(false); }), 0u);
  uint32_t code = 1;
  EXPECT_EQ(RaisedMessage([&] { s.dd.CheckValid(true); }, &code),
            u"TableName: master - Referential Integrity Descriptor - No Referencing Fields");
  EXPECT_EQ(code, 0u);  // a missing part carries no error code
  static_cast<TmvFieldSourceDescriptor*>(ref->AddSource())->SetFieldNumber(2);
  EXPECT_EQ(RaisedMessage([&] { s.dd.CheckValid(true); }),
            u"TableName: master - Referential Integrity Descriptor - Target Index Missing");
  ref->SetTargetIndex(u"ID");
  EXPECT_EQ(RaisedMessage([&] { s.dd.CheckValid(true); }),
            u"TableName: master - Referential Integrity Descriptor - No Actions Selected");
  ref->AddAction();
  EXPECT_EQ(RaisedMessage([&] { s.dd.CheckValid(true); }), u"");
  EXPECT_EQ(s.dd.GetVersion(), 4);

  // Outside a data dictionary the messages have no table name.
  TmvRefIntegrityDescriptor lone(nullptr, u"RefIntegrity");
  TableTarget(lone.AddReference()).SetTableName(u"master");
  EXPECT_EQ(RaisedMessage([&] { lone.CheckValid(true); }), u"Referential Integrity Descriptor - No Referencing Fields");
}

// A table target whose name was never set, or came from a stream, as the
// checks meet it.
class TForcedTableTarget : public TmvTableTargetCursorDescriptor {
 public:
  using TmvTableTargetCursorDescriptor::TmvTableTargetCursorDescriptor;
  void Force(const String& aName) { ttcTableName = aName; }
};

TEST_F(RefIntegrity, TableTargetNames) {
  Schema s;
  TmvTableTargetCursorDescriptor& target = TableTarget(s.RI()->AddReference());
  const struct {
    const char16_t* name;
    uint32_t code;
  } cases[] = {{u"orders", 0}, {u"master:detail", 0}, {u"<sys>", 0},  {u"a:..", 0},
               {u"", 10024},   {u"a/b", 10039},       {u"a:", 10039}, {u"$sys", 10039}};
  for (const auto& c : cases) {
    target.SetTableName(u"kept");
    EXPECT_EQ(RaisedCode([&] { target.SetTableName(c.name); }), c.code) << Utf8(c.name);
    EXPECT_EQ(target.GetTableName(), c.code ? String(u"kept") : String(c.name)) << Utf8(c.name);
  }
  String message;
  EXPECT_EQ(RaisedCode([&] { target.SetTableName(u"a|b"); }, &message), 10039u);
  EXPECT_EQ(message, u"Invalid table name. \"|\" is not a valid character.");

  TForcedTableTarget forced(nullptr);
  EXPECT_EQ(RaisedCode([&] { forced.CheckValid(false); }, &message), 10024u);
  EXPECT_EQ(message, u"Referential Integrity Target Table Name must be set");
  forced.Force(u"a/b");
  EXPECT_EQ(RaisedCode([&] { forced.CheckValid(false); }, &message), 10039u);
  EXPECT_EQ(message, u"Referential Integrity Target Table Name Invalid [a/b]");
  forced.Force(u"orders:lines");
  EXPECT_EQ(RaisedCode([&] { forced.CheckValid(false); }), 0u);
}

TEST_F(RefIntegrity, RelativeTargetsResolveFromTheOwningTableOrTheRoot) {
  Schema s;
  const struct {
    TmvBaseTableDescriptor* owner;
    const char16_t* path;
    const char16_t* full;
  } cases[] = {{&s.dd, u".detail", u"master:detail"},
               {&s.dd, u"detail", u"master:detail"},
               {&s.dd, u".:detail:sub", u"master:detail:sub"},
               {s.detail, u".sub", u"master:detail:sub"},
               {s.detail, u"SUB", nullptr},  // from the root, which has no "sub"
               {s.detail, u"detail:sub", u"master:detail:sub"},
               {s.detail, u".", u"master:detail"},
               {s.detail, u"..", u"master"},
               {s.sub, u"..:..:detail", u"master:detail"},
               {s.sub, u".detail", nullptr}};
  for (const auto& c : cases) {
    TmvReferenceDescriptor* ref =
        s.RIOf(c.owner)->AddReference(nullptr, &TmvRelativeTargetCursorDescriptor::StaticClass);
    RelativeTarget(ref).SetTableName(c.path);
    if (c.full) {
      EXPECT_EQ(ref->GetTargetCursor()->ReferencedTableName(), c.full) << Utf8(c.path);
      EXPECT_EQ(RaisedCode([&] { ref->GetTargetCursor()->CheckValid(true); }), 0u) << Utf8(c.path);
    } else {
      EXPECT_EQ(RaisedCode([&] { ref->GetTargetCursor()->CheckValid(true); }), 10024u) << Utf8(c.path);
    }
    s.RIOf(c.owner)->RemoveReference(ref);
  }

  TmvRelativeTargetCursorDescriptor& target =
      RelativeTarget(s.RI()->AddReference(nullptr, &TmvRelativeTargetCursorDescriptor::StaticClass));
  String message;
  EXPECT_EQ(RaisedCode([&] { target.CheckValid(false); }, &message), 10039u);
  EXPECT_EQ(message, u"Referential Integrity Target Table must be set");
  target.SetTableName(u"detail");
  for (const char16_t* bad : {u"", u"a/b", u"detail:"})
    EXPECT_EQ(RaisedCode([&] { target.SetTableName(bad); }), 10039u) << Utf8(bad);
  EXPECT_EQ(target.GetTableName(), u"detail");
  EXPECT_TRUE(target.References(s.detail));
  EXPECT_FALSE(target.References(&s.dd));
}

TEST_F(RefIntegrity, AReferenceRefersToTheTargetIndexOfItsTargetTable) {
  Schema s;
  TmvMainIndicesDescriptor* indices = s.dd.GetIndicesDescriptor();
  TmvIndexDescriptor* id = indices->GetDescriptorFromName(u"ID");
  TmvIndexDescriptor* sequential = indices->GetDescriptorFromName(mvSequentialAccessIndexName);
  TmvIndexDescriptor* detailIndex = s.detail->AddIndicesDescriptor()->AddIndex(u"ID", 0, idAll, u"");

  TmvReferenceDescriptor* self = s.SelfReference();
  TmvReferenceDescriptor* byName = s.RI()->AddReference();
  TableTarget(byName).SetTableName(u"MASTER");
  byName->SetTargetIndex(u"id");
  TmvReferenceDescriptor* toDetail = s.RI()->AddReference();
  TableTarget(toDetail).SetTableName(u"master:detail");
  toDetail->SetTargetIndex(u"ID");
  for (TmvReferenceDescriptor* ref : {self, byName}) {
    EXPECT_TRUE(ref->References(id));
    EXPECT_FALSE(ref->References(sequential));
    EXPECT_FALSE(ref->References(detailIndex));
  }
  EXPECT_TRUE(toDetail->References(detailIndex));
  EXPECT_FALSE(toDetail->References(id));

  std::vector<TmvDictionaryItem*> found;
  s.RI()->IterateReferencing(
      [&](TmvDictionaryItem* aItem, void*) {
        found.push_back(aItem);
        return irContinue;
      },
      nullptr, id, false);
  // The child list is kept in address order, so only the set counts.
  std::vector<TmvDictionaryItem*> expected{self, byName};
  std::sort(found.begin(), found.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);
}

TEST_F(RefIntegrity, FieldSourcesFollowTheirField) {
  Schema s;
  TmvReferenceDescriptor* ref = s.SelfReference();
  TmvFieldSourceDescriptor& source = FieldSource(ref);
  TmvFieldsDescriptor* fields = s.dd.GetFieldsDescriptor();
  EXPECT_EQ(source.Field()->Name(), u"Parent");

  String message;
  EXPECT_EQ(RaisedCode([&] { fields->RemoveField(2); }, &message), 15502u);
  EXPECT_EQ(message, u"Cannot remove field Parent because it is still referenced by an index");
  EXPECT_EQ(fields->FieldCount(), 3);
  EXPECT_EQ(source.GetFieldNumber(), 2);
  fields->RemoveField(1);
  EXPECT_EQ(source.GetFieldNumber(), 1);
  fields->InsertFieldAt(0, u"First", u"", mvtInt32, 0, 0, false);
  EXPECT_EQ(source.GetFieldNumber(), 2);
  EXPECT_EQ(source.Field()->Name(), u"Parent");

  source.SetFieldNumber(7);
  EXPECT_EQ(RaisedCode([&] { s.dd.CheckValid(false); }, &message), 10004u);
  EXPECT_EQ(message, u"Invalid field number: 7");
  // A source outside a table has no fields to check against.
  TmvFieldSourceDescriptor lone(nullptr);
  EXPECT_EQ(RaisedCode([&] { lone.CheckValid(true); }), 0u);
  EXPECT_EQ(RaisedCode([&] { lone.Field(); }), 8712u);
}

// The version numbers of each part of a reference's stream form.
struct Versions {
  int8_t reference = 1, cursor = 1, clone = 1, source = 2, field = 1, action = 2, kind = 1;
};

// A free-standing reference to its own table (clone target) with the target
// index "ID", a field source on field 0 and a block-delete action, as
// written for peers from 20000 on (old: below).
Bytes ReferenceForm(const Versions& v = {}, bool old = false,
                    const std::string& aSourceClass = "TmvFieldSourceDescriptor",
                    const std::string& aActionClass = "TmvBlockDeleteActionDescriptor") {
  Bytes b;
  auto header = [&] { old ? b.oldHeader() : b.header(); };
  auto skipOnNull = [&](int8_t aVersion) {
    b.integer(aVersion);
    if (aVersion == 2) b.boolean(false);
  };
  header();
  b.integer(v.reference);
  header();
  b.integer(v.cursor).integer(v.clone).str("ID").raw({0x01}).str(aSourceClass);
  header();
  skipOnNull(old ? 1 : v.source);
  b.integer(v.field).integer(0).raw({0x00, 0x01}).str(aActionClass);
  header();
  skipOnNull(old ? 1 : v.action);
  b.integer(v.kind).raw({0x00});
  return b;
}

TmvReferenceDescriptor* NewLoneReference(const TmvDictionaryItemClassRef* aTarget) {
  return new TmvReferenceDescriptor(nullptr, aTarget);
}

TEST_F(RefIntegrity, StreamFormsForOldAndNewPeers) {
  std::unique_ptr<TmvReferenceDescriptor> ref(NewLoneReference(&TmvCloneTargetCursorDescriptor::StaticClass));
  static_cast<TmvFieldSourceDescriptor*>(ref->AddSource())->SetFieldNumber(0);
  ref->SetTargetIndex(u"ID");
  ref->AddAction();
  EXPECT_EQ(Written(*ref, mvEngineVersion), ReferenceForm().b);
  EXPECT_EQ(Written(*ref, 19999), ReferenceForm({}, true).b);

  std::unique_ptr<TmvReferenceDescriptor> back(NewLoneReference(&TmvCloneTargetCursorDescriptor::StaticClass));
  ReadAll(ReferenceForm().b, *back);
  EXPECT_TRUE(back->IsEqual(ref.get()));
  ReadAll(ReferenceForm({}, true).b, *back);
  EXPECT_TRUE(back->IsEqual(ref.get()));

  // SkipOnNull and a password need the version-2 forms.
  ref->Source(0)->SetSkipOnNull(true);
  EXPECT_EQ(RaisedCode([&] { Written(*ref, 19999); }), 12039u);
  ReadAll(Written(*ref), *back);
  EXPECT_TRUE(back->Source(0)->GetSkipOnNull());
  ref->Source(0)->SetSkipOnNull(false);
  ref->Action(0)->SetSkipOnNull(true);
  EXPECT_EQ(RaisedCode([&] { Written(*ref, 19999); }), 12039u);
  ReadAll(Written(*ref), *back);
  EXPECT_TRUE(back->Action(0)->GetSkipOnNull());

  TmvTableTargetCursorDescriptor table(nullptr);
  table.SetTableName(u"orders");
  EXPECT_EQ(Written(table, 19999), Bytes().oldHeader().integer(1).integer(1).str("orders").b);
  table.SetPassword(u"secret");
  EXPECT_EQ(Written(table), Bytes()
                                .header()
                                .integer(1)
                                .integer(2)
                                .str("orders")
                                .raw({0x12, 6, 0, 0, 0, 's', 0, 'e', 0, 'c', 0, 'r', 0, 'e', 0, 't', 0})
                                .b);
  EXPECT_EQ(RaisedCode([&] { Written(table, 19999); }), 12039u);
  TmvTableTargetCursorDescriptor tableBack(nullptr);
  ReadAll(Written(table), tableBack);
  EXPECT_EQ(tableBack.GetPassword(), u"secret");
  ReadAll(Bytes().oldHeader().integer(1).integer(1).str("orders").b, tableBack);
  EXPECT_EQ(tableBack.GetPassword(), u"");  // a version-1 target has no password

  TmvRelativeTargetCursorDescriptor relative(nullptr);
  relative.SetTableName(u"..:detail");
  EXPECT_EQ(Written(relative), Bytes().header().integer(1).integer(1).str("..:detail").b);
}

TEST_F(RefIntegrity, UnknownClassesAndVersionsAreRefused) {
  std::unique_ptr<TmvReferenceDescriptor> ref(NewLoneReference(&TmvCloneTargetCursorDescriptor::StaticClass));
  // Each version of each part, one below and one above what is read.
  int8_t Versions::*parts[] = {&Versions::reference, &Versions::cursor, &Versions::clone, &Versions::source,
                               &Versions::field,     &Versions::action, &Versions::kind};
  for (auto part : parts) {
    for (int8_t delta : {int8_t(-1), int8_t(1)}) {
      Versions v;
      v.*part = int8_t(v.*part + delta);
      if (v.*part == 1 && (part == &Versions::source || part == &Versions::action)) v.*part = 0;
      EXPECT_EQ(RaisedCode([&] { ReadAll(ReferenceForm(v).b, *ref); }), 15498u) << int(v.*part);
    }
  }
  String message;
  EXPECT_EQ(RaisedCode([&] { ReadAll(ReferenceForm({}, false, "TmvWhatSourceDescriptor").b, *ref); }, &message),
            15499u);
  EXPECT_EQ(message, u"SourceDescriptor class is not supported: TmvWhatSourceDescriptor");
  // A class of another family is not one of this family's.
  EXPECT_EQ(
      RaisedCode(
          [&] { ReadAll(ReferenceForm({}, false, "TmvFieldSourceDescriptor", "TmvFieldSourceDescriptor").b, *ref); },
          &message),
      15499u);
  EXPECT_EQ(message, u"ActionDescriptor class is not supported: TmvFieldSourceDescriptor");

  auto list = [](const std::string& aReference, const std::string& aCursor, int8_t aVersion = 1) {
    Bytes b = Bytes().header().integer(aVersion).raw({0x01}).str(aReference).str(aCursor);
    const Bytes reference = ReferenceForm();
    b.b.insert(b.b.end(), reference.b.begin(), reference.b.end());
    return b.raw({0x00});
  };
  TmvRefIntegrityDescriptor ri(nullptr, u"RefIntegrity");
  ReadAll(list("TmvReferenceDescriptor", "TmvCloneTargetCursorDescriptor").b, ri);
  ASSERT_EQ(ri.ReferenceCount(), 1);
  std::unique_ptr<TmvReferenceDescriptor> alone(NewLoneReference(&TmvCloneTargetCursorDescriptor::StaticClass));
  ReadAll(ReferenceForm().b, *alone);
  EXPECT_TRUE(ri.Reference(0)->IsEqual(alone.get()));
  EXPECT_EQ(RaisedCode([&] { ReadAll(list("TmvReferenceDescriptor", "TmvCloneTargetCursorDescriptor", 2).b, ri); }),
            15498u);
  EXPECT_EQ(RaisedCode([&] { ReadAll(list("TmvWhat", "TmvCloneTargetCursorDescriptor").b, ri); }, &message), 15499u);
  EXPECT_EQ(message, u"ReferenceDescriptor class is not supported: TmvWhat");
  EXPECT_EQ(RaisedCode([&] { ReadAll(list("TmvReferenceDescriptor", "TmvWhat").b, ri); }, &message), 15499u);
  EXPECT_EQ(message, u"TargetCursorDescriptor class is not supported: TmvWhat");
}

TEST_F(RefIntegrity, ComparisonIgnoresSkipOnNullPasswordAndIndexCase) {
  auto make = [](const std::function<void(TmvReferenceDescriptor&)>& aChange) {
    auto* ri = new TmvRefIntegrityDescriptor(nullptr, u"RefIntegrity");
    TmvReferenceDescriptor* ref = ri->AddReference();
    TableTarget(ref).SetTableName(u"orders");
    TableTarget(ref).SetPassword(u"one");
    ref->SetTargetIndex(u"ByCustomer");
    static_cast<TmvFieldSourceDescriptor*>(ref->AddSource())->SetFieldNumber(1);
    ref->AddAction(&TmvCascadeDeleteActionDescriptor::StaticClass);
    aChange(*ref);
    return std::unique_ptr<TmvRefIntegrityDescriptor>(ri);
  };
  auto base = make([](TmvReferenceDescriptor&) {});
  const struct {
    const char* what;
    std::function<void(TmvReferenceDescriptor&)> change;
    bool equal;
  } cases[] = {
      {"SkipOnNull of a source", [](auto& r) { r.Source(0)->SetSkipOnNull(true); }, true},
      {"SkipOnNull of an action", [](auto& r) { r.Action(0)->SetSkipOnNull(true); }, true},
      {"password", [](auto& r) { TableTarget(&r).SetPassword(u"two"); }, true},
      {"case of the names",
       [](auto& r) {
         r.SetTargetIndex(u"BYCUSTOMER");
         TableTarget(&r).SetTableName(u"Orders");
       },
       true},
      {"target index", [](auto& r) { r.SetTargetIndex(u"ByDate"); }, false},
      {"target table", [](auto& r) { TableTarget(&r).SetTableName(u"orders2"); }, false},
      {"field number", [](auto& r) { FieldSource(&r).SetFieldNumber(2); }, false},
      {"action kind",
       [](auto& r) {
         r.RemoveAction(0);
         r.AddAction(&TmvCascadeModifyActionDescriptor::StaticClass);
       },
       false},
      {"one more action", [](auto& r) { r.AddAction(&TmvTargetRequiredActionDescriptor::StaticClass); }, false},
      {"one source less", [](auto& r) { r.RemoveSource(0); }, false},
  };
  for (const auto& c : cases) {
    auto other = make(c.change);
    EXPECT_EQ(other->IsEqual(base.get()), c.equal) << c.what;
    EXPECT_EQ(base->IsEqual(other.get()), c.equal) << c.what;
  }
  // Another kind of target.
  TmvRefIntegrityDescriptor relative(nullptr, u"RefIntegrity");
  relative.AddReference(nullptr, &TmvRelativeTargetCursorDescriptor::StaticClass);
  TmvRefIntegrityDescriptor table(nullptr, u"RefIntegrity");
  table.AddReference();
  EXPECT_FALSE(relative.IsEqual(&table));
  table.AddReference();
  EXPECT_FALSE(table.IsEqual(base.get()));
}

TEST_F(RefIntegrity, ListsOfReferencesSourcesAndActions) {
  TmvRefIntegrityDescriptor ri(nullptr, u"RefIntegrity");
  TmvReferenceDescriptor* first = ri.AddReference();
  TmvReferenceDescriptor* second = ri.AddReference(nullptr, &TmvCloneTargetCursorDescriptor::StaticClass);
  EXPECT_EQ(&first->GetTargetCursor()->ClassType(), &TmvTableTargetCursorDescriptor::StaticClass);
  EXPECT_EQ(&first->AddSource()->ClassType(), &TmvFieldSourceDescriptor::StaticClass);
  EXPECT_EQ(&first->AddAction()->ClassType(), &TmvBlockDeleteActionDescriptor::StaticClass);
  TmvReferenceDescriptor foreign(nullptr, nullptr);
  ri.RemoveReference(2);
  ri.RemoveReference(-1);
  ri.RemoveReference(&foreign);
  EXPECT_EQ(ri.ReferenceCount(), 2);
  ri.RemoveReference(first);
  ASSERT_EQ(ri.ReferenceCount(), 1);
  EXPECT_EQ(ri.Reference(0), second);
  second->AddAction();
  second->RemoveAction(1);
  second->RemoveAction(foreign.AddAction());
  EXPECT_EQ(second->ActionCount(), 1);
  second->RemoveAction(second->Action(0));
  EXPECT_EQ(second->ActionCount(), 0);

  // A class of another family is refused, and nothing is added.
  EXPECT_EQ(RaisedCode([&] { second->AddSource(&TmvBlockDeleteActionDescriptor::StaticClass); }), 15499u);
  EXPECT_EQ(RaisedCode([&] { second->AddAction(&TmvFieldSourceDescriptor::StaticClass); }), 15499u);
  EXPECT_EQ(RaisedCode([&] { ri.AddReference(nullptr, &TmvFieldSourceDescriptor::StaticClass); }), 15499u);
  EXPECT_EQ(second->SourceCount(), 0);
  EXPECT_EQ(ri.ReferenceCount(), 1);

  // A reference copied from one with another kind of target takes that kind.
  TmvReferenceDescriptor copy(nullptr, nullptr);
  second->SetTargetIndex(u"ID");
  copy.Assign(second);
  EXPECT_EQ(&copy.GetTargetCursor()->ClassType(), &TmvCloneTargetCursorDescriptor::StaticClass);
  EXPECT_TRUE(copy.IsEqual(second));
}

TEST_F(RefIntegrity, TheDictionaryStreamAndCopiesKeepTheReferences) {
  Schema s;
  TmvReferenceDescriptor* self = s.SelfReference();
  self->Source(0)->SetSkipOnNull(true);
  self->AddAction(&TmvTargetRequiredActionDescriptor::StaticClass);
  TmvReferenceDescriptor* lines = s.RIOf(s.detail)->AddReference();
  TableTarget(lines).SetTableName(u"master");
  TableTarget(lines).SetPassword(u"pw");
  lines->SetTargetIndex(u"ID");
  static_cast<TmvFieldSourceDescriptor*>(lines->AddSource())->SetFieldNumber(0);
  lines->AddAction(&TmvBlockModifyActionDescriptor::StaticClass);
  TmvReferenceDescriptor* toSub =
      s.RIOf(s.detail)->AddReference(nullptr, &TmvRelativeTargetCursorDescriptor::StaticClass);
  RelativeTarget(toSub).SetTableName(u".sub");
  toSub->SetTargetIndex(mvSequentialAccessIndexName);
  static_cast<TmvFieldSourceDescriptor*>(toSub->AddSource())->SetFieldNumber(1);
  toSub->AddAction(&TmvClearDeleteActionDescriptor::StaticClass);
  s.dd.CheckValid(true);

  TmvMemoryStream stream;
  s.dd.WriteToStream(stream, mvEngineVersion);
  stream.SetPosition(0);
  TmvDataDictionary back;
  back.ReadFromStream(stream, u"master");
  EXPECT_TRUE(back.IsEqual(&s.dd));
  TmvRefIntegrityDescriptor* detailRI = mvFindRefIntegrityDescriptor(back.GetChild(u"detail"));
  ASSERT_NE(detailRI, nullptr);
  ASSERT_EQ(detailRI->ReferenceCount(), 2);
  EXPECT_EQ(TableTarget(detailRI->Reference(0)).GetPassword(), u"pw");
  EXPECT_EQ(detailRI->Reference(1)->GetTargetCursor()->ReferencedTableName(), u"master:detail:sub");
  EXPECT_TRUE(mvFindRefIntegrityDescriptor(&back)->Reference(0)->Source(0)->GetSkipOnNull());

  std::unique_ptr<TmvDataDictionary> copy(s.dd.Duplicate());
  EXPECT_TRUE(copy->IsEqual(&s.dd));
  // The copy's sources follow the copy's fields, not the original's.
  EXPECT_EQ(RaisedCode([&] { copy->GetFieldsDescriptor()->RemoveField(2); }), 15502u);
  s.dd.GetFieldsDescriptor()->RemoveField(1);
  EXPECT_EQ(FieldSource(mvFindRefIntegrityDescriptor(copy.get())->Reference(0)).GetFieldNumber(), 2);
  EXPECT_EQ(FieldSource(self).GetFieldNumber(), 1);

  // Frozen, nothing changes.
  copy->MakeReadOnly();
  TmvReferenceDescriptor* frozen = mvFindRefIntegrityDescriptor(copy.get())->Reference(0);
  for (const auto& change : std::vector<std::function<void()>>{
           [&] { mvFindRefIntegrityDescriptor(copy.get())->AddReference(); },
           [&] { mvFindRefIntegrityDescriptor(copy.get())->RemoveReference(0); },
           [&] { frozen->AddSource(); },
           [&] { frozen->RemoveAction(0); },
           [&] { frozen->SetTargetIndex(u"x"); },
           [&] { frozen->Source(0)->SetSkipOnNull(false); },
           [&] { FieldSource(frozen).SetFieldNumber(0); },
           [&] {
             TableTarget(mvFindRefIntegrityDescriptor(copy->GetChild(u"detail"))->Reference(0)).SetTableName(u"x");
           },
       })
    EXPECT_EQ(RaisedCode(change), 15500u);
  EXPECT_EQ(frozen->SourceCount(), 1);
}

// Every one-byte change and every cut of a list with each kind of target,
// source and action either reads into a sound list or is refused.
TEST_F(RefIntegrity, DamagedStreamsAreRefusedOrReadSoundly) {
  Schema s;
  TmvRefIntegrityDescriptor* ri = s.RI();
  s.SelfReference();
  TmvReferenceDescriptor* byName = ri->AddReference();
  TableTarget(byName).SetTableName(u"master:detail");
  TableTarget(byName).SetPassword(u"pw");
  byName->AddSource()->SetSkipOnNull(true);
  byName->AddAction(&TmvSetDefaultModifyActionDescriptor::StaticClass);
  RelativeTarget(ri->AddReference(nullptr, &TmvRelativeTargetCursorDescriptor::StaticClass)).SetTableName(u".detail");
  const std::vector<uint8_t> good = Written(*ri);

  TmvRefIntegrityDescriptor* target = s.RIOf(s.detail);
  ReadEveryDamage(
      good, [&](TmvReader& r) { target->LoadFromReader(r); },
      [&] {
        TmvRefIntegrityDescriptor copy(nullptr, u"RefIntegrity");
        ReadAll(Written(*target), copy);
        EXPECT_TRUE(copy.IsEqual(target));
      });
  ReadAll(good, *target);
  EXPECT_TRUE(target->IsEqual(ri));
}

TEST(RefIntegrityUnits, RegisteredWhileTheDictionaryRuns) {
  const struct {
    const TmvRegisterableDescriptorClassRef& family;
    const char16_t* name;
  } classes[] = {{TmvBaseCustomDescriptor::StaticClass, u"TmvRefIntegrityDescriptor"},
                 {TmvReferenceDescriptor::StaticClass, u"TmvReferenceDescriptor"},
                 {TmvBaseTargetCursorDescriptor::StaticClass, u"TmvCloneTargetCursorDescriptor"},
                 {TmvBaseTargetCursorDescriptor::StaticClass, u"TmvTableTargetCursorDescriptor"},
                 {TmvBaseTargetCursorDescriptor::StaticClass, u"TmvRelativeTargetCursorDescriptor"},
                 {TmvBaseSourceDescriptor::StaticClass, u"TmvFieldSourceDescriptor"},
                 {TmvBaseActionDescriptor::StaticClass, u"TmvCascadeDeleteActionDescriptor"},
                 {TmvBaseActionDescriptor::StaticClass, u"TmvClearDeleteActionDescriptor"},
                 {TmvBaseActionDescriptor::StaticClass, u"TmvSetDefaultDeleteActionDescriptor"},
                 {TmvBaseActionDescriptor::StaticClass, u"TmvBlockDeleteActionDescriptor"},
                 {TmvBaseActionDescriptor::StaticClass, u"TmvCascadeModifyActionDescriptor"},
                 {TmvBaseActionDescriptor::StaticClass, u"TmvClearModifyActionDescriptor"},
                 {TmvBaseActionDescriptor::StaticClass, u"TmvSetDefaultModifyActionDescriptor"},
                 {TmvBaseActionDescriptor::StaticClass, u"TmvBlockModifyActionDescriptor"},
                 {TmvBaseActionDescriptor::StaticClass, u"TmvTargetRequiredActionDescriptor"}};
  auto registered = [&](bool aExpected) {
    for (const auto& c : classes)
      EXPECT_EQ(TmvBaseRegisterableDescriptor::FindDescriptorClass(c.family, c.name) != nullptr, aExpected)
          << Utf8(c.name);
    // The families stay apart.
    EXPECT_EQ(TmvBaseRegisterableDescriptor::FindDescriptorClass(TmvBaseSourceDescriptor::StaticClass,
                                                                 u"TmvBlockDeleteActionDescriptor"),
              nullptr);
  };
  registered(false);
  for (int round = 0; round < 2; ++round) {
    mvDictionaryInit();
    registered(true);
    mvDictionaryFini();
    registered(false);
  }
}

}  // namespace
