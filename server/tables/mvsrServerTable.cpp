// Server engine: the open tables of a folder. See mvsrServerTable.h.
#include "server/tables/mvsrServerTable.h"

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/items/mvsdFileDescriptor.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptionData.h"
#include "foundation/mvllStreams.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "server/mvsrServerEngine.h"
#include "server/tables/mvsrServerFolder.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "server/transactions/mvsrTransactionLevelTableLink.h"
#include "storage/blobs/mvseBlobEngine.h"
#include "storage/files/mvsrEncryption.h"
#include "storage/files/mvsrFileUtils.h"
#include "storage/header/mvsrServerDataDict.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/mvsrFulltextEngine.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/streams/mvseStreamEngine.h"
#include "storage/transactions/mvsrCommit.h"

constinit const ClassRef TmvServerBaseTable::StaticClass{u"TmvServerBaseTable",
                                                         &TmvLockedOptionsExtendableServerObject::StaticClass};
constinit const ClassRef TmvServerRootTable::StaticClass{u"TmvServerRootTable", &TmvServerBaseTable::StaticClass};

thread_local bool mvOpeningTableForRecovery = false;

namespace {

// The encryption engines a table built with a password gets when its
// dictionary names none: the first one registered.
constexpr const char16_t* kDefaultEncryption[] = {u"mvsAesCcm256", u"mvsAesCcm128", u"mv1xDefault"};
// The stream format the dictionary is stored in.
constexpr int32_t kDictionaryFormat = 47501;

uint32_t NoSuchTable(const String& aText) {
  return EmvBaseException::mvSetMessage(MVERR_NOSUCHTABLE, mvOriginalMessageMarker() + aText);
}

String Quoted(const String& aText) { return u"\"" + aText + u"\""; }

// A number for each table object of the process, for the names of unnamed
// tables; and the count of unnamed tables.
std::atomic<uint64_t> gTableObjects{0};
std::atomic<uint64_t> gUnnamedTables{0};

String UnnamedName(uint64_t aObject) {
  return u" UnnamedTable_" + UTF8ToString(std::to_string(aObject)) + u"_" +
         UTF8ToString(std::to_string(gUnnamedTables.fetch_add(1, std::memory_order_relaxed) + 1));
}

const char16_t* ScopeName(TmvTableScope aScope) {
  static constexpr const char16_t* kNames[] = {u"tsPersistent", u"tsTempGlobal", u"tsTempDatabase", u"tsTempUnnamed"};
  return kNames[aScope];
}
const char16_t* OpenModeName(TmvOpenMode aMode) {
  static constexpr const char16_t* kNames[] = {u"omReadOnly", u"omWriteOnly", u"omReadWrite", u"omNone"};
  return kNames[aMode];
}
const char16_t* ShareModeName(TmvShareMode aMode) {
  static constexpr const char16_t* kNames[] = {u"smExclusive", u"smShared", u"smShareRead"};
  return kNames[aMode];
}
const char16_t* HowMany(size_t aCount) { return aCount == 0 ? u"None" : aCount == 1 ? u"One" : u"Multiple"; }

template <typename T>
void FreeEngine(T*& aEngine) {
  T* engine = aEngine;
  aEngine = nullptr;
  delete engine;
}

// A field's 64-bit value; 0 when null.
int64_t Int64Field(TmvFieldsDescriptor* aFields, int32_t aField, const uint8_t* aRecord, bool& aIsNull) {
  int64_t value = 0;
  aFields->GetRecordField(aField, aRecord, aIsNull, &value);
  return aIsNull ? 0 : value;
}

uint32_t RecRevField(TmvFieldsDescriptor* aFields, int32_t aField, const uint8_t* aRecord) {
  uint32_t value = 0;
  bool isNull = false;
  aFields->GetRecordField(aField, aRecord, isNull, &value);
  return isNull ? 0 : value;
}

[[noreturn]] void RecordChanged() { throw EmvServerEngineException(MVERR_RECCHANGEDBYOTHER); }

// Table names without regard to case: the ASCII letters fold, as the
// folder's table list compares.
bool SameName(const String& a, const String& b) { return SameClassName(a, b); }

// A file's name without its folder and its extension.
String BaseNameOf(const String& aFileName) {
  const size_t slash = aFileName.rfind(u'/');
  String name = slash == String::npos ? aFileName : aFileName.substr(slash + 1);
  const size_t dot = name.rfind(u'.');
  return dot == String::npos ? name : name.substr(0, dot);
}

}  // namespace

String mvTableFileID(TmvBaseFile* aFile) {
  // The file's full ID ends with the device and the inode (a GUID):
  // "...;<device>;<inode>". The name and the times before them change when
  // a file is renamed or touched; a copy changes the inode.
  const String id = aFile->GetFileID();
  if (aFile->IsTemporary()) return id;
  const size_t last = id.rfind(u';');
  if (last == String::npos || last == 0) return id;
  const size_t device = id.rfind(u';', last - 1);
  return device == String::npos ? id : id.substr(device + 1);
}

// ---------------------------------------------------------------------------
// Base tables

TmvServerBaseTable::TmvServerBaseTable(TmvExtendableServerObject* aOwner, TmvServerBaseTable* aParent,
                                       const String& aName, TmvBaseTableDescriptor* aTableDescriptor)
    : TmvLockedOptionsExtendableServerObject(aOwner),
      sbtRoot(aParent ? aParent->sbtRoot : nullptr),
      sbtParent(aParent),
      sbtNameInScope(aName),
      sbtTableDescriptor(aTableDescriptor),
      sbtFieldsDescriptor(aTableDescriptor ? aTableDescriptor->GetFieldsDescriptor() : nullptr) {}

TmvServerBaseTable::~TmvServerBaseTable() {
  if (sbtLockIsInactive.load(std::memory_order_acquire) != 0)
    mvServerLogError(u"A table went while its inactivity counter was raised: " + sbtNameInScope);
  if (!sbtCursors.empty()) mvServerLogError(u"A table went while cursors were registered on it: " + sbtNameInScope);
  try {
    sbtCloseParts();
  } catch (...) {
    mvServerLogCurrentException(u"Freeing the parts of a table");
  }
}

TmvBaseServerEngine* TmvServerBaseTable::GetServerEngine() {
  return sbtRoot && sbtRoot->Folder() ? sbtRoot->Folder()->ServerEngine() : nullptr;
}

String TmvServerBaseTable::FullName() { return sbtParent ? sbtParent->FullName() + u":" + sbtNameInScope : sbtNameInScope; }

bool TmvServerBaseTable::IsCache() {
  return sbtTableDescriptor && sbtTableDescriptor->GetCachingState() == tcsIsCache;
}

TmvLSN TmvServerBaseTable::sbtCurrentLSN(TmvBaseTransaction* aTrans) {
  return sbtBlockAccess.empty() ? 0 : sbtBlockAccess[0]->CurrentLSN(aTrans);
}

uint32_t TmvServerBaseTable::GetChild(const String& aChildName, TmvServerBaseTable*& aTable) {
  aTable = nullptr;
  TmvServerBaseTable* at = this;
  String rest = aChildName;
  while (!rest.empty()) {
    const size_t colon = rest.find(u':');
    const String part = rest.substr(0, colon);
    rest = colon == String::npos ? String() : rest.substr(colon + 1);
    if (part == u".") continue;
    if (part == u"..") {
      if (!at->sbtParent) return NoSuchTable(u" No parent for table " + Quoted(sbtRoot->FullName()));
      at = at->sbtParent;
      continue;
    }
    const int32_t index = at->sbtChildNames.IndexOf(part);
    if (index < 0) return NoSuchTable(u" No child table called " + Quoted(part) + u" in table " + Quoted(at->FullName()));
    at = static_cast<TmvServerBaseTable*>(at->sbtChildNames.GetObject(index));
  }
  aTable = at;
  return 0;
}

void TmvServerBaseTable::sbtOpenParts(TmvBaseTransaction* aTrans) {
  TmvServerRootTable* root = sbtRoot;
  sbtFieldsDescriptor = sbtTableDescriptor->GetFieldsDescriptor();
  if (sbtBlockAccess.empty()) {
    const String name = FullName();
    const int32_t id = this == root ? 0 : sbtTableDescriptor->GetID();
    for (int32_t i = 0; i < root->FileCount(); ++i)
      sbtBlockAccess.push_back(new TmvBlockAccess(root->File(i), this == root ? nullptr : root->sbtBlockAccess[size_t(i)],
                                                  name, id));
  }
  sbtFieldsDescriptor->GetSpecialFieldsInfo(sbtSFI);
  sbtBlobEngine = TmvBaseBlobEngine::CreateEngine(sbtTableDescriptor, sbtBlockAccess, aTrans);
  sbtRecordEngine = TmvBaseRecordEngine::CreateEngine(sbtTableDescriptor, sbtBlockAccess, aTrans);
  sbtAutoIncEngine = TmvBaseAutoIncEngine::CreateEngine(sbtTableDescriptor, sbtBlockAccess, aTrans);
  if (!mvOpeningTableForRecovery) {
    sbtIndicesEngine =
        TmvBaseIndicesEngine::CreateEngine(sbtTableDescriptor, sbtBlockAccess, sbtRecordEngine, aTrans, false);
    sbtInternalIndicesEngine = TmvBaseIndicesEngine::CreateEngine(sbtTableDescriptor->GetInternalIndicesDescriptor(),
                                                                  sbtBlockAccess, sbtRecordEngine, aTrans, false);
    sbtFulltextEngine =
        TmvBaseFulltextTableEngine::CreateFor(sbtTableDescriptor, sbtBlockAccess, sbtIndicesEngine, aTrans);
  }
  if (TmvTablesDescriptor* tables = sbtTableDescriptor->GetTablesDescriptor()) {
    for (int32_t i = 0; i < tables->TableCount(); ++i) {
      TmvNestedTableDescriptor* descriptor = tables->TableDescriptor(i);
      auto* child = TmvAbstractServerObject::Create<TmvServerBaseTable>(this, this, descriptor->GetName(), descriptor);
      sbtChildren.push_back(child);
      sbtChildNames.AddObject(descriptor->GetName(), child);
      child->sbtOpenParts(aTrans);
    }
  }
}

void TmvServerBaseTable::sbtCloseParts() {
  while (!sbtChildren.empty()) {
    TmvServerBaseTable* child = sbtChildren.back();
    sbtChildren.pop_back();
    delete child;
  }
  sbtChildNames.Clear();
  FreeEngine(sbtFulltextEngine);
  FreeEngine(sbtInternalIndicesEngine);
  FreeEngine(sbtIndicesEngine);
  FreeEngine(sbtAutoIncEngine);
  FreeEngine(sbtRecordEngine);
  FreeEngine(sbtBlobEngine);
  mvReleaseSpecialFieldsInfo(sbtSFI);
  while (!sbtBlockAccess.empty()) {
    delete sbtBlockAccess.back();
    sbtBlockAccess.pop_back();
  }
}

void TmvServerBaseTable::sbtRollback(TmvBaseTransaction* aTrans) {
  if (sbtBlobEngine) sbtBlobEngine->Rollback(aTrans);
  if (sbtRecordEngine) sbtRecordEngine->Rollback(aTrans);
  for (TmvServerBaseTable* child : sbtChildren) child->sbtRollback(aTrans);
}

void TmvServerBaseTable::sbtEndTransaction(TmvBaseTransaction* aTrans) {
  sbtLocks.EndTransaction(aTrans);
  for (TmvServerBaseTable* child : sbtChildren) child->sbtEndTransaction(aTrans);
}

// ---------------------------------------------------------------------------
// Cursors

void TmvServerBaseTable::sbtAddCursor(TmvLockingCursor* aCursor) {
  {
    TmvPadlockGuard guard(&sbtCursorsPadlock);
    sbtCursors.push_back(aCursor);
  }
  sbtRoot->srtCursorAdded();
}

void TmvServerBaseTable::sbtRemoveCursor(TmvLockingCursor* aCursor) {
  {
    TmvPadlockGuard guard(&sbtCursorsPadlock);
    auto found = std::find(sbtCursors.begin(), sbtCursors.end(), aCursor);
    if (found == sbtCursors.end()) return;
    sbtCursors.erase(found);
  }
  sbtRoot->srtCursorRemoved();
}

int32_t TmvServerBaseTable::CursorCount() {
  TmvPadlockGuard guard(&sbtCursorsPadlock);
  return int32_t(sbtCursors.size());
}

std::vector<TmvLockingCursor*> TmvServerBaseTable::Cursors() {
  TmvPadlockGuard guard(&sbtCursorsPadlock);
  return sbtCursors;
}

bool TmvServerBaseTable::sbtRequestCloseCursors() {
  // Outside the padlock: a cursor that closes unregisters itself.
  for (TmvLockingCursor* cursor : Cursors()) cursor->lcRequestClose();
  bool none = CursorCount() == 0;
  for (TmvServerBaseTable* child : sbtChildren) none = child->sbtRequestCloseCursors() && none;
  return none;
}

// ---------------------------------------------------------------------------
// Special fields

void TmvServerBaseTable::sbtPrepareInsert(uint8_t* aRecord, const TmvNextLSNSource& aNextLSN) {
  if (IsCache() || !sbtSFI) return;
  TmvFieldsDescriptor* fields = sbtFieldsDescriptor;
  const int32_t modifyLSN = sbtSFI->sfiFields[sftModifyLSN];
  const int32_t insertLSN = sbtSFI->sfiFields[sftInsertLSN];
  if (modifyLSN >= 0 || insertLSN >= 0) {
    TmvLSN lsn = 0;
    if (!aNextLSN || !aNextLSN(lsn)) lsn = 1;
    const int64_t value = int64_t(lsn);
    if (modifyLSN >= 0) fields->SetRecordField(modifyLSN, aRecord, &value);
    if (insertLSN >= 0) fields->SetRecordField(insertLSN, aRecord, &value);
  }
  const int32_t recRev = sbtSFI->sfiFields[sftRecRev];
  if (recRev >= 0 && fields->IsRecordFieldNull(recRev, aRecord)) {
    const uint32_t zero = 0;
    fields->SetRecordField(recRev, aRecord, &zero);
  }
  const int32_t refNr = sbtSFI->sfiFields[sftRefNr];
  if (refNr >= 0) fields->SetRecordFieldNull(refNr, aRecord, true);
}

void TmvServerBaseTable::sbtPrepareModify(const uint8_t* aOldRecord, uint8_t* aNewRecord, TmvRefNr aRefNr,
                                          bool aFound, const TmvNextLSNSource& aNextLSN) {
  if (IsCache() || !sbtSFI) return;
  TmvFieldsDescriptor* fields = sbtFieldsDescriptor;
  if (const int32_t refNr = sbtSFI->sfiFields[sftRefNr]; refNr >= 0) {
    bool oldNull = false, newNull = false;
    const int64_t stored = Int64Field(fields, refNr, aOldRecord, oldNull);
    const int64_t given = Int64Field(fields, refNr, aNewRecord, newNull);
    const int64_t expected = oldNull ? aRefNr : stored;
    const int64_t found = newNull ? aRefNr : given;
    if (!aFound && expected != found)
      throw EmvServerEngineException(MVERR_INVALIDMODIFYREQUEST,
                                     u"Invalid modify request. RefNr has changed.\r\nExpected: [" + IntToStr(expected) +
                                         u"]\r\nFound: [" + IntToStr(found) + u"]");
    if (newNull || aFound) {
      const int64_t actual = aRefNr;
      fields->SetRecordField(refNr, aNewRecord, &actual);
    }
  }
  if (const int32_t recRev = sbtSFI->sfiFields[sftRecRev]; recRev >= 0) {
    const uint32_t stored = RecRevField(fields, recRev, aOldRecord);
    if (!aFound && stored != RecRevField(fields, recRev, aNewRecord)) RecordChanged();
    const uint32_t next = stored + 1;
    fields->SetRecordField(recRev, aNewRecord, &next);
  }
  if (const int32_t modifyLSN = sbtSFI->sfiFields[sftModifyLSN]; modifyLSN >= 0) {
    bool isNull = false;
    const int64_t stored = Int64Field(fields, modifyLSN, aOldRecord, isNull);
    if (!aFound && stored != Int64Field(fields, modifyLSN, aNewRecord, isNull)) RecordChanged();
    TmvLSN lsn = 0;
    const int64_t next = aNextLSN && aNextLSN(lsn) ? int64_t(lsn) : stored + 1;
    fields->SetRecordField(modifyLSN, aNewRecord, &next);
  }
  if (const int32_t insertLSN = sbtSFI->sfiFields[sftInsertLSN]; insertLSN >= 0) {
    bool isNull = false;
    if (!aFound &&
        Int64Field(fields, insertLSN, aOldRecord, isNull) != Int64Field(fields, insertLSN, aNewRecord, isNull))
      RecordChanged();
  }
}

// ---------------------------------------------------------------------------
// Diagnostics

void TmvServerBaseTable::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvLockedOptionsExtendableServerObject::WriteObjectInfo(aContainer);
  aContainer->AddString(u"FullName", FullName());
  if (sbtParent) aContainer->AddObject(u"Root", sbtRoot, false);
  const std::vector<TmvLockingCursor*> cursors = Cursors();
  aContainer->AddString(u"OpenCursors", HowMany(cursors.size()));
  if (!cursors.empty()) {
    ImvExceptionDataContainer* list = aContainer->AddContainer(u"Cursors");
    for (size_t i = 0; i < cursors.size(); ++i)
      list->AddObject(u"[" + IntToStr(int32_t(i)) + u"]", cursors[i]->lcServerObject(), false);
  }
  sbtLocks.GetExceptionData(aContainer->AddContainer(u"Locks"));
  if (!sbtChildren.empty()) {
    ImvExceptionDataContainer* list = aContainer->AddContainer(u"Children");
    for (size_t i = 0; i < sbtChildren.size(); ++i)
      list->AddObject(u"[" + IntToStr(int32_t(i)) + u"]", sbtChildren[i], false);
  }
}

// ---------------------------------------------------------------------------
// Root tables: life

TmvServerRootTable::TmvServerRootTable(TmvServerFolder* aFolder, const String& aName, TmvOpenMode aOpenMode,
                                       TmvShareMode aShareMode, TmvTableScope aTableScope)
    : TmvServerBaseTable(aFolder, nullptr, String(), nullptr),
      srtFolder(aFolder),
      srtTableScope(aTableScope),
      srtOpenMode(aOpenMode),
      srtShareMode(aShareMode),
      srtDictionary(new TmvServerDataDict()) {
  const uint64_t number = gTableObjects.fetch_add(1, std::memory_order_relaxed) + 1;
  srtName = aName.empty() ? UnnamedName(number) : aName;
  sbtNameInScope = srtName;
  sbtRoot = this;
  sbtTableDescriptor = srtDictionary;
  sbtFieldsDescriptor = srtDictionary->GetFieldsDescriptor();
  try {
    srtFolder->sfAddTable(this);
  } catch (...) {
    delete srtDictionary;
    srtDictionary = nullptr;
    throw;
  }
}

TmvServerRootTable::~TmvServerRootTable() {
  srtFolder->sfRemoveTable(this);
  Engine()->seInactiveTableRemove(this);
  srtCloseFiles();
  sbtTableDescriptor = nullptr;
  delete srtDictionary;
}

TmvServerEngine* TmvServerRootTable::Engine() const { return srtFolder->ServerEngine(); }

void TmvServerRootTable::AfterConstruction() {
  TmvServerBaseTable::AfterConstruction();
  Engine()->seTableCount.fetch_add(1, std::memory_order_acq_rel);
  srtLockedIncDone = true;
}

void TmvServerRootTable::BeforeDestruction() {
  if (srtLockedIncDone) {
    srtLockedIncDone = false;
    Engine()->seTableCount.fetch_sub(1, std::memory_order_acq_rel);
  }
  TmvServerBaseTable::BeforeDestruction();
}

String TmvServerRootTable::rtlTransLinkKey() { return srtFolder->Path() + u"\\" + srtName; }

void TmvServerRootTable::srtSetName(const String& aName) {
  if (srtDictionary && SameName(srtDictionary->GetBaseName(), srtName)) {
    const bool readOnly = srtDictionary->GetReadOnly();
    srtDictionary->ForceOffReadOnly();
    srtDictionary->SetBaseName(aName);
    if (readOnly) srtDictionary->ForceOnReadOnly();
  }
  srtName = aName;
  sbtNameInScope = aName;
}

void TmvServerRootTable::srtSetNameInScope(const String& aName) {
  if (srtDictionary) {
    const bool readOnly = srtDictionary->GetReadOnly();
    srtDictionary->ForceOffReadOnly();
    srtDictionary->SetBaseName(aName);
    if (readOnly) srtDictionary->ForceOnReadOnly();
  }
  sbtNameInScope = aName;
}

String TmvServerRootTable::ExtractPassword() {
  TmvBaseFile* main = srtFiles.empty() ? nullptr : srtFiles[0];
  return main && main->fiEncryptionEngine ? main->fiEncryptionEngine->ExtractPassword() : String();
}

uint32_t TmvServerRootTable::srtCheckPasswords(const TmvUnicodeStrings& aPasswords) {
  TmvBaseFile* main = srtFiles.empty() ? nullptr : srtFiles[0];
  if (!main || !main->fiEncryptionEngine) return 0;
  const int32_t code = main->fiEncryptionEngine->AuthenticatePassword(aPasswords);
  return code ? EmvBaseException::mvSetMessage(code, String()) : 0;
}

uint32_t TmvServerRootTable::ChangePassword(TmvBaseTransaction* aTrans, const String& aNewPassword) {
  try {
    for (TmvBlockAccess* access : sbtBlockAccess) access->ChangePassword(aTrans, aNewPassword);
    return 0;
  } catch (...) {
    return asoConvertException();
  }
}

// ---------------------------------------------------------------------------
// Root tables: files

TmvBaseFile* TmvServerRootTable::NewFile(int32_t aIndex, const String& aName, TmvFileAttributes aAttributes) {
  TmvBufferManager* cache = Engine()->BufferManager();
  TmvBaseFile* file = TmvBaseFile::Alloc(true, aName, cache);
  TmvFileDescriptor* descriptor = srtDictionary->GetFilesDescriptor()->FileDescriptor(aIndex);
  file->fiSnapshotBlockCount = &srtSnapshotBlockCount;
  file->fiAttributes = aAttributes;
  file->fiForServer = srtForServer;
  file->fiEncryptionEngineName = srtDictionary->GetEncryptionEngine();
  if (TmvBaseStreamDescriptor* streams = srtDictionary->GetStreamDescriptor())
    file->fiStreamEngineName = streams->GetStreamEngine();
  file->fiTempStore = cache->bmTempStore;
  file->fiInitialSize = descriptor->GetInitialSize();
  file->fiGrowSize = descriptor->GetGrowSize();
  file->fiMaxID = srtDictionary->GetCurrentID();
  file->fiLogTable = srtName;
  file->fiLogFile = descriptor->GetExtension();
  return file;
}

String TmvServerRootTable::DiskFileName(int32_t aIndex, const String& aBaseName) {
  const String extension =
      aIndex == 0 ? Engine()->GetTableExtension() : srtDictionary->GetFilesDescriptor()->FileDescriptor(aIndex)->GetExtension();
  return srtFolder->sfFileOnDisk(aBaseName, extension);
}

uint32_t TmvServerRootTable::srtCreate(TmvBaseTransaction* aTrans, const TmvUnicodeStrings& aPasswords,
                                       const String& aTableName, TmvFileAttributes aAttributes,
                                       TmvDataDictionary* aDictionary, bool aForServer) {
  try {
    srtCloseFiles();
  } catch (...) {
    return asoConvertException();
  }
  try {
    srtForServer = aForServer;
    TmvServerDataDict* dict = srtDictionary;
    dict->ForceOffReadOnly();
    dict->Assign(aDictionary);
    if (!aPasswords.empty() && dict->GetEncryptionEngine().empty()) {
      for (const char16_t* name : kDefaultEncryption) {
        TmvEncryptionEngineSpace space;
        if (!TmvBaseEncryptionEngine::FindReservedSpace(name, true, mvbs4k, space)) continue;
        dict->SetEncryptionEngine(name);
        break;
      }
    }
    dict->CheckValid(true);
    dict->IncID();
    dict->GetFieldsDescriptor()->SetOriginalFieldCount(dict->GetFieldsDescriptor()->FieldCount());
    TmvFilesDescriptor* files = dict->GetFilesDescriptor();
    const int32_t version = dict->GetVersion() >= 5 ? 47005 : 30000;
    for (int32_t i = 0; i < files->FileCount(); ++i) {
      const String extension = i == 0 ? Engine()->GetTableExtension() : files->FileDescriptor(i)->GetExtension();
      TmvBaseFile* file = NewFile(i, srtFolder->sfFileName(srtName, extension), aAttributes);
      srtFiles.push_back(file);
      file->fiBlockSize = files->FileDescriptor(i)->GetBlockSize();
      file->fiMorvaVersion = version;
      file->OpenFile(srtOpenMode, srtShareMode, true, true);
      // The system may grant reading only (a read-only folder).
      if (file->fiOpenMode == omReadOnly) srtOpenMode = omReadOnly;
      if (const int32_t code = file->AddHeader(aTrans, aPasswords, dict->GetHeaderSignature()))
        throw EmvServerEngineException(code);
    }
    for (int32_t i = 0; i < files->FileCount(); ++i) files->FileDescriptor(i)->SetFileID(mvTableFileID(srtFiles[size_t(i)]));
    sbtBlockAccess.push_back(new TmvBlockAccess(srtFiles[0], nullptr, srtName, 0));
    for (int32_t i = 1; i < files->FileCount(); ++i)
      sbtBlockAccess.push_back(new TmvBlockAccess(srtFiles[size_t(i)], nullptr, srtName, 0));
    srtStreamEngine = TmvBaseStreamEngine::CreateEngine(dict, sbtBlockAccess[0], aTrans);
    dict->WriteToFile(srtStreamEngine, aTrans, kDictionaryFormat);
    sbtTableDescriptor = dict;
    sbtOpenParts(aTrans);
    if (!aTableName.empty()) {
      TmvMemoryStream stream;
      {
        TmvWriter writer(stream);
        writer.WriteString(aTableName);
      }
      stream.SetPosition(0);
      if (const int32_t code = srtStreamEngine->WriteNamedStream(aTrans, u"$TableName", stream))
        throw EmvServerEngineException(code);
    }
    return 0;
  } catch (...) {
    const uint32_t code = asoConvertException();
    DropCreatedFiles();
    return code;
  }
}

void TmvServerRootTable::DropCreatedFiles() {
  std::vector<String> names;
  for (TmvBaseFile* file : srtFiles)
    if (file && !file->IsTemporary()) names.push_back(file->fiName);
  try {
    srtCloseFiles();
  } catch (...) {
    mvServerLogCurrentException(u"Closing the files of a table that could not be created");
  }
  if (srtTableScope != tsPersistent) return;
  for (const String& name : names) {
    try {
      mvDeleteFile(name);
    } catch (...) {
      mvServerLogCurrentException(u"Deleting the files of a table that could not be created");
    }
  }
}

void TmvServerRootTable::TakeDiskSpelling(const String& aDiskName) {
  if (aDiskName == srtName || !SameName(aDiskName, srtName)) return;
  srtFolder->sfRenameTable(this, aDiskName);
}

bool TmvServerRootTable::CheckFileIDs() {
  bool changed = false;
  TmvFilesDescriptor* files = srtDictionary->GetFilesDescriptor();
  for (int32_t i = 0; i < int32_t(srtFiles.size()) && i < files->FileCount(); ++i) {
    const String id = mvTableFileID(srtFiles[size_t(i)]);
    if (files->FileDescriptor(i)->GetFileID() == id) continue;
    srtDictionary->ForceOffReadOnly();
    files->FileDescriptor(i)->SetFileID(id);
    changed = true;
  }
  if (changed) srtDictionary->ForceOnReadOnly();
  return changed;
}

void TmvServerRootTable::RewriteDictionary(TmvBaseTransaction* aTrans) {
  srtDictionary->ForceOffReadOnly();
  srtDictionary->RecreateGuid();
  if (srtOpenMode == omReadOnly) {
    srtDictionary->ForceOnReadOnly();
    return;
  }
  if (aTrans) {
    srtDictionary->WriteToFile(srtStreamEngine, aTrans, kDictionaryFormat);
    return;
  }
  auto* own = new TmvServerTransaction(Engine()->BufferManager(), nullptr, false, false, false);
  try {
    srtDictionary->WriteToFile(srtStreamEngine, own, kDictionaryFormat);
  } catch (...) {
    own->Rollback();  // frees it
    srtDictionary->ForceOnReadOnly();
    throw;
  }
  own->Commit();  // frees it
}

uint32_t TmvServerRootTable::srtOpenFiles(TmvBaseTransaction* aTrans, const TmvUnicodeStrings& aPasswords,
                                          bool& aIsReadOnly, TmvFileAttributes aAttributes, bool aForServer) {
  aIsReadOnly = false;
  srtFileIsLink = false;
  try {
    srtCloseFiles();
    srtForServer = aForServer;
    TmvBufferManager* cache = Engine()->BufferManager();
    // The file as it is spelled on disk; the table takes that spelling.
    const String mainName = srtFolder->sfFileOnDisk(srtName, Engine()->GetTableExtension());
    const String diskBase = BaseNameOf(mainName);
    TmvBaseFile* main = TmvBaseFile::Alloc(true, mainName, cache);
    srtFiles.push_back(main);
    main->fiSnapshotBlockCount = &srtSnapshotBlockCount;
    main->fiAttributes = aAttributes;
    main->fiForServer = aForServer;
    main->fiLogTable = srtName;
    main->OpenFile(srtOpenMode, srtShareMode, aForServer, false);
    if (main->fiIsLink) srtFileIsLink = true;
    NotifyExtenders(eaOpenFile, false, {static_cast<void*>(main)});
    TakeDiskSpelling(diskBase);
    if (main->fiOpenMode == omReadOnly) srtOpenMode = omReadOnly;

    TmvReleaseMethod release;
    uint8_t* header = nullptr;
    bool readOnly = false;
    if (const int32_t code = cache->AddFile(main, aTrans, aPasswords, false, release, header, readOnly))
      throw EmvServerEngineException(code);
    if (header) release(header);
    if (readOnly) srtOpenMode = omReadOnly;

    sbtBlockAccess.push_back(new TmvBlockAccess(main, nullptr, srtName, 0));
    srtStreamEngine =
        TmvBaseStreamEngine::CreateEngine(static_cast<TmvBaseStreamDescriptor*>(nullptr), sbtBlockAccess[0], nullptr);
    srtDictionary->ForceOffReadOnly();
    srtDictionary->ReadFromFile(srtStreamEngine, aTrans);
    srtStreamEngine->Initialize(srtDictionary->GetStreamDescriptor());

    TmvFilesDescriptor* files = srtDictionary->GetFilesDescriptor();
    main->fiInitialSize = files->FileDescriptor(0)->GetInitialSize();
    main->fiGrowSize = files->FileDescriptor(0)->GetGrowSize();
    main->fiMaxID = srtDictionary->GetCurrentID();
    for (int32_t i = 1; i < files->FileCount(); ++i) {
      TmvBaseFile* file = NewFile(i, DiskFileName(i, srtName), aAttributes);
      srtFiles.push_back(file);
      file->OpenFile(main->fiOpenMode, srtShareMode, aForServer, false);
      if (file->fiIsLink) srtFileIsLink = true;
      NotifyExtenders(eaOpenFile, false, {static_cast<void*>(file)});
      bool fileReadOnly = false;
      header = nullptr;
      if (const int32_t code = cache->AddFile(file, aTrans, aPasswords, false, release, header, fileReadOnly))
        throw EmvServerEngineException(code);
      if (header) release(header);
      MV_ASSERT(fileReadOnly == readOnly);
      sbtBlockAccess.push_back(new TmvBlockAccess(file, nullptr, srtName, 0));
    }
    const bool idsChanged = CheckFileIDs();
    aIsReadOnly = srtOpenMode == omReadOnly;
    sbtTableDescriptor = srtDictionary;
    sbtOpenParts(nullptr);
    if (idsChanged) RewriteDictionary(aTrans);
    NotifyExtenders(eaOpenFiles, false, {});
    return 0;
  } catch (...) {
    uint32_t code = asoConvertException();
    if (code == MVERR_FILEBUSY) code = NoSuchTable(u" Error opening files for root table " + Quoted(FullName()));
    try {
      srtCloseFiles();
    } catch (...) {
      mvServerLogCurrentException(u"Closing the files of a table that could not be opened");
    }
    return code;
  }
}

void TmvServerRootTable::srtCloseFiles() {
  FreeEngine(srtStreamEngine);
  sbtCloseParts();
  TmvBufferManager* cache = srtFiles.empty() ? nullptr : Engine()->BufferManager();
  while (!srtFiles.empty()) {
    TmvBaseFile* file = srtFiles.back();
    srtFiles.pop_back();
    try {
      if (cache) cache->RemoveFile(file);
      if (file->FileIsOpen()) file->CloseFile();
    } catch (...) {
      mvServerLogCurrentException(u"Closing a file of table " + srtName);
    }
    delete file;
  }
}

// ---------------------------------------------------------------------------
// Root tables: inactivity and cursors

bool TmvServerRootTable::srtIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose, int32_t aExpectedLockCount) {
  const int32_t locks = sbtLockIsInactive.load(std::memory_order_acquire);
  if (srtTableScope == tsTempUnnamed && RootCursorCount() == 0 && locks == aExpectedLockCount) {
    // A result table nobody reads any more lets its transactions' locks go
    // with it.
    TmvPadlockGuard guard(&srtTransLinksPadlock);
    MV_ASSERT(!srtTransLinksPendingUpgrade && !srtTransLinksPendingHead && !srtTransLinksSnapshotGrantedHead);
    while (TmvServerTransactionLevelTableLink* link = srtTransLinksGrantedHead) delete link;
  }
  {
    TmvPadlockGuard guard(&srtTransLinksPadlock);
    if (srtHasTransLinks()) return false;
  }
  int32_t snapshotBlocks;
  {
    TmvBufferManagerGuard guard(Engine()->BufferManager());
    snapshotBlocks = srtSnapshotBlockCount;
  }
  if (snapshotBlocks > 0 || locks != aExpectedLockCount) return false;
  if (!aIgnoreKeepInMemory && srtTableScope != tsPersistent && srtTableScope != tsTempUnnamed) return false;
  if (RootCursorCount() > 0 && (!aRequestClose || !sbtRequestCloseCursors())) return false;
  if (!srtCommitPadlock.TryLock()) return false;
  srtCommitPadlock.Unlock();
  return true;
}

void TmvServerRootTable::srtCursorAdded() {
  if (srtCursorCount.fetch_add(1, std::memory_order_acq_rel) == 0) Engine()->seInactiveTableRemove(this);
}

void TmvServerRootTable::srtCursorRemoved() {
  if (srtCursorCount.fetch_sub(1, std::memory_order_acq_rel) == 1 && srtTableScope == tsPersistent)
    Engine()->seInactiveTableAdd(this);
}

void TmvServerRootTable::WriteObjectInfo(ImvExceptionDataContainer* aContainer) {
  TmvServerBaseTable::WriteObjectInfo(aContainer);
  aContainer->AddObject(u"Folder", srtFolder, false);
  aContainer->AddBoolean(u"ForServer", srtForServer);
  aContainer->AddString(u"TableScope", ScopeName(srtTableScope));
  aContainer->AddString(u"OpenMode", OpenModeName(srtOpenMode));
  aContainer->AddString(u"ShareMode", ShareModeName(srtShareMode));
}
