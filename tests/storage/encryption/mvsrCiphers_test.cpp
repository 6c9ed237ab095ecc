// The ciphers: the standard Blowfish core and RC4 against published
// vectors, and the chained Blowfish-RC4 cipher's round trip, check value
// and IV handling.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "storage/encryption/mvsrCiphers.h"
#include "storage/mvsrTypes.h"

namespace {

std::vector<uint8_t> Hex(const char* aText) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; aText[i] && aText[i + 1]; i += 2) bytes.push_back(uint8_t(std::stoul(std::string(aText + i, 2), nullptr, 16)));
  return bytes;
}

TEST(Ciphers, TheStandardBlowfishCoreGivesThePublishedVectors) {
  const struct {
    const char *key, *plain, *cipher;
  } vectors[] = {{"0000000000000000", "0000000000000000", "4EF997456198DD78"},
                 {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
                 {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"}};
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.key);
    const std::vector<uint8_t> key = Hex(v.key), plain = Hex(v.plain), cipher = Hex(v.cipher);
    TmvBlowfishCore core;
    core.SetKey(key.data(), key.size(), true);
    auto be = [](const std::vector<uint8_t>& b, size_t at) {
      return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
    };
    uint32_t l = be(plain, 0), r = be(plain, 4);
    core.Encrypt(l, r);
    EXPECT_EQ(l, be(cipher, 0));
    EXPECT_EQ(r, be(cipher, 4));
    core.Decrypt(l, r);
    EXPECT_EQ(l, be(plain, 0));
    EXPECT_EQ(r, be(plain, 4));
  }
  // The system's variant differs from the standard on the same key.
  const uint8_t zero[8] = {};
  TmvBlowfishCore variant;
  variant.SetKey(zero, 8);
  uint32_t l = 0, r = 0;
  variant.Encrypt(l, r);
  EXPECT_FALSE(l == 0x4EF99745u && r == 0x6198DD78u);
  variant.Decrypt(l, r);
  EXPECT_EQ(l | r, 0u);
}

TEST(Ciphers, RC4GivesTheKeyStreamsOfRFC6229) {
  const struct {
    std::vector<uint8_t> key;
    size_t offset;
    const char* stream;
  } vectors[] = {
      {{1, 2, 3, 4, 5}, 0, "b2396305f03dc027ccc3524a0a1118a8"},
      {{1, 2, 3, 4, 5}, 1536, "d8729db41882259bee4f825325f5a130"},
      {{1, 2, 3, 4, 5}, 4080, "068326a2118416d21f9d04b2cd1ca050"},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30,
        31, 32},
       0, "eaa6bd25880bf93d3f5d1e4ca2611d91"},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.offset);
    TmvRC4 rc4;
    rc4.SetKey(v.key.data(), v.key.size());
    for (size_t i = 0; i < v.offset; ++i) rc4.NextByte();
    std::vector<uint8_t> stream;
    for (int i = 0; i < 4; ++i) {
      uint8_t word[4];
      mvPutU32(word, 0, rc4.KeyStream());  // the first byte least significant
      stream.insert(stream.end(), word, word + 4);
    }
    EXPECT_EQ(stream, Hex(v.stream));
  }
}

TEST(Ciphers, BlowfishRC4RoundTripsChecksAndTakesANewRandomIVEachTime) {
  TmvBlowFishRC4 cipher("salt and key");
  std::vector<uint8_t> plain(64);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = uint8_t(i * 13);
  std::vector<uint8_t> a = plain, b = plain;
  uint8_t ivA[8], ivB[8], macA[8], macB[8];
  cipher.EncodeTransport(ivA, a.data(), a.size(), macA);
  cipher.EncodeTransport(ivB, b.data(), b.size(), macB);
  EXPECT_NE(std::memcmp(ivA, ivB, 8), 0);
  EXPECT_NE(a, b);
  EXPECT_NE(a, plain);
  TmvBlowFishRC4 other("salt and key");
  std::vector<uint8_t> back = a;
  EXPECT_TRUE(other.DecodeTransport(ivA, back.data(), back.size(), macA));
  EXPECT_EQ(back, plain);
  TmvBlowFishRC4 wrong("salt and kex");
  back = a;
  EXPECT_FALSE(wrong.DecodeTransport(ivA, back.data(), back.size(), macA));
  // Using it again without a new IV is refused.
  EXPECT_THROW(other.Encode(back.data(), 8), EAssertionFailed);
}

}  // namespace
