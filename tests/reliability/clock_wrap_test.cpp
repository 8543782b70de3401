// The sample clock is an unsigned 32-bit count: at 44.1 kHz it passes 2^32 after about 27 hours,
// which a long installation or a host that starts its clock at a large value reaches. Every
// registered module, loaded from its library and driven by the host core, must render across the
// wrap exactly as it renders anywhere else, with every event handled at its own sample on both
// sides.
//
// The references: the same work started at a small clock (a module's output does not depend on
// the absolute clock, so the two renders must agree to the bit), and the same work with a block
// boundary placed at the event (an event handled at its own sample gives what a block that starts
// there gives).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/reliability/module_drive.h"

namespace reliability {
namespace {

constexpr int32_t kBlock = 256;
constexpr int32_t kLength = 12 * kBlock;
// The wrap falls exactly kBeforeWrap samples after the start.
constexpr uint32_t kBeforeWrap = 1000;
constexpr uint32_t kStartBeforeWrap = 0u - kBeforeWrap;
constexpr uint32_t kStartFarFromWrap = 5000;

struct PinEvent {
  int32_t pin;
  int32_t value;
  uint32_t offset;  // samples of clock after the start clock
};

// A render of kLength samples: where it starts, what it is sent and how it is cut.
struct Plan {
  uint32_t start = kStartBeforeWrap;
  std::vector<PinEvent> events;  // all queued before the first block
  std::vector<int32_t> cuts;     // extra block boundaries, in samples rendered
  int32_t pause_at = -1;         // after this many samples the host pauses...
  uint32_t pause_length = 0;     // ...moves its clock on by this much and resumes the module
};

// Every output sample, output after output. The inputs move the same way in every render.
std::vector<float> Render(const se_test::RegisteredModule& module, const Plan& plan) {
  se_test::TestHost host(se_test::LoadLibrary(module.library));
  host.Start(44100.0f, plan.start, kBlock);
  const PinRoles roles(host.pins());
  InputMotion motion(roles, 7, 0.05);
  for (const PinEvent& event : plan.events) {
    host.core().PinUpdate(event.pin, 0, event.value, plan.start + event.offset);
  }
  std::vector<int32_t> boundaries = plan.cuts;
  for (int32_t boundary = kBlock; boundary < kLength; boundary += kBlock) {
    boundaries.push_back(boundary);
  }
  if (plan.pause_at >= 0) boundaries.push_back(plan.pause_at);
  boundaries.push_back(kLength);
  std::sort(boundaries.begin(), boundaries.end());

  std::vector<std::vector<float>> outputs(roles.outputs.size());
  int32_t done = 0;
  for (int32_t boundary : boundaries) {
    if (boundary <= done) continue;
    if (done == plan.pause_at) {
      host.core().set_sample_clock(host.core().sample_clock() + plan.pause_length);
      host.core().Resume();
    }
    const int32_t frames = boundary - done;
    motion.Fill(roles, host, frames);
    host.Render(frames);
    for (size_t which = 0; which < roles.outputs.size(); ++which) {
      const float* samples = host.buffer(roles.outputs[which]);
      outputs[which].insert(outputs[which].end(), samples, samples + frames);
    }
    done = boundary;
  }
  EXPECT_EQ(host.core().QueueEmpty(), 1) << "an event was never handled";
  std::vector<float> joined;
  for (const std::vector<float>& output : outputs) {
    joined.insert(joined.end(), output.begin(), output.end());
  }
  return joined;
}

// The first sample at which any output's bits differ, or -1.
int64_t FirstDifference(const std::vector<float>& left, const std::vector<float>& right) {
  EXPECT_EQ(left.size(), right.size());
  int64_t first = -1;
  for (size_t i = 0; i < left.size() && i < right.size(); ++i) {
    if (std::memcmp(&left[i], &right[i], sizeof(float)) == 0) continue;
    const int64_t sample = static_cast<int64_t>(i % kLength);
    if (first < 0 || sample < first) first = sample;
  }
  return first;
}

// Control changes that show in the output when made at the first sample: for each control pin,
// the first value other than its usual one that changes what the module renders.
std::vector<PinEvent> EffectiveChanges(const se_test::RegisteredModule& module) {
  std::vector<PinEvent> changes;
  Plan plain;
  const std::vector<float> reference = Render(module, plain);
  se_test::TestHost host(se_test::LoadLibrary(module.library));
  for (const ControlPin& control : PinRoles(host.pins()).controls) {
    for (int32_t value = 0; value < control.value_count; ++value) {
      if (value == control.usual) continue;
      Plan changed;
      changed.events.push_back({control.index, value, 0});
      if (FirstDifference(Render(module, changed), reference) >= 0) {
        changes.push_back({control.index, value, 0});
        break;
      }
    }
  }
  return changes;
}

class ClockWrapTest : public testing::TestWithParam<se_test::RegisteredModule> {};

TEST_P(ClockWrapTest, RendersAcrossTheWrapAsFarFromIt) {
  se_test::TestHost host(se_test::LoadLibrary(GetParam().library));
  const std::vector<ControlPin> controls = PinRoles(host.pins()).controls;
  // Events on both sides of the wrap, one exactly on it (clock 0), queued out of numeric order.
  Plan plan;
  se_test::Random random(3);
  for (uint32_t offset :
       {1500u, kBeforeWrap, 700u, kBeforeWrap + 1, kBeforeWrap - 1, 1999u, 2600u, 2048u + 17}) {
    if (controls.empty()) break;
    const ControlPin& control = controls[random.Below(static_cast<uint32_t>(controls.size()))];
    plan.events.push_back(
        {control.index,
         static_cast<int32_t>(random.Below(static_cast<uint32_t>(control.value_count))), offset});
  }
  const std::vector<float> wrapped = Render(GetParam(), plan);
  Plan far = plan;
  far.start = kStartFarFromWrap;
  EXPECT_EQ(FirstDifference(wrapped, Render(GetParam(), far)), -1);
  // Paused before the wrap and resumed after it, too.
  plan.pause_at = 3 * kBlock;
  plan.pause_length = 1000;
  far.pause_at = plan.pause_at;
  far.pause_length = plan.pause_length;
  EXPECT_EQ(FirstDifference(Render(GetParam(), plan), Render(GetParam(), far)), -1);
}

TEST_P(ClockWrapTest, HandlesEachEventAtItsOwnSampleAroundTheWrap) {
  const std::vector<PinEvent> changes = EffectiveChanges(GetParam());
  if (changes.empty()) GTEST_SKIP() << "no control change shows in the output";
  Plan plain;
  const std::vector<float> without_events = Render(GetParam(), plain);
  for (const PinEvent& change : changes) {
    for (uint32_t offset :
         {kBeforeWrap - 300, kBeforeWrap - 1, kBeforeWrap, kBeforeWrap + 1, kBeforeWrap + 1234}) {
      SCOPED_TRACE("pin " + std::to_string(change.pin) + " to " + std::to_string(change.value) +
                   " at " + std::to_string(offset) + " samples after the start");
      Plan inside;
      inside.events.push_back({change.pin, change.value, offset});
      Plan cut = inside;
      cut.cuts = {static_cast<int32_t>(offset)};
      const std::vector<float> with_event = Render(GetParam(), inside);
      EXPECT_EQ(FirstDifference(with_event, Render(GetParam(), cut)), -1);
      // It shows, and not before its sample.
      const int64_t shows_at = FirstDifference(with_event, without_events);
      EXPECT_NE(shows_at, -1);
      EXPECT_GE(shows_at, static_cast<int64_t>(offset));
    }
  }
}

TEST_P(ClockWrapTest, ResumedAcrossTheWrapHandlesAnEventLeftBehindAtOnce) {
  const std::vector<PinEvent> changes = EffectiveChanges(GetParam());
  if (changes.empty()) GTEST_SKIP() << "no control change shows in the output";
  // Three blocks rendered (768 samples), then the host pauses for 1000 samples and resumes after
  // the wrap: an event due during the pause is handled at the first sample after the resume, as
  // one stamped with that sample's time; one due after the pause keeps its own sample.
  const int32_t resume_at = 3 * kBlock;
  const uint32_t pause = 1000;
  const uint32_t resumed_clock = static_cast<uint32_t>(resume_at) + pause;
  for (const PinEvent& change : changes) {
    Plan left_behind;
    left_behind.pause_at = resume_at;
    left_behind.pause_length = pause;
    left_behind.events.push_back({change.pin, change.value, 900});
    Plan at_resume = left_behind;
    at_resume.events[0].offset = resumed_clock;
    EXPECT_EQ(FirstDifference(Render(GetParam(), left_behind), Render(GetParam(), at_resume)), -1);

    Plan later = left_behind;
    later.events[0].offset = resumed_clock + 100;
    Plan later_cut = later;
    later_cut.cuts = {resume_at + 100};
    EXPECT_EQ(FirstDifference(Render(GetParam(), later), Render(GetParam(), later_cut)), -1);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryModule, ClockWrapTest,
                         testing::ValuesIn(se_test::RegisteredModules()), ModuleName);

}  // namespace
}  // namespace reliability
