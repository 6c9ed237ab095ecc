// Foundation: the engine's small shared routines. Three-way comparisons of
// every stored scalar type, bounds, bit sets (null bitmaps, free maps),
// string and buffer helpers, the string hash, the rules for names of tables,
// fields, indexes, folders and databases, the helpers that turn a failed
// operating-system call into an engine exception, and a few system queries.
//
// Calls the platform layer and the engine's exceptions only. Comparison and
// bit routines do not check their arguments: callers pass valid buffers and
// counts. Everything here is safe from any thread.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/DateUtils.h"
#include "platform/Interfaces.h"
#include "platform/SyncObjs.h"
#include "platform/SysUtils.h"
#include "platform/System.h"
#include "platform/Variants.h"

class TStringList;

// ---------------------------------------------------------------------------
// Three-way comparisons: -1, 0 or 1 for less, equal, greater (first against
// second).

int mvCmpByte(uint8_t a, uint8_t b);
int mvCmpWord16(uint16_t a, uint16_t b);
int mvCmpWord32(uint32_t a, uint32_t b);
int mvCmpInt8(int8_t a, int8_t b);
int mvCmpInt16(int16_t a, int16_t b);
int mvCmpInt32(int32_t a, int32_t b);
int mvCmpInt64(int64_t a, int64_t b);
int8_t mvCmpInt64Ref(const int64_t& a, const int64_t& b);
// Orders objects by address; also the default order of sorted lists.
int mvCmpPointer(const void* a, const void* b);
// Numbers in their natural order; a NaN sorts after every number and equals
// any other NaN, so that sorted structures keep a total order.
int mvCmpSingle(float a, float b);
int mvCmpDouble(double a, double b);
// Equal-length buffers as unsigned bytes; length 0 gives 0.
int mvCmpBytes(const void* a, const void* b, size_t aLength);
// The common prefix byte by byte, then the full lengths (unsigned).
int mvCmpByteArrays(std::span<const uint8_t> a, std::span<const uint8_t> b);
// Length-prefixed single-byte strings (first byte the length), each cut to
// aMaxLen: the bytes of the common length, then the lengths. The IC form
// folds a to z to upper case.
int mvCmpShortString(const uint8_t* a, const uint8_t* b, uint8_t aMaxLen);
int mvCmpShortStringIC(const uint8_t* a, const uint8_t* b, uint8_t aMaxLen);
// At most aMaxLen units of two zero-terminated strings, stopping after a
// terminator: the difference of the first unequal units, 0 when equal. The
// IC form folds a to z.
int mvStrLCompW(const char16_t* a, const char16_t* b, size_t aMaxLen);
int mvStrLICompW(const char16_t* a, const char16_t* b, size_t aMaxLen);
// 0 when b occurs in a, else -1.
int mvCmpContains(std::u16string_view a, std::u16string_view b);
// Locale-aware comparison under the system default locale, without flags or
// ignoring case.
int mvCmpStringSystemLocale(std::u16string_view a, std::u16string_view b);
int mvCmpStringSystemLocale(std::u16string_view a, std::u16string_view b, bool aIgnoreCase);

bool mvSameByteArrays(std::span<const uint8_t> a, std::span<const uint8_t> b);
bool mvSameGuid(const TGUID& a, const TGUID& b);
// a begins with b, by code unit.
bool mvStartsWith(std::u16string_view a, std::u16string_view b);

inline uint16_t mvMinWord16(uint16_t a, uint16_t b) { return a < b ? a : b; }
inline uint16_t mvMaxWord16(uint16_t a, uint16_t b) { return a > b ? a : b; }
inline uint32_t mvMinWord32(uint32_t a, uint32_t b) { return a < b ? a : b; }
inline uint32_t mvMaxWord32(uint32_t a, uint32_t b) { return a > b ? a : b; }
inline int32_t mvMinInt32(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t mvMaxInt32(int32_t a, int32_t b) { return a > b ? a : b; }
inline int64_t mvMinInt64(int64_t a, int64_t b) { return a < b ? a : b; }
inline int64_t mvMaxInt64(int64_t a, int64_t b) { return a > b ? a : b; }

// ---------------------------------------------------------------------------
// Bit sets: bit n is bit (n mod 32) of the little-endian 32-bit word n div 32.
// Clearing and setting cover (count + 7) div 8 whole bytes.

void mvClearBits(void* aBits, uint32_t aCount);
void mvSetBits(void* aBits, uint32_t aCount);
void mvSetBit(void* aBits, uint32_t aBit);
void mvClearBit(void* aBits, uint32_t aBit);
int mvTestBit(const void* aBits, uint32_t aBit);
// Index of the first 0 among aCount bits, -1 when all are 1. Reads whole
// words: the buffer must hold (aCount + 31) div 32 of them.
int32_t mvFindFirstClearBit(const void* aBits, uint32_t aCount);
// ORs whole 32-bit words, then the remaining bytes of (count + 7) div 8.
void mvOrBits(void* aTarget, const void* aSource, uint32_t aCount);

// ---------------------------------------------------------------------------
// Strings and buffers

// First occurrence of a zero-terminated sub in a zero-terminated text; nil
// when either is nil or empty or sub is longer than text.
const char16_t* mvStrPosW(const char16_t* aText, const char16_t* aSub);
// Copies at most aMaxLen units and a terminating 0 (the buffer holds
// aMaxLen + 1 units); a nil buffer does nothing.
void mvStringToWideBuffer(std::u16string_view aText, char16_t* aBuffer, size_t aMaxLen);
// A set of characters below 256.
using TmvCharSet = std::bitset<256>;
TmvCharSet mvCharSet(std::string_view aChars);
// Splits at the first character of aText (below 256) that is in aSet, which
// is dropped; no such character: before = text, after = "".
void mvSplitAtCharSet(std::u16string_view aText, const TmvCharSet& aSet, String& aBefore, String& aAfter);
// Widens single bytes by zero extension.
void mvBytesToWideChars(const uint8_t* aSource, char16_t* aTarget, size_t aCount);
// Swaps the two bytes of every unit in place.
void mvSwapWideCharBytes(char16_t* aBuffer, size_t aCount);
// Lower-cases a zero-terminated buffer in place with the system's character
// lower-casing; a character whose lower case needs another number of units
// stays as it is, so the length never changes.
void mvCharLower(char16_t* aBuffer);
// mvTidyMessageText lives with the engine exceptions (mvllExceptions.h).

// A dynamic array of strings.
using TmvUnicodeStrings = std::vector<String>;
// One string, or nothing for "".
void mvUnicodeStringsAssign(TmvUnicodeStrings& aStrings, const String& aValue);
void mvUnicodeStringsAdd(TmvUnicodeStrings& aStrings, const String& aValue);
// Removes and returns the string at aIndex (range-checked by the caller).
String mvUnicodeStringsExtract(TmvUnicodeStrings& aStrings, size_t aIndex);
void mvUnicodeStringsToStrings(const TmvUnicodeStrings& aSource, TStringList& aTarget);
TmvUnicodeStrings mvStringsToUnicodeStrings(const TStringList& aSource);
// High bound - low bound + 1 of the first dimension.
int32_t mvVarArrayLength(const Variant& aArray);

// ---------------------------------------------------------------------------
// Text of numbers, dates and GUIDs; the Ansi forms in the system ANSI code
// page.

String mvIntToStr(int32_t aValue);
AnsiString mvIntToAnsiStr(int32_t aValue);
String mvInt64ToStr(int64_t aValue);
AnsiString mvInt64ToAnsiStr(int64_t aValue);
// aDefault unless the whole text (blanks around it allowed) is a 32-bit number.
int32_t mvAnsiStrToIntDef(std::string_view aText, int32_t aDefault);
String mvFloatToStr(Extended aValue, const TFormatSettings& aSettings);
AnsiString mvFloatToAnsiStr(Extended aValue, const TFormatSettings& aSettings);
String mvDateToStr(TDateTime aValue, const TFormatSettings& aSettings);
AnsiString mvDateToAnsiStr(TDateTime aValue, const TFormatSettings& aSettings);
String mvTimeToStr(TDateTime aValue, const TFormatSettings& aSettings);
AnsiString mvTimeToAnsiStr(TDateTime aValue, const TFormatSettings& aSettings);
String mvDateTimeToStr(TDateTime aValue, const TFormatSettings& aSettings);
AnsiString mvDateTimeToAnsiStr(TDateTime aValue, const TFormatSettings& aSettings);
// The braced registry form.
String mvGuidToStr(const TGUID& aGuid);
AnsiString mvGuidToAnsiStr(const TGUID& aGuid);
TTimeStamp mvMakeTimeStamp(int32_t aDate, int32_t aTime);

// ---------------------------------------------------------------------------
// Hashing

// The ELF (PJW) hash of aCount bytes.
uint32_t mvElfHash(const void* aBuffer, size_t aCount);
// mvElfHash over the string's UTF-16 bytes (2 per unit); 0 for "".
uint32_t mvHashString(std::u16string_view aText);

// ---------------------------------------------------------------------------
// Names

inline constexpr size_t mvMaxIdentifierLength = 128;
// Checks a name; on failure records the message with aErrorCode as the
// thread's last converted exception and returns aErrorCode (nothing is
// raised); 0 when the name is valid.
uint32_t mvValidateIdentifier(std::u16string_view aName, uint32_t aErrorCode, bool aAllowEmpty,
                              bool aAllowReserved);
// Cuts to 128 characters; leading and trailing blanks and every character
// outside the identifier set become "_".
String mvMakeValidIdentifier(std::u16string_view aText);
// Not empty and free of " * . / : < > ? \ |.
bool mvIsPlainName(std::u16string_view aText);

// ---------------------------------------------------------------------------
// Operating-system errors (errno is the thread's last error)

[[noreturn]] void mvRaiseLastOSError(std::u16string_view aAction, uint32_t aErrorCode);
[[noreturn]] void mvRaiseLastOSErrorRes(const TResStringRec& aAction, uint32_t aErrorCode);
[[noreturn]] void mvRaiseLastOSErrorUnknown();
// Raise the last OS error naming aAction when aOk is false; return aOk.
bool mvWin32CheckText(bool aOk, std::u16string_view aAction);
bool mvWin32CheckRes(bool aOk, const TResStringRec& aAction);
// Takes the descriptor out of the variable (which then holds 0) with one
// locked exchange, and closes it unless it is 0 or -1; a failing close
// raises the last OS error.
void mvCloseHandleAndNil(int& aHandle);
// The same for an event: taken out with a locked exchange, set, then closed.
void mvSignalAndCloseEvent(TEventHandle& aEvent);

// ---------------------------------------------------------------------------
// Operating-system queries

// True when the process's command line holds "-" or "/" followed by aName,
// compared ignoring case.
bool mvFindCmdLineSwitch(std::u16string_view aName);

struct TmvMemoryStatus {
  uint32_t dwMemoryLoad = 0;  // percent of physical memory in use
  uint64_t ullTotalPhys = 0;
  uint64_t ullAvailPhys = 0;
  uint64_t ullTotalPageFile = 0;
  uint64_t ullAvailPageFile = 0;
  uint64_t ullTotalVirtual = 0;
  uint64_t ullAvailVirtual = 0;
  uint64_t ullAvailExtendedVirtual = 0;  // not reported here: 0
};
bool mvGetMemoryStatus(TmvMemoryStatus& aStatus);

// 32 bytes that tell one file from every other on the machine.
struct TmvFileIdentity {
  uint64_t CreationTime = 0;        // file time (100 ns units since 1601), 0 when unknown
  uint64_t VolumeSerialNumber = 0;  // the device number
  uint8_t FileId[16] = {};          // the inode number, little-endian, zero-extended
};
static_assert(sizeof(TmvFileIdentity) == 32);
// False when the file cannot be queried.
bool mvGetFileIdentity(int aHandle, TmvFileIdentity& aIdentity);
// The file's object id in a 64-byte buffer (zeroed first): Linux keeps no
// such id, so it is made of the device and inode numbers, which are stable
// for the life of the file. False for -1 or when the file cannot be queried.
bool mvGetFileObjectId(int aHandle, uint8_t (&aBuffer)[64]);

// The process-wide release hook: none is installed in this system.
int32_t mvCallReleaseHook(void* aDatabase);
