// Tests of the null and the passthrough BLOB handlers: refusals, the BLOB
// numbers of a record, replacing, reading old versions, links, and the
// record hook that deletes a deleted record's BLOBs.
#include "foundation/errors/mvllErrors.h"
#include "storage/BlobTestSupport.h"
#include "storage/blobs/mvseBlobHandler.h"

namespace {

using namespace storage_test;

// The cursor that owns the handlers.
class TestCursor : public TmvBlobHandlerOwner {
 public:
  explicit TestCursor(TmvFieldsDescriptor* aFields)
      : TmvBlobHandlerOwner(nullptr), fields(aFields), sfi(SFIOf(aFields)) {}
  ~TestCursor() override { mvReleaseSpecialFieldsInfo(sfi); }
  const TmvSpecialFieldsInfo* acSFI() override { return sfi; }
  TmvFieldsDescriptor* GetFieldsDescriptor() override { return fields; }
  TmvFieldsDescriptor* fields;
  TmvSpecialFieldsInfo* sfi;
};

class TestLinks : public TmvBaseBlobLinkHandler {
 public:
  TestLinks() : TmvBaseBlobLinkHandler(nullptr) {}
  uint32_t BlobLinkRead(const String& aTable, TmvBlobNr, uint32_t, uint32_t, TStream* aStream) override {
    const std::string text = UTF8Encode(aTable);
    aStream->WriteBuffer(text.data(), int64_t(text.size()));
    return 0;
  }
  uint32_t BlobLinkGetLength(const String&, TmvBlobNr aNr, uint32_t& aLength) override {
    aLength = uint32_t(aNr);
    return 0;
  }
};

class BlobHandlerTest : public BlobEngineTest {
 protected:
  void SetUp() override {
    BlobEngineTest::SetUp();
    StartNew();
    fields = NewBlobFields();
    cursor = std::make_unique<TestCursor>(fields);
    handler = std::make_unique<TmvPassthroughBlobHandler>(cursor.get(), engine.get(), &links, fields);
  }
  void TearDown() override {
    handler.reset();
    cursor.reset();
    FreeFields(fields);
    BlobEngineTest::TearDown();
  }
  static String LastMessage() {
    uint32_t code = 0;
    String text;
    EmvBaseException::GetLastConvertedException(code, text);
    return text;
  }

  TmvFieldsDescriptor* fields = nullptr;
  std::unique_ptr<TestCursor> cursor;
  TestLinks links;
  std::unique_ptr<TmvPassthroughBlobHandler> handler;
  const TmvRecID rec{};
};

TEST_F(BlobHandlerTest, NullHandlerRefusesEveryBlobOperation) {
  TmvNullBlobHandler none(cursor.get());
  TTestTransaction trans(cache);
  TmvBlobNr nr = 0;
  bool flag = false;
  uint32_t length = 0;
  String name;
  ByteStream stream;
  const std::pair<const char16_t*, std::function<uint32_t()>> refused[] = {
      {u"BlobCreate", [&] { return none.BlobCreate(&trans, rec, 1, nr); }},
      {u"BlobCreateFile", [&] { return none.BlobCreateFile(&trans, rec, 1, u"f", nr); }},
      {u"BlobCreateLink", [&] { return none.BlobCreateLink(&trans, rec, 1, u"t", 1, nr); }},
      {u"BlobDelete", [&] { return none.BlobDelete(&trans, rec, 1, 1); }},
      {u"BlobFree", [&] { return none.BlobFree(&trans, rec, 1, 1, flag); }},
      {u"BlobGetLength", [&] { return none.BlobGetLength(&trans, rec, 1, false, 1, length); }},
      {u"BlobModified", [&] { return none.BlobModified(&trans, rec, 1, 1, flag); }},
      {u"BlobRead", [&] { return none.BlobRead(&trans, rec, 1, false, 1, 0, 1, &stream, nullptr); }},
      {u"BlobReplace", [&] { return none.BlobReplace(&trans, rec, 1, nr, 1, "x"); }},
      {u"BlobTruncate", [&] { return none.BlobTruncate(&trans, rec, 1, 1, 0); }},
      {u"BlobWrite", [&] { return none.BlobWrite(&trans, rec, 1, 1, 0, 1, "x"); }},
      {u"BlobAddToCache", [&] { return none.BlobAddToCache(&trans, rec, 1, 1, 1, "x"); }},
      {u"BlobCacheFlushed", [&] { return none.BlobCacheFlushed(&trans, rec, 1, 1, nullptr); }},
  };
  for (const auto& [operation, call] : refused) {
    EXPECT_EQ(call(), 12289u) << UTF8Encode(operation);
    EXPECT_EQ(LastMessage(), String(operation) + u" not supported by TmvNullBlobHandler");
  }
  TmvBlobCacheInfos infos = reinterpret_cast<TmvBlobCacheInfos>(&nr);
  EXPECT_EQ(none.GetBlobCacheInfos(&trans, rec, infos), 12289u);
  EXPECT_EQ(infos, nullptr);
  uint16_t count = 5;
  std::vector<uint8_t> record = NewRecord(fields);
  EXPECT_EQ(none.GetBlobs(&trans, record.data(), nullptr, count, nullptr), 0u);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(none.BlobsCancel(&trans, 1), 0u);
  EXPECT_FALSE(none.BlobVerifyNr(&trans, rec, 1, 1));
  name = u"x";
  EXPECT_FALSE(none.BlobIsLink(&trans, rec, 1, 1, name, nr));
  EXPECT_TRUE(name.empty());
  EXPECT_EQ(none.BeforeInsert(&trans, record.data()), 0u);
  EXPECT_EQ(none.BeforeModify(&trans, rec, record.data(), record.data()), 0u);
  EXPECT_EQ(none.AfterModify(&trans, rec, record.data(), record.data()), 0u);
  EXPECT_EQ(none.AfterDelete(&trans, rec, record.data()), 0u);
  EXPECT_FALSE(none.NeedNested());
  trans.Commit();
}

TEST_F(BlobHandlerTest, GetBlobsListsTheRecordsBlobNumbers) {
  TTestTransaction trans(cache);
  std::vector<uint8_t> record = NewRecord(fields);
  TmvBlobNr numbers[2] = {};
  uint16_t count = 2;
  EXPECT_EQ(handler->GetBlobs(&trans, record.data(), nullptr, count, numbers), 0u);
  EXPECT_EQ(count, 0);
  SetBlobField(fields, record, 1, 0);  // not null, but no BLOB
  SetBlobField(fields, record, 2, 77);
  count = 2;
  EXPECT_EQ(handler->GetBlobs(&trans, record.data(), nullptr, count, numbers), 0u);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(numbers[0], 77);
  SetBlobField(fields, record, 1, 55);
  count = 1;
  EXPECT_EQ(handler->GetBlobs(&trans, record.data(), nullptr, count, numbers), 9985u);
  const std::vector<bool> onlyText{true, false};
  count = 1;
  EXPECT_EQ(handler->GetBlobs(&trans, record.data(), &onlyText, count, numbers), 0u);
  EXPECT_EQ(numbers[0], 55);
  count = 2;
  EXPECT_EQ(handler->GetBlobs(&trans, nullptr, nullptr, count, numbers), 9986u);
  EXPECT_EQ(count, 0);
  trans.Commit();
}

TEST_F(BlobHandlerTest, ReplaceReadAndLinks) {
  TTestTransaction trans(cache);
  TmvBlobNr nr = 0;
  EXPECT_EQ(handler->BlobReplace(&trans, rec, 1, nr, 0, nullptr), 0u);
  EXPECT_EQ(nr, 0);  // nothing to store, nothing made
  EXPECT_EQ(handler->BlobReplace(&trans, rec, 1, nr, 20, "a question text here"), 0u);
  ASSERT_NE(nr, 0);
  const TmvBlobNr kept = nr;
  EXPECT_EQ(handler->BlobReplace(&trans, rec, 1, nr, 5, "short"), 0u);
  EXPECT_EQ(nr, kept);
  ByteStream stream;
  uint32_t length = 0;
  EXPECT_EQ(handler->BlobRead(&trans, rec, 1, false, nr, 0, 100, &stream, &length), 0u);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(std::string(stream.bytes.begin(), stream.bytes.end()), "short");
  EXPECT_EQ(handler->BlobReplace(&trans, rec, 1, nr, 0, nullptr), 0u);
  EXPECT_EQ(nr, kept);  // emptied, number kept
  EXPECT_EQ(handler->BlobGetLength(&trans, rec, 1, false, nr, length), 0u);
  EXPECT_EQ(length, 0u);

  EXPECT_EQ(handler->BlobRead(&trans, rec, 1, true, nr, 0, 1, &stream, nullptr), 12289u);
  EXPECT_EQ(LastMessage(), u"BlobRead with aReadOld = True is not supported by TmvPassthroughBlobHandler");
  EXPECT_EQ(handler->BlobGetLength(&trans, rec, 1, true, nr, length), 12289u);
  EXPECT_EQ(LastMessage(), u"BlobGetLength with aReadOld = True is not supported by TmvPassthroughBlobHandler");
  bool changed = false;
  EXPECT_EQ(handler->BlobModified(&trans, rec, 1, nr, changed), 12289u);

  TmvBlobNr link = 0;
  EXPECT_EQ(handler->BlobCreateLink(&trans, rec, 2, u"Pictures", 31, link), 0u);
  String table;
  TmvBlobNr source = 0;
  EXPECT_TRUE(handler->BlobIsLink(&trans, rec, 2, link, table, source));
  EXPECT_EQ(source, 31);
  EXPECT_EQ(handler->BlobGetLength(&trans, rec, 2, false, link, length), 0u);
  EXPECT_EQ(length, 31u);
  ByteStream linked;
  EXPECT_EQ(handler->BlobRead(&trans, rec, 2, false, link, 0, 10, &linked, nullptr), 0u);
  EXPECT_EQ(std::string(linked.bytes.begin(), linked.bytes.end()), "Pictures");
  bool deleted = false;
  EXPECT_EQ(handler->BlobFree(&trans, rec, 1, nr, deleted), 0u);
  EXPECT_TRUE(deleted);
  trans.Commit();
}

TEST_F(BlobHandlerTest, AfterDeleteDeletesTheRecordsBlobs) {
  TTestTransaction trans(cache);
  std::vector<uint8_t> record = NewRecord(fields);
  TmvBlobNr text = 0, pic = 0;
  handler->BlobReplace(&trans, rec, 1, text, 3, "abc");
  handler->BlobReplace(&trans, rec, 2, pic, 3, "xyz");
  SetBlobField(fields, record, 1, text);
  SetBlobField(fields, record, 2, pic);
  EXPECT_EQ(handler->AfterDelete(&trans, rec, record.data()), 0u);
  for (TmvBlobNr nr : {text, pic}) {
    uint32_t length = 0;
    EXPECT_NE(CodeOf([&] { handler->BlobGetLength(&trans, rec, 1, false, nr, length); }), 0u);
  }
  trans.Commit();
}

// A BLOB that cannot be deleted after its record was: the transaction is
// marked corrupted, which the server's commit refuses with 15443, so that
// only a rollback follows.
TEST_F(BlobHandlerTest, FailingAfterDeleteCorruptsTheTransaction) {
  TTestLog log;
  TTestTransaction trans(cache);
  std::vector<uint8_t> record = NewRecord(fields);
  SetBlobField(fields, record, 1, mvHeapRef(999, 1));  // a block outside the file
  EXPECT_EQ(handler->AfterDelete(&trans, rec, record.data()), 15409u);
  EXPECT_EQ(trans.CheckState(), 15443);
  trans.End();
}

}  // namespace
