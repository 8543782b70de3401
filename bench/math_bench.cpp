// What portable_math's correctly rounded sin, cos, 2^x and asin cost next to the C library's,
// and how that splits between the fast path (today's evaluation with its error bound and Ziv's
// rounding test) and the fallback (the fixed-point accurate path), in one run of one program.
//
// Each benchmark evaluates one function on 1024 inputs per iteration and reports the time per
// call. The inputs are those of the measurement the functions were specified with: sin and cos
// uniform in [-4, 4], 2^x in [-10, 10], asin in [-1, 1] (the same inputs for every row of a
// function); "fallback inputs" are 1024 of them for which the fast path cannot decide, through
// the whole function (fast path, test and fallback). The table at the end gives ns per call, the
// ratio to the C library and how often the fallback is taken on these inputs; two more rows time
// the fast path of sin and cos without the bound and the test.
//
//   math_bench [--smoke] [benchmark library flags]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_runner.h"
#include "se_sdk/portable_math.h"

namespace {

constexpr int kInputs = 1024;

struct MathFunction {
  const char* name;
  double low;
  double high;
  double (*portable)(double);
  portable_math::detail::Checked (*fast)(double);
  double (*accurate)(double);
  double (*library)(double);
};

double LibrarySin(double x) { return std::sin(x); }
double LibraryCos(double x) { return std::cos(x); }
double LibraryExp2(double x) { return std::pow(2.0, x); }
double LibraryAsin(double x) { return std::asin(x); }

const MathFunction kFunctions[] = {
    {"sin", -4.0, 4.0, portable_math::sin, portable_math::detail::SinFast,
     portable_math::detail::SinAccurate, LibrarySin},
    {"cos", -4.0, 4.0, portable_math::cos, portable_math::detail::CosFast,
     portable_math::detail::CosAccurate, LibraryCos},
    {"exp2", -10.0, 10.0, portable_math::exp2, portable_math::detail::Exp2Fast,
     portable_math::detail::Exp2Accurate, LibraryExp2},
    {"asin", -1.0, 1.0, portable_math::asin, portable_math::detail::AsinFastChecked,
     portable_math::detail::AsinAccurate, LibraryAsin},
};

// Marsaglia's xorshift64, uniform in [low, high).
class Uniform {
 public:
  Uniform(std::uint64_t seed, double low, double high) : m_state(seed), m_low(low), m_high(high) {}
  double Next() {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 7;
    m_state ^= m_state << 17;
    return m_low + (m_high - m_low) * (static_cast<double>(m_state >> 11) * 0x1p-53);
  }

 private:
  std::uint64_t m_state;
  double m_low;
  double m_high;
};

struct Inputs {
  std::vector<double> plain;
  std::vector<double> falling_back;
  double fallback_share;  // among plain-like inputs, measured on 10^6 of them
};

Inputs MakeInputs(const MathFunction& function, std::uint64_t seed) {
  Inputs inputs;
  Uniform uniform(seed, function.low, function.high);
  for (int i = 0; i < kInputs; ++i) inputs.plain.push_back(uniform.Next());
  long tried = 0, fallback = 0;
  while (inputs.falling_back.size() < static_cast<std::size_t>(kInputs) || tried < 1000000) {
    const double x = uniform.Next();
    ++tried;
    // The public functions answer tiny arguments without the fast path; none are drawn here.
    if (!function.fast(x).sure) {
      ++fallback;
      if (inputs.falling_back.size() < static_cast<std::size_t>(kInputs)) {
        inputs.falling_back.push_back(x);
      }
    }
  }
  inputs.fallback_share = static_cast<double>(fallback) / static_cast<double>(tried);
  return inputs;
}

std::vector<Inputs>& AllInputs() {
  static std::vector<Inputs> inputs;
  return inputs;
}

template <class Evaluate>
bench::Body Loop(const std::vector<double>* inputs, Evaluate evaluate) {
  return [inputs, evaluate](benchmark::State& state) {
    for (auto _ : state) {
      double sum = 0.0;
      for (const double x : *inputs) sum += evaluate(x);
      benchmark::DoNotOptimize(sum);
    }
  };
}

const char* const kRows[] = {"portable_math", "fast path", "fallback (accurate path)",
                             "fallback inputs", "C library"};

std::string Name(const MathFunction& function, const char* row) {
  return std::string(function.name) + "/" + row;
}

void AddAll() {
  std::uint64_t seed = 0x6A7B8C9D1E2F3A4Bu;
  for (const MathFunction& function : kFunctions)
    AllInputs().push_back(MakeInputs(function, ++seed));
  for (std::size_t f = 0; f < sizeof kFunctions / sizeof kFunctions[0]; ++f) {
    const MathFunction& function = kFunctions[f];
    const Inputs& inputs = AllInputs()[f];
    bench::Add(Name(function, kRows[0]), Loop(&inputs.plain, function.portable));
    bench::Add(Name(function, kRows[1]),
               Loop(&inputs.plain, [fast = function.fast](double x) { return fast(x).value; }));
    bench::Add(Name(function, kRows[2]), Loop(&inputs.plain, function.accurate));
    bench::Add(Name(function, kRows[3]), Loop(&inputs.falling_back, function.portable));
    bench::Add(Name(function, kRows[4]), Loop(&inputs.plain, function.library));
  }
  // The fast path of sin and cos without its bound and test: what these functions were before
  // they were correctly rounded, and what Pelio's lanes and its scalar reference compute.
  bench::Add("sin/fast path without the test",
             Loop(&AllInputs()[0].plain, portable_math::detail::SinFastPath));
  bench::Add("cos/fast path without the test",
             Loop(&AllInputs()[1].plain, portable_math::detail::CosFastPath));
}

void PrintTable(const std::vector<bench::Measurement>& measurements) {
  const auto per_call = [&measurements](const std::string& name) {
    for (const bench::Measurement& measurement : measurements) {
      if (measurement.name == name) return measurement.nanoseconds_per_iteration / kInputs;
    }
    return std::nan("");
  };
  std::printf("\nns per call (%s), the fastest repetition of each:\n\n", bench::LibraryName());
  std::printf(
      "| function | portable_math | fast path | fallback (accurate path) | fallback "
      "inputs | C library | portable_math / C library | fallback taken |\n");
  std::printf("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n");
  for (std::size_t f = 0; f < sizeof kFunctions / sizeof kFunctions[0]; ++f) {
    const MathFunction& function = kFunctions[f];
    double figures[5];
    for (int row = 0; row < 5; ++row) figures[row] = per_call(Name(function, kRows[row]));
    std::printf("| %s on [%g, %g] | %.1f | %.1f | %.0f | %.0f | %.1f | %.2f | %.4f%% |\n",
                function.name, function.low, function.high, figures[0], figures[1], figures[2],
                figures[3], figures[4], figures[0] / figures[4],
                100.0 * AllInputs()[f].fallback_share);
  }
  std::printf(
      "\nThe fast path without its bound and test (the functions before they were "
      "correctly rounded; Pelio's lanes): sin %.1f, cos %.1f ns per call.\n",
      per_call("sin/fast path without the test"), per_call("cos/fast path without the test"));
}

}  // namespace

int main(int argc, char** argv) {
  bench::RunOptions options;
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0) {
      options.smoke = true;
    } else {
      arguments.push_back(argv[i]);
    }
  }
  AddAll();
  const std::vector<bench::Measurement> measurements =
      bench::RunAll(static_cast<int>(arguments.size()), arguments.data(), options);
  if (options.smoke) {
    std::printf("%zu benchmarks ran once each\n", measurements.size());
    return measurements.empty() ? 1 : 0;
  }
  PrintTable(measurements);
  return 0;
}
