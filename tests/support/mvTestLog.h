// Test support: a log component that keeps what it is given, for tests that
// check what the engine logs.
#pragma once

#include <vector>

#include "foundation/mvllLog.h"

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
    entries.push_back({s, number, priority});
  }
  void WriteString(const String& msg, uint32_t number, TmvLogPriority priority, const String&, TDateTime,
                   int32_t) override {
    entries.push_back({msg, number, priority});
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
    std::vector<String> out;
    for (const Entry& e : entries) out.push_back(e.Message);
    return out;
  }

  std::vector<Entry> entries;
};
