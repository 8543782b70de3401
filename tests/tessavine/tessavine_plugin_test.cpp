// The built Tessavine library, loaded and driven by the host core as the real host would: it must
// be silent until the first pitch, continuous across every pitch change, and render exactly what
// the generator renders on its own.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tessavine/sine_recurrence.h"
#include "tests/support/test_host.h"

namespace {

TEST(TessavinePlugin, SilentThenContinuousAcrossEveryPitchChange) {
  se_test::TestHost host(se_test::LoadLibrary(se_test::PluginPath("tessavine")));
  se_host::HostedModule* module = &host.core();
  module->set_sample_clock(5000);
  module->SetSampleRate(48000.0f);
  module->Open();
  ASSERT_EQ(module->requests().size(), 3u);
  EXPECT_EQ(module->requests()[2].opcode, static_cast<int32_t>(HostOpcode::SetPinStatus));
  EXPECT_EQ(module->requests()[2].index, 1);
  EXPECT_EQ(module->requests()[2].value, 2);
  EXPECT_EQ(module->requests()[2].ptr, 5000u);

  // Silence, then a new pitch every 111 samples between 13.75 Hz and about 7 kHz, a few of them
  // inside each block of 128.
  const int kBlock = 128;
  std::vector<float> pitch(300, -999.0f);
  for (int step = 0; step < 60; ++step) {
    const float value = 0.9f * static_cast<float>((step * 37) % 60) / 60.0f;
    pitch.insert(pitch.end(), 111, value);
  }
  pitch.resize(pitch.size() / kBlock * kBlock);
  std::vector<float> pitch_block(kBlock);
  std::vector<float> output_block(kBlock);
  ASSERT_TRUE(module->BindAudioPin(0, pitch_block.data()));
  ASSERT_TRUE(module->BindAudioPin(1, output_block.data()));
  std::vector<float> output;
  for (size_t start = 0; start < pitch.size(); start += kBlock) {
    pitch_block.assign(pitch.begin() + start, pitch.begin() + start + kBlock);
    module->RenderBlock(kBlock);
    output.insert(output.end(), output_block.begin(), output_block.end());
  }

  for (size_t n = 0; n < 300; ++n) ASSERT_EQ(output[n], 0.0f) << n;
  // Between two samples the wave moves by at most 0.5·ω of the later sample's frequency; a phase
  // jump or a reversed direction at a change would break that.
  for (size_t n = 301; n < output.size(); ++n) {
    const double increment = SineRecurrence::kTwoPi * SineRecurrence::OctaveLaw(pitch[n]) / 48000;
    ASSERT_LE(std::fabs(output[n] - output[n - 1]), 0.5 * increment * (1 + 1e-4) + 1e-7) << n;
    // A rising wave keeps rising, a falling one falling, unless this step or the one before
    // passes a peak (then the samples' order says nothing of the side the phase is on).
    const float before = output[n - 1] - output[n - 2];
    const double increment_before =
        SineRecurrence::kTwoPi * SineRecurrence::OctaveLaw(pitch[n - 1]) / 48000;
    const double widest = std::max(increment, increment_before);
    if (pitch[n] != pitch[n - 1] && before != 0.0f &&
        std::fabs(2.0 * output[n - 1]) < std::cos(widest / 2) - 1e-6) {
      ASSERT_EQ(output[n] > output[n - 1], before > 0.0f) << n;
    }
  }

  SineRecurrence generator;
  generator.Reset(48000.0f);
  std::vector<float> expected(pitch.size());
  generator.Render(pitch.data(), expected.data(), static_cast<int32_t>(pitch.size()), 0);
  EXPECT_EQ(output, expected);
}

}  // namespace
