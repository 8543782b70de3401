// An event cuts a block into spans, and a span may start at any sample of the block: the module
// must then read its inputs and write its outputs at that span's buffer offset. Every registered
// module, with inputs that change at every sample, renders a block cut at each of its samples in
// turn, and the output must be what the same input samples give as blocks of their own at the
// start of the buffers. A module that reads a value at the start of the buffer instead of the
// start of the span, or writes one sample off, differs from the reference at that cut.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/reliability/module_drive.h"

namespace reliability {
namespace {

constexpr int32_t kBlock = 48;
// The host renders the block from this sample of its buffers, as it may.
constexpr int32_t kBase = 5;

// Each input's samples, the same for every render: glides steep enough that neighbouring samples
// differ (a sweep of the whole range every 2 ms).
std::vector<std::vector<float>> InputSignals(const se_test::RegisteredModule& module) {
  se_test::TestHost host(se_test::LoadLibrary(module.library));
  host.Start(44100.0f, 0, kBase + kBlock);
  const PinRoles roles(host.pins());
  InputMotion motion(roles, 11, 0.002);
  motion.Fill(roles, host, kBase + kBlock);
  std::vector<std::vector<float>> signals;
  for (int32_t input : roles.inputs) {
    signals.emplace_back(host.buffer(input), host.buffer(input) + kBase + kBlock);
  }
  return signals;
}

// Every output's samples of one rendered stretch, output after output.
void Collect(se_test::TestHost& host, const PinRoles& roles, int32_t from, int32_t frames,
             std::vector<std::vector<float>>& outputs) {
  for (size_t which = 0; which < roles.outputs.size(); ++which) {
    const float* samples = host.buffer(roles.outputs[which]) + from;
    outputs[which].insert(outputs[which].end(), samples, samples + frames);
  }
}

class SpanOffsetTest : public testing::TestWithParam<se_test::RegisteredModule> {};

TEST_P(SpanOffsetTest, ASpanAtAnyOffsetOfABlockRendersItsOwnSamples) {
  const std::vector<std::vector<float>> signals = InputSignals(GetParam());
  for (int32_t cut = 0; cut < kBlock; ++cut) {
    SCOPED_TRACE("block cut at sample " + std::to_string(cut));
    // One block from buffer position kBase, cut at `cut` by an event the module ignores.
    se_test::TestHost cut_host(se_test::LoadLibrary(GetParam().library));
    cut_host.Start(44100.0f, 0, kBase + kBlock);
    const PinRoles roles(cut_host.pins());
    for (size_t which = 0; which < roles.inputs.size(); ++which) {
      std::memcpy(cut_host.buffer(roles.inputs[which]), signals[which].data(),
                  signals[which].size() * sizeof(float));
    }
    SeEvent ignored = {};
    ignored.time_stamp = static_cast<uint32_t>(cut);
    ignored.event_type = 5;
    cut_host.core().AddEvent(ignored);
    cut_host.Render(kBlock, kBase);
    std::vector<std::vector<float>> cut_output(roles.outputs.size());
    Collect(cut_host, roles, kBase, kBlock, cut_output);
    ASSERT_EQ(cut_host.core().QueueEmpty(), 1);

    // The same samples as two blocks of their own, each from the start of the buffers.
    se_test::TestHost whole_host(se_test::LoadLibrary(GetParam().library));
    whole_host.Start(44100.0f, 0, kBase + kBlock);
    std::vector<std::vector<float>> expected(roles.outputs.size());
    const std::pair<int32_t, int32_t> blocks[] = {{0, cut}, {cut, kBlock - cut}};
    for (const auto& [from, frames] : blocks) {
      if (frames == 0) continue;
      for (size_t which = 0; which < roles.inputs.size(); ++which) {
        std::memcpy(whole_host.buffer(roles.inputs[which]), signals[which].data() + kBase + from,
                    static_cast<size_t>(frames) * sizeof(float));
      }
      whole_host.Render(frames);
      Collect(whole_host, roles, 0, frames, expected);
    }

    for (size_t which = 0; which < roles.outputs.size(); ++which) {
      for (int32_t sample = 0; sample < kBlock; ++sample) {
        ASSERT_EQ(0,
                  std::memcmp(&expected[which][sample], &cut_output[which][sample], sizeof(float)))
            << "output " << roles.outputs[which] << " sample " << sample << ": expected "
            << expected[which][sample] << ", got " << cut_output[which][sample];
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryModule, SpanOffsetTest,
                         testing::ValuesIn(se_test::RegisteredModules()), ModuleName);

}  // namespace
}  // namespace reliability
