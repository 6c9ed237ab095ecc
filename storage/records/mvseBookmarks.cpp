// Storage engines: bookmarks. See mvseBookmarks.h.
#include "storage/records/mvseBookmarks.h"

#include <atomic>
#include <cstring>

#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "foundation/errors/mvllErrors.h"
#include "storage/mvsrTypes.h"

uint32_t mvElfHash(const uint8_t* aData, uint32_t aSize) {
  uint32_t h = 0;
  for (uint32_t i = 0; i < aSize; ++i) {
    h = (h << 4) + aData[i];
    const uint32_t g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

namespace {

std::atomic<TmvBookmarkHandler*> gSharedHandler{nullptr};

// The checksum covers everything after itself.
uint32_t BookmarkChecksum(const uint8_t* aBookmark, uint32_t aKeyLength) {
  return mvElfHash(aBookmark + 4, mvBookmarkHeaderSize - 4 + aKeyLength);
}

int32_t Sign(int64_t a, int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

}  // namespace

TmvBookmarkHandler::TmvBookmarkHandler(int32_t aIndexID, TmvBaseKeyEngine* aKeyEngine)
    : bmhIndexID(aIndexID), bmhKeyEngine(aKeyEngine) {}

uint32_t TmvBookmarkHandler::KeyLength() const { return bmhKeyEngine ? bmhKeyEngine->bkeKeyLength : 0; }

uint32_t TmvBookmarkHandler::BookmarkSize() const { return mvBookmarkHeaderSize + KeyLength(); }

void TmvBookmarkHandler::WriteBookmark(uint8_t* aBookmark, TmvIndexPathPosition aPosition, bool aKeyValid,
                                       bool aDeleted, TmvRefNr aRefNr, const void* aKey) const {
  std::memset(aBookmark, 0, mvBookmarkHeaderSize);
  mvPutU32(aBookmark, mvBookmarkIndexIDOffset, static_cast<uint32_t>(bmhIndexID));
  aBookmark[mvBookmarkPositionOffset] = aPosition;
  aBookmark[mvBookmarkKeyValidOffset] = aKeyValid ? 1 : 0;
  aBookmark[mvBookmarkDeletedOffset] = aDeleted ? 1 : 0;
  mvPutU64(aBookmark, mvBookmarkRefNrOffset, static_cast<uint64_t>(aRefNr));
  const uint32_t keyLength = KeyLength();
  mvPutU32(aBookmark, mvBookmarkKeyLengthOffset, keyLength);
  if (bmhKeyEngine) {
    uint8_t* key = aBookmark + mvBookmarkHeaderSize;
    if (aKeyValid && aKey) bmhKeyEngine->CopyKey(aKey, key);
    else bmhKeyEngine->ClearKey(key);
  }
  mvPutU32(aBookmark, mvBookmarkChecksumOffset, BookmarkChecksum(aBookmark, keyLength));
}

int32_t TmvBookmarkHandler::CheckBookmark(const uint8_t* aBookmark, uint32_t aSize) const {
  // The size is checked before anything is read, with or without a key
  // engine: a short buffer from a client must not be read past its end.
  const uint32_t keyLength = KeyLength();
  if (!aBookmark || aSize < mvBookmarkHeaderSize + keyLength) return MVERR_BOOKMARKSMISMATCH;
  if (static_cast<int32_t>(mvGetU32(aBookmark, mvBookmarkIndexIDOffset)) != (bmhKeyEngine ? bmhIndexID : -1))
    return MVERR_BOOKMARKSMISMATCH;
  if (mvGetU32(aBookmark, mvBookmarkKeyLengthOffset) != keyLength) return MVERR_BOOKMARKSMISMATCH;
  if (mvGetU32(aBookmark, mvBookmarkChecksumOffset) != BookmarkChecksum(aBookmark, keyLength))
    return MVERR_BOOKMARKSMISMATCH;
  return 0;
}

TmvIndexPathPosition TmvBookmarkHandler::Position(const uint8_t* aBookmark) {
  return static_cast<TmvIndexPathPosition>(aBookmark[mvBookmarkPositionOffset]);
}
bool TmvBookmarkHandler::KeyValid(const uint8_t* aBookmark) { return aBookmark[mvBookmarkKeyValidOffset] != 0; }
bool TmvBookmarkHandler::Deleted(const uint8_t* aBookmark) { return aBookmark[mvBookmarkDeletedOffset] != 0; }
TmvRefNr TmvBookmarkHandler::RefNr(const uint8_t* aBookmark) {
  return static_cast<TmvRefNr>(mvGetU64(aBookmark, mvBookmarkRefNrOffset));
}

int32_t TmvBookmarkHandler::CompareKeys(const uint8_t* aBookmark1, const uint8_t* aBookmark2,
                                        int32_t& aCompResult) const {
  aCompResult = 0;
  if (!bmhKeyEngine) return 0;
  if (!KeyValid(aBookmark1) || !KeyValid(aBookmark2)) return MVERR_BOOKMARKSMISMATCH;
  if (bmhKeyEngine->bkeNLSVersionChanged) return MVERR_NOTSUPPORTED;
  aCompResult = bmhKeyEngine->CompareKey(Key(aBookmark1), Key(aBookmark2));
  return 0;
}

int32_t TmvBookmarkHandler::CompareBookmarks(const uint8_t* aBookmark1, const uint8_t* aBookmark2, uint32_t aSize,
                                             int32_t& aCompResult) const {
  aCompResult = 0;
  if (int32_t code = CheckBookmark(aBookmark1, aSize)) return code;
  if (int32_t code = CheckBookmark(aBookmark2, aSize)) return code;
  const TmvIndexPathPosition p1 = Position(aBookmark1);
  const TmvIndexPathPosition p2 = Position(aBookmark2);
  // 1. and 2. The ends and unknown positions.
  switch (p1) {
    case ippUnknown: return MVERR_BOOKMARKSMISMATCH;
    case ippBof: aCompResult = p2 == ippBof ? 0 : -1; return 0;
    case ippEof: aCompResult = p2 == ippEof ? 0 : 1; return 0;
    default: break;
  }
  switch (p2) {
    case ippUnknown: return MVERR_BOOKMARKSMISMATCH;
    case ippBof: aCompResult = 1; return 0;
    case ippEof: aCompResult = -1; return 0;
    default: break;
  }
  // 3. and 4. The keys, then the references.
  if (int32_t code = CompareKeys(aBookmark1, aBookmark2, aCompResult)) return code;
  if (aCompResult == 0) aCompResult = Sign(RefNr(aBookmark1), RefNr(aBookmark2));
  if (aCompResult != 0) return 0;
  // 5. Before a key's crack sorts first, after it last.
  if (p1 == ippOnCrackBefore) aCompResult = p2 == ippOnCrackBefore ? 0 : -1;
  else if (p1 == ippOnCrackAfter) aCompResult = p2 == ippOnCrackAfter ? 0 : 1;
  else if (p2 == ippOnCrackBefore) aCompResult = 1;
  else if (p2 == ippOnCrackAfter) aCompResult = -1;
  return 0;
}

int32_t TmvBookmarkHandler::BookmarkAsVariant(const uint8_t* aBookmark, uint32_t aSize, Variant& aVariant) const {
  aVariant.Clear();
  if (int32_t code = CheckBookmark(aBookmark, aSize)) return code;
  switch (Position(aBookmark)) {
    case ippUnknown: return MVERR_BOOKMARKSMISMATCH;
    case ippBof:
    case ippEof: aVariant = Variant::Null(); return 0;
    default: break;
  }
  if (!bmhKeyEngine) {
    aVariant = Variant(static_cast<long long>(RefNr(aBookmark)));
    return 0;
  }
  if (!KeyValid(aBookmark)) return MVERR_BOOKMARKSMISMATCH;
  aVariant = bmhKeyEngine->KeyAsVariant(Key(aBookmark), -1);
  return 0;
}

TmvBookmarkHandler* TmvBookmarkHandler::Shared() { return gSharedHandler.load(std::memory_order_acquire); }

void mvseBookmarksInit() {
  auto* handler = new TmvBookmarkHandler(-1, nullptr);
  TmvBookmarkHandler* expected = nullptr;
  if (!gSharedHandler.compare_exchange_strong(expected, handler)) delete handler;
}

void mvseBookmarksFini() { delete gSharedHandler.exchange(nullptr); }
