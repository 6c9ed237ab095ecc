// Test support of the table cursor: a fixture with the index engines, a
// database of a session on the scratch folder, the "people" table with a
// unique index on ID and one with duplicates on NAME, cursors opened
// through the database, and records put into a table through its record
// and indices engines in a transaction of the cursor's context (reading
// and writing through the cursor come later).
#pragma once

#include <memory>
#include <vector>

#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "index/mvixUnits.h"
#include "server/cursors/mvsrServerTableCursor.h"
#include "server/tables/TableTestSupport.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/records/mvseRecordEngine.h"

namespace cursor_test {

using namespace table_test;

// The people dictionary with "ByID" (unique, ID) and "ByName" (duplicates,
// NAME); aDefault is the default index.
inline std::unique_ptr<TmvDataDictionary> IndexedPeople(int32_t aDefault = 0) {
  std::unique_ptr<TmvDataDictionary> dd = People();
  TmvMainIndicesDescriptor* indices = dd->EnsureIndicesDescriptor();
  for (const auto& [name, field, dups] : {std::tuple{u"ByID", u"ID", idNone}, std::tuple{u"ByName", u"NAME", idAll}}) {
    auto* key = static_cast<TmvCompKeyDescriptor*>(indices->AddIndex(name, 0, dups, u"")->GetKeyDescriptor());
    key->Add(dd->GetFieldsDescriptor()->GetFieldFromName(field));
  }
  indices->SetDefaultIndex(aDefault);
  return dd;
}

class CursorTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    mvIndexInit();
  }
  void TearDown() override {
    for (auto it = cursors.rbegin(); it != cursors.rend(); ++it) TmvAbstractServerObject::Free(*it);
    cursors.clear();
    FreeFolders();
    mvIndexFini();
    TableTest::TearDown();
  }

  // A database of a new session on the scratch folder.
  TmvServerDatabase* Database() {
    TmvServerSession* session = Session();
    TmvAbstractDatabase* db = nullptr;
    EXPECT_EQ(session->DatabaseOpen(db, u"Path", disk.Path(), nullptr, omReadWrite, smShared, 0), 0u);
    return static_cast<TmvServerDatabase*>(db);
  }
  TmvServerFolder* DiskFolder() { return Folder(disk.Path()); }

  // A cursor through the database (nil on failure, the code in aCode).
  TmvServerTableCursor* Open(TmvServerDatabase* aDb, const String& aTable, const String& aIndex = String(),
                             int32_t aIndexID = -1, TmvOpenMode aMode = omReadWrite, TmvShareMode aShare = smShared,
                             uint32_t* aCode = nullptr) {
    TmvAbstractCursor* cursor = nullptr;
    const uint32_t code =
        aDb->CursorOpen(cursor, aTable, String(), aMode, aShare, 0, aIndex, aIndexID, false, 0, 0, nullptr);
    if (aCode)
      *aCode = code;
    else
      EXPECT_EQ(code, 0u) << UTF8Encode(LastText(code));
    if (code != 0) return nullptr;
    cursors.push_back(cursor);
    return static_cast<TmvServerTableCursor*>(cursor);
  }
  void Close(TmvServerTableCursor* aCursor) {
    std::erase(cursors, static_cast<TmvAbstractCursor*>(aCursor));
    TmvAbstractServerObject::Free(aCursor);
  }

  // A record of an ID (the people values; aName overrides the name).
  static std::vector<uint8_t> Row(TmvServerTableCursor* aCursor, int32_t aID, const char* aName = nullptr) {
    TmvFieldsDescriptor* fields = aCursor->Table()->FieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength()) + 4);
    TPeopleTable::Record(fields, aID, record.data());
    if (aName) {
      uint8_t name[41] = {uint8_t(std::strlen(aName))};
      std::memcpy(name + 1, aName, std::strlen(aName));
      fields->SetRecordField(1, record.data(), name);
    }
    return record;
  }

  // Adds the records of aIDs in one committed transaction of the cursor's
  // context under its exclusive content lock; their references in order.
  std::vector<TmvRefNr> Fill(TmvServerTableCursor* aCursor, const std::vector<int32_t>& aIDs,
                             const std::function<void(std::vector<uint8_t>&, int32_t)>& aShape = nullptr) {
    std::vector<TmvRefNr> refs;
    TmvAbstractTransContext* context = aCursor->_Trans();
    EXPECT_EQ(context->TransactionStart(false, false), 0u);
    EXPECT_EQ(aCursor->sbcBeginContentLock(true, false, false), 0u);
    TmvBaseTransaction* trans = aCursor->stcTrans();
    for (int32_t id : aIDs) {
      std::vector<uint8_t> record = Row(aCursor, id);
      if (aShape) aShape(record, id);
      TmvRefNr ref = 0;
      aCursor->Table()->RecordEngine()->AddRecord(trans, ref, record.data());
      if (aCursor->Table()->IndicesEngine()) {
        EXPECT_EQ(aCursor->Table()->IndicesEngine()->InsertKeys(trans, ref, record.data(), nullptr), 0);
      }
      refs.push_back(ref);
    }
    EXPECT_EQ(context->TransactionCommit(), 0u);
    return refs;
  }

  static int32_t IDOf(TmvServerTableCursor* aCursor, const void* aRecord) {
    bool isNull = true;
    int32_t id = -1;
    aCursor->Table()->FieldsDescriptor()->GetRecordField(0, aRecord, isNull, &id);
    return isNull ? -1 : id;
  }
  // The ID of the record the cursor's path stands on (-1: none).
  static int32_t CurrentID(TmvServerTableCursor* aCursor) {
    std::vector<uint8_t> record(aCursor->RecordLength() + 4);
    if (aCursor->stcReadPathRecord(record.data()) != 0) return -1;
    return IDOf(aCursor, record.data());
  }
  // One key forward (backward) on the cursor's index, then its record's ID
  // (-1 at the end).
  static int32_t Step(TmvServerTableCursor* aCursor, bool aForward = true) {
    TmvBaseIndexEngine* index = aCursor->IndexEngine();
    const bool moved = aForward ? index->NextKey(aCursor->stcTrans(), aCursor->IndexPath(), nullptr)
                                : index->PrevKey(aCursor->stcTrans(), aCursor->IndexPath(), nullptr);
    return moved ? CurrentID(aCursor) : -1;
  }
  // The IDs the cursor's index walks over inside the cursor's range.
  static std::vector<int32_t> RangeIDs(TmvServerTableCursor* aCursor) {
    TmvBaseIndexEngine* index = aCursor->IndexEngine();
    std::unique_ptr<TmvBaseIndexPath> path(index->CreateIndexPath());
    std::vector<int32_t> ids;
    std::vector<uint8_t> record(aCursor->RecordLength() + 4);
    uint8_t* data = record.data();
    index->Iterate(
        aCursor->stcTrans(), path.get(), data, nullptr,
        [&](void*, TmvRefNr, const uint8_t* aRecord) {
          ids.push_back(IDOf(aCursor, aRecord));
          return rirContinue;
        },
        nullptr, aCursor->RangeStart(), aCursor->RangeEnd(), nullptr, nullptr, false);
    return ids;
  }

  std::vector<TmvAbstractCursor*> cursors;
};

}  // namespace cursor_test
