// The parts of `modhost render` that decide what the module sees, apart from the command itself,
// so that a test can drive the host core with exactly the blocks and buffers a render uses.
#pragma once

#include <cstdint>

#include "host/modhost/render/control_plan.h"
#include "host/modhost/run/random.h"

namespace modhost {

// The lengths of successive blocks: all the same, or each drawn at random from 1 to
// kRandomLongest with modhost's seeded generator, so a seed gives the same blocks everywhere.
class BlockLengths {
 public:
  static constexpr int32_t kRandomLongest = 1024;

  static BlockLengths Fixed(int32_t length) { return BlockLengths(length, false, 0); }
  static BlockLengths Random(uint32_t seed) { return BlockLengths(kRandomLongest, true, seed); }

  // The longest block Next can give: the size of the host's buffers.
  int32_t longest() const { return longest_; }
  // The next block's length, cut to `remaining`.
  int32_t Next(int64_t remaining);

 private:
  BlockLengths(int32_t longest, bool random, uint32_t seed)
      : longest_(longest), random_(random), generator_(seed) {}

  int32_t longest_;
  bool random_;
  modhost::Random generator_;
};

// Writes samples [start, start + length) of one audio input into `buffer`, following its plan in
// a render of `total_samples`. For a plan with a file, `buffer` must already hold the file's
// samples; only the steps are written over them.
void FillAudioInput(const AudioInputPlan& plan, int64_t start, int32_t length,
                    int64_t total_samples, float* buffer);

}  // namespace modhost
