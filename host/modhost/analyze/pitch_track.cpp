// One frame's pitch, confidence, RMS and harmonic levels (see pitch_track.h).
#include "host/modhost/analyze/pitch_track.h"

#include <algorithm>
#include <cmath>

namespace modhost {
namespace {

// The frame spectrum's padding: enough for the periodicity (spectrum.h); the frame's levels need
// no finer grid than its own bins.
constexpr double kFramePadding = 1.3;

}  // namespace

FrameAnalyzer::FrameAnalyzer(std::size_t length, double sample_rate)
    : spectrum_(length, sample_rate, kFramePadding), samples_(length) {}

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
  spectrum_.Compute(samples_.data(), mean);
  if (std::sqrt(deviation_squares / static_cast<double>(length)) < kSilenceRms) return frame;

  const Spectrum& spectrum = spectrum_.spectrum();
  const double floor = NoiseFloor(spectrum, spectrum_.first_bin());
  const std::vector<Peak> peaks = SignificantPeaks(spectrum, spectrum_.first_bin(), floor);
  const double candidate_hz =
      ChooseFundamental(peaks, spectrum_.lowest_pitch_hz(), 0.5 * spectrum.resolution_hz);
  if (!(candidate_hz > 0.0)) return frame;
  frame.confidence =
      std::clamp(spectrum_.Periodicity(spectrum_.sample_rate() / candidate_hz), 0.0, 1.0);
  if (frame.confidence < kPitchedConfidence) return frame;
  frame.pitch_hz = candidate_hz;
  const HarmonicLevels levels = MeasureHarmonics(spectrum, spectrum_.sample_rate(), candidate_hz);
  for (int index = 0; index < kHarmonicCount; ++index) {
    if (levels[index].found)
      frame.harmonic_dbfs[index] = static_cast<float>(levels[index].level_dbfs);
  }
  return frame;
}

}  // namespace modhost
