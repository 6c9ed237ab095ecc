// Platform layer: GUIDs (the registry text form, parsing, version-4 creation).
//
// A GUID is the 16-byte `TGUID` of System.h. Its text form is the registry
// form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper-case hexadecimal;
// its stored form is 16 bytes: D1, D2 and D3 little-endian, then D4 as is.
// New GUIDs are version-4 (random) GUIDs drawn from the kernel's getrandom.
// All routines are safe from any thread.
#pragma once

#include <string_view>

#include "platform/System.h"

inline constexpr TGUID GUID_NULL{};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal.
String GUIDToString(const TGUID& g);

// Reads the registry text form (hexadecimal digits of either case, braces and
// hyphens required). Returns false for anything else and leaves `g` unchanged.
bool TryStringToGUID(std::u16string_view s, TGUID& g);

// As TryStringToGUID, but raises EConvertError with SInvalidGUID for a text
// that is not a GUID.
TGUID StringToGUID(std::u16string_view s);

// A new version-4 GUID (122 random bits, RFC 4122 variant). Raises EOSError
// when the kernel's random source fails.
TGUID CreateGUID();

// The 16 stored bytes of a GUID and back.
void GUIDToBytes(const TGUID& g, uint8_t out[16]);
TGUID GUIDFromBytes(const uint8_t in[16]);

// The platform's text for a string that is not a GUID ('%s' is the text).
inline constexpr char16_t SInvalidGUID[] = u"'%s' は有効な GUID 値ではありません";
