// portable_math against MPFR's correctly rounded results (native x86-64 only: MPFR is a test-only
// dependency, Debian's libmpfr-dev).
//
//  - RandomInputs: SE_MPFR_INPUTS random inputs per function (10^7; 2 10^5 under the asan preset)
//    over the whole domain (tests/math/portable_math_inputs.h: tiny, subnormal, huge, near
//    multiples of pi/64 and pi/2, near +-1, near integers and the overflow and underflow edges),
//    drawn from a new seed each run (printed; SE_MPFR_SEED=<seed> repeats a run): every result
//    must be MPFR's, bit for bit, and every 128th input also goes through the accurate path
//    alone. The share of inputs that take the fallback is printed.
//  - The fixed lists the 32-bit targets are held to (portable_math_cases.inc, the hard cases of
//    portable_math_hard_cases.inc): every expected result is MPFR's, and every hard case is as
//    close to a midpoint as its line says.
#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "se_sdk/portable_math.h"
#include "tests/math/mpfr_reference.h"
#include "tests/math/portable_math_inputs.h"

#ifndef SE_MPFR_INPUTS
#define SE_MPFR_INPUTS 10000000
#endif

namespace {

using portable_math_inputs::BitsOf;
using portable_math_inputs::FromBits;
using portable_math_inputs::Function;

struct CaseLine {
  int function;
  std::uint64_t input;
  std::uint64_t result;
};

struct HardCaseLine {
  int function;
  std::uint64_t input;
  std::uint64_t result;
  double log2_distance;
};

const CaseLine kCases[] = {
#include "tests/math/portable_math_cases.inc"
};

const HardCaseLine kHardCases[] = {
#include "tests/math/portable_math_hard_cases.inc"
};

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

bool FastPathSure(Function function, double x) {
  switch (function) {
    case Function::kSin:
      return std::fabs(x) < 0x1p-26 || portable_math::detail::SinFast(x).sure;
    case Function::kCos:
      return std::fabs(x) < 0x1p-27 || portable_math::detail::CosFast(x).sure;
    case Function::kExp2:
      return !(x < 1024.0 && x > -1075.0) || std::fabs(x) < 0x1p-54 ||
             portable_math::detail::Exp2Fast(x).sure;
    default:
      return !(std::fabs(x) <= 1.0) || std::fabs(x) < 0x1p-26 || std::fabs(x) == 1.0 ||
             portable_math::detail::AsinFastChecked(x).sure;
  }
}

std::uint64_t RunSeed() {
  if (const char* text = std::getenv("SE_MPFR_SEED")) return std::strtoull(text, nullptr, 0);
  return static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) |
         1u;
}

long InputCount() {
  if (const char* text = std::getenv("SE_MPFR_INPUTS")) return std::atol(text);
  return SE_MPFR_INPUTS;
}

class RandomInputs : public testing::TestWithParam<Function> {};

TEST_P(RandomInputs, EqualMpfrBitForBit) {
  const Function function = GetParam();
  const std::uint64_t seed = RunSeed() + static_cast<std::uint64_t>(function);
  const long count = InputCount();
  mpfr_reference::Reference reference;
  portable_math_inputs::Random random(seed);
  long wrong = 0, accurate_wrong = 0, fallback = 0, accurate_checked = 0;
  for (long i = 0; i < count; ++i) {
    const double x = portable_math_inputs::Draw(function, random);
    const double expected = reference.Rounded(function, x);
    const double result = Portable(function, x);
    const bool same =
        BitsOf(result) == BitsOf(expected) || (result != result && expected != expected);
    if (!same && ++wrong <= 10) {
      ADD_FAILURE() << mpfr_reference::Name(function) << "(" << std::hexfloat << x
                    << ") = " << result << ", MPFR " << expected;
    }
    fallback += !FastPathSure(function, x);
    if (i % 128 == 0) {
      ++accurate_checked;
      const double accurate = Accurate(function, x);
      if (BitsOf(accurate) != BitsOf(expected) && !(accurate != accurate && expected != expected) &&
          ++accurate_wrong <= 10) {
        ADD_FAILURE() << "accurate path " << mpfr_reference::Name(function) << "(" << std::hexfloat
                      << x << ") = " << accurate << ", MPFR " << expected;
      }
    }
  }
  std::printf("%s: %ld inputs from seed 0x%016" PRIX64
              ", %ld misrounded; %ld (%.4f%%) took the "
              "fallback; accurate path alone on %ld, %ld misrounded\n",
              mpfr_reference::Name(function), count, seed, wrong, fallback,
              100.0 * static_cast<double>(fallback) / static_cast<double>(count), accurate_checked,
              accurate_wrong);
  EXPECT_EQ(wrong, 0) << "SE_MPFR_SEED=0x" << std::hex << (seed - static_cast<int>(function));
  EXPECT_EQ(accurate_wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Functions, RandomInputs,
                         testing::Values(Function::kSin, Function::kCos, Function::kExp2,
                                         Function::kAsin),
                         [](const testing::TestParamInfo<Function>& info) {
                           return std::string(mpfr_reference::Name(info.param));
                         });

TEST(FixedLists, CasesAreMpfrs) {
  mpfr_reference::Reference reference;
  int wrong = 0;
  for (const CaseLine& line : kCases) {
    const Function function = static_cast<Function>(line.function);
    const double expected = reference.Rounded(function, FromBits(line.input));
    if (BitsOf(expected) != line.result && ++wrong <= 10) {
      ADD_FAILURE() << mpfr_reference::Name(function) << "(" << std::hexfloat
                    << FromBits(line.input) << "): the list says " << FromBits(line.result)
                    << ", MPFR " << expected;
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST(FixedLists, HardCasesAreMpfrsAndThatHard) {
  mpfr_reference::Reference reference;
  for (const HardCaseLine& line : kHardCases) {
    const Function function = static_cast<Function>(line.function);
    const double x = FromBits(line.input);
    EXPECT_EQ(BitsOf(reference.Rounded(function, x)), line.result)
        << mpfr_reference::Name(function) << "(" << std::hexfloat << x << ")";
    EXPECT_NEAR(std::log2(reference.MidpointDistance(function, x)), line.log2_distance, 0.06)
        << mpfr_reference::Name(function) << "(" << std::hexfloat << x << ")";
  }
}

}  // namespace
