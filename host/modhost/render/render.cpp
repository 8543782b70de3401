// The blocks and input buffers of a render (see render.h).
#include "host/modhost/render/render.h"

#include <algorithm>

namespace modhost {

int32_t BlockLengths::Next(int64_t remaining) {
  int32_t length = longest_;
  if (random_) length = static_cast<int32_t>(generator_.Between(1, kRandomLongest));
  return static_cast<int32_t>(std::min<int64_t>(length, remaining));
}

void FillAudioInput(const AudioInputPlan& plan, int64_t start, int32_t length,
                    int64_t total_samples, float* buffer) {
  if (plan.file.empty()) {
    if (plan.ramped) {
      for (int32_t offset = 0; offset < length; ++offset) {
        buffer[offset] = VoltsToSample(
            RampVolts(plan.ramp_from_volts, plan.ramp_to_volts, start + offset, total_samples));
      }
    } else {
      std::fill(buffer, buffer + length, VoltsToSample(plan.volts));
    }
  }

  // From each step on, the input holds the step's volts; of steps at one sample the last counts.
  const int64_t end = start + length;
  auto next =
      std::upper_bound(plan.steps.begin(), plan.steps.end(), start,
                       [](int64_t sample, const AudioStep& step) { return sample < step.sample; });
  bool stepped = next != plan.steps.begin();
  double volts = stepped ? std::prev(next)->volts : 0.0;
  int64_t cursor = start;
  while (cursor < end) {
    const int64_t segment_end = next != plan.steps.end() && next->sample < end ? next->sample : end;
    if (stepped) {
      std::fill(buffer + (cursor - start), buffer + (segment_end - start), VoltsToSample(volts));
    }
    cursor = segment_end;
    while (next != plan.steps.end() && next->sample == cursor) {
      volts = next->volts;
      stepped = true;
      ++next;
    }
  }
}

}  // namespace modhost
