// Platform layer: the 10-byte Extended form and Currency conversions.
#include "platform/Numeric.h"

#include <cfloat>
#include <cmath>
#include <limits>

static_assert(std::numeric_limits<double>::is_iec559, "doubles are stored as IEEE 754");

// ---------------------------------------------------------------------------
// Extended

#if LDBL_MANT_DIG == 64 && LDBL_MAX_EXP == 16384
// long double is the x87 80-bit type: its first 10 bytes in memory are the
// stored form (on a little-endian host; the padding after them is undefined).
static_assert(std::endian::native == std::endian::little);

void ExtendedToBytes(Extended v, uint8_t out[ExtendedSize]) { std::memcpy(out, &v, ExtendedSize); }

Extended ExtendedFromBytes(const uint8_t in[ExtendedSize]) {
  Extended v = 0;
  std::memcpy(&v, in, ExtendedSize);
  return v;
}

#else
// Hosts without the x87 type: build the fields arithmetically. Values that do
// not fit the host's long double become infinities or zeros.
void ExtendedToBytes(Extended v, uint8_t out[ExtendedSize]) {
  uint16_t signExp = std::signbit(v) ? 0x8000 : 0;
  uint64_t mant = 0;
  if (std::isnan(v)) {
    signExp |= 0x7FFF;
    mant = 0xC000000000000000ull;
  } else if (std::isinf(v)) {
    signExp |= 0x7FFF;
    mant = 0x8000000000000000ull;
  } else if (v != 0) {
    int e;
    Extended f = std::frexp(std::fabs(v), &e);  // v = f * 2^e, 0.5 <= f < 1
    int biased = e - 1 + 16383;
    if (biased <= 0) {  // subnormal in the 80-bit format
      f = std::ldexp(f, biased - 1);
      biased = 0;
    }
    mant = static_cast<uint64_t>(std::ldexp(f, 64));
    signExp |= static_cast<uint16_t>(biased);
  }
  StoreLE64(out, mant);
  StoreLE16(out + 8, signExp);
}

Extended ExtendedFromBytes(const uint8_t in[ExtendedSize]) {
  uint64_t mant = LoadLE64(in);
  uint16_t signExp = LoadLE16(in + 8);
  int exp = signExp & 0x7FFF;
  Extended v;
  if (exp == 0x7FFF) {
    v = (mant << 1) != 0 ? std::numeric_limits<Extended>::quiet_NaN() : std::numeric_limits<Extended>::infinity();
  } else {
    v = std::ldexp(static_cast<Extended>(mant), (exp == 0 ? 1 : exp) - 16383 - 63);
  }
  return (signExp & 0x8000) ? -v : v;
}
#endif

// ---------------------------------------------------------------------------
// Currency

bool TryExtendedToCurrency(Extended v, Currency& c) {
  // Scale and round in extended precision, as the x87 does with its default
  // round-to-nearest-even mode.
  Extended scaled = std::nearbyint(v * 10000.0L);
  // The int64 range is [-2^63, 2^63); both bounds are exact in Extended.
  constexpr Extended lo = -9223372036854775808.0L;
  constexpr Extended hi = 9223372036854775808.0L;
  if (!(scaled >= lo && scaled < hi)) return false;  // also refuses NaN
  c = Currency::FromScaled(static_cast<int64_t>(scaled));
  return true;
}

bool TryDoubleToCurrency(double v, Currency& c) { return TryExtendedToCurrency(v, c); }

Currency ExtendedToCurrency(Extended v) {
  Currency c;
  if (!TryExtendedToCurrency(v, c)) throw EInvalidOp(SInvalidOp);
  return c;
}

Currency DoubleToCurrency(double v) { return ExtendedToCurrency(v); }

Extended CurrencyToExtended(Currency c) { return static_cast<Extended>(c.Value) / 10000.0L; }

double CurrencyToDouble(Currency c) { return static_cast<double>(CurrencyToExtended(c)); }
