// Tests of the segmented BLOB engine: the forms of the first segment,
// lists of segments read and written at any offset, truncation, file
// BLOBs, links, the reuse counter, and damaged segments.
#include <filesystem>

#include "storage/BlobTestSupport.h"
#include "storage/HeapTestSupport.h"
#include "storage/blobs/mvseBlobEngineSegmented.h"

namespace {

using namespace storage_test;

class SegmentedBlobTest : public BlobEngineTest {
 protected:
  // The first segment's bytes.
  std::vector<uint8_t> First(TmvBaseTransaction* aTrans, TmvBlobNr aNr) {
    auto* segmented = static_cast<TmvSegmentedBlobEngine*>(engine.get());
    uint16_t size = 0;
    TmvHeldBlock held;
    const uint8_t* p = segmented->beHeapEngine->GetSegment(
        aTrans, TmvHeapRef(aNr) & segmented->beHeapEngine->bheHeapRefMask, false, size, held.Block, held.Release);
    return std::vector<uint8_t>(p, p + size);
  }
  TmvSegmentedBlobEngine* Segmented() { return static_cast<TmvSegmentedBlobEngine*>(engine.get()); }
};

TEST_F(SegmentedBlobTest, SmallBlobsChangeFormInPlace) {
  StartNew();
  TTestTransaction trans(cache);
  TmvBlobNr nr = 0;
  engine->AddBlob(&trans, nr);
  EXPECT_EQ(First(&trans, nr).size(), 13u);
  EXPECT_EQ(First(&trans, nr)[0], 0);
  EXPECT_EQ(Length(&trans, nr), 0u);
  EXPECT_TRUE(ReadRange(&trans, nr, 0, 100).empty());

  WriteText(&trans, nr, 0, "abcde");
  std::vector<uint8_t> first = First(&trans, nr);
  EXPECT_EQ(first[0], 3);
  EXPECT_EQ(first[12], 5);
  WriteText(&trans, nr, 5, "fghijkl");
  first = First(&trans, nr);
  EXPECT_EQ(first.size(), 13u);
  EXPECT_EQ(first[0], 4);
  EXPECT_EQ(Length(&trans, nr), 12u);
  WriteText(&trans, nr, 12, "");
  EXPECT_EQ(Length(&trans, nr), 12u);
  const std::vector<uint8_t> middle = ReadRange(&trans, nr, 3, 4);
  EXPECT_EQ(std::string(middle.begin(), middle.end()), "defg");

  String text;
  EXPECT_EQ(CodeOf([&] { WriteText(&trans, nr, 13, "x"); }, &text), 9998u);
  EXPECT_EQ(text, Format(u"Offset value is greater than the length of the BLOB [%s, (%d), offset 13, length 12]",
                         {table->file->fiName, int32_t(nr)}));
  // offset + length past 2 GB is refused, not wrapped.
  EXPECT_EQ(CodeOf([&] { engine->Write(&trans, nr, 12, 0x7FFFFFF4, "x"); }), 15490u);
  EXPECT_EQ(CodeOf([&] { engine->Truncate(&trans, nr, 13); }), 10029u);
  engine->Truncate(&trans, nr, 11);
  EXPECT_EQ(First(&trans, nr)[0], 3);
  engine->Truncate(&trans, nr, 0);
  EXPECT_EQ(First(&trans, nr)[0], 0);
  EXPECT_TRUE(engine->FreeBlob(&trans, nr));
  trans.Commit();
}

TEST_F(SegmentedBlobTest, DescriptorsItRefuses) {
  TmvBaseBlobDescriptor plain(nullptr);
  TmvHeapBlobDescriptor noHeap(nullptr);
  TmvHeapBlobDescriptor noBlockHeap(nullptr);
  noBlockHeap.AddHeapDescriptor();
  struct Case {
    TmvBaseBlobDescriptor* descriptor;
    const char16_t* text;
  };
  for (const Case& c : {Case{&plain, u"Blob descriptor must be a TmvHeapBlobDescriptor is required"},
                        Case{&noHeap, u"A HeapDescriptor is required"},
                        Case{&noBlockHeap, u"A block heap descriptor is required"}}) {
    String text;
    EXPECT_EQ(CodeOf([&] { TmvBaseBlobEngine::CheckValidFromDescriptor(c.descriptor); }, &text), 10004u);
    EXPECT_EQ(text, c.text);
  }
  TmvHeapBlobDescriptor good(nullptr);
  good.AddHeapDescriptor()->AddBlockHeapDescriptor();
  TmvBaseBlobEngine::CheckValidFromDescriptor(&good);
  good.GetHeapDescriptor()->GetBlockHeapDescriptor()->SetBlockHeapEngine(u"Other");
  EXPECT_EQ(CodeOf([&] { TmvBaseBlobEngine::CheckValidFromDescriptor(&good); }), 15503u);
  files = {view.get()};
  EXPECT_EQ(CodeOf([&] { TmvSegmentedBlobEngine(&plain, files, nullptr); }), 10004u);
}

TEST_F(SegmentedBlobTest, LargeBlobsBecomeListsAndTruncateBack) {
  StartNew();
  TTestTransaction trans(cache);
  TmvBlobNr nr = 0;
  engine->AddBlob(&trans, nr);
  std::vector<uint8_t> data(300000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + i / 251);
  engine->Write(&trans, nr, 0, uint32_t(data.size()), data.data());
  EXPECT_EQ(First(&trans, nr)[0], 5);
  EXPECT_EQ(Length(&trans, nr), data.size());
  for (auto [offset, len] : {std::pair<uint32_t, uint32_t>{0, 300000}, {4059, 3}, {123456, 70000}, {299990, 100}}) {
    const std::vector<uint8_t> got = ReadRange(&trans, nr, offset, len);
    const uint32_t count = std::min<uint32_t>(len, uint32_t(data.size()) - offset);
    ASSERT_EQ(got.size(), count);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + offset)) << offset;
  }
  const uint32_t usedBefore = UsedBlocks(&trans);
  engine->Truncate(&trans, nr, 0);
  EXPECT_EQ(First(&trans, nr).size(), 13u);
  EXPECT_EQ(First(&trans, nr)[0], 0);
  // Every child segment went: the directory lists only the first one's
  // block, and writing it all again takes no block beyond the file's end.
  const auto* heap = static_cast<TmvCachedHeapEngine*>(Segmented()->beHeapEngine);
  ASSERT_EQ(heap->heByBlockNumber.Count(), 1);
  EXPECT_EQ(heap->heByBlockNumber.InfoAt(0).hdbiBlockNumber, mvHeapRefBlock(TmvHeapRef(nr)));
  engine->Write(&trans, nr, 0, uint32_t(data.size()), data.data());
  EXPECT_EQ(UsedBlocks(&trans), usedBefore);
  engine->Truncate(&trans, nr, 0);
  // A list cut to 11 bytes or fewer comes home as a small BLOB.
  engine->Write(&trans, nr, 0, 20000, data.data());
  engine->Truncate(&trans, nr, 9);
  EXPECT_EQ(First(&trans, nr)[0], 3);
  EXPECT_EQ(ReadRange(&trans, nr, 0, 100), std::vector<uint8_t>(data.begin(), data.begin() + 9));
  engine->DeleteBlob(&trans, nr);
  trans.Commit();
}

TEST_F(SegmentedBlobTest, FileBlobsReachOnlyTheTablesFolder) {
  StartNew();
  WriteBytes(folder.File("pic.png"), {1, 2, 3, 4, 5, 6, 7});
  std::filesystem::create_symlink("/etc/hostname", folder.File("out.lnk"));
  TTestTransaction trans(cache);
  TmvBlobNr nr = 0;
  engine->AddFileBlob(&trans, u"a.png", nr);
  // Five characters: type 6, the name and ten zero characters.
  std::vector<uint8_t> first = First(&trans, nr);
  ASSERT_EQ(first.size(), 31u);
  EXPECT_EQ(first[0], 6);
  EXPECT_EQ(mvGetU16(first.data(), 1), u'a');
  EXPECT_EQ(mvGetU16(first.data(), 9), u'g');
  EXPECT_EQ(std::count(first.begin() + 11, first.end(), 0), 20);
  String name;
  EXPECT_TRUE(engine->IsFileBlob(&trans, nr, name));
  EXPECT_EQ(name, u"a.png");
  EXPECT_EQ(CodeOf([&] { WriteText(&trans, nr, 0, "x"); }), 10502u);
  EXPECT_EQ(CodeOf([&] { engine->Truncate(&trans, nr, 3); }), 10502u);

  TmvBlobNr pic = 0;
  engine->AddFileBlob(&trans, u"pic.png", pic);
  uint32_t length = 0;
  EXPECT_EQ(engine->GetBlobLength(&trans, pic, {}, length), 0u);
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(ReadRange(&trans, pic, 2, 3), (std::vector<uint8_t>{3, 4, 5}));
  // Missing, or outside the folder however the name gets there: 15440.
  for (const String outside : {u"a.png", u"../x", u"/etc/hostname", u"sub/../../x", u"out.lnk"}) {
    TmvBlobNr other = 0;
    engine->AddFileBlob(&trans, outside, other);
    ByteStream stream;
    EXPECT_EQ(engine->Read(&trans, other, 0, 10, {}, &stream), 15440u) << UTF8Encode(outside);
    EXPECT_EQ(engine->GetBlobLength(&trans, other, {}, length), 15440u);
    EXPECT_TRUE(stream.bytes.empty());
  }
  // Cut to 0, a file BLOB becomes an empty BLOB.
  engine->Truncate(&trans, pic, 0);
  EXPECT_EQ(First(&trans, pic)[0], 0);
  trans.Commit();
}

struct LinkTarget {
  static uint32_t Read(void*, const String& aTable, TmvBlobNr aNr, uint32_t aOffset, uint32_t aLen, TStream* aStream) {
    const std::string text = UTF8Encode(aTable) + ":" + std::to_string(aNr) + ":" + std::to_string(aOffset) + ":" +
                             std::to_string(aLen);
    aStream->WriteBuffer(text.data(), int64_t(text.size()));
    return 0;
  }
  static uint32_t Length(void*, const String&, TmvBlobNr aNr, uint32_t& aLength) {
    aLength = uint32_t(aNr) * 2;
    return aNr == 13 ? 9986u : 0u;
  }
};

TEST_F(SegmentedBlobTest, LinksAndTheReuseCounter) {
  StartNew();
  TTestTransaction trans(cache);
  TmvBlobNr link = 0;
  engine->AddBlobLink(&trans, u"Questions", 77, link);
  std::vector<uint8_t> first = First(&trans, link);
  EXPECT_EQ(first.size(), 9u + 18);
  EXPECT_EQ(first[0], 7);
  String table;
  TmvBlobNr source = 0;
  EXPECT_TRUE(engine->IsBlobLink(&trans, link, table, source));
  EXPECT_EQ(table, u"Questions");
  EXPECT_EQ(source, 77);
  ByteStream stream;
  EXPECT_EQ(engine->Read(&trans, link, 4, 9, {&LinkTarget::Read, nullptr}, &stream), 0u);
  EXPECT_EQ(std::string(stream.bytes.begin(), stream.bytes.end()), "Questions:77:4:9");
  uint32_t length = 0;
  EXPECT_EQ(engine->GetBlobLength(&trans, link, {&LinkTarget::Length, nullptr}, length), 0u);
  EXPECT_EQ(length, 154u);
  EXPECT_EQ(CodeOf([&] { WriteText(&trans, link, 0, "x"); }), 10502u);
  // A one-letter name is padded to the first segment's least size and
  // read back without the padding.
  TmvBlobNr shortLink = 0;
  engine->AddBlobLink(&trans, u"Q", 5, shortLink);
  EXPECT_EQ(First(&trans, shortLink).size(), 13u);
  EXPECT_TRUE(engine->IsBlobLink(&trans, shortLink, table, source));
  EXPECT_EQ(table, u"Q");
  EXPECT_EQ(source, 5);

  // From version 47005 bits 16-31 of a number are ignored.
  TmvBlobNr nr = 0;
  engine->AddBlob(&trans, nr);
  WriteText(&trans, nr, 0, "reused");
  TmvBlobNr counted = nr;
  engine->IncBlobNr(counted);
  EXPECT_EQ(counted, nr + 0x10000);
  EXPECT_EQ(Length(&trans, counted | 0xABCD0000), 6u);
  EXPECT_FALSE(engine->IsBlobLink(&trans, nr, table, source));
  EXPECT_TRUE(table.empty());
  trans.Commit();
}

// The bytes of the blocks of a list BLOB damaged in turn (all of the block
// that holds the list, the headers and slot tables of the others, whose
// middles hold only data): reading, writing and cutting it either works or
// refuses with an engine error.
TEST_F(SegmentedBlobTest, DamagedSegmentsAtEveryByte) {
  StartNew();
  TmvBlobNr nr = 0;
  std::vector<uint8_t> data(6000, 0x5A);
  {
    TTestTransaction trans(cache);
    engine->AddBlob(&trans, nr);
    engine->Write(&trans, nr, 0, uint32_t(data.size()), data.data());
    trans.Commit();
  }
  TTestTransaction probe(cache);
  const uint32_t used = UsedBlocks(&probe);
  probe.Commit();
  for (TmvBlockNumber block = 1; block < used; ++block) {
    const TmvBlockNumber listBlock = mvHeapRefBlock(TmvHeapRef(nr));
    for (uint32_t at = 16; at < 4092; ++at) {
      if (block != listBlock && at >= 64 && at < 4092 - 64) continue;
      TTestTransaction trans(cache);
      {
        TmvReleaseMethod release;
        uint8_t* b = view->GetBlock(&trans, block, 0, true, release);
        b[at] ^= 0xFF;
        release(b);
      }
      engine->Rollback(&trans);
      try {
        ByteStream stream;
        engine->Read(&trans, nr, 0, 0x7FFFFFFF, {}, &stream);
        engine->Write(&trans, nr, 100, 3000, data.data());
        engine->Truncate(&trans, nr, 50);
      } catch (const EmvBaseException& e) {
        const uint32_t code = e.ErrorCode();
        EXPECT_TRUE(code == 8962 || code == 15416 || code == 15409 || code == 15492 || code == 15493 ||
                    code == 11896 || code == 10029)
            << "block " << block << " byte " << at << ": " << code;
      }
      trans.End();
      engine->Rollback(&trans);
    }
  }
}

}  // namespace
