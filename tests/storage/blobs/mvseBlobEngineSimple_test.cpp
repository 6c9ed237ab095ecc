// Tests of the simple BLOB engine: block chains, appending, truncating and
// deleting, file BLOBs and links, bad numbers and damaged chains.
#include "storage/BlobTestSupport.h"

namespace {

using namespace storage_test;

class SimpleBlobTest : public BlobEngineTest {
 protected:
  void SetUp() override {
    BlobEngineTest::SetUp();
    simple = true;
    StartNew();
  }
  std::vector<uint8_t> Block(TmvBaseTransaction* aTrans, TmvBlockNumber aNumber) { return BlockCopy(aTrans, aNumber); }
};

TEST_F(SimpleBlobTest, ChainsOf4065ByteBlocks) {
  TTestTransaction trans(cache);
  TmvBlobNr nr = 0;
  engine->AddBlob(&trans, nr);
  EXPECT_EQ(Length(&trans, nr), 0u);
  EXPECT_TRUE(ReadRange(&trans, nr, 0, 10).empty());
  std::vector<uint8_t> data(4066);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
  engine->Write(&trans, nr, 0, uint32_t(data.size()), data.data());
  std::vector<uint8_t> first = Block(&trans, TmvBlockNumber(nr));
  EXPECT_EQ(std::memcmp(first.data(), "MVBH", 4), 0);
  EXPECT_EQ(mvGetU32(first.data(), 21), 4066u);
  EXPECT_EQ(mvGetU16(first.data(), 25), 4065);
  const TmvBlockNumber second = mvGetU32(first.data(), 17);
  EXPECT_EQ(mvGetU16(Block(&trans, second).data(), 25), 1);
  EXPECT_EQ(mvGetU32(Block(&trans, second).data(), 17), 0xFFFFFFFFu);
  EXPECT_EQ(ReadRange(&trans, nr, 4060, 100), std::vector<uint8_t>(data.begin() + 4060, data.end()));

  // Appending to a full last block adds a block.
  engine->Truncate(&trans, nr, 4065);
  EXPECT_EQ(UsedBlocks(&trans), second + 1);
  engine->Write(&trans, nr, 4065, 2, "xy");
  EXPECT_EQ(Length(&trans, nr), 4067u);
  EXPECT_EQ(ReadRange(&trans, nr, 4064, 10), (std::vector<uint8_t>{data[4064], 'x', 'y'}));

  // Truncating to 0 keeps the first block and frees the rest.
  engine->Truncate(&trans, nr, 0);
  first = Block(&trans, TmvBlockNumber(nr));
  EXPECT_EQ(mvGetU32(first.data(), 21), 0u);
  EXPECT_EQ(mvGetU32(first.data(), 17), 0xFFFFFFFFu);
  const uint32_t used = UsedBlocks(&trans);
  TmvBlobNr other = 0;
  engine->AddBlob(&trans, other);
  EXPECT_EQ(UsedBlocks(&trans), used);  // a freed block came back
  EXPECT_NE(TmvBlockNumber(other), TmvBlockNumber(nr));
  engine->Write(&trans, nr, 0, 3, "abc");
  EXPECT_EQ(ReadRange(&trans, nr, 0, 100), (std::vector<uint8_t>{'a', 'b', 'c'}));
  trans.Commit();
}

TEST_F(SimpleBlobTest, DeletedAndBadNumbers) {
  TTestTransaction trans(cache);
  TmvBlobNr nr = 0;
  engine->AddBlob(&trans, nr);
  std::vector<uint8_t> data(9000, 7);
  engine->Write(&trans, nr, 0, uint32_t(data.size()), data.data());
  engine->DeleteBlob(&trans, nr);
  String text;
  EXPECT_EQ(CodeOf([&] { Length(&trans, nr); }, &text), 11896u);
  EXPECT_EQ(text, Format(u"Block just read from file is not a valid BLOB data block [%s, %d]",
                         {table->file->fiName, int32_t(nr)}));
  EXPECT_EQ(CodeOf([&] { Length(&trans, 0); }, &text), 10030u);
  EXPECT_EQ(text, Format(u"Number is not a valid MorvaDB BLOB number [%s, (%d)]", {table->file->fiName, 0}));
  EXPECT_EQ(CodeOf([&] { Length(&trans, 999); }), 15409u);
  // Deleting a number that names no BLOB is refused as asking for its
  // length is; all ones would otherwise pass for the end of a chain.
  for (const auto& [bad, code] : std::vector<std::pair<TmvBlobNr, uint32_t>>{
           {TmvBlobNr(-1), 15409u}, {TmvBlobNr(0xFFFFFFFF), 15409u}, {999, 15409u}, {0, 10030u}, {nr, 11896u}}) {
    EXPECT_EQ(CodeOf([&] { engine->DeleteBlob(&trans, bad); }), code) << bad;
    EXPECT_EQ(CodeOf([&] { Length(&trans, bad); }), code) << bad;
  }

  // From version 47005 the high half of a number counts reuses.
  engine->AddBlob(&trans, nr);
  engine->Write(&trans, nr, 0, 5, "12345");
  TmvBlobNr counted = nr;
  engine->IncBlobNr(counted);
  EXPECT_EQ(counted, nr + (int64_t(1) << 32));
  EXPECT_EQ(Length(&trans, counted), 5u);
  EXPECT_EQ(CodeOf([&] { engine->Write(&trans, nr, 4, 0x7FFFFFFC, "x"); }), 15490u);
  EXPECT_EQ(CodeOf([&] { engine->Write(&trans, nr, 6, 1, "x"); }), 9998u);
  EXPECT_EQ(CodeOf([&] { engine->Truncate(&trans, nr, 6); }), 10029u);
  EXPECT_FALSE(engine->FreeBlob(&trans, nr));
  engine->Truncate(&trans, nr, 0);
  EXPECT_TRUE(engine->FreeBlob(&trans, nr));
  trans.Commit();
}

// File BLOBs and links are references, never data: writing or cutting
// either is refused and leaves the reference as it was.
TEST_F(SimpleBlobTest, FileBlobsAndLinksRefuseData) {
  storage_test::WriteBytes(folder.File("notes.txt"), {'n', 'o', 't', 'e'});
  TTestTransaction trans(cache);
  TmvBlobNr file = 0, link = 0;
  engine->AddFileBlob(&trans, u"notes.txt", file);
  engine->AddBlobLink(&trans, u"Answers", 42, link);
  String name;
  TmvBlobNr source = 0;
  EXPECT_TRUE(engine->IsFileBlob(&trans, file, name));
  EXPECT_EQ(name, u"notes.txt");
  EXPECT_TRUE(engine->IsBlobLink(&trans, link, name, source));
  EXPECT_EQ(name, u"Answers");
  EXPECT_EQ(source, 42);
  EXPECT_EQ(Length(&trans, file), 4u);
  EXPECT_EQ(ReadRange(&trans, file, 1, 2), (std::vector<uint8_t>{'o', 't'}));
  String text;
  for (TmvBlobNr nr : {file, link}) {
    EXPECT_EQ(CodeOf([&] { WriteText(&trans, nr, 0, "data"); }, &text), 10502u);
    EXPECT_EQ(CodeOf([&] { engine->Truncate(&trans, nr, 1); }), 10502u);
  }
  EXPECT_EQ(text, Format(u"Cannot write to a BLOB link [%s, (%d)]", {table->file->fiName, int32_t(link)}));
  EXPECT_TRUE(engine->IsBlobLink(&trans, link, name, source));
  EXPECT_EQ(source, 42);
  trans.Commit();
}

// A file name fills the block after its 2-byte length and no further: one
// byte more would reach the block's owner ID.
TEST_F(SimpleBlobTest, FileNameUpToTheEndOfTheBlock) {
  TTestTransaction trans(cache);
  TmvBlobNr nr = 0;
  engine->AddFileBlob(&trans, String(4092 - 29, u'n'), nr);
  String name;
  EXPECT_TRUE(engine->IsFileBlob(&trans, nr, name));
  EXPECT_EQ(name.size(), 4092u - 29);
  EXPECT_THROW(engine->AddFileBlob(&trans, String(4092 - 28, u'n'), nr), EAssertionFailed);
  trans.Commit();
}

// A chain that runs in a circle or ends before the length, or a used count
// beyond its block: 8962, not an endless walk or a read outside the block.
TEST_F(SimpleBlobTest, DamagedChains) {
  TmvBlobNr nr = 0;
  {
    TTestTransaction trans(cache);
    engine->AddBlob(&trans, nr);
    std::vector<uint8_t> data(10000, 1);
    engine->Write(&trans, nr, 0, uint32_t(data.size()), data.data());
    trans.Commit();
  }
  struct Case {
    uint32_t block, offset, value, size;
  };
  const TmvBlockNumber first = TmvBlockNumber(nr);
  for (const Case& c : {Case{first + 1, 17, first, 4}, Case{first + 1, 17, 0xFFFFFFFF, 4},
                        Case{first, 25, 4066, 2}, Case{first, 21, 20000, 4}}) {
    TTestTransaction trans(cache);
    {
      TmvReleaseMethod release;
      uint8_t* b = view->GetBlock(&trans, c.block, 0, true, release);
      if (c.size == 4) mvPutU32(b, c.offset, c.value);
      else mvPutU16(b, c.offset, uint16_t(c.value));
      release(b);
    }
    EXPECT_EQ(CodeOf([&] {
                ReadRange(&trans, nr, 0, 0x7FFFFFFF);
                engine->DeleteBlob(&trans, nr);
              }),
              8962u)
        << c.offset;
    trans.End();
  }
}

}  // namespace
