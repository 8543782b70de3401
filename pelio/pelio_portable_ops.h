// The lane kernel's operations (pelio_simd_kernel.h) over plain arrays of doubles, for any number
// of lanes and vectors, compiled for whatever processor the build targets.
//
// Why it exists: the kernel's lane logic (its tails and masks, the lane it keeps the state from,
// the padding of the last block, the gathers from the sine table) differs with the width, and an
// instruction set's renderer only runs where the processor has that set. Rendered through these
// operations, the same template runs at 2, 4, 8 or 16 lanes on any processor, so each width's lane
// logic is checked against the scalar reference everywhere, and each instruction set's operations
// can be checked one by one against these where the processor has them.
//
// Every operation is the plain IEEE double operation of its description in pelio_simd_kernel.h,
// one rounding each (the build never contracts a*b + c). The "Exact" multiply-adds are a rounded
// product and a rounded sum, which is what a fused one gives when the product is exact, the only
// case in which the kernel uses them.
#pragma once

#include <cstdint>
#include <cstring>

#include "se_sdk/portable_math_tables.h"

namespace pelio::lanes {

template <int kLaneCount, int kVectorCount>
struct PortableOps {
  struct Double {
    double lane[kLaneCount];
  };
  struct Index {
    uint64_t lane[kLaneCount];
  };
  static constexpr int kLanes = kLaneCount;
  static constexpr int kVectors = kVectorCount;

  static Double Broadcast(double value) {
    Double result;
    for (int lane = 0; lane < kLanes; ++lane) result.lane[lane] = value;
    return result;
  }
  static Double Load(const double* values) {
    Double result;
    for (int lane = 0; lane < kLanes; ++lane) result.lane[lane] = values[lane];
    return result;
  }
  static Double LoadFloats(const float* values) {
    Double result;
    for (int lane = 0; lane < kLanes; ++lane) result.lane[lane] = values[lane];
    return result;
  }
  static void StoreFloats(float* values, Double lanes) {
    for (int lane = 0; lane < kLanes; ++lane) values[lane] = Narrowed(lanes.lane[lane]);
  }
  static void Store(double* values, Double lanes) {
    for (int lane = 0; lane < kLanes; ++lane) values[lane] = lanes.lane[lane];
  }
  static Double RoundToFloat(Double lanes) {
    Double result;
    for (int lane = 0; lane < kLanes; ++lane) result.lane[lane] = Narrowed(lanes.lane[lane]);
    return result;
  }
  static Double Add(Double augend, Double addend) {
    Double result;
    for (int lane = 0; lane < kLanes; ++lane) {
      result.lane[lane] = augend.lane[lane] + addend.lane[lane];
    }
    return result;
  }
  static Double Sub(Double minuend, Double subtrahend) {
    Double result;
    for (int lane = 0; lane < kLanes; ++lane) {
      result.lane[lane] = minuend.lane[lane] - subtrahend.lane[lane];
    }
    return result;
  }
  static Double Mul(Double multiplicand, Double multiplier) {
    Double result;
    for (int lane = 0; lane < kLanes; ++lane) {
      result.lane[lane] = multiplicand.lane[lane] * multiplier.lane[lane];
    }
    return result;
  }
  static Double MulAddExact(Double multiplicand, Double multiplier, Double addend) {
    return Add(Mul(multiplicand, multiplier), addend);
  }
  static Double MulSubExact(Double multiplicand, Double multiplier, Double subtrahend) {
    return Sub(Mul(multiplicand, multiplier), subtrahend);
  }
  static Double NegMulAddExact(Double multiplicand, Double multiplier, Double minuend) {
    return Sub(minuend, Mul(multiplicand, multiplier));
  }

  // The sign operations work on the bits, as the vector instructions do, so that they treat zeros
  // and NaNs alike.
  static Double Negate(Double lanes) { return WithBits(lanes, ~uint64_t{0}, kSignBit); }
  static Double Abs(Double lanes) { return WithBits(lanes, ~kSignBit, 0); }
  static Double FlipSignBy(Double lanes, Double sign_source) {
    Double result;
    for (int lane = 0; lane < kLanes; ++lane) {
      const uint64_t sign = BitsOf(sign_source.lane[lane]) & kSignBit;
      result.lane[lane] = FromBits(BitsOf(lanes.lane[lane]) ^ sign);
    }
    return result;
  }
  static Index LowBits(Double lanes) {
    Index result;
    for (int lane = 0; lane < kLanes; ++lane) result.lane[lane] = BitsOf(lanes.lane[lane]);
    return result;
  }
  static Index TableIndex(Index index, int extra) {
    Index result;
    for (int lane = 0; lane < kLanes; ++lane) {
      result.lane[lane] = (index.lane[lane] + static_cast<uint64_t>(static_cast<int64_t>(extra))) &
                          (portable_math::tables::kSinTableSize - 1);
    }
    return result;
  }
  static Double Gather(const double* table, Index index) {
    Double result;
    for (int lane = 0; lane < kLanes; ++lane) result.lane[lane] = table[index.lane[lane]];
    return result;
  }
  static uint32_t NonFiniteLanes(Double lanes) {
    uint32_t mask = 0;
    for (int lane = 0; lane < kLanes; ++lane) {
      // Infinite or NaN: every exponent bit set.
      if ((BitsOf(lanes.lane[lane]) & kExponentBits) == kExponentBits) mask |= uint32_t{1} << lane;
    }
    return mask;
  }

 private:
  static constexpr uint64_t kSignBit = uint64_t{1} << 63;
  static constexpr uint64_t kExponentBits = uint64_t{0x7FF} << 52;

  // `value` rounded to float. GCC 12 at -O2 on x86-64 turns a loop that rounds doubles to floats,
  // when its floats are widened back to double, into a plain copy of the doubles: the rounding is
  // lost (its basic-block vectorizer pairs the conversions and folds them away). The empty asm
  // makes the float a value the compiler cannot see through, so every rounding happens.
  static float Narrowed(double value) {
    float narrow = static_cast<float>(value);
    __asm__("" : "+m"(narrow));
    return narrow;
  }
  static uint64_t BitsOf(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  }
  static double FromBits(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  // (bits & keep) ^ flip, lane by lane.
  static Double WithBits(Double lanes, uint64_t keep, uint64_t flip) {
    Double result;
    for (int lane = 0; lane < kLanes; ++lane) {
      result.lane[lane] = FromBits((BitsOf(lanes.lane[lane]) & keep) ^ flip);
    }
    return result;
  }
};

}  // namespace pelio::lanes
