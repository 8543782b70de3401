// What the host does to a module over one render, as the validator's checks write it: the pins
// it found (PinLayout), the audio input levels and the events, each with the sample at which it
// falls and how early it is handed over (Script), and how the render is cut into blocks at which
// buffer offsets (BlockPlan). playback.h plays a script through a plan.
//
// Nothing here knows our own modules: pins are discovered through the dispatcher, audio inputs
// are driven from their default texts (in volts, 10 V = 1.0) unless a script says otherwise, and
// control values come from the pins' item lists and defaults, read as render reads them
// (pin_values.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "host/modhost/run/random.h"

namespace modhost {
namespace validation {

// `count` samples in words: "1 sample", "64 samples".
std::string Samples(int64_t count);

// ---- Pins ---------------------------------------------------------------------------------------

// An enumerated, Bool or Int pin with a bound variable that is not an output: one the host sets
// through pin-update events.
bool IsControl(const se_host::PinInfo& pin);
// The default text in volts as a signal value (10 V = 1.0); 0 when it is not a number of volts.
float DefaultSignal(const se_host::PinInfo& pin);
// The values a host can send this control pin: the items of an enumerated pin (at most 64 of
// them; 0 and 1 when it lists none), both values of a Bool pin, a few values around the default
// of an Int pin.
std::vector<int32_t> ControlValues(const se_host::PinInfo& pin);
// `pin 3 "2f"`.
std::string PinLabel(const se_host::PinInfo& pin);

struct PinLayout {
  std::vector<se_host::PinInfo> pins;
  std::vector<int32_t> audio_inputs;   // pin indices
  std::vector<int32_t> audio_outputs;  // pin indices, in the order of RenderResult::outputs
  std::vector<int32_t> controls;       // pin indices
  std::string OutputName(size_t output) const;
};

// ---- Scripts and block plans --------------------------------------------------------------------

// One thing the host does at a sample of a render.
struct ScriptEvent {
  uint32_t at = 0;          // samples after the render's first sample
  int32_t type = 0;         // the SeEvent type
  int32_t pin = -1;         // a pin update's pin (type 0); also the pin whose level changes
  int32_t status = 0;       // value1
  int32_t value = 0;        // value2
  void* data = nullptr;     // `data` of an event that is not a pin update
  bool sets_level = false;  // the audio input `pin` takes `level` from `at` on; the pin update
  float level = 0;          // announces the change, as a host announces a changing input
  int32_t lead = 0;         // handed over this many blocks before the block that holds `at`
  bool update = true;       // false: only the level changes, no event is sent

  // Audio input `pin` takes `level` from `at` on, announced by a pin update.
  static ScriptEvent LevelChange(uint32_t at, int32_t pin, float level) {
    ScriptEvent event;
    event.at = at;
    event.pin = pin;
    event.sets_level = true;
    event.level = level;
    return event;
  }
};

struct Script {
  uint32_t length = 0;
  std::vector<float> levels;        // the starting level of each audio input, by pin index
  std::vector<ScriptEvent> events;  // in the order they are handed to the module
  std::string Describe(const PinLayout& layout) const;
};

struct BlockPlan {
  std::vector<int32_t> sizes;    // one per block; they add up to the script's length
  std::vector<int32_t> offsets;  // buffer_offset of each block
  // One long buffer per pin for the whole render, each block at its own offset into it, instead
  // of new buffers for every block.
  bool shared_buffer = false;
  std::string Describe() const;
  // One line: "31 blocks of 64 samples", "200 blocks of 1 to 400 samples at offsets up to 64".
  std::string Summary() const;

  static BlockPlan Uniform(uint32_t length, int32_t size);
  // Blocks that end exactly at each of `cuts` (and at `length`).
  static BlockPlan CutAt(uint32_t length, std::vector<uint32_t> cuts);
  // Random sizes in [1, max_size]; offsets in [0, max_offset].
  static BlockPlan RandomSizes(uint32_t length, int32_t max_size, int32_t max_offset,
                               Random& random);
  // Gives every block a random offset in [0, max_offset].
  BlockPlan& WithRandomOffsets(int32_t max_offset, Random& random);
  // Every block at the position of its first sample in one long buffer.
  BlockPlan& Shared();
};

// ---- Scripts from the pins ----------------------------------------------------------------------

// A script of `length` samples without events, every audio input at its default level.
Script DefaultScript(const PinLayout& layout, uint32_t length);
// The same with every audio input whose default is 0 raised to a random level between 1 V and
// 9 V, so that modules that are silent by default (amplitude inputs at 0) make a sound.
Script LivelyScript(const PinLayout& layout, uint32_t length, Random& random);
// Adds `count` random events: control changes to their values, level changes of audio inputs
// with the pin update that announces them, pairs of events at one sample; times anywhere in the
// render, handed over up to `max_lead` blocks early and in shuffled order (events at one sample
// keep their order).
void AddRandomEvents(Script* script, const PinLayout& layout, size_t count, int32_t max_lead,
                     Random& random);

// A change of one pin that a script can make at a sample: a control value, or an audio level.
struct Change {
  bool is_level = false;
  int32_t pin = 0;
  int32_t value = 0;
  float level = 0;
  std::string Describe(const PinLayout& layout) const;
  // Appends the change at `at` (a level change with its announcing pin update).
  void AddTo(Script* script, uint32_t at, int32_t lead = 0) const;
};

// Changes the first audio input a little at `at`, with the pin update that announces it; each
// nudge of a script moves the level elsewhere. A module may apply a setting only when an input
// next changes (a pitch law, say, when the pitch moves): nudges close to an event make such a
// setting show in the output, and so make the event's timing observable.
void AddInputNudge(Script* script, const PinLayout& layout, uint32_t at);

}  // namespace validation
}  // namespace modhost
