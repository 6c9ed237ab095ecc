// Tests of the indices engine over memory indexes: keys of every index kept
// in step with insert, delete and update, the undo when an index refuses,
// the key-violation text, filtered keys, adding and removing indexes, bulk
// builders, and index paths with their bookmarks.
#include "storage/indices/mvseIndicesEngine.h"

#include <optional>

#include "storage/MemoryIndexEngine.h"
#include "storage/RecordTestSupport.h"

namespace {

using namespace storage_test;

using TContent = std::vector<std::pair<String, TmvRefNr>>;

class IndicesEngine : public RecordTableTest {
 protected:
  void SetUp() override {
    RecordTableTest::SetUp();
    TmvBaseRegisterableEngine::RegisterEngine(TTestCompKeyEngine::StaticClass);
    TmvBaseRegisterableEngine::RegisterEngine(TTestRefKeyEngine::StaticClass);
    TmvBaseSubEngine::Register(TMemoryIndexEngine::StaticClass, u"mv1xDefault");
    dd = std::make_unique<TmvDataDictionary>();
    for (const char16_t* name : {u"A", u"B", u"C"}) {
      dd->GetFieldsDescriptor()->AddField(name, u"", mvtInt32, 0, 0, false);
      auto* key = static_cast<TmvCompKeyDescriptor*>(
          dd->GetIndicesDescriptor()->AddIndex(name, 0, idNone, u"")->GetKeyDescriptor());
      key->Add(dd->GetFieldsDescriptor()->GetFieldFromName(name));
    }
    dd->GetIndicesDescriptor()->RemoveIndex(u"Sequential Access Index");
    trans = std::make_unique<TTestTransaction>(cache);
    file = CreateFile("idx.mv1", trans.get());
    engine = std::make_unique<TMemoryIndicesEngine>(dd->GetIndicesDescriptor(), file.Files(), nullptr, trans.get(),
                                                    false);
  }
  void TearDown() override {
    engine.reset();
    trans->End();
    trans.reset();
    file = TableFile();
    dd.reset();
    TmvBaseSubEngine::Unregister(TMemoryIndexEngine::StaticClass);
    TmvBaseRegisterableEngine::UnregisterEngine(TTestRefKeyEngine::StaticClass);
    TmvBaseRegisterableEngine::UnregisterEngine(TTestCompKeyEngine::StaticClass);
    RecordTableTest::TearDown();
  }
  // A record of A, B and C; nullopt is null.
  std::vector<uint8_t> Record(std::optional<int32_t> a, std::optional<int32_t> b, std::optional<int32_t> c) {
    TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength()));
    fields->InitRecord(record.data());
    int32_t field = 0;
    for (const auto& v : {a, b, c}) {
      if (v) fields->SetRecordField(field, record.data(), &*v);
      ++field;
    }
    return record;
  }
  TContent Content(int32_t aInx) { return engine->Memory(aInx)->Content(); }
  int Touches() {
    int n = 0;
    for (int32_t i = 0; i < engine->IndexCount(); ++i) n += engine->Memory(i)->inserts + engine->Memory(i)->deletes;
    return n;
  }
  bool Corrupted() { return mvInSet(trans->TransLevel()->State(), tlsCorrupted); }

  std::unique_ptr<TmvDataDictionary> dd;
  std::unique_ptr<TTestTransaction> trans;
  TableFile file;
  std::unique_ptr<TMemoryIndicesEngine> engine;
};

TEST_F(IndicesEngine, ADuplicateInTheLastIndexUndoesTheOthersAndExplainsItself) {
  ASSERT_EQ(engine->IndexCount(), 3);
  EXPECT_EQ(engine->CurrentRefNr(), TmvBaseIndicesEngine::kNoCurrentRefNr);
  std::vector<uint8_t> first = Record(1, 1, 1), second = Record(2, 2, 1);
  ASSERT_EQ(engine->InsertKeys(trans.get(), 100, first.data(), nullptr), 0);
  EXPECT_EQ(engine->InsertKeys(trans.get(), 200, second.data(), nullptr), MVERR_KEYVIOL);
  EXPECT_EQ(Content(0), (TContent{{u"1", 100}}));
  EXPECT_EQ(Content(1), (TContent{{u"1", 100}}));
  EXPECT_EQ(Content(2), (TContent{{u"1", 100}}));
  EXPECT_FALSE(Corrupted());
  // Current values are reset after the call.
  EXPECT_EQ(engine->CurrentTrans(), nullptr);
  EXPECT_EQ(engine->CurrentKey(), nullptr);
  EXPECT_EQ(engine->CurrentCacheRefNr(), TmvBaseIndicesEngine::kNoCurrentRefNr);
  // The text of the violation, with each value as a custom info too.
  const EmvBaseException e(MVERR_KEYVIOL);
  const String text = e.ProcessedErrorString();
  const String file = engine->Files()[0]->_File()->FileName();
  EXPECT_EQ(text, u"Key violation.\r\nOperation: Insert\r\nFile: \"" + file + u"\"\r\nIndex: \"C\"\r\nKey: 1\r\nRefNr: 200");
  EXPECT_EQ(e.CustomInfos().Values(u"Operation"), u"Insert");
  EXPECT_EQ(e.CustomInfos().Values(u"File"), file);
  EXPECT_EQ(e.CustomInfos().Values(u"Index"), u"C");
  EXPECT_EQ(e.CustomInfos().Values(u"Key"), u"1");
  EXPECT_EQ(e.CustomInfos().Values(u"RefNr"), u"200");
}

TEST_F(IndicesEngine, AFilteredKeyStaysOutOfItsIndexOnlyAndIsNotMissedOnDelete) {
  std::vector<uint8_t> record = Record(5, std::nullopt, 7);
  ASSERT_EQ(engine->InsertKeys(trans.get(), 300, record.data(), nullptr), 0);
  EXPECT_EQ(Content(0), (TContent{{u"5", 300}}));
  EXPECT_TRUE(Content(1).empty());
  EXPECT_EQ(Content(2), (TContent{{u"7", 300}}));
  ASSERT_EQ(engine->DeleteKeys(trans.get(), 300, record.data(), nullptr), 0);
  for (int32_t i = 0; i < 3; ++i) EXPECT_TRUE(Content(i).empty()) << i;
  EXPECT_FALSE(Corrupted());
  // A key that is not there is a violation and corrupts the transaction.
  EXPECT_EQ(engine->DeleteKeys(trans.get(), 300, record.data(), nullptr), MVERR_KEYVIOL);
  EXPECT_NE(EmvBaseException(MVERR_KEYVIOL).ProcessedErrorString().find(u"Operation: Delete\r\n"), String::npos);
  EXPECT_TRUE(Corrupted());
}

TEST_F(IndicesEngine, UpdatesTouchOnlyChangedKeysAndUndoACollision) {
  std::vector<uint8_t> a = Record(1, 1, 1), b = Record(2, 2, 2);
  ASSERT_EQ(engine->InsertKeys(trans.get(), 100, a.data(), nullptr), 0);
  ASSERT_EQ(engine->InsertKeys(trans.get(), 200, b.data(), nullptr), 0);
  const int before = Touches();
  std::vector<uint8_t> same = Record(1, 1, 1);
  ASSERT_EQ(engine->UpdateKeys(trans.get(), 100, a.data(), 100, same.data(), nullptr), 0);
  EXPECT_EQ(Touches(), before);  // no key changed: no index touched
  // A new key for index 1 alone changes index 1 alone.
  std::vector<uint8_t> moved = Record(1, 5, 1);
  ASSERT_EQ(engine->UpdateKeys(trans.get(), 100, a.data(), 100, moved.data(), nullptr), 0);
  EXPECT_EQ(Content(1), (TContent{{u"2", 200}, {u"5", 100}}));
  EXPECT_EQ(Touches(), before + 2);
  // Every key changes, and index 2 collides with record 200's key.
  std::vector<uint8_t> colliding = Record(9, 9, 2);
  EXPECT_EQ(engine->UpdateKeys(trans.get(), 100, moved.data(), 100, colliding.data(), nullptr), MVERR_KEYVIOL);
  EXPECT_NE(EmvBaseException(MVERR_KEYVIOL).ProcessedErrorString().find(u"Operation: Modify/Insert\r\n"),
            String::npos);
  EXPECT_EQ(Content(0), (TContent{{u"1", 100}, {u"2", 200}}));
  EXPECT_EQ(Content(1), (TContent{{u"2", 200}, {u"5", 100}}));
  EXPECT_EQ(Content(2), (TContent{{u"1", 100}, {u"2", 200}}));
  EXPECT_FALSE(Corrupted());
  // A key that becomes filtered leaves its index; a moved record changes
  // every index by its reference.
  std::vector<uint8_t> nulled = Record(1, std::nullopt, 1);
  ASSERT_EQ(engine->UpdateKeys(trans.get(), 100, moved.data(), 101, nulled.data(), nullptr), 0);
  EXPECT_EQ(Content(0), (TContent{{u"1", 101}, {u"2", 200}}));
  EXPECT_EQ(Content(1), (TContent{{u"2", 200}}));
}

TEST_F(IndicesEngine, AFailedUndoMarksTheTransactionCorrupted) {
  std::vector<uint8_t> first = Record(1, 1, 1), second = Record(2, 2, 1);
  ASSERT_EQ(engine->InsertKeys(trans.get(), 100, first.data(), nullptr), 0);
  engine->Memory(1)->refuseDeletes = true;
  EXPECT_EQ(engine->InsertKeys(trans.get(), 200, second.data(), nullptr), MVERR_KEYVIOL);
  EXPECT_TRUE(Corrupted());
}

TEST_F(IndicesEngine, IndexesComeAndGoWithTheirNumbers) {
  EXPECT_EQ(CodeOf([&] { engine->AddIndex(trans.get(), 3); }), uint32_t(MVERR_INDEXNROUTOFRANGE));
  EXPECT_EQ(CodeOf([&] { engine->RemoveIndex(trans.get(), 1); }), uint32_t(MVERR_INDEXNROUTOFRANGE));
  std::vector<uint8_t> record = Record(1, 2, 3);
  ASSERT_EQ(engine->InsertKeys(trans.get(), 100, record.data(), nullptr), 0);
  TMemoryIndexEngine* last = engine->Memory(2);
  dd->GetIndicesDescriptor()->RemoveIndex(1);
  engine->RemoveIndex(trans.get(), 1);
  EXPECT_EQ(engine->removed, 1);
  ASSERT_EQ(engine->IndexCount(), 2);
  EXPECT_EQ(engine->Memory(1), last);
  EXPECT_EQ(last->IndexNumber(), 1);
  EXPECT_EQ(last->bieBookmarkHandler->IndexID(), 1);
  auto* key = static_cast<TmvCompKeyDescriptor*>(dd->GetIndicesDescriptor()->AddIndex(u"B2", 0, idAll, u"")->GetKeyDescriptor());
  key->Add(1);
  engine->AddIndex(trans.get(), 2);
  EXPECT_EQ(engine->added, 1);
  EXPECT_TRUE(engine->Memory(2)->Dups());
  ASSERT_EQ(engine->InsertKeys(trans.get(), 200, Record(4, 2, 5).data(), nullptr), 0);
  EXPECT_EQ(Content(2), (TContent{{u"2", 200}}));  // the new index holds only what came after it
}

TEST_F(IndicesEngine, BulkBuildersFillOnlyEmptyIndexes) {
  for (int32_t i = 0; i < 3; ++i) engine->Memory(i)->expectPublished = false;  // builders insert directly
  std::unique_ptr<TmvBaseBulkBuilder> hub(engine->CreateBulkBuilder(trans.get()));
  ASSERT_NE(dynamic_cast<TmvBulkBuilderHub*>(hub.get()), nullptr);
  EXPECT_EQ(hub->InsertKey(100, Record(1, std::nullopt, 1).data(), trans.get()), 0);
  EXPECT_EQ(hub->InsertKey(200, Record(1, 2, 2).data(), trans.get()), MVERR_KEYVIOL);
  EXPECT_EQ(hub->Finalize(trans.get()), 0);
  EXPECT_TRUE(Corrupted());
  EXPECT_EQ(Content(1), TContent{});  // filtered
  // A non-empty index refuses a new builder.
  EXPECT_EQ(CodeOf([&] { delete engine->CreateBulkBuilder(trans.get()); }), uint32_t(MVERR_INDEXNOTEMPTY));
  // One index: its own builder.
  dd->GetIndicesDescriptor()->RemoveIndex(2);
  dd->GetIndicesDescriptor()->RemoveIndex(1);
  TMemoryIndicesEngine single(dd->GetIndicesDescriptor(), file.Files(), nullptr, trans.get(), false);
  std::unique_ptr<TmvBaseBulkBuilder> own(single.CreateBulkBuilder(trans.get()));
  EXPECT_NE(dynamic_cast<TmvDefaultIndexBulkBuilder*>(own.get()), nullptr);
}

TEST_F(IndicesEngine, PathsStandOnRecordsAndComeBackThroughBookmarks) {
  TmvBaseIndexEngine* index = engine->biseGetIndex(1);
  std::unique_ptr<TmvBaseIndexPath> path(index->CreateIndexPath());
  EXPECT_EQ(path->CheckCurrentState(), MVERR_NOCURRREC);
  path->SetToBof();
  EXPECT_EQ(path->CheckCurrentState(), MVERR_BOF);
  ASSERT_EQ(path->SetToRecord(Record(1, 42, 3).data(), 500), 0);
  EXPECT_EQ(path->CheckCurrentState(), 0);
  EXPECT_TRUE(path->KeyValid);
  std::vector<uint8_t> mark(path->BookmarkSize());
  ASSERT_EQ(mark.size(), 24u + 5);
  EXPECT_EQ(path->GetBookmark(mark.data(), uint32_t(mark.size() - 1), false), MVERR_INVALIDPARAM);
  ASSERT_EQ(path->GetBookmark(mark.data(), uint32_t(mark.size()), false), 0);
  path->SetToDeleted();
  EXPECT_EQ(path->CheckCurrentState(), MVERR_KEYORRECDELETED);
  path->SetToEof();
  ASSERT_EQ(path->SetToBookmark(mark.data(), uint32_t(mark.size()), false), 0);
  EXPECT_EQ(path->Position, ippOnKey);
  EXPECT_EQ(path->RefNr, 500);
  EXPECT_EQ(index->KeyEngine()->KeyAsString(path->Key), u"42");
  std::unique_ptr<TmvBaseIndexPath> copy(path->Duplicate());
  EXPECT_EQ(copy->RefNr, 500);
  EXPECT_EQ(copy->Position, ippOnKey);
  // A bookmark of another index is refused.
  std::unique_ptr<TmvBaseIndexPath> other(engine->biseGetIndex(2)->CreateIndexPath());
  EXPECT_EQ(other->SetToBookmark(mark.data(), uint32_t(mark.size()), false), MVERR_BOOKMARKSMISMATCH);
  // A null key field builds no valid key but still stands on the record.
  ASSERT_EQ(path->SetToRecord(Record(1, std::nullopt, 3).data(), 501), 0);
  EXPECT_TRUE(path->IsOnKey());
}

TEST_F(IndicesEngine, UnknownEnginesAreNamedInTheRefusal) {
  dd->GetIndicesDescriptor()->IndexDescriptor(1)->SetIndexEngine(u"Nothing");
  String text;
  EXPECT_EQ(CodeOf([&] { TmvBaseIndicesEngine::CheckIndexDescriptors(dd->GetIndicesDescriptor()); }, &text),
            uint32_t(MVERR_UNSUPPORTEDSUBENGINE));
  EXPECT_EQ(text, u"Unknown index engine: \"Nothing\"");
  EXPECT_EQ(CodeOf([&] { TMemoryIndicesEngine(dd->GetIndicesDescriptor(), file.Files(), nullptr, trans.get(), false); }),
            uint32_t(MVERR_UNSUPPORTEDSUBENGINE));
  // "mv1xdefault" finds the class registered as "mv1xDefault".
  EXPECT_EQ(TmvBaseSubEngine::FindEngineClass(TmvBaseIndexEngine::StaticClass, u"mv1xdefault"),
            &TMemoryIndexEngine::StaticClass);
}

}  // namespace
