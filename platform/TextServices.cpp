// Platform layer: the platform's 8-bit text conversions and string compares
// over the national-language layer (see TextServices.h).
#include "platform/TextServices.h"

#include <cerrno>
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

int checkedLength(size_t n) {
  if (n > INT32_MAX) {
    errno = EINVAL;
    raiseNlsFailure();
  }
  return static_cast<int>(n);
}

int compareInUserLocale(uint32_t flags, std::u16string_view a, std::u16string_view b) {
  const int r = CompareStringW(LOCALE_USER_DEFAULT, flags, a, b);
  if (r == 0) raiseNlsFailure();
  return r - CSTR_EQUAL;
}

}  // namespace

String SystemAnsiToString(std::string_view s) {
  if (s.empty()) return {};
  const int len = checkedLength(s.size());
  const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), len, nullptr, 0);
  if (n == 0) raiseNlsFailure();
  String out(static_cast<size_t>(n), u'\0');
  if (MultiByteToWideChar(CP_ACP, 0, s.data(), len, out.data(), n) != n) raiseNlsFailure();
  return out;
}

AnsiString StringToSystemAnsi(std::u16string_view s) {
  if (s.empty()) return {};
  const int len = checkedLength(s.size());
  const int n = WideCharToMultiByte(CP_ACP, 0, s.data(), len, nullptr, 0);
  if (n == 0) raiseNlsFailure();
  AnsiString out(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, s.data(), len, out.data(), n) != n) raiseNlsFailure();
  return out;
}

int AnsiCompareStr(std::u16string_view a, std::u16string_view b) { return compareInUserLocale(0, a, b); }

int AnsiCompareText(std::u16string_view a, std::u16string_view b) {
  return compareInUserLocale(NORM_IGNORECASE, a, b);
}
