// Benchmarks: rounds that alternate between the engine and its reference.
// A program registers its workloads once per round (each run one
// iteration, real time), so that on a shared machine a burst of other work
// falls on both sides alike; the reporter keeps every round's time under
// the run's name without its "/round:N" part and prints the ratio of the
// medians. TBenchMemory measures a run's page faults and peak resident
// size. Calls Google Benchmark and the process's own /proc files.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <sys/resource.h>

class TBenchRounds : public benchmark::ConsoleReporter {
 public:
  TBenchRounds() : ConsoleReporter(OO_Tabular) {}

  // Registers aRun as "<aName>/round:<aRound>", one timed iteration.
  static void Add(const std::string& aName, int aRound, const std::function<void(benchmark::State&)>& aRun) {
    benchmark::RegisterBenchmark((aName + "/round:" + std::to_string(aRound)).c_str(),
                                 [aRun](benchmark::State& state) { aRun(state); })
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }

  void ReportRuns(const std::vector<Run>& aRuns) override {
    for (const Run& run : aRuns) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      std::string name = run.run_name.str();
      const size_t round = name.find("/round:");
      if (round != std::string::npos) name.erase(round);
      fTimes[name].push_back(run.GetAdjustedRealTime());
      for (const auto& counter : run.counters) fCounters[name + " " + counter.first].push_back(counter.second.value);
    }
    ConsoleReporter::ReportRuns(aRuns);
  }

  // The median of a run's rounds (0 when it never ran).
  double Median(const std::string& aName) const {
    auto found = fTimes.find(aName);
    return found == fTimes.end() ? 0 : MedianOf(found->second);
  }
  double CounterMedian(const std::string& aName, const std::string& aCounter) const {
    auto found = fCounters.find(aName + " " + aCounter);
    return found == fCounters.end() ? 0 : MedianOf(found->second);
  }
  int Rounds(const std::string& aName) const {
    auto found = fTimes.find(aName);
    return found == fTimes.end() ? 0 : int(found->second.size());
  }

  // Prints "<aName>  <ratio> x <aReference>" when both ran.
  void PrintRatio(const std::string& aName, const std::string& aReference) const {
    const double name = Median(aName), reference = Median(aReference);
    if (name > 0 && reference > 0)
      std::printf("  %-34s %9.1f ms %6.2f x %-26s (%9.1f ms, %d rounds)\n", aName.c_str(), name, name / reference,
                  aReference.c_str(), reference, Rounds(aName));
  }

 private:
  static double MedianOf(std::vector<double> aValues) {
    std::sort(aValues.begin(), aValues.end());
    const size_t n = aValues.size();
    return n % 2 ? aValues[n / 2] : (aValues[n / 2 - 1] + aValues[n / 2]) / 2;
  }

  std::map<std::string, std::vector<double>> fTimes;
  std::map<std::string, std::vector<double>> fCounters;
};

// The page faults of a stretch of the program and its peak resident size:
// the peak is reset at the start (writing 5 to clear_refs), so that it is
// this stretch's, not the process's.
class TBenchMemory {
 public:
  TBenchMemory() {
    std::ofstream("/proc/self/clear_refs") << "5";
    fFaults = Faults();
  }
  int64_t FaultsSince() const { return Faults() - fFaults; }
  // VmHWM in MB.
  static double PeakMB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024;
    return 0;
  }

 private:
  static int64_t Faults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return int64_t(usage.ru_minflt) + int64_t(usage.ru_majflt);
  }
  int64_t fFaults;
};
