// One frame's pitch, confidence, RMS and harmonic levels (see pitch_track.h).
#include "host/modhost/analyze/pitch_track.h"

#include <algorithm>
#include <cmath>

namespace modhost {
namespace {

// The frame spectrum's padding: enough for the periodicity (harmonic_fit.h); the frame's levels
// need no finer grid than its own bins.
constexpr double kFramePadding = 1.3;

}  // namespace

// Shorter frames than this many samples add nothing.
constexpr std::size_t kShortestFrame = 32;

FrameAnalyzer::FrameAnalyzer(std::size_t length, double sample_rate) : samples_(length) {
  spectra_.emplace_back(length, sample_rate, kFramePadding);
  for (double share : kShorterFrames) {
    const std::size_t shorter = static_cast<std::size_t>(std::round(share * length));
    if (shorter >= kShortestFrame) spectra_.emplace_back(shorter, sample_rate, kFramePadding);
  }
}

bool FrameAnalyzer::AnalyzeLength(std::size_t index, PitchFrame* frame) {
  WindowedSpectrum& transform = spectra_[index];
  const double* samples = samples_.data() + (samples_.size() - transform.length()) / 2;
  double sum = 0.0;
  for (std::size_t at = 0; at < transform.length(); ++at) sum += samples[at];
  transform.Compute(samples, sum / static_cast<double>(transform.length()));
  const Spectrum& spectrum = transform.spectrum();
  const double floor = NoiseFloor(spectrum, transform.first_bin());
  const std::vector<Peak> peaks = SignificantPeaks(spectrum, transform.first_bin(), floor);
  const std::vector<double> candidates =
      FundamentalCandidates(peaks, transform.lowest_pitch_hz(), 0.5 * spectrum.resolution_hz);
  if (candidates.empty()) return false;
  std::vector<double> periodicities;
  for (double candidate : candidates) {
    periodicities.push_back(
        std::clamp(transform.Periodicity(transform.sample_rate() / candidate), 0.0, 1.0));
  }
  const double best = *std::max_element(periodicities.begin(), periodicities.end());
  std::size_t chosen = 0;
  while (periodicities[chosen] < best - kPeriodicityMargin) ++chosen;
  const double candidate_hz = candidates[chosen];
  const double confidence = periodicities[chosen];
  frame->confidence = std::max(frame->confidence, confidence);
  if (confidence < kPitchedConfidence) return false;
  frame->confidence = confidence;
  frame->pitch_hz = candidate_hz;
  const HarmonicLevels levels = MeasureHarmonics(spectrum, transform.sample_rate(), candidate_hz);
  for (int harmonic = 0; harmonic < kHarmonicCount; ++harmonic) {
    if (levels[harmonic].found) {
      frame->harmonic_dbfs[harmonic] = static_cast<float>(levels[harmonic].level_dbfs);
    }
  }
  return true;
}

PitchFrame FrameAnalyzer::Analyze(const float* samples) {
  PitchFrame frame;
  frame.harmonic_dbfs.fill(static_cast<float>(kLevelFloorDb));
  const std::size_t length = samples_.size();
  double sum = 0.0;
  double sum_of_squares = 0.0;
  for (std::size_t index = 0; index < length; ++index) {
    const double value = std::isfinite(samples[index]) ? samples[index] : 0.0;
    samples_[index] = value;
    sum += value;
    sum_of_squares += value * value;
  }
  const double mean = sum / static_cast<double>(length);
  frame.rms = std::sqrt(sum_of_squares / static_cast<double>(length));
  double deviation_squares = 0.0;
  for (double value : samples_) deviation_squares += (value - mean) * (value - mean);
  const bool silent = std::sqrt(deviation_squares / static_cast<double>(length)) < kSilenceRms;
  if (silent) {
    spectra_.front().Compute(samples_.data(), mean);
    return frame;
  }
  bool pitched = AnalyzeLength(0, &frame);
  for (std::size_t index = 1; index < spectra_.size() && !pitched; ++index) {
    pitched = AnalyzeLength(index, &frame);
  }
  return frame;
}

}  // namespace modhost
