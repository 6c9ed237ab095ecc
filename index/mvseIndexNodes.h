// Index engines: the node format of the B*-tree index files, the sizes a
// key length gives, and the node reader.
//
// Every node of every index is one block of the index file with the
// signature "MVIH" and a 40-byte header (little-endian):
//
// | offset | size | field            | meaning                                    |
// |      0 |    4 | bchSignature     | "MVIH"                                     |
// |      4 |    4 | bchThisBlock     | the block's own number                     |
// |      8 |    8 | bchLSN           | LSN of the transaction that last changed it |
// |     16 |    8 | inhIdentCounter  | change counter (below)                     |
// |     24 |    4 | inhPrevNode      | previous leaf in key order; -1 none        |
// |     28 |    4 | inhNextNode      | next leaf in key order; -1 none            |
// |     32 |    2 | inhFirstSlot     | slot of the first used entry               |
// |     34 |    2 | inhKeyCount      | number of entries                          |
// |     36 |    1 | inhNodeType      | 1 internal, 2 leaf, 0 the index header     |
// |     37 |    1 | inhIndexNumber   | low byte of the index's number             |
// |     38 |    2 | -                | not used                                   |
//
// An internal node (pair size P = separator + 4) holds child pointer i at
// 40 + i * P (i = 0 .. count) and separator i at 44 + i * P (i < count):
// P0 K0 P1 K1 ... Pn. Separator Ki is a copy of the last entry under Pi
// (key, then the entry's RefNr when the index adds references to keys).
// A leaf holds entry i at 40 + i * (leaf pair): the key, then its 8-byte
// RefNr (none when the keys are references themselves); the used entries
// are the window first .. first + count - 1, free slots lie on both sides.
// Leaves form a doubly linked list in key order; internal nodes keep -1.
//
// The ident counter rises by one whenever the node is read for
// modification; a new node starts with the low 32 bits 0 and the high 32
// bits (random 0..65534) << 16 | the low 16 bits of the creating
// transaction's LSN. A path that remembers a leaf's counter and LSN knows
// from equal values that the leaf has not changed since.
//
// Layer: index engines; calls the block accesses and transactions of table
// storage. Threading: as the block cache; no state of its own.
#pragma once

#include <cstdint>

#include "storage/cache/mvsrBlockAccess.h"
#include "storage/indices/mvseIndexEngine.h"
#include "storage/mvsrTypes.h"

inline constexpr TmvBlockSignature mvIndexNodeSignature{'M', 'V', 'I', 'H'};

inline constexpr uint32_t mvInhIdentCounterOffset = 16;
inline constexpr uint32_t mvInhPrevNodeOffset = 24;
inline constexpr uint32_t mvInhNextNodeOffset = 28;
inline constexpr uint32_t mvInhFirstSlotOffset = 32;
inline constexpr uint32_t mvInhKeyCountOffset = 34;
inline constexpr uint32_t mvInhNodeTypeOffset = 36;
inline constexpr uint32_t mvInhIndexNumberOffset = 37;
inline constexpr uint32_t mvIndexNodeHeaderSize = 40;

enum TmvIndexNodeType : uint8_t { intHeader = 0, intInternal = 1, intLeaf = 2 };

// The header fields of a node in memory.
inline uint64_t mvInhIdentCounter(const uint8_t* aNode) { return mvGetU64(aNode, mvInhIdentCounterOffset); }
inline void mvSetInhIdentCounter(uint8_t* aNode, uint64_t aValue) { mvPutU64(aNode, mvInhIdentCounterOffset, aValue); }
inline TmvBlockNumber mvInhPrevNode(const uint8_t* aNode) { return mvGetU32(aNode, mvInhPrevNodeOffset); }
inline void mvSetInhPrevNode(uint8_t* aNode, TmvBlockNumber aValue) { mvPutU32(aNode, mvInhPrevNodeOffset, aValue); }
inline TmvBlockNumber mvInhNextNode(const uint8_t* aNode) { return mvGetU32(aNode, mvInhNextNodeOffset); }
inline void mvSetInhNextNode(uint8_t* aNode, TmvBlockNumber aValue) { mvPutU32(aNode, mvInhNextNodeOffset, aValue); }
inline uint16_t mvInhFirstSlot(const uint8_t* aNode) { return mvGetU16(aNode, mvInhFirstSlotOffset); }
inline void mvSetInhFirstSlot(uint8_t* aNode, uint16_t aValue) { mvPutU16(aNode, mvInhFirstSlotOffset, aValue); }
inline uint16_t mvInhKeyCount(const uint8_t* aNode) { return mvGetU16(aNode, mvInhKeyCountOffset); }
inline void mvSetInhKeyCount(uint8_t* aNode, uint16_t aValue) { mvPutU16(aNode, mvInhKeyCountOffset, aValue); }
inline uint8_t mvInhNodeType(const uint8_t* aNode) { return aNode[mvInhNodeTypeOffset]; }
inline uint8_t mvInhIndexNumber(const uint8_t* aNode) { return aNode[mvInhIndexNumberOffset]; }

// The ident counter of a new node of a transaction with aLSN.
uint64_t mvNewIdentCounter(TmvLSN aLSN);

// What a key length gives inside a node (all sizes in bytes).
struct TmvIndexNodeGeometry {
  uint16_t DescKeyLength;   // a key's room: rounded up to 4 above 32 bytes
  uint16_t NodeKeyLength;   // a separator: the key, plus 8 with references
  bool AddKeyRefsToKeys;
  bool KeysAreRefs;
  uint16_t InternalPair;    // separator + child pointer
  uint16_t LeafPair;        // key + RefNr (the key alone for reference keys)
  uint16_t MaxInternalKeys;
  uint16_t MaxLeafKeys;
};
// The geometry of keys of aKeyLength bytes in blocks of aUsableBytes.
// Requires: the counts fit 16 bits (keys and blocks of the engine's sizes).
TmvIndexNodeGeometry mvIndexNodeGeometry(uint32_t aKeyLength, bool aAddKeyRefsToKeys, bool aKeysAreRefs,
                                         uint32_t aUsableBytes);
// The smallest usable block that holds an internal node of four separators
// and a leaf of three entries.
uint32_t mvIndexMinimumUsableBytes(uint32_t aKeyLength, bool aAddKeyRefsToKeys, bool aKeysAreRefs);

// Reads node aBlockNumber of an index file for aTrans (nil outside a
// transaction), modifiable when aForModify, checked against aOwnerID; the
// caller releases it with aRelease. A block number outside the file as the
// transaction sees it (block 0 included) raises 15409 "Block number is
// either < 0, or >= number of blocks in file [<file>, block <n>]"; a block
// without the signature or of another number 15424 "Block just read from
// file is not a valid index block [<file>, block <n>]"; nothing is held
// then. A block read for modification counts one more change.
uint8_t* mvReadIndexNode(TmvBaseTransaction* aTrans, TmvBlockAccess* aFile, int32_t aOwnerID,
                         TmvReleaseMethod& aRelease, TmvBlockNumber aBlockNumber, bool aForModify);

// Whether an index block was written by a commit that did not complete: its
// LSN is newer than the file's block 0 (which a commit stamps, and writes
// after every other block) and not one of aTrans's own changes. Blocks of
// temporary files, whose block 0 no commit stamps, never are. aHeader is a
// header access of the block's file view.
bool mvIndexBlockFromUnfinishedCommit(const uint8_t* aBlock, TmvBaseTransaction* aTrans, TmvBlockAccess* aFile,
                                      TmvBaseFileHeaderAccess* aHeader);

// The two refusals of the reader, for the checks the engines add.
[[noreturn]] void mvRaiseInvalidIndexBlockNumber(TmvBlockAccess* aFile, TmvBlockNumber aBlockNumber);
[[noreturn]] void mvRaiseNotAnIndexBlock(TmvBlockAccess* aFile, TmvBlockNumber aBlockNumber);
