// Table cursor tests: choosing and switching indexes (fallbacks, refusals,
// positioning on the current record, the NLS rule), keys and ranges,
// positioning by key, bookmark, record number and another cursor, saved
// paths, duplication, and the unnamed result table that goes with its
// last cursor.
#include <set>

#include "server/cursors/TableCursorTestSupport.h"

namespace {

using namespace cursor_test;

// Access to the indices engine's NLS mark, as a table whose stored keys
// were built under another NLS version has it.
struct IndicesMark : TmvBaseIndicesEngine {
  static void SetNLSChanged(TmvBaseIndicesEngine* aEngine) {
    aEngine->*(&IndicesMark::biseNLSVersionChanged) = true;
  }
};

class TableCursor : public CursorTest {
 protected:
  // "T" with IDs 1..10 (names: "Person <id>", empty for even IDs).
  TmvServerTableCursor* Ten(TmvServerDatabase* aDb, const String& aIndex = u"ByID") {
    EXPECT_EQ(Build(DiskFolder(), u"T", IndexedPeople().get()), 0u);
    TmvServerTableCursor* cursor = Open(aDb, u"T", aIndex);
    Fill(cursor, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    return cursor;
  }
  uint32_t SetToID(TmvServerTableCursor* aCursor, TmvSearchKeyAction aAction, int32_t aID) {
    std::vector<uint8_t> record = Row(aCursor, aID);
    return aCursor->sbcSetToKey(aAction, 0, 0, false, record.data());
  }
};

TEST_F(TableCursor, IndexChoiceFallsBackAndUnknownIndexesAreRefused) {
  TmvServerDatabase* db = Database();
  ASSERT_EQ(Build(DiskFolder(), u"T", IndexedPeople(1).get()), 0u);
  ASSERT_EQ(Build(DiskFolder(), u"Plain"), 0u);
  int32_t id = 0;
  TmvServerTableCursor* cursor = Open(db, u"T", u"Nope");
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->GetIndexID(id), 0u);
  EXPECT_EQ(id, 1) << "a missing index falls back to the default";
  EXPECT_EQ(Open(db, u"T", String(), 0)->GetIndexID(id), 0u);
  EXPECT_EQ(id, 0);
  TmvServerTableCursor* plain = Open(db, u"Plain", u"Nope");
  EXPECT_EQ(plain->GetIndexID(id), 0u);
  EXPECT_EQ(id, -1) << "without indexes there is no index";
  EXPECT_EQ(plain->IndexPath()->Position, ippBof);

  struct Case {
    TmvServerTableCursor* Cursor;
    const char16_t* Name;
    int32_t ID;
    uint32_t Code;
  } cases[] = {{cursor, u"Nope", -1, MVERR_NOSUCHINDEX}, {cursor, u"", 2, MVERR_NOSUCHINDEX},
               {cursor, u"", -2, MVERR_NOSUCHINDEX},     {cursor, u"byname", -1, 0},
               {cursor, u"", -1, 0},                     {plain, u"", 0, 0},
               {plain, u"", 1, MVERR_NOSUCHINDEX},       {plain, u"ByID", -1, MVERR_NOSUCHINDEX}};
  for (const Case& c : cases) {
    SCOPED_TRACE(UTF8Encode(String(c.Name)) + " " + std::to_string(c.ID));
    const uint32_t code = c.Cursor->SwitchToIndex(c.Name, c.ID, porFalse);
    EXPECT_EQ(code, c.Code);
    if (code == MVERR_NOSUCHINDEX) { EXPECT_EQ(LastText(code), u"Index does not exist."); }
  }
  EXPECT_EQ(cursor->GetIndexID(id), 0u);
  EXPECT_EQ(id, -1);
  EXPECT_EQ(plain->GetIndexID(id), 0u);
  EXPECT_EQ(id, -1);

  // Without an index nothing positions by key.
  std::vector<uint8_t> record = Row(plain, 1), key(64);
  int32_t result = 0;
  for (uint32_t code : {plain->RangeSet(1, 0, false, record.data(), true, 1, 0, false, record.data(), true),
                        plain->SetToKey(skaEqualFirst, 0, 0, false, record.data()),
                        plain->CompareKeys(0, 0, false, record.data(), false, record.data(), result),
                        plain->BuildKey(record.data(), key.data(), true)}) {
    EXPECT_EQ(code, uint32_t(MVERR_NOASSOCINDEX));
    EXPECT_EQ(LastText(code), u"No associated index.");
  }
  uint32_t size = 0;
  EXPECT_EQ(plain->sbcGetBookmarkSize(size), 0u);
  EXPECT_EQ(size, 24u);
}

TEST_F(TableCursor, SwitchingPositionsOnTheCurrentRecordOrAtTheBeginning) {
  TmvServerDatabase* db = Database();
  ASSERT_EQ(Build(DiskFolder(), u"Empty", IndexedPeople().get()), 0u);
  TmvServerTableCursor* empty = Open(db, u"Empty");
  EXPECT_EQ(empty->SwitchToIndex(u"ByName", -1, porTry), 0u);
  EXPECT_EQ(empty->IndexPath()->Position, ippBof);
  EXPECT_EQ(empty->SwitchToIndex(u"ByID", -1, porTrue), uint32_t(MVERR_NOCURRREC));

  TmvServerTableCursor* cursor = Ten(db);
  ASSERT_EQ(SetToID(cursor, skaEqualFirst, 7), 0u);
  ASSERT_EQ(Step(cursor), 7);
  // The key filter goes off with the switch; the range goes.
  std::vector<uint8_t> low = Row(cursor, 2);
  ASSERT_EQ(cursor->RangeSet(0, 0, false, low.data(), true, 0, 0, false, nullptr, true), 0u);
  ASSERT_EQ(SetToID(cursor, skaEqualFirst, 7), 0u);
  ASSERT_EQ(Step(cursor), 7);
  for (TmvPosnOnRec por : {porTrue, porTry}) {
    ASSERT_EQ(cursor->SwitchToIndex(u"ByName", -1, por), 0u);
    EXPECT_EQ(cursor->IndexPath()->Position, ippOnKey);
    EXPECT_EQ(CurrentID(cursor), 7);
    EXPECT_FALSE(cursor->RangeStart().riValid);
    ASSERT_EQ(cursor->SwitchToIndex(String(), -1, por), 0u);
    EXPECT_EQ(CurrentID(cursor), 7) << "no index: the path keeps the record number";
    ASSERT_EQ(cursor->SwitchToIndex(u"ByID", -1, por), 0u);
    EXPECT_EQ(CurrentID(cursor), 7);
  }
  cursor->SetToEnd();
  EXPECT_EQ(cursor->SwitchToIndex(u"ByName", -1, porTrue), uint32_t(MVERR_NOCURRREC));
  int32_t id = 0;
  cursor->GetIndexID(id);
  EXPECT_EQ(id, 0) << "a failed switch changes nothing";
  EXPECT_EQ(cursor->SwitchToIndex(u"ByName", -1, porTry), 0u);
  EXPECT_EQ(cursor->IndexPath()->Position, ippBof);
}

TEST_F(TableCursor, StoredKeysOfAnotherNLSVersion) {
  TmvServerDatabase* db = Database();
  TmvServerTableCursor* first = Ten(db);
  first->Table()->IndicesEngine()->biseGetIndex(1)->KeyEngine()->bkeNLSVersionChanged = true;
  const uint32_t code = first->SwitchToIndex(u"ByName", -1, porFalse);
  EXPECT_EQ(code, uint32_t(MVERR_HIGHERTABLELEVEL));
  EXPECT_EQ(LastText(code),
            u"Current NLS version differs from NLS version of stored keys. Table must be packed before index can be "
            u"used");
  IndicesMark::SetNLSChanged(first->Table()->IndicesEngine());
  TmvServerTableCursor* second = Open(db, u"T", u"ByID");
  EXPECT_TRUE(second->IsReadOnly());
  const uint32_t readOnly = second->sbcBeginContentLock(true, false, false);
  EXPECT_EQ(readOnly, uint32_t(MVERR_HIGHERTABLELEVEL));
  EXPECT_EQ(LastText(readOnly),
            u"Table contains one or more indices where NLS version of stored keys differs from current NLS version. "
            u"Table must be packed to enable write access");
}

TEST_F(TableCursor, SetToKeyLandsBeforeTheFoundRecordInTheDirectionOfTheSearch) {
  TmvServerTableCursor* cursor = Ten(Database());
  struct Case {
    TmvSearchKeyAction Action;
    int32_t ID;
    uint32_t Code;
    TmvIndexPathPosition Position;
    int32_t Next;  // the record a read in the search's direction gets
  } cases[] = {
      {skaEqualFirst, 4, 0, ippOnCrackBefore, 4},   {skaGreaterEqual, 4, 0, ippOnCrackBefore, 4},
      {skaGreater, 4, 0, ippOnCrackBefore, 5},      {skaEqualLast, 4, 0, ippOnCrackAfter, 4},
      {skaSmallerEqual, 4, 0, ippOnCrackAfter, 4},  {skaSmaller, 4, 0, ippOnCrackAfter, 3},
      {skaGreaterEqual, 11, 0, ippEof, -1},         {skaEqualFirst, 11, MVERR_RECNOTFOUND, ippEof, -1},
      {skaEqualLast, 11, MVERR_RECNOTFOUND, ippBof, -1}, {skaSmaller, 1, 0, ippBof, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Action) + " " + std::to_string(c.ID));
    const uint32_t code = SetToID(cursor, c.Action, c.ID);
    EXPECT_EQ(code, c.Code);
    if (code == MVERR_RECNOTFOUND) { EXPECT_EQ(LastText(code), u"Could not find record."); }
    EXPECT_EQ(cursor->IndexPath()->Position, c.Position);
    const bool backward = c.Action == skaEqualLast || c.Action == skaSmallerEqual || c.Action == skaSmaller;
    EXPECT_EQ(Step(cursor, !backward), c.Next);
  }
}

TEST_F(TableCursor, RangesKeepTheirEndsAndTheirExclusiveStart) {
  TmvServerTableCursor* cursor = Ten(Database());
  std::vector<uint8_t> four = Row(cursor, 4), eight = Row(cursor, 8);
  ASSERT_EQ(cursor->RangeSet(0, 0, false, four.data(), false, 0, 0, false, eight.data(), true), 0u);
  EXPECT_EQ(RangeIDs(cursor), (std::vector<int32_t>{5, 6, 7, 8}));
  EXPECT_EQ(cursor->IndexPath()->Position, ippBof);
  // Keys outside the range put the path at the nearer end.
  EXPECT_EQ(SetToID(cursor, skaEqualFirst, 4), uint32_t(MVERR_RECNOTFOUND));
  EXPECT_EQ(cursor->IndexPath()->Position, ippBof);
  EXPECT_EQ(SetToID(cursor, skaGreaterEqual, 9), 0u);
  EXPECT_EQ(cursor->IndexPath()->Position, ippEof);
  int32_t recNo = 0;
  ASSERT_EQ(cursor->RecNoSet(2, false), 0u);
  EXPECT_EQ(CurrentID(cursor), 6);
  ASSERT_EQ(cursor->RecNoGet(recNo, false), 0u);
  EXPECT_EQ(recNo, 2);
  ASSERT_EQ(cursor->RecNoGet(recNo, true), 0u);
  EXPECT_EQ(recNo, 3);

  // A direct key, over the names with duplicates: the empty names of the
  // even IDs stand before "Person ...".
  ASSERT_EQ(cursor->SwitchToIndex(u"ByName", -1, porFalse), 0u);
  std::vector<uint8_t> key(256);
  ASSERT_EQ(cursor->BuildKey(Row(cursor, 2).data(), key.data(), true), 0u);
  ASSERT_EQ(cursor->RangeSet(1, 0, true, key.data(), true, 1, 0, true, key.data(), true), 0u);
  EXPECT_EQ(RangeIDs(cursor), (std::vector<int32_t>{2, 4, 6, 8, 10}));
  ASSERT_EQ(cursor->RangeSet(1, 0, true, key.data(), false, 0, 0, false, nullptr, true), 0u);
  EXPECT_EQ(RangeIDs(cursor), (std::vector<int32_t>{1, 3, 5, 7, 9}));
  EXPECT_FALSE(cursor->RangeEnd().riValid);
  EXPECT_EQ(cursor->RangeReset(), 0u);
  EXPECT_EQ(RangeIDs(cursor).size(), 10u);

  int32_t result = 9;
  EXPECT_EQ(cursor->CompareKeys(0, 0, false, Row(cursor, 3).data(), false, Row(cursor, 5).data(), result), 0u);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(cursor->CompareKeys(0, 0, true, key.data(), false, Row(cursor, 4).data(), result), 0u);
  EXPECT_EQ(result, 0);
}

TEST_F(TableCursor, BookmarksSavedPathsAndRecordNumbersWithoutIndex) {
  TmvServerTableCursor* cursor = Ten(Database());
  ASSERT_EQ(SetToID(cursor, skaEqualFirst, 3), 0u);
  ASSERT_EQ(Step(cursor), 3);
  uint32_t size = 0;
  ASSERT_EQ(cursor->sbcGetBookmarkSize(size), 0u);
  std::vector<uint8_t> mark(size);
  ASSERT_EQ(cursor->GetBookmark(mark.data(), size), 0u);
  EXPECT_EQ(cursor->RestorePath(), uint32_t(MVERR_NOCURRREC));
  ASSERT_EQ(cursor->SavePath(), 0u);
  ASSERT_EQ(Step(cursor), 4);
  ASSERT_EQ(cursor->RestorePath(), 0u);
  EXPECT_EQ(CurrentID(cursor), 3);
  EXPECT_EQ(cursor->RestorePath(), uint32_t(MVERR_NOCURRREC)) << "a saved path is restored once";
  cursor->SetToEnd();
  ASSERT_EQ(cursor->SetToBookmark(mark.data(), size), 0u);
  EXPECT_EQ(CurrentID(cursor), 3);
  // A bookmark outside the range puts the path at the range's end.
  std::vector<uint8_t> five = Row(cursor, 5);
  ASSERT_EQ(cursor->RangeSet(0, 0, false, five.data(), true, 0, 0, false, nullptr, true), 0u);
  ASSERT_EQ(cursor->SetToBookmark(mark.data(), size), 0u);
  EXPECT_EQ(cursor->IndexPath()->Position, ippBof);

  // Without index the record engine numbers the records.
  ASSERT_EQ(cursor->SwitchToIndex(String(), -1, porFalse), 0u);
  int32_t recNo = 0;
  ASSERT_EQ(cursor->RecNoSet(4, false), 0u);
  EXPECT_EQ(CurrentID(cursor), 4);
  const TmvRefNr fourth = cursor->sacGetRefNr();
  ASSERT_EQ(cursor->RecNoGet(recNo, true), 0u);
  EXPECT_EQ(recNo, 7);
  EXPECT_EQ(cursor->RecNoSet(11, false), uint32_t(MVERR_EOF));
  EXPECT_EQ(cursor->IndexPath()->Position, ippEof);
  std::vector<uint8_t> record(cursor->RecordLength() + 4);
  EXPECT_EQ(cursor->sacGetRecordByID(fourth, record.data()), 0u);
  EXPECT_EQ(IDOf(cursor, record.data()), 4);
  EXPECT_EQ(CurrentID(cursor), 4);
}

TEST_F(TableCursor, SetToCursorNeedsTheSameTableAndSessionAndFollowsTheRecord) {
  TmvServerDatabase* db = Database();
  TmvServerTableCursor* byID = Ten(db);
  ASSERT_EQ(Build(DiskFolder(), u"Other", IndexedPeople().get()), 0u);
  TmvServerTableCursor* other = Open(db, u"Other");
  TmvServerTableCursor* byName = Open(db, u"T", u"ByName");
  TmvServerTableCursor* elsewhere = Open(Database(), u"T", u"ByID");

  EXPECT_EQ(byName->SetToCursor(other), uint32_t(MVERR_DIFFERENTTABLES));
  EXPECT_EQ(LastText(MVERR_DIFFERENTTABLES), u"Cannot set cursor of one table to another.");
  EXPECT_EQ(elsewhere->SetToCursor(byID), uint32_t(MVERR_DIFFERENTSESSIONS));
  EXPECT_EQ(LastText(MVERR_DIFFERENTSESSIONS), u"Objects are not owned by the same session.");
  EXPECT_EQ(byName->SetToCursor(nullptr), uint32_t(MVERR_INVALIDHNDL));

  ASSERT_EQ(SetToID(byID, skaEqualFirst, 6), 0u);
  ASSERT_EQ(Step(byID), 6);
  ASSERT_EQ(byName->SetToCursor(byID), 0u);
  EXPECT_EQ(byName->IndexPath()->Position, ippOnKey);
  EXPECT_EQ(CurrentID(byName), 6);
  // On the same index the path is copied, crack and all.
  TmvServerTableCursor* twin = Open(db, u"T", u"ByID");
  ASSERT_EQ(SetToID(byID, skaGreater, 6), 0u);
  ASSERT_EQ(twin->SetToCursor(byID), 0u);
  EXPECT_EQ(twin->IndexPath()->Position, ippOnCrackBefore);
  EXPECT_EQ(Step(twin), 7);
}

TEST_F(TableCursor, DuplicateKeepsIndexPathRangeAndAnInactiveFilter) {
  TmvServerDatabase* db = Database();
  TmvServerTableCursor* cursor = Ten(db, u"ByName");
  std::vector<uint8_t> low = Row(cursor, 3), high = Row(cursor, 7);
  ASSERT_EQ(cursor->RangeSet(0, 0, false, low.data(), false, 0, 0, false, high.data(), true), 0u);
  ASSERT_EQ(cursor->RecNoSet(1, false), 0u);
  const int32_t current = CurrentID(cursor);
  TmvFilterID filter = 0;
  ASSERT_EQ(cursor->FilterAddCallback(nullptr, [](void*, const void*) { return false; }, filter, true), 0u);

  TmvAbstractCursor* created = nullptr;
  ASSERT_EQ(cursor->Duplicate(omReadOnly, created), 0u);
  auto* copy = static_cast<TmvServerTableCursor*>(created);
  cursors.push_back(copy);
  int32_t id = 0;
  copy->GetIndexID(id);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(CurrentID(copy), current);
  EXPECT_EQ(RangeIDs(copy), RangeIDs(cursor));
  EXPECT_TRUE(copy->RangeStart().riExclusive);
  EXPECT_FALSE(copy->RangeEnd().riExclusive);
  ASSERT_NE(copy->Filter(), nullptr);
  EXPECT_FALSE(copy->Filter()->GetActive());
  EXPECT_NE(copy->Filter(), cursor->Filter());
  EXPECT_TRUE(copy->IsReadOnly());
  EXPECT_EQ(copy->ShareMode(), smShared);
}

TEST_F(TableCursor, OwnRecordNumbersAreUniqueAmongLiveCursors) {
  TmvServerDatabase* db = Database();
  ASSERT_EQ(Build(DiskFolder(), u"T", IndexedPeople().get()), 0u);
  std::vector<TmvServerTableCursor*> open;
  for (int i = 0; i < 8; ++i) open.push_back(Open(db, u"T"));
  std::set<TmvRefNr> seen;
  for (TmvServerTableCursor* c : open) {
    EXPECT_EQ(c->SelfRefNr() >> 32, 0x7FFFFFFFu);
    EXPECT_TRUE(seen.insert(c->SelfRefNr()).second);
  }
  // A cursor made where another was freed still gets a number of its own.
  const TmvRefNr kept = open[3]->SelfRefNr();
  Close(open[2]);
  TmvServerTableCursor* next = Open(db, u"T");
  EXPECT_NE(next->SelfRefNr(), kept);
  for (TmvServerTableCursor* c : open)
    if (c != open[2]) { EXPECT_NE(next->SelfRefNr(), c->SelfRefNr()); }
}

TEST_F(TableCursor, AnUnnamedResultTableGoesWithItsLastCursor) {
  TmvServerDatabase* db = Database();
  std::unique_ptr<TmvDataDictionary> dd = IndexedPeople();
  TmvServerFolder* folder = DiskFolder();
  int32_t before;
  {
    TmvPadlockGuard guard(folder->TablesPadlock());
    before = folder->TableCount();
  }
  TmvSqlAbstractCursor* result = db->sadCreateResultSet(dd.get(), 0);
  auto* cursor = static_cast<TmvServerTableCursor*>(result);
  EXPECT_TRUE(cursor->IsUnnamed);
  EXPECT_EQ(cursor->ShareMode(), smExclusive);
  EXPECT_FALSE(cursor->IsReadOnly());
  int32_t id = -1;
  cursor->GetIndexID(id);
  EXPECT_EQ(id, 0) << "the default index";
  Fill(cursor, {1, 2, 3});
  TmvAbstractCursor* copy = nullptr;
  ASSERT_EQ(cursor->Duplicate(omReadWrite, copy), 0u);
  {
    TmvPadlockGuard guard(folder->TablesPadlock());
    EXPECT_EQ(folder->TableCount(), before + 1);
  }
  TmvAbstractServerObject::Free(cursor);
  {
    TmvPadlockGuard guard(folder->TablesPadlock());
    EXPECT_EQ(folder->TableCount(), before + 1) << "the copy still holds the table";
  }
  TmvAbstractServerObject::Free(copy);
  TmvPadlockGuard guard(folder->TablesPadlock());
  EXPECT_EQ(folder->TableCount(), before);
}

}  // namespace
