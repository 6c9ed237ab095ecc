// Foundation: memory streams over reserved address space, streams over a
// caller's buffer and over an 8-bit string, and the engine's additions to the
// value-stream writer and reader.
#include "foundation/mvllStreams.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "platform/Guid.h"
#include "platform/Numeric.h"
#include "platform/TextServices.h"

// ---------------------------------------------------------------------------
// TmvCustomMemoryStream

void TmvCustomMemoryStream::setPointer(void* memory, int32_t size) {
  cmsMemory = memory;
  cmsByteArray = static_cast<uint8_t*>(memory);
  cmsSize = size;
}

int32_t TmvCustomMemoryStream::Read(void* buffer, int32_t count) {
  if (cmsPosition < 0 || count < 0) return 0;
  int32_t n = cmsSize - cmsPosition;
  if (n <= 0) return 0;
  n = std::min(n, count);
  std::memcpy(buffer, cmsByteArray + cmsPosition, size_t(n));
  cmsPosition += n;
  return n;
}

int64_t TmvCustomMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  // 32-bit arithmetic that wraps, as the stream's 32-bit position does.
  const uint32_t off = uint32_t(offset);
  switch (origin) {
    case soBeginning: cmsPosition = int32_t(off); break;
    case soCurrent: cmsPosition = int32_t(uint32_t(cmsPosition) + off); break;
    case soEnd: cmsPosition = int32_t(uint32_t(cmsSize) + off); break;
  }
  return cmsPosition;
}

void TmvCustomMemoryStream::SaveToStream(TStream& stream) {
  if (cmsSize != 0) stream.WriteBuffer(cmsMemory, cmsSize);
}

void TmvCustomMemoryStream::SaveToFile(const String& fileName) {
  TFileStream file(fileName, fmCreate);
  SaveToStream(file);
}

// ---------------------------------------------------------------------------
// TmvMemoryStream

namespace {

constexpr int32_t kReserveUnit = 65536;
constexpr int32_t kPageSize = 4096;
constexpr int64_t kReserveLimit = 0x3FFFFFFF;
// Up to this capacity a stream lives in a block of the engine's allocator:
// reserving, committing and releasing address space costs system calls and
// page faults that a short-lived small stream would feel the most.
constexpr int32_t kPooledLimit = 65536;
constexpr int32_t kPooledMinimum = 64;
constexpr int64_t kGrowthWindow = 4;

// Address space is reserved inaccessible and committed by making pages
// readable and writable, the Linux form of reserve-then-commit.
uint8_t* reserveAnywhere(int64_t size) {
  void* p = ::mmap(nullptr, size_t(size), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

// Reserves exactly at `at` or not at all.
bool reserveAt(uint8_t* at, int64_t size) {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
#ifdef MAP_FIXED_NOREPLACE
  flags |= MAP_FIXED_NOREPLACE;
#endif
  void* p = ::mmap(at, size_t(size), PROT_NONE, flags, -1, 0);
  if (p == MAP_FAILED) return false;
  if (p != at) {  // a kernel that treats the address as a hint only
    ::munmap(p, size_t(size));
    return false;
  }
  return true;
}

bool commit(uint8_t* at, int64_t size) {
  return size <= 0 || ::mprotect(at, size_t(size), PROT_READ | PROT_WRITE) == 0;
}

void release(uint8_t* at, int64_t size) { ::munmap(at, size_t(size)); }

// Reservation and commit failures are operating-system errors (11047) that
// name the stream's class as the failed action.
[[noreturn]] void raiseStreamOSError(int err) {
  errno = err;
  throw mvCreateOSExceptionText(MVERR_OSUNKNOWN, u"TmvMemoryStream");
}

// The block size for a stream of aRequest bytes: powers of two, except that
// the step past 16 KB takes the largest item of the item pools, whose memory
// the allocator reuses, before a large block.
int32_t pooledSizeFor(int32_t aRequest) {
  int32_t size = std::max(kPooledMinimum, int32_t(std::bit_ceil(uint32_t(aRequest))));
  if (size > int32_t(mvLargestItemRequest) && aRequest <= int32_t(mvLargestItemRequest)) {
    size = int32_t(mvLargestItemRequest);
  }
  return size;
}

}  // namespace

TmvMemoryStream::TmvMemoryStream(int32_t initial) {
  int64_t r = initial == -1 ? kReserveUnit : initial < kReserveUnit ? 524288 : initial;
  msReserveInitial = int32_t((r + kReserveUnit - 1) / kReserveUnit * kReserveUnit);
}

// Clearing, without the detour through Realloc, which here could only be
// this class's own.
TmvMemoryStream::~TmvMemoryStream() { releaseAll(); }

void TmvMemoryStream::releaseAll() {
  if (msReserved == 0) return;
  if (msPooled) {
    mvFreeMem(cmsMemory);
    msPooled = 0;
  } else if (msReservedBases.empty()) {
    release(cmsByteArray, msReserved);
  } else {
    // The regions of an in-place growth are adjacent; releasing each keeps
    // the bookkeeping honest should that ever change.
    uint8_t* end = cmsByteArray + msReserved;
    for (size_t i = 0; i < msReservedBases.size(); ++i) {
      uint8_t* next = i + 1 < msReservedBases.size() ? msReservedBases[i + 1] : end;
      release(msReservedBases[i], next - msReservedBases[i]);
    }
    msReservedBases.clear();
  }
  msReserved = 0;
  msCommited = 0;
}

// The reservation that holds aCapacity: the current one, or the first one,
// doubled until it is large enough.
int64_t TmvMemoryStream::reservationFor(int64_t aCapacity) const {
  if (aCapacity <= msReserved) return msReserved;
  int64_t r = msReserved ? msReserved : msReserveInitial;
  while (r < aCapacity) r *= 2;
  if (r >= kReserveLimit) OutOfMemoryError();
  return r;
}

// New address space of aReserve bytes with its first aCommit bytes usable.
//
// Linux places new mappings top-down, right below the ones before, so the
// space behind a region reserved anywhere is nearly always taken and every
// doubling would copy. Reserving a window of four times the size and giving
// back all but its start leaves room behind the region for two doublings in
// place; later mappings fill such a hole from its far end.
uint8_t* TmvMemoryStream::reserveAndCommit(int64_t aReserve, int64_t aCommit) const {
  uint8_t* base = reserveAnywhere(kGrowthWindow * aReserve);
  if (base) {
    release(base + aReserve, (kGrowthWindow - 1) * aReserve);
  } else {
    base = reserveAnywhere(aReserve);  // no room for a window: the region alone
  }
  if (!base) raiseStreamOSError(errno);
  if (!commit(base, aCommit)) {
    int err = errno;
    release(base, aReserve);
    raiseStreamOSError(err);
  }
  return base;
}

// A stream of at most 64 KB: the block grows to hold the requested bytes,
// new bytes zeroed as committed pages would be; the figures move as the
// reservation scheme would move them.
void* TmvMemoryStream::reallocPooled(int32_t aRequest, int64_t aCapacity) {
  const int64_t r = reservationFor(aCapacity);
  if (aRequest > msPooled) {
    const int32_t size = pooledSizeFor(aRequest);
    void* block = cmsMemory;
    mvReallocMem(block, size_t(size));
    std::memset(static_cast<uint8_t*>(block) + msPooled, 0, size_t(size - msPooled));
    setPointer(block, cmsSize);
    msPooled = size;
  }
  msReserved = int32_t(r);
  msCommited = int32_t(std::max<int64_t>(msCommited, aCapacity));
  return cmsMemory;
}

void* TmvMemoryStream::Realloc(int32_t& newCapacity) {
  // 1. Zero releases everything.
  if (newCapacity <= 0) {
    releaseAll();
    newCapacity = 0;
    return nullptr;
  }
  // 2. Whole pages.
  int64_t c = (int64_t(newCapacity) + kPageSize - 1) / kPageSize * kPageSize;
  // A small stream stays in, or starts in, an allocator block.
  if (c <= kPooledLimit && (msPooled || msReserved == 0)) {
    void* memory = reallocPooled(newCapacity, c);
    newCapacity = msCommited;
    return memory;
  }
  uint8_t* base = cmsByteArray;
  if (msPooled) {
    // Beyond 64 KB: into address space of the reservation that the figures
    // already show (or a larger one), with everything the block held.
    const int64_t r = reservationFor(c);
    uint8_t* moved = reserveAndCommit(r, c);
    std::memcpy(moved, base, size_t(msPooled));
    releaseAll();
    msReserved = int32_t(r);
    msCommited = int32_t(c);
    newCapacity = msCommited;
    return moved;
  }
  // 3. Nothing to do.
  if (c == msCommited) {
    newCapacity = msCommited;
    return base;
  }
  // 4. Within the reservation: commit more, never shrink.
  if (c <= msReserved) {
    if (c > msCommited) {
      if (!commit(base + msCommited, c - msCommited)) raiseStreamOSError(errno);
      msCommited = int32_t(c);
    }
    newCapacity = msCommited;
    return base;
  }
  // 5. The new reservation: doubled until it holds c.
  const int64_t r = reservationFor(c);
  if (base == nullptr) {
    // 6. First memory.
    base = reserveAndCommit(r, c);
  } else if (reserveAt(base + msReserved, r - msReserved)) {
    // 7a. Grown in place: commit the rest of the old region and the new one up to c.
    if (!commit(base + msCommited, c - msCommited)) {
      int err = errno;
      release(base + msReserved, r - msReserved);
      raiseStreamOSError(err);
    }
    if (msReservedBases.empty()) msReservedBases.push_back(base);
    msReservedBases.push_back(base + msReserved);
  } else {
    // 7b. Moved: new region, copy the valid bytes, release the old regions.
    uint8_t* moved = reserveAndCommit(r, c);
    if (cmsSize > 0) std::memcpy(moved, base, size_t(cmsSize));
    releaseAll();
    base = moved;
  }
  // 8.
  msReserved = int32_t(r);
  msCommited = int32_t(c);
  newCapacity = msCommited;
  return base;
}

void TmvMemoryStream::SetCapacity(int32_t newCapacity) {
  void* memory = Realloc(newCapacity);
  setPointer(memory, cmsSize);
}

void TmvMemoryStream::Clear() {
  SetCapacity(0);
  cmsSize = 0;
  cmsPosition = 0;
}

void TmvMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) newSize = 0;
  if (newSize >= kReserveLimit) OutOfMemoryError();
  const int32_t n = int32_t(newSize);
  if (n > room()) SetCapacity(n);
  cmsSize = n;
  if (cmsPosition > n) cmsPosition = n;
}

int32_t TmvMemoryStream::Write(const void* buffer, int32_t count) {
  if (cmsPosition < 0 || count < 0) return 0;
  const int64_t end = int64_t(cmsPosition) + count;
  if (end <= 0) return 0;
  if (end > cmsSize) {
    if (end >= kReserveLimit) OutOfMemoryError();
    if (end > room()) SetCapacity(int32_t(end));
    cmsSize = int32_t(end);
  }
  std::memcpy(cmsByteArray + cmsPosition, buffer, size_t(count));
  cmsPosition = int32_t(end);
  return count;
}

void TmvMemoryStream::LoadFromStream(TStream& stream) {
  stream.SetPosition(0);
  int64_t count = stream.GetSize();
  SetSize(count);
  if (count != 0) stream.ReadBuffer(cmsMemory, count);
}

void TmvMemoryStream::LoadFromFile(const String& fileName) {
  TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

// ---------------------------------------------------------------------------
// TmvStaticMemoryStream

TmvStaticMemoryStream::TmvStaticMemoryStream(void* memory, int32_t size) { setPointer(memory, size); }

int32_t TmvStaticMemoryStream::Write(const void* buffer, int32_t count) {
  if (cmsPosition < 0 || count < 0) return 0;
  const int64_t end = int64_t(cmsPosition) + count;
  if (end <= 0) return 0;
  const int64_t room = int64_t(cmsSize) - cmsPosition;
  const int32_t n = room > 0 ? int32_t(std::min<int64_t>(count, room)) : 0;
  if (n > 0) std::memcpy(cmsByteArray + cmsPosition, buffer, size_t(n));
  cmsPosition = int32_t(std::min<int64_t>(cmsSize, end));
  return n;
}

// ---------------------------------------------------------------------------
// TmvAnsiStringStream

TmvAnsiStringStream::TmvAnsiStringStream(std::string_view data) : assDataString(data) {}

int32_t TmvAnsiStringStream::Read(void* buffer, int32_t count) {
  int64_t n = std::min<int64_t>(count, int64_t(assDataString.size()) - assPosition);
  if (n <= 0) return 0;
  std::memcpy(buffer, assDataString.data() + assPosition, size_t(n));
  assPosition += int32_t(n);
  return int32_t(n);
}

int32_t TmvAnsiStringStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  const int64_t end = int64_t(assPosition) + count;
  if (end > INT32_MAX) return 0;
  if (end > int64_t(assDataString.size())) assDataString.resize(size_t(end));
  std::memcpy(assDataString.data() + assPosition, buffer, size_t(count));
  assPosition = int32_t(end);
  return count;
}

int64_t TmvAnsiStringStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int64_t len = int64_t(assDataString.size());
  int64_t pos = origin == soBeginning ? offset : origin == soCurrent ? assPosition + offset : len - offset;
  assPosition = int32_t(std::clamp<int64_t>(pos, 0, len));
  return assPosition;
}

void TmvAnsiStringStream::SetSize(int64_t newSize) {
  assDataString.resize(size_t(std::clamp<int64_t>(newSize, 0, INT32_MAX)));
  if (assPosition > int64_t(assDataString.size())) assPosition = int32_t(assDataString.size());
}

AnsiString TmvAnsiStringStream::ReadString(int32_t count) {
  int64_t n = std::min<int64_t>(count, int64_t(assDataString.size()) - assPosition);
  if (n <= 0) return AnsiString();
  AnsiString s = assDataString.substr(size_t(assPosition), size_t(n));
  assPosition += int32_t(n);
  return s;
}

void TmvAnsiStringStream::WriteString(std::string_view s) {
  Write(s.data(), int32_t(std::min<size_t>(s.size(), INT32_MAX)));
}

// ---------------------------------------------------------------------------
// TmvWriter

void TmvWriter::WriteBinary(const void* data, int32_t size) {
  uint8_t b[5] = {vaBinary};
  StoreLE(b + 1, size);
  Write(b, 5);
  Write(data, size);
}

void TmvWriter::WriteBytes(const std::vector<uint8_t>& bytes) { WriteBinary(bytes.data(), int32_t(bytes.size())); }

void TmvWriter::WriteGuid(const TGUID& guid) {
  uint8_t raw[16];
  GUIDToBytes(guid, raw);
  WriteBinary(raw, 16);
}

void TmvWriter::WriteWideString_(std::u16string_view text) { writeWideCodeUnits(text); }

void TmvWriter::WriteAnsiString(std::string_view bytes) { writeAnsiBytes(bytes); }

void TmvWriter::WriteAnsiChar(char c) { writeAnsiBytes(std::string_view(&c, 1)); }

void TmvWriter::WriteStrings(const TStrings& list) {
  WriteListBegin();
  for (int32_t i = 0; i < list.GetCount(); ++i) WriteString(list.Get(i));
  WriteListEnd();
}

void TmvWriter::WriteWideStrings(const TStrings& list) {
  WriteListBegin();
  for (int32_t i = 0; i < list.GetCount(); ++i) writeWideCodeUnits(list.Get(i));
  WriteListEnd();
}

void TmvWriter::WriteAnsiStrings(const TStrings& list) {
  WriteListBegin();
  for (int32_t i = 0; i < list.GetCount(); ++i) writeAnsiBytes(StringToSystemAnsi(list.Get(i)));
  WriteListEnd();
}

// ---------------------------------------------------------------------------
// TmvReader

void TmvReader::ReadBinary(void* buffer, int32_t size) {
  CheckValue(vaBinary);
  uint8_t b[4];
  Read(b, 4);
  if (LoadLE<int32_t>(b) != size) propValueError();
  Read(buffer, size);
}

std::vector<uint8_t> TmvReader::ReadBytes() {
  CheckValue(vaBinary);
  std::vector<uint8_t> bytes(size_t(readLength(1)));
  if (!bytes.empty()) Read(bytes.data(), int32_t(bytes.size()));
  return bytes;
}

TGUID TmvReader::ReadGuid() {
  uint8_t raw[16];
  ReadBinary(raw, 16);
  return GUIDFromBytes(raw);
}

void TmvReader::ReadStrings(TStrings& list) {
  list.BeginUpdate();
  try {
    list.Clear();
    ReadListBegin();
    while (!EndOfList()) list.Add(ReadString());
    ReadListEnd();
  } catch (...) {
    list.EndUpdate();
    throw;
  }
  list.EndUpdate();
}
