// Data dictionary: the error log of the dictionary's engines. See mvsdLog.h.
#include "dictionary/mvsdLog.h"

namespace {
constinit TmvLayerLog gLog(u"Dictionary");
}  // namespace

void mvSetDictionaryLog(TmvBaseLog* aLog) { gLog.Set(aLog); }

TmvBaseLog* mvDictionaryLog() { return gLog.Get(); }

void mvDictionaryLogError(const String& aMessage) { gLog.Error(aMessage); }

bool mvEvaluateOrLogFalse(const std::function<bool()>& aEvaluate, const String& aContext) {
  auto logged = [&](const String& aWhy) {
    mvDictionaryLogError(aContext + aWhy);
    return false;
  };
  try {
    return aEvaluate();
  } catch (const EAssertionFailed&) {
    throw;
  } catch (const Exception& e) {
    return logged(e.Message());
  } catch (const std::exception& e) {
    return logged(UTF8ToString(e.what()));
  } catch (...) {
    return logged(u"unknown exception");
  }
}
