// Storage engines: the temporary storage's stand-in and its registration.
// See mvseTemporaryStorageChunked.h.
#include "storage/cache/mvseTemporaryStorageChunked.h"

namespace {

TmvBaseTempStorage* createChunked(const String&) { return new TmvChunkedTempStorage(); }

}  // namespace

constinit const TmvTempStorageClassRef TmvChunkedTempStorage::StaticClass{
    {u"TmvChunkedTempStorage", &TmvNullTempStorage::StaticClass}, &createChunked,
    &TmvBaseTempStorage::GetStatsCaptions, &TmvBaseTempStorage::GetStatsValuesStatic};

void mvseTemporaryStorageChunkedInit() {
  const TmvTempStorageClassRef* none = nullptr;
  mvTempStorageClass.compare_exchange_strong(none, &TmvChunkedTempStorage::StaticClass);
}

void mvseTemporaryStorageChunkedFini() {
  const TmvTempStorageClassRef* mine = &TmvChunkedTempStorage::StaticClass;
  mvTempStorageClass.compare_exchange_strong(mine, nullptr);
}
