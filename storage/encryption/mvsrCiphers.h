// Storage encryption: the ciphers of the table encryption engines (unit
// mvsrCiphers): `TmvBaseCipher`, `TmvRC4` and `TmvBlowFishRC4`.
//
// `TmvBlowFishRC4` chains Blowfish blocks (CBC) and hides each cipher block
// behind an RC4 key stream that a per-IV setup derives from the key and the
// IV; a running check over the plain text, masked and encrypted, gives an
// 8-byte check value (`Final`). Its Blowfish is the standard 16-round
// network with the standard initial tables (pi's digits), used in
// little-endian byte order throughout: a block is two u32 read
// little-endian, the round function feeds the LEAST significant byte to
// the first S-box, and the key schedule packs key bytes little-endian. No
// library offers that variant, nor the RC4 reset (the keyed state scheduled
// again over a 256-byte init code), so both are written here; the standard
// Blowfish core stays reachable (`TmvBlowfishCore` with aStandard) so that
// tests check it against the published vectors.
//
// Every random byte (IVs, salts, keys) comes from getrandom.
//
// A cipher object is used by one thread at a time. Calls the foundation only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/memory/mvllMemoryManager.h"

extern const uint32_t mvBlowfishInitP[18];
extern const uint32_t mvBlowfishInitS[4][256];

// Blowfish: the key schedule and the encryption and decryption of a block
// given as two u32 words. aStandard selects the cipher's published byte order
// (most significant byte to the first S-box, key bytes packed big-endian);
// otherwise the system's little-endian variant.
class TmvBlowfishCore {
 public:
  void SetKey(const uint8_t* aKey, size_t aLength, bool aStandard = false);
  void Encrypt(uint32_t& aLeft, uint32_t& aRight) const;
  void Decrypt(uint32_t& aLeft, uint32_t& aRight) const;

 private:
  uint32_t F(uint32_t aX) const;
  uint32_t bfP[18];
  uint32_t bfS[4][256];
  bool bfStandard = false;
};

// Fills aData with random bytes from the operating system (getrandom);
// raises when it cannot.
void mvRandomBytes(void* aData, size_t aLength);

class TmvRC4 : public TmvObject {
 public:
  // The standard key scheduling over aKey repeated to 256 bytes.
  void SetKey(const uint8_t* aKey, size_t aLength);
  // The keyed state again, scheduled once more over the 256-byte code.
  void Reset(const uint8_t (&aInitCode)[256]);
  uint8_t NextByte();
  // Four output bytes, the first least significant.
  uint32_t KeyStream();

 private:
  void Schedule(const uint8_t* aKey, size_t aLength);
  uint8_t rcK[256];
  uint8_t rcOrgK[256];
  uint8_t rcI = 0, rcJ = 0;
};

class TmvBaseCipher : public TmvObject {
 public:
  virtual uint32_t BlockLength() const = 0;
  virtual void SetKeys(const std::string& aKey) = 0;
  // A random IV (written to aIV), or the given one; either readies the
  // cipher for Encode or Decode.
  virtual void RandomIVBlock(uint8_t* aIV) = 0;
  virtual void ResetIVBlock(const uint8_t* aIV) = 0;
  // aLength a multiple of the block length.
  virtual void GenerateRandom(uint8_t* aData, size_t aLength);
  // aLength a multiple of the block length, after an IV (assertions).
  virtual void Encode(uint8_t* aData, size_t aLength) = 0;
  virtual void Decode(uint8_t* aData, size_t aLength) = 0;
  // The check value of what was encoded or decoded since the IV; the next
  // use needs a new IV.
  virtual void Final(uint8_t* aMac) = 0;
  // Random IV, Encode, Final.
  void EncodeTransport(uint8_t* aIV, uint8_t* aData, size_t aLength, uint8_t* aMac);
  // The IV, Decode, and whether Final gives aMac.
  bool DecodeTransport(const uint8_t* aIV, uint8_t* aData, size_t aLength, const uint8_t* aMac);
};

class TmvBlowFishRC4 : public TmvBaseCipher {
 public:
  // Keyed with aKey (a single space when empty).
  explicit TmvBlowFishRC4(const std::string& aKey) { SetKeys(aKey); }
  uint32_t BlockLength() const override { return 8; }
  void SetKeys(const std::string& aKey) override;
  void RandomIVBlock(uint8_t* aIV) override;
  void ResetIVBlock(const uint8_t* aIV) override;
  void Encode(uint8_t* aData, size_t aLength) override;
  void Decode(uint8_t* aData, size_t aLength) override;
  void Final(uint8_t* aMac) override;
  // The name under which it wraps keys.
  static const char16_t* KeyWrapName() { return u"BlowfishRC4"; }

 private:
  void SetupIV();

  std::string bfKey;
  TmvBlowfishCore bfCore;  // bfP and the four S-boxes
  TmvRC4 bfRC4;
  uint32_t bfChkL = 0, bfChkR = 0;  // bfChk
  uint32_t bfKSF[2] = {};
  bool bfMustReset = true;
  uint32_t bfIVl = 0, bfIVr = 0;
};
