// Storage encryption: the registry of encryption engines and the engine
// "mv1xDefault" (unit mvseEncryptionEngines).
//
// Engines register by name, separately for the client side and the server
// side, each name with a list of classes by priority; the class of highest
// priority serves the name. The unit's start-up registers the client-side
// and the server-side Blowfish-RC4 engines as "mv1xDefault" (priority 0) and
// installs the registry in the table files' hooks (mvsrEncryption.h).
//
// `TmvBlowfishRC4EncryptionEngine` keeps a random 16-byte data key per
// table, wrapped by the password (or the side's default key) in an engine
// header of 48 bytes at the end of block 0:
//   | 0 salt (16) | 16 IV of the wrap (8) | 24 the data key, encrypted (16) | 40 check value (8) |
// and encrypts every other block with that key; a block of B bytes stores
//   | 0 .. B-17 cipher text of the first B-16 bytes | B-16 its random IV (8) | B-8 check value (8) |
// so 16 bytes of every block are reserved.
//
// Threads: the registry is guarded by its own lock; an engine serves
// several threads at once, each call taking a cipher from its pool.
// Calls the ciphers and the encryption interface of the table files.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/Components.h"
#include "storage/encryption/mvsrCiphers.h"
#include "storage/files/mvsrEncryption.h"

// The class record of an encryption engine class: its creation and its
// space needs.
struct TmvEncryptionEngineClassRef : ClassRef {
  // Creates and initialises an engine: 0, or an error code (the engine nil).
  int32_t (*DoCreateEngine)(const TmvUnicodeStrings& aPasswords, uint8_t* aHeader, bool aCreating, bool aForServer,
                            TmvBaseEncryptionEngine*& aEngine);
  uint32_t ReservedSpacePerBlock;
  uint32_t ReservedHeaderSpace;
  uint32_t ChecksumSize;
};

// The registry (class operations of `TmvBaseEncryptionEngine`).
void mvRegisterEncryptionEngine(const TmvEncryptionEngineClassRef& aClass, const String& aName, bool aForServer,
                                int32_t aPriority);
// Removes every entry of the class from both sides.
void mvUnregisterEncryptionEngine(const TmvEncryptionEngineClassRef& aClass);
bool mvHasEncryptionEngine(const String& aName, bool aForServer);
// An empty first entry, then the registered names.
void mvGetRegisteredEncryptionEngines(TmvUnicodeStrings& aList, bool aForServer);

class TmvBlowfishRC4EncryptionEngine : public TmvBaseEncryptionEngine {
 public:
  ~TmvBlowfishRC4EncryptionEngine() override = default;

  void CodeBlock(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen, uint64_t aRandomizer) override;
  // 8962 "Corrupt file - other than header." when the check value differs.
  void DecodeBlock(void* aBlock, uint32_t aBlockLen, uint64_t aRandomizer) override;
  int32_t AuthenticatePassword(const TmvUnicodeStrings& aPasswords) override;
  String ExtractPassword() override { return beeUsedKey; }
  void ChangePassword(uint8_t* aHeader, const String& aNewPassword) override;
  String ClassName() const override { return u"TmvBlowfishRC4EncryptionEngine"; }

  // Creates the engine of a side over an engine header (nil: a file without
  // one, keyed with the default key): 9986 for two passwords at creation,
  // 10015 "Invalid password given." when neither a password nor the default
  // key opens the header.
  static int32_t Create(const TmvUnicodeStrings& aPasswords, uint8_t* aHeader, bool aCreating, bool aForServer,
                        TmvBaseEncryptionEngine*& aEngine);
  // The 64-character default key of a side.
  static std::string DefaultKey(bool aForServer);

 protected:
  explicit TmvBlowfishRC4EncryptionEngine(bool aForServer) : beeForServer(aForServer) {}
  // Writes a new header for the current data key with key text aKey.
  void WriteHeader(uint8_t* aHeader, const std::string& aKey);
  // Unwraps the data key with key text aKey; false when it does not verify.
  bool VerifyKey(const uint8_t* aHeader, const std::string& aKey);
  std::unique_ptr<TmvBlowFishRC4> TakeCipher();
  void GiveBack(std::unique_ptr<TmvBlowFishRC4> aCipher);

  bool beeForServer;
  uint8_t beeDerivedKey[16] = {};
  String beeUsedKey;
  std::mutex beePoolLock;
  std::vector<std::unique_ptr<TmvBlowFishRC4>> beeBlowfishCache;
  std::string beeBlowfishKey;
};

// The two sides' engine classes; they differ only in the default key.
extern const TmvEncryptionEngineClassRef mvUserBlowfishRC4EncryptionEngine;
extern const TmvEncryptionEngineClassRef mvServerBlowfishRC4EncryptionEngine;

void mvseEncryptionEnginesInit();
void mvseEncryptionEnginesFini();
