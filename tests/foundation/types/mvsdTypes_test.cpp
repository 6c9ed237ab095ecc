// Tests of the shared definitions: field-type names and lookups, parameter
// directions, record-cache infos, shared infos and record differences.
#include <gtest/gtest.h>

#include <thread>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/types/mvsdTypes.h"
#include "platform/Numeric.h"

namespace {

TEST(FieldTypes, NameTablesByOrdinal) {
  static_assert(sizeof(TmvFieldType) == 1 && mvtRefNr == 31 && mvtBCD == 28);
  EXPECT_EQ(mvFieldTypeNames[mvtWideChar], u"Wide Char");
  EXPECT_EQ(mvFieldTypeNames[mvtFmtBCD], u"Formatted BCD");
  EXPECT_EQ(mvFieldTypeConstNames[mvtBlobWideMemo], u"mvtBLOBWideMemo");
  EXPECT_EQ(mvFieldTypeConstNames[mvtGuid], u"mvtGUID");
  EXPECT_EQ(mvFieldTypeSQLNames[mvtNullString][ftsConstName], u"mvtNullString");
  EXPECT_EQ(mvFieldTypeSQLNames[mvtNullString][ftsSQLName], u"CHARACTER");
  EXPECT_EQ(mvFieldTypeSQLNames[mvtNullString][ftsSQLNameVarying], u"CHARACTER VARYING");
  EXPECT_EQ(mvFieldTypeSQLNames[mvtInterval][ftsSQLName], u"");
  for (int t = 0; t < mvFieldTypeCount; ++t)
    EXPECT_EQ(mvFieldTypeSQLNames[t][ftsConstName], mvFieldTypeConstNames[t]) << t;
  EXPECT_EQ(mvSetOf({mvtBoolean, mvtRefNr}), 0x80000001u);
  EXPECT_TRUE(mvInSet(mvSetOf({mvtBlob, mvtBlobMemo}), mvtBlobMemo));
}

TEST(FieldTypes, FromSqlName) {
  struct Case {
    const char16_t* name;
    TmvFieldType type;
  } cases[] = {
      {u"national character varying", mvtWideString},
      {u"NATIONAL CHARACTER", mvtWideString},
      {u"DECIMAL", mvtBCD},  // before mvtFmtBCD in ordinal order
      {u"", mvtInterval},
      {u"Character Varying", mvtNullString},
      {u"double precision", mvtDouble},
      {u"GUID", mvtGuid},
      {u"refnr", mvtRefNr},
      {u"BOOLEAN", mvtBoolean},
  };
  for (const auto& c : cases) EXPECT_EQ(mvFieldTypeFromSqlName(c.name), c.type) << UTF8Encode(c.name);
  for (const char16_t* bad : {u"VARCHAR", u"mvtBoolean", u"DECIMAL ", u"Wide Char"}) {
    try {
      mvFieldTypeFromSqlName(bad);
      ADD_FAILURE() << UTF8Encode(bad);
    } catch (const EmvBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), 8712u);
      EXPECT_EQ(e.Message(), u"MorvaDB: Could not find object. [$2208/8712]");
    }
  }
}

TEST(ParamTypes, FromName) {
  EXPECT_EQ(mvParamTypeFromName(u"inout"), mvptInputOutput);
  EXPECT_EQ(mvParamTypeFromName(u"In"), mvptInput);
  EXPECT_EQ(mvParamTypeFromName(u"OUT"), mvptOutput);
  EXPECT_EQ(mvParamTypeFromName(u"result"), mvptResult);
  EXPECT_EQ(mvParamTypeFromName(u"IN "), mvptUnknown);
  EXPECT_EQ(mvParamTypeFromName(u""), mvptUnknown);
  EXPECT_EQ(mvParamTypeFromName(u"\u0130N"), mvptUnknown);  // ASCII case only
}

TEST(RecordCacheInfo, ValidityAndEquality) {
  TmvRecordCacheInfo a{5, 9}, b{5, 9}, zeroRef{0, 9}, zeroRef2{0, 9};
  EXPECT_TRUE(mvRecordCacheInfoEqual(a, &b));
  EXPECT_FALSE(mvRecordCacheInfoEqual(a, nullptr));
  EXPECT_FALSE(mvRecordCacheInfoEqual(zeroRef, &zeroRef2));  // equal but not valid
  EXPECT_FALSE(mvRecordCacheInfoSame(a, TmvRecordCacheInfo{5, 10}));
  TmvIndexedRecordCacheInfo indexed{5, 9, 3};
  EXPECT_TRUE(mvRecordCacheInfoEqualAlt(a, &indexed));
  EXPECT_TRUE(mvRecordCacheInfoIsEmpty(zeroRef));
  mvClearRecordCacheInfo(a);
  EXPECT_FALSE(mvRecordCacheInfoValid(a));

  EXPECT_TRUE(mvRecIDIsSet(TmvRecID{1, 1}));
  EXPECT_FALSE(mvRecIDIsSet(TmvRecID{1, 0}));
  EXPECT_TRUE(mvRecIDIsAllOnes(TmvRecID{-1, -1}));
  EXPECT_FALSE(mvRecIDIsAllOnes(TmvRecID{-1, 0}));
  TmvBlobBatchRequest request{{1, 2}, {}};
  EXPECT_FALSE(mvBlobBatchRequestIsValid(request));
  request.bbrqEntries.emplace_back();
  EXPECT_TRUE(mvBlobBatchRequestIsValid(request));
}

TEST(RecordCacheInfo, BlobInfoListsArePackedAndWalked) {
  // Two lists back to back: {7, -2} and {}.
  uint8_t bytes[2 + 16 + 2];
  StoreLE16(bytes, 2);
  StoreLE<int64_t>(bytes + 2, 7);
  StoreLE<int64_t>(bytes + 10, -2);
  StoreLE16(bytes + 18, 0);
  const TmvRecordCacheInfoBlobInfo* p = bytes;
  EXPECT_EQ(mvBlobInfoCount(p), 2);
  EXPECT_EQ(mvBlobInfoBlobNr(p, 1), -2);
  mvNextRecordCacheInfoBlobInfo(p);
  EXPECT_EQ(p, bytes + 18);
  EXPECT_EQ(mvBlobInfoCount(p), 0);
  const TmvRecordCacheInfoBlobInfo* none = nullptr;
  mvNextRecordCacheInfoBlobInfo(none);
  EXPECT_EQ(none, nullptr);
}

TEST(SharedInfos, CountsAndRelease) {
  TmvSpecialFieldsInfo* sfi = mvNewSpecialFieldsInfo();
  EXPECT_EQ(sfi->sfiRefCount.load(), 1);
  EXPECT_EQ(sfi->sfiFields[sftModifyLSN], -1);
  EXPECT_EQ(sfi->sfiOffsets[sftAutoInc], -1);
  sfi->sfiBlobFields = {2, 5};

  TmvCacheableInfo* ci = mvNewCacheableInfo();
  EXPECT_EQ(ci->ciSFI, nullptr);
  EXPECT_EQ(ci->ciBlobNrCounterIndex, -1);
  ci->ciSFI = mvAddRefSpecialFieldsInfo(sfi);
  EXPECT_EQ(sfi->sfiRefCount.load(), 2);
  mvReleaseCacheableInfo(ci);  // drops its reference on the special-fields info
  EXPECT_EQ(ci, nullptr);
  EXPECT_EQ(sfi->sfiRefCount.load(), 1);

  TmvSpecialFieldsInfo* empty = nullptr;
  mvReleaseSpecialFieldsInfo(empty);  // nothing held: nothing happens
  EXPECT_EQ(empty, nullptr);
  EXPECT_EQ(mvAddRefSpecialFieldsInfo(nullptr), nullptr);
  mvReleaseSpecialFieldsInfo(sfi);
  EXPECT_EQ(sfi, nullptr);
}

TEST(SharedInfos, RacingReleasesOfOneVariableReleaseOnce) {
  for (int round = 0; round < 200; ++round) {
    TmvSpecialFieldsInfo* sfi = mvNewSpecialFieldsInfo();
    TmvSpecialFieldsInfo* shared = mvAddRefSpecialFieldsInfo(sfi);  // count 2
    std::thread t1([&] { mvReleaseSpecialFieldsInfo(shared); });
    std::thread t2([&] { mvReleaseSpecialFieldsInfo(shared); });
    t1.join();
    t2.join();
    ASSERT_EQ(sfi->sfiRefCount.load(), 1);
    mvReleaseSpecialFieldsInfo(sfi);
  }
}

TEST(DiffCompressor, SizesFromRecordLength) {
  struct Case {
    int32_t length;
    uint16_t source, bitBytes, bitWords, target;
  } cases[] = {{10, 3, 4, 1, 2}, {1, 1, 4, 1, 0}, {256, 64, 8, 2, 62}, {65535, 16384, 2048, 512, 15872}};
  for (const auto& c : cases) {
    TmvDiffCompressorInfo* info = mvNewDiffCompressorInfo(c.length);
    EXPECT_EQ(info->dciSourceWord32Count, c.source) << c.length;
    EXPECT_EQ(info->dciBitsLengthByte8s, c.bitBytes) << c.length;
    EXPECT_EQ(info->dciBitsLengthWord32s, c.bitWords) << c.length;
    EXPECT_EQ(info->dciTargetWord32Count, c.target) << c.length;
    EXPECT_EQ(info->dciRefCount.load(), 1);
    mvReleaseDiffCompressorInfo(info);
  }
  EXPECT_THROW(mvNewDiffCompressorInfo(0), EAssertionFailed);
  EXPECT_THROW(mvNewDiffCompressorInfo(65536), EAssertionFailed);
}

TEST(DiffCompressor, RequiredBitsAndExpansion) {
  // 40 words: the bit set spans two bytes. Records of 158 bytes: the last
  // word is partial and must not be read or written past the record.
  constexpr int32_t len = 158;
  TmvDiffCompressorInfo* info = mvNewDiffCompressorInfo(len);
  ASSERT_EQ(info->dciSourceWord32Count, 40);
  std::vector<uint8_t> a(len), b(len);
  for (int i = 0; i < len; ++i) a[i] = b[i] = static_cast<uint8_t>(i);
  b[1] ^= 1;    // word 0
  b[37] ^= 1;   // word 9
  b[157] ^= 1;  // word 39, the partial one
  mvDiffCompressorSetRequired(*info, a.data(), b.data());
  EXPECT_EQ(info->dciRequiredBits[0], (1u << 0) | (1u << 9));
  EXPECT_EQ(info->dciRequiredBits[1], 1u << 7);

  // Difference: the bit set, then the changed words of b in ascending order.
  std::vector<uint8_t> diff(info->dciBitsLengthByte8s);
  memcpy(diff.data(), info->dciRequiredBits, diff.size());
  for (int w : {0, 9, 39}) {
    uint8_t word[4] = {};
    memcpy(word, b.data() + 4 * w, std::min(4, len - 4 * w));
    diff.insert(diff.end(), word, word + 4);
  }
  std::vector<uint8_t> target(len + 2, 0xEE);
  mvDiffExpandRecord(*info, a.data(), diff.data(), target.data());
  EXPECT_TRUE(std::equal(b.begin(), b.end(), target.begin()));
  EXPECT_EQ(target[len], 0xEE);  // nothing written past the record
  EXPECT_EQ(target[len + 1], 0xEE);
  mvReleaseDiffCompressorInfo(info);
}

}  // namespace
