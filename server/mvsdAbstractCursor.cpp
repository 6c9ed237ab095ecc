// Server engine: the abstract cursor of the engine interface. See
// mvsdAbstractCursor.h.
#include "server/mvsdAbstractCursor.h"

#include <algorithm>
#include <cstring>

#include "dictionary/filters/mvsdSimpleExpressionFilter.h"
#include "dictionary/mvsdDataDictionary.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllServerException.h"
#include "foundation/mvllStreams.h"
#include "foundation/types/mvllWideString.h"
#include "platform/Numeric.h"
#include "server/mvsdAbstractSession.h"
#include "server/mvsdBaseServerEngine.h"
#include "server/mvsdBatchStreamAccess.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"

constinit const ClassRef TmvAbstractCursor::StaticClass{u"TmvAbstractCursor", &TmvAbstractTimeoutObject::StaticClass};
constinit const ClassRef TmvAbstractServerCursor::StaticClass{u"TmvAbstractServerCursor",
                                                              &TmvAbstractCursor::StaticClass};
constinit const ClassRef TmvSqlAbstractCursor::StaticClass{u"TmvSqlAbstractCursor",
                                                           &TmvAbstractServerCursor::StaticClass};

namespace {

constexpr uint8_t StateBit(TmvAbstractCursorState aState) { return uint8_t(1u << aState); }

uint32_t InvalidParameter() { return EmvBaseException::mvSetMessage(MVERR_INVALIDPARAM, String()); }

// A nested timeout scope of the calling thread for the length of a block,
// so that the public calls made inside keep the outer deadline.
class TimeoutScope {
 public:
  TimeoutScope() { mvHookBeginTimeoutScope(); }
  ~TimeoutScope() { mvHookEndTimeoutScope(); }
  TimeoutScope(const TimeoutScope&) = delete;
  TimeoutScope& operator=(const TimeoutScope&) = delete;
};

const std::vector<int32_t>& NoBlobFields() {
  static const std::vector<int32_t> none;
  return none;
}

int64_t ReadInt64At(const void* aRecord, int32_t aOffset) {
  if (aOffset < 0) return 0;
  int64_t value;
  std::memcpy(&value, static_cast<const uint8_t*>(aRecord) + aOffset, sizeof value);
  return value;
}

// The bytes a BLOB field stores for a variant: UTF-16 for a wide memo, the
// field's storage code page for a memo, the bytes of a byte array for the
// others. Empty and Null give none.
std::vector<uint8_t> BlobBytesOf(const Variant& aValue, TmvFieldDescriptor* aField) {
  std::vector<uint8_t> bytes;
  if (aValue.IsEmpty() || aValue.IsNull()) return bytes;
  switch (aField->FieldType()) {
    case mvtBlobWideMemo: {
      const String text = aValue.AsString();
      bytes.resize(text.size() * 2);
      for (size_t i = 0; i < text.size(); ++i) StoreLE16(&bytes[2 * i], uint16_t(text[i]));
      break;
    }
    case mvtBlobMemo: {
      const AnsiString text = mvWideStringToString(aValue.AsString(), aField->GetUsedStorageCodePage());
      bytes.assign(text.begin(), text.end());
      break;
    }
    default:
      if (!aValue.IsArray() || aValue.IsVariantArray())
        throw EmvServerException(MVERR_INVALIDPARAM, u"A BLOB field takes a byte array");
      bytes.assign(aValue.ArrayData(), aValue.ArrayData() + aValue.ArrayLength());
      break;
  }
  return bytes;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

TmvAbstractCursor::TmvAbstractCursor(TmvAbstractDatabase* aDatabase, uint32_t aTimeout)
    : TmvAbstractTimeoutObject(aDatabase, aTimeout), acDatabase(aDatabase) {
  MV_ASSERT(aDatabase != nullptr);
  acLinkToDatabase();
}

TmvAbstractCursor::~TmvAbstractCursor() {
  if (acUnlinkFromDatabase()) acStates |= StateBit(acsAutoFreeDatabase);
  mvReleaseCacheableInfo(acCacheableInfo);
  mvReleaseSpecialFieldsInfo(acSFI);
  mvReleaseDiffCompressorInfo(acDCI);
  // The base parts that are still to be torn down no longer refer to the
  // database, so it may go before them.
  if (mvInSet(acStates, acsAutoFreeDatabase) && !acDatabase->Destroying()) {
    try {
      TmvAbstractServerObject::Free(acDatabase);
    } catch (...) {
      mvServerLogCurrentException(u"Freeing a database with its last cursor");
    }
  }
}

void TmvAbstractCursor::acLinkToDatabase() {
  TmvPadlockGuard guard(acDatabase->CursorsPadlock());
  TmvOwnerListView<TmvAbstractCursor, &TmvAbstractCursor::acDatabasePrev, &TmvAbstractCursor::acDatabaseNext> list{
      acDatabase->adCursorsHead, acDatabase->adCursorsTail};
  list.Append(this);
}

bool TmvAbstractCursor::acUnlinkFromDatabase() {
  TmvPadlockGuard guard(acDatabase->CursorsPadlock());
  TmvOwnerListView<TmvAbstractCursor, &TmvAbstractCursor::acDatabasePrev, &TmvAbstractCursor::acDatabaseNext> list{
      acDatabase->adCursorsHead, acDatabase->adCursorsTail};
  list.Remove(this);
  return acDatabase->adCursorsHead == nullptr && !acDatabase->Destroying() && acDatabase->adCursorAutoFree;
}

void TmvAbstractCursor::AfterConstruction() {
  TmvAbstractTimeoutObject::AfterConstruction();
  bool done = false;
  mvEngineCountIn(this, &TmvBaseServerEngine::bseCursorCount, done);
  if (done) acStates |= StateBit(acsLockedIncDone);
}

void TmvAbstractCursor::BeforeDestruction() {
  bool done = mvInSet(acStates, acsLockedIncDone);
  mvEngineCountOut(this, &TmvBaseServerEngine::bseCursorCount, done);
  if (!done) acStates &= uint8_t(~StateBit(acsLockedIncDone));
  TmvAbstractTimeoutObject::BeforeDestruction();
}

void TmvAbstractCursor::acLoadFieldsInfo() {
  acFieldsDescriptor = GetTableDescriptor()->GetFieldsDescriptor();
  acRecordLength = uint32_t(acFieldsDescriptor->RecordLength());
  acFieldsDescriptor->GetSpecialFieldsInfo(acSFI);
}

TmvFieldsDescriptor* TmvAbstractCursor::FieldsDescriptor() { return GetTableDescriptor()->GetFieldsDescriptor(); }

TmvDiffCompressorInfo* TmvAbstractCursor::DCI() {
  if (!acDCI) FieldsDescriptor()->GetDiffCompressionInfo(acDCI);
  return acDCI;
}

// ---------------------------------------------------------------------------
// Named services, diagnostics, fields source

int32_t TmvAbstractCursor::CreateInstanceFor(const String& aName, const TGUID& aClassID, IInterface* aOuter,
                                             const TGUID& aInterfaceID, void** aInterface) {
  String head, tail;
  SplitInstancePath(aName, head, tail);
  if (SameClassName(head, u"<Cursor>")) return CreateInstanceFor(tail, aClassID, aOuter, aInterfaceID, aInterface);
  if (SameClassName(head, u"<Database>"))
    return acDatabase->CreateInstanceFor(tail, aClassID, aOuter, aInterfaceID, aInterface);
  return TmvAbstractTimeoutObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TmvAbstractCursor::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvAbstractTimeoutObject::WriteObjectInfo(aContainer);
  aContainer->AddObject(u"Database", acDatabase, false);
}

int32_t TmvAbstractCursor::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IID_ImvFieldsSource) {
    *obj = static_cast<ImvFieldsSource*>(this);
    return S_OK;
  }
  return TmvAbstractTimeoutObject::QueryInterface(iid, obj);
}

bool TmvAbstractCursor::GetFieldForFilter(int32_t aField, const String& aName, const void* aData, TmvFieldType& aType,
                                          uint16_t& aSize, bool& aIsNull, const void*& aValue, uint16_t& aCodePage) {
  return FieldsDescriptor()->GetFieldForFilter(aField, aName, aData, aType, aSize, aIsNull, aValue, aCodePage);
}

int32_t TmvAbstractCursor::GetFieldFromName(const String& aName) { return FieldsDescriptor()->GetFieldFromName(aName); }

int32_t TmvAbstractCursor::GetFieldCount() { return FieldsDescriptor()->GetFieldCount(); }

ImvFieldDescriptor* TmvAbstractCursor::GetFieldDescriptor(int32_t aIndex) {
  return FieldsDescriptor()->GetFieldDescriptor(aIndex);
}

String TmvAbstractCursor::GetSessionUserName() { return Session() ? Session()->UserName() : String(); }

uint32_t TmvAbstractCursor::ReadBlob(int32_t aFieldNo, TmvBlobNr aBlobNr, std::vector<uint8_t>& aContent) {
  aContent.clear();
  try {
    const TmvRecID unverified{};
    uint32_t length = 0;
    if (uint32_t result = sbcBlobGetLength(unverified, aFieldNo, aBlobNr, length, false, nullptr)) return result;
    TmvMemoryStream stream;
    if (uint32_t result = sbcBlobRead(unverified, aFieldNo, aBlobNr, 0, length, &stream, false, nullptr)) return result;
    const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
    aContent.assign(bytes, bytes + stream.GetSize());
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

// ---------------------------------------------------------------------------
// Defaults of the operation set

bool TmvAbstractCursor::acSnapshotRequiredForBlobRead(const TmvRecID&, int32_t, TmvBlobNr, bool) { return true; }

uint32_t TmvAbstractCursor::acTransactionStartForBlobReadSnapshoted() {
  return acDatabase->TransactionStart(false, true);
}

uint32_t TmvAbstractCursor::acTransactionRollbackForBlobReadSnapshoted() { return acDatabase->TransactionRollback(); }

uint32_t TmvAbstractCursor::SavePath() { return NotSupported(u"SavePath"); }

uint32_t TmvAbstractCursor::RestorePath() { return NotSupported(u"RestorePath"); }

void TmvAbstractCursor::RequestNestedTransactions() {
  throw EmvServerException(MVERR_NOTSUPPORTED, u"RequestNestedTransactions is not supported by %s", {ClassName()});
}

void* TmvAbstractCursor::RecordBufferAlloc() {
  void* buffer = mvGetZeroedMemPtr(size_t(FieldsDescriptor()->RecordLength()) + 4);
  try {
    RecordBufferClear(buffer);
  } catch (...) {
    mvFreeMem(buffer);
    throw;
  }
  return buffer;
}

void TmvAbstractCursor::RecordBufferFree(void* aBuffer) {
  if (aBuffer) mvFreeMem(aBuffer);
}

void TmvAbstractCursor::RecordBufferClear(void* aBuffer) {
  if (aBuffer) FieldsDescriptor()->InitRecord(aBuffer);
}

uint32_t TmvAbstractCursor::GetBookmarkCache(void*, uint32_t) { return NotSupported(u"GetBookmarkCache"); }

uint32_t TmvAbstractCursor::SetToCacheBookmark(const void*, uint32_t) { return NotSupported(u"SetToCacheBookmark"); }

uint32_t TmvAbstractCursor::BookmarkCheckLocal(const void*, uint32_t) { return NotSupported(u"BookmarkCheckLocal"); }

uint32_t TmvAbstractCursor::BuildKey(const void*, void*, bool) { return NotSupported(u"BuildKey"); }

uint32_t TmvAbstractCursor::KeyToRecord(const void*, void*) { return NotSupported(u"KeyToRecord"); }

uint32_t TmvAbstractCursor::BlobBatchProcess(const TmvBlobBatchRequest&, std::vector<uint8_t>& aReply) {
  aReply.clear();
  return NotSupported(u"BlobBatchProcess");
}

uint32_t TmvAbstractCursor::BlobAddToCache(const TmvRecID&, int32_t, TmvBlobNr, uint32_t, const void*) {
  return NotSupported(u"BlobAddToCache");
}

bool TmvAbstractCursor::GetNextLSN(TmvLSN&) { return false; }

uint32_t TmvAbstractCursor::ContainsLSNRefNr(TmvLSN& aLSN, TmvRefNr& aRefNr) {
  if (aLSN == 0 && aRefNr == 0) return EmvBaseException::mvSetMessage(MVERR_NOCURRREC, String());
  return NotSupported(u"ContainsLSNRefNr");
}

uint32_t TmvAbstractCursor::GetDeletedRecords(TmvLSN, std::vector<TmvRecordCacheInfo>& aCacheInfos, int32_t,
                                              TmvLSN* aCurrentLSN) {
  aCacheInfos.clear();
  if (aCurrentLSN) *aCurrentLSN = 0;
  return NotSupported(u"GetDeletedRecords");
}

// ---------------------------------------------------------------------------
// Filters and key filters given as expressions or callbacks

namespace {

// Adds a descriptor made for the call through aAdd and frees it afterwards;
// the cursor keeps an engine of its own.
template <typename F>
uint32_t AddThroughDescriptor(TmvBaseFilterDescriptor* aDescriptor, F&& aAdd) {
  uint32_t result;
  try {
    result = aAdd(aDescriptor);
  } catch (...) {
    delete aDescriptor;
    throw;
  }
  delete aDescriptor;
  return result;
}

}  // namespace

uint32_t TmvAbstractCursor::FilterAddExpression(const TmvCANExpr& aExpression, TmvFilterID& aFilterID,
                                                bool aActivated) {
  try {
    return AddThroughDescriptor(new TmvSimpleExpressionFilterDescriptor(aExpression, mvThreadAnsiCodePage()),
                                [&](TmvBaseFilterDescriptor* d) { return FilterAddCustom(d, aFilterID, aActivated); });
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvAbstractCursor::FilterAddCallback(void* aCookie, TmvFilterCallback aCallback, TmvFilterID& aFilterID,
                                              bool aActivated) {
  try {
    return AddThroughDescriptor(new TmvCallbackFilterDescriptor(aCookie, aCallback),
                                [&](TmvBaseFilterDescriptor* d) { return FilterAddCustom(d, aFilterID, aActivated); });
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvAbstractCursor::KeyFilterAddExpression(const TmvCANExpr& aExpression, TmvKeyFilterID& aKeyFilterID) {
  try {
    return AddThroughDescriptor(new TmvSimpleExpressionFilterDescriptor(aExpression, mvThreadAnsiCodePage()),
                                [&](TmvBaseFilterDescriptor* d) { return KeyFilterAddCustom(d, aKeyFilterID); });
  } catch (...) {
    return asoConvertException();
  }
}

uint32_t TmvAbstractCursor::KeyFilterAddCallback(void* aCookie, TmvFilterCallback aCallback,
                                                 TmvKeyFilterID& aKeyFilterID) {
  try {
    return AddThroughDescriptor(new TmvCallbackFilterDescriptor(aCookie, aCallback),
                                [&](TmvBaseFilterDescriptor* d) { return KeyFilterAddCustom(d, aKeyFilterID); });
  } catch (...) {
    return asoConvertException();
  }
}

// ---------------------------------------------------------------------------
// Cursor options

bool TmvAbstractCursor::AddCursorOption(TmvAbstractCursorOption aOption) {
  return AddCursorOptions(mvSetOf({aOption}));
}

bool TmvAbstractCursor::AddCursorOptions(TmvAbstractCursorOptions aOptions) {
  const TmvAbstractCursorOptions before = acOptions;
  acOptions |= aOptions;
  return acOptions != before;
}

bool TmvAbstractCursor::RemoveCursorOption(TmvAbstractCursorOption aOption) {
  return RemoveCursorOptions(mvSetOf({aOption}));
}

bool TmvAbstractCursor::RemoveCursorOptions(TmvAbstractCursorOptions aOptions) {
  const TmvAbstractCursorOptions before = acOptions;
  acOptions &= ~aOptions;
  return acOptions != before;
}

// ---------------------------------------------------------------------------
// Record identities and cache infos

TmvRecID TmvAbstractCursor::acGetRecID(const void* aBuffer) {
  if (!aBuffer) return TmvRecID{-1, -1};
  if (!acSFI) return TmvRecID{};
  return TmvRecID{ReadInt64At(aBuffer, acSFI->sfiOffsets[sftRefNr]),
                  ReadInt64At(aBuffer, acSFI->sfiOffsets[sftInsertLSN])};
}

uint32_t TmvAbstractCursor::ExtractCacheInfo(const void* aData, TmvRecordCacheInfo& aCacheInfo) {
  mvClearRecordCacheInfo(aCacheInfo);
  if (!mvInSet(acStates, acsIsCacheable) || !acCacheableInfo || !acCacheableInfo->ciSFI)
    return NotSupported(u"ExtractCacheInfo");
  if (!aData) return EmvBaseException::mvSetMessage(MVERR_NOCURRREC, String());
  const TmvSpecialFieldsInfo& sfi = *acCacheableInfo->ciSFI;
  aCacheInfo.rciModifyLSN = ReadInt64At(aData, sfi.sfiOffsets[sftModifyLSN]);
  aCacheInfo.rciRefNr = ReadInt64At(aData, sfi.sfiOffsets[sftRefNr]);
  if (aCacheInfo.rciModifyLSN == 0 || aCacheInfo.rciRefNr == 0)
    return EmvBaseException::mvSetMessage(MVERR_NOCURRREC, String());
  return 0;
}

uint32_t TmvAbstractCursor::ContainsCacheInfo(const TmvRecordCacheInfo& aCacheInfo) {
  if (!mvRecordCacheInfoValid(aCacheInfo)) return EmvBaseException::mvSetMessage(MVERR_NOCURRREC, String());
  TmvLSN lsn = aCacheInfo.rciModifyLSN;
  TmvRefNr refNr = aCacheInfo.rciRefNr;
  return ContainsLSNRefNr(lsn, refNr);
}

TmvBatchStreamAccess* TmvAbstractCursor::CreateBatchStreamAccess(TmvMemoryStream* aStream,
                                                                 TmvRecordGetBatchExOptions aOptions) {
  return new TmvBatchStreamAccess(this, aOptions, aStream);
}

// ---------------------------------------------------------------------------
// BLOB fields of a record

bool TmvAbstractCursor::ReadBlobField(const void* aRecord, int32_t aField, TmvBlobNr& aBlobNr) {
  bool isNull = true;
  aBlobNr = 0;
  FieldsDescriptor()->GetRecordField(aField, aRecord, isNull, &aBlobNr);
  if (isNull) aBlobNr = 0;
  return !isNull;
}

void TmvAbstractCursor::WriteBlobField(void* aRecord, int32_t aField, TmvBlobNr aBlobNr) {
  FieldsDescriptor()->SetRecordField(aField, aRecord, aBlobNr == 0 ? nullptr : &aBlobNr);
}

bool TmvAbstractCursor::BlobMarked(int32_t aBlobIndex) const {
  if (aBlobIndex < 0) return false;
  const size_t word = size_t(aBlobIndex) / 32;
  return word < acMarkedBlobs.size() && ((acMarkedBlobs[word] >> (aBlobIndex % 32)) & 1) != 0;
}

uint32_t TmvAbstractCursor::GetBlobs(const void* aData, bool aMarkedOnly, uint16_t& aBlobCount, TmvBlobNr* aBlobNrs) {
  const std::vector<int32_t>& blobFields = acSFI ? acSFI->sfiBlobFields : NoBlobFields();
  const uint16_t capacity = aBlobCount;
  aBlobCount = 0;
  if ((aMarkedOnly && acMarkedBlobs.empty()) || blobFields.empty()) return 0;
  if (!aData) return InvalidParameter();
  uint16_t count = 0;
  for (size_t i = 0; i < blobFields.size(); ++i) {
    if (aMarkedOnly && !BlobMarked(int32_t(i))) continue;
    TmvBlobNr blobNr;
    if (!ReadBlobField(aData, blobFields[i], blobNr) || blobNr == 0) continue;
    if (!aBlobNrs || count >= capacity) {
      aBlobCount = count;
      return EmvBaseException::mvSetMessage(MVERR_OUTOFRANGE, String());
    }
    aBlobNrs[count++] = blobNr;
  }
  aBlobCount = count;
  return 0;
}

uint32_t TmvAbstractCursor::GetBlobs(const void* aData, bool aMarkedOnly, TmvBlobNrs& aBlobNrs) {
  const size_t blobFieldCount = acSFI ? acSFI->sfiBlobFields.size() : 0;
  aBlobNrs.assign(std::min<size_t>(blobFieldCount, 0xFFFF), 0);
  uint16_t count = uint16_t(aBlobNrs.size());
  const uint32_t result = GetBlobs(aData, aMarkedOnly, count, aBlobNrs.data());
  aBlobNrs.resize(result == 0 ? count : 0);
  return result;
}

uint32_t TmvAbstractCursor::BlobsSetMarked(const TmvMarkedBlobsByBlobIdx& aMarkedBlobs) {
  const size_t blobFieldCount = acSFI ? acSFI->sfiBlobFields.size() : 0;
  if (!aMarkedBlobs.empty() && aMarkedBlobs.size() < (blobFieldCount + 31) / 32) return InvalidParameter();
  const bool anyMarked = std::any_of(aMarkedBlobs.begin(), aMarkedBlobs.end(), [](uint32_t w) { return w != 0; });
  if (anyMarked)
    acMarkedBlobs = aMarkedBlobs;
  else
    acMarkedBlobs.clear();
  return 0;
}

uint32_t TmvAbstractCursor::BlobBatchApply(void* aData, const TmvBlobBatchRequest& aRequest,
                                           const TmvBlobBatchReply* aReply) {
  const uint16_t count = aReply ? mvBlobInfoCount(aReply) : 0;
  // Everything is checked before the record changes, so that a refused
  // batch leaves it as it was.
  if (count > aRequest.bbrqEntries.size()) return InvalidParameter();
  TmvFieldsDescriptor* fields = FieldsDescriptor();
  for (uint16_t i = 0; i < count; ++i) {
    const int32_t field = aRequest.bbrqEntries[i].bbrqeFieldNo;
    if (field >= fields->FieldCount() || !mvIsBlobFieldType(fields->FieldDescriptor(field)->FieldType()))
      return InvalidParameter();
  }
  uint32_t result = 0;
  for (uint16_t i = 0; i < count; ++i) {
    TmvBlobBatchReplyEntry replyEntry;
    replyEntry.bbrpeBlobNr = mvBlobInfoBlobNr(aReply, i);
    const uint32_t entryResult = BlobBatchEntryApply(aData, aRequest.bbrqRecID, aRequest.bbrqEntries[i], replyEntry);
    if (entryResult != 0) result = entryResult;
  }
  return result;
}

uint32_t TmvAbstractCursor::BlobBatchEntryApply(void* aData, const TmvRecID&,
                                                const TmvBlobBatchRequestEntry& aRequestEntry,
                                                const TmvBlobBatchReplyEntry& aReplyEntry) {
  if (!aData) return 0;
  TmvFieldsDescriptor* fields = FieldsDescriptor();
  const int32_t field = aRequestEntry.bbrqeFieldNo;
  if (field >= fields->FieldCount() || !mvIsBlobFieldType(fields->FieldDescriptor(field)->FieldType()))
    return InvalidParameter();
  WriteBlobField(aData, field, aReplyEntry.bbrpeBlobNr);
  return 0;
}

// ---------------------------------------------------------------------------
// BLOB reads and writes

uint32_t TmvAbstractCursor::BlobRead(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                                     uint32_t aLen, TStream* aStream, bool aReadOrg, TmvNewBlobNr* aNewBlobNr) {
  return PassThroughCall(
      [&] { return sbcBlobRead(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOrg, aNewBlobNr); });
}

uint32_t TmvAbstractCursor::BlobGetLength(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                          uint32_t& aLength, bool aReadOrg, TmvNewBlobNr* aNewBlobNr) {
  return PassThroughCall([&] { return sbcBlobGetLength(aRecID, aFieldNo, aBlobNr, aLength, aReadOrg, aNewBlobNr); });
}

namespace {

// Calls aRead with the BLOB number N until it no longer reports the BLOB as
// replaced by a new number; a BLOB that keeps moving is given up after the
// retry limit.
template <typename F>
uint32_t FollowReplacedBlob(TmvBlobNr& aBlobNr, TmvNewBlobNr* aNewBlobNr, F&& aRead) {
  for (int retries = 0;; ++retries) {
    if (aNewBlobNr) *aNewBlobNr = TmvNewBlobNr{aBlobNr, false};
    const uint32_t result = aRead(aBlobNr);
    if (result != MVERR_BLOBMODIFIED || !aNewBlobNr || !aNewBlobNr->nbnSet || aNewBlobNr->nbnBlobNr == aBlobNr)
      return result;
    if (retries >= mvBlobReadRetryLimit) return EmvBaseException::mvSetMessage(MVERR_BLOBMODIFIED, String());
    aBlobNr = aNewBlobNr->nbnBlobNr;
  }
}

}  // namespace

uint32_t TmvAbstractCursor::sbcBlobReadSnapshoted(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                                  uint32_t aOffset, uint32_t aLen, TStream* aStream, bool aReadOrg,
                                                  uint32_t* aBlobLen, TmvNewBlobNr* aNewBlobNr) {
  TmvBlobNr blobNr = aBlobNr;
  uint32_t result = 0;
  if (aBlobLen) {
    result = FollowReplacedBlob(blobNr, aNewBlobNr, [&](TmvBlobNr n) {
      return sbcBlobGetLength(aRecID, aFieldNo, n, *aBlobLen, aReadOrg, aNewBlobNr);
    });
  }
  if (result == 0) {
    result = FollowReplacedBlob(blobNr, aNewBlobNr, [&](TmvBlobNr n) {
      return sbcBlobRead(aRecID, aFieldNo, n, aOffset, aLen, aStream, aReadOrg, aNewBlobNr);
    });
  }
  if (aNewBlobNr) *aNewBlobNr = TmvNewBlobNr{blobNr, blobNr != aBlobNr};
  return result;
}

uint32_t TmvAbstractCursor::BlobReadSnapshoted(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr aBlobNr,
                                               uint32_t aOffset, uint32_t aLen, TStream* aStream, bool aReadOrg,
                                               TmvBlobReadSnapshotState& aSnapshot, uint32_t* aBlobLen,
                                               TmvNewBlobNr* aNewBlobNr) {
  if (aSnapshot == brssFailedToStart || aSnapshot == brssFailedToClose || aSnapshot == brssClosed)
    return InvalidParameter();
  return atoPublicCall([&]() -> uint32_t {
    const TmvBlobReadSnapshotState entryState = aSnapshot;
    if (aSnapshot == brssRequestStart) {
      if (!acSnapshotRequiredForBlobRead(aRecID, aFieldNo, aBlobNr, aReadOrg)) {
        aSnapshot = brssUnneccesary;
      } else {
        if (uint32_t started = acTransactionStartForBlobReadSnapshoted()) {
          aSnapshot = brssFailedToStart;
          return started;
        }
        aSnapshot = brssStarted;
      }
    }
    // The length is always asked for: it tells whether this piece ended the
    // BLOB.
    uint32_t localLength = 0;
    uint32_t* blobLen = aBlobLen ? aBlobLen : &localLength;
    const int64_t before = aStream ? aStream->GetPosition() : 0;
    const uint32_t result =
        sbcBlobReadSnapshoted(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOrg, blobLen, aNewBlobNr);
    const int64_t read = aStream ? aStream->GetPosition() - before : 0;
    const bool endOfBlob = read < int64_t(aLen) || int64_t(aOffset) + read == int64_t(*blobLen);
    if (aSnapshot == brssRequestClose || (aSnapshot == brssStarted && endOfBlob)) {
      if (uint32_t closed = acTransactionRollbackForBlobReadSnapshoted()) {
        aSnapshot = brssFailedToClose;
        return closed;
      }
      aSnapshot = entryState == brssRequestStart ? brssUnneccesary : brssClosed;
    }
    return result;
  });
}

uint32_t TmvAbstractCursor::BlobReplace(const TmvRecID& aRecID, int32_t aFieldNo, TmvBlobNr& aBlobNr, uint32_t aLen,
                                        const void* aBlob) {
  return atoPublicCall([&]() -> uint32_t {
    if (aLen == 0) return aBlobNr != 0 ? BlobTruncate(aRecID, aFieldNo, aBlobNr, 0) : 0;
    uint32_t result = aBlobNr != 0 ? BlobTruncate(aRecID, aFieldNo, aBlobNr, 0) : BlobCreate(aRecID, aFieldNo, aBlobNr);
    if (result == 0) result = BlobWrite(aRecID, aFieldNo, aBlobNr, 0, aLen, aBlob);
    return result;
  });
}

// ---------------------------------------------------------------------------
// Field values as variants

Variant TmvAbstractCursor::GetFieldAsVariantSelf(const void* aBuffer, int32_t aField) {
  TimeoutScope scope;
  TmvFieldsDescriptor* fields = FieldsDescriptor();
  if (aField < 0 || aField >= fields->FieldCount() || !mvIsBlobFieldType(fields->FieldDescriptor(aField)->FieldType()))
    return fields->fsdGetFieldByIndexAsVariant(aBuffer, aField);
  TmvFieldDescriptor* field = fields->FieldDescriptor(aField);
  TmvBlobNr blobNr;
  if (!ReadBlobField(aBuffer, aField, blobNr)) return Variant::Null();
  const TmvRecID recID = acGetRecID(aBuffer);
  uint32_t length = 0;
  mvCheckErrorCode(BlobGetLength(recID, aField, blobNr, length, false, nullptr));
  if (length == 0) return Variant::Null();
  TmvMemoryStream stream;
  mvCheckErrorCode(BlobRead(recID, aField, blobNr, 0, length, &stream, false, nullptr));
  // Only the bytes the read delivered count, never more than the length.
  const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
  const size_t delivered = std::min<size_t>(size_t(stream.GetSize()), length);
  switch (field->FieldType()) {
    case mvtBlobWideMemo: {
      // An odd last byte has no character to go into.
      String text(length / 2, u'\0');
      for (size_t i = 0; 2 * i + 1 < delivered; ++i) text[i] = char16_t(LoadLE16(bytes + 2 * i));
      return Variant(text);
    }
    case mvtBlobMemo:
      return Variant(mvBytesToWideString(bytes, int32_t(delivered), field->GetUsedStorageCodePage()));
    default: {
      Variant value = Variant::ByteArray(length);
      if (delivered) std::memcpy(value.ArrayDataForWrite(), bytes, delivered);
      return value;
    }
  }
}

void TmvAbstractCursor::SetFieldAsVariantSelf(void* aBuffer, int32_t aField, const Variant& aValue) {
  TmvFieldsDescriptor* fields = FieldsDescriptor();
  if (aField < 0 || aField >= fields->FieldCount() ||
      !mvIsBlobFieldType(fields->FieldDescriptor(aField)->FieldType())) {
    fields->fsdSetFieldByIndexAsVariant(aBuffer, aField, aValue);
    return;
  }
  const std::vector<uint8_t> bytes = BlobBytesOf(aValue, fields->FieldDescriptor(aField));
  const TmvRecID recID = acGetRecID(aBuffer);
  TmvBlobNr blobNr;
  const bool present = ReadBlobField(aBuffer, aField, blobNr) && blobNr != 0;
  if (!bytes.empty()) {
    if (!present) {
      blobNr = 0;
      mvCheckErrorCode(BlobCreate(recID, aField, blobNr));
      WriteBlobField(aBuffer, aField, blobNr);
    }
    mvCheckErrorCode(BlobWrite(recID, aField, blobNr, 0, uint32_t(bytes.size()), bytes.data()));
    mvCheckErrorCode(BlobTruncate(recID, aField, blobNr, uint32_t(bytes.size())));
  } else if (present) {
    mvCheckErrorCode(BlobDelete(recID, aField, blobNr));
    WriteBlobField(aBuffer, aField, 0);
  } else {
    WriteBlobField(aBuffer, aField, 0);
  }
}

// ---------------------------------------------------------------------------
// Key overloads

uint32_t TmvAbstractCursor::RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, TmvKeyData aKey1, bool aKeyIncl1,
                                     int32_t aFieldCount2, int32_t aPartialLen2, TmvKeyData aKey2, bool aKeyIncl2) {
  return RangeSet(aFieldCount1, aPartialLen1, true, aKey1.Data, aKeyIncl1, aFieldCount2, aPartialLen2, true, aKey2.Data,
                  aKeyIncl2);
}

uint32_t TmvAbstractCursor::RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, TmvRecordData aKey1, bool aKeyIncl1,
                                     int32_t aFieldCount2, int32_t aPartialLen2, TmvRecordData aKey2, bool aKeyIncl2) {
  return RangeSet(aFieldCount1, aPartialLen1, false, aKey1.Data, aKeyIncl1, aFieldCount2, aPartialLen2, false,
                  aKey2.Data, aKeyIncl2);
}

uint32_t TmvAbstractCursor::RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, TmvRecordData aKey1, bool aKeyIncl1,
                                     int32_t aFieldCount2, int32_t aPartialLen2, TmvKeyData aKey2, bool aKeyIncl2) {
  return RangeSet(aFieldCount1, aPartialLen1, false, aKey1.Data, aKeyIncl1, aFieldCount2, aPartialLen2, true,
                  aKey2.Data, aKeyIncl2);
}

uint32_t TmvAbstractCursor::RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, TmvKeyData aKey1, bool aKeyIncl1,
                                     int32_t aFieldCount2, int32_t aPartialLen2, TmvRecordData aKey2, bool aKeyIncl2) {
  return RangeSet(aFieldCount1, aPartialLen1, true, aKey1.Data, aKeyIncl1, aFieldCount2, aPartialLen2, false,
                  aKey2.Data, aKeyIncl2);
}

uint32_t TmvAbstractCursor::SetToKey(TmvSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen,
                                     TmvRecordData aKey) {
  return SetToKey(aSearchAction, aFieldCount, aPartialLen, false, aKey.Data);
}

uint32_t TmvAbstractCursor::SetToKey(TmvSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen,
                                     TmvKeyData aKey) {
  return SetToKey(aSearchAction, aFieldCount, aPartialLen, true, aKey.Data);
}

uint32_t TmvAbstractCursor::RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, TmvKeyData aKey, void* aData,
                                            bool aMatchFirst, bool aFirstCall) {
  return RecordGetForKey(aFieldCount, aPartialLen, true, aKey.Data, aData, aMatchFirst, aFirstCall);
}

uint32_t TmvAbstractCursor::RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, TmvRecordData aKey, void* aData,
                                            bool aMatchFirst, bool aFirstCall) {
  return RecordGetForKey(aFieldCount, aPartialLen, false, aKey.Data, aData, aMatchFirst, aFirstCall);
}

// ---------------------------------------------------------------------------
// TmvAbstractServerCursor

uint32_t TmvAbstractServerCursor::ascBlobRequestCache(const TmvRecID&, int32_t, TmvBlobNr) {
  return NotSupported(u"ascBlobRequestCache");
}

// ---------------------------------------------------------------------------
// TmvSqlAbstractCursor

TmvSqlAbstractCursor::~TmvSqlAbstractCursor() {
  if (TmvPadlock* lock = __atomic_load_n(&sbcOnRequestCloseLock, __ATOMIC_ACQUIRE)) {
    {
      TmvPadlockGuard guard(lock);
      sbcOnRequestClose.reset();
    }
    delete lock;
    sbcOnRequestCloseLock = nullptr;
  }
}

void TmvSqlAbstractCursor::sbcSetOnRequestClose(ImvRequestCloseHandler* aHandler) {
  if (Destroying()) return;
  TmvPadlock::CreateAndLock(sbcOnRequestCloseLock);
  sbcOnRequestClose = TInterfacePtr<ImvRequestCloseHandler>(aHandler);
  sbcOnRequestCloseLock->Unlock();
}

TInterfacePtr<ImvRequestCloseHandler> TmvSqlAbstractCursor::sbcGetOnRequestClose() {
  TmvPadlock* lock = __atomic_load_n(&sbcOnRequestCloseLock, __ATOMIC_ACQUIRE);
  if (!lock || Destroying()) return nullptr;
  TmvPadlockGuard guard(lock);
  return sbcOnRequestClose;
}
