// Tests of the stored number forms: little-endian helpers, Extended, Currency.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/Numeric.h"

namespace {

TEST(Numeric, LittleEndianLoadStoreAtAnyAlignment) {
  uint8_t buf[11] = {};
  StoreLE32(buf + 1, 0x11223344u);
  StoreLE16(buf + 5, 0xA1B2);
  StoreLE<int32_t>(buf + 7, -2);
  const uint8_t expected[11] = {0, 0x44, 0x33, 0x22, 0x11, 0xB2, 0xA1, 0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0, memcmp(buf, expected, sizeof buf));
  EXPECT_EQ(LoadLE32(buf + 1), 0x11223344u);
  EXPECT_EQ(LoadLE<int32_t>(buf + 7), -2);
  uint8_t d[9];
  StoreLE(d + 1, 1.0);
  EXPECT_EQ(LoadLE64(d + 1), 0x3FF0000000000000ull);
  EXPECT_EQ(LoadLE<double>(d + 1), 1.0);
  StoreLE64(d, 0x0102030405060708ull);
  EXPECT_EQ(d[0], 0x08);
  EXPECT_EQ(d[7], 0x01);
}

TEST(Numeric, ExtendedTenByteForm) {
  uint8_t b[ExtendedSize];
  ExtendedToBytes(1.0L, b);
  const uint8_t one[ExtendedSize] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F};
  EXPECT_EQ(0, memcmp(b, one, ExtendedSize));
  ExtendedToBytes(-2.0L, b);
  const uint8_t minusTwo[ExtendedSize] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0xC0};
  EXPECT_EQ(0, memcmp(b, minusTwo, ExtendedSize));

  const Extended values[] = {0.0L, 1.0L, -2.0L, 0.1L, 1e4000L, -3.14159265358979323846L,
                             std::numeric_limits<Extended>::denorm_min(),
                             std::numeric_limits<Extended>::infinity()};
  for (Extended v : values) {
    ExtendedToBytes(v, b);
    EXPECT_EQ(ExtendedFromBytes(b), v);
  }
  ExtendedToBytes(-0.0L, b);
  EXPECT_TRUE(std::signbit(ExtendedFromBytes(b)));
  ExtendedToBytes(std::numeric_limits<Extended>::quiet_NaN(), b);
  EXPECT_TRUE(std::isnan(ExtendedFromBytes(b)));
}

TEST(Numeric, CurrencyFromDoubleRoundsTiesToEven) {
  // A decimal tie is never exact in binary; in Extended the scaled product
  // rounds to an exact tie, which goes to the even neighbour.
  struct { Extended in; int64_t scaled; } ties[] = {
      {0.00005L, 0}, {0.00015L, 2}, {0.00025L, 2}, {-0.00025L, -2}, {0.00035L, 4}, {2.00025L, 20002},
  };
  for (const auto& c : ties) EXPECT_EQ(ExtendedToCurrency(c.in).Value, c.scaled) << double(c.in);
  // The double nearest 0.00025 lies above the tie, so it rounds up.
  struct { double in; int64_t scaled; } cases[] = {
      {1.5, 15000}, {0.00025, 3}, {-0.00025, -3}, {123.45678, 1234568}, {-0.00004, 0},
      {922337203685477.0, 9223372036854770000},
  };
  for (const auto& c : cases) EXPECT_EQ(DoubleToCurrency(c.in).Value, c.scaled) << c.in;
  EXPECT_EQ(CurrencyToDouble(Currency::FromScaled(15000)), 1.5);
  EXPECT_EQ(CurrencyToDouble(Currency::FromScaled(1)), 0.0001);

  Currency c = Currency::FromScaled(7);
  EXPECT_FALSE(TryDoubleToCurrency(1e15, c));
  EXPECT_FALSE(TryDoubleToCurrency(std::nan(""), c));
  EXPECT_FALSE(TryDoubleToCurrency(-INFINITY, c));
  EXPECT_EQ(c.Value, 7);
  EXPECT_THROW(DoubleToCurrency(1e300), EInvalidOp);
}

}  // namespace
