// Test helper process of the real-process crash test. Started once, it
// starts the storage units and then, for each byte read from its standard
// input, forks a worker and waits for it to end. The worker writes
// "pid <n>", recovers the folder given as the argument (as opening a folder
// does), opens the sample people table in it and commits 10 records per
// journalled transaction for ever, writing the number of each commit that
// returned, one per line. The test kills the worker at random moments; the
// helper then writes "end". Forking from a started process keeps a round
// to a few milliseconds, where starting a process takes a hundred.
// Calls the storage layer as the server would.
#include <cstdio>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "dictionary/mvsdDataDictionary.h"
#include "storage/cache/mvsrBlockAccess.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/header/mvsrServerDataDict.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/mvsrUnits.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/streams/mvseStreamEngine.h"
#include "storage/transactions/mvseJournalEngine.h"
#include "support/mvPeopleTable.h"
#include "support/mvTestTransaction.h"

namespace {

void say(const std::string& aLine) {
  const std::string line = aLine + "\n";
  if (::write(1, line.data(), line.size()) != ssize_t(line.size())) _exit(4);
}

// Recovers the folder, opens the table and makes aCommits commits, each
// reported; then closes everything again.
int work(const String& folder, int aCommits) {
  mvSetOperationDeadline(0, true);
  mvDefaultJournalEngineClass.load()->Check(u"", folder);
  std::unique_ptr<TmvBufferManager> cache(new TmvBufferManager(u""));
  std::unique_ptr<TmvBaseFile> file(TmvBaseFile::Alloc(true, folder + u"/people.mv1", cache.get()));
  file->OpenFile(omReadWrite, smExclusive, false, false);
  file->fiMaxID = 1000;
  TmvReleaseMethod release;
  uint8_t* header = nullptr;
  bool readOnly = false;
  if (cache->AddFile(file.get(), nullptr, {}, false, release, header, readOnly) != 0) return 3;
  if (header) release(header);
  {
    TmvBlockAccess view(file.get(), nullptr, u"t", 0);
    std::unique_ptr<TmvBaseStreamEngine> streams(
        TmvBaseStreamEngine::CreateEngine(static_cast<TmvBaseStreamDescriptor*>(nullptr), &view, nullptr));
    TmvServerDataDict dict;
    dict.ReadFromFile(streams.get(), nullptr);
    std::unique_ptr<TmvBaseRecordEngine> records(TmvBaseRecordEngine::CreateEngine(&dict, {&view}, nullptr));
    std::unique_ptr<TmvBaseAutoIncEngine> autoInc(TmvBaseAutoIncEngine::CreateEngine(&dict, {&view}, nullptr));
    TmvFieldsDescriptor* fields = dict.GetFieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength()));
    for (int commit = 1; commit <= aCommits; ++commit) {
      TTestTransaction trans(cache.get());
      trans.SetJournalled(true);
      for (int i = 0; i < 10; ++i) {
        TPeopleTable::Record(fields, int32_t(autoInc->NextAutoIncValue(&trans, nullptr)), record.data());
        TmvRefNr ref = 0;
        records->AddRecord(&trans, ref, record.data());
      }
      trans.Commit();
      say(std::to_string(commit));
    }
  }
  cache->RemoveFile(file.get());
  file->CloseFile();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  mvStorageInit();
  const String folder = UTF8ToString(argv[1]);
  // Once here, so that what a first use costs (loading code pages and
  // collations) is not paid by every worker.
  if (const int result = work(folder, 0)) return result;
  for (char go; ::read(0, &go, 1) == 1;) {
    const pid_t worker = ::fork();
    if (worker < 0) return 5;
    if (worker == 0) {
      say("pid " + std::to_string(::getpid()));
      _exit(work(folder, 1000000));
    }
    int status = 0;
    ::waitpid(worker, &status, 0);
    say(WIFSIGNALED(status) ? "end" : "failed " + std::to_string(status));
  }
  return 0;
}
