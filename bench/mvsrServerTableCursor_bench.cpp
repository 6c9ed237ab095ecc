// Benchmark: records through the table cursor of the public header beside
// SQLite with the same two indexes (a unique one on NAME, one with
// duplicates on GRP; 4 KB pages, synchronous=FULL, journal_mode=DELETE,
// prepared statements):
//  - 1,000,000 inserts in one transaction, committed (each repetition into
//    a new table; the last one serves the phases below);
//  - 100,000 random finds by NAME;
//  - a range scan over 10 % of the GRP values;
//  - 100,000 updates by NAME, committed;
//  - 100,000 deletes by NAME, committed (each repetition its own slice).
// The run ends with the engine's median over SQLite's for each phase.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "BenchTables.h"
#include "server/marlisse.h"
#include "support/mvGroupedPeople.h"

namespace {

constexpr int32_t kRecords = 1000000;
constexpr int32_t kOps = 100000;
constexpr int32_t kGroups = 1000;

std::string NameOf(int32_t aNumber) {
  char text[16];
  std::snprintf(text, sizeof text, "N%07d", aNumber);
  return text;
}
int32_t GroupOf(int32_t aNumber) { return int32_t((uint32_t(aNumber) * 2654435761u) % kGroups); }

const std::vector<int32_t>& Order(uint32_t aSeed) {
  static std::vector<std::vector<int32_t>> orders(3);
  std::vector<int32_t>& order = orders[aSeed % 3];
  if (order.empty()) {
    for (int32_t i = 0; i < kRecords; ++i) order.push_back(i);
    std::shuffle(order.begin(), order.end(), std::mt19937(aSeed));
  }
  return order;
}

// --- the engine ------------------------------------------------------------

struct Engine {
  std::filesystem::path Folder = std::filesystem::temp_directory_path() / "mv-cursor-bench";
  TmvEmbeddedEngine* Instance = nullptr;
  TmvAbstractSession* Session = nullptr;
  TmvAbstractDatabase* Db = nullptr;
  TmvAbstractCursor* ByName = nullptr;
  TmvAbstractCursor* ByGroup = nullptr;
  std::vector<uint8_t> Record;
  int32_t Deleted = 0;

  void Close() {
    TmvAbstractServerObject::Free(ByName);
    TmvAbstractServerObject::Free(ByGroup);
    TmvAbstractServerObject::Free(Db);
    TmvAbstractServerObject::Free(Session);
    ByName = ByGroup = nullptr;
    Db = nullptr;
    Session = nullptr;
    delete Instance;
    Instance = nullptr;
  }
  void Check(uint32_t aCode) {
    if (aCode != 0) {
      std::fprintf(stderr, "engine: %u %s\n", aCode, UTF8Encode(mvErrorText(aCode)).c_str());
      std::abort();
    }
  }
  void Create() {
    Close();
    std::filesystem::remove_all(Folder);
    std::filesystem::create_directories(Folder);
    Instance = new TmvEmbeddedEngine;
    Check(Instance->OpenDatabase(UTF8ToString(Folder.string()), Session, Db));
    TmvDataDictionary dictionary;
    mvAddGroupedPeopleFields(dictionary);
    Check(mvBuildTable(Db, u"People", &dictionary));
    Check(Db->CursorOpen(ByName, u"People", u"", omReadWrite, smShared, 0, u"ByName", -1, false, 0, 0, nullptr));
    Check(Db->CursorOpen(ByGroup, u"People", u"", omReadWrite, smShared, 0, u"ByGroup", -1, false, 0, 0, nullptr));
    Record.assign(ByName->RecordLength() + 4, 0);
    Deleted = 0;
  }
  void SetName(int32_t aNumber) {
    const std::string name = NameOf(aNumber);
    ByName->SetFieldAsVariantSelf(Record.data(), 1, Variant(String(name.begin(), name.end())));
  }
  void Insert() {
    Create();
    Check(Db->TransactionStart(false, false));
    for (int32_t i : Order(1)) {
      ByName->RecordBufferClear(Record.data());
      SetName(i);
      ByName->SetFieldAsVariantSelf(Record.data(), 2, Variant(GroupOf(i)));
      ByName->SetFieldAsVariantSelf(Record.data(), 3, Variant(i * 0.5));
      ByName->SetFieldAsVariantSelf(Record.data(), 4, Variant(double(45000 + i % 1000)));
      int64_t id = 0;
      Check(ByName->RecordInsert(mvltNoLock, Record.data(), &id));
    }
    Check(Db->TransactionCommit());
  }
  uint32_t Find(int32_t aNumber) {
    ByName->RecordBufferClear(Record.data());
    SetName(aNumber);
    return ByName->RecordGetForKey(1, 0, false, Record.data(), Record.data(), true, true);
  }
  void Finds() {
    const std::vector<int32_t>& order = Order(2);
    for (int32_t i = 0; i < kOps; ++i) Check(Find(order[size_t(i)]));
  }
  int64_t Scan() {
    std::vector<uint8_t> to(Record.size());
    ByGroup->RecordBufferClear(Record.data());
    ByGroup->SetFieldAsVariantSelf(Record.data(), 2, Variant(int32_t(400)));
    ByGroup->RecordBufferClear(to.data());
    ByGroup->SetFieldAsVariantSelf(to.data(), 2, Variant(int32_t(400 + kGroups / 10 - 1)));
    Check(ByGroup->RangeSet(1, 0, false, Record.data(), true, 1, 0, false, to.data(), true));
    int64_t count = 0;
    while (ByGroup->RecordGetNext(mvltNoLock, Record.data()) == 0) ++count;
    ByGroup->RangeReset();
    return count;
  }
  void Updates() {
    Check(Db->TransactionStart(false, false));
    const std::vector<int32_t>& order = Order(2);
    for (int32_t i = 0; i < kOps; ++i) {
      Check(Find(order[size_t(i)]));
      ByName->SetFieldAsVariantSelf(Record.data(), 3, Variant(i * 2.0));
      Check(ByName->RecordModify(Record.data(), true, nullptr));
    }
    Check(Db->TransactionCommit());
  }
  void Deletes() {
    Check(Db->TransactionStart(false, false));
    const std::vector<int32_t>& order = Order(1);
    for (int32_t i = 0; i < kOps; ++i) {
      Check(Find(order[size_t(Deleted++)]));
      Check(ByName->RecordDelete(nullptr, 0));
    }
    Check(Db->TransactionCommit());
  }
};

// --- SQLite ----------------------------------------------------------------

struct Sqlite {
  std::string Path = mvBenchTempPath("mv-cursor-bench.sqlite");
  sqlite3* Db = nullptr;
  int32_t Deleted = 0;

  sqlite3_stmt* Prepare(const char* aSql) {
    sqlite3_stmt* statement = nullptr;
    mvSqliteCheck(sqlite3_prepare_v2(Db, aSql, -1, &statement, nullptr), Db);
    return statement;
  }
  void Exec(const char* aSql) { mvSqliteCheck(sqlite3_exec(Db, aSql, nullptr, nullptr, nullptr), Db); }
  void Close() {
    if (Db) sqlite3_close(Db);
    Db = nullptr;
  }
  void Insert() {
    Close();
    mvSqliteRemove(Path);
    Db = mvSqliteOpen(Path);
    Exec("CREATE TABLE people (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(40), grp INTEGER, amount REAL, "
         "at REAL)");
    Exec("CREATE UNIQUE INDEX byname ON people (name)");
    Exec("CREATE INDEX bygroup ON people (grp)");
    sqlite3_stmt* insert = Prepare("INSERT INTO people (name, grp, amount, at) VALUES (?, ?, ?, ?)");
    Exec("BEGIN");
    for (int32_t i : Order(1)) {
      const std::string name = NameOf(i);
      sqlite3_bind_text(insert, 1, name.c_str(), int(name.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int(insert, 2, GroupOf(i));
      sqlite3_bind_double(insert, 3, i * 0.5);
      sqlite3_bind_double(insert, 4, double(45000 + i % 1000));
      mvSqliteCheck(sqlite3_step(insert), Db);
      sqlite3_reset(insert);
    }
    Exec("COMMIT");
    sqlite3_finalize(insert);
    Deleted = 0;
  }
  void Finds() {
    sqlite3_stmt* find = Prepare("SELECT id, name, grp, amount, at FROM people WHERE name = ?");
    const std::vector<int32_t>& order = Order(2);
    for (int32_t i = 0; i < kOps; ++i) {
      const std::string name = NameOf(order[size_t(i)]);
      sqlite3_bind_text(find, 1, name.c_str(), int(name.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(find) != SQLITE_ROW) std::abort();
      sqlite3_reset(find);
    }
    sqlite3_finalize(find);
  }
  int64_t Scan() {
    sqlite3_stmt* scan = Prepare("SELECT id, name, grp, amount, at FROM people WHERE grp BETWEEN ? AND ? ORDER BY grp");
    sqlite3_bind_int(scan, 1, 400);
    sqlite3_bind_int(scan, 2, 400 + kGroups / 10 - 1);
    int64_t count = 0;
    while (sqlite3_step(scan) == SQLITE_ROW) ++count;
    sqlite3_finalize(scan);
    return count;
  }
  void Updates() {
    sqlite3_stmt* update = Prepare("UPDATE people SET amount = ? WHERE name = ?");
    Exec("BEGIN");
    const std::vector<int32_t>& order = Order(2);
    for (int32_t i = 0; i < kOps; ++i) {
      const std::string name = NameOf(order[size_t(i)]);
      sqlite3_bind_double(update, 1, i * 2.0);
      sqlite3_bind_text(update, 2, name.c_str(), int(name.size()), SQLITE_TRANSIENT);
      mvSqliteCheck(sqlite3_step(update), Db);
      sqlite3_reset(update);
    }
    Exec("COMMIT");
    sqlite3_finalize(update);
  }
  void Deletes() {
    sqlite3_stmt* erase = Prepare("DELETE FROM people WHERE name = ?");
    Exec("BEGIN");
    const std::vector<int32_t>& order = Order(1);
    for (int32_t i = 0; i < kOps; ++i) {
      const std::string name = NameOf(order[size_t(Deleted++)]);
      sqlite3_bind_text(erase, 1, name.c_str(), int(name.size()), SQLITE_TRANSIENT);
      mvSqliteCheck(sqlite3_step(erase), Db);
      sqlite3_reset(erase);
    }
    Exec("COMMIT");
    sqlite3_finalize(erase);
  }
};

Engine gEngine;
Sqlite gSqlite;

template <typename T>
void Phase(benchmark::State& state, T& aWho, int aPhase) {
  for (auto _ : state) {
    switch (aPhase) {
      case 0: aWho.Insert(); break;
      case 1: aWho.Finds(); break;
      case 2: benchmark::DoNotOptimize(aWho.Scan()); break;
      case 3: aWho.Updates(); break;
      default: aWho.Deletes(); break;
    }
  }
}

const char* const kPhases[] = {"Insert", "Find", "Scan", "Update", "Delete"};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (int phase = 0; phase < 5; ++phase) {
    for (bool engine : {true, false}) {
      const std::string name = std::string(kPhases[phase]) + (engine ? "/Engine" : "/Sqlite");
      benchmark::internal::Benchmark* b =
          engine ? benchmark::RegisterBenchmark(name.c_str(), [phase](benchmark::State& s) { Phase(s, gEngine, phase); })
                 : benchmark::RegisterBenchmark(name.c_str(), [phase](benchmark::State& s) { Phase(s, gSqlite, phase); });
      b->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond)->UseRealTime();
    }
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const std::string runs = "/iterations:1/repeats:5/real_time";
  for (const char* phase : kPhases)
    reporter.PrintRatio(std::string(phase) + "/Engine" + runs, std::string(phase) + "/Sqlite" + runs,
                        (std::string("SQLite: ") + phase).c_str());
  gEngine.Close();
  gSqlite.Close();
  std::filesystem::remove_all(gEngine.Folder);
  mvSqliteRemove(gSqlite.Path);
  benchmark::Shutdown();
  return 0;
}
