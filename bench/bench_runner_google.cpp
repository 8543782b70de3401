// bench_runner.h on Google Benchmark: the library runs and times every benchmark (CPU time of the
// thread); a reporter of our own keeps the fastest repetition of each and prints one line for it.
#include <cstdio>
#include <vector>

#include "bench/bench_runner.h"

namespace bench {

namespace {

std::vector<std::pair<std::string, Body>>& Added() {
  static std::vector<std::pair<std::string, Body>> added;
  return added;
}

class FastestRunReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context& context) override {
    PrintBasicContext(&GetErrorStream(), context);
    return true;
  }

  void ReportRuns(const std::vector<Run>& runs) override {
    std::string name;
    std::vector<double> repetitions;
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      name = run.run_name.function_name;
      // The thread's CPU time: what the audio thread pays, without the time a busy machine's
      // scheduler gives to other processes. The unit is set to nanoseconds.
      repetitions.push_back(run.GetAdjustedCPUTime());
    }
    if (repetitions.empty()) return;
    const Measurement measurement = Summarize(name, repetitions);
    std::printf(
        "%-60s %12.1f ns  (fastest of %d; median +%.1f%%)\n", name.c_str(),
        measurement.nanoseconds_per_iteration, measurement.repetitions,
        100.0 * (measurement.median_nanoseconds / measurement.nanoseconds_per_iteration - 1.0));
    std::fflush(stdout);
    measurements.push_back(measurement);
  }

  void Finalize() override {}

  std::vector<Measurement> measurements;
};

}  // namespace

void Add(const std::string& name, Body body) { Added().emplace_back(name, std::move(body)); }

std::vector<Measurement> RunAll(int argc, char** argv, const RunOptions& options) {
  for (const auto& [name, body] : Added()) {
    benchmark::internal::Benchmark* registered = benchmark::RegisterBenchmark(
        name.c_str(), [body](benchmark::State& state) { body(state); });
    registered->Unit(benchmark::kNanosecond);
    if (options.smoke) registered->Iterations(1)->Repetitions(1);
  }
  // The repetitions and their minimum time go in as flags, not as settings of each benchmark, so
  // that the command line can change them and the names stay as they were added (a setting would
  // append "/min_time:.../repeats:..." to the name that --benchmark_filter matches). The
  // repetitions of all benchmarks run interleaved, in random order, so that a change in the
  // machine's speed during the run (other load, a clock that moves) reaches every benchmark
  // alike and leaves their ratios fair. Flags given on the command line come later and win.
  std::vector<char*> arguments(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  char min_time[64];
  std::snprintf(min_time, sizeof min_time, "--benchmark_min_time=%g", options.min_seconds);
  char repetitions[64];
  std::snprintf(repetitions, sizeof repetitions, "--benchmark_repetitions=%d", options.repetitions);
  if (!options.smoke) {
    char* defaults[] = {interleave, min_time, repetitions};
    arguments.insert(arguments.begin() + (argc > 0 ? 1 : 0), defaults, defaults + 3);
  }
  int argument_count = static_cast<int>(arguments.size());
  benchmark::Initialize(&argument_count, arguments.data());
  FastestRunReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  // Interleaved benchmarks are reported in no particular order; the table keeps the program's.
  std::vector<Measurement> in_order;
  for (const auto& [name, body] : Added()) {
    for (const Measurement& measurement : reporter.measurements) {
      if (measurement.name == name) in_order.push_back(measurement);
    }
  }
  return in_order;
}

const char* LibraryName() { return "Google Benchmark"; }

const char* ClockName() { return "the thread's CPU time"; }

}  // namespace bench
