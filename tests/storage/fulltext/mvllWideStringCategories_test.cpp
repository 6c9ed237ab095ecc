// Tests of the character categories: the generated table answers the
// known characters, damaged tables load or fail cleanly, and many threads
// asking at once load the table once.
#include "storage/fulltext/mvllWideStringCategories.h"

#include <gtest/gtest.h>

#include <thread>

#include "foundation/errors/mvllErrors.h"
#include "storage/mvsrUnits.h"

namespace {

class CharacterCategories : public ::testing::Test {
 protected:
  void SetUp() override { mvStorageInit(); }
  void TearDown() override { mvStorageFini(); }
};

TEST_F(CharacterCategories, KnownCharactersHaveTheirCategories) {
  struct Case {
    char16_t c;
    std::initializer_list<TmvCharacterCategory> in, out;
  } cases[] = {
      {u' ', {ccSeparatorSpace, ccWhiteSpace, ccAssigned}, {ccLetterUppercase, ccComposed}},
      {u'A', {ccLetterUppercase, ccLeftToRight, ccAssigned}, {ccLetterLowercase, ccWhiteSpace}},
      {u'\n', {ccSeparatorParagraph, ccOtherControl, ccAssigned}, {ccWhiteSpace}},
      {u'\u0300', {ccMarkNonSpacing, ccAssigned}, {ccLeftToRight}},
      {u'\u00C0', {ccComposed, ccLetterUppercase}, {}},
      {u'\u00A0', {ccComposed, ccSeparatorSpace}, {}},
      {u'\uFF0C', {ccComposed}, {}},
      {0xD800, {ccOtherSurrogate, ccAssigned}, {}},
      {0xE000, {ccOtherPrivate, ccAssigned}, {}},
      {u'\u2E80', {ccAssigned, ccSymbolOther}, {}},
      {u'\u03F4', {}, {ccAssigned, ccLetterUppercase}},  // Unicode 3.1
      {u'\u0660', {ccNumberDecimalDigit, ccArabicNumber}, {}},
  };
  for (const Case& c : cases) {
    for (TmvCharacterCategory cat : c.in) {
      EXPECT_TRUE(mvCharInCategories(c.c, mvCategoriesOf({cat}))) << int(c.c) << " " << int(cat);
    }
    for (TmvCharacterCategory cat : c.out) {
      EXPECT_FALSE(mvCharInCategories(c.c, mvCategoriesOf({cat}))) << int(c.c) << " " << int(cat);
    }
  }
}

TEST_F(CharacterCategories, EmptyPagesAndUnfilledCategoriesAnswerNo) {
  const TmvCharacterCategories never =
      mvCategoriesOf({ccOtherUnassigned, ccNonBreaking, ccSymmetric, ccHexDigit, ccQuotationMark, ccMirroring,
                      ccSpaceOther});
  for (uint32_t c = 0; c <= 0xFFFF; ++c) {
    ASSERT_FALSE(mvCharInCategories(char16_t(c), never)) << c;
    ASSERT_FALSE(mvCharInCategories(char16_t(c), 0)) << c;
    if (c >= 0x0800 && c <= 0x08FF) {
      ASSERT_FALSE(mvCharInCategories(char16_t(c), mvAllCharacterCategories)) << c;
    }
  }
}

// Bytes of the table flipped one at a time: each load either succeeds or
// raises 8962, never reads outside the bytes or runs away. Here the bytes
// where damage changes the table's structure (every record's ordinal and
// count, its first and last range) and every 29th byte besides; the stress
// suite flips every byte.
TEST_F(CharacterCategories, FlippedBytesLoadOrFailCleanly) {
  std::vector<uint8_t> bytes(mvCharacterCategoryData, mvCharacterCategoryData + mvCharacterCategoryDataSize);
  std::vector<bool> flip(bytes.size(), false);
  for (size_t pos = 0; pos + 5 <= bytes.size();) {
    const uint32_t count = bytes[pos + 1] | bytes[pos + 2] << 8 | bytes[pos + 3] << 16 | uint32_t(bytes[pos + 4]) << 24;
    const size_t end = pos + 5 + 8 * size_t(count);
    ASSERT_LE(end, bytes.size());
    for (size_t i = pos; i < pos + 13 && i < end; ++i) flip[i] = true;  // header and first range
    for (size_t i = end - 8; i < end; ++i) flip[i] = true;              // last range
    pos = end;
  }
  for (size_t i = 0; i < bytes.size(); i += 29) flip[i] = true;
  TmvCharacterCategoryTable table;
  int failed = 0, loaded = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (!flip[i]) continue;
    bytes[i] ^= 0xFF;
    try {
      table.Load(bytes.data(), bytes.size());
      ++loaded;
    } catch (const EmvCharacterCategoriesException& e) {
      ASSERT_EQ(e.ErrorCode(), uint32_t(MVERR_FILECORRUPT));
      ++failed;
    }
    bytes[i] ^= 0xFF;
  }
  EXPECT_GT(failed, 0);
  EXPECT_GT(loaded, 0);
}

TEST_F(CharacterCategories, DamagedRecordsAreSkippedClampedOrRefused) {
  // 60: no such category; 9: a range past the last code point and one
  // turned around; then a record cut short.
  const uint8_t skipped[] = {60, 1, 0, 0, 0, 0x20, 0, 0, 0, 0x20, 0, 0, 0,
                             9,  2, 0, 0, 0, 0xFE, 0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 5, 0, 0, 0, 1, 0, 0, 0};
  TmvCharacterCategoryTable table;
  table.Load(skipped, sizeof skipped);
  EXPECT_EQ(table.SkippedRecords(), 1);
  EXPECT_TRUE(table.Contains(0xFFFF, mvCategoriesOf({ccSeparatorSpace})));
  EXPECT_FALSE(table.Contains(0x0020, mvAllCharacterCategories));
  EXPECT_EQ(table.Ranges(ccSeparatorSpace)[0].rngStop, 0x10FFFF);
  const uint8_t cut[] = {9, 2, 0, 0, 0, 0x20, 0, 0, 0, 0x20, 0, 0, 0, 0x21};
  EXPECT_THROW(table.Load(cut, sizeof cut), EmvCharacterCategoriesException);
  EXPECT_FALSE(table.Contains(0x0020, mvAllCharacterCategories));  // a failed load leaves nothing
}

TEST_F(CharacterCategories, SixteenThreadsLoadOnce) {
  mvUnloadCharacterCategories();
  const uint32_t before = mvCharacterCategoryLoadCount();
  std::atomic<int> ready{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i)
    threads.emplace_back([&] {
      ++ready;
      while (ready.load() < 16) std::this_thread::yield();
      if (!mvCharInCategories(u'A', mvCategoriesOf({ccLetterUppercase}))) ++wrong;
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(mvCharacterCategoryLoadCount(), before + 1);
}

}  // namespace
