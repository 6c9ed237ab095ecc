// Test support of the data dictionary tests: value-stream bytes built by
// hand, for golden-byte tests and for streams no writer would produce.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace mvtest {

struct Bytes {
  std::vector<uint8_t> b;
  Bytes& raw(std::initializer_list<uint8_t> bytes) {
    b.insert(b.end(), bytes);
    return *this;
  }
  // An ASCII string of up to 255 characters: vaString.
  Bytes& str(const std::string& s) {
    b.push_back(0x06);
    b.push_back(uint8_t(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  // The item header of a free-standing item (ID 0) without custom strings
  // or constraint name, as written for peers from 20000 on and below.
  Bytes& header() { return raw({0x02, 0x03, 0x01, 0x00, 0x02, 0x00, 0x12, 0, 0, 0, 0}); }
  Bytes& oldHeader() { return raw({0x02, 0x01, 0x01, 0x00}); }
  Bytes& integer(int8_t v) { return raw({0x02, uint8_t(v)}); }
  Bytes& int16(int16_t v) { return raw({0x03, uint8_t(v), uint8_t(uint16_t(v) >> 8)}); }
  // An identifier: vaIdent, its length and its ASCII bytes.
  Bytes& ident(const std::string& s) {
    b.push_back(0x07);
    b.push_back(uint8_t(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  // The empty text: vaWString with no code units.
  Bytes& empty() { return raw({0x12, 0, 0, 0, 0}); }
  // The item header of an item with ID id, custom-string lines and no
  // constraint name, as written for peers from 20000 on.
  Bytes& header(int8_t id, const std::vector<std::string>& lines = {}) {
    raw({0x02, 0x03, 0x01});
    for (const std::string& line : lines) str(line);
    return raw({0x00}).integer(id).empty();
  }
  Bytes& boolean(bool v) { return raw({uint8_t(v ? 0x09 : 0x08)}); }
  Bytes& engine(const std::string& name = "mv1xDefault") { return str(name); }
};

}  // namespace mvtest
