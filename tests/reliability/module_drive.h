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

#include <algorithm>
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

// The input signals of one drive (see above). Each input glides in a straight line at a fixed
// slope from one random target to the next; the value of a sample is computed from its place on
// the current glide, not summed step by step, so a block whose inputs are held moves the glides
// on without visiting every sample (a long soak spends its time in the modules, not here).
class InputMotion {
 public:
  // `seconds_per_sweep`: how long a glide across the whole range takes at the sample rate
  // `sample_rate`.
  InputMotion(const PinRoles& roles, uint64_t seed, double seconds_per_sweep = 1.0,
              float sample_rate = 44100.0f)
      : step_(static_cast<float>(2.0 * kRange / (seconds_per_sweep * sample_rate))) {
    for (float usual : roles.input_defaults) {
      // Each input draws from its own generator, so that no input's draws depend on another's.
      inputs_.push_back({usual - kRange, usual + kRange, usual, usual, 0.0f, 0, 0,
                         se_test::Random(seed * 1000 + inputs_.size())});
    }
  }

  // Narrows input `which` (its place in PinRoles::inputs) to [low, high].
  void Limit(size_t which, float low, float high) {
    Input& input = inputs_.at(which);
    input.low = low;
    input.high = high;
    input.from = input.target = 0.5f * (low + high);
    input.length = input.done = 0;
  }

  // The next `frames` samples of every input, written into its buffer from index 0. Held: each
  // input keeps its value through the block (and moves on by the block's length for the next),
  // as a host whose controls change once a block feeds a module.
  void Fill(const PinRoles& roles, se_test::TestHost& host, int32_t frames, bool held = false) {
    for (size_t which = 0; which < inputs_.size(); ++which) {
      Input& input = inputs_[which];
      float* samples = host.buffer(roles.inputs[which]);
      const float block_start = input.Value();
      int32_t index = 0;
      while (index < frames) {
        if (input.done == input.length) NextGlide(input);
        const int64_t run = std::min<int64_t>(frames - index, input.length - input.done);
        if (!held) {
          for (int64_t along = 1; along <= run; ++along) {
            samples[index + along - 1] = input.ValueAt(input.done + along);
          }
        }
        input.done += run;
        index += static_cast<int32_t>(run);
      }
      if (held) std::fill(samples, samples + frames, block_start);
    }
  }

 private:
  static constexpr float kRange = 1.0f;  // 10 V either side of the default

  struct Input {
    float low, high;
    float from, target;  // the glide under way
    float slope;         // per sample, signed
    int64_t length;      // samples from `from` to `target`, at least 1 once under way
    int64_t done;        // samples of the glide behind us
    se_test::Random random;

    // The value `along` samples into the glide; the last sample is the target itself.
    float ValueAt(int64_t along) const {
      return along >= length ? target : from + slope * static_cast<float>(along);
    }
    float Value() const { return done == 0 ? from : ValueAt(done); }
  };

  void NextGlide(Input& input) {
    input.from = input.target;
    input.target = input.random.Uniform(input.low, input.high);
    const float distance = std::fabs(input.target - input.from);
    input.length = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(distance / step_)));
    input.slope = input.target > input.from ? step_ : -step_;
    input.done = 0;
  }

  float step_;
  std::vector<Input> inputs_;
};

// Every registered module, by name, for the names of parameterised tests.
inline std::string ModuleName(const testing::TestParamInfo<se_test::RegisteredModule>& info) {
  return info.param.name;
}

}  // namespace reliability
