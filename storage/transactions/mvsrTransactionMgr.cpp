// Storage: a folder's transaction manager. See mvsrTransactionMgr.h.
#include "storage/transactions/mvsrTransactionMgr.h"

#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "platform/TextServices.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/files/mvsrFileSystem.h"
#include "storage/mvsrLog.h"
#include "storage/transactions/mvsrCommit.h"

namespace {

// The packed date-time integer of a folder search: the date (years since
// 1980, month, day) in the high 16 bits, the time (hours, minutes, seconds
// in units of two) in the low 16, in local time.
uint32_t packedTime(int64_t aSeconds) {
  const time_t t = time_t(aSeconds);
  tm local{};
  if (!localtime_r(&t, &local) || local.tm_year < 80) return 0;
  const uint32_t date = uint32_t(local.tm_year - 80) << 9 | uint32_t(local.tm_mon + 1) << 5 | uint32_t(local.tm_mday);
  const uint32_t time = uint32_t(local.tm_hour) << 11 | uint32_t(local.tm_min) << 5 | uint32_t(local.tm_sec / 2);
  return date << 16 | time;
}

// The folder's table files: "*.mv1", the extension in any case.
std::vector<std::string> tableFiles(const String& aFolder) {
  std::vector<std::string> names, tables;
  if (mvFileSystem().ListFolder(UTF8Encode(aFolder), names) != 0) return tables;
  const String extension = String(u".") + mvTableExtension;
  for (const std::string& name : names) {
    const String n = UTF8ToString(name);
    if (n.size() > extension.size() && AnsiCompareText(n.substr(n.size() - extension.size()), extension) == 0)
      tables.push_back(UTF8Encode(aFolder) + name);
  }
  return tables;
}

// Bytes 8..15 of a file read directly; 0 when it cannot be read.
uint64_t headerLSN(const std::string& aPath) {
  TmvFileSystem& fs = mvFileSystem();
  const int handle = fs.Open(aPath, O_RDONLY, 0);
  if (handle < 0) return 0;
  uint8_t bytes[8];
  const bool read = fs.PRead(handle, bytes, 8, 8) == 8;
  if (fs.Close(handle) != 0) mvStorageLogError(u"Closing \"" + UTF8ToString(aPath) + u"\" failed");
  return read ? mvGetU64(bytes, 0) : 0;
}

}  // namespace

TmvServerTransactionMgr::TmvServerTransactionMgr(TmvBufferManager* aBufferManager, const String& aFolderPath,
                                                 bool aReadOnly)
    : TmvBaseTransactionMgr(aBufferManager),
      stmReadOnly(aReadOnly),
      stmInMemory(aFolderPath.empty() || aFolderPath[0] == u'#') {
  if (stmInMemory) {
    stmEstablished = 1;
    btmBufferManager->SetNextLSN(stmEstablished);
    return;
  }
  stmFolderPath = aFolderPath.back() == u'/' ? aFolderPath : aFolderPath + u"/";
  stmConfigFile = TmvBaseFile::Alloc(false, stmFolderPath + mvTransFileName, nullptr);
  const bool current = ConfigIsCurrent();
  uint64_t stored = 0;
  if (!stmReadOnly) {
    if (current && OpenConfig(omReadWrite, smExclusive, false)) stored = ReadConfig();
    else if (!OpenConfig(omReadWrite, smExclusive, true)) stmReadOnly = true;
    // A file the process may not write was opened for reading only.
    if (stmConfigFile->FileIsOpen() && stmConfigFile->fiOpenMode == omReadOnly) stmReadOnly = true;
  }
  if (stmReadOnly && current && OpenConfig(omReadOnly, smShareRead, false)) stored = ReadConfig();
  stmEstablished = std::max<TmvLSN>(TmvLSN(stored), TableFilesLSN());
  MV_ASSERT(stmEstablished > 0);
  if (!stmReadOnly) WriteConfig(stmEstablished);
  btmBufferManager->SetNextLSN(stmEstablished);
}

TmvServerTransactionMgr::~TmvServerTransactionMgr() {
  if (!stmConfigFile) return;
  if (!stmReadOnly && stmConfigFile->FileIsOpen()) {
    try {
      WriteConfig(std::max(btmBufferManager->NextLSN(), stmEstablished));
    } catch (...) {
      mvStorageLogError(u"Writing \"" + stmConfigFile->fiName + u"\" failed: " + mvCurrentExceptionText());
    }
  }
  try {
    if (stmConfigFile->FileIsOpen()) stmConfigFile->CloseFile();
  } catch (...) {
    mvStorageLogError(u"Closing \"" + stmConfigFile->fiName + u"\" failed: " + mvCurrentExceptionText());
  }
  delete stmConfigFile;
}

TmvBaseJournalEngine* TmvServerTransactionMgr::CreateJournalEngine(uint64_t aNumber) {
  const TmvJournalEngineClassRef* journalClass = mvDefaultJournalEngineClass.load();
  if (stmInMemory || stmReadOnly || !journalClass) return nullptr;
  return journalClass->Create(mvJournalFileName(stmFolderPath, aNumber));
}

TmvLSN TmvServerTransactionMgr::TableFilesLSN() const {
  uint64_t highest = 0;
  for (const std::string& table : tableFiles(stmFolderPath)) highest = std::max(highest, headerLSN(table));
  // An LSN beyond the counter's range is damage, not a value to continue from.
  return TmvLSN(std::min<uint64_t>(highest, uint64_t(INT64_MAX) - 1) + 1);
}

bool TmvServerTransactionMgr::ConfigIsCurrent() const {
  TmvFileStat config;
  if (mvFileSystem().Stat(UTF8Encode(stmConfigFile->fiName), config) != 0 || !config.IsFile || config.Size != 8)
    return false;
  const uint32_t limit = packedTime(config.ModifiedTime) + 1000;
  for (const std::string& table : tableFiles(stmFolderPath)) {
    TmvFileStat stat;
    if (mvFileSystem().Stat(table, stat) == 0 && packedTime(stat.ModifiedTime) > limit) return false;
  }
  return true;
}

bool TmvServerTransactionMgr::OpenConfig(TmvOpenMode aMode, TmvShareMode aShare, bool aCreate) {
  try {
    if (stmConfigFile->FileIsOpen()) stmConfigFile->CloseFile();
    stmConfigFile->OpenFile(aMode, aShare, true, aCreate);
    return true;
  } catch (...) {
    mvStorageLogError(u"The folder transaction file could not be opened: " + mvCurrentExceptionText());
    try {
      stmConfigFile->CloseFile();  // clears the stored error of the failed open
    } catch (...) {
      mvStorageLogError(u"Closing \"" + stmConfigFile->fiName + u"\" failed: " + mvCurrentExceptionText());
    }
    return false;
  }
}

TmvLSN TmvServerTransactionMgr::ReadConfig() {
  try {
    uint8_t bytes[8];
    stmConfigFile->ReadFileExactAt(0, 8, bytes);
    return TmvLSN(mvGetU64(bytes, 0));
  } catch (...) {
    mvStorageLogError(u"The folder transaction file could not be read: " + mvCurrentExceptionText());
    return 0;
  }
}

void TmvServerTransactionMgr::WriteConfig(TmvLSN aValue) {
  if (stmReadOnly || !stmConfigFile || !stmConfigFile->FileIsOpen() || stmConfigFile->fiOpenMode == omReadOnly)
    return;
  uint8_t bytes[8];
  mvPutU64(bytes, 0, uint64_t(aValue));
  try {
    stmConfigFile->WriteFileExactAt(0, 8, bytes);
  } catch (...) {
    mvStorageLogError(u"The folder transaction file could not be written: " + mvCurrentExceptionText());
  }
}
