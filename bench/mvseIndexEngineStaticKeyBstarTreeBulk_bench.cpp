// Benchmark: an index built over a table that already holds 1,000,000
// records (a random Int32 key K, unique, and a ShortString 40), kept by the
// simple indices engine and the static-key B*-tree, beside SQLite's
// CREATE UNIQUE INDEX over the same rows (4 KB pages, synchronous=FULL,
// journal_mode=DELETE):
//  - the static-key bulk builder (keys sorted in scratch blocks, the tree
//    written bottom-up), committed;
//  - the default bulk builder (every key inserted as an ordinary insert
//    would), committed.
// Each run starts from a copy of a file that holds the records and the
// empty index (copied outside the timing). The run ends with the ratios of
// the medians of 5 repetitions.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "BenchTables.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdDataDictionary.h"
#include "index/mvixUnits.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/transactions/mvsrTransaction.h"
#include "support/mvTestTransaction.h"

namespace {

constexpr int kRecords = 1000000;

const std::vector<int32_t>& Keys() {
  static const std::vector<int32_t> keys = [] {
    std::vector<int32_t> k;
    for (int32_t i = 0; i < kRecords; ++i) k.push_back(2 * i + 1);
    std::shuffle(k.begin(), k.end(), std::mt19937(42));
    return k;
  }();
  return keys;
}

std::unique_ptr<TmvDataDictionary> Dictionary() {
  auto dd = std::make_unique<TmvDataDictionary>();
  TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
  fields->AddField(u"K", u"", mvtInt32, 0, 0, true);
  fields->AddField(u"NAME", u"", mvtShortString, 40, 0, false);
  dd->GetRecordDescriptor()->SetRecordEngine(u"Static");
  TmvMainIndicesDescriptor* indices = dd->GetIndicesDescriptor();
  indices->RemoveIndex(mvSequentialAccessIndexName);
  static_cast<TmvCompKeyDescriptor*>(indices->AddIndex(u"ByK", 0, idNone, u"")->GetKeyDescriptor())->Add(0);
  return dd;
}

struct EngineTable {
  EngineTable(TmvDataDictionary* aDD, const std::string& aPath, TmvBaseTransaction* aTrans, TmvBufferManager* aCache)
      : cache(aCache), file(mvBenchTableFile(aPath, aTrans, aCache)) {
    view = std::make_unique<TmvBlockAccess>(file, nullptr, u"t", 0);
    const TmvBlockAccessArray files{view.get()};
    records.reset(TmvBaseRecordEngine::CreateEngine(aDD, files, aTrans));
    indices.reset(TmvBaseIndicesEngine::CreateEngine(aDD, files, records.get(), aTrans, false));
  }
  ~EngineTable() {
    indices.reset();
    records.reset();
    cache->RemoveFile(file);
    file->CloseFile();
    delete file;
  }
  TmvBufferManager* cache;
  TmvBaseFile* file;
  std::unique_ptr<TmvBlockAccess> view;
  std::unique_ptr<TmvBaseRecordEngine> records;
  std::unique_ptr<TmvBaseIndicesEngine> indices;
};

const std::string kEngineBase = mvBenchTempPath("mvse-bench-bulk-base.mv1");
const std::string kEngineWork = mvBenchTempPath("mvse-bench-bulk-work.mv1");
const std::string kSqliteBase = mvBenchTempPath("mvse-bench-bulk-base.sqlite");
const std::string kSqliteWork = mvBenchTempPath("mvse-bench-bulk-work.sqlite");

void MakeEngineBase() {
  std::filesystem::remove(kEngineBase);
  auto dd = Dictionary();
  TmvBufferManager cache(u"");
  cache.SetMaxRAM(1024);
  TTestTransaction trans(&cache);
  {
    EngineTable table(dd.get(), kEngineBase, &trans, &cache);
    TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength()));
    for (int32_t k : Keys()) {
      fields->InitRecord(record.data());
      fields->SetRecordField(0, record.data(), &k);
      uint8_t name[41];
      name[0] = uint8_t(std::snprintf(reinterpret_cast<char*>(name + 1), 40, "Name %d", k));
      fields->SetRecordField(1, record.data(), name);
      TmvRefNr ref = 0;
      table.records->AddRecord(&trans, ref, record.data());
    }
    trans.Commit();
  }
}

void MakeSqliteBase() {
  std::filesystem::remove(kSqliteBase);
  sqlite3* db = mvSqliteOpen(kSqliteBase);
  mvSqliteCheck(sqlite3_exec(db, "CREATE TABLE t (k INTEGER NOT NULL, name VARCHAR(40))", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* insert = nullptr;
  mvSqliteCheck(sqlite3_prepare_v2(db, "INSERT INTO t (k, name) VALUES (?, ?)", -1, &insert, nullptr), db);
  mvSqliteCheck(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  for (int32_t k : Keys()) {
    char text[41];
    const int length = std::snprintf(text, sizeof text, "Name %d", k);
    sqlite3_bind_int(insert, 1, k);
    sqlite3_bind_text(insert, 2, text, length, SQLITE_STATIC);
    mvSqliteCheck(sqlite3_step(insert), db);
    sqlite3_reset(insert);
  }
  mvSqliteCheck(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

// Builds index 0 over every record with its engine's bulk builder (aSorted)
// or the default one, and commits.
void EngineBuild(bool aSorted) {
  auto dd = Dictionary();
  TmvBufferManager cache(u"");
  cache.SetMaxRAM(1024);
  TTestTransaction trans(&cache);
  {
    EngineTable table(dd.get(), kEngineWork, nullptr, &cache);
    TmvBaseIndexEngine* index = table.indices->biseGetIndex(0);
    std::unique_ptr<TmvBaseBulkBuilder> builder(aSorted ? index->CreateBulkBuilder(&trans)
                                                        : new TmvDefaultIndexBulkBuilder(&trans, index));
    TmvRefNr ref = 0;
    std::vector<uint8_t> buffer(size_t(dd->GetFieldsDescriptor()->RecordLength()));
    uint8_t* data = buffer.data();
    table.records->Iterate(&trans, ref, data, [&](void*, TmvRefNr aRef, const uint8_t* aRecord) {
      if (builder->InsertKey(aRef, aRecord, &trans) != 0) std::abort();
      return rirContinue;
    }, nullptr, nullptr, false, false);
    if (builder->Finalize(&trans) != 0) std::abort();
    uint32_t count = 0;
    index->GetKeyCount(&trans, count);
    if (count != uint32_t(kRecords)) std::abort();
    builder.reset();
    trans.Commit();
  }
}

void SqliteBuild() {
  sqlite3* db = mvSqliteOpen(kSqliteWork);
  mvSqliteCheck(sqlite3_exec(db, "CREATE UNIQUE INDEX byk ON t (k)", nullptr, nullptr, nullptr), db);
  sqlite3_close(db);
}

void Build(benchmark::State& state, int aWho) {
  for (auto _ : state) {
    state.PauseTiming();
    const bool engine = aWho != 2;
    std::filesystem::copy_file(engine ? kEngineBase : kSqliteBase, engine ? kEngineWork : kSqliteWork,
                               std::filesystem::copy_options::overwrite_existing);
    state.ResumeTiming();
    if (engine)
      EngineBuild(aWho == 0);
    else
      SqliteBuild();
  }
}

}  // namespace

#define MV_RUN(b) b->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond)->UseRealTime()
MV_RUN(BENCHMARK_CAPTURE(Build, Sorted, 0));
MV_RUN(BENCHMARK_CAPTURE(Build, KeyByKey, 1));
MV_RUN(BENCHMARK_CAPTURE(Build, Sqlite, 2));

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  mvIndexInit();
  mvSetOperationDeadline(0, true);
  MakeEngineBase();
  MakeSqliteBase();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const std::string runs = "/iterations:1/repeats:5/real_time";
  reporter.PrintRatio("Build/Sorted" + runs, "Build/Sqlite" + runs,
                      "SQLite (unique index over 1,000,000 records: bulk builder vs CREATE INDEX)");
  reporter.PrintRatio("Build/KeyByKey" + runs, "Build/Sqlite" + runs,
                      "SQLite (unique index over 1,000,000 records: key by key vs CREATE INDEX)");
  for (const std::string& path : {kEngineBase, kEngineWork, kSqliteBase, kSqliteWork}) std::filesystem::remove(path);
  benchmark::Shutdown();
  mvIndexFini();
  return 0;
}
