// Benchmark: 1,000 transactions of 10 inserts each into the sample people
// table (static record engine), every commit synced, on a disk folder: the
// engine with its rollback journal (every commit crash-safe) and without
// one (the journal's cost), beside SQLite with journal_mode=DELETE and
// synchronous=FULL (the same guarantee) and, as a second line, WAL. Each
// run is one pass of 1,000 transactions on a fresh table; the run ends with
// the ratios of the medians of 5 repetitions, the engine's syncs per commit
// and the file system the folder lies on (a tmpfs folder would make syncs
// free and the figures meaningless).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <linux/magic.h>
#include <memory>
#include <string>
#include <sys/statfs.h>
#include <vector>

#include "BenchRatio.h"
#include "dictionary/mvsdDataDictionary.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrFaultFileSystem.h"
#include "storage/header/mvsrFileHeader2x.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/mvsrUnits.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/transactions/mvsrCommit.h"
#include "support/mvPeopleTable.h"
#include "support/mvTestTransaction.h"

namespace {

constexpr int kTransactions = 1000;
constexpr int kInserts = 10;

std::string Folder() { return std::filesystem::temp_directory_path().string(); }
std::string TempPath(const char* aName) { return (std::filesystem::temp_directory_path() / aName).string(); }

// Counts the engine's syncs (file and folder) while it is installed.
TmvFaultFileSystem gCounting;
double gEngineSyncsPerCommit[2] = {};

void EngineCommits(benchmark::State& state) {
  const bool journalled = state.range(0) != 0;
  const std::string path = TempPath("mvse-bench-journal.mv1");
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(path);
    auto dd = TPeopleTable::Dictionary<TmvDataDictionary>(u"Static", nullptr);
    TmvBufferManager cache(u"");
    cache.SetMaxRAM(256);
    TmvBaseFile* file = TmvBaseFile::Alloc(true, UTF8ToString(path), &cache);
    file->fiMaxID = 1000;
    file->OpenFile(omReadWrite, smExclusive, false, true);
    std::unique_ptr<TmvBlockAccess> view;
    std::unique_ptr<TmvBaseRecordEngine> records;
    std::unique_ptr<TmvSimpleAutoIncEngine> autoInc;
    {
      TTestTransaction trans(&cache);
      file->fiMorvaVersion = mvMorvaVersion;
      file->fiStreamEngineName = u"mv1xDefault";
      if (file->AddHeader(&trans, {}, mv2xHeaderSignature) != 0) std::abort();
      view = std::make_unique<TmvBlockAccess>(file, nullptr, u"people", 0);
      records.reset(TmvBaseRecordEngine::CreateEngine(dd.get(), {view.get()}, &trans));
      autoInc = std::make_unique<TmvSimpleAutoIncEngine>(dd->GetAutoIncDescriptor(), TmvBlockAccessArray{view.get()},
                                                         &trans);
      trans.Commit();
    }
    TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength()));
    gCounting.Reset();
    mvSetFileSystem(&gCounting);
    state.ResumeTiming();
    for (int t = 0; t < kTransactions; ++t) {
      TTestTransaction trans(&cache);
      trans.SetJournalled(journalled);
      for (int i = 0; i < kInserts; ++i) {
        TPeopleTable::Record(fields, int32_t(autoInc->NextAutoIncValue(&trans, nullptr)), record.data());
        TmvRefNr ref = 0;
        records->AddRecord(&trans, ref, record.data());
      }
      trans.Commit();
    }
    state.PauseTiming();
    mvSetFileSystem(nullptr);
    gEngineSyncsPerCommit[journalled] = double(gCounting.Calls(fopSync)) / kTransactions;
    records.reset();
    autoInc.reset();
    view.reset();
    cache.RemoveFile(file);
    file->CloseFile();
    delete file;
    state.ResumeTiming();
  }
  std::filesystem::remove(path);
}

void Check(int aResult, sqlite3* aDb) {
  if (aResult != SQLITE_OK && aResult != SQLITE_DONE && aResult != SQLITE_ROW) {
    std::fprintf(stderr, "SQLite: %s\n", sqlite3_errmsg(aDb));
    std::abort();
  }
}

void SqliteCommits(benchmark::State& state) {
  const bool wal = state.range(0) != 0;
  const std::string path = TempPath("mvse-bench-journal.sqlite");
  for (auto _ : state) {
    state.PauseTiming();
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    sqlite3* db = nullptr;
    Check(sqlite3_open(path.c_str(), &db), db);
    Check(sqlite3_exec(db, wal ? "PRAGMA page_size=4096; PRAGMA synchronous=FULL; PRAGMA journal_mode=WAL;"
                               : "PRAGMA page_size=4096; PRAGMA synchronous=FULL; PRAGMA journal_mode=DELETE;",
                       nullptr, nullptr, nullptr),
          db);
    Check(sqlite3_exec(db,
                       "CREATE TABLE people (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(40), amount REAL, "
                       "moment REAL)",
                       nullptr, nullptr, nullptr),
          db);
    sqlite3_stmt* insert = nullptr;
    Check(sqlite3_prepare_v2(db, "INSERT INTO people (name, amount, moment) VALUES (?, ?, ?)", -1, &insert, nullptr),
          db);
    int32_t id = 0;
    state.ResumeTiming();
    for (int t = 0; t < kTransactions; ++t) {
      Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
      for (int i = 0; i < kInserts; ++i) {
        ++id;
        char text[41];
        const int length = TPeopleTable::Name(id, text);
        sqlite3_bind_text(insert, 1, text, length, SQLITE_STATIC);
        sqlite3_bind_double(insert, 2, TPeopleTable::Amount(id));
        sqlite3_bind_double(insert, 3, TPeopleTable::When(id));
        Check(sqlite3_step(insert), db);
        sqlite3_reset(insert);
      }
      Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    }
    state.PauseTiming();
    sqlite3_finalize(insert);
    sqlite3_close(db);
    state.ResumeTiming();
  }
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}

}  // namespace

BENCHMARK(EngineCommits)->Arg(1)->Arg(0)->Iterations(1)->Repetitions(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SqliteCommits)->Arg(0)->Arg(1)->Iterations(1)->Repetitions(5)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  mvStorageInit();
  mvSetOperationDeadline(0, true);
  struct statfs volume{};
  if (::statfs(Folder().c_str(), &volume) == 0 && volume.f_type == TMPFS_MAGIC)
    std::printf("WARNING: %s is a tmpfs folder: syncs cost nothing there\n", Folder().c_str());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const std::string suffix = "/iterations:1/repeats:5/real_time";
  reporter.PrintRatio("EngineCommits/1" + suffix, "SqliteCommits/0" + suffix, "SQLite, journal_mode=DELETE");
  reporter.PrintRatio("EngineCommits/1" + suffix, "SqliteCommits/1" + suffix, "SQLite, journal_mode=WAL");
  reporter.PrintRatio("EngineCommits/1" + suffix, "EngineCommits/0" + suffix, "the engine without a journal");
  std::printf("engine syncs per commit: %.2f with the journal, %.2f without\n", gEngineSyncsPerCommit[1],
              gEngineSyncsPerCommit[0]);
  benchmark::Shutdown();
  mvStorageFini();
  return 0;
}
