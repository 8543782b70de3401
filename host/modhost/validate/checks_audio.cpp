// Checks of the output's values: finite for finite inputs and every control value, the same
// however the host cuts the render into blocks, and sound at every sample rate.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/modhost/io/text.h"
#include "host/modhost/validate/check_support.h"
#include "host/modhost/validate/checks.h"

namespace modhost {
namespace validation {

namespace {

void CheckProcessOutputFinite(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  auto expect_finite = [&](const Script& script, const BlockPlan& plan, const std::string& what) {
    const RenderResult result = RenderFresh(context, script, plan, AtClock(-1));
    ExpectFinite(context, result, 0, what, script, plan);
  };
  context.Step("rendering with every input at its default");
  const Script defaults = DefaultScript(layout, 2048);
  expect_finite(defaults, BlockPlan::Uniform(defaults.length, 256), "with default inputs");
  const int busy_rounds = static_cast<int>(context.ByLevel(1, 3, 12));
  const uint32_t busy_length = static_cast<uint32_t>(context.ByLevel(1024, 2048, 16384));
  for (int round = 0; round < busy_rounds; ++round) {
    context.Step("rendering a busy script");
    const Script busy = BusyScript(context, busy_length, busy_length / 68, 2);
    expect_finite(busy, BlockPlan::RandomSizes(busy.length, 500, 8, context.random()),
                  "with finite inputs");
  }
  // Every value of every control, and every audio input at the ends of the -10 V to 10 V range.
  size_t renders = 0;
  for (int32_t pin : layout.controls) {
    for (int32_t value : ControlValues(layout.pins[static_cast<size_t>(pin)])) {
      if (++renders > 96) break;
      Script script = LivelyScript(layout, 512, context.random());
      Change change;
      change.pin = pin;
      change.value = value;
      change.AddTo(&script, 0);
      context.Step("rendering with " + change.Describe(layout));
      expect_finite(script, BlockPlan::Uniform(script.length, 128),
                    "with " + change.Describe(layout));
    }
  }
  for (int32_t pin : layout.audio_inputs) {
    for (float level : {-1.0f, 0.0f, 1.0f}) {
      if (++renders > 192) break;
      Script script = LivelyScript(layout, 512, context.random());
      script.levels[static_cast<size_t>(pin)] = level;
      context.Step("rendering with " + PinLabel(layout.pins[static_cast<size_t>(pin)]) + " at " +
                   Number(level * 10) + " V");
      expect_finite(script, BlockPlan::Uniform(script.length, 128),
                    "with " + PinLabel(layout.pins[static_cast<size_t>(pin)]) + " at " +
                        Number(level * 10) + " V");
    }
  }
}

void CheckBlockSizeInvariance(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  if (layout.audio_outputs.empty()) {
    context.Note("the module has no audio output");
    return;
  }
  const int rounds = static_cast<int>(context.ByLevel(1, 2, 6));
  const int64_t base_length = context.ByLevel(512, 2048, 8192);
  for (int round = 0; round < rounds; ++round) {
    const uint32_t length =
        static_cast<uint32_t>(base_length + context.random().Between(0, base_length / 2));
    const Script script = BusyScript(context, length, round == 0 ? 32 : 8, 3);
    const int64_t clock = context.random().Between(0, 1 << 30);
    context.Step("rendering in blocks of 1");
    const BlockPlan single = BlockPlan::Uniform(length, 1);
    const RenderResult reference = RenderFresh(context, script, single, AtClock(clock));
    struct Variant {
      std::string name;
      BlockPlan plan;
    };
    std::vector<Variant> variants = {
        {"blocks of 7", BlockPlan::Uniform(length, 7).WithRandomOffsets(16, context.random())},
        {"blocks of 64", BlockPlan::Uniform(length, 64).WithRandomOffsets(16, context.random())},
        {"blocks of 512", BlockPlan::Uniform(length, 512)},
        {"random block sizes", BlockPlan::RandomSizes(length, 700, 16, context.random())},
        {"blocks of 1 again", single},
    };
    // The thorough levels add block sizes around the powers of two that hosts favour.
    if (context.level() >= 8) {
      for (int32_t size : {2, 3, 31, 127, 129, 1000, 4096}) {
        variants.push_back(
            {"blocks of " + std::to_string(size),
             BlockPlan::Uniform(length, size).WithRandomOffsets(8, context.random())});
      }
    }
    for (const Variant& variant : variants) {
      context.Step("rendering in " + variant.name);
      const RenderResult result = RenderFresh(context, script, variant.plan, AtClock(clock));
      ExpectSame(context, result, reference, 0, length,
                 variant.name + " give another output than blocks of 1", script, variant.plan);
    }
  }
}

void CheckSampleRates(CheckContext& context) {
  const float rates[] = {8000.0f,  11025.0f, 16000.0f,  22050.0f,  44100.0f,  44123.45f, 48000.0f,
                         88200.0f, 96000.0f, 192000.0f, 384000.0f, 768000.0f, 12345.678f};
  const Script script = BusyScript(context, 2048, 16, 1);
  const BlockPlan plan = BlockPlan::RandomSizes(script.length, 512, 4, context.random());
  // An unwritten sample holds the NaN pattern, so this also catches output left unwritten.
  auto expect_sound = [&](const RenderResult& result, const std::string& what) {
    ExpectFinite(context, result, 0, what, script, plan);
  };
  for (float rate : rates) {
    context.Step("opening at " + Number(rate) + " Hz");
    InstanceSetup setup;
    setup.sample_rate = rate;
    const RenderResult result = RenderFresh(context, script, plan, setup);
    expect_sound(result, "at " + Number(rate) + " Hz");
  }
  // One instance opened again at every rate in turn, and one whose rate changes while it runs.
  context.Step("opening one instance again at each rate");
  std::unique_ptr<Session> reopened = context.Create();
  context.Playing(script, plan);
  Render(*reopened, script, plan);
  for (float rate : rates) {
    reopened->SetSampleRate(rate);
    reopened->Open();
    expect_sound(Render(*reopened, script, plan), "opened again at " + Number(rate) + " Hz");
  }
  context.Step("changing the rate without opening again");
  std::unique_ptr<Session> changed = context.Create();
  for (float rate : {96000.0f, 8000.0f, 768000.0f}) {
    changed->SetSampleRate(rate);
    expect_sound(Render(*changed, script, plan),
                 "with the rate set to " + Number(rate) + " Hz after open");
  }
}

}  // namespace

std::vector<CheckDefinition> AudioChecks() {
  return {
      {"process-output-finite", CheckKind::kModule,
       "finite inputs give finite outputs, for every control value and inputs at +-10 V",
       CheckProcessOutputFinite, 1,
       "busy scripts: level 1 one of 1024 samples; 5: three of 2048; 10: twelve of 16384"},
      {"block-size-invariance", CheckKind::kModule,
       "one event script rendered in blocks of 1, 7, 64, 512 and random sizes gives one output",
       CheckBlockSizeInvariance, 1,
       "level 1: one script of 512 to 768 samples; 5: two of 2048 to 3072; 8 and up: seven more "
       "block sizes; 10: six scripts of 8192 to 12288"},
      {"sample-rates", CheckKind::kModule,
       "sound output from 8000 Hz to 768000 Hz and odd rates, also after opening again",
       CheckSampleRates, 2},
  };
}

}  // namespace validation
}  // namespace modhost
