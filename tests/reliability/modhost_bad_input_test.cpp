// modhost against input that is broken on purpose: damaged and hostile WAV files for --input,
// automation files of junk, and command-line values at and past every limit. People point a
// command-line tool at whatever file lies around and script it with computed arguments, so each
// of these must end in one clear line on standard error and a non-zero exit status, and must
// leave nothing in the output folder that could pass for a finished render (neither the output
// nor a temporary file). A case that modhost may accept must then leave a complete WAV.
//
// The cases are generated, not hand-picked only: truncations of a good WAV at every length of its
// header, and damaged copies with single bytes changed, so the reader's every early exit is hit.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kModhost = MODHOST_PATH;
const std::string kPelio = SE_PLUGIN_DIR "/pelio" SE_PLUGIN_SUFFIX;
const std::string kTessavine = SE_PLUGIN_DIR "/tessavine" SE_PLUGIN_SUFFIX;

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char character : text)
    quoted += character == '\'' ? std::string("'\\''") : std::string(1, character);
  return quoted + "'";
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  file << bytes;
}

// A mono 32-bit float WAV of `frames` samples at `rate`, byte by byte.
std::string FloatWav(int32_t rate, int32_t frames, int16_t channels = 1) {
  auto word = [](uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); };
  auto half = [](uint16_t value) { return std::string(reinterpret_cast<const char*>(&value), 2); };
  std::string data;
  for (int32_t i = 0; i < frames * channels; ++i) {
    const float sample = 0.05f * static_cast<float>(i % 7);
    data += std::string(reinterpret_cast<const char*>(&sample), 4);
  }
  const std::string format = half(3) + half(static_cast<uint16_t>(channels)) + word(rate) +
                             word(static_cast<uint32_t>(rate * 4 * channels)) +
                             half(static_cast<uint16_t>(4 * channels)) + half(32);
  const std::string body =
      "WAVE" + std::string("fmt ") + word(16) + format + "data" + word(data.size()) + data;
  return "RIFF" + word(body.size()) + body;
}

struct Outcome {
  int status = -1;
  std::string err;
  std::vector<std::string> files;  // what the folder holds afterwards, but the inputs
};

class ModhostBadInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "modhost_bad_input_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    std::filesystem::create_directory(folder_ + "/in");
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Input(const std::string& name, const std::string& bytes) {
    const std::string path = folder_ + "/in/" + name;
    WriteAll(path, bytes);
    return path;
  }

  // Runs modhost in an empty output folder and lists what it left there.
  Outcome Modhost(const std::vector<std::string>& arguments) {
    const std::string out = folder_ + "/out";
    std::filesystem::remove_all(out);
    std::filesystem::create_directory(out);
    std::string command = "cd " + Quoted(out) + " && " + Quoted(kModhost);
    for (const std::string& argument : arguments) command += " " + Quoted(argument);
    command += " >/dev/null 2>" + Quoted(folder_ + "/stderr");
    const int wait_status = std::system(command.c_str());
    Outcome run;
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    run.err = ReadAll(folder_ + "/stderr");
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
      run.files.push_back(entry.path().filename().string());
    }
    return run;
  }

  // A refusal: a non-zero status, one line of message starting "modhost" and an empty output
  // folder.
  void ExpectRefused(const std::vector<std::string>& arguments) {
    std::string shown;
    for (const std::string& argument : arguments) shown += argument.substr(0, 60) + " ";
    SCOPED_TRACE(shown);
    const Outcome run = Modhost(arguments);
    EXPECT_NE(run.status, 0);
    EXPECT_GT(run.status, 0) << "modhost died instead of refusing";
    const auto lines = std::count(run.err.begin(), run.err.end(), '\n');
    EXPECT_EQ(lines, 1) << run.err;
    EXPECT_EQ(run.err.rfind("modhost", 0), 0u) << run.err;
    EXPECT_TRUE(run.files.empty()) << "left behind: " << run.files.front();
  }

  // Either refused as above, or a complete WAV of `frames` frames and nothing else.
  void ExpectRefusedOrComplete(const std::vector<std::string>& arguments, int64_t frames) {
    const Outcome run = Modhost(arguments);
    if (run.status != 0) {
      ExpectRefused(arguments);
      return;
    }
    ASSERT_EQ(run.files, std::vector<std::string>{"out.wav"});
    SF_INFO info = {};
    SNDFILE* file = sf_open((folder_ + "/out/out.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.frames, frames);
    sf_close(file);
  }

  std::vector<std::string> Render(const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {"render", kPelio, "-o", "out.wav", "--samples", "4410"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
  }

  std::string folder_;
};

TEST_F(ModhostBadInputTest, DamagedWavInputsAreRefusedOrReadToTheirEnd) {
  const std::string good = FloatWav(44100, 64);
  // The harness itself: the good file renders.
  ExpectRefusedOrComplete(Render({"--input", "Pitch=" + Input("good.wav", good)}), 4410);
  ASSERT_EQ(Modhost(Render({"--input", "Pitch=" + Input("good.wav", good)})).status, 0);

  // Every truncation inside the header (44 bytes) and a few inside the samples.
  for (size_t length : {0, 1, 3, 4, 8, 11, 12, 15, 16, 20, 24, 28, 35, 36, 40, 43, 44, 45, 47}) {
    ExpectRefusedOrComplete(
        Render({"--input", "Pitch=" + Input("cut.wav", good.substr(0, length))}), 4410);
  }
  // One byte changed at every position of the header, to a low and a high value.
  for (size_t position = 0; position < 44; ++position) {
    for (char value : {'\0', '\xff'}) {
      std::string damaged = good;
      damaged[position] = value;
      ExpectRefusedOrComplete(Render({"--input", "Pitch=" + Input("bad.wav", damaged)}), 4410);
    }
  }
  // Headers that lie: a rate the render does not run at, no channels, thousands of channels, a
  // data chunk that claims gigabytes.
  ExpectRefused(Render({"--input", "Pitch=" + Input("rate.wav", FloatWav(0, 8))}));
  ExpectRefused(Render({"--input", "Pitch=" + Input("none.wav", FloatWav(44100, 0, 0))}));
  ExpectRefused(Render({"--input", "Pitch=" + Input("wide.wav", FloatWav(44100, 1, 4096))}));
  std::string huge = good;
  huge[40] = huge[41] = huge[42] = '\xff';
  huge[43] = '\x7f';
  ExpectRefusedOrComplete(Render({"--input", "Pitch=" + Input("huge.wav", huge)}), 4410);
  // Not WAV files at all.
  ExpectRefused(Render({"--input", "Pitch=" + Input("text.wav", "just some text\n")}));
  ExpectRefused(Render({"--input", "Pitch=" + folder_ + "/in"}));
  ExpectRefused(Render({"--input", "Pitch=/dev/null"}));
  ExpectRefused(Render({"--input", "Pitch="}));
  ExpectRefused(Render({"--input", "=" + Input("good.wav", good)}));
  // A WAV for a pin that is not an audio input.
  ExpectRefused(Render({"--input", "Quality=" + Input("good.wav", good)}));
  ExpectRefused(Render({"--input", "Output=" + Input("good.wav", good)}));
}

TEST_F(ModhostBadInputTest, JunkAutomationFilesAreRefusedWithTheirLine) {
  static const char kNulBytes[] = "1s:Pitch=5\n\0\0\0garbage\n";
  const std::vector<std::string> junk = {
      std::string(kNulBytes, sizeof kNulBytes - 1),
      "\xff\xfe\x00\x01",
      "1s:\n",
      "1s:=5\n",
      ":Pitch=5\n",
      "1s:Pitch\n",
      "1s Pitch=5\n",
      "99999999999999999999:Pitch=5\n",
      "1e308s:Pitch=5\n",
      "-1:Pitch=5\n",
      "nan:Pitch=5\n",
      "0x10:Pitch=5\n",
      "100:Pitch=5e999\n",
      "100:Pitch=nan\n",
      "100:Quality=Ultra\n",
      "100:Harmonics=65536\n",
      "100:Nosuchpin=1\n",
      "4410:Pitch=5\n",  // the first sample after the render
      std::string(1 << 20, 'x') + "\n",
      "100:Pitch=5\r\n100:Pitch=\xc3\xa9\n",
  };
  for (size_t index = 0; index < junk.size(); ++index) {
    SCOPED_TRACE("junk file " + std::to_string(index));
    ExpectRefused(Render({"--automation", Input("moves.txt", junk[index])}));
  }
  ExpectRefused(Render({"--automation", folder_ + "/in/none.txt"}));
  // Comments, blank lines and a good line are fine.
  ExpectRefusedOrComplete(
      Render({"--automation", Input("fine.txt", "# a comment\n\n   \n100:Quality=High\n")}), 4410);
  EXPECT_EQ(Modhost(Render({"--automation", Input("fine.txt", "# comment\n\n100:Quality=High\n")}))
                .status,
            0);
}

// A folder opens as a stream and reads as nothing; it must not pass for an empty automation file.
TEST_F(ModhostBadInputTest, AnAutomationFolderIsRefused) {
  ExpectRefused(Render({"--automation", folder_ + "/in"}));
}

TEST_F(ModhostBadInputTest, ArgumentsPastTheirLimitsAreRefused) {
  const std::vector<std::vector<std::string>> mistakes = {
      {},
      {"render"},
      {"render", kPelio},
      {"render", kPelio, "-o"},
      {"render", "", "-o", "out.wav"},
      {"render", kPelio, "-o", ""},
      {"render", kPelio, kTessavine, "-o", "out.wav"},
      {"render", kPelio, "-o", "out.wav", "--no-such-option"},
      {"no-such-command"},
      {"render", kPelio, "-o", "out.wav", "--rate", "0"},
      {"render", kPelio, "-o", "out.wav", "--rate", "-44100"},
      {"render", kPelio, "-o", "out.wav", "--rate", "4294967296"},
      {"render", kPelio, "-o", "out.wav", "--rate", "nan"},
      {"render", kPelio, "-o", "out.wav", "--rate", ""},
      {"render", kPelio, "-o", "out.wav", "--samples", "0"},
      {"render", kPelio, "-o", "out.wav", "--samples", "-1"},
      {"render", kPelio, "-o", "out.wav", "--samples", "99999999999999999999"},
      {"render", kPelio, "-o", "out.wav", "--samples", "1.5"},
      {"render", kPelio, "-o", "out.wav", "--seconds", "-1"},
      {"render", kPelio, "-o", "out.wav", "--seconds", "nan"},
      {"render", kPelio, "-o", "out.wav", "--seconds", "inf"},
      {"render", kPelio, "-o", "out.wav", "--seconds", "1e300"},
      {"render", kPelio, "-o", "out.wav", "--seconds", "1", "--samples", "10"},
      {"render", kPelio, "-o", "out.wav", "--samples", "100", "--block", "0"},
      {"render", kPelio, "-o", "out.wav", "--samples", "100", "--block", "-256"},
      {"render", kPelio, "-o", "out.wav", "--samples", "100", "--block", "2147483648"},
      {"render", kPelio, "-o", "out.wav", "--samples", "100", "--seed", "x"},
      {"render", kPelio, "-o", "out.wav", "--samples", "100", "--set", ""},
      {"render", kPelio, "-o", "out.wav", "--samples", "100", "--set", "Pitch"},
      {"render", kPelio, "-o", "out.wav", "--samples", "100", "--set", "Pitch=1", "--set",
       "Pitch=2"},
      {"render", kPelio, "-o", "out.wav", "--samples", "100", "--ramp", "Pitch=1"},
      {"render", kPelio, "-o", "out.wav", "--samples", "100", "--ramp", "Pitch=nan:1"},
      {"render", kPelio, "-o", "out.wav", "--samples", "100", "--at", "100:Pitch=1"},
      {"render", kPelio, "-o", "out.wav", "--samples", "100", "--at", "-0:Pitch=1x"},
  };
  for (const std::vector<std::string>& arguments : mistakes) ExpectRefused(arguments);
}

}  // namespace
