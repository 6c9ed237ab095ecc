// Benchmark: 10,000 BLOBs of 1 KB to 64 KB written into a new table file
// through each BLOB engine (segmented and simple), committed 100 at a time,
// every commit synced; then every BLOB read back in full into a buffer.
// Beside it SQLite stores the same bytes in a BLOB column of a new database
// (one transaction per 100 rows, 4 KB pages) with synchronous=FULL and
// journal_mode=DELETE, and, as the faster peer on a second line, with WAL
// and synchronous=NORMAL, and reads them back into the same buffer. Writing
// and reading are timed apart; the reads use the cache or connection the
// writes left. The rounds alternate between the sides; the run ends with
// the ratios of the medians (5 rounds unless MV_BENCH_ROUNDS says
// otherwise).
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
#include "foundation/mvllStreams.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "platform/Classes.h"
#include "storage/blobs/mvseBlobEngineSegmented.h"
#include "storage/blobs/mvseBlobEngineSimple.h"
#include "storage/cache/mvsrBlockAccess.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/header/mvsrFileHeader2x.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/mvsrUnits.h"
#include "storage/transactions/mvsrCommit.h"
#include "support/mvTestTransaction.h"

namespace {

constexpr int kBlobs = 10000;
constexpr int kPerTransaction = 100;

// The sizes and a byte pattern, the same for every run.
const std::vector<uint32_t>& Sizes() {
  static const std::vector<uint32_t> sizes = [] {
    std::mt19937 random(1);
    std::vector<uint32_t> s(kBlobs);
    for (uint32_t& size : s) size = 1024 + random() % (64 * 1024 - 1024 + 1);
    return s;
  }();
  return sizes;
}
const std::vector<uint8_t>& Bytes() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b(64 * 1024);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 31 + i / 97);
    return b;
  }();
  return bytes;
}

// One side's open table file between its write and its read.
struct TEngineSide {
  bool simple;
  std::string path{};
  std::unique_ptr<TmvBufferManager> cache{};
  TmvBaseFile* file = nullptr;
  std::unique_ptr<TmvBaseBlobDescriptor> descriptor{};
  std::unique_ptr<TmvBlockAccess> view{};
  std::unique_ptr<TmvBaseBlobEngine> engine{};
  std::vector<TmvBlobNr> numbers{};

  void Close() {
    engine.reset();
    view.reset();
    descriptor.reset();
    if (file) {
      cache->RemoveFile(file);
      file->CloseFile();
      delete file;
      file = nullptr;
    }
    cache.reset();
    std::filesystem::remove(path);
  }
};

void EngineWrite(TEngineSide& aSide) {
  aSide.Close();
  aSide.cache = std::make_unique<TmvBufferManager>(u"");
  aSide.cache->SetMaxRAM(256);
  TmvBufferManager* cache = aSide.cache.get();
  aSide.file = TmvBaseFile::Alloc(true, UTF8ToString(aSide.path), cache);
  aSide.file->OpenFile(omReadWrite, smExclusive, false, true);
  aSide.file->fiMorvaVersion = 47005;
  aSide.file->fiStreamEngineName = u"mv1xDefault";
  aSide.descriptor.reset(aSide.simple ? new TmvBaseBlobDescriptor(nullptr) : new TmvHeapBlobDescriptor(nullptr));
  if (aSide.simple) aSide.descriptor->SetBlobEngine(u"mv1xSimple");
  else static_cast<TmvHeapBlobDescriptor*>(aSide.descriptor.get())->AddHeapDescriptor()->AddBlockHeapDescriptor();
  aSide.view = std::make_unique<TmvBlockAccess>(aSide.file, nullptr, u"bench", 0);
  const TmvBlockAccessArray files{aSide.view.get()};
  {
    TTestTransaction trans(cache);
    if (aSide.file->AddHeader(&trans, {}, mv2xHeaderSignature) != 0) std::abort();
    if (aSide.simple) aSide.engine = std::make_unique<TmvSimpleBlobEngine>(aSide.descriptor.get(), files, &trans);
    else aSide.engine = std::make_unique<TmvSegmentedBlobEngine>(aSide.descriptor.get(), files, &trans);
    trans.Commit();
  }
  aSide.numbers.assign(kBlobs, 0);
  for (int first = 0; first < kBlobs; first += kPerTransaction) {
    TTestTransaction trans(cache);
    for (int i = first; i < first + kPerTransaction; ++i) {
      aSide.engine->AddBlob(&trans, aSide.numbers[size_t(i)]);
      aSide.engine->Write(&trans, aSide.numbers[size_t(i)], 0, Sizes()[size_t(i)], Bytes().data());
    }
    trans.Commit();
  }
}

// Every byte into the caller's buffer; the sum of the last bytes keeps the
// copies from being left out.
void EngineRead(TEngineSide& aSide) {
  std::vector<uint8_t> buffer(64 * 1024);
  uint64_t sum = 0;
  TTestTransaction trans(aSide.cache.get());
  for (size_t i = 0; i < aSide.numbers.size(); ++i) {
    TmvStaticMemoryStream stream(buffer.data(), int32_t(buffer.size()));
    aSide.engine->Read(&trans, aSide.numbers[i], 0, 0x7FFFFFFF, {}, &stream);
    if (stream.GetPosition() != int64_t(Sizes()[i])) std::abort();
    sum += buffer[Sizes()[i] - 1];
  }
  trans.Commit();
  benchmark::DoNotOptimize(sum);
  aSide.Close();
}

struct TSqliteSide {
  bool wal;
  std::string path{};
  sqlite3* db = nullptr;
};

void SqliteWrite(TSqliteSide& aSide) {
  if (aSide.db) sqlite3_close(aSide.db);
  mvSqliteRemove(aSide.path);
  sqlite3* db = aSide.db = mvSqliteOpen(aSide.path, aSide.wal);
  mvSqliteCheck(sqlite3_exec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, b BLOB)", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* insert = nullptr;
  mvSqliteCheck(sqlite3_prepare_v2(db, "INSERT INTO t(id, b) VALUES(?, ?)", -1, &insert, nullptr), db);
  for (int first = 0; first < kBlobs; first += kPerTransaction) {
    mvSqliteCheck(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
    for (int i = first; i < first + kPerTransaction; ++i) {
      sqlite3_bind_int(insert, 1, i + 1);
      sqlite3_bind_blob(insert, 2, Bytes().data(), int(Sizes()[size_t(i)]), SQLITE_STATIC);
      mvSqliteCheck(sqlite3_step(insert), db);
      sqlite3_reset(insert);
    }
    mvSqliteCheck(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  }
  sqlite3_finalize(insert);
}

void SqliteRead(TSqliteSide& aSide) {
  sqlite3* db = aSide.db;
  std::vector<uint8_t> buffer(64 * 1024);
  uint64_t sum = 0;
  sqlite3_stmt* select = nullptr;
  mvSqliteCheck(sqlite3_prepare_v2(db, "SELECT b FROM t WHERE id = ?", -1, &select, nullptr), db);
  for (int i = 0; i < kBlobs; ++i) {
    sqlite3_bind_int(select, 1, i + 1);
    mvSqliteCheck(sqlite3_step(select), db);
    const int bytes = sqlite3_column_bytes(select, 0);
    if (bytes != int(Sizes()[size_t(i)])) std::abort();
    std::memcpy(buffer.data(), sqlite3_column_blob(select, 0), size_t(bytes));
    sum += buffer[size_t(bytes) - 1];
    sqlite3_reset(select);
  }
  benchmark::DoNotOptimize(sum);
  sqlite3_finalize(select);
  sqlite3_close(db);
  aSide.db = nullptr;
  mvSqliteRemove(aSide.path);
}

TEngineSide gSegmented{false, mvBenchTempPath("mvsr-bench-blobs-segmented.mv1")};
TEngineSide gSimple{true, mvBenchTempPath("mvsr-bench-blobs-simple.mv1")};
TSqliteSide gSqlite{false, mvBenchTempPath("mvsr-bench-blobs.sqlite")};
TSqliteSide gSqliteWal{true, mvBenchTempPath("mvsr-bench-blobs-wal.sqlite")};

void RegisterRound(int aRound) {
  using TState = benchmark::State;
  for (const bool write : {true, false}) {
    const std::string w = write ? "Write" : "Read";
    for (TEngineSide* side : {&gSegmented, &gSimple})
      TBenchRounds::Add(w + (side->simple ? "/Simple" : "/Segmented"), aRound, [write, side](TState& state) {
        for (auto _ : state) write ? EngineWrite(*side) : EngineRead(*side);
      });
    for (TSqliteSide* side : {&gSqlite, &gSqliteWal})
      TBenchRounds::Add(w + (side->wal ? "/SQLiteWAL" : "/SQLite"), aRound, [write, side](TState& state) {
        for (auto _ : state) write ? SqliteWrite(*side) : SqliteRead(*side);
      });
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* roundsText = std::getenv("MV_BENCH_ROUNDS");
  const int rounds = roundsText ? std::max(1, std::atoi(roundsText)) : 5;
  for (int round = 0; round < rounds; ++round) RegisterRound(round);
  benchmark::Initialize(&argc, argv);
  mvStorageInit();
  mvSetOperationDeadline(0, true);  // no deadline: the long loops check it
  TBenchRounds reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nengine time / SQLite time (medians of alternating rounds):\n");
  for (const char* work : {"Write", "Read"})
    for (const char* engine : {"Segmented", "Simple"})
      for (const char* reference : {"SQLite", "SQLiteWAL"})
        reporter.PrintRatio(std::string(work) + "/" + engine, std::string(work) + "/" + reference);
  for (TEngineSide* side : {&gSegmented, &gSimple}) side->Close();
  for (TSqliteSide* side : {&gSqlite, &gSqliteWal}) {
    if (side->db) sqlite3_close(side->db);
    mvSqliteRemove(side->path);
  }
  benchmark::Shutdown();
  mvStorageFini();
  return 0;
}
