// Storage: the temporary storage that takes blocks of temporary files out of
// memory (unit mvsrTempStorage).
//
// When the block cache must give up the memory of a block whose content
// exists nowhere else (a block of a temporary file), it writes the block to
// its temporary storage and reads it back when the block is needed again.
// `TmvBaseTempStorage` is the interface; the storage with a file of its own
// is registered by another unit through `mvTempStorageClass`, and while none
// is registered the cache uses `TmvNullTempStorage`, which has no room.
//
// Storages are used under the block cache's padlock only and need no lock of
// their own. Calls the foundation only.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "platform/Classes.h"
#include "platform/Components.h"
#include "storage/mvsrTypes.h"

// The number under which a storage keeps a block; -1 for none.
using TmvBlockTmpNum = int64_t;
inline constexpr TmvBlockTmpNum mvNoTempNum = -1;

MV_DECLARE_EXCEPTION(EmvTempStorageException, EmvBaseException)

struct TmvTempStorageClassRef;

class TmvBaseTempStorage : public TmvObject {
 public:
  virtual const TmvTempStorageClassRef& ClassType() const = 0;
  // Total size and bytes in use.
  virtual int64_t GetSize() = 0;
  virtual int64_t GetInUse() = 0;
  // Whether a block of that size can be stored now.
  virtual bool HasSpaceFor(TmvBlockSizeAll aBlockSize) = 0;
  // Copies a stored block into aBlock and releases it.
  virtual void ReadBlock(TmvBlockTmpNum aBlockNum, TmvBlockSizeAll aBlockSize, void* aBlock) = 0;
  // Copies a stored block and keeps it.
  virtual void PeekBlock(TmvBlockTmpNum aBlockNum, TmvBlockSizeAll aBlockSize, void* aBlock) = 0;
  virtual void ReleaseBlock(TmvBlockTmpNum aBlockNum, TmvBlockSizeAll aBlockSize) = 0;
  // Stores a block; answers its number.
  virtual TmvBlockTmpNum WriteBlock(const void* aBlock, TmvBlockSizeAll aBlockSize) = 0;
  // "Temporary Storage Total Size", "Temporary Storage Used Size".
  static void GetStatsCaptions(TStrings* aList);
  // The size and the bytes in use as whole kilobytes and " kbyte".
  virtual void GetStatsValues(TStrings* aList);
  // "0 kbyte" twice: the values when no storage of the class exists.
  static void GetStatsValuesStatic(TStrings* aList);
};

// The class record of a storage class: its constructor (aDir: the folder for
// the storage's file) and its class-level statistics.
struct TmvTempStorageClassRef : ClassRef {
  TmvBaseTempStorage* (*Create)(const String& aDir);
  void (*GetStatsCaptions)(TStrings* aList);
  void (*GetStatsValuesStatic)(TStrings* aList);
};

// A storage without room: size 0, HasSpaceFor false; the block operations
// raise 12289 "<operation> is not supported by <class name>".
class TmvNullTempStorage : public TmvBaseTempStorage {
 public:
  static const TmvTempStorageClassRef StaticClass;
  const TmvTempStorageClassRef& ClassType() const override { return StaticClass; }
  int64_t GetSize() override { return 0; }
  int64_t GetInUse() override { return 0; }
  bool HasSpaceFor(TmvBlockSizeAll) override { return false; }
  void ReadBlock(TmvBlockTmpNum, TmvBlockSizeAll, void*) override;
  void PeekBlock(TmvBlockTmpNum, TmvBlockSizeAll, void*) override;
  void ReleaseBlock(TmvBlockTmpNum, TmvBlockSizeAll) override;
  TmvBlockTmpNum WriteBlock(const void*, TmvBlockSizeAll) override;
};

// The class from which the block cache creates its temporary storage; nil
// (then the null storage serves) until a storage unit registers its class.
extern std::atomic<const TmvTempStorageClassRef*> mvTempStorageClass;
