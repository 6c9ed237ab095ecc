// Platform layer: GUID text form, parsing and creation over getrandom.
#include "platform/Guid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "platform/Numeric.h"
#include "platform/SysUtils.h"

namespace {

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

void appendHex(String& out, uint64_t v, int digits) {
  for (int i = digits - 1; i >= 0; --i) out += kHexDigits[(v >> (4 * i)) & 0xF];
}

int hexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Reads `digits` hexadecimal digits at `pos`; false when one is not a digit.
bool readHex(std::u16string_view s, size_t pos, int digits, uint64_t& v) {
  v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = hexValue(s[pos + i]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<uint64_t>(h);
  }
  return true;
}

// Fills the buffer from the kernel's random source; getrandom may return
// fewer bytes than asked or be interrupted by a signal.
void fillRandom(uint8_t* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = getrandom(buf + done, len - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      EOSError e(u"getrandom: " + UTF8ToString(std::strerror(errno)));
      e.ErrorCode = static_cast<uint32_t>(errno);
      throw e;
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace

String GUIDToString(const TGUID& g) {
  String out;
  out.reserve(38);
  out += u'{';
  appendHex(out, g.D1, 8);
  out += u'-';
  appendHex(out, g.D2, 4);
  out += u'-';
  appendHex(out, g.D3, 4);
  out += u'-';
  appendHex(out, g.D4[0], 2);
  appendHex(out, g.D4[1], 2);
  out += u'-';
  for (int i = 2; i < 8; ++i) appendHex(out, g.D4[i], 2);
  out += u'}';
  return out;
}

bool TryStringToGUID(std::u16string_view s, TGUID& g) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  // 0        9    14   19   24           37
  if (s.size() != 38 || s[0] != u'{' || s[9] != u'-' || s[14] != u'-' || s[19] != u'-' ||
      s[24] != u'-' || s[37] != u'}')
    return false;
  TGUID r;
  uint64_t v;
  if (!readHex(s, 1, 8, v)) return false;
  r.D1 = static_cast<uint32_t>(v);
  if (!readHex(s, 10, 4, v)) return false;
  r.D2 = static_cast<uint16_t>(v);
  if (!readHex(s, 15, 4, v)) return false;
  r.D3 = static_cast<uint16_t>(v);
  static constexpr size_t kD4Pos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!readHex(s, kD4Pos[i], 2, v)) return false;
    r.D4[i] = static_cast<uint8_t>(v);
  }
  g = r;
  return true;
}

TGUID StringToGUID(std::u16string_view s) {
  TGUID g;
  if (!TryStringToGUID(s, g)) throw EConvertError(Format(SInvalidGUID, {String(s)}));
  return g;
}

TGUID CreateGUID() {
  uint8_t bytes[16];
  fillRandom(bytes, sizeof bytes);
  TGUID g = GUIDFromBytes(bytes);
  g.D3 = static_cast<uint16_t>((g.D3 & 0x0FFF) | 0x4000);  // version 4
  g.D4[0] = static_cast<uint8_t>((g.D4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return g;
}

void GUIDToBytes(const TGUID& g, uint8_t out[16]) {
  StoreLE32(out, g.D1);
  StoreLE16(out + 4, g.D2);
  StoreLE16(out + 6, g.D3);
  std::memcpy(out + 8, g.D4, 8);
}

TGUID GUIDFromBytes(const uint8_t in[16]) {
  TGUID g;
  g.D1 = LoadLE32(in);
  g.D2 = LoadLE16(in + 4);
  g.D3 = LoadLE16(in + 6);
  std::memcpy(g.D4, in + 8, 8);
  return g;
}
