// Planning one render (see control_plan.h).
#include "host/modhost/render/control_plan.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "host/modhost/io/text.h"
#include "host/modhost/run/pin_values.h"

namespace modhost {

namespace {

bool IsAudio(const se_host::PinInfo& pin) {
  return pin.datatype == static_cast<int32_t>(PinDatatype::Audio) &&
         pin.variable_address != nullptr;
}

bool IsOutput(const se_host::PinInfo& pin) {
  return pin.direction == static_cast<int32_t>(PinDirection::Output);
}

// Pins whose value travels in pin-update events and that the frame stores or forwards.
bool IsControl(const se_host::PinInfo& pin) {
  switch (static_cast<PinDatatype>(pin.datatype)) {
    case PinDatatype::Enum:
    case PinDatatype::Indirect:
    case PinDatatype::Bool:
    case PinDatatype::Int:
      return true;
    default:
      return false;
  }
}

class PinFinder {
 public:
  explicit PinFinder(const std::vector<se_host::PinInfo>& pins) : pins_(pins) {}

  // The position in `pins` of the pin called `name`: an exact match, else the only one that
  // matches ignoring case.
  bool Find(const std::string& name, size_t* position, std::string* error) const {
    for (size_t index = 0; index < pins_.size(); ++index) {
      if (pins_[index].name == name) {
        *position = index;
        return true;
      }
    }
    size_t matches = 0;
    for (size_t index = 0; index < pins_.size(); ++index) {
      if (Lower(pins_[index].name) == Lower(name)) {
        *position = index;
        ++matches;
      }
    }
    if (matches == 1) return true;
    std::string names;
    for (const se_host::PinInfo& pin : pins_) {
      if (!names.empty()) names += ", ";
      names += pin.name;
    }
    *error = "the module has no pin named " + Quote(name) + " (its pins: " + names + ")";
    return false;
  }

 private:
  const std::vector<se_host::PinInfo>& pins_;
};

}  // namespace

bool PlanControls(const std::vector<se_host::PinInfo>& pins, const UserControls& controls,
                  int64_t total_samples, ControlPlan* plan, std::string* error) {
  ControlPlan result;
  // Position in `pins` -> slot in result.audio_inputs, and the option that gave its base signal.
  std::map<size_t, size_t> audio_slot;
  std::map<size_t, std::string> base_origin;
  std::vector<PinEvent> changes;

  for (size_t position = 0; position < pins.size(); ++position) {
    const se_host::PinInfo& pin = pins[position];
    if (IsAudio(pin) && IsOutput(pin)) {
      result.outputs.push_back(pin.index);
    } else if (IsAudio(pin)) {
      AudioInputPlan input;
      input.pin = pin.index;
      input.name = pin.name;
      input.volts = DefaultVolts(pin, &result.warnings);
      audio_slot[position] = result.audio_inputs.size();
      result.audio_inputs.push_back(input);
    } else if (IsControl(pin) && !IsOutput(pin)) {
      result.events.push_back({0, pin.index, DefaultControlValue(pin, &result.warnings)});
    }
  }
  if (result.outputs.empty()) {
    *error = "the module has no audio output to render";
    return false;
  }

  const PinFinder finder(pins);
  // Finds the input pin that an option names, one that modhost can drive.
  auto find_input = [&](const std::string& origin, const std::string& name, size_t* position) {
    std::string problem;
    if (!finder.Find(name, position, &problem)) {
      *error = origin + ": " + problem;
      return false;
    }
    const se_host::PinInfo& pin = pins[*position];
    if (IsOutput(pin)) {
      *error = origin + ": " + Quote(pin.name) + " is an output; only inputs can be set";
      return false;
    }
    if (!IsAudio(pin) && !IsControl(pin)) {
      *error = origin + ": " + Quote(pin.name) + " has data type " + std::to_string(pin.datatype) +
               ", which modhost cannot set";
      return false;
    }
    return true;
  };
  auto claim_base = [&](const std::string& origin, size_t position) {
    const auto previous = base_origin.find(position);
    if (previous != base_origin.end()) {
      *error = origin + ": " + Quote(pins[position].name) + " was already given by " +
               previous->second + "; give each input one of --set, --ramp or --input";
      return false;
    }
    base_origin[position] = origin;
    return true;
  };
  auto require_audio = [&](const std::string& origin, size_t position) {
    if (IsAudio(pins[position])) return true;
    *error = origin + ": " + Quote(pins[position].name) +
             " is not an audio input; ramps and files are for audio inputs";
    return false;
  };

  for (const Assignment& set : controls.sets) {
    const std::string origin = "--set " + set.pin + "=" + set.value;
    size_t position = 0;
    std::string problem;
    if (!find_input(origin, set.pin, &position) || !claim_base(origin, position)) return false;
    if (IsAudio(pins[position])) {
      if (!ParseVolts(set.value, &result.audio_inputs[audio_slot[position]].volts, &problem)) {
        *error = origin + ": " + problem;
        return false;
      }
      continue;
    }
    int32_t value = 0;
    if (!ParseControlValue(pins[position], set.value, &value, &problem)) {
      *error = origin + ": " + problem;
      return false;
    }
    for (PinEvent& event : result.events) {
      if (event.pin == pins[position].index) event.value = value;
    }
  }

  for (const Ramp& ramp : controls.ramps) {
    char volts[64];
    std::snprintf(volts, sizeof volts, "=%g:%g", ramp.from_volts, ramp.to_volts);
    const std::string origin = "--ramp " + ramp.pin + volts;
    size_t position = 0;
    if (!find_input(origin, ramp.pin, &position) || !require_audio(origin, position) ||
        !claim_base(origin, position)) {
      return false;
    }
    AudioInputPlan& input = result.audio_inputs[audio_slot[position]];
    input.ramped = true;
    input.ramp_from_volts = ramp.from_volts;
    input.ramp_to_volts = ramp.to_volts;
  }

  for (const Assignment& file : controls.inputs) {
    const std::string origin = "--input " + file.pin + "=" + file.value;
    size_t position = 0;
    if (!find_input(origin, file.pin, &position) || !require_audio(origin, position) ||
        !claim_base(origin, position)) {
      return false;
    }
    result.audio_inputs[audio_slot[position]].file = file.value;
  }

  for (const TimedAssignment& change : controls.changes) {
    const std::string& origin = change.origin;
    size_t position = 0;
    std::string problem;
    if (!find_input(origin, change.assignment.pin, &position)) return false;
    if (change.sample >= total_samples) {
      *error = origin + ": sample " + std::to_string(change.sample) +
               " is past the end of the render (" + std::to_string(total_samples) + " samples)";
      return false;
    }
    if (IsAudio(pins[position])) {
      double volts = 0;
      if (!ParseVolts(change.assignment.value, &volts, &problem)) {
        *error = origin + ": " + problem;
        return false;
      }
      result.audio_inputs[audio_slot[position]].steps.push_back({change.sample, volts});
      continue;
    }
    int32_t value = 0;
    if (!ParseControlValue(pins[position], change.assignment.value, &value, &problem)) {
      *error = origin + ": " + problem;
      return false;
    }
    changes.push_back({change.sample, pins[position].index, value});
  }

  for (AudioInputPlan& input : result.audio_inputs) {
    std::stable_sort(
        input.steps.begin(), input.steps.end(),
        [](const AudioStep& left, const AudioStep& right) { return left.sample < right.sample; });
  }
  // The starting values stay ahead of any change at sample 0, so such a change wins.
  std::stable_sort(changes.begin(), changes.end(), [](const PinEvent& left, const PinEvent& right) {
    return left.sample < right.sample;
  });
  result.events.insert(result.events.end(), changes.begin(), changes.end());
  *plan = std::move(result);
  return true;
}

double RampVolts(double from_volts, double to_volts, int64_t sample, int64_t total_samples) {
  if (total_samples <= 1) return from_volts;
  return from_volts + (to_volts - from_volts) * static_cast<double>(sample) /
                          static_cast<double>(total_samples - 1);
}

}  // namespace modhost
