// Platform layer: the binary writer and reader of the value-stream encoding
// (declared in Classes.h).
//
// A value is one tag byte and a payload; integers are little-endian two's
// complement, lengths 4-byte signed counts unless noted; no header, no
// alignment, no padding.
//
//   tag   name          payload
//   0x00  vaNull        none (ends a list or collection; "Null"; a null variant)
//   0x01  vaList        none (values follow up to vaNull)
//   0x02  vaInt8        1 byte      0x03 vaInt16  2 bytes     0x04 vaInt32  4 bytes
//   0x05  vaExtended    10 bytes: x87 80-bit (significand, then sign and exponent)
//   0x06  vaString      1-byte length n, n bytes in the system ANSI code page
//   0x07  vaIdent       1-byte length n, n bytes of UTF-8
//   0x08  vaFalse       none        0x09 vaTrue   none
//   0x0A  vaBinary      length n, n bytes
//   0x0B  vaSet         never written; skipped as a run of short strings up to an empty one
//   0x0C  vaLString     length n, n bytes in the system ANSI code page
//   0x0D  vaNil         none ("nil"; an empty variant)
//   0x0E  vaCollection  items (optional integer, vaList, properties, vaNull), then vaNull
//   0x0F  vaSingle      4 bytes IEEE single
//   0x10  vaCurrency    8 bytes, amount x 10000
//   0x11  vaDate        8 bytes IEEE double, days since 1899-12-30
//   0x12  vaWString     count n of UTF-16 code units, 2n bytes UTF-16LE
//   0x13  vaInt64       8 bytes
//   0x14  vaUTF8String  length n, n bytes of UTF-8
//   0x15  vaDouble      8 bytes IEEE double
#include <algorithm>
#include <cstring>

#include "platform/Classes.h"
#include "platform/Numeric.h"
#include "platform/TextServices.h"

namespace {

bool equalsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i] >= u'a' && a[i] <= u'z' ? char16_t(a[i] - 32) : a[i];
    char16_t y = b[i] >= u'a' && b[i] <= u'z' ? char16_t(b[i] - 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// TFiler

TFiler::TFiler(TStream& stream, int32_t bufSize)
    : stream_(&stream), buffer_(new uint8_t[size_t(bufSize)]), bufSize_(bufSize) {}

TFiler::~TFiler() { delete[] buffer_; }

// ---------------------------------------------------------------------------
// TWriter

TWriter::TWriter(TStream& stream, int32_t bufSize) : TFiler(stream, bufSize) {}

TWriter::~TWriter() {
  // Destructors must not throw; a caller that must know the outcome calls
  // FlushBuffer itself first.
  try {
    FlushBuffer();
  } catch (...) {
  }
}

void TWriter::FlushBuffer() {
  int32_t n = bufPos_;
  bufPos_ = 0;
  if (n > 0) stream_->WriteBuffer(buffer_, n);
}

void TWriter::Write(const void* buf, int32_t count) {
  auto* p = static_cast<const uint8_t*>(buf);
  while (count > 0) {
    if (bufPos_ == bufSize_) FlushBuffer();
    int32_t n = std::min(count, bufSize_ - bufPos_);
    std::memcpy(buffer_ + bufPos_, p, size_t(n));
    bufPos_ += n;
    p += n;
    count -= n;
  }
}

int64_t TWriter::GetPosition() { return stream_->GetPosition() + bufPos_; }

void TWriter::SetPosition(int64_t pos) {
  FlushBuffer();
  stream_->SetPosition(pos);
}

void TWriter::WriteValue(TValueType value) {
  uint8_t b = value;
  Write(&b, 1);
}

void TWriter::WriteBoolean(bool value) { WriteValue(value ? vaTrue : vaFalse); }

void TWriter::WriteInteger(int32_t value) {
  uint8_t b[5];
  if (value >= -128 && value <= 127) {
    b[0] = vaInt8;
    b[1] = uint8_t(int8_t(value));
    Write(b, 2);
  } else if (value >= -32768 && value <= 32767) {
    b[0] = vaInt16;
    StoreLE(b + 1, int16_t(value));
    Write(b, 3);
  } else {
    b[0] = vaInt32;
    StoreLE(b + 1, value);
    Write(b, 5);
  }
}

void TWriter::WriteInteger(int64_t value) {
  if (value >= INT32_MIN && value <= INT32_MAX) return WriteInteger(int32_t(value));
  uint8_t b[9];
  b[0] = vaInt64;
  StoreLE(b + 1, value);
  Write(b, 9);
}

void TWriter::WriteFloat(Extended value) {
  uint8_t b[1 + ExtendedSize] = {vaExtended};
  ExtendedToBytes(value, b + 1);
  Write(b, sizeof b);
}

void TWriter::WriteSingle(Single value) {
  uint8_t b[5] = {vaSingle};
  StoreLE(b + 1, value);
  Write(b, 5);
}

void TWriter::WriteDouble(Double value) {
  uint8_t b[9] = {vaDouble};
  StoreLE(b + 1, value);
  Write(b, 9);
}

void TWriter::WriteCurrency(Currency value) {
  uint8_t b[9] = {vaCurrency};
  StoreLE(b + 1, value.Value);
  Write(b, 9);
}

void TWriter::WriteDate(TDateTime value) {
  uint8_t b[9] = {vaDate};
  StoreLE(b + 1, value);
  Write(b, 9);
}

void TWriter::writeAnsiBytes(std::string_view bytes) {
  if (bytes.size() <= 255) {
    uint8_t b[2] = {vaString, uint8_t(bytes.size())};
    Write(b, 2);
  } else {
    uint8_t b[5] = {vaLString};
    StoreLE(b + 1, int32_t(bytes.size()));
    Write(b, 5);
  }
  Write(bytes.data(), int32_t(bytes.size()));
}

void TWriter::writeWideCodeUnits(std::u16string_view value) {
  uint8_t b[5] = {vaWString};
  StoreLE(b + 1, int32_t(value.size()));
  Write(b, 5);
  uint8_t unit[2];
  for (char16_t c : value) {
    StoreLE(unit, uint16_t(c));
    Write(unit, 2);
  }
}

void TWriter::WriteUTF8Str(std::string_view utf8) {
  uint8_t b[5] = {vaUTF8String};
  StoreLE(b + 1, int32_t(utf8.size()));
  Write(b, 5);
  Write(utf8.data(), int32_t(utf8.size()));
}

namespace {
// Whether the text holds a surrogate without its partner, which UTF-8 cannot
// carry (it would become U+FFFD).
bool hasLoneSurrogate(std::u16string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) ++i;
    else if (c >= 0xD800 && c <= 0xDFFF) return true;
  }
  return false;
}
}  // namespace

// UTF-8 when it is shorter than the UTF-16 form (pure ASCII as the 8-bit
// string tags), otherwise the UTF-16 code units; always those when UTF-8
// would change the text.
void TWriter::WriteString(std::u16string_view value) {
  if (hasLoneSurrogate(value)) return writeWideCodeUnits(value);
  std::string utf8 = UTF8Encode(value);
  if (utf8.size() < 2 * value.size()) {
    bool ascii = true;
    for (unsigned char c : utf8) {
      if (c > 0x7F) {
        ascii = false;
        break;
      }
    }
    if (ascii) writeAnsiBytes(utf8);
    else WriteUTF8Str(utf8);
  } else {
    writeWideCodeUnits(value);
  }
}

void TWriter::WriteIdent(std::u16string_view ident) {
  if (equalsIgnoreAsciiCase(ident, u"False")) return WriteValue(vaFalse);
  if (equalsIgnoreAsciiCase(ident, u"True")) return WriteValue(vaTrue);
  if (equalsIgnoreAsciiCase(ident, u"Null")) return WriteValue(vaNull);
  if (equalsIgnoreAsciiCase(ident, u"nil")) return WriteValue(vaNil);
  std::string utf8 = UTF8Encode(ident);
  if (utf8.size() > 255) utf8.resize(255);
  uint8_t b[2] = {vaIdent, uint8_t(utf8.size())};
  Write(b, 2);
  Write(utf8.data(), int32_t(utf8.size()));
}

void TWriter::WriteVariant(const Variant& value) {
  if (value.IsArray()) throw EWriteError(String(SWriteError));
  switch (value.VarType()) {
    case varEmpty: return WriteValue(vaNil);
    case varNull: return WriteValue(vaNull);
    case varShortInt: case varSmallint: case varInteger: case varInt64:
    case varByte: case varWord: case varLongWord: return WriteInteger(value.AsInt64());
    case varSingle: return WriteSingle(value.AsSingle());
    case varDouble: return WriteFloat(value.AsDouble());
    case varCurrency: return WriteCurrency(value.AsCurrency());
    case varDate: return WriteDate(value.AsDateTime());
    case varBoolean: return WriteBoolean(value.AsBoolean());
    default: {
      String text;
      try {
        text = value.AsString();
      } catch (const Exception&) {
        throw EWriteError(String(SWriteError));
      }
      return WriteString(text);
    }
  }
}

void TWriter::WriteCollection(int32_t itemCount, const std::function<void(int32_t)>& writeItem) {
  WriteValue(vaCollection);
  for (int32_t i = 0; i < itemCount; ++i) {
    WriteListBegin();
    writeItem(i);
    WriteListEnd();
  }
  WriteListEnd();
}

// ---------------------------------------------------------------------------
// TReader

TReader::TReader(TStream& stream, int32_t bufSize) : TFiler(stream, bufSize) {}

TReader::~TReader() {
  // Give back what was buffered and not consumed, so that the stream stands
  // on the first byte this reader did not read.
  if (bufPos_ < bufEnd_) stream_->Seek(int64_t(bufPos_) - bufEnd_, soCurrent);
}

void TReader::readError() { throw EReadError(String(SReadError)); }
void TReader::propValueError() { throw EReadError(String(SInvalidPropertyValue)); }

void TReader::readBuffer() {
  bufEnd_ = stream_->Read(buffer_, bufSize_);
  bufPos_ = 0;
  if (bufEnd_ <= 0) {
    bufEnd_ = 0;
    readError();
  }
}

void TReader::Read(void* buf, int32_t count) {
  auto* p = static_cast<uint8_t*>(buf);
  while (count > 0) {
    if (bufPos_ == bufEnd_) readBuffer();
    int32_t n = std::min(count, bufEnd_ - bufPos_);
    std::memcpy(p, buffer_ + bufPos_, size_t(n));
    bufPos_ += n;
    p += n;
    count -= n;
  }
}

int64_t TReader::GetPosition() { return stream_->GetPosition() - (bufEnd_ - bufPos_); }

void TReader::SetPosition(int64_t pos) {
  stream_->SetPosition(pos);
  bufPos_ = bufEnd_ = 0;
}

int64_t TReader::bytesLeft() {
  int64_t pos = stream_->GetPosition();
  int64_t size = stream_->GetSize();
  return (bufEnd_ - bufPos_) + (size > pos ? size - pos : 0);
}

int32_t TReader::readLength(int32_t unitSize) {
  uint8_t b[4];
  Read(b, 4);
  int32_t n = LoadLE<int32_t>(b);
  // A damaged length must not become an allocation: refuse anything negative
  // or longer than what the stream still holds.
  if (n < 0 || int64_t(n) * unitSize > bytesLeft()) readError();
  return n;
}

void TReader::skipBytes(int64_t count) {
  if (count > bytesLeft()) readError();
  uint8_t scratch[256];
  while (count > 0) {
    int32_t n = int32_t(std::min<int64_t>(count, sizeof scratch));
    Read(scratch, n);
    count -= n;
  }
}

TValueType TReader::ReadValue() {
  uint8_t b;
  Read(&b, 1);
  return TValueType(b);
}

TValueType TReader::NextValue() {
  TValueType v = ReadValue();
  --bufPos_;
  return v;
}

bool TReader::EndOfList() { return NextValue() == vaNull; }

void TReader::CheckValue(TValueType value) {
  if (ReadValue() != value) {
    --bufPos_;
    SkipValue();
    propValueError();
  }
}

void TReader::SkipValue() { skipValue(0); }

void TReader::skipValue(int32_t depth) {
  auto skipItems = [&]() {
    if (depth >= MaxNesting) readError();
    while (!EndOfList()) skipValue(depth + 1);
    ReadValue();
  };
  uint8_t len;
  switch (ReadValue()) {
    case vaNull: case vaFalse: case vaTrue: case vaNil: return;
    case vaList: return skipItems();
    case vaInt8: return skipBytes(1);
    case vaInt16: return skipBytes(2);
    case vaInt32: case vaSingle: return skipBytes(4);
    case vaExtended: return skipBytes(10);
    case vaInt64: case vaCurrency: case vaDate: case vaDouble: return skipBytes(8);
    case vaString: case vaIdent:
      Read(&len, 1);
      return skipBytes(len);
    case vaBinary: case vaLString: case vaUTF8String: return skipBytes(readLength(1));
    case vaWString: return skipBytes(int64_t(readLength(2)) * 2);
    case vaSet:
      for (;;) {
        Read(&len, 1);
        if (len == 0) return;
        skipBytes(len);
      }
    case vaCollection:
      if (depth >= MaxNesting) readError();
      while (!EndOfList()) {
        TValueType next = NextValue();
        if (next == vaInt8 || next == vaInt16 || next == vaInt32) skipValue(depth + 1);
        if (ReadValue() != vaList) propValueError();
        skipItems();
      }
      ReadValue();
      return;
    default: propValueError();
  }
}

bool TReader::ReadBoolean() {
  switch (ReadValue()) {
    case vaTrue: return true;
    case vaFalse: return false;
    default: propValueError();
  }
}

int32_t TReader::ReadInteger() {
  uint8_t b[4];
  switch (ReadValue()) {
    case vaInt8: Read(b, 1); return int8_t(b[0]);
    case vaInt16: Read(b, 2); return LoadLE<int16_t>(b);
    case vaInt32: Read(b, 4); return LoadLE<int32_t>(b);
    default: propValueError();
  }
}

int64_t TReader::ReadInt64() {
  if (NextValue() != vaInt64) return ReadInteger();
  ReadValue();
  uint8_t b[8];
  Read(b, 8);
  return LoadLE<int64_t>(b);
}

Extended TReader::ReadFloat() {
  TValueType tag = NextValue();
  if (tag == vaExtended) {
    ReadValue();
    uint8_t raw[ExtendedSize];
    Read(raw, ExtendedSize);
    return ExtendedFromBytes(raw);
  }
  if (tag == vaDouble) return ReadDouble();
  return Extended(ReadInt64());
}

Single TReader::ReadSingle() {
  if (NextValue() != vaSingle) return Single(ReadInt64());
  ReadValue();
  uint8_t b[4];
  Read(b, 4);
  return LoadLE<Single>(b);
}

Double TReader::ReadDouble() {
  if (NextValue() != vaDouble) return Double(ReadInt64());
  ReadValue();
  uint8_t b[8];
  Read(b, 8);
  return LoadLE<Double>(b);
}

Currency TReader::ReadCurrency() {
  if (NextValue() != vaCurrency) {
    int64_t units = ReadInt64(), scaled;
    if (__builtin_mul_overflow(units, int64_t(10000), &scaled)) propValueError();
    return Currency::FromScaled(scaled);
  }
  ReadValue();
  uint8_t b[8];
  Read(b, 8);
  return Currency::FromScaled(LoadLE<int64_t>(b));
}

TDateTime TReader::ReadDate() {
  if (NextValue() != vaDate) return TDateTime(ReadInt64());
  ReadValue();
  uint8_t b[8];
  Read(b, 8);
  return LoadLE<TDateTime>(b);
}

String TReader::readStringOf(TValueType tag) {
  std::string bytes;
  switch (tag) {
    case vaString: {
      uint8_t n;
      Read(&n, 1);
      bytes.resize(n);
      Read(bytes.data(), n);
      return SystemAnsiToString(bytes);
    }
    case vaLString: case vaUTF8String: {
      int32_t n = readLength(1);
      bytes.resize(size_t(n));
      Read(bytes.data(), n);
      return tag == vaLString ? SystemAnsiToString(bytes) : UTF8ToString(bytes);
    }
    case vaWString: {
      int32_t n = readLength(2);
      bytes.resize(size_t(n) * 2);
      Read(bytes.data(), n * 2);
      String s(size_t(n), u'\0');
      for (int32_t i = 0; i < n; ++i) s[size_t(i)] = char16_t(LoadLE<uint16_t>(&bytes[size_t(i) * 2]));
      return s;
    }
    default: propValueError();
  }
}

String TReader::ReadString() { return readStringOf(ReadValue()); }

char16_t TReader::ReadChar() {
  String s = ReadString();
  if (s.size() != 1) propValueError();
  return s[0];
}

String TReader::ReadIdent() {
  switch (ReadValue()) {
    case vaIdent: {
      uint8_t n;
      Read(&n, 1);
      std::string bytes(n, '\0');
      Read(bytes.data(), n);
      return UTF8ToString(bytes);
    }
    case vaFalse: return u"False";
    case vaTrue: return u"True";
    case vaNull: return u"Null";
    case vaNil: return u"nil";
    default: propValueError();
  }
}

Variant TReader::ReadVariant() {
  TValueType tag = NextValue();
  switch (tag) {
    case vaNil: ReadValue(); return Variant();
    case vaNull: ReadValue(); return Variant::Null();
    case vaInt8: return Variant(int8_t(ReadInteger()));
    case vaInt16: return Variant(int16_t(ReadInteger()));
    case vaInt32: return Variant(int32_t(ReadInteger()));
    case vaInt64: return Variant(int64_t(ReadInt64()));
    case vaExtended: case vaDouble: return Variant(double(ReadFloat()));
    case vaSingle: return Variant(ReadSingle());
    case vaCurrency: return Variant(ReadCurrency());
    case vaDate: return Variant::FromDate(ReadDate());
    case vaFalse: case vaTrue: return Variant(ReadBoolean());
    case vaString: case vaLString: case vaWString: case vaUTF8String: return Variant(ReadString());
    case vaBinary:
      ReadValue();
      skipBytes(readLength(1));
      readError();
    default:
      ReadValue();
      readError();
  }
}

void TReader::ReadCollection(const std::function<void(int32_t)>& readItem) {
  CheckValue(vaCollection);
  if (collectionDepth_ >= MaxNesting) readError();
  ++collectionDepth_;
  try {
    for (int32_t i = 0; !EndOfList(); ++i) {
      TValueType next = NextValue();
      if (next == vaInt8 || next == vaInt16 || next == vaInt32) ReadInteger();
      ReadListBegin();
      readItem(i);
      ReadListEnd();
    }
    ReadListEnd();
  } catch (...) {
    --collectionDepth_;
    throw;
  }
  --collectionDepth_;
}
