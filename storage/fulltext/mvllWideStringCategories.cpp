// Storage (full text): Unicode character categories. See
// mvllWideStringCategories.h.
#include "storage/fulltext/mvllWideStringCategories.h"

#include <algorithm>
#include <atomic>

#include "foundation/errors/mvllErrors.h"
#include "foundation/sync/mvllSync.h"
#include "storage/mvsrLog.h"

namespace {

constexpr int32_t kLastCodePoint = 0x10FFFF;
constexpr int32_t kLastCodeUnit = 0xFFFF;
constexpr size_t kRecordHeader = 5;
constexpr size_t kRangeSize = 8;

uint32_t ReadU32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

[[noreturn]] void RaiseShortRecord(size_t aOffset) {
  throw EmvCharacterCategoriesException(MVERR_FILECORRUPT,
                                        u"The character category table is damaged: the record at offset %d is cut short",
                                        {int64_t(aOffset)});
}

}  // namespace

void TmvCharacterCategoryTable::Clear() {
  for (TmvRangeArray& ranges : cctRanges) TmvRangeArray().swap(ranges);
  for (auto& page : cctPages) page.reset();
  cctSkipped = 0;
}

void TmvCharacterCategoryTable::AddRange(TmvCharacterCategory aCategory, TmvRange aRange) {
  const int32_t start = std::max(aRange.rngStart, 0);
  const int32_t stop = std::min({aRange.rngStop, kLastCodePoint, kLastCodeUnit});
  const TmvCharacterCategories bit = TmvCharacterCategories{1} << aCategory;
  // Page by page, so that the inner loop is a plain run over one array.
  for (int32_t first = start; first <= stop; first = (first | 0xFF) + 1) {
    std::unique_ptr<TmvCharacterCategories[]>& page = cctPages[first >> 8];
    if (!page) page.reset(new TmvCharacterCategories[256]());
    TmvCharacterCategories* sets = page.get();
    const size_t from = size_t(first & 0xFF);
    const size_t to = size_t(std::min(stop, first | 0xFF) & 0xFF);
    for (size_t c = from; c <= to; ++c) sets[c] |= bit;
  }
}

void TmvCharacterCategoryTable::Load(const uint8_t* aData, size_t aSize) {
  Clear();
  try {
    size_t pos = 0;
    while (pos < aSize) {
      if (aSize - pos < kRecordHeader) RaiseShortRecord(pos);
      const uint8_t category = aData[pos];
      const uint32_t count = ReadU32(aData + pos + 1);
      const size_t start = pos;
      pos += kRecordHeader;
      if ((aSize - pos) / kRangeSize < count) RaiseShortRecord(start);
      const uint8_t* ranges = aData + pos;
      pos += size_t(count) * kRangeSize;
      if (category >= mvCharacterCategoryCount) {
        ++cctSkipped;
        continue;
      }
      TmvRangeArray& list = cctRanges[category];
      list.resize(count);
      for (uint32_t i = 0; i < count; ++i) {
        TmvRange& range = list[i];
        range.rngStart = std::clamp(int32_t(ReadU32(ranges + kRangeSize * i)), 0, kLastCodePoint);
        range.rngStop = std::clamp(int32_t(ReadU32(ranges + kRangeSize * i + 4)), 0, kLastCodePoint);
        AddRange(TmvCharacterCategory(category), range);
      }
    }
  } catch (...) {
    Clear();
    throw;
  }
}

// ---------------------------------------------------------------------------
// The library's table

namespace {

TmvCharacterCategoryTable gTable;
std::atomic<bool> gLoaded{false};
std::atomic<uint32_t> gLoadCount{0};
TmvPadlock* gPadlock = nullptr;

}  // namespace

void mvLoadCharacterCategories() {
  if (gLoaded.load(std::memory_order_acquire)) return;
  TmvPadlock::CreateAndLock(gPadlock);
  try {
    if (!gLoaded.load(std::memory_order_relaxed)) {
      gTable.Load(mvCharacterCategoryData, mvCharacterCategoryDataSize);
      if (gTable.SkippedRecords() > 0)
        mvStorageLogError(u"The character category table holds records of unknown categories; they were skipped");
      gLoadCount.fetch_add(1, std::memory_order_relaxed);
      gLoaded.store(true, std::memory_order_release);
    }
  } catch (...) {
    gPadlock->Unlock();
    throw;
  }
  gPadlock->Unlock();
}

bool mvCharInCategories(char16_t aChar, TmvCharacterCategories aCategories) {
  if (!gLoaded.load(std::memory_order_acquire)) mvLoadCharacterCategories();
  return gTable.Contains(aChar, aCategories);
}

uint32_t mvCharacterCategoryLoadCount() { return gLoadCount.load(std::memory_order_relaxed); }

void mvUnloadCharacterCategories() {
  gLoaded.store(false, std::memory_order_release);
  gTable.Clear();
}

void mvllWideStringCategoriesInit() {
  TmvPadlock::CreateAndLock(gPadlock);
  gPadlock->Unlock();
}

void mvllWideStringCategoriesFini() {
  mvUnloadCharacterCategories();
  delete gPadlock;
  gPadlock = nullptr;
}
