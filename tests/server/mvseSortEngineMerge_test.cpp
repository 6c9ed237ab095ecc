// Tests of the merge sort engine: order, spilling into runs and their
// merging, the iterations with key groups, errors of the run cursors, and
// its installation at start-up. Runs are in-memory test cursors handed out
// by a test database; the last test sorts a million records over real
// temporary tables whose blocks move out to the temporary storage.
#include "server/mvseSortEngineMerge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "CursorTestSupport.h"
#include "server/cursors/TableCursorTestSupport.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "foundation/errors/mvllErrors.h"
#include "storage/mvsrTimeoutHandling.h"
#include "support/mvSortRecord.h"

namespace {

// A run: a list cursor that takes inserts, and fails them on request.
class RunCursor : public TestListCursor {
 public:
  RunCursor(TmvAbstractDatabase* aDatabase, std::unique_ptr<TestTable> aTable, int aFailAfter, int* aLive)
      : TestListCursor(aDatabase, aTable.get()), own(std::move(aTable)), failAfter(aFailAfter), live(aLive) {
    ++*live;
  }
  ~RunCursor() override { --*live; }
  uint32_t RecordInsert(TmvLockType, void* aData, int64_t*) override {
    if (failAfter == 0) return EmvBaseException::mvSetMessage(MVERR_TEMPSTORAGEFULL, String());
    if (failAfter > 0) --failAfter;
    auto* bytes = static_cast<const uint8_t*>(aData);
    table->rows.emplace_back(bytes, bytes + table->RecordLength());
    return 0;
  }
  std::unique_ptr<TestTable> own;
  int failAfter;
  int* live;
};

// A database whose result sets are run cursors; it counts them, and a test
// may make the Nth insert into any new run fail.
class RunDatabase : public TestSqlDatabase {
 public:
  using TestSqlDatabase::TestSqlDatabase;
  TmvSqlAbstractCursor* sadCreateResultSet(TmvDataDictionary* aDictionary, uint32_t) override {
    ++created;
    if (refuse) throw EmvServerException(int64_t(refuse));
    auto table = std::make_unique<TestTable>();
    table->dd.Assign(aDictionary);
    return TmvAbstractServerObject::Create<RunCursor>(this, std::move(table), failAfter, &live);
  }
  int created = 0;
  int live = 0;
  int failAfter = -1;  // -1: never
  uint32_t refuse = 0;
};

class MergeSort : public CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    db = TmvAbstractServerObject::Create<RunDatabase>(session, context, 0u);
    mvSetOperationDeadline(0, true);  // none: the server's frame sets one
    TmvFieldsDescriptor* f = dict.GetFieldsDescriptor();
    f->AddField(u"K", u"", mvtInt32, 0, 0, false);
    // The record fills a slot of 128 bytes: 8,192 records to the buffer.
    f->AddField(u"S", u"", mvtShortString, 110, 0, false);
    f->AddField(u"SEQ", u"", mvtInt32, 0, 0, false);
    index = dict.GetIndicesDescriptor()->AddIndex(u"ByK", 0, idAll, u"");
    static_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor())->Add(f->GetFieldFromName(u"K"));
  }
  void TearDown() override {
    sorter.reset();
    CursorTest::TearDown();
  }
  void NewEngine() { sorter = std::make_unique<TmvMergeSortEngine>(db, &dict, index); }

  std::vector<uint8_t> Record(int32_t aKey, int32_t aSeq) {
    TmvFieldsDescriptor* f = dict.GetFieldsDescriptor();
    std::vector<uint8_t> r(size_t(f->RecordLength()));
    f->InitRecord(r.data());
    f->SetRecordField(0, r.data(), &aKey);
    f->SetRecordField(2, r.data(), &aSeq);
    return r;
  }
  int32_t KeyOf(const uint8_t* aRecord) {
    int32_t v = 0;
    bool isNull;
    dict.GetFieldsDescriptor()->GetRecordField(0, aRecord, isNull, &v);
    return v;
  }
  int32_t SeqOf(const uint8_t* aRecord) {
    int32_t v = 0;
    bool isNull;
    dict.GetFieldsDescriptor()->GetRecordField(2, aRecord, isNull, &v);
    return v;
  }
  // Puts aCount records with keys from a generator; each record's SEQ is its
  // put order. Returns the keys put by SEQ.
  std::vector<int32_t> PutRandom(uint32_t aCount, int32_t aKeyRange, uint32_t aSeed = 1) {
    std::mt19937 random(aSeed);
    std::vector<int32_t> keys;
    for (uint32_t i = 0; i < aCount; ++i) {
      keys.push_back(int32_t(random() % uint32_t(aKeyRange)));
      EXPECT_EQ(sorter->Put(Record(keys.back(), int32_t(i)).data()), 0);
    }
    return keys;
  }
  // Takes every record by Get and checks order and completeness against
  // the keys put.
  void ExpectAllInOrder(const std::vector<int32_t>& aKeys) {
    std::vector<uint8_t> r(dict.GetFieldsDescriptor()->RecordLength());
    std::vector<bool> seen(aKeys.size());
    int32_t last = INT32_MIN;
    size_t n = 0;
    for (int32_t code; (code = sorter->Get(r.data())) != MVERR_EOF; ++n) {
      ASSERT_EQ(code, 0);
      const int32_t key = KeyOf(r.data()), seq = SeqOf(r.data());
      ASSERT_GE(key, last);
      ASSERT_TRUE(seq >= 0 && size_t(seq) < aKeys.size() && !seen[size_t(seq)]);
      ASSERT_EQ(aKeys[size_t(seq)], key);
      seen[size_t(seq)] = true;
      last = key;
    }
    EXPECT_EQ(n, aKeys.size());
    EXPECT_EQ(sorter->Get(r.data()), MVERR_EOF);
  }

  RunDatabase* db = nullptr;
  TmvDataDictionary dict;
  TmvIndexDescriptor* index = nullptr;
  std::unique_ptr<TmvMergeSortEngine> sorter;
};

TEST_F(MergeSort, NothingPutGivesEndOfTableAndNoIteration) {
  NewEngine();
  std::vector<uint8_t> r(dict.GetFieldsDescriptor()->RecordLength());
  EXPECT_EQ(sorter->Get(r.data()), MVERR_EOF);
  NewEngine();
  int calls = 0;
  EXPECT_FALSE(sorter->Iterate(nullptr, nullptr, [&](void*, TmvRefNr, const uint8_t*) {
    ++calls;
    return rirContinue;
  }, nullptr));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(db->created, 0);
}

TEST_F(MergeSort, WhatFitsTheBufferIsSortedInMemory) {
  NewEngine();
  ASSERT_EQ(sorter->MaxRecCount(), 8192u);
  // Few distinct keys: many equal ones, all delivered.
  const std::vector<int32_t> keys = PutRandom(8192, 50);
  ExpectAllInOrder(keys);
  EXPECT_EQ(db->created, 0);
}

TEST_F(MergeSort, TheRecordAfterAFullBufferWritesTheFirstRun) {
  NewEngine();
  std::vector<int32_t> keys = PutRandom(8192, 1000000);
  EXPECT_EQ(sorter->RunCount(), 0u);
  ASSERT_EQ(sorter->Put(Record(7, 8192).data()), 0);
  keys.push_back(7);
  EXPECT_EQ(sorter->RunCount(), 1u);
  EXPECT_EQ(db->created, 1);
  ExpectAllInOrder(keys);
  EXPECT_EQ(db->live, 0);  // the used-up runs are freed
}

TEST_F(MergeSort, TwelveRunsMergeTheOldestFiveTwiceAndLeaveFour) {
  NewEngine();
  const std::vector<int32_t> keys = PutRandom(12 * 8192, 1 << 30, 7);
  EXPECT_EQ(sorter->RunCount(), 11u);  // the twelfth is still the buffer
  std::vector<uint8_t> first(dict.GetFieldsDescriptor()->RecordLength());
  ASSERT_EQ(sorter->Get(first.data()), 0);
  // 12 runs, then 1-5 into 13 and 6-10 into 14: 11, 12, 13, 14 are merged.
  EXPECT_EQ(db->created, 14);
  EXPECT_EQ(sorter->RunCount(), 4u);
  EXPECT_EQ(sorter->MergeCursorCount(), 4);
  EXPECT_EQ(KeyOf(first.data()), *std::min_element(keys.begin(), keys.end()));
  // The rest follows in order; the first record is taken already.
  std::vector<int32_t> rest = keys;
  rest[size_t(SeqOf(first.data()))] = INT32_MIN;  // found before, cannot reappear
  std::vector<uint8_t> r(first.size());
  int32_t last = KeyOf(first.data());
  size_t n = 1;
  for (int32_t code; (code = sorter->Get(r.data())) != MVERR_EOF; ++n) {
    ASSERT_EQ(code, 0);
    ASSERT_GE(KeyOf(r.data()), last);
    ASSERT_EQ(rest[size_t(SeqOf(r.data()))], KeyOf(r.data()));
    rest[size_t(SeqOf(r.data()))] = INT32_MIN;
    last = KeyOf(r.data());
  }
  EXPECT_EQ(n, keys.size());
  EXPECT_EQ(db->live, 0);
}

TEST_F(MergeSort, IterateSameKeyDeliversOneGroupAndLeavesTheNextRecord) {
  NewEngine();
  for (auto [key, seq] : {std::pair{2, 0}, {1, 1}, {1, 2}})  // a, a, b as 1, 1, 2
    ASSERT_EQ(sorter->Put(Record(key, seq).data()), 0);
  std::vector<int32_t> group;
  EXPECT_TRUE(sorter->IterateSameKey(nullptr, [&](void*, TmvRefNr aRef, const uint8_t* aRecord) {
    EXPECT_EQ(aRef, 0);
    group.push_back(KeyOf(aRecord));
    return rirContinue;
  }, nullptr));
  EXPECT_EQ(group, (std::vector<int32_t>{1, 1}));
  std::vector<uint8_t> r(dict.GetFieldsDescriptor()->RecordLength());
  ASSERT_EQ(sorter->Get(r.data()), 0);
  EXPECT_EQ(KeyOf(r.data()), 2);
  EXPECT_EQ(sorter->Get(r.data()), MVERR_EOF);
}

// The groups of equal keys, in memory and over merged runs, agree with the
// keys put; key-changed flags mark each group's first record.
TEST_F(MergeSort, GroupsAndKeyChangesAgreeWithAModelInMemoryAndOverRuns) {
  for (uint32_t count : {5000u, 9 * 8192u + 77}) {
    SCOPED_TRACE(count);
    NewEngine();
    const std::vector<int32_t> keys = PutRandom(count, 300, count);
    std::map<int32_t, int> model;
    for (int32_t k : keys) ++model[k];
    // Groups by IterateSameKey; the caller's own buffer receives each.
    std::vector<uint8_t> mine(dict.GetFieldsDescriptor()->RecordLength());
    uint8_t* data = mine.data();
    std::map<int32_t, int> groups;
    for (;;) {
      int32_t key = -1;
      int size = 0;
      const bool more = sorter->IterateSameKey(&data, [&](void*, TmvRefNr, const uint8_t* aRecord) {
        EXPECT_EQ(aRecord, mine.data());
        if (size == 0) key = KeyOf(aRecord);
        EXPECT_EQ(KeyOf(aRecord), key);
        ++size;
        return rirContinue;
      }, nullptr);
      if (!more) break;
      ASSERT_EQ(groups.count(key), 0u) << "group " << key << " split";
      groups[key] = size;
    }
    EXPECT_EQ(groups, model);

    // Iterate: an internal record each time, key changes at group starts.
    NewEngine();
    PutRandom(count, 300, count);
    uint8_t* internal = nullptr;
    bool changed = false;
    int32_t previous = -1;
    size_t n = 0, starts = 0;
    EXPECT_TRUE(sorter->Iterate(&internal, &changed, [&](void*, TmvRefNr, const uint8_t* aRecord) {
      EXPECT_EQ(aRecord, internal);
      const int32_t key = KeyOf(aRecord);
      EXPECT_EQ(changed, n == 0 || key != previous);
      starts += changed;
      previous = key;
      ++n;
      return rirContinue;
    }, nullptr));
    EXPECT_EQ(n, size_t(count));
    EXPECT_EQ(starts, model.size());
  }
}

TEST_F(MergeSort, AnIteratorStopEndsWithFalse) {
  NewEngine();
  PutRandom(20000, 100);
  int calls = 0;
  EXPECT_FALSE(sorter->Iterate(nullptr, nullptr, [&](void*, TmvRefNr, const uint8_t*) {
    return ++calls == 3 ? rirStop : rirContinue;
  }, nullptr));
  EXPECT_EQ(calls, 3);
}

TEST_F(MergeSort, RunErrorsAreReturnedWhilePuttingAndRaisedWhileMerging) {
  // A run that cannot be made: the Put that needs it gives the code.
  NewEngine();
  PutRandom(8192, 1000);
  db->refuse = MVERR_OPERATIONTIMEOUT;
  EXPECT_EQ(sorter->Put(Record(1, 8192).data()), MVERR_OPERATIONTIMEOUT);
  db->refuse = 0;
  // The buffer is kept whole: the next Put writes it and goes on.
  EXPECT_EQ(sorter->Put(Record(1, 8192).data()), 0);
  EXPECT_EQ(sorter->RunCount(), 1u);

  // An insert into a run fails: that code, and the run is freed.
  NewEngine();
  PutRandom(8192, 1000);
  db->failAfter = 100;
  const int liveBefore = db->live;
  EXPECT_EQ(sorter->Put(Record(1, 8192).data()), MVERR_TEMPSTORAGEFULL);
  EXPECT_EQ(db->live, liveBefore);
  EXPECT_EQ(sorter->RunCount(), 0u);

  // The last buffer cannot be written when getting starts: the code, and
  // nothing is delivered afterwards.
  db->failAfter = -1;
  NewEngine();
  PutRandom(8193, 1000);
  db->failAfter = 0;
  std::vector<uint8_t> r(dict.GetFieldsDescriptor()->RecordLength());
  EXPECT_EQ(sorter->Get(r.data()), MVERR_TEMPSTORAGEFULL);
  EXPECT_EQ(sorter->Get(r.data()), MVERR_EOF);

  // Merging six runs into a new one fails: an exception of the engine
  // with the cursor's code.
  db->failAfter = -1;
  NewEngine();
  PutRandom(6 * 8192 + 1, 1000);
  db->failAfter = 10;
  try {
    sorter->Get(r.data());
    FAIL() << "no exception";
  } catch (const EmvMergeSortEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), uint32_t(MVERR_TEMPSTORAGEFULL));
  }
  sorter.reset();
  EXPECT_EQ(db->live, 0);
}

TEST_F(MergeSort, ADeadlineCloseByEndsALongSort) {
  NewEngine();
  PutRandom(8192, 1000);
  mvSetOperationDeadline(5, true);
  String text;
  EXPECT_EQ(RaisedCode([&] { sorter->Put(Record(1, 8192).data()); }, &text), uint32_t(MVERR_OPERATIONTIMEOUT));
  mvSetOperationDeadline(0, true);
}

TEST_F(MergeSort, TheInstalledClassMakesAMergeSortEngine) {
  ASSERT_EQ(mvSortEngineClass.load(), &TmvMergeSortEngine::StaticClass);
  std::unique_ptr<TmvBaseSortEngine> made(mvSortEngineClass.load()->Create(db, &dict, index));
  EXPECT_NE(dynamic_cast<TmvMergeSortEngine*>(made.get()), nullptr);
}

using MergeSortStartUp = ServerTest;

TEST_F(MergeSortStartUp, InstallsTheEngineOnlyWhereNoneWasSetAndTakesItOutAgain) {
  EXPECT_EQ(mvSortEngineClass.load(), &TmvMergeSortEngine::StaticClass);
  mvServerFini();
  EXPECT_EQ(mvSortEngineClass.load(), nullptr);
  // A class set before start-up stays, also through shutdown.
  static const TmvSortEngineClassRef other{{u"OtherSort", nullptr}, nullptr};
  mvSortEngineClass = &other;
  mvServerInit();
  EXPECT_EQ(mvSortEngineClass.load(), &other);
  mvServerFini();
  EXPECT_EQ(mvSortEngineClass.load(), &other);
  mvSortEngineClass = nullptr;
  mvServerInit();
  EXPECT_EQ(mvSortEngineClass.load(), &TmvMergeSortEngine::StaticClass);
}

TEST_F(MergeSort, PuttingAfterGettingIsAnAssertion) {
  NewEngine();
  PutRandom(3, 10);
  std::vector<uint8_t> r(dict.GetFieldsDescriptor()->RecordLength());
  ASSERT_EQ(sorter->Get(r.data()), 0);
  EXPECT_THROW(sorter->Put(r.data()), EAssertionFailed);
}

// A million records of 100 bytes (an Int32 and a ShortString key, a
// sequence number and padding) through real temporary tables, with a small
// block cache over the temporary storage: the runs spill, and every record
// comes back in key order.
class MergeSortSpill : public cursor_test::CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    engine->SetMaxRAM(16);
    engine->SetTempStoreSize(512);
    index = mvAddSortRecordFields(dict);
  }
  // The figure of a temporary storage statistic, in kilobytes.
  int64_t TempStat(const char16_t* aCaption) {
    TStringList captions, values;
    TmvBufferManager::GetStatsCaptions(&captions);
    engine->BufferManager()->GetStatsValues(&values);
    const int32_t at = captions.IndexOf(aCaption);
    if (at < 0 || at >= values.Count()) return -1;
    std::string digits;
    for (char16_t c : values[at])
      if (c >= u'0' && c <= u'9') digits += char(c);
    return digits.empty() ? -1 : std::stoll(digits);
  }
  TmvDataDictionary dict;
  TmvIndexDescriptor* index = nullptr;
};

TEST_F(MergeSortSpill, AMillionRecordsSpillAndComeBackInKeyOrder) {
  TmvServerDatabase* database = Database();
  TmvFieldsDescriptor* f = dict.GetFieldsDescriptor();
  ASSERT_EQ(f->LogicalRecordLength(), 100) << "the record's fields fill 100 bytes";
  constexpr int32_t kCount = 1000000;
  auto sorter = std::make_unique<TmvMergeSortEngine>(database, &dict, index);
  std::mt19937 random(7);
  std::vector<uint8_t> r(size_t(f->RecordLength()));
  std::vector<std::pair<int32_t, uint8_t>> keys;  // by SEQ: K and the text's first letter
  keys.reserve(kCount);
  for (int32_t seq = 0; seq < kCount; ++seq) {
    f->InitRecord(r.data());
    const int32_t k = int32_t(random() % 50000);
    uint8_t s[21] = {3, uint8_t('a' + random() % 26), uint8_t('a' + random() % 26), 'x'};
    f->SetRecordField(0, r.data(), &k);
    f->SetRecordField(1, r.data(), s);
    f->SetRecordField(2, r.data(), &seq);
    keys.emplace_back(k, s[1]);
    ASSERT_EQ(sorter->Put(r.data()), 0);
  }
  std::vector<bool> seen(kCount);
  std::pair<int32_t, std::string> last{INT32_MIN, ""};
  int32_t n = 0;
  for (int32_t code; (code = sorter->Get(r.data())) != MVERR_EOF; ++n) {
    ASSERT_EQ(code, 0);
    bool isNull = true;
    int32_t k = 0, seq = -1;
    uint8_t s[21] = {};
    f->GetRecordField(0, r.data(), isNull, &k);
    f->GetRecordField(1, r.data(), isNull, s);
    f->GetRecordField(2, r.data(), isNull, &seq);
    const std::pair<int32_t, std::string> key{k, std::string(reinterpret_cast<char*>(s + 1), s[0])};
    ASSERT_GE(key, last);
    ASSERT_TRUE(seq >= 0 && seq < kCount && !seen[size_t(seq)]);
    ASSERT_EQ(keys[size_t(seq)], std::make_pair(k, s[1]));
    seen[size_t(seq)] = true;
    last = key;
  }
  EXPECT_EQ(n, kCount);
  EXPECT_GT(TempStat(u"Temporary Storage Total Written"), 0) << "the runs went out of memory";
  sorter.reset();
}

}  // namespace
