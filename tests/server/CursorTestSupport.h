// Test support for the cursor tests: a small table kept in memory (its
// dictionary, rows and BLOBs), a transaction context that counts what it is
// asked, a cursor of the abstract layers and one of the in-process frame
// over that table. Operations the tests do not reach answer 12289.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "ServerTestSupport.h"
#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/mvsdDataDictionary.h"
#include "foundation/mvllStreams.h"
#include "platform/Numeric.h"
#include "server/mvsdAbstractCursor.h"
#include "server/mvsdBatchStreamAccess.h"
#include "server/mvsrServerBaseCursor.h"

// A table in memory. The BLOB table's fields: 0 ID (Int32), 1 REF (RefNr),
// 2 CHANGED (Int64, the modify LSN), 3 CREATED (Int64, the insert LSN),
// 4 MEMO (BlobMemo), 5 WIDE (BlobWideMemo), 6 DATA (Blob). The plain table:
// 0 ID (Int32), 1 NAME (ShortString 20).
// A dictionary whose layout version a test may set (an outdated table).
class TestDictionary : public TmvDataDictionary {
 public:
  void SetLayoutVersion(int32_t aVersion) { ddVersion = aVersion; }
};

struct TestTable {
  enum { fID, fRef, fChanged, fCreated, fMemo, fWide, fData };

  static std::unique_ptr<TestTable> WithBlobs() {
    auto t = std::make_unique<TestTable>();
    TmvFieldsDescriptor* f = t->dd.GetFieldsDescriptor();
    f->AddField(u"ID", u"", mvtInt32, 0, 0, false);
    f->AddField(u"REF", u"", mvtRefNr, 0, 0, false);
    f->AddField(u"CHANGED", u"", mvtInt64, 0, 0, false)
        ->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass);
    f->AddField(u"CREATED", u"", mvtInt64, 0, 0, false)
        ->AddDefaultValue(&TmvNextLSNDefaultValueDescriptor::StaticClass)
        ->SetApplyOnModify(false);
    f->AddField(u"MEMO", u"", mvtBlobMemo, 0, 0, false);
    f->AddField(u"WIDE", u"", mvtBlobWideMemo, 0, 0, false);
    f->AddField(u"DATA", u"", mvtBlob, 0, 0, false);
    return t;
  }
  static std::unique_ptr<TestTable> Plain() {
    auto t = std::make_unique<TestTable>();
    TmvFieldsDescriptor* f = t->dd.GetFieldsDescriptor();
    f->AddField(u"ID", u"", mvtInt32, 0, 0, false);
    f->AddField(u"NAME", u"", mvtShortString, 20, 0, false);
    return t;
  }

  TmvFieldsDescriptor* Fields() { return dd.GetFieldsDescriptor(); }
  int32_t RecordLength() { return Fields()->RecordLength(); }
  std::vector<uint8_t> NewRecord() {
    std::vector<uint8_t> r(size_t(RecordLength()) + 4);
    Fields()->InitRecord(r.data());
    return r;
  }
  template <typename T>
  static void Set(TmvFieldsDescriptor* f, void* aRecord, int32_t aField, T aValue) {
    f->SetRecordField(aField, aRecord, &aValue);
  }
  template <typename T>
  static T Get(TmvFieldsDescriptor* f, const void* aRecord, int32_t aField) {
    bool isNull = true;
    T value{};
    f->GetRecordField(aField, aRecord, isNull, &value);
    return isNull ? T{} : value;
  }
  bool IsNull(const void* aRecord, int32_t aField) { return Fields()->IsRecordFieldNull(aField, aRecord); }
  TmvBlobNr AddBlob(std::vector<uint8_t> aBytes) {
    blobs[nextBlob] = std::move(aBytes);
    return nextBlob++;
  }
  // A row of the BLOB table; a BLOB number of 0 leaves that field null.
  void AddRow(int32_t aID, TmvRefNr aRef, TmvLSN aChanged, TmvLSN aCreated, TmvBlobNr aMemo = 0, TmvBlobNr aWide = 0,
              TmvBlobNr aData = 0) {
    std::vector<uint8_t> r = NewRecord();
    TmvFieldsDescriptor* f = Fields();
    Set(f, r.data(), fID, aID);
    if (aRef) Set(f, r.data(), fRef, aRef);
    if (aChanged) Set(f, r.data(), fChanged, aChanged);
    if (aCreated) Set(f, r.data(), fCreated, aCreated);
    if (aMemo) Set(f, r.data(), fMemo, aMemo);
    if (aWide) Set(f, r.data(), fWide, aWide);
    if (aData) Set(f, r.data(), fData, aData);
    rows.push_back(std::move(r));
  }
  // A row of the plain table.
  void AddPlainRow(int32_t aID) {
    std::vector<uint8_t> r = NewRecord();
    Set(Fields(), r.data(), 0, aID);
    rows.push_back(std::move(r));
  }

  TestDictionary dd;
  std::vector<std::vector<uint8_t>> rows;
  std::map<TmvBlobNr, std::vector<uint8_t>> blobs;
  TmvBlobNr nextBlob = 1;
};

// A context whose transactions only count.
class CountingTransContext : public TestTransContext {
 public:
  using TestTransContext::TestTransContext;
  uint32_t TransactionStart(bool, bool aSnapShot) override {
    ++starts;
    lastSnapshot = aSnapShot;
    return startCode;
  }
  uint32_t TransactionRollback() override {
    ++rollbacksAsked;
    return rollbackCode;
  }
  int starts = 0, rollbacksAsked = 0;
  bool lastSnapshot = false;
  uint32_t startCode = 0, rollbackCode = 0;
};

// The operations every in-memory test cursor shares: moving over the rows,
// a 4-byte bookmark (the row's position) and the BLOB store. Base is a
// cursor class of the abstract layers.
template <typename Base>
class TestCursorOver : public Base {
 public:
  template <typename... Args>
  TestCursorOver(TestTable* aTable, Args&&... aArgs) : Base(std::forward<Args>(aArgs)...), table(aTable) {}

  TmvDataDictionary* Get_Dictionary() override { return &table->dd; }
  TmvBaseTableDescriptor* GetTableDescriptor() override { return &table->dd; }
  String acGetFullName() override { return u"People"; }

  // Moving and reading.
  uint32_t MoveTo(int32_t aStep, void* aData) {
    position += aStep;
    if (position < 0) {
      position = -1;
      return EmvBaseException::mvSetMessage(MVERR_BOF, String());
    }
    if (position >= int32_t(table->rows.size())) {
      position = int32_t(table->rows.size());
      return EmvBaseException::mvSetMessage(MVERR_EOF, String());
    }
    if (aData) std::memcpy(aData, table->rows[size_t(position)].data(), size_t(table->RecordLength()));
    return 0;
  }
  uint32_t BookmarkSize(uint32_t& aSize) {
    aSize = 4;
    return 0;
  }
  uint32_t Bookmark(void* aBookmark, uint32_t aSize) {
    if (aSize < 4) return EmvBaseException::mvSetMessage(MVERR_INVALIDPARAM, String());
    StoreLE32(aBookmark, uint32_t(position));
    return 0;
  }

  // BLOBs.
  uint32_t NoBlob() { return EmvBaseException::mvSetMessage(MVERR_BLOBGENERAL, String()); }
  uint32_t Create(TmvBlobNr& aBlobNr) {
    aBlobNr = table->AddBlob({});
    ++blobsCreated;
    return 0;
  }
  uint32_t Delete(TmvBlobNr aBlobNr) {
    ++blobsDeleted;
    return table->blobs.erase(aBlobNr) ? 0 : NoBlob();
  }
  uint32_t Write(TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, const void* aBlob) {
    auto found = table->blobs.find(aBlobNr);
    if (found == table->blobs.end()) return NoBlob();
    if (found->second.size() < size_t(aOffset) + aLen) found->second.resize(size_t(aOffset) + aLen);
    if (aLen) std::memcpy(found->second.data() + aOffset, aBlob, aLen);
    return 0;
  }
  uint32_t Truncate(TmvBlobNr aBlobNr, uint32_t aLength) {
    auto found = table->blobs.find(aBlobNr);
    if (found == table->blobs.end()) return NoBlob();
    found->second.resize(aLength);
    ++truncates;
    return 0;
  }
  uint32_t Length(TmvBlobNr aBlobNr, uint32_t& aLength, TmvNewBlobNr* aNewBlobNr) {
    if (onLength) return onLength(aBlobNr, aLength, aNewBlobNr);
    auto found = table->blobs.find(aBlobNr);
    if (found == table->blobs.end()) return NoBlob();
    aLength = uint32_t(found->second.size());
    return 0;
  }
  uint32_t Read(TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, TStream* aStream) {
    ++reads;
    auto found = table->blobs.find(aBlobNr);
    if (found == table->blobs.end()) return NoBlob();
    const std::vector<uint8_t>& bytes = found->second;
    if (aOffset >= bytes.size()) return 0;
    const size_t n = std::min<size_t>(aLen, bytes.size() - aOffset);
    aStream->WriteBuffer(bytes.data() + aOffset, int64_t(n));
    return 0;
  }

  // The operations neither test cursor reaches: not supported here.
  uint32_t GetRecordCountExAsync(TmvRecordCountOption, TmvAbstractTaskInfo*&) override {
    return this->NotSupported(u"GetRecordCountExAsync");
  }
  uint32_t ascGetBlobCacheInfos(const TmvRecID&, std::vector<TmvBlobCacheInfo>&) override {
    return this->NotSupported(u"ascGetBlobCacheInfos");
  }
  uint32_t ascSetBlobCacheFlushed(const TmvRecID&, int32_t, TmvBlobNr, TmvBlobNr) override {
    return this->NotSupported(u"ascSetBlobCacheFlushed");
  }
  String sbcGetRootName() override { return String(); }
  TmvIndexPathPosition sbcGetPosition() override { return TmvIndexPathPosition{}; }
  uint32_t sbcSwitchToIndex(const String&, int32_t, TmvPosnOnRec) override {
    return this->NotSupported(u"sbcSwitchToIndex");
  }
  uint32_t sbcRangeSet(int32_t, int32_t, bool, const void*, bool, int32_t, int32_t, bool, const void*, bool) override {
    return this->NotSupported(u"sbcRangeSet");
  }
  uint32_t sbcCopyRecords(TmvAbstractCursor*, TmvBlobCopyMode, uint32_t, bool) override {
    return this->NotSupported(u"sbcCopyRecords");
  }
  uint32_t sbcDeleteRecords() override { return this->NotSupported(u"sbcDeleteRecords"); }
  uint32_t sbcBlobCreateLink(const TmvRecID&, int32_t, const String&, TmvBlobNr, TmvBlobNr&) override {
    return this->NotSupported(u"sbcBlobCreateLink");
  }
  uint32_t sbcBlobReplace(const TmvRecID&, int32_t, TmvBlobNr&, uint32_t, const void*) override {
    return this->NotSupported(u"sbcBlobReplace");
  }
  bool sbcBlobIsLink(const TmvRecID&, int32_t, TmvBlobNr, String&, TmvBlobNr&) override { return false; }
  uint32_t sbcRecordModify(void*, bool, const TmvRecordDiff*) override {
    return this->NotSupported(u"sbcRecordModify");
  }
  uint32_t sbcRecordDelete(void*, TmvLSN) override { return this->NotSupported(u"sbcRecordDelete"); }
  uint32_t sbcAutoIncGet() override { return this->NotSupported(u"sbcAutoIncGet"); }
  uint32_t sbcGetRecordCount(TmvRecordCountOption, uint32_t&, bool) override {
    return this->NotSupported(u"sbcGetRecordCount");
  }
  uint32_t sbcDuplicate(TmvOpenMode, TmvAbstractCursor*&, bool) override { return this->NotSupported(u"sbcDuplicate"); }
  void sbcIterate(void**, const TmvKeyIterator&, const TmvRecordIterator&, bool, void*, bool) override {}
  bool sacHasKey(int32_t, const Variant&) override { return false; }
  TmvRefNr sacGetRefNr() override { return TmvRefNr{}; }
  void sacSetRefNr(TmvRefNr) override {}
  uint32_t sacGetRecordByID(TmvRefNr, void*) override { return this->NotSupported(u"sacGetRecordByID"); }

  TestTable* table;
  int32_t position = -1;
  int blobsCreated = 0, blobsDeleted = 0, truncates = 0, reads = 0;
  // Replaces the BLOB length (a BLOB that moves, a failing length).
  std::function<uint32_t(TmvBlobNr, uint32_t&, TmvNewBlobNr*)> onLength;
};

// A cursor of the abstract layers (nothing of the in-process cursor) over a
// test table; records which key form reached the virtual operations.
class TestListCursor : public TestCursorOver<TmvSqlAbstractCursor> {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  TestListCursor(TmvAbstractDatabase* aDatabase, TestTable* aTable)
      : TestCursorOver<TmvSqlAbstractCursor>(aTable, aDatabase, 0u) {
    acLoadFieldsInfo();
  }
  using TmvAbstractCursor::GetBlobs;
  using TmvAbstractCursor::RangeSet;
  using TmvAbstractCursor::RecordGetForKey;
  using TmvAbstractCursor::SetToKey;

  // Turns the cursor into one on a cacheable table.
  void MakeCacheable() {
    acStates |= uint8_t(1u << acsIsCacheable);
    acCacheableInfo = mvNewCacheableInfo();
    FieldsDescriptor()->GetSpecialFieldsInfo(acCacheableInfo->ciSFI);
  }

  uint32_t SetToBegin() override {
    position = -1;
    return 0;
  }
  uint32_t SetToEnd() override {
    position = int32_t(table->rows.size());
    return 0;
  }
  uint32_t sbcGetBookmarkSize(uint32_t& aSize) override { return BookmarkSize(aSize); }
  uint32_t GetBookmark(void* aBookmark, uint32_t aSize) override { return Bookmark(aBookmark, aSize); }
  uint32_t RecordGet(TmvLockType, void* aData) override { return MoveTo(0, aData); }
  uint32_t RecordGetNext(TmvLockType, void* aData) override { return MoveTo(1, aData); }
  uint32_t RecordGetPrior(TmvLockType, void* aData) override { return MoveTo(-1, aData); }
  uint32_t SetToKey(TmvSearchKeyAction, int32_t, int32_t, bool aDirectKey, const void*) override {
    directKeys.push_back(aDirectKey);
    return 0;
  }
  uint32_t RecordGetForKey(int32_t, int32_t, bool aDirectKey, const void*, void*, bool, bool) override {
    directKeys.push_back(aDirectKey);
    return 0;
  }
  uint32_t RangeSet(int32_t, int32_t, bool aDirectKey1, const void*, bool, int32_t, int32_t, bool aDirectKey2,
                    const void*, bool) override {
    directKeys.push_back(aDirectKey1);
    directKeys.push_back(aDirectKey2);
    return 0;
  }
  uint32_t BlobCreate(const TmvRecID&, int32_t, TmvBlobNr& aBlobNr) override { return Create(aBlobNr); }
  uint32_t BlobDelete(const TmvRecID&, int32_t, TmvBlobNr aBlobNr) override { return Delete(aBlobNr); }
  uint32_t BlobWrite(const TmvRecID&, int32_t, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                     const void* aBlob) override {
    return Write(aBlobNr, aOffset, aLen, aBlob);
  }
  uint32_t BlobTruncate(const TmvRecID&, int32_t, TmvBlobNr aBlobNr, uint32_t aLength) override {
    return Truncate(aBlobNr, aLength);
  }
  uint32_t sbcBlobGetLength(const TmvRecID&, int32_t, TmvBlobNr aBlobNr, uint32_t& aLength, bool,
                            TmvNewBlobNr* aNewBlobNr) override {
    return Length(aBlobNr, aLength, aNewBlobNr);
  }
  uint32_t sbcBlobRead(const TmvRecID&, int32_t, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, TStream* aStream,
                       bool, TmvNewBlobNr*) override {
    return Read(aBlobNr, aOffset, aLen, aStream);
  }
  uint32_t ContainsLSNRefNr(TmvLSN& aLSN, TmvRefNr& aRefNr) override {
    if (onContains) return onContains(aLSN, aRefNr);
    return TmvSqlAbstractCursor::ContainsLSNRefNr(aLSN, aRefNr);
  }

  std::vector<bool> directKeys;
  std::function<uint32_t(TmvLSN, TmvRefNr)> onContains;

  // Everything else: not supported here.
  uint32_t SetToCursor(TmvAbstractCursor*) override { return NotSupported(u"SetToCursor"); }
  uint32_t SetToFilter(TmvBaseFilterDescriptor*, TmvBaseFilterDescriptor*, bool) override {
    return NotSupported(u"SetToFilter");
  }
  uint32_t CompareBookmarks(const void*, const void*, uint32_t, int32_t&) override {
    return NotSupported(u"CompareBookmarks");
  }
  uint32_t SetToBookmark(const void*, uint32_t) override { return NotSupported(u"SetToBookmark"); }
  uint32_t BookmarkAsVariant(const void*, uint32_t, Variant&) override { return NotSupported(u"BookmarkAsVariant"); }
  uint32_t RecNoSupported() override { return NotSupported(u"RecNoSupported"); }
  uint32_t RecNoGet(int32_t&, bool) override { return NotSupported(u"RecNoGet"); }
  uint32_t RecNoSet(int32_t, bool) override { return NotSupported(u"RecNoSet"); }
  uint32_t RecordInsert(TmvLockType, void*, int64_t*) override { return NotSupported(u"RecordInsert"); }
  uint32_t RecordModify(void*, bool, const TmvRecordDiff*) override { return NotSupported(u"RecordModify"); }
  uint32_t RecordDelete(void*, TmvLSN) override { return NotSupported(u"RecordDelete"); }
  uint32_t RecordIsLocked(TmvLockType, TmvLockPresent&) override { return NotSupported(u"RecordIsLocked"); }
  uint32_t RecordLockRelease(bool, bool) override { return NotSupported(u"RecordLockRelease"); }
  uint32_t AutoIncGet(uint32_t&, bool) override { return NotSupported(u"AutoIncGet"); }
  uint32_t AutoIncSet(uint32_t) override { return NotSupported(u"AutoIncSet"); }
  uint32_t FilterAddCustom(TmvBaseFilterDescriptor*, TmvFilterID&, bool) override {
    return NotSupported(u"FilterAddCustom");
  }
  uint32_t FilterReplaceCustom(TmvBaseFilterDescriptor*, TmvFilterID&, bool, bool) override {
    return NotSupported(u"FilterReplaceCustom");
  }
  uint32_t FilterSetTimeout(uint32_t) override { return NotSupported(u"FilterSetTimeout"); }
  uint32_t FilterActivate(TmvFilterID) override { return NotSupported(u"FilterActivate"); }
  uint32_t FilterDeactivate(TmvFilterID) override { return NotSupported(u"FilterDeactivate"); }
  uint32_t FilterRemove(TmvFilterID) override { return NotSupported(u"FilterRemove"); }
  uint32_t SwitchToIndex(const String&, int32_t, TmvPosnOnRec) override { return NotSupported(u"SwitchToIndex"); }
  uint32_t GetIndexID(int32_t&) override { return NotSupported(u"GetIndexID"); }
  uint32_t RecordGetForKeyBatch(uint32_t, TmvRecordGetBatchExOptions, TmvBatchStreamAccess*&,
                                const TmvDataSetKeyBuffers&, bool, bool) override {
    return NotSupported(u"RecordGetForKeyBatch");
  }
  uint32_t RangeReset() override { return NotSupported(u"RangeReset"); }
  uint32_t CompareKeys(int32_t, int32_t, bool, const void*, bool, const void*, int32_t&) override {
    return NotSupported(u"CompareKeys");
  }
  uint32_t KeyFilterAddCustom(TmvBaseFilterDescriptor*, TmvKeyFilterID&) override {
    return NotSupported(u"KeyFilterAddCustom");
  }
  uint32_t KeyFilterActivate(TmvKeyFilterID) override { return NotSupported(u"KeyFilterActivate"); }
  uint32_t KeyFilterDeactivate(TmvKeyFilterID) override { return NotSupported(u"KeyFilterDeactivate"); }
  uint32_t KeyFilterRemove(TmvKeyFilterID) override { return NotSupported(u"KeyFilterRemove"); }
  uint32_t RecordGetBatch(uint32_t, TmvRecordGetBatchExOptions, TmvBatchStreamAccess*&, int32_t, bool) override {
    return NotSupported(u"RecordGetBatch");
  }
  uint32_t RecordInsertBatch(TmvCustomMemoryStream*) override { return NotSupported(u"RecordInsertBatch"); }
  uint32_t CopyRecords(TmvAbstractCursor*, TmvBlobCopyMode, uint32_t) override { return NotSupported(u"CopyRecords"); }
  uint32_t CopyRecordsEx(TmvAbstractCursor*, TmvBlobCopyMode, uint32_t, bool) override {
    return NotSupported(u"CopyRecordsEx");
  }
  uint32_t DeleteRecords() override { return NotSupported(u"DeleteRecords"); }
  uint32_t BlobsCancel(TmvRefNr) override { return NotSupported(u"BlobsCancel"); }
  uint32_t BlobCreateFile(const TmvRecID&, int32_t, const String&, TmvBlobNr&) override {
    return NotSupported(u"BlobCreateFile");
  }
  uint32_t BlobFree(const TmvRecID&, int32_t, TmvBlobNr) override { return NotSupported(u"BlobFree"); }
  uint32_t BlobModified(const TmvRecID&, int32_t, TmvBlobNr, bool&) override { return NotSupported(u"BlobModified"); }
  uint32_t TableStreamGetList(TStrings*) override { return NotSupported(u"TableStreamGetList"); }
  uint32_t TableStreamWrite(const String&, TStream*) override { return NotSupported(u"TableStreamWrite"); }
  uint32_t TableStreamRead(const String&, TStream*) override { return NotSupported(u"TableStreamRead"); }
  uint32_t TableStreamDelete(const String&) override { return NotSupported(u"TableStreamDelete"); }
  uint32_t TableIsLocked(TmvLockType, TmvLockPresent&) override { return NotSupported(u"TableIsLocked"); }
  uint32_t TableLockAcquire(TmvLockType) override { return NotSupported(u"TableLockAcquire"); }
  uint32_t TableLockRelease(TmvLockType, bool) override { return NotSupported(u"TableLockRelease"); }
  uint32_t Duplicate(TmvOpenMode, TmvAbstractCursor*&) override { return NotSupported(u"Duplicate"); }
  uint32_t ChangePassword(const String&) override { return NotSupported(u"ChangePassword"); }
  uint32_t GetRecordCount(uint32_t&, bool) override { return NotSupported(u"GetRecordCount"); }
  uint32_t GetRecordCountAsync(TmvAbstractTaskInfo*&) override { return NotSupported(u"GetRecordCountAsync"); }
  uint32_t GetRecordCountEx(TmvRecordCountOption, uint32_t&, bool) override {
    return NotSupported(u"GetRecordCountEx");
  }
  void sbcMarkReadonly() override {}
  uint32_t sbcGetIndexID(int32_t&) override { return NotSupported(u"sbcGetIndexID"); }
  void sbcRangeReset() override {}
  void sbcSetToBegin() override {}
  void sbcSetToEnd() override {}
  uint32_t sbcRecordGetBatch(uint32_t, TmvRecordGetBatchExOptions, TmvBatchStreamAccess*&, int32_t, bool) override {
    return NotSupported(u"sbcRecordGetBatch");
  }
  uint32_t sbcRecordInsertBatch(TmvCustomMemoryStream*) override { return NotSupported(u"sbcRecordInsertBatch"); }
  uint32_t sbcBlobDelete(const TmvRecID&, int32_t, TmvBlobNr) override { return NotSupported(u"sbcBlobDelete"); }
  uint32_t sbcBlobTruncate(const TmvRecID&, int32_t, TmvBlobNr, uint32_t) override {
    return NotSupported(u"sbcBlobTruncate");
  }
  uint32_t sbcBlobWrite(const TmvRecID&, int32_t, TmvBlobNr, uint32_t, uint32_t, const void*) override {
    return NotSupported(u"sbcBlobWrite");
  }
  uint32_t sbcRecordGet(TmvLockType, void*) override { return NotSupported(u"sbcRecordGet"); }
  uint32_t sbcRecordGetNext(TmvLockType, void*) override { return NotSupported(u"sbcRecordGetNext"); }
  uint32_t sbcRecordGetPrior(TmvLockType, void*) override { return NotSupported(u"sbcRecordGetPrior"); }
  uint32_t sbcRecordInsert(TmvLockType, TmvInsertOptions, void*, int64_t*) override {
    return NotSupported(u"sbcRecordInsert");
  }
  uint32_t sbcChangePassword(const String&) override { return NotSupported(u"sbcChangePassword"); }
  void sacSetDefault(void*, int32_t) override {}
  void sacSetDefaultsInsert(void*) override {}
};

inline constinit const ClassRef TestListCursor::StaticClass{u"TestListCursor", &TmvSqlAbstractCursor::StaticClass};

// The in-process cursor's frame over a test table: the protected
// operations move over the rows (under the record filter and its timeout),
// keep BLOBs, and count what reached them.
class TestServerCursor : public TestCursorOver<TmvServerBaseCursor> {
 public:
  static const ClassRef StaticClass;
  const ClassRef& ClassType() const override { return StaticClass; }

  TestServerCursor(TmvAbstractDatabase* aDatabase, TestTable* aTable, TmvOpenMode aOpenMode, uint32_t aTimeout = 0)
      : TestCursorOver<TmvServerBaseCursor>(aTable, aDatabase, aTimeout, aOpenMode) {}

  void UseTransactionOf(TmvBaseTransaction* const* aField) { sbcTrans = aField; }
  void SetWriteOnly(uint32_t aResult) {
    sbcIsWriteOnly = true;
    sbcWriteOnlyResult = aResult;
  }

  void sbcSetToBegin() override { position = -1; }
  void sbcSetToEnd() override { position = int32_t(table->rows.size()); }
  uint32_t sbcRecordGet(TmvLockType, void* aData) override { return MoveTo(0, aData); }
  uint32_t sbcRecordGetNext(TmvLockType, void* aData) override { return Step(1, aData); }
  uint32_t sbcRecordGetPrior(TmvLockType, void* aData) override { return Step(-1, aData); }
  uint32_t sbcGetBookmarkSize(uint32_t& aSize) override { return BookmarkSize(aSize); }
  uint32_t sbcGetBookmark(void* aBookmark, uint32_t aSize) override { return Bookmark(aBookmark, aSize); }
  uint32_t sbcBeginContentLock(bool, bool, bool) override {
    if (contentLockCode == 0) ++contentLocks;
    return contentLockCode;
  }
  void sbcEndContentLock() override { --contentLocks; }
  uint32_t sbcGetIndexID(int32_t& aIndexID) override {
    ++calls;
    if (duringCall) duringCall();
    aIndexID = 0;
    return 0;
  }
  uint32_t sbcSetToCursor(TmvAbstractCursor*) override {
    ++calls;
    return 0;
  }
  uint32_t sbcSetToFilter(TmvBaseFilterEngine* aFilter, TmvBaseFilterEngine* aKeyFilter, bool) override {
    ++calls;
    sawActiveFilters = (!aFilter || aFilter->GetActive()) && (!aKeyFilter || aKeyFilter->GetActive());
    return 0;
  }
  ImvFieldsSource* sbcGetKeyFieldsSource() override { return this; }
  uint32_t sbcRecordInsert(TmvLockType, TmvInsertOptions aInsertOptions, void*, int64_t*) override {
    ++calls;
    if (duringCall) duringCall();
    lastInsertOptions = aInsertOptions;
    return 0;
  }
  void sbcRangeReset() override { ++rangeResets; }
  uint32_t sbcRecordInsertBatch(TmvCustomMemoryStream*) override { return ++calls, 0u; }
  uint32_t sbcAutoIncSet(uint32_t) override { return ++calls, 0u; }
  uint32_t sbcTableStreamWrite(const String&, TStream*, bool) override { return ++calls, 0u; }
  uint32_t sbcTableStreamDelete(const String&, bool) override { return ++calls, 0u; }
  uint32_t sbcChangePassword(const String&) override { return ++calls, 0u; }
  uint32_t sbcBlobsCancel(TmvRefNr) override { return ++calls, 0u; }
  uint32_t sbcBlobCreate(const TmvRecID&, int32_t, TmvBlobNr& aBlobNr) override { return ++calls, Create(aBlobNr); }
  uint32_t sbcBlobDelete(const TmvRecID&, int32_t, TmvBlobNr aBlobNr) override { return ++calls, Delete(aBlobNr); }
  uint32_t sbcBlobWrite(const TmvRecID&, int32_t, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                        const void* aBlob) override {
    return ++calls, Write(aBlobNr, aOffset, aLen, aBlob);
  }
  uint32_t sbcBlobTruncate(const TmvRecID&, int32_t, TmvBlobNr aBlobNr, uint32_t aLength) override {
    return ++calls, Truncate(aBlobNr, aLength);
  }
  uint32_t sbcBlobGetLength(const TmvRecID&, int32_t, TmvBlobNr aBlobNr, uint32_t& aLength, bool,
                            TmvNewBlobNr* aNewBlobNr) override {
    return Length(aBlobNr, aLength, aNewBlobNr);
  }
  uint32_t sbcBlobRead(const TmvRecID&, int32_t, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, TStream* aStream,
                       bool, TmvNewBlobNr*) override {
    if (onRead) onRead();
    if (shortReads) aLen = aLen > 0 ? aLen - 1 : 0;
    return Read(aBlobNr, aOffset, aLen, aStream);
  }

  // One step under the record filter and its timeout; in an endless walk
  // the rows start again at the end, so that only the timeout stops it.
  uint32_t Step(int32_t aDirection, void* aData) {
    if (stepCode) return stepCode;
    std::vector<uint8_t> record(size_t(table->RecordLength()) + 4);
    uint32_t result = 0;
    sbcFilterBeginTimeout(&result);
    for (;;) {
      result = MoveTo(aDirection, record.data());
      if (result != 0 && endless) {
        position = aDirection > 0 ? -1 : int32_t(table->rows.size());
        result = 0;
      } else if (result != 0 || !sbcFilter || sbcFilter->MatchesBuffer(record.data())) {
        break;
      }
      if (sbcFilterCheckTimeout(result)) break;
    }
    sbcFilterEndTimeout();
    if (result == 0 && aData) std::memcpy(aData, record.data(), size_t(table->RecordLength()));
    return result;
  }

  int calls = 0, contentLocks = 0, rangeResets = 0;
  uint32_t contentLockCode = 0, stepCode = 0;
  bool endless = false, shortReads = false, sawActiveFilters = false;
  TmvInsertOptions lastInsertOptions = 0;
  std::function<void()> duringCall, onRead;

  // Everything else: not supported here.
  uint32_t sbcCompareBookmarks(const void*, const void*, uint32_t, int32_t&) override {
    return NotSupported(u"sbcCompareBookmarks");
  }
  uint32_t sbcSetToBookmark(const void*, uint32_t, bool) override { return NotSupported(u"sbcSetToBookmark"); }
  uint32_t sbcBookmarkAsVariant(const void*, uint32_t, Variant&) override {
    return NotSupported(u"sbcBookmarkAsVariant");
  }
  uint32_t sbcRecNoGet(int32_t&, bool) override { return NotSupported(u"sbcRecNoGet"); }
  uint32_t sbcRecNoSet(int32_t, bool) override { return NotSupported(u"sbcRecNoSet"); }
  uint32_t sbcRecordIsLocked(TmvLockType, TmvLockPresent&) override { return NotSupported(u"sbcRecordIsLocked"); }
  uint32_t sbcRecordLockRelease(bool, bool) override { return NotSupported(u"sbcRecordLockRelease"); }
  void sbcAutoIncSetDirect(uint32_t) override {}
  uint32_t sbcSetToKey(TmvSearchKeyAction, int32_t, int32_t, bool, const void*) override {
    return NotSupported(u"sbcSetToKey");
  }
  uint32_t sbcRecordGetForKey(int32_t, int32_t, bool, const void*, void*, bool, bool) override {
    return NotSupported(u"sbcRecordGetForKey");
  }
  uint32_t sbcRecordGetForKeyBatch(uint32_t, TmvRecordGetBatchExOptions, TmvBatchStreamAccess*&,
                                   const TmvDataSetKeyBuffers&, bool, bool) override {
    return NotSupported(u"sbcRecordGetForKeyBatch");
  }
  uint32_t sbcCompareKeys(int32_t, int32_t, bool, const void*, bool, const void*, int32_t&) override {
    return NotSupported(u"sbcCompareKeys");
  }
  uint32_t sbcBlobCreateFile(const TmvRecID&, int32_t, const String&, TmvBlobNr&) override {
    return NotSupported(u"sbcBlobCreateFile");
  }
  uint32_t sbcBlobFree(const TmvRecID&, int32_t, TmvBlobNr) override { return NotSupported(u"sbcBlobFree"); }
  uint32_t sbcBlobModified(const TmvRecID&, int32_t, TmvBlobNr, bool&) override {
    return NotSupported(u"sbcBlobModified");
  }
  uint32_t sbcBlobCopyPrim(TmvServerBaseCursor*, int32_t, TmvBlobNr, int32_t, TmvBlobNr&, uint32_t) override {
    return NotSupported(u"sbcBlobCopyPrim");
  }
  uint32_t sbcBlobCopyContentPrim(TmvServerBaseCursor*, int32_t, TmvBlobNr, int32_t, TmvBlobNr, uint32_t) override {
    return NotSupported(u"sbcBlobCopyContentPrim");
  }
  uint32_t sbcTableStreamGetList(TStrings*, bool) override { return NotSupported(u"sbcTableStreamGetList"); }
  uint32_t sbcTableStreamRead(const String&, TStream*, bool) override { return NotSupported(u"sbcTableStreamRead"); }
  TmvLockPresent sbcTableIsLocked(TmvLockType) override { return TmvLockPresent{}; }
  uint32_t sbcTableLockAcquire(TmvLockType) override { return NotSupported(u"sbcTableLockAcquire"); }
  uint32_t sbcTableLockRelease(TmvLockType, bool) override { return NotSupported(u"sbcTableLockRelease"); }
  String sbcExtractPassword() override { return String(); }
};

inline constinit const ClassRef TestServerCursor::StaticClass{u"TestServerCursor", &TmvServerBaseCursor::StaticClass};

// The fixture of the cursor tests: an engine, a session, a counting
// context, a database on it and the BLOB table; every object is gone again
// at the end.
struct CursorTest : ServerTest {
  void SetUp() override {
    ServerTest::SetUp();
    engine = new TestEngine(nullptr);
    session = engine->Open(u"anna");
    context = TmvAbstractServerObject::Create<CountingTransContext>(session, 0u);
    database = TmvAbstractServerObject::Create<TestDatabase>(session, context, 0u);
    table = TestTable::WithBlobs();
  }
  void TearDown() override {
    TmvAbstractServerObject::Free(session);
    EXPECT_EQ(engine->DatabaseCount() + engine->CursorCount() + engine->TransContextCount(), 0);
    delete engine;
    ServerTest::TearDown();
  }
  TmvFieldsDescriptor* Fields() { return table->Fields(); }

  TestEngine* engine = nullptr;
  TestSession* session = nullptr;
  CountingTransContext* context = nullptr;
  TmvAbstractDatabase* database = nullptr;
  std::unique_ptr<TestTable> table;
};
