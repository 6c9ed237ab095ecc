// Server engine: the error log of the server. See mvsdServerLog.h.
#include "server/mvsdServerLog.h"

#include <exception>

namespace {

constinit TmvLayerLog gLog(u"Server");

String CurrentExceptionText() {
  try {
    throw;
  } catch (const Exception& e) {
    return e.ClassName() + u": " + e.Message();
  } catch (const std::exception& e) {
    return UTF8ToString(e.what());
  } catch (...) {
    return u"unknown exception";
  }
}

}  // namespace

void mvSetServerLog(TmvBaseLog* aLog) { gLog.Set(aLog); }

TmvBaseLog* mvServerLog() { return gLog.Get(); }

void mvServerLogError(const String& aMessage) { gLog.Error(aMessage); }

void mvServerLogCurrentException(const String& aWhere) { gLog.Error(aWhere + u": " + CurrentExceptionText()); }
