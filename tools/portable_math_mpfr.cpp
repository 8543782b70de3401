// portable_math against MPFR: measurements, the fixed lists the 32-bit targets are checked
// against, the hard-case search and the long run over the inputs that take the fallback. Native
// x86-64 only (MPFR, Debian's libmpfr-dev); run by hand.
//
//   portable_math_mpfr measure [count]     misrounded results of portable_math and the C library
//                                          on the ranges (2,000,000 inputs by default),
//                                          and how often the fast path falls back, per function
//                                          and per family of inputs over the whole domain
//   portable_math_mpfr cases FILE          writes tests/math/portable_math_cases.inc: inputs of
//                                          every family, inputs that take the fallback, and the
//                                          correctly rounded result of each
//   portable_math_mpfr hard FILE [count]   writes tests/math/portable_math_hard_cases.inc: the
//                                          inputs whose exact value lies closest to a midpoint,
//                                          built near the thresholds where a Taylor term reaches
//                                          half an ulp, and found among `count` random inputs
//                                          per function (default 10^8)
//   portable_math_mpfr long SECONDS [threads]
//                                          random inputs of every family for SECONDS; each one
//                                          that takes the fallback, and every 64th one through
//                                          the accurate path alone, is compared with MPFR
//
// Exit status 1 if any result differs from MPFR's.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "se_sdk/portable_math.h"
#include "tests/math/mpfr_reference.h"
#include "tests/math/portable_math_inputs.h"

namespace {

using portable_math_inputs::BitsOf;
using portable_math_inputs::FromBits;
using portable_math_inputs::Function;
using portable_math_inputs::Random;

constexpr Function kFunctions[] = {Function::kSin, Function::kCos, Function::kExp2,
                                   Function::kAsin};

double Portable(Function function, double x) {
  switch (function) {
    case Function::kSin:
      return portable_math::sin(x);
    case Function::kCos:
      return portable_math::cos(x);
    case Function::kExp2:
      return portable_math::exp2(x);
    default:
      return portable_math::asin(x);
  }
}

double Accurate(Function function, double x) {
  switch (function) {
    case Function::kSin:
      return portable_math::detail::SinAccurate(x);
    case Function::kCos:
      return portable_math::detail::CosAccurate(x);
    case Function::kExp2:
      return portable_math::detail::Exp2Accurate(x);
    default:
      return portable_math::detail::AsinAccurate(x);
  }
}

// Whether the public function takes the fallback for x (its shortcuts for tiny arguments, zero,
// exact and special values take none).
bool TakesFallback(Function function, double x) {
  const double magnitude = std::fabs(x);
  switch (function) {
    case Function::kSin:
      return !(magnitude < 0x1p-26) && !portable_math::detail::SinFast(x).sure;
    case Function::kCos:
      return !(magnitude < 0x1p-27) && !portable_math::detail::CosFast(x).sure;
    case Function::kExp2:
      return x < 1024.0 && x > -1075.0 && !(magnitude < 0x1p-54) &&
             !portable_math::detail::Exp2Fast(x).sure;
    default:
      return magnitude <= 1.0 && !(magnitude < 0x1p-26) && magnitude != 1.0 &&
             !portable_math::detail::AsinFastChecked(x).sure;
  }
}

double Library(Function function, double x) {
  switch (function) {
    case Function::kSin:
      return std::sin(x);
    case Function::kCos:
      return std::cos(x);
    case Function::kExp2:
      return std::pow(2.0, x);
    default:
      return std::asin(x);
  }
}

bool SameBits(double a, double b) { return BitsOf(a) == BitsOf(b); }

// ---- measure --------------------------------------------------------------------------------

int Measure(long count) {
  mpfr_reference::Reference reference;
  struct Range {
    Function function;
    double low, high;
  };
  const Range ranges[] = {{Function::kAsin, -1.0, 1.0},
                          {Function::kSin, -4.0, 4.0},
                          {Function::kCos, -4.0, 4.0},
                          {Function::kExp2, -10.0, 10.0}};
  std::printf("%ld random inputs per function on the issue's ranges:\n", count);
  std::printf("| function | range | glibc misrounded | portable_math misrounded | fallback |\n");
  int status = 0;
  for (const Range& range : ranges) {
    Random random(0x5EED0000u + static_cast<unsigned>(range.function));
    long library_wrong = 0, portable_wrong = 0, fallback = 0;
    for (long i = 0; i < count; ++i) {
      const double x = range.low + (range.high - range.low) * random.Unit();
      const double expected = reference.Rounded(range.function, x);
      library_wrong += !SameBits(Library(range.function, x), expected);
      portable_wrong += !SameBits(Portable(range.function, x), expected);
      fallback += TakesFallback(range.function, x);
    }
    std::printf("| %s | [%g, %g] | %ld | %ld | %ld (%.4f%%) |\n",
                mpfr_reference::Name(range.function), range.low, range.high, library_wrong,
                portable_wrong, fallback,
                100.0 * static_cast<double>(fallback) / static_cast<double>(count));
    if (portable_wrong != 0) status = 1;
  }
  std::printf("\nFallback over the whole domain (portable_math_inputs.h families), %ld inputs:\n",
              count);
  for (const Function function : kFunctions) {
    Random random(0xFA11BAC0u + static_cast<unsigned>(function));
    long fallback = 0;
    for (long i = 0; i < count; ++i) {
      fallback += TakesFallback(function, portable_math_inputs::Draw(function, random));
    }
    std::printf("%-5s %ld (%.4f%%)\n", mpfr_reference::Name(function), fallback,
                100.0 * static_cast<double>(fallback) / static_cast<double>(count));
  }
  return status;
}

// ---- cases ----------------------------------------------------------------------------------

int WriteCases(const char* path) {
  mpfr_reference::Reference reference;
  FILE* file = std::fopen(path, "w");
  if (!file) {
    std::perror(path);
    return 2;
  }
  std::fprintf(file,
               "// GENERATED by tools/portable_math_mpfr cases; do not edit. For each function: "
               "1500 inputs of\n// the families of tests/math/portable_math_inputs.h, 600 that "
               "take the fallback, and the\n// correctly rounded result of each (MPFR). Read by "
               "portable_math_test on every target;\n// portable_math_mpfr_test checks every "
               "line against MPFR.\n// {function (0 sin, 1 cos, 2 exp2, 3 asin), input bits, "
               "result bits}\n// clang-format off\n");
  for (const Function function : kFunctions) {
    Random random(0xCA5E0000u + static_cast<unsigned>(function));
    int plain = 0, fallback = 0;
    while (plain < 1500 || fallback < 600) {
      const double x = portable_math_inputs::Draw(function, random);
      const bool falls_back = TakesFallback(function, x);
      if (falls_back ? fallback >= 600 : plain >= 1500) continue;
      (falls_back ? fallback : plain) += 1;
      std::fprintf(file, "{%d, 0x%016" PRIX64 "u, 0x%016" PRIX64 "u},\n",
                   static_cast<int>(function), BitsOf(x), BitsOf(reference.Rounded(function, x)));
    }
  }
  std::fprintf(file, "// clang-format on\n");
  std::fclose(file);
  std::printf("wrote %s\n", path);
  return 0;
}

// ---- hard cases -----------------------------------------------------------------------------

struct HardCase {
  Function function;
  double input;
  double distance;  // ulps from the nearest midpoint
};

// Near a threshold where a Taylor term is a half-integer number of ulps: for sin and asin
// (x -+ x^3/6, x in [2^e, 2^(e+1)), e = -26..-24), cos (1 - x^2/2, e = -27..-25) and exp2
// (1 + x ln 2 and 1 - |x| ln 2, e = -54..-50): the term moves by a tiny fraction of an ulp per
// step of x, so the double next to where it crosses a half-integer is extremely close to a
// midpoint. Each crossing is solved for and the doubles around it are measured.
void ConstructedHardCases(mpfr_reference::Reference& reference, std::vector<HardCase>* cases) {
  const auto scan = [&](Function function, double center) {
    HardCase best = {function, center, 1.0};
    for (int offset = -48; offset <= 48; ++offset) {
      const double x = FromBits(BitsOf(center) + static_cast<std::uint64_t>(offset));
      const double distance = reference.MidpointDistance(function, x);
      if (distance < best.distance) best = {function, x, distance};
    }
    cases->push_back(best);
  };
  for (int e = -26; e <= -24; ++e) {
    // The term x^3/6 in ulps of x: from 2^(2e+52)/6 to 8 times that.
    const double low = std::ldexp(1.0, 2 * e + 52) / 6.0;
    for (double target = std::floor(low - 0.5) + 0.5; target < 8.0 * low; target += 1.0) {
      if (target < low) continue;
      const double x = std::cbrt(6.0 * target * std::ldexp(1.0, e - 52));
      scan(Function::kSin, x);
      scan(Function::kAsin, x);
    }
  }
  for (int e = -27; e <= -25; ++e) {
    // x^2/2 in ulps below 1 (2^-53).
    const double low = std::ldexp(1.0, 2 * e + 52);
    for (double target = std::floor(low - 0.5) + 0.5; target < 4.0 * low; target += 1.0) {
      if (target < low) continue;
      scan(Function::kCos, std::sqrt(2.0 * target * 0x1p-53));
    }
  }
  const double ln2 = 0.6931471805599453;
  for (int e = -54; e <= -50; ++e) {
    const double low = std::ldexp(ln2, e);
    for (int side = 0; side < 2; ++side) {
      const double ulp = side == 0 ? 0x1p-52 : 0x1p-53;  // above and below 1
      for (double target = std::floor(low / ulp - 0.5) + 0.5; target < 2.0 * low / ulp;
           target += 1.0) {
        if (target < low / ulp) continue;
        const double x = target * ulp / ln2;
        scan(Function::kExp2, side == 0 ? x : -x);
      }
    }
  }
}

int WriteHardCases(const char* path, long count) {
  mpfr_reference::Reference reference;
  std::vector<HardCase> cases;
  ConstructedHardCases(reference, &cases);
  const std::size_t constructed = cases.size();
  // The random scan: only inputs that take the fallback can be that close to a midpoint (the
  // fast path's bound is far wider than any of these distances), so only they are measured.
  for (const Function function : kFunctions) {
    Random random(0x4A4D0000u + static_cast<unsigned>(function));
    std::vector<HardCase> found;
    for (long i = 0; i < count; ++i) {
      const double x = portable_math_inputs::Draw(function, random);
      if (!TakesFallback(function, x)) continue;
      found.push_back({function, x, reference.MidpointDistance(function, x)});
      if (found.size() > 4000) {
        std::sort(found.begin(), found.end(),
                  [](const HardCase& a, const HardCase& b) { return a.distance < b.distance; });
        found.resize(12);
      }
    }
    std::sort(found.begin(), found.end(),
              [](const HardCase& a, const HardCase& b) { return a.distance < b.distance; });
    if (found.size() > 12) found.resize(12);
    cases.insert(cases.end(), found.begin(), found.end());
  }
  FILE* file = std::fopen(path, "w");
  if (!file) {
    std::perror(path);
    return 2;
  }
  std::fprintf(file,
               "// GENERATED by tools/portable_math_mpfr hard; do not edit. Inputs whose exact "
               "result lies\n// closest to a midpoint between two doubles: %zu built near the "
               "thresholds where a Taylor\n// term is a half-integer number of ulps, then the "
               "12 closest per function among %ld random\n// inputs of each (those that take "
               "the fallback). Checked on every target by portable_math_test\n// and against "
               "MPFR by portable_math_mpfr_test.\n// {function (0 sin, 1 cos, 2 exp2, 3 asin), "
               "input bits, result bits, log2 of the distance\n// from the exact value to the "
               "midpoint, in ulps}\n// clang-format off\n",
               constructed, count);
  int status = 0;
  for (const HardCase& hard : cases) {
    const double expected = reference.Rounded(hard.function, hard.input);
    if (!SameBits(Portable(hard.function, hard.input), expected)) {
      std::printf("MISROUNDED %s(%a)\n", mpfr_reference::Name(hard.function), hard.input);
      status = 1;
    }
    std::fprintf(file, "{%d, 0x%016" PRIX64 "u, 0x%016" PRIX64 "u, %.1f},  // %s(%a)\n",
                 static_cast<int>(hard.function), BitsOf(hard.input), BitsOf(expected),
                 std::log2(hard.distance), mpfr_reference::Name(hard.function), hard.input);
    std::printf("%-5s %-26a 2^%.1f ulp from a midpoint\n", mpfr_reference::Name(hard.function),
                hard.input, std::log2(hard.distance));
  }
  std::fprintf(file, "// clang-format on\n");
  std::fclose(file);
  std::printf("wrote %s\n", path);
  return status;
}

// ---- long run -------------------------------------------------------------------------------

struct LongTotals {
  std::atomic<std::uint64_t> drawn[4] = {};
  std::atomic<std::uint64_t> fallback_checked[4] = {};
  std::atomic<std::uint64_t> accurate_checked[4] = {};
  std::atomic<std::uint64_t> wrong[4] = {};
};

void LongWorker(unsigned seed, double seconds, LongTotals* totals) {
  mpfr_reference::Reference reference;
  Random random(0x10C0000u + seed);
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (std::uint64_t batch = 0;; ++batch) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (static_cast<double>(now.tv_sec - start.tv_sec) +
            1e-9 * static_cast<double>(now.tv_nsec - start.tv_nsec) >
        seconds) {
      return;
    }
    for (const Function function : kFunctions) {
      const int f = static_cast<int>(function);
      std::uint64_t fallback = 0, accurate = 0, wrong = 0;
      for (int i = 0; i < 4096; ++i) {
        const double x = portable_math_inputs::Draw(function, random);
        const bool falls_back = TakesFallback(function, x);
        const bool sample = (i % 64) == 0;
        if (!falls_back && !sample) continue;
        const double expected = reference.Rounded(function, x);
        if (falls_back) {
          ++fallback;
          if (!SameBits(Portable(function, x), expected)) {
            ++wrong;
            std::printf("WRONG %s(%a)\n", mpfr_reference::Name(function), x);
          }
        }
        if (sample) {
          ++accurate;
          if (!SameBits(Accurate(function, x), expected)) {
            ++wrong;
            std::printf("WRONG accurate %s(%a)\n", mpfr_reference::Name(function), x);
          }
        }
      }
      totals->drawn[f] += 4096;
      totals->fallback_checked[f] += fallback;
      totals->accurate_checked[f] += accurate;
      totals->wrong[f] += wrong;
    }
  }
}

int LongRun(double seconds, unsigned threads) {
  LongTotals totals;
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) workers.emplace_back(LongWorker, t, seconds, &totals);
  for (std::thread& worker : workers) worker.join();
  int status = 0;
  std::printf("%.0f s on %u threads:\n", seconds, threads);
  for (const Function function : kFunctions) {
    const int f = static_cast<int>(function);
    std::printf("%-5s drawn %" PRIu64 ", fallback inputs checked %" PRIu64
                ", accurate path checked on %" PRIu64 " more, wrong %" PRIu64 "\n",
                mpfr_reference::Name(function), totals.drawn[f].load(),
                totals.fallback_checked[f].load(), totals.accurate_checked[f].load(),
                totals.wrong[f].load());
    if (totals.wrong[f] != 0) status = 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "measure") return Measure(argc > 2 ? std::atol(argv[2]) : 2000000);
  if (command == "cases" && argc > 2) return WriteCases(argv[2]);
  if (command == "hard" && argc > 2) {
    return WriteHardCases(argv[2], argc > 3 ? std::atol(argv[3]) : 100000000);
  }
  if (command == "long" && argc > 2) {
    return LongRun(std::atof(argv[2]), argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 2);
  }
  std::fprintf(stderr,
               "usage: portable_math_mpfr measure [count] | cases FILE | hard FILE [count] | "
               "long SECONDS [threads]\n");
  return 2;
}
