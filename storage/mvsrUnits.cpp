// Table storage: start-up and shutdown of the storage units, in order.
#include "storage/mvsrUnits.h"

#include "dictionary/mvsdUnits.h"
#include "foundation/mvllUnitGroup.h"
#include "storage/mvsrFileHeader.h"
#include "storage/mvsrFileImplWin32.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/mvseAutoIncEngine.h"
#include "storage/mvseBlobEngineSegmented.h"
#include "storage/mvseBlobEngineSimple.h"
#include "storage/mvseBlockHeapEngineNonfragmenting.h"
#include "storage/mvseBookmarks.h"
#include "storage/mvseHeapEngineCached.h"
#include "storage/mvseRecordCompressionEngines.h"
#include "storage/mvseRecordEngineVariable.h"
#include "storage/mvseRecordEngineVariableVersioned.h"
#include "storage/mvseStaticRecordEngine.h"
#include "storage/mvseStreamEngineSimple.h"
#include "storage/mvseSubEngine.h"
#include "storage/mvseTemporaryStorageChunked.h"

namespace {

constexpr TmvUnitSteps kStorageUnits[] = {
    {mvDictionaryInit, mvDictionaryFini},
    {mvsrTimeoutHandlingInit, mvsrTimeoutHandlingFini},
    {mvsrFileImplInit, mvsrFileImplFini},
    {mvsrFileHeaderInit, mvsrFileHeaderFini},
    {mvseTemporaryStorageChunkedInit, mvseTemporaryStorageChunkedFini},
    {mvseBookmarksInit, mvseBookmarksFini},
    {mvseSubEngineInit, mvseSubEngineFini},
    {mvseStreamEngineSimpleInit, mvseStreamEngineSimpleFini},
    {mvseStaticRecordEngineInit, mvseStaticRecordEngineFini},
    {mvseAutoIncEngineInit, mvseAutoIncEngineFini},
    {mvseBlockHeapEngineNonfragmentingInit, mvseBlockHeapEngineNonfragmentingFini},
    {mvseHeapEngineCachedInit, mvseHeapEngineCachedFini},
    {mvseRecordCompressionEnginesInit, mvseRecordCompressionEnginesFini},
    {mvseRecordEngineVariableInit, mvseRecordEngineVariableFini},
    {mvseRecordEngineVariableVersionedInit, mvseRecordEngineVariableVersionedFini},
    {mvseBlobEngineSegmentedInit, mvseBlobEngineSegmentedFini},
    {mvseBlobEngineSimpleInit, mvseBlobEngineSimpleFini},
};
constinit TmvUnitGroup gStorageUnits(kStorageUnits);

}  // namespace

void mvStorageInit() { gStorageUnits.Start(); }

void mvStorageFini() { gStorageUnits.Stop(); }
