// Field conversion: start-up and shutdown of the field conversion units, in
// order.
#include "convert/mvsdFieldMapperUnits.h"

#include "convert/mvsdFieldMapperBase.h"
#include "convert/mvsdFieldMapperByteArray.h"
#include "convert/mvsdFieldMapperEngineBase.h"
#include "convert/mvsdFieldMapperFloat.h"
#include "convert/mvsdFieldMapperFmtBcd.h"
#include "convert/mvsdFieldMapperGuid.h"
#include "convert/mvsdFieldMapperInteger.h"
#include "convert/mvsdFieldMapperParse.h"
#include "convert/mvsdFieldMapperString.h"
#include "convert/mvsdFieldMapperTemporal.h"
#include "convert/mvsrFieldMapperEngine.h"
#include "convert/mvsrFieldMapperEngineAutoInc.h"
#include "foundation/mvllUnitGroup.h"
#include "storage/mvsrUnits.h"

namespace {

constexpr TmvUnitSteps kConvertUnits[] = {
    {mvStorageInit, mvStorageFini},
    {mvsdFieldMapperBaseInit, mvsdFieldMapperBaseFini},
    {mvsdFieldMapperIntegerInit, mvsdFieldMapperIntegerFini},
    {mvsdFieldMapperFloatInit, mvsdFieldMapperFloatFini},
    {mvsdFieldMapperStringInit, mvsdFieldMapperStringFini},
    {mvsdFieldMapperParseInit, mvsdFieldMapperParseFini},
    {mvsdFieldMapperTemporalInit, mvsdFieldMapperTemporalFini},
    {mvsdFieldMapperGuidInit, mvsdFieldMapperGuidFini},
    {mvsdFieldMapperByteArrayInit, mvsdFieldMapperByteArrayFini},
    {mvsdFieldMapperFmtBcdInit, mvsdFieldMapperFmtBcdFini},
    {mvsdFieldMapperEngineBaseInit, mvsdFieldMapperEngineBaseFini},
    {mvsrFieldMapperEngineInit, mvsrFieldMapperEngineFini},
    {mvsrFieldMapperEngineAutoIncInit, mvsrFieldMapperEngineAutoIncFini},
};
constinit TmvUnitGroup gConvertUnits(kConvertUnits);

}  // namespace

void mvConvertInit() { gConvertUnits.Start(); }

void mvConvertFini() { gConvertUnits.Stop(); }
