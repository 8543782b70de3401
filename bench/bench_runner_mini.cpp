// bench_runner.h on mini_benchmark.h, for targets without Google Benchmark: the same timing
// scheme (grow the iteration count until a repetition lasts the minimum time, keep the fastest
// repetition), with a --benchmark_filter=<substring> flag.
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
  std::vector<Measurement> measurements;
  for (const auto& [name, body] : Added()) {
    if (name.find(filter) == std::string::npos) continue;
    double seconds = 0.0;
    int64_t iterations = 1;
    double fastest = std::numeric_limits<double>::infinity();
    int repetitions = 0;
    if (options.smoke) {
      fastest = TimeIterations(body, 1, &seconds);
      repetitions = 1;
    } else {
      // Calibrate: grow the count tenfold at most until one run lasts the minimum time.
      while (TimeIterations(body, iterations, &seconds) >= 0.0 && seconds < min_seconds) {
        const double wanted = min_seconds * 1.4 / (seconds > 0.0 ? seconds : 1e-9);
        iterations = static_cast<int64_t>(iterations * (wanted < 10.0 ? wanted : 10.0)) + 1;
      }
      for (; repetitions < options.repetitions; ++repetitions) {
        const double per_iteration = TimeIterations(body, iterations, &seconds);
        if (per_iteration < fastest) fastest = per_iteration;
      }
    }
    std::printf("%-52s %12.1f ns  (fastest of %d)\n", name.c_str(), fastest * 1e9, repetitions);
    std::fflush(stdout);
    measurements.push_back({name, fastest * 1e9});
  }
  return measurements;
}

const char* LibraryName() { return "mini_benchmark.h (no Google Benchmark on this target)"; }

}  // namespace bench
