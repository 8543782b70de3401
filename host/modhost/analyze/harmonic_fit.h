// The spectral measurements that every stage of `modhost analyze` shares: the windowed magnitude
// spectrum of one stretch of samples, its noise floor, its peaks, the harmonic series that
// explains them, the levels of harmonics 1 to 16, and the stretch's periodicity at any lag.
//
// Every level is an amplitude relative to full scale (1.0 = 10 V), shown in dBFS: a sinusoid of
// amplitude A peaks at A in the spectrum, so a full-scale sine reads 0 dBFS wherever it is drawn
// or printed.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <vector>

#include "host/modhost/analyze/fft.h"

namespace modhost {

inline constexpr int kHarmonicCount = 16;

// Levels below this (exact zeros included, whose logarithm has no value) are reported as this.
inline constexpr double kLevelFloorDb = -200.0;

// A harmonic is "found" when its peak stands at least this far above the noise floor around it:
// the median of the spectrum within half a fundamental (and at least kFloorHalfWidthBins) to
// either side. Between partials the median lies on the noise or on the side lobes of a strong
// neighbour, whose leakage is therefore never taken for a harmonic.
inline constexpr double kFoundAboveFloorDb = 12.0;
inline constexpr double kFloorHalfWidthBins = 8.0;

// No fundamental is sought below this many bins of the unpadded transform: the harmonics of a
// lower one would fall inside each other's main lobe (the window's is 4 bins to either side).
inline constexpr double kLowestPitchBins = 3.5;

struct Peak {
  double frequency_hz = 0.0;
  double amplitude = 0.0;
};

// The magnitude spectrum, scaled so that a sinusoid of amplitude A peaks at A.
struct Spectrum {
  double bin_hz = 0.0;           // frequency step between two values (zero-padded)
  double resolution_hz = 0.0;    // bin width of the unpadded transform: sample rate / length
  std::vector<float> amplitude;  // from 0 Hz to half the sample rate inclusive
};

struct HarmonicLevel {
  int number = 0;              // 1 for the fundamental, 2 for the octave, ...
  double frequency_hz = 0.0;   // number × the fundamental
  bool below_nyquist = false;  // below half the sample rate
  bool found = false;          // below Nyquist and at least kFoundAboveFloorDb over the floor
  double amplitude = 0.0;      // the spectrum's peak within one bin of frequency_hz (1.0 = full
                               // scale); what lies there, found or not
  double level_dbfs = kLevelFloorDb;  // 20·log10(amplitude), never below kLevelFloorDb
  double floor_dbfs = kLevelFloorDb;  // the noise floor around it
};
using HarmonicLevels = std::array<HarmonicLevel, kHarmonicCount>;

// The Blackman-Harris spectrum of stretches of one length, one after the other, and the
// periodicity of the last one. Everything is allocated at construction.
class WindowedSpectrum {
 public:
  // Stretches of `length` samples (2 or more) at `sample_rate`, zero-padded to a power of two of
  // at least `padding` times the length. Padding by 2 makes the main lobes smooth enough for a
  // parabola through three bins to find a peak to a few thousandths of a bin; the periodicity
  // needs at least 1.3, so that the circular autocorrelation does not wrap at the lags searched.
  WindowedSpectrum(std::size_t length, double sample_rate, double padding);

  std::size_t length() const { return length_; }
  double sample_rate() const { return sample_rate_; }
  double lowest_pitch_hz() const { return kLowestPitchBins * spectrum_.resolution_hz; }
  // The first bin at or above lowest_pitch_hz().
  std::size_t first_bin() const { return first_bin_; }

  // Computes the spectrum of `samples` (length() finite values) around `mean`.
  void Compute(const double* samples, double mean);
  const Spectrum& spectrum() const { return spectrum_; }
  // The squared magnitudes behind spectrum(), on the same scale.
  const std::vector<double>& power() const { return power_; }

  // The last stretch's autocorrelation at `lag` samples (any real lag from 0 to a third of the
  // length), normalized and divided by the window's own, after Boersma (1993): 1 for a signal
  // that repeats after `lag`, near 0 for noise, negative for one in opposite phase. Computed
  // from the spectrum, so a fractional lag is interpolated as a band-limited signal would be.
  double Periodicity(double lag) const;

 private:
  std::size_t length_;
  double sample_rate_;
  std::size_t first_bin_ = 0;
  std::vector<double> window_;
  double window_sum_ = 0.0;
  std::vector<double> window_power_;
  std::vector<double> input_;
  std::vector<std::complex<double>> output_;
  RealFourierTransformer transformer_;
  Spectrum spectrum_;
  std::vector<double> power_;
};

// 20·log10(amplitude), floored at kLevelFloorDb.
double AmplitudeToDbfs(double amplitude);

// The median of `spectrum` from `first_bin` up to `last_bin` (inclusive; by default the end): the
// floor under a tonal signal's partials.
double NoiseFloor(const Spectrum& spectrum, std::size_t first_bin,
                  std::size_t last_bin = static_cast<std::size_t>(-1));

// The partials a fundamental must explain, in ascending frequency: local maxima from `first_bin`
// up that are the largest within two unpadded bins, within 80 dB of the strongest and at least
// 20 dB over `floor`.
std::vector<Peak> SignificantPeaks(const Spectrum& spectrum, std::size_t first_bin, double floor);

// The candidates for the fundamental of `peaks`, highest first: the strongest peak divided by 1
// to 16 (down to `lowest_hz`), each fitted to the peaks its harmonic series explains. Which one
// is the pitch takes the time domain to tell (pitch_track.h): a set of peaks alone cannot say
// whether the signal repeats after one of their periods.
std::vector<double> FundamentalCandidates(const std::vector<Peak>& peaks, double lowest_hz,
                                          double tolerance_hz);

// The fundamental near `estimate_hz` fitted to the significant peaks of `spectrum` that lie at
// its whole multiples (a least-squares fit of f_k = k·f0 weighted by each partial's power), so
// that a long tone with many harmonics is pinned down far below one bin. `uncertainty` is the
// estimate's relative error bound; each harmonic taken narrows it for the next.
double FitFundamental(const Spectrum& spectrum, std::size_t first_bin, double floor,
                      double estimate_hz, double uncertainty);

// The fundamental of a series whose first harmonic is weak: the highest of `fundamental_hz`
// divided by 2 to 16 that is itself a significant peak of `spectrum` no more than 60 dB under the
// strongest, or `fundamental_hz` when none is. The frames take the pitch a listener hears (a
// fundamental 40 dB under its third harmonic adds 0.01% of the energy); the one fundamental of a
// steady file is the series' own, so that harmonic 1 is the weak partial. A subharmonic whose
// period is a whole number of samples is left alone: that is where the aliases of a naive
// waveform fall (a sawtooth of 440 Hz at 48 kHz aliases onto multiples of 40 Hz).
double WeakFundamental(const Spectrum& spectrum, double sample_rate, std::size_t first_bin,
                       double floor, double fundamental_hz);

// The levels of harmonics 1 to 16 of `fundamental_hz` in `spectrum`, each found or not against
// the floor around it.
HarmonicLevels MeasureHarmonics(const Spectrum& spectrum, double sample_rate,
                                double fundamental_hz);

}  // namespace modhost
