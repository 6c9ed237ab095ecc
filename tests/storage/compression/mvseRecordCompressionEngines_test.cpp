// Tests of the record compression engines and the compressor registry.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "storage/compression/mvseRecordCompressionEngines.h"
#include "storage/mvsrUnits.h"

namespace {

// Stores the record as a one-byte run count when every byte is equal,
// else reports that it does not shrink.
struct TRunCompressor {
  static uint32_t Compress(const void* aSource, void* aTarget, uint32_t aSourceSize, uint32_t) {
    const auto* s = static_cast<const uint8_t*>(aSource);
    for (uint32_t i = 1; i < aSourceSize; ++i)
      if (s[i] != s[0]) return 0;
    static_cast<uint8_t*>(aTarget)[0] = s[0];
    return 1;
  }
  static void Uncompress(const void* aSource, void* aTarget, uint32_t aSourceSize, uint32_t aTargetSize) {
    ASSERT_EQ(aSourceSize, 1u);
    std::memset(aTarget, *static_cast<const uint8_t*>(aSource), aTargetSize);
  }
};
constinit const TmvBaseCompressorClassRef kRunCompressor{
    {u"TRunCompressor", &TmvBaseCompressor::StaticClass}, &TRunCompressor::Compress, &TRunCompressor::Uncompress};

class RecordCompressionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mvStorageInit();
    dd.SetBaseName(u"t");
    record = static_cast<TmvHeapRecordDescriptor*>(dd.AddRecordDescriptor(&TmvHeapRecordDescriptor::StaticClass));
    compression = record->AddRecordCompressionDescriptor();
  }
  void TearDown() override { mvStorageFini(); }

  TmvFieldsDescriptor* Fields() { return dd.GetFieldsDescriptor(); }
  std::vector<uint8_t> NewRecord() {
    std::vector<uint8_t> r(size_t(Fields()->RecordLength()) + 4, 0xCC);
    Fields()->InitRecord(r.data());
    return r;
  }
  std::unique_ptr<TmvBaseRecordCompressionEngine> Engine(const String& aName) {
    compression->SetRecordCompressionEngine(aName);
    return std::unique_ptr<TmvBaseRecordCompressionEngine>(TmvBaseRecordCompressionEngine::CreateEngine(compression));
  }
  template <typename F>
  static String FailureOf(F f, int32_t& aCode) {
    try {
      f();
    } catch (const EmvBaseException& e) {
      aCode = int32_t(e.ErrorCode());
      return e.ProcessedErrorString();
    }
    aCode = -1;
    return u"";
  }

  TmvDataDictionary dd;
  TmvHeapRecordDescriptor* record = nullptr;
  TmvBaseRecordCompressionDescriptor* compression = nullptr;
};

TEST_F(RecordCompressionTest, SmartKeepsOnlyTheBitmapAndTheUsedPartOfEachField) {
  Fields()->AddField(u"S", u"", mvtShortString, 50, 0, false);
  Fields()->AddField(u"N", u"", mvtNullString, 20, 0, false);
  Fields()->AddField(u"W", u"", mvtWideString, 20, 0, false);
  Fields()->AddField(u"I", u"", mvtInt32, 0, 0, false);
  auto smart = Engine(u"Smart");
  std::vector<uint8_t> target(Fields()->RecordLength() + 4);

  std::vector<uint8_t> empty = NewRecord();
  EXPECT_EQ(smart->CompressRecord(empty.data(), target.data()), 1);

  // Each field alone: the bitmap byte plus its stored form.
  const uint8_t shortAbc[] = {3, 'a', 'b', 'c'};
  const char nullAbc[] = "abc";
  const char16_t wideAbc[] = u"abc";
  const int32_t number = 7;
  const struct {
    int32_t field;
    const void* value;
    size_t bytes;
    uint16_t size;
  } cases[] = {{0, shortAbc, 4, 5}, {1, nullAbc, 4, 5}, {2, wideAbc, 8, 9}, {3, &number, 4, 5}};
  for (const auto& c : cases) {
    std::vector<uint8_t> r = NewRecord();
    std::memcpy(r.data() + Fields()->FieldDescriptor(c.field)->Offset(), c.value, c.bytes);
    Fields()->SetRecordFieldNull(c.field, r.data(), false);
    SCOPED_TRACE(c.field);
    const uint16_t size = smart->CompressRecord(r.data(), target.data());
    EXPECT_EQ(size, c.size);
    std::vector<uint8_t> back(r.size(), 0xEE);
    smart->DecompressRecord(target.data(), size, back.data());
    EXPECT_EQ(0, std::memcmp(back.data(), r.data(), size_t(Fields()->RecordLength())));
  }
}

TEST_F(RecordCompressionTest, SmartNeverWritesOrReadsPastAField) {
  Fields()->AddField(u"S", u"", mvtShortString, 3, 0, false);
  Fields()->AddField(u"N", u"", mvtNullString, 3, 0, false);
  auto smart = Engine(u"Smart");
  std::vector<uint8_t> r = NewRecord();
  // Damaged strings: a length byte beyond the field, no terminator.
  std::memset(r.data(), 0xFF, 4);
  std::memset(r.data() + 4, 'x', 4);
  Fields()->SetRecordFieldNull(0, r.data(), false);
  Fields()->SetRecordFieldNull(1, r.data(), false);
  std::vector<uint8_t> target(Fields()->RecordLength() + 4);
  const uint16_t size = smart->CompressRecord(r.data(), target.data());
  EXPECT_EQ(size, 1 + 4 + 4);
  std::vector<uint8_t> back(r.size());
  smart->DecompressRecord(target.data(), size, back.data());
  EXPECT_EQ(back[0], 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back.data() + 4)), "xxx");

  // Every cut of the image, and a string that runs past its field, is refused.
  int32_t code = 0;
  for (uint16_t cut = 0; cut < size; ++cut) {
    FailureOf([&] { smart->DecompressRecord(target.data(), cut, back.data()); }, code);
    EXPECT_EQ(code, MVERR_FILECORRUPT) << cut;
  }
  target[1] = 9;
  FailureOf([&] { smart->DecompressRecord(target.data(), size, back.data()); }, code);
  EXPECT_EQ(code, MVERR_FILECORRUPT);
}

TEST_F(RecordCompressionTest, NullStoresRawAndRefusesToDecompress) {
  Fields()->AddField(u"I", u"", mvtInt32, 0, 0, false);
  std::unique_ptr<TmvBaseRecordCompressionEngine> none(TmvBaseRecordCompressionEngine::CreateEngine(nullptr));
  EXPECT_EQ(&none->ClassType(), &TmvNullRecordCompressionEngine::StaticClass);
  std::vector<uint8_t> r = NewRecord(), target(r.size());
  EXPECT_EQ(none->CompressRecord(r.data(), target.data()), 0);
  int32_t code = 0;
  EXPECT_EQ(FailureOf([&] { none->DecompressRecord(target.data(), 1, r.data()); }, code),
            u"DecompressRecord is not supported by TmvNullRecordCompressionEngine");
  EXPECT_EQ(code, MVERR_NOTSUPPORTED);
}

TEST_F(RecordCompressionTest, UnknownEngineAndUnregisteredCompressTypeAreRefused) {
  Fields()->AddField(u"I", u"", mvtInt32, 0, 0, false);
  int32_t code = 0;
  compression->SetRecordCompressionEngine(u"x");
  EXPECT_EQ(FailureOf([&] { TmvBaseRecordCompressionEngine::CheckValidBaseFromDescriptor(compression); }, code),
            u"Unknown RecordCompression engine: \"x\"");
  EXPECT_EQ(code, MVERR_UNSUPPORTEDSUBENGINE);
  EXPECT_EQ(FailureOf([&] { Engine(u"x"); }, code), u"Unknown RecordCompression engine: \"x\"");

  for (uint8_t type : {uint8_t(0), uint8_t(11), uint8_t(255)}) {
    compression->SetCompressType(type);
    EXPECT_EQ(FailureOf([&] { Engine(u"Compressor"); }, code), u"Unknown CompressType \"" + IntToStr(type) + u"\"");
    EXPECT_EQ(code, 0);
  }
}

TEST_F(RecordCompressionTest, CompressorUsesTheRegisteredClassOfItsType) {
  Fields()->AddField(u"I", u"", mvtInt32, 0, 0, false);
  Fields()->AddField(u"J", u"", mvtInt32, 0, 0, false);
  mvRegisterCompressor(255, &kRunCompressor, u"Run");
  EXPECT_EQ(mvCompressorName(255), u"Run");
  compression->SetCompressType(255);
  auto engine = Engine(u"Compressor");
  const size_t length = size_t(Fields()->RecordLength());
  std::vector<uint8_t> r(length + 4, 0), target(length + 4, 0xEE), back(length + 4, 0xEE);
  ASSERT_EQ(engine->CompressRecord(r.data(), target.data()), 1);
  engine->DecompressRecord(target.data(), 1, back.data());
  EXPECT_EQ(0, std::memcmp(back.data(), r.data(), length));
  r[0] = 1;
  EXPECT_EQ(engine->CompressRecord(r.data(), target.data()), 0);

  // The names go at shutdown; a start after it finds the registry empty.
  mvStorageFini();
  mvStorageInit();
  EXPECT_EQ(mvCompressorClass(255), nullptr);
  EXPECT_EQ(mvCompressorName(255), u"");
}

}  // namespace
