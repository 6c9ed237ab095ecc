// Tests of the simple indices engine: the bytes of the index header block
// and the header section that finds it, removing an index, and the checks
// of an open (a changed key length, an index number beyond the block's 256
// entries).
#include "index/mvseIndicesEngineSimple.h"

#include "foundation/errors/mvllErrors.h"
#include "index/IndexTestSupport.h"
#include "storage/header/mvsrFileHeader.h"

namespace {

using namespace index_test;

class SimpleIndices : public IndexTest {
 protected:
  // A new table file of t's indexes, committed.
  void MakeTable(TIndexTable& t, const std::string& aName) {
    TTestTransaction trans(cache);
    t.file = CreateFile(aName, &trans);
    t.engine = std::make_unique<TmvSimpleIndicesEngine>(t.dd->GetIndicesDescriptor(), t.file.Files(), nullptr,
                                                        &trans, false);
    trans.Commit();
  }
  // The file's index header block as committed, and its number.
  std::vector<uint8_t> HeaderBlock(TIndexTable& t, TmvBlockNumber* aNumber = nullptr) {
    std::unique_ptr<TmvBaseFileHeaderAccess> header(t.file.view->HeaderAccess(nullptr, false));
    const uint32_t section = header->RegisterHeaderSection(u"Indices", 4, false, false);
    const TmvBlockNumber number = mvGetU32(header->Header, section);
    if (aNumber) *aNumber = number;
    TmvReleaseMethod release;
    uint8_t* block = t.file.view->GetBlock(nullptr, number, 0, false, release);
    std::vector<uint8_t> bytes(block, block + 4096);
    release(block);
    return bytes;
  }
};

TEST_F(SimpleIndices, ThreeIndexesShareOneHeaderBlock) {
  TIndexTable t;
  t.AddIndex(u"A", {u"K"});
  t.AddIndex(u"B", {u"K", u"N"}, idAll);
  t.AddIndex(u"C", {u"S"});
  MakeTable(t, "three.mv1");
  TmvBlockNumber number = 0;
  const std::vector<uint8_t> b = HeaderBlock(t, &number);
  EXPECT_EQ(std::memcmp(b.data(), "MVIH", 4), 0);
  EXPECT_EQ(mvBchThisBlock(b.data()), number);
  EXPECT_EQ(b[36], 0);  // the index header's node type
  const uint16_t lengths[] = {5, 9, 22};
  for (uint32_t i = 0; i < 256; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(mvGetU16(b.data(), 40 + 2 * i), i < 3 ? lengths[i] : 0);
    EXPECT_EQ(mvGetU32(b.data(), 552 + 4 * i), 0u);
    EXPECT_EQ(mvGetU32(b.data(), 1576 + 4 * i), 0xFFFFFFFFu);
    EXPECT_EQ(mvGetU32(b.data(), 2600 + 4 * i), 0u);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(t.Index(i)->KeyEngine()->bkeKeyLength, lengths[i]);
  // The header accesses read the same values, and the LSN of the creation.
  std::unique_ptr<TmvBaseIndexHeaderAccess> access(t.Index(2)->CreateHeaderAccess(nullptr, false, false, 0, 0));
  EXPECT_EQ(access->GetIndexRoot(), -1);
  EXPECT_EQ(access->GetIndexKeyCount(), 0u);
  EXPECT_EQ(access->GetIndexLSN(), mvBchLSN(b.data()));
  EXPECT_GT(access->GetIndexLSN(), 0u);
  access.reset();
  // A later transaction that changes the block leaves its own LSN.
  TTestTransaction trans(cache);
  std::unique_ptr<TmvBaseIndexHeaderAccess> change(t.Index(1)->CreateHeaderAccess(&trans, true, true, 0, 0));
  change->SetIndexKeyCount(0);
  EXPECT_EQ(change->GetIndexLSN(), trans.LSN());
  change.reset();
  const TmvLSN lsn = trans.LSN();
  trans.Commit();
  access.reset(t.Index(0)->CreateHeaderAccess(nullptr, false, false, 0, 0));
  EXPECT_EQ(access->GetIndexLSN(), lsn);
}

TEST_F(SimpleIndices, RemovingAnIndexMovesTheLaterEntriesDown) {
  TIndexTable t;
  t.AddIndex(u"A", {u"K"});
  t.AddIndex(u"B", {u"K", u"N"}, idAll);
  t.AddIndex(u"C", {u"N"});
  MakeTable(t, "remove.mv1");
  TTestTransaction trans(cache);
  // Index 2 gets a leaf of two keys, so that its entry has values to move.
  const TTree tree = WriteTree(&trans, t.Index(2), {{t.Key(2, 0, 10), 1}, {t.Key(2, 0, 20), 2}}, 7, 7);
  t.engine->IndexRemoved(&trans, 1);
  trans.Commit();
  const std::vector<uint8_t> b = HeaderBlock(t);
  const std::pair<uint32_t, uint32_t> expected[] = {{40 + 2, 5}, {552 + 4, 2}, {1576 + 4, tree.Root()}, {2600 + 4, 1},
                                                    {40 + 4, 0}, {552 + 8, 0}, {1576 + 8, 0xFFFFFFFF}, {2600 + 8, 0}};
  for (const auto& [offset, value] : expected)
    EXPECT_EQ(offset < 552 ? mvGetU16(b.data(), offset) : mvGetU32(b.data(), offset), value) << offset;
  // Its node now carries its new number.
  TmvReleaseMethod release;
  uint8_t* leaf = t.file.view->GetBlock(nullptr, tree.Root(), 0, false, release);
  EXPECT_EQ(leaf[37], 1);
  release(leaf);
}

TEST_F(SimpleIndices, RemovingTheLastPossibleIndexOnlyClearsItsEntry) {
  TIndexTable t;
  t.AddIndex(u"A", {u"K"});
  MakeTable(t, "last.mv1");
  TTestTransaction trans(cache);
  t.engine->IndexRemoved(&trans, 255);
  trans.Commit();
  const std::vector<uint8_t> b = HeaderBlock(t);
  EXPECT_EQ(mvGetU16(b.data(), 40), 5);
  EXPECT_EQ(mvGetU32(b.data(), 1576 + 4 * 255), 0xFFFFFFFFu);
}

TEST_F(SimpleIndices, AnOpenRefusesAChangedKeyLengthAndIndexNumbersBeyond255) {
  TIndexTable t;
  t.AddIndex(u"A", {u"K"});
  t.AddIndex(u"B", {u"N"});
  MakeTable(t, "open.mv1");
  auto open = [&] {
    TmvSimpleIndicesEngine engine(t.dd->GetIndicesDescriptor(), t.file.Files(), nullptr, nullptr, false);
  };
  EXPECT_EQ(Raised(open), 0);
  {
    TTestTransaction trans(cache);
    TmvBlockNumber number = 0;
    HeaderBlock(t, &number);
    TNodeEdit edit(t.Index(0), &trans, number);
    mvPutU16(*edit, 40 + 2, 6);
    edit.held.Drop();
    trans.Commit();
  }
  String text;
  EXPECT_EQ(Raised(open, &text), MVERR_HEADERCORRUPT);
  EXPECT_EQ(text, u"Corrupt table/index header.");

  // A dictionary that names more indexes than a header block holds.
  TIndexTable many;
  for (int i = 0; i < 257; ++i) many.AddIndex(u"I" + mvIntToStr(i), {u"K"});
  many.file = std::move(t.file);
  EXPECT_EQ(Raised([&] {
              TmvSimpleIndicesEngine engine(many.dd->GetIndicesDescriptor(), many.file.Files(), nullptr, nullptr,
                                            false);
            }),
            MVERR_HEADERCORRUPT);
}

}  // namespace
