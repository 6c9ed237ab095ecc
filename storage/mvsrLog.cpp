// Storage: the error log of table storage. See mvsrLog.h.
#include "storage/mvsrLog.h"

#include <exception>

namespace {
constinit TmvLayerLog gLog(u"Storage");
}  // namespace

void mvSetStorageLog(TmvBaseLog* aLog) { gLog.Set(aLog); }

TmvBaseLog* mvStorageLog() { return gLog.Get(); }

void mvStorageLogError(const String& aMessage) { gLog.Error(aMessage); }

String mvCurrentExceptionText() {
  try {
    throw;
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return UTF8ToString(e.what());
  } catch (...) {
    return u"unknown exception";
  }
}
