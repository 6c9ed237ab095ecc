// Benchmark: 1,000,000 records of 100 bytes (a random Int32 and a
// ShortString key, a sequence number, padding) sorted by (Int32, text):
//  - by the merge sort engine of a server database whose block cache has
//    16 MB and a temporary storage: the runs are temporary tables that
//    spill out of memory;
//  - by std::stable_sort of the same records in memory;
//  - by SQLite's ORDER BY on a table without index (temp_store=FILE, a
//    16 MB page cache), every row stepped through.
// Putting and getting every record is timed for the engine, copying and
// sorting for std::stable_sort. The run ends with both ratios of the medians
// of 5 repetitions.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
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
#include "server/mvseSortEngineMerge.h"
#include "server/mvsrServerEngine.h"
#include "server/mvsrServerSession.h"
#include "server/mvsrServerUnits.h"
#include "storage/mvsrTimeoutHandling.h"
#include "support/mvSortRecord.h"

namespace {

constexpr int32_t kRecords = 1000000;
constexpr int32_t kCacheMB = 16;

// The record as the standard library sorts it: 100 bytes.
struct Row {
  int32_t k;
  int32_t seq;
  uint8_t s[21];  // length byte and up to 20 characters
  uint8_t pad[71];
};
static_assert(sizeof(Row) == 100);
bool RowLess(const Row& a, const Row& b) {
  if (a.k != b.k) return a.k < b.k;
  const int c = std::memcmp(a.s + 1, b.s + 1, std::min(a.s[0], b.s[0]));
  return c != 0 ? c < 0 : a.s[0] < b.s[0];
}

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = [] {
    std::vector<Row> r(kRecords);
    std::mt19937 random(42);
    for (int32_t i = 0; i < kRecords; ++i) {
      Row& row = r[size_t(i)];
      std::memset(&row, 0, sizeof row);
      row.k = int32_t(random() % 50000);
      row.s[0] = 8;
      for (int c = 1; c <= 8; ++c) row.s[c] = uint8_t('a' + random() % 26);
      row.seq = i;
      std::memset(row.pad, i & 0xFF, sizeof row.pad);
    }
    return r;
  }();
  return rows;
}

// The engine: a server database on a scratch folder.
struct Engine {
  Engine() {
    engine = new TmvServerEngine(nullptr);
    engine->SetMaxRAM(kCacheMB);
    engine->SetTempStoreSize(512);
    engine->SetActive(true);
    if (engine->SessionOpen(session, String(), String(), String(), 0) != 0) std::abort();
    std::filesystem::create_directories(folder);
    const String path = UTF8ToString(std::filesystem::canonical(folder).string() + "/");
    if (session->DatabaseOpen(database, u"Path", path, nullptr, omReadWrite, smShared, 0) != 0) std::abort();
    index = mvAddSortRecordFields(dict);
    TmvFieldsDescriptor* f = dict.GetFieldsDescriptor();
    // The records as the engine lays them out.
    records.resize(size_t(kRecords) * size_t(f->RecordLength()));
    for (int32_t i = 0; i < kRecords; ++i) {
      const Row& row = Rows()[size_t(i)];
      uint8_t* r = Record(i);
      f->InitRecord(r);
      f->SetRecordField(0, r, &row.k);
      f->SetRecordField(1, r, row.s);
      f->SetRecordField(2, r, &row.seq);
    }
  }
  ~Engine() {
    TmvAbstractServerObject::Free(session);
    delete engine;
    std::filesystem::remove_all(folder);
  }
  uint8_t* Record(int32_t i) { return records.data() + size_t(i) * size_t(dict.GetFieldsDescriptor()->RecordLength()); }

  std::string folder = mvBenchTempPath("mvse-bench-sort");
  TmvServerEngine* engine = nullptr;
  TmvAbstractSession* session = nullptr;
  TmvAbstractDatabase* database = nullptr;
  TmvDataDictionary dict;
  TmvIndexDescriptor* index = nullptr;
  std::vector<uint8_t> records;
};
Engine* gEngine = nullptr;

const std::string kSqlite = mvBenchTempPath("mvse-bench-sort.sqlite");

void MakeSqlite() {
  std::filesystem::remove(kSqlite);
  sqlite3* db = mvSqliteOpen(kSqlite);
  mvSqliteCheck(sqlite3_exec(db, "CREATE TABLE t (k INTEGER NOT NULL, s TEXT NOT NULL, seq INTEGER, pad BLOB)",
                             nullptr, nullptr, nullptr),
                db);
  sqlite3_stmt* insert = nullptr;
  mvSqliteCheck(sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?, ?)", -1, &insert, nullptr), db);
  mvSqliteCheck(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  for (const Row& row : Rows()) {
    sqlite3_bind_int(insert, 1, row.k);
    sqlite3_bind_text(insert, 2, reinterpret_cast<const char*>(row.s + 1), row.s[0], SQLITE_STATIC);
    sqlite3_bind_int(insert, 3, row.seq);
    sqlite3_bind_blob(insert, 4, row.pad, sizeof row.pad, SQLITE_STATIC);
    mvSqliteCheck(sqlite3_step(insert), db);
    sqlite3_reset(insert);
  }
  mvSqliteCheck(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

void Sort(benchmark::State& state, int aWhich) {
  for (auto _ : state) {
    int64_t delivered = 0;
    if (aWhich == 0) {
      mvSetOperationDeadline(0, true);
      TmvMergeSortEngine sorter(gEngine->database, &gEngine->dict, gEngine->index);
      for (int32_t i = 0; i < kRecords; ++i)
        if (sorter.Put(gEngine->Record(i)) != 0) state.SkipWithError("Put failed");
      std::vector<uint8_t> r(size_t(gEngine->dict.GetFieldsDescriptor()->RecordLength()));
      while (sorter.Get(r.data()) == 0) ++delivered;
    } else if (aWhich == 1) {
      std::vector<Row> rows = Rows();
      std::stable_sort(rows.begin(), rows.end(), RowLess);
      benchmark::DoNotOptimize(rows.data());
      delivered = int64_t(rows.size());
    } else {
      sqlite3* db = mvSqliteOpen(kSqlite);
      const std::string pragmas = "PRAGMA temp_store=FILE; PRAGMA cache_size=-" + std::to_string(kCacheMB * 1024);
      mvSqliteCheck(sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr), db);
      sqlite3_stmt* select = nullptr;
      mvSqliteCheck(sqlite3_prepare_v2(db, "SELECT k, s, seq, pad FROM t ORDER BY k, s", -1, &select, nullptr), db);
      while (sqlite3_step(select) == SQLITE_ROW) {
        benchmark::DoNotOptimize(sqlite3_column_blob(select, 3));
        ++delivered;
      }
      sqlite3_finalize(select);
      sqlite3_close(db);
    }
    if (delivered != kRecords) state.SkipWithError("not every record was delivered");
  }
}

}  // namespace

#define MV_RUN(b) b->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond)->UseRealTime()
MV_RUN(BENCHMARK_CAPTURE(Sort, MergeSortEngine, 0));
MV_RUN(BENCHMARK_CAPTURE(Sort, StableSort, 1));
MV_RUN(BENCHMARK_CAPTURE(Sort, Sqlite, 2));

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  mvServerInit();
  mvIndexInit();
  mvSetOperationDeadline(0, true);
  gEngine = new Engine;
  MakeSqlite();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const std::string runs = "/iterations:1/repeats:5/real_time";
  reporter.PrintRatio("Sort/MergeSortEngine" + runs, "Sort/StableSort" + runs,
                      "std::stable_sort (1,000,000 records of 100 bytes, spilling vs in memory)");
  reporter.PrintRatio("Sort/MergeSortEngine" + runs, "Sort/Sqlite" + runs,
                      "SQLite (1,000,000 records of 100 bytes: ORDER BY without index, temp_store=FILE)");
  delete gEngine;
  std::filesystem::remove(kSqlite);
  benchmark::Shutdown();
  mvIndexFini();
  mvServerFini();
  return 0;
}
