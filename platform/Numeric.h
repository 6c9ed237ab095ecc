// Platform layer: stored number forms.
//
// Little-endian load and store of integers and IEEE floats at any address,
// the 10-byte form of the x87 80-bit Extended type, and Currency conversions.
// Stored bytes are always little-endian and written field by field with
// these helpers; nothing here depends on the host's byte order or on
// alignment. All routines are pure and safe from any thread.
#pragma once

#include <bit>
#include <cstring>
#include <type_traits>

#include "platform/SysUtils.h"

// ---------------------------------------------------------------------------
// Little-endian load and store

namespace numeric_detail {
template <typename U>
constexpr U byteSwap(U v) {
  if constexpr (sizeof(U) == 1) return v;
  else if constexpr (sizeof(U) == 2) return static_cast<U>(__builtin_bswap16(v));
  else if constexpr (sizeof(U) == 4) return static_cast<U>(__builtin_bswap32(v));
  else return static_cast<U>(__builtin_bswap64(v));
}
template <size_t N> struct UIntOfSize;
template <> struct UIntOfSize<1> { using type = uint8_t; };
template <> struct UIntOfSize<2> { using type = uint16_t; };
template <> struct UIntOfSize<4> { using type = uint32_t; };
template <> struct UIntOfSize<8> { using type = uint64_t; };
}  // namespace numeric_detail

// Reads a T stored little-endian at p (any alignment). T is an integer,
// float or double.
template <typename T>
inline T LoadLE(const void* p) {
  static_assert(std::is_arithmetic_v<T> && sizeof(T) <= 8, "integers, float and double only");
  using U = typename numeric_detail::UIntOfSize<sizeof(T)>::type;
  U u;
  std::memcpy(&u, p, sizeof u);
  if constexpr (std::endian::native == std::endian::big) u = numeric_detail::byteSwap(u);
  return std::bit_cast<T>(u);
}

// Writes v little-endian at p (any alignment).
template <typename T>
inline void StoreLE(void* p, T v) {
  static_assert(std::is_arithmetic_v<T> && sizeof(T) <= 8, "integers, float and double only");
  using U = typename numeric_detail::UIntOfSize<sizeof(T)>::type;
  U u = std::bit_cast<U>(v);
  if constexpr (std::endian::native == std::endian::big) u = numeric_detail::byteSwap(u);
  std::memcpy(p, &u, sizeof u);
}

inline uint16_t LoadLE16(const void* p) { return LoadLE<uint16_t>(p); }
inline uint32_t LoadLE32(const void* p) { return LoadLE<uint32_t>(p); }
inline uint64_t LoadLE64(const void* p) { return LoadLE<uint64_t>(p); }
inline void StoreLE16(void* p, uint16_t v) { StoreLE(p, v); }
inline void StoreLE32(void* p, uint32_t v) { StoreLE(p, v); }
inline void StoreLE64(void* p, uint64_t v) { StoreLE(p, v); }

// ---------------------------------------------------------------------------
// Extended: the 10-byte stored form of an x87 80-bit value
//
//   bytes 0-7  64-bit significand with the explicit integer bit (little-endian)
//   bytes 8-9  bit 15 the sign, bits 0-14 the exponent biased by 16383
//
// 1.0 is 00 00 00 00 00 00 00 80 FF 3F.

inline constexpr size_t ExtendedSize = 10;

void ExtendedToBytes(Extended v, uint8_t out[ExtendedSize]);
Extended ExtendedFromBytes(const uint8_t in[ExtendedSize]);

// ---------------------------------------------------------------------------
// Currency: int64 scaled by 10,000

// The nearest Currency to v, ties to even (2.5 ten-thousandths become 2).
// False for NaN, infinities and values outside the Currency range; `c` is
// then unchanged.
bool TryExtendedToCurrency(Extended v, Currency& c);
bool TryDoubleToCurrency(double v, Currency& c);

// As the Try forms; raise EInvalidOp where the platform's conversion would
// fault.
Currency ExtendedToCurrency(Extended v);
Currency DoubleToCurrency(double v);

// The value as a double (divided in extended precision, then rounded once
// to double) and as an Extended.
double CurrencyToDouble(Currency c);
Extended CurrencyToExtended(Currency c);
