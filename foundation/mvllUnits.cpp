// Foundation: start-up and shutdown of the foundation units, in order.
#include "foundation/mvllUnits.h"

#include "foundation/mvllExceptionData.h"
#include "foundation/mvllExceptions.h"
#include "foundation/mvllFmtBcd.h"
#include "foundation/mvllMemoryManager.h"
#include "foundation/mvllSync.h"
#include "foundation/mvllUnitGroup.h"
#include "foundation/mvllWideString.h"

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
