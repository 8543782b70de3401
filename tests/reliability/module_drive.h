// What a patch does to a module, worked out from its pin table alone, so that the reliability
// tests run every registered module and name none of them.
//
// Audio inputs carry signals that glide, sample by sample, between random targets within 10 V of
// the pin's default: pitches sweep the audible range and beyond it, amplitudes and modulations
// rise, fall and change sign. The value of each sample depends only on the seed and the sample's
// position, never on how the host cut the blocks, so renders of one drive in different blocks
// must agree to the bit. Every pin that is not audio is a control; events set it to values from
// 0 to one past its item count, which covers the items of an enumerated pin whether they count
// from 0 or, like "1=1,2,3", from 1, and one value past them.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "tests/support/random.h"
#include "tests/support/registered_modules.h"
#include "tests/support/test_host.h"

namespace reliability {

struct ControlPin {
  int32_t index;
  int32_t usual;        // the default value
  int32_t value_count;  // the values sent are 0 to value_count - 1
};

// The pins of a module by what a host does with them.
struct PinRoles {
  explicit PinRoles(const std::vector<se_host::PinInfo>& pins) {
    for (const se_host::PinInfo& pin : pins) {
      if (pin.datatype != static_cast<int32_t>(PinDatatype::Audio)) {
        int32_t items = 1;
        for (char text : pin.extra) items += text == ',' ? 1 : 0;
        controls.push_back({pin.index, std::atoi(pin.default_value.c_str()), items + 2});
      } else if (pin.direction == static_cast<int32_t>(PinDirection::Output)) {
        outputs.push_back(pin.index);
      } else {
        inputs.push_back(pin.index);
        // Defaults are in volts; a buffer holds volts / 10.
        input_defaults.push_back(static_cast<float>(std::atof(pin.default_value.c_str()) / 10.0));
      }
    }
  }

  std::vector<int32_t> inputs;
  std::vector<float> input_defaults;  // the buffer value of each input's default
  std::vector<int32_t> outputs;
  std::vector<ControlPin> controls;
};

// The input signals of one drive (see above).
class InputMotion {
 public:
  // `seconds_per_sweep`: how long a glide across the whole range takes at the sample rate
  // `sample_rate`.
  InputMotion(const PinRoles& roles, uint64_t seed, double seconds_per_sweep = 1.0,
              float sample_rate = 44100.0f)
      : step_(static_cast<float>(2.0 * kRange / (seconds_per_sweep * sample_rate))) {
    for (float usual : roles.input_defaults) {
      // Each input draws from its own generator, so that no input's draws depend on another's.
      inputs_.push_back({usual - kRange, usual + kRange, usual, usual,
                         se_test::Random(seed * 1000 + inputs_.size())});
    }
  }

  // Narrows input `which` (its place in PinRoles::inputs) to [low, high].
  void Limit(size_t which, float low, float high) {
    Input& input = inputs_.at(which);
    input.low = low;
    input.high = high;
    input.value = input.target = 0.5f * (low + high);
  }

  // The next `frames` samples of every input, written into its buffer from index 0. Held: each
  // input keeps its value through the block (and moves on by the block's length for the next),
  // as a host whose controls change once a block feeds a module.
  void Fill(const PinRoles& roles, se_test::TestHost& host, int32_t frames, bool held = false) {
    for (size_t which = 0; which < inputs_.size(); ++which) {
      Input& input = inputs_[which];
      float* samples = host.buffer(roles.inputs[which]);
      const float block_start = input.value;
      for (int32_t index = 0; index < frames; ++index) {
        if (std::fabs(input.target - input.value) <= step_) {
          input.value = input.target;
          input.target = input.random.Uniform(input.low, input.high);
        } else {
          input.value += input.target > input.value ? step_ : -step_;
        }
        samples[index] = held ? block_start : input.value;
      }
    }
  }

 private:
  static constexpr float kRange = 1.0f;  // 10 V either side of the default

  struct Input {
    float low, high, value, target;
    se_test::Random random;
  };
  float step_;
  std::vector<Input> inputs_;
};

// Every registered module, by name, for the names of parameterised tests.
inline std::string ModuleName(const testing::TestParamInfo<se_test::RegisteredModule>& info) {
  return info.param.name;
}

}  // namespace reliability
