// Tests of the referential-integrity engine: the checks (target required,
// block delete and modify), the changes (cascade, clear, set default), the
// violation text, the preparation errors, the order of two references, the
// target cursors (by name, relative, clone) and their close on request.
// Tables are in-memory server cursors kept in the order of their current
// index, opened by name through a test database; a test conversion hook
// carries Int32 fields.
#include "server/mvseRefIntEngine.h"

#include <gtest/gtest.h>

#include <map>

#include "CursorTestSupport.h"
#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "foundation/errors/mvllErrors.h"

namespace {

// A table: its dictionary (in a TestTable) and its rows. Field 0 is a unique
// ID that orders rows of equal keys.
struct RiTable {
  explicit RiTable(const String& aName) : name(aName), t(std::make_unique<TestTable>()) {}
  TmvFieldsDescriptor* Fields() { return t->Fields(); }
  void AddInt(const String& aName, int32_t aDefault = INT32_MIN) {
    TmvFieldDescriptor* f = Fields()->AddField(aName, u"", mvtInt32, 0, 0, false);
    if (aDefault != INT32_MIN)
      static_cast<TmvConstDefaultValueDescriptor*>(f->AddDefaultValue(&TmvConstDefaultValueDescriptor::StaticClass))
          ->SetAsVariant(Variant(aDefault));
  }
  void AddIndex(const String& aName, std::initializer_list<int32_t> aFields) {
    TmvIndexDescriptor* index = t->dd.GetIndicesDescriptor()->AddIndex(aName, 0, idAll, u"");
    for (int32_t f : aFields) static_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor())->Add(f);
  }
  // A row of Int32 values; INT32_MIN leaves a field null.
  void AddRow(std::initializer_list<int32_t> aValues) { rows.push_back(Record(aValues)); }
  std::vector<uint8_t> Record(std::initializer_list<int32_t> aValues) {
    std::vector<uint8_t> r = t->NewRecord();
    int32_t field = 0;
    for (int32_t v : aValues) {
      if (v != INT32_MIN) Fields()->SetRecordField(field, r.data(), &v);
      ++field;
    }
    return r;
  }
  int32_t Get(const void* aRecord, int32_t aField) {
    return Fields()->IsRecordFieldNull(aField, aRecord) ? INT32_MIN
                                                        : TestTable::Get<int32_t>(Fields(), aRecord, aField);
  }
  // The values of field aField of the rows, in row order.
  std::vector<int32_t> Column(int32_t aField) {
    std::vector<int32_t> out;
    for (auto& r : rows) out.push_back(Get(r.data(), aField));
    return out;
  }

  String name;
  String password;
  std::unique_ptr<TestTable> t;
  std::vector<std::vector<uint8_t>> rows;
};

// A server cursor over a table, in the order of its current index, with a
// range, modify, delete, duplicate and key comparison. Switching the index
// accepts any name, so that the engine's own check of the index is seen.
class RiCursor : public TestServerCursor {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  RiCursor(TmvAbstractDatabase* aDatabase, RiTable* aTable, TmvOpenMode aOpenMode)
      : TestServerCursor(aDatabase, aTable->t.get(), aOpenMode), ri(aTable) {}

  String acGetFullName() override { return ri->name; }
  String sbcGetRootName() override { return ri->name.substr(0, ri->name.find(u':')); }
  String sbcExtractPassword() override { return ri->password; }

  uint32_t sbcSwitchToIndex(const String& aIndexName, int32_t, TmvPosnOnRec) override {
    ++switches;
    keyFields.clear();
    if (TmvIndexDescriptor* index = ri->t->dd.GetIndicesDescriptor()->GetDescriptorFromName(aIndexName))
      if (auto* key = dynamic_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor()))
        for (int32_t i = 0; i < key->KeyFieldCount(); ++i) keyFields.push_back(key->KeyFields(i)->GetFieldNumber());
    return 0;
  }
  uint32_t sbcRangeSet(int32_t aCount1, int32_t, bool aDirect1, const void* aKey1, bool aIncl1, int32_t aCount2,
                       int32_t, bool aDirect2, const void* aKey2, bool aIncl2) override {
    EXPECT_FALSE(aDirect1 || aDirect2);
    EXPECT_TRUE(aIncl1 && aIncl2);
    const size_t length = size_t(ri->t->RecordLength());
    lo.assign(static_cast<const uint8_t*>(aKey1), static_cast<const uint8_t*>(aKey1) + length);
    hi.assign(static_cast<const uint8_t*>(aKey2), static_cast<const uint8_t*>(aKey2) + length);
    loCount = aCount1;
    hiCount = aCount2;
    hasRange = true;
    return 0;
  }
  void sbcRangeReset() override { hasRange = false; }
  uint32_t sbcCompareKeys(int32_t aCount, int32_t, bool, const void* aKey1, bool, const void* aKey2,
                          int32_t& aResult) override {
    aResult = Compare(aKey1, aKey2, aCount);
    return 0;
  }
  void sbcSetToBegin() override { atBegin = true; }
  uint32_t sbcRecordGetNext(TmvLockType aLockType, void* aData) override {
    lastLock = aLockType;
    const std::vector<uint8_t>* best = nullptr;
    for (const auto& row : ri->rows)
      if (InRange(row.data()) && (atBegin || Order(row.data(), pos.data()) > 0) &&
          (!best || Order(row.data(), best->data()) < 0))
        best = &row;
    if (!best) return EmvBaseException::mvSetMessage(MVERR_EOF, String());
    pos = *best;
    atBegin = false;
    if (aData) std::memcpy(aData, pos.data(), pos.size());
    return 0;
  }
  uint32_t sbcRecordModify(void* aData, bool aReleaseLock, const TmvRecordDiff*) override {
    EXPECT_TRUE(aReleaseLock);
    if (modifyCode) return EmvBaseException::mvSetMessage(modifyCode, String());
    ++modifies;
    for (auto& row : ri->rows)
      if (ri->Get(row.data(), 0) == ri->Get(pos.data(), 0)) std::memcpy(row.data(), aData, row.size());
    return 0;
  }
  uint32_t sbcRecordLockRelease(bool aAllLocks, bool) override {
    EXPECT_FALSE(aAllLocks);
    ++releases;
    return 0;
  }
  uint32_t sbcDeleteRecords() override {
    if (deleteCode) return EmvBaseException::mvSetMessage(deleteCode, String());
    std::erase_if(ri->rows, [&](const std::vector<uint8_t>& r) { return InRange(r.data()); });
    return 0;
  }
  uint32_t sbcDuplicate(TmvOpenMode aOpenMode, TmvAbstractCursor*& aNewCursor, bool) override {
    aNewCursor = TmvAbstractServerObject::Create<RiCursor>(Database(), ri, aOpenMode);
    ++duplicates;
    return 0;
  }

  int32_t Compare(const void* a, const void* b, int32_t aCount) {
    for (int32_t i = 0; i < aCount && i < int32_t(keyFields.size()); ++i) {
      const int32_t va = ri->Get(a, keyFields[size_t(i)]), vb = ri->Get(b, keyFields[size_t(i)]);
      if (va != vb) return va < vb ? -1 : 1;  // null (INT32_MIN) first
    }
    return 0;
  }
  int32_t Order(const void* a, const void* b) {
    if (int32_t c = Compare(a, b, int32_t(keyFields.size()))) return c;
    const int32_t ia = ri->Get(a, 0), ib = ri->Get(b, 0);
    return ia == ib ? 0 : ia < ib ? -1 : 1;
  }
  bool InRange(const void* aRow) {
    return !hasRange || (Compare(aRow, lo.data(), loCount) >= 0 && Compare(aRow, hi.data(), hiCount) <= 0);
  }

  RiTable* ri;
  std::vector<int32_t> keyFields;
  std::vector<uint8_t> lo, hi, pos;
  int32_t loCount = 0, hiCount = 0;
  bool hasRange = false, atBegin = true;
  TmvLockType lastLock = mvltNoLock;
  int switches = 0, modifies = 0, releases = 0, duplicates = 0;
  uint32_t modifyCode = 0, deleteCode = 0;
};

inline constinit const ClassRef RiCursor::StaticClass{u"RiCursor", &TestServerCursor::StaticClass};

// A context that counts the transactions marked corrupted.
class RiContext : public CountingTransContext {
 public:
  using CountingTransContext::CountingTransContext;
  uint32_t TransactionCorrupted() override { return ++corrupted, 0u; }
  int corrupted = 0;
};

// A database that opens the cursors of its tables by name.
class RiDatabase : public TestDatabase {
 public:
  using TestDatabase::TestDatabase;
  uint32_t CursorOpen(TmvAbstractCursor*& aCursor, const String& aName, const String& aPassword, TmvOpenMode aMode,
                      TmvShareMode aShare, uint32_t, const String& aIndex, int32_t aIndexID, bool aAllowSystem,
                      uint32_t, uint32_t aFilterTimeout, const uint32_t*) override {
    ++opens;
    lastName = aName;
    lastPassword = aPassword;
    lastAllowSystem = aAllowSystem;
    EXPECT_EQ(aMode, omReadWrite);
    EXPECT_EQ(aShare, smShared);
    EXPECT_TRUE(aIndex.empty());
    EXPECT_EQ(aIndexID, -1);
    EXPECT_EQ(aFilterTimeout, 500u);
    aCursor = nullptr;
    auto found = tables.find(aName);
    if (found == tables.end()) return EmvBaseException::mvSetMessage(MVERR_NOSUCHTABLE, String());
    aCursor = TmvAbstractServerObject::Create<RiCursor>(this, found->second, aMode);
    return 0;
  }
  std::map<String, RiTable*> tables;
  int opens = 0;
  String lastName, lastPassword;
};

// The conversion hook of the tests: Int32 to Int32 only; counts the
// objects it hands out.
int gLiveMappers = 0;
uint32_t CopyInt32(const void*, const void* aSource, void* aTarget) {
  std::memcpy(aTarget, aSource, 4);
  return 0;
}
void* CreateTestMapper(TmvFieldDescriptor* aSource, TmvAbstractCursor*, TmvFieldDescriptor* aTarget, TmvAbstractCursor*,
                       TmvRefIntMapping& aMapping) {
  if (aSource->GetFieldType() != mvtInt32 || aTarget->GetFieldType() != mvtInt32) return nullptr;
  aMapping.Code = &CopyInt32;
  ++gLiveMappers;
  return new int(0);
}
void FreeTestMapper(void* aInstance) {
  --gLiveMappers;
  delete static_cast<int*>(aInstance);
}

constexpr int32_t N = INT32_MIN;  // a null field

class RefInt : public CursorTest {
 protected:
  // Parent: ID, K1, K2, index ByKey (K1, K2). Child: ID, P1, P2 (defaults
  // 0), NAME (a string field), index ByParent (P1, P2).
  void SetUp() override {
    CursorTest::SetUp();
    mvSetRefIntMapperHook({&CreateTestMapper, &FreeTestMapper});
    ctx = TmvAbstractServerObject::Create<RiContext>(session, 0u);
    db = TmvAbstractServerObject::Create<RiDatabase>(session, ctx, 0u);
    parent.AddInt(u"ID");
    parent.AddInt(u"K1");
    parent.AddInt(u"K2");
    parent.AddIndex(u"ByKey", {1, 2});
    child.AddInt(u"ID");
    child.AddInt(u"P1", 0);
    child.AddInt(u"P2", 0);
    child.Fields()->AddField(u"NAME", u"", mvtShortString, 10, 0, false);
    child.AddIndex(u"ByParent", {1, 2});
    db->tables = {{parent.name, &parent}, {child.name, &child}};
  }
  void TearDown() override {
    engine.reset();
    EXPECT_EQ(gLiveMappers, 0);
    mvSetRefIntMapperHook({});
    CursorTest::TearDown();
  }

  // A reference of aOwner to aTarget over its index, from the fields given.
  TmvReferenceDescriptor* AddReference(RiTable& aOwner, RiTable& aTarget, const String& aIndex,
                                       const std::vector<int32_t>& aSources,
                                       std::initializer_list<const TmvDictionaryItemClassRef*> aActions) {
    TmvReferenceDescriptor* ref = mvEnsureRefIntegrityDescriptor(&aOwner.t->dd)->AddReference();
    static_cast<TmvTableTargetCursorDescriptor*>(ref->GetTargetCursor())->SetTableName(aTarget.name);
    ref->SetTargetIndex(aIndex);
    for (int32_t f : aSources) static_cast<TmvFieldSourceDescriptor*>(ref->AddSource())->SetFieldNumber(f);
    for (const TmvDictionaryItemClassRef* a : aActions) ref->AddAction(a);
    return ref;
  }
  // The engine of a cursor on aTable.
  void Open(RiTable& aTable) {
    source = TmvAbstractServerObject::Create<RiCursor>(db, &aTable, omReadWrite);
    engine.reset(TmvBaseRefIntegrityEngine::CreateFor(&aTable.t->dd, source));
    ASSERT_NE(engine, nullptr);
  }
  TmvRefIntegrityEngine* Engine() { return static_cast<TmvRefIntegrityEngine*>(engine.get()); }
  RiCursor* Target(int32_t aReference = 0) {
    return static_cast<RiCursor*>(Engine()->Reference(aReference)->TargetCursor()->OpenCursor());
  }

  uint32_t Insert(const std::vector<uint8_t>& aRecord) {
    const TVarRec args[] = {static_cast<const void*>(nullptr), static_cast<const void*>(aRecord.data()), 7};
    return engine->Notify(eaRecordInsert, false, args);
  }
  uint32_t Modify(const std::vector<uint8_t>& aNew, const std::vector<uint8_t>& aOld, bool aBefore = false) {
    const TVarRec args[] = {static_cast<const void*>(aNew.data()), static_cast<const void*>(aOld.data()), 1, 7};
    return engine->Notify(eaRecordModify, aBefore, args);
  }
  uint32_t Delete(const std::vector<uint8_t>& aRecord, bool aBefore) {
    const TVarRec args[] = {static_cast<const void*>(aRecord.data()), 7};
    return engine->Notify(eaRecordDelete, aBefore, args);
  }

  RiContext* ctx = nullptr;
  RiDatabase* db = nullptr;
  RiTable parent{u"Parent"}, child{u"Child"};
  RiCursor* source = nullptr;
  std::unique_ptr<TmvBaseRefIntegrityEngine> engine;
};

TEST_F(RefInt, AChildNeedsItsParent) {
  AddReference(child, parent, u"ByKey", {1, 2}, {&TmvTargetRequiredActionDescriptor::StaticClass});
  parent.AddRow({1, 10, 20});
  Open(child);
  EXPECT_TRUE(Engine()->Actions(false).Contains(eaRecordInsert));
  EXPECT_FALSE(Engine()->Actions(true).Contains(eaRecordInsert));

  EXPECT_EQ(Insert(child.Record({1, 10, 20})), 0u);
  EXPECT_EQ(db->lastName, u"Parent");
  EXPECT_EQ(Target()->switches, 1);
  EXPECT_EQ(Target()->lastLock, mvltNoLock);
  EXPECT_EQ(ctx->corrupted, 0);

  EXPECT_EQ(Insert(child.Record({2, 10, 21})), uint32_t(MVERR_MASTERMISSING));
  EXPECT_EQ(LastText(MVERR_MASTERMISSING),
            u"Referential Integrity Violation. Child(P1, P2) -> Parent(K1, K2): Master record missing.");
  EXPECT_EQ(ctx->corrupted, 1);
  // A modify that moves the child to a missing parent is refused too; the
  // range is on the new record.
  EXPECT_EQ(Modify(child.Record({1, 11, 20}), child.Record({1, 10, 20})), uint32_t(MVERR_MASTERMISSING));
  EXPECT_EQ(Modify(child.Record({1, 10, 20}), child.Record({1, 11, 20})), 0u);
  EXPECT_EQ(db->opens, 1);  // the target cursor stays open between notifications
}

TEST_F(RefInt, NullSources) {
  TmvReferenceDescriptor* ref =
      AddReference(child, parent, u"ByKey", {1, 2}, {&TmvTargetRequiredActionDescriptor::StaticClass});
  Open(child);
  // Without SkipOnNull a null key finds no parent.
  EXPECT_EQ(Insert(child.Record({1, 10, N})), uint32_t(MVERR_MASTERMISSING));
  // The action's SkipOnNull skips it for a null source value.
  engine.reset();
  ref->Action(0)->SetSkipOnNull(true);
  Open(child);
  EXPECT_EQ(Insert(child.Record({1, 10, N})), 0u);
  EXPECT_EQ(Insert(child.Record({1, 10, 20})), uint32_t(MVERR_MASTERMISSING));
  // The source's SkipOnNull does nothing at all for that record.
  engine.reset();
  ref->Action(0)->SetSkipOnNull(false);
  ref->Source(1)->SetSkipOnNull(true);
  Open(child);
  const int corrupted = ctx->corrupted;
  EXPECT_EQ(Insert(child.Record({1, 10, N})), 0u);
  EXPECT_EQ(ctx->corrupted, corrupted);
  EXPECT_EQ(Insert(child.Record({1, 10, 20})), uint32_t(MVERR_MASTERMISSING));
}

TEST_F(RefInt, BlockDeleteRefusesWhileChildrenExist) {
  AddReference(parent, child, u"ByParent", {1, 2}, {&TmvBlockDeleteActionDescriptor::StaticClass});
  child.AddRow({1, 10, 20});
  Open(parent);
  EXPECT_TRUE(Engine()->Actions(true).Contains(eaRecordDelete));
  EXPECT_EQ(Delete(parent.Record({1, 10, 20}), false), 0u);  // nothing to do after the delete
  EXPECT_EQ(db->opens, 0);
  EXPECT_EQ(Delete(parent.Record({1, 10, 20}), true), uint32_t(MVERR_MASTEREXISTS));
  EXPECT_EQ(LastText(MVERR_MASTEREXISTS),
            u"Referential Integrity Violation. Parent(K1, K2) -> Child(P1, P2): "
            u"Master has detail records. Cannot delete or modify.");
  EXPECT_EQ(ctx->corrupted, 0);  // before the delete, nothing is to be undone
  EXPECT_EQ(Delete(parent.Record({2, 10, 21}), true), 0u);
}

TEST_F(RefInt, BlockModifyMarksTheTransaction) {
  AddReference(parent, child, u"ByParent", {1, 2}, {&TmvBlockModifyActionDescriptor::StaticClass});
  child.AddRow({1, 10, 20});
  Open(parent);
  EXPECT_EQ(Modify(parent.Record({1, 11, 20}), parent.Record({2, 10, 21})), 0u);
  EXPECT_EQ(Modify(parent.Record({1, 11, 20}), parent.Record({1, 10, 20})), uint32_t(MVERR_MASTEREXISTS));
  EXPECT_EQ(ctx->corrupted, 1);
}

TEST_F(RefInt, CascadeModifyMovesEveryChild) {
  AddReference(parent, child, u"ByParent", {1, 2}, {&TmvCascadeModifyActionDescriptor::StaticClass});
  child.AddRow({1, 10, 20});
  child.AddRow({2, 10, 21});
  child.AddRow({3, 10, 20});
  child.AddRow({4, 10, 20});
  Open(parent);
  // An unchanged key runs no action.
  EXPECT_EQ(Modify(parent.Record({1, 10, 20}), parent.Record({1, 10, 20})), 0u);
  EXPECT_EQ(Target()->modifies, 0);
  EXPECT_EQ(Modify(parent.Record({1, 30, 40}), parent.Record({1, 10, 20})), 0u);
  EXPECT_EQ(child.Column(1), (std::vector<int32_t>{30, 10, 30, 30}));
  EXPECT_EQ(child.Column(2), (std::vector<int32_t>{40, 21, 40, 40}));
  EXPECT_EQ(Target()->modifies, 3);
  EXPECT_EQ(Target()->lastLock, mvltWriteLock);
  EXPECT_TRUE(source->sbcUseNestedTransaction);
}

TEST_F(RefInt, DeleteActionsChangeTheChildren) {
  const struct {
    const TmvDictionaryItemClassRef* action;
    std::vector<int32_t> ids, p1, p2;
  } cases[] = {
      {&TmvCascadeDeleteActionDescriptor::StaticClass, {2}, {10}, {21}},
      {&TmvClearDeleteActionDescriptor::StaticClass, {1, 2, 3}, {N, 10, N}, {N, 21, N}},
      {&TmvSetDefaultDeleteActionDescriptor::StaticClass, {1, 2, 3}, {0, 10, 0}, {0, 21, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(UTF8Encode(c.action->Name()));
    engine.reset();
    if (auto* rules = mvFindRefIntegrityDescriptor(&parent.t->dd)) rules->Clear(false);
    AddReference(parent, child, u"ByParent", {1, 2}, {c.action});
    child.rows.clear();
    child.AddRow({1, 10, 20});
    child.AddRow({2, 10, 21});
    child.AddRow({3, 10, 20});
    Open(parent);
    EXPECT_EQ(Delete(parent.Record({1, 10, 20}), true), 0u);  // after the delete only
    EXPECT_EQ(Delete(parent.Record({1, 10, 20}), false), 0u);
    EXPECT_EQ(child.Column(0), c.ids);
    EXPECT_EQ(child.Column(1), c.p1);
    EXPECT_EQ(child.Column(2), c.p2);
  }
}

TEST_F(RefInt, ADefaultEqualToTheOldKeyKeepsTheChildrenInRange) {
  AddReference(parent, child, u"ByParent", {1, 2}, {&TmvSetDefaultModifyActionDescriptor::StaticClass});
  child.AddRow({1, 0, 0});
  child.AddRow({2, 0, 0});
  child.AddRow({3, 5, 5});
  Open(parent);
  EXPECT_EQ(Modify(parent.Record({1, 5, 5}), parent.Record({1, 0, 0})), 0u);
  EXPECT_EQ(Target()->modifies, 2);  // each child once, though it stays in the range
  EXPECT_EQ(child.Column(1), (std::vector<int32_t>{0, 0, 5}));
}

TEST_F(RefInt, FailuresOfTheTargetCursor) {
  AddReference(parent, child, u"ByParent", {1, 2}, {&TmvClearModifyActionDescriptor::StaticClass});
  AddReference(parent, child, u"ByParent", {1, 2}, {&TmvCascadeDeleteActionDescriptor::StaticClass});
  child.AddRow({1, 10, 20});
  Open(parent);
  EXPECT_EQ(Modify(parent.Record({1, 11, 20}), parent.Record({1, 10, 20})), 0u);
  RiCursor* clearing = Target(0);
  clearing->modifyCode = MVERR_RECLOCKFAILED;
  child.rows[0] = child.Record({1, 10, 20});
  EXPECT_EQ(Modify(parent.Record({1, 11, 20}), parent.Record({1, 10, 20})), uint32_t(MVERR_RECLOCKFAILED));
  EXPECT_EQ(clearing->releases, 1);
  EXPECT_TRUE(LastText(MVERR_RECLOCKFAILED).starts_with(u"Referential Integrity Violation. Parent(K1, K2) -> "));
  EXPECT_EQ(ctx->corrupted, 0);
  // A failed cascade delete marks the transaction.
  EXPECT_EQ(Delete(parent.Record({1, 10, 20}), false), 0u);
  Target(1)->deleteCode = MVERR_RECLOCKFAILED;
  EXPECT_EQ(Delete(parent.Record({1, 10, 20}), false), uint32_t(MVERR_RECLOCKFAILED));
  EXPECT_EQ(ctx->corrupted, 1);
}

TEST_F(RefInt, TheSecondReferenceActsFirst) {
  RiTable other(u"Other");
  other.AddInt(u"ID");
  other.AddInt(u"K");
  other.AddIndex(u"ByK", {1});
  db->tables[other.name] = &other;
  AddReference(child, parent, u"ByKey", {1, 2}, {&TmvTargetRequiredActionDescriptor::StaticClass});
  AddReference(child, other, u"ByK", {1}, {&TmvTargetRequiredActionDescriptor::StaticClass});
  Open(child);
  EXPECT_EQ(Insert(child.Record({1, 10, 20})), uint32_t(MVERR_MASTERMISSING));
  EXPECT_EQ(LastText(MVERR_MASTERMISSING),
            u"Referential Integrity Violation. Child(P1) -> Other(K): Master record missing.");
  EXPECT_EQ(db->opens, 1);
  other.AddRow({1, 10});
  EXPECT_EQ(Insert(child.Record({1, 10, 20})), uint32_t(MVERR_MASTERMISSING));
  EXPECT_TRUE(LastText(MVERR_MASTERMISSING).find(u"-> Parent(K1, K2)") != String::npos);
}

TEST_F(RefInt, PreparationErrorsAreRaised) {
  parent.t->dd.GetIndicesDescriptor()->AddIndex(u"ByRef", 0, idAll, u"", &TmvRefKeyDescriptor::StaticClass);
  child.Fields()->AddField(u"TEXT", u"", mvtShortString, 10, 0, false);  // field 4
  const struct {
    String index;
    std::vector<int32_t> sources;
    uint32_t code;
    String text;
    bool prepared;
  } cases[] = {
      {u"Missing", {1, 2}, MVERR_NOSUCHINDEX, u"Index does not exist.", false},
      {u"ByRef", {1}, MVERR_INVALIDINDEXDESC, u"A composite index is required", false},
      {u"ByKey",
       {1, 2, 0},
       MVERR_INVALIDDESC,
       u"The reference descriptor has more fields than the target index.",
       false},
      // Prepared, but no conversion from a string to the Int32 key field.
      {u"ByKey", {4}, MVERR_INVALIDFLDXFORM, u"Invalid field transformation.", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(UTF8Encode(c.index));
    engine.reset();
    if (auto* rules = mvFindRefIntegrityDescriptor(&child.t->dd)) rules->Clear(false);
    AddReference(child, parent, c.index, c.sources, {&TmvTargetRequiredActionDescriptor::StaticClass});
    Open(child);
    std::vector<uint8_t> record = child.Record({1, 10, 20});
    child.Fields()->SetRecordFieldNull(4, record.data(), false);
    String text;
    EXPECT_EQ(RaisedCode([&] { Insert(record); }, &text), c.code);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(Engine()->Reference(0)->TargetCursorPrepared(), c.prepared);
  }
}

TEST_F(RefInt, AnUnknownEngineClassIsRefused) {
  AddReference(parent, child, u"ByParent", {1}, {&TmvBlockDeleteActionDescriptor::StaticClass});
  TmvBaseRegisterableEngine::UnregisterEngine(TmvBlockDeleteActionEngine::StaticClass);
  String text;
  EXPECT_EQ(RaisedCode([&] { Open(parent); }, &text), uint32_t(MVERR_UNSUPPORTEDSUBENGINE));
  EXPECT_EQ(text, u"Unknown Action engine: \"TmvBlockDeleteActionEngine\"");
  TmvBaseRegisterableEngine::RegisterEngine(TmvBlockDeleteActionEngine::StaticClass);
  EXPECT_EQ(gLiveMappers, 0);
}

TEST_F(RefInt, TheTargetCursorClosesOnRequestWhenUnused) {
  AddReference(child, parent, u"ByKey", {1, 2}, {&TmvTargetRequiredActionDescriptor::StaticClass});
  parent.AddRow({1, 10, 20});
  Open(child);
  ASSERT_EQ(Insert(child.Record({1, 10, 20})), 0u);
  TmvReferenceEngine* ref = Engine()->Reference(0);
  ASSERT_TRUE(ref->TargetCursorPrepared());
  // In use: the request is ignored.
  ref->TargetCursor()->BeginUse();
  Target()->sbcRequestClose();
  EXPECT_NE(Target(), nullptr);
  ref->TargetCursor()->EndUse();
  // Unused: the reference is unprepared and the cursor goes.
  Target()->sbcRequestClose();
  EXPECT_EQ(Target(), nullptr);
  EXPECT_FALSE(ref->TargetCursorPrepared());
  EXPECT_EQ(gLiveMappers, 2);  // the conversions stay with the sources
  EXPECT_EQ(Insert(child.Record({1, 10, 20})), 0u);
  EXPECT_EQ(db->opens, 2);
}

TEST_F(RefInt, TargetCursorsByNameRelativeAndClone) {
  // By name, with the descriptor's password.
  TmvReferenceDescriptor* ref =
      AddReference(child, parent, u"ByKey", {1, 2}, {&TmvTargetRequiredActionDescriptor::StaticClass});
  static_cast<TmvTableTargetCursorDescriptor*>(ref->GetTargetCursor())->SetPassword(u"secret");
  Open(child);
  EXPECT_EQ(Insert(child.Record({1, 10, 20})), uint32_t(MVERR_MASTERMISSING));
  EXPECT_EQ(db->lastPassword, u"secret");
  EXPECT_FALSE(db->lastAllowSystem);
  // A table that cannot be opened: its code, extended, is raised.
  engine.reset();
  static_cast<TmvTableTargetCursorDescriptor*>(ref->GetTargetCursor())->SetTableName(u"Gone");
  Open(child);
  String text;
  EXPECT_EQ(RaisedCode([&] { Insert(child.Record({1, 10, 20})); }, &text), uint32_t(MVERR_NOSUCHTABLE));
  // Before the first preparation the field names are not known yet.
  EXPECT_EQ(text, u"Referential Integrity Violation. Child(, ) -> Gone(, ): Table does not exist.");

  // Relative: from the source's full name for ".", from its root otherwise,
  // with the password the source cursor holds.
  engine.reset();
  mvFindRefIntegrityDescriptor(&child.t->dd)->Clear(false);
  TmvReferenceDescriptor* rel = mvEnsureRefIntegrityDescriptor(&child.t->dd)
                                    ->AddReference(nullptr, &TmvRelativeTargetCursorDescriptor::StaticClass);
  rel->SetTargetIndex(u"ByKey");
  static_cast<TmvFieldSourceDescriptor*>(rel->AddSource())->SetFieldNumber(1);
  rel->AddAction(&TmvTargetRequiredActionDescriptor::StaticClass);
  child.password = u"pw";
  child.name = u"Child:nested";
  auto* relCursor = static_cast<TmvRelativeTargetCursorDescriptor*>(rel->GetTargetCursor());
  relCursor->SetTableName(u".sub");
  Open(child);
  EXPECT_EQ(
      static_cast<TmvRelativeTargetCursorEngine*>(Engine()->Reference(0)->TargetCursor())->TargetTableName(source),
      u"Child:nested:.sub");
  relCursor->SetTableName(u"sub");
  EXPECT_EQ(
      static_cast<TmvRelativeTargetCursorEngine*>(Engine()->Reference(0)->TargetCursor())->TargetTableName(source),
      u"Child:sub");
  db->tables[u"Child:sub"] = &parent;
  parent.AddRow({1, 10, 20});
  EXPECT_EQ(Insert(child.Record({1, 10, 20})), 0u);
  EXPECT_EQ(db->lastName, u"Child:sub");
  EXPECT_EQ(db->lastPassword, u"pw");

  // Clone: a duplicate of the source cursor, read-write.
  engine.reset();
  mvFindRefIntegrityDescriptor(&child.t->dd)->Clear(false);
  child.name = u"Child";
  TmvReferenceDescriptor* self =
      mvEnsureRefIntegrityDescriptor(&child.t->dd)->AddReference(nullptr, &TmvCloneTargetCursorDescriptor::StaticClass);
  self->SetTargetIndex(u"ByParent");
  static_cast<TmvFieldSourceDescriptor*>(self->AddSource())->SetFieldNumber(1);
  self->AddAction(&TmvTargetRequiredActionDescriptor::StaticClass);
  child.AddRow({1, 7, 7});
  Open(child);
  const int opens = db->opens;
  EXPECT_EQ(Insert(child.Record({9, 7, 0})), 0u);  // a row with P1 = 7 exists in the same table
  EXPECT_EQ(Insert(child.Record({9, 8, 0})), uint32_t(MVERR_MASTERMISSING));
  EXPECT_EQ(source->duplicates, 1);
  EXPECT_EQ(db->opens, opens);
  EXPECT_EQ(Target()->OpenMode(), omReadWrite);
}

}  // namespace
