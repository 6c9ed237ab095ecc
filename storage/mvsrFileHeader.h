// Storage: what table files and the block cache need of the file header
// (block 0) and its accesses (unit mvsrFileHeader).
//
// Block 0 of every engine file names its format by its first 4 bytes. When a
// file is opened, a header-access factory is created for that signature: it
// copies the header's fields into the file object, checks every block the
// cache hands out or writes (`VerifyID`, `ValidateBlock`), and creates the
// header accesses through which sub-engines read and change block 0 inside
// a transaction. This unit holds the factory base with its registry by
// signature and the header-access base; the concrete header formats register
// their factories at their unit's start-up.
//
// The registry is changed only at unit start-up and shutdown and read without
// a lock afterwards; a factory belongs to one open file and is used under the
// block cache's padlock or by the file's single flusher.
// Calls the foundation only.
#pragma once

#include <cstdint>

#include "foundation/mvllExceptions.h"
#include "foundation/mvllMemoryManager.h"
#include "platform/Components.h"
#include "storage/mvsrTypes.h"

class TmvBaseFile;
class TmvBlockAccess;
class TmvBaseTransaction;
class TmvBaseFileHeaderAccessFactory;

MV_DECLARE_EXCEPTION(EmvFileHeaderAccessException, EmvBaseException)

// One sub-engine's access to one file's header block in one transaction;
// the caller frees it.
class TmvBaseFileHeaderAccess : public TmvObject {
 public:
  // The file's used-block count and the LSN in the header as this access
  // sees them.
  virtual uint32_t GetUsedBlocks() = 0;
  virtual TmvLSN GetCurrentLSN() = 0;
  // Refused here with 12289 "ChangePassword not supported by <class>".
  virtual void ChangePassword(const String& aNewPassword);
  virtual String ClassName() const { return u"TmvBaseFileHeaderAccess"; }
};

// The class record of a factory class. Create builds the factory of a file:
// opening (aSignature nil) copies the header's fields into the file object
// (block size, usable size, used blocks, engine names, engine version);
// creating (aSignature given) writes the initial header into aHeader.
struct TmvFileHeaderAccessFactoryClassRef : ClassRef {
  TmvBaseFileHeaderAccessFactory* (*Create)(const TmvBlockSignature* aSignature, uint8_t* aHeader,
                                            TmvBaseFile* aFile);
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

  // Sets up the table checksum of an encrypted file (nothing here).
  virtual void InitTableChecksum(uint8_t* aHeader, bool aNew);
  // A new header access on a block access of this factory's file.
  virtual TmvBaseFileHeaderAccess* CreateFileHeaderAccess(TmvBaseTransaction* aTrans, bool aMarkDirty,
                                                          TmvBlockAccess* aBlockAccess) = 0;
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
  [[noreturn]] void RaiseWrongNumber(TmvBlockNumber aBlockNum, TmvBlockNumber aStored);
};

// Offset of the used-block count in block 0 (both header formats).
inline constexpr uint32_t mvHeaderUsedBlocksOffset = 32;
