// Storage encryption: the ciphers. See mvsrCiphers.h.
#include "storage/encryption/mvsrCiphers.h"

#include <cerrno>
#include <cstring>
#include <sys/random.h>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "storage/mvsrTypes.h"

// ---------------------------------------------------------------------------
// Blowfish

uint32_t TmvBlowfishCore::F(uint32_t aX) const {
  const uint32_t b0 = aX & 0xFF, b1 = (aX >> 8) & 0xFF, b2 = (aX >> 16) & 0xFF, b3 = aX >> 24;
  if (bfStandard) return ((bfS[0][b3] + bfS[1][b2]) ^ bfS[2][b1]) + bfS[3][b0];
  return ((bfS[0][b0] + bfS[1][b1]) ^ bfS[2][b2]) + bfS[3][b3];
}

void TmvBlowfishCore::Encrypt(uint32_t& aLeft, uint32_t& aRight) const {
  uint32_t l = aLeft, r = aRight;
  for (int i = 0; i < 16; i += 2) {
    l ^= bfP[i];
    r ^= F(l);
    r ^= bfP[i + 1];
    l ^= F(r);
  }
  aLeft = r ^ bfP[17];
  aRight = l ^ bfP[16];
}

void TmvBlowfishCore::Decrypt(uint32_t& aLeft, uint32_t& aRight) const {
  uint32_t l = aLeft, r = aRight;
  for (int i = 17; i > 1; i -= 2) {
    l ^= bfP[i];
    r ^= F(l);
    r ^= bfP[i - 1];
    l ^= F(r);
  }
  aLeft = r ^ bfP[0];
  aRight = l ^ bfP[1];
}

void TmvBlowfishCore::SetKey(const uint8_t* aKey, size_t aLength, bool aStandard) {
  MV_ASSERT(aLength > 0);
  bfStandard = aStandard;
  std::memcpy(bfP, mvBlowfishInitP, sizeof bfP);
  std::memcpy(bfS, mvBlowfishInitS, sizeof bfS);
  size_t k = 0;
  for (uint32_t& p : bfP) {
    uint32_t word = 0;
    for (int b = 0; b < 4; ++b, k = (k + 1) % aLength)
      word |= aStandard ? uint32_t(aKey[k]) << (24 - 8 * b) : uint32_t(aKey[k]) << (8 * b);
    p ^= word;
  }
  uint32_t l = 0, r = 0;
  for (int i = 0; i < 18; i += 2) {
    Encrypt(l, r);
    bfP[i] = l;
    bfP[i + 1] = r;
  }
  for (auto& box : bfS)
    for (int i = 0; i < 256; i += 2) {
      Encrypt(l, r);
      box[i] = l;
      box[i + 1] = r;
    }
}

// ---------------------------------------------------------------------------
// Random bytes

void mvRandomBytes(void* aData, size_t aLength) {
  auto* p = static_cast<uint8_t*>(aData);
  while (aLength > 0) {
    const ssize_t n = getrandom(p, aLength, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EmvBaseException(MVERR_NOTSUPPORTED, u"No random bytes from the operating system (error %d)", {errno});
    }
    p += n;
    aLength -= size_t(n);
  }
}

// ---------------------------------------------------------------------------
// RC4

void TmvRC4::Schedule(const uint8_t* aKey, size_t aLength) {
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = uint8_t(j + rcK[i] + aKey[size_t(i) % aLength]);
    std::swap(rcK[i], rcK[j]);
  }
  rcI = rcJ = 0;
}

void TmvRC4::SetKey(const uint8_t* aKey, size_t aLength) {
  MV_ASSERT(aLength > 0);
  for (int i = 0; i < 256; ++i) rcK[i] = uint8_t(i);
  Schedule(aKey, aLength);
  std::memcpy(rcOrgK, rcK, sizeof rcK);
}

void TmvRC4::Reset(const uint8_t (&aInitCode)[256]) {
  std::memcpy(rcK, rcOrgK, sizeof rcK);
  Schedule(aInitCode, 256);
}

uint8_t TmvRC4::NextByte() {
  rcI = uint8_t(rcI + 1);
  rcJ = uint8_t(rcJ + rcK[rcI]);
  std::swap(rcK[rcI], rcK[rcJ]);
  return rcK[uint8_t(rcK[rcI] + rcK[rcJ])];
}

uint32_t TmvRC4::KeyStream() {
  uint32_t word = NextByte();
  word |= uint32_t(NextByte()) << 8;
  word |= uint32_t(NextByte()) << 16;
  return word | uint32_t(NextByte()) << 24;
}

// ---------------------------------------------------------------------------
// The cipher interface

void TmvBaseCipher::GenerateRandom(uint8_t* aData, size_t aLength) {
  MV_ASSERT(aLength % BlockLength() == 0);
  mvRandomBytes(aData, aLength);
}

void TmvBaseCipher::EncodeTransport(uint8_t* aIV, uint8_t* aData, size_t aLength, uint8_t* aMac) {
  RandomIVBlock(aIV);
  Encode(aData, aLength);
  Final(aMac);
}

bool TmvBaseCipher::DecodeTransport(const uint8_t* aIV, uint8_t* aData, size_t aLength, const uint8_t* aMac) {
  ResetIVBlock(aIV);
  Decode(aData, aLength);
  uint8_t mac[8];
  Final(mac);
  return std::memcmp(mac, aMac, 8) == 0;
}

// ---------------------------------------------------------------------------
// Blowfish and RC4

void TmvBlowFishRC4::SetKeys(const std::string& aKey) {
  bfKey = aKey.empty() ? std::string(" ") : aKey;
  const auto* key = reinterpret_cast<const uint8_t*>(bfKey.data());
  bfRC4.SetKey(key, bfKey.size());
  bfCore.SetKey(key, bfKey.size());
  bfMustReset = true;
}

void TmvBlowFishRC4::SetupIV() {
  uint8_t code[256];
  for (uint32_t n = 0; n < 32; ++n) {
    uint32_t a = bfIVl, b = n;
    bfCore.Encrypt(a, b);
    mvPutU32(code, n * 8, a);
    mvPutU32(code, n * 8 + 4, b ^ bfIVr);
  }
  bfRC4.Reset(code);
  bfChkL = bfChkR = 0;
  bfKSF[0] = bfRC4.KeyStream();
  bfKSF[1] = bfRC4.KeyStream();
  bfMustReset = false;
}

void TmvBlowFishRC4::RandomIVBlock(uint8_t* aIV) {
  mvRandomBytes(aIV, 8);
  ResetIVBlock(aIV);
}

void TmvBlowFishRC4::ResetIVBlock(const uint8_t* aIV) {
  bfIVl = mvGetU32(aIV, 0);
  bfIVr = mvGetU32(aIV, 4);
  SetupIV();
}

void TmvBlowFishRC4::Encode(uint8_t* aData, size_t aLength) {
  MV_ASSERT(aLength % 8 == 0 && !bfMustReset);
  for (size_t at = 0; at < aLength; at += 8) {
    const uint32_t pl = mvGetU32(aData, uint32_t(at)), pr = mvGetU32(aData, uint32_t(at + 4));
    uint32_t x = pl ^ bfIVl, y = pr ^ bfIVr;
    bfCore.Encrypt(x, y);
    x ^= bfRC4.KeyStream();
    y ^= bfRC4.KeyStream();
    mvPutU32(aData, uint32_t(at), x);
    mvPutU32(aData, uint32_t(at + 4), y);
    bfIVl = x;
    bfIVr = y;
    bfChkL ^= pl;
    bfChkR ^= pr;
  }
}

void TmvBlowFishRC4::Decode(uint8_t* aData, size_t aLength) {
  MV_ASSERT(aLength % 8 == 0 && !bfMustReset);
  for (size_t at = 0; at < aLength; at += 8) {
    const uint32_t cl = mvGetU32(aData, uint32_t(at)), cr = mvGetU32(aData, uint32_t(at + 4));
    uint32_t x = cl ^ bfRC4.KeyStream();
    uint32_t y = cr ^ bfRC4.KeyStream();
    bfCore.Decrypt(x, y);
    x ^= bfIVl;
    y ^= bfIVr;
    mvPutU32(aData, uint32_t(at), x);
    mvPutU32(aData, uint32_t(at + 4), y);
    bfIVl = cl;
    bfIVr = cr;
    bfChkL ^= x;
    bfChkR ^= y;
  }
}

void TmvBlowFishRC4::Final(uint8_t* aMac) {
  MV_ASSERT(!bfMustReset);
  uint32_t c1 = bfChkL ^ bfRC4.KeyStream();
  uint32_t c2 = bfChkR ^ bfRC4.KeyStream();
  bfCore.Encrypt(c1, c2);
  // Only the first word of the final mask is used, for both halves.
  mvPutU32(aMac, 0, c1 ^ bfKSF[0]);
  mvPutU32(aMac, 4, c2 ^ bfKSF[0]);
  bfMustReset = true;
}
