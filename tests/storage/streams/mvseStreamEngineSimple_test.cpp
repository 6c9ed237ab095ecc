// Tests of the simple stream engine and of the dictionary stored in a table
// file: streams of every size, named streams and their map, names the map
// cannot keep, damaged stream blocks, and a dictionary written, committed,
// reopened and read back.
#include "storage/streams/mvseStreamEngineSimple.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "dictionary/mvsdQuestionBank.h"
#include "foundation/mvllStreams.h"
#include "storage/FileHeaderTestSupport.h"
#include "storage/SubEngineTestSupport.h"
#include "storage/header/mvsrServerDataDict.h"

namespace storage_test {
namespace {

constexpr uint32_t kData = 4092 - 32;  // data bytes of a 4 KB "MV!2" stream block
constexpr TmvBlockSignature kTag{'T', 'E', 'S', 'T'};

std::unique_ptr<TmvMemoryStream> Bytes(size_t aCount, uint8_t aSeed = 1) {
  auto stream = std::make_unique<TmvMemoryStream>();
  std::vector<uint8_t> bytes(aCount);
  for (size_t i = 0; i < aCount; ++i) bytes[i] = uint8_t(aSeed + i * 7);
  if (aCount) stream->WriteBuffer(bytes.data(), int64_t(aCount));
  return stream;
}

std::vector<uint8_t> Content(TStream& aStream) {
  std::vector<uint8_t> bytes(size_t(aStream.GetSize()));
  aStream.SetPosition(0);
  if (!bytes.empty()) aStream.ReadBuffer(bytes.data(), int64_t(bytes.size()));
  return bytes;
}

class StreamTest : public HeaderTest {
 protected:
  // A new file with the engine's section, committed; the file stays open.
  void SetUp() override {
    HeaderTest::SetUp();
    TTestTransaction trans(cache);
    table = Create("s.mv1", &trans);
    view = std::make_unique<TmvBlockAccess>(table->file, nullptr, u"s", 0);
    engine.reset(TmvBaseStreamEngine::CreateEngine(static_cast<TmvBaseStreamDescriptor*>(nullptr), view.get(), &trans));
    trans.Commit();
  }
  void TearDown() override {
    engine.reset();
    view.reset();
    table.reset();
    HeaderTest::TearDown();
  }
  uint32_t UsedBlocks(TmvBaseTransaction* aTrans) { return Access(*view, aTrans, false)->GetUsedBlocks(); }
  uint32_t FreeBlocks(TmvBaseTransaction* aTrans) { return Access(*view, aTrans, false)->GetAvailableBlocks(); }
  uint32_t Section(TmvBaseTransaction* aTrans, uint32_t aEntry) {
    auto* simple = static_cast<TmvSimpleStreamEngine*>(engine.get());
    return mvGetU32(Access(*view, aTrans, false)->Header, simple->seHeaderSection + aEntry);
  }
  std::vector<uint8_t> ReadNamed(TmvBaseTransaction* aTrans, const String& aName, int32_t* aCode = nullptr) {
    TmvMemoryStream stream;
    const int32_t code = engine->ReadNamedStream(aTrans, aName, stream);
    if (aCode) *aCode = code;
    return Content(stream);
  }

  std::unique_ptr<OpenTable> table;
  std::unique_ptr<TmvBlockAccess> view;
  std::unique_ptr<TmvBaseStreamEngine> engine;
};

TEST_F(StreamTest, StreamsTakeTheBlocksTheirLengthNeedsAndKeepTheirNumberWhenRewritten) {
  TTestTransaction trans(cache);
  struct Case {
    size_t bytes;
    uint32_t blocks;
  };
  for (const Case c : {Case{0, 1}, Case{kData, 1}, Case{kData + 1, 2}, Case{3 * kData, 3}}) {
    SCOPED_TRACE(c.bytes);
    const uint32_t before = UsedBlocks(&trans);
    TmvBlockNumber number = 0;
    auto written = Bytes(c.bytes, uint8_t(c.bytes));
    engine->WriteStream(&trans, number, *written, true, kTag);
    EXPECT_EQ(UsedBlocks(&trans) - before, c.blocks);
    TmvMemoryStream read;
    engine->ReadStream(&trans, number, read);
    EXPECT_EQ(read.GetPosition(), 0);
    EXPECT_EQ(Content(read), Content(*written));
  }
  // The 3-block stream (the last one: blocks used - 3 .. used - 1) rewritten
  // with 10 bytes frees its 2nd and 3rd blocks and keeps its number.
  const TmvBlockNumber first = UsedBlocks(&trans) - 3;
  const uint32_t freeBefore = FreeBlocks(&trans);
  TmvBlockNumber number = first;
  engine->WriteStream(&trans, number, *Bytes(10, 9), false, kTag);
  EXPECT_EQ(number, first);
  EXPECT_EQ(FreeBlocks(&trans) - freeBefore, 2u);
  TmvMemoryStream read;
  engine->ReadStream(&trans, first, read);
  EXPECT_EQ(Content(read), Content(*Bytes(10, 9)));
  // Deleting gives every block back.
  engine->DeleteStream(&trans, first);
  EXPECT_EQ(FreeBlocks(&trans) - freeBefore, 3u);
  trans.Commit();
}

TEST_F(StreamTest, NamedStreamsAreListedSortedThenDictAndFoundWithoutCase) {
  TTestTransaction trans(cache);
  int32_t code = 0;
  ReadNamed(&trans, u"DICT", &code);
  EXPECT_EQ(code, 8712);
  EXPECT_EQ(engine->DeleteNamedStream(&trans, u"zeta"), 8712);
  EXPECT_EQ(engine->WriteNamedStream(&trans, u"DICT", *Bytes(100, 1)), 0);
  EXPECT_EQ(engine->WriteNamedStream(&trans, u"zeta", *Bytes(5000, 2)), 0);
  EXPECT_EQ(engine->WriteNamedStream(&trans, u"Alpha", *Bytes(7, 3)), 0);
  TStringList names;
  EXPECT_EQ(engine->GetNamedStreamList(&trans, names), 0);
  ASSERT_EQ(names.Count(), 3);
  EXPECT_EQ(names[0], u"Alpha");
  EXPECT_EQ(names[1], u"zeta");
  EXPECT_EQ(names[2], u"DICT");
  int32_t count = 0;
  EXPECT_EQ(engine->GetNamedStreamCount(&trans, count), 0);
  EXPECT_EQ(count, 2);
  trans.Commit();

  // Through commit: "dict" is "DICT", "ZETA" is "zeta"; rewriting a named
  // stream keeps its place.
  TTestTransaction second(cache);
  EXPECT_EQ(ReadNamed(&second, u"dict"), Content(*Bytes(100, 1)));
  EXPECT_EQ(ReadNamed(&second, u"ZETA"), Content(*Bytes(5000, 2)));
  const uint32_t dictBlock = Section(&second, 0);
  EXPECT_EQ(engine->WriteNamedStream(&second, u"dict", *Bytes(30, 4)), 0);
  EXPECT_EQ(Section(&second, 0), dictBlock);
  EXPECT_EQ(ReadNamed(&second, u"DICT"), Content(*Bytes(30, 4)));
  // Deleting the last user stream frees the name map.
  EXPECT_NE(Section(&second, 4), 0u);
  EXPECT_EQ(engine->DeleteNamedStream(&second, u"ALPHA"), 0);
  EXPECT_EQ(engine->DeleteNamedStream(&second, u"zeta"), 0);
  EXPECT_EQ(Section(&second, 4), 0u);
  EXPECT_EQ(engine->GetNamedStreamList(&second, names), 0);
  ASSERT_EQ(names.Count(), 1);
  EXPECT_EQ(names[0], u"DICT");
  EXPECT_EQ(engine->DeleteNamedStream(&second, u"Dict"), 0);
  EXPECT_EQ(Section(&second, 0), 0u);
  second.Commit();
}

// The map keeps a name in at most 255 bytes of the ANSI code page: a name
// it cannot keep whole is refused before anything changes, instead of
// being stored cut or with its characters replaced.
TEST_F(StreamTest, NamesTheMapCannotKeepAreRefusedBeforeAnythingIsWritten) {
  TTestTransaction trans(cache);
  ASSERT_EQ(engine->WriteNamedStream(&trans, u"kept", *Bytes(10)), 0);
  const uint32_t used = UsedBlocks(&trans);
  const std::vector<uint8_t> header = [&] {
    auto access = Access(*view, &trans, false);
    return std::vector<uint8_t>(access->Header, access->Header + 4096);
  }();
  const String longest(255, u'n');
  for (const String& name : {String(256, u'n'), String(128, u'\u3042'), String(u"caf\u00e9\U0001F600"), String()}) {
    SCOPED_TRACE(UTF8Encode(name));
    EXPECT_EQ(engine->WriteNamedStream(&trans, name, *Bytes(10)), 10068);
    EXPECT_EQ(UsedBlocks(&trans), used);
    auto access = Access(*view, &trans, false);
    EXPECT_EQ(std::memcmp(access->Header, header.data(), 4096), 0);
  }
  // What fits is kept whole: 255 bytes, and 127 two-byte characters.
  EXPECT_EQ(engine->WriteNamedStream(&trans, longest, *Bytes(3)), 0);
  EXPECT_EQ(engine->WriteNamedStream(&trans, String(127, u'\u3042'), *Bytes(4)), 0);
  EXPECT_EQ(ReadNamed(&trans, longest), Content(*Bytes(3)));
  EXPECT_EQ(ReadNamed(&trans, String(127, u'\u3042')), Content(*Bytes(4)));
  trans.Commit();
}

// Reading follows only what the file can hold: a stream block of another
// kind, a number beyond the file, a length beyond the file and a chain that
// loops or ends early are errors, not endless or wild reads.
TEST_F(StreamTest, DamagedStreamsGiveClearErrors) {
  TmvBlockNumber number = 0;
  {
    TTestTransaction trans(cache);
    engine->WriteStream(&trans, number, *Bytes(2 * kData + 5), true, kTag);
    trans.Commit();
  }
  struct Case {
    const char* what;
    uint32_t block;  // which block of the stream, 0..2
    uint32_t offset;
    uint32_t value;
    TmvBlockNumber read;  // the stream number read
    uint32_t code;
  };
  const Case cases[] = {
      {"beyond the file", 0, 0, 0, number + 100, 15409}, {"not a stream block", 0, 0, 0x41544144, number, 15421},
      {"another number", 1, 4, number, number, 8962},    {"length beyond the file", 0, 24, 0x7FFFFFFF, number, 8962},
      {"loop", 1, 16, number + 1, number, 8962},         {"ends early", 1, 16, 0xFFFFFFFF, number, 8962},
      {"goes on", 2, 16, number, number, 8962},          {"another stream's block", 2, 28, number + 1, number, 8962},
  };
  const std::vector<uint8_t> original = ReadBytes(folder.File("s.mv1"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> image = original;
    mvPutU32(image.data(), size_t(number + c.block) * 4096 + c.offset, c.value);
    WriteBytes(folder.File("s.mv1"), image);
    cache->RemoveFile(table->file);  // read again from the disk
    ASSERT_EQ(table->Add(), 0);
    if (table->header) table->release(table->header);
    TmvMemoryStream read;
    String text;
    EXPECT_EQ(CodeOf([&] { engine->ReadStream(nullptr, c.read, read); }, &text), c.code) << UTF8Encode(text);
  }
}

// ---------------------------------------------------------------------------
// The stored dictionary

class StoredDictionaryTest : public HeaderTest {
 protected:
  // Opens "qbdb.mv1" again and reads its dictionary.
  std::unique_ptr<TmvServerDataDict> ReadBack(OpenTable& aTable) {
    TmvBlockAccess access(aTable.file, nullptr, u"qbdb", 0);
    std::unique_ptr<TmvBaseStreamEngine> streams(
        TmvBaseStreamEngine::CreateEngine(static_cast<TmvBaseStreamDescriptor*>(nullptr), &access, nullptr));
    auto dd = std::make_unique<TmvServerDataDict>();
    dd->ReadFromFile(streams.get(), nullptr);
    return dd;
  }
  // Creates "qbdb.mv1" holding the question bank's dictionary; answers the
  // dictionary written.
  std::unique_ptr<TmvServerDataDict> WriteQuestionBank() {
    auto written = std::make_unique<TmvServerDataDict>();
    written->Assign(mvtest::NewQuestionBank().get());
    TTestTransaction trans(cache);
    auto t = Create("qbdb.mv1", &trans);
    TmvBlockAccess access(t->file, nullptr, u"qbdb", 0);
    std::unique_ptr<TmvBaseStreamEngine> streams(TmvBaseStreamEngine::CreateEngine(written.get(), &access, &trans));
    written->WriteToFile(streams.get(), &trans, 47501);
    trans.Commit();
    return written;
  }
  // The stand-ins take the engine names once storage has registered its own.
  void SetUp() override {
    HeaderTest::SetUp();
    engines.emplace();
  }
  void TearDown() override {
    engines.reset();
    HeaderTest::TearDown();
  }
  std::optional<TStandInEngines> engines;
};

TEST_F(StoredDictionaryTest, ANewFileHasNoDictionary) {
  TTestTransaction trans(cache);
  auto t = Create("qbdb.mv1", &trans);
  TmvBlockAccess access(t->file, nullptr, u"qbdb", 0);
  std::unique_ptr<TmvBaseStreamEngine> streams(
      TmvBaseStreamEngine::CreateEngine(static_cast<TmvBaseStreamDescriptor*>(nullptr), &access, &trans));
  TmvMemoryStream stream;
  EXPECT_EQ(streams->ReadNamedStream(&trans, u"DICT", stream), 8712);
  TmvServerDataDict dd;
  String text;
  EXPECT_EQ(CodeOf([&] { dd.ReadFromFile(streams.get(), &trans); }, &text), 9992u);
  EXPECT_NE(text.find(u"The data dictionary is missing (" + t->file->fiName + u")"), String::npos) << UTF8Encode(text);
  trans.Commit();
}

TEST_F(StoredDictionaryTest, TheQuestionBankReadsBackEqualAfterCloseAndReopen) {
  std::unique_ptr<TmvServerDataDict> written = WriteQuestionBank();
  EXPECT_TRUE(written->GetReadOnly());
  auto t = Open("qbdb.mv1");
  std::unique_ptr<TmvServerDataDict> read = ReadBack(*t);
  EXPECT_TRUE(read->GetReadOnly());
  EXPECT_EQ(read->GetBaseName(), u"qbdb");
  EXPECT_EQ(read->GetHeaderSignature(), mvHeaderSignatureV2);
  EXPECT_TRUE(read->IsEqual(written.get()));
  // A dictionary read from a file also equals a plain one of the same schema.
  EXPECT_TRUE(read->IsEqual(mvtest::NewQuestionBank().get()));
  EXPECT_EQ(read->GetTablesDescriptor()->TableCount(), 2);
  EXPECT_EQ(read->GetGuid(), written->GetGuid());
  EXPECT_EQ(read->GetCurrentID(), written->GetCurrentID());
}

TEST_F(StoredDictionaryTest, ChecksAddTheHeaderFormatAndEveryEngineName) {
  TmvServerDataDict dd;
  dd.GetFieldsDescriptor()->AddField(u"ID", u"", mvtInt32, 0, 0, false);
  dd.CheckValid(false);
  EXPECT_EQ(dd.UsableBlockSize(mvbs4k), 4092);
  EXPECT_EQ(dd.UsableBlockSize(mvbs8k), 8188);
  dd.SetHeaderSignature(mvHeaderSignatureV1);
  EXPECT_EQ(dd.UsableBlockSize(mvbs4k), 4096);
  dd.CheckValid(false);  // an old file may be opened and used
  dd.SetHeaderSignature({'X', 'X', '!', '9'});
  EXPECT_EQ(CodeOf([&] { dd.CheckValid(false); }), 15504u);
  dd.SetHeaderSignature(mvHeaderSignatureV2);
  TmvNestedTableDescriptor* inner = dd.GetTablesDescriptor()->AddTable(u"inner");
  inner->GetFieldsDescriptor()->AddField(u"ID", u"", mvtInt32, 0, 0, false);
  inner->AddRecordDescriptor()->SetRecordEngine(u"Nothing");
  String text;
  EXPECT_EQ(CodeOf([&] { dd.CheckValid(false); }, &text), 15503u);
  EXPECT_NE(text.find(u"Unknown Record engine: \"Nothing\""), String::npos) << UTF8Encode(text);
}

// Every byte of block 0 and of the dictionary's stream blocks, flipped in
// turn: the file opens and its dictionary reads, or a clear error says why.
TEST_F(StoredDictionaryTest, FlippingAnyByteOfTheStoredDictionaryGivesAClearErrorOrAValidRead) {
  WriteQuestionBank();
  const std::vector<uint8_t> original = ReadBytes(folder.File("qbdb.mv1"));
  // Block 0: what the streams are found through (the block counts, the
  // stream engine's name, the section directory and the stream section
  // with its neighbours). Opening with any byte of block 0 damaged has its
  // own test.
  std::vector<uint32_t> offsets;
  auto range = [&](uint32_t aFrom, uint32_t aTo) {
    for (uint32_t at = aFrom; at < aTo; ++at) offsets.push_back(at);
  };
  range(16, 40);
  range(72, 104);
  range(256, 300);
  uint32_t entry = 258;
  while (original[entry] != 0 && std::memcmp(&original[entry + 1], "Stream", 6) != 0) entry += 3 + original[entry];
  ASSERT_NE(original[entry], 0);
  const uint32_t section = mvGetU16(original.data(), entry + 1 + original[entry]);
  range(section - 8, section + 16);
  for (size_t block = 1; block < original.size() / 4096; ++block) {
    if (std::memcmp(&original[block * 4096], "MVSH", 4) != 0) continue;
    // The block header and the start of the data in full, the rest of the
    // data at a stride: the data is the dictionary's stream form, whose
    // reader has damage tests of its own.
    for (uint32_t at = 0; at < 4096; at += at < 40 ? 1 : 97) offsets.push_back(uint32_t(block * 4096 + at));
  }
  OpenTable t(cache, folder.Name("qbdb.mv1"));
  std::fstream disk(folder.File("qbdb.mv1"), std::ios::binary | std::ios::in | std::ios::out);
  auto put = [&](uint32_t aOffset, uint8_t aByte) {
    disk.seekp(aOffset);
    disk.write(reinterpret_cast<const char*>(&aByte), 1);
    disk.flush();
  };
  int read = 0;
  for (uint32_t offset : offsets) {
    put(offset, original[offset] ^ 0xFF);
    cache->RemoveFile(t.file);
    try {
      if (t.Add() == 0) {
        if (t.header) t.release(t.header);
        ReadBack(t);
        ++read;
      }
    } catch (const EmvBaseException&) {
      // A clear error: what the open or the reader refused. Anything else
      // (an assertion among them) fails the test.
    }
    put(offset, original[offset]);
  }
  EXPECT_GT(read, 0);
}

}  // namespace
}  // namespace storage_test
