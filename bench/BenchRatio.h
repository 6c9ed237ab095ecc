// Benchmarks: the console reporter that keeps the time of every run, so
// that a program can end with the ratio of the engine's runs to their
// reference runs (the form every benchmark here reports in).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& aRuns) override {
    // With repetitions the median stands for the run.
    for (const Run& run : aRuns)
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
        times[run.run_name.str()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(aRuns);
  }

  // Prints "<engine run>  <ratio> x <what>" when both runs took place.
  void PrintRatio(const std::string& aEngine, const std::string& aReference, const char* aWhat) const {
    auto e = times.find(aEngine);
    auto r = times.find(aReference);
    if (e != times.end() && r != times.end() && r->second > 0)
      std::printf("%-40s %.2f x %s\n", aEngine.c_str(), e->second / r->second, aWhat);
  }

  std::map<std::string, double> times;
};
