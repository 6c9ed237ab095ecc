// Storage: the encryption engine interface as table files use it (unit
// mvsrEncryption).
//
// A table file may name an encryption engine in its header. The engine is
// created when the header is read or written, authenticates the session's
// passwords, encrypts every block but block 0 when it is written and decrypts
// it when it is read, and keeps a checksum over block 0. It reserves bytes at
// the end of every block and an area of its own at the end of block 0. This
// unit declares the operations that files, the block cache and the file
// header call; the engines themselves and their registry are another unit's,
// which installs its routines in `mvEncryptionEngineCreateHook` and
// `mvEncryptionEngineSpaceHook`. Until then every name is unknown.
//
// An engine serves one file and may be called from several threads at once
// (reads and flushes); its implementations take care of that.
// Calls the foundation only.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllUtils.h"
#include "storage/mvsrTypes.h"

struct TmvEncryptionEngineSpace;

class TmvBaseEncryptionEngine : public TmvObject {
 public:
  // Encrypts aBlockLen bytes of aBlockIn into aBlockOut; decrypts aBlock in
  // place. aRandomizer is the block's byte position.
  virtual void CodeBlock(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen, uint64_t aRandomizer) = 0;
  virtual void DecodeBlock(void* aBlock, uint32_t aBlockLen, uint64_t aRandomizer) = 0;
  // Bytes of the table checksum kept in block 0 (0: none).
  virtual uint32_t beeChecksumSize() { return 0; }
  // CodeBlock with the randomizer aRandomizer × aBlockLen (the block number
  // times the block size). aCookie is what decoding left for the block,
  // aChecksum the file's table checksum (both unused by engines without one).
  virtual void CodeBlockEx(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen, uint32_t aRandomizer,
                           const TmvByteArray& aCookie, TmvByteArray& aChecksum);
  // Clears aCookie, then DecodeBlock with the same randomizer.
  virtual void DecodeBlockEx(void* aBlock, uint32_t aBlockLen, uint32_t aRandomizer, TmvByteArray& aCookie);
  // Block 0 before it is written and after it is read (raises on mismatch).
  virtual void UpdateHeaderChecksum(void* aBlock, uint32_t aBlockLen);
  virtual void VerifyHeaderChecksum(const void* aBlock, uint32_t aBlockLen);
  // 0, or 10763 (read-only access) or 10015 (invalid password).
  virtual int32_t AuthenticatePassword(const TmvUnicodeStrings& aPasswords);
  // The password that opened the table (empty: none, or none needed).
  virtual String ExtractPassword() { return String(); }
  // Re-keys the engine header in block 0 (aHeader, modifiable) for a new
  // password. Refused here: 12289 "ChangePassword not supported by <class>".
  virtual void ChangePassword(uint8_t* aHeader, const String& aNewPassword);
  virtual String ClassName() const { return u"TmvBaseEncryptionEngine"; }

  // Creates the engine registered under aName (for the server's or the
  // client's side) over the engine header in block 0 (nil when the header
  // has none), for a new file or an existing one. Answers an error code: 0,
  // 10763 (the engine allows reading only), or 15503 "Unknown encryption
  // engine: \"<name>\"" when no engine of that name exists.
  static int32_t CreateEngine(const String& aName, const TmvUnicodeStrings& aPasswords, uint8_t* aHeader,
                              bool aCreating, bool aForServer, TmvBaseEncryptionEngine*& aEngine);
  // The bytes the engine registered under aName (for the server's or the
  // client's side) reserves at the end of every block of that size, and in
  // block 0 for its header and table checksum. An empty name reserves
  // nothing; an unknown name raises 15503 "Unknown encryption engine:
  // \"<name>\"".
  static uint32_t ReservedSpacePerBlock(const String& aName, bool aForServer, TmvBlockSize aBlockSize);
  static uint32_t ReservedHeaderSpace(const String& aName, bool aForServer);
  // Both at once; false when no engine is registered under aName.
  static bool FindReservedSpace(const String& aName, bool aForServer, TmvBlockSize aBlockSize,
                                TmvEncryptionEngineSpace& aSpace);
};

using TmvEncryptionEngineCreateProc = int32_t (*)(const String& aName, const TmvUnicodeStrings& aPasswords,
                                                  uint8_t* aHeader, bool aCreating, bool aForServer,
                                                  TmvBaseEncryptionEngine*& aEngine);
// The engines' unit installs its creation routine here (nil: none).
extern std::atomic<TmvEncryptionEngineCreateProc> mvEncryptionEngineCreateHook;

// What the engine class registered under a name reserves: bytes at the end
// of every block of a size, and its header space in block 0 (engine header
// plus table checksum).
struct TmvEncryptionEngineSpace {
  uint32_t PerBlock = 0;
  uint32_t HeaderSpace = 0;
};
// Fills aSpace for the engine registered under aName; false when none is.
using TmvEncryptionEngineSpaceProc = bool (*)(const String& aName, bool aForServer, TmvBlockSize aBlockSize,
                                              TmvEncryptionEngineSpace& aSpace);
// The engines' unit installs its lookup here (nil: no engine is known).
extern std::atomic<TmvEncryptionEngineSpaceProc> mvEncryptionEngineSpaceHook;
