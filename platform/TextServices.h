// Platform layer: the system ANSI code page and the user locale's string
// compare, as the platform's streams, string lists and variants use them.
//
// These are the platform's AnsiString conversions and AnsiCompareStr /
// AnsiCompareText, answered by the national-language layer (Nls.h):
// conversion through the process's ANSI code page (GetACP, 932 unless a test
// set another), comparison by the collator of the user default locale, with
// the case folded for the -Text form. Conversion never fails on content:
// characters the code page cannot express become '?'.
//
// Thread-safety: every call may be made from any thread.
#pragma once

#include <string_view>

#include "platform/System.h"

// Bytes in the system ANSI code page to UTF-16, and back.
String SystemAnsiToString(std::string_view s);
AnsiString StringToSystemAnsi(std::u16string_view s);

// Locale-aware compare in the user default locale: < 0, 0 or > 0. The -Text
// form ignores case (NORM_IGNORECASE).
int AnsiCompareStr(std::u16string_view a, std::u16string_view b);
int AnsiCompareText(std::u16string_view a, std::u16string_view b);
