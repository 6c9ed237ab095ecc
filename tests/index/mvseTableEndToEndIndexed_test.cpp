// The table end to end of table storage again, with real indexes: a unique
// index on ID and one with duplicates on NAME, kept by the simple indices
// engine and the static-key B*-tree on each record engine. After commit,
// reopen, deleting every third record and reopen, each index walks in order
// over exactly the live records; a duplicate ID is refused and changes
// nothing; a commit cut off at each write leaves records and indexes old or
// new, or a clear error; and damaged nodes of the reopened file give clear
// errors on walks, inserts and deletes.
#include <fstream>
#include <tuple>

#include "index/IndexTestSupport.h"
#include "index/mvixUnits.h"
#include "index/mvseIndexEngineKeylessBstarTree.h"
#include "storage/TableEndToEndSupport.h"

namespace {

using namespace storage_test;

class IndexedTableEndToEnd : public TableEndToEnd {
 protected:
  void SetUp() override {
    TableEndToEnd::SetUp();
    mvIndexInit();
    fRecords = 20000;
  }
  void TearDown() override {
    mvIndexFini();
    TableEndToEnd::TearDown();
  }
  std::unique_ptr<TmvServerDataDict> Dictionary(const TEngineSetUp& aSetUp) override {
    std::unique_ptr<TmvServerDataDict> dd = PeopleDictionary(aSetUp);
    TmvMainIndicesDescriptor* indices = dd->EnsureIndicesDescriptor();
    for (const auto& [name, field, dups] : {std::tuple{u"ByID", u"ID", idNone}, std::tuple{u"ByName", u"NAME", idAll}}) {
      TmvIndexDescriptor* index = indices->AddIndex(name, 0, dups, u"");
      if (fKeylessEngine) index->SetIndexEngine(fKeylessEngine);
      auto* key = static_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor());
      key->Add(dd->GetFieldsDescriptor()->GetFieldFromName(field));
    }
    return dd;
  }
  // The index engine the dictionary names for both indexes (nil: the
  // default one).
  const char16_t* fKeylessEngine = nullptr;
  // The references of an index's keys in index order, with the keys' first
  // field as text.
  static std::vector<std::pair<String, TmvRefNr>> Walk(TTable& aTable, TmvBaseTransaction* aTrans, int32_t aIndex) {
    TmvBaseIndexEngine* index = aTable.indices->biseGetIndex(aIndex);
    std::unique_ptr<TmvBaseIndexPath> path(index->CreateIndexPath());
    std::vector<std::pair<String, TmvRefNr>> keys;
    uint8_t* data = nullptr;
    index->Iterate(aTrans, path.get(), data,
                   [&](void*, TmvRefNr aRef, const uint8_t* aKey) {
                     keys.push_back({VarToStr(index->KeyEngine()->KeyAsVariant(aKey, 0)), aRef});
                     return kirSkipKey;
                   },
                   nullptr, nullptr, TmvRangeInfo{}, TmvRangeInfo{}, nullptr, nullptr, false);
    return keys;
  }
  std::string CheckIndexes(TTable& aTable, TmvBaseTransaction* aTrans,
                           const std::map<int32_t, TmvRefNr>& aIDs) override {
    if (!aTable.indices) return "no indices engine";
    if (fKeylessEngine && !dynamic_cast<TmvKeylessBstarTreeIndexEngine*>(aTable.indices->biseGetIndex(1)))
      return "not the keyless engine";
    std::vector<std::pair<String, TmvRefNr>> byID, byName;
    for (const auto& [id, ref] : aIDs) {
      byID.push_back({mvIntToStr(id), ref});
      byName.push_back({NameOf(id), ref});
    }
    std::sort(byName.begin(), byName.end());
    if (Walk(aTable, aTrans, 0) != byID) return "the ID index differs";
    if (Walk(aTable, aTrans, 1) != byName) return "the NAME index differs";
    uint32_t count = 0;
    for (int32_t i = 0; i < 2; ++i) {
      aTable.indices->biseGetIndex(i)->GetKeyCount(aTrans, count);
      if (count != aIDs.size()) return "a key count differs";
    }
    return {};
  }
};

TEST_F(IndexedTableEndToEnd, IndexesFollowCommitReopenAndPartialDeletionOnEachEngine) {
  for (const TEngineSetUp& setUp : kSetUps) {
    SCOPED_TRACE(setUp.label);
    RoundTrip(setUp, "indexed-" + UTF8Encode(setUp.record) + ".mv1");
  }
}

// The same with keyless trees, whose keys are read back from the records
// (the deleted ones through the keys the indices engine publishes).
TEST_F(IndexedTableEndToEnd, KeylessIndexesFollowCommitReopenAndPartialDeletion) {
  fRecords = 4000;
  fKeylessEngine = u"KeylessBStarTree";
  RoundTrip(kSetUps[0], "indexed-keyless.mv1");
}

TEST_F(IndexedTableEndToEnd, ADuplicateIDIsRefusedAndChangesNothing) {
  fRecords = 50;
  const TEngineSetUp& setUp = kSetUps[0];
  RoundTrip(setUp, "dup.mv1");
  TTable t = Open(OpenFile("dup.mv1"), setUp);
  TTestTransaction trans(cache);
  const std::map<int32_t, TmvRefNr> before = ReadAll(t, &trans);
  TmvFieldsDescriptor* fields = t.dict->GetFieldsDescriptor();
  std::vector<uint8_t> record(size_t(fields->RecordLength()));
  NativeRecord(fields, 7, record.data());
  trans.StartNested(true);
  TmvRefNr ref = 0;
  t.records->AddRecord(&trans, ref, record.data());
  EXPECT_EQ(t.indices->InsertKeys(&trans, ref, record.data(), nullptr), MVERR_KEYVIOL);
  trans.Rollback();
  EXPECT_EQ(ReadAll(t, &trans), before);
  EXPECT_EQ(CheckIndexes(t, &trans, before), "");
  t.Close();
  trans.End();
}

TEST_F(IndexedTableEndToEnd, ACommitCutOffAfterAnyWriteLeavesRecordsAndIndexesOldOrNewOrAClearError) {
  for (const TEngineSetUp& setUp : kSetUps) {
    SCOPED_TRACE(setUp.label);
    for (const auto& [n, outcome] : CrashCut(setUp))
      std::printf("%s, crash after write %3llu: %s\n", setUp.label.c_str(), (unsigned long long)n, outcome.c_str());
  }
}

TEST_F(IndexedTableEndToEnd, DamagedNodesGiveClearErrorsOnWalksInsertsAndDeletes) {
  fRecords = 300;
  const TEngineSetUp& setUp = kSetUps[0];
  RoundTrip(setUp, "damaged.mv1");
  // The index nodes of the file (every block that is a node of one of them).
  std::vector<TmvBlockNumber> nodes;
  std::map<int32_t, TmvRefNr> ids;
  {
    TTable t = Open(OpenFile("damaged.mv1"), setUp);
    TTestTransaction trans(cache);
    ids = ReadAll(t, &trans);
    for (TmvBlockNumber b = 1; b < t.file.table->file->fiUsedBlocks; ++b) {
      TmvReleaseMethod release;
      uint8_t* block = t.file.view->GetBlock(&trans, b, 0, false, release);
      if (std::memcmp(block, "MVIH", 4) == 0 && block[36] != 0) nodes.push_back(b);
      release(block);
    }
    t.Close();
    trans.End();
  }
  ASSERT_GE(nodes.size(), 4u);
  const std::string name = folder.File("damaged.mv1");
  const std::vector<uint8_t> original = ReadBytes(name);
  const std::set<int32_t> clear{MVERR_INVALIDBLOCKNR, MVERR_NOTANINDEXBLOCK, MVERR_FILECORRUPT, MVERR_KEYVIOL};
  std::map<int32_t, int> outcomes;
  // Each byte of each node's header, of its first entries and of its owner
  // ID, flipped in turn.
  for (TmvBlockNumber node : nodes) {
    std::vector<uint32_t> offsets;
    for (uint32_t at = 0; at < 160; ++at) offsets.push_back(at);
    for (uint32_t at = 4092; at < 4096; ++at) offsets.push_back(at);
    for (uint32_t at : offsets) {
      const size_t where = size_t(node) * 4096 + at;
      std::fstream disk(name, std::ios::binary | std::ios::in | std::ios::out);
      disk.seekp(std::streamoff(where));
      disk.put(char(original[where] ^ 0xFF));
      disk.close();
      int32_t code = 0;
      try {
        TTable t = Open(OpenFile("damaged.mv1"), setUp);
        TTestTransaction trans(cache);
        try {
          for (int32_t i = 0; i < 2; ++i) Walk(t, &trans, i);
          // One record in, one out, as a cursor would change them.
          TmvFieldsDescriptor* fields = t.dict->GetFieldsDescriptor();
          std::vector<uint8_t> record(size_t(fields->RecordLength()));
          NativeRecord(fields, 100000, record.data());
          TmvRefNr ref = 0;
          t.records->AddRecord(&trans, ref, record.data());
          code = t.indices->InsertKeys(&trans, ref, record.data(), nullptr);
          if (code == 0) {
            t.records->ReadRecord(&trans, ids.begin()->second, record.data());
            code = t.indices->DeleteKeys(&trans, ids.begin()->second, record.data(), nullptr);
          }
        } catch (...) {
          t.Close();
          trans.End();
          throw;
        }
        t.Close();
        trans.End();
      } catch (const EmvBaseException& e) {
        code = int32_t(e.ErrorCode());
      }
      disk.open(name, std::ios::binary | std::ios::in | std::ios::out);
      disk.seekp(std::streamoff(where));
      disk.put(char(original[where]));
      disk.close();
      if (HasFatalFailure()) return;
      ++outcomes[code];
      if (code != 0) {
        EXPECT_TRUE(clear.count(code)) << "block " << node << " byte " << at << ": " << code;
      }
    }
  }
  for (const auto& [code, n] : outcomes) std::printf("outcome %d: %d flips\n", code, n);
}

}  // namespace
