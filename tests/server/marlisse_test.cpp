// The engine as a library, end to end through its one public header: a
// table with a unique and a non-unique index filled in one transaction,
// changed, partly deleted and once rolled back, each step checked against a
// std::map model; then the engine is stopped, started again and the table
// read back through ranges and lookups.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "server/marlisse.h"
#include "support/mvGroupedPeople.h"

namespace {

struct Person {
  std::u16string Name;
  int32_t Group;
  double Amount;
};
using Model = std::map<int32_t, Person>;  // by ID

constexpr int32_t kCount = 100000;
constexpr int32_t kGroups = 1000;

std::u16string NameOf(int32_t aNumber) {
  char text[16];
  std::snprintf(text, sizeof text, "N%06d", aNumber);
  return std::u16string(text, text + std::strlen(text));
}

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "mv-library-XXXXXX").string();
    root = ::mkdtemp(pattern.data());
    folder = root / "db";
    std::filesystem::create_directory(folder);
  }
  void TearDown() override {
    Close();
    std::filesystem::remove_all(root);
  }

  void Start() {
    engine = std::make_unique<TmvEmbeddedEngine>();
    const std::string path = folder.string();
    ASSERT_EQ(engine->OpenDatabase(String(path.begin(), path.end()), session, db), 0u);
  }
  void Close() {
    for (TmvAbstractCursor*& c : {std::ref(byName), std::ref(byGroup)}) {
      TmvAbstractServerObject::Free(c);
      c = nullptr;
    }
    TmvAbstractServerObject::Free(db);
    TmvAbstractServerObject::Free(session);
    db = nullptr;
    session = nullptr;
    engine.reset();
  }
  void OpenCursors() {
    ASSERT_EQ(db->CursorOpen(byName, u"People", u"", omReadWrite, smShared, 0, u"ByName", -1, false, 0, 0, nullptr),
              0u);
    ASSERT_EQ(db->CursorOpen(byGroup, u"People", u"", omReadWrite, smShared, 0, u"ByGroup", -1, false, 0, 0, nullptr),
              0u);
    record.assign(byName->RecordLength() + 4, 0);
  }

  void Fill(TmvAbstractCursor* aCursor, const Person& aPerson) {
    aCursor->SetFieldAsVariantSelf(record.data(), 1, Variant(String(aPerson.Name)));
    aCursor->SetFieldAsVariantSelf(record.data(), 2, Variant(aPerson.Group));
    aCursor->SetFieldAsVariantSelf(record.data(), 3, Variant(aPerson.Amount));
  }
  int32_t ID() { return byName->GetFieldAsVariantSelf(record.data(), 0).AsInteger(); }
  Person Read(TmvAbstractCursor* aCursor) {
    return Person{aCursor->GetFieldAsVariantSelf(record.data(), 1).AsString(),
                  aCursor->GetFieldAsVariantSelf(record.data(), 2).AsInteger(),
                  aCursor->GetFieldAsVariantSelf(record.data(), 3).AsDouble()};
  }
  uint32_t FindName(const std::u16string& aName) {
    byName->RecordBufferClear(record.data());
    byName->SetFieldAsVariantSelf(record.data(), 1, Variant(String(aName)));
    return byName->RecordGetForKey(1, 0, false, record.data(), record.data(), true, true);
  }
  void ExpectMatches(const Model& aModel) {
    uint32_t count = 0;
    ASSERT_EQ(byName->GetRecordCountEx(rcoTotalRecordCount, count, false), 0u);
    EXPECT_EQ(count, aModel.size());
    ASSERT_EQ(byGroup->GetRecordCountEx(rcoTotalKeyCount, count, false), 0u);
    EXPECT_EQ(count, aModel.size());
  }

  std::filesystem::path root, folder;
  std::unique_ptr<TmvEmbeddedEngine> engine;
  TmvAbstractSession* session = nullptr;
  TmvAbstractDatabase* db = nullptr;
  TmvAbstractCursor* byName = nullptr;
  TmvAbstractCursor* byGroup = nullptr;
  std::vector<uint8_t> record;
};

TEST_F(Library, StoresAndFindsRecordsAcrossTransactionsAndRestarts) {
  Start();
  {
    TmvDataDictionary dictionary;
    mvAddGroupedPeopleFields(dictionary);
    ASSERT_EQ(mvBuildTable(db, u"People", &dictionary), 0u);
  }
  OpenCursors();

  // 100,000 inserts in one transaction.
  Model model;
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  for (int32_t i = 0; i < kCount; ++i) {
    const Person person{NameOf(i), i % kGroups, i * 0.5};
    byName->RecordBufferClear(record.data());
    Fill(byName, person);
    int64_t id = 0;
    ASSERT_EQ(byName->RecordInsert(mvltNoLock, record.data(), &id), 0u) << i;
    model[int32_t(id)] = person;
  }
  ASSERT_EQ(db->TransactionCommit(), 0u);
  ExpectMatches(model);

  // Every 10th record modified, every 3rd deleted.
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  int32_t n = 0;
  for (auto& [id, person] : model) {
    if (n++ % 10 != 0) continue;
    ASSERT_EQ(FindName(person.Name), 0u);
    person.Group = (person.Group + 7) % kGroups;
    person.Amount += 1;
    Fill(byName, person);
    ASSERT_EQ(byName->RecordModify(record.data(), true, nullptr), 0u);
  }
  n = 0;
  for (auto it = model.begin(); it != model.end();) {
    if (n++ % 3 != 0) {
      ++it;
      continue;
    }
    ASSERT_EQ(FindName(it->second.Name), 0u);
    ASSERT_EQ(byName->RecordDelete(nullptr, 0), 0u);
    it = model.erase(it);
  }
  ASSERT_EQ(db->TransactionCommit(), 0u);
  ExpectMatches(model);

  // A transaction that deletes everything, rolled back.
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  byGroup->SetToBegin();
  while (byGroup->RecordGetNext(mvltNoLock, nullptr) == 0) ASSERT_EQ(byGroup->RecordDelete(nullptr, 0), 0u);
  uint32_t count = 1;
  ASSERT_EQ(byGroup->GetRecordCountEx(rcoTotalRecordCount, count, false), 0u);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(db->TransactionRollback(), 0u);
  ExpectMatches(model);

  // Stopped and started again.
  Close();
  Start();
  OpenCursors();
  ExpectMatches(model);
  for (int32_t group : {0, 1, 7, 500, 999}) {
    SCOPED_TRACE(group);
    std::vector<int32_t> expected;
    for (const auto& [id, person] : model)
      if (person.Group == group) expected.push_back(id);
    byGroup->RecordBufferClear(record.data());
    byGroup->SetFieldAsVariantSelf(record.data(), 2, Variant(group));
    ASSERT_EQ(byGroup->RangeSet(1, 0, false, record.data(), true, 1, 0, false, record.data(), true), 0u);
    std::vector<int32_t> seen;
    while (byGroup->RecordGetNext(mvltNoLock, record.data()) == 0) {
      EXPECT_EQ(Read(byGroup).Group, group);
      EXPECT_EQ(Read(byGroup).Name, model[ID()].Name);
      seen.push_back(ID());
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected);
    ASSERT_EQ(byGroup->GetRecordCountEx(rcoRangedKeyCount, count, false), 0u);
    EXPECT_EQ(count, expected.size());
  }
  {
    std::map<std::u16string, int32_t> byNameModel;
    for (const auto& [id, person] : model)
      if (person.Name >= NameOf(20000) && person.Name <= NameOf(20999)) byNameModel[person.Name] = id;
    byName->RecordBufferClear(record.data());
    byName->SetFieldAsVariantSelf(record.data(), 1, Variant(String(NameOf(20000))));
    std::vector<uint8_t> to(record.size());
    byName->RecordBufferClear(to.data());
    byName->SetFieldAsVariantSelf(to.data(), 1, Variant(String(NameOf(20999))));
    ASSERT_EQ(byName->RangeSet(1, 0, false, record.data(), true, 1, 0, false, to.data(), true), 0u);
    auto it = byNameModel.begin();
    while (byName->RecordGetNext(mvltNoLock, record.data()) == 0) {
      ASSERT_NE(it, byNameModel.end());
      EXPECT_EQ(Read(byName).Name, it->first);
      EXPECT_EQ(ID(), it->second);
      EXPECT_EQ(Read(byName).Amount, model[ID()].Amount);
      ++it;
    }
    EXPECT_EQ(it, byNameModel.end());
    byName->RangeReset();
  }
  EXPECT_EQ(FindName(NameOf(0)), uint32_t(MVERR_RECNOTFOUND)) << "record 0 was deleted";
  ASSERT_EQ(FindName(NameOf(1)), 0u);
  byName->SetFieldAsVariantSelf(record.data(), 0, Variant(int32_t(0)));
  int64_t id = 0;
  EXPECT_EQ(byName->RecordInsert(mvltNoLock, record.data(), &id), uint32_t(MVERR_KEYVIOL));
  ExpectMatches(model);
}

}  // namespace
