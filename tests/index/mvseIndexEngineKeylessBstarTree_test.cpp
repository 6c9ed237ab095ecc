// Tests of the keyless B*-tree over real records: node layout and sizes,
// creation refusals, keys longer than a static tree takes, the key cache
// and its scopes counted through a record engine that counts reads, the
// record in progress, random changes against an ordered model (also on
// trees from the bulk builder), damaged nodes and refs to records that are
// gone, and the cache-keyless variant on a cache table.
#include <map>
#include <random>
#include <set>

#include "foundation/errors/mvllErrors.h"
#include "index/TreeCheckSupport.h"
#include "index/mvseIndexEngineCacheKeylessBstarTree.h"
#include "index/mvseIndexEngineKeylessBstarTree.h"
#include "storage/records/mvseStaticRecordEngine.h"

namespace {

using namespace index_test;

// A static record engine that counts the records read for keys.
class TCountingRecordEngine : public TmvStaticRecordEngine {
 public:
  using TmvStaticRecordEngine::TmvStaticRecordEngine;
  TmvRecordIteratorResult ReadRecordForIterate(TmvBaseTransaction* aTrans, TmvRefNr aRefNr, uint8_t*& aData,
                                               const TmvRecordIterator& aIterator, void* aCookie,
                                               TmvBaseFilterEngine* aFilter) override {
    ++reads;
    return TmvStaticRecordEngine::ReadRecordForIterate(aTrans, aRefNr, aData, aIterator, aCookie, aFilter);
  }
  int reads = 0;
};

// A table of K, N (Int32) and S (ShortString) with keyless indexes: 0 on
// (K) unique, 1 on (K) with all duplicates, 2 on (K, S) unique, 3 on (K)
// with duplicates among nulls only.
class KeylessTree : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    for (TmvIndexDescriptor* index : {t.AddIndex(u"Unique", {u"K"}, idNone), t.AddIndex(u"All", {u"K"}, idAll),
                                      t.AddIndex(u"KS", {u"K", u"S"}, idNone), t.AddIndex(u"Nulls", {u"K"}, idNull)})
      index->SetIndexEngine(u"KeylessBStarTree");
    Open();
  }
  void Open() {
    trans = std::make_unique<TTestTransaction>(cache);
    t.file = CreateFile("keyless.mv1", trans.get());
    records = std::make_unique<TCountingRecordEngine>(t.dd->GetRecordDescriptor(), t.file.Files(), trans.get());
    t.engine = std::make_unique<TmvSimpleIndicesEngine>(t.dd->GetIndicesDescriptor(), t.file.Files(), records.get(),
                                                        trans.get(), false);
  }
  void TearDown() override {
    t.engine.reset();
    records.reset();
    if (trans) trans->End();
    trans.reset();
    t.file = TableFile();
    IndexTest::TearDown();
  }
  TmvKeylessBstarTreeIndexEngine* Index(int32_t aInx) {
    return static_cast<TmvKeylessBstarTreeIndexEngine*>(t.engine->biseGetIndex(aInx));
  }
  // A stored record with K = aK (nullopt: null).
  TmvRefNr Store(std::optional<int32_t> aK) {
    std::vector<uint8_t> record = t.Record(aK, aK);
    TmvRefNr ref = 0;
    records->AddRecord(trans.get(), ref, record.data());
    return ref;
  }
  std::vector<uint8_t> KeyOf(int32_t aInx, TmvRefNr aRef) {
    std::vector<uint8_t> record(t.dd->GetFieldsDescriptor()->RecordLength());
    records->ReadRecord(trans.get(), aRef, record.data());
    std::vector<uint8_t> key(Index(aInx)->KeyEngine()->bkeKeyLength);
    EXPECT_EQ(Index(aInx)->KeyEngine()->BuildKey(record.data(), key.data(), aRef, true), 0u);
    return key;
  }
  bool Insert(int32_t aInx, TmvRefNr aRef, TmvBaseIndexPath* aPath = nullptr) {
    const std::vector<uint8_t> key = KeyOf(aInx, aRef);
    return Index(aInx)->InsertKey(trans.get(), key.data(), aRef, 0, aPath);
  }
  bool Delete(int32_t aInx, TmvRefNr aRef, TmvBaseIndexPath* aPath = nullptr) {
    const std::vector<uint8_t> key = KeyOf(aInx, aRef);
    return Index(aInx)->DeleteKey(trans.get(), key.data(), aRef, 0, aPath);
  }
  std::unique_ptr<TmvBaseIndexHeaderAccess> Header(int32_t aInx) {
    return std::unique_ptr<TmvBaseIndexHeaderAccess>(Index(aInx)->CreateHeaderAccess(trans.get(), false, false, 0, 0));
  }
  std::vector<uint8_t> Node(TmvBlockNumber aBlock) {
    TmvReleaseMethod release;
    uint8_t* b = t.file.view->GetBlock(trans.get(), aBlock, 0, false, release);
    std::vector<uint8_t> bytes(b, b + 64);
    bytes.resize(t.file.view->fiBlockSizeBytes());
    std::memcpy(bytes.data(), b, bytes.size());
    release(b);
    return bytes;
  }
  TTreeFacts Check(int32_t aInx) {
    return CheckTree(trans.get(), Index(aInx), [&](TmvRefNr aRef) { return KeyOf(aInx, aRef); });
  }
  static int32_t KOf(const std::vector<uint8_t>& aKey) {
    int32_t k;
    std::memcpy(&k, aKey.data() + 1, 4);
    return k;
  }

  TIndexTable t;
  std::unique_ptr<TTestTransaction> trans;
  std::unique_ptr<TCountingRecordEngine> records;
};

TEST_F(KeylessTree, NodesHoldRefsOnlyInFixedSlots) {
  TmvKeylessBstarTreeIndexEngine* index = Index(0);
  const uint32_t usable = t.file.view->fiBlockSizeBytes();
  EXPECT_EQ(index->MaxInternalNodeKeyCount(), (usable - 44) / 12);
  EXPECT_EQ(index->MaxLeafNodeKeyCount(), (usable - 40) / 8);
  if (usable == 4096) {
    EXPECT_EQ(index->MaxInternalNodeKeyCount(), 337);
    EXPECT_EQ(index->MaxLeafNodeKeyCount(), 507);
  }
  const int32_t maxLeaf = index->MaxLeafNodeKeyCount();
  // The first key: slot maxLeaf div 2 of a root leaf, at 40 + 8 i.
  auto path = std::unique_ptr<TmvBaseIndexPath>(index->CreateIndexPath());
  const TmvRefNr first = Store(1000);
  ASSERT_TRUE(Insert(0, first, path.get()));
  const TmvBlockNumber leaf = TmvBlockNumber(Header(0)->GetIndexRoot());
  std::vector<uint8_t> node = Node(leaf);
  EXPECT_EQ(mvInhFirstSlot(node.data()), maxLeaf / 2);
  EXPECT_EQ(TmvRefNr(mvGetU64(node.data(), 40 + 8 * uint32_t(maxLeaf / 2))), first);
  EXPECT_TRUE(path->IsOnKey());
  EXPECT_EQ(path->RefNr, first);
  EXPECT_EQ(KOf(std::vector<uint8_t>((uint8_t*)path->Key, (uint8_t*)path->Key + 5)), 1000);
  // Enough ascending keys to split: an internal root, P0 at 40, separator
  // 0 at 44 naming the left leaf's last ref, P1 at 52.
  std::vector<TmvRefNr> refs{first};
  for (int32_t k = 1001; k < 1000 + maxLeaf + 10; ++k) {
    refs.push_back(Store(k));
    ASSERT_TRUE(Insert(0, refs.back()));
  }
  node = Node(TmvBlockNumber(Header(0)->GetIndexRoot()));
  ASSERT_EQ(node[mvInhNodeTypeOffset], intInternal);
  ASSERT_EQ(mvInhKeyCount(node.data()), 1);
  EXPECT_EQ(mvGetU32(node.data(), 40), leaf);
  const std::vector<uint8_t> left = Node(leaf);
  const int32_t last = mvInhFirstSlot(left.data()) + mvInhKeyCount(left.data()) - 1;
  EXPECT_EQ(mvGetU64(node.data(), 44), mvGetU64(left.data(), 40 + 8 * uint32_t(last)));
  EXPECT_EQ(mvInhNextNode(left.data()), mvGetU32(node.data(), 52));
  const TTreeFacts facts = Check(0);
  ASSERT_EQ(facts.entries.size(), refs.size());
  for (size_t i = 0; i < refs.size(); ++i) EXPECT_EQ(facts.entries[i].ref, refs[i]);
  // A unique index refuses the equal key of another record; an index with
  // duplicates only the same pair.
  const TmvRefNr twin = Store(1000 + maxLeaf / 2);
  EXPECT_FALSE(Insert(0, twin));
  EXPECT_TRUE(Insert(1, twin));
  EXPECT_FALSE(Insert(1, twin));
  EXPECT_TRUE(Insert(1, refs[5]));
}

TEST_F(KeylessTree, CreationRefusalsAndKeysTooLongForTheStaticTree) {
  String text;
  // No record engine.
  {
    TIndexTable n;
    n.AddIndex(u"ByK", {u"K"})->SetIndexEngine(u"KeylessBStarTree");
    TTestTransaction nt(cache);
    n.file = CreateFile("norecords.mv1", &nt);
    EXPECT_EQ(Raised([&] { TmvSimpleIndicesEngine engine(n.dd->GetIndicesDescriptor(), n.file.Files(), nullptr, &nt, false); },
                     &text),
              MVERR_NOTSUPPORTED);
    EXPECT_EQ(text, u"TmvKeylessBstarTreeIndexEngine requires a RecordEngine");
    nt.End();
  }
  // A cache table.
  {
    TIndexTable c;
    c.AddIndex(u"ByK", {u"K"})->SetIndexEngine(u"KeylessBStarTree");
    c.dd->SetCachingState(tcsIsCache);
    TTestTransaction ct(cache);
    c.file = CreateFile("cache.mv1", &ct);
    TmvStaticRecordEngine recs(c.dd->GetRecordDescriptor(), c.file.Files(), &ct);
    EXPECT_EQ(Raised([&] { TmvSimpleIndicesEngine engine(c.dd->GetIndicesDescriptor(), c.file.Files(), &recs, &ct, false); },
                     &text),
              MVERR_NOTSUPPORTED);
    EXPECT_NE(text.find(u"is not supported for cache tables"), String::npos);
    EXPECT_EQ(text.find(u"IndexEngine"), String::npos);  // the table descriptor's class
    ct.End();
  }
  // A key the static tree cannot hold in any block: the keyless tree takes
  // it and leaves the file's block size as declared.
  TIndexTable w;
  w.dd->GetFieldsDescriptor()->AddField(u"W", u"", mvtByteArray, 30000, 0, false);
  TmvIndexDescriptor* wide = w.AddIndex(u"Wide", {u"W"}, idAll);
  const int32_t blockSize = wide->IndexFile()->GetBlockSize();
  EXPECT_EQ(Raised([&] { TmvStaticKeyBstarTreeIndexEngine::CheckKeyDescriptor(wide); }), MVERR_MAXKEYSIZE);
  wide->IndexFile()->SetBlockSize(TmvBlockSize(blockSize));
  EXPECT_EQ(Raised([&] { TmvKeylessBstarTreeIndexEngine::CheckKeyDescriptor(wide); }), 0);
  EXPECT_EQ(wide->IndexFile()->GetBlockSize(), blockSize);
}

// Nulls may repeat, across leaves too; a key without nulls may not, even
// when its equal sits at the end of the neighbouring leaf.
TEST_F(KeylessTree, AnIndexOfDuplicateNullsRefusesEqualKeysWithoutNulls) {
  const int32_t maxLeaf = Index(3)->MaxLeafNodeKeyCount();
  std::vector<TmvRefNr> nulls;
  for (int32_t i = 0; i < maxLeaf + 20; ++i) {
    nulls.push_back(Store(std::nullopt));
    ASSERT_TRUE(Insert(3, nulls.back())) << i;
  }
  std::vector<TmvRefNr> values;
  for (int32_t k = 0; k < maxLeaf + 20; ++k) {
    values.push_back(Store(k));
    ASSERT_TRUE(Insert(3, values.back()));
  }
  for (int32_t k : {0, maxLeaf / 2, maxLeaf - 1, maxLeaf, maxLeaf + 19}) EXPECT_FALSE(Insert(3, Store(k))) << k;
  EXPECT_TRUE(Insert(3, Store(std::nullopt)));
  EXPECT_EQ(Check(3).entries.size(), nulls.size() + values.size() + 1);
}

// Records counted by the wrapper: a comparison without a cache entry reads
// and caches nothing; one scope keeps a key for all its operations; the
// next top-level operation reads again.
TEST_F(KeylessTree, TheKeyCacheLivesForOneScope) {
  std::vector<TmvRefNr> refs;
  for (int32_t k = 0; k < 50; ++k) {
    refs.push_back(Store(k * 2));
    ASSERT_TRUE(Insert(0, refs.back()));
  }
  TmvKeylessBstarTreeIndexEngine* index = Index(0);
  auto base = std::unique_ptr<TmvBaseIndexPath>(index->CreateIndexPath());
  auto* path = static_cast<TmvKeylessBstarTreeIndexPath*>(base.get());
  const std::vector<uint8_t> key = KeyOf(0, refs[20]);
  auto find = [&] { return index->FindKey(trans.get(), key.data(), 0, 0, 0, path, skaEqualFirst, nullptr); };
  records->reads = 0;
  ASSERT_TRUE(find());
  EXPECT_EQ(path->RefNr, refs[20]);
  const int once = records->reads;
  EXPECT_GT(once, 0);
  EXPECT_EQ(path->CacheCount(), 0);
  EXPECT_TRUE(path->Cache()->Empty());
  ASSERT_TRUE(find());
  EXPECT_EQ(records->reads, 2 * once);  // nothing kept between operations
  // Nested: the second search finds every key it needs cached, except
  // those the first only compared.
  path->BeginKeyCache(trans.get());
  records->reads = 0;
  EXPECT_EQ(index->CompareKeyToRef(trans.get(), path, key.data(), refs[3]), 1);
  EXPECT_EQ(records->reads, 1);
  EXPECT_TRUE(path->Cache()->Empty());  // comparing caches nothing
  const void* cached = index->GetKeyForRef(path, false, refs[3]);
  EXPECT_FALSE(path->Cache()->Empty());
  records->reads = 0;
  EXPECT_EQ(index->GetKeyForRef(path, false, refs[3]), cached);
  EXPECT_EQ(index->CompareKeyToRef(trans.get(), path, key.data(), refs[3]), 1);
  EXPECT_EQ(records->reads, 0);
  // Without creating, the scratch key: overwritten by the next such call.
  const void* scratch = index->GetKeyForRef(path, true, refs[4]);
  EXPECT_EQ(index->GetKeyForRef(path, true, refs[5]), scratch);
  EXPECT_EQ(records->reads, 2);
  path->EndKeyCache();
  EXPECT_TRUE(path->Cache()->Empty());
  EXPECT_EQ(path->CacheCount(), 0);
  // Unbalanced scopes are programming errors.
  EXPECT_THROW(path->EndKeyCache(), EAssertionFailed);
}

// Many refs, among them negative high dwords: the cache's tree stays a
// red-black tree in signed order.
TEST_F(KeylessTree, TheCacheTreeIsARedBlackTreeInSignedOrder) {
  auto base = std::unique_ptr<TmvBaseIndexPath>(Index(0)->CreateIndexPath());
  auto* path = static_cast<TmvKeylessBstarTreeIndexPath*>(base.get());
  path->BeginKeyCache(trans.get());
  TmvKeylessBstarTreeIndexKeyCache& cache = *path->bpipCache;
  std::mt19937_64 random(7);
  std::set<TmvRefNr> model;
  for (int i = 0; i < 2000; ++i) {
    const TmvRefNr ref = TmvRefNr(uint64_t(random() % 64 + (i % 3 == 0 ? 0xFFFFFFF0u : 0u)) << 32 | (random() & 0xFFFF));
    model.insert(ref);
    EXPECT_EQ(cache.GetNodeForRef(ref, false)->cnKeyRef, ref);
  }
  EXPECT_EQ(cache.GetNodeForRef(TmvRefNr(0x12345), true), nullptr);
  std::vector<TmvRefNr> inOrder;
  int blackHeight = -1;
  std::function<int(PmvCacheNode)> walk = [&](PmvCacheNode n) -> int {
    if (!n) return 1;
    if (!n->cnIsBlack) {
      EXPECT_TRUE(!n->cnLeft || n->cnLeft->cnIsBlack);
      EXPECT_TRUE(!n->cnRight || n->cnRight->cnIsBlack);
    }
    if (n->cnLeft) {
      EXPECT_EQ(n->cnLeft->cnParent, n);
    }
    if (n->cnRight) {
      EXPECT_EQ(n->cnRight->cnParent, n);
    }
    const int l = walk(n->cnLeft);
    inOrder.push_back(n->cnKeyRef);
    const int r = walk(n->cnRight);
    EXPECT_EQ(l, r);
    return l + (n->cnIsBlack ? 1 : 0);
  };
  blackHeight = walk(cache.kcRoot);
  EXPECT_GT(blackHeight, 1);
  EXPECT_TRUE(cache.kcRoot->cnIsBlack);
  EXPECT_EQ(inOrder, std::vector<TmvRefNr>(model.begin(), model.end()));
  EXPECT_LT(inOrder.front(), 0);  // negative high dwords first
  path->EndKeyCache();
  EXPECT_TRUE(cache.Empty());
}

// The indices engine's record in progress: its published key serves the
// tree, although the stored record already holds another one.
TEST_F(KeylessTree, DeletingTheRecordInProgressUsesItsPublishedKey) {
  std::vector<TmvRefNr> refs;
  std::vector<std::vector<uint8_t>> stored;
  for (int32_t k = 0; k < 1200; ++k) {
    stored.push_back(t.Record(k, k));
    TmvRefNr ref = 0;
    records->AddRecord(trans.get(), ref, stored.back().data());
    refs.push_back(ref);
    ASSERT_EQ(t.engine->InsertKeys(trans.get(), ref, stored.back().data(), nullptr), 0);
  }
  // Leaf ends included: each record is changed in storage, then its old
  // keys go.
  std::mt19937 random(3);
  std::vector<size_t> order(refs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), random);
  for (size_t n = 0; n < 700; ++n) {
    const size_t i = order[n];
    std::vector<uint8_t> changed = t.Record(int32_t(100000 + i), 0);
    records->UpdateRecord(trans.get(), refs[i], changed.data(), nullptr);
    ASSERT_EQ(t.engine->DeleteKeys(trans.get(), refs[i], stored[i].data(), nullptr), 0) << i;
    records->DeleteRecord(trans.get(), refs[i]);
  }
  for (int32_t inx = 0; inx < 3; ++inx) {
    const TTreeFacts facts = Check(inx);
    EXPECT_EQ(facts.entries.size(), refs.size() - 700);
  }
}

// Random inserts and deletes against an ordered model, the tree checked
// whole now and then; exact finds by key and ref; the same on a tree that
// the bulk builder made first.
TEST_F(KeylessTree, RandomChangesFollowAnOrderedModel) {
  for (bool bulk : {false, true}) {
    SCOPED_TRACE(bulk);
    if (bulk) {
      t.engine.reset();
      records.reset();
      trans->End();
      t.file = TableFile();
      Open();
    }
    std::mt19937 random(bulk ? 11 : 5);
    std::vector<TmvRefNr> live;
    std::map<std::pair<int32_t, TmvRefNr>, bool> model[2];  // (K, ref) for indexes 0 and 1
    auto add = [&](int32_t k, bool index) {
      const TmvRefNr ref = Store(k);
      live.push_back(ref);
      bool unique = true;
      for (const auto& [entry, _] : model[0]) unique = unique && entry.first != k;
      if (!index) return ref;
      EXPECT_EQ(Insert(0, ref), unique);
      if (unique) model[0][{k, ref}] = true;
      EXPECT_TRUE(Insert(1, ref));
      model[1][{k, ref}] = true;
      return ref;
    };
    if (bulk) {
      // 1,500 records, then both indexes built from them at once.
      std::set<int32_t> seen;
      for (int i = 0; i < 1500; ++i) {
        int32_t k = int32_t(random() % 100000);
        while (!seen.insert(k).second) k = int32_t(random() % 100000);
        const TmvRefNr ref = add(k, false);
        model[0][{k, ref}] = true;
        model[1][{k, ref}] = true;
      }
      for (int32_t inx : {0, 1}) {
        std::unique_ptr<TmvBaseBulkBuilder> builder(Index(inx)->CreateBulkBuilder(trans.get()));
        ASSERT_NE(dynamic_cast<TmvKeylessBstarTreeIndexBulkBuilder*>(builder.get()), nullptr);
        std::vector<uint8_t> record(t.dd->GetFieldsDescriptor()->RecordLength());
        for (TmvRefNr ref : live) {
          records->ReadRecord(trans.get(), ref, record.data());
          ASSERT_EQ(builder->InsertKey(ref, record.data(), trans.get()), 0);
        }
        ASSERT_EQ(builder->Finalize(trans.get()), 0);
      }
    }
    for (int step = 0; step < 2500; ++step) {
      if (live.empty() || random() % 3 != 0) {
        add(int32_t(random() % 3000), true);
      } else {
        const size_t at = random() % live.size();
        const TmvRefNr ref = live[at];
        const int32_t k = KOf(KeyOf(0, ref));
        const bool inUnique = model[0].count({k, ref}) != 0;
        // A record the unique index refused has no entry there.
        if (inUnique) {
          EXPECT_TRUE(Delete(0, ref));
          EXPECT_FALSE(Delete(0, ref));
        }
        model[0].erase({k, ref});
        EXPECT_TRUE(Delete(1, ref));
        EXPECT_FALSE(Delete(1, ref));
        model[1].erase({k, ref});
        live.erase(live.begin() + long(at));
      }
      if (step % 500 == 499 || step == 2499) {
        for (int32_t inx : {0, 1}) {
          const TTreeFacts facts = Check(inx);
          ASSERT_EQ(facts.entries.size(), model[inx].size());
          size_t i = 0;
          for (const auto& [entry, _] : model[inx]) {
            EXPECT_EQ(KOf(facts.entries[i].key), entry.first);
            if (inx == 1) {
              EXPECT_EQ(facts.entries[i].ref, entry.second);
            }
            ++i;
          }
        }
      }
    }
    // Exact finds by key and ref in the index with duplicates.
    auto path = std::unique_ptr<TmvBaseIndexPath>(Index(1)->CreateIndexPath());
    for (int i = 0; i < 50 && !live.empty(); ++i) {
      const TmvRefNr ref = live[random() % live.size()];
      const std::vector<uint8_t> key = KeyOf(1, ref);
      ASSERT_TRUE(Index(1)->FindKey(trans.get(), key.data(), 0, 0, ref, path.get(), skaEqualFirst, nullptr));
      EXPECT_EQ(path->RefNr, ref);
    }
  }
}

// Damage: flipped bytes in the nodes and refs to records that are gone
// give clear errors, never a crash or an endless walk.
TEST_F(KeylessTree, DamagedNodesAndGoneRecordsGiveClearErrors) {
  std::vector<TmvRefNr> refs;
  for (int32_t k = 0; k < 1200; ++k) {
    refs.push_back(Store(k));
    ASSERT_TRUE(Insert(1, refs.back()));
  }
  const std::vector<uint8_t> probe = KeyOf(1, refs[700]);
  // Flipped bytes in every node's header and first slots.
  std::unique_ptr<TmvBaseIndexHeaderAccess> header = Header(1);
  std::vector<TmvBlockNumber> blocks{TmvBlockNumber(header->GetIndexRoot())};
  {
    const std::vector<uint8_t> root = Node(blocks[0]);
    for (int32_t i = 0; i <= mvInhKeyCount(root.data()); ++i) blocks.push_back(mvGetU32(root.data(), 40 + 12 * uint32_t(i)));
  }
  header.reset();
  std::map<int32_t, int> outcomes;
  for (TmvBlockNumber block : blocks) {
    for (uint32_t at : {0u, 16u, 20u, 24u, 28u, 32u, 34u, 36u, 37u, 40u, 44u, 48u, 52u, 2064u, 2068u}) {
      for (uint8_t mask : {uint8_t(0x01), uint8_t(0x80), uint8_t(0xFF)}) {
        TNodeEdit edit(Index(1), trans.get(), block);
        (*edit)[at] ^= mask;
        int32_t code = 0;
        int walked = 0;
        try {
          auto p = std::unique_ptr<TmvBaseIndexPath>(Index(1)->CreateIndexPath());
          Index(1)->FindKey(trans.get(), probe.data(), 0, 0, 0, p.get(), skaGreaterEqual, nullptr);
          while (Index(1)->NextKey(trans.get(), p.get(), nullptr) && walked < 5000) ++walked;
        } catch (const EmvBaseException& e) {
          code = int32_t(e.ErrorCode());
        }
        EXPECT_LT(walked, 5000);
        ++outcomes[code];
        (*edit)[at] ^= mask;
      }
    }
  }
  // A record that is gone: the record engine's own error.
  records->DeleteRecord(trans.get(), refs[600]);
  const std::vector<uint8_t> early = KeyOf(1, refs[500]);
  auto path = std::unique_ptr<TmvBaseIndexPath>(Index(1)->CreateIndexPath());
  int32_t gone = 0;
  try {
    Index(1)->FindKey(trans.get(), early.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr);
    while (Index(1)->NextKey(trans.get(), path.get(), nullptr)) {
    }
  } catch (const EmvBaseException& e) {
    gone = int32_t(e.ErrorCode());
  }
  EXPECT_NE(gone, 0);
  // Node reader errors, or the record engine's for a ref damaged into one
  // that names no record.
  const std::set<int32_t> clear{0, MVERR_NOTANINDEXBLOCK, MVERR_INVALIDBLOCKNR, MVERR_FILECORRUPT,
                                MVERR_INVALIDREFNR, MVERR_EXCEPTIONWITHOUTCODE};
  for (const auto& [code, n] : outcomes) EXPECT_TRUE(clear.count(code)) << code << " x" << n;
  EXPECT_GT(outcomes[0], 0);
}

// ---------------------------------------------------------------------------
// The cache-keyless tree

// A cache table: a RefNr field C (the cache RefNr) first and K, its
// sequential-access index on C, and a cache-keyless index on K.
class CacheKeylessTree : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    dd->SetBaseName(u"c");
    TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
    fields->AddField(u"C", u"", mvtRefNr, 0, 0, false);
    fields->AddField(u"K", u"", mvtInt32, 0, 0, false);
    dd->GetIndicesDescriptor()->RemoveIndex(mvSequentialAccessIndexName);
    dd->GetIndicesDescriptor()->AddIndex(mvSequentialAccessIndexName, 0, idNone, mvSequentialAccessIndexName,
                                         &TmvInt64KeyDescriptor::StaticClass);
  }
  void TearDown() override {
    engine.reset();
    records.reset();
    if (trans) trans->End();
    trans.reset();
    file = TableFile();
    IndexTest::TearDown();
  }
  TmvIndexDescriptor* AddKeyIndex() {
    TmvIndexDescriptor* index = dd->GetIndicesDescriptor()->AddIndex(u"ByK", 0, idAll, u"");
    static_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor())
        ->Add(dd->GetFieldsDescriptor()->GetFieldFromName(u"K"));
    index->SetIndexEngine(u"CacheKeylessBStarTree");
    return index;
  }
  int32_t Open(String* aText = nullptr, const std::string& aName = "cachekeyless.mv1") {
    trans = std::make_unique<TTestTransaction>(cache);
    file = CreateFile(aName, trans.get());
    records = std::make_unique<TmvStaticRecordEngine>(dd->GetRecordDescriptor(), file.Files(), trans.get());
    return Raised(
        [&] {
          engine = std::make_unique<TmvSimpleIndicesEngine>(dd->GetIndicesDescriptor(), file.Files(), records.get(),
                                                            trans.get(), false);
        },
        aText);
  }
  TmvCacheKeylessBstarTreeIndexEngine* Index() {
    for (int32_t i = 0; i < engine->IndexCount(); ++i)
      if (auto* e = dynamic_cast<TmvCacheKeylessBstarTreeIndexEngine*>(engine->biseGetIndex(i))) return e;
    return nullptr;
  }
  // A stored record with K and cache RefNr C, its keys in every index.
  TmvRefNr Store(int32_t aK, TmvRefNr aC) {
    std::vector<uint8_t> record(size_t(dd->GetFieldsDescriptor()->RecordLength()));
    dd->GetFieldsDescriptor()->InitRecord(record.data());
    dd->GetFieldsDescriptor()->SetRecordField(0, record.data(), &aC);
    dd->GetFieldsDescriptor()->SetRecordField(1, record.data(), &aK);
    TmvRefNr ref = 0;
    records->AddRecord(trans.get(), ref, record.data());
    EXPECT_EQ(engine->InsertKeys(trans.get(), ref, record.data(), nullptr), 0);
    return ref;
  }
  std::vector<uint8_t> Key(int32_t aK) {
    std::vector<uint8_t> record(size_t(dd->GetFieldsDescriptor()->RecordLength()));
    dd->GetFieldsDescriptor()->InitRecord(record.data());
    dd->GetFieldsDescriptor()->SetRecordField(1, record.data(), &aK);
    std::vector<uint8_t> key(Index()->KeyEngine()->bkeKeyLength);
    Index()->KeyEngine()->BuildKey(record.data(), key.data(), 0, true);
    return key;
  }

  std::unique_ptr<TmvDataDictionary> dd = std::make_unique<TmvDataDictionary>();
  TableFile file;
  std::unique_ptr<TTestTransaction> trans;
  std::unique_ptr<TmvStaticRecordEngine> records;
  std::unique_ptr<TmvSimpleIndicesEngine> engine;
};

TEST_F(CacheKeylessTree, CreationNeedsACacheTableWithRefNrFieldAndSequentialIndex) {
  AddKeyIndex();
  String text;
  // Not a cache table.
  EXPECT_EQ(Open(&text), MVERR_NOTSUPPORTED);
  EXPECT_NE(text.find(u"is only supported for cache tables"), String::npos);
  trans->End();
  records.reset();
  file = TableFile();
  // A cache table without a sequential-access index.
  dd->SetCachingState(tcsIsCache);
  dd->GetIndicesDescriptor()->RemoveIndex(mvSequentialAccessIndexName);
  EXPECT_EQ(Open(&text, "noseq.mv1"), MVERR_NOTSUPPORTED);
  EXPECT_EQ(text, u"TmvCacheKeylessBstarTreeIndexEngine requires a Sequential Access Index Engine");
}

TEST_F(CacheKeylessTree, ACacheTableWithoutRefNrFieldIsRefused) {
  TmvDataDictionary* d = dd.get();
  d->GetFieldsDescriptor()->RemoveField(0);
  AddKeyIndex();
  d->SetCachingState(tcsIsCache);
  String text;
  EXPECT_EQ(Open(&text), MVERR_NOTSUPPORTED);
  EXPECT_NE(text.find(u"requires a RefNr field"), String::npos);
}

TEST_F(CacheKeylessTree, EqualKeysOrderByCacheRefNrAndExactSearchesFindThem) {
  AddKeyIndex();
  dd->SetCachingState(tcsIsCache);
  ASSERT_EQ(Open(), 0);
  ASSERT_NE(Index(), nullptr);
  ASSERT_EQ(Index()->ieRefNrOffset, 0);  // where the sequential-access key is read
  // Equal keys whose cache RefNrs run against their storage order.
  std::vector<TmvRefNr> refs;
  for (int i = 0; i < 40; ++i) refs.push_back(Store(7, TmvRefNr(1000 - i)));
  for (int i = 0; i < 600; ++i) Store(i % 5 == 0 ? 3 : 9 + i, TmvRefNr(5000 + i));
  auto path = std::unique_ptr<TmvBaseIndexPath>(Index()->CreateIndexPath());
  const std::vector<uint8_t> seven = Key(7);
  ASSERT_TRUE(Index()->FindKey(trans.get(), seven.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
  std::vector<TmvRefNr> order;
  do {
    if (Index()->KeyEngine()->CompareKey(path->Key, seven.data()) != 0) break;
    order.push_back(path->RefNr);
    EXPECT_EQ(path->CacheRefNr, TmvRefNr(961 + order.size() - 1));
  } while (Index()->NextKey(trans.get(), path.get(), nullptr));
  ASSERT_EQ(order.size(), refs.size());
  for (size_t i = 0; i < refs.size(); ++i) EXPECT_EQ(order[i], refs[refs.size() - 1 - i]);
  // An exact search by storage ref finds that record among its equals.
  for (size_t i : {size_t(0), size_t(17), size_t(39)}) {
    ASSERT_TRUE(Index()->FindKey(trans.get(), seven.data(), 0, 0, refs[i], path.get(), skaEqualFirst, nullptr));
    EXPECT_EQ(path->RefNr, refs[i]);
    EXPECT_EQ(path->CacheRefNr, TmvRefNr(1000 - int(i)));
  }
  // A path that knows only its cache RefNr finds its record through the
  // sequential-access index.
  path->Clear();
  path->CacheRefNr = TmvRefNr(1000 - 17);
  path->Position = ippOnKey;
  Index()->ValidateIndexPath(trans.get(), path.get());
  EXPECT_EQ(path->RefNr, refs[17]);
  EXPECT_TRUE(path->IsOnKey());
  // A delete through a path on the entry but with another cache RefNr
  // searches by that cache RefNr, and finds nothing.
  ASSERT_TRUE(Index()->FindKey(trans.get(), seven.data(), 0, 0, refs[6], path.get(), skaEqualFirst, nullptr));
  EXPECT_FALSE(Index()->DeleteKey(trans.get(), seven.data(), refs[6], TmvRefNr(77777), path.get()));
  EXPECT_TRUE(Index()->DeleteKey(trans.get(), seven.data(), refs[6], TmvRefNr(1000 - 6), path.get()));
  EXPECT_TRUE(Index()->FindKey(trans.get(), seven.data(), 0, 0, refs[5], path.get(), skaEqualFirst, nullptr));
  EXPECT_EQ(path->RefNr, refs[5]);
  uint32_t count = 0;
  Index()->GetKeyCount(trans.get(), count);
  EXPECT_EQ(count, 639u);
}

}  // namespace
