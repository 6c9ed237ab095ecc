// Benchmark: 10,000 BLOBs of 1 KB to 64 KB written into a new table file
// through each BLOB engine (segmented and simple), committed 100 at a time,
// then read back in full, beside SQLite storing the same bytes in a BLOB
// column of a new database (one transaction per 100 rows, the same page
// size and synchronous=OFF, as the engine writes without syncing here). The
// run ends with each engine's ratio to SQLite.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchRatio.h"
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

class CountingStream : public TStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void*, int32_t aCount) override {
    bytes += uint64_t(aCount);
    return aCount;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return int64_t(bytes); }
  uint64_t bytes = 0;
};

std::string TempPath(const char* aName) { return (std::filesystem::temp_directory_path() / aName).string(); }

// range(0): 0 segmented, 1 simple.
void Engine(benchmark::State& state) {
  const bool simple = state.range(0) != 0;
  for (auto _ : state) {
    const std::string path = TempPath("mvsr-bench-blobs.mv1");
    std::filesystem::remove(path);
    TmvBufferManager cache(u"");
    cache.SetMaxRAM(256);
    TmvBaseFile* file = TmvBaseFile::Alloc(true, UTF8ToString(path), &cache);
    file->OpenFile(omReadWrite, smExclusive, false, true);
    file->fiMorvaVersion = 47005;
    file->fiStreamEngineName = u"mv1xDefault";
    std::unique_ptr<TmvBaseBlobDescriptor> descriptor(
        simple ? new TmvBaseBlobDescriptor(nullptr) : new TmvHeapBlobDescriptor(nullptr));
    if (simple) descriptor->SetBlobEngine(u"mv1xSimple");
    else static_cast<TmvHeapBlobDescriptor*>(descriptor.get())->AddHeapDescriptor()->AddBlockHeapDescriptor();
    {
      TmvBlockAccess view(file, nullptr, u"bench", 0);
      const TmvBlockAccessArray files{&view};
      std::unique_ptr<TmvBaseBlobEngine> engine;
      {
        TTestTransaction trans(&cache);
        if (file->AddHeader(&trans, {}, mv2xHeaderSignature) != 0) std::abort();
        if (simple) engine = std::make_unique<TmvSimpleBlobEngine>(descriptor.get(), files, &trans);
        else engine = std::make_unique<TmvSegmentedBlobEngine>(descriptor.get(), files, &trans);
        trans.Commit();
      }
      std::vector<TmvBlobNr> numbers(kBlobs);
      for (int first = 0; first < kBlobs; first += kPerTransaction) {
        TTestTransaction trans(&cache);
        for (int i = first; i < first + kPerTransaction; ++i) {
          engine->AddBlob(&trans, numbers[size_t(i)]);
          engine->Write(&trans, numbers[size_t(i)], 0, Sizes()[size_t(i)], Bytes().data());
        }
        trans.Commit();
      }
      CountingStream stream;
      TTestTransaction trans(&cache);
      for (TmvBlobNr nr : numbers) engine->Read(&trans, nr, 0, 0x7FFFFFFF, {}, &stream);
      trans.Commit();
      benchmark::DoNotOptimize(stream.bytes);
    }
    cache.RemoveFile(file);
    file->CloseFile();
    delete file;
    std::filesystem::remove(path);
  }
}

void Check(int aResult, sqlite3* aDb) {
  if (aResult != SQLITE_OK && aResult != SQLITE_DONE && aResult != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(aDb));
    std::abort();
  }
}

void SQLite(benchmark::State& state) {
  for (auto _ : state) {
    const std::string path = TempPath("mvsr-bench-blobs.sqlite");
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    Check(sqlite3_open(path.c_str(), &db), db);
    Check(sqlite3_exec(db, "PRAGMA page_size=4096; PRAGMA synchronous=OFF; CREATE TABLE t(id INTEGER PRIMARY KEY, b BLOB)",
                       nullptr, nullptr, nullptr),
          db);
    sqlite3_stmt* insert = nullptr;
    Check(sqlite3_prepare_v2(db, "INSERT INTO t(id, b) VALUES(?, ?)", -1, &insert, nullptr), db);
    for (int first = 0; first < kBlobs; first += kPerTransaction) {
      Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
      for (int i = first; i < first + kPerTransaction; ++i) {
        sqlite3_bind_int(insert, 1, i + 1);
        sqlite3_bind_blob(insert, 2, Bytes().data(), int(Sizes()[size_t(i)]), SQLITE_STATIC);
        Check(sqlite3_step(insert), db);
        sqlite3_reset(insert);
      }
      Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    }
    sqlite3_finalize(insert);
    sqlite3_stmt* select = nullptr;
    Check(sqlite3_prepare_v2(db, "SELECT b FROM t WHERE id = ?", -1, &select, nullptr), db);
    uint64_t bytes = 0;
    for (int i = 0; i < kBlobs; ++i) {
      sqlite3_bind_int(select, 1, i + 1);
      Check(sqlite3_step(select), db);
      bytes += uint64_t(sqlite3_column_bytes(select, 0));
      benchmark::DoNotOptimize(sqlite3_column_blob(select, 0));
      sqlite3_reset(select);
    }
    benchmark::DoNotOptimize(bytes);
    sqlite3_finalize(select);
    sqlite3_close(db);
    std::filesystem::remove(path);
  }
}

}  // namespace

BENCHMARK(Engine)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(SQLite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  mvStorageInit();
  mvSetOperationDeadline(0, true);  // no deadline: the long loops check it
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("Engine/0/iterations:3/real_time", "SQLite/iterations:3/real_time", "SQLite (segmented)");
  reporter.PrintRatio("Engine/1/iterations:3/real_time", "SQLite/iterations:3/real_time", "SQLite (simple)");
  benchmark::Shutdown();
  mvStorageFini();
  return 0;
}
