// bench_runner.h on mini_benchmark.h, for targets without Google Benchmark: the same timing
// scheme (grow the iteration count until a repetition lasts the minimum time, interleave the
// repetitions of all benchmarks, keep the fastest of each), with a --benchmark_filter=<substrings>
// flag: a benchmark runs when its name contains any of the substrings separated by '|' (one that
// ends in '$' must end the name).
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  // Google Benchmark's flags of the same names: --benchmark_filter, --benchmark_repetitions and
  // --benchmark_min_time (seconds) override the options.
  const char* filter = "";
  double min_seconds = options.min_seconds;
  int repetitions = options.smoke ? 1 : options.repetitions;
  const char kFilterFlag[] = "--benchmark_filter=";
  const char kRepetitionsFlag[] = "--benchmark_repetitions=";
  const char kMinTimeFlag[] = "--benchmark_min_time=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kFilterFlag, sizeof(kFilterFlag) - 1) == 0) {
      filter = argv[i] + sizeof(kFilterFlag) - 1;
    } else if (std::strncmp(argv[i], kRepetitionsFlag, sizeof(kRepetitionsFlag) - 1) == 0) {
      repetitions = std::atoi(argv[i] + sizeof(kRepetitionsFlag) - 1);
      if (repetitions < 1 || options.smoke) repetitions = 1;
    } else if (std::strncmp(argv[i], kMinTimeFlag, sizeof(kMinTimeFlag) - 1) == 0) {
      min_seconds = std::atof(argv[i] + sizeof(kMinTimeFlag) - 1);
    }
  }
  // Every selected benchmark is calibrated first: its iteration count grows, tenfold at most at
  // a time, until one repetition lasts the minimum time.
  struct Selected {
    const std::string* name;
    const Body* body;
    int64_t iterations;
    std::vector<double> nanoseconds;  // per iteration, one figure per repetition
  };
  std::vector<Selected> selected;
  // Alternatives separated by '|', as in a regular expression: any of them selects.
  std::vector<std::string> alternatives;
  for (const char* start = filter;; ++start) {
    const char* end = std::strchr(start, '|');
    alternatives.emplace_back(start, end ? end : start + std::strlen(start));
    if (!end) break;
    start = end;
  }
  const auto selects = [&alternatives](const std::string& name) {
    for (const std::string& alternative : alternatives) {
      // A trailing '$' anchors the alternative at the end of the name.
      if (!alternative.empty() && alternative.back() == '$') {
        const size_t length = alternative.size() - 1;
        if (name.size() >= length &&
            name.compare(name.size() - length, length, alternative, 0, length) == 0) {
          return true;
        }
      } else if (name.find(alternative) != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  for (const auto& [name, body] : Added()) {
    if (!selects(name)) continue;
    int64_t iterations = 1;
    double seconds = 0.0;
    if (!options.smoke) {
      while (TimeIterations(body, iterations, &seconds) >= 0.0 && seconds < min_seconds) {
        const double wanted = min_seconds * 1.4 / (seconds > 0.0 ? seconds : 1e-9);
        iterations = static_cast<int64_t>(iterations * (wanted < 10.0 ? wanted : 10.0)) + 1;
      }
    }
    selected.push_back({&name, &body, iterations, {}});
  }
  // Then the repetitions go round all of them in turn, so that a change in the machine's speed
  // during the run (other load, a clock that moves) reaches every benchmark alike and leaves
  // their ratios fair.
  for (int repetition = 0; repetition < repetitions; ++repetition) {
    for (Selected& benchmark : selected) {
      double seconds = 0.0;
      const double per_iteration = TimeIterations(*benchmark.body, benchmark.iterations, &seconds);
      benchmark.nanoseconds.push_back(per_iteration * 1e9);
    }
  }
  std::vector<Measurement> measurements;
  for (const Selected& benchmark : selected) {
    const Measurement measurement = Summarize(*benchmark.name, benchmark.nanoseconds);
    std::printf(
        "%-60s %12.1f ns  (fastest of %d; median +%.1f%%)\n", benchmark.name->c_str(),
        measurement.nanoseconds_per_iteration, measurement.repetitions,
        100.0 * (measurement.median_nanoseconds / measurement.nanoseconds_per_iteration - 1.0));
    measurements.push_back(measurement);
  }
  std::fflush(stdout);
  return measurements;
}

const char* LibraryName() { return "mini_benchmark.h (no Google Benchmark on this target)"; }

const char* ClockName() {
#if defined(_WIN32)
  return "wall-clock time (the performance counter; see mini_benchmark.h)";
#else
  return "the thread's CPU time";
#endif
}

}  // namespace bench
