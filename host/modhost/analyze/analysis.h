// What `modhost analyze` measures in a rendered signal, as a plain function on samples in memory,
// so that the measurements can be checked on synthetic signals without any file.
//
// The questions a user asks of an oscillator's rendering are "which pitch did it play" and
// "how loud is each harmonic": the fundamental frequency, the level of the first 16 harmonics
// relative to the strongest of them, and the plain level statistics (peak, RMS, DC offset).
//
// Method, in short (analysis.cpp explains each step):
//   - the spectrum is the FFT of the mean-free signal under a 4-term Blackman-Harris window
//     (side lobes below -92 dB), zero-padded to at least twice its length;
//   - spectral peaks are located by a parabola through the log magnitudes of three bins;
//   - the fundamental is the highest frequency of which every significant peak is a whole
//     multiple, searched among the strongest peak divided by 1 to 16, and refined by a
//     least-squares fit to all the peaks it explains. A weak or missing fundamental is therefore
//     still found, while a lone sinusoid is its own fundamental: no analysis can tell a lone
//     third harmonic from a sine three times as high.
// "Significant" means within 80 dB of the strongest partial and 20 dB above the noise floor. A
// waveform that aliases (a naive square whose period is not a whole number of samples, unlike an
// oscillator that drops the harmonics above half the sample rate) has partials in between its
// harmonics; when they are that strong, the sampled signal really repeats only after several
// periods, and that longer period is what is reported.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace modhost {

inline constexpr int kHarmonicCount = 16;

// Levels that are lower than this relative to the strongest harmonic (including exact zeros,
// whose logarithm has no value) are reported as this.
inline constexpr double kLevelFloorDb = -200.0;

// A signal whose RMS around its mean is below this (-160 dB relative to full scale, under the
// quantization step of a 24-bit file) is silent: it has a DC offset but no pitch.
inline constexpr double kSilenceRms = 1e-8;

// The spectrum is computed from at most this many samples (about 44 s at 48 kHz) from the start;
// the level statistics always cover every sample.
inline constexpr std::size_t kMaxSpectrumSamples = std::size_t{1} << 21;

struct HarmonicLevel {
  int number = 0;             // 1 for the fundamental, 2 for the octave, ...
  double frequency_hz = 0.0;  // number × the fundamental
  bool present = false;       // false above half the sample rate, and for every harmonic when
                              // the signal has no pitch
  double amplitude = 0.0;     // peak amplitude of that partial, in the signal's units (1.0 = full
                              // scale = 10 V); the spectrum's value there when nothing sounds
  double level_db = kLevelFloorDb;  // 20·log10(amplitude / strongest present harmonic's),
                                    // never below kLevelFloorDb
};

// The magnitude spectrum, scaled so that a sinusoid of amplitude A peaks at A.
struct Spectrum {
  double bin_hz = 0.0;           // frequency step between two values (zero-padded)
  std::vector<float> amplitude;  // from 0 Hz to half the sample rate inclusive
  double resolution_hz = 0.0;    // bin width of the unpadded transform: sample rate / length
};

struct SignalAnalysis {
  double sample_rate = 0.0;
  std::size_t sample_count = 0;
  double duration_seconds = 0.0;
  std::size_t non_finite_count = 0;  // NaN and infinite samples, counted as 0 everywhere else

  double peak = 0.0;       // largest absolute sample
  double rms = 0.0;        // root mean square, DC included
  double dc_offset = 0.0;  // mean

  bool silent = true;           // RMS around the mean below kSilenceRms (or no samples)
  bool has_pitch = false;       // false when silent, or when no harmonic series explains the
                                // spectrum (noise, or partials without a common fundamental)
  double fundamental_hz = 0.0;  // 0 when !has_pitch
  std::array<HarmonicLevel, kHarmonicCount> harmonics{};

  std::size_t spectrum_sample_count = 0;  // samples that entered the spectrum
  Spectrum spectrum;
};

// Analyzes `count` samples taken at `sample_rate` (> 0; otherwise std::invalid_argument).
SignalAnalysis Analyze(const float* samples, std::size_t count, double sample_rate);

// 20·log10(amplitude) floored at kLevelFloorDb, for amplitudes relative to a reference.
double AmplitudeRatioToDb(double ratio);

}  // namespace modhost
