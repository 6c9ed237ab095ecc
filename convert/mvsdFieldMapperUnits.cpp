// Field conversion: start-up and shutdown of the field conversion units, in
// order.
#include "convert/mvsdFieldMapperUnits.h"

#include "convert/mvsdFieldMapperBase.h"
#include "convert/mvsdFieldMapperByteArray.h"
#include "convert/mvsdFieldMapperCursor.h"
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
#include "convert/mvsrFieldMapper.h"
#include "convert/mvsrRecordMapperEngine.h"
#include "foundation/mvllUnitGroup.h"
#include "index/mvixUnits.h"

namespace {

constexpr TmvUnitSteps kConvertUnits[] = {
    {mvIndexInit, mvIndexFini},
    {mvsdFieldMapperBaseInit, mvsdFieldMapperBaseFini},
    {mvsdFieldMapperCursorInit, mvsdFieldMapperCursorFini},
    {mvsdFieldMapperIntegerInit, mvsdFieldMapperIntegerFini},
    {mvsdFieldMapperFloatInit, mvsdFieldMapperFloatFini},
    {mvsdFieldMapperStringInit, mvsdFieldMapperStringFini},
    {mvsdFieldMapperParseInit, mvsdFieldMapperParseFini},
    {mvsdFieldMapperTemporalInit, mvsdFieldMapperTemporalFini},
    {mvsdFieldMapperGuidInit, mvsdFieldMapperGuidFini},
    {mvsdFieldMapperByteArrayInit, mvsdFieldMapperByteArrayFini},
    {mvsdFieldMapperFmtBcdInit, mvsdFieldMapperFmtBcdFini},
    {mvsrFieldMapperInit, mvsrFieldMapperFini},
    {mvsdFieldMapperEngineBaseInit, mvsdFieldMapperEngineBaseFini},
    {mvsrFieldMapperEngineInit, mvsrFieldMapperEngineFini},
    {mvsrFieldMapperEngineAutoIncInit, mvsrFieldMapperEngineAutoIncFini},
    {mvsrRecordMapperEngineInit, mvsrRecordMapperEngineFini},
};
constinit TmvUnitGroup gConvertUnits(kConvertUnits);

}  // namespace

void mvConvertInit() { gConvertUnits.Start(); }

void mvConvertFini() { gConvertUnits.Stop(); }
