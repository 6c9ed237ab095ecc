// Data dictionary: the error log of the dictionary's engines. See mvsdLog.h.
#include "dictionary/mvsdLog.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<TmvBaseLog*> gLog{nullptr};
const char16_t kCategory[] = u"Dictionary";
}  // namespace

void mvSetDictionaryLog(TmvBaseLog* aLog) { gLog.store(aLog, std::memory_order_release); }

TmvBaseLog* mvDictionaryLog() { return gLog.load(std::memory_order_acquire); }

void mvDictionaryLogError(const String& aMessage) {
  if (TmvBaseLog* log = mvDictionaryLog()) {
    log->WriteString(aMessage, 0, lpError, kCategory, mvLogNoTime, mvLogNoTimeBias);
    return;
  }
  std::fprintf(stderr, "Dictionary: %s\n", UTF8Encode(aMessage).c_str());
}
