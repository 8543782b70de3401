// bench_runner.h on mini_benchmark.h, for targets without Google Benchmark: the same timing
// scheme (grow the iteration count until a repetition lasts the minimum time, interleave the
// repetitions of all benchmarks, keep the fastest of each), with a --benchmark_filter=<substring>
// flag.
#include <cstdio>
#include <cstring>
#include <limits>

#include "bench/bench_runner.h"

namespace bench {

namespace {

std::vector<std::pair<std::string, Body>>& Added() {
  static std::vector<std::pair<std::string, Body>> added;
  return added;
}

// Seconds per iteration of one repetition of `iterations` iterations.
double TimeIterations(const Body& body, int64_t iterations, double* total_seconds) {
  benchmark::State state(iterations);
  body(state);
  *total_seconds = state.ElapsedSeconds();
  return *total_seconds / static_cast<double>(iterations);
}

}  // namespace

void Add(const std::string& name, Body body) { Added().emplace_back(name, std::move(body)); }

std::vector<Measurement> RunAll(int argc, char** argv, const RunOptions& options) {
  const char* filter = "";
  const char kFilterFlag[] = "--benchmark_filter=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kFilterFlag, sizeof(kFilterFlag) - 1) == 0) {
      filter = argv[i] + sizeof(kFilterFlag) - 1;
    }
  }
#if defined(_WIN32)
  // Wine counts a thread's CPU time in 10 ms ticks: half a second per repetition keeps that
  // within 2%.
  const double min_seconds = options.min_seconds > 0.5 ? options.min_seconds : 0.5;
#else
  const double min_seconds = options.min_seconds;
#endif
  // Every selected benchmark is calibrated first: its iteration count grows, tenfold at most at
  // a time, until one repetition lasts the minimum time.
  struct Selected {
    const std::string* name;
    const Body* body;
    int64_t iterations;
    double fastest;
  };
  std::vector<Selected> selected;
  for (const auto& [name, body] : Added()) {
    if (name.find(filter) == std::string::npos) continue;
    int64_t iterations = 1;
    double seconds = 0.0;
    if (!options.smoke) {
      while (TimeIterations(body, iterations, &seconds) >= 0.0 && seconds < min_seconds) {
        const double wanted = min_seconds * 1.4 / (seconds > 0.0 ? seconds : 1e-9);
        iterations = static_cast<int64_t>(iterations * (wanted < 10.0 ? wanted : 10.0)) + 1;
      }
    }
    selected.push_back({&name, &body, iterations, std::numeric_limits<double>::infinity()});
  }
  // Then the repetitions go round all of them in turn, so that a change in the machine's speed
  // during the run (other load, a clock that moves) reaches every benchmark alike and leaves
  // their ratios fair.
  const int repetitions = options.smoke ? 1 : options.repetitions;
  for (int repetition = 0; repetition < repetitions; ++repetition) {
    for (Selected& benchmark : selected) {
      double seconds = 0.0;
      const double per_iteration = TimeIterations(*benchmark.body, benchmark.iterations, &seconds);
      if (per_iteration < benchmark.fastest) benchmark.fastest = per_iteration;
    }
  }
  std::vector<Measurement> measurements;
  for (const Selected& benchmark : selected) {
    std::printf("%-52s %12.1f ns  (fastest of %d)\n", benchmark.name->c_str(),
                benchmark.fastest * 1e9, repetitions);
    measurements.push_back({*benchmark.name, benchmark.fastest * 1e9});
  }
  std::fflush(stdout);
  return measurements;
}

const char* LibraryName() { return "mini_benchmark.h (no Google Benchmark on this target)"; }

}  // namespace bench
