// Table storage: start-up and shutdown of the storage units, in order.
#include "storage/mvsrUnits.h"

#include "foundation/mvllUnitGroup.h"
#include "dictionary/mvsdUnits.h"
#include "storage/mvsrFileHeader.h"
#include "storage/mvsrFileImplWin32.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/mvseBookmarks.h"
#include "storage/mvseTemporaryStorageChunked.h"

namespace {

constexpr TmvUnitSteps kStorageUnits[] = {
    {mvDictionaryInit, mvDictionaryFini},
    {mvsrTimeoutHandlingInit, mvsrTimeoutHandlingFini},
    {mvsrFileImplInit, mvsrFileImplFini},
    {mvsrFileHeaderInit, mvsrFileHeaderFini},
    {mvseTemporaryStorageChunkedInit, mvseTemporaryStorageChunkedFini},
    {mvseBookmarksInit, mvseBookmarksFini},
};
constinit TmvUnitGroup gStorageUnits(kStorageUnits);

}  // namespace

void mvStorageInit() { gStorageUnits.Start(); }

void mvStorageFini() { gStorageUnits.Stop(); }
