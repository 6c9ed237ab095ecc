// Tests of the static-key B*-tree's bulk builder: entry size, filtered
// records, the refusals (an index that is not empty, equal keys by each
// duplicate rule), runs and merges over several 4 MB containers, the
// bottom-up tree's shape and plan for totals around the leaf target, the
// trees checked whole and against the same keys inserted one by one, and
// the containers freed whatever ends the build.
#include <algorithm>
#include <numeric>
#include <random>

#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "foundation/errors/mvllErrors.h"
#include "index/TreeCheckSupport.h"
#include "index/mvseIndexEngineStaticKeyBstarTreeBulk.h"

namespace {

using namespace index_test;

using TInput = std::vector<std::pair<std::optional<int32_t>, TmvRefNr>>;

enum : int32_t { kUnique, kAll, kNulls, kShort, kShortTwin, kFiltered, kLongUnique, kLongAll, kLongNulls };

class BulkBuild : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    t.AddIndex(u"Unique", {u"K"}, idNone);
    t.AddIndex(u"All", {u"K"}, idAll);
    t.AddIndex(u"Nulls", {u"K"}, idNull);
    t.AddIndex(u"Short", {u"K"}, idNone);
    t.AddIndex(u"ShortTwin", {u"K"}, idNone);
    TmvIndexDescriptor* filtered = t.AddIndex(u"Filtered", {u"K"}, idNone);
    static_cast<TmvCompKeyDescriptor*>(filtered->GetKeyDescriptor())->KeyFields(0)->SetNullBehaviour(nbFilterNull);
    t.AddLongIndex(u"LongUnique", idNone);
    t.AddLongIndex(u"LongAll", idAll);
    t.AddLongIndex(u"LongNulls", idNull);
    trans = std::make_unique<TTestTransaction>(cache);
    t.file = CreateFile("bulk.mv1", trans.get());
    t.engine = std::make_unique<TmvSimpleIndicesEngine>(t.dd->GetIndicesDescriptor(), t.file.Files(), nullptr,
                                                        trans.get(), false);
  }
  void TearDown() override {
    t.engine.reset();
    if (trans) trans->End();
    trans.reset();
    t.file = TableFile();
    IndexTest::TearDown();
  }
  std::unique_ptr<TmvBaseBulkBuilder> Builder(int32_t aInx) {
    return std::unique_ptr<TmvBaseBulkBuilder>(t.Index(aInx)->CreateBulkBuilder(trans.get()));
  }
  // Feeds every record, then finalises; answers the first non-zero code.
  int32_t Bulk(int32_t aInx, const TInput& aInput, TmvBaseBulkBuilder* aBuilder = nullptr) {
    std::unique_ptr<TmvBaseBulkBuilder> own;
    if (!aBuilder) {
      own = Builder(aInx);
      aBuilder = own.get();
    }
    for (const auto& [k, ref] : aInput) {
      const std::vector<uint8_t> record = t.LongRecord(k);
      if (int32_t code = aBuilder->InsertKey(ref, record.data(), trans.get())) return code;
    }
    return aBuilder->Finalize(trans.get());
  }
  bool Insert(int32_t aInx, std::optional<int32_t> aK, TmvRefNr aRef) {
    const std::vector<uint8_t> record = t.LongRecord(aK);
    std::vector<uint8_t> key(t.Index(aInx)->KeyEngine()->bkeKeyLength);
    EXPECT_EQ(t.Index(aInx)->KeyEngine()->BuildKey(record.data(), key.data(), aRef, true), 0u);
    return t.Index(aInx)->InsertKey(trans.get(), key.data(), aRef, 0, nullptr);
  }
  bool Delete(int32_t aInx, std::optional<int32_t> aK, TmvRefNr aRef) {
    const std::vector<uint8_t> record = t.LongRecord(aK);
    std::vector<uint8_t> key(t.Index(aInx)->KeyEngine()->bkeKeyLength);
    EXPECT_EQ(t.Index(aInx)->KeyEngine()->BuildKey(record.data(), key.data(), aRef, true), 0u);
    return t.Index(aInx)->DeleteKey(trans.get(), key.data(), aRef, 0, nullptr);
  }
  TInput Entries(int32_t aInx) {
    TInput found;
    for (const TEntry& e : CheckTree(trans.get(), t.Index(aInx)).entries) found.push_back({TLongKeyTable::KOf(e.key), e.ref});
    return found;
  }
  std::unique_ptr<TmvBaseIndexHeaderAccess> Header(int32_t aInx) {
    return std::unique_ptr<TmvBaseIndexHeaderAccess>(t.Index(aInx)->CreateHeaderAccess(trans.get(), false, false, 0, 0));
  }
  std::vector<uint8_t> Node(TmvBlockNumber aBlock) {
    TmvReleaseMethod release;
    uint8_t* b = t.file.view->GetBlock(trans.get(), aBlock, 0, false, release);
    std::vector<uint8_t> bytes(b, b + 4096);
    release(b);
    return bytes;
  }
  // Keys 0 .. aCount - 1 (RefNr key + 1), in an order by aShape: 0
  // ascending, 1 descending, 2 shuffled.
  static TInput Keys(int32_t aCount, int aShape, uint32_t aSeed = 7) {
    TInput input;
    for (int32_t k = 0; k < aCount; ++k) input.push_back({k, TmvRefNr(k + 1)});
    if (aShape == 1) std::reverse(input.begin(), input.end());
    if (aShape == 2) std::shuffle(input.begin(), input.end(), std::mt19937(aSeed));
    return input;
  }
  static TInput Sorted(TInput aInput) {
    std::sort(aInput.begin(), aInput.end());
    return aInput;
  }

  TLongKeyTable t;
  std::unique_ptr<TTestTransaction> trans;
};

TEST_F(BulkBuild, EntrySizeAndAnIndexOfFilteredRecordsOnly) {
  // (key length + 23) with the low 4 bits cleared: key and RefNr in a
  // multiple of 16.
  for (int32_t inx : {kUnique, kLongUnique}) {
    auto builder = Builder(inx);
    auto* bulk = static_cast<TmvStaticKeyBstarTreeIndexBulkBuilder*>(builder.get());
    const uint32_t length = t.Index(inx)->KeyEngine()->bkeKeyLength;
    EXPECT_EQ(bulk->EntrySize(), (length + 23) & ~15u) << length;
    EXPECT_EQ(bulk->bsibbKeysPerContainer, int32_t(4194304 / bulk->EntrySize()));
  }
  EXPECT_EQ(static_cast<TmvStaticKeyBstarTreeIndexBulkBuilder*>(Builder(kLongUnique).get())->EntrySize(), 528u);
  // Every record filtered out, or none fed at all: the index stays empty.
  const int32_t scratch = cache->ScratchBlockCount();
  TInput nulls;
  for (int i = 0; i < 50; ++i) nulls.push_back({std::nullopt, TmvRefNr(i + 1)});
  for (const TInput& input : {nulls, TInput()}) {
    ASSERT_EQ(Bulk(kFiltered, input), 0);
    EXPECT_EQ(Header(kFiltered)->GetIndexRoot(), -1);
    EXPECT_EQ(Header(kFiltered)->GetIndexPageCount(), 0u);
    EXPECT_EQ(Header(kFiltered)->GetIndexKeyCount(), 0u);
  }
  EXPECT_EQ(cache->ScratchBlockCount(), scratch);
  // Some filtered among others: only the others count.
  TInput mixed = Keys(30, 2);
  mixed.insert(mixed.begin() + 10, {std::nullopt, 100});
  ASSERT_EQ(Bulk(kFiltered, mixed), 0);
  EXPECT_EQ(Header(kFiltered)->GetIndexKeyCount(), 30u);
  EXPECT_EQ(Entries(kFiltered), Keys(30, 0));
}

TEST_F(BulkBuild, AnIndexThatIsNotEmptyIsRefused) {
  ASSERT_TRUE(Insert(kUnique, 1, 1));
  String text;
  EXPECT_EQ(Raised([&] { Builder(kUnique); }, &text), 15511);
  EXPECT_EQ(text, u"Index is not empty.");
}

// Equal entries that the index's rule refuses raise 9729 "BulkCreate":
// within one container from its sort, across containers from the run
// forming or a merge; the long keys fill a container with 7,943 entries.
TEST_F(BulkBuild, EqualKeysTheIndexRefusesRaiseTheBulkKeyViolation) {
  struct Case {
    const char* name;
    int32_t inx;
    TInput input;
    bool refused;
  };
  TInput across = Keys(20000, 2);
  across.push_back({12345, 99999});  // the same key as an entry two containers away
  TInput acrossAll = Keys(20000, 2);
  acrossAll.push_back({12345, 12346});  // the same key and RefNr
  TInput nullsTwice = Keys(100, 2);
  nullsTwice.push_back({std::nullopt, 500});
  nullsTwice.push_back({std::nullopt, 501});
  const Case cases[] = {
      {"unique, one container", kUnique, {{1, 1}, {2, 2}, {1, 3}}, true},
      {"unique, across containers", kLongUnique, across, true},
      {"all, another RefNr", kAll, {{1, 1}, {1, 2}, {1, 3}}, false},
      {"all, the same pair", kAll, {{1, 5}, {2, 6}, {1, 5}}, true},
      {"all, the same pair across containers", kLongAll, acrossAll, true},
      {"nulls, two nulls", kLongNulls, nullsTwice, false},
      {"nulls, two equal keys", kNulls, {{std::nullopt, 1}, {4, 2}, {4, 3}}, true},
  };
  const int32_t scratch = cache->ScratchBlockCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    trans->StartNested(true);
    String text;
    const int32_t code = Raised([&] { ASSERT_EQ(Bulk(c.inx, c.input), 0); }, &text);
    if (c.refused) {
      EXPECT_EQ(code, 9729);
      EXPECT_NE(text.find(u"BulkCreate"), String::npos);
    } else {
      EXPECT_EQ(code, 0);
      EXPECT_EQ(Entries(c.inx), Sorted(c.input));
    }
    EXPECT_EQ(cache->ScratchBlockCount(), scratch);
    trans->Rollback();
  }
}

// Several containers: ascending input (and descending, whose containers'
// ranges do not overlap either once sorted) chains them into one run and
// merges nothing; shuffled input gives one run per container, the two
// shortest merged until two are left. Each tree equals the sorted input.
TEST_F(BulkBuild, RunsAndMergesOverSeveralContainers) {
  struct Case {
    int shape;
    int32_t runs, merges;
  } cases[] = {{0, 1, 0}, {1, 1, 0}, {2, 4, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shape);
    trans->StartNested(true);
    const TInput input = Keys(30000, c.shape);  // 4 containers of 7,943
    auto builder = Builder(kLongAll);
    ASSERT_EQ(Bulk(kLongAll, input, builder.get()), 0);
    auto* bulk = static_cast<TmvStaticKeyBstarTreeIndexBulkBuilder*>(builder.get());
    EXPECT_EQ(bulk->bsibbRunCount, c.runs);
    EXPECT_EQ(bulk->bsibbMergeCount, c.merges);
    EXPECT_EQ(Entries(kLongAll), Sorted(input));
    trans->Rollback();
  }
}

// A builder whose tree builder has the leaf target 200.
class TTarget200Builder : public TmvStaticKeyBstarTreeIndexBulkBuilder {
 public:
  using TmvStaticKeyBstarTreeIndexBulkBuilder::TmvStaticKeyBstarTreeIndexBulkBuilder;
  std::unique_ptr<TmvTreeBuilder> CreateTreeBuilder(TmvBaseTransaction* aTrans) override {
    auto tree = TmvStaticKeyBstarTreeIndexBulkBuilder::CreateTreeBuilder(aTrans);
    tree->tbLeafNodeKeyCount = 200;
    tree->tbLeafNodeFirstKey = (bsibbIndexEngine->Geometry().MaxLeafKeys - 200) / 2;
    tree->Plan();
    return tree;
  }
};

TEST_F(BulkBuild, AThousandKeysMakeFiveLeavesOfTwoHundredUnderOneRoot) {
  const uint32_t maxLeaf = t.Index(kUnique)->Geometry().MaxLeafKeys;
  ASSERT_GT(maxLeaf, 250u);
  TTarget200Builder builder(trans.get(), t.Index(kUnique));
  ASSERT_EQ(Bulk(kUnique, Keys(1000, 2), &builder), 0);
  const std::vector<uint8_t> root = Node(TmvBlockNumber(Header(kUnique)->GetIndexRoot()));
  ASSERT_EQ(root[mvInhNodeTypeOffset], intInternal);
  ASSERT_EQ(mvInhKeyCount(root.data()), 4);
  const uint32_t pair = t.Index(kUnique)->Geometry().InternalPair;
  TmvBlockNumber previous = mvNoBlock;
  for (uint32_t i = 0; i <= 4; ++i) {
    const TmvBlockNumber block = mvGetU32(root.data(), 40 + i * pair);
    const std::vector<uint8_t> leaf = Node(block);
    EXPECT_EQ(mvInhKeyCount(leaf.data()), 200);
    EXPECT_EQ(mvInhFirstSlot(leaf.data()), (maxLeaf - 200) / 2);
    EXPECT_EQ(mvInhPrevNode(leaf.data()), previous);
    if (previous != mvNoBlock) {
      EXPECT_EQ(mvInhNextNode(Node(previous).data()), block);
    }
    previous = block;
  }
  EXPECT_EQ(mvInhNextNode(Node(previous).data()), mvNoBlock);
  EXPECT_EQ(Header(kUnique)->GetIndexPageCount(), 6u);
  EXPECT_EQ(Header(kUnique)->GetIndexKeyCount(), 1000u);
  EXPECT_EQ(Entries(kUnique), Keys(1000, 0));
}

// The plan in whole numbers: node counts differing by at most one, no
// node but the root below a split's fill, none above the maximum.
TEST_F(BulkBuild, ThePlanSpreadsItemsEvenly) {
  struct Case {
    uint64_t items;
    uint32_t target, min, max, nodes;
  } cases[] = {
      {1000, 200, 156, 312, 5}, {1001, 200, 156, 312, 6}, {201, 200, 156, 312, 1}, {6, 5, 4, 7, 1},
      {11, 5, 4, 7, 2},         {26, 5, 4, 7, 6},         {1, 5, 4, 7, 1},         {999999, 249, 156, 312, 4017},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.items);
    const TmvTreeBuilder::TPlan plan = TmvTreeBuilder::PlanLevel(c.items, c.target, c.min, c.max);
    EXPECT_EQ(plan.Nodes, c.nodes);
    uint64_t sum = 0;
    for (uint32_t n = 0; n < plan.Nodes; ++n) {
      const uint32_t count = plan.CountOf(n);
      sum += count;
      EXPECT_LE(count, c.max);
      if (plan.Nodes > 1) {
        EXPECT_GE(count, c.min);
      }
      EXPECT_LE(plan.CountOf(0) - count, 1u);
    }
    EXPECT_EQ(sum, c.items);
  }
}

// Totals around the leaf target build whole trees that equal the same keys
// inserted one by one and take later changes. The long keys (7 a leaf,
// target 5) give trees of several levels from few keys; the short ones
// (312 a leaf) one of a million keys.
TEST_F(BulkBuild, TotalsAroundTheTargetBuildTreesEqualToInsertedOnes) {
  struct Case {
    int32_t inx, twin;
    int32_t total;
  };
  std::vector<Case> cases;
  for (int32_t total : {1, 4, 5, 6, 26, 400}) cases.push_back({kLongUnique, kLongAll, total});
  for (int32_t total : {1, 248, 249, 250, 1246}) cases.push_back({kShort, kShortTwin, total});
  cases.push_back({kShort, -1, 1000000});
  std::mt19937 random(11);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.inx << " " << c.total);
    trans->StartNested(true);
    ASSERT_EQ(Bulk(c.inx, Keys(c.total, 2, uint32_t(c.total))), 0);
    const TTreeFacts built = CheckTree(trans.get(), t.Index(c.inx));
    if (c.twin >= 0) {
      for (const auto& [k, ref] : Keys(c.total, 2, 3)) ASSERT_TRUE(Insert(c.twin, k, ref));
      const TTreeFacts inserted = CheckTree(trans.get(), t.Index(c.twin));
      ASSERT_EQ(built.entries.size(), inserted.entries.size());
      for (size_t i = 0; i < built.entries.size(); ++i) {
        ASSERT_EQ(built.entries[i].key, inserted.entries[i].key) << i;
        ASSERT_EQ(built.entries[i].ref, inserted.entries[i].ref) << i;
      }
    } else {
      ASSERT_EQ(built.entries.size(), size_t(c.total));
      for (int32_t i = 0; i < c.total; ++i) ASSERT_EQ(TLongKeyTable::KOf(built.entries[size_t(i)].key), i);
    }
    // Later changes: random inserts and deletes, checked whole at the end.
    std::set<int32_t> model;
    for (int32_t k = 0; k < c.total; ++k) model.insert(k);
    for (int i = 0; i < 300; ++i) {
      const int32_t k = int32_t(random() % uint32_t(c.total + 200));
      if (model.count(k)) {
        ASSERT_TRUE(Delete(c.inx, k, TmvRefNr(k + 1)));
        model.erase(k);
      } else {
        ASSERT_TRUE(Insert(c.inx, k, TmvRefNr(k + 1)));
        model.insert(k);
      }
    }
    if (c.total < 1000000) {
      TInput expected;
      for (int32_t k : model) expected.push_back({k, TmvRefNr(k + 1)});
      EXPECT_EQ(Entries(c.inx), expected);
    } else {
      // The whole tree was checked once (the sanitizer tree takes seconds
      // a pass); the changes are checked by count.
      uint32_t count = 0;
      t.Index(c.inx)->GetKeyCount(trans.get(), count);
      EXPECT_EQ(count, model.size());
    }
    trans->Rollback();
  }
}

TEST_F(BulkBuild, AKeyThatFailsToBuildMidwayFreesEveryContainer) {
  const int32_t scratch = cache->ScratchBlockCount();
  {
    auto builder = Builder(kLongUnique);
    for (const auto& [k, ref] : Keys(20000, 2)) {
      const std::vector<uint8_t> record = t.LongRecord(k);
      ASSERT_EQ(builder->InsertKey(ref, record.data(), trans.get()), 0);
    }
    EXPECT_EQ(cache->ScratchBlockCount(), scratch + 3);
    // No record: the key engine's code comes back, nothing is built.
    EXPECT_EQ(builder->InsertKey(1, nullptr, trans.get()), int32_t(MVERR_INVALIDPARAM));
  }
  EXPECT_EQ(cache->ScratchBlockCount(), scratch);
  EXPECT_EQ(Header(kLongUnique)->GetIndexRoot(), -1);
}

}  // namespace
