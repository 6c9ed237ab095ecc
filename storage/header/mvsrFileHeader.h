// Storage: the table file header, block 0 of every engine file, and the
// accesses through which everything else reads and changes it (unit
// mvsrFileHeader).
//
// Block 0 names its format by its first 4 bytes. When a file is opened or
// created, a header-access factory is created for that signature (the
// formats register their factory classes by signature at start-up): it
// copies the header's fields into the file object, checks every block the
// cache hands out or writes (`VerifyID`, `ValidateBlock`), and creates the
// header accesses through which sub-engines read and change block 0 inside a
// transaction: the used-block count, the free blocks, and the small named
// header sections in which sub-engines keep their fixed-size state. Nothing
// else reads or writes block 0. This unit holds the bases, the part that
// both formats share and the registry; mvsrFileHeader1x.h and
// mvsrFileHeader2x.h hold the two formats.
//
// Block 0, the fields both formats share (little-endian):
//
// | offset | size | field                                                  |
// |      0 |   16 | common block header: signature, number 0, LSN          |
// |     16 |    1 | block size code (TmvBlockSize)                         |
// |     17 |    3 | format-specific                                        |
// |     20 |    4 | usable block size in bytes                             |
// |     24 |    4 | first free block (v1) / first free-block map (v2); -1 none |
// |     28 |    4 | free chain length (v1) / free-block cache entries (v2) |
// |     32 |    4 | used blocks: the file's length in blocks, block 0 too  |
// |     36 |    4 | engine version of the file (version x 10000)           |
// |     40 |   32 | encryption engine name: length byte + up to 31 chars   |
// |     72 |   32 | stream engine name: length byte + up to 31 chars       |
// |    104 |  ... | format-specific                                        |
//
// Ownership and threads: a factory belongs to one open file (its
// fiHeaderAccessFactory) and is used under the block cache's padlock or by
// the file's single flusher. A header access serves one operation of one
// sub-engine in one transaction, on the thread that holds its table's lock;
// its creator frees it. The registry is changed only at unit start-up and
// shutdown and read without a lock afterwards.
// Calls the block cache, the transactions and the encryption interface.
#pragma once

#include <cstdint>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "platform/Components.h"
#include "storage/mvsrTypes.h"

class TmvBaseFile;
class TmvBlockAccess;
class TmvBaseTransaction;
class TmvBaseFileHeaderAccessFactory;

MV_DECLARE_EXCEPTION(EmvFileHeaderAccessException, EmvBaseException)

// Offsets of the shared fields of block 0 (table above).
inline constexpr uint32_t mvHeaderBlockSizeOffset = 16;
inline constexpr uint32_t mvHeaderUsableSizeOffset = 20;
inline constexpr uint32_t mvHeaderFirstFreeOffset = 24;
inline constexpr uint32_t mvHeaderFreeCountOffset = 28;
inline constexpr uint32_t mvHeaderUsedBlocksOffset = 32;
inline constexpr uint32_t mvHeaderVersionOffset = 36;
inline constexpr uint32_t mvHeaderEncryptionNameOffset = 40;
inline constexpr uint32_t mvHeaderStreamNameOffset = 72;
// Longest engine name a header keeps.
inline constexpr uint32_t mvHeaderEngineNameMax = 31;
// "None" in the free-block fields.
inline constexpr uint32_t mvHeaderNoBlock = 0xFFFFFFFF;

// One sub-engine's access to the header block of one file view in one
// transaction. Opened read-only it holds the header block as the transaction
// sees it; opened dirty (or after MarkDirty) the transaction's modifiable
// copy, whose changes commit or roll back with the transaction. The view of
// a nested table holds the nested table's own header block and reaches the
// file's block 0 through `bfhaMainHeader`.
//
// Created only by the factory's CreateFileHeaderAccess; the caller frees it,
// which releases the header block.
class TmvBaseFileHeaderAccess : public TmvObject {
 public:
  ~TmvBaseFileHeaderAccess() override;
  TmvBaseFileHeaderAccess(const TmvBaseFileHeaderAccess&) = delete;
  TmvBaseFileHeaderAccess& operator=(const TmvBaseFileHeaderAccess&) = delete;

  // The file's used-block count and the free blocks the header counts.
  virtual uint32_t GetUsedBlocks() = 0;
  virtual uint32_t GetAvailableBlocks() = 0;
  // Holds the view's header block, modifiable when dirty, checked against
  // the view's owner ID.
  virtual void LoadHeader(TmvBaseTransaction* aTrans);
  // A block for the caller to fill, held modifiable, zero but for its
  // number at offset 4 (and its owner ID aID where the format keeps one).
  // Requires a dirty access (9218); 9479 when the file is full.
  virtual uint8_t* GetNewBlock(TmvBaseTransaction* aTrans, int32_t aID, TmvReleaseMethod& aReleaseMethod) = 0;
  // Gives a held, modifiable block of this file back to the free blocks.
  // Requires a dirty access (9218). The caller only releases aBlock
  // afterwards: its content no longer counts (and may be gone).
  virtual void DeleteBlock(TmvBaseTransaction* aTrans, uint8_t* aBlock) = 0;
  // The offset in the held header block of the header section aName of
  // aSize bytes: created when aCreate (which needs a dirty access, 9218),
  // else looked up.
  virtual uint32_t RegisterHeaderSection(const String& aName, uint8_t aSize, bool aCreate, bool aOverwrite) = 0;
  // Refused here with 12289 "ChangePassword not supported by <class>".
  virtual void ChangePassword(const String& aNewPassword);
  virtual String ClassName() const { return u"TmvBaseFileHeaderAccess"; }

  // Holds the header block modifiable from now on (nothing when it is).
  // The main view's access is marked too.
  void MarkDirty(TmvBaseTransaction* aTrans);
  // The LSN in the held header block.
  TmvLSN GetCurrentLSN() const;
  bool IsDirty() const { return bfhaIsDirty; }

  TmvBaseFile* bfhaHeaderFile;
  bool bfhaIsDirty;
  TmvReleaseMethod bfhaRelease;
  TmvBlockAccess* bfhaBlockAccess;
  TmvBaseFileHeaderAccess* bfhaMainHeader = nullptr;  // owned; nil for a root view
  uint8_t* Header = nullptr;                         // the held header block
  TmvBaseTransaction* bfhaTrans;                     // the transaction it reads in (may be nil)

 protected:
  friend class TmvBaseFileHeaderAccessFactory;
  TmvBaseFileHeaderAccess(TmvBaseTransaction* aTrans, bool aMarkDirty, TmvBlockAccess* aBlockAccess);
  // The second half of construction (a constructor cannot reach the
  // overrides): the main view's access, then LoadHeader.
  void Open(TmvBaseTransaction* aTrans);
  // 9218 "Write failure." unless the access is dirty.
  void RequireDirty() const;
  // Raises the format's exception class (ThrowError) with aCode and aText
  // (the code's own text when aText is empty).
  [[noreturn]] void RaiseError(int32_t aCode, const String& aText = String()) const;
  virtual void ThrowError(int32_t aCode, const String& aText) const;
  void ReleaseHeader();
};

// The used-block count and the free count as both formats keep them.
class TmvCommonFileHeaderAccess : public TmvBaseFileHeaderAccess {
 public:
  // Through the main view's access when there is one, else the u32 at 32.
  uint32_t GetUsedBlocks() override;
  // Through the main view's access when there is one, else the u32 at 28.
  uint32_t GetAvailableBlocks() override;
  String ClassName() const override { return u"TmvCommonFileHeaderAccess"; }

 protected:
  using TmvBaseFileHeaderAccess::TmvBaseFileHeaderAccess;
  // A fresh block after the used ones, counted as used from now on (in the
  // header and in the file's count for the transaction): 9479 "Table is
  // full." at the file's maximum block count; 8961 when the header counts
  // no block at all.
  uint8_t* AppendBlock(TmvBaseTransaction* aTrans, TmvReleaseMethod& aReleaseMethod);
  // A fresh block aNumber, held modifiable: zero but for its number.
  uint8_t* AddFreshBlock(TmvBaseTransaction* aTrans, TmvBlockNumber aNumber, TmvReleaseMethod& aReleaseMethod);
  // 8961 unless 0 < aNumber < the used-block count.
  void CheckBlockNumber(TmvBlockNumber aNumber);
};

// The class record of a factory class: its constructor and its class-level
// operations.
struct TmvFileHeaderAccessFactoryClassRef : ClassRef {
  // Opening (aSignature nil) copies the header's fields into the file
  // object; creating (aSignature given) writes the initial header.
  TmvBaseFileHeaderAccessFactory* (*Create)(const TmvBlockSignature* aSignature, uint8_t* aHeader,
                                            TmvBaseFile* aFile);
  // Refuses a dictionary of this header format (aForBuild: for a new file).
  void (*DoCheckValid)(bool aForBuild);
  // Bytes the format reserves at the end of every block's usable area.
  uint32_t (*GetAdditionalReservedSpace)();
};

class TmvBaseFileHeaderAccessFactory : public TmvObject {
 public:
  explicit TmvBaseFileHeaderAccessFactory(TmvBaseFile* aFile) : bfhafFile(aFile) {}

  // Adds the class under a signature; a signature already present raises the
  // string list's duplicate error.
  static void Register(const TmvFileHeaderAccessFactoryClassRef& aClass, const TmvBlockSignature& aSignature);
  // Removes every signature of the class; the registry goes with its last entry.
  static void UnRegister(const TmvFileHeaderAccessFactoryClassRef& aClass);
  // The factory for aSignature, or for the first 4 bytes of aHeader when
  // aSignature is nil. No registry: 15414. An unknown signature: 9992
  // "\"<file name>\" is not a MorvaDB formatted file, or its file header is
  // corrupt".
  static TmvBaseFileHeaderAccessFactory* CreateFactory(const TmvBlockSignature* aSignature, uint8_t* aHeader,
                                                       TmvBaseFile* aFile);
  // Whether a dictionary whose header signature is aSignature may be used
  // (aForBuild: to create a file). Unknown: 15504 "Specified file header
  // access is not supported"; no registry: 15414.
  static void CheckValid(const TmvBlockSignature& aSignature, bool aForBuild);
  // The bytes the format of aSignature reserves in every block (0 for
  // "MV!1", 4 for "MV!2"); 15504 and 15414 as above.
  static uint32_t GetAdditionalReservedSpace(const TmvBlockSignature& aSignature);

  // Sets up the table checksum of an encrypted file (nothing here).
  virtual void InitTableChecksum(uint8_t* aHeader, bool aNew);
  // A new header access on a view of this factory's file; the caller frees it.
  TmvBaseFileHeaderAccess* CreateFileHeaderAccess(TmvBaseTransaction* aTrans, bool aMarkDirty,
                                                  TmvBlockAccess* aBlockAccess);
  // A block handed out as aBlockNum must carry that number, or 0 when aID
  // is 0 (a zeroed block); else 8962 "Block %d is identified as block %d in
  // the block header in file \"%s\"".
  virtual void VerifyID(const uint8_t* aBlock, TmvBlockNumber aBlockNum, int32_t aID);
  // A block committed or written as aBlockNum must carry that number (8962).
  virtual void ValidateBlock(const uint8_t* aBlock, TmvBlockNumber aBlockNum);
  // The block's owner ID (0 in formats without one).
  virtual int32_t GetID(const uint8_t* aBlock);
  // The used-block count in a header image: the u32 at 32.
  virtual uint32_t GetUsedBlocks(const uint8_t* aHeader);
  // The encryption engine's header area and the table checksum in block 0;
  // nil when the format keeps none.
  virtual uint8_t* GetEncryptionEngineHeader(uint8_t* aHeader);
  virtual uint8_t* GetTableChecksum(uint8_t* aHeader);

  TmvBaseFile* bfhafFile;

 protected:
  // The header access class of the format, constructed (not yet opened).
  virtual TmvBaseFileHeaderAccess* NewFileHeaderAccess(TmvBaseTransaction* aTrans, bool aMarkDirty,
                                                       TmvBlockAccess* aBlockAccess) = 0;
  [[noreturn]] void RaiseWrongNumber(TmvBlockNumber aBlockNum, TmvBlockNumber aStored);
};

// What both formats do when a file is opened or created: the shared fields
// of block 0 (table at the top).
class TmvCommonFileHeaderAccessFactory : public TmvBaseFileHeaderAccessFactory {
 public:
  using TmvBaseFileHeaderAccessFactory::TmvBaseFileHeaderAccessFactory;

 protected:
  // Builds a factory of class T for a file being opened (aSignature nil)
  // or created; a failure frees it.
  template <typename T>
  static TmvBaseFileHeaderAccessFactory* CreateAs(const TmvBlockSignature* aSignature, uint8_t* aHeader,
                                                  TmvBaseFile* aFile) {
    T* created = new T(aFile);
    TmvCommonFileHeaderAccessFactory* factory = created;
    try {
      if (aSignature) factory->WriteNewHeader(aHeader, *aSignature);
      else factory->ReadHeader(aHeader);
    } catch (...) {
      delete created;
      throw;
    }
    return created;
  }
  // Opening: copies block size, usable size, used blocks, the engine names
  // and the engine version into the file, refusing what cannot be used
  // (8961). Reads only the first 4096 bytes.
  virtual void ReadHeader(const uint8_t* aHeader);
  // Creating: writes the initial header of the format into aHeader.
  virtual void WriteNewHeader(uint8_t* aHeader, const TmvBlockSignature& aSignature) = 0;
  // The shared part of a new header, zeroed over the whole block first: the
  // usable size is the block less the encryption engine's reserve (looked
  // up on the client side) and aAdditional; used blocks 1 (into the file
  // too); no free block. The engine names are cut to 31 characters, in the
  // file object too, so that the file names what its header keeps.
  void WriteCommonHeader(uint8_t* aHeader, const TmvBlockSignature& aSignature, uint32_t aAdditional);
};

