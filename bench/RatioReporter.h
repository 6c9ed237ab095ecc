// Benchmarks: a console reporter that keeps the time of every run, so that a
// benchmark program can print the engine's ratio to its reference at the end
// of the run: the real time of runs measured in real time (those with
// threads), else the CPU time, which other work on a shared machine disturbs
// less. With repetitions, the median stands for its runs.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string name = run.run_name.str();
      const double time = name.find("/real_time") != std::string::npos ? run.GetAdjustedRealTime()
                                                                       : run.GetAdjustedCPUTime();
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") fTimes[name] = time;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints time(name) / time(reference) when both ran.
  void PrintRatio(const std::string& name, const std::string& reference, const char* unit) const {
    auto n = fTimes.find(name);
    auto r = fTimes.find(reference);
    if (n != fTimes.end() && r != fTimes.end() && r->second > 0)
      std::printf("  %-50s %7.2f x %s\n", name.c_str(), n->second / r->second, unit);
  }

  // Prints the ratio of every run whose name starts with `engine` to the run
  // named alike with `reference` in its place.
  void PrintRatios(const std::string& engine, const std::string& reference, const char* unit) const {
    std::printf("\n%s / %s:\n", engine.c_str(), reference.c_str());
    for (const auto& entry : fTimes)
      if (entry.first.rfind(engine, 0) == 0)
        PrintRatio(entry.first, reference + entry.first.substr(engine.size()), unit);
  }

 private:
  std::map<std::string, double> fTimes;
};
