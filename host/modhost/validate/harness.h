// The validator's workbench: what every check uses to drive a module library the way a host does,
// and to watch it closely while doing so.
//
//   CheckContext  one run of one check: its random numbers (from the run's seed and the check's
//                 name, so `--seed` replays it), its findings, its progress, the library.
//   Instance      one module instance, every dispatcher and process call traced when asked.
//   Script        what the host does over one render: the audio input levels and the events,
//                 each with the sample at which it falls and how early it is handed over.
//   BlockPlan     how the host cuts that render into blocks, at which buffer offsets.
//   Render        plays a script through a plan and checks every block as it goes: each buffer
//                 is pre-filled with a NaN pattern and surrounded by guard samples, so a sample
//                 the module left unwritten, a write outside its span and a write into an input
//                 are all seen; the buffers also move between blocks, as a host's do.
//
// Nothing here knows our own modules: pins are discovered through the dispatcher, audio inputs
// are driven from their default texts (in volts, 10 V = 1.0) unless a script says otherwise, and
// pin changes that are observable in the output are found by trying them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/pin_values.h"
#include "host/modhost/run/random.h"
#include "host/plugin_library.h"

namespace modhost {
namespace validation {

// ---- Results ----------------------------------------------------------------------------------

// How far the library got when the `load` check tried it.
enum class LoadStage { kNotTried, kLoaded, kCannotLoad, kNoMain, kBadRecord };
const char* LoadStageName(LoadStage stage);
LoadStage LoadStageFromName(const std::string& name);

// What one check found.
struct CheckReport {
  bool passed = true;
  std::vector<std::string> failures;  // one line each, the first few only
  std::vector<std::string> notes;     // facts worth knowing that are not failures
  std::string script;                 // the event script and block plan of the first failure
  LoadStage stage = LoadStage::kNotTried;
};

// ---- Texts and pins ---------------------------------------------------------------------------

// A float or double with all its digits, for messages.
std::string Number(double value);
// A pointer as hexadecimal, for messages.
std::string Pointer(const void* pointer);

// What the checks make of a pin (se_host::PinInfo, the one pin type), read as render reads it
// (pin_values.h).

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

// ---- Scripts and block plans ------------------------------------------------------------------

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

// ---- Instances --------------------------------------------------------------------------------

// Writes the dispatcher and host traffic of every instance to standard error, when on.
class Tracer {
 public:
  explicit Tracer(bool on) : on_(on) {}
  bool on() const { return on_; }
  void Line(const std::string& text);

 private:
  bool on_;
  std::mutex mutex_;
};

struct InstanceSetup {
  bool open = true;
  float sample_rate = 44100.0f;
  int32_t block_size = 512;
  int64_t clock = -1;  // the host's clock at open; -1: a random one
  // The reply to GetPinCount; -1: the number of pins the module describes when it is opened
  // here, else the host core's default of 0.
  int64_t host_pins = -1;
  bool record_requests = false;
};

class CheckContext;

class Instance {
 public:
  Instance(std::unique_ptr<se_host::HostedModule> host, int id, Tracer* tracer);
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  int id() const { return id_; }
  se_host::HostedModule& host() { return *host_; }
  ModuleRecord* record() const { return host_->record(); }
  uint32_t clock() const { return host_->sample_clock(); }

  // Every call below is traced when the tracer is on.
  int32_t Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt);
  void Process(int32_t buffer_offset, int32_t sample_frames);
  int32_t Open();
  int32_t Close();
  int32_t SetSampleRate(float sample_rate);
  int32_t SetBlockSize(int32_t block_size);
  int32_t Resume();
  int32_t QueueEmpty();
  int32_t AddEvent(const SeEvent& event);
  int32_t PinUpdate(int32_t pin, int32_t status, int32_t value, uint32_t time_stamp);

  // The pins as this instance describes them (its own variable addresses); enumerated once.
  // Empty with `problem` set when the enumeration does not end or a text is unterminated.
  const std::vector<se_host::PinInfo>& pins();
  const std::string& pin_problem() const { return pin_problem_; }
  // Stores `buffer` in the bound variable of audio pin `pin`.
  void Bind(int32_t pin, float* buffer);
  // Sees every host request of this instance right after it was answered, inside the module's
  // call (replaces any earlier one; an empty function removes it).
  void WatchRequests(std::function<void(const se_host::HostRequest&)> watcher);

 private:
  std::string Describe(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) const;

  std::unique_ptr<se_host::HostedModule> host_;
  int id_;
  Tracer* tracer_;
  std::shared_ptr<std::function<void(const se_host::HostRequest&)>> watcher_;
  bool pins_read_ = false;
  std::vector<se_host::PinInfo> pins_;
  std::string pin_problem_;
};

// Describes pins 0, 1, 2... of `instance` as se_host::EnumeratePinsWith does, each call traced.
bool EnumeratePins(Instance& instance, int32_t limit, std::vector<se_host::PinInfo>* pins,
                   std::string* problem);

// ---- Rendering --------------------------------------------------------------------------------

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
  RenderSession(Instance& instance, const Script& script, const BlockPlan& plan);
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

  Instance& instance_;
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

RenderResult Render(Instance& instance, const Script& script, const BlockPlan& plan);

// The first sample in [from, to) at which two renders' outputs differ bit for bit, or -1. When
// they differ, `where` tells which output and the two values.
int64_t FirstDifference(const PinLayout& layout, const RenderResult& first,
                        const RenderResult& second, size_t from, size_t to, std::string* where);
// The first sample in [from, to) at which some output is NaN or infinite, or -1.
int64_t FirstNonFinite(const RenderResult& result, size_t from, size_t to, std::string* where,
                       const PinLayout& layout);

// ---- Scripts from the pins --------------------------------------------------------------------

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

// Tries each possible change on `base` (rendered in blocks of 64 samples, the change at sample
// 64, and with `nudge_after` > 0 an input nudge that many samples later) and keeps those that
// change the output. At most `limit` candidates are tried, chosen at random when there are more.
std::vector<Change> FindEffectiveChanges(CheckContext& context, const Script& base, size_t limit,
                                         uint32_t nudge_after = 0);

// ---- The context of one check ------------------------------------------------------------------

struct CheckSettings {
  std::string library_path;
  uint64_t seed = 0;
  bool trace = false;
  // Receives progress as it happens ("step" with what the check is doing, "script" with the
  // script it is about to play), so that a crash can be placed.
  std::function<void(const char* kind, const std::string& text)> progress;
};

// Thrown by CheckContext::Abort to end a check early.
struct CheckAborted {};

class CheckContext {
 public:
  CheckContext(const CheckSettings& settings, const std::string& check_name);
  ~CheckContext();

  Random& random() { return random_; }
  uint64_t seed() const { return settings_.seed; }
  const std::string& library_path() const { return settings_.library_path; }
  Tracer& tracer() { return tracer_; }
  CheckReport& report() { return report_; }

  void Step(const std::string& text);
  // Announces the script about to be played, for a crash report.
  void Playing(const Script& script, const BlockPlan& plan);
  void Fail(const std::string& message);
  // Fails and keeps the script that shows the fault (only the first failure's script is kept).
  void Fail(const std::string& message, const Script& script, const BlockPlan* plan);
  void Note(const std::string& message);
  [[noreturn]] void Abort(const std::string& message);

  // The library, loaded on first use; aborts the check when it cannot be loaded.
  std::shared_ptr<const se_host::PluginLibrary> Library();
  // Creates an instance; with `setup.open` enumerates its pins, tells the host's pin count,
  // clock, sample rate and block size, and opens it. Aborts when no instance can be made.
  std::unique_ptr<Instance> Create(const InstanceSetup& setup = InstanceSetup());
  // The pins of the library's module, from a first instance.
  const PinLayout& Layout();

 private:
  CheckSettings settings_;
  Random random_;
  Tracer tracer_;
  CheckReport report_;
  std::shared_ptr<se_host::PluginLibrary> library_;
  bool layout_read_ = false;
  PinLayout layout_;
  int next_instance_id_ = 1;
};

}  // namespace validation
}  // namespace modhost
