// Tests of the static-key B*-tree's insert and delete: the slot window of
// a leaf, splits and a new root, the duplicate rules, separator repair,
// borrowing, merging and root collapse, deleting all keys, and thousands of
// random changes checked against an ordered model after every step, on
// keys long enough that leaves hold 7 entries and trees grow four levels.
#include <map>
#include <random>

#include "foundation/errors/mvllErrors.h"
#include "index/TreeCheckSupport.h"

namespace {

using namespace index_test;

class TreeChanges : public IndexTest {
 protected:
  // Indexes 0 unique, 1 with all duplicates, 2 with duplicates among nulls,
  // all on (K, P).
  void SetUp() override {
    IndexTest::SetUp();
    t.AddLongIndex(u"Unique", idNone);
    t.AddLongIndex(u"All", idAll);
    t.AddLongIndex(u"Nulls", idNull);
    trans = std::make_unique<TTestTransaction>(cache);
    t.file = CreateFile("changes.mv1", trans.get());
    t.engine = std::make_unique<TmvSimpleIndicesEngine>(t.dd->GetIndicesDescriptor(), t.file.Files(), nullptr,
                                                        trans.get(), false);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(t.Index(i)->Geometry().MaxLeafKeys, 7);
  }
  void TearDown() override {
    t.engine.reset();
    if (trans) trans->End();
    trans.reset();
    t.file = TableFile();
    IndexTest::TearDown();
  }
  bool Insert(int32_t aInx, std::optional<int32_t> aK, TmvRefNr aRef, TmvBaseIndexPath* aPath = nullptr) {
    const std::vector<uint8_t> key = t.LongKey(aInx, aK);
    return t.Index(aInx)->InsertKey(trans.get(), key.data(), aRef, 0, aPath);
  }
  bool Delete(int32_t aInx, std::optional<int32_t> aK, TmvRefNr aRef, TmvBaseIndexPath* aPath = nullptr) {
    const std::vector<uint8_t> key = t.LongKey(aInx, aK);
    return t.Index(aInx)->DeleteKey(trans.get(), key.data(), aRef, 0, aPath);
  }
  std::unique_ptr<TmvBaseIndexHeaderAccess> Header(int32_t aInx) {
    return std::unique_ptr<TmvBaseIndexHeaderAccess>(t.Index(aInx)->CreateHeaderAccess(trans.get(), false, false, 0, 0));
  }
  // A node as the transaction sees it.
  std::vector<uint8_t> Node(TmvBlockNumber aBlock) {
    TmvReleaseMethod release;
    uint8_t* b = t.file.view->GetBlock(trans.get(), aBlock, 0, false, release);
    std::vector<uint8_t> bytes(b, b + 4096);
    release(b);
    return bytes;
  }
  std::vector<std::optional<int32_t>> Keys(int32_t aInx) {
    std::vector<std::optional<int32_t>> keys;
    for (const TEntry& e : CheckTree(trans.get(), t.Index(aInx)).entries) keys.push_back(TLongKeyTable::KOf(e.key));
    return keys;
  }

  void RandomChanges(int32_t aInx);

  TLongKeyTable t;
  std::unique_ptr<TTestTransaction> trans;
};

TEST_F(TreeChanges, LeafWindowsRecentreAndSplitIntoANewRoot) {
  for (int32_t inx : {0, 1}) {
    SCOPED_TRACE(inx);
    auto path = std::unique_ptr<TmvBaseIndexPath>(t.Index(inx)->CreateIndexPath());
    // The first key: the middle slot of a root leaf, the path on it.
    ASSERT_TRUE(Insert(inx, 100, 1, path.get()));
    const TmvBlockNumber leaf = TmvBlockNumber(Header(inx)->GetIndexRoot());
    EXPECT_EQ(mvInhFirstSlot(Node(leaf).data()), 3);
    EXPECT_TRUE(path->IsOnKey());
    EXPECT_EQ(path->RefNr, 1);
    // Ascending keys fill the right side, then the window moves left.
    for (int32_t k = 101; k <= 103; ++k) ASSERT_TRUE(Insert(inx, k, TmvRefNr(k - 99)));
    EXPECT_EQ(mvInhFirstSlot(Node(leaf).data()), 3);
    ASSERT_TRUE(Insert(inx, 104, 5));
    EXPECT_EQ(mvInhFirstSlot(Node(leaf).data()), 1);  // recentred: (7 - 4 - 1) div 2
    EXPECT_EQ(Header(inx)->GetIndexPageCount(), 1u);
    ASSERT_TRUE(Insert(inx, 105, 6));
    ASSERT_TRUE(Insert(inx, 106, 7));
    EXPECT_EQ(mvInhFirstSlot(Node(leaf).data()), 0);
    EXPECT_EQ(mvInhKeyCount(Node(leaf).data()), 7);
    // Full: a key beyond the middle splits 4 / 3, then the new leaf has 4.
    ASSERT_TRUE(Insert(inx, 107, 8, path.get()));
    const int32_t root = Header(inx)->GetIndexRoot();
    const std::vector<uint8_t> top = Node(TmvBlockNumber(root));
    ASSERT_EQ(top[36], intInternal);
    EXPECT_EQ(mvInhKeyCount(top.data()), 1);
    EXPECT_EQ(mvGetU32(top.data(), 40), leaf);
    const TmvBlockNumber right = mvGetU32(top.data(), 40 + t.Index(inx)->Geometry().InternalPair);
    EXPECT_EQ(mvInhKeyCount(Node(leaf).data()), 4);
    EXPECT_EQ(mvInhKeyCount(Node(right).data()), 4);
    EXPECT_EQ(mvInhFirstSlot(Node(right).data()), 2);
    EXPECT_EQ(path->RefNr, 8);
    // The separator is the left leaf's last entry: 103, with its RefNr
    // where entries carry one.
    const std::vector<uint8_t> separator(top.begin() + 44, top.begin() + 44 + t.Index(inx)->KeyEngine()->bkeKeyLength);
    EXPECT_EQ(separator, t.LongKey(inx, 103));
    if (inx == 1) {
      EXPECT_EQ(mvGetU64(top.data(), 44 + 508), 4u);
    }
    EXPECT_EQ(Header(inx)->GetIndexPageCount(), 3u);
    EXPECT_EQ(Header(inx)->GetIndexKeyCount(), 8u);
    CheckTree(trans.get(), t.Index(inx));
  }
}

TEST_F(TreeChanges, TheDuplicateRulesOfEachKind) {
  EXPECT_TRUE(Insert(0, 5, 1));
  EXPECT_FALSE(Insert(0, 5, 2));  // unique: the key alone
  EXPECT_TRUE(Insert(1, 5, 1));
  EXPECT_TRUE(Insert(1, 5, 2));   // all: another reference
  EXPECT_FALSE(Insert(1, 5, 2));  // but not the same pair
  EXPECT_TRUE(Insert(2, std::nullopt, 1));
  EXPECT_TRUE(Insert(2, std::nullopt, 2));  // nulls: duplicates
  EXPECT_FALSE(Insert(2, std::nullopt, 2));
  EXPECT_TRUE(Insert(2, 5, 3));
  EXPECT_FALSE(Insert(2, 5, 4));  // a key without nulls: unique
  EXPECT_EQ(Header(1)->GetIndexKeyCount(), 2u);
  // The equal key in the neighbouring leaf: (5, 50) is the last entry of
  // the first leaf, (5, 60) would go first into the second.
  std::vector<TEntry> entries;
  for (int32_t k = 1; k <= 10; ++k) entries.push_back({t.LongKey(2, k), TmvRefNr(k * 10)});
  ASSERT_TRUE(Delete(2, 5, 3));
  ASSERT_TRUE(Delete(2, std::nullopt, 1));
  ASSERT_TRUE(Delete(2, std::nullopt, 2));
  WriteTree(trans.get(), t.Index(2), entries, 5, 7);
  EXPECT_FALSE(Insert(2, 5, 60));
  EXPECT_FALSE(Insert(2, 6, 1));
  EXPECT_TRUE(Insert(2, std::nullopt, 60));
  EXPECT_EQ(CheckTree(trans.get(), t.Index(2)).entries.size(), 11u);
}

TEST_F(TreeChanges, DeletesRepairSeparatorsBorrowMergeAndCollapseTheRoot) {
  auto entries = [&](int32_t aFirst, int32_t aLast) {
    std::vector<TEntry> list;
    for (int32_t k = aFirst; k <= aLast; k += 10) list.push_back({t.LongKey(0, k), TmvRefNr(k)});
    return list;
  };
  // Three levels, leaves of 5: deleting 150, the last key of the third
  // leaf, which is the last child of its parent, renames the root's
  // separator.
  {
    const TTree tree = WriteTree(trans.get(), t.Index(0), entries(10, 450), 5, 3);
    ASSERT_EQ(tree.levels.size(), 3u);
    ASSERT_TRUE(Delete(0, 150, 150));
    const std::vector<uint8_t> root = Node(tree.Root());
    EXPECT_EQ(std::vector<uint8_t>(root.begin() + 44, root.begin() + 44 + 505), t.LongKey(0, 140));
    EXPECT_FALSE(Delete(0, 150, 150));
  }
  auto counts = [&](const TTree& aTree) {
    std::vector<int> n;
    for (TmvBlockNumber leaf : aTree.levels[0]) n.push_back(mvInhKeyCount(Node(leaf).data()));
    return n;
  };
  // Leaves of 4 (the least a leaf keeps); one neighbour grown to 5.
  {
    TTree tree = WriteTree(trans.get(), t.Index(0), entries(10, 160), 4, 7);  // 4 leaves
    ASSERT_TRUE(Insert(0, 15, 15));                                            // leaf 0: 5 entries
    ASSERT_TRUE(Delete(0, 50, 50));                                            // leaf 1 borrows from the left
    EXPECT_EQ(counts(tree), (std::vector<int>{4, 4, 4, 4}));
    ASSERT_TRUE(Insert(0, 65, 65));   // leaf 1: 5 entries
    ASSERT_TRUE(Delete(0, 10, 10));   // leaf 0, the leftmost child, borrows from the right
    EXPECT_EQ(counts(tree), (std::vector<int>{4, 4, 4, 4}));
    ASSERT_TRUE(Delete(0, 130, 130));  // leaf 3 merges with its left neighbour
    const uint32_t pages = Header(0)->GetIndexPageCount();
    EXPECT_EQ(pages, 4u);
    EXPECT_EQ(mvInhKeyCount(Node(tree.levels[0][2]).data()), 7);
    EXPECT_EQ(mvInhNextNode(Node(tree.levels[0][2]).data()), mvNoBlock);
    CheckTree(trans.get(), t.Index(0));
  }
  // Two leaves under a root of one separator: a merge empties the root,
  // and the merged leaf becomes the root; the last key leaves no node.
  {
    const TTree tree = WriteTree(trans.get(), t.Index(0), entries(10, 80), 4, 7);
    ASSERT_EQ(tree.levels.size(), 2u);
    ASSERT_TRUE(Delete(0, 80, 80));
    EXPECT_EQ(Header(0)->GetIndexRoot(), int32_t(tree.levels[0][0]));
    EXPECT_EQ(Header(0)->GetIndexPageCount(), 1u);
    EXPECT_EQ(Keys(0).size(), 7u);
    for (int32_t k = 10; k <= 70; k += 10) ASSERT_TRUE(Delete(0, k, TmvRefNr(k)));
    EXPECT_EQ(Header(0)->GetIndexRoot(), -1);
    EXPECT_EQ(Header(0)->GetIndexPageCount(), 0u);
    EXPECT_EQ(Header(0)->GetIndexKeyCount(), 0u);
  }
}

TEST_F(TreeChanges, DeletingAllKeysGivesEveryBlockBack) {
  const int64_t baseline = CheckTree(trans.get(), t.Index(1)).otherBlocks;
  for (int32_t k = 0; k < 300; ++k) ASSERT_TRUE(Insert(1, k % 37, TmvRefNr(k + 1)));
  const TTreeFacts full = CheckTree(trans.get(), t.Index(1));
  EXPECT_GE(full.levels, 3);
  EXPECT_EQ(full.otherBlocks, baseline);
  t.Index(1)->DeleteAllKeys(trans.get());
  const TTreeFacts empty = CheckTree(trans.get(), t.Index(1));
  EXPECT_TRUE(empty.entries.empty());
  EXPECT_EQ(empty.nodes, 0u);
  EXPECT_EQ(empty.otherBlocks, baseline);  // every node is free again
  uint32_t count = 1;
  t.Index(1)->GetKeyCount(trans.get(), count);
  EXPECT_EQ(count, 0u);
}

// The model of an index: its entries in index order, nulls first.
using TModel = std::set<std::pair<std::optional<int32_t>, TmvRefNr>>;
using TEntries = std::vector<std::pair<std::optional<int32_t>, TmvRefNr>>;

// Thousands of changes on index aInx, each followed by the whole tree's
// check (some seconds under the sanitizers: the check reads every node).
void TreeChanges::RandomChanges(int32_t inx) {
  {
    TmvStaticKeyBstarTreeIndexEngine* index = t.Index(inx);
    std::mt19937 random(1234 + inx);
    TModel model;
    TmvRefNr nextRef = 1;
    int32_t deepest = 0;
    const int64_t baseline = CheckTree(trans.get(), index).otherBlocks;
    // Whether the index takes the entry, by its rule.
    auto takes = [&](std::optional<int32_t> aK, TmvRefNr aRef) {
      if (model.count({aK, aRef})) return false;
      bool equalKey = false;
      for (const auto& [k, r] : model)
        if (k == aK) equalKey = true;
      if (inx == 0) return !equalKey;
      if (inx == 2 && aK) return !equalKey;
      return true;
    };
    auto check = [&](int step, bool aWalks) {
      const TTreeFacts facts = CheckTree(trans.get(), index);
      deepest = std::max(deepest, facts.levels);
      EXPECT_EQ(facts.otherBlocks, baseline) << step;
      TEntries found;
      for (const TEntry& e : facts.entries) found.push_back({TLongKeyTable::KOf(e.key), e.ref});
      const TEntries modelled(model.begin(), model.end());
      ASSERT_EQ(found, modelled) << "step " << step;
      if (!aWalks) return;
      std::unique_ptr<TmvBaseIndexPath> p(index->CreateIndexPath());
      std::vector<TmvRefNr> forward, backward, expected;
      for (const auto& entry : model) expected.push_back(entry.second);
      p->SetToBof();
      while (index->NextKey(trans.get(), p.get(), nullptr)) forward.push_back(p->RefNr);
      p->SetToEof();
      while (index->PrevKey(trans.get(), p.get(), nullptr)) backward.insert(backward.begin(), p->RefNr);
      EXPECT_EQ(forward, expected) << step;
      EXPECT_EQ(backward, expected) << step;
    };
    auto insert = [&](std::optional<int32_t> aK, TmvRefNr aRef) {
      const bool expected = takes(aK, aRef);
      ASSERT_EQ(Insert(inx, aK, aRef), expected) << (aK ? *aK : -1) << "/" << aRef;
      if (expected) model.insert({aK, aRef});
    };
    auto eraseOne = [&] {
      auto at = model.begin();
      std::advance(at, random() % model.size());
      ASSERT_TRUE(Delete(inx, at->first, at->second));
      model.erase(at);
    };
    // Phases: ascending, random, descending, many duplicates, then down
    // to nothing; each step checked, the walks now and then.
    struct Phase {
      int steps;
      int insertPercent;
      std::function<std::optional<int32_t>(int)> key;
    } phases[] = {
        {450, 100, [](int i) { return std::optional<int32_t>(i); }},
        {700, 50, [&](int) { return std::optional<int32_t>(int32_t(random() % 1000)); }},
        {250, 80, [](int i) { return std::optional<int32_t>(5000 - i); }},
        {350, 60,
         [&](int) { return random() % 5 == 0 && inx == 2 ? std::nullopt : std::optional<int32_t>(int32_t(random() % 6)); }},
    };
    int step = 0;
    for (const Phase& phase : phases) {
      for (int i = 0; i < phase.steps; ++i, ++step) {
        if (int(random() % 100) < phase.insertPercent || model.empty()) {
          const std::optional<int32_t> k = phase.key(i);
          // Now and then an entry the model has already.
          const TmvRefNr ref = (random() % 20 == 0 && !model.empty()) ? model.begin()->second : nextRef++;
          insert(k, ref);
        } else {
          eraseOne();
        }
        check(step, step % 250 == 0);
        if (HasFatalFailure()) return;
      }
    }
    EXPECT_GE(deepest, 4);
    // A nested level's changes roll back whole.
    const TModel before = model;
    trans->StartNested(true);
    for (int i = 0; i < 60; ++i) {
      if (i % 3 == 0) eraseOne();
      else insert(int32_t(random() % 3000), nextRef++);
    }
    trans->Rollback();
    model = before;
    check(step++, true);
    EXPECT_FALSE(Delete(inx, -1, 1));  // not there
    while (!model.empty()) {
      eraseOne();
      check(step++, model.size() % 100 == 0);
      if (HasFatalFailure()) return;
    }
    EXPECT_EQ(Header(inx)->GetIndexRoot(), -1);
  }
}

TEST_F(TreeChanges, RandomChangesOfAUniqueIndexMatchAnOrderedModel) { RandomChanges(0); }
TEST_F(TreeChanges, RandomChangesOfAnIndexWithDuplicatesMatchAnOrderedModel) { RandomChanges(1); }
TEST_F(TreeChanges, RandomChangesOfAnIndexWithDuplicateNullsMatchAnOrderedModel) { RandomChanges(2); }

}  // namespace
