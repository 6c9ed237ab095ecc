// Foundation: compare primitives, bit sets, string helpers, hashing and
// system queries. See mvllUtils.h.
#include "foundation/mvllUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "foundation/errors/mvllExceptions.h"
#include "platform/Classes.h"
#include "platform/Guid.h"
#include "platform/Nls.h"
#include "platform/TextServices.h"
#include "platform/ValueToText.h"

namespace {

template <typename T>
int cmp3(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

char16_t asciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }
uint8_t asciiUpper8(uint8_t c) { return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 32) : c; }

// NaN after every number, equal to another NaN: a total order, so that a
// NaN in a key or a sorted list cannot break the order of the others.
template <typename F>
int cmpFloat(F a, F b) {
  bool nanA = std::isnan(a);
  bool nanB = std::isnan(b);
  if (nanA || nanB) return nanA == nanB ? 0 : (nanA ? 1 : -1);
  return cmp3(a, b);
}

template <bool FoldCase>
int cmpShortString(const uint8_t* a, const uint8_t* b, uint8_t aMaxLen) {
  uint8_t la = std::min(a[0], aMaxLen);
  uint8_t lb = std::min(b[0], aMaxLen);
  uint8_t n = std::min(la, lb);
  for (uint8_t i = 1; i <= n; ++i) {
    uint8_t ca = FoldCase ? asciiUpper8(a[i]) : a[i];
    uint8_t cb = FoldCase ? asciiUpper8(b[i]) : b[i];
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return cmp3(la, lb);
}

template <bool FoldCase>
int strLCompW(const char16_t* a, const char16_t* b, size_t aMaxLen) {
  for (size_t i = 0; i < aMaxLen; ++i) {
    char16_t ca = FoldCase ? asciiUpper(a[i]) : a[i];
    char16_t cb = FoldCase ? asciiUpper(b[i]) : b[i];
    if (ca != cb) return static_cast<int>(ca) - static_cast<int>(cb);
    if (ca == 0) break;
  }
  return 0;
}

bool isBlank(char16_t c) { return c == u' '; }

}  // namespace

// ---------------------------------------------------------------------------
// Comparisons

int mvCmpByte(uint8_t a, uint8_t b) { return cmp3(a, b); }
int mvCmpWord16(uint16_t a, uint16_t b) { return cmp3(a, b); }
int mvCmpWord32(uint32_t a, uint32_t b) { return cmp3(a, b); }
int mvCmpInt8(int8_t a, int8_t b) { return cmp3(a, b); }
int mvCmpInt16(int16_t a, int16_t b) { return cmp3(a, b); }
int mvCmpInt32(int32_t a, int32_t b) { return cmp3(a, b); }
int mvCmpInt64(int64_t a, int64_t b) { return cmp3(a, b); }
int8_t mvCmpInt64Ref(const int64_t& a, const int64_t& b) { return static_cast<int8_t>(cmp3(a, b)); }
int mvCmpPointer(const void* a, const void* b) {
  return cmp3(reinterpret_cast<uintptr_t>(a), reinterpret_cast<uintptr_t>(b));
}
int mvCmpSingle(float a, float b) { return cmpFloat(a, b); }
int mvCmpDouble(double a, double b) { return cmpFloat(a, b); }

int mvCmpBytes(const void* a, const void* b, size_t aLength) {
  if (aLength == 0) return 0;
  int c = std::memcmp(a, b, aLength);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int mvCmpByteArrays(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  int c = mvCmpBytes(a.data(), b.data(), std::min(a.size(), b.size()));
  return c != 0 ? c : cmp3(a.size(), b.size());
}

int mvCmpShortString(const uint8_t* a, const uint8_t* b, uint8_t aMaxLen) {
  return cmpShortString<false>(a, b, aMaxLen);
}
int mvCmpShortStringIC(const uint8_t* a, const uint8_t* b, uint8_t aMaxLen) {
  return cmpShortString<true>(a, b, aMaxLen);
}
int mvStrLCompW(const char16_t* a, const char16_t* b, size_t aMaxLen) { return strLCompW<false>(a, b, aMaxLen); }
int mvStrLICompW(const char16_t* a, const char16_t* b, size_t aMaxLen) { return strLCompW<true>(a, b, aMaxLen); }

int mvCmpContains(std::u16string_view a, std::u16string_view b) {
  return a.find(b) != std::u16string_view::npos ? 0 : -1;
}

bool mvSameByteArrays(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && mvCmpBytes(a.data(), b.data(), a.size()) == 0;
}
bool mvSameGuid(const TGUID& a, const TGUID& b) { return std::memcmp(&a, &b, sizeof(TGUID)) == 0; }
bool mvStartsWith(std::u16string_view a, std::u16string_view b) { return a.substr(0, b.size()) == b; }

// ---------------------------------------------------------------------------
// Bit sets

namespace {
uint32_t loadWord(const void* bits, uint32_t word) {
  uint32_t w;
  std::memcpy(&w, static_cast<const uint8_t*>(bits) + word * 4u, 4);
  return w;
}
}  // namespace

void mvClearBits(void* aBits, uint32_t aCount) { std::memset(aBits, 0, (aCount + 7u) / 8u); }
void mvSetBits(void* aBits, uint32_t aCount) { std::memset(aBits, 0xFF, (aCount + 7u) / 8u); }
// Bit n of a little-endian word is bit (n mod 8) of byte n div 8, so the
// single-bit routines can work on bytes.
void mvSetBit(void* aBits, uint32_t aBit) { static_cast<uint8_t*>(aBits)[aBit / 8] |= uint8_t(1u << (aBit % 8)); }
void mvClearBit(void* aBits, uint32_t aBit) {
  static_cast<uint8_t*>(aBits)[aBit / 8] &= static_cast<uint8_t>(~(1u << (aBit % 8)));
}
int mvTestBit(const void* aBits, uint32_t aBit) { return (static_cast<const uint8_t*>(aBits)[aBit / 8] >> (aBit % 8)) & 1; }

int32_t mvFindFirstClearBit(const void* aBits, uint32_t aCount) {
  uint32_t words = (aCount + 31u) / 32u;
  for (uint32_t w = 0; w < words; ++w) {
    uint32_t v = loadWord(aBits, w);
    if (v == 0xFFFFFFFFu) continue;
    uint32_t bit = w * 32u + static_cast<uint32_t>(__builtin_ctz(~v));
    return bit < aCount ? static_cast<int32_t>(bit) : -1;
  }
  return -1;
}

void mvOrBits(void* aTarget, const void* aSource, uint32_t aCount) {
  auto* t = static_cast<uint8_t*>(aTarget);
  auto* s = static_cast<const uint8_t*>(aSource);
  uint32_t bytes = (aCount + 7u) / 8u;
  uint32_t i = 0;
  for (; i + 4 <= bytes; i += 4) {
    uint32_t a, b;
    std::memcpy(&a, t + i, 4);
    std::memcpy(&b, s + i, 4);
    a |= b;
    std::memcpy(t + i, &a, 4);
  }
  for (; i < bytes; ++i) t[i] |= s[i];
}

// ---------------------------------------------------------------------------
// Strings and buffers

const char16_t* mvStrPosW(const char16_t* aText, const char16_t* aSub) {
  if (!aText || !aSub || !*aText || !*aSub) return nullptr;
  std::u16string_view text(aText);
  size_t pos = text.find(std::u16string_view(aSub));
  return pos == std::u16string_view::npos ? nullptr : aText + pos;
}

void mvStringToWideBuffer(std::u16string_view aText, char16_t* aBuffer, size_t aMaxLen) {
  if (!aBuffer) return;
  size_t n = std::min(aText.size(), aMaxLen);
  std::copy_n(aText.data(), n, aBuffer);
  aBuffer[n] = 0;
}

TmvCharSet mvCharSet(std::string_view aChars) {
  TmvCharSet set;
  for (char c : aChars) set.set(static_cast<unsigned char>(c));
  return set;
}

void mvSplitAtCharSet(std::u16string_view aText, const TmvCharSet& aSet, String& aBefore, String& aAfter) {
  for (size_t i = 0; i < aText.size(); ++i) {
    if (aText[i] < 256 && aSet.test(aText[i])) {
      aBefore = String(aText.substr(0, i));
      aAfter = String(aText.substr(i + 1));
      return;
    }
  }
  aBefore = String(aText);
  aAfter.clear();
}

void mvBytesToWideChars(const uint8_t* aSource, char16_t* aTarget, size_t aCount) {
  for (size_t i = 0; i < aCount; ++i) aTarget[i] = aSource[i];
}

void mvSwapWideCharBytes(char16_t* aBuffer, size_t aCount) {
  for (size_t i = 0; i < aCount; ++i) aBuffer[i] = static_cast<char16_t>((aBuffer[i] << 8) | (aBuffer[i] >> 8));
}

void mvUnicodeStringsAssign(TmvUnicodeStrings& aStrings, const String& aValue) {
  aStrings.clear();
  if (!aValue.empty()) aStrings.push_back(aValue);
}

void mvUnicodeStringsAdd(TmvUnicodeStrings& aStrings, const String& aValue) { aStrings.push_back(aValue); }

String mvUnicodeStringsExtract(TmvUnicodeStrings& aStrings, size_t aIndex) {
  String s = std::move(aStrings[aIndex]);
  aStrings.erase(aStrings.begin() + static_cast<ptrdiff_t>(aIndex));
  return s;
}

void mvUnicodeStringsToStrings(const TmvUnicodeStrings& aSource, TStringList& aTarget) {
  aTarget.BeginUpdate();
  try {
    aTarget.Clear();
    for (const String& s : aSource) aTarget.Add(s);
  } catch (...) {
    aTarget.EndUpdate();
    throw;
  }
  aTarget.EndUpdate();
}

TmvUnicodeStrings mvStringsToUnicodeStrings(const TStringList& aSource) {
  TmvUnicodeStrings out;
  out.reserve(static_cast<size_t>(aSource.Count()));
  for (int32_t i = 0; i < aSource.Count(); ++i) out.push_back(aSource.Strings(i));
  return out;
}

// ---------------------------------------------------------------------------
// Hashing

uint32_t mvElfHash(const void* aBuffer, size_t aCount) {
  auto* p = static_cast<const uint8_t*>(aBuffer);
  uint32_t h = 0;
  for (size_t i = 0; i < aCount; ++i) {
    h = (h << 4) + p[i];
    uint32_t g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

uint32_t mvHashString(std::u16string_view aText) {
  if (aText.empty()) return 0;
  // The hash is of the little-endian UTF-16 bytes, whatever the host order.
  std::vector<uint8_t> bytes;
  bytes.reserve(aText.size() * 2);
  for (char16_t c : aText) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return mvElfHash(bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------
// Names

namespace {

bool inIdentifierSet(char16_t c) {
  if (c >= u'0' && c <= u'9') return true;
  if (c >= u'A' && c <= u'Z') return true;
  if (c >= u'a' && c <= u'z') return true;
  return std::u16string_view(u" !#$%&()+-.@[]^_{}~").find(c) != std::u16string_view::npos;
}

}  // namespace

uint32_t mvValidateIdentifier(std::u16string_view aName, uint32_t aErrorCode, bool aAllowEmpty,
                              bool aAllowReserved) {
  auto fail = [&](const String& aWhat) {
    return EmvBaseException::mvSetMessage(aErrorCode, mvOriginalMessageMarker() + u" " + aWhat);
  };
  if (aName.empty()) return aAllowEmpty ? 0 : fail(u"Empty string is not allowed.");
  if (isBlank(aName.front()) || isBlank(aName.back())) return fail(u"Leading/trailing spaces are not allowed.");
  if (aName.size() > mvMaxIdentifierLength) return fail(u"Maximum length of 128 characters has been exceeded.");
  for (char16_t c : aName) {
    if (c > 255 || !inIdentifierSet(c)) return fail(u"\"" + String(1, c) + u"\" is not a valid character.");
  }
  if (aName.front() == u'$' && !aAllowReserved) return fail(u"Reserved Identifier not allowed.");
  return 0;
}

String mvMakeValidIdentifier(std::u16string_view aText) {
  String s(aText.substr(0, mvMaxIdentifierLength));
  for (char16_t& c : s) {
    if (!inIdentifierSet(c)) c = u'_';
  }
  for (size_t i = 0; i < s.size() && isBlank(s[i]); ++i) s[i] = u'_';
  for (size_t i = s.size(); i > 0 && isBlank(s[i - 1]); --i) s[i - 1] = u'_';
  return s;
}

bool mvIsPlainName(std::u16string_view aText) {
  return !aText.empty() && aText.find_first_of(u"\"*./:<>?\\|") == std::u16string_view::npos;
}

// ---------------------------------------------------------------------------
// Operating-system errors and handles

void mvRaiseLastOSError(std::u16string_view aAction, uint32_t aErrorCode) {
  throw mvCreateOSExceptionText(aErrorCode, String(aAction));
}

void mvRaiseLastOSErrorRes(const TResStringRec& aAction, uint32_t aErrorCode) {
  mvRaiseLastOSError(LoadResString(aAction), aErrorCode);
}

void mvRaiseLastOSErrorUnknown() { mvRaiseLastOSError(u"[unknown]", 0); }

bool mvWin32CheckText(bool aOk, std::u16string_view aAction) {
  if (!aOk) mvRaiseLastOSError(aAction, 0);
  return aOk;
}

bool mvWin32CheckRes(bool aOk, const TResStringRec& aAction) {
  if (!aOk) mvRaiseLastOSErrorRes(aAction, 0);
  return aOk;
}

void mvCloseHandleAndNil(int& aHandle) {
  int h = std::atomic_ref<int>(aHandle).exchange(0);
  if (h == 0 || h == -1) return;
  if (close(h) != 0) mvRaiseLastOSError(u"CloseHandle", 0);
}

void mvSignalAndCloseEvent(TEventHandle& aEvent) {
  TEventHandle e = std::atomic_ref<TEventHandle>(aEvent).exchange(nullptr);
  if (!e) return;
  e->SetEvent();
  delete e;
}

// ---------------------------------------------------------------------------
// System queries

bool mvFindCmdLineSwitch(std::u16string_view aName) {
  std::ifstream f("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t start = 0;
  bool first = true;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    std::string_view arg(all.data() + start, end - start);
    // The program's own name is not a switch.
    if (!first && arg.size() == aName.size() + 1 && (arg[0] == '-' || arg[0] == '/')) {
      String a = UTF8ToString(arg.substr(1));
      bool same = a.size() == aName.size();
      for (size_t i = 0; same && i < a.size(); ++i) same = asciiUpper(a[i]) == asciiUpper(aName[i]);
      if (same) return true;
    }
    first = false;
    start = end + 1;
  }
  return false;
}

bool mvGetMemoryStatus(TmvMemoryStatus& aStatus) {
  aStatus = TmvMemoryStatus{};
  struct sysinfo si;
  if (sysinfo(&si) == 0) {
    uint64_t unit = si.mem_unit ? si.mem_unit : 1;
    aStatus.ullTotalPhys = si.totalram * unit;
    aStatus.ullAvailPhys = (si.freeram + si.bufferram) * unit;
    aStatus.ullTotalPageFile = (si.totalram + si.totalswap) * unit;
    aStatus.ullAvailPageFile = (si.freeram + si.bufferram + si.freeswap) * unit;
  }
  // MemAvailable counts reclaimable cache too: it is what a program can have.
  std::ifstream f("/proc/meminfo");
  std::string key;
  uint64_t kb;
  std::string unitText;
  while (f >> key >> kb) {
    std::getline(f, unitText);
    if (key == "MemAvailable:") aStatus.ullAvailPhys = kb * 1024u;
  }
  if (aStatus.ullTotalPhys > 0) {
    aStatus.dwMemoryLoad =
        static_cast<uint32_t>(100u - std::min<uint64_t>(100u, aStatus.ullAvailPhys * 100u / aStatus.ullTotalPhys));
  }
  // The user part of the 64-bit address space (47 bits).
  aStatus.ullTotalVirtual = uint64_t(1) << 47;
  aStatus.ullAvailVirtual = aStatus.ullTotalVirtual;
  return true;
}

namespace {

bool statFile(int aHandle, struct statx& st) {
  if (aHandle == -1) return false;
  return statx(aHandle, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME | STATX_MTIME, &st) == 0;
}

// Seconds and nanoseconds since 1970 as a file time: 100 ns units since 1601.
uint64_t toFileTime(const struct statx_timestamp& t) {
  constexpr uint64_t kEpochDiff = 11644473600ull;
  return (static_cast<uint64_t>(t.tv_sec) + kEpochDiff) * 10000000ull + t.tv_nsec / 100u;
}

}  // namespace

bool mvGetFileIdentity(int aHandle, TmvFileIdentity& aIdentity) {
  aIdentity = TmvFileIdentity{};
  struct statx st;
  if (!statFile(aHandle, st)) return false;
  // Not every file system keeps a birth time; the identity then carries 0,
  // which is stable for the file all the same.
  if (st.stx_mask & STATX_BTIME) aIdentity.CreationTime = toFileTime(st.stx_btime);
  aIdentity.VolumeSerialNumber = (static_cast<uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
  uint64_t ino = st.stx_ino;
  std::memcpy(aIdentity.FileId, &ino, sizeof ino);
  return true;
}

bool mvGetFileObjectId(int aHandle, uint8_t (&aBuffer)[64]) {
  std::memset(aBuffer, 0, sizeof aBuffer);
  struct statx st;
  if (!statFile(aHandle, st)) return false;
  uint64_t dev = (static_cast<uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
  uint64_t ino = st.stx_ino;
  std::memcpy(aBuffer, &ino, 8);
  std::memcpy(aBuffer + 8, &dev, 8);
  return true;
}

int32_t mvCallReleaseHook(void*) { return E_NOTIMPL; }

// ---------------------------------------------------------------------------
// Locale-aware helpers and the text of values

int mvCmpStringSystemLocale(std::u16string_view a, std::u16string_view b) {
  return mvCmpStringSystemLocale(a, b, false);
}

int mvCmpStringSystemLocale(std::u16string_view a, std::u16string_view b, bool aIgnoreCase) {
  int r = CompareStringW(LOCALE_SYSTEM_DEFAULT, aIgnoreCase ? NORM_IGNORECASE : 0, a, b);
  if (r == 0) mvRaiseLastOSError(u"mvCmpStringSystemLocale/CompareString", 0);
  return r - CSTR_EQUAL;
}

void mvCharLower(char16_t* aBuffer) {
  if (!aBuffer) return;
  const int len = static_cast<int>(std::char_traits<char16_t>::length(aBuffer));
  if (len == 0) return;
  String lower(static_cast<size_t>(len), u'\0');
  if (LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_LOWERCASE, aBuffer, len, lower.data(), len) == len) {
    std::copy(lower.begin(), lower.end(), aBuffer);
    return;
  }
  // Some character lower-cases to another number of units: map one
  // character (surrogate pairs together) at a time and keep those.
  for (int i = 0; i < len;) {
    const int n = (i + 1 < len && aBuffer[i] >= 0xD800 && aBuffer[i] <= 0xDBFF) ? 2 : 1;
    char16_t out[4];
    if (LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_LOWERCASE, aBuffer + i, n, out, 4) == n)
      std::copy(out, out + n, aBuffer + i);
    i += n;
  }
}

int32_t mvVarArrayLength(const Variant& aArray) {
  return VarArrayHighBound(aArray, 1) - VarArrayLowBound(aArray, 1) + 1;
}

String mvIntToStr(int32_t aValue) { return IntToStr(aValue); }
AnsiString mvIntToAnsiStr(int32_t aValue) { return std::to_string(aValue); }
String mvInt64ToStr(int64_t aValue) { return IntToStr(aValue); }
AnsiString mvInt64ToAnsiStr(int64_t aValue) { return std::to_string(aValue); }

int32_t mvAnsiStrToIntDef(std::string_view aText, int32_t aDefault) {
  while (!aText.empty() && aText.front() == ' ') aText.remove_prefix(1);
  while (!aText.empty() && aText.back() == ' ') aText.remove_suffix(1);
  if (!aText.empty() && aText.front() == '+') aText.remove_prefix(1);
  int32_t v = 0;
  auto [end, ec] = std::from_chars(aText.data(), aText.data() + aText.size(), v);
  return (aText.empty() || ec != std::errc() || end != aText.data() + aText.size()) ? aDefault : v;
}

String mvFloatToStr(Extended aValue, const TFormatSettings& aSettings) { return FloatToStr(aValue, aSettings); }
AnsiString mvFloatToAnsiStr(Extended aValue, const TFormatSettings& aSettings) {
  return StringToSystemAnsi(FloatToStr(aValue, aSettings));
}
String mvDateToStr(TDateTime aValue, const TFormatSettings& aSettings) { return DateToStr(aValue, aSettings); }
AnsiString mvDateToAnsiStr(TDateTime aValue, const TFormatSettings& aSettings) {
  return StringToSystemAnsi(DateToStr(aValue, aSettings));
}
String mvTimeToStr(TDateTime aValue, const TFormatSettings& aSettings) { return TimeToStr(aValue, aSettings); }
AnsiString mvTimeToAnsiStr(TDateTime aValue, const TFormatSettings& aSettings) {
  return StringToSystemAnsi(TimeToStr(aValue, aSettings));
}
String mvDateTimeToStr(TDateTime aValue, const TFormatSettings& aSettings) {
  return DateTimeToStr(aValue, aSettings);
}
AnsiString mvDateTimeToAnsiStr(TDateTime aValue, const TFormatSettings& aSettings) {
  return StringToSystemAnsi(DateTimeToStr(aValue, aSettings));
}
String mvGuidToStr(const TGUID& aGuid) { return GUIDToString(aGuid); }
AnsiString mvGuidToAnsiStr(const TGUID& aGuid) { return StringToSystemAnsi(GUIDToString(aGuid)); }

TTimeStamp mvMakeTimeStamp(int32_t aDate, int32_t aTime) {
  TTimeStamp ts;
  ts.Date = aDate;
  ts.Time = aTime;
  return ts;
}
