// Platform layer: the basic types that the engine's code is written in.
//
// Text is UTF-16 (`String`), as on the platform the system was made for;
// it becomes UTF-8 only where it crosses into the operating system (file
// names, console, the window toolkit). 8-bit text in a code page is a
// `std::string` with the code page carried beside it by whoever needs it.
// Nothing here calls into the engine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

using String = std::u16string;
using UnicodeString = std::u16string;
using WideString = std::u16string;
using AnsiString = std::string;
using RawByteString = std::string;
using UTF8String = std::string;

using Integer = int32_t;
using Cardinal = uint32_t;
using Int64 = int64_t;
using UInt64 = uint64_t;
using Word = uint16_t;
using Byte = uint8_t;
using ShortInt = int8_t;
using SmallInt = int16_t;
using LongWord = uint32_t;
using Single = float;
using Double = double;
using Extended = long double;  // x87 80-bit on x86-64; stored as its 10 bytes
using TDateTime = double;      // days since 1899-12-30, time as the fraction
using WideChar = char16_t;

// UTF-16 <-> UTF-8. Unpaired surrogates become U+FFFD on the way out and
// malformed UTF-8 sequences become U+FFFD on the way in, so that text crossing
// the boundary never throws.
std::string UTF8Encode(std::u16string_view s);
String UTF8ToString(std::string_view s);

// ASCII literal helper for code that builds UTF-16 text from 8-bit literals.
String AsciiToString(std::string_view s);

// A GUID in its binary layout (16 bytes, little-endian fields as stored).
struct TGUID {
  uint32_t D1 = 0;
  uint16_t D2 = 0;
  uint16_t D3 = 0;
  uint8_t D4[8] = {};
  friend bool operator==(const TGUID&, const TGUID&) = default;
};
