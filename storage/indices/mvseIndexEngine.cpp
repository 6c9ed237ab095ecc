// Storage engines: the index engine interface, paths, header values and
// bulk builders. See mvseIndexEngine.h.
#include "storage/indices/mvseIndexEngine.h"

#include <algorithm>
#include <fstream>
#include <memory>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllUtils.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/transactions/mvsrTransaction.h"

namespace {

constexpr const char16_t* kKeyErrorTypeNames[] = {u"Insert", u"Delete", u"Modify/Delete", u"Modify/Insert",
                                                  u"BulkCreate"};
constexpr const char16_t* kPositionNames[] = {u"ippUnknown",       u"ippBof", u"ippOnCrackBefore",
                                              u"ippOnCrackAfter", u"ippOnKey", u"ippEof"};

// A line of the key-violation text: the text, then a custom-info tag with
// the value alone.
String ViolationLine(const String& aName, const String& aShown, const String& aValue) {
  return u"\r\n" + aName + u": " + aShown + mvMakeCustomInfoTag(aName, aValue);
}

}  // namespace

String mvKeyErrorTypeName(TmvKeyErrorType aType) { return kKeyErrorTypeNames[aType]; }
String mvIndexPathPositionName(TmvIndexPathPosition aPosition) { return kPositionNames[aPosition]; }

// ---------------------------------------------------------------------------
// TmvBaseIndexHeaderAccess

TmvBaseIndexHeaderAccess::TmvBaseIndexHeaderAccess(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndex,
                                                   bool aFileMarkDirty, bool aIndexMarkDirty, int32_t aFieldCount,
                                                   int32_t aPartialLen)
    : bhaTrans(aTrans),
      bhaFileMarkDirty(aFileMarkDirty),
      bhaIndexMarkDirty(aIndexMarkDirty),
      bhaID(aIndex->bieIndicesEngine->bseID),
      bhaIndex(aIndex),
      bhaFieldCount(aFieldCount),
      bhaPartialLen(aPartialLen) {}

TmvBaseIndexHeaderAccess::~TmvBaseIndexHeaderAccess() { delete bhaFileHeader; }

void TmvBaseIndexHeaderAccess::SetCompareDate(int32_t aFieldCount, int32_t aPartialLen) {
  bhaFieldCount = aFieldCount;
  bhaPartialLen = aPartialLen;
}

TmvBaseFileHeaderAccess* TmvBaseIndexHeaderAccess::FileHeader() {
  if (!bhaFileHeader) bhaFileHeader = bhaIndex->bieIndexFile->HeaderAccess(bhaTrans, bhaFileMarkDirty);
  return bhaFileHeader;
}

// ---------------------------------------------------------------------------
// TmvBaseIndexPath

TmvBaseIndexPath::TmvBaseIndexPath(TmvBaseIndexEngine* aIndexEngine)
    : bipIndexEngine(aIndexEngine),
      bipBookmarkHandler(aIndexEngine ? aIndexEngine->bieBookmarkHandler : TmvBookmarkHandler::Shared()) {
  if (aIndexEngine) Key = aIndexEngine->bieKeyEngine->AllocKey();
}

TmvBaseIndexPath* TmvBaseIndexPath::CreateStandalone() { return new TmvBaseIndexPath(nullptr); }

TmvBaseIndexPath::~TmvBaseIndexPath() {
  if (Key) KeyEngine()->FreeKey(Key);
}

TmvBaseKeyEngine* TmvBaseIndexPath::KeyEngine() const { return bipIndexEngine ? bipIndexEngine->bieKeyEngine : nullptr; }

TmvBaseIndexPath* TmvBaseIndexPath::Duplicate() {
  TmvBaseIndexPath* copy = bipIndexEngine ? bipIndexEngine->CreateIndexPath() : CreateStandalone();
  copy->Assign(this);
  return copy;
}

void TmvBaseIndexPath::Assign(const TPersistent* aSource) {
  const auto* source = dynamic_cast<const TmvBaseIndexPath*>(aSource);
  if (!source || source->bipIndexEngine != bipIndexEngine) return TmvPersistent::Assign(aSource);
  RefNr = source->RefNr;
  CacheRefNr = source->CacheRefNr;
  Position = source->Position;
  KeyValid = source->KeyValid;
  if (KeyValid && Key) KeyEngine()->CopyKey(source->Key, Key);
  Deleted = source->Deleted;
}

void TmvBaseIndexPath::Clear() {
  RefNr = 0;
  CacheRefNr = 0;
  KeyValid = false;
  Position = ippUnknown;
  Deleted = false;
}

void TmvBaseIndexPath::SetToBof() {
  Clear();
  Position = ippBof;
}

void TmvBaseIndexPath::SetToEof() {
  Clear();
  Position = ippEof;
}

void TmvBaseIndexPath::SetToCrackBefore() {
  if (!IsOnCrack() && !IsOnKey()) return;
  Position = ippOnCrackBefore;
  Deleted = false;
}

void TmvBaseIndexPath::SetToCrackAfter() {
  if (!IsOnCrack() && !IsOnKey()) return;
  Position = ippOnCrackAfter;
  Deleted = false;
}

void TmvBaseIndexPath::SetToDeleted() {
  if (!IsOnKey()) return;
  Position = ippOnCrackBefore;
  Deleted = true;
}

int32_t TmvBaseIndexPath::SetToRecord(const void* aRecord, TmvRefNr aRefNr) {
  Clear();
  TmvBaseKeyEngine* keys = KeyEngine();
  int32_t code = 0;
  if (keys) {
    code = int32_t(keys->BuildKey(aRecord, Key, aRefNr, true));
    KeyValid = code == 0;
    if (code == MVERR_INVALIDPARAM) code = 0;
    if (bipIndexEngine->bieRefNrOffset >= 0)
      CacheRefNr = TmvRefNr(mvGetU64(aRecord, uint32_t(bipIndexEngine->bieRefNrOffset)));
  }
  if (code != 0) return code;
  RefNr = aRefNr;
  Position = ippOnKey;
  return 0;
}

int32_t TmvBaseIndexPath::CheckCurrentState() const {
  if (Deleted) return MVERR_KEYORRECDELETED;
  switch (Position) {
    case ippBof: return MVERR_BOF;
    case ippOnKey: return 0;
    case ippEof: return MVERR_EOF;
    default: return MVERR_NOCURRREC;
  }
}

uint32_t TmvBaseIndexPath::BookmarkSize() const { return bipBookmarkHandler->BookmarkSize(); }

int32_t TmvBaseIndexPath::GetBookmark(uint8_t* aBookmark, uint32_t aSize, bool aIsCache) const {
  if (!aBookmark || aSize < BookmarkSize()) return int32_t(EmvBaseException::mvSetMessage(MVERR_INVALIDPARAM, String()));
  bipBookmarkHandler->WriteBookmark(aBookmark, Position, KeyValid, Deleted, aIsCache ? CacheRefNr : RefNr, Key);
  return 0;
}

int32_t TmvBaseIndexPath::CheckBookmark(const uint8_t* aBookmark, uint32_t aSize) const {
  return bipBookmarkHandler->CheckBookmark(aBookmark, aSize);
}

int32_t TmvBaseIndexPath::CompareBookmarks(const uint8_t* aBookmark1, const uint8_t* aBookmark2, uint32_t aSize,
                                           int32_t& aCompResult) const {
  return bipBookmarkHandler->CompareBookmarks(aBookmark1, aBookmark2, aSize, aCompResult);
}

int32_t TmvBaseIndexPath::BookmarkAsVariant(const uint8_t* aBookmark, uint32_t aSize, Variant& aVariant) const {
  return bipBookmarkHandler->BookmarkAsVariant(aBookmark, aSize, aVariant);
}

int32_t TmvBaseIndexPath::SetToBookmark(const uint8_t* aBookmark, uint32_t aSize, bool aIsCache) {
  if (int32_t code = CheckBookmark(aBookmark, aSize)) return code;
  const TmvIndexPathPosition position = TmvBookmarkHandler::Position(aBookmark);
  const TmvRefNr ref = TmvBookmarkHandler::RefNr(aBookmark);
  const bool deleted = TmvBookmarkHandler::Deleted(aBookmark);
  const bool keyValid = TmvBookmarkHandler::KeyValid(aBookmark);
  const uint8_t* key = TmvBookmarkHandler::Key(aBookmark);
  TmvBaseKeyEngine* keys = KeyEngine();
  if (position == Position && ref == (aIsCache ? CacheRefNr : RefNr) && deleted == Deleted) {
    // The same place: keep what the path knows, adding the key it lacks.
    const bool differs = KeyValid && keyValid && keys && keys->CompareKey(Key, key) != 0;
    if (!differs) {
      if (!KeyValid && keyValid && keys) {
        keys->CopyKey(key, Key);
        KeyValid = true;
      }
      return 0;
    }
  }
  Position = position;
  RefNr = aIsCache ? 0 : ref;
  CacheRefNr = aIsCache ? ref : 0;
  Deleted = deleted;
  KeyValid = keyValid && keys;
  if (keys) {
    if (KeyValid) keys->CopyKey(key, Key);
    else keys->ClearKey(Key);
  }
  return 0;
}

void TmvBaseIndexPath::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvPersistent::WriteObjectInfo(aContainer);
  aContainer->AddObject(u"IndexEngine", bipIndexEngine, false);
  aContainer->AddInteger(u"RefNr", RefNr);
  aContainer->AddInteger(u"CacheRefNr", CacheRefNr);
  aContainer->AddBoolean(u"KeyValid", KeyValid);
  if (KeyValid && KeyEngine()) KeyEngine()->KeyAsExceptionData(Key, aContainer->AddContainer(u"Key"));
  aContainer->AddString(u"Position", mvIndexPathPositionName(Position));
  aContainer->AddBoolean(u"Deleted", Deleted);
}

// ---------------------------------------------------------------------------
// Bulk builders

TmvBaseIndexBulkBuilder::TmvBaseIndexBulkBuilder(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndexEngine)
    : bibbIndexEngine(aIndexEngine),
      bibbKeyEngine(aIndexEngine->bieKeyEngine),
      bibbRefNrOffest(aIndexEngine->bieRefNrOffset) {
  std::unique_ptr<TmvBaseIndexHeaderAccess> header(aIndexEngine->CreateHeaderAccess(aTrans, false, false, 0, 0));
  if (header->GetIndexRoot() != -1 || header->GetIndexPageCount() != 0 || header->GetIndexKeyCount() != 0)
    throw EmvBaseIndexEngineException(MVERR_INDEXNOTEMPTY);
}

TmvDefaultIndexBulkBuilder::TmvDefaultIndexBulkBuilder(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndexEngine)
    : TmvBaseIndexBulkBuilder(aTrans, aIndexEngine), dibbKey(bibbKeyEngine->AllocKey()) {}

TmvDefaultIndexBulkBuilder::~TmvDefaultIndexBulkBuilder() { bibbKeyEngine->FreeKey(dibbKey); }

int32_t TmvDefaultIndexBulkBuilder::InsertKey(TmvRefNr aRefNr, const void* aRecord, TmvBaseTransaction* aTrans) {
  const uint32_t built = bibbKeyEngine->BuildKey(aRecord, dibbKey, aRefNr, false);
  if (built == 1) return 0;
  if (built != 0) return int32_t(built);
  const TmvRefNr cacheRefNr = bibbRefNrOffest >= 0 ? TmvRefNr(mvGetU64(aRecord, uint32_t(bibbRefNrOffest))) : 0;
  if (bibbIndexEngine->InsertKey(aTrans, dibbKey, aRefNr, cacheRefNr, nullptr)) return 0;
  const int32_t code = bibbIndexEngine->GetKeyError(etInsert, dibbKey, aRefNr);
  aTrans->MarkCorrupted();
  return code;
}

int32_t TmvDefaultIndexBulkBuilder::Finalize(TmvBaseTransaction*) { return 0; }

TmvBulkBuilderHub::TmvBulkBuilderHub(TmvBaseTransaction* aTrans,
                                     const std::vector<TmvBaseIndexEngine*>& aIndexEngines) {
  try {
    for (TmvBaseIndexEngine* index : aIndexEngines) bbhBulkBuilders.push_back(index->CreateBulkBuilder(aTrans));
  } catch (...) {
    for (TmvBaseBulkBuilder* builder : bbhBulkBuilders) delete builder;
    throw;
  }
}

TmvBulkBuilderHub::~TmvBulkBuilderHub() {
  for (TmvBaseBulkBuilder* builder : bbhBulkBuilders) delete builder;
}

int32_t TmvBulkBuilderHub::InsertKey(TmvRefNr aRefNr, const void* aRecord, TmvBaseTransaction* aTrans) {
  for (TmvBaseBulkBuilder* builder : bbhBulkBuilders)
    if (int32_t code = builder->InsertKey(aRefNr, aRecord, aTrans)) return code;
  return 0;
}

int32_t TmvBulkBuilderHub::Finalize(TmvBaseTransaction* aTrans) {
  for (TmvBaseBulkBuilder* builder : bbhBulkBuilders)
    if (int32_t code = builder->Finalize(aTrans)) return code;
  return 0;
}

// ---------------------------------------------------------------------------
// TmvBaseIndexEngine

TmvBaseIndexEngine::TmvBaseIndexEngine(TmvBaseIndicesEngine* aIndicesEngine, TmvBaseKeyEngine* aKeyEngine,
                                       TmvIndexDescriptor* aIndexDescriptor)
    : TmvBaseSubEngine(aIndexDescriptor->GetID(), nullptr),
      bieIndicesEngine(aIndicesEngine),
      bieKeyEngine(aKeyEngine),
      bieBookmarkHandler(new TmvBookmarkHandler(aIndexDescriptor->GetNumber(), aKeyEngine)),
      bieIndexFile(aIndicesEngine->biseGetFile(aIndexDescriptor->GetFileNumber())),
      bieIndexNumber(aIndexDescriptor->GetNumber()),
      bieIndexName(aIndexDescriptor->GetName()),
      bieMaxFieldCount(aKeyEngine->GetMaxFieldCount()),
      bieRefNrOffset(aIndicesEngine->RefNrOffset()) {
  bseTableVersion = aIndicesEngine->bseTableVersion;
  TmvBaseKeyDescriptor* key = aIndexDescriptor->GetKeyDescriptor();
  const TmvIndexDups dups = aIndexDescriptor->GetDups();
  // Null-only duplicates mean nothing for a key that cannot be null.
  const bool nullable = key && key->CanContainNulls();
  bieDups = dups != idNone && (dups != idNull || nullable);
  bieDupsNullOnly = dups == idNull && nullable;
  bieKeysAreRefs = dynamic_cast<TmvRefKeyDescriptor*>(key) != nullptr;
}

TmvBaseIndexEngine::~TmvBaseIndexEngine() {
  delete bieBookmarkHandler;
  delete bieKeyEngine;
}

TmvClassRegistry* TmvBaseIndexEngine::GetList() { return mvFamilyRegistry<TmvBaseIndexEngine>(); }

constinit const TmvIndexEngineClassRef TmvBaseIndexEngine::StaticClass{
    {{u"TmvBaseIndexEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseIndexEngine::GetList,
     &TmvBaseSubEngine::NoTableCheck},
    nullptr,
    &TmvBaseIndexEngine::CheckKeyDescriptor};

TmvBaseIndexEngine* TmvBaseIndexEngine::CreateEngine(TmvBaseIndicesEngine* aIndicesEngine,
                                                     TmvBaseKeyEngine* aKeyEngine,
                                                     TmvIndexDescriptor* aIndexDescriptor) {
  std::unique_ptr<TmvBaseKeyEngine> keys(aKeyEngine);
  auto create = mvSubEngineConstructor<EmvBaseIndexEngineException>(
      StaticClass, u"index", aIndexDescriptor->GetIndexEngine(), &TmvIndexEngineClassRef::Create);
  TmvBaseIndexEngine* engine = create(aIndicesEngine, aKeyEngine, aIndexDescriptor);
  keys.release();
  return engine;
}

void TmvBaseIndexEngine::CheckValidBaseFromDescriptor(TmvIndexDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  mvSubEngineClass<EmvBaseIndexEngineException>(StaticClass, u"index", aDescriptor->GetIndexEngine())
      .CheckKeyDescriptor(aDescriptor);
}

void TmvBaseIndexEngine::CheckKeyDescriptor(TmvIndexDescriptor* aIndexDescriptor) {
  if (aIndexDescriptor->GetParent())
    TmvBaseKeyEngine::CheckValidBaseFromDescriptor(aIndexDescriptor->GetKeyDescriptor());
}

void TmvBaseIndexEngine::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvBaseSubEngine::WriteObjectInfo(aContainer);
  aContainer->AddInteger(u"IndexNumber", bieIndexNumber);
  aContainer->AddString(u"IndexName", bieIndexName);
  aContainer->AddBoolean(u"Dups", bieDups);
  aContainer->AddBoolean(u"DupsNullOnly", bieDupsNullOnly);
  aContainer->AddBoolean(u"KeysAreRefs", bieKeysAreRefs);
  aContainer->AddObject(u"KeyEngine", bieKeyEngine, false);
}

TmvBaseIndexHeaderAccess* TmvBaseIndexEngine::CreateHeaderAccess(TmvBaseTransaction* aTrans, bool aFileMarkDirty,
                                                                 bool aIndexMarkDirty, int32_t aFieldCount,
                                                                 int32_t aPartialLen) {
  return bieIndicesEngine->IndexHeaderAccessClass()(aTrans, this, aFileMarkDirty, aIndexMarkDirty, aFieldCount,
                                                    aPartialLen);
}

TmvBaseIndexPath* TmvBaseIndexEngine::CreateIndexPath() { return IndexPathClass()(this); }

namespace {
TmvBaseBulkBuilder* CreateDefaultBulkBuilder(TmvBaseTransaction* aTrans, TmvBaseIndexEngine* aIndexEngine) {
  return new TmvDefaultIndexBulkBuilder(aTrans, aIndexEngine);
}
}  // namespace

TmvBulkBuilderClass TmvBaseIndexEngine::GetBulkBuilderClass() { return &CreateDefaultBulkBuilder; }

TmvBaseBulkBuilder* TmvBaseIndexEngine::CreateBulkBuilder(TmvBaseTransaction* aTrans) {
  return GetBulkBuilderClass()(aTrans, this);
}

int32_t TmvBaseIndexEngine::GetKeyError(TmvKeyErrorType aErrorType, const void* aKey, TmvRefNr aRefNr) {
  const String operation = mvKeyErrorTypeName(aErrorType);
  const String file = bieIndexFile->_File()->FileName();
  const String key = bieKeyEngine->KeyAsString(aKey);
  const String refNr = mvInt64ToStr(aRefNr);
  String text = mvOriginalMessageMarker();
  text += ViolationLine(u"Operation", operation, operation);
  text += ViolationLine(u"File", u"\"" + file + u"\"", file);
  text += ViolationLine(u"Index", u"\"" + bieIndexName + u"\"", bieIndexName);
  text += ViolationLine(u"Key", key, key);
  text += ViolationLine(u"RefNr", refNr, refNr);
  return int32_t(EmvBaseException::mvSetMessage(MVERR_KEYVIOL, text));
}

TmvRefNr TmvBaseIndexEngine::SeqAccessLookup(TmvBaseTransaction*, TmvRefNr, TmvBaseIndexPath*) { return 0; }

uint32_t TmvBaseIndexEngine::bieGetKeyCount(TmvBaseTransaction* aTrans) {
  std::unique_ptr<TmvBaseIndexHeaderAccess> header(CreateHeaderAccess(aTrans, false, false, 0, 0));
  return header->GetIndexKeyCount();
}

bool TmvBaseIndexEngine::NLSVersionChanged() const { return bieKeyEngine->bkeNLSVersionChanged; }
bool TmvBaseIndexEngine::ContainsExtended() const { return bieKeyEngine->bkeContainsExtended; }

String TmvBaseIndexEngine::RecordText(TmvBaseTransaction* aTrans, TmvRefNr aRefNr) {
  TmvBaseRecordEngine* records = bieIndicesEngine->RecordEngine();
  if (!records) return mvInt64ToStr(aRefNr);
  records->ReadRecord(aTrans, aRefNr, records->TempRecBuf);
  return records->breFieldsDescriptor->RecordBufferToString(records->TempRecBuf);
}

void TmvBaseIndexEngine::_SaveAll(TmvBaseTransaction* aTrans, const String& aFileName) {
  const String name = aFileName.empty() ? GetTempPath() + u"IndexDump_" + bieIndexName + u".txt" : aFileName;
  std::ofstream out(UTF8Encode(name), std::ios::binary | std::ios::trunc);
  if (!out) throw EmvBaseIndexEngineException(MVERR_INVALIDPARAM, u"Cannot write \"%s\"", {name});
  std::unique_ptr<TmvBaseIndexPath> path(CreateIndexPath());
  path->SetToBof();
  uint8_t* data = nullptr;
  Iterate(aTrans, path.get(), data,
          [&](void*, TmvRefNr aRefNr, const uint8_t* aKey) {
            out << UTF8Encode(RecordText(aTrans, aRefNr)) << ": " << UTF8Encode(bieKeyEngine->KeyAsString(aKey))
                << "\r\n";
            return kirContinue;
          },
          nullptr, nullptr, TmvRangeInfo{}, TmvRangeInfo{}, nullptr, nullptr, false);
}
