// Table storage: start-up and shutdown of the storage units, in order.
#include "storage/mvsrUnits.h"

#include "foundation/mvllUnitGroup.h"
#include "foundation/mvllUnits.h"
#include "storage/mvsrFileHeader.h"
#include "storage/mvsrFileImplWin32.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/mvseTemporaryStorageChunked.h"

namespace {

constexpr TmvUnitSteps kStorageUnits[] = {
    {mvFoundationInit, mvFoundationFini},
    {mvsrTimeoutHandlingInit, mvsrTimeoutHandlingFini},
    {mvsrFileImplInit, mvsrFileImplFini},
    {mvsrFileHeaderInit, mvsrFileHeaderFini},
    {mvseTemporaryStorageChunkedInit, mvseTemporaryStorageChunkedFini},
};
constinit TmvUnitGroup gStorageUnits(kStorageUnits);

}  // namespace

void mvStorageInit() { gStorageUnits.Start(); }

void mvStorageFini() { gStorageUnits.Stop(); }
