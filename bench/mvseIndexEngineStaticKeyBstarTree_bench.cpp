// Benchmark: a table of 1,000,000 records (a random Int32 key K, unique,
// and a ShortString 40) with a unique index on K, kept by the simple
// indices engine and the static-key B*-tree beside SQLite with the same
// unique index created first (4 KB pages, synchronous=FULL,
// journal_mode=DELETE, prepared statements):
//  - insert the records in random key order with the index maintained, and
//    commit;
//  - 100,000 random point lookups, each reading its record;
//  - a range scan over 10% of the keys, reading every record;
//  - 100,000 random deletes (found by key), committed.
// The inserts write a fresh file each run; the lookups and the scan read
// the file the inserts left, with a fresh cache; each delete run starts from
// a copy of that file (copied outside the timing). The run ends with the
// ratios of the medians of 5 repetitions.
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
#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "dictionary/mvsdDataDictionary.h"
#include "index/mvixUnits.h"
#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrPosixFiles.h"
#include "storage/header/mvsrFileHeader2x.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/transactions/mvsrTransaction.h"
#include "support/mvTestTransaction.h"

namespace {

constexpr int kRecords = 1000000;
constexpr int kLookups = 100000;
constexpr int kDeletes = 100000;

// The keys in insert order (a random permutation of odd numbers), the
// lookup and delete keys (random among them), and the scan's range.
struct Workload {
  std::vector<int32_t> inserts, lookups, deletes;
  int32_t scanFrom, scanTo;
  Workload() {
    std::mt19937 random(42);
    for (int32_t i = 0; i < kRecords; ++i) inserts.push_back(2 * i + 1);
    std::shuffle(inserts.begin(), inserts.end(), random);
    for (int i = 0; i < kLookups; ++i) lookups.push_back(inserts[random() % kRecords]);
    std::vector<int32_t> pool = inserts;
    std::shuffle(pool.begin(), pool.end(), random);
    deletes.assign(pool.begin(), pool.begin() + kDeletes);
    scanFrom = 2 * (kRecords / 3) + 1;
    scanTo = scanFrom + 2 * (kRecords / 10) - 2;  // 10% of the keys
  }
};
const Workload& Keys() {
  static const Workload workload;
  return workload;
}
void NameOf(int32_t aKey, char (&aText)[41], int& aLength) {
  aLength = std::snprintf(aText, sizeof aText, "Name %d", aKey);
}

// The table: K and NAME, static records, a unique index on K.
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

// One open table file with its record and indices engines; a new file when
// aTrans is given.
struct EngineTable {
  EngineTable(TmvDataDictionary* aDD, const std::string& aPath, TmvBaseTransaction* aTrans, TmvBufferManager* aCache)
      : cache(aCache), file(mvBenchTableFile(aPath, aTrans, aCache)) {
    view = std::make_unique<TmvBlockAccess>(file, nullptr, u"t", 0);
    records.reset(TmvBaseRecordEngine::CreateEngine(aDD, Files(), aTrans));
    indices.reset(TmvBaseIndicesEngine::CreateEngine(aDD, Files(), records.get(), aTrans, false));
    index = indices->biseGetIndex(0);
    fields = aDD->GetFieldsDescriptor();
    record.resize(size_t(fields->RecordLength()));
    key = index->KeyEngine()->AllocKey();
  }
  ~EngineTable() {
    index->KeyEngine()->FreeKey(key);
    indices.reset();
    records.reset();
    cache->RemoveFile(file);
    file->CloseFile();
    delete file;
  }
  TmvBlockAccessArray Files() const { return {view.get()}; }
  // The record of a key.
  uint8_t* Record(int32_t aKey) {
    fields->InitRecord(record.data());
    fields->SetRecordField(0, record.data(), &aKey);
    char text[41];
    int length;
    NameOf(aKey, text, length);
    uint8_t name[41] = {uint8_t(length)};
    std::memcpy(name + 1, text, size_t(length));
    fields->SetRecordField(1, record.data(), name);
    return record.data();
  }
  // The index key of K, built as a cursor builds a search key.
  void* Key(int32_t aKey) {
    fields->InitRecord(record.data());
    fields->SetRecordField(0, record.data(), &aKey);
    index->KeyEngine()->BuildKey(record.data(), key, 0, true);
    return key;
  }

  TmvBufferManager* cache;
  TmvBaseFile* file;
  std::unique_ptr<TmvBlockAccess> view;
  std::unique_ptr<TmvBaseRecordEngine> records;
  std::unique_ptr<TmvBaseIndicesEngine> indices;
  TmvBaseIndexEngine* index;
  TmvFieldsDescriptor* fields;
  std::vector<uint8_t> record;
  void* key;
};

const std::string kEnginePath = mvBenchTempPath("mvse-bench-index.mv1");
const std::string kEngineDeletePath = mvBenchTempPath("mvse-bench-index-delete.mv1");
const std::string kSqlitePath = mvBenchTempPath("mvse-bench-index.sqlite");
const std::string kSqliteDeletePath = mvBenchTempPath("mvse-bench-index-delete.sqlite");

void EngineInsertAll() {
  std::filesystem::remove(kEnginePath);
  auto dd = Dictionary();
  TmvBufferManager cache(u"");
  cache.SetMaxRAM(1024);
  TTestTransaction trans(&cache);
  {
    EngineTable table(dd.get(), kEnginePath, &trans, &cache);
    for (int32_t k : Keys().inserts) {
      uint8_t* record = table.Record(k);
      TmvRefNr ref = 0;
      table.records->AddRecord(&trans, ref, record);
      if (table.indices->InsertKeys(&trans, ref, record, nullptr) != 0) std::abort();
    }
    trans.Commit();
  }
}

int64_t EngineLookups() {
  auto dd = Dictionary();
  TmvBufferManager cache(u"");
  cache.SetMaxRAM(1024);
  EngineTable table(dd.get(), kEnginePath, nullptr, &cache);
  std::unique_ptr<TmvBaseIndexPath> path(table.index->CreateIndexPath());
  std::vector<uint8_t> record(table.record.size());
  int64_t sum = 0;
  for (int32_t k : Keys().lookups) {
    if (!table.index->FindKey(nullptr, table.Key(k), 0, 0, 0, path.get(), skaEqualFirst, nullptr)) std::abort();
    table.records->ReadRecord(nullptr, path->RefNr, record.data());
    sum += record[4];
  }
  return sum;
}

int64_t EngineScan() {
  auto dd = Dictionary();
  TmvBufferManager cache(u"");
  cache.SetMaxRAM(1024);
  EngineTable table(dd.get(), kEnginePath, nullptr, &cache);
  std::unique_ptr<TmvBaseIndexPath> path(table.index->CreateIndexPath());
  std::vector<uint8_t> from(table.index->KeyEngine()->bkeKeyLength), to(from.size());
  table.index->KeyEngine()->CopyKey(table.Key(Keys().scanFrom), from.data());
  table.index->KeyEngine()->CopyKey(table.Key(Keys().scanTo), to.data());
  TmvRangeInfo start{from.data(), 1, 0, false, true}, end{to.data(), 1, 0, false, true};
  std::vector<uint8_t> buffer(table.record.size());
  uint8_t* data = buffer.data();
  int64_t sum = 0, rows = 0;
  table.index->Iterate(nullptr, path.get(), data, nullptr,
                       [&](void*, TmvRefNr, const uint8_t* aRecord) {
                         ++rows;
                         sum += aRecord[4];
                         return rirContinue;
                       },
                       nullptr, start, end, nullptr, nullptr, false);
  if (rows != kRecords / 10) std::abort();
  return sum;
}

void EngineDeleteAll() {
  auto dd = Dictionary();
  TmvBufferManager cache(u"");
  cache.SetMaxRAM(1024);
  TTestTransaction trans(&cache);
  {
    EngineTable table(dd.get(), kEngineDeletePath, nullptr, &cache);
    std::unique_ptr<TmvBaseIndexPath> path(table.index->CreateIndexPath());
    std::vector<uint8_t> record(table.record.size());
    for (int32_t k : Keys().deletes) {
      if (!table.index->FindKey(&trans, table.Key(k), 0, 0, 0, path.get(), skaEqualFirst, nullptr)) std::abort();
      const TmvRefNr ref = path->RefNr;
      table.records->ReadRecord(&trans, ref, record.data());
      // The path found the key: the delete starts from it, as a cursor's does.
      if (table.indices->DeleteKeys(&trans, ref, record.data(), path.get()) != 0) std::abort();
      table.records->DeleteRecord(&trans, ref);
    }
    trans.Commit();
  }
}

sqlite3_stmt* Prepare(sqlite3* aDb, const char* aSql) {
  sqlite3_stmt* statement = nullptr;
  mvSqliteCheck(sqlite3_prepare_v2(aDb, aSql, -1, &statement, nullptr), aDb);
  return statement;
}

void SqliteInsertAll() {
  std::filesystem::remove(kSqlitePath);
  sqlite3* db = mvSqliteOpen(kSqlitePath);
  mvSqliteCheck(sqlite3_exec(db, "CREATE TABLE t (k INTEGER NOT NULL, name VARCHAR(40)); CREATE UNIQUE INDEX byk ON t (k);",
                     nullptr, nullptr, nullptr),
        db);
  sqlite3_stmt* insert = Prepare(db, "INSERT INTO t (k, name) VALUES (?, ?)");
  mvSqliteCheck(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  for (int32_t k : Keys().inserts) {
    char text[41];
    int length;
    NameOf(k, text, length);
    sqlite3_bind_int(insert, 1, k);
    sqlite3_bind_text(insert, 2, text, length, SQLITE_STATIC);
    mvSqliteCheck(sqlite3_step(insert), db);
    sqlite3_reset(insert);
  }
  mvSqliteCheck(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

int64_t SqliteLookups() {
  sqlite3* db = mvSqliteOpen(kSqlitePath);
  sqlite3_stmt* select = Prepare(db, "SELECT name FROM t WHERE k = ?");
  int64_t sum = 0;
  for (int32_t k : Keys().lookups) {
    sqlite3_bind_int(select, 1, k);
    if (sqlite3_step(select) != SQLITE_ROW) std::abort();
    sum += sqlite3_column_bytes(select, 0);
    sqlite3_reset(select);
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  return sum;
}

int64_t SqliteScan() {
  sqlite3* db = mvSqliteOpen(kSqlitePath);
  sqlite3_stmt* select = Prepare(db, "SELECT k, name FROM t WHERE k BETWEEN ? AND ? ORDER BY k");
  sqlite3_bind_int(select, 1, Keys().scanFrom);
  sqlite3_bind_int(select, 2, Keys().scanTo);
  int64_t sum = 0, rows = 0;
  while (sqlite3_step(select) == SQLITE_ROW) {
    ++rows;
    sum += sqlite3_column_bytes(select, 1) + sqlite3_column_int(select, 0);
  }
  if (rows != kRecords / 10) std::abort();
  sqlite3_finalize(select);
  sqlite3_close(db);
  return sum;
}

void SqliteDeleteAll() {
  sqlite3* db = mvSqliteOpen(kSqliteDeletePath);
  sqlite3_stmt* erase = Prepare(db, "DELETE FROM t WHERE k = ?");
  mvSqliteCheck(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  for (int32_t k : Keys().deletes) {
    sqlite3_bind_int(erase, 1, k);
    mvSqliteCheck(sqlite3_step(erase), db);
    if (sqlite3_changes(db) != 1) std::abort();
    sqlite3_reset(erase);
  }
  mvSqliteCheck(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_finalize(erase);
  sqlite3_close(db);
}

void Copy(const std::string& aFrom, const std::string& aTo) {
  std::filesystem::copy_file(aFrom, aTo, std::filesystem::copy_options::overwrite_existing);
}

void Insert(benchmark::State& state, bool aEngine) {
  Keys();
  for (auto _ : state) aEngine ? EngineInsertAll() : SqliteInsertAll();
}

void Lookup(benchmark::State& state, bool aEngine) {
  for (auto _ : state) benchmark::DoNotOptimize(aEngine ? EngineLookups() : SqliteLookups());
}

void Scan(benchmark::State& state, bool aEngine) {
  for (auto _ : state) benchmark::DoNotOptimize(aEngine ? EngineScan() : SqliteScan());
}

void Delete(benchmark::State& state, bool aEngine) {
  for (auto _ : state) {
    state.PauseTiming();
    if (aEngine)
      Copy(kEnginePath, kEngineDeletePath);
    else
      Copy(kSqlitePath, kSqliteDeletePath);
    state.ResumeTiming();
    aEngine ? EngineDeleteAll() : SqliteDeleteAll();
  }
}

}  // namespace

#define MV_RUN(b) b->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond)->UseRealTime()
MV_RUN(BENCHMARK_CAPTURE(Insert, Engine, true));
MV_RUN(BENCHMARK_CAPTURE(Insert, Sqlite, false));
MV_RUN(BENCHMARK_CAPTURE(Lookup, Engine, true));
MV_RUN(BENCHMARK_CAPTURE(Lookup, Sqlite, false));
MV_RUN(BENCHMARK_CAPTURE(Scan, Engine, true));
MV_RUN(BENCHMARK_CAPTURE(Scan, Sqlite, false));
MV_RUN(BENCHMARK_CAPTURE(Delete, Engine, true));
MV_RUN(BENCHMARK_CAPTURE(Delete, Sqlite, false));

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  mvIndexInit();  // once: the benchmark functions run several times
  mvSetOperationDeadline(0, true);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const std::string runs = "/iterations:1/repeats:5/real_time";
  const std::pair<const char*, const char*> phases[] = {
      {"Insert", "SQLite (insert 1,000,000 random keys with the unique index, commit)"},
      {"Lookup", "SQLite (100,000 random point lookups reading the record)"},
      {"Scan", "SQLite (range scan of 10% of the keys reading the records)"},
      {"Delete", "SQLite (100,000 random deletes by key, commit)"}};
  for (const auto& [phase, what] : phases)
    reporter.PrintRatio(std::string(phase) + "/Engine" + runs, std::string(phase) + "/Sqlite" + runs, what);
  for (const std::string& path : {kEnginePath, kSqlitePath}) {
    if (std::filesystem::exists(path))
      std::printf("%-50s %12llu bytes\n", path.c_str(), (unsigned long long)std::filesystem::file_size(path));
  }
  for (const std::string& path : {kEnginePath, kEngineDeletePath, kSqlitePath, kSqliteDeletePath})
    std::filesystem::remove(path);
  benchmark::Shutdown();
  mvIndexFini();
  return 0;
}
