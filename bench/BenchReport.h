// How every benchmark program ends: Google Benchmark's console table, then the
// program's own lines that set its figures beside their peers or limits.
//
//   int main(int argc, char** argv) {
//     return rda::bench::Run(argc, argv, rda::bench::Clock::kReal, [](const auto& r) {
//       std::printf("ours / peer = %.2f (goal <= 1.5)\n", r.Ratio("BM_Ours", "BM_Peer"));
//     });
//   }
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace rda::bench {

// Which time of a run counts: wall-clock, or the CPU time of the benchmark's
// thread (steadier on a shared machine, blind to waiting).
enum class Clock { kReal, kCpu };

// What the runs left, by each benchmark's function name: the time of one
// iteration on the chosen clock, in the benchmark's own unit, and its counters.
// A run that ended in an error leaves nothing, so figures with it read 0.
class Results {
 public:
  double Time(const std::string& name) const {
    const auto it = times_.find(name);
    return it == times_.end() ? 0.0 : it->second;
  }
  double Counter(const std::string& name, const std::string& counter) const {
    const auto it = counters_.find(name);
    if (it == counters_.end()) return 0.0;
    const auto c = it->second.find(counter);
    return c == it->second.end() ? 0.0 : static_cast<double>(c->second);
  }
  // Time(a) / Time(b), or 0 when either is missing.
  double Ratio(const std::string& a, const std::string& b) const {
    const double ta = Time(a);
    const double tb = Time(b);
    return ta > 0 && tb > 0 ? ta / tb : 0.0;
  }

 private:
  friend class Reporter;
  std::map<std::string, double> times_;
  std::map<std::string, benchmark::UserCounters> counters_;
};

using Summary = std::function<void(const Results&)>;

class Reporter : public benchmark::ConsoleReporter {
 public:
  Reporter(Clock clock, Summary summary) : clock_(clock), summary_(std::move(summary)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const std::string& name = r.run_name.function_name;
      results_.times_[name] = clock_ == Clock::kReal ? r.GetAdjustedRealTime() : r.GetAdjustedCPUTime();
      results_.counters_[name] = r.counters;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (summary_) summary_(results_);
  }

 private:
  Clock clock_;
  Summary summary_;
  Results results_;
};

// Runs the registered benchmarks (with the command line's filters) and prints the
// summary after their table.
inline int Run(int argc, char** argv, Clock clock, Summary summary) {
  benchmark::Initialize(&argc, argv);
  Reporter reporter(clock, std::move(summary));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace rda::bench
