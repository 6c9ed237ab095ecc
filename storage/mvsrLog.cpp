// Storage: the error log of table storage. See mvsrLog.h.
#include "storage/mvsrLog.h"

#include <atomic>
#include <cstdio>
#include <exception>

namespace {
std::atomic<TmvBaseLog*> gLog{nullptr};
const char16_t kCategory[] = u"Storage";
}  // namespace

void mvSetStorageLog(TmvBaseLog* aLog) { gLog.store(aLog, std::memory_order_release); }

TmvBaseLog* mvStorageLog() { return gLog.load(std::memory_order_acquire); }

void mvStorageLogError(const String& aMessage) {
  if (TmvBaseLog* log = mvStorageLog()) {
    log->WriteString(aMessage, 0, lpError, kCategory, mvLogNoTime, mvLogNoTimeBias);
    return;
  }
  std::fprintf(stderr, "Storage: %s\n", UTF8Encode(aMessage).c_str());
}

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
