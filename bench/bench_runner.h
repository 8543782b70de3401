// What the benchmark program needs of a benchmark library, so that one source serves both the
// native build, which has Google Benchmark, and the 32-bit ones, which have no Google Benchmark
// to link (Debian ships it for the build machine only) and use mini_benchmark.h instead.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#if SE_HAVE_GOOGLE_BENCHMARK
#include <benchmark/benchmark.h>
#else
#include "bench/mini_benchmark.h"
#endif

namespace bench {

// The repetitions of one benchmark: the fastest (the figure the tables use) and, to show how far
// the repetitions spread, the median and the slowest.
struct Measurement {
  std::string name;
  double nanoseconds_per_iteration;  // the fastest repetition
  double median_nanoseconds = 0.0;   // per iteration, the median repetition
  double slowest_nanoseconds = 0.0;  // per iteration, the slowest repetition
  int repetitions = 0;
};

// Fills a measurement's figures from the time per iteration of each repetition (at least one).
inline Measurement Summarize(const std::string& name, std::vector<double> nanoseconds) {
  std::sort(nanoseconds.begin(), nanoseconds.end());
  const size_t count = nanoseconds.size();
  Measurement measurement;
  measurement.name = name;
  measurement.nanoseconds_per_iteration = nanoseconds.front();
  measurement.median_nanoseconds =
      count % 2 == 1 ? nanoseconds[count / 2]
                     : 0.5 * (nanoseconds[count / 2 - 1] + nanoseconds[count / 2]);
  measurement.slowest_nanoseconds = nanoseconds.back();
  measurement.repetitions = static_cast<int>(count);
  return measurement;
}

struct RunOptions {
  int repetitions = 11;
  double min_seconds = 0.05;  // per repetition
  bool smoke = false;         // one iteration of each, to prove that everything runs
};

typedef std::function<void(benchmark::State&)> Body;

// Adds a benchmark; the program's benchmarks run in the order they were added.
void Add(const std::string& name, Body body);

// Runs every added benchmark with `options` (command-line flags of the library still
// apply), prints one line per benchmark as it finishes and returns the measurements in order.
std::vector<Measurement> RunAll(int argc, char** argv, const RunOptions& options);

// The name of the library the measurements came from, for the table's heading.
const char* LibraryName();

// What the measurements' clock counts, for the table's heading.
const char* ClockName();

}  // namespace bench
