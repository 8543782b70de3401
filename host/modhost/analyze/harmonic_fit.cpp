// The spectrum, its peaks and the harmonic fit (see harmonic_fit.h).
//
// Accuracy comes from three choices. The 4-term Blackman-Harris window keeps every partial's
// leakage 92 dB under it, so weak harmonics next to strong ones are still peaks of their own.
// Zero-padding makes the main lobe smooth enough that a parabola through the log magnitudes of
// the three top bins finds a peak's frequency to a few thousandths of a bin and its amplitude to
// a few thousandths of a dB. And the fundamental is fitted to every harmonic it explains.
#include "host/modhost/analyze/harmonic_fit.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace modhost {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Partials this far under the strongest one do not take part in finding the fundamental. The
// window's side lobes (-92 dB) stay below it, so it only ever sees real partials.
constexpr double kSignificantBelowStrongestDb = -80.0;
// ... nor do partials less than this far above the noise floor; 20 dB is far beyond the largest
// peak that white noise makes.
constexpr double kSignificantAboveFloorDb = 20.0;
// A peak must be the largest within this many unpadded bins on either side, so that the
// shoulders and side lobes of a partial are never taken for partials of their own.
constexpr double kPeakNeighbourhoodBins = 2.0;
// How far a partial may lie from a whole multiple of the fundamental and still count as that
// harmonic: half a bin for the peak's own error, plus a little for slightly inharmonic sources.
constexpr double kHarmonicToleranceBins = 0.5;
constexpr double kHarmonicToleranceRelative = 1e-5;
// The fundamental is sought among the strongest partial divided by 1 to this.
constexpr int kMaxHarmonicOfStrongest = 16;
constexpr double kWeakFundamentalBelowStrongestDb = -60.0;
// How close to a whole number of samples a period must be to count as one.
constexpr double kWholePeriodTolerance = 1e-4;

double Square(double value) { return value * value; }

// The 4-term minimum Blackman-Harris window, periodic form, at sample `index` of `length`.
double BlackmanHarris(std::size_t index, std::size_t length) {
  const double angle = 2.0 * kPi * static_cast<double>(index) / static_cast<double>(length);
  return 0.35875 - 0.48829 * std::cos(angle) + 0.14128 * std::cos(2.0 * angle) -
         0.01168 * std::cos(3.0 * angle);
}

std::size_t PaddedLength(std::size_t length, double padding) {
  std::size_t padded = 64;
  while (static_cast<double>(padded) < padding * static_cast<double>(length)) padded *= 2;
  return padded;
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

struct Explanation {
  double explained_share = 0.0;  // share of the peaks' energy at whole multiples
  double fundamental_hz = 0.0;   // least-squares fit to the explained peaks
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
  for (const Peak& peak : peaks) {
    const double energy = Square(peak.amplitude);
    total_energy += energy;
    const double harmonic = std::round(peak.frequency_hz / estimate);
    const double tolerance = tolerance_hz + kHarmonicToleranceRelative * peak.frequency_hz;
    if (harmonic < 1.0 || std::abs(peak.frequency_hz - harmonic * estimate) > tolerance) continue;
    result.explained_share += energy;
    weighted_kf += energy * harmonic * peak.frequency_hz;
    weighted_kk += energy * harmonic * harmonic;
    estimate = weighted_kf / weighted_kk;
  }
  if (total_energy > 0.0) result.explained_share /= total_energy;
  result.fundamental_hz = estimate;
  return result;
}

}  // namespace

WindowedSpectrum::WindowedSpectrum(std::size_t length, double sample_rate, double padding)
    : length_(length),
      sample_rate_(sample_rate),
      window_(length),
      input_(PaddedLength(length, padding), 0.0),
      transformer_(input_.size()) {
  for (std::size_t index = 0; index < length; ++index) {
    window_[index] = BlackmanHarris(index, length);
    window_sum_ += window_[index];
  }
  std::copy(window_.begin(), window_.end(), input_.begin());
  transformer_.Transform(input_.data(), &output_);
  window_power_.resize(output_.size());
  for (std::size_t bin = 0; bin < output_.size(); ++bin)
    window_power_[bin] = std::norm(output_[bin]);

  spectrum_.bin_hz = sample_rate / static_cast<double>(input_.size());
  spectrum_.resolution_hz = sample_rate / static_cast<double>(length);
  spectrum_.amplitude.assign(output_.size(), 0.0f);
  power_.assign(output_.size(), 0.0);
  first_bin_ = static_cast<std::size_t>(std::ceil(lowest_pitch_hz() / spectrum_.bin_hz));
}

void WindowedSpectrum::Compute(const double* samples, double mean) {
  for (std::size_t index = 0; index < length_; ++index) {
    input_[index] = (samples[index] - mean) * window_[index];
  }
  transformer_.Transform(input_.data(), &output_);
  // A sinusoid of amplitude A gives A/2 · (sum of the window) at its frequency.
  const double scale = Square(2.0 / window_sum_);
  for (std::size_t bin = 0; bin < output_.size(); ++bin) {
    power_[bin] = std::norm(output_[bin]) * scale;
    spectrum_.amplitude[bin] = static_cast<float>(std::sqrt(power_[bin]));
  }
}

double WindowedSpectrum::Periodicity(double lag) const {
  // r(lag) = Σ c_k·|X_k|²·cos(2π·k·lag/N), c_k = 1 at 0 and N/2 and 2 between: the linear
  // autocorrelation, as the padding leaves no wrap-around at the lags asked for. The cosines come
  // from one rotation, whose rounding error over even a million steps stays near 1e-10.
  const std::size_t bins = power_.size();
  const double angle = 2.0 * kPi * lag / static_cast<double>(input_.size());
  const std::complex<double> step(std::cos(angle), std::sin(angle));
  std::complex<double> rotation(1.0, 0.0);
  double signal_at_lag = 0.0;
  double signal_at_zero = 0.0;
  double window_at_lag = 0.0;
  double window_at_zero = 0.0;
  for (std::size_t bin = 0; bin < bins; ++bin) {
    const double weight = bin == 0 || bin + 1 == bins ? 1.0 : 2.0;
    signal_at_lag += weight * power_[bin] * rotation.real();
    signal_at_zero += weight * power_[bin];
    window_at_lag += weight * window_power_[bin] * rotation.real();
    window_at_zero += weight * window_power_[bin];
    rotation *= step;
  }
  if (!(signal_at_zero > 0.0) || !(window_at_lag > 0.0)) return 0.0;
  return (signal_at_lag / signal_at_zero) / (window_at_lag / window_at_zero);
}

double AmplitudeToDbfs(double amplitude) {
  if (!(amplitude > 0.0)) return kLevelFloorDb;
  return std::max(kLevelFloorDb, 20.0 * std::log10(amplitude));
}

double NoiseFloor(const Spectrum& spectrum, std::size_t first_bin, std::size_t last_bin) {
  const std::vector<float>& amplitude = spectrum.amplitude;
  if (first_bin >= amplitude.size()) return 0.0;
  last_bin = std::min(last_bin, amplitude.size() - 1);
  std::vector<float> sorted(amplitude.begin() + first_bin, amplitude.begin() + last_bin + 1);
  auto middle = sorted.begin() + sorted.size() / 2;
  std::nth_element(sorted.begin(), middle, sorted.end());
  return *middle;
}

std::vector<Peak> SignificantPeaks(const Spectrum& spectrum, std::size_t first_bin, double floor) {
  const std::vector<float>& amplitude = spectrum.amplitude;
  if (amplitude.size() < first_bin + 3) return {};
  const double strongest = *std::max_element(amplitude.begin() + first_bin, amplitude.end());
  if (!(strongest > 0.0)) return {};
  const double threshold = std::max(strongest * std::pow(10.0, kSignificantBelowStrongestDb / 20.0),
                                    floor * std::pow(10.0, kSignificantAboveFloorDb / 20.0));

  const std::size_t lobe = static_cast<std::size_t>(
      std::ceil(kPeakNeighbourhoodBins * spectrum.resolution_hz / spectrum.bin_hz));
  std::vector<Peak> peaks;
  for (std::size_t bin = std::max<std::size_t>(first_bin, 1); bin + 1 < amplitude.size(); ++bin) {
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

std::vector<double> FundamentalCandidates(const std::vector<Peak>& peaks, double lowest_hz,
                                          double tolerance_hz) {
  std::vector<double> candidates;
  if (peaks.empty()) return candidates;
  const Peak& strongest = *std::max_element(
      peaks.begin(), peaks.end(),
      [](const Peak& left, const Peak& right) { return left.amplitude < right.amplitude; });
  for (int divisor = 1; divisor <= kMaxHarmonicOfStrongest; ++divisor) {
    const double candidate = strongest.frequency_hz / divisor;
    if (candidate < lowest_hz) break;
    candidates.push_back(Explain(peaks, candidate, tolerance_hz).fundamental_hz);
  }
  return candidates;
}

double FitFundamental(const Spectrum& spectrum, std::size_t first_bin, double floor,
                      double estimate_hz, double uncertainty) {
  if (!(estimate_hz > 0.0)) return 0.0;
  const double half_bin = kHarmonicToleranceBins * spectrum.resolution_hz;
  double estimate = estimate_hz;
  double weighted_kf = 0.0;
  double weighted_kk = 0.0;
  for (const Peak& peak : SignificantPeaks(spectrum, first_bin, floor)) {
    const double harmonic = std::round(peak.frequency_hz / estimate);
    if (harmonic < 1.0) continue;
    const double tolerance = std::min(half_bin + kHarmonicToleranceRelative * peak.frequency_hz +
                                          harmonic * uncertainty * estimate,
                                      0.25 * estimate);
    if (std::abs(peak.frequency_hz - harmonic * estimate) > tolerance) continue;
    const double energy = Square(peak.amplitude);
    weighted_kf += energy * harmonic * peak.frequency_hz;
    weighted_kk += energy * harmonic * harmonic;
    estimate = weighted_kf / weighted_kk;
    // A harmonic taken pins the fundamental to within its own error divided by its number.
    uncertainty = std::min(uncertainty, half_bin / (harmonic * estimate));
  }
  return estimate;
}

double WeakFundamental(const Spectrum& spectrum, double sample_rate, std::size_t first_bin,
                       double floor, double fundamental_hz) {
  const std::vector<Peak> peaks = SignificantPeaks(spectrum, first_bin, floor);
  double strongest = 0.0;
  for (const Peak& peak : peaks) strongest = std::max(strongest, peak.amplitude);
  const double weakest = strongest * std::pow(10.0, kWeakFundamentalBelowStrongestDb / 20.0);
  const double tolerance = kHarmonicToleranceBins * spectrum.resolution_hz;
  const double lowest_hz = static_cast<double>(first_bin) * spectrum.bin_hz;
  for (int divisor = 2; divisor <= kMaxHarmonicOfStrongest; ++divisor) {
    const double candidate = fundamental_hz / divisor;
    if (candidate < lowest_hz) break;
    const double period = sample_rate / candidate;
    if (std::abs(period - std::round(period)) <= kWholePeriodTolerance * period) continue;
    for (const Peak& peak : peaks) {
      if (peak.amplitude >= weakest && std::abs(peak.frequency_hz - candidate) <= tolerance) {
        return candidate;
      }
    }
  }
  return fundamental_hz;
}

HarmonicLevels MeasureHarmonics(const Spectrum& spectrum, double sample_rate,
                                double fundamental_hz) {
  HarmonicLevels levels{};
  const double nyquist_hz = sample_rate / 2.0;
  const double search_bins = spectrum.resolution_hz / spectrum.bin_hz;
  const double floor_bins =
      std::max(0.5 * fundamental_hz, kFloorHalfWidthBins * spectrum.resolution_hz) /
      spectrum.bin_hz;
  for (int index = 0; index < kHarmonicCount; ++index) {
    HarmonicLevel& harmonic = levels[index];
    harmonic.number = index + 1;
    harmonic.frequency_hz = harmonic.number * fundamental_hz;
    harmonic.below_nyquist = fundamental_hz > 0.0 && harmonic.frequency_hz < nyquist_hz;
    if (!harmonic.below_nyquist || spectrum.amplitude.empty()) continue;
    const double centre = harmonic.frequency_hz / spectrum.bin_hz;
    const std::size_t first = static_cast<std::size_t>(std::max(0.0, centre - search_bins));
    const std::size_t last = static_cast<std::size_t>(std::ceil(centre + search_bins));
    harmonic.amplitude = StrongestPeakIn(spectrum, first, last).amplitude;
    harmonic.level_dbfs = AmplitudeToDbfs(harmonic.amplitude);
    const double floor =
        NoiseFloor(spectrum, static_cast<std::size_t>(std::max(0.0, centre - floor_bins)),
                   static_cast<std::size_t>(centre + floor_bins));
    harmonic.floor_dbfs = AmplitudeToDbfs(floor);
    harmonic.found =
        harmonic.amplitude > 0.0 && harmonic.level_dbfs >= harmonic.floor_dbfs + kFoundAboveFloorDb;
  }
  return levels;
}

}  // namespace modhost
