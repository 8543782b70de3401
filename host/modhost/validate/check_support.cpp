// What several areas of checks share (see check_support.h).
#include "host/modhost/validate/check_support.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "host/modhost/io/text.h"
#include "host/modhost/run/pin_values.h"
#include "se_sdk/abi_names.h"

namespace modhost {
namespace validation {

bool SameBytes(const void* first, const void* second, size_t size) {
  return std::memcmp(first, second, size) == 0;
}

const char* OpcodeName(ModuleOpcode opcode) {
  const char* name = se_abi_names::ModuleOpcodeName(Opcode(opcode));
  return name ? name : "unknown";
}

Script BusyScript(CheckContext& context, uint32_t length, size_t events, int32_t max_lead) {
  const PinLayout& layout = context.Layout();
  Script script = LivelyScript(layout, length, context.random());
  AddRandomEvents(&script, layout, events, max_lead, context.random());
  return script;
}

RenderResult RenderFresh(CheckContext& context, const Script& script, const BlockPlan& plan,
                         const InstanceSetup& setup) {
  context.Playing(script, plan);
  std::unique_ptr<Session> instance = context.Create(setup);
  return Render(*instance, script, plan);
}

InstanceSetup AtClock(int64_t clock) {
  InstanceSetup setup;
  setup.clock = clock;
  return setup;
}

ScriptEvent HarmlessEvent(const PinLayout& layout, uint32_t at) {
  ScriptEvent event;
  event.at = at;
  if (!layout.audio_inputs.empty()) {
    event.pin = layout.audio_inputs[0];
  } else if (!layout.controls.empty()) {
    event.pin = layout.controls[0];
    event.value = DefaultControlValue(layout.pins[static_cast<size_t>(event.pin)], nullptr);
  } else {
    event.type = kUndefinedEventType;
  }
  return event;
}

void FailFaults(CheckContext& context, const std::vector<std::string>& faults, size_t blocks,
                const RenderResult& result, const Script& script, const BlockPlan& plan) {
  if (faults.empty()) return;
  std::string text =
      Format("in %zu of %zu blocks (%s): ", blocks, result.blocks, plan.Summary().c_str()) +
      faults.front();
  for (size_t index = 1; index < faults.size(); ++index) text += "; " + faults[index];
  context.Fail(text, script, &plan);
}

bool ExpectSame(CheckContext& context, const RenderResult& got, const RenderResult& expected,
                size_t from, size_t to, const std::string& what, const Script& script,
                const BlockPlan& plan) {
  std::string where;
  if (FirstDifference(context.Layout(), got, expected, from, to, &where) < 0) return true;
  context.Fail(what + ": " + where, script, &plan);
  return false;
}

bool ExpectFinite(CheckContext& context, const RenderResult& result, size_t from,
                  const std::string& what, const Script& script, const BlockPlan& plan) {
  std::string where;
  if (FirstNonFinite(result, from, SIZE_MAX, &where, context.Layout()) < 0) return true;
  context.Fail(what + ": " + where, script, &plan);
  return false;
}

PatternBuffers::PatternBuffers(Session& instance) {
  for (const se_host::PinInfo& pin : instance.pins()) {
    if (!pin.IsAudio()) continue;
    pins_.push_back(pin.index);
    float pattern = 0;
    std::memcpy(&pattern, &kUnwrittenPattern, sizeof pattern);
    storage_.emplace_back(2 * kGuardSamples + 64, pattern);
    instance.Bind(pin.index, storage_.back().data() + kGuardSamples);
  }
}

int32_t PatternBuffers::FirstChanged() const {
  for (size_t slot = 0; slot < pins_.size(); ++slot) {
    for (float sample : storage_[slot]) {
      uint32_t bits = 0;
      std::memcpy(&bits, &sample, sizeof bits);
      if (bits != kUnwrittenPattern) return pins_[slot];
    }
  }
  return -1;
}

}  // namespace validation
}  // namespace modhost
