// The analysis of one short frame of a signal: its pitch with a confidence, its RMS and the levels
// of its first 16 harmonics. A file's frames, a few milliseconds apart, are what show a pitch
// that moves, a step, or harmonics that fade; segments.h turns them into the summary.
//
// Method: a frame of 0.3 s (or the whole signal when it is shorter) under a Blackman-Harris
// window. The candidates for its fundamental are the strongest spectral peak divided by 1 to 16,
// each fitted to the peaks its harmonic series explains (harmonic_fit.h). Each candidate's
// periodicity is the frame's autocorrelation at the lag of one period, normalized and corrected
// for the window (Boersma's method: 1 when each period repeats the last, near 0 for noise), and
// the pitch is the highest candidate within kPeriodicityMargin of the most periodic one, as in
// YIN, which takes the shortest lag that repeats about as well as any: a subharmonic repeats as
// well as the pitch itself, and a naive waveform's aliases make a lower one repeat slightly
// better. The spectral peaks find candidates at any pitch, up to half the sample rate, where a
// lag search has only a few samples per period; the periodicity, which no set of peaks can fake,
// picks among them and is the frame's confidence. A frame
// has a pitch when its confidence reaches kPitchedConfidence.
//
// A pitch that moves fast is not periodic over 0.3 s (a glide of five octaves in three seconds
// moves half an octave in that time), so when the long frame finds no pitch, shorter frames
// centred on it try in turn: a tenth of a second, then a thirtieth. Each finds pitches down to
// kLowestPitchBins of its own bins.
#pragma once

#include <array>
#include <cstddef>

#include "host/modhost/analyze/harmonic_fit.h"

namespace modhost {

// The frame's length; 11.7 Hz (kLowestPitchBins of its 3.3 Hz bins) is the lowest pitch it
// finds, below the 13.75 Hz that 0 V plays under 1 Volt/Octave.
inline constexpr double kFrameSeconds = 0.3;
inline constexpr double kPitchedConfidence = 0.6;
inline constexpr double kPeriodicityMargin = 0.05;
// A frame whose RMS around its mean is below this (-160 dBFS, under the quantization step of a
// 24-bit file) is silent: it has no pitch.
inline constexpr double kSilenceRms = 1e-8;

struct PitchFrame {
  double time_seconds = 0.0;  // the frame's centre
  double pitch_hz = 0.0;      // 0 when the frame has no pitch
  double confidence = 0.0;    // periodicity at the pitch's period, from 0 to 1
  double rms = 0.0;           // of the frame's samples, DC included (1.0 = full scale)
  // Levels of harmonics 1 to 16 in dBFS; kLevelFloorDb when not found (or no pitch).
  std::array<float, kHarmonicCount> harmonic_dbfs{};
};

// The shorter frames' lengths, as shares of the long one's.
inline constexpr double kShorterFrames[] = {1.0 / 3.0, 1.0 / 9.0};

class FrameAnalyzer {
 public:
  // Frames of `length` samples at `sample_rate`.
  FrameAnalyzer(std::size_t length, double sample_rate);

  // Analyzes length() samples from `samples`; non-finite ones count as 0.
  PitchFrame Analyze(const float* samples);
  std::size_t length() const { return spectra_.front().length(); }
  // The long frame's spectrum, of the frame analyzed last.
  const WindowedSpectrum& spectrum() const { return spectra_.front(); }

 private:
  // Fills `frame`'s pitch, confidence and levels from the frame of spectra_[index], centred in
  // the long one; false when it has no pitch.
  bool AnalyzeLength(std::size_t index, PitchFrame* frame);

  std::vector<WindowedSpectrum> spectra_;  // the long frame's first
  std::vector<double> samples_;
};

}  // namespace modhost
