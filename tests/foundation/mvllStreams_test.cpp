// Tests of the memory streams and of the value-stream encoding, byte for byte.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "foundation/mvllStreams.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The bytes that `write` puts through a TmvWriter (flushed when it is freed).
Bytes Encode(const std::function<void(TmvWriter&)>& write) {
  TmvMemoryStream ms;
  {
    TmvWriter w(ms);
    write(w);
  }
  return Bytes(ms.ByteArray(), ms.ByteArray() + ms.GetSize());
}

// A memory stream holding `bytes`, positioned at 0.
struct Fixture {
  TmvMemoryStream ms;
  explicit Fixture(const Bytes& bytes) {
    ms.WriteBuffer(bytes.data(), int64_t(bytes.size()));
    ms.SetPosition(0);
  }
};

template <typename F>
String ReadErrorText(const Bytes& bytes, F read) {
  Fixture f(bytes);
  TmvReader r(f.ms);
  try {
    read(r);
  } catch (const EReadError& e) {
    return e.Message();
  }
  return u"(no error)";
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct GoldenCase {
  const char* name;
  std::function<void(TmvWriter&)> write;
  Bytes expected;
};

TEST(ValueStream, GoldenBytes) {
  const Bytes ascii300(300, 'x');
  const GoldenCase cases[] = {
      {"127", [](TmvWriter& w) { w.WriteInteger(127); }, {0x02, 0x7F}},
      {"128", [](TmvWriter& w) { w.WriteInteger(128); }, {0x03, 0x80, 0x00}},
      {"-32768", [](TmvWriter& w) { w.WriteInteger(-32768); }, {0x03, 0x00, 0x80}},
      {"40000", [](TmvWriter& w) { w.WriteInteger(40000); }, {0x04, 0x40, 0x9C, 0x00, 0x00}},
      {"int64 small", [](TmvWriter& w) { w.WriteInteger(int64_t(-1)); }, {0x02, 0xFF}},
      {"2^32", [](TmvWriter& w) { w.WriteInteger(int64_t(4294967296)); },
       {0x13, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}},
      {"abc", [](TmvWriter& w) { w.WriteString(u"abc"); }, {0x06, 0x03, 0x61, 0x62, 0x63}},
      {"empty text", [](TmvWriter& w) { w.WriteString(u""); }, {0x12, 0x00, 0x00, 0x00, 0x00}},
      {"300 ascii", [](TmvWriter& w) { w.WriteString(String(300, u'x')); },
       Cat({0x0C, 0x2C, 0x01, 0x00, 0x00}, ascii300)},
      {"e-acute", [](TmvWriter& w) { w.WriteString(u"\u00E9"); }, {0x12, 0x01, 0x00, 0x00, 0x00, 0xE9, 0x00}},
      {"e-acute a", [](TmvWriter& w) { w.WriteString(u"\u00E9a"); },
       {0x14, 0x03, 0x00, 0x00, 0x00, 0xC3, 0xA9, 0x61}},
      {"japanese", [](TmvWriter& w) { w.WriteString(u"日本"); },
       {0x12, 0x02, 0x00, 0x00, 0x00, 0xE5, 0x65, 0x2C, 0x67}},
      {"forced wide", [](TmvWriter& w) { w.WriteWideString_(u"ab"); },
       {0x12, 0x02, 0x00, 0x00, 0x00, 0x61, 0x00, 0x62, 0x00}},
      {"ident true", [](TmvWriter& w) { w.WriteIdent(u"true"); }, {0x09}},
      {"ident specials", [](TmvWriter& w) { w.WriteIdent(u"FALSE"); w.WriteIdent(u"null"); w.WriteIdent(u"NIL"); },
       {0x08, 0x00, 0x0D}},
      {"ident", [](TmvWriter& w) { w.WriteIdent(u"Ab"); }, {0x07, 0x02, 0x41, 0x62}},
      {"float 1.0", [](TmvWriter& w) { w.WriteFloat(1.0L); },
       {0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0xFF, 0x3F}},
      {"boolean", [](TmvWriter& w) { w.WriteBoolean(true); w.WriteBoolean(false); }, {0x09, 0x08}},
      {"list", [](TmvWriter& w) { w.WriteListBegin(); w.WriteInteger(1); w.WriteListEnd(); }, {0x01, 0x02, 0x01, 0x00}},
      {"binary", [](TmvWriter& w) { w.WriteBinary("\x01\x02", 2); }, {0x0A, 0x02, 0x00, 0x00, 0x00, 0x01, 0x02}},
      {"empty bytes", [](TmvWriter& w) { w.WriteBytes({}); }, {0x0A, 0x00, 0x00, 0x00, 0x00}},
      {"ansi string", [](TmvWriter& w) { w.WriteAnsiString("\x82\xA0"); }, {0x06, 0x02, 0x82, 0xA0}},
      {"ansi char", [](TmvWriter& w) { w.WriteAnsiChar('\xB1'); }, {0x06, 0x01, 0xB1}},
      {"currency", [](TmvWriter& w) { w.WriteVariant(Variant(Currency::FromScaled(15000))); },
       {0x10, 0x98, 0x3A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {"collection", [](TmvWriter& w) { w.WriteCollection(2, [&](int32_t i) { w.WriteInteger(i); }); },
       {0x0E, 0x01, 0x02, 0x00, 0x00, 0x01, 0x02, 0x01, 0x00, 0x00}},
  };
  for (const auto& c : cases) EXPECT_EQ(Encode(c.write), c.expected) << c.name;
}

TEST(ValueStream, GuidIs21BytesAndRoundTrips) {
  const TGUID g{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
  Bytes b = Encode([&](TmvWriter& w) { w.WriteGuid(g); });
  EXPECT_EQ(b, (Bytes{0x0A, 0x10, 0x00, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x08, 0x07,
                      9, 10, 11, 12, 13, 14, 15, 16}));
  Fixture f(b);
  TmvReader r(f.ms);
  EXPECT_EQ(r.ReadGuid(), g);
}

TEST(ValueStream, ReaderAcceptsAndRefuses) {
  {
    Fixture f({0x13, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});
    TmvReader r(f.ms);
    EXPECT_EQ(r.ReadInt64(), int64_t(4294967296));
  }
  EXPECT_EQ(ReadErrorText({0x13, 0, 0, 0, 0, 1, 0, 0, 0}, [](TmvReader& r) { r.ReadInteger(); }),
            u"プロパティ値が無効です");
  // A vaBinary of length 15 is not a GUID.
  EXPECT_EQ(ReadErrorText(Cat({0x0A, 0x0F, 0, 0, 0}, Bytes(15, 0)), [](TmvReader& r) { r.ReadGuid(); }),
            u"プロパティ値が無効です");
  EXPECT_EQ(ReadErrorText({0x06, 0x02, 'a', 'b'}, [](TmvReader& r) { r.ReadChar(); }), u"プロパティ値が無効です");
  EXPECT_EQ(ReadErrorText({0x06, 0x00}, [](TmvReader& r) { r.ReadChar(); }), u"プロパティ値が無効です");
  EXPECT_EQ(ReadErrorText({0x04, 0x01}, [](TmvReader& r) { r.ReadInteger(); }), u"ストリームからの読み取りエラー");
  EXPECT_EQ(ReadErrorText({}, [](TmvReader& r) { r.ReadValue(); }), u"ストリームからの読み取りエラー");

  Fixture f({0x09, 0x07, 0x03, 'a', 'b', 'c', 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0xFF, 0x3F,
             0x15, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0x03, 0xFF, 0xFF, 0x06, 0x01, 'Z', 0x14, 0x02, 0, 0, 0, 0xC3, 0xA9});
  TmvReader r(f.ms);
  EXPECT_EQ(r.ReadIdent(), u"True");
  EXPECT_EQ(r.ReadIdent(), u"abc");
  EXPECT_EQ(r.ReadFloat(), 1.5L);
  EXPECT_EQ(r.ReadFloat(), 1.5L);  // vaDouble
  EXPECT_EQ(r.ReadFloat(), -1.0L);  // an integer form
  EXPECT_EQ(r.ReadChar(), u'Z');
  EXPECT_EQ(r.ReadString(), u"\u00E9");
}

TEST(ValueStream, CheckValueSkipsTheWrongValueAndFails) {
  Fixture f({0x01, 0x02, 0x05, 0x06, 0x01, 'x', 0x00, 0x02, 0x07});
  TmvReader r(f.ms);
  try {
    r.CheckValue(vaInt8);
    FAIL();
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), u"プロパティ値が無効です");
  }
  EXPECT_EQ(r.ReadInteger(), 7);
}

TEST(ValueStream, ReadStrings) {
  TStringList list;
  list.Add(u"old");
  int changes = 0;
  list.OnChange = [&](TStringList&) { ++changes; };
  {
    Fixture f({0x01, 0x00});
    TmvReader r(f.ms);
    r.ReadStrings(list);
  }
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(changes, 1);  // one notification for the whole read

  TStringList lines;
  lines.Add(u"a");
  lines.Add(u"日本");
  Bytes b = Encode([&](TmvWriter& w) { w.WriteStrings(lines); w.WriteWideStrings(lines); });
  EXPECT_EQ(b, (Bytes{0x01, 0x06, 0x01, 'a', 0x12, 0x02, 0, 0, 0, 0xE5, 0x65, 0x2C, 0x67, 0x00,
                      0x01, 0x12, 0x01, 0, 0, 0, 'a', 0, 0x12, 0x02, 0, 0, 0, 0xE5, 0x65, 0x2C, 0x67, 0x00}));
  Fixture f(b);
  TmvReader r(f.ms);
  TStringList back;
  r.ReadStrings(back);
  EXPECT_EQ(back.GetText(), lines.GetText());
  r.ReadStrings(back);
  EXPECT_EQ(back.GetText(), lines.GetText());
}

TEST(ValueStream, ReadCollectionAcceptsItemIndexes) {
  Fixture f({0x0E, 0x02, 0x05, 0x01, 0x02, 0x07, 0x00, 0x01, 0x02, 0x08, 0x00, 0x00, 0x02, 0x09});
  TmvReader r(f.ms);
  std::vector<int32_t> seen;
  r.ReadCollection([&](int32_t) { seen.push_back(r.ReadInteger()); });
  EXPECT_EQ(seen, (std::vector<int32_t>{7, 8}));
  EXPECT_EQ(r.ReadInteger(), 9);
}

TEST(ValueStream, BufferingAndReaderPositionRestore) {
  TmvMemoryStream ms;
  {
    TmvWriter w(ms);
    w.WriteInteger(5);
    EXPECT_EQ(ms.GetSize(), 0);  // still in the writer's buffer
    EXPECT_EQ(w.GetPosition(), 2);
  }
  EXPECT_EQ(ms.GetSize(), 2);

  // A stream of 100 bytes: the reader buffers all of them but consumes 5.
  TmvMemoryStream data;
  Bytes bytes(100, 0x02);
  data.WriteBuffer(bytes.data(), 100);
  data.SetPosition(3);
  {
    TmvReader r(data);
    EXPECT_EQ(r.ReadInteger(), 2);
    r.ReadValue();
    r.ReadValue();
    r.ReadValue();
    EXPECT_EQ(r.GetPosition(), 8);
    EXPECT_EQ(data.GetPosition(), 100);
  }
  EXPECT_EQ(data.GetPosition(), 8);
}

TEST(ValueStream, VariantsRoundTrip) {
  struct Case {
    Variant written;
    TVarType readType;
    String readText;
  };
  TBcd bcd;
  bcd.Precision = 3;
  bcd.SignSpecialPlaces = 0x81;  // -12.5
  bcd.Fraction[0] = 0x12;
  bcd.Fraction[1] = 0x50;
  const Case cases[] = {
      {Variant(), varEmpty, u""},
      {Variant::Null(), varNull, u""},
      {Variant(int8_t(-5)), varShortInt, u"-5"},
      {Variant(uint8_t(200)), varSmallint, u"200"},
      {Variant(int16_t(-300)), varSmallint, u"-300"},
      {Variant(uint16_t(65535)), varInteger, u"65535"},
      {Variant(int32_t(-70000)), varInteger, u"-70000"},
      {Variant(uint32_t(4000000000u)), varInt64, u"4000000000"},
      {Variant(int64_t(1) << 40), varInt64, u"1099511627776"},
      {Variant(uint64_t(18446744073709551615ull)), varUString, u"18446744073709551615"},
      {Variant(1.5f), varSingle, u"1.5"},
      {Variant(0.1), varDouble, u"0.1"},
      {Variant(Currency::FromScaled(-12345)), varCurrency, u"-1.2345"},
      {Variant::FromDate(45000.5), varDate, u"2023/03/15 12:00:00"},
      {Variant(true), varBoolean, u"True"},
      {Variant(u"日本語"), varUString, u"日本語"},
      {Variant::FromOleStr(u"ole"), varUString, u"ole"},
      {Variant::FromAnsiString("ansi"), varUString, u"ansi"},
      {Variant(bcd), varUString, u"-12.5"},
  };
  for (const auto& c : cases) {
    Bytes b = Encode([&](TmvWriter& w) { w.WriteVariant(c.written); });
    Fixture f(b);
    TmvReader r(f.ms);
    Variant v = r.ReadVariant();
    EXPECT_EQ(v.VarType(), c.readType) << UTF8Encode(c.readText);
    EXPECT_EQ(VarToStr(v), c.readText);
    EXPECT_EQ(r.GetPosition(), int64_t(b.size()));
  }
}

TEST(ValueStream, VariantFailures) {
  TmvMemoryStream ms;
  TmvWriter w(ms);
  try {
    w.WriteVariant(Variant::ByteArray(3));
    FAIL();
  } catch (const EWriteError& e) {
    EXPECT_EQ(e.Message(), u"ストリームへの書き込みエラー");
  }
  // vaBinary is consumed, then refused.
  Fixture f({0x0A, 0x02, 0, 0, 0, 1, 2, 0x02, 0x09});
  TmvReader r(f.ms);
  EXPECT_THROW(r.ReadVariant(), EReadError);
  EXPECT_EQ(r.ReadInteger(), 9);
}

// Mended: lengths are checked against the bytes left before anything is
// allocated, and a negative length is a read error.
TEST(ValueStream, DamagedLengthsAreRefusedBeforeAllocation) {
  const Bytes huge{0x00, 0x00, 0x00, 0x80};  // 2^31 as a signed count: negative
  const Bytes big{0xFF, 0xFF, 0xFF, 0x7F};
  const Bytes justOver{0x03, 0x00, 0x00, 0x00};  // 3 bytes promised, 2 present
  const uint8_t tags[] = {vaLString, vaBinary, vaWString, vaUTF8String};
  for (uint8_t tag : tags) {
    for (const Bytes& len : {huge, big, justOver}) {
      Bytes b = Cat(Cat({tag}, len), {'a', 'b'});
      auto read = [tag](TmvReader& r) {
        if (tag == vaBinary) r.ReadBytes();
        else r.ReadString();
      };
      EXPECT_EQ(ReadErrorText(b, read), u"ストリームからの読み取りエラー") << int(tag);
      EXPECT_EQ(ReadErrorText(b, [](TmvReader& r) { r.SkipValue(); }), u"ストリームからの読み取りエラー");
    }
  }
}

// Mended: nesting is bounded, so a damaged stream cannot exhaust the stack.
TEST(ValueStream, ListNestingIsBounded) {
  Bytes ok(TReader::MaxNesting, vaList);
  ok.insert(ok.end(), TReader::MaxNesting, vaNull);
  ok.push_back(0x02);
  ok.push_back(0x01);
  {
    Fixture f(ok);
    TmvReader r(f.ms);
    r.SkipValue();
    EXPECT_EQ(r.ReadInteger(), 1);
  }
  Bytes deep(100000, vaList);
  EXPECT_EQ(ReadErrorText(deep, [](TmvReader& r) { r.SkipValue(); }), u"ストリームからの読み取りエラー");
  EXPECT_EQ(ReadErrorText(Cat({vaInt8}, deep), [](TmvReader& r) { r.ReadListBegin(); }), u"プロパティ値が無効です");
}

TEST(MemoryStream, ReserveAndCommitFigures) {
  TmvMemoryStream a(-1);
  EXPECT_EQ(a.Reserved(), 0);
  a.Write("x", 1);
  EXPECT_EQ(a.Reserved(), 65536);
  EXPECT_EQ(a.Capacity(), 4096);
  EXPECT_EQ(a.GetSize(), 1);

  TmvMemoryStream b(0);
  Bytes five(5000, 7);
  b.WriteBuffer(five.data(), 5000);
  EXPECT_EQ(b.Reserved(), 524288);
  EXPECT_EQ(b.Capacity(), 8192);

  TmvMemoryStream c;
  Bytes ten(10000, 3);
  c.WriteBuffer(ten.data(), 10000);
  c.SetPosition(5000);
  c.SetSize(100);
  EXPECT_EQ(c.Capacity(), 12288);
  EXPECT_EQ(c.GetPosition(), 100);

  c.Clear();
  EXPECT_EQ(c.Capacity(), 0);
  EXPECT_EQ(c.Memory(), nullptr);
  EXPECT_EQ(c.GetSize(), 0);
}

// Beyond its reservation a stream grows in place while the address space
// behind it is free, and moves, copying its data, when something holds that
// space; here every other growth finds a page mapped right behind it.
TEST(MemoryStream, GrowthKeepsTheDataWhetherInPlaceOrMoved) {
  TmvMemoryStream ms;
  std::vector<void*> walls;
  int inPlace = 0, moved = 0, growths = 0;
  Bytes chunk(70000);
  for (int i = 0; i < 40; ++i) {
    for (size_t j = 0; j < chunk.size(); ++j) chunk[j] = uint8_t(i + j);
    uint8_t* before = ms.ByteArray();
    const int32_t reserved = ms.Reserved();
    ms.WriteBuffer(chunk.data(), int64_t(chunk.size()));
    if (ms.Reserved() == reserved || reserved <= 65536) continue;
    (ms.ByteArray() == before ? inPlace : moved)++;
    if (++growths % 2 == 1) {
      uint8_t* behind = ms.ByteArray() + ms.Reserved();
      void* w = ::mmap(behind, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
      if (w == behind) walls.push_back(w);
      else if (w != MAP_FAILED) ::munmap(w, 4096);
    }
  }
  EXPECT_GT(inPlace, 0);
  EXPECT_GT(moved, 0);
  EXPECT_EQ(ms.GetSize(), 40 * 70000);
  EXPECT_GE(ms.Reserved(), ms.Capacity());
  for (int i = 0; i < 40; ++i) {
    for (size_t j = 0; j < chunk.size(); j += 997) ASSERT_EQ(ms.ByteArray()[i * 70000 + j], uint8_t(i + j));
  }
  for (void* w : walls) ::munmap(w, 4096);
}

// A stream starts in a block of the allocator and moves to reserved address
// space beyond 64 KB; its figures and its bytes must not show the move.
TEST(MemoryStream, FiguresAndDataAcrossTheMoveBeyond64KB) {
  struct Case {
    int32_t initial;
    int32_t before, reservedBefore, committedBefore;
    int32_t after, reservedAfter, committedAfter;
  } cases[] = {
      {-1, 65536, 65536, 65536, 65537, 131072, 69632},   // past the first reservation
      {0, 5000, 524288, 8192, 100000, 524288, 102400},   // still inside the first reservation
      {-1, 100, 65536, 4096, 300000, 524288, 303104},    // straight from a tiny stream
      {-1, 40000, 65536, 40960, 50000, 65536, 53248},    // small throughout
      {196608, 70000, 196608, 73728, 70001, 196608, 73728},  // never small: address space at once
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.initial);
    TmvMemoryStream ms(k.initial);
    Bytes data(size_t(k.after));
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + i / 251);
    ms.WriteBuffer(data.data(), k.before);
    EXPECT_EQ(ms.Reserved(), k.reservedBefore);
    EXPECT_EQ(ms.Capacity(), k.committedBefore);
    ms.WriteBuffer(data.data() + k.before, k.after - k.before);
    EXPECT_EQ(ms.Reserved(), k.reservedAfter);
    EXPECT_EQ(ms.Capacity(), k.committedAfter);
    ASSERT_EQ(ms.GetSize(), k.after);
    EXPECT_EQ(std::memcmp(ms.Memory(), data.data(), data.size()), 0);
    ms.Clear();
    EXPECT_EQ(ms.Reserved(), 0);
    ms.Write("again", 5);  // small again after a clear
    EXPECT_EQ(ms.Capacity(), 4096);
    EXPECT_EQ(std::memcmp(ms.Memory(), "again", 5), 0);
  }
}

// Bytes that never held data read as zero, as freshly committed pages do,
// small or large; bytes cut off by a smaller size come back unchanged,
// since the capacity never shrinks.
TEST(MemoryStream, FreshBytesReadAsZero) {
  for (int32_t grown : {3000, 9000, 70000}) {
    SCOPED_TRACE(grown);
    TmvMemoryStream ms;
    Bytes ones(200, 1);
    ms.WriteBuffer(ones.data(), 200);
    ms.SetSize(50);
    ms.SetSize(grown);
    const uint8_t* b = ms.ByteArray();
    EXPECT_EQ(b[49], 1);
    if (grown <= 65536) {
      EXPECT_EQ(b[199], 1);  // within the capacity it had
    }
    for (int32_t i = 200; i < grown; ++i) ASSERT_EQ(b[i], 0) << i;
    ms.SetPosition(grown + 100);  // a write beyond the end leaves a gap of zeros
    ms.Write("z", 1);
    b = ms.ByteArray();
    for (int32_t i = grown; i < grown + 100; ++i) ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[grown + 100], 'z');
  }
}

// A caller may fill the capacity it asked for through Memory() and then set
// the size: those bytes are the stream's memory and are kept.
TEST(MemoryStream, CapacityAskedForIsUsableMemory) {
  for (int32_t asked : {1000, 40000, 100000}) {
    SCOPED_TRACE(asked);
    TmvMemoryStream ms;
    ms.SetCapacity(asked);
    EXPECT_GE(ms.Capacity(), asked);
    std::memset(ms.Memory(), 0x5A, size_t(asked));
    ms.SetSize(asked);
    for (int32_t i = 0; i < asked; i += 333) ASSERT_EQ(ms.ByteArray()[i], 0x5A) << i;
    EXPECT_EQ(ms.ByteArray()[asked - 1], 0x5A);
  }
}

TEST(MemoryStream, ReadSeekAndLimits) {
  TmvMemoryStream ms;
  ms.Write("hello", 5);
  EXPECT_EQ(ms.Write("x", -1), 0);
  EXPECT_EQ(ms.Seek(-2, soEnd), 3);
  char buf[8] = {};
  EXPECT_EQ(ms.Read(buf, 8), 2);
  EXPECT_EQ(std::string(buf), "lo");
  EXPECT_EQ(ms.Seek(10, soBeginning), 10);  // beyond the size is allowed
  EXPECT_EQ(ms.Read(buf, 1), 0);
  ms.Write("!", 1);
  EXPECT_EQ(ms.GetSize(), 11);
  ms.SetPosition(-1);
  EXPECT_EQ(ms.Read(buf, 1), 0);
  EXPECT_EQ(ms.Write("x", 1), 0);
  EXPECT_THROW(ms.SetSize(0x3FFFFFFF), EOutOfMemory);
  EXPECT_EQ(ms.GetSize(), 11);

  TmvMemoryStream copy;
  copy.LoadFromStream(ms);
  EXPECT_EQ(copy.GetSize(), 11);
  EXPECT_EQ(std::memcmp(copy.Memory(), "hello", 5), 0);
}

TEST(StaticMemoryStream, WritesStopAtTheEnd) {
  uint8_t buf[10] = {};
  TmvStaticMemoryStream s(buf, 10);
  s.SetPosition(8);
  EXPECT_EQ(s.Write("abcde", 5), 2);
  EXPECT_EQ(buf[8], 'a');
  EXPECT_EQ(buf[9], 'b');
  EXPECT_EQ(s.GetPosition(), 10);
  s.SetPosition(12);
  EXPECT_EQ(s.Write("abcde", 5), 0);
  EXPECT_EQ(s.GetPosition(), 10);
  EXPECT_THROW(s.WriteBuffer("z", 1), EWriteError);
}

TEST(AnsiStringStream, ReadWriteSeek) {
  TmvAnsiStringStream s("hello");
  EXPECT_EQ(s.Seek(2, soEnd), 3);  // from the end: length minus offset
  EXPECT_EQ(s.ReadString(10), "lo");
  EXPECT_EQ(s.ReadString(10), "");
  EXPECT_EQ(s.Seek(-7, soCurrent), 0);
  EXPECT_EQ(s.Seek(99, soBeginning), 5);
  s.WriteString(" world");
  EXPECT_EQ(s.DataString(), "hello world");
  s.SetSize(4);
  EXPECT_EQ(s.GetPosition(), 4);
  EXPECT_EQ(s.DataString(), "hell");
}

}  // namespace
