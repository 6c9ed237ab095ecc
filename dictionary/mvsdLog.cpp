// Data dictionary: the error log of the dictionary's engines. See mvsdLog.h.
#include "dictionary/mvsdLog.h"

namespace {
constinit TmvLayerLog gLog(u"Dictionary");
}  // namespace

void mvSetDictionaryLog(TmvBaseLog* aLog) { gLog.Set(aLog); }

TmvBaseLog* mvDictionaryLog() { return gLog.Get(); }

void mvDictionaryLogError(const String& aMessage) { gLog.Error(aMessage); }
