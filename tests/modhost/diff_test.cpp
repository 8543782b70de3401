// `modhost diff` as a user runs it, on WAV files that libsndfile (another implementation) writes
// here: identical files, one sample one ULP away, the signs of zero, integer files, a known SNR,
// and the files that cannot be compared.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/modhost/run/child_process.h"

namespace modhost {
namespace {

constexpr double kPi = 3.14159265358979323846;

class DiffCommand : public testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/diff_test_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
  }
  void TearDown() override { std::system(("rm -rf '" + folder_ + "'").c_str()); }

  // Writes interleaved `samples` of `channels` channels as `format` (SF_FORMAT_FLOAT, _PCM_16).
  std::string Write(const std::string& name, const std::vector<float>& samples, int channels = 2,
                    int rate = 48000, int format = SF_FORMAT_FLOAT) {
    const std::string path = folder_ + "/" + name + ".wav";
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    const sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames);
    sf_close(file);
    return path;
  }

  struct Result {
    int status = -1;
    std::string out;
    std::string err;
  };

  Result Diff(const std::vector<std::string>& arguments) {
    std::vector<std::string> all = {"diff"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    const ChildOutcome outcome = RunChildProcess(MODHOST_PATH, all, 60, false);
    EXPECT_EQ(outcome.ending, ChildOutcome::Ending::kExited) << outcome.description;
    return {outcome.exit_code, outcome.output, outcome.errors};
  }

  std::string folder_;
};

// A stereo tone of 4800 frames, a sine on the left and its cosine on the right.
std::vector<float> Stereo(double amplitude = 0.5) {
  std::vector<float> samples;
  for (int frame = 0; frame < 4800; ++frame) {
    samples.push_back(static_cast<float>(amplitude * std::sin(2 * kPi * 440.0 * frame / 48000)));
    samples.push_back(static_cast<float>(amplitude * std::cos(2 * kPi * 440.0 * frame / 48000)));
  }
  return samples;
}

TEST_F(DiffCommand, IdenticalFiles) {
  const std::string a = Write("a", Stereo());
  const std::string b = Write("b", Stereo());
  const Result result = Diff({a, b});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            a + " and " + b + " are identical: 4800 frames of 2 channels at 48000 Hz\n");
  const nlohmann::json json = nlohmann::json::parse(Diff({a, b, "--json"}).out);
  EXPECT_TRUE(json["identical"].get<bool>());
  EXPECT_EQ(json["differing_samples"], 0);
}

// The question of a bit-exact module's developer: one sample, one step of float, named.
TEST_F(DiffCommand, OneSampleOneUlpAwayIsNamed) {
  std::vector<float> changed = Stereo();
  float& sample = changed[2 * 1234 + 1];
  sample = std::nextafter(sample, 2.0f);
  const std::string a = Write("a", Stereo());
  const std::string b = Write("b", changed);
  const Result result = Diff({a, b});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("differ: 1 of 9600 samples"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("first difference    frame 1234 (0.025708 s), channel 2:"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("largest in steps    1 ULP of 32-bit float"), std::string::npos);

  const nlohmann::json json = nlohmann::json::parse(Diff({a, b, "--json"}).out);
  EXPECT_FALSE(json["identical"].get<bool>());
  EXPECT_EQ(json["differing_samples"], 1);
  EXPECT_EQ(json["first_difference"]["frame"], 1234);
  EXPECT_EQ(json["first_difference"]["channel"], 2);
  EXPECT_EQ(json["largest_difference_steps"], 1);
  const double step = std::abs(static_cast<double>(sample) - Stereo()[2 * 1234 + 1]);
  EXPECT_EQ(json["largest_difference"]["value"].get<double>(), step);
  EXPECT_NEAR(json["largest_difference"]["dbfs"].get<double>(), 20 * std::log10(step), 1e-9);
}

// -0 and +0 are the same value but not the same bits: a bit-exact module must not swap them.
// Across zero, the smallest numbers of either sign are two steps apart.
TEST_F(DiffCommand, SignsOfZeroAndStepsAcrossZero) {
  const std::string positive = Write("positive", {0.0f, 1e-45f}, 1);
  const std::string negative = Write("negative", {-0.0f, -1e-45f}, 1);
  const Result result = Diff({positive, negative, "--json"});
  EXPECT_EQ(result.status, 1);
  const nlohmann::json json = nlohmann::json::parse(result.out);
  EXPECT_EQ(json["differing_samples"], 2);
  EXPECT_EQ(json["first_difference"]["frame"], 0);
  EXPECT_EQ(json["largest_difference_steps"], 2);
}

TEST_F(DiffCommand, IntegerFilesCountIntegerStepsAndTheSnrIsKnown) {
  std::vector<float> louder = Stereo(0.5 * 1.001);
  const std::string a = Write("a", Stereo(), 2, 48000, SF_FORMAT_PCM_16);
  const std::string b = Write("b", louder, 2, 48000, SF_FORMAT_PCM_16);
  const nlohmann::json json = nlohmann::json::parse(Diff({a, b, "--json"}).out);
  EXPECT_EQ(json["step_format"], "16-bit integer");
  // 0.0005 of full scale in steps of 1/32768 is 16.4, rounded either way.
  EXPECT_GE(json["largest_difference_steps"].get<int>(), 16);
  EXPECT_LE(json["largest_difference_steps"].get<int>(), 17);
  // A difference of 0.1% of the signal: 60 dB, give or take the 16-bit rounding.
  EXPECT_NEAR(json["snr_db"].get<double>(), 60.0, 0.3);

  // The same values stored as float and as 16-bit integers are the same samples.
  const std::string as_float = Write("float", Stereo(), 2, 48000, SF_FORMAT_FLOAT);
  const std::string rounded = Write("rounded", Stereo(), 2, 48000, SF_FORMAT_PCM_16);
  const std::string from_integers = folder_ + "/from_integers.wav";
  SF_INFO info{};
  SNDFILE* file = sf_open(rounded.c_str(), SFM_READ, &info);
  std::vector<float> values(9600);
  sf_readf_float(file, values.data(), 4800);
  sf_close(file);
  EXPECT_EQ(Diff({rounded, Write("from_integers", values)}).status, 0);
  EXPECT_EQ(Diff({as_float, rounded}).status, 1);
}

TEST_F(DiffCommand, FilesThatCannotBeComparedExitTwo) {
  const std::string a = Write("a", Stereo());
  const std::string other_rate = Write("rate", Stereo(), 2, 44100);
  const std::string mono = Write("mono", Stereo(), 1);
  std::vector<float> longer = Stereo();
  longer.insert(longer.end(), {0.25f, -0.25f});
  const std::string longer_file = Write("longer", longer);

  const Result rate = Diff({a, other_rate});
  EXPECT_EQ(rate.status, 2);
  EXPECT_NE(rate.err.find("4800 frames of 2 channels at 48000 Hz"), std::string::npos) << rate.err;
  EXPECT_NE(rate.err.find("4800 frames of 2 channels at 44100 Hz"), std::string::npos) << rate.err;
  EXPECT_EQ(Diff({a, mono}).status, 2);
  const Result length = Diff({a, longer_file});
  EXPECT_EQ(length.status, 2);
  EXPECT_NE(length.err.find("--allow-length"), std::string::npos) << length.err;
  const nlohmann::json json = nlohmann::json::parse(Diff({a, longer_file, "--json"}).out);
  EXPECT_FALSE(json["comparable"].get<bool>());
  EXPECT_EQ(json["b_frames"], 4801);

  const Result common = Diff({a, longer_file, "--allow-length"});
  EXPECT_EQ(common.status, 0) << common.err;
  EXPECT_NE(common.out.find("are identical: the first 4800 frames"), std::string::npos)
      << common.out;
  EXPECT_EQ(Diff({a, folder_ + "/missing.wav"}).status, 2);
  EXPECT_EQ(Diff({a}).status, 2);
}

TEST_F(DiffCommand, NonFiniteSamplesAreCountedApart) {
  const std::string a = Write("a", {0.5f, NAN, 0.25f}, 1);
  const std::string b = Write("b", {0.5f, 0.0f, 0.125f}, 1);
  const Result result = Diff({a, b, "--json"});
  EXPECT_EQ(result.status, 1);
  const nlohmann::json json = nlohmann::json::parse(result.out);
  EXPECT_EQ(json["differing_samples"], 2);
  EXPECT_EQ(json["non_finite_differences"], 1);
  EXPECT_EQ(json["largest_difference"]["value"], 0.125);
  EXPECT_EQ(json["largest_difference"]["frame"], 2);
}

}  // namespace
}  // namespace modhost
