// Tests of GUID text form, parsing, stored bytes and version-4 creation.
#include <gtest/gtest.h>

#include <set>

#include "platform/Guid.h"
#include "platform/SysUtils.h"

namespace {

const TGUID kSample{0x0123ABCD, 0x4567, 0x89EF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};

TEST(Guid, TextFormRoundTripsAndAcceptsLowerCase) {
  EXPECT_EQ(GUIDToString(kSample), u"{0123ABCD-4567-89EF-FEDC-BA9876543210}");
  EXPECT_EQ(StringToGUID(u"{0123abcd-4567-89ef-fedc-ba9876543210}"), kSample);
  EXPECT_EQ(GUIDToString(GUID_NULL), u"{00000000-0000-0000-0000-000000000000}");
}

TEST(Guid, MalformedTextIsRefused) {
  const char16_t* bad[] = {
      u"",
      u"0123ABCD-4567-89EF-FEDC-BA9876543210",     // no braces
      u"{0123ABCD-4567-89EF-FEDC-BA9876543210",    // no closing brace
      u"{0123ABCD-4567-89EF-FEDCBA-9876543210}",   // hyphen moved
      u"{0123ABCG-4567-89EF-FEDC-BA9876543210}",   // not a hex digit
      u"{0123ABCD-4567-89EF-FEDC-BA9876543210}x",  // trailing text
  };
  for (const char16_t* s : bad) {
    TGUID g = kSample;
    EXPECT_FALSE(TryStringToGUID(s, g)) << UTF8Encode(s);
    EXPECT_EQ(g, kSample);
  }
  try {
    StringToGUID(u"{nope}");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'{nope}' は有効な GUID 値ではありません");
  }
}

TEST(Guid, StoredBytesAreLittleEndianFields) {
  uint8_t b[16];
  GUIDToBytes(kSample, b);
  const uint8_t expected[16] = {0xCD, 0xAB, 0x23, 0x01, 0x67, 0x45, 0xEF, 0x89,
                                0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
  EXPECT_EQ(0, memcmp(b, expected, 16));
  EXPECT_EQ(GUIDFromBytes(b), kSample);
}

TEST(Guid, CreatedGuidsAreVersion4AndDistinct) {
  std::set<String> seen;
  for (int i = 0; i < 200; ++i) {
    TGUID g = CreateGUID();
    EXPECT_EQ(g.D3 >> 12, 4);
    EXPECT_EQ(g.D4[0] & 0xC0, 0x80);
    seen.insert(GUIDToString(g));
  }
  EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
