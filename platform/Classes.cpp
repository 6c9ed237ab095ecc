// Platform layer: abstract and file streams, string lists.
// The value-stream writer and reader are in Filer.cpp.
#include "platform/Classes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/TextServices.h"

// ---------------------------------------------------------------------------
// TStream

int64_t TStream::GetSize() {
  int64_t pos = Seek(0, soCurrent);
  int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::SetSize(int64_t) {}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    int32_t chunk = int32_t(std::min<int64_t>(count, INT32_MAX));
    int32_t n = Read(p, chunk);
    if (n <= 0) throw EReadError(String(SReadError));
    p += n;
    count -= n;
  }
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  auto* p = static_cast<const uint8_t*>(buffer);
  while (count > 0) {
    int32_t chunk = int32_t(std::min<int64_t>(count, INT32_MAX));
    int32_t n = Write(p, chunk);
    if (n <= 0) throw EWriteError(String(SWriteError));
    p += n;
    count -= n;
  }
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.GetSize();
  }
  const int64_t total = count;
  std::vector<uint8_t> buf(size_t(std::min<int64_t>(count, 61440)));
  while (count > 0) {
    int32_t n = int32_t(std::min<int64_t>(count, int64_t(buf.size())));
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    count -= n;
  }
  return total;
}

// ---------------------------------------------------------------------------
// THandleStream, TFileStream

int32_t THandleStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  for (;;) {
    ssize_t n = ::read(handle_, buffer, size_t(count));
    if (n >= 0) return int32_t(n);
    if (errno != EINTR) return 0;
  }
}

int32_t THandleStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  for (;;) {
    ssize_t n = ::write(handle_, buffer, size_t(count));
    if (n >= 0) return int32_t(n);
    if (errno != EINTR) return 0;
  }
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(handle_, off_t(offset), whence);
  return r < 0 ? -1 : int64_t(r);
}

void THandleStream::SetSize(int64_t newSize) {
  int64_t pos = GetPosition();
  if (::ftruncate(handle_, off_t(newSize)) != 0) {
    EOSError e(u"%s", {UTF8ToString(std::strerror(errno))});
    e.ErrorCode = uint32_t(errno);
    throw e;
  }
  if (pos > newSize) Seek(newSize, soBeginning);
}

namespace {

int openFlags(uint16_t mode) {
  if (mode == fmCreate) return O_RDWR | O_CREAT | O_TRUNC;
  switch (mode & 3) {
    case fmOpenWrite: return O_WRONLY;
    case fmOpenReadWrite: return O_RDWR;
    default: return O_RDONLY;
  }
}

int openOrRaise(const String& fileName, uint16_t mode) {
  int fd = ::open(UTF8Encode(fileName).c_str(), openFlags(mode) | O_CLOEXEC, 0666);
  if (fd < 0) {
    String reason = UTF8ToString(std::strerror(errno));
    if (mode == fmCreate) throw EFCreateError(u"ファイル %s を作成できません。%s", {fileName, reason});
    throw EFOpenError(u"ファイル %s を開けません。%s", {fileName, reason});
  }
  return fd;
}

}  // namespace

TFileStream::TFileStream(const String& fileName, uint16_t mode)
    : THandleStream(openOrRaise(fileName, mode)), fileName_(fileName) {}

TFileStream::~TFileStream() {
  if (handle_ >= 0) ::close(handle_);
}

// ---------------------------------------------------------------------------
// TStrings

void TStrings::Error(const char16_t* msg, int32_t data) const {
  throw EStringListError(msg, {data});
}

void TStrings::Put(int32_t index, const String& s) {
  void* obj = GetObject(index);
  BeginUpdate();
  try {
    Delete(index);
    Insert(index, s);
    PutObject(index, obj);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void* TStrings::GetObject(int32_t) const { return nullptr; }
void TStrings::PutObject(int32_t, void*) {}

int32_t TStrings::Add(const String& s) {
  int32_t i = GetCount();
  Insert(i, s);
  return i;
}

int32_t TStrings::AddObject(const String& s, void* obj) {
  int32_t i = Add(s);
  PutObject(i, obj);
  return i;
}

int TStrings::CompareStrings(const String& a, const String& b) const { return AnsiCompareText(a, b); }

String TStrings::Names(int32_t index) const {
  const String line = Get(index);
  const size_t eq = line.find(u'=');
  return eq == String::npos ? String() : line.substr(0, eq);
}

String TStrings::ValueFromIndex(int32_t index) const {
  const String line = Get(index);
  const size_t eq = line.find(u'=');
  return eq == String::npos ? String() : line.substr(eq + 1);
}

int32_t TStrings::IndexOfName(const String& name) const {
  for (int32_t i = 0, n = GetCount(); i < n; ++i) {
    const String line = Get(i);
    const size_t eq = line.find(u'=');
    if (eq != String::npos && CompareStrings(line.substr(0, eq), name) == 0) return i;
  }
  return -1;
}

String TStrings::Values(const String& name) const {
  const int32_t i = IndexOfName(name);
  return i < 0 ? String() : ValueFromIndex(i);
}

void TStrings::SetValue(const String& name, const String& value) {
  const int32_t i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
  } else if (i >= 0) {
    Put(i, name + u"=" + value);
  } else {
    Add(name + u"=" + value);
  }
}

int32_t TStrings::IndexOf(const String& s) const {
  for (int32_t i = 0, n = GetCount(); i < n; ++i) {
    if (CompareStrings(Get(i), s) == 0) return i;
  }
  return -1;
}

void TStrings::Assign(const TStrings& source) {
  if (&source == this) return;
  BeginUpdate();
  try {
    Clear();
    for (int32_t i = 0; i < source.GetCount(); ++i) AddObject(source.Get(i), source.GetObject(i));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStrings::BeginUpdate() {
  if (updateCount_++ == 0) SetUpdateState(true);
}

void TStrings::EndUpdate() {
  if (--updateCount_ == 0) SetUpdateState(false);
}

String TStrings::GetText() const {
  String out;
  for (int32_t i = 0, n = GetCount(); i < n; ++i) {
    out += Get(i);
    out += u"\r\n";
  }
  return out;
}

std::vector<String> SplitTextLines(std::u16string_view text) {
  std::vector<String> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(u"\r\n", start);
    if (end == std::u16string_view::npos) end = text.size();
    lines.emplace_back(text.substr(start, end - start));
    if (end + 1 < text.size() && text[end] == u'\r' && text[end + 1] == u'\n') ++end;
    start = end + 1;
  }
  return lines;
}

// ---------------------------------------------------------------------------
// TStringList

void TStringList::checkIndex(int32_t index, bool forInsert) const {
  int32_t limit = GetCount() + (forInsert ? 1 : 0);
  if (index < 0 || index >= limit) Error(SListIndexError, index);
}

void TStringList::changing() {
  if (UpdateCount() == 0 && OnChanging) OnChanging(*this);
}

void TStringList::changed() {
  if (UpdateCount() == 0 && OnChange) OnChange(*this);
}

void TStringList::SetUpdateState(bool updating) {
  if (updating) {
    if (OnChanging) OnChanging(*this);
  } else if (OnChange) {
    OnChange(*this);
  }
}

String TStringList::Get(int32_t index) const {
  checkIndex(index, false);
  return items_[size_t(index)].s;
}

void TStringList::Put(int32_t index, const String& s) {
  if (sorted_) Error(SSortedListError, 0);
  checkIndex(index, false);
  changing();
  items_[size_t(index)].s = s;
  changed();
}

void* TStringList::GetObject(int32_t index) const {
  checkIndex(index, false);
  return items_[size_t(index)].obj;
}

void TStringList::PutObject(int32_t index, void* obj) {
  checkIndex(index, false);
  changing();
  items_[size_t(index)].obj = obj;
  changed();
}

void TStringList::Clear() {
  if (items_.empty()) return;
  changing();
  items_.clear();
  changed();
}

void TStringList::Delete(int32_t index) {
  checkIndex(index, false);
  changing();
  items_.erase(items_.begin() + index);
  changed();
}

void TStringList::insertItem(int32_t index, const String& s, void* obj) {
  changing();
  items_.insert(items_.begin() + index, Item{s, obj});
  changed();
}

void TStringList::Insert(int32_t index, const String& s) {
  if (sorted_) Error(SSortedListError, 0);
  checkIndex(index, true);
  insertItem(index, s, nullptr);
}

int32_t TStringList::Add(const String& s) { return AddObject(s, nullptr); }

int32_t TStringList::AddObject(const String& s, void* obj) {
  int32_t index = GetCount();
  if (sorted_ && Find(s, index)) {
    switch (duplicates_) {
      case dupIgnore: return index;
      case dupError: throw EStringListError(String(SDuplicateString));
      case dupAccept: break;
    }
  }
  insertItem(index, s, obj);
  return index;
}

int TStringList::CompareStrings(const String& a, const String& b) const {
  return caseSensitive_ ? AnsiCompareStr(a, b) : AnsiCompareText(a, b);
}

bool TStringList::Find(const String& s, int32_t& index) const {
  bool found = false;
  int32_t lo = 0, hi = GetCount() - 1;
  while (lo <= hi) {
    int32_t mid = lo + (hi - lo) / 2;
    int c = CompareStrings(items_[size_t(mid)].s, s);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) {
        found = true;
        // With duplicates refused or ignored the match is unique; otherwise
        // keep searching left for the first equal string.
        if (duplicates_ != dupAccept) lo = mid;
      }
    }
  }
  index = lo;
  return found;
}

int32_t TStringList::IndexOf(const String& s) const {
  if (!sorted_) return TStrings::IndexOf(s);
  int32_t i;
  return Find(s, i) ? i : -1;
}

void TStringList::Sort() {
  if (items_.size() < 2) return;
  changing();
  std::stable_sort(items_.begin(), items_.end(),
                   [this](const Item& a, const Item& b) { return CompareStrings(a.s, b.s) < 0; });
  changed();
}

void TStringList::SetSorted(bool v) {
  if (v && !sorted_) Sort();
  sorted_ = v;
}

void TStringList::SetCaseSensitive(bool v) {
  if (v == caseSensitive_) return;
  caseSensitive_ = v;
  if (sorted_) Sort();
}
