// Benchmark: a table of 1,000,000 records (Int32 auto-increment, ShortString
// 40, Double, DateTime) inserted in one transaction and committed, then
// scanned record by record, once through the static record engine and once
// through the variable one with "Smart" compression; beside SQLite doing the
// same with a prepared INSERT in one transaction (synchronous=FULL,
// journal_mode=DELETE, 4 KB pages) and a prepared SELECT. Every commit syncs
// the file. Each run is a fresh file; a scan opens the file with a fresh
// cache (the operating system's file cache is warm for all). The run ends
// with the ratios of the medians of 5 repetitions and the three file sizes.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "BenchTables.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrPosixFiles.h"
#include "storage/header/mvsrFileHeader2x.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/mvsrUnits.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/transactions/mvsrCommit.h"
#include "storage/transactions/mvsrTransaction.h"
#include "support/mvPeopleTable.h"
#include "support/mvTestTransaction.h"

namespace {

constexpr int kRecords = 1000000;

// The shared sample "people" table, stored by the static record engine or
// by the variable one with "Smart" compression.
std::unique_ptr<TmvDataDictionary> Dictionary(bool aVariable) {
  return aVariable ? TPeopleTable::Dictionary<TmvDataDictionary>(u"Variable", u"Smart")
                   : TPeopleTable::Dictionary<TmvDataDictionary>(u"Static", nullptr);
}

// One open table file of the engine with its record and auto-increment
// engines; a new file when aTrans is given.
struct EngineTable {
  EngineTable(TmvDataDictionary* aDD, const std::string& aPath, TmvBaseTransaction* aTrans, TmvBufferManager* aCache)
      : cache(aCache), file(mvBenchTableFile(aPath, aTrans, aCache)) {
    view = std::make_unique<TmvBlockAccess>(file, nullptr, u"people", 0);
    records.reset(TmvBaseRecordEngine::CreateEngine(aDD, Files(), aTrans));
    autoInc = std::make_unique<TmvSimpleAutoIncEngine>(aDD->GetAutoIncDescriptor(), Files(), aTrans);
  }
  ~EngineTable() {
    records.reset();
    autoInc.reset();
    cache->RemoveFile(file);
    file->CloseFile();
    delete file;
  }
  TmvBlockAccessArray Files() const { return {view.get()}; }

  TmvBufferManager* cache;
  TmvBaseFile* file;
  std::unique_ptr<TmvBlockAccess> view;
  std::unique_ptr<TmvBaseRecordEngine> records;
  std::unique_ptr<TmvSimpleAutoIncEngine> autoInc;
};

void EngineInsertAll(const std::string& aPath, bool aVariable) {
  std::filesystem::remove(aPath);
  auto dd = Dictionary(aVariable);
  TmvBufferManager cache(u"");
  cache.SetMaxRAM(1024);
  TTestTransaction trans(&cache);
  {
    EngineTable table(dd.get(), aPath, &trans, &cache);
    TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength()));
    for (int i = 0; i < kRecords; ++i) {
      const int32_t id = int32_t(table.autoInc->NextAutoIncValue(&trans, nullptr));
      TPeopleTable::Record(fields, id, record.data());
      TmvRefNr ref = 0;
      table.records->AddRecord(&trans, ref, record.data());
    }
    trans.Commit();
  }
}

int64_t EngineScanAll(const std::string& aPath, bool aVariable) {
  auto dd = Dictionary(aVariable);
  TmvBufferManager cache(u"");
  cache.SetMaxRAM(1024);
  EngineTable table(dd.get(), aPath, nullptr, &cache);
  std::vector<uint8_t> buffer(size_t(dd->GetFieldsDescriptor()->RecordLength()));
  uint8_t* data = buffer.data();
  TmvRefNr ref = 0;
  int64_t sum = 0;
  table.records->Iterate(nullptr, ref, data, [&](void*, TmvRefNr, const uint8_t* aRecord) {
    int32_t id;
    std::memcpy(&id, aRecord, 4);
    sum += id + aRecord[4];
    return rirContinue;
  }, nullptr, nullptr, false, false);
  return sum;
}

void SqliteInsertAll(const std::string& aPath) {
  std::filesystem::remove(aPath);
  sqlite3* db = mvSqliteOpen(aPath);
  mvSqliteCheck(sqlite3_exec(db,
                     "CREATE TABLE people (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(40), amount REAL, "
                     "moment REAL)",
                     nullptr, nullptr, nullptr),
        db);
  sqlite3_stmt* insert = nullptr;
  mvSqliteCheck(sqlite3_prepare_v2(db, "INSERT INTO people (name, amount, moment) VALUES (?, ?, ?)", -1, &insert, nullptr),
        db);
  mvSqliteCheck(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  for (int32_t id = 1; id <= kRecords; ++id) {
    char text[41];
    const int length = TPeopleTable::Name(id, text);
    sqlite3_bind_text(insert, 1, text, length, SQLITE_STATIC);
    sqlite3_bind_double(insert, 2, TPeopleTable::Amount(id));
    sqlite3_bind_double(insert, 3, TPeopleTable::When(id));
    mvSqliteCheck(sqlite3_step(insert), db);
    sqlite3_reset(insert);
  }
  mvSqliteCheck(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

int64_t SqliteScanAll(const std::string& aPath) {
  sqlite3* db = mvSqliteOpen(aPath);
  sqlite3_stmt* select = nullptr;
  mvSqliteCheck(sqlite3_prepare_v2(db, "SELECT id, name, amount, moment FROM people", -1, &select, nullptr), db);
  int64_t sum = 0;
  while (sqlite3_step(select) == SQLITE_ROW) {
    sum += sqlite3_column_int(select, 0) + sqlite3_column_bytes(select, 1);
    benchmark::DoNotOptimize(sqlite3_column_double(select, 2) + sqlite3_column_double(select, 3));
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  return sum;
}

const std::string kStaticPath = mvBenchTempPath("mvse-bench-records.mv1");
const std::string kVariablePath = mvBenchTempPath("mvse-bench-records-variable.mv1");
const std::string kSqlitePath = mvBenchTempPath("mvse-bench-records.sqlite");

void EngineInsert(benchmark::State& state, bool aVariable) {
  for (auto _ : state) EngineInsertAll(aVariable ? kVariablePath : kStaticPath, aVariable);
  state.SetItemsProcessed(int64_t(state.iterations()) * kRecords);
}

void SqliteInsert(benchmark::State& state) {
  for (auto _ : state) SqliteInsertAll(kSqlitePath);
  state.SetItemsProcessed(int64_t(state.iterations()) * kRecords);
}

// The scans read the files the inserts left.
void EngineScan(benchmark::State& state, bool aVariable) {
  for (auto _ : state) benchmark::DoNotOptimize(EngineScanAll(aVariable ? kVariablePath : kStaticPath, aVariable));
  state.SetItemsProcessed(int64_t(state.iterations()) * kRecords);
}

void SqliteScan(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(SqliteScanAll(kSqlitePath));
  state.SetItemsProcessed(int64_t(state.iterations()) * kRecords);
}

}  // namespace

#define MV_RUN(b) b->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond)->UseRealTime()
MV_RUN(BENCHMARK_CAPTURE(EngineInsert, Static, false));
MV_RUN(BENCHMARK_CAPTURE(EngineInsert, Variable, true));
MV_RUN(BENCHMARK(SqliteInsert));
MV_RUN(BENCHMARK_CAPTURE(EngineScan, Static, false));
MV_RUN(BENCHMARK_CAPTURE(EngineScan, Variable, true));
MV_RUN(BENCHMARK(SqliteScan));

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  mvStorageInit();  // once: the benchmark functions run several times
  mvSetOperationDeadline(0, true);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const std::string runs = "/iterations:1/repeats:5/real_time";
  for (const char* engine : {"Static", "Variable"}) {
    reporter.PrintRatio("EngineInsert/" + std::string(engine) + runs, "SqliteInsert" + runs,
                        "SQLite (insert 1,000,000 and commit)");
    reporter.PrintRatio("EngineScan/" + std::string(engine) + runs, "SqliteScan" + runs, "SQLite (full scan)");
  }
  for (const std::string& path : {kStaticPath, kVariablePath, kSqlitePath}) {
    if (std::filesystem::exists(path))
      std::printf("%-50s %12llu bytes\n", path.c_str(), (unsigned long long)std::filesystem::file_size(path));
    std::filesystem::remove(path);
  }
  benchmark::Shutdown();
  mvStorageFini();
  return 0;
}
