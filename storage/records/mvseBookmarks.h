// Storage engines: bookmarks, the opaque positions a cursor hands to its
// client and takes back later (unit mvseBookmarks).
//
// A bookmark records which index it belongs to, where the index path stood,
// the record reference and the key. It crosses the engine boundary and is
// compared by the engine, so its layout is fixed (little-endian):
//
// | offset | size | field                                                    |
// |      0 |    4 | checksum: ELF hash of bytes 4 .. 24 + L - 1              |
// |      4 |    4 | index ID (i32): the index number, -1 without key engine  |
// |      8 |    1 | position (TmvIndexPathPosition)                          |
// |      9 |    1 | key valid (0/1)                                          |
// |     10 |    1 | deleted (0/1)                                            |
// |     11 |    1 | reserved, 0                                              |
// |     12 |    8 | record reference, or the cache reference                 |
// |     20 |    4 | key length L (u32; 0 without key engine)                 |
// |     24 |    L | key bytes (cleared by the key engine when not valid)     |
//
// Every index engine owns one handler; one process-wide handler without a
// key engine (index ID -1) serves reference-only positions. Every check
// answers an error code; nothing here raises. A handler is read-only once
// made (but for its index ID, which the indices engine lowers when an
// earlier index goes) and may be used from any thread.
// Calls the foundation and the key engine interface.
#pragma once

#include <cstdint>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/types/mvsdTypes.h"
#include "platform/Variants.h"

class TmvBaseKeyEngine;

// Offsets of the bookmark's fields (table above).
inline constexpr uint32_t mvBookmarkChecksumOffset = 0;
inline constexpr uint32_t mvBookmarkIndexIDOffset = 4;
inline constexpr uint32_t mvBookmarkPositionOffset = 8;
inline constexpr uint32_t mvBookmarkKeyValidOffset = 9;
inline constexpr uint32_t mvBookmarkDeletedOffset = 10;
inline constexpr uint32_t mvBookmarkRefNrOffset = 12;
inline constexpr uint32_t mvBookmarkKeyLengthOffset = 20;
inline constexpr uint32_t mvBookmarkHeaderSize = 24;

// The ELF (PJW) hash of aSize bytes.
uint32_t mvElfHash(const uint8_t* aData, uint32_t aSize);

class TmvBookmarkHandler : public TmvObject {
 public:
  // aKeyEngine is not owned and must outlive the handler; nil makes a
  // reference-only handler.
  TmvBookmarkHandler(int32_t aIndexID, TmvBaseKeyEngine* aKeyEngine);

  // 24 + the key length; 24 without a key engine.
  uint32_t BookmarkSize() const;
  // Fills aBookmark (BookmarkSize bytes, which the caller guarantees): the
  // fixed part, the key (cleared when not valid, nothing without a key
  // engine) and the checksum last.
  void WriteBookmark(uint8_t* aBookmark, TmvIndexPathPosition aPosition, bool aKeyValid, bool aDeleted,
                     TmvRefNr aRefNr, const void* aKey) const;
  // 0, or 10021 "Bookmarks do not match table." for a nil bookmark, one
  // shorter than BookmarkSize (also without a key engine), another index,
  // another key length, or a wrong checksum.
  int32_t CheckBookmark(const uint8_t* aBookmark, uint32_t aSize) const;
  // Checks both, then orders them: ends first, then keys, references, and
  // the cracks around a key. 10021 for unknown positions or invalid keys;
  // 12289 when the key engine's locale sorts otherwise than when the index
  // was built.
  int32_t CompareBookmarks(const uint8_t* aBookmark1, const uint8_t* aBookmark2, uint32_t aSize,
                           int32_t& aCompResult) const;
  // Null at either end; the reference as a 64-bit integer without a key
  // engine; with one, every key field when the key is valid. 10021 for an
  // unknown position, an invalid key or a bookmark that fails the check.
  int32_t BookmarkAsVariant(const uint8_t* aBookmark, uint32_t aSize, Variant& aVariant) const;

  int32_t IndexID() const { return bmhIndexID; }
  void SetIndexID(int32_t aValue) { bmhIndexID = aValue; }
  TmvBaseKeyEngine* KeyEngine() const { return bmhKeyEngine; }

  // The process-wide reference-only handler (nil outside the storage units).
  static TmvBookmarkHandler* Shared();

  // Read helpers of a bookmark that passed CheckBookmark.
  static TmvIndexPathPosition Position(const uint8_t* aBookmark);
  static bool KeyValid(const uint8_t* aBookmark);
  static bool Deleted(const uint8_t* aBookmark);
  static TmvRefNr RefNr(const uint8_t* aBookmark);
  static const uint8_t* Key(const uint8_t* aBookmark) { return aBookmark + mvBookmarkHeaderSize; }

 private:
  uint32_t KeyLength() const;
  int32_t CompareKeys(const uint8_t* aBookmark1, const uint8_t* aBookmark2, int32_t& aCompResult) const;

  int32_t bmhIndexID;
  TmvBaseKeyEngine* bmhKeyEngine;
};

// Create and free the shared reference-only handler.
void mvseBookmarksInit();
void mvseBookmarksFini();
