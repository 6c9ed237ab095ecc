// Data dictionary, inside the composite key field engines: the segments of
// the three text types, how they are built from a field and how they
// compare, by byte (unit) order or by a locale's collation.
//
// Segment forms (L = the segment's bytes, KeyLength):
//   ShortString  byte 0 the length n (at most min(L - 1, 255)), then n bytes
//   NullString   the bytes, a zero at the latest in byte L - 1
//   WideString   UTF-16 units (little-endian), a zero unit at the latest in
//                the last whole unit of the segment
// Segments sit at any byte offset of a key and fields at any offset of a
// record, so wide units are read byte by byte, never through a char16_t
// pointer. Reading stops at the segment's end even where a damaged segment
// lacks its terminator or states a longer length.
//
// Layer: data dictionary; calls the platform's code-page conversions and
// collation and the foundation's short-string compares.
#include "dictionary/keys/mvsdCompositeKeyFieldEnginesText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/mvllUtils.h"
#include "foundation/types/mvllWideString.h"
#include "platform/Nls.h"
#include "platform/Numeric.h"

namespace mvckfe {

int8_t Collate(const E& e, std::u16string_view a, std::u16string_view b, const char16_t* aAction) {
  const int r = CompareStringW(e.ckfeLocale, e.ckfeCompareFlags, a, b);
  // A compare that fails must not pass for an order: an index sorted by it
  // would be wrong for good.
  if (r == 0) mvRaiseNlsError(String(aAction) + u"/CompareString");
  return int8_t(r - CSTR_EQUAL);
}

namespace {

const uint8_t* Bytes(const void* p) { return static_cast<const uint8_t*>(p); }
uint8_t* Bytes(void* p) { return static_cast<uint8_t*>(p); }

enum TTextKind { tkShort, tkNull, tkWide };

// The most characters (units) a segment of the engine holds.
template <TTextKind K>
int32_t MaxChars(const E& e) {
  const int32_t n = K == tkShort ? std::min(e.ckfeKeyLength - 1, 255)
                    : K == tkNull ? e.ckfeKeyLength - 1
                                  : e.ckfeKeyLength / 2 - 1;
  return std::max(n, 0);
}

const uint8_t* TextStart(TTextKind aKind, const uint8_t* aSegment) {
  return aKind == tkShort ? aSegment + 1 : aSegment;
}
uint8_t* TextStart(TTextKind aKind, uint8_t* aSegment) { return aKind == tkShort ? aSegment + 1 : aSegment; }

int32_t WideLength(const uint8_t* p, int32_t aMaxUnits) {
  int32_t n = 0;
  while (n < aMaxUnits && LoadLE16(p + 2 * n) != 0) ++n;
  return n;
}

// The characters (units) of the string in a segment, within the segment.
template <TTextKind K>
int32_t TextCount(const E& e, const uint8_t* aSegment) {
  const int32_t max = MaxChars<K>(e);
  if constexpr (K == tkShort) return std::min<int32_t>(aSegment[0], max);
  if constexpr (K == tkNull) return int32_t(strnlen(reinterpret_cast<const char*>(aSegment), size_t(max)));
  return WideLength(aSegment, max);
}

// A partial length, the two reserved ones taken from the strings; never
// below 0.
template <typename L1, typename L2>
int32_t ResolvePartialLen(int32_t aPartialLen, L1 aLength1, L2 aLength2) {
  if (aPartialLen == mvPartialLenOfKey2) return aLength2();
  if (aPartialLen == mvPartialLenOfKey1) return aLength1();
  return std::max(aPartialLen, 0);
}

// ---------------------------------------------------------------------------
// Byte (unit) order

// StrLIComp's order: ASCII letters folded.
int8_t CompareNullCharsIC(const uint8_t* a, const uint8_t* b, int32_t aMax) {
  for (int32_t i = 0; i < aMax; ++i) {
    const uint8_t ca = mvAsciiUpper(a[i]), cb = mvAsciiUpper(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) break;
  }
  return 0;
}

// The units as mvStrLCompW compares them (stopping after a terminator), read
// from unaligned bytes.
template <bool IC>
int8_t CompareWideUnits(const uint8_t* a, const uint8_t* b, int32_t aMax) {
  for (int32_t i = 0; i < aMax; ++i) {
    const uint16_t ca = IC ? mvAsciiUpper(LoadLE16(a + 2 * i)) : LoadLE16(a + 2 * i);
    const uint16_t cb = IC ? mvAsciiUpper(LoadLE16(b + 2 * i)) : LoadLE16(b + 2 * i);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) break;
  }
  return 0;
}

// mvCmpShortString's order (the common characters as unsigned bytes, then
// the lengths) through the library's vectorised memcmp: the hot path of
// every ShortString index, where a byte loop loses to it (measured).
inline int8_t CompareShortChars(const uint8_t* a, const uint8_t* b, int32_t aMax) {
  const int32_t la = std::min<int32_t>(a[0], aMax), lb = std::min<int32_t>(b[0], aMax);
  if (const int c = std::memcmp(a + 1, b + 1, size_t(std::min(la, lb)))) return mvSignOf(c);
  return mvSign3(la, lb);
}

// At most aMax characters of both segments. strncmp is StrLComp's order
// (unsigned bytes, stopping at a terminator).
template <TTextKind K, bool IC>
int8_t ByteOrder(const uint8_t* a, const uint8_t* b, int32_t aMax) {
  if constexpr (K == tkShort)
    return IC ? int8_t(mvCmpShortStringIC(a, b, uint8_t(aMax))) : CompareShortChars(a, b, aMax);
  if constexpr (K == tkNull) {
    if constexpr (IC) return CompareNullCharsIC(a, b, aMax);
    return mvSignOf(std::strncmp(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b), size_t(aMax)));
  }
  return CompareWideUnits<IC>(a, b, aMax);
}

template <TTextKind K, bool IC>
int8_t ByteOrderCompareKey(const E& e, const void* a, const void* b) {
  return ByteOrder<K, IC>(Bytes(a), Bytes(b), MaxChars<K>(e));
}

template <TTextKind K, bool IC>
int8_t ByteOrderPartialCompareKey(const E& e, const void* a, const void* b, int32_t aPartialLen) {
  const int32_t n = ResolvePartialLen(
      aPartialLen, [&] { return TextCount<K>(e, Bytes(a)); }, [&] { return TextCount<K>(e, Bytes(b)); });
  return ByteOrder<K, IC>(Bytes(a), Bytes(b), std::min(n, MaxChars<K>(e)));
}

// ---------------------------------------------------------------------------
// Locale order

// The UTF-16 text of one segment or field: in a buffer on the stack, or, for
// a text longer than that, in a buffer the thread keeps for its side of the
// compare (so that a long compare allocates only the first time).
class TWideText {
 public:
  explicit TWideText(int aSide) : fSide(aSide) {}
  TWideText(const TWideText&) = delete;
  TWideText& operator=(const TWideText&) = delete;

  char16_t* Reserve(int32_t aUnits) {
    if (size_t(aUnits) <= std::size(fInline)) return fData = fInline;
    String& spill = tSpill[fSide];
    if (spill.size() < size_t(aUnits)) spill.resize(size_t(aUnits));
    return fData = spill.data();
  }
  void Cut(int32_t aUnits) { fLength = std::min(fLength, size_t(std::max(aUnits, 0))); }
  int32_t Length() const { return int32_t(fLength); }
  std::u16string_view View() const { return {fData, fLength}; }

  // aCount bytes in aCodePage, converted. aLowBytes: what the code page
  // makes of the bytes below 0x80, when known; none of the code pages has a
  // lead byte below 0x80, so a text of such bytes alone is converted by
  // that table, without a converter.
  void LoadBytes(uint32_t aCodePage, const uint8_t* aText, int32_t aCount, const char16_t* aAction,
                 const char16_t* aLowBytes = nullptr) {
    fLength = 0;
    if (aCount <= 0) return;
    // No code page makes more UTF-16 units of a text than it has bytes.
    char16_t* out = Reserve(aCount);
    if (aLowBytes) {
      uint8_t high = 0;
      for (int32_t i = 0; i < aCount; ++i) {
        high |= aText[i];
        out[i] = aLowBytes[aText[i] & 0x7F];
      }
      fLength = size_t(aCount);
      if (high < 0x80) return;
    }
    const int n = MultiByteToWideChar(aCodePage, 0, reinterpret_cast<const char*>(aText), aCount, out, aCount);
    if (n == 0) mvRaiseNlsError(String(aAction) + u"/MultiByteToWideChar");
    fLength = size_t(n);
  }
  // aCount little-endian UTF-16 units.
  void LoadUnits(const uint8_t* aText, int32_t aCount) {
    char16_t* out = Reserve(aCount);
    for (int32_t i = 0; i < aCount; ++i) out[i] = char16_t(LoadLE16(aText + 2 * i));
    fLength = size_t(std::max(aCount, 0));
  }

 private:
  static thread_local String tSpill[2];
  char16_t fInline[256];
  char16_t* fData = fInline;
  size_t fLength = 0;
  int fSide;
};
thread_local String TWideText::tSpill[2];

template <TTextKind K>
void LoadSegmentText(const E& e, const uint8_t* aSegment, int32_t aCount, TWideText& aText,
                     const char16_t* aAction) {
  if constexpr (K == tkWide)
    aText.LoadUnits(aSegment, aCount);
  else
    aText.LoadBytes(CollationCodePage(e), TextStart(K, aSegment), aCount, aAction,
                    e.ckfeCompareLowBytesKnown ? e.ckfeCompareLowBytes : nullptr);
}

template <TTextKind K>
constexpr const char16_t* kLocaleAction = K == tkShort  ? u"ShortAnsiStrCompareKey"
                                          : K == tkNull ? u"NullAnsiStrCompareKey"
                                                        : u"WideStrCompareKey";
template <TTextKind K>
constexpr const char16_t* kPartialAction = K == tkShort  ? u"ShortAnsiStrPartialCompareKey"
                                           : K == tkNull ? u"NullAnsiStrPartialCompareKey"
                                                         : u"WideStrPartialCompareKey";
template <TTextKind K>
constexpr const char16_t* kMBCSAction =
    K == tkShort ? u"ShortAnsiStrPartialCompareKeyMBCS" : u"NullAnsiStrPartialCompareKeyMBCS";

template <TTextKind K>
int8_t LocaleCompareKey(const E& e, const void* a, const void* b) {
  TWideText ta(0), tb(1);
  LoadSegmentText<K>(e, Bytes(a), TextCount<K>(e, Bytes(a)), ta, kLocaleAction<K>);
  LoadSegmentText<K>(e, Bytes(b), TextCount<K>(e, Bytes(b)), tb, kLocaleAction<K>);
  return Collate(e, ta.View(), tb.View(), kLocaleAction<K>);
}

// Single-byte compare code pages and UTF-16: the strings are cut to the
// partial length before the collation.
template <TTextKind K>
int8_t LocalePartialCompareKey(const E& e, const void* a, const void* b, int32_t aPartialLen) {
  const int32_t ca = TextCount<K>(e, Bytes(a)), cb = TextCount<K>(e, Bytes(b));
  const int32_t m = std::min(ResolvePartialLen(aPartialLen, [&] { return ca; }, [&] { return cb; }), MaxChars<K>(e));
  TWideText ta(0), tb(1);
  LoadSegmentText<K>(e, Bytes(a), std::min(ca, m), ta, kPartialAction<K>);
  LoadSegmentText<K>(e, Bytes(b), std::min(cb, m), tb, kPartialAction<K>);
  return Collate(e, ta.View(), tb.View(), kPartialAction<K>);
}

// Multi-byte compare code pages: a cut by bytes could split a character, so
// the strings are converted whole and cut by characters.
template <TTextKind K>
int8_t LocalePartialCompareKeyMBCS(const E& e, const void* a, const void* b, int32_t aPartialLen) {
  TWideText ta(0), tb(1);
  LoadSegmentText<K>(e, Bytes(a), TextCount<K>(e, Bytes(a)), ta, kMBCSAction<K>);
  LoadSegmentText<K>(e, Bytes(b), TextCount<K>(e, Bytes(b)), tb, kMBCSAction<K>);
  const int32_t m = ResolvePartialLen(aPartialLen, [&] { return ta.Length(); }, [&] { return tb.Length(); });
  ta.Cut(m);
  tb.Cut(m);
  return Collate(e, ta.View(), tb.View(), kMBCSAction<K>);
}

template <TTextKind K>
TCompareRoutines TextRoutinesOf(const E& e) {
  if (e.ckfeUseByteOrder)
    return e.ckfeIgnoreCase ? mvWithPartial<&ByteOrderCompareKey<K, true>, &ByteOrderPartialCompareKey<K, true>>
                            : mvWithPartial<&ByteOrderCompareKey<K, false>, &ByteOrderPartialCompareKey<K, false>>;
  if constexpr (K != tkWide)
    if (e.ckfeCompareMultiByte) return mvWithPartial<&LocaleCompareKey<K>, &LocalePartialCompareKeyMBCS<K>>;
  return mvWithPartial<&LocaleCompareKey<K>, &LocalePartialCompareKey<K>>;
}

// ---------------------------------------------------------------------------
// Building

// Copies the build length whole (one fixed-size move instead of one sized by
// the value) and then the length byte, cut to the characters copied.
void ShortStrBuildKey(const E& e, const void* aField, void* aKey) {
  const uint8_t length = Bytes(aField)[0];
  std::memcpy(aKey, aField, size_t(e.ckfeBuildKeyLength));
  Bytes(aKey)[0] = uint8_t(std::min<int32_t>(length, e.ckfeBuildKeyLength - 1));
}

void NullStrBuildKey(const E& e, const void* aField, void* aKey) {
  const size_t n = size_t(e.ckfeBuildKeyLength);
  std::memcpy(aKey, aField, n);
  Bytes(aKey)[n - 1] = 0;
}

void WideStrBuildKey(const E& e, const void* aField, void* aKey) {
  const size_t n = size_t(e.ckfeBuildKeyLength) & ~size_t(1);
  std::memcpy(aKey, aField, n);
  if (n >= 2) StoreLE16(Bytes(aKey) + n - 2, 0);
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The units of a character starting at aText[i]: a surrogate pair is one.
size_t CharUnits(std::u16string_view aText, size_t i) {
  return IsHighSurrogate(aText[i]) && i + 1 < aText.size() && IsLowSurrogate(aText[i + 1]) ? 2 : 1;
}

// The first aChars units of a text, one less when that would split a
// surrogate pair.
std::u16string_view CharPrefix(std::u16string_view aText, int32_t aChars) {
  size_t n = std::min(aText.size(), size_t(std::max(aChars, 0)));
  if (n > 0 && n < aText.size() && IsHighSurrogate(aText[n - 1]) && IsLowSurrogate(aText[n])) --n;
  return aText.substr(0, n);
}

// Converts aText into aCodePage, at most aCapacity bytes of whole
// characters: a double-byte character that does not fit is left out rather
// than cut in two, and a text too long for the segment ends where the
// segment does instead of failing the build. Returns the bytes written.
int32_t ConvertWholeChars(uint32_t aCodePage, std::u16string_view aText, uint8_t* aOut, int32_t aCapacity,
                          const char16_t* aAction) {
  if (aText.empty() || aCapacity <= 0) return 0;
  char* out = reinterpret_cast<char*>(aOut);
  const int n = WideCharToMultiByte(aCodePage, 0, aText.data(), int(aText.size()), out, aCapacity);
  if (n > 0) return n;
  if (errno != ENOBUFS) mvRaiseNlsError(String(aAction) + u"/WideCharToMultiByte");
  // Too long: character by character, up to the first that would not fit
  // (none of the code pages keeps a shift state between characters).
  int32_t used = 0;
  for (size_t i = 0; i < aText.size();) {
    const size_t units = CharUnits(aText, i);
    char bytes[8];
    const int len = WideCharToMultiByte(aCodePage, 0, aText.data() + i, int(units), bytes, int(sizeof bytes));
    if (len == 0) mvRaiseNlsError(String(aAction) + u"/WideCharToMultiByte");
    if (used + len > aCapacity) break;
    std::memcpy(aOut + used, bytes, size_t(len));
    used += len;
    i += units;
  }
  return used;
}

template <TTextKind K, TTextBuild Form>
constexpr const char16_t* kBuildAction = K == tkShort ? (Form == tbConvert ? u"ShortStrBuildKeyConvert"
                                                                           : u"ShortStrBuildKeyTruncate")
                                                      : (Form == tbConvert ? u"NullStrBuildKeyConvert"
                                                                           : u"NullStrBuildKeyTruncate");

// ShortString and NullString through UTF-16: the field's text is read in
// the storage code page, cut to KeyChars characters and written in the
// compare code page (tbConvert) or back in the storage code page
// (tbTruncate, so that a multi-byte text is cut on a character boundary).
template <TTextKind K, TTextBuild Form>
void BuildKeyThroughWide(const E& e, const void* aField, void* aKey) {
  const uint8_t* field = Bytes(aField);
  uint8_t* key = Bytes(aKey);
  const int32_t count = K == tkShort
                            ? std::min<int32_t>(field[0], e.ckfeFieldLength - 1)
                            : int32_t(strnlen(reinterpret_cast<const char*>(field), size_t(e.ckfeFieldLength)));
  int32_t written = 0;
  if (count > 0) {
    TWideText text(0);
    text.LoadBytes(e.ckfeStorageCodepage, TextStart(K, field), count, kBuildAction<K, Form>);
    const uint32_t target = Form == tbConvert ? e.ckfeCompareCodepage : e.ckfeStorageCodepage;
    written = ConvertWholeChars(target, CharPrefix(text.View(), e.ckfeKeyChars),
                                TextStart(K, key), MaxChars<K>(e), kBuildAction<K, Form>);
  }
  if constexpr (K == tkShort)
    key[0] = uint8_t(written);
  else
    key[written] = 0;
}

bool IsDigit(uint16_t c) { return c >= '0' && c <= '9'; }

void ShortStrNumbersOnly(const E& e, const void* aField, void* aKey) {
  const uint8_t* field = Bytes(aField);
  uint8_t* key = Bytes(aKey);
  const int32_t maxDigits = std::max(std::min({e.ckfeBuildKeyLength, e.ckfeKeyLength - 1, 255}), 0);
  std::memset(key, 0, size_t(std::min(e.ckfeBuildKeyLength + 1, e.ckfeKeyLength)));
  const int32_t n = std::min<int32_t>(field[0], e.ckfeFieldLength - 1);
  for (int32_t i = 1; i <= n && key[0] < maxDigits; ++i)
    if (IsDigit(field[i])) key[++key[0]] = field[i];
}

void NullStrNumbersOnly(const E& e, const void* aField, void* aKey) {
  const uint8_t* field = Bytes(aField);
  uint8_t* key = Bytes(aKey);
  const int32_t maxDigits = std::max(std::min(e.ckfeBuildKeyLength, e.ckfeKeyLength - 1), 0);
  int32_t digits = 0;
  for (int32_t i = 0; i < e.ckfeFieldLength && field[i] != 0 && digits < maxDigits; ++i)
    if (IsDigit(field[i])) key[digits++] = field[i];
  key[digits] = 0;
}

void WideStrNumbersOnly(const E& e, const void* aField, void* aKey) {
  const uint8_t* field = Bytes(aField);
  uint8_t* key = Bytes(aKey);
  const int32_t maxDigits = std::max(std::min(e.ckfeBuildKeyLength, e.ckfeKeyLength / 2 - 1), 0);
  int32_t digits = 0;
  for (int32_t i = 0; i < e.ckfeFieldLength / 2 && digits < maxDigits; ++i) {
    const uint16_t c = LoadLE16(field + 2 * i);
    if (c == 0) break;
    if (IsDigit(c)) StoreLE16(key + 2 * digits++, c);
  }
  StoreLE16(key + 2 * digits, 0);
}

}  // namespace

TCompareRoutines TextCompareRoutines(const E& e) {
  switch (e.ckfeFieldType) {
    case mvtShortString: return TextRoutinesOf<tkShort>(e);
    case mvtNullString: return TextRoutinesOf<tkNull>(e);
    default: return TextRoutinesOf<tkWide>(e);
  }
}

TBuildFn TextBuildRoutine(TmvFieldType aType, TTextBuild aForm) {
  switch (aType) {
    case mvtShortString:
      return aForm == tbCopy        ? &ShortStrBuildKey
             : aForm == tbConvert   ? &BuildKeyThroughWide<tkShort, tbConvert>
             : aForm == tbTruncate  ? &BuildKeyThroughWide<tkShort, tbTruncate>
                                    : &ShortStrNumbersOnly;
    case mvtNullString:
      return aForm == tbCopy        ? &NullStrBuildKey
             : aForm == tbConvert   ? &BuildKeyThroughWide<tkNull, tbConvert>
             : aForm == tbTruncate  ? &BuildKeyThroughWide<tkNull, tbTruncate>
                                    : &NullStrNumbersOnly;
    default:  // UTF-16 is neither converted nor cut by code page
      return aForm == tbNumbersOnly ? &WideStrNumbersOnly : &WideStrBuildKey;
  }
}

}  // namespace mvckfe
