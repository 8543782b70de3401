// Tests of se_sdk/portable_math.h: the functions the modules use instead of the C library's.
//
// Four concerns, one suite each:
//  - Accuracy: against long double sinl, cosl, exp2l and asinl (80-bit on x86-64 glibc, good to
//    about 2^-63) over families of inputs: within half an ulp (and the reference's error). Only
//    where long double is that format and glibc computes it; skipped elsewhere. The proof of
//    correct rounding against MPFR is portable_math_mpfr_test (native only).
//  - The fixed lists, on every target: inputs of every family, inputs that take the fallback
//    and the hard cases (results closest to a midpoint), with their correctly rounded results
//    written by tools/portable_math_mpfr from MPFR (portable_math_cases.inc,
//    portable_math_hard_cases.inc). The functions, their accurate paths alone and the accurate
//    paths' second level must all give those bits.
//  - Agreement across targets: an FNV-1a digest of the result bits over fixed pseudo-random
//    inputs, compared with constants. The inputs come from an integer xorshift generator and
//    exact or correctly rounded double operations, so every target feeds the same bits; the same
//    constants passing on x86-64, i386 and win32 proves that the functions agree to the bit.
//  - Special values: zeros, infinities, NaN, subnormals, huge and tiny arguments, exact results.
#include "se_sdk/portable_math.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "tests/float_bits.h"

namespace {

double FromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string Hex(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%a", value);
  return text;
}

// Marsaglia's xorshift64: integers only, so every target draws the same sequence.
class XorShift64 {
 public:
  explicit XorShift64(std::uint64_t seed) : m_state(seed) {}

  std::uint64_t Next() {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 7;
    m_state ^= m_state << 17;
    return m_state;
  }

  // Uniform in [0, bound) (bound small; the bias is irrelevant here).
  std::uint32_t Below(std::uint32_t bound) {
    return static_cast<std::uint32_t>((Next() >> 32) % bound);
  }

  // A random mantissa with an exponent drawn from [lowest, highest] (unbiased), and a random
  // sign unless `positive`.
  double WithExponent(int lowest, int highest, bool positive = false) {
    const std::uint64_t random = Next() & (positive ? 0x000FFFFFFFFFFFFFu : 0x800FFFFFFFFFFFFFu);
    const int span = highest - lowest + 1;
    const int exponent = lowest + static_cast<int>(Below(static_cast<std::uint32_t>(span)));
    return FromBits(random | static_cast<std::uint64_t>(exponent + 1023) << 52);
  }

 private:
  std::uint64_t m_state;
};

// ---- Inputs ---------------------------------------------------------------------------------

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kFloatPi = 3.14159274101257324;  // float(pi), a little above pi
constexpr double kHalfPi = 0x1.921fb54442d18p+0;

// Float phases in [-pi, pi), as Pelio hands them to sin and cos: uniform in value and uniform
// in bit pattern (which reaches the tiny ones).
std::vector<double> FloatPhases(std::uint64_t seed, int count) {
  XorShift64 random(seed);
  std::vector<double> inputs;
  for (int i = 0; i < count; ++i) {
    if (i % 2 == 0) {
      const double step =
          static_cast<double>(static_cast<std::int32_t>(random.Below(1u << 24)) - (1 << 23));
      inputs.push_back(static_cast<float>(step * (kFloatPi / 0x1p23)));
    } else {
      std::uint32_t bits = static_cast<std::uint32_t>(random.Next() >> 32) % 0x40490FDBu;
      bits |= static_cast<std::uint32_t>(random.Next() >> 63) << 31;
      float phase;
      std::memcpy(&phase, &bits, sizeof phase);
      inputs.push_back(phase);
    }
  }
  return inputs;
}

// Phase increments and other small arguments, 1e-9 to 0.1 and a little beyond.
std::vector<double> SmallArguments(std::uint64_t seed, int count) {
  XorShift64 random(seed);
  std::vector<double> inputs;
  for (int i = 0; i < count; ++i) inputs.push_back(random.WithExponent(-31, -3));
  return inputs;
}

// The doubles closest to a multiple of pi/2 in binades up to 2^1023 (found by continued
// fractions), where sin or cos is tiny and the reduction must keep every bit. Among them
// 0x1.6c6cbc45dc8dep+5, 2^-60.5 from 29 pi/2, and 6381956970095103 2^797, the closest of all
// doubles (2^-60.9).
constexpr double kHardReductions[] = {
    0x1.921fb54442d18p+0,    0x1.921fb54442d18p+1,   0x1.2d97c7f3321d2p+2,
    0x1.2d97c7f3321d2p+3,    0x1.2d97c7f3321d2p+4,   0x1.6c6cbc45dc8dep+5,
    0x1.6c6cbc45dc8dep+6,    0x1.6c6cbc45dc8dep+7,   0x1.6c6cbc45dc8dep+8,
    0x1.6c6cbc45dc8dep+9,    0x1.6c6cbc45dc8dep+10,  0x1.6c6cbc45dc8dep+11,
    0x1.6c6cbc45dc8dep+12,   0x1.6c6cbc45dc8dep+13,  0x1.6c6cbc45dc8dep+14,
    0x1.67e57cdd4dc54p+15,   0x1.67e57cdd4dc54p+16,  0x1.0dec1da5fa53fp+17,
    0x1.39c6fd67805a7p+18,   0x1.39c6fd67805a7p+19,  0x1.9eb7148f354d6p+20,
    0x1.9eb7148f354d6p+21,   0x1.9eb7148f354d6p+22,  0x1.b951f1572eba5p+23,
    0x1.b951f1572eba5p+24,   0x1.b951f1572eba5p+25,  0x1.b951f1572eba5p+26,
    0x1.b951f1572eba5p+27,   0x1.b951f1572eba5p+28,  0x1.b951f1572eba5p+29,
    0x1.55202aefde314p+30,   0x1.065c829d68730p+40,  0x1.44630cc2cad9dp+50,
    0x1.4d8d546c1ba70p+60,   0x1.e50fec1788957p+100, 0x1.6deb37da81129p+200,
    0x1.a2314821a472fp+500,  0x1.6e8d778c94d66p+797, 0x1.87b27c09ae521p+1000,
    0x1.61a3db8c8d129p+1023, 0x1.6ac5b262ca1ffp+849,
};

// Doubles a few ulps from k pi/2, k up to 2^21, and the hard cases above.
std::vector<double> NearHalfPiMultiples(std::uint64_t seed, int count) {
  XorShift64 random(seed);
  std::vector<double> inputs(std::begin(kHardReductions), std::end(kHardReductions));
  for (int i = 0; i < count; ++i) {
    const double multiple = static_cast<double>(random.Below((1u << 21) - 1) + 1) * kHalfPi;
    const std::int64_t offset = static_cast<std::int64_t>(random.Below(64)) - 32;
    inputs.push_back(FromBits(Bits(multiple) + static_cast<std::uint64_t>(offset)));
  }
  return inputs;
}

// Beyond the phases: up to the Cody-Waite limit 2^21 and past it, to the largest double.
std::vector<double> LargeArguments(std::uint64_t seed, int count) {
  XorShift64 random(seed);
  std::vector<double> inputs;
  for (int i = 0; i < count; ++i) {
    inputs.push_back(i % 2 == 0 ? random.WithExponent(0, 22) : random.WithExponent(21, 1023));
  }
  return inputs;
}

// Exponents for exp2: every integer -1074..1023, random reals over the whole range (in steps of
// 2^-20, exact), small ones (results near 1) and the subnormal results.
std::vector<double> Exp2Arguments(std::uint64_t seed, int count) {
  XorShift64 random(seed);
  std::vector<double> inputs;
  for (int integer = -1074; integer <= 1023; ++integer) inputs.push_back(integer);
  for (int i = 0; i < count; ++i) {
    switch (i % 4) {
      case 0:
        inputs.push_back(static_cast<double>(static_cast<std::int64_t>(random.Below(2098u << 20)) -
                                             (std::int64_t{1074} << 20)) *
                         0x1p-20);
        break;
      case 1:
        inputs.push_back(random.WithExponent(-60, 0));
        break;
      case 2:
        inputs.push_back(-1022.0 - static_cast<double>(random.Below(53u << 26)) * 0x1p-26);
        break;
      default:
        inputs.push_back(random.WithExponent(0, 9));
        break;
    }
  }
  return inputs;
}

// Arguments of asin: uniform in [-1, 1], near +-1 (1 - tiny), near 0, around the switch at 1/2.
std::vector<double> AsinArguments(std::uint64_t seed, int count) {
  XorShift64 random(seed);
  std::vector<double> inputs = {-1.0, -0.5, 0.0, 0.5, 1.0};
  for (int i = 0; i < count; ++i) {
    const double sign = (random.Next() >> 63) != 0 ? -1.0 : 1.0;
    switch (i % 4) {
      case 0:
        inputs.push_back(sign * static_cast<double>(random.Next() >> 11) * 0x1p-53);
        break;
      case 1:
        inputs.push_back(sign * (1.0 - random.WithExponent(-53, -2, true)));
        break;
      case 2:
        inputs.push_back(random.WithExponent(-1022, -2));
        break;
      default:
        inputs.push_back(sign *
                         (0.5 + static_cast<double>(random.Below(1u << 30)) * 0x1p-36 - 0x1p-7));
        break;
    }
  }
  for (double& value : inputs) value = value < -1.0 ? -1.0 : value > 1.0 ? 1.0 : value;
  return inputs;
}

// ---- Accuracy against long double -----------------------------------------------------------

#if defined(__x86_64__) && defined(__GLIBC__) && LDBL_MANT_DIG == 64
constexpr bool kHaveReference = true;
#else
constexpr bool kHaveReference = false;
#endif

// |computed - reference| in units in the last place of a double at the reference.
double UlpError(double computed, long double reference) {
  if (reference == 0.0L) return computed == 0.0 ? 0.0 : kInfinity;
  int exponent;
  std::frexp(static_cast<double>(reference), &exponent);
  const int ulp_exponent = exponent - 53 < -1074 ? -1074 : exponent - 53;
  const long double difference = static_cast<long double>(computed) - reference;
  return static_cast<double>((difference < 0 ? -difference : difference) /
                             static_cast<long double>(std::ldexp(1.0, ulp_exponent)));
}

struct AccuracyCase {
  const char* name;
  double (*function)(double);
  long double (*reference)(long double);
  std::vector<double> (*inputs)(std::uint64_t, int);
  double max_ulps;  // half an ulp (correctly rounded) and the reference's own error
};

long double SinReference(long double x) { return sinl(x); }
long double CosReference(long double x) { return cosl(x); }
long double Exp2Reference(long double x) { return exp2l(x); }
long double AsinReference(long double x) { return asinl(x); }

class PortableMathAccuracy : public testing::TestWithParam<AccuracyCase> {};

TEST_P(PortableMathAccuracy, WithinTheStatedUlps) {
  if (!kHaveReference) GTEST_SKIP() << "needs 80-bit long double and glibc (x86-64 Linux)";
  const AccuracyCase& test_case = GetParam();
  const std::vector<double> inputs = test_case.inputs(0x9E3779B97F4A7C15u, 100000);
  double worst = 0.0;
  double worst_input = 0.0;
  int not_nearest = 0;
  for (const double input : inputs) {
    const double result = test_case.function(input);
    const long double reference = test_case.reference(input);
    const double error = UlpError(result, reference);
    if (error > worst) {
      worst = error;
      worst_input = input;
    }
    not_nearest += result != static_cast<double>(reference);
  }
  std::printf(
      "%s: %zu inputs, max error %.4f ulp at %s, %d not the double nearest to the "
      "long double reference\n",
      test_case.name, inputs.size(), worst, Hex(worst_input).c_str(), not_nearest);
  EXPECT_LE(worst, test_case.max_ulps) << "at " << Hex(worst_input);
  // Correctly rounded in the vast majority of cases (the reference itself is rounded twice).
  EXPECT_LE(not_nearest, static_cast<int>(inputs.size() / 200));
}

const AccuracyCase kAccuracyCases[] = {
    {"sin_float_phases", portable_math::sin, SinReference, FloatPhases, 0.5005},
    {"cos_float_phases", portable_math::cos, CosReference, FloatPhases, 0.5005},
    {"sin_small", portable_math::sin, SinReference, SmallArguments, 0.5005},
    {"cos_small", portable_math::cos, CosReference, SmallArguments, 0.5005},
    {"sin_near_half_pi_multiples", portable_math::sin, SinReference, NearHalfPiMultiples, 0.5005},
    {"cos_near_half_pi_multiples", portable_math::cos, CosReference, NearHalfPiMultiples, 0.5005},
    {"sin_large", portable_math::sin, SinReference, LargeArguments, 0.5005},
    {"cos_large", portable_math::cos, CosReference, LargeArguments, 0.5005},
    {"exp2", portable_math::exp2, Exp2Reference, Exp2Arguments, 0.5005},
    {"asin", portable_math::asin, AsinReference, AsinArguments, 0.5005},
};

INSTANTIATE_TEST_SUITE_P(Families, PortableMathAccuracy, testing::ValuesIn(kAccuracyCases),
                         [](const testing::TestParamInfo<AccuracyCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- Agreement across targets ---------------------------------------------------------------

// FNV-1a over the 8 bytes of each result, least significant first.
std::uint64_t Digest(double (*function)(double), const std::vector<double>& inputs) {
  std::uint64_t hash = 0xCBF29CE484222325u;
  for (const double input : inputs) {
    const std::uint64_t bits = Bits(function(input));
    for (int byte = 0; byte < 8; ++byte) {
      hash ^= (bits >> (8 * byte)) & 0xFFu;
      hash *= 0x100000001B3u;
    }
  }
  return hash;
}

constexpr double kSpecialInputs[] = {
    0.0,
    -0.0,
    kInfinity,
    -kInfinity,
    kNan,
    -kNan,
    DBL_MAX,
    -DBL_MAX,
    DBL_MIN,
    -DBL_MIN,
    0x1p-1074,
    -0x1p-1074,
    0x1p-1030,
    1.0,
    -1.0,
    0.5,
    1024.0,
    -1075.0,
    -1074.5,
    1023.75,
    0x1p21,
    -0x1p21,
    0x1.fffffffffffffp+20,
    0x1p63,
    1e22,
    0x1.0000000000001p+0,
    0x1.fffffffffffffp-1,
};

std::vector<double> WithSpecials(std::vector<double> inputs) {
  inputs.insert(inputs.end(), std::begin(kSpecialInputs), std::end(kSpecialInputs));
  return inputs;
}

std::vector<double> SineDigestInputs() {
  std::vector<double> inputs = FloatPhases(1, 20000);
  for (const auto& family :
       {SmallArguments(2, 5000), NearHalfPiMultiples(3, 5000), LargeArguments(4, 10000)}) {
    inputs.insert(inputs.end(), family.begin(), family.end());
  }
  return WithSpecials(inputs);
}

// Golden digests, from x86-64 Linux; every target must reproduce them. They are the digests of
// the correctly rounded results (sin, cos and asin changed from those of the earlier, not
// always correctly rounded functions; exp2 had been correctly rounded on all of these inputs).
constexpr std::uint64_t kSinDigest = 0xDF9ECA0BC12FB57Eu;
constexpr std::uint64_t kCosDigest = 0x091B7F6A69BC5AEEu;
constexpr std::uint64_t kExp2Digest = 0x6D17245E1A253726u;
constexpr std::uint64_t kAsinDigest = 0xE1EF1F3F04EDF60Au;

TEST(PortableMathDigest, SinMatchesGolden) {
  EXPECT_EQ(Digest(portable_math::sin, SineDigestInputs()), kSinDigest)
      << "0x" << std::hex << Digest(portable_math::sin, SineDigestInputs());
}

TEST(PortableMathDigest, CosMatchesGolden) {
  EXPECT_EQ(Digest(portable_math::cos, SineDigestInputs()), kCosDigest)
      << "0x" << std::hex << Digest(portable_math::cos, SineDigestInputs());
}

TEST(PortableMathDigest, Exp2MatchesGolden) {
  const std::vector<double> inputs = WithSpecials(Exp2Arguments(5, 40000));
  EXPECT_EQ(Digest(portable_math::exp2, inputs), kExp2Digest)
      << "0x" << std::hex << Digest(portable_math::exp2, inputs);
}

TEST(PortableMathDigest, AsinMatchesGolden) {
  const std::vector<double> inputs = WithSpecials(AsinArguments(6, 40000));
  EXPECT_EQ(Digest(portable_math::asin, inputs), kAsinDigest)
      << "0x" << std::hex << Digest(portable_math::asin, inputs);
}

// ---- The fixed lists ------------------------------------------------------------------------

struct CaseLine {
  int function;  // 0 sin, 1 cos, 2 exp2, 3 asin
  std::uint64_t input;
  std::uint64_t result;
};

struct HardCaseLine {
  int function;
  std::uint64_t input;
  std::uint64_t result;
  double log2_distance;  // of the exact value from the midpoint, in ulps
};

const CaseLine kCases[] = {
#include "tests/math/portable_math_cases.inc"
};

const HardCaseLine kHardCases[] = {
#include "tests/math/portable_math_hard_cases.inc"
};

const char* const kFunctionNames[] = {"sin", "cos", "exp2", "asin"};

double Function(int function, double x) {
  switch (function) {
    case 0:
      return portable_math::sin(x);
    case 1:
      return portable_math::cos(x);
    case 2:
      return portable_math::exp2(x);
    default:
      return portable_math::asin(x);
  }
}

double AccuratePath(int function, double x) {
  switch (function) {
    case 0:
      return portable_math::detail::SinAccurate(x);
    case 1:
      return portable_math::detail::CosAccurate(x);
    case 2:
      return portable_math::detail::Exp2Accurate(x);
    default:
      return portable_math::detail::AsinAccurate(x);
  }
}

// The accurate paths' second level alone, where it applies (false elsewhere): it must decide,
// and give the same bits.
bool LevelTwo(int function, double x, double* result) {
  namespace detail = portable_math::detail;
  constexpr int kWide = portable_math::tables::kFixedLimbsWide;
  const double magnitude = std::fabs(x);
  bool decided = false;
  switch (function) {
    case 0:
    case 1:
      if (!(magnitude >= 0x1p-26 && magnitude <= DBL_MAX)) return false;
      decided = detail::SinCosAccurate<kWide>(magnitude, function == 1, result);
      if (function == 0 && x < 0) *result = -*result;
      return decided;
    case 2:
      if (!(magnitude >= 0x1p-54 && x > -1075.0 && x < 1024.0)) return false;
      return detail::Exp2Accurate<kWide>(x, result);
    default:
      if (!(magnitude >= 0x1p-26 && magnitude < 1.0)) return false;
      decided = detail::AsinAccurate<kWide>(magnitude, result);
      if (x < 0) *result = -*result;
      return decided;
  }
}

template <class Line>
void CheckLines(const Line* lines, std::size_t count, std::size_t level_two_every) {
  int wrong = 0;
  for (std::size_t i = 0; i < count && wrong < 10; ++i) {
    const Line& line = lines[i];
    const double x = FromBits(line.input);
    const char* name = kFunctionNames[line.function];
    if (Bits(Function(line.function, x)) != line.result) {
      ++wrong;
      ADD_FAILURE() << name << "(" << Hex(x) << ") = " << Hex(Function(line.function, x))
                    << ", correctly rounded " << Hex(FromBits(line.result));
    }
    if (Bits(AccuratePath(line.function, x)) != line.result) {
      ++wrong;
      ADD_FAILURE() << "accurate path " << name << "(" << Hex(x)
                    << ") = " << Hex(AccuratePath(line.function, x));
    }
    double level_two;
    if (i % level_two_every == 0 && LevelTwo(line.function, x, &level_two) &&
        Bits(level_two) != line.result) {
      ++wrong;
      ADD_FAILURE() << "level 2 " << name << "(" << Hex(x) << ") = " << Hex(level_two);
    }
  }
}

TEST(PortableMathFixedLists, CasesGiveTheCorrectlyRoundedBits) {
  CheckLines(kCases, sizeof kCases / sizeof kCases[0], 97);
}

TEST(PortableMathFixedLists, HardCasesGiveTheCorrectlyRoundedBits) {
  CheckLines(kHardCases, sizeof kHardCases / sizeof kHardCases[0], 1);
  // They are hard: the closest within 2^-50 ulp of a midpoint, beyond any fast path's reach.
  double closest = 0.0;
  for (const HardCaseLine& line : kHardCases) closest = std::min(closest, line.log2_distance);
  EXPECT_LT(closest, -50.0);
}

// ---- Special values -------------------------------------------------------------------------

#define EXPECT_SAME_BITS(actual, expected) \
  EXPECT_EQ(Bits(actual), Bits(expected)) << Hex(actual) << " != " << Hex(expected)

TEST(PortableMathSpecialValues, SineAndCosineOfZeroAndTiny) {
  EXPECT_SAME_BITS(portable_math::sin(0.0), 0.0);
  EXPECT_SAME_BITS(portable_math::sin(-0.0), -0.0);
  EXPECT_SAME_BITS(portable_math::cos(0.0), 1.0);
  EXPECT_SAME_BITS(portable_math::cos(-0.0), 1.0);
  // sin x = x below 2^-26 (x^3/6 is under half an ulp); cos x = 1 below 2^-27.
  for (const double tiny : {0x1p-1074, 0x1p-1060, DBL_MIN, 1e-300, 0x1p-30, 0x1.fffffp-27}) {
    EXPECT_SAME_BITS(portable_math::sin(tiny), tiny);
    EXPECT_SAME_BITS(portable_math::sin(-tiny), -tiny);
    EXPECT_SAME_BITS(portable_math::cos(tiny * 0.5), 1.0);
  }
  EXPECT_SAME_BITS(portable_math::cos(0x1p-26), 0x1.fffffffffffffp-1);  // 1 - 2^-53 exactly
}

TEST(PortableMathSpecialValues, SineAndCosineOfInfinityAndNanAreNan) {
  for (const double input : {kInfinity, -kInfinity, kNan, -kNan}) {
    EXPECT_TRUE(std::isnan(portable_math::sin(input))) << input;
    EXPECT_TRUE(std::isnan(portable_math::cos(input))) << input;
  }
}

TEST(PortableMathSpecialValues, SineIsOddAndCosineEven) {
  for (const auto& family : {FloatPhases(7, 2000), LargeArguments(8, 2000)}) {
    for (const double input : family) {
      EXPECT_SAME_BITS(portable_math::sin(-input), -portable_math::sin(input));
      EXPECT_SAME_BITS(portable_math::cos(-input), portable_math::cos(input));
    }
  }
}

// Correctly rounded values (from 4000-bit arithmetic) at arguments that exercise both
// reductions, including the largest double and the closest approaches to multiples of pi/2.
TEST(PortableMathSpecialValues, SineAndCosineOfChosenArguments) {
  struct Expected {
    double input;
    double sine;
    double cosine;
  };
  const Expected kExpected[] = {
      {0x1.fffffffffffffp+1023, 0x1.452fc98b34e97p-8, -0x1.fffe62ecfab75p-1},
      {0x1.0000000000000p+1023, 0x1.205248cbdb760p-1, -0x1.a719f26c232bfp-1},
      {0x1.0f0cf064dd592p+73, -0x1.b453ab76bf397p-1, 0x1.0be2cef01c8f4p-1},  // 1e22
      {0x1.6ac5b262ca1ffp+849, 0x1.0000000000000p+0, -0x1.14ae72e6ba22fp-61},
      {0x1.6c6cbc45dc8dep+5, 0x1.0000000000000p+0, -0x1.6d61b58c99c43p-61},
      {0x1.b951f1572eba5p+23, -0x1.0000000000000p+0, -0x1.f54f5227a4e84p-60},
      {0x1.0000000000000p+21, 0x1.3f68887a137efp-1, 0x1.9027224e704fap-1},
      {0x1.fffffffffffffp+20, 0x1.3f6888788357cp-1, 0x1.9027224fafb82p-1},
      {0x1.0000000000000p+0, 0x1.aed548f090ceep-1, 0x1.14a280fb5068cp-1},
      {0x1.9000000000000p+6, -0x1.03425b78c4db8p-1, 0x1.b981dbf665fdfp-1},
      {0x1.921fb54442d18p+0, 0x1.0000000000000p+0, 0x1.1a62633145c07p-54},    // pi/2
      {0x1.921fb54442d18p+1, 0x1.1a62633145c07p-53, -0x1.0000000000000p+0},   // pi
      {0x1.921fb60000000p+1, -0x1.777a5cf72cec6p-24, -0x1.fffffffffffdep-1},  // float(pi)
  };
  for (const Expected& expected : kExpected) {
    EXPECT_SAME_BITS(portable_math::sin(expected.input), expected.sine);
    EXPECT_SAME_BITS(portable_math::cos(expected.input), expected.cosine);
    EXPECT_SAME_BITS(portable_math::sin(-expected.input), -expected.sine);
  }
}

// Both reductions where both apply (k < 2^26): the same step count and reduced value.
TEST(PortableMathSpecialValues, CodyWaiteAndPayneHanekAgree) {
  constexpr double kStep = 0x1.921fb54442d18p-5;  // pi/64
  XorShift64 random(9);
  for (int i = 0; i < 20000; ++i) {
    const double input = 0x1p21 + static_cast<double>(random.Next() >> 12) * 0x1p-32;
    const portable_math::detail::Reduced cody_waite = portable_math::detail::ReduceCodyWaite(input);
    const portable_math::detail::Reduced payne_hanek =
        portable_math::detail::ReducePayneHanek(input);
    double difference = (cody_waite.high - payne_hanek.high) + (cody_waite.low - payne_hanek.low);
    const std::uint32_t step_difference = (cody_waite.steps - payne_hanek.steps) % 128u;
    if (step_difference == 1) difference += kStep;  // a tie of k rounded the other way
    if (step_difference == 127) difference -= kStep;
    EXPECT_TRUE(step_difference == 0 || step_difference == 1 || step_difference == 127);
    // The double-doubles carry about 2^-105 of r, and Cody-Waite rounds k times the last part
    // of pi/64 (below 2^-117 here); a neighbouring step adds pi/64 rounded.
    const double tolerance =
        step_difference == 0 ? 0x1p-100 * std::fabs(payne_hanek.high) + 0x1p-115 : 0x1p-55;
    EXPECT_LE(std::fabs(difference), tolerance) << Hex(input);
  }
}

// A 128-bit unsigned integer in two halves, for exact products of 53-bit integers on targets
// without a 128-bit type.
struct Wide {
  std::uint64_t high;
  std::uint64_t low;
  bool operator==(const Wide& other) const { return high == other.high && low == other.low; }
};

Wide WideProduct(std::uint64_t first, std::uint64_t second) {
  const std::uint64_t first_low = first & 0xFFFFFFFFu;
  const std::uint64_t second_low = second & 0xFFFFFFFFu;
  const std::uint64_t first_high = first >> 32;
  const std::uint64_t second_high = second >> 32;
  // The cross terms of two numbers below 2^53 stay below 2^54 together.
  const std::uint64_t cross = first_low * second_high + first_high * second_low;
  const std::uint64_t bottom = first_low * second_low;
  const std::uint64_t low = bottom + (cross << 32);
  return {first_high * second_high + (cross >> 32) + (low < bottom ? 1 : 0), low};
}

// A non-negative integer-valued double below 2^128, exactly.
Wide WideFromDouble(double value) {
  int exponent = 0;
  const double fraction = std::frexp(value, &exponent);
  if (exponent <= 53) return {0, static_cast<std::uint64_t>(value)};
  const std::uint64_t mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  const int shift = exponent - 53;
  if (shift >= 64) return {mantissa << (shift - 64), 0};
  return {shift == 0 ? 0 : mantissa >> (64 - shift), mantissa << shift};
}

// The error-free steps the accurate paths are built from. Dekker's product of two 53-bit
// integers (any power of two scales both sides alike) is the exact 106-bit product, high + low,
// with high the rounded product; it rests on Veltkamp's split into halves of 26 bits, whose
// products are exact.
TEST(PortableMathExactSteps, DekkersProductIsTheExactProduct) {
  XorShift64 random(53);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> factors = {
      {1, 1},
      {(1ull << 53) - 1, (1ull << 53) - 1},
      {1ull << 52, (1ull << 53) - 1},
      {(1ull << 27) + 1, (1ull << 27) - 1},
      {3, (1ull << 53) - 1}};
  for (int i = 0; i < 100000; ++i) {
    factors.push_back({random.Next() >> 11, random.Next() >> 11});
  }
  for (const auto& [first, second] : factors) {
    const portable_math::detail::Sum product =
        portable_math::detail::TwoProduct(static_cast<double>(first), static_cast<double>(second));
    // high + low, both integers; |low| is at most half the last place of high, below 2^53.
    Wide sum = WideFromDouble(product.high);
    const std::uint64_t low_magnitude = static_cast<std::uint64_t>(std::fabs(product.low));
    if (product.low >= 0) {
      const std::uint64_t low = sum.low + low_magnitude;
      sum = {sum.high + (low < sum.low ? 1 : 0), low};
    } else {
      sum = {sum.high - (sum.low < low_magnitude ? 1 : 0), sum.low - low_magnitude};
    }
    ASSERT_TRUE(WideProduct(first, second) == sum)
        << first << " * " << second << ": high " << Hex(product.high) << " low "
        << Hex(product.low);
  }
}

TEST(PortableMathSpecialValues, Exp2OfIntegersIsExact) {
  for (int integer = -1074; integer <= 1023; ++integer) {
    EXPECT_SAME_BITS(portable_math::exp2(integer), std::ldexp(1.0, integer));
  }
  EXPECT_SAME_BITS(portable_math::exp2(-0.0), 1.0);
}

TEST(PortableMathSpecialValues, Exp2OverflowUnderflowAndNan) {
  EXPECT_SAME_BITS(portable_math::exp2(1024.0), kInfinity);
  EXPECT_SAME_BITS(portable_math::exp2(DBL_MAX), kInfinity);
  EXPECT_SAME_BITS(portable_math::exp2(kInfinity), kInfinity);
  EXPECT_SAME_BITS(portable_math::exp2(0x1.fffffffffffffp+9), 0x1.ffffffffffd3ap+1023);
  EXPECT_SAME_BITS(portable_math::exp2(-kInfinity), 0.0);
  EXPECT_SAME_BITS(portable_math::exp2(-DBL_MAX), 0.0);
  EXPECT_SAME_BITS(portable_math::exp2(-1075.0), 0.0);  // 2^-1075 is a tie: to even, 0
  EXPECT_SAME_BITS(portable_math::exp2(-1074.9), 0x1p-1074);
  EXPECT_SAME_BITS(portable_math::exp2(-1074.0), 0x1p-1074);
  EXPECT_SAME_BITS(portable_math::exp2(0x1p-60), 1.0);
  EXPECT_SAME_BITS(portable_math::exp2(-0x1p-60), 1.0);
  EXPECT_SAME_BITS(portable_math::exp2(0x1p-1074), 1.0);
  EXPECT_TRUE(std::isnan(portable_math::exp2(kNan)));
  EXPECT_TRUE(std::isnan(portable_math::exp2(-kNan)));
}

// Correctly rounded values, normal and subnormal (each subnormal rounded once).
TEST(PortableMathSpecialValues, Exp2OfChosenArguments) {
  const double kExpected[][2] = {
      {0x1.0000000000000p-1, 0x1.6a09e667f3bcdp+0},
      {-0x1.8000000000000p-1, 0x1.306fe0a31b715p-1},
      {0x1.0624dd2f1a9fcp-10, 0x1.002d711c79a96p+0},
      {0x1.999999999999ap-4, 0x1.125fbee250664p+0},
      {0x1.499999999999ap+3, 0x1.3b2c47bff832cp+10},
      {0x1.ffc0000000000p+9, 0x1.6a09e667f3bcdp+1023},
      {-0x1.ff40000000000p+9, 0x0.b504f333f9de6p-1022},
      {-0x1.0c53333333333p+10, 0x0.0000000000002p-1022},
      {-0x1.0cb999999999ap+10, 0x0.0000000000001p-1022},
      {-0x1.0907df3b645a2p+10, 0x0.0000000003ac5p-1022},
      {-0x1.ff000000d6bf9p+9, 0x0.fffffed64bb0cp-1022},
      {-0x1.ffffffff29407p+9, 0x0.4000004a6d142p-1022},
  };
  for (const auto& expected : kExpected) {
    EXPECT_SAME_BITS(portable_math::exp2(expected[0]), expected[1]);
  }
}

TEST(PortableMathSpecialValues, AsinOfEndsZeroAndOutside) {
  EXPECT_SAME_BITS(portable_math::asin(1.0), 0x1.921fb54442d18p+0);
  EXPECT_SAME_BITS(portable_math::asin(-1.0), -0x1.921fb54442d18p+0);
  EXPECT_SAME_BITS(portable_math::asin(0.0), 0.0);
  EXPECT_SAME_BITS(portable_math::asin(-0.0), -0.0);
  for (const double tiny : {0x1p-1074, DBL_MIN, 1e-300, 0x1p-30}) {
    EXPECT_SAME_BITS(portable_math::asin(tiny), tiny);
    EXPECT_SAME_BITS(portable_math::asin(-tiny), -tiny);
  }
  for (const double outside :
       {0x1.0000000000001p+0, -0x1.0000000000001p+0, 2.0, -1e300, kInfinity, -kInfinity, kNan}) {
    EXPECT_TRUE(std::isnan(portable_math::asin(outside))) << Hex(outside);
  }
}

TEST(PortableMathSpecialValues, AsinOfChosenArgumentsAndOddness) {
  const double kExpected[][2] = {
      {0x1.0000000000000p-1, 0x1.0c152382d7366p-1}, {0x1.0000000000000p-2, 0x1.02be9ce0b87cdp-2},
      {0x1.8000000000000p-1, 0x1.b235315c680dcp-1}, {0x1.fffffffffffffp-1, 0x1.921fb50442d18p+0},
      {0x1.0000000000001p-1, 0x1.0c152382d7367p-1},
  };
  for (const auto& expected : kExpected) {
    EXPECT_SAME_BITS(portable_math::asin(expected[0]), expected[1]);
    EXPECT_SAME_BITS(portable_math::asin(-expected[0]), -expected[1]);
  }
  for (const double input : AsinArguments(10, 4000)) {
    EXPECT_SAME_BITS(portable_math::asin(-input), -portable_math::asin(input));
  }
}

}  // namespace
