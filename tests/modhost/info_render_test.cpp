// modhost info and render: the render command's input language on its own, then both commands end
// to end, running the built program on the built plug-ins. A render is held against the host core
// driven directly with the same blocks, buffers and events, so any difference is the command's.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "host/modhost/cli/commands.h"
#include "host/modhost/io/wav_io.h"
#include "host/modhost/render/automation.h"
#include "host/modhost/render/control_plan.h"
#include "host/modhost/render/render.h"
#include "tests/modhost/sndfile_wav.h"
#include "tests/support/test_host.h"

namespace {

using modhost::AudioInputPlan;
using modhost::BlockLengths;
using modhost::ControlPlan;
using modhost::EnumItem;
using modhost::UserControls;
using modhost_test::ReadWav;
using modhost_test::Wav;
using modhost_test::WriteWav;

const std::string kModhost = MODHOST_PATH;
const std::string kPelio = SE_PLUGIN_DIR "/pelio" SE_PLUGIN_SUFFIX;
const std::string kTessavine = SE_PLUGIN_DIR "/tessavine" SE_PLUGIN_SUFFIX;
const std::string kFrameModule = SE_TEST_PLUGIN_DIR "/frame_test_module" SE_PLUGIN_SUFFIX;
const std::string kNoMain = SE_TEST_PLUGIN_DIR "/host_no_entry_library" SE_PLUGIN_SUFFIX;
const std::string kNullRecord = SE_TEST_PLUGIN_DIR "/host_raw_null_plugin" SE_PLUGIN_SUFFIX;
const std::string kNoMagic = SE_TEST_PLUGIN_DIR "/host_raw_no_magic_plugin" SE_PLUGIN_SUFFIX;

// ---- The input language -------------------------------------------------------------------------

TEST(RenderLanguage, EnumItemsCountFromZeroOrFromAnExplicitValue) {
  auto values = [](const std::string& extra) {
    std::vector<std::pair<std::string, int32_t>> result;
    for (const EnumItem& item : modhost::ParseEnumItems(extra)) {
      result.push_back({item.label, item.value});
    }
    return result;
  };
  using Items = std::vector<std::pair<std::string, int32_t>>;
  EXPECT_EQ(values("A,B,C"), (Items{{"A", 0}, {"B", 1}, {"C", 2}}));
  EXPECT_EQ(values("1=1,2,3"), (Items{{"1", 1}, {"2", 2}, {"3", 3}}));
  EXPECT_EQ(values("x, y=5 ,z"), (Items{{"x", 0}, {"y", 5}, {"z", 6}}));
  EXPECT_EQ(values("1 Volt/Octave,1 Volt/kHz"), (Items{{"1 Volt/Octave", 0}, {"1 Volt/kHz", 1}}));
  EXPECT_EQ(values("a=b,c"), (Items{{"a=b", 0}, {"c", 1}}));
  EXPECT_TRUE(values("").empty());
}

TEST(RenderLanguage, EnumValuesAreFoundByLabelFirstThenByValue) {
  const auto quality = modhost::ParseEnumItems("Normal,High,Ultra-High");
  const auto reversed = modhost::ParseEnumItems("2,1");
  int32_t value = -1;
  std::string error;
  EXPECT_TRUE(modhost::ResolveEnumValue(quality, "High", &value, &error));
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(modhost::ResolveEnumValue(quality, "ultra-high", &value, &error));
  EXPECT_EQ(value, 2);
  EXPECT_TRUE(modhost::ResolveEnumValue(quality, "0", &value, &error));
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(modhost::ResolveEnumValue(reversed, "2", &value, &error));
  EXPECT_EQ(value, 0) << "the label 2 is the item of value 0";
  EXPECT_FALSE(modhost::ResolveEnumValue(quality, "3", &value, &error));
  EXPECT_NE(error.find("Normal (0), High (1), Ultra-High (2)"), std::string::npos) << error;
  EXPECT_FALSE(modhost::ResolveEnumValue(quality, "Best", &value, &error));
  EXPECT_TRUE(modhost::ResolveEnumValue({}, "-7", &value, &error));
  EXPECT_EQ(value, -7);
  EXPECT_FALSE(modhost::ResolveEnumValue({}, "70000", &value, &error));
}

TEST(RenderLanguage, TimesAreSamplesSecondsOrMilliseconds) {
  int64_t sample = -1;
  std::string error;
  EXPECT_TRUE(modhost::ParseTime("44100", 44100, &sample, &error));
  EXPECT_EQ(sample, 44100);
  EXPECT_TRUE(modhost::ParseTime("1.5s", 44100, &sample, &error));
  EXPECT_EQ(sample, 66150);
  EXPECT_TRUE(modhost::ParseTime("250ms", 48000, &sample, &error));
  EXPECT_EQ(sample, 12000);
  EXPECT_TRUE(modhost::ParseTime("0.00001s", 44100, &sample, &error));
  EXPECT_EQ(sample, 0) << "seconds round to the nearest sample";
  for (const char* bad : {"1.5", "-1", "-1s", "s", "ms", "1.5 seconds", "abc", "", "1e3"}) {
    EXPECT_FALSE(modhost::ParseTime(bad, 44100, &sample, &error)) << bad;
  }
  EXPECT_TRUE(modhost::ParseTime("1e-3s", 1000, &sample, &error));
  EXPECT_EQ(sample, 1);
  EXPECT_TRUE(modhost::ParseTime("7ms", 44100, &sample, &error));
  EXPECT_EQ(sample, 309) << "308.7 samples are 309, not 308";
}

TEST(RenderLanguage, NumbersAreStrict) {
  double volts = 0;
  std::string error;
  EXPECT_TRUE(modhost::ParseVolts("-2.5", &volts, &error));
  EXPECT_EQ(volts, -2.5);
  EXPECT_TRUE(modhost::ParseVolts(".5", &volts, &error));
  EXPECT_TRUE(modhost::ParseVolts("1e1", &volts, &error));
  EXPECT_EQ(volts, 10.0);
  for (const char* bad : {"nan", "inf", "0x10", "5 V", "5V", "1e", "1e999", "--1", ".", ""}) {
    EXPECT_FALSE(modhost::ParseVolts(bad, &volts, &error)) << bad;
  }
  int64_t number = 0;
  EXPECT_FALSE(modhost::ParseWholeNumber("44.1", 1, 100000, &number, &error));
  EXPECT_FALSE(modhost::ParseWholeNumber("0", 1, 100000, &number, &error));
  EXPECT_FALSE(modhost::ParseWholeNumber("99999999999999999999", 1, 100000, &number, &error));
}

TEST(RenderLanguage, ChangesRampsAndAutomationFiles) {
  std::string error;
  modhost::TimedAssignment change;
  change.origin = "--at";
  ASSERT_TRUE(modhost::ParseTimedAssignment("2s:Freq Scale=1 Volt/kHz", 100, &change, &error));
  EXPECT_EQ(change.sample, 200);
  EXPECT_EQ(change.assignment.pin, "Freq Scale");
  EXPECT_EQ(change.assignment.value, "1 Volt/kHz");
  EXPECT_EQ(change.origin, "--at");
  EXPECT_FALSE(modhost::ParseTimedAssignment("Pitch=5", 100, &change, &error));
  EXPECT_FALSE(modhost::ParseTimedAssignment("10:=5", 100, &change, &error));
  EXPECT_FALSE(modhost::ParseTimedAssignment("10:Pitch=", 100, &change, &error));

  modhost::Ramp ramp;
  ASSERT_TRUE(modhost::ParseRamp("Mod=20:-20", &ramp, &error));
  EXPECT_EQ(ramp.pin, "Mod");
  EXPECT_EQ(ramp.from_volts, 20);
  EXPECT_EQ(ramp.to_volts, -20);
  EXPECT_FALSE(modhost::ParseRamp("Mod=20", &ramp, &error));

  std::vector<modhost::TimedAssignment> changes;
  ASSERT_TRUE(modhost::ParseAutomation("# a comment\r\n\n  10:Pitch=6\r\n   # another\n20:Mode=B",
                                       "moves.txt", 44100, &changes, &error))
      << error;
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].origin, "moves.txt:3:6");
  EXPECT_EQ(changes[1].sample, 20);
  EXPECT_EQ(changes[1].assignment.value, "B");
  EXPECT_FALSE(
      modhost::ParseAutomation("10:Pitch=6\n1.5:Pitch=7\n", "moves.txt", 44100, &changes, &error));
  EXPECT_EQ(error.rfind("moves.txt:2:1: ", 0), 0u) << error;
  EXPECT_EQ(changes.size(), 2u) << "a failed file adds nothing";
}

// ---- The plan of a render -----------------------------------------------------------------------

se_host::PinInfo MakePin(int32_t index, const std::string& name, PinDirection direction,
                         PinDatatype datatype, const std::string& default_value,
                         const std::string& extra = "") {
  static int32_t storage[64];
  se_host::PinInfo pin = {};
  pin.index = index;
  pin.name = name;
  pin.direction = static_cast<int32_t>(direction);
  pin.datatype = static_cast<int32_t>(datatype);
  pin.default_value = default_value;
  pin.extra = extra;
  pin.has_extra = !extra.empty();
  pin.variable_address = &storage[index];
  return pin;
}

// The shape of Pelio's table in four pins, plus a second output.
std::vector<se_host::PinInfo> SmallPinTable() {
  return {MakePin(0, "Pitch", PinDirection::Input, PinDatatype::Audio, "5"),
          MakePin(1, "Harmonics", PinDirection::Input, PinDatatype::Enum, "16",
                  "1=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16"),
          MakePin(2, "Left", PinDirection::Output, PinDatatype::Audio, "0"),
          MakePin(3, "Quality", PinDirection::Setting, PinDatatype::Enum, "0",
                  "Normal,High,Ultra-High"),
          MakePin(4, "Right", PinDirection::Output, PinDatatype::Audio, "0")};
}

TEST(RenderPlan, InputsStartAtTheirDefaultsAndControlsAtSampleZero) {
  ControlPlan plan;
  std::string error;
  UserControls controls;
  controls.changes.push_back({100, {"Harmonics", "3"}, "--at"});
  controls.changes.push_back({0, {"quality", "High"}, "--at"});
  controls.sets.push_back({"Quality", "Ultra-High"});
  ASSERT_TRUE(modhost::PlanControls(SmallPinTable(), controls, 1000, &plan, &error)) << error;
  EXPECT_EQ(plan.outputs, (std::vector<int32_t>{2, 4}));
  ASSERT_EQ(plan.audio_inputs.size(), 1u);
  EXPECT_EQ(plan.audio_inputs[0].volts, 5.0);
  ASSERT_EQ(plan.events.size(), 4u);
  // Starting values first (the --set replaces Quality's default), then the changes by time.
  const std::vector<std::vector<int64_t>> expected = {
      {0, 1, 16}, {0, 3, 2}, {0, 3, 1}, {100, 1, 3}};
  for (size_t position = 0; position < expected.size(); ++position) {
    EXPECT_EQ(plan.events[position].sample, expected[position][0]) << position;
    EXPECT_EQ(plan.events[position].pin, expected[position][1]) << position;
    EXPECT_EQ(plan.events[position].value, expected[position][2]) << position;
  }
}

TEST(RenderPlan, RefusesWhatThePinsCannotTake) {
  auto refusal = [](UserControls controls) {
    ControlPlan plan;
    std::string error;
    EXPECT_FALSE(modhost::PlanControls(SmallPinTable(), controls, 1000, &plan, &error));
    return error;
  };
  UserControls unknown;
  unknown.sets.push_back({"Pich", "5"});
  EXPECT_NE(refusal(unknown).find("no pin named 'Pich'"), std::string::npos);
  UserControls output;
  output.sets.push_back({"Left", "1"});
  EXPECT_NE(refusal(output).find("is an output"), std::string::npos);
  UserControls twice;
  twice.sets.push_back({"Pitch", "1"});
  twice.inputs.push_back({"Pitch", "in.wav"});
  EXPECT_NE(refusal(twice).find("already given by --set Pitch=1"), std::string::npos);
  UserControls ramped_enum;
  ramped_enum.ramps.push_back({"Quality", 0, 2});
  EXPECT_NE(refusal(ramped_enum).find("not an audio input"), std::string::npos);
  UserControls late;
  late.changes.push_back({1000, {"Pitch", "1"}, "--at 1000:Pitch=1"});
  EXPECT_NE(refusal(late).find("past the end of the render (1000 samples)"), std::string::npos);
  UserControls bad_item;
  bad_item.changes.push_back({10, {"Harmonics", "17"}, "--at 10:Harmonics=17"});
  EXPECT_EQ(refusal(bad_item).rfind("--at 10:Harmonics=17: '17' is none", 0), 0u);

  // Of names that differ only in case, an exact one is taken; a match but for case must be the
  // only one, or the name is refused.
  std::vector<se_host::PinInfo> twins = SmallPinTable();
  twins.push_back(MakePin(5, "PITCH", PinDirection::Input, PinDatatype::Audio, "0"));
  ControlPlan plan;
  std::string error;
  UserControls ambiguous;
  ambiguous.sets.push_back({"pitch", "1"});
  EXPECT_FALSE(modhost::PlanControls(twins, ambiguous, 1000, &plan, &error));
  EXPECT_NE(error.find("no pin named 'pitch'"), std::string::npos) << error;
  UserControls exact;
  exact.sets.push_back({"PITCH", "1"});
  EXPECT_TRUE(modhost::PlanControls(twins, exact, 1000, &plan, &error)) << error;

  EXPECT_FALSE(modhost::PlanControls({SmallPinTable()[0]}, {}, 1000, &plan, &error));
  EXPECT_EQ(error, "the module has no audio output to render");
}

TEST(RenderPlan, StepsOverrideTheBaseSignalFromTheirSampleOnAcrossBlocks) {
  AudioInputPlan plan;
  plan.ramped = true;
  plan.ramp_from_volts = 10;
  plan.ramp_to_volts = 0;
  plan.steps = {{5, 2.0}, {7, 3.0}, {7, 4.0}, {12, 1.0}};
  const int64_t total = 11;  // the ramp falls by exactly 1 V per sample
  std::vector<float> whole(16);
  modhost::FillAudioInput(plan, 0, 16, total, whole.data());
  const std::vector<float> expected = {1.0f, 0.9f, 0.8f, 0.7f, 0.6f, 0.2f, 0.2f, 0.4f,
                                       0.4f, 0.4f, 0.4f, 0.4f, 0.1f, 0.1f, 0.1f, 0.1f};
  EXPECT_EQ(whole, expected);
  // Cut anywhere, the blocks give the same signal.
  for (int32_t cut = 1; cut < 16; ++cut) {
    std::vector<float> pieces(16);
    modhost::FillAudioInput(plan, 0, cut, total, pieces.data());
    modhost::FillAudioInput(plan, cut, 16 - cut, total, pieces.data() + cut);
    EXPECT_EQ(pieces, whole) << "cut at " << cut;
  }
  EXPECT_EQ(modhost::RampVolts(20, 0, 0, 44100), 20.0);
  EXPECT_EQ(modhost::RampVolts(20, 0, 44099, 44100), 0.0);
}

TEST(RenderPlan, RandomBlocksFollowTheSeedAndStayInRange) {
  BlockLengths first = BlockLengths::Random(7);
  BlockLengths second = BlockLengths::Random(7);
  BlockLengths other = BlockLengths::Random(8);
  bool differs = false;
  for (int block = 0; block < 1000; ++block) {
    const int32_t length = first.Next(1 << 20);
    EXPECT_GE(length, 1);
    EXPECT_LE(length, BlockLengths::kRandomLongest);
    EXPECT_EQ(second.Next(1 << 20), length);
    differs |= other.Next(1 << 20) != length;
  }
  EXPECT_TRUE(differs);
  EXPECT_EQ(BlockLengths::Fixed(256).Next(100), 100);
}

// ---- Running modhost ----------------------------------------------------------------------------

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char character : text) {
    if (character == '\'') {
      quoted += "'\\''";
    } else {
      quoted += character;
    }
  }
  return quoted + "'";
}

// A fresh folder for one test's files, removed afterwards; modhost runs inside it.
class ModhostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "modhost_info_render_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string InFolder(const std::string& name) const { return folder_ + "/" + name; }

  Outcome Modhost(const std::vector<std::string>& arguments) const {
    std::string command = "cd " + ShellQuoted(folder_) + " && " + ShellQuoted(kModhost);
    for (const std::string& argument : arguments) command += " " + ShellQuoted(argument);
    command += " >.stdout 2>.stderr";
    const int wait_status = std::system(command.c_str());
    Outcome run;
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    run.out = ReadFile(InFolder(".stdout"));
    run.err = ReadFile(InFolder(".stderr"));
    std::filesystem::remove(InFolder(".stdout"));
    std::filesystem::remove(InFolder(".stderr"));
    return run;
  }

  std::vector<std::string> FolderContents() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string folder_;
};

// ---- info ---------------------------------------------------------------------------------------

TEST_F(ModhostTest, InfoPrintsPropertiesAndThePinTable) {
  const Outcome tessavine = Modhost({"info", kTessavine});
  ASSERT_EQ(tessavine.status, modhost::kExitOk) << tessavine.err;
  EXPECT_EQ(tessavine.out,
            "Library " + kTessavine +
                "\n"
                "Name    Tessavine\n"
                "Id      morvane Tessavine\n"
                "About   Tessavine module v 1.1\n"
                "\n"
                "Pins (3)\n"
                "index  name        direction  type   default  extra\n"
                "    0  Pitch       input      audio  5\n"
                "    1  Signal Out  output     audio  0\n"
                "    2  Freq Scale  setting    enum   0        1 Volt/Octave,1 Volt/kHz\n");

  const Outcome pelio = Modhost({"info", kPelio});
  ASSERT_EQ(pelio.status, modhost::kExitOk) << pelio.err;
  for (const char* line : {
           "Name    ZO-Pelio\n",
           "Id      ZO Pelio\n",
           "About   Pelio v0.6\n\n        Quick Help:\n",
           "        mod - this works like a low-pass filter\n\nPins (22)\n",
           "    1  Harmonics   input      enum   16       "
           "1=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16\n",
           "   17  16f         input      audio  0\n",
           "   18  Mod         input      audio  20       20,-20,20,-20\n",
           "   19  Output      output     audio  0\n",
           "   21  Quality     setting    enum   0        Normal,High,Ultra-High\n",
       }) {
    EXPECT_NE(pelio.out.find(line), std::string::npos) << line << "\nin\n" << pelio.out;
  }
}

TEST_F(ModhostTest, InfoJsonHoldsTheSameFacts) {
  const Outcome tessavine = Modhost({"info", kTessavine, "--json"});
  ASSERT_EQ(tessavine.status, modhost::kExitOk) << tessavine.err;
  const auto document = nlohmann::json::parse(tessavine.out);
  EXPECT_EQ(document, nlohmann::json::parse(R"({
    "library": ")" + kTessavine + R"(", "name": "Tessavine", "id": "morvane Tessavine",
    "about": "Tessavine module v 1.1\n",
    "pins": [
      {"index": 0, "name": "Pitch", "direction": "input", "direction_code": 0,
       "datatype": "audio", "datatype_code": 5, "default": "5", "extra": null},
      {"index": 1, "name": "Signal Out", "direction": "output", "direction_code": 1,
       "datatype": "audio", "datatype_code": 5, "default": "0", "extra": null},
      {"index": 2, "name": "Freq Scale", "direction": "setting", "direction_code": 3,
       "datatype": "enum", "datatype_code": 0, "default": "0",
       "extra": "1 Volt/Octave,1 Volt/kHz"}]})"));

  const Outcome pelio = Modhost({"info", kPelio, "--json"});
  ASSERT_EQ(pelio.status, modhost::kExitOk) << pelio.err;
  const auto pelio_document = nlohmann::json::parse(pelio.out);
  EXPECT_EQ(pelio_document["name"], "ZO-Pelio");
  EXPECT_EQ(pelio_document["id"], "ZO Pelio");
  const std::string about = pelio_document["about"];
  EXPECT_EQ(about.rfind("Pelio v0.6\n\nQuick Help:\n", 0), 0u);
  EXPECT_EQ(about.substr(about.size() - 40), "mod - this works like a low-pass filter\n");
  const auto& pins = pelio_document["pins"];
  ASSERT_EQ(pins.size(), 22u);
  for (size_t index = 0; index < pins.size(); ++index) EXPECT_EQ(pins[index]["index"], index);
  EXPECT_EQ(pins[1]["extra"], "1=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16");
  EXPECT_EQ(pins[5]["name"], "4f");
  EXPECT_TRUE(pins[5]["extra"].is_null());
  EXPECT_EQ(pins[18]["default"], "20");
  EXPECT_EQ(pins[19]["direction"], "output");
  EXPECT_EQ(pins[20]["datatype"], "enum");
  EXPECT_EQ(pins[21]["direction_code"], 3);
}

// ---- render -------------------------------------------------------------------------------------

// A pin update the reference host sends, and an input filler: the inputs as buffer values.
struct DirectEvent {
  uint32_t time_stamp;
  int32_t pin;
  int32_t value;
};
using InputFiller = std::function<void(int32_t pin, int64_t start, int32_t length, float* buffer)>;

// The test host driven by hand as a host would: every event queued before the first block, one
// buffer per audio pin, blocks as the render's BlockLengths gives them.
std::vector<float> RenderDirectly(const std::string& path, int32_t rate, int64_t total,
                                  BlockLengths blocks, const std::vector<DirectEvent>& events,
                                  const InputFiller& fill_input) {
  se_test::TestHost host(se_test::LoadLibrary(path));
  se_host::HostedModule& module = host.core();
  module.set_recording(false);
  const std::vector<se_host::PinInfo>& pins = host.pins();
  module.set_pin_count(static_cast<int32_t>(pins.size()));
  module.SetSampleRate(static_cast<float>(rate));
  module.SetBlockSize(blocks.longest());
  module.Open();
  host.BindBuffers(blocks.longest());
  int32_t output = -1;
  for (const se_host::PinInfo& pin : pins) {
    if (pin.datatype != static_cast<int32_t>(PinDatatype::Audio)) continue;
    if (pin.direction == static_cast<int32_t>(PinDirection::Output)) output = pin.index;
  }
  for (const DirectEvent& event : events) {
    module.PinUpdate(event.pin, 0, event.value, event.time_stamp);
  }
  std::vector<float> rendered;
  for (int64_t done = 0; done < total;) {
    const int32_t length = blocks.Next(total - done);
    for (const se_host::PinInfo& pin : pins) {
      if (pin.datatype != static_cast<int32_t>(PinDatatype::Audio) || pin.index == output) {
        continue;
      }
      fill_input(pin.index, done, length, host.buffer(pin.index));
    }
    host.Render(length);
    rendered.insert(rendered.end(), host.buffer(output), host.buffer(output) + length);
    done += length;
  }
  return rendered;
}

float Volts(double volts) { return static_cast<float>(volts / 10.0); }

void ExpectSameBits(const std::vector<float>& actual, const std::vector<float>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  size_t differences = 0;
  for (size_t position = 0; position < actual.size(); ++position) {
    if (std::memcmp(&actual[position], &expected[position], sizeof(float)) != 0) {
      if (++differences <= 5) {
        ADD_FAILURE() << "sample " << position << ": " << actual[position] << " instead of "
                      << expected[position];
      }
    }
  }
  EXPECT_EQ(differences, 0u);
}

TEST_F(ModhostTest, PelioRenderMatchesTheHostCoreSampleForSample) {
  const int64_t total = 30011;
  const Outcome run =
      Modhost({"render", kPelio,         "-o",           "pelio.wav", "--samples",
               "30011",  "--block",      "random",       "--seed",    "7",
               "--set",  "1f=10",        "--set",        "2f=3",      "--set",
               "5f=-2",  "--set",        "Quality=High", "--at",      "10000:Harmonics=2",
               "--at",   "0.5s:Pitch=6", "--ramp",       "Mod=20:0"});
  ASSERT_EQ(run.status, modhost::kExitOk) << run.err;
  EXPECT_NE(run.out.find("pelio.wav: 30011 samples"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("peak"), std::string::npos);
  const Wav wav = ReadWav(InFolder("pelio.wav"));
  EXPECT_EQ(wav.info.samplerate, 44100);
  EXPECT_EQ(wav.info.channels, 1);
  EXPECT_EQ(wav.info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);

  // Harmonics, Freq Scale and Quality start at their defaults (16, 0) and the --set (High = 1).
  const std::vector<DirectEvent> events = {{0, 1, 16}, {0, 20, 0}, {0, 21, 1}, {10000, 1, 2}};
  const auto fill = [&](int32_t pin, int64_t start, int32_t length, float* buffer) {
    for (int32_t offset = 0; offset < length; ++offset) {
      const int64_t sample = start + offset;
      float value = 0;
      if (pin == 0) value = Volts(sample < 22050 ? 5 : 6);
      if (pin == 2) value = Volts(10);
      if (pin == 3) value = Volts(3);
      if (pin == 6) value = Volts(-2);
      if (pin == 18) value = Volts(20.0 - 20.0 * sample / (total - 1));
      buffer[offset] = value;
    }
  };
  ExpectSameBits(wav.samples,
                 RenderDirectly(kPelio, 44100, total, BlockLengths::Random(7), events, fill));
}

TEST_F(ModhostTest, TessavineRenderMatchesTheHostCoreUnderBothPitchLaws) {
  const int64_t total = 48000;
  const Outcome run =
      Modhost({"render", kTessavine, "-o", "glide.wav", "--rate", "48000", "--seconds", "1",
               "--block", "100", "--ramp", "Pitch=3:7", "--at", "24000:Freq Scale=1 Volt/kHz"});
  ASSERT_EQ(run.status, modhost::kExitOk) << run.err;
  const Wav wav = ReadWav(InFolder("glide.wav"));
  EXPECT_EQ(wav.info.samplerate, 48000);
  const std::vector<DirectEvent> events = {{0, 2, 0}, {24000, 2, 1}};
  const auto fill = [&](int32_t, int64_t start, int32_t length, float* buffer) {
    for (int32_t offset = 0; offset < length; ++offset) {
      buffer[offset] = Volts(3.0 + 4.0 * static_cast<double>(start + offset) / (total - 1));
    }
  };
  ExpectSameBits(wav.samples,
                 RenderDirectly(kTessavine, 48000, total, BlockLengths::Fixed(100), events, fill));
}

// The frame's test module writes In + 100 * Mode to Out, so every change shows at its sample.
// A length in seconds is rounded to the nearest sample, a half up: 0.007 s at 44.1 kHz is 308.7
// samples and renders 309; a length under half a sample is refused.
TEST_F(ModhostTest, FractionalSecondsRenderTheNearestWholeNumberOfSamples) {
  struct Length {
    const char* rate;
    const char* seconds;
    int64_t frames;  // 0: refused
  };
  const Length lengths[] = {{"44100", "0.007", 309}, {"44100", "0.0069", 304},
                            {"44100", "1", 44100},   {"2", "0.25", 1},
                            {"2", "1.25", 3},        {"2", "0.24", 0},
                            {"48000", "0.00001", 0}, {"48000", "0.0000105", 1}};
  for (const Length& length : lengths) {
    SCOPED_TRACE(std::string(length.seconds) + " s at " + length.rate + " Hz");
    const Outcome run = Modhost({"render", kTessavine, "-o", "length.wav", "--quiet", "--rate",
                                 length.rate, "--seconds", length.seconds});
    if (length.frames == 0) {
      EXPECT_EQ(run.status, modhost::kExitUsage) << run.err;
      continue;
    }
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadWav(InFolder("length.wav")).info.frames, length.frames);
  }
}

TEST_F(ModhostTest, AutomationLandsOnItsExactSample) {
  std::ofstream(InFolder("moves.txt")) << "# Mode steps inside a block, on a block's first sample\n"
                                          "\n"
                                          "  137:Mode=B\n"
                                          "256:Mode=A\n"
                                          "300:mode=2\n"
                                          "10ms:In=2\n";
  const Outcome run =
      Modhost({"render", kFrameModule, "-o", "frame.wav", "--samples", "600", "--block", "64",
               "--automation", "moves.txt", "--at", "500:In=-1", "--trace"});
  ASSERT_EQ(run.status, modhost::kExitOk) << run.err;
  const Wav wav = ReadWav(InFolder("frame.wav"));
  ASSERT_EQ(wav.samples.size(), 600u);
  for (int sample = 0; sample < 600; ++sample) {
    const float in = sample >= 500 ? Volts(-1) : sample >= 441 ? Volts(2) : 0.0f;
    const float mode = sample >= 300 ? 2 : sample >= 256 ? 0 : sample >= 137 ? 1 : 0;
    EXPECT_EQ(wav.samples[sample], in + 100.0f * mode) << "sample " << sample;
  }
  // The trace shows each event queued before its block, and the module's requests at open.
  for (const char* line : {
           "dispatcher 0 Open -> 0\n  request 3 GetSampleClock(index 0, value 0, ptr 0, opt 0) "
           "-> 0  [during dispatcher 0]\n  request 14 GetPinCount(index 0, value 0, ptr 0, opt "
           "0) -> 3  [during dispatcher 0]\n",
           "dispatcher 7 AddEvent(time_stamp 137, event_type 0, value1 0, value2 1, data 2) -> 0\n"
           "process(buffer_offset 0, sampleFrames 64) at clock 128\n",
           "dispatcher 7 AddEvent(time_stamp 256, event_type 0, value1 0, value2 0, data 2) -> 0\n"
           "dispatcher 7 AddEvent(time_stamp 300, event_type 0, value1 0, value2 2, data 2) -> 0\n"
           "process(buffer_offset 0, sampleFrames 64) at clock 256\n",
           "process(buffer_offset 0, sampleFrames 24) at clock 576\ndispatcher 1 Close -> 1\n",
       }) {
    EXPECT_NE(run.err.find(line), std::string::npos) << line << "\nin\n" << run.err;
  }
}

TEST_F(ModhostTest, InputFileFeedsAnAudioInputThenSilence) {
  std::vector<float> recording(100);
  for (size_t sample = 0; sample < recording.size(); ++sample) recording[sample] = 0.01f * sample;
  WriteWav(InFolder("in.wav"), 44100, 1, recording);
  const Outcome run = Modhost({"render", kFrameModule, "-o", "out.wav", "--samples", "150",
                               "--input", "In=in.wav", "--block", "random"});
  ASSERT_EQ(run.status, modhost::kExitOk) << run.err;
  const Wav wav = ReadWav(InFolder("out.wav"));
  ASSERT_EQ(wav.samples.size(), 150u);
  for (size_t sample = 0; sample < 150; ++sample) {
    EXPECT_EQ(wav.samples[sample], sample < 100 ? recording[sample] : 0.0f) << sample;
  }
}

TEST_F(ModhostTest, EachMistakeGetsOneLineAnExitStatusAndNoFile) {
  WriteWav(InFolder("fast.wav"), 48000, 1, std::vector<float>(10));
  WriteWav(InFolder("stereo.wav"), 44100, 2, std::vector<float>(20));
  const std::vector<std::string> before = FolderContents();
  struct Mistake {
    std::vector<std::string> arguments;
    int status;
    std::string message;
  };
  const std::string render_output = "out.wav";
  const std::vector<Mistake> mistakes = {
      {{"info", "missing.so"},
       modhost::kExitCannotLoad,
       "modhost info: cannot load 'missing.so': No such file or directory"},
      {{"info", "fast.wav"},
       modhost::kExitCannotLoad,
       "modhost info: cannot load 'fast.wav': it is not a library (neither ELF nor PE): it starts "
       "with \"RIFF"},
      {{"render", "missing.so", "-o", "out.wav"},
       modhost::kExitCannotLoad,
       "modhost render: cannot load 'missing.so'"},
      {{"render", kNoMain, "-o", "out.wav"},
       modhost::kExitNoMain,
       "modhost render: cannot load '" + kNoMain +
           "': it exports no 'main', so it is not a module library"},
      {{"info", kNullRecord},
       modhost::kExitBadRecord,
       "modhost info: '" + kNullRecord + "' is not a usable module: main returned a null record"},
      {{"render", kNoMagic, "-o", "out.wav"},
       modhost::kExitBadRecord,
       "modhost render: '" + kNoMagic + "' is not a usable module: the record starts with"},
      {{"render", kPelio, "-o", "out.wav", "--set", "Pich=5"},
       modhost::kExitUsage,
       "modhost render: --set Pich=5: the module has no pin named 'Pich' (its pins: Pitch, "},
      {{"render", kPelio, "-o", "out.wav", "--at", "1s:Quality=Best"},
       modhost::kExitUsage,
       "modhost render: --at 1s:Quality=Best: sample 44100 is past the end"},
      {{"render", kPelio, "-o", "out.wav", "--at", "0.5s:Quality=Best"},
       modhost::kExitUsage,
       "modhost render: --at 0.5s:Quality=Best: 'Best' is none of the pin's items: Normal (0), "
       "High (1), Ultra-High (2)"},
      {{"render", kPelio, "-o", "out.wav", "--set", "Harmonics=0"},
       modhost::kExitUsage,
       "modhost render: --set Harmonics=0: '0' is none of the pin's items: 1, 2, 3, 4"},
      {{"render", kPelio, "-o", "out.wav", "--set", "Pitch=five"},
       modhost::kExitUsage,
       "modhost render: --set Pitch=five: 'five' is not a number of volts"},
      {{"render", kPelio, "-o", "out.wav", "--rate", "44.1k"},
       modhost::kExitUsage,
       "modhost render: --rate: '44.1k' is not a whole number"},
      {{"render", kPelio, "-o", "out.wav", "--seconds", "0"},
       modhost::kExitUsage,
       "modhost render: --seconds: 0 s is 0 samples"},
      {{"render", kPelio, "-o", "out.wav", "--block", "often"},
       modhost::kExitUsage,
       "modhost render: --block: 'often' is not a whole number"},
      {{"render", kPelio, "-o", "out.wav", "--automation", "none.txt"},
       modhost::kExitUsage,
       "modhost render: cannot read 'none.txt': No such file or directory"},
      {{"render", kPelio, "-o", "no/such/folder/out.wav"},
       modhost::kExitOutputFailed,
       "modhost render: cannot write 'no/such/folder/out.wav': No such file or directory"},
      {{"render", kPelio, "-o", "."},
       modhost::kExitOutputFailed,
       "modhost render: cannot write '.': it is a folder"},
      {{"render", kPelio, "-o", "out.wav", "--input", "Pitch=fast.wav"},
       modhost::kExitUsage,
       "modhost render: --input Pitch: 'fast.wav' has 1 channel at 48000 Hz; expected 1 channel "
       "at 44100 Hz"},
      {{"render", kPelio, "-o", "out.wav", "--input", "Pitch=stereo.wav"},
       modhost::kExitUsage,
       "modhost render: --input Pitch: 'stereo.wav' has 2 channels at 44100 Hz; expected 1 "
       "channel at 44100 Hz"},
      {{"render", kPelio, "-o", "out.wav", "--input", "Pitch=missing.wav"},
       modhost::kExitUsage,
       "modhost render: --input Pitch: cannot read 'missing.wav'"},
  };
  for (const Mistake& mistake : mistakes) {
    std::string command_line;
    for (const std::string& argument : mistake.arguments) command_line += argument + " ";
    SCOPED_TRACE(command_line);
    const Outcome run = Modhost(mistake.arguments);
    EXPECT_EQ(run.status, mistake.status);
    EXPECT_EQ(run.err.rfind(mistake.message, 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(FolderContents(), before) << "a failed command leaves no file behind";
  }
}

}  // namespace

// An input file of integer samples reads as libsndfile reads it, bit for bit: 8-bit samples
// centred on 128, 16, 24 and 32 bits as two's complement over 2^15, 2^23 and 2^31, each at its
// extremes, around 0 and in between.
TEST_F(ModhostTest, IntegerInputFilesReadAsLibsndfileReadsThem) {
  std::vector<float> written = {-1.0f, -0.5f, -1.0f / 256, 0.0f, 1.0f / 256, 0.25f, 0.999f};
  for (int step = 0; step < 200; ++step) written.push_back(-1.0f + step / 100.0f);
  const std::pair<int, const char*> formats[] = {{SF_FORMAT_PCM_U8, "8-bit"},
                                                 {SF_FORMAT_PCM_16, "16-bit"},
                                                 {SF_FORMAT_PCM_24, "24-bit"},
                                                 {SF_FORMAT_PCM_32, "32-bit"}};
  for (const auto& [format, name] : formats) {
    SCOPED_TRACE(name);
    const std::string path = InFolder(std::string(name) + ".wav");
    SF_INFO info = {};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    sf_write_float(file, written.data(), static_cast<sf_count_t>(written.size()));
    sf_close(file);

    const Wav expected = ReadWav(path);
    modhost::WavReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(path, 44100, &error)) << error;
    std::vector<float> read(written.size());
    ASSERT_EQ(reader.ReadFrames(read.data(), static_cast<int64_t>(read.size()), &error),
              static_cast<int64_t>(read.size()))
        << error;
    for (size_t index = 0; index < read.size(); ++index) {
      ASSERT_EQ(0, std::memcmp(&expected.samples[index], &read[index], sizeof(float)))
          << "sample " << index << ": libsndfile " << expected.samples[index] << ", modhost "
          << read[index];
    }
  }
}
