// Plays a script (scripts.h) through a block plan on one module instance and checks every block
// as it goes, the way a careful host would: each buffer is pre-filled with a NaN pattern and
// surrounded by guard samples, so a sample the module left unwritten, a write outside its span
// and a write into an input are all seen; the buffers also move between blocks, as a host's do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/modhost/run/session.h"
#include "host/modhost/validate/scripts.h"

namespace modhost {
namespace validation {

// A host's way of spotting samples no module wrote: a quiet NaN with a payload of its own.
const uint32_t kUnwrittenPattern = 0x7FC5A5A5u;
// Samples of pattern before and after every buffer.
const int32_t kGuardSamples = 32;

struct RenderResult {
  std::vector<std::vector<float>> outputs;  // per PinLayout::audio_outputs entry, one per sample
  // Unwritten samples and writes outside the span, and writes into an input buffer: the first
  // few faults of each kind as text, with the number of blocks that had one.
  std::vector<std::string> span_faults;
  std::vector<std::string> input_faults;
  size_t span_fault_blocks = 0;
  size_t input_fault_blocks = 0;
  size_t blocks = 0;
};

// Plays a script through a plan, block by block. The render starts at the instance's current
// host clock; events are stamped relative to it.
class RenderSession {
 public:
  RenderSession(Session& instance, const Script& script, const BlockPlan& plan);
  bool done() const { return block_ >= plan_.sizes.size(); }
  // Hands over the events due before the next block, renders it and checks its buffers.
  void Step();
  // The sample at which the next block starts.
  uint32_t position() const { return position_; }
  RenderResult& result() { return result_; }

 private:
  struct Buffer {
    std::vector<float> storage[2];  // alternated between blocks, so the address changes
  };
  void Deliver(size_t block);

  Session& instance_;
  const Script& script_;
  const BlockPlan& plan_;
  uint32_t origin_;
  uint32_t position_ = 0;
  size_t block_ = 0;
  std::vector<std::vector<size_t>> deliveries_;  // event indices handed over before each block
  std::vector<int32_t> audio_pins_;              // this instance's audio pins
  std::vector<std::vector<float>> tracks_;       // per audio input pin: its level at each sample
  std::vector<Buffer> buffers_;                  // per audio pin
  RenderResult result_;
};

RenderResult Render(Session& instance, const Script& script, const BlockPlan& plan);

// The first sample in [from, to) at which two renders' outputs differ bit for bit, or -1. When
// they differ, `where` tells which output and the two values.
int64_t FirstDifference(const PinLayout& layout, const RenderResult& first,
                        const RenderResult& second, size_t from, size_t to, std::string* where);
// The first sample in [from, to) at which some output is NaN or infinite, or -1.
int64_t FirstNonFinite(const RenderResult& result, size_t from, size_t to, std::string* where,
                       const PinLayout& layout);

}  // namespace validation
}  // namespace modhost
