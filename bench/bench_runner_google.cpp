// bench_runner.h on Google Benchmark: the library runs and times every benchmark (CPU time of the
// thread); a reporter of our own keeps the fastest repetition of each and prints one line for it.
#include <cstdio>
#include <limits>
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
    double fastest = std::numeric_limits<double>::infinity();
    std::string name;
    int repetitions = 0;
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      name = run.run_name.function_name;
      // The thread's CPU time: what the audio thread pays, without the time a busy machine's
      // scheduler gives to other processes. The unit is set to nanoseconds.
      const double nanoseconds = run.GetAdjustedCPUTime();
      if (nanoseconds < fastest) fastest = nanoseconds;
      ++repetitions;
    }
    if (repetitions == 0) return;
    std::printf("%-52s %12.1f ns  (fastest of %d)\n", name.c_str(), fastest, repetitions);
    std::fflush(stdout);
    measurements.push_back({name, fastest});
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
    if (options.smoke) {
      registered->Iterations(1)->Repetitions(1);
    } else {
      registered->MinTime(options.min_seconds)->Repetitions(options.repetitions);
    }
  }
  // The repetitions of all benchmarks run interleaved, in random order, so that a change in the
  // machine's speed during the run (other load, a clock that moves) reaches every benchmark
  // alike and leaves their ratios fair. A flag on the command line still decides.
  std::vector<char*> arguments(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  if (!options.smoke) arguments.insert(arguments.begin() + (argc > 0 ? 1 : 0), interleave);
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

}  // namespace bench
