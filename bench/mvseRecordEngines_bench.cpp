// Benchmark: a table of 1,000,000 records (Int32 auto-increment, ShortString
// 40, Double, DateTime) through the static record engine and through the
// variable one with "Smart" compression, beside SQLite with prepared
// statements: the records inserted in one transaction and committed; a
// full scan; 100,000 point reads by reference; 100,000 same-size updates
// (every tenth record's amount) and a commit; every third record deleted
// and a commit. Every field of every record read is extracted on both
// sides. Every commit syncs: SQLite runs with synchronous=FULL and
// journal_mode=DELETE (4 KB pages), and, as the faster peer on a second
// line, with WAL and synchronous=NORMAL. Each workload opens its file with
// a fresh cache (the operating system's file cache is warm for all). The
// rounds alternate between the engine and SQLite; the run ends with the
// ratios of the medians (5 rounds unless MV_BENCH_ROUNDS says otherwise),
// the page faults per inserted block and the peak resident size of each
// insert, and the file sizes.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchRounds.h"
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

constexpr int kReads = 100000;
constexpr int kUpdates = 100000;

// What every workload extracts from a record: all four fields.
struct TSum {
  int64_t ids = 0, nameBytes = 0;
  double numbers = 0;
};

void ReadFields(TmvFieldsDescriptor* aFields, const uint8_t* aRecord, TSum& aSum) {
  bool isNull = false;
  int32_t id = 0;
  uint8_t name[64];
  double amount = 0, when = 0;
  aFields->GetRecordField(0, aRecord, isNull, &id);
  aFields->GetRecordField(1, aRecord, isNull, name);
  aFields->GetRecordField(2, aRecord, isNull, &amount);
  aFields->GetRecordField(3, aRecord, isNull, &when);
  aSum.ids += id;
  aSum.nameBytes += name[0] + (name[0] ? name[1] : 0);
  aSum.numbers += amount + when;
}

// The records a workload touches: the read IDs in a fixed random order, the
// updated ones (every tenth) and the deleted ones (every third).
const std::vector<int32_t>& ReadIDs() {
  static const std::vector<int32_t> ids = [] {
    std::mt19937 random(7);
    std::vector<int32_t> v(kReads);
    for (int32_t& id : v) id = int32_t(1 + random() % kRecords);
    return v;
  }();
  return ids;
}
int32_t UpdatedID(int aIndex) { return 1 + aIndex * (kRecords / kUpdates); }

struct TEngineSide {
  bool variable;
  std::string path;
  std::vector<TmvRefNr> refs;  // by ID - 1, from the insert
};

void EngineInsertAll(benchmark::State& state, TEngineSide& aSide) {
  std::filesystem::remove(aSide.path);
  aSide.refs.assign(kRecords, 0);
  TBenchMemory memory;
  {
    auto dd = Dictionary(aSide.variable);
    TmvBufferManager cache(u"");
    cache.SetMaxRAM(1024);
    TTestTransaction trans(&cache);
    EngineTable table(dd.get(), aSide.path, &trans, &cache);
    TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields->RecordLength()));
    for (int i = 0; i < kRecords; ++i) {
      const int32_t id = int32_t(table.autoInc->NextAutoIncValue(&trans, nullptr));
      TPeopleTable::Record(fields, id, record.data());
      TmvRefNr ref = 0;
      table.records->AddRecord(&trans, ref, record.data());
      aSide.refs[size_t(id - 1)] = ref;
    }
    trans.Commit();
  }
  const double blocks = double(std::filesystem::file_size(aSide.path)) / 4096;
  state.counters["faults/block"] = double(memory.FaultsSince()) / blocks;
  state.counters["peakMB"] = TBenchMemory::PeakMB();
}

void EngineScanAll(TEngineSide& aSide) {
  auto dd = Dictionary(aSide.variable);
  TmvBufferManager cache(u"");
  cache.SetMaxRAM(1024);
  EngineTable table(dd.get(), aSide.path, nullptr, &cache);
  TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
  std::vector<uint8_t> buffer(size_t(fields->RecordLength()));
  uint8_t* data = buffer.data();
  TmvRefNr ref = 0;
  TSum sum;
  table.records->Iterate(nullptr, ref, data, [&](void*, TmvRefNr, const uint8_t* aRecord) {
    ReadFields(fields, aRecord, sum);
    return rirContinue;
  }, nullptr, nullptr, false, false);
  benchmark::DoNotOptimize(sum);
}

void EngineReadAll(TEngineSide& aSide) {
  auto dd = Dictionary(aSide.variable);
  TmvBufferManager cache(u"");
  cache.SetMaxRAM(1024);
  EngineTable table(dd.get(), aSide.path, nullptr, &cache);
  TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
  std::vector<uint8_t> record(size_t(fields->RecordLength()));
  TSum sum;
  for (int32_t id : ReadIDs()) {
    table.records->ReadRecord(nullptr, aSide.refs[size_t(id - 1)], record.data());
    ReadFields(fields, record.data(), sum);
  }
  benchmark::DoNotOptimize(sum);
}

void EngineUpdateAll(TEngineSide& aSide) {
  auto dd = Dictionary(aSide.variable);
  TmvBufferManager cache(u"");
  cache.SetMaxRAM(1024);
  EngineTable table(dd.get(), aSide.path, nullptr, &cache);
  TmvFieldsDescriptor* fields = dd->GetFieldsDescriptor();
  std::vector<uint8_t> record(size_t(fields->RecordLength()));
  TTestTransaction trans(&cache);
  for (int i = 0; i < kUpdates; ++i) {
    const int32_t id = UpdatedID(i);
    TPeopleTable::Record(fields, id, record.data());
    const double amount = -TPeopleTable::Amount(id);
    fields->SetRecordField(2, record.data(), &amount);
    table.records->UpdateRecord(&trans, aSide.refs[size_t(id - 1)], record.data(), nullptr);
  }
  trans.Commit();
}

void EngineDeleteAll(TEngineSide& aSide) {
  auto dd = Dictionary(aSide.variable);
  TmvBufferManager cache(u"");
  cache.SetMaxRAM(1024);
  EngineTable table(dd.get(), aSide.path, nullptr, &cache);
  TTestTransaction trans(&cache);
  for (int32_t id = 3; id <= kRecords; id += 3) table.records->DeleteRecord(&trans, aSide.refs[size_t(id - 1)]);
  trans.Commit();
}

struct TSqliteSide {
  bool wal;
  std::string path;
};

void SqliteInsertAll(benchmark::State& state, TSqliteSide& aSide) {
  mvSqliteRemove(aSide.path);
  TBenchMemory memory;
  sqlite3* db = mvSqliteOpen(aSide.path, aSide.wal);
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
  const double blocks = double(std::filesystem::file_size(aSide.path)) / 4096;
  state.counters["faults/block"] = double(memory.FaultsSince()) / blocks;
  state.counters["peakMB"] = TBenchMemory::PeakMB();
}

void SqliteRow(sqlite3_stmt* aSelect, TSum& aSum) {
  aSum.ids += sqlite3_column_int(aSelect, 0);
  const unsigned char* name = sqlite3_column_text(aSelect, 1);
  const int length = sqlite3_column_bytes(aSelect, 1);
  aSum.nameBytes += length + (length ? name[0] : 0);
  aSum.numbers += sqlite3_column_double(aSelect, 2) + sqlite3_column_double(aSelect, 3);
}

void SqliteScanAll(TSqliteSide& aSide) {
  sqlite3* db = mvSqliteOpen(aSide.path, aSide.wal);
  sqlite3_stmt* select = nullptr;
  mvSqliteCheck(sqlite3_prepare_v2(db, "SELECT id, name, amount, moment FROM people", -1, &select, nullptr), db);
  TSum sum;
  while (sqlite3_step(select) == SQLITE_ROW) SqliteRow(select, sum);
  benchmark::DoNotOptimize(sum);
  sqlite3_finalize(select);
  sqlite3_close(db);
}

void SqliteReadAll(TSqliteSide& aSide) {
  sqlite3* db = mvSqliteOpen(aSide.path, aSide.wal);
  sqlite3_stmt* select = nullptr;
  mvSqliteCheck(
      sqlite3_prepare_v2(db, "SELECT id, name, amount, moment FROM people WHERE id = ?", -1, &select, nullptr), db);
  TSum sum;
  for (int32_t id : ReadIDs()) {
    sqlite3_bind_int(select, 1, id);
    if (sqlite3_step(select) != SQLITE_ROW) std::abort();
    SqliteRow(select, sum);
    sqlite3_reset(select);
  }
  benchmark::DoNotOptimize(sum);
  sqlite3_finalize(select);
  sqlite3_close(db);
}

void SqliteUpdateAll(TSqliteSide& aSide) {
  sqlite3* db = mvSqliteOpen(aSide.path, aSide.wal);
  sqlite3_stmt* update = nullptr;
  mvSqliteCheck(sqlite3_prepare_v2(db, "UPDATE people SET amount = ? WHERE id = ?", -1, &update, nullptr), db);
  mvSqliteCheck(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  for (int i = 0; i < kUpdates; ++i) {
    const int32_t id = UpdatedID(i);
    sqlite3_bind_double(update, 1, -TPeopleTable::Amount(id));
    sqlite3_bind_int(update, 2, id);
    mvSqliteCheck(sqlite3_step(update), db);
    sqlite3_reset(update);
  }
  mvSqliteCheck(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_finalize(update);
  sqlite3_close(db);
}

void SqliteDeleteAll(TSqliteSide& aSide) {
  sqlite3* db = mvSqliteOpen(aSide.path, aSide.wal);
  sqlite3_stmt* erase = nullptr;
  mvSqliteCheck(sqlite3_prepare_v2(db, "DELETE FROM people WHERE id = ?", -1, &erase, nullptr), db);
  mvSqliteCheck(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  for (int32_t id = 3; id <= kRecords; id += 3) {
    sqlite3_bind_int(erase, 1, id);
    mvSqliteCheck(sqlite3_step(erase), db);
    sqlite3_reset(erase);
  }
  mvSqliteCheck(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_finalize(erase);
  sqlite3_close(db);
}

TEngineSide gStatic{false, mvBenchTempPath("mvse-bench-records.mv1"), {}};
TEngineSide gVariable{true, mvBenchTempPath("mvse-bench-records-variable.mv1"), {}};
TSqliteSide gSqlite{false, mvBenchTempPath("mvse-bench-records.sqlite")};
TSqliteSide gSqliteWal{true, mvBenchTempPath("mvse-bench-records-wal.sqlite")};

const char* const kWorkloads[] = {"Insert", "Scan", "Reads", "Update", "Delete"};

// One round: every workload on every side, the sides alternating within it.
void RegisterRound(int aRound) {
  using TState = benchmark::State;
  TEngineSide* engines[] = {&gStatic, &gVariable};
  TSqliteSide* sqlites[] = {&gSqlite, &gSqliteWal};
  for (const char* workload : kWorkloads) {
    const std::string w = workload;
    for (TEngineSide* side : engines) {
      TBenchRounds::Add(w + (side->variable ? "/Variable" : "/Static"), aRound, [w, side](TState& state) {
        for (auto _ : state) {
          if (w == "Insert") EngineInsertAll(state, *side);
          else if (w == "Scan") EngineScanAll(*side);
          else if (w == "Reads") EngineReadAll(*side);
          else if (w == "Update") EngineUpdateAll(*side);
          else EngineDeleteAll(*side);
        }
      });
    }
    for (TSqliteSide* side : sqlites) {
      TBenchRounds::Add(w + (side->wal ? "/SQLiteWAL" : "/SQLite"), aRound, [w, side](TState& state) {
        for (auto _ : state) {
          if (w == "Insert") SqliteInsertAll(state, *side);
          else if (w == "Scan") SqliteScanAll(*side);
          else if (w == "Reads") SqliteReadAll(*side);
          else if (w == "Update") SqliteUpdateAll(*side);
          else SqliteDeleteAll(*side);
        }
      });
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* roundsText = std::getenv("MV_BENCH_ROUNDS");
  const int rounds = roundsText ? std::max(1, std::atoi(roundsText)) : 5;
  for (int round = 0; round < rounds; ++round) RegisterRound(round);
  benchmark::Initialize(&argc, argv);
  mvStorageInit();  // once: the benchmark functions run several times
  mvSetOperationDeadline(0, true);
  TBenchRounds reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nengine time / SQLite time (medians of alternating rounds):\n");
  for (const char* workload : kWorkloads)
    for (const char* engine : {"Static", "Variable"})
      for (const char* reference : {"SQLite", "SQLiteWAL"})
        reporter.PrintRatio(std::string(workload) + "/" + engine, std::string(workload) + "/" + reference);
  std::printf("\ninsert of 1,000,000 records:\n");
  for (const char* side : {"Insert/Static", "Insert/Variable", "Insert/SQLite", "Insert/SQLiteWAL"})
    if (reporter.Rounds(side) > 0)
      std::printf("  %-20s %6.2f page faults per block, peak resident %7.1f MB\n", side,
                  reporter.CounterMedian(side, "faults/block"), reporter.CounterMedian(side, "peakMB"));
  for (const std::string& path : {gStatic.path, gVariable.path, gSqlite.path, gSqliteWal.path}) {
    if (std::filesystem::exists(path))
      std::printf("%-50s %12llu bytes\n", path.c_str(), (unsigned long long)std::filesystem::file_size(path));
  }
  std::filesystem::remove(gStatic.path);
  std::filesystem::remove(gVariable.path);
  mvSqliteRemove(gSqlite.path);
  mvSqliteRemove(gSqliteWal.path);
  benchmark::Shutdown();
  mvStorageFini();
  return 0;
}
