// Random inputs over the whole domain of portable_math's functions, for the tests against MPFR
// and the tools that write the fixed lists: integer generators only (xorshift), so the same seed
// gives the same inputs on every target.
//
// Each draw picks one family at random:
//  sin, cos  uniform in [-4, 4]; any finite double (uniform in bit pattern: tiny, subnormal and
//            huge alike); |x| log-uniform in [2^-30, 2^30]; a few ulps from k pi/64 and from
//            k pi/2 (k up to 2^40 and 2^30); float phases in [-pi, pi); huge (2^30 to 2^1024);
//            tiny (2^-1074 to 2^-20)
//  exp2      uniform in (-1080, 1030); near integers (n + or - 2^-k m); near the overflow at
//            1024, the underflow at -1075 and the subnormal edge at -1022; tiny (2^-80 to 1);
//            the subnormal results (-1075, -1022); uniform in [-10, 10]
//  asin      uniform in [-1, 1]; near +-1 (1 - 2^-k m); tiny (down to 2^-1074); around 1/2;
//            uniform in bit pattern over [0, 1]
#pragma once

#include <cstdint>
#include <cstring>

namespace portable_math_inputs {

enum class Function { kSin, kCos, kExp2, kAsin };

inline double FromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline std::uint64_t BitsOf(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Marsaglia's xorshift64.
class Random {
 public:
  explicit Random(std::uint64_t seed) : m_state(seed ? seed : 0x9E3779B97F4A7C15u) {}

  std::uint64_t Next() {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 7;
    m_state ^= m_state << 17;
    return m_state;
  }
  std::uint32_t Below(std::uint32_t bound) {
    return static_cast<std::uint32_t>((Next() >> 32) % bound);
  }
  // Uniform in [0, 1), 53 bits (exact operations only).
  double Unit() { return static_cast<double>(static_cast<std::int64_t>(Next() >> 11)) * 0x1p-53; }
  double Sign() { return (Next() >> 63) != 0 ? -1.0 : 1.0; }
  // A random mantissa with an exponent in [lowest, highest] (normal exponents only).
  double WithExponent(int lowest, int highest) {
    const int exponent =
        lowest + static_cast<int>(Below(static_cast<std::uint32_t>(highest - lowest + 1)));
    return FromBits((Next() & 0x000FFFFFFFFFFFFFu) | static_cast<std::uint64_t>(exponent + 1023)
                                                         << 52);
  }
  // A positive double below 2^-1022 or a normal one down to there, uniform in bit pattern
  // between 2^-1074 and 2^highest.
  double TinyOrSubnormal(int highest) {
    const std::uint64_t limit = static_cast<std::uint64_t>(highest + 1023) << 52;
    return FromBits(1 + Next() % (limit - 1));
  }

 private:
  std::uint64_t m_state;
};

// k * c rounded to the double nearest, for c = high + low a double-double and k < 2^53.
inline double NearMultiple(double k, double high, double low) {
  return k * high + k * low;  // within an ulp or two: the offsets below cover the rest
}

inline double Draw(Function function, Random& random) {
  constexpr double kStepHigh = 0x1.921fb54442d18p-5;  // pi/64
  constexpr double kStepLow = 0x1.1a62633145c07p-59;
  switch (function) {
    case Function::kSin:
    case Function::kCos:
      switch (random.Below(8)) {
        case 0:
          return 8.0 * random.Unit() - 4.0;
        case 1: {
          for (;;) {
            const double value = FromBits(random.Next());
            if (value - value == 0.0) return value;  // finite
          }
        }
        case 2:
          return random.Sign() * random.WithExponent(-30, 30);
        case 3:
        case 4: {
          const bool quarter = random.Below(2) != 0;
          const int bits = 1 + static_cast<int>(random.Below(quarter ? 30 : 40));
          const double k = static_cast<double>(1 + (random.Next() >> (64 - bits)));
          const double multiple = quarter ? NearMultiple(k * 32.0, kStepHigh, kStepLow)
                                          : NearMultiple(k, kStepHigh, kStepLow);
          const std::int64_t offset = static_cast<std::int64_t>(random.Below(17)) - 8;
          return random.Sign() * FromBits(BitsOf(multiple) + static_cast<std::uint64_t>(offset));
        }
        case 5: {
          const float phase = static_cast<float>(random.Sign() * random.Unit() * 3.14159265358979);
          return phase;
        }
        case 6:
          return random.Sign() * random.WithExponent(30, 1023);
        default:
          return random.Sign() * random.TinyOrSubnormal(-20);
      }
    case Function::kExp2:
      switch (random.Below(6)) {
        case 0:
          return random.Unit() * 2110.0 - 1080.0;
        case 1: {
          const double integer = static_cast<double>(static_cast<int>(random.Below(2099)) - 1075);
          return integer + random.Sign() * random.WithExponent(-60, -1);
        }
        case 2: {
          const double tiny = random.WithExponent(-43, -1);
          switch (random.Below(4)) {
            case 0:
              return 1024.0 - tiny;
            case 1:
              return -1075.0 + tiny;
            case 2:
              return -1022.0 + tiny;
            default:
              return -1022.0 - tiny;
          }
        }
        case 3:
          return random.Sign() * random.WithExponent(-80, 0);
        case 4:
          return -1075.0 + 53.0 * random.Unit();
        default:
          return 20.0 * random.Unit() - 10.0;
      }
    default:
      switch (random.Below(5)) {
        case 0:
          return 2.0 * random.Unit() - 1.0;
        case 1:
          return random.Sign() * (1.0 - random.WithExponent(-53, -2));
        case 2:
          return random.Sign() * random.TinyOrSubnormal(-1);
        case 3:
          return random.Sign() * (0.5 + random.Sign() * random.WithExponent(-50, -4));
        default:
          return random.Sign() * FromBits(random.Next() % 0x3FF0000000000001u);
      }
  }
}

}  // namespace portable_math_inputs
