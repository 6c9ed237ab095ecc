// Platform layer: the platform's 8-bit text conversions and string compares
// over the national-language layer (see TextServices.h).
#include "platform/TextServices.h"

#include <cstdint>

#include "platform/Nls.h"
#include "platform/SysUtils.h"

namespace {

// The NLS calls fail only on arguments (a text beyond 2 GB) or when ICU
// cannot open its data; neither may pass as an empty or unordered result.
[[noreturn]] void raiseNlsFailure() {
  const uint32_t error = GetLastOSError();
  EOSError e(SysErrorMessage(error));
  e.ErrorCode = error;
  throw e;
}

int compareInUserLocale(uint32_t flags, std::u16string_view a, std::u16string_view b) {
  const int r = CompareStringW(LOCALE_USER_DEFAULT, flags, a, b);
  if (r == 0) raiseNlsFailure();
  return r - CSTR_EQUAL;
}

}  // namespace

String SystemAnsiToString(std::string_view s) {
  String out;
  if (!NlsMultiByteToWide(CP_ACP, s, out)) raiseNlsFailure();
  return out;
}

AnsiString StringToSystemAnsi(std::u16string_view s) {
  AnsiString out;
  if (!NlsWideToMultiByte(CP_ACP, s, out)) raiseNlsFailure();
  return out;
}

int AnsiCompareStr(std::u16string_view a, std::u16string_view b) { return compareInUserLocale(0, a, b); }

int AnsiCompareText(std::u16string_view a, std::u16string_view b) {
  return compareInUserLocale(NORM_IGNORECASE, a, b);
}
