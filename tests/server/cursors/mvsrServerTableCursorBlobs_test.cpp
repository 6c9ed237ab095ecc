// Table cursor BLOB tests: numbers verified against the record and field
// they came from (reads follow a replaced BLOB, writes and frees are
// refused, number 0 and a reused record number), links only inside a
// transaction, batches that keep everything or nothing and refuse more
// entries than the reply can count, and copies between tables (file BLOBs,
// 3 MB of content, a shorter copy into a longer BLOB).
#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "foundation/mvllStreams.h"
#include "server/cursors/TableCursorTestSupport.h"
#include "storage/blobs/mvseBlobHandler.h"

namespace {

using namespace cursor_test;

constexpr int32_t kNote = 4;  // the BLOB field
constexpr int32_t kIns = 5;   // the InsertLSN field

// The people table with a BLOB field "NOTE" and an InsertLSN field "INS".
std::unique_ptr<TmvDataDictionary> Notes() {
  std::unique_ptr<TmvDataDictionary> dd = People();
  TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
  fields->AddField(u"NOTE", u"", mvtBlobMemo, 0, 0, false);
  fields->AddField(u"INS", u"", mvtInt64, 0, 0, false)
      ->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass)
      ->SetApplyOnModify(false);
  dd->AddBlobDescriptor(&TmvHeapBlobDescriptor::StaticClass);
  static_cast<TmvHeapBlobDescriptor*>(dd->GetBlobDescriptor())->AddHeapDescriptor()->AddBlockHeapDescriptor();
  return dd;
}

// What the caching handler answers for a number it holds no pending entry
// of: the number does not belong to this cursor.
class RefusingHandler : public TmvPassthroughBlobHandler {
 public:
  using TmvPassthroughBlobHandler::TmvPassthroughBlobHandler;
  bool BlobVerifyNr(TmvBaseTransaction*, const TmvRecID&, int32_t, TmvBlobNr) override { return false; }
};

std::string Text(const std::vector<uint8_t>& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }

class CursorBlobs : public CursorTest {
 protected:
  TmvServerTableCursor* Table(TmvServerDatabase* aDb, const String& aName) {
    EXPECT_EQ(Build(DiskFolder(), aName, Notes().get()), 0u);
    return Open(aDb, aName);
  }
  void Refusing(TmvServerTableCursor* aCursor) {
    aCursor->stcSetBlobHandler(new RefusingHandler(aCursor->BlobOwner(), aCursor->Table()->BlobEngine(), nullptr,
                                                   aCursor->Table()->FieldsDescriptor()));
  }
  // Work in a committed transaction of the cursor's context under its
  // exclusive content lock, at storage level.
  template <typename F>
  void Stored(TmvServerTableCursor* aCursor, F&& aWork) {
    ASSERT_EQ(aCursor->_Trans()->TransactionStart(false, false), 0u);
    ASSERT_EQ(aCursor->sbcBeginContentLock(true, false, false), 0u);
    aWork(aCursor->stcTrans());
    ASSERT_EQ(aCursor->_Trans()->TransactionCommit(), 0u);
  }
  TmvBlobNr NewBlob(TmvServerTableCursor* aCursor, TmvBaseTransaction* aTrans, const std::string& aText) {
    TmvBlobNr nr = 0;
    aCursor->Table()->BlobEngine()->AddBlob(aTrans, nr);
    if (!aText.empty()) aCursor->Table()->BlobEngine()->Write(aTrans, nr, 0, uint32_t(aText.size()), aText.data());
    return nr;
  }
  // A stored record of aID whose NOTE holds aText and whose InsertLSN is
  // aIns; its identity and BLOB number.
  std::pair<TmvRecID, TmvBlobNr> Store(TmvServerTableCursor* aCursor, int32_t aID, const std::string& aText,
                                       TmvLSN aIns = 77) {
    TmvRecID id{0, aIns};
    TmvBlobNr blob = 0;
    Stored(aCursor, [&](TmvBaseTransaction* aTrans) {
      std::vector<uint8_t> record = Row(aCursor, aID);
      blob = NewBlob(aCursor, aTrans, aText);
      TmvFieldsDescriptor* fields = aCursor->Table()->FieldsDescriptor();
      fields->SetRecordField(kNote, record.data(), &blob);
      const int64_t ins = int64_t(aIns);
      fields->SetRecordField(kIns, record.data(), &ins);
      aCursor->Table()->RecordEngine()->AddRecord(aTrans, id.ridRefNr, record.data());
    });
    return {id, blob};
  }
  // Points the record's NOTE at a new BLOB holding aText; its number.
  TmvBlobNr Replace(TmvServerTableCursor* aCursor, const TmvRecID& aID, const std::string& aText) {
    TmvBlobNr blob = 0;
    Stored(aCursor, [&](TmvBaseTransaction* aTrans) {
      std::vector<uint8_t> record(aCursor->RecordLength() + 4);
      aCursor->Table()->RecordEngine()->ReadRecord(aTrans, aID.ridRefNr, record.data());
      blob = NewBlob(aCursor, aTrans, aText);
      aCursor->Table()->FieldsDescriptor()->SetRecordField(kNote, record.data(), &blob);
      aCursor->Table()->RecordEngine()->UpdateRecord(aTrans, aID.ridRefNr, record.data(), nullptr);
    });
    return blob;
  }
  // The whole BLOB read through the cursor (the code in aCode).
  std::string Read(TmvServerTableCursor* aCursor, const TmvRecID& aID, TmvBlobNr aBlobNr, uint32_t* aCode = nullptr,
                   TmvNewBlobNr* aNew = nullptr, int32_t aField = kNote) {
    TmvMemoryStream stream;
    const uint32_t code = aCursor->BlobRead(aID, aField, aBlobNr, 0, 0xFFFFFFFF, &stream, false, aNew);
    if (aCode)
      *aCode = code;
    else
      EXPECT_EQ(code, 0u) << UTF8Encode(LastText(code));
    return std::string(static_cast<const char*>(stream.Memory()), size_t(stream.GetSize()));
  }
  static constexpr TmvRecID kNoRecord{0, 0};
};

TEST_F(CursorBlobs, NumbersAreVerifiedAgainstTheRecordAndReadsFollowTheFieldsNewBlob) {
  TmvServerTableCursor* cursor = Table(Database(), u"T");
  Refusing(cursor);
  auto [id, old] = Store(cursor, 1, "old content");
  EXPECT_EQ(Read(cursor, id, old), "old content");
  const TmvBlobNr now = Replace(cursor, id, "new content!");

  TmvNewBlobNr seen;
  EXPECT_EQ(Read(cursor, id, old, nullptr, &seen), "new content!");
  EXPECT_TRUE(seen.nbnSet);
  EXPECT_EQ(seen.nbnBlobNr, now);
  uint32_t length = 0;
  EXPECT_EQ(cursor->BlobGetLength(id, kNote, old, length, false, &seen), 0u);
  EXPECT_EQ(length, 12u);
  uint32_t code = 0;
  Read(cursor, id, old, &code);
  EXPECT_EQ(code, uint32_t(MVERR_BLOBMODIFIED)) << "without room for the new number a read is refused";

  const char bytes[] = "xyz";
  struct Case {
    const char* What;
    TmvRecID ID;
    TmvBlobNr Nr;
    uint32_t Write, Free;
  } cases[] = {
      {"a number the field no longer holds", id, old, MVERR_BLOBMODIFIED, MVERR_SEGMENTDELETED},
      {"number 0", id, 0, MVERR_INVALIDBLOBHANDLE, MVERR_INVALIDBLOBHANDLE},
      {"the record number of another record", {id.ridRefNr, id.ridInsertLSN + 1}, now, MVERR_KEYORRECDELETED,
       MVERR_KEYORRECDELETED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    EXPECT_EQ(cursor->BlobWrite(c.ID, kNote, c.Nr, 0, 3, bytes), c.Write);
    EXPECT_EQ(cursor->BlobTruncate(c.ID, kNote, c.Nr, 1), c.Write);
    EXPECT_EQ(cursor->BlobFree(c.ID, kNote, c.Nr), c.Free);
  }
  EXPECT_EQ(Read(cursor, id, now), "new content!") << "a refused change changes nothing";
  EXPECT_EQ(cursor->BlobWrite(id, kNote, now, 0, 3, bytes), 0u);
  EXPECT_EQ(Read(cursor, id, now), "xyz content!");
  EXPECT_EQ(cursor->BlobWrite(id, 1, now, 0, 3, bytes), uint32_t(MVERR_INVALIDPARAM)) << "NAME is no BLOB field";
  EXPECT_EQ(cursor->BlobWrite(id, 99, now, 0, 3, bytes), uint32_t(MVERR_INVALIDPARAM));
  // Without a record nothing is verified.
  EXPECT_EQ(Read(cursor, kNoRecord, old), "old content");
  // A BLOB that is freed while unreferenced says it was deleted.
  TmvBlobNr empty = 0;
  ASSERT_EQ(cursor->BlobCreate(kNoRecord, kNote, empty), 0u);
  EXPECT_EQ(cursor->BlobFree(kNoRecord, kNote, empty), uint32_t(MVERR_BLOBMODIFIED));
}

TEST_F(CursorBlobs, WritesKeepTheirOwnLevelInsideTheCallersTransaction) {
  TmvServerTableCursor* cursor = Table(Database(), u"T");
  TmvAbstractTransContext* context = cursor->_Trans();
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  TmvBlobNr nr = 0;
  ASSERT_EQ(cursor->BlobReplace(kNoRecord, kNote, nr, 5, "hello"), 0u);
  EXPECT_EQ(Read(cursor, kNoRecord, nr), "hello");
  int32_t level = -1;
  EXPECT_EQ(context->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 0) << "the own level is gone again";
  ASSERT_EQ(context->TransactionRollback(), 0u);
  uint32_t length = 0;
  EXPECT_NE(cursor->BlobGetLength(kNoRecord, kNote, nr, length, false, nullptr), 0u)
      << "the caller's rollback takes the BLOB with it";
  ASSERT_EQ(cursor->BlobReplace(kNoRecord, kNote, nr = 0, 5, "kept!"), 0u);
  EXPECT_EQ(Read(cursor, kNoRecord, nr), "kept!") << "outside a transaction the own level commits";
}

TEST_F(CursorBlobs, LinksNeedTheCallersTransaction) {
  TmvServerDatabase* db = Database();
  TmvServerTableCursor* source = Table(db, u"S");
  TmvServerTableCursor* cursor = Table(db, u"T");
  TmvBlobNr linked = 0, nr = 0;
  ASSERT_EQ(source->BlobReplace(kNoRecord, kNote, linked, 4, "link"), 0u);
  EXPECT_EQ(cursor->sbcBlobCreateLink(kNoRecord, kNote, u"S", linked, nr), uint32_t(MVERR_NOACTIVETRAN));
  ASSERT_EQ(cursor->_Trans()->TransactionStart(false, false), 0u);
  ASSERT_EQ(cursor->sbcBlobCreateLink(kNoRecord, kNote, u"S", linked, nr), 0u);
  ASSERT_EQ(cursor->_Trans()->TransactionCommit(), 0u);
  String table;
  TmvBlobNr target = 0;
  EXPECT_TRUE(cursor->sbcBlobIsLink(kNoRecord, kNote, nr, table, target));
  EXPECT_EQ(table, u"S");
  EXPECT_EQ(target, linked);
}

TEST_F(CursorBlobs, ABatchKeepsEverythingOrNothing) {
  TmvServerTableCursor* cursor = Table(Database(), u"T");
  auto [id, stored] = Store(cursor, 1, "stored");
  auto entry = [&](TmvCachedBlobStateInfo aState, TmvBlobNr aNr, const std::string& aData) {
    TmvBlobBatchRequestEntry e;
    e.bbrqeStateInfo = aState;
    e.bbrqeBlobNr = aNr;
    e.bbrqeFieldNo = uint16_t(kNote);
    e.bbrqeData.assign(aData.begin(), aData.end());
    return e;
  };
  auto replyCount = [](const std::vector<uint8_t>& r) { return mvBlobInfoCount(r.data()); };
  auto replyNr = [](const std::vector<uint8_t>& r, uint16_t i) { return mvBlobInfoBlobNr(r.data(), i); };

  // The second entry modifies BLOB 0: that code, one entry done, and the
  // BLOB the first one created is gone again.
  TmvBlobBatchRequest failing{id, {entry(cbsiCreated, 0, "new"), entry(cbsiModified, 0, "x"),
                                   entry(cbsiDeleted, stored, "")}};
  std::vector<uint8_t> reply;
  EXPECT_EQ(cursor->BlobBatchProcess(failing, reply), uint32_t(MVERR_INVALIDBLOBHANDLE));
  ASSERT_EQ(replyCount(reply), 1u);
  uint32_t length = 0;
  EXPECT_NE(cursor->BlobGetLength(kNoRecord, kNote, replyNr(reply, 0), length, false, nullptr), 0u);
  EXPECT_EQ(Read(cursor, id, stored), "stored");

  TmvBlobBatchRequest good{id, {entry(cbsiCreated, 0, "new"), entry(cbsiModified, stored, "changed")}};
  ASSERT_EQ(cursor->BlobBatchProcess(good, reply), 0u);
  ASSERT_EQ(replyCount(reply), 2u);
  EXPECT_EQ(Read(cursor, kNoRecord, replyNr(reply, 0)), "new");
  EXPECT_EQ(replyNr(reply, 1), stored);
  EXPECT_EQ(Read(cursor, id, stored), "changed");

  // The reply counts in 16 bits: 65536 entries are refused whole.
  TmvBlobBatchRequest huge{id, std::vector<TmvBlobBatchRequestEntry>(65536, entry(cbsiCreated, 0, "z"))};
  EXPECT_EQ(cursor->BlobBatchProcess(huge, reply), uint32_t(MVERR_INVALIDPARAM));
  EXPECT_EQ(replyCount(reply), 0u);
  huge.bbrqEntries.resize(3);
  huge.bbrqEntries.push_back(entry(cbsiModified, stored, "last"));
  ASSERT_EQ(cursor->BlobBatchProcess(huge, reply), 0u);
  EXPECT_EQ(replyCount(reply), 4u);
  EXPECT_EQ(Read(cursor, id, stored), "last") << "the refused batch changed nothing";

  // Without record identity or entries there is nothing to do.
  EXPECT_EQ(cursor->BlobBatchProcess(TmvBlobBatchRequest{{id.ridRefNr, 0}, good.bbrqEntries}, reply), 0u);
  EXPECT_EQ(replyCount(reply), 0u);
}

TEST_F(CursorBlobs, CopiesBetweenTables) {
  TmvServerDatabase* db = Database();
  TmvServerTableCursor* source = Table(db, u"S");
  TmvServerTableCursor* dest = Table(db, u"D");
  std::vector<uint8_t> big(3 * 1048576 + 123);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7 + i / 4096);
  TmvBlobNr bigNr = 0, fileNr = 0, shortNr = 0, copied = 0;
  ASSERT_EQ(source->BlobReplace(kNoRecord, kNote, bigNr, uint32_t(big.size()), big.data()), 0u);
  ASSERT_EQ(source->BlobCreateFile(kNoRecord, kNote, u"/tmp/picture.png", fileNr), 0u);
  ASSERT_EQ(dest->BlobReplace(kNoRecord, kNote, shortNr, 10, "0123456789"), 0u);

  ASSERT_EQ(dest->_Trans()->TransactionStart(false, false), 0u);
  ASSERT_EQ(dest->sbcBeginContentLock(true, false, false), 0u);
  ASSERT_EQ(source->sbcBeginContentLock(false, false, false), 0u);
  ASSERT_EQ(dest->sbcBlobCopyPrim(source, kNote, bigNr, kNote, copied, 0xFFFFFFFF), 0u);
  TmvBlobNr part = 0, emptied = 0, file = 0;
  ASSERT_EQ(dest->sbcBlobCopyPrim(source, kNote, bigNr, kNote, part, 5000), 0u);
  EXPECT_EQ(dest->sbcBlobCopyPrim(source, kNote, fileNr, kNote, file, 5), uint32_t(MVERR_READONLYFLD));
  ASSERT_EQ(dest->sbcBlobCopyPrim(source, kNote, fileNr, kNote, emptied, 0), 0u);
  ASSERT_EQ(dest->sbcBlobCopyPrim(source, kNote, fileNr, kNote, file, 0xFFFFFFFF), 0u);
  ASSERT_EQ(dest->sbcBlobCopyContentPrim(source, kNote, bigNr, kNote, shortNr, 4), 0u);
  ASSERT_EQ(dest->_Trans()->TransactionCommit(), 0u);

  TmvMemoryStream stream;
  ASSERT_EQ(dest->BlobRead(kNoRecord, kNote, copied, 0, 0xFFFFFFFF, &stream, false, nullptr), 0u);
  ASSERT_EQ(size_t(stream.GetSize()), big.size());
  EXPECT_TRUE(std::equal(big.begin(), big.end(), static_cast<const uint8_t*>(stream.Memory())));
  EXPECT_EQ(Read(dest, kNoRecord, part).size(), 5000u);
  EXPECT_EQ(Read(dest, kNoRecord, emptied), "");
  EXPECT_EQ(Read(dest, kNoRecord, shortNr), Text({big.begin(), big.begin() + 4})) << "cut at the copied length";
  String name;
  EXPECT_TRUE(dest->Table()->BlobEngine()->IsFileBlob(nullptr, file, name));
  EXPECT_EQ(name, u"/tmp/picture.png");
}

}  // namespace
