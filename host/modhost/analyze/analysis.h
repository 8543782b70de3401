// What `modhost analyze` measures in a rendered signal: the level statistics, a pitch track with
// a confidence per frame, the segments it falls into, one fundamental with the levels of its
// first 16 harmonics when the pitch is stable, an averaged spectrum and a spectrogram.
//
// It reads the signal through a SampleSource, in blocks, so that memory stays bounded whatever
// the length: one pass computes the statistics and the frames (pitch_track.h), keeping per frame
// only its numbers, and folds the frames' spectra into the averaged spectrum and a spectrogram of
// fixed size; segments.h decides whether the pitch is stable; then a second look at an excerpt
// of at most kMaxExcerptSamples of the stable stretch refines the fundamental with a long
// transform and measures the harmonics (harmonic_fit.h).
//
// Every level is relative to full scale (dBFS): 1.0 = 10 V = 0 dBFS.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/modhost/analyze/harmonic_fit.h"
#include "host/modhost/analyze/pitch_track.h"
#include "host/modhost/analyze/segments.h"

namespace modhost {

// Frames are kHopSeconds apart, or further apart in a file so long that it would have more than
// kMaxFrames of them.
inline constexpr double kHopSeconds = 0.01;
inline constexpr std::size_t kMaxFrames = 20000;
// The refinement's excerpt: about 2.7 s at 48 kHz, a resolution of 0.37 Hz.
inline constexpr std::size_t kMaxExcerptSamples = std::size_t{1} << 17;
// The spectrogram keeps at most this many columns (frames merged by their maximum) and rows
// (bins merged likewise), from 0 Hz to half the sample rate.
inline constexpr std::size_t kSpectrogramColumns = 400;
inline constexpr std::size_t kSpectrogramRows = 2048;

// Where the samples come from: a file's channel, or memory.
class SampleSource {
 public:
  virtual ~SampleSource() = default;
  virtual double sample_rate() const = 0;
  virtual std::uint64_t size() const = 0;
  // Reads `count` samples from sample `first` on into `into`; false with `error` set when it
  // cannot.
  virtual bool Read(std::uint64_t first, std::size_t count, float* into, std::string* error) = 0;
};

class MemorySource : public SampleSource {
 public:
  MemorySource(const float* samples, std::size_t count, double sample_rate)
      : samples_(samples), count_(count), sample_rate_(sample_rate) {}
  double sample_rate() const override { return sample_rate_; }
  std::uint64_t size() const override { return count_; }
  bool Read(std::uint64_t first, std::size_t count, float* into, std::string* error) override;

 private:
  const float* samples_;
  std::size_t count_;
  double sample_rate_;
};

// Amplitudes by time and frequency: column c covers frames [c·frames/columns, (c+1)·frames/
// columns), row r the frequencies from r to r+1 times row_hz; each value is the largest spectrum
// value there (1.0 = full scale).
struct Spectrogram {
  std::size_t columns = 0;
  std::size_t rows = 0;
  double row_hz = 0.0;
  std::vector<float> amplitude;  // columns × rows, column by column
  float at(std::size_t column, std::size_t row) const { return amplitude[column * rows + row]; }
};

struct SignalAnalysis {
  double sample_rate = 0.0;
  std::uint64_t sample_count = 0;
  double duration_seconds = 0.0;
  std::uint64_t non_finite_count = 0;  // NaN and infinite samples, counted as 0 everywhere else

  double peak = 0.0;     // largest absolute sample, negative ones included
  double maximum = 0.0;  // largest and smallest sample
  double minimum = 0.0;
  double rms = 0.0;        // root mean square, DC included
  double dc_offset = 0.0;  // mean
  bool silent = true;      // RMS around the mean below kSilenceRms (or no samples)

  // The frames and their segments.
  double frame_seconds = 0.0;
  double hop_seconds = 0.0;
  std::vector<PitchFrame> frames;
  std::vector<PitchSegment> segments;

  // The stable pitch: has_pitch when one steady segment covers kStableShare of the length.
  bool has_pitch = false;
  double fundamental_hz = 0.0;  // refined on the excerpt; 0 when !has_pitch
  double stable_share = 0.0;    // the stable segment's share of the length
  HarmonicLevels harmonics{};   // of the fundamental, measured on the excerpt
  std::uint64_t excerpt_first = 0;
  std::size_t excerpt_count = 0;
  std::vector<float> waveform;  // the excerpt's first three periods

  Spectrum spectrum;  // the frames' spectra averaged by power
  Spectrogram spectrogram;
};

// Analyzes `source` (sample rate > 0; otherwise std::invalid_argument). False, with `error` set,
// when the source cannot be read.
bool AnalyzeSource(SampleSource& source, SignalAnalysis* analysis, std::string* error);

// The same for `count` samples in memory.
SignalAnalysis Analyze(const float* samples, std::size_t count, double sample_rate);

}  // namespace modhost
