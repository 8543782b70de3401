// The context of one check (see check_context.h).
#include "host/modhost/validate/check_context.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "host/modhost/io/text.h"
#include "host/modhost/run/pin_values.h"
#include "host/modhost/validate/playback.h"

namespace modhost {
namespace validation {

namespace {

// A check that fails everywhere says so a dozen times, not a million.
const size_t kMaxFailures = 12;

}  // namespace

const char* LoadStageName(LoadStage stage) {
  switch (stage) {
    case LoadStage::kNotTried:
      return "not-tried";
    case LoadStage::kLoaded:
      return "loaded";
    case LoadStage::kCannotLoad:
      return "cannot-load";
    case LoadStage::kNoMain:
      return "no-main";
    case LoadStage::kBadRecord:
      return "bad-record";
  }
  return "not-tried";
}

LoadStage LoadStageFromName(const std::string& name) {
  for (LoadStage stage :
       {LoadStage::kLoaded, LoadStage::kCannotLoad, LoadStage::kNoMain, LoadStage::kBadRecord}) {
    if (name == LoadStageName(stage)) return stage;
  }
  return LoadStage::kNotTried;
}

CheckContext::CheckContext(const CheckSettings& settings, const std::string& check_name)
    : settings_(settings),
      random_(DeriveSeed(settings.seed, check_name)),
      tracer_(settings.trace),
      instance_trace_(&tracer_) {}

CheckContext::~CheckContext() = default;

int64_t CheckContext::ByLevel(int64_t at_one, int64_t at_five, int64_t at_ten) const {
  const int level = std::min(std::max(settings_.level, 1), 10);
  if (level == 5) return at_five;
  if (level == 1) return at_one;
  if (level == 10) return at_ten;
  const double from = static_cast<double>(level < 5 ? at_one : at_five);
  const double to = static_cast<double>(level < 5 ? at_five : at_ten);
  const double share = level < 5 ? (level - 1) / 4.0 : (level - 5) / 5.0;
  if (from <= 0 || to <= 0) return static_cast<int64_t>(std::llround(from + (to - from) * share));
  return static_cast<int64_t>(std::llround(from * std::pow(to / from, share)));
}

void CheckContext::Step(const std::string& text) {
  if (settings_.progress) settings_.progress("step", text);
}

void CheckContext::Playing(const Script& script, const BlockPlan& plan) {
  if (!settings_.progress) return;
  settings_.progress("script", script.Describe(layout_) + plan.Describe());
  settings_.progress("step", Format("playing a script of %u samples with %zu events in ",
                                    script.length, script.events.size()) +
                                 plan.Summary());
}

void CheckContext::Fail(const std::string& message) {
  report_.passed = false;
  if (report_.failures.size() < kMaxFailures) {
    report_.failures.push_back(message);
  } else if (report_.failures.size() == kMaxFailures) {
    report_.failures.push_back("(more failures not shown)");
  }
}

void CheckContext::Fail(const std::string& message, const Script& script, const BlockPlan* plan) {
  Fail(message);
  if (report_.script.empty()) {
    report_.script = script.Describe(layout_) + (plan ? plan->Describe() : std::string());
  }
}

void CheckContext::Note(const std::string& message) {
  if (std::find(report_.notes.begin(), report_.notes.end(), message) == report_.notes.end()) {
    report_.notes.push_back(message);
  }
}

void CheckContext::Abort(const std::string& message) {
  Fail(message);
  throw CheckAborted();
}

std::shared_ptr<const se_host::PluginLibrary> CheckContext::Library() {
  if (!library_) {
    Step("loading the library");
    auto library = std::make_shared<se_host::PluginLibrary>();
    if (!library->Load(settings_.library_path)) {
      Abort(std::string("the library cannot be used (") +
            se_host::LibraryErrorName(library->error()) + "): " + library->error_text());
    }
    library_ = library;
  }
  return library_;
}

std::unique_ptr<Session> CheckContext::Create(const InstanceSetup& setup) {
  SessionSetup session_setup;
  session_setup.id = next_instance_id_++;
  session_setup.record_requests = setup.record_requests;
  if (tracer_.on()) session_setup.observers.push_back(&instance_trace_);
  se_host::CreateResult failure;
  std::unique_ptr<Session> instance = Session::Create(Library(), session_setup, &failure);
  if (!instance) {
    Abort(std::string("no instance (") + se_host::CreateErrorName(failure.error) +
          "): " + failure.error_text);
  }

  instance->host().set_sample_clock(setup.clock >= 0
                                        ? static_cast<uint32_t>(setup.clock)
                                        : static_cast<uint32_t>(random_.Between(0, 1 << 30)));
  if (setup.host_pins >= 0) instance->host().set_pin_count(static_cast<int32_t>(setup.host_pins));
  if (setup.open) {
    const std::vector<se_host::PinInfo>& pins = instance->pins();
    if (pins.empty() && !instance->pin_problem().empty()) {
      Abort("the pins cannot be enumerated: " + instance->pin_problem());
    }
    if (setup.host_pins < 0) instance->host().set_pin_count(static_cast<int32_t>(pins.size()));
    instance->SetSampleRate(setup.sample_rate);
    instance->SetBlockSize(setup.block_size);
    instance->Open();
  }
  return instance;
}

const PinLayout& CheckContext::Layout() {
  if (!layout_read_) {
    std::unique_ptr<Session> instance = Create();
    layout_.pins = instance->pins();
    if (layout_.pins.empty() && !instance->pin_problem().empty()) {
      Abort("the pins cannot be enumerated: " + instance->pin_problem());
    }
    for (const se_host::PinInfo& pin : layout_.pins) {
      if (pin.IsAudioInput()) layout_.audio_inputs.push_back(pin.index);
      if (pin.IsAudioOutput()) layout_.audio_outputs.push_back(pin.index);
      if (IsControl(pin)) layout_.controls.push_back(pin.index);
    }
    layout_read_ = true;
  }
  return layout_;
}

std::vector<Change> FindEffectiveChanges(CheckContext& context, const Script& base, size_t limit,
                                         uint32_t nudge_after) {
  const PinLayout& layout = context.Layout();
  std::vector<Change> candidates;
  for (int32_t pin : layout.controls) {
    const se_host::PinInfo& control = layout.pins[static_cast<size_t>(pin)];
    for (int32_t value : ControlValues(control)) {
      if (value == DefaultControlValue(control, nullptr)) continue;
      Change change;
      change.pin = pin;
      change.value = value;
      candidates.push_back(change);
    }
  }
  for (int32_t pin : layout.audio_inputs) {
    const float level = base.levels[static_cast<size_t>(pin)];
    Change change;
    change.is_level = true;
    change.pin = pin;
    change.level = level + 0.2f <= 1.0f ? level + 0.2f : level - 0.2f;
    candidates.push_back(change);
  }
  if (candidates.size() > limit) {
    context.random().Shuffle(candidates);
    candidates.resize(limit);
  }
  context.Step("looking for pin changes that show in the output (" +
               std::to_string(candidates.size()) + " candidates)");
  Script script = base;
  script.length = 192;
  script.events.clear();
  if (nudge_after > 0) AddInputNudge(&script, layout, 64 + nudge_after);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  InstanceSetup setup;
  setup.clock = 1000;
  RenderResult unchanged;
  {
    std::unique_ptr<Session> instance = context.Create(setup);
    unchanged = Render(*instance, script, plan);
  }
  std::vector<Change> effective;
  for (const Change& change : candidates) {
    Script changed = script;
    change.AddTo(&changed, 64);
    std::unique_ptr<Session> instance = context.Create(setup);
    const RenderResult result = Render(*instance, changed, plan);
    if (FirstDifference(layout, unchanged, result, 64, script.length, nullptr) >= 0) {
      effective.push_back(change);
    }
  }
  return effective;
}

}  // namespace validation
}  // namespace modhost
