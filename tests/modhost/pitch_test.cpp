// `modhost analyze` on signals that sox, another program, makes here with the truth known: every
// class of signal whose pitch a user asks about, and the signals with no single pitch, beside
// aubio's pitch tracker (aubiopitch -p yinfft, the median of its frames) on the same files.
//
// Tolerances: a steady tone's fundamental within 0.1% of the truth (sox's own frequencies are
// exact to far better); "no stable pitch" where there is none; segment boundaries within 20 ms
// (two hops of the frames). aubio counts as right within 1%, and for a signal with no pitch only
// when its median is 0, as it has no way to say that there is none.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "host/modhost/run/child_process.h"

namespace modhost {
namespace {

constexpr double kSteadyTolerance = 0.001;
constexpr double kAubioTolerance = 0.01;
constexpr double kBoundaryTolerance = 0.02;

class SoxSignals : public testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/pitch_test_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
  }
  void TearDown() override { std::system(("rm -rf '" + folder_ + "'").c_str()); }

  // Runs sox with `arguments`, in which "@" stands for a file of the folder named `name`.
  std::string Sox(const std::string& name, std::vector<std::string> arguments) {
    const std::string path = folder_ + "/" + name + ".wav";
    for (std::string& argument : arguments) {
      if (argument == "@") argument = path;
      if (argument.rfind("@", 0) == 0 && argument.size() > 1) {
        argument = folder_ + "/" + argument.substr(1) + ".wav";
      }
    }
    const ChildOutcome outcome = RunChildProcess("sox", arguments, 120, false);
    EXPECT_EQ(outcome.ending, ChildOutcome::Ending::kExited)
        << "sox (Debian package sox) is needed: run scripts/install-deps.sh";
    EXPECT_EQ(outcome.exit_code, 0) << outcome.errors;
    return path;
  }

  // A signal of `seconds` at `rate` from sox's synth with `synth` (type and frequency), as 32-bit
  // float samples.
  std::string Synth(const std::string& name, int rate, double seconds,
                    std::vector<std::string> synth) {
    std::vector<std::string> arguments = {
        "-n", "-r",    std::to_string(rate),   "-b", "32", "-e", "floating-point", "-c", "1",
        "@",  "synth", std::to_string(seconds)};
    arguments.insert(arguments.end(), synth.begin(), synth.end());
    return Sox(name, arguments);
  }

  // A waveform made at eight times the rate and resampled to `rate` by sox's band-limiting
  // resampler: the harmonics above half the rate are gone instead of aliased.
  std::string BandLimited(const std::string& name, int rate, const std::string& type,
                          double frequency) {
    Synth(name + "-wide", rate * 8, 1.0, {type, Number(frequency)});
    return Sox(name, {"@" + name + "-wide", "-r", std::to_string(rate), "@", "rate", "-v"});
  }

  static std::string Number(double value) {
    std::ostringstream text;
    text.precision(10);
    text << value;
    return text.str();
  }

  nlohmann::json Analyze(const std::string& path) {
    const ChildOutcome outcome =
        RunChildProcess(MODHOST_PATH, {"analyze", path, "--json"}, 120, false);
    EXPECT_EQ(outcome.exit_code, 0) << outcome.errors;
    return nlohmann::json::parse(outcome.output);
  }

  std::string folder_;
};

// Expects a stable pitch at `truth_hz` within kSteadyTolerance.
void ExpectSteady(const nlohmann::json& analysis, double truth_hz) {
  ASSERT_TRUE(analysis["stable_pitch"].get<bool>()) << analysis["pitch_summary"];
  EXPECT_NEAR(analysis["fundamental_hz"].get<double>(), truth_hz, kSteadyTolerance * truth_hz)
      << analysis["pitch_summary"];
}

void ExpectNoStablePitch(const nlohmann::json& analysis) {
  EXPECT_FALSE(analysis["stable_pitch"].get<bool>()) << analysis["fundamental_hz"];
  EXPECT_TRUE(analysis["fundamental_hz"].is_null());
}

TEST_F(SoxSignals, NaiveAndBandLimitedWaveforms) {
  struct Case {
    const char* type;
    double frequency;
  };
  for (const Case& wave : {Case{"sawtooth", 55.0}, Case{"square", 110.0}, Case{"triangle", 261.63},
                           Case{"sawtooth", 440.0}, Case{"square", 1234.5}}) {
    SCOPED_TRACE(std::string(wave.type) + " " + Number(wave.frequency));
    ExpectSteady(Analyze(Synth("naive", 48000, 2.0, {wave.type, Number(wave.frequency)})),
                 wave.frequency);
    ExpectSteady(Analyze(BandLimited("limited", 48000, wave.type, wave.frequency)), wave.frequency);
  }
}

// From 20 Hz to 0.45 times the rate at every common rate, and in the middle. sox's synth folds
// frequencies above 48 kHz back (43.2 kHz at 96 kHz comes out as 4.8 kHz), so the highest sines
// of the rates above 48 kHz are made at 44.1 or 48 kHz and labelled with the higher rate, which
// scales every frequency by the same factor.
TEST_F(SoxSignals, SinesAtEveryCommonRate) {
  for (int rate : {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000}) {
    const int base = rate <= 48000 ? rate : rate % 48000 == 0 ? 48000 : 44100;
    for (double frequency : {20.0, 1000.0, 0.45 * rate}) {
      SCOPED_TRACE(Number(frequency) + " Hz at " + std::to_string(rate) + " Hz");
      if (frequency < 0.45 * rate || base == rate) {
        ExpectSteady(Analyze(Synth("sine", rate, 1.0, {"sine", Number(frequency)})), frequency);
        continue;
      }
      Synth("base", base, 1.0, {"sine", Number(0.45 * base)});
      Sox("raw", {"@base", "-t", "raw", folder_ + "/raw.f32"});
      const std::string relabelled =
          Sox("high", {"-t", "raw", "-r", std::to_string(rate), "-e", "floating-point", "-b", "32",
                       "-c", "1", folder_ + "/raw.f32", "@"});
      ExpectSteady(Analyze(relabelled), frequency);
    }
  }
}

// Harmonics 2 to 5 of 220 Hz: the fundamental is the one they share.
TEST_F(SoxSignals, MissingFundamental) {
  Sox("partials",
      {"-n",    "-r", "48000", "-b",  "32",   "-e",  "floating-point", "-c",  "4",    "@",
       "synth", "2",  "sine",  "440", "sine", "660", "sine",           "880", "sine", "1100"});
  const nlohmann::json analysis = Analyze(Sox("mixed", {"@partials", "@", "remix", "-"}));
  ExpectSteady(analysis, 220.0);
  EXPECT_FALSE(analysis["harmonics"][0]["present"].get<bool>());
  for (int index = 1; index <= 4; ++index) {
    EXPECT_TRUE(analysis["harmonics"][index]["present"].get<bool>()) << index + 1;
  }
}

TEST_F(SoxSignals, FiftyMilliseconds) {
  ExpectSteady(Analyze(Synth("sine", 48000, 0.05, {"sine", "440"})), 440.0);
  ExpectSteady(Analyze(Synth("saw", 48000, 0.05, {"sawtooth", "220"})), 220.0);
  ExpectSteady(Analyze(Synth("square", 44100, 0.05, {"square", "1000"})), 1000.0);
}

TEST_F(SoxSignals, NoSinglePitch) {
  const nlohmann::json noise = Analyze(Synth("noise", 48000, 2.0, {"whitenoise"}));
  ExpectNoStablePitch(noise);
  EXPECT_EQ(noise["pitch_summary"], "no pitch from 0.000 s to 2.000 s");

  const nlohmann::json silence =
      Analyze(Sox("silence", {"-n", "-r", "48000", "@", "trim", "0", "2"}));
  ExpectNoStablePitch(silence);
  EXPECT_TRUE(silence["silent"].get<bool>());
  const std::string dc = Sox("dc", {"-n", "-r", "48000", "-b", "32", "-e", "floating-point", "@",
                                    "trim", "0", "1", "dcshift", "0.25"});
  ExpectNoStablePitch(Analyze(dc));
  Sox("quiet", {"-n", "-r", "48000", "-b", "32", "-e", "floating-point", "@", "trim", "0", "1"});
  ExpectNoStablePitch(Analyze(Sox("dc-step", {"@quiet", "@dc", "@"})));

  const nlohmann::json sweep = Analyze(Synth("sweep", 48000, 2.0, {"sine", "100-1000"}));
  ExpectNoStablePitch(sweep);
  ASSERT_EQ(sweep["segments"].size(), 1u) << sweep["pitch_summary"];
  EXPECT_EQ(sweep["segments"][0]["kind"], "glide");
  // sox sweeps exponentially, 100·10^(t/2) Hz; the frames' centres lie 0.15 s in from the ends.
  EXPECT_NEAR(sweep["segments"][0]["start_hz"].get<double>(), 100.0 * std::pow(10.0, 0.075),
              0.01 * 118.9);
  EXPECT_NEAR(sweep["segments"][0]["end_hz"].get<double>(), 100.0 * std::pow(10.0, 0.925),
              0.01 * 841.4);
}

TEST_F(SoxSignals, StepsAreNamedWithTheirTimes) {
  Synth("low", 48000, 1.0, {"sine", "220"});
  Synth("high", 48000, 1.0, {"sine", "330"});
  Synth("low-again", 48000, 0.5, {"sawtooth", "220"});
  const nlohmann::json steps = Analyze(Sox("steps", {"@low", "@high", "@low-again", "@"}));
  ExpectNoStablePitch(steps);
  ASSERT_EQ(steps["segments"].size(), 3u) << steps["pitch_summary"];
  const double expected[][3] = {{220.0, 0.0, 1.0}, {330.0, 1.0, 2.0}, {220.0, 2.0, 2.5}};
  for (int index = 0; index < 3; ++index) {
    const nlohmann::json& segment = steps["segments"][index];
    EXPECT_EQ(segment["kind"], "steady");
    EXPECT_NEAR(segment["frequency_hz"].get<double>(), expected[index][0],
                kSteadyTolerance * expected[index][0]);
    EXPECT_NEAR(segment["start_seconds"].get<double>(), expected[index][1], kBoundaryTolerance);
    EXPECT_NEAR(segment["end_seconds"].get<double>(), expected[index][2], kBoundaryTolerance);
  }
  const std::string summary = steps["pitch_summary"];
  EXPECT_EQ(summary.rfind("220.0 Hz from 0.000 s to ", 0), 0u) << summary;
  EXPECT_NE(summary.find(" s, 330.0 Hz from "), std::string::npos) << summary;
}

// ---- beside aubio -------------------------------------------------------------------------------

// The median of aubiopitch's frames, or NaN when it cannot run.
double AubioMedian(const std::string& path) {
  const ChildOutcome outcome =
      RunChildProcess("aubiopitch", {"-i", path, "-p", "yinfft"}, 120, false);
  if (outcome.ending != ChildOutcome::Ending::kExited || outcome.exit_code != 0) return NAN;
  std::istringstream lines(outcome.output);
  std::vector<double> pitches;
  double time = 0.0;
  double pitch = 0.0;
  while (lines >> time >> pitch) pitches.push_back(pitch);
  if (pitches.empty()) return NAN;
  std::nth_element(pitches.begin(), pitches.begin() + pitches.size() / 2, pitches.end());
  return pitches[pitches.size() / 2];
}

// The signals of the table that a user would draw up first; truth 0 for no single pitch.
TEST_F(SoxSignals, RightWhereverAubioIsAndWhereItIsNot) {
  struct Signal {
    const char* name;
    double truth_hz;
    std::string path;
  };
  Synth("a220", 48000, 1.0, {"sine", "220"});
  Synth("b330", 48000, 1.0, {"sine", "330"});
  const std::vector<Signal> signals = {
      {"sawtooth 55 Hz (naive)", 55.0, Synth("saw", 48000, 2.0, {"sawtooth", "55"})},
      {"sawtooth 55 Hz (band-limited)", 55.0, BandLimited("blsaw", 48000, "sawtooth", 55.0)},
      {"square 110 Hz", 110.0, Synth("square", 48000, 2.0, {"square", "110"})},
      {"triangle 261.63 Hz", 261.63, Synth("triangle", 48000, 2.0, {"triangle", "261.63"})},
      {"220 Hz for 1 s, then 330 Hz", 0.0, Sox("step", {"@a220", "@b330", "@"})},
      {"sine sweep 100 to 1000 Hz", 0.0, Synth("sweep", 48000, 2.0, {"sine", "100-1000"})},
      {"white noise", 0.0, Synth("noise", 48000, 2.0, {"whitenoise"})},
      {"sine 20 Hz", 20.0, Synth("sine20", 48000, 2.0, {"sine", "20"})},
      {"sine 5 kHz", 5000.0, Synth("sine5k", 48000, 2.0, {"sine", "5000"})},
      {"sine 21.6 kHz (0.45 x 48 kHz)", 21600.0, Synth("sine21k", 48000, 2.0, {"sine", "21600"})},
  };
  const bool have_aubio = !std::isnan(AubioMedian(signals.front().path));
  std::ostringstream table;
  table << "| signal | truth | modhost analyze | aubio yinfft |\n| --- | ---: | ---: | ---: |\n";
  for (const Signal& signal : signals) {
    SCOPED_TRACE(signal.name);
    const nlohmann::json analysis = Analyze(signal.path);
    const bool stable = analysis["stable_pitch"].get<bool>();
    const double ours = stable ? analysis["fundamental_hz"].get<double>() : 0.0;
    const double aubio = have_aubio ? AubioMedian(signal.path) : NAN;
    const bool ours_right = signal.truth_hz > 0.0 ? stable && std::abs(ours - signal.truth_hz) <=
                                                                  kSteadyTolerance * signal.truth_hz
                                                  : !stable;
    const bool aubio_right = signal.truth_hz > 0.0 ? std::abs(aubio - signal.truth_hz) <=
                                                         kAubioTolerance * signal.truth_hz
                                                   : aubio == 0.0;
    EXPECT_TRUE(ours_right) << analysis["pitch_summary"];
    if (aubio_right) {
      EXPECT_TRUE(ours_right) << "aubio is right and modhost is not";
    }
    char row[256];
    std::snprintf(row, sizeof row, "| %s | %s | %s | %.2f%s |\n", signal.name,
                  signal.truth_hz > 0.0 ? Number(signal.truth_hz).c_str() : "no single pitch",
                  stable ? Number(std::round(ours * 1e3) / 1e3).c_str()
                         : ("none: " + analysis["pitch_summary"].get<std::string>()).c_str(),
                  aubio, aubio_right ? "" : " (wrong)");
    table << row;
  }
  std::cout << table.str();
  if (!have_aubio) {
    GTEST_SKIP() << "aubiopitch (Debian package aubio-tools) is missing: modhost was checked "
                    "alone; run scripts/install-deps.sh";
  }
}

}  // namespace
}  // namespace modhost
