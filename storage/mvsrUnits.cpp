// Table storage: start-up and shutdown of the storage units, in order.
#include "storage/mvsrUnits.h"

#include "dictionary/mvsdUnits.h"
#include "foundation/mvllUnitGroup.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/files/mvsrPosixFiles.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/blobs/mvseBlobEngineSegmented.h"
#include "storage/blobs/mvseBlobEngineSimple.h"
#include "storage/heaps/mvseBlockHeapEngineNonfragmenting.h"
#include "storage/records/mvseBookmarks.h"
#include "storage/heaps/mvseHeapEngineCached.h"
#include "storage/compression/mvseRecordCompressionEngines.h"
#include "storage/records/mvseRecordEngineVariable.h"
#include "storage/records/mvseRecordEngineVariableVersioned.h"
#include "storage/records/mvseStaticRecordEngine.h"
#include "storage/streams/mvseStreamEngineSimple.h"
#include "storage/mvseSubEngine.h"
#include "storage/cache/mvseTemporaryStorageChunked.h"

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
