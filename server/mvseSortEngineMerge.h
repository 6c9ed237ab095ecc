// Server engine: the merge sort engine (unit mvseSortEngineMerge), the sort
// engine the server uses unless a program installs another.
//
// Records are put into a 1 MB buffer of fixed slots; when it is full its
// slots are ordered (only a 32-bit reference per slot moves, never a record)
// and written in that order as a run: an unnamed temporary result table of
// the database, whose blocks live in the block cache and may move out to the
// temporary storage. When getting starts, runs are merged five at a time,
// the oldest first, until at most five remain; those feed Get and the
// iterations. Inputs that fit in the buffer never touch a table.
//
// Memory is fixed whatever the input: the buffer, its reference array and a
// few scratch records (one per merged run, holding the run's current record
// so that picking the smallest never reads a run twice).
//
// Errors of the run cursors are returned while putting and while the last
// buffer is written; while merging and reading they are raised as
// EmvMergeSortEngineException with the cursor's code. Long sorts and merges
// check the thread's operation deadline and cancel flag.
//
// One thread uses an engine: the one holding its cursor's session lock.
// Calls the abstract database (CreateResultSet) and cursor interfaces, and
// the key engine of the sort index.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/errors/mvllServerException.h"
#include "storage/mvsrSortEngine.h"

class TmvSqlAbstractCursor;

MV_DECLARE_EXCEPTION(EmvMergeSortEngineException, EmvServerException)

enum TmvSortState : uint8_t { mvspEmpty, mvspPutting, mvspGetting };

class TmvMergeSortEngine : public TmvBaseSortEngine {
 public:
  static const TmvSortEngineClassRef StaticClass;

  // The buffer's size, and the number of runs merged at once.
  static constexpr uint32_t kBufferSize = 1048576;
  static constexpr int kFanIn = 5;

  TmvMergeSortEngine(TmvAbstractDatabase* aDB, TmvDataDictionary* aDict, TmvIndexDescriptor* aIndexDesc);
  // Frees the buffers and every run still open.
  ~TmvMergeSortEngine() override;

  int32_t Get(void* aRecord) override;
  int32_t Put(const void* aRecord) override;
  bool Iterate(uint8_t** aData, bool* aKeyChanged, const TmvRecordIterator& aIterator, void* aCookie) override;
  bool IterateSameKey(uint8_t** aData, const TmvRecordIterator& aIterator, void* aCookie) override;

  // What a test may watch: the runs written and not yet used up (oldest
  // first), the runs being merged, and the records put in all.
  size_t RunCount() const { return msCursorList.size(); }
  int MergeCursorCount() const { return msMergeCursorCount; }
  uint32_t TotalCount() const { return msTotalCount; }
  uint32_t MaxRecCount() const { return msMaxRecCount; }

 private:
  // Orders msBufferRefs[0, msRecCount) by the sort key.
  void SortBuffer();
  // Writes the sorted buffer as a new run at the end of the list: 0 or the
  // cursor's error (the run is then freed).
  int32_t WriteRun();
  // A new empty run: the error code when the database cannot make one.
  int32_t NewRun(TmvSqlAbstractCursor*& aRun);
  // The first steps of every Get and iteration: 0, or 8706 when nothing was
  // ever put, or the error of writing the last run.
  int32_t StartGetting();
  // Merges the oldest five runs into one new run until at most five are
  // left, then opens those for reading.
  void MergeDown();
  void OpenMergeCursors();
  // The merge cursor whose current record sorts first (ties: the lower
  // slot); -1 when every run is used up.
  int SmallestMergeCursor() const;
  // Moves merge cursor aSlot to its next record; a used-up run is freed and
  // the last merge cursor takes its slot.
  void AdvanceMergeCursor(int aSlot);
  // The next record in order without taking it (nil: none left), and taking
  // it.
  const uint8_t* PeekNext() const;
  void TakeNext();
  // Delivers records to an iterator; aSameKey stops before the first record
  // whose key differs from the first one delivered.
  bool DoIterate(uint8_t** aData, bool* aKeyChanged, bool aSameKey, const TmvRecordIterator& aIterator,
                 void* aCookie);
  void FreeRun(TmvSqlAbstractCursor* aRun);
  [[noreturn]] static void Raise(uint32_t aCode);

  uint8_t* msBuffer = nullptr;
  std::vector<uint32_t> msBufferRefs;
  uint32_t msBufferOffset = 0;
  std::vector<TmvSqlAbstractCursor*> msCursorList;
  uint32_t msMaxRecCount = 0;
  TmvSqlAbstractCursor* msMergeCursor[kFanIn] = {};
  uint8_t* msMergeRecord[kFanIn] = {};  // the current record of each merge cursor
  uint16_t msMergeCursorCount = 0;
  TmvSqlAbstractCursor* msOutputCursor = nullptr;
  uint8_t* msRecBuffer = nullptr;
  uint32_t msRecCount = 0;
  uint32_t msRunIndex = 0;
  TmvSortState msState = mvspEmpty;
  uint32_t msTotalCount = 0;
};

// Start-up installs the merge sort engine as the server's sort engine class
// when no other was installed before; shutdown takes it out again.
void mvseSortEngineMergeInit();
void mvseSortEngineMergeFini();
