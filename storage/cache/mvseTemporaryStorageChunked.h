// Storage engines: the temporary storage of the block cache,
// `TmvChunkedTempStorage` (unit mvseTemporaryStorageChunked).
//
// The block cache creates its temporary storage from the class registered in
// mvTempStorageClass (mvsrTempStorage.h) when TempStoreSize is set above 0,
// and keeps there the content of evicted blocks of temporary tables. The
// chunked storage file is not built yet: this class stands in its place with
// no room at all (HasSpaceFor answers false, so the cache keeps those blocks
// in memory, exactly as with the null storage), and its block operations are
// refused with 12289. Its unit start-up registers the class when no other is
// registered, and its shutdown takes it back out.
//
// Used under the block cache's padlock, like every storage.
#pragma once

#include "storage/cache/mvsrTempStorage.h"

class TmvChunkedTempStorage : public TmvNullTempStorage {
 public:
  static const TmvTempStorageClassRef StaticClass;
  const TmvTempStorageClassRef& ClassType() const override { return StaticClass; }
};

void mvseTemporaryStorageChunkedInit();
void mvseTemporaryStorageChunkedFini();
