// Tests of the variable record engine: the segment forms, stubs that keep a
// grown record's reference, walks and record numbers, recovery walks and
// the dictionary check.
#include "storage/records/mvseRecordEngineVariable.h"

#include <map>
#include <set>
#include <string>

#include "storage/RecordTestSupport.h"
#include "storage/header/mvsrServerDataDict.h"
#include "storage/mvsrUnits.h"

namespace {

using namespace storage_test;

class VariableRecords : public RecordTableTest {
 protected:
  void SetUp() override {
    RecordTableTest::SetUp();
    mvStorageInit();
  }
  void TearDown() override {
    engine.reset();
    file = {};
    mvStorageFini();
    RecordTableTest::TearDown();
  }
  // "REF" (RefNr) and "T" (NullString of aText units) stored with aCompression.
  void MakeDictionary(const String& aCompression, int32_t aText = 1000) {
    dd = std::make_unique<TmvDataDictionary>();
    dd->SetBaseName(u"t");
    dd->GetFieldsDescriptor()->AddField(u"REF", u"", mvtRefNr, 0, 0, false);
    if (aText > 0) dd->GetFieldsDescriptor()->AddField(u"T", u"", mvtNullString, aText, 0, false);
    Heap(aCompression);
  }
  TmvHeapRecordDescriptor* Heap(const String& aCompression) {
    auto* record = static_cast<TmvHeapRecordDescriptor*>(dd->AddRecordDescriptor(&TmvHeapRecordDescriptor::StaticClass));
    record->SetRecordEngine(u"Variable");
    record->AddHeapDescriptor()->AddBlockHeapDescriptor();
    if (!aCompression.empty()) record->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(aCompression);
    return record;
  }
  void Open(TmvBaseTransaction* aTrans, const char* aName = "var.mv1") {
    engine.reset();
    file = CreateFile(aName, aTrans);
    engine = std::make_unique<TmvVariableRecordEngine>(dd->GetRecordDescriptor(), file.Files(), aTrans);
  }
  std::vector<uint8_t> Record(const std::string& aText) {
    TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
    std::vector<uint8_t> r(size_t(fields->RecordLength()) + 4, 0);
    fields->InitRecord(r.data());
    if (fields->FieldCount() > 1) {
      std::string value = aText;
      value.resize(size_t(fields->FieldDescriptor(1)->Length()), '\0');
      fields->SetRecordField(1, r.data(), value.data());
    }
    return r;
  }
  TmvRefNr Add(TmvBaseTransaction* aTrans, const std::string& aText) {
    std::vector<uint8_t> r = Record(aText);
    TmvRefNr ref = 0;
    engine->AddRecord(aTrans, ref, r.data());
    return ref;
  }
  static TmvRefNr RefAt(const uint8_t* aRecord) { return TmvRefNr(mvGetU64(aRecord, 0)); }
  std::string Text(const uint8_t* aRecord) { return reinterpret_cast<const char*>(aRecord + 8); }
  std::string Read(TmvBaseTransaction* aTrans, TmvRefNr aRef) {
    std::vector<uint8_t> r = Record("");
    engine->ReadRecord(aTrans, aRef, r.data());
    EXPECT_EQ(RefAt(r.data()), aRef);
    return Text(r.data());
  }
  // The stored segment.
  std::vector<uint8_t> Segment(TmvBaseTransaction* aTrans, TmvRefNr aRef) {
    uint16_t size = 0;
    TmvHeldBlock held;
    const uint8_t* s = engine->reHeapEngine->GetSegment(aTrans, aRef, false, size, held.Block, held.Release);
    return {s, s + size};
  }
  // The references a forward walk visits.
  std::vector<TmvRefNr> Scan(TmvBaseTransaction* aTrans) {
    std::vector<TmvRefNr> refs;
    TmvRefNr at = 0;
    uint8_t* data = nullptr;
    engine->Iterate(aTrans, at, data, [&](void*, TmvRefNr aRef, const uint8_t* aRecord) {
      EXPECT_EQ(RefAt(aRecord), aRef);
      refs.push_back(aRef);
      return rirContinue;
    }, nullptr, nullptr, false, false);
    EXPECT_EQ(at, 0u);
    EXPECT_EQ(data, nullptr);
    return refs;
  }
  std::multiset<std::string> Recover(TmvBaseTransaction* aTrans) {
    std::multiset<std::string> texts;
    THeaderAccess header = Access(*file.view, aTrans, false);
    const uint32_t blocks = header->GetUsedBlocks();
    header.reset();
    for (TmvBlockNumber b = 1; b < blocks + 8; ++b) {
      if (!file.view->ValidBlock(b, aTrans)) continue;
      TmvReleaseMethod release;
      uint8_t* block = file.view->GetBlock(aTrans, b, 0, false, release);
      uint8_t* data = nullptr;
      engine->RecoverIterate(block, b, data, [&](void*, TmvRefNr aRef, const uint8_t* aRecord) {
        EXPECT_EQ(aRef, 0u);
        texts.insert(Text(aRecord));
        return rirContinue;
      }, nullptr);
      release(block);
    }
    return texts;
  }
  template <typename F>
  static int32_t CodeOf(F f, String* aText = nullptr) {
    try {
      f();
    } catch (const EmvBaseException& e) {
      if (aText) *aText = e.ProcessedErrorString();
      return int32_t(e.ErrorCode());
    }
    return 0;
  }

  std::unique_ptr<TmvDataDictionary> dd;
  TableFile file;
  std::unique_ptr<TmvVariableRecordEngine> engine;
};

TEST_F(VariableRecords, SmallRecordsArePaddedToNineDataBytes) {
  TTestTransaction trans(cache);
  // A raw record of 8 bytes (one Int32 and the bitmap): flag 0x0A, one
  // padding byte, read back as the 8 bytes.
  dd = std::make_unique<TmvDataDictionary>();
  dd->SetBaseName(u"t");
  dd->GetFieldsDescriptor()->AddField(u"I", u"", mvtInt32, 0, 0, false);
  Heap(u"");
  Open(&trans, "raw.mv1");
  ASSERT_EQ(engine->breRecordLength, 8);
  std::vector<uint8_t> r(12, 0);
  const int32_t five = 5;
  dd->GetFieldsDescriptor()->InitRecord(r.data());
  dd->GetFieldsDescriptor()->SetRecordField(0, r.data(), &five);
  TmvRefNr ref = 0;
  engine->AddRecord(&trans, ref, r.data());
  std::vector<uint8_t> s = Segment(&trans, ref);
  ASSERT_EQ(s.size(), 10u);
  EXPECT_EQ(s[0], 0x0A);
  EXPECT_EQ(0, std::memcmp(s.data() + 1, r.data(), 8));
  std::vector<uint8_t> back(12, 0xEE);
  engine->ReadRecord(&trans, ref, back.data());
  EXPECT_EQ(0, std::memcmp(back.data(), r.data(), 8));

  // "Smart" with every field null keeps 1 byte: flag 0x08, the last byte 8.
  engine.reset();
  MakeDictionary(u"Smart");
  Open(&trans, "smart.mv1");
  std::vector<uint8_t> empty = Record("");
  dd->GetFieldsDescriptor()->SetRecordFieldNull(1, empty.data(), true);
  engine->AddRecord(&trans, ref, empty.data());
  s = Segment(&trans, ref);
  ASSERT_EQ(s.size(), 10u);
  EXPECT_EQ(s[0], 0x08);
  EXPECT_EQ(s[9], 8);
  back = Record("x");
  engine->ReadRecord(&trans, ref, back.data());
  EXPECT_TRUE(dd->GetFieldsDescriptor()->IsRecordFieldNull(1, back.data()));
  EXPECT_EQ(RefAt(back.data()), ref);
}

TEST_F(VariableRecords, AGrownRecordKeepsItsReferenceThroughAStub) {
  MakeDictionary(u"Smart");
  TTestTransaction trans(cache);
  Open(&trans);
  std::vector<TmvRefNr> refs;
  for (int i = 0; i < 300; ++i) refs.push_back(Add(&trans, "r" + std::to_string(i)));
  const TmvRefNr grown = refs[5];
  const std::string big(900, 'b');
  std::vector<uint8_t> r = Record(big), old = Record("");
  engine->UpdateRecord(&trans, grown, r.data(), old.data());
  EXPECT_EQ(Text(old.data()), "r5");
  EXPECT_EQ(RefAt(old.data()), grown);
  std::vector<uint8_t> stub = Segment(&trans, grown);
  ASSERT_EQ(stub.size(), 9u);
  ASSERT_EQ(stub[0], 0x04);
  const TmvRefNr body = TmvRefNr(uint64_t(mvGetU32(stub.data(), 5)) << 32 | mvGetU32(stub.data(), 1));
  EXPECT_EQ(Segment(&trans, body)[0], 0x01);
  EXPECT_EQ(Read(&trans, grown), big);

  // Scans and record numbers see the stub's reference, never the body's.
  EXPECT_EQ(Scan(&trans), refs);
  int32_t recNo = 0;
  EXPECT_EQ(engine->RecNoGet(&trans, grown, nullptr, recNo, false), 0);
  EXPECT_EQ(recNo, 6);
  EXPECT_EQ(engine->RecNoGet(&trans, body, nullptr, recNo, false), MVERR_EOF);
  TmvRefNr at = 0;
  EXPECT_EQ(engine->RecNoSet(&trans, 6, at, nullptr, false), 0);
  EXPECT_EQ(at, grown);
  engine->ReadPrevRecord(&trans, refs[6], at, nullptr);
  EXPECT_EQ(at, grown);
  // Recovery sees every body once, the stub not at all.
  std::multiset<std::string> texts = Recover(&trans);
  EXPECT_EQ(texts.size(), refs.size());
  EXPECT_EQ(texts.count(big), 1u);
  EXPECT_EQ(texts.count("r5"), 0u);

  EXPECT_EQ(CodeOf([&] { engine->UpdateRecord(&trans, body, r.data(), nullptr); }), MVERR_INVALIDREFNR);
  // Shrinking again frees the body and stores the record in place.
  r = Record("small");
  engine->UpdateRecord(&trans, grown, r.data(), nullptr);
  EXPECT_EQ(Segment(&trans, grown)[0], 0x00);
  EXPECT_EQ(Read(&trans, grown), "small");
  EXPECT_NE(CodeOf([&] { Segment(&trans, body); }), 0);
  EXPECT_EQ(Recover(&trans).size(), refs.size());

  // Deleting a stubbed record frees its body too.
  r = Record(big);
  engine->UpdateRecord(&trans, refs[7], r.data(), nullptr);
  engine->DeleteRecord(&trans, refs[7]);
  EXPECT_EQ(engine->breGetRecordCount(&trans), 299u);
  EXPECT_EQ(Recover(&trans).count(big), 0u);
}

TEST_F(VariableRecords, WalksOverAnEmptyTableAndThroughAFilter) {
  MakeDictionary(u"Smart");
  TTestTransaction trans(cache);
  Open(&trans);
  TmvRefNr at = 1;
  engine->ReadNextRecord(&trans, 0, at, nullptr);
  EXPECT_EQ(at, 0u);
  EXPECT_TRUE(Scan(&trans).empty());
  int32_t recNo = 0;
  EXPECT_EQ(engine->RecNoGet(&trans, Ref(1, 1), nullptr, recNo, false), MVERR_EOF);

  std::vector<TmvRefNr> refs;
  for (const char* text : {"a", "b", "a", "c"}) refs.push_back(Add(&trans, text));
  TTestFilter onlyA([&](const uint8_t* aRecord) { return Text(aRecord) == "a"; });
  EXPECT_EQ(engine->RecNoGet(&trans, refs[2], &onlyA, recNo, false), 0);
  EXPECT_EQ(recNo, 2);
  EXPECT_EQ(engine->RecNoGet(&trans, refs[2], &onlyA, recNo, true), 0);
  EXPECT_EQ(recNo, 1);
  EXPECT_EQ(engine->RecNoGet(&trans, refs[1], &onlyA, recNo, false), MVERR_NOCURRREC);
  EXPECT_EQ(engine->RecNoSet(&trans, 3, at, &onlyA, false), MVERR_EOF);
  EXPECT_EQ(at, 0u);
  ExpectNoRecordBelowNumberOne(*engine, &trans);
  ExpectNoRecordBelowNumberOne(*engine, &trans, &onlyA);

  // Backward, kept position, the first record skipped, stopped on a match.
  at = refs[3];
  std::vector<uint8_t> buffer = Record("");
  uint8_t* data = buffer.data();
  std::vector<TmvRefNr> seen;
  engine->IterateBackward(&trans, at, data, [&](void*, TmvRefNr aRef, const uint8_t*) {
    seen.push_back(aRef);
    return aRef == refs[0] ? rirStop : rirContinue;
  }, nullptr, &onlyA, true, true);
  EXPECT_EQ(seen, (std::vector<TmvRefNr>{refs[2], refs[0]}));
  EXPECT_EQ(at, refs[0]);
  EXPECT_EQ(Text(buffer.data()), "a");

  // A damaged chain that leads back to its own block ends the walk.
  const TmvBlockNumber first = TmvBlockNumber(refs[0] >> 32);
  TmvHeldBlock held;
  held.Block = engine->reHeapEngine->ReadBlockHeap(&trans, first, true, held.Release);
  mvPutU32(held.Block, 16, first);
  held.Drop();
  EXPECT_EQ(CodeOf([&] { engine->RecNoSet(&trans, 99, at, nullptr, false); }), MVERR_FILECORRUPT);
}

TEST_F(VariableRecords, DictionaryCheckAndUnsupportedOperations) {
  MakeDictionary(u"Smart", 0);
  String text;
  // A record of 65532 bytes fits no 64 KB block's heap segment.
  dd->GetFieldsDescriptor()->AddField(u"U", u"", mvtByteArray, 65520, 0, false);
  EXPECT_EQ(CodeOf([&] { TmvVariableRecordEngine::CheckValidDescriptor(dd.get()); }, &text), MVERR_MAXRECORDSIZE);
  EXPECT_EQ(text, u"Maximum record size has been exceeded");
  dd->GetFieldsDescriptor()->RemoveField(1);
  // A record of 9000 bytes raises the block size to 16 KB.
  dd->GetFieldsDescriptor()->AddField(u"U", u"", mvtByteArray, 9000, 0, false);
  TmvVariableRecordEngine::CheckValidDescriptor(dd.get());
  EXPECT_EQ(int(dd->GetFilesDescriptor()->FileDescriptor(0)->GetBlockSize()), 2);

  auto* record = static_cast<TmvHeapRecordDescriptor*>(dd->GetRecordDescriptor());
  record->RemoveHeapDescriptor();
  EXPECT_EQ(CodeOf([&] { TmvVariableRecordEngine::CheckValidDescriptor(dd.get()); }, &text), MVERR_INVALIDDESC);
  EXPECT_EQ(text, u"A HeapDescriptor is required");
  Heap(u"x");
  EXPECT_EQ(CodeOf([&] { TmvVariableRecordEngine::CheckValidDescriptor(dd.get()); }, &text),
            MVERR_UNSUPPORTEDSUBENGINE);
  dd->AddRecordDescriptor();
  EXPECT_EQ(CodeOf([&] { TmvVariableRecordEngine::CheckValidDescriptor(dd.get()); }, &text), MVERR_INVALIDDESC);
  EXPECT_EQ(text, u"Record descriptor must be a TmvHeapRecordDescriptor is required");

  MakeDictionary(u"Smart");
  TTestTransaction trans(cache);
  Open(&trans);
  EXPECT_EQ(CodeOf([&] { engine->ReplaceAllRecords(&trans, [](uint8_t*) { return 0; }); }, &text), MVERR_NOTSUPPORTED);
  EXPECT_EQ(text, u"ReplaceAllRecords is not supported by TmvVariableRecordEngine");
}

TEST_F(VariableRecords, DamageInADataBlockIsRefusedOrReadAsData) {
  // A committed block of small records, one of them grown into a stub with
  // its body elsewhere; then each byte of that block flipped in turn (every
  // byte of the block's header and slot directory, every fifth in between)
  // and the table read every way. Damage may change a record's bytes, but
  // every read either succeeds or fails with an engine error: no crash, no
  // assertion, no read outside a segment.
  MakeDictionary(u"Smart");
  std::vector<TmvRefNr> refs;
  {
    TTestTransaction trans(cache);
    Open(&trans, "damage.mv1");
    for (int i = 0; i < 300; ++i) refs.push_back(Add(&trans, std::string(size_t(i % 7), char('a' + i % 26))));
    std::vector<uint8_t> big = Record(std::string(900, 'b'));
    engine->UpdateRecord(&trans, refs[5], big.data(), nullptr);
    ASSERT_EQ(Segment(&trans, refs[5]).size(), 9u);
    engine.reset();
    trans.Commit();
  }
  file = {};
  const std::vector<uint8_t> original = ReadBytes(folder.File("damage.mv1"));
  const size_t blockSize = 4096, start = size_t(refs[5] >> 32) * blockSize;
  ASSERT_LE(start + blockSize, original.size());
  std::map<uint32_t, int> errors;  // code -> how many flips ended in it
  int clean = 0;
  for (size_t at = 0; at < blockSize; ++at) {
    if (at >= 64 && at < blockSize - 700 && at % 5 != 0) continue;
    std::vector<uint8_t> image = original;
    image[start + at] ^= 0xFF;
    WriteBytes(folder.File("damage.mv1"), image);
    file = OpenFile("damage.mv1");
    TTestTransaction trans(cache);
    try {
      engine = std::make_unique<TmvVariableRecordEngine>(dd->GetRecordDescriptor(), file.Files(), nullptr);
      std::vector<uint8_t> r = Record("");
      TmvRefNr at = 0;
      uint8_t* data = r.data();
      engine->Iterate(&trans, at, data, [](void*, TmvRefNr, const uint8_t*) { return rirContinue; }, nullptr, nullptr,
                      false, false);
      for (TmvRefNr ref : refs) engine->ReadRecord(&trans, ref, r.data());
      int32_t recNo = 0;
      engine->RecNoGet(&trans, refs.back(), nullptr, recNo, true);
      engine->UpdateRecord(&trans, refs[5], r.data(), nullptr);
      Recover(&trans);
      ++clean;
    } catch (const EmvBaseException& e) {
      ++errors[e.ErrorCode()];
    }
    trans.End();
    engine.reset();
    file = {};
  }
  for (const auto& [code, count] : errors) std::printf("error %u after %d flips\n", code, count);
  std::printf("%d flips read without error\n", clean);
  EXPECT_GT(clean, 0);
  EXPECT_TRUE(errors.count(MVERR_FILECORRUPT));
}


// Around the largest record a block holds: the check must pass exactly the
// lengths whose full records the heap stores, raising the block size for
// the others or, past the largest block, refusing them (15495).
TEST_F(VariableRecords, TheBlockSizeCheckPassesExactlyTheRecordsThatFit) {
  struct Case {
    TmvBlockSize size;
    const char16_t* compression;
    int32_t largest;  // the longest record of the block size
  };
  // A raw image behind its flag byte, or a "Smart" one (one bitmap byte in
  // place of four), fills the largest segment: 4052 bytes of a 4 KB block,
  // 65492 of a 64 KB one.
  for (const Case& c : {Case{mvbs4k, u"", 4048}, Case{mvbs4k, u"Smart", 4052}, Case{mvbs64k, u"", 65488},
                        Case{mvbs64k, u"Smart", 65492}}) {
    // The bitmap starts at a multiple of 4: lengths go in steps of 4.
    for (int32_t units = c.largest - 4 - 8; units <= c.largest - 4 + 16; units += 4) {
      engine.reset();
      file = {};
      dd = std::make_unique<TmvServerDataDict>();
      dd->SetBaseName(u"t");
      dd->GetFieldsDescriptor()->AddField(u"B", u"", mvtByteArray, units, 0, false);
      const int32_t length = dd->GetFieldsDescriptor()->RecordLength();
      SCOPED_TRACE(UTF8Encode(c.compression) + " " + std::to_string(length));
      Heap(c.compression);
      dd->GetFilesDescriptor()->FileDescriptor(0)->SetBlockSize(c.size);
      const int32_t code = CodeOf([&] { TmvVariableRecordEngine::CheckValidDescriptor(dd.get()); });
      const TmvBlockSize chosen = dd->GetFilesDescriptor()->FileDescriptor(0)->GetBlockSize();
      if (length <= c.largest) {
        ASSERT_EQ(code, 0);
        EXPECT_EQ(chosen, c.size);
      } else if (c.size == mvbs64k) {
        EXPECT_EQ(code, MVERR_MAXRECORDSIZE);
        continue;
      } else {
        ASSERT_EQ(code, 0);
        EXPECT_EQ(chosen, c.size + 1);
      }
      // A full-length record goes in.
      TTestTransaction trans(cache);
      file.table = std::make_unique<OpenTable>(cache, folder.Name("fit" + std::to_string(length) + ".mv1"),
                                               omReadWrite, TableKind::Created);
      TmvBaseFile* f = file.table->file;
      f->fiMorvaVersion = 47005;
      f->fiStreamEngineName = u"mv1xDefault";
      f->fiBlockSize = chosen;
      ASSERT_EQ(f->AddHeader(&trans, {}, mv2xHeaderSignature), 0);
      f->fiMaxID = 1000;
      file.view = std::make_unique<TmvBlockAccess>(f, nullptr, u"t", 0);
      engine = std::make_unique<TmvVariableRecordEngine>(dd->GetRecordDescriptor(), file.Files(), &trans);
      std::vector<uint8_t> full(size_t(length), 0);
      dd->GetFieldsDescriptor()->InitRecord(full.data());
      std::memset(full.data(), 0xA5, size_t(units));
      dd->GetFieldsDescriptor()->SetRecordFieldNull(0, full.data(), false);
      TmvRefNr ref = 0;
      EXPECT_EQ(CodeOf([&] { engine->AddRecord(&trans, ref, full.data()); }), 0);
      engine.reset();
      trans.Rollback();
    }
  }
}

}  // namespace
