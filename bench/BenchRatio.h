// Benchmarks: a console reporter that keeps the time of every run, so that a
// benchmark program can print, after the table, the ratio of the engine's
// time to the reference's time for the same workload.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& aRuns) override {
    for (const Run& run : aRuns) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(aRuns);
  }
  // Prints "<engine run>  <ratio> x <what>" when both runs were made.
  void PrintRatio(const std::string& aEngine, const std::string& aReference, const char* aWhat) const {
    auto e = times.find(aEngine);
    auto r = times.find(aReference);
    if (e != times.end() && r != times.end() && r->second > 0)
      std::printf("%-44s %.2f x %s\n", aEngine.c_str(), e->second / r->second, aWhat);
  }
  std::map<std::string, double> times;
};
