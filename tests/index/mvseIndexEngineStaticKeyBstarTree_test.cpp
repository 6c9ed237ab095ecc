// Tests of the static-key B*-tree's searches, steps and paths on trees
// written node by node: the eleven search actions on three-level trees,
// duplicates across leaves, field counts, an empty index, filtered steps,
// path repair after changes of the leaf, the checks that refuse damaged
// nodes, a tree whose pointers or leaf chain loop, and every byte of the
// nodes and the index header flipped in turn.
#include "index/mvseIndexEngineStaticKeyBstarTree.h"

#include <fstream>
#include <set>

#include "foundation/errors/mvllErrors.h"
#include "index/IndexTestSupport.h"

namespace {

using namespace index_test;

using TPath = TmvStaticKeyBstarTreeIndexPath;

class StaticKeyTree : public IndexTest {
 protected:
  // Indexes: 0 unique on K, 1 on K with all duplicates, 2 unique on (K, N).
  void SetUp() override {
    IndexTest::SetUp();
    t.AddIndex(u"ByK", {u"K"});
    t.AddIndex(u"Dups", {u"K"}, idAll);
    t.AddIndex(u"Pair", {u"K", u"N"});
    trans = std::make_unique<TTestTransaction>(cache);
    t.file = CreateFile("tree.mv1", trans.get());
    t.engine = std::make_unique<TmvSimpleIndicesEngine>(t.dd->GetIndicesDescriptor(), t.file.Files(), nullptr,
                                                        trans.get(), false);
  }
  void TearDown() override {
    path.reset();
    t.engine.reset();
    if (trans) trans->End();
    trans.reset();
    t.file = TableFile();
    IndexTest::TearDown();
  }
  // Keys 10, 20, .. 270 in index 0: leaves of 3, internal nodes of 3
  // children, three levels.
  TTree UniqueTree() {
    std::vector<TEntry> entries;
    for (int k = 10; k <= 270; k += 10) entries.push_back({t.Key(0, k), TmvRefNr(k)});
    return WriteTree(trans.get(), t.Index(0), entries, 3, 3);
  }
  TPath& Path(int32_t aInx) {
    path.reset(static_cast<TPath*>(t.Index(aInx)->CreateIndexPath()));
    return *path;
  }
  int32_t KeyOf(const TPath& aPath) const {
    int32_t k;
    std::memcpy(&k, static_cast<const uint8_t*>(aPath.Key) + 1, 4);
    return k;
  }
  bool Find(int32_t aInx, const std::vector<uint8_t>& aKey, TmvSearchKeyAction aAction, int32_t aFieldCount = 0,
            TmvRefNr aRefNr = 0, TmvBaseFilterEngine* aFilter = nullptr) {
    return t.Index(aInx)->FindKey(trans.get(), aKey.data(), aFieldCount, 0, aRefNr, &Path(aInx), aAction, aFilter);
  }
  // Every key from BOF forward, or from EOF backward.
  std::vector<int32_t> Walk(int32_t aInx, bool aForward, TmvBaseFilterEngine* aFilter = nullptr) {
    TPath& p = Path(aInx);
    std::vector<int32_t> keys;
    if (aForward) {
      p.SetToBof();
      while (t.Index(aInx)->NextKey(trans.get(), &p, aFilter) && keys.size() < 1000) keys.push_back(KeyOf(p));
    } else {
      p.SetToEof();
      while (t.Index(aInx)->PrevKey(trans.get(), &p, aFilter) && keys.size() < 1000) keys.push_back(KeyOf(p));
    }
    return keys;
  }
  // Rewrites a leaf's entries from slot aFirst (the leaf counts a change).
  void RewriteLeaf(int32_t aInx, TmvBlockNumber aLeaf, const std::vector<TEntry>& aEntries, uint16_t aFirst) {
    const TmvIndexNodeGeometry& g = t.Index(aInx)->Geometry();
    TNodeEdit edit(t.Index(aInx), trans.get(), aLeaf);
    for (size_t i = 0; i < aEntries.size(); ++i) {
      uint8_t* slot = *edit + 40 + (aFirst + i) * g.LeafPair;
      std::memcpy(slot, aEntries[i].key.data(), aEntries[i].key.size());
      mvPutU64(slot, g.DescKeyLength, uint64_t(aEntries[i].ref));
    }
    mvSetInhFirstSlot(*edit, aFirst);
    mvSetInhKeyCount(*edit, uint16_t(aEntries.size()));
  }
  void SetRoot(int32_t aInx, int32_t aRoot) {
    std::unique_ptr<TmvBaseIndexHeaderAccess> header(t.Index(aInx)->CreateHeaderAccess(trans.get(), true, true, 0, 0));
    header->SetIndexRoot(aRoot);
  }

  TIndexTable t;
  std::unique_ptr<TTestTransaction> trans;
  std::unique_ptr<TPath> path;
};

TEST_F(StaticKeyTree, EveryActionOnAThreeLevelUniqueTree) {
  const TTree tree = UniqueTree();
  ASSERT_EQ(tree.levels.size(), 3u);
  struct Case {
    TmvSearchKeyAction action;
    int32_t key;
    bool result;
    TmvIndexPathPosition position;
    int32_t found;  // the key under the path
  } cases[] = {
      {skaEqualFirst, 50, true, ippOnKey, 50},          {skaEqualFirst, 55, false, ippOnCrackBefore, 60},
      {skaEqualLast, 90, true, ippOnKey, 90},           {skaEqualLast, 95, false, ippOnCrackBefore, 100},
      {skaAnyEqual, 270, true, ippOnKey, 270},          {skaAnyEqual, 5, false, ippOnCrackBefore, 10},
      {skaGreaterEqual, 50, true, ippOnKey, 50},        {skaGreaterEqual, 55, true, ippOnKey, 60},
      {skaGreater, 50, true, ippOnKey, 60},             {skaGreater, 90, true, ippOnKey, 100},
      {skaAnyGreater, 90, true, ippOnKey, 100},         {skaAnyGreaterEqual, 91, true, ippOnKey, 100},
      {skaSmallerEqual, 55, true, ippOnKey, 50},        {skaSmaller, 100, true, ippOnKey, 90},
      {skaAnySmaller, 100, true, ippOnKey, 90},         {skaAnySmallerEqual, 100, true, ippOnKey, 100},
      {skaGreaterEqual, 275, true, ippEof, 0},          {skaGreater, 270, true, ippEof, 0},
      {skaSmallerEqual, 5, true, ippBof, 0},            {skaSmaller, 10, true, ippBof, 0},
      {skaEqualFirst, 275, false, ippOnCrackAfter, 270},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.action) + " " + std::to_string(c.key));
    EXPECT_EQ(Find(0, t.Key(0, c.key), c.action), c.result);
    EXPECT_EQ(path->Position, c.position);
    if (path->IsOnKey() || path->IsOnCrack()) {
      EXPECT_EQ(KeyOf(*path), c.found);
    }
    if (path->IsOnKey()) {
      EXPECT_EQ(path->RefNr, TmvRefNr(c.found));
    }
  }
  // Walks both ways over the whole chain of leaves.
  std::vector<int32_t> all;
  for (int k = 10; k <= 270; k += 10) all.push_back(k);
  EXPECT_EQ(Walk(0, true), all);
  EXPECT_EQ(Walk(0, false), std::vector<int32_t>(all.rbegin(), all.rend()));
  uint32_t count = 0;
  t.Index(0)->GetKeyCount(trans.get(), count);
  EXPECT_EQ(count, 27u);
}

TEST_F(StaticKeyTree, DuplicatesAcrossLeavesAndLeadingFields) {
  // Key 5 seven times (references 1..7) among others, three entries a leaf.
  std::vector<TEntry> entries{{t.Key(1, 1), 100}, {t.Key(1, 3), 101}};
  for (TmvRefNr r = 1; r <= 7; ++r) entries.push_back({t.Key(1, 5), r});
  entries.push_back({t.Key(1, 8), 102});
  WriteTree(trans.get(), t.Index(1), entries, 3, 3);
  EXPECT_TRUE(Find(1, t.Key(1, 5), skaEqualFirst));
  EXPECT_EQ(path->RefNr, 1);
  EXPECT_TRUE(Find(1, t.Key(1, 5), skaEqualLast));
  EXPECT_EQ(path->RefNr, 7);
  EXPECT_TRUE(Find(1, t.Key(1, 5), skaEqualFirst, 0, 4));  // one entry by its reference
  EXPECT_EQ(path->RefNr, 4);
  EXPECT_TRUE(Find(1, t.Key(1, 5), skaGreater));
  EXPECT_EQ(KeyOf(*path), 8);
  EXPECT_TRUE(Find(1, t.Key(1, 5), skaSmaller));
  EXPECT_EQ(KeyOf(*path), 3);
  EXPECT_FALSE(Find(1, t.Key(1, 4), skaEqualFirst));

  // One field of two: the first key whose K matches.
  std::vector<TEntry> pairs;
  for (int k = 1; k <= 9; ++k)
    for (int n = 1; n <= 3; ++n) pairs.push_back({t.Key(2, k, n), TmvRefNr(10 * k + n)});
  WriteTree(trans.get(), t.Index(2), pairs, 3, 3);
  EXPECT_TRUE(Find(2, t.Key(2, 4, 99), skaEqualFirst, 1));
  EXPECT_EQ(path->RefNr, 41);
  EXPECT_TRUE(Find(2, t.Key(2, 4, 0), skaEqualLast, 1));
  EXPECT_EQ(path->RefNr, 43);
  EXPECT_TRUE(Find(2, t.Key(2, 4, 0), skaGreater, 1));
  EXPECT_EQ(path->RefNr, 51);
}

TEST_F(StaticKeyTree, AnEmptyIndexAnswersByAction) {
  const std::vector<uint8_t> key = t.Key(0, 1);
  for (TmvSearchKeyAction equal : {skaEqualFirst, skaEqualLast, skaAnyEqual}) EXPECT_FALSE(Find(0, key, equal));
  for (TmvSearchKeyAction greater : {skaGreaterEqual, skaGreater, skaAnyGreaterEqual, skaAnyGreater}) {
    EXPECT_TRUE(Find(0, key, greater));
    EXPECT_TRUE(path->IsEof());
  }
  for (TmvSearchKeyAction smaller : {skaSmallerEqual, skaSmaller, skaAnySmallerEqual, skaAnySmaller}) {
    EXPECT_TRUE(Find(0, key, smaller));
    EXPECT_TRUE(path->IsBof());
  }
  EXPECT_TRUE(Walk(0, true).empty());
  EXPECT_TRUE(path->IsEof());
  EXPECT_TRUE(Walk(0, false).empty());
}

TEST_F(StaticKeyTree, AKeyFilterSkipsKeysAndCanStopAWalkInTime) {
  UniqueTree();
  // Keys whose K is a multiple of 30 pass.
  TTestFilter filter([](const uint8_t* aKey) {
    int32_t k;
    std::memcpy(&k, aKey + 1, 4);
    return k % 30 == 0;
  });
  EXPECT_EQ(Walk(0, true, &filter), (std::vector<int32_t>{30, 60, 90, 120, 150, 180, 210, 240, 270}));
  EXPECT_EQ(Walk(0, false, &filter).front(), 270);
  EXPECT_TRUE(Find(0, t.Key(0, 40), skaGreaterEqual, 0, 0, &filter));
  EXPECT_EQ(KeyOf(*path), 60);
  EXPECT_TRUE(Find(0, t.Key(0, 40), skaSmallerEqual, 0, 0, &filter));
  EXPECT_EQ(KeyOf(*path), 30);
  EXPECT_FALSE(Find(0, t.Key(0, 40), skaEqualFirst, 0, 0, &filter));
  // The owner's time check ends a step on the key it refused.
  int asked = 0;
  uint32_t result = 0;
  filter.kfResult = &result;
  filter.kfCheckTimeOut = [&](uint32_t& aResult) {
    aResult = MVERR_OPERATIONTIMEOUT;
    return ++asked == 2;
  };
  TPath& p = Path(0);
  p.SetToBof();
  EXPECT_TRUE(t.Index(0)->NextKey(trans.get(), &p, &filter));
  EXPECT_EQ(KeyOf(p), 20);
  EXPECT_EQ(result, uint32_t(MVERR_OPERATIONTIMEOUT));
  // An inactive filter counts as none.
  filter.kfCheckTimeOut = nullptr;
  filter.SetActive(false);
  EXPECT_EQ(Walk(0, true, &filter).size(), 27u);
}

TEST_F(StaticKeyTree, APathIsRepairedInItsLeafOrFoundAgainOrMarkedDeleted) {
  const TTree tree = UniqueTree();
  const TmvBlockNumber leaf = tree.levels[0][1];  // keys 40, 50, 60
  auto entry = [&](int32_t k) { return TEntry{t.Key(0, k), TmvRefNr(k)}; };
  auto onFifty = [&]() -> TPath& {
    EXPECT_TRUE(Find(0, t.Key(0, 50), skaEqualFirst));
    EXPECT_EQ(path->bpipPage, leaf);
    return *path;
  };

  // Another key added to the leaf: the path stays on its key in that leaf,
  // even with the root gone (no search from the root took place).
  {
    TPath& p = onFifty();
    const int32_t slot = p.bpipItem;
    RewriteLeaf(0, leaf, {entry(40), entry(45), entry(50), entry(60)}, 0);
    SetRoot(0, -1);
    t.Index(0)->ValidateIndexPath(trans.get(), &p);
    EXPECT_TRUE(p.IsOnKey());
    EXPECT_FALSE(p.IsDeleted());
    EXPECT_EQ(p.bpipPage, leaf);
    EXPECT_EQ(p.bpipItem, 2);
    EXPECT_NE(p.bpipItem, slot);
    EXPECT_EQ(KeyOf(p), 50);
    SetRoot(0, int32_t(tree.Root()));
  }
  // The key removed from the leaf: deleted, on the crack before the next
  // key, and the next step gives that key.
  {
    RewriteLeaf(0, leaf, {entry(40), entry(50), entry(60)}, 0);
    TPath& p = onFifty();
    RewriteLeaf(0, leaf, {entry(40), entry(60)}, 0);
    t.Index(0)->ValidateIndexPath(trans.get(), &p);
    EXPECT_TRUE(p.IsDeleted());
    EXPECT_EQ(p.Position, ippOnCrackBefore);
    EXPECT_EQ(p.CheckCurrentState(), MVERR_KEYORRECDELETED);
    EXPECT_EQ(KeyOf(p), 50);
    EXPECT_TRUE(t.Index(0)->NextKey(trans.get(), &p, nullptr));
    EXPECT_EQ(KeyOf(p), 60);
  }
  // The leaf split: its key went elsewhere, so the path is found again
  // from the (new) root.
  {
    RewriteLeaf(0, leaf, {entry(40), entry(50), entry(60)}, 0);
    TPath& p = onFifty();
    std::vector<TEntry> entries;
    for (int k = 10; k <= 270; k += 10) entries.push_back(entry(k));
    const TTree rewritten = WriteTree(trans.get(), t.Index(0), entries, 5, 4);
    RewriteLeaf(0, leaf, {entry(40)}, 0);
    t.Index(0)->ValidateIndexPath(trans.get(), &p);
    EXPECT_TRUE(p.IsOnKey());
    EXPECT_FALSE(p.IsDeleted());
    EXPECT_EQ(p.bpipPage, rewritten.levels[0][0]);  // 10 .. 50
    EXPECT_EQ(KeyOf(p), 50);
  }
}

TEST_F(StaticKeyTree, DamagedNodesAreRefused) {
  const TTree tree = UniqueTree();
  const TmvBlockNumber leaf = tree.levels[0][0], inner = tree.levels[1][0];
  const int32_t maxLeaf = t.Index(0)->Geometry().MaxLeafKeys;
  struct Case {
    const char* what;
    TmvBlockNumber block;
    std::function<void(uint8_t*)> damage;
    int32_t code;
  } cases[] = {
      {"a window beyond the leaf", leaf, [&](uint8_t* b) { mvSetInhFirstSlot(b, uint16_t(maxLeaf - 2)); },
       MVERR_NOTANINDEXBLOCK},
      {"an internal node with a first slot", inner, [](uint8_t* b) { mvSetInhFirstSlot(b, 1); }, MVERR_NOTANINDEXBLOCK},
      {"an internal node too full", inner, [](uint8_t* b) { mvSetInhKeyCount(b, 0xFFFF); }, MVERR_NOTANINDEXBLOCK},
      {"an unknown type", inner, [](uint8_t* b) { b[36] = 7; }, MVERR_NOTANINDEXBLOCK},
      {"a header block as node", inner, [](uint8_t* b) { b[36] = 0; }, MVERR_NOTANINDEXBLOCK},
      {"another index's node", leaf, [](uint8_t* b) { b[37] = 1; }, MVERR_NOTANINDEXBLOCK},
      {"a child pointer outside the file", inner, [](uint8_t* b) { mvPutU32(b, 40, 0x7FFFFFFF); },
       MVERR_INVALIDBLOCKNR},
      {"a child pointer to itself", tree.Root(), [&](uint8_t* b) { mvPutU32(b, 40, tree.Root()); },
       MVERR_FILECORRUPT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    trans->StartNested(true);
    {
      TNodeEdit edit(t.Index(0), trans.get(), c.block);
      c.damage(*edit);
    }
    int32_t code = Raised([&] { Find(0, t.Key(0, 10), skaEqualFirst); });
    if (code == 0) code = Raised([&] { Walk(0, true); });
    EXPECT_EQ(code, c.code);
    trans->Rollback();
  }
  EXPECT_EQ(Walk(0, true).size(), 27u);  // each damage rolled back
}

TEST_F(StaticKeyTree, ALoopingLeafChainEndsTheWalk) {
  const TTree tree = UniqueTree();
  // The last leaf links on to the first and the first back to the last:
  // each link agrees with its partner's, so only the count can tell.
  const TmvBlockNumber first = tree.levels[0].front(), last = tree.levels[0].back();
  {
    TNodeEdit a(t.Index(0), trans.get(), last);
    mvSetInhNextNode(*a, first);
  }
  {
    TNodeEdit b(t.Index(0), trans.get(), first);
    mvSetInhPrevNode(*b, last);
  }
  EXPECT_EQ(Raised([&] { Walk(0, true); }), MVERR_FILECORRUPT);
  EXPECT_EQ(Raised([&] { Walk(0, false); }), MVERR_FILECORRUPT);
  // A link that does not lead back is refused at once.
  {
    TNodeEdit c(t.Index(0), trans.get(), tree.levels[0][4]);
    mvSetInhPrevNode(*c, tree.levels[0][1]);
  }
  TPath& p = Path(0);
  ASSERT_TRUE(Find(0, t.Key(0, 120), skaEqualFirst));
  EXPECT_EQ(Raised([&] { t.Index(0)->NextKey(trans.get(), path.get(), nullptr); }), MVERR_FILECORRUPT);
  (void)p;
}

// ---------------------------------------------------------------------------
// Every byte flipped

class StaticKeyTreeDamage : public IndexTest {};

TEST_F(StaticKeyTreeDamage, EachByteOfTheNodesAndTheHeaderFlippedGivesKeysOrAClearError) {
  TIndexTable t;
  t.AddIndex(u"ByK", {u"K"});
  // Per block the bytes the engine reads: the header, the used entries
  // (index 0's in the index header), the owner ID at the end; and every
  // byte of the first leaf, to show that the bytes nothing reads change
  // nothing (every byte of every block would take half a minute under the
  // sanitizers).
  std::map<TmvBlockNumber, std::set<uint32_t>> regions;
  std::vector<std::vector<uint8_t>> probes;  // keys searched after each flip
  auto read = [&](TmvBlockNumber aBlock, uint32_t aFrom, uint32_t aTo) {
    for (uint32_t at = 0; at < 40; ++at) regions[aBlock].insert(at);
    for (uint32_t at = aFrom; at < aTo; ++at) regions[aBlock].insert(at);
    for (uint32_t at = 4092; at < 4096; ++at) regions[aBlock].insert(at);
  };
  {
    TTestTransaction trans(cache);
    t.file = CreateFile("flip.mv1", &trans);
    t.engine = std::make_unique<TmvSimpleIndicesEngine>(t.dd->GetIndicesDescriptor(), t.file.Files(), nullptr, &trans,
                                                        false);
    std::vector<TEntry> entries;
    for (int k = 10; k <= 270; k += 10) entries.push_back({t.Key(0, k), TmvRefNr(k)});
    const TTree tree = WriteTree(&trans, t.Index(0), entries, 3, 3);
    const TmvIndexNodeGeometry& g = t.Index(0)->Geometry();
    const uint32_t firstSlot = (g.MaxLeafKeys - 3) / 2;
    for (TmvBlockNumber leaf : tree.levels[0]) read(leaf, 40 + firstSlot * g.LeafPair, 40 + (firstSlot + 3) * g.LeafPair);
    for (size_t level = 1; level < tree.levels.size(); ++level)
      for (TmvBlockNumber node : tree.levels[level]) read(node, 40, 44 + 3 * g.InternalPair);
    std::unique_ptr<TmvBaseFileHeaderAccess> header(t.file.view->HeaderAccess(&trans, false));
    const TmvBlockNumber block = mvGetU32(header->Header, header->RegisterHeaderSection(u"Indices", 4, false, false));
    for (uint32_t column : {40u, 552u, 1576u, 2600u}) read(block, column, column + (column == 40 ? 2 : 4));
    read(tree.levels[0][0], 40, 4092);
    for (int k : {10, 140, 270}) probes.push_back(t.Key(0, k));
    header.reset();
    t.engine.reset();
    trans.Commit();
  }
  const std::string name = folder.File("flip.mv1");
  const std::vector<uint8_t> original = ReadBytes(name);
  std::fstream disk(name, std::ios::binary | std::ios::in | std::ios::out);
  const std::set<int32_t> clear{MVERR_INVALIDBLOCKNR, MVERR_NOTANINDEXBLOCK, MVERR_HEADERCORRUPT, MVERR_FILECORRUPT};
  std::map<int32_t, int> outcomes;
  auto flip = [&](size_t aAt) {
    disk.seekp(std::streamoff(aAt));
    disk.put(char(original[aAt] ^ 0xFF));
    disk.flush();
    cache->RemoveFile(t.file.table->file);
    ASSERT_EQ(t.file.table->Add(), 0);
    if (t.file.table->header) t.file.table->release(t.file.table->header);
    std::vector<int32_t> seen;
    const int32_t code = Raised([&] {
      TmvSimpleIndicesEngine engine(t.dd->GetIndicesDescriptor(), t.file.Files(), nullptr, nullptr, false);
      auto* index = static_cast<TmvStaticKeyBstarTreeIndexEngine*>(engine.biseGetIndex(0));
      std::unique_ptr<TmvBaseIndexPath> p(index->CreateIndexPath());
      TTestTransaction trans(cache);
      try {
        p->SetToBof();
        while (index->NextKey(&trans, p.get(), nullptr) && seen.size() < 100) seen.push_back(0);
        p->SetToEof();
        while (index->PrevKey(&trans, p.get(), nullptr) && seen.size() < 200) seen.push_back(0);
        for (const std::vector<uint8_t>& key : probes)
          index->FindKey(&trans, key.data(), 0, 0, 0, p.get(), skaEqualFirst, nullptr);
      } catch (...) {
        trans.End();
        throw;
      }
      trans.End();
    });
    EXPECT_LE(seen.size(), 100u) << "byte " << aAt;  // a walk ends
    if (code != 0) {
      EXPECT_TRUE(clear.count(code)) << "byte " << aAt << ": " << code;
    }
    ++outcomes[code];
    disk.seekp(std::streamoff(aAt));
    disk.put(char(original[aAt]));
  };
  for (const auto& [block, offsets] : regions)
    for (uint32_t at : offsets) flip(size_t(block) * 4096 + at);
  for (const auto& [code, n] : outcomes) std::printf("outcome %d: %d flips\n", code, n);
  EXPECT_GT(outcomes[0], 0);
}

TEST_F(StaticKeyTreeDamage, AnOrdinaryIndexIsRefusedOnACacheTable) {
  TIndexTable t;
  t.AddIndex(u"ByK", {u"K"});
  t.dd->SetCachingState(tcsIsCache);
  TTestTransaction trans(cache);
  t.file = CreateFile("cache.mv1", &trans);
  String text;
  EXPECT_EQ(Raised(
                [&] {
                  TmvSimpleIndicesEngine engine(t.dd->GetIndicesDescriptor(), t.file.Files(), nullptr, &trans, false);
                },
                &text),
            MVERR_NOTSUPPORTED);
  EXPECT_EQ(text, u"TmvStaticKeyBstarTreeIndexEngine is not supported for cache tables");
  trans.End();
}

}  // namespace
