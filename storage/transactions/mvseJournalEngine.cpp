// Storage engines: the journal engines. See mvseJournalEngine.h.
#include "storage/transactions/mvseJournalEngine.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "foundation/errors/mvllErrors.h"
#include "platform/Components.h"
#include "platform/TextServices.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/files/mvsrFileSystem.h"
#include "storage/mvsrLog.h"

namespace {

constexpr uint32_t kHeaderSize = 12;
constexpr uint32_t kRecordSize = 268;
constexpr uint32_t kCompleted = 0xFFFFFFFF;
constexpr uint8_t kBeforeImage = 0xFF;
constexpr char16_t kReadExact[] = u"INTERNAL: Could not read exact number of bytes from file [%s, %d bytes]";
constexpr char16_t kNotJournal[] = u"\"%s\" is not a MorvaDB formatted file, or its file header is corrupt";

TmvBaseJournalEngine* create1x(const String& aName) { return new Tmv1xJournalEngine(aName); }
TmvBaseJournalEngine* createCommit(const String& aName) { return new Tmv1xCommitJournalEngine(aName); }
TmvBaseJournalEngine* createRollback(const String& aName) { return new Tmv1xRollbackJournalEngine(aName); }

String withSlash(const String& aPath) {
  return aPath.empty() || aPath.back() == u'/' ? aPath : aPath + u"/";
}

// The name part of a file name.
String namePart(const String& aName) {
  const size_t slash = aName.find_last_of(u'/');
  return slash == String::npos ? aName : aName.substr(slash + 1);
}

// The name a record stores for a table file; empty when it cannot store it.
AnsiString recordName(TmvBaseFile* aFile) {
  const String name = namePart(aFile->fiName);
  AnsiString ansi = StringToSystemAnsi(name);
  if (ansi.empty() || ansi.size() > 255 || SystemAnsiToString(ansi) != name) return {};
  return ansi;
}

// A stored name may only name a file of the journal's own folder.
bool nameStaysInFolder(std::string_view aName) {
  return !aName.empty() && aName != "." && aName != ".." && aName.find('/') == std::string_view::npos &&
         aName.find('\0') == std::string_view::npos;
}

[[noreturn]] void journalDamaged(const String& aJournal, const char16_t* aWhat) {
  throw EmvBaseException(MVERR_FILECORRUPT, u"Journal \"%s\": %s", {aJournal, aWhat});
}

// Opens a file of the default file class; freed on every path by its owner.
std::unique_ptr<TmvBaseFile> openPlain(const String& aName, TmvOpenMode aMode, bool aCreate) {
  std::unique_ptr<TmvBaseFile> file(TmvBaseFile::Alloc(false, aName, nullptr));
  file->OpenFile(aMode, smExclusive, false, aCreate);
  return file;
}

void closeLogged(TmvBaseFile* aFile) {
  try {
    if (aFile->FileIsOpen()) aFile->CloseFile();
  } catch (...) {
    mvStorageLogError(u"Closing \"" + aFile->fiName + u"\" failed: " + mvCurrentExceptionText());
  }
}

void syncFolder(const String& aFolder) {
  if (mvFileSystem().SyncFolder(UTF8Encode(aFolder)) != 0)
    throw EmvBaseException(MVERR_WRITEERR, u"INTERNAL: Error when flushing file [%s, error %d, %s]",
                           {aFolder, errno, SysErrorMessage(uint32_t(errno))});
}

}  // namespace

constinit const TmvJournalEngineClassRef Tmv1xJournalEngine::StaticClass{
    {u"Tmv1xJournalEngine", &TmvBaseJournalEngine::StaticClass}, &create1x, &Tmv1xJournalEngine::Check};
constinit const TmvJournalEngineClassRef Tmv1xCommitJournalEngine::StaticClass{
    {u"Tmv1xCommitJournalEngine", &Tmv1xJournalEngine::StaticClass}, &createCommit, &Tmv1xCommitJournalEngine::Check};
constinit const TmvJournalEngineClassRef Tmv1xRollbackJournalEngine::StaticClass{
    {u"Tmv1xRollbackJournalEngine", &Tmv1xJournalEngine::StaticClass}, &createRollback,
    &Tmv1xRollbackJournalEngine::Check};

// ---------------------------------------------------------------------------
// Writing

Tmv1xJournalEngine::~Tmv1xJournalEngine() {
  if (!jeJournalFile) return;
  closeLogged(jeJournalFile);
  delete jeJournalFile;
}

void Tmv1xJournalEngine::AcceptFile(TmvBaseFile* aFile) {
  if (recordName(aFile).empty())
    throw EmvBaseException(MVERR_WRITEERR, u"A journal cannot name the table file \"%s\" (its name needs more than 255 "
                                           u"bytes, or characters the system code page lacks)",
                           {aFile->fiName});
}

void Tmv1xJournalEngine::PrepareJournal() {
  MV_ASSERT(jeJournalFile == nullptr);
  jeJournalFile = TmvBaseFile::Alloc(false, bjeFileName, nullptr);
  // Creating syncs the folder: the name is durable before any table changes.
  jeJournalFile->OpenFile(omReadWrite, smExclusive, false, true);
  jeFileSizes.clear();
  WriteJournalHeader(false);
  jeEnd = kHeaderSize;
}

void Tmv1xJournalEngine::WriteJournalHeader(bool aCompleted) {
  uint8_t header[kHeaderSize];
  std::memcpy(header, "MVJH", 4);
  mvPutU32(header, 4, aCompleted ? kCompleted : 0);
  mvPutU32(header, 8, JournalKind());
  jeJournalFile->WriteFileExactAt(0, kHeaderSize, header);
}

void Tmv1xJournalEngine::AddBlock(TmvBaseTransaction*, TmvReadOnlyBlock* aBlock) {
  MV_ASSERT(jeJournalFile != nullptr);
  const uint32_t kind = JournalKind();
  if (kind == 0 || kind == 2) WriteJournalImage(aBlock, true);
  if (kind == 0 || kind == 1) WriteJournalImage(aBlock, false);
}

void Tmv1xJournalEngine::WriteJournalImage(TmvReadOnlyBlock* aBlock, bool aBeforeImage) {
  TmvBaseFile* file = aBlock->robFile;
  const uint32_t bytes = file->BlockBytes();
  const int64_t offset = int64_t(aBlock->robBlockNum) << file->BlockShift();
  if (aBeforeImage) {
    auto size = jeFileSizes.find(file);
    if (size == jeFileSizes.end()) size = jeFileSizes.emplace(file, file->FileSize()).first;
    // A block beyond the file's end has nothing to restore: no entry.
    if (offset + bytes > size->second) return;
  }
  jeEntry.assign(kRecordSize + bytes, 0);
  uint8_t* record = jeEntry.data();
  std::memcpy(record, "MVJR", 4);
  mvPutU32(record, 4, aBlock->robBlockNum);
  record[8] = uint8_t(file->fiBlockSize);
  record[9] = aBeforeImage ? kBeforeImage : 0;
  const AnsiString name = recordName(file);
  MV_ASSERT(!name.empty());  // AcceptFile refused it otherwise
  record[12] = uint8_t(name.size());
  std::memcpy(record + 13, name.data(), name.size());
  uint8_t* image = record + kRecordSize;
  if (aBeforeImage) {
    // What the file holds now, stored bytes as they are (encrypted ones too).
    file->ReadFileExactAt(offset, bytes, image);
  } else {
    __atomic_add_fetch(&aBlock->robRefCount, 1, __ATOMIC_SEQ_CST);
    struct Unpin {
      TmvReadOnlyBlock* b;
      ~Unpin() { __atomic_sub_fetch(&b->robRefCount, 1, __ATOMIC_SEQ_CST); }
    } unpin{aBlock};
    TmvBlockBuffer coded(file->fiBlockSize);
    const uint8_t* stored = file->StoredImage(aBlock, coded.get());
    std::memcpy(image, stored, bytes);
  }
  jeJournalFile->WriteFileExactAt(jeEnd, uint32_t(jeEntry.size()), jeEntry.data());
  jeEnd += int64_t(jeEntry.size());
}

void Tmv1xJournalEngine::FinalizeJournal() {
  MV_ASSERT(jeJournalFile != nullptr);
  jeJournalFile->SyncFile();
  WriteJournalHeader(true);
  jeJournalFile->SyncFile();
}

void Tmv1xJournalEngine::DeleteJournal() {
  if (!jeJournalFile) return;
  // Marked incomplete and synced first: should the deletion not survive a
  // power loss, the journal that comes back is discarded, never replayed
  // over the commits after it. An overwrite in place costs a data sync,
  // where making the deletion itself durable costs a sync of the folder.
  WriteJournalHeader(false);
  jeJournalFile->SyncFile();
  jeJournalFile->CloseFile();
  delete jeJournalFile;
  jeJournalFile = nullptr;
  if (mvFileSystem().Unlink(UTF8Encode(bjeFileName)) != 0 && errno != ENOENT)
    throw EmvBaseException(MVERR_WRITEERR, u"The journal \"%s\" could not be deleted [error %d, %s]",
                           {bjeFileName, errno, SysErrorMessage(uint32_t(errno))});
}

// ---------------------------------------------------------------------------
// Recovery

namespace {

// One entry of a journal, as validated before anything is applied.
struct TJournalEntry {
  int64_t ImageOffset;
  uint32_t BlockNum;
  uint8_t SizeCode;
  bool Before;
  std::string Name;
};

std::vector<TJournalEntry> readEntries(TmvBaseFile* aJournal) {
  const String& name = aJournal->fiName;
  const int64_t size = aJournal->FileSize();
  std::vector<TJournalEntry> entries;
  uint8_t record[kRecordSize];
  for (int64_t at = kHeaderSize;;) {
    const uint32_t got = aJournal->ReadFileAt(at, kRecordSize, record);
    if (got == 0) break;
    if (got != kRecordSize) throw EmvBaseException(MVERR_READERR, kReadExact, {name, int32_t(kRecordSize)});
    if (std::memcmp(record, "MVJR", 4) != 0) journalDamaged(name, u"a record without its signature");
    TJournalEntry e{at + kRecordSize, mvGetU32(record, 4), record[8], record[9] == kBeforeImage, {}};
    if (e.SizeCode > uint8_t(mvbs4M)) journalDamaged(name, u"a block size code out of range");
    if (record[9] != 0 && record[9] != kBeforeImage) journalDamaged(name, u"an image flag out of range");
    if (record[10] != 0 || record[11] != 0) journalDamaged(name, u"a record with reserved bytes set");
    e.Name.assign(reinterpret_cast<const char*>(record + 13), record[12]);
    if (!nameStaysInFolder(e.Name)) journalDamaged(name, u"a table file name outside its folder");
    const uint32_t bytes = mvBlockBytes(e.SizeCode);
    if (e.ImageOffset + bytes > size) throw EmvBaseException(MVERR_READERR, kReadExact, {name, int32_t(bytes)});
    at = e.ImageOffset + bytes;
    entries.push_back(std::move(e));
  }
  return entries;
}

}  // namespace

void Tmv1xJournalEngine::ApplyJournal(TmvBaseFile* aJournal, const String& aFolder, bool aApplyAfter) {
  const std::vector<TJournalEntry> entries = readEntries(aJournal);
  std::map<std::string, std::unique_ptr<TmvBaseFile>> tables;
  std::vector<uint8_t> image;
  try {
    for (const TJournalEntry& e : entries) {
      if (e.Before == aApplyAfter) continue;
      std::unique_ptr<TmvBaseFile>& table = tables[e.Name];
      if (!table) table = openPlain(withSlash(aFolder) + SystemAnsiToString(e.Name), omReadWrite, false);
      const uint32_t bytes = mvBlockBytes(e.SizeCode);
      image.resize(bytes);
      aJournal->ReadFileExactAt(e.ImageOffset, bytes, image.data());
      table->WriteFileExactAt(int64_t(e.BlockNum) * bytes, bytes, image.data());
    }
    // The tables are durable before the journal that restored them goes.
    for (auto& [name, table] : tables) table->SyncFile();
  } catch (...) {
    for (auto& [name, table] : tables)
      if (table) closeLogged(table.get());
    throw;
  }
  for (auto& [name, table] : tables) table->CloseFile();
}

void Tmv1xJournalEngine::CheckFolder(const String& aPath, uint32_t aClassKind) {
  const String folder = withSlash(aPath);
  std::vector<std::string> names;
  if (mvFileSystem().ListFolder(UTF8Encode(folder.empty() ? String(u".") : folder), names) != 0)
    throw EmvBaseException(MVERR_ALIASDIRNOTFOUND, u"The alias references a directory that does not exist.");
  const std::string extension = "." + UTF8Encode(mvJournalExtension);
  for (const std::string& entry : names) {
    if (entry.size() <= extension.size() ||
        AnsiCompareText(UTF8ToString(entry.substr(entry.size() - extension.size())), UTF8ToString(extension)) != 0)
      continue;
    const String name = folder + UTF8ToString(entry);
    TmvFileStat stat;
    if (mvFileSystem().Stat(UTF8Encode(name), stat) != 0 || !stat.IsFile) continue;
    try {
      // Shared with no writer: a journal whose commit still runs elsewhere is refused here.
      std::unique_ptr<TmvBaseFile> journal = openPlain(name, omReadOnly, false);
      try {
        uint8_t header[kHeaderSize];
        // A journal cut before its header was whole was never complete (no
        // table block is written before it is): discarded like one marked
        // incomplete, so that it does not stay and fail every later scan.
        const uint32_t read = journal->ReadFileAt(0, kHeaderSize, header);
        const bool cutHeader = read < kHeaderSize;
        if (!cutHeader && (read != kHeaderSize || std::memcmp(header, "MVJH", 4) != 0))
          throw EmvBaseException(MVERR_CANNOTOPENFILE, kNotJournal, {name});
        uint32_t kind = cutHeader ? 0 : mvGetU32(header, 8);
        if (kind > 2) throw EmvBaseException(MVERR_CANNOTOPENFILE, kNotJournal, {name});
        if (!cutHeader && mvGetU32(header, 4) != 0) {
          if (kind == 0) kind = aClassKind;
          ApplyJournal(journal.get(), folder, kind != 2);
        }
      } catch (...) {
        closeLogged(journal.get());
        throw;
      }
      journal->CloseFile();
      if (mvFileSystem().Unlink(UTF8Encode(name)) != 0)
        throw EmvBaseException(MVERR_WRITEERR, u"The journal \"%s\" could not be deleted [error %d, %s]",
                               {name, errno, SysErrorMessage(uint32_t(errno))});
      syncFolder(folder.empty() ? String(u".") : folder);
    } catch (...) {
      mvStorageLogError(u"The journal \"" + name + u"\" stays for a later recovery: " + mvCurrentExceptionText());
    }
  }
}

void Tmv1xJournalEngine::Check(const String&, const String& aPath) { CheckFolder(aPath, 0); }
void Tmv1xCommitJournalEngine::Check(const String&, const String& aPath) { CheckFolder(aPath, 1); }
void Tmv1xRollbackJournalEngine::Check(const String&, const String& aPath) { CheckFolder(aPath, 2); }

const TmvJournalEngineClassRef* mvFindJournalEngineClass(std::u16string_view aName) {
  for (const TmvJournalEngineClassRef* cls :
       {&Tmv1xJournalEngine::StaticClass, &Tmv1xCommitJournalEngine::StaticClass,
        &Tmv1xRollbackJournalEngine::StaticClass})
    if (SameClassName(aName, cls->ClassName)) return cls;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Unit

namespace {
// Whether the start-up set the default. A class the host chose before
// start-up stays at shutdown, even one of this unit's; one the server's
// configuration chose since (one of this unit's classes) goes.
bool gInstalled = false;
}  // namespace

namespace {
const TmvJournalEngineClassRef* const kJournalClasses[] = {
    &Tmv1xJournalEngine::StaticClass, &Tmv1xCommitJournalEngine::StaticClass, &Tmv1xRollbackJournalEngine::StaticClass};
}  // namespace

void mvseJournalEngineInit() {
  // Found by class name too, as configurations name them.
  for (const TmvJournalEngineClassRef* cls : kJournalClasses) RegisterClass(*cls);
  const TmvJournalEngineClassRef* expected = nullptr;
  gInstalled =
      mvDefaultJournalEngineClass.compare_exchange_strong(expected, &Tmv1xRollbackJournalEngine::StaticClass);
}

void mvseJournalEngineFini() {
  for (const TmvJournalEngineClassRef* cls : kJournalClasses) UnRegisterClass(*cls);
  if (!std::exchange(gInstalled, false)) return;
  const TmvJournalEngineClassRef* current = mvDefaultJournalEngineClass.load();
  if (current == &Tmv1xJournalEngine::StaticClass || current == &Tmv1xCommitJournalEngine::StaticClass ||
      current == &Tmv1xRollbackJournalEngine::StaticClass)
    mvDefaultJournalEngineClass.compare_exchange_strong(current, nullptr);
}
