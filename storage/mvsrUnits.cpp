// Table storage: start-up and shutdown of the storage units, in order.
#include "storage/mvsrUnits.h"

#include "dictionary/mvsdUnits.h"
#include "foundation/mvllUnitGroup.h"
#include "storage/blobs/mvseBlobEngineSegmented.h"
#include "storage/blobs/mvseBlobEngineSimple.h"
#include "storage/cache/mvsrCacheMemory.h"
#include "storage/cache/mvseTemporaryStorageChunked.h"
#include "storage/compression/mvseRecordCompressionEngines.h"
#include "storage/encryption/mvseEncryptionEngines.h"
#include "storage/files/mvsrPosixFiles.h"
#include "storage/fulltext/mvllWideStringCategories.h"
#include "storage/fulltext/mvseFulltextEngineTable.h"
#include "storage/header/mvsrFileHeader1x.h"
#include "storage/header/mvsrFileHeader2x.h"
#include "storage/heaps/mvseBlockHeapEngineNonfragmenting.h"
#include "storage/heaps/mvseHeapEngineCached.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/records/mvseBookmarks.h"
#include "storage/records/mvseRecordEngineVariable.h"
#include "storage/records/mvseRecordEngineVariableVersioned.h"
#include "storage/records/mvseStaticRecordEngine.h"
#include "storage/streams/mvseStreamEngineSimple.h"
#include "storage/transactions/mvseJournalEngine.h"

namespace {

constexpr TmvUnitSteps kStorageUnits[] = {
    {mvDictionaryInit, mvDictionaryFini},
    {mvsrTimeoutHandlingInit, mvsrTimeoutHandlingFini},
    {mvsrFileImplInit, mvsrFileImplFini},
    {mvseEncryptionEnginesInit, mvseEncryptionEnginesFini},
    {mvsrFileHeader1xInit, mvsrFileHeader1xFini},
    {mvsrFileHeader2xInit, mvsrFileHeader2xFini},
    {mvseTemporaryStorageChunkedInit, mvseTemporaryStorageChunkedFini},
    {mvseBookmarksInit, mvseBookmarksFini},
    {mvseAutoIncEngineInit, mvseAutoIncEngineFini},
    {mvseBlobEngineInit, mvseBlobEngineFini},
    {mvseStreamEngineInit, mvseStreamEngineFini},
    {mvseRecordEngineInit, mvseRecordEngineFini},
    {mvseIndicesEngineInit, mvseIndicesEngineFini},
    {mvseBlockHeapEngineInit, mvseBlockHeapEngineFini},
    {mvseHeapEngineInit, mvseHeapEngineFini},
    {mvseRecordCompressionEngineInit, mvseRecordCompressionEngineFini},
    {mvseStreamEngineSimpleInit, mvseStreamEngineSimpleFini},
    {mvseStaticRecordEngineInit, mvseStaticRecordEngineFini},
    {mvseBlockHeapEngineNonfragmentingInit, mvseBlockHeapEngineNonfragmentingFini},
    {mvseHeapEngineCachedInit, mvseHeapEngineCachedFini},
    {mvseRecordCompressionEnginesInit, mvseRecordCompressionEnginesFini},
    {mvseRecordEngineVariableInit, mvseRecordEngineVariableFini},
    {mvseRecordEngineVariableVersionedInit, mvseRecordEngineVariableVersionedFini},
    {mvseBlobEngineSegmentedInit, mvseBlobEngineSegmentedFini},
    {mvseBlobEngineSimpleInit, mvseBlobEngineSimpleFini},
    {mvllWideStringCategoriesInit, mvllWideStringCategoriesFini},
    {mvseFulltextEngineTableInit, mvseFulltextEngineTableFini},
    {mvseJournalEngineInit, mvseJournalEngineFini},
};
constinit TmvUnitGroup gStorageUnits(kStorageUnits);

}  // namespace

void mvStorageInit() { gStorageUnits.Start(); }

void mvStorageFini() {
  // The kept block frames go back while the memory manager is still there.
  mvCacheReleaseFrames();
  gStorageUnits.Stop();
}
