// Server engine: start-up and shutdown of the server units, in order.
#include "server/mvsrServerUnits.h"

#include "foundation/mvllUnitGroup.h"
#include "server/cursors/mvsrServerTableCursor.h"
#include "server/mvsdSimpleLock.h"
#include "server/mvseRefIntEngine.h"
#include "server/mvseSortEngineMerge.h"
#include "server/mvsrServerEngine.h"
#include "index/mvixUnits.h"

namespace {

constexpr TmvUnitSteps kServerUnits[] = {
    {mvIndexInit, mvIndexFini},
    {mvsdSimpleLockInit, mvsdSimpleLockFini},
    {mvseSortEngineMergeInit, mvseSortEngineMergeFini},
    {mvseRefIntEngineInit, mvseRefIntEngineFini},
    {mvsrServerEngineInit, mvsrServerEngineFini},
    {mvsrServerTableCursorInit, mvsrServerTableCursorFini},
};
constinit TmvUnitGroup gServerUnits(kServerUnits);

}  // namespace

void mvServerInit() { gServerUnits.Start(); }

void mvServerFini() { gServerUnits.Stop(); }
