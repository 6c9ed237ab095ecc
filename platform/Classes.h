// Platform layer: the general class library's streams, string lists and the
// binary writer and reader of the value-stream encoding.
//
// `TStream` is the abstract stream every engine stream derives from;
// `TFileStream` is one over a POSIX descriptor. `TStrings`/`TStringList` are
// the platform's string lists, as far as the engine uses them. `TWriter` and
// `TReader` write and read the tagged value encoding (one tag byte, then a
// payload the tag decides); the engine's `TmvWriter`/`TmvReader` add to them.
// Nothing here calls into the engine.
//
// Thread-safety: none of these objects may be used from two threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "platform/SysUtils.h"
#include "platform/Variants.h"

// ---------------------------------------------------------------------------
// Streams

enum TSeekOrigin : uint16_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
 public:
  virtual ~TStream() = default;

  // Move up to count bytes; return the number moved (0 at the end).
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

  virtual int64_t GetSize();
  virtual void SetSize(int64_t newSize);
  int64_t GetPosition() { return Seek(0, soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soBeginning); }

  // Move exactly count bytes or raise EReadError / EWriteError.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source's position; count 0 copies the whole of
  // source from its beginning. Returns the bytes copied.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// File open modes and share modes of the platform. Share modes are accepted
// and not enforced: Linux has no mandatory sharing locks.
inline constexpr uint16_t fmCreate = 0xFF00;
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenWrite = 0x0001;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmShareExclusive = 0x0010;
inline constexpr uint16_t fmShareDenyWrite = 0x0020;
inline constexpr uint16_t fmShareDenyRead = 0x0030;
inline constexpr uint16_t fmShareDenyNone = 0x0040;

MV_DECLARE_EXCEPTION(EFileStreamError, EStreamError)
MV_DECLARE_EXCEPTION(EFCreateError, EFileStreamError)
MV_DECLARE_EXCEPTION(EFOpenError, EFileStreamError)

// A stream over a descriptor it does not own.
class THandleStream : public TStream {
 public:
  explicit THandleStream(int handle) : handle_(handle) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  int Handle() const { return handle_; }

 protected:
  int handle_;
};

// A stream over a file it opens (fmCreate creates or truncates) and closes.
// Raises EFCreateError / EFOpenError naming the file and the system's reason.
class TFileStream : public THandleStream {
 public:
  TFileStream(const String& fileName, uint16_t mode);
  ~TFileStream() override;
  const String& FileName() const { return fileName_; }

 private:
  String fileName_;
};

// ---------------------------------------------------------------------------
// String lists

enum TDuplicates { dupIgnore, dupAccept, dupError };

class TStrings {
 public:
  virtual ~TStrings() = default;

  virtual int32_t GetCount() const = 0;
  virtual String Get(int32_t index) const = 0;
  virtual void Put(int32_t index, const String& s);
  virtual void* GetObject(int32_t index) const;
  virtual void PutObject(int32_t index, void* obj);
  virtual void Clear() = 0;
  virtual void Delete(int32_t index) = 0;
  virtual void Insert(int32_t index, const String& s) = 0;
  virtual int32_t Add(const String& s);
  // Adds the line with its object. A sorted list that ignores duplicates
  // leaves an existing equal line as it was, object included, and answers
  // its index.
  virtual int32_t AddObject(const String& s, void* obj);
  virtual int32_t IndexOf(const String& s) const;
  void Assign(const TStrings& source);

  // Nested; SetUpdateState(true/false) runs on the outermost pair.
  void BeginUpdate();
  void EndUpdate();
  int32_t UpdateCount() const { return updateCount_; }

  // Lines joined with CR LF after each.
  String GetText() const;

  int32_t Count() const { return GetCount(); }
  String operator[](int32_t index) const { return Get(index); }
  // The platform's property names for the same accessors.
  String Strings(int32_t index) const { return Get(index); }
  void* Objects(int32_t index) const { return GetObject(index); }

  // Lines of the form name=value. A line's name is the part before its first
  // "=" ("" for a line without one), its value the part after it.
  String Names(int32_t index) const;
  String ValueFromIndex(int32_t index) const;
  // The first line whose name matches, compared as CompareStrings compares
  // (ignoring case unless the list says otherwise); -1 when none does.
  int32_t IndexOfName(const String& name) const;
  // The value of that line; "" when there is none.
  String Values(const String& name) const;
  // Replaces the value of that line or appends name=value; an empty value
  // deletes the line.
  void SetValue(const String& name, const String& value);

 protected:
  virtual void SetUpdateState(bool updating) { (void)updating; }
  // Compares two strings the way IndexOf matches them (case-insensitive).
  virtual int CompareStrings(const String& a, const String& b) const;
  [[noreturn]] void Error(const char16_t* msg, int32_t data) const;

 private:
  int32_t updateCount_ = 0;
};

// The lines of a text as a string list's Text takes them: broken at CR, LF
// or CR LF; a final line break ends the last line rather than adding an
// empty one; "" has no lines.
std::vector<String> SplitTextLines(std::u16string_view text);

// A list of strings with an object pointer each; optionally sorted, with
// duplicates accepted, ignored or refused, compared with or without case by
// the platform's locale-aware compare.
class TStringList : public TStrings {
 public:
  int32_t GetCount() const override { return int32_t(items_.size()); }
  String Get(int32_t index) const override;
  void Put(int32_t index, const String& s) override;
  void* GetObject(int32_t index) const override;
  void PutObject(int32_t index, void* obj) override;
  void Clear() override;
  void Delete(int32_t index) override;
  void Insert(int32_t index, const String& s) override;
  int32_t Add(const String& s) override;
  int32_t AddObject(const String& s, void* obj) override;
  int32_t IndexOf(const String& s) const override;

  // Binary search of a sorted list: true when found; index is the match
  // (the first of equal ones) or where s would be inserted.
  bool Find(const String& s, int32_t& index) const;
  void Sort();

  bool Sorted() const { return sorted_; }
  void SetSorted(bool v);
  TDuplicates Duplicates() const { return duplicates_; }
  void SetDuplicates(TDuplicates v) { duplicates_ = v; }
  bool CaseSensitive() const { return caseSensitive_; }
  void SetCaseSensitive(bool v);

  std::function<void(TStringList&)> OnChange;
  std::function<void(TStringList&)> OnChanging;

 protected:
  void SetUpdateState(bool updating) override;
  int CompareStrings(const String& a, const String& b) const override;

 private:
  struct Item {
    String s;
    void* obj;
  };
  void checkIndex(int32_t index, bool forInsert) const;
  void insertItem(int32_t index, const String& s, void* obj);
  void changing();
  void changed();

  std::vector<Item> items_;
  bool sorted_ = false;
  bool caseSensitive_ = false;
  TDuplicates duplicates_ = dupIgnore;
};

inline constexpr char16_t SListIndexError[] = u"リストのインデックスが範囲を超えています (%d)";
inline constexpr char16_t SListCapacityError[] = u"リストの容量が超えました (%d)";
inline constexpr char16_t SListCountError[] = u"リストの個数を超えました (%d)";
inline constexpr char16_t SDuplicateString[] = u"文字列リストは重複を許しません";
inline constexpr char16_t SSortedListError[] = u"ソートされる文字列リストに対しては許されない動作です";

// ---------------------------------------------------------------------------
// The value-stream encoding

// Tag bytes. The byte table lives with TWriter/TReader in Classes.cpp.
enum TValueType : uint8_t {
  vaNull = 0x00, vaList = 0x01, vaInt8 = 0x02, vaInt16 = 0x03, vaInt32 = 0x04, vaExtended = 0x05,
  vaString = 0x06, vaIdent = 0x07, vaFalse = 0x08, vaTrue = 0x09, vaBinary = 0x0A, vaSet = 0x0B,
  vaLString = 0x0C, vaNil = 0x0D, vaCollection = 0x0E, vaSingle = 0x0F, vaCurrency = 0x10,
  vaDate = 0x11, vaWString = 0x12, vaInt64 = 0x13, vaUTF8String = 0x14, vaDouble = 0x15,
};

// Reader and writer share a buffer of this size over their stream.
inline constexpr int32_t FilerBufferSize = 4096;

class TFiler {
 public:
  TFiler(TStream& stream, int32_t bufSize);
  virtual ~TFiler();
  TFiler(const TFiler&) = delete;
  TFiler& operator=(const TFiler&) = delete;
  TStream& Stream() const { return *stream_; }

 protected:
  TStream* stream_;
  uint8_t* buffer_;
  int32_t bufSize_;
  int32_t bufPos_ = 0;
  int32_t bufEnd_ = 0;
};

// Collects bytes in its buffer and hands them to the stream when the buffer is
// full, on FlushBuffer, on a position change and when destroyed.
class TWriter : public TFiler {
 public:
  TWriter(TStream& stream, int32_t bufSize = FilerBufferSize);
  ~TWriter() override;  // flushes; a failing flush is not raised from here

  void Write(const void* buf, int32_t count);  // raw bytes, no tag
  void WriteValue(TValueType value);
  void FlushBuffer();
  int64_t GetPosition();
  void SetPosition(int64_t pos);

  void WriteBoolean(bool value);
  void WriteInteger(int32_t value);
  void WriteInteger(int64_t value);
  void WriteFloat(Extended value);
  void WriteSingle(Single value);
  void WriteDouble(Double value);
  void WriteCurrency(Currency value);
  void WriteDate(TDateTime value);
  void WriteString(std::u16string_view value);
  void WriteWideString(std::u16string_view value) { WriteString(value); }
  void WriteUTF8Str(std::string_view utf8);
  void WriteIdent(std::u16string_view ident);
  void WriteListBegin() { WriteValue(vaList); }
  void WriteListEnd() { WriteValue(vaNull); }
  // Raises EWriteError for arrays and for values without a text form.
  void WriteVariant(const Variant& value);
  // vaCollection, then per item vaList, writeItem(i), vaNull; then vaNull.
  void WriteCollection(int32_t itemCount, const std::function<void(int32_t)>& writeItem);

 protected:
  void writeAnsiBytes(std::string_view bytes);  // vaString or vaLString
  void writeWideCodeUnits(std::u16string_view value);  // vaWString
};

// Fills its buffer from the stream; when destroyed it moves the stream back to
// the first byte it did not consume. Every length read from the stream is
// checked against the bytes left before anything is allocated.
class TReader : public TFiler {
 public:
  TReader(TStream& stream, int32_t bufSize = FilerBufferSize);
  ~TReader() override;

  void Read(void* buf, int32_t count);  // raw bytes; EReadError when short
  TValueType ReadValue();
  TValueType NextValue();
  bool EndOfList();
  // Reads a tag; when it is not `value`, steps back, skips that whole value
  // and raises the invalid-property-value error.
  void CheckValue(TValueType value);
  void SkipValue();
  int64_t GetPosition();
  void SetPosition(int64_t pos);
  // Bytes that can still be read: buffered plus what the stream holds
  // beyond its position. A count read from the stream is checked against it
  // before it sizes anything.
  int64_t BytesLeft() { return bytesLeft(); }

  bool ReadBoolean();
  int32_t ReadInteger();
  int64_t ReadInt64();
  Extended ReadFloat();
  Single ReadSingle();
  Double ReadDouble();
  Currency ReadCurrency();
  TDateTime ReadDate();
  String ReadString();
  String ReadWideString() { return ReadString(); }
  char16_t ReadChar();
  String ReadIdent();
  void ReadListBegin() { CheckValue(vaList); }
  void ReadListEnd() { CheckValue(vaNull); }
  Variant ReadVariant();
  // Calls readItem(i) for each item, positioned after the item's vaList;
  // the callback reads the item's properties up to (not including) vaNull.
  void ReadCollection(const std::function<void(int32_t)>& readItem);

  // Lists nested deeper than this in a skipped value or in collections are
  // taken as damage: a read error, not a stack overflow.
  static constexpr int32_t MaxNesting = 256;

 protected:
  void readBuffer();
  // Bytes that can still be read: buffered plus what the stream holds beyond
  // its position.
  int64_t bytesLeft();
  // Reads a 4-byte length and checks 0 <= n and n * unitSize <= bytesLeft().
  int32_t readLength(int32_t unitSize);
  void skipBytes(int64_t count);
  void skipValue(int32_t depth);
  String readStringOf(TValueType tag);
  [[noreturn]] static void propValueError();
  [[noreturn]] static void readError();

  int32_t collectionDepth_ = 0;
};
