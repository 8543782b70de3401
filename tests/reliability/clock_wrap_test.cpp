// The sample clock is an unsigned 32-bit count: at 44.1 kHz it passes 2^32 after about 27 hours,
// which a long installation or a host that starts its clock at a large value reaches. The real
// modules, loaded from their libraries and driven by the host core, must render across the wrap
// exactly as they render anywhere else, with every event handled at its own sample on both sides.
//
// The reference is the same work started at a small clock: a module's output does not depend on
// the absolute clock, so the two renders must agree to the bit.
#include <gtest/gtest.h>

#include <vector>

#include "tests/reliability/module_rig.h"

namespace reliability {
namespace {

constexpr int32_t kBlock = 256;
constexpr int kBlocks = 12;
// The wrap falls exactly kBeforeWrap samples after the start.
constexpr uint32_t kBeforeWrap = 1000;
constexpr uint32_t kStartBeforeWrap = 0u - kBeforeWrap;
constexpr uint32_t kStartFarFromWrap = 5000;

struct PinEvent {
  int32_t pin;
  int32_t value;
  uint32_t offset;  // samples after the start clock
};

// Pelio with three harmonics sounding; every event is queued before the first block.
std::vector<float> RenderPelio(uint32_t start, const std::vector<PinEvent>& events,
                               uint32_t resume_after_blocks = 0, uint32_t resume_skip = 0) {
  ModuleRig rig(LoadPlugin("pelio"), 44100.0f, start, kBlock);
  rig.Fill(pelio_pins::kMod, 2.0f);
  rig.Fill(pelio_pins::kFirstAmplitude, 0.5f);
  rig.Fill(pelio_pins::kFirstAmplitude + 1, 0.3f);
  rig.Fill(pelio_pins::kFirstAmplitude + 2, 0.2f);
  for (const PinEvent& event : events) {
    rig.module().PinUpdate(event.pin, 0, event.value, start + event.offset);
  }
  std::vector<float> output;
  for (int block = 0; block < kBlocks; ++block) {
    if (resume_after_blocks != 0 && block == static_cast<int>(resume_after_blocks)) {
      // The host paused and moves its clock on before it resumes the module.
      rig.module().set_sample_clock(rig.module().sample_clock() + resume_skip);
      rig.module().Resume();
    }
    // The pitch moves at each block, so every span starts with a pitch of its own.
    rig.Fill(pelio_pins::kPitch, 0.40f + 0.01f * static_cast<float>(block % 5));
    rig.Render(kBlock);
    const float* out = rig.buffer(pelio_pins::kOutput);
    output.insert(output.end(), out, out + kBlock);
  }
  EXPECT_EQ(rig.module().QueueEmpty(), 1) << "an event was never handled";
  return output;
}

// Tessavine; its pitch steps at every event time, so a "Freq Scale" event decides the law of the
// step at its own sample.
std::vector<float> RenderTessavine(uint32_t start, const std::vector<PinEvent>& events,
                                   const std::vector<uint32_t>& pitch_steps) {
  ModuleRig rig(LoadPlugin("tessavine"), 48000.0f, start, kBlock);
  for (const PinEvent& event : events) {
    rig.module().PinUpdate(event.pin, 0, event.value, start + event.offset);
  }
  std::vector<float> output;
  float pitch = 0.05f;
  for (int block = 0; block < kBlocks; ++block) {
    float* pitch_buffer = rig.buffer(tessavine_pins::kPitch);
    for (int32_t i = 0; i < kBlock; ++i) {
      const uint32_t offset = static_cast<uint32_t>(block * kBlock + i);
      for (uint32_t step : pitch_steps) {
        if (step == offset) pitch += 0.01f;
      }
      pitch_buffer[i] = pitch;
    }
    rig.Render(kBlock);
    const float* out = rig.buffer(tessavine_pins::kOutput);
    output.insert(output.end(), out, out + kBlock);
  }
  EXPECT_EQ(rig.module().QueueEmpty(), 1) << "an event was never handled";
  return output;
}

// The index of the first sample whose bits differ, or -1.
int64_t FirstDifference(const std::vector<float>& left, const std::vector<float>& right) {
  EXPECT_EQ(left.size(), right.size());
  for (size_t i = 0; i < left.size() && i < right.size(); ++i) {
    if (std::memcmp(&left[i], &right[i], sizeof(float)) != 0) return static_cast<int64_t>(i);
  }
  return -1;
}

TEST(ClockWrapTest, PelioRendersAcrossTheWrapAsFarFromIt) {
  using namespace pelio_pins;
  // Events on both sides of the wrap, one exactly on it (clock 0), queued out of numeric order.
  const std::vector<PinEvent> events = {
      {kHarmonics, 2, 1500}, {kQuality, 2, kBeforeWrap},  {kHarmonics, 1, 700},
      {kFreqScale, 1, 1001}, {kHarmonics, 3, 999},        {kQuality, 0, 1999},
      {kFreqScale, 0, 2600}, {kHarmonics, 16, 2048 + 17},
  };
  const std::vector<float> wrapped = RenderPelio(kStartBeforeWrap, events);
  const std::vector<float> reference = RenderPelio(kStartFarFromWrap, events);
  EXPECT_EQ(FirstDifference(wrapped, reference), -1);
  // And the events did something, from the first one on.
  EXPECT_EQ(FirstDifference(wrapped, RenderPelio(kStartBeforeWrap, {})), 700);
}

TEST(ClockWrapTest, PelioHandlesEachEventAtItsOwnSampleAroundTheWrap) {
  const std::vector<float> without_events = RenderPelio(kStartBeforeWrap, {});
  // A change of "Harmonics" alters the very sample at which it is handled.
  for (uint32_t offset :
       {kBeforeWrap - 300, kBeforeWrap - 1, kBeforeWrap, kBeforeWrap + 1, kBeforeWrap + 1234}) {
    SCOPED_TRACE("event " + std::to_string(offset) + " samples after the start");
    const std::vector<float> with_event =
        RenderPelio(kStartBeforeWrap, {{pelio_pins::kHarmonics, 1, offset}});
    EXPECT_EQ(FirstDifference(with_event, without_events), static_cast<int64_t>(offset));
  }
}

TEST(ClockWrapTest, PelioResumedAcrossTheWrapHandlesAnEventLeftBehindAtOnce) {
  // Three blocks rendered (768 samples), then the host pauses for 1000 samples and resumes after
  // the wrap: the event due during the pause is handled at the first sample after the resume.
  const uint32_t resume_block = 3;
  const uint32_t pause = 1000;
  const std::vector<float> without_event = RenderPelio(kStartBeforeWrap, {}, resume_block, pause);
  const std::vector<float> with_event =
      RenderPelio(kStartBeforeWrap, {{pelio_pins::kHarmonics, 1, 900}}, resume_block, pause);
  EXPECT_EQ(FirstDifference(with_event, without_event), resume_block * kBlock);
  // An event after the pause keeps its own sample across the wrap.
  const uint32_t later = resume_block * kBlock + pause + 100;
  const std::vector<float> with_later =
      RenderPelio(kStartBeforeWrap, {{pelio_pins::kHarmonics, 1, later}}, resume_block, pause);
  EXPECT_EQ(FirstDifference(with_later, without_event), resume_block * kBlock + 100);
}

TEST(ClockWrapTest, TessavineRendersAcrossTheWrapAsFarFromIt) {
  using namespace tessavine_pins;
  const std::vector<uint32_t> steps = {500, kBeforeWrap - 1, kBeforeWrap, kBeforeWrap + 40, 2500};
  const std::vector<PinEvent> events = {{kFreqScale, 1, kBeforeWrap},
                                        {kFreqScale, 0, kBeforeWrap + 40},
                                        {kFreqScale, 1, 500},
                                        {kFreqScale, 0, kBeforeWrap - 1},
                                        {kFreqScale, 1, 2500}};
  const std::vector<float> wrapped = RenderTessavine(kStartBeforeWrap, events, steps);
  EXPECT_EQ(FirstDifference(wrapped, RenderTessavine(kStartFarFromWrap, events, steps)), -1);
  EXPECT_EQ(FirstDifference(wrapped, RenderTessavine(kStartBeforeWrap, {}, steps)), 500);

  // Each law change alone shows at its own sample, on either side of the wrap.
  const std::vector<float> without_events = RenderTessavine(kStartBeforeWrap, {}, steps);
  for (uint32_t offset : {kBeforeWrap - 1, kBeforeWrap, kBeforeWrap + 40}) {
    SCOPED_TRACE("event " + std::to_string(offset) + " samples after the start");
    const std::vector<float> with_event =
        RenderTessavine(kStartBeforeWrap, {{kFreqScale, 1, offset}}, steps);
    EXPECT_EQ(FirstDifference(with_event, without_events), static_cast<int64_t>(offset));
  }
}

}  // namespace
}  // namespace reliability
