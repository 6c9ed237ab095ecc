// Field conversion: the special engine of AutoInc targets. See
// mvsrFieldMapperEngineAutoInc.h.
#include "convert/mvsrFieldMapperEngineAutoInc.h"

#include <algorithm>
#include <limits>

#include "convert/mvsdFieldMapperCursor.h"
#include "convert/mvsrFieldMapperEngine.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "platform/Numeric.h"

namespace {

constexpr char16_t SMaxAutoIncReached[] = u"Maximum AutoInc value has been reached";

TmvServerBaseCursor* ServerCursor(TmvAbstractCursor* aCursor) {
  TmvServerBaseCursor* server = mvCursorAsServerCursor(aCursor);
  if (!server) throw EInvalidCast(SInvalidCast);
  return server;
}

}  // namespace

constinit const TmvFieldMapperEngineClassRef TmvFieldMapperEngineAutoInc::StaticClass{
    {{u"TmvFieldMapperEngineAutoInc", &TmvBaseFieldMapperEngine::StaticClass}, &TmvBaseFieldMapperEngine::Registry,
     nullptr},
    &mvConstructFieldMapperEngine<TmvFieldMapperEngineAutoInc>};

TmvFieldMapperEngineAutoInc::TmvFieldMapperEngineAutoInc(TmvFieldMapperDescriptor* aDescriptor,
                                                         TmvAbstractCursor* aSourceCursor,
                                                         TmvAbstractCursor* aTargetCursor)
    : fmeaTargetCursor(ServerCursor(aTargetCursor)),
      fmeaTargetFieldsDescriptor(mvCursorTableDescriptor(aTargetCursor)->GetFieldsDescriptor()),
      fmeaApplyToNull(aDescriptor->GetApplyDefault()) {
  if (!aDescriptor->GetSourceName().empty()) fmeaSourceCursor = ServerCursor(aSourceCursor);
  fmeaTargetFieldNumber = fmeaTargetFieldsDescriptor->GetFieldFromName(aDescriptor->GetTargetName());
  if (fmeaTargetFieldNumber < 0) throw EmvFieldMapperEngineException(MVERR_INVALIDFIELDNAME, String());
}

void TmvFieldMapperEngineAutoInc::BeforeFirstRecord() {
  if (fmeaSourceCursor) fmeaHighAutoInc = mvCursorAutoIncGet(fmeaSourceCursor);
  mvCursorAutoIncSetDirect(fmeaTargetCursor, fmeaHighAutoInc);
}

void TmvFieldMapperEngineAutoInc::BeforeCommit() {
  if (fmeaSourceCursor) fmeaHighAutoInc = std::max(mvCursorAutoIncGet(fmeaSourceCursor), fmeaHighAutoInc);
  mvCursorAutoIncSetDirect(fmeaTargetCursor, fmeaHighAutoInc);
}

uint32_t TmvFieldMapperEngineAutoInc::MapField(const void*, void* aTarget) {
  uint8_t value[4];
  bool isNull = true;
  fmeaTargetFieldsDescriptor->GetRecordField(fmeaTargetFieldNumber, aTarget, isNull, value);
  if (!isNull) {
    const uint32_t v = LoadLE32(value);
    if (v > fmeaHighAutoInc) {
      fmeaHighAutoInc = v;
      mvCursorAutoIncSetDirect(fmeaTargetCursor, fmeaHighAutoInc);
    }
  } else if (fmeaApplyToNull) {
    // A 32-bit counter past its end would start again at 0 and hand out
    // values that the table already holds.
    if (fmeaHighAutoInc == std::numeric_limits<uint32_t>::max())
      return EmvBaseException::mvSetMessage(MVERR_MAXVALERR, String(SMaxAutoIncReached));
    StoreLE32(value, ++fmeaHighAutoInc);
    fmeaTargetFieldsDescriptor->SetRecordField(fmeaTargetFieldNumber, aTarget, value);
    mvCursorAutoIncSetDirect(fmeaTargetCursor, fmeaHighAutoInc);
  }
  return 0;
}

void mvsrFieldMapperEngineAutoIncInit() {
  mvRegisterSpecialFieldMapperEngine(TmvFieldMapperEngineAutoInc::StaticClass, mvtAutoInc);
}

void mvsrFieldMapperEngineAutoIncFini() {
  mvUnregisterSpecialFieldMapperEngine(TmvFieldMapperEngineAutoInc::StaticClass, mvtAutoInc);
}
