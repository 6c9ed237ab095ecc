// Server engine: the merge sort engine. See mvseSortEngineMerge.h.
#include "server/mvseSortEngineMerge.h"

#include <cstring>

#include "dictionary/keys/mvsdKeyEngineBase.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "platform/SysUtils.h"
#include "server/mvsdAbstractCursor.h"
#include "server/mvsdAbstractDatabase.h"
#include "storage/mvsrTimeoutHandling.h"

namespace {

// Room behind the buffer and each scratch record for a cursor that touches
// the 4 bytes its own record buffers have behind the record.
constexpr size_t kSlack = 16;

// Depth of the quicksort's own stack: the smaller part goes first, so 32
// levels cover any buffer.
constexpr int kSortStack = 32;

TmvBaseSortEngine* CreateMergeSortEngine(TmvAbstractDatabase* aDB, TmvDataDictionary* aDict,
                                         TmvIndexDescriptor* aIndexDesc) {
  return new TmvMergeSortEngine(aDB, aDict, aIndexDesc);
}

}  // namespace


constinit const TmvSortEngineClassRef TmvMergeSortEngine::StaticClass{{u"TmvMergeSortEngine", nullptr},
                                                                      &CreateMergeSortEngine};

TmvMergeSortEngine::TmvMergeSortEngine(TmvAbstractDatabase* aDB, TmvDataDictionary* aDict,
                                       TmvIndexDescriptor* aIndexDesc)
    : TmvBaseSortEngine(aDB, aDict, aIndexDesc) {
  msMaxRecCount = kBufferSize / uint32_t(bsRecLenBuf > 0 ? bsRecLenBuf : 16);
  msBufferRefs.resize(msMaxRecCount);
  msBuffer = static_cast<uint8_t*>(mvGetMemPtr(kBufferSize + kSlack));
  msRecBuffer = static_cast<uint8_t*>(mvGetZeroedMemPtr(size_t(bsRecLenBuf) + kSlack));
}

TmvMergeSortEngine::~TmvMergeSortEngine() {
  for (TmvSqlAbstractCursor* run : msCursorList) FreeRun(run);
  for (uint8_t*& record : msMergeRecord) mvFreeMemAndNil(reinterpret_cast<void*&>(record));
  mvFreeMemAndNil(reinterpret_cast<void*&>(msRecBuffer));
  mvFreeMemAndNil(reinterpret_cast<void*&>(msBuffer));
}

void TmvMergeSortEngine::Raise(uint32_t aCode) { throw EmvMergeSortEngineException(int64_t(aCode)); }

void TmvMergeSortEngine::FreeRun(TmvSqlAbstractCursor* aRun) { TmvAbstractServerObject::Free(aRun); }

// ---------------------------------------------------------------------------
// Putting

int32_t TmvMergeSortEngine::Put(const void* aRecord) {
  MV_ASSERT(msState != mvspGetting);
  msState = mvspPutting;
  if (msRecCount == msMaxRecCount) {
    SortBuffer();
    if (int32_t result = WriteRun()) return result;
    msBufferOffset = 0;
  }
  std::memcpy(msBuffer + msBufferOffset, aRecord, size_t(bsRecLen));
  msBufferOffset += uint32_t(bsRecLenBuf);
  ++msRecCount;
  ++msTotalCount;
  return 0;
}

void TmvMergeSortEngine::SortBuffer() {
  uint32_t* refs = msBufferRefs.data();
  for (uint32_t i = 0; i < msRecCount; ++i) refs[i] = i;
  if (msRecCount < 2) return;
  const size_t slot = size_t(bsRecLenBuf);
  auto record = [&](int64_t i) { return msBuffer + size_t(refs[i]) * slot; };
  auto less = [&](const uint8_t* a, const uint8_t* b) { return bsKeyEngine->CompareRecord(a, b) < 0; };

  struct TRange {
    int64_t lo, hi;
  } stack[kSortStack];
  int depth = 0;
  stack[depth++] = {0, int64_t(msRecCount) - 1};
  uint32_t steps = 0;
  while (depth > 0) {
    auto [lo, hi] = stack[--depth];
    while (lo < hi) {
      const int64_t n = hi - lo + 1, mid = lo + n / 2;
      int64_t i = lo, j = hi;
      const uint8_t* pivot;
      if (n >= 16) {
        // The median of three goes to hi - 1 and bounds the scan on both
        // sides, so the scan needs no range checks.
        if (less(record(mid), record(lo))) std::swap(refs[mid], refs[lo]);
        if (less(record(hi), record(lo))) std::swap(refs[hi], refs[lo]);
        if (less(record(hi), record(mid))) std::swap(refs[hi], refs[mid]);
        std::swap(refs[mid], refs[hi - 1]);
        pivot = record(hi - 1);
        i = lo + 1;
        j = hi - 2;
      } else {
        pivot = record(mid);
      }
      // The pivot's record never moves, only references do.
      do {
        if (++steps % 100 == 0) mvCheckOperationTimeout();
        while (less(record(i), pivot)) ++i;
        while (less(pivot, record(j))) --j;
        if (i <= j) {
          if (i < j) std::swap(refs[i], refs[j]);
          ++i;
          --j;
        }
      } while (j >= i);
      // The smaller part next, the larger kept for later: the stack never
      // holds more than log2(n) ranges.
      if (j - lo < hi - i) {
        if (hi - i >= 1) stack[depth++] = {i, hi};
        hi = j;
      } else {
        if (j - lo >= 1) stack[depth++] = {lo, j};
        lo = i;
      }
      MV_ASSERT(depth < kSortStack);
    }
  }
}

int32_t TmvMergeSortEngine::NewRun(TmvSqlAbstractCursor*& aRun) {
  aRun = nullptr;
  auto* db = dynamic_cast<TmvSqlAbstractDatabase*>(bsDB);
  if (!db) return MVERR_NOTSUPPORTED;
  try {
    aRun = db->sadCreateResultSet(bsDictNoIdx, mvGetOperationRemainingTime());
  } catch (const EmvBaseException& e) {
    return int32_t(e.ErrorCode());
  }
  return aRun ? 0 : MVERR_NOTSUPPORTED;
}

int32_t TmvMergeSortEngine::WriteRun() {
  TmvSqlAbstractCursor* run;
  if (int32_t result = NewRun(run)) return result;
  for (uint32_t i = 0; i < msRecCount; ++i) {
    uint8_t* record = msBuffer + size_t(msBufferRefs[i]) * size_t(bsRecLenBuf);
    if (uint32_t result = run->RecordInsert(mvltNoLock, record, nullptr)) {
      FreeRun(run);
      return int32_t(result);
    }
  }
  msCursorList.push_back(run);
  msRecCount = 0;
  return 0;
}

// ---------------------------------------------------------------------------
// Getting

int32_t TmvMergeSortEngine::StartGetting() {
  if (msState == mvspGetting) return 0;
  msRunIndex = msRecCount;
  msState = mvspGetting;
  if (msRecCount == 0 && msCursorList.empty()) return msTotalCount == 0 ? MVERR_EOF : 0;
  SortBuffer();
  if (msCursorList.empty()) {
    msRunIndex = 0;
    return 0;
  }
  if (msRecCount > 0) {
    if (int32_t result = WriteRun()) {
      // Nothing can be delivered in order now: every later call ends at once.
      msRunIndex = msRecCount;
      return result;
    }
  }
  MergeDown();
  return 0;
}

void TmvMergeSortEngine::MergeDown() {
  while (msCursorList.size() > size_t(kFanIn)) {
    OpenMergeCursors();
    TmvSqlAbstractCursor* output;
    if (int32_t result = NewRun(output)) Raise(uint32_t(result));
    msCursorList.push_back(output);
    msOutputCursor = output;
    uint32_t n = 0;
    for (int slot; (slot = SmallestMergeCursor()) >= 0;) {
      if (n++ % 1000 == 0) mvCheckOperationTimeout();
      if (uint32_t result = output->RecordInsert(mvltNoLock, msMergeRecord[slot], nullptr)) Raise(result);
      AdvanceMergeCursor(slot);
    }
    msOutputCursor = nullptr;
  }
  OpenMergeCursors();
}

void TmvMergeSortEngine::OpenMergeCursors() {
  msMergeCursorCount = 0;
  for (size_t i = 0; i < msCursorList.size() && msMergeCursorCount < kFanIn;) {
    TmvSqlAbstractCursor* run = msCursorList[i];
    uint8_t*& current = msMergeRecord[msMergeCursorCount];
    if (!current) current = static_cast<uint8_t*>(mvGetZeroedMemPtr(size_t(bsRecLenBuf) + kSlack));
    if (uint32_t result = run->SetToBegin()) Raise(result);
    const uint32_t result = run->RecordGetNext(mvltNoLock, current);
    if (result == MVERR_EOF) {
      // A run without records has nothing to give.
      msCursorList.erase(msCursorList.begin() + ptrdiff_t(i));
      FreeRun(run);
      continue;
    }
    if (result) Raise(result);
    msMergeCursor[msMergeCursorCount++] = run;
    ++i;
  }
}

int TmvMergeSortEngine::SmallestMergeCursor() const {
  if (msMergeCursorCount == 0) return -1;
  int smallest = 0;
  for (int slot = 1; slot < msMergeCursorCount; ++slot)
    if (bsKeyEngine->CompareRecord(msMergeRecord[slot], msMergeRecord[smallest]) < 0) smallest = slot;
  return smallest;
}

void TmvMergeSortEngine::AdvanceMergeCursor(int aSlot) {
  TmvSqlAbstractCursor* run = msMergeCursor[aSlot];
  const uint32_t result = run->RecordGetNext(mvltNoLock, msMergeRecord[aSlot]);
  if (result == 0) return;
  if (result != MVERR_EOF) Raise(result);
  std::erase(msCursorList, run);
  FreeRun(run);
  const int last = --msMergeCursorCount;
  msMergeCursor[aSlot] = msMergeCursor[last];
  msMergeCursor[last] = nullptr;
  std::swap(msMergeRecord[aSlot], msMergeRecord[last]);
}

const uint8_t* TmvMergeSortEngine::PeekNext() const {
  if (msMergeCursorCount > 0) return msMergeRecord[SmallestMergeCursor()];
  if (msRunIndex < msRecCount) return msBuffer + size_t(msBufferRefs[msRunIndex]) * size_t(bsRecLenBuf);
  return nullptr;
}

void TmvMergeSortEngine::TakeNext() {
  if (msMergeCursorCount > 0)
    AdvanceMergeCursor(SmallestMergeCursor());
  else
    ++msRunIndex;
}

int32_t TmvMergeSortEngine::Get(void* aRecord) {
  if (int32_t result = StartGetting()) return result;
  const uint8_t* next = PeekNext();
  if (!next) return MVERR_EOF;
  if (aRecord) std::memcpy(aRecord, next, size_t(bsRecLen));
  TakeNext();
  return 0;
}

bool TmvMergeSortEngine::DoIterate(uint8_t** aData, bool* aKeyChanged, bool aSameKey,
                                   const TmvRecordIterator& aIterator, void* aCookie) {
  if (StartGetting() != 0) return false;
  // Two records in turn: the one delivered and the one before it, for the
  // key comparison.
  std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(size_t(bsRecLenBuf) + kSlack),
                                     std::vector<uint8_t>(size_t(bsRecLenBuf) + kSlack)};
  bool delivered = false;
  int current = 0;
  for (const uint8_t* next; (next = PeekNext()) != nullptr;) {
    const uint8_t* previous = buffers[current ^ 1].data();
    const bool keyChanged = !delivered || bsKeyEngine->CompareRecord(next, previous) != 0;
    if (aSameKey && delivered && keyChanged) return true;
    uint8_t* record = buffers[current].data();
    std::memcpy(record, next, size_t(bsRecLen));
    TakeNext();
    if (aKeyChanged) *aKeyChanged = keyChanged;
    const uint8_t* given = record;
    if (aData) {
      if (*aData) {
        std::memcpy(*aData, record, size_t(bsRecLen));
        given = *aData;
      } else {
        *aData = record;
      }
    }
    delivered = true;
    const TmvRecordIteratorResult answer = aIterator(aCookie, 0, given);
    if (aData && *aData == record) *aData = nullptr;
    if (answer == rirStop) return false;
    current ^= 1;
  }
  return delivered;
}

bool TmvMergeSortEngine::Iterate(uint8_t** aData, bool* aKeyChanged, const TmvRecordIterator& aIterator,
                                 void* aCookie) {
  return DoIterate(aData, aKeyChanged, false, aIterator, aCookie);
}

bool TmvMergeSortEngine::IterateSameKey(uint8_t** aData, const TmvRecordIterator& aIterator, void* aCookie) {
  return DoIterate(aData, nullptr, true, aIterator, aCookie);
}

// ---------------------------------------------------------------------------
// Start-up

namespace {
bool gInstalled = false;
}

void mvseSortEngineMergeInit() {
  const TmvSortEngineClassRef* none = nullptr;
  gInstalled = mvSortEngineClass.compare_exchange_strong(none, &TmvMergeSortEngine::StaticClass);
}

void mvseSortEngineMergeFini() {
  if (!gInstalled) return;
  const TmvSortEngineClassRef* ours = &TmvMergeSortEngine::StaticClass;
  mvSortEngineClass.compare_exchange_strong(ours, nullptr);
  gInstalled = false;
}
