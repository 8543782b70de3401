// The measurements behind `modhost analyze`: level statistics, the spectrum, the fundamental and
// the levels of its first 16 harmonics.
//
// Accuracy comes from three choices. The Blackman-Harris window keeps every partial's leakage
// 92 dB under it, so weak harmonics next to strong ones are still peaks of their own. Zero-padding
// to at least twice the length makes the main lobe smooth enough that a parabola through the log
// magnitudes of the three top bins finds the peak's frequency to a few thousandths of a bin and
// its amplitude to a few thousandths of a dB. And the fundamental is fitted to every harmonic it
// explains, so a long tone with many harmonics is pinned down far below one bin.
#include "host/modhost/analyze/analysis.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>

#include "host/modhost/analyze/fft.h"

namespace modhost {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Partials this far under the strongest one do not take part in finding the fundamental. The
// window's side lobes (-92 dB) stay below it, so it only ever sees real partials.
constexpr double kSignificantBelowStrongestDb = -80.0;
// ... nor do partials less than this far above the spectrum's median, which is the noise floor
// for any tonal signal; 20 dB is far beyond the largest peak that white noise makes.
constexpr double kSignificantAboveFloorDb = 20.0;
// Half the width of the window's main lobe, in bins of the unpadded transform: no fundamental is
// sought below it, as its harmonics would merge into one peak.
constexpr double kMainLobeHalfWidthBins = 4.0;
// A peak must be the largest within this many unpadded bins on either side, so that the
// shoulders and side lobes of a partial are never taken for partials of their own.
constexpr double kPeakNeighbourhoodBins = 2.0;
// How far a partial may lie from a whole multiple of the fundamental and still count as that
// harmonic: half a bin for the peak's own error, plus a little for slightly inharmonic sources.
constexpr double kHarmonicToleranceBins = 0.5;
constexpr double kHarmonicToleranceRelative = 1e-5;
// The fundamental is sought among the strongest partial divided by 1 to this.
constexpr int kMaxHarmonicOfStrongest = 16;
// When no candidate explains every significant partial, the best must still explain more than
// this share of their energy for the signal to count as pitched.
constexpr double kMinExplainedEnergy = 0.5;

struct Peak {
  double frequency_hz = 0.0;
  double amplitude = 0.0;
};

double Square(double value) { return value * value; }

// The 4-term minimum Blackman-Harris window, periodic form, at sample `index` of `length`.
double BlackmanHarris(std::size_t index, std::size_t length) {
  const double angle = 2.0 * kPi * static_cast<double>(index) / static_cast<double>(length);
  return 0.35875 - 0.48829 * std::cos(angle) + 0.14128 * std::cos(2.0 * angle) -
         0.01168 * std::cos(3.0 * angle);
}

// Fills `spectrum` from the first samples of `clean` (non-finite values already zeroed).
void ComputeSpectrum(const std::vector<double>& clean, double mean, double sample_rate,
                     std::size_t length, Spectrum* spectrum) {
  std::size_t padded = 64;
  while (padded < 2 * length) padded *= 2;
  std::vector<double> input(padded, 0.0);

  double window_sum = 0.0;
  for (std::size_t index = 0; index < length; ++index) {
    const double weight = BlackmanHarris(index, length);
    window_sum += weight;
    input[index] = (clean[index] - mean) * weight;
  }
  const std::vector<std::complex<double>> output = RealFourierTransform(input);

  // A sinusoid of amplitude A gives A/2 · (sum of the window) at its frequency.
  const double scale = 2.0 / window_sum;
  spectrum->bin_hz = sample_rate / static_cast<double>(padded);
  spectrum->resolution_hz = sample_rate / static_cast<double>(length);
  spectrum->amplitude.resize(padded / 2 + 1);
  for (std::size_t bin = 0; bin <= padded / 2; ++bin) {
    spectrum->amplitude[bin] = static_cast<float>(std::abs(output[bin]) * scale);
  }
}

// The interpolated peak around `bin`, which should be a local maximum; the vertex of the parabola
// through the log magnitudes of `bin` and its neighbours is kept within half a bin.
Peak InterpolatePeak(const Spectrum& spectrum, std::size_t bin) {
  const std::vector<float>& amplitude = spectrum.amplitude;
  const double tiny = std::numeric_limits<double>::min();
  const double centre = std::log(std::max<double>(amplitude[bin], tiny));
  if (bin == 0 || bin + 1 >= amplitude.size()) {
    return {static_cast<double>(bin) * spectrum.bin_hz, std::exp(centre)};
  }
  const double below = std::log(std::max<double>(amplitude[bin - 1], tiny));
  const double above = std::log(std::max<double>(amplitude[bin + 1], tiny));
  const double curvature = below - 2.0 * centre + above;
  double offset = 0.0;
  if (curvature < 0.0) offset = std::clamp(0.5 * (below - above) / curvature, -0.5, 0.5);
  const double log_peak = centre - 0.25 * (below - above) * offset;
  return {(static_cast<double>(bin) + offset) * spectrum.bin_hz, std::exp(log_peak)};
}

// The largest value of the spectrum within [first, last], as an interpolated peak.
Peak StrongestPeakIn(const Spectrum& spectrum, std::size_t first, std::size_t last) {
  last = std::min(last, spectrum.amplitude.size() - 1);
  const auto begin = spectrum.amplitude.begin();
  const std::size_t bin =
      static_cast<std::size_t>(std::max_element(begin + first, begin + last + 1) - begin);
  return InterpolatePeak(spectrum, bin);
}

// The partials that the fundamental must explain, in ascending frequency: local maxima that are
// the largest within the main lobe around them and pass both significance thresholds.
std::vector<Peak> SignificantPeaks(const Spectrum& spectrum, std::size_t first_bin) {
  const std::vector<float>& amplitude = spectrum.amplitude;
  if (amplitude.size() < first_bin + 3) return {};
  std::vector<float> sorted(amplitude.begin() + first_bin, amplitude.end());
  auto middle = sorted.begin() + sorted.size() / 2;
  std::nth_element(sorted.begin(), middle, sorted.end());
  const double floor = *middle;
  const double strongest = *std::max_element(sorted.begin(), sorted.end());
  if (!(strongest > 0.0)) return {};
  const double threshold = std::max(strongest * std::pow(10.0, kSignificantBelowStrongestDb / 20.0),
                                    floor * std::pow(10.0, kSignificantAboveFloorDb / 20.0));

  const std::size_t lobe = static_cast<std::size_t>(
      std::ceil(kPeakNeighbourhoodBins * spectrum.resolution_hz / spectrum.bin_hz));
  std::vector<Peak> peaks;
  for (std::size_t bin = first_bin; bin + 1 < amplitude.size(); ++bin) {
    const float value = amplitude[bin];
    if (value < threshold || value <= amplitude[bin - 1] || value < amplitude[bin + 1]) continue;
    const std::size_t from = bin > lobe ? bin - lobe : 0;
    const std::size_t to = std::min(bin + lobe, amplitude.size() - 1);
    const bool largest_around = std::all_of(amplitude.begin() + from, amplitude.begin() + to + 1,
                                            [value](float other) { return other <= value; });
    if (largest_around) peaks.push_back(InterpolatePeak(spectrum, bin));
  }
  return peaks;
}

struct Explanation {
  bool explains_all = false;
  double explained_energy = 0.0;  // share of the peaks' energy at whole multiples
  double fundamental_hz = 0.0;    // least-squares fit to the explained peaks
};

// How well the harmonic series of `candidate_hz` explains `peaks` (ascending). The estimate is
// refitted after every explained peak, so that the tolerance at high harmonics rests on the
// lower ones rather than on the candidate alone: f0 = Σ a²·k·f_k / Σ a²·k², the least-squares
// fit of f_k = k·f0 weighted by each partial's power.
Explanation Explain(const std::vector<Peak>& peaks, double candidate_hz, double tolerance_hz) {
  Explanation result;
  double weighted_kf = 0.0;
  double weighted_kk = 0.0;
  double estimate = candidate_hz;
  double total_energy = 0.0;
  result.explains_all = true;
  for (const Peak& peak : peaks) {
    const double energy = Square(peak.amplitude);
    total_energy += energy;
    const double harmonic = std::round(peak.frequency_hz / estimate);
    const double tolerance = tolerance_hz + kHarmonicToleranceRelative * peak.frequency_hz;
    if (harmonic < 1.0 || std::abs(peak.frequency_hz - harmonic * estimate) > tolerance) {
      result.explains_all = false;
      continue;
    }
    result.explained_energy += energy;
    weighted_kf += energy * harmonic * peak.frequency_hz;
    weighted_kk += energy * harmonic * harmonic;
    estimate = weighted_kf / weighted_kk;
  }
  if (total_energy > 0.0) result.explained_energy /= total_energy;
  result.fundamental_hz = estimate;
  return result;
}

// The fundamental of `peaks`, or 0 when they have none (see analysis.h for the rule).
double FindFundamental(const std::vector<Peak>& peaks, double lowest_hz, double tolerance_hz) {
  if (peaks.empty()) return 0.0;
  const Peak& strongest = *std::max_element(
      peaks.begin(), peaks.end(),
      [](const Peak& left, const Peak& right) { return left.amplitude < right.amplitude; });
  // Candidates from the highest down: the first that explains everything wins, so a fundamental
  // that is only a subharmonic of the true one never does.
  double best_energy = -1.0;
  double best_hz = 0.0;
  for (int divisor = 1; divisor <= kMaxHarmonicOfStrongest; ++divisor) {
    const double candidate = strongest.frequency_hz / divisor;
    if (candidate < lowest_hz) break;
    const Explanation explanation = Explain(peaks, candidate, tolerance_hz);
    if (explanation.explains_all) return explanation.fundamental_hz;
    // Subharmonics explain at least as much as the pitch itself; keep the highest of equals.
    if (explanation.explained_energy > best_energy + 1e-9) {
      best_energy = explanation.explained_energy;
      best_hz = explanation.fundamental_hz;
    }
  }
  return best_energy > kMinExplainedEnergy ? best_hz : 0.0;
}

}  // namespace

double AmplitudeRatioToDb(double ratio) {
  if (!(ratio > 0.0)) return kLevelFloorDb;
  return std::max(kLevelFloorDb, 20.0 * std::log10(ratio));
}

SignalAnalysis Analyze(const float* samples, std::size_t count, double sample_rate) {
  if (!(sample_rate > 0.0) || !std::isfinite(sample_rate)) {
    throw std::invalid_argument("the sample rate must be a positive number");
  }
  SignalAnalysis result;
  result.sample_rate = sample_rate;
  result.sample_count = count;
  result.duration_seconds = static_cast<double>(count) / sample_rate;
  for (int index = 0; index < kHarmonicCount; ++index) result.harmonics[index].number = index + 1;
  if (count == 0) return result;

  std::vector<double> clean(count);
  double sum = 0.0;
  double sum_of_squares = 0.0;
  for (std::size_t index = 0; index < count; ++index) {
    double value = samples[index];
    if (!std::isfinite(value)) {
      ++result.non_finite_count;
      value = 0.0;
    }
    clean[index] = value;
    sum += value;
    sum_of_squares += value * value;
    result.peak = std::max(result.peak, std::abs(value));
  }
  const double samples_double = static_cast<double>(count);
  result.dc_offset = sum / samples_double;
  result.rms = std::sqrt(sum_of_squares / samples_double);
  // Around the mean, from the deviations themselves: sum_of_squares/n - mean² would cancel
  // catastrophically for a small tone on a large offset.
  double deviation_squares = 0.0;
  for (double value : clean) deviation_squares += Square(value - result.dc_offset);
  result.silent = std::sqrt(deviation_squares / samples_double) < kSilenceRms;

  result.spectrum_sample_count = std::min(count, kMaxSpectrumSamples);
  ComputeSpectrum(clean, result.dc_offset, sample_rate, result.spectrum_sample_count,
                  &result.spectrum);
  if (result.silent) return result;

  const Spectrum& spectrum = result.spectrum;
  const double resolution_hz = spectrum.resolution_hz;
  const double lowest_hz = kMainLobeHalfWidthBins * resolution_hz;
  const std::size_t first_bin = static_cast<std::size_t>(std::ceil(lowest_hz / spectrum.bin_hz));
  const std::vector<Peak> peaks = SignificantPeaks(spectrum, first_bin);
  result.fundamental_hz = FindFundamental(peaks, lowest_hz, kHarmonicToleranceBins * resolution_hz);
  result.has_pitch = result.fundamental_hz > 0.0;
  if (!result.has_pitch) return result;

  // Each harmonic is the strongest peak within one unpadded bin of its exact multiple.
  const double nyquist_hz = sample_rate / 2.0;
  const double search_bins = resolution_hz / spectrum.bin_hz;
  double strongest = 0.0;
  for (HarmonicLevel& harmonic : result.harmonics) {
    harmonic.frequency_hz = harmonic.number * result.fundamental_hz;
    harmonic.present = harmonic.frequency_hz < nyquist_hz;
    if (!harmonic.present) continue;
    const double centre = harmonic.frequency_hz / spectrum.bin_hz;
    const std::size_t first = static_cast<std::size_t>(std::max(0.0, centre - search_bins));
    const std::size_t last = static_cast<std::size_t>(std::ceil(centre + search_bins));
    harmonic.amplitude = StrongestPeakIn(spectrum, first, last).amplitude;
    strongest = std::max(strongest, harmonic.amplitude);
  }
  for (HarmonicLevel& harmonic : result.harmonics) {
    if (harmonic.present) harmonic.level_db = AmplitudeRatioToDb(harmonic.amplitude / strongest);
  }
  return result;
}

}  // namespace modhost
