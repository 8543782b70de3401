// The two passes of the analysis (see analysis.h): statistics and frames while the samples stream
// by, then the stable stretch's excerpt for the fundamental and its harmonics.
#include "host/modhost/analyze/analysis.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace modhost {
namespace {

constexpr std::size_t kBlockSamples = 65536;
// The excerpt's padding: enough for peaks to a few thousandths of a bin (harmonic_fit.h).
constexpr double kExcerptPadding = 2.0;
constexpr double kWaveformPeriods = 3.0;
// How far a frame's pitch may be from the truth, relatively, where the refinement starts: the
// frames' peaks err by a small fraction of a 5 Hz bin, which is 0.1% of the lowest pitch.
constexpr double kFrameUncertainty = 0.002;
// Below this many samples there are no frames: nothing to take a pitch from.
constexpr std::size_t kShortestFrame = 16;

// Mean and sum of squared deviations of a stream, block by block (Chan et al.'s update), so that
// a small tone on a large offset keeps its precision over any length.
struct RunningMoments {
  double count = 0.0;
  double mean = 0.0;
  double deviation_squares = 0.0;
  double squares = 0.0;

  void Add(const double* values, std::size_t size) {
    if (size == 0) return;
    double sum = 0.0;
    for (std::size_t index = 0; index < size; ++index) sum += values[index];
    const double block_count = static_cast<double>(size);
    const double block_mean = sum / block_count;
    double block_deviations = 0.0;
    for (std::size_t index = 0; index < size; ++index) {
      const double deviation = values[index] - block_mean;
      block_deviations += deviation * deviation;
      squares += values[index] * values[index];
    }
    const double total = count + block_count;
    const double delta = block_mean - mean;
    mean += delta * block_count / total;
    deviation_squares += block_deviations + delta * delta * count * block_count / total;
    count = total;
  }
};

struct FramePlan {
  std::size_t length = 0;
  std::uint64_t hop = 0;
  std::size_t count = 0;
  std::uint64_t first_start = 0;  // frames are centred in the file
};

FramePlan PlanFrames(std::uint64_t samples, double sample_rate) {
  FramePlan plan;
  plan.length = static_cast<std::size_t>(
      std::min<double>(static_cast<double>(samples), std::round(kFrameSeconds * sample_rate)));
  if (plan.length < kShortestFrame) return {};
  const std::uint64_t room = samples - plan.length;
  plan.hop =
      std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::round(kHopSeconds * sample_rate)));
  if (room / plan.hop + 1 > kMaxFrames) plan.hop = (room + kMaxFrames - 2) / (kMaxFrames - 1);
  plan.count = static_cast<std::size_t>(room / plan.hop + 1);
  plan.first_start = (room - (plan.count - 1) * plan.hop) / 2;
  return plan;
}

// Folds the spectrum of frame `index` of `frame_count` into the spectrogram.
void AddToSpectrogram(const Spectrum& spectrum, std::size_t index, std::size_t frame_count,
                      Spectrogram* spectrogram) {
  const std::size_t column = index * spectrogram->columns / frame_count;
  const std::size_t bins = spectrum.amplitude.size();
  float* values = &spectrogram->amplitude[column * spectrogram->rows];
  for (std::size_t row = 0; row < spectrogram->rows; ++row) {
    const std::size_t first = row * bins / spectrogram->rows;
    const std::size_t last = std::max(first + 1, (row + 1) * bins / spectrogram->rows);
    for (std::size_t bin = first; bin < last; ++bin) {
      values[row] = std::max(values[row], spectrum.amplitude[bin]);
    }
  }
}

// The fundamental and harmonics of `segment`, from an excerpt in its middle.
bool RefineOnExcerpt(SampleSource& source, const FramePlan& plan, const PitchSegment& segment,
                     SignalAnalysis* result, std::string* error) {
  const double rate = result->sample_rate;
  // A hop in from the segment's ends, where a neighbour's frames may have reached.
  const double hop_seconds = result->hop_seconds;
  const double start = segment.start_seconds + (segment.start_seconds > 0.0 ? hop_seconds : 0.0);
  const double end =
      segment.end_seconds - (segment.end_seconds < result->duration_seconds ? hop_seconds : 0.0);
  const std::uint64_t first = static_cast<std::uint64_t>(std::max(0.0, std::round(start * rate)));
  const std::uint64_t last = std::min<std::uint64_t>(
      result->sample_count, static_cast<std::uint64_t>(std::max(0.0, std::round(end * rate))));
  std::uint64_t available = last > first ? last - first : 0;
  if (available < plan.length)
    available = std::min<std::uint64_t>(plan.length, result->sample_count - first);
  const std::size_t count =
      static_cast<std::size_t>(std::min<std::uint64_t>(available, kMaxExcerptSamples));
  result->excerpt_first = first + (available - count) / 2;
  result->excerpt_count = count;

  std::vector<float> samples(count);
  if (!source.Read(result->excerpt_first, count, samples.data(), error)) return false;
  std::vector<double> clean(count);
  double sum = 0.0;
  for (std::size_t index = 0; index < count; ++index) {
    clean[index] = std::isfinite(samples[index]) ? samples[index] : 0.0;
    sum += clean[index];
  }
  WindowedSpectrum excerpt(count, rate, kExcerptPadding);
  excerpt.Compute(clean.data(), sum / static_cast<double>(count));
  const Spectrum& spectrum = excerpt.spectrum();
  const double floor = NoiseFloor(spectrum, excerpt.first_bin());
  result->fundamental_hz =
      FitFundamental(spectrum, excerpt.first_bin(), floor, segment.frequency_hz, kFrameUncertainty);
  const double weak =
      WeakFundamental(spectrum, rate, excerpt.first_bin(), floor, result->fundamental_hz);
  if (weak != result->fundamental_hz) {
    result->fundamental_hz =
        FitFundamental(spectrum, excerpt.first_bin(), floor, weak, spectrum.resolution_hz / weak);
  }
  result->harmonics = MeasureHarmonics(spectrum, rate, result->fundamental_hz);
  const std::size_t shown = std::min<std::size_t>(
      count,
      static_cast<std::size_t>(std::ceil(kWaveformPeriods * rate / result->fundamental_hz)) + 1);
  result->waveform.assign(samples.begin(), samples.begin() + shown);
  return true;
}

}  // namespace

bool MemorySource::Read(std::uint64_t first, std::size_t count, float* into, std::string* error) {
  if (first > count_ || count > count_ - first) {
    *error = "read past the end of the samples";
    return false;
  }
  std::memcpy(into, samples_ + first, count * sizeof(float));
  return true;
}

bool AnalyzeSource(SampleSource& source, SignalAnalysis* analysis, std::string* error) {
  const double rate = source.sample_rate();
  if (!(rate > 0.0) || !std::isfinite(rate)) {
    throw std::invalid_argument("the sample rate must be a positive number");
  }
  SignalAnalysis result;
  result.sample_rate = rate;
  result.sample_count = source.size();
  result.duration_seconds = static_cast<double>(result.sample_count) / rate;
  for (int index = 0; index < kHarmonicCount; ++index) result.harmonics[index].number = index + 1;

  const FramePlan plan = PlanFrames(result.sample_count, rate);
  result.frame_seconds = static_cast<double>(plan.length) / rate;
  result.hop_seconds = static_cast<double>(plan.hop) / rate;
  std::unique_ptr<FrameAnalyzer> analyzer;
  std::vector<double> power_sum;
  if (plan.count > 0) {
    analyzer = std::make_unique<FrameAnalyzer>(plan.length, rate);
    const std::size_t bins = analyzer->spectrum().spectrum().amplitude.size();
    power_sum.assign(bins, 0.0);
    Spectrogram& spectrogram = result.spectrogram;
    spectrogram.columns = std::min(plan.count, kSpectrogramColumns);
    spectrogram.rows = std::min(bins, kSpectrogramRows);
    spectrogram.row_hz = static_cast<double>(bins) * analyzer->spectrum().spectrum().bin_hz /
                         static_cast<double>(spectrogram.rows);
    spectrogram.amplitude.assign(spectrogram.columns * spectrogram.rows, 0.0f);
    result.frames.reserve(plan.count);
  }

  // Pass 1: every sample into the statistics, the frames' samples through `pending`.
  RunningMoments moments;
  std::vector<float> block(kBlockSamples);
  std::vector<double> clean(kBlockSamples);
  std::vector<float> pending;
  std::uint64_t pending_start = 0;
  std::uint64_t next_start = plan.first_start;
  result.maximum = -INFINITY;
  result.minimum = INFINITY;
  for (std::uint64_t position = 0; position < result.sample_count;) {
    const std::size_t size = static_cast<std::size_t>(
        std::min<std::uint64_t>(kBlockSamples, result.sample_count - position));
    if (!source.Read(position, size, block.data(), error)) return false;
    for (std::size_t index = 0; index < size; ++index) {
      double value = block[index];
      if (!std::isfinite(value)) {
        ++result.non_finite_count;
        value = 0.0;
      }
      clean[index] = value;
      result.maximum = std::max(result.maximum, value);
      result.minimum = std::min(result.minimum, value);
    }
    moments.Add(clean.data(), size);
    if (result.frames.size() < plan.count) {
      if (pending.empty()) pending_start = position;
      pending.insert(pending.end(), block.begin(), block.begin() + size);
      while (result.frames.size() < plan.count &&
             next_start + plan.length <= pending_start + pending.size()) {
        PitchFrame frame = analyzer->Analyze(&pending[next_start - pending_start]);
        frame.time_seconds = (static_cast<double>(next_start) + 0.5 * plan.length) / rate;
        const Spectrum& spectrum = analyzer->spectrum().spectrum();
        const std::vector<double>& power = analyzer->spectrum().power();
        for (std::size_t bin = 0; bin < power.size(); ++bin) power_sum[bin] += power[bin];
        AddToSpectrogram(spectrum, result.frames.size(), plan.count, &result.spectrogram);
        result.frames.push_back(frame);
        next_start += plan.hop;
      }
      const std::uint64_t drop = std::min<std::uint64_t>(
          pending.size(), next_start > pending_start ? next_start - pending_start : 0);
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(drop));
      pending_start += drop;
    }
    position += size;
  }
  if (result.sample_count > 0) {
    result.dc_offset = moments.mean;
    result.rms = std::sqrt(moments.squares / moments.count);
    result.peak = std::max(std::abs(result.maximum), std::abs(result.minimum));
    result.silent = std::sqrt(moments.deviation_squares / moments.count) < kSilenceRms;
  } else {
    result.maximum = result.minimum = 0.0;
  }
  if (!result.frames.empty()) {
    const Spectrum& frame_spectrum = analyzer->spectrum().spectrum();
    result.spectrum.bin_hz = frame_spectrum.bin_hz;
    result.spectrum.resolution_hz = frame_spectrum.resolution_hz;
    result.spectrum.amplitude.resize(power_sum.size());
    for (std::size_t bin = 0; bin < power_sum.size(); ++bin) {
      result.spectrum.amplitude[bin] =
          static_cast<float>(std::sqrt(power_sum[bin] / static_cast<double>(result.frames.size())));
    }
  }
  analyzer.reset();

  // The segments, and pass 2 on the stable one.
  result.segments = FindSegments(result.frames, result.hop_seconds, result.frame_seconds,
                                 result.duration_seconds);
  if (const auto stable = StableSegment(result.segments, result.duration_seconds)) {
    if (!RefineOnExcerpt(source, plan, *stable, &result, error)) return false;
    result.has_pitch = result.fundamental_hz > 0.0;
    result.stable_share = (stable->end_seconds - stable->start_seconds) / result.duration_seconds;
  }
  *analysis = std::move(result);
  return true;
}

SignalAnalysis Analyze(const float* samples, std::size_t count, double sample_rate) {
  MemorySource source(samples, count, sample_rate);
  SignalAnalysis analysis;
  std::string error;
  if (!AnalyzeSource(source, &analysis, &error)) throw std::runtime_error(error);
  return analysis;
}

}  // namespace modhost
