// The additive oscillator's once-per-span arithmetic (pitch laws, harmonic count) and the cold
// paths of the per-sample kernel: phase reduction at huge increments and the finite fallback of
// the output. See pelio_kernel.h for the reasoning behind each rule.
#include "pelio/pelio_kernel.h"

#include <cfloat>

#include "se_sdk/portable_math.h"

namespace pelio {

namespace {

// Frequencies the oscillator can render: finite and above 0. Everything else is silence.
bool IsRenderableFrequency(float frequency) { return frequency > 0.0f && frequency <= FLT_MAX; }

}  // namespace

float OctaveLawFrequency(float pitch) {
  if (pitch > kOctaveLawCutoff) return 0.0f;
  const float exponent = static_cast<float>(static_cast<double>(pitch) * kVoltsPerUnit);
  const float power = static_cast<float>(portable_math::exp2(exponent));
  return static_cast<float>(static_cast<double>(kOctaveBaseHz) * power);
}

float KilohertzLawFrequency(float pitch) {
  return static_cast<float>(static_cast<double>(pitch) * kHertzPerUnit);
}

float RadiansPerHertz(float sample_rate) {
  return static_cast<float>(static_cast<double>(kTwoPi) / sample_rate);
}

int32_t NyquistHarmonicCount(float sample_rate, float frequency, int32_t harmonics_setting) {
  const double quotient = (static_cast<double>(sample_rate) / kTwo) / frequency;
  int32_t count;
  if (quotient >= 2147483648.0) {
    // Past the range of the truncation: only the "Harmonics" setting limits.
    count = harmonics_setting;
  } else if (quotient > -1.0) {
    count = static_cast<int32_t>(quotient);
    if (count > harmonics_setting) count = harmonics_setting;
  } else {
    // A negative or NaN sample rate.
    count = 0;
  }
  if (count > kMaxHarmonics) return kMaxHarmonics;
  if (count < 0) return 0;
  return count;
}

SpanTuning TuneSpan(int16_t freq_scale, float pitch, float sample_rate, float radians_per_hz,
                    int32_t harmonics_setting) {
  const float frequency =
      freq_scale == kVoltPerOctave ? OctaveLawFrequency(pitch) : KilohertzLawFrequency(pitch);
  if (!IsRenderableFrequency(frequency)) return {0.0f, 0};
  const float increment = static_cast<float>(static_cast<double>(frequency) * radians_per_hz);
  if (!std::isfinite(increment)) return {0.0f, 0};
  return {increment, NyquistHarmonicCount(sample_rate, frequency, harmonics_setting)};
}

namespace {

// Any phase outside [-pi, pi) (none reaches these) goes through the whole function, out of line.
__attribute__((noinline)) float WholeSine(float phase) {
  return static_cast<float>(portable_math::sin(phase));
}

__attribute__((noinline)) float WholeCosine(float phase) {
  return static_cast<float>(portable_math::cos(phase));
}

}  // namespace

// For a phase in [-pi, pi), the only phases the oscillator has, the float of portable_math's
// fast path is the float of the correctly rounded value (tools/pelio_lanes_check walks every
// such phase): that path is taken without its rounding test, as the lanes take it.
float LibrarySine(float phase) {
  if (phase >= -kPi && phase < kPi) {
    return static_cast<float>(portable_math::detail::SinFastPath(phase));
  }
  return WholeSine(phase);
}

float LibraryCosine(float phase) {
  if (phase >= -kPi && phase < kPi) {
    return static_cast<float>(portable_math::detail::CosFastPath(phase));
  }
  return WholeCosine(phase);
}

float FiniteHalfSumWithoutSilentHarmonics(const float* partial, const float* amplitude,
                                          int32_t count) {
  // An overflowed or NaN harmonic counts nothing where its amplitude is 0. Leaving such terms out
  // only here keeps every finite reference sum untouched: even a finite harmonic times 0 could
  // otherwise turn a -0 sum into +0.
  float sum = 0.0f;
  for (int32_t i = 0; i < count; ++i) {
    if (amplitude[i] == 0.0f) continue;
    sum = static_cast<float>(static_cast<double>(partial[i]) * amplitude[i] + sum);
  }
  const float half = static_cast<float>(static_cast<double>(sum) * kOutputGain);
  if (std::isnan(half)) return 0.0f;
  if (std::isinf(half)) return half > 0.0f ? FLT_MAX : -FLT_MAX;
  return half;
}

float ReducePhase(float phase) {
  if (!std::isfinite(phase)) return -kPi;
  // fmod is exact, so this is the same remainder as any number of exact subtractions of 2 pi, on
  // every target, in one step however large the phase is.
  float reduced = std::fmod(phase, kTwoPi);
  // Both corrections are exact (the operands are within a factor of two of each other).
  if (reduced >= kPi) {
    reduced -= kTwoPi;
  } else if (reduced < -kPi) {
    reduced += kTwoPi;
  }
  return reduced;
}

void RenderSpan(const SpanSettings& span, OscillatorState& state) {
  for (int32_t n = 0; n < span.sample_count; ++n) {
    const SineCosine sine_cosine = SineAndCosine(state.phase, span.quality);
    state.multiplier = RecurrenceMultiplier(sine_cosine.cosine, span.mod[n]);
    HarmonicPartials(sine_cosine.sine, state.multiplier, span.harmonic_count, state.partial,
                     state.prev, state.prev2);
    span.output[n] = HalfWeightedSum(state.partial, span.amplitude, span.harmonic_count);
    state.phase = AdvancePhase(state.phase, span.increment);
  }
}

float NonFiniteSampleOutput(float sine, float multiplier, const float* amplitude, int32_t count) {
  float partial[kMaxHarmonics];
  float previous;
  float before_previous;
  HarmonicPartials(sine, multiplier, count, partial, previous, before_previous);
  return FiniteHalfSumWithoutSilentHarmonics(partial, amplitude, count);
}

}  // namespace pelio
