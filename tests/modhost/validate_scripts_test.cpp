// The validator's workbench on its own: the pieces a replay by seed depends on (random numbers
// that agree across platforms, plans that tile a render, scripts whose events at one sample keep
// their order), the reading of pins, and one render of the frame's test module checked sample by
// sample against what its pins and the script say it must output.
#include <gtest/gtest.h>

#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "host/modhost/io/text.h"
#include "host/modhost/run/pin_values.h"
#include "host/modhost/validate/check_context.h"
#include "host/modhost/validate/checks.h"
#include "host/modhost/validate/playback.h"

namespace {

using modhost::Random;
using modhost::validation::BlockPlan;
using modhost::validation::ControlValues;
using modhost::validation::DefaultSignal;
using modhost::validation::PinLayout;
using modhost::validation::Script;
using modhost::validation::ScriptEvent;
using se_host::PinInfo;

// Level 5 must draw exactly what the validator drew before levels existed (a seed replays the
// same script), and the other levels must lie on either side of it.
TEST(ValidateScriptsTest, LevelsScaleAroundTheDefaultAndAddSeedsAboveIt) {
  using modhost::validation::CheckContext;
  using modhost::validation::CheckSettings;
  std::vector<int64_t> lengths;
  for (int level = 1; level <= 10; ++level) {
    CheckSettings settings;
    settings.level = level;
    CheckContext context(settings, "block-size-invariance");
    lengths.push_back(context.ByLevel(512, 2048, 8192));
    EXPECT_EQ(context.ByLevel(7, 7, 7), 7) << level;
  }
  EXPECT_EQ(lengths[0], 512);
  EXPECT_EQ(lengths[4], 2048);
  EXPECT_EQ(lengths[9], 8192);
  for (size_t level = 1; level < lengths.size(); ++level) {
    EXPECT_LT(lengths[level - 1], lengths[level]) << level + 1;
  }
  EXPECT_EQ(modhost::validation::SeedsForLevel(1), 1);
  EXPECT_EQ(modhost::validation::SeedsForLevel(5), 1);
  EXPECT_EQ(modhost::validation::SeedsForLevel(6), 2);
  EXPECT_EQ(modhost::validation::SeedsForLevel(10), 8);
  // Every check runs at level 5 and 10, and every area keeps some checks at level 1.
  size_t at_one = 0;
  for (const auto& check : modhost::validation::AllChecks()) {
    EXPECT_GE(check.first_level, 1) << check.name;
    EXPECT_LE(check.first_level, 5) << check.name;
    at_one += check.first_level == 1;
  }
  EXPECT_GE(at_one, 10u);
}

TEST(ValidateScriptsTest, RandomNumbersAreTheSameOnEveryPlatform) {
  Random random(42);
  // Recorded once; any build that disagrees would replay another script for the same seed.
  EXPECT_EQ(random.Next(), 0x15780B2E0C2EC716ull);
  EXPECT_EQ(random.Next(), 0x6104D9866D113A7Eull);
  EXPECT_EQ(random.Between(10, 20), 12);
  EXPECT_NE(modhost::DeriveSeed(7, "load"), modhost::DeriveSeed(7, "record-layout"));
  EXPECT_EQ(modhost::DeriveSeed(7, "load"), modhost::DeriveSeed(7, "load"));
  for (int draw = 0; draw < 1000; ++draw) {
    const int64_t value = random.Between(-3, 3);
    EXPECT_GE(value, -3);
    EXPECT_LE(value, 3);
    const double fraction = random.Uniform(0.25, 0.5);
    EXPECT_GE(fraction, 0.25);
    EXPECT_LT(fraction, 0.5);
  }
}

PinInfo MakePin(int32_t datatype, const std::string& default_text, const std::string& extra) {
  PinInfo pin = {};
  pin.datatype = datatype;
  pin.direction = 3;
  pin.default_value = default_text;
  pin.extra = extra;
  pin.has_extra = !extra.empty();
  return pin;
}

TEST(ValidateScriptsTest, PinValuesComeFromItemListsAndDefaultTexts) {
  using Values = std::vector<int32_t>;
  EXPECT_EQ(ControlValues(MakePin(0, "16", "1=1,2,3")), (Values{1, 2, 3}));
  EXPECT_EQ(ControlValues(MakePin(0, "0", "A,B,C")), (Values{0, 1, 2}));
  EXPECT_EQ(ControlValues(MakePin(0, "0", "Low=-1,Mid,High,Top=10")), (Values{-1, 0, 1, 10}));
  EXPECT_EQ(ControlValues(MakePin(0, "0", "")), (Values{0, 1}));
  EXPECT_EQ(ControlValues(MakePin(4, "0", "")), (Values{0, 1}));
  EXPECT_EQ(ControlValues(MakePin(6, "5", "")), (Values{5, 6, 4, 0, 1}));
  EXPECT_EQ(modhost::DefaultControlValue(MakePin(0, "16", ""), nullptr), 16);

  EXPECT_FLOAT_EQ(DefaultSignal(MakePin(5, "5", "")), 0.5f);
  EXPECT_FLOAT_EQ(DefaultSignal(MakePin(5, " -20 ", "")), -2.0f);
  EXPECT_FLOAT_EQ(DefaultSignal(MakePin(5, "5 V", "")), 0.0f);
  EXPECT_FLOAT_EQ(DefaultSignal(MakePin(5, "", "")), 0.0f);

  std::string text;
  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_FALSE(se_host::ReadModuleText(unterminated, 4, &text));
  EXPECT_TRUE(se_host::ReadModuleText("abc", 4, &text));
  EXPECT_EQ(text, "abc");
  EXPECT_TRUE(se_host::ReadModuleText(nullptr, 4, &text));
  EXPECT_EQ(modhost::DoubleQuoted("a\"b\n\x01"), "\"a\\\"b\\n\\x01\"");
}

TEST(ValidateScriptsTest, BlockPlansTileTheRender) {
  auto total = [](const BlockPlan& plan) {
    return std::accumulate(plan.sizes.begin(), plan.sizes.end(), 0);
  };
  const BlockPlan uniform = BlockPlan::Uniform(100, 7);
  EXPECT_EQ(total(uniform), 100);
  EXPECT_EQ(uniform.sizes.back(), 2);
  EXPECT_EQ(BlockPlan::CutAt(100, {50, 10, 10, 0, 200}).sizes, (std::vector<int32_t>{10, 40, 50}));

  Random random(3);
  BlockPlan shuffled = BlockPlan::RandomSizes(5000, 300, 16, random);
  EXPECT_EQ(total(shuffled), 5000);
  for (size_t block = 0; block < shuffled.sizes.size(); ++block) {
    EXPECT_GE(shuffled.sizes[block], 1);
    EXPECT_LE(shuffled.sizes[block], 300);
    EXPECT_GE(shuffled.offsets[block], 0);
    EXPECT_LE(shuffled.offsets[block], 16);
  }
  shuffled.Shared();
  int32_t position = 0;
  for (size_t block = 0; block < shuffled.sizes.size(); ++block) {
    EXPECT_EQ(shuffled.offsets[block], position);
    position += shuffled.sizes[block];
  }
}

TEST(ValidateScriptsTest, EventsAtOneSampleShareTheirLeadAndStayInTheRender) {
  PinLayout layout;
  layout.pins = {MakePin(5, "5", ""), MakePin(0, "0", "A,B,C"), MakePin(0, "0", "X,Y")};
  layout.pins[0].direction = 0;
  for (int32_t index = 0; index < 3; ++index) layout.pins[static_cast<size_t>(index)].index = index;
  layout.audio_inputs = {0};
  layout.controls = {1, 2};
  Random random(11);
  Script script = modhost::validation::LivelyScript(layout, 640, random);
  modhost::validation::AddRandomEvents(&script, layout, 300, 3, random);
  ASSERT_GE(script.events.size(), 300u);
  std::map<uint32_t, int32_t> leads;
  bool in_time_order = true;
  for (size_t index = 0; index < script.events.size(); ++index) {
    const ScriptEvent& event = script.events[index];
    EXPECT_LT(event.at, script.length);
    EXPECT_LE(event.lead, 3);
    const auto found = leads.emplace(event.at, event.lead).first;
    EXPECT_EQ(found->second, event.lead) << "events at sample " << event.at;
    if (index > 0 && event.at < script.events[index - 1].at) in_time_order = false;
  }
  EXPECT_FALSE(in_time_order) << "events are handed over in shuffled order";
}

// The frame's test module outputs In + 100 * Mode, so every sample of a render says whether the
// input levels and the Mode events reached it at the right sample, through any plan.
TEST(ValidateScriptsTest, RendersHandTheModuleItsInputsAndEventsAtTheirSamples) {
  modhost::validation::CheckSettings settings;
  settings.library_path = std::string(SE_TEST_PLUGIN_DIR) + "/frame_test_module" SE_PLUGIN_SUFFIX;
  settings.seed = 5;
  modhost::validation::CheckContext context(settings, "scripts test");
  const PinLayout& layout = context.Layout();
  ASSERT_EQ(layout.audio_inputs, (std::vector<int32_t>{0}));
  ASSERT_EQ(layout.audio_outputs, (std::vector<int32_t>{1}));
  ASSERT_EQ(layout.controls, (std::vector<int32_t>{2}));

  Script script = modhost::validation::DefaultScript(layout, 1000);
  auto add = [&script](uint32_t at, int32_t pin, int32_t value, bool level, float signal,
                       int32_t lead) {
    ScriptEvent event;
    event.at = at;
    event.pin = pin;
    event.value = value;
    event.sets_level = level;
    event.level = signal;
    event.lead = lead;
    script.events.push_back(event);
  };
  add(300, 2, 2, false, 0, 3);
  add(10, 2, 1, false, 0, 0);
  add(300, 2, 1, false, 0, 3);  // the later of two at one sample wins
  add(123, 0, 0, true, 0.25f, 1);
  add(999, 0, 0, true, -0.5f, 0);
  auto expected = [](uint32_t sample) {
    const float input = sample < 123 ? 0.0f : sample < 999 ? 0.25f : -0.5f;
    const float mode = sample < 10 ? 0.0f : 1.0f;
    return input + 100.0f * mode;
  };

  Random random(9);
  for (const BlockPlan& plan :
       {BlockPlan::Uniform(1000, 1), BlockPlan::Uniform(1000, 64),
        BlockPlan::RandomSizes(1000, 200, 40, random), BlockPlan::Uniform(1000, 99).Shared()}) {
    std::unique_ptr<modhost::Session> instance = context.Create();
    const modhost::validation::RenderResult result =
        modhost::validation::Render(*instance, script, plan);
    EXPECT_TRUE(result.span_faults.empty()) << result.span_faults[0];
    EXPECT_TRUE(result.input_faults.empty()) << result.input_faults[0];
    ASSERT_EQ(result.outputs.size(), 1u);
    for (uint32_t sample = 0; sample < 1000; ++sample) {
      ASSERT_EQ(result.outputs[0][sample], expected(sample))
          << "sample " << sample << " with " << plan.Describe();
    }
  }
  EXPECT_TRUE(context.report().passed);
}

}  // namespace
