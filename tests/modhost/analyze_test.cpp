// The analysis behind `modhost analyze` on signals whose content is known exactly, its SVG plot
// (also rendered by rsvg-convert, librsvg's converter, for every kind of plot modhost draws), and
// the command itself run on WAV files written here.
//
// Tolerances: on a clean tone of two seconds the peak interpolation errs by well under a
// thousandth of a bin (0.5 Hz here), so 0.01 Hz for the fundamental and 0.01 dB for a level
// leave a wide margin while still catching an interpolation or scaling that is off by one bin or
// a few percent. Harmonics that are not in the signal only have to be far down (-100 dB): their
// value is the float rounding of the test signal, not a property of the analysis.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "host/modhost/analyze/analysis.h"
#include "host/modhost/io/svg_plot.h"
#include "host/modhost/run/child_process.h"

namespace modhost {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 48000.0;
constexpr double kHzTolerance = 0.01;
constexpr double kDbTolerance = 0.01;
constexpr double kAbsentDb = -100.0;

struct Partial {
  int harmonic;
  double amplitude;
  double phase = 0.0;
};

std::vector<float> Tone(double fundamental_hz, const std::vector<Partial>& partials,
                        double seconds = 2.0, double rate = kRate, double offset = 0.0) {
  std::vector<float> samples(static_cast<std::size_t>(seconds * rate));
  for (std::size_t index = 0; index < samples.size(); ++index) {
    double value = offset;
    for (const Partial& partial : partials) {
      value += partial.amplitude * std::sin(2.0 * kPi * partial.harmonic * fundamental_hz *
                                                static_cast<double>(index) / rate +
                                            partial.phase);
    }
    samples[index] = static_cast<float>(value);
  }
  return samples;
}

SignalAnalysis AnalyzeAll(const std::vector<float>& samples, double rate = kRate) {
  return Analyze(samples.data(), samples.size(), rate);
}

double Db(double ratio) { return 20.0 * std::log10(ratio); }

struct SineCase {
  double frequency_hz;
  double rate;
};

void PrintTo(const SineCase& sine, std::ostream* stream) {
  *stream << sine.frequency_hz << " Hz at " << sine.rate << " Hz";
}

class PureSine : public testing::TestWithParam<SineCase> {};

// Bin-centred and off-bin frequencies, from the lowest pitch of 1 V/Oct to near Nyquist.
TEST_P(PureSine, FundamentalAndAmplitude) {
  const SineCase sine = GetParam();
  const SignalAnalysis analysis =
      AnalyzeAll(Tone(sine.frequency_hz, {{1, 0.5}}, 2.0, sine.rate), sine.rate);
  ASSERT_TRUE(analysis.has_pitch);
  EXPECT_NEAR(analysis.fundamental_hz, sine.frequency_hz, kHzTolerance);
  EXPECT_NEAR(analysis.harmonics[0].level_dbfs, Db(0.5), kDbTolerance);
  EXPECT_TRUE(analysis.harmonics[0].found);
  for (int index = 1; index < kHarmonicCount; ++index) {
    EXPECT_LT(analysis.harmonics[index].level_dbfs, kAbsentDb) << "harmonic " << index + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(Frequencies, PureSine,
                         testing::Values(SineCase{440.0, 48000.0}, SineCase{1000.37, 48000.0},
                                         SineCase{13.75, 48000.0}, SineCase{27.5, 44100.0},
                                         SineCase{12345.678, 96000.0}, SineCase{20000.1, 44100.0}));

// Levels in dB relative to the strongest harmonic; NaN for a harmonic that is not in the signal.
// Whether such a one is found depends on the float rounding of the test signal, which repeats
// with the signal when its period spans a whole number of samples; found-or-not has tests of its
// own below, on signals with noise.
void ExpectLevels(const SignalAnalysis& analysis, const std::vector<double>& expected_db) {
  double strongest = kLevelFloorDb;
  for (const HarmonicLevel& harmonic : analysis.harmonics) {
    if (harmonic.found) strongest = std::max(strongest, harmonic.level_dbfs);
  }
  for (std::size_t index = 0; index < expected_db.size(); ++index) {
    const HarmonicLevel& harmonic = analysis.harmonics[index];
    if (std::isnan(expected_db[index])) {
      EXPECT_LT(harmonic.level_dbfs - strongest, kAbsentDb) << "harmonic " << index + 1;
    } else {
      EXPECT_TRUE(harmonic.found) << "harmonic " << index + 1;
      EXPECT_NEAR(harmonic.level_dbfs - strongest, expected_db[index], kDbTolerance)
          << "harmonic " << index + 1;
    }
  }
}

const double kNone = std::nan("");

TEST(AnalyzeHarmonics, LevelsOfAKnownSumRelativeToTheStrongest) {
  const SignalAnalysis analysis =
      AnalyzeAll(Tone(220.0, {{1, 0.4}, {2, 0.2, 1.0}, {3, 0.1, 2.0}, {7, 0.04, 3.0}}));
  EXPECT_NEAR(analysis.fundamental_hz, 220.0, kHzTolerance);
  ExpectLevels(analysis, {0.0, Db(0.5), Db(0.25), kNone, kNone, kNone, Db(0.1), kNone});
  EXPECT_NEAR(analysis.harmonics[6].amplitude, 0.04, 0.04 * 1e-3);
  EXPECT_NEAR(analysis.harmonics[6].frequency_hz, 7 * 220.0, 7 * kHzTolerance);
}

// The fundamental must not jump to the strongest partial when it is weak or missing.
TEST(AnalyzeHarmonics, WeakOrMissingFundamental) {
  const SignalAnalysis weak = AnalyzeAll(Tone(220.0, {{1, 0.005}, {3, 0.5}}));
  EXPECT_NEAR(weak.fundamental_hz, 220.0, kHzTolerance);
  ExpectLevels(weak, {-40.0, kNone, 0.0});

  const SignalAnalysis weak_below_sixteenth = AnalyzeAll(Tone(110.0, {{1, 0.001}, {16, 0.5}}));
  EXPECT_NEAR(weak_below_sixteenth.fundamental_hz, 110.0, kHzTolerance);
  EXPECT_NEAR(weak_below_sixteenth.harmonics[0].level_dbfs, Db(0.001), kDbTolerance);

  const SignalAnalysis missing =
      AnalyzeAll(Tone(220.0, {{2, 0.3}, {3, 0.3, 1.0}, {4, 0.2, 2.0}, {5, 0.1, 3.0}}));
  EXPECT_NEAR(missing.fundamental_hz, 220.0, kHzTolerance);
  ExpectLevels(missing, {kNone, 0.0, 0.0, Db(2.0 / 3.0), Db(1.0 / 3.0)});

  // A lone partial carries no trace of a lower fundamental: it is its own.
  const SignalAnalysis lone = AnalyzeAll(Tone(220.0, {{3, 0.5}}));
  EXPECT_NEAR(lone.fundamental_hz, 660.0, kHzTolerance);
}

// Pelio with Mod at 10 V and only 3f = 1.0 plays -0.5·sin³x = -0.375·sin x + 0.125·sin 3x: the
// third harmonic keeps the weight 0.5·(1/2)², a third of the fundamental's.
TEST(AnalyzeHarmonics, AdditiveModAtHalfDampsTheThirdHarmonicToAThird) {
  std::vector<float> samples(96000);
  for (std::size_t index = 0; index < samples.size(); ++index) {
    const double phase = 2.0 * kPi * 261.6 * static_cast<double>(index) / kRate - kPi;
    samples[index] = static_cast<float>(-0.5 * std::pow(std::sin(phase), 3));
  }
  const SignalAnalysis analysis = AnalyzeAll(samples);
  EXPECT_NEAR(analysis.fundamental_hz, 261.6, kHzTolerance);
  ExpectLevels(analysis, {0.0, kNone, Db(1.0 / 3.0), kNone});
  EXPECT_NEAR(analysis.harmonics[0].amplitude, 0.375, 0.375 * 1e-3);
}

TEST(AnalyzeHarmonics, SquareWaves) {
  // Odd harmonics at 1/k, as Pelio makes a square from 1f, 3f, ... 15f.
  std::vector<Partial> odd;
  for (int harmonic = 1; harmonic <= 15; harmonic += 2) odd.push_back({harmonic, 0.5 / harmonic});
  const SignalAnalysis additive = AnalyzeAll(Tone(100.0, odd));
  EXPECT_NEAR(additive.fundamental_hz, 100.0, kHzTolerance);
  for (int harmonic = 1; harmonic <= kHarmonicCount; ++harmonic) {
    const double level = additive.harmonics[harmonic - 1].level_dbfs;
    if (harmonic % 2 == 1) {
      EXPECT_NEAR(level, Db(0.5 / harmonic), kDbTolerance) << harmonic;
    } else {
      EXPECT_LT(level, kAbsentDb) << harmonic;
    }
  }

  // A naive square of 100 samples per period (480 Hz): its sampled spectrum is exactly
  // |X_k| ∝ 1/sin(πk/100) at odd k and 0 at even k, aliasing included.
  std::vector<float> naive(96000);
  for (std::size_t index = 0; index < naive.size(); ++index) {
    naive[index] = index % 100 < 50 ? 0.5f : -0.5f;
  }
  const SignalAnalysis stepped = AnalyzeAll(naive);
  EXPECT_NEAR(stepped.fundamental_hz, 480.0, kHzTolerance);
  EXPECT_NEAR(stepped.dc_offset, 0.0, 1e-12);
  for (int harmonic = 1; harmonic <= kHarmonicCount; ++harmonic) {
    const double level =
        stepped.harmonics[harmonic - 1].level_dbfs - stepped.harmonics[0].level_dbfs;
    if (harmonic % 2 == 1) {
      EXPECT_NEAR(level, Db(std::sin(kPi / 100) / std::sin(kPi * harmonic / 100)), kDbTolerance)
          << harmonic;
    } else {
      EXPECT_LT(level, kAbsentDb) << harmonic;
    }
  }
}

TEST(AnalyzeHarmonics, HarmonicsAboveHalfTheSampleRateAreAbsent) {
  const SignalAnalysis analysis = AnalyzeAll(Tone(5000.0, {{1, 0.3}, {2, 0.3}, {4, 0.3}}));
  EXPECT_NEAR(analysis.fundamental_hz, 5000.0, kHzTolerance);
  for (const HarmonicLevel& harmonic : analysis.harmonics) {
    EXPECT_EQ(harmonic.below_nyquist, harmonic.number <= 4) << harmonic.number;
    if (harmonic.number != 3) {
      EXPECT_EQ(harmonic.found, harmonic.number <= 4) << harmonic.number;
    }
  }
  ExpectLevels(analysis, {0.0, 0.0, kNone, 0.0});
}

TEST(AnalyzeLevels, PeakRmsAndDcOffset) {
  const SignalAnalysis analysis = AnalyzeAll(Tone(440.0, {{1, 0.5}}, 2.0, kRate, 0.25));
  EXPECT_NEAR(analysis.dc_offset, 0.25, 1e-6);
  EXPECT_NEAR(analysis.peak, 0.75, 1e-6);
  EXPECT_NEAR(analysis.rms, std::sqrt(0.25 * 0.25 + 0.5 * 0.5 / 2), 1e-6);
  EXPECT_EQ(analysis.sample_count, 96000u);
  EXPECT_DOUBLE_EQ(analysis.duration_seconds, 2.0);
  // The offset is removed before the spectrum, so the pitch and levels do not see it.
  EXPECT_NEAR(analysis.fundamental_hz, 440.0, kHzTolerance);
  EXPECT_NEAR(analysis.harmonics[0].amplitude, 0.5, 0.5e-3);
}

TEST(AnalyzeLevels, SilenceConstantAndEmptySignalsHaveNoPitch) {
  const std::vector<float> zeros(48000, 0.0f);
  const std::vector<float> constant(48000, 0.3f);
  for (const auto& [name, samples] : {std::pair{"zeros", zeros}, std::pair{"constant", constant},
                                      std::pair{"empty", std::vector<float>{}}}) {
    SCOPED_TRACE(name);
    const SignalAnalysis analysis = AnalyzeAll(samples);
    EXPECT_TRUE(analysis.silent);
    EXPECT_FALSE(analysis.has_pitch);
    EXPECT_EQ(analysis.fundamental_hz, 0.0);
    for (const HarmonicLevel& harmonic : analysis.harmonics) EXPECT_FALSE(harmonic.found);
  }
  EXPECT_EQ(AnalyzeAll(zeros).peak, 0.0);
  EXPECT_NEAR(AnalyzeAll(constant).dc_offset, 0.3, 1e-7);
  EXPECT_NEAR(AnalyzeAll(constant).rms, 0.3, 1e-7);
}

TEST(AnalyzeLevels, NoiseHasNoPitchAndNonFiniteSamplesCountAsZero) {
  std::vector<float> noise(48000);
  unsigned state = 12345;
  for (float& sample : noise) {
    state = state * 1664525u + 1013904223u;
    sample = static_cast<float>((state >> 8) / 16777216.0 - 0.5);
  }
  const SignalAnalysis noisy = AnalyzeAll(noise);
  EXPECT_FALSE(noisy.silent);
  EXPECT_FALSE(noisy.has_pitch);

  std::vector<float> broken = Tone(440.0, {{1, 0.5}});
  broken[100] = std::nanf("");
  broken[200] = INFINITY;
  const SignalAnalysis analysis = AnalyzeAll(broken);
  EXPECT_EQ(analysis.non_finite_count, 2u);
  EXPECT_NEAR(analysis.peak, 0.5, 1e-6);
  EXPECT_NEAR(analysis.fundamental_hz, 440.0, kHzTolerance);

  EXPECT_THROW(Analyze(broken.data(), broken.size(), 0.0), std::invalid_argument);
}

// White noise of `rms` from a fixed seed (a Gaussian by the sum of twelve uniforms).
std::vector<float> Noise(std::size_t count, double rms, uint32_t seed = 12345) {
  std::vector<float> samples(count);
  for (float& sample : samples) {
    double sum = -6.0;
    for (int index = 0; index < 12; ++index) {
      seed = seed * 1664525u + 1013904223u;
      sum += (seed >> 8) / 16777216.0;
    }
    sample = static_cast<float>(rms * sum);
  }
  return samples;
}

std::vector<float> Plus(std::vector<float> samples, const std::vector<float>& other) {
  for (std::size_t index = 0; index < samples.size(); ++index) samples[index] += other[index];
  return samples;
}

// Eight equal harmonics of a short tone in noise: each partial's peak errs by a good part of a
// bin, and the fit over all of them, weighted towards the high ones, pins the fundamental far
// better than any one partial can: over these five noises the fit errs by 0.003 Hz at most, the
// strongest partial divided by its number by 0.021 Hz.
TEST(AnalyzeHarmonics, TheFitOverAllHarmonicsBeatsAnyOnePartial) {
  constexpr double kTruth = 220.37;
  std::vector<Partial> partials = {{1, 0.12}};
  for (int harmonic = 2; harmonic <= 8; ++harmonic)
    partials.push_back({harmonic, 0.1, 0.3 * harmonic});
  double worst = 0.0;
  for (uint32_t seed : {1u, 2u, 3u, 4u, 5u}) {
    const std::vector<float> tone = Plus(Tone(kTruth, partials, 0.06), Noise(2880, 0.003, seed));
    const SignalAnalysis analysis = AnalyzeAll(tone);
    ASSERT_TRUE(analysis.has_pitch) << seed;
    worst = std::max(worst, std::abs(analysis.fundamental_hz - kTruth));
  }
  EXPECT_LT(worst, 0.006);
}

// The peak is the largest excursion either way: a tone on a negative offset peaks below zero.
TEST(AnalyzeLevels, PeakCountsNegativeExtremes) {
  const SignalAnalysis analysis = AnalyzeAll(Tone(440.0, {{1, 0.3}}, 1.0, kRate, -0.5));
  EXPECT_NEAR(analysis.peak, 0.8, 1e-6);
  EXPECT_NEAR(analysis.maximum, -0.2, 1e-6);
  EXPECT_NEAR(analysis.minimum, -0.8, 1e-6);
  EXPECT_NEAR(analysis.dc_offset, -0.5, 1e-6);
  EXPECT_NEAR(analysis.fundamental_hz, 440.0, kHzTolerance);
}

// A harmonic is found only above the floor around it: not the leakage of a loud neighbour, not
// a partial under the noise, but a weak one above it.
TEST(AnalyzeHarmonics, FoundOnlyAboveTheNoiseFloor) {
  const std::vector<float> tone =
      Plus(Tone(220.0, {{1, 0.5}, {3, 0.005}, {5, 2e-7}}), Noise(96000, 1e-4));
  const SignalAnalysis analysis = AnalyzeAll(tone);
  ASSERT_TRUE(analysis.has_pitch);
  const HarmonicLevels& harmonics = analysis.harmonics;
  EXPECT_TRUE(harmonics[0].found);
  EXPECT_TRUE(harmonics[2].found);
  EXPECT_NEAR(harmonics[2].level_dbfs, Db(0.005), 0.1);
  for (int index : {1, 3, 4, 5, 6}) {
    EXPECT_FALSE(harmonics[index].found) << "harmonic " << index + 1;
    EXPECT_LT(harmonics[index].level_dbfs, harmonics[index].floor_dbfs + kFoundAboveFloorDb);
  }
  // The noise floor in a bin: about -121 dBFS for noise of -80 dBFS over 96000 samples.
  EXPECT_NEAR(harmonics[1].floor_dbfs, -121.0, 6.0);
}

// A sine of `count` samples made as it is read, which remembers the largest read.
class SineSource : public SampleSource {
 public:
  SineSource(double frequency_hz, std::uint64_t count, double rate)
      : frequency_hz_(frequency_hz), count_(count), rate_(rate) {}
  double sample_rate() const override { return rate_; }
  std::uint64_t size() const override { return count_; }
  bool Read(std::uint64_t first, std::size_t count, float* into, std::string*) override {
    largest_read = std::max(largest_read, count);
    for (std::size_t index = 0; index < count; ++index) {
      const double phase =
          std::fmod(frequency_hz_ * static_cast<double>(first + index) / rate_, 1.0);
      into[index] = static_cast<float>(0.5 * std::sin(2.0 * kPi * phase));
    }
    return true;
  }
  std::size_t largest_read = 0;

 private:
  double frequency_hz_;
  std::uint64_t count_;
  double rate_;
};

// Memory stays bounded whatever the length: reads come in blocks, the frames are spaced out so
// that there are at most kMaxFrames of them, and the refinement reads a bounded excerpt.
TEST(AnalyzeLevels, AnHourIsReadInBlocksAndKeepsBoundedFrames) {
  SineSource source(441.25, std::uint64_t{3600} * 8000, 8000.0);
  SignalAnalysis analysis;
  std::string error;
  ASSERT_TRUE(AnalyzeSource(source, &analysis, &error)) << error;
  EXPECT_LE(analysis.frames.size(), kMaxFrames);
  EXPECT_GT(analysis.frames.size(), kMaxFrames / 2);
  EXPECT_LE(source.largest_read, std::max<std::size_t>(65536, kMaxExcerptSamples));
  EXPECT_EQ(analysis.excerpt_count, kMaxExcerptSamples);
  EXPECT_NEAR(analysis.fundamental_hz, 441.25, kHzTolerance);
  EXPECT_NEAR(analysis.rms, 0.5 / std::sqrt(2.0), 1e-6);
  EXPECT_EQ(analysis.spectrogram.columns, kSpectrogramColumns);
}

// Checks that `svg` is one element tree: every tag closed in order, comments and text skipped.
void ExpectWellFormed(const std::string& svg) {
  ASSERT_EQ(svg.rfind("<svg ", 0), 0u);
  std::vector<std::string> open;
  for (std::size_t start = svg.find('<'); start != std::string::npos;
       start = svg.find('<', start + 1)) {
    const std::size_t end = svg.find('>', start);
    ASSERT_NE(end, std::string::npos);
    const std::string tag = svg.substr(start + 1, end - start - 1);
    const bool closing = tag[0] == '/';
    const std::string name = tag.substr(closing, tag.find_first_of(" \n/", closing) - closing);
    if (closing) {
      ASSERT_FALSE(open.empty()) << "</" << name << "> closes nothing";
      ASSERT_EQ(open.back(), name);
      open.pop_back();
      if (open.empty()) {
        EXPECT_EQ(svg.substr(end + 1), "\n");
      }
    } else if (tag.back() != '/') {
      open.push_back(name);
    }
  }
  EXPECT_TRUE(open.empty());
  EXPECT_EQ(svg.find("nan"), std::string::npos);
  EXPECT_EQ(svg.find("inf"), std::string::npos);
}

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(PlotAnalysisSvg, MarksEachHarmonicBelowHalfTheSampleRate) {
  const std::vector<float> tone = Tone(220.0, {{1, 0.4}, {2, 0.2}, {5, 0.1}});
  const std::string svg = PlotAnalysisSvg(AnalyzeAll(tone), "Mod <10 V> & more.wav");
  ExpectWellFormed(svg);
  EXPECT_EQ(CountOf(svg, "class=\"harmonic\""), 16u);
  EXPECT_NE(svg.find("data-number=\"16\""), std::string::npos);
  EXPECT_NE(svg.find("Mod &lt;10 V&gt; &amp; more.wav: fundamental 220.000 Hz"), std::string::npos);
  EXPECT_EQ(CountOf(svg, "class=\"waveform\""), 1u);
  EXPECT_EQ(CountOf(svg, "class=\"spectrum\""), 1u);
  EXPECT_EQ(CountOf(svg, "class=\"spectrogram\""), 1u);
  EXPECT_EQ(CountOf(svg, "class=\"colour-scale\""), 1u);
  EXPECT_EQ(CountOf(svg, "class=\"pitch\""), 1u);
  EXPECT_EQ(CountOf(svg, "class=\"rms\""), 1u);
  EXPECT_NE(svg.find("linear frequency axis"), std::string::npos);
  // One level reference on every axis that shows a level.
  EXPECT_NE(svg.find(">level (dBFS)<"), std::string::npos);
  EXPECT_NE(svg.find(">RMS (dBFS)<"), std::string::npos);
  EXPECT_EQ(svg.find("re strongest"), std::string::npos);

  const std::vector<float> high = Tone(5000.0, {{1, 0.3}, {2, 0.3}});
  const std::string high_svg = PlotAnalysisSvg(AnalyzeAll(high), "x");
  ExpectWellFormed(high_svg);
  EXPECT_EQ(CountOf(high_svg, "class=\"harmonic\""), 4u);
}

// Over time: a step shows as two pitches, without the waveform of a steady file, and the
// spectrogram can take a logarithmic frequency axis.
TEST(PlotAnalysisSvg, ChangeOverTime) {
  std::vector<float> step = Tone(220.0, {{1, 0.4}, {2, 0.1}}, 1.0);
  const std::vector<float> second = Tone(330.0, {{1, 0.4}}, 1.0);
  step.insert(step.end(), second.begin(), second.end());
  PlotOptions options;
  options.log_frequency = true;
  const std::string svg = PlotAnalysisSvg(AnalyzeAll(step), "step", options);
  ExpectWellFormed(svg);
  EXPECT_NE(svg.find("step: no stable pitch"), std::string::npos);
  EXPECT_NE(svg.find("pitch: 220.0 Hz from 0.000 s to "), std::string::npos);
  EXPECT_NE(svg.find("logarithmic frequency axis"), std::string::npos);
  EXPECT_NE(svg.find(">220.0 Hz<"), std::string::npos);
  EXPECT_NE(svg.find(">330.0 Hz<"), std::string::npos);
  EXPECT_EQ(CountOf(svg, "class=\"waveform\""), 0u);
  EXPECT_EQ(CountOf(svg, "class=\"harmonic\""), 0u);
  EXPECT_EQ(CountOf(svg, "class=\"spectrogram\""), 1u);
}

TEST(PlotAnalysisSvg, UnpitchedSignalsGiveAPlotWithoutMarkers) {
  const std::vector<float> zeros(4800, 0.0f);
  const std::vector<float> empty;
  std::string bad_name = "bad\xff\x01name";
  for (const std::vector<float>* samples : {&zeros, &empty}) {
    const std::string svg = PlotAnalysisSvg(AnalyzeAll(*samples), bad_name);
    ExpectWellFormed(svg);
    EXPECT_EQ(CountOf(svg, "class=\"harmonic\""), 0u);
    EXPECT_NE(svg.find("bad??name: silent, no pitch"), std::string::npos);
  }
}

// ---- `modhost analyze` as a user runs it --------------------------------------------------------

class AnalyzeCommand : public testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/analyze_test_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
  }
  void TearDown() override { std::system(("rm -rf '" + folder_ + "'").c_str()); }

  // A 16-bit stereo WAV: 330 Hz with two harmonics on the left, 2500 Hz on the right.
  std::string WriteStereoWav() {
    const std::string path = folder_ + "/tone.wav";
    const std::vector<float> left = Tone(330.0, {{1, 0.4}, {2, 0.2}, {3, 0.1}}, 1.0);
    const std::vector<float> right = Tone(2500.0, {{1, 0.5}}, 1.0);
    std::vector<float> frames;
    for (std::size_t index = 0; index < left.size(); ++index) {
      frames.push_back(left[index]);
      frames.push_back(right[index]);
    }
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(sf_writef_float(file, frames.data(), static_cast<sf_count_t>(left.size())),
              static_cast<sf_count_t>(left.size()));
    sf_close(file);
    return path;
  }

  struct Result {
    int status;
    std::string out;
    std::string err;
  };

  Result Run(const std::string& arguments) {
    const std::string out_path = folder_ + "/stdout";
    const std::string err_path = folder_ + "/stderr";
    const std::string command = std::string(MODHOST_PATH) + " analyze " + arguments + " >'" +
                                out_path + "' 2>'" + err_path + "'";
    const int status = std::system(command.c_str());
    Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out_path),
                  ReadFile(err_path)};
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return result;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
  }

  std::string folder_;
};

TEST_F(AnalyzeCommand, JsonOfTheChosenChannelAndThePlot) {
  const std::string wav = WriteStereoWav();
  const std::string svg = folder_ + "/plot.svg";
  const Result result = Run("'" + wav + "' --channel 2 --json --svg '" + svg + "'");
  ASSERT_EQ(result.status, 0) << result.err;
  const nlohmann::json json = nlohmann::json::parse(result.out);
  EXPECT_EQ(json["channel"], 2);
  EXPECT_EQ(json["channels"], 2);
  EXPECT_EQ(json["samples"], 48000);
  EXPECT_NEAR(json["fundamental_hz"].get<double>(), 2500.0, kHzTolerance);
  // 16-bit quantization: within half a step of the written samples.
  EXPECT_NEAR(json["peak"].get<double>(), 0.5, 1.0 / 32768);
  ASSERT_EQ(json["harmonics"].size(), 16u);
  EXPECT_EQ(json["harmonics"][0]["present"], true);
  EXPECT_EQ(json["harmonics"][8]["below_nyquist"], true);   // 22.5 kHz
  EXPECT_EQ(json["harmonics"][9]["below_nyquist"], false);  // 25 kHz, above 24 kHz
  EXPECT_TRUE(json["harmonics"][9]["level_dbfs"].is_null());
  ExpectWellFormed(ReadFile(svg));
  // Only the plot and the WAV remain: no temporary file is left behind.
  EXPECT_EQ(std::system(("test $(ls '" + folder_ + "' | wc -l) -eq 2").c_str()), 0);
}

TEST_F(AnalyzeCommand, ReadableSummaryOfTheFirstChannel) {
  const Result result = Run("'" + WriteStereoWav() + "'");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("channel 1 of 2"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("fundamental  330.000"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("-13.98"), std::string::npos) << result.out;  // 2nd harmonic, dBFS
}

TEST_F(AnalyzeCommand, BadInputsAndUnwritablePlotsFailWithTheirStatus) {
  const std::string wav = WriteStereoWav();
  const Result missing = Run("'" + folder_ + "/missing.wav'");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(CountOf(missing.err, "\n"), 1u) << missing.err;

  EXPECT_EQ(Run("'" + wav + "' --channel 3").status, 2);
  EXPECT_EQ(Run("'" + folder_ + "'").status, 2);  // a folder is no audio file

  const Result no_folder = Run("'" + wav + "' --svg '" + folder_ + "/no/such/plot.svg'");
  EXPECT_EQ(no_folder.status, 6);
  EXPECT_NE(no_folder.err.find("plot.svg"), std::string::npos);
  EXPECT_EQ(Run("'" + wav + "' --svg '" + folder_ + "'").status, 6);  // a folder is in the way
  EXPECT_EQ(std::system(("test $(ls '" + folder_ + "' | wc -l) -eq 1").c_str()), 0);
}

// --frames: every frame's time, pitch, confidence, RMS and harmonics, in the JSON and as a table;
// the summary names the segments.
TEST_F(AnalyzeCommand, FramesAndSegments) {
  const std::string wav = WriteStereoWav();
  const Result json_result = Run("'" + wav + "' --frames --json");
  ASSERT_EQ(json_result.status, 0) << json_result.err;
  const nlohmann::json json = nlohmann::json::parse(json_result.out);
  EXPECT_EQ(json["level_reference"], "dBFS: 0 dB is full scale, 1.0 = 10 V");
  EXPECT_EQ(json["pitch_summary"], "330.0 Hz from 0.000 s to 1.000 s");
  ASSERT_EQ(json["frames"].size(), json["frame_count"].get<std::size_t>());
  ASSERT_GT(json["frames"].size(), 50u);
  for (const nlohmann::json& frame : json["frames"]) {
    EXPECT_NEAR(frame["pitch_hz"].get<double>(), 330.0, 0.33);
    EXPECT_GT(frame["confidence"].get<double>(), 0.99);
    ASSERT_EQ(frame["harmonics_dbfs"].size(), 16u);
    EXPECT_NEAR(frame["harmonics_dbfs"][1].get<double>(), Db(0.2), 0.1);
    // Not in the signal: at most the 16-bit rounding, which repeats with the tone.
    const nlohmann::json& sixth = frame["harmonics_dbfs"][5];
    EXPECT_TRUE(sixth.is_null() || sixth.get<double>() < -90.0) << sixth;
  }
  const double first = json["frames"][0]["time_seconds"];
  const double second = json["frames"][1]["time_seconds"];
  EXPECT_NEAR(second - first, json["hop_seconds"].get<double>(), 1e-9);

  const Result table = Run("'" + wav + "' --frames");
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_NE(table.out.find("  pitch        330.0 Hz from 0.000 s to 1.000 s\n"), std::string::npos)
      << table.out;
  EXPECT_NE(table.out.find("time (s)  pitch (Hz)  confidence  RMS (dBFS)      H1"),
            std::string::npos)
      << table.out;
  EXPECT_NE(table.out.find("levels in dBFS"), std::string::npos);
}

// Another implementation must draw every plot: one of each kind that PlotAnalysisSvg makes, and
// the one that the command writes.
TEST_F(AnalyzeCommand, RsvgConvertRendersEveryPlot) {
  const ChildOutcome version = RunChildProcess("rsvg-convert", {"--version"}, 60, false);
  ASSERT_EQ(version.ending, ChildOutcome::Ending::kExited)
      << "rsvg-convert (Debian package librsvg2-bin) is needed: run scripts/install-deps.sh";

  std::vector<float> noise(48000);
  uint32_t state = 12345;
  for (float& sample : noise) {
    state = state * 1664525u + 1013904223u;
    sample = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
  }
  std::vector<float> with_nan = Tone(440.0, {{1, 0.5}}, 0.5);
  with_nan[100] = std::nanf("");
  struct Plot {
    const char* name;
    std::vector<float> samples;
  };
  const std::vector<Plot> plots = {
      {"harmonics", Tone(220.0, {{1, 0.4}, {2, 0.2}, {5, 0.1}})},
      {"above half the rate", Tone(5000.0, {{1, 0.3}, {2, 0.3}})},
      {"low", Tone(20.0, {{1, 0.9}}, 3.0)},
      {"full scale", Tone(1000.0, {{1, 1.0}, {3, 1.0}})},
      {"offset", Tone(440.0, {{1, 0.1}}, 1.0, kRate, 0.7)},
      {"silent", std::vector<float>(4800, 0.0f)},
      {"dc only", std::vector<float>(4800, 0.25f)},
      {"no samples", {}},
      {"one sample", {0.5f}},
      {"noise", noise},
      {"not finite", with_nan},
  };
  std::vector<std::string> files;
  for (const Plot& plot : plots) {
    files.push_back(folder_ + "/" + std::to_string(files.size()) + ".svg");
    std::ofstream(files.back()) << PlotAnalysisSvg(AnalyzeAll(plot.samples), plot.name);
  }
  files.push_back(folder_ + "/command.svg");
  ASSERT_EQ(Run("'" + WriteStereoWav() + "' --svg '" + files.back() + "'").status, 0);

  for (const std::string& svg : files) {
    SCOPED_TRACE(svg);
    const std::string png = svg + ".png";
    const ChildOutcome drawn = RunChildProcess("rsvg-convert", {"-o", png, svg}, 60, false);
    EXPECT_EQ(drawn.ending, ChildOutcome::Ending::kExited) << drawn.description;
    EXPECT_EQ(drawn.exit_code, 0) << drawn.errors;
    EXPECT_EQ(drawn.errors, "");
    EXPECT_EQ(ReadFile(png).compare(0, 8, "\x89PNG\r\n\x1a\n"), 0) << "no PNG drawn";
  }
}

}  // namespace
}  // namespace modhost
