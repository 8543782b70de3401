// Tessavine's sine generator: a second-order recurrence that costs one multiply and one subtract
// per sample, re-seeded without a phase jump whenever the pitch changes.
//
// It rests on the identity sin(θ + ω) = 2·cos(ω)·sin(θ) − sin(θ − ω). With m_coeff = 2·cos(ω),
// m_y1 = sin(θ) and m_y2 = sin(θ − ω), the next value is y0 = m_coeff·m_y1 − m_y2. There is no
// phase accumulator and nothing wraps; the trigonometry runs only when the pitch changes.
//
// The output is fixed to the bit on every target, and the state carries across samples, so a
// single differently rounded operation would show up for ever after:
//  - the state is double and a step is exactly one rounded multiply followed by one rounded
//    subtract (the build forbids contracting them into a fused multiply-add);
//  - sin, cos, asin and 2^x come from portable_math, which rounds them correctly (to the nearest
//    double) on every target, so the output is what correctly rounded functions give
//    (tests/tessavine/tessavine_mpfr_test.cpp checks it against MPFR).
//
// The recurrence holds its amplitude only up to rounding; every re-seeding re-anchors it to 1.
// Whatever the input (NaN, ±Inf, huge or denormal pitches, a sample rate of 0), the state stays
// finite:
//  - a frequency whose phase increment is not a finite number is taken as 0 Hz, which holds the
//    current value (as a pitch of 0 does under the kilohertz law), and the pitch still becomes
//    m_last_pitch so it is not recomputed at every sample;
//  - a re-seeding that finds |m_y1| above 1 (rounding drift, or the straight line below) takes
//    the phase of the nearest peak and sets m_y1 to that peak, ±1, so that the amplitude is
//    re-anchored instead of being multiplied by about 1/sin(ω) at every re-seeding;
//  - a sample rate whose reciprocal is not finite gives a sample period of 0 (every frequency
//    then holds the current value).
// Between pitch changes the recurrence runs as it is, since the output bits depend on it: an
// increment so small that m_coeff rounds to exactly 2 (below about 7e-5 Hz at 44.1 kHz) makes
// it a straight line of slope sin(ω) per sample instead of a sine, and an absurdly large one
// (|ω| from about 1e8 radians per sample) rounds away part of the phase in the re-seeding's sum
// asin(m_y1) + ω, and with it the amplitude: off by 1e-4 near 1e8, by several times 0.5 from
// 1e16, until the next pitch change. Both stay finite.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "se_sdk/portable_math.h"

struct SineRecurrence {
  // m_last_pitch after a reset: no real pitch is expected to equal it, so the first one is new.
  static constexpr float kPitchSentinel = -999.0f;
  static constexpr double kTwoPi = 6.283185307179586;
  // One volt per octave: kReferenceHz at kReferenceVolts; a signal of 1.0 is kVoltsPerUnit volts.
  static constexpr double kReferenceHz = 440.0;
  static constexpr double kVoltsPerUnit = 10.0;
  static constexpr double kReferenceVolts = 5.0;
  // One volt per kilohertz: hertz per unit of signal.
  static constexpr double kHertzPerUnit = 10000.0;
  static constexpr double kOutputScale = 0.5;

  // Until Reset these hold the values Reset gives them: a silent, armed generator.
  float m_last_pitch = kPitchSentinel;  // the pitch m_frequency was computed from
  double m_y1 = 0.0;                    // sin(θ), the newest value, unscaled
  double m_y2 = 0.0;                    // sin(θ − ω), one sample older
  double m_increment = 0.0;             // ω, radians per sample
  double m_coeff = 2.0;                 // 2·cos(ω)
  double m_frequency = 0.0;             // hertz
  double m_sample_period = 0.0;         // seconds
  bool m_first_run = true;              // no frequency computed yet: no phase to continue

  // 440 Hz at 0.5 (5 volts), doubling per volt; the exponent is formed in double.
  static double OctaveLaw(float pitch) {
    return kReferenceHz *
           portable_math::exp2(kVoltsPerUnit * static_cast<double>(pitch) - kReferenceVolts);
  }
  static double KilohertzLaw(float pitch) { return kHertzPerUnit * static_cast<double>(pitch); }

  // Arms the generator at `sample_rate`: the next real pitch starts the wave at phase zero. Until
  // then m_coeff = 2 with y1 = y2 = 0 keeps the output at exactly 0, even for a first pitch
  // equal to the sentinel or NaN, which is no change.
  void Reset(float sample_rate) {
    m_last_pitch = kPitchSentinel;
    m_sample_period = 1.0 / static_cast<double>(sample_rate);
    if (!std::isfinite(m_sample_period)) m_sample_period = 0.0;
    m_y1 = 0.0;
    m_first_run = true;
    m_y2 = 0.0;
    m_increment = 0.0;
    m_coeff = 2.0;
    m_frequency = 0.0;
  }

  // The frequency computation for a new `pitch`, under the law `freq_scale` selects (0: one volt
  // per octave, anything else: one volt per kilohertz), and the re-seeding that keeps the phase.
  void Retune(float pitch, int16_t freq_scale) {
    double frequency = freq_scale == 0 ? OctaveLaw(pitch) : KilohertzLaw(pitch);
    m_last_pitch = pitch;
    double increment = kTwoPi * m_sample_period * frequency;
    if (!std::isfinite(increment)) {
      frequency = 0.0;
      increment = 0.0;
    }
    // Which side of a peak the wave is on is read from the state and the increment it has been
    // running at, so it is taken before m_coeff is replaced.
    const double running_cosine = 0.5 * m_coeff;
    m_frequency = frequency;
    m_increment = increment;
    m_coeff = 2.0 * portable_math::cos(increment);
    if (m_first_run) {
      m_y1 = 0.0;
      m_y2 = -portable_math::sin(increment);
      m_first_run = false;
      return;
    }
    // A rising wave (cos θ > 0) sits at θ = asin(y1) and steps back by −|ω|; a falling one sits
    // at π − asin(y1) and steps by +|ω|. Both give y2 = sin(θ − |ω|). With w the step the wave has
    // been running at (cos w = running_cosine, w in [0, π]), y2 = sin(θ − w) = y1·cos w −
    // cos θ·sin w, so cos θ has the sign of y1·cos w − y2. Comparing y2 with y1 instead would
    // misjudge the side whenever a peak falls between the two samples: the re-seeding would
    // mirror the phase about the peak, and a pitch that changes at every sample (a glide) would
    // then lose a share of each period at every peak, its frequency pulled towards whole
    // fractions of the rate (1837.5 Hz for 1975.5 at 44.1 kHz). A difference of zero (a held
    // wave, or a state exactly at a peak) counts as falling.
    const double step_back = std::copysign(increment, m_y2 - running_cosine * m_y1);
    const double sine = std::clamp(m_y1, -1.0, 1.0);
    m_y2 = portable_math::sin(portable_math::asin(sine) + step_back);
    m_y1 = sine;
  }

  // Renders `count` samples: each output sample is 0.5·y0 for the pitch sample beside it. A pitch
  // sample that differs from m_last_pitch retunes first, so it is already generated at the new
  // frequency. A NaN on either side of that test is no change: the comparison is ordered.
  //
  // Written so that the loop runs at the speed of the bare chain y0 = c·y1 − y2 (bench/):
  //  - the state lives in locals for the whole loop and goes back to the members after it, as in
  //    SuperCollider's FSinOsc. The re-seeding takes y1 and y2 as arguments of an out-of-line
  //    call and the loop reloads the result, so the loop never stores y1 and y2 side by side.
  //    Where it did (the members written back before Retune), GCC's basic-block vectorizer
  //    packed the pair into one vector register across the whole loop and shuffled it at every
  //    sample (unpcklpd / unpckhpd on the chain): 1.2 to 1.5 times the bare chain;
  //  - the per-sample pitch test compares the pitch's bits with the last pitch's as integers
  //    first, which keeps it off the floating-point ports the chain needs. Equal bits are no
  //    change under the ordered comparison too (a NaN is never a change); only when the bits
  //    differ does the ordered comparison decide (+0 and -0, or a NaN, are still no change).
  // The arithmetic is that of the plain loop, operation for operation; so are the bits.
  void Render(const float* pitch, float* output, int32_t count, int16_t freq_scale) {
    float last_pitch = m_last_pitch;
    uint32_t last_bits = Bits(last_pitch);
    double y1 = m_y1;
    double y2 = m_y2;
    double coeff = m_coeff;
    for (int32_t i = 0; i < count; ++i) {
      uint32_t current_bits;
      std::memcpy(&current_bits, pitch + i, sizeof current_bits);
      if (current_bits != last_bits) {
        const float current_pitch = pitch[i];
        if (current_pitch < last_pitch || current_pitch > last_pitch) {
          RetuneFrom(y1, y2, current_pitch, freq_scale);
          last_pitch = m_last_pitch;
          last_bits = Bits(last_pitch);
          y1 = m_y1;
          y2 = m_y2;
          coeff = m_coeff;
        }
      }
      const double y0 = coeff * y1 - y2;
      y2 = y1;
      y1 = y0;
      output[i] = static_cast<float>(kOutputScale * y0);
    }
    m_y1 = y1;
    m_y2 = y2;
  }

  // Render's pitch change: the state (y1, y2) as the loop holds it becomes the members', then
  // Retune. Never inlined, so that these two stores stay out of Render's loop (see Render).
  __attribute__((noinline)) void RetuneFrom(double y1, double y2, float pitch, int16_t freq_scale) {
    m_y1 = y1;
    m_y2 = y2;
    Retune(pitch, freq_scale);
  }

  static uint32_t Bits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  }
};
