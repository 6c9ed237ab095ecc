// Test support: a log component that keeps what it is given, for tests that
// check what the engine logs. One form serves every layer: construct a
// TmvTestLog where a log object is wanted, or a TmvInstalledTestLog to make
// it a layer's log (storage, dictionary, ...) for as long as it lives.
// Thread-safe: engine threads may log while a test reads.
#pragma once

#include <mutex>
#include <vector>

#include "foundation/errors/mvllLog.h"

class TmvTestLog : public TmvBaseLog {
 public:
  using TmvBaseLog::TmvBaseLog;

  struct Entry {
    String Message;
    uint32_t Number;
    TmvLogPriority Priority;
  };

  void WriteBlock(const String& s, const void*, int32_t, uint32_t number, TmvLogPriority priority, const String&,
                  TDateTime, int32_t) override {
    Keep(s, number, priority);
  }
  void WriteString(const String& msg, uint32_t number, TmvLogPriority priority, const String&, TDateTime,
                   int32_t) override {
    Keep(msg, number, priority);
  }
  void WriteString(const String& msg, std::initializer_list<TVarRec> args, uint32_t number, TmvLogPriority priority,
                   const String& category, TDateTime when, int32_t bias) override {
    WriteString(Format(msg, args), number, priority, category, when, bias);
  }
  void WriteStrings(const String& msgs, uint32_t number, TmvLogPriority priority, const String& category,
                    TDateTime when, int32_t bias) override {
    WriteString(msgs, number, priority, category, when, bias);
  }
  void WriteLogData(ImvLogData*) override {}

  std::vector<String> Messages() const {
    std::lock_guard<std::mutex> guard(fKeep);
    return lines;
  }

  // What was logged, oldest first; read them once the engine is quiet.
  std::vector<Entry> entries;
  std::vector<String> lines;  // the entries' messages

 private:
  void Keep(const String& aMessage, uint32_t aNumber, TmvLogPriority aPriority) {
    std::lock_guard<std::mutex> guard(fKeep);
    entries.push_back({aMessage, aNumber, aPriority});
    lines.push_back(aMessage);
  }
  mutable std::mutex fKeep;
};

// A test log installed as a layer's log through its setter (mvSetStorageLog,
// mvSetDictionaryLog, ...) while it lives.
template <void (*Install)(TmvBaseLog*)>
class TmvInstalledTestLog : public TmvTestLog {
 public:
  TmvInstalledTestLog() : TmvTestLog(nullptr) { Install(this); }
  ~TmvInstalledTestLog() override { Install(nullptr); }
};
