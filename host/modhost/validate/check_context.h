// One run of one named check: what every check is given and what it gives back. The context
// holds the check's random numbers (from the run's seed and the check's name, so `--seed`
// replays it), its findings, its progress, the library, and makes the module instances the check
// drives, each a Session (run/session.h) watched by --trace when it is on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/modhost/run/random.h"
#include "host/modhost/run/session.h"
#include "host/modhost/validate/scripts.h"
#include "host/modhost/validate/tracing.h"
#include "host/plugin_library.h"

namespace modhost {
namespace validation {

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

struct CheckSettings {
  std::string library_path;
  uint64_t seed = 0;
  int level = 5;  // --level: 1 quick to 10 thorough
  bool trace = false;
  bool in_process = false;  // --in-process: the check runs in modhost's own process
  // Receives progress as it happens ("step" with what the check is doing, "script" with the
  // script it is about to play), so that a crash can be placed.
  std::function<void(const char* kind, const std::string& text)> progress;
};

// How CheckContext::Create sets up an instance.
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

// Thrown by CheckContext::Abort to end a check early.
struct CheckAborted {};

class CheckContext {
 public:
  CheckContext(const CheckSettings& settings, const std::string& check_name);
  ~CheckContext();

  Random& random() { return random_; }
  uint64_t seed() const { return settings_.seed; }
  int level() const { return settings_.level; }
  bool in_process() const { return settings_.in_process; }
  // A count or a length for this run's level: `at_one` at level 1, `at_five` at 5 (the default),
  // `at_ten` at 10, and in between on a geometric line through those three.
  int64_t ByLevel(int64_t at_one, int64_t at_five, int64_t at_ten) const;
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
  std::unique_ptr<Session> Create(const InstanceSetup& setup = InstanceSetup());
  // The pins of the library's module, from a first instance.
  const PinLayout& Layout();

 private:
  CheckSettings settings_;
  Random random_;
  Tracer tracer_;
  InstanceTrace instance_trace_;
  CheckReport report_;
  std::shared_ptr<se_host::PluginLibrary> library_;
  bool layout_read_ = false;
  PinLayout layout_;
  int next_instance_id_ = 1;
};

// Tries each possible change on `base` (rendered in blocks of 64 samples, the change at sample
// 64, and with `nudge_after` > 0 an input nudge that many samples later) and keeps those that
// change the output. At most `limit` candidates are tried, chosen at random when there are more.
std::vector<Change> FindEffectiveChanges(CheckContext& context, const Script& base, size_t limit,
                                         uint32_t nudge_after = 0);

}  // namespace validation
}  // namespace modhost
