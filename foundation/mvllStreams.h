// Foundation: the engine's memory streams and its writer and reader of the
// value-stream encoding.
//
// `TmvMemoryStream` starts in a block of the engine's allocator and, beyond
// 64 KB, grows by reserving address space ahead (in powers of two of its
// first reservation, a multiple of 64 KB) and committing 4 KB pages as the
// size grows, so that growing rarely copies. `TmvStaticMemoryStream` is a
// stream over a caller's buffer; `TmvAnsiStringStream` one over an 8-bit
// string. `TmvWriter`/`TmvReader` add binary data, GUIDs, 8-bit and forced
// UTF-16 text and string lists to the platform's writer and reader; their
// encoding is a file format (every table file's dictionary uses it).
//
// Calls the platform layer and the engine's allocation routines. None of
// these objects is thread-safe.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/Classes.h"

// Base of the two memory streams: a block of memory with a size and a
// position that may lie beyond the size.
class TmvCustomMemoryStream : public TStream {
 public:
  int32_t Read(void* buffer, int32_t count) override;
  // Only the low 32 bits of the offset are used; the position is not limited
  // to the size.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t GetSize() override { return cmsSize; }

  void SaveToStream(TStream& stream);  // the valid bytes
  void SaveToFile(const String& fileName);

  void* Memory() const { return cmsMemory; }
  uint8_t* ByteArray() const { return cmsByteArray; }
  TStream& TheStream() { return *this; }

 protected:
  void setPointer(void* memory, int32_t size);

  void* cmsMemory = nullptr;
  uint8_t* cmsByteArray = nullptr;
  int32_t cmsSize = 0;
  int32_t cmsPosition = 0;
};

// A growable memory stream. Up to 64 KB it lives in a block of the engine's
// allocator, which makes a short-lived small stream cheap; beyond that it
// moves to reserved address space, where it grows without copying most of
// the time. The figures it reports follow the reservation scheme either way:
// Reserved() and Capacity() read as if the first bytes had been reserved and
// committed too (a stream of 1 byte: 65536 reserved, 4096 committed).
//
// Memory() holds at least the size and at least the largest capacity asked
// for (SetCapacity); a small stream may hold fewer bytes than its Capacity()
// figure. Bytes that have never held data read as zero.
//
// Invariants: the memory is absent exactly when msReserved is 0;
// msCommited <= msReserved; cmsSize <= msCommited; msCommited is a multiple
// of 4096 and only shrinks to 0.
class TmvMemoryStream : public TmvCustomMemoryStream {
 public:
  // -1 reserves 64 KB first; any other value below 64 KB is taken as 512 KB;
  // rounded up to a multiple of 64 KB. Nothing is reserved before the first
  // write or size change.
  explicit TmvMemoryStream(int32_t initial = -1);
  ~TmvMemoryStream() override;

  void Clear();
  void SetSize(int64_t newSize) override;
  int32_t Write(const void* buffer, int32_t count) override;
  void LoadFromStream(TStream& stream);
  void LoadFromFile(const String& fileName);

  int32_t Capacity() const { return msCommited; }
  void SetCapacity(int32_t newCapacity);
  int32_t Reserved() const { return msReserved; }

 protected:
  // Makes the capacity at least newCapacity (rounded up to 4 KB; 0 releases
  // everything) and returns the memory. Raises out of memory from 0x3FFFFFFF
  // bytes of reservation; an operating-system failure raises with the stream
  // left as it was.
  virtual void* Realloc(int32_t& newCapacity);

 private:
  int64_t reservationFor(int64_t aCapacity) const;
  void* reallocPooled(int32_t aRequest, int64_t aCapacity);
  uint8_t* reserveAndCommit(int64_t aReserve, int64_t aCommit) const;
  void releaseAll();
  // The size the stream can take without a Realloc: what its memory holds
  // and what its figures show.
  int32_t room() const { return msPooled ? std::min(msPooled, msCommited) : msCommited; }

  int32_t msReserveInitial;
  int32_t msReserved = 0;
  // Start of every reserved region once the stream has grown in place.
  std::vector<uint8_t*> msReservedBases;
  int32_t msCommited = 0;
  // Size of the allocator block the stream lives in; 0 once it lives in
  // reserved address space, or has no memory.
  int32_t msPooled = 0;
};

// A stream over a buffer that belongs to the caller: not copied, grown or
// freed. Writes stop at its end.
class TmvStaticMemoryStream : public TmvCustomMemoryStream {
 public:
  TmvStaticMemoryStream(void* memory, int32_t size);
  int32_t Write(const void* buffer, int32_t count) override;
};

// A stream over an 8-bit string; writing past the end lengthens it.
class TmvAnsiStringStream : public TStream {
 public:
  explicit TmvAnsiStringStream(std::string_view data = {});
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  // From the end the position is the length minus the offset; the result
  // is limited to 0..length.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  int64_t GetSize() override { return int64_t(assDataString.size()); }

  AnsiString ReadString(int32_t count);
  void WriteString(std::string_view s);
  const AnsiString& DataString() const { return assDataString; }

 private:
  AnsiString assDataString;
  int32_t assPosition = 0;
};

// The engine's writer: data reaches the stream when its 4096-byte buffer is
// full and when it is destroyed.
class TmvWriter : public TWriter {
 public:
  explicit TmvWriter(TStream& stream) : TWriter(stream, FilerBufferSize) {}

  void WriteBinary(const void* data, int32_t size);
  void WriteBytes(const std::vector<uint8_t>& bytes);
  void WriteGuid(const TGUID& guid);
  void WriteWideString_(std::u16string_view text);  // always vaWString
  void WriteAnsiString(std::string_view bytes);     // bytes unchanged
  void WriteAnsiChar(char c);
  void WriteStrings(const TStrings& list);
  void WriteWideStrings(const TStrings& list);
  void WriteAnsiStrings(const TStrings& list);  // lines in the system ANSI code page
  TmvWriter& TheWriter() { return *this; }
};

// The engine's reader: when destroyed it leaves the stream on the first byte
// that it did not consume.
class TmvReader : public TReader {
 public:
  explicit TmvReader(TStream& stream) : TReader(stream, FilerBufferSize) {}

  // vaBinary whose length must equal size exactly.
  void ReadBinary(void* buffer, int32_t size);
  std::vector<uint8_t> ReadBytes();
  TGUID ReadGuid();
  // Clears the list, then reads a list of texts; the list's change
  // notifications are suspended meanwhile.
  void ReadStrings(TStrings& list);
  String ReadWideString_() { return ReadString(); }
  char ReadAnsiChar() { return char(uint8_t(ReadChar())); }
  TmvReader& TheReader() { return *this; }
};
