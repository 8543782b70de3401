// Scripts, block plans and what they make of a module's pins (see scripts.h).
#include "host/modhost/validate/scripts.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>

#include "host/modhost/io/text.h"
#include "host/modhost/run/pin_values.h"
#include "host/modhost/validate/tracing.h"

namespace modhost {
namespace validation {

std::string Samples(int64_t count) {
  return std::to_string(count) + (count == 1 ? " sample" : " samples");
}

// ---- Pins ---------------------------------------------------------------------------------------

bool IsControl(const se_host::PinInfo& pin) {
  const bool settable = pin.datatype == static_cast<int32_t>(PinDatatype::Enum) ||
                        pin.datatype == static_cast<int32_t>(PinDatatype::Bool) ||
                        pin.datatype == static_cast<int32_t>(PinDatatype::Int);
  return settable && !pin.IsOutput() && pin.variable_address != nullptr;
}

float DefaultSignal(const se_host::PinInfo& pin) {
  return VoltsToSample(DefaultVolts(pin, nullptr));
}

std::vector<int32_t> ControlValues(const se_host::PinInfo& pin) {
  std::vector<int32_t> values;
  auto add = [&values](int32_t value) {
    if (std::find(values.begin(), values.end(), value) == values.end()) values.push_back(value);
  };
  if (pin.datatype == static_cast<int32_t>(PinDatatype::Enum)) {
    for (const EnumItem& item : ParseEnumItems(pin.has_extra ? pin.extra : std::string())) {
      if (values.size() == 64) break;
      add(item.value);
    }
    if (values.empty()) {
      add(0);
      add(1);
    }
  } else if (pin.datatype == static_cast<int32_t>(PinDatatype::Bool)) {
    add(0);
    add(1);
  } else {
    const int32_t base = DefaultControlValue(pin, nullptr);
    for (int32_t value : {base, base + 1, base - 1, 0, 1}) add(value);
  }
  return values;
}

std::string PinLabel(const se_host::PinInfo& pin) {
  return "pin " + std::to_string(pin.index) + " " + DoubleQuoted(pin.name);
}

std::string PinLayout::OutputName(size_t output) const {
  // An instance that describes more outputs than the first one did still gets a name.
  if (output >= audio_outputs.size()) return "output " + std::to_string(output);
  return PinLabel(pins[static_cast<size_t>(audio_outputs[output])]);
}

// ---- Scripts and block plans --------------------------------------------------------------------

std::string Script::Describe(const PinLayout& layout) const {
  std::string text = "script of " + std::to_string(length) + " samples; input levels:";
  for (int32_t pin : layout.audio_inputs) {
    const float level = static_cast<size_t>(pin) < levels.size()
                            ? levels[static_cast<size_t>(pin)]
                            : DefaultSignal(layout.pins[static_cast<size_t>(pin)]);
    text += " pin " + std::to_string(pin) + " = " + Number(level) + ";";
  }
  if (layout.audio_inputs.empty()) text += " none";
  text += "\n";
  if (events.empty()) return text + "  no events\n";
  text += "  events in the order they are handed over (@ sample after the first):\n";
  size_t shown = 0;
  for (const ScriptEvent& event : events) {
    if (++shown > 200) {
      text += "  ... " + std::to_string(events.size() - 200) + " more\n";
      break;
    }
    std::string line = "  @" + std::to_string(event.at);
    if (event.update) {
      if (event.type == 0 && event.data == nullptr) {
        const bool known = event.pin >= 0 && static_cast<size_t>(event.pin) < layout.pins.size();
        line += known ? " " + PinLabel(layout.pins[static_cast<size_t>(event.pin)])
                      : " pin " + std::to_string(event.pin);
        line += " status " + std::to_string(event.status) + " value " + std::to_string(event.value);
      } else {
        line += " type " + std::to_string(event.type) + " value1 " + std::to_string(event.status) +
                " value2 " + std::to_string(event.value) + " data " + Pointer(event.data);
      }
    } else {
      line += " pin " + std::to_string(event.pin) + " (no event)";
    }
    if (event.sets_level) line += ", input level " + Number(event.level);
    if (event.lead > 0) line += ", handed over " + std::to_string(event.lead) + " blocks early";
    text += line + "\n";
  }
  return text;
}

std::string BlockPlan::Describe() const {
  std::string text = "blocks:";
  const bool uniform =
      !sizes.empty() &&
      std::all_of(sizes.begin(), sizes.end() - 1, [&](int32_t size) { return size == sizes[0]; });
  if (uniform) {
    text += " " + std::to_string(sizes.size() - 1) + " x " + std::to_string(sizes[0]) + " then " +
            std::to_string(sizes.back());
  } else {
    for (size_t index = 0; index < sizes.size() && index < 64; ++index) {
      text += " " + std::to_string(sizes[index]);
    }
    if (sizes.size() > 64) text += " ...";
  }
  if (shared_buffer) {
    text += "; one buffer per pin for the whole render";
  } else if (std::any_of(offsets.begin(), offsets.end(), [](int32_t offset) { return offset; })) {
    text += "; buffer offsets:";
    for (size_t index = 0; index < offsets.size() && index < 64; ++index) {
      text += " " + std::to_string(offsets[index]);
    }
    if (offsets.size() > 64) text += " ...";
  }
  return text + "\n";
}

std::string BlockPlan::Summary() const {
  if (sizes.empty()) return "no blocks";
  const auto range = std::minmax_element(sizes.begin(), sizes.end() - 1);
  std::string text = std::to_string(sizes.size()) + (sizes.size() == 1 ? " block" : " blocks");
  if (sizes.size() == 1 || *range.first == *range.second) {
    text += " of " + Samples(sizes.front());
  } else {
    text +=
        " of " + std::to_string(*range.first) + " to " + std::to_string(*range.second) + " samples";
  }
  const int32_t deepest = *std::max_element(offsets.begin(), offsets.end());
  if (shared_buffer) {
    text += " in one buffer";
  } else if (deepest > 0) {
    text += " at offsets up to " + std::to_string(deepest);
  }
  return text;
}

BlockPlan BlockPlan::Uniform(uint32_t length, int32_t size) {
  BlockPlan plan;
  for (uint32_t position = 0; position < length; position += static_cast<uint32_t>(size)) {
    plan.sizes.push_back(static_cast<int32_t>(std::min<uint32_t>(size, length - position)));
  }
  plan.offsets.assign(plan.sizes.size(), 0);
  return plan;
}

BlockPlan BlockPlan::CutAt(uint32_t length, std::vector<uint32_t> cuts) {
  cuts.push_back(length);
  std::sort(cuts.begin(), cuts.end());
  BlockPlan plan;
  uint32_t position = 0;
  for (uint32_t cut : cuts) {
    if (cut <= position || cut > length) continue;
    plan.sizes.push_back(static_cast<int32_t>(cut - position));
    position = cut;
  }
  plan.offsets.assign(plan.sizes.size(), 0);
  return plan;
}

BlockPlan BlockPlan::RandomSizes(uint32_t length, int32_t max_size, int32_t max_offset,
                                 Random& random) {
  BlockPlan plan;
  for (uint32_t position = 0; position < length;) {
    const uint32_t size = static_cast<uint32_t>(random.Between(1, max_size));
    plan.sizes.push_back(static_cast<int32_t>(std::min(size, length - position)));
    position += static_cast<uint32_t>(plan.sizes.back());
  }
  plan.offsets.assign(plan.sizes.size(), 0);
  return plan.WithRandomOffsets(max_offset, random);
}

BlockPlan& BlockPlan::WithRandomOffsets(int32_t max_offset, Random& random) {
  for (int32_t& offset : offsets) offset = static_cast<int32_t>(random.Between(0, max_offset));
  return *this;
}

BlockPlan& BlockPlan::Shared() {
  shared_buffer = true;
  int32_t position = 0;
  for (size_t index = 0; index < sizes.size(); ++index) {
    offsets[index] = position;
    position += sizes[index];
  }
  return *this;
}

// ---- Scripts from the pins ----------------------------------------------------------------------

Script DefaultScript(const PinLayout& layout, uint32_t length) {
  Script script;
  script.length = length;
  script.levels.assign(layout.pins.size(), 0.0f);
  for (int32_t pin : layout.audio_inputs) {
    script.levels[static_cast<size_t>(pin)] = DefaultSignal(layout.pins[static_cast<size_t>(pin)]);
  }
  return script;
}

Script LivelyScript(const PinLayout& layout, uint32_t length, Random& random) {
  Script script = DefaultScript(layout, length);
  for (int32_t pin : layout.audio_inputs) {
    float& level = script.levels[static_cast<size_t>(pin)];
    if (level == 0.0f) level = static_cast<float>(std::round(random.Uniform(0.1, 0.9) * 1e4) / 1e4);
  }
  return script;
}

void AddRandomEvents(Script* script, const PinLayout& layout, size_t count, int32_t max_lead,
                     Random& random) {
  if (script->length == 0 || (layout.controls.empty() && layout.audio_inputs.empty())) return;
  std::vector<ScriptEvent> made;
  std::map<uint32_t, int32_t> leads;
  auto time = [&]() -> uint32_t {
    const double roll = random.Uniform(0, 1);
    if (roll < 0.1) return 0;
    if (roll < 0.3) {
      const uint32_t grid = random.Chance(0.5) ? 64 : 7;
      return grid * static_cast<uint32_t>(random.Between(0, (script->length - 1) / grid));
    }
    return static_cast<uint32_t>(random.Between(0, script->length - 1));
  };
  auto control_event = [&](uint32_t at) {
    const se_host::PinInfo& pin = layout.pins[static_cast<size_t>(random.Pick(layout.controls))];
    ScriptEvent event;
    event.at = at;
    event.pin = pin.index;
    event.status = static_cast<int32_t>(random.Between(0, 2));
    event.value = random.Pick(ControlValues(pin));
    return event;
  };
  while (made.size() < count) {
    const uint32_t at = time();
    const bool controls = !layout.controls.empty();
    const bool inputs = !layout.audio_inputs.empty();
    const double roll = random.Uniform(0, 1);
    if (controls && (!inputs || roll < 0.4)) {
      made.push_back(control_event(at));
    } else if (controls && roll < 0.5) {
      made.push_back(control_event(at));
      made.push_back(control_event(at));
    } else {
      const int32_t pin = random.Pick(layout.audio_inputs);
      ScriptEvent event;
      event.at = at;
      event.pin = pin;
      event.status = static_cast<int32_t>(random.Between(0, 2));
      if (random.Chance(0.85)) {
        const float base = script->levels[static_cast<size_t>(pin)];
        const double level = std::min(1.0, std::max(-1.0, base + random.Uniform(-0.3, 0.3)));
        event.sets_level = true;
        event.level = static_cast<float>(std::round(level * 1e4) / 1e4);
      }
      made.push_back(event);
    }
  }
  for (ScriptEvent& event : made) {
    auto found = leads.find(event.at);
    if (found == leads.end()) {
      found = leads.emplace(event.at, static_cast<int32_t>(random.Between(0, max_lead))).first;
    }
    event.lead = found->second;
  }
  // Shuffled, except that events at one sample keep the order in which they were made: that
  // order decides which of them wins.
  std::vector<size_t> order(made.size());
  std::iota(order.begin(), order.end(), 0);
  random.Shuffle(order);
  std::map<uint32_t, std::vector<size_t>> by_time;
  for (size_t index = 0; index < made.size(); ++index) by_time[made[index].at].push_back(index);
  std::map<uint32_t, size_t> taken;
  for (size_t& slot : order) {
    const uint32_t at = made[slot].at;
    slot = by_time[at][taken[at]++];
  }
  for (size_t index : order) script->events.push_back(made[index]);
}

std::string Change::Describe(const PinLayout& layout) const {
  const std::string label = PinLabel(layout.pins[static_cast<size_t>(pin)]);
  return is_level ? label + " to level " + Number(level)
                  : label + " to value " + std::to_string(value);
}

void Change::AddTo(Script* script, uint32_t at, int32_t lead) const {
  ScriptEvent event;
  event.at = at;
  event.pin = pin;
  event.value = is_level ? 0 : value;
  event.sets_level = is_level;
  event.level = level;
  event.lead = lead;
  script->events.push_back(event);
}

void AddInputNudge(Script* script, const PinLayout& layout, uint32_t at) {
  if (layout.audio_inputs.empty()) return;
  const int32_t pin = layout.audio_inputs.front();
  int nudges = 0;
  for (const ScriptEvent& event : script->events) {
    if (event.sets_level && event.pin == pin) ++nudges;
  }
  const float base = script->levels[static_cast<size_t>(pin)];
  const float step = 0.02f * static_cast<float>(nudges + 1) * (nudges % 2 == 0 ? 1.0f : -1.0f);
  const float level = base + step <= 1.0f && base + step >= -1.0f ? base + step : base - step;
  script->events.push_back(ScriptEvent::LevelChange(at, pin, level));
}

}  // namespace validation
}  // namespace modhost
