// Benchmarks: what the table benchmarks that set the engine beside SQLite
// share: paths in the temporary folder, a table file of the engine opened
// (or created, "MV!2", 4 KB blocks) on a cache, and a SQLite connection
// with the settings every comparison uses (4 KB pages, synchronous=FULL,
// journal_mode=DELETE). A failure ends the program: a benchmark has no one
// to report to.
#pragma once

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "storage/cache/mvsrBufferManager.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/header/mvsrFileHeader2x.h"

inline std::string mvBenchTempPath(const char* aName) {
  return (std::filesystem::temp_directory_path() / aName).string();
}

// A table file of the engine on aCache: created in aTrans when given, else
// opened and registered with the cache. The caller removes it from the
// cache, closes and frees it.
inline TmvBaseFile* mvBenchTableFile(const std::string& aPath, TmvBaseTransaction* aTrans, TmvBufferManager* aCache) {
  TmvBaseFile* file = TmvBaseFile::Alloc(true, UTF8ToString(aPath), aCache);
  file->fiMaxID = 1000;
  file->OpenFile(omReadWrite, smExclusive, false, aTrans != nullptr);
  if (aTrans) {
    file->fiMorvaVersion = mvMorvaVersion;
    file->fiStreamEngineName = u"mv1xDefault";
    if (file->AddHeader(aTrans, {}, mv2xHeaderSignature) != 0) std::abort();
  } else {
    uint8_t* header = nullptr;
    TmvReleaseMethod release;
    bool readOnly = false;
    if (aCache->AddFile(file, nullptr, {}, false, release, header, readOnly) != 0) std::abort();
    release(header);
  }
  return file;
}

inline void mvSqliteCheck(int aResult, sqlite3* aDb) {
  if (aResult != SQLITE_OK && aResult != SQLITE_DONE && aResult != SQLITE_ROW) {
    std::fprintf(stderr, "SQLite: %s\n", sqlite3_errmsg(aDb));
    std::abort();
  }
}

inline sqlite3* mvSqliteOpen(const std::string& aPath) {
  sqlite3* db = nullptr;
  mvSqliteCheck(sqlite3_open(aPath.c_str(), &db), db);
  mvSqliteCheck(sqlite3_exec(db, "PRAGMA page_size=4096; PRAGMA synchronous=FULL; PRAGMA journal_mode=DELETE;",
                             nullptr, nullptr, nullptr),
                db);
  return db;
}
