// Tests of the abstract cursor: the not-supported defaults, options, record
// buffers and identities, BLOB fields as variants, the snapshot BLOB read,
// BLOB batches and marks, the key overloads and the cursor's life in its
// database.
#include <gtest/gtest.h>

#include "CursorTestSupport.h"

namespace {

struct AbstractCursors : CursorTest {
  void SetUp() override {
    CursorTest::SetUp();
    cursor = TmvAbstractServerObject::Create<TestListCursor>(database, table.get());
  }
  // A row whose three BLOB fields hold the given texts and bytes.
  std::vector<uint8_t> RowWithBlobs(const char* aMemo, std::vector<uint8_t> aWide, std::vector<uint8_t> aData) {
    const TmvBlobNr memo = table->AddBlob(std::vector<uint8_t>(aMemo, aMemo + std::strlen(aMemo)));
    const TmvBlobNr wide = table->AddBlob(std::move(aWide));
    const TmvBlobNr data = table->AddBlob(std::move(aData));
    table->AddRow(1, 11, 21, 31, memo, wide, data);
    return table->rows.back();
  }

  TestListCursor* cursor = nullptr;
};

TEST_F(AbstractCursors, DefaultsAnswerNotSupportedAndSayWhichOperationAndClass) {
  uint8_t buffer[64] = {};
  std::vector<uint8_t> reply;
  std::vector<TmvRecordCacheInfo> infos(3);
  TmvLSN lsn = 5;
  struct Case {
    const char16_t* name;
    std::function<uint32_t()> call;
  } cases[] = {
      {u"SavePath", [&] { return cursor->SavePath(); }},
      {u"RestorePath", [&] { return cursor->RestorePath(); }},
      {u"GetBookmarkCache", [&] { return cursor->GetBookmarkCache(buffer, 4); }},
      {u"SetToCacheBookmark", [&] { return cursor->SetToCacheBookmark(buffer, 4); }},
      {u"BookmarkCheckLocal", [&] { return cursor->BookmarkCheckLocal(buffer, 4); }},
      {u"BuildKey", [&] { return cursor->BuildKey(buffer, buffer, false); }},
      {u"KeyToRecord", [&] { return cursor->KeyToRecord(buffer, buffer); }},
      {u"BlobBatchProcess", [&] { return cursor->BlobBatchProcess(TmvBlobBatchRequest{}, reply); }},
      {u"BlobAddToCache",
       [&] {
         return cursor->BlobAddToCache(TmvRecID{1, 1}, 4, 1, 1, buffer);
       }},
      {u"GetDeletedRecords", [&] { return cursor->GetDeletedRecords(1, infos, 10, &lsn); }},
      {u"ContainsLSNRefNr",
       [&] {
         TmvLSN l = 1;
         TmvRefNr r = 1;
         return cursor->ContainsLSNRefNr(l, r);
       }},
      {u"ascBlobRequestCache",
       [&] {
         return cursor->ascBlobRequestCache(TmvRecID{1, 1}, 4, 1);
       }},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), 12289u) << String(c.name).size();
    EXPECT_EQ(LastText(12289), String(c.name) + u" not supported by TestListCursor");
  }
  EXPECT_TRUE(infos.empty());
  EXPECT_EQ(lsn, 0);

  TmvLSN noLSN = 0;
  TmvRefNr noRefNr = 0;
  EXPECT_EQ(cursor->ContainsLSNRefNr(noLSN, noRefNr), 8709u);

  String text;
  EXPECT_EQ(RaisedCode([&] { cursor->RequestNestedTransactions(); }, &text), 12289u);
  EXPECT_EQ(text, u"RequestNestedTransactions is not supported by TestListCursor");
}

TEST_F(AbstractCursors, CursorOptionsSayWhetherTheyChanged) {
  static_assert(acoSkipReadingBlobDataForBatch == mvAbstractCursorOptionCount - 1);
  EXPECT_TRUE(cursor->AddCursorOption(acoFlipOrder));
  EXPECT_FALSE(cursor->AddCursorOption(acoFlipOrder));
  const TmvAbstractCursorOptions two = mvSetOf({acoFlipOrder, acoSkipReadingBlobDataForBatch});
  EXPECT_TRUE(cursor->AddCursorOptions(two));
  EXPECT_FALSE(cursor->AddCursorOptions(two));
  EXPECT_TRUE(cursor->HasAllCursorOptions(two));
  EXPECT_TRUE(cursor->RemoveCursorOption(acoFlipOrder));
  EXPECT_FALSE(cursor->HasAllCursorOptions(two));
  EXPECT_TRUE(cursor->HasAnyCursorOptions(two));
  EXPECT_FALSE(cursor->RemoveCursorOptions(mvSetOf({acoFlipOrder, acoFailClientFilterFast})));
  EXPECT_TRUE(cursor->RemoveCursorOptions(two));
  EXPECT_EQ(cursor->CursorOptions(), 0u);
}

TEST_F(AbstractCursors, RecordBuffersIdentitiesAndCacheInfos) {
  void* buffer = cursor->RecordBufferAlloc();
  for (int32_t f = 0; f < Fields()->FieldCount(); ++f) EXPECT_TRUE(table->IsNull(buffer, f));
  const TmvRecID none = cursor->acGetRecID(nullptr);
  EXPECT_TRUE(mvRecIDIsAllOnes(none));

  table->AddRow(1, 11, 0, 31);
  std::memcpy(buffer, table->rows[0].data(), size_t(table->RecordLength()));
  const TmvRecID id = cursor->acGetRecID(buffer);
  EXPECT_EQ(id.ridRefNr, 11);
  EXPECT_EQ(id.ridInsertLSN, 31);

  TmvRecordCacheInfo info;
  EXPECT_EQ(cursor->ExtractCacheInfo(buffer, info), 12289u);  // not a cacheable cursor
  cursor->MakeCacheable();
  EXPECT_EQ(cursor->ExtractCacheInfo(nullptr, info), 8709u);
  EXPECT_EQ(cursor->ExtractCacheInfo(buffer, info), 8709u);  // ModifyLSN 0
  TestTable::Set(Fields(), buffer, TestTable::fChanged, TmvLSN(21));
  EXPECT_EQ(cursor->ExtractCacheInfo(buffer, info), 0u);
  EXPECT_EQ(info.rciRefNr, 11);
  EXPECT_EQ(info.rciModifyLSN, 21);
  EXPECT_EQ(cursor->ContainsCacheInfo(TmvRecordCacheInfo{11, 0}), 8709u);
  cursor->RecordBufferFree(buffer);
}

TEST_F(AbstractCursors, GetBlobsAndMarkedBlobs) {
  // A table without BLOB fields has none to give and nothing to mark.
  auto plain = TestTable::Plain();
  plain->AddPlainRow(1);
  auto* plainCursor = TmvAbstractServerObject::Create<TestListCursor>(database, plain.get());
  TmvBlobNrs numbers{99};
  EXPECT_EQ(plainCursor->GetBlobs(plain->rows[0].data(), false, numbers), 0u);
  EXPECT_TRUE(numbers.empty());
  EXPECT_EQ(plainCursor->BlobsSetMarked({}), 0u);
  EXPECT_TRUE(plainCursor->MarkedBlobs().empty());
  TmvAbstractServerObject::Free(plainCursor);

  const std::vector<uint8_t> row = RowWithBlobs("memo", {1, 0}, {7});
  TmvBlobNr two[2];
  uint16_t count = 2;
  EXPECT_EQ(cursor->GetBlobs(row.data(), false, count, two), 9985u);
  EXPECT_EQ(cursor->GetBlobs(row.data(), false, numbers), 0u);
  EXPECT_EQ(numbers, (TmvBlobNrs{1, 2, 3}));
  count = 3;
  EXPECT_EQ(cursor->GetBlobs(nullptr, false, count, two), 9986u);

  // An array without a set bit marks nothing: marked-only gives none.
  EXPECT_EQ(cursor->BlobsSetMarked({0}), 0u);
  EXPECT_TRUE(cursor->MarkedBlobs().empty());
  EXPECT_EQ(cursor->GetBlobs(row.data(), true, numbers), 0u);
  EXPECT_TRUE(numbers.empty());
  EXPECT_EQ(cursor->BlobsSetMarked({0b100}), 0u);  // the third BLOB field, DATA
  EXPECT_EQ(cursor->GetBlobs(row.data(), true, numbers), 0u);
  EXPECT_EQ(numbers, (TmvBlobNrs{3}));

  // 33 BLOB fields need two words; one is too short.
  TestTable wide;
  for (int i = 0; i < 33; ++i) wide.Fields()->AddField(u"B" + IntToStr(i), u"", mvtBlob, 0, 0, false);
  auto* wideCursor = TmvAbstractServerObject::Create<TestListCursor>(database, &wide);
  EXPECT_EQ(wideCursor->BlobsSetMarked({1}), 9986u);
  EXPECT_EQ(wideCursor->BlobsSetMarked({0, 1}), 0u);
  EXPECT_TRUE(wideCursor->BlobMarked(32));
  TmvAbstractServerObject::Free(wideCursor);
}

TEST_F(AbstractCursors, BlobFieldsReadAndWriteAsVariants) {
  std::vector<uint8_t> row = RowWithBlobs("abc", {'h', 0, 'i', 0, '!', 0, '?', 0, '.', 0}, {1, 2, 3});
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(row.data(), TestTable::fMemo).AsString(), u"abc");
  // A wide memo reads as length / 2 characters, also with an odd byte over.
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(row.data(), TestTable::fWide).AsString(), u"hi!?.");
  table->blobs[2].push_back(0x41);
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(row.data(), TestTable::fWide).AsString(), u"hi!?.");
  table->blobs[2].clear();
  EXPECT_TRUE(cursor->GetFieldAsVariantSelf(row.data(), TestTable::fWide).IsNull());
  const Variant bytes = cursor->GetFieldAsVariantSelf(row.data(), TestTable::fData);
  ASSERT_TRUE(bytes.IsArray());
  EXPECT_EQ(VarArrayHighBound(bytes, 1), 2);
  EXPECT_EQ(bytes.ArrayData()[2], 3);
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(row.data(), TestTable::fID).AsInteger(), 1);

  // An empty text deletes the BLOB and nulls the field; on a null field it
  // does nothing.
  cursor->SetFieldAsVariantSelf(row.data(), TestTable::fMemo, Variant(u""));
  EXPECT_TRUE(table->IsNull(row.data(), TestTable::fMemo));
  EXPECT_EQ(table->blobs.count(1), 0u);
  EXPECT_EQ(cursor->blobsDeleted, 1);
  cursor->SetFieldAsVariantSelf(row.data(), TestTable::fMemo, Variant(u""));
  EXPECT_EQ(cursor->blobsDeleted, 1);
  EXPECT_EQ(cursor->blobsCreated, 0);
  EXPECT_TRUE(cursor->GetFieldAsVariantSelf(row.data(), TestTable::fMemo).IsNull());

  // Text into a null field creates the BLOB; a shorter text truncates it.
  cursor->SetFieldAsVariantSelf(row.data(), TestTable::fWide, Variant(u"wide text"));
  cursor->SetFieldAsVariantSelf(row.data(), TestTable::fMemo, Variant(u"a longer memo"));
  cursor->SetFieldAsVariantSelf(row.data(), TestTable::fMemo, Variant(u"short"));
  EXPECT_EQ(cursor->blobsCreated, 1);
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(row.data(), TestTable::fMemo).AsString(), u"short");
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(row.data(), TestTable::fWide).AsString(), u"wide text");
  const uint8_t raw[] = {9, 8, 7, 6};
  cursor->SetFieldAsVariantSelf(row.data(), TestTable::fData, Variant::ByteArray(raw, 4));
  EXPECT_EQ(table->blobs[3], (std::vector<uint8_t>{9, 8, 7, 6}));

  // A failing BLOB call raises its code.
  cursor->onLength = [](TmvBlobNr, uint32_t&, TmvNewBlobNr*) { return 11896u; };
  EXPECT_EQ(RaisedCode([&] { cursor->GetFieldAsVariantSelf(row.data(), TestTable::fData); }), 11896u);
}

TEST_F(AbstractCursors, SnapshotReadsOpenAndCloseTheirTransaction) {
  const std::vector<uint8_t> row = RowWithBlobs("0123456789", {}, {});
  const TmvRecID id = cursor->acGetRecID(row.data());
  TmvMemoryStream stream;
  uint32_t length = 0;

  for (TmvBlobReadSnapshotState refused : {brssClosed, brssFailedToStart, brssFailedToClose}) {
    TmvBlobReadSnapshotState state = refused;
    EXPECT_EQ(cursor->BlobReadSnapshoted(id, 4, 1, 0, 10, &stream, false, state, &length, nullptr), 9986u);
    EXPECT_EQ(state, refused);
  }
  EXPECT_EQ(context->starts, 0);

  // A first call that reads the whole BLOB starts and ends the snapshot.
  TmvBlobReadSnapshotState state = brssRequestStart;
  EXPECT_EQ(cursor->BlobReadSnapshoted(id, 4, 1, 0, 10, &stream, false, state, nullptr, nullptr), 0u);
  EXPECT_EQ(state, brssUnneccesary);
  EXPECT_EQ(context->starts, 1);
  EXPECT_TRUE(context->lastSnapshot);
  EXPECT_EQ(context->rollbacksAsked, 1);
  EXPECT_EQ(stream.GetSize(), 10);

  // In pieces: the snapshot stays until the piece that ends the BLOB.
  state = brssRequestStart;
  EXPECT_EQ(cursor->BlobReadSnapshoted(id, 4, 1, 0, 4, &stream, false, state, &length, nullptr), 0u);
  EXPECT_EQ(state, brssStarted);
  EXPECT_EQ(length, 10u);
  EXPECT_EQ(context->rollbacksAsked, 1);
  EXPECT_EQ(cursor->BlobReadSnapshoted(id, 4, 1, 4, 6, &stream, false, state, &length, nullptr), 0u);
  EXPECT_EQ(state, brssClosed);
  EXPECT_EQ(context->rollbacksAsked, 2);

  // The caller may close early; failures are reported in the state.
  state = brssRequestStart;
  cursor->BlobReadSnapshoted(id, 4, 1, 0, 2, &stream, false, state, nullptr, nullptr);
  state = brssRequestClose;
  EXPECT_EQ(cursor->BlobReadSnapshoted(id, 4, 1, 2, 2, &stream, false, state, nullptr, nullptr), 0u);
  EXPECT_EQ(state, brssClosed);
  context->startCode = 10257;
  state = brssRequestStart;
  EXPECT_EQ(cursor->BlobReadSnapshoted(id, 4, 1, 0, 10, &stream, false, state, nullptr, nullptr), 10257u);
  EXPECT_EQ(state, brssFailedToStart);
  context->startCode = 0;
  context->rollbackCode = 10257;
  state = brssRequestStart;
  EXPECT_EQ(cursor->BlobReadSnapshoted(id, 4, 1, 0, 10, &stream, false, state, nullptr, nullptr), 10257u);
  EXPECT_EQ(state, brssFailedToClose);
}

TEST_F(AbstractCursors, AReplacedBlobIsFollowedAtMostSixteenTimes) {
  const std::vector<uint8_t> row = RowWithBlobs("first", {}, {});
  const TmvBlobNr moved = table->AddBlob({'m', 'o', 'v', 'e', 'd'});
  const TmvRecID id = cursor->acGetRecID(row.data());
  int lengthCalls = 0;
  // The BLOB was replaced once: the read follows it to its new number.
  cursor->onLength = [&](TmvBlobNr aBlobNr, uint32_t& aLength, TmvNewBlobNr* aNew) -> uint32_t {
    ++lengthCalls;
    if (aBlobNr == 1) {
      *aNew = TmvNewBlobNr{moved, true};
      return EmvBaseException::mvSetMessage(MVERR_BLOBMODIFIED, String());
    }
    aLength = uint32_t(table->blobs[aBlobNr].size());
    return 0;
  };
  TmvMemoryStream stream;
  TmvBlobReadSnapshotState state = brssNone;
  TmvNewBlobNr newBlobNr;
  uint32_t length = 0;
  EXPECT_EQ(cursor->BlobReadSnapshoted(id, 4, 1, 0, 100, &stream, false, state, &length, &newBlobNr), 0u);
  EXPECT_EQ(newBlobNr.nbnBlobNr, moved);
  EXPECT_TRUE(newBlobNr.nbnSet);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(lengthCalls, 2);

  // A BLOB that keeps moving is given up.
  lengthCalls = 0;
  cursor->onLength = [&](TmvBlobNr aBlobNr, uint32_t&, TmvNewBlobNr* aNew) -> uint32_t {
    ++lengthCalls;
    *aNew = TmvNewBlobNr{aBlobNr + 100, true};
    return EmvBaseException::mvSetMessage(MVERR_BLOBMODIFIED, String());
  };
  EXPECT_EQ(cursor->BlobReadSnapshoted(id, 4, 1, 0, 100, &stream, false, state, &length, &newBlobNr), 13058u);
  EXPECT_EQ(lengthCalls, 1 + mvBlobReadRetryLimit);
  EXPECT_EQ(LastText(13058), u"BLOB has been modified.");
}

TEST_F(AbstractCursors, BlobReplaceCreatesOrEmptiesBeforeWriting) {
  const uint8_t bytes[] = {1, 2, 3};
  TmvBlobNr blobNr = 0;
  EXPECT_EQ(cursor->BlobReplace(TmvRecID{}, TestTable::fData, blobNr, 3, bytes), 0u);
  EXPECT_NE(blobNr, 0);
  EXPECT_EQ(table->blobs[blobNr], (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(cursor->BlobReplace(TmvRecID{}, TestTable::fData, blobNr, 2, bytes + 1), 0u);
  EXPECT_EQ(table->blobs[blobNr], (std::vector<uint8_t>{2, 3}));
  EXPECT_EQ(cursor->BlobReplace(TmvRecID{}, TestTable::fData, blobNr, 0, nullptr), 0u);
  EXPECT_TRUE(table->blobs[blobNr].empty());
  EXPECT_EQ(cursor->blobsCreated, 1);
  TmvBlobNr missing = 77;
  EXPECT_EQ(cursor->BlobReplace(TmvRecID{}, TestTable::fData, missing, 1, bytes), 11896u);
}

TEST_F(AbstractCursors, BlobBatchApplyChecksTheWholeBatchFirst) {
  table->AddRow(1, 11, 21, 31, 0, 0, 5);
  std::vector<uint8_t> row = table->rows[0];
  const std::vector<uint8_t> before = row;
  auto reply = [](std::vector<TmvBlobNr> aNumbers) {
    std::vector<uint8_t> r(2 + 8 * aNumbers.size());
    StoreLE16(r.data(), uint16_t(aNumbers.size()));
    for (size_t i = 0; i < aNumbers.size(); ++i) StoreLE<int64_t>(r.data() + 2 + 8 * i, aNumbers[i]);
    return r;
  };
  TmvBlobBatchRequest request;
  request.bbrqEntries.resize(2);
  request.bbrqEntries[0].bbrqeFieldNo = TestTable::fMemo;
  request.bbrqEntries[1].bbrqeFieldNo = TestTable::fData;

  EXPECT_EQ(cursor->BlobBatchApply(row.data(), request, reply({7, 8, 9}).data()), 9986u);  // more than requested
  EXPECT_EQ(row, before);
  request.bbrqEntries[1].bbrqeFieldNo = TestTable::fID;
  EXPECT_EQ(cursor->BlobBatchApply(row.data(), request, reply({7, 8}).data()), 9986u);  // not a BLOB field
  EXPECT_EQ(row, before);
  request.bbrqEntries[1].bbrqeFieldNo = TestTable::fData;
  EXPECT_EQ(cursor->BlobBatchApply(row.data(), request, reply({7, 0}).data()), 0u);
  EXPECT_EQ(TestTable::Get<TmvBlobNr>(Fields(), row.data(), TestTable::fMemo), 7);
  EXPECT_TRUE(table->IsNull(row.data(), TestTable::fData));
  EXPECT_EQ(cursor->BlobBatchApply(nullptr, request, reply({7, 0}).data()), 0u);
}

TEST_F(AbstractCursors, KeyOverloadsPassTheKindOfKeyOn) {
  uint8_t key[8] = {}, record[64] = {};
  const TmvKeyData k{key};
  const TmvRecordData r{record};
  cursor->RangeSet(1, 0, k, true, 1, 0, k, true);
  cursor->RangeSet(1, 0, r, true, 1, 0, r, true);
  cursor->RangeSet(1, 0, r, true, 1, 0, k, true);
  cursor->RangeSet(1, 0, k, true, 1, 0, r, true);
  cursor->SetToKey(skaEqualFirst, 1, 0, r);
  cursor->SetToKey(skaEqualFirst, 1, 0, k);
  cursor->RecordGetForKey(1, 0, k, record, true, true);
  cursor->RecordGetForKey(1, 0, r, record, true, true);
  EXPECT_EQ(cursor->directKeys,
            (std::vector<bool>{true, true, false, false, false, true, true, false, false, true, true, false}));
}

TEST_F(AbstractCursors, TheCursorIsAFieldsSourceOverItsRecords) {
  const std::vector<uint8_t> row = RowWithBlobs("via source", {}, {});
  void* source = nullptr;
  ASSERT_EQ(cursor->QueryInterface(IID_ImvFieldsSource, &source), S_OK);
  auto* fields = static_cast<ImvFieldsSource*>(source);
  EXPECT_EQ(fields->GetCursor(), cursor);
  EXPECT_TRUE(fields->BlobsSupported());
  EXPECT_EQ(fields->GetFieldFromName(u"memo"), TestTable::fMemo);
  EXPECT_EQ(fields->GetFieldCount(), 7);
  EXPECT_EQ(fields->GetFieldAsVariant(row.data(), TestTable::fMemo).AsString(), u"via source");
  EXPECT_EQ(cursor->GetSessionUserName(), u"anna");
  std::vector<uint8_t> content;
  EXPECT_EQ(cursor->ReadBlob(TestTable::fMemo, 1, content), 0u);
  EXPECT_EQ(content.size(), 10u);
}

TEST_F(AbstractCursors, TheLastCursorOfAnAutoFreeDatabaseFreesIt) {
  EXPECT_EQ(engine->CursorCount(), 1);
  auto* autoFree = TmvAbstractServerObject::Create<TestDatabase>(session, context, 0u);
  autoFree->adCursorAutoFree = true;
  auto* first = TmvAbstractServerObject::Create<TestListCursor>(autoFree, table.get());
  auto* second = TmvAbstractServerObject::Create<TestListCursor>(autoFree, table.get());
  EXPECT_EQ(engine->DatabaseCount(), 2);
  EXPECT_EQ(engine->CursorCount(), 3);
  TmvAbstractServerObject::Free(first);
  EXPECT_EQ(engine->DatabaseCount(), 2);
  EXPECT_EQ(autoFree->FirstCursor(), second);
  TmvAbstractServerObject::Free(second);
  EXPECT_EQ(engine->DatabaseCount(), 1);
  EXPECT_EQ(engine->CursorCount(), 1);

  // A database that goes frees the cursors still open on it.
  auto* other = TmvAbstractServerObject::Create<TestDatabase>(session, context, 0u);
  TmvAbstractServerObject::Create<TestListCursor>(other, table.get());
  TmvAbstractServerObject::Create<TestListCursor>(other, table.get());
  EXPECT_EQ(engine->CursorCount(), 3);
  TmvAbstractServerObject::Free(other);
  EXPECT_EQ(engine->CursorCount(), 1);
}

TEST_F(AbstractCursors, TheRequestCloseHandlerIsKeptUntilTheCursorGoes) {
  EXPECT_EQ(cursor->sbcGetOnRequestClose(), nullptr);
  int asked = 0;
  TInterfacePtr<ImvRequestCloseHandler> handler;
  mvCreateRequestCloseHandler(handler, [&] { ++asked; });
  cursor->sbcSetOnRequestClose(handler.get());
  TInterfacePtr<ImvRequestCloseHandler> kept = cursor->sbcGetOnRequestClose();
  ASSERT_EQ(kept, handler);
  kept->RequestClose();
  EXPECT_EQ(asked, 1);
  cursor->sbcSetOnRequestClose(nullptr);
  EXPECT_EQ(cursor->sbcGetOnRequestClose(), nullptr);
}

}  // namespace
