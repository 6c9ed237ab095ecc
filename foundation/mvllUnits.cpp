// Foundation: start-up and shutdown of the foundation units, in order.
#include "foundation/mvllUnits.h"

#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllUnitGroup.h"
#include "foundation/sync/mvllSync.h"
#include "foundation/types/mvllFmtBcd.h"
#include "foundation/types/mvllWideString.h"

namespace {

constexpr TmvUnitSteps kFoundationUnits[] = {
    {mvConnectProcessMemoryManager, mvDisconnectProcessMemoryManager},
    {mvllSyncInit, mvllSyncFini},
    {mvllWideStringInit, mvllWideStringFini},
    {nullptr, mvFinalizeExceptions},  // clears the stopping thread's last converted exception
    {mvInitExceptionData, mvFinalizeExceptionData},
    {mvPatchFmtBcdVariantType, nullptr},
};
constinit TmvUnitGroup gFoundationUnits(kFoundationUnits);

}  // namespace

void mvFoundationInit() { gFoundationUnits.Start(); }

void mvFoundationFini() { gFoundationUnits.Stop(); }
