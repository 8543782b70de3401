// The input language of `modhost render` (see automation.h). Numbers are read with a strict
// grammar of our own before strtod sees them, so that "nan", "0x10", "1e" or "5 V" are refused
// with a message instead of becoming a surprise in the render.
#include "host/modhost/render/automation.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace modhost {

namespace {

std::string Trim(const std::string& text) {
  const char* const blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
  for (char& character : text) {
    if (character >= 'A' && character <= 'Z') character = static_cast<char>(character - 'A' + 'a');
  }
  return text;
}

std::string Quoted(const std::string& text) { return Quote(text); }

bool IsDigit(char character) { return character >= '0' && character <= '9'; }

// [+-]digits, at least one digit.
bool IsWholeNumberText(const std::string& text) {
  size_t position = 0;
  if (position < text.size() && (text[position] == '+' || text[position] == '-')) ++position;
  if (position == text.size()) return false;
  for (; position < text.size(); ++position) {
    if (!IsDigit(text[position])) return false;
  }
  return true;
}

// [+-]digits[.digits] or [+-].digits, then an optional exponent e[+-]digits.
bool IsDecimalText(const std::string& text) {
  size_t position = 0;
  if (position < text.size() && (text[position] == '+' || text[position] == '-')) ++position;
  size_t digits = 0;
  while (position < text.size() && IsDigit(text[position])) ++position, ++digits;
  if (position < text.size() && text[position] == '.') {
    ++position;
    while (position < text.size() && IsDigit(text[position])) ++position, ++digits;
  }
  if (digits == 0) return false;
  if (position < text.size() && (text[position] == 'e' || text[position] == 'E')) {
    ++position;
    if (position < text.size() && (text[position] == '+' || text[position] == '-')) ++position;
    size_t exponent_digits = 0;
    while (position < text.size() && IsDigit(text[position])) ++position, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return position == text.size();
}

bool ParseDecimal(const std::string& text, double* number) {
  if (!IsDecimalText(text)) return false;
  errno = 0;
  const double parsed = std::strtod(text.c_str(), nullptr);
  if (errno == ERANGE && std::isinf(parsed)) return false;
  if (!std::isfinite(parsed)) return false;
  *number = parsed;
  return true;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string DescribeItems(const std::vector<EnumItem>& items) {
  std::string description;
  for (const EnumItem& item : items) {
    if (!description.empty()) description += ", ";
    description += item.label;
    if (item.label != std::to_string(item.value)) {
      description += " (" + std::to_string(item.value) + ")";
    }
  }
  return description;
}

}  // namespace

// ---- Values ------------------------------------------------------------------------------------

std::vector<EnumItem> ParseEnumItems(const std::string& extra) {
  std::vector<EnumItem> items;
  if (extra.empty()) return items;
  int64_t next_value = 0;
  size_t start = 0;
  while (true) {
    const size_t comma = extra.find(',', start);
    const std::string item =
        extra.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    EnumItem parsed{Trim(item), static_cast<int32_t>(next_value)};
    const size_t equals = item.rfind('=');
    if (equals != std::string::npos) {
      const std::string value_text = Trim(item.substr(equals + 1));
      int64_t value = 0;
      std::string ignored;
      if (ParseWholeNumber(value_text, INT32_MIN, INT32_MAX, &value, &ignored)) {
        parsed.label = Trim(item.substr(0, equals));
        parsed.value = static_cast<int32_t>(value);
        next_value = value;
      }
    }
    items.push_back(parsed);
    ++next_value;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return items;
}

bool ResolveEnumValue(const std::vector<EnumItem>& items, const std::string& text, int32_t* value,
                      std::string* error) {
  const std::string wanted = Trim(text);
  for (const EnumItem& item : items) {
    if (item.label == wanted) {
      *value = item.value;
      return true;
    }
  }
  const std::string wanted_lower = Lower(wanted);
  for (const EnumItem& item : items) {
    if (Lower(item.label) == wanted_lower) {
      *value = item.value;
      return true;
    }
  }
  int64_t number = 0;
  std::string ignored;
  if (items.empty()) {
    if (ParseWholeNumber(wanted, INT16_MIN, INT16_MAX, &number, &ignored)) {
      *value = static_cast<int32_t>(number);
      return true;
    }
    *error = Quoted(wanted) + " is not a 16-bit whole number (the pin lists no items)";
    return false;
  }
  if (ParseWholeNumber(wanted, INT32_MIN, INT32_MAX, &number, &ignored)) {
    for (const EnumItem& item : items) {
      if (item.value == number) {
        *value = item.value;
        return true;
      }
    }
  }
  *error = Quoted(wanted) + " is none of the pin's items: " + DescribeItems(items);
  return false;
}

bool ParseVolts(const std::string& text, double* volts, std::string* error) {
  if (ParseDecimal(Trim(text), volts)) return true;
  *error = Quoted(text) + " is not a number of volts";
  return false;
}

bool ParseWholeNumber(const std::string& text, int64_t minimum, int64_t maximum, int64_t* value,
                      std::string* error) {
  const std::string trimmed = Trim(text);
  const std::string range = std::to_string(minimum) + " to " + std::to_string(maximum);
  if (!IsWholeNumberText(trimmed)) {
    *error = Quoted(text) + " is not a whole number (" + range + ")";
    return false;
  }
  errno = 0;
  const long long parsed = std::strtoll(trimmed.c_str(), nullptr, 10);
  if (errno == ERANGE || parsed < minimum || parsed > maximum) {
    *error = Quoted(text) + " is out of range (" + range + ")";
    return false;
  }
  *value = parsed;
  return true;
}

bool ParseSeconds(const std::string& text, double* seconds, std::string* error) {
  double parsed = 0;
  if (!ParseDecimal(Trim(text), &parsed) || parsed < 0) {
    *error = Quoted(text) + " is not a number of seconds";
    return false;
  }
  *seconds = parsed;
  return true;
}

bool ParseTime(const std::string& text, double sample_rate, int64_t* sample, std::string* error) {
  const std::string trimmed = Trim(text);
  // Far beyond any render (the host's clock is 32 bits), small enough to stay exact in a double.
  const double kLatestSample = 1e15;
  double seconds = 0;
  std::string number_text;
  double unit = 0;
  if (EndsWith(trimmed, "ms")) {
    number_text = trimmed.substr(0, trimmed.size() - 2);
    unit = 0.001;
  } else if (EndsWith(trimmed, "s")) {
    number_text = trimmed.substr(0, trimmed.size() - 1);
    unit = 1.0;
  }
  if (unit != 0) {
    if (!ParseDecimal(number_text, &seconds) || seconds < 0) {
      *error = Quoted(text) + " is not a time (write 44100 for a sample, 1.5s or 250ms)";
      return false;
    }
    const double exact_sample = seconds * unit * sample_rate;
    if (exact_sample > kLatestSample) {
      *error = Quoted(text) + " is too late a time";
      return false;
    }
    *sample = std::llround(exact_sample);
    return true;
  }
  int64_t number = 0;
  if (!IsWholeNumberText(trimmed) ||
      !ParseWholeNumber(trimmed, 0, static_cast<int64_t>(kLatestSample), &number, error)) {
    *error = Quoted(text) +
             " is not a time (write a whole sample number such as 44100, or 1.5s or 250ms)";
    return false;
  }
  *sample = number;
  return true;
}

// ---- Changes -----------------------------------------------------------------------------------

bool ParseAssignment(const std::string& text, Assignment* assignment, std::string* error) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos) {
    *error = Quoted(text) + " is not NAME=VALUE";
    return false;
  }
  Assignment parsed{Trim(text.substr(0, equals)), Trim(text.substr(equals + 1))};
  if (parsed.pin.empty()) {
    *error = Quoted(text) + " names no pin before '='";
    return false;
  }
  if (parsed.value.empty()) {
    *error = Quoted(text) + " gives no value after '='";
    return false;
  }
  *assignment = parsed;
  return true;
}

bool ParseTimedAssignment(const std::string& text, double sample_rate, TimedAssignment* change,
                          std::string* error) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) {
    *error = Quoted(text) + " is not TIME:NAME=VALUE";
    return false;
  }
  TimedAssignment parsed;
  if (!ParseTime(text.substr(0, colon), sample_rate, &parsed.sample, error)) return false;
  if (!ParseAssignment(text.substr(colon + 1), &parsed.assignment, error)) return false;
  parsed.origin = change->origin;
  *change = parsed;
  return true;
}

bool ParseRamp(const std::string& text, Ramp* ramp, std::string* error) {
  Assignment assignment;
  if (!ParseAssignment(text, &assignment, error)) return false;
  // The first ':' splits, so both ends may carry a sign: "Mod=20:-20".
  const size_t colon = assignment.value.find(':');
  if (colon == std::string::npos) {
    *error = Quoted(text) + " is not NAME=FROM:TO";
    return false;
  }
  Ramp parsed;
  parsed.pin = assignment.pin;
  if (!ParseVolts(assignment.value.substr(0, colon), &parsed.from_volts, error) ||
      !ParseVolts(assignment.value.substr(colon + 1), &parsed.to_volts, error)) {
    return false;
  }
  *ramp = parsed;
  return true;
}

bool ParseAutomation(const std::string& text, const std::string& source, double sample_rate,
                     std::vector<TimedAssignment>* changes, std::string* error) {
  std::vector<TimedAssignment> parsed;
  // Editors on Windows like to start UTF-8 files with a byte order mark.
  static const char kByteOrderMark[] = "\xEF\xBB\xBF";
  size_t start = text.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
  int line_number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string raw = text.substr(start, end - start);
    const std::string line = Trim(raw);
    start = end + 1;
    ++line_number;
    if (line.empty() || line[0] == '#') continue;
    // Messages point at the change's NAME=VALUE, or at its time when that is what is wrong.
    const size_t first = raw.find_first_not_of(" \t\r");
    const size_t colon = raw.find(':', first);
    const size_t assignment =
        colon == std::string::npos ? first : raw.find_first_not_of(" \t", colon + 1);
    auto where = [&](size_t offset) {
      return source + ":" + std::to_string(line_number) + ":" +
             std::to_string(
                 PositionOf(raw, offset == std::string::npos ? raw.size() : offset).column);
    };
    TimedAssignment change;
    change.origin = where(assignment);
    std::string problem;
    if (!ParseTimedAssignment(line, sample_rate, &change, &problem)) {
      int64_t sample = 0;
      std::string ignored;
      const bool time_is_right =
          colon != std::string::npos &&
          ParseTime(Trim(raw.substr(first, colon - first)), sample_rate, &sample, &ignored);
      *error = where(time_is_right ? assignment : first) + ": " + problem;
      return false;
    }
    parsed.push_back(change);
  }
  changes->insert(changes->end(), parsed.begin(), parsed.end());
  return true;
}

// ---- The plan of one render --------------------------------------------------------------------

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

// The value an event carries for a control pin, from the user's text or a default.
bool ParseControlValue(const se_host::PinInfo& pin, const std::string& text, int32_t* value,
                       std::string* error) {
  int64_t number = 0;
  switch (static_cast<PinDatatype>(pin.datatype)) {
    case PinDatatype::Enum:
      return ResolveEnumValue(ParseEnumItems(pin.extra), text, value, error);
    case PinDatatype::Bool: {
      const std::string lower = Lower(Trim(text));
      if (lower == "true" || lower == "on" || lower == "yes") {
        *value = 1;
        return true;
      }
      if (lower == "false" || lower == "off" || lower == "no") {
        *value = 0;
        return true;
      }
      if (!ParseWholeNumber(text, INT32_MIN, INT32_MAX, &number, error)) {
        *error = Quoted(text) + " is not a truth value (true/false, on/off or a number)";
        return false;
      }
      *value = static_cast<int32_t>(number);
      return true;
    }
    default:
      if (!ParseWholeNumber(text, INT32_MIN, INT32_MAX, &number, error)) return false;
      *value = static_cast<int32_t>(number);
      return true;
  }
}

// A control pin's starting value from its default text. A module's default is not the user's
// mistake, so an unreadable one becomes a warning and the first item (or 0).
int32_t DefaultControlValue(const se_host::PinInfo& pin, std::vector<std::string>* warnings) {
  if (Trim(pin.default_value).empty()) return 0;
  int64_t number = 0;
  int32_t value = 0;
  std::string ignored;
  if (ParseWholeNumber(pin.default_value, INT32_MIN, INT32_MAX, &number, &ignored)) {
    return static_cast<int32_t>(number);
  }
  if (ParseControlValue(pin, pin.default_value, &value, &ignored)) return value;
  const std::vector<EnumItem> items = ParseEnumItems(pin.extra);
  const int32_t fallback = pin.datatype == static_cast<int32_t>(PinDatatype::Enum) && !items.empty()
                               ? items[0].value
                               : 0;
  warnings->push_back("pin " + Quoted(pin.name) + " has the default " + Quoted(pin.default_value) +
                      ", which it cannot take; starting it at " + std::to_string(fallback));
  return fallback;
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
    *error = "the module has no pin named " + Quoted(name) + " (its pins: " + names + ")";
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
      std::string ignored;
      if (!Trim(pin.default_value).empty() &&
          !ParseVolts(pin.default_value, &input.volts, &ignored)) {
        result.warnings.push_back("pin " + Quoted(pin.name) + " has the default " +
                                  Quoted(pin.default_value) +
                                  ", which is not a number of volts; starting it at 0 V");
      }
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
      *error = origin + ": " + Quoted(pin.name) + " is an output; only inputs can be set";
      return false;
    }
    if (!IsAudio(pin) && !IsControl(pin)) {
      *error = origin + ": " + Quoted(pin.name) + " has data type " + std::to_string(pin.datatype) +
               ", which modhost cannot set";
      return false;
    }
    return true;
  };
  auto claim_base = [&](const std::string& origin, size_t position) {
    const auto previous = base_origin.find(position);
    if (previous != base_origin.end()) {
      *error = origin + ": " + Quoted(pins[position].name) + " was already given by " +
               previous->second + "; give each input one of --set, --ramp or --input";
      return false;
    }
    base_origin[position] = origin;
    return true;
  };
  auto require_audio = [&](const std::string& origin, size_t position) {
    if (IsAudio(pins[position])) return true;
    *error = origin + ": " + Quoted(pins[position].name) +
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
