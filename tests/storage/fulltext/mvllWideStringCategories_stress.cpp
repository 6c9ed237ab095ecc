// Stress test of the character category table: every byte of the table the
// library carries flipped in turn (about 22,000 loads). Each load either
// succeeds or raises 8962; none reads outside the bytes or runs away.
#include <gtest/gtest.h>

#include "foundation/errors/mvllErrors.h"
#include "storage/fulltext/mvllWideStringCategories.h"
#include "storage/mvsrUnits.h"

namespace {

TEST(CharacterCategoriesStress, EachByteFlippedLoadsOrFailsCleanly) {
  mvStorageInit();
  std::vector<uint8_t> bytes(mvCharacterCategoryData, mvCharacterCategoryData + mvCharacterCategoryDataSize);
  TmvCharacterCategoryTable table;
  int failed = 0, loaded = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] ^= 0xFF;
    try {
      table.Load(bytes.data(), bytes.size());
      ++loaded;
    } catch (const EmvCharacterCategoriesException& e) {
      ASSERT_EQ(e.ErrorCode(), uint32_t(MVERR_FILECORRUPT)) << i;
      ++failed;
    }
    bytes[i] ^= 0xFF;
  }
  EXPECT_GT(failed, 0);
  EXPECT_GT(loaded, 0);
  mvStorageFini();
}

}  // namespace
