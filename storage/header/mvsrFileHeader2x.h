// Storage: version 2 of the table file header, "MV!2", the format of every
// new file (unit mvsrFileHeader2x).
//
// Version 2 stamps an owner ID on every block, keeps up to 20 free block
// numbers in block 0 and the rest in a chain of free-block map blocks, keeps
// a directory of named header sections that sub-engines register as they
// need them, and gives every nested table stored in the file a header block
// of its own, found through the section "SubHeaders" and its overflow chain.
// Everything read from these structures is checked before it is used as an
// offset, a count or a block number: a damaged file raises 8961 or 8962.
//
// Block 0, the fields of version 2 (the shared ones are in mvsrFileHeader.h;
// U = usable size, R = the encryption engine's header space):
//
// | offset    | size | field                                                 |
// |        17 |    2 | R: engine header plus table checksum; 0 unencrypted   |
// |        19 |    1 | reserved                                              |
// |        24 |    4 | first free-block map block, -1 = none                 |
// |        28 |    4 | entries in the free-block cache (0..20)               |
// |       104 |   80 | free-block cache: 20 block numbers, 0..count-1 valid  |
// |       184 |   72 | reserved (zero)                                       |
// |       256 |    2 | section top: offset of the lowest section so far      |
// |       258 |  ... | section directory, ended by a zero length byte        |
// | U - R - 1 |    R | the encryption engine's header; its table checksum    |
// |           |      | (C bytes) is the last C bytes of it                   |
// |     U - 1 |    1 | not used                                              |
//
// A directory entry: a length byte L, L name characters (single bytes),
// the u16 offset of the section's first byte. Sections are allocated
// downwards from the initial top (U - R - 1); a section's size is the
// previous top minus its offset. The directory grows upwards and ends at a
// zero length byte, or where it meets the lowest section.
//
// Every block: the owner ID, a u32 at offset U: 0 for block 0, the root
// table's blocks and free blocks; a nested table's dictionary ID for its
// blocks; 0x7FFFFFFF for free-block map blocks; 0x7FFFFFFE for child header
// overflow blocks.
//
// Free-block map block ("FBMH", owner 0x7FFFFFFF):
//
// | offset | size        | field                                  |
// |     16 |           4 | next map block, -1 = none              |
// |     20 |           4 | capacity: (U - 28) / 4                 |
// |     24 |           4 | entries used                           |
// |     28 | 4 x capacity | free block numbers                    |
//
// Child header (the header block of a nested table, owner = its ID):
// signature "MV!2", zero from offset 16 on, section top U - 1 and an empty
// directory; its free blocks and used-block count are block 0's.
//
// Section "SubHeaders" (253 bytes) in block 0:
//
// | offset | size | field                                               |
// |      0 |  248 | up to 31 entries {ID i32, header block u32}, by ID  |
// |    248 |    4 | first child header overflow block, 0 = none         |
// |    252 |    1 | number of entries (0..31)                           |
//
// Child header overflow block ("CHOF", owner 0x7FFFFFFE); every entry of a
// later block has a larger ID than every entry before it:
//
// | offset | size        | field                                  |
// |     16 |           4 | next overflow block, 0 = none          |
// |     20 |           2 | capacity: (U - 24) / 8                 |
// |     22 |           2 | number of entries                      |
// |     24 | 8 x capacity | entries {ID i32, header block u32}, by ID |
//
// Threads: as every header access and factory (mvsrFileHeader.h).
#pragma once

#include "storage/header/mvsrFileHeader.h"

MV_DECLARE_EXCEPTION(Emv2xFileHeaderAccessException, EmvFileHeaderAccessException)

inline constexpr TmvBlockSignature mv2xHeaderSignature{'M', 'V', '!', '2'};
// Owner IDs of the header's own blocks.
inline constexpr int32_t mv2xFreeBlockMapID = 0x7FFFFFFF;
inline constexpr int32_t mv2xChildHeaderOverflowID = 0x7FFFFFFE;
// Bytes version 2 reserves after the usable area of every block.
inline constexpr uint32_t mv2xAdditionalReservedSpace = 4;

class Tmv2xFileHeaderAccess : public TmvCommonFileHeaderAccess {
 public:
  // A nested table's view first finds its header block (created when the
  // access is dirty and there is none yet), then holds it.
  void LoadHeader(TmvBaseTransaction* aTrans) override;
  // From the free-block cache (refilled from the map chain when empty; a
  // map block that empties is handed out itself), else appended to the
  // file. The block gets owner ID aID. A nested view asks the main view.
  uint8_t* GetNewBlock(TmvBaseTransaction* aTrans, int32_t aID, TmvReleaseMethod& aReleaseMethod) override;
  // Into the free-block cache; a full cache first spills all but 5 numbers
  // into the head map block, or into the deleted block itself, which then
  // becomes the new head map block. A nested view asks the main view.
  void DeleteBlock(TmvBaseTransaction* aTrans, uint8_t* aBlock) override;
  // The section's offset in the held header block. aCreate: a name present
  // raises 10009 "Name not unique in this context." unless aOverwrite;
  // a new section that does not fit raises 9473 "File header is full".
  // Lookup: 8712 "Could not find object." for an unknown name, 8961 when
  // its size is not aSize. A name must have 1 to 255 single-byte
  // characters (10068 otherwise).
  uint32_t RegisterHeaderSection(const String& aName, uint8_t aSize, bool aCreate, bool aOverwrite) override;
  // Lets the file's encryption engine re-key its header (dirty access).
  void ChangePassword(const String& aNewPassword) override;
  String ClassName() const override { return u"Tmv2xFileHeaderAccess"; }

  // On the main view's access: the header block of the nested table aID.
  // With aTrans it is created when missing (the access is marked dirty);
  // without, a missing one raises 8961.
  TmvBlockNumber GetHeaderBlockForID(TmvBaseTransaction* aTrans, int32_t aID);

 protected:
  friend class Tmv2xFileHeaderAccessFactory;
  using TmvCommonFileHeaderAccess::TmvCommonFileHeaderAccess;
  void ThrowError(int32_t aCode, const String& aText) const override;

 private:
  using THeldBlock = TmvHeldBlock;
  struct TSubHeaderTable;

  // The free-block cache's count (8961 above 20).
  uint32_t FreeCacheCount();
  // Moves numbers from the map chain into an empty cache; answers the map
  // block that emptied, held for the caller as its new block, else nil.
  uint8_t* RefillFreeCache(TmvBaseTransaction* aTrans, int32_t aID, TmvReleaseMethod& aReleaseMethod);
  // Moves all but 5 numbers of a full cache into the map chain.
  void SpillFreeCache(TmvBaseTransaction* aTrans, uint8_t* aBlock, bool& aBecameMap);
  // Holds a block of the header's own structures, checked: its number, its
  // owner ID and its signature (8961, 8962).
  uint8_t* HoldStructureBlock(TmvBaseTransaction* aTrans, THeldBlock& aHeld, TmvBlockNumber aNumber,
                              int32_t aOwner, const TmvBlockSignature& aSignature, bool aDirty);
  // The head map block, modifiable, with its capacity and count checked.
  uint8_t* HoldFreeBlockMap(TmvBaseTransaction* aTrans, THeldBlock& aHeld, TmvBlockNumber aNumber);
  // The highest section end the held header allows, after checking R.
  uint32_t SectionLimit();
  // The entries of the section "SubHeaders" at aSection, and of an
  // overflow block, checked (its first ID must lie above aLastSeen).
  TSubHeaderTable SectionTable(uint32_t aSection);
  TSubHeaderTable HoldOverflowTable(TmvBaseTransaction* aTrans, THeldBlock& aHeld, TmvBlockNumber aNumber,
                                    bool aDirty, int64_t aLastSeen);
  bool FindSubHeader(int32_t aID, uint32_t aSection, TmvBlockNumber& aBlock);
  TmvBlockNumber AddSubHeader(TmvBaseTransaction* aTrans, int32_t aID, uint32_t aSection);
  TmvBlockNumber NewChildHeader(TmvBaseTransaction* aTrans, int32_t aID);
  void NewOverflowBlock(TmvBaseTransaction* aTrans, int32_t aID, TmvBlockNumber aHeader, uint32_t aSection,
                        TmvBlockNumber aLast);
};

class Tmv2xFileHeaderAccessFactory : public TmvCommonFileHeaderAccessFactory {
 public:
  static const TmvFileHeaderAccessFactoryClassRef StaticClass;
  using TmvCommonFileHeaderAccessFactory::TmvCommonFileHeaderAccessFactory;

  // The table checksum's size is the file's engine's (0 without one); a new
  // file zeroes its area, an opened one copies it into the file. A stored
  // R too small for it raises 8961.
  void InitTableChecksum(uint8_t* aHeader, bool aNew) override;
  // The base check, then, for aID other than 0, the owner ID: 8962
  // "Expected BlockOwnerID %d but found %d in file \"%s\" for block %d".
  void VerifyID(const uint8_t* aBlock, TmvBlockNumber aBlockNum, int32_t aID) override;
  // The base check, then block 0's signature and every other block's owner
  // ID against its signature and the file's highest ID (8962).
  void ValidateBlock(const uint8_t* aBlock, TmvBlockNumber aBlockNum) override;
  // The u32 at the usable size.
  int32_t GetID(const uint8_t* aBlock) override;
  // U - R - 1 (nil when R is 0); U - C - 1 (nil when C is 0).
  uint8_t* GetEncryptionEngineHeader(uint8_t* aHeader) override;
  uint8_t* GetTableChecksum(uint8_t* aHeader) override;

 protected:
  TmvBaseFileHeaderAccess* NewFileHeaderAccess(TmvBaseTransaction* aTrans, bool aMarkDirty,
                                               TmvBlockAccess* aBlockAccess) override;
  // The shared fields, then R and the room the format needs in a block:
  // the owner ID after the usable area, the sections and the engine's
  // header before its end (8961 otherwise).
  void ReadHeader(const uint8_t* aHeader) override;
  // The shared fields, R (looked up for the file's side), the section top
  // and an empty directory.
  void WriteNewHeader(uint8_t* aHeader, const TmvBlockSignature& aSignature) override;

 private:
  uint32_t f2xReservedHeaderSpace = 0;  // R
};

// Registers the 2x header format under its signature; takes it out again.
void mvsrFileHeader2xInit();
void mvsrFileHeader2xFini();
