// Database cursor sources: a name the folder lacks is asked of the sources
// in registration order; Unregister is idempotent, also after the database
// went; registration and Unregister hold the session lock.
#include <future>

#include "server/cursors/TableCursorTestSupport.h"
#include "server/tables/mvsrDatabaseCursorSources.h"

namespace {

using namespace cursor_test;

// Answers names it knows with a cursor on "T" of its database; counts the
// questions.
class Source : public TmvInterfacedObject, public ImvDatabaseCursorSource {
 public:
  Source(TmvServerDatabase* aDb, const String& aKnown) : db(aDb), known(aKnown) {}
  int32_t QueryInterface(const TGUID& iid, void** obj) override { return TmvInterfacedObject::QueryInterface(iid, obj); }
  int32_t _AddRef() override { return TmvInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TmvInterfacedObject::_Release(); }
  TmvAbstractCursor* CursorOpen(const String& aTableName) override {
    ++asked;
    if (!SameClassName(aTableName, known)) return nullptr;
    TmvAbstractCursor* cursor = nullptr;
    EXPECT_EQ(db->sdCursorOpen(cursor, u"T", String(), false, omReadOnly, smShared, false, 0, String(), -1, false,
                               false),
              0u);
    ++answered;
    return cursor;
  }
  TmvServerDatabase* db;
  String known;
  int asked = 0, answered = 0;

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override {
    if (iid == IID_ImvDatabaseCursorSource) {
      *obj = static_cast<ImvDatabaseCursorSource*>(this);
      _AddRef();
      return true;
    }
    return TmvInterfacedObject::GetInterface(iid, obj);
  }
};

class CursorSources : public CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    ASSERT_EQ(Build(DiskFolder(), u"T", IndexedPeople().get()), 0u);
    db = Database();
  }
  // Registers a source knowing aKnown; its control in aControl.
  TInterfacePtr<Source> Register(const String& aKnown, TInterfacePtr<ImvDatabaseCursorSourceControl>& aControl) {
    TInterfacePtr<Source> source(TmvInterfacedObject::Create<Source>(db, aKnown));
    IInterface* control = nullptr;
    EXPECT_EQ(db->RegisterCursorSource(static_cast<ImvDatabaseCursorSource*>(source.get()), control), 0u);
    aControl = TInterfacePtr<ImvDatabaseCursorSourceControl>::Adopt(static_cast<ImvDatabaseCursorSourceControl*>(control));
    return source;
  }
  uint32_t OpenName(const String& aName, TmvAbstractCursor*& aCursor) {
    const uint32_t code =
        db->CursorOpen(aCursor, aName, String(), omReadOnly, smShared, 0, String(), -1, false, 0, 0, nullptr);
    if (aCursor) cursors.push_back(aCursor);
    return code;
  }
  TmvServerDatabase* db = nullptr;
};

TEST_F(CursorSources, NamesTheFolderLacksGoToTheSourcesInRegistrationOrder) {
  TInterfacePtr<ImvDatabaseCursorSourceControl> c1, c2, c3;
  TInterfacePtr<Source> other = Register(u"Other", c1);
  TInterfacePtr<Source> first = Register(u"Alias", c2);
  TInterfacePtr<Source> second = Register(u"Alias", c3);
  TmvAbstractCursor* cursor = nullptr;
  // A table of the folder: no source is asked.
  EXPECT_EQ(OpenName(u"T", cursor), 0u);
  EXPECT_EQ(other->asked + first->asked + second->asked, 0);
  cursor = nullptr;
  EXPECT_EQ(OpenName(u"Alias", cursor), 0u);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(first->answered, 1);
  EXPECT_EQ(second->asked, 0);
  EXPECT_EQ(other->asked, 1);
  // No source knows it: the database's own code and text.
  cursor = nullptr;
  EXPECT_EQ(OpenName(u"Nobody", cursor), uint32_t(MVERR_NOSUCHTABLE));
  EXPECT_EQ(cursor, nullptr);
  EXPECT_NE(LastText(MVERR_NOSUCHTABLE).find(u"Nobody"), String::npos);
  // Unregistered, the first is asked no more and the second answers; a
  // second Unregister does nothing.
  EXPECT_EQ(c2->Unregister(), 0u);
  EXPECT_EQ(c2->Unregister(), 0u);
  cursor = nullptr;
  EXPECT_EQ(OpenName(u"Alias", cursor), 0u);
  EXPECT_EQ(first->asked, 2);  // "Alias" and "Nobody" before
  EXPECT_EQ(second->answered, 1);
  // A control let go unregisters its source.
  c3.reset();
  cursor = nullptr;
  EXPECT_EQ(OpenName(u"Alias", cursor), uint32_t(MVERR_NOSUCHTABLE));
  EXPECT_EQ(second->asked, 2);
  EXPECT_EQ(other->asked, 4);
}

TEST_F(CursorSources, OnlySourcesAreRegistered) {
  TInterfacePtr<ImvTableMapper> notASource(TmvInterfacedObject::Create<TmvTableMapper>());
  IInterface* control = reinterpret_cast<IInterface*>(1);
  EXPECT_EQ(db->RegisterCursorSource(notASource.get(), control), uint32_t(MVERR_INVALIDPARAM));
  EXPECT_EQ(control, nullptr);
  EXPECT_EQ(db->RegisterCursorSource(nullptr, control), uint32_t(MVERR_INVALIDPARAM));
}

// The container keeps its database without owning it: after the database
// went, Unregister must not reach it (the sanitizer tree sees any touch).
TEST_F(CursorSources, UnregisterAfterTheDatabaseWentDoesNothing) {
  TInterfacePtr<ImvDatabaseCursorSourceControl> control;
  TInterfacePtr<Source> source = Register(u"Alias", control);
  TmvAbstractServerObject::Free(db);
  db = nullptr;
  EXPECT_EQ(control->Unregister(), 0u);
  EXPECT_EQ(control->Unregister(), 0u);
  control.reset();
  EXPECT_EQ(source->RefCount(), 1);  // the container let go of it
}

// Registration and Unregister change the list the cursor open walks: while
// another thread is inside the session they are refused, not raced.
TEST_F(CursorSources, RegistrationAndUnregisterHoldTheSessionLock) {
  TInterfacePtr<ImvDatabaseCursorSourceControl> control;
  TInterfacePtr<Source> source = Register(u"Alias", control);
  std::promise<void> inside, leave;
  auto holder = std::async(std::launch::async, [&] {
    db->GetLock()->Lock();
    inside.set_value();
    leave.get_future().wait();
    uint32_t result = 0;
    db->GetLock()->Unlock(result);
  });
  inside.get_future().wait();
  TInterfacePtr<Source> late(TmvInterfacedObject::Create<Source>(db, u"Late"));
  IInterface* lateControl = nullptr;
  EXPECT_EQ(db->RegisterCursorSource(static_cast<ImvDatabaseCursorSource*>(late.get()), lateControl),
            uint32_t(MVERR_REENTERED));
  EXPECT_EQ(lateControl, nullptr);
  EXPECT_EQ(control->Unregister(), uint32_t(MVERR_REENTERED));
  leave.set_value();
  holder.get();
  // Still registered: it answers, and goes when asked.
  TmvAbstractCursor* cursor = nullptr;
  EXPECT_EQ(OpenName(u"Alias", cursor), 0u);
  EXPECT_EQ(control->Unregister(), 0u);
}

}  // namespace
