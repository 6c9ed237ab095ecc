// Tests of the node format: the sizes a key length gives, the smallest
// block an index needs, the bytes of a new node, and the node reader's
// refusals and change count.
#include "index/mvseIndexNodes.h"

#include "dictionary/items/mvsdFileDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "index/IndexTestSupport.h"

namespace {

using namespace index_test;

class IndexNodes : public IndexTest {
 protected:
  // A new table file with one unique index on K, committed.
  void MakeTable(TIndexTable& t, const std::string& aName = "nodes.mv1") {
    t.AddIndex(u"ByK", {u"K"});
    TTestTransaction trans(cache);
    t.file = CreateFile(aName, &trans);
    t.engine = std::make_unique<TmvSimpleIndicesEngine>(t.dd->GetIndicesDescriptor(), t.file.Files(), nullptr,
                                                        &trans, false);
    trans.Commit();
  }
};

TEST_F(IndexNodes, KeyLengthsGiveSlotSizesAndCounts) {
  EXPECT_EQ(mvIndexNodeGeometry(32, false, false, 4096).DescKeyLength, 32);
  EXPECT_EQ(mvIndexNodeGeometry(33, false, false, 4096).DescKeyLength, 36);
  EXPECT_EQ(mvIndexNodeGeometry(30, false, false, 4096).DescKeyLength, 30);
  const TmvIndexNodeGeometry unique = mvIndexNodeGeometry(8, false, false, 4096);
  EXPECT_EQ(unique.MaxInternalKeys, 337);  // (4096 - 44) div 12
  EXPECT_EQ(unique.MaxLeafKeys, 253);      // (4096 - 40) div 16
  const TmvIndexNodeGeometry dups = mvIndexNodeGeometry(8, true, false, 4096);
  EXPECT_EQ(dups.NodeKeyLength, 16);
  EXPECT_EQ(dups.InternalPair, 20);
  EXPECT_EQ(dups.LeafPair, 16);
  const TmvIndexNodeGeometry refs = mvIndexNodeGeometry(8, false, true, 4096);
  EXPECT_EQ(refs.LeafPair, 8);
  EXPECT_EQ(refs.MaxLeafKeys, 507);
  // Four separators and five pointers, or three leaf entries.
  EXPECT_EQ(mvIndexMinimumUsableBytes(100, false, false), 60u + 400u);
  EXPECT_EQ(mvIndexMinimumUsableBytes(100, true, false), 60u + 400u + 32u);
  EXPECT_EQ(mvIndexMinimumUsableBytes(8, false, true), 92u);
}

TEST_F(IndexNodes, AKeyRaisesTheBlockSizeAsFarAsNeededOrIsRefused) {
  TIndexTable t;
  t.dd->GetFieldsDescriptor()->AddField(u"W", u"", mvtWideString, 1000, 0, false);
  t.dd->GetFieldsDescriptor()->AddField(u"Long", u"", mvtWideString, 20000, 0, false);
  TmvIndexDescriptor* wide = t.AddIndex(u"Wide", {u"W"});
  TmvStaticKeyBstarTreeIndexEngine::CheckKeyDescriptor(wide);
  EXPECT_EQ(wide->IndexFile()->GetBlockSize(), mvbs8k);  // a key of 2003 bytes needs 8076 usable bytes
  TmvIndexDescriptor* tooLong = t.AddIndex(u"Long", {u"Long"});
  String text;
  EXPECT_EQ(Raised([&] { TmvStaticKeyBstarTreeIndexEngine::CheckKeyDescriptor(tooLong); }, &text), MVERR_MAXKEYSIZE);
  EXPECT_EQ(text, u"Maximum key size has been exceeded. Index: #1 Long");
}

TEST_F(IndexNodes, ANewNodeHasItsHeaderAndNothingMore) {
  TIndexTable t;
  MakeTable(t);
  TTestTransaction trans(cache);
  TmvStaticKeyBstarTreeIndexEngine* index = t.Index(0);
  std::unique_ptr<TmvBaseIndexHeaderAccess> header(index->CreateHeaderAccess(&trans, true, true, 0, 0));
  TmvReleaseMethod release;
  uint8_t* node = index->NewNode(header.get(), true, release);
  const TmvBlockNumber number = mvBchThisBlock(node);
  EXPECT_EQ(std::memcmp(node, "MVIH", 4), 0);
  EXPECT_GT(number, 0u);
  EXPECT_EQ(mvBchLSN(node), trans.LSN());
  const uint64_t ident = mvInhIdentCounter(node);
  EXPECT_EQ(uint32_t(ident), 0u);                                     // low half 0
  EXPECT_EQ(uint32_t(ident >> 32) & 0xFFFF, uint64_t(trans.LSN()) & 0xFFFF);  // LSN's low 16 bits
  EXPECT_LE(ident >> 48, 65534u);                                     // a random part
  const uint8_t expected[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, intLeaf, 0};
  EXPECT_EQ(std::vector<uint8_t>(node + 24, node + 38), std::vector<uint8_t>(expected, expected + 14));
  EXPECT_EQ(header->GetIndexPageCount(), 1u);
  TmvReleaseMethod internalRelease;
  uint8_t* internal = index->NewNode(header.get(), false, internalRelease);
  EXPECT_EQ(internal[mvInhNodeTypeOffset], intInternal);
  EXPECT_EQ(header->GetIndexPageCount(), 2u);
  index->FreeNode(header.get(), internal);
  internalRelease(internal);
  EXPECT_EQ(header->GetIndexPageCount(), 1u);
  release(node);
  header.reset();
  trans.End();
}

TEST_F(IndexNodes, TheReaderRefusesWhatIsNoNodeAndCountsChanges) {
  TIndexTable t;
  MakeTable(t);
  TTestTransaction trans(cache);
  TmvBlockAccess* file = t.file.view.get();
  const int32_t owner = t.engine->bseID;
  const String name = file->_File()->FileName();
  TmvReleaseMethod release;
  String text;
  const TmvBlockNumber used = file->_File()->fiUsedBlocks;
  EXPECT_EQ(Raised([&] { mvReadIndexNode(&trans, file, owner, release, 0, false); }, &text), MVERR_INVALIDBLOCKNR);
  EXPECT_EQ(text, u"Block number is either < 0, or >= number of blocks in file [" + name + u", block 0]");
  EXPECT_EQ(Raised([&] { mvReadIndexNode(&trans, file, owner, release, used, false); }), MVERR_INVALIDBLOCKNR);
  EXPECT_EQ(Raised([&] { mvReadIndexNode(&trans, file, owner, release, 0xFFFFFFFF, false); }), MVERR_INVALIDBLOCKNR);
  // A block of another kind in the same file.
  std::unique_ptr<TmvBaseFileHeaderAccess> header(file->HeaderAccess(&trans, true));
  const TmvBlockNumber record = HeaderTest::NewBlock(*header, &trans, owner);
  EXPECT_EQ(Raised([&] { mvReadIndexNode(&trans, file, owner, release, record, false); }, &text),
            MVERR_NOTANINDEXBLOCK);
  EXPECT_EQ(text, u"Block just read from file is not a valid index block [" + name + u", block " +
                      mvIntToStr(int32_t(record)) + u"]");
  // Two reads for change within one transaction: two changes counted.
  std::unique_ptr<TmvBaseIndexHeaderAccess> access(t.Index(0)->CreateHeaderAccess(&trans, true, true, 0, 0));
  uint8_t* node = t.Index(0)->NewNode(access.get(), true, release);
  const TmvBlockNumber number = mvBchThisBlock(node);
  const uint64_t before = mvInhIdentCounter(node);
  release(node);
  for (int i = 0; i < 2; ++i) {
    node = mvReadIndexNode(&trans, file, owner, release, number, true);
    release(node);
  }
  node = mvReadIndexNode(&trans, file, owner, release, number, false);
  EXPECT_EQ(mvInhIdentCounter(node), before + 2);
  release(node);
  access.reset();
  header.reset();
  trans.End();
}

}  // namespace
