// Storage: version 1 of the table file header, "MV!1" (unit
// mvsrFileHeader1x).
//
// Files of this format are opened, read and changed, but never created:
// every new file gets version 2 (mvsrFileHeader2x.h). Version 1 keeps no
// owner IDs: a block's usable area is the block less the encryption
// engine's reserve. Its free blocks form one chain through the blocks
// themselves, and its header sections lie at fixed places in block 0.
//
// Block 0, the fields of version 1 (the shared ones are in mvsrFileHeader.h):
//
// | offset | size | field                                          |
// |     17 |    3 | reserved                                       |
// |     24 |    4 | first block of the free chain, -1 = none       |
// |     28 |    4 | number of blocks in the free chain             |
// |    256 |  256 | section "Encryption"                           |
// |    512 |  256 | section "Stream"                               |
// |    768 |  256 | section "AutoInc"                              |
// |   1024 |  256 | section "Record"                               |
// |   1280 |  256 | section "Blob"                                 |
// |   1536 |  256 | section "Indices"                              |
//
// A freed block:
//
// | offset | size | field                                          |
// |      0 |    4 | signature "DEAD"                               |
// |     16 |    4 | next block of the free chain                   |
//
// Threads: as every header access and factory (mvsrFileHeader.h).
#pragma once

#include "storage/header/mvsrFileHeader.h"

MV_DECLARE_EXCEPTION(Emv1xFileHeaderAccessException, EmvFileHeaderAccessException)

inline constexpr TmvBlockSignature mv1xHeaderSignature{'M', 'V', '!', '1'};

class Tmv1xFileHeaderAccess : public TmvCommonFileHeaderAccess {
 public:
  // Takes the head of the free chain (which must be a freed block), else
  // appends a block to the file (9479 at its maximum block count).
  uint8_t* GetNewBlock(TmvBaseTransaction* aTrans, int32_t aID, TmvReleaseMethod& aReleaseMethod) override;
  // Marks the block "DEAD" and makes it the head of the free chain.
  void DeleteBlock(TmvBaseTransaction* aTrans, uint8_t* aBlock) override;
  // The fixed offset of one of the six section names (compared without
  // ASCII case; the size is not checked); any other name: 12289 "Custom
  // HeaderSections are not supported in a v1 header".
  uint32_t RegisterHeaderSection(const String& aName, uint8_t aSize, bool aCreate, bool aOverwrite) override;
  String ClassName() const override { return u"Tmv1xFileHeaderAccess"; }

 protected:
  friend class Tmv1xFileHeaderAccessFactory;
  using TmvCommonFileHeaderAccess::TmvCommonFileHeaderAccess;
  void ThrowError(int32_t aCode, const String& aText) const override;
};

class Tmv1xFileHeaderAccessFactory : public TmvCommonFileHeaderAccessFactory {
 public:
  static const TmvFileHeaderAccessFactoryClassRef StaticClass;
  using TmvCommonFileHeaderAccessFactory::TmvCommonFileHeaderAccessFactory;

 protected:
  TmvBaseFileHeaderAccess* NewFileHeaderAccess(TmvBaseTransaction* aTrans, bool aMarkDirty,
                                               TmvBlockAccess* aBlockAccess) override;
  // Refused: 12289 "Can't create new files with v1 header".
  void WriteNewHeader(uint8_t* aHeader, const TmvBlockSignature& aSignature) override;
};

// Registers the 1x header format under its signature; takes it out again.
void mvsrFileHeader1xInit();
void mvsrFileHeader1xFini();
