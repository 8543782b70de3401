// The additive oscillator's span renderer, written once over a vector of doubles and compiled
// for each instruction set in pelio_kernel_<isa>.cpp.
//
// Why it gives the reference's bits: every operation of RenderSpan is kept, lane by lane, in the
// reference's order, and every value the reference stores as a float is rounded to float in the
// lane (cvtpd2ps and back) where the reference rounds it. The one liberty taken is a fused
// multiply-add where the product is of two floats: such a product is exact in double (24 + 24
// significant bits fit in 53), so a*b+c fused rounds exactly as the separate multiply and add do.
// That holds for the recurrence m u - u', for the weighted sum u a + sum and for the polynomials'
// innermost step, and nowhere else (the Horner steps multiply a double by a double).
//
// How it is fast: kVectors vectors of samples go through the sine, the cosine, the recurrence
// and the sum side by side, so that the long chains of dependent roundings of one vector overlap
// with those of the others; and the scalar chain of the phases of the next block runs in between
// (the samples depend on each other only through the phase).
//
// Rare lanes go back to scalar code: a sample whose sum is not finite gets the reference's
// fallback (NonFiniteSampleOutput), and the state the span leaves behind is read out of the
// lanes of its last sample.
//
// Every ISA file defines an `Ops` struct in an anonymous namespace, so that nothing compiled with
// that ISA's instructions can be picked by the linker for code that runs on any processor; for
// the same reason this file calls only functions defined in pelio_kernel.cpp, and AdvancePhase,
// which is always inlined.
//
// The Ops interface:
//   Double, Index                       a vector of kLanes doubles, and of their 64-bit integers
//   kLanes, kVectors                    lanes per vector, vectors rendered side by side
//   Broadcast(double)                   every lane the same value
//   Load(const double*)                 kLanes doubles (unaligned)
//   LoadFloats(const float*)            kLanes floats, widened
//   StoreFloats(float*, Double)         rounded to float and stored (unaligned)
//   Store(double*, Double)              stored (unaligned)
//   RoundToFloat(Double)                rounded to float and widened again
//   Add, Sub, Mul                       one rounding each
//   MulAddExact(a, b, c)                a*b + c, one rounding; a*b must be exact
//   MulSubExact(a, b, c)                a*b - c, likewise
//   NegMulAddExact(a, b, c)             c - a*b, likewise
//   Negate, Abs, FlipSignBy(v, s)       sign-bit operations (v with its sign flipped where s < 0)
//   LowBits(Double)                     the bits of each lane as an integer
//   TableIndex(Index, int extra)        (index + extra) modulo 128
//   Gather(const double*, Index)        table[index] per lane
//   NonFiniteLanes(Double)              bit i set where lane i is infinite or NaN
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "pelio/pelio_kernel.h"
#include "pelio/pelio_simd.h"
#include "pelio/pelio_simd_math.h"

namespace pelio::lanes {

// The entries of each instruction set's file.
void RenderSpanSse2(const SpanSettings& span, OscillatorState& state);
void RenderSpanAvx2(const SpanSettings& span, OscillatorState& state);
void RenderSpanAvx512(const SpanSettings& span, OscillatorState& state);
void LibrarySineCosineSse2(const float* phase, int32_t count, double* sine, double* cosine);
void LibrarySineCosineAvx2(const float* phase, int32_t count, double* sine, double* cosine);
void LibrarySineCosineAvx512(const float* phase, int32_t count, double* sine, double* cosine);
void ProbeLanesSse2(LaneProbe& probe);
void ProbeLanesAvx2(LaneProbe& probe);
void ProbeLanesAvx512(LaneProbe& probe);

// SinePolynomial of pelio_kernel.h: A = x*x rounded to float, Horner in double, rounded to float.
template <class Ops>
inline typename Ops::Double SinePolynomialLanes(typename Ops::Double phase) {
  const auto square = Ops::RoundToFloat(Ops::Mul(phase, phase));
  auto horner = Ops::NegMulAddExact(square, Ops::Broadcast(kSine11), Ops::Broadcast(kSine9));
  horner = Ops::Sub(Ops::Mul(horner, square), Ops::Broadcast(kSine7));
  horner = Ops::Add(Ops::Mul(horner, square), Ops::Broadcast(kSine5));
  horner = Ops::Sub(Ops::Mul(horner, square), Ops::Broadcast(kSine3));
  horner = Ops::Add(Ops::Mul(horner, square), Ops::Broadcast(1.0));
  return Ops::RoundToFloat(Ops::Mul(horner, phase));
}

// CosinePolynomial of pelio_kernel.h.
template <class Ops>
inline typename Ops::Double CosinePolynomialLanes(typename Ops::Double phase) {
  const auto square = Ops::RoundToFloat(Ops::Mul(phase, phase));
  auto horner = Ops::MulSubExact(square, Ops::Broadcast(kCosine12), Ops::Broadcast(kCosine10));
  horner = Ops::Add(Ops::Mul(horner, square), Ops::Broadcast(kCosine8));
  horner = Ops::Sub(Ops::Mul(horner, square), Ops::Broadcast(kCosine6));
  horner = Ops::Add(Ops::Mul(horner, square), Ops::Broadcast(kCosine4));
  horner = Ops::Sub(Ops::Mul(horner, square), Ops::Broadcast(kCosine2));
  horner = Ops::Add(Ops::Mul(horner, square), Ops::Broadcast(1.0));
  return Ops::RoundToFloat(horner);
}

// SineAndCosine of pelio_kernel.h for one Quality, each result rounded to float.
template <class Ops, Quality kQuality>
inline void SineAndCosineLanes(typename Ops::Double phase, typename Ops::Double& sine,
                               typename Ops::Double& cosine) {
  if constexpr (kQuality == Quality::kNormal) {
    sine = SinePolynomialLanes<Ops>(phase);
    cosine = CosinePolynomialLanes<Ops>(phase);
  } else if constexpr (kQuality == Quality::kHigh) {
    sine = SinePolynomialLanes<Ops>(phase);
    cosine = Ops::RoundToFloat(Cosine<Ops>(ReducePhase<Ops>(phase)));
  } else {
    const LaneReduced<Ops> reduced = ReducePhase<Ops>(phase);
    sine = Ops::RoundToFloat(Sine<Ops>(phase, reduced));
    cosine = Ops::RoundToFloat(Cosine<Ops>(reduced));
  }
}

// The phases of the next block, computed a few at a time between the vector steps of the current
// one: the phase is a chain of dependent float additions, which the processor runs alongside
// the vector work only if the two are interleaved.
struct PhaseRun {
  float phase;
  float increment;
  float* out = nullptr;
  int32_t left = 0;

  void Start(float* phases, int32_t count) {
    out = phases;
    left = count;
  }
  void Step(int32_t count) {
    if (count > left) count = left;
    left -= count;
    // AdvancePhase, which also guards against increments of 2 pi and more. Below that, from a
    // phase in [-pi, pi), one subtraction of 2 pi is all it ever does: the wrapped sum is exact
    // (both terms are multiples of its last place) and lies in [-pi, pi) again. Its other tests
    // cost the vector work their share of the floating-point ports, so they are left out where
    // they cannot change the result. The float sum of two floats is the double sum rounded.
    if (increment >= 0.0f && increment < kTwoPi && phase >= -kPi && phase < kPi) {
      for (; count > 0; --count) {
        *out++ = phase;
        const float sum = phase + increment;
        phase = sum >= kPi ? sum - kTwoPi : sum;
      }
    } else {
      for (; count > 0; --count) {
        *out++ = phase;
        phase = AdvancePhase(phase, increment);
      }
    }
  }
  void Finish() { Step(left); }
};

// What one block needs besides its buffers: the amplitudes in double, ready to broadcast, and
// the same floats for the scalar fallback.
struct BlockSettings {
  const double* amplitude;
  const float* float_amplitude;
  int32_t harmonic_count;
};

// Renders kVectors * kLanes samples: phase, mod and output hold that many. Only the first
// `valid` samples are real (the rest are padding); with kKeepLast, valid is more than
// (kVectors - 1) * kLanes, and the state of sample valid - 1 is written to `state` (all but its
// phase). `next_phases` is run to its end on the way.
template <class Ops, Quality kQuality, int kVectors, bool kKeepLast>
inline void RenderVectors(const float* phase, const float* mod, float* output,
                          const BlockSettings& block, int32_t valid, OscillatorState* state,
                          PhaseRun& next_phases) {
  using Double = typename Ops::Double;
  constexpr int kLanes = Ops::kLanes;
  // Enough phases per harmonic that sixteen harmonics leave none for the end.
  const int32_t phases_per_harmonic = (next_phases.left + kMaxHarmonics - 1) / kMaxHarmonics;
  const int32_t count = block.harmonic_count;

  Double sine[kVectors];
  Double multiplier[kVectors];
#pragma GCC unroll 8
  for (int v = 0; v < kVectors; ++v) {
    Double cosine;
    SineAndCosineLanes<Ops, kQuality>(Ops::LoadFloats(phase + v * kLanes), sine[v], cosine);
    multiplier[v] = Ops::RoundToFloat(Ops::Mul(cosine, Ops::LoadFloats(mod + v * kLanes)));
  }

  // The last sample's partials, kept only in the block that ends the span. That block is
  // rendered in as many vectors as its samples need, so its last sample is in the last vector,
  // known at compile time: a vector chosen at run time would keep every vector's partials live
  // and spill them.
  constexpr int last_vector = kVectors - 1;
  const int last_lane = (valid - 1) - last_vector * kLanes;
  double kept[kMaxHarmonics * kLanes];
  const auto keep = [&](int v, int k, Double partial) {
    if (kKeepLast && v == last_vector) Ops::Store(kept + k * kLanes, partial);
  };

  // Partials 0 and 1 always; the sum over the first `count` of them.
  Double previous[kVectors];
  Double before_previous[kVectors];
  Double sum[kVectors];
#pragma GCC unroll 8
  for (int v = 0; v < kVectors; ++v) {
    before_previous[v] = sine[v];
    previous[v] = Ops::RoundToFloat(Ops::Mul(sine[v], multiplier[v]));
    keep(v, 0, before_previous[v]);
    keep(v, 1, previous[v]);
    sum[v] = Ops::Broadcast(0.0);
  }
  if (count > 0) {
    const Double amplitude = Ops::Broadcast(block.amplitude[0]);
#pragma GCC unroll 8
    for (int v = 0; v < kVectors; ++v) {
      sum[v] = Ops::RoundToFloat(Ops::MulAddExact(sine[v], amplitude, sum[v]));
    }
  }
  if (count > 1) {
    const Double amplitude = Ops::Broadcast(block.amplitude[1]);
#pragma GCC unroll 8
    for (int v = 0; v < kVectors; ++v) {
      sum[v] = Ops::RoundToFloat(Ops::MulAddExact(previous[v], amplitude, sum[v]));
    }
  }
  for (int32_t k = 2; k < count; ++k) {
    const Double amplitude = Ops::Broadcast(block.amplitude[k]);
#pragma GCC unroll 8
    for (int v = 0; v < kVectors; ++v) {
      const Double partial =
          Ops::RoundToFloat(Ops::MulSubExact(multiplier[v], previous[v], before_previous[v]));
      before_previous[v] = previous[v];
      previous[v] = partial;
      keep(v, k, partial);
      sum[v] = Ops::RoundToFloat(Ops::MulAddExact(partial, amplitude, sum[v]));
    }
    next_phases.Step(phases_per_harmonic);
  }
  next_phases.Finish();

  const uint32_t valid_lanes = valid >= kVectors * kLanes ? ~0u : (uint32_t{1} << valid) - 1;
  uint32_t non_finite = 0;
#pragma GCC unroll 8
  for (int v = 0; v < kVectors; ++v) {
    const Double half = Ops::Mul(sum[v], Ops::Broadcast(kOutputGain));
    non_finite |= Ops::NonFiniteLanes(half) << (v * kLanes);
    Ops::StoreFloats(output + v * kLanes, half);
  }
  non_finite &= valid_lanes;

  if (non_finite != 0) {
    float sines[kVectors * kLanes];
    float multipliers[kVectors * kLanes];
    for (int v = 0; v < kVectors; ++v) {
      Ops::StoreFloats(sines + v * kLanes, sine[v]);
      Ops::StoreFloats(multipliers + v * kLanes, multiplier[v]);
    }
    for (; non_finite != 0; non_finite &= non_finite - 1) {
      const int n = __builtin_ctz(non_finite);
      output[n] = NonFiniteSampleOutput(sines[n], multipliers[n], block.float_amplitude, count);
    }
  }
  if (kKeepLast) {
    float multipliers[kLanes];
    Ops::StoreFloats(multipliers, multiplier[last_vector]);
    const int written = count > 2 ? count : 2;
    for (int k = 0; k < written; ++k) {
      state->partial[k] = static_cast<float>(kept[k * kLanes + last_lane]);
    }
    state->prev = state->partial[written - 1];
    state->prev2 = state->partial[written - 2];
    state->multiplier = multipliers[last_lane];
  }
}

// The final 1 to kVectors * kLanes samples of a span, in as many vectors as they need.
template <class Ops, Quality kQuality, int kVectors>
inline void RenderLastBlock(int vectors, const float* phase, const float* mod, float* output,
                            const BlockSettings& block, int32_t valid, OscillatorState* state,
                            PhaseRun& ahead) {
  if constexpr (kVectors > 1) {
    if (vectors < kVectors) {
      RenderLastBlock<Ops, kQuality, kVectors - 1>(vectors, phase, mod, output, block, valid, state,
                                                   ahead);
      return;
    }
  }
  RenderVectors<Ops, kQuality, kVectors, true>(phase, mod, output, block, valid, state, ahead);
}

inline bool SameBits(float first, float second) {
  uint32_t first_bits;
  uint32_t second_bits;
  __builtin_memcpy(&first_bits, &first, sizeof first_bits);
  __builtin_memcpy(&second_bits, &second, sizeof second_bits);
  return first_bits == second_bits;
}

// RenderSpan for one Quality.
template <class Ops, Quality kQuality>
void RenderSpanLanes(const SpanSettings& span, OscillatorState& state) {
  constexpr int kLanes = Ops::kLanes;
  constexpr int kBlock = kLanes * Ops::kVectors;
  if (span.sample_count <= 0) return;

  double amplitude[kMaxHarmonics];
  for (int i = 0; i < kMaxHarmonics; ++i) amplitude[i] = span.amplitude[i];
  const BlockSettings block{amplitude, span.amplitude, span.harmonic_count};

  // Each block's phases are run while the block before it renders. Only the first block's are
  // run on their own, and that block is one vector, so that the vector work starts early.
  float phase_buffers[2][kBlock];
  float* phase = phase_buffers[0];
  float* next_phase = phase_buffers[1];
  static_assert(kBlock <= OscillatorState::kMaxAhead, "room for a block of phases");
  PhaseRun phases{state.phase, span.increment};
  int32_t size = span.sample_count < kBlock ? span.sample_count : kBlock;
  if (state.ahead_count == kBlock && SameBits(state.ahead_from, state.phase) &&
      SameBits(state.ahead_increment, span.increment)) {
    // The span before ran this block's phases ahead.
    for (int n = 0; n < kBlock; ++n) phase[n] = state.ahead[n];
    phases.phase = size < kBlock ? state.ahead[size] : state.ahead_next;
  } else {
    phases.Start(phase, size);
    phases.Finish();
  }
  int32_t done = 0;
  while (span.sample_count - done > size) {
    const int32_t after = span.sample_count - done - size;
    const int32_t next_size = after < kBlock ? after : kBlock;
    phases.Start(next_phase, next_size);
    if (size == kBlock) {
      RenderVectors<Ops, kQuality, Ops::kVectors, false>(phase, span.mod + done, span.output + done,
                                                         block, kBlock, nullptr, phases);
    } else {
      RenderVectors<Ops, kQuality, 1, false>(phase, span.mod + done, span.output + done, block,
                                             kLanes, nullptr, phases);
    }
    done += size;
    size = next_size;
    float* rendered = phase;
    phase = next_phase;
    next_phase = rendered;
  }
  state.phase = phases.phase;

  // The next span's first block, run ahead in case it goes on with the same increment (the usual
  // case when an event cuts a block).
  float ahead_phases[kBlock];
  PhaseRun ahead{state.phase, span.increment};
  ahead.Start(ahead_phases, kBlock);

  // The last block: straight from and to the span's buffers when it fills whole vectors, else
  // padded with phase 0 and Mod 0 to whole vectors.
  const int32_t rest = span.sample_count - done;
  const int vectors = (rest + kLanes - 1) / kLanes;
  for (int n = rest; n < kBlock; ++n) phase[n] = 0.0f;
  if (rest % kLanes == 0) {
    RenderLastBlock<Ops, kQuality, Ops::kVectors>(vectors, phase, span.mod + done,
                                                  span.output + done, block, rest, &state, ahead);
  } else {
    float mod[kBlock];
    float output[kBlock];
    for (int n = 0; n < kBlock; ++n) mod[n] = n < rest ? span.mod[done + n] : 0.0f;
    RenderLastBlock<Ops, kQuality, Ops::kVectors>(vectors, phase, mod, output, block, rest, &state,
                                                  ahead);
    for (int n = 0; n < rest; ++n) span.output[done + n] = output[n];
  }
  for (int n = 0; n < kBlock; ++n) state.ahead[n] = ahead_phases[n];
  state.ahead_count = kBlock;
  state.ahead_from = state.phase;
  state.ahead_increment = span.increment;
  state.ahead_next = ahead.phase;
}

template <class Ops>
void RenderSpanFor(const SpanSettings& span, OscillatorState& state) {
  switch (span.quality) {
    case Quality::kHigh:
      RenderSpanLanes<Ops, Quality::kHigh>(span, state);
      break;
    case Quality::kUltraHigh:
      RenderSpanLanes<Ops, Quality::kUltraHigh>(span, state);
      break;
    case Quality::kNormal:
    default:
      RenderSpanLanes<Ops, Quality::kNormal>(span, state);
      break;
  }
}

template <class Ops>
void LibrarySineCosineFor(const float* phase, int32_t count, double* sine, double* cosine) {
  constexpr int kLanes = Ops::kLanes;
  for (int32_t n = 0; n < count; n += kLanes) {
    float lane_phase[kLanes];
    for (int lane = 0; lane < kLanes; ++lane) {
      lane_phase[lane] = n + lane < count ? phase[n + lane] : 0.0f;
    }
    const auto phases = Ops::LoadFloats(lane_phase);
    const LaneReduced<Ops> reduced = ReducePhase<Ops>(phases);
    double lane_sine[kLanes];
    double lane_cosine[kLanes];
    Ops::Store(lane_sine, Sine<Ops>(phases, reduced));
    Ops::Store(lane_cosine, Cosine<Ops>(reduced));
    for (int lane = 0; lane < kLanes && n + lane < count; ++lane) {
      sine[n + lane] = lane_sine[lane];
      cosine[n + lane] = lane_cosine[lane];
    }
  }
}

// LaneProbe (pelio_simd.h) through Ops.
template <class Ops>
void ProbeLanesFor(LaneProbe& probe) {
  constexpr int kLanes = Ops::kLanes;
  static_assert(kLanes <= LaneProbe::kMaxLanes, "room for every lane");
  probe.lanes = kLanes;
  const auto first = Ops::Load(probe.first);
  const auto second = Ops::Load(probe.second);
  const auto third = Ops::Load(probe.third);
  double index_lanes[kLanes];
  __builtin_memcpy(index_lanes, probe.index_bits, sizeof index_lanes);

  Ops::Store(probe.broadcast, Ops::Broadcast(probe.first[0]));
  Ops::Store(probe.loaded, first);
  Ops::Store(probe.loaded_floats, Ops::LoadFloats(probe.floats));
  Ops::StoreFloats(probe.stored_floats, first);
  Ops::Store(probe.round_to_float, Ops::RoundToFloat(first));
  Ops::Store(probe.add, Ops::Add(first, second));
  Ops::Store(probe.sub, Ops::Sub(first, second));
  Ops::Store(probe.mul, Ops::Mul(first, second));
  Ops::Store(probe.mul_add_exact, Ops::MulAddExact(first, second, third));
  Ops::Store(probe.mul_sub_exact, Ops::MulSubExact(first, second, third));
  Ops::Store(probe.neg_mul_add_exact, Ops::NegMulAddExact(first, second, third));
  Ops::Store(probe.negate, Ops::Negate(first));
  Ops::Store(probe.abs, Ops::Abs(first));
  Ops::Store(probe.flip_sign_by, Ops::FlipSignBy(first, second));
  const auto index = Ops::TableIndex(Ops::LowBits(Ops::Load(index_lanes)), probe.extra_steps);
  Ops::Store(probe.gathered, Ops::Gather(probe.table, index));
  probe.non_finite = Ops::NonFiniteLanes(first);
}

}  // namespace pelio::lanes
