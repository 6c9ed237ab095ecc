// Tests of bookmarks: the layout and its checksum, the refusals (damaged,
// foreign, short), the order of positions around a key, and the variant
// form.
#include "storage/records/mvseBookmarks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "foundation/errors/mvllErrors.h"
#include "storage/mvsrTypes.h"
#include "storage/mvsrUnits.h"

namespace {

TmvRefNr Ref(uint32_t aBlock, uint32_t aSlot) { return TmvRefNr(uint64_t(aBlock) << 32 | aSlot); }

// A 64-bit key stored big-endian; its variant is the number.
class TNumberKeyEngine : public TmvBaseKeyEngine {
 public:
  using TmvBaseKeyEngine::TmvBaseKeyEngine;
  void ClearKey(void* aKey) override { std::memset(aKey, 0, bkeKeyLength); }
  uint32_t BuildKey(const void*, void*, TmvRefNr, bool) override { return 0; }
  int8_t CompareKey(const void* a, const void* b, int32_t, int32_t) override {
    const int c = std::memcmp(a, b, bkeKeyLength);
    return int8_t(c < 0 ? -1 : c > 0 ? 1 : 0);
  }
  String KeyAsString(const void*) override { return u""; }
  Variant KeyAsVariant(const void* aKey, int32_t) override { return Variant(static_cast<long long>(Value(aKey))); }
  void KeyAsExceptionData(const void*, ImvExceptionDataContainer*) override {}
  int32_t GetMaxFieldCount() override { return 1; }
  static std::vector<uint8_t> Key(uint64_t aValue) {
    std::vector<uint8_t> key(8);
    for (int i = 7; i >= 0; --i, aValue >>= 8) key[size_t(i)] = uint8_t(aValue);
    return key;
  }

 private:
  static uint64_t Value(const void* aKey) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | static_cast<const uint8_t*>(aKey)[i];
    return v;
  }
};

class Bookmarks : public ::testing::Test {
 protected:
  void SetUp() override { mvStorageInit(); }
  void TearDown() override { mvStorageFini(); }
  std::vector<uint8_t> Mark(const TmvBookmarkHandler& aHandler, TmvIndexPathPosition aPosition, uint64_t aKey,
                            TmvRefNr aRef, bool aKeyValid = true) {
    std::vector<uint8_t> b(aHandler.BookmarkSize());
    const std::vector<uint8_t> key = TNumberKeyEngine::Key(aKey);
    aHandler.WriteBookmark(b.data(), aPosition, aKeyValid, false, aRef, key.data());
    return b;
  }
  int32_t Compare(const TmvBookmarkHandler& aHandler, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    int32_t result = 99;
    EXPECT_EQ(aHandler.CompareBookmarks(a.data(), b.data(), uint32_t(a.size()), result), 0);
    return result;
  }
  TmvInt64KeyDescriptor descriptor{nullptr};
  TNumberKeyEngine keys{&descriptor};
};

TEST_F(Bookmarks, LayoutAndChecksumOfAKeyBookmark) {
  TmvBookmarkHandler handler(2, &keys);
  ASSERT_EQ(handler.BookmarkSize(), 32u);
  std::vector<uint8_t> b = Mark(handler, ippOnKey, 0x0102, Ref(5, 3));
  EXPECT_EQ(mvGetU32(b.data(), 4), 2u);
  EXPECT_EQ(b[8], ippOnKey);
  EXPECT_EQ(b[9], 1);
  EXPECT_EQ(b[10], 0);
  EXPECT_EQ(b[11], 0);
  EXPECT_EQ(mvGetU64(b.data(), 12), uint64_t(Ref(5, 3)));
  EXPECT_EQ(mvGetU32(b.data(), 20), 8u);
  EXPECT_EQ(b[30], 1);
  EXPECT_EQ(b[31], 2);
  EXPECT_EQ(mvGetU32(b.data(), 0), mvElfHash(b.data() + 4, 28));
  EXPECT_EQ(handler.CheckBookmark(b.data(), 32), 0);
  // The hash itself: "abc" by hand (97, 97 * 16 + 98, 1650 * 16 + 99), and
  // eight 0xFF bytes, where the high nibble folds back.
  EXPECT_EQ(mvElfHash(reinterpret_cast<const uint8_t*>("abc"), 3), 26499u);
  const std::vector<uint8_t> ones(8, 0xFF);
  EXPECT_EQ(mvElfHash(ones.data(), 8), 4335u);
}

TEST_F(Bookmarks, DamagedForeignAndShortBookmarksAreRefused) {
  TmvBookmarkHandler two(2, &keys), three(3, &keys);
  TmvBookmarkHandler* shared = TmvBookmarkHandler::Shared();
  ASSERT_NE(shared, nullptr);
  std::vector<uint8_t> b = Mark(two, ippOnKey, 7, Ref(1, 1));
  for (size_t at = 0; at < b.size(); ++at) {
    std::vector<uint8_t> damaged = b;
    damaged[at] ^= 0x10;
    EXPECT_EQ(two.CheckBookmark(damaged.data(), 32), MVERR_BOOKMARKSMISMATCH) << at;
  }
  EXPECT_EQ(three.CheckBookmark(b.data(), 32), MVERR_BOOKMARKSMISMATCH);
  EXPECT_EQ(shared->CheckBookmark(b.data(), 32), MVERR_BOOKMARKSMISMATCH);
  EXPECT_EQ(two.CheckBookmark(b.data(), 31), MVERR_BOOKMARKSMISMATCH);
  EXPECT_EQ(two.CheckBookmark(nullptr, 32), MVERR_BOOKMARKSMISMATCH);
  // A reference-only bookmark is refused below 24 bytes, and a short buffer
  // is not read (the sanitizers would see it).
  std::vector<uint8_t> r(24);
  shared->WriteBookmark(r.data(), ippOnKey, false, false, Ref(5, 3), nullptr);
  EXPECT_EQ(shared->CheckBookmark(r.data(), 24), 0);
  EXPECT_EQ(two.CheckBookmark(r.data(), 24), MVERR_BOOKMARKSMISMATCH);
  for (uint32_t size : {0u, 4u, 12u, 23u}) {
    std::vector<uint8_t> shortOne(r.begin(), r.begin() + size);
    Variant v;
    EXPECT_EQ(shared->CheckBookmark(shortOne.data(), size), MVERR_BOOKMARKSMISMATCH) << size;
    EXPECT_EQ(shared->BookmarkAsVariant(shortOne.data(), size, v), MVERR_BOOKMARKSMISMATCH) << size;
    int32_t c;
    EXPECT_EQ(shared->CompareBookmarks(shortOne.data(), r.data(), size, c), MVERR_BOOKMARKSMISMATCH) << size;
  }
}

TEST_F(Bookmarks, PositionsOrderByEndsKeysReferencesAndCracks) {
  TmvBookmarkHandler h(0, &keys);
  const auto bof = Mark(h, ippBof, 0, 0), eof = Mark(h, ippEof, 0, 0);
  const auto before = Mark(h, ippOnCrackBefore, 5, Ref(1, 1)), on = Mark(h, ippOnKey, 5, Ref(1, 1));
  const auto after = Mark(h, ippOnCrackAfter, 5, Ref(1, 1)), nextRef = Mark(h, ippOnCrackBefore, 5, Ref(1, 2));
  const auto bigger = Mark(h, ippOnCrackBefore, 6, Ref(0, 1));
  const std::vector<const std::vector<uint8_t>*> ordered{&bof, &before, &on, &after, &nextRef, &bigger, &eof};
  for (size_t i = 0; i < ordered.size(); ++i)
    for (size_t j = 0; j < ordered.size(); ++j)
      EXPECT_EQ(Compare(h, *ordered[i], *ordered[j]), i < j ? -1 : (i > j ? 1 : 0)) << i << " vs " << j;
  int32_t c;
  const auto unknown = Mark(h, ippUnknown, 5, Ref(1, 1)), noKey = Mark(h, ippOnKey, 5, Ref(1, 1), false);
  EXPECT_EQ(h.CompareBookmarks(unknown.data(), on.data(), 32, c), MVERR_BOOKMARKSMISMATCH);
  EXPECT_EQ(h.CompareBookmarks(on.data(), unknown.data(), 32, c), MVERR_BOOKMARKSMISMATCH);
  EXPECT_EQ(h.CompareBookmarks(on.data(), noKey.data(), 32, c), MVERR_BOOKMARKSMISMATCH);
  keys.bkeNLSVersionChanged = true;
  EXPECT_EQ(h.CompareBookmarks(on.data(), after.data(), 32, c), MVERR_NOTSUPPORTED);
}

TEST_F(Bookmarks, VariantFormIsNullAtTheEndsTheReferenceOrTheKey) {
  TmvBookmarkHandler* shared = TmvBookmarkHandler::Shared();
  std::vector<uint8_t> r(24);
  shared->WriteBookmark(r.data(), ippOnKey, false, false, Ref(5, 3), nullptr);
  Variant v;
  ASSERT_EQ(shared->BookmarkAsVariant(r.data(), 24, v), 0);
  EXPECT_EQ(v.AsInt64(), 21474836483);
  shared->WriteBookmark(r.data(), ippBof, false, false, 0, nullptr);
  ASSERT_EQ(shared->BookmarkAsVariant(r.data(), 24, v), 0);
  EXPECT_TRUE(v.IsNull());
  shared->WriteBookmark(r.data(), ippUnknown, false, false, 0, nullptr);
  EXPECT_EQ(shared->BookmarkAsVariant(r.data(), 24, v), MVERR_BOOKMARKSMISMATCH);
  TmvBookmarkHandler h(1, &keys);
  EXPECT_EQ(h.BookmarkAsVariant(Mark(h, ippOnCrackAfter, 77, Ref(1, 1)).data(), 32, v), 0);
  EXPECT_EQ(v.AsInt64(), 77);
  EXPECT_EQ(h.BookmarkAsVariant(Mark(h, ippOnKey, 77, Ref(1, 1), false).data(), 32, v), MVERR_BOOKMARKSMISMATCH);
}

}  // namespace
