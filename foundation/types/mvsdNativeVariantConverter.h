// Engine foundation: field values between their native bytes and variants.
//
// Every field value lives in a record buffer in its native form, a fixed
// number of bytes per field type; clients, default values, filters and SQL
// see variants. This unit converts between the two for all 32 field types,
// applying the field's storage code page to 8-bit text, padding and trimming
// fixed-width text, checking integer ranges and string widths, and parsing
// text as numbers and dates. Calls the platform layer and the foundation's
// exceptions, wide-string, date-literal and packed-decimal units.
//
// Native forms (little-endian; U units, D decimals, L the field length):
//   mvtBoolean                      1 byte, 0 false, anything else true
//   mvtChar                         1 byte in the field's code page
//   mvtWideChar                     1 UTF-16 code unit
//   mvtByte, mvtWord16, mvtWord32   unsigned 8, 16, 32 bits
//   mvtInt8 .. mvtInt64, mvtRefNr   signed 8, 16, 32, 64 bits
//   mvtAutoInc, mvtRecRev           unsigned 32 bits
//   mvtSingle, mvtDouble            IEEE single, double
//   mvtExtended                     x87 80-bit extended, 10 bytes
//   mvtCurrency                     signed 64 bits, value x 10,000
//   mvtDate                         signed 32-bit day number, 0001-01-01 = 1
//   mvtTime                         signed 32-bit milliseconds since midnight
//   mvtDateTime                     double: day number x 86,400,000 + ms
//   mvtBlob.. (the four BLOB types) 8 bytes of the BLOB engines; as a value,
//                                   a byte array
//   mvtByteArray                    U bytes
//   mvtShortString                  length byte, then up to U bytes of text
//   mvtNullString                   up to U bytes of text, zero-terminated
//   mvtWideString                   up to U UTF-16 units, zero-terminated
//   mvtGuid                         16 bytes, the platform's GUID layout
//   mvtBCD                          signed 64 bits, value x 10,000, digits
//                                   below D decimals zero
//   mvtFmtBCD                       first (U + 1) div 2 + 2 bytes of the
//                                   34-byte packed decimal record
//   mvtInterval                     not supported (assertion failure)
//
// Code page 0 means the field has none of its own: 8-bit text then goes
// through the system ANSI code page (the calling thread's for wide text
// written to a variable-width ShortString), and reads back through the code
// page it was written with: a Char byte is no character code of its own. For
// string types D > 0 marks a fixed-width field: values read are padded with
// spaces to D characters, values written lose their trailing spaces.
//
// Failures: range and width failures raise the platform's Exception with the
// texts below; a Char or WideChar value that is not one character raises
// EmvBaseException without a code; packed-decimal overflow raises
// EmvBcdOverflow (9985); a failed code-page conversion raises the OS-error
// exception naming its step. A failed write leaves the target buffer zeroed
// or partly written.
//
// Thread safety: the routines share no state; the calling thread's locale
// supplies the format settings and, where noted, the ANSI code page.
#pragma once

#include <cstdint>

#include "foundation/types/mvllWideString.h"
#include "foundation/types/mvsdTypes.h"
#include "platform/Variants.h"

inline constexpr char16_t SmvValueOutOfRange[] = u"Value out of range for the target column type: %d";
inline constexpr char16_t SmvSourceTooWide[] = u"Source string data is too wide (%d) for the target field (%d)";
inline constexpr char16_t SmvSourceTooWideFor[] = u"Source string data is too wide for the target field (%d)";
inline constexpr char16_t SmvInvalidCharFormat[] = u"Invalid char format (length must be exactly 1)";
inline constexpr char16_t SmvZeroTimestamp[] = u"0 (zero) is not a valid timestamp";
inline constexpr char16_t SmvFmtBcdToExtended[] = u"Could not convert FmtBCD to Extended";

// Native bytes (aLength of them at aBuffer) to a variant. aUnits is not used.
// Requires: aLength covers the type's native form.
void mvNativeToVariant(TmvFieldType aFieldType, uint16_t aCodePage, int32_t aUnits, int32_t aDecPl,
                       const void* aBuffer, int32_t aLength, Variant& aValue);

// Writes aValue into the field buffer of aLength bytes. Text is parsed as a
// number or a date with aFormatSettings. Without aAllowTruncate, text or
// bytes longer than the field raise; with it they are cut.
// Requires: aLength covers the type's native form.
void mvVariantToNativeEx(const TFormatSettings& aFormatSettings, TmvFieldType aFieldType, uint16_t aCodePage,
                         int32_t aUnits, int32_t aDecPl, const Variant& aValue, void* aBuffer, int32_t aLength,
                         bool aAllowTruncate);
// The same with the format settings of the calling thread's locale, without
// truncation.
void mvVariantToNative(TmvFieldType aFieldType, uint16_t aCodePage, int32_t aUnits, int32_t aDecPl,
                       const Variant& aValue, void* aBuffer, int32_t aLength);

// The native form of aValue in a byte array sized to the value: the type's
// native length, for 8-bit text the bytes and the terminator (NullString,
// BlobMemo) or the length byte and the bytes (ShortString, at most 255), for
// wide text two bytes per unit and the terminator. A Null value gives an
// empty array; mvtBlob leaves aBytes as it is. Integers are not
// range-checked, Boolean true is 0xFF, and text for the date and time types
// must be a date, time or timestamp literal.
void mvVariantToBytesEx(const TFormatSettings& aFormatSettings, TmvFieldType aFieldType, uint16_t aCodePage,
                        int32_t aUnits, int32_t aDecPl, const Variant& aValue, TBytes& aBytes);
void mvVariantToBytes(TmvFieldType aFieldType, uint16_t aCodePage, int32_t aUnits, int32_t aDecPl,
                      const Variant& aValue, TBytes& aBytes);

// True when aValue lies in the range of the type; otherwise false, or with
// aRaise the Exception SmvValueOutOfRange naming aValue.
bool mvCheckByteRange(bool aRaise, int64_t aValue);
bool mvCheckWord16Range(bool aRaise, int64_t aValue);
bool mvCheckWord32Range(bool aRaise, int64_t aValue);
bool mvCheckInt8Range(bool aRaise, int64_t aValue);
bool mvCheckInt16Range(bool aRaise, int64_t aValue);
bool mvCheckInt32Range(bool aRaise, int64_t aValue);

bool mvVarIsEmptyOrNull(const Variant& aValue);

// A one-dimensional byte array as a string of one character per element:
// byte b becomes the character U+00b (so the string's length and positions
// are those of the array). A variant that is not an array raises the
// platform's array bounds error.
String mvVarByteArrayToString(const Variant& aValue);
