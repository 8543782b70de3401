// portable_math::sin and cos of a phase in [-pi, pi), in SIMD lanes.
//
// High and Ultra-High take their cosine (and Ultra-High its sine) from portable_math, and one
// call per sample costs more than the rest of the sample. This is the algorithm of its fast path,
// operation for operation, written over a vector of doubles: the same Cody-Waite reduction by
// pi/64 in four parts, the same table of sin(k pi/64) as a double-double, the same Taylor terms
// and error-free sums, each multiply and add rounded on its own (no fused multiply-add, which
// would change the bits). So every lane gets the double of portable_math::detail::SinFastPath
// and CosFastPath, and the float rounded from it. portable_math::sin and cos add a rounding test
// and an accurate fallback to that path, which change the double now and then (about one input
// in a thousand), never the float here: for every float phase in [-pi, pi) the float of the fast
// path is the float of the correctly rounded value. The scalar reference (LibrarySine and
// LibraryCosine) takes the same path. tools/pelio_lanes_check runs every float phase in
// [-pi, pi) through the lanes to prove both claims.
//
// Only the Cody-Waite branch is mirrored: a phase in [-pi, pi) never reaches the Payne-Hanek one
// (|x| >= 2^21). Sine and cosine of one phase share the reduction, as they would in two calls.
//
// `Ops` is the instruction set's vector of doubles and its operations (see pelio_simd_kernel.h).
#pragma once

#include <cstdint>

#include "se_sdk/portable_math_tables.h"

namespace pelio::lanes {

template <class Ops>
struct LaneSum {
  typename Ops::Double high;
  typename Ops::Double low;
};

// Knuth's TwoSum.
template <class Ops>
inline LaneSum<Ops> TwoSum(typename Ops::Double augend, typename Ops::Double addend) {
  const auto sum = Ops::Add(augend, addend);
  const auto addend_part = Ops::Sub(sum, augend);
  const auto augend_part = Ops::Sub(sum, addend_part);
  return {sum, Ops::Add(Ops::Sub(augend, augend_part), Ops::Sub(addend, addend_part))};
}

// Dekker's Fast2Sum.
template <class Ops>
inline LaneSum<Ops> FastTwoSum(typename Ops::Double larger, typename Ops::Double smaller) {
  const auto sum = Ops::Add(larger, smaller);
  return {sum, Ops::Sub(smaller, Ops::Sub(sum, larger))};
}

// Veltkamp's split.
template <class Ops>
inline LaneSum<Ops> Split(typename Ops::Double value) {
  const auto scaled = Ops::Mul(value, Ops::Broadcast(134217729.0));
  const auto high = Ops::Sub(scaled, Ops::Sub(scaled, value));
  return {high, Ops::Sub(value, high)};
}

// Dekker's product, without a fused multiply-add.
template <class Ops>
inline LaneSum<Ops> TwoProduct(typename Ops::Double multiplicand, typename Ops::Double multiplier) {
  const auto product = Ops::Mul(multiplicand, multiplier);
  const LaneSum<Ops> first = Split<Ops>(multiplicand);
  const LaneSum<Ops> second = Split<Ops>(multiplier);
  const auto error =
      Ops::Add(Ops::Add(Ops::Add(Ops::Sub(Ops::Mul(first.high, second.high), product),
                                 Ops::Mul(first.high, second.low)),
                        Ops::Mul(first.low, second.high)),
               Ops::Mul(first.low, second.low));
  return {product, error};
}

// |x| = steps pi/64 + (high + low) for |x| < 2^21; only steps modulo 128 is kept, as the table
// index it becomes.
template <class Ops>
struct LaneReduced {
  typename Ops::Index steps;
  typename Ops::Double high;
  typename Ops::Double low;
};

template <class Ops>
inline LaneReduced<Ops> ReduceCodyWaite(typename Ops::Double magnitude) {
  namespace tables = portable_math::tables;
  // Adding 1.5 * 2^52 rounds to an integer, ties to even, and leaves it in the low bits.
  const auto shift = Ops::Broadcast(0x1.8p52);
  const auto shifted = Ops::Add(Ops::Mul(magnitude, Ops::Broadcast(tables::kInvStep)), shift);
  const auto count = Ops::Sub(shifted, shift);
  const auto first = Ops::Sub(magnitude, Ops::Mul(count, Ops::Broadcast(tables::kStepPart1)));
  const LaneSum<Ops> second =
      TwoSum<Ops>(first, Ops::Negate(Ops::Mul(count, Ops::Broadcast(tables::kStepPart2))));
  const LaneSum<Ops> third =
      TwoSum<Ops>(second.high, Ops::Negate(Ops::Mul(count, Ops::Broadcast(tables::kStepPart3))));
  const auto tail = Ops::Sub(Ops::Add(second.low, third.low),
                             Ops::Mul(count, Ops::Broadcast(tables::kStepPart4)));
  const LaneSum<Ops> reduced = TwoSum<Ops>(third.high, tail);
  return {Ops::LowBits(shifted), reduced.high, reduced.low};
}

// sin((steps + extra_steps) pi/64 + r), r = high + low: S cos r + C sin r with S and C from the
// table.
template <class Ops>
inline typename Ops::Double SineOfSteps(typename Ops::Index steps, int extra_steps,
                                        typename Ops::Double high, typename Ops::Double low) {
  namespace tables = portable_math::tables;
  const auto sine_index = Ops::TableIndex(steps, extra_steps);
  const auto cosine_index = Ops::TableIndex(steps, extra_steps + tables::kQuarterTurn);
  const auto sine_high = Ops::Gather(tables::kSinHigh, sine_index);
  const auto sine_low = Ops::Gather(tables::kSinLow, sine_index);
  const auto cosine_high = Ops::Gather(tables::kSinHigh, cosine_index);
  const auto cosine_low = Ops::Gather(tables::kSinLow, cosine_index);

  const auto square = Ops::Mul(high, high);
  const auto sine_excess = Ops::Mul(
      Ops::Mul(high, square),
      Ops::Add(Ops::Broadcast(tables::kSin3),
               Ops::Mul(square, Ops::Add(Ops::Broadcast(tables::kSin5),
                                         Ops::Mul(square, Ops::Broadcast(tables::kSin7))))));
  const auto cosine_excess = Ops::Mul(
      square,
      Ops::Add(
          Ops::Broadcast(tables::kCos2),
          Ops::Mul(square,
                   Ops::Add(Ops::Broadcast(tables::kCos4),
                            Ops::Mul(square,
                                     Ops::Add(Ops::Broadcast(tables::kCos6),
                                              Ops::Mul(square, Ops::Broadcast(tables::kCos8))))))));

  const LaneSum<Ops> slope = TwoProduct<Ops>(cosine_high, high);
  const LaneSum<Ops> leading = FastTwoSum<Ops>(sine_high, slope.high);
  auto correction = Ops::Add(leading.low, slope.low);
  correction = Ops::Add(correction, sine_low);
  correction = Ops::Add(correction, Ops::Mul(cosine_low, high));
  correction = Ops::Add(correction, Ops::Mul(cosine_high, Ops::Add(low, sine_excess)));
  correction =
      Ops::Add(correction, Ops::Mul(sine_high, Ops::Sub(cosine_excess, Ops::Mul(high, low))));
  return Ops::Add(leading.high, correction);
}

// The reduction of |phase|, shared by its sine and its cosine.
template <class Ops>
inline LaneReduced<Ops> ReducePhase(typename Ops::Double phase) {
  return ReduceCodyWaite<Ops>(Ops::Abs(phase));
}

// portable_math::sin(phase): the sine of |phase| with its sign bit flipped for a negative phase
// (the sine of |phase| itself is negative just below pi).
template <class Ops>
inline typename Ops::Double Sine(typename Ops::Double phase, const LaneReduced<Ops>& reduced) {
  return Ops::FlipSignBy(SineOfSteps<Ops>(reduced.steps, 0, reduced.high, reduced.low), phase);
}

// portable_math::cos(phase): the sine a quarter turn further on.
template <class Ops>
inline typename Ops::Double Cosine(const LaneReduced<Ops>& reduced) {
  return SineOfSteps<Ops>(reduced.steps, portable_math::tables::kQuarterTurn, reduced.high,
                          reduced.low);
}

}  // namespace pelio::lanes
