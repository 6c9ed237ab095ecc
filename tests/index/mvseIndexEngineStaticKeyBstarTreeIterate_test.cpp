// Tests of the static-key B*-tree's walks over ranges, record numbers and
// estimates, on a table whose records a static record engine keeps: the
// ends of a walk and its callbacks' answers, record numbers of random
// ranges both ways with and without filters against a model, and estimates
// (exact within a leaf, counted when the index's counts do not fit).
#include <deque>
#include <random>

#include "foundation/errors/mvllErrors.h"
#include "index/TreeCheckSupport.h"
#include "storage/records/mvseRecordEngine.h"

namespace {

using namespace index_test;

class TreeWalks : public IndexTest {
 protected:
  // Index 0 unique on (K, P), 1 with all duplicates on (N, P): 7 entries a
  // leaf.
  void SetUp() override {
    IndexTest::SetUp();
    t.AddLongIndex(u"Unique", idNone);
    t.AddLongIndex(u"All", idAll, u"N");
    trans = std::make_unique<TTestTransaction>(cache);
    t.file = CreateFile("walks.mv1", trans.get());
    records.reset(TmvBaseRecordEngine::CreateEngine(t.dd.get(), t.file.Files(), trans.get()));
    t.engine = std::make_unique<TmvSimpleIndicesEngine>(t.dd->GetIndicesDescriptor(), t.file.Files(), records.get(),
                                                        trans.get(), false);
  }
  void TearDown() override {
    path.reset();
    t.engine.reset();
    records.reset();
    if (trans) trans->End();
    trans.reset();
    t.file = TableFile();
    IndexTest::TearDown();
  }
  // A record of K (N = the record's number) stored with its keys.
  TmvRefNr Add(int32_t aK, int32_t aN) {
    std::vector<uint8_t> record = t.Record(aK, aN);
    const std::vector<uint8_t> zeros(500, 0);
    t.dd->GetFieldsDescriptor()->SetRecordField(3, record.data(), zeros.data());
    TmvRefNr ref = 0;
    records->AddRecord(trans.get(), ref, record.data());
    EXPECT_EQ(t.engine->InsertKeys(trans.get(), ref, record.data(), nullptr), 0);
    return ref;
  }
  TmvBaseIndexPath& Path(int32_t aInx) {
    path.reset(t.Index(aInx)->CreateIndexPath());
    return *path;
  }
  // A range end of K.
  TmvRangeInfo End(int32_t aInx, std::optional<int32_t> aK, bool aExclusive = false) {
    TmvRangeInfo range;
    if (!aK) return range;
    keys.push_back(t.LongKey(aInx, *aK));
    range.riKey = keys.back().data();
    range.riFieldCount = 1;
    range.riExclusive = aExclusive;
    range.riValid = true;
    return range;
  }
  static int32_t KOfRecord(const uint8_t* aRecord) {
    int32_t k;
    std::memcpy(&k, aRecord, 4);
    return k;
  }
  // The references a walk hands to the key iterator.
  std::vector<TmvRefNr> WalkRefs(int32_t aInx, bool aForward, const TmvRangeInfo& aStart, const TmvRangeInfo& aEnd,
                                 TmvBaseFilterEngine* aFilter = nullptr, TmvBaseFilterEngine* aKeyFilter = nullptr) {
    std::vector<TmvRefNr> refs;
    uint8_t* data = nullptr;
    auto keyIterator = [&](void*, TmvRefNr aRef, const uint8_t*) {
      refs.push_back(aRef);
      return kirSkipKey;
    };
    TmvRecordIterator recordIterator;
    if (aFilter) {
      // A record filter decides in the record iterator's place.
      recordIterator = [&](void*, TmvRefNr aRef, const uint8_t*) {
        refs.push_back(aRef);
        return rirContinue;
      };
    }
    TmvBaseIndexPath& p = Path(aInx);
    if (aForward)
      t.Index(aInx)->Iterate(trans.get(), &p, data, aFilter ? TmvKeyIterator() : TmvKeyIterator(keyIterator),
                             recordIterator, nullptr, aStart, aEnd, aFilter, aKeyFilter, false);
    else
      t.Index(aInx)->IterateBackward(trans.get(), &p, data, aFilter ? TmvKeyIterator() : TmvKeyIterator(keyIterator),
                                     recordIterator, nullptr, aStart, aEnd, aFilter, aKeyFilter, false);
    EXPECT_TRUE(aForward ? p.IsEof() : p.IsBof());
    return refs;
  }

  TLongKeyTable t;
  std::unique_ptr<TTestTransaction> trans;
  std::unique_ptr<TmvBaseRecordEngine> records;
  std::unique_ptr<TmvBaseIndexPath> path;
  std::deque<std::vector<uint8_t>> keys;  // the keys of range ends made
};

TEST_F(TreeWalks, WalkEndsAndCallbackAnswers) {
  const TmvRangeInfo none;
  uint8_t* data = nullptr;
  int calls = 0;
  auto counting = [&](void*, TmvRefNr, const uint8_t*) {
    ++calls;
    EXPECT_TRUE(trans->IsLocked());  // held for the whole walk
    return kirContinue;
  };
  // An empty index: EOF, no call.
  t.Index(0)->Iterate(trans.get(), &Path(0), data, counting, nullptr, nullptr, none, none, nullptr, nullptr, false);
  EXPECT_TRUE(path->IsEof());
  EXPECT_EQ(calls, 0);
  std::vector<TmvRefNr> refs;
  for (int32_t k = 0; k < 40; ++k) refs.push_back(Add(k * 10, k));
  EXPECT_FALSE(trans->IsLocked());
  // A range whose start lies after its end: EOF, no call.
  t.Index(0)->Iterate(trans.get(), &Path(0), data, counting, nullptr, nullptr, End(0, 200), End(0, 100), nullptr,
                      nullptr, false);
  EXPECT_TRUE(path->IsEof());
  t.Index(0)->Iterate(trans.get(), &Path(0), data, counting, nullptr, nullptr, End(0, 100, true), End(0, 100),
                      nullptr, nullptr, false);
  EXPECT_EQ(calls, 0);
  // Skipping every key reads no record.
  int reads = 0;
  auto recordCounter = [&](void*, TmvRefNr, const uint8_t*) {
    ++reads;
    EXPECT_TRUE(trans->IsLocked());
    return rirContinue;
  };
  t.Index(0)->Iterate(trans.get(), &Path(0), data, [](void*, TmvRefNr, const uint8_t*) { return kirSkipKey; },
                      recordCounter, nullptr, none, none, nullptr, nullptr, false);
  EXPECT_EQ(reads, 0);
  t.Index(0)->Iterate(trans.get(), &Path(0), data, counting, recordCounter, nullptr, none, none, nullptr, nullptr,
                      false);
  EXPECT_EQ(calls, 40);
  EXPECT_EQ(reads, 40);
  // Stopping leaves the path on the key; a kept position goes on from it.
  auto stopAt = [&](TmvRefNr aRef) {
    return [aRef](void*, TmvRefNr aAt, const uint8_t*) { return aAt == aRef ? kirStop : kirContinue; };
  };
  t.Index(0)->IterateBackward(trans.get(), &Path(0), data, stopAt(refs[25]), nullptr, nullptr, none, none, nullptr,
                              nullptr, false);
  EXPECT_TRUE(path->IsOnKey());
  EXPECT_EQ(path->RefNr, refs[25]);
  std::vector<TmvRefNr> after;
  t.Index(0)->Iterate(trans.get(), path.get(), data,
                      [&](void*, TmvRefNr aRef, const uint8_t*) {
                        after.push_back(aRef);
                        return kirContinue;
                      },
                      nullptr, nullptr, none, End(0, 300), nullptr, nullptr, true);
  EXPECT_EQ(after, std::vector<TmvRefNr>(refs.begin() + 26, refs.begin() + 31));
  // Records read into a buffer, and a record filter.
  std::vector<uint8_t> buffer(size_t(t.dd->GetFieldsDescriptor()->RecordLength()));
  uint8_t* into = buffer.data();
  TTestFilter even([](const uint8_t* aRecord) { return KOfRecord(aRecord) % 20 == 0; });
  std::vector<int32_t> seen;
  t.Index(0)->Iterate(trans.get(), &Path(0), into, nullptr,
                      [&](void*, TmvRefNr, const uint8_t* aRecord) {
                        seen.push_back(KOfRecord(aRecord));
                        return rirContinue;
                      },
                      nullptr, End(0, 100), End(0, 160), &even, nullptr, false);
  EXPECT_EQ(seen, (std::vector<int32_t>{100, 120, 140, 160}));
  // Without a record engine no walk.
  TIndexTable bare;
  bare.AddIndex(u"ByK", {u"K"});
  bare.file = CreateFile("bare.mv1", trans.get());
  bare.engine = std::make_unique<TmvSimpleIndicesEngine>(bare.dd->GetIndicesDescriptor(), bare.file.Files(), nullptr,
                                                         trans.get(), false);
  std::unique_ptr<TmvBaseIndexPath> barePath(bare.Index(0)->CreateIndexPath());
  String text;
  EXPECT_EQ(Raised(
                [&] {
                  bare.Index(0)->Iterate(trans.get(), barePath.get(), data, counting, nullptr, nullptr, none, none,
                                         nullptr, nullptr, false);
                },
                &text),
            MVERR_NOTSUPPORTED);
  EXPECT_EQ(text, u"Iterate requires a RecordEngine");
  EXPECT_FALSE(trans->IsLocked());
  barePath.reset();
  bare.engine.reset();
}

TEST_F(TreeWalks, RecordNumbersAtTheEndsAndOffKeys) {
  const TmvRangeInfo none;
  std::vector<TmvRefNr> refs;
  for (int32_t k = 0; k < 30; ++k) refs.push_back(Add(k, k));
  TmvBaseIndexPath& p = Path(0);
  TmvStaticKeyBstarTreeIndexEngine* index = t.Index(0);
  const TmvRangeInfo from = End(0, 10), to = End(0, 19);
  EXPECT_EQ(index->RecNoSet(trans.get(), 1, &p, from, to, nullptr, nullptr, false), 0);
  EXPECT_EQ(p.RefNr, refs[10]);
  int32_t number = 0;
  EXPECT_EQ(index->RecNoGet(trans.get(), &p, from, to, nullptr, nullptr, number, false), 0);
  EXPECT_EQ(number, 1);
  EXPECT_EQ(index->RecNoGet(trans.get(), &p, from, to, nullptr, nullptr, number, true), 0);
  EXPECT_EQ(number, 10);
  EXPECT_EQ(index->RecNoSet(trans.get(), 0, &p, from, to, nullptr, nullptr, false), MVERR_BOF);
  EXPECT_TRUE(p.IsBof());
  EXPECT_EQ(index->RecNoSet(trans.get(), 11, &p, from, to, nullptr, nullptr, false), MVERR_EOF);
  EXPECT_TRUE(p.IsEof());
  EXPECT_EQ(index->RecNoSet(trans.get(), 31, &p, none, none, nullptr, nullptr, false), MVERR_EOF);
  EXPECT_EQ(index->RecNoSet(trans.get(), 30, &p, none, none, nullptr, nullptr, false), 0);
  EXPECT_EQ(p.RefNr, refs[29]);
  // Outside the range; on a crack; on a deleted key.
  ASSERT_TRUE(index->FindKey(trans.get(), t.LongKey(0, 5).data(), 1, 0, 0, &p, skaEqualFirst, nullptr));
  EXPECT_EQ(index->RecNoGet(trans.get(), &p, from, to, nullptr, nullptr, number, false), MVERR_BOF);
  ASSERT_TRUE(index->FindKey(trans.get(), t.LongKey(0, 25).data(), 1, 0, 0, &p, skaEqualFirst, nullptr));
  EXPECT_EQ(index->RecNoGet(trans.get(), &p, from, to, nullptr, nullptr, number, false), MVERR_EOF);
  ASSERT_TRUE(index->FindKey(trans.get(), t.LongKey(0, 12).data(), 1, 0, 0, &p, skaEqualFirst, nullptr));
  p.SetToCrackBefore();
  String text;
  const int32_t crack = index->RecNoGet(trans.get(), &p, from, to, nullptr, nullptr, number, false);
  EXPECT_EQ(crack, MVERR_NOCURRREC);
  EXPECT_EQ(EmvBaseException(uint32_t(crack)).ProcessedErrorString(), u"No current record.");
  ASSERT_TRUE(index->FindKey(trans.get(), t.LongKey(0, 12).data(), 1, 0, 0, &p, skaEqualFirst, nullptr));
  ASSERT_TRUE(index->DeleteKey(trans.get(), t.LongKey(0, 12).data(), refs[12], 0, &p));
  const int32_t deleted = index->RecNoGet(trans.get(), &p, from, to, nullptr, nullptr, number, false);
  EXPECT_EQ(deleted, MVERR_KEYORRECDELETED);
  EXPECT_EQ(EmvBaseException(uint32_t(deleted)).ProcessedErrorString(), u"Record/Key deleted.");
}

TEST_F(TreeWalks, RandomRangesAgreeWithAModelBothWaysWithAndWithoutFilters) {
  // Index 1: N from 0 to 59, each about five times.
  std::mt19937 random(77);
  std::vector<std::pair<int32_t, TmvRefNr>> model;
  for (int32_t i = 0; i < 300; ++i) {
    const int32_t n = int32_t(random() % 60);
    model.push_back({n, Add(i, n)});
  }
  std::sort(model.begin(), model.end());
  TmvStaticKeyBstarTreeIndexEngine* index = t.Index(1);
  ASSERT_GE(CheckTree(trans.get(), index).levels, 3);
  TTestFilter keyFilter([](const uint8_t* aKey) {
    int32_t k;
    std::memcpy(&k, aKey + 1, 4);
    return k % 3 != 0;
  });
  TTestFilter recordFilter([](const uint8_t* aRecord) {
    int32_t n;
    std::memcpy(&n, aRecord + 4, 4);
    return n % 2 == 0;
  });
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    const int32_t a = int32_t(random() % 64) - 2, b = int32_t(random() % 64) - 2;
    const bool hasStart = random() % 4 != 0, hasEnd = random() % 4 != 0;
    const bool startExclusive = random() % 2, endExclusive = random() % 2;
    const int filtering = int(random() % 3);  // none, the key filter, the record filter
    const TmvRangeInfo start = End(1, hasStart ? std::optional<int32_t>(a) : std::nullopt, startExclusive);
    const TmvRangeInfo end = End(1, hasEnd ? std::optional<int32_t>(b) : std::nullopt, endExclusive);
    TmvBaseFilterEngine* filter = filtering == 2 ? &recordFilter : nullptr;
    TmvBaseFilterEngine* kFilter = filtering == 1 ? &keyFilter : nullptr;
    std::vector<TmvRefNr> expected;
    for (const auto& [k, ref] : model) {
      if (hasStart && (k < a || (k == a && startExclusive))) continue;
      if (hasEnd && (k > b || (k == b && endExclusive))) continue;
      if (filtering == 1 && k % 3 == 0) continue;
      if (filtering == 2 && k % 2 != 0) continue;
      expected.push_back(ref);
    }
    EXPECT_EQ(WalkRefs(1, true, start, end, filter, kFilter), expected);
    const std::vector<TmvRefNr> backward = WalkRefs(1, false, start, end, filter, kFilter);
    EXPECT_EQ(std::vector<TmvRefNr>(backward.rbegin(), backward.rend()), expected);
    TmvBaseIndexPath& p = Path(1);
    const int32_t n = int32_t(expected.size());
    for (int32_t i : {0, n / 3, n / 2, n - 1}) {
      if (i < 0 || i >= n) continue;
      for (bool flip : {false, true}) {
        const TmvRefNr at = flip ? expected[size_t(n - 1 - i)] : expected[size_t(i)];
        ASSERT_EQ(index->RecNoSet(trans.get(), i + 1, &p, start, end, filter, kFilter, flip), 0) << i << flip;
        EXPECT_EQ(p.RefNr, at) << i << flip;
        int32_t number = 0;
        EXPECT_EQ(index->RecNoGet(trans.get(), &p, start, end, filter, kFilter, number, flip), 0);
        EXPECT_EQ(number, i + 1) << flip;
      }
    }
    EXPECT_EQ(index->RecNoSet(trans.get(), n + 1, &p, start, end, filter, kFilter, false), MVERR_EOF);
    if (filtering == 0) {
      int64_t estimate = -1;
      index->EstimateRecordCount(trans.get(), start, end, estimate, false);
      EXPECT_GE(estimate, 0);
      EXPECT_LE(estimate, int64_t(model.size()));
    }
  }
}

TEST_F(TreeWalks, EstimatesAreExactInALeafAndTheKeyCountWhenTheCountsDoNotFit) {
  const TmvRangeInfo none;
  for (int32_t k = 0; k < 5; ++k) Add(k, k);
  int64_t estimate = 0;
  t.Index(0)->EstimateRecordCount(trans.get(), none, none, estimate, false);
  EXPECT_EQ(estimate, 5);
  t.Index(0)->EstimateRecordCount(trans.get(), End(0, 1), End(0, 3, true), estimate, false);
  EXPECT_EQ(estimate, 2);
  t.Index(0)->EstimateRecordCount(trans.get(), End(0, 3), End(0, 1), estimate, false);
  EXPECT_EQ(estimate, 0);
  for (int32_t k = 5; k < 400; ++k) Add(k, k);
  t.Index(0)->EstimateRecordCount(trans.get(), End(0, 100), End(0, 299), estimate, false);
  EXPECT_GT(estimate, 120);  // 200 keys; an estimate, not a count
  EXPECT_LT(estimate, 300);
  // A page count the tree cannot have: every divisor would be 0 or less,
  // and the index's key count is the answer.
  {
    std::unique_ptr<TmvBaseIndexHeaderAccess> header(t.Index(0)->CreateHeaderAccess(trans.get(), true, true, 0, 0));
    header->SetIndexPageCount(1);
  }
  t.Index(0)->EstimateRecordCount(trans.get(), End(0, 100), End(0, 299), estimate, false);
  EXPECT_EQ(estimate, 400);
}

}  // namespace
