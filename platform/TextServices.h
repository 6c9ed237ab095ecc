// Platform layer: the seam through which 8-bit text and locale-aware string
// comparison reach the national-language layer.
//
// Streams, string lists and variants need the system ANSI code page and the
// platform's string compare, but the national-language layer (over ICU) sits
// beside them in this library and is started later. It installs its routines
// here with SetPlatformTextServices at start; until then the defaults below
// serve: ASCII passes both ways, any other byte decodes to U+FFFD and any
// other character encodes to '?', and comparison is by UTF-16 code unit with
// ASCII case folding for the case-insensitive form.
//
// Thread-safety: installing is meant for process start; the calls themselves
// are safe from any thread.
#pragma once

#include <string_view>

#include "platform/System.h"

struct TPlatformTextServices {
  // Bytes in the system ANSI code page to UTF-16.
  String (*SystemAnsiToString)(std::string_view s);
  // UTF-16 to the system ANSI code page.
  AnsiString (*StringToSystemAnsi)(std::u16string_view s);
  // Locale-aware compare of the user's locale: < 0, 0, > 0.
  int (*CompareStr)(std::u16string_view a, std::u16string_view b);
  // The same, ignoring case.
  int (*CompareText)(std::u16string_view a, std::u16string_view b);
};

// The routines in use (never null members).
const TPlatformTextServices& PlatformTextServices();
// Replaces the routines; a null member keeps the current one.
void SetPlatformTextServices(const TPlatformTextServices& services);

inline String SystemAnsiToString(std::string_view s) { return PlatformTextServices().SystemAnsiToString(s); }
inline AnsiString StringToSystemAnsi(std::u16string_view s) { return PlatformTextServices().StringToSystemAnsi(s); }
inline int AnsiCompareStr(std::u16string_view a, std::u16string_view b) { return PlatformTextServices().CompareStr(a, b); }
inline int AnsiCompareText(std::u16string_view a, std::u16string_view b) { return PlatformTextServices().CompareText(a, b); }
