// Tests of the versioned variable record engine: records written before
// fields were appended read back at the current layout and are rewritten
// at it, the flag word with padding and stubs, and the checks of the
// dictionary and of fields to append.
#include "storage/records/mvseRecordEngineVariableVersioned.h"

#include <set>
#include <string>

#include "foundation/mvllBaseCompressor.h"
#include "storage/RecordTestSupport.h"
#include "storage/mvsrUnits.h"

namespace {

using namespace storage_test;

// Run-length pairs (count, byte); declines when the pairs do not shrink the
// record. Restores what the pairs hold, so a record of an older, shorter
// layout comes back at its own length.
struct TRunLength {
  static uint32_t Compress(const void* aSource, void* aTarget, uint32_t aSourceSize, uint32_t aTargetSize) {
    const auto* s = static_cast<const uint8_t*>(aSource);
    auto* t = static_cast<uint8_t*>(aTarget);
    uint32_t n = 0;
    for (uint32_t i = 0; i < aSourceSize;) {
      uint32_t run = 1;
      while (i + run < aSourceSize && run < 255 && s[i + run] == s[i]) ++run;
      if (n + 2 >= aSourceSize || n + 2 > aTargetSize) return 0;
      t[n++] = uint8_t(run);
      t[n++] = s[i];
      i += run;
    }
    return n;
  }
  static void Uncompress(const void* aSource, void* aTarget, uint32_t aSourceSize, uint32_t aTargetSize) {
    const auto* s = static_cast<const uint8_t*>(aSource);
    auto* t = static_cast<uint8_t*>(aTarget);
    uint32_t out = 0;
    for (uint32_t i = 0; i + 1 < aSourceSize; i += 2)
      for (uint32_t k = 0; k < s[i] && out < aTargetSize; ++k) t[out++] = s[i + 1];
  }
};
constinit const TmvBaseCompressorClassRef kRunLength{
    {u"TRunLength", &TmvBaseCompressor::StaticClass}, &TRunLength::Compress, &TRunLength::Uncompress};
constexpr uint8_t kCompressType = 7;

class VersionedRecords : public RecordTableTest {
 protected:
  void SetUp() override {
    RecordTableTest::SetUp();
    mvRegisterCompressor(kCompressType, &kRunLength, u"RunLength");
  }
  void TearDown() override {
    engine.reset();
    file = {};
    mvUnregisterCompressor(kCompressType);
    RecordTableTest::TearDown();
  }
  // aFields fields of aType whose file was built with the first aOriginal.
  static std::unique_ptr<TmvDataDictionary> Dictionary(int aOriginal, int aFields, TmvFieldType aType = mvtInt32,
                                                       int32_t aUnits = 0) {
    auto dd = std::make_unique<TmvDataDictionary>();
    dd->SetBaseName(u"t");
    auto* record =
        static_cast<TmvHeapRecordDescriptor*>(dd->AddRecordDescriptor(&TmvHeapRecordDescriptor::StaticClass));
    record->SetRecordEngine(u"VariableVersioned");
    record->AddHeapDescriptor()->AddBlockHeapDescriptor();
    TmvBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
    compression->SetRecordCompressionEngine(u"Compressor");
    compression->SetCompressType(kCompressType);
    Append(*dd, aOriginal, aFields, aType, aUnits);
    return dd;
  }
  // Appends fields up to aFields, the first aOriginal being those the
  // table's file was built with.
  static void Append(TmvDataDictionary& aDict, int aOriginal, int aFields, TmvFieldType aType = mvtInt32,
                     int32_t aUnits = 0) {
    TmvFieldsDescriptor* fields = aDict.GetFieldsDescriptor();
    for (int i = fields->FieldCount(); i < aFields; ++i)
      fields->AddField(u"F" + IntToStr(i), u"", aType, aUnits, 0, false);
    if (aFields > aOriginal) fields->SetOriginalFieldCount(aOriginal);
  }
  // The engine over aName with aDict: a new file with aTrans, else the
  // committed one (which must not be open).
  void Open(TmvDataDictionary& aDict, const char* aName, TmvBaseTransaction* aTrans) {
    engine.reset();
    if (!aTrans) file = {};
    file = aTrans ? CreateFile(aName, aTrans) : OpenFile(aName);
    engine = std::make_unique<TmvVariableVersionedRecordEngine>(aDict.GetRecordDescriptor(), file.Files(), aTrans);
  }
  // A record of Int32 fields holding aValues; a value of -1 is null.
  static std::vector<uint8_t> Record(TmvDataDictionary& aDict, const std::vector<int32_t>& aValues) {
    TmvFieldsDescriptor* fields = aDict.GetFieldsDescriptor();
    std::vector<uint8_t> r(size_t(fields->RecordLength()) + 4, 0);
    fields->InitRecord(r.data());
    for (size_t i = 0; i < aValues.size(); ++i)
      if (aValues[i] != -1) fields->SetRecordField(int32_t(i), r.data(), &aValues[i]);
    return r;
  }
  std::vector<uint8_t> Read(TmvBaseTransaction* aTrans, TmvRefNr aRef) {
    std::vector<uint8_t> r(size_t(engine->breRecordLength) + 4, 0xEE);
    engine->ReadRecord(aTrans, aRef, r.data());
    r.resize(engine->breRecordLength);
    return r;
  }
  std::vector<uint8_t> Segment(TmvBaseTransaction* aTrans, TmvRefNr aRef) {
    uint16_t size = 0;
    TmvHeldBlock held;
    const uint8_t* s = engine->reHeapEngine->GetSegment(aTrans, aRef, false, size, held.Block, held.Release);
    return {s, s + size};
  }

  TableFile file;
  std::unique_ptr<TmvVariableVersionedRecordEngine> engine;
};

TEST_F(VersionedRecords, RecordsOfAnOlderLayoutReadAtTheCurrentOneAndAreRewrittenAtIt) {
  const struct {
    int original, appended;
  } cases[] = {{3, 1}, {1, 1}, {32, 1}, {2, 3}, {31, 40}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.original) + " + " + std::to_string(c.appended));
    const int total = c.original + c.appended;
    auto dd = Dictionary(c.original, c.original);
    // One record that compresses (zeros and nulls) and one stored raw; the
    // first field null in the one and (with more fields) in both, so that
    // null states have to survive the move of the bitmap.
    std::vector<int32_t> zeros(size_t(c.original), 0), values(size_t(c.original));
    for (int i = 0; i < c.original; ++i) values[size_t(i)] = 0x01020304 * (i + 1);
    zeros[0] = -1;
    if (c.original > 1) values[0] = -1;
    const std::string name = "v" + std::to_string(c.original) + "_" + std::to_string(c.appended) + ".mv1";
    TmvRefNr refs[2] = {};
    {
      TTestTransaction trans(cache);
      Open(*dd, name.c_str(), &trans);
      for (int i = 0; i < 2; ++i) {
        std::vector<uint8_t> r = Record(*dd, i == 0 ? zeros : values);
        engine->AddRecord(&trans, refs[i], r.data());
      }
      EXPECT_EQ(Segment(&trans, refs[0])[0] & vvdfRaw, 0);
      EXPECT_EQ(Segment(&trans, refs[1])[0] & vvdfRaw, vvdfRaw);
      engine.reset();
      trans.Commit();
    }
    Append(*dd, c.original, total);
    Open(*dd, name.c_str(), nullptr);
    EXPECT_EQ(engine->reCurrentVersion, c.appended);
    TTestTransaction trans(cache);
    for (int i = 0; i < 2; ++i) {
      // The appended fields are null with zero bytes; nothing else changed.
      // A new record buffer marks whole bytes of the bitmap null; the bits
      // past the last field belong to no field.
      auto fieldsOnly = [&](std::vector<uint8_t> aRecord) {
        uint8_t* nullBits = aRecord.data() + dd->GetFieldsDescriptor()->LogicalRecordLength();
        for (int bit = total; bit % 8 != 0; ++bit) mvClearBit(nullBits, uint32_t(bit));
        return aRecord;
      };
      std::vector<uint8_t> expected = Record(*dd, i == 0 ? zeros : values);
      expected.resize(engine->breRecordLength);
      expected = fieldsOnly(expected);
      EXPECT_EQ(Segment(&trans, refs[i])[1], 0) << "version of record " << i;
      EXPECT_EQ(fieldsOnly(Read(&trans, refs[i])), expected) << "record " << i;
      std::vector<uint8_t> old(expected.size() + 4);
      std::vector<uint8_t> same = expected;
      same.resize(expected.size() + 4);
      engine->UpdateRecord(&trans, refs[i], same.data(), old.data());
      old.resize(expected.size());
      EXPECT_EQ(fieldsOnly(old), expected);
      EXPECT_EQ(Segment(&trans, refs[i])[1], c.appended) << "version after the update";
      EXPECT_EQ(Read(&trans, refs[i]), expected);
    }
    // Scans and recovery bring records up to date as well.
    int scanned = 0;
    TmvRefNr at = 0;
    uint8_t* data = nullptr;
    engine->Iterate(&trans, at, data, [&](void*, TmvRefNr, const uint8_t* aRecord) {
      scanned += dd->GetFieldsDescriptor()->IsRecordFieldNull(total - 1, aRecord);
      return rirContinue;
    }, nullptr, nullptr, false, false);
    EXPECT_EQ(scanned, 2);
    trans.End();
    engine.reset();
    file = {};
  }
}

TEST_F(VersionedRecords, FlagWordPaddingAndStubs) {
  // One Int32: records of 8 bytes. Null, it compresses to 6 bytes, padded
  // to 10 (flag word 0x0008, last byte 4); with a value it does not shrink
  // and is stored raw with 2 padding bytes (0x000A).
  auto dd = Dictionary(1, 1);
  TTestTransaction trans(cache);
  Open(*dd, "small.mv1", &trans);
  ASSERT_EQ(engine->breRecordLength, 8);
  for (const int32_t value : {-1, 0x04030201}) {
    std::vector<uint8_t> r = Record(*dd, {value});
    TmvRefNr ref = 0;
    engine->AddRecord(&trans, ref, r.data());
    const std::vector<uint8_t> s = Segment(&trans, ref);
    ASSERT_EQ(s.size(), 12u);
    EXPECT_EQ(mvGetU16(s.data(), 0), value == -1 ? 0x0008 : 0x000A);
    if (value == -1) {
      EXPECT_EQ(s[11], 4);
    }
    r.resize(8);
    EXPECT_EQ(Read(&trans, ref), r);
  }

  // A record that no longer fits its block leaves a 10-byte stub of
  // version 0 under its reference; the body carries the version.
  auto wide = Dictionary(1, 2, mvtByteArray, 1000);
  engine.reset();
  Open(*wide, "wide.mv1", &trans);
  std::vector<TmvRefNr> refs(300);
  std::vector<uint8_t> r(size_t(engine->breRecordLength) + 4, 0);
  wide->GetFieldsDescriptor()->InitRecord(r.data());
  for (TmvRefNr& ref : refs) engine->AddRecord(&trans, ref, r.data());
  std::vector<uint8_t> grown = r;
  for (size_t i = 0; i < 1000; ++i) grown[i] = uint8_t(i * 7 + 1);
  wide->GetFieldsDescriptor()->SetRecordFieldNull(0, grown.data(), false);
  engine->UpdateRecord(&trans, refs[5], grown.data(), nullptr);
  const std::vector<uint8_t> stub = Segment(&trans, refs[5]);
  ASSERT_EQ(stub.size(), 10u);
  EXPECT_EQ(mvGetU16(stub.data(), 0), vvdfReference);
  const TmvRefNr body = TmvRefNr(uint64_t(mvGetU32(stub.data(), 6)) << 32 | mvGetU32(stub.data(), 2));
  EXPECT_EQ(mvGetU16(Segment(&trans, body).data(), 0), 1 << 8 | vvdfReferenced | vvdfRaw);
  grown.resize(engine->breRecordLength);
  EXPECT_EQ(Read(&trans, refs[5]), grown);
  int32_t recNo = 0;
  EXPECT_EQ(engine->RecNoGet(&trans, refs[5], nullptr, recNo, false), 0);
  EXPECT_EQ(recNo, 6);
  EXPECT_EQ(engine->RecNoGet(&trans, body, nullptr, recNo, false), MVERR_EOF);
  ExpectNoRecordBelowNumberOne(*engine, &trans);
  EXPECT_EQ(CodeOf([&] { engine->UpdateRecord(&trans, body, grown.data(), nullptr); }), uint32_t(MVERR_INVALIDREFNR));
  // Shrinking again frees the body.
  engine->UpdateRecord(&trans, refs[5], r.data(), nullptr);
  EXPECT_EQ(Segment(&trans, refs[5])[0] & vvdfReference, 0);
  EXPECT_NE(CodeOf([&] { Segment(&trans, body); }), 0u);
  engine->DeleteRecord(&trans, refs[6]);
  EXPECT_EQ(engine->breGetRecordCount(&trans), 299u);
  trans.End();
}

TEST_F(VersionedRecords, DictionaryCheckAndFieldsThatCanBeAppended) {
  String text;
  auto check = [&](TmvDataDictionary& aDict) {
    return CodeOf([&] { TmvVariableVersionedRecordEngine::CheckValidDescriptor(&aDict); }, &text);
  };
  const struct {
    std::function<void(TmvDataDictionary&)> change;
    uint32_t code;
    const char16_t* message;
  } cases[] = {
      {[](TmvDataDictionary& d) { d.AddRecordDescriptor(); }, MVERR_INVALIDDESC,
       u"Record descriptor must be a TmvHeapRecordDescriptor"},
      {[](TmvDataDictionary& d) {
         static_cast<TmvHeapRecordDescriptor*>(d.GetRecordDescriptor())->RemoveHeapDescriptor();
       },
       MVERR_INVALIDDESC, u"A HeapDescriptor is required"},
      {[](TmvDataDictionary& d) {
         static_cast<TmvHeapRecordDescriptor*>(d.GetRecordDescriptor())->RemoveRecordCompressionDescriptor();
       },
       MVERR_INVALIDDESC, u"A RecordCompressionDescriptor is required"},
      {[](TmvDataDictionary& d) {
         static_cast<TmvHeapRecordDescriptor*>(d.GetRecordDescriptor())
             ->GetRecordCompressionDescriptor()
             ->SetRecordCompressionEngine(u"Smart");
       },
       MVERR_INVALIDDESC, u"Only \"Compressor\" RecordCompressionEngine is supported"},
      {[](TmvDataDictionary& d) {
         static_cast<TmvHeapRecordDescriptor*>(d.GetRecordDescriptor())
             ->GetRecordCompressionDescriptor()
             ->SetRecordCompressionEngine(u"compressor");
       },
       0, u""},
      {[](TmvDataDictionary& d) { d.GetFieldsDescriptor()->AddField(u"U", u"", mvtByteArray, 65520, 0, false); },
       MVERR_MAXRECORDSIZE, u"Maximum record size has been exceeded"},
  };
  for (const auto& c : cases) {
    auto dd = Dictionary(2, 2);
    c.change(*dd);
    text.clear();
    EXPECT_EQ(check(*dd), c.code) << UTF8Encode(c.message);
    EXPECT_EQ(text, c.message);
  }
  // The registry finds the engine by its name, whatever the case.
  auto dd = Dictionary(2, 2);
  dd->GetRecordDescriptor()->SetRecordEngine(u"variableVERSIONED");
  TmvBaseRecordEngine::CheckValidFromDictionary(dd.get());

  TTestTransaction trans(cache);
  Open(*dd, "t.mv1", &trans);
  TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
  auto field = [&](const char16_t* aName, bool aRequired) {
    return fields->AddField(aName, u"", mvtInt32, 0, 0, aRequired);
  };
  EXPECT_TRUE(engine->CanAddField(field(u"A", false)));
  EXPECT_FALSE(engine->CanAddField(field(u"B", true)));
  TmvFieldDescriptor* withDefault = field(u"C", false);
  withDefault->AddDefaultValue();
  EXPECT_FALSE(engine->CanAddField(withDefault));
  TmvFieldDescriptor* validated = field(u"D", false);
  validated->AddValidations();
  EXPECT_FALSE(engine->CanAddField(validated));
  EXPECT_FALSE(engine->CanAddField(nullptr));

  EXPECT_EQ(CodeOf([&] { engine->ReplaceAllRecords(&trans, [](uint8_t*) { return 0; }); }, &text),
            uint32_t(MVERR_NOTSUPPORTED));
  EXPECT_EQ(text, u"ReplaceAllRecords is not supported by TmvVariableVersionedRecordEngine");
  engine.reset();
  trans.Commit();
  file = {};

  // Without a compressor of its type the table does not open; an original
  // field count the table does not have is refused before anything is read.
  mvUnregisterCompressor(kCompressType);
  auto plain = Dictionary(2, 2);
  EXPECT_EQ(CodeOf([&] { Open(*plain, "t.mv1", nullptr); }, &text), 0u);
  EXPECT_EQ(text, u"Unknown CompressType \"7\"");
  mvRegisterCompressor(kCompressType, &kRunLength, u"RunLength");
  plain->GetFieldsDescriptor()->SetOriginalFieldCount(3);
  EXPECT_EQ(CodeOf([&] { Open(*plain, "t.mv1", nullptr); }, &text), uint32_t(MVERR_INVALIDDESC));
  EXPECT_EQ(text, u"OriginalFieldCount 3 does not fit a table of 2 fields");
}

}  // namespace
