// Tests of the static record engine: the block geometry, slots reused through
// the free-slot chain, the refusals of bad references and blocks, walks and
// record numbers with and without a filter, the class check, records kept
// across a commit, and a table file damaged at every byte of its blocks.
#include "storage/records/mvseStaticRecordEngine.h"

#include <map>
#include <set>

#include "dictionary/items/mvsdFileDescriptor.h"
#include "storage/RecordTestSupport.h"

namespace {

using namespace storage_test;

TEST(StaticRecordGeometry, FollowsTheFormulaAndRoundsTheStrideDown) {
  struct Case {
    uint32_t usable, length;
    uint16_t n, b, s, f;
  };
  for (const Case& c : {Case{4092, 100, 40, 5, 100, 92}, Case{4092, 37, 109, 14, 37, 59},
                        Case{4092, 16, 251, 32, 16, 76}, Case{65532, 65499, 1, 1, 65499, 33}}) {
    const TmvStaticRecordGeometry g = mvStaticRecordGeometry(c.usable, c.length);
    EXPECT_EQ(g.RecsPerBlock, c.n) << c.length;
    EXPECT_EQ(g.InUseArraySize, c.b) << c.length;
    EXPECT_EQ(g.RecordStride, c.s) << c.length;
    EXPECT_EQ(g.FirstRecordOffset, c.f) << c.length;
  }
}

class StaticRecords : public RecordTableTest {
 protected:
  void SetUp() override {
    RecordTableTest::SetUp();
    dd = SmallDictionary();
  }
  std::unique_ptr<TmvStaticRecordEngine> Engine(TableFile& aFile, TmvBaseTransaction* aTrans) {
    return std::make_unique<TmvStaticRecordEngine>(dd->GetRecordDescriptor(), aFile.Files(), aTrans);
  }
  TmvRefNr Add(TmvStaticRecordEngine& aEngine, TmvBaseTransaction* aTrans, int32_t aID) {
    std::vector<uint8_t> record = SmallRecord(*dd, aID);
    TmvRefNr ref = 0;
    aEngine.AddRecord(aTrans, ref, record.data());
    EXPECT_EQ(RefOf(record.data()), ref);  // the RefNr field is set before the record is stored
    return ref;
  }
  int32_t Read(TmvStaticRecordEngine& aEngine, TmvBaseTransaction* aTrans, TmvRefNr aRef) {
    std::vector<uint8_t> record(16);
    aEngine.ReadRecord(aTrans, aRef, record.data());
    EXPECT_EQ(RefOf(record.data()), aRef);
    return IDOf(record.data());
  }
  std::unique_ptr<TmvDataDictionary> dd;
};

TEST_F(StaticRecords, SlotsFillABlockAndFreedSlotsAreReusedFirst) {
  TTestTransaction trans(cache);
  TableFile f = CreateFile("slots.mv1", &trans);
  auto engine = Engine(f, &trans);
  ASSERT_EQ(engine->reRecsPerBlock, 251);
  EXPECT_EQ(Add(*engine, &trans, 0), Ref(1, 1));
  EXPECT_EQ(Add(*engine, &trans, 1), Ref(1, 2));
  for (int32_t id = 2; id < 251; ++id) Add(*engine, &trans, id);
  EXPECT_EQ(Add(*engine, &trans, 251), Ref(2, 1));  // block 1 is full
  // Deleting from the full block puts it back at the head of the free chain.
  engine->DeleteRecord(&trans, Ref(1, 7));
  EXPECT_EQ(Add(*engine, &trans, 1000), Ref(1, 7));
  EXPECT_EQ(Add(*engine, &trans, 252), Ref(2, 2));
  engine->DeleteRecord(&trans, Ref(1, 9));
  engine->DeleteRecord(&trans, Ref(1, 3));
  EXPECT_EQ(Add(*engine, &trans, 1001), Ref(1, 3));  // the slot freed last comes first
  EXPECT_EQ(Add(*engine, &trans, 1002), Ref(1, 9));
  EXPECT_EQ(engine->breGetRecordCount(&trans), 253u);
  EXPECT_EQ(Read(*engine, &trans, Ref(1, 7)), 1000);
  // An update hands back the old record and keeps the reference.
  std::vector<uint8_t> changed = SmallRecord(*dd, 77), old(16);
  engine->UpdateRecord(&trans, Ref(2, 2), changed.data(), old.data());
  EXPECT_EQ(IDOf(old.data()), 252);
  EXPECT_EQ(RefOf(changed.data()), Ref(2, 2));
  EXPECT_EQ(Read(*engine, &trans, Ref(2, 2)), 77);
  engine.reset();
  trans.Commit();

  // Everything is in the file after a commit.
  f = TableFile();
  f = OpenFile("slots.mv1");
  TTestTransaction reader(cache);
  engine = Engine(f, nullptr);
  EXPECT_EQ(engine->breGetRecordCount(&reader), 253u);
  EXPECT_EQ(Read(*engine, &reader, Ref(1, 3)), 1001);
  EXPECT_EQ(Read(*engine, &reader, Ref(2, 1)), 251);
  reader.End();
}

TEST_F(StaticRecords, BadReferencesAndBlocksAreRefused) {
  TTestTransaction trans(cache);
  TableFile f = CreateFile("refs.mv1", &trans);
  auto engine = Engine(f, &trans);
  const TmvRefNr first = Add(*engine, &trans, 1);
  Add(*engine, &trans, 2);
  engine->DeleteRecord(&trans, first);
  // A block of the same owner that is not a data block.
  THeaderAccess header = Access(*f.view, &trans);
  TmvReleaseMethod release;
  uint8_t* other = header->GetNewBlock(&trans, int32_t(engine->bseID), release);
  std::memcpy(other, "XXXX", 4);
  release(other);
  header.reset();
  std::vector<uint8_t> record = SmallRecord(*dd, 5);
  String text;
  for (auto op : std::vector<std::function<void(TmvRefNr)>>{
           [&](TmvRefNr r) { engine->ReadRecord(&trans, r, record.data()); },
           [&](TmvRefNr r) { engine->UpdateRecord(&trans, r, record.data(), nullptr); },
           [&](TmvRefNr r) { engine->DeleteRecord(&trans, r); }}) {
    EXPECT_EQ(CodeOf([&] { op(first); }, &text), uint32_t(MVERR_KEYORRECDELETED));
    EXPECT_NE(text.find(u"Record has been deleted, cannot read/delete/update it ["), String::npos);
    EXPECT_NE(text.find(u", ref 4294967297]"), String::npos);
    EXPECT_EQ(CodeOf([&] { op(Ref(1, 0)); }), uint32_t(MVERR_INVALIDREFNR));
    EXPECT_EQ(CodeOf([&] { op(Ref(1, 252)); }), uint32_t(MVERR_INVALIDREFNR));
    EXPECT_EQ(CodeOf([&] { op(Ref(99, 1)); }), uint32_t(MVERR_INVALIDBLOCKNR));
    EXPECT_EQ(CodeOf([&] { op(Ref(0, 1)); }), uint32_t(MVERR_INVALIDBLOCKNR));
    EXPECT_EQ(CodeOf([&] { op(Ref(2, 1)); }), uint32_t(MVERR_NOTADATABLOCK));
  }
  EXPECT_EQ(engine->breGetRecordCount(&trans), 1u);
  engine.reset();
  trans.End();
}

TEST_F(StaticRecords, AnEmptyTableHasNoRecordsAndNoNumbers) {
  TTestTransaction trans(cache);
  TableFile f = CreateFile("empty.mv1", &trans);
  auto engine = Engine(f, &trans);
  TmvRefNr ref = 99;
  engine->ReadNextRecord(&trans, 0, ref, nullptr);
  EXPECT_EQ(ref, 0);
  engine->ReadPrevRecord(&trans, 0, ref, nullptr);
  EXPECT_EQ(ref, 0);
  EXPECT_EQ(engine->RecNoSet(&trans, 1, ref, nullptr, false), MVERR_EOF);
  EXPECT_EQ(engine->breGetRecordCount(&trans), 0u);
  uint8_t* data = nullptr;
  int calls = 0;
  engine->Iterate(&trans, ref, data, [&](void*, TmvRefNr, const uint8_t*) { return ++calls, rirContinue; },
                  nullptr, nullptr, false, false);
  EXPECT_EQ(calls, 0);
  engine.reset();
  trans.End();
}

// Three blocks with holes; the filter lets even IDs through.
class StaticRecordWalks : public StaticRecords {
 protected:
  void SetUp() override {
    StaticRecords::SetUp();
    owned = std::make_unique<TTestTransaction>(cache);
    tr = owned.get();
    f = CreateFile("walk.mv1", tr);
    engine = Engine(f, tr);
    for (int32_t id = 0; id < 600; ++id) refs.push_back(Add(*engine, tr, id));
    for (int32_t id = 0; id < 600; id += 7) engine->DeleteRecord(tr, refs[size_t(id)]);
    for (int32_t id = 0; id < 600; ++id)
      if (id % 7 != 0) stored.push_back(id);
  }
  void TearDown() override {
    engine.reset();
    tr->End();
    f = TableFile();
    owned.reset();
    StaticRecords::TearDown();
  }
  std::unique_ptr<TTestTransaction> owned;
  TTestTransaction* tr = nullptr;
  TableFile f;
  std::unique_ptr<TmvStaticRecordEngine> engine;
  std::vector<TmvRefNr> refs;
  std::vector<int32_t> stored;
  TTestFilter even{[](const uint8_t* r) { return RecordTableTest::IDOf(r) % 2 == 0; }};
};

TEST_F(StaticRecordWalks, NextPreviousAndIterateVisitEveryStoredRecordInOrder) {
  std::vector<int32_t> forward, backward, copied, pointed;
  std::vector<uint8_t> buffer(16);
  for (TmvRefNr r = 0;;) {
    engine->ReadNextRecord(tr, r, r, buffer.data());
    if (r == 0) break;
    forward.push_back(IDOf(buffer.data()));
  }
  for (TmvRefNr r = 0;;) {
    engine->ReadPrevRecord(tr, r, r, buffer.data());
    if (r == 0) break;
    backward.insert(backward.begin(), IDOf(buffer.data()));
  }
  EXPECT_EQ(forward, stored);
  EXPECT_EQ(backward, stored);
  // Copy form and pointer form, each with its reference set in the record.
  TmvRefNr ref = 0;
  uint8_t* data = buffer.data();
  engine->Iterate(tr, ref, data, [&](void*, TmvRefNr r, const uint8_t* rec) {
    EXPECT_EQ(RefOf(rec), r);
    copied.push_back(IDOf(rec));
    return rirContinue;
  }, nullptr, nullptr, false, false);
  EXPECT_EQ(copied, stored);
  EXPECT_EQ(ref, 0);
  data = nullptr;
  engine->IterateBackward(tr, ref, data, [&](void*, TmvRefNr r, const uint8_t* rec) {
    EXPECT_EQ(data, rec);
    EXPECT_EQ(RefOf(rec), r);
    pointed.insert(pointed.begin(), IDOf(rec));
    return IDOf(rec) == 300 ? rirStop : rirContinue;
  }, nullptr, &even, false, false);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(ref, refs[300]);  // stopped on the record
  std::vector<int32_t> evenTail;
  for (int32_t id : stored)
    if (id >= 300 && id % 2 == 0) evenTail.push_back(id);
  EXPECT_EQ(pointed, evenTail);
  // Going on from where it stopped.
  int after = 0;
  engine->Iterate(tr, ref, data, [&](void*, TmvRefNr, const uint8_t* rec) {
    EXPECT_GT(IDOf(rec), 300);
    return ++after, rirContinue;
  }, nullptr, nullptr, true, true);
  EXPECT_EQ(after, std::count_if(stored.begin(), stored.end(), [](int32_t id) { return id > 300; }));
}

TEST_F(StaticRecordWalks, RecordNumbersAreExactInEveryDirectionWithAndWithoutAFilter) {
  for (TmvBaseFilterEngine* filter : {static_cast<TmvBaseFilterEngine*>(nullptr), static_cast<TmvBaseFilterEngine*>(&even)}) {
    std::vector<int32_t> visible;
    for (int32_t id : stored)
      if (!filter || id % 2 == 0) visible.push_back(id);
    for (bool flip : {false, true}) {
      for (size_t i = 0; i < visible.size(); ++i) {
        const int32_t id = visible[flip ? visible.size() - 1 - i : i];
        int32_t recNo = 0;
        ASSERT_EQ(engine->RecNoGet(tr, refs[size_t(id)], filter, recNo, flip), 0) << id;
        EXPECT_EQ(recNo, int32_t(i + 1)) << id << (flip ? " backward" : " forward");
        TmvRefNr ref = 0;
        ASSERT_EQ(engine->RecNoSet(tr, int32_t(i + 1), ref, filter, flip), 0);
        EXPECT_EQ(ref, refs[size_t(id)]);
      }
      TmvRefNr ref = 1;
      EXPECT_EQ(engine->RecNoSet(tr, int32_t(visible.size() + 1), ref, filter, flip), MVERR_EOF);
      EXPECT_EQ(ref, 0);
      int32_t recNo = 0;
      EXPECT_EQ(engine->RecNoGet(tr, refs[0], filter, recNo, flip), MVERR_NOCURRREC);  // deleted
    }
  }
  ExpectNoRecordBelowNumberOne(*engine, tr);
  ExpectNoRecordBelowNumberOne(*engine, tr, &even);
  int32_t recNo = 0;
  EXPECT_EQ(engine->RecNoGet(tr, refs[1], &even, recNo, false), MVERR_NOCURRREC);  // filtered out
  // An inactive filter counts as none.
  even.SetActive(false);
  EXPECT_EQ(engine->RecNoGet(tr, refs[1], &even, recNo, false), 0);
  EXPECT_EQ(recNo, 1);
}

TEST_F(StaticRecords, TheClassCheckRaisesTheBlockSizeOrRefusesTheRecord) {
  auto big = std::make_unique<TmvDataDictionary>();
  big->GetFieldsDescriptor()->AddField(u"DATA", u"", mvtByteArray, 5000, 0, false);
  TmvStaticRecordEngine::CheckValidDescriptor(big.get());
  EXPECT_EQ(big->GetFilesDescriptor()->FileDescriptor(0)->GetBlockSize(), mvbs8k);
  auto huge = std::make_unique<TmvDataDictionary>();
  huge->GetFieldsDescriptor()->AddField(u"DATA", u"", mvtByteArray, 65500, 0, false);
  EXPECT_EQ(CodeOf([&] { TmvStaticRecordEngine::CheckValidDescriptor(huge.get()); }),
            uint32_t(MVERR_MAXRECORDSIZE));
  // An engine over a file whose blocks are too small refuses too.
  TTestTransaction trans(cache);
  TableFile f = CreateFile("big.mv1", &trans);
  EXPECT_EQ(CodeOf([&] { TmvStaticRecordEngine(big->GetRecordDescriptor(), f.Files(), &trans); }),
            uint32_t(MVERR_MAXRECORDSIZE));
  trans.End();
}

TEST_F(StaticRecords, TheEngineIsMadeByEitherOfItsNamesAndChecksItsTable) {
  TTestTransaction trans(cache);
  TableFile f = CreateFile("named.mv1", &trans);
  std::unique_ptr<TmvBaseRecordEngine> engine(TmvBaseRecordEngine::CreateEngine(dd.get(), f.Files(), &trans));
  EXPECT_NE(dynamic_cast<TmvStaticRecordEngine*>(engine.get()), nullptr);
  EXPECT_EQ(engine->bseTableVersion, 47005);
  engine.reset();
  dd->GetRecordDescriptor()->SetRecordEngine(u"static");
  TableFile g = CreateFile("static.mv1", &trans);
  engine.reset(TmvBaseRecordEngine::CreateEngine(dd.get(), g.Files(), &trans));
  EXPECT_NE(dynamic_cast<TmvStaticRecordEngine*>(engine.get()), nullptr);
  engine.reset();
  // The whole-dictionary check reaches the engine's own check.
  dd->GetFieldsDescriptor()->AddField(u"DATA", u"", mvtByteArray, 65500, 0, false);
  EXPECT_EQ(CodeOf([&] { TmvBaseRecordEngine::CheckValidFromDictionary(dd.get()); }), uint32_t(MVERR_MAXRECORDSIZE));
  trans.End();
}

TEST_F(StaticRecords, ADamagedFileGivesEngineErrorsAtEveryByte) {
  {
    TTestTransaction trans(cache);
    TableFile f = CreateFile("damaged.mv1", &trans);
    auto engine = Engine(f, &trans);
    for (int32_t id = 0; id < 300; ++id) Add(*engine, &trans, id);
    for (int32_t i = 0; i < 40; ++i) engine->DeleteRecord(&trans, Ref(1, uint32_t(3 * i + 1)));
    engine.reset();
    trans.Commit();
  }
  const std::vector<uint8_t> original = ReadBytes(folder.File("damaged.mv1"));
  ASSERT_GE(original.size(), 3u * 4096);  // the header and two data blocks
  const std::set<uint32_t> clear{MVERR_HEADERCORRUPT, MVERR_FILECORRUPT, MVERR_INVALIDBLOCKNR,
                                 MVERR_NOTADATABLOCK, MVERR_KEYORRECDELETED, MVERR_INVALIDREFNR, MVERR_OBJNOTFOUND,
                                 9992, 15415};
  // Every byte of both data blocks, and the header's record section.
  // Every byte that says where things are: the header's counts, its section
  // directory and the sections at its top; each data block's head and
  // bitmap, the free-slot links of its first slots and its owner ID.
  // Record bytes are never read as sizes and are left alone.
  std::vector<uint32_t> offsets;
  for (uint32_t at = 16; at < 40; ++at) offsets.push_back(at);
  for (uint32_t at = 256; at < 300; ++at) offsets.push_back(at);
  for (uint32_t at = 4092 - 48; at < 4096; ++at) offsets.push_back(at);
  for (uint32_t block = 1; block <= 2; ++block) {
    for (uint32_t at = 0; at < 76 + 4 * 16; ++at) offsets.push_back(block * 4096 + at);
    for (uint32_t at = 4092; at < 4096; ++at) offsets.push_back(block * 4096 + at);
  }
  int readBack = 0;
  for (uint32_t at : offsets) {
    std::vector<uint8_t> image = original;
    image[at] ^= 0x5A;
    WriteBytes(folder.File("damaged.mv1"), image);
    uint32_t code = 0;
    try {
      OpenTable t(cache, folder.Name("damaged.mv1"));
      t.file->fiMaxID = 1000;
      code = uint32_t(t.Add());
      if (t.header) t.release(t.header);
      if (code != 0) {
        EXPECT_TRUE(clear.count(code)) << "byte " << at << ": " << code;
        continue;
      }
      TableFile f{nullptr, std::make_unique<TmvBlockAccess>(t.file, nullptr, u"t", 0)};
      TTestTransaction trans(cache);
      try {
        auto engine = Engine(f, nullptr);
        uint32_t n = 0;
        for (TmvRefNr r = 0;;) {
          engine->ReadNextRecord(&trans, r, r, nullptr);
          if (r == 0 || ++n > 1000) break;
        }
        TmvRefNr added = 0;
        std::vector<uint8_t> record = SmallRecord(*dd, 1);
        engine->AddRecord(&trans, added, record.data());
        engine->DeleteRecord(&trans, Ref(2, 2));
        ++readBack;
      } catch (...) {
        trans.End();
        throw;
      }
      trans.End();
    } catch (const EmvBaseException& e) {
      code = e.ErrorCode();
    }
    if (code != 0) {
      EXPECT_TRUE(clear.count(code)) << "byte " << at << ": " << code;
    }
  }
  EXPECT_GT(readBack, 0);
}

}  // namespace
