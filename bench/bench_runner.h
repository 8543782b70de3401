// What the benchmark program needs of a benchmark library, so that one source serves both the
// native build, which has Google Benchmark, and the 32-bit ones, which have no Google Benchmark
// to link (Debian ships it for the build machine only) and use mini_benchmark.h instead.
#pragma once

#include <functional>
#include <string>
#include <vector>

#if SE_HAVE_GOOGLE_BENCHMARK
#include <benchmark/benchmark.h>
#else
#include "bench/mini_benchmark.h"
#endif

namespace bench {

// The fastest of the repetitions of one benchmark.
struct Measurement {
  std::string name;
  double nanoseconds_per_iteration;
};

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

}  // namespace bench
