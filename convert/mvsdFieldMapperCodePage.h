// Field conversion: the code-page layer of the mappers that read or write
// text.
//
// ShortString and NullString fields hold single-byte text in their field's
// code page (0 standing for the system's ANSI code page), WideString fields
// UTF-16. This unit reads the value of such a field without ever reaching
// beyond it, drops trailing blanks, and converts between code pages through
// the platform's Windows-shaped calls, with the two behaviours the mappers
// need when the target is too small: cut the text one UTF-16 unit at a time
// until it fits (forcing) or refuse it whole (checking). Every other failure
// of a call raises the engine's operating-system error (11047) whose action
// text names the mapper class, its routine and the call.
//
// Layer: field conversion; calls the data dictionary's field descriptors,
// the foundation's errors and the platform's NLS calls. Pure and safe from
// any thread; buffers belong to the call.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "convert/mvsdFieldMapperBase.h"

class TmvFieldDescriptor;

// Where a failing call is raised from: "<class>.<routine>/<call>", the
// routine's name being the three parts in a row.
struct TmvConversionSite {
  const ClassRef& Class;
  std::u16string_view Routine;
  std::u16string_view Convert = {};
  std::u16string_view Check = {};

  // Raises mvRaiseLastOSError with code 0 (11047) for the thread's last
  // error, naming the call.
  [[noreturn]] void Raise(std::u16string_view aCall) const;
};

inline constexpr char16_t mvMultiByteToWideChar[] = u"MultiByteToWideChar";
inline constexpr char16_t mvWideCharToMultiByte[] = u"WideCharToMultiByte";

// ---------------------------------------------------------------------------
// Code pages

// The storage code page of a field's locale; 0 when it has none (the system
// ANSI code page).
uint16_t mvFieldCodePage(TmvFieldDescriptor* aField);
// Whether a code page (not 0) has characters of more than one byte. A code
// page the platform cannot convert raises the operating-system error named
// "<class>.Create/GetCPInfo".
bool mvIsMultiByteCodePage(uint16_t aCodePage, const ClassRef& aClass);

// ---------------------------------------------------------------------------
// Values of string fields
//
// The count of characters of a value, never beyond the field: a ShortString
// length byte above the field's units, or a NullString or WideString field
// without its terminator (a damaged record), counts as the field's units.
// A field length of 0 or less gives 0.

size_t mvShortStringCount(const void* aField, int32_t aFieldLength);
size_t mvNullStringCount(const void* aField, int32_t aFieldLength);
size_t mvWideStringCount(const void* aField, int32_t aFieldLength);

// The characters of a ShortString (aType) or NullString (any other type)
// value.
struct TmvAnsiValue {
  const uint8_t* Chars;
  size_t Count;
  const char* Text() const { return reinterpret_cast<const char*>(Chars); }
};
TmvAnsiValue mvReadAnsiValue(TmvFieldType aType, const void* aField, int32_t aFieldLength);

// Whether string conversions drop trailing blanks: into a blank-padded field
// (decimals above 0) from one that is not.
bool mvDropsBlanks(TmvFieldDescriptor* aSource, TmvFieldDescriptor* aTarget);
// The count without trailing blanks (byte 0x20, U+0020).
template <typename C>
size_t mvWithoutBlanks(const C* aChars, size_t aCount) {
  while (aCount && aChars[aCount - 1] == C(' ')) --aCount;
  return aCount;
}

// Writes exactly aCount characters (cut to the capacity by the caller) and
// the length byte (ShortString) or terminator (NullString, WideString).
// Single-byte characters go into a WideString unit by unit (ASCII texts),
// UTF-16 units into a single-byte field by their low byte.
void mvPutText(TmvFieldType aTargetType, const char* aChars, size_t aCount, void* aTarget);
void mvPutText(TmvFieldType aTargetType, const char16_t* aChars, size_t aCount, void* aTarget);
// The empty value of a string field of at least one byte (two: WideString).
void mvPutEmptyText(TmvFieldType aTargetType, void* aTarget);

// ---------------------------------------------------------------------------
// UTF-16 buffers

// The UTF-16 units one call converts: on the stack up to 256, beyond that on
// the heap. Units are read from and written to fields little-endian, one by
// one, so that a field at any address can be read.
class TmvUnitBuffer {
 public:
  explicit TmvUnitBuffer(size_t aSize);
  char16_t* Data() { return fData; }
  size_t Size() const { return fSize; }

 private:
  char16_t fLocal[256];
  std::u16string fHeap;
  char16_t* fData;
  size_t fSize;
};

// The first aCount units of a WideString field (little-endian) into aUnits.
void mvLoadUnits(const void* aField, size_t aCount, char16_t* aUnits);
// aCount units and a 0 unit into a WideString field.
void mvPutUnits(const char16_t* aUnits, size_t aCount, void* aTarget);

// ---------------------------------------------------------------------------
// Conversions
//
// Code page 0 is the system ANSI code page. A count of 0 reaches no call.

// Decodes aCount bytes into at most aCapacity units; the count of units.
// Any failure (a buffer too small included) raises naming MultiByteToWideChar.
size_t mvDecode(uint16_t aCodePage, const void* aBytes, size_t aCount, char16_t* aUnits, size_t aCapacity,
                const TmvConversionSite& aSite);
// The same without a bound on the units.
String mvDecodeAll(uint16_t aCodePage, const void* aBytes, size_t aCount, const TmvConversionSite& aSite);
// Decodes into at most aCapacity units; false when they do not fit (the
// platform's insufficient buffer); any other failure raises.
bool mvTryDecode(uint16_t aCodePage, const void* aBytes, size_t aCount, char16_t* aUnits, size_t aCapacity,
                 size_t& aWritten, const TmvConversionSite& aSite);

// Encodes all aCount units into at most aCapacity bytes; false when they do
// not fit. Any other failure raises naming aCall.
bool mvTryEncode(uint16_t aCodePage, const char16_t* aUnits, size_t aCount, void* aBytes, size_t aCapacity,
                 size_t& aWritten, const TmvConversionSite& aSite, std::u16string_view aCall = mvWideCharToMultiByte);
// Forcing: the bytes of the longest leading part of the units that fits
// aCapacity, found as if one unit were dropped at a time from the end while
// the call reports too small a buffer (the bytes grow with the units, so the
// search halves the range instead); the count of bytes, 0 when not even one
// unit fits. The text is thus cut on a character boundary of the code page.
size_t mvEncodeCutting(uint16_t aCodePage, const char16_t* aUnits, size_t aCount, void* aBytes, size_t aCapacity,
                       const TmvConversionSite& aSite);

// ---------------------------------------------------------------------------
// Texts into string fields through UTF-16

// u UTF-16 units into a ShortString or NullString target in aCodePage.
// Forcing: cut to the bytes the target holds, trailing blanks dropped when
// aBlanks, then cut further on a character boundary until the bytes fit
// (mvEncodeCutting); 0. Checking: blanks dropped, then all the units, or the
// empty value and 10002.
TmvResult mvPutConverted(TmvFieldType aTargetType, const char16_t* aUnits, size_t u, bool aBlanks, bool aForcing,
                         uint16_t aCodePage, int32_t aTargetLength, void* aTarget, const TmvConversionSite& aSite);
// aCount bytes of aCodePage (not 0 of them) into a WideString target.
// When their units do not fit: forcing decodes the first aRetryCount bytes
// again into at most aRetryUnits units (a failure there raises) and keeps
// the units the target holds, 0; checking leaves the empty value, 10002.
TmvResult mvPutDecodedWide(uint16_t aCodePage, const uint8_t* aBytes, size_t aCount, size_t aRetryCount,
                           size_t aRetryUnits, bool aForcing, int32_t aTargetLength, void* aTarget,
                           const TmvConversionSite& aSite);
