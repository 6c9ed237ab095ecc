// Platform layer: code-page conversion over ICU converters.
//
// Windows code page numbers map onto ICU converter names through one table.
// ICU converters are not thread-safe, so each thread keeps its own, opened on
// first use and closed when the thread ends. Conversion never fails on
// content: characters a code page cannot express and byte sequences it does
// not define become '?' (U+FFFD for UTF-8, as Windows does), which keeps a
// length query and the conversion in step. Callers that want a string rather
// than the Windows calls' caller-sized buffer use the one-pass conversions,
// which size the output for the worst case, convert once and trim: the
// converter is the costly part, and a length query runs it a second time.
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "platform/Nls.h"

namespace {

struct CodePageInfo {
  uint32_t codePage;
  const char* icuName;
  const char16_t* name;
};

// Sorted by code page. The ICU names are the exact converter tables, not
// aliases, so that ICU's alias resolution cannot pick a different table.
constexpr CodePageInfo kCodePages[] = {
    {437, "ibm-437_P100-1995", u"OEM - United States"},
    {850, "ibm-850_P100-1995", u"OEM - Multilingual Latin I"},
    {866, "ibm-866_P100-1995", u"OEM - Russian"},
    {874, "windows-874-2000", u"ANSI/OEM - Thai"},
    {932, "ibm-943_P15A-2003", u"ANSI/OEM - Japanese Shift-JIS"},
    {936, "windows-936-2000", u"ANSI/OEM - Simplified Chinese GBK"},
    {949, "windows-949-2000", u"ANSI/OEM - Korean"},
    {950, "windows-950-2000", u"ANSI/OEM - Traditional Chinese Big5"},
    {1250, "ibm-5346_P100-1998", u"ANSI - Central Europe"},
    {1251, "ibm-5347_P100-1998", u"ANSI - Cyrillic"},
    {1252, "ibm-5348_P100-1997", u"ANSI - Latin I"},
    {1253, "ibm-5349_P100-1998", u"ANSI - Greek"},
    {1254, "ibm-5350_P100-1998", u"ANSI - Turkish"},
    {1255, "ibm-9447_P100-2002", u"ANSI - Hebrew"},
    {1256, "ibm-9448_X100-2005", u"ANSI - Arabic"},
    {1257, "ibm-9449_P100-2002", u"ANSI - Baltic"},
    {1258, "ibm-5354_P100-1998", u"ANSI/OEM - Viet Nam"},
    {20127, "US-ASCII", u"US-ASCII"},
    {28591, "ISO-8859-1", u"ISO 8859-1 Latin I"},
    {65001, "UTF-8", u"UTF-8"},
};

const CodePageInfo* findCodePage(uint32_t codePage) {
  auto it = std::lower_bound(std::begin(kCodePages), std::end(kCodePages), codePage,
                             [](const CodePageInfo& info, uint32_t cp) { return info.codePage < cp; });
  return it != std::end(kCodePages) && it->codePage == codePage ? it : nullptr;
}

std::atomic<uint32_t> gAnsiCodePage{932};

// Writes '?' for each undefined or illegal byte sequence.
void substituteQuestionMark(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                            UConverterCallbackReason reason, UErrorCode* err) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close, clone: nothing to write
  *err = U_ZERO_ERROR;
  const UChar q = u'?';
  ucnv_cbToUWriteUChars(args, &q, 1, 0, err);
}

struct ConverterDeleter {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterDeleter>;

// The calling thread's converters, by resolved code page.
struct ThreadConverters {
  std::unordered_map<uint32_t, ConverterPtr> byCodePage;
  uint64_t calls = 0;
};
thread_local ThreadConverters tConverters;

UConverter* converterFor(uint32_t codePage) {
  auto& map = tConverters.byCodePage;
  if (auto it = map.find(codePage); it != map.end()) return it->second.get();
  const CodePageInfo* info = findCodePage(codePage);
  if (!info) return nullptr;
  UErrorCode err = U_ZERO_ERROR;
  ConverterPtr conv(ucnv_open(info->icuName, &err));
  if (U_FAILURE(err)) return nullptr;
  if (codePage != CP_UTF8) {
    ucnv_setSubstChars(conv.get(), "?", 1, &err);
    ucnv_setToUCallBack(conv.get(), substituteQuestionMark, nullptr, nullptr, nullptr, &err);
    if (U_FAILURE(err)) return nullptr;
  }
  return map.emplace(codePage, std::move(conv)).first->second.get();
}

// Resolves the pseudo code pages to a real one; 0 when there is none.
uint32_t resolveCodePage(uint32_t codePage) {
  switch (codePage) {
    case CP_ACP:
      return GetACP();
    case CP_OEMCP:
      return GetOEMCP();
    case CP_THREAD_ACP: {
      char16_t buf[10];
      if (GetLocaleInfoW(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, buf, 10) == 0) return GetACP();
      uint32_t cp = 0;
      for (const char16_t* p = buf; *p; ++p) cp = cp * 10 + (*p - u'0');
      return cp == 0 ? GetACP() : cp;  // a Unicode-only locale falls back to the system's
    }
    default:
      return codePage;
  }
}

int fail(int error) {
  errno = error;
  return 0;
}

}  // namespace

uint32_t GetACP() { return gAnsiCodePage.load(std::memory_order_relaxed); }

bool SetACP(uint32_t codePage) {
  if (codePage == CP_UTF8 || !findCodePage(codePage)) return false;
  gAnsiCodePage.store(codePage, std::memory_order_relaxed);
  return true;
}

uint32_t GetOEMCP() {
  // The OEM page that goes with each ANSI page on Windows.
  switch (GetACP()) {
    case 932: case 936: case 949: case 950: case 874:
      return GetACP();
    case 1251:
      return 866;
    case 1252:
      return 850;
    default:
      return 437;
  }
}

bool IsValidCodePage(uint32_t codePage) { return findCodePage(codePage) != nullptr; }

const std::vector<uint32_t>& NlsSupportedCodePages() {
  static const std::vector<uint32_t> pages = [] {
    std::vector<uint32_t> v;
    for (const auto& info : kCodePages) v.push_back(info.codePage);
    return v;
  }();
  return pages;
}

bool GetCPInfoExName(uint32_t codePage, String& name) {
  const CodePageInfo* info = findCodePage(codePage);
  if (!info) return false;
  name = AsciiToString(std::to_string(codePage)) + u"  (" + info->name + u")";
  return true;
}

bool GetCPMaxCharSize(uint32_t codePage, uint32_t& maxCharSize) {
  UConverter* conv = converterFor(resolveCodePage(codePage));
  if (!conv) return fail(EINVAL);
  maxCharSize = static_cast<uint32_t>(ucnv_getMaxCharSize(conv));
  return true;
}

uint64_t NlsConversionCallCount() { return tConverters.calls; }

namespace {

// The Windows argument rules shared by both directions; the converter for
// the code page, or nil (errno set) when the call is refused. srcLen becomes
// the length to convert.
template <typename S, typename D>
UConverter* beginConversion(uint32_t codePage, uint32_t flags, const S* src, int& srcLen, const D* dst, int dstLen) {
  ++tConverters.calls;
  if (flags != 0 || src == nullptr || srcLen == 0 || srcLen < -1 || dstLen < 0 || (dstLen > 0 && !dst)) {
    fail(EINVAL);
    return nullptr;
  }
  UConverter* conv = converterFor(resolveCodePage(codePage));
  if (!conv) {
    fail(EINVAL);
    return nullptr;
  }
  if (srcLen == -1) srcLen = static_cast<int>(std::char_traits<S>::length(src)) + 1;
  return conv;
}

// One pass of a converter. A capacity of 0 only measures. Returns the units
// the source produces (written when they fit); err tells overflow apart.
int32_t toWide(UConverter* conv, const char* src, int32_t len, char16_t* dst, int32_t cap, UErrorCode& err) {
  ucnv_resetToUnicode(conv);
  return ucnv_toUChars(conv, reinterpret_cast<UChar*>(dst), cap, src, len, &err);
}

int32_t fromWide(UConverter* conv, const char16_t* src, int32_t len, char* dst, int32_t cap, UErrorCode& err) {
  ucnv_resetFromUnicode(conv);
  return ucnv_fromUChars(conv, dst, cap, reinterpret_cast<const UChar*>(src), len, &err);
}

// The Windows answer to a pass: the count, ENOBUFS for a buffer too small
// (a length query is no failure), EINVAL for anything else.
int windowsResult(int32_t n, UErrorCode err, int dstLen) {
  if (err == U_BUFFER_OVERFLOW_ERROR) return dstLen == 0 ? n : fail(ENOBUFS);
  if (U_FAILURE(err)) return fail(EINVAL);
  // ICU adds a terminator when room is left; Windows counts only what the
  // source produced, which is n.
  return n;
}

}  // namespace

int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* src, int srcLen, char16_t* dst,
                        int dstLen) {
  UConverter* conv = beginConversion(codePage, flags, src, srcLen, dst, dstLen);
  if (!conv) return 0;
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = toWide(conv, src, srcLen, dst, dstLen, err);
  return windowsResult(n, err, dstLen);
}

int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* src, int srcLen, char* dst,
                        int dstLen) {
  UConverter* conv = beginConversion(codePage, flags, src, srcLen, dst, dstLen);
  if (!conv) return 0;
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = fromWide(conv, src, srcLen, dst, dstLen, err);
  return windowsResult(n, err, dstLen);
}

// ---------------------------------------------------------------------------
// One-pass conversions into strings

namespace {

// The most output one unit of source can become. No table here turns a byte
// into more than one UTF-16 unit (a double-byte character is one unit, a
// four-byte UTF-8 sequence two, a bad byte one '?' or U+FFFD); a UTF-16 unit
// becomes at most the converter's longest character (none of the tables is
// stateful, so no shift bytes come on top).
size_t widePerByte(UConverter*) { return 1; }
size_t bytesPerWide(UConverter* conv) { return static_cast<size_t>(ucnv_getMaxCharSize(conv)); }

// Converts src into out with one pass of the converter: out is sized for the
// most the source can produce, filled, cut to what was produced and given
// back its slack when that is worth a copy. Should a table ever produce more
// than the bound, the pass is repeated at the exact length it reported.
template <typename Unit, typename SrcUnit, typename Out>
bool convertOnePass(uint32_t codePage, std::basic_string_view<SrcUnit> src, Out& out,
                    int32_t (*pass)(UConverter*, const SrcUnit*, int32_t, Unit*, int32_t, UErrorCode&),
                    size_t (*worstPerUnit)(UConverter*)) {
  out.clear();
  if (src.empty()) return true;
  ++tConverters.calls;
  UConverter* conv = converterFor(resolveCodePage(codePage));
  if (!conv || src.size() > INT32_MAX) return fail(EINVAL);
  const int32_t len = static_cast<int32_t>(src.size());
  out.resize(std::min<size_t>(src.size() * worstPerUnit(conv), INT32_MAX));
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = pass(conv, src.data(), len, reinterpret_cast<Unit*>(out.data()), static_cast<int32_t>(out.size()), err);
  if (err == U_BUFFER_OVERFLOW_ERROR && out.size() < INT32_MAX) {
    out.resize(static_cast<size_t>(n));
    err = U_ZERO_ERROR;
    n = pass(conv, src.data(), len, reinterpret_cast<Unit*>(out.data()), n, err);
  }
  if (U_FAILURE(err)) {
    out.clear();
    return fail(EINVAL);
  }
  out.resize(static_cast<size_t>(n));
  if (out.capacity() - out.size() > std::max<size_t>(out.size() / 4, 32)) out.shrink_to_fit();
  return true;
}

}  // namespace

bool NlsMultiByteToWide(uint32_t codePage, std::string_view src, String& out) {
  return convertOnePass<char16_t>(codePage, src, out, toWide, widePerByte);
}

bool NlsWideToMultiByte(uint32_t codePage, std::u16string_view src, std::string& out) {
  return convertOnePass<char>(codePage, src, out, fromWide, bytesPerWide);
}

bool NlsWideToMultiByte(uint32_t codePage, std::u16string_view src, std::vector<uint8_t>& out) {
  return convertOnePass<char>(codePage, src, out, fromWide, bytesPerWide);
}
