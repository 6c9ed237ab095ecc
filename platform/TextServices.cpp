// Platform layer: default text services, replaced by the national-language
// layer at start (see TextServices.h).
#include "platform/TextServices.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace {

String asciiToString(std::string_view s) {
  String out;
  out.reserve(s.size());
  for (unsigned char c : s) out += c < 0x80 ? char16_t(c) : u'\uFFFD';
  return out;
}

AnsiString stringToAscii(std::u16string_view s) {
  AnsiString out;
  out.reserve(s.size());
  for (char16_t c : s) out += c < 0x80 ? char(c) : '?';
  return out;
}

int compareOrdinal(std::u16string_view a, std::u16string_view b) {
  int r = a.compare(b);
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

char16_t foldAscii(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }

int compareAsciiIgnoreCase(std::u16string_view a, std::u16string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t x = foldAscii(a[i]), y = foldAscii(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

// Installed once at start, read everywhere: an atomic pointer to an immutable
// copy keeps readers safe without a lock.
std::atomic<const TPlatformTextServices*>& current() {
  static const TPlatformTextServices defaults{asciiToString, stringToAscii, compareOrdinal,
                                              compareAsciiIgnoreCase};
  static std::atomic<const TPlatformTextServices*> p{&defaults};
  return p;
}

}  // namespace

const TPlatformTextServices& PlatformTextServices() { return *current().load(std::memory_order_acquire); }

void SetPlatformTextServices(const TPlatformTextServices& services) {
  static std::mutex lock;
  static std::vector<std::unique_ptr<TPlatformTextServices>> installed;
  std::lock_guard<std::mutex> guard(lock);
  TPlatformTextServices next = PlatformTextServices();
  if (services.SystemAnsiToString) next.SystemAnsiToString = services.SystemAnsiToString;
  if (services.StringToSystemAnsi) next.StringToSystemAnsi = services.StringToSystemAnsi;
  if (services.CompareStr) next.CompareStr = services.CompareStr;
  if (services.CompareText) next.CompareText = services.CompareText;
  // Every installed table stays alive to the end: a reader may still hold the
  // previous one. Installing happens a handful of times per process.
  installed.push_back(std::make_unique<TPlatformTextServices>(next));
  current().store(installed.back().get(), std::memory_order_release);
}
