// Field conversion: the error log of the conversion engines. See
// mvsdConvertLog.h.
#include "convert/mvsdConvertLog.h"

namespace {
constinit TmvLayerLog gLog(u"Conversion");
}  // namespace

void mvSetConvertLog(TmvBaseLog* aLog) { gLog.Set(aLog); }

TmvBaseLog* mvConvertLog() { return gLog.Get(); }

void mvConvertLogError(const String& aMessage) { gLog.Error(aMessage); }
