// Tests of the version 2 header: the free-block cache and its map blocks,
// the header blocks of nested tables with their overflow chain, and block 0
// damaged at every byte.
#include <algorithm>
#include <numeric>
#include <random>
#include <set>

#include "storage/FileHeaderTestSupport.h"

namespace {

using namespace storage_test;

constexpr uint32_t kNone = 0xFFFFFFFF;

TEST_F(HeaderTest, FreedBlocksSpillIntoMapBlocksAndComeBackFromThem) {
  {
    TTestTransaction trans(cache);
    auto t = Create("free.mv1", &trans);
    TmvBlockAccess view(t->file, nullptr, u"free", 0);
    THeaderAccess header = Access(view, &trans);
    for (TmvBlockNumber n = 1; n <= 40; ++n) ASSERT_EQ(NewBlock(*header, &trans), n);
    for (TmvBlockNumber n = 1; n <= 20; ++n) Free(view, *header, &trans, n);
    EXPECT_EQ(FreeCache(header->Header), Range(1, 20));
    EXPECT_EQ(mvGetU32(header->Header, 24), kNone);
    // A full cache and no map: the deleted block becomes the map, holding 15.
    Free(view, *header, &trans, 21);
    EXPECT_EQ(FreeCache(header->Header), Range(1, 5));
    EXPECT_EQ(mvGetU32(header->Header, 24), 21u);
    TmvReleaseMethod release;
    uint8_t* map = view.GetBlock(&trans, 21, mv2xFreeBlockMapID, false, release);
    EXPECT_EQ(std::memcmp(map, "FBMH", 4), 0);
    EXPECT_EQ(mvGetU32(map, 16), kNone);
    EXPECT_EQ(mvGetU32(map, 20), (4092u - 28) / 4);
    EXPECT_EQ(MapEntries(map), Range(6, 20));
    release(map);
    // A full cache and a map with room: 15 move, the cache keeps 5 and the
    // deleted block.
    for (TmvBlockNumber n = 22; n <= 36; ++n) Free(view, *header, &trans, n);
    Free(view, *header, &trans, 37);
    std::vector<uint32_t> cached = Range(1, 5);
    cached.push_back(37);
    EXPECT_EQ(FreeCache(header->Header), cached);
    map = view.GetBlock(&trans, 21, mv2xFreeBlockMapID, false, release);
    std::vector<uint32_t> mapped = Range(6, 20);
    for (uint32_t n : Range(22, 36)) mapped.push_back(n);
    EXPECT_EQ(MapEntries(map), mapped);
    release(map);
    EXPECT_EQ(header->GetAvailableBlocks(), 6u);
    header.reset();
    trans.Commit();
  }
  auto t = Open("free.mv1");
  TmvBlockAccess view(t->file, nullptr, u"free", 0);
  TTestTransaction trans(cache);
  THeaderAccess header = Access(view, &trans);
  for (TmvBlockNumber n : {37u, 5u, 4u, 3u, 2u, 1u}) EXPECT_EQ(NewBlock(*header, &trans), n);
  // The empty cache takes the last 15 numbers of the map.
  EXPECT_EQ(NewBlock(*header, &trans), 36u);
  EXPECT_EQ(FreeCache(header->Header), Range(22, 35));
  for (TmvBlockNumber n = 35; n >= 22; --n) EXPECT_EQ(NewBlock(*header, &trans), n);
  // The map empties: it leaves the chain and is the new block itself.
  EXPECT_EQ(NewBlock(*header, &trans, 9), 21u);
  EXPECT_EQ(mvGetU32(header->Header, 24), kNone);
  EXPECT_EQ(FreeCache(header->Header), Range(6, 20));
  TmvReleaseMethod release;
  uint8_t* reused = view.GetBlock(&trans, 21, 9, false, release);
  EXPECT_EQ(std::count(reused + 16, reused + 4092, 0), 4092 - 16);  // nothing of the map is left
  release(reused);
  for (TmvBlockNumber n = 20; n >= 6; --n) EXPECT_EQ(NewBlock(*header, &trans), n);
  EXPECT_EQ(NewBlock(*header, &trans), 41u);
  EXPECT_EQ(header->GetUsedBlocks(), 42u);
  header.reset();
  trans.End();
}

TEST_F(HeaderTest, AnEmptyCacheTakesEveryNumberOfASmallMapAndHandsOutTheMap) {
  std::vector<uint8_t> image = V2Header(8);
  mvPutU32(image.data(), 24, 2);
  Append(image, V2Block("DATA", 1));
  std::vector<uint8_t> map = V2Block("FBMH", 2, mv2xFreeBlockMapID);
  mvPutU32(map.data(), 16, kNone);
  mvPutU32(map.data(), 20, 1016);
  mvPutU32(map.data(), 24, 3);
  for (uint32_t i = 0; i < 3; ++i) mvPutU32(map.data(), 28 + 4 * i, 5 + i);
  Append(image, map);
  for (uint32_t n = 3; n < 8; ++n) Append(image, V2Block(n < 5 ? "DATA" : "DEAD", n));
  WriteBytes(folder.File("three.mv1"), image);
  auto t = Open("three.mv1");
  TmvBlockAccess view(t->file, nullptr, u"three", 0);
  TTestTransaction trans(cache);
  THeaderAccess header = Access(view, &trans);
  EXPECT_EQ(NewBlock(*header, &trans, 4), 2u);
  EXPECT_EQ(FreeCache(header->Header), Range(5, 7));
  EXPECT_EQ(mvGetU32(header->Header, 24), kNone);
  EXPECT_EQ(NewBlock(*header, &trans), 7u);
  header.reset();
  trans.Commit();
  const std::vector<uint8_t> disk = ReadBytes(folder.File("three.mv1"));
  EXPECT_EQ(mvGetU32(&disk[2 * 4096], 4092), 4u);  // the map block now belongs to table 4
}

TEST_F(HeaderTest, AFullFileRefusesANewBlock) {
  TTestTransaction trans(cache);
  auto t = Create("max.mv1", &trans);
  t->file->fiMaxBlocks = 3;
  TmvBlockAccess view(t->file, nullptr, u"max", 0);
  THeaderAccess header = Access(view, &trans);
  EXPECT_EQ(NewBlock(*header, &trans), 1u);
  EXPECT_EQ(NewBlock(*header, &trans), 2u);
  String text;
  EXPECT_EQ(CodeOf([&] { NewBlock(*header, &trans); }, &text), 9479u);
  EXPECT_EQ(text, u"Table is full.");
  EXPECT_EQ(header->GetUsedBlocks(), 3u);
  // A freed block is handed out again.
  Free(view, *header, &trans, 2);
  EXPECT_EQ(NewBlock(*header, &trans), 2u);
  // A read-only access neither hands out nor takes back.
  THeaderAccess reader = Access(view, &trans, false);
  EXPECT_EQ(CodeOf([&] { NewBlock(*reader, &trans); }), 9218u);
  header.reset();
  reader.reset();
  trans.End();
}

TEST_F(HeaderTest, ACommitWithABlockOfAWrongOwnerWritesNothing) {
  {
    TTestTransaction trans(cache);
    auto t = Create("owner.mv1", &trans);
    trans.Commit();
  }
  auto t = Open("owner.mv1");
  fs.writes.clear();
  TmvBlockAccess view(t->file, nullptr, u"owner", 0);
  TTestTransaction trans(cache);
  THeaderAccess header = Access(view, &trans);
  TmvReleaseMethod release;
  uint8_t* block = header->GetNewBlock(&trans, 0, release);
  std::memcpy(block, "DATA", 4);
  mvPutU32(block, 4092, uint32_t(mv2xFreeBlockMapID));  // claims to be a free-block map
  release(block);
  header.reset();
  String text;
  EXPECT_EQ(CodeOf([&] { trans.Commit(); }, &text), 8962u);
  EXPECT_EQ(text, u"Block 1 in file \"" + t->file->FileName() +
                      u"\" has the BlockOwnerID of the free block map but has a signature of \"DATA\"");
  EXPECT_TRUE(fs.writes.empty());
  EXPECT_EQ(t->file->fiUsedBlocks, 1u);
  trans.Rollback();
}

TEST_F(HeaderTest, DamagedFreeBlockStructuresAreRefused) {
  // A file with 6 cached numbers and a map of 2 at block 10.
  std::vector<uint8_t> base = V2Header(12);
  mvPutU32(base.data(), 24, 10);
  mvPutU32(base.data(), 28, 1);
  mvPutU32(base.data(), 104, 3);
  for (uint32_t n = 1; n < 12; ++n) {
    std::vector<uint8_t> block = V2Block(n == 10 ? "FBMH" : "DATA", n, n == 10 ? mv2xFreeBlockMapID : 0);
    if (n == 10) {
      mvPutU32(block.data(), 16, kNone);
      mvPutU32(block.data(), 20, 1016);
      mvPutU32(block.data(), 24, 2);
      mvPutU32(block.data(), 28, 4);
      mvPutU32(block.data(), 32, 5);
    }
    Append(base, block);
  }
  const struct {
    const char* What;
    uint32_t Offset;
    uint32_t Value;
    uint32_t Code;
  } cases[] = {
      {"cache count above 20", 28, 21, 8961},
      {"cached number beyond the file", 104, 12, 8961},
      {"cached block 0", 104, 0, 8961},
      {"map beyond the file", 24, 40, 8961},
      {"map at a data block", 24, 9, 8962},
      {"map with a wrong capacity", 10 * 4096 + 20, 2000, 8962},
      {"map fuller than its capacity", 10 * 4096 + 24, 1017, 8962},
      {"map with a wrong signature", 10 * 4096, 0x41544144, 8962},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> image = base;
    mvPutU32(image.data(), c.Offset, c.Value);
    WriteBytes(folder.File("bad.mv1"), image);
    auto t = Open("bad.mv1");
    TmvBlockAccess view(t->file, nullptr, u"bad", 0);
    TTestTransaction trans(cache);
    THeaderAccess header = Access(view, &trans);
    // The first block comes from the cache; the second needs the map.
    EXPECT_EQ(CodeOf([&] {
                NewBlock(*header, &trans);
                NewBlock(*header, &trans);
              }),
              c.Code)
        << c.What;
    header.reset();
    trans.End();
  }
}

// Nested tables: their views on the main view, and the header blocks they
// get in a transaction.
class NestedTest : public HeaderTest {
 protected:
  TmvBlockAccess& View(TmvBaseFile* aFile, TmvBlockAccess& aRoot, int32_t aID) {
    views.push_back(std::make_unique<TmvBlockAccess>(aFile, &aRoot, u"n" + IntToStr(aID), aID));
    return *views.back();
  }
  // Creates the nested table's header block with a section in it.
  TmvBlockNumber AddNested(TmvBaseFile* aFile, TmvBlockAccess& aRoot, TmvBaseTransaction* aTrans, int32_t aID) {
    TmvBlockAccess& view = View(aFile, aRoot, aID);
    THeaderAccess header = Access(view, aTrans);
    EXPECT_EQ(header->RegisterHeaderSection(u"Stream", 8, true, false), 4083u);
    return view.HeaderBlock();
  }
  // The header block a fresh view finds, read-only.
  TmvBlockNumber Lookup(TmvBaseFile* aFile, TmvBlockAccess& aRoot, TmvBaseTransaction* aTrans, int32_t aID) {
    TmvBlockAccess& view = View(aFile, aRoot, aID);
    THeaderAccess header = Access(view, aTrans, false);
    EXPECT_EQ(header->RegisterHeaderSection(u"Stream", 8, false, false), 4083u);
    return view.HeaderBlock();
  }
  std::vector<std::unique_ptr<TmvBlockAccess>> views;
};

TEST_F(NestedTest, The32ndNestedTablePushesTheHighestIDIntoAnOverflowBlock) {
  std::map<int32_t, TmvBlockNumber> headers;
  {
    TTestTransaction trans(cache);
    auto t = Create("nest.mv1", &trans);
    TmvBlockAccess root(t->file, nullptr, u"nest", 0);
    for (int32_t id = 2; id <= 62; id += 2) headers[id] = AddNested(t->file, root, &trans, id);
    THeaderAccess main = Access(root, &trans);
    const uint32_t section = main->RegisterHeaderSection(u"SubHeaders", 253, false, false);
    EXPECT_EQ(main->Header[section + 252], 31);
    EXPECT_EQ(mvGetU32(main->Header, section + 248), 0u);
    main.reset();
    headers[1] = AddNested(t->file, root, &trans, 1);
    main = Access(root, &trans, false);
    EXPECT_EQ(main->Header[section + 252], 31);
    EXPECT_EQ(main->Header[section + 4 * 0], 1);  // the first entry is the new one
    const TmvBlockNumber overflow = mvGetU32(main->Header, section + 248);
    ASSERT_NE(overflow, 0u);
    TmvReleaseMethod release;
    uint8_t* block = root.GetBlock(&trans, overflow, mv2xChildHeaderOverflowID, false, release);
    EXPECT_EQ(std::memcmp(block, "CHOF", 4), 0);
    EXPECT_EQ(mvGetU16(block, 20), (4092 - 24) / 8);
    EXPECT_EQ(mvGetU16(block, 22), 1);
    EXPECT_EQ(int32_t(mvGetU32(block, 24)), 62);
    EXPECT_EQ(mvGetU32(block, 28), headers[62]);
    release(block);
    // A nested view allocates through block 0 with its own owner ID.
    THeaderAccess nested = Access(View(t->file, root, 5), &trans);
    EXPECT_NE(nested->Header, main->Header);
    EXPECT_EQ(nested->GetUsedBlocks(), main->GetUsedBlocks());
    const TmvBlockNumber own = NewBlock(*nested, &trans, 5);
    EXPECT_EQ(own + 1, main->GetUsedBlocks());
    block = root.GetBlock(&trans, own, 5, false, release);
    release(block);
    nested.reset();
    main.reset();
    for (const auto& [id, number] : headers) EXPECT_EQ(Lookup(t->file, root, &trans, id), number) << id;
    views.clear();
    trans.Commit();
  }
  auto t = Open("nest.mv1");
  TmvBlockAccess root(t->file, nullptr, u"nest", 0);
  for (const auto& [id, number] : headers) EXPECT_EQ(Lookup(t->file, root, nullptr, id), number) << id;
  // A table without a header block is not created by a read.
  TmvBlockAccess& missing = View(t->file, root, 3);
  EXPECT_EQ(CodeOf([&] { Access(missing, nullptr, false); }), 8961u);
  views.clear();
}

TEST_F(NestedTest, ManyNestedTablesFillAChainOfOverflowBlocksInIDOrder) {
  std::vector<int32_t> ids(1100);
  std::iota(ids.begin(), ids.end(), 1);
  std::shuffle(ids.begin(), ids.end(), std::mt19937(20));
  TTestTransaction trans(cache);
  auto t = Create("many.mv1", &trans);
  TmvBlockAccess root(t->file, nullptr, u"many", 0);
  std::map<int32_t, TmvBlockNumber> headers;
  for (int32_t id : ids) headers[id] = AddNested(t->file, root, &trans, id);
  views.clear();
  // IDs ascend along the section and the chain; the chain has 3 blocks.
  THeaderAccess main = Access(root, &trans, false);
  const uint32_t section = main->RegisterHeaderSection(u"SubHeaders", 253, false, false);
  std::vector<int32_t> seen;
  for (uint32_t i = 0; i < main->Header[section + 252]; ++i)
    seen.push_back(int32_t(mvGetU32(main->Header, section + 8 * i)));
  int blocks = 0;
  for (TmvBlockNumber next = mvGetU32(main->Header, section + 248); next != 0; ++blocks) {
    TmvReleaseMethod release;
    uint8_t* block = root.GetBlock(&trans, next, mv2xChildHeaderOverflowID, false, release);
    for (uint32_t i = 0; i < mvGetU16(block, 22); ++i) seen.push_back(int32_t(mvGetU32(block, 24 + 8 * i)));
    next = mvGetU32(block, 16);
    release(block);
  }
  main.reset();
  EXPECT_EQ(blocks, 3);
  std::vector<int32_t> sorted(ids);
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(seen, sorted);
  for (int32_t id : {1, 31, 32, 539, 540, 1100}) EXPECT_EQ(Lookup(t->file, root, &trans, id), headers[id]) << id;
  views.clear();
  trans.End();
}

// Block 0 of a file with sections, nested tables, cached free blocks and a
// map block, damaged one byte at a time: every open and every use of the
// header either works or raises a clear error.
class DamagedHeaderTest : public NestedTest {
 protected:
  void SetUp() override {
    NestedTest::SetUp();
    TTestTransaction trans(cache);
    auto t = Create("flip.mv1", &trans);
    TmvBlockAccess root(t->file, nullptr, u"flip", 0);
    THeaderAccess header = Access(root, &trans);
    header->RegisterHeaderSection(u"Stream", 8, true, false);
    for (int32_t id = 1; id <= 3; ++id) AddNested(t->file, root, &trans, id);
    std::vector<TmvBlockNumber> blocks;
    for (int i = 0; i < 24; ++i) blocks.push_back(NewBlock(*header, &trans));
    for (int i = 0; i < 21; ++i) Free(root, *header, &trans, blocks[i]);  // a map of 15, 5 cached
    ASSERT_EQ(blocks[23], 27u);
    // Nothing reads the bytes between the directory's end and the lowest
    // section; a little on either side is still read in full.
    uint32_t pos = 258;
    while (header->Header[pos] != 0) pos += 3 + header->Header[pos];
    quietFrom = pos + 16;
    quietTo = header->RegisterHeaderSection(u"SubHeaders", 253, false, false) - 16;
    header.reset();
    views.clear();
    trans.Commit();
  }
  // Reads the sections; outside the quiet part also the nested tables'
  // headers, takes blocks from the cache and the map and gives one back.
  void Use(TmvBaseFile* aFile, uint32_t aAt) {
    views.clear();  // those of the last byte, also when it failed
    TmvBlockAccess root(aFile, nullptr, u"flip", 0);
    THeaderAccess reader = Access(root, nullptr, false);
    reader->RegisterHeaderSection(u"Stream", 8, false, false);
    reader->RegisterHeaderSection(u"SubHeaders", 253, false, false);
    if (aAt >= quietFrom && aAt < quietTo) return;
    for (int32_t id = 1; id <= 3; ++id) Lookup(aFile, root, nullptr, id);
    InTransaction([&](TmvBaseTransaction* aTrans) {
      THeaderAccess header = Access(root, aTrans);
      for (int i = 0; i < 6; ++i) NewBlock(*header, aTrans);
      Free(root, *header, aTrans, 27);
    });
  }
  uint32_t quietFrom = 0;
  uint32_t quietTo = 0;
};

TEST_F(DamagedHeaderTest, EveryByteGivesAClearErrorOrAValidFile) {
  ASSERT_LT(quietFrom, quietTo);
  const int opened = FlipEachByte("flip.mv1", 0, 4096, {8712, 8961, 8962, 9479, 9992, 15415, 15503},
                                  [this](TmvBaseFile* aFile, uint32_t aAt) { Use(aFile, aAt); });
  EXPECT_GT(opened, 3800);  // most bytes are read by nothing
}

// The same for a version 1 file over the fields its header reads (its
// sections from 256 on belong to the sub-engines): the free chain is
// followed, and the file grows.
TEST_F(HeaderTest, Version1FieldsDamagedAtAnyByteGiveAClearErrorOrAValidFile) {
  std::vector<uint8_t> original = V2Header(5);
  std::memcpy(original.data(), "MV!1", 4);
  mvPutU32(original.data(), 20, 4096);
  mvPutU16(original.data(), 256, 0);
  mvPutU32(original.data(), 24, 3);
  mvPutU32(original.data(), 28, 2);
  for (uint32_t n = 1; n < 5; ++n) {
    std::vector<uint8_t> block = V2Block(n == 2 || n == 3 ? "DEAD" : "DATA", n);
    mvPutU32(block.data(), 16, n == 3 ? 2 : kNone);
    Append(original, block);
  }
  WriteBytes(folder.File("old.mv1"), original);
  FlipEachByte("old.mv1", 0, 256, {8961, 8962, 9479, 9992, 15415, 15503}, [this](TmvBaseFile* aFile, uint32_t) {
    TmvBlockAccess view(aFile, nullptr, u"old", 0);
    InTransaction([&](TmvBaseTransaction* aTrans) {
      THeaderAccess header = Access(view, aTrans);
      for (int i = 0; i < 3; ++i) NewBlock(*header, aTrans);
      Free(view, *header, aTrans, 4);
    });
  });
}

}  // namespace
