// Index engines: start-up and shutdown of the index units, in order.
#include "index/mvixUnits.h"

#include "foundation/mvllUnitGroup.h"
#include "index/fulltext/mvseFulltextEngineCursor.h"
#include "index/fulltext/mvseFulltextEngineCursorIndex.h"
#include "index/mvsdKeyEngineComp.h"
#include "index/mvsdKeyEngineFixed.h"
#include "index/mvsdKeyEngineToken.h"
#include "index/mvseIndexEngineCacheKeylessBstarTree.h"
#include "index/mvseIndexEngineKeylessBstarTree.h"
#include "index/mvseIndexEngineStaticKeyBstarTree.h"
#include "index/mvseIndicesEngineSimple.h"
#include "storage/mvsrUnits.h"

namespace {

constexpr TmvUnitSteps kIndexUnits[] = {
    {mvStorageInit, mvStorageFini},
    {mvsdKeyEngineCompInit, mvsdKeyEngineCompFini},
    {mvsdKeyEngineFixedInit, mvsdKeyEngineFixedFini},
    {mvsdKeyEngineTokenInit, mvsdKeyEngineTokenFini},
    {mvseIndicesEngineSimpleInit, mvseIndicesEngineSimpleFini},
    {mvseIndexEngineStaticKeyBstarTreeInit, mvseIndexEngineStaticKeyBstarTreeFini},
    {mvseIndexEngineKeylessBstarTreeInit, mvseIndexEngineKeylessBstarTreeFini},
    {mvseIndexEngineCacheKeylessBstarTreeInit, mvseIndexEngineCacheKeylessBstarTreeFini},
    {mvseFulltextEngineCursorInit, mvseFulltextEngineCursorFini},
    {mvseFulltextEngineCursorIndexInit, mvseFulltextEngineCursorIndexFini},
};
constinit TmvUnitGroup gIndexUnits(kIndexUnits);

}  // namespace

void mvIndexInit() { gIndexUnits.Start(); }

void mvIndexFini() { gIndexUnits.Stop(); }
