// The additive oscillator's signal path, kept apart from the host protocol so that every step can
// be tested against its formula without a module, a frame or a host.
//
// One sine s and one cosine c of the phase x are evaluated per sample; the harmonics then follow
// from the two-term recurrence u_k = m u_{k-1} - u_{k-2} with u_0 = s and u_1 = m s, where the
// multiplier m = c * Mod. So u_k = s U_k(m/2), with U_k the Chebyshev polynomial of the second
// kind: at Mod = 2 that is sin((k+1) x) exactly, and smaller Mod values damp harmonic k+1 by
// (Mod/2)^k, which is the oscillator's low-pass control.
//
// The output is defined to the bit and must agree on every target, so the arithmetic is spelt
// out. Every value that is stored (a member, an output sample, x*x in the polynomials) is a 32-bit
// float; within one formula the arithmetic is carried in double and rounded to float once, where
// the value is stored. For a single operation on two floats that is the same as float arithmetic
// (double has more than twice float's precision), but for a Horner polynomial, the recurrence
// m*u - u' and the multiply-add of the weighted sum it is not, so those keep their double
// intermediates. The library sine, cosine and power come from portable_math, whose correctly
// rounded results are the same bits on every target where the C libraries differ in the last
// place.
//
// Beyond the reference arithmetic, the kernel keeps itself usable for any input:
//  - The phase stays in [-pi, pi) at any increment. Below the sample rate one subtraction of 2 pi
//    does that, exactly as the reference; only an increment of 2 pi or more takes the exact fmod
//    reduction, whose work does not grow with the increment.
//  - A pitch that is not a number, or that gives no finite positive frequency, or a frequency
//    whose phase increment is not finite (a nonsensical sample rate), is silence with the phase
//    standing still: f = 0 and N = 0.
//  - N never exceeds the sixteen harmonics there is room for; a "Harmonics" value of 0 or less
//    is silence; a Nyquist quotient of 2^31 or more leaves the "Harmonics" value as the count.
//  - A "Quality" value other than 1 or 2 renders as Normal, the pin's default item.
//  - The output is always finite. Where the reference sum is finite it is returned unchanged;
//    otherwise (an overflowed recurrence from a huge Mod, or a NaN or infinite input) harmonics
//    whose amplitude is exactly 0 are left out, and what is still not finite saturates to
//    +-FLT_MAX, or to 0 for a NaN. Only the phase is carried from one sample to the next, so one
//    bad input sample never spoils the samples after it.
#pragma once

#include <cmath>
#include <cstdint>

namespace pelio {

constexpr int32_t kMaxHarmonics = 16;

// Pitch laws. The signal is in units of 10 V.
constexpr float kVoltsPerUnit = 10.0f;
constexpr float kOctaveBaseHz = 13.75f;    // 0 V under 1 V/octave
constexpr float kOctaveLawCutoff = 1.2f;   // 12 V; above it the oscillator is silent
constexpr float kHertzPerUnit = 10000.0f;  // 1 V/kHz
constexpr float kTwo = 2.0f;               // the Nyquist divisor and the base of the octave power

constexpr float kPi = 3.1415927f;
constexpr float kTwoPi = 6.2831855f;
constexpr float kOutputGain = 0.5f;

// Reciprocal factorials rounded to float, the Taylor coefficients about 0.
constexpr float kSine3 = 0.16666667f;
constexpr float kSine5 = 0.008333334f;
constexpr float kSine7 = 0.0001984127f;
constexpr float kSine9 = 2.7557319e-6f;
constexpr float kSine11 = 2.5052108e-8f;
constexpr float kCosine2 = 0.5f;
constexpr float kCosine4 = 0.041666668f;
constexpr float kCosine6 = 0.0013888889f;
constexpr float kCosine8 = 2.4801588e-5f;
constexpr float kCosine10 = 2.755732e-7f;
constexpr float kCosine12 = 2.0876756e-9f;

// Values of the "Freq Scale" and "Quality" pins.
constexpr int16_t kVoltPerOctave = 0;
enum class Quality { kNormal = 0, kHigh = 1, kUltraHigh = 2 };

inline Quality QualityFromPin(int16_t value) {
  if (value == 1) return Quality::kHigh;
  if (value == 2) return Quality::kUltraHigh;
  return Quality::kNormal;
}

// ---- Once per span ----------------------------------------------------------------------------

// f = 13.75 * 2^(10 p), or 0 above the 1.2 cut-off. Not finite for a NaN pitch.
float OctaveLawFrequency(float pitch);
// f = 10000 p. Not positive, or not finite, for a pitch the law does not sound.
float KilohertzLawFrequency(float pitch);

// 2 pi / sample rate, the phase step of 1 Hz.
float RadiansPerHertz(float sample_rate);

// N = trunc((sample rate / 2) / f), at most `harmonics_setting` and never more than 16 or less
// than 0: harmonic k is summed only if k f <= sample rate / 2. `frequency` must be finite and > 0.
int32_t NyquistHarmonicCount(float sample_rate, float frequency, int32_t harmonics_setting);

struct SpanTuning {
  float increment;         // phase step per sample, radians
  int32_t harmonic_count;  // N, 0 to 16
};

// The pitch law chosen by `freq_scale` applied to the span's first pitch sample, then the phase
// step and the harmonic count; silence (0, 0) wherever there is no frequency to render.
SpanTuning TuneSpan(int16_t freq_scale, float pitch, float sample_rate, float radians_per_hz,
                    int32_t harmonics_setting);

// ---- Once per sample --------------------------------------------------------------------------

// Taylor polynomials to x^11 and x^12 by Horner's scheme in A = x*x, A stored as float first.
// Accurate to about 3e-8 for |x| <= 1; at x = -pi the sine gives 0.000445 and the cosine -0.99990.
inline float SinePolynomial(float phase) {
  // A = x * x is a float product, rounded to float before the Horner steps widen it.
  const double square = phase * phase;
  double horner = kSine9 - square * kSine11;
  horner = horner * square - kSine7;
  horner = horner * square + kSine5;
  horner = horner * square - kSine3;
  horner = horner * square + 1.0;
  return static_cast<float>(horner * phase);
}

inline float CosinePolynomial(float phase) {
  const double square = phase * phase;
  double horner = square * kCosine12 - kCosine10;
  horner = horner * square + kCosine8;
  horner = horner * square - kCosine6;
  horner = horner * square + kCosine4;
  horner = horner * square - kCosine2;
  horner = horner * square + 1.0;
  return static_cast<float>(horner);
}

// The library functions, on the float phase widened to double, rounded back to float: the
// float of the correctly rounded portable_math::sin and cos.
float LibrarySine(float phase);
float LibraryCosine(float phase);

struct SineCosine {
  float sine;
  float cosine;
};

// Normal: both polynomials. High: sine polynomial, library cosine. Ultra-High: both library.
inline SineCosine SineAndCosine(float phase, Quality quality) {
  switch (quality) {
    case Quality::kHigh:
      return {SinePolynomial(phase), LibraryCosine(phase)};
    case Quality::kUltraHigh:
      return {LibrarySine(phase), LibraryCosine(phase)};
    case Quality::kNormal:
    default:
      return {SinePolynomial(phase), CosinePolynomial(phase)};
  }
}

// m = c * Mod: 2 cos x at the default Mod of 2.0 (20 V).
inline float RecurrenceMultiplier(float cosine, float mod) {
  return static_cast<float>(static_cast<double>(cosine) * mod);
}

// u_k = m u_{k-1} - u_{k-2}, rounded once.
inline float ChebyshevStep(float multiplier, float previous, float before_previous) {
  return static_cast<float>(static_cast<double>(multiplier) * previous - before_previous);
}

// partial[0] = s and partial[1] = m s always; partial[2 .. count-1] by the recurrence.
// `previous` and `before_previous` end as the last two values computed. count <= 16.
inline void HarmonicPartials(float sine, float multiplier, int32_t count, float* partial,
                             float& previous, float& before_previous) {
  partial[0] = sine;
  partial[1] = static_cast<float>(static_cast<double>(sine) * multiplier);
  before_previous = sine;
  previous = partial[1];
  for (int32_t k = 2; k < count; ++k) {
    partial[k] = ChebyshevStep(multiplier, previous, before_previous);
    before_previous = previous;
    previous = partial[k];
  }
}

// What the output becomes when the reference sum is not finite (see the file comment).
float FiniteHalfSumWithoutSilentHarmonics(const float* partial, const float* amplitude,
                                          int32_t count);

// 0.5 * sum of partial[i] * amplitude[i], i < count, each multiply-add rounded to float in order.
inline float HalfWeightedSum(const float* partial, const float* amplitude, int32_t count) {
  float sum = 0.0f;
  for (int32_t i = 0; i < count; ++i) {
    sum = static_cast<float>(static_cast<double>(partial[i]) * amplitude[i] + sum);
  }
  const float half = static_cast<float>(static_cast<double>(sum) * kOutputGain);
  if (std::isfinite(half)) return half;
  return FiniteHalfSumWithoutSilentHarmonics(partial, amplitude, count);
}

// Exact reduction of a finite phase into [-pi, pi); restarts at -pi from a non-finite one.
float ReducePhase(float phase);

// x + increment, wrapped by one subtraction of 2 pi when it reaches pi. Where that is not enough
// (an increment of 2 pi or more, or a negative one) the unwrapped sum is reduced exactly instead.
// `increment` is finite (TuneSpan makes it so).
// Always inlined: the lane renderers, compiled with other instruction sets, run it between their
// vector steps, and no out-of-line copy compiled for one of them may ever serve other code.
__attribute__((always_inline)) inline float AdvancePhase(float phase, float increment) {
  const float sum = static_cast<float>(static_cast<double>(increment) + phase);
  float next = sum;
  if (next >= kPi) next = static_cast<float>(static_cast<double>(sum) - kTwoPi);
  if (next >= kPi || next < -kPi) next = ReducePhase(sum);
  return next;
}

// ---- One span ----------------------------------------------------------------------------------

// What the kernel carries from one sample to the next and leaves behind after a span. Only the
// phase is ever read back; the rest is the last sample's working state.
struct OscillatorState {
  float phase;  // radians, in [-pi, pi)
  float multiplier;
  float prev;
  float prev2;
  float partial[kMaxHarmonics];
  // Phases a lane renderer ran ahead at the end of its span, for the first block of the next
  // one: they hold if that span starts at ahead_from with the same increment. An event cuts the
  // block into spans, and this is what keeps the renderer's restart at the next span cheap (the
  // phases are a chain of dependent additions, which otherwise run before any vector work can
  // start). RenderSpan ignores them; ahead_count 0 means there are none.
  static constexpr int32_t kMaxAhead = 32;
  int32_t ahead_count;
  float ahead_from;
  float ahead_increment;
  float ahead_next;  // the phase after the last one
  float ahead[kMaxAhead];
};

// One span as the module hands it to a renderer: what holds for the whole span (the amplitudes,
// the tuning and the quality) and the buffers walked sample by sample.
struct SpanSettings {
  const float* mod;        // sample_count values, one per sample
  float* output;           // sample_count values
  int32_t sample_count;    // nothing is rendered for 0 or less
  const float* amplitude;  // kMaxHarmonics values: amplitude[i] weighs partial[i]
  float increment;         // from TuneSpan
  int32_t harmonic_count;  // N, 0 to 16, from TuneSpan
  Quality quality;
};

// Renders a span one sample at a time with the functions above. This is the reference: every
// faster renderer must leave the same output and the same state, bit for bit.
void RenderSpan(const SpanSettings& span, OscillatorState& state);

typedef void (*SpanRenderer)(const SpanSettings& span, OscillatorState& state);

// The output of a sample whose reference sum is not finite, from its sine and multiplier: the
// rare case that a lane-parallel renderer hands back to scalar code.
float NonFiniteSampleOutput(float sine, float multiplier, const float* amplitude, int32_t count);

}  // namespace pelio
